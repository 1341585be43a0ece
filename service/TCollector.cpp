#include "TCollector.h"

#include "Errors.h"
#include "ExportJob.h"
#include "FlowAccounting.h"
#include "MacAnnouncement.h"
#include "NameList.h"
#include "SequenceFollowers.h"
#include "StoreText.h"
#include "HistorySnapshot.h"
#include "TCommandRunner.h"
#include "TDatabaseExport.h"
#include "TDeviceLimits.h"
#include "TDaten.h"
#include "TExportStateFile.h"
#include "TLocalHistory.h"
#include "TMetricsExporter.h"
#include "TNameImport.h"
#include "TStateFile.h"
#include "TStateSaver.h"
#include "TTimer.h"
#include "TextForms.h"
#include "TUdpListener.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QStringList>
#include <QUuid>

#include <algorithm>
#include <cstdio>
#include <climits>
#include <memory>
#include <optional>
#include <tuple>

namespace {
// Said in the status line while datagrams arrive that nothing can be charged to.
const char* const MissingLocalNetworkText =
    "Kein lokales Netz eingestellt: Flows und Korvel-Meldungen werden niemandem zugeordnet. "
    "Bitte unter \"Netzwerk Konf.\" die lokalen Subnetze oder IPs eintragen.";

bool HasLocalNetwork(const TDaten& d)
{
    auto anyEntry = [](const std::vector<std::string>& list) {
        return std::any_of(list.begin(), list.end(), [](const std::string& entry) { return !entry.empty(); });
    };
    return anyEntry(d.LocalSubnets) || anyEntry(d.LocalIPs);
}

// The export period in milliseconds, kept within what a timer holds.
int PeriodMs(std::int32_t seconds)
{
    return static_cast<int>(std::clamp<std::int64_t>(std::int64_t{seconds} * 1000, 0, INT_MAX));
}
}

TCollector::TCollector(TDaten& daten, quint16 flowPort, quint16 macPort, QObject* parent)
    : QObject(parent), Daten(daten)
{
    setObjectName(QStringLiteral("Collector"));
    NMUDP1 = new TUdpListener(
        flowPort,
        [this](std::span<const unsigned char> b, const std::string& f, quint16 port) { NMUDP1DataReceived(b, f, port); },
        this);
    // Announcements are small and repeat; a flood of them from the LAN must not hold
    // the memory of the flows' queue: what does not fit is dropped and counted.
    NMUDP2 = new TUdpListener(
        macPort, [this](std::span<const unsigned char> b, const std::string& f, quint16) { NMUDP2DataReceived(b, f); },
        this, MacQueueBytes);

    auto makeTimer = [this](const char* name, int interval, void (TCollector::*tick)()) {
        return GuardedTimer(this, name, interval, [this, tick] { (this->*tick)(); });
    };
    TimerGetName = makeTimer("TimerGetName", GetNameInterval, &TCollector::TimerGetNameTimer);
    TimerSave = makeTimer("TimerSave", SaveInterval, &TCollector::TimerSaveTimer);
    TimerClearPorts = makeTimer("TimerClearPorts", ClearPortsInterval, &TCollector::TimerClearPortsTimer);
    TimerMySQLExport = makeTimer("TimerMySQLExport", 1000, &TCollector::TimerMySQLExportTimer);
    TimerHistory = makeTimer("TimerHistory", TLocalHistory::WriteIntervalMs, &TCollector::RecordHistory);
    TimerMetricsRetry = makeTimer("TimerMetricsRetry", MetricsRetryInterval, &TCollector::StartMetrics);
    TimerLimits = makeTimer("TimerLimits", TDeviceLimits::CheckIntervalMs, &TCollector::TimerLimitsTimer);

    Commands = new TCommandRunner(this);
    connect(Commands, &TCommandRunner::Message, this, &TCollector::StatusText);
    Limits = new TDeviceLimits(daten, this);
    connect(Limits, &TDeviceLimits::StatusText, this, &TCollector::StatusText);
    connect(Limits, &TDeviceLimits::Crossed, this, [this](const TLimitEvent& event) { TellLimit(event); });

    // Totals that leave the table (a replaced or removed row, a reset) go to the
    // history one device at a time.
    Daten.TotalsLeaving = [this](std::size_t row) { DepartFromHistory(row); };

    Export = new TDatabaseExport(this);
    Import = new TNameImport(this);

    Saver = new TStateSaver(this);
    connect(Saver, &TStateSaver::Saved, this, &TCollector::ReportSave);
    ExportSaver = new TStateSaver(this);
    ExportStateWriter = std::make_shared<TOrderedFileWriter>(TExportStateFile::DefaultPath);
    connect(ExportSaver, &TStateSaver::Saved, this, &TCollector::ReportExportSave);
    DropSummary = new TTimer(1000, this, true);
    DropSummary->setObjectName(QStringLiteral("DropSummary"));
    connect(DropSummary, &TTimer::Timeout, this, [this] { emit StatusText(ListenerProblems()); });
    for (TUdpListener* listener : {NMUDP1, NMUDP2})
        connect(listener, &TUdpListener::DropsChanged, DropSummary, [this] { DropSummary->SetEnabled(true); });
}

// The history's worker thread ends (with what is queued written) before the store goes.
TCollector::~TCollector()
{
    Daten.TotalsLeaving = nullptr;
}

void TCollector::DepartFromHistory(std::size_t row)
{
    if (!History)
        return;
    THistoryDevice device{Daten.UserIP[row], Daten.UserMAC.at(row), Daten.UserDevice.at(row)};
    try {
        device.UL = Daten.UserUL.Value(row);
        device.DL = Daten.UserDL.Value(row);
    } catch (const EConvertError&) {
        return;  // a damaged total cannot be booked; the row may still go
    }
    History->Depart(std::move(device), Clock());
}

TTimer* TCollector::GuardedTimer(QObject* owner, const char* name, int interval, std::function<void()> tick,
                                 bool singleShot)
{
    auto* timer = new TTimer(interval, owner, singleShot);
    timer->setObjectName(QString::fromLatin1(name));
    if (tick)
        connect(timer, &TTimer::Timeout, owner, [this, tick = std::move(tick)] { Guard(tick); });
    return timer;
}

int TCollector::ExportPeriodMs() const
{
    return TimerMySQLExport->Interval();
}

void TCollector::Guard(const std::function<void()>& body)
{
    try {
        body();
    } catch (const std::exception& error) {
        emit Error(QString::fromUtf8(error.what()));
    }
}

void TCollector::Start()
{
    Daten.LoadState();
    LoadExportState();
    Extra = TExtraSettings::Load();
    StartHistoryAndMetrics();
    ConfigureLimits();
    Limits->Load();
    NewDevices.Load(History ? History->Path() : QString(), Daten);
    TimerLimits->SetEnabled(true);
    TimerMySQLExport->SetInterval(PeriodMs(Daten.ExportInterval));
    emit ExportPeriodChanged(TimerMySQLExport->Interval());
    TimerMySQLExport->SetEnabled(true);
    TimerSave->SetEnabled(true);
    TimerGetName->SetEnabled(true);
    TimerClearPorts->SetEnabled(true);
    IsStarted = true;
    emit StatusText(ListenerProblems());
}

void TCollector::Stop()
{
    // What the listeners received until now is counted, and everything counted goes
    // into the file, after a periodic save under way. Flows carry the octets: all of
    // them. Announcements carry none, and a flood of them from the LAN can queue more
    // than the program could handle in minutes: they get a time budget, so the program
    // ends when asked; the devices they name are announced again.
    NMUDP1->HandleWaiting();
    if (const std::size_t left = NMUDP2->HandleWaiting(StopAnnouncementsNs); left > 0)
        emit StatusText(QStringLiteral("Beim Beenden %1 Korvel-Meldungen nicht mehr verarbeitet").arg(left));
    Guard([this] { SaveNow(); });
    Guard([this] { Extra.Save(); });
    if (Daten.ExportEnabled && !InLastExport) {
        Guard([this] { LastExport(); });
        // What the last run wrote is off the counters now, and what it could not write
        // (the database unreachable, its COMMIT unanswered) is kept for the next start.
        Guard([this] { SaveExportStateNow(); });
    }
    if (History && IsStarted) {
        History->RememberMacs(NewDevices.TakeNew(), Clock());
        RecordHistory();
        History->WaitForWrites();
        // What the last write had to say (a file locked by another program) is waiting
        // as a queued call, and the event loop may never run again: it is said now,
        // while the window and the headless log still pass status texts on to the log.
        QCoreApplication::sendPostedEvents(History.get(), QEvent::MetaCall);
    }
}

void TCollector::StartHistoryAndMetrics()
{
    if (Extra.HistoryEnabled && !History) {
        History = std::make_unique<TLocalHistory>();
        connect(History.get(), &TLocalHistory::Message, this, &TCollector::StatusText);
        // The use of the period is what the history booked plus what was counted since:
        // after every write the history part is read again.
        connect(History.get(), &TLocalHistory::Written, this, [this] {
            Guard([this] {
                Limits->Refresh(Clock());
                Limits->Check(Clock());
            });
        });
    } else if (!Extra.HistoryEnabled && History) {
        History->WaitForWrites();
        History.reset();
    }
    if (History) {
        History->HourlyAfterDays = Extra.HourlyAfterDays;
        History->DailyAfterDays = Extra.DailyAfterDays;
        // The first write only now that the state is loaded: it takes the totals as
        // they were when the program last ended.
        RecordHistory();
    }
    TimerHistory->SetEnabled(History != nullptr);

    // Another address, port or login: the endpoint starts again with them.
    if (!Extra.MetricsEnabled || MetricsRunning != std::tie(Extra.MetricsAddress, Extra.MetricsPort, Extra.MetricsUser,
                                                            Extra.MetricsPassword))
        Metrics.reset();
    StartMetrics();
}

void TCollector::StartMetrics()
{
    if (Extra.MetricsEnabled && !Metrics) {
        TMetricsExporter::TOptions options;
        options.Address = Extra.MetricsAddress;
        options.Port = Extra.MetricsPort;
        options.User = Extra.MetricsUser;
        options.Password = Extra.MetricsPassword;
        std::string error;
        Metrics = TMetricsExporter::Start(options, error);
        if (Metrics) {
            MetricsRunning = {Extra.MetricsAddress, Extra.MetricsPort, Extra.MetricsUser, Extra.MetricsPassword};
            // Built on the store's thread, and only when scraped.
            Metrics->SetSource(this, [this] {
                TMetricsSnapshot snapshot = BuildMetricsSnapshot(Daten, Health());
                const std::map<std::string, std::string> names = Limits->Names();
                for (const auto& [mac, limit] : Limits->Limits()) {
                    const auto state = Limits->StateOf(mac);
                    const auto& told = Limits->Told();
                    auto count = [&told, &mac = mac](int mark) {
                        const auto found = told.find({mac, mark});
                        return found == told.end() ? std::uint64_t{0} : found->second;
                    };
                    snapshot.Limits.push_back({FromStoreText(mac).toStdString(),
                                               FromStoreText(names.count(mac) > 0 ? names.at(mac) : std::string()).toStdString(), limit.Octets,
                                               state ? state->Use : 0, count(80), count(100)});
                }
                return snapshot;
            });
            if (TimerMetricsRetry->Enabled())
                emit StatusText(QStringLiteral("Metriken: Port %1 ist jetzt offen.").arg(Extra.MetricsPort));
        } else {
            emit StatusText(QStringLiteral("Metriken: Port %1 nicht verfügbar (neuer Versuch alle %2 s): %3")
                                .arg(Extra.MetricsPort)
                                .arg(MetricsRetryInterval / 1000)
                                .arg(QString::fromStdString(error)));
        }
    }
    // A port taken by another program may be free later: tried again while it is not open.
    TimerMetricsRetry->SetEnabled(Extra.MetricsEnabled && !Metrics);
}

void TCollector::ApplyExtraSettings(const TExtraSettings& settings)
{
    const bool historyWas = Extra.HistoryEnabled;
    Extra = settings;
    Guard([this] { Extra.Save(); });
    if (!IsStarted)
        return;
    StartHistoryAndMetrics();
    const int billingDay = Limits->BillingDay;
    ConfigureLimits();
    // Another period or another source of the use: the use is worked out anew. A
    // history that runs on is read at once; one just switched on after its first write
    // (before it, it has no marks, and whole totals would count as this month's use).
    if (billingDay != Limits->BillingDay || historyWas != Extra.HistoryEnabled)
        Guard([this, historyWas] {
            Limits->Load();
            if (historyWas && History)
                Limits->Refresh(Clock());
        });
}

void TCollector::ConfigureLimits()
{
    Limits->BillingDay = Extra.BillingDay;
    Limits->HistoryPath = History ? History->Path() : QString();
    Commands->TimeoutMs = Extra.CommandTimeoutSeconds * 1000;
}

void TCollector::TimerLimitsTimer()
{
    Limits->Check(Clock());
    // Taken every time, history or not: without a history to remember them the waiting
    // MACs would fill their bound, and no device would ever be new again.
    std::vector<std::string> seen = NewDevices.TakeNew();
    if (History)
        History->RememberMacs(std::move(seen), Clock());
    if (NewDevices.Untold != UntoldShown) {
        UntoldShown = NewDevices.Untold;
        emit StatusText(QStringLiteral("Neue Geräte: %1 weitere nicht einzeln gemeldet (mehr als %2 je Minute)")
                            .arg(NewDevices.Untold)
                            .arg(TNewDeviceAlert::AlertsPerMinute));
    }
}

namespace {
QString DateText(std::int64_t day)
{
    const TCivilDate date = CivilDateOf(day);
    return QStringLiteral("%1.%2.%3")
        .arg(date.Day, 2, 10, QLatin1Char('0'))
        .arg(date.Month, 2, 10, QLatin1Char('0'))
        .arg(date.Year);
}

QString IsoDate(std::int64_t day)
{
    const TCivilDate date = CivilDateOf(day);
    return QStringLiteral("%1-%2-%3")
        .arg(date.Year)
        .arg(date.Month, 2, 10, QLatin1Char('0'))
        .arg(date.Day, 2, 10, QLatin1Char('0'));
}
}

void TCollector::TellLimit(const TLimitEvent& event)
{
    const QString name = FromStoreText(event.Name.empty() ? event.MAC : event.Name);
    emit StatusText(QStringLiteral("Volumenlimit %1 % erreicht: %2 (%3, %4) hat %5 von %6 MB verbraucht "
                                   "(Abrechnungszeitraum %7 bis %8)")
                        .arg(event.Mark)
                        .arg(name, FromStoreText(event.IP), FromStoreText(event.MAC),
                             QString::fromStdString(FormatMegabytes(static_cast<double>(event.Use))),
                             QString::fromStdString(FormatMegabytes(static_cast<double>(event.Limit))),
                             DateText(event.Period.First), DateText(event.Period.Last)));
    if (Extra.LimitCommand.empty())
        return;
    Commands->Run(QString::fromStdString(Extra.LimitCommand),
                  {{QStringLiteral("VEXAL_EVENT"), QStringLiteral("limit%1").arg(event.Mark)},
                   {QStringLiteral("VEXAL_PERCENT"), QString::number(event.Mark)},
                   {QStringLiteral("VEXAL_IP"), FromStoreText(event.IP)},
                   {QStringLiteral("VEXAL_MAC"), FromStoreText(event.MAC)},
                   {QStringLiteral("VEXAL_NAME"), FromStoreText(event.Name)},
                   {QStringLiteral("VEXAL_LIMIT"), QString::number(event.Limit)},
                   {QStringLiteral("VEXAL_USE"), QString::number(event.Use)},
                   {QStringLiteral("VEXAL_PERIOD_START"), IsoDate(event.Period.First)},
                   {QStringLiteral("VEXAL_PERIOD_END"), IsoDate(event.Period.Last)}});
}

void TCollector::NoteAnnouncedMac(const std::string& mac, const std::string& ip, const std::string& device)
{
    const TLocalTime now = Clock();
    const auto verdict = NewDevices.Seen(mac, now.Day * 1440 + now.MsOfDay / 60'000);
    if (verdict == TNewDeviceAlert::TVerdict::Known)
        return;
    if (verdict == TNewDeviceAlert::TVerdict::New)
        emit StatusText(QStringLiteral("Neues Gerät: %1 (%2, %3)")
                            .arg(FromStoreText(mac), FromStoreText(ip), FromStoreText(device)));
    if (Extra.NewDeviceCommand.empty())
        return;
    // Bounded by the runner: a flood of new MACs runs a few, and drops and counts the rest.
    Commands->Run(QString::fromStdString(Extra.NewDeviceCommand),
                  {{QStringLiteral("VEXAL_EVENT"), QStringLiteral("newdevice")},
                   {QStringLiteral("VEXAL_IP"), FromStoreText(ip)},
                   {QStringLiteral("VEXAL_MAC"), FromStoreText(mac)},
                   {QStringLiteral("VEXAL_NAME"), FromStoreText(device)}});
}

void TCollector::RecordHistory()
{
    if (History)
        Guard([this] { History->Record(BuildHistorySnapshot(Daten, Clock())); });
}

void TCollector::UserAction(const std::function<void()>& change)
{
    // Every row the action removes or resets hands its totals to the history on its
    // way (TotalsLeaving), so the history's work is the rows changed, not the table;
    // rows changed before a failure have handed theirs on.
    change();
}

TMetricsHealth TCollector::Health() const
{
    TMetricsHealth health;
    health.FlowDatagrams = FlowDatagrams;
    health.MacDatagrams = MacDatagrams;
    health.Malformed = NetworkErrors;
    health.Dropped = {{"queue", NMUDP1->QueueDrops() + NMUDP2->QueueDrops()},
                      {"kernel", NMUDP1->KernelDrops() + NMUDP2->KernelDrops()}};
    health.Refused = {{"router_table_full", Daten.RoutersRefused},
                      {"user_table_full", Daten.UsersRefused},
                      {"ipv6_rows_full", Daten.IPv6RowsRefused},
                      {"sequence_domains_full", Daten.UnfollowedDatagrams}};
    health.IdleRoutersDropped = Daten.RoutersDropped;
    health.ExportRuns = ExportRuns;
    health.ExportFailures = ExportFailures;
    health.Commands = {{"started", Commands->Started},
                       {"failed", Commands->Failed},
                       {"timed_out", Commands->TimedOut},
                       {"dropped", Commands->Dropped}};
    health.NewDevices = NewDevices.NewDevices;
    return health;
}

QString TCollector::ListenerProblems() const
{
    QStringList problems;
    auto check = [&problems](const TUdpListener& listener, const QString& what) {
        if (!listener.Bound())
            problems << QStringLiteral("UDP-Port %1 ist belegt: %2 kommen nicht an.").arg(listener.RequestedPort()).arg(what);
    };
    check(*NMUDP1, QStringLiteral("Flows"));
    check(*NMUDP2, QStringLiteral("Korvel-Meldungen"));
    if (const QString drops = DropText(); !drops.isEmpty())
        problems << drops;
    if (const QString refused = RefusalText(); !refused.isEmpty())
        problems << refused;
    if (!ExportStateProblem.isEmpty())
        problems << ExportStateProblem;
    if (ArrivedWithoutLocalNetwork && !HasLocalNetwork(Daten))
        problems << QString::fromUtf8(MissingLocalNetworkText);
    if (const std::uint64_t refused = Daten.CarriedTraffic.RefusedClients(); refused > 0)
        problems << QStringLiteral("mySQL Export: Intervall-Traffic von %1 ersetzten oder entfernten Clients verworfen "
                                   "(%2 Byte, mehr als %3 warten auf den Export).")
                        .arg(refused)
                        .arg(Daten.CarriedTraffic.RefusedOctets())
                        .arg(TCarriedTraffic::MaxRows);
    return problems.join(QLatin1Char(' '));
}

QString TCollector::RefusalText() const
{
    QStringList texts;
    if (Daten.RoutersRefused > 0)
        texts << QStringLiteral("Routertabelle voll (%1 Router): %2 neue Absender abgewiesen.")
                     .arg(TDaten::MaxRouters)
                     .arg(Daten.RoutersRefused);
    if (Daten.UsersRefused > 0)
        texts << QStringLiteral("Benutzertabelle voll (%1 Geräte): %2 neue Geräte abgewiesen.")
                     .arg(TDaten::MaxUsers)
                     .arg(Daten.UsersRefused);
    if (Daten.IPv6RowsRefused > 0)
        texts << QStringLiteral("Kein Platz mehr für Geräte nur mit IPv6 (%1): %2 abgewiesen.")
                     .arg(TIPv6Aliases::MaxOwnRows)
                     .arg(Daten.IPv6RowsRefused);
    if (Daten.UnfollowedDatagrams > 0)
        texts << QStringLiteral("Mehr als %1 Exporter-Domänen je Router: %2 Datagramme ohne Sequenzprüfung gezählt.")
                     .arg(SequenceFollowers::MaxPerRouter)
                     .arg(Daten.UnfollowedDatagrams);
    return texts.join(QLatin1Char(' '));
}

void TCollector::NoteRefusals()
{
    const std::uint64_t refusals =
        Daten.RoutersRefused + Daten.UsersRefused + Daten.IPv6RowsRefused + Daten.UnfollowedDatagrams;
    if (refusals != RefusalsShown) {
        RefusalsShown = refusals;
        DropSummary->SetEnabled(true);
    }
}

QString TCollector::DropText() const
{
    auto datagrams = [](std::uint64_t count) {
        return count == 1 ? QStringLiteral("1 Datagramm") : QStringLiteral("%1 Datagramme").arg(count);
    };
    QStringList texts;
    for (const TUdpListener* listener : {NMUDP1, NMUDP2}) {
        QStringList causes;
        if (listener->QueueDrops() > 0)
            causes << QStringLiteral("%1 verloren (Warteschlange voll)").arg(datagrams(listener->QueueDrops()));
        if (listener->KernelDrops() > 0)
            causes << QStringLiteral("%1 vom System verworfen (Empfangspuffer voll)").arg(datagrams(listener->KernelDrops()));
        if (!causes.isEmpty())
            texts << QStringLiteral("UDP-Port %1: %2.").arg(listener->Port()).arg(causes.join(QStringLiteral(", ")));
    }
    return texts.join(QLatin1Char(' '));
}

void TCollector::LastExport()
{
    // The state file does not hold the interval octets: without one last run they
    // would be lost. A run under way ends first, so nothing goes twice; the whole wait
    // is bounded, the program must end.
    InLastExport = true;
    const QDeadlineTimer deadline(LastExportMs);
    auto result = std::make_shared<std::optional<TExportResult>>();
    QString failure = QStringLiteral("keine Antwort innerhalb von %1 s").arg(LastExportMs / 1000);
    if (Export->WaitUntilIdle(deadline)) {
        TimerMySQLExport->SetEnabled(false);
        try {
            TExportJob last = BuildExportJob(Daten, Clock());
            PrepareRun(last);
            Export->Start(std::move(last), [this, result](const TExportJob&, const TExportResult& r) {
                *result = r;
                InFlight = {};
                Guard([&] { TakeExportedTraffic(Daten, r.Exported); });
            }, true);
            Export->WaitUntilIdle(deadline);
        } catch (const std::exception& error) {
            failure = QString::fromUtf8(error.what());
        }
    }
    InLastExport = false;
    if (result->has_value() && (*result)->Complete)
        return;
    if (result->has_value())
        failure = (*result)->Connected ? (*result)->Error : QStringLiteral("mySQL Datenbank konnte nicht erreicht werden!");
    const QString text = QStringLiteral("Letzter mySQL Export beim Beenden nicht möglich: %1").arg(failure);
    // The window and the headless log each pass it on to the log once.
    emit StatusText(text);
}

QString TCollector::NetworkErrorText() const
{
    return (NetworkErrors == 1 ? QStringLiteral("1 fehlerhaftes Datagramm")
                               : QStringLiteral("%1 fehlerhafte Datagramme").arg(NetworkErrors))
           + QStringLiteral(", zuletzt: ") + FromStoreText(LastNetworkError);
}

void TCollector::ShowNetworkError(const std::string& error)
{
    ++NetworkErrors;
    LastNetworkError = error;
    emit NetworkErrorSeen();
}

void TCollector::NMUDP1DataReceived(std::span<const unsigned char> bytes, const std::string& fromIP, quint16 fromPort)
{
    if (!IsStarted)
        return;
    ++FlowDatagrams;
    NoteMissingLocalNetwork();
    Guard([&] {
        emit FlowArrived();
        TDatagramOutcome outcome = AccountFlowDatagram(Daten, bytes, fromIP, Clock(), fromPort);
        if (outcome.Memo)
            emit FlowMemo(*outcome.Memo);
        if (outcome.Failed())
            ShowNetworkError(outcome.Error);
        if (!outcome.Notice.empty())
            ShowNetworkError(outcome.Notice);
    });
    NoteRefusals();
}

void TCollector::NMUDP2DataReceived(std::span<const unsigned char> bytes, const std::string& fromIP)
{
    if (!IsStarted)
        return;
    ++MacDatagrams;
    NoteMissingLocalNetwork();
    Guard([&] {
        emit MacArrived();
        if (bytes.size() > static_cast<std::size_t>(TUdpListener::BufferSize)) {
            ShowNetworkError("Korvel-Meldung von " + fromIP + " ist länger als 2048 Bytes");
            return;
        }
        // A client replaced by another MAC on its address hands its totals to the
        // history and its interval to the export on its way out (TDaten::DepartUser).
        TDatagramOutcome outcome = AccountMacAnnouncement(Daten, bytes, fromIP, MacDatagramCount, Clock());
        if (outcome.Memo)
            emit MacMemo(*outcome.Memo);
        if (outcome.Failed())
            ShowNetworkError(outcome.Error);
        if (!outcome.AnnouncedMAC.empty())
            NoteAnnouncedMac(outcome.AnnouncedMAC, outcome.AnnouncedIP, outcome.AnnouncedDevice);
    });
    NoteRefusals();
}

void TCollector::NoteMissingLocalNetwork()
{
    // A first start has no local network: everything arrives and nothing is counted.
    // Said at once, and kept in view by the port check until one is configured.
    if (ArrivedWithoutLocalNetwork || HasLocalNetwork(Daten))
        return;
    ArrivedWithoutLocalNetwork = true;
    emit StatusText(ListenerProblems());
}

void TCollector::TimerClearPortsTimer()
{
    Daten.ClearPortTraffic();
    // IPv6 addresses not seen for the online time-out leave their devices.
    Daten.ForgetStaleIPv6(Clock());
    // Neighbours known only by IPv6 that came and went give their room back.
    Daten.RemoveIdleIPv6Rows(Clock());
    // A port that could not be bound stays named: it explains why nothing arrives.
    emit StatusText(ListenerProblems());
}

void TCollector::TimerSaveTimer()
{
    // The content is taken now, on the store's thread; the write and its fsync go on
    // the saver's thread while datagrams are accounted. A save still under way when the
    // period comes round skips this turn: never two writes of the file at once.
    SaveExportState();
    if (!Saver->Busy())
        Saver->Start(TStateFile::DefaultPath, TStateFile::Format(Daten));
}

TSaveOutcome TCollector::SaveNow()
{
    SaveExportStateNow();
    Saver->Wait();
    return Daten.SaveState();
}

// The export state file and vexal.ini are written apart and need not be of the same
// moment (TExportStateFile says why). What matters is that the export state never
// falls behind the database unawares: a run writes it, naming itself, before it sends
// its traffic (PrepareRun), and it is written again once the result is applied. A
// crash between the two leaves a file whose named run the next start looks up. The
// writes come from the saver's thread and the export's, in the order their contents
// were taken (TOrderedFileWriter).
void TCollector::SaveExportState()
{
    if (ExportSaver->Busy()) {
        ExportSaveAgain = true;
        return;
    }
    ExportSaveAgain = false;
    const std::uint64_t generation = ExportStateWriter->NextGeneration();
    ExportSaver->Start([writer = ExportStateWriter, generation,
                        content = TExportStateFile::Format(Daten, UnsettledRuns())] {
        return writer->Write(generation, content);
    });
}

std::vector<TUnsettledRun> TCollector::UnsettledRuns() const
{
    std::vector<TUnsettledRun> runs = Export->Unsettled();
    if (!InFlight.Empty())
        runs.push_back(InFlight);
    return runs;
}

void TCollector::PrepareRun(TExportJob& job)
{
    job.Collector = Extra.CollectorName();
    InFlight = {};
    if (job.Traffic.empty())
        return;
    job.RunId = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    InFlight = {job.RunId, job.Traffic};
    const std::uint64_t generation = ExportStateWriter->NextGeneration();
    auto content = std::make_shared<const std::string>(TExportStateFile::Format(Daten, UnsettledRuns()));
    job.BeforeTraffic = [writer = ExportStateWriter, generation, content] { writer->Write(generation, *content); };
}

TSaveOutcome TCollector::SaveExportStateNow()
{
    // No further save may start from the report of the one under way.
    ExportSaveAgain = false;
    ExportSaver->Wait();
    const TSaveOutcome outcome =
        ExportStateWriter->Write(ExportStateWriter->NextGeneration(), TExportStateFile::Format(Daten, UnsettledRuns()));
    ReportExportSave(outcome);
    return outcome;
}

void TCollector::ReportExportSave(TSaveOutcome outcome)
{
    if (outcome != LastExportSaveOutcome && outcome == TSaveOutcome::Failed)
        emit StatusText(QStringLiteral("%1 konnte nicht gespeichert werden").arg(QLatin1String(TExportStateFile::DefaultPath)));
    LastExportSaveOutcome = outcome;
    // The state changed while the last one was written: the newer one follows.
    if (ExportSaveAgain && IsStarted)
        SaveExportState();
}

void TCollector::LoadExportState()
{
    std::vector<TUnsettledRun> runs;
    std::string error;
    const std::string path = TExportStateFile::DefaultPath;
    switch (TExportStateFile::Load(Daten, runs, error, path)) {
    case TExportStateFile::TLoad::Missing:
        return;
    case TExportStateFile::TLoad::Loaded:
        // The first run settles them as the next run of the last session would have.
        Export->Resume(std::move(runs));
        return;
    case TExportStateFile::TLoad::Damaged:
        break;
    }
    // Kept aside for a look, and not written over by the next save.
    const std::string aside = path + ".defekt";
    const bool kept = std::rename(path.c_str(), aside.c_str()) == 0;
    ExportStateProblem = QStringLiteral("%1 ist beschädigt (%2)%3: noch nicht exportierter Intervall-Traffic "
                                        "verworfen, die Zählerstände aus vexal.ini sind geladen.")
                             .arg(QLatin1String(TExportStateFile::DefaultPath), FromStoreText(error),
                                  kept ? QStringLiteral(", beiseitegelegt als %1").arg(QString::fromStdString(aside))
                                       : QString());
}

void TCollector::ReportSave(TSaveOutcome outcome)
{
    // Once when saving starts to go wrong, not again every period while it stays so.
    if (outcome != LastSaveOutcome && outcome == TSaveOutcome::Failed)
        emit StatusText(QStringLiteral("vexal.ini konnte nicht gespeichert werden"));
    if (outcome != LastSaveOutcome && outcome == TSaveOutcome::RewrittenInPlace)
        emit StatusText(QStringLiteral("vexal.ini nicht sicher gespeichert: direkt überschrieben"));
    LastSaveOutcome = outcome;
}

void TCollector::TimerGetNameTimer()
{
    emit NamePeriod();
    if (Daten.HttpUrl.empty() || Import->Busy())
        return;
    emit NameImportRunning(true);
    Import->Start(Daten.HttpUrl, Daten.HttpUser, Daten.HttpPassword, [this](const TNameImport::TResult& result) {
        // The names are matched when the whole list is there, against the users of now.
        Guard([&] {
            if (result.Ok && !ApplyNameList(Daten, std::string_view(result.Body.constData(), result.Body.size())))
                emit StatusText(QStringLiteral("Zugriff verweigert!"));
            // As a status text, so that the headless log has it as the window has it.
            if (!result.Ok)
                emit StatusText(QStringLiteral("HTTP Namensimport fehlgeschlagen: %1").arg(result.Error));
        });
        emit NameImportRunning(false);
        emit NamesImported();
    });
}

void TCollector::TimerMySQLExportTimer()
{
    // The period runs on as a repeating timer's does, so the runs do not drift later by
    // their own length; a run still busy when the period comes round skips that turn.
    emit ExportPeriod();
    if (Export->Busy())
        return;
    emit ExportRunning(true);
    auto finish = [this] {
        emit ExportRunning(false);
        emit ExportFinished();
    };
    if (!Daten.ExportEnabled) {
        finish();
        return;
    }
    TExportJob job;
    try {
        job = BuildExportJob(Daten, Clock());
        PrepareRun(job);
    } catch (const std::exception& error) {
        emit StatusText(QStringLiteral("mySQL Export: %1").arg(QString::fromUtf8(error.what())));
        finish();
        return;
    }
    // The rows go to the server on the export's own thread; the collector keeps counting.
    Export->Start(std::move(job), [this, finish](const TExportJob&, const TExportResult& result) {
        ++ExportRuns;
        InFlight = {};
        if (!result.Complete)
            ++ExportFailures;
        Guard([&] {
            // Interval counters go down by what the database holds now, as soon as the
            // traffic transaction has committed, whatever failed after it.
            TakeExportedTraffic(Daten, result.Exported);
            if (result.Complete && !ExportStateProblem.isEmpty()) {
                ExportStateProblem.clear();
                emit StatusText(ListenerProblems());
            }
            if (const QString text = result.StatusText(); !text.isEmpty())
                emit StatusText(text);
        });
        // What the database holds now is off the counters: the file says so at once.
        Guard([this] { SaveExportState(); });
        finish();
    });
}
