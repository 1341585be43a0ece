#include "TOrderedFileWriter.h"

TSaveOutcome TOrderedFileWriter::Write(std::uint64_t generation, std::string_view content)
{
    std::lock_guard lock(Writing);
    if (generation < Written)
        return TSaveOutcome::Replaced;  // a newer state is there already
    const TSaveOutcome outcome = SaveFileAtomically(Path, content);
    if (outcome == TSaveOutcome::Replaced || outcome == TSaveOutcome::RewrittenInPlace)
        Written = generation;
    return outcome;
}
