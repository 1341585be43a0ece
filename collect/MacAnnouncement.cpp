#include "MacAnnouncement.h"

#include "IPv6Announcement.h"
#include "TDaten.h"
#include "TextForms.h"

#include <algorithm>

namespace {
constexpr std::size_t IpField = 1;
constexpr std::size_t MacField = 4;
constexpr std::size_t DeviceField = 6;
constexpr std::size_t FieldsNeeded = DeviceField + 1;
const std::string NoMac = "00:00:00:00:00:00";

bool IsBlank(unsigned char c)
{
    return c >= 1 && c <= 32;
}

// A control character inside a field can only come from a quoted field (unquoted
// fields end at every byte up to 32). No interface or address holds one, and a line
// break would travel on into the state file and the memo.
bool HasControlCharacter(std::string_view field)
{
    return std::any_of(field.begin(), field.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

std::string ReplaceDoubleCommas(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        out.push_back(text[i]);
        if (text[i] == ',' && i + 1 < text.size() && text[i + 1] == ',')
            ++i;
    }
    return out;
}
}

std::string NormaliseSeparators(std::string text)
{
    std::replace(text.begin(), text.end(), ' ', ',');
    // Five passes: any run of up to 32 separators ends as one comma; a longer run keeps
    // an empty field, as announcements have always been read.
    for (int pass = 0; pass < 5; ++pass)
        text = ReplaceDoubleCommas(text);
    if (!text.empty() && text.front() == ',')
        text.erase(0, 1);
    return text;
}

std::vector<std::string> SplitFields(std::string_view text)
{
    std::vector<std::string> fields;
    std::size_t p = 0;
    const std::size_t end = text.size();
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };

    while (p < end && IsBlank(at(p)))
        ++p;
    while (p < end) {
        std::string field;
        if (text[p] == '"') {
            ++p;
            while (p < end) {
                if (text[p] == '"') {
                    if (p + 1 < end && text[p + 1] == '"') {
                        field.push_back('"');
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                field.push_back(text[p++]);
            }
        } else {
            const std::size_t start = p;
            while (p < end && at(p) > 32 && text[p] != ',')
                ++p;
            field.assign(text.substr(start, p - start));
        }
        fields.push_back(std::move(field));
        while (p < end && IsBlank(at(p)))
            ++p;
        if (p < end && text[p] == ',') {
            if (p + 1 == end)
                fields.emplace_back();
            do
                ++p;
            while (p < end && IsBlank(at(p)));
        }
    }
    return fields;
}

TDatagramOutcome AccountMacAnnouncement(TDaten& daten, std::span<const unsigned char> datagram,
                                        const std::string& fromIP, std::int32_t& macDatagramCount,
                                        const TLocalTime& now, const std::function<void()>& beforeReplace)
{
    TDatagramOutcome outcome;
    const auto* bytes = reinterpret_cast<const char*>(datagram.data());
    const std::string_view payload(bytes, std::find(bytes, bytes + datagram.size(), '\0') - bytes);

    std::vector<std::string>& memo = outcome.Memo.emplace();
    memo.push_back("IP:" + fromIP + " (" + IntToStr(static_cast<std::int64_t>(datagram.size())) + ")");
    // Counts on for months; wraps instead of overflowing.
    macDatagramCount = static_cast<std::int32_t>(static_cast<std::uint32_t>(macDatagramCount) + 1U);

    const std::vector<std::string> fields = SplitFields(NormaliseSeparators(std::string(payload)));
    if (fields.size() < FieldsNeeded) {
        outcome.Error = "Korvel-Meldung von " + fromIP + " unvollständig: " + IntToStr(static_cast<std::int64_t>(fields.size()))
            + " von 7 Feldern";
        return outcome;
    }
    for (const std::size_t field : {IpField, MacField, DeviceField}) {
        if (HasControlCharacter(fields[field])) {
            outcome.Error = "Korvel-Meldung von " + fromIP + " enthält Steuerzeichen in Feld "
                + IntToStr(static_cast<std::int64_t>(field + 1));
            return outcome;
        }
    }
    const std::string& ip = fields[IpField];
    const std::string& mac = fields[MacField];
    const std::string& device = fields[DeviceField];
    memo.push_back(mac);
    memo.push_back(ip + " [" + IntToStr(macDatagramCount) + "]");

    // An IPv6 neighbour of the router: an address of the device with this MAC.
    if (ip.find(':') != std::string::npos) {
        if (const std::optional<TIpAddress> v6 = TIpAddress::ParseV6(ip)) {
            if (mac != NoMac) {
                outcome.AnnouncedMAC = mac;
                outcome.AnnouncedIP = ip;
                outcome.AnnouncedDevice = device;
                AccountIPv6Announcement(daten, *v6, ip, mac, device, now, beforeReplace);
            }
            return outcome;
        }
    }
    if (!daten.IsLocalAddress(ip) || mac == NoMac)
        return outcome;
    outcome.AnnouncedMAC = mac;
    outcome.AnnouncedIP = ip;
    outcome.AnnouncedDevice = device;

    const int row = daten.UserIP.IndexOf(ip);
    if (row >= 0) {
        if (daten.UserMAC[row] == mac) {
            daten.UserMACTime[row] = StampText(now);
            daten.UserDevice[row] = device;
            daten.MarkUser(static_cast<std::size_t>(row));
            return outcome;
        }
        // Another MAC on a known address is another client: it starts afresh, and what
        // the old one counted goes on to the export and the history.
        if (beforeReplace)
            beforeReplace();
        daten.DepartUser(row);
    }
    if (!daten.AddUser(ip, mac, device, now))
        return outcome;  // the user table is full: counted there
    daten.JoinDevice(static_cast<int>(daten.UserCount()) - 1, now);
    return outcome;
}
