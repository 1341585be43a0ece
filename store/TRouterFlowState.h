#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// What the flow path remembers about one exporter between datagrams, beside the
// router row's text columns: sequences per exporter domain, the templates of v9 and
// IPFIX exporters, and data that arrived before its template. None of it is saved:
// router rows start afresh with every run, and exporters send their templates again.

// The sequence of one exporter domain (a v5 router, a v9 source ID, an IPFIX
// observation domain of one transport session). Sequences are 32-bit counters that
// wrap; the unit they count depends on the protocol.
struct TSequenceFollower {
    std::uint64_t Key = 0;
    // False until a datagram that carries records arrived: an empty datagram never
    // sets the sequence a repeat is recognised by.
    bool Known = false;
    // The records of the last datagram could not all be counted (data held for a
    // template): the next sequence is taken as it comes, without loss.
    bool Resync = false;
    std::uint32_t Last = 0;      // the last sequence that carried records
    std::int64_t Expected = 0;   // the sequence expected next, 0 to 2^32 - 1
    std::int64_t Loss = 0;       // this domain's loss figure, restarts included
    std::int64_t Carried = 0;    // loss counted before the last exporter restart
};

// One field of a template as the exporter described it.
struct TTemplateField {
    static constexpr std::uint16_t VariableLength = 65535;  // IPFIX: length in the record
    std::uint16_t Id = 0;
    std::uint16_t Length = 0;
    std::uint8_t Role = 0;  // which value of a flow it carries (TFlowTemplate::ERole)
};

// A v9 or IPFIX template, laid out once when it arrives so that reading a record is a
// few fixed offsets, not a walk over the field list.
struct TFlowTemplate {
    enum ERole : std::uint8_t { None, SrcAddr, DstAddr, SrcPort, DstPort, Protocol, Octets, SrcMac, DstMac, RoleCount };
    struct TPick {
        std::int32_t Offset = -1;  // -1: the template does not carry it
        std::uint16_t Length = 0;
    };

    std::uint64_t Session = 0;  // exporter session and domain the ID belongs to
    std::uint16_t Id = 0;
    bool Options = false;   // options data is read past, never counted as flows
    bool Flow = false;      // carries both addresses: its records are flows
    bool Variable = false;  // has IPFIX variable-length fields: records are walked
    std::uint8_t AddressLength = 4;  // 4 (IPv4) or 16 (IPv6)
    // Bytes per record; for variable layouts the least a record can take.
    std::uint32_t RecordLength = 0;
    TPick Picks[RoleCount];
    std::vector<TTemplateField> Fields;  // kept for variable layouts only
};

// A data set whose template was not known yet, kept to be read when it comes.
struct THeldSet {
    std::uint64_t Session = 0;
    std::uint16_t TemplateId = 0;
    std::int64_t ArrivalMs = 0;
    std::vector<unsigned char> Body;
};

struct TRouterFlowState {
    std::vector<TSequenceFollower> Followers;
    std::vector<TFlowTemplate> Templates;
    std::vector<THeldSet> Held;
    std::size_t HeldBytes = 0;
    // Loss of domains no longer followed (more sessions than kept), still counted.
    std::int64_t RetiredLoss = 0;

    // More domains than this (an exporter restarting on new ports for months) retire
    // the oldest; its loss stays in the figure.
    static constexpr std::size_t MaxFollowers = 64;

    TSequenceFollower& Follower(std::uint64_t key)
    {
        for (TSequenceFollower& follower : Followers) {
            if (follower.Key == key)
                return follower;
        }
        if (Followers.size() >= MaxFollowers) {
            RetiredLoss += Followers.front().Loss;
            Followers.erase(Followers.begin());
        }
        return Followers.emplace_back(TSequenceFollower{key});
    }

    // The router row's loss figure: the sum over its domains.
    std::int64_t TotalLoss() const
    {
        std::int64_t total = RetiredLoss;
        for (const TSequenceFollower& follower : Followers)
            total += follower.Loss;
        return total;
    }
};
