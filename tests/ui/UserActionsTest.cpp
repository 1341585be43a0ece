#include "MainFormFixture.h"
#include "TCollector.h"
#include "TLocalHistory.h"
#include "SqliteQuery.h"
#include "TErrorReport.h"
#include "TFlowLogModel.h"
#include "TFormProtokoll.h"
#include "TFormVerlauf.h"
#include "TBarChart.h"
#include "TUserGrid.h"
#include "TUserGridModel.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QMenu>
#include <QTableView>
#include <QTableWidget>

#include <functional>
#include <map>

namespace {
class UserActionsTest : public MainFormTest {
protected:
    void SetUp() override
    {
        MainFormTest::SetUp();
        ShowWithoutTicks();
        Child<QCheckBox>("CoolCheckRadioBox1")->setChecked(false);
        Grid = Child<QTableView>("ProfGrid2");
    }
    void AddUsers(std::initializer_list<std::pair<const char*, std::int64_t>> users)
    {
        for (const auto& [ip, dl] : users) {
            Daten.AddUser(ip, "02:00:00:00:00:01", "eth0", Now);
            Daten.UserDL.Set(Daten.UserDL.size() - 1, std::to_string(dl));
        }
        Form->TimerShowingTimer();
    }
    // Selects grid rows in the order given, adding each to the selection.
    void Select(std::initializer_list<int> rows)
    {
        Grid->clearSelection();
        for (int row : rows)
            Grid->selectionModel()->select(Form->Users().Model().index(row, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    std::vector<std::string> Users() const
    {
        return {Daten.UserIP.begin(), Daten.UserIP.end()};
    }
    std::string ShownAt(int row) const { return Form->Users().Model().Rows()[static_cast<std::size_t>(row)].IP; }

    QTableView* Grid = nullptr;
};
}

TEST_F(UserActionsTest, RemovesTheSelectedUsersByAddressAfterSorting)
{
    AddUsers({{"10.0.0.1", 500}, {"10.0.0.2", 100}, {"10.0.0.3", 900}, {"10.0.0.4", 300}, {"10.0.0.5", 700}});
    // Sorted by download, largest first: .3 .5 .1 .4 .2 -- not store order.
    ASSERT_EQ(ShownAt(0), "10.0.0.3");
    Select({3, 0, 1});  // .4 first, then .3 and .5
    QString question;
    AnswerMessageBox(QMessageBox::Yes, &question);
    Form->Users().DieseIPentfernen1Click();
    EXPECT_EQ(question, "Wollen Sie wirklich diese 3 IPs entfernen?\n10.0.0.4\n10.0.0.3\n10.0.0.5")
        << "names every address that goes";
    EXPECT_EQ(Users(), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
}

// The question names what goes: one address, every address of a few, or the first
// ones and the count of the rest.
TEST(RemovalQuestion, NamesWhatWillBeRemoved)
{
    std::vector<std::string> many;
    for (int i = 1; i <= 25; ++i)
        many.push_back("10.0.0." + std::to_string(i));
    const struct {
        std::vector<std::string> Addresses;
        QString Question;
    } cases[] = {
        {{"10.0.0.7"}, "Wollen Sie wirklich diese IP entfernen?\n10.0.0.7"},
        {{"10.0.0.7", "2001:db8::1"}, "Wollen Sie wirklich diese 2 IPs entfernen?\n10.0.0.7\n2001:db8::1"},
        {{many.begin(), many.begin() + 10},
         "Wollen Sie wirklich diese 10 IPs entfernen?\n10.0.0.1\n10.0.0.2\n10.0.0.3\n10.0.0.4\n10.0.0.5\n10.0.0.6"
         "\n10.0.0.7\n10.0.0.8\n10.0.0.9\n10.0.0.10"},
        {many,
         "Wollen Sie wirklich diese 25 IPs entfernen?\n10.0.0.1\n10.0.0.2\n10.0.0.3\n10.0.0.4\n10.0.0.5\n10.0.0.6"
         "\n10.0.0.7\n10.0.0.8\n10.0.0.9\nund 16 weitere"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Addresses.size());
        EXPECT_EQ(TUserGrid::RemovalQuestion(c.Addresses), c.Question);
    }
}

TEST_F(UserActionsTest, RemovesTheUsersSelectedWhenTheBoxOpenedWhileTrafficMovesTheRows)
{
    Daten.LocalSubnets = {"10.0.0"};
    AddUsers({{"10.0.0.1", 500}, {"10.0.0.2", 100}, {"10.0.0.3", 900}, {"10.0.0.4", 300}, {"10.0.0.5", 700}});
    // By download, largest first: .3 .5 .1 .4 .2
    Select({3, 0});  // .4 first, then .3
    QString question;
    std::vector<std::string> selectedAfterTraffic;
    OnNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        question = box->text();
        // While the question is open, traffic puts .2 and .1 on top, a new user comes,
        // .3 goes offline and leaves the grid, and the display ticks: every row now
        // shows another user than before.
        SendFlow(TFlowDatagramBuilder(1)
                     .Add(Ip(8, 8, 8, 8), 443, Ip(10, 0, 0, 2), 50000, 5000)
                     .Add(Ip(8, 8, 8, 8), 443, Ip(10, 0, 0, 1), 50001, 1000)
                     .Bytes());
        SendMac("f0 10.0.0.6 f2 f3 02:00:00:00:00:06 f5 eth0\n");
        ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.UserDL.Text(1) == "5100" && Daten.UserCount() == 6; }, 5000));
        Daten.UserMACTime[2] = "0";
        Child<QCheckBox>("CoolCheckRadioBox1")->setChecked(true);
        Form->TimerShowingTimer();
        std::vector<std::string> shown;
        for (const TUserGridRow& row : Form->Users().Model().Rows())
            shown.push_back(row.IP);
        EXPECT_EQ(shown, (std::vector<std::string>{"10.0.0.2", "10.0.0.1", "10.0.0.5", "10.0.0.4", "10.0.0.6"}));
        selectedAfterTraffic = Form->Users().SelectedUserAddresses();
        box->button(QMessageBox::Yes)->click();
    });
    Form->Users().DieseIPentfernen1Click();
    EXPECT_EQ(question, "Wollen Sie wirklich diese 2 IPs entfernen?\n10.0.0.4\n10.0.0.3");
    EXPECT_EQ(selectedAfterTraffic, std::vector<std::string>{"10.0.0.4"}) << "the selection follows its users";
    EXPECT_EQ(Users(), (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.5", "10.0.0.6"}))
        << "exactly the users named when the box opened, .3 too although it left the grid";
}

TEST_F(UserActionsTest, SelectionFollowsItsUsersAcrossTicks)
{
    AddUsers({{"10.0.0.2", 100}, {"10.0.0.1", 500}, {"10.0.0.3", 900}});
    // .3 .1 .2; .1 selected and current.
    Grid->setCurrentIndex(Form->Users().Model().index(1, 0));
    ASSERT_EQ(Form->Users().SelectedUserAddresses(), std::vector<std::string>{"10.0.0.1"});
    struct {
        const char* What;
        std::function<void()> Change;
        int Row;  // where .1 stands afterwards
    } const steps[] = {
        {"overtakes the others", [&] { Daten.UserDL.Set(1, "5000"); }, 0},
        {"falls back", [&] { Daten.UserDL.Set(1, "1"); }, 2},
        {"a user before it in the store leaves", [&] { Daten.RemoveUser(0); }, 1},
        {"new users come", [&] {
             Daten.AddUser("10.0.0.7", "02:00:00:00:00:07", "eth0", Now);
             Daten.UserDL.Set(Daten.UserDL.size() - 1, "9999");
             Daten.AddUser("10.0.0.8", "02:00:00:00:00:08", "eth0", Now);
         }, 2},
        {"the user sorts by address", [&] { Grid->sortByColumn(TUserGridModel::ColIP, Qt::DescendingOrder); }, 3},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.What);
        step.Change();
        Form->TimerShowingTimer();
        EXPECT_EQ(Form->Users().SelectedUserAddresses(), std::vector<std::string>{"10.0.0.1"});
        EXPECT_EQ(Grid->currentIndex().row(), step.Row);
        EXPECT_EQ(ShownAt(step.Row), "10.0.0.1");
    }
    // A selected user who leaves takes the selection with him.
    Daten.RemoveUser(Daten.UserIP.IndexOf("10.0.0.1"));
    Form->TimerShowingTimer();
    EXPECT_TRUE(Form->Users().SelectedUserAddresses().empty());
}

TEST_F(UserActionsTest, AnsweringNoOrSelectingNothingRemovesNothing)
{
    AddUsers({{"10.0.0.1", 500}, {"10.0.0.2", 100}});
    Select({0});
    AnswerMessageBox(QMessageBox::No);
    Form->Users().DieseIPentfernen1Click();
    EXPECT_EQ(Users().size(), 2u);

    Grid->clearSelection();
    Form->Users().DieseIPentfernen1Click();  // no box at all: it would wait here for an answer
    EXPECT_EQ(Users().size(), 2u);
}

TEST_F(UserActionsTest, ContextMenuAndExtraMenuCarryTheirItems)
{
    auto* popup1 = Form->findChild<QMenu*>(QStringLiteral("PopupMenu1"));
    ASSERT_NE(popup1, nullptr);
    ASSERT_EQ(popup1->actions().size(), 3);
    EXPECT_EQ(popup1->actions()[0]->text(), "Diese IP entfernen");
    EXPECT_EQ(popup1->actions()[1]->text(), "Verlauf");
    EXPECT_EQ(popup1->actions()[2]->text(), "Volumenlimit…");
    auto* popup2 = Form->findChild<QMenu*>(QStringLiteral("PopupMenu2"));
    ASSERT_NE(popup2, nullptr);
    QStringList items;
    for (QAction* action : popup2->actions())
        items << action->text();
    EXPECT_EQ(items, (QStringList{"IP's entfernen mit <100 kB", "IP Traffic Counter auf 0 setzen", "Alle Clients entfernen"}));
    EXPECT_EQ(Child<QPushButton>("CoolPopupButton1")->text(), "extra Funktionen");

    // The menu item itself runs the removal.
    AddUsers({{"10.0.0.1", 5}});
    Select({0});
    AnswerMessageBox(QMessageBox::Yes);
    popup1->actions()[0]->trigger();
    EXPECT_TRUE(Users().empty());
}

TEST_F(UserActionsTest, LowTrafficRemovalUsesTheWholeTable)
{
    Daten.HideIPs = {"10.0.0.6"};
    AddUsers({{"10.0.0.1", 102400}, {"10.0.0.2", 102399}, {"10.0.0.3", 0}, {"10.0.0.4", 50000},
              {"10.0.0.5", 200000}, {"10.0.0.6", 10}});
    Daten.UserUL.Set(3, "60000");  // 110,000 in all: stays
    QString message;
    AnswerMessageBox(QMessageBox::Ok, &message);
    Form->Users().IPsentfernenmit100kB1Click();
    EXPECT_EQ(message, "Alle IPs mit weniger Traffic als 100 kB wurden aus der Liste \nentfernt!");
    EXPECT_EQ(Users(), (std::vector<std::string>{"10.0.0.1", "10.0.0.4", "10.0.0.5"}))
        << "hidden users are removed too, consecutive ones both";

    // Nothing to remove: the message comes all the same.
    AnswerMessageBox(QMessageBox::Ok, &message);
    message.clear();
    Form->Users().IPsentfernenmit100kB1Click();
    EXPECT_FALSE(message.isEmpty());
    EXPECT_EQ(Users().size(), 3u);
}

TEST_F(UserActionsTest, LowTrafficRemovalStopsAtADamagedCounter)
{
    AddUsers({{"10.0.0.1", 5}, {"10.0.0.2", 500000}, {"10.0.0.3", 5}, {"10.0.0.4", 5}});
    Daten.UserUL.Set(2, "x");
    Form->Users().IPsentfernenmit100kB1Click();  // no information box: the error report instead
    EXPECT_TRUE(Form->ErrorReport().Showing());
    EXPECT_EQ(Form->ErrorReport().Text(), "'x' ist kein gültiger Integerwert");
    EXPECT_EQ(Users(), (std::vector<std::string>{"10.0.0.2", "10.0.0.3", "10.0.0.4"}));
}

TEST_F(UserActionsTest, ResettingTotalsKeepsTheIntervalCounters)
{
    AddUsers({{"10.0.0.1", 5000}, {"10.0.0.2", 7000}});
    Daten.UserUL.Set(0, "42");
    Daten.UserCDL.Set(0, "77");
    Daten.UserCUL.Set(1, "88");
    QString message;
    AnswerMessageBox(QMessageBox::Ok, &message);
    Form->Users().IPTrafficCounterauf0setzen1Click();
    EXPECT_EQ(message, "Traffic wurde auf 0 zurückgesetzt!");
    EXPECT_EQ(Daten.UserDL.Texts(), (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(Daten.UserUL.Texts(), (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(Daten.UserCDL.Text(0), "77");
    EXPECT_EQ(Daten.UserCUL.Text(1), "88");
    EXPECT_EQ(Users().size(), 2u);
}

TEST_F(UserActionsTest, RemovingAllClients)
{
    QString message;
    AnswerMessageBox(QMessageBox::Ok, &message);
    Form->Users().AlleClientsentfernen1Click();
    EXPECT_EQ(message, "Alle Clients wurden entfernt!") << "also on an empty table";
    AddUsers({{"10.0.0.1", 5}, {"10.0.0.2", 5}});
    AnswerMessageBox(QMessageBox::Ok);
    Form->Users().AlleClientsentfernen1Click();
    EXPECT_TRUE(Users().empty());
    EXPECT_EQ(Daten.UserIP.IndexOf("10.0.0.1"), -1);
}

TEST_F(UserActionsTest, DoubleClickOpensTheLogForThatAddress)
{
    AddUsers({{"10.0.0.1", 5}, {"10.0.0.2", 900}});
    TFormProtokoll& log = Form->FormProtokoll();
    Grid->clearSelection();
    Form->Users().ProfGrid2DblClick();
    EXPECT_FALSE(log.isVisible());

    Select({1});
    Form->Users().ProfGrid2DblClick();
    EXPECT_TRUE(log.isVisible());
    EXPECT_EQ(log.FilterAddress(), ShownAt(1));
    EXPECT_TRUE(log.AutoRefresh());
    EXPECT_EQ(log.findChild<QPushButton*>(QStringLiteral("RefreshButton"))->text(), "Playing ...");

    // "Protokoll" opens it for everyone again.
    log.close();
    for (QPushButton* button : Form->findChildren<QPushButton*>())
        if (button->text() == "Protokoll")
            button->click();
    EXPECT_TRUE(log.isVisible());
    EXPECT_EQ(log.FilterAddress(), "");
    EXPECT_FALSE(log.AutoRefresh());
}

TEST_F(UserActionsTest, DoubleClickOpensTheLogOfTheUserClicked)
{
    AddUsers({{"10.0.0.1", 500}, {"10.0.0.2", 100}, {"10.0.0.3", 900}});
    // .3 .1 .2
    TFormProtokoll& log = Form->FormProtokoll();
    QWidget* viewport = Grid->viewport();
    auto at = [&](int row) { return Grid->visualRect(Form->Users().Model().index(row, 0)).center(); };

    // The first click hits .3; a tick puts .2 under the pointer before the second click.
    QTest::mouseClick(viewport, Qt::LeftButton, {}, at(0));
    Daten.UserDL.Set(1, "90000");
    Form->TimerShowingTimer();
    ASSERT_EQ(ShownAt(0), "10.0.0.2");
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, at(0));
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, at(0));
    EXPECT_FALSE(log.isVisible()) << "two clicks on two users are no double click";
    EXPECT_EQ(Form->Users().SelectedUserAddresses(), std::vector<std::string>{"10.0.0.2"}) << "the second click chose .2";

    // With several users selected, the one double-clicked counts, not the first selected.
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, at(2));
    ASSERT_EQ(Form->Users().SelectedUserAddresses(), (std::vector<std::string>{"10.0.0.2", "10.0.0.1"}));
    QTest::mouseDClick(viewport, Qt::LeftButton, Qt::ControlModifier, at(2));
    QTest::mouseRelease(viewport, Qt::LeftButton, Qt::ControlModifier, at(2));
    ASSERT_TRUE(log.isVisible());
    EXPECT_EQ(log.FilterAddress(), "10.0.0.1");
    log.close();
}

TEST_F(UserActionsTest, ProtokollListsEveryoneAtOnceAfterAFilteredLog)
{
    Daten.LocalSubnets = {"10.0.0"};
    AddUsers({{"10.0.0.1", 5}, {"10.0.0.2", 900}});
    SendFlow(TFlowDatagramBuilder(1)
                 .Add(Ip(10, 0, 0, 2), 40000, Ip(8, 8, 8, 8), 443, 2048)
                 .Add(Ip(10, 0, 0, 1), 40001, Ip(8, 8, 8, 8), 80, 1024)
                 .Bytes());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.UserUL.Text(0) == "1024"; }, 5000));
    TFormProtokoll& log = Form->FormProtokoll();
    Select({0});  // .2
    Form->Users().ProfGrid2DblClick();
    ASSERT_TRUE(log.isVisible());
    ASSERT_EQ(log.Grid().Rows().size(), 1u);
    EXPECT_EQ(log.Grid().Rows()[0].SrcIP, "10.0.0.2");

    // The log stays open and "Protokoll" lifts the filter: the list follows at once,
    // also with automatic refresh switched off.
    log.SetAutoRefresh(false);
    for (QPushButton* button : Form->findChildren<QPushButton*>())
        if (button->text() == "Protokoll")
            button->click();
    EXPECT_EQ(log.FilterAddress(), "");
    ASSERT_EQ(log.Grid().Rows().size(), 150u) << "the whole ring, unfilled entries too";
    EXPECT_EQ(log.Grid().Rows()[0].SrcIP, "10.0.0.1") << "newest first";
    EXPECT_EQ(log.Grid().Rows()[1].SrcIP, "10.0.0.2");
    log.close();
}

TEST_F(UserActionsTest, RouterRowChoosesThePortCharts)
{
    for (int r = 0; r < 4; ++r)
        Daten.AddRouter("10.9.0." + std::to_string(r), 1, Now);
    Form->TimerShowingTimer();
    Child<QTableView>("ProfGrid1")->selectRow(2);
    EXPECT_EQ(Form->SelectedRouter, 2);
    Form->TimerShowingTimer();
    EXPECT_EQ(LabelText("CoolLabel1"), "10.9.0.2");
}

TEST_F(UserActionsTest, DeviceIPv6AddressesShowAsCountAndTooltipWhileTheKeyStays)
{
    AddUsers({{"10.0.0.1", 500}, {"10.0.0.2", 100}, {"10.0.0.3", 900}});
    for (const char* address : {"2001:db8::2:1", "2001:db8::2:3", "2001:db8::2:2"})
        ASSERT_TRUE(Daten.LearnIPv6(1, *TIpAddress::Parse(address), Now));
    Form->TimerShowingTimer();
    // Sorted by download: .3 .1 .2.
    ASSERT_EQ(ShownAt(2), "10.0.0.2");
    const TUserGridModel& grid = Form->Users().Model();
    const QModelIndex cell = grid.index(2, TUserGridModel::ColIP);
    EXPECT_EQ(cell.data().toString(), "10.0.0.2 +3");
    EXPECT_EQ(cell.data(TUserGridModel::KeyRole).toString(), "10.0.0.2");
    EXPECT_EQ(cell.data(Qt::ToolTipRole).toString(), "IPv6:\n2001:db8::2:1\n2001:db8::2:2\n2001:db8::2:3");
    EXPECT_EQ(grid.index(0, TUserGridModel::ColIP).data().toString(), "10.0.0.3") << "no mark without IPv6";
    EXPECT_TRUE(grid.index(0, TUserGridModel::ColIP).data(Qt::ToolTipRole).isNull());

    // Sorting by address goes by the address, not by the mark; the selection follows its user.
    Select({2});
    Grid->sortByColumn(TUserGridModel::ColIP, Qt::AscendingOrder);
    ASSERT_EQ(ShownAt(0), "10.0.0.1");
    ASSERT_EQ(ShownAt(1), "10.0.0.2");
    ASSERT_EQ(ShownAt(2), "10.0.0.3");
    EXPECT_EQ(Grid->selectionModel()->selectedRows(), QModelIndexList{grid.index(1, 0)});

    // The actions on selected rows name the user by its key.
    QString question;
    AnswerMessageBox(QMessageBox::Yes, &question);
    Form->Users().DieseIPentfernen1Click();
    EXPECT_EQ(question, "Wollen Sie wirklich diese IP entfernen?\n10.0.0.2");
    EXPECT_EQ(Users(), (std::vector<std::string>{"10.0.0.1", "10.0.0.3"}));
}

// The local history sees every octet once, whatever the user actions do between two of
// its periodic writes: a reset of the totals, a removal of everyone, a device that
// comes back with fresh totals.
TEST_F(UserActionsTest, HistoryKeepsEveryOctetOnceAcrossResetAndRemoval)
{
    AddUsers({{"192.168.1.5", 1000}});
    AnswerMessageBox(QMessageBox::Ok);
    Form->Users().IPTrafficCounterauf0setzen1Click();
    Daten.UserDL.Set(0, "500");
    AnswerMessageBox(QMessageBox::Ok);
    Form->Users().AlleClientsentfernen1Click();
    AddUsers({{"192.168.1.5", 200}});
    Form->close();
    Form.reset();

    EXPECT_EQ(SqliteColumn(Dir.File("vexal-history.sqlite"),
                           QStringLiteral("select sum(dloktets) from traffic where ip = '192.168.1.5'")),
              std::vector<std::string>{std::to_string(1000 + 500 + 200)});
}

// A known address announced with another MAC is another client: its row is replaced.
// The local history still sees every octet once, the old client's since the last
// periodic write included, each under its own MAC.
TEST_F(UserActionsTest, HistoryKeepsEveryOctetOnceAcrossAMacChange)
{
    Daten.LocalSubnets = {"192.168.1"};
    SendMac("f0 192.168.1.5 f2 f3 02:00:00:00:00:0a f5 eth0\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.UserCount() == 1; }, 5000));
    auto download = [&](std::uint32_t sequence, std::uint32_t octets, const std::string& total) {
        SendFlow(TFlowDatagramBuilder(sequence).Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 5), 50000, octets).Bytes());
        ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.UserDL.Text(0) == total; }, 5000));
    };
    download(1, 1000, "1000");
    Form->Collector().RecordHistory();  // the periodic write
    download(2, 500, "1500");
    SendMac("f0 192.168.1.5 f2 f3 02:00:00:00:00:0b f5 eth0\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.UserMAC[0] == "02:00:00:00:00:0b"; }, 5000));
    ASSERT_EQ(Daten.UserDL.Text(0), "0") << "the new client starts afresh";
    download(3, 200, "200");
    Form->close();
    Form.reset();

    const std::vector<std::string> perMac = SqliteColumn(
        Dir.File("vexal-history.sqlite"),
        QStringLiteral("select mac || '=' || sum(dloktets) from traffic where ip = '192.168.1.5' group by mac order by mac"));
    EXPECT_EQ(perMac, (std::vector<std::string>{"02:00:00:00:00:0a=1500", "02:00:00:00:00:0b=200"}));
}

// A flood of replacements (the MACs of 21 addresses taking turns, as a LAN host can
// send them, with traffic in between) leaves the local history with every octet once
// per address; the history's waiting work stays one sum per device, not a table per
// replacement.
TEST_F(UserActionsTest, HistoryHoldsEveryOctetOnceAfterAFloodOfReplacements)
{
    Daten.LocalSubnets = {"192.168.1"};
    TCollector& core = Form->Collector();
    std::map<std::string, std::int64_t> truth;
    std::uint32_t sequence = 1;
    std::size_t mostWaiting = 0;
    for (int i = 0; i < 20'000; ++i) {
        const int host = 10 + i % 21;
        const std::string ip = "192.168.1." + std::to_string(host);
        const std::string text = "f0 " + ip + " f2 f3 02:00:00:00:00:" + ((i / 21) % 2 ? "0a" : "0b") + " f5 eth0";
        core.NMUDP2DataReceived({reinterpret_cast<const unsigned char*>(text.data()), text.size()}, "192.168.1.1");
        const std::uint32_t octets = 100 + static_cast<std::uint32_t>(i % 13);
        const std::vector<std::uint8_t> flow = TFlowDatagramBuilder(sequence++)
                                                   .Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, static_cast<std::uint8_t>(host)),
                                                        50000, octets)
                                                   .Bytes();
        core.NMUDP1DataReceived(flow, "192.168.1.1");
        truth[ip] += octets;
        mostWaiting = std::max(mostWaiting, core.LocalHistory()->DepartedWaiting());
    }
    EXPECT_EQ(Daten.UserCount(), 21u);
    EXPECT_LE(mostWaiting, 42u);
    Form->close();
    Form.reset();

    std::vector<std::string> expected;
    for (const auto& [ip, octets] : truth)
        expected.push_back(ip + "=" + std::to_string(octets));
    EXPECT_EQ(SqliteColumn(Dir.File("vexal-history.sqlite"),
                           QStringLiteral("select ip || '=' || sum(dloktets) from traffic group by ip order by ip")),
              expected);
}

// A device counted by its IPv6 address until its IPv4 address is announced becomes
// one row under the IPv4 address, with the totals it had: the history goes on from
// what it had written for the IPv6 row, so nothing is written twice.
TEST_F(UserActionsTest, HistoryKeepsEveryOctetOnceWhenAnIPv6DeviceGetsItsIPv4Address)
{
    Daten.LocalSubnets = {"192.168.1", "2001:db8:1::/64"};
    SendMac("f0 2001:db8:1::5 f2 f3 02:00:00:00:00:0a f5 eth0\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.UserCount() == 1; }, 5000));
    ASSERT_EQ(Daten.UserIP[0], "2001:db8:1::5");
    Daten.UserDL.Set(0, "1000");
    // The periodic write, done before the next (minutes apart, they never meet; a
    // write recorded while one waits would join it).
    Form->Collector().RecordHistory();
    Form->Collector().LocalHistory()->WaitForWrites();
    Daten.UserDL.Set(0, "1500");
    SendMac("f0 192.168.1.5 f2 f3 02:00:00:00:00:0a f5 eth0\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.UserCount() == 1 && Daten.UserIP[0] == "192.168.1.5"; }, 5000));
    ASSERT_EQ(Daten.UserDL.Text(0), "1500") << "the IPv4 row takes the device's totals";
    Form->Collector().RecordHistory();
    Form->Collector().LocalHistory()->WaitForWrites();
    Daten.UserDL.Set(0, "1700");
    Form->close();
    Form.reset();

    const std::vector<std::string> perAddress =
        SqliteColumn(Dir.File("vexal-history.sqlite"), QStringLiteral("select ip || '=' || sum(dloktets) from traffic"
                                                                      " where mac = '02:00:00:00:00:0a' group by ip order by ip"));
    EXPECT_EQ(perAddress, (std::vector<std::string>{"192.168.1.5=700", "2001:db8:1::5=1000"}));
}

// "Verlauf" on a user shows that device's traffic from the history file, what was
// counted up to the click included: today's bar and the totals of every period.
TEST_F(UserActionsTest, VerlaufShowsTheSelectedDevicesTraffic)
{
    AddUsers({{"192.168.1.5", 3 * 1024 * 1024}, {"192.168.1.6", 1024 * 1024}});
    Daten.UserUL.Set(0, std::to_string(1024 * 1024));
    Form->TimerShowingTimer();
    const int row = Form->Users().Model().Rows()[0].IP == "192.168.1.5" ? 0 : 1;
    Select({row});
    Form->Users().VerlaufClick();
    TFormVerlauf& verlauf = Form->FormVerlauf();
    EXPECT_TRUE(verlauf.isVisible());
    EXPECT_TRUE(verlauf.Caption().contains("192.168.1.5")) << verlauf.Caption().toStdString();
    for (int p = 0; p < TFormVerlauf::PeriodCount; ++p) {
        SCOPED_TRACE(p);
        QTableWidget& table = verlauf.Table(static_cast<TFormVerlauf::TPeriod>(p));
        const int last = table.rowCount() - 1;
        ASSERT_GE(last, 1);
        EXPECT_EQ(table.item(last, 0)->text(), "Summe");
        EXPECT_EQ(table.item(last, 1)->text(), "1,00");
        EXPECT_EQ(table.item(last, 2)->text(), "3,00");
    }
    EXPECT_EQ(verlauf.Table(TFormVerlauf::Hours).rowCount(), 48 + 1);
    EXPECT_EQ(verlauf.Table(TFormVerlauf::Days).rowCount(), 60 + 1);
    const std::vector<TBar>& bars = verlauf.Chart(TFormVerlauf::Hours).Bars();
    ASSERT_FALSE(bars.empty());
    EXPECT_DOUBLE_EQ(bars.back().Value, 3.0) << "the current hour's download, last";
}

// The log window opens the same history: "Verlauf" there shows the device of the
// selected flow, with what was counted up to the click.
TEST_F(UserActionsTest, VerlaufFromTheLogWindowShowsTheFlowsDevice)
{
    Daten.LocalSubnets = {"192.168.1"};
    AddUsers({{"192.168.1.5", 3 * 1024 * 1024}, {"192.168.1.6", 1024}});
    SendFlow(TFlowDatagramBuilder(1).Add(Ip(192, 168, 1, 5), 40000, Ip(8, 8, 8, 8), 443, 1024 * 1024).Bytes());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.UserUL.Text(0) == std::to_string(1024 * 1024); }, 5000));
    for (QPushButton* button : Form->findChildren<QPushButton*>())
        if (button->text() == "Protokoll")
            button->click();
    TFormProtokoll& log = Form->FormProtokoll();
    ASSERT_TRUE(log.isVisible());
    ASSERT_EQ(log.Grid().Rows()[0].SrcIP, "192.168.1.5");
    log.findChild<QTableView*>(QStringLiteral("FlowGrid"))->selectRow(0);
    log.findChild<QPushButton*>(QStringLiteral("VerlaufButton"))->click();

    TFormVerlauf& verlauf = Form->FormVerlauf();
    ASSERT_TRUE(verlauf.isVisible());
    EXPECT_EQ(verlauf.Caption(), "Verlauf von 192.168.1.5 (02:00:00:00:00:01)");
    QTableWidget& hours = verlauf.Table(TFormVerlauf::Hours);
    const int last = hours.rowCount() - 1;
    EXPECT_EQ(hours.item(last, 0)->text(), "Summe");
    EXPECT_EQ(hours.item(last, 1)->text(), "1,00");
    EXPECT_EQ(hours.item(last, 2)->text(), "3,00");
    log.close();
}
