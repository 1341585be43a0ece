// --report on a history file the running program wrote, and the history window's CSV
// button: both print through the same CSV writer.
#include "FlowDatagramBuilder.h"
#include "HistorySnapshot.h"
#include "LoopbackDatagram.h"
#include "NetworkNamespace.h"
#include "SqliteQuery.h"
#include "TDaten.h"
#include "TFormVerlauf.h"
#include "THeadlessProgram.h"
#include "THistoryStore.h"
#include "TStateFile.h"
#include "TempDir.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace {
struct TRun {
    int Code = -1;
    std::string Out, Err;
};

// Runs the program to its end in the folder, without any display.
TRun RunProgram(const TTempDir& dir, const QStringList& arguments)
{
    QProcess program;
    StartHeadless(program, dir, arguments);
    TRun run;
    if (!program.waitForFinished(15000)) {
        program.kill();
        program.waitForFinished();
        run.Err = "still running";
        return run;
    }
    run.Code = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
    run.Out = program.readAllStandardOutput().toStdString();
    run.Err = program.readAllStandardError().toStdString();
    return run;
}
}

// Flows of two devices go through the running service into its history; --report
// prints each device's octets as they were sent, per day and summed, as CSV and JSON,
// also while a collector has the file open, and only the days asked for.
TEST(Report, PrintsTheOctetsTheProgramCounted)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    TDaten site;
    site.LocalSubnets = {"192.168.1"};
    ASSERT_TRUE(TStateFile::Save(site, dir.File("vexal.ini")));
    {
        THeadlessProgram collector(dir);
        ASSERT_TRUE(collector.Running());
        Announce("f0 192.168.1.7 f2 f3 02:00:00:00:00:07 f5 eth0");
        Announce("f0 192.168.1.10 f2 f3 02:00:00:00:00:0a f5 eth0");
        QTest::qWait(300);
        SendTo(2055, TFlowDatagramBuilder(100)
                         .Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 7), 50000, 223'000'000)
                         .Add(Ip(192, 168, 1, 7), 50000, Ip(8, 8, 8, 8), 443, 1'000)
                         .Add(Ip(9, 9, 9, 9), 53, Ip(192, 168, 1, 10), 40000, 5'555)
                         .Add(Ip(192, 168, 1, 10), 40000, Ip(9, 9, 9, 9), 53, 777)
                         .Bytes());
        QTest::qWait(1500);
        ASSERT_TRUE(collector.Stop());
    }
    const std::vector<std::string> days =
        SqliteColumn(dir.File("vexal-history.sqlite"), QStringLiteral("select distinct datum from traffic"));
    ASSERT_EQ(days.size(), 1u) << "the flows' day";
    const std::string day = days[0];
    const QDate date = QDate::fromString(QString::fromStdString(day), Qt::ISODate);
    const std::string before = date.addDays(-1).toString(Qt::ISODate).toStdString();
    const std::string after = date.addDays(1).toString(Qt::ISODate).toStdString();
    const std::string header = "Datum;IP;MAC;Upload (Oktette);Download (Oktette)\n";

    // Read while a collector runs in the folder and holds the file.
    THeadlessProgram again(dir);
    ASSERT_TRUE(again.Running());
    const struct {
        QStringList Arguments;
        std::string Expected;
    } cases[] = {
        {{"--report"},
         header + day + ";192.168.1.10;02:00:00:00:00:0a;777;5555\n" + day
             + ";192.168.1.7;02:00:00:00:00:07;1000;223000000\n"},
        {{"--report", "--sum", "--to", QString::fromStdString(day)},
         "Von;Bis;IP;MAC;Upload (Oktette);Download (Oktette)\n" + day + ";" + day
             + ";192.168.1.10;02:00:00:00:00:0a;777;5555\n" + day + ";" + day
             + ";192.168.1.7;02:00:00:00:00:07;1000;223000000\n"},
        {{"--report", "--from", QString::fromStdString(day), "--to", QString::fromStdString(day)},
         header + day + ";192.168.1.10;02:00:00:00:00:0a;777;5555\n" + day
             + ";192.168.1.7;02:00:00:00:00:07;1000;223000000\n"},
        {{"--report", "--from", QString::fromStdString(after), "--to", QString::fromStdString(after)}, header},
        {{"--report", "--to", QString::fromStdString(before)}, header},
        {{"--report", "--from", "2000-01-01", "--to", QString::fromStdString(before)}, header},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Arguments.join(QLatin1Char(' ')).toStdString());
        const TRun run = RunProgram(dir, c.Arguments);
        EXPECT_EQ(run.Code, 0) << run.Err;
        EXPECT_EQ(run.Out, c.Expected);
        EXPECT_EQ(run.Err, "");
    }

    const TRun json =
        RunProgram(dir, {"--report", "--format", "json", "--folder", QString::fromStdString(dir.Path.string())});
    ASSERT_EQ(json.Code, 0) << json.Err;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json.Out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.Out;
    const QJsonArray rows = document.array();
    ASSERT_EQ(rows.size(), 2);
    const struct {
        const char* IP;
        const char* MAC;
        qint64 UL, DL;
    } sent[] = {{"192.168.1.10", "02:00:00:00:00:0a", 777, 5'555},
                {"192.168.1.7", "02:00:00:00:00:07", 1'000, 223'000'000}};
    for (qsizetype i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(sent[i].IP);
        const QJsonObject row = rows[i].toObject();
        EXPECT_EQ(row.value("date").toString().toStdString(), day);
        EXPECT_EQ(row.value("ip").toString().toStdString(), sent[i].IP);
        EXPECT_EQ(row.value("mac").toString().toStdString(), sent[i].MAC);
        EXPECT_EQ(row.value("upload").toInteger(), sent[i].UL);
        EXPECT_EQ(row.value("download").toInteger(), sent[i].DL);
    }
    EXPECT_EQ(again.Program.state(), QProcess::Running) << "the collector runs on beside the reports";
    ASSERT_TRUE(again.Stop());
}

// Wrong use and a missing file: a message on stderr, nothing on stdout, an exit code
// other than 0, and no file or folder made.
TEST(Report, WrongUseIsSaidAndCreatesNothing)
{
    TTempDir dir;
    const QString nowhere = QString::fromStdString(dir.File("nowhere"));
    const struct {
        QStringList Arguments;
        const char* Says;
    } cases[] = {
        {{"--report"}, "nicht gefunden"},
        {{"--report", "--folder", nowhere}, "nicht gefunden"},
        {{"--report", "--from", "2026-02-30"}, "--from braucht ein Datum JJJJ-MM-TT"},
        {{"--report", "--to", "yesterday"}, "--to braucht ein Datum JJJJ-MM-TT"},
        {{"--report", "--from", "2026-03-02", "--to", "2026-03-01"}, "liegt nach --to"},
        {{"--report", "--format", "xml"}, "--format kennt csv und json"},
        {{"--sum"}, "--sum gehört zu --report"},
        {{"--report", "--daily"}, "Unbekannte Option: --daily"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Arguments.join(QLatin1Char(' ')).toStdString());
        const TRun run = RunProgram(dir, c.Arguments);
        EXPECT_NE(run.Code, 0);
        EXPECT_NE(run.Code, -1) << "ended by itself";
        EXPECT_NE(run.Err.find(c.Says), std::string::npos) << run.Err;
        EXPECT_EQ(run.Out, "");
        EXPECT_TRUE(std::filesystem::is_empty(dir.Path)) << "nothing created";
    }
}

// --help names the report and its options.
TEST(Report, HelpNamesIt)
{
    TTempDir dir;
    const TRun run = RunProgram(dir, {"--help"});
    EXPECT_EQ(run.Code, 0);
    for (const char* option : {"--report", "--from DATUM", "--to DATUM", "--format", "--sum"})
        EXPECT_NE(run.Out.find(option), std::string::npos) << option;
}

// The history window's button saves the table of the tab shown, row for row, with the
// octets whole; cancelling the question saves nothing.
TEST(Report, HistoryWindowSavesTheShownTableAsCsv)
{
    TTempDir dir;
    const QString path = QString::fromStdString(dir.File("history.sqlite"));
    const std::string ip = "192.168.1.5", mac = "02:00:00:00:01:05";
    const TLocalTime now = TLocalTime::FromCivil(2026, 12, 10, 12, 30, 0);
    {
        THistoryStore store(path, QStringLiteral("csv-button"));
        ASSERT_TRUE(store.Open().Ok);
        THistorySnapshot snapshot;
        snapshot.Devices.push_back({ip, mac, "eth0", 0, 0});
        snapshot.At = TLocalTime::FromCivil(2026, 12, 1, 0, 0, 0);
        ASSERT_TRUE(store.Write(snapshot).Ok);  // begins
        snapshot.Devices[0] = {ip, mac, "eth0", 1'234'567, 89};
        snapshot.At = TLocalTime::FromCivil(2026, 12, 9, 8, 0, 0);
        ASSERT_TRUE(store.Write(snapshot).Ok);
        snapshot.Devices[0] = {ip, mac, "eth0", 1'234'567 + 10, 89 + 20};
        snapshot.At = TLocalTime::FromCivil(2026, 12, 10, 11, 0, 0);
        ASSERT_TRUE(store.Write(snapshot).Ok);
    }
    TFormVerlauf verlauf;
    verlauf.ShowDevice(path, ip, mac, now);
    auto* tabs = verlauf.findChild<QTabWidget*>();
    auto* button = verlauf.findChild<QPushButton*>(QStringLiteral("SaveCsv"));
    ASSERT_NE(tabs, nullptr);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "Als CSV speichern…");

    const QString csv = QString::fromStdString(dir.File("tage.csv"));
    int asked = 0;
    verlauf.AskCsvPath = [&] {
        ++asked;
        return csv;
    };
    tabs->setCurrentIndex(TFormVerlauf::Days);
    button->click();
    EXPECT_EQ(asked, 1);
    const QTableWidget& table = verlauf.Table(TFormVerlauf::Days);
    std::string expected = "Zeitraum;Upload (Oktette);Download (Oktette)\n";
    for (int row = 0; row < table.rowCount(); ++row) {
        const std::string label = table.item(row, 0)->text().toStdString();
        const std::string octets = label == "10.12.2026"   ? "10;20"
                                   : label == "09.12.2026" ? "1234567;89"
                                   : label == "Summe"      ? "1234577;109"
                                                           : "0;0";
        expected += label + ";" + octets + "\n";
    }
    EXPECT_EQ(ReadWholeFile(csv.toStdString()), expected);
    EXPECT_EQ(table.rowCount(), 61);

    tabs->setCurrentIndex(TFormVerlauf::Hours);
    const QString hours = QString::fromStdString(dir.File("stunden.csv"));
    verlauf.AskCsvPath = [&] { return hours; };
    button->click();
    const std::string hourText = ReadWholeFile(hours.toStdString());
    EXPECT_EQ(std::count(hourText.begin(), hourText.end(), '\n'), 1 + 48 + 1);
    EXPECT_NE(hourText.find("\n10.12. 11 Uhr;10;20\n"), std::string::npos) << hourText;

    const auto files = [&] { return std::distance(std::filesystem::directory_iterator(dir.Path), {}); };
    const auto filesBefore = files();
    verlauf.AskCsvPath = [] { return QString(); };
    button->click();
    EXPECT_EQ(files(), filesBefore) << "cancelled: no file";
}

// Across the autumn switch in Europe/Berlin the hour table names the hour the clock
// showed twice once, with both hours' octets, and says so; the spring day's skipped
// hour has no row.
TEST(Report, HistoryWindowNamesTheDoubledHour)
{
    const char* old = std::getenv("TZ");
    const std::string oldZone = old ? old : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    TTempDir dir;
    const QString path = QString::fromStdString(dir.File("history.sqlite"));
    const std::string ip = "192.168.1.5", mac = "02:00:00:00:01:05";
    {
        THistoryStore store(path, QStringLiteral("dst-window"));
        ASSERT_TRUE(store.Open().Ok);
        THistorySnapshot snapshot;
        snapshot.Devices.push_back({ip, mac, "eth0", 0, 0});
        snapshot.At = TLocalTime::FromCivil(2026, 10, 24, 12, 0, 0);
        ASSERT_TRUE(store.Write(snapshot).Ok);  // begins
        // 02:30 CEST and 02:30 CET, an hour apart.
        for (const std::int64_t utcMs : {1'792'888'200'000LL, 1'792'891'800'000LL}) {
            snapshot.Devices[0].DL += 1'000;
            snapshot.At = TLocalTime::FromUnixMs(utcMs);
            ASSERT_EQ(snapshot.At.MsOfDay / 3'600'000, 2);
            ASSERT_TRUE(store.Write(snapshot).Ok);
        }
    }
    TFormVerlauf verlauf;
    verlauf.ShowDevice(path, ip, mac, TLocalTime::FromCivil(2026, 10, 25, 12, 0, 0));
    const QTableWidget& hours = verlauf.Table(TFormVerlauf::Hours);
    std::vector<std::string> labels;
    for (int row = 0; row < hours.rowCount(); ++row)
        labels.push_back(hours.item(row, 0)->text().toStdString());
    if (old)
        setenv("TZ", oldZone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    ASSERT_EQ(labels.size(), 47u + 1) << "48 hours of real time, one of them shown twice by the clock";
    const auto doubled = std::find(labels.begin(), labels.end(), "25.10. 02 Uhr (zweimal)");
    ASSERT_NE(doubled, labels.end());
    const int row = static_cast<int>(doubled - labels.begin());
    EXPECT_EQ(hours.item(row, 2)->data(Qt::UserRole).toLongLong(), 2'000);
    EXPECT_EQ(labels[static_cast<std::size_t>(row) - 1], "25.10. 03 Uhr");
    EXPECT_EQ(labels[static_cast<std::size_t>(row) + 1], "25.10. 01 Uhr");
}
