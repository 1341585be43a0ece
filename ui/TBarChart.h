#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

struct TBar {
    double Value = 0;
    // Under the bar; an empty label joins the bar to the label before it, which then
    // stands under them together (a router's or an hour's upload and download).
    QString Label;
    QColor Colour;
    // Above the bar (its value with the unit); left out where it is wider than the bar's room.
    QString Mark = {};

    bool operator==(const TBar&) const = default;
};

// A label or mark as the chart draws it: its text and the box it fills in the widget
// (for a turned label, the box it covers on screen).
struct TChartText {
    QRectF Box;
    QString Text;
    bool Turned = false;
};

// A bar chart of single bars, each with its own value, label and colour, standing in
// the order given; drawn by itself, so that every label is either whole or left out,
// never cut to "…", and lies whole inside the chart (a label at either end moves in
// rather than being cut by the edge). Labels stand level under their bars (beside them
// when the chart lies on its side); when they do not fit, every second, third ...
// label is drawn, or, for charts whose every label matters (the routers), they are
// turned on their side. Each bar names its label and value in a tooltip. Shows at
// most MaxBars of the largest bars.
class TBarChart : public QWidget {
    Q_OBJECT
public:
    static constexpr std::size_t MaxBars = 120;
    // How labels that do not fit level give way.
    enum class TCrowded { Thin, Turn };

    explicit TBarChart(Qt::Orientation orientation, const QString& title = QString(), QWidget* parent = nullptr);

    void SetBars(std::vector<TBar> bars);
    void Clear() { SetBars({}); }
    void SetValueTitle(const QString& title);
    void SetCrowded(TCrowded crowded) { Crowded = crowded; update(); }
    // The tooltip text of bar `index` (all bars given, for charts whose bars pair up).
    void SetToolTipText(std::function<QString(const std::vector<TBar>&, std::size_t)> text);
    const std::vector<TBar>& Bars() const { return Shown; }

    // What the chart draws at its present size: every LabelStep()-th label from the
    // first, level or turned.
    int LabelStep() const;
    bool LabelsTurned() const;
    // Every label and mark drawn at the present size, where it stands.
    std::vector<TChartText> PlacedTexts() const;
    // The bar under a point of the widget, or -1.
    int BarAt(const QPoint& at) const;
    QString ToolTipOf(std::size_t index) const;

    // The smallest step k such that labels as wide as `widest`, one in every k-th slot
    // of `slot` pixels, keep `gap` pixels between them.
    static int LabelStepFor(int widest, double slot, int gap);

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct TGeometry {
        QRectF Plot;        // where the bars stand
        QRectF LabelArea;   // where their labels stand
        double Slot = 0;    // room of one bar along the category direction
        double Top = 1;     // the value at the plot's far end
        int Step = 1;       // in labels (groups of bars under one label)
        bool Turned = false;
    };
    TGeometry Layout() const;
    QFont LabelFont() const;
    int WidestLabel() const;
    // Where bar `index` stands.
    QRectF BarBox(const TGeometry& g, std::size_t index) const;

    // The bars under each label: the first bar of each group and how many it has.
    struct TGroup {
        std::size_t First = 0;
        std::size_t Count = 1;
    };

    Qt::Orientation Orientation;
    QString Title;
    QString ValueTitle;
    TCrowded Crowded = TCrowded::Thin;
    std::function<QString(const std::vector<TBar>&, std::size_t)> ToolTipText;
    std::vector<TBar> Shown;
    std::vector<TGroup> Groups;
    std::size_t NarrowestGroup = 1;
    bool HasMarks = false;
    double Maximum = 0;
    mutable int WidestCache = -1;
};
