#include "AppTitle.h"

#include <QCoreApplication>

void SetApplicationTitle()
{
    // The name only, no display name: Qt appends a display name to every window's
    // caption on screen (" — Vexal Capture"), and the captions must read exactly as
    // each window sets them.
    QCoreApplication::setApplicationName(QStringLiteral("Vexal Capture"));
}
