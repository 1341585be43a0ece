// The metrics endpoint as the collector runs it: built when scraped, a taken port tried
// again, the refusals of the bounded tables shown.
#include "NetworkNamespace.h"
#include "TCollector.h"
#include "TDaten.h"
#include "TExtraSettings.h"
#include "TMetricsExporter.h"
#include "TTimer.h"
#include "TempDir.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace {
constexpr quint16 MetricsPort = 9155;

// Runs the test body with the working directory in a folder of its own.
class TInTempDir {
public:
    TInTempDir() : Previous(std::filesystem::current_path()) { std::filesystem::current_path(Dir.Path); }
    ~TInTempDir() { std::filesystem::current_path(Previous); }

private:
    TTempDir Dir;
    std::filesystem::path Previous;
};

// A GET from a thread of its own while this thread turns the event loop (the snapshot
// is built on it); the whole answer.
std::string Scrape(quint16 port)
{
    std::string answer;
    std::atomic<bool> done = false;
    std::thread client([&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(5000)) {
            socket.write("GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
            QByteArray reply;
            while (socket.waitForReadyRead(10000) || socket.bytesAvailable() > 0)
                reply += socket.readAll();
            answer = reply.toStdString();
        }
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done.load(); }, 30'000))
        ADD_FAILURE() << "no answer from the metrics endpoint";
    client.join();
    return answer;
}

TExtraSettings MetricsOn()
{
    TExtraSettings extra;
    extra.HistoryEnabled = false;
    extra.MetricsEnabled = true;
    extra.MetricsPort = MetricsPort;
    return extra;
}
}

// Idle, the collector builds no snapshot: only a scrape makes it build one.
TEST(MetricsService, SnapshotIsBuiltOnlyWhenScraped)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TInTempDir dir;
    ASSERT_TRUE(MetricsOn().Save());
    TDaten daten;
    TCollector collector(daten, 0, 0);
    collector.Start();
    ASSERT_NE(collector.MetricsExporter(), nullptr);
    daten.AddUser("192.168.1.7", "02:00:00:00:00:07", "eth0", TLocalTime::Now());
    QTest::qWait(2000);
    EXPECT_EQ(collector.MetricsExporter()->SnapshotsBuilt(), 0u) << "nothing built while nobody scrapes";
    const std::string answer = Scrape(MetricsPort);
    EXPECT_NE(answer.find("ip=\"192.168.1.7\""), std::string::npos) << answer;
    EXPECT_EQ(collector.MetricsExporter()->SnapshotsBuilt(), 1u);
    collector.Stop();
}

// A port that another program holds at the start is tried again until it is free; the
// status line says why in German, naming the port.
TEST(MetricsService, TakenPortIsTriedAgain)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TInTempDir dir;
    ASSERT_TRUE(MetricsOn().Save());
    auto blocker = std::make_unique<QTcpServer>();
    ASSERT_TRUE(blocker->listen(QHostAddress::Any, MetricsPort));
    TDaten daten;
    TCollector collector(daten, 0, 0);
    QStringList texts;
    QObject::connect(&collector, &TCollector::StatusText, [&](const QString& text) { texts << text; });
    collector.MetricsRetryTimer().SetInterval(200);
    collector.Start();
    EXPECT_EQ(collector.MetricsExporter(), nullptr);
    ASSERT_FALSE(texts.isEmpty());
    EXPECT_TRUE(texts.join(QLatin1Char('\n')).contains(QStringLiteral("Metriken: Port 9155 nicht verfügbar")))
        << texts.join(QLatin1Char('\n')).toStdString();
    EXPECT_FALSE(texts.join(QLatin1Char('\n')).contains(QStringLiteral("CivetServer")));

    QTest::qWait(500);
    EXPECT_EQ(collector.MetricsExporter(), nullptr);
    blocker.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return collector.MetricsExporter() != nullptr; }, 10'000));
    EXPECT_NE(Scrape(MetricsPort).find("vexal_datagrams_received_total"), std::string::npos);
    EXPECT_FALSE(collector.MetricsRetryTimer().Enabled());
    collector.Stop();
}
