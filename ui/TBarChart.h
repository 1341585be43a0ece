#pragma once

#include <QColor>
#include <QString>
#include <QtCharts/QChartView>

#include <vector>

class QBarCategoryAxis;
class QValueAxis;
class QAbstractBarSeries;

struct TBar {
    double Value = 0;
    QString Label;
    QColor Colour;

    bool operator==(const TBar&) const = default;
};

// A bar chart of single bars, each with its own value, label and colour, standing in
// the order given. The only place that knows the chart library: bars of one colour
// form one stacked set, so every category shows exactly one bar of its colour.
// Redraws only when the bars changed; shows at most MaxBars of the largest bars.
class TBarChart : public QChartView {
    Q_OBJECT
public:
    static constexpr std::size_t MaxBars = 120;

    explicit TBarChart(Qt::Orientation orientation, const QString& title = QString(), QWidget* parent = nullptr);

    void SetBars(std::vector<TBar> bars);
    void Clear() { SetBars({}); }
    void SetValueTitle(const QString& title);
    const std::vector<TBar>& Bars() const { return Shown; }

private:
    Qt::Orientation Orientation;
    QAbstractBarSeries* Series = nullptr;
    QBarCategoryAxis* Categories = nullptr;
    QValueAxis* Values = nullptr;
    std::vector<TBar> Shown;
};
