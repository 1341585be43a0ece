#pragma once

#include "LocalTime.h"
#include "TUserGridModel.h"
#include "UserRows.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TDaten;

// The user stage of the display tick for one grid, at a cost that follows what changed
// rather than the number of users. After rows went or moved, the hide lists or the
// "online only" choice changed, or the last pass failed, it builds every row as
// BuildUserRows does and has the grid take them all. Otherwise it looks at each user only as far as
// its change mark, its two stamps and its status (the one change the tick makes to the
// store, which stays exactly what a full pass writes), rebuilds and places again just
// the rows whose mark, colour band or online status moved, and adds the users appended
// to the store since. A known user who comes into the grid or leaves it ("online
// only") sends the tick the full way, as does any fault, so what the grid shows is
// always what a full pass gives.
class TUserGridFeed {
public:
    TUserRowsOutcome Show(TDaten& daten, const TLocalTime& now, bool onlineOnly, TUserGridModel& model);

private:
    static constexpr std::uint32_t NotShown = ~std::uint32_t{0};
    // A stamp's text as last read and its value: stamps are read on every tick (their
    // age changes with time), and reading a real from text is dear.
    struct TStamp {
        double Value = 0;
        std::uint8_t Size = 0xFF;  // none kept
        char Text[23] = {};
    };
    struct TSeen {
        TStamp LastTime;
        TStamp MACTime;
        std::uint32_t Mark = 0;
        std::uint32_t Fresh = NotShown;  // its place among the rows of the last full pass
        int Band = 0;
        bool Online = false;
        bool Hidden = false;
    };
    struct TChange {
        std::size_t User = 0;
        int Band = 0;
        bool Online = false;
        // Where its new row was written, or NotFilled: a shown user whose counters are
        // all numbers is written straight into its grid row, as nothing in it can fail.
        std::size_t Written = 0;
    };
    static constexpr std::size_t NotFilled = ~std::size_t{0};

    static double ReadStamp(const std::string& text, TStamp& seen);
    bool Follows(const TDaten& daten, bool onlineOnly, const TUserGridModel& model) const;
    // The pass between full ones; false when the tick must go the full way.
    bool Follow(TDaten& daten, const TLocalTime& now, bool onlineOnly, TUserGridModel& model);
    // After a complete full pass: notes what it showed.
    bool Prime(const TDaten& daten, const TLocalTime& now, bool onlineOnly, const TUserGridModel& model,
               std::size_t shown);

    std::vector<TSeen> Seen;
    bool Valid = false;
    const TUserGridModel* Model = nullptr;
    std::uint64_t Layout = 0;
    std::uint64_t Replacements = 0;
    bool OnlineOnly = false;
    std::vector<std::string> HideSubnets;
    std::vector<std::string> HideIPs;
    std::size_t Shown = 0;
    // Scratch space kept from tick to tick. The rows are written by the full pass and
    // by the pass between full ones, never both in one tick; the grid swaps its old
    // rows into them.
    std::vector<TChange> Changes;
    std::vector<TUserGridRow> Scratch;
    std::vector<std::size_t> GridRow;
};
