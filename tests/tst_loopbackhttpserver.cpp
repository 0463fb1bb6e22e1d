// Tests of the loopback HTTP server that the network tests are built on: if it
// lies about what it sent or counted, every test above it lies too.

#include "LoopbackHttpServer.h"

#include <QtNetwork>
#include <QtTest>

#include <memory>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::TBehaviour;
using testsupport::TCapturedRequest;
using testsupport::TLoopbackHttpServer;

namespace {

QByteArray pattern(int size, quint32 seed)
{
    QByteArray bytes((size + 3) / 4 * 4, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    return bytes.left(size);
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

TBehaviour behaviour(int status, int delayMs = 0, const QByteArray& body = QByteArray())
{
    TBehaviour b;
    b.status = status;
    b.delayBeforeHeadersMs = delayMs;
    b.body = body;
    return b;
}

struct TFetched {
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QMap<QByteArray, QByteArray> headers; // lower-case names
};

TFetched wait(QNetworkReply* reply)
{
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(60000); // only against a hang
    TFetched result {reply->error(), reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(), {}};
    for (const auto& header : reply->rawHeaderPairs())
        result.headers.insert(header.first.toLower(), header.second);
    reply->deleteLater();
    return result;
}

TFetched fetch(QNetworkAccessManager& manager, const QUrl& url,
               QNetworkRequest::RedirectPolicy policy = QNetworkRequest::NoLessSafeRedirectPolicy)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, policy);
    return wait(manager.get(request));
}

// Sends request on a plain socket (for what the access manager will not send) and reads
// until the server ends the stream. *error is 0 for an orderly close (FIN) and the
// errno of a broken one (ECONNRESET after an RST); QTcpSocket reports both alike.
QByteArray exchange(quint16 port, const QByteArray& request, int* error = nullptr)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray received;
    ssize_t n = -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.constData(), size_t(request.size()), 0) == request.size()) {
        char buffer[65536];
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            received.append(buffer, int(n));
    }
    if (error)
        *error = n == 0 ? 0 : errno;
    ::close(fd);
    return received;
}

QByteArray bodyOf(const QByteArray& response)
{
    return response.mid(response.indexOf("\r\n\r\n") + 4);
}

} // namespace

class TstLoopbackHttpServer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }

    void servesFilesAndMemoryBodiesOnOneConnection()
    {
        QTemporaryDir dir;
        const QByteArray blob = pattern(300 * 1024 + 17, 1); // several pieces
        QVERIFY(writeFile(dir.filePath("a.txt"), "alpha\n") && writeFile(dir.filePath("sub/deep/blob.bin"), blob) &&
                writeFile(dir.filePath("with space.txt"), "spaced"));
        TLoopbackHttpServer server;
        QVERIFY2(server.isListening(), qPrintable(server.errorString()));
        server.serveDirectory(dir.path());
        server.setBody("/mem", "hello", "text/plain");

        QNetworkAccessManager client;
        TFetched f = fetch(client, server.url("/a.txt"));
        QCOMPARE(f.body, QByteArray("alpha\n"));
        QCOMPARE(f.headers.value("connection"), QByteArray("keep-alive"));
        QVERIFY(fetch(client, server.url("/sub/deep/blob.bin")).body == blob);
        QCOMPARE(fetch(client, server.url("/with space.txt")).body, QByteArray("spaced"));
        f = fetch(client, server.url("/mem?x=1&y=2"));
        QCOMPARE(f.body, QByteArray("hello"));
        QCOMPARE(f.headers.value("content-type"), QByteArray("text/plain"));
        QCOMPARE(fetch(client, server.url("/sub")).status, 404); // a directory is not content
        server.serveDirectory(QString());
        QCOMPARE(fetch(client, server.url("/a.txt")).status, 404);
        QCOMPARE(server.acceptedConnections(), 1); // every request reused the first connection
        QVERIFY(server.requestCount("/with space.txt") == 1 && server.requestCount("/a.txt") == 2);
    }

    void redirectsStatusesAndQueuedBehaviours()
    {
        TLoopbackHttpServer server;
        server.setBody("/target", "arrived");
        TBehaviour old = behaviour(302), moved = behaviour(301);
        old.location = "/target";
        moved.location = server.url("/old").toEncoded();
        server.setBehaviour("/old", old);
        server.setBehaviour("/moved", moved);
        QNetworkAccessManager client;
        QCOMPARE(fetch(client, server.url("/moved")).body, QByteArray("arrived"));
        TFetched f = fetch(client, server.url("/old"), QNetworkRequest::ManualRedirectPolicy);
        QCOMPARE(f.status, 302);
        QCOMPARE(f.headers.value("location"), QByteArray("/target"));
        QCOMPARE(server.requestCount("/target"), 1);

        // A scripted status wins over content, which is then not sent.
        server.setBody("/s", "content that must not come");
        for (const auto& [status, error] : {std::pair {404, QNetworkReply::ContentNotFoundError},
                                            {403, QNetworkReply::ContentAccessDenied},
                                            {500, QNetworkReply::InternalServerError},
                                            {503, QNetworkReply::ServiceUnavailableError}}) {
            server.setBehaviour("/s", behaviour(status));
            f = fetch(client, server.url("/s"));
            QCOMPARE(f.error, error);
            QCOMPARE(f.status, status);
            QVERIFY(!f.body.contains("content that must not come"));
        }
        QCOMPARE(fetch(client, server.url("/absent")).error, QNetworkReply::ContentNotFoundError);

        // Queued behaviours apply once each, in order and before the persistent one.
        server.setBody("/q", "content");
        server.queueBehaviour("/q", behaviour(500));
        server.queueBehaviour("/q", behaviour(200, 0, "once"));
        QCOMPARE(server.queuedBehaviourCount("/q"), 2);
        QCOMPARE(fetch(client, server.url("/q?any=query")).status, 500);
        QCOMPARE(fetch(client, server.url("/q")).body, QByteArray("once"));
        QCOMPARE(fetch(client, server.url("/q")).body, QByteArray("content"));
        QCOMPARE(server.queuedBehaviourCount("/q"), 0);
        server.setBehaviour("/q", behaviour(200, 0, "persistent"));
        server.queueBehaviour("/q", behaviour(404));
        QCOMPARE(fetch(client, server.url("/q")).status, 404);
        QCOMPARE(fetch(client, server.url("/q")).body + fetch(client, server.url("/q")).body, QByteArray("persistentpersistent"));
        server.clearBehaviour("/q");
        QCOMPARE(fetch(client, server.url("/q")).body, QByteArray("content"));
    }

    void resetIsAnRstAndTruncationAClose()
    {
        TLoopbackHttpServer server;
        const QByteArray data = pattern(128 * 1024, 3); // small enough for Qt to report every cut
        server.setBody("/whole", data);
        TBehaviour reset = behaviour(200, 0, data), truncate = reset;
        reset.resetAfterBodyBytes = 50000;
        reset.pieceSize = 16 * 1024;
        truncate.truncateAfterBodyBytes = 70000;
        server.setBehaviour("/reset", reset);
        server.setBehaviour("/truncate", truncate);

        int error = -1;
        QByteArray response = exchange(server.port(), "GET /truncate HTTP/1.1\r\n\r\n", &error);
        QCOMPARE(error, 0);
        QVERIFY(response.contains("Content-Length: " + QByteArray::number(data.size()) + "\r\n"));
        QVERIFY(bodyOf(response) == data.left(70000));
        response = bodyOf(exchange(server.port(), "GET /reset HTTP/1.1\r\n\r\n", &error));
        QCOMPARE(error, ECONNRESET);
        QVERIFY(response.size() <= 50000 && response == data.left(response.size())); // in-flight bytes may be lost

        QNetworkAccessManager client;
        QCOMPARE(fetch(client, server.url("/reset")).error, QNetworkReply::RemoteHostClosedError);
        QCOMPARE(fetch(client, server.url("/truncate")).error, QNetworkReply::RemoteHostClosedError);
        // The server carries on, and no cut response stays counted as active.
        QVERIFY(fetch(client, server.url("/whole")).body == data);
        QVERIFY(server.waitUntil([&] { return server.activeRequests() == 0; }));
    }

    void corruptionFlipsExactlyTheChosenBytes()
    {
        QTemporaryDir dir;
        const QByteArray data = pattern(300000, 4);
        QVERIFY(writeFile(dir.filePath("file.bin"), data));
        TLoopbackHttpServer server;
        server.serveDirectory(dir.path());
        server.setBody("/memory.bin", data);
        TBehaviour some;
        some.pieceSize = 1000;
        some.corruptOffsets = {0, 999, 1000, 65535, 65536, 299999, 400000}; // piece edges, last byte, beyond
        server.setBehaviour("/memory.bin", some);
        server.setBehaviour("/file.bin", some);
        QByteArray expected = data;
        for (const int offset : {0, 999, 1000, 65535, 65536, 299999})
            expected[offset] = char(expected.at(offset) ^ 0xFF);
        QNetworkAccessManager client;
        for (const char* path : {"/memory.bin", "/file.bin"})
            QVERIFY2(fetch(client, server.url(path)).body == expected, path);
    }

    void delaysOrderCompletionAndPiecesKeepTheBody()
    {
        TLoopbackHttpServer server;
        server.setBehaviour("/slow", behaviour(200, 1000, "slow"));
        server.setBody("/fast", "fast");
        const QByteArray drip = pattern(50000, 5);
        TBehaviour pieces = behaviour(200, 0, drip);
        pieces.pieceSize = 7000;
        pieces.delayBetweenPiecesMs = 10;
        server.setBehaviour("/drip", pieces);

        QNetworkAccessManager client;
        QStringList order;
        for (QNetworkReply* reply : {client.get(QNetworkRequest(server.url("/slow"))), client.get(QNetworkRequest(server.url("/fast")))})
            QObject::connect(reply, &QNetworkReply::finished, reply, [&order, reply] { order << reply->readAll(); });
        QVERIFY(server.waitUntil([&] { return order.size() == 1; }, 30000));
        QCOMPARE(server.activeRequests(), 1); // the slow one is held back, not lost
        QVERIFY(server.waitUntil([&] { return order.size() == 2; }, 30000));
        QCOMPARE(order, QStringList({"fast", "slow"}));
        QVERIFY(fetch(client, server.url("/drip")).body == drip);
    }

    void countsAndPeaks()
    {
        TLoopbackHttpServer server;
        server.setBehaviour("/hold", behaviour(200, 600000)); // answered only if the test hangs anyway
        server.setBody("/a", "a");
        server.setBody("/b", "b");
        {
            // Three connections with a held request each, the first with two more pipelined behind it.
            QTcpSocket sockets[3];
            for (QTcpSocket& socket : sockets) {
                socket.connectToHost(QHostAddress::LocalHost, server.port());
                QVERIFY(socket.waitForConnected(10000));
                socket.write(&socket == sockets ? "GET /hold HTTP/1.1\r\n\r\nGET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n"
                                                : "GET /hold HTTP/1.1\r\n\r\n");
                QVERIFY(socket.waitForBytesWritten(10000));
            }
            QVERIFY(server.waitForRequests(5));
            QVERIFY(server.openConnections() == 3 && server.activeRequests() == 5 && server.peakActiveRequests() == 5 &&
                    server.peakConnections() == 3);
            QVERIFY(server.finishedResponses() == 0 && server.requestCount("/hold") == 3);
        }
        // Clients gone: their requests are no longer active, the peaks stay until reset.
        QVERIFY(server.waitUntil([&] { return server.openConnections() == 0 && server.activeRequests() == 0; }));
        QVERIFY(server.peakConnections() == 3 && server.peakActiveRequests() == 5);
        server.resetCounters();
        QVERIFY(server.peakConnections() == 0 && server.peakActiveRequests() == 0 && server.totalRequests() == 0);

        // Arrival order with queries, counts without.
        QNetworkAccessManager client;
        for (const char* path : {"/a?1", "/b", "/a?2"})
            QCOMPARE(fetch(client, server.url(path)).error, QNetworkReply::NoError);
        QCOMPARE(server.requestedPaths(), QStringList({"/a?1", "/b", "/a?2"}));
        QCOMPARE(server.requestCounts(), (QMap<QString, int> {{"/a", 2}, {"/b", 1}}));
        QCOMPARE(server.finishedResponses(), 3);
    }

    void capturesPostsAndHeaders()
    {
        TLoopbackHttpServer server;
        server.setBody("/upload", "thanks");
        const QByteArray json = R"({"cpu":"x86-64","memory":24})";
        QNetworkAccessManager client;
        QNetworkRequest post(server.url("/upload?id=7"));
        post.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QCOMPARE(wait(client.post(post, json)).body, QByteArray("thanks"));
        QCOMPARE(bodyOf(exchange(server.port(),
                                 "POST /upload HTTP/1.1\r\nX-Mixed-CASE:   Spaced  Value  \r\n"
                                 "X-Mixed-Case: second\r\nContent-Length: 4\r\nConnection: close\r\n\r\ndata")),
                 QByteArray("thanks"));
        const QVector<TCapturedRequest> captured = server.capturedRequests();
        QCOMPARE(captured.size(), 2);
        QCOMPARE(captured.at(0).method, QByteArray("POST"));
        QCOMPARE(captured.at(0).path, QByteArray("/upload?id=7"));
        QCOMPARE(captured.at(0).header("content-type"), QByteArray("application/json"));
        QCOMPARE(captured.at(0).body, json);
        // Names lower-case, values trimmed but otherwise as sent, in arrival order.
        const QList<QPair<QByteArray, QByteArray>> expected = {
            {"x-mixed-case", "Spaced  Value"}, {"x-mixed-case", "second"}, {"content-length", "4"}, {"connection", "close"}};
        QCOMPARE(captured.at(1).headers, expected);
        QCOMPARE(captured.at(1).header("x-mixed-case"), QByteArray("Spaced  Value"));
        QVERIFY(captured.at(1).header("absent").isNull());
        QCOMPARE(captured.at(1).body, QByteArray("data"));
    }

    void refusesEscapesFromTheServedDirectory()
    {
        QTemporaryDir base;
        QVERIFY(writeFile(base.filePath("www/inside.txt"), "inside") && writeFile(base.filePath("outside.txt"), "SECRET"));
        QVERIFY(QFile::link(base.filePath("outside.txt"), base.filePath("www/link.txt")));
        TLoopbackHttpServer server;
        server.serveDirectory(base.filePath("www"));
        for (const QByteArray target :
             {"/../outside.txt", "/x/../../outside.txt", "/%2e%2e/outside.txt", "/%2E%2E%2Foutside.txt", "/link.txt"}) {
            const QByteArray response = exchange(server.port(), "GET " + target + " HTTP/1.1\r\nConnection: close\r\n\r\n");
            QVERIFY2(response.startsWith("HTTP/1.1 403 ") && !response.contains("SECRET"), target.constData());
        }
        QCOMPARE(bodyOf(exchange(server.port(), "GET /inside.txt HTTP/1.1\r\nConnection: close\r\n\r\n")), QByteArray("inside"));
    }

    void answersWhileCallerThreadIsBlocked()
    {
        TLoopbackHttpServer server;
        server.setBody("/one", "1");
        server.setBehaviour("/two", behaviour(200, 200, "2"));
        QByteArray results;
        std::unique_ptr<QThread> fetcher(QThread::create([&] {
            QNetworkAccessManager client;
            results += fetch(client, server.url("/one")).body + fetch(client, server.url("/two")).body;
        }));
        fetcher->start();
        QVERIFY(fetcher->wait(60000)); // this thread runs no event loop meanwhile
        QCOMPARE(results, QByteArray("12"));
        QCOMPARE(server.totalRequests(), 2);
    }
};

QTEST_GUILESS_MAIN(TstLoopbackHttpServer)

#include "tst_loopbackhttpserver.moc"
