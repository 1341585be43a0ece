#include "TNameImport.h"

#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {
bool SameOrigin(const QUrl& a, const QUrl& b)
{
    return a.scheme() == b.scheme() && a.host() == b.host() && a.port(-1) == b.port(-1);
}

// A path or a file: URL names a local file (the settings dialog suggests one).
bool IsLocalFile(const QString& text, QString& path)
{
    const QUrl url(text);
    if (url.isLocalFile()) {
        path = url.toLocalFile();
        return true;
    }
    if (text.startsWith(QLatin1Char('/'))) {
        path = text;
        return true;
    }
    return false;
}

QString TooLarge()
{
    return QStringLiteral("Namensliste größer als %1 MB, abgebrochen").arg(TNameImport::MaxBodyBytes / (1024 * 1024));
}
}

TNameImport::TNameImport(QObject* parent) : QObject(parent)
{
    // Redirects are followed by hand, to decide where the credentials may go.
    Manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    Manager.setTransferTimeout(TimeoutMs);
    // The transfer time-out only sees silence; the deadline also ends a server that
    // sends one byte a second.
    Deadline.setSingleShot(true);
    Deadline.setTimerType(Qt::PreciseTimer);
    Deadline.setInterval(TimeoutMs);
    connect(&Deadline, &QTimer::timeout, this,
            [this] { Abort(QStringLiteral("Namensliste nicht innerhalb von %1 s geladen, abgebrochen").arg(TimeoutMs / 1000)); });
}

bool TNameImport::Start(const std::string& url, const std::string& user, const std::string& password, TDone done)
{
    if (Active)
        return false;
    Active = true;
    Done = std::move(done);
    const QString text = QString::fromStdString(url).trimmed();
    QString path;
    if (IsLocalFile(text, path)) {
        TResult result;
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            result.Body = file.read(MaxBodyBytes + 1);
            result.Ok = result.Body.size() <= MaxBodyBytes;
            if (!result.Ok) {
                result.Body.clear();
                result.Error = TooLarge();
            }
        } else {
            result.Error = file.errorString();
        }
        // Always answer from the event loop, as the network does.
        QTimer::singleShot(0, this, [this, result] { Finish(result); });
        return true;
    }
    Origin = QUrl(text);
    Authorization.clear();
    if (!user.empty() && !password.empty())
        Authorization = "Basic " + QByteArray::fromStdString(user + ":" + password).toBase64();
    Deadline.start();
    Get(Origin, 0);
    return true;
}

void TNameImport::Get(const QUrl& url, int redirects)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(TimeoutMs);
    if (!Authorization.isEmpty() && SameOrigin(url, Origin))
        request.setRawHeader("Authorization", Authorization);
    QNetworkReply* reply = Manager.get(request);
    Reply = reply;
    // The announced length ends it before the first byte, a counted one as it grows.
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        if (received > MaxBodyBytes || total > MaxBodyBytes)
            Abort(TooLarge());
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, url, redirects] {
        reply->deleteLater();
        Reply = nullptr;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (status.isValid() && !target.isEmpty() && redirects < MaxRedirects) {
            Get(url.resolved(target), redirects + 1);
            return;
        }
        TResult result;
        if (status.isValid() && !target.isEmpty()) {
            // A loop of redirects has no list at its end: its last answer is no list.
            result.Error = QStringLiteral("mehr als %1 Weiterleitungen, abgebrochen").arg(MaxRedirects);
        } else if (status.isValid()) {
            // The server answered: its body counts, whatever the status.
            result.Ok = true;
            if (reply->isOpen())
                result.Body = reply->readAll();
        } else {
            result.Error = reply->errorString();
        }
        Finish(result);
    });
}

void TNameImport::Abort(const QString& why)
{
    if (QNetworkReply* reply = Reply) {
        Reply = nullptr;
        reply->disconnect(this);  // its finished() must not answer a second time
        reply->abort();
        reply->deleteLater();
    }
    TResult result;
    result.Error = why;
    Finish(result);
}

void TNameImport::Finish(TResult result)
{
    Deadline.stop();
    Active = false;
    TDone done = std::move(Done);
    if (done)
        done(result);
}
