#pragma once

#include <QDialog>

#include <string>
#include <vector>

class QPlainTextEdit;
class TDaten;

// The network filter dialog: edits the local and the hidden subnets and addresses,
// one entry per line, stored as typed without the white space around it.
class TFormFilter : public QDialog {
    Q_OBJECT
public:
    explicit TFormFilter(TDaten& daten, QWidget* parent = nullptr);

    // Lines of a text box as list entries, without spaces and tabs around them: empty
    // lines are entries too, but a line break at the very end adds none.
    static std::vector<std::string> EntriesOf(const QString& text);

    QPlainTextEdit* Box(const char* list) const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    void CoolBtn2Click();

    TDaten& Daten;
    QPlainTextEdit* LocalSubnetsBox = nullptr;
    QPlainTextEdit* LocalIPsBox = nullptr;
    QPlainTextEdit* HideSubnetsBox = nullptr;
    QPlainTextEdit* HideIPsBox = nullptr;
};
