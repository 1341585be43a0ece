// A real exporter: softflowd reads a small capture written here and exports its flows
// as NetFlow v5, v9 and IPFIX over UDP to a loopback socket; every version must give
// exactly the same per-client totals, and exactly the octets the capture holds.
#include "FlowAccounting.h"
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

struct TPacket {
    std::array<std::uint8_t, 4> Src, Dst;
    std::uint16_t SrcPort, DstPort;
    std::uint8_t Protocol;  // 6 TCP, 17 UDP
    std::uint16_t IpLength;  // what an exporter counts as the packet's octets
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

// Ethernet + IPv4 + TCP/UDP, padded with zeros to the IP length.
std::vector<std::uint8_t> Frame(const TPacket& p)
{
    std::vector<std::uint8_t> f = {0x02, 0, 0, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0x02, 0x08, 0x00};
    const std::size_t ip = f.size();
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
        Put16(f, p.IpLength - 20u);
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
                              std::string& problem)
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
               "full", "-p", "x.pid", "-c", "x.ctl", static_cast<char*>(nullptr));
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
    const std::array<std::uint8_t, 4> client10 = {192, 168, 1, 10}, client11 = {192, 168, 1, 11},
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
        const TTotals totals = {d.UserUL[0], d.UserDL[0], d.UserUL[1], d.UserDL[1], d.RouterUpload[0],
                                d.RouterDownload[0]};
        EXPECT_EQ(totals, expected);
        EXPECT_EQ(d.RouterPLoss[0], "0");
        EXPECT_EQ(d.FlowHeldBytes, 0u) << "no data waited for a template at the end";
    }
    close(socket);
    std::filesystem::remove_all(folder);
}
