// End to end over real UDP on loopback: the running main window (timers on, 1,000
// users refreshed every 750 ms) receives 30-record flow datagrams at a set rate for a
// while; afterwards it prints how many flows were lost (by the loss figure and by the
// kernel's UDP receive-error counters), the datagrams the listener's queue could not
// hold, and the program's CPU seconds per million flows (window and receiver thread).
// Usage: bench_udp_rate [-v 5|9|10] [-u users] [seconds] [rate ...] (datagrams per
// second); with -v 9 or -v 10 the same flows go out as NetFlow v9 or IPFIX, after one
// template. The program's threads run on the first core, the sender on the second, and
// the CPU figure is the whole process's time less the sender's. It runs in a fresh
// temporary folder, as a new installation would, and the sending starts after the
// local history's first write (every user's row, a one-off at start).
#include "FlowDatagramBuilder.h"
#include "TemplateDatagramBuilder.h"
#include "TCollector.h"
#include "TDaten.h"
#include "TLocalHistory.h"
#include "TMainForm.h"
#include "TUdpListener.h"
#include "TextForms.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {
constexpr int Records = 30;
int Users = 1000;

struct TUdpCounters {
    long long InErrors = 0;
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

double ProcessCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void PinToCore(int core)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// 250 users per /24, so that 65,000 users fit in 10.0.0.0/8.
std::array<std::uint8_t, 4> UserOctets(int i)
{
    const int net = i / 250;
    return {10, static_cast<std::uint8_t>(1 + net / 256), static_cast<std::uint8_t>(net % 256),
            static_cast<std::uint8_t>(i % 250 + 1)};
}

std::string UserAddress(int i)
{
    const auto o = UserOctets(i);
    return "10." + std::to_string(o[1]) + "." + std::to_string(o[2]) + "." + std::to_string(o[3]);
}

// Every datagram carries 15 uploads of 1400 octets and 15 downloads of 60000.
constexpr long long OctetsPerDatagram = 15LL * 1400 + 15LL * 60000;

// Where the flow sequence sits in a datagram of each version, and by how much it
// grows per datagram (v9 counts export packets, v5 and IPFIX count records).
std::size_t SequenceOffset(int version)
{
    return version == 5 ? 16 : version == 9 ? 12 : 8;
}

// Sends `rate` datagrams a second for `seconds`, paced per millisecond; returns the count.
long long Send(int version, quint16 port, int rate, double seconds, std::uint32_t firstSequence, double& cpu)
{
    PinToCore(1);
    // Enough different datagrams that every user gets traffic.
    const int poolSize = std::max(256, Users / Records + 1);
    std::vector<std::vector<std::uint8_t>> pool;
    for (int i = 0; i < poolSize; ++i) {
        TFlowDatagramBuilder builder(0);
        TBytes records;
        for (int j = 0; j < Records; ++j) {
            const int user = (i * Records + j) % Users;
            const auto o = UserOctets(user);
            const auto client = Ip(o[0], o[1], o[2], o[3]);
            const auto remote = Ip(93, 184, 216, static_cast<std::uint8_t>(j));
            const bool up = j % 2 != 0;
            const std::uint32_t octets = up ? 1400 : 60000;
            builder.Add(up ? client : remote, up ? 50000 : 443, up ? remote : client, up ? 443 : 50000, octets);
            const auto& src = up ? client : remote;
            const auto& dst = up ? remote : client;
            records.Ip(src[0], src[1], src[2], src[3]).Ip(dst[0], dst[1], dst[2], dst[3]);
            records.U16(up ? 50000 : 443).U16(up ? 443 : 50000).U8(6).U32(octets);
        }
        pool.push_back(version == 5 ? builder.Bytes()
                                    : TTemplateDatagramBuilder(static_cast<std::uint16_t>(version), 0)
                                          .Data(FlowTemplateId, records.Data, Records)
                                          .Bytes());
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (version != 5) {
        // The template goes first, from the same socket: IPFIX keys templates by session.
        const auto known = TTemplateDatagramBuilder(static_cast<std::uint16_t>(version), firstSequence)
                               .Template(FlowTemplateId, FlowFields())
                               .Bytes();
        sendto(fd, known.data(), known.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::size_t at = SequenceOffset(version);
    const std::uint32_t step = version == 9 ? 1 : Records;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const long long total = static_cast<long long>(rate * seconds);
    // The template packet took the first v9 sequence number; IPFIX counts data records only.
    std::uint32_t sequence = version == 9 ? firstSequence + 1 : firstSequence;
    long long sent = 0;
    while (sent < total) {
        const auto due = static_cast<long long>(
            std::chrono::duration<double>(Clock::now() - start).count() * rate);
        for (; sent < std::min(due, total); ++sent) {
            std::vector<std::uint8_t>& datagram = pool[static_cast<std::size_t>(sent % poolSize)];
            datagram[at] = static_cast<std::uint8_t>(sequence >> 24);
            datagram[at + 1] = static_cast<std::uint8_t>(sequence >> 16);
            datagram[at + 2] = static_cast<std::uint8_t>(sequence >> 8);
            datagram[at + 3] = static_cast<std::uint8_t>(sequence);
            sequence += step;
            sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    close(fd);
    cpu = ThreadCpuSeconds();
    return sent;
}
}

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    int version = 5;
    int first = 1;
    while (argc > first + 1 && (std::string(argv[first]) == "-v" || std::string(argv[first]) == "-u")) {
        (std::string(argv[first]) == "-v" ? version : Users) = std::atoi(argv[first + 1]);
        first += 2;
    }
    PinToCore(0);
    // The state file and the local history of the runs go here, not into the folder the
    // benchmark was started from, and every run starts without an old history.
    const QTemporaryDir folder;
    if (!folder.isValid() || !QDir::setCurrent(folder.path())) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const double seconds = argc > first ? std::atof(argv[first]) : 10.0;
    std::vector<int> rates;
    for (int i = first + 1; i < argc; ++i)
        rates.push_back(std::atoi(argv[i]));
    if (rates.empty())
        rates = {20000, 50000, 75000, 100000};

    std::printf("NetFlow version %d, %d users, %d flows per datagram\n", version, Users, Records);
    std::printf("%10s %12s %12s %10s %14s %12s %16s %14s\n", "rate/s", "datagrams", "flows", "lost", "kernel drops",
                "queue drops", "CPU s/M flows", "program CPU %");
    for (int rate : rates) {
        TDaten d;
        d.LocalSubnets = {"10"};
        const TLocalTime now = TLocalTime::Now();
        for (int i = 0; i < Users; ++i)
            d.AddUser(UserAddress(i), "02:00:00:00:00:01", "eth1", now);
        TMainForm form(d, 0, 0);
        form.show();
        const quint16 port = form.Collector().FlowListener().Port();
        QTest::qWait(200);
        if (TLocalHistory* history = form.Collector().LocalHistory())
            history->WaitForWrites();

        const TUdpCounters before = ReadUdpCounters();
        const double cpuBefore = ProcessCpuSeconds();
        const auto wallBefore = std::chrono::steady_clock::now();
        std::atomic<long long> sent{-1};
        double senderCpu = 0;
        std::thread sender([&] { sent = Send(version, port, rate, seconds, 1000, senderCpu); });
        while (sent < 0)
            QTest::qWait(50);
        sender.join();
        // Let the window finish what is queued (the receiver thread may still hold some).
        QTest::qWait(200);
        while (form.Collector().FlowListener().Waiting() > 0)
            QTest::qWait(50);
        QTest::qWait(300);
        const double cpu = ProcessCpuSeconds() - cpuBefore - senderCpu;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
        const TUdpCounters after = ReadUdpCounters();

        const long long flowsSent = sent * Records;
        long long flowsSeen = 0;
        long long lost = flowsSent;
        if (d.RouterCount() == 1) {
            // Counted by the octets that arrived, the same measure for every version.
            const long long octets = d.RouterUpload.Value(0) + d.RouterDownload.Value(0);
            flowsSeen = octets / OctetsPerDatagram * Records;
            lost = flowsSent - flowsSeen;
        }
        std::printf("%10d %12lld %12lld %10lld %14lld %12llu %16.3f %14.1f\n", rate, sent.load(), flowsSeen, lost,
                    // A datagram dropped for a full receive buffer counts in both InErrors
                    // and RcvbufErrors: InErrors alone is every datagram the kernel lost.
                    after.InErrors - before.InErrors,
                    static_cast<unsigned long long>(form.Collector().FlowListener().QueueDrops()),
                    flowsSeen ? cpu / (static_cast<double>(flowsSeen) / 1e6) : 0.0, 100.0 * cpu / wall);
        std::fflush(stdout);
    }
    return 0;
}
