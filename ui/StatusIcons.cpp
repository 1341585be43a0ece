#include "StatusIcons.h"

#include <QPainter>

QPixmap RoundMark(const QColor& colour, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(colour.darker(160));
    painter.setBrush(colour);
    painter.drawEllipse(1, 1, size - 2, size - 2);
    return pixmap;
}

QIcon StatusIcon(bool online)
{
    return QIcon(RoundMark(online ? QColor(40, 180, 60) : QColor(200, 50, 40)));
}
