#include "TInstanceLock.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unistd.h>

// flock() locks belong to an open file: a second lock object, even in this process,
// stands for a second instance.
TEST(InstanceLock, OneHolderPerFolderUntilItIsGone)
{
    TTempDir dir;
    const std::string lockFile = dir.File("vexal.lock");
    const std::string stateFile = dir.File("vexal.ini");
    auto first = std::make_unique<TInstanceLock>();
    ASSERT_EQ(first->Acquire(lockFile, stateFile), TInstanceLock::TResult::Acquired);
    EXPECT_TRUE(first->Held());

    TInstanceLock second;
    EXPECT_EQ(second.Acquire(lockFile, stateFile), TInstanceLock::TResult::Busy);
    EXPECT_FALSE(second.Held());
    EXPECT_NE(second.Error().find("in use"), std::string::npos) << second.Error();

    first.reset();
    EXPECT_EQ(second.Acquire(lockFile, stateFile), TInstanceLock::TResult::Acquired) << "released with its holder";
}

// Where no lock file can be made, the state file itself is the lock.
TEST(InstanceLock, FallsBackToTheStateFile)
{
    TTempDir dir;
    const std::string noFolder = dir.File("missing/vexal.lock");
    const std::string stateFile = dir.File("vexal.ini");
    TInstanceLock nothing;
    EXPECT_EQ(nothing.Acquire(noFolder, stateFile), TInstanceLock::TResult::Unavailable) << "no state file either";

    WriteWholeFile(stateFile, "x");
    TInstanceLock first;
    ASSERT_EQ(first.Acquire(noFolder, stateFile), TInstanceLock::TResult::Acquired);
    TInstanceLock second;
    EXPECT_EQ(second.Acquire(noFolder, stateFile), TInstanceLock::TResult::Busy);
}

// A vexal.lock planted as a symbolic link is refused rather than followed: the
// program neither creates nor locks the file it points to, and locks the state file.
TEST(InstanceLock, RefusesALinkPlantedAsTheLockFile)
{
    TTempDir dir;
    const std::string lockFile = dir.File("vexal.lock");
    const std::string stateFile = dir.File("vexal.ini");
    const std::string elsewhere = dir.File("elsewhere");
    WriteWholeFile(stateFile, "x");
    ASSERT_EQ(::symlink(elsewhere.c_str(), lockFile.c_str()), 0) << std::strerror(errno);

    TInstanceLock lock;
    EXPECT_EQ(lock.Acquire(lockFile, stateFile), TInstanceLock::TResult::Acquired) << "through the state file";
    EXPECT_FALSE(std::filesystem::exists(elsewhere)) << "the link was followed and its target created";
    TInstanceLock second;
    EXPECT_EQ(second.Acquire(lockFile, stateFile), TInstanceLock::TResult::Busy) << "the state file is what is locked";
}
