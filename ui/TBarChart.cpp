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
    HasMarks = false;
    Groups.clear();
    for (std::size_t i = 0; i < Shown.size(); ++i) {
        Maximum = std::max(Maximum, Shown[i].Value);
        HasMarks = HasMarks || !Shown[i].Mark.isEmpty();
        if (Groups.empty() || !Shown[i].Label.isEmpty())
            Groups.push_back({i, 1});
        else
            ++Groups.back().Count;
    }
    NarrowestGroup = Shown.size();
    for (const TGroup& group : Groups)
        NarrowestGroup = std::min(NarrowestGroup, group.Count);
    NarrowestGroup = std::max<std::size_t>(NarrowestGroup, 1);
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
    g.Top = Maximum > 0 ? Maximum * 1.05 : 1;
    const auto n = static_cast<double>(std::max<std::size_t>(Shown.size(), 1));
    const int widest = WidestLabel();
    if (Orientation == Qt::Vertical) {
        // The marks stand above their bars: the tallest bar leaves room for its own.
        if (HasMarks)
            area.setTop(area.top() + metrics.height() + 1);
        const double slot = area.width() / n;
        const double labelSlot = slot * static_cast<double>(NarrowestGroup);
        g.Slot = slot;
        double labelHeight = metrics.height() + 2;
        if (widest + LabelGap > labelSlot && Crowded == TCrowded::Turn && !Shown.empty()) {
            g.Turned = true;
            labelHeight = std::min(widest + 4.0, area.height() * TurnedShare);
            g.Step = LabelStepFor(metrics.height(), labelSlot, 1);
        } else {
            g.Step = LabelStepFor(widest, labelSlot, LabelGap);
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
        g.Step = LabelStepFor(metrics.height(), g.Slot * static_cast<double>(NarrowestGroup), 0);
    }
    return g;
}

QRectF TBarChart::BarBox(const TGeometry& g, std::size_t index) const
{
    const double start = static_cast<double>(index) * g.Slot + g.Slot * 0.1;
    const double length = std::max(0.0, Shown[index].Value) / g.Top;
    if (Orientation == Qt::Vertical) {
        const double h = length * g.Plot.height();
        return {g.Plot.left() + start, g.Plot.bottom() - h, g.Slot * 0.8, h};
    }
    return {g.Plot.left(), g.Plot.top() + start, length * g.Plot.width(), g.Slot * 0.8};
}

std::vector<TChartText> TBarChart::PlacedTexts() const
{
    std::vector<TChartText> texts;
    if (Shown.empty())
        return texts;
    const TGeometry g = Layout();
    const QFontMetrics metrics(LabelFont(), this);
    const double h = metrics.height();
    // Each label centred on its bars, moved in where it would pass the chart's edge;
    // one that would then touch the label before it is left out.
    double lastEnd = -1e9;
    for (std::size_t k = 0; k < Groups.size(); k += static_cast<std::size_t>(g.Step)) {
        const TGroup& group = Groups[k];
        const double centre = (static_cast<double>(group.First) + static_cast<double>(group.Count) / 2) * g.Slot;
        QString text = Shown[group.First].Label;
        if (text.isEmpty())
            continue;
        TChartText placed;
        placed.Turned = g.Turned;
        if (Orientation == Qt::Horizontal) {
            const double w = metrics.horizontalAdvance(text);
            if (w > g.LabelArea.width() - 4 || h > g.LabelArea.height())
                continue;
            const double y = std::clamp(g.LabelArea.top() + centre - h / 2, g.LabelArea.top(), g.LabelArea.bottom() - h);
            placed.Box = QRectF(g.LabelArea.right() - 4 - w, y, w, h);
        } else {
            double w = metrics.horizontalAdvance(text);
            double along = h;
            if (g.Turned) {
                // Read from the bottom up; a label longer than the room keeps its start.
                text = metrics.elidedText(text, Qt::ElideRight, static_cast<int>(g.LabelArea.height()));
                w = h;
                along = std::min<double>(metrics.horizontalAdvance(text), g.LabelArea.height());
            }
            if (w > g.LabelArea.width())
                continue;
            const double x = std::clamp(g.LabelArea.left() + centre - w / 2, g.LabelArea.left(), g.LabelArea.right() - w);
            placed.Box = QRectF(x, g.LabelArea.top(), w, along);
        }
        const double start = Orientation == Qt::Horizontal ? placed.Box.top() : placed.Box.left();
        if (start < lastEnd + (g.Turned || Orientation == Qt::Horizontal ? 0 : 2))
            continue;
        lastEnd = Orientation == Qt::Horizontal ? placed.Box.bottom() : placed.Box.right();
        placed.Text = text;
        texts.push_back(std::move(placed));
    }
    if (Orientation == Qt::Vertical && HasMarks) {
        for (std::size_t i = 0; i < Shown.size(); ++i) {
            const QString& mark = Shown[i].Mark;
            const double w = metrics.horizontalAdvance(mark);
            if (mark.isEmpty() || w > g.Slot)
                continue;
            const QRectF bar = BarBox(g, i);
            const double x = std::clamp(bar.center().x() - w / 2, g.Plot.left(), g.Plot.right() - w);
            texts.push_back({QRectF(x, bar.top() - h - 1, w, h), mark, false});
        }
    }
    return texts;
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
    for (std::size_t i = 0; i < Shown.size(); ++i)
        painter.fillRect(BarBox(g, i), Shown[i].Colour);
    painter.setPen(palette().color(QPalette::WindowText));
    for (const TChartText& text : PlacedTexts()) {
        if (!text.Turned) {
            painter.drawText(text.Box, Qt::AlignLeft | Qt::AlignTop, text.Text);
            continue;
        }
        painter.save();
        painter.translate(text.Box.left(), text.Box.top());
        painter.rotate(-90);
        painter.drawText(QRectF(-text.Box.height(), 0, text.Box.height(), text.Box.width()),
                         Qt::AlignRight | Qt::AlignVCenter, text.Text);
        painter.restore();
    }
}
