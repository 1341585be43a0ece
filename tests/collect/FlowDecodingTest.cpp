#include "Errors.h"
#include "FlowAccounting.h"
#include "FlowDatagramBuilder.h"
#include "TDaten.h"
#include "TFlowDatagram.h"
#include "TextForms.h"

#include <gtest/gtest.h>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

std::vector<std::uint8_t> TwoFlows()
{
    return TFlowDatagramBuilder(77)
        .Add(Ip(10, 0, 0, 1), 1111, Ip(8, 8, 8, 8), 53, 100)
        .Add(Ip(10, 0, 0, 2), 2222, Ip(1, 1, 1, 1), 443, 200)
        .Bytes();
}
}

TEST(FlowDecoding, ReadsTheFieldsBigEndianWithoutSign)
{
    // A header and one record written out byte by byte: sequence FF FF FF FF, octets
    // 80 00 00 00, version 9 (read as version 5 anyway).
    const std::vector<std::uint8_t> datagram = {
        0x00, 0x09, 0x00, 0x01,                          // version 9, count 1
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,              // uptime, secs, nsecs
        0xFF, 0xFF, 0xFF, 0xFF,                          // flow sequence
        0, 0, 0, 0,                                      // engine, sampling
        10, 0, 0, 1,                                     // srcaddr
        192, 168, 1, 10,                                 // dstaddr
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,              // nexthop, input, output, packets
        0x80, 0x00, 0x00, 0x00,                          // octets
        0, 0, 0, 0, 0, 0, 0, 0,                          // first, last
        0xFF, 0xFF,                                      // srcport 65535
        0x00, 0x50,                                      // dstport 80
    };
    const TFlowHeader header = DecodeFlowHeader(datagram);
    EXPECT_EQ(header.Count, 1u);
    EXPECT_EQ(header.Sequence, 4'294'967'295);
    const TFlowRecord record = DecodeFlowRecord(datagram, 0);
    EXPECT_EQ(DottedQuad(record.SrcAddr), "10.0.0.1");
    EXPECT_EQ(DottedQuad(record.DstAddr), "192.168.1.10");
    EXPECT_EQ(record.Octets, 2'147'483'648);
    EXPECT_EQ(record.SrcPort, 65535);
    EXPECT_EQ(record.DstPort, 80);
}

TEST(FlowDecoding, WhereADatagramIsCutDecidesWhatIsAccounted)
{
    // Bytes kept of a two-record datagram (or a count-only header) -> records accounted.
    struct {
        const char* Name;
        std::size_t Size;
        std::uint16_t Count;
        bool RouterCreated;
        int Accounted;
        bool Error;
    } const cases[] = {
        {"header cut before engine id", 21, 0, false, 0, true},
        {"22-byte header, count 0", 22, 0, true, 0, false},
        {"23-byte header, count 0", 23, 0, true, 0, false},
        {"24-byte header, count 0", 24, 0, true, 0, false},
        {"22-byte header, count 1", 22, 1, true, 0, true},
        {"second record ends at its destination port", 24 + 48 + 36, 2, true, 2, false},
        {"second record one byte short", 24 + 48 + 35, 2, true, 1, true},
        {"count larger than the records present", 24 + 2 * 48, 3, true, 2, true},
        {"count smaller than the records present", 24 + 2 * 48, 1, true, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::uint8_t> bytes = TwoFlows();
        bytes[2] = 0;
        bytes[3] = static_cast<std::uint8_t>(c.Count);
        bytes.resize(c.Size);
        TDaten d;
        d.LocalSubnets = {"10"};
        const TDatagramOutcome outcome = AccountFlowDatagram(d, bytes, "192.168.1.1", Noon);
        EXPECT_EQ(outcome.Failed(), c.Error) << outcome.Error;
        EXPECT_EQ(d.RouterCount(), c.RouterCreated ? 1u : 0u);
        int logged = 0;
        for (std::size_t i = 0; i < 150; ++i)
            logged += d.FlowLogSrcIP[i].empty() ? 0 : 1;
        EXPECT_EQ(logged, c.Accounted);
        if (c.RouterCreated) {
            EXPECT_EQ(d.RouterUpload.Text(0), c.Accounted == 2 ? "300" : c.Accounted == 1 ? "100" : "0");
        }
        EXPECT_EQ(outcome.Memo.has_value(), !c.Error) << "the memo is written only for a complete datagram";
    }
}

TEST(FlowDecoding, OversizedDatagramIsRejectedBeforeAnythingChanges)
{
    TDaten d;
    std::vector<std::uint8_t> bytes = TwoFlows();
    bytes.resize(2049);
    const TDatagramOutcome outcome = AccountFlowDatagram(d, bytes, "192.168.1.1", Noon);
    EXPECT_TRUE(outcome.Failed());
    EXPECT_NE(outcome.Error.find("2048"), std::string::npos) << outcome.Error;
    EXPECT_EQ(d.RouterCount(), 0u);

    bytes.resize(2048);  // exactly the buffer size is fine
    EXPECT_FALSE(AccountFlowDatagram(d, bytes, "192.168.1.1", Noon).Failed());
}

TEST(FlowDecoding, ShortDatagramRaisesARangeError)
{
    const std::vector<std::uint8_t> bytes(10, 0);
    EXPECT_THROW(DecodeFlowHeader(bytes), ERangeError);
    const std::vector<std::uint8_t> empty;
    EXPECT_THROW(DecodeFlowHeader(empty), ERangeError);
}
