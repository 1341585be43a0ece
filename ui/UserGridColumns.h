#pragma once

#include "TUserGridModel.h"

#include <QString>

#include <array>
#include <string>

// What a column of the user grid sorts by: a number or a text of the row, the address
// (dotted quads by their value, anything else after them by text), or nothing.
struct TUserSortKey {
    enum TKind { None, Number, Text, Address };
    TKind Kind = None;
    double TUserGridRow::*NumberField = nullptr;
    std::string TUserGridRow::*TextField = nullptr;
};

// How FitColumns sizes a column: to its widest text on screen, the same but narrowed
// first when room runs short, the rest of the grid's width, or not shown at all.
enum class TUserColumnWidth { Fitted, FittedGivesWay, Stretched, Hidden };

// The look of a column's cells: the grid's plain font, or its compact bold or italic one.
enum class TUserColumnFont { Plain, Bold, Italic };

// One column of the user grid: everything the model, its sort and the grid's fitting
// know of it. A new column is one more entry in UserGridColumns (UserGridColumns.cpp),
// its name in TUserGridModel's column list at the same place, and the field of
// TUserGridRow it shows, which FillUserRow writes.
struct TUserGridColumn {
    int Id;
    const char* Header;
    QString (*Text)(const TUserGridRow& row);
    TUserSortKey Sort;
    TUserColumnWidth Width;
    Qt::Alignment CellAlignment;
    Qt::Alignment HeaderAlignment;
    TUserColumnFont Font;
    bool BandText;  // written in the colour of the row's band
    bool LimitMarked;  // coloured when the device reached 80 % or 100 % of its volume limit
};

// The columns in grid order, one per TUserGridModel column.
const std::array<TUserGridColumn, TUserGridModel::ColumnCount>& UserGridColumns();
const TUserGridColumn& UserGridColumn(int column);
// What a column sorts by; nothing for a number that names no column (a view may sort
// by none).
const TUserSortKey& UserSortKey(int column);

// The key sorting by the address column uses: a dotted quad by its numeric value, any
// other text after all of them.
quint64 AddressSortKey(const std::string& ip);
