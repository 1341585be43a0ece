#include "TUserGridModel.h"

#include "StatusIcons.h"
#include "StoreText.h"
#include "TextForms.h"

#include "GridStyle.h"
#include "UserGridColumns.h"

#include <QFont>

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>
#include <string_view>
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

QColor TUserGridModel::LimitMarkBackground(int mark)
{
    // Warm at 80 %, red at 100 %: both stand out from every band's colour.
    return mark >= 100 ? QColor(255, 150, 150) : QColor(255, 214, 140);
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
    case Qt::DisplayRole: return UserGridColumn(column).Text(row);
    case SortRole: return SortValue(row, column);
    case KeyRole: return column == ColIP ? QVariant(FromStoreText(row.IP)) : QVariant();
    case Qt::ToolTipRole:
        if (column == ColIP && !row.IPv6.empty())
            return IPv6ToolTip(row.IPv6);
        if (UserGridColumn(column).LimitMarked && row.LimitMark > 0)
            return QStringLiteral("Volumenlimit zu %1 % verbraucht").arg(static_cast<qint64>(row.LimitShare));
        return {};
    case Qt::DecorationRole:
        if (column == ColIP)
            return row.Online ? Online : Offline;
        return {};
    case Qt::BackgroundRole:
        if (UserGridColumn(column).LimitMarked && row.LimitMark > 0)
            return LimitMarkBackground(row.LimitMark);
        return BandBackground(row.Band);
    case Qt::ForegroundRole:
        if (UserGridColumn(column).BandText)
            return BandText(row.Band);
        return {};
    case Qt::FontRole:
        switch (UserGridColumn(column).Font) {
        case TUserColumnFont::Bold: return GridFont(true);
        case TUserColumnFont::Italic: return GridFont(false, true);
        case TUserColumnFont::Plain: break;
        }
        return {};
    case Qt::TextAlignmentRole: return QVariant::fromValue(UserGridColumn(column).CellAlignment);
    default: return {};
    }
}

QVariant TUserGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(UserGridColumn(section).Header);
    if (role == Qt::FontRole)
        return GridFont(true);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(UserGridColumn(section).HeaderAlignment);
    return {};
}

QVariant TUserGridModel::SortValue(const TUserGridRow& row, int column) const
{
    const TUserSortKey& key = UserSortKey(column);
    switch (key.Kind) {
    case TUserSortKey::Number: return row.*key.NumberField;
    case TUserSortKey::Text: return FromStoreText(row.*key.TextField);
    case TUserSortKey::Address: return AddressSortKey(row.*key.TextField);
    case TUserSortKey::None: break;
    }
    return QString();
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

constexpr std::size_t NoRow = std::numeric_limits<std::size_t>::max();
}

std::vector<std::size_t> TUserGridModel::SortedOrder(const std::vector<bool>* changed) const
{
    const bool descending = Order == Qt::DescendingOrder;
    const TUserSortKey& key = UserSortKey(SortBy);
    switch (key.Kind) {
    case TUserSortKey::Number:
        return OrderBy(
            Current, descending, [field = key.NumberField](const TUserGridRow& r) { return r.*field; }, changed);
    case TUserSortKey::Text:
        // Texts as views into the rows, not copies.
        return OrderBy(
            Current, descending, [field = key.TextField](const TUserGridRow& r) { return std::string_view(r.*field); },
            changed);
    case TUserSortKey::Address:
        return OrderBy(
            Current, descending,
            [field = key.TextField](const TUserGridRow& r) {
                return std::pair<quint64, std::string_view>(AddressSortKey(r.*field), r.*field);
            },
            changed);
    case TUserSortKey::None: break;
    }
    return {};  // a column without values: no order
}

bool TUserGridModel::SameSortValue(const TUserGridRow& a, const TUserGridRow& b) const
{
    const TUserSortKey& key = UserSortKey(SortBy);
    switch (key.Kind) {
    case TUserSortKey::Number: return a.*key.NumberField == b.*key.NumberField;
    case TUserSortKey::Text:
    case TUserSortKey::Address: return a.*key.TextField == b.*key.TextField;
    case TUserSortKey::None: break;
    }
    return true;
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

void TUserGridModel::SwapInRow(std::size_t row, TUserGridRow& fresh)
{
    TUserGridRow& current = *Current[row];
    if (current == fresh)
        return;
    if (!SameSortValue(current, fresh))
        Replace.push_back(row);
    Updated.push_back(row);
    swap(current, fresh);
}

void TUserGridModel::AddNewUserRow(TUserGridRow& fresh, std::size_t source)
{
    Added.emplace_back(std::make_unique<TUserGridRow>(std::move(fresh)), source);
}

void TUserGridModel::KeepSortValue(const TUserGridRow& row)
{
    // Only the sorted column is copied, into a row kept for it: SameSortValue reads
    // no other.
    const TUserSortKey& key = UserSortKey(SortBy);
    switch (key.Kind) {
    case TUserSortKey::Number: Kept.*key.NumberField = row.*key.NumberField; break;
    case TUserSortKey::Text:
    case TUserSortKey::Address: Kept.*key.TextField = row.*key.TextField; break;
    case TUserSortKey::None: break;
    }
}

void TUserGridModel::Rewritten(std::size_t row, const TUserGridRow& now)
{
    if (!SameSortValue(Kept, now))
        Replace.push_back(row);
    Updated.push_back(row);
}

void TUserGridModel::FinishRowChanges()
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

void TUserGridModel::ReplaceAllRows(std::vector<TUserGridRow>& fresh, std::size_t count, bool complete)
{
    ++FullCount;
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
        if (i < count && !placed[i] && fresh[i].IP == Current[r]->IP) {
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
            auto [at, added] = firstFresh.try_emplace(fresh[i].IP, i);
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
            changed[r] = !SameSortValue(*Current[r], fresh[match[r]]);
            swap(*Current[r], fresh[match[r]]);
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
                Current.push_back(std::make_unique<TUserGridRow>(std::move(fresh[i])));
                Source.push_back(i);
                changed.push_back(true);
            }
        endInsertRows();
    }

    SortRows(&changed);
    if (!Current.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}
