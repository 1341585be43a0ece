#include "FlowDatagramBuilder.h"
#include "TStateFile.h"
#include "TDaten.h"
#include "TempDir.h"
#include "TestDatabase.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

// The real program, started as a user would: it must come up headless, and a SIGTERM
// from the system must close it the normal way, saving its state.
TEST(Program, StopsOnSigtermAndSavesItsState)
{
    TTempDir dir;
    TDaten d;
    d.LocalSubnets = {"192.168.1"};
    d.AddUser("192.168.1.7", "02:00:00:00:00:07", "eth0", TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0));
    d.UserDL[0] = "123456";
    ASSERT_TRUE(TStateFile::Save(d, dir.File("vexal.ini")));

    QProcess program;
    program.setWorkingDirectory(QString::fromStdString(dir.Path.string()));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(VEXAL_CAPTURE_BINARY), {});
    ASSERT_TRUE(program.waitForStarted(5000));
    // Give it time to show its window and load the state.
    ASSERT_FALSE(program.waitForFinished(1500)) << program.readAllStandardError().toStdString();
    std::filesystem::remove(dir.File("vexal.ini"));
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);

    TDaten saved;
    ASSERT_TRUE(TStateFile::Load(saved, dir.File("vexal.ini"))) << "saved on the way out";
    ASSERT_EQ(saved.UserCount(), 1u);
    EXPECT_EQ(saved.UserDL[0], "123456");
    EXPECT_EQ(saved.LocalSubnets, std::vector<std::string>{"192.168.1"});
}

// With the export on, the octets counted since the last run are not in the state
// file: a SIGTERM must send them to the database before the program ends.
TEST(Program, SigtermExportsTheTrafficNotYetExported)
{
    const auto server = TestDatabaseConnection();
    ASSERT_FALSE(server.empty()) << "VEXAL_TEST_MYSQL names no connection file; run the tests through ctest";
    QSqlDatabase check = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), QStringLiteral("program-check"));
    check.setHostName(QStringLiteral("127.0.0.1"));
    check.setPort(std::stoi(server.at("port")));
    check.setUserName(QString::fromStdString(server.at("user")));
    check.setPassword(QString::fromStdString(server.at("password")));
    check.setDatabaseName(QString::fromStdString(server.at("database")));
    ASSERT_TRUE(check.open()) << check.lastError().text().toStdString();
    QSqlQuery(check).exec(QStringLiteral("delete from traffic"));

    TTempDir dir;
    TDaten d;
    d.LocalSubnets = {"192.168.1"};
    d.ExportEnabled = true;
    d.ExportInterval = 3600;  // no run of the period during the test
    d.MySqlHost = "127.0.0.1";
    d.MySqlPort = server.at("port");
    d.MySqlUser = server.at("user");
    d.MySqlPassword = server.at("password");
    d.MySqlDatabase = server.at("database");
    ASSERT_TRUE(TStateFile::Save(d, dir.File("vexal.ini")));

    QProcess program;
    program.setWorkingDirectory(QString::fromStdString(dir.Path.string()));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(VEXAL_CAPTURE_BINARY), {});
    ASSERT_TRUE(program.waitForStarted(5000));
    ASSERT_FALSE(program.waitForFinished(1500)) << program.readAllStandardError().toStdString();
    QUdpSocket sender;
    const QByteArray announcement = "f0 192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e f5 eth1\n";
    sender.writeDatagram(announcement, QHostAddress::LocalHost, 2056);
    QThread::msleep(300);
    const std::vector<std::uint8_t> flow =
        TFlowDatagramBuilder(10).Add(Ip(192, 168, 1, 23), 5000, Ip(8, 8, 8, 8), 443, 123456).Bytes();
    sender.writeDatagram(reinterpret_cast<const char*>(flow.data()), static_cast<qint64>(flow.size()), QHostAddress::LocalHost, 2055);
    QThread::msleep(300);
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(15000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);

    QSqlQuery query(check);
    ASSERT_TRUE(query.exec(QStringLiteral("select concat(ip,'/',uloktets,'/',dloktets) from traffic")));
    ASSERT_TRUE(query.next()) << "no row: " << program.readAllStandardError().toStdString();
    EXPECT_EQ(query.value(0).toString().toStdString(), "192.168.1.23/123456/0");
    EXPECT_FALSE(query.next());
    check.close();
}
