#include "AppTitle.h"
#include "GermanQtTexts.h"
#include "Headless.h"
#include "Report.h"
#include "StartOptions.h"
#include "TDaten.h"
#include "TInstanceLock.h"
#include "TMainForm.h"
#include "TSignalWatcher.h"
#include "VexalVersion.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>

namespace {
const char* const AlreadyRunning = "Vexal Capture läuft in diesem Ordner bereits.";

const char* const Help = "Aufruf: vexal-capture [--headless] [--folder ORDNER] [--flow-port N] [--announce-port N]\n"
                         "       vexal-capture --report [--from DATUM] [--to DATUM] [--format csv|json]\n"
                         "                     [--sum] [--folder ORDNER]\n"
                         "Zählt den Traffic aus NetFlow (UDP 2055) und Korvel-Meldungen (UDP 2056);\n"
                         "Zustand und Einstellungen in vexal.ini im Arbeitsverzeichnis.\n"
                         "\n"
                         "  (ohne Option)    mit Fenster\n"
                         "  --headless       ohne Fenster und ohne Bildschirm, als Dienst: Meldungen auf\n"
                         "                   stderr, SIGTERM/SIGINT speichern und beenden\n"
                         "  --folder ORDNER  vexal.ini und die anderen Dateien in ORDNER statt im\n"
                         "                   Arbeitsverzeichnis (wird angelegt, wenn er fehlt)\n"
                         "  --flow-port N    NetFlow/IPFIX auf UDP-Port N statt 2055\n"
                         "  --announce-port N\n"
                         "                   MAC-Meldungen auf UDP-Port N statt 2056 (mehrere Kollektoren\n"
                         "                   auf einem Rechner, jeder mit eigenem --folder)\n"
                         "  --menu           Start aus dem Menü: die Dateien im Datenordner des Benutzers,\n"
                         "                   $XDG_DATA_HOME/vexal-capture (~/.local/share/vexal-capture)\n"
                         "  --report         Upload und Download jedes Geräts (IP und MAC) je Tag aus\n"
                         "                   vexal-history.sqlite ausgeben und enden; liest nur, auch\n"
                         "                   während ein Kollektor läuft\n"
                         "  --from DATUM     erster Tag des Berichts, JJJJ-MM-TT (sonst der erste Tag\n"
                         "                   im Verlauf)\n"
                         "  --to DATUM       letzter Tag des Berichts, JJJJ-MM-TT (sonst heute)\n"
                         "  --format F       csv (Trennzeichen ';', Oktette ganzzahlig; Vorgabe) oder json\n"
                         "  --sum            eine Zeile je Gerät für den ganzen Zeitraum\n"
                         "  --version        die Version\n"
                         "  --help           diese Hilfe\n";

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
    const TStartOptions options = ParseStartOptions(argc, argv);
    if (options.Help) {
        std::fputs(Help, stdout);
        return 0;
    }
    if (options.Version) {
        std::printf("vexal-capture %s\n", VEXAL_VERSION);
        return 0;
    }
    if (!options.Error.empty()) {
        std::fprintf(stderr, "%s\n\n%s", options.Error.c_str(), Help);
        return 2;
    }
    if (options.Report) {
        // Reads one file beside a collector that may be running: no folder is created,
        // no lock taken, no port opened.
        if (!options.Unknown.empty()) {
            std::fprintf(stderr, "Unbekannte Option: %s\n\n%s", options.Unknown.c_str(), Help);
            return 2;
        }
        return RunReport(argc, argv, options,
                         ChooseStartFolder(options, std::getenv("XDG_DATA_HOME"), std::getenv("HOME")));
    }
    // The window passes its arguments to Qt (-platform, -style ...), as it always did;
    // a service has none to pass.
    const bool headless = options.Headless;
    if (headless && !options.Unknown.empty()) {
        std::fprintf(stderr, "Unbekannte Option: %s\n\n%s", options.Unknown.c_str(), Help);
        return 2;
    }
    // Every file (vexal.ini, the lock, the history) is opened by its bare name, so the
    // chosen folder becomes the working folder before anything opens one.
    const std::string folder = ChooseStartFolder(options, std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
    std::string folderError;
    if (!folder.empty() && !EnterStartFolder(folder, folderError)) {
        std::fprintf(stderr, "%s\n", folderError.c_str());
        return 1;
    }
    if (headless)
        return RunHeadless(argc, argv, options.FlowPort, options.AnnouncePort);

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
    TMainForm mainForm(daten, options.FlowPort, options.AnnouncePort);
    // Stopped by the system or a terminal, the window closes the normal way and saves.
    TSignalWatcher stopSignals;
    QObject::connect(&stopSignals, &TSignalWatcher::StopRequested, &mainForm, &QWidget::close);

    mainForm.show();
    return QApplication::exec();
}
