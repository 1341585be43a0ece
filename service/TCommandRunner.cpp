#include "TCommandRunner.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>
#include <QVariant>

#include <algorithm>

TCommandRunner::TCommandRunner(QObject* parent) : QObject(parent) {}

// A command still running when the program ends is not waited for: it is ended.
TCommandRunner::~TCommandRunner()
{
    for (QProcess* process : Processes) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(1000);
    }
}

bool TCommandRunner::Run(const QString& commandLine, const TVariables& variables)
{
    if (QProcess::splitCommand(commandLine).isEmpty())
        return false;
    if (Running() < MaxRunning) {
        Launch({commandLine, variables});
        return true;
    }
    if (Queue.size() >= MaxWaiting) {
        // Said once when dropping begins, not once per dropped run.
        if (Dropped++ == 0)
            emit Message(QStringLiteral("Befehl nicht ausgeführt: schon %1 laufen und %2 warten (weitere werden gezählt)")
                             .arg(MaxRunning)
                             .arg(MaxWaiting));
        return false;
    }
    Queue.push_back({commandLine, variables});
    return true;
}

void TCommandRunner::Launch(TJob job)
{
    QStringList arguments = QProcess::splitCommand(job.CommandLine);
    const QString program = arguments.takeFirst();
    auto* process = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : job.Variables)
        environment.insert(name, value);
    process->setProcessEnvironment(environment);
    process->setProgram(program);
    process->setArguments(arguments);
    // Nobody reads what it prints; a chatty command must not fill a pipe and hang.
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->setStandardInputFile(QProcess::nullDevice());
    Processes.push_back(process);
    ++Started;

    auto* timeout = new QTimer(process);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, process, [this, process, program] {
        ++TimedOut;
        emit Message(QStringLiteral("Befehl %1 nach %2 s abgebrochen").arg(program).arg(TimeoutMs / 1000.0));
        process->setProperty("timedOut", true);
        process->kill();
    });
    connect(process, &QProcess::errorOccurred, this, [this, process, program](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        ++Failed;
        emit Message(QStringLiteral("Befehl %1 konnte nicht gestartet werden: %2").arg(program, process->errorString()));
        Done(process);
    });
    connect(process, &QProcess::finished, this, [this, process, program](int code, QProcess::ExitStatus status) {
        if (!process->property("timedOut").toBool() && (status != QProcess::NormalExit || code != 0)) {
            ++Failed;
            emit Message(status == QProcess::NormalExit
                             ? QStringLiteral("Befehl %1 endete mit Code %2").arg(program).arg(code)
                             : QStringLiteral("Befehl %1 abgestürzt").arg(program));
        }
        Done(process);
    });
    timeout->start(TimeoutMs);
    process->start(QIODevice::NotOpen);
}

void TCommandRunner::Done(QProcess* process)
{
    const auto found = std::find(Processes.begin(), Processes.end(), process);
    if (found == Processes.end())
        return;
    Processes.erase(found);
    process->deleteLater();
    emit Finished();
    StartWaiting();
}

void TCommandRunner::StartWaiting()
{
    while (Running() < MaxRunning && !Queue.empty()) {
        TJob job = std::move(Queue.front());
        Queue.pop_front();
        Launch(std::move(job));
    }
}
