#include "ExportJob.h"
#include "ExportRetry.h"
#include "MacAnnouncement.h"
#include "MySqlErrors.h"
#include "TDatabaseExport.h"
#include "TDaten.h"
#include "TExportStateFile.h"
#include "TStateFile.h"
#include "TextForms.h"
#include "TempDir.h"
#include "TMySqlProxy.h"
#include "TestDatabase.h"

#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTcpServer>
#include <QTest>
#include <QUuid>

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <map>
#include <sstream>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

// Counts into a state as the collector does, from a router's MAC announcements and flows,
// and remembers every octet it charged per "ip|mac": what the database must hold in the end.
struct TChargedClients {
    explicit TChargedClients(TDaten& d) : D(d) {}

    void Announce(const std::string& ip, const std::string& mac)
    {
        const std::string text = "x " + ip + " x x " + mac + " x eth1";
        AccountMacAnnouncement(D, {reinterpret_cast<const unsigned char*>(text.data()), text.size()}, "192.168.1.1",
                               Announcements, Noon);
    }

    // To whichever client holds the address now; the port octets are the download's.
    void Charge(const std::string& ip, std::int64_t ul, std::int64_t dl, std::int32_t port)
    {
        const int user = D.UserIP.IndexOf(ip);
        ASSERT_GE(user, 0) << ip;
        D.UserCUL.Add(user, ul);
        D.UserCDL.Add(user, dl);
        D.UserCPort[user].Add(port, dl);
        auto& sum = Sent[ip + "|" + D.UserMAC[user]];
        sum[0] += ul;
        sum[1] += dl;
        sum[2] += dl;
    }

    // "ip|mac" -> "ul|dl|port octets" of everything charged.
    std::map<std::string, std::string> PerClient() const
    {
        std::map<std::string, std::string> perClient;
        for (const auto& [key, sum] : Sent)
            perClient[key] = std::to_string(sum[0]) + "|" + std::to_string(sum[1]) + "|" + std::to_string(sum[2]);
        return perClient;
    }

    TDaten& D;
    std::int32_t Announcements = 0;
    std::map<std::string, std::array<std::int64_t, 3>> Sent;  // "ip|mac" -> ul, dl, port octets
};

class DatabaseExportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Server = TestDatabaseConnection();
        // A missing server is a failure of the test run, never a silent skip.
        ASSERT_FALSE(Server.empty()) << "VEXAL_TEST_MYSQL names no connection file; run the tests through ctest";
        Check = QSqlDatabase::contains(QStringLiteral("check")) ? QSqlDatabase::database(QStringLiteral("check"))
                                                                 : QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), QStringLiteral("check"));
        Check.setHostName(QStringLiteral("127.0.0.1"));
        Check.setPort(std::stoi(Server["port"]));
        Check.setUserName(QString::fromStdString(Server["user"]));
        Check.setPassword(QString::fromStdString(Server["password"]));
        Check.setDatabaseName(QString::fromStdString(Server["database"]));
        ASSERT_TRUE(Check.isOpen() || Check.open()) << Check.lastError().text().toStdString();
        PutBackSchema();

        D.LocalSubnets = {"192.168.1"};
        D.MySqlHost = "127.0.0.1";
        D.MySqlPort = Server["port"];
        D.MySqlUser = Server["user"];
        D.MySqlPassword = Server["password"];
        D.MySqlDatabase = Server["database"];
        D.ExportEnabled = true;
    }

    // A case of a table starts on the tables as the schema makes them, with no users and no
    // run outstanding.
    void StartCase()
    {
        SetUp();
        D.ClearUsers();
        Ledger = {};
    }

    // The window tests share the database: leave it as the schema makes it.
    void TearDown() override
    {
        if (Check.isOpen())
            PutBackSchema();
    }

    // Puts back the schema a test may have broken or narrowed, with empty tables.
    void PutBackSchema()
    {
        Exec(QStringLiteral("drop table if exists traffic, akteth, aktrouter, vexal_export_run"));
        std::ifstream schema(VEXAL_SOURCE_DIR "/docs/schema.sql");
        std::stringstream text;
        text << schema.rdbuf();
        QString withoutComments;
        for (const QString& line : QString::fromStdString(text.str()).split(QLatin1Char('\n')))
            if (!line.trimmed().startsWith(QStringLiteral("--")))
                withoutComments += line + QLatin1Char('\n');
        for (const QString& statement : withoutComments.split(QLatin1Char(';')))
            if (!statement.trimmed().isEmpty())
                Exec(statement);
    }

    void Exec(const QString& sql)
    {
        QSqlQuery query(Check);
        ASSERT_TRUE(query.exec(sql)) << sql.toStdString() << ": " << query.lastError().text().toStdString();
    }

    // Rows of a query as text, columns joined by "|".
    std::vector<std::string> Rows(const QString& sql)
    {
        QSqlQuery query(Check);
        EXPECT_TRUE(query.exec(sql)) << query.lastError().text().toStdString();
        std::vector<std::string> rows;
        while (query.next()) {
            QStringList columns;
            for (int c = 0; c < query.record().count(); ++c)
                columns << query.value(c).toString();
            rows.push_back(columns.join(QLatin1Char('|')).toStdString());
        }
        return rows;
    }

    // One run as the window makes it: what the database now holds comes off the counters.
    TExportResult Export()
    {
        Job = BuildExportJob(D, Noon);
        const TExportResult result = TDatabaseExport::Run(Job, {QStringLiteral("test-export")}, Ledger);
        TakeExportedTraffic(D, result.Exported);
        return result;
    }

    // The program stops and starts again: the store comes back from vexal.ini and the
    // export state file (as their texts), the export's ledger from the latter.
    void Restart() { Restart(TExportStateFile::Format(D, Ledger.Unsettled)); }

    // The same with the export state as it was written at some moment before (the
    // program died after that).
    void Restart(const std::string& state)
    {
        const std::string ini = TStateFile::Format(D);
        D = TDaten();
        Ledger = {};
        ASSERT_TRUE(TStateFile::Parse(D, ini));
        TExportStateFile::TContent content;
        std::string error;
        ASSERT_TRUE(TExportStateFile::Parse(state, content, error)) << error;
        TExportStateFile::Apply(D, content);
        Ledger.Unsettled = content.Runs;
    }

    // "ip|mac" -> "ul|dl|port octets" summed over every traffic row.
    std::map<std::string, std::string> TrafficPerClient()
    {
        std::map<std::string, std::array<std::int64_t, 3>> sums;
        for (const std::string& row : Rows(QStringLiteral("select ip,mac,uloktets,dloktets,porttraffic from traffic"))) {
            const QStringList columns = QString::fromStdString(row).split(QLatin1Char('|'));
            auto& sum = sums[(columns[0] + QLatin1Char('|') + columns[1]).toStdString()];
            sum[0] += columns[2].toLongLong();
            sum[1] += columns[3].toLongLong();
            for (const QString& entry : columns[4].split(QLatin1Char(','), Qt::SkipEmptyParts))
                sum[2] += entry.section(QLatin1Char(':'), 1).toLongLong();
        }
        std::map<std::string, std::string> written;
        for (const auto& [key, sum] : sums)
            written[key] = std::to_string(sum[0]) + "|" + std::to_string(sum[1]) + "|" + std::to_string(sum[2]);
        return written;
    }

    void AddUser(const char* ip, const char* mac, const char* cul, const char* cdl)
    {
        D.AddUser(ip, mac, "eth1", Noon);
        D.UserCUL.Set(D.UserCUL.size() - 1, cul);
        D.UserCDL.Set(D.UserCDL.size() - 1, cdl);
    }

    std::map<std::string, std::string> Server;
    QSqlDatabase Check;
    TDaten D;
    TExportJob Job;
    TExportLedger Ledger;
};
}

TEST_F(DatabaseExportTest, PackedRunWritesTrafficAndSnapshots)
{
    D.ExportDetailed = false;
    D.HideIPs = {"192.168.1.40"};
    AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "1500", "700");
    AddUser("192.168.1.30", "", "5000", "0");     // upload only and no MAC: takes no part
    AddUser("192.168.1.31", "", "0", "100");      // download without MAC: takes part
    AddUser("10.9.9.9", "02:00:00:00:00:09", "7", "8");  // not local: counters dropped, no row
    AddUser("192.168.1.40", "02:00:00:00:00:40", "1", "2");  // hidden: traffic yes, akteth no
    AddUser("192.168.1.50", "02:00:00:00:00:50", "0", "0");  // nothing to export
    D.UserCPort[0].Add(443, 1500);
    D.UserLastTime[0] = StampText(TLocalTime::FromCivil(2026, 12, 10, 11, 59, 0));
    D.UserStatus[0] = "1";
    D.AddRouter("192.168.1.1", 4711, Noon);
    D.RouterPLoss[0] = "-30";

    const TExportResult result = Export();
    ASSERT_TRUE(result.Complete) << result.Error.toStdString();
    EXPECT_EQ(Rows(QStringLiteral("select device,uloktets,dloktets,porttraffic,mac,ip,datum=curdate() from traffic order by ip")),
              (std::vector<std::string>{"eth1|1500|700||02:1a:2b:3c:4d:5e|192.168.1.23|1", "eth1|0|100|||192.168.1.31|1",
                                        "eth1|1|2||02:00:00:00:00:40|192.168.1.40|1"}));
    EXPECT_EQ(D.UserCUL.Texts(), (std::vector<std::string>{"0", "5000", "0", "0", "0", "0"}));
    EXPECT_EQ(D.UserCDL.Texts(), (std::vector<std::string>{"0", "0", "0", "0", "0", "0"}));
    EXPECT_TRUE(D.UserCPort[0].Empty());
    EXPECT_EQ(Rows(QStringLiteral("select name,ip,mac,status,lasttraffic from akteth order by ip")),
              (std::vector<std::string>{"-|10.9.9.9|02:00:00:00:00:09|1|37500", "-|192.168.1.23|02:1a:2b:3c:4d:5e|1|52",
                                        "-|192.168.1.30||1|37500", "-|192.168.1.31||1|37500",
                                        "-|192.168.1.50|02:00:00:00:00:50|1|37500"}));
    EXPECT_EQ(Rows(QStringLiteral("select ip,flowsequenz,lastflow,ploss from aktrouter")),
              std::vector<std::string>{"192.168.1.1|4711|12:00:00|-30"});

    // The next run rewrites the snapshots and adds only new traffic.
    D.UserCDL.Set(0, "10");
    ASSERT_TRUE(Export().Complete);
    EXPECT_EQ(Rows(QStringLiteral("select count(*) from traffic")), std::vector<std::string>{"4"});
    EXPECT_EQ(Rows(QStringLiteral("select count(*) from akteth")), std::vector<std::string>{"5"});
    EXPECT_EQ(Rows(QStringLiteral("select count(*) from aktrouter")), std::vector<std::string>{"1"});
}

TEST_F(DatabaseExportTest, DetailedRunAddsTrafficPerPort)
{
    ASSERT_TRUE(D.ExportDetailed);
    AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "1500", "70000");
    D.UserCPort[0].Add(443, 60000);
    D.UserCPort[0].Add(53, 10000);
    D.UserCPort[0].Add(22, 1500);
    ASSERT_TRUE(Export().Complete);
    EXPECT_EQ(Rows(QStringLiteral("select uloktets,dloktets,porttraffic from traffic")),
              std::vector<std::string>{"1500|70000|443:60000,53:10000,22:1500"});
    EXPECT_TRUE(D.UserCPort[0].Empty());
}

TEST_F(DatabaseExportTest, NoValueCanBreakAStatement)
{
    const std::string name = "O'Brien \\ M\xC3\xBCller \"); drop table akteth; --";
    AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "1", "1");
    D.UserName[0] = name;
    D.UserDevice[0] = "eth1'\\";
    ASSERT_TRUE(Export().Complete);
    QSqlQuery query(Check);
    ASSERT_TRUE(query.exec(QStringLiteral("select name from akteth")) && query.next());
    EXPECT_EQ(query.value(0).toString().toStdString(), name);
    EXPECT_EQ(Rows(QStringLiteral("select device from traffic")), std::vector<std::string>{"eth1'\\"});
}

TEST_F(DatabaseExportTest, EmptyStoreRunsJustTheDeletes)
{
    Exec(QStringLiteral("insert into akteth (name,ip,mac,status,lasttraffic) values ('alt','1.2.3.4','m','1',5)"));
    Exec(QStringLiteral("insert into aktrouter (ip,flowsequenz,lastflow,ploss) values ('1.2.3.4','1','00:00:00',0)"));
    const TExportResult result = Export();
    ASSERT_TRUE(result.Complete);
    EXPECT_TRUE(Rows(QStringLiteral("select * from akteth")).empty());
    EXPECT_TRUE(Rows(QStringLiteral("select * from aktrouter")).empty());
}

TEST_F(DatabaseExportTest, FailingStatementStopsTheRunAndTheNextRunRecovers)
{
    AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "100", "200");
    Exec(QStringLiteral("insert into aktrouter (ip,flowsequenz,lastflow,ploss) values ('alt','1','00:00:00',0)"));
    Exec(QStringLiteral("drop table aktrouter"));
    const TExportResult broken = Export();
    EXPECT_TRUE(broken.Connected);
    EXPECT_TRUE(broken.TrafficCommitted);
    EXPECT_FALSE(broken.Complete);
    EXPECT_NE(broken.Error.toStdString().find("aktrouter"), std::string::npos) << broken.Error.toStdString();
    EXPECT_EQ(D.UserCUL.Text(0), "0") << "the traffic rows were committed before";
    EXPECT_EQ(Rows(QStringLiteral("select count(*) from akteth")), std::vector<std::string>{"1"});

    // Without the traffic table nothing is committed and nothing is reset.
    Exec(QStringLiteral("drop table traffic"));
    D.UserCUL.Set(0, "300");
    const TExportResult noTraffic = Export();
    EXPECT_FALSE(noTraffic.TrafficCommitted);
    EXPECT_EQ(D.UserCUL.Text(0), "300");
    EXPECT_EQ(D.UserCDL.Text(0), "0");

    SetUp();  // the tables are back
    D.UserCUL.Set(0, "300");
    const TExportResult good = Export();
    ASSERT_TRUE(good.Complete) << good.Error.toStdString();
    EXPECT_EQ(Rows(QStringLiteral("select uloktets from traffic")), std::vector<std::string>{"300"});
    EXPECT_EQ(D.UserCUL.Text(0), "0");
}

TEST_F(DatabaseExportTest, TrafficCountedDuringARunIsKept)
{
    AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "100", "200");
    AddUser("192.168.1.24", "02:00:00:00:00:24", "5", "5");
    D.UserCPort[0].Add(443, 200);
    TExportJob job = BuildExportJob(D, Noon);
    // Meanwhile the window goes on counting, and one client changes its MAC.
    D.UserCDL.Add(0, 50);
    D.UserCPort[0].Add(443, 50);
    D.UserCPort[0].Add(80, 7);
    D.RemoveUser(1);
    D.AddUser("192.168.1.24", "02:00:00:00:00:99", "eth1", Noon);
    D.UserCUL.Set(1, "3");
    const TExportResult result = TDatabaseExport::Run(job, QStringLiteral("test-export"));
    ASSERT_TRUE(result.TrafficCommitted);
    TakeExportedTraffic(D, result.Exported);
    EXPECT_EQ(D.UserCUL.Text(0), "0");
    EXPECT_EQ(D.UserCDL.Text(0), "50");
    EXPECT_EQ(D.UserCPort[0].ToText(), "443:50,80:7");
    EXPECT_EQ(D.UserCUL.Text(1), "3") << "the new client's counters are its own";
}

TEST_F(DatabaseExportTest, ManyUsersGoInAFewRoundTrips)
{
    for (int i = 0; i < 20'000; ++i)
        AddUser(("192.168.1." + std::to_string(i)).c_str(), "02:00:00:00:00:01", "10", "20");
    for (int r = 0; r < 100; ++r)
        D.AddRouter("10.0.0." + std::to_string(r), 1, Noon);
    const TExportResult result = Export();
    ASSERT_TRUE(result.Complete) << result.Error.toStdString();
    EXPECT_LE(result.RoundTrips, 30);
    EXPECT_EQ(Rows(QStringLiteral("select count(*), cast(sum(uloktets) as signed) from traffic")), std::vector<std::string>{"20000|200000"});
    EXPECT_EQ(Rows(QStringLiteral("select count(*) from akteth")), std::vector<std::string>{"20000"});
}

TEST_F(DatabaseExportTest, UnreachableOrSilentServerFailsWithinSeconds)
{
    AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "100", "200");
    QTcpServer silent;  // accepts connections and never greets
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    quint16 closedPort = 0;
    {
        QTcpServer closed;
        closed.listen(QHostAddress::LocalHost, 0);
        closedPort = closed.serverPort();
    }
    struct {
        const char* Name;
        std::string Port;
        std::string Password;
    } const cases[] = {
        {"nothing listens", std::to_string(closedPort), Server["password"]},
        {"never greets", std::to_string(silent.serverPort()), Server["password"]},
        {"wrong password", Server["port"], "falsch"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        D.MySqlPort = c.Port;
        D.MySqlPassword = c.Password;
        QElapsedTimer clock;
        clock.start();
        const TExportResult result = Export();
        EXPECT_FALSE(result.Connected);
        EXPECT_LT(clock.elapsed(), (TDatabaseExport::ConnectTimeout + 3) * 1000);
        EXPECT_EQ(D.UserCUL.Text(0), "100");
        EXPECT_EQ(D.UserCDL.Text(0), "200");
    }
    // Right settings again: the next run reconnects.
    D.MySqlPort = Server["port"];
    D.MySqlPassword = Server["password"];
    EXPECT_TRUE(Export().Complete);
}

TEST_F(DatabaseExportTest, StartRunsOnItsOwnThread)
{
    AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "100", "200");
    TDatabaseExport exporter;
    bool done = false;
    TExportResult result;
    exporter.Start(BuildExportJob(D, Noon), [&](const TExportJob&, const TExportResult& r) {
        result = r;
        done = true;
    });
    EXPECT_TRUE(exporter.Busy());
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 10000));
    EXPECT_FALSE(exporter.Busy());
    EXPECT_TRUE(result.Complete) << result.Error.toStdString();
    EXPECT_EQ(Rows(QStringLiteral("select count(*) from traffic")), std::vector<std::string>{"1"});
}

TEST_F(DatabaseExportTest, LostCommitAnswerStillWritesEachIntervalOnce)
{
    using TFault = TMySqlProxy::TFault;
    struct {
        const char* Name;
        TFault Fault;
        std::vector<std::string> Traffic;  // uloktets|dloktets|porttraffic of the rows
        std::string ReleaseOn = {};        // HoldCommit: the statement that lets the COMMIT go
    } const cases[] = {
        // The first run's rows are in: the second sends only what came after them.
        {"answer held past the read time-out", TFault::HoldAnswer, {"1000|2000|443:3000", "0|500|53:500"}},
        {"connection dropped after the server committed", TFault::DropAfterCommit, {"1000|2000|443:3000", "0|500|53:500"}},
        // The COMMIT lands only once the next run, not finding the mark, claims the run:
        // the claim meets the committed mark's key.
        {"COMMIT held until the next run claims the run", TFault::HoldCommit, {"1000|2000|443:3000", "0|500|53:500"},
         "(id,zeit,verworfen)"},
        // Nothing is in: the second run sends the whole interval.
        {"connection dropped before the COMMIT arrived", TFault::DropBeforeCommit, {"1000|2500|443:3000,53:500"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        StartCase();
        TMySqlProxy proxy(std::stoi(Server["port"]));
        D.MySqlPort = std::to_string(proxy.Port());
        AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "1000", "2000");
        D.UserCPort[0].Add(443, 3000);

        proxy.Arm(c.Fault, c.ReleaseOn);
        const TExportResult lost = Export();
        EXPECT_EQ(proxy.FaultsApplied(), 1);
        EXPECT_TRUE(lost.CommitUnclear) << lost.Error.toStdString();
        EXPECT_FALSE(lost.TrafficCommitted);
        EXPECT_EQ(D.UserCUL.Text(0), "1000") << "unclear: nothing comes off yet";
        EXPECT_EQ(D.UserCDL.Text(0), "2000");

        // Meanwhile the window goes on counting.
        D.UserCDL.Add(0, 500);
        D.UserCPort[0].Add(53, 500);
        const TExportResult next = Export();
        ASSERT_TRUE(next.Complete) << next.Error.toStdString();
        EXPECT_EQ(Rows(QStringLiteral("select uloktets,dloktets,porttraffic from traffic order by id")), c.Traffic);
        EXPECT_EQ(D.UserCUL.Text(0), "0");
        EXPECT_EQ(D.UserCDL.Text(0), "0");
        EXPECT_TRUE(D.UserCPort[0].Empty());

        // And the run after that adds nothing again.
        ASSERT_TRUE(Export().Complete);
        EXPECT_EQ(Rows(QStringLiteral("select count(*) from traffic")), std::vector<std::string>{std::to_string(c.Traffic.size())});
    }
}

TEST_F(DatabaseExportTest, WithoutTheRunTableTheExportGoesOnAndSaysSoOnce)
{
    Exec(QStringLiteral("drop table vexal_export_run"));
    AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "100", "200");
    const TExportResult first = Export();
    ASSERT_TRUE(first.Complete) << first.Error.toStdString();
    EXPECT_EQ(first.StatusText().toStdString(), "Tabelle vexal_export_run fehlt: Export ohne Schutz vor doppelten Zeilen");
    EXPECT_EQ(D.UserCUL.Text(0), "0");
    D.UserCDL.Set(0, "5");
    const TExportResult second = Export();
    ASSERT_TRUE(second.Complete) << second.Error.toStdString();
    EXPECT_TRUE(second.StatusText().isEmpty()) << "said once";
    EXPECT_EQ(Rows(QStringLiteral("select uloktets,dloktets from traffic order by id")),
              (std::vector<std::string>{"100|200", "0|5"}));
}

TEST_F(DatabaseExportTest, ValuesAreFittedToTheirColumns)
{
    auto times = [](const std::string& text, int n) {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += text;
        return out;
    };
    const std::string smiley = "\xF0\x9F\x98\x80";  // outside the BMP: two UTF-16 units, one character
    struct {
        const char* IP;
        std::string Device, Name;
        std::string StoredDevice, StoredName;
    } const cases[] = {
        {"192.168.1.1", std::string(100, 'e'), std::string(300, 'n'), std::string(64, 'e'), std::string(255, 'n')},
        {"192.168.1.2", times("\xC3\xA4", 100), times(smiley, 300), times("\xC3\xA4", 64), times(smiley, 255)},
        {"192.168.1.3", "x" + times(smiley, 70), "a" + times("\xC3\xBC", 300), "x" + times(smiley, 63), "a" + times("\xC3\xBC", 254)},
        {"192.168.1.4", "eth1", "Kasse", "eth1", "Kasse"},
    };
    for (const auto& c : cases) {
        AddUser(c.IP, "02:00:00:00:00:01", "10", "20");
        D.UserDevice.back() = c.Device;
        D.UserName.back() = c.Name;
    }
    const TExportResult result = Export();
    ASSERT_TRUE(result.Complete) << result.Error.toStdString();
    EXPECT_TRUE(result.Refused.isEmpty());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.IP);
        const QString where = QStringLiteral(" where ip='%1'").arg(QString::fromLatin1(c.IP));
        EXPECT_EQ(Rows(QStringLiteral("select device from traffic") + where), std::vector<std::string>{c.StoredDevice});
        EXPECT_EQ(Rows(QStringLiteral("select name from akteth") + where), std::vector<std::string>{c.StoredName});
    }
    EXPECT_EQ(D.UserCUL.Texts(), std::vector<std::string>(4, "0"));
}

TEST_F(DatabaseExportTest, ARefusedRowLeavesTheOthersWritten)
{
    // A table narrower than ours: the fitting cannot help, the server refuses the row.
    Exec(QStringLiteral("alter table traffic modify device varchar(4) not null"));
    Exec(QStringLiteral("alter table akteth modify name varchar(5) not null"));
    // A user outside the local subnets comes first: its traffic row is in the job but
    // not inserted, so the job's rows and the inserted rows are numbered apart.
    AddUser("10.0.0.9", "02:00:00:00:00:09", "70", "80");
    AddUser("192.168.1.1", "02:00:00:00:00:01", "10", "20");
    AddUser("192.168.1.2", "02:00:00:00:00:02", "30", "40");
    AddUser("192.168.1.3", "02:00:00:00:00:03", "50", "60");
    D.UserDevice[2] = "wlan0";
    D.UserName[3] = "Langer Name";
    D.AddRouter("192.168.1.254", 7, Noon);
    const TExportResult result = Export();
    ASSERT_TRUE(result.Complete) << result.Error.toStdString();
    ASSERT_EQ(result.Refused.size(), 2) << result.Refused.join(QStringLiteral(" / ")).toStdString();
    EXPECT_TRUE(result.Refused[0].startsWith(QStringLiteral("traffic 192.168.1.2: Data too long"))) << result.Refused[0].toStdString();
    EXPECT_TRUE(result.Refused[1].startsWith(QStringLiteral("akteth 192.168.1.3: Data too long"))) << result.Refused[1].toStdString();
    EXPECT_TRUE(result.StatusText().startsWith(QStringLiteral("mySQL Export: 2 Zeilen abgewiesen, zuerst traffic 192.168.1.2")))
        << result.StatusText().toStdString();
    EXPECT_EQ(Rows(QStringLiteral("select ip from traffic order by ip")), (std::vector<std::string>{"192.168.1.1", "192.168.1.3"}));
    EXPECT_EQ(Rows(QStringLiteral("select ip from akteth order by ip")),
              (std::vector<std::string>{"10.0.0.9", "192.168.1.1", "192.168.1.2"}));
    EXPECT_EQ(Rows(QStringLiteral("select count(*) from aktrouter")), std::vector<std::string>{"1"});
    EXPECT_EQ(D.UserCUL.Texts(), (std::vector<std::string>{"0", "0", "30", "0"})) << "refused traffic stays counted";
    EXPECT_EQ(D.UserCDL.Texts(), (std::vector<std::string>{"0", "0", "40", "0"}));
}

// Twenty clients with traffic, then each address announced with another MAC (as DHCP
// reuse does every day): the replaced rows go, but what each old client had not yet
// exported reaches traffic once, as a row of its own with its MAC, interface and ports;
// also when the run's COMMIT answer is lost, before or after the replacement, and when
// the replacement comes while a run is under way.
TEST_F(DatabaseExportTest, EveryOctetOfReplacedClientsReachesTrafficOnce)
{
    using TFault = TMySqlProxy::TFault;
    enum class TWhen { BeforeTheRun, WhileTheRunIsUnderWay, AfterTheRun };
    const struct {
        const char* Name;
        TFault Fault;  // on the first run's COMMIT
        TWhen When;    // the MAC changes, relative to the first run
    } cases[] = {
        {"replaced before the run", TFault::None, TWhen::BeforeTheRun},
        {"replaced while the run is under way", TFault::None, TWhen::WhileTheRunIsUnderWay},
        {"replaced after a run whose answer was held", TFault::HoldAnswer, TWhen::AfterTheRun},
        {"replaced after a run whose connection dropped after the commit", TFault::DropAfterCommit, TWhen::AfterTheRun},
        {"replaced after a run whose COMMIT never arrived", TFault::DropBeforeCommit, TWhen::AfterTheRun},
        {"replaced before a run whose answer was held", TFault::HoldAnswer, TWhen::BeforeTheRun},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        StartCase();
        D.CarriedTraffic = TCarriedTraffic();
        TMySqlProxy proxy(std::stoi(Server["port"]));
        D.MySqlPort = std::to_string(proxy.Port());

        TChargedClients counted(D);
        auto client = [](int i) { return "192.168.1." + std::to_string(10 + i); };
        auto replaceAll = [&] {
            for (int i = 0; i < 20; ++i) {
                counted.Announce(client(i), "02:00:00:00:01:" + std::to_string(10 + i));
                counted.Charge(client(i), 10, 20, 80);  // the new clients count as well
            }
        };
        for (int i = 0; i < 20; ++i) {
            counted.Announce(client(i), "02:00:00:00:00:" + std::to_string(10 + i));
            counted.Charge(client(i), 1000 + i, 2000 + i, 443);
        }
        ASSERT_EQ(D.UserCount(), 20u);

        if (c.When == TWhen::BeforeTheRun)
            replaceAll();
        proxy.Arm(c.Fault);
        Job = BuildExportJob(D, Noon);
        if (c.When == TWhen::WhileTheRunIsUnderWay)
            replaceAll();
        TakeExportedTraffic(D, TDatabaseExport::Run(Job, {QStringLiteral("test-export")}, Ledger).Exported);
        if (c.When == TWhen::AfterTheRun)
            replaceAll();
        ASSERT_EQ(D.UserCount(), 20u);

        for (int i = 0; i < 20; ++i)
            counted.Charge(client(i), 5, 7, 53);
        const TExportResult next = Export();
        ASSERT_TRUE(next.Complete) << next.Error.toStdString();
        const TExportResult after = Export();
        ASSERT_TRUE(after.Complete) << after.Error.toStdString();

        const std::map<std::string, std::string> truth = counted.PerClient();  // "ip|mac" -> "ul|dl|port octets"
        std::map<std::string, std::string> written;
        std::map<std::string, std::int64_t> portOctets;
        for (const std::string& row : Rows(QStringLiteral("select ip,mac,device,porttraffic from traffic"))) {
            const QStringList columns = QString::fromStdString(row).split(QLatin1Char('|'));
            ASSERT_EQ(columns.size(), 4) << row;
            EXPECT_EQ(columns[2], QStringLiteral("eth1"));
            for (const QString& entry : columns[3].split(QLatin1Char(','), Qt::SkipEmptyParts))
                portOctets[(columns[0] + QLatin1Char('|') + columns[1]).toStdString()] += entry.section(QLatin1Char(':'), 1).toLongLong();
        }
        for (const std::string& row : Rows(QStringLiteral(
                 "select concat(ip,'|',mac), cast(sum(uloktets) as signed), cast(sum(dloktets) as signed)"
                 " from traffic group by ip, mac"))) {
            const auto bar = row.find('|', row.find('|') + 1);
            written[row.substr(0, bar)] = row.substr(bar + 1) + "|" + std::to_string(portOctets[row.substr(0, bar)]);
        }
        EXPECT_EQ(written.size(), 40u);
        EXPECT_EQ(written, truth);
        EXPECT_TRUE(D.CarriedTraffic.empty()) << D.CarriedTraffic.size() << " rows still carried";
        EXPECT_EQ(D.UserCUL.Texts(), std::vector<std::string>(20, "0"));
        EXPECT_EQ(D.UserCDL.Texts(), std::vector<std::string>(20, "0"));
    }
}

// A deadlock or a cluster's certification conflict at COMMIT (1213) undoes the
// transaction for certain: the run sends it again at once and ends complete, every
// interval once, without taking the path of a COMMIT whose outcome is unclear.
TEST_F(DatabaseExportTest, DeadlockAtCommitIsSentAgainWithinTheRun)
{
    struct {
        const char* Name;
        int CommitsToPass;  // traffic, then akteth, then aktrouter
    } const cases[] = {
        {"traffic", 0},
        {"akteth", 1},
        {"aktrouter", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        StartCase();
        TMySqlProxy proxy(std::stoi(Server["port"]));
        D.MySqlPort = std::to_string(proxy.Port());
        AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "1000", "2000");
        if (D.RouterCount() == 0)
            D.AddRouter("192.168.1.1", 4711, Noon);

        proxy.ArmAfter(TMySqlProxy::TFault::DeadlockAtCommit, c.CommitsToPass);
        const TExportResult result = Export();
        EXPECT_EQ(proxy.FaultsApplied(), 1);
        ASSERT_TRUE(result.Complete) << result.Error.toStdString();
        EXPECT_FALSE(result.CommitUnclear);
        EXPECT_TRUE(Ledger.Unsettled.empty());
        EXPECT_EQ(Rows(QStringLiteral("select uloktets,dloktets from traffic")), std::vector<std::string>{"1000|2000"});
        EXPECT_EQ(Rows(QStringLiteral("select ip from akteth")), std::vector<std::string>{"192.168.1.23"});
        EXPECT_EQ(Rows(QStringLiteral("select ip from aktrouter")), std::vector<std::string>{"192.168.1.1"});
        EXPECT_EQ(D.UserCUL.Text(0), "0");
        EXPECT_EQ(D.UserCDL.Text(0), "0");
        ASSERT_TRUE(Export().Complete);
        EXPECT_EQ(Rows(QStringLiteral("select count(*) from traffic")), std::vector<std::string>{"1"});
    }
}

// A connection kept from the last run that has gone away meanwhile (the server or a
// cluster node restarted) is opened again before anything is sent: the run does not
// fail once first.
TEST_F(DatabaseExportTest, ConnectionGoneSinceTheLastRunIsOpenedAgain)
{
    struct {
        const char* Name;
        bool TrafficInTheSecondRun;
    } const cases[] = {
        {"with traffic", true},
        {"snapshots only", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        StartCase();
        TMySqlProxy proxy(std::stoi(Server["port"]));
        D.MySqlPort = std::to_string(proxy.Port());
        AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "1000", "2000");
        ASSERT_TRUE(Export().Complete);

        proxy.DropAll();
        if (c.TrafficInTheSecondRun)
            D.UserCDL.Set(0, "300");
        const TExportResult result = Export();
        ASSERT_TRUE(result.Complete) << result.Error.toStdString();
        EXPECT_EQ(Rows(QStringLiteral("select count(*) from traffic")),
                  std::vector<std::string>{c.TrafficInTheSecondRun ? "2" : "1"});
        EXPECT_EQ(D.UserCDL.Text(0), "0");
    }
}

TEST(MySqlErrors, NumbersHaveNamesAndKinds)
{
    struct {
        int Code;
        bool Conflict;
        bool Gone;
    } const cases[] = {
        {1213, true, false}, {1205, true, false}, {2006, false, true}, {2013, false, true},
        {1146, false, false}, {1045, false, false}, {2003, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Code);
        EXPECT_FALSE(MySqlErrorName(c.Code).isEmpty());
        EXPECT_EQ(IsTransactionConflict(c.Code), c.Conflict);
        EXPECT_EQ(IsConnectionGone(c.Code), c.Gone);
    }
    EXPECT_TRUE(MySqlErrorName(0).isEmpty());
    const QSqlError deadlock(QStringLiteral("Deadlock found"), QStringLiteral("COMMIT"), QSqlError::TransactionError,
                             QStringLiteral("1213"));
    EXPECT_EQ(MySqlErrorCode(deadlock), 1213);
    EXPECT_TRUE(DescribeMySqlError(deadlock).contains(QStringLiteral("1213: Deadlock oder Konflikt im Cluster")))
        << DescribeMySqlError(deadlock).toStdString();
}

// A refused value of one row lets the other rows go in; what would fail every row
// (a missing table, a lost connection, a conflict) does not count as a row's fault.
TEST(MySqlErrors, RowErrorsAreTheNumbersAboutOneValue)
{
    for (const int code : {1048, 1062, 1264, 1265, 1292, 1366, 1367, 1406, 1452, 3819, 4025}) {
        SCOPED_TRACE(code);
        EXPECT_TRUE(IsRowError(code));
    }
    for (const int code : {0, 1045, 1146, 1205, 1213, 2006, 2013}) {
        SCOPED_TRACE(code);
        EXPECT_FALSE(IsRowError(code));
    }
}

// Two collectors share one database and export in turn: each run rewrites only its own
// collector's snapshot rows, and every traffic row says whose it is, also when both see
// the same addresses (two sites with the same private network, routers on 127.0.0.1).
TEST_F(DatabaseExportTest, TwoCollectorsExportingInTurnKeepTheirOwnRows)
{
    struct TSite {
        std::string Collector;
        TDaten Store;
    };
    TSite sites[] = {{"haus-a", D}, {"haus-b", D}};
    for (TSite& site : sites) {
        site.Store.AddUser("192.168.1.23", "02:00:00:00:00:23", "eth1", Noon);
        site.Store.UserCDL.Set(0, site.Collector == "haus-a" ? "100" : "200");
        site.Store.AddRouter("127.0.0.1", 4711, Noon);
    }
    sites[1].Store.AddUser("192.168.1.99", "02:00:00:00:00:99", "eth1", Noon);
    TExportLedger ledgers[2];
    auto exportSite = [&](int i) {
        TExportJob job = BuildExportJob(sites[i].Store, Noon);
        job.Collector = sites[i].Collector;
        const TExportResult result = TDatabaseExport::Run(job, {QStringLiteral("test-export")}, ledgers[i]);
        TakeExportedTraffic(sites[i].Store, result.Exported);
        return result;
    };
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        for (int i : {0, 1}) {
            const TExportResult result = exportSite(i);
            ASSERT_TRUE(result.Complete) << result.Error.toStdString();
            EXPECT_TRUE(result.Notice.isEmpty()) << result.Notice.toStdString();
        }
        EXPECT_EQ(Rows(QStringLiteral("select collector,ip from akteth order by collector,ip")),
                  (std::vector<std::string>{"haus-a|192.168.1.23", "haus-b|192.168.1.23", "haus-b|192.168.1.99"}));
        EXPECT_EQ(Rows(QStringLiteral("select collector,ip from aktrouter order by collector")),
                  (std::vector<std::string>{"haus-a|127.0.0.1", "haus-b|127.0.0.1"}));
        EXPECT_EQ(Rows(QStringLiteral("select collector,dloktets from traffic order by collector")),
                  (std::vector<std::string>{"haus-a|100", "haus-b|200"}))
            << "the second round has no new traffic";
    }
    // A collector that has lost its routers and users leaves the other's rows alone.
    sites[0].Store = D;  // the settings only
    const TExportResult emptied = exportSite(0);
    ASSERT_TRUE(emptied.Complete) << emptied.Error.toStdString();
    EXPECT_EQ(Rows(QStringLiteral("select collector,ip from akteth order by ip")),
              (std::vector<std::string>{"haus-b|192.168.1.23", "haus-b|192.168.1.99"}));
    EXPECT_EQ(Rows(QStringLiteral("select collector from aktrouter")), std::vector<std::string>{"haus-b"});
}

// A database from before the column collector works on as one collector's, with the
// old statements, and says so once.
TEST_F(DatabaseExportTest, DatabaseWithoutCollectorColumnWorksAsOneCollector)
{
    Exec(QStringLiteral("alter table traffic drop column collector"));
    Exec(QStringLiteral("alter table akteth drop primary key, drop column collector"));
    Exec(QStringLiteral("alter table aktrouter drop primary key, drop column collector"));
    AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "1000", "2000");
    D.AddRouter("192.168.1.1", 4711, Noon);
    const TExportResult first = Export();
    ASSERT_TRUE(first.Complete) << first.Error.toStdString();
    EXPECT_TRUE(first.StatusText().startsWith(QStringLiteral("Spalte collector fehlt"))) << first.StatusText().toStdString();
    EXPECT_EQ(Rows(QStringLiteral("select uloktets,dloktets,ip from traffic")), std::vector<std::string>{"1000|2000|192.168.1.23"});
    EXPECT_EQ(Rows(QStringLiteral("select ip from akteth")), std::vector<std::string>{"192.168.1.23"});
    EXPECT_EQ(Rows(QStringLiteral("select ip from aktrouter")), std::vector<std::string>{"192.168.1.1"});
    const TExportResult second = Export();
    ASSERT_TRUE(second.Complete);
    EXPECT_TRUE(second.StatusText().isEmpty()) << "said once";
    EXPECT_EQ(Rows(QStringLiteral("select count(*) from akteth")), std::vector<std::string>{"1"});
}

// The host field takes a list, tried in its order whenever a connection is opened: a
// host that does not answer is passed over for the next one. Each entry may carry its
// own port, a list of one entry too; the port field then names a dead port, so only the
// entries' own ports can reach the server.
TEST_F(DatabaseExportTest, HostListGoesOnWithTheNextHost)
{
    int closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    const std::string dead = "127.0.0.1:" + std::to_string(closedPort);
    const std::string live = "127.0.0.1:" + Server["port"];
    const struct {
        std::string Hosts;
    } cases[] = {
        {dead + "," + live},
        {live},
        {dead + ", " + live},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Hosts);
        Exec(QStringLiteral("delete from traffic"));
        D.ClearUsers();
        D.MySqlHost = c.Hosts;
        D.MySqlPort = std::to_string(closedPort);
        AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "1000", "2000");
        const TExportResult result = Export();
        EXPECT_TRUE(result.Complete) << result.Error.toStdString();
        EXPECT_EQ(Rows(QStringLiteral("select uloktets,dloktets from traffic")), std::vector<std::string>{"1000|2000"});
    }
}

// The program stops while the database cannot take the interval, and starts again
// once it can: what the database had not received reaches traffic exactly once, also
// when the last run's COMMIT had no answer (the run found committed or not after the
// restart, as the next run would within one session), and with the carried rows of
// clients replaced before or after that run.
TEST_F(DatabaseExportTest, RestartKeepsWhatTheDatabaseHasNotReceived)
{
    using TFault = TMySqlProxy::TFault;
    enum class TBefore { Unreachable, FailsBeforeCommit, CommitAnswerLost };
    enum class TReplace { No, BeforeTheRun, AfterTheRun };
    const struct {
        const char* Name;
        TBefore Before;
        TFault Fault;  // at the COMMIT of the run before the stop
        TReplace Replace;
    } cases[] = {
        {"interval counted, no run yet", TBefore::Unreachable, TFault::None, TReplace::No},
        {"run failed before COMMIT", TBefore::FailsBeforeCommit, TFault::None, TReplace::No},
        {"COMMIT answer lost, it had committed", TBefore::CommitAnswerLost, TFault::DropAfterCommit, TReplace::No},
        {"COMMIT answer lost, it had not", TBefore::CommitAnswerLost, TFault::DropBeforeCommit, TReplace::No},
        {"carried rows of a replaced client", TBefore::Unreachable, TFault::None, TReplace::BeforeTheRun},
        {"carried rows in a run whose COMMIT answer was lost", TBefore::CommitAnswerLost, TFault::DropAfterCommit,
         TReplace::BeforeTheRun},
        {"replaced after a committed run whose answer was lost", TBefore::CommitAnswerLost, TFault::DropAfterCommit,
         TReplace::AfterTheRun},
        {"replaced after a run whose COMMIT never arrived", TBefore::CommitAnswerLost, TFault::DropBeforeCommit,
         TReplace::AfterTheRun},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        StartCase();
        D.CarriedTraffic = TCarriedTraffic();
        TMySqlProxy proxy(std::stoi(Server["port"]));
        D.MySqlPort = c.Before == TBefore::Unreachable ? "1" : std::to_string(proxy.Port());

        TChargedClients counted(D);
        auto chargeAll = [&](std::int64_t ul, std::int64_t dl, std::int32_t port) {
            for (const char* ip : {"192.168.1.10", "192.168.1.11", "192.168.1.12"})
                counted.Charge(ip, ul, dl, port);
        };
        counted.Announce("192.168.1.10", "02:00:00:00:00:0a");
        counted.Announce("192.168.1.11", "02:00:00:00:00:0b");
        counted.Announce("192.168.1.12", "02:00:00:00:00:0c");
        chargeAll(1000, 2000, 443);
        auto replace = [&] {
            counted.Announce("192.168.1.11", "02:00:00:00:00:bb");
            counted.Charge("192.168.1.11", 30, 40, 80);
        };
        if (c.Replace == TReplace::BeforeTheRun)
            replace();

        if (c.Before == TBefore::FailsBeforeCommit)
            proxy.DropOn("insert into traffic", TExportRetry::MaxAttempts);
        proxy.Arm(c.Fault);
        const TExportResult last = Export();
        EXPECT_FALSE(last.TrafficCommitted);
        EXPECT_EQ(last.CommitUnclear, c.Before == TBefore::CommitAnswerLost);
        if (c.Replace == TReplace::AfterTheRun)
            replace();
        chargeAll(5, 7, 53);  // counted after the run, before the stop

        Restart();
        if (HasFatalFailure())
            return;
        D.MySqlPort = Server["port"];
        chargeAll(1, 2, 22);  // and after the start
        const TExportResult first = Export();
        ASSERT_TRUE(first.Complete) << first.Error.toStdString();
        const TExportResult second = Export();
        ASSERT_TRUE(second.Complete) << second.Error.toStdString();

        EXPECT_EQ(TrafficPerClient(), counted.PerClient());
        EXPECT_TRUE(D.CarriedTraffic.empty()) << D.CarriedTraffic.size() << " rows still carried";
        EXPECT_EQ(D.UserCDL.Texts(), std::vector<std::string>(3, "0"));
        EXPECT_TRUE(Ledger.Unsettled.empty());
    }
}

// A connection that goes away in the middle of a run, before a COMMIT was sent, takes
// nothing with it that was committed: the run opens it again and sends the
// transaction once more, and ends complete, every interval once.
TEST_F(DatabaseExportTest, ConnectionLostWithinTheRunIsOpenedAgainAndTheRunGoesOn)
{
    const struct {
        const char* Name;
        const char* DropOn;
        bool SettleFirst;  // an earlier run's COMMIT had no answer, so this one settles it first
    } cases[] = {
        {"at the run mark", "insert into vexal_export_run (id,zeit)", false},
        {"during the traffic inserts", "insert into traffic", false},
        {"while clearing akteth", "delete from akteth", false},
        {"during the akteth inserts", "insert into akteth", false},
        {"during the aktrouter inserts", "insert into aktrouter", false},
        {"while settling the unclear run", "select verworfen", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        StartCase();
        TMySqlProxy proxy(std::stoi(Server["port"]));
        D.MySqlPort = std::to_string(proxy.Port());
        if (D.RouterCount() == 0)
            D.AddRouter("192.168.1.1", 4711, Noon);
        for (int i = 0; i < 50; ++i) {
            const std::string ip = "192.168.1." + std::to_string(10 + i);
            D.AddUser(ip, "02:00:00:00:01:" + std::to_string(10 + i), "eth1", Noon);
            D.UserCUL.SetValue(static_cast<std::size_t>(i), 1000 + i);
            D.UserCDL.SetValue(static_cast<std::size_t>(i), 2000 + i);
        }
        if (c.SettleFirst) {
            proxy.Arm(TMySqlProxy::TFault::DropBeforeCommit);
            ASSERT_TRUE(Export().CommitUnclear);
        }
        const int before = proxy.FaultsApplied();
        proxy.DropOn(c.DropOn);
        const TExportResult result = Export();
        EXPECT_EQ(proxy.FaultsApplied(), before + 1);
        ASSERT_TRUE(result.Complete) << result.Error.toStdString();
        EXPECT_FALSE(result.CommitUnclear);
        EXPECT_EQ(Rows(QStringLiteral("select count(*), cast(sum(uloktets) as signed), cast(sum(dloktets) as signed) "
                                      "from traffic")),
                  std::vector<std::string>{"50|51225|101225"});
        EXPECT_EQ(Rows(QStringLiteral("select count(*) from akteth")), std::vector<std::string>{"50"});
        EXPECT_EQ(Rows(QStringLiteral("select ip from aktrouter")), std::vector<std::string>{"192.168.1.1"});
        EXPECT_EQ(D.UserCDL.Texts(), std::vector<std::string>(50, "0"));
        ASSERT_TRUE(Export().Complete);
        EXPECT_EQ(Rows(QStringLiteral("select count(*) from traffic")), std::vector<std::string>{"50"});
    }
}

// The program dies after a run has sent its traffic and before its result is applied
// (the counters still hold that run's octets). The export state the collector wrote
// before the run sent anything names the run with its rows as taken, so after the
// restart those octets come off when the run took effect and are sent when it did
// not, also when an earlier run's COMMIT had no answer.
TEST_F(DatabaseExportTest, DeathAfterARunSentItsTrafficNeitherLosesNorDoubles)
{
    using TFault = TMySqlProxy::TFault;
    const struct {
        const char* Name;
        TFault Earlier;  // at the COMMIT of a run before it (None: no such run)
        TFault Fault;    // at the COMMIT of the run the program dies in
    } cases[] = {
        {"committed and answered", TFault::None, TFault::None},
        {"committed, the answer lost", TFault::None, TFault::DropAfterCommit},
        {"the COMMIT never arrived", TFault::None, TFault::DropBeforeCommit},
        {"after an unclear run that had committed", TFault::DropAfterCommit, TFault::None},
        {"after an unclear run that had not", TFault::DropBeforeCommit, TFault::None},
        {"after an unclear run, itself not committed", TFault::DropAfterCommit, TFault::DropBeforeCommit},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        StartCase();
        D.CarriedTraffic = TCarriedTraffic();
        TMySqlProxy proxy(std::stoi(Server["port"]));
        D.MySqlPort = std::to_string(proxy.Port());
        std::int64_t ul = 0, dl = 0;
        auto charge = [&](std::int64_t up, std::int64_t down) {
            D.UserCUL.Add(0, up);
            D.UserCDL.Add(0, down);
            D.UserCPort[0].Add(443, down);
            ul += up;
            dl += down;
        };
        AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "0", "0");
        charge(1000, 2000);
        if (c.Earlier != TFault::None) {
            proxy.Arm(c.Earlier);
            ASSERT_TRUE(Export().CommitUnclear);
            charge(30, 300);
        }

        // The run as the collector prepares it: its id, and the export state naming it
        // with its rows as taken, written before the traffic goes.
        Job = BuildExportJob(D, Noon);
        Job.RunId = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
        std::vector<TUnsettledRun> runs = Ledger.Unsettled;
        runs.push_back({Job.RunId, Job.Traffic});
        const std::string written = TExportStateFile::Format(D, runs);
        bool announced = false;
        Job.BeforeTraffic = [&] { announced = true; };
        proxy.Arm(c.Fault);
        TDatabaseExport::Run(Job, {QStringLiteral("test-export")}, Ledger);  // its result is never applied
        EXPECT_TRUE(announced);

        Restart(written);
        if (HasFatalFailure())
            return;
        D.MySqlPort = Server["port"];
        charge(1, 5);
        const TExportResult first = Export();
        ASSERT_TRUE(first.Complete) << first.Error.toStdString();
        ASSERT_TRUE(Export().Complete);
        const std::string sum = std::to_string(ul) + "|" + std::to_string(dl) + "|" + std::to_string(dl);
        EXPECT_EQ(TrafficPerClient(), (std::map<std::string, std::string>{{"192.168.1.23|02:1a:2b:3c:4d:5e", sum}}));
        EXPECT_EQ(D.UserCDL.Text(0), "0");
        EXPECT_TRUE(Ledger.Unsettled.empty());
    }
}
