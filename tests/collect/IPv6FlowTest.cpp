// IPv6 flows from v9 and IPFIX records: charged to the device that announced the
// address or whose MAC the record carries, counted by the router when the local side is
// local or a device's, and otherwise only logged. IPv4 records keep their rules.
#include "FlowAccounting.h"
#include "FlowDatagramBuilder.h"
#include "MacAnnouncement.h"
#include "TDaten.h"
#include "TemplateDatagramBuilder.h"
#include "TextForms.h"

#include <gtest/gtest.h>

#include <optional>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
const std::string Router = "192.168.1.1";
const std::string MacA = "02:00:00:00:00:0a";
const std::string MacB = "02:00:00:00:00:0b";
constexpr std::uint16_t Versions[] = {9, 10};

using TV6 = std::array<std::uint8_t, 16>;
using TMac = std::array<std::uint8_t, 6>;

// 2001:db8:<net>::<host>
TV6 V6(std::uint8_t net, std::uint8_t host)
{
    return {0x20, 0x01, 0x0d, 0xb8, 0, net, 0, 0, 0, 0, 0, 0, 0, 0, 0, host};
}
const TV6 Remote = {0x26, 0x06, 0x47, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x11};  // 2606:4700::1111
const TV6 LinkLocal = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a};
const TMac NoMac = {0, 0, 0, 0, 0, 0};
const TMac A = {2, 0, 0, 0, 0, 0x0a};
const TMac B = {2, 0, 0, 0, 0, 0x0b};
const TMac Gateway = {2, 0, 0, 0, 0, 0x01};

// Addresses, ports, protocol, octets, and the MACs: source (56) and destination as
// destinationMacAddress (80) or postDestinationMacAddress (57).
std::vector<TTestField> IPv6Fields(std::uint16_t dstMacId)
{
    return {{27, 16}, {28, 16}, {7, 2}, {11, 2}, {4, 1}, {1, 4}, {56, 6}, {dstMacId, 6}};
}

struct TV6Flow {
    TV6 Src;
    std::uint16_t SrcPort;
    TV6 Dst;
    std::uint16_t DstPort;
    std::uint32_t Octets;
    TMac SrcMac = NoMac;
    TMac DstMac = NoMac;
};

void Put(TBytes& out, const TV6Flow& f)
{
    for (std::uint8_t b : f.Src)
        out.U8(b);
    for (std::uint8_t b : f.Dst)
        out.U8(b);
    out.U16(f.SrcPort).U16(f.DstPort).U8(6).U32(f.Octets);
    for (std::uint8_t b : f.SrcMac)
        out.U8(b);
    for (std::uint8_t b : f.DstMac)
        out.U8(b);
}

class IPv6Flows : public ::testing::Test {
protected:
    IPv6Flows() { Reset(); }

    // Device A (192.168.1.10) has announced 2001:db8:5::a; device B (192.168.1.11) has
    // announced nothing over IPv6. No IPv6 network is configured as local.
    void Reset()
    {
        d = TDaten();
        d.LocalSubnets = {"192.168.1"};
        d.ExportEnabled = true;  // the per-port interval lists are kept
        Announce("192.168.1.10", MacA);
        Announce("192.168.1.11", MacB);
        Announce("2001:db8:5::a", MacA);
        ASSERT_EQ(d.UserCount(), 2u);
        ASSERT_EQ(d.IPv6User(*TIpAddress::Parse("2001:db8:5::a")), 0);
    }

    void Announce(const std::string& ip, const std::string& mac)
    {
        const std::string text = "f0 " + ip + " f2 f3 " + mac + " f5 br-lan\n";
        AccountMacAnnouncement(d, {reinterpret_cast<const unsigned char*>(text.data()), text.size()}, Router, Count,
                               Noon);
    }

    TDatagramOutcome Send(std::uint16_t version, const std::vector<TV6Flow>& flows, std::uint16_t dstMacId = 80)
    {
        TBytes records;
        for (const TV6Flow& flow : flows)
            Put(records, flow);
        return AccountFlowDatagram(d,
                                   TTemplateDatagramBuilder(version, Sequence++)
                                       .Template(FlowTemplateId, IPv6Fields(dstMacId))
                                       .Data(FlowTemplateId, records.Data, static_cast<int>(flows.size()))
                                       .Bytes(),
                                   Router, Noon, 50000);
    }

    // Upload/download of a user row, then of the router.
    std::string Totals(int row) const { return d.UserUL.Text(row) + "/" + d.UserDL.Text(row); }
    std::string RouterTotals() const
    {
        return d.RouterCount() == 0 ? "none" : d.RouterUpload.Text(0) + "/" + d.RouterDownload.Text(0);
    }

    TDaten d;
    std::int32_t Count = 0;
    std::uint32_t Sequence = 1;
};
}

TEST_F(IPv6Flows, EachFlowIsChargedToTheRightRowsAndTheRouter)
{
    struct {
        const char* Name;
        std::vector<std::string> LocalSubnets;  // replaces the filter when not empty
        std::vector<TV6Flow> Flows;
        std::uint16_t DstMacId;
        std::string A, B, Router;  // upload/download
        std::optional<int> LearnedBy;  // the row 2001:db8:5::b belongs to afterwards
    } const cases[] = {
        {"announced address, both directions, without any local IPv6 network", {},
         {{V6(5, 0x0a), 50000, Remote, 443, 100}, {Remote, 443, V6(5, 0x0a), 50000, 3000}}, 80,
         "100/3000", "0/0", "100/3000", std::nullopt},
        {"address unknown, source MAC of device B", {},
         {{V6(5, 0x0b), 50000, Remote, 443, 100, B, Gateway}}, 80, "0/0", "100/0", "100/0", 1},
        {"address unknown, destination MAC (80) of device B", {},
         {{Remote, 443, V6(5, 0x0b), 50000, 700, Gateway, B}}, 80, "0/0", "0/700", "0/700", 1},
        {"address unknown, post-destination MAC (57) of device B", {},
         {{Remote, 443, V6(5, 0x0b), 50000, 700, Gateway, B}}, 57, "0/0", "0/700", "0/700", 1},
        {"learned from the MAC, then charged without it in the same datagram", {},
         {{V6(5, 0x0b), 50000, Remote, 443, 100, B, NoMac}, {Remote, 443, V6(5, 0x0b), 50000, 900}}, 80,
         "0/0", "100/900", "100/900", 1},
        {"an announced address stays with its device whatever MAC the record shows", {},
         {{V6(5, 0x0a), 50000, Remote, 443, 100, B, Gateway}}, 80, "100/0", "0/0", "100/0", std::nullopt},
        {"between two devices: upload of one, download of the other", {},
         {{V6(5, 0x0a), 5000, V6(5, 0x0b), 6000, 77, A, B}}, 80, "77/0", "0/77", "77/77", 1},
        {"link-local address with a device's MAC is not learned", {},
         {{LinkLocal, 546, Remote, 547, 60, A, Gateway}}, 80, "0/0", "0/0", "0/0", std::nullopt},
        {"unknown MAC, no local network: only the flow log", {},
         {{V6(5, 0x0b), 50000, Remote, 443, 100, Gateway, Gateway}}, 80, "0/0", "0/0", "0/0", std::nullopt},
        {"local by network, no device: the router only", {"192.168.1", "2001:db8:5::/64"},
         {{V6(5, 0x0b), 50000, Remote, 443, 100}, {Remote, 443, V6(5, 0x0b), 50000, 300}}, 80, "0/0", "0/0",
         "100/300", std::nullopt},
        {"local by network and announced", {"192.168.1", "2001:db8::/32"},
         {{V6(5, 0x0a), 50000, Remote, 443, 100}}, 80, "100/0", "0/0", "100/0", std::nullopt},
    };
    for (const auto& c : cases) {
        for (std::uint16_t version : Versions) {
            SCOPED_TRACE(std::string(c.Name) + ", version " + std::to_string(version));
            Reset();
            if (!c.LocalSubnets.empty())
                d.LocalSubnets = c.LocalSubnets;
            const TDatagramOutcome outcome = Send(version, c.Flows, c.DstMacId);
            ASSERT_FALSE(outcome.Failed()) << outcome.Error;
            EXPECT_EQ(outcome.Notice, "");
            EXPECT_EQ(Totals(0), c.A);
            EXPECT_EQ(Totals(1), c.B);
            EXPECT_EQ(RouterTotals(), c.Router);
            EXPECT_EQ(d.UserCUL.Text(0) + "/" + d.UserCDL.Text(0), c.A) << "interval counters follow the totals";
            EXPECT_EQ(d.UserCUL.Text(1) + "/" + d.UserCDL.Text(1), c.B);
            EXPECT_EQ(d.IPv6User(*TIpAddress::Parse("2001:db8:5::b")), c.LearnedBy.value_or(-1));
            EXPECT_EQ(d.UserCount(), 2u) << "flows never add rows";
            for (int row : {0, 1})
                EXPECT_EQ(d.UserLastTime[row] != "0", Totals(row) != "0/0") << "last traffic of row " << row;
        }
    }
}

TEST_F(IPv6Flows, PortListsAndFlowLogMatchTheIPv4Flows)
{
    for (std::uint16_t version : Versions) {
        SCOPED_TRACE(version);
        // The same two flows of device A over IPv4 and over IPv6 give the same counters.
        TDaten v4;
        v4.LocalSubnets = {"192.168.1"};
        v4.ExportEnabled = true;
        v4.AddUser("192.168.1.10", MacA, "br-lan", Noon);
        TBytes records;
        FlowRecord(records, Ip(192, 168, 1, 10), 50000, Ip(93, 184, 216, 34), 443, 100);
        FlowRecord(records, Ip(93, 184, 216, 34), 443, Ip(192, 168, 1, 10), 50000, 3000);
        const TDatagramOutcome v4Outcome = AccountFlowDatagram(
            v4, TTemplateDatagramBuilder(version, 1).Template(FlowTemplateId, FlowFields()).Data(FlowTemplateId, records.Data, 2).Bytes(),
            Router, Noon, 50000);
        ASSERT_FALSE(v4Outcome.Failed()) << v4Outcome.Error;

        Reset();
        Send(version, {{V6(5, 0x0a), 50000, Remote, 443, 100}, {Remote, 443, V6(5, 0x0a), 50000, 3000}});
        EXPECT_EQ(d.UserCPort[0].ToText(), v4.UserCPort[0].ToText());
        EXPECT_EQ(d.RouterPortTrafficUL[0].ToText(), v4.RouterPortTrafficUL[0].ToText());
        EXPECT_EQ(d.RouterPortTrafficDL[0].ToText(), v4.RouterPortTrafficDL[0].ToText());
        EXPECT_EQ(d.UserLastTime[0], v4.UserLastTime[0]);
        EXPECT_EQ(Totals(0), v4.UserUL.Text(0) + "/" + v4.UserDL.Text(0));

        // Canonical compressed text in the flow log, the newest last.
        const std::size_t last = TFlowLogList::Capacity - 1;
        EXPECT_EQ(d.FlowLogSrcIP[last - 1], "2001:db8:5::a");
        EXPECT_EQ(d.FlowLogDstIP[last - 1], "2606:4700::1111");
        EXPECT_EQ(d.FlowLogSrcIP[last], "2606:4700::1111");
        EXPECT_EQ(d.FlowLogDstPort[last], "50000");
        EXPECT_EQ(d.FlowLogTraffic[last], "3000");

        // Without the detailed export no per-port lists are kept, for IPv6 either.
        Reset();
        d.ExportEnabled = false;
        Send(version, {{V6(5, 0x0a), 50000, Remote, 443, 100}});
        EXPECT_EQ(d.UserCPort[0].Count(), 0u);
        EXPECT_EQ(Totals(0), "100/0");
    }
}

TEST_F(IPv6Flows, NonLocalFlowsChangeOnlyTheFlowLog)
{
    for (std::uint16_t version : Versions) {
        SCOPED_TRACE(version);
        Reset();
        Send(version, {{V6(9, 1), 1, Remote, 2, 500, Gateway, Gateway}});
        EXPECT_EQ(RouterTotals(), "0/0");
        EXPECT_EQ(d.RouterPortTrafficUL[0].Count() + d.RouterPortTrafficDL[0].Count(), 0u);
        EXPECT_EQ(Totals(0) + " " + Totals(1), "0/0 0/0");
        EXPECT_EQ(d.UserIPv6.LearnedCount(), 1u) << "only the announced address";
        EXPECT_EQ(d.FlowLogSrcIP[TFlowLogList::Capacity - 1], "2001:db8:9::1");
        EXPECT_EQ(d.FlowLogTraffic[TFlowLogList::Capacity - 1], "500");
    }
}

TEST_F(IPv6Flows, SeeingAnAddressInFlowsKeepsItLearned)
{
    Send(9, {{V6(5, 0x0a), 50000, Remote, 443, 100}});
    const TLocalTime later = TLocalTime::FromCivil(2026, 12, 10, 12, 2, 0);
    // Only flows, no announcement, for longer than the online time-out in all.
    TBytes records;
    Put(records, {V6(5, 0x0a), 50000, Remote, 443, 100});
    AccountFlowDatagram(d, TTemplateDatagramBuilder(9, 50).Data(FlowTemplateId, records.Data).Bytes(), Router,
                        later, 50000);
    d.ForgetStaleIPv6(TLocalTime::FromCivil(2026, 12, 10, 12, 3, 0));
    EXPECT_EQ(d.IPv6User(*TIpAddress::Parse("2001:db8:5::a")), 0);
    EXPECT_EQ(Totals(0), "200/0");
}

TEST_F(IPv6Flows, MacsAreComparedInTheFormTheRowHolds)
{
    Announce("192.168.1.12", "02:00:00:00:00:CC");
    Send(10, {{V6(5, 0x0c), 50000, Remote, 443, 100, {2, 0, 0, 0, 0, 0xcc}, Gateway}});
    EXPECT_EQ(Totals(2), "100/0");
    EXPECT_EQ(d.IPv6User(*TIpAddress::Parse("2001:db8:5::c")), 2);
}
