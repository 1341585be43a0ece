#include "MainFormFixture.h"
#include "TFormEinstellungen.h"
#include "TFormFilter.h"
#include "TDeviceLimits.h"
#include "TExtraSettings.h"
#include "GermanQtTexts.h"
#include "TMetricsExporter.h"
#include "TStateFile.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLibraryInfo>
#include <QTranslator>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QTcpServer>

#include <sys/stat.h>

namespace {
QPushButton* ButtonOf(QWidget* window, const QString& text)
{
    for (QPushButton* button : window->findChildren<QPushButton*>())
        if (button->text() == text)
            return button;
    return nullptr;
}

class DialogsTest : public MainFormTest {
protected:
    void SetUp() override
    {
        MainFormTest::SetUp();
        Create();
        Show();
    }
    // Presses a main window button and acts in the modal dialog it opens.
    void InDialog(const QString& button, std::function<void(QWidget*)> act)
    {
        OnNextModal(std::move(act));
        ButtonOf(Form.get(), button)->click();
    }
};
}

TEST(FilterText, LinesBecomeEntriesWithoutSurroundingWhiteSpace)
{
    using Entries = std::vector<std::string>;
    struct {
        const char* Text;
        Entries Expected;
    } const cases[] = {
        {"", {}},
        {"192.168.1", {"192.168.1"}},
        {"192.168.1\n", {"192.168.1"}},
        {"a\n\nb", {"a", "", "b"}},
        {"a\n\n", {"a", ""}},
        {"\n", {""}},
        {"a\r\nb\rc", {"a", "b", "c"}},
        {" 10.0 \n192.168.1.", {"10.0", "192.168.1."}},
        {"\t192.168.1\t\n10 .0\n \t", {"192.168.1", "10 .0", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(TFormFilter::EntriesOf(QString::fromUtf8(c.Text)), c.Expected);
    }
}

TEST_F(DialogsTest, FilterDialogStoresOnSaveAndDiscardsOnClose)
{
    Daten.LocalSubnets = {"192.168.1", "", "10"};
    Daten.HideIPs = {"192.168.1.1"};
    // Opening and saving without edits changes nothing, empty entries included.
    InDialog("Netzwerk Konf.", [](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Filter");
        ButtonOf(dialog, "Speichern")->click();
    });
    EXPECT_EQ(Daten.LocalSubnets, (std::vector<std::string>{"192.168.1", "", "10"}));
    EXPECT_EQ(Daten.HideIPs, std::vector<std::string>{"192.168.1.1"});
    EXPECT_TRUE(Daten.LocalIPs.empty());

    InDialog("Netzwerk Konf.", [](QWidget* dialog) {
        auto* box = dialog->findChild<QPlainTextEdit*>(QStringLiteral("LocalIPs"));
        box->setFocus();
        QTest::keyClicks(box, "172.16.0.9");
        QTest::keyClick(box, Qt::Key_Return);
        QTest::keyClick(box, Qt::Key_Return);
        dialog->findChild<QPlainTextEdit*>(QStringLiteral("HideSubnets"))->setPlainText("192.168.1.\n");
        ButtonOf(dialog, "Speichern")->click();
    });
    EXPECT_EQ(Daten.LocalIPs, (std::vector<std::string>{"172.16.0.9", ""}));
    EXPECT_EQ(Daten.HideSubnets, std::vector<std::string>{"192.168.1."});
    EXPECT_TRUE(Daten.IsLocalAddress("172.16.0.9"));
    EXPECT_FALSE(std::filesystem::exists("vexal.ini")) << "the filter dialog does not write the file";

    InDialog("Netzwerk Konf.", [](QWidget* dialog) {
        dialog->findChild<QPlainTextEdit*>(QStringLiteral("LocalSubnets"))->setPlainText("nichts");
        ButtonOf(dialog, "Beenden")->click();
    });
    EXPECT_EQ(Daten.LocalSubnets, (std::vector<std::string>{"192.168.1", "", "10"}));
    InDialog("Netzwerk Konf.", [](QWidget* dialog) {
        EXPECT_EQ(dialog->findChild<QPlainTextEdit*>(QStringLiteral("LocalSubnets"))->toPlainText(),
                  "192.168.1\n\n10\n");
        ButtonOf(dialog, "Beenden")->click();
    });
}

// Tab moves on to the next box rather than typing a tab into the entry; what is saved
// has no white space around it.
TEST_F(DialogsTest, FilterDialogTabMovesTheFocus)
{
    InDialog("Netzwerk Konf.", [](QWidget* dialog) {
        auto* subnets = dialog->findChild<QPlainTextEdit*>(QStringLiteral("LocalSubnets"));
        auto* addresses = dialog->findChild<QPlainTextEdit*>(QStringLiteral("LocalIPs"));
        dialog->activateWindow();
        subnets->setFocus();
        QTest::keyClicks(subnets, " 192.168.7");
        QTest::keyClick(subnets, Qt::Key_Tab);
        EXPECT_EQ(subnets->toPlainText(), " 192.168.7") << "no tab typed";
        // The dialog's focus child, not hasFocus(): on a slow run the offscreen window
        // may not be active yet, and only an active window's widget has the focus.
        EXPECT_EQ(dialog->focusWidget(), addresses) << "the next box has the focus";
        QTest::keyClicks(addresses, "10.1.1.1 ");
        ButtonOf(dialog, "Speichern")->click();
    });
    EXPECT_EQ(Daten.LocalSubnets, std::vector<std::string>{"192.168.7"});
    EXPECT_EQ(Daten.LocalIPs, std::vector<std::string>{"10.1.1.1"});
}

// Qt's own buttons read German, as the program installs its texts before the first window.
TEST(GermanQtTexts, StandardButtonsReadGerman)
{
    QTranslator* translator = InstallGermanQtTexts(*QCoreApplication::instance());
    ASSERT_NE(translator, nullptr) << "qtbase_de.qm not found in "
                                   << QLibraryInfo::path(QLibraryInfo::TranslationsPath).toStdString()
                                   << "; scripts/setup.sh installs it";
    QMessageBox box(QMessageBox::Warning, "Vexal Capture", "Frage", QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    QDialogButtonBox close(QDialogButtonBox::Close);
    const std::pair<QString, QString> texts[] = {
        {box.button(QMessageBox::Yes)->text(), "&Ja"},
        {box.button(QMessageBox::No)->text(), "&Nein"},
        {box.button(QMessageBox::Cancel)->text(), "Abbrechen"},
        {close.button(QDialogButtonBox::Close)->text(), "Schließen"},
    };
    QCoreApplication::removeTranslator(translator);
    delete translator;
    for (const auto& [shown, german] : texts)
        EXPECT_EQ(shown, german);
}

TEST(SettingsPeriod, WholeNumbersOrThirtySixHundred)
{
    const std::pair<const char*, std::int32_t> cases[] = {
        {"45", 45}, {"-5", -5}, {"+7", 7}, {"0", 0}, {"", 3600}, {"abc", 3600}, {"2.5", 3600},
        {" 45", 3600}, {"99999999999", 3600}, {"2147483647", 2147483647}};
    for (const auto& [text, value] : cases)
        EXPECT_EQ(TFormEinstellungen::ExportIntervalOf(QString::fromUtf8(text)), value) << text;
}

TEST_F(DialogsTest, SettingsDialogShowsStoresAndSavesAtOnce)
{
    Daten.MySqlHost = "db.intern";
    Daten.ExportEnabled = true;
    Daten.AddUser("192.168.1.2", "02:00:00:00:00:02", "eth0", Now);
    Daten.UserCPort[0].Add(443, 1000);
    const int exportTimer = Form->Timer(QStringLiteral("TimerMySQLExport")).Interval();
    InDialog("Einstellungen", [](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Einstellungen");
        // "<br>" stands as it is, and both example lines can be read whole.
        QLabel* format = nullptr;
        for (QLabel* label : dialog->findChildren<QLabel*>())
            if (label->text() == "Aufbau des HTTP Datenfiles (Beispiel Zeilenumbruch darf nicht <br> sein!):")
                format = label;
        ASSERT_NE(format, nullptr);
        EXPECT_EQ(format->textFormat(), Qt::PlainText);
        auto* example = dialog->findChild<QPlainTextEdit*>(QStringLiteral("NameListExample"));
        ASSERT_NE(example, nullptr);
        EXPECT_EQ(example->lineWrapMode(), QPlainTextEdit::NoWrap);
        const QFontMetrics metrics(example->font());
        const QStringList lines = example->toPlainText().split('\n');
        ASSERT_EQ(lines.size(), 2);
        for (const QString& line : lines)
            EXPECT_LE(metrics.horizontalAdvance(line), example->viewport()->width()) << line.toStdString();
        EXPECT_GE(example->viewport()->height(), 2 * metrics.lineSpacing());
        auto field = [&](const char* name) { return dialog->findChild<QLineEdit*>(QString::fromLatin1(name)); };
        EXPECT_EQ(field("MySqlHost")->text(), "db.intern");
        EXPECT_EQ(field("MySqlUser")->text(), "user");
        EXPECT_EQ(field("ExportInterval")->text(), "30");
        EXPECT_TRUE(field("FlowPort")->isReadOnly());
        EXPECT_TRUE(dialog->findChild<QRadioButton*>(QStringLiteral("Detailed"))->isChecked());
        field("HttpUrl")->setText("http://192.168.1.1/macuser.php");
        field("HttpPassword")->setText("geheim");
        field("MySqlPort")->setText("3307");
        field("ExportInterval")->setText("zwei");
        dialog->findChild<QRadioButton*>(QStringLiteral("Packed"))->click();
        ButtonOf(dialog, "Speichern")->click();
    });
    EXPECT_EQ(Daten.HttpUrl, "http://192.168.1.1/macuser.php");
    EXPECT_EQ(Daten.HttpPassword, "geheim");
    EXPECT_EQ(Daten.MySqlPort, "3307");
    EXPECT_EQ(Daten.ExportInterval, 3600);
    EXPECT_FALSE(Daten.ExportDetailed);
    EXPECT_TRUE(Daten.ExportEnabled);
    EXPECT_TRUE(Daten.UserCPort[0].Empty()) << "the packed export keeps no per-port lists";
    EXPECT_EQ(Form->Timer(QStringLiteral("TimerMySQLExport")).Interval(), exportTimer)
        << "a new period takes effect at the next start";
    // Written at once.
    TDaten onDisk;
    ASSERT_TRUE(TStateFile::Load(onDisk, "vexal.ini"));
    EXPECT_EQ(onDisk.HttpPassword, "geheim");
    EXPECT_EQ(onDisk.ExportInterval, 3600);
    EXPECT_FALSE(onDisk.ExportDetailed);
}

TEST_F(DialogsTest, SettingsEnablingRuleAndDiscarding)
{
    InDialog("Einstellungen", [](QWidget* dialog) {
        auto* enabled = dialog->findChild<QCheckBox*>(QStringLiteral("ExportEnabled"));
        EXPECT_FALSE(enabled->isChecked());
        const char* const database[] = {"MySqlHost", "MySqlUser", "MySqlPassword", "MySqlDatabase", "MySqlPort",
                                        "ExportInterval"};
        for (const char* name : database)
            EXPECT_FALSE(dialog->findChild<QLineEdit*>(QString::fromLatin1(name))->isEnabled()) << name;
        EXPECT_FALSE(dialog->findChild<QRadioButton*>(QStringLiteral("Packed"))->isEnabled());
        enabled->click();
        for (const char* name : database)
            EXPECT_TRUE(dialog->findChild<QLineEdit*>(QString::fromLatin1(name))->isEnabled()) << name;
        EXPECT_TRUE(dialog->findChild<QRadioButton*>(QStringLiteral("Detailed"))->isEnabled());
        for (const char* name : {"HttpUrl", "HttpUser", "HttpPassword", "FlowPort", "MacPort"})
            EXPECT_TRUE(dialog->findChild<QLineEdit*>(QString::fromLatin1(name))->isEnabled()) << name;
        dialog->findChild<QLineEdit*>(QStringLiteral("MySqlHost"))->setText("verworfen");
        ButtonOf(dialog, "Beenden")->click();
    });
    EXPECT_FALSE(Daten.ExportEnabled);
    EXPECT_EQ(Daten.MySqlHost, "");
    EXPECT_FALSE(std::filesystem::exists("vexal.ini"));
    InDialog("Einstellungen", [](QWidget* dialog) {
        EXPECT_EQ(dialog->findChild<QLineEdit*>(QStringLiteral("MySqlHost"))->text(), "");
        ButtonOf(dialog, "Beenden")->click();
    });
}

// The "Verlauf" and "Metriken" boxes show the collector's settings; "Speichern" applies
// them at once (the endpoint opens, the history stops) and keeps them in
// vexal-extra.ini, never in vexal.ini.
TEST_F(DialogsTest, HistoryAndMetricsBoxesApplyAndStoreTheirSettings)
{
    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::Any, 0));
        port = probe.serverPort();
    }
    ASSERT_NE(Form->Collector().LocalHistory(), nullptr) << "the history is on by default";
    EXPECT_EQ(Form->Collector().MetricsExporter(), nullptr) << "the metrics are off by default";
    InDialog("Einstellungen", [port](QWidget* dialog) {
        auto* history = dialog->findChild<QCheckBox*>(QStringLiteral("HistoryEnabled"));
        auto* metrics = dialog->findChild<QCheckBox*>(QStringLiteral("MetricsEnabled"));
        auto* hourly = dialog->findChild<QSpinBox*>(QStringLiteral("HourlyAfterDays"));
        auto* daily = dialog->findChild<QSpinBox*>(QStringLiteral("DailyAfterDays"));
        auto* metricsPort = dialog->findChild<QSpinBox*>(QStringLiteral("MetricsPort"));
        auto* billingDay = dialog->findChild<QSpinBox*>(QStringLiteral("BillingDay"));
        ASSERT_TRUE(history && metrics && hourly && daily && metricsPort && billingDay);
        EXPECT_EQ(billingDay->value(), 1);
        EXPECT_EQ(billingDay->minimum(), 1);
        EXPECT_EQ(billingDay->maximum(), 28) << "a day every month has";
        billingDay->setValue(15);
        EXPECT_TRUE(history->isChecked());
        EXPECT_FALSE(metrics->isChecked());
        EXPECT_EQ(hourly->value(), 90);
        EXPECT_EQ(daily->value(), 365);
        EXPECT_EQ(metricsPort->value(), 9155);
        history->setChecked(false);
        hourly->setValue(30);
        metrics->setChecked(true);
        metricsPort->setValue(port);
        ButtonOf(dialog, "Speichern")->click();
    });
    EXPECT_EQ(Form->Collector().LocalHistory(), nullptr);
    ASSERT_NE(Form->Collector().MetricsExporter(), nullptr);
    EXPECT_EQ(Form->Collector().MetricsExporter()->Port(), port);
    const TExtraSettings saved = TExtraSettings::Load();
    EXPECT_FALSE(saved.HistoryEnabled);
    EXPECT_EQ(saved.HourlyAfterDays, 30);
    EXPECT_TRUE(saved.MetricsEnabled);
    EXPECT_EQ(saved.MetricsPort, port);
    EXPECT_EQ(saved.BillingDay, 15);
    EXPECT_EQ(Form->Collector().DeviceLimits().BillingDay, 15) << "the limits count from the new billing day";
    EXPECT_EQ(ReadWholeFile("vexal.ini"), TStateFile::Format(Daten)) << "vexal.ini keeps its own layout";
}
