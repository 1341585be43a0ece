#pragma once

#include "TIpAddress.h"
#include "TextForms.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// One list of the flow log: always exactly Capacity entries, index 0 the oldest and
// Capacity-1 the newest. Appending drops the oldest entry, as if a list were appended
// to and its first entry deleted, but in constant time.
//
// The flow path appends five entries per flow, so it hands over numbers and binary
// addresses; their text is written only when someone reads the entry (the log window,
// twice a second at most). A reader sees exactly the text the entry stands for.
class TFlowLogList {
public:
    static constexpr std::size_t Capacity = 150;

    explicit TFlowLogList(const std::string& placeholder = std::string())
    {
        Texts.fill(placeholder);
    }

    std::size_t size() const { return Capacity; }
    std::string operator[](std::size_t index) const
    {
        const std::size_t slot = (Oldest + index) % Capacity;
        switch (Cells[slot].Kind) {
        case TKind::Number:
            return IntToStr(Cells[slot].Number);
        case TKind::Address:
            return Cells[slot].Address.Text();
        case TKind::V4: {
            const auto value = static_cast<std::uint32_t>(Cells[slot].Number);
            const unsigned char bytes[4] = {static_cast<unsigned char>(value >> 24),
                                            static_cast<unsigned char>(value >> 16),
                                            static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
            return DottedQuad(bytes);
        }
        case TKind::Text:
            break;
        }
        return Texts[slot];
    }

    void PushNumber(std::int64_t value)
    {
        TCell& cell = Cells[Next()];
        cell.Kind = TKind::Number;
        cell.Number = value;
    }
    void PushAddress(const TIpAddress& address)
    {
        TCell& cell = Cells[Next()];
        cell.Kind = TKind::Address;
        cell.Address = address;
    }
    // An IPv4 address as a host-order number.
    void PushV4(std::uint32_t address)
    {
        TCell& cell = Cells[Next()];
        cell.Kind = TKind::V4;
        cell.Number = address;
    }
    void Append(const std::string& text)
    {
        const std::size_t slot = Next();
        Cells[slot].Kind = TKind::Text;
        Texts[slot] = text;
    }

private:
    // The slot of the new newest entry (the oldest one so far).
    std::size_t Next()
    {
        const std::size_t slot = Oldest;
        Oldest = (Oldest + 1) % Capacity;
        return slot;
    }

    enum class TKind : std::uint8_t { Text, Number, Address, V4 };
    struct TCell {
        TIpAddress Address;
        std::int64_t Number = 0;
        TKind Kind = TKind::Text;
    };
    std::array<TCell, Capacity> Cells{};
    std::array<std::string, Capacity> Texts;
    std::size_t Oldest = 0;
};
