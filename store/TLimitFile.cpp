#include "TLimitFile.h"

#include "TAtomicFile.h"

#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

namespace {
bool Plain(unsigned char c)
{
    return std::isalnum(c) != 0 || c == ':' || c == '.' || c == '-' || c == '_';
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

template <typename T>
bool ParseNumber(std::string_view text, T& value)
{
    T parsed{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size())
        return false;
    value = parsed;
    return true;
}

// "octets[;period;level]"; false (with the reason) when it is not that.
bool ParseEntry(std::string_view text, TDeviceLimit& limit, std::string& reason)
{
    const auto semicolon = text.find(';');
    if (!ParseNumber(text.substr(0, semicolon), limit.Octets) || limit.Octets <= 0) {
        reason = "kein gültiges Limit in Byte";
        return false;
    }
    if (semicolon == std::string_view::npos)
        return true;
    const std::string_view rest = text.substr(semicolon + 1);
    const auto second = rest.find(';');
    if (second == std::string_view::npos || !ParseNumber(rest.substr(0, second), limit.SaidPeriod)
        || !ParseNumber(rest.substr(second + 1), limit.SaidLevel)
        || (limit.SaidLevel != 0 && limit.SaidLevel != 80 && limit.SaidLevel != 100)) {
        reason = "Angaben nach dem Limit beschädigt";
        return false;
    }
    return true;
}
}

std::string TLimitFile::EncodeMac(const std::string& mac)
{
    static const char* const Hex = "0123456789ABCDEF";
    std::string text;
    for (const char c : mac) {
        const auto byte = static_cast<unsigned char>(c);
        if (Plain(byte)) {
            text += c;
        } else {
            text += '%';
            text += Hex[byte >> 4];
            text += Hex[byte & 15];
        }
    }
    return text;
}

bool TLimitFile::DecodeMac(const std::string& text, std::string& mac)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '%') {
            if (i + 2 >= text.size())
                return false;
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high < 0 || low < 0)
                return false;
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (Plain(byte)) {
            decoded += text[i];
        } else {
            return false;
        }
    }
    if (decoded.empty())
        return false;
    mac = std::move(decoded);
    return true;
}

std::string TLimitFile::Format() const
{
    std::ostringstream out;
    for (const auto& [mac, limit] : Limits) {
        out << EncodeMac(mac) << '=' << limit.Octets;
        if (limit.SaidPeriod != 0 || limit.SaidLevel != 0)
            out << ';' << limit.SaidPeriod << ';' << limit.SaidLevel;
        out << '\n';
    }
    for (const std::string& line : KeptLines)
        out << line << '\n';
    return out.str();
}

TLimitFile TLimitFile::Parse(const std::string& text)
{
    TLimitFile file;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line.front() == '#')
            continue;
        std::string reason;
        const auto equals = line.find('=');
        std::string mac;
        TDeviceLimit limit;
        if (equals == std::string::npos || !DecodeMac(line.substr(0, equals), mac))
            reason = "keine MAC-Adresse vor dem '='";
        else if (ParseEntry(std::string_view(line).substr(equals + 1), limit, reason) && file.Limits.size() >= MaxLimits)
            reason = "mehr als " + std::to_string(MaxLimits) + " Limits";
        if (reason.empty()) {
            file.Limits[mac] = limit;
            continue;
        }
        file.KeptLines.push_back(line);
        file.Errors.push_back(std::string(FileName) + ", Zeile " + std::to_string(number) + ": " + reason
                              + " (Zeile bleibt unverändert)");
    }
    return file;
}

TLimitFile TLimitFile::Load(const std::string& path)
{
    std::error_code error;
    if (!std::filesystem::exists(path, error) && !error)
        return {};
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    const bool regular = std::filesystem::is_regular_file(path, error);
    if (regular && in && in.peek() != std::ifstream::traits_type::eof())
        text << in.rdbuf();
    if (!regular || !in || in.bad()) {
        TLimitFile failed;
        failed.Unreadable = true;
        failed.Errors.push_back(std::string(FileName) + " konnte nicht gelesen werden; Limits werden nicht gespeichert");
        return failed;
    }
    return Parse(text.str());
}

bool TLimitFile::Save(const std::string& path) const
{
    if (Unreadable)
        return false;
    return WriteFileAtomically(path, Format());
}
