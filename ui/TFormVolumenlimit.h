#pragma once

#include <QDialog>

#include <cstdint>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;

// "Volumenlimit…" of the user grid: the limit per billing period of one device, as a
// value in MB or GB (1 MB = 1,048,576 octets, as the grids count), or its removal.
class TFormVolumenlimit : public QDialog {
    Q_OBJECT
public:
    static constexpr std::int64_t MB = 1'048'576;
    static constexpr std::int64_t GB = 1024 * MB;

    explicit TFormVolumenlimit(QWidget* parent = nullptr);

    // Shows the device and its limit now (0: none).
    void SetDevice(const QString& device, std::int64_t octets);
    // What was chosen: the limit in octets, 0 for "Limit entfernen".
    std::int64_t Octets() const;

    QDoubleSpinBox& Value() const { return *Amount; }
    QComboBox& Unit() const { return *Units; }
    QPushButton& RemoveButton() const { return *Remove; }
    QPushButton& OkButton() const { return *Ok; }

private:
    QLabel* Device = nullptr;
    QDoubleSpinBox* Amount = nullptr;
    QComboBox* Units = nullptr;
    QPushButton* Ok = nullptr;
    QPushButton* Remove = nullptr;
    bool Removed = false;
};
