#pragma once

#include "TRouterFlowState.h"

#include <cstddef>
#include <cstdint>

// The sequence followers of one router, one per exporter domain (a v5 router, a v9
// source ID, an IPFIX observation domain of one transport session).
namespace SequenceFollowers {
// Domains followed per router: far more than an exporter has, few enough that a
// sender that makes up source IDs under the router's address stays small.
constexpr std::size_t MaxPerRouter = 64;
// Once all places are taken, a follower whose domain sent nothing for this long gives
// its place to a new domain (an IPFIX exporter that restarts comes back on another
// port, as a new session); a follower in use is never given up.
constexpr std::int64_t IdleMs = 60 * 60 * 1000;

// The follower of `key`, added for a new domain while there is a place. Null when the
// router already follows as many domains as it may, all of them in use: the caller
// charges the datagram without a sequence check and counts it.
TSequenceFollower* Find(TRouterFlowState& state, std::uint64_t key, std::int64_t nowMs);

// The router's loss figure: the sum over its domains, those given up included.
std::int64_t Loss(const TRouterFlowState& state);
}
