#include "GridStyle.h"

#include <QHeaderView>
#include <QTableView>

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
