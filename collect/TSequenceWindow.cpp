#include "TSequenceWindow.h"

#include <algorithm>
#include <iterator>

namespace {
// Positions are compared by their distance on the 32-bit circle; a distance of half
// the circle or more has no direction and reads as behind.
constexpr std::uint32_t HalfCircle = std::uint32_t{1} << 31;
constexpr std::size_t NoClaim = static_cast<std::size_t>(-1);
}

void TSequenceWindow::StartAt(std::uint32_t sequence)
{
    Follower.Recent.clear();
    Follower.Resync = false;
    Follower.Next = sequence;
    Follower.Floor = sequence;
    Follower.Counted = sequence;
    Claim(0);
}

bool TSequenceWindow::Delivered(std::uint32_t sequence) const
{
    return std::any_of(Follower.Recent.begin(), Follower.Recent.end(),
                       [sequence](const TSequenceRange& range) { return range.Begin == sequence; });
}

void TSequenceWindow::Claim(std::size_t position)
{
    std::vector<TSequenceRange>& recent = Follower.Recent;
    recent.insert(recent.begin() + static_cast<std::ptrdiff_t>(position), TSequenceRange{Sequence, Sequence});
    ClaimIndex = position;
    if (recent.size() > Capacity) {
        ForgetOldest();
        --ClaimIndex;
    }
}

void TSequenceWindow::ForgetOldest()
{
    // The window moves on: what the oldest range covered and what lay before it is
    // forgotten. The floor moves past its end, not only to the next range's start, so
    // that what it covered beneath later ranges never reads as a gap counted lost.
    TSequenceFollower& follower = Follower;
    const std::uint32_t end = follower.Recent.front().End;
    if (follower.Next - end < follower.Next - follower.Floor)
        follower.Floor = end;
    follower.Recent.erase(follower.Recent.begin());
}

std::uint32_t TSequenceWindow::FromFloor(std::uint32_t position) const
{
    const std::uint32_t next = Follower.Next;
    return next - position > next - Follower.Floor ? 0 : position - Follower.Floor;
}

std::uint32_t TSequenceWindow::Uncovered(std::uint32_t begin, std::uint32_t end) const
{
    // Measured from the floor, every position the window knows is a plain number.
    const std::uint32_t last = FromFloor(end);
    std::uint32_t cursor = FromFloor(begin);
    std::uint32_t uncovered = 0;
    for (const TSequenceRange& range : Follower.Recent) {
        if (cursor >= last)
            break;
        const std::uint32_t rangeBegin = FromFloor(range.Begin);
        const std::uint32_t rangeEnd = FromFloor(range.End);
        if (rangeEnd <= cursor)
            continue;
        if (rangeBegin > cursor) {
            uncovered += std::min(rangeBegin, last) - cursor;
            cursor = rangeBegin;
        }
        cursor = std::max(cursor, rangeEnd);
    }
    if (cursor < last)
        uncovered += last - cursor;
    return uncovered;
}

TSequenceWindow::EArrival TSequenceWindow::Arrive(std::uint32_t sequence)
{
    TSequenceFollower& follower = Follower;
    Sequence = sequence;
    if (!follower.Known) {
        follower.Known = true;
        StartAt(sequence);
        return Arrival = EArrival::First;
    }
    if (Delivered(sequence))
        return Arrival = EArrival::Duplicate;

    const std::uint32_t ahead = sequence - follower.Next;
    if (ahead < HalfCircle) {
        if (follower.Resync) {
            // The units in between are the records held for their template.
            if (!follower.Recent.empty() && follower.Recent.back().End == follower.Next)
                follower.Recent.back().End = sequence;
            follower.Counted += ahead;
        } else {
            follower.Loss += ahead;
        }
        follower.Resync = false;
        follower.Next = sequence;
        // Ranges half the circle behind would read as ahead: forget them.
        while (!follower.Recent.empty() && follower.Next - follower.Recent.front().Begin >= HalfCircle)
            ForgetOldest();
        if (follower.Next - follower.Floor >= HalfCircle)
            follower.Floor = follower.Next - (HalfCircle - 1);
        Claim(follower.Recent.size());
        return Arrival = ahead == 0 ? EArrival::InOrder : EArrival::Ahead;
    }

    const std::uint32_t behind = follower.Next - sequence;
    if (behind > follower.Next - follower.Floor) {
        StartAt(sequence);
        return Arrival = EArrival::Restart;
    }
    // Inside the window and not delivered: a late datagram, in its place by position.
    const auto next = std::find_if(follower.Recent.begin(), follower.Recent.end(), [&](const TSequenceRange& range) {
        return follower.Next - range.Begin < behind;
    });
    const auto position = static_cast<std::size_t>(std::distance(follower.Recent.begin(), next));
    if (position == 0 && follower.Recent.size() >= Capacity)
        ClaimIndex = NoClaim;  // older than all a full window keeps: the floor moves past it instead
    else
        Claim(position);
    return Arrival = EArrival::LateFill;
}

void TSequenceWindow::Deliver(std::uint32_t units, bool incomplete)
{
    if (Arrival == EArrival::Duplicate)
        return;
    TSequenceFollower& follower = Follower;
    std::vector<TSequenceRange>& recent = follower.Recent;
    const std::uint32_t end = Sequence + units;
    if (Arrival == EArrival::LateFill) {
        // What it covers of the gaps before the frontier was counted lost and comes off
        // the loss; what other datagrams covered already does not (an exporter whose
        // sequence does not step by the units it sends overlaps its own datagrams).
        const bool pastFrontier = end - Sequence > follower.Next - Sequence;
        follower.Loss -= Uncovered(Sequence, pastFrontier ? follower.Next : end);
        if (pastFrontier)
            follower.Next = end;
        if (ClaimIndex == NoClaim) {
            // A repeat of it lies behind the floor then and fills nothing again.
            if (follower.Next - end < follower.Next - follower.Floor)
                follower.Floor = end;
            follower.Counted += units;
            Arrival = EArrival::Duplicate;
            return;
        }
    } else {
        follower.Next = end;
        follower.Resync = incomplete;
    }
    recent[ClaimIndex].End = end;
    follower.Counted += units;
    // A datagram without units claims nothing: the next one begins where it began (an
    // IPFIX message whose data sets held no record).
    if (units == 0 && !incomplete)
        recent.erase(recent.begin() + static_cast<std::ptrdiff_t>(ClaimIndex));
    Arrival = EArrival::Duplicate;  // delivered once
}
