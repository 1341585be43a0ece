#include "AppTitle.h"
#include "GermanQtTexts.h"
#include "Headless.h"
#include "TDaten.h"
#include "TInstanceLock.h"
#include "TMainForm.h"
#include "TSignalWatcher.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstring>

namespace {
const char* const AlreadyRunning = "Vexal Capture läuft in diesem Ordner bereits.";

const char* const Help = "Aufruf: vexal-capture [--headless]\n"
                         "Zählt den Traffic aus NetFlow (UDP 2055) und Korvel-Meldungen (UDP 2056);\n"
                         "Zustand und Einstellungen in vexal.ini im Arbeitsverzeichnis.\n"
                         "\n"
                         "  (ohne Option)  mit Fenster\n"
                         "  --headless     ohne Fenster und ohne Bildschirm, als Dienst: Meldungen auf\n"
                         "                 stderr, SIGTERM/SIGINT speichern und beenden\n"
                         "  --help         diese Hilfe\n";

// A person who started a second copy by mistake must see why nothing opens; on a
// platform without a screen (offscreen, minimal) nobody could close a box, so the
// message goes to stderr only.
void ReportAlreadyRunning()
{
    std::fprintf(stderr, "%s\n", AlreadyRunning);
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        QMessageBox::critical(nullptr, QStringLiteral("Vexal Capture"), QString::fromUtf8(AlreadyRunning));
}
}

int main(int argc, char* argv[])
{
    // Decided before any application object exists: headless must not need a display.
    bool headless = false;
    const char* unknown = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(Help, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--headless") == 0)
            headless = true;
        else if (!unknown)
            unknown = argv[i];
    }
    // The window passes its arguments to Qt (-platform, -style ...), as it always did;
    // a service has none to pass.
    if (headless && unknown) {
        std::fprintf(stderr, "Unbekannte Option: %s\n\n%s", unknown, Help);
        return 2;
    }
    if (headless)
        return RunHeadless(argc, argv);

    QApplication app(argc, argv);
    SetApplicationTitle();
    if (!InstallGermanQtTexts(app))
        std::fputs("Qt-Übersetzungen (qtbase_de.qm) nicht gefunden: Qt-Schaltflächen bleiben englisch\n", stderr);

    // Before anything binds a port or reads the state file: a second instance in this
    // folder must leave both alone.
    TInstanceLock instance;
    if (instance.Acquire() == TInstanceLock::TResult::Busy) {
        ReportAlreadyRunning();
        return 1;
    }

    TDaten daten;
    TMainForm mainForm(daten);
    // Stopped by the system or a terminal, the window closes the normal way and saves.
    TSignalWatcher stopSignals;
    QObject::connect(&stopSignals, &TSignalWatcher::StopRequested, &mainForm, &QWidget::close);

    mainForm.show();
    return QApplication::exec();
}
