#include "TFormFilter.h"

#include "TDaten.h"
#include "StoreText.h"
#include "TextForms.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
// The data path, drawn once: the router's two services feed the collector, which
// feeds the database export. Decoration without behaviour.
class TWorkDiagram : public QWidget {
public:
    using QWidget::QWidget;
    QSize sizeHint() const override { return {300, 200}; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const int w = width();
        auto box = [&](const QRect& r, const QString& text, const QColor& fill) {
            p.setPen(Qt::darkGray);
            p.setBrush(fill);
            p.drawRoundedRect(r, 6, 6);
            p.setPen(Qt::black);
            p.drawText(r, Qt::AlignCenter | Qt::TextWordWrap, text);
        };
        auto arrow = [&](QPoint from, QPoint to, const QString& label) {
            p.setPen(QPen(Qt::darkBlue, 2));
            p.drawLine(from, to);
            p.drawLine(to, to + QPoint(-6, -6));
            p.drawLine(to, to + QPoint(6, -6));
            p.setPen(Qt::black);
            p.drawText(QRect(from.x() + 6, from.y(), 90, to.y() - from.y()), Qt::AlignVCenter, label);
        };
        const QRect korvel(10, 8, w / 2 - 20, 34);
        const QRect vexal(w / 2 + 10, 8, w / 2 - 20, 34);
        const QRect collector(10, 84, w - 20, 44);
        const QRect export_(w / 4, 160, w / 2, 30);
        box(korvel, QStringLiteral("Router: Korvel"), QColor(230, 240, 255));
        box(vexal, QStringLiteral("Router: Vexal Flows"), QColor(230, 240, 255));
        box(collector, QStringLiteral("Vexal Collector\nZuordnung von Traffic mit MAC"), QColor(220, 245, 220));
        box(export_, QStringLiteral("mySQL Export"), QColor(255, 240, 210));
        arrow({korvel.center().x(), korvel.bottom()}, {korvel.center().x(), collector.top()}, QStringLiteral("Port 2056"));
        arrow({vexal.center().x(), vexal.bottom()}, {vexal.center().x(), collector.top()}, QStringLiteral("Port 2055"));
        arrow({collector.center().x(), collector.bottom()}, {collector.center().x(), export_.top()}, QString());
    }
};

QString BoxText(const std::vector<std::string>& list)
{
    QString text;
    for (const std::string& entry : list)
        text += FromStoreText(entry) + QStringLiteral("\r\n");
    return text;
}

QPlainTextEdit* MakeBox(const char* name)
{
    auto* box = new QPlainTextEdit;
    box->setObjectName(QString::fromLatin1(name));
    box->setLineWrapMode(QPlainTextEdit::NoWrap);
    // One entry per line: Tab goes on to the next box instead of typing into this one.
    box->setTabChangesFocus(true);
    box->setMinimumSize(150, 110);
    return box;
}

QLabel* Note(const QStringList& lines)
{
    auto* label = new QLabel(lines.join(QLatin1Char('\n')));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}
}

TFormFilter::TFormFilter(TDaten& daten, QWidget* parent) : QDialog(parent), Daten(daten)
{
    setObjectName(QStringLiteral("FormFilter"));
    setWindowTitle(QStringLiteral("Filter"));
    setModal(true);

    auto* heading = new QLabel(QStringLiteral("IP Einstellungen"));
    QFont headingFont = heading->font();
    headingFont.setPointSize(13);
    headingFont.setBold(true);
    heading->setFont(headingFont);

    LocalSubnetsBox = MakeBox("LocalSubnets");
    LocalIPsBox = MakeBox("LocalIPs");
    HideSubnetsBox = MakeBox("HideSubnets");
    HideIPsBox = MakeBox("HideIPs");

    auto* local = new QGroupBox(QStringLiteral("Definition des lokalen Netze"));
    auto* localGrid = new QGridLayout(local);
    localGrid->addWidget(new QLabel(QStringLiteral("lokale Subnetzt")), 0, 0);
    localGrid->addWidget(new QLabel(QStringLiteral("Subnetz IP")), 0, 1);
    localGrid->addWidget(LocalSubnetsBox, 1, 0);
    localGrid->addWidget(LocalIPsBox, 1, 1);
    auto* localNote = new QVBoxLayout;
    localNote->addWidget(new QLabel(QStringLiteral("lokale Netze:")));
    localNote->addWidget(Note({QStringLiteral("in den Vexal Pakten kommen sowohl globale als auch lokale IPs vor. Jedoch"),
                               QStringLiteral("weiss das Tool nicht, was nun eine lokale IP ist, die angezählt werden soll."),
                               QStringLiteral("lokales Subnetz z.b. 192.168.0 oder 172.0 (ohne Punkt am Ende)")}));
    localNote->addWidget(Note({QStringLiteral("BSP Subnetz: 192.168"), QStringLiteral("= 192.168.0.0 er Netz")}));
    localNote->addStretch(1);
    localGrid->addLayout(localNote, 0, 2, 2, 1);

    auto* hide = new QGroupBox(QStringLiteral("Filter (Welche IPs sollen ausgeblenden werden?)"));
    auto* hideGrid = new QGridLayout(hide);
    hideGrid->addWidget(new QLabel(QStringLiteral("Subnetz ausblenden")), 0, 0);
    hideGrid->addWidget(new QLabel(QStringLiteral("IP ausblenden")), 0, 1);
    hideGrid->addWidget(HideSubnetsBox, 1, 0);
    hideGrid->addWidget(HideIPsBox, 1, 1);
    auto* hideNote = new QVBoxLayout;
    hideNote->addWidget(new QLabel(QStringLiteral("IP ausblenden:")));
    hideNote->addWidget(Note({QStringLiteral("hier kann eine Definition vorgenommen werden, welche IPs oder"),
                              QStringLiteral("gesamten Subnetze ausgeblendet werden sollen. Zum Beispiel"),
                              QStringLiteral("die IPs der Router selber interessieren im Traffic-Accounting nicht!")}));
    hideNote->addStretch(1);
    hideGrid->addLayout(hideNote, 0, 2, 2, 1);

    auto* diagram = new QGroupBox(QStringLiteral("Arbeitsdiagramm"));
    auto* diagramLayout = new QVBoxLayout(diagram);
    auto* drawing = new TWorkDiagram;
    drawing->setMinimumSize(300, 210);
    diagramLayout->addWidget(drawing);

    auto* save = new QPushButton(QStringLiteral("Speichern"));
    save->setObjectName(QStringLiteral("SaveButton"));
    auto* close = new QPushButton(QStringLiteral("Beenden"));
    close->setObjectName(QStringLiteral("CloseButton"));
    connect(save, &QPushButton::clicked, this, &TFormFilter::CoolBtn2Click);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);

    auto* groups = new QVBoxLayout;
    groups->addWidget(local);
    groups->addWidget(hide);
    auto* body = new QHBoxLayout;
    body->addLayout(groups, 3);
    body->addWidget(diagram, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(close);
    buttons->addStretch(1);
    buttons->addWidget(save);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addLayout(body, 1);
    layout->addLayout(buttons);
}

QPlainTextEdit* TFormFilter::Box(const char* list) const
{
    return findChild<QPlainTextEdit*>(QString::fromLatin1(list));
}

std::vector<std::string> TFormFilter::EntriesOf(const QString& text)
{
    const std::string bytes = text.toStdString();
    std::vector<std::string> entries;
    // A space or tab around an entry is never meant (a subnet " 192.168" would match
    // nothing), so it is not kept.
    constexpr std::string_view blank = " \t\v\f";
    for (std::string_view line : SplitLines(bytes)) {
        const std::size_t first = line.find_first_not_of(blank);
        if (first == std::string_view::npos) {
            entries.emplace_back();
            continue;
        }
        entries.emplace_back(line.substr(first, line.find_last_not_of(blank) - first + 1));
    }
    return entries;
}

void TFormFilter::showEvent(QShowEvent* event)
{
    FormShow();
    QDialog::showEvent(event);
}

void TFormFilter::FormShow()
{
    LocalSubnetsBox->setPlainText(BoxText(Daten.LocalSubnets));
    LocalIPsBox->setPlainText(BoxText(Daten.LocalIPs));
    HideSubnetsBox->setPlainText(BoxText(Daten.HideSubnets));
    HideIPsBox->setPlainText(BoxText(Daten.HideIPs));
}

void TFormFilter::CoolBtn2Click()
{
    Daten.HideSubnets = EntriesOf(HideSubnetsBox->toPlainText());
    Daten.HideIPs = EntriesOf(HideIPsBox->toPlainText());
    Daten.LocalSubnets = EntriesOf(LocalSubnetsBox->toPlainText());
    Daten.LocalIPs = EntriesOf(LocalIPsBox->toPlainText());
    accept();
}
