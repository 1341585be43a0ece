#pragma once

#include <QAbstractTableModel>
#include <QString>

#include <vector>

// One listed flow of the log window, with the emphasis of its cells: local addresses
// blue and bold, the port of the remote side bold.
struct TFlowLogRow {
    QString SrcIP, SrcPort, DstIP, DstPort, Traffic;
    bool SrcLocal = false;
    bool DstLocal = false;
};

// The log window's flow grid: one row per flow log entry, the listed flows first.
class TFlowLogModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum { ColSrcIP, ColSrcPort, ColDstIP, ColDstPort, ColTraffic, ColumnCount };

    explicit TFlowLogModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Rows after `listed` are shown empty.
    void SetRows(std::vector<TFlowLogRow> rows, std::size_t total);
    void Clear();
    const std::vector<TFlowLogRow>& Rows() const { return Listed; }

private:
    std::vector<TFlowLogRow> Listed;
    std::size_t Total = 0;
};
