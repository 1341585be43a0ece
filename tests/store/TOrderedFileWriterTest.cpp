#include "TOrderedFileWriter.h"

#include "TempDir.h"

#include <gtest/gtest.h>

// Contents taken in one order and written in another: the file ends with the newest,
// whichever thread came last.
TEST(TOrderedFileWriter, AnOlderContentNeverReplacesANewerOne)
{
    TTempDir dir;
    TOrderedFileWriter writer(dir.File("vexal-export.dat"));
    const std::uint64_t periodic = writer.NextGeneration();
    const std::uint64_t beforeRun = writer.NextGeneration();
    EXPECT_EQ(writer.Write(beforeRun, "naming the run"), TSaveOutcome::Replaced);
    EXPECT_EQ(writer.Write(periodic, "older"), TSaveOutcome::Replaced);
    EXPECT_EQ(ReadWholeFile(writer.FilePath()), "naming the run");
    const std::uint64_t after = writer.NextGeneration();
    EXPECT_EQ(writer.Write(after, "after the run"), TSaveOutcome::Replaced);
    EXPECT_EQ(ReadWholeFile(writer.FilePath()), "after the run");
}
