#include "GridStyle.h"

#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QProxyStyle>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QToolTip>

#include <algorithm>

QFont GridFont(bool bold, bool italic)
{
    QFont font;
    font.setPointSizeF(8);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

namespace {
// The compact grids keep one pixel, not three, between a cell's text and its edges:
// eight columns of numbers must show whole beside the charts.
class TCompactGridStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        if (metric == PM_FocusFrameHMargin)
            return 0;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};
}

QTableView* MakeGrid(QWidget* parent, const char* name, QAbstractItemModel* model, bool compact)
{
    auto* grid = new QTableView(parent);
    grid->setObjectName(QString::fromLatin1(name));
    grid->setModel(model);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setWordWrap(false);
    grid->verticalHeader()->hide();
    grid->verticalHeader()->setDefaultSectionSize(18);
    grid->horizontalHeader()->setHighlightSections(false);
    // Fitted columns decide their own widths; the stretched last one may become narrow
    // and shows what it cuts in a tooltip.
    grid->horizontalHeader()->setMinimumSectionSize(24);
    grid->horizontalHeader()->setDefaultSectionSize(40);
    if (compact) {
        auto* style = new TCompactGridStyle;
        style->setParent(grid);
        grid->setStyle(style);
        grid->setFont(GridFont());
        grid->horizontalHeader()->setFont(GridFont());
    }
    return grid;
}

int CellPadding(const QTableView* grid)
{
    // QStyledItemDelegate keeps the focus frame's margin plus one pixel free on either
    // side of the text.
    const QStyle* style = grid->style();
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, grid) + 1;
    return 2 * margin + (grid->showGrid() ? 1 : 0);
}

namespace {
// What a header section needs for its bold caption and, where the grid sorts, the
// sort mark.
int HeaderWidth(const QHeaderView* header, int column)
{
    const QAbstractItemModel* model = header->model();
    const QVariant fontRole = model->headerData(column, Qt::Horizontal, Qt::FontRole);
    const QFont font = fontRole.isValid() ? fontRole.value<QFont>() : header->font();
    const QString text = model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    const QStyle* style = header->style();
    const int margin = style->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    int width = QFontMetrics(font).horizontalAdvance(text) + 2 * margin + 2;
    // Only the sorted column shows the mark.
    if (header->isSortIndicatorShown() && header->sortIndicatorSection() == column)
        width += style->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, header) + margin;
    return width;
}
}

void FitColumnsToText(QTableView* grid, const std::vector<int>& columns)
{
    const QAbstractItemModel* model = grid->model();
    QHeaderView* header = grid->horizontalHeader();
    const int rows = model->rowCount();
    int first = grid->rowAt(0);
    int last = grid->rowAt(grid->viewport()->height() - 1);
    if (first < 0)
        first = 0;
    if (last < 0)
        last = rows - 1;
    const int padding = CellPadding(grid);
    const QFontMetrics plain(grid->font());
    const int iconRoom = grid->iconSize().isValid() ? grid->iconSize().width()
                                                    : grid->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, grid);
    for (int column : columns) {
        if (grid->isColumnHidden(column))
            continue;
        int widest = HeaderWidth(header, column);
        for (int row = first; row <= last && row < rows; ++row) {
            const QModelIndex index = model->index(row, column);
            const QString text = index.data(Qt::DisplayRole).toString();
            const QVariant font = index.data(Qt::FontRole);
            int width = (font.isValid() ? QFontMetrics(font.value<QFont>()) : plain).horizontalAdvance(text) + padding;
            // A picture beside the text takes its own width and the delegate's margin.
            if (index.data(Qt::DecorationRole).isValid())
                width += iconRoom + padding;
            widest = std::max(widest, width);
        }
        if (header->sectionSize(column) != widest)
            header->resizeSection(column, widest);
    }
}

void TWholeTextDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    if (DecorationRight)
        option->decorationPosition = QStyleOptionViewItem::Right;
}

QString TWholeTextDelegate::CutText(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    if (cell.text.isEmpty())
        return {};
    const QWidget* widget = cell.widget;
    const QStyle* style = widget ? widget->style() : QApplication::style();
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &cell, widget);
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const int room = textRect.width() - 2 * margin;
    if (QFontMetrics(cell.font).horizontalAdvance(cell.text) <= room)
        return {};
    return cell.text;
}

bool TWholeTextDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                   const QModelIndex& index)
{
    if (event->type() == QEvent::ToolTip && index.isValid() && !index.data(Qt::ToolTipRole).isValid()) {
        const QString whole = CutText(option, index);
        if (!whole.isEmpty()) {
            QToolTip::showText(event->globalPos(), whole, view);
            return true;
        }
        QToolTip::hideText();
        return true;
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}
