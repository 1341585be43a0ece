#include "TUserGrid.h"

#include "GridStyle.h"
#include "StoreText.h"
#include "TCollector.h"
#include "TDaten.h"
#include "LimitCrossing.h"
#include "TDeviceLimits.h"
#include "TFormVolumenlimit.h"
#include "TUserGridModel.h"
#include "UserGridColumns.h"

#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>

#include <algorithm>

namespace {
const QString MessageTitle = QStringLiteral("Vexal Capture");
}

TUserGrid::TUserGrid(TDaten& daten, TCollector& collector, QWidget* parent)
    : QTableView(parent), Daten(daten), Core(collector)
{
    Users = new TUserGridModel(this);
    SetUpGrid(this, "ProfGrid2", Users, true);
    setItemDelegate(new TWholeTextDelegate(this));
    setItemDelegateForColumn(TUserGridModel::ColIP, new TWholeTextDelegate(this, true));
    for (const TUserGridColumn& column : UserGridColumns())
        setColumnHidden(column.Id, column.Width == TUserColumnWidth::Hidden);
    // The part below the last row has the colour of a row of long-idle users, the
    // grid's own colour.
    QPalette userPalette = palette();
    userPalette.setColor(QPalette::Base, TUserGridModel::BandBackground(4));
    setPalette(userPalette);
    // "Name" takes what the fitted columns leave; the limit's share stands after it.
    for (const TUserGridColumn& column : UserGridColumns())
        if (column.Width == TUserColumnWidth::Stretched)
            horizontalHeader()->setSectionResizeMode(column.Id, QHeaderView::Stretch);
    // Shown once a device has a volume limit.
    setColumnHidden(TUserGridModel::ColLimit, true);
    setSortingEnabled(true);
    horizontalHeader()->setSortIndicator(TUserGridModel::ColDL, Qt::DescendingOrder);
    // The sort mark takes room in its header only.
    connect(horizontalHeader(), &QHeaderView::sortIndicatorChanged, this, [this] { FitColumns(); });
    setIconSize(QSize(12, 12));
    // Other rows on screen, other widest texts.
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { FitColumns(); });

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->addAction(QStringLiteral("Diese IP entfernen"), this,
                          [this] { Core.Guard([this] { DieseIPentfernen1Click(); }); });
    PopupMenu1->addAction(QStringLiteral("Verlauf"), this, [this] { Core.Guard([this] { VerlaufClick(); }); });
    PopupMenu1->addAction(QStringLiteral("Volumenlimit…"), this, [this] { Core.Guard([this] { VolumenlimitClick(); }); });
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(viewport()->mapToGlobal(at)); });
    connect(this, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& clicked) { Core.Guard([&] { ProfGrid2DblClick(clicked); }); });
}

void TUserGrid::ShowLimits()
{
    const TDeviceLimits& limits = Core.DeviceLimits();
    const bool any = !limits.Limits().empty();
    if (isColumnHidden(TUserGridModel::ColLimit) == any)
        setColumnHidden(TUserGridModel::ColLimit, !any);
    if (!any && !ShowsLimits)
        return;
    ShowsLimits = any;
    // Each row's device by its MAC: the limit follows the device, whatever its address.
    const TUserGridRows rows = Users->Rows();
    bool changed = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        double share = -1;
        int mark = 0;
        if (const auto state = any ? limits.StateOf(rows[i].MAC) : std::nullopt) {
            share = LimitPercentOf(state->Use, state->Limit);
            mark = LimitMarkOf(state->Use, state->Limit);
        }
        if (rows[i].LimitShare == share && rows[i].LimitMark == mark)
            continue;
        Users->RewriteRow(i, [share, mark](TUserGridRow& row) {
            row.LimitShare = share;
            row.LimitMark = mark;
        });
        changed = true;
    }
    if (changed)
        Users->FinishRowChanges();
}

void TUserGrid::FitColumns()
{
    std::vector<int> fitted;
    int stretched = -1;
    int givesWay = -1;
    for (const TUserGridColumn& column : UserGridColumns()) {
        if (column.Width == TUserColumnWidth::Fitted || column.Width == TUserColumnWidth::FittedGivesWay)
            fitted.push_back(column.Id);
        if (column.Width == TUserColumnWidth::FittedGivesWay)
            givesWay = column.Id;
        if (column.Width == TUserColumnWidth::Stretched)
            stretched = column.Id;
    }
    FitColumnsToText(this, fitted, stretched, givesWay);
}

std::vector<int> TUserGrid::SelectedUserRows() const
{
    std::vector<int> rows;
    for (const QItemSelectionRange& range : selectionModel()->selection())
        for (int row = range.top(); row <= range.bottom(); ++row)
            if (std::find(rows.begin(), rows.end(), row) == rows.end())
                rows.push_back(row);
    return rows;
}

std::vector<std::string> TUserGrid::SelectedUserAddresses() const
{
    std::vector<std::string> addresses;
    const auto& shown = Users->Rows();
    for (int row : SelectedUserRows())
        if (static_cast<std::size_t>(row) < shown.size())
            addresses.push_back(shown[static_cast<std::size_t>(row)].IP);
    return addresses;
}

QString TUserGrid::RemovalQuestion(const std::vector<std::string>& addresses)
{
    if (addresses.size() == 1)
        return QStringLiteral("Wollen Sie wirklich diese IP entfernen?\n") + FromStoreText(addresses.front());
    // Every address that goes, one a line; a long selection by its first ones and the
    // number of the rest, so the box still fits on the screen.
    QString question = QStringLiteral("Wollen Sie wirklich diese %1 IPs entfernen?").arg(addresses.size());
    const std::size_t named = addresses.size() <= RemovalNamed ? addresses.size() : RemovalNamed - 1;
    for (std::size_t i = 0; i < named; ++i)
        question += QLatin1Char('\n') + FromStoreText(addresses[i]);
    if (named < addresses.size())
        question += QStringLiteral("\nund %1 weitere").arg(addresses.size() - named);
    return question;
}

void TUserGrid::DieseIPentfernen1Click()
{
    // The users selected now, when the question names them: ticks go on while it is
    // open and may move the rows, but the answer is about these users.
    const std::vector<std::string> addresses = SelectedUserAddresses();
    if (addresses.empty())
        return;
    if (QMessageBox::warning(this, MessageTitle, RemovalQuestion(addresses), QMessageBox::Yes | QMessageBox::No)
        != QMessageBox::Yes)
        return;
    Core.UserAction([&] { Daten.RemoveUsersWithAddress(addresses); });
}

void TUserGrid::ProfGrid2DblClick(const QModelIndex& clicked)
{
    // The user whose row was double-clicked; without a click (the keyboard, a test)
    // the first selected one.
    const auto& shown = Users->Rows();
    if (clicked.isValid() && static_cast<std::size_t>(clicked.row()) < shown.size()) {
        emit LogRequested(shown[static_cast<std::size_t>(clicked.row())].IP);
        return;
    }
    const std::vector<std::string> selected = SelectedUserAddresses();
    if (!selected.empty())
        emit LogRequested(selected.front());
}

void TUserGrid::VerlaufClick()
{
    const std::vector<int> selected = SelectedUserRows();
    const auto& shown = Users->Rows();
    if (selected.empty() || static_cast<std::size_t>(selected.front()) >= shown.size())
        return;
    const TUserGridRow& row = shown[static_cast<std::size_t>(selected.front())];
    emit HistoryRequested(row.IP, row.MAC);
}

void TUserGrid::VolumenlimitClick()
{
    const std::vector<int> selected = SelectedUserRows();
    const auto& shown = Users->Rows();
    if (selected.empty() || static_cast<std::size_t>(selected.front()) >= shown.size())
        return;
    // The device is taken now: the rows may move while the dialog is open.
    const TUserGridRow& row = shown[static_cast<std::size_t>(selected.front())];
    const std::string mac = row.MAC;
    const auto state = Core.DeviceLimits().StateOf(mac);
    auto* dialog = new TFormVolumenlimit(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->SetDevice(QStringLiteral("%1 (%2)").arg(FromStoreText(row.IP), FromStoreText(mac)), state ? state->Limit : 0);
    connect(dialog, &QDialog::accepted, this, [this, dialog, mac] {
        Core.Guard([&] {
            if (!Core.DeviceLimits().SetLimit(mac, dialog->Octets(), Core.Clock()))
                QMessageBox::warning(this, MessageTitle,
                                     QStringLiteral("Mehr als %1 Volumenlimits sind nicht möglich.").arg(TLimitFile::MaxLimits));
        });
    });
    dialog->open();
}

void TUserGrid::IPsentfernenmit100kB1Click()
{
    // Only a damaged counter stops the removal; the users removed before it stay
    // removed, and the error report says why instead of the message.
    bool done = false;
    Core.Guard([&] {
        Core.UserAction([this] { Daten.RemoveLowTrafficUsers(100 * 1024); });
        done = true;
    });
    if (!done)
        return;
    QMessageBox::information(
        this, MessageTitle, QStringLiteral("Alle IPs mit weniger Traffic als 100 kB wurden aus der Liste \nentfernt!"));
}

void TUserGrid::IPTrafficCounterauf0setzen1Click()
{
    Core.UserAction([this] { Daten.ResetUserTotals(); });
    QMessageBox::information(this, MessageTitle, QStringLiteral("Traffic wurde auf 0 zurückgesetzt!"));
}

void TUserGrid::AlleClientsentfernen1Click()
{
    Core.UserAction([this] { Daten.RemoveAllUsers(); });
    QMessageBox::information(this, MessageTitle, QStringLiteral("Alle Clients wurden entfernt!"));
}
