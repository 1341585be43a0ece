#include "TExtraSettings.h"

#include "TAtomicFile.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>

#include <unistd.h>

namespace {
bool ParseInt(std::string_view text, int low, int high, int& value)
{
    int parsed = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || end != text.data() + text.size() || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

bool ParseBool(std::string_view text, bool& value)
{
    if (text != "0" && text != "1")
        return false;
    value = text == "1";
    return true;
}
}

std::string TExtraSettings::Format() const
{
    std::ostringstream out;
    out << "HistoryEnabled=" << (HistoryEnabled ? 1 : 0) << '\n'
        << "HistoryHourlyAfterDays=" << HourlyAfterDays << '\n'
        << "HistoryDailyAfterDays=" << DailyAfterDays << '\n'
        << "MetricsEnabled=" << (MetricsEnabled ? 1 : 0) << '\n'
        << "MetricsPort=" << MetricsPort << '\n'
        << "MetricsAddress=" << MetricsAddress << '\n'
        << "MetricsUser=" << MetricsUser << '\n'
        << "MetricsPassword=" << MetricsPassword << '\n'
        << "Kollektor=" << Collector << '\n'
        << "Abrechnungstag=" << BillingDay << '\n'
        << "LimitCommand=" << LimitCommand << '\n'
        << "NewDeviceCommand=" << NewDeviceCommand << '\n'
        << "CommandTimeoutSeconds=" << CommandTimeoutSeconds << '\n';
    return out.str();
}

TExtraSettings TExtraSettings::Parse(const std::string& text)
{
    TExtraSettings settings;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string_view key(line.data(), equals);
        const std::string_view value(line.data() + equals + 1, line.size() - equals - 1);
        if (key == "HistoryEnabled")
            ParseBool(value, settings.HistoryEnabled);
        else if (key == "HistoryHourlyAfterDays")
            ParseInt(value, 1, 100'000, settings.HourlyAfterDays);
        else if (key == "HistoryDailyAfterDays")
            ParseInt(value, 1, 100'000, settings.DailyAfterDays);
        else if (key == "MetricsEnabled")
            ParseBool(value, settings.MetricsEnabled);
        else if (key == "MetricsPort")
            ParseInt(value, 1, 65535, settings.MetricsPort);
        else if (key == "MetricsAddress")
            settings.MetricsAddress = value.empty() ? std::string("0.0.0.0") : std::string(value);
        else if (key == "MetricsUser")
            settings.MetricsUser = value;
        else if (key == "MetricsPassword")
            settings.MetricsPassword = value;
        else if (key == "Kollektor")
            settings.Collector = std::string(value);
        else if (key == "Abrechnungstag")
            ParseInt(value, 1, 28, settings.BillingDay);
        else if (key == "LimitCommand")
            settings.LimitCommand = std::string(value);
        else if (key == "NewDeviceCommand")
            settings.NewDeviceCommand = std::string(value);
        else if (key == "CommandTimeoutSeconds")
            ParseInt(value, 1, 3600, settings.CommandTimeoutSeconds);
    }
    return settings;
}

TExtraSettings TExtraSettings::Load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str());
}

bool TExtraSettings::Save(const std::string& path) const
{
    return WriteFileAtomically(path, Format());
}

std::string TExtraSettings::CollectorName() const
{
    if (!Collector.empty())
        return Collector;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        return "localhost";
    return host;
}
