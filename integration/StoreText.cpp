#include "StoreText.h"

QString FromStoreText(const std::string& bytes)
{
    // An empty text stays a text (not a null string, which a database takes as NULL).
    if (bytes.empty())
        return QStringLiteral("");
    const QString utf8 = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    if (!utf8.contains(QChar::ReplacementCharacter))
        return utf8;
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}
