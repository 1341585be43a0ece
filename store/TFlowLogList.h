#pragma once

#include <array>
#include <cstddef>
#include <string>

// One list of the flow log: always exactly Capacity entries, index 0 the oldest and
// Capacity-1 the newest. Appending drops the oldest entry, as if a list were appended
// to and its first entry deleted, but in constant time and without moving text.
class TFlowLogList {
public:
    static constexpr std::size_t Capacity = 150;

    explicit TFlowLogList(const std::string& placeholder = std::string())
    {
        Slots.fill(placeholder);
    }

    std::size_t size() const { return Capacity; }
    const std::string& operator[](std::size_t index) const { return Slots[(Oldest + index) % Capacity]; }

    // Drops the oldest entry and returns the new newest one for the caller to overwrite;
    // overwriting in place reuses the slot's storage.
    std::string& Push()
    {
        std::string& slot = Slots[Oldest];
        Oldest = (Oldest + 1) % Capacity;
        return slot;
    }

    void Append(const std::string& text) { Push() = text; }

private:
    std::array<std::string, Capacity> Slots;
    std::size_t Oldest = 0;
};
