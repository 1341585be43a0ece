#include "TKeyList.h"

int TKeyList::IndexOf(std::string_view key) const
{
    if (IndexStale) {
        Index.clear();
        Index.reserve(Items.size());
        for (std::size_t i = 0; i < Items.size(); ++i)
            Index.try_emplace(Items[i], static_cast<int>(i));
        IndexStale = false;
    }
    const auto found = Index.find(key);
    return found == Index.end() ? -1 : found->second;
}

void TKeyList::Append(std::string key)
{
    if (!IndexStale)
        Index.try_emplace(key, static_cast<int>(Items.size()));
    Items.push_back(std::move(key));
}

void TKeyList::Delete(std::size_t index)
{
    if (index + 1 == Items.size() && !IndexStale) {
        // The last row: only its own entry can point here.
        const auto found = Index.find(Items[index]);
        if (found != Index.end() && found->second == static_cast<int>(index))
            Index.erase(found);
    } else {
        IndexStale = true;
    }
    Items.erase(Items.begin() + static_cast<std::ptrdiff_t>(index));
}

void TKeyList::Clear()
{
    Items.clear();
    Index.clear();
    IndexStale = false;
}
