#include "AppTitle.h"
#include "TDaten.h"
#include "TFormEinstellungen.h"
#include "TFormFilter.h"
#include "TFormProtokoll.h"
#include "TMainForm.h"
#include "TStateFile.h"
#include "FlowDatagramBuilder.h"
#include "LoopbackDatagram.h"
#include "NetworkNamespace.h"
#include "TempDir.h"
#include "TestDatabaseCheck.h"

#include <QGuiApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QThread>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

namespace {
// The real program in `dir` (the window, on the offscreen platform), on the fixed ports.
void StartProgram(QProcess& program, const TTempDir& dir)
{
    program.setWorkingDirectory(QString::fromStdString(dir.Path.string()));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(VEXAL_CAPTURE_BINARY), {});
}

// Starts the program and waits until it has shown its window and loaded its state: it
// must still be running 1.5 s on.
::testing::AssertionResult StartRunning(QProcess& program, const TTempDir& dir)
{
    StartProgram(program, dir);
    if (!program.waitForStarted(5000))
        return ::testing::AssertionFailure() << "the program did not start";
    if (program.waitForFinished(1500))
        return ::testing::AssertionFailure() << "the program ended at once: "
                                             << program.readAllStandardError().toStdString();
    return ::testing::AssertionSuccess();
}

// Stops it as the system stops a service, and waits for its end.
::testing::AssertionResult Terminate(QProcess& program, int waitMs = 10000)
{
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    if (!program.waitForFinished(waitMs))
        return ::testing::AssertionFailure() << "the program did not end within " << waitMs << " ms";
    return ::testing::AssertionSuccess();
}
}

// The real program, started as a user would: it must come up headless, and a SIGTERM
// from the system must close it the normal way, saving its state.
TEST(Program, StopsOnSigtermAndSavesItsState)
{
    TTempDir dir;
    TDaten d;
    d.LocalSubnets = {"192.168.1"};
    d.AddUser("192.168.1.7", "02:00:00:00:00:07", "eth0", TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0));
    d.UserDL.Set(0, "123456");
    ASSERT_TRUE(TStateFile::Save(d, dir.File("vexal.ini")));

    QProcess program;
    ASSERT_TRUE(StartRunning(program, dir));
    std::filesystem::remove(dir.File("vexal.ini"));
    ASSERT_TRUE(Terminate(program));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);

    TDaten saved;
    ASSERT_TRUE(TStateFile::Load(saved, dir.File("vexal.ini"))) << "saved on the way out";
    ASSERT_EQ(saved.UserCount(), 1u);
    EXPECT_EQ(saved.UserDL.Text(0), "123456");
    EXPECT_EQ(saved.LocalSubnets, std::vector<std::string>{"192.168.1"});
}


// The window's status line goes with it: a last export that cannot be done is said in
// the log, once.
TEST(Program, FailedLastExportIsLoggedOnce)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    TDaten d;
    ExportToNoServer(d);
    ASSERT_TRUE(TStateFile::Save(d, dir.File("vexal.ini")));

    QProcess program;
    ASSERT_TRUE(StartRunning(program, dir));
    ASSERT_TRUE(Terminate(program));
    const QString log = QString::fromUtf8(program.readAllStandardError());
    EXPECT_EQ(log.count(QStringLiteral("Letzter mySQL Export beim Beenden nicht möglich: "
                                       "mySQL Datenbank konnte nicht erreicht werden!")),
              1)
        << log.toStdString();
}

// A second start in the same folder must neither bind the ports nor touch the state
// file: it says so and ends. The first instance keeps counting and saves its own state
// whenever it closes. Runs on the fixed ports, in a network namespace of its own.
TEST(Program, SecondInstanceInTheSameFolderEndsWithoutTouchingTheState)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    TDaten d;
    d.LocalSubnets = {"192.168.1"};
    ASSERT_TRUE(TStateFile::Save(d, dir.File("vexal.ini")));

    QProcess first;
    ASSERT_TRUE(StartRunning(first, dir));
    const std::string announcement = "f0 192.168.1.7 f2 f3 02:00:00:00:00:07 f5 eth0";
    SendTo(2056, std::vector<std::uint8_t>(announcement.begin(), announcement.end()));
    QTest::qWait(300);
    SendTo(2055, TFlowDatagramBuilder(100).Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 7), 50000, 223'000'000).Bytes());
    QTest::qWait(300);
    const std::string before = ReadWholeFile(dir.File("vexal.ini"));

    QProcess second;
    StartProgram(second, dir);
    ASSERT_TRUE(second.waitForFinished(10000)) << "the second instance must end by itself";
    EXPECT_NE(second.exitCode(), 0);
    const QString message = QString::fromUtf8(second.readAllStandardError());
    EXPECT_TRUE(message.contains(QStringLiteral("Vexal Capture läuft in diesem Ordner bereits."))) << message.toStdString();
    EXPECT_EQ(ReadWholeFile(dir.File("vexal.ini")), before) << "the second instance left the state file alone";
    EXPECT_EQ(first.state(), QProcess::Running);

    ASSERT_TRUE(Terminate(first));
    TDaten saved;
    ASSERT_TRUE(TStateFile::Load(saved, dir.File("vexal.ini")));
    ASSERT_EQ(saved.UserCount(), 1u) << "the first instance's counted state survives";
    EXPECT_EQ(saved.UserDL.Text(0), "223000000");

    // The lock goes with the process, however it ends: after a hard kill the folder is
    // free again and the next start loads the state that was saved.
    QProcess third;
    ASSERT_TRUE(StartRunning(third, dir));
    ::kill(static_cast<pid_t>(third.processId()), SIGKILL);
    ASSERT_TRUE(third.waitForFinished(5000));
    QProcess fourth;
    ASSERT_TRUE(StartRunning(fourth, dir)) << "a killed instance leaves no stale lock";
    ASSERT_TRUE(Terminate(fourth));
    TDaten reloaded;
    ASSERT_TRUE(TStateFile::Load(reloaded, dir.File("vexal.ini")));
    ASSERT_EQ(reloaded.UserCount(), 1u);
    EXPECT_EQ(reloaded.UserDL.Text(0), "223000000");
}

// One announcement from the LAN whose quoted interface field carries line breaks must
// not reach the state file as extra lines: after a save and a restart the settings and
// filters are what they were, and the only user is the one that was there.
TEST(Program, AnnouncementWithLineBreaksCannotRewriteTheStateFile)
{
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    TDaten d;
    d.LocalSubnets = {"192.168.1"};
    d.AddUser("192.168.1.7", "02:00:00:00:00:07", "eth0", TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0));
    ASSERT_TRUE(TStateFile::Save(d, dir.File("vexal.ini")));

    const std::string injection = "f0 192.168.1.60 f2 f3 02:00:00:00:00:60 f5 "
                                  "\"eth1\r\n0\r\n0\r\n1\r\n10\r\n0\r\n5\r\nX\r\nY\r\n0\r\n0\"";
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "first run, datagram sent" : "after a restart");
        QProcess program;
        ASSERT_TRUE(StartRunning(program, dir));
        if (run == 0) {
            SendTo(2056, std::vector<std::uint8_t>(injection.begin(), injection.end()));
            QTest::qWait(300);
        }
        ASSERT_TRUE(Terminate(program));

        TDaten saved;
        ASSERT_TRUE(TStateFile::Load(saved, dir.File("vexal.ini")));
        EXPECT_EQ(saved.LocalSubnets, d.LocalSubnets);
        EXPECT_EQ(saved.LocalIPs, d.LocalIPs);
        EXPECT_EQ(saved.HideSubnets, d.HideSubnets);
        EXPECT_EQ(saved.HideIPs, d.HideIPs);
        EXPECT_EQ(saved.ExportInterval, d.ExportInterval);
        EXPECT_EQ(saved.ExportEnabled, d.ExportEnabled);
        EXPECT_EQ(saved.FlowPort, d.FlowPort);
        EXPECT_EQ(saved.MacPort, d.MacPort);
        ASSERT_EQ(saved.UserCount(), 1u);
        EXPECT_EQ(saved.UserIP[0], "192.168.1.7");
        EXPECT_EQ(TStateFile::Format(saved), TStateFile::Format(d)) << "byte for byte";
    }
}

// With the export on, the octets counted since the last run are not in the state
// file: a SIGTERM must send them to the database before the program ends.
TEST(Program, SigtermExportsTheTrafficNotYetExported)
{
    const auto server = TestDatabaseConnection();
    ASSERT_FALSE(server.empty()) << "VEXAL_TEST_MYSQL names no connection file; run the tests through ctest";
    QSqlDatabase check = TestDatabaseCheck(server, QStringLiteral("program-check"));
    ASSERT_TRUE(check.open()) << check.lastError().text().toStdString();
    QSqlQuery(check).exec(QStringLiteral("delete from traffic"));

    TTempDir dir;
    TDaten d;
    d.LocalSubnets = {"192.168.1"};
    ExportToTestDatabase(d, server);
    ASSERT_TRUE(TStateFile::Save(d, dir.File("vexal.ini")));

    QProcess program;
    ASSERT_TRUE(StartRunning(program, dir));
    QUdpSocket sender;
    const QByteArray announcement = "f0 192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e f5 eth1\n";
    sender.writeDatagram(announcement, QHostAddress::LocalHost, 2056);
    QThread::msleep(300);
    const std::vector<std::uint8_t> flow =
        TFlowDatagramBuilder(10).Add(Ip(192, 168, 1, 23), 5000, Ip(8, 8, 8, 8), 443, 123456).Bytes();
    sender.writeDatagram(reinterpret_cast<const char*>(flow.data()), static_cast<qint64>(flow.size()), QHostAddress::LocalHost, 2055);
    QThread::msleep(300);
    ASSERT_TRUE(Terminate(program, 15000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);

    QSqlQuery query(check);
    ASSERT_TRUE(query.exec(QStringLiteral("select concat(ip,'/',uloktets,'/',dloktets) from traffic")));
    ASSERT_TRUE(query.next()) << "no row: " << program.readAllStandardError().toStdString();
    EXPECT_EQ(query.value(0).toString().toStdString(), "192.168.1.23/123456/0");
    EXPECT_FALSE(query.next());
    check.close();
}

// The captions on screen are exactly the windows' own: Qt appends " — " and the
// application's display name to every caption once a display name is set.
TEST(Program, WindowCaptionsCarryNoSuffix)
{
    SetApplicationTitle();
    EXPECT_EQ(QCoreApplication::applicationName(), "Vexal Capture");
    // Without a display name of its own, the display name follows the application name.
    QCoreApplication::setApplicationName(QStringLiteral("probe"));
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), "probe") << "a display name is set";
    SetApplicationTitle();

    TDaten d;
    TMainForm form(d, 0, 0);
    EXPECT_EQ(form.windowTitle(), "Vexal V5 & Korvel Capture");
    EXPECT_EQ(form.FormProtokoll().windowTitle(), "Protokoll");
    EXPECT_EQ(form.FormFilter().windowTitle(), "Filter");
    EXPECT_EQ(form.FormEinstellungen().windowTitle(), "Einstellungen");
}
