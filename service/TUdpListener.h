#pragma once

#include <QObject>
#include <QUdpSocket>

#include <functional>
#include <span>
#include <string>

// A UDP listener on all IPv4 addresses, bound exclusively: with address reuse a second
// process could bind the same port and silently take part of the traffic. On a
// ready-read it drains the pending datagrams in one go, up to a budget, and its receive
// buffer is enlarged so a busy GUI thread (or a VM stall) does not make the kernel drop
// datagrams meanwhile.
class TUdpListener : public QObject {
    Q_OBJECT
public:
    // The largest datagram the handlers accept; a longer one is reported as too long.
    static constexpr qint64 BufferSize = 2048;
    static constexpr int ReceiveBufferBytes = 8 * 1024 * 1024;
    // One drain handles at most this many datagrams, or as many as fit in this time,
    // then lets the event loop run (clicks, paints, timers); the socket reports the
    // rest at the next turn. Under a flood the kernel drops what does not fit, and the
    // window stays usable.
    static constexpr int DrainBudget = 256;
    static constexpr qint64 DrainBudgetNs = 5'000'000;

    // The sender's port tells IPFIX transport sessions of one exporter apart.
    using THandler =
        std::function<void(std::span<const unsigned char> bytes, const std::string& sender, quint16 senderPort)>;

    TUdpListener(quint16 port, THandler handler, QObject* parent = nullptr);

    bool Bound() const { return Socket.state() == QAbstractSocket::BoundState; }
    quint16 Port() const { return Socket.localPort(); }
    // The port asked for, bound or not (0: any free port).
    quint16 RequestedPort() const { return Requested; }
    int ReceiveBuffer();

private:
    void Drain();

    QUdpSocket Socket;
    quint16 Requested = 0;
    THandler Handler;
    QByteArray Buffer;
};
