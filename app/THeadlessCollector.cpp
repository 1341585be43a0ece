#include "THeadlessCollector.h"

#include "FlowAccounting.h"
#include "TFlowDatagram.h"
#include "TextForms.h"

#include <QVariant>
#include <QTextStream>

#include <cstdio>

THeadlessCollector::THeadlessCollector(quint16 flowPort, QObject* parent) : QObject(parent)
{
    Listener.bind(QHostAddress::AnyIPv4, flowPort);
    // A large receive buffer rides out bursts while the process is busy elsewhere.
    Listener.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(8 * 1024 * 1024));
    connect(&Listener, &QUdpSocket::readyRead, this, &THeadlessCollector::NMUDP1DataReceived);
    TimerClearPorts.setInterval(10'000);
    connect(&TimerClearPorts, &QTimer::timeout, this, &THeadlessCollector::TimerClearPortsTimer);
    TimerClearPorts.start();
}

void THeadlessCollector::NMUDP1DataReceived()
{
    // One byte more than the buffer the datagram must fit, so an oversized one is seen
    // as such and rejected rather than silently cut.
    static thread_local QByteArray buffer(FlowV5::MaxDatagramSize + 1, Qt::Uninitialized);
    while (Listener.hasPendingDatagrams()) {
        QHostAddress sender;
        const qint64 size = Listener.readDatagram(buffer.data(), buffer.size(), &sender);
        if (size < 0)
            break;
        const auto bytes = std::span(reinterpret_cast<const unsigned char*>(buffer.constData()),
                                     static_cast<std::size_t>(size));
        const TDatagramOutcome outcome =
            AccountFlowDatagram(Daten, bytes, sender.toString().toStdString(), TLocalTime::Now());
        if (outcome.Failed()) {
            ++Errors;
            std::fprintf(stderr, "%s\n", outcome.Error.c_str());
        }
    }
}

void THeadlessCollector::TimerClearPortsTimer()
{
    std::printf("%s  %zu Router, %zu Fehler\n", TimeText(TLocalTime::Now()).c_str(), Daten.RouterCount(),
                static_cast<std::size_t>(Errors));
    for (std::size_t r = 0; r < Daten.RouterCount(); ++r)
        std::printf("  %s  FS:%s  Verlust:%s  UL:%s  DL:%s  Ports UL:%zu DL:%zu\n", Daten.RouterIP[r].c_str(),
                    Daten.RouterSequenz[r].c_str(), Daten.RouterPLoss[r].c_str(), Daten.RouterUpload[r].c_str(),
                    Daten.RouterDownload[r].c_str(), Daten.RouterPortTrafficUL[r].Count(),
                    Daten.RouterPortTrafficDL[r].Count());
    std::fflush(stdout);
    Daten.ClearPortTraffic();
}
