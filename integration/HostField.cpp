#include "HostField.h"

#include <QStringList>

namespace {
// "host:port" with a port in range and a host without a colon (a bare IPv6 address
// keeps its colons), split; anything else stays one host.
bool SplitPort(const QString& entry, QString& host, int& port)
{
    const qsizetype colon = entry.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0 || entry.indexOf(QLatin1Char(':')) != colon)
        return false;
    bool ok = false;
    const int value = entry.mid(colon + 1).toInt(&ok);
    if (!ok || value <= 0 || value > 65535)
        return false;
    host = entry.left(colon);
    port = value;
    return true;
}
}

THostField ParseHostField(const QString& field, int fieldPort)
{
    QStringList entries;
    for (const QString& entry : field.split(QLatin1Char(',')))
        if (const QString trimmed = entry.trimmed(); !trimmed.isEmpty())
            entries << trimmed;
    THostField result{entries.join(QLatin1Char(',')), fieldPort};
    if (entries.size() == 1) {
        QString host;
        int port = 0;
        if (SplitPort(entries.front(), host, port))
            result = {host, port};
    }
    return result;
}
