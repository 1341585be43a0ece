#pragma once

#include <QAbstractTableModel>

#include <string>
#include <vector>

struct TRouterGridRow {
    std::string IP, Sequenz, Time, RecordCount, PLoss;
    std::int64_t Upload = 0, Download = 0;
};

// The router grid: one row per router in the order first seen. Rows stand by position
// (the port charts follow the selected row), so this grid is not sortable.
class TRouterGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum { ColIP, ColSequenz, ColTime, ColRecordCount, ColUp, ColDown, ColPLoss, ColumnCount };

    explicit TRouterGridModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The tick sets the row count first and then writes rows one by one; rows it does
    // not reach (after a failure) keep their previous content.
    void SetRowCount(std::size_t count);
    TRouterGridRow& Row(std::size_t index) { return Rows[index]; }
    void RowsWritten();
    const std::vector<TRouterGridRow>& AllRows() const { return Rows; }

private:
    std::vector<TRouterGridRow> Rows;
};
