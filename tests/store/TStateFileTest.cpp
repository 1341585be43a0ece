#include "Errors.h"
#include "TDaten.h"
#include "TStateFile.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

// Joins lines with CR LF after each, as the file has them.
std::string Lines(std::initializer_list<std::string> lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

const std::string EightTexts = Lines({"http://intern/macs.txt", "admin", "geheim", "db.intern", "vexal", "pw", "vx", "3307"});

// A store that differs from the defaults everywhere the file reaches.
TDaten Sample()
{
    TDaten d;
    d.HttpUrl = "http://intern/macs.txt";
    d.HttpUser = "admin";
    d.HttpPassword = "geheim";
    d.MySqlHost = "";
    d.MySqlPort = "x";
    d.AddUser("192.168.1.2", "02:00:00:00:00:02", "eth1", Noon);
    d.AddUser("192.168.1.3", "02:00:00:00:00:03", "wlan0", Noon);
    d.UserName[0] = "J\xC3\xBCrgens Br\xFC" "cke \"Keller\" \\ O'Brien";  // UTF-8 and Latin-1 bytes alike
    d.UserDL.Set(0, "123456789012");
    d.UserUL.Set(0, "42");
    d.UserCDL.Set(0, "99");
    d.UserLastTime[0] = "46366.25";
    d.HideSubnets = {"10.9"};
    d.HideIPs = {"192.168.1.250", ""};
    d.LocalSubnets = {"192.168.1", "10"};
    d.LocalIPs = {};
    d.ExportInterval = -5;
    d.FlowPort = "9995";
    d.ExportEnabled = true;
    d.ExportDetailed = false;
    return d;
}
}

TEST(TStateFile, DefaultStoreWritesEighteenLines)
{
    EXPECT_EQ(TStateFile::Format(TDaten()),
              Lines({"", "", "", "", "user", "kzq", "vexal", "3306", "0", "0", "0", "0", "0", "30", "2055", "2056", "0",
                     "-1"}));
}

TEST(TStateFile, LayoutOfUserBlocksAndLists)
{
    const std::string text = TStateFile::Format(Sample());
    EXPECT_EQ(text, EightTexts.substr(0, EightTexts.find("db.intern")) + Lines({"", "user", "kzq", "vexal", "x", "2"})
                        + Lines({"02:00:00:00:00:02", "192.168.1.2", "46366.25", Sample().UserName[0], "123456789012",
                                 "42", "eth1"})
                        + Lines({"02:00:00:00:00:03", "192.168.1.3", "0", "-", "0", "0", "wlan0"})
                        + Lines({"1", "10.9", "2", "192.168.1.250", "", "2", "192.168.1", "10", "0"})
                        + Lines({"-5", "9995", "2056", "-1", "0"}));
}

TEST(TStateFile, SaveAndLoadRestoreWhatTheFileCarries)
{
    TTempDir dir;
    const TDaten saved = Sample();
    ASSERT_TRUE(TStateFile::Save(saved, dir.File("vexal.ini")));

    TDaten loaded;
    loaded.AddUser("10.0.0.1", "old", "old", Noon);
    loaded.UserStatus[0] = "1";
    ASSERT_TRUE(TStateFile::Load(loaded, dir.File("vexal.ini")));
    EXPECT_EQ(loaded.HttpUrl, saved.HttpUrl);
    EXPECT_EQ(loaded.HttpPassword, "geheim");
    EXPECT_EQ(loaded.MySqlHost, "");
    EXPECT_EQ(loaded.MySqlPort, "x");
    ASSERT_EQ(loaded.UserCount(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(loaded.UserIP[k], saved.UserIP[k]);
        EXPECT_EQ(loaded.UserMAC[k], saved.UserMAC[k]);
        EXPECT_EQ(loaded.UserName[k], saved.UserName[k]);
        EXPECT_EQ(loaded.UserDL.Text(k), saved.UserDL.Text(k));
        EXPECT_EQ(loaded.UserUL.Text(k), saved.UserUL.Text(k));
        EXPECT_EQ(loaded.UserDevice[k], saved.UserDevice[k]);
        // What the file does not carry starts afresh.
        EXPECT_EQ(loaded.UserLastTime[k], "0");
        EXPECT_EQ(loaded.UserCDL.Text(k), "0");
        EXPECT_EQ(loaded.UserCUL.Text(k), "0");
        EXPECT_TRUE(loaded.UserCPort[k].Empty());
        EXPECT_EQ(loaded.UserStatus[k], "0");
        EXPECT_EQ(loaded.UserMACTime[k], "0");
    }
    EXPECT_EQ(loaded.UserIP.IndexOf("192.168.1.3"), 1);
    EXPECT_EQ(loaded.UserIP.IndexOf("10.0.0.1"), -1);
    EXPECT_EQ(loaded.HideSubnets, saved.HideSubnets);
    EXPECT_EQ(loaded.HideIPs, saved.HideIPs);
    EXPECT_EQ(loaded.LocalSubnets, saved.LocalSubnets);
    EXPECT_EQ(loaded.LocalIPs, saved.LocalIPs);
    EXPECT_EQ(loaded.ExportInterval, -5);
    EXPECT_EQ(loaded.FlowPort, "9995");
    EXPECT_EQ(loaded.MacPort, "2056");
    EXPECT_TRUE(loaded.ExportEnabled);
    EXPECT_FALSE(loaded.ExportDetailed);
    EXPECT_EQ(TStateFile::Format(loaded), TStateFile::Format([&] {
                  TDaten expected = Sample();
                  expected.UserLastTime = {"0", "0"};
                  return expected;
              }()));
}

TEST(TStateFile, LineBreaksOfEveryKindAreRead)
{
    for (const char* lineEnd : {"\r\n", "\n", "\r"}) {
        SCOPED_TRACE(testing::PrintToString(lineEnd));
        std::string text = TStateFile::Format(Sample());
        std::string converted;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text.compare(i, 2, "\r\n") == 0) {
                converted += lineEnd;
                ++i;
            } else {
                converted += text[i];
            }
        }
        converted.resize(converted.size() - std::string(lineEnd).size());  // no break after the last line
        TDaten d;
        EXPECT_TRUE(TStateFile::Parse(d, converted));
        EXPECT_FALSE(d.ExportDetailed);
        EXPECT_EQ(d.UserCount(), 2u);
        EXPECT_EQ(d.HideIPs, Sample().HideIPs);
    }
}

TEST(TStateFile, DamagedFilesKeepEverythingAfterTheFirstProblem)
{
    // Each case: the file's text, then what the store holds afterwards. The store
    // starts with one user, one entry in every filter list and non-default settings.
    const std::string users2 = Lines({"2", "m1", "10.0.0.1", "0", "A", "1", "2", "eth0", "m2", "10.0.0.2", "0", "B",
                                      "3", "4", "eth1"});
    const std::string lists = Lines({"0", "1", "10.0.0.9", "1", "10", "0"});
    struct TCase {
        std::string Name;
        std::string Text;
        bool Complete;
        std::size_t Users;
        const char* HideIP;  // first HideIPs entry or "(empty)"
        std::int32_t Interval;
        bool Enabled;
        bool Detailed;
        const char* HttpUrl;
    };
    std::vector<TCase> cases = {
        {"complete", EightTexts + users2 + lists + Lines({"60", "2055", "2056", "-1", "0"}), true, 2, "10.0.0.9", 60,
         true, false, "http://intern/macs.txt"},
        {"booleans True and false", EightTexts + users2 + lists + Lines({"60", "2055", "2056", "True", "false"}), true,
         2, "10.0.0.9", 60, true, false, "http://intern/macs.txt"},
        {"boolean 1 and 0.0", EightTexts + users2 + lists + Lines({"60", "2055", "2056", "1", "0.0"}), true, 2,
         "10.0.0.9", 60, true, false, "http://intern/macs.txt"},
        {"bad ExportEnabled keeps both flags", EightTexts + users2 + lists + Lines({"60", "2055", "2056", "ja", "0"}),
         false, 2, "10.0.0.9", 60, false, true, "http://intern/macs.txt"},
        {"nan is no boolean", EightTexts + users2 + lists + Lines({"60", "2055", "2056", "-1", "nan"}), false, 2,
         "10.0.0.9", 60, true, true, "http://intern/macs.txt"},
        {"bad export period keeps it, the ports and flags", EightTexts + users2 + lists + Lines({"6o", "1", "2", "-1", "0"}),
         false, 2, "10.0.0.9", 30, false, true, "http://intern/macs.txt"},
        {"export period beyond 32 bits", EightTexts + users2 + lists + Lines({"4294967296", "1", "2", "-1", "0"}),
         false, 2, "10.0.0.9", 30, false, true, "http://intern/macs.txt"},
        {"ends right after a user count of 3", EightTexts + Lines({"3"}), false, 0, "keep", 30, false, true,
         "http://intern/macs.txt"},
        {"user count abc loads only the eight texts", EightTexts + Lines({"abc"}) + users2, false, 1, "keep", 30, false,
         true, "http://intern/macs.txt"},
        {"ends inside the second user block", EightTexts + users2.substr(0, users2.find("B\r\n")), false, 1, "keep",
         30, false, true, "http://intern/macs.txt"},
        {"negative user count empties the table", EightTexts + Lines({"-4"}) + lists + Lines({"60", "a", "b", "0", "0"}),
         true, 0, "10.0.0.9", 60, false, false, "http://intern/macs.txt"},
        {"filter count 0 empties that list", EightTexts + Lines({"0", "0", "0", "0", "0"}), false, 0, "(empty)", 30,
         false, true, "http://intern/macs.txt"},
        {"ends inside the configuration", Lines({"http://a", "u"}), false, 1, "keep", 30, false, true, "http://a"},
        {"empty file", "", false, 1, "keep", 30, false, true, "alt"},
    };
    // The last block cut before each of its seven lines: only the first user is read,
    // never half a row with the lines it lacks made up.
    const std::size_t lastBlock = users2.find("m2\r\n");
    std::size_t cut = lastBlock;
    for (int line = 1; line <= 7; ++line) {
        cases.push_back({"last user block cut before its line " + std::to_string(line), EightTexts + users2.substr(0, cut),
                         false, 1, "keep", 30, false, true, "http://intern/macs.txt"});
        cut = users2.find("\r\n", cut) + 2;
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TDaten d;
        d.HttpUrl = "alt";
        d.AddUser("192.168.9.9", "old", "eth9", Noon);
        d.HideIPs = {"keep"};
        EXPECT_EQ(TStateFile::Parse(d, c.Text), c.Complete);
        EXPECT_EQ(d.HttpUrl, c.HttpUrl);
        EXPECT_EQ(d.UserCount(), c.Users);
        for (std::size_t size : {d.UserMAC.size(), d.UserName.size(), d.UserDL.size(), d.UserUL.size(),
                                 d.UserCDL.size(), d.UserCUL.size(), d.UserCPort.size(), d.UserStatus.size(),
                                 d.UserMACTime.size(), d.UserLastTime.size(), d.UserDevice.size()})
            EXPECT_EQ(size, c.Users) << "user lists stay aligned";
        EXPECT_EQ(d.HideIPs.empty() ? std::string("(empty)") : d.HideIPs.front(), c.HideIP);
        EXPECT_EQ(d.ExportInterval, c.Interval);
        EXPECT_EQ(d.ExportEnabled, c.Enabled);
        EXPECT_EQ(d.ExportDetailed, c.Detailed);
    }
}

TEST(TStateFile, MissingFileChangesNothing)
{
    TTempDir dir;
    TDaten d;
    d.AddUser("192.168.1.2", "m", "eth0", Noon);
    EXPECT_FALSE(TStateFile::Load(d, dir.File("vexal.ini")));
    EXPECT_EQ(d.UserCount(), 1u);
    EXPECT_EQ(d.MySqlUser, "user");
}

TEST(TStateFile, NewFileIsPrivateAndAnExistingOneKeepsItsMode)
{
    TTempDir dir;
    const std::string path = dir.File("vexal.ini");
    ASSERT_TRUE(TStateFile::Save(Sample(), path));
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "it holds passwords";
    // Whoever opened it up to a group did so on purpose; a save must not lock them out.
    chmod(path.c_str(), 0640);
    ASSERT_TRUE(TStateFile::Save(Sample(), path));
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path), std::filesystem::directory_iterator()), 1)
        << "no temporary file left";
}

TEST(TStateFile, LineBreakInsideAValueNeverAddsALine)
{
    using TSetter = void (*)(TDaten&, const std::string&);
    const std::pair<const char*, TSetter> fields[] = {
        {"HttpUrl", [](TDaten& d, const std::string& v) { d.HttpUrl = v; }},
        {"HttpUser", [](TDaten& d, const std::string& v) { d.HttpUser = v; }},
        {"HttpPassword", [](TDaten& d, const std::string& v) { d.HttpPassword = v; }},
        {"MySqlHost", [](TDaten& d, const std::string& v) { d.MySqlHost = v; }},
        {"MySqlUser", [](TDaten& d, const std::string& v) { d.MySqlUser = v; }},
        {"MySqlPassword", [](TDaten& d, const std::string& v) { d.MySqlPassword = v; }},
        {"MySqlDatabase", [](TDaten& d, const std::string& v) { d.MySqlDatabase = v; }},
        {"MySqlPort", [](TDaten& d, const std::string& v) { d.MySqlPort = v; }},
        {"UserMAC", [](TDaten& d, const std::string& v) { d.UserMAC[1] = v; }},
        {"UserIP",
         [](TDaten& d, const std::string& v) {
             d.RemoveUser(1);
             d.AddUser(v, "02:00:00:00:00:03", "wlan0", Noon);
         }},
        {"UserLastTime", [](TDaten& d, const std::string& v) { d.UserLastTime[1] = v; }},
        {"UserName", [](TDaten& d, const std::string& v) { d.UserName[1] = v; }},
        {"UserDL", [](TDaten& d, const std::string& v) { d.UserDL.Set(1, v); }},
        {"UserUL", [](TDaten& d, const std::string& v) { d.UserUL.Set(1, v); }},
        {"UserDevice", [](TDaten& d, const std::string& v) { d.UserDevice[1] = v; }},
        {"HideSubnets", [](TDaten& d, const std::string& v) { d.HideSubnets.push_back(v); }},
        {"HideIPs", [](TDaten& d, const std::string& v) { d.HideIPs[1] = v; }},
        {"LocalSubnets", [](TDaten& d, const std::string& v) { d.LocalSubnets[0] = v; }},
        {"LocalIPs", [](TDaten& d, const std::string& v) { d.LocalIPs.push_back(v); }},
        {"FlowPort", [](TDaten& d, const std::string& v) { d.FlowPort = v; }},
        {"MacPort", [](TDaten& d, const std::string& v) { d.MacPort = v; }},
    };
    // Each CR and each LF is written as one space, so the value keeps its length.
    const std::pair<std::string, std::string> values[] = {
        {"eth1\r\n0\r\n0\r\n1\r\n10\r\n0\r\n5\r\nX\r\nY\r\n0\r\n0", "eth1  0  0  1  10  0  5  X  Y  0  0"},
        {"a\nb", "a b"},
        {"a\rb", "a b"},
        {"\r\n", "  "},
        {"end\n", "end "},
    };
    for (const auto& [field, set] : fields) {
        for (const auto& [value, written] : values) {
            SCOPED_TRACE(std::string(field) + " = " + testing::PrintToString(value));
            TDaten withBreak = Sample();
            set(withBreak, value);
            TDaten withSpaces = Sample();
            set(withSpaces, written);
            const std::string text = TStateFile::Format(withBreak);
            EXPECT_EQ(text, TStateFile::Format(withSpaces)) << "nothing else in the file changes";
            TDaten loaded;
            EXPECT_TRUE(TStateFile::Parse(loaded, text));
            EXPECT_EQ(loaded.UserCount(), 2u);
            EXPECT_EQ(loaded.LocalSubnets.size(), withBreak.LocalSubnets.size());
            EXPECT_EQ(loaded.ExportInterval, -5);
            EXPECT_TRUE(loaded.ExportEnabled);
            EXPECT_FALSE(loaded.ExportDetailed);
        }
    }
    // A store without line breaks still writes byte for byte what it read.
    TDaten plain = Sample();
    plain.UserLastTime = {"0", "0"};
    TDaten loaded;
    ASSERT_TRUE(TStateFile::Parse(loaded, TStateFile::Format(plain)));
    EXPECT_EQ(TStateFile::Format(loaded), TStateFile::Format(plain));
}

TEST(TStateFile, HandEditedCountersAreWrittenBackAsTheyWereRead)
{
    TDaten edited = Sample();
    edited.UserDL.Set(0, "007");
    edited.UserUL.Set(0, "abc");
    edited.UserDL.Set(1, "");
    edited.UserUL.Set(1, "-0");
    edited.UserLastTime = {"0", "0"};  // the loader starts every user without a flow time
    const std::string text = TStateFile::Format(edited);
    EXPECT_NE(text.find("\r\n007\r\nabc\r\n"), std::string::npos) << text;
    TDaten loaded;
    ASSERT_TRUE(TStateFile::Parse(loaded, text));
    EXPECT_EQ(TStateFile::Format(loaded), text);
    EXPECT_EQ(loaded.UserDL.Value(0), 7);
    EXPECT_THROW(loaded.UserUL.Value(0), EConvertError);
}

TEST(TStateFile, ReadOnlyFileStaysAsItWas)
{
    TTempDir dir;
    const std::string path = dir.File("vexal.ini");
    WriteWholeFile(path, "von Hand geschützt\r\n");
    chmod(path.c_str(), 0444);
    TDaten d = Sample();
    EXPECT_FALSE(TStateFile::Save(d, path));
    EXPECT_EQ(ReadWholeFile(path), "von Hand geschützt\r\n");
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0444u);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    // The store keeps working.
    d.AddUser("192.168.1.99", "m", "eth0", Noon);
    EXPECT_EQ(d.UserCount(), 3u);
}

TEST(TStateFile, StoreSavesAndLoadsInTheWorkingDirectory)
{
    TTempDir dir;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path);
    EXPECT_EQ(Sample().SaveState(), TSaveOutcome::Replaced);
    TDaten d;
    d.LoadState();
    std::filesystem::current_path(previous);
    EXPECT_EQ(d.UserCount(), 2u);
    EXPECT_TRUE(std::filesystem::exists(dir.File("vexal.ini")));
}
