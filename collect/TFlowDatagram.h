#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The NetFlow version 5 layout, as far as the collector reads it. Datagrams whose
// version field says 9 or 10 take the template path (TTemplateFlow.h) instead.
namespace FlowV5 {
constexpr std::size_t MaxDatagramSize = 2048;  // the listener's receive buffer
constexpr std::size_t HeaderSize = 24;
constexpr std::size_t HeaderBytesNeeded = 22;  // the sampling interval may be missing
constexpr std::size_t RecordSize = 48;
constexpr std::size_t RecordBytesNeeded = 36;  // the fields after the ports may be missing

constexpr std::size_t CountOffset = 2;
constexpr std::size_t SequenceOffset = 16;
constexpr std::size_t SrcAddrOffset = 0;
constexpr std::size_t DstAddrOffset = 4;
constexpr std::size_t OctetsOffset = 20;
constexpr std::size_t SrcPortOffset = 32;
constexpr std::size_t DstPortOffset = 34;

static_assert(HeaderBytesNeeded == SequenceOffset + 4 + 2, "engine type and id must be present");
static_assert(RecordBytesNeeded == DstPortOffset + 2, "a record is usable up to its destination port");
static_assert(HeaderSize + 30 * RecordSize <= MaxDatagramSize, "30 records fit the receive buffer");
}

struct TFlowHeader {
    std::uint32_t Count = 0;
    std::int64_t Sequence = 0;  // unsigned 32-bit on the wire, never negative here
};

// One flow record of any version, still pointing into the datagram: addresses stay as
// their bytes so the caller writes the address text straight into its destination.
struct TFlowRecord {
    const unsigned char* SrcAddr = nullptr;
    const unsigned char* DstAddr = nullptr;
    std::uint8_t AddressLength = 4;  // 4 (IPv4) or 16 (IPv6)
    std::int32_t SrcPort = 0;
    std::int32_t DstPort = 0;
    std::int32_t Protocol = -1;  // -1 where the version's decoder does not read it
    std::int64_t Octets = 0;
    // Six bytes each where the exporter sends them (v9 and IPFIX), else null.
    const unsigned char* SrcMac = nullptr;
    const unsigned char* DstMac = nullptr;
};

// Reads the header; a datagram shorter than the header's needed bytes or longer than
// the receive buffer raises ERangeError.
TFlowHeader DecodeFlowHeader(std::span<const unsigned char> datagram);
// Reads record `index`; a record whose needed bytes are not all inside the datagram
// raises ERangeError.
TFlowRecord DecodeFlowRecord(std::span<const unsigned char> datagram, std::uint32_t index);
