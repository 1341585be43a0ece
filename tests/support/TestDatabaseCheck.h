#pragma once

#include "TDaten.h"
#include "TestDatabase.h"

#include <QSqlDatabase>
#include <QString>

#include <map>
#include <string>

// A connection of the test's own to the throwaway MariaDB server, for checking what the
// program under test wrote there. Not yet open: the caller opens it and asserts.
inline QSqlDatabase TestDatabaseCheck(const std::map<std::string, std::string>& server, const QString& name)
{
    QSqlDatabase check = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
    check.setHostName(QStringLiteral("127.0.0.1"));
    check.setPort(std::stoi(server.at("port")));
    check.setUserName(QString::fromStdString(server.at("user")));
    check.setPassword(QString::fromStdString(server.at("password")));
    check.setDatabaseName(QString::fromStdString(server.at("database")));
    return check;
}

// Points a state's export at the throwaway server, switched on with a period long
// enough that no periodic run comes during a test.
inline void ExportToTestDatabase(TDaten& d, const std::map<std::string, std::string>& server)
{
    d.ExportEnabled = true;
    d.ExportInterval = 3600;
    d.MySqlHost = "127.0.0.1";
    d.MySqlPort = server.at("port");
    d.MySqlUser = server.at("user");
    d.MySqlPassword = server.at("password");
    d.MySqlDatabase = server.at("database");
}

// Points a state's export at a port where nothing listens (inside a network namespace
// of the test's own), switched on the same way: every run fails to connect.
inline void ExportToNoServer(TDaten& d)
{
    d.ExportEnabled = true;
    d.ExportInterval = 3600;
    d.MySqlHost = "127.0.0.1";
    d.MySqlPort = "3306";
}
