#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QMessageBox;
class QWidget;

// The application's error report for unexpected errors in handlers: one message box
// with the error text. While it is open, further errors update it (with a count)
// instead of stacking box upon box; it never blocks the handlers.
class TErrorReport : public QObject {
    Q_OBJECT
public:
    explicit TErrorReport(QWidget* owner);

    void Report(const QString& text);
    bool Showing() const;
    QString Text() const;

private:
    QWidget* Owner;
    QPointer<QMessageBox> Box;
    int Further = 0;
};
