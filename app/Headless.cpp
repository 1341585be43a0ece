#include "Headless.h"

#include "AppTitle.h"
#include "TCollector.h"
#include "TDaten.h"
#include "TInstanceLock.h"
#include "TSignalWatcher.h"
#include "TTimer.h"
#include "UserAges.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace {
// The period of the window's display tick, which writes the online status there.
constexpr int OnlineRuleInterval = 750;

void Log(const QString& text)
{
    std::fprintf(stderr, "%s\n", qUtf8Printable(text));
    std::fflush(stderr);
}

// The status texts the window shows in its status line, as log lines. The listener
// check repeats every ten seconds; the log says a text once until it changes.
class THeadlessLog : public QObject {
public:
    explicit THeadlessLog(TCollector& core) : QObject(&core), Core(core)
    {
        connect(&core, &TCollector::StatusText, this, [this](const QString& text) {
            if (text != Last && !text.isEmpty())
                Log(text);
            Last = text;
        });
        connect(&core, &TCollector::Error, this, [](const QString& text) { Log(QStringLiteral("Fehler: ") + text); });
        // Malformed datagrams are summed up at most once a second: a flood of them must
        // not become a flood of log lines.
        connect(&core, &TCollector::NetworkErrorSeen, &ErrorSummary, [this] { ErrorSummary.SetEnabled(true); });
        connect(&ErrorSummary, &TTimer::Timeout, this, [this] { Log(Core.NetworkErrorText()); });
    }

private:
    TCollector& Core;
    QString Last;
    TTimer ErrorSummary{1000, nullptr, true};
};
}

int RunHeadless(int& argc, char** argv, std::uint16_t flowPort, std::uint16_t announcePort)
{
    QCoreApplication app(argc, argv);
    SetApplicationTitle();

    // Before anything binds a port or reads the state file: a second instance in this
    // folder must leave both alone.
    TInstanceLock instance;
    if (instance.Acquire() == TInstanceLock::TResult::Busy) {
        Log(QStringLiteral("Vexal Capture läuft in diesem Ordner bereits."));
        return 1;
    }

    TDaten daten;
    TCollector core(daten, flowPort, announcePort);
    new THeadlessLog(core);
    TSignalWatcher stopSignals;
    bool stopping = false;
    QObject::connect(&stopSignals, &TSignalWatcher::StopRequested, &core, [&core, &daten, &stopping](int) {
        if (stopping)
            return;
        stopping = true;
        // The last export takes the status as it is now, not as of the last tick.
        core.Guard([&core, &daten] { ApplyOnlineRule(daten, core.Clock()); });
        core.Stop();
        QCoreApplication::quit();
    });
    // No display tick writes the online status in a service: the same rule runs on a
    // timer of the tick's period, so the export and the metrics see it change.
    TTimer onlineRule(OnlineRuleInterval);
    QObject::connect(&onlineRule, &TTimer::Timeout, &core,
                     [&core, &daten] { core.Guard([&core, &daten] { ApplyOnlineRule(daten, core.Clock()); }); });
    core.Start();
    onlineRule.SetEnabled(true);
    Log(QStringLiteral("Vexal Capture läuft ohne Fenster in %1").arg(QDir::currentPath()));
    return QCoreApplication::exec();
}
