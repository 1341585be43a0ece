#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <vector>

// A small HTTP server on loopback for the tests: each request (read up to the blank
// line) goes to the handler, which returns the whole response, or an empty array to
// never answer at all.
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

private:
    THandler Handler;
    QHash<QTcpSocket*, QByteArray> Buffer;
};
