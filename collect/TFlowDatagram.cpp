#include "TFlowDatagram.h"

#include "Errors.h"
#include "TextForms.h"

namespace {
std::uint32_t ReadU16(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) << 8 | p[1];
}

std::uint32_t ReadU32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16
        | static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
}

TFlowHeader DecodeFlowHeader(std::span<const unsigned char> datagram)
{
    if (datagram.size() > FlowV5::MaxDatagramSize)
        throw ERangeError("Bereichsfehler: Flow-Datagramm mit " + IntToStr(static_cast<std::int64_t>(datagram.size()))
                          + " Bytes ist größer als der Empfangspuffer (2048 Bytes)");
    if (datagram.size() < FlowV5::HeaderBytesNeeded)
        throw ERangeError("Bereichsfehler: Flow-Datagramm mit " + IntToStr(static_cast<std::int64_t>(datagram.size()))
                          + " Bytes ist kürzer als der Kopf (22 Bytes)");
    TFlowHeader header;
    header.Count = ReadU16(datagram.data() + FlowV5::CountOffset);
    header.Sequence = ReadU32(datagram.data() + FlowV5::SequenceOffset);
    return header;
}

TFlowRecord DecodeFlowRecord(std::span<const unsigned char> datagram, std::uint32_t index)
{
    const std::size_t start = FlowV5::HeaderSize + FlowV5::RecordSize * index;
    if (datagram.size() < start + FlowV5::RecordBytesNeeded)
        throw ERangeError("Bereichsfehler: Flow-Datensatz " + IntToStr(index) + " endet nach "
                          + IntToStr(static_cast<std::int64_t>(datagram.size())) + " Bytes, gebraucht werden "
                          + IntToStr(static_cast<std::int64_t>(start + FlowV5::RecordBytesNeeded)));
    const unsigned char* record = datagram.data() + start;
    TFlowRecord decoded;
    decoded.SrcAddr = record + FlowV5::SrcAddrOffset;
    decoded.DstAddr = record + FlowV5::DstAddrOffset;
    decoded.SrcPort = static_cast<std::int32_t>(ReadU16(record + FlowV5::SrcPortOffset));
    decoded.DstPort = static_cast<std::int32_t>(ReadU16(record + FlowV5::DstPortOffset));
    decoded.Octets = ReadU32(record + FlowV5::OctetsOffset);
    return decoded;
}
