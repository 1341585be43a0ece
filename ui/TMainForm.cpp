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
#include "TLocalHistory.h"
#include "TRouterGridModel.h"
#include "TTimer.h"
#include "TUdpListener.h"
#include "TUserGridModel.h"
#include "Errors.h"
#include "TextForms.h"
#include "UserAges.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStandardItemModel>
#include <QStyledItemDelegate>
#include <QTableView>

#include <algorithm>
#include <climits>
#include <memory>

namespace {
constexpr int ShowingInterval = 750;
constexpr int GetNameInterval = TCollector::GetNameInterval;
constexpr int ArrivalInterval = 100;

const QColor Blue(0, 0, 255);
const QColor Green(0, 128, 0);

QString Q(const std::string& text)
{
    return TUserGridModel::Text(text);
}

// The export period in milliseconds, kept within what a timer and a progress bar hold.
int ExportPeriodMs(std::int32_t seconds)
{
    return static_cast<int>(std::clamp<std::int64_t>(std::int64_t{seconds} * 1000, 0, INT_MAX));
}

// The status picture of the user grid sits at the right edge of the address cell.
class TDecorationRightDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        option->decorationPosition = QStyleOptionViewItem::Right;
    }
};

QLabel* MakeLabel(QWidget* parent, const QString& text, const QRect& geometry, const char* name = nullptr)
{
    auto* label = new QLabel(text, parent);
    label->setGeometry(geometry);
    if (name)
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
    TimerMySQLExport = &Core->ExportTimer();

    auto makeTimer = [this](const char* name, int interval, void (TMainForm::*tick)(), bool singleShot = false) {
        auto* timer = new TTimer(interval, this, singleShot);
        timer->setObjectName(QString::fromLatin1(name));
        if (tick)
            connect(timer, &TTimer::Timeout, this, [this, tick] { Guard([this, tick] { (this->*tick)(); }); });
        return timer;
    };
    TimerShowing = makeTimer("TimerShowing", ShowingInterval, &TMainForm::TimerShowingTimer);
    FlowArrivalTimer = makeTimer("FlowArrivalTimer", ArrivalInterval, nullptr, true);
    MacArrivalTimer = makeTimer("MacArrivalTimer", ArrivalInterval, nullptr, true);
    MemoRefresh = makeTimer("MemoRefresh", 50, nullptr, true);

    Errors = new TErrorReport(this);
    UserModel = new TUserGridModel(this);
    RouterModel = new TRouterGridModel(this);
    DiagModel = new QStandardItemModel(60, 2, this);
    BuildLayout();
    // The other windows exist from the start and are shown on demand.
    Einstellungen = new TFormEinstellungen(Daten, this, Core);
    Protokoll = new TFormProtokoll(Daten, *Errors, this);
    Filter = new TFormFilter(Daten, this);
    Verlauf = new TFormVerlauf(this);
    PopupMenu1->addAction(QStringLiteral("Verlauf"), this, [this] { Guard([this] { VerlaufClick(); }); });

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
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::CustomizeWindowHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    setFixedSize(1038, 713);
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, QColor(222, 230, 240));
    setPalette(background);

    // Title strip.
    auto* heading = MakeLabel(this, QStringLiteral("Vexal Collector / Export"), QRect(10, 6, 300, 30));
    QFont headingFont = heading->font();
    headingFont.setPointSize(15);
    headingFont.setBold(true);
    heading->setFont(headingFont);
    Label2 = MakeLabel(this, QString(), QRect(320, 6, 470, 30), "Label2");
    Label2->setWordWrap(true);
    QFont bold = Label2->font();
    bold.setBold(true);
    Label2->setFont(bold);
    Label2->setStyleSheet(QStringLiteral("color: rgb(139, 0, 0);"));
    MakeLabel(this, QStringLiteral("NetFlow v5 & Korvel"), QRect(800, 2, 228, 18))->setAlignment(Qt::AlignRight);
    CoolLabel13 = MakeLabel(this, QString(), QRect(800, 20, 228, 18), "CoolLabel13");
    CoolLabel13->setAlignment(Qt::AlignRight);

    // Users, left.
    CoolCheckRadioBox1 = new QCheckBox(QStringLiteral("nur Online User"), this);
    CoolCheckRadioBox1->setObjectName(QStringLiteral("CoolCheckRadioBox1"));
    CoolCheckRadioBox1->setGeometry(10, 44, 200, 22);
    CoolCheckRadioBox1->setChecked(true);
    CoolCheckRadioBox1->setIcon(StatusIcon(true));
    CoolLabel7 = MakeLabel(this, QString(), QRect(500, 44, 200, 22), "CoolLabel7");
    CoolLabel7->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ProfGrid2 = MakeGrid(this, "ProfGrid2", UserModel, true);
    ProfGrid2->setGeometry(10, 68, 690, 370);
    ProfGrid2->setItemDelegateForColumn(TUserGridModel::ColIP, new TDecorationRightDelegate(ProfGrid2));
    // The address column is a little wider than its text for the status mark and the
    // count of the device's IPv6 addresses ("+3").
    const int userWidths[] = {124, 108, 80, 88, 80, 80, 0, 40, 0, 0, 70};
    for (int c = 0; c < TUserGridModel::ColumnCount; ++c) {
        ProfGrid2->setColumnWidth(c, userWidths[c]);
        ProfGrid2->setColumnHidden(c, userWidths[c] == 0);
    }
    ProfGrid2->setSortingEnabled(true);
    ProfGrid2->horizontalHeader()->setSortIndicator(TUserGridModel::ColDL, Qt::DescendingOrder);

    // Routers and totals, bottom left.
    auto* totalsCaption = MakeLabel(this, QStringLiteral("Gesamt Router:"), QRect(10, 442, 108, 20));
    totalsCaption->setFont(bold);
    CoolLabel2 = MakeLabel(this, QString(), QRect(120, 442, 580, 20), "CoolLabel2");
    ProfGrid1 = MakeGrid(this, "ProfGrid1", RouterModel, true);
    ProfGrid1->setGeometry(10, 464, 690, 96);
    const int routerWidths[] = {100, 60, 70, 55, 80, 80, 75};
    for (int c = 0; c < TRouterGridModel::ColumnCount; ++c)
        ProfGrid1->setColumnWidth(c, routerWidths[c]);
    ProfGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(ProfGrid1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid())
                    SelectedRouter = current.row();
            });
    Chart1 = new TBarChart(Qt::Vertical, QString(), this);
    Chart1->setObjectName(QStringLiteral("Chart1"));
    Chart1->setGeometry(10, 562, 690, 108);

    // Status panel, right top.
    auto* httpCaption = MakeLabel(this, QStringLiteral("HTTP Username Import"), QRect(712, 44, 200, 18));
    httpCaption->setFont(bold);
    ProgressBar2 = new QProgressBar(this);
    ProgressBar2->setObjectName(QStringLiteral("ProgressBar2"));
    ProgressBar2->setGeometry(712, 62, 250, 12);
    ProgressBar2->setToolTip(QStringLiteral("HTTP Usernames Import"));
    ProgressBar2->setTextVisible(false);
    ProgressBar2->setRange(0, GetNameInterval);
    ProgressBar2->setValue(0);
    HttpFlag = MakeLabel(this, QStringLiteral("HTTP"), QRect(970, 58, 58, 20), "HttpFlag");
    HttpFlag->setFont(bold);
    HttpFlag->hide();
    auto* sqlCaption = MakeLabel(this, QStringLiteral("mySQL Traffic Export"), QRect(712, 78, 200, 18));
    sqlCaption->setFont(bold);
    ProgressBar3 = new QProgressBar(this);
    ProgressBar3->setObjectName(QStringLiteral("ProgressBar3"));
    ProgressBar3->setGeometry(712, 96, 250, 12);
    ProgressBar3->setToolTip(QStringLiteral("MySQL Export Aufruf"));
    ProgressBar3->setTextVisible(false);
    ProgressBar3->setRange(0, TimerMySQLExport->Interval());
    ProgressBar3->setValue(0);
    MySqlFlag = MakeLabel(this, QStringLiteral("mySQL"), QRect(970, 92, 58, 20), "MySqlFlag");
    MySqlFlag->setFont(bold);
    MySqlFlag->hide();

    // The two incoming memos with their arrival lights.
    auto makeMemo = [this, &bold](const QString& caption, int y, const char* name, const char* lit) {
        MakeLabel(this, caption, QRect(712, y, 90, 18))->setFont(bold);
        auto* rest = MakeLabel(this, QString(), QRect(716, y + 22, 14, 14));
        rest->setPixmap(RoundMark(QColor(110, 110, 110)));
        auto* light = MakeLabel(this, QString(), QRect(716, y + 22, 14, 14), lit);
        light->setPixmap(RoundMark(QColor(60, 230, 60)));
        light->hide();
        auto* memo = new QPlainTextEdit(this);
        memo->setObjectName(QString::fromLatin1(name));
        memo->setGeometry(800, y, 228, 54);
        memo->setReadOnly(true);
        memo->setLineWrapMode(QPlainTextEdit::NoWrap);
        memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        return std::pair{memo, light};
    };
    std::tie(CoolMemo1, Image7) = makeMemo(QStringLiteral("Vexal In"), 116, "CoolMemo1", "Image7");
    std::tie(CoolMemo2, Image9) = makeMemo(QStringLiteral("Korvel In"), 174, "CoolMemo2", "Image9");

    // Port charts of the selected router, right.
    CoolLabel1 = MakeLabel(this, QString(), QRect(712, 232, 316, 18), "CoolLabel1");
    CoolLabel1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    CoolLabel1->setFont(bold);
    Chart3 = new TBarChart(Qt::Vertical, QStringLiteral("Download je Port"), this);
    Chart3->setObjectName(QStringLiteral("Chart3"));
    Chart3->setGeometry(712, 252, 316, 198);
    Chart2 = new TBarChart(Qt::Vertical, QStringLiteral("Upload je Port"), this);
    Chart2->setObjectName(QStringLiteral("Chart2"));
    Chart2->setGeometry(712, 452, 316, 198);
    auto* flowsCaption = MakeLabel(this, QStringLiteral("empfangene Router Flows"), QRect(712, 652, 316, 18));
    flowsCaption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    // Buttons.
    auto makeButton = [this](const QString& text, int x) {
        auto* button = new QPushButton(text, this);
        button->setGeometry(x, 676, 150, 28);
        return button;
    };
    connect(makeButton(QStringLiteral("Netzwerk Konf."), 10), &QPushButton::clicked, this, [this] { Filter->exec(); });
    connect(makeButton(QStringLiteral("Einstellungen"), 170), &QPushButton::clicked, this,
            [this] { Einstellungen->exec(); });
    connect(makeButton(QStringLiteral("Protokoll"), 330), &QPushButton::clicked, this, [this] {
        Protokoll->SetFilterAddress(std::string());
        Protokoll->Present();
    });
    auto* extra = makeButton(QStringLiteral("extra Funktionen"), 490);
    extra->setObjectName(QStringLiteral("CoolPopupButton1"));
    PopupMenu2 = new QMenu(extra);
    PopupMenu2->setObjectName(QStringLiteral("PopupMenu2"));
    PopupMenu2->addAction(QStringLiteral("IP's entfernen mit <100 kB"), this, [this] { Guard([this] { IPsentfernenmit100kB1Click(); }); });
    PopupMenu2->addAction(QStringLiteral("IP Traffic Counter auf 0 setzen"), this,
                          [this] { Guard([this] { IPTrafficCounterauf0setzen1Click(); }); });
    PopupMenu2->addAction(QStringLiteral("Alle Clients entfernen"), this, [this] { Guard([this] { AlleClientsentfernen1Click(); }); });
    extra->setMenu(PopupMenu2);
    PopupMenu1 = new QMenu(ProfGrid2);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->addAction(QStringLiteral("Diese IP entfernen"), this, [this] { Guard([this] { DieseIPentfernen1Click(); }); });
    ProfGrid2->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ProfGrid2, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(ProfGrid2->viewport()->mapToGlobal(at)); });
    connect(ProfGrid2, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& clicked) { Guard([&] { ProfGrid2DblClick(clicked); }); });
    connect(makeButton(QStringLiteral("Beenden"), 878), &QPushButton::clicked, this, &QWidget::close);

    // The diagnostic grid is for developers only: Ctrl+Shift+D shows it in a window.
    ProfGrid4 = MakeGrid(nullptr, "ProfGrid4", DiagModel, false);
    ProfGrid4->setParent(this, Qt::Window);
    ProfGrid4->setWindowTitle(QStringLiteral("Diagnose"));
    ProfGrid4->resize(320, 700);
    ProfGrid4->hide();
    auto* diagnostics = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+D")), this);
    connect(diagnostics, &QShortcut::activated, this, &TMainForm::ShowDiagnosticsWindow);

    CoolMemo1->clear();
    CoolMemo2->clear();
    Label2->clear();
    CoolLabel1->clear();
    CoolLabel2->clear();
    CoolLabel7->clear();
}

TTimer& TMainForm::Timer(const QString& name) const
{
    return *findChild<TTimer*>(name);
}

void TMainForm::Guard(const std::function<void()>& body)
{
    try {
        body();
    } catch (const std::exception& error) {
        Errors->Report(QString::fromUtf8(error.what()));
    }
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
    CoolLabel13->setText(Q(Daten.VersionText));
    Core->Start();
    ProgressBar3->setRange(0, ExportPeriodMs(Daten.ExportInterval));
    ProgressBar3->setValue(0);
    TimerShowing->SetEnabled(true);
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    Core->Stop();
    event->accept();
}

void TMainForm::ShowMemo(QPlainTextEdit* memo, const std::vector<std::string>& lines)
{
    QStringList text;
    for (const std::string& line : lines)
        text << Q(line);
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
    auto set = [this](int row, const QString& name, const QString& value) {
        DiagModel->setData(DiagModel->index(row, 0), name);
        DiagModel->setData(DiagModel->index(row, 1), value);
    };
    auto count = [](std::size_t n) { return QString::number(n); };
    const TDaten& d = Daten;
    set(6, QString(), QString());
    const std::pair<const char*, std::size_t> users[] = {
        {"UserCDL", d.UserCDL.size()}, {"UserCPort", d.UserCPort.size()}, {"UserCUL", d.UserCUL.size()},
        {"UserDL", d.UserDL.size()}, {"UserIP", d.UserIP.size()}, {"UserLastTime", d.UserLastTime.size()},
        {"UserMAC", d.UserMAC.size()}, {"UserName", d.UserName.size()}, {"UserStatus", d.UserStatus.size()},
        {"UserUL", d.UserUL.size()}};
    int row = 7;
    for (const auto& [name, n] : users)
        set(row++, QString::fromLatin1(name), count(n));
    set(17, QString(), QString());
    const std::pair<const char*, std::size_t> routers[] = {
        {"RouterDownload", d.RouterDownload.size()}, {"RouterRecordCount", d.RouterRecordCount.size()},
        {"RouterSequenz", d.RouterSequenz.size()}, {"RouterIP", d.RouterIP.size()},
        {"RouterPLoss", d.RouterPLoss.size()}, {"RouterPortTrafficDL", d.RouterPortTrafficDL.size()},
        {"RouterPortTrafficUL", d.RouterPortTrafficUL.size()}, {"RouterRefresh", d.RouterRefresh.size()},
        {"RouterTime", d.RouterTime.size()}, {"RouterUpload", d.RouterUpload.size()}};
    row = 18;
    for (const auto& [name, n] : routers)
        set(row++, QString::fromLatin1(name), count(n));
    set(28, QString(), QString());
    set(31, QString(), QString());
    if (!d.RouterDownload.empty())
        set(32, QStringLiteral("RouterDownload"), Q(d.RouterDownload.front()));
    if (!d.RouterUpload.empty())
        set(33, QStringLiteral("RouterUpload"), Q(d.RouterUpload.front()));
}

void TMainForm::ShowRouters()
{
    std::vector<TBar> bars;
    try {
        std::int64_t totalUp = 0;
        std::int64_t totalDown = 0;
        const std::size_t n = Daten.RouterIP.size();
        RouterModel->SetRowCount(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t up = StrToInt64(Daten.RouterUpload.at(i));
            const std::int64_t down = StrToInt64(Daten.RouterDownload.at(i));
            TRouterGridRow& row = RouterModel->Row(i);
            row.IP = Daten.RouterIP[i];
            row.Sequenz = Daten.RouterSequenz.at(i);
            row.Time = Daten.RouterTime.at(i);
            row.RecordCount = Daten.RouterRecordCount.at(i);
            row.Upload = up;
            row.Download = down;
            row.PLoss = Daten.RouterPLoss.at(i);
            bars.push_back({static_cast<double>(up), Q(Daten.RouterIP[i]), Blue});
            bars.push_back({static_cast<double>(down), QString::number(down / 1024 / 1024) + QStringLiteral(".00"), Green});
            if (__builtin_add_overflow(totalUp, up, &totalUp) || __builtin_add_overflow(totalDown, down, &totalDown))
                throw std::overflow_error("Summe der Router zu groß");
        }
        RouterModel->RowsWritten();
        CoolLabel2->setText(QStringLiteral("Upload = %1 MB Download = %2 MB")
                                .arg(QString::fromStdString(FormatMegabytes(static_cast<double>(totalUp))),
                                     QString::fromStdString(FormatMegabytes(static_cast<double>(totalDown)))));
    } catch (const std::exception&) {
        RouterModel->RowsWritten();
        Label2->setText(QStringLiteral("Fehler Tabelle Router"));
    }
    Chart1->SetBars(std::move(bars));
}

void TMainForm::ShowUsers(const TLocalTime& now)
{
    TDaten& d = Daten;
    const bool onlineOnly = CoolCheckRadioBox1->isChecked();
    std::vector<TUserGridRow>& rows = UserModel->Scratch();
    std::size_t shown = 0;
    try {
        const std::size_t n = d.UserMAC.size();
        for (std::size_t i = 0; i < n; ++i) {
            const int band = FlowAgeBand(StampAge(d.UserLastTime.at(i), now));
            const std::string& ip = d.UserIP[i];
            bool visible = !d.IsHiddenAddress(ip);
            const bool online = OnlineByAge(StampAge(d.UserMACTime.at(i), now));
            d.UserStatus.at(i) = online ? "1" : "0";
            if (onlineOnly && visible)
                visible = online;
            if (!visible)
                continue;
            if (rows.size() <= shown)
                rows.resize(shown + 1);
            TUserGridRow& row = rows[shown];
            row.UL = StrToFloat(d.UserUL.at(i));
            row.DL = StrToFloat(d.UserDL.at(i));
            row.CUL = StrToFloat(d.UserCUL.at(i));
            row.CDL = StrToFloat(d.UserCDL.at(i));
            row.CULIsZero = d.UserCUL[i] == "0";
            row.CDLIsZero = d.UserCDL[i] == "0";
            row.IP = ip;
            row.MAC = d.UserMAC[i];
            row.CPort = d.UserCPort.at(i).ToText();
            row.Device = d.UserDevice.at(i);
            row.Name = d.UserName.at(i);
            row.Online = online;
            row.Band = band;
            row.IPv6.clear();
            for (const TUserAlias& alias : d.UserIPv6[i])
                if (!alias.Own)
                    row.IPv6.push_back(alias.Address);
            ++shown;
        }
        UserModel->Commit(shown, true);
        CoolLabel7->setText(QStringLiteral("%1/%2 User").arg(shown).arg(d.UserIP.size()));
    } catch (const std::exception&) {
        UserModel->Commit(shown, false);
        Label2->setText(QStringLiteral("Fehler2"));
    }
}

void TMainForm::ShowPorts()
{
    try {
        CoolLabel1->clear();
        if (SelectedRouter < 0 || static_cast<std::size_t>(SelectedRouter) >= Daten.RouterIP.size()) {
            // No router chosen: the upload chart empties, the download chart keeps its bars.
            Chart2->Clear();
            return;
        }
        const auto router = static_cast<std::size_t>(SelectedRouter);
        CoolLabel1->setText(Q(Daten.RouterIP[router]));
        auto barsOf = [](const TPortList& list, const QColor& colour) {
            std::vector<TBar> bars;
            bars.reserve(list.Count());
            for (const TPortEntry& entry : list.Entries())
                bars.push_back({static_cast<double>(entry.Octets), QString::number(entry.Port), colour});
            return bars;
        };
        Chart2->SetBars(barsOf(Daten.RouterPortTrafficUL.at(router), Blue));
        Chart3->SetBars(barsOf(Daten.RouterPortTrafficDL.at(router), Green));
    } catch (const std::exception&) {
        Chart2->Clear();
        Label2->setText(QStringLiteral("Fehler"));
    }
}

std::vector<int> TMainForm::SelectedUserRows() const
{
    std::vector<int> rows;
    for (const QItemSelectionRange& range : ProfGrid2->selectionModel()->selection())
        for (int row = range.top(); row <= range.bottom(); ++row)
            if (std::find(rows.begin(), rows.end(), row) == rows.end())
                rows.push_back(row);
    return rows;
}

std::vector<std::string> TMainForm::SelectedUserAddresses() const
{
    std::vector<std::string> addresses;
    const auto& shown = UserModel->Rows();
    for (int row : SelectedUserRows())
        if (static_cast<std::size_t>(row) < shown.size())
            addresses.push_back(shown[static_cast<std::size_t>(row)].IP);
    return addresses;
}

namespace {
const QString MessageTitle = QStringLiteral("Vexal Capture");
}

void TMainForm::DieseIPentfernen1Click()
{
    // The users selected now, when the question names them: ticks go on while it is
    // open and may move the rows, but the answer is about these users.
    const std::vector<std::string> addresses = SelectedUserAddresses();
    if (addresses.empty())
        return;
    if (QMessageBox::warning(this, MessageTitle,
                             QStringLiteral("Wollen Sie wirklich diese IP entfernen?\n") + Q(addresses.front()),
                             QMessageBox::Yes | QMessageBox::No)
        != QMessageBox::Yes)
        return;
    Core->UserAction([&] { Daten.RemoveUsersWithAddress(addresses); });
}

void TMainForm::IPsentfernenmit100kB1Click()
{
    try {
        Core->UserAction([this] { Daten.RemoveLowTrafficUsers(100 * 1024); });
    } catch (const EVexalError& error) {
        // Only a damaged counter gets here; the users removed before it stay removed.
        Errors->Report(QString::fromUtf8(error.what()));
        return;
    }
    QMessageBox::information(this, MessageTitle,
                             QStringLiteral("Alle IPs mit weniger Traffic als 100 kB wurden aus der Liste \nentfernt!"));
}

void TMainForm::IPTrafficCounterauf0setzen1Click()
{
    Core->UserAction([this] { Daten.ResetUserTotals(); });
    QMessageBox::information(this, MessageTitle, QStringLiteral("Traffic wurde auf 0 zurückgesetzt!"));
}

void TMainForm::AlleClientsentfernen1Click()
{
    Core->UserAction([this] { Daten.ClearUsers(); });
    QMessageBox::information(this, MessageTitle, QStringLiteral("Alle Clients wurden entfernt!"));
}

void TMainForm::ProfGrid2DblClick(const QModelIndex& clicked)
{
    // The user whose row was double-clicked; without a click (the keyboard, a test)
    // the first selected one.
    std::string address;
    const auto& shown = UserModel->Rows();
    if (clicked.isValid() && static_cast<std::size_t>(clicked.row()) < shown.size()) {
        address = shown[static_cast<std::size_t>(clicked.row())].IP;
    } else {
        const std::vector<std::string> selected = SelectedUserAddresses();
        if (selected.empty())
            return;
        address = selected.front();
    }
    Protokoll->SetAutoRefresh(true);
    Protokoll->ClearGrid();
    Protokoll->SetFilterAddress(address);
    Protokoll->Present();
}

void TMainForm::VerlaufClick()
{
    const std::vector<int> selected = SelectedUserRows();
    const auto& shown = UserModel->Rows();
    if (selected.empty() || static_cast<std::size_t>(selected.front()) >= shown.size())
        return;
    const TUserGridRow& row = shown[static_cast<std::size_t>(selected.front())];
    // What is counted up to now is in the file before the window reads it.
    if (TLocalHistory* history = Core->LocalHistory()) {
        Core->RecordHistory();
        history->WaitForWrites();
    }
    const QString path = Core->LocalHistory() ? Core->LocalHistory()->Path()
                                              : QString::fromUtf8(TLocalHistory::DefaultFileName);
    Verlauf->ShowDevice(path, row.IP, row.MAC, Clock());
    Verlauf->show();
    Verlauf->raise();
}

void TMainForm::ShowDiagnosticsWindow()
{
    ProfGrid4->show();
    ProfGrid4->raise();
}
