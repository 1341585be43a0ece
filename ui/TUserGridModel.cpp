#include "TUserGridModel.h"

#include "StatusIcons.h"
#include "StoreText.h"
#include "TextForms.h"

#include "GridStyle.h"

#include <QFont>

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>

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

QString TUserGridModel::IPv6ToolTip(const std::vector<TIpAddress>& addresses)
{
    // Sorted, so the list reads the same on every tick whatever order they were learned in.
    std::vector<std::string> texts;
    texts.reserve(addresses.size());
    for (const TIpAddress& address : addresses)
        texts.push_back(address.Text());
    std::sort(texts.begin(), texts.end());
    QString tip = QStringLiteral("IPv6:");
    for (const std::string& text : texts)
        tip += QLatin1Char('\n') + QString::fromLatin1(text);
    return tip;
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
    const TUserGridRow& row = *Current[static_cast<std::size_t>(index.row())];
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case ColIP:
            if (row.IPv6.empty())
                return FromStoreText(row.IP);
            return FromStoreText(row.IP) + QStringLiteral(" +") + QString::number(row.IPv6.size());
        case ColMAC: return FromStoreText(row.MAC);
        case ColUL: return QString::fromStdString(FormatMegabytes(row.UL) + " MB");
        case ColDL: return QString::fromStdString(FormatMegabytes(row.DL) + " MB");
        case ColCUL: return row.CULIsZero ? QString() : QString::fromStdString(FormatKilobytes(row.CUL) + " kB");
        case ColCDL: return row.CDLIsZero ? QString() : QString::fromStdString(FormatKilobytes(row.CDL) + " kB");
        case ColCPort: return FromStoreText(row.CPort);
        case ColNIC: return FromStoreText(row.Device);
        case ColName: return FromStoreText(row.Name);
        default: return QString();
        }
    case SortRole:
        return SortValue(row, column);
    case KeyRole:
        return column == ColIP ? QVariant(FromStoreText(row.IP)) : QVariant();
    case Qt::ToolTipRole:
        if (column == ColIP && !row.IPv6.empty())
            return IPv6ToolTip(row.IPv6);
        return {};
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
    case ColMAC: return FromStoreText(row.MAC);
    case ColCPort: return FromStoreText(row.CPort);
    case ColNIC: return FromStoreText(row.Device);
    case ColName: return FromStoreText(row.Name);
    default: return QString();
    }
}

namespace {
// The order of the rows by one column. Stable, so equal values keep their current order
// and rows do not shuffle between ticks: rows are ordered by their value, then by their
// current position. The keys are taken out first, so the comparisons read one array
// instead of following each row.
//
// With `changed` (one flag per row), the rows not flagged are known to be in that order
// already: the rows were sorted by this column at the last tick and their values have
// not changed since. Only the flagged rows are sorted, and the two runs merged; the
// result is the same as sorting them all, for a cost that grows with the rows that
// changed (plus one pass), not with n log n.
template <typename Key>
std::vector<std::size_t> OrderBy(const TUserGridRows::TStore& rows, bool descending, Key key,
                                 const std::vector<bool>* changed)
{
    using TKey = decltype(key(std::declval<const TUserGridRow&>()));
    std::vector<TKey> keys;
    keys.reserve(rows.size());
    for (const auto& row : rows)
        keys.push_back(key(*row));
    auto before = [&](std::size_t a, std::size_t b) {
        const TKey& ka = keys[a];
        const TKey& kb = keys[b];
        if (descending ? kb < ka : ka < kb)
            return true;
        if (descending ? ka < kb : kb < ka)
            return false;
        return a < b;
    };
    std::vector<std::size_t> order(rows.size());
    if (!changed) {
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::sort(order.begin(), order.end(), before);
        return order;
    }
    std::vector<std::size_t> kept;
    std::vector<std::size_t> moved;
    kept.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        ((*changed)[i] ? moved : kept).push_back(i);
    std::sort(moved.begin(), moved.end(), before);
    std::merge(kept.begin(), kept.end(), moved.begin(), moved.end(), order.begin(), before);
    return order;
}

// A column's value as a sort key: numbers as they are, texts as views into the row.
template <typename T>
auto Member(T TUserGridRow::*member)
{
    return [member](const TUserGridRow& row) {
        if constexpr (std::is_same_v<T, std::string>)
            return std::string_view(row.*member);
        else
            return row.*member;
    };
}

constexpr std::size_t NoRow = std::numeric_limits<std::size_t>::max();
}

std::vector<std::size_t> TUserGridModel::SortedOrder(const std::vector<bool>* changed) const
{
    const bool descending = Order == Qt::DescendingOrder;
    switch (SortBy) {
    case ColIP:
        return OrderBy(
            Current, descending,
            [](const TUserGridRow& r) { return std::pair<quint64, std::string_view>(AddressKey(r.IP), r.IP); },
            changed);
    case ColMAC: return OrderBy(Current, descending, Member(&TUserGridRow::MAC), changed);
    case ColUL: return OrderBy(Current, descending, Member(&TUserGridRow::UL), changed);
    case ColDL: return OrderBy(Current, descending, Member(&TUserGridRow::DL), changed);
    case ColCUL: return OrderBy(Current, descending, Member(&TUserGridRow::CUL), changed);
    case ColCDL: return OrderBy(Current, descending, Member(&TUserGridRow::CDL), changed);
    case ColCPort: return OrderBy(Current, descending, Member(&TUserGridRow::CPort), changed);
    case ColNIC: return OrderBy(Current, descending, Member(&TUserGridRow::Device), changed);
    case ColName: return OrderBy(Current, descending, Member(&TUserGridRow::Name), changed);
    default: return {};  // the two empty columns: no order
    }
}

bool TUserGridModel::SameSortValue(const TUserGridRow& a, const TUserGridRow& b) const
{
    switch (SortBy) {
    case ColIP: return a.IP == b.IP;
    case ColMAC: return a.MAC == b.MAC;
    case ColUL: return a.UL == b.UL;
    case ColDL: return a.DL == b.DL;
    case ColCUL: return a.CUL == b.CUL;
    case ColCDL: return a.CDL == b.CDL;
    case ColCPort: return a.CPort == b.CPort;
    case ColNIC: return a.Device == b.Device;
    case ColName: return a.Name == b.Name;
    default: return true;
    }
}

void TUserGridModel::SortRows(const std::vector<bool>* changed)
{
    // In order already and no value changed: nothing to place (the usual tick).
    if (Sorted && changed && std::none_of(changed->begin(), changed->end(), [](bool flag) { return flag; }))
        return;
    const std::vector<std::size_t> order = SortedOrder(Sorted ? changed : nullptr);
    Sorted = true;
    bool moved = false;
    for (std::size_t i = 0; i < order.size() && !moved; ++i)
        moved = order[i] != i;
    if (!moved)
        return;
    // Rows move with their users, and so must the selection and the current row: a
    // view's persistent indexes go to the row where their user now stands.
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList from = persistentIndexList();
    std::vector<int> newRow(order.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        newRow[order[i]] = static_cast<int>(i);
    // Row i takes the row order[i] stood in, cycle by cycle, without a second table.
    std::vector<bool> done(order.size(), false);
    for (std::size_t start = 0; start < order.size(); ++start) {
        // A row that keeps its place is not touched: when one user moves, most stay.
        if (done[start] || order[start] == start)
            continue;
        std::unique_ptr<TUserGridRow> first = std::move(Current[start]);
        const std::size_t firstSource = Source[start];
        std::size_t at = start;
        for (;;) {
            done[at] = true;
            const std::size_t next = order[at];
            if (next == start) {
                Current[at] = std::move(first);
                Source[at] = firstSource;
                break;
            }
            Current[at] = std::move(Current[next]);
            Source[at] = Source[next];
            at = next;
        }
    }
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& old : from)
        to.append(index(newRow[static_cast<std::size_t>(old.row())], old.column()));
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void TUserGridModel::sort(int column, Qt::SortOrder order)
{
    SortBy = column;
    Order = order;
    Sorted = false;
    SortRows();
}

void TUserGridModel::Update(std::size_t row, TUserGridRow& fresh)
{
    TUserGridRow& current = *Current[row];
    if (current == fresh)
        return;
    if (!SameSortValue(current, fresh))
        Replace.push_back(row);
    Updated.push_back(row);
    swap(current, fresh);
}

void TUserGridModel::Append(TUserGridRow& fresh, std::size_t source)
{
    Added.emplace_back(std::make_unique<TUserGridRow>(std::move(fresh)), source);
}

void TUserGridModel::KeepSortValue(const TUserGridRow& row)
{
    // Only the sorted column is copied, into a row kept for it: SameSortValue reads
    // no other.
    switch (SortBy) {
    case ColIP: Kept.IP = row.IP; break;
    case ColMAC: Kept.MAC = row.MAC; break;
    case ColUL: Kept.UL = row.UL; break;
    case ColDL: Kept.DL = row.DL; break;
    case ColCUL: Kept.CUL = row.CUL; break;
    case ColCDL: Kept.CDL = row.CDL; break;
    case ColCPort: Kept.CPort = row.CPort; break;
    case ColNIC: Kept.Device = row.Device; break;
    case ColName: Kept.Name = row.Name; break;
    default: break;
    }
}

void TUserGridModel::Refilled(std::size_t row, const TUserGridRow& now)
{
    if (!SameSortValue(Kept, now))
        Replace.push_back(row);
    Updated.push_back(row);
}

void TUserGridModel::EndUpdate()
{
    if (!Updated.empty()) {
        // One range from the first to the last row changed: a view repaints what of it
        // is on screen, whatever its size.
        const auto [first, last] = std::minmax_element(Updated.begin(), Updated.end());
        const QModelIndex from = index(static_cast<int>(*first), 0);
        const QModelIndex to = index(static_cast<int>(*last), ColumnCount - 1);
        Updated.clear();
        emit dataChanged(from, to);
    }
    const std::size_t kept = Current.size();
    if (!Added.empty()) {
        beginInsertRows(QModelIndex(), static_cast<int>(kept), static_cast<int>(kept + Added.size()) - 1);
        for (auto& [row, source] : Added) {
            Current.push_back(std::move(row));
            Source.push_back(source);
        }
        Added.clear();
        endInsertRows();
    }
    if (Replace.empty() && Current.size() == kept)
        return;
    std::vector<bool> changed(Current.size(), false);
    for (std::size_t row : Replace)
        changed[row] = true;
    std::fill(changed.begin() + static_cast<std::ptrdiff_t>(kept), changed.end(), true);
    Replace.clear();
    SortRows(&changed);
}

void TUserGridModel::Commit(std::size_t count, bool complete)
{
    ++CommitCount;
    Updated.clear();
    Replace.clear();
    Added.clear();
    // The rows are matched to the fresh ones by address, so a row stays where it is
    // (and keeps its selection) while its user stays. Most ticks the users are those
    // of the tick before, in the same store order: each row first tries the fresh row
    // of its own store position, and only the rest are looked up.
    std::vector<std::size_t> match(Current.size(), NoRow);
    std::vector<bool> placed(count, false);
    bool missed = false;
    for (std::size_t r = 0; r < Current.size(); ++r) {
        const std::size_t i = Source[r];
        if (i < count && !placed[i] && Fresh[i].IP == Current[r]->IP) {
            match[r] = i;
            placed[i] = true;
        } else {
            missed = true;
        }
    }
    if (missed) {
        // An address that occurs twice, which only a hand-edited state file can give,
        // pairs its rows in order.
        std::unordered_map<std::string_view, std::size_t> firstFresh;
        std::vector<std::size_t> nextFresh(count, NoRow);
        for (std::size_t i = count; i-- > 0;) {
            if (placed[i])
                continue;
            auto [at, added] = firstFresh.try_emplace(Fresh[i].IP, i);
            if (!added) {
                nextFresh[i] = at->second;
                at->second = i;
            }
        }
        for (std::size_t r = 0; r < Current.size(); ++r) {
            if (match[r] != NoRow)
                continue;
            const auto at = firstFresh.find(Current[r]->IP);
            if (at != firstFresh.end() && at->second != NoRow) {
                match[r] = at->second;
                placed[at->second] = true;
                at->second = nextFresh[at->second];
            }
        }
    }

    // Users no longer shown leave; a pass that failed part-way keeps the rows it did
    // not reach.
    if (complete) {
        for (std::size_t end = Current.size(); end > 0;) {
            if (match[end - 1] != NoRow) {
                --end;
                continue;
            }
            std::size_t begin = end - 1;
            while (begin > 0 && match[begin - 1] == NoRow)
                --begin;
            const auto first = static_cast<std::ptrdiff_t>(begin);
            const auto last = static_cast<std::ptrdiff_t>(end);
            beginRemoveRows(QModelIndex(), static_cast<int>(begin), static_cast<int>(end) - 1);
            Current.erase(Current.begin() + first, Current.begin() + last);
            Source.erase(Source.begin() + first, Source.begin() + last);
            match.erase(match.begin() + first, match.begin() + last);
            endRemoveRows();
            end = begin;
        }
    }

    // Users still shown get their new values in place; the fresh rows are scratch
    // space that the next tick overwrites, so they are swapped, not copied. Rows whose
    // sort value changed are noted: only they need placing again.
    std::vector<bool> changed(Current.size(), false);
    for (std::size_t r = 0; r < Current.size(); ++r) {
        Source[r] = match[r];
        if (match[r] != NoRow) {
            changed[r] = !SameSortValue(*Current[r], Fresh[match[r]]);
            swap(*Current[r], Fresh[match[r]]);
        }
    }

    // New users come at the end, in store order, then the sort puts them in place.
    std::size_t added = 0;
    for (std::size_t i = 0; i < count; ++i)
        added += placed[i] ? 0 : 1;
    if (added > 0) {
        const auto first = static_cast<int>(Current.size());
        beginInsertRows(QModelIndex(), first, first + static_cast<int>(added) - 1);
        for (std::size_t i = 0; i < count; ++i)
            if (!placed[i]) {
                Current.push_back(std::make_unique<TUserGridRow>(std::move(Fresh[i])));
                Source.push_back(i);
                changed.push_back(true);
            }
        endInsertRows();
    }

    SortRows(&changed);
    if (!Current.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}
