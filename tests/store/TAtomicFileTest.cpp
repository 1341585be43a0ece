#include "TAtomicFile.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
// Stands for the process dying on the spot: nothing after it runs, no clean-up.
struct TKilled {};

// Fails (or dies) at the n-th system call of a save, counting from 1, and logs the
// calls by name. A write that dies first puts half of its bytes on disk, as a crash in
// the middle of it would. With RefuseOwner every Chown fails as it does for a user who
// saves another user's file.
class TFailingFileSystem : public TFileSystem {
public:
    TFailingFileSystem(int failAt, bool kill, bool refuseOwner = false)
        : FailAt(failAt), Kill(kill), RefuseOwner(refuseOwner)
    {
    }

    int Open(const char* path, int flags, mode_t mode) override
    {
        return Step("Open") ? TFileSystem::Open(path, flags, mode) : -1;
    }
    ssize_t Write(int fd, const void* data, std::size_t size) override
    {
        if (Calls + 1 == FailAt && Kill)
            TFileSystem::Write(fd, data, size / 2);
        return Step("Write") ? TFileSystem::Write(fd, data, size) : -1;
    }
    int Sync(int fd) override { return Step("Sync") ? TFileSystem::Sync(fd) : -1; }
    int Close(int fd) override
    {
        if (Calls + 1 == FailAt)
            TFileSystem::Close(fd);  // the descriptor goes away either way
        return Step("Close") ? TFileSystem::Close(fd) : -1;
    }
    int Rename(const char* from, const char* to) override
    {
        return Step("Rename") ? TFileSystem::Rename(from, to) : -1;
    }
    int Unlink(const char* path) override { return Step("Unlink") ? TFileSystem::Unlink(path) : -1; }
    int Chown(int fd, uid_t owner, gid_t group) override
    {
        if (!Step("Chown"))
            return -1;
        if (RefuseOwner) {
            errno = EPERM;
            return -1;
        }
        return TFileSystem::Chown(fd, owner, group);
    }
    int Chmod(int fd, mode_t mode) override { return Step("Chmod") ? TFileSystem::Chmod(fd, mode) : -1; }
    int Truncate(int fd, off_t length) override
    {
        return Step("Truncate") ? TFileSystem::Truncate(fd, length) : -1;
    }

    int Calls = 0;
    std::vector<std::string> Log;

private:
    bool Step(const char* name)
    {
        Log.emplace_back(name);
        if (++Calls != FailAt)
            return true;
        if (Kill)
            throw TKilled{};
        errno = ENOSPC;
        return false;
    }
    int FailAt;
    bool Kill;
    bool RefuseOwner;
};

const std::string OldContent = "old state\r\n";
const std::string NewContent = std::string(100'000, 'n') + "\r\n";

// The names in a folder, sorted.
std::vector<std::string> Names(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

using TNames = std::vector<std::string>;

// Names the content, so a mismatch does not print 100,000 bytes.
std::string Which(const std::string& content)
{
    if (content == OldContent)
        return "old";
    if (content == NewContent)
        return "new";
    return "other (" + std::to_string(content.size()) + " bytes)";
}

struct TStepCase {
    const char* Call;
    TSaveOutcome Outcome;  // when this call fails
    bool NewContent;       // the file holds the new content afterwards
};

// Fails each call of a save in turn, then kills the save at each call, and checks what
// the save reports and what the file holds. The table lists the calls of an undisturbed
// save in order, so it also pins that order down.
void CheckEveryStep(bool refuseOwner, const std::vector<TStepCase>& steps)
{
    {
        TTempDir dir;
        WriteWholeFile(dir.File("vexal.ini"), OldContent);
        TFailingFileSystem counter(0, false, refuseOwner);
        SaveFileAtomically(dir.File("vexal.ini"), NewContent, counter);
        TNames expected;
        for (const TStepCase& step : steps)
            expected.emplace_back(step.Call);
        ASSERT_EQ(counter.Log, expected);
    }
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("failed at step " + std::to_string(i + 1) + " " + steps[i].Call);
        TTempDir dir;
        const std::string path = dir.File("vexal.ini");
        WriteWholeFile(path, OldContent);
        TFailingFileSystem fs(static_cast<int>(i + 1), false, refuseOwner);
        EXPECT_EQ(SaveFileAtomically(path, NewContent, fs), steps[i].Outcome);
        EXPECT_EQ(Which(ReadWholeFile(path)), steps[i].NewContent ? "new" : "old");
        // The next save, undisturbed, always succeeds and leaves no stray file.
        EXPECT_TRUE(WriteFileAtomically(path, NewContent));
        EXPECT_EQ(Names(dir.Path), TNames{"vexal.ini"});
    }
    if (refuseOwner)
        return;  // an in-place rewrite killed half-way is the risk it takes: not checked
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("killed at step " + std::to_string(i + 1) + " " + steps[i].Call);
        TTempDir dir;
        const std::string path = dir.File("vexal.ini");
        WriteWholeFile(path, OldContent);
        TFailingFileSystem fs(static_cast<int>(i + 1), true);
        EXPECT_THROW(SaveFileAtomically(path, NewContent, fs), TKilled);
        const std::string content = Which(ReadWholeFile(path));
        EXPECT_TRUE(content == "old" || content == "new") << content;
        // Whatever the crash left behind, the next save succeeds and clears it away.
        EXPECT_TRUE(WriteFileAtomically(path, NewContent));
        EXPECT_EQ(Which(ReadWholeFile(path)), "new");
        EXPECT_EQ(Names(dir.Path), TNames{"vexal.ini"});
    }
}

struct TStatus {
    uid_t Owner = 0;
    gid_t Group = 0;
    mode_t Mode = 0;
    bool Link = false;
};

TStatus StatusOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    struct stat link {};
    ::lstat(path.c_str(), &link);
    return {info.st_uid, info.st_gid, info.st_mode & 07777, S_ISLNK(link.st_mode)};
}

void Own(const std::string& path, uid_t owner, gid_t group, mode_t mode)
{
    ASSERT_EQ(::chown(path.c_str(), owner, group), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

constexpr uid_t Nobody = 65534;
constexpr uid_t SomeoneElse = 65533;

// Saves from a child process that runs as user and group "nobody", as the program
// does when a user other than root starts it.
TSaveOutcome SaveAsNobody(const std::string& path, const std::string& content)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(Nobody, Nobody, Nobody) != 0
            || ::setresuid(Nobody, Nobody, Nobody) != 0)
            ::_exit(100);
        ::_exit(static_cast<int>(SaveFileAtomically(path, content)));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 100) << "could not become nobody";
    return static_cast<TSaveOutcome>(WEXITSTATUS(status));
}
}

TEST(WriteFileAtomically, ReplacesTheFileWhole)
{
    TTempDir dir;
    const std::string path = dir.File("vexal.ini");
    EXPECT_TRUE(WriteFileAtomically(path, NewContent));
    EXPECT_EQ(ReadWholeFile(path), NewContent);
    EXPECT_TRUE(WriteFileAtomically(path, OldContent));
    EXPECT_EQ(ReadWholeFile(path), OldContent);
}

TEST(WriteFileAtomically, KillOrFailureAtAnyStepLeavesOldOrNewWhole)
{
    using enum TSaveOutcome;
    CheckEveryStep(false, {
                              {"Open", Failed, false},  // the temporary file
                              // The owner or mode cannot be kept: rewritten in place instead.
                              {"Chown", RewrittenInPlace, true},
                              {"Chmod", RewrittenInPlace, true},
                              {"Write", Failed, false},
                              // Data that may never reach the disk is not renamed over the old file.
                              {"Sync", Failed, false},
                              {"Close", Failed, false},
                              {"Rename", Failed, false},
                              // Flushing the folder after the rename: the file is replaced already.
                              {"Open", Replaced, true},
                              {"Sync", Replaced, true},
                              {"Close", Replaced, true},
                          });
}

TEST(WriteFileAtomically, InPlaceRewriteReportsEveryFailure)
{
    using enum TSaveOutcome;
    CheckEveryStep(true, {
                             {"Open", Failed, false},
                             {"Chown", RewrittenInPlace, true},
                             {"Close", RewrittenInPlace, true},
                             {"Unlink", RewrittenInPlace, true},  // the temporary file stays until the next save
                             {"Open", Failed, false},            // the file itself
                             {"Write", Failed, false},
                             {"Truncate", Failed, true},
                             {"Sync", Failed, true},
                             {"Close", Failed, true},
                         });
}

TEST(WriteFileAtomically, NeverFollowsALinkPlantedAsTheTemporaryFile)
{
    TTempDir dir;
    const std::string path = dir.File("vexal.ini");
    const std::string victim = dir.File("victim");
    WriteWholeFile(victim, "victim");
    std::filesystem::create_symlink(victim, path + ".tmp");
    EXPECT_TRUE(WriteFileAtomically(path, NewContent));
    EXPECT_EQ(ReadWholeFile(victim), "victim");
    EXPECT_EQ(ReadWholeFile(path), NewContent);
}

TEST(WriteFileAtomically, MissingDirectoryFailsCleanly)
{
    TTempDir dir;
    EXPECT_FALSE(WriteFileAtomically(dir.File("gibt-es-nicht/vexal.ini"), NewContent));
}

// What an in-place write kept, an atomic save keeps too: the target of a link, the
// owner, group and mode, and saves go on whatever a crashed save left behind.
TEST(WriteFileAtomically, KeepsWhatAnInPlaceWriteKept)
{
    using enum TSaveOutcome;
    struct {
        const char* Name;
        // Prepares the folder; the save goes to "vexal.ini" in it.
        std::function<void(const TTempDir&)> Prepare;
        TSaveOutcome Outcome;
        std::function<void(const TTempDir&)> Check;
    } const cases[] = {
        {"link to a file in another folder: the target is replaced, the link stays",
         [](const TTempDir& dir) {
             std::filesystem::create_directory(dir.Path / "daten");
             WriteWholeFile(dir.File("daten/echt.ini"), OldContent);
             std::filesystem::create_symlink("daten/echt.ini", dir.File("vexal.ini"));
         },
         Replaced,
         [](const TTempDir& dir) {
             EXPECT_TRUE(StatusOf(dir.File("vexal.ini")).Link);
             EXPECT_EQ(Which(ReadWholeFile(dir.File("daten/echt.ini"))), "new");
             EXPECT_EQ(Names(dir.Path), (TNames{"daten", "vexal.ini"}));
             EXPECT_EQ(Names(dir.Path / "daten"), TNames{"echt.ini"});
         }},
        {"chain of links, the last one absolute",
         [](const TTempDir& dir) {
             std::filesystem::create_directory(dir.Path / "a");
             WriteWholeFile(dir.File("a/echt.ini"), OldContent);
             std::filesystem::create_symlink(dir.File("a/echt.ini"), dir.File("zwischen"));
             std::filesystem::create_symlink("zwischen", dir.File("vexal.ini"));
         },
         Replaced,
         [](const TTempDir& dir) {
             EXPECT_TRUE(StatusOf(dir.File("vexal.ini")).Link);
             EXPECT_TRUE(StatusOf(dir.File("zwischen")).Link);
             EXPECT_EQ(Which(ReadWholeFile(dir.File("a/echt.ini"))), "new");
             EXPECT_EQ(Names(dir.Path / "a"), TNames{"echt.ini"});
         }},
        {"link to a file not there yet: created there, private",
         [](const TTempDir& dir) {
             std::filesystem::create_directory(dir.Path / "daten");
             std::filesystem::create_symlink("daten/neu.ini", dir.File("vexal.ini"));
         },
         Replaced,
         [](const TTempDir& dir) {
             EXPECT_TRUE(StatusOf(dir.File("vexal.ini")).Link);
             EXPECT_EQ(Which(ReadWholeFile(dir.File("daten/neu.ini"))), "new");
             EXPECT_EQ(StatusOf(dir.File("daten/neu.ini")).Mode, 0600u);
         }},
        {"links in a loop",
         [](const TTempDir& dir) {
             std::filesystem::create_symlink("zurueck", dir.File("vexal.ini"));
             std::filesystem::create_symlink("vexal.ini", dir.File("zurueck"));
         },
         Failed, [](const TTempDir& dir) { EXPECT_EQ(Names(dir.Path), (TNames{"vexal.ini", "zurueck"})); }},
        {"new file is private to its owner", [](const TTempDir&) {}, Replaced,
         [](const TTempDir& dir) { EXPECT_EQ(StatusOf(dir.File("vexal.ini")).Mode, 0600u); }},
        {"existing file keeps its mode",
         [](const TTempDir& dir) {
             WriteWholeFile(dir.File("vexal.ini"), OldContent);
             ::chmod(dir.File("vexal.ini").c_str(), 0640);
         },
         Replaced, [](const TTempDir& dir) { EXPECT_EQ(StatusOf(dir.File("vexal.ini")).Mode, 0640u); }},
        {"a folder named like the old temporary file does not block the save",
         [](const TTempDir& dir) {
             WriteWholeFile(dir.File("vexal.ini"), OldContent);
             std::filesystem::create_directory(dir.Path / "vexal.ini.tmp");
             WriteWholeFile(dir.File("vexal.ini.tmp/inhalt"), "x");
         },
         Replaced,
         [](const TTempDir& dir) { EXPECT_EQ(Names(dir.Path), (TNames{"vexal.ini", "vexal.ini.tmp"})); }},
        {"a temporary file left by a crash is cleared away",
         [](const TTempDir& dir) {
             WriteWholeFile(dir.File("vexal.ini"), OldContent);
             WriteWholeFile(dir.File("vexal.ini.tmp"), "halb");
             WriteWholeFile(dir.File("vexal.ini.tmp-Ab12Cd"), "halb");
             WriteWholeFile(dir.File("vexal.ini.tmp-notizen"), "not ours");
         },
         Replaced,
         [](const TTempDir& dir) { EXPECT_EQ(Names(dir.Path), (TNames{"vexal.ini", "vexal.ini.tmp-notizen"})); }},
        {"read-only file stays as it was",
         [](const TTempDir& dir) {
             WriteWholeFile(dir.File("vexal.ini"), OldContent);
             ::chmod(dir.File("vexal.ini").c_str(), 0444);
         },
         KeptReadOnly,
         [](const TTempDir& dir) {
             EXPECT_EQ(ReadWholeFile(dir.File("vexal.ini")), OldContent);
             EXPECT_EQ(StatusOf(dir.File("vexal.ini")).Mode, 0444u);
         }},
        {"a folder where the file should be",
         [](const TTempDir& dir) { std::filesystem::create_directory(dir.Path / "vexal.ini"); }, Failed,
         [](const TTempDir& dir) { EXPECT_EQ(Names(dir.Path), TNames{"vexal.ini"}); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        c.Prepare(dir);
        EXPECT_EQ(SaveFileAtomically(dir.File("vexal.ini"), NewContent), c.Outcome);
        if (c.Outcome == Replaced && std::filesystem::is_regular_file(dir.File("vexal.ini"))) {
            EXPECT_EQ(Which(ReadWholeFile(dir.File("vexal.ini"))), "new");
        }
        c.Check(dir);
    }
}

// Files and folders of other users: root saving a user's file, and a user saving
// where the folder or the file is not theirs.
TEST(WriteFileAtomically, OwnersAndFoldersOfOtherUsers)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to hand files to other users and to become another user";
    using enum TSaveOutcome;
    const std::string longer = OldContent + std::string(500, 'o') + "\r\n";
    struct {
        const char* Name;
        std::function<void(const TTempDir&)> Prepare;
        bool AsNobody;
        TSaveOutcome Outcome;
        const std::string* Content;  // of vexal.ini afterwards
        TStatus Status;               // of vexal.ini afterwards
        TNames Folder;                // the names in the folder afterwards
    } const cases[] = {
        {"root saves a user's file: owner, group and mode stay",
         [&](const TTempDir& dir) {
             WriteWholeFile(dir.File("vexal.ini"), OldContent);
             Own(dir.File("vexal.ini"), Nobody, Nobody, 0640);
         },
         false, Replaced, &NewContent, {Nobody, Nobody, 0640}, {"vexal.ini"}},
        {"folder not writable, file writable: rewritten in place, cut to length",
         [&](const TTempDir& dir) {
             WriteWholeFile(dir.File("vexal.ini"), longer);
             Own(dir.File("vexal.ini"), Nobody, Nobody, 0600);
         },
         true, RewrittenInPlace, &OldContent, {Nobody, Nobody, 0600}, {"vexal.ini"}},
        {"folder not writable, no file yet",
         [](const TTempDir&) {}, true, Failed, nullptr, {}, {}},
        {"folder not writable, file of another user",
         [&](const TTempDir& dir) {
             WriteWholeFile(dir.File("vexal.ini"), longer);
             Own(dir.File("vexal.ini"), SomeoneElse, SomeoneElse, 0644);
         },
         true, Failed, &longer, {SomeoneElse, SomeoneElse, 0644}, {"vexal.ini"}},
        {"sticky folder with another user's stale temporary file",
         [&](const TTempDir& dir) {
             Own(dir.Path.string(), 0, 0, 01777);
             WriteWholeFile(dir.File("vexal.ini"), longer);
             Own(dir.File("vexal.ini"), Nobody, Nobody, 0600);
             WriteWholeFile(dir.File("vexal.ini.tmp"), "stale");
             Own(dir.File("vexal.ini.tmp"), SomeoneElse, SomeoneElse, 0600);
         },
         true, Replaced, &OldContent, {Nobody, Nobody, 0600}, {"vexal.ini", "vexal.ini.tmp"}},
        {"sticky folder, writable file of another user: its owner stays",
         [&](const TTempDir& dir) {
             Own(dir.Path.string(), 0, 0, 01777);
             WriteWholeFile(dir.File("vexal.ini"), longer);
             Own(dir.File("vexal.ini"), SomeoneElse, SomeoneElse, 0666);
         },
         true, RewrittenInPlace, &OldContent, {SomeoneElse, SomeoneElse, 0666}, {"vexal.ini"}},
        {"own folder, file of a group the user is not in: the group stays",
         [&](const TTempDir& dir) {
             Own(dir.Path.string(), Nobody, Nobody, 0700);
             WriteWholeFile(dir.File("vexal.ini"), longer);
             Own(dir.File("vexal.ini"), Nobody, 0, 0660);
         },
         true, RewrittenInPlace, &OldContent, {Nobody, 0, 0660}, {"vexal.ini"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        // The test folder itself is root's and private; the cases open it up as they need.
        Own(dir.Path.string(), 0, 0, 0755);
        c.Prepare(dir);
        const std::string path = dir.File("vexal.ini");
        EXPECT_EQ(c.AsNobody ? SaveAsNobody(path, OldContent) : SaveFileAtomically(path, NewContent), c.Outcome);
        if (!c.Content) {
            EXPECT_FALSE(std::filesystem::exists(path));
            continue;
        }
        EXPECT_EQ(ReadWholeFile(path), *c.Content);
        const TStatus status = StatusOf(path);
        EXPECT_EQ(status.Owner, c.Status.Owner);
        EXPECT_EQ(status.Group, c.Status.Group);
        EXPECT_EQ(status.Mode, c.Status.Mode);
        EXPECT_EQ(Names(dir.Path), c.Folder);
    }
}
