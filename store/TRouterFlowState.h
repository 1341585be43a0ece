#pragma once

#include <cstdint>
#include <vector>

// What the flow path remembers about one exporter between datagrams, beside the
// router row's text columns. None of it is saved: router rows start afresh with
// every run.

// The sequence of one exporter domain (a v5 router, a v9 source ID, an IPFIX
// observation domain of one transport session). Sequences are 32-bit counters that
// wrap; the unit they count depends on the protocol.
struct TSequenceFollower {
    std::uint64_t Key = 0;
    // False until a datagram that carries records arrived: an empty datagram never
    // sets the sequence a repeat is recognised by.
    bool Known = false;
    std::uint32_t Last = 0;      // the last sequence that carried records
    std::int64_t Expected = 0;   // the sequence expected next, 0 to 2^32 - 1
    std::int64_t Loss = 0;       // this domain's loss figure, restarts included
    std::int64_t Carried = 0;    // loss counted before the last exporter restart
};

struct TRouterFlowState {
    std::vector<TSequenceFollower> Followers;

    TSequenceFollower& Follower(std::uint64_t key)
    {
        for (TSequenceFollower& follower : Followers) {
            if (follower.Key == key)
                return follower;
        }
        return Followers.emplace_back(TSequenceFollower{key});
    }

    // The router row's loss figure: the sum over its domains.
    std::int64_t TotalLoss() const
    {
        std::int64_t total = 0;
        for (const TSequenceFollower& follower : Followers)
            total += follower.Loss;
        return total;
    }
};
