#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Builds NetFlow v5 datagrams byte by byte for the tests and benchmarks.
struct TTestFlow {
    std::array<std::uint8_t, 4> Src{};
    std::array<std::uint8_t, 4> Dst{};
    std::uint16_t SrcPort = 0;
    std::uint16_t DstPort = 0;
    std::uint32_t Octets = 0;
};

inline std::array<std::uint8_t, 4> Ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return {a, b, c, d};
}

class TFlowDatagramBuilder {
public:
    explicit TFlowDatagramBuilder(std::uint32_t sequence, std::uint16_t version = 5)
        : Sequence(sequence), Version(version)
    {
    }

    TFlowDatagramBuilder& Add(const TTestFlow& flow)
    {
        Flows.push_back(flow);
        return *this;
    }

    TFlowDatagramBuilder& Add(std::array<std::uint8_t, 4> src, std::uint16_t srcPort, std::array<std::uint8_t, 4> dst,
                              std::uint16_t dstPort, std::uint32_t octets)
    {
        return Add(TTestFlow{src, dst, srcPort, dstPort, octets});
    }

    // The count field is the number of flows unless overridden.
    TFlowDatagramBuilder& Count(std::uint16_t count)
    {
        CountOverride = count;
        HasCountOverride = true;
        return *this;
    }

    std::vector<std::uint8_t> Bytes() const
    {
        std::vector<std::uint8_t> out;
        Put16(out, Version);
        Put16(out, HasCountOverride ? CountOverride : static_cast<std::uint16_t>(Flows.size()));
        Put32(out, 123456);      // sysUptime
        Put32(out, 1700000000);  // unix_secs
        Put32(out, 0);           // unix_nsecs
        Put32(out, Sequence);
        out.push_back(0);  // engine type
        out.push_back(0);  // engine id
        Put16(out, 0);     // sampling interval
        for (const TTestFlow& flow : Flows) {
            out.insert(out.end(), flow.Src.begin(), flow.Src.end());
            out.insert(out.end(), flow.Dst.begin(), flow.Dst.end());
            Put32(out, 0);        // nexthop
            Put16(out, 1);        // input
            Put16(out, 2);        // output
            Put32(out, 10);       // packets
            Put32(out, flow.Octets);
            Put32(out, 1000);     // first
            Put32(out, 2000);     // last
            Put16(out, flow.SrcPort);
            Put16(out, flow.DstPort);
            out.insert(out.end(), 12, 0);  // pad, flags, protocol, tos, AS numbers, masks
            out[out.size() - 10] = 6;      // protocol TCP
        }
        return out;
    }

private:
    static void Put16(std::vector<std::uint8_t>& out, std::uint16_t v)
    {
        out.push_back(static_cast<std::uint8_t>(v >> 8));
        out.push_back(static_cast<std::uint8_t>(v));
    }
    static void Put32(std::vector<std::uint8_t>& out, std::uint32_t v)
    {
        Put16(out, static_cast<std::uint16_t>(v >> 16));
        Put16(out, static_cast<std::uint16_t>(v));
    }

    std::uint32_t Sequence;
    std::uint16_t Version;
    std::uint16_t CountOverride = 0;
    bool HasCountOverride = false;
    std::vector<TTestFlow> Flows;
};
