#include "FlowAccounting.h"
#include "FlowDatagramBuilder.h"
#include "TDaten.h"
#include "TextForms.h"

#include <gtest/gtest.h>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
const TLocalTime Later = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 5);
const std::string Router = "192.168.1.1";

class FlowAccountingTest : public ::testing::Test {
protected:
    FlowAccountingTest()
    {
        d.LocalSubnets = {"192.168.1"};
        d.AddUser("192.168.1.2", "02:00:00:00:00:02", "eth1", Noon);
        d.AddUser("192.168.1.3", "02:00:00:00:00:03", "eth1", Noon);
    }

    TDatagramOutcome Send(const TFlowDatagramBuilder& datagram, const TLocalTime& now = Noon,
                          const std::string& from = Router)
    {
        return AccountFlowDatagram(d, datagram.Bytes(), from, now);
    }

    int User(const char* ip) const { return d.UserIP.IndexOf(ip); }

    TDaten d;
};

// A datagram of `count` flows between two non-local hosts.
TFlowDatagramBuilder Remote(std::uint32_t sequence, int count)
{
    TFlowDatagramBuilder b(sequence);
    for (int i = 0; i < count; ++i)
        b.Add(Ip(8, 8, 8, 8), 53, Ip(9, 9, 9, 9), 53, 1);
    return b;
}
}

TEST_F(FlowAccountingTest, FlowBetweenTwoLocalClientsIsUploadOfOneAndDownloadOfTheOther)
{
    d.ExportEnabled = true;  // the detailed export keeps the per-port interval lists
    const TDatagramOutcome outcome =
        Send(TFlowDatagramBuilder(4711).Add(Ip(192, 168, 1, 2), 40000, Ip(192, 168, 1, 3), 22, 1000));
    ASSERT_FALSE(outcome.Failed()) << outcome.Error;
    EXPECT_EQ(d.RouterUpload.Text(0), "1000");
    EXPECT_EQ(d.RouterDownload.Text(0), "1000");
    EXPECT_EQ(d.UserUL.Text(User("192.168.1.2")), "1000");
    EXPECT_EQ(d.UserCUL.Text(User("192.168.1.2")), "1000");
    EXPECT_EQ(d.UserDL.Text(User("192.168.1.2")), "0");
    EXPECT_EQ(d.UserDL.Text(User("192.168.1.3")), "1000");
    EXPECT_EQ(d.UserCDL.Text(User("192.168.1.3")), "1000");
    EXPECT_EQ(d.UserUL.Text(User("192.168.1.3")), "0");
    // Ports are keyed by the remote side: the destination port for upload.
    EXPECT_EQ(d.RouterPortTrafficUL[0].ToText(), "22:1000");
    EXPECT_EQ(d.RouterPortTrafficDL[0].ToText(), "40000:1000");
    EXPECT_EQ(d.UserLastTime[User("192.168.1.2")], StampText(Noon));
    EXPECT_EQ(d.UserLastTime[User("192.168.1.3")], StampText(Noon));
    // Each client's interval octets per remote port, for the detailed export.
    EXPECT_EQ(d.UserCPort[User("192.168.1.2")].ToText(), "22:1000");
    EXPECT_EQ(d.UserCPort[User("192.168.1.3")].ToText(), "40000:1000");
}

TEST_F(FlowAccountingTest, WhichSideIsChargedDependsOnlyOnTheLocalLists)
{
    struct {
        const char* Name;
        std::array<std::uint8_t, 4> Src, Dst;
        const char *RouterUL, *RouterDL, *PortsUL, *PortsDL;
        const char *UL2, *DL2;  // totals of user 192.168.1.2
    } const cases[] = {
        {"upload to the internet", Ip(192, 168, 1, 2), Ip(8, 8, 8, 8), "500", "0", "443:500", "", "500", "0"},
        {"download from the internet", Ip(8, 8, 8, 8), Ip(192, 168, 1, 2), "0", "500", "", "1234:500", "0", "500"},
        {"a client to itself", Ip(192, 168, 1, 2), Ip(192, 168, 1, 2), "500", "500", "443:500", "1234:500", "500",
         "500"},
        {"two remote hosts", Ip(8, 8, 8, 8), Ip(9, 9, 9, 9), "0", "0", "", "", "0", "0"},
        {"local address without a user row", Ip(192, 168, 1, 77), Ip(8, 8, 8, 8), "500", "0", "443:500", "", "0",
         "0"},
        {"hidden clients are counted like all others", Ip(192, 168, 1, 2), Ip(8, 8, 8, 8), "500", "0", "443:500",
         "", "500", "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TDaten fresh;
        d = std::move(fresh);
        d.LocalSubnets = {"192.168.1"};
        d.HideSubnets = {"192.168.1"};
        d.AddUser("192.168.1.2", "m", "eth1", Noon);
        ASSERT_FALSE(Send(TFlowDatagramBuilder(1).Add(c.Src, 1234, c.Dst, 443, 500)).Failed());
        EXPECT_EQ(d.RouterUpload.Text(0), c.RouterUL);
        EXPECT_EQ(d.RouterDownload.Text(0), c.RouterDL);
        EXPECT_EQ(d.RouterPortTrafficUL[0].ToText(), c.PortsUL);
        EXPECT_EQ(d.RouterPortTrafficDL[0].ToText(), c.PortsDL);
        EXPECT_EQ(d.UserUL.Text(0), c.UL2);
        EXPECT_EQ(d.UserCUL.Text(0), c.UL2);
        EXPECT_EQ(d.UserDL.Text(0), c.DL2);
        EXPECT_EQ(d.UserCDL.Text(0), c.DL2);
        EXPECT_EQ(d.UserCount(), 1u) << "accounting never creates users";
        EXPECT_EQ(d.FlowLogTraffic[149], "500") << "every flow is logged";
    }
}

TEST_F(FlowAccountingTest, EveryRecordIsLoggedNewestLast)
{
    Send(TFlowDatagramBuilder(1)
             .Add(Ip(8, 8, 8, 8), 53, Ip(9, 9, 9, 9), 54, 10)
             .Add(Ip(10, 0, 0, 1), 65535, Ip(192, 168, 1, 2), 0, 4'294'967'295U));
    EXPECT_EQ(d.FlowLogSrcIP[148], "8.8.8.8");
    EXPECT_EQ(d.FlowLogDstIP[148], "9.9.9.9");
    EXPECT_EQ(d.FlowLogSrcPort[148], "53");
    EXPECT_EQ(d.FlowLogDstPort[148], "54");
    EXPECT_EQ(d.FlowLogTraffic[148], "10");
    EXPECT_EQ(d.FlowLogSrcIP[149], "10.0.0.1");
    EXPECT_EQ(d.FlowLogDstIP[149], "192.168.1.2");
    EXPECT_EQ(d.FlowLogSrcPort[149], "65535");
    EXPECT_EQ(d.FlowLogDstPort[149], "0");
    EXPECT_EQ(d.FlowLogTraffic[149], "4294967295");
    EXPECT_EQ(d.FlowLogSrcIP[147], "");
    EXPECT_EQ(d.FlowLogTraffic[147], "0");
}

TEST_F(FlowAccountingTest, MemoShowsSenderSequenceAndCount)
{
    const TDatagramOutcome outcome = Send(Remote(4711, 2));
    ASSERT_TRUE(outcome.Memo.has_value());
    EXPECT_EQ(*outcome.Memo, (std::vector<std::string>{"IP:192.168.1.1", "FS:4711 Count :2"}));
    EXPECT_EQ(*Send(Remote(4294967295U, 0)).Memo, (std::vector<std::string>{"IP:192.168.1.1", "FS:4294967295 Count :0"}));
}

TEST_F(FlowAccountingTest, LossFigureCountsLostFlowsOnly)
{
    struct {
        const char* Name;
        std::vector<std::uint32_t> Sequences;  // 30 records each
        const char* Loss;
        const char* Expected;
    } const cases[] = {
        {"first datagram", {1000}, "0", "1030"},
        {"lossless exporter", {1000, 1030, 1060}, "0", "1090"},
        {"second datagram lost", {1000, 1060}, "30", "1060"},
        {"repeated datagram changes nothing", {1000, 1030, 1030, 1060}, "0", "1090"},
        {"loss stays counted afterwards", {1000, 1060, 1090}, "30", "1090"},
        {"exporter restart counts again from the new sequence", {1000, 1030, 0}, "0", "30"},
        {"restart keeps the flows lost before", {1000, 1060, 0, 30}, "30", "60"},
        {"a jump more than 1000 back is a restart", {5000, 5030, 4000, 4030}, "0", "4060"},
        {"a late datagram is no restart", {1000, 1060, 1030, 1090}, "0", "1120"},
        {"a jump past 2^31 is a restart, not two billion lost", {1000, 2147484679U, 2147484709U}, "0", "2147484739"},
        {"a jump of exactly 2^31 is no huge figure either", {0, 2147483678U}, "0", "2147483708"},
        {"sequence wraps at 2^32", {4294967250U, 4294967280U, 14}, "0", "44"},
        {"loss across the wrap", {4294967250U, 14}, "30", "14"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TDaten fresh;
        d = std::move(fresh);
        for (std::uint32_t sequence : c.Sequences)
            ASSERT_FALSE(Send(Remote(sequence, 30)).Failed());
        EXPECT_EQ(d.RouterPLoss[0], c.Loss);
        EXPECT_EQ(d.RouterRecordCount.Text(0), c.Expected);
    }
}

TEST_F(FlowAccountingTest, RepeatedDatagramIsNotCountedTwice)
{
    const auto datagram = TFlowDatagramBuilder(500).Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 700);
    Send(datagram, Noon);
    const TDatagramOutcome again = Send(datagram, Later);
    EXPECT_FALSE(again.Failed());
    EXPECT_FALSE(again.Memo.has_value()) << "the memo keeps the previous datagram";
    EXPECT_EQ(d.RouterUpload.Text(0), "700");
    EXPECT_EQ(d.UserUL.Text(0), "700");
    EXPECT_EQ(d.RouterTime[0], "12:00:00");
    EXPECT_EQ(d.FlowLogTraffic[148], "0") << "no second log entry";
    EXPECT_EQ(d.RouterRecordCount.Text(0), "501");

    Send(Remote(501, 1), Later);
    EXPECT_EQ(d.RouterSequenz.Text(0), "501");
    EXPECT_EQ(d.RouterTime[0], "12:00:05");
}

TEST_F(FlowAccountingTest, RoutersAreKeptApartBySender)
{
    Send(TFlowDatagramBuilder(10).Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 100), Noon, "10.0.0.1");
    Send(TFlowDatagramBuilder(10).Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 200), Noon, "10.0.0.2");
    ASSERT_EQ(d.RouterCount(), 2u);
    EXPECT_EQ(d.RouterUpload.Text(d.RouterIP.IndexOf("10.0.0.1")), "100");
    EXPECT_EQ(d.RouterUpload.Text(d.RouterIP.IndexOf("10.0.0.2")), "200");
    EXPECT_EQ(d.UserUL.Text(0), "300") << "the same sequence from another router is no repeat";
}

TEST_F(FlowAccountingTest, CutRecordKeepsWhatCameBeforeAndTheNextDatagramIsNormal)
{
    const auto full = TFlowDatagramBuilder(100)
                          .Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 10)
                          .Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 20)
                          .Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 40);
    Send(Remote(70, 30));
    std::vector<std::uint8_t> cut = full.Bytes();
    cut.resize(24 + 48 + 48 + 20);  // the third record breaks off in its octets
    const TDatagramOutcome broken = AccountFlowDatagram(d, cut, Router, Later);
    EXPECT_TRUE(broken.Failed());
    EXPECT_FALSE(broken.Memo.has_value());
    EXPECT_EQ(d.UserUL.Text(0), "30");
    EXPECT_EQ(d.RouterSequenz.Text(0), "100");
    EXPECT_EQ(d.RouterTime[0], "12:00:05");
    EXPECT_EQ(d.RouterPLoss[0], "0") << "the loss figure is not touched by a broken datagram";
    EXPECT_EQ(d.RouterRecordCount.Text(0), "100");

    const TDatagramOutcome next = Send(TFlowDatagramBuilder(103).Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 2), 5, 1));
    EXPECT_FALSE(next.Failed());
    EXPECT_EQ(d.UserDL.Text(0), "1");
    EXPECT_EQ(d.RouterPLoss[0], "3") << "the three flows of the broken datagram count as lost";
}

TEST_F(FlowAccountingTest, DatagramWithoutRecordsOnlyShowsTheRouterIsAlive)
{
    struct {
        const char* Name;
        bool Known;  // the router sent a datagram with records before
    } const cases[] = {
        {"known router", true},
        {"new router", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        d = TDaten();
        d.LocalSubnets = {"192.168.1"};
        d.AddUser("192.168.1.2", "m", "eth1", Noon);
        if (c.Known) {
            ASSERT_FALSE(Send(Remote(1000, 30), Noon).Failed());
        }
        const TDatagramOutcome empty = Send(TFlowDatagramBuilder(1030), Later);
        ASSERT_FALSE(empty.Failed()) << empty.Error;
        EXPECT_EQ(d.RouterTime[0], "12:00:05") << "the arrival time is the one thing it changes";
        EXPECT_EQ(d.RouterPLoss[0], "0");

        // The next datagram carries the same sequence, as an exporter that sent an
        // empty one before its first flows does: its flows count.
        auto real = Remote(1030, 29);
        real.Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 700);
        ASSERT_FALSE(Send(real, Later).Failed());
        EXPECT_EQ(d.UserUL.Text(0), "700");
        EXPECT_EQ(d.RouterUpload.Text(0), "700");
        EXPECT_EQ(d.RouterPLoss[0], "0");
        EXPECT_EQ(d.RouterSequenz.Text(0), "1030");
        ASSERT_FALSE(Send(Remote(1060, 30), Later).Failed());
        EXPECT_EQ(d.RouterPLoss[0], "0");
        EXPECT_EQ(d.RouterRecordCount.Text(0), "1090");
    }
}

TEST_F(FlowAccountingTest, DamagedCounterIsLeftAloneAndEverythingElseIsCharged)
{
    using TColumn = TCounterColumn TDaten::*;
    struct {
        const char* Name;
        TColumn Column;
        int Row;  // 0 is 192.168.1.2, 1 is 192.168.1.3
        const char* Notice;
    } const cases[] = {
        {"UserDL", &TDaten::UserDL, 1, "UserDL von 192.168.1.3: 'abc' ist kein gültiger Integerwert"},
        {"UserCDL", &TDaten::UserCDL, 1, "UserCDL von 192.168.1.3: 'abc' ist kein gültiger Integerwert"},
        {"UserUL", &TDaten::UserUL, 0, "UserUL von 192.168.1.2: 'abc' ist kein gültiger Integerwert"},
        {"UserCUL", &TDaten::UserCUL, 0, "UserCUL von 192.168.1.2: 'abc' ist kein gültiger Integerwert"},
    };
    // Each user's expected totals when none of its counters is damaged.
    const char* const ul[] = {"130", "0"};
    const char* const dl[] = {"70", "140"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        d = TDaten();
        d.LocalSubnets = {"192.168.1"};
        d.AddUser("192.168.1.2", "m2", "eth1", Noon);
        d.AddUser("192.168.1.3", "m3", "eth1", Noon);
        (d.*c.Column).Set(c.Row, "abc");  // only a hand-edited state file can do this
        const auto datagram = [](std::uint32_t sequence) {
            return TFlowDatagramBuilder(sequence)
                .Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 80, 50)
                .Add(Ip(8, 8, 8, 8), 80, Ip(192, 168, 1, 3), 1, 60)
                .Add(Ip(8, 8, 8, 8), 80, Ip(192, 168, 1, 2), 1, 70)
                .Add(Ip(192, 168, 1, 2), 1, Ip(192, 168, 1, 3), 2, 80);
        };
        const TDatagramOutcome outcome = Send(datagram(1));
        EXPECT_FALSE(outcome.Failed()) << outcome.Error;
        EXPECT_TRUE(outcome.Memo.has_value());
        EXPECT_EQ(outcome.Notice, c.Notice);
        EXPECT_EQ((d.*c.Column).Text(c.Row), "abc") << "the damaged counter stays as it is";
        // Every other counter, the damaged user's other columns included, is charged.
        const auto expected = [&](TColumn column, int row, const char* value) {
            return column == c.Column && row == c.Row ? "abc" : value;
        };
        for (int row = 0; row < 2; ++row) {
            SCOPED_TRACE(row);
            EXPECT_EQ(d.UserUL.Text(row), expected(&TDaten::UserUL, row, ul[row]));
            EXPECT_EQ(d.UserCUL.Text(row), expected(&TDaten::UserCUL, row, ul[row]));
            EXPECT_EQ(d.UserDL.Text(row), expected(&TDaten::UserDL, row, dl[row]));
            EXPECT_EQ(d.UserCDL.Text(row), expected(&TDaten::UserCDL, row, dl[row]));
        }
        EXPECT_EQ(d.RouterUpload.Text(0), "130");
        EXPECT_EQ(d.RouterDownload.Text(0), "210");
        EXPECT_EQ(d.FlowLogTraffic[149], "80") << "every record was reached";
        EXPECT_EQ(d.RouterRecordCount.Text(0), "5");

        const TDatagramOutcome next = Send(datagram(5));
        EXPECT_FALSE(next.Failed());
        EXPECT_EQ(next.Notice, "") << "reported once, not for every flow";
        EXPECT_EQ(d.RouterUpload.Text(0), "260");
        EXPECT_EQ((d.*c.Column).Text(c.Row), "abc");
    }
}

TEST_F(FlowAccountingTest, LargeFlowsReachThePortListsInFull)
{
    Send(TFlowDatagramBuilder(1)
             .Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 443, 4'000'000'000U)
             .Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 443, 4'000'000'000U));
    EXPECT_EQ(d.RouterPortTrafficUL[0].ToText(), "443:8000000000");
    EXPECT_EQ(d.RouterUpload.Text(0), "8000000000");
    EXPECT_EQ(d.UserUL.Text(0), "8000000000");
}

TEST_F(FlowAccountingTest, ClearingPortsKeepsTotals)
{
    Send(TFlowDatagramBuilder(1)
             .Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 443, 10)
             .Add(Ip(8, 8, 8, 8), 80, Ip(192, 168, 1, 3), 2, 20));
    Send(TFlowDatagramBuilder(1).Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 443, 10), Noon, "10.9.9.9");
    d.ClearPortTraffic();
    for (std::size_t r = 0; r < d.RouterCount(); ++r) {
        EXPECT_TRUE(d.RouterPortTrafficUL[r].Empty());
        EXPECT_TRUE(d.RouterPortTrafficDL[r].Empty());
    }
    EXPECT_EQ(d.RouterUpload.Text(0), "10");
    EXPECT_EQ(d.RouterDownload.Text(0), "20");
    Send(TFlowDatagramBuilder(2).Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 443, 5));
    EXPECT_EQ(d.RouterPortTrafficUL[0].ToText(), "443:5");
}

TEST_F(FlowAccountingTest, LastFlowStampAgesAcrossMidnight)
{
    const TLocalTime evening = TLocalTime::FromCivil(2026, 12, 9, 23, 59, 0);
    const TLocalTime morning = TLocalTime::FromCivil(2026, 12, 10, 9, 0, 0);
    Send(TFlowDatagramBuilder(1).Add(Ip(192, 168, 1, 2), 1, Ip(8, 8, 8, 8), 443, 5), evening);
    const double age = StampAge(d.UserLastTime[0], morning);
    EXPECT_NEAR(age, (9 * 60 + 1) * 75'000.0 / 1440, 1e-3) << "nine hours, not minus fifteen";
}

TEST_F(FlowAccountingTest, PortListsAreKeptOnlyForTheDetailedExport)
{
    // A flood of 900 distinct remote ports for both users; the totals count every flow.
    std::uint32_t sequence = 1;
    auto flood = [&] {
        for (int k = 0; k < 30; ++k) {
            TFlowDatagramBuilder datagram(sequence);
            for (int j = 0; j < 15; ++j) {
                const auto port = static_cast<std::uint16_t>(1000 + k * 15 + j);
                datagram.Add(Ip(192, 168, 1, 2), 40000, Ip(8, 8, 8, 8), port, 1);
                datagram.Add(Ip(8, 8, 8, 8), static_cast<std::uint16_t>(port + 10000), Ip(192, 168, 1, 3), 40000, 1);
            }
            sequence += 30;
            ASSERT_FALSE(Send(datagram).Failed());
        }
    };
    struct {
        const char* Name;
        bool Enabled;
        bool Detailed;
        std::size_t Ports;
    } const cases[] = {
        {"export off, as by default", false, true, 0},
        {"packed export", true, false, 0},
        {"export off, packed chosen", false, false, 0},
        {"detailed export", true, true, 450},
    };
    std::int64_t flows = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        d.ExportEnabled = c.Enabled;
        d.ExportDetailed = c.Detailed;
        flood();
        flows += 450;
        EXPECT_EQ(d.UserCPort[User("192.168.1.2")].Count(), c.Ports);
        EXPECT_EQ(d.UserCPort[User("192.168.1.3")].Count(), c.Ports);
        EXPECT_EQ(d.UserUL.Text(User("192.168.1.2")), IntToStr(flows));
        EXPECT_EQ(d.UserCDL.Text(User("192.168.1.3")), IntToStr(flows));
    }
    // Switching the export off empties what the detailed export had kept.
    d.ExportEnabled = false;
    d.ClearUserPorts();
    EXPECT_TRUE(d.UserCPort[User("192.168.1.2")].Empty());
    EXPECT_TRUE(d.UserCPort[User("192.168.1.3")].Empty());
}
