#include "TUdpListener.h"

#include <QObject>
#include <QTest>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {
// Numbered datagrams to a loopback port, as fast as one thread sends them, until
// stopped or `limit` are out.
class TFlood {
public:
    TFlood(quint16 port, std::uint64_t limit) : Sender([this, port, limit] { Run(port, limit); }) {}
    ~TFlood() { Finish(); }
    // Stops sending and waits for the sender.
    void Finish()
    {
        Stop = true;
        if (Sender.joinable())
            Sender.join();
    }
    bool Running() const { return !Done; }
    std::uint64_t Sent() const { return Count; }

private:
    void Run(quint16 port, std::uint64_t limit)
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        char datagram[64] = {};
        for (std::uint64_t n = 0; n < limit && !Stop; ++n) {
            std::memcpy(datagram, &n, sizeof n);
            if (::sendto(fd, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0)
                ++Count;
        }
        ::close(fd);
        Done = true;
    }

    std::atomic<bool> Stop{false};
    std::atomic<bool> Done{false};
    std::atomic<std::uint64_t> Count{0};
    std::thread Sender;
};
}

// A flood must not keep the window from its other work: an event posted while the
// listener is busy runs after at most a budget or two of datagrams, long before the
// flood ends, and the datagrams are still handled in the order they came.
TEST(TUdpListener, AFloodLeavesTheEventLoopItsTurns)
{
    QObject context;
    std::unique_ptr<TFlood> flood;
    std::uint64_t handled = 0;
    std::uint64_t postedAt = 0;
    std::uint64_t ranAt = 0;
    bool ran = false;
    bool floodRunningWhenRan = false;
    bool inOrder = true;
    std::uint64_t last = 0;
    TUdpListener listener(0, [&](std::span<const unsigned char> bytes, const std::string&, quint16) {
        std::uint64_t n = 0;
        std::memcpy(&n, bytes.data(), std::min(bytes.size(), sizeof n));
        inOrder &= handled == 0 || n > last;
        last = n;
        if (++handled == 2000) {
            postedAt = handled;
            QMetaObject::invokeMethod(
                &context,
                [&] {
                    ran = true;
                    ranAt = handled;
                    floodRunningWhenRan = flood->Running();
                },
                Qt::QueuedConnection);
        }
        // About what accounting a datagram costs, so the sender outruns the handler.
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(5);
        while (std::chrono::steady_clock::now() < until) {
        }
    });
    ASSERT_TRUE(listener.Bound());
    flood = std::make_unique<TFlood>(listener.Port(), 3'000'000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran; }, 60'000));
    EXPECT_TRUE(floodRunningWhenRan) << "the posted event waited for the flood to end";
    EXPECT_LE(ranAt - postedAt, std::uint64_t{2 * TUdpListener::DrainBudget});
    flood->Finish();
    const std::uint64_t flooded = flood->Sent();
    flood.reset();
    EXPECT_TRUE(inOrder);
    EXPECT_GT(handled, 2000u);

    // What the flood left is taken up (the kernel drops what comes while its buffer is
    // full). Bursts of more than a budget then arrive whole and in order, each after
    // the listener had run dry: it goes on hearing what comes later.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const std::uint64_t before = handled;
            QTest::qWait(100);
            return handled == before;
        },
        30'000));
    QUdpSocket sender;
    std::uint64_t n = 5'000'000;
    for (int burst = 0; burst < 20; ++burst) {
        SCOPED_TRACE(burst);
        const std::uint64_t first = n;
        for (int i = 0; i < 3 * TUdpListener::DrainBudget; ++i, ++n) {
            char datagram[64] = {};
            std::memcpy(datagram, &n, sizeof n);
            sender.writeDatagram(datagram, sizeof datagram, QHostAddress::LocalHost, listener.Port());
        }
        const std::uint64_t before = handled;
        ASSERT_TRUE(QTest::qWaitFor([&] { return last == n - 1; }, 5000)) << "last heard " << last;
        EXPECT_EQ(handled - before, n - first);
    }
    EXPECT_TRUE(inOrder);
    // Every datagram of the flood was handled or counted as lost, by its cause (the
    // kernel reports its drops with the next datagram it delivers, here the bursts').
    EXPECT_EQ(handled - (n - 5'000'000) + listener.QueueDrops() + listener.KernelDrops(), flooded);
    EXPECT_EQ(listener.Waiting(), 0u);
}

// Ending a listener while a flood keeps its socket busy and its queue full (nothing
// handles it) returns: the receiver sees the stop between two batches.
TEST(TUdpListener, EndsWhileAFloodIsRunning)
{
    for (const bool handling : {false, true}) {
        SCOPED_TRACE(handling ? "while handling" : "with the queue full");
        std::uint64_t handled = 0;
        auto listener = std::make_unique<TUdpListener>(
            0, [&](std::span<const unsigned char>, const std::string&, quint16) { ++handled; }, nullptr, 64 * 1024);
        ASSERT_TRUE(listener->Bound());
        TFlood flood(listener->Port(), std::uint64_t(-1));
        if (handling) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return handled > 10'000; }, 10'000));
        } else {
            ASSERT_TRUE(QTest::qWaitFor([&] { return listener->Received() > 0; }, 10'000));
            // Not turning the event loop: the queue fills and stays full.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (listener->QueueDrops() == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_GT(listener->QueueDrops(), 0u);
        }
        EXPECT_TRUE(flood.Running());
        listener.reset();
        EXPECT_TRUE(flood.Running()) << "ended while the flood went on";
    }
}

// The kernel's own drops are counted too: a real-time sender on the receiver's core
// keeps the receiver from running for a burst larger than the socket's buffer. A
// datagram afterwards brings the kernel's count; then every datagram was handled or
// counted as dropped by the kernel, and a second one brings the same count again.
TEST(TUdpListener, TheKernelsDropsAreCounted)
{
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    int core = 0;
    while (!CPU_ISSET(core, &all))
        ++core;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(core, &one);

    std::uint64_t handled = 0;
    std::uint64_t last = 0;
    bool inOrder = true;
    // The receiver thread takes the affinity of the thread that starts it.
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    TUdpListener listener(0, [&](std::span<const unsigned char> bytes, const std::string&, quint16) {
        std::uint64_t n = 0;
        std::memcpy(&n, bytes.data(), std::min(bytes.size(), sizeof n));
        inOrder &= handled == 0 || n > last;
        last = n;
        ++handled;
    });
    ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
    ASSERT_TRUE(listener.Bound());

    constexpr std::uint64_t Burst = 12'000;  // 16.8 MB, twice the socket's buffer
    bool realTime = false;
    auto send = [&](std::uint64_t n, int fd) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(listener.Port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        char datagram[1400] = {};
        std::memcpy(datagram, &n, sizeof n);
        ::sendto(fd, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    std::thread sender([&] {
        sched_setaffinity(0, sizeof one, &one);
        sched_param priority{};
        priority.sched_priority = 1;
        realTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
        if (!realTime)
            return;
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        for (std::uint64_t n = 0; n < Burst; ++n)
            send(n, fd);
        priority.sched_priority = 0;
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &priority);
        ::close(fd);
    });
    sender.join();
    if (!realTime)
        GTEST_SKIP() << "no real-time scheduling here";
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const std::uint64_t before = handled;
            QTest::qWait(100);
            return handled == before && listener.Waiting() == 0;
        },
        30'000));
    // Each later datagram carries the same total again: it is counted once.
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    send(Burst, fd);
    ASSERT_TRUE(QTest::qWaitFor([&] { return last == Burst; }, 5000));
    const std::uint64_t dropped = listener.KernelDrops();
    send(Burst + 1, fd);
    ::close(fd);
    ASSERT_TRUE(QTest::qWaitFor([&] { return last == Burst + 1; }, 5000));
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(listener.KernelDrops(), dropped) << "no drops since the burst";
    EXPECT_EQ(listener.QueueDrops(), 0u);
    EXPECT_EQ(handled + listener.KernelDrops(), Burst + 2);
    EXPECT_TRUE(inOrder);
}
