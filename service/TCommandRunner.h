#pragma once

#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

class QProcess;

// Runs the site's own commands (LimitCommand, NewDeviceCommand) without a shell: the
// command line from the settings is split into program and arguments as written, and
// everything about the event (addresses, MACs and names, which come from the LAN) goes
// only into environment variables, so no value can become part of a command. A run
// never blocks the thread that asks for it; one that runs longer than the time-out is
// killed and counted. At most MaxRunning run at once; MaxWaiting more wait, and what
// comes beyond that (a flood of new devices) is dropped and counted.
class TCommandRunner : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxRunning = 4;
    static constexpr std::size_t MaxWaiting = 32;
    static constexpr int DefaultTimeoutMs = 30'000;

    using TVariables = std::vector<std::pair<QString, QString>>;

    explicit TCommandRunner(QObject* parent = nullptr);
    ~TCommandRunner() override;

    int TimeoutMs = DefaultTimeoutMs;

    // Starts the command now, or when a running one ends. False when it was dropped
    // (too many waiting) or the command line is empty.
    bool Run(const QString& commandLine, const TVariables& variables);

    int Running() const { return static_cast<int>(Processes.size()); }
    std::size_t Waiting() const { return Queue.size(); }

    // Counters, for the status line and the metrics.
    std::uint64_t Started = 0;
    std::uint64_t Failed = 0;    // could not start, or ended with an exit code other than 0
    std::uint64_t TimedOut = 0;  // killed after TimeoutMs
    std::uint64_t Dropped = 0;   // not run: too many waiting

signals:
    // "Befehl ... : ..." when a run failed, timed out or was dropped.
    void Message(const QString& text);
    // A run ended (exit, failure or time-out).
    void Finished();

private:
    struct TJob {
        QString CommandLine;
        TVariables Variables;
    };
    void Launch(TJob job);
    void Done(QProcess* process);
    void StartWaiting();

    std::deque<TJob> Queue;
    std::vector<QProcess*> Processes;
};
