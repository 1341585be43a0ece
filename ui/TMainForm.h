#pragma once

#include "LocalTime.h"
#include "TCollector.h"
#include "TUserGrid.h"
#include "TUserGridFeed.h"

#include <QSize>
#include <QWidget>

#include <functional>
#include <string>
#include <utility>
#include <vector>

class QCheckBox;
class QFont;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStandardItemModel;
class QTableView;
class QVBoxLayout;
class TBarChart;
class TDaten;
class TErrorReport;
class TFormEinstellungen;
class TFormFilter;
class TFormProtokoll;
class TFormVerlauf;
class TRouterGridModel;
class TTimer;

// The main window: drives a collector (listeners, saving, export and name import),
// starts it when first shown, redraws everything from the store every 750 ms and
// stops it (saving, last export) when it closes.
class TMainForm : public QWidget {
    Q_OBJECT
public:
    // The size the window opens at; it can be resized and maximised from there.
    static constexpr QSize OpeningSize{1038, 713};
    // The right-hand column (status, memos, port charts) keeps this width at any size.
    static constexpr int RightColumnWidth = 316;

    explicit TMainForm(TDaten& daten, quint16 flowPort = TCollector::DefaultFlowPort,
                       quint16 macPort = TCollector::DefaultMacPort,
                       QWidget* parent = nullptr);
    ~TMainForm() override;

    // Local time as the window sees it; tests set their own clock.
    std::function<TLocalTime()> Clock = &TLocalTime::Now;

    int SelectedRouter = 0;
    // The collector behind the window (listeners, their handlers, the timers of
    // saving, export and name import, the export and the name import).
    TCollector& Collector() const { return *Core; }
    // The user grid, its model and the actions on its users.
    TUserGrid& Users() const { return *ProfGrid2; }

    // The display tick.
    void TimerShowingTimer();

    // The window's own timers and the collector's, by name.
    TTimer& Timer(const QString& name) const;
    TRouterGridModel& RouterGrid() const { return *RouterModel; }
    QStandardItemModel& DiagGrid() const { return *DiagModel; }
    TErrorReport& ErrorReport() const { return *Errors; }
    TFormProtokoll& FormProtokoll() const { return *Protokoll; }
    TFormFilter& FormFilter() const { return *Filter; }
    TFormEinstellungen& FormEinstellungen() const { return *Einstellungen; }
    TFormVerlauf& FormVerlauf() const { return *Verlauf; }

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
    // The window's layout, panel by panel; each panel makes its widgets and lays
    // them out, and BuildLayout puts the panels together.
    void BuildLayout();
    QHBoxLayout* BuildTitleStrip(const QFont& bold);
    void AddUserPanel(QVBoxLayout* left);
    void AddRouterPanel(QVBoxLayout* left, const QFont& bold);
    QGridLayout* BuildStatusPanel(const QFont& bold);
    // One incoming memo with its caption and arrival light: the memo and the light.
    std::pair<QPlainTextEdit*, QLabel*> AddMemo(QVBoxLayout* column, const QString& caption, const char* name,
                                                const char* lit, const QFont& bold);
    QHBoxLayout* BuildButtonRow();
    // Status, memos and the port charts of the selected router, at a fixed width.
    QWidget* BuildRightColumn(QGridLayout* status, const QFont& bold);
    // The diagnostic grid for developers, a window of its own.
    void BuildDiagnosticsWindow();
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
