#pragma once

#include "TRouterFlowState.h"

#include <cstddef>
#include <cstdint>

// The rules of one exporter domain's sequence (TSequenceFollower): what a datagram's
// sequence means, told apart by the ranges the domain delivered recently, not only by
// the last one. A datagram covers `units` of the sequence from its start: the flows of
// a v5 datagram, one v9 export packet, the data records of an IPFIX message.
//
// - Already delivered (a datagram of the window began at the same sequence): a
//   duplicate, which changes nothing, however many datagrams came in between.
// - At the frontier: in order. Ahead of it: the units in between are counted lost.
// - Behind the frontier, inside the window: a late datagram filling a gap; the loss
//   goes down by what it fills of that gap, never more, so it is never negative.
// - Behind the window's floor (never delivered, never counted lost, as far as the
//   window knows): the exporter started again. Counting goes on from it; the loss
//   counted before stays, none is added. A jump of 2^31 or more reads as behind.
//
// A datagram is taken in two steps: Arrive before its records are charged, Deliver
// after them. One that breaks off in between keeps its start claimed (a repeat of it
// is still a duplicate) and its units count as lost once a later datagram passes them.
class TSequenceWindow {
public:
    // Datagrams remembered per domain. Whatever lies behind the oldest of them (the
    // floor moves past each range the window forgets) is taken for a restart, so the
    // window is short: an exporter that restarts after 60 packets must read as one,
    // while reordering on the way moves a datagram by a few places and a relay repeats
    // one at once.
    static constexpr std::size_t Capacity = 16;

    enum class EArrival { First, InOrder, Ahead, LateFill, Restart, Duplicate };

    explicit TSequenceWindow(TSequenceFollower& follower) : Follower(follower) {}

    // Before the records: where the datagram starting at `sequence` falls. After a
    // duplicate nothing else may change; after any other arrival call Deliver.
    EArrival Arrive(std::uint32_t sequence);

    // After the records: the datagram covered `units`. `incomplete` says some of its
    // records are not counted yet (data held for its template): the next datagram's
    // sequence is then taken as it comes, the units in between as delivered.
    void Deliver(std::uint32_t units, bool incomplete);

private:
    void StartAt(std::uint32_t sequence);
    bool Delivered(std::uint32_t sequence) const;
    void Claim(std::size_t position);
    void ForgetOldest();
    // How far a position lies beyond the floor; 0 for one behind it.
    std::uint32_t FromFloor(std::uint32_t position) const;
    // Units of [begin, end) beyond the floor that no range of the window covers.
    std::uint32_t Uncovered(std::uint32_t begin, std::uint32_t end) const;

    TSequenceFollower& Follower;
    EArrival Arrival = EArrival::Duplicate;
    std::uint32_t Sequence = 0;
    std::size_t ClaimIndex = 0;
};
