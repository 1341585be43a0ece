#pragma once

#include <QProcess>
#include <QString>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/types.h>

// Sends a running program (the built one or the installed one) the signal and expects the
// normal end a service has then: exit code 0, after saving. Its last stderr goes to log.
inline ::testing::AssertionResult Terminate(QProcess& program, QString& log, int signal = SIGTERM)
{
    ::kill(static_cast<pid_t>(program.processId()), signal);
    if (!program.waitForFinished(15000))
        return ::testing::AssertionFailure() << "still running after SIGTERM";
    log += QString::fromUtf8(program.readAllStandardError());
    if (program.exitStatus() != QProcess::NormalExit || program.exitCode() != 0)
        return ::testing::AssertionFailure() << "exit code " << program.exitCode() << ": " << log.toStdString();
    return ::testing::AssertionSuccess();
}
