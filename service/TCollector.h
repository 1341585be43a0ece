#pragma once

#include "LocalTime.h"
#include "MetricsSnapshot.h"
#include "TAtomicFile.h"
#include "TExtraSettings.h"
#include "TOrderedFileWriter.h"
#include "TTrafficRow.h"
#include "TNewDeviceAlert.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <tuple>
#include <string>
#include <vector>

class TCommandRunner;
class TDaten;
class TDatabaseExport;
struct TExportJob;
class TDeviceLimits;
struct TLimitEvent;
class TLocalHistory;
class TMetricsExporter;
class TNameImport;
class TStateSaver;
class TTimer;
class TUdpListener;

// The collector itself, without any window: the two UDP listeners, the timers that
// save, import names, export and clear the port tables, the state loaded at the start
// and saved at the end, and the last export on the way out. The window and the headless
// program both drive one; what the window shows in its status line comes out as
// StatusText, and a headless program writes the same texts to its log.
class TCollector : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 DefaultFlowPort = 2055;
    static constexpr quint16 DefaultMacPort = 2056;
    static constexpr int LastExportMs = 5000;
    static constexpr int GetNameInterval = 38'254;
    static constexpr int SaveInterval = 57'254;
    static constexpr int ClearPortsInterval = 10'000;
    // A metrics port that could not be opened is tried again this often.
    static constexpr int MetricsRetryInterval = 30'000;
    // Bytes of announcements queued for the store's thread (flows: the listener's default).
    static constexpr std::size_t MacQueueBytes = 4 * 1024 * 1024;
    // How long Stop handles the announcements still waiting.
    static constexpr qint64 StopAnnouncementsNs = 1'000'000'000;

    // The listeners bind now; until Start they discard everything.
    TCollector(TDaten& daten, quint16 flowPort = DefaultFlowPort, quint16 macPort = DefaultMacPort,
               QObject* parent = nullptr);
    ~TCollector() override;

    // Local time as the collector sees it; tests set their own clock.
    std::function<TLocalTime()> Clock = &TLocalTime::Now;

    // Loads the state (and vexal-extra.ini), starts the timers, the local history and
    // the metrics, and accepts datagrams from now on.
    void Start();
    // Handles the datagrams the listeners have received, saves the state (after a
    // periodic save under way) and, with the export on, runs one last export (bounded); the
    // local history takes its last write and waits for it.
    void Stop();
    bool Started() const { return IsStarted; }

    std::int32_t MacDatagramCount = 0;
    // Malformed or oversized datagrams seen so far, and the last one's reason.
    quint64 NetworkErrors = 0;
    std::string LastNetworkError;
    // "3 fehlerhafte Datagramme, zuletzt: ..." as the status line shows it.
    QString NetworkErrorText() const;

    // The datagram handlers, as the listeners call them.
    void NMUDP1DataReceived(std::span<const unsigned char> bytes, const std::string& fromIP, quint16 fromPort = 0);
    void NMUDP2DataReceived(std::span<const unsigned char> bytes, const std::string& fromIP);

    // The timer ticks.
    void TimerClearPortsTimer();
    void TimerSaveTimer();
    void TimerGetNameTimer();
    void TimerMySQLExportTimer();

    TTimer& SaveTimer() const { return *TimerSave; }
    TTimer& GetNameTimer() const { return *TimerGetName; }
    TTimer& ClearPortsTimer() const { return *TimerClearPorts; }
    TTimer& ExportTimer() const { return *TimerMySQLExport; }
    // The export period as the export timer runs it; ExportPeriodChanged tells when it
    // changes (at the start, from the stored setting).
    int ExportPeriodMs() const;
    // A timer of `owner`, named so that tests find it, whose ticks run `tick` as a
    // handler: what it throws goes out as Error. The window makes its timers here too.
    TTimer* GuardedTimer(QObject* owner, const char* name, int interval, std::function<void()> tick,
                         bool singleShot = false);
    TTimer& MetricsRetryTimer() const { return *TimerMetricsRetry; }
    TUdpListener& FlowListener() const { return *NMUDP1; }
    TUdpListener& MacListener() const { return *NMUDP2; }
    // Which listener ports could not be bound, what the listeners lost and that
    // datagrams arrive without a local network, as the status line says it; empty
    // when there is nothing to tell.
    QString ListenerProblems() const;
    // "UDP-Port 2055: 12 Datagramme verloren (Warteschlange voll), ..." for every
    // listener that lost datagrams; empty when none did.
    QString DropText() const;
    // "Routertabelle voll (4096 Router): 12 Absender abgewiesen." for every bounded
    // table that refused something; empty when none did.
    QString RefusalText() const;
    TDatabaseExport& DatabaseExport() const { return *Export; }
    TStateSaver& StateSaver() const { return *Saver; }
    // Saves the state file now, after a periodic save under way has ended (the
    // settings dialog's save, the last one at Stop); the export state file with it.
    TSaveOutcome SaveNow();
    TStateSaver& ExportStateSaver() const { return *ExportSaver; }
    // Writes the export state file (TExportStateFile) on the saver's thread: the
    // periodic save, and after every run that changed what the database holds. A save
    // under way is followed by one more with the state of then.
    void SaveExportState();
    // The same now, after a save under way (at Stop).
    TSaveOutcome SaveExportStateNow();
    TNameImport& NameImport() const { return *Import; }

    // Runs a handler body; anything unexpected comes out as Error.
    void Guard(const std::function<void()>& body);

    // An action that lowers totals or removes users. The rows it changes hand their
    // totals to the local history on their way (TDaten::TotalsLeaving), so it neither
    // loses nor doubles octets across it.
    void UserAction(const std::function<void()>& change);
    // Queues one write of the local history (when it is on).
    void RecordHistory();

    // The history and metrics settings ("vexal-extra.ini"); applying them starts or
    // stops the history and the endpoint as they say, and saves the file.
    const TExtraSettings& ExtraSettings() const { return Extra; }
    void ApplyExtraSettings(const TExtraSettings& settings);
    TLocalHistory* LocalHistory() const { return History.get(); }
    TMetricsExporter* MetricsExporter() const { return Metrics.get(); }
    TMetricsHealth Health() const;

    // The volume limits per device ("vexal-limits.ini") and the site's commands.
    TDeviceLimits& DeviceLimits() const { return *Limits; }
    TCommandRunner& CommandRunner() const { return *Commands; }
    const TNewDeviceAlert& NewDeviceAlert() const { return NewDevices; }
    TTimer& LimitTimer() const { return *TimerLimits; }
    // Checks the limits and hands new MACs to the history (every second).
    void TimerLimitsTimer();

signals:
    // A text for the status line (the window's Label2, the headless log).
    void StatusText(const QString& text);
    // An unexpected error in a handler (the window shows its error report).
    void Error(const QString& text);
    // A datagram arrived on the flow or announcement port (the window's arrival lights).
    void FlowArrived();
    void MacArrived();
    // The memo lines of the last datagram that had any.
    void FlowMemo(const std::vector<std::string>& lines);
    void MacMemo(const std::vector<std::string>& lines);
    // A datagram was malformed or too long; NetworkErrors and LastNetworkError tell more.
    void NetworkErrorSeen();
    // The export period was set anew (in ms); it came round; a run started (or was
    // skipped) and ended.
    void ExportPeriodChanged(int ms);
    void ExportPeriod();
    void ExportRunning(bool running);
    void ExportFinished();
    // The name import period came round; an import started and ended.
    void NamePeriod();
    void NameImportRunning(bool running);
    void NamesImported();

private:
    // One last database export on the way out, at most LastExportMs.
    void LastExport();
    void ShowNetworkError(const std::string& error);
    void NoteMissingLocalNetwork();
    void ReportSave(TSaveOutcome outcome);
    void ReportExportSave(TSaveOutcome outcome);
    // Reads the export state file after vexal.ini; a damaged one is kept aside and named.
    void LoadExportState();
    // The unsettled runs as the export state file names them: the export's, and the
    // run under way.
    std::vector<TUnsettledRun> UnsettledRuns() const;
    // Gives a run its collector name and id, and has it write the export state naming
    // it before it sends its traffic.
    void PrepareRun(TExportJob& job);

    TDaten& Daten;
    // How the last periodic save went; a failed or unsafe save is reported once.
    TSaveOutcome LastSaveOutcome = TSaveOutcome::Replaced;
    bool IsStarted = false;
    bool InLastExport = false;
    // Datagrams came while no local network was configured.
    bool ArrivedWithoutLocalNetwork = false;

    TUdpListener* NMUDP1 = nullptr;
    TUdpListener* NMUDP2 = nullptr;
    TTimer* TimerGetName = nullptr;
    TTimer* TimerSave = nullptr;
    TTimer* TimerClearPorts = nullptr;
    TTimer* TimerMySQLExport = nullptr;
    TTimer* TimerHistory = nullptr;
    TTimer* TimerMetricsRetry = nullptr;
    // Drops are shown at most once a second: a flood must not become a flood of texts.
    TTimer* DropSummary = nullptr;
    TStateSaver* Saver = nullptr;
    TStateSaver* ExportSaver = nullptr;
    std::shared_ptr<TOrderedFileWriter> ExportStateWriter;
    // The run under way, with its rows as taken, until its result is applied.
    TUnsettledRun InFlight;
    bool ExportSaveAgain = false;
    TSaveOutcome LastExportSaveOutcome = TSaveOutcome::Replaced;
    // A damaged export state file found at the start: named in the status line until
    // a run has brought the database up to date again.
    QString ExportStateProblem;
    TDatabaseExport* Export = nullptr;
    TNameImport* Import = nullptr;

    void StartHistoryAndMetrics();
    void StartMetrics();
    // Refusals of the bounded tables since they were last shown: the status line is
    // told within a second, not once per refused datagram.
    void NoteRefusals();
    std::uint64_t RefusalsShown = 0;
    // A row's totals leave the table: the history books them with its next write.
    void DepartFromHistory(std::size_t row);

    // A device passed a mark of its limit: said, and LimitCommand run.
    void TellLimit(const TLimitEvent& event);
    // An announcement named a MAC: a new one is said, and NewDeviceCommand run.
    void NoteAnnouncedMac(const std::string& mac, const std::string& ip, const std::string& device);
    void ConfigureLimits();

    TCommandRunner* Commands = nullptr;
    TDeviceLimits* Limits = nullptr;
    TTimer* TimerLimits = nullptr;
    TNewDeviceAlert NewDevices;
    std::uint64_t UntoldShown = 0;

    TExtraSettings Extra;
    std::unique_ptr<TLocalHistory> History;
    std::unique_ptr<TMetricsExporter> Metrics;
    // What the running endpoint was started with: address, port and login.
    std::tuple<std::string, int, std::string, std::string> MetricsRunning;
    std::uint64_t FlowDatagrams = 0;
    std::uint64_t MacDatagrams = 0;
    std::uint64_t ExportRuns = 0;
    std::uint64_t ExportFailures = 0;
};
