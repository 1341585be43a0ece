// Runs scripts/announce-neighbours.sh once against a stub `ip` that prints a fixed
// neighbour table, and checks the datagrams it sends to a UDP port on loopback.

#include "TempDir.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {
// iproute2 and busybox forms, with entries the script must skip.
const char* const NeighbourTable = R"(192.168.1.23 dev br-lan lladdr 02:1a:2b:3c:4d:5e REACHABLE
192.168.1.24 dev br-lan lladdr 02:1a:2b:3c:4d:60 used 0/0/0 probes 4 STALE
192.168.1.99 dev br-lan  FAILED
192.168.1.98 dev br-lan INCOMPLETE
10.9.9.9 dev wan0 lladdr 02:00:5e:00:00:01 PERMANENT
2001:db8:1::5 dev br-lan lladdr 02:1a:2b:3c:4d:5e router STALE
2001:db8:1::6 dev br-lan lladdr 02:1a:2b:3c:4d:61 DELAY 
fd00::7 dev br-lan  FAILED
fe80::1 dev br-lan lladdr 02:1a:2b:3c:4d:5e STALE
)";

const std::vector<std::string> Expected = {
    "f0 10.9.9.9 f2 f3 02:00:5e:00:00:01 f5 wan0\n",
    "f0 192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e f5 br-lan\n",
    "f0 192.168.1.24 f2 f3 02:1a:2b:3c:4d:60 f5 br-lan\n",
    "f0 2001:db8:1::5 f2 f3 02:1a:2b:3c:4d:5e f5 br-lan\n",
    "f0 2001:db8:1::6 f2 f3 02:1a:2b:3c:4d:61 f5 br-lan\n",
};

std::string FindProgram(const std::vector<std::string>& candidates)
{
    for (const std::string& path : candidates)
        if (access(path.c_str(), X_OK) == 0)
            return path;
    return {};
}

void WriteExecutable(const std::string& path, const std::string& content)
{
    WriteWholeFile(path, content);
    chmod(path.c_str(), 0755);
}

class UdpListener {
public:
    UdpListener()
    {
        Socket = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(Socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(Socket, reinterpret_cast<sockaddr*>(&address), &length);
        Port = ntohs(address.sin_port);
    }
    ~UdpListener() { close(Socket); }

    // Datagrams until `count` arrived or none came for the wait.
    std::vector<std::string> Receive(std::size_t count, int waitMs)
    {
        std::vector<std::string> datagrams;
        while (datagrams.size() < count) {
            pollfd ready{Socket, POLLIN, 0};
            if (poll(&ready, 1, waitMs) <= 0)
                break;
            char buffer[2048];
            const ssize_t size = recv(Socket, buffer, sizeof buffer, 0);
            if (size >= 0)
                datagrams.emplace_back(buffer, static_cast<std::size_t>(size));
        }
        return datagrams;
    }

    int Socket = -1;
    int Port = 0;
};

struct TRun {
    int ExitCode = -1;
    std::string Errors;
};

// Runs the script with the shell and a PATH of only the stub folder.
TRun RunScript(const std::string& shell, const TTempDir& dir, const std::vector<std::string>& arguments)
{
    std::string command = "PATH='" + dir.Path.string() + "' " + shell + " '" VEXAL_SOURCE_DIR
                          "/scripts/announce-neighbours.sh'";
    for (const std::string& argument : arguments)
        command += " '" + argument + "'";
    command += " 2>'" + dir.File("errors") + "'";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWholeFile(dir.File("errors"))};
}
}

TEST(AnnounceNeighbours, SendsOneDatagramPerUsableNeighbour)
{
    const std::string netcat = FindProgram({"/usr/bin/nc.openbsd", "/bin/nc.openbsd"});
    const std::string busybox = FindProgram({"/usr/bin/busybox", "/bin/busybox"});
    ASSERT_FALSE(netcat.empty()) << "netcat-openbsd is missing (scripts/setup.sh installs it)";
    ASSERT_FALSE(busybox.empty()) << "busybox is missing (scripts/setup.sh installs it)";
    // A UDP nc without -q (as busybox builds with UDP have): the script must not wait
    // for replies one neighbour after the other.
    const std::string netcatWithoutQuit = "#!/bin/sh\n"
                                          "if [ \"$1\" = -h ]; then echo 'usage: nc [-u] [-w secs] host port'; exit 0; fi\n"
                                          "exec " + netcat + " \"$@\"\n";
    struct {
        const char* Name;
        std::string Shell;
        std::string Netcat;  // script text for the stub folder's nc
    } const cases[] = {
        {"dash, nc with -q", "/bin/sh", "#!/bin/sh\nexec " + netcat + " \"$@\"\n"},
        {"busybox sh, nc with -q", busybox + " sh", "#!/bin/sh\nexec " + netcat + " \"$@\"\n"},
        {"busybox sh, nc without -q", busybox + " sh", netcatWithoutQuit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        WriteExecutable(dir.File("ip"), std::string("#!/bin/sh\n[ \"$*\" = 'neigh show' ] || exit 1\ncat <<'EOF'\n")
                                            + NeighbourTable + "EOF\n");
        WriteExecutable(dir.File("nc"), c.Netcat);
        for (const char* tool : {"cat", "grep", "sleep"})
            std::filesystem::create_symlink(FindProgram({std::string("/usr/bin/") + tool, std::string("/bin/") + tool}),
                                            dir.Path / tool);
        UdpListener listener;
        const TRun run = RunScript(c.Shell, dir, {"-1", "127.0.0.1", std::to_string(listener.Port)});
        EXPECT_EQ(run.ExitCode, 0) << run.Errors;
        std::vector<std::string> datagrams = listener.Receive(Expected.size(), 3000);
        for (std::string& extra : listener.Receive(1, 300))
            datagrams.push_back(std::move(extra));
        std::sort(datagrams.begin(), datagrams.end());
        EXPECT_EQ(datagrams, Expected);
    }
}

TEST(AnnounceNeighbours, RefusesToRunWithoutAUdpSenderOrWithBadArguments)
{
    const std::string busybox = FindProgram({"/usr/bin/busybox", "/bin/busybox"});
    ASSERT_FALSE(busybox.empty());
    TTempDir dir;
    WriteExecutable(dir.File("ip"), std::string("#!/bin/sh\ncat <<'EOF'\n") + NeighbourTable + "EOF\n");
    // busybox nc as most routers build it: TCP only.
    std::filesystem::create_symlink(busybox, dir.Path / "nc");
    std::filesystem::create_symlink(busybox, dir.Path / "grep");
    UdpListener listener;
    const TRun noSender = RunScript("/bin/sh", dir, {"-1", "127.0.0.1", std::to_string(listener.Port)});
    EXPECT_EQ(noSender.ExitCode, 1);
    EXPECT_NE(noSender.Errors.find("nc -u"), std::string::npos) << noSender.Errors;
    EXPECT_TRUE(listener.Receive(1, 200).empty());

    EXPECT_EQ(RunScript("/bin/sh", dir, {}).ExitCode, 2);
    EXPECT_EQ(RunScript("/bin/sh", dir, {"-1", "127.0.0.1", "port"}).ExitCode, 2);
    EXPECT_EQ(RunScript("/bin/sh", dir, {"-i", "0", "127.0.0.1"}).ExitCode, 2);
    EXPECT_EQ(RunScript("/bin/sh", dir, {"-h"}).ExitCode, 0);
}
