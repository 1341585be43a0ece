#include "AppTitle.h"
#include "TDaten.h"
#include "TMainForm.h"
#include "TSignalWatcher.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    SetApplicationTitle();

    TDaten daten;
    TMainForm mainForm(daten);
    // Stopped by the system or a terminal, the window closes the normal way and saves.
    TSignalWatcher stopSignals;
    QObject::connect(&stopSignals, &TSignalWatcher::StopRequested, &mainForm, &QWidget::close);

    mainForm.show();
    return QApplication::exec();
}
