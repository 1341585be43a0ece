// Floods from the LAN against the real program (headless, history and metrics on), while
// a real router sends known traffic: first made-up flow senders (one NetFlow v9 header
// each, every one from its own 127.x.y.z address), then MAC announcements of new
// devices in 10.0.0.0/8. Prints the program's RSS before and after, the /metrics size
// and scrape time, the time SIGTERM takes, and whether the real router's octets came
// out exact (in /metrics and in the saved state).
// Usage: bench_flood PROGRAM [routers] [announcements] [rate per second]
// Run it as root in a network namespace of its own, as the tests do:
//   unshare -n bash -c 'ip link set lo up; build/bench/bench_flood build/app/vexal-capture'
// PROGRAM may be any build of the program, so the same flood measures before and after.
#include "FlowDatagramBuilder.h"
#include "TDaten.h"
#include "TStateFile.h"
#include "TemplateDatagramBuilder.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Mb(long kb)
{
    return static_cast<double>(kb) / 1024.0;
}

long RssKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// User and system CPU seconds the process has used.
double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::atoll(field.c_str());
        if (i == 15)
            stime = std::atoll(field.c_str());
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long long UdpInErrors()
{
    std::ifstream snmp("/proc/net/snmp");
    std::string header, values;
    while (std::getline(snmp, header) && std::getline(snmp, values)) {
        if (header.rfind("Udp:", 0) != 0)
            continue;
        std::istringstream names(header), numbers(values);
        std::string name, number;
        while (names >> name && numbers >> number)
            if (name == "InErrors")
                return std::stoll(number);
    }
    return -1;
}

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return to;
}

void SendFrom(int fd, const std::vector<std::uint8_t>& bytes, std::uint16_t port)
{
    const sockaddr_in to = Loopback(port);
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// GET /metrics; the body size, or -1.
long long Scrape(double& seconds)
{
    const auto start = Clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = Loopback(9155);
    long long size = -1;
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            std::vector<char> buffer(1 << 20);
            for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
                answer.append(buffer.data(), static_cast<std::size_t>(n));
            const auto body = answer.find("\r\n\r\n");
            if (body != std::string::npos)
                size = static_cast<long long>(answer.size() - body - 4);
        }
    }
    ::close(fd);
    seconds = Seconds(Clock::now() - start);
    return size;
}

// The value of the first sample whose line starts with `prefix`, or -1.
long long SampleOf(const std::string& text, const std::string& prefix)
{
    const auto at = text.find("\n" + prefix);
    if (at == std::string::npos)
        return -1;
    const auto end = text.find('\n', at + 1);
    const auto space = text.rfind(' ', end);
    return std::atoll(text.substr(space + 1, end - space - 1).c_str());
}

std::string ScrapeText()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = Loopback(9155);
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, request.data(), request.size()) > 0) {
            std::vector<char> buffer(1 << 20);
            for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
                answer.append(buffer.data(), static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return answer;
}

// Paces a loop to `rate` per second.
class TPacer {
public:
    explicit TPacer(double rate) : Rate(rate), Start(Clock::now()) { }
    void Wait(long long done) const
    {
        const auto due = Start
                         + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(static_cast<double>(done) / Rate));
        if (due > Clock::now())
            std::this_thread::sleep_until(due);
    }

private:
    double Rate;
    Clock::time_point Start;
};
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [routers] [announcements] [rate]\n", argv[0]);
        return 2;
    }
    const std::string program = std::filesystem::absolute(argv[1]);
    const int routers = argc > 2 ? std::atoi(argv[2]) : 299'000;
    const int announcements = argc > 3 ? std::atoi(argv[3]) : 300'000;
    const double rate = argc > 4 ? std::atof(argv[4]) : 25'000;

    char folder[] = "/tmp/bench-flood.XXXXXX";
    if (!::mkdtemp(folder))
        return 1;
    const std::filesystem::path dir = folder;
    {
        TDaten d;
        d.LocalSubnets = {"192.168.1", "10.0.0.0/8"};
        TStateFile::Save(d, (dir / "vexal.ini").string());
        std::ofstream extra(dir / "vexal-extra.ini");
        extra << "HistoryEnabled=1\nMetricsEnabled=1\nMetricsPort=9155\n";
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, (dir / "log.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    std::string headless = "--headless";
    char* args[] = {const_cast<char*>(program.c_str()), headless.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, args, environ) != 0) {
        std::perror("posix_spawn");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long rssStart = RssKb(pid);
    const long long errorsStart = UdpInErrors();

    // The real router's client, then the real router: one upload of 1,000 octets per
    // datagram, sequence in step, every 2 ms for as long as the floods go on.
    const int own = ::socket(AF_INET, SOCK_DGRAM, 0);
    const std::string hello = "f0 192.168.1.2 f2 f3 02:00:00:00:00:02 f5 eth0\n";
    SendFrom(own, std::vector<std::uint8_t>(hello.begin(), hello.end()), 2056);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::atomic<bool> flooding = true;
    std::atomic<long long> realDatagrams = 0;
    std::thread real([&] {
        std::uint32_t sequence = 1;
        while (flooding) {
            SendFrom(own,
                     TFlowDatagramBuilder(sequence++).Add(Ip(192, 168, 1, 2), 40000, Ip(8, 8, 8, 8), 443, 1000).Bytes(),
                     2055);
            ++realDatagrams;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    const auto floodStart = Clock::now();
    const std::vector<std::uint8_t> header = TTemplateDatagramBuilder(9, 1).Bytes();
    {
        TPacer pacer(rate);
        for (int i = 0; i < routers; ++i) {
            // 127.1.0.0 and up: any 127/8 address is the loopback's own.
            const std::uint32_t address = (127u << 24) + (1u << 16) + static_cast<std::uint32_t>(i);
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl(address);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0)
                SendFrom(fd, header, 2055);
            ::close(fd);
            pacer.Wait(i + 1);
        }
    }
    const double routerFloodSeconds = Seconds(Clock::now() - floodStart);
    const long rssAfterRouters = RssKb(pid);
    {
        TPacer pacer(rate);
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        for (int i = 0; i < announcements; ++i) {
            char text[96];
            std::snprintf(text, sizeof text, "f0 10.%d.%d.%d f2 f3 02:01:00:%02x:%02x:%02x f5 eth0\n", (i >> 16) & 0xFF,
                          (i >> 8) & 0xFF, i & 0xFF, (i >> 16) & 0xFF, (i >> 8) & 0xFF, i & 0xFF);
            SendFrom(fd, std::vector<std::uint8_t>(text, text + std::strlen(text)), 2056);
            pacer.Wait(i + 1);
        }
        ::close(fd);
    }
    const double floodSeconds = Seconds(Clock::now() - floodStart);
    flooding = false;
    real.join();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long rssAfter = RssKb(pid);
    // Idle: nobody sends, nobody scrapes.
    const double cpuBefore = CpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double idleCpu = (CpuSeconds(pid) - cpuBefore) / 10.0;
    const long long kernelDrops = UdpInErrors() - errorsStart;

    double scrapeSeconds = 0;
    const long long metricsSize = Scrape(scrapeSeconds);
    double secondScrape = 0;
    Scrape(secondScrape);
    const std::string metrics = ScrapeText();
    const long long routerUpload = SampleOf(metrics, "vexal_router_upload_octets_total{ip=\"127.0.0.1\"}");
    const long long routerLoss = SampleOf(metrics, "vexal_router_flow_loss{ip=\"127.0.0.1\"}");

    const auto stopStart = Clock::now();
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double stopSeconds = Seconds(Clock::now() - stopStart);

    TDaten saved;
    TStateFile::Load(saved, (dir / "vexal.ini").string());
    const int row = saved.UserIP.IndexOf("192.168.1.2");
    const long long savedUpload = row >= 0 ? saved.UserUL.Value(static_cast<std::size_t>(row)) : -1;
    const long long expected = realDatagrams * 1000;
    const auto stateSize = std::filesystem::file_size(dir / "vexal.ini");

    std::printf("program                 %s\n", program.c_str());
    std::printf("flood                   %d router senders, %d announcements, %.0f/s: %.1f s (routers %.1f s)\n",
                routers, announcements, rate, floodSeconds, routerFloodSeconds);
    std::printf("RSS                     %.1f MB at start, %.1f MB after the router flood, %.1f MB after both\n",
                Mb(rssStart), Mb(rssAfterRouters), Mb(rssAfter));
    std::printf("kernel UDP drops        %lld\n", kernelDrops);
    std::printf("idle afterwards         %.1f %% of a core (10 s without datagrams or scrapes)\n", 100.0 * idleCpu);
    std::printf("/metrics                %.2f MB, scrape %.3f s (again %.3f s)\n",
                static_cast<double>(metricsSize) / 1048576.0, scrapeSeconds, secondScrape);
    std::printf("rows after the flood    routers %lld (/metrics), users %zu (state file, %.1f MB)\n",
                SampleOf(metrics, "vexal_routers "), saved.UserCount(), static_cast<double>(stateSize) / 1048576.0);
    std::printf("SIGTERM to exit         %.2f s (exit %d)\n", stopSeconds,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::printf(
        "real router             %lld datagrams, %lld octets sent; /metrics upload %lld, loss %lld; saved upload %lld: %s\n",
        realDatagrams.load(), expected, routerUpload, routerLoss, savedUpload,
        routerUpload == expected && savedUpload == expected ? "exact" : "NOT exact");
    // What the status line said about the floods, as the log has it.
    std::ifstream log(dir / "log.txt");
    std::string line, last;
    while (std::getline(log, line))
        if (line.find("voll") != std::string::npos)
            last = line;
    if (!last.empty())
        std::printf("last word in the log    %s\n", last.c_str());
    std::filesystem::remove_all(dir);
    return 0;
}
