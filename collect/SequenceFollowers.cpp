#include "SequenceFollowers.h"

namespace SequenceFollowers {
TSequenceFollower* Find(TRouterFlowState& state, std::uint64_t key, std::int64_t nowMs)
{
    TSequenceFollower* idlest = nullptr;
    for (TSequenceFollower& follower : state.Followers) {
        if (follower.Key == key) {
            follower.LastMs = nowMs;
            return &follower;
        }
        // A clock set back by more than the idle time makes no follower busy for ever.
        const std::int64_t age = nowMs - follower.LastMs;
        if ((age > IdleMs || age < -IdleMs) && (!idlest || follower.LastMs < idlest->LastMs))
            idlest = &follower;
    }
    TSequenceFollower* place = nullptr;
    if (state.Followers.size() < MaxPerRouter) {
        place = &state.Followers.emplace_back();
    } else if (idlest) {
        state.RetiredLoss += idlest->Loss;
        *idlest = TSequenceFollower();
        place = idlest;
    } else {
        return nullptr;
    }
    place->Key = key;
    place->LastMs = nowMs;
    return place;
}

std::int64_t Loss(const TRouterFlowState& state)
{
    std::int64_t total = state.RetiredLoss;
    for (const TSequenceFollower& follower : state.Followers)
        total += follower.Loss;
    return total;
}
}
