#include "UserGridColumns.h"

#include "StoreText.h"
#include "TextForms.h"

#include <cstddef>

namespace {
constexpr Qt::Alignment Left = Qt::AlignLeft | Qt::AlignVCenter;
constexpr Qt::Alignment Right = Qt::AlignRight | Qt::AlignVCenter;

constexpr TUserSortKey ByNumber(double TUserGridRow::*field)
{
    return {TUserSortKey::Number, field, nullptr};
}
constexpr TUserSortKey ByText(std::string TUserGridRow::*field)
{
    return {TUserSortKey::Text, nullptr, field};
}

QString Megabytes(double bytes)
{
    return QString::fromStdString(FormatMegabytes(bytes) + " MB");
}
// An interval counter whose text is exactly "0" shows an empty cell.
QString Kilobytes(double bytes, bool isZero)
{
    return isZero ? QString() : QString::fromStdString(FormatKilobytes(bytes) + " kB");
}

using enum TUserColumnWidth;
using enum TUserColumnFont;

// The grid's columns, in the order the grid shows them. "Name" takes the room the
// others leave; the volume limit's share stands at the right end. The two empty
// columns keep the places of columns the grid once showed.
constexpr std::array<TUserGridColumn, TUserGridModel::ColumnCount> Columns = {{
    {TUserGridModel::ColIP,
     "IP",
     [](const TUserGridRow& r) {
         // A device with IPv6 addresses shows their count after its address.
         if (r.IPv6.empty())
             return FromStoreText(r.IP);
         return FromStoreText(r.IP) + QStringLiteral(" +") + QString::number(r.IPv6.size());
     },
     {TUserSortKey::Address, nullptr, &TUserGridRow::IP},
     Fitted,
     Left,
     Left,
     Plain,
     false, false},
    {TUserGridModel::ColMAC, "MAC", [](const TUserGridRow& r) { return FromStoreText(r.MAC); },
     ByText(&TUserGridRow::MAC), Fitted, Right, Right, Plain, false, false},
    {TUserGridModel::ColUL, "UL", [](const TUserGridRow& r) { return Megabytes(r.UL); }, ByNumber(&TUserGridRow::UL),
     Fitted, Right, Right, Bold, true, false},
    {TUserGridModel::ColDL, "DL", [](const TUserGridRow& r) { return Megabytes(r.DL); }, ByNumber(&TUserGridRow::DL),
     Fitted, Right, Right, Bold, true, false},
    {TUserGridModel::ColCUL, "CUL", [](const TUserGridRow& r) { return Kilobytes(r.CUL, r.CULIsZero); },
     ByNumber(&TUserGridRow::CUL), Fitted, Right, Right, Bold, false, false},
    {TUserGridModel::ColCDL, "CDL", [](const TUserGridRow& r) { return Kilobytes(r.CDL, r.CDLIsZero); },
     ByNumber(&TUserGridRow::CDL), Fitted, Right, Right, Bold, false, false},
    {TUserGridModel::ColCPort, "CPort", [](const TUserGridRow& r) { return FromStoreText(r.CPort); },
     ByText(&TUserGridRow::CPort), Hidden, Left, Left, Bold, false, false},
    // The device gives way first when the window is narrow: its name is whole in its tooltip.
    {TUserGridModel::ColNIC, "NIC", [](const TUserGridRow& r) { return FromStoreText(r.Device); },
     ByText(&TUserGridRow::Device), FittedGivesWay, Right, Right, Italic, false, false},
    {TUserGridModel::Col8, "", [](const TUserGridRow&) { return QString(); }, {}, Hidden, Left, Right, Plain, false, false},
    {TUserGridModel::Col9, "", [](const TUserGridRow&) { return QString(); }, {}, Hidden, Left, Right, Plain, false, false},
    {TUserGridModel::ColName, "Name", [](const TUserGridRow& r) { return FromStoreText(r.Name); },
     ByText(&TUserGridRow::Name), Stretched, Right, Right, Plain, false, true},
    // The share of the volume limit used this billing period; empty without a limit.
    {TUserGridModel::ColLimit, "Limit",
     [](const TUserGridRow& r) {
         return r.LimitShare < 0 ? QString() : QStringLiteral("%1 %").arg(static_cast<qint64>(r.LimitShare));
     },
     ByNumber(&TUserGridRow::LimitShare), Fitted, Right, Right, Plain, false, false},
}};

constexpr bool InGridOrder()
{
    for (std::size_t i = 0; i < Columns.size(); ++i)
        if (Columns[i].Id != static_cast<int>(i))
            return false;
    int stretched = 0;
    for (const TUserGridColumn& column : Columns)
        stretched += column.Width == Stretched ? 1 : 0;
    return stretched == 1;
}
static_assert(InGridOrder(), "each column stands at the place its name gives, and one of them is stretched");
}

const std::array<TUserGridColumn, TUserGridModel::ColumnCount>& UserGridColumns()
{
    return Columns;
}

const TUserGridColumn& UserGridColumn(int column)
{
    return Columns[static_cast<std::size_t>(column)];
}

const TUserSortKey& UserSortKey(int column)
{
    static constexpr TUserSortKey noKey;
    return column >= 0 && column < TUserGridModel::ColumnCount ? UserGridColumn(column).Sort : noKey;
}

quint64 AddressSortKey(const std::string& ip)
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
