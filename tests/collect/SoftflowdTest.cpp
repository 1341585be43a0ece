// A real exporter: softflowd reads a small capture written here and exports its flows
// as NetFlow v5, v9 and IPFIX over UDP to a loopback socket; every version must give
// exactly the same per-client totals, and exactly the octets the capture holds.
#include "FlowAccounting.h"
#include "MacAnnouncement.h"
#include "TDaten.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

using TMac = std::array<std::uint8_t, 6>;
const TMac Gateway = {0x02, 0, 0, 0, 0, 0x01};

struct TPacket {
    std::vector<std::uint8_t> Src, Dst;  // 4 bytes IPv4, 16 bytes IPv6
    std::uint16_t SrcPort, DstPort;
    std::uint8_t Protocol;  // 6 TCP, 17 UDP
    std::uint16_t IpLength;  // what an exporter counts as the packet's octets (IPv6: header included)
    TMac SrcMac = {0x02, 0, 0, 0, 0, 0x02};
    TMac DstMac = Gateway;
};

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    Put16(out, v >> 16);
    Put16(out, v);
}
// pcap's own headers are in the writer's byte order; little-endian here.
void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutLe16(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

std::uint16_t Checksum(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<std::uint32_t>(data[i]) << 8 | data[i + 1];
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// Ethernet + IPv4 or IPv6 + TCP/UDP, padded with zeros to the IP length.
std::vector<std::uint8_t> Frame(const TPacket& p)
{
    const bool v6 = p.Src.size() == 16;
    std::vector<std::uint8_t> f(p.DstMac.begin(), p.DstMac.end());
    f.insert(f.end(), p.SrcMac.begin(), p.SrcMac.end());
    f.push_back(v6 ? 0x86 : 0x08);
    f.push_back(v6 ? 0xdd : 0x00);
    const std::size_t ip = f.size();
    if (v6) {
        Put32(f, 0x60000000);
        Put16(f, p.IpLength - 40u);  // payload length
        f.push_back(p.Protocol);
        f.push_back(64);
        f.insert(f.end(), p.Src.begin(), p.Src.end());
        f.insert(f.end(), p.Dst.begin(), p.Dst.end());
    } else {
        f.push_back(0x45);
        f.push_back(0);
        Put16(f, p.IpLength);
        Put16(f, 1);       // identification
        Put16(f, 0x4000);  // don't fragment
        f.push_back(64);
        f.push_back(p.Protocol);
        Put16(f, 0);
        f.insert(f.end(), p.Src.begin(), p.Src.end());
        f.insert(f.end(), p.Dst.begin(), p.Dst.end());
        const std::uint16_t sum = Checksum(f.data() + ip, 20);
        f[ip + 10] = static_cast<std::uint8_t>(sum >> 8);
        f[ip + 11] = static_cast<std::uint8_t>(sum);
    }
    const std::size_t l4 = f.size();
    Put16(f, p.SrcPort);
    Put16(f, p.DstPort);
    if (p.Protocol == 6) {
        Put32(f, 1000);  // sequence
        Put32(f, 0);     // acknowledgement
        f.push_back(0x50);
        f.push_back(0x18);  // PSH ACK
        Put16(f, 65535);
        Put16(f, 0);
        Put16(f, 0);
    } else {
        Put16(f, static_cast<std::uint32_t>(ip + p.IpLength - l4));
        Put16(f, 0);
    }
    f.resize(ip + p.IpLength, 0);
    return f;
}

void WriteCapture(const std::filesystem::path& file, const std::vector<TPacket>& packets)
{
    std::vector<std::uint8_t> out;
    PutLe32(out, 0xa1b2c3d4);
    PutLe16(out, 2);
    PutLe16(out, 4);
    PutLe32(out, 0);
    PutLe32(out, 0);
    PutLe32(out, 65535);
    PutLe32(out, 1);  // Ethernet
    std::uint32_t seconds = 1'765'000'000;
    for (const TPacket& packet : packets) {
        const std::vector<std::uint8_t> frame = Frame(packet);
        PutLe32(out, seconds++);
        PutLe32(out, 0);
        PutLe32(out, static_cast<std::uint32_t>(frame.size()));
        PutLe32(out, static_cast<std::uint32_t>(frame.size()));
        out.insert(out.end(), frame.begin(), frame.end());
    }
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(out.data()),
                                                static_cast<std::streamsize>(out.size()));
}

struct TReceived {
    std::vector<std::uint8_t> Bytes;
    std::uint16_t Port;
};

// Runs softflowd on the capture in `folder` (short relative names: with long absolute
// ones it neither exported nor exited) and collects what it sent to `socket`.
std::vector<TReceived> Export(const std::filesystem::path& folder, int version, int socket, std::uint16_t port,
                              std::string& problem, const char* track = "full")
{
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(folder.c_str()) != 0)
            _exit(126);
        // Its statistics on exit are noise in the test's output.
        if (const int quiet = open("/dev/null", O_WRONLY); quiet >= 0) {
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
        }
        const std::string target = "127.0.0.1:" + std::to_string(port);
        const std::string v = std::to_string(version);
        execlp("softflowd", "softflowd", "-r", "cap.pcap", "-n", target.c_str(), "-v", v.c_str(), "-d", "-T",
               track, "-p", "x.pid", "-c", "x.ctl", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            problem = "softflowd did not finish within 20 s";
            return {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) {
        problem = "softflowd could not run (is the package installed? scripts/setup.sh installs it)";
        return {};
    }
    std::vector<TReceived> received;
    // Everything was sent before it exited; wait a little for the last datagram anyway.
    pollfd wait{socket, POLLIN, 0};
    while (poll(&wait, 1, received.empty() ? 2000 : 200) > 0) {
        std::vector<std::uint8_t> buffer(65536);
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size =
            recvfrom(socket, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (size < 0)
            break;
        buffer.resize(static_cast<std::size_t>(size));
        received.push_back({std::move(buffer), ntohs(from.sin_port)});
    }
    return received;
}

struct TTotals {
    std::string UL10, DL10, UL11, DL11, RouterUL, RouterDL;
    bool operator==(const TTotals&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TTotals& t)
{
    return out << ".10 " << t.UL10 << "/" << t.DL10 << ", .11 " << t.UL11 << "/" << t.DL11 << ", router "
               << t.RouterUL << "/" << t.RouterDL;
}
}

TEST(Softflowd, V9AndIpfixGiveTheSameTotalsAsV5)
{
    const std::vector<std::uint8_t> client10 = {192, 168, 1, 10}, client11 = {192, 168, 1, 11},
                                      web = {93, 184, 216, 34}, dns = {1, 1, 1, 1};
    const std::vector<TPacket> packets = {
        {client10, web, 40000, 443, 6, 100},  {web, client10, 443, 40000, 6, 1500},
        {client10, web, 40000, 443, 6, 200},  {web, client10, 443, 40000, 6, 1000},
        {client10, web, 40000, 443, 6, 300},  {client11, dns, 53000, 53, 17, 60},
        {dns, client11, 53, 53000, 17, 120},  {client11, client10, 5000, 6000, 17, 77},
    };
    const TTotals expected = {"600", "2577", "137", "120", "737", "2697"};

    const std::filesystem::path folder = std::filesystem::temp_directory_path()
        / ("vexal-softflowd-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    WriteCapture(folder / "cap.pcap", packets);

    const int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(socket, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::uint16_t port = ntohs(address.sin_port);

    for (int version : {5, 9, 10}) {
        SCOPED_TRACE("version " + std::to_string(version));
        std::string problem;
        const std::vector<TReceived> datagrams = Export(folder, version, socket, port, problem);
        ASSERT_TRUE(problem.empty()) << problem;
        ASSERT_FALSE(datagrams.empty()) << "softflowd sent nothing";
        ASSERT_GE(datagrams[0].Bytes.size(), 2u);
        EXPECT_EQ(datagrams[0].Bytes[1], version) << "the export is in the version asked for";
        TDaten d;
        d.LocalSubnets = {"192.168.1"};
        d.AddUser("192.168.1.10", "02:00:00:00:00:10", "eth1", Noon);
        d.AddUser("192.168.1.11", "02:00:00:00:00:11", "eth1", Noon);
        for (const TReceived& datagram : datagrams) {
            const TDatagramOutcome outcome = AccountFlowDatagram(d, datagram.Bytes, "127.0.0.1", Noon, datagram.Port);
            EXPECT_FALSE(outcome.Failed()) << outcome.Error;
            EXPECT_EQ(outcome.Notice, "");
        }
        ASSERT_EQ(d.RouterCount(), 1u);
        const TTotals totals = {d.UserUL.Text(0), d.UserDL.Text(0), d.UserUL.Text(1), d.UserDL.Text(1), d.RouterUpload.Text(0),
                                d.RouterDownload.Text(0)};
        EXPECT_EQ(totals, expected);
        EXPECT_EQ(d.RouterPLoss[0], "0");
        EXPECT_EQ(d.FlowHeldBytes, 0u) << "no data waited for a template at the end";
    }
    close(socket);
    std::filesystem::remove_all(folder);
}

namespace {
std::vector<std::uint8_t> V6(std::initializer_list<std::uint16_t> groups)
{
    std::vector<std::uint8_t> bytes;
    for (std::uint16_t group : groups) {
        bytes.push_back(static_cast<std::uint8_t>(group >> 8));
        bytes.push_back(static_cast<std::uint8_t>(group));
    }
    return bytes;
}

void Announce(TDaten& d, const std::string& ip, const std::string& mac, std::int32_t& count)
{
    const std::string text = "f0 " + ip + " f2 f3 " + mac + " f5 br-lan\n";
    AccountMacAnnouncement(d, {reinterpret_cast<const unsigned char*>(text.data()), text.size()}, "127.0.0.1", count,
                           Noon);
}
}

// Two dual-stack devices: one IPv4 address each, one and two IPv6 addresses. Their rows
// must hold exactly their IPv4 plus IPv6 octets, whether the IPv6 addresses were
// announced (a) or are learned from the MACs softflowd exports when it tracks them (b).
TEST(Softflowd, DualStackDevicesHoldTheirIPv4AndIPv6Octets)
{
    const TMac mac10 = {0x02, 0, 0, 0, 0, 0x10}, mac11 = {0x02, 0, 0, 0, 0, 0x11};
    const std::vector<std::uint8_t> v4of10 = {192, 168, 1, 10}, v4of11 = {192, 168, 1, 11},
                                    v6of10 = V6({0x2001, 0xdb8, 1, 0, 0, 0, 0, 0x10}),
                                    v6of11 = V6({0x2001, 0xdb8, 1, 0, 0, 0, 0, 0x11}),
                                    privacy11 = V6({0x2001, 0xdb8, 1, 0, 0x5a3c, 0x91e2, 0x7d04, 0x11}),
                                    web4 = {93, 184, 216, 34}, dns4 = {1, 1, 1, 1},
                                    web6 = V6({0x2606, 0x2800, 0x220, 1, 0x248, 0x1893, 0x25c8, 0x1946}),
                                    dns6 = V6({0x2606, 0x4700, 0x4700, 0, 0, 0, 0, 0x1111});
    // From a device: its MAC to the gateway; to a device: the gateway's MAC to it.
    auto up = [&](const std::vector<std::uint8_t>& src, const TMac& mac, const std::vector<std::uint8_t>& dst,
                  std::uint16_t srcPort, std::uint16_t dstPort, std::uint8_t protocol, std::uint16_t length) {
        return TPacket{src, dst, srcPort, dstPort, protocol, length, mac, Gateway};
    };
    auto down = [&](const std::vector<std::uint8_t>& src, const std::vector<std::uint8_t>& dst, const TMac& mac,
                    std::uint16_t srcPort, std::uint16_t dstPort, std::uint8_t protocol, std::uint16_t length) {
        return TPacket{src, dst, srcPort, dstPort, protocol, length, Gateway, mac};
    };
    const std::vector<TPacket> packets = {
        up(v4of10, mac10, web4, 40000, 443, 6, 100),
        down(web4, v4of10, mac10, 443, 40000, 6, 1500),
        up(v4of11, mac11, dns4, 53000, 53, 17, 60),
        down(dns4, v4of11, mac11, 53, 53000, 17, 120),
        up(v6of10, mac10, web6, 40001, 443, 6, 140),
        down(web6, v6of10, mac10, 443, 40001, 6, 1440),
        up(v6of10, mac10, web6, 40001, 443, 6, 240),
        up(v6of11, mac11, dns6, 53001, 53, 17, 80),
        down(dns6, v6of11, mac11, 53, 53001, 17, 200),
        up(privacy11, mac11, web6, 40002, 443, 6, 300),
        down(web6, privacy11, mac11, 443, 40002, 6, 1000),
        // Between the two devices over IPv6.
        TPacket{v6of11, v6of10, 5000, 6000, 17, 77, mac11, mac10},
    };
    // .10: 100 + 140 + 240 up, 1500 + 1440 + 77 down; .11: 60 + 80 + 300 + 77 up, 120 + 200 + 1000 down.
    const TTotals expected = {"480", "3017", "517", "1320", "997", "4337"};

    const std::filesystem::path folder = std::filesystem::temp_directory_path()
        / ("vexal-softflowd-dual-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    WriteCapture(folder / "cap.pcap", packets);

    const int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(socket, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::uint16_t port = ntohs(address.sin_port);

    for (int version : {9, 10}) {
        for (const bool announced : {true, false}) {
            SCOPED_TRACE("version " + std::to_string(version)
                         + (announced ? ", IPv6 addresses announced" : ", learned from the exported MACs"));
            std::string problem;
            const std::vector<TReceived> datagrams =
                Export(folder, version, socket, port, problem, announced ? "full" : "ether");
            ASSERT_TRUE(problem.empty()) << problem;
            ASSERT_FALSE(datagrams.empty()) << "softflowd sent nothing";
            TDaten d;
            d.LocalSubnets = {"192.168.1"};  // no IPv6 network: the devices' addresses are enough
            std::int32_t count = 0;
            Announce(d, "192.168.1.10", "02:00:00:00:00:10", count);
            Announce(d, "192.168.1.11", "02:00:00:00:00:11", count);
            if (announced) {
                Announce(d, "2001:db8:1::10", "02:00:00:00:00:10", count);
                Announce(d, "2001:db8:1::11", "02:00:00:00:00:11", count);
                Announce(d, "2001:db8:1:0:5a3c:91e2:7d04:11", "02:00:00:00:00:11", count);
            }
            ASSERT_EQ(d.UserCount(), 2u);
            for (const TReceived& datagram : datagrams) {
                const TDatagramOutcome outcome =
                    AccountFlowDatagram(d, datagram.Bytes, "127.0.0.1", Noon, datagram.Port);
                EXPECT_FALSE(outcome.Failed()) << outcome.Error;
                EXPECT_EQ(outcome.Notice, "");
            }
            ASSERT_EQ(d.RouterCount(), 1u);
            const TTotals totals = {d.UserUL.Text(0), d.UserDL.Text(0), d.UserUL.Text(1), d.UserDL.Text(1), d.RouterUpload.Text(0),
                                    d.RouterDownload.Text(0)};
            EXPECT_EQ(totals, expected);
            EXPECT_EQ(d.UserIPv6[0].size(), 1u);
            EXPECT_EQ(d.UserIPv6[1].size(), 2u);
            EXPECT_EQ(d.IPv6User(*TIpAddress::Parse("2001:db8:1:0:5a3c:91e2:7d04:11")), 1);
            EXPECT_EQ(d.IPv6User(*TIpAddress::Parse("2606:4700:4700::1111")), -1) << "a remote address is nobody's";
            EXPECT_EQ(d.RouterPLoss[0], "0");
        }
    }
    close(socket);
    std::filesystem::remove_all(folder);
}
