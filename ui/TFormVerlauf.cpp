#include "TFormVerlauf.h"

#include "StoreText.h"
#include "TBarChart.h"
#include "TCollector.h"
#include "THistoryQuery.h"
#include "TLocalHistory.h"

#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {
const QColor Blue(0, 0, 255);
const QColor Green(0, 128, 0);
constexpr double MB = 1024.0 * 1024.0;

QString Megabytes(std::int64_t octets)
{
    return QLocale(QLocale::German).toString(static_cast<double>(octets) / MB, 'f', 2);
}

QString LabelOf(const THistoryBucket& bucket, TFormVerlauf::TPeriod period)
{
    switch (period) {
    case TFormVerlauf::Hours:
        return bucket.Date.toString(QStringLiteral("dd.MM. ")) + QStringLiteral("%1 Uhr").arg(bucket.Hour, 2, 10, QLatin1Char('0'));
    case TFormVerlauf::Days:
        return bucket.Date.toString(QStringLiteral("dd.MM.yyyy"));
    default:
        return bucket.Date.toString(QStringLiteral("MM/yyyy"));
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
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Title);
    layout->addWidget(Tabs);
}

QString TFormVerlauf::Caption() const
{
    return Title->text();
}

void TFormVerlauf::ShowDevice(const QString& historyPath, const std::string& ip, const std::string& mac,
                              const TLocalTime& now)
{
    THistoryQuery query(historyPath);
    const std::vector<THistoryBucket> series[PeriodCount] = {query.Hourly(ip, mac, now), query.Daily(ip, mac, now),
                                                             query.Monthly(ip, mac, now)};
    QString caption = QStringLiteral("Verlauf von %1 (%2)").arg(FromStoreText(ip), FromStoreText(mac));
    if (!query.Error().isEmpty())
        caption += QStringLiteral(": ") + query.Error();
    Title->setText(caption);
    for (int p = 0; p < PeriodCount; ++p) {
        std::vector<TBar> bars;
        QTableWidget& table = *Tables[p];
        table.setRowCount(static_cast<int>(series[p].size()) + 1);
        std::int64_t totalUp = 0;
        std::int64_t totalDown = 0;
        int row = 0;
        auto setRow = [&table](int at, const QString& when, std::int64_t up, std::int64_t down) {
            table.setItem(at, 0, new QTableWidgetItem(when));
            for (const auto& [column, octets] : {std::pair{1, up}, std::pair{2, down}}) {
                auto* item = new QTableWidgetItem(Megabytes(octets));
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                table.setItem(at, column, item);
            }
        };
        for (const THistoryBucket& bucket : series[p]) {
            const QString label = LabelOf(bucket, static_cast<TPeriod>(p));
            bars.push_back({static_cast<double>(bucket.UL) / MB, label, Blue});
            bars.push_back({static_cast<double>(bucket.DL) / MB, label, Green});
            setRow(row++, label, bucket.UL, bucket.DL);
            totalUp += bucket.UL;
            totalDown += bucket.DL;
        }
        setRow(row, QStringLiteral("Summe"), totalUp, totalDown);
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
    ShowDevice(history ? history->Path() : QString::fromUtf8(TLocalHistory::DefaultFileName), ip, mac, now);
    show();
    raise();
}
