// One database export run with 1,000 and 65,000 users and 100 routers against a
// throwaway MariaDB server: wall time, round trips and the time the GUI thread is
// busy (taking the snapshot, putting the counters down after the commit), beside the
// floor: the same rows loaded by the mysql command-line client from one file of
// multi-row inserts. Starts its own server unless VEXAL_TEST_MYSQL names one.
#include "ExportJob.h"
#include "TDatabaseExport.h"
#include "TDaten.h"
#include "TestDatabase.h"
#include "TextForms.h"

#include <QCoreApplication>
#include <QSqlDatabase>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {
using Clock = std::chrono::steady_clock;
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void Fill(TDaten& d, int users)
{
    d.LocalSubnets = {"10"};
    for (int i = 0; i < users; ++i) {
        const std::string ip = "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "."
            + std::to_string(i & 255);
        d.AddUser(ip, "02:00:00:00:00:01", "eth1", Noon);
        d.UserName[i] = "Client " + std::to_string(i);
        d.UserCUL.Set(i, std::to_string(1000 + i));
        d.UserCDL.Set(i, std::to_string(50000 + i));
        d.UserCPort[i].Add(443, 40000 + i);
        d.UserCPort[i].Add(53, 10000);
        d.UserLastTime[i] = StampText(Noon);
    }
    for (int r = 0; r < 100; ++r)
        d.AddRouter("172.16.0." + std::to_string(r), 1000 + r, Noon);
}

std::string Quote(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "'";
}

// The floor: the same rows as one file of multi-row inserts for the mysql client.
double ClientFloor(const TExportJob& job, const std::map<std::string, std::string>& server)
{
    const std::string path = "/tmp/vexal-export-floor.sql";
    std::ofstream sql(path);
    sql << "start transaction;\ninsert into traffic (zeit,datum,device,uloktets,dloktets,porttraffic,mac,ip) values";
    for (std::size_t i = 0; i < job.Traffic.size(); ++i) {
        const TTrafficRow& r = job.Traffic[i];
        sql << (i ? "," : "") << "(curtime(),curdate()," << Quote(r.Device) << "," << r.UL << "," << r.DL << ","
            << Quote(r.Ports.ToText()) << "," << Quote(r.MAC) << "," << Quote(r.IP) << ")";
    }
    sql << ";\ncommit;\nstart transaction;\ndelete from akteth;\ninsert into akteth (name,ip,mac,status,lasttraffic) values";
    for (std::size_t i = 0; i < job.Users.size(); ++i) {
        const TUserSnapshotRow& r = job.Users[i];
        sql << (i ? "," : "") << "(" << Quote(r.Name) << "," << Quote(r.IP) << "," << Quote(r.MAC) << ","
            << Quote(r.Status) << "," << r.LastTraffic << ")";
    }
    sql << ";\ncommit;\nstart transaction;\ndelete from aktrouter;\ninsert into aktrouter (ip,flowsequenz,lastflow,ploss) values";
    for (std::size_t i = 0; i < job.Routers.size(); ++i) {
        const TRouterSnapshotRow& r = job.Routers[i];
        sql << (i ? "," : "") << "(" << Quote(r.IP) << "," << Quote(r.Sequenz) << "," << Quote(r.LastFlow) << ","
            << r.PLoss << ")";
    }
    sql << ";\ncommit;\n";
    sql.close();
    const std::string command = "mariadb --no-defaults --max-allowed-packet=64M -h127.0.0.1 -P" + server.at("port")
        + " -u" + server.at("user") + " -p" + server.at("password") + " " + server.at("database") + " < " + path;
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "mariadb client failed\n");
    return Seconds(start);
}
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    bool ownServer = false;
    const std::string serverDir = "/tmp/vexal-bench-mariadb";
    if (!std::getenv("VEXAL_TEST_MYSQL")) {
        ownServer = true;
        std::system((std::string(VEXAL_SOURCE_DIR "/scripts/mariadb-test-server.sh start ") + serverDir).c_str());
        setenv("VEXAL_TEST_MYSQL", (serverDir + "/connection").c_str(), 1);
    }
    const auto server = TestDatabaseConnection();

    std::printf("%8s %12s %12s %12s %14s %12s %8s\n", "users", "run ms", "round trips", "GUI busy ms", "client floor ms",
                "run/floor", "rows");
    for (int users : {1000, 65000}) {
        TDaten d;
        Fill(d, users);
        d.MySqlHost = "127.0.0.1";
        d.MySqlPort = server.at("port");
        d.MySqlUser = server.at("user");
        d.MySqlPassword = server.at("password");
        d.MySqlDatabase = server.at("database");
        // A first run opens the connection and warms the tables, as the program's would.
        TDatabaseExport::Run(BuildExportJob(d, Noon), QStringLiteral("bench"));

        auto start = Clock::now();
        const TExportJob job = BuildExportJob(d, Noon);
        double guiBusy = Seconds(start);
        start = Clock::now();
        const TExportResult result = TDatabaseExport::Run(job, QStringLiteral("bench"));
        const double run = Seconds(start);
        start = Clock::now();
        TakeExportedTraffic(d, job.Traffic);
        guiBusy += Seconds(start);
        if (!result.Complete)
            std::fprintf(stderr, "export failed: %s\n", result.Error.toStdString().c_str());
        const double floor = ClientFloor(job, server);
        std::printf("%8d %12.1f %12d %12.1f %14.1f %12.2f %8zu\n", users, run * 1e3, result.RoundTrips, guiBusy * 1e3,
                    floor * 1e3, run / floor, job.Traffic.size() + job.Users.size() + job.Routers.size());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
    if (ownServer)
        std::system((std::string(VEXAL_SOURCE_DIR "/scripts/mariadb-test-server.sh stop ") + serverDir).c_str());
    return 0;
}
