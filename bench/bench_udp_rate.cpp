// End to end over real UDP on loopback: the running main window (timers on, 1,000
// users refreshed every 750 ms) receives 30-record flow datagrams at a set rate for a
// while; afterwards it prints how many flows were lost (by the loss figure and by the
// kernel's UDP receive-error counters) and the GUI thread's CPU seconds per million
// flows. Usage: bench_udp_rate [seconds] [rate ...] (datagrams per second).
#include "FlowDatagramBuilder.h"
#include "TDaten.h"
#include "TMainForm.h"
#include "TUdpListener.h"
#include "TextForms.h"

#include <QApplication>
#include <QTest>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {
constexpr int Records = 30;
constexpr int Users = 1000;

struct TUdpCounters {
    long long InErrors = 0, RcvbufErrors = 0;
};

TUdpCounters ReadUdpCounters()
{
    std::ifstream snmp("/proc/net/snmp");
    std::string header, values;
    while (std::getline(snmp, header) && std::getline(snmp, values)) {
        if (header.rfind("Udp:", 0) != 0)
            continue;
        std::istringstream names(header), numbers(values);
        std::string name, number;
        TUdpCounters counters;
        while (names >> name && numbers >> number) {
            if (name == "InErrors")
                counters.InErrors = std::stoll(number);
            if (name == "RcvbufErrors")
                counters.RcvbufErrors = std::stoll(number);
        }
        return counters;
    }
    return {};
}

double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string UserAddress(int i)
{
    return "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

// Sends `rate` datagrams a second for `seconds`, paced per millisecond; returns the count.
long long Send(quint16 port, int rate, double seconds, std::uint32_t firstSequence)
{
    std::vector<std::vector<std::uint8_t>> pool;
    for (int i = 0; i < 256; ++i) {
        TFlowDatagramBuilder builder(0);
        for (int j = 0; j < Records; ++j) {
            const int user = (i * Records + j) % Users;
            const auto client = Ip(10, 1, static_cast<std::uint8_t>(user / 250), static_cast<std::uint8_t>(user % 250 + 1));
            if (j % 2)
                builder.Add(client, 50000, Ip(93, 184, 216, static_cast<std::uint8_t>(j)), 443, 1400);
            else
                builder.Add(Ip(93, 184, 216, static_cast<std::uint8_t>(j)), 443, client, 50000, 60000);
        }
        pool.push_back(builder.Bytes());
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const long long total = static_cast<long long>(rate * seconds);
    std::uint32_t sequence = firstSequence;
    long long sent = 0;
    while (sent < total) {
        const auto due = static_cast<long long>(
            std::chrono::duration<double>(Clock::now() - start).count() * rate);
        for (; sent < std::min(due, total); ++sent) {
            std::vector<std::uint8_t>& datagram = pool[static_cast<std::size_t>(sent % 256)];
            datagram[16] = static_cast<std::uint8_t>(sequence >> 24);
            datagram[17] = static_cast<std::uint8_t>(sequence >> 16);
            datagram[18] = static_cast<std::uint8_t>(sequence >> 8);
            datagram[19] = static_cast<std::uint8_t>(sequence);
            sequence += Records;
            sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    close(fd);
    return sent;
}
}

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    std::vector<int> rates;
    for (int i = 2; i < argc; ++i)
        rates.push_back(std::atoi(argv[i]));
    if (rates.empty())
        rates = {20000, 50000, 75000, 100000};

    std::printf("%10s %12s %12s %10s %14s %16s %14s\n", "rate/s", "datagrams", "flows", "lost", "kernel drops",
                "CPU s/M flows", "GUI busy %");
    for (int rate : rates) {
        TDaten d;
        d.LocalSubnets = {"10.1"};
        const TLocalTime now = TLocalTime::Now();
        for (int i = 0; i < Users; ++i)
            d.AddUser(UserAddress(i), "02:00:00:00:00:01", "eth1", now);
        TMainForm form(d, 0, 0);
        form.show();
        const quint16 port = form.FlowListener().Port();
        QTest::qWait(200);

        const TUdpCounters before = ReadUdpCounters();
        const double cpuBefore = ThreadCpuSeconds();
        const auto wallBefore = std::chrono::steady_clock::now();
        std::atomic<long long> sent{-1};
        std::thread sender([&] { sent = Send(port, rate, seconds, 1000); });
        while (sent < 0)
            QTest::qWait(50);
        sender.join();
        // Let the window finish what is queued.
        QTest::qWait(500);
        const double cpu = ThreadCpuSeconds() - cpuBefore;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
        const TUdpCounters after = ReadUdpCounters();

        const long long flowsSent = sent * Records;
        long long flowsSeen = 0;
        long long lost = flowsSent;
        if (d.RouterCount() == 1) {
            flowsSeen = StrToInt64(d.RouterRecordCount[0]) - 1000;
            lost = flowsSent - flowsSeen;
        }
        std::printf("%10d %12lld %12lld %10lld %14lld %16.3f %14.1f\n", rate, sent.load(), flowsSeen, lost,
                    (after.RcvbufErrors - before.RcvbufErrors) + (after.InErrors - before.InErrors),
                    flowsSeen ? cpu / (static_cast<double>(flowsSeen) / 1e6) : 0.0, 100.0 * cpu / wall);
        std::fflush(stdout);
    }
    return 0;
}
