#pragma once

#include "LocalTime.h"
#include "TAtomicFile.h"
#include "TDatagramOutcome.h"

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
class TRouterGridModel;
class TTimer;
class TUdpListener;
class TUserGridModel;

// The main window: owns the two UDP listeners and the seven timers, loads the state
// when first shown, accepts datagrams only from then on, redraws everything from the
// store every 750 ms and saves the state periodically and when it closes.
class TMainForm : public QWidget {
    Q_OBJECT
public:
    static constexpr quint16 DefaultFlowPort = 2055;
    static constexpr quint16 DefaultMacPort = 2056;
    static constexpr int LastExportMs = 5000;
    // The size the window opens at; it can be resized and maximised from there.
    static constexpr QSize OpeningSize{1038, 713};
    // The right-hand column (status, memos, port charts) keeps this width at any size.
    static constexpr int RightColumnWidth = 316;

    explicit TMainForm(TDaten& daten, quint16 flowPort = DefaultFlowPort, quint16 macPort = DefaultMacPort,
                       QWidget* parent = nullptr);
    ~TMainForm() override;

    // Local time as the window sees it; tests set their own clock.
    std::function<TLocalTime()> Clock = &TLocalTime::Now;

    bool Started() const { return IsStarted; }
    int SelectedRouter = 0;
    std::int32_t MacDatagramCount = 0;
    // Malformed or oversized datagrams seen so far (shown in the status line).
    quint64 NetworkErrors = 0;

    // The datagram handlers, as the listeners call them.
    void NMUDP1DataReceived(std::span<const unsigned char> bytes, const std::string& fromIP, quint16 fromPort = 0);
    void NMUDP2DataReceived(std::span<const unsigned char> bytes, const std::string& fromIP);

    // The actions on the user list.
    void DieseIPentfernen1Click();
    void IPsentfernenmit100kB1Click();
    void IPTrafficCounterauf0setzen1Click();
    void AlleClientsentfernen1Click();
    void ProfGrid2DblClick(const QModelIndex& clicked = QModelIndex());

    // The timer ticks.
    void TimerShowingTimer();
    void TimerClearPortsTimer();
    void TimerSaveTimer();
    void TimerGetNameTimer();
    void TimerMySQLExportTimer();

    TTimer& Timer(const QString& name) const;
    TUdpListener& FlowListener() const { return *NMUDP1; }
    TUdpListener& MacListener() const { return *NMUDP2; }
    // Which listener ports could not be bound, as the status line says it; empty when both are.
    QString ListenerProblems() const;
    TUserGridModel& UserGrid() const { return *UserModel; }
    TRouterGridModel& RouterGrid() const { return *RouterModel; }
    QStandardItemModel& DiagGrid() const { return *DiagModel; }
    TErrorReport& ErrorReport() const { return *Errors; }
    TDatabaseExport& DatabaseExport() const { return *Export; }
    TNameImport& NameImport() const { return *Import; }
    TFormProtokoll& FormProtokoll() const { return *Protokoll; }
    TFormFilter& FormFilter() const { return *Filter; }
    TFormEinstellungen& FormEinstellungen() const { return *Einstellungen; }
    // Rows of the user grid that are selected, in selection order.
    std::vector<int> SelectedUserRows() const;
    // The addresses those rows show, in the same order.
    std::vector<std::string> SelectedUserAddresses() const;

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
    // One last database export on the way out, at most LastExportMs.
    void LastExport();
    void BuildLayout();
    // Numeric and address columns as wide as the widest text on screen.
    void FitGrids();
    void ShowNetworkError(const std::string& error);
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
    // How the last periodic save went; a failed or unsafe save is reported once.
    TSaveOutcome LastSaveOutcome = TSaveOutcome::Replaced;
    bool IsStarted = false;
    bool ShownOnce = false;
    bool InLastExport = false;

    TUdpListener* NMUDP1 = nullptr;
    TUdpListener* NMUDP2 = nullptr;

    TTimer* TimerShowing = nullptr;
    TTimer* TimerGetName = nullptr;
    TTimer* TimerSave = nullptr;
    TTimer* TimerClearPorts = nullptr;
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
    QTableView* ProfGrid2 = nullptr;
    QTableView* ProfGrid4 = nullptr;
    TBarChart* Chart1 = nullptr;
    TBarChart* Chart2 = nullptr;
    TBarChart* Chart3 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QMenu* PopupMenu2 = nullptr;
    TFormProtokoll* Protokoll = nullptr;
    TFormFilter* Filter = nullptr;
    TFormEinstellungen* Einstellungen = nullptr;

    TUserGridModel* UserModel = nullptr;
    TRouterGridModel* RouterModel = nullptr;
    QStandardItemModel* DiagModel = nullptr;
    TErrorReport* Errors = nullptr;
    TDatabaseExport* Export = nullptr;
    TNameImport* Import = nullptr;

    // The memos show the last datagram; under load they are redrawn at most every
    // 50 ms, as nobody reads faster and a text layout per datagram would cost more
    // than accounting it.
    TTimer* MemoRefresh = nullptr;
    std::vector<std::string> PendingFlowMemo;
    std::vector<std::string> PendingMacMemo;
    bool FlowMemoDirty = false;
    bool MacMemoDirty = false;
    std::string LastNetworkError;
    bool NetworkErrorDirty = false;
};
