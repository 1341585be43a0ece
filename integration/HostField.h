#pragma once

#include <QString>

// The export's host field as the database driver takes it. The field holds one host or
// a list ("node2:3306,node1:3306"), each entry with its own port or not, as people
// write it, with spaces after the commas. The driver tries a list in its order only
// when it has a comma, and takes a single "host:port" for a host name; and it takes
// spaces for a part of the name.
struct THostField {
    QString Host;
    // -1 for the driver's default.
    int Port = -1;
};

// fieldPort: the separate port field's value (-1 when it holds none), the port of every
// entry without its own.
THostField ParseHostField(const QString& field, int fieldPort);
