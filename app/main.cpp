#include "THeadlessCollector.h"
#include "TSignalWatcher.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Vexal Capture"));
    TSignalWatcher stopSignals;
    QObject::connect(&stopSignals, &TSignalWatcher::StopRequested, &app, &QCoreApplication::quit);

    THeadlessCollector collector(2055, 2056);
    if (!collector.Listening())
        std::fprintf(stderr, "UDP-Port 2055 oder 2056 konnte nicht geöffnet werden\n");
    std::printf("Vexal Capture (ohne Fenster): Flows auf UDP 2055, Korvel auf UDP 2056, Übersicht alle 10 s, Ende mit Strg+C\n");
    std::fflush(stdout);
    const int result = QCoreApplication::exec();
    std::printf("Vexal Capture beendet\n");
    return result;
}
