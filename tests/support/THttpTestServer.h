#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <vector>

// A small HTTP server on loopback for the tests: each request (read up to the blank
// line) goes to the handler, which returns the whole response, or an empty array to
// never answer at all. With TrickleMs set, the head goes out at once and the body one
// byte every TrickleMs, as a slow or hostile server would send it.
class THttpTestServer : public QTcpServer {
public:
    using THandler = std::function<QByteArray(const QByteArray& request)>;

    explicit THttpTestServer(THandler handler) : Handler(std::move(handler))
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    Buffer[socket] += socket->readAll();
                    if (!Buffer[socket].contains("\r\n\r\n"))
                        return;
                    const QByteArray request = Buffer.take(socket);
                    Requests.push_back(request);
                    const QByteArray response = Handler(request);
                    if (response.isEmpty())
                        return;  // hang: keep the connection open, say nothing
                    if (TrickleMs > 0) {
                        const qsizetype head = response.indexOf("\r\n\r\n") + 4;
                        socket->write(response.left(head));
                        auto* trickle = new QTimer(socket);
                        connect(trickle, &QTimer::timeout, socket, [socket, trickle, response, sent = head]() mutable {
                            if (socket->state() != QAbstractSocket::ConnectedState || sent >= response.size()) {
                                trickle->stop();
                                socket->disconnectFromHost();
                                return;
                            }
                            socket->write(response.mid(sent++, 1));
                        });
                        trickle->start(TrickleMs);
                        return;
                    }
                    socket->write(response);
                    socket->disconnectFromHost();
                });
            }
        });
    }

    QString Url(const QString& path = QStringLiteral("/macs.txt")) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path);
    }

    static QByteArray Response(int status, const QByteArray& body, const QByteArray& extraHeaders = {})
    {
        return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Type: text/plain\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
    }

    std::vector<QByteArray> Requests;
    int TrickleMs = 0;

private:
    THandler Handler;
    QHash<QTcpSocket*, QByteArray> Buffer;
};
