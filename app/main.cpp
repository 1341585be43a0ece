#include "AppTitle.h"
#include "TDaten.h"
#include "TInstanceLock.h"
#include "TMainForm.h"
#include "TSignalWatcher.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace {
const char* const AlreadyRunning = "Vexal Capture läuft in diesem Ordner bereits.";

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
    QApplication app(argc, argv);
    SetApplicationTitle();

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
