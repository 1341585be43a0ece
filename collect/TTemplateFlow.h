#pragma once

#include "TFlowDatagram.h"
#include "TRouterFlowState.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// NetFlow v9 (RFC 3954) and IPFIX (RFC 7011): a header, then sets of templates or of
// data records laid out by a template the exporter sent before. Every read is an
// explicit big-endian read behind a bounds check; nothing is cast over the buffer.
namespace FlowTemplates {
constexpr std::uint16_t V9 = 9;
constexpr std::uint16_t Ipfix = 10;
constexpr std::size_t V9HeaderSize = 20;
constexpr std::size_t IpfixHeaderSize = 16;
constexpr std::size_t SetHeaderSize = 4;
constexpr std::uint16_t FirstDataSetId = 256;

// Information elements the collector reads (the same numbers in v9 and IPFIX).
constexpr std::uint16_t OctetDeltaCount = 1;
constexpr std::uint16_t ProtocolIdentifier = 4;
constexpr std::uint16_t SourceTransportPort = 7;
constexpr std::uint16_t SourceIPv4Address = 8;
constexpr std::uint16_t DestinationTransportPort = 11;
constexpr std::uint16_t DestinationIPv4Address = 12;
constexpr std::uint16_t SourceIPv6Address = 27;
constexpr std::uint16_t DestinationIPv6Address = 28;
constexpr std::uint16_t SourceMacAddress = 56;          // v9 IN_SRC_MAC
constexpr std::uint16_t PostDestinationMacAddress = 57; // v9 OUT_DST_MAC
constexpr std::uint16_t DestinationMacAddress = 80;     // v9 IN_DST_MAC
constexpr std::uint16_t PostSourceMacAddress = 81;      // v9 OUT_SRC_MAC

// Templates kept per router, over all its sessions and domains: far more than any
// exporter uses, few enough that a flood of made-up templates stays small.
constexpr std::size_t MaxTemplates = 256;
// ... and bytes they take per router, the fields of variable layouts included: an
// exporter's real templates take a few KB, while one made-up template set can describe
// hundreds of fields, and any sender address may send it. With the router table's
// bound this keeps all templates within 64 MB even when every row is made up.
constexpr std::size_t MaxTemplateBytesPerRouter = 16 * 1024;
// What a kept template costs of that budget.
std::size_t TemplateBytes(const TFlowTemplate& tmpl);
// Data before its template is held this long and up to this many bytes per router
// and over all routers; what does not fit or expires is counted as lost.
constexpr std::int64_t HeldMs = 60'000;
constexpr std::size_t MaxHeldBytesPerRouter = 1 << 20;
constexpr std::size_t MaxHeldBytesTotal = 4 << 20;
}

// The header of a v9 or IPFIX message.
struct TTemplateMessage {
    std::uint16_t Version = 0;
    std::uint16_t Count = 0;      // v9: records of all kinds in the packet; IPFIX: unused
    std::uint32_t Sequence = 0;   // v9: packets; IPFIX: data records before this message
    std::uint32_t Domain = 0;     // v9 source ID, IPFIX observation domain
    std::size_t SetsBegin = 0;
    std::size_t End = 0;          // IPFIX: the message length; v9: the datagram's size
};

// The version field of a datagram; one shorter than two bytes has none (0).
std::uint16_t FlowVersion(std::span<const unsigned char> datagram);

// Reads the header of a version 9 or 10 datagram; a short or oversized one, or an IPFIX
// length beyond the datagram, raises ERangeError.
TTemplateMessage DecodeTemplateMessage(std::span<const unsigned char> datagram);

// The key that templates and sequences of one exporter domain are kept under: v9 by
// source ID (the router row is the sender address), IPFIX by the transport session
// (the sender's port) and observation domain.
std::uint64_t TemplateSessionKey(const TTemplateMessage& message, std::uint16_t senderPort);

// True when the message has a set of data records, which is what moves an IPFIX
// sequence; a message of templates only carries the sequence of the next data.
bool HasDataSet(std::span<const unsigned char> datagram, const TTemplateMessage& message);

// Receives the flow records of a data set in batches, in the order they were sent.
class TFlowSink {
public:
    virtual void Take(std::span<TFlowRecord> records) = 0;

protected:
    ~TFlowSink() = default;
};

// What reading the sets of one message found.
struct TSetsResult {
    std::uint32_t DataRecords = 0;  // data records of known templates, options included
    bool Held = false;              // a data set waits for its template
    std::size_t Expired = 0;        // held sets given up (too old, or no room)
};

// Reads the sets of a message in order: templates replace or withdraw the router's
// templates (and release held data, which goes to the sink first), data of flow
// templates goes to the sink, options data is read past, data without a template is
// held. A malformed set raises ERangeError; everything before it has been handed on.
TSetsResult ReadTemplateSets(std::span<const unsigned char> datagram, const TTemplateMessage& message,
                             std::uint64_t session, TRouterFlowState& state, std::size_t& heldBytesTotal,
                             std::int64_t nowMs, TFlowSink& sink);

// Drops held data older than the hold time; returns how many sets were dropped.
std::size_t ExpireHeldSets(TRouterFlowState& state, std::size_t& heldBytesTotal, std::int64_t nowMs);
