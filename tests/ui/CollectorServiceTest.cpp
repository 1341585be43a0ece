// The collector as a service runs it: the metrics endpoint built when scraped and a
// taken port tried again; failures of the name import and refusals of the bounded
// tables as status texts (which the headless log writes, as the window shows them).
#include "NetworkNamespace.h"
#include "FlowAccounting.h"
#include "TCollector.h"
#include "TCommandRunner.h"
#include "THttpTestServer.h"
#include "TNameImport.h"
#include "TemplateDatagramBuilder.h"
#include "TDaten.h"
#include "TExportStateFile.h"
#include "TExtraSettings.h"
#include "TMetricsExporter.h"
#include "TStateFile.h"
#include "TStateSaver.h"
#include "TTimer.h"
#include "TempDir.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
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

// Every way the name import can fail comes out as a status text.
TEST(CollectorService, NameImportFailuresAreStatusTexts)
{
    THttpTestServer loop(
        [](const QByteArray&) { return THttpTestServer::Response(302, "", "Location: /macs.txt\r\n"); });
    THttpTestServer large([](const QByteArray&) {
        return THttpTestServer::Response(200, QByteArray(TNameImport::MaxBodyBytes + 1, 'x'));
    });
    const struct {
        const char* Name;
        QString Url;
        const char* Said;
    } cases[] = {
        {"redirect loop", loop.Url(), "mehr als 10 Weiterleitungen"},
        {"body too large", large.Url(), "Namensliste größer als 4 MB"},
        {"nobody listening", QStringLiteral("http://127.0.0.1:1/macs.txt"), "HTTP Namensimport fehlgeschlagen: "},
    };
    TInTempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TDaten daten;
        daten.HttpUrl = c.Url.toStdString();
        TCollector collector(daten, 0, 0);
        QStringList texts;
        QObject::connect(&collector, &TCollector::StatusText, [&](const QString& text) { texts << text; });
        bool done = false;
        QObject::connect(&collector, &TCollector::NamesImported, [&] { done = true; });
        collector.TimerGetNameTimer();
        ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 10'000));
        const QString said = texts.join(QLatin1Char('\n'));
        EXPECT_TRUE(said.contains(QStringLiteral("HTTP Namensimport fehlgeschlagen: "))) << said.toStdString();
        EXPECT_TRUE(said.contains(QString::fromUtf8(c.Said))) << said.toStdString();
    }
}

// A flood of made-up flow senders fills the router table; the refusals reach the status
// line (within a second, summed up) and the metrics, by cause.
TEST(CollectorService, RefusedRoutersAreShownAndCounted)
{
    TInTempDir dir;
    TDaten daten;
    daten.LocalSubnets = {"192.168.1"};  // else the first text says that no local network is set
    TCollector collector(daten, 0, 0);
    collector.Start();
    QStringList texts;
    QObject::connect(&collector, &TCollector::StatusText, [&](const QString& text) { texts << text; });
    const std::vector<std::uint8_t> header = TTemplateDatagramBuilder(9, 1).Bytes();
    const int flood = static_cast<int>(TDaten::MaxRouters) + 10;
    for (int i = 0; i < flood; ++i)
        collector.NMUDP1DataReceived(header, "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), 2055);
    EXPECT_EQ(daten.RouterCount(), TDaten::MaxRouters);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !texts.isEmpty(); }, 5000));
    EXPECT_TRUE(texts.back().contains(QStringLiteral("Routertabelle voll (4096 Router): 10 neue Absender abgewiesen.")))
        << texts.back().toStdString();
    const TMetricsHealth health = collector.Health();
    const std::pair<std::string, std::uint64_t> routers{"router_table_full", 10};
    EXPECT_NE(std::find(health.Refused.begin(), health.Refused.end(), routers), health.Refused.end());
    collector.Stop();
}

// What the database has not received is kept over a stop and a start, in a file of its
// own beside vexal.ini (which keeps its layout): written by the periodic save and at
// the stop (after the last run, which could not reach the database), read at the start.
TEST(CollectorService, UnexportedIntervalIsKeptOverARestart)
{
    TInTempDir dir;
    std::string ini;
    {
        TDaten daten;
        TCollector collector(daten, 0, 0);
        collector.Start();
        daten.LocalSubnets = {"192.168.1"};
        daten.ExportEnabled = true;
        daten.MySqlHost = "127.0.0.1";
        daten.MySqlPort = "1";  // nobody listens: the last run at the stop fails
        daten.AddUser("192.168.1.10", "02:00:00:00:00:0a", "eth0", TLocalTime::Now());
        daten.UserDL.SetValue(0, 5000);
        daten.UserCUL.SetValue(0, 1000);
        daten.UserCDL.SetValue(0, 2000);
        collector.TimerSaveTimer();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !collector.ExportStateSaver().Busy(); }, 10'000));
        EXPECT_NE(ReadWholeFile(TExportStateFile::DefaultPath).find("U\t192.168.1.10\t02:00:00:00:00:0a\teth0\t1000\t2000"),
                  std::string::npos)
            << "the periodic save writes it";
        daten.UserCDL.Add(0, 500);
        daten.CarriedTraffic.Carry("192.168.1.11", "02:00:00:00:00:0b", "eth0", 30, 40, {});
        collector.Stop();
        ini = TStateFile::Format(daten);
    }
    EXPECT_EQ(ReadWholeFile(TStateFile::DefaultPath), ini);
    TDaten daten;
    TCollector collector(daten, 0, 0);
    collector.Start();
    ASSERT_EQ(daten.UserCount(), 1u);
    EXPECT_EQ(daten.UserDL.Text(0), "5000");
    EXPECT_EQ(daten.UserCUL.Text(0), "1000");
    EXPECT_EQ(daten.UserCDL.Text(0), "2500");
    ASSERT_EQ(daten.CarriedTraffic.size(), 1u);
    EXPECT_EQ(daten.CarriedTraffic.Rows().front()->DL, 40);
    collector.Stop();
}

// A damaged export state file: a clear status text, the file kept aside, and vexal.ini
// loaded whole; nothing of the damaged file is believed.
TEST(CollectorService, DamagedExportStateIsNamedAndPutAside)
{
    TInTempDir dir;
    {
        TDaten saved;
        saved.AddUser("192.168.1.10", "02:00:00:00:00:0a", "eth0", TLocalTime::Now());
        saved.UserDL.SetValue(0, 5000);
        saved.UserUL.SetValue(0, 700);
        saved.UserCDL.SetValue(0, 2000);
        ASSERT_TRUE(TStateFile::Save(saved));
        const std::string whole = TExportStateFile::Format(saved, {});
        WriteWholeFile(TExportStateFile::DefaultPath, whole.substr(0, whole.size() - 5));
    }
    TDaten daten;
    TCollector collector(daten, 0, 0);
    QStringList texts;
    QObject::connect(&collector, &TCollector::StatusText, [&](const QString& text) { texts << text; });
    collector.Start();
    const QString said = texts.join(QLatin1Char('\n'));
    EXPECT_TRUE(said.contains(QStringLiteral("vexal-export.dat ist beschädigt (Zeile 4: abgeschnitten), beiseitegelegt "
                                             "als vexal-export.dat.defekt")))
        << said.toStdString();
    ASSERT_EQ(daten.UserCount(), 1u);
    EXPECT_EQ(daten.UserDL.Text(0), "5000");
    EXPECT_EQ(daten.UserUL.Text(0), "700");
    EXPECT_EQ(daten.UserCDL.Text(0), "0");
    EXPECT_TRUE(std::filesystem::exists("vexal-export.dat.defekt"));
    collector.Stop();
    // The next save writes a whole file again.
    std::vector<TUnsettledRun> runs;
    std::string error;
    TDaten again;
    EXPECT_EQ(TExportStateFile::Load(again, runs, error), TExportStateFile::TLoad::Loaded) << error;
}

// A flood of invented MACs from the LAN: a few are told one by one, the rest as a sum;
// NewDeviceCommand runs for a few, a bounded number wait, the rest are dropped and
// counted; the counting goes on meanwhile.
TEST(CollectorService, FloodOfNewDevicesIsBoundedAndCounted)
{
    TInTempDir dir;
    TExtraSettings extra;
    extra.HistoryEnabled = false;
    extra.NewDeviceCommand = "sleep 600";
    ASSERT_TRUE(extra.Save());
    TDaten site;
    site.LocalSubnets = {"192.168.1"};
    ASSERT_TRUE(site.SaveState() != TSaveOutcome::Failed);
    TDaten daten;
    TCollector collector(daten, 0, 0);
    const TLocalTime noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
    collector.Clock = [noon] { return noon; };
    QStringList texts;
    QObject::connect(&collector, &TCollector::StatusText, [&](const QString& text) { texts << text; });
    collector.Start();
    constexpr int Flood = 500;
    for (int i = 0; i < Flood; ++i) {
        char text[80];
        std::snprintf(text, sizeof text, "f0 192.168.1.%d f2 f3 02:00:00:00:%02x:%02x f5 eth0", 1 + i % 250, i / 256,
                      i % 256);
        const std::string announcement = text;
        collector.NMUDP2DataReceived(
            std::span(reinterpret_cast<const unsigned char*>(announcement.data()), announcement.size()), "192.168.1.1");
    }
    collector.TimerLimitsTimer();
    EXPECT_EQ(texts.filter(QStringLiteral("Neues Gerät: ")).size(), TNewDeviceAlert::AlertsPerMinute);
    EXPECT_TRUE(texts.contains(QStringLiteral("Neue Geräte: %1 weitere nicht einzeln gemeldet (mehr als %2 je Minute)")
                                   .arg(Flood - TNewDeviceAlert::AlertsPerMinute)
                                   .arg(TNewDeviceAlert::AlertsPerMinute)))
        << texts.join(QLatin1Char('\n')).toStdString();
    const TCommandRunner& commands = collector.CommandRunner();
    EXPECT_EQ(commands.Running(), TCommandRunner::MaxRunning);
    EXPECT_EQ(commands.Waiting(), TCommandRunner::MaxWaiting);
    EXPECT_EQ(commands.Dropped, Flood - TCommandRunner::MaxRunning - TCommandRunner::MaxWaiting);
    const TMetricsHealth health = collector.Health();
    EXPECT_EQ(health.NewDevices, static_cast<std::uint64_t>(Flood));
    EXPECT_NE(std::find(health.Commands.begin(), health.Commands.end(),
                        std::pair<std::string, std::uint64_t>{"dropped", commands.Dropped}),
              health.Commands.end());
    EXPECT_EQ(daten.UserCount(), 250U) << "every announcement was counted";
    collector.Stop();
}

// Without a history the MACs seen are still let go of each second: a site with more
// devices than may wait for the history would otherwise never hear of a new one.
TEST(CollectorService, NewDeviceIsToldWithoutAHistoryAfterManyDevices)
{
    TInTempDir dir;
    TExtraSettings extra;
    extra.HistoryEnabled = false;
    ASSERT_TRUE(extra.Save());
    TDaten site;
    site.LocalSubnets = {"192.168"};
    ASSERT_TRUE(site.SaveState() != TSaveOutcome::Failed);
    TDaten daten;
    TCollector collector(daten, 0, 0);
    TLocalTime now = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
    collector.Clock = [&now] { return now; };
    QStringList texts;
    QObject::connect(&collector, &TCollector::StatusText, [&](const QString& text) { texts << text; });
    collector.Start();
    auto announce = [&](int i) {
        char text[96];
        std::snprintf(text, sizeof text, "f0 192.168.%d.%d f2 f3 02:00:00:01:%02x:%02x f5 eth0", i / 250, 1 + i % 250,
                      i / 256, i % 256);
        const std::string announcement = text;
        collector.NMUDP2DataReceived(
            std::span(reinterpret_cast<const unsigned char*>(announcement.data()), announcement.size()), "192.168.0.1");
    };
    const int many = static_cast<int>(TNewDeviceAlert::MaxWaiting);
    for (int i = 0; i < many; ++i) {
        announce(i);
        if (i % 500 == 499)
            collector.TimerLimitsTimer();  // once a second in the running program
    }
    collector.TimerLimitsTimer();
    now = TLocalTime::FromCivil(2026, 12, 10, 12, 5, 0);
    texts.clear();
    announce(many);
    EXPECT_EQ(texts.filter(QStringLiteral("Neues Gerät: ")).size(), 1) << texts.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(collector.Health().NewDevices, static_cast<std::uint64_t>(many + 1));
    collector.Stop();
}
