// Receiving while the window thread is busy: what arrives meanwhile waits in the
// listener's queue and is accounted afterwards, every octet, in order.
#include "MainFormFixture.h"
#include "TCollector.h"
#include "TStateFile.h"
#include "TextForms.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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
}

// More than the kernel's receive buffer holds (8 MB) arrives while the window thread
// is held up by a long handler; afterwards every datagram has been accounted, in order:
// the router's loss figure stays 0 and the totals are exact.
TEST_F(MainFormTest, EveryOctetArrivingWhileTheWindowIsBusyIsCounted)
{
    WriteWholeFile("vexal.ini", StateWithLocalSubnet());
    ShowWithoutTicks();
    constexpr int Datagrams = 8000;  // 30 flows each, 11.7 MB of datagrams
    const quint16 port = Form->FlowListener().Port();
    std::atomic<bool> busy{false};
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        while (!busy)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        TSender socket;
        for (int k = 0; k < Datagrams; ++k) {
            socket.Send(FullDatagram(1 + 30 * static_cast<std::uint32_t>(k)), port);
            // A steady 100 datagrams per millisecond at most, as a busy router sends.
            if (k % 100 == 99)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
    const bool handled = QTest::qWaitFor(
        [&] {
            return sent && Daten.RouterCount() == 1
                   && StrToInt64(Daten.RouterUpload[0]) == Datagrams * UploadPerDatagram;
        },
        20'000);
    sender.join();
    ASSERT_EQ(Daten.RouterCount(), 1u);
    EXPECT_TRUE(handled) << "upload " << Daten.RouterUpload[0] << " of " << Datagrams * UploadPerDatagram;
    EXPECT_EQ(Daten.RouterUpload[0], IntToStr(Datagrams * UploadPerDatagram));
    EXPECT_EQ(Daten.RouterDownload[0], IntToStr(Datagrams * DownloadPerDatagram));
    EXPECT_EQ(Daten.RouterPLoss[0], "0") << "no sequence gap";
}
