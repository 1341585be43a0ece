#include "TFlowLogModel.h"

#include <QColor>
#include <QFont>

namespace {
const char* const Headers[TFlowLogModel::ColumnCount] = {"Src IP", "Src Port", "Dst IP", "Dst Port", "Traffic"};

QFont Font(bool bold)
{
    QFont font;
    font.setBold(bold);
    return font;
}
}

TFlowLogModel::TFlowLogModel(QObject* parent) : QAbstractTableModel(parent) {}

int TFlowLogModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(Total);
}

int TFlowLogModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TFlowLogModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= static_cast<int>(Listed.size()))
        return {};
    const TFlowLogRow& row = Listed[static_cast<std::size_t>(index.row())];
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case ColSrcIP: return row.SrcIP;
        case ColSrcPort: return row.SrcPort;
        case ColDstIP: return row.DstIP;
        case ColDstPort: return row.DstPort;
        case ColTraffic: return row.Traffic;
        default: return {};
        }
    case Qt::FontRole:
        switch (column) {
        case ColSrcIP: return Font(row.SrcLocal);
        case ColDstPort: return Font(row.SrcLocal);
        case ColDstIP: return Font(row.DstLocal);
        case ColSrcPort: return Font(row.DstLocal);
        case ColTraffic: return Font(true);
        default: return {};
        }
    case Qt::ForegroundRole:
        if (column == ColSrcIP)
            return row.SrcLocal ? QColor(Qt::blue) : QColor(Qt::black);
        if (column == ColDstIP)
            return row.DstLocal ? QColor(Qt::blue) : QColor(Qt::black);
        return {};
    case Qt::TextAlignmentRole:
        if (column == ColTraffic)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    default:
        return {};
    }
}

QVariant TFlowLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (role) {
    case Qt::DisplayRole: return QString::fromLatin1(Headers[section]);
    case Qt::FontRole: return Font(true);
    case Qt::TextAlignmentRole:
        if (section == ColDstPort)
            return QVariant::fromValue(Qt::AlignCenter);
        if (section == ColTraffic)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    default: return {};
    }
}

void TFlowLogModel::SetRows(std::vector<TFlowLogRow> rows, std::size_t total)
{
    total = std::max(total, rows.size());
    if (total == Total) {
        // The usual refresh: same number of rows, so the view keeps its scroll position.
        Listed = std::move(rows);
        if (Total > 0)
            emit dataChanged(index(0, 0), index(static_cast<int>(Total) - 1, ColumnCount - 1));
        return;
    }
    beginResetModel();
    Listed = std::move(rows);
    Total = total;
    endResetModel();
}

void TFlowLogModel::Clear()
{
    SetRows({}, 0);
}
