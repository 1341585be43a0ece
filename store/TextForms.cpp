#include "TextForms.h"

#include "Errors.h"

#include <charconv>
#include <cstdio>

namespace {
[[noreturn]] void ThrowNotAnInteger(std::string_view text)
{
    throw EConvertError("'" + std::string(text) + "' ist kein gültiger Integerwert");
}
}

std::int64_t StrToInt64(std::string_view text)
{
    std::int64_t value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    // from_chars would accept "-" followed by nothing as an error already, but not a
    // leading "+"; a bare digit run with an optional "-" is exactly the decimal form.
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || text.empty())
        ThrowNotAnInteger(text);
    return value;
}

void AssignInt(std::string& out, std::int64_t value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.assign(buffer, result.ptr);
}

std::string IntToStr(std::int64_t value)
{
    std::string text;
    AssignInt(text, value);
    return text;
}

void AddToCounter(std::string& counter, std::int64_t amount)
{
    std::int64_t sum = 0;
    if (__builtin_add_overflow(StrToInt64(counter), amount, &sum))
        throw ERangeError("Zählerüberlauf: " + counter + " + " + IntToStr(amount));
    AssignInt(counter, sum);
}

void AssignDottedQuad(std::string& out, const unsigned char* bytes)
{
    char buffer[16];
    char* p = buffer;
    for (int i = 0; i < 4; ++i) {
        if (i != 0)
            *p++ = '.';
        p = std::to_chars(p, buffer + sizeof buffer, static_cast<unsigned>(bytes[i])).ptr;
    }
    out.assign(buffer, p);
}

std::string DottedQuad(const unsigned char* bytes)
{
    std::string text;
    AssignDottedQuad(text, bytes);
    return text;
}

std::string TimeText(const TLocalTime& time)
{
    // Written by hand: the flow path stamps every datagram with it.
    const int secs = time.MsOfDay / 1000;
    const int parts[] = {secs / 3600, secs / 60 % 60, secs % 60};
    char buffer[8];
    for (int i = 0; i < 3; ++i) {
        buffer[3 * i] = static_cast<char>('0' + parts[i] / 10 % 10);
        buffer[3 * i + 1] = static_cast<char>('0' + parts[i] % 10);
        if (i < 2)
            buffer[3 * i + 2] = ':';
    }
    return std::string(buffer, 8);
}

std::string StampText(const TLocalTime& time)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, time.Serial(), std::chars_format::general, 15);
    return std::string(buffer, result.ptr);
}

std::optional<std::int32_t> ParseWholeNumber(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

double StrToFloat(std::string_view text)
{
    double value = 0;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    if (ec != std::errc() || end != last || text.empty())
        throw EConvertError("'" + std::string(text) + "' ist kein gültiger Gleitkommawert");
    return value;
}

double StampAge(std::string_view stamp, const TLocalTime& now)
{
    return StampAge(StrToFloat(stamp), now);
}

double StampAge(double stamp, const TLocalTime& now)
{
    const double reference = stamp < 1.0 ? now.FractionOfDay() : now.Serial();
    return (reference - stamp) * 75'000.0;
}

namespace {
std::string FormatFixed3(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
    return std::string(buffer, result.ptr);
}
}

std::string FormatMegabytes(double bytes)
{
    return FormatFixed3(bytes / 1'048'576.0);
}

std::string FormatKilobytes(double bytes)
{
    return FormatFixed3(bytes / 1024.0);
}

std::vector<std::string_view> SplitLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}
