// A flood of MAC announcements from the LAN against the real headless program: the
// MACs of a set of addresses take turns (each announcement replaces a user row), with
// flow datagrams charging octets to those addresses in between. Prints the program's
// resident memory before, during and after the flood, how long it takes to end after
// SIGTERM, and what the local history holds against the octets sent.
//
// Usage: bench_mac_flood <vexal-capture> [addresses] [announcements per second] [seconds]
// (defaults: 21 addresses, 25,000/s for 10 s; a large site's flood: 5000 55500 10).
// It needs root: the program runs in a network namespace of the tool's own, in a fresh
// temporary folder whose vexal.ini holds the addresses as users with lifetime totals.
#include "FlowDatagramBuilder.h"
#include "TDaten.h"
#include "TStateFile.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
using TClock = std::chrono::steady_clock;

long RssKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

std::string Address(int i)
{
    return "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

class TSender {
public:
    TSender() : Socket(::socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~TSender() { ::close(Socket); }
    void Send(std::uint16_t port, const void* data, std::size_t size) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(Socket, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

private:
    int Socket;
};
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <vexal-capture> [addresses] [announcements/s] [seconds]\n", argv[0]);
        return 2;
    }
    const std::string program = std::filesystem::absolute(argv[1]).string();
    const int addresses = argc > 2 ? std::atoi(argv[2]) : 21;
    const int rate = argc > 3 ? std::atoi(argv[3]) : 25'000;
    const double seconds = argc > 4 ? std::atof(argv[4]) : 10.0;
    if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
        std::fprintf(stderr, "needs root for a network namespace of its own\n");
        return 2;
    }
    QCoreApplication app(argc, argv);

    char pattern[] = "/tmp/vexal-flood-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(pattern);
    {
        TDaten d;
        d.LocalSubnets = {"10.1"};
        for (int i = 0; i < addresses; ++i) {
            d.AddUser(Address(i), "02:00:00:00:00:01", "eth0", TLocalTime::Now());
            d.UserDL.SetValue(static_cast<std::size_t>(i), 5'000'000'000LL + i);
            d.UserUL.SetValue(static_cast<std::size_t>(i), 1'000'000'000LL + i);
        }
        TStateFile::Save(d, (dir / "vexal.ini").string());
    }

    int log[2];
    if (::pipe(log) != 0)
        return 2;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(log[1], 2);
        ::close(log[0]);
        if (::chdir(dir.c_str()) != 0)
            _exit(3);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::execl(program.c_str(), program.c_str(), "--headless", static_cast<char*>(nullptr));
        _exit(4);
    }
    ::close(log[1]);
    std::string output;
    auto readLog = [&](int timeoutMs) {
        timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        fd_set set;
        FD_ZERO(&set);
        FD_SET(log[0], &set);
        if (::select(log[0] + 1, &set, nullptr, nullptr, &wait) > 0) {
            char buffer[4096];
            const ssize_t n = ::read(log[0], buffer, sizeof buffer);
            if (n > 0)
                output.append(buffer, static_cast<std::size_t>(n));
        }
    };
    const auto started = TClock::now();
    while (output.find("läuft ohne Fenster") == std::string::npos && TClock::now() - started < std::chrono::seconds(20))
        readLog(100);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the history's first write
    const long rssStart = RssKb(child);

    TSender sender;
    long rssPeak = rssStart;
    std::int64_t sentOctets = 0;
    long announcements = 0, flows = 0;
    std::uint32_t sequence = 1;
    const auto floodStart = TClock::now();
    const long total = static_cast<long>(rate * seconds);
    auto lastSample = floodStart;
    while (announcements < total) {
        // Paced in steps of a millisecond.
        const double elapsed = std::chrono::duration<double>(TClock::now() - floodStart).count();
        const long due = std::min(total, static_cast<long>(elapsed * rate) + 1);
        for (; announcements < due; ++announcements) {
            const int i = static_cast<int>(announcements % addresses);
            const bool second = (announcements / addresses) % 2 != 0;
            const std::string text =
                "f0 " + Address(i) + " f2 f3 02:00:00:00:" + (second ? "0b:" : "0a:") + std::to_string(10 + i % 89) + " f5 eth0";
            sender.Send(2056, text.data(), text.size());
            if (announcements % 10 == 0) {
                const std::uint32_t octets = 1000 + static_cast<std::uint32_t>(announcements % 997);
                const auto bytes = TFlowDatagramBuilder(sequence++)
                                       .Add(Ip(8, 8, 8, 8), 443,
                                            Ip(10, 1, static_cast<std::uint8_t>(i / 250), static_cast<std::uint8_t>(i % 250 + 1)),
                                            50000, octets)
                                       .Bytes();
                sender.Send(2055, bytes.data(), bytes.size());
                sentOctets += octets;
                ++flows;
            }
        }
        if (TClock::now() - lastSample > std::chrono::milliseconds(100)) {
            rssPeak = std::max(rssPeak, RssKb(child));
            lastSample = TClock::now();
            readLog(0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    const double floodSeconds = std::chrono::duration<double>(TClock::now() - floodStart).count();
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        rssPeak = std::max(rssPeak, RssKb(child));
        readLog(0);
    }
    const long rssAfter = RssKb(child);

    const auto stopping = TClock::now();
    ::kill(child, SIGTERM);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        readLog(20);
        if (TClock::now() - stopping > std::chrono::seconds(120)) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            std::printf("killed after 120 s\n");
            break;
        }
    }
    const double stopSeconds = std::chrono::duration<double>(TClock::now() - stopping).count();
    readLog(100);

    std::int64_t historyOctets = -1, historyRows = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("flood"));
        db.setDatabaseName(QString::fromStdString((dir / "vexal-history.sqlite").string()));
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("select coalesce(sum(dloktets), 0), count(*) from traffic")) && query.next()) {
                historyOctets = query.value(0).toLongLong();
                historyRows = query.value(1).toLongLong();
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("flood"));

    std::printf("flood: %d addresses, %ld announcements and %ld flow datagrams in %.1f s\n", addresses, announcements,
                flows, floodSeconds);
    std::printf("RSS: %.1f MB at start, %.1f MB at most, %.1f MB after the flood\n", static_cast<double>(rssStart) / 1024.0,
                static_cast<double>(rssPeak) / 1024.0, static_cast<double>(rssAfter) / 1024.0);
    std::printf("stop after SIGTERM: %.2f s (exit %d)\n", stopSeconds, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::printf("history: %lld octets downloaded in %lld rows; sent %lld\n", static_cast<long long>(historyOctets),
                static_cast<long long>(historyRows), static_cast<long long>(sentOctets));
    // The log's end: losses (datagrams the program could not take) are reported there.
    std::printf("program log:\n%s\n", output.substr(output.size() > 3000 ? output.size() - 3000 : 0).c_str());
    std::filesystem::remove_all(dir);
    return 0;
}
