#include "TBarChart.h"

#include <QEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {
constexpr int Margin = 3;
constexpr int LabelGap = 6;
// Turned labels take at most this share of the chart's height; a longer one is cut
// rather than leaving no room for the bars.
constexpr double TurnedShare = 0.6;
}

TBarChart::TBarChart(Qt::Orientation orientation, const QString& title, QWidget* parent)
    : QWidget(parent), Orientation(orientation), Title(title)
{
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    ToolTipText = [](const std::vector<TBar>& bars, std::size_t i) {
        return QStringLiteral("%1: %2").arg(bars[i].Label, QString::number(bars[i].Value, 'f', 0));
    };
}

QSize TBarChart::minimumSizeHint() const
{
    return {60, 40};
}

QSize TBarChart::sizeHint() const
{
    return {300, 150};
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
    const bool sameLabels = bars.size() == Shown.size()
        && std::equal(bars.begin(), bars.end(), Shown.begin(),
                      [](const TBar& a, const TBar& b) { return a.Label == b.Label; });
    if (!sameLabels)
        WidestCache = -1;
    Shown = std::move(bars);
    Maximum = 0;
    for (const TBar& bar : Shown)
        Maximum = std::max(Maximum, bar.Value);
    update();
}

void TBarChart::SetValueTitle(const QString& title)
{
    ValueTitle = title;
    update();
}

void TBarChart::SetToolTipText(std::function<QString(const std::vector<TBar>&, std::size_t)> text)
{
    ToolTipText = std::move(text);
}

QFont TBarChart::LabelFont() const
{
    QFont small = font();
    small.setPointSizeF(7);
    return small;
}

int TBarChart::WidestLabel() const
{
    // Measured when the labels change, not on every paint: under live traffic only
    // the values move.
    if (WidestCache < 0) {
        const QFontMetrics metrics(LabelFont(), this);
        WidestCache = 0;
        for (const TBar& bar : Shown)
            WidestCache = std::max(WidestCache, metrics.horizontalAdvance(bar.Label));
    }
    return WidestCache;
}

int TBarChart::LabelStepFor(int widest, double slot, int gap)
{
    if (slot <= 0)
        return 1;
    return std::max(1, static_cast<int>(std::ceil((widest + gap) / slot)));
}

TBarChart::TGeometry TBarChart::Layout() const
{
    TGeometry g;
    const QFontMetrics metrics(LabelFont(), this);
    QRectF area = QRectF(rect()).adjusted(Margin, Margin, -Margin, -Margin);
    if (!Title.isEmpty())
        area.setTop(area.top() + metrics.height() + 2);
    const auto n = static_cast<double>(std::max<std::size_t>(Shown.size(), 1));
    const int widest = WidestLabel();
    if (Orientation == Qt::Vertical) {
        const double slot = area.width() / n;
        g.Slot = slot;
        double labelHeight = metrics.height() + 2;
        if (widest + LabelGap > slot && Crowded == TCrowded::Turn && !Shown.empty()) {
            g.Turned = true;
            labelHeight = std::min(widest + 4.0, area.height() * TurnedShare);
            g.Step = LabelStepFor(metrics.height(), slot, 1);
        } else {
            g.Step = LabelStepFor(widest, slot, LabelGap);
        }
        g.Plot = QRectF(area.left(), area.top(), area.width(), std::max(0.0, area.height() - labelHeight));
        g.LabelArea = QRectF(area.left(), g.Plot.bottom() + 2, area.width(), labelHeight - 2);
    } else {
        if (!ValueTitle.isEmpty())
            area.setBottom(area.bottom() - metrics.height() - 2);
        const double labelWidth = std::min(widest + 6.0, area.width() / 3);
        g.LabelArea = QRectF(area.left(), area.top(), labelWidth, area.height());
        g.Plot = QRectF(area.left() + labelWidth, area.top(), std::max(0.0, area.width() - labelWidth), area.height());
        g.Slot = area.height() / n;
        g.Step = LabelStepFor(metrics.height(), g.Slot, 0);
    }
    return g;
}

int TBarChart::LabelStep() const
{
    return Layout().Step;
}

bool TBarChart::LabelsTurned() const
{
    return Layout().Turned;
}

int TBarChart::BarAt(const QPoint& at) const
{
    if (Shown.empty())
        return -1;
    const TGeometry g = Layout();
    const QRectF band = g.Plot.united(g.LabelArea);
    if (!band.contains(at))
        return -1;
    const double along = Orientation == Qt::Vertical ? at.x() - g.Plot.left() : at.y() - g.Plot.top();
    const auto index = static_cast<int>(along / g.Slot);
    return index >= 0 && index < static_cast<int>(Shown.size()) ? index : -1;
}

QString TBarChart::ToolTipOf(std::size_t index) const
{
    return index < Shown.size() ? ToolTipText(Shown, index) : QString();
}

bool TBarChart::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const int bar = BarAt(help->pos());
        if (bar >= 0)
            QToolTip::showText(help->globalPos(), ToolTipOf(static_cast<std::size_t>(bar)), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}

void TBarChart::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QFont labelFont = LabelFont();
    const QFontMetrics metrics(labelFont, this);
    if (!Title.isEmpty()) {
        QFont bold = labelFont;
        bold.setBold(true);
        painter.setFont(bold);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(QRect(Margin, Margin, width() - 2 * Margin, metrics.height()), Qt::AlignHCenter | Qt::AlignTop,
                         Title);
    }
    const TGeometry g = Layout();
    painter.setFont(labelFont);
    painter.setPen(QColor(160, 160, 160));
    if (Orientation == Qt::Vertical)
        painter.drawLine(g.Plot.bottomLeft(), g.Plot.bottomRight());
    else
        painter.drawLine(g.Plot.topLeft(), g.Plot.bottomLeft());
    if (!ValueTitle.isEmpty() && Orientation == Qt::Horizontal) {
        const QRectF axis(g.Plot.left(), g.Plot.bottom() + 2, g.Plot.width(), metrics.height());
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(axis, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("0"));
        painter.drawText(axis, Qt::AlignHCenter | Qt::AlignVCenter, ValueTitle);
        painter.drawText(axis, Qt::AlignRight | Qt::AlignVCenter, QString::number(Maximum, 'f', 0));
    }
    if (Shown.empty())
        return;
    const double top = Maximum > 0 ? Maximum * 1.05 : 1;
    for (std::size_t i = 0; i < Shown.size(); ++i) {
        const TBar& bar = Shown[i];
        const double start = static_cast<double>(i) * g.Slot + g.Slot * 0.1;
        const double length = std::max(0.0, bar.Value) / top;
        QRectF box;
        if (Orientation == Qt::Vertical) {
            const double h = length * g.Plot.height();
            box = QRectF(g.Plot.left() + start, g.Plot.bottom() - h, g.Slot * 0.8, h);
        } else {
            box = QRectF(g.Plot.left(), g.Plot.top() + start, length * g.Plot.width(), g.Slot * 0.8);
        }
        painter.fillRect(box, bar.Colour);
    }
    painter.setPen(palette().color(QPalette::WindowText));
    for (std::size_t i = 0; i < Shown.size(); i += static_cast<std::size_t>(g.Step)) {
        const QString& label = Shown[i].Label;
        const double centre = static_cast<double>(i) * g.Slot + g.Slot / 2;
        if (Orientation == Qt::Horizontal) {
            const QRectF box(g.LabelArea.left(), g.LabelArea.top() + centre - metrics.height() / 2.0,
                             g.LabelArea.width() - 4, metrics.height());
            painter.drawText(box, Qt::AlignRight | Qt::AlignVCenter, label);
        } else if (!g.Turned) {
            const double x = g.LabelArea.left() + centre;
            const QRectF box(x - g.Slot * g.Step / 2.0, g.LabelArea.top(), g.Slot * g.Step, metrics.height());
            painter.drawText(box, Qt::AlignHCenter | Qt::AlignTop, label);
        } else {
            // Read from the bottom up, starting just under the axis.
            painter.save();
            painter.translate(g.LabelArea.left() + centre, g.LabelArea.top());
            painter.rotate(-90);
            const QString text = metrics.elidedText(label, Qt::ElideRight, static_cast<int>(g.LabelArea.height()));
            painter.drawText(QRectF(-g.LabelArea.height(), -metrics.height() / 2.0, g.LabelArea.height(), metrics.height()),
                             Qt::AlignRight | Qt::AlignVCenter, text);
            painter.restore();
        }
    }
}
