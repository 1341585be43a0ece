#pragma once

#include <QFont>

class QAbstractItemModel;
class QTableView;
class QWidget;

// The compact font of the main window's grids: thousands of rows and eight columns of
// numbers must fit the fixed window.
QFont GridFont(bool bold = false, bool italic = false);

// A read-only grid over a model that selects whole rows, as every grid of the program.
// With `compact`, it uses GridFont.
QTableView* MakeGrid(QWidget* parent, const char* name, QAbstractItemModel* model, bool compact);
