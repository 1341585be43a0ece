#include "TPortList.h"

#include "Errors.h"
#include "TextForms.h"

#include <charconv>
#include <limits>

void TPortList::Add(std::int32_t port, std::int64_t octets)
{
    TPortEntry* entry = Find(port);
    if (!entry) {
        Items.push_back({port, octets});
        if (Items.size() > ScanLimit) {
            if (Items.size() == ScanLimit + 1)
                Reindex();
            else
                Position.emplace(port, static_cast<std::uint32_t>(Items.size() - 1));
        }
        return;
    }
    std::int64_t& sum = entry->Octets;
    std::int64_t grown = 0;
    if (__builtin_add_overflow(sum, octets, &grown))
        throw ERangeError("Portzählerüberlauf auf Port " + IntToStr(port));
    sum = grown;
}

TPortEntry* TPortList::Find(std::int32_t port)
{
    if (Items.size() <= ScanLimit) {
        for (TPortEntry& entry : Items)
            if (entry.Port == port)
                return &entry;
        return nullptr;
    }
    const auto found = Position.find(port);
    return found == Position.end() ? nullptr : &Items[found->second];
}

void TPortList::Reindex()
{
    Position.clear();
    if (Items.size() > ScanLimit)
        for (std::uint32_t i = 0; i < Items.size(); ++i)
            Position.emplace(Items[i].Port, i);
}

void TPortList::Subtract(const TPortList& taken)
{
    for (const TPortEntry& entry : taken.Items)
        if (TPortEntry* own = Find(entry.Port))
            own->Octets = own->Octets > entry.Octets ? own->Octets - entry.Octets : 0;
    std::erase_if(Items, [](const TPortEntry& entry) { return entry.Octets <= 0; });
    Reindex();
}

void TPortList::Clear()
{
    Items.clear();
    Position.clear();
}

std::string TPortList::ToText() const
{
    std::string text;
    text.reserve(Items.size() * 12);
    char buffer[24];
    for (const TPortEntry& entry : Items) {
        if (!text.empty())
            text.push_back(',');
        text.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, entry.Port).ptr);
        text.push_back(':');
        text.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, entry.Octets).ptr);
    }
    return text;
}

TPortList TPortList::FromText(std::string_view text)
{
    TPortList list;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view entry = text.substr(0, comma);
        const std::size_t colon = entry.find(':');
        if (colon == std::string_view::npos)
            throw EConvertError("'" + std::string(entry) + "' ist kein gültiger Porteintrag");
        const std::int64_t port = StrToInt64(entry.substr(0, colon));
        if (port < std::numeric_limits<std::int32_t>::min() || port > std::numeric_limits<std::int32_t>::max())
            throw EConvertError("'" + std::string(entry) + "' ist kein gültiger Porteintrag");
        list.Add(static_cast<std::int32_t>(port), StrToInt64(entry.substr(colon + 1)));
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return list;
}
