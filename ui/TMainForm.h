#pragma once

#include "LocalTime.h"
#include "TCollector.h"
#include "TUserGrid.h"
#include "TUserGridFeed.h"

#include <QModelIndex>
#include <QSize>
#include <QWidget>

#include <functional>
#include <span>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStandardItemModel;
class QTableView;
class TBarChart;
class TDaten;
class TDatabaseExport;
class TNameImport;
class TErrorReport;
class TFormEinstellungen;
class TFormFilter;
class TFormProtokoll;
class TFormVerlauf;
class TRouterGridModel;
class TTimer;
class TUdpListener;
class TUserGridModel;

// The main window: drives a collector (listeners, saving, export and name import),
// starts it when first shown, redraws everything from the store every 750 ms and
// stops it (saving, last export) when it closes.
class TMainForm : public QWidget {
    Q_OBJECT
public:
    static constexpr quint16 DefaultFlowPort = TCollector::DefaultFlowPort;
    static constexpr quint16 DefaultMacPort = TCollector::DefaultMacPort;
    static constexpr int LastExportMs = TCollector::LastExportMs;
    // The size the window opens at; it can be resized and maximised from there.
    static constexpr QSize OpeningSize{1038, 713};
    // The right-hand column (status, memos, port charts) keeps this width at any size.
    static constexpr int RightColumnWidth = 316;

    explicit TMainForm(TDaten& daten, quint16 flowPort = DefaultFlowPort, quint16 macPort = DefaultMacPort,
                       QWidget* parent = nullptr);
    ~TMainForm() override;

    // Local time as the window sees it; tests set their own clock.
    std::function<TLocalTime()> Clock = &TLocalTime::Now;

    bool Started() const { return Core->Started(); }
    int SelectedRouter = 0;
    // The collector behind the window (listeners, timers, export, name import).
    TCollector& Collector() const { return *Core; }

    // The datagram handlers, as the listeners call them.
    void NMUDP1DataReceived(std::span<const unsigned char> bytes, const std::string& fromIP, quint16 fromPort = 0)
    {
        Core->NMUDP1DataReceived(bytes, fromIP, fromPort);
    }
    void NMUDP2DataReceived(std::span<const unsigned char> bytes, const std::string& fromIP)
    {
        Core->NMUDP2DataReceived(bytes, fromIP);
    }

    // The user grid and its actions (the tests call them through the window).
    TUserGrid& Users() const { return *ProfGrid2; }
    void DieseIPentfernen1Click() { ProfGrid2->DieseIPentfernen1Click(); }
    void IPsentfernenmit100kB1Click() { ProfGrid2->IPsentfernenmit100kB1Click(); }
    void IPTrafficCounterauf0setzen1Click() { ProfGrid2->IPTrafficCounterauf0setzen1Click(); }
    void AlleClientsentfernen1Click() { ProfGrid2->AlleClientsentfernen1Click(); }
    void ProfGrid2DblClick(const QModelIndex& clicked = QModelIndex()) { ProfGrid2->ProfGrid2DblClick(clicked); }
    void VerlaufClick() { ProfGrid2->VerlaufClick(); }

    // The timer ticks.
    void TimerShowingTimer();
    void TimerClearPortsTimer() { Core->TimerClearPortsTimer(); }
    void TimerSaveTimer() { Core->TimerSaveTimer(); }
    void TimerGetNameTimer() { Core->TimerGetNameTimer(); }
    void TimerMySQLExportTimer() { Core->TimerMySQLExportTimer(); }

    TTimer& Timer(const QString& name) const;
    TUdpListener& FlowListener() const { return Core->FlowListener(); }
    TUdpListener& MacListener() const { return Core->MacListener(); }
    // Which listener ports could not be bound, as the status line says it; empty when both are.
    QString ListenerProblems() const { return Core->ListenerProblems(); }
    TUserGridModel& UserGrid() const { return ProfGrid2->Model(); }
    TRouterGridModel& RouterGrid() const { return *RouterModel; }
    QStandardItemModel& DiagGrid() const { return *DiagModel; }
    TErrorReport& ErrorReport() const { return *Errors; }
    TDatabaseExport& DatabaseExport() const { return Core->DatabaseExport(); }
    TNameImport& NameImport() const { return Core->NameImport(); }
    TFormProtokoll& FormProtokoll() const { return *Protokoll; }
    TFormFilter& FormFilter() const { return *Filter; }
    TFormEinstellungen& FormEinstellungen() const { return *Einstellungen; }
    TFormVerlauf& FormVerlauf() const { return *Verlauf; }
    std::vector<int> SelectedUserRows() const { return ProfGrid2->SelectedUserRows(); }
    std::vector<std::string> SelectedUserAddresses() const { return ProfGrid2->SelectedUserAddresses(); }

signals:
    // After a tick has redrawn everything (tests and benchmarks wait on it).
    void Refreshed();
    // After an export run or a name import has ended.
    void ExportFinished();
    void NamesImported();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void FormShow();
    // Connects the collector's signals to the widgets that show them.
    void ConnectCollector();
    void BuildLayout();
    // Numeric and address columns as wide as the widest text on screen.
    void FitGrids();
    void ShowMemo(QPlainTextEdit* memo, const std::vector<std::string>& lines);
    // Runs a handler body; anything unexpected goes to the error report.
    void Guard(const std::function<void()>& body);

    // The tick's stages. The rows come from widget-free builders that take the store
    // and the time (UserRows.h, RouterRows.h, DiagnosticRows.h); these only commit
    // them to the grids, charts and labels.
    void ShowProgress();
    void ShowDiagnostics();
    void ShowRouters();
    void ShowUsers(const TLocalTime& now);
    void ShowPorts();
    void ShowDiagnosticsWindow();

    TDaten& Daten;
    TCollector* Core = nullptr;
    bool ShownOnce = false;

    TTimer* TimerShowing = nullptr;
    // The collector's export timer; its period is the progress bar's range.
    TTimer* TimerMySQLExport = nullptr;
    TTimer* FlowArrivalTimer = nullptr;
    TTimer* MacArrivalTimer = nullptr;

    QLabel* Label2 = nullptr;
    QLabel* CoolLabel13 = nullptr;
    QLabel* CoolLabel7 = nullptr;
    QLabel* CoolLabel1 = nullptr;
    QLabel* CoolLabel2 = nullptr;
    QLabel* HttpFlag = nullptr;
    QLabel* MySqlFlag = nullptr;
    QLabel* Image7 = nullptr;
    QLabel* Image9 = nullptr;
    QCheckBox* CoolCheckRadioBox1 = nullptr;
    QPlainTextEdit* CoolMemo1 = nullptr;
    QPlainTextEdit* CoolMemo2 = nullptr;
    QProgressBar* ProgressBar2 = nullptr;
    QProgressBar* ProgressBar3 = nullptr;
    QTableView* ProfGrid1 = nullptr;
    TUserGrid* ProfGrid2 = nullptr;
    QTableView* ProfGrid4 = nullptr;
    TBarChart* Chart1 = nullptr;
    TBarChart* Chart2 = nullptr;
    TBarChart* Chart3 = nullptr;
    QMenu* PopupMenu2 = nullptr;
    TFormProtokoll* Protokoll = nullptr;
    TFormFilter* Filter = nullptr;
    TFormEinstellungen* Einstellungen = nullptr;
    TFormVerlauf* Verlauf = nullptr;

    TRouterGridModel* RouterModel = nullptr;
    // Feeds the user grid what changed since the last tick.
    TUserGridFeed UserFeed;
    QStandardItemModel* DiagModel = nullptr;
    TErrorReport* Errors = nullptr;

    // The memos show the last datagram; under load they are redrawn at most every
    // 50 ms, as nobody reads faster and a text layout per datagram would cost more
    // than accounting it.
    TTimer* MemoRefresh = nullptr;
    std::vector<std::string> PendingFlowMemo;
    std::vector<std::string> PendingMacMemo;
    bool FlowMemoDirty = false;
    bool MacMemoDirty = false;
    bool NetworkErrorDirty = false;
};
