#pragma once

#include "LocalTime.h"
#include "TUserGridModel.h"

#include <cstddef>
#include <vector>

class TDaten;

struct TUserRowsOutcome {
    std::size_t Shown = 0;  // rows written, from the first
    bool Complete = false;  // false: a damaged entry ended the pass at the user after them
};

// The user stage of the display tick, without a window: decides every user's online
// status (the one change the tick makes to the store) and writes the rows of the users
// the grid shows into `rows`, in store order, growing it as needed (rows after the
// written ones are left as they are: they are scratch space). Hidden users and, with
// `onlineOnly`, offline users get no row.
// Writes user i's row as the grid shows it, given its status and colour band.
// EConvertError for a damaged counter.
void FillUserRow(const TDaten& daten, std::size_t i, bool online, int band, TUserGridRow& row);

TUserRowsOutcome BuildUserRows(TDaten& daten, const TLocalTime& now, bool onlineOnly, std::vector<TUserGridRow>& rows);
