#include "NameList.h"
#include "TDaten.h"
#include "THttpTestServer.h"
#include "TNameImport.h"
#include "TempDir.h"

#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

TDaten Users(std::initializer_list<const char*> macs)
{
    TDaten d;
    int i = 1;
    for (const char* mac : macs)
        d.AddUser("192.168.1." + std::to_string(i++), mac, "eth0", Noon);
    return d;
}

// Fetches synchronously through the event loop.
TNameImport::TResult Fetch(const QString& url, const std::string& user = {}, const std::string& password = {})
{
    TNameImport import;
    TNameImport::TResult result;
    bool done = false;
    import.Start(url.toStdString(), user, password, [&](const TNameImport::TResult& r) {
        result = r;
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, 10000));
    return result;
}
}

TEST(NameImport, FetchesWithBasicAuthenticationWhenBothAreSet)
{
    THttpTestServer server([](const QByteArray&) { return THttpTestServer::Response(200, "00:11||PC||Kasse\r\n"); });
    struct {
        const char* User;
        const char* Password;
        bool Header;
    } const cases[] = {{"admin", "geheim", true}, {"admin", "", false}, {"", "geheim", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.User);
        server.Requests.clear();
        const TNameImport::TResult result = Fetch(server.Url(), c.User, c.Password);
        ASSERT_TRUE(result.Ok) << result.Error.toStdString();
        EXPECT_EQ(result.Body, "00:11||PC||Kasse\r\n");
        ASSERT_EQ(server.Requests.size(), 1u);
        EXPECT_TRUE(server.Requests[0].startsWith("GET /macs.txt HTTP/1.1"));
        EXPECT_EQ(server.Requests[0].contains("Authorization: Basic YWRtaW46Z2VoZWlt"), c.Header);
        EXPECT_EQ(server.Requests[0].contains("Authorization"), c.Header);
    }
}

TEST(NameImport, BodyCountsWhateverTheStatus)
{
    THttpTestServer server([](const QByteArray&) {
        return THttpTestServer::Response(401, "<html>Authorization Required</html>",
                                         "WWW-Authenticate: Basic realm=\"macs\"\r\n");
    });
    const TNameImport::TResult result = Fetch(server.Url(), "admin", "falsch");
    ASSERT_TRUE(result.Ok) << result.Error.toStdString();
    TDaten d = Users({"00:11"});
    EXPECT_FALSE(ApplyNameList(d, result.Body.toStdString())) << "refused credentials";
}

TEST(NameImport, RedirectsAreFollowedCredentialsStayWithTheirOrigin)
{
    THttpTestServer elsewhere([](const QByteArray&) { return THttpTestServer::Response(200, "00:11||x||Woanders\n"); });
    THttpTestServer origin([&](const QByteArray& request) -> QByteArray {
        if (request.startsWith("GET /macs.txt"))
            return THttpTestServer::Response(302, "", "Location: /neu/macs.txt\r\n");
        if (request.startsWith("GET /neu/macs.txt"))
            return THttpTestServer::Response(301, "", "Location: " + elsewhere.Url().toUtf8() + "\r\n");
        return THttpTestServer::Response(404, "");
    });
    const TNameImport::TResult result = Fetch(origin.Url(), "admin", "geheim");
    ASSERT_TRUE(result.Ok) << result.Error.toStdString();
    EXPECT_EQ(result.Body, "00:11||x||Woanders\n");
    ASSERT_EQ(origin.Requests.size(), 2u);
    EXPECT_TRUE(origin.Requests[1].contains("Authorization: Basic")) << "same origin keeps them";
    ASSERT_EQ(elsewhere.Requests.size(), 1u);
    EXPECT_FALSE(elsewhere.Requests[0].contains("Authorization")) << "another origin never sees them";
}

// A server that redirects to itself for ever ends the fetch as a failure that says so,
// not as an empty list (which would read as refused credentials).
TEST(NameImport, RedirectLoopFailsAndSaysSo)
{
    THttpTestServer server([](const QByteArray&) { return THttpTestServer::Response(302, "", "Location: /macs.txt\r\n"); });
    const TNameImport::TResult result = Fetch(server.Url());
    EXPECT_FALSE(result.Ok);
    EXPECT_EQ(result.Error, QStringLiteral("mehr als 10 Weiterleitungen, abgebrochen"));
    EXPECT_EQ(server.Requests.size(), static_cast<std::size_t>(TNameImport::MaxRedirects + 1));
}

TEST(NameImport, SilentServerTimesOutAfterThreeSeconds)
{
    THttpTestServer server([](const QByteArray&) { return QByteArray(); });
    QElapsedTimer clock;
    clock.start();
    const TNameImport::TResult result = Fetch(server.Url());
    EXPECT_FALSE(result.Ok);
    EXPECT_GE(clock.elapsed(), 2800);  // Qt's coarse timer fires a little early
    EXPECT_LT(clock.elapsed(), 6000);
}

TEST(NameImport, DeadlineAndSizeLimitEndTheFetch)
{
    const QByteArray list = "00:11||PC||Kasse\r\n";
    const QByteArray tooLarge(TNameImport::MaxBodyBytes + 1, 'x');
    struct {
        const char* Name;
        int TrickleMs;
        QByteArray Response;
        const char* Error;  // nullptr: the body arrives
    } const cases[] = {
        // Never silent for 3 s, so the transfer time-out alone would wait ~100 s.
        {"one byte a second", 1000, THttpTestServer::Response(200, list), "3 s"},
        {"announced body too large", 0, THttpTestServer::Response(200, tooLarge), "4 MB"},
        {"unannounced body too large", 0, "HTTP/1.1 200 X\r\nConnection: close\r\n\r\n" + tooLarge, "4 MB"},
        {"body at the limit", 0, THttpTestServer::Response(200, QByteArray(TNameImport::MaxBodyBytes, 'x')), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        THttpTestServer server([&](const QByteArray&) { return c.Response; });
        server.TrickleMs = c.TrickleMs;
        QElapsedTimer clock;
        clock.start();
        const TNameImport::TResult result = Fetch(server.Url());
        EXPECT_LT(clock.elapsed(), 6000);
        if (!c.Error) {
            EXPECT_TRUE(result.Ok) << result.Error.toStdString();
            EXPECT_EQ(result.Body.size(), TNameImport::MaxBodyBytes);
            continue;
        }
        EXPECT_FALSE(result.Ok);
        EXPECT_TRUE(result.Body.isEmpty());
        EXPECT_TRUE(result.Error.contains(QString::fromLatin1(c.Error))) << result.Error.toStdString();
    }
}

TEST(NameImport, RefusedConnectionFails)
{
    quint16 port = 0;
    {
        THttpTestServer closed([](const QByteArray&) { return QByteArray(); });
        port = closed.serverPort();
    }
    const TNameImport::TResult result = Fetch(QStringLiteral("http://127.0.0.1:%1/macs.txt").arg(port));
    EXPECT_FALSE(result.Ok);
    EXPECT_FALSE(result.Error.isEmpty());
}

TEST(NameImport, LocalFilesAreRead)
{
    TTempDir dir;
    const std::string path = dir.File("macname.txt");
    WriteWholeFile(path, "00:11||PC||Lokal\n");
    EXPECT_EQ(Fetch(QString::fromStdString(path)).Body, "00:11||PC||Lokal\n");
    EXPECT_EQ(Fetch(QStringLiteral("file://") + QString::fromStdString(path)).Body, "00:11||PC||Lokal\n");
    EXPECT_FALSE(Fetch(QString::fromStdString(dir.File("fehlt.txt"))).Ok);
    WriteWholeFile(dir.File("riesig.txt"), std::string(TNameImport::MaxBodyBytes + 1, 'x'));
    const TNameImport::TResult tooLarge = Fetch(QString::fromStdString(dir.File("riesig.txt")));
    EXPECT_FALSE(tooLarge.Ok);
    EXPECT_TRUE(tooLarge.Error.contains(QStringLiteral("4 MB"))) << tooLarge.Error.toStdString();
}
