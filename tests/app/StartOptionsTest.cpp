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
