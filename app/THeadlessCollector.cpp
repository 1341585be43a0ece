#include "THeadlessCollector.h"

#include "FlowAccounting.h"
#include "MacAnnouncement.h"
#include "TFlowDatagram.h"
#include "TextForms.h"

#include <QVariant>
#include <QTextStream>

#include <cstdio>

namespace {
void Bind(QUdpSocket& socket, quint16 port)
{
    socket.bind(QHostAddress::AnyIPv4, port);
    // A large receive buffer rides out bursts while the process is busy elsewhere.
    socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(8 * 1024 * 1024));
}

// Reads every pending datagram of the socket and hands it to handle(bytes, sender).
template <typename Handler>
void Drain(QUdpSocket& socket, Handler handle)
{
    // One byte more than a datagram may have, so an oversized one is seen as such and
    // rejected rather than silently cut.
    static thread_local QByteArray buffer(FlowV5::MaxDatagramSize + 1, Qt::Uninitialized);
    while (socket.hasPendingDatagrams()) {
        QHostAddress sender;
        const qint64 size = socket.readDatagram(buffer.data(), buffer.size(), &sender);
        if (size < 0)
            break;
        handle(std::span(reinterpret_cast<const unsigned char*>(buffer.constData()), static_cast<std::size_t>(size)),
               sender.toString().toStdString());
    }
}
}

THeadlessCollector::THeadlessCollector(quint16 flowPort, quint16 macPort, QObject* parent) : QObject(parent)
{
    Daten.LoadState();
    Bind(NMUDP1, flowPort);
    Bind(NMUDP2, macPort);
    connect(&NMUDP1, &QUdpSocket::readyRead, this, &THeadlessCollector::NMUDP1DataReceived);
    connect(&NMUDP2, &QUdpSocket::readyRead, this, &THeadlessCollector::NMUDP2DataReceived);
    TimerClearPorts.setInterval(10'000);
    connect(&TimerClearPorts, &QTimer::timeout, this, &THeadlessCollector::TimerClearPortsTimer);
    TimerClearPorts.start();
    TimerSave.setInterval(57'254);
    connect(&TimerSave, &QTimer::timeout, this, [this] { Daten.SaveState(); });
    TimerSave.start();
}

THeadlessCollector::~THeadlessCollector()
{
    Daten.SaveState();
}

bool THeadlessCollector::Listening() const
{
    return NMUDP1.state() == QAbstractSocket::BoundState && NMUDP2.state() == QAbstractSocket::BoundState;
}

void THeadlessCollector::Report(const TDatagramOutcome& outcome)
{
    if (outcome.Failed()) {
        ++Errors;
        std::fprintf(stderr, "%s\n", outcome.Error.c_str());
    }
}

void THeadlessCollector::NMUDP1DataReceived()
{
    Drain(NMUDP1, [this](std::span<const unsigned char> bytes, const std::string& sender) {
        Report(AccountFlowDatagram(Daten, bytes, sender, TLocalTime::Now()));
    });
}

void THeadlessCollector::NMUDP2DataReceived()
{
    Drain(NMUDP2, [this](std::span<const unsigned char> bytes, const std::string& sender) {
        Report(AccountMacAnnouncement(Daten, bytes, sender, MacDatagramCount, TLocalTime::Now()));
    });
}

void THeadlessCollector::TimerClearPortsTimer()
{
    std::printf("%s  %zu Router, %zu User, %zu Fehler\n", TimeText(TLocalTime::Now()).c_str(), Daten.RouterCount(),
                Daten.UserCount(), static_cast<std::size_t>(Errors));
    for (std::size_t r = 0; r < Daten.RouterCount(); ++r)
        std::printf("  %s  FS:%s  Verlust:%s  UL:%s  DL:%s  Ports UL:%zu DL:%zu\n", Daten.RouterIP[r].c_str(),
                    Daten.RouterSequenz[r].c_str(), Daten.RouterPLoss[r].c_str(), Daten.RouterUpload[r].c_str(),
                    Daten.RouterDownload[r].c_str(), Daten.RouterPortTrafficUL[r].Count(),
                    Daten.RouterPortTrafficDL[r].Count());
    std::fflush(stdout);
    Daten.ClearPortTraffic();
}
