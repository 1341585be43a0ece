#include "TMainForm.h"

#include "GridStyle.h"
#include "StatusIcons.h"
#include "TBarChart.h"
#include "TDaten.h"
#include "TErrorReport.h"
#include "TFormEinstellungen.h"
#include "TFormFilter.h"
#include "TFormProtokoll.h"
#include "TFormVerlauf.h"
#include "StoreText.h"
#include "TRouterGridModel.h"
#include "TTimer.h"
#include "TUdpListener.h"
#include "TUserGrid.h"
#include "TUserGridModel.h"
#include "TextForms.h"
#include "DiagnosticRows.h"
#include "RouterRows.h"
#include "UserRows.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

namespace {
constexpr int ShowingInterval = 750;
constexpr int GetNameInterval = TCollector::GetNameInterval;
constexpr int ArrivalInterval = 100;

QLabel* MakeLabel(QWidget* parent, const QString& text, const char* name)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}
}

TMainForm::TMainForm(TDaten& daten, quint16 flowPort, quint16 macPort, QWidget* parent)
    : QWidget(parent), Daten(daten)
{
    setObjectName(QStringLiteral("MainForm"));
    // The listeners bind now; until the window has been shown they discard everything.
    Core = new TCollector(Daten, flowPort, macPort, this);
    Core->Clock = [this] { return Clock(); };

    TimerShowing = Core->GuardedTimer(this, "TimerShowing", ShowingInterval, [this] { TimerShowingTimer(); });
    FlowArrivalTimer = Core->GuardedTimer(this, "FlowArrivalTimer", ArrivalInterval, {}, true);
    MacArrivalTimer = Core->GuardedTimer(this, "MacArrivalTimer", ArrivalInterval, {}, true);
    MemoRefresh = Core->GuardedTimer(this, "MemoRefresh", 50, {}, true);

    Errors = new TErrorReport(this);
    RouterModel = new TRouterGridModel(this);
    DiagModel = new QStandardItemModel(60, 2, this);
    BuildLayout();
    // The other windows exist from the start and are shown on demand.
    Einstellungen = new TFormEinstellungen(Daten, this, Core);
    Protokoll = new TFormProtokoll(Daten, *Errors, this);
    Filter = new TFormFilter(Daten, this);
    Verlauf = new TFormVerlauf(this);
    // The user grid and the log window open the log and the history of a device.
    connect(ProfGrid2, &TUserGrid::LogRequested, Protokoll, &TFormProtokoll::PresentFor);
    auto showHistory = [this](const std::string& ip, const std::string& mac) {
        Guard([&] { Verlauf->Present(*Core, ip, mac, Clock()); });
    };
    connect(ProfGrid2, &TUserGrid::HistoryRequested, this, showHistory);
    connect(Protokoll, &TFormProtokoll::HistoryRequested, this, showHistory);

    connect(FlowArrivalTimer, &TTimer::Timeout, this, [this] { Image7->hide(); });
    connect(MacArrivalTimer, &TTimer::Timeout, this, [this] { Image9->hide(); });
    connect(MemoRefresh, &TTimer::Timeout, this, [this] {
        if (FlowMemoDirty)
            ShowMemo(CoolMemo1, PendingFlowMemo);
        if (MacMemoDirty)
            ShowMemo(CoolMemo2, PendingMacMemo);
        if (NetworkErrorDirty)
            Label2->setText(Core->NetworkErrorText());
        FlowMemoDirty = MacMemoDirty = NetworkErrorDirty = false;
    });
    ConnectCollector();
}

void TMainForm::ConnectCollector()
{
    connect(Core, &TCollector::StatusText, Label2, &QLabel::setText);
    connect(Core, &TCollector::Error, Errors, &TErrorReport::Report);
    connect(Core, &TCollector::FlowArrived, this, [this] {
        FlowArrivalTimer->SetEnabled(true);
        Image7->show();
    });
    connect(Core, &TCollector::MacArrived, this, [this] {
        MacArrivalTimer->SetEnabled(true);
        Image9->show();
    });
    connect(Core, &TCollector::FlowMemo, this, [this](const std::vector<std::string>& lines) {
        PendingFlowMemo = lines;
        FlowMemoDirty = true;
        MemoRefresh->SetEnabled(true);
    });
    connect(Core, &TCollector::MacMemo, this, [this](const std::vector<std::string>& lines) {
        PendingMacMemo = lines;
        MacMemoDirty = true;
        MemoRefresh->SetEnabled(true);
    });
    connect(Core, &TCollector::NetworkErrorSeen, this, [this] {
        NetworkErrorDirty = true;
        MemoRefresh->SetEnabled(true);
    });
    connect(Core, &TCollector::ExportPeriodChanged, this, [this](int ms) {
        ProgressBar3->setRange(0, ms);
        ProgressBar3->setValue(0);
    });
    connect(Core, &TCollector::ExportPeriod, this, [this] { ProgressBar3->setValue(0); });
    connect(Core, &TCollector::ExportRunning, MySqlFlag, &QWidget::setVisible);
    connect(Core, &TCollector::ExportFinished, this, &TMainForm::ExportFinished);
    connect(Core, &TCollector::NamePeriod, this, [this] { ProgressBar2->setValue(0); });
    connect(Core, &TCollector::NameImportRunning, HttpFlag, &QWidget::setVisible);
    connect(Core, &TCollector::NamesImported, this, &TMainForm::NamesImported);
}

TMainForm::~TMainForm() = default;

void TMainForm::BuildLayout()
{
    setWindowTitle(QStringLiteral("Vexal V5 & Korvel Capture"));
    setWindowFlags(Qt::Window);
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, QColor(222, 230, 240));
    setPalette(background);
    // Captions and the status line in the window's font, bold.
    QFont bold = font();
    bold.setBold(true);

    // The window as it reads: title strip, users and routers on the left, status,
    // memos and port charts in a column of fixed width on the right, buttons below.
    // The grids and charts take whatever room the window has beyond its opening size.
    QHBoxLayout* title = BuildTitleStrip(bold);
    auto* left = new QVBoxLayout;
    left->setSpacing(2);
    AddUserPanel(left);
    left->addSpacing(2);
    AddRouterPanel(left, bold);
    QGridLayout* status = BuildStatusPanel(bold);
    QHBoxLayout* buttons = BuildButtonRow();
    QWidget* rightPanel = BuildRightColumn(status, bold);

    auto* body = new QHBoxLayout;
    body->setSpacing(12);
    body->addLayout(left, 1);
    body->addWidget(rightPanel);

    auto* window = new QVBoxLayout(this);
    window->setContentsMargins(10, 6, 10, 8);
    window->setSpacing(6);
    window->addLayout(title);
    window->addLayout(body, 1);
    window->addLayout(buttons);
    resize(OpeningSize);

    BuildDiagnosticsWindow();

    CoolMemo1->clear();
    CoolMemo2->clear();
    Label2->clear();
    CoolLabel1->clear();
    CoolLabel2->clear();
    CoolLabel7->clear();
}

QHBoxLayout* TMainForm::BuildTitleStrip(const QFont& bold)
{
    auto* heading = new QLabel(QStringLiteral("Vexal Collector / Export"), this);
    QFont headingFont = heading->font();
    headingFont.setPointSize(15);
    headingFont.setBold(true);
    heading->setFont(headingFont);
    Label2 = MakeLabel(this, QString(), "Label2");
    Label2->setWordWrap(true);
    Label2->setFont(bold);
    Label2->setStyleSheet(QStringLiteral("color: rgb(139, 0, 0);"));
    auto* credit = new QLabel(QStringLiteral("NetFlow v5 & Korvel"), this);
    credit->setAlignment(Qt::AlignRight);
    CoolLabel13 = MakeLabel(this, QString(), "CoolLabel13");
    CoolLabel13->setAlignment(Qt::AlignRight);

    auto* titleRight = new QVBoxLayout;
    titleRight->setSpacing(0);
    titleRight->addWidget(credit);
    titleRight->addWidget(CoolLabel13);
    auto* title = new QHBoxLayout;
    title->addWidget(heading);
    title->addSpacing(10);
    title->addWidget(Label2, 1);
    title->addLayout(titleRight);
    return title;
}

void TMainForm::AddUserPanel(QVBoxLayout* left)
{
    CoolCheckRadioBox1 = new QCheckBox(QStringLiteral("nur Online User"), this);
    CoolCheckRadioBox1->setObjectName(QStringLiteral("CoolCheckRadioBox1"));
    CoolCheckRadioBox1->setChecked(true);
    CoolCheckRadioBox1->setIcon(StatusIcon(true));
    CoolLabel7 = MakeLabel(this, QString(), "CoolLabel7");
    CoolLabel7->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ProfGrid2 = new TUserGrid(Daten, *Core, this);

    auto* usersHead = new QHBoxLayout;
    usersHead->addWidget(CoolCheckRadioBox1);
    usersHead->addStretch(1);
    usersHead->addWidget(CoolLabel7);
    left->addLayout(usersHead);
    left->addWidget(ProfGrid2, 6);
}

void TMainForm::AddRouterPanel(QVBoxLayout* left, const QFont& bold)
{
    auto* totalsCaption = new QLabel(QStringLiteral("Gesamt Router:"), this);
    totalsCaption->setFont(bold);
    CoolLabel2 = MakeLabel(this, QString(), "CoolLabel2");
    ProfGrid1 = MakeGrid(this, "ProfGrid1", RouterModel, true);
    ProfGrid1->setItemDelegate(new TWholeTextDelegate(ProfGrid1));
    ProfGrid1->horizontalHeader()->setStretchLastSection(true);
    ProfGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    // A header and four routers without scrolling.
    ProfGrid1->setMinimumHeight(5 * 18 + 2 * ProfGrid1->frameWidth() + 2);
    connect(ProfGrid1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid())
                    SelectedRouter = current.row();
            });
    Chart1 = new TBarChart(Qt::Vertical, QString(), this);
    Chart1->setObjectName(QStringLiteral("Chart1"));
    // Every router's address matters: turned on their side rather than left out.
    Chart1->SetCrowded(TBarChart::TCrowded::Turn);
    Chart1->SetToolTipText([](const std::vector<TBar>& bars, std::size_t i) {
        const std::size_t up = i - i % 2;
        const QString mb = QString::fromStdString(FormatMegabytes(bars[i].Value));
        return QStringLiteral("%1 %2: %3 MB").arg(bars[up].Label, i % 2 ? QStringLiteral("Download") : QStringLiteral("Upload"), mb);
    });
    Chart1->setMinimumHeight(90);
    // The grid fits its columns again when other rows come on screen.
    connect(ProfGrid1->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { FitGrids(); });

    auto* totals = new QHBoxLayout;
    totals->addWidget(totalsCaption);
    totals->addWidget(CoolLabel2, 1);
    left->addLayout(totals);
    left->addWidget(ProfGrid1, 1);
    left->addWidget(Chart1, 1);
}

QGridLayout* TMainForm::BuildStatusPanel(const QFont& bold)
{
    auto* httpCaption = new QLabel(QStringLiteral("HTTP Username Import"), this);
    httpCaption->setFont(bold);
    ProgressBar2 = new QProgressBar(this);
    ProgressBar2->setObjectName(QStringLiteral("ProgressBar2"));
    ProgressBar2->setFixedHeight(12);
    ProgressBar2->setToolTip(QStringLiteral("HTTP Usernames Import"));
    ProgressBar2->setTextVisible(false);
    ProgressBar2->setRange(0, GetNameInterval);
    ProgressBar2->setValue(0);
    HttpFlag = MakeLabel(this, QStringLiteral("HTTP"), "HttpFlag");
    HttpFlag->setFont(bold);
    HttpFlag->setFixedWidth(58);
    auto* sqlCaption = new QLabel(QStringLiteral("mySQL Traffic Export"), this);
    sqlCaption->setFont(bold);
    ProgressBar3 = new QProgressBar(this);
    ProgressBar3->setObjectName(QStringLiteral("ProgressBar3"));
    ProgressBar3->setFixedHeight(12);
    ProgressBar3->setToolTip(QStringLiteral("MySQL Export Aufruf"));
    ProgressBar3->setTextVisible(false);
    ProgressBar3->setRange(0, Core->ExportPeriodMs());
    ProgressBar3->setValue(0);
    MySqlFlag = MakeLabel(this, QStringLiteral("mySQL"), "MySqlFlag");
    MySqlFlag->setFont(bold);
    MySqlFlag->setFixedWidth(58);
    // The flags keep their room while hidden, so the bars do not jump when they show.
    for (QLabel* flag : {HttpFlag, MySqlFlag}) {
        QSizePolicy keep = flag->sizePolicy();
        keep.setRetainSizeWhenHidden(true);
        flag->setSizePolicy(keep);
        flag->hide();
    }
    auto* status = new QGridLayout;
    status->setVerticalSpacing(2);
    status->addWidget(httpCaption, 0, 0);
    status->addWidget(ProgressBar2, 1, 0);
    status->addWidget(HttpFlag, 1, 1);
    status->addWidget(sqlCaption, 2, 0);
    status->addWidget(ProgressBar3, 3, 0);
    status->addWidget(MySqlFlag, 3, 1);
    return status;
}

std::pair<QPlainTextEdit*, QLabel*> TMainForm::AddMemo(QVBoxLayout* column, const QString& caption, const char* name,
                                                      const char* lit, const QFont& bold)
{
    auto* label = new QLabel(caption, this);
    label->setFont(bold);
    // The lit picture lies over the one at rest.
    auto* lights = new QWidget(this);
    lights->setFixedSize(14, 14);
    auto* rest = new QLabel(lights);
    rest->setPixmap(RoundMark(QColor(110, 110, 110)));
    auto* light = MakeLabel(lights, QString(), lit);
    light->setPixmap(RoundMark(QColor(60, 230, 60)));
    light->hide();
    auto* memo = new QPlainTextEdit(this);
    memo->setObjectName(QString::fromLatin1(name));
    memo->setFixedSize(228, 54);
    memo->setReadOnly(true);
    memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* captionColumn = new QVBoxLayout;
    captionColumn->addWidget(label);
    captionColumn->addSpacing(2);
    captionColumn->addWidget(lights);
    captionColumn->addStretch(1);
    auto* row = new QHBoxLayout;
    row->addLayout(captionColumn, 1);
    row->addWidget(memo);
    column->addLayout(row);
    return std::pair{memo, light};
}

QHBoxLayout* TMainForm::BuildButtonRow()
{
    auto makeButton = [this](const QString& text) {
        auto* button = new QPushButton(text, this);
        button->setFixedSize(150, 28);
        return button;
    };
    auto* filterButton = makeButton(QStringLiteral("Netzwerk Konf."));
    connect(filterButton, &QPushButton::clicked, this, [this] { Filter->exec(); });
    auto* settingsButton = makeButton(QStringLiteral("Einstellungen"));
    connect(settingsButton, &QPushButton::clicked, this, [this] { Einstellungen->exec(); });
    auto* logButton = makeButton(QStringLiteral("Protokoll"));
    connect(logButton, &QPushButton::clicked, this, [this] {
        Protokoll->SetFilterAddress(std::string());
        Protokoll->Present();
    });
    auto* extra = makeButton(QStringLiteral("extra Funktionen"));
    extra->setObjectName(QStringLiteral("CoolPopupButton1"));
    PopupMenu2 = new QMenu(extra);
    PopupMenu2->setObjectName(QStringLiteral("PopupMenu2"));
    // Actions on the whole user table; the user grid carries them out.
    PopupMenu2->addAction(QStringLiteral("IP's entfernen mit <100 kB"), this,
                          [this] { Guard([this] { ProfGrid2->IPsentfernenmit100kB1Click(); }); });
    PopupMenu2->addAction(QStringLiteral("IP Traffic Counter auf 0 setzen"), this,
                          [this] { Guard([this] { ProfGrid2->IPTrafficCounterauf0setzen1Click(); }); });
    PopupMenu2->addAction(QStringLiteral("Alle Clients entfernen"), this,
                          [this] { Guard([this] { ProfGrid2->AlleClientsentfernen1Click(); }); });
    extra->setMenu(PopupMenu2);
    auto* quitButton = makeButton(QStringLiteral("Beenden"));
    connect(quitButton, &QPushButton::clicked, this, &QWidget::close);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    for (QPushButton* button : {filterButton, settingsButton, logButton, extra})
        buttons->addWidget(button);
    buttons->addStretch(1);
    buttons->addWidget(quitButton);
    return buttons;
}

QWidget* TMainForm::BuildRightColumn(QGridLayout* status, const QFont& bold)
{
    auto* rightPanel = new QWidget(this);
    rightPanel->setFixedWidth(RightColumnWidth);
    auto* right = new QVBoxLayout(rightPanel);
    right->setContentsMargins(0, 0, 0, 0);
    right->setSpacing(4);
    right->addLayout(status);
    std::tie(CoolMemo1, Image7) = AddMemo(right, QStringLiteral("Vexal In"), "CoolMemo1", "Image7", bold);
    std::tie(CoolMemo2, Image9) = AddMemo(right, QStringLiteral("Korvel In"), "CoolMemo2", "Image9", bold);

    // Port charts of the selected router.
    CoolLabel1 = MakeLabel(this, QString(), "CoolLabel1");
    CoolLabel1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    CoolLabel1->setFont(bold);
    auto portToolTip = [](const std::vector<TBar>& bars, std::size_t i) {
        return QStringLiteral("Port %1: %2 Bytes (%3 MB)")
            .arg(bars[i].Label, QString::number(bars[i].Value, 'f', 0),
                 QString::fromStdString(FormatMegabytes(bars[i].Value)));
    };
    Chart3 = new TBarChart(Qt::Vertical, QStringLiteral("Download je Port"), this);
    Chart3->setObjectName(QStringLiteral("Chart3"));
    Chart3->SetToolTipText(portToolTip);
    Chart2 = new TBarChart(Qt::Vertical, QStringLiteral("Upload je Port"), this);
    Chart2->setObjectName(QStringLiteral("Chart2"));
    Chart2->SetToolTipText(portToolTip);
    auto* flowsCaption = new QLabel(QStringLiteral("empfangene Router Flows"), this);
    flowsCaption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    right->addWidget(CoolLabel1);
    right->addWidget(Chart3, 1);
    right->addWidget(Chart2, 1);
    right->addWidget(flowsCaption);
    return rightPanel;
}

void TMainForm::BuildDiagnosticsWindow()
{
    // The diagnostic grid is for developers only: Ctrl+Shift+D shows it in a window.
    ProfGrid4 = MakeGrid(nullptr, "ProfGrid4", DiagModel, false);
    ProfGrid4->setParent(this, Qt::Window);
    ProfGrid4->setWindowTitle(QStringLiteral("Diagnose"));
    ProfGrid4->resize(320, 700);
    ProfGrid4->hide();
    auto* diagnostics = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+D")), this);
    connect(diagnostics, &QShortcut::activated, this, &TMainForm::ShowDiagnosticsWindow);
}

void TMainForm::FitGrids()
{
    ProfGrid2->FitColumns();
    FitColumnsToText(ProfGrid1, {TRouterGridModel::ColIP, TRouterGridModel::ColSequenz, TRouterGridModel::ColTime,
                                 TRouterGridModel::ColRecordCount, TRouterGridModel::ColUp,
                                 TRouterGridModel::ColDown},
                     TRouterGridModel::ColPLoss);
}

void TMainForm::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // More or fewer rows on screen: their widest texts decide.
    FitGrids();
}

TTimer& TMainForm::Timer(const QString& name) const
{
    return *findChild<TTimer*>(name);
}

void TMainForm::Guard(const std::function<void()>& body)
{
    // The collector reports what it catches as Error, which the error report shows.
    Core->Guard(body);
}

void TMainForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (ShownOnce)
        return;
    ShownOnce = true;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    Guard([this] { FormShow(); });
}

void TMainForm::FormShow()
{
    CoolLabel13->setText(FromStoreText(Daten.VersionText));
    Core->Start();
    TimerShowing->SetEnabled(true);
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    // The status line goes with the window: what the way out has to say (a last export
    // that could not be done) goes to the log as well.
    const QMetaObject::Connection toLog = connect(Core, &TCollector::StatusText, this, [](const QString& text) {
        if (!text.isEmpty())
            qWarning("%s", qUtf8Printable(text));
    });
    Core->Stop();
    disconnect(toLog);
    event->accept();
}

void TMainForm::ShowMemo(QPlainTextEdit* memo, const std::vector<std::string>& lines)
{
    QStringList text;
    for (const std::string& line : lines)
        text << FromStoreText(line);
    memo->setPlainText(text.join(QLatin1Char('\n')));
}

void TMainForm::TimerShowingTimer()
{
    const TLocalTime now = Clock();
    ShowProgress();
    ShowDiagnostics();
    ShowRouters();
    ShowUsers(now);
    ShowPorts();
    FitGrids();
    emit Refreshed();
}

void TMainForm::ShowProgress()
{
    auto advance = [](QProgressBar* bar) { bar->setValue(std::min(bar->maximum(), bar->value() + ShowingInterval)); };
    if (!Daten.HttpUrl.empty())
        advance(ProgressBar2);
    if (Daten.ExportEnabled)
        advance(ProgressBar3);
}

void TMainForm::ShowDiagnostics()
{
    for (const TDiagnosticRow& row : BuildDiagnosticRows(Daten)) {
        DiagModel->setData(DiagModel->index(row.Row, 0), FromStoreText(row.Name));
        DiagModel->setData(DiagModel->index(row.Row, 1), FromStoreText(row.Value));
    }
}

void TMainForm::ShowRouters()
{
    TRouterRows routers = BuildRouterRows(Daten);
    RouterModel->SetRowCount(routers.Count);
    for (std::size_t i = 0; i < routers.Rows.size(); ++i)
        RouterModel->Row(i) = std::move(routers.Rows[i]);
    RouterModel->RowsWritten();
    if (routers.Complete)
        CoolLabel2->setText(QStringLiteral("Upload = %1 MB Download = %2 MB")
                                .arg(QString::fromStdString(FormatMegabytes(static_cast<double>(routers.TotalUpload))),
                                     QString::fromStdString(FormatMegabytes(static_cast<double>(routers.TotalDownload)))));
    else
        Label2->setText(QStringLiteral("Fehler Tabelle Router"));
    Chart1->SetBars(std::move(routers.Bars));
}

void TMainForm::ShowUsers(const TLocalTime& now)
{
    TUserGridModel& users = ProfGrid2->Model();
    const TUserRowsOutcome outcome = UserFeed.Show(Daten, now, CoolCheckRadioBox1->isChecked(), users);
    ProfGrid2->ShowLimits();
    if (outcome.Complete)
        CoolLabel7->setText(QStringLiteral("%1/%2 User").arg(outcome.Shown).arg(Daten.UserIP.size()));
    else
        Label2->setText(QStringLiteral("Fehler2"));
}

void TMainForm::ShowPorts()
{
    try {
        CoolLabel1->clear();
        const std::optional<TPortBars> ports = BuildPortBars(Daten, SelectedRouter);
        if (!ports) {
            // No router chosen: the upload chart empties, the download chart keeps its bars.
            Chart2->Clear();
            return;
        }
        CoolLabel1->setText(FromStoreText(ports->Router));
        Chart2->SetBars(ports->Upload);
        Chart3->SetBars(ports->Download);
    } catch (const std::exception&) {
        Chart2->Clear();
        Label2->setText(QStringLiteral("Fehler"));
    }
}

void TMainForm::ShowDiagnosticsWindow()
{
    ProfGrid4->show();
    ProfGrid4->raise();
}
