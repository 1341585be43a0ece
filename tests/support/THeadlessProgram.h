#pragma once

#include "TempDir.h"
#include "TerminateProgram.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <utility>
#include <vector>

// The built program as a service runs it: in a folder of the test's own, with no display
// of any kind (a headless program that still needed one would fail here), told apart from
// a start that failed by its "läuft ohne Fenster", stopped by a signal. Needs
// VEXAL_CAPTURE_BINARY, the path of the built program, from the test target.

// Environment variables the program is started with, added to the test's own.
using TProgramSettings = std::vector<std::pair<QString, QString>>;

inline QProcessEnvironment EnvironmentWithoutDisplay(const TProgramSettings& settings = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    for (const auto& [name, value] : settings)
        environment.insert(name, value);
    return environment;
}

inline void StartHeadless(QProcess& program, const TTempDir& dir,
                          const QStringList& arguments = {QStringLiteral("--headless")},
                          const TProgramSettings& settings = {})
{
    program.setWorkingDirectory(QString::fromStdString(dir.Path.string()));
    program.setProcessEnvironment(EnvironmentWithoutDisplay(settings));
    program.start(QStringLiteral(VEXAL_CAPTURE_BINARY), arguments);
}

// Waits until the program says it runs (its state is loaded and the ports are open);
// what it wrote to stderr until then goes to log.
inline ::testing::AssertionResult WaitUntilRunning(QProcess& program, QString& log)
{
    const bool running = QTest::qWaitFor(
        [&] {
            program.waitForReadyRead(50);
            log += QString::fromUtf8(program.readAllStandardError());
            return log.contains(QStringLiteral("läuft ohne Fenster")) || program.state() != QProcess::Running;
        },
        10000);
    if (!running || program.state() != QProcess::Running)
        return ::testing::AssertionFailure() << "not running: " << log.toStdString();
    return ::testing::AssertionSuccess();
}

// One such run that owns its process: started at once, killed if the test ends before Stop.
class THeadlessProgram {
public:
    explicit THeadlessProgram(const TTempDir& dir, const QStringList& arguments = {QStringLiteral("--headless")},
                              const TProgramSettings& settings = {})
    {
        StartHeadless(Program, dir, arguments, settings);
    }
    ~THeadlessProgram()
    {
        if (Program.state() != QProcess::NotRunning) {
            Program.kill();
            Program.waitForFinished();
        }
    }
    THeadlessProgram(const THeadlessProgram&) = delete;
    THeadlessProgram& operator=(const THeadlessProgram&) = delete;

    ::testing::AssertionResult Running() { return WaitUntilRunning(Program, Log); }
    ::testing::AssertionResult Stop(int signal = SIGTERM) { return Terminate(Program, Log, signal); }

    QProcess Program;
    QString Log;
};
