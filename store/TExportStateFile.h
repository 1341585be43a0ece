#pragma once

#include "TAtomicFile.h"
#include "TCarriedTraffic.h"
#include "TTrafficRow.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TDaten;

// What the database has not received yet, kept over a restart beside vexal.ini (which
// keeps its layout): the interval octets and ports of every user that has any, the
// carried rows of clients that left the table, and the run whose COMMIT had no answer.
//
// One record a line, fields separated by tabs (a tab, CR, LF or % inside a value is
// written as %09, %0D, %0A, %25): a first line naming the format, then
//   F <fold count>
//   U <ip> <mac> <device> <ul> <dl> <ports>                 interval of a user row
//   C <ip> <mac> <device> <ul> <dl> <ports> <last fold>     a carried row
//   R <run id>                                              an unsettled run, oldest first
//   P <ip> <mac> <device> <ul> <dl> <ports> <insert> <carried> <fold>   its rows
//   E <records before> <FNV-1a 64 of every byte before this line, hex>
// The closing line tells a whole file from a cut or changed one. A file is taken
// whole or not at all.
//
// The file and vexal.ini need not be of the same moment: this file alone says what
// the database lacks, and an interval whose user row (address and MAC) vexal.ini does
// not hold goes in as a carried row of its own, so a crash between the two writes, in
// either order, neither loses nor doubles octets. What it must never be is older than
// the database without knowing it: before a run sends its traffic, the file is written
// naming that run (TUnsettledRun), and again once its result is applied, so whatever
// moment the program dies at, the next start finds out what the database holds and
// takes off exactly that.
class TExportStateFile {
public:
    static constexpr const char* DefaultPath = "vexal-export.dat";
    static constexpr std::string_view Magic = "Vexal Capture Exportstand 1";
    // Input from disk: everything is bounded before it is believed.
    static constexpr std::size_t MaxFileBytes = 512u * 1024 * 1024;
    static constexpr std::size_t MaxTextBytes = 4096;       // address, MAC, interface, run id
    static constexpr std::size_t MaxPortsBytes = 4u * 1024 * 1024;
    // A run whose COMMIT had no answer, one under way when the state was written, and
    // after a restart the ones of the last session: never more than a few.
    static constexpr std::size_t MaxRuns = 4;
    static constexpr std::size_t MaxRecords = (MaxRuns + 1) * (262'144 + TCarriedTraffic::MaxRows) + 8;

    struct TContent {
        std::uint64_t Folds = 0;
        std::vector<TTrafficRow> Users;   // interval of user rows (Carried false)
        std::vector<TCarriedRow> Carried;
        std::vector<TUnsettledRun> Runs;
    };

    static TContent Take(const TDaten& daten, const std::vector<TUnsettledRun>& runs);
    static std::string Format(const TContent& content);
    static std::string Format(const TDaten& daten, const std::vector<TUnsettledRun>& runs)
    {
        return Format(Take(daten, runs));
    }
    // Reads the text whole; false with the reason in `error` when it is not a whole
    // file of this format (content is then left empty).
    static bool Parse(std::string_view text, TContent& content, std::string& error);
    // Puts the content into a store whose user table vexal.ini has just filled: the
    // interval goes to the row of the same address and MAC, or, without one, into a
    // carried row.
    static void Apply(TDaten& daten, const TContent& content);

    enum class TLoad { Missing, Loaded, Damaged };
    // Loads the file into the store and hands back its unsettled runs. A damaged file
    // changes nothing and says why in `error`.
    static TLoad Load(TDaten& daten, std::vector<TUnsettledRun>& runs, std::string& error,
                      const std::string& path = DefaultPath);
    static TSaveOutcome Write(const TDaten& daten, const std::vector<TUnsettledRun>& runs,
                              const std::string& path = DefaultPath);
};
