#include "FlowAccounting.h"

#include "Errors.h"
#include "LocalTime.h"
#include "SequenceFollowers.h"
#include "TDaten.h"
#include "TFlowDatagram.h"
#include "TIpAddress.h"
#include "TSequenceWindow.h"
#include "TTemplateFlow.h"
#include "TextForms.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

namespace {
// Number of records whose needed bytes are all inside a datagram of this size.
std::uint32_t RecordsPresent(std::size_t size)
{
    if (size < FlowV5::HeaderSize + FlowV5::RecordBytesNeeded)
        return 0;
    return static_cast<std::uint32_t>((size - FlowV5::HeaderSize - FlowV5::RecordBytesNeeded) / FlowV5::RecordSize + 1);
}

// The key of a v5 router's one sequence among its exporter domains.
constexpr std::uint64_t V5SequenceKey = std::uint64_t{5} << 48;

// One record after the look-up passes: its binary addresses, which sides are local
// and which user rows they belong to. No address is written as text on this path.
struct TLookedUpFlow {
    TFlowRecord Record;
    TIpAddress SrcAddress;  // IPv6 only
    TIpAddress DstAddress;
    std::uint32_t SrcV4 = 0;  // IPv4 only: the addresses as host-order numbers
    std::uint32_t DstV4 = 0;
    TUserAlias* SrcAlias = nullptr;  // the IPv6 entries found, refreshed as seen
    TUserAlias* DstAlias = nullptr;
    int SrcUser = -1;
    int DstUser = -1;
    bool SrcLocal = false;
    bool DstLocal = false;
    bool IPv6 = false;
};

// Records that fit the receive buffer: a datagram cannot hold more, whatever its count says.
constexpr std::size_t MaxRecords =
    (FlowV5::MaxDatagramSize - FlowV5::HeaderSize - FlowV5::RecordBytesNeeded) / FlowV5::RecordSize + 1;

std::uint32_t V4Number(const unsigned char* bytes)
{
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

void Prefetch(const void* address)
{
    __builtin_prefetch(address, 1, 3);
}

// With tens of thousands of users the index slots and user rows a datagram touches are
// cold. Looking up all records before charging any lets their cache misses overlap
// instead of adding up: first the index slots of every local address are requested,
// then the user rows found through them. Charging still happens strictly in record order.
//
// An IPv6 side is looked up by its 16 bytes in the device addresses, local or not: an
// address the router announced belongs to its device whatever prefix the provider
// hands out. Finding it counts as seeing it (the address stays learned while in use);
// its entry is requested in the second pass and refreshed in the third.
// Only the charging pass learns addresses (from MACs), so a side not found here is
// looked up again there once something was learned in the same batch.
void LookUpAll(TDaten& daten, std::span<TLookedUpFlow> flows, const TLocalTime& now)
{
    // The filter lists cannot change while a batch is looked up.
    const TAddressFilter& local = daten.LocalAddressFilter();
    for (TLookedUpFlow& flow : flows) {
        flow.IPv6 = flow.Record.AddressLength == 16;
        if (flow.IPv6) {
            flow.SrcAlias = flow.DstAlias = nullptr;
            flow.SrcAddress = TIpAddress::FromV6(flow.Record.SrcAddr);
            flow.DstAddress = TIpAddress::FromV6(flow.Record.DstAddr);
            flow.SrcLocal = local.Matches(flow.SrcAddress);
            flow.DstLocal = local.Matches(flow.DstAddress);
            daten.UserIPv6.Prefetch(flow.SrcAddress);
            daten.UserIPv6.Prefetch(flow.DstAddress);
            continue;
        }
        flow.SrcV4 = V4Number(flow.Record.SrcAddr);
        flow.DstV4 = V4Number(flow.Record.DstAddr);
        flow.SrcLocal = local.MatchesV4(flow.SrcV4);
        flow.DstLocal = local.MatchesV4(flow.DstV4);
        if (flow.SrcLocal)
            daten.UserIP.PrefetchV4(flow.SrcV4);
        if (flow.DstLocal)
            daten.UserIP.PrefetchV4(flow.DstV4);
    }
    for (TLookedUpFlow& flow : flows) {
        if (flow.IPv6) {
            flow.SrcUser = daten.FindIPv6(flow.SrcAddress, flow.SrcAlias);
            flow.DstUser = daten.FindIPv6(flow.DstAddress, flow.DstAlias);
            if (flow.SrcAlias)
                Prefetch(flow.SrcAlias);
            if (flow.DstAlias)
                Prefetch(flow.DstAlias);
        } else {
            flow.SrcUser = flow.SrcLocal ? daten.UserIP.IndexOfV4(flow.SrcV4) : -1;
            flow.DstUser = flow.DstLocal ? daten.UserIP.IndexOfV4(flow.DstV4) : -1;
        }
        if (flow.SrcUser >= 0) {
            Prefetch(daten.UserCounters.RowAddress(flow.SrcUser));
            Prefetch(&daten.UserCPort[flow.SrcUser]);
            Prefetch(&daten.UserLastTime[flow.SrcUser]);
        }
        if (flow.DstUser >= 0) {
            Prefetch(daten.UserCounters.RowAddress(flow.DstUser));
            Prefetch(&daten.UserCPort[flow.DstUser]);
            Prefetch(&daten.UserLastTime[flow.DstUser]);
        }
    }
    // Each client's port list keeps its entries in a block of their own.
    const std::int64_t moment = TIPv6Aliases::Moment(now);
    for (const TLookedUpFlow& flow : flows) {
        if (flow.IPv6)
            for (TUserAlias* alias : {flow.SrcAlias, flow.DstAlias})
                if (alias && alias->LastSeen < moment)
                    alias->LastSeen = moment;
        if (flow.SrcUser >= 0)
            daten.UserCPort[flow.SrcUser].Prefetch();
        if (flow.DstUser >= 0)
            daten.UserCPort[flow.DstUser].Prefetch();
    }
}

// Adds a flow's octets to one counter. A counter that is not a number (only a
// hand-edited state file holds one) or would overflow stays as it is: the other
// counters and records are still charged, and the fault is reported once per counter.
void Charge(TDaten& daten, TCounterColumn& counter, int row, std::int64_t octets, const std::string& owner,
            const char* column, std::string& notice)
{
    try {
        counter.Add(static_cast<std::size_t>(row), octets);
    } catch (const EVexalError& error) {
        if (daten.ReportedCounterFaults.insert(owner + ' ' + column).second && notice.empty())
            notice = std::string(column) + " von " + owner + ": " + error.what();
    }
}

// A MAC in the text form announcements use: six lower-case hex pairs joined by ":".
// Announcements are compared as sent, so the upper-case form is tried as well.
void AssignMacText(std::string& out, const unsigned char* mac, bool upper)
{
    const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    out.resize(17);
    for (int i = 0; i < 6; ++i) {
        out[3 * i] = hex[mac[i] >> 4];
        out[3 * i + 1] = hex[mac[i] & 0xF];
        if (i < 5)
            out[3 * i + 2] = ':';
    }
}

// The user whose MAC the record carries for an IPv6 side no device has yet: the address
// becomes one of that device's addresses. Link-local, multicast and the like never name
// a device's traffic through the router, and an all-zero MAC is no MAC.
int LearnFromMac(TDaten& daten, const TIpAddress& address, const unsigned char* mac, const TLocalTime& now)
{
    if (mac == nullptr || address.IsSpecialV6())
        return -1;
    if (std::all_of(mac, mac + 6, [](unsigned char b) { return b == 0; }))
        return -1;
    static thread_local std::string text;
    int row = -1;
    for (bool upper : {false, true}) {
        AssignMacText(text, mac, upper);
        row = daten.UserOfMac(text);
        if (row >= 0)
            break;
    }
    if (row < 0 || !daten.LearnIPv6(row, address, now))
        return -1;
    return row;
}

// What an IPv6 side resolves to while charging: the row found before, or, for a side
// not found, the row its address was learned for since (earlier in the batch, or from
// the MAC in this very record).
struct TChargeContext {
    const std::string& StampNow;
    const TLocalTime& Now;
    std::string& Notice;
    bool Learned = false;  // an IPv6 address was learned from a MAC in this batch
};

void ResolveIPv6Side(TDaten& daten, TChargeContext& context, const TIpAddress& address, const unsigned char* mac,
                     int& user, bool& local)
{
    if (user < 0 && context.Learned)
        user = daten.SeenIPv6(address, context.Now);
    if (user < 0) {
        user = LearnFromMac(daten, address, mac, context.Now);
        context.Learned |= user >= 0;
    }
    local = local || user >= 0;
}

// The columns one side of a flow is charged to: its upload where the source is local,
// its download where the destination is. Ports are keyed by the remote side.
struct TChargeSide {
    TCounterColumn TCounterColumns::*RouterOctets;
    std::vector<TPortList> TDaten::*RouterPorts;
    TCounterColumn TCounterColumns::*UserTotal;
    TCounterColumn TCounterColumns::*UserInterval;
    const char* RouterOctetsName;
    const char* UserTotalName;
    const char* UserIntervalName;
};

constexpr TChargeSide UploadSide{
    .RouterOctets = &TCounterColumns::RouterUpload,
    .RouterPorts = &TDaten::RouterPortTrafficUL,
    .UserTotal = &TCounterColumns::UserUL,
    .UserInterval = &TCounterColumns::UserCUL,
    .RouterOctetsName = "RouterUpload",
    .UserTotalName = "UserUL",
    .UserIntervalName = "UserCUL",
};
constexpr TChargeSide DownloadSide{
    .RouterOctets = &TCounterColumns::RouterDownload,
    .RouterPorts = &TDaten::RouterPortTrafficDL,
    .UserTotal = &TCounterColumns::UserDL,
    .UserInterval = &TCounterColumns::UserCDL,
    .RouterOctetsName = "RouterDownload",
    .UserTotalName = "UserDL",
    .UserIntervalName = "UserCDL",
};

// A user's counters are named by its row key in a fault notice (for IPv4 the address
// of the flow itself).
// The side is a template argument so that its columns are fixed at compile time: on the
// per-flow path a look-up through member pointers cost measurably.
template <const TChargeSide& side>
void ChargeSide(TDaten& daten, int router, int user, std::int32_t remotePort, std::int64_t octets,
                TChargeContext& context)
{
    std::string& notice = context.Notice;
    Charge(daten, daten.*side.RouterOctets, router, octets, daten.RouterIP[router], side.RouterOctetsName, notice);
    (daten.*side.RouterPorts)[router].Add(remotePort, octets);
    if (user < 0)
        return;
    const std::string& owner = daten.UserIP[user];
    Charge(daten, daten.*side.UserTotal, user, octets, owner, side.UserTotalName, notice);
    Charge(daten, daten.*side.UserInterval, user, octets, owner, side.UserIntervalName, notice);
    if (daten.KeepsUserPorts())
        daten.UserCPort[user].Add(remotePort, octets);
    daten.UserLastTime[user] = context.StampNow;
}

void ChargeRecord(TDaten& daten, int router, TLookedUpFlow& flow, TChargeContext& context)
{
    const TFlowRecord& record = flow.Record;
    // The flow log keeps the addresses and numbers; their text is written when shown.
    if (!flow.IPv6) {
        daten.FlowLogSrcIP.PushV4(flow.SrcV4);
        daten.FlowLogDstIP.PushV4(flow.DstV4);
    } else {
        daten.FlowLogSrcIP.PushAddress(flow.SrcAddress);
        daten.FlowLogDstIP.PushAddress(flow.DstAddress);
        ResolveIPv6Side(daten, context, flow.SrcAddress, record.SrcMac, flow.SrcUser, flow.SrcLocal);
        ResolveIPv6Side(daten, context, flow.DstAddress, record.DstMac, flow.DstUser, flow.DstLocal);
    }
    daten.FlowLogSrcPort.PushNumber(record.SrcPort);
    daten.FlowLogDstPort.PushNumber(record.DstPort);
    daten.FlowLogTraffic.PushNumber(record.Octets);

    // Both sides are tested, upload first: a flow between two local clients is the
    // upload of one and the download of the other.
    if (flow.SrcLocal)
        ChargeSide<UploadSide>(daten, router, flow.SrcUser, record.DstPort, record.Octets, context);
    if (flow.DstLocal)
        ChargeSide<DownloadSide>(daten, router, flow.DstUser, record.SrcPort, record.Octets, context);
}

// Looks up a batch of records, then charges them strictly in order. Looking them all
// up first changes nothing: accounting neither adds nor removes users or filter entries.
void ChargeBatch(TDaten& daten, int router, std::span<TLookedUpFlow> flows, const std::string& stampNow,
                 const TLocalTime& now, std::string& notice)
{
    LookUpAll(daten, flows, now);
    TChargeContext context{stampNow, now, notice};
    for (TLookedUpFlow& flow : flows)
        ChargeRecord(daten, router, flow, context);
}

std::int64_t Milliseconds(const TLocalTime& time)
{
    return time.Day * TLocalTime::MsPerDay + time.MsOfDay;
}

// Charges the records a template decoder hands on, batch by batch, exactly as v5
// records are charged.
class TChargingSink final : public TFlowSink {
public:
    TChargingSink(TDaten& daten, int router, const TLocalTime& now, std::string& notice)
        : Daten(daten), Router(router), Now(now), StampNow(StampText(now)), Notice(notice)
    {
    }

    void Take(std::span<TFlowRecord> records) override
    {
        // Kept between datagrams, as on the v5 path: building 64 look-up slots with their
        // address texts for every datagram would cost more than charging its flows.
        static thread_local std::array<TLookedUpFlow, 64> Flows;
        std::span<TLookedUpFlow> flows(Flows.data(), std::min(records.size(), Flows.size()));
        for (std::size_t i = 0; i < flows.size(); ++i)
            flows[i].Record = records[i];
        ChargeBatch(Daten, Router, flows, StampNow, Now, Notice);
        Charged += flows.size();
        if (records.size() > flows.size())
            Take(records.subspan(flows.size()));
    }

    std::size_t Charged = 0;

private:
    TDaten& Daten;
    int Router;
    const TLocalTime& Now;
    std::string StampNow;
    std::string& Notice;
};

void AddNotice(std::string& notice, const std::string& text)
{
    if (notice.empty())
        notice = text;
}

// The incoming memo's lines for a datagram that was handled.
std::vector<std::string> MemoLines(const std::string& fromIP, std::int64_t sequence, std::uint32_t count)
{
    return {"IP:" + fromIP, "FS:" + IntToStr(sequence) + " Count :" + IntToStr(count)};
}

// One datagram's passage through its exporter domain's sequence, the same on every
// path: opened before its records (a duplicate stops there), closed after them with the
// units they covered. RouterRecordCount shows the sequence at first contact plus the
// units delivered since; the loss figure is the sum over the router's domains.
class TRouterSequence {
public:
    TRouterSequence(TDaten& daten, int router) : Daten(daten), Router(router) {}

    // False for a duplicate, which must change nothing. A datagram of a domain the
    // router cannot follow (SequenceFollowers) is charged unchecked and counted.
    bool Open(std::uint64_t domain, std::uint32_t sequence, const TLocalTime& now)
    {
        TRouterFlowState& state = Daten.RouterFlow[Router];
        Follower = SequenceFollowers::Find(state, domain, Milliseconds(now));
        if (Follower) {
            Window.emplace(*Follower);
            if (Window->Arrive(sequence) == TSequenceWindow::EArrival::Duplicate)
                return false;
        } else {
            ++state.UnfollowedDatagrams;
            ++Daten.UnfollowedDatagrams;
        }
        Daten.RouterSequenz.SetValue(Router, sequence);
        return true;
    }

    // Not reached when the datagram breaks off: the row's figures stay as they were.
    void Close(std::uint32_t units, bool incomplete)
    {
        if (!Window)
            return;
        Window->Deliver(units, incomplete);
        Daten.RouterRecordCount.SetValue(Router, Follower->Counted);
        AssignInt(Daten.RouterPLoss[Router], SequenceFollowers::Loss(Daten.RouterFlow[Router]));
    }

private:
    TDaten& Daten;
    int Router;
    TSequenceFollower* Follower = nullptr;
    std::optional<TSequenceWindow> Window;
};

// v9 and IPFIX: the sets are read in order; flows of known templates are charged as they
// come, data without its template waits for it. The loss figure follows each exporter
// domain in the unit its protocol counts: v9 export packets, IPFIX data records.
TDatagramOutcome AccountTemplateDatagram(TDaten& daten, std::span<const unsigned char> datagram,
                                         const std::string& fromIP, std::uint16_t fromPort, const TLocalTime& now)
{
    TDatagramOutcome outcome;
    try {
        const TTemplateMessage message = DecodeTemplateMessage(datagram);
        const bool ipfix = message.Version == FlowTemplates::Ipfix;
        const int router = daten.RouterFor(fromIP, message.Sequence, now);
        if (router < 0)
            return outcome;  // the router table is full: counted there
        TRouterFlowState& state = daten.RouterFlow[router];
        const std::int64_t nowMs = Milliseconds(now);
        if (const std::size_t expired = ExpireHeldSets(state, daten.FlowHeldBytes, nowMs)) {
            daten.FlowHeldExpired += expired;
            AddNotice(outcome.Notice, IntToStr(static_cast<std::int64_t>(expired)) + " Daten-Sets von " + fromIP
                                          + " ohne Vorlage nach 60 s verworfen");
        }
        const std::uint64_t session = TemplateSessionKey(message, fromPort);

        // A v9 sequence counts every export packet; an IPFIX one counts data records, so
        // a message of templates only carries the sequence of the data that follows it.
        const bool carries = ipfix ? HasDataSet(datagram, message) : message.End > message.SetsBegin;
        TRouterSequence sequence(daten, router);
        if (carries && !sequence.Open(session, message.Sequence, now))
            return outcome;  // the same exporter, domain and sequence again: counted once
        daten.RouterSeen(router, now);

        TChargingSink sink(daten, router, now, outcome.Notice);
        const TSetsResult sets = ReadTemplateSets(datagram, message, session, state, daten.FlowHeldBytes, nowMs, sink);
        if (sets.Expired > 0) {
            daten.FlowHeldExpired += sets.Expired;
            AddNotice(outcome.Notice, "Daten von " + fromIP + " ohne Vorlage verworfen: Speichergrenze erreicht");
        }

        outcome.Memo = MemoLines(fromIP, message.Sequence, ipfix ? sets.DataRecords : message.Count);
        // Held records are not counted yet: the next sequence is taken as it comes.
        sequence.Close(ipfix ? sets.DataRecords : 1, ipfix && sets.Held);
    } catch (const EVexalError& error) {
        outcome.Memo.reset();
        outcome.Error = error.what() + std::string(" (von ") + fromIP + ")";
    }
    return outcome;
}

TDatagramOutcome AccountV5Datagram(TDaten& daten, std::span<const unsigned char> datagram, const std::string& fromIP,
                                   const TLocalTime& now)
{
    TDatagramOutcome outcome;
    try {
        const TFlowHeader header = DecodeFlowHeader(datagram);
        const int router = daten.RouterFor(fromIP, header.Sequence, now);
        if (router < 0)
            return outcome;  // the router table is full: counted there
        // A datagram without records says nothing about the sequence: it only shows
        // that the exporter is alive.
        if (header.Count == 0) {
            daten.RouterSeen(router, now);
            outcome.Memo = MemoLines(fromIP, header.Sequence, 0);
            return outcome;
        }
        TRouterSequence sequence(daten, router);
        if (!sequence.Open(V5SequenceKey, static_cast<std::uint32_t>(header.Sequence), now))
            return outcome;  // a repeated datagram: already counted once
        daten.RouterSeen(router, now);

        static thread_local std::array<TLookedUpFlow, MaxRecords> flows;
        const std::uint32_t present = RecordsPresent(datagram.size());
        const std::uint32_t usable = std::min<std::uint32_t>(header.Count, present);
        for (std::uint32_t j = 0; j < usable; ++j)
            flows[j].Record = DecodeFlowRecord(datagram, j);
        ChargeBatch(daten, router, std::span(flows.data(), usable), StampText(now), now, outcome.Notice);
        if (usable < header.Count)
            DecodeFlowRecord(datagram, usable);  // raises the range error for the cut record

        outcome.Memo = MemoLines(fromIP, header.Sequence, header.Count);
        sequence.Close(header.Count, false);
    } catch (const EVexalError& error) {
        outcome.Error = error.what();
    }
    return outcome;
}
}

TDatagramOutcome AccountFlowDatagram(TDaten& daten, std::span<const unsigned char> datagram, const std::string& fromIP,
                                     const TLocalTime& now, std::uint16_t fromPort)
{
    const std::uint16_t version = FlowVersion(datagram);
    // Too short to carry a version: the v5 reader reports it as too short.
    if (version == 5 || datagram.size() < 2)
        return AccountV5Datagram(daten, datagram, fromIP, now);
    if (version == FlowTemplates::V9 || version == FlowTemplates::Ipfix)
        return AccountTemplateDatagram(daten, datagram, fromIP, fromPort, now);
    TDatagramOutcome outcome;
    outcome.Error = "Flow-Datagramm von " + fromIP + " mit unbekannter Version " + IntToStr(version)
        + ": gelesen werden NetFlow v5, v9 und IPFIX (10)";
    return outcome;
}
