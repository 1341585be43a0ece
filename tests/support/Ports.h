#pragma once

#include "TPortList.h"

#include <cstdint>
#include <initializer_list>
#include <utility>

// A port list written as the test means it: {{port, octets}, ...}, each added in turn.
inline TPortList Ports(std::initializer_list<std::pair<std::int32_t, std::int64_t>> entries)
{
    TPortList list;
    for (const auto& [port, octets] : entries)
        list.Add(port, octets);
    return list;
}
