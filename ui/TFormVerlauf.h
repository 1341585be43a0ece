#pragma once

#include "LocalTime.h"

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QTableWidget;
class QTabWidget;
class TBarChart;
class TCollector;

// One device's traffic over time from the local history: per hour (last 48 hours), per
// day (last 60 days) and per month, each as a bar chart (upload blue, download green,
// as the legend says; oldest on the left) and a table (newest first) with a total.
class TFormVerlauf : public QDialog {
    Q_OBJECT
public:
    enum TPeriod { Hours, Days, Months, PeriodCount };

    explicit TFormVerlauf(QWidget* parent = nullptr);

    // Reads the device's series from the history file and shows them.
    // Months are billing months from billingDay on.
    void ShowDevice(const QString& historyPath, const std::string& ip, const std::string& mac, const TLocalTime& now,
                    int billingDay = 1);
    // Shows the device with what the collector has counted up to now, and brings the
    // window to the front.
    void Present(TCollector& collector, const std::string& ip, const std::string& mac, const TLocalTime& now);

    TBarChart& Chart(TPeriod period) const { return *Charts[period]; }
    QTableWidget& Table(TPeriod period) const { return *Tables[period]; }
    QString Caption() const;

    // The shown table (the current tab) as CSV: period, upload and download in whole
    // octets, the sum last, as the table shows them. False, with the reason in error,
    // when the file cannot be written.
    bool SaveCsv(const QString& path, QString& error) const;
    // Asks where the button "Als CSV speichern…" saves; empty to cancel. A file dialog
    // unless a test sets another.
    std::function<QString()> AskCsvPath;

private:
    void SaveCsvAsked();

    QLabel* Title = nullptr;
    QLabel* Legend = nullptr;
    QTabWidget* Tabs = nullptr;
    TBarChart* Charts[PeriodCount] = {};
    QTableWidget* Tables[PeriodCount] = {};
};
