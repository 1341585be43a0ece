#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// What the flow path remembers about one exporter between datagrams, beside the
// router row's text columns: sequences per exporter domain, the templates of v9 and
// IPFIX exporters, and data that arrived before its template. None of it is saved:
// router rows start afresh with every run, and exporters send their templates again.

// One datagram's span of an exporter's sequence, [Begin, End) on the 32-bit circle.
struct TSequenceRange {
    std::uint32_t Begin = 0;
    std::uint32_t End = 0;
};

// The sequence of one exporter domain (a v5 router, a v9 source ID, an IPFIX
// observation domain of one transport session). Sequences are 32-bit counters that
// wrap; the unit they count depends on the protocol. Its rules are TSequenceWindow's.
struct TSequenceFollower {
    std::uint64_t Key = 0;
    std::int64_t LastMs = 0;  // when the domain last sent a datagram that carried records
    // False until a datagram that carries records arrived: an empty datagram never
    // sets the sequence a repeat is recognised by.
    bool Known = false;
    // The records of the last datagram could not all be counted (data held for a
    // template): the next sequence is taken as it comes, without loss.
    bool Resync = false;
    std::uint32_t Next = 0;     // one past the furthest unit delivered
    // Where what the window still knows begins: between it and Next every unit is either
    // in a range below or was counted lost.
    std::uint32_t Floor = 0;
    std::uint32_t Counted = 0;  // the sequence at first contact or restart plus the units delivered since
    std::int64_t Loss = 0;      // units counted lost and not delivered since, restarts included
    // The ranges of the last datagrams, by their place in the sequence, oldest first.
    std::vector<TSequenceRange> Recent;
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

// Followers are found, added and summed by SequenceFollowers (collect).
struct TRouterFlowState {
    std::vector<TSequenceFollower> Followers;
    std::vector<TFlowTemplate> Templates;
    std::vector<THeldSet> Held;
    std::size_t HeldBytes = 0;
    // Loss of domains whose follower gave its place to another after a long silence,
    // still counted.
    std::int64_t RetiredLoss = 0;
    // Datagrams charged without a sequence check because the router already followed
    // as many domains as it may, all in use (a sender making up source IDs under the
    // router's address): no duplicate is recognised and no loss counted for them.
    std::uint64_t UnfollowedDatagrams = 0;
};
