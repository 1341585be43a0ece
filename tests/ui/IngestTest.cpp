// Receiving while the window thread is busy: what arrives meanwhile waits in the
// listener's queue and is accounted afterwards, every octet, in order.
#include "MainFormFixture.h"
#include "MetricsSnapshot.h"
#include "TCollector.h"
#include "TStateFile.h"
#include "TStateSaver.h"
#include "TextForms.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
std::string StateWithLocalSubnet()
{
    TDaten d;
    d.LocalSubnets = {"192.168.1"};
    d.ExportEnabled = false;
    d.VersionText = "not saved";
    return TStateFile::Format(d);
}

// 15 uploads of 1400 octets and 15 downloads of 60000 between 192.168.1.23 and the
// internet: a full 30-record datagram.
constexpr std::int64_t UploadPerDatagram = 15 * 1400;
constexpr std::int64_t DownloadPerDatagram = 15 * 60000;

std::vector<std::uint8_t> FullDatagram(std::uint32_t sequence)
{
    TFlowDatagramBuilder builder(sequence);
    for (int j = 0; j < 15; ++j) {
        builder.Add(Ip(192, 168, 1, 23), 40000, Ip(8, 8, 8, static_cast<std::uint8_t>(j)), 443, 1400);
        builder.Add(Ip(8, 8, 8, static_cast<std::uint8_t>(j)), 443, Ip(192, 168, 1, 23), 40000, 60000);
    }
    return builder.Bytes();
}

// Sends from a plain socket of its own, so a test thread can send while the window
// thread is held up.
class TSender {
public:
    TSender() : Fd(::socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~TSender() { ::close(Fd); }
    void Send(const std::vector<std::uint8_t>& bytes, quint16 port) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(Fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

private:
    int Fd;
};

// A file system whose fsync waits until the test lets it go, and that counts the
// renames (one per save that replaced the file).
class THeldFileSystem : public TFileSystem {
public:
    int Sync(int fd) override
    {
        std::unique_lock lock(Mutex);
        Held = true;
        Changed.notify_all();
        Changed.wait(lock, [this] { return Released; });
        return TFileSystem::Sync(fd);
    }
    int Rename(const char* from, const char* to) override
    {
        ++Renames;
        return TFileSystem::Rename(from, to);
    }
    bool WaitUntilHeld()
    {
        std::unique_lock lock(Mutex);
        return Changed.wait_for(lock, std::chrono::seconds(10), [this] { return Held; });
    }
    void Release()
    {
        std::lock_guard lock(Mutex);
        Released = true;
        Changed.notify_all();
    }
    std::atomic<int> Renames{0};

private:
    std::mutex Mutex;
    std::condition_variable Changed;
    bool Held = false;
    bool Released = false;
};

// Waits, without turning the event loop, until the listener's receiver has taken
// `count` datagrams off the socket, queued or dropped.
bool WaitUntilReceived(const TUdpListener& listener, std::uint64_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (listener.Received() + listener.QueueDrops() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
}

// More than the kernel's receive buffer holds (8 MB) arrives while the window thread
// is held up by a long handler; afterwards every datagram has been accounted, in order:
// the router's loss figure stays 0 and the totals are exact.
// What this holds is the window's side: whatever the receiver took off the socket is
// counted, however long the window is busy. Whether the kernel keeps up depends on the
// receiver thread getting the CPU, which a loaded machine does not promise, so the
// sender never runs further ahead of the receiver than the socket buffer holds by far.
TEST_F(MainFormTest, EveryOctetArrivingWhileTheWindowIsBusyIsCounted)
{
    WriteWholeFile("vexal.ini", StateWithLocalSubnet());
    ShowWithoutTicks();
    constexpr int Datagrams = 8000;  // 30 flows each, 11.7 MB of datagrams
    // About 0.7 MB on the way at most, a tenth of the socket buffer.
    constexpr std::uint64_t AheadOfReceiver = 500;
    const TUdpListener& listener = Form->Collector().FlowListener();
    const quint16 port = listener.Port();
    std::atomic<bool> busy{false};
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        while (!busy)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        TSender socket;
        for (int k = 0; k < Datagrams; ++k) {
            while (static_cast<std::uint64_t>(k) >= listener.Received() + listener.QueueDrops() + AheadOfReceiver)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            socket.Send(FullDatagram(1 + 30 * static_cast<std::uint32_t>(k)), port);
        }
        sent = true;
    });
    // The long handler: it holds the window thread until everything has been sent.
    QMetaObject::invokeMethod(
        Form.get(),
        [&] {
            busy = true;
            while (!sent)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        },
        Qt::QueuedConnection);
    // The sending alone may take long on a loaded machine: the wait for the totals
    // starts when it is done (the handler returns then), and only guards against a hang.
    ASSERT_TRUE(QTest::qWaitFor([&] { return sent.load(); }, 300'000));
    const bool handled = QTest::qWaitFor(
        [&] {
            return Daten.RouterCount() == 1 && StrToInt64(Daten.RouterUpload.Text(0)) == Datagrams * UploadPerDatagram;
        },
        60'000);
    sender.join();
    EXPECT_EQ(listener.KernelDrops(), 0u);
    EXPECT_EQ(listener.QueueDrops(), 0u);
    EXPECT_EQ(listener.Received(), static_cast<std::uint64_t>(Datagrams));
    ASSERT_EQ(Daten.RouterCount(), 1u);
    EXPECT_TRUE(handled) << "upload " << Daten.RouterUpload.Text(0) << " of " << Datagrams * UploadPerDatagram;
    EXPECT_EQ(Daten.RouterUpload.Text(0), IntToStr(Datagrams * UploadPerDatagram));
    EXPECT_EQ(Daten.RouterDownload.Text(0), IntToStr(Datagrams * DownloadPerDatagram));
    EXPECT_EQ(Daten.RouterPLoss[0], "0") << "no sequence gap";
}

// A window held up for long enough fills even the listener's queue. What did not fit is
// counted as lost for that cause, shown in the status line and in the metrics; what
// was queued before it is all accounted, in order.
TEST_F(MainFormTest, WhatTheQueueCannotHoldIsCountedByCauseAndShown)
{
    WriteWholeFile("vexal.ini", StateWithLocalSubnet());
    ShowWithoutTicks();
    TUdpListener& listener = Form->Collector().FlowListener();
    listener.SetQueueBytes(16 * 1024);
    constexpr int Datagrams = 400;
    // The window thread is busy sending here: nothing is handled until the event loop
    // runs again. Datagram k carries k + 1 octets, so the total tells which were counted.
    TSender socket;
    for (int k = 0; k < Datagrams; ++k)
        socket.Send(TFlowDatagramBuilder(1 + static_cast<std::uint32_t>(k))
                        .Add(Ip(192, 168, 1, 23), 40000, Ip(8, 8, 8, 8), 443, static_cast<std::uint32_t>(k + 1))
                        .Bytes(),
                    listener.Port());
    ASSERT_TRUE(WaitUntilReceived(listener, Datagrams));
    const std::uint64_t dropped = listener.QueueDrops();
    const std::uint64_t queued = listener.Waiting();
    EXPECT_EQ(queued + dropped, std::uint64_t{Datagrams});
    ASSERT_GT(dropped, 0u);
    ASSERT_GT(queued, 0u);
    EXPECT_EQ(listener.KernelDrops(), 0u);

    ASSERT_TRUE(QTest::qWaitFor([&] { return listener.Waiting() == 0 && Daten.RouterCount() == 1; }, 5000));
    EXPECT_EQ(StrToInt64(Daten.RouterUpload.Text(0)), static_cast<std::int64_t>(queued * (queued + 1) / 2))
        << "the first " << queued << " datagrams, every one of them";
    const QString text =
        QStringLiteral("UDP-Port %1: %2 Datagramme verloren (Warteschlange voll).").arg(listener.Port()).arg(dropped);
    ASSERT_TRUE(QTest::qWaitFor([&] { return LabelText("Label2") == text; }, 5000)) << LabelText("Label2").toStdString();
    Form->Collector().TimerClearPortsTimer();
    EXPECT_EQ(LabelText("Label2"), text) << "the periodic port check keeps it in view";
    const std::vector<std::pair<std::string, std::uint64_t>> byCause = {{"queue", dropped}, {"kernel", 0}};
    EXPECT_EQ(Form->Collector().Health().Dropped, byCause);
}

// The periodic save is written on a thread of its own: while its fsync hangs, the
// datagrams are accounted all the same, and a save period coming round meanwhile is
// skipped. Closing the window waits for that save, then saves everything counted.
TEST_F(MainFormTest, ThePeriodicSaveDoesNotHoldUpTheAccountingAndTheLastSaveHasEverything)
{
    WriteWholeFile("vexal.ini", StateWithLocalSubnet());
    ShowWithoutTicks();
    THeldFileSystem fileSystem;
    TStateSaver& saver = Form->Collector().StateSaver();
    saver.FileSystem = &fileSystem;
    struct TLetGo {
        THeldFileSystem& FileSystem;
        TStateSaver& Saver;
        ~TLetGo()
        {
            FileSystem.Release();
            Saver.Wait();
        }
    } letGo{fileSystem, saver};

    SendMac("f0 192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e f5 eth1\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.UserCount() == 1; }, 5000));
    Form->Collector().TimerSaveTimer();
    ASSERT_TRUE(fileSystem.WaitUntilHeld());
    constexpr int Datagrams = 100;
    for (int k = 0; k < Datagrams; ++k)
        SendFlow(FullDatagram(1 + 30 * static_cast<std::uint32_t>(k)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.UserUL.Text(0) == IntToStr(Datagrams * UploadPerDatagram); }, 10'000))
        << Daten.UserUL.Text(0);
    EXPECT_TRUE(saver.Busy()) << "accounted while the save hung";
    Form->Collector().TimerSaveTimer();

    // The periodic save is let go once the file has changed (a last save that did not
    // wait for it), or after two seconds (one that does).
    const std::string before = ReadWholeFile("vexal.ini");
    std::thread release([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (ReadWholeFile("vexal.ini") == before && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        fileSystem.Release();
    });
    Form->close();
    release.join();
    EXPECT_FALSE(saver.Busy()) << "the last save waited for the periodic one";
    saver.Wait();  // (so a save still under way would show in the file)
    EXPECT_EQ(fileSystem.Renames, 1) << "one periodic save, the second period skipped";
    TDaten saved;
    ASSERT_TRUE(TStateFile::Load(saved, "vexal.ini"));
    ASSERT_EQ(saved.UserCount(), 1u);
    EXPECT_EQ(saved.UserUL.Text(0), IntToStr(Datagrams * UploadPerDatagram));
    EXPECT_EQ(saved.UserDL.Text(0), IntToStr(Datagrams * DownloadPerDatagram));
}

// Datagrams that arrived but still wait in the queue when the window closes are
// counted before the last save, not lost with the queue.
TEST_F(MainFormTest, WhatWaitsInTheQueueAtCloseIsCountedAndSaved)
{
    WriteWholeFile("vexal.ini", StateWithLocalSubnet());
    ShowWithoutTicks();
    SendMac("f0 192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e f5 eth1\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.UserCount() == 1; }, 5000));
    // Sent and received while the window thread is here, not in its event loop.
    constexpr int Datagrams = 200;
    TSender socket;
    for (int k = 0; k < Datagrams; ++k)
        socket.Send(FullDatagram(1 + 30 * static_cast<std::uint32_t>(k)), Form->Collector().FlowListener().Port());
    ASSERT_TRUE(WaitUntilReceived(Form->Collector().FlowListener(), Datagrams));
    EXPECT_EQ(Form->Collector().FlowListener().QueueDrops(), 0u);
    EXPECT_EQ(Form->Collector().FlowListener().Waiting(), std::size_t{Datagrams});
    Form->close();
    EXPECT_EQ(Form->Collector().FlowListener().Waiting(), 0u);
    TDaten saved;
    ASSERT_TRUE(TStateFile::Load(saved, "vexal.ini"));
    ASSERT_EQ(saved.UserCount(), 1u);
    EXPECT_EQ(saved.UserUL.Text(0), IntToStr(Datagrams * UploadPerDatagram));
    EXPECT_EQ(saved.UserDL.Text(0), IntToStr(Datagrams * DownloadPerDatagram));
}
