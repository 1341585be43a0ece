#include "TErrorReport.h"

#include <QMessageBox>

TErrorReport::TErrorReport(QWidget* owner) : QObject(owner), Owner(owner) {}

void TErrorReport::Report(const QString& text)
{
    if (Box && Box->isVisible()) {
        ++Further;
        Box->setText(text);
        Box->setInformativeText(QStringLiteral("(%1 weitere Fehler seit dieser Meldung)").arg(Further));
        return;
    }
    Further = 0;
    if (!Box) {
        Box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Vexal Capture"), text, QMessageBox::Ok, Owner);
        Box->setWindowModality(Qt::NonModal);
    }
    Box->setText(text);
    Box->setInformativeText(QString());
    Box->show();
}

bool TErrorReport::Showing() const
{
    return Box && Box->isVisible();
}

QString TErrorReport::Text() const
{
    return Box ? Box->text() : QString();
}
