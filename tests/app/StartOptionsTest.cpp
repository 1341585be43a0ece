#include "StartOptions.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace {
TStartOptions Parse(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), "vexal-capture");
    return ParseStartOptions(static_cast<int>(arguments.size()), arguments.data());
}

// Restores the working folder the test began in.
class TWorkingFolder {
public:
    ~TWorkingFolder() { std::filesystem::current_path(Saved); }

private:
    std::filesystem::path Saved = std::filesystem::current_path();
};
}

// Which folder each way of starting uses: a terminal start without options stays in the
// current folder, so existing set-ups do not move.
TEST(StartOptions, EachStartFindsItsFolder)
{
    struct TCase {
        const char* Name;
        std::vector<const char*> Arguments;
        const char* XdgDataHome;
        const char* Home;
        std::string Folder;
    };
    const TCase cases[] = {
        {"terminal", {}, "/data", "/home/anna", ""},
        {"service", {"--headless"}, "/data", "/home/anna", ""},
        {"menu with XDG_DATA_HOME", {"--menu"}, "/data", "/home/anna", "/data/vexal-capture"},
        {"menu without XDG_DATA_HOME", {"--menu"}, nullptr, "/home/anna", "/home/anna/.local/share/vexal-capture"},
        {"menu with an empty XDG_DATA_HOME", {"--menu"}, "", "/home/anna", "/home/anna/.local/share/vexal-capture"},
        {"menu with a relative XDG_DATA_HOME", {"--menu"}, "data", "/home/anna", "/home/anna/.local/share/vexal-capture"},
        {"menu without any home", {"--menu"}, nullptr, nullptr, ""},
        {"folder", {"--folder", "/srv/vexal"}, "/data", "/home/anna", "/srv/vexal"},
        {"folder with =", {"--folder=/srv/vexal", "--headless"}, nullptr, nullptr, "/srv/vexal"},
        {"folder beats the menu", {"--menu", "--folder", "rel/dir"}, "/data", "/home/anna", "rel/dir"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const TStartOptions options = Parse(c.Arguments);
        EXPECT_EQ(options.Error, "");
        EXPECT_EQ(options.Unknown, "");
        EXPECT_EQ(ChooseStartFolder(options, c.XdgDataHome, c.Home), c.Folder);
    }
}

TEST(StartOptions, FlagsAndWrongUse)
{
    const TStartOptions all = Parse({"--headless", "--version", "-h", "--menu"});
    EXPECT_TRUE(all.Headless);
    EXPECT_TRUE(all.Version);
    EXPECT_TRUE(all.Help);
    EXPECT_TRUE(all.Menu);

    // The folder's name is taken as a folder, not as an unknown option.
    const TStartOptions folder = Parse({"--headless", "--folder", "--odd-name"});
    EXPECT_EQ(folder.Folder, "--odd-name");
    EXPECT_EQ(folder.Unknown, "");

    for (const std::vector<const char*>& wrong :
         {std::vector<const char*>{"--folder"}, std::vector<const char*>{"--folder="},
          std::vector<const char*>{"--folder", ""}}) {
        SCOPED_TRACE(wrong.size());
        EXPECT_NE(Parse(wrong).Error, "");
    }
    // The window hands what it does not know to Qt; the first one is kept for the service's message.
    EXPECT_EQ(Parse({"-platform", "offscreen"}).Unknown, "-platform");
}

TEST(StartOptions, FolderIsCreatedAndEntered)
{
    TWorkingFolder restore;
    TTempDir dir;
    const std::string folder = (dir.Path / "a" / "b").string();
    std::string error;
    ASSERT_TRUE(EnterStartFolder(folder, error)) << error;
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(folder));
    // An existing folder is entered as it is.
    ASSERT_TRUE(EnterStartFolder(dir.Path.string(), error)) << error;
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(dir.Path));

    WriteWholeFile(dir.File("file"), "x");
    EXPECT_FALSE(EnterStartFolder(dir.File("file"), error));
    EXPECT_NE(error.find(dir.File("file")), std::string::npos) << error;
}

// Several collectors on one host each take ports of their own; a port that is none, or
// one port for both kinds of datagram, is refused before anything binds.
TEST(StartOptions, PortsFromTheCommandLine)
{
    struct TCase {
        const char* Name;
        std::vector<const char*> Arguments;
        std::uint16_t FlowPort;
        std::uint16_t AnnouncePort;
        bool Error;
    };
    const TCase cases[] = {
        {"defaults", {"--headless"}, 2055, 2056, false},
        {"both, separate values", {"--flow-port", "3055", "--announce-port", "3056"}, 3055, 3056, false},
        {"both, with =", {"--flow-port=4055", "--headless", "--announce-port=4056"}, 4055, 4056, false},
        {"flow only", {"--flow-port", "2057"}, 2057, 2056, false},
        {"highest port", {"--announce-port", "65535"}, 2055, 65535, false},
        {"swapped defaults", {"--flow-port", "2056", "--announce-port", "2055"}, 2056, 2055, false},
        {"missing value", {"--flow-port"}, 2055, 2056, true},
        {"empty value", {"--announce-port="}, 2055, 2056, true},
        {"zero", {"--flow-port", "0"}, 2055, 2056, true},
        {"too large", {"--flow-port", "65536"}, 2055, 2056, true},
        {"negative", {"--announce-port", "-1"}, 2055, 2056, true},
        {"trailing text", {"--flow-port", "3055x"}, 2055, 2056, true},
        {"name instead of number", {"--announce-port", "netflow"}, 2055, 2056, true},
        {"one port for both", {"--flow-port", "2056"}, 2056, 2056, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const TStartOptions options = Parse(c.Arguments);
        EXPECT_EQ(!options.Error.empty(), c.Error) << options.Error;
        EXPECT_EQ(options.Unknown, "") << "a port's value is never taken as an unknown option";
        if (!c.Error) {
            EXPECT_EQ(options.FlowPort, c.FlowPort);
            EXPECT_EQ(options.AnnouncePort, c.AnnouncePort);
        }
    }
    // An option that only begins like one of them stays unknown.
    EXPECT_EQ(Parse({"--flow-ports", "1"}).Unknown, "--flow-ports");
}

// --report and its options: dates of the calendar, both ends in order, csv or json,
// and the report's options only with --report.
TEST(StartOptions, ReportOptions)
{
    const TStartOptions plain = Parse({"--report"});
    EXPECT_TRUE(plain.Report);
    EXPECT_EQ(plain.ReportFormat, "csv");
    EXPECT_FALSE(plain.ReportSum);
    EXPECT_EQ(plain.ReportFrom, "");
    EXPECT_EQ(plain.Error, "");
    const TStartOptions all =
        Parse({"--report", "--from", "2026-02-28", "--to=2026-03-01", "--format=json", "--sum", "--folder", "/srv/v"});
    EXPECT_EQ(all.Error, "");
    EXPECT_EQ(all.ReportFrom, "2026-02-28");
    EXPECT_EQ(all.ReportTo, "2026-03-01");
    EXPECT_EQ(all.ReportFormat, "json");
    EXPECT_TRUE(all.ReportSum);
    EXPECT_EQ(all.Folder, "/srv/v");
    EXPECT_EQ(Parse({"--report", "--from", "2026-03-01", "--to", "2026-03-01"}).Error, "") << "one day";

    const struct {
        std::vector<const char*> Arguments;
        const char* Says;
    } wrong[] = {
        {{"--report", "--from", "2026-02-29"}, "--from braucht ein Datum"},  // no leap year
        {{"--report", "--from", "2026-3-01"}, "--from braucht ein Datum"},
        {{"--report", "--to", "01.03.2026"}, "--to braucht ein Datum"},
        {{"--report", "--to", "2026-03-01x"}, "--to braucht ein Datum"},
        {{"--report", "--to", "+026-03-01"}, "--to braucht ein Datum"},
        {{"--report", "--to"}, "--to braucht ein Datum"},
        {{"--report", "--from", "2026-03-02", "--to", "2026-03-01"}, "liegt nach"},
        {{"--report", "--format", "xml"}, "--format kennt csv und json"},
        {{"--report", "--format", "CSV"}, "--format kennt csv und json"},
        {{"--sum"}, "--sum gehört zu --report"},
        {{"--headless", "--from", "2026-03-01"}, "--from gehört zu --report"},
    };
    for (const auto& w : wrong) {
        SCOPED_TRACE(w.Says);
        const std::string error = Parse(w.Arguments).Error;
        EXPECT_NE(error.find(w.Says), std::string::npos) << error;
    }
    EXPECT_TRUE(IsReportDate("2024-02-29"));
    EXPECT_FALSE(IsReportDate("2024-13-01"));
    EXPECT_FALSE(IsReportDate("2024-00-10"));
}
