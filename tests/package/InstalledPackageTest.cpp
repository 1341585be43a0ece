#include "FlowDatagramBuilder.h"
#include "LoopbackDatagram.h"
#include "NetworkNamespace.h"
#include "TDaten.h"
#include "TStateFile.h"
#include "TempDir.h"
#include "TerminateProgram.h"
#include "VexalVersion.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

// The program as the Debian package installs it (ctest installs the package before these
// tests and removes it after them): /usr/bin, the menu entry, the folders each start uses.
namespace {
const QString Installed = QStringLiteral("/usr/bin/vexal-capture");

#define SKIP_UNLESS_INSTALLED()                                                                          \
    do {                                                                                                 \
        if (::geteuid() != 0 || !std::filesystem::exists(Installed.toStdString()))                      \
            GTEST_SKIP() << "the package is installed only by ctest running as root";                  \
    } while (false)

// A clean environment without any display: the service must not need one.
QProcessEnvironment Environment(const std::filesystem::path& home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_DATA_HOME"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), QString::fromStdString(home.string()));
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    return environment;
}

QString RunInstalled(const QStringList& arguments, int& exitCode)
{
    QProcess program;
    program.start(Installed, arguments);
    if (!program.waitForFinished(10000))
        return {};
    exitCode = program.exitCode();
    return QString::fromUtf8(program.readAllStandardOutput());
}

// Waits until `done` holds or the program ended.
::testing::AssertionResult WaitFor(QProcess& program, const std::function<bool()>& done, QString& log)
{
    const bool ok = QTest::qWaitFor(
        [&] {
            program.waitForReadyRead(50);
            log += QString::fromUtf8(program.readAllStandardError());
            return done() || program.state() != QProcess::Running;
        },
        15000);
    if (!ok || program.state() != QProcess::Running)
        return ::testing::AssertionFailure() << "not running: " << log.toStdString();
    return ::testing::AssertionSuccess();
}

// The Exec line of the installed menu entry, split at its spaces (it has no quoting).
QStringList MenuCommand()
{
    std::ifstream entry("/usr/share/applications/vexal-capture.desktop");
    std::string line;
    while (std::getline(entry, line))
        if (line.starts_with("Exec="))
            return QString::fromStdString(line.substr(5)).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return {};
}
}

TEST(InstalledPackage, VersionIsTheProjectVersion)
{
    SKIP_UNLESS_INSTALLED();
    int exitCode = -1;
    EXPECT_EQ(RunInstalled({QStringLiteral("--version")}, exitCode).toStdString(), "vexal-capture " VEXAL_VERSION "\n");
    EXPECT_EQ(exitCode, 0);

    QProcess dpkg;
    dpkg.start(QStringLiteral("dpkg-query"), {QStringLiteral("-W"), QStringLiteral("-f=${Version}"), QStringLiteral("vexal-capture")});
    ASSERT_TRUE(dpkg.waitForFinished(10000));
    EXPECT_EQ(dpkg.readAllStandardOutput().toStdString(), VEXAL_VERSION) << "the package takes the same version";
}

// Started by hand in a folder, the service counts one announcement and one flow datagram
// over loopback exactly and saves them on SIGTERM.
TEST(InstalledPackage, ServiceInAFolderCountsExactly)
{
    SKIP_UNLESS_INSTALLED();
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    TDaten site;
    site.LocalSubnets = {"192.168.1"};
    ASSERT_TRUE(TStateFile::Save(site, dir.File("vexal.ini")));

    QProcess program;
    program.setProcessEnvironment(Environment(dir.Path));
    program.setWorkingDirectory(QString::fromStdString(dir.Path.string()));
    program.start(Installed, {QStringLiteral("--headless")});
    QString log;
    ASSERT_TRUE(WaitFor(program, [&] { return log.contains(QStringLiteral("läuft ohne Fenster")); }, log));

    const std::string announcement = "f0 192.168.1.7 f2 f3 02:00:00:00:00:07 f5 eth0";
    SendTo(2056, std::vector<std::uint8_t>(announcement.begin(), announcement.end()));
    QTest::qWait(300);
    SendTo(2055, TFlowDatagramBuilder(100)
                     .Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 7), 50000, 223'000'017)
                     .Add(Ip(192, 168, 1, 7), 50000, Ip(8, 8, 8, 8), 443, 1'003)
                     .Bytes());
    QTest::qWait(1500);
    ASSERT_TRUE(Terminate(program, log));

    TDaten saved;
    ASSERT_TRUE(TStateFile::Load(saved, dir.File("vexal.ini")));
    ASSERT_EQ(saved.UserCount(), 1u) << log.toStdString();
    EXPECT_EQ(saved.UserIP[0], "192.168.1.7");
    EXPECT_EQ(saved.UserMAC[0], "02:00:00:00:00:07");
    EXPECT_EQ(saved.UserDL.Text(0), "223000017");
    EXPECT_EQ(saved.UserUL.Text(0), "1003");
}

// --folder keeps every file in the folder it names (created when missing), not in the
// folder the program was started in.
TEST(InstalledPackage, FolderOptionKeepsTheFilesThere)
{
    SKIP_UNLESS_INSTALLED();
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    TTempDir dir;
    const std::filesystem::path start = dir.Path / "start";
    const std::filesystem::path folder = dir.Path / "new folder" / "vexal";
    std::filesystem::create_directories(start);

    QProcess program;
    program.setProcessEnvironment(Environment(dir.Path));
    program.setWorkingDirectory(QString::fromStdString(start.string()));
    program.start(Installed, {QStringLiteral("--headless"), QStringLiteral("--folder"), QString::fromStdString(folder.string())});
    QString log;
    ASSERT_TRUE(WaitFor(program, [&] { return log.contains(QStringLiteral("läuft ohne Fenster")); }, log));
    ASSERT_TRUE(Terminate(program, log));

    EXPECT_TRUE(std::filesystem::exists(folder / "vexal.ini")) << log.toStdString();
    EXPECT_TRUE(std::filesystem::exists(folder / "vexal-extra.ini"));
    EXPECT_TRUE(std::filesystem::is_empty(start)) << "nothing in the folder it was started in";
}

// The menu entry's own command, run as a desktop runs it (from a folder of its choosing),
// keeps the files in the user's data folder and creates it on the first start.
TEST(InstalledPackage, MenuStartUsesTheUserDataFolder)
{
    SKIP_UNLESS_INSTALLED();
    ASSERT_TRUE(EnterOwnNetworkNamespace());
    const QStringList command = MenuCommand();
    ASSERT_FALSE(command.isEmpty()) << "no Exec line in the installed menu entry";

    struct TCase {
        const char* Name;
        bool SetXdgDataHome;
    };
    for (const TCase& c : {TCase{"XDG_DATA_HOME set", true}, TCase{"XDG_DATA_HOME unset", false}}) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        const std::filesystem::path desktop = dir.Path / "desktop";
        std::filesystem::create_directories(desktop);
        QProcessEnvironment environment = Environment(dir.Path / "home");
        std::filesystem::path folder = dir.Path / "home" / ".local" / "share" / "vexal-capture";
        if (c.SetXdgDataHome) {
            environment.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString((dir.Path / "data").string()));
            folder = dir.Path / "data" / "vexal-capture";
        }
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

        QProcess program;
        program.setProcessEnvironment(environment);
        program.setWorkingDirectory(QString::fromStdString(desktop.string()));
        program.start(command.front(), command.mid(1));
        QString log;
        ASSERT_TRUE(WaitFor(program, [&] { return std::filesystem::exists(folder / "vexal.lock"); }, log));
        QTest::qWait(1000);
        ASSERT_TRUE(Terminate(program, log));

        EXPECT_TRUE(std::filesystem::exists(folder / "vexal.ini")) << log.toStdString();
        EXPECT_TRUE(std::filesystem::is_empty(desktop)) << "nothing in the folder the desktop started it in";
    }
}
