#include "TFormVolumenlimit.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

TFormVolumenlimit::TFormVolumenlimit(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FormVolumenlimit"));
    setWindowTitle(QStringLiteral("Volumenlimit"));
    Device = new QLabel(this);
    Amount = new QDoubleSpinBox(this);
    Amount->setObjectName(QStringLiteral("LimitValue"));
    Amount->setRange(0.001, 1'000'000);
    Amount->setDecimals(3);
    Amount->setValue(1);
    Units = new QComboBox(this);
    Units->setObjectName(QStringLiteral("LimitUnit"));
    Units->addItem(QStringLiteral("MB"));
    Units->addItem(QStringLiteral("GB"));
    Units->setCurrentIndex(1);
    Ok = new QPushButton(QStringLiteral("OK"), this);
    Ok->setDefault(true);
    Remove = new QPushButton(QStringLiteral("Limit entfernen"), this);
    auto* cancel = new QPushButton(QStringLiteral("Abbrechen"), this);
    connect(Ok, &QPushButton::clicked, this, [this] {
        Removed = false;
        accept();
    });
    connect(Remove, &QPushButton::clicked, this, [this] {
        Removed = true;
        accept();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* value = new QHBoxLayout;
    value->addWidget(new QLabel(QStringLiteral("Limit je Abrechnungszeitraum:"), this));
    value->addWidget(Amount, 1);
    value->addWidget(Units);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Remove);
    buttons->addStretch(1);
    buttons->addWidget(Ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Device);
    layout->addLayout(value);
    layout->addLayout(buttons);
}

void TFormVolumenlimit::SetDevice(const QString& device, std::int64_t octets)
{
    Device->setText(device);
    Remove->setEnabled(octets > 0);
    Removed = false;
    if (octets <= 0)
        return;
    // GB when the limit is a whole number of them, MB otherwise.
    const bool inGB = octets % GB == 0;
    Units->setCurrentIndex(inGB ? 1 : 0);
    Amount->setValue(static_cast<double>(octets) / static_cast<double>(inGB ? GB : MB));
}

std::int64_t TFormVolumenlimit::Octets() const
{
    if (Removed)
        return 0;
    const double unit = static_cast<double>(Units->currentIndex() == 1 ? GB : MB);
    return static_cast<std::int64_t>(std::llround(Amount->value() * unit));
}
