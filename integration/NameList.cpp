#include "NameList.h"

#include "TDaten.h"
#include "TextForms.h"

#include <set>
#include <unordered_map>
#include <vector>

namespace {
std::string_view Cut(std::string_view text)
{
    const std::size_t separator = text.find("||");
    if (separator != std::string_view::npos)
        return text.substr(separator + 2);
    return text.empty() ? text : text.substr(1);
}
}

std::string NameFromLine(std::string_view line)
{
    return std::string(Cut(Cut(line)));
}

bool ApplyNameList(TDaten& daten, std::string_view body)
{
    if (body.find("Authorization") != std::string_view::npos)
        return false;
    // Every user is looked for in every line. Rather than searching each line once per
    // user, look up each substring of a MAC's length in a table of the MACs: the same
    // matches, in time that does not grow with the number of users.
    std::unordered_map<std::string_view, std::vector<std::size_t>> usersByMac;
    std::set<std::size_t> lengths;
    for (std::size_t j = 0; j < daten.UserMAC.size(); ++j) {
        const std::string& mac = daten.UserMAC[j];
        if (mac.empty())
            continue;  // an empty MAC never occurs
        usersByMac[mac].push_back(j);
        lengths.insert(mac.size());
    }
    std::vector<std::size_t> matched;
    for (std::string_view line : SplitLines(body)) {
        matched.clear();
        for (std::size_t length : lengths) {
            for (std::size_t at = 0; at + length <= line.size(); ++at) {
                const auto found = usersByMac.find(line.substr(at, length));
                if (found != usersByMac.end())
                    matched.insert(matched.end(), found->second.begin(), found->second.end());
            }
        }
        if (matched.empty())
            continue;
        const std::string name = NameFromLine(line);
        for (std::size_t j : matched) {
            daten.UserName[j] = name;
            daten.MarkUser(j);
        }
    }
    return true;
}
