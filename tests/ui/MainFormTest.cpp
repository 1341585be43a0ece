#include "MainFormFixture.h"
#include "TBarChart.h"
#include "TErrorReport.h"
#include "TRouterGridModel.h"
#include "TStateFile.h"
#include "TStateSaver.h"
#include "TTimer.h"
#include "TUserGridModel.h"
#include "TextForms.h"

#include <QMessageBox>
#include <QStandardItemModel>
#include <QProgressBar>
#include <QTableView>

namespace {
std::string StateFile(const std::string& localSubnet, int exportInterval = 30, bool exportEnabled = false)
{
    TDaten d;
    d.LocalSubnets = {localSubnet};
    d.ExportInterval = exportInterval;
    d.ExportEnabled = exportEnabled;
    d.VersionText = "not saved";
    return TStateFile::Format(d);
}
}

TEST_F(MainFormTest, LiveDatagramsOverLoopbackReachTheGrids)
{
    WriteWholeFile("vexal.ini", StateFile("192.168.1"));
    Create();
    EXPECT_TRUE(Form->Collector().FlowListener().Bound());
    EXPECT_GE(Form->Collector().FlowListener().ReceiveBuffer(), 4 * 1024 * 1024) << "room for bursts and VM stalls";

    // Before the window is shown everything is discarded.
    SendMac("f0 192.168.1.23  f2 f3   02:1a:2b:3c:4d:5e f5 eth1\n");
    SendFlow(TFlowDatagramBuilder(1).Add(Ip(192, 168, 1, 23), 1, Ip(8, 8, 8, 8), 80, 100).Bytes());
    QTest::qWait(100);
    EXPECT_EQ(Daten.UserCount(), 0u);
    EXPECT_EQ(Daten.RouterCount(), 0u);
    EXPECT_EQ(Form->Collector().MacDatagramCount, 0);

    Show();
    EXPECT_EQ(Daten.LocalSubnets, std::vector<std::string>{"192.168.1"}) << "state loaded when shown";
    EXPECT_EQ(LabelText("CoolLabel13"), "Version #1");
    SendMac("f0 192.168.1.23  f2 f3   02:1a:2b:3c:4d:5e f5 eth1\n");
    SendMac("f0 192.168.1.24 f2 f3 02:00:00:00:00:24 f5 wlan0\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.UserCount() == 2; }, 5000));
    SendFlow(TFlowDatagramBuilder(5000)
                 .Add(Ip(192, 168, 1, 23), 40000, Ip(8, 8, 8, 8), 443, 1'048'576)
                 .Add(Ip(8, 8, 8, 8), 443, Ip(192, 168, 1, 24), 40001, 2'097'152)
                 .Bytes());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.RouterCount() == 1 && Daten.UserUL.Text(0) == "1048576"; }, 5000));
    EXPECT_TRUE(Child<QLabel>("Image7")->isVisibleTo(Form.get())) << "the arrival light is on";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Child<QLabel>("Image7")->isVisibleTo(Form.get()); }, 1000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !MemoText("CoolMemo1").isEmpty(); }, 1000));
    EXPECT_EQ(MemoText("CoolMemo1"), "IP:127.0.0.1\nFS:5000 Count :2");
    EXPECT_EQ(MemoText("CoolMemo2"), "IP:127.0.0.1 (49)\n02:00:00:00:00:24\n192.168.1.24 [2]");

    Now.MsOfDay += 2000;
    Form->TimerShowingTimer();
    const auto& rows = Form->Users().Model().Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].IP, "192.168.1.24") << "sorted by download, largest first";
    const TUserGridModel& users = Form->Users().Model();
    EXPECT_EQ(users.index(0, TUserGridModel::ColDL).data().toString(), "2.000 MB");
    EXPECT_EQ(users.index(0, TUserGridModel::ColCDL).data().toString(), "2048.000 kB");
    EXPECT_EQ(users.index(0, TUserGridModel::ColCUL).data().toString(), "") << "a counter of \"0\" shows empty";
    EXPECT_EQ(users.index(1, TUserGridModel::ColUL).data().toString(), "1.000 MB");
    EXPECT_EQ(users.index(0, TUserGridModel::ColNIC).data().toString(), "wlan0");
    EXPECT_EQ(users.index(0, TUserGridModel::ColName).data().toString(), "-");
    EXPECT_EQ(users.index(0, 0).data(Qt::BackgroundRole).value<QColor>(), QColor(144, 200, 172));
    EXPECT_EQ(users.index(0, TUserGridModel::ColDL).data(Qt::ForegroundRole).value<QColor>(), QColor(0, 0, 255));
    EXPECT_EQ(LabelText("CoolLabel7"), "2/2 User");
    EXPECT_EQ(Daten.UserStatus[0], "1");

    const TRouterGridModel& routers = Form->RouterGrid();
    ASSERT_EQ(routers.rowCount(), 1);
    EXPECT_EQ(routers.index(0, TRouterGridModel::ColIP).data().toString(), "127.0.0.1");
    EXPECT_EQ(routers.index(0, TRouterGridModel::ColSequenz).data().toString(), "5000");
    EXPECT_EQ(routers.index(0, TRouterGridModel::ColRecordCount).data().toString(), "5002");
    EXPECT_EQ(routers.index(0, TRouterGridModel::ColUp).data().toString(), "1.000 MB");
    EXPECT_EQ(routers.index(0, TRouterGridModel::ColDown).data().toString(), "2.000 MB");
    EXPECT_EQ(routers.index(0, TRouterGridModel::ColPLoss).data().toString(), "0");
    EXPECT_EQ(LabelText("CoolLabel2"), "Upload = 1.000 MB Download = 2.000 MB");
    EXPECT_EQ(LabelText("CoolLabel1"), "127.0.0.1");
    EXPECT_EQ(Child<TBarChart>("Chart2")->Bars(), (std::vector<TBar>{{1'048'576, "443", QColor(0, 0, 255)}}));
    EXPECT_EQ(Child<TBarChart>("Chart3")->Bars(), (std::vector<TBar>{{2'097'152, "443", QColor(0, 128, 0)}}));
    EXPECT_EQ(Child<TBarChart>("Chart1")->Bars(),
              (std::vector<TBar>{{1'048'576, "127.0.0.1", QColor(0, 0, 255), "1.000 MB"},
                                 {2'097'152, "", QColor(0, 128, 0), "2.000 MB"}}));

    // Closing saves the state.
    std::filesystem::remove("vexal.ini");
    Form->close();
    TDaten reloaded;
    EXPECT_TRUE(TStateFile::Load(reloaded, "vexal.ini"));
    EXPECT_EQ(reloaded.UserCount(), 2u);
    EXPECT_EQ(reloaded.UserDL.Text(1), "2097152");
}

TEST_F(MainFormTest, NetworkFaultsAreCountedInTheStatusLineNeverAsBoxes)
{
    WriteWholeFile("vexal.ini", StateFile("192.168.1"));
    Create();
    Show();
    SendFlow({1, 2, 3});
    ASSERT_TRUE(QTest::qWaitFor([&] { return LabelText("Label2").startsWith("1 "); }, 5000));
    EXPECT_TRUE(LabelText("Label2").startsWith("1 fehlerhaftes Datagramm, zuletzt: ")) << LabelText("Label2").toStdString();
    SendMac("nur drei Felder");
    std::vector<std::uint8_t> huge = TFlowDatagramBuilder(1).Bytes();
    huge.resize(3000);
    SendFlow(huge);
    SendMac(std::string(2049, 'x'));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Collector().NetworkErrors == 4; }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return LabelText("Label2").startsWith("4 fehlerhafte Datagramme"); }, 1000));
    EXPECT_FALSE(Form->ErrorReport().Showing());
    EXPECT_EQ(MemoText("CoolMemo2"), "IP:127.0.0.1 (15)") << "only the first line for a malformed announcement";
    EXPECT_EQ(Form->Collector().MacDatagramCount, 1) << "the oversized one is rejected before it is handled";

    // A good datagram afterwards is handled normally; the clearing tick empties the line.
    SendFlow(TFlowDatagramBuilder(9).Add(Ip(192, 168, 1, 5), 1, Ip(8, 8, 8, 8), 53, 10).Bytes());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.RouterCount() == 1; }, 5000));
    EXPECT_EQ(Daten.RouterUpload.Text(0), "10");
    Form->Collector().TimerClearPortsTimer();
    EXPECT_EQ(LabelText("Label2"), "");
}

// A first start has no local network: what arrives is counted for no one, and the
// status line says why and where to change it, until a local network is configured.
TEST_F(MainFormTest, FirstStartWithoutLocalNetworkSaysSoInTheStatusLine)
{
    Create();
    Show();
    const QString note = "Kein lokales Netz eingestellt: Flows und Korvel-Meldungen werden niemandem zugeordnet. "
                         "Bitte unter \"Netzwerk Konf.\" die lokalen Subnetze oder IPs eintragen.";
    Form->Collector().TimerClearPortsTimer();
    EXPECT_EQ(LabelText("Label2"), "") << "nothing to say before anything arrives";
    SendMac("f0 192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e f5 eth1\n");
    SendFlow(TFlowDatagramBuilder(1).Add(Ip(192, 168, 1, 23), 1, Ip(8, 8, 8, 8), 80, 100).Bytes());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Daten.RouterCount() == 1; }, 5000));
    EXPECT_EQ(Daten.UserCount(), 0u);
    EXPECT_EQ(LabelText("Label2"), note);
    Form->Collector().TimerClearPortsTimer();
    EXPECT_EQ(LabelText("Label2"), note) << "the port check keeps it in view";

    Daten.LocalSubnets = {"192.168.1"};
    Form->Collector().TimerClearPortsTimer();
    EXPECT_EQ(LabelText("Label2"), "");
}

TEST_F(MainFormTest, FailedSaveIsReportedOnceInTheStatusLine)
{
    Create();
    Show();
    std::filesystem::create_directory("vexal.ini");  // nothing can be saved there
    // The save goes on the saver's thread; its outcome comes back to the window.
    auto save = [this] {
        Form->Collector().TimerSaveTimer();
        ASSERT_TRUE(Form->Collector().StateSaver().Busy());
        ASSERT_TRUE(QTest::qWaitFor([this] { return !Form->Collector().StateSaver().Busy(); }, 5000));
    };
    save();
    EXPECT_EQ(LabelText("Label2"), "vexal.ini konnte nicht gespeichert werden");
    Form->Collector().TimerClearPortsTimer();
    save();
    EXPECT_EQ(LabelText("Label2"), "") << "once, not at every save period";
    std::filesystem::remove("vexal.ini");
    save();
    EXPECT_TRUE(std::filesystem::is_regular_file("vexal.ini"));
    EXPECT_EQ(LabelText("Label2"), "");
    std::filesystem::remove("vexal.ini");
    std::filesystem::create_directory("vexal.ini");
    save();
    EXPECT_EQ(LabelText("Label2"), "vexal.ini konnte nicht gespeichert werden") << "again after a good save";
}

TEST_F(MainFormTest, TimersStartWhenShownWithTheirPeriods)
{
    WriteWholeFile("vexal.ini", StateFile("10", 0));
    Create();
    for (const char* name : {"TimerShowing", "TimerGetName", "TimerSave", "TimerClearPorts", "TimerMySQLExport"})
        EXPECT_FALSE(Form->Timer(QString::fromLatin1(name)).Enabled()) << name;
    Show();
    const std::pair<const char*, int> periods[] = {
        {"TimerShowing", 750}, {"TimerGetName", 38'254}, {"TimerSave", 57'254}, {"TimerClearPorts", 10'000}};
    for (const auto& [name, interval] : periods) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(Form->Timer(QString::fromLatin1(name)).Running());
        EXPECT_EQ(Form->Timer(QString::fromLatin1(name)).Interval(), interval);
        EXPECT_TRUE(Form->Timer(QString::fromLatin1(name)).Precise()) << "57,254 ms, not 57 s";
    }
    // An export period of 0 is enabled but never fires.
    EXPECT_TRUE(Form->Timer(QStringLiteral("TimerMySQLExport")).Enabled());
    EXPECT_FALSE(Form->Timer(QStringLiteral("TimerMySQLExport")).Running());
    // The real display timer redraws on its own.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !LabelText("CoolLabel2").isEmpty(); }, 3000));
}

TEST_F(MainFormTest, ProgressBarsAdvanceOnlyWhenTheirJobIsConfigured)
{
    WriteWholeFile("vexal.ini", StateFile("10", 2, true));
    Create();
    Show();
    auto* http = Child<QProgressBar>("ProgressBar2");
    auto* sql = Child<QProgressBar>("ProgressBar3");
    EXPECT_EQ(http->maximum(), 38'254);
    EXPECT_EQ(sql->maximum(), 2000);
    Form->TimerShowingTimer();
    EXPECT_EQ(http->value(), 0) << "no name list configured";
    EXPECT_EQ(sql->value(), 750);
    Form->TimerShowingTimer();
    Form->TimerShowingTimer();
    EXPECT_EQ(sql->value(), 2000) << "a full bar stays full";
    Daten.HttpUrl = "http://intern/macs.txt";
    Form->TimerShowingTimer();
    EXPECT_EQ(http->value(), 750);
    Form->Collector().TimerMySQLExportTimer();
    EXPECT_EQ(sql->value(), 0);
}

TEST_F(MainFormTest, DiagnosticGridCountsTheLists)
{
    Create();
    Show();
    Daten.AddRouter("10.0.0.1", 1, Now);
    Daten.RouterUpload.Set(0, "777");
    Daten.AddUser("10.0.0.2", "m", "eth0", Now);
    Form->TimerShowingTimer();
    auto cell = [&](int row, int column) { return Form->DiagGrid().index(row, column).data().toString(); };
    EXPECT_EQ(cell(7, 0), "UserCDL");
    EXPECT_EQ(cell(16, 0), "UserUL");
    EXPECT_EQ(cell(11, 1), "1");
    EXPECT_EQ(cell(18, 0), "RouterDownload");
    EXPECT_EQ(cell(25, 0), "RouterRefresh");
    EXPECT_EQ(cell(25, 1), "0");
    EXPECT_EQ(cell(27, 0), "RouterUpload");
    EXPECT_EQ(cell(33, 0), "RouterUpload");
    EXPECT_EQ(cell(33, 1), "777");
    EXPECT_EQ(cell(40, 0), "");
}

TEST_F(MainFormTest, UnexpectedErrorsShareOneReport)
{
    Create();
    Form->ErrorReport().Report(QStringLiteral("erster Fehler"));
    Form->ErrorReport().Report(QStringLiteral("zweiter Fehler"));
    Form->ErrorReport().Report(QStringLiteral("dritter Fehler"));
    EXPECT_TRUE(Form->ErrorReport().Showing());
    EXPECT_EQ(Form->findChildren<QMessageBox*>().size(), 1);
    EXPECT_EQ(Form->ErrorReport().Text(), "dritter Fehler");
}

// A port taken by another program (even one that allows address reuse) is never
// shared: the listener stays unbound and the status line names the port, also after
// the 10 s clearing of the status line.
TEST_F(MainFormTest, PortTakenByAnotherProgramIsNamedInTheStatusLine)
{
    QUdpSocket other;
    ASSERT_TRUE(other.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
    const quint16 taken = other.localPort();

    Form = std::make_unique<TMainForm>(Daten, taken, 0);
    Form->Clock = [this] { return Now; };
    Show();
    EXPECT_FALSE(Form->Collector().FlowListener().Bound()) << "the port must not be shared with another socket";
    EXPECT_TRUE(Form->Collector().MacListener().Bound());
    const QString expected = QStringLiteral("UDP-Port %1 ist belegt: Flows kommen nicht an.").arg(taken);
    EXPECT_EQ(LabelText("Label2"), expected);
    Form->Collector().TimerClearPortsTimer();
    EXPECT_EQ(LabelText("Label2"), expected);
}
