#pragma once

#include <QFont>
#include <QStyledItemDelegate>

#include <vector>

class QAbstractItemModel;
class QPaintDevice;
class QTableView;
class QWidget;

// The compact font of the main window's grids: eight columns of numbers beside the
// charts must show whole in the window's opening size.
QFont GridFont(bool bold = false, bool italic = false);

// A read-only grid over a model that selects whole rows, as every grid of the program.
// With `compact`, it uses GridFont.
QTableView* MakeGrid(QWidget* parent, const char* name, QAbstractItemModel* model, bool compact);
// The same for a grid class of its own.
void SetUpGrid(QTableView* grid, const char* name, QAbstractItemModel* model, bool compact);

// Sizes each of `columns` to the widest text it shows in the rows now on screen and
// its header, so that no value is cut; the grid's last section, `stretched`, takes
// what is left. When that leaves room, each fitted column gets up to SpareMargin
// pixels more. Costs a few dozen text measurements, not one per row, so the tick can
// call it. A column named as `givesWay` is narrowed, not below its header, where the
// others would leave `stretched` less than StretchedRoom pixels (or less than its
// widest text, when that is narrower): its texts are then cut, whole in their tooltip.
constexpr int SpareMargin = 8;
constexpr int StretchedRoom = 80;
void FitColumnsToText(QTableView* grid, const std::vector<int>& columns, int stretched = -1, int givesWay = -1);

// The pixels a grid cell keeps free on either side of its text and its picture: one,
// not the style's three, so that eight columns of numbers show whole beside the charts.
constexpr int CellTextMargin = 1;

// The width a text takes when laid out in `font` on `device`, in whole pixels.
int TextWidth(const QFont& font, const QString& text, const QPaintDevice* device);

// What a grid cell needs besides its text's width: the margins on both sides and the
// grid line; and, for a cell with a picture, the picture with its margins.
int CellPadding(const QTableView* grid);
int DecorationRoom(const QTableView* grid);

// The cell delegate of the main window's grids: a cell whose text is cut shows it
// whole in its tooltip (unless the model gives a tooltip of its own); with
// `decorationRight`, the cell's picture stands at its right edge.
class TWholeTextDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit TWholeTextDelegate(QObject* parent, bool decorationRight = false)
        : QStyledItemDelegate(parent), DecorationRight(decorationRight)
    {
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
    // The text a tooltip shows for a cell `width` pixels wide: empty when it fits.
    QString CutText(const QStyleOptionViewItem& option, const QModelIndex& index) const;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

private:
    bool DecorationRight;
};
