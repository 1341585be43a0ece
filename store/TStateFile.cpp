#include "TStateFile.h"

#include "TAtomicFile.h"
#include "TDaten.h"
#include "TextForms.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

namespace {
constexpr std::string_view LineEnd = "\r\n";
constexpr std::string_view LineBreaks = "\r\n";

class TWriter {
public:
    // A value is one line whatever it holds: a CR or LF inside it would end the line
    // early and shift every later value to another position, so it is written as a
    // space. Values from the network, the name list and the dialogs pass through here.
    void Line(std::string_view value)
    {
        const std::size_t start = Text.size();
        Text.append(value);
        if (value.find_first_of(LineBreaks) != std::string_view::npos)
            std::replace_if(Text.begin() + static_cast<std::ptrdiff_t>(start), Text.end(),
                            [](char c) { return c == '\r' || c == '\n'; }, ' ');
        Text.append(LineEnd);
    }
    void Number(std::int64_t value) { Line(IntToStr(value)); }
    void Flag(bool value) { Line(value ? "-1" : "0"); }
    void List(const std::vector<std::string>& list)
    {
        Number(static_cast<std::int64_t>(list.size()));
        for (const std::string& entry : list)
            Line(entry);
    }
    std::string Text;
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y)); });
}

// A number is true when non-zero ("-1" and "1" alike); otherwise True or False in any case.
std::optional<bool> ParseFlag(std::string_view text)
{
    // Only digits, signs, a point and an exponent make a number ("nan" and "inf" do not).
    const bool numeric = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
    });
    std::string_view digits = text;
    if (numeric && digits.front() == '+')
        digits.remove_prefix(1);
    double number = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (numeric && ec == std::errc() && end == digits.data() + digits.size())
        return number != 0;
    if (EqualsIgnoringCase(text, "true"))
        return true;
    if (EqualsIgnoringCase(text, "false"))
        return false;
    return std::nullopt;
}

class TReader {
public:
    explicit TReader(std::string_view text) : Lines(SplitLines(text)) {}

    std::optional<std::string> Text()
    {
        if (Next >= Lines.size())
            return std::nullopt;
        return std::string(Lines[Next++]);
    }
    std::optional<std::int32_t> Number()
    {
        if (Next >= Lines.size())
            return std::nullopt;
        const auto value = ParseWholeNumber(Lines[Next]);
        if (value)
            ++Next;
        return value;
    }
    std::optional<bool> Flag()
    {
        if (Next >= Lines.size())
            return std::nullopt;
        const auto value = ParseFlag(Lines[Next]);
        if (value)
            ++Next;
        return value;
    }
    // Reads a count line, then empties the list and fills it from that many lines.
    bool List(std::vector<std::string>& list)
    {
        const auto count = Number();
        if (!count)
            return false;
        list.clear();
        for (std::int32_t i = 0; i < *count; ++i) {
            auto entry = Text();
            if (!entry)
                return false;
            list.push_back(std::move(*entry));
        }
        return true;
    }

private:
    std::vector<std::string_view> Lines;
    std::size_t Next = 0;
};

// Reads a user block of seven lines; nothing is appended unless all seven are there,
// so the user lists never end up of different lengths.
bool ReadUser(TReader& reader, TDaten& daten)
{
    TDaten::TUserRow row;
    auto mac = reader.Text();
    auto ip = reader.Text();
    auto lastTime = reader.Text();  // written for the reader's information, not read back
    auto name = reader.Text();
    auto dl = reader.Text();
    auto ul = reader.Text();
    auto device = reader.Text();
    if (!device)
        return false;
    row.MAC = std::move(*mac);
    row.IP = std::move(*ip);
    row.Name = std::move(*name);
    row.DL = std::move(*dl);
    row.UL = std::move(*ul);
    row.Device = std::move(*device);
    daten.AppendUser(std::move(row));
    return true;
}
}

std::string TStateFile::Format(const TDaten& d)
{
    TWriter w;
    w.Text.reserve(256 + d.UserMAC.size() * 96);
    for (const std::string* text : {&d.HttpUrl, &d.HttpUser, &d.HttpPassword, &d.MySqlHost, &d.MySqlUser,
                                    &d.MySqlPassword, &d.MySqlDatabase, &d.MySqlPort})
        w.Line(*text);
    w.Number(static_cast<std::int64_t>(d.UserMAC.size()));
    for (std::size_t k = 0; k < d.UserMAC.size(); ++k) {
        w.Line(d.UserMAC[k]);
        w.Line(d.UserIP[k]);
        w.Line(d.UserLastTime[k]);
        w.Line(d.UserName[k]);
        w.Line(d.UserDL.Text(k));
        w.Line(d.UserUL.Text(k));
        w.Line(d.UserDevice[k]);
    }
    w.List(d.HideSubnets);
    w.List(d.HideIPs);
    w.List(d.LocalSubnets);
    w.List(d.LocalIPs);
    w.Number(d.ExportInterval);
    w.Line(d.FlowPort);
    w.Line(d.MacPort);
    w.Flag(d.ExportEnabled);
    w.Flag(d.ExportDetailed);
    return std::move(w.Text);
}

TSaveOutcome TStateFile::Write(const TDaten& daten, const std::string& path)
{
    return SaveFileAtomically(path, Format(daten));
}

bool TStateFile::Save(const TDaten& daten, const std::string& path)
{
    const TSaveOutcome outcome = Write(daten, path);
    return outcome == TSaveOutcome::Replaced || outcome == TSaveOutcome::RewrittenInPlace;
}

bool TStateFile::Parse(TDaten& d, const std::string& text)
{
    TReader r(text);
    for (std::string* field : {&d.HttpUrl, &d.HttpUser, &d.HttpPassword, &d.MySqlHost, &d.MySqlUser,
                               &d.MySqlPassword, &d.MySqlDatabase, &d.MySqlPort}) {
        auto value = r.Text();
        if (!value)
            return false;
        *field = std::move(*value);
    }

    const auto users = r.Number();
    if (!users)
        return false;
    d.ClearUsers();
    for (std::int32_t k = 0; k < *users; ++k)
        if (!ReadUser(r, d))
            return false;

    for (std::vector<std::string>* list : {&d.HideSubnets, &d.HideIPs, &d.LocalSubnets, &d.LocalIPs})
        if (!r.List(*list))
            return false;

    const auto interval = r.Number();
    if (!interval)
        return false;
    d.ExportInterval = *interval;
    for (std::string* field : {&d.FlowPort, &d.MacPort}) {
        auto value = r.Text();
        if (!value)
            return false;
        *field = std::move(*value);
    }
    const auto enabled = r.Flag();
    if (!enabled)
        return false;
    d.ExportEnabled = *enabled;
    const auto detailed = r.Flag();
    if (!detailed)
        return false;
    d.ExportDetailed = *detailed;
    return true;
}

bool TStateFile::Load(TDaten& daten, const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad())
        return false;
    return Parse(daten, content.str());
}
