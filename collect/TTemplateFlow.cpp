#include "TTemplateFlow.h"

#include "Errors.h"
#include "TextForms.h"

#include <algorithm>
#include <array>
#include <limits>

using namespace FlowTemplates;

namespace {
std::uint32_t ReadU16(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) << 8 | p[1];
}

std::uint32_t ReadU32(const unsigned char* p)
{
    return ReadU16(p) << 16 | ReadU16(p + 2);
}

// An unsigned number of 1 to 8 bytes: the reduced-size encodings of IPFIX and the
// 4- or 8-byte counters of v9 read alike.
std::uint64_t ReadUnsigned(const unsigned char* p, std::size_t length)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < length; ++i)
        value = value << 8 | p[i];
    return value;
}

std::string Num(std::size_t value)
{
    return IntToStr(static_cast<std::int64_t>(value));
}

[[noreturn]] void Malformed(const TTemplateMessage& message, const std::string& what)
{
    throw ERangeError(std::string(message.Version == V9 ? "Fehlerhaftes NetFlow-v9-Datagramm: "
                                                        : "Fehlerhaftes IPFIX-Datagramm: ")
                      + what);
}

using ERole = TFlowTemplate::ERole;

struct TRoleRule {
    std::uint16_t Id;
    ERole Role;
    std::uint16_t MinLength;
    std::uint16_t MaxLength;
    std::uint8_t Rank;  // where two elements give the same value, the lower rank wins
};

// Which elements fill which value of a flow, and the lengths each may have. Ports may
// come in a reduced size, octets in 1 to 8 bytes. The MACs of the ingress side win
// over those of the egress side.
constexpr TRoleRule RoleRules[] = {
    {OctetDeltaCount, ERole::Octets, 1, 8, 0},
    {ProtocolIdentifier, ERole::Protocol, 1, 1, 0},
    {SourceTransportPort, ERole::SrcPort, 1, 2, 0},
    {DestinationTransportPort, ERole::DstPort, 1, 2, 0},
    {SourceIPv4Address, ERole::SrcAddr, 4, 4, 0},
    {DestinationIPv4Address, ERole::DstAddr, 4, 4, 0},
    {SourceIPv6Address, ERole::SrcAddr, 16, 16, 1},
    {DestinationIPv6Address, ERole::DstAddr, 16, 16, 1},
    {SourceMacAddress, ERole::SrcMac, 6, 6, 0},
    {PostSourceMacAddress, ERole::SrcMac, 6, 6, 1},
    {DestinationMacAddress, ERole::DstMac, 6, 6, 0},
    {PostDestinationMacAddress, ERole::DstMac, 6, 6, 1},
};

const TRoleRule* RuleFor(std::uint16_t id)
{
    for (const TRoleRule& rule : RoleRules) {
        if (rule.Id == id)
            return &rule;
    }
    return nullptr;
}

// Decides which field gives which value; a field the collector reads must have a
// length its value fits. Addresses count as a pair: IPv4 where the template carries
// both IPv4 addresses, else IPv6 where it carries both IPv6 ones.
void AssignRoles(const TTemplateMessage& message, TFlowTemplate& tmpl)
{
    struct TChoice {
        int Field = -1;
        std::uint8_t Rank = 255;
    };
    std::array<TChoice, TFlowTemplate::RoleCount> chosen{};
    std::array<int, 4> addresses = {-1, -1, -1, -1};  // v4 src, v4 dst, v6 src, v6 dst
    for (std::size_t i = 0; i < tmpl.Fields.size(); ++i) {
        TTemplateField& field = tmpl.Fields[i];
        field.Role = ERole::None;
        const TRoleRule* rule = RuleFor(field.Id);
        if (!rule)
            continue;
        if (field.Length == TTemplateField::VariableLength || field.Length < rule->MinLength
            || field.Length > rule->MaxLength)
            Malformed(message, "Vorlage " + Num(tmpl.Id) + ": Feld " + Num(field.Id) + " mit Länge "
                                   + Num(field.Length) + " passt nicht");
        const int index = static_cast<int>(i);
        if (rule->Role == ERole::SrcAddr || rule->Role == ERole::DstAddr) {
            int& slot = addresses[(rule->Role == ERole::DstAddr ? 1 : 0) + rule->Rank * 2];
            if (slot < 0)
                slot = index;
            continue;
        }
        TChoice& choice = chosen[rule->Role];
        if (rule->Rank < choice.Rank)
            choice = {index, rule->Rank};
    }
    const bool v4 = addresses[0] >= 0 && addresses[1] >= 0;
    const bool v6 = addresses[2] >= 0 && addresses[3] >= 0;
    if (v4 || v6) {
        chosen[ERole::SrcAddr].Field = addresses[v4 ? 0 : 2];
        chosen[ERole::DstAddr].Field = addresses[v4 ? 1 : 3];
        tmpl.AddressLength = v4 ? 4 : 16;
    }
    tmpl.Flow = v4 || v6;
    for (std::size_t role = 1; role < TFlowTemplate::RoleCount; ++role) {
        if (chosen[role].Field >= 0)
            tmpl.Fields[static_cast<std::size_t>(chosen[role].Field)].Role = static_cast<std::uint8_t>(role);
    }
}

// Lays the template out: fixed offsets where every field has a fixed length.
void Layout(const TTemplateMessage& message, TFlowTemplate& tmpl)
{
    std::uint32_t offset = 0;
    for (const TTemplateField& field : tmpl.Fields) {
        if (field.Length == TTemplateField::VariableLength && message.Version == Ipfix) {
            tmpl.Variable = true;
            offset += 1;  // the shortest length prefix, with nothing after it
            continue;
        }
        if (field.Role != ERole::None && !tmpl.Variable)
            tmpl.Picks[field.Role] = {static_cast<std::int32_t>(offset), field.Length};
        offset += field.Length;
    }
    tmpl.RecordLength = offset;
    if (offset == 0)
        Malformed(message, "Vorlage " + Num(tmpl.Id) + " beschreibt Datensätze ohne Länge");
    if (!tmpl.Variable)
        tmpl.Fields.clear();  // the picks say all that is needed
}

void Release(TRouterFlowState& state, std::size_t& heldBytesTotal, std::size_t index)
{
    heldBytesTotal -= state.Held[index].Body.size();
    state.HeldBytes -= state.Held[index].Body.size();
    state.Held.erase(state.Held.begin() + static_cast<std::ptrdiff_t>(index));
}

TFlowTemplate* FindTemplate(TRouterFlowState& state, std::uint64_t session, std::uint32_t id)
{
    for (TFlowTemplate& tmpl : state.Templates) {
        if (tmpl.Id == id && tmpl.Session == session)
            return &tmpl;
    }
    return nullptr;
}

// Decodes the values of one record whose field offsets are known.
void Pick(const TTemplateMessage& message, const TFlowTemplate& tmpl, const unsigned char* record,
          const TFlowTemplate::TPick* picks, TFlowRecord& out)
{
    out.AddressLength = tmpl.AddressLength;
    out.SrcAddr = record + picks[ERole::SrcAddr].Offset;
    out.DstAddr = record + picks[ERole::DstAddr].Offset;
    const auto value = [&](ERole role) -> std::uint64_t {
        const TFlowTemplate::TPick& pick = picks[role];
        return pick.Offset < 0 ? 0 : ReadUnsigned(record + pick.Offset, pick.Length);
    };
    out.SrcPort = static_cast<std::int32_t>(value(ERole::SrcPort));
    out.DstPort = static_cast<std::int32_t>(value(ERole::DstPort));
    out.Protocol = picks[ERole::Protocol].Offset < 0 ? -1 : static_cast<std::int32_t>(value(ERole::Protocol));
    const std::uint64_t octets = value(ERole::Octets);
    if (octets > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        Malformed(message, "Oktettzahl " + std::to_string(octets) + " außerhalb des Bereichs");
    out.Octets = static_cast<std::int64_t>(octets);
    out.SrcMac = picks[ERole::SrcMac].Offset < 0 ? nullptr : record + picks[ERole::SrcMac].Offset;
    out.DstMac = picks[ERole::DstMac].Offset < 0 ? nullptr : record + picks[ERole::DstMac].Offset;
}

// Length of the variable-length record at `p` (at most `left` bytes), filling the
// picks of its fields; 0 when the rest of the set is too short for a record, which is
// padding. A length prefix that points past the set is malformed.
std::size_t WalkRecord(const TTemplateMessage& message, const TFlowTemplate& tmpl, const unsigned char* p,
                       std::size_t left, TFlowTemplate::TPick* picks)
{
    if (left < tmpl.RecordLength)
        return 0;
    std::size_t offset = 0;
    for (const TTemplateField& field : tmpl.Fields) {
        std::size_t length = field.Length;
        if (length == TTemplateField::VariableLength) {
            if (offset + 1 > left)
                Malformed(message, "variables Feld " + Num(field.Id) + " reicht über das Set-Ende");
            length = p[offset++];
            if (length == 255) {
                if (offset + 2 > left)
                    Malformed(message, "variables Feld " + Num(field.Id) + " reicht über das Set-Ende");
                length = ReadU16(p + offset);
                offset += 2;
            }
        }
        if (offset + length > left)
            Malformed(message, "Feld " + Num(field.Id) + " reicht über das Set-Ende");
        if (field.Role != ERole::None)
            picks[field.Role] = {static_cast<std::int32_t>(offset), static_cast<std::uint16_t>(length)};
        offset += length;
    }
    return offset;
}

// Reads the records of one data set with its template; returns how many there were.
// Flow records go to the sink in batches, so the sink's look-ups of a batch overlap.
std::uint32_t ReadDataSet(const TTemplateMessage& message, const TFlowTemplate& tmpl,
                          std::span<const unsigned char> body, TFlowSink& sink)
{
    if (!tmpl.Variable) {
        const std::size_t count = body.size() / tmpl.RecordLength;  // what is left over is padding
        if (tmpl.Flow) {
            static thread_local std::array<TFlowRecord, 64> batch;
            std::size_t filled = 0;
            for (std::size_t j = 0; j < count; ++j) {
                Pick(message, tmpl, body.data() + j * tmpl.RecordLength, tmpl.Picks, batch[filled]);
                if (++filled == batch.size()) {
                    sink.Take(std::span(batch.data(), filled));
                    filled = 0;
                }
            }
            if (filled > 0)
                sink.Take(std::span(batch.data(), filled));
        }
        return static_cast<std::uint32_t>(count);
    }
    std::uint32_t count = 0;
    std::size_t offset = 0;
    TFlowRecord record;
    while (offset < body.size()) {
        TFlowTemplate::TPick picks[TFlowTemplate::RoleCount];
        const std::size_t length = WalkRecord(message, tmpl, body.data() + offset, body.size() - offset, picks);
        if (length == 0)
            break;
        if (tmpl.Flow) {
            Pick(message, tmpl, body.data() + offset, picks, record);
            sink.Take(std::span(&record, 1));
        }
        offset += length;
        ++count;
    }
    return count;
}

// Data that arrived before its template waits, up to the bounds; returns false when
// there was no room and the set is lost.
bool Hold(TRouterFlowState& state, std::size_t& heldBytesTotal, std::uint64_t session, std::uint16_t id,
          std::span<const unsigned char> body, std::int64_t nowMs)
{
    if (state.HeldBytes + body.size() > MaxHeldBytesPerRouter || heldBytesTotal + body.size() > MaxHeldBytesTotal)
        return false;
    state.Held.push_back(THeldSet{session, id, nowMs, std::vector<unsigned char>(body.begin(), body.end())});
    state.HeldBytes += body.size();
    heldBytesTotal += body.size();
    return true;
}

void Withdraw(TRouterFlowState& state, std::uint64_t session, std::uint32_t id, bool options)
{
    // Template ID 2 in a template set, 3 in an options template set: all of that kind.
    const bool all = id == 2 || id == 3;
    std::erase_if(state.Templates, [&](const TFlowTemplate& tmpl) {
        return tmpl.Session == session && (all ? tmpl.Options == options : tmpl.Id == id);
    });
}

// Reads one template or options template set and keeps what it defines.
void ReadTemplateSet(const TTemplateMessage& message, std::span<const unsigned char> set, bool options,
                     std::uint64_t session, TRouterFlowState& state, std::size_t& heldBytesTotal,
                     TFlowSink& sink)
{
    const bool ipfix = message.Version == Ipfix;
    std::size_t pos = 0;
    // Fewer bytes than a record header left over are padding.
    while (set.size() - pos >= 4) {
        const unsigned char* p = set.data() + pos;
        const std::uint32_t id = ReadU16(p);
        std::uint32_t fieldCount = ReadU16(p + 2);
        pos += 4;
        if (ipfix && fieldCount == 0) {
            if (id < FirstDataSetId && id != 2 && id != 3)
                Malformed(message, "Rücknahme der Vorlage " + Num(id));
            Withdraw(state, session, id, options);
            continue;
        }
        if (!ipfix && options) {
            // v9 options template: scope and option lengths in bytes, four per field.
            const std::uint32_t scopeLength = fieldCount;
            if (set.size() - pos < 2)
                Malformed(message, "Optionsvorlage " + Num(id) + " reicht über das Set-Ende");
            const std::uint32_t optionLength = ReadU16(set.data() + pos);
            pos += 2;
            if ((scopeLength + optionLength) % 4 != 0)
                Malformed(message, "Optionsvorlage " + Num(id) + " mit Feldlängen " + Num(scopeLength) + "/"
                                       + Num(optionLength));
            fieldCount = (scopeLength + optionLength) / 4;
        } else if (ipfix && options) {
            if (set.size() - pos < 2)
                Malformed(message, "Optionsvorlage " + Num(id) + " reicht über das Set-Ende");
            const std::uint32_t scopeCount = ReadU16(set.data() + pos);
            pos += 2;
            if (scopeCount == 0 || scopeCount > fieldCount)
                Malformed(message, "Optionsvorlage " + Num(id) + " mit " + Num(scopeCount) + " Bereichsfeldern");
        }
        if (fieldCount == 0)
            Malformed(message, "Vorlage " + Num(id) + " ohne Felder");
        if (id < FirstDataSetId)
            Malformed(message, "Vorlage mit der Nummer " + Num(id));

        TFlowTemplate tmpl;
        tmpl.Session = session;
        tmpl.Id = static_cast<std::uint16_t>(id);
        tmpl.Options = options;
        tmpl.Fields.reserve(fieldCount);
        for (std::uint32_t f = 0; f < fieldCount; ++f) {
            if (set.size() - pos < 4)
                Malformed(message, "Vorlage " + Num(id) + " reicht über das Set-Ende");
            TTemplateField field;
            field.Id = static_cast<std::uint16_t>(ReadU16(set.data() + pos));
            field.Length = static_cast<std::uint16_t>(ReadU16(set.data() + pos + 2));
            pos += 4;
            if (ipfix && (field.Id & 0x8000) != 0) {
                // An enterprise-specific element: its number follows. Its meaning is the
                // enterprise's own, so it is only read past (ID 0 is no element).
                if (set.size() - pos < 4)
                    Malformed(message, "Vorlage " + Num(id) + " reicht über das Set-Ende");
                pos += 4;
                field.Id = 0;
            }
            tmpl.Fields.push_back(field);
        }
        if (!options)
            AssignRoles(message, tmpl);
        Layout(message, tmpl);

        // A redefinition replaces the template and, as the newest, is kept longest.
        std::erase_if(state.Templates, [&](const TFlowTemplate& kept) { return kept.Id == id && kept.Session == session; });
        state.Templates.push_back(std::move(tmpl));
        // The oldest make room; the one just kept always fits.
        std::size_t bytes = 0;
        for (const TFlowTemplate& kept : state.Templates)
            bytes += TemplateBytes(kept);
        while (state.Templates.size() > MaxTemplates || bytes > MaxTemplateBytesPerRouter) {
            bytes -= TemplateBytes(state.Templates.front());
            state.Templates.erase(state.Templates.begin());
        }

        // Data that waited for this template is read now, in the order it came.
        for (std::size_t h = 0; h < state.Held.size();) {
            if (state.Held[h].Session != session || state.Held[h].TemplateId != id) {
                ++h;
                continue;
            }
            const std::vector<unsigned char> body = std::move(state.Held[h].Body);
            heldBytesTotal -= body.size();
            state.HeldBytes -= body.size();
            state.Held.erase(state.Held.begin() + static_cast<std::ptrdiff_t>(h));
            ReadDataSet(message, *FindTemplate(state, session, id), body, sink);
        }
    }
}
}

// The most fields one datagram can describe (four bytes each after the headers) fit
// the budget, so the template just kept never has to give way itself.
static_assert(sizeof(TFlowTemplate)
                  + (FlowV5::MaxDatagramSize - IpfixHeaderSize - SetHeaderSize - 4) / 4 * sizeof(TTemplateField)
              <= MaxTemplateBytesPerRouter);

std::size_t FlowTemplates::TemplateBytes(const TFlowTemplate& tmpl)
{
    return sizeof(TFlowTemplate) + tmpl.Fields.size() * sizeof(TTemplateField);
}

std::uint16_t FlowVersion(std::span<const unsigned char> datagram)
{
    return datagram.size() < 2 ? 0 : static_cast<std::uint16_t>(ReadU16(datagram.data()));
}

TTemplateMessage DecodeTemplateMessage(std::span<const unsigned char> datagram)
{
    TTemplateMessage message;
    message.Version = FlowVersion(datagram);
    if (datagram.size() > FlowV5::MaxDatagramSize)
        throw ERangeError("Bereichsfehler: Flow-Datagramm mit " + Num(datagram.size())
                          + " Bytes ist größer als der Empfangspuffer (2048 Bytes)");
    const std::size_t headerSize = message.Version == V9 ? V9HeaderSize : IpfixHeaderSize;
    if (datagram.size() < headerSize)
        Malformed(message, Num(datagram.size()) + " Bytes sind kürzer als der Kopf (" + Num(headerSize) + " Bytes)");
    const unsigned char* p = datagram.data();
    message.SetsBegin = headerSize;
    if (message.Version == V9) {
        message.Count = static_cast<std::uint16_t>(ReadU16(p + 2));
        message.Sequence = ReadU32(p + 12);
        message.Domain = ReadU32(p + 16);
        message.End = datagram.size();
    } else {
        const std::size_t length = ReadU16(p + 2);
        if (length < IpfixHeaderSize || length > datagram.size())
            Malformed(message, "Nachrichtenlänge " + Num(length) + " bei " + Num(datagram.size()) + " Bytes");
        message.Sequence = ReadU32(p + 8);
        message.Domain = ReadU32(p + 12);
        message.End = length;
    }
    return message;
}

std::uint64_t TemplateSessionKey(const TTemplateMessage& message, std::uint16_t senderPort)
{
    const std::uint64_t port = message.Version == Ipfix ? senderPort : 0;
    return std::uint64_t{message.Version} << 48 | port << 32 | message.Domain;
}

bool HasDataSet(std::span<const unsigned char> datagram, const TTemplateMessage& message)
{
    for (std::size_t pos = message.SetsBegin; message.End - pos >= SetHeaderSize;) {
        const std::uint32_t id = ReadU16(datagram.data() + pos);
        const std::uint32_t length = ReadU16(datagram.data() + pos + 2);
        if (id >= FirstDataSetId && length > SetHeaderSize)
            return true;
        if (length < SetHeaderSize || length > message.End - pos)
            return false;  // the set walk reports it
        pos += length;
    }
    return false;
}

TSetsResult ReadTemplateSets(std::span<const unsigned char> datagram, const TTemplateMessage& message,
                             std::uint64_t session, TRouterFlowState& state, std::size_t& heldBytesTotal,
                             std::int64_t nowMs, TFlowSink& sink)
{
    TSetsResult result;
    const bool ipfix = message.Version == Ipfix;
    // Fewer bytes than a set header at the end cannot be a set: padding.
    for (std::size_t pos = message.SetsBegin; message.End - pos >= SetHeaderSize;) {
        const std::uint32_t id = ReadU16(datagram.data() + pos);
        const std::uint32_t length = ReadU16(datagram.data() + pos + 2);
        if (length < SetHeaderSize)
            Malformed(message, "Set " + Num(id) + " mit Länge " + Num(length));
        if (length > message.End - pos)
            Malformed(message, "Set " + Num(id) + " mit Länge " + Num(length) + " reicht über das Ende ("
                                   + Num(message.End) + " Bytes)");
        const std::span<const unsigned char> body = datagram.subspan(pos + SetHeaderSize, length - SetHeaderSize);
        pos += length;

        const std::uint32_t templateSet = ipfix ? 2 : 0;
        const std::uint32_t optionsSet = ipfix ? 3 : 1;
        if (id == templateSet || id == optionsSet) {
            ReadTemplateSet(message, body, id == optionsSet, session, state, heldBytesTotal, sink);
        } else if (id >= FirstDataSetId) {
            // The template is found once per set, not once per record.
            if (const TFlowTemplate* tmpl = FindTemplate(state, session, id)) {
                result.DataRecords += ReadDataSet(message, *tmpl, body, sink);
            } else if (!body.empty()) {
                result.Held = true;
                if (!Hold(state, heldBytesTotal, session, static_cast<std::uint16_t>(id), body, nowMs))
                    ++result.Expired;
            }
        }
        // Set IDs 2 to 255 (v9) and 0, 1, 4 to 255 (IPFIX) are reserved: read past.
    }
    return result;
}

std::size_t ExpireHeldSets(TRouterFlowState& state, std::size_t& heldBytesTotal, std::int64_t nowMs)
{
    std::size_t expired = 0;
    for (std::size_t h = 0; h < state.Held.size();) {
        // A clock set back (a time change) expires nothing early and nothing late.
        const std::int64_t age = nowMs - state.Held[h].ArrivalMs;
        if (age > HeldMs || age < -HeldMs) {
            Release(state, heldBytesTotal, h);
            ++expired;
        } else {
            ++h;
        }
    }
    return expired;
}
