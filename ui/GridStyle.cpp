#include "GridStyle.h"

#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
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
    if (compact) {
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
    if (header->isSortIndicatorShown())
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
    QStyleOptionViewItem option;
    option.initFrom(grid->viewport());
    option.font = grid->font();
    option.features |= QStyleOptionViewItem::HasDisplay;
    for (int column : columns) {
        if (grid->isColumnHidden(column))
            continue;
        int widest = HeaderWidth(header, column);
        QAbstractItemDelegate* delegate = grid->itemDelegateForColumn(column);
        if (!delegate)
            delegate = grid->itemDelegate();
        for (int row = first; row <= last && row < rows; ++row) {
            const QModelIndex index = model->index(row, column);
            widest = std::max(widest, delegate->sizeHint(option, index).width() + (grid->showGrid() ? 1 : 0));
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
