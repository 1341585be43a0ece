#include "TExportStateFile.h"

#include "Errors.h"
#include "TDaten.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <tuple>
#include <type_traits>

namespace {
constexpr char Separator = '\t';
constexpr std::string_view LineEnd = "\r\n";

std::uint64_t Fnv1a(std::string_view bytes)
{
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string Hex(std::uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

void Escaped(std::string& out, std::string_view value)
{
    for (const char c : value) {
        switch (c) {
        case '\t': out += "%09"; break;
        case '\r': out += "%0D"; break;
        case '\n': out += "%0A"; break;
        case '%': out += "%25"; break;
        default: out += c;
        }
    }
}

class TLineWriter {
public:
    explicit TLineWriter(std::string& text) : Text(text) {}
    TLineWriter& Field(std::string_view value)
    {
        Text += Separator;
        Escaped(Text, value);
        return *this;
    }
    template <typename Number>
    TLineWriter& Count(Number value)
    {
        return Field(std::to_string(value));
    }

private:
    std::string& Text;
};

void Row(std::string& text, char kind, const std::string& ip, const std::string& mac, const std::string& device,
         std::int64_t ul, std::int64_t dl, const TPortList& ports)
{
    text += kind;
    TLineWriter(text).Field(ip).Field(mac).Field(device).Count(ul).Count(dl).Field(ports.ToText());
}

// One line split into its fields, unescaped; every step checks its bound.
class TLineReader {
public:
    TLineReader(std::string_view line, std::string& error) : Line(line), Error(error) {}

    bool Split(std::size_t fields)
    {
        Fields.clear();
        std::size_t start = 0;
        while (true) {
            const std::size_t tab = Line.find(Separator, start);
            Fields.push_back(Line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
            if (tab == std::string_view::npos)
                break;
            if (Fields.size() > fields)
                break;
            start = tab + 1;
        }
        if (Fields.size() != fields)
            return Fail("falsche Anzahl Felder");
        return true;
    }

    bool Text(std::size_t field, std::string& value, std::size_t maxBytes = TExportStateFile::MaxTextBytes)
    {
        const std::string_view raw = Fields[field];
        if (raw.size() > maxBytes * 3)
            return Fail("Wert zu lang");
        value.clear();
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '%') {
                value += raw[i];
                continue;
            }
            const std::string_view code = raw.substr(i + 1, 2);
            if (code == "09")
                value += '\t';
            else if (code == "0D")
                value += '\r';
            else if (code == "0A")
                value += '\n';
            else if (code == "25")
                value += '%';
            else
                return Fail("ungültige Maskierung");
            i += 2;
        }
        if (value.size() > maxBytes)
            return Fail("Wert zu lang");
        return true;
    }

    template <typename Number>
    bool Count(std::size_t field, Number& value)
    {
        const std::string_view raw = Fields[field];
        Number parsed{};
        const auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), parsed);
        if (raw.empty() || ec != std::errc() || end != raw.data() + raw.size())
            return Fail("keine gültige Zahl");
        if constexpr (std::is_signed_v<Number>)
            if (parsed < 0)
                return Fail("keine gültige Zahl");
        value = parsed;
        return true;
    }

    bool Ports(std::size_t field, TPortList& ports)
    {
        std::string text;
        if (!Text(field, text, TExportStateFile::MaxPortsBytes))
            return false;
        try {
            ports = TPortList::FromText(text);
        } catch (const std::exception&) {
            return Fail("ungültige Portliste");
        }
        for (const TPortEntry& entry : ports.Entries())
            if (entry.Octets < 0)
                return Fail("ungültige Portliste");
        return true;
    }

    bool Flag(std::size_t field, bool& value)
    {
        if (Fields[field] != "0" && Fields[field] != "1")
            return Fail("ungültiger Schalter");
        value = Fields[field] == "1";
        return true;
    }

    // The common head of U, C and P lines.
    bool Traffic(std::string& ip, std::string& mac, std::string& device, std::int64_t& ul, std::int64_t& dl,
                 TPortList& ports)
    {
        return Text(1, ip) && Text(2, mac) && Text(3, device) && Count(4, ul) && Count(5, dl) && Ports(6, ports);
    }

    bool Fail(const char* why)
    {
        Error = why;
        return false;
    }

    std::vector<std::string_view> Fields;

private:
    std::string_view Line;
    std::string& Error;
};
}

TExportStateFile::TContent TExportStateFile::Take(const TDaten& d, const std::vector<TUnsettledRun>& runs)
{
    TContent content;
    content.Folds = d.CarriedTraffic.Folds();
    for (std::size_t i = 0; i < d.UserIP.size(); ++i) {
        if (d.UserCUL.IsZero(i) && d.UserCDL.IsZero(i) && d.UserCPort.at(i).Empty())
            continue;
        TTrafficRow row;
        try {
            row.UL = d.UserCUL.Value(i);
            row.DL = d.UserCDL.Value(i);
        } catch (const EConvertError&) {
            continue;  // a damaged counter cannot be exported either
        }
        row.IP = d.UserIP[i];
        row.MAC = d.UserMAC.at(i);
        row.Device = d.UserDevice.at(i);
        row.Ports = d.UserCPort[i];
        content.Users.push_back(std::move(row));
    }
    for (const TCarriedRow* carried : d.CarriedTraffic.Rows())
        content.Carried.push_back(*carried);
    // The same state gives the same file, whatever order the table keeps its rows in.
    std::sort(content.Carried.begin(), content.Carried.end(), [](const TCarriedRow& a, const TCarriedRow& b) {
        return std::tie(a.IP, a.MAC, a.Device) < std::tie(b.IP, b.MAC, b.Device);
    });
    for (const TUnsettledRun& run : runs)
        if (!run.Empty())
            content.Runs.push_back(run);
    return content;
}

std::string TExportStateFile::Format(const TContent& content)
{
    std::string text;
    text.reserve(128 + (content.Users.size() + content.Carried.size()) * 80);
    std::size_t records = 0;
    auto end = [&] {
        text += LineEnd;
        ++records;
    };
    text += Magic;
    text += LineEnd;
    text += 'F';
    TLineWriter(text).Count(content.Folds);
    end();
    for (const TTrafficRow& row : content.Users) {
        Row(text, 'U', row.IP, row.MAC, row.Device, row.UL, row.DL, row.Ports);
        end();
    }
    for (const TCarriedRow& row : content.Carried) {
        Row(text, 'C', row.IP, row.MAC, row.Device, row.UL, row.DL, row.Ports);
        TLineWriter(text).Count(row.LastFold);
        end();
    }
    for (const TUnsettledRun& run : content.Runs) {
        text += 'R';
        TLineWriter(text).Field(run.Id);
        end();
        for (const TTrafficRow& row : run.Rows) {
            Row(text, 'P', row.IP, row.MAC, row.Device, row.UL, row.DL, row.Ports);
            TLineWriter(text).Count(row.Insert ? 1 : 0).Count(row.Carried ? 1 : 0).Count(row.Fold);
            end();
        }
    }
    const std::string hash = Hex(Fnv1a(text));
    text += 'E';
    TLineWriter(text).Count(records).Field(hash);
    text += LineEnd;
    return text;
}

bool TExportStateFile::Parse(std::string_view text, TContent& content, std::string& error)
{
    content = {};
    TContent read;
    if (text.size() > MaxFileBytes) {
        error = "Datei zu groß";
        return false;
    }
    std::size_t pos = 0;
    std::size_t lineNumber = 0;
    std::size_t records = 0;
    bool sawFolds = false;
    bool ended = false;
    auto fail = [&](const std::string& why) {
        error = "Zeile " + std::to_string(lineNumber) + ": " + why;
        return false;
    };
    while (pos < text.size()) {
        ++lineNumber;
        const std::size_t lineEnd = text.find(LineEnd, pos);
        if (lineEnd == std::string_view::npos)
            return fail("abgeschnitten");
        const std::string_view line = text.substr(pos, lineEnd - pos);
        const std::size_t lineStart = pos;
        pos = lineEnd + LineEnd.size();
        if (ended)
            return fail("Daten nach dem Ende");
        if (lineNumber == 1) {
            if (line != Magic)
                return fail("keine Exportstand-Datei dieses Programms");
            continue;
        }
        if (line.empty())
            return fail("leer");
        if (++records > MaxRecords + 1)
            return fail("zu viele Einträge");
        std::string why;
        TLineReader reader(line, why);
        const char kind = line.size() >= 2 && line[1] == Separator ? line[0] : '\0';
        switch (kind) {
        case 'F':
            if (sawFolds || !reader.Split(2) || !reader.Count(1, read.Folds))
                return fail(why.empty() ? "doppelt" : why);
            sawFolds = true;
            break;
        case 'U': {
            TTrafficRow row;
            if (!reader.Split(7) || !reader.Traffic(row.IP, row.MAC, row.Device, row.UL, row.DL, row.Ports))
                return fail(why);
            if (read.Users.size() >= TDaten::MaxUsers)
                return fail("zu viele Benutzer");
            read.Users.push_back(std::move(row));
            break;
        }
        case 'C': {
            TCarriedRow row;
            if (!reader.Split(8) || !reader.Traffic(row.IP, row.MAC, row.Device, row.UL, row.DL, row.Ports)
                || !reader.Count(7, row.LastFold))
                return fail(why);
            if (read.Carried.size() >= TCarriedTraffic::MaxRows)
                return fail("zu viele mitgeführte Zeilen");
            if (row.LastFold > read.Folds)
                return fail("Faltnummer nach dem Zähler");
            read.Carried.push_back(std::move(row));
            break;
        }
        case 'R': {
            TUnsettledRun run;
            if (!reader.Split(2) || !reader.Text(1, run.Id))
                return fail(why);
            if (run.Id.empty())
                return fail("leere Lauf-Kennung");
            if (read.Runs.size() >= MaxRuns)
                return fail("zu viele Läufe");
            read.Runs.push_back(std::move(run));
            break;
        }
        case 'P': {
            TTrafficRow row;
            if (read.Runs.empty())
                return fail("Zeile ohne Lauf");
            if (!reader.Split(10) || !reader.Traffic(row.IP, row.MAC, row.Device, row.UL, row.DL, row.Ports)
                || !reader.Flag(7, row.Insert) || !reader.Flag(8, row.Carried) || !reader.Count(9, row.Fold))
                return fail(why);
            if (read.Runs.back().Rows.size() >= TDaten::MaxUsers + TCarriedTraffic::MaxRows)
                return fail("zu viele Zeilen des Laufs");
            read.Runs.back().Rows.push_back(std::move(row));
            break;
        }
        case 'E': {
            std::size_t count = 0;
            std::string hash;
            if (!reader.Split(3) || !reader.Count(1, count) || !reader.Text(2, hash))
                return fail(why);
            if (count != records - 1)
                return fail("Anzahl der Einträge stimmt nicht");
            if (hash != Hex(Fnv1a(text.substr(0, lineStart))))
                return fail("Prüfsumme stimmt nicht");
            ended = true;
            break;
        }
        default:
            return fail("unbekannter Eintrag");
        }
    }
    if (lineNumber == 0)
        return fail("leer");
    if (!ended) {
        ++lineNumber;
        return fail("abgeschnitten");
    }
    if (!sawFolds)
        return fail("Faltzähler fehlt");
    content = std::move(read);
    return true;
}

void TExportStateFile::Apply(TDaten& d, const TContent& content)
{
    // Fold numbers first: the carried rows and the unsettled run's rows refer to them,
    // and a client carried below gets a number after them.
    d.CarriedTraffic.ContinueFoldsFrom(content.Folds);
    for (const TCarriedRow& row : content.Carried)
        d.CarriedTraffic.Restore(row);
    for (const TTrafficRow& row : content.Users) {
        const int user = d.UserIP.IndexOf(row.IP);
        if (user < 0 || d.UserMAC.at(static_cast<std::size_t>(user)) != row.MAC) {
            d.CarriedTraffic.Carry(row.IP, row.MAC, row.Device, row.UL, row.DL, row.Ports);
            continue;
        }
        const auto index = static_cast<std::size_t>(user);
        // Sums beyond 64 bits stay at the largest value, as carried rows do.
        std::int64_t ul = 0;
        std::int64_t dl = 0;
        try {
            ul = d.UserCUL.Value(index);
            dl = d.UserCDL.Value(index);
        } catch (const EConvertError&) {
        }
        if (__builtin_add_overflow(ul, row.UL, &ul))
            ul = INT64_MAX;
        if (__builtin_add_overflow(dl, row.DL, &dl))
            dl = INT64_MAX;
        d.UserCUL.SetValue(index, ul);
        d.UserCDL.SetValue(index, dl);
        for (const TPortEntry& entry : row.Ports.Entries()) {
            try {
                d.UserCPort[index].Add(entry.Port, entry.Octets);
            } catch (const std::exception&) {
            }
        }
        d.MarkUser(index);
    }
}

TExportStateFile::TLoad TExportStateFile::Load(TDaten& daten, std::vector<TUnsettledRun>& runs, std::string& error,
                                               const std::string& path)
{
    runs.clear();
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return TLoad::Missing;
    if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) > MaxFileBytes) {
        error = S_ISREG(info.st_mode) ? "Datei zu groß" : "keine Datei";
        return TLoad::Damaged;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "nicht lesbar";
        return TLoad::Damaged;
    }
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (file.bad()) {
        error = "nicht lesbar";
        return TLoad::Damaged;
    }
    TContent content;
    if (!Parse(text, content, error))
        return TLoad::Damaged;
    Apply(daten, content);
    runs = std::move(content.Runs);
    return TLoad::Loaded;
}

TSaveOutcome TExportStateFile::Write(const TDaten& daten, const std::vector<TUnsettledRun>& runs,
                                     const std::string& path)
{
    return SaveFileAtomically(path, Format(daten, runs));
}
