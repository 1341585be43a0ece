#include "FlowAccounting.h"
#include "FlowDatagramBuilder.h"
#include "QtPrinters.h"
#include "TBarChart.h"
#include "TDaten.h"
#include "TErrorReport.h"
#include "TFlowLogModel.h"
#include "TFormProtokoll.h"
#include "TTimer.h"
#include "TemplateDatagramBuilder.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

class LogWindowTest : public ::testing::Test {
protected:
    LogWindowTest() : Owner(), Errors(&Owner), Log(Daten, Errors) { Daten.LocalSubnets = {"192.168.1"}; }

    void Flows(const TFlowDatagramBuilder& datagram)
    {
        ASSERT_FALSE(AccountFlowDatagram(Daten, datagram.Bytes(), "10.0.0.254", Noon).Failed());
    }
    QString Cell(int row, int column) const { return Log.Grid().index(row, column).data().toString(); }

    QWidget Owner;
    TDaten Daten;
    TErrorReport Errors;
    TFormProtokoll Log;
    std::uint32_t Sequence = 1;
};
}

TEST_F(LogWindowTest, ListsAllFlowsNewestFirst)
{
    Flows(TFlowDatagramBuilder(Sequence++)
              .Add(Ip(192, 168, 1, 5), 3345, Ip(93, 184, 216, 34), 80, 1536)
              .Add(Ip(93, 184, 216, 34), 80, Ip(192, 168, 1, 5), 3345, 0));
    Log.Present();
    ASSERT_EQ(Log.Grid().rowCount(), 150);
    EXPECT_EQ(Cell(0, TFlowLogModel::ColSrcIP), "93.184.216.34");
    EXPECT_EQ(Cell(0, TFlowLogModel::ColTraffic), "") << "0 octets write no traffic";
    EXPECT_EQ(Cell(1, TFlowLogModel::ColSrcIP), "192.168.1.5");
    EXPECT_EQ(Cell(1, TFlowLogModel::ColSrcPort), "3345");
    EXPECT_EQ(Cell(1, TFlowLogModel::ColDstIP), "93.184.216.34");
    EXPECT_EQ(Cell(1, TFlowLogModel::ColDstPort), "80");
    EXPECT_EQ(Cell(1, TFlowLogModel::ColTraffic), "1.50 kB");
    EXPECT_EQ(Cell(2, TFlowLogModel::ColSrcIP), "") << "unfilled entries are empty rows";
    // A local address is blue and bold, and so is the port of the other side.
    const auto index = [&](int row, int column) { return Log.Grid().index(row, column); };
    EXPECT_EQ(index(1, TFlowLogModel::ColSrcIP).data(Qt::ForegroundRole).value<QColor>(), QColor(Qt::blue));
    EXPECT_TRUE(index(1, TFlowLogModel::ColSrcIP).data(Qt::FontRole).value<QFont>().bold());
    EXPECT_TRUE(index(1, TFlowLogModel::ColDstPort).data(Qt::FontRole).value<QFont>().bold());
    EXPECT_FALSE(index(1, TFlowLogModel::ColSrcPort).data(Qt::FontRole).value<QFont>().bold());
    EXPECT_EQ(index(1, TFlowLogModel::ColDstIP).data(Qt::ForegroundRole).value<QColor>(), QColor(Qt::black));
    EXPECT_EQ(Log.Grid().headerData(0, Qt::Horizontal).toString(), "Src IP");
    EXPECT_EQ(Log.Grid().headerData(4, Qt::Horizontal).toString(), "Traffic");
}

TEST_F(LogWindowTest, FilterListsFlowsFromAndToTheAddress)
{
    Flows(TFlowDatagramBuilder(Sequence++)
              .Add(Ip(192, 168, 1, 5), 1, Ip(8, 8, 8, 8), 53, 5000)
              .Add(Ip(192, 168, 1, 6), 1, Ip(8, 8, 8, 8), 53, 7000)
              .Add(Ip(8, 8, 4, 4), 53, Ip(192, 168, 1, 5), 2, 3000));
    Log.SetFilterAddress("192.168.1.5");
    Log.Present();
    EXPECT_EQ(Cell(0, TFlowLogModel::ColDstIP), "192.168.1.5") << "a filter equal to the destination lists it";
    EXPECT_EQ(Cell(1, TFlowLogModel::ColSrcIP), "192.168.1.5");
    EXPECT_EQ(Cell(2, TFlowLogModel::ColSrcIP), "") << "rows after the listed flows are empty";
    EXPECT_EQ(Log.Grid().rowCount(), 150);
    // Only the filtered address's traffic, per port of the other side.
    EXPECT_EQ(Log.Chart().Bars(), (std::vector<TBar>{{7, "53", QColor(Qt::blue)}}));
    EXPECT_EQ(Log.findChild<QLabel*>(QStringLiteral("FilterLabel"))->text(), "192.168.1.5");
}

TEST_F(LogWindowTest, PortChartThresholds)
{
    struct {
        std::uint32_t Octets;
        std::uint16_t Port;
        std::vector<TBar> Bars;
    } const cases[] = {
        {1024, 443, {}},
        {1025, 443, {{1, "443", QColor(Qt::blue)}}},
        {1048576, 443, {{1024, "443", QColor(Qt::blue)}}},
        {1048577, 443, {{1024, "443", QColor(Qt::red)}}},
        {2048, 65535, {{2, "65535", QColor(Qt::blue)}}},
        {4'000'000'000U, 0, {{3'906'250, "0", QColor(Qt::red)}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Octets);
        TDaten fresh;
        Daten = std::move(fresh);
        Daten.LocalSubnets = {"192.168.1"};
        Flows(TFlowDatagramBuilder(Sequence++).Add(Ip(192, 168, 1, 5), 40000, Ip(8, 8, 8, 8), c.Port, c.Octets));
        Log.Refresh();
        EXPECT_EQ(Log.Chart().Bars(), c.Bars);
        EXPECT_FALSE(Errors.Showing());
    }
}

TEST_F(LogWindowTest, BothDirectionsOfAConnectionCountForTheRemotePort)
{
    Flows(TFlowDatagramBuilder(Sequence++)
              .Add(Ip(192, 168, 1, 5), 3345, Ip(93, 184, 216, 34), 80, 2048)
              .Add(Ip(93, 184, 216, 34), 80, Ip(192, 168, 1, 5), 3345, 4096)
              .Add(Ip(192, 168, 1, 5), 3346, Ip(192, 168, 1, 6), 22, 3072));  // local to local: both ports
    Log.Refresh();
    // In port order.
    EXPECT_EQ(Log.Chart().Bars(), (std::vector<TBar>{{3, "22", QColor(Qt::blue)}, {6, "80", QColor(Qt::blue)},
                                                      {3, "3346", QColor(Qt::blue)}}));
    // A filter that is no local address lists flows but charts nothing.
    Log.SetFilterAddress("93.184.216.34");
    Log.Refresh();
    EXPECT_TRUE(Log.Chart().Bars().empty());
    EXPECT_EQ(Cell(1, TFlowLogModel::ColSrcIP), "192.168.1.5");
}

TEST_F(LogWindowTest, AutoRefreshTogglesAndStopsOnClose)
{
    auto* button = Log.findChild<QPushButton*>(QStringLiteral("RefreshButton"));
    Log.Present();
    EXPECT_EQ(button->text(), "Auto Refresh");
    button->click();
    EXPECT_EQ(button->text(), "Playing ...");
    EXPECT_EQ(Log.findChild<TTimer*>(QStringLiteral("Timer1"))->Interval(), 500);
    Flows(TFlowDatagramBuilder(Sequence++).Add(Ip(10, 1, 1, 1), 1, Ip(10, 2, 2, 2), 2, 99));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Cell(0, TFlowLogModel::ColSrcIP) == "10.1.1.1"; }, 2000))
        << "the timer refreshes while playing";
    button->click();
    EXPECT_EQ(button->text(), "Auto Refresh");
    button->click();
    Log.findChild<QPushButton*>(QStringLiteral("CloseButton"))->click();
    EXPECT_FALSE(Log.isVisible());
    EXPECT_FALSE(Log.AutoRefresh());
    EXPECT_EQ(button->text(), "Auto Refresh");
}

TEST_F(LogWindowTest, DamagedEntryIsReportedOnceNotEveryRefresh)
{
    // An empty line among the local addresses makes the unfilled entries local; their
    // empty port then cannot be read.
    Daten.LocalIPs = {""};
    Flows(TFlowDatagramBuilder(Sequence++).Add(Ip(192, 168, 1, 5), 1, Ip(8, 8, 8, 8), 80, 5000));
    Log.Refresh();
    ASSERT_TRUE(Errors.Showing());
    EXPECT_EQ(Errors.Text(), "'' ist kein gültiger Integerwert");
    EXPECT_EQ(Cell(0, TFlowLogModel::ColSrcIP), "192.168.1.5") << "rows written before the fault stay";
    EXPECT_TRUE(Log.Chart().Bars().empty());
    QTest::qWait(20);
    for (auto* box : Owner.findChildren<QWidget*>())
        if (box->isWindow() && box->isVisible())
            box->close();
    ASSERT_FALSE(Errors.Showing());
    Log.Refresh();
    Log.Refresh();
    EXPECT_FALSE(Errors.Showing()) << "the same fault is not shown again";
}

TEST_F(LogWindowTest, IPv6FlowsAreListedInFullAndCountForTheirDevice)
{
    // The device 192.168.1.5 has an IPv6 address outside every configured network.
    Daten.AddUser("192.168.1.5", "02:00:00:00:00:05", "eth0", Noon);
    const std::string device = "2001:db8:85a3:1234:5678:8a2e:370:7334";
    const std::string remote = "2a00:1450:4001:82b:abcd:ef01:2345:6789";
    ASSERT_TRUE(Daten.LearnIPv6(0, *TIpAddress::Parse(device), Noon));
    TBytes records;
    for (const std::string* address : {&device, &remote}) {
        const TIpAddress parsed = *TIpAddress::Parse(*address);
        for (std::uint8_t b : parsed.Bytes())
            records.U8(b);
    }
    records.U16(50000).U16(443).U8(6).U32(5000);
    const auto datagram = TTemplateDatagramBuilder(10, 0)
                              .Template(FlowTemplateId, {{27, 16}, {28, 16}, {7, 2}, {11, 2}, {4, 1}, {1, 4}})
                              .Data(FlowTemplateId, records.Data)
                              .Bytes();
    ASSERT_FALSE(AccountFlowDatagram(Daten, datagram, "10.0.0.254", Noon, 4739).Failed());
    Flows(TFlowDatagramBuilder(Sequence++).Add(Ip(192, 168, 1, 6), 1, Ip(8, 8, 8, 8), 53, 3000));

    Log.Present();
    EXPECT_EQ(Cell(1, TFlowLogModel::ColSrcIP), QString::fromStdString(device));
    EXPECT_EQ(Cell(1, TFlowLogModel::ColDstIP), QString::fromStdString(remote));
    const auto index = [&](int row, int column) { return Log.Grid().index(row, column); };
    EXPECT_EQ(index(1, TFlowLogModel::ColSrcIP).data(Qt::ForegroundRole).value<QColor>(), QColor(Qt::blue))
        << "a device's address is local wherever its prefix lies";
    EXPECT_EQ(index(1, TFlowLogModel::ColDstIP).data(Qt::ForegroundRole).value<QColor>(), QColor(Qt::black));

    // Both address columns hold the text in full, in the bold font of local addresses.
    auto* grid = Log.findChild<QTableView*>(QStringLiteral("FlowGrid"));
    ASSERT_NE(grid, nullptr);
    for (int column : {TFlowLogModel::ColSrcIP, TFlowLogModel::ColDstIP}) {
        QFont font = grid->font();
        font.setBold(true);
        EXPECT_GT(grid->columnWidth(column),
                  QFontMetrics(font).horizontalAdvance(QStringLiteral("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff")));
    }
    EXPECT_GE(grid->width(), grid->horizontalHeader()->length()) << "the grid shows all its columns";

    // Filtered to the device by its key: its IPv6 flows are its flows.
    Log.SetFilterAddress("192.168.1.5");
    Log.Present();
    EXPECT_EQ(Cell(0, TFlowLogModel::ColSrcIP), QString::fromStdString(device));
    EXPECT_EQ(Cell(1, TFlowLogModel::ColSrcIP), "") << "the other device's flow is not listed";
    EXPECT_EQ(Log.Chart().Bars(), (std::vector<TBar>{{4, "443", QColor(Qt::blue)}}));
}

// "Verlauf" asks for the history of the device on the local side of the selected flow:
// the filter's device when the flow is one of its own, else the source before the
// destination; without a selection the filter's device; nothing without a device.
TEST_F(LogWindowTest, VerlaufAsksForTheDeviceOfTheSelectedOrFilteredFlow)
{
    Daten.AddUser("192.168.1.5", "02:00:00:00:00:05", "eth0", Noon);
    Daten.AddUser("192.168.1.6", "02:00:00:00:00:06", "eth0", Noon);
    // Newest first without a filter: 10.1.1.1 > 8.8.8.8, 8.8.4.4 > .6, .5 > .6, .5 > 8.8.8.8.
    Flows(TFlowDatagramBuilder(Sequence++)
              .Add(Ip(192, 168, 1, 5), 1000, Ip(8, 8, 8, 8), 53, 100)
              .Add(Ip(192, 168, 1, 5), 1001, Ip(192, 168, 1, 6), 445, 200)
              .Add(Ip(8, 8, 4, 4), 53, Ip(192, 168, 1, 6), 1002, 300)
              .Add(Ip(10, 1, 1, 1), 1003, Ip(8, 8, 8, 8), 53, 400));
    std::vector<std::pair<std::string, std::string>> asked;
    QObject::connect(&Log, &TFormProtokoll::HistoryRequested,
                     [&](const std::string& ip, const std::string& mac) { asked.emplace_back(ip, mac); });
    auto* grid = Log.findChild<QTableView*>(QStringLiteral("FlowGrid"));
    auto* button = Log.findChild<QPushButton*>(QStringLiteral("VerlaufButton"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "Verlauf");
    struct {
        const char* Filter;
        int Row;  // the selected flow, -1 for none
        const char* Device;  // nullptr: no history asked for
    } const cases[] = {
        {"", -1, nullptr},
        {"", 1, "192.168.1.6"},
        {"", 2, "192.168.1.5"},
        {"", 3, "192.168.1.5"},
        {"", 0, nullptr},
        {"192.168.1.6", 1, "192.168.1.6"},
        {"192.168.1.6", -1, "192.168.1.6"},
        {"192.168.1.9", -1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Filter) + " row " + std::to_string(c.Row));
        Log.SetFilterAddress(c.Filter);
        Log.Present();
        grid->clearSelection();
        if (c.Row >= 0)
            grid->selectRow(c.Row);
        asked.clear();
        button->click();
        if (!c.Device) {
            EXPECT_TRUE(asked.empty());
            continue;
        }
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].first, c.Device);
        EXPECT_EQ(asked[0].second, Daten.UserMAC[static_cast<std::size_t>(Daten.UserIP.IndexOf(c.Device))]);
    }
}
