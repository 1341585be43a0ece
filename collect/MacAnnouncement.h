#pragma once

#include "TDatagramOutcome.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class TDaten;
struct TLocalTime;

// Announcement text with its separators normalised: spaces become commas, runs of
// commas shrink by five halving passes, and one leading comma is dropped.
std::string NormaliseSeparators(std::string text);

// Splits normalised announcement text at commas. Characters 1 to 32 separate fields
// too and are skipped around them; a field that starts with a double quote runs to the
// next single double quote ("" stands for one); a comma at the very end adds an empty field.
std::vector<std::string> SplitFields(std::string_view text);

// Handles one MAC announcement datagram: registers a local client as a user, refreshes
// a known one (same MAC) or replaces it (another MAC). Counts the datagram in
// macDatagramCount. The memo always shows the datagram. A malformed datagram leaves
// the store unchanged and returns its error: fewer than seven fields, or a control
// character (below 32, or 127) inside the address, MAC or interface field.
// A replaced row leaves through TDaten::DepartUser (its interval traffic carried for
// the export, its totals offered to TotalsLeaving). `beforeReplace` runs right before,
// while the old client's row is still in the store.
TDatagramOutcome AccountMacAnnouncement(TDaten& daten, std::span<const unsigned char> datagram,
                                        const std::string& fromIP, std::int32_t& macDatagramCount,
                                        const TLocalTime& now, const std::function<void()>& beforeReplace = {});
