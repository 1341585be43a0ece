#include "TExportStateFile.h"

#include "TDaten.h"
#include "Ports.h"
#include "TStateFile.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

// A store with interval traffic, carried rows, and an unsettled run, whose texts hold
// every character the format has to mask.
struct TFilledStore {
    TFilledStore()
    {
        Daten.AddUser("192.168.1.10", "02:00:00:00:00:0a", "eth0", Noon);
        Daten.AddUser("192.168.1.11", "02:00:00:00:00:0b", "wl\tan%0A\r\n", Noon);
        Daten.AddUser("192.168.1.12", "02:00:00:00:00:0c", "eth0", Noon);  // no interval: not written
        Daten.UserCUL.SetValue(0, 1000);
        Daten.UserCDL.SetValue(0, 2000);
        Daten.UserCPort[0] = Ports({{443, 1500}, {53, 500}});
        Daten.UserCDL.SetValue(1, 7);
        Daten.CarriedTraffic.Carry("192.168.1.20", "02:00:00:00:00:14", "eth0", 11, 22, Ports({{80, 22}}));
        Daten.CarriedTraffic.Carry("192.168.1.21", "02:00:00:00:00:15", "eth1", 33, 44, {});
        Run.Id = "5b0e7a2c-1d1e-4a63-9c1f-2f5d0e4b9a11";
        TTrafficRow row;
        row.IP = "192.168.1.10";
        row.MAC = "02:00:00:00:00:0a";
        row.Device = "eth0";
        row.UL = 400;
        row.DL = 800;
        row.Ports = Ports({{443, 800}});
        row.Insert = true;
        row.Fold = 1;
        Run.Rows.push_back(row);
        row.Carried = true;
        row.IP = "192.168.1.20";
        row.Fold = 1;
        Run.Rows.push_back(row);
    }
    TDaten Daten;
    TUnsettledRun Run;
};

// "ip mac device" -> "ul/dl/ports[/fold]"
std::map<std::string, std::string> Interval(const TDaten& d)
{
    std::map<std::string, std::string> rows;
    for (std::size_t i = 0; i < d.UserCount(); ++i)
        rows[d.UserIP[i] + " " + d.UserMAC[i]] = d.UserCUL.Text(i) + "/" + d.UserCDL.Text(i) + "/" + d.UserCPort[i].ToText();
    for (const TCarriedRow* row : d.CarriedTraffic.Rows())
        rows["carried " + row->IP + " " + row->MAC + " " + row->Device] = std::to_string(row->UL) + "/"
            + std::to_string(row->DL) + "/" + row->Ports.ToText() + "/" + std::to_string(row->LastFold);
    return rows;
}

std::vector<std::string> RunRows(const TUnsettledRun& run)
{
    std::vector<std::string> rows;
    for (const TTrafficRow& row : run.Rows)
        rows.push_back(row.IP + " " + row.MAC + " " + row.Device + " " + std::to_string(row.UL) + " "
                       + std::to_string(row.DL) + " " + row.Ports.ToText() + " " + std::to_string(row.Insert) + " "
                       + std::to_string(row.Carried) + " " + std::to_string(row.Fold));
    return rows;
}

// The store as a restart makes it: vexal.ini first, then the export state.
TDaten Restarted(const TDaten& before)
{
    TDaten after;
    EXPECT_TRUE(TStateFile::Parse(after, TStateFile::Format(before)));
    return after;
}
}

// Everything the database has not received comes back after a restart, with the fold
// numbers the unsettled run's rows refer to.
TEST(TExportStateFile, KeepsIntervalCarriedRowsAndTheUnsettledRun)
{
    TFilledStore filled;
    TUnsettledRun underWay{"0f9d3c1e-7a2b-4c5d-8e6f-112233445566", {filled.Run.Rows.front()}};
    const std::string text = TExportStateFile::Format(filled.Daten, {filled.Run, underWay});
    TDaten after = Restarted(filled.Daten);
    TExportStateFile::TContent content;
    std::string error;
    ASSERT_TRUE(TExportStateFile::Parse(text, content, error)) << error;
    TExportStateFile::Apply(after, content);

    EXPECT_EQ(Interval(after), Interval(filled.Daten));
    EXPECT_EQ(after.CarriedTraffic.Folds(), filled.Daten.CarriedTraffic.Folds());
    ASSERT_EQ(content.Runs.size(), 2u);
    EXPECT_EQ(content.Runs[0].Id, filled.Run.Id);
    EXPECT_EQ(RunRows(content.Runs[0]), RunRows(filled.Run));
    EXPECT_EQ(content.Runs[1].Id, underWay.Id);
    EXPECT_EQ(RunRows(content.Runs[1]), RunRows(underWay));
    EXPECT_EQ(content.Users.size(), 2u) << "a user without interval traffic is not written";
    // Read and written again, the same bytes.
    EXPECT_EQ(TExportStateFile::Format(content), text);
}

// The interval of a user row vexal.ini does not hold (written at another moment, or the
// address has another MAC there) is carried, not lost; a client carried now comes after
// every fold number kept.
TEST(TExportStateFile, IntervalWithoutItsUserRowIsCarried)
{
    TFilledStore filled;
    const std::string text = TExportStateFile::Format(filled.Daten, {});
    TDaten after;  // an older vexal.ini: one user, another MAC on the first address
    after.AddUser("192.168.1.10", "02:00:00:00:00:ff", "eth0", Noon);
    TExportStateFile::TContent content;
    std::string error;
    ASSERT_TRUE(TExportStateFile::Parse(text, content, error)) << error;
    TExportStateFile::Apply(after, content);

    EXPECT_EQ(after.UserCUL.Text(0), "0");
    const std::map<std::string, std::string> rows = Interval(after);
    EXPECT_EQ(rows.at("carried 192.168.1.10 02:00:00:00:00:0a eth0"), "1000/2000/443:1500,53:500/3");
    EXPECT_EQ(rows.at("carried 192.168.1.11 02:00:00:00:00:0b wl\tan%0A\r\n"), "0/7//4");
    EXPECT_EQ(rows.at("carried 192.168.1.20 02:00:00:00:00:14 eth0"), "11/22/80:22/1");
    EXPECT_EQ(after.CarriedTraffic.Folds(), 4u);
}

// Input from disk, taken whole or not at all: every cut, every changed byte, foreign
// and malformed files are refused with a reason, and nothing of them reaches the store.
TEST(TExportStateFile, DamagedOrForeignFilesAreRefusedWhole)
{
    TFilledStore filled;
    const std::string good = TExportStateFile::Format(filled.Daten, {filled.Run});
    auto refused = [](const std::string& text) {
        TExportStateFile::TContent content;
        std::string error;
        const bool ok = TExportStateFile::Parse(text, content, error);
        EXPECT_TRUE(ok || !error.empty());
        EXPECT_TRUE(ok || (content.Users.empty() && content.Carried.empty() && content.Runs.empty()));
        return !ok;
    };
    for (std::size_t length = 0; length < good.size(); ++length)
        EXPECT_TRUE(refused(good.substr(0, length))) << "cut at " << length;
    for (std::size_t at = 0; at < good.size(); ++at) {
        std::string changed = good;
        changed[at] = static_cast<char>(changed[at] ^ 0x04);
        EXPECT_TRUE(refused(changed)) << "byte " << at << " changed";
    }

    // Files that are whole (their closing line is right) but say what cannot be.
    auto sealed = [](std::string body) {
        std::string text = std::string(TExportStateFile::Magic) + "\r\n" + body;
        std::size_t records = 0;
        for (std::size_t at = text.find("\r\n") + 2; at < text.size(); at = text.find("\r\n", at) + 2)
            ++records;
        // The closing line as Format makes it: the count and FNV-1a 64 of the text before it.
        std::uint64_t hash = 14695981039346656037ull;
        for (const char c : text) {
            hash ^= static_cast<unsigned char>(c);
            hash *= 1099511628211ull;
        }
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
        return text + "E\t" + std::to_string(records) + "\t" + hex + "\r\n";
    };
    ASSERT_FALSE(refused(sealed("F\t0\r\n"))) << "the sealing here matches the format's";
    const struct {
        const char* Name;
        std::string Text;
    } cases[] = {
        {"empty", ""},
        {"the state file vexal.ini", TStateFile::Format(filled.Daten)},
        {"another program's file", "[General]\r\nkey=value\r\n"},
        {"binary", std::string("\x00\x01\x02\xff\r\n", 6)},
        {"no fold count", sealed("")},
        {"two fold counts", sealed("F\t1\r\nF\t1\r\n")},
        {"negative octets", sealed("F\t0\r\nU\t1.2.3.4\tm\teth0\t-1\t0\t\r\n")},
        {"octets beyond 64 bits", sealed("F\t0\r\nU\t1.2.3.4\tm\teth0\t99999999999999999999\t0\t\r\n")},
        {"a field missing", sealed("F\t0\r\nU\t1.2.3.4\tm\teth0\t1\t0\r\n")},
        {"a field too many", sealed("F\t0\r\nU\t1.2.3.4\tm\teth0\t1\t0\t\tx\r\n")},
        {"a broken port list", sealed("F\t0\r\nU\t1.2.3.4\tm\teth0\t1\t0\t80-5\r\n")},
        {"negative port octets", sealed("F\t0\r\nU\t1.2.3.4\tm\teth0\t1\t0\t80:-5\r\n")},
        {"a broken mask", sealed("F\t0\r\nU\t1.2.3.4\tm%4\teth0\t1\t0\t\r\n")},
        {"an address too long", sealed("F\t0\r\nU\t" + std::string(5000, '1') + "\tm\teth0\t1\t0\t\r\n")},
        {"a carried fold after the count", sealed("F\t1\r\nC\t1.2.3.4\tm\teth0\t1\t0\t\t2\r\n")},
        {"run rows without a run", sealed("F\t0\r\nP\t1.2.3.4\tm\teth0\t1\t0\t\t1\t0\t0\r\n")},
        {"a flag that is not one", sealed("F\t0\r\nR\tx\r\nP\t1.2.3.4\tm\teth0\t1\t0\t\t2\t0\t0\r\n")},
        {"an empty run id", sealed("F\t0\r\nR\t\r\n")},
        {"more runs than are ever unsettled", sealed("F\t0\r\nR\ta\r\nR\tb\r\nR\tc\r\nR\td\r\nR\te\r\n")},
        {"an unknown record", sealed("F\t0\r\nX\t1\r\n")},
        {"an empty line", sealed("F\t0\r\n\r\n")},
        {"lines after the end", good + "F\t0\r\n"},
        {"LF only", [&] {
             std::string text = good;
             for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;)
                 text.erase(at, 1);
             return text;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_TRUE(refused(c.Text));
    }
}

// Loading: a missing file is nothing pending; a damaged one changes nothing of the
// store vexal.ini filled and says why.
TEST(TExportStateFile, LoadTellsMissingLoadedAndDamaged)
{
    TTempDir dir;
    const std::string path = dir.File("vexal-export.dat");
    TFilledStore filled;
    std::vector<TUnsettledRun> runs;
    std::string error;
    TDaten missing = Restarted(filled.Daten);
    EXPECT_EQ(TExportStateFile::Load(missing, runs, error, path), TExportStateFile::TLoad::Missing);
    EXPECT_TRUE(runs.empty());

    ASSERT_EQ(TExportStateFile::Write(filled.Daten, {filled.Run}, path), TSaveOutcome::Replaced);
    TDaten loaded = Restarted(filled.Daten);
    EXPECT_EQ(TExportStateFile::Load(loaded, runs, error, path), TExportStateFile::TLoad::Loaded) << error;
    EXPECT_EQ(Interval(loaded), Interval(filled.Daten));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].Id, filled.Run.Id);

    const std::string whole = ReadWholeFile(path);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << whole.substr(0, whole.size() / 2);
    TDaten damaged = Restarted(filled.Daten);
    const auto before = Interval(damaged);
    EXPECT_EQ(TExportStateFile::Load(damaged, runs, error, path), TExportStateFile::TLoad::Damaged);
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(runs.empty());
    EXPECT_EQ(Interval(damaged), before);
    EXPECT_EQ(damaged.UserCount(), 3u);

    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_EQ(TExportStateFile::Load(damaged, runs, error, path), TExportStateFile::TLoad::Damaged);
}
