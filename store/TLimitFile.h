#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One device's volume limit per billing period, and what was said about it.
struct TDeviceLimit {
    std::int64_t Octets = 0;
    // The first day of the period in which SaidLevel was reached (0: none yet), so a
    // restart within the period does not say it again.
    std::int64_t SaidPeriod = 0;
    // 0, 80 or 100: the highest mark said in SaidPeriod.
    int SaidLevel = 0;
    bool operator==(const TDeviceLimit&) const = default;
};

// The volume limits, by MAC (so a limit follows its device across addresses), in a
// file of their own beside vexal.ini ("vexal-limits.ini"), one device a line:
//     MAC=octets[;first day of the period;mark said]
// A MAC is written with %XX for anything beyond letters, digits and ":.-_" (a MAC comes
// from the LAN and may hold '=' or a line break). A line that cannot be read is kept
// as it was, reported once, and written back unchanged: a damaged line loses nothing
// else, and nothing of itself.
class TLimitFile {
public:
    static constexpr const char* FileName = "vexal-limits.ini";
    // Limits are set by hand, one device at a time; the bound keeps the metrics' label
    // set bounded should a file be written by something else.
    static constexpr std::size_t MaxLimits = 4096;

    std::map<std::string, TDeviceLimit> Limits;
    // Lines that could not be read, as they were (written back as they are).
    std::vector<std::string> KeptLines;
    // "vexal-limits.ini, Zeile 3: ..." for every line that could not be read.
    std::vector<std::string> Errors;
    // The file is there but could not be read: it is never written over.
    bool Unreadable = false;

    std::string Format() const;
    static TLimitFile Parse(const std::string& text);
    // A missing file is no limits and no error; an unreadable one an error.
    static TLimitFile Load(const std::string& path = FileName);
    bool Save(const std::string& path = FileName) const;

    static std::string EncodeMac(const std::string& mac);
    // False when the text is not a well-formed encoding.
    static bool DecodeMac(const std::string& text, std::string& mac);
};
