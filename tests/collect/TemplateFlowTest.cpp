#include "FlowAccounting.h"
#include "FlowDatagramBuilder.h"
#include "TDaten.h"
#include "TIpAddress.h"
#include "TTemplateFlow.h"
#include "TemplateDatagramBuilder.h"
#include "TextForms.h"

#include <gtest/gtest.h>

#include <functional>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
const std::string Router = "192.168.1.1";
constexpr std::uint16_t Versions[] = {9, 10};

// Two flows of one client: 1000 octets up, 3000 down.
std::vector<std::uint8_t> TwoFlows()
{
    TBytes out;
    FlowRecord(out, Ip(192, 168, 1, 2), 40000, Ip(8, 8, 8, 8), 443, 1000);
    FlowRecord(out, Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 2), 40000, 3000);
    return out.Data;
}

class TemplateFlowTest : public ::testing::Test {
protected:
    TemplateFlowTest() { Reset(); }

    void Reset()
    {
        d = TDaten();
        d.LocalSubnets = {"192.168.1"};
        d.AddUser("192.168.1.2", "02:00:00:00:00:02", "eth1", Noon);
    }

    TDatagramOutcome Send(const TTemplateDatagramBuilder& datagram, const TLocalTime& now = Noon,
                          std::uint16_t port = 50000)
    {
        return AccountFlowDatagram(d, datagram.Bytes(), Router, now, port);
    }
    TDatagramOutcome Send(const std::vector<std::uint8_t>& bytes, const TLocalTime& now = Noon)
    {
        return AccountFlowDatagram(d, bytes, Router, now, 50000);
    }

    std::string UL() const { return d.UserUL.Text(0); }
    std::string DL() const { return d.UserDL.Text(0); }

    TDaten d;
};

TLocalTime After(int seconds)
{
    return TLocalTime::FromCivil(2026, 12, 10, 12, seconds / 60, seconds % 60);
}
}

TEST_F(TemplateFlowTest, RecordsAreChargedExactlyAsTheSameFlowsInVersion5)
{
    TDaten v5;
    v5.LocalSubnets = d.LocalSubnets;
    v5.AddUser("192.168.1.2", "02:00:00:00:00:02", "eth1", Noon);
    AccountFlowDatagram(v5,
                        TFlowDatagramBuilder(7)
                            .Add(Ip(192, 168, 1, 2), 40000, Ip(8, 8, 8, 8), 443, 1000)
                            .Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 2), 40000, 3000)
                            .Bytes(),
                        Router, Noon);
    for (std::uint16_t version : Versions) {
        SCOPED_TRACE(version);
        Reset();
        const TDatagramOutcome outcome =
            Send(TTemplateDatagramBuilder(version, 7).Template(FlowTemplateId, FlowFields()).Data(FlowTemplateId, TwoFlows(), 2));
        ASSERT_FALSE(outcome.Failed()) << outcome.Error;
        EXPECT_EQ(UL(), v5.UserUL.Text(0));
        EXPECT_EQ(DL(), v5.UserDL.Text(0));
        EXPECT_EQ(d.UserCUL.Text(0), v5.UserCUL.Text(0));
        EXPECT_EQ(d.UserCDL.Text(0), v5.UserCDL.Text(0));
        EXPECT_EQ(d.UserCPort[0].ToText(), v5.UserCPort[0].ToText());
        EXPECT_EQ(d.RouterUpload.Text(0), v5.RouterUpload.Text(0));
        EXPECT_EQ(d.RouterDownload.Text(0), v5.RouterDownload.Text(0));
        EXPECT_EQ(d.RouterPortTrafficUL[0].ToText(), v5.RouterPortTrafficUL[0].ToText());
        EXPECT_EQ(d.RouterPortTrafficDL[0].ToText(), v5.RouterPortTrafficDL[0].ToText());
        for (int i = 148; i < 150; ++i) {
            EXPECT_EQ(d.FlowLogSrcIP[i], v5.FlowLogSrcIP[i]);
            EXPECT_EQ(d.FlowLogDstPort[i], v5.FlowLogDstPort[i]);
            EXPECT_EQ(d.FlowLogTraffic[i], v5.FlowLogTraffic[i]);
        }
        ASSERT_TRUE(outcome.Memo.has_value());
        EXPECT_EQ(*outcome.Memo,
                  (std::vector<std::string>{"IP:192.168.1.1", version == 9 ? "FS:7 Count :3" : "FS:7 Count :2"}));
        EXPECT_EQ(d.RouterCount(), 1u);
    }
}

TEST_F(TemplateFlowTest, DataBeforeItsTemplateIsHeldAndChargedWhenTheTemplateComes)
{
    struct {
        const char* Name;
        int TemplateAfterSeconds;
        const char *UL, *DL;
        std::uint64_t Expired;
    } const cases[] = {
        {"template at once", 0, "1000", "3000", 0},
        {"template within the hold time", 60, "1000", "3000", 0},
        {"template too late", 61, "0", "0", 2},
    };
    for (std::uint16_t version : Versions) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(version) + " " + c.Name);
            Reset();
            // Two data datagrams of the same template, as after an exporter restart.
            TBytes first;
            FlowRecord(first, Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 1000);
            TBytes second;
            FlowRecord(second, Ip(8, 8, 8, 8), 80, Ip(192, 168, 1, 2), 1, 3000);
            const TDatagramOutcome held = Send(TTemplateDatagramBuilder(version, 1).Data(FlowTemplateId, first.Data));
            EXPECT_FALSE(held.Failed()) << held.Error;
            Send(TTemplateDatagramBuilder(version, 2).Data(FlowTemplateId, second.Data));
            EXPECT_EQ(UL(), "0");
            EXPECT_EQ(d.FlowLogTraffic[149], "0");
            EXPECT_GT(d.FlowHeldBytes, 0u);

            const TDatagramOutcome known =
                Send(TTemplateDatagramBuilder(version, 3).Template(FlowTemplateId, FlowFields()), After(c.TemplateAfterSeconds));
            EXPECT_FALSE(known.Failed()) << known.Error;
            EXPECT_EQ(UL(), c.UL);
            EXPECT_EQ(DL(), c.DL);
            EXPECT_EQ(d.FlowHeldExpired, c.Expired);
            EXPECT_EQ(d.FlowHeldBytes, 0u);
            EXPECT_EQ(known.Notice.empty(), c.Expired == 0) << known.Notice;
            if (c.Expired == 0) {
                EXPECT_EQ(d.FlowLogTraffic[148], "1000") << "held data keeps its order";
                EXPECT_EQ(d.FlowLogTraffic[149], "3000");
            }
            // The held records were not counted when they came; the sequence goes on
            // from the next datagram without a loss.
            Send(TTemplateDatagramBuilder(version, version == 9 ? 4 : 3).Data(FlowTemplateId, first.Data),
                 After(c.TemplateAfterSeconds));
            EXPECT_EQ(d.RouterPLoss[0], "0");
        }
    }
}

TEST_F(TemplateFlowTest, HeldDataIsBounded)
{
    // Far more unknown data than may be held: memory stays bounded, the rest is counted.
    TBytes body;
    body.Fill(1400, 1);
    std::size_t dropped = 0;
    for (std::uint32_t i = 0; i < 2000; ++i) {
        const TDatagramOutcome outcome =
            Send(TTemplateDatagramBuilder(10, i * 100).Data(static_cast<std::uint16_t>(300 + i % 50), body.Data, 100));
        EXPECT_FALSE(outcome.Failed());
        dropped += outcome.Notice.empty() ? 0 : 1;
    }
    EXPECT_LE(d.FlowHeldBytes, FlowTemplates::MaxHeldBytesPerRouter);
    EXPECT_GT(dropped, 0u);
    EXPECT_GT(d.FlowHeldExpired, 0u);
}

// Templates of variable layout keep their field lists: one sender describing hundreds
// of fields under many IDs must not take megabytes. The oldest give way, the newest and
// the router's own template, sent again, stay usable.
TEST_F(TemplateFlowTest, TemplatesOfOneRouterAreBoundedInBytes)
{
    const std::vector<TTestField> wide(400, TTestField{82, 65535});
    for (std::uint16_t id = 300; id < 500; ++id) {
        const TDatagramOutcome outcome = Send(TTemplateDatagramBuilder(10, 0).Template(id, wide));
        ASSERT_FALSE(outcome.Failed()) << outcome.Error;
    }
    const TRouterFlowState& state = d.RouterFlow[0];
    std::size_t bytes = 0;
    for (const TFlowTemplate& tmpl : state.Templates)
        bytes += FlowTemplates::TemplateBytes(tmpl);
    EXPECT_LE(bytes, FlowTemplates::MaxTemplateBytesPerRouter);
    ASSERT_FALSE(state.Templates.empty());
    EXPECT_EQ(state.Templates.back().Id, 499);

    // The router's flow template still arrives and counts after the flood.
    const TDatagramOutcome flows =
        Send(TTemplateDatagramBuilder(10, 0).Template(FlowTemplateId, FlowFields()).Data(FlowTemplateId, TwoFlows(), 2));
    ASSERT_FALSE(flows.Failed()) << flows.Error;
    EXPECT_EQ(UL(), "1000");
}

TEST_F(TemplateFlowTest, WithdrawalAndRedefinitionReplaceTheTemplate)
{
    // The redefined template: 8-byte octets first, then the addresses and ports.
    const std::vector<TTestField> redefined = {{1, 8}, {8, 4}, {12, 4}, {7, 2}, {11, 2}};
    TBytes redefinedRecord;
    redefinedRecord.U64(5'000'000'000ULL).Ip(192, 168, 1, 2).Ip(8, 8, 8, 8).U16(1).U16(443);
    TBytes oneFlow;
    FlowRecord(oneFlow, Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 100);

    struct {
        const char* Name;
        std::uint16_t Version;
        std::function<void(TTemplateDatagramBuilder&)> Change;
        bool DataHeld;  // the next data waits for a template
    } const cases[] = {
        {"IPFIX withdrawal of one template", 10, [](auto& b) { b.Withdraw(FlowTemplateId); }, true},
        {"IPFIX withdrawal of all templates", 10, [](auto& b) { b.Withdraw(2); }, true},
        {"IPFIX withdrawal of another template", 10, [](auto& b) { b.Withdraw(FlowTemplateId + 1); }, false},
        {"IPFIX withdrawal of all options templates", 10, [](auto& b) { b.Withdraw(3, true); }, false},
        {"v9 redefinition", 9, [&](auto& b) { b.Template(FlowTemplateId, redefined); }, false},
        {"IPFIX redefinition", 10, [&](auto& b) { b.Template(FlowTemplateId, redefined); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        ASSERT_FALSE(Send(TTemplateDatagramBuilder(c.Version, 1).Template(FlowTemplateId, FlowFields()).Data(FlowTemplateId, oneFlow.Data)).Failed());
        EXPECT_EQ(UL(), "100");
        TTemplateDatagramBuilder change(c.Version, 2);
        c.Change(change);
        ASSERT_FALSE(Send(change).Failed());
        const bool isRedefinition = std::string(c.Name).find("redefinition") != std::string::npos;
        const auto& data = isRedefinition ? redefinedRecord.Data : oneFlow.Data;
        ASSERT_FALSE(Send(TTemplateDatagramBuilder(c.Version, 3).Data(FlowTemplateId, data)).Failed());
        EXPECT_EQ(UL(), c.DataHeld ? "100" : isRedefinition ? "5000000100" : "200");
        if (c.DataHeld) {
            // The template defined again releases the data that waited for it.
            ASSERT_FALSE(Send(TTemplateDatagramBuilder(c.Version, 4).Template(FlowTemplateId, FlowFields())).Failed());
            EXPECT_EQ(UL(), "200");
        }
    }
}

TEST_F(TemplateFlowTest, OptionsDataIsReadPastAndNotCountedAsFlows)
{
    TBytes options;  // two option records: interface index 4 bytes, sampling interval 4 bytes
    options.U32(1).U32(100).U32(2).U32(100);
    TBytes flow;
    FlowRecord(flow, Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 100);
    for (std::uint16_t version : Versions) {
        SCOPED_TRACE(version);
        Reset();
        const TDatagramOutcome outcome = Send(TTemplateDatagramBuilder(version, 10)
                                                  .OptionsTemplate(257, {{10, 4}}, {{34, 4}})
                                                  .Data(257, options.Data, 2)
                                                  .Template(FlowTemplateId, FlowFields())
                                                  .Data(FlowTemplateId, flow.Data));
        ASSERT_FALSE(outcome.Failed()) << outcome.Error;
        EXPECT_EQ(UL(), "100");
        EXPECT_EQ(d.FlowLogTraffic[149], "100");
        EXPECT_EQ(d.FlowLogTraffic[148], "0") << "options records are no flows";
        // IPFIX sequences count options records too: 10 + 2 + 1.
        EXPECT_EQ(d.RouterRecordCount.Text(0), version == 10 ? "13" : "11");
        // Options data before its options template is not charged either.
        ASSERT_FALSE(Send(TTemplateDatagramBuilder(version, version == 10 ? 13 : 11).Data(258, options.Data, 2)).Failed());
        ASSERT_FALSE(Send(TTemplateDatagramBuilder(version, version == 10 ? 13 : 12).OptionsTemplate(258, {{10, 4}}, {{34, 4}})).Failed());
        EXPECT_EQ(UL(), "100");
        EXPECT_EQ(d.FlowLogTraffic[148], "0");
    }
}

TEST_F(TemplateFlowTest, VariableLengthAndEnterpriseFieldsAreReadPast)
{
    struct {
        const char* Name;
        std::vector<TTestField> Fields;
        std::vector<std::uint8_t> Before;  // bytes of the record before the standard fields
    } const cases[] = {
        {"short variable length", {{82, 65535}}, {3, 'e', 't', 'h'}},
        {"empty variable field", {{82, 65535}}, {0}},
        {"long variable length", {{82, 65535}}, [] {
             TBytes b;
             b.U8(255).U16(300).Fill(300, 'x');
             return b.Data;
         }()},
        {"enterprise field with the number of octets", {{1, 4, 29305}}, {0, 0, 0x99, 0x99}},
        {"variable enterprise field", {{1, 65535, 29305}}, {2, 0x99, 0x99}},
        {"two variable fields", {{82, 65535}, {83, 65535}}, {1, 'a', 2, 'b', 'c'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        std::vector<TTestField> fields = c.Fields;
        for (const TTestField& field : FlowFields())
            fields.push_back(field);
        TBytes body;
        for (int i = 0; i < 2; ++i) {
            body.Raw(c.Before);
            FlowRecord(body, Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 100 + i);
        }
        body.Fill(3, 0);  // padding, shorter than any record
        TTemplateDatagramBuilder b(10, 1);
        b.Set(2, [&] {
            TBytes t;
            t.U16(FlowTemplateId).U16(static_cast<std::uint32_t>(fields.size()));
            for (const TTestField& field : fields) {
                if (field.Enterprise != 0)
                    t.U16(field.Id | 0x8000u).U16(field.Length).U32(field.Enterprise);
                else
                    t.U16(field.Id).U16(field.Length);
            }
            return t.Data;
        }());
        b.Data(FlowTemplateId, body.Data, 2);
        const TDatagramOutcome outcome = Send(b);
        ASSERT_FALSE(outcome.Failed()) << outcome.Error;
        EXPECT_EQ(UL(), "201");
        EXPECT_EQ(d.RouterRecordCount.Text(0), "3") << "two data records";
    }
}

// A template may carry both address pairs, each record filling only one with a real
// address; IPv4 is read where the template has both IPv4 addresses.
TEST_F(TemplateFlowTest, AddressPairOfATemplateWithBothFamilies)
{
    const std::vector<TTestField> v4 = {{8, 4}, {12, 4}};
    const std::vector<TTestField> v6 = {{27, 16}, {28, 16}};
    const auto join = [](std::vector<TTestField> a, const std::vector<TTestField>& b) {
        a.insert(a.end(), b.begin(), b.end());
        a.push_back({1, 4});
        return a;
    };
    struct {
        const char* Name;
        std::vector<TTestField> Fields;
    } const cases[] = {
        {"IPv4 pair first", join(v4, v6)},
        {"IPv6 pair first", join(v6, v4)},
        {"pairs interleaved", {{27, 16}, {8, 4}, {28, 16}, {12, 4}, {1, 4}}},
    };
    // The IPv6 slots of these records hold addresses of no user.
    const std::vector<std::uint8_t> foreign6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
    for (std::uint16_t version : Versions) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(version) + " " + c.Name);
            Reset();
            TBytes record;
            for (const TTestField& field : c.Fields) {
                if (field.Id == 8)
                    record.Ip(192, 168, 1, 2);
                else if (field.Id == 12)
                    record.Ip(8, 8, 8, 8);
                else if (field.Length == 16)
                    record.Raw(foreign6);
                else
                    record.U32(700);
            }
            const TDatagramOutcome outcome =
                Send(TTemplateDatagramBuilder(version, 1).Template(FlowTemplateId, c.Fields).Data(FlowTemplateId, record.Data));
            ASSERT_FALSE(outcome.Failed()) << outcome.Error;
            EXPECT_EQ(UL(), "700") << "charged to the IPv4 source";
            EXPECT_EQ(DL(), "0");
        }
    }
}

TEST_F(TemplateFlowTest, OctetsInEveryEncodedSize)
{
    struct {
        std::uint16_t Length;
        std::uint64_t Octets;
        const char* Expected;
    } const cases[] = {
        {1, 200, "200"},
        {2, 65535, "65535"},
        {3, 0x123456, "1193046"},
        {4, 4'294'967'295ULL, "4294967295"},
        {8, 5'000'000'000ULL, "5000000000"},
        {8, 0x7FFF'FFFF'FFFF'FFFFULL, "9223372036854775807"},
    };
    for (std::uint16_t version : Versions) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(version) + " octets in " + std::to_string(c.Length) + " bytes");
            Reset();
            TBytes record;
            record.Ip(192, 168, 1, 2).Ip(8, 8, 8, 8).N(c.Octets, c.Length);
            const TDatagramOutcome outcome = Send(TTemplateDatagramBuilder(version, 1)
                                                      .Template(FlowTemplateId, {{8, 4}, {12, 4}, {1, c.Length}})
                                                      .Data(FlowTemplateId, record.Data));
            ASSERT_FALSE(outcome.Failed()) << outcome.Error;
            EXPECT_EQ(UL(), c.Expected);
            EXPECT_EQ(d.FlowLogTraffic[149], c.Expected);
        }
    }
}

TEST_F(TemplateFlowTest, UnknownVersionsAreRejectedBeforeAnythingChanges)
{
    for (int version : {0, 1, 6, 7, 8, 11, 0x0500, 0xFFFF}) {
        SCOPED_TRACE(version);
        Reset();
        std::vector<std::uint8_t> bytes =
            TFlowDatagramBuilder(1).Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 100).Bytes();
        bytes[0] = static_cast<std::uint8_t>(version >> 8);
        bytes[1] = static_cast<std::uint8_t>(version);
        const TDatagramOutcome outcome = Send(bytes);
        EXPECT_TRUE(outcome.Failed());
        EXPECT_NE(outcome.Error.find("unbekannter Version " + std::to_string(version)), std::string::npos)
            << outcome.Error;
        EXPECT_FALSE(outcome.Memo.has_value());
        EXPECT_EQ(d.RouterCount(), 0u);
        EXPECT_EQ(UL(), "0");
        EXPECT_EQ(d.FlowLogTraffic[149], "0");
    }
}

TEST_F(TemplateFlowTest, MalformedSetsStopTheDatagramAndKeepWhatCameBefore)
{
    TBytes flow;
    FlowRecord(flow, Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 100);
    struct {
        const char* Name;
        std::uint16_t Version;
        std::function<void(TTemplateDatagramBuilder&)> Fault;
        const char* Error;
    } const cases[] = {
        {"set length past the end", 10, [](auto& b) { b.Set(300, {1, 2, 3, 4}, 200); }, "reicht über das Ende"},
        {"v9 set length past the end", 9, [](auto& b) { b.Set(300, {1, 2, 3, 4}, 9); }, "reicht über das Ende"},
        {"set length below its header", 10, [](auto& b) { b.Set(300, {1, 2, 3, 4}, 3); }, "mit Länge 3"},
        {"v9 template with zero fields", 9, [](auto& b) { b.Set(0, {1, 1, 0, 0}); }, "Vorlage 257 ohne Felder"},
        {"IPFIX options template without scope", 10, [](auto& b) { b.Set(3, {1, 1, 0, 1, 0, 0, 0, 10, 0, 4}); },
         "0 Bereichsfeldern"},
        {"template past its set", 10, [](auto& b) { b.Set(2, {1, 1, 0, 2, 0, 8, 0, 4}); }, "reicht über das Set-Ende"},
        {"template with a small ID", 9, [](auto& b) { b.Template(255, {{8, 4}, {12, 4}}); }, "Nummer 255"},
        {"IPv4 address of 3 bytes", 10, [](auto& b) { b.Template(257, {{8, 3}, {12, 4}}); }, "Feld 8 mit Länge 3 passt nicht"},
        {"octets of 9 bytes", 9, [](auto& b) { b.Template(257, {{8, 4}, {12, 4}, {1, 9}}); }, "Feld 1 mit Länge 9"},
        {"port of 3 bytes", 10, [](auto& b) { b.Template(257, {{8, 4}, {12, 4}, {7, 3}}); }, "Feld 7 mit Länge 3"},
        {"variable-length address", 10, [](auto& b) { b.Template(257, {{8, 65535}, {12, 4}}); }, "Feld 8 mit Länge 65535"},
        {"records of length 0", 9, [](auto& b) { b.Template(257, {{82, 0}}); }, "ohne Länge"},
        {"variable field past its set", 10,
         [](auto& b) {
             b.Template(257, {{82, 65535}, {8, 4}, {12, 4}});
             b.Data(257, {20, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'});
         },
         "Feld 82 reicht über das Set-Ende"},
        {"variable field one byte past its set", 10,
         [](auto& b) {
             b.Template(257, {{8, 4}, {12, 4}, {82, 65535}});
             b.Data(257, {192, 168, 1, 2, 8, 8, 8, 8, 3, 'a', 'b'});
         },
         "Feld 82 reicht über das Set-Ende"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        ASSERT_FALSE(Send(TTemplateDatagramBuilder(c.Version, 1).Template(FlowTemplateId, FlowFields()).Data(FlowTemplateId, flow.Data)).Failed());
        const std::string lossBefore = d.RouterPLoss[0];
        const std::string expectedBefore = d.RouterRecordCount.Text(0);
        TTemplateDatagramBuilder b(c.Version, 2);
        b.Data(FlowTemplateId, flow.Data);
        c.Fault(b);
        b.Data(FlowTemplateId, flow.Data);  // after the fault: never reached
        const TDatagramOutcome outcome = Send(b);
        EXPECT_TRUE(outcome.Failed());
        EXPECT_NE(outcome.Error.find(c.Error), std::string::npos) << outcome.Error;
        EXPECT_NE(outcome.Error.find(c.Version == 9 ? "NetFlow-v9" : "IPFIX"), std::string::npos) << outcome.Error;
        EXPECT_FALSE(outcome.Memo.has_value());
        EXPECT_EQ(UL(), "200") << "the set before the fault stays counted, the one after is not reached";
        EXPECT_EQ(d.RouterRecordCount.Text(0), expectedBefore) << "the loss figure is not touched";
        EXPECT_EQ(d.RouterPLoss[0], lossBefore);
    }
}

TEST_F(TemplateFlowTest, ShortOrOversizedHeadersAreMalformed)
{
    struct {
        const char* Name;
        std::vector<std::uint8_t> Bytes;
    } const cases[] = {
        {"v9 header cut", {0, 9, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"IPFIX header cut", {0, 10, 0, 16, 0, 0, 0, 0}},
        {"IPFIX length beyond the datagram", {0, 10, 0, 40, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}},
        {"IPFIX length below its header", {0, 10, 0, 15, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}},
        {"longer than the receive buffer", [] {
             std::vector<std::uint8_t> b(2049, 0);
             b[1] = 9;
             return b;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        const TDatagramOutcome outcome = Send(c.Bytes);
        EXPECT_TRUE(outcome.Failed());
        EXPECT_EQ(d.RouterCount(), 0u);
    }
}

TEST_F(TemplateFlowTest, LossFigureCountsPacketsInV9AndRecordsInIpfix)
{
    struct {
        const char* Name;
        std::uint16_t Version;
        std::vector<std::pair<std::uint32_t, int>> Datagrams;  // sequence, data records (-1: templates only)
        const char* Loss;
        const char* Expected;
    } const cases[] = {
        {"v9 lossless", 9, {{10, 2}, {11, 2}, {12, 1}}, "0", "13"},
        {"v9 one packet lost", 9, {{10, 2}, {12, 2}}, "1", "12"},
        {"v9 template packet counts as a packet", 9, {{10, 2}, {11, -1}, {12, 2}}, "0", "13"},
        {"v9 repeat changes nothing", 9, {{10, 2}, {11, 2}, {11, 2}, {12, 2}}, "0", "13"},
        {"v9 restart", 9, {{5000, 2}, {5002, 2}, {0, 2}, {1, 2}}, "1", "2"},
        {"IPFIX lossless", 10, {{0, 3}, {3, 2}, {5, 1}}, "0", "6"},
        {"IPFIX records lost", 10, {{0, 3}, {6, 2}}, "3", "5"},
        {"IPFIX templates carry the next data's sequence", 10, {{0, 3}, {3, -1}, {3, 2}}, "0", "5"},
        {"IPFIX repeat changes nothing", 10, {{0, 3}, {3, 2}, {3, 2}, {5, 1}}, "0", "6"},
        {"IPFIX restart", 10, {{90000, 3}, {90003, 3}, {0, 3}, {3, 1}}, "0", "4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Reset();
        for (const auto& [sequence, records] : c.Datagrams) {
            TTemplateDatagramBuilder b(c.Version, sequence);
            b.Template(FlowTemplateId, FlowFields());
            if (records > 0) {
                TBytes body;
                for (int i = 0; i < records; ++i)
                    FlowRecord(body, Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 1);
                b.Data(FlowTemplateId, body.Data, records);
            }
            ASSERT_FALSE(Send(b).Failed());
        }
        EXPECT_EQ(d.RouterPLoss[0], c.Loss);
        EXPECT_EQ(d.RouterRecordCount.Text(0), c.Expected);
    }
}

TEST_F(TemplateFlowTest, RepeatedDatagramIsChargedOnce)
{
    for (std::uint16_t version : Versions) {
        SCOPED_TRACE(version);
        Reset();
        const auto datagram = TTemplateDatagramBuilder(version, 5).Template(FlowTemplateId, FlowFields()).Data(FlowTemplateId, TwoFlows(), 2);
        Send(datagram);
        const TDatagramOutcome again = Send(datagram);
        EXPECT_FALSE(again.Failed());
        EXPECT_FALSE(again.Memo.has_value());
        EXPECT_EQ(UL(), "1000");
        EXPECT_EQ(DL(), "3000");
        // The same sequence from another IPFIX session (port) or domain is no repeat.
        Send(datagram, Noon, 50001);
        EXPECT_EQ(UL(), version == 10 ? "2000" : "1000");
        Send(TTemplateDatagramBuilder(version, 5, 7).Template(FlowTemplateId, FlowFields()).Data(FlowTemplateId, TwoFlows(), 2));
        EXPECT_EQ(UL(), version == 10 ? "3000" : "2000");
        EXPECT_EQ(d.RouterCount(), 1u) << "one row per sender address";
    }
}

TEST_F(TemplateFlowTest, DomainsAreFollowedApartAndTheirLossesAdded)
{
    for (std::uint16_t version : Versions) {
        SCOPED_TRACE(version);
        Reset();
        const std::uint32_t step = version == 9 ? 1 : 2;  // packets or records per datagram
        // Domain 1 loses one datagram, domain 2 two; they interleave.
        const std::pair<std::uint32_t, std::uint32_t> datagrams[] = {
            {1, 0}, {2, 100}, {1, step}, {2, 100 + 3 * step}, {1, 3 * step}, {2, 100 + 4 * step},
        };
        for (const auto& [domain, sequence] : datagrams) {
            ASSERT_FALSE(Send(TTemplateDatagramBuilder(version, sequence, domain)
                                  .Template(FlowTemplateId, FlowFields())
                                  .Data(FlowTemplateId, TwoFlows(), 2))
                             .Failed());
        }
        EXPECT_EQ(d.RouterPLoss[0], std::to_string(3 * step));
        EXPECT_EQ(UL(), "6000");
    }
}

TEST_F(TemplateFlowTest, TemplatesAreKeptPerExporterAndDomain)
{
    TBytes flow;
    FlowRecord(flow, Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 100);
    for (std::uint16_t version : Versions) {
        SCOPED_TRACE(version);
        Reset();
        Send(TTemplateDatagramBuilder(version, 1, 1).Template(FlowTemplateId, FlowFields()));
        // Another domain, another sender and (for IPFIX) another session do not know it.
        Send(TTemplateDatagramBuilder(version, 1, 2).Data(FlowTemplateId, flow.Data));
        AccountFlowDatagram(d, TTemplateDatagramBuilder(version, 1, 1).Data(FlowTemplateId, flow.Data).Bytes(),
                            "192.168.1.254", Noon, 50000);
        Send(TTemplateDatagramBuilder(version, 2, 1).Data(FlowTemplateId, flow.Data), Noon, 50001);
        EXPECT_EQ(UL(), version == 9 ? "100" : "0") << "v9 keys templates by sender address only";
        Send(TTemplateDatagramBuilder(version, 3, 1).Data(FlowTemplateId, flow.Data));
        EXPECT_EQ(UL(), version == 9 ? "200" : "100");
    }
}

TEST(TemplateDecoding, AddressesMacsAndProtocolReachTheRecord)
{
    struct TCapture final : TFlowSink {
        void Take(std::span<TFlowRecord> records) override { Records.insert(Records.end(), records.begin(), records.end()); }
        std::vector<TFlowRecord> Records;
    };
    TBytes record;
    const std::uint8_t src6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const std::uint8_t dst6[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    for (std::uint8_t b : src6)
        record.U8(b);
    for (std::uint8_t b : dst6)
        record.U8(b);
    record.U16(546).U16(547).U8(17).U64(1234);
    record.Raw({2, 0, 0, 0, 0, 0x60}).Raw({2, 0, 0, 0, 0, 0x61});
    for (std::uint16_t version : Versions) {
        SCOPED_TRACE(version);
        const auto bytes = TTemplateDatagramBuilder(version, 1)
                               .Template(FlowTemplateId, {{27, 16}, {28, 16}, {7, 2}, {11, 2}, {4, 1}, {1, 8}, {56, 6}, {57, 6}})
                               .Data(FlowTemplateId, record.Data)
                               .Bytes();
        const TTemplateMessage message = DecodeTemplateMessage(bytes);
        TRouterFlowState state;
        std::size_t held = 0;
        TCapture capture;
        const TSetsResult result = ReadTemplateSets(bytes, message, TemplateSessionKey(message, 1), state, held, 0, capture);
        EXPECT_EQ(result.DataRecords, 1u);
        ASSERT_EQ(capture.Records.size(), 1u);
        const TFlowRecord& r = capture.Records[0];
        EXPECT_EQ(r.AddressLength, 16);
        EXPECT_EQ(TIpAddress::FromV6(r.SrcAddr).Text(), "2001:db8::1");
        EXPECT_EQ(TIpAddress::FromV6(r.DstAddr).Text(), "fe80::2");
        EXPECT_EQ(r.SrcPort, 546);
        EXPECT_EQ(r.DstPort, 547);
        EXPECT_EQ(r.Protocol, 17);
        EXPECT_EQ(r.Octets, 1234);
        ASSERT_NE(r.SrcMac, nullptr);
        ASSERT_NE(r.DstMac, nullptr);
        EXPECT_EQ(r.SrcMac[5], 0x60);
        EXPECT_EQ(r.DstMac[5], 0x61);
    }
}
