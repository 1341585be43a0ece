#pragma once

#include "TDaten.h"

#include <QObject>
#include <QTimer>
#include <QUdpSocket>

// Collects flows without a window: listens on the flow port, charges every datagram
// to the store and prints the router table every ten seconds, when the per-port lists
// are cleared. It stands in for the main window until that exists.
class THeadlessCollector : public QObject {
    Q_OBJECT
public:
    explicit THeadlessCollector(quint16 flowPort, QObject* parent = nullptr);
    bool Listening() const { return Listener.state() == QAbstractSocket::BoundState; }

private:
    void NMUDP1DataReceived();
    void TimerClearPortsTimer();

    TDaten Daten;
    QUdpSocket Listener;
    QTimer TimerClearPorts;
    quint64 Errors = 0;
};
