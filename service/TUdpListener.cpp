#include "TUdpListener.h"

#include <QElapsedTimer>
#include <QVariant>

TUdpListener::TUdpListener(quint16 port, THandler handler, QObject* parent)
    : QObject(parent), Requested(port), Handler(std::move(handler)), Buffer(BufferSize + 1, Qt::Uninitialized)
{
    // A port in use leaves the listener silent; the window says which port it is.
    if (Socket.bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress))
        Socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(ReceiveBufferBytes));
    connect(&Socket, &QUdpSocket::readyRead, this, &TUdpListener::Drain);
}

int TUdpListener::ReceiveBuffer()
{
    return Socket.socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
}

void TUdpListener::Drain()
{
    // Read only here, on the socket's own ready-read: it comes again at the next turn
    // of the event loop for as long as datagrams wait. (Reading elsewhere, from a call
    // queued by ourselves, could leave a later ready-read with nothing to read, after
    // which the socket would never report new datagrams again.)
    QElapsedTimer clock;
    clock.start();
    for (int handled = 0; handled < DrainBudget && Socket.hasPendingDatagrams(); ++handled) {
        if (handled > 0 && clock.nsecsElapsed() >= DrainBudgetNs)
            return;
        QHostAddress sender;
        quint16 senderPort = 0;
        // One byte more than accepted: a datagram that fills it is too long, and the
        // handler rejects it by its size instead of seeing a silently cut one.
        const qint64 size = Socket.readDatagram(Buffer.data(), Buffer.size(), &sender, &senderPort);
        if (size < 0)
            break;
        bool isIPv4 = false;
        const quint32 ip = sender.toIPv4Address(&isIPv4);
        const std::string from = isIPv4 ? std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 255) + "."
                + std::to_string(ip >> 8 & 255) + "." + std::to_string(ip & 255)
                                        : sender.toString().toStdString();
        Handler(std::span(reinterpret_cast<const unsigned char*>(Buffer.constData()), static_cast<std::size_t>(size)),
                from, senderPort);
    }
}
