#include "TFormProtokoll.h"

#include "TBarChart.h"
#include "TDaten.h"
#include "Errors.h"
#include "GridStyle.h"
#include "TErrorReport.h"
#include "TTimer.h"
#include "StoreText.h"
#include "TextForms.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace {
constexpr std::int64_t KiloByte = 1024;
constexpr std::int64_t MegaByte = 1024 * 1024;

QString PlayingCaption(bool on)
{
    return on ? QStringLiteral("Playing ...") : QStringLiteral("Auto Refresh");
}

// A port text of the flow log as an index into the port totals.
std::size_t PortSlot(const std::string& text)
{
    const std::int64_t port = StrToInt64(text);
    if (port < 0 || port >= static_cast<std::int64_t>(TFormProtokoll::PortSlots))
        throw EConvertError("'" + text + "' ist keine gültige Portnummer");
    return static_cast<std::size_t>(port);
}
}

TFormProtokoll::TFormProtokoll(TDaten& daten, TErrorReport& errors, QWidget* parent)
    : QWidget(parent, Qt::Window), Daten(daten), Errors(errors), PortTotals(PortSlots, 0)
{
    setObjectName(QStringLiteral("FormProtokoll"));
    setWindowTitle(QStringLiteral("Protokoll"));
    resize(1400, 620);

    auto* filterCaption = new QLabel(QStringLiteral("MAC Adress Filter:"), this);
    FilterLabel = new QLabel(this);
    FilterLabel->setObjectName(QStringLiteral("FilterLabel"));
    QFont bold = FilterLabel->font();
    bold.setBold(true);
    FilterLabel->setFont(bold);

    Model = new TFlowLogModel(this);
    FlowGrid = MakeGrid(this, "FlowGrid", Model, false);
    // The address columns hold the longest IPv6 text in full, in the bold font of local
    // addresses, whatever font the desktop gives.
    QFont boldCell = FlowGrid->font();
    boldCell.setBold(true);
    const int address = std::max(
        150, QFontMetrics(boldCell).horizontalAdvance(QStringLiteral("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff")) + 16);
    const int widths[] = {address, 80, address, 80, 100};
    int gridWidth = 24;
    for (int c = 0; c < TFlowLogModel::ColumnCount; ++c) {
        FlowGrid->setColumnWidth(c, widths[c]);
        gridWidth += widths[c];
    }
    FlowGrid->setFixedWidth(gridWidth);

    auto* chartCaption = new QLabel(QStringLiteral("Traffic auf Ports verteilt (>1 KB):"), this);
    chartCaption->setFont(bold);
    PortChart = new TBarChart(Qt::Horizontal, QString(), this);
    PortChart->setObjectName(QStringLiteral("PortChart"));
    PortChart->SetValueTitle(QStringLiteral("in KByte"));

    RefreshButton = new QPushButton(PlayingCaption(false), this);
    RefreshButton->setObjectName(QStringLiteral("RefreshButton"));
    VerlaufButton = new QPushButton(QStringLiteral("Verlauf"), this);
    VerlaufButton->setObjectName(QStringLiteral("VerlaufButton"));
    auto* closeButton = new QPushButton(QStringLiteral("Beenden"), this);
    closeButton->setObjectName(QStringLiteral("CloseButton"));
    Timer1 = new TTimer(RefreshInterval, this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    connect(Timer1, &TTimer::Timeout, this, &TFormProtokoll::Refresh);
    connect(RefreshButton, &QPushButton::clicked, this, &TFormProtokoll::CoolBtn2Click);
    connect(VerlaufButton, &QPushButton::clicked, this, &TFormProtokoll::VerlaufClick);
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);

    auto* top = new QHBoxLayout;
    top->addWidget(filterCaption);
    top->addWidget(FilterLabel, 1);
    auto* chartColumn = new QVBoxLayout;
    chartColumn->addWidget(chartCaption);
    chartColumn->addWidget(PortChart, 1);
    auto* middle = new QHBoxLayout;
    middle->addWidget(FlowGrid);
    middle->addLayout(chartColumn, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(RefreshButton);
    buttons->addWidget(VerlaufButton);
    buttons->addStretch(1);
    buttons->addWidget(closeButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(middle, 1);
    layout->addLayout(buttons);
}

void TFormProtokoll::SetFilterAddress(const std::string& address)
{
    Filter = address;
    FilterLabel->setText(FromStoreText(address));
    // An open window lists what its filter label says at once, not at a later refresh
    // (which never comes while automatic refresh is off); a hidden one refreshes when
    // it is shown.
    if (isVisible())
        Refresh();
}

std::optional<TIpAddress> TFormProtokoll::DeviceAddress(const std::string& text)
{
    if (text.find(':') == std::string::npos)
        return std::nullopt;
    return TIpAddress::ParseV6(text);
}

bool TFormProtokoll::IsLocal(const std::string& address) const
{
    if (Daten.IsLocalAddress(address))
        return true;
    // An IPv6 address of a device is local wherever its prefix lies: the router said so.
    const std::optional<TIpAddress> v6 = DeviceAddress(address);
    return v6 && Daten.IPv6User(*v6) >= 0;
}

bool TFormProtokoll::OfFilter(const std::string& address) const
{
    if (address == Filter)
        return true;
    const std::optional<TIpAddress> v6 = FilterRow >= 0 ? DeviceAddress(address) : std::nullopt;
    return v6 && Daten.IPv6User(*v6) == FilterRow;
}

bool TFormProtokoll::AutoRefresh() const
{
    return Timer1->Enabled();
}

void TFormProtokoll::SetAutoRefresh(bool on)
{
    Timer1->SetEnabled(on);
    RefreshButton->setText(PlayingCaption(on));
}

void TFormProtokoll::CoolBtn2Click()
{
    SetAutoRefresh(!AutoRefresh());
}

void TFormProtokoll::ClearGrid()
{
    Model->Clear();
}

void TFormProtokoll::Present()
{
    show();
    raise();
    activateWindow();
}

void TFormProtokoll::PresentFor(const std::string& address)
{
    SetAutoRefresh(true);
    ClearGrid();
    SetFilterAddress(address);
    Present();
}

int TFormProtokoll::UserOf(const std::string& address) const
{
    if (address.empty())
        return -1;
    const int row = Daten.UserIP.IndexOf(address);
    if (row >= 0)
        return row;
    const std::optional<TIpAddress> v6 = DeviceAddress(address);
    return v6 ? Daten.IPv6User(*v6) : -1;
}

void TFormProtokoll::VerlaufClick()
{
    int user = -1;
    const QModelIndexList selected = FlowGrid->selectionModel()->selectedRows();
    const auto& rows = Model->Rows();
    if (!selected.isEmpty() && static_cast<std::size_t>(selected.front().row()) < rows.size()) {
        // The flow's local side: the filter's device when the flow is one of its own,
        // else the source before the destination.
        const TFlowLogRow& flow = rows[static_cast<std::size_t>(selected.front().row())];
        const int filtered = UserOf(Filter);
        for (const QString& address : {flow.SrcIP, flow.DstIP}) {
            const int of = UserOf(address.toStdString());
            if (of >= 0 && of == filtered) {
                user = of;
                break;
            }
        }
        if (user < 0) {
            if (flow.SrcLocal)
                user = UserOf(flow.SrcIP.toStdString());
            if (user < 0 && flow.DstLocal)
                user = UserOf(flow.DstIP.toStdString());
        }
    } else {
        user = UserOf(Filter);
    }
    if (user < 0)
        return;
    const auto row = static_cast<std::size_t>(user);
    emit HistoryRequested(Daten.UserIP[row], Daten.UserMAC[row]);
}

void TFormProtokoll::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Refresh();
}

void TFormProtokoll::closeEvent(QCloseEvent* event)
{
    SetAutoRefresh(false);
    event->accept();
}

void TFormProtokoll::Refresh()
{
    // The filter names a user by its key; the device's IPv6 addresses are its flows too.
    FilterRow = Filter.empty() ? -1 : Daten.UserIP.IndexOf(Filter);
    const std::size_t entries = Daten.FlowLogTraffic.size();
    std::vector<TFlowLogRow> rows;
    std::fill(PortTotals.begin(), PortTotals.end(), 0);
    try {
        for (std::size_t k = 0; k < entries; ++k) {
            const std::size_t e = entries - 1 - k;
            const std::string& src = Daten.FlowLogSrcIP[e];
            const std::string& dst = Daten.FlowLogDstIP[e];
            if (!Filter.empty() && !OfFilter(src) && !OfFilter(dst))
                continue;
            TFlowLogRow& row = rows.emplace_back();
            row.SrcIP = FromStoreText(src);
            row.SrcPort = FromStoreText(Daten.FlowLogSrcPort[e]);
            row.DstIP = FromStoreText(dst);
            row.DstPort = FromStoreText(Daten.FlowLogDstPort[e]);
            const double octets = StrToFloat(Daten.FlowLogTraffic[e]);
            if (octets > 0)
                row.Traffic = QString::number(octets / 1024, 'f', 2) + QStringLiteral(" kB");
            row.SrcLocal = IsLocal(src);
            row.DstLocal = IsLocal(dst);
            // Per port of the remote side: octets of local addresses (or of the one in
            // the filter), 64-bit so a large flow is charted rather than an error.
            if (row.SrcLocal && (Filter.empty() || OfFilter(src)))
                PortTotals[PortSlot(Daten.FlowLogDstPort[e])] += StrToInt64(Daten.FlowLogTraffic[e]);
            if (row.DstLocal && (Filter.empty() || OfFilter(dst)))
                PortTotals[PortSlot(Daten.FlowLogSrcPort[e])] += StrToInt64(Daten.FlowLogTraffic[e]);
        }
    } catch (const EVexalError& error) {
        Model->SetRows(std::move(rows), entries);
        PortChart->Clear();
        if (error.what() != LastError) {
            LastError = error.what();
            Errors.Report(QString::fromUtf8(error.what()));
        }
        return;
    }
    LastError.clear();
    Model->SetRows(std::move(rows), entries);

    std::vector<TBar> bars;
    for (std::size_t port = 0; port < PortSlots; ++port) {
        const std::int64_t total = PortTotals[port];
        if (total > MegaByte)
            bars.push_back({static_cast<double>(total / KiloByte), QString::number(port), QColor(Qt::red)});
        else if (total > KiloByte)
            bars.push_back({static_cast<double>(total / KiloByte), QString::number(port), QColor(Qt::blue)});
    }
    PortChart->SetBars(std::move(bars));
}
