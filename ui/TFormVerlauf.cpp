#include "TFormVerlauf.h"

#include "CsvText.h"
#include "StoreText.h"
#include "TBarChart.h"
#include "TCollector.h"
#include "THistoryQuery.h"
#include "TLocalHistory.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {
const QColor Blue(0, 0, 255);
const QColor Green(0, 128, 0);
constexpr double MB = 1024.0 * 1024.0;
// Each cell of octets keeps the exact figure beside the MB it shows.
constexpr int OctetsRole = Qt::UserRole;

QString Megabytes(std::int64_t octets)
{
    return QLocale(QLocale::German).toString(static_cast<double>(octets) / MB, 'f', 2);
}

QString LabelOf(const THistoryBucket& bucket, TFormVerlauf::TPeriod period, int billingDay)
{
    switch (period) {
    case TFormVerlauf::Hours:
        // The hour the clock shows twice when it goes back holds both.
        return bucket.Date.toString(QStringLiteral("dd.MM. ")) + QStringLiteral("%1 Uhr").arg(bucket.Hour, 2, 10, QLatin1Char('0'))
               + (bucket.RealHours == 2 ? QStringLiteral(" (zweimal)") : QString());
    case TFormVerlauf::Days:
        return bucket.Date.toString(QStringLiteral("dd.MM.yyyy"));
    default:
        // A billing month that does not begin on the 1st is named by its first day.
        return billingDay == 1 ? bucket.Date.toString(QStringLiteral("MM/yyyy"))
                               : QStringLiteral("ab ") + bucket.Date.toString(QStringLiteral("dd.MM.yyyy"));
    }
}
}

TFormVerlauf::TFormVerlauf(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FormVerlauf"));
    setWindowTitle(QStringLiteral("Verlauf"));
    resize(820, 600);
    Title = new QLabel;
    QFont bold = Title->font();
    bold.setBold(true);
    bold.setPointSize(12);
    Title->setFont(bold);
    Tabs = new QTabWidget;
    const QString captions[PeriodCount] = {QStringLiteral("Stunden (48 h)"), QStringLiteral("Tage (60 Tage)"),
                                           QStringLiteral("Monate")};
    for (int p = 0; p < PeriodCount; ++p) {
        auto* page = new QWidget;
        auto* layout = new QVBoxLayout(page);
        Charts[p] = new TBarChart(Qt::Vertical, QStringLiteral("Upload / Download in MB"));
        Charts[p]->SetToolTipText([](const std::vector<TBar>& bars, std::size_t i) {
            const std::size_t up = i - i % 2;
            return QStringLiteral("%1 %2: %3 MB")
                .arg(bars[up].Label, i % 2 ? QStringLiteral("Download") : QStringLiteral("Upload"),
                     QLocale(QLocale::German).toString(bars[i].Value, 'f', 2));
        });
        Tables[p] = new QTableWidget(0, 3);
        Tables[p]->setHorizontalHeaderLabels(
            {QStringLiteral("Zeitraum"), QStringLiteral("Upload MB"), QStringLiteral("Download MB")});
        Tables[p]->horizontalHeader()->setStretchLastSection(true);
        Tables[p]->verticalHeader()->hide();
        Tables[p]->setEditTriggers(QAbstractItemView::NoEditTriggers);
        layout->addWidget(Charts[p], 3);
        layout->addWidget(Tables[p], 2);
        Tabs->addTab(page, captions[p]);
    }
    // Which bar is which, in the colours of every chart of the program.
    Legend = new QLabel(QStringLiteral("<span style=\"color:%1\">&#9632;</span> Upload&nbsp;&nbsp;&nbsp;"
                                       "<span style=\"color:%2\">&#9632;</span> Download")
                            .arg(Blue.name(), Green.name()));
    Legend->setObjectName(QStringLiteral("Legend"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    buttons->setObjectName(QStringLiteral("Buttons"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    QPushButton* saveCsv = buttons->addButton(QStringLiteral("Als CSV speichern…"), QDialogButtonBox::ActionRole);
    saveCsv->setObjectName(QStringLiteral("SaveCsv"));
    connect(saveCsv, &QPushButton::clicked, this, &TFormVerlauf::SaveCsvAsked);
    AskCsvPath = [this] {
        return QFileDialog::getSaveFileName(this, QStringLiteral("Verlauf als CSV speichern"),
                                            QStringLiteral("verlauf.csv"), QStringLiteral("CSV-Dateien (*.csv)"));
    };
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Title);
    layout->addWidget(Legend);
    layout->addWidget(Tabs);
    layout->addWidget(buttons);
}

QString TFormVerlauf::Caption() const
{
    return Title->text();
}

bool TFormVerlauf::SaveCsv(const QString& path, QString& error) const
{
    const QTableWidget& table = *Tables[Tabs->currentIndex()];
    std::vector<QStringList> rows{{QStringLiteral("Zeitraum"), QStringLiteral("Upload (Oktette)"),
                                   QStringLiteral("Download (Oktette)")}};
    for (int row = 0; row < table.rowCount(); ++row) {
        QStringList line;
        for (int column = 0; column < table.columnCount(); ++column) {
            const QTableWidgetItem* item = table.item(row, column);
            if (!item)
                line << QString();
            else if (column == 0)
                line << item->text();
            else
                line << QString::number(item->data(OctetsRole).toLongLong());
        }
        rows.push_back(line);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(CsvText(rows).toUtf8()) < 0 || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

void TFormVerlauf::SaveCsvAsked()
{
    const QString path = AskCsvPath ? AskCsvPath() : QString();
    if (path.isEmpty())
        return;
    QString error;
    if (!SaveCsv(path, error))
        QMessageBox::warning(this, QStringLiteral("Verlauf"),
                             QStringLiteral("%1 kann nicht gespeichert werden: %2").arg(path, error));
}

void TFormVerlauf::ShowDevice(const QString& historyPath, const std::string& ip, const std::string& mac,
                              const TLocalTime& now, int billingDay)
{
    THistoryQuery query(historyPath);
    const std::vector<THistoryBucket> series[PeriodCount] = {query.Hourly(ip, mac, now), query.Daily(ip, mac, now),
                                                             query.Monthly(ip, mac, now, billingDay)};
    QString caption = QStringLiteral("Verlauf von %1 (%2)").arg(FromStoreText(ip), FromStoreText(mac));
    if (!query.Error().isEmpty())
        caption += QStringLiteral(": ") + query.Error();
    Title->setText(caption);
    for (int p = 0; p < PeriodCount; ++p) {
        std::vector<TBar> bars;
        QTableWidget& table = *Tables[p];
        const int count = static_cast<int>(series[p].size());
        table.setRowCount(count + 1);
        std::int64_t totalUp = 0;
        std::int64_t totalDown = 0;
        auto setRow = [&table](int at, const QString& when, std::int64_t up, std::int64_t down) {
            table.setItem(at, 0, new QTableWidgetItem(when));
            for (const auto& [column, octets] : {std::pair{1, up}, std::pair{2, down}}) {
                auto* item = new QTableWidgetItem(Megabytes(octets));
                item->setData(OctetsRole, QVariant::fromValue<qlonglong>(octets));
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                table.setItem(at, column, item);
            }
        };
        // The chart runs from the oldest period on the left to the current one on the
        // right; the table starts with the current one, the sum below them all.
        int row = count;
        for (const THistoryBucket& bucket : series[p]) {
            const QString label = LabelOf(bucket, static_cast<TPeriod>(p), billingDay);
            bars.push_back({static_cast<double>(bucket.UL) / MB, label, Blue});
            bars.push_back({static_cast<double>(bucket.DL) / MB, QString(), Green});
            setRow(--row, label, bucket.UL, bucket.DL);
            totalUp += bucket.UL;
            totalDown += bucket.DL;
        }
        setRow(count, QStringLiteral("Summe"), totalUp, totalDown);
        table.scrollToTop();
        Charts[p]->SetBars(std::move(bars));
    }
}

void TFormVerlauf::Present(TCollector& collector, const std::string& ip, const std::string& mac, const TLocalTime& now)
{
    // What is counted up to now is in the file before the window reads it.
    TLocalHistory* history = collector.LocalHistory();
    if (history) {
        collector.RecordHistory();
        history->WaitForWrites();
    }
    ShowDevice(history ? history->Path() : QString::fromUtf8(TLocalHistory::DefaultFileName), ip, mac, now,
               collector.ExtraSettings().BillingDay);
    show();
    raise();
}
