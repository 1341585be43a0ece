// The report of the devices' traffic per day (--report) and the CSV writer it shares
// with the history window, on history files the store wrote.
#include "CsvText.h"
#include "HistoryReportText.h"
#include "HistorySnapshot.h"
#include "THistoryReport.h"
#include "THistoryStore.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>

namespace {
std::set<std::string> FilesIn(const TTempDir& dir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path))
        names.insert(entry.path().filename().string());
    return names;
}

std::string Lines(const std::vector<THistoryReportRow>& rows)
{
    std::string text;
    for (const THistoryReportRow& row : rows)
        text += (row.From + QLatin1Char(' ') + row.To + QLatin1Char(' ') + row.IP + QLatin1Char(' ') + row.MAC
                 + QStringLiteral(" %1 %2\n").arg(row.UL).arg(row.DL))
                    .toStdString();
    return text;
}

// Two devices over four days, one of them more than a year back and so rolled up to
// a daily row, one 100 days back rolled up to hours. The file is closed afterwards.
void WriteSite(const std::string& path)
{
    THistoryStore store(QString::fromStdString(path), QStringLiteral("report-site"));
    ASSERT_TRUE(store.Open().Ok);
    THistorySnapshot snapshot;
    snapshot.Devices = {{"192.168.1.7", "02:00:00:00:00:07", "eth0", 0, 0},
                        {"192.168.1.10", "02:00:00:00:00:0a", "eth0", 0, 0}};
    auto write = [&](TLocalTime at, std::int64_t ul7, std::int64_t dl7, std::int64_t ul10, std::int64_t dl10) {
        snapshot.At = at;
        snapshot.Devices[0].UL += ul7;
        snapshot.Devices[0].DL += dl7;
        snapshot.Devices[1].UL += ul10;
        snapshot.Devices[1].DL += dl10;
        ASSERT_TRUE(store.Write(snapshot).Ok);
    };
    write(TLocalTime::FromCivil(2025, 1, 1, 0, 0, 0), 0, 0, 0, 0);  // begins
    write(TLocalTime::FromCivil(2025, 1, 10, 8, 0, 0), 1, 2, 0, 0);
    write(TLocalTime::FromCivil(2025, 11, 20, 9, 5, 0), 10, 20, 30, 40);
    write(TLocalTime::FromCivil(2026, 3, 1, 10, 0, 0), 100, 200, 0, 0);
    write(TLocalTime::FromCivil(2026, 3, 1, 23, 55, 0), 1000, 2000, 3000, 4000);
    write(TLocalTime::FromCivil(2026, 3, 2, 0, 5, 0), 5'000'000'000'000, 6, 7, 8);
    ASSERT_TRUE(store.RollUp(TLocalTime::FromCivil(2026, 3, 2, 12, 0, 0), 90, 365).Ok);
}
}

// Fields with the separator, quotes or line breaks are quoted, a field a spreadsheet
// would run as a formula is kept as text; everything else stands as it is.
TEST(Csv, QuotesOnlyWhatNeedsIt)
{
    const struct {
        const char* Field;
        const char* Written;
    } cases[] = {
        {"192.168.1.7", "192.168.1.7"},
        {"", ""},
        {"a;b", "\"a;b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\r", "\"cr\r\""},
        {"Gerät 1,5", "Gerät 1,5"},
        {"::1", "::1"},
        {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
        {"+1", "'+1"},
        {"-1", "'-1"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\tx"},
        {"a=b", "a=b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Field);
        EXPECT_EQ(CsvText({{QString::fromUtf8(c.Field), QStringLiteral("x")}}).toStdString(),
                  std::string(c.Written) + ";x\n");
    }
    EXPECT_EQ(CsvText({{"a", "b"}, {"1", "2"}}).toStdString(), "a;b\n1;2\n");
}

// Each device per day, or summed, between two dates with both ends included; the
// rolled-up rows count like the others.
TEST(Report, DaysAndSumsBetweenTheDates)
{
    TTempDir dir;
    const std::string path = dir.File("vexal-history.sqlite");
    WriteSite(path);
    ASSERT_FALSE(HasFatalFailure());
    THistoryReport report(QString::fromStdString(path));
    ASSERT_EQ(report.Error().toStdString(), "");
    EXPECT_EQ(report.FirstDay().toStdString(), "2025-01-10");
    const struct {
        const char* From;
        const char* To;
        bool Summed;
        const char* Expected;
    } cases[] = {
        {"2025-01-10", "2026-03-02", false,
         "2025-01-10 2025-01-10 192.168.1.7 02:00:00:00:00:07 1 2\n"
         "2025-11-20 2025-11-20 192.168.1.10 02:00:00:00:00:0a 30 40\n"
         "2025-11-20 2025-11-20 192.168.1.7 02:00:00:00:00:07 10 20\n"
         "2026-03-01 2026-03-01 192.168.1.10 02:00:00:00:00:0a 3000 4000\n"
         "2026-03-01 2026-03-01 192.168.1.7 02:00:00:00:00:07 1100 2200\n"
         "2026-03-02 2026-03-02 192.168.1.10 02:00:00:00:00:0a 7 8\n"
         "2026-03-02 2026-03-02 192.168.1.7 02:00:00:00:00:07 5000000000000 6\n"},
        {"2026-03-01", "2026-03-01", false,
         "2026-03-01 2026-03-01 192.168.1.10 02:00:00:00:00:0a 3000 4000\n"
         "2026-03-01 2026-03-01 192.168.1.7 02:00:00:00:00:07 1100 2200\n"},
        {"2025-01-11", "2025-11-19", false, ""},
        {"2025-01-10", "2025-01-10", false, "2025-01-10 2025-01-10 192.168.1.7 02:00:00:00:00:07 1 2\n"},
        {"2025-01-01", "2026-12-31", true,
         "2025-01-01 2026-12-31 192.168.1.10 02:00:00:00:00:0a 3037 4048\n"
         "2025-01-01 2026-12-31 192.168.1.7 02:00:00:00:00:07 5000000001111 2228\n"},
        {"2025-11-20", "2026-03-01", true,
         "2025-11-20 2026-03-01 192.168.1.10 02:00:00:00:00:0a 3030 4040\n"
         "2025-11-20 2026-03-01 192.168.1.7 02:00:00:00:00:07 1110 2220\n"},
        {"2027-01-01", "2027-01-31", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.From) + " " + c.To + (c.Summed ? " summed" : ""));
        const QString from = QString::fromLatin1(c.From), to = QString::fromLatin1(c.To);
        EXPECT_EQ(Lines(c.Summed ? report.Summed(from, to) : report.Days(from, to)), c.Expected);
        EXPECT_EQ(report.Error().toStdString(), "");
    }
}

// The texts: CSV with a header row, JSON an array of objects, octets whole in both
// (also beyond what a double holds exactly).
TEST(Report, CsvAndJsonText)
{
    const std::vector<THistoryReportRow> days = {
        {"2026-03-01", "2026-03-01", "192.168.1.7", "02:00:00:00:00:07", 9'007'199'254'740'993, 2},
        {"2026-03-02", "2026-03-02", "fe80::1", "a\"b", 3, 4},
    };
    EXPECT_EQ(HistoryReportText(days, false, TReportFormat::Csv).toStdString(),
              "Datum;IP;MAC;Upload (Oktette);Download (Oktette)\n"
              "2026-03-01;192.168.1.7;02:00:00:00:00:07;9007199254740993;2\n"
              "2026-03-02;fe80::1;\"a\"\"b\";3;4\n");
    EXPECT_EQ(
        HistoryReportText(days, false, TReportFormat::Json).toStdString(),
        "[\n"
        "  {\"date\": \"2026-03-01\", \"ip\": \"192.168.1.7\", \"mac\": \"02:00:00:00:00:07\", \"upload\": 9007199254740993, \"download\": 2},\n"
        "  {\"date\": \"2026-03-02\", \"ip\": \"fe80::1\", \"mac\": \"a\\\"b\", \"upload\": 3, \"download\": 4}\n"
        "]\n");
    const std::vector<THistoryReportRow> summed = {{"2026-03-01", "2026-03-31", "10.0.0.1", "m\n", 5, 6}};
    EXPECT_EQ(HistoryReportText(summed, true, TReportFormat::Csv).toStdString(),
              "Von;Bis;IP;MAC;Upload (Oktette);Download (Oktette)\n"
              "2026-03-01;2026-03-31;10.0.0.1;\"m\n\";5;6\n");
    EXPECT_EQ(
        HistoryReportText(summed, true, TReportFormat::Json).toStdString(),
        "[\n  {\"from\": \"2026-03-01\", \"to\": \"2026-03-31\", \"ip\": \"10.0.0.1\", \"mac\": \"m\\u000a\", \"upload\": 5, \"download\": 6}\n]\n");
    EXPECT_EQ(HistoryReportText({}, false, TReportFormat::Json).toStdString(), "[]\n");
    EXPECT_EQ(HistoryReportText({}, true, TReportFormat::Csv).toStdString(),
              "Von;Bis;IP;MAC;Upload (Oktette);Download (Oktette)\n");
}

// Reading changes nothing: the file keeps its bytes and time, no journal is left
// beside it; a missing file is said and not created, a file that is no history too.
TEST(Report, ReadsWithoutChangingOrCreating)
{
    TTempDir dir;
    const std::string path = dir.File("vexal-history.sqlite");
    WriteSite(path);
    ASSERT_FALSE(HasFatalFailure());
    const std::set<std::string> before = FilesIn(dir);
    const std::string bytes = ReadWholeFile(path);
    struct stat old { };
    ASSERT_EQ(::stat(path.c_str(), &old), 0);
    {
        THistoryReport report(QString::fromStdString(path));
        EXPECT_EQ(report.Days(QStringLiteral("2025-01-01"), QStringLiteral("2026-12-31")).size(), 7u);
        EXPECT_EQ(report.Error().toStdString(), "");
    }
    EXPECT_EQ(FilesIn(dir), before);
    EXPECT_TRUE(ReadWholeFile(path) == bytes) << "the file is read, never written";
    struct stat now { };
    ASSERT_EQ(::stat(path.c_str(), &now), 0);
    EXPECT_EQ(now.st_mtim.tv_sec, old.st_mtim.tv_sec);
    EXPECT_EQ(now.st_mtim.tv_nsec, old.st_mtim.tv_nsec);

    // A collector that has the file open: what it wrote is read, from its log too.
    {
        THistoryStore store(QString::fromStdString(path), QStringLiteral("report-open"));
        ASSERT_TRUE(store.Open().Ok);
        THistorySnapshot snapshot;
        snapshot.Devices = {{"192.168.1.7", "02:00:00:00:00:07", "eth0", 5'000'000'001'111 + 9, 2'228}};
        snapshot.At = TLocalTime::FromCivil(2026, 3, 3, 1, 0, 0);
        ASSERT_TRUE(store.Write(snapshot).Ok);
        ASSERT_TRUE(std::filesystem::exists(path + "-wal"));
        THistoryReport report(QString::fromStdString(path));
        EXPECT_EQ(Lines(report.Days(QStringLiteral("2026-03-03"), QStringLiteral("2026-03-03"))),
                  "2026-03-03 2026-03-03 192.168.1.7 02:00:00:00:00:07 9 0\n");
        EXPECT_EQ(report.Error().toStdString(), "");
    }

    const struct {
        const char* Name;
        const char* Content;  // null: no file
        const char* Says;
    } broken[] = {
        {"missing.sqlite", nullptr, "nicht gefunden"},
        {"text.sqlite", "no database, just text that is long enough to be no header of one at all", "Verlauf"},
        {"empty-db.sqlite", "", "traffic"},
    };
    for (const auto& b : broken) {
        SCOPED_TRACE(b.Name);
        const std::string file = dir.File(b.Name);
        if (b.Content)
            WriteWholeFile(file, b.Content);
        THistoryReport report(QString::fromStdString(file));
        EXPECT_TRUE(report.Days(QStringLiteral("2025-01-01"), QStringLiteral("2026-12-31")).empty());
        EXPECT_NE(report.Error().toStdString().find(b.Says), std::string::npos) << report.Error().toStdString();
        EXPECT_EQ(std::filesystem::exists(file), b.Content != nullptr);
    }
}
