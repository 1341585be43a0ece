#include "GridStyle.h"

#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QToolTip>

#include <algorithm>
#include <cmath>

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
    SetUpGrid(grid, name, model, compact);
    return grid;
}

void SetUpGrid(QTableView* grid, const char* name, QAbstractItemModel* model, bool compact)
{
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
        grid->setFont(GridFont());
        grid->horizontalHeader()->setFont(GridFont());
    }
}

int TextWidth(const QFont& font, const QString& text, const QPaintDevice* device)
{
    // Whole pixels rounded up: text is laid out, and cut, by its fractional width.
    return static_cast<int>(std::ceil(QFontMetricsF(font, device).horizontalAdvance(text)));
}

int CellPadding(const QTableView* grid)
{
    return 2 * CellTextMargin + (grid->showGrid() ? 1 : 0);
}

int DecorationRoom(const QTableView* grid)
{
    const int icon = grid->iconSize().isValid() ? grid->iconSize().width()
                                                : grid->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, grid);
    return icon + 2 * CellTextMargin;
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
    int width = TextWidth(font, text, header) + 2 * margin + 2;
    // Only the sorted column shows the mark.
    if (header->isSortIndicatorShown() && header->sortIndicatorSection() == column)
        width += style->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, header) + margin;
    return width;
}
}

void FitColumnsToText(QTableView* grid, const std::vector<int>& columns, int stretched, int givesWay)
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
    const int decoration = DecorationRoom(grid);
    auto widestOf = [&](int column) {
        int widest = HeaderWidth(header, column);
        for (int row = first; row <= last && row < rows; ++row) {
            const QModelIndex index = model->index(row, column);
            const QString text = index.data(Qt::DisplayRole).toString();
            const QVariant font = index.data(Qt::FontRole);
            // Measured for the grid's own screen: its resolution may differ from the default.
            int width = TextWidth(font.isValid() ? font.value<QFont>().resolve(grid->font()) : grid->font(), text,
                                  grid->viewport());
            width += padding;
            if (index.data(Qt::DecorationRole).isValid())
                width += decoration;
            widest = std::max(widest, width);
        }
        return widest;
    };
    std::vector<std::pair<int, int>> widths;
    int total = 0;
    for (int column : columns) {
        if (grid->isColumnHidden(column))
            continue;
        widths.emplace_back(column, widestOf(column));
        total += widths.back().second;
    }
    if (widths.empty())
        return;
    const int stretchedWidest = stretched >= 0 ? widestOf(stretched) : 0;
    if (givesWay >= 0 && stretched >= 0) {
        // A long interface name must not push the name out of sight.
        const int wanted = std::max(std::min(stretchedWidest, StretchedRoom), HeaderWidth(header, stretched));
        const int over = total + wanted - grid->viewport()->width();
        for (auto& [column, width] : widths) {
            if (column != givesWay || over <= 0)
                continue;
            const int narrowed = std::max(HeaderWidth(header, column), width - over);
            total -= width - narrowed;
            width = narrowed;
        }
    }
    // Room the stretched column does not need goes, a few pixels each, to the fitted
    // ones, so that right-aligned numbers do not run into their neighbours' units.
    const int spare = grid->viewport()->width() - total - stretchedWidest;
    const int extra = std::clamp(spare / static_cast<int>(widths.size()), 0, SpareMargin);
    for (const auto& [column, width] : widths)
        if (header->sectionSize(column) != width + extra)
            header->resizeSection(column, width + extra);
}

void TWholeTextDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    if (DecorationRight)
        option->decorationPosition = QStyleOptionViewItem::Right;
}

void TWholeTextDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    // The style paints the cell's background and selection; the text gets all of the
    // cell but CellTextMargin on either side, and the picture, if any, stands at the
    // text's right or left with the same margins.
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    const QString text = cell.text;
    const QIcon icon = cell.icon;
    const QSize iconSize = cell.decorationSize;
    const bool decorated = cell.features & QStyleOptionViewItem::HasDecoration;
    cell.text.clear();
    cell.icon = QIcon();
    cell.features &= ~(QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration);
    const QWidget* widget = cell.widget;
    const QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);

    QRect room = cell.rect.adjusted(CellTextMargin, 0, -CellTextMargin, 0);
    const QIcon::Mode mode = !(cell.state & QStyle::State_Enabled) ? QIcon::Disabled
                             : (cell.state & QStyle::State_Selected) ? QIcon::Selected
                                                                     : QIcon::Normal;
    if (decorated && !icon.isNull()) {
        const int top = room.top() + (room.height() - iconSize.height()) / 2;
        QRect iconRect;
        if (DecorationRight) {
            iconRect = QRect(room.right() - iconSize.width() + 1, top, iconSize.width(), iconSize.height());
            room.setRight(iconRect.left() - 1 - 2 * CellTextMargin);
        } else {
            iconRect = QRect(room.left(), top, iconSize.width(), iconSize.height());
            room.setLeft(iconRect.right() + 1 + 2 * CellTextMargin);
        }
        icon.paint(painter, iconRect, Qt::AlignCenter, mode);
    }
    if (text.isEmpty())
        return;
    const QPalette::ColorGroup group = !(cell.state & QStyle::State_Enabled) ? QPalette::Disabled
                                       : (cell.state & QStyle::State_Active) ? QPalette::Normal
                                                                             : QPalette::Inactive;
    painter->save();
    painter->setFont(cell.font);
    painter->setPen(cell.palette.color(group, (cell.state & QStyle::State_Selected) ? QPalette::HighlightedText
                                                                                    : QPalette::Text));
    const QFontMetrics metrics(cell.font, painter->device());
    painter->drawText(room, static_cast<int>(cell.displayAlignment) | Qt::TextSingleLine,
                      metrics.elidedText(text, cell.textElideMode, room.width()));
    painter->restore();
}

QString TWholeTextDelegate::CutText(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    if (cell.text.isEmpty())
        return {};
    int room = cell.rect.width() - 2 * CellTextMargin;
    if (cell.features & QStyleOptionViewItem::HasDecoration)
        room -= cell.decorationSize.width() + 2 * CellTextMargin;
    const QPaintDevice* device = cell.widget;
    if (TextWidth(cell.font, cell.text, device) <= room)
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
