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
}

TNameImport::TNameImport(QObject* parent) : QObject(parent)
{
    // Redirects are followed by hand, to decide where the credentials may go.
    Manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    Manager.setTransferTimeout(TimeoutMs);
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
            result.Ok = true;
            result.Body = file.readAll();
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
    connect(reply, &QNetworkReply::finished, this, [this, reply, url, redirects] {
        reply->deleteLater();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (status.isValid() && !target.isEmpty() && redirects < MaxRedirects) {
            Get(url.resolved(target), redirects + 1);
            return;
        }
        TResult result;
        if (status.isValid()) {
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

void TNameImport::Finish(TResult result)
{
    Active = false;
    TDone done = std::move(Done);
    if (done)
        done(result);
}
