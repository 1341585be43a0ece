#pragma once

#include <string>

class TDaten;

// The state file: configuration, user identities and totals, and the four address
// filters, one value per line in fixed positions, CR LF after every line. Values are
// bytes and travel unchanged. Neither operation reports failure to the user: a save
// that cannot be written leaves the old file; a load stops silently at the first
// problem and keeps what it had assigned until then.
class TStateFile {
public:
    static constexpr const char* DefaultPath = "vexal.ini";

    static std::string Format(const TDaten& daten);
    static bool Save(const TDaten& daten, const std::string& path = DefaultPath);
    // Applies the text line by line; returns false when it stopped at a problem.
    static bool Parse(TDaten& daten, const std::string& text);
    static bool Load(TDaten& daten, const std::string& path = DefaultPath);
};
