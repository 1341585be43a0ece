#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

// The small round marks the windows use: online and offline status, and the arrival
// lights of the two listeners (lit and at rest).
QPixmap RoundMark(const QColor& colour, int size = 12);
QIcon StatusIcon(bool online);
