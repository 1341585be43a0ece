#pragma once

#include "TBarChart.h"

#include <QColor>
#include <QString>
#include <QVariant>

#include <ostream>

// Readable GoogleTest failure messages for Qt values.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QColor& colour, std::ostream* out)
{
    *out << colour.name().toStdString();
}

inline void PrintTo(const TBar& bar, std::ostream* out)
{
    *out << "{" << bar.Value << ", \"" << bar.Label.toStdString() << "\", " << bar.Colour.name().toStdString() << "}";
}

inline void PrintTo(const QPartialOrdering& ordering, std::ostream* out)
{
    *out << (ordering == QPartialOrdering::Less      ? "less"
             : ordering == QPartialOrdering::Greater ? "greater"
             : ordering == QPartialOrdering::Equivalent ? "equivalent"
                                                        : "unordered");
}
