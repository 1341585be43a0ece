#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

// Builds NetFlow v9 and IPFIX datagrams byte by byte for the tests, benchmarks and
// fuzz seeds: a header, then sets in the order they are added.
class TBytes {
public:
    TBytes& U8(std::uint32_t v)
    {
        Data.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    TBytes& U16(std::uint32_t v) { return U8(v >> 8).U8(v); }
    TBytes& U32(std::uint32_t v) { return U16(v >> 16).U16(v); }
    TBytes& U64(std::uint64_t v) { return U32(static_cast<std::uint32_t>(v >> 32)).U32(static_cast<std::uint32_t>(v)); }
    // An unsigned value in `size` bytes (reduced-size encodings).
    TBytes& N(std::uint64_t v, int size)
    {
        for (int i = size - 1; i >= 0; --i)
            U8(static_cast<std::uint32_t>(v >> (8 * i)));
        return *this;
    }
    TBytes& Ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) { return U8(a).U8(b).U8(c).U8(d); }
    TBytes& Raw(const std::vector<std::uint8_t>& bytes)
    {
        Data.insert(Data.end(), bytes.begin(), bytes.end());
        return *this;
    }
    TBytes& Fill(std::size_t count, std::uint8_t value)
    {
        Data.insert(Data.end(), count, value);
        return *this;
    }

    std::vector<std::uint8_t> Data;
};

// A template field: element ID and length (65535 for IPFIX variable length); an
// enterprise number other than 0 makes it enterprise-specific.
struct TTestField {
    std::uint16_t Id;
    std::uint16_t Length;
    std::uint32_t Enterprise = 0;
};

class TTemplateDatagramBuilder {
public:
    TTemplateDatagramBuilder(std::uint16_t version, std::uint32_t sequence, std::uint32_t domain = 0)
        : Version(version), Sequence(sequence), Domain(domain)
    {
    }

    bool Ipfix() const { return Version == 10; }

    TTemplateDatagramBuilder& Template(std::uint16_t id, const std::vector<TTestField>& fields)
    {
        TBytes body;
        body.U16(id).U16(static_cast<std::uint32_t>(fields.size()));
        PutFields(body, fields);
        ++Records;
        return Set(Ipfix() ? 2 : 0, body.Data);
    }

    TTemplateDatagramBuilder& OptionsTemplate(std::uint16_t id, const std::vector<TTestField>& scope,
                                              const std::vector<TTestField>& options)
    {
        TBytes body;
        if (Ipfix()) {
            body.U16(id).U16(static_cast<std::uint32_t>(scope.size() + options.size()));
            body.U16(static_cast<std::uint32_t>(scope.size()));
        } else {
            body.U16(id).U16(static_cast<std::uint32_t>(scope.size() * 4)).U16(static_cast<std::uint32_t>(options.size() * 4));
        }
        PutFields(body, scope);
        PutFields(body, options);
        ++Records;
        return Set(Ipfix() ? 3 : 1, body.Data);
    }

    // IPFIX template withdrawal: the ID with a field count of 0.
    TTemplateDatagramBuilder& Withdraw(std::uint16_t id, bool options = false)
    {
        ++Records;
        return Set(options ? 3 : 2, TBytes().U16(id).U16(0).Data);
    }

    // A data set of `records` records already laid out in `body`.
    TTemplateDatagramBuilder& Data(std::uint16_t id, const std::vector<std::uint8_t>& body, int records = 1)
    {
        Records += records;
        return Set(id, body);
    }

    // Any set as it stands, with its length computed (or given, to break it).
    TTemplateDatagramBuilder& Set(std::uint16_t id, const std::vector<std::uint8_t>& body, int length = -1)
    {
        Sets.U16(id).U16(length >= 0 ? static_cast<std::uint32_t>(length)
                                     : static_cast<std::uint32_t>(body.size() + 4));
        Sets.Raw(body);
        return *this;
    }

    TTemplateDatagramBuilder& Count(int count)
    {
        CountOverride = count;
        return *this;
    }

    std::vector<std::uint8_t> Bytes() const
    {
        TBytes out;
        if (Ipfix()) {
            out.U16(10).U16(static_cast<std::uint32_t>(16 + Sets.Data.size())).U32(1700000000).U32(Sequence).U32(Domain);
        } else {
            out.U16(9).U16(static_cast<std::uint32_t>(CountOverride >= 0 ? CountOverride : Records));
            out.U32(123456).U32(1700000000).U32(Sequence).U32(Domain);
        }
        out.Raw(Sets.Data);
        return out.Data;
    }

private:
    void PutFields(TBytes& body, const std::vector<TTestField>& fields)
    {
        for (const TTestField& field : fields) {
            if (field.Enterprise != 0)
                body.U16(field.Id | 0x8000u).U16(field.Length).U32(field.Enterprise);
            else
                body.U16(field.Id).U16(field.Length);
        }
    }

    std::uint16_t Version;
    std::uint32_t Sequence;
    std::uint32_t Domain;
    int Records = 0;
    int CountOverride = -1;
    TBytes Sets;
};

// The template most tests use: addresses, ports, protocol and 4-byte octets (17 bytes).
inline constexpr std::uint16_t FlowTemplateId = 256;
inline std::vector<TTestField> FlowFields()
{
    return {{8, 4}, {12, 4}, {7, 2}, {11, 2}, {4, 1}, {1, 4}};
}

inline TBytes& FlowRecord(TBytes& out, std::array<std::uint8_t, 4> src, std::uint16_t srcPort,
                          std::array<std::uint8_t, 4> dst, std::uint16_t dstPort, std::uint32_t octets)
{
    return out.Ip(src[0], src[1], src[2], src[3])
        .Ip(dst[0], dst[1], dst[2], dst[3])
        .U16(srcPort)
        .U16(dstPort)
        .U8(6)
        .U32(octets);
}
