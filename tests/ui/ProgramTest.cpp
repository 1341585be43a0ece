#include "AppTitle.h"
#include "TDaten.h"
#include "TFormEinstellungen.h"
#include "TFormFilter.h"
#include "TFormProtokoll.h"
#include "TMainForm.h"
#include "TStateFile.h"
#include "TempDir.h"

#include <QGuiApplication>
#include <QProcess>
#include <QProcessEnvironment>

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
