// The main window at its opening size and larger: every grid value whole, the empty
// grid area in the grid's colour, chart labels whole or thinned out, never stale.
#include "GridStyle.h"
#include "MainFormFixture.h"
#include "TBarChart.h"
#include "TRouterGridModel.h"
#include "TUserGridModel.h"

#include <QHeaderView>
#include <QImage>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>

#include <cstdio>

namespace {
constexpr std::int64_t MB = 1024 * 1024;

class MainWindowLayoutTest : public MainFormTest {
protected:
    void SetUp() override
    {
        MainFormTest::SetUp();
        ShowWithoutTicks();
    }

    // A typical site: 20 online users with totals up to 99,999 MB and current counters
    // up to about a gigabyte, four routers with ten-digit counters.
    void FillTypicalSite()
    {
        for (int i = 0; i < 20; ++i) {
            const std::string ip = "192.168.100." + std::to_string(200 + i);
            char mac[18];
            std::snprintf(mac, sizeof mac, "02:1a:2b:3c:4d:%02x", i);
            Daten.AddUser(ip, mac, i % 3 ? "eth1" : "wlan0", Now);
            Daten.UserUL.Set(Daten.UserUL.size() - 1, std::to_string(99'999 * MB + 1'047'527 - i * 7919 * MB / 10));
            Daten.UserDL.Set(Daten.UserDL.size() - 1, std::to_string(99'999 * MB + 1'047'527 - i * 31 * MB));
            Daten.UserCUL.Set(Daten.UserCUL.size() - 1, std::to_string(999'999 * 1024 + 1023 - i * 4711 * 1024));
            Daten.UserCDL.Set(Daten.UserCDL.size() - 1, std::to_string(999'999 * 1024 + 1023));
            Daten.UserName.back() = "Kasse " + std::to_string(i);
        }
        for (int r = 0; r < 4; ++r) {
            Daten.AddRouter("192.168.100." + std::to_string(250 + r), 4'294'967'295 - r, Now);
            Daten.RouterRecordCount.Set(Daten.RouterRecordCount.size() - 1, "4294967295");
            Daten.RouterUpload.Set(Daten.RouterUpload.size() - 1, std::to_string(99'999 * MB));
            Daten.RouterDownload.Set(Daten.RouterDownload.size() - 1, std::to_string(99'999 * MB));
            Daten.RouterPLoss.back() = "4294967295";
        }
    }

    void Tick()
    {
        Form->TimerShowingTimer();
        QCoreApplication::processEvents();
    }

    // What the grid's delegate shows in the tooltip of a cell as it is laid out now:
    // empty when the text is whole.
    static QString CutTextOf(QTableView* grid, const QModelIndex& index)
    {
        auto* delegate = qobject_cast<TWholeTextDelegate*>(grid->itemDelegateForIndex(index));
        if (!delegate) {
            ADD_FAILURE() << "no whole-text delegate";
            return {};
        }
        QStyleOptionViewItem option;
        option.initFrom(grid->viewport());
        option.widget = grid;
        option.font = grid->font();
        option.rect = grid->visualRect(index);
        return delegate->CutText(option, index);
    }

    // Every cell on screen shows its text whole and lies inside the grid's viewport.
    static void ExpectAllCellsWhole(QTableView* grid)
    {
        const QAbstractItemModel* model = grid->model();
        const int padding = CellPadding(grid);
        const int first = std::max(0, grid->rowAt(0));
        int last = grid->rowAt(grid->viewport()->height() - 1);
        if (last < 0)
            last = model->rowCount() - 1;
        ASSERT_GE(last, first);
        for (int column = 0; column < model->columnCount(); ++column) {
            if (grid->isColumnHidden(column))
                continue;
            SCOPED_TRACE(model->headerData(column, Qt::Horizontal).toString().toStdString());
            EXPECT_LE(grid->columnViewportPosition(column) + grid->columnWidth(column), grid->viewport()->width())
                << "the column lies beyond the grid's right edge; width " << grid->columnWidth(column);
            for (int row = first; row <= last; ++row) {
                const QModelIndex index = model->index(row, column);
                const QVariant font = index.data(Qt::FontRole);
                const QFontMetricsF metrics(font.isValid() ? font.value<QFont>().resolve(grid->font()) : grid->font(),
                                            grid->viewport());
                const QString text = index.data().toString();
                const double width = metrics.horizontalAdvance(text);
                double needed = width + padding;
                if (index.data(Qt::DecorationRole).isValid())
                    needed += DecorationRoom(grid);
                EXPECT_LE(needed, grid->columnWidth(column)) << text.toStdString();
                // And as the delegate lays the cell out for painting.
                EXPECT_EQ(CutTextOf(grid, index), QString()) << text.toStdString();
            }
        }
    }
};
}

TEST_F(MainWindowLayoutTest, TypicalSiteShowsEveryValueWholeAndGrowsWithTheWindow)
{
    FillTypicalSite();
    EXPECT_EQ(Form->size(), TMainForm::OpeningSize);
    Tick();
    auto* users = Child<QTableView>("ProfGrid2");
    auto* routers = Child<QTableView>("ProfGrid1");
    ASSERT_EQ(users->model()->rowCount(), 20);
    EXPECT_EQ(users->model()->index(0, TUserGridModel::ColUL).data().toString(), "99999.999 MB");
    {
        SCOPED_TRACE("users at 1038 x 713");
        ExpectAllCellsWhole(users);
    }
    {
        SCOPED_TRACE("routers at 1038 x 713");
        ExpectAllCellsWhole(routers);
    }
    // The rows further down count once they come on screen.
    users->verticalScrollBar()->setValue(users->verticalScrollBar()->maximum());
    QCoreApplication::processEvents();
    {
        SCOPED_TRACE("users scrolled to the end");
        ExpectAllCellsWhole(users);
    }

    const int usersWidth = users->width();
    const int routersWidth = routers->width();
    const int usersHeight = users->height();
    const int chartHeight = Child<TBarChart>("Chart3")->height();
    Form->resize(1600, 1000);
    QCoreApplication::processEvents();
    Tick();
    EXPECT_GT(users->width(), usersWidth + 400);
    EXPECT_GT(routers->width(), routersWidth + 400);
    EXPECT_GT(users->height(), usersHeight);
    EXPECT_GT(Child<TBarChart>("Chart3")->height(), chartHeight);
    EXPECT_EQ(Child<TBarChart>("Chart3")->width(), Child<TBarChart>("Chart2")->width());
    EXPECT_LE(Child<TBarChart>("Chart3")->width(), TMainForm::RightColumnWidth) << "the right column keeps its width";
    ExpectAllCellsWhole(users);
    ExpectAllCellsWhole(routers);
}

// Interface names of 30 characters at the opening size: the name column stays in view
// without scrolling sideways; a shortened interface name is whole in its tooltip.
TEST_F(MainWindowLayoutTest, LongInterfaceNamesLeaveTheNameInView)
{
    FillTypicalSite();
    for (std::string& device : Daten.UserDevice)
        device = "enp0s31f6-vlan100-bridge-guest";
    ASSERT_EQ(Daten.UserDevice[0].size(), 30u);
    EXPECT_EQ(Form->size(), TMainForm::OpeningSize);
    Tick();
    Tick();
    auto* users = Child<QTableView>("ProfGrid2");
    const int name = TUserGridModel::ColName;
    const int nic = TUserGridModel::ColNIC;
    EXPECT_EQ(users->horizontalScrollBar()->maximum(), 0) << "no sideways scrolling";
    const int nameLeft = users->columnViewportPosition(name);
    EXPECT_GE(nameLeft, 0);
    const QFontMetrics metrics(users->font(), users->viewport());
    EXPECT_GE(users->viewport()->width() - nameLeft, metrics.horizontalAdvance("Kasse 19"))
        << "the name column shows the names whole";
    const QModelIndex cell = users->model()->index(0, nic);
    EXPECT_EQ(CutTextOf(users, cell), "enp0s31f6-vlan100-bridge-guest") << "whole in the tooltip";
    // Wider, the interface name is whole again.
    Form->resize(1600, 1000);
    QCoreApplication::processEvents();
    Tick();
    EXPECT_EQ(CutTextOf(users, cell), QString());
}

TEST_F(MainWindowLayoutTest, EmptyPartOfTheUserGridHasTheGridsColour)
{
    Daten.AddUser("10.0.0.1", "02:00:00:00:00:01", "eth0", Now);
    Tick();
    auto* users = Child<QTableView>("ProfGrid2");
    const QImage image = users->viewport()->grab().toImage();
    const QPoint below(image.width() / 2, image.height() - 4);
    ASSERT_GT(below.y(), users->rowViewportPosition(0) + users->rowHeight(0));
    EXPECT_EQ(QColor(image.pixel(below)), TUserGridModel::BandBackground(4));
}

TEST_F(MainWindowLayoutTest, CutNameShowsWholeInItsTooltip)
{
    Daten.AddUser("10.0.0.1", "02:00:00:00:00:01", "eth0", Now);
    Daten.UserName.back() = "Konferenzraum Nord-Ost im zweiten Obergeschoss hinter der Treppe";
    Daten.AddUser("10.0.0.2", "02:00:00:00:00:02", "eth0", Now);
    Daten.UserName.back() = "NAS";
    Tick();
    auto* users = Child<QTableView>("ProfGrid2");
    auto* delegate = qobject_cast<TWholeTextDelegate*>(users->itemDelegate());
    ASSERT_NE(delegate, nullptr);
    for (int row = 0; row < 2; ++row) {
        const QModelIndex index = users->model()->index(row, TUserGridModel::ColName);
        QStyleOptionViewItem option;
        option.initFrom(users->viewport());
        option.widget = users;
        option.font = users->font();
        option.rect = users->visualRect(index);
        const QString name = index.data().toString();
        EXPECT_EQ(delegate->CutText(option, index), name.size() > 3 ? name : QString()) << name.toStdString();
    }
}

TEST(BarChart, PortLabelsStayLevelAndThinOutWhenCrowded)
{
    struct {
        int Width;
        int Ports;
        bool Thinned;
    } const cases[] = {{316, 3, false}, {316, 14, true}, {316, 60, true}, {1200, 14, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Width << " px, " << c.Ports << " ports");
        TBarChart chart(Qt::Vertical, QStringLiteral("Upload je Port"));
        chart.resize(c.Width, 200);
        std::vector<TBar> bars;
        for (int p = 0; p < c.Ports; ++p)
            bars.push_back({1000.0 * (p + 1), QString::number(50000 + p), Qt::blue});
        chart.SetBars(bars);
        EXPECT_FALSE(chart.LabelsTurned());
        const int step = chart.LabelStep();
        EXPECT_EQ(step > 1, c.Thinned) << step;
        // The shown labels keep apart, and no more are left out than needed.
        const int widest = QFontMetrics([&] { QFont f = chart.font(); f.setPointSizeF(7); return f; }(), &chart).horizontalAdvance("50000");
        const double slot = (c.Width - 6.0) / c.Ports;
        EXPECT_GE(step * slot, widest);
        if (step > 1) {
            EXPECT_LT((step - 1) * slot, widest + 6.0);
        }
        // Every bar names its port and value.
        EXPECT_EQ(chart.ToolTipOf(1), QStringLiteral("50001: 2000"));
    }
}

TEST(BarChart, RouterLabelsAreTurnedRatherThanLeftOut)
{
    TBarChart chart(Qt::Vertical);
    chart.SetCrowded(TBarChart::TCrowded::Turn);
    chart.resize(690, 160);
    std::vector<TBar> bars;
    for (int r = 0; r < 4; ++r) {
        bars.push_back({1e9, QStringLiteral("192.168.100.%1").arg(250 + r), Qt::blue});
        bars.push_back({2e9, QStringLiteral("99999.00"), Qt::green});
    }
    chart.SetBars(bars);
    EXPECT_FALSE(chart.LabelsTurned()) << "four routers fit level";
    EXPECT_EQ(chart.LabelStep(), 1);
    bars.insert(bars.end(), bars.begin(), bars.end());
    bars.insert(bars.end(), bars.begin(), bars.end());
    chart.SetBars(bars);
    EXPECT_TRUE(chart.LabelsTurned());
    EXPECT_EQ(chart.LabelStep(), 1) << "32 bars: every label, on its side";
}

TEST(BarChart, EmptiedChartShowsNoOldLabels)
{
    TBarChart chart(Qt::Vertical);
    chart.resize(316, 200);
    std::vector<TBar> bars;
    for (int p = 0; p < 14; ++p)
        bars.push_back({1000.0, QString::number(8000 + p), Qt::blue});
    chart.SetBars(bars);
    auto darkPixels = [&] {
        const QImage image = chart.grab().toImage();
        int dark = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                dark += qGray(image.pixel(x, y)) < 100 ? 1 : 0;
        return dark;
    };
    // Bars in blue are dark too; the labels are what stays black after the bars go.
    chart.SetBars(std::vector<TBar>(bars.size(), TBar{0, QString(), Qt::blue}));
    EXPECT_EQ(darkPixels(), 0) << "no labels, no bars";
    chart.SetBars(bars);
    EXPECT_GT(darkPixels(), 0);
    chart.Clear();
    EXPECT_TRUE(chart.Bars().empty());
    EXPECT_EQ(darkPixels(), 0);
    EXPECT_EQ(chart.BarAt(QPoint(100, 150)), -1);
}
