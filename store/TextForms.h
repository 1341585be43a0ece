#pragma once

#include "LocalTime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The text forms every table value travels in. The store keeps numbers, addresses
// and stamps as text; these helpers are the only place that converts them, so the
// writer and every reader agree (a "." as decimal separator, whatever the locale).

// Decimal text of a signed 64-bit integer: an optional "-" and digits, nothing else.
// Anything else raises EConvertError naming the text.
std::int64_t StrToInt64(std::string_view text);
std::string IntToStr(std::int64_t value);
// A whole number that fits 32 bits, with an optional "+" or "-"; nullopt for anything
// else (empty, other characters, out of range). For settings a user typed or edited.
std::optional<std::int32_t> ParseWholeNumber(std::string_view text);
// Writes the decimal text of value into out, reusing its storage.
void AssignInt(std::string& out, std::int64_t value);

// Reads counter as decimal text, adds amount and writes the sum back. A sum beyond the
// 64-bit range raises ERangeError and leaves the counter unchanged.
void AddToCounter(std::string& counter, std::int64_t amount);

// Four address bytes in wire order as a dotted quad without leading zeros.
void AssignDottedQuad(std::string& out, const unsigned char* bytes);
std::string DottedQuad(const unsigned char* bytes);

// "HH:MM:SS", 24-hour clock; for display and export only.
std::string TimeText(const TLocalTime& time);

// Time stamps: the serial day number plus the fraction of the day, as one real
// written with up to 15 significant digits. Carrying the date keeps ages right across
// midnight. "0" stands for "no time recorded".
std::string StampText(const TLocalTime& time);

// A real number as written by StampText; anything else raises EConvertError.
double StrToFloat(std::string_view text);

// Age of a stamp in units of 1/75,000 of a day (1.152 s), the unit of every threshold
// on user ages. A stamp below 1 carries no date: it is a time of day of today, so "0"
// ages by the time of day (37,500 at noon).
double StampAge(std::string_view stamp, const TLocalTime& now);
// The same for a stamp already read as a real.
double StampAge(double stamp, const TLocalTime& now);

// Cuts text into lines: a line ends at CR, at LF or at CR LF, and a break at the very
// end adds no empty line after it. Empty lines in between are kept.
std::vector<std::string_view> SplitLines(std::string_view text);

// bytes / 1,048,576 and bytes / 1024 in fixed-point text with exactly three decimals.
std::string FormatMegabytes(double bytes);
std::string FormatKilobytes(double bytes);
