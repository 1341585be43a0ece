#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QIcon>

#include "TIpAddress.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// One user as the grid shows it: a snapshot taken by the display tick, so the grid
// never reads a store row that has since moved or gone.
struct TUserGridRow {
    std::string IP, MAC, CPort, Device, Name;
    double UL = 0, DL = 0, CUL = 0, CDL = 0;
    bool CULIsZero = false, CDLIsZero = false;  // the counter's text is exactly "0"
    bool Online = false;
    int Band = 0;  // colour band by flow age, 0 the freshest
    // The share of its volume limit the device has used this billing period, in whole
    // percent (-1: no limit), and the mark it reached (0, 80 or 100).
    double LimitShare = -1;
    int LimitMark = 0;
    // The device's learned IPv6 addresses (not its key), formatted only for the tooltip.
    std::vector<TIpAddress> IPv6;

    // Member by member: every tick swaps each shown row with its fresh copy, and
    // swapping the strings in place costs less than the three moves of std::swap.
    friend void swap(TUserGridRow& a, TUserGridRow& b) noexcept
    {
        using std::swap;
        swap(a.IP, b.IP);
        swap(a.MAC, b.MAC);
        swap(a.CPort, b.CPort);
        swap(a.Device, b.Device);
        swap(a.Name, b.Name);
        swap(a.UL, b.UL);
        swap(a.DL, b.DL);
        swap(a.CUL, b.CUL);
        swap(a.CDL, b.CDL);
        swap(a.CULIsZero, b.CULIsZero);
        swap(a.CDLIsZero, b.CDLIsZero);
        swap(a.Online, b.Online);
        swap(a.Band, b.Band);
        swap(a.LimitShare, b.LimitShare);
        swap(a.LimitMark, b.LimitMark);
        swap(a.IPv6, b.IPv6);
    }
    friend bool operator==(const TUserGridRow&, const TUserGridRow&) = default;
};

// The shown rows in view order, to read. Each row is held on its own, so placing rows
// again moves pointers, not their texts: with tens of thousands of users a tick may
// move most of them.
class TUserGridRows {
public:
    using TStore = std::vector<std::unique_ptr<TUserGridRow>>;
    class const_iterator {
    public:
        explicit const_iterator(TStore::const_iterator at) : At(at) { }
        const TUserGridRow& operator*() const { return **At; }
        const TUserGridRow* operator->() const { return At->get(); }
        const_iterator& operator++()
        {
            ++At;
            return *this;
        }
        friend bool operator==(const const_iterator&, const const_iterator&) = default;

    private:
        TStore::const_iterator At;
    };

    explicit TUserGridRows(const TStore& rows) : Rows(&rows) { }
    std::size_t size() const { return Rows->size(); }
    bool empty() const { return Rows->empty(); }
    const TUserGridRow& operator[](std::size_t row) const { return *(*Rows)[row]; }
    const_iterator begin() const { return const_iterator(Rows->begin()); }
    const_iterator end() const { return const_iterator(Rows->end()); }

private:
    const TStore* Rows;
};

// The user grid. The display tick hands it a fresh set of rows after rows came, went
// or moved in the store, and otherwise only the rows that changed; it keeps
// the sort order the user chose (by raw numbers, not by formatted text) across ticks.
// A row belongs to its user (the address), not to its position: when users come, go
// or change places, the view's selection and current row follow them, as the
// actions on the selected users rely on. Texts are formatted only when the view
// asks, so only rows on screen cost anything. A device with IPv6 addresses shows their
// count after its address ("192.168.1.7 +3") and lists them in the cell's tooltip.
class TUserGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum { ColIP, ColMAC, ColUL, ColDL, ColCUL, ColCDL, ColCPort, ColNIC, Col8, Col9, ColName, ColLimit, ColumnCount };
    // The raw value a column sorts by (a number for the byte columns).
    static constexpr int SortRole = Qt::UserRole;
    // The user's key as the store holds it (the address column shows more: the count of
    // the device's IPv6 addresses). Rows are mapped back to users by this, never by the
    // text shown.
    static constexpr int KeyRole = Qt::UserRole + 1;

    explicit TUserGridModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // The four ways the display tick changes the rows.
    //
    // A full pass: `fresh` holds the shown users' rows in store order, and the first
    // `count` of them become the grid's rows (a row stays where it is while its user
    // stays). A complete pass replaces all rows; a pass that failed part-way replaces
    // only the rows it wrote and leaves the previous tick's rows after them. The rows
    // are swapped, not copied: `fresh` gets back old rows, scratch space for the next
    // pass.
    void ReplaceAllRows(std::vector<TUserGridRow>& fresh, std::size_t count, bool complete);
    // Counts the full passes, so whoever follows the rows between them can tell that
    // they were all replaced.
    std::uint64_t FullReplacements() const { return FullCount; }
    // For each row, the position among the fresh rows it had at the last full pass;
    // rows keep it when the sort moves them.
    const std::vector<std::size_t>& Sources() const { return Source; }

    // Between full passes, the tick may change single rows (the same user, see
    // Sources), then calls FinishRowChanges, which tells the views and places the rows
    // whose sort value changed. A tick in which few users changed costs only those rows.
    //
    // The row's user changed: its new row `fresh` is swapped in (fresh gets the old one).
    void SwapInRow(std::size_t row, TUserGridRow& fresh);
    // The same, writing the row in place: `fill` rewrites it whole and must not fail.
    template <typename Fill>
    void RewriteRow(std::size_t row, Fill&& fill)
    {
        TUserGridRow& current = *Current[row];
        KeepSortValue(current);
        fill(current);
        Rewritten(row, current);
    }
    // A user who came into the store after the last full pass, given its place among
    // the fresh rows as a full pass would give it (the rows it follows): the row joins
    // at the end and FinishRowChanges places it, as a full pass places a new user.
    void AddNewUserRow(TUserGridRow& fresh, std::size_t source);
    void FinishRowChanges();

    TUserGridRows Rows() const { return TUserGridRows(Current); }
    int SortColumn() const { return SortBy; }
    Qt::SortOrder SortOrder() const { return Order; }

    static QColor BandBackground(int band);
    static QColor BandText(int band);
    // The name cell of a device at 80 % or at 100 % of its volume limit.
    static QColor LimitMarkBackground(int mark);
    // "IPv6:" and the addresses in canonical text, one a line.
    static QString IPv6ToolTip(const std::vector<TIpAddress>& addresses);

private:
    // The order the chosen column gives, as indexes into the current rows.
    // With `changed`, only the flagged rows may be out of place (see OrderBy).
    std::vector<std::size_t> SortedOrder(const std::vector<bool>* changed) const;
    void SortRows(const std::vector<bool>* changed = nullptr);
    bool SameSortValue(const TUserGridRow& a, const TUserGridRow& b) const;
    // A row's sort value before RewriteRow rewrites it, and the check after.
    void KeepSortValue(const TUserGridRow& row);
    void Rewritten(std::size_t row, const TUserGridRow& now);
    QVariant SortValue(const TUserGridRow& row, int column) const;

    TUserGridRows::TStore Current;
    // For each row, the store-order position it had in the last tick's fresh rows
    // (none for a row kept from a tick that failed part-way).
    std::vector<std::size_t> Source;
    int SortBy = ColDL;
    Qt::SortOrder Order = Qt::DescendingOrder;
    // The rows stand in the order of SortBy/Order (set by every sort; cleared when the
    // column or direction changes), so a tick needs to place only the rows it changed.
    bool Sorted = false;
    std::uint64_t FullCount = 0;
    // Rows given new values since the last FinishRowChanges, and those of them whose sort
    // value changed.
    std::vector<std::size_t> Updated;
    std::vector<std::size_t> Replace;
    // The sort value of the row being refilled, in its own column.
    TUserGridRow Kept;
    // Rows added since the last FinishRowChanges, with their sources.
    std::vector<std::pair<std::unique_ptr<TUserGridRow>, std::size_t>> Added;
    QIcon Online;
    QIcon Offline;
};
