#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <string>

class QNetworkReply;

// Fetches the MAC name list without blocking the window: an HTTP GET with Basic
// authentication when user and password are both set, redirects followed, the body
// taken whatever the status. A local path or a file: URL is read as a file. The
// credentials go only to the origin they were configured for: a redirect elsewhere
// is followed without them. The whole fetch, redirects included, has 3000 ms from its
// start and a body of at most MaxBodyBytes: a server that trickles or floods must not
// hold the import (and with it every later one) or fill the memory.
class TNameImport : public QObject {
    Q_OBJECT
public:
    static constexpr int TimeoutMs = 3000;
    static constexpr int MaxRedirects = 10;
    // A list of 4 MiB names some 60,000 devices: far beyond any home or office.
    static constexpr qint64 MaxBodyBytes = 4 * 1024 * 1024;

    struct TResult {
        bool Ok = false;     // a body arrived (whatever its status)
        QByteArray Body;
        QString Error;       // why not, when not
    };
    using TDone = std::function<void(const TResult&)>;

    explicit TNameImport(QObject* parent = nullptr);

    bool Busy() const { return Active; }
    // Starts a fetch unless one is under way; `done` runs on this object's thread.
    bool Start(const std::string& url, const std::string& user, const std::string& password, TDone done);

private:
    void Get(const QUrl& url, int redirects);
    // Stops the request under way and ends the fetch with `why`.
    void Abort(const QString& why);
    void Finish(TResult result);

    QNetworkAccessManager Manager;
    QTimer Deadline;
    QPointer<QNetworkReply> Reply;
    QUrl Origin;
    QByteArray Authorization;
    TDone Done;
    bool Active = false;
};
