#pragma once

#include "TAtomicFile.h"

#include <string>

class TDaten;

// The state file: configuration, user identities and totals, and the four address
// filters, one value per line in fixed positions, CR LF after every line. Values are
// bytes and travel unchanged, except that a CR or LF inside a value is written as a
// space: no value can add a line. A save that cannot be written leaves the old file
// and says so in its outcome; a load stops silently at the first problem and keeps
// what it had assigned until then.
class TStateFile {
public:
    static constexpr const char* DefaultPath = "vexal.ini";

    static std::string Format(const TDaten& daten);
    static TSaveOutcome Write(const TDaten& daten, const std::string& path = DefaultPath);
    // The same; true when the file now holds the store's state.
    static bool Save(const TDaten& daten, const std::string& path = DefaultPath);
    // Applies the text line by line; returns false when it stopped at a problem.
    static bool Parse(TDaten& daten, const std::string& text);
    static bool Load(TDaten& daten, const std::string& path = DefaultPath);
};
