#include "MainFormFixture.h"
#include "TBarChart.h"
#include "TRouterGridModel.h"
#include "TUserGridModel.h"
#include "TextForms.h"
#include "UserAges.h"

#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QHeaderView>
#include <QTableView>

#include <algorithm>
#include <array>

namespace {
// A stamp `age` units (1/75,000 of a day) before `now`.
std::string StampBefore(const TLocalTime& now, double age)
{
    const double serial = now.Serial() - age / 75'000.0;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.15g", serial);
    return buffer;
}

class TickTest : public MainFormTest {
protected:
    void SetUp() override
    {
        MainFormTest::SetUp();
        ShowWithoutTicks();
    }
    void AddUser(const std::string& ip, double flowAge, double macAge)
    {
        Daten.AddUser(ip, "02:00:00:00:00:01", "eth0", Now);
        Daten.UserLastTime.back() = StampBefore(Now, flowAge);
        Daten.UserMACTime.back() = StampBefore(Now, macAge);
    }
    TUserGridRows Rows() const { return Form->UserGrid().Rows(); }
};
}

// The tick writes the statuses the store's rule writes, which a service without a
// window runs on its own: the export and the metrics read the same either way.
TEST_F(TickTest, TickWritesTheStatusesOfTheStoreRule)
{
    Daten.HideIPs = {"10.0.0.4"};
    for (const double macAge : {0.0, 119.9, 120.1, 500.0, -3.0})
        AddUser("10.0.0." + std::to_string(Daten.UserCount() + 1), 0, macAge);
    Form->TimerShowingTimer();
    const std::vector<std::string> shown = Daten.UserStatus;
    std::fill(Daten.UserStatus.begin(), Daten.UserStatus.end(), "x");
    ApplyOnlineRule(Daten, Now);
    EXPECT_EQ(Daten.UserStatus, shown);
    EXPECT_EQ(shown, (std::vector<std::string>{"1", "1", "0", "0", "1"}));
}

TEST_F(TickTest, FlowAgeChoosesTheColourBand)
{
    struct {
        double Age;
        QColor Background;
        QColor Text;
    } const cases[] = {
        {0, QColor(144, 200, 172), QColor(0, 0, 255)},    {9.9, QColor(144, 200, 172), QColor(0, 0, 255)},
        {10.1, QColor(144, 192, 172), QColor(0, 0, 255)}, {30.1, QColor(144, 181, 188), QColor(0, 0, 255)},
        {60.1, QColor(144, 176, 188), QColor(0, 0, 255)}, {599.9, QColor(144, 176, 188), QColor(0, 0, 255)},
        {600.1, QColor(144, 168, 204), QColor(0, 0, 0)},  {75'000, QColor(144, 168, 204), QColor(0, 0, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Age);
        Daten.ClearUsers();
        AddUser("10.0.0.1", c.Age, 0);
        Form->TimerShowingTimer();
        const TUserGridModel& grid = Form->UserGrid();
        ASSERT_EQ(grid.rowCount(), 1);
        for (int column : {0, 1, 4, 10})
            EXPECT_EQ(grid.index(0, column).data(Qt::BackgroundRole).value<QColor>(), c.Background);
        EXPECT_EQ(grid.index(0, TUserGridModel::ColUL).data(Qt::ForegroundRole).value<QColor>(), c.Text);
        EXPECT_EQ(grid.index(0, TUserGridModel::ColDL).data(Qt::ForegroundRole).value<QColor>(), c.Text);
    }
}

TEST_F(TickTest, AnnouncementAgeDecidesOnlineStatusAndVisibility)
{
    Daten.HideSubnets = {"10.9"};
    Daten.HideIPs = {"10.0.0.4"};
    AddUser("10.0.0.1", 0, 119.9);    // online
    AddUser("10.0.0.2", 0, 120.1);    // offline
    AddUser("10.9.0.3", 0, 0);        // hidden subnet, online
    AddUser("10.0.0.4", 0, 500);      // hidden address, offline
    AddUser("10.99.0.5", 0, 0);       // not in the hidden subnet 10.9
    Form->TimerShowingTimer();
    EXPECT_EQ(Daten.UserStatus, (std::vector<std::string>{"1", "0", "1", "0", "1"})) << "written for every user";
    ASSERT_EQ(Rows().size(), 2u);
    EXPECT_EQ(LabelText("CoolLabel7"), "2/5 User");

    Child<QCheckBox>("CoolCheckRadioBox1")->setChecked(false);
    Form->TimerShowingTimer();
    ASSERT_EQ(Rows().size(), 3u) << "offline users too, hidden ones never";
    EXPECT_EQ(LabelText("CoolLabel7"), "3/5 User");
    const TUserGridModel& grid = Form->UserGrid();
    int offline = 0;
    for (int row = 0; row < 3; ++row)
        offline += Rows()[static_cast<std::size_t>(row)].Online ? 0 : 1;
    EXPECT_EQ(offline, 1);
    EXPECT_FALSE(grid.index(0, 0).data(Qt::DecorationRole).isNull()) << "status mark in the address cell";
}

TEST_F(TickTest, AgesAcrossMidnight)
{
    // A client last seen at 23:59 is neither online nor fresh at 09:00 the next day.
    const TLocalTime evening = TLocalTime::FromCivil(2026, 12, 9, 23, 59, 0);
    Daten.AddUser("10.0.0.1", "m", "eth0", evening);
    Daten.UserLastTime[0] = StampText(evening);
    Now = TLocalTime::FromCivil(2026, 12, 10, 9, 0, 0);
    Child<QCheckBox>("CoolCheckRadioBox1")->setChecked(false);
    Form->TimerShowingTimer();
    EXPECT_EQ(Daten.UserStatus[0], "0");
    ASSERT_EQ(Rows().size(), 1u);
    EXPECT_EQ(Rows()[0].Band, 4);

    // Ninety seconds later, just after midnight, its age is small and positive (78 units).
    Now = TLocalTime::FromCivil(2026, 12, 10, 0, 0, 30);
    Form->TimerShowingTimer();
    EXPECT_EQ(Daten.UserStatus[0], "1");
    EXPECT_EQ(Rows()[0].Band, 3);

    // A user loaded from the state file ("0") looks recent only in the first minutes of a day.
    Daten.UserLastTime[0] = "0";
    Daten.UserMACTime[0] = "0";
    Now = TLocalTime::FromCivil(2026, 12, 10, 0, 0, 5);
    Form->TimerShowingTimer();
    EXPECT_EQ(Rows()[0].Band, 0);
    EXPECT_EQ(Daten.UserStatus[0], "1");
    Now = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
    Form->TimerShowingTimer();
    EXPECT_EQ(Rows()[0].Band, 4);
    EXPECT_EQ(Daten.UserStatus[0], "0");
}

TEST_F(TickTest, NumbersAreFormattedFromTheirText)
{
    struct {
        const char* Stored;
        const char* Total;    // UL column
        const char* Counter;  // CUL column
    } const cases[] = {
        {"0", "0.000 MB", ""},
        {"00", "0.000 MB", "0.000 kB"},  // only the exact text "0" shows empty
        {"1048576", "1.000 MB", "1024.000 kB"},
        {"1572864", "1.500 MB", "1536.000 kB"},
        {"5000000000000", "4768371.582 MB", "4882812500.000 kB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Stored);
        Daten.ClearUsers();
        AddUser("10.0.0.1", 0, 0);
        Daten.UserUL.Set(0, c.Stored);
        Daten.UserCUL.Set(0, c.Stored);
        Form->TimerShowingTimer();
        EXPECT_EQ(Form->UserGrid().index(0, TUserGridModel::ColUL).data().toString(), c.Total);
        EXPECT_EQ(Form->UserGrid().index(0, TUserGridModel::ColCUL).data().toString(), c.Counter);
    }
}

TEST_F(TickTest, DamagedUserStopsTheStageAtThatUser)
{
    for (int i = 1; i <= 4; ++i)
        AddUser("10.0.0." + std::to_string(i), 0, 0);
    Form->TimerShowingTimer();
    ASSERT_EQ(LabelText("CoolLabel7"), "4/4 User");

    Daten.UserDL.Set(2, "viel");  // only a damaged state file can do this
    Daten.UserMACTime[3] = StampBefore(Now, 500);
    Daten.UserUL.Set(0, "2048");
    Form->TimerShowingTimer();
    EXPECT_EQ(LabelText("Label2"), "Fehler2");
    EXPECT_EQ(LabelText("CoolLabel7"), "4/4 User") << "the count label keeps its text";
    EXPECT_EQ(Daten.UserStatus[3], "1") << "users after the fault get no status update";
    ASSERT_EQ(Rows().size(), 4u) << "rows of the previous tick stay";
    bool updated = false;
    for (const TUserGridRow& row : Rows())
        updated |= row.IP == "10.0.0.1" && row.UL == 2048;
    EXPECT_TRUE(updated) << "rows before the fault are written";

    // The port stage still runs after it and its own error text wins.
    Daten.AddRouter("10.0.0.254", 1, Now);
    Daten.RouterPortTrafficUL.pop_back();  // a router list shorter than RouterIP
    Form->SelectedRouter = 0;
    Form->TimerShowingTimer();
    EXPECT_EQ(LabelText("Label2"), "Fehler");
    Daten.RouterPortTrafficUL.emplace_back();
}

TEST_F(TickTest, RouterStageTotalsAndDamage)
{
    Form->TimerShowingTimer();
    EXPECT_EQ(LabelText("CoolLabel2"), "Upload = 0.000 MB Download = 0.000 MB");
    EXPECT_EQ(Form->RouterGrid().rowCount(), 0);
    EXPECT_TRUE(Child<TBarChart>("Chart1")->Bars().empty());
    EXPECT_EQ(LabelText("CoolLabel1"), "");

    Daten.AddRouter("10.0.0.1", 7, Now);
    Daten.AddRouter("10.0.0.2", 8, Now);
    Daten.RouterDownload.Set(0, "1572864");          // 1.5 MiB
    Daten.RouterUpload.Set(1, "4294967296");         // beyond 32 bits
    Daten.RouterDownload.Set(1, "4294967296");
    Form->TimerShowingTimer();
    const TRouterGridModel& grid = Form->RouterGrid();
    EXPECT_EQ(grid.index(0, TRouterGridModel::ColDown).data().toString(), "1.500 MB");
    EXPECT_EQ(LabelText("CoolLabel2"), "Upload = 4096.000 MB Download = 4097.500 MB");
    const auto& bars = Child<TBarChart>("Chart1")->Bars();
    ASSERT_EQ(bars.size(), 4u);
    EXPECT_EQ(bars[1].Mark, "1.500 MB") << "as the grid shows it, with the unit";
    EXPECT_EQ(bars[2].Mark, "4096.000 MB") << "upload bars too";
    EXPECT_EQ(bars[2].Label, "10.0.0.2");
    EXPECT_EQ(bars[3].Value, 4294967296.0);

    Daten.RouterUpload.Set(0, "100");
    Daten.RouterUpload.Set(1, "kaputt");
    Form->TimerShowingTimer();
    EXPECT_EQ(LabelText("Label2"), "Fehler Tabelle Router");
    EXPECT_EQ(grid.index(0, TRouterGridModel::ColUp).data().toString(), "0.000 MB") << "row 0 was rewritten";
    EXPECT_EQ(grid.index(1, TRouterGridModel::ColUp).data().toString(), "4096.000 MB") << "row 1 kept";
    EXPECT_EQ(LabelText("CoolLabel2"), "Upload = 4096.000 MB Download = 4097.500 MB");
}

TEST_F(TickTest, PortChartsFollowTheSelectedRouter)
{
    Daten.AddRouter("10.0.0.1", 1, Now);
    Daten.AddRouter("10.0.0.2", 1, Now);
    Daten.RouterPortTrafficUL[1].Add(443, 3'000'000'000);  // a 64-bit sum is charted
    Daten.RouterPortTrafficUL[1].Add(80, 5);
    Daten.RouterPortTrafficDL[1].Add(53, 700);
    Form->SelectedRouter = 1;
    Form->TimerShowingTimer();
    EXPECT_EQ(LabelText("CoolLabel1"), "10.0.0.2");
    EXPECT_EQ(Child<TBarChart>("Chart2")->Bars(),
              (std::vector<TBar>{{3e9, "443", QColor(0, 0, 255)}, {5, "80", QColor(0, 0, 255)}}));
    EXPECT_EQ(Child<TBarChart>("Chart3")->Bars(), (std::vector<TBar>{{700, "53", QColor(0, 128, 0)}}));

    // Selecting a row in the router grid moves the charts at the next tick.
    Child<QTableView>("ProfGrid1")->selectRow(0);
    EXPECT_EQ(Form->SelectedRouter, 0);
    Form->TimerShowingTimer();
    EXPECT_EQ(LabelText("CoolLabel1"), "10.0.0.1");
    EXPECT_TRUE(Child<TBarChart>("Chart2")->Bars().empty());

    // Out of range: the upload chart empties, the download chart keeps its bars.
    Form->SelectedRouter = 1;
    Form->TimerShowingTimer();
    Form->SelectedRouter = 5;
    Form->TimerShowingTimer();
    EXPECT_EQ(LabelText("CoolLabel1"), "");
    EXPECT_TRUE(Child<TBarChart>("Chart2")->Bars().empty());
    EXPECT_EQ(Child<TBarChart>("Chart3")->Bars().size(), 1u);

    // Clearing the ports empties both charts of a selected router.
    Form->SelectedRouter = 1;
    Form->TimerClearPortsTimer();
    Form->TimerShowingTimer();
    EXPECT_TRUE(Child<TBarChart>("Chart3")->Bars().empty());
}

TEST_F(TickTest, UsersChosenSortSurvivesTheTicks)
{
    AddUser("10.0.0.10", 0, 0);
    AddUser("10.0.0.9", 0, 0);
    AddUser("10.0.0.100", 0, 0);
    for (std::size_t i = 0; const char* dl : {"9000000", "10000000", "200"})
        Daten.UserDL.Set(i++, dl);
    Form->TimerShowingTimer();
    auto order = [&] {
        std::vector<std::string> ips;
        for (const TUserGridRow& row : Rows())
            ips.push_back(row.IP);
        return ips;
    };
    EXPECT_EQ(order(), (std::vector<std::string>{"10.0.0.9", "10.0.0.10", "10.0.0.100"})) << "DL by bytes, descending";

    Child<QTableView>("ProfGrid2")->horizontalHeader()->setSortIndicator(TUserGridModel::ColIP, Qt::AscendingOrder);
    EXPECT_EQ(order(), (std::vector<std::string>{"10.0.0.9", "10.0.0.10", "10.0.0.100"})) << "addresses by number";
    Daten.UserDL.Set(2, "99999999");
    Form->TimerShowingTimer();
    Form->TimerShowingTimer();
    EXPECT_EQ(order(), (std::vector<std::string>{"10.0.0.9", "10.0.0.10", "10.0.0.100"}));
    EXPECT_EQ(Form->UserGrid().SortColumn(), TUserGridModel::ColIP);
}

TEST(UserGridSort, EverySortableColumnInBothOrders)
{
    // Five users whose values order differently in every column; numbers are chosen so
    // that their text would sort otherwise (999 before 1500, 10.0.0.9 before 10.0.0.10).
    struct {
        int Column;
        std::array<int, 5> Ascending;  // the users from the smallest value up
    } const cases[] = {
        {TUserGridModel::ColIP, {4, 0, 1, 2, 3}},   {TUserGridModel::ColMAC, {2, 0, 3, 4, 1}},
        {TUserGridModel::ColUL, {1, 3, 0, 4, 2}},   {TUserGridModel::ColDL, {3, 2, 4, 1, 0}},
        {TUserGridModel::ColCUL, {0, 4, 2, 1, 3}},  {TUserGridModel::ColCDL, {2, 4, 1, 3, 0}},
        {TUserGridModel::ColCPort, {1, 0, 4, 3, 2}}, {TUserGridModel::ColNIC, {3, 1, 4, 0, 2}},
        {TUserGridModel::ColName, {0, 2, 3, 1, 4}},
    };
    const char* const ips[] = {"9.255.0.1", "10.0.0.9", "10.0.0.10", "10.0.0.100", "10.0.1.2"};
    const char* const macs[] = {"02:00:00:00:00:01", "02:00:00:00:00:0a", "02:00:00:00:00:1f", "0a:00:00:00:00:00",
                                "f0:00:00:00:00:00"};
    const double uls[] = {0, 999, 1500, 9e6, 1e7};
    const double dls[] = {7, 64, 512, 4096, 5e9};
    const double culs[] = {3, 25, 100, 2048, 70000};
    const double cdls[] = {0, 9, 88, 777, 123456};
    const char* const cports[] = {"", "22:10", "443:5", "53:100", "80:1"};
    const char* const nics[] = {"br0", "eth0", "eth1", "tun0", "wlan0"};
    const char* const names[] = {"-", "Anna", "Bert", "Carla", "Dieter"};

    std::array<TUserGridRow, 5> users;
    for (const auto& c : cases)
        for (std::size_t rank = 0; rank < 5; ++rank) {
            TUserGridRow& user = users[static_cast<std::size_t>(c.Ascending[rank])];
            switch (c.Column) {
            case TUserGridModel::ColIP: user.IP = ips[rank]; break;
            case TUserGridModel::ColMAC: user.MAC = macs[rank]; break;
            case TUserGridModel::ColUL: user.UL = uls[rank]; break;
            case TUserGridModel::ColDL: user.DL = dls[rank]; break;
            case TUserGridModel::ColCUL: user.CUL = culs[rank]; break;
            case TUserGridModel::ColCDL: user.CDL = cdls[rank]; break;
            case TUserGridModel::ColCPort: user.CPort = cports[rank]; break;
            case TUserGridModel::ColNIC: user.Device = nics[rank]; break;
            case TUserGridModel::ColName: user.Name = names[rank]; break;
            }
        }
    TUserGridModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    std::vector<TUserGridRow> fresh(users.begin(), users.end());
    model.ReplaceAllRows(fresh, fresh.size(), true);
    auto userAt = [&](int row) {
        const std::string& ip = model.Rows()[static_cast<std::size_t>(row)].IP;
        for (int u = 0; u < 5; ++u)
            if (users[static_cast<std::size_t>(u)].IP == ip)
                return u;
        return -1;
    };
    for (const auto& c : cases)
        for (const Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            SCOPED_TRACE(::testing::Message() << "column " << c.Column << (order == Qt::AscendingOrder ? " up" : " down"));
            model.sort(c.Column, order);
            std::array<int, 5> expected = c.Ascending;
            if (order == Qt::DescendingOrder)
                std::reverse(expected.begin(), expected.end());
            std::array<int, 5> shown{};
            for (int row = 0; row < 5; ++row)
                shown[static_cast<std::size_t>(row)] = userAt(row);
            EXPECT_EQ(shown, expected);
            // The sort role a proxy or a test would read agrees with the order.
            for (int row = 1; row < 5; ++row) {
                const QPartialOrdering step = QVariant::compare(model.index(row - 1, c.Column).data(TUserGridModel::SortRole),
                                                                model.index(row, c.Column).data(TUserGridModel::SortRole));
                EXPECT_EQ(step, order == Qt::AscendingOrder ? QPartialOrdering::Less : QPartialOrdering::Greater)
                    << "rows " << row - 1 << " and " << row;
            }
        }
}

TEST_F(TickTest, ModelsBehaveForViews)
{
    QAbstractItemModelTester userTester(&Form->UserGrid(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModelTester routerTester(&Form->RouterGrid(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    for (int i = 0; i < 30; ++i)
        AddUser("10.0.1." + std::to_string(i), i * 40.0, i * 10.0);
    Daten.AddRouter("10.0.0.1", 1, Now);
    Form->TimerShowingTimer();
    Daten.RemoveUser(3);
    Daten.RemoveUser(7);
    Form->TimerShowingTimer();
    // Rows that move, come and go in one tick: the grid holds exactly the users shown.
    Child<QCheckBox>("CoolCheckRadioBox1")->setChecked(false);
    for (std::size_t i = 0; i < Daten.UserCount(); i += 3)
        Daten.UserDL.Set(i, std::to_string(i * 7919 % 1000));
    Daten.RemoveUser(0);
    AddUser("10.0.2.1", 0, 500);
    Form->TimerShowingTimer();
    std::vector<std::string> shown;
    for (const TUserGridRow& row : Rows())
        shown.push_back(row.IP);
    std::vector<std::string> users(Daten.UserIP.begin(), Daten.UserIP.end());
    std::sort(shown.begin(), shown.end());
    std::sort(users.begin(), users.end());
    EXPECT_EQ(shown, users);
    for (std::size_t row = 1; row < Rows().size(); ++row)
        EXPECT_GE(Rows()[row - 1].DL, Rows()[row].DL) << "by download, largest first";
    Daten.ClearUsers();
    Form->TimerShowingTimer();
    EXPECT_EQ(Form->UserGrid().rowCount(), 0);
    EXPECT_EQ(LabelText("CoolLabel7"), "0/0 User");
}
