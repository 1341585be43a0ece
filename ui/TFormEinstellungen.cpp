#include "TFormEinstellungen.h"

#include "TCollector.h"
#include "TDaten.h"
#include "StoreText.h"
#include "TextForms.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QtMath>

#include <algorithm>

namespace {
QLineEdit* Field(const char* name)
{
    auto* field = new QLineEdit;
    field->setObjectName(QString::fromLatin1(name));
    return field;
}

QLineEdit* PortField(const char* name)
{
    QLineEdit* field = Field(name);
    field->setReadOnly(true);
    QPalette grey = field->palette();
    grey.setColor(QPalette::Base, QColor(220, 220, 220));
    field->setPalette(grey);
    field->setMaximumWidth(80);
    return field;
}

QLabel* Hint(const QString& text)
{
    auto* label = new QLabel(text);
    QFont font = label->font();
    font.setBold(true);
    font.setItalic(true);
    label->setFont(font);
    return label;
}

std::string S(const QLineEdit* field)
{
    return field->text().toStdString();
}
}

namespace {
QSpinBox* NumberField(const char* name, int low, int high)
{
    auto* field = new QSpinBox;
    field->setObjectName(QString::fromLatin1(name));
    field->setRange(low, high);
    return field;
}
}

TFormEinstellungen::TFormEinstellungen(TDaten& daten, QWidget* parent, TCollector* collector)
    : QDialog(parent), Daten(daten), Collector(collector)
{
    setObjectName(QStringLiteral("FormEinstellungen"));
    setWindowTitle(QStringLiteral("Einstellungen"));
    setModal(true);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);

    auto* title = new QLabel(QStringLiteral("allgemeine EInstellungen"));
    QFont titleFont = title->font();
    titleFont.setPointSize(13);
    titleFont.setBold(true);
    title->setFont(titleFont);

    // Source of the MAC names.
    HttpUrl = Field("HttpUrl");
    HttpUser = Field("HttpUser");
    HttpPassword = Field("HttpPassword");
    auto* example = new QPlainTextEdit(QStringLiteral("00:34:32:33:A2:F4||Beschreibung der MAC||Name User<Zeilenumbruch>\n"
                                                      "00:54:32:12:32:C3||Beschreibung der MAC||Name User<Zeilenumbruch>"));
    example->setObjectName(QStringLiteral("NameListExample"));
    example->setReadOnly(true);
    // Both example lines whole, one under the other: wrapped, they ran into each other.
    example->setLineWrapMode(QPlainTextEdit::NoWrap);
    example->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    example->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const QFontMetrics metrics(example->font());
    const int border = 2 * (example->frameWidth() + qCeil(example->document()->documentMargin())) + 2;
    int longest = 0;
    for (const QString& line : example->toPlainText().split(QLatin1Char('\n')))
        longest = std::max(longest, metrics.horizontalAdvance(line));
    example->setMinimumWidth(longest + border);
    example->setFixedHeight(2 * metrics.lineSpacing() + border);
    QPalette grey = example->palette();
    grey.setColor(QPalette::Base, QColor(220, 220, 220));
    example->setPalette(grey);
    auto* names = new QGroupBox(QStringLiteral("MAC Beschreibung Quelle"));
    auto* namesForm = new QFormLayout(names);
    namesForm->addRow(new QLabel(QStringLiteral("per HTTP File auslesen!")));
    namesForm->addRow(QStringLiteral("URL + Datei"), HttpUrl);
    namesForm->addRow(QStringLiteral("HTTP User:"), HttpUser);
    namesForm->addRow(QStringLiteral("HTTP Pwd:"), HttpPassword);
    // "<br>" is part of the text, not a line break: plain text, never rich text.
    auto* format = new QLabel(QStringLiteral("Aufbau des HTTP Datenfiles (Beispiel Zeilenumbruch darf nicht <br> sein!):"));
    format->setTextFormat(Qt::PlainText);
    namesForm->addRow(format);
    namesForm->addRow(example);
    namesForm->addRow(new QLabel(QStringLiteral("Mit dieser Datei ist es möglich, den gefundenen MACs Namen zuzuordnen!")));
    namesForm->addRow(new QLabel(QStringLiteral("z.B. http://192.168.1.1/macuser.php, oder C:\\VexalExport\\macname.txt")));

    // Database connection and export.
    ExportEnabled = new QCheckBox(QStringLiteral("mySQL Export aktivieren"));
    ExportEnabled->setObjectName(QStringLiteral("ExportEnabled"));
    MySqlHost = Field("MySqlHost");
    ExportInterval = Field("ExportInterval");
    MySqlUser = Field("MySqlUser");
    MySqlPassword = Field("MySqlPassword");
    MySqlDatabase = Field("MySqlDatabase");
    MySqlPort = Field("MySqlPort");
    Packed = new QRadioButton(QStringLiteral("gepackter Export"));
    Packed->setObjectName(QStringLiteral("Packed"));
    Detailed = new QRadioButton(QStringLiteral("detailierter Export"));
    Detailed->setObjectName(QStringLiteral("Detailed"));
    auto* period = new QHBoxLayout;
    period->addWidget(ExportInterval);
    period->addWidget(new QLabel(QStringLiteral("Sekunden")));
    auto* warning = new QLabel(QStringLiteral("Achtung !!!\nDatenbank kann sehr\nschnell groß werden."));
    warning->setStyleSheet(QStringLiteral("color: rgb(170, 0, 0);"));
    auto* database = new QGroupBox(QStringLiteral("MySQL Anbindung"));
    auto* databaseForm = new QFormLayout(database);
    databaseForm->addRow(ExportEnabled);
    databaseForm->addRow(QStringLiteral("Server Host oder IP"), MySqlHost);
    databaseForm->addRow(QStringLiteral("Export Zeitraum:"), period);
    databaseForm->addRow(QStringLiteral("mySQL User:"), MySqlUser);
    databaseForm->addRow(QStringLiteral("mySQL Pwd:"), MySqlPassword);
    databaseForm->addRow(QStringLiteral("mySQL Database:"), MySqlDatabase);
    databaseForm->addRow(QStringLiteral("mySQL Port:"), MySqlPort);
    auto* mode = new QHBoxLayout;
    mode->addWidget(Packed);
    mode->addWidget(Detailed);
    mode->addWidget(warning);
    databaseForm->addRow(mode);
    connect(ExportEnabled, &QCheckBox::clicked, this, &TFormEinstellungen::CoolCheckRadioBox1Click);

    // The router's two services.
    FlowPort = PortField("FlowPort");
    MacPort = PortField("MacPort");
    auto* incoming = new QGroupBox(QStringLiteral("Vexal Einstellungen / Incomming"));
    auto* ports = new QGridLayout(incoming);
    ports->addWidget(new QLabel(QStringLiteral("Port für Vexal:")), 0, 0);
    ports->addWidget(new QLabel(QStringLiteral("Port:")), 0, 1);
    ports->addWidget(FlowPort, 0, 2);
    ports->addWidget(Hint(QStringLiteral("(2055)")), 0, 3);
    ports->addWidget(new QLabel(QStringLiteral("Port für Korvel:")), 1, 0);
    ports->addWidget(new QLabel(QStringLiteral("Port:")), 1, 1);
    ports->addWidget(MacPort, 1, 2);
    ports->addWidget(Hint(QStringLiteral("(2056)")), 1, 3);
    ports->addWidget(new QLabel(QStringLiteral("Der Router liefert die Flows (Vexal) und die MAC-Zuordnung (Korvel).\n"
                                               "Erst beide Dienste zusammen machen ein Traffic-Accounting\n"
                                               "je Client möglich.\n"
                                               "Flows: NetFlow v5, v9 und IPFIX.")),
                     2, 0, 1, 4);

    auto* close = new QPushButton(QStringLiteral("Beenden"));
    close->setObjectName(QStringLiteral("CloseButton"));
    auto* save = new QPushButton(QStringLiteral("Speichern"));
    save->setObjectName(QStringLiteral("SaveButton"));
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(save, &QPushButton::clicked, this, &TFormEinstellungen::CoolBtn2Click);

    auto* columns = new QHBoxLayout;
    auto* left = new QVBoxLayout;
    left->addWidget(names);
    left->addWidget(incoming);
    columns->addLayout(left);
    auto* right = new QVBoxLayout;
    right->addWidget(database);
    if (Collector) {
        // The local history and the metrics endpoint ("vexal-extra.ini").
        HistoryEnabled = new QCheckBox(QStringLiteral("Verlauf aufzeichnen (vexal-history.sqlite)"));
        HistoryEnabled->setObjectName(QStringLiteral("HistoryEnabled"));
        HourlyAfterDays = NumberField("HourlyAfterDays", 1, 100'000);
        DailyAfterDays = NumberField("DailyAfterDays", 1, 100'000);
        HourlyAfterDays->setSuffix(QStringLiteral(" Tagen"));
        DailyAfterDays->setSuffix(QStringLiteral(" Tagen"));
        auto* historyBox = new QGroupBox(QStringLiteral("Verlauf"));
        auto* historyForm = new QFormLayout(historyBox);
        historyForm->addRow(HistoryEnabled);
        historyForm->addRow(QStringLiteral("stündlich zusammenfassen nach"), HourlyAfterDays);
        historyForm->addRow(QStringLiteral("täglich zusammenfassen nach"), DailyAfterDays);
        // The provider's billing month: the history's months and the volume limits run from it.
        BillingDay = NumberField("BillingDay", 1, 28);
        BillingDay->setPrefix(QStringLiteral("am "));
        BillingDay->setSuffix(QStringLiteral(". des Monats"));
        historyForm->addRow(QStringLiteral("Abrechnungstag"), BillingDay);
        MetricsEnabled = new QCheckBox(QStringLiteral("Prometheus-Metriken unter /metrics anbieten"));
        MetricsEnabled->setObjectName(QStringLiteral("MetricsEnabled"));
        MetricsPort = NumberField("MetricsPort", 1, 65535);
        auto* metricsBox = new QGroupBox(QStringLiteral("Metriken"));
        auto* metricsForm = new QFormLayout(metricsBox);
        metricsForm->addRow(MetricsEnabled);
        metricsForm->addRow(QStringLiteral("Port:"), MetricsPort);
        right->addWidget(historyBox);
        right->addWidget(metricsBox);
    }
    right->addStretch(1);
    columns->addLayout(right);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(close);
    buttons->addStretch(1);
    buttons->addWidget(save);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addLayout(columns);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

std::int32_t TFormEinstellungen::ExportIntervalOf(const QString& text)
{
    return ParseWholeNumber(text.toStdString()).value_or(FallbackExportInterval);
}

void TFormEinstellungen::showEvent(QShowEvent* event)
{
    FormShow();
    QDialog::showEvent(event);
    if (parentWidget())
        move(parentWidget()->geometry().center() - rect().center());
}

void TFormEinstellungen::FormShow()
{
    HttpUrl->setText(FromStoreText(Daten.HttpUrl));
    HttpUser->setText(FromStoreText(Daten.HttpUser));
    HttpPassword->setText(FromStoreText(Daten.HttpPassword));
    MySqlHost->setText(FromStoreText(Daten.MySqlHost));
    MySqlUser->setText(FromStoreText(Daten.MySqlUser));
    MySqlPassword->setText(FromStoreText(Daten.MySqlPassword));
    MySqlDatabase->setText(FromStoreText(Daten.MySqlDatabase));
    MySqlPort->setText(FromStoreText(Daten.MySqlPort));
    FlowPort->setText(FromStoreText(Daten.FlowPort));
    MacPort->setText(FromStoreText(Daten.MacPort));
    ExportInterval->setText(QString::number(Daten.ExportInterval));
    ExportEnabled->setChecked(Daten.ExportEnabled);
    Detailed->setChecked(Daten.ExportDetailed);
    Packed->setChecked(!Daten.ExportDetailed);
    CoolCheckRadioBox1Click();
    if (Collector) {
        const TExtraSettings& extra = Collector->ExtraSettings();
        HistoryEnabled->setChecked(extra.HistoryEnabled);
        HourlyAfterDays->setValue(extra.HourlyAfterDays);
        DailyAfterDays->setValue(extra.DailyAfterDays);
        BillingDay->setValue(extra.BillingDay);
        MetricsEnabled->setChecked(extra.MetricsEnabled);
        MetricsPort->setValue(extra.MetricsPort);
    }
}

void TFormEinstellungen::CoolCheckRadioBox1Click()
{
    const bool on = ExportEnabled->isChecked();
    for (QWidget* control : std::initializer_list<QWidget*>{MySqlHost, MySqlUser, MySqlPassword, MySqlDatabase,
                                                             MySqlPort, ExportInterval, Packed, Detailed})
        control->setEnabled(on);
}

void TFormEinstellungen::CoolBtn2Click()
{
    Daten.HttpUrl = S(HttpUrl);
    Daten.HttpUser = S(HttpUser);
    Daten.HttpPassword = S(HttpPassword);
    Daten.MySqlHost = S(MySqlHost);
    Daten.MySqlUser = S(MySqlUser);
    Daten.MySqlPassword = S(MySqlPassword);
    Daten.ExportDetailed = Detailed->isChecked();
    Daten.ExportInterval = ExportIntervalOf(ExportInterval->text());
    Daten.MySqlDatabase = S(MySqlDatabase);
    Daten.MySqlPort = S(MySqlPort);
    Daten.FlowPort = S(FlowPort);
    Daten.MacPort = S(MacPort);
    Daten.ExportEnabled = ExportEnabled->isChecked();
    if (!Daten.KeepsUserPorts())
        Daten.ClearUserPorts();
    // Through the collector, so it does not write beside a periodic save under way.
    if (Collector)
        Collector->SaveNow();
    else
        Daten.SaveState();
    if (Collector) {
        TExtraSettings extra = Collector->ExtraSettings();
        extra.HistoryEnabled = HistoryEnabled->isChecked();
        extra.HourlyAfterDays = HourlyAfterDays->value();
        extra.DailyAfterDays = DailyAfterDays->value();
        extra.BillingDay = BillingDay->value();
        extra.MetricsEnabled = MetricsEnabled->isChecked();
        extra.MetricsPort = MetricsPort->value();
        Collector->ApplyExtraSettings(extra);
    }
    accept();
}
