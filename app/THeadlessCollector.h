#pragma once

#include "TDaten.h"
#include "TDatagramOutcome.h"

#include <QObject>
#include <QTimer>
#include <QUdpSocket>

// Collects without a window: loads the state file, listens on the flow and the
// announcement port, charges every datagram to the store, prints the router table
// every ten seconds (when the per-port lists are cleared) and saves the state
// periodically and at the end. It stands in for the main window until that exists.
class THeadlessCollector : public QObject {
    Q_OBJECT
public:
    THeadlessCollector(quint16 flowPort, quint16 macPort, QObject* parent = nullptr);
    ~THeadlessCollector() override;
    bool Listening() const;

private:
    void NMUDP1DataReceived();
    void NMUDP2DataReceived();
    void TimerClearPortsTimer();
    void Report(const TDatagramOutcome& outcome);

    TDaten Daten;
    QUdpSocket NMUDP1;
    QUdpSocket NMUDP2;
    QTimer TimerClearPorts;
    QTimer TimerSave;
    std::int32_t MacDatagramCount = 0;
    quint64 Errors = 0;
};
