#pragma once

#include "TAtomicFile.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// Writes one file from several threads so that the newest content always wins: each
// content carries the number it was taken under (on the thread that owns what it
// describes), writes go one at a time, and a content older than the one on disk is
// not written. A slow periodic save can then never put back an older state over the
// one an export run wrote just before sending its traffic.
class TOrderedFileWriter {
public:
    explicit TOrderedFileWriter(std::string path) : Path(std::move(path)) {}

    // The number for a content taken now; called on the owning thread only.
    std::uint64_t NextGeneration() { return ++Taken; }
    // Writes the content (atomically) unless a newer one is on disk already.
    TSaveOutcome Write(std::uint64_t generation, std::string_view content);
    const std::string& FilePath() const { return Path; }

private:
    const std::string Path;
    std::uint64_t Taken = 0;
    std::mutex Writing;
    std::uint64_t Written = 0;
};
