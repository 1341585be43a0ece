#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The NetFlow version 5 layout, as far as the collector reads it. Every datagram on
// the flow port is read with this layout, whatever its version field says.
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

// One record, still pointing into the datagram: addresses stay as their four bytes
// so the caller writes the dotted quad straight into its destination.
struct TFlowRecord {
    const unsigned char* SrcAddr = nullptr;
    const unsigned char* DstAddr = nullptr;
    std::int32_t SrcPort = 0;
    std::int32_t DstPort = 0;
    std::int64_t Octets = 0;
};

// Reads the header; a datagram shorter than the header's needed bytes or longer than
// the receive buffer raises ERangeError.
TFlowHeader DecodeFlowHeader(std::span<const unsigned char> datagram);
// Reads record `index`; a record whose needed bytes are not all inside the datagram
// raises ERangeError.
TFlowRecord DecodeFlowRecord(std::span<const unsigned char> datagram, std::uint32_t index);
