// Every label a chart draws stands whole inside it, at the window's opening size and
// larger: the port charts with 60 ports, the router chart, and the history window's
// hours and days.
#include "HistorySnapshot.h"
#include "MainFormFixture.h"
#include "TBarChart.h"
#include "TFormVerlauf.h"
#include "THistoryStore.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QTableWidget>

#include <set>

namespace {
QFont LabelFontOf(const TBarChart& chart)
{
    QFont font = chart.font();
    font.setPointSizeF(7);
    return font;
}

// Each drawn text lies inside the chart, is one of its labels or marks whole (a turned
// label may keep only its start), is wide enough for itself, and touches no other.
void ExpectTextsWholeInside(const TBarChart& chart, std::size_t atLeast)
{
    const std::vector<TChartText> texts = chart.PlacedTexts();
    EXPECT_GE(texts.size(), atLeast);
    std::set<QString> known;
    for (const TBar& bar : chart.Bars())
        known.insert({bar.Label, bar.Mark});
    const QFontMetricsF metrics(LabelFontOf(chart), &chart);
    const QRectF inside(chart.rect());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const TChartText& text = texts[i];
        SCOPED_TRACE(text.Text.toStdString());
        EXPECT_TRUE(inside.contains(text.Box)) << "box " << text.Box.x() << "," << text.Box.y() << " "
                                               << text.Box.width() << "x" << text.Box.height() << " in "
                                               << chart.width() << "x" << chart.height();
        if (!text.Turned) {
            EXPECT_TRUE(known.count(text.Text)) << "cut";
            EXPECT_GE(text.Box.width() + 0.5, metrics.horizontalAdvance(text.Text));
        }
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_FALSE(texts[j].Box.intersects(text.Box)) << "over " << texts[j].Text.toStdString();
    }
}

class ChartLabelsTest : public MainFormTest {
protected:
    void SetUp() override
    {
        MainFormTest::SetUp();
        ShowWithoutTicks();
    }
};
}

TEST_F(ChartLabelsTest, PortAndRouterChartsKeepEveryLabelInside)
{
    for (int r = 0; r < 4; ++r) {
        Daten.AddRouter("192.168.100." + std::to_string(250 + r), 7, Now);
        Daten.RouterUpload.Set(static_cast<std::size_t>(r), std::to_string(155'068'000 + r));
        Daten.RouterDownload.Set(static_cast<std::size_t>(r), std::to_string(99'999LL * 1024 * 1024 * (r + 1)));
    }
    for (int p = 0; p < 60; ++p) {
        Daten.RouterPortTrafficUL[0].Add(50'000 + p, 1000 * (p + 1));
        Daten.RouterPortTrafficDL[0].Add(50'000 + p, 7000 * (60 - p));
    }
    Form->SelectedRouter = 0;
    for (const QSize size : {TMainForm::OpeningSize, QSize(1600, 1000)}) {
        SCOPED_TRACE(testing::Message() << size.width() << " x " << size.height());
        Form->resize(size);
        QCoreApplication::processEvents();
        Form->TimerShowingTimer();
        for (const char* name : {"Chart2", "Chart3"}) {
            SCOPED_TRACE(name);
            const TBarChart& chart = *Child<TBarChart>(name);
            ASSERT_EQ(chart.Bars().size(), 60u);
            ExpectTextsWholeInside(chart, 4);
            EXPECT_EQ(chart.PlacedTexts().front().Text, "50000") << "the first port, whole";
        }
        const TBarChart& routers = *Child<TBarChart>("Chart1");
        ExpectTextsWholeInside(routers, 4 + 8);
        std::set<QString> texts;
        for (const TChartText& text : routers.PlacedTexts())
            texts.insert(text.Text);
        EXPECT_TRUE(texts.count("192.168.100.250")) << "the address under its pair";
        EXPECT_TRUE(texts.count("147.884 MB")) << "upload values as the grid shows them";
        EXPECT_TRUE(texts.count("399996.000 MB")) << "download values as the grid shows them";
    }
}

// Hours and days of traffic in the history file, the newest period first in the table
// and rightmost in the chart; at the window's opening size and larger, every label
// stands whole inside its chart. The window says which colour is which and closes by
// its button.
TEST_F(ChartLabelsTest, HistoryWindowShowsNewestFirstWithLabelsInside)
{
    const std::string ip = "192.168.1.5";
    const std::string mac = "02:00:00:00:01:05";
    Daten.AddUser(ip, mac, "eth0", Now);
    {
        THistoryStore store(QString::fromStdString(Dir.File("history.sqlite")), QStringLiteral("chart-labels"));
        ASSERT_TRUE(store.Open().Ok);
        const QDateTime noon(QDate(2026, 12, 10), QTime(12, 0));
        auto at = [](const QDateTime& t) {
            return TLocalTime::FromCivil(t.date().year(), t.date().month(), t.date().day(), t.time().hour(),
                                         t.time().minute(), 0);
        };
        ASSERT_TRUE(store.Write(BuildHistorySnapshot(Daten, at(noon.addDays(-70)))).Ok);
        std::int64_t total = 0;
        auto charge = [&](const QDateTime& t, std::int64_t octets) {
            total += octets;
            Daten.UserUL.Set(0, std::to_string(total / 3));
            Daten.UserDL.Set(0, std::to_string(total));
            ASSERT_TRUE(store.Write(BuildHistorySnapshot(Daten, at(t))).Ok);
        };
        for (int day = 65; day >= 3; --day)
            charge(noon.addDays(-day), (70 - day) * 10'000'000LL);
        for (int hour = 50; hour >= 0; --hour)
            charge(noon.addSecs(-3600 * hour + 60), (60 - hour) * 1'000'000LL);
    }

    TFormVerlauf verlauf;
    verlauf.ShowDevice(QString::fromStdString(Dir.File("history.sqlite")), ip, mac, Now);
    const QTableWidget& hours = verlauf.Table(TFormVerlauf::Hours);
    ASSERT_EQ(hours.rowCount(), 48 + 1);
    EXPECT_EQ(hours.item(0, 0)->text(), "10.12. 12 Uhr") << "the current hour first";
    EXPECT_EQ(hours.item(1, 0)->text(), "10.12. 11 Uhr");
    EXPECT_EQ(hours.item(48, 0)->text(), "Summe");
    const QTableWidget& days = verlauf.Table(TFormVerlauf::Days);
    ASSERT_EQ(days.rowCount(), 60 + 1);
    EXPECT_EQ(days.item(0, 0)->text(), "10.12.2026");
    EXPECT_EQ(days.item(59, 0)->text(), "12.10.2026");
    // Months are billing months: calendar months by default, from the billing day on
    // when one is set, with the same sum.
    const QTableWidget& calendar = verlauf.Table(TFormVerlauf::Months);
    ASSERT_EQ(calendar.rowCount(), 3 + 1);
    EXPECT_EQ(calendar.item(0, 0)->text(), "12/2026");
    EXPECT_EQ(calendar.item(2, 0)->text(), "10/2026");
    {
        TFormVerlauf billing;
        billing.ShowDevice(QString::fromStdString(Dir.File("history.sqlite")), ip, mac, Now, 15);
        const QTableWidget& months = billing.Table(TFormVerlauf::Months);
        ASSERT_EQ(months.rowCount(), 3 + 1);
        EXPECT_EQ(months.item(0, 0)->text(), "ab 15.11.2026");
        EXPECT_EQ(months.item(1, 0)->text(), "ab 15.10.2026");
        EXPECT_EQ(months.item(2, 0)->text(), "ab 15.09.2026");
        EXPECT_EQ(months.item(3, 0)->text(), "Summe");
        EXPECT_EQ(months.item(3, 2)->text(), calendar.item(3, 2)->text());
        EXPECT_NE(months.item(0, 2)->text(), calendar.item(0, 2)->text());
    }
    const std::vector<TBar>& hourBars = verlauf.Chart(TFormVerlauf::Hours).Bars();
    ASSERT_EQ(hourBars.size(), 2u * 48);
    EXPECT_EQ(hourBars[hourBars.size() - 2].Label, "10.12. 12 Uhr") << "the chart ends with the current hour";
    EXPECT_GT(hourBars.back().Value, 0.0);

    const QLabel* legend = verlauf.findChild<QLabel*>(QStringLiteral("Legend"));
    ASSERT_NE(legend, nullptr);
    EXPECT_TRUE(legend->text().contains("#0000ff\">&#9632;</span> Upload")) << legend->text().toStdString();
    EXPECT_TRUE(legend->text().contains("#008000\">&#9632;</span> Download")) << legend->text().toStdString();

    verlauf.show();
    for (const QSize size : {verlauf.size(), QSize(1600, 1000)}) {
        verlauf.resize(size);
        QCoreApplication::processEvents();
        for (const TFormVerlauf::TPeriod period : {TFormVerlauf::Hours, TFormVerlauf::Days, TFormVerlauf::Months}) {
            SCOPED_TRACE(testing::Message() << size.width() << " x " << size.height() << ", period " << period);
            verlauf.findChild<QTabWidget*>()->setCurrentIndex(period);
            QCoreApplication::processEvents();
            ExpectTextsWholeInside(verlauf.Chart(period), period == TFormVerlauf::Months ? 1 : 4);
        }
    }
    const auto* buttons = verlauf.findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    ASSERT_NE(buttons->button(QDialogButtonBox::Close), nullptr);
    buttons->button(QDialogButtonBox::Close)->click();
    EXPECT_FALSE(verlauf.isVisible());
}
