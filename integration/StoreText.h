#pragma once

#include <QString>

#include <string>

// Store texts are bytes. Names from the name list may be UTF-8 or Latin-1: show and
// export them as UTF-8 where they are valid UTF-8, as Latin-1 otherwise.
QString FromStoreText(const std::string& bytes);

// The same, shortened to at most `maxCharacters` characters (code points, as MySQL
// counts them in a VARCHAR of utf8mb4), never splitting one: a value from the
// network must not make a whole export run fail with "Data too long".
QString FitText(const std::string& bytes, int maxCharacters);
