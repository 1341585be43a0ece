#include "TRouterGridModel.h"

#include "TextForms.h"

#include "GridStyle.h"

#include <QFont>

namespace {
const char* const Headers[TRouterGridModel::ColumnCount] = {"IP Router", "FlowSeq.", "l.Time", "C", "UP", "DOWN", "P. Loss"};
}

TRouterGridModel::TRouterGridModel(QObject* parent) : QAbstractTableModel(parent) {}

int TRouterGridModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(Rows.size());
}

int TRouterGridModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TRouterGridModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= static_cast<int>(Rows.size()))
        return {};
    const TRouterGridRow& row = Rows[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case ColIP: return QString::fromStdString(row.IP);
        case ColSequenz: return QString::fromStdString(row.Sequenz);
        case ColTime: return QString::fromStdString(row.Time);
        case ColRecordCount: return QString::fromStdString(row.RecordCount);
        case ColUp: return QString::fromStdString(FormatMegabytes(static_cast<double>(row.Upload)) + " MB");
        case ColDown: return QString::fromStdString(FormatMegabytes(static_cast<double>(row.Download)) + " MB");
        case ColPLoss: return QString::fromStdString(row.PLoss);
        default: return {};
        }
    case Qt::FontRole:
        if (index.column() == ColIP)
            return GridFont(true);
        return {};
    case Qt::TextAlignmentRole:
        switch (index.column()) {
        case ColIP:
        case ColSequenz: return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        case ColRecordCount: return QVariant::fromValue(Qt::AlignCenter);
        default: return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        }
    default:
        return {};
    }
}

QVariant TRouterGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(Headers[section]);
    if (role == Qt::FontRole)
        return GridFont(true);
    if (role == Qt::TextAlignmentRole) {
        if (section <= ColSequenz)
            return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        if (section == ColRecordCount)
            return QVariant::fromValue(Qt::AlignCenter);
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

void TRouterGridModel::SetRowCount(std::size_t count)
{
    const std::size_t before = Rows.size();
    if (count > before) {
        beginInsertRows(QModelIndex(), static_cast<int>(before), static_cast<int>(count) - 1);
        Rows.resize(count);
        endInsertRows();
    } else if (count < before) {
        beginRemoveRows(QModelIndex(), static_cast<int>(count), static_cast<int>(before) - 1);
        Rows.resize(count);
        endRemoveRows();
    }
}

void TRouterGridModel::RowsWritten()
{
    if (!Rows.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}
