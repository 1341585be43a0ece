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

QString FitText(const std::string& bytes, int maxCharacters)
{
    QString text = FromStoreText(bytes);
    if (text.size() <= maxCharacters)
        return text;  // UTF-16 units are never fewer than characters
    qsizetype end = 0;
    for (int characters = 0; characters < maxCharacters && end < text.size(); ++characters)
        end += text.at(end).isHighSurrogate() && end + 1 < text.size() && text.at(end + 1).isLowSurrogate() ? 2 : 1;
    text.truncate(end);
    return text;
}
