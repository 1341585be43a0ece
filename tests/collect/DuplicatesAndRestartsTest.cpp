// Duplicates, reordering, late datagrams and exporter restarts, the same cases in
// NetFlow v5, v9 and IPFIX: the octets charged and the router's loss figure.
#include "FlowAccounting.h"
#include "FlowDatagramBuilder.h"
#include "SequenceFollowers.h"
#include "TDaten.h"
#include "TemplateDatagramBuilder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
const std::string Router = "192.168.1.1";
constexpr std::uint16_t SenderPort = 50000;
constexpr std::uint32_t Octets = 1000;
constexpr std::uint16_t AllVersions[] = {5, 9, 10};
constexpr std::uint16_t TemplateVersions[] = {9, 10};

TDaten Store()
{
    TDaten d;
    d.LocalSubnets = {"192.168.1"};
    d.AddUser("192.168.1.2", "02:00:00:00:00:02", "eth1", Noon);
    return d;
}

// A datagram of `records` uploads of 1000 octets each from the one client.
std::vector<std::uint8_t> Datagram(std::uint16_t version, std::uint32_t sequence, std::uint32_t records,
                                   std::uint32_t domain = 0, std::uint32_t octets = Octets)
{
    if (version == 5) {
        TFlowDatagramBuilder b(sequence);
        for (std::uint32_t i = 0; i < records; ++i)
            b.Add(Ip(192, 168, 1, 2), 40000, Ip(8, 8, 8, 8), 443, octets);
        return b.Bytes();
    }
    TBytes body;
    for (std::uint32_t i = 0; i < records; ++i)
        FlowRecord(body, Ip(192, 168, 1, 2), 40000, Ip(8, 8, 8, 8), 443, octets);
    return TTemplateDatagramBuilder(version, sequence, domain)
        .Template(FlowTemplateId, FlowFields())
        .Data(FlowTemplateId, body.Data, static_cast<int>(records))
        .Bytes();
}

// Datagrams 0 to 59 in order, then the exporter starts again at 0.
std::vector<std::int64_t> RestartAfterSixty()
{
    std::vector<std::int64_t> places;
    for (std::int64_t i = 0; i < 60; ++i)
        places.push_back(i);
    places.insert(places.end(), {0, 1, 2});
    return places;
}
}

TEST(DuplicatesAndRestarts, EachDatagramIsChargedOnceAndTheLossFigureIsNeverNegative)
{
    struct {
        const char* Name;
        std::uint32_t Records;  // per datagram
        std::int64_t First;     // the place of the first datagram
        // Datagrams by their place in the exporter's sequence: place p carries the
        // sequence (First + p) times the units of a datagram (v5 flows, v9 one
        // packet, IPFIX records), taken modulo 2^32.
        std::vector<std::int64_t> Places;
        int Charged;  // datagrams whose octets count
        int Lost;     // datagrams the loss figure shows
    } const cases[] = {
        {"in order", 1, 0, {0, 1, 2}, 3, 0},
        {"a duplicate not back to back (A, B, A)", 1, 0, {0, 1, 0}, 2, 0},
        {"a duplicate several datagrams later", 1, 0, {0, 1, 2, 3, 4, 1}, 5, 0},
        {"reordering (B before A)", 1, 0, {0, 2, 1}, 3, 0},
        {"a gap stays counted", 30, 1000, {0, 1, 3}, 3, 1},
        {"a gap, then the late datagram fills it", 1, 0, {0, 1, 3, 4, 2}, 5, 0},
        {"a late datagram fills one of two lost", 2, 0, {0, 3, 1}, 3, 1},
        {"the duplicate of a late datagram", 1, 0, {0, 2, 1, 3, 1}, 4, 0},
        {"repeats over and over", 3, 0, {0, 1, 2, 0, 1, 2, 1, 0, 2}, 3, 0},
        {"an exporter restart soon after its start", 1, 0, RestartAfterSixty(), 63, 0},
        {"the same with 5 records per datagram", 5, 0, RestartAfterSixty(), 63, 0},
        {"a restart keeps the loss counted before and adds none", 1, 0, {100, 102, 0, 1}, 4, 1},
        {"a restart far behind", 30, 0, {5000, 5001, 0, 1}, 4, 0},
        {"sequences wrap", 30, -2, {0, 1, 2, 3}, 4, 0},
        {"a late datagram across the wrap", 5, -1, {0, 2, 1, 3}, 4, 0},
        {"a gap across the wrap", 1, -1, {0, 2}, 2, 1},
    };
    for (const std::uint16_t version : AllVersions) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(version) + ": " + c.Name);
            TDaten d = Store();
            const std::int64_t units = version == 9 ? 1 : c.Records;
            std::string negative;  // the first negative loss figure on the way
            for (const std::int64_t place : c.Places) {
                const auto sequence = static_cast<std::uint32_t>((c.First + place) * units);
                const TDatagramOutcome outcome =
                    AccountFlowDatagram(d, Datagram(version, sequence, c.Records), Router, Noon, SenderPort);
                ASSERT_FALSE(outcome.Failed()) << outcome.Error;
                if (negative.empty() && d.RouterPLoss[0].front() == '-')
                    negative = d.RouterPLoss[0] + " after the datagram at " + std::to_string(sequence);
            }
            EXPECT_EQ(negative, "");
            const std::string octets = std::to_string(std::int64_t{c.Charged} * c.Records * Octets);
            EXPECT_EQ(d.UserUL.Text(0), octets);
            EXPECT_EQ(d.RouterUpload.Text(0), octets);
            EXPECT_EQ(d.RouterPLoss[0], std::to_string(c.Lost * units)) << "the figure aktrouter.ploss exports";
        }
    }
}

TEST(DuplicatesAndRestarts, SourceIdsMadeUpUnderTheRoutersAddressLeaveItsFollowerAlone)
{
    for (const std::uint16_t version : TemplateVersions) {
        SCOPED_TRACE(version);
        TDaten d = Store();
        const auto send = [&](std::uint32_t sequence, std::uint32_t domain, std::uint32_t octets) {
            ASSERT_FALSE(AccountFlowDatagram(d, Datagram(version, sequence, 1, domain, octets), Router, Noon, SenderPort)
                             .Failed());
        };
        for (std::uint32_t sequence = 0; sequence < 10; ++sequence)
            send(sequence, 0, Octets);
        // A sender using the router's address with more source IDs than are followed.
        constexpr std::uint32_t madeUp = SequenceFollowers::MaxPerRouter + 1;
        for (std::uint32_t domain = 1; domain <= madeUp; ++domain)
            send(77777, domain, 1);
        // The real exporter goes on after a real gap of 4073 datagrams.
        send(10 + 4073, 0, Octets);
        send(10 + 4074, 0, Octets);

        EXPECT_EQ(d.RouterPLoss[0], "4073");
        const TRouterFlowState& state = d.RouterFlow[0];
        EXPECT_EQ(state.Followers.size(), SequenceFollowers::MaxPerRouter);
        EXPECT_EQ(state.UnfollowedDatagrams, madeUp - (SequenceFollowers::MaxPerRouter - 1))
            << "the datagrams of domains beyond the bound are counted";
        EXPECT_EQ(d.UnfollowedDatagrams, state.UnfollowedDatagrams) << "and in the store's sum the status line shows";
        // The real exporter's octets are exact; those of unfollowed domains are charged
        // unchecked, as those of any followed one would be.
        EXPECT_EQ(d.UserUL.Text(0), std::to_string(12 * Octets + madeUp));
    }
}
