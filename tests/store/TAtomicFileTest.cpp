#include "TAtomicFile.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {
// Stands for the process dying on the spot: nothing after it runs, no clean-up.
struct TKilled {};

// Fails (or dies) at the n-th system call of a save, counting from 1. A write that
// dies first puts half of its bytes on disk, as a crash in the middle of it would.
class TFailingFileSystem : public TFileSystem {
public:
    TFailingFileSystem(int failAt, bool kill) : FailAt(failAt), Kill(kill) {}

    int Open(const char* path, int flags, mode_t mode) override
    {
        return Step() ? TFileSystem::Open(path, flags, mode) : -1;
    }
    ssize_t Write(int fd, const void* data, std::size_t size) override
    {
        if (Calls + 1 == FailAt && Kill)
            TFileSystem::Write(fd, data, size / 2);
        return Step() ? TFileSystem::Write(fd, data, size) : -1;
    }
    int Sync(int fd) override { return Step() ? TFileSystem::Sync(fd) : -1; }
    int Close(int fd) override
    {
        if (Calls + 1 == FailAt)
            TFileSystem::Close(fd);  // the descriptor goes away either way
        return Step() ? TFileSystem::Close(fd) : -1;
    }
    int Rename(const char* from, const char* to) override { return Step() ? TFileSystem::Rename(from, to) : -1; }
    int Unlink(const char* path) override { return Step() ? TFileSystem::Unlink(path) : -1; }

    int Calls = 0;

private:
    bool Step()
    {
        if (++Calls != FailAt)
            return true;
        if (Kill)
            throw TKilled{};
        errno = ENOSPC;
        return false;
    }
    int FailAt;
    bool Kill;
};

const std::string OldContent = "old state\r\n";
const std::string NewContent = std::string(100'000, 'n') + "\r\n";
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
    // Count the system calls of an undisturbed save first.
    int steps = 0;
    {
        TTempDir dir;
        WriteWholeFile(dir.File("vexal.ini"), OldContent);
        TFailingFileSystem counter(0, false);
        ASSERT_TRUE(WriteFileAtomically(dir.File("vexal.ini"), NewContent, counter));
        steps = counter.Calls;
    }
    ASSERT_GE(steps, 6);
    for (bool kill : {true, false}) {
        for (int step = 1; step <= steps; ++step) {
            SCOPED_TRACE((kill ? "killed at step " : "failed at step ") + std::to_string(step));
            TTempDir dir;
            const std::string path = dir.File("vexal.ini");
            WriteWholeFile(path, OldContent);
            TFailingFileSystem fs(step, kill);
            bool replaced = false;
            try {
                replaced = WriteFileAtomically(path, NewContent, fs);
            } catch (const TKilled&) {
            }
            const std::string content = ReadWholeFile(path);
            EXPECT_TRUE(content == OldContent || content == NewContent) << content.size() << " bytes";
            if (!kill) {
                // A reported failure never leaves the new content half-way or a stray file.
                EXPECT_EQ(content, replaced ? NewContent : OldContent);
                EXPECT_FALSE(std::filesystem::exists(path + ".tmp") && !replaced && step > 1);
            }
            // The next save, undisturbed, always succeeds, whatever the crash left behind.
            EXPECT_TRUE(WriteFileAtomically(path, NewContent));
            EXPECT_EQ(ReadWholeFile(path), NewContent);
            EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
        }
    }
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
