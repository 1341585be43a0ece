#include "TBarChart.h"

#include <QtCharts/QBarCategoryAxis>
#include <QtCharts/QBarSet>
#include <QtCharts/QHorizontalStackedBarSeries>
#include <QtCharts/QStackedBarSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <numeric>

TBarChart::TBarChart(Qt::Orientation orientation, const QString& title, QWidget* parent)
    : QChartView(parent), Orientation(orientation)
{
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->legend()->hide();
    // Redrawn by a timer: animations would only burn time and blur the values.
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->setMargins(QMargins(2, 2, 2, 2));
    chart->setBackgroundRoundness(0);
    if (orientation == Qt::Vertical)
        Series = new QStackedBarSeries;
    else
        Series = new QHorizontalStackedBarSeries;
    Series->setBarWidth(0.8);
    chart->addSeries(Series);
    Categories = new QBarCategoryAxis;
    Values = new QValueAxis;
    Values->setLabelFormat(QStringLiteral("%.0f"));
    Values->setLabelsVisible(false);
    QFont small = Categories->labelsFont();
    small.setPointSizeF(7);
    Categories->setLabelsFont(small);
    chart->addAxis(Categories, orientation == Qt::Vertical ? Qt::AlignBottom : Qt::AlignLeft);
    chart->addAxis(Values, orientation == Qt::Vertical ? Qt::AlignLeft : Qt::AlignBottom);
    Series->attachAxis(Categories);
    Series->attachAxis(Values);
    setChart(chart);
    setRenderHint(QPainter::Antialiasing, false);
}

void TBarChart::SetBars(std::vector<TBar> bars)
{
    if (bars.size() > MaxBars) {
        // Thousands of bars are unreadable: keep the largest, in their own order.
        std::vector<std::size_t> order(bars.size());
        std::iota(order.begin(), order.end(), 0);
        std::nth_element(order.begin(), order.begin() + MaxBars, order.end(),
                         [&](std::size_t a, std::size_t b) { return bars[a].Value > bars[b].Value; });
        order.resize(MaxBars);
        std::sort(order.begin(), order.end());
        std::vector<TBar> kept;
        kept.reserve(MaxBars);
        for (std::size_t i : order)
            kept.push_back(std::move(bars[i]));
        bars = std::move(kept);
    }
    if (bars == Shown)
        return;
    const bool sameShape = bars.size() == Shown.size()
        && std::equal(bars.begin(), bars.end(), Shown.begin(),
                      [](const TBar& a, const TBar& b) { return a.Label == b.Label && a.Colour == b.Colour; });
    if (sameShape) {
        // Under live traffic only the values move: update them in place, which costs
        // a fraction of building the series and the axis anew.
        const QList<QBarSet*> sets = Series->barSets();
        double maximum = 0;
        for (std::size_t i = 0; i < bars.size(); ++i) {
            maximum = std::max(maximum, bars[i].Value);
            if (bars[i].Value == Shown[i].Value)
                continue;
            for (QBarSet* set : sets)
                if (set->color() == bars[i].Colour)
                    set->replace(static_cast<int>(i), bars[i].Value);
        }
        Shown = std::move(bars);
        Values->setRange(0, maximum > 0 ? maximum * 1.05 : 1);
        return;
    }
    Shown = std::move(bars);

    Series->clear();
    std::vector<std::pair<QColor, QBarSet*>> sets;
    for (const TBar& bar : Shown) {
        if (std::none_of(sets.begin(), sets.end(), [&](const auto& s) { return s.first == bar.Colour; })) {
            auto* set = new QBarSet(QString());
            set->setColor(bar.Colour);
            set->setBorderColor(bar.Colour);
            sets.emplace_back(bar.Colour, set);
        }
    }
    QStringList labels;
    double maximum = 0;
    for (const TBar& bar : Shown) {
        for (auto& [colour, set] : sets)
            set->append(colour == bar.Colour ? bar.Value : 0.0);
        // Category names must be unique; equal labels get invisible distinctions.
        QString label = bar.Label;
        while (labels.contains(label))
            label += QChar(0x200B);
        labels << label;
        maximum = std::max(maximum, bar.Value);
    }
    for (auto& entry : sets)
        Series->append(entry.second);
    Categories->clear();
    Categories->append(labels);
    // Many bars leave no room for level labels: turn them on their side.
    Categories->setLabelsAngle(Orientation == Qt::Vertical && labels.size() > 6 ? -90 : 0);
    Values->setRange(0, maximum > 0 ? maximum * 1.05 : 1);
}

void TBarChart::SetValueTitle(const QString& title)
{
    Values->setTitleText(title);
    Values->setLabelsVisible(!title.isEmpty());
}
