#include "FlowDatagramBuilder.h"
#include "LoopbackDatagram.h"
#include "NetworkNamespace.h"
#include "TDaten.h"
#include "LocalTime.h"
#include "TExtraSettings.h"
#include "THeadlessProgram.h"
#include "TStateFile.h"
#include "SqliteQuery.h"
#include "TempDir.h"
#include "TestDatabaseCheck.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

// The program as a service runs it: --headless, without any display, stopped by SIGTERM.
namespace {
TDaten Site()
{
    TDaten d;
    d.LocalSubnets = {"192.168.1"};
    return d;
}

// "ip/ul/dl" of every row of a table in the history file beside the state.
std::vector<std::string> HistoryRows(const TTempDir& dir, const QString& table)
{
    return SqliteColumn(dir.File("vexal-history.sqlite"),
                        QStringLiteral("select ip || '/' || uloktets || '/' || dloktets from %1 order by id").arg(table));
}

// Extra settings with the metrics endpoint on, on the port the tests Fetch from.
TExtraSettings MetricsOn()
{
    TExtraSettings extra;
    extra.MetricsEnabled = true;
    extra.MetricsPort = 9155;
    return extra;
}

std::string Fetch(quint16 port, const QByteArray& path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray reply;
    while (socket.waitForReadyRead(5000) || socket.bytesAvailable() > 0)
        reply += socket.readAll();
    return reply.toStdString();
}
}

TEST(Headless, HelpSaysWhatTheOptionsAre)
{
    TTempDir dir;
    QProcess program;
    StartHeadless(program, dir, {QStringLiteral("--help")});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 0);
    const QString help = QString::fromUtf8(program.readAllStandardOutput());
    EXPECT_TRUE(help.contains(QStringLiteral("--headless"))) << help.toStdString();
    EXPECT_TRUE(help.contains(QStringLiteral("--help"))) << help.toStdString();
    EXPECT_FALSE(std::filesystem::exists(dir.File("vexal.ini"))) << "--help starts nothing";

    QProcess wrong;
    StartHeadless(wrong, dir, {QStringLiteral("--headless"), QStringLiteral("--daemon")});
    ASSERT_TRUE(wrong.waitForFinished(10000));
    EXPECT_NE(wrong.exitCode(), 0);
    EXPECT_TRUE(QString::fromUtf8(wrong.readAllStandardError()).contains(QStringLiteral("--daemon")));
}

// Real datagrams on the fixed ports are counted; SIGTERM saves the state, and the local
// history holds what was counted, once. A second start in the same folder ends at once
// with the message and leaves the first one running.
TEST(Headless, CountsDatagramsSavesOnSigtermAndKeepsTheHistory)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    const TDaten d = Site();
    ASSERT_TRUE(TStateFile::Save(d, dir.File("vexal.ini")));

    THeadlessProgram program(dir);
    ASSERT_TRUE(program.Running());

    QProcess second;
    StartHeadless(second, dir);
    ASSERT_TRUE(second.waitForFinished(10000)) << "the second instance must end by itself";
    EXPECT_NE(second.exitCode(), 0);
    const QString message = QString::fromUtf8(second.readAllStandardError());
    EXPECT_TRUE(message.contains(QStringLiteral("Vexal Capture läuft in diesem Ordner bereits."))) << message.toStdString();
    EXPECT_EQ(program.Program.state(), QProcess::Running);

    Announce("f0 192.168.1.7 f2 f3 02:00:00:00:00:07 f5 eth0");
    QTest::qWait(300);
    SendTo(2055, TFlowDatagramBuilder(100)
                     .Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 7), 50000, 223'000'000)
                     .Add(Ip(192, 168, 1, 7), 50000, Ip(8, 8, 8, 8), 443, 1'000)
                     .Bytes());
    SendTo(2055, {1, 2, 3});
    QTest::qWait(1500);
    ASSERT_TRUE(program.Stop());
    EXPECT_TRUE(program.Log.contains(QStringLiteral("1 fehlerhaftes Datagramm"))) << "status texts go to the log: "
        << program.Log.toStdString();

    TDaten saved;
    ASSERT_TRUE(TStateFile::Load(saved, dir.File("vexal.ini")));
    ASSERT_EQ(saved.UserCount(), 1u);
    EXPECT_EQ(saved.UserDL.Text(0), "223000000");
    EXPECT_EQ(saved.UserUL.Text(0), "1000");
    const std::vector<std::string> rows = HistoryRows(dir, QStringLiteral("traffic"));
    EXPECT_EQ(rows, std::vector<std::string>{"192.168.1.7/1000/223000000"}) << "every octet exactly once";
    EXPECT_EQ(TExtraSettings::Load(dir.File("vexal-extra.ini")), TExtraSettings{}) << "saved with the defaults";

    // Started again, the loaded totals are not counted a second time.
    THeadlessProgram again(dir);
    ASSERT_TRUE(again.Running());
    ASSERT_TRUE(again.Stop());
    EXPECT_EQ(HistoryRows(dir, QStringLiteral("traffic")), rows);
}

// Two collectors on one host, each in its own folder with ports of its own: each counts
// what its router sends to its ports, and nothing of the other's.
TEST(Headless, TwoCollectorsOnOneHostCountTheirOwnTraffic)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    struct TInstance {
        TInstance(quint16 flowPort, quint16 announcePort, std::uint8_t client, std::uint32_t octets)
            : FlowPort(flowPort), AnnouncePort(announcePort), Client(client), Octets(octets)
        {
        }
        quint16 FlowPort;
        quint16 AnnouncePort;
        std::uint8_t Client;
        std::uint32_t Octets;
        TTempDir Dir;
        QProcess Program;
        QString Log;
    };
    TInstance instances[] = {TInstance(3055, 3056, 7, 1'000), TInstance(4055, 4056, 8, 2'000)};
    for (TInstance& instance : instances) {
        ASSERT_TRUE(TStateFile::Save(Site(), instance.Dir.File("vexal.ini")));
        StartHeadless(instance.Program, instance.Dir,
                      {QStringLiteral("--headless"), QStringLiteral("--flow-port"), QString::number(instance.FlowPort),
                       QStringLiteral("--announce-port=%1").arg(instance.AnnouncePort)});
    }
    for (TInstance& instance : instances)
        ASSERT_TRUE(WaitUntilRunning(instance.Program, instance.Log));
    for (const TInstance& instance : instances) {
        const std::string mac = "02:00:00:00:00:0" + std::to_string(instance.Client);
        const std::string ip = "192.168.1." + std::to_string(instance.Client);
        const std::string text = "f0 " + ip + " f2 f3 " + mac + " f5 eth0";
        SendTo(instance.AnnouncePort, std::vector<std::uint8_t>(text.begin(), text.end()));
    }
    QTest::qWait(300);
    for (const TInstance& instance : instances)
        SendTo(instance.FlowPort, TFlowDatagramBuilder(100)
                                      .Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, instance.Client), 50000, instance.Octets)
                                      .Bytes());
    // The standard ports are nobody's now: what arrives there is counted by neither.
    SendTo(2055, TFlowDatagramBuilder(100).Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 7), 50000, 99'999).Bytes());
    QTest::qWait(1000);
    for (TInstance& instance : instances) {
        SCOPED_TRACE(instance.FlowPort);
        ASSERT_TRUE(Terminate(instance.Program, instance.Log));
        TDaten saved;
        ASSERT_TRUE(TStateFile::Load(saved, instance.Dir.File("vexal.ini")));
        ASSERT_EQ(saved.UserCount(), 1u) << instance.Log.toStdString();
        EXPECT_EQ(saved.UserIP[0], "192.168.1." + std::to_string(instance.Client));
        EXPECT_EQ(saved.UserDL.Text(0), std::to_string(instance.Octets));
    }
}

// With the history switched off in vexal-extra.ini no history file appears, and an old
// vexal.ini comes out of a run byte for byte.
TEST(Headless, ExtraSettingsLeaveTheStateFileAsItWas)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    const TDaten d = Site();
    ASSERT_TRUE(TStateFile::Save(d, dir.File("vexal.ini")));
    const std::string before = ReadWholeFile(dir.File("vexal.ini"));
    TExtraSettings extra;
    extra.HistoryEnabled = false;
    extra.HourlyAfterDays = 30;
    ASSERT_TRUE(extra.Save(dir.File("vexal-extra.ini")));

    THeadlessProgram program(dir);
    ASSERT_TRUE(program.Running());
    ASSERT_TRUE(program.Stop());
    EXPECT_EQ(ReadWholeFile(dir.File("vexal.ini")), before);
    EXPECT_FALSE(std::filesystem::exists(dir.File("vexal-history.sqlite")));
    EXPECT_EQ(TExtraSettings::Load(dir.File("vexal-extra.ini")), extra);
}

// A damaged history file does not stop the service: it is set aside, said in the log,
// and the counting goes on into a fresh file.
TEST(Headless, DamagedHistoryFileIsSetAsideAndSaid)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    ASSERT_TRUE(TStateFile::Save(Site(), dir.File("vexal.ini")));
    {
        std::ofstream damaged(dir.File("vexal-history.sqlite"), std::ios::binary);
        damaged << std::string(8192, 'x');
    }
    THeadlessProgram program(dir);
    ASSERT_TRUE(program.Running());
    Announce("f0 192.168.1.7 f2 f3 02:00:00:00:00:07 f5 eth0");
    QTest::qWait(300);
    SendTo(2055, TFlowDatagramBuilder(100).Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 7), 50000, 777).Bytes());
    QTest::qWait(300);
    ASSERT_TRUE(program.Stop());
    EXPECT_TRUE(program.Log.contains(QStringLiteral("Verlauf"))) << program.Log.toStdString();
    EXPECT_EQ(HistoryRows(dir, QStringLiteral("traffic")), std::vector<std::string>{"192.168.1.7/0/777"});
}

// A last export that cannot be done is said once in the log, not once by the status
// line and again by a warning.
TEST(Headless, FailedLastExportIsLoggedOnce)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    TDaten d = Site();
    ExportToNoServer(d);
    ASSERT_TRUE(TStateFile::Save(d, dir.File("vexal.ini")));

    THeadlessProgram program(dir);
    ASSERT_TRUE(program.Running());
    ASSERT_TRUE(program.Stop());
    EXPECT_EQ(program.Log.count(QStringLiteral("Letzter mySQL Export beim Beenden nicht möglich: "
                                       "mySQL Datenbank konnte nicht erreicht werden!")),
              1)
        << program.Log.toStdString();
}

TEST(Headless, MetricsEndpointShowsTheDevicesWhenSwitchedOn)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    ASSERT_TRUE(TStateFile::Save(Site(), dir.File("vexal.ini")));
    TExtraSettings extra = MetricsOn();
    ASSERT_TRUE(extra.Save(dir.File("vexal-extra.ini")));

    THeadlessProgram program(dir);
    ASSERT_TRUE(program.Running());
    Announce("f0 192.168.1.7 f2 f3 02:00:00:00:00:07 f5 eth0");
    QTest::qWait(300);
    SendTo(2055, TFlowDatagramBuilder(100).Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 7), 50000, 4'321).Bytes());
    std::string metrics;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            // Built when scraped: the device may show before its flow was counted.
            metrics = Fetch(9155, "/metrics");
            return metrics.find("192.168.1.7") != std::string::npos && metrics.find("} 4321\n") != std::string::npos;
        },
        5000))
        << metrics;
    EXPECT_NE(metrics.find("200 OK"), std::string::npos);
    const auto line = metrics.find("vexal_device_download_octets_total{");
    ASSERT_NE(line, std::string::npos) << metrics;
    const std::string first = metrics.substr(line, metrics.find('\n', line) - line);
    EXPECT_NE(first.find("ip=\"192.168.1.7\""), std::string::npos) << first;
    EXPECT_EQ(first.substr(first.rfind(' ') + 1), "4321") << first;
    EXPECT_NE(metrics.find("vexal_datagrams_received_total"), std::string::npos);
    ASSERT_TRUE(program.Stop());
}

// As the window does: SIGTERM sends the octets counted since the last run to the
// database. The database listens in the root namespace, so this test stays there.
TEST(Headless, SigtermExportsTheTrafficNotYetExported)
{
    const auto server = TestDatabaseConnection();
    ASSERT_FALSE(server.empty()) << "VEXAL_TEST_MYSQL names no connection file; run the tests through ctest";
    QSqlDatabase check = TestDatabaseCheck(server, QStringLiteral("headless-export-check"));
    ASSERT_TRUE(check.open()) << check.lastError().text().toStdString();
    QSqlQuery(check).exec(QStringLiteral("delete from traffic"));

    TTempDir dir;
    TDaten d = Site();
    ExportToTestDatabase(d, server);
    ASSERT_TRUE(TStateFile::Save(d, dir.File("vexal.ini")));

    THeadlessProgram program(dir);
    ASSERT_TRUE(program.Running());
    Announce("f0 192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e f5 eth1\n");
    QTest::qWait(300);
    SendTo(2055, TFlowDatagramBuilder(10).Add(Ip(192, 168, 1, 23), 5000, Ip(8, 8, 8, 8), 443, 123456).Bytes());
    QTest::qWait(300);
    ASSERT_TRUE(program.Stop());

    QSqlQuery query(check);
    ASSERT_TRUE(query.exec(QStringLiteral("select concat(ip,'/',uloktets,'/',dloktets) from traffic")));
    ASSERT_TRUE(query.next()) << "no row: " << program.Log.toStdString();
    EXPECT_EQ(query.value(0).toString().toStdString(), "192.168.1.23/123456/0");
    EXPECT_FALSE(query.next());
    check.close();
}

// Starts the service in its folder with one user of the site, and charges it a flow of
// the given octets. Callers check HasFatalFailure() afterwards.
static void StartWithOneChargedUser(QProcess& program, QString& log, const TTempDir& dir, std::uint32_t octets)
{
    ASSERT_TRUE(TStateFile::Save(Site(), dir.File("vexal.ini")));
    StartHeadless(program, dir);
    ASSERT_TRUE(WaitUntilRunning(program, log));
    Announce("f0 192.168.1.7 f2 f3 02:00:00:00:00:07 f5 eth0");
    QTest::qWait(300);
    SendTo(2055, TFlowDatagramBuilder(100).Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 7), 50000, octets).Bytes());
    QTest::qWait(300);
}

// The signals that ask a service to end (a closing terminal sends SIGHUP) end it the
// normal way: what was counted is saved.
TEST(Headless, StopSignalsSaveWhatWasCounted)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        ASSERT_TRUE(EnterOwnNetworkNamespace());
        TTempDir dir;
        QProcess program;
        QString log;
        StartWithOneChargedUser(program, log, dir, 55'800'000);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_TRUE(Terminate(program, log, signal));
        TDaten saved;
        ASSERT_TRUE(TStateFile::Load(saved, dir.File("vexal.ini")));
        ASSERT_EQ(saved.UserCount(), 1u);
        EXPECT_EQ(saved.UserDL.Text(0), "55800000");
    }
}

// The last history write at the stop fails while another program holds the file: the
// log says so, although the event loop that would have passed the message on has ended.
TEST(Headless, FailedLastHistoryWriteIsLogged)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    QProcess program;
    QString log;
    StartWithOneChargedUser(program, log, dir, 777);
    ASSERT_FALSE(HasFatalFailure());
    {
        QSqlDatabase locker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("history-locker"));
        locker.setDatabaseName(QString::fromStdString(dir.File("vexal-history.sqlite")));
        ASSERT_TRUE(locker.open());
        QSqlQuery lock(locker);
        ASSERT_TRUE(lock.exec(QStringLiteral("BEGIN EXCLUSIVE"))) << lock.lastError().text().toStdString();
        ASSERT_TRUE(Terminate(program, log));
        lock.exec(QStringLiteral("ROLLBACK"));
        locker.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("history-locker"));
    EXPECT_TRUE(log.contains(QStringLiteral("Verlauf konnte nicht geschrieben werden"))) << log.toStdString();
}

// A service has no display tick, yet the status it exports follows the announcements:
// a user loaded from the state (offline) is online once announced, and offline again
// once its announcement is older than the time-out. The program's clock is moved on
// past the time-out by libfaketime; its timers keep real time.
TEST(Headless, ExportedStatusFollowsTheAnnouncements)
{
#ifdef VEXAL_SANITIZED
    GTEST_SKIP() << "libfaketime hangs in a sanitized program; the regular build runs this test";
#endif
    ASSERT_STRNE(VEXAL_FAKETIME_LIBRARY, "") << "libfaketime is missing: scripts/setup.sh installs it";
    const auto server = TestDatabaseConnection();
    ASSERT_FALSE(server.empty()) << "VEXAL_TEST_MYSQL names no connection file; run the tests through ctest";
    QSqlDatabase check = TestDatabaseCheck(server, QStringLiteral("headless-status-check"));
    ASSERT_TRUE(check.open()) << check.lastError().text().toStdString();
    QSqlQuery(check).exec(QStringLiteral("delete from akteth"));
    const auto status = [&check] {
        QSqlQuery query(check);
        if (!query.exec(QStringLiteral("select status from akteth where ip = '192.168.1.30'")) || !query.next())
            return std::string("(none)");
        return query.value(0).toString().toStdString();
    };

    TTempDir dir;
    TDaten d = Site();
    d.AddUser("192.168.1.30", "02:00:00:00:00:30", "eth0", TLocalTime::Now());
    ExportToTestDatabase(d, server);
    d.ExportInterval = 1;
    ASSERT_TRUE(TStateFile::Save(d, dir.File("vexal.ini")));
    const std::filesystem::path clock = dir.File("clock");
    const auto setClock = [&clock](const char* offset) {
        std::ofstream(clock) << offset << "\n";
    };
    setClock("+0");

    THeadlessProgram program(dir, {QStringLiteral("--headless")},
                  {{QStringLiteral("LD_PRELOAD"), QStringLiteral(VEXAL_FAKETIME_LIBRARY)},
                   {QStringLiteral("FAKETIME_TIMESTAMP_FILE"), QString::fromStdString(clock.string())},
                   {QStringLiteral("FAKETIME_NO_CACHE"), QStringLiteral("1")},
                   {QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1")}});
    ASSERT_TRUE(program.Running());
    std::string seen;
    EXPECT_TRUE(QTest::qWaitFor([&] { return (seen = status()) == "0"; }, 10000))
        << "loaded users start offline: " << seen;
    // The same address with the same MAC: the row keeps its status, only its stamp moves.
    Announce("f0 192.168.1.30 f2 f3 02:00:00:00:00:30 f5 eth0");
    EXPECT_TRUE(QTest::qWaitFor([&] { return (seen = status()) == "1"; }, 10000))
        << "announced, the user is online: " << seen;
    setClock("+200");
    EXPECT_TRUE(QTest::qWaitFor([&] { return (seen = status()) == "0"; }, 10000))
        << "200 s after the announcement the user is offline: " << seen;
    ASSERT_TRUE(program.Stop());
    check.close();
}

TEST(ExtraSettings, ReadsWhatItWritesAndKeepsDefaultsForBrokenLines)
{
    TExtraSettings changed;
    changed.HistoryEnabled = false;
    changed.HourlyAfterDays = 7;
    changed.DailyAfterDays = 30;
    changed.MetricsEnabled = true;
    changed.MetricsPort = 19155;
    changed.MetricsAddress = "127.0.0.1";
    changed.MetricsUser = "prometheus";
    changed.MetricsPassword = "ge=heim";
    changed.Collector = "Haus B (Keller)";
    EXPECT_EQ(TExtraSettings::Parse(changed.Format()), changed);

    const struct {
        const char* Text;
        TExtraSettings Expected;
    } cases[] = {
        {"", {}},
        {"MetricsPort=70000\nMetricsEnabled=yes\nHistoryHourlyAfterDays=-1\n", {}},
        {"Unknown=1\r\nMetricsPort=8080\r\n", {.MetricsPort = 8080}},
        {"HistoryEnabled=0\nno equals sign\nHistoryDailyAfterDays=400x\n", {.HistoryEnabled = false}},
        {"Kollektor=standort-2\r\n", {.Collector = "standort-2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(TExtraSettings::Parse(c.Text), c.Expected);
    }
    // An empty name stands for the host name, so a collector always has one.
    EXPECT_FALSE(TExtraSettings{}.CollectorName().empty());
    EXPECT_EQ(changed.CollectorName(), "Haus B (Keller)");
}

namespace {
// A command for the site's hooks: appends its event's variables to a file.
std::string WriteEventScript(const TTempDir& dir, const std::string& name)
{
    const std::string path = dir.File(name + ".sh");
    WriteWholeFile(path, "#!/bin/sh\nprintf '%s %s %s %s %s %s\\n' \"$VEXAL_EVENT\" \"$VEXAL_MAC\" \"$VEXAL_IP\" "
                         "\"$VEXAL_NAME\" \"$VEXAL_LIMIT\" \"$VEXAL_USE\" >> " + dir.File(name + ".txt") + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

// The value of the first sample of a metric whose line holds all the parts given.
std::string Sample(const std::string& metrics, const std::string& name, const std::vector<std::string>& parts = {})
{
    std::istringstream lines(metrics);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(name + "{", 0) != 0 && line.rfind(name + " ", 0) != 0)
            continue;
        bool all = true;
        for (const std::string& part : parts)
            all = all && line.find(part) != std::string::npos;
        if (all)
            return line.substr(line.rfind(' ') + 1);
    }
    return {};
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}
}

// A device with a limit of 10 MB gets 9 MB and then 2 MB: the status text (the log), the
// metrics and the command each tell 80 % once and 100 % once. Started again within the
// period, the program does not tell them again.
TEST(Headless, VolumeLimitIsToldOnceAtEachMark)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    ASSERT_TRUE(TStateFile::Save(Site(), dir.File("vexal.ini")));
    TExtraSettings extra = MetricsOn();
    extra.LimitCommand = WriteEventScript(dir, "limit");
    ASSERT_TRUE(extra.Save(dir.File("vexal-extra.ini")));
    constexpr std::int64_t MB = 1'048'576;
    WriteWholeFile(dir.File("vexal-limits.ini"), "02:00:00:00:00:07=" + std::to_string(10 * MB) + "\n");

    THeadlessProgram program(dir);
    ASSERT_TRUE(program.Running());
    Announce("f0 192.168.1.7 f2 f3 02:00:00:00:00:07 f5 eth0");
    QTest::qWait(300);
    auto waitFor = [&](const QString& text) {
        return QTest::qWaitFor(
            [&] {
                program.Program.waitForReadyRead(50);
                program.Log += QString::fromUtf8(program.Program.readAllStandardError());
                return program.Log.contains(text);
            },
            15'000);
    };
    SendTo(2055, TFlowDatagramBuilder(100).Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 7), 50000, 9 * MB).Bytes());
    ASSERT_TRUE(waitFor(QStringLiteral("Volumenlimit 80 % erreicht"))) << program.Log.toStdString();
    std::string metrics = Fetch(9155, "/metrics");
    EXPECT_EQ(Sample(metrics, "vexal_device_limit_octets", {"02:00:00:00:00:07"}), std::to_string(10 * MB)) << metrics;
    EXPECT_EQ(Sample(metrics, "vexal_device_period_octets", {"02:00:00:00:00:07"}), std::to_string(9 * MB)) << metrics;
    EXPECT_EQ(Sample(metrics, "vexal_device_limit_crossings_total", {"mark=\"80\""}), "1") << metrics;
    EXPECT_EQ(Sample(metrics, "vexal_device_limit_crossings_total", {"mark=\"100\""}), "0") << metrics;

    SendTo(2055, TFlowDatagramBuilder(101).Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 7), 50000, 2 * MB).Bytes());
    ASSERT_TRUE(waitFor(QStringLiteral("Volumenlimit 100 % erreicht"))) << program.Log.toStdString();
    // More traffic beyond the limit tells nothing more.
    SendTo(2055, TFlowDatagramBuilder(102).Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 7), 50000, MB).Bytes());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Lines(ReadWholeFile(dir.File("limit.txt"))).size() >= 2; }, 15'000));
    QTest::qWait(2500);
    metrics = Fetch(9155, "/metrics");
    EXPECT_EQ(Sample(metrics, "vexal_device_period_octets", {"02:00:00:00:00:07"}), std::to_string(12 * MB)) << metrics;
    EXPECT_EQ(Sample(metrics, "vexal_device_limit_crossings_total", {"mark=\"80\""}), "1") << metrics;
    EXPECT_EQ(Sample(metrics, "vexal_device_limit_crossings_total", {"mark=\"100\""}), "1") << metrics;
    EXPECT_EQ(Sample(metrics, "vexal_commands_total", {"outcome=\"started\""}), "2") << metrics;
    ASSERT_TRUE(program.Stop());
    EXPECT_EQ(program.Log.count(
                  QStringLiteral("Volumenlimit 80 % erreicht: 02:00:00:00:00:07 (192.168.1.7, 02:00:00:00:00:07)")),
              1)
        << program.Log.toStdString();
    EXPECT_EQ(program.Log.count(QStringLiteral("Volumenlimit 100 % erreicht")), 1) << program.Log.toStdString();
    EXPECT_EQ(Lines(ReadWholeFile(dir.File("limit.txt"))),
              (std::vector<std::string>{"limit80 02:00:00:00:00:07 192.168.1.7  10485760 " + std::to_string(9 * MB),
                                        "limit100 02:00:00:00:00:07 192.168.1.7  10485760 " + std::to_string(11 * MB)}));

    // Started again in the same period: the marks were told, the file remembers it.
    THeadlessProgram again(dir);
    ASSERT_TRUE(again.Running());
    SendTo(2055, TFlowDatagramBuilder(200).Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 7), 50000, MB).Bytes());
    QTest::qWait(2500);
    metrics = Fetch(9155, "/metrics");
    EXPECT_EQ(Sample(metrics, "vexal_device_period_octets", {"02:00:00:00:00:07"}), std::to_string(13 * MB)) << metrics;
    ASSERT_TRUE(again.Stop());
    EXPECT_FALSE(again.Log.contains(QStringLiteral("Volumenlimit"))) << again.Log.toStdString();
    EXPECT_EQ(Lines(ReadWholeFile(dir.File("limit.txt"))).size(), 2U);
}

// The first announcement of a MAC never seen before is told once, in the log and by
// NewDeviceCommand; a MAC the history file saw in an earlier run is not, even when the
// state no longer holds its row.
TEST(Headless, NewDeviceIsToldOnceAndAKnownOneNot)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    ASSERT_TRUE(TStateFile::Save(Site(), dir.File("vexal.ini")));
    TExtraSettings extra;
    extra.NewDeviceCommand = WriteEventScript(dir, "new");
    ASSERT_TRUE(extra.Save(dir.File("vexal-extra.ini")));

    THeadlessProgram program(dir);
    ASSERT_TRUE(program.Running());
    Announce("f0 192.168.1.7 f2 f3 02:00:00:00:00:0a f5 laptop");
    Announce("f0 192.168.1.7 f2 f3 02:00:00:00:00:0a f5 laptop");
    QTest::qWait(300);
    // Another device takes the address: the first one's row leaves the state.
    Announce("f0 192.168.1.7 f2 f3 02:00:00:00:00:0b f5 phone");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Lines(ReadWholeFile(dir.File("new.txt"))).size() >= 2; }, 15'000));
    ASSERT_TRUE(program.Stop());
    EXPECT_EQ(program.Log.count(QStringLiteral("Neues Gerät: 02:00:00:00:00:0a (192.168.1.7, laptop)")), 1)
        << program.Log.toStdString();
    EXPECT_EQ(program.Log.count(QStringLiteral("Neues Gerät: 02:00:00:00:00:0b (192.168.1.7, phone)")), 1)
        << program.Log.toStdString();
    EXPECT_EQ(Lines(ReadWholeFile(dir.File("new.txt"))),
              (std::vector<std::string>{"newdevice 02:00:00:00:00:0a 192.168.1.7 laptop  ",
                                        "newdevice 02:00:00:00:00:0b 192.168.1.7 phone  "}));
    TDaten saved;
    ASSERT_TRUE(TStateFile::Load(saved, dir.File("vexal.ini")));
    ASSERT_EQ(saved.UserCount(), 1U);
    ASSERT_EQ(saved.UserMAC[0], "02:00:00:00:00:0b");

    THeadlessProgram again(dir);
    ASSERT_TRUE(again.Running());
    Announce("f0 192.168.1.7 f2 f3 02:00:00:00:00:0a f5 laptop");
    QTest::qWait(300);
    Announce("f0 192.168.1.8 f2 f3 02:00:00:00:00:0c f5 tv");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Lines(ReadWholeFile(dir.File("new.txt"))).size() >= 3; }, 15'000));
    ASSERT_TRUE(again.Stop());
    EXPECT_FALSE(again.Log.contains(QStringLiteral("Neues Gerät: 02:00:00:00:00:0a"))) << again.Log.toStdString();
    EXPECT_EQ(again.Log.count(QStringLiteral("Neues Gerät: 02:00:00:00:00:0c (192.168.1.8, tv)")), 1)
        << again.Log.toStdString();
    EXPECT_EQ(Lines(ReadWholeFile(dir.File("new.txt"))).size(), 3U);
}
