#pragma once

#include <QString>

#include <string>

// Store texts are bytes. Names from the name list may be UTF-8 or Latin-1: show and
// export them as UTF-8 where they are valid UTF-8, as Latin-1 otherwise.
QString FromStoreText(const std::string& bytes);
