#include "StartOptions.h"

#include <chrono>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {
// The value of "--name VALUE" or "--name=VALUE" when argument is that option; i moves
// past a separate value. Null when the argument is another option.
const char* OptionValue(const std::string& name, int argc, const char* const* argv, int& i)
{
    const std::string argument = argv[i];
    if (argument == name)
        return i + 1 < argc ? argv[++i] : "";
    if (argument.size() > name.size() && argument.starts_with(name) && argument[name.size()] == '=')
        return argv[i] + name.size() + 1;
    return nullptr;
}

// A whole decimal number from 1 to 65535; port 0 would let the system choose one, and
// no router could be told which.
bool ParsePort(const char* text, std::uint16_t& port)
{
    const char* end = text + std::strlen(text);
    unsigned value = 0;
    const auto [rest, failure] = std::from_chars(text, end, value);
    if (failure != std::errc{} || rest != end || text == end || value < 1 || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// Digits only, so "+123" or " 12" are no number here.
bool ParseDigits(const std::string& text, int& value)
{
    if (text.empty())
        return false;
    for (const char c : text)
        if (c < '0' || c > '9')
            return false;
    return std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc{};
}
}

bool IsReportDate(const std::string& text)
{
    int year = 0, month = 0, day = 0;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !ParseDigits(text.substr(0, 4), year)
        || !ParseDigits(text.substr(5, 2), month) || !ParseDigits(text.substr(8, 2), day))
        return false;
    return std::chrono::year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                       std::chrono::day{static_cast<unsigned>(day)}}
        .ok();
}

TStartOptions ParseStartOptions(int argc, const char* const* argv)
{
    TStartOptions options;
    const std::string folderPrefix = "--folder=";
    std::string reportOnly;  // an option of the report given
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h")
            options.Help = true;
        else if (argument == "--version")
            options.Version = true;
        else if (argument == "--headless")
            options.Headless = true;
        else if (argument == "--menu")
            options.Menu = true;
        else if (argument == "--folder" || argument.starts_with(folderPrefix)) {
            std::string folder;
            if (argument == "--folder") {
                if (i + 1 < argc)
                    folder = argv[++i];
            } else {
                folder = argument.substr(folderPrefix.size());
            }
            if (folder.empty())
                options.Error = "Die Option --folder braucht einen Ordner.";
            options.Folder = folder;
        } else if (const char* flow = OptionValue("--flow-port", argc, argv, i)) {
            if (!ParsePort(flow, options.FlowPort))
                options.Error = "Die Option --flow-port braucht einen UDP-Port von 1 bis 65535.";
        } else if (const char* announce = OptionValue("--announce-port", argc, argv, i)) {
            if (!ParsePort(announce, options.AnnouncePort))
                options.Error = "Die Option --announce-port braucht einen UDP-Port von 1 bis 65535.";
        } else if (argument == "--report") {
            options.Report = true;
        } else if (argument == "--sum") {
            options.ReportSum = true;
            reportOnly = argument;
        } else if (const char* from = OptionValue("--from", argc, argv, i)) {
            options.ReportFrom = from;
            reportOnly = "--from";
            if (!IsReportDate(from))
                options.Error = "Die Option --from braucht ein Datum JJJJ-MM-TT, nicht \"" + options.ReportFrom + "\".";
        } else if (const char* to = OptionValue("--to", argc, argv, i)) {
            options.ReportTo = to;
            reportOnly = "--to";
            if (!IsReportDate(to))
                options.Error = "Die Option --to braucht ein Datum JJJJ-MM-TT, nicht \"" + options.ReportTo + "\".";
        } else if (const char* format = OptionValue("--format", argc, argv, i)) {
            options.ReportFormat = format;
            reportOnly = "--format";
            if (options.ReportFormat != "csv" && options.ReportFormat != "json")
                options.Error = "Die Option --format kennt csv und json, nicht \"" + options.ReportFormat + "\".";
        } else if (options.Unknown.empty()) {
            options.Unknown = argument;
        }
    }
    if (options.Error.empty() && !reportOnly.empty() && !options.Report)
        options.Error = "Die Option " + reportOnly + " gehört zu --report.";
    // ISO dates compare as texts.
    if (options.Error.empty() && !options.ReportFrom.empty() && !options.ReportTo.empty()
        && options.ReportFrom > options.ReportTo)
        options.Error = "--from " + options.ReportFrom + " liegt nach --to " + options.ReportTo + ".";
    // One port cannot take both kinds of datagram: the second listener would find it taken.
    if (options.Error.empty() && options.FlowPort == options.AnnouncePort)
        options.Error = "--flow-port und --announce-port brauchen zwei verschiedene Ports.";
    return options;
}

std::string ChooseStartFolder(const TStartOptions& options, const char* xdgDataHome, const char* home)
{
    if (!options.Folder.empty())
        return options.Folder;
    if (!options.Menu)
        return {};
    // The desktop starts programs in some folder of its own choosing; the user's data
    // folder is where a program keeps its files. A relative XDG_DATA_HOME is invalid
    // and ignored, as the XDG base directory rules say.
    if (xdgDataHome && xdgDataHome[0] == '/')
        return (std::filesystem::path(xdgDataHome) / "vexal-capture").string();
    if (home && home[0] != '\0')
        return (std::filesystem::path(home) / ".local" / "share" / "vexal-capture").string();
    return {};
}

bool EnterStartFolder(const std::string& folder, std::string& error)
{
    std::error_code failure;
    std::filesystem::create_directories(folder, failure);
    if (!failure)
        std::filesystem::current_path(folder, failure);
    if (failure) {
        error = "Ordner " + folder + " kann nicht benutzt werden: " + failure.message();
        return false;
    }
    return true;
}
