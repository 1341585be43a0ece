#pragma once

#include <QDialog>

#include <cstdint>

class QCheckBox;
class QLineEdit;
class QRadioButton;
class QSpinBox;
class TCollector;
class TDaten;

// The settings dialog: the name list source, the database connection and export,
// and the two ports (shown, not editable); with a collector, also its local history
// and metrics. "Speichern" stores every field and writes the state file at once.
class TFormEinstellungen : public QDialog {
    Q_OBJECT
public:
    static constexpr std::int32_t FallbackExportInterval = 3600;

    explicit TFormEinstellungen(TDaten& daten, QWidget* parent = nullptr, TCollector* collector = nullptr);

    // The period field as a whole number (decimal, optional sign, 32-bit), or 3600.
    static std::int32_t ExportIntervalOf(const QString& text);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    void CoolCheckRadioBox1Click();
    void CoolBtn2Click();

    TDaten& Daten;
    QLineEdit* HttpUrl = nullptr;
    QLineEdit* HttpUser = nullptr;
    QLineEdit* HttpPassword = nullptr;
    QCheckBox* ExportEnabled = nullptr;
    QLineEdit* MySqlHost = nullptr;
    QLineEdit* ExportInterval = nullptr;
    QLineEdit* MySqlUser = nullptr;
    QLineEdit* MySqlPassword = nullptr;
    QLineEdit* MySqlDatabase = nullptr;
    QLineEdit* MySqlPort = nullptr;
    QRadioButton* Packed = nullptr;
    QRadioButton* Detailed = nullptr;
    QLineEdit* FlowPort = nullptr;
    QLineEdit* MacPort = nullptr;

    TCollector* Collector = nullptr;
    QCheckBox* HistoryEnabled = nullptr;
    QSpinBox* HourlyAfterDays = nullptr;
    QSpinBox* DailyAfterDays = nullptr;
    QSpinBox* BillingDay = nullptr;
    QCheckBox* MetricsEnabled = nullptr;
    QSpinBox* MetricsPort = nullptr;
};
