#include "HistorySnapshot.h"
#include "TDaten.h"
#include "THistoryQuery.h"
#include "THistoryStore.h"
#include "TLocalHistory.h"
#include "TempDir.h"
#include "TextForms.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>
#include <QVariant>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const TLocalTime Start = TLocalTime::FromCivil(2025, 3, 10, 12, 0, 0);

TLocalTime Later(TLocalTime time, int minutes)
{
    const std::int64_t ms = time.MsOfDay + std::int64_t{minutes} * 60'000;
    time.Day += ms / TLocalTime::MsPerDay - (ms < 0 && ms % TLocalTime::MsPerDay ? 1 : 0);
    time.MsOfDay = static_cast<std::int32_t>(((ms % TLocalTime::MsPerDay) + TLocalTime::MsPerDay) % TLocalTime::MsPerDay);
    return time;
}

// What a device sent and received, as the history file holds it over all three tables.
struct TSums {
    std::int64_t UL = 0, DL = 0;
    bool operator==(const TSums&) const = default;
};

void PrintTo(const TSums& sums, std::ostream* out)
{
    *out << "UL " << sums.UL << " DL " << sums.DL;
}

std::map<std::string, TSums> FileSums(const std::string& path)
{
    std::map<std::string, TSums> sums;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("test-reader"));
        db.setDatabaseName(QString::fromStdString(path));
        EXPECT_TRUE(db.open());
        QSqlQuery query(db);
        EXPECT_TRUE(query.exec(QStringLiteral(
            "SELECT ip || ' ' || mac, SUM(uloktets), SUM(dloktets) FROM (SELECT * FROM traffic UNION ALL"
            " SELECT * FROM traffic_hourly UNION ALL SELECT * FROM traffic_daily) GROUP BY 1")));
        while (query.next())
            sums[query.value(0).toString().toStdString()] = {query.value(1).toLongLong(), query.value(2).toLongLong()};
    }
    QSqlDatabase::removeDatabase(QStringLiteral("test-reader"));
    return sums;
}

std::int64_t Scalar(const std::string& path, const QString& statement)
{
    std::int64_t value = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("test-scalar"));
        db.setDatabaseName(QString::fromStdString(path));
        EXPECT_TRUE(db.open());
        QSqlQuery query(db);
        EXPECT_TRUE(query.exec(statement)) << statement.toStdString();
        if (query.next())
            value = query.value(0).toLongLong();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("test-scalar"));
    return value;
}

// The store and what it really counted per device (address and MAC).
class TCounting {
public:
    TDaten Daten;
    std::map<std::string, TSums> Truth;

    void Announce(const std::string& ip, const std::string& mac)
    {
        Daten.AddUser(ip, mac, "eth1", Start);
    }
    void Count(const std::string& ip, std::int64_t ul, std::int64_t dl)
    {
        const int user = Daten.UserIP.IndexOf(ip);
        ASSERT_GE(user, 0);
        Daten.UserUL.Add(user, ul);
        Daten.UserDL.Add(user, dl);
        TSums& truth = Truth[ip + " " + Daten.UserMAC[user]];
        truth.UL += ul;
        truth.DL += dl;
    }
};

// Writes one snapshot in a child process that is killed inside the transaction, after
// rows and marks but before the commit. The page cache is kept tiny so that the
// uncommitted pages really reach the write-ahead log before the kill.
void WriteAndCrash(const std::string& path, const THistorySnapshot& snapshot)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        THistoryStore store(QString::fromStdString(path), QStringLiteral("child"));
        if (!store.Open().Ok)
            _exit(3);
        QSqlQuery(QSqlDatabase::database(QStringLiteral("child"), false)).exec(QStringLiteral("PRAGMA cache_size=2"));
        store.BeforeCommit = [] { raise(SIGKILL); };
        store.Write(snapshot);
        _exit(4);  // not reached
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    ASSERT_EQ(WTERMSIG(status), SIGKILL);
}
}

// One run of a site: writes, a crash in the middle of a write, a restart, a reset of the
// totals, a removal and a device announced again. Every octet counted ends up in the
// file exactly once.
TEST(LocalHistory, EveryOctetExactlyOnceAcrossCrashResetRemovalAndRestart)
{
    TTempDir dir;
    const std::string path = dir.File("vexal-history.sqlite");
    TCounting site;
    // Enough devices that a write spans many pages of the file.
    for (int i = 1; i <= 300; ++i)
        site.Announce("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250), "02:00:00:00:00:" + std::to_string(i));
    const std::string a = "10.0.0.1", b = "10.0.0.2";
    TLocalTime now = Start;
    auto record = [&](THistoryStore& store) {
        now = Later(now, 5);
        const THistoryOutcome written = store.Write(BuildHistorySnapshot(site.Daten, now));
        ASSERT_TRUE(written.Ok) << written.Message.toStdString();
    };
    auto countAll = [&](std::int64_t base) {
        for (std::size_t i = 0; i < site.Daten.UserCount(); ++i)
            site.Count(site.Daten.UserIP[i], base + static_cast<std::int64_t>(i), 2 * base + static_cast<std::int64_t>(i));
    };

    {
        THistoryStore store(QString::fromStdString(path), QStringLiteral("run1"));
        ASSERT_TRUE(store.Open().Ok);
        record(store);  // the history begins: the first write marks the totals
        countAll(1000);
        record(store);
        countAll(7);
        record(store);
        countAll(500);  // counted, then the write of it crashes
    }
    WriteAndCrash(path, BuildHistorySnapshot(site.Daten, Later(now, 5)));
    ASSERT_GT(std::filesystem::file_size(path + "-wal"), 0u) << "the crash should leave uncommitted pages behind";

    THistoryStore store(QString::fromStdString(path), QStringLiteral("run2"));
    const THistoryOutcome reopened = store.Open();
    ASSERT_TRUE(reopened.Ok) << reopened.Message.toStdString();
    EXPECT_TRUE(reopened.Message.isEmpty());
    record(store);  // takes the octets of the crashed write

    // "IP Traffic Counter auf 0 setzen", with a write right before and right after.
    site.Count(a, 300, 400);
    record(store);
    site.Daten.ResetUserTotals();
    record(store);
    site.Count(a, 11, 12);
    site.Count(b, 13, 14);
    record(store);

    // "Diese IP entfernen" for b, which is then announced again with the same MAC and
    // counts from zero: a new device for the history.
    site.Count(b, 21, 22);
    const std::string bMac = site.Daten.UserMAC[site.Daten.UserIP.IndexOf(b)];
    record(store);
    site.Daten.RemoveUsersWithAddress({b});
    record(store);
    EXPECT_FALSE(store.Marks().contains({b, bMac}));
    site.Announce(b, bMac);
    site.Count(b, 5000, 6000);  // more than before the removal
    site.Count(a, 1, 1);
    record(store);
    // A write with nothing new adds no rows.
    const THistoryOutcome idle = store.Write(BuildHistorySnapshot(site.Daten, Later(now, 5)));
    EXPECT_TRUE(idle.Ok);
    EXPECT_EQ(idle.Rows, 0);
    store.Close();

    EXPECT_EQ(FileSums(path), site.Truth);
}

// After a crash the state file may be older or newer than the last history write. Older:
// its totals are below the marks, and the octets in between are in the file already.
// Newer: the difference has not been written yet. The marks of the last write are
// what the restart counts from, also where only one direction changed.
TEST(LocalHistory, RestartWithAnOlderOrNewerStateFile)
{
    struct TCase {
        const char* Name;
        bool SaveBeforeLastWrite;
        std::int64_t LastUL, LastDL;  // counted for 10.0.0.1 before the last write
    };
    for (const TCase& c : {TCase{"state file older than the last write", true, 50, 60},
                           TCase{"state file newer than the last write", false, 50, 60},
                           TCase{"only the download changed in the last write", false, 0, 60},
                           TCase{"only the upload changed in the last write", false, 50, 0}}) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        const std::string path = dir.File("vexal-history.sqlite");
        TCounting site;
        site.Announce("10.0.0.1", "02:00:00:00:00:01");
        site.Announce("10.0.0.2", "02:00:00:00:00:02");
        TDaten saved;
        {
            THistoryStore store(QString::fromStdString(path), QStringLiteral("before"));
            ASSERT_TRUE(store.Open().Ok);
            ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Start)).Ok);  // begins
            site.Count("10.0.0.1", 1000, 2000);
            ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Start)).Ok);
            if (c.SaveBeforeLastWrite)
                saved = site.Daten;
            site.Count("10.0.0.1", c.LastUL, c.LastDL);
            ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Later(Start, 5))).Ok);
            site.Count("10.0.0.2", 70, 80);
            if (!c.SaveBeforeLastWrite)
                saved = site.Daten;
        }  // the process ends without a last write
        site.Daten = saved;
        THistoryStore store(QString::fromStdString(path), QStringLiteral("after"));
        ASSERT_TRUE(store.Open().Ok);
        ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Later(Start, 10))).Ok);
        site.Count("10.0.0.1", 3, 4);
        ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Later(Start, 15))).Ok);
        store.Close();

        auto expected = site.Truth;
        if (c.SaveBeforeLastWrite)
            expected.erase("10.0.0.2 02:00:00:00:00:02");  // counted after the save and lost with the crash
        EXPECT_EQ(FileSums(path), expected);
    }
}

// Totals that go down between two writes of one run are a reset: counted from 0. What
// was counted between the last write and the reset is not in the file; that is why the
// window writes right before the reset.
TEST(LocalHistory, TotalsGoingDownCountFromZero)
{
    TTempDir dir;
    const std::string path = dir.File("h.sqlite");
    TCounting site;
    site.Announce("10.0.0.1", "02:00:00:00:00:01");
    THistoryStore store(QString::fromStdString(path), QStringLiteral("reset"));
    ASSERT_TRUE(store.Open().Ok);
    ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Start)).Ok);  // begins
    site.Count("10.0.0.1", 900, 800);
    ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Start)).Ok);
    site.Daten.ResetUserTotals();
    site.Count("10.0.0.1", 5, 6);
    ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Later(Start, 5))).Ok);
    store.Close();
    EXPECT_EQ(FileSums(path)["10.0.0.1 02:00:00:00:00:01"], (TSums{905, 806}));
}

// Rows keep the columns and meaning of the database's traffic table.
TEST(LocalHistory, RowsLikeTheDatabaseTrafficTable)
{
    TTempDir dir;
    const std::string path = dir.File("h.sqlite");
    TCounting site;
    site.Announce("192.168.1.23", "02:1a:2b:3c:4d:5e");
    THistoryStore store(QString::fromStdString(path), QStringLiteral("columns"));
    ASSERT_TRUE(store.Open().Ok);
    ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, TLocalTime::FromCivil(2025, 1, 2, 3, 0, 0))).Ok);  // begins
    site.Count("192.168.1.23", 1500, 700);
    ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, TLocalTime::FromCivil(2025, 1, 2, 3, 4, 5))).Ok);
    store.Close();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("columns-reader"));
    db.setDatabaseName(QString::fromStdString(path));
    ASSERT_TRUE(db.open());
    QSqlQuery query(db);
    ASSERT_TRUE(query.exec(QStringLiteral("SELECT zeit, datum, device, uloktets, dloktets, porttraffic, mac, ip FROM traffic")));
    ASSERT_TRUE(query.next());
    EXPECT_EQ(query.value(0).toString(), QStringLiteral("03:04:05"));
    EXPECT_EQ(query.value(1).toString(), QStringLiteral("2025-01-02"));
    EXPECT_EQ(query.value(2).toString(), QStringLiteral("eth1"));
    EXPECT_EQ(query.value(3).toLongLong(), 1500);
    EXPECT_EQ(query.value(4).toLongLong(), 700);
    EXPECT_EQ(query.value(5).toString(), QStringLiteral(""));
    EXPECT_EQ(query.value(6).toString(), QStringLiteral("02:1a:2b:3c:4d:5e"));
    EXPECT_EQ(query.value(7).toString(), QStringLiteral("192.168.1.23"));
    EXPECT_FALSE(query.next());
    query = QSqlQuery(db);
    ASSERT_TRUE(query.exec(QStringLiteral("PRAGMA journal_mode")));
    ASSERT_TRUE(query.next());
    EXPECT_EQ(query.value(0).toString(), QStringLiteral("wal"));
    query = QSqlQuery();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("columns-reader"));
}

namespace {
// Ten writes over 400 days of one device, rolled up after each write or only at the end.
void RollUpCase(bool afterEveryWrite)
{
    TTempDir dir;
    const std::string path = dir.File("h.sqlite");
    TCounting site;
    site.Announce("10.0.0.1", "02:00:00:00:00:01");
    THistoryStore store(QString::fromStdString(path), QStringLiteral("rollup"));
    ASSERT_TRUE(store.Open().Ok);
    const TLocalTime today = TLocalTime::FromCivil(2025, 6, 15, 18, 30, 0);
    ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, today)).Ok);  // begins, with nothing counted yet
    auto at = [&](int daysAgo, int hour, int minute) {
        TLocalTime t = TLocalTime::FromCivil(2025, 6, 15, hour, minute, 0);
        t.Day -= daysAgo;
        return t;
    };
    const struct {
        int DaysAgo, Hour, Minute;
        std::int64_t UL, DL;
    } writes[] = {
        {400, 10, 5, 1, 2},  {400, 10, 35, 3, 4},  {400, 11, 5, 5, 6},     // a day: one daily row
        {100, 10, 5, 10, 20}, {100, 10, 55, 30, 40}, {100, 11, 0, 50, 60}, // two hourly rows
        {91, 23, 59, 7, 8},                                              // hourly
        {89, 0, 0, 100, 200},                                            // kept as it is
        {0, 17, 40, 1000, 2000}, {0, 18, 25, 3000, 4000},
    };
    for (const auto& w : writes) {
        site.Count("10.0.0.1", w.UL, w.DL);
        ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, at(w.DaysAgo, w.Hour, w.Minute))).Ok);
        if (afterEveryWrite) {
            ASSERT_TRUE(store.RollUp(today, 90, 365).Ok);
        }
    }
    for (int run = 0; run < 2; ++run)
        ASSERT_TRUE(store.RollUp(today, 90, 365).Ok);
    store.Close();

    EXPECT_EQ(Scalar(path, QStringLiteral("SELECT COUNT(*) FROM traffic_daily")), 1);
    EXPECT_EQ(Scalar(path, QStringLiteral("SELECT uloktets FROM traffic_daily WHERE zeit = '00:00:00'")), 9);
    EXPECT_EQ(Scalar(path, QStringLiteral("SELECT COUNT(*) FROM traffic_hourly")), 3);
    EXPECT_EQ(Scalar(path, QStringLiteral("SELECT dloktets FROM traffic_hourly WHERE zeit = '10:00:00'")), 60);
    EXPECT_EQ(Scalar(path, QStringLiteral("SELECT COUNT(*) FROM traffic")), 3);
    EXPECT_EQ(FileSums(path), site.Truth);

    THistoryQuery query(QString::fromStdString(path));
    const auto hourly = query.Hourly("10.0.0.1", "02:00:00:00:00:01", today);
    ASSERT_EQ(hourly.size(), 48u);
    EXPECT_EQ(hourly.back().Hour, 18);
    EXPECT_EQ(hourly.back().UL, 3000);
    EXPECT_EQ(hourly[46].UL, 1000);
    EXPECT_EQ(hourly.front().Hour, 19);
    const auto daily = query.Daily("10.0.0.1", "02:00:00:00:00:01", today);
    ASSERT_EQ(daily.size(), 60u);
    EXPECT_EQ(daily.back().DL, 6000);
    EXPECT_EQ(daily.front().DL, 0);
    const auto monthly = query.Monthly("10.0.0.1", "02:00:00:00:00:01", today);
    std::int64_t ul = 0;
    for (const THistoryBucket& month : monthly)
        ul += month.UL;
    EXPECT_EQ(ul, site.Truth["10.0.0.1 02:00:00:00:00:01"].UL);
    EXPECT_EQ(monthly.front().Date, QDate(2024, 5, 1));  // 400 days before 2025-06-15
    EXPECT_EQ(monthly.back().Date, QDate(2025, 6, 1));
    EXPECT_TRUE(query.Hourly("10.0.0.9", "x", today).back().UL == 0);
}
}

// Rows older than 90 days become one row per device and hour, older than a year one per
// day; nothing is lost or doubled, also when the roll-up runs again or after every
// write (as the program runs it), adding to rows it made before, and the queries for
// the history window see all three tables.
TEST(LocalHistory, RollsUpToHoursAndDays)
{
    for (const bool afterEveryWrite : {false, true}) {
        SCOPED_TRACE(afterEveryWrite ? "roll-up after every write" : "roll-up after all writes");
        RollUpCase(afterEveryWrite);
    }
}

// The last 48 hours reach back over midnight; hours without traffic are 0.
TEST(LocalHistory, HourlySeriesCrossesMidnight)
{
    TTempDir dir;
    const std::string path = dir.File("h.sqlite");
    TCounting site;
    site.Announce("10.0.0.1", "m");
    THistoryStore store(QString::fromStdString(path), QStringLiteral("midnight"));
    ASSERT_TRUE(store.Open().Ok);
    const TLocalTime now = TLocalTime::FromCivil(2025, 1, 1, 1, 30, 0);
    ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, now)).Ok);  // begins
    site.Count("10.0.0.1", 5, 0);
    ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, TLocalTime::FromCivil(2024, 12, 31, 23, 10, 0))).Ok);
    site.Count("10.0.0.1", 7, 0);
    ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, TLocalTime::FromCivil(2024, 12, 30, 2, 10, 0))).Ok);
    store.Close();
    const auto hourly = THistoryQuery(QString::fromStdString(path)).Hourly("10.0.0.1", "m", now);
    ASSERT_EQ(hourly.size(), 48u);
    EXPECT_EQ(hourly.back().Date, QDate(2025, 1, 1));
    EXPECT_EQ(hourly.back().Hour, 1);
    EXPECT_EQ(hourly[45].Date, QDate(2024, 12, 31));
    EXPECT_EQ(hourly[45].Hour, 23);
    EXPECT_EQ(hourly[45].UL, 5);
    EXPECT_EQ(hourly.front().Date, QDate(2024, 12, 30));
    EXPECT_EQ(hourly.front().Hour, 2);
    EXPECT_EQ(hourly.front().UL, 7);
}

// The month bars are billing months: from the billing day to the day before it in the
// next month, each labelled by its first day, without gaps up to the current one.
TEST(LocalHistory, MonthsRunFromTheBillingDay)
{
    TTempDir dir;
    const std::string path = dir.File("h.sqlite");
    TCounting site;
    site.Announce("10.0.0.1", "m");
    THistoryStore store(QString::fromStdString(path), QStringLiteral("billing"));
    ASSERT_TRUE(store.Open().Ok);
    ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, TLocalTime::FromCivil(2025, 1, 1, 0, 0, 0))).Ok);  // begins
    const std::pair<TLocalTime, std::int64_t> writes[] = {
        {TLocalTime::FromCivil(2025, 1, 14, 23, 0, 0), 1},    // before the 15th: the period of 15 December
        {TLocalTime::FromCivil(2025, 1, 15, 0, 5, 0), 10},    // the billing day begins a period
        {TLocalTime::FromCivil(2025, 2, 14, 12, 0, 0), 100},  // its last day
        {TLocalTime::FromCivil(2025, 3, 20, 12, 0, 0), 1000}, // 15 March to 14 April
    };
    for (const auto& [at, octets] : writes) {
        site.Count("10.0.0.1", octets, 0);
        ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, at)).Ok);
    }
    store.Close();
    THistoryQuery query(QString::fromStdString(path));
    const TLocalTime now = TLocalTime::FromCivil(2025, 4, 14, 18, 0, 0);
    struct TCase {
        int BillingDay;
        std::vector<std::pair<QDate, std::int64_t>> Months;
    };
    const TCase cases[] = {
        {15,
         {{QDate(2024, 12, 15), 1}, {QDate(2025, 1, 15), 110}, {QDate(2025, 2, 15), 0}, {QDate(2025, 3, 15), 1000}}},
        {1,
         {{QDate(2025, 1, 1), 11}, {QDate(2025, 2, 1), 100}, {QDate(2025, 3, 1), 1000}, {QDate(2025, 4, 1), 0}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.BillingDay);
        std::vector<std::pair<QDate, std::int64_t>> months;
        for (const THistoryBucket& month : query.Monthly("10.0.0.1", "m", now, c.BillingDay))
            months.emplace_back(month.Date, month.UL);
        EXPECT_EQ(months, c.Months);
    }
}

// A file SQLite cannot use is renamed and a fresh one started, with a message.
TEST(LocalHistory, DamagedFileIsSetAsideAndStartedAfresh)
{
    struct TCase {
        const char* Name;
        std::function<void(const std::string&)> Damage;
    };
    const TCase cases[] = {
        {"not a database at all", [](const std::string& path) { WriteWholeFile(path, std::string(5000, 'x')); }},
        {"pages overwritten",
         [](const std::string& path) {
             {
                 TCounting site;
                 for (int i = 0; i < 2000; ++i)
                     site.Announce("10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250), "mac");
                 for (std::size_t i = 0; i < site.Daten.UserCount(); ++i)
                     site.Count(site.Daten.UserIP[i], 1, 1);
                 THistoryStore store(QString::fromStdString(path), QStringLiteral("damage"));
                 ASSERT_TRUE(store.Open().Ok);
                 ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Start)).Ok);
             }
             std::string bytes = ReadWholeFile(path);
             ASSERT_GT(bytes.size(), 40'000u);
             for (std::size_t i = 8192; i < bytes.size() - 4096; i += 4096)
                 bytes.replace(i, 600, std::string(600, '\x5a'));
             WriteWholeFile(path, bytes);
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        const std::string path = dir.File("vexal-history.sqlite");
        c.Damage(path);
        const std::string damagedBytes = ReadWholeFile(path);

        THistoryStore store(QString::fromStdString(path), QStringLiteral("damaged"));
        const THistoryOutcome opened = store.Open();
        ASSERT_TRUE(opened.Ok) << opened.Message.toStdString();
        EXPECT_TRUE(opened.Message.contains(QStringLiteral("beschädigt"))) << opened.Message.toStdString();
        ASSERT_FALSE(store.SetAsidePath().isEmpty());
        EXPECT_EQ(ReadWholeFile(store.SetAsidePath().toStdString()), damagedBytes);
        // The totals the store holds are in the damaged file already: the fresh one
        // begins with them as its marks and books only what comes after.
        TCounting site;
        site.Announce("10.0.0.1", "m");
        site.Count("10.0.0.1", 4, 2);
        const THistoryOutcome first = store.Write(BuildHistorySnapshot(site.Daten, Start));
        ASSERT_TRUE(first.Ok);
        EXPECT_EQ(first.Rows, 0);
        site.Truth.clear();
        site.Count("10.0.0.1", 30, 10);
        ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Later(Start, 5))).Ok);
        store.Close();
        EXPECT_EQ(FileSums(path), site.Truth);
    }
}

// The threaded front: writes land in order, a damaged file is reported as a message.
TEST(LocalHistory, WorkerWritesInOrderAndReportsADamagedFile)
{
    TTempDir dir;
    const std::string path = dir.File("vexal-history.sqlite");
    WriteWholeFile(path, "garbage, not SQLite");
    TCounting site;
    site.Announce("10.0.0.1", "m");
    QStringList messages;
    int rowsWritten = 0;
    {
        TLocalHistory history(QString::fromStdString(path));
        QObject::connect(&history, &TLocalHistory::Message, [&](const QString& text) { messages << text; });
        QObject::connect(&history, &TLocalHistory::Written, [&](int rows) { rowsWritten += rows; });
        history.Record(BuildHistorySnapshot(site.Daten, Start));  // begins
        history.WaitForWrites();
        // Writes recorded while one waits for the worker join it: the newest table.
        for (int i = 1; i <= 20; ++i) {
            site.Count("10.0.0.1", i, 1);
            history.Record(BuildHistorySnapshot(site.Daten, Later(Start, i)));
        }
        history.WaitForWrites();
        ASSERT_TRUE(QTest::qWaitFor([&] { return rowsWritten >= 1; }, 5000)) << rowsWritten;
        EXPECT_LE(rowsWritten, 20);
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages[0].contains(QStringLiteral("beschädigt")));
    }
    EXPECT_EQ(FileSums(path), site.Truth);
}

// The totals a device had when the history began (a vexal.ini kept from before, as an
// upgrading user keeps it) are a starting mark, not traffic of the first hour: the
// first write into a new file books nothing, later traffic is booked as it comes.
TEST(LocalHistory, BeginsWithTheTotalsAsAMark)
{
    struct TCase {
        const char* Name;
        std::function<void(const std::string&)> Before;
        bool SetAside;
    };
    const TCase cases[] = {
        {"no history file yet", [](const std::string&) {}, false},
        {"a damaged file set aside", [](const std::string& path) { WriteWholeFile(path, std::string(5000, 'x')); }, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        const std::string path = dir.File("vexal-history.sqlite");
        c.Before(path);
        TCounting site;
        site.Announce("10.0.0.1", "02:00:00:00:00:01");
        site.Announce("10.0.0.2", "02:00:00:00:00:02");
        // As loaded from the state file: lifetime totals of years.
        site.Daten.UserUL.SetValue(0, 99'305LL * 1024 * 1024);
        site.Daten.UserDL.SetValue(0, 62'311LL * 1024 * 1024);
        site.Daten.UserDL.SetValue(1, 5);

        THistoryStore store(QString::fromStdString(path), QStringLiteral("begins"));
        const THistoryOutcome opened = store.Open();
        ASSERT_TRUE(opened.Ok) << opened.Message.toStdString();
        EXPECT_EQ(!store.SetAsidePath().isEmpty(), c.SetAside);
        const THistoryOutcome first = store.Write(BuildHistorySnapshot(site.Daten, Start));
        ASSERT_TRUE(first.Ok) << first.Message.toStdString();
        EXPECT_EQ(first.Rows, 0);
        EXPECT_EQ(store.Marks().at({"10.0.0.1", "02:00:00:00:00:01"}).UL, 99'305LL * 1024 * 1024);

        site.Count("10.0.0.1", 700, 800);
        site.Count("10.0.0.2", 1, 2);
        site.Announce("10.0.0.3", "02:00:00:00:00:03");  // a device new since: counted from 0
        site.Count("10.0.0.3", 40, 50);
        ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Later(Start, 5))).Ok);
        store.Close();
        EXPECT_EQ(FileSums(path), (std::map<std::string, TSums>{{"10.0.0.1 02:00:00:00:00:01", {700, 800}},
                                                                {"10.0.0.2 02:00:00:00:00:02", {1, 2}},
                                                                {"10.0.0.3 02:00:00:00:00:03", {40, 50}}}));
        // Opened again with the same totals, the marks hold: nothing is booked twice.
        THistoryStore again(QString::fromStdString(path), QStringLiteral("begins-again"));
        ASSERT_TRUE(again.Open().Ok);
        EXPECT_EQ(again.Write(BuildHistorySnapshot(site.Daten, Later(Start, 10))).Rows, 0);
    }
}

// A history file deleted while the program runs is noticed at the next write and
// begun anew, with a message: the octets since the last write are booked there, once
// (not lost with the deleted file, not booked again from the totals), and the new file
// holds the marks, so a restart books nothing twice.
TEST(LocalHistory, FileDeletedWhileRunningIsNoticedAndBegunAnew)
{
    struct TCase {
        const char* Name;
        std::vector<std::string> Deleted;  // suffixes of the files deleted
    };
    const TCase cases[] = {
        {"the file alone", {""}},
        {"the file with its journal", {"", "-wal", "-shm"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        const std::string path = dir.File("vexal-history.sqlite");
        TCounting site;
        site.Announce("10.0.0.1", "02:00:00:00:00:01");
        site.Announce("10.0.0.2", "02:00:00:00:00:02");
        THistoryStore store(QString::fromStdString(path), QStringLiteral("deleted"));
        ASSERT_TRUE(store.Open().Ok);
        ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Start)).Ok);
        site.Count("10.0.0.1", 100, 200);
        ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Later(Start, 5))).Ok);
        site.Truth.clear();

        site.Count("10.0.0.1", 3, 4);  // before the file goes ...
        for (const std::string& suffix : c.Deleted)
            std::filesystem::remove(path + suffix);
        site.Count("10.0.0.2", 5, 6);  // ... and after
        const THistoryOutcome written = store.Write(BuildHistorySnapshot(site.Daten, Later(Start, 10)));
        ASSERT_TRUE(written.Ok) << written.Message.toStdString();
        EXPECT_TRUE(written.Message.contains(QStringLiteral("verschwunden"))) << written.Message.toStdString();
        ASSERT_TRUE(std::filesystem::exists(path));
        site.Count("10.0.0.1", 7, 8);
        const THistoryOutcome later = store.Write(BuildHistorySnapshot(site.Daten, Later(Start, 15)));
        ASSERT_TRUE(later.Ok);
        EXPECT_TRUE(later.Message.isEmpty()) << "said once";
        store.Close();
        EXPECT_EQ(FileSums(path), site.Truth);

        THistoryStore restarted(QString::fromStdString(path), QStringLiteral("deleted-restart"));
        ASSERT_TRUE(restarted.Open().Ok);
        EXPECT_EQ(restarted.Write(BuildHistorySnapshot(site.Daten, Later(Start, 20))).Rows, 0);
        restarted.Close();
        EXPECT_EQ(FileSums(path), site.Truth);
    }
}

// Rows that left the table (replaced by another MAC, removed, reset) are booked with
// what they had beyond their mark; a row of the same device in the table began from 0
// after them. A write of departed rows alone leaves the other devices' marks alone.
TEST(LocalHistory, DepartedRowsAreBookedOnce)
{
    TTempDir dir;
    const std::string path = dir.File("h.sqlite");
    TCounting site;
    site.Announce("10.0.0.1", "a");
    site.Announce("10.0.0.2", "b");
    THistoryStore store(QString::fromStdString(path), QStringLiteral("departed"));
    ASSERT_TRUE(store.Open().Ok);
    ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Start)).Ok);
    site.Count("10.0.0.1", 10, 20);
    site.Count("10.0.0.2", 1, 2);
    ASSERT_TRUE(store.Write(BuildHistorySnapshot(site.Daten, Later(Start, 5))).Ok);

    // 10.0.0.1 "a" counts on, leaves (replaced by "c"), comes back from 0 and counts,
    // leaves again; the departures add up to one device's sum.
    site.Count("10.0.0.1", 5, 5);
    THistoryDevice gone{"10.0.0.1", "a", "eth1", 15 + 9, 25 + 9};
    site.Truth["10.0.0.1 a"].UL += 9;
    site.Truth["10.0.0.1 a"].DL += 9;
    THistorySnapshot departures;
    departures.At = Later(Start, 7);
    departures.WholeTable = false;
    departures.Departed = {gone};
    const THistoryOutcome partial = store.Write(departures);
    ASSERT_TRUE(partial.Ok);
    EXPECT_EQ(partial.Rows, 1);
    EXPECT_FALSE(store.Marks().contains({"10.0.0.1", "a"}));
    EXPECT_TRUE(store.Marks().contains({"10.0.0.2", "b"})) << "a write of departed rows keeps the others' marks";

    // A reset of "b": its departure and its row, begun from 0, in one write.
    site.Count("10.0.0.2", 3, 4);
    THistorySnapshot reset = BuildHistorySnapshot(site.Daten, Later(Start, 10));
    reset.Departed = {{"10.0.0.2", "b", "eth1", site.Daten.UserUL.Value(1), site.Daten.UserDL.Value(1)}};
    site.Daten.UserUL.SetValue(1, 0);
    site.Daten.UserDL.SetValue(1, 0);
    site.Count("10.0.0.2", 30, 40);
    reset.Devices = BuildHistorySnapshot(site.Daten, Later(Start, 10)).Devices;
    // The row of 10.0.0.1 "a" in the table is the one that came back: begun from 0 too.
    site.Daten.UserUL.SetValue(0, 0);
    site.Daten.UserDL.SetValue(0, 0);
    reset.Devices[0].UL = reset.Devices[0].DL = 0;
    const THistoryOutcome written = store.Write(reset);
    ASSERT_TRUE(written.Ok);
    EXPECT_EQ(written.Rows, 1) << "one row per device";
    store.Close();
    EXPECT_EQ(FileSums(path), site.Truth);
}

// A flood of replacements costs the history a sum per device: departures of the same
// devices add up while they wait, many devices are written without waiting for the
// periodic write, and every octet is in the file once.
TEST(LocalHistory, DeparturesWaitAsOneSumPerDeviceAndAreWrittenOnce)
{
    TTempDir dir;
    const std::string path = dir.File("vexal-history.sqlite");
    std::map<std::string, TSums> truth;
    {
        TLocalHistory history(QString::fromStdString(path));
        TDaten empty;
        history.Record(BuildHistorySnapshot(empty, Start));
        history.WaitForWrites();
        // 21 addresses, two MACs each, taking turns: 100,000 departures.
        std::size_t mostWaiting = 0;
        for (int i = 0; i < 100'000; ++i) {
            const std::string ip = "10.0.0." + std::to_string(i % 21);
            const std::string mac = (i / 21) % 2 ? "02:00:00:00:00:0a" : "02:00:00:00:00:0b";
            history.Depart({ip, mac, "eth0", 3, 1000 + i % 7}, Later(Start, 1));
            truth[ip + " " + mac].UL += 3;
            truth[ip + " " + mac].DL += 1000 + i % 7;
            mostWaiting = std::max(mostWaiting, history.DepartedWaiting());
        }
        EXPECT_EQ(mostWaiting, 42u);
        // Many devices: written by themselves, the sums never beyond the bound.
        for (std::size_t i = 0; i < 3 * TLocalHistory::DepartedWaitAt; ++i) {
            const std::string ip = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250);
            history.Depart({ip, "m", "eth0", 1, 2}, Later(Start, 2));
            truth[ip + " m"] = {1, 2};
            mostWaiting = std::max(mostWaiting, history.DepartedWaiting());
        }
        EXPECT_LE(mostWaiting, TLocalHistory::DepartedWaitAt);
        history.Record(BuildHistorySnapshot(empty, Later(Start, 5)));
    }
    EXPECT_EQ(FileSums(path), truth);
}
