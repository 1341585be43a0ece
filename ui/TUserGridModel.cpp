#include "TUserGridModel.h"

#include "StatusIcons.h"
#include "StoreText.h"
#include "TextForms.h"

#include "GridStyle.h"

#include <QFont>

#include <algorithm>
#include <array>

namespace {
struct TBandColours {
    QColor Background;
    QColor Text;
};

const std::array<TBandColours, 5> Bands = {{
    {QColor(144, 200, 172), QColor(0, 0, 255)},
    {QColor(144, 192, 172), QColor(0, 0, 255)},
    {QColor(144, 181, 188), QColor(0, 0, 255)},
    {QColor(144, 176, 188), QColor(0, 0, 255)},
    {QColor(144, 168, 204), QColor(0, 0, 0)},
}};

const char* const Headers[TUserGridModel::ColumnCount] = {"IP", "MAC", "UL", "DL", "CUL", "CDL", "CPort", "NIC", "", "", "Name"};

// Dotted quads sort by their numeric value, anything else after them by text.
quint64 AddressKey(const std::string& ip)
{
    quint64 value = 0;
    int parts = 0;
    int part = -1;
    for (char c : ip) {
        if (c >= '0' && c <= '9') {
            part = (part < 0 ? 0 : part) * 10 + (c - '0');
            if (part > 255)
                return ~quint64{0};
        } else if (c == '.' && part >= 0 && parts < 3) {
            value = value << 8 | static_cast<quint64>(part);
            ++parts;
            part = -1;
        } else {
            return ~quint64{0};
        }
    }
    if (parts != 3 || part < 0)
        return ~quint64{0};
    return value << 8 | static_cast<quint64>(part);
}
}

TUserGridModel::TUserGridModel(QObject* parent)
    : QAbstractTableModel(parent), Online(StatusIcon(true)), Offline(StatusIcon(false))
{
}

QColor TUserGridModel::BandBackground(int band)
{
    return Bands[static_cast<std::size_t>(std::clamp(band, 0, 4))].Background;
}

QColor TUserGridModel::BandText(int band)
{
    return Bands[static_cast<std::size_t>(std::clamp(band, 0, 4))].Text;
}

QString TUserGridModel::Text(const std::string& bytes)
{
    return FromStoreText(bytes);
}

int TUserGridModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(Current.size());
}

int TUserGridModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TUserGridModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= static_cast<int>(Current.size()))
        return {};
    const TUserGridRow& row = Current[static_cast<std::size_t>(index.row())];
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case ColIP: return Text(row.IP);
        case ColMAC: return Text(row.MAC);
        case ColUL: return QString::fromStdString(FormatMegabytes(row.UL) + " MB");
        case ColDL: return QString::fromStdString(FormatMegabytes(row.DL) + " MB");
        case ColCUL: return row.CULIsZero ? QString() : QString::fromStdString(FormatKilobytes(row.CUL) + " kB");
        case ColCDL: return row.CDLIsZero ? QString() : QString::fromStdString(FormatKilobytes(row.CDL) + " kB");
        case ColCPort: return Text(row.CPort);
        case ColNIC: return Text(row.Device);
        case ColName: return Text(row.Name);
        default: return QString();
        }
    case SortRole:
        return SortValue(row, column);
    case Qt::DecorationRole:
        if (column == ColIP)
            return row.Online ? Online : Offline;
        return {};
    case Qt::BackgroundRole:
        return BandBackground(row.Band);
    case Qt::ForegroundRole:
        if (column == ColUL || column == ColDL)
            return BandText(row.Band);
        return {};
    case Qt::FontRole:
        if (column >= ColUL && column <= ColNIC)
            return GridFont(column != ColNIC, column == ColNIC);
        return {};
    case Qt::TextAlignmentRole:
        if (column == ColIP || column == ColCPort || column == Col8 || column == Col9)
            return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    default:
        return {};
    }
}

QVariant TUserGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(Headers[section]);
    if (role == Qt::FontRole)
        return GridFont(true);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue((section == ColIP || section == ColCPort ? Qt::AlignLeft : Qt::AlignRight)
                                   | Qt::AlignVCenter);
    return {};
}

QVariant TUserGridModel::SortValue(const TUserGridRow& row, int column) const
{
    switch (column) {
    case ColIP: return AddressKey(row.IP);
    case ColUL: return row.UL;
    case ColDL: return row.DL;
    case ColCUL: return row.CUL;
    case ColCDL: return row.CDL;
    case ColMAC: return Text(row.MAC);
    case ColCPort: return Text(row.CPort);
    case ColNIC: return Text(row.Device);
    case ColName: return Text(row.Name);
    default: return QString();
    }
}

namespace {
// Stable, so equal values keep store order and rows do not shuffle between ticks.
template <typename Key>
void SortRowsBy(std::vector<TUserGridRow>& rows, bool descending, Key key)
{
    std::stable_sort(rows.begin(), rows.end(), [&](const TUserGridRow& a, const TUserGridRow& b) {
        return descending ? key(b) < key(a) : key(a) < key(b);
    });
}

template <typename T>
auto Member(T TUserGridRow::*member)
{
    return [member](const TUserGridRow& row) -> const T& { return row.*member; };
}
}

void TUserGridModel::SortRows()
{
    const bool descending = Order == Qt::DescendingOrder;
    switch (SortBy) {
    case ColIP:
        SortRowsBy(Current, descending, [](const TUserGridRow& r) { return std::make_pair(AddressKey(r.IP), r.IP); });
        break;
    case ColMAC: SortRowsBy(Current, descending, Member(&TUserGridRow::MAC)); break;
    case ColUL: SortRowsBy(Current, descending, Member(&TUserGridRow::UL)); break;
    case ColDL: SortRowsBy(Current, descending, Member(&TUserGridRow::DL)); break;
    case ColCUL: SortRowsBy(Current, descending, Member(&TUserGridRow::CUL)); break;
    case ColCDL: SortRowsBy(Current, descending, Member(&TUserGridRow::CDL)); break;
    case ColCPort: SortRowsBy(Current, descending, Member(&TUserGridRow::CPort)); break;
    case ColNIC: SortRowsBy(Current, descending, Member(&TUserGridRow::Device)); break;
    case ColName: SortRowsBy(Current, descending, Member(&TUserGridRow::Name)); break;
    default: break;  // the two empty columns: no order
    }
}

void TUserGridModel::sort(int column, Qt::SortOrder order)
{
    SortBy = column;
    Order = order;
    SortRows();
    if (!Current.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}

void TUserGridModel::Commit(std::size_t count, bool complete)
{
    const std::size_t before = Current.size();
    const std::size_t after = complete ? count : std::max(before, count);
    if (after > before) {
        beginInsertRows(QModelIndex(), static_cast<int>(before), static_cast<int>(after) - 1);
        Current.resize(after);
        for (std::size_t i = 0; i < count; ++i)
            std::swap(Current[i], Fresh[i]);
        endInsertRows();
    } else {
        if (after < before) {
            beginRemoveRows(QModelIndex(), static_cast<int>(after), static_cast<int>(before) - 1);
            Current.resize(after);
            endRemoveRows();
        }
        for (std::size_t i = 0; i < count; ++i)
            std::swap(Current[i], Fresh[i]);
    }
    SortRows();
    if (!Current.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}
