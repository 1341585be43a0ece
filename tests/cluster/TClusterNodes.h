#pragma once

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

// The 3-node Galera test cluster that ctest starts (scripts/galera-test-cluster.sh):
// its connection file, a checking connection to each node, and the node's process for
// killing it and starting it again.
class TClusterNodes {
public:
    // The folder the fixture started the cluster in, from VEXAL_TEST_GALERA; empty values
    // when the test does not run through ctest.
    TClusterNodes()
    {
        const char* dir = std::getenv("VEXAL_TEST_GALERA");
        if (!dir)
            return;
        Dir = dir;
        std::ifstream in(Dir + "/connection");
        std::string line;
        while (std::getline(in, line))
            if (const auto eq = line.find('='); eq != std::string::npos)
                Values[line.substr(0, eq)] = line.substr(eq + 1);
    }

    // A node a failed test left down is started again, so the tests after it find the
    // whole cluster.
    ~TClusterNodes()
    {
        const std::set<int> down = Down;
        for (const int node : down) {
            std::string output;
            StartAgain(node, output);
        }
        for (int node = 1; node <= 3; ++node)
            QSqlDatabase::removeDatabase(ConnectionName(node));
    }

    bool Known() const { return Values.count("port3") != 0; }
    const std::map<std::string, std::string>& Login() const { return Values; }
    std::string Port(int node) const { return Values.at("port" + std::to_string(node)); }
    // The export's host field for these nodes, in this order, each with its port.
    std::string Hosts(const std::vector<int>& nodes) const
    {
        std::string hosts;
        for (const int node : nodes)
            hosts += (hosts.empty() ? "" : ",") + std::string("127.0.0.1:") + Port(node);
        return hosts;
    }

    // Runs a statement on a node with a fresh connection that waits until the node has
    // applied everything the cluster committed before (wsrep_sync_wait), so a row
    // written on another node is seen. Rows as tab-joined columns; false with the
    // error in error when the node cannot be asked.
    bool Query(int node, const QString& statement, std::vector<std::string>& rows, std::string& error) const
    {
        rows.clear();
        QSqlDatabase db = QSqlDatabase::contains(ConnectionName(node))
            ? QSqlDatabase::database(ConnectionName(node), false)
            : QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), ConnectionName(node));
        db.close();
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(std::stoi(Port(node)));
        db.setUserName(QString::fromStdString(Values.at("user")));
        db.setPassword(QString::fromStdString(Values.at("password")));
        db.setDatabaseName(QString::fromStdString(Values.at("database")));
        db.setConnectOptions(QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=5;MYSQL_OPT_READ_TIMEOUT=30"));
        if (!db.open()) {
            error = db.lastError().text().toStdString();
            return false;
        }
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("set session wsrep_sync_wait=1")) || !query.exec(statement)) {
            error = query.lastError().text().toStdString();
            db.close();
            return false;
        }
        while (query.next()) {
            QStringList columns;
            for (int c = 0; c < query.record().count(); ++c)
                columns << query.value(c).toString();
            rows.push_back(columns.join(QLatin1Char('\t')).toStdString());
        }
        query.finish();
        db.close();
        return true;
    }

    // Kills the node's server with SIGKILL, as a power cut would, and waits until its
    // SQL port no longer takes connections.
    bool Kill(int node)
    {
        std::ifstream pidFile(Values.at("pid" + std::to_string(node)));
        pid_t pid = 0;
        if (!(pidFile >> pid) || pid <= 0 || ::kill(pid, SIGKILL) != 0)
            return false;
        Down.insert(node);
        for (int i = 0; i < 300; ++i) {
            if (!Listens(node))
                return true;
            ::usleep(100'000);
        }
        return false;
    }

    // Starts the node again; it rejoins the cluster and takes what it missed. Waits
    // until it is Synced (the script does), at most the given time.
    bool StartAgain(int node, std::string& output)
    {
        Down.erase(node);
        QProcess script;
        script.setProcessChannelMode(QProcess::MergedChannels);
        script.start(QStringLiteral(VEXAL_SOURCE_DIR "/scripts/galera-test-cluster.sh"),
                     {QStringLiteral("node-start"), QString::fromStdString(Dir), QString::number(node)});
        const bool finished = script.waitForFinished(240'000);
        output = script.readAll().toStdString();
        return finished && script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
    }

private:
    static QString ConnectionName(int node) { return QStringLiteral("cluster-check-%1").arg(node); }

    bool Listens(int node) const
    {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(std::stoi(Port(node))));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool connected = ::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
        ::close(s);
        return connected;
    }

    std::string Dir;
    std::map<std::string, std::string> Values;
    std::set<int> Down;
};
