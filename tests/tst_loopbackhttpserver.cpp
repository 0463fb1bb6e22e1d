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

QByteArray pattern(int Size, quint32 Seed)
{
    QByteArray Bytes((Size + 3) / 4 * 4, Qt::Uninitialized);
    QRandomGenerator(Seed).fillRange(reinterpret_cast<quint32*>(Bytes.data()), Bytes.size() / 4);
    return Bytes.left(Size);
}

bool writeFile(const QString& Path, const QByteArray& Bytes)
{
    QDir().mkpath(QFileInfo(Path).absolutePath());
    QFile File(Path);
    return File.open(QIODevice::WriteOnly) && File.write(Bytes) == Bytes.size();
}

TBehaviour behaviour(int Status, int DelayMs = 0, const QByteArray& Body = QByteArray())
{
    TBehaviour Behaviour;
    Behaviour.m_Status = Status;
    Behaviour.m_DelayBeforeHeadersMs = DelayMs;
    Behaviour.m_Body = Body;
    return Behaviour;
}

struct TFetched {
    QNetworkReply::NetworkError m_Error = QNetworkReply::NoError;
    int m_Status = 0;
    QByteArray m_Body;
    QMap<QByteArray, QByteArray> m_Headers; // lower-case names
};

TFetched wait(QNetworkReply* pReply)
{
    QSignalSpy Finished(pReply, &QNetworkReply::finished);
    if (!pReply->isFinished())
        Finished.wait(60000); // only against a hang
    TFetched Result {pReply->error(), pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), pReply->readAll(), {}};
    for (const auto& Header : pReply->rawHeaderPairs())
        Result.m_Headers.insert(Header.first.toLower(), Header.second);
    pReply->deleteLater();
    return Result;
}

TFetched fetch(QNetworkAccessManager& Manager, const QUrl& Url,
               QNetworkRequest::RedirectPolicy Policy = QNetworkRequest::NoLessSafeRedirectPolicy)
{
    QNetworkRequest Request(Url);
    Request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, Policy);
    return wait(Manager.get(Request));
}

// Sends Request on a plain socket (for what the access manager will not send) and reads
// until the server ends the stream. *pError is 0 for an orderly close (FIN) and the
// errno of a broken one (ECONNRESET after an RST); QTcpSocket reports both alike.
QByteArray exchange(quint16 Port, const QByteArray& Request, int* pError = nullptr)
{
    const int Descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Address {};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray Received;
    ssize_t Count = -1;
    if (::connect(Descriptor, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0 &&
        ::send(Descriptor, Request.constData(), size_t(Request.size()), 0) == Request.size()) {
        char Buffer[65536];
        while ((Count = ::recv(Descriptor, Buffer, sizeof Buffer, 0)) > 0)
            Received.append(Buffer, int(Count));
    }
    if (pError)
        *pError = Count == 0 ? 0 : errno;
    ::close(Descriptor);
    return Received;
}

QByteArray bodyOf(const QByteArray& Response)
{
    return Response.mid(Response.indexOf("\r\n\r\n") + 4);
}

} // namespace

class TstLoopbackHttpServer : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }

    void servesFilesAndMemoryBodiesOnOneConnection()
    {
        QTemporaryDir Dir;
        const QByteArray Blob = pattern(300 * 1024 + 17, 1); // several pieces
        QVERIFY(writeFile(Dir.filePath("a.txt"), "alpha\n") && writeFile(Dir.filePath("sub/deep/blob.bin"), Blob) &&
                writeFile(Dir.filePath("with space.txt"), "spaced"));
        TLoopbackHttpServer Server;
        QVERIFY2(Server.isListening(), qPrintable(Server.errorString()));
        Server.serveDirectory(Dir.path());
        Server.setBody("/mem", "hello", "text/plain");

        QNetworkAccessManager Client;
        TFetched Fetched = fetch(Client, Server.url("/a.txt"));
        QCOMPARE(Fetched.m_Body, QByteArray("alpha\n"));
        QCOMPARE(Fetched.m_Headers.value("connection"), QByteArray("keep-alive"));
        QVERIFY(fetch(Client, Server.url("/sub/deep/blob.bin")).m_Body == Blob);
        QCOMPARE(fetch(Client, Server.url("/with space.txt")).m_Body, QByteArray("spaced"));
        Fetched = fetch(Client, Server.url("/mem?x=1&y=2"));
        QCOMPARE(Fetched.m_Body, QByteArray("hello"));
        QCOMPARE(Fetched.m_Headers.value("content-type"), QByteArray("text/plain"));
        QCOMPARE(fetch(Client, Server.url("/sub")).m_Status, 404); // a directory is not content
        Server.serveDirectory(QString());
        QCOMPARE(fetch(Client, Server.url("/a.txt")).m_Status, 404);
        QCOMPARE(Server.acceptedConnections(), 1); // every request reused the first connection
        QVERIFY(Server.requestCount("/with space.txt") == 1 && Server.requestCount("/a.txt") == 2);
    }

    void redirectsStatusesAndQueuedBehaviours()
    {
        TLoopbackHttpServer Server;
        Server.setBody("/target", "arrived");
        TBehaviour Old = behaviour(302), Moved = behaviour(301);
        Old.m_Location = "/target";
        Moved.m_Location = Server.url("/old").toEncoded();
        Server.setBehaviour("/old", Old);
        Server.setBehaviour("/moved", Moved);
        QNetworkAccessManager Client;
        QCOMPARE(fetch(Client, Server.url("/moved")).m_Body, QByteArray("arrived"));
        TFetched Fetched = fetch(Client, Server.url("/old"), QNetworkRequest::ManualRedirectPolicy);
        QCOMPARE(Fetched.m_Status, 302);
        QCOMPARE(Fetched.m_Headers.value("location"), QByteArray("/target"));
        QCOMPARE(Server.requestCount("/target"), 1);

        // A scripted status wins over content, which is then not sent.
        Server.setBody("/s", "content that must not come");
        for (const auto& [status, error] : {std::pair {404, QNetworkReply::ContentNotFoundError},
                                            {403, QNetworkReply::ContentAccessDenied},
                                            {500, QNetworkReply::InternalServerError},
                                            {503, QNetworkReply::ServiceUnavailableError}}) {
            Server.setBehaviour("/s", behaviour(status));
            Fetched = fetch(Client, Server.url("/s"));
            QCOMPARE(Fetched.m_Error, error);
            QCOMPARE(Fetched.m_Status, status);
            QVERIFY(!Fetched.m_Body.contains("content that must not come"));
        }
        QCOMPARE(fetch(Client, Server.url("/absent")).m_Error, QNetworkReply::ContentNotFoundError);

        // Queued behaviours apply once each, in order and before the persistent one.
        Server.setBody("/q", "content");
        Server.queueBehaviour("/q", behaviour(500));
        Server.queueBehaviour("/q", behaviour(200, 0, "once"));
        QCOMPARE(Server.queuedBehaviourCount("/q"), 2);
        QCOMPARE(fetch(Client, Server.url("/q?any=query")).m_Status, 500);
        QCOMPARE(fetch(Client, Server.url("/q")).m_Body, QByteArray("once"));
        QCOMPARE(fetch(Client, Server.url("/q")).m_Body, QByteArray("content"));
        QCOMPARE(Server.queuedBehaviourCount("/q"), 0);
        Server.setBehaviour("/q", behaviour(200, 0, "persistent"));
        Server.queueBehaviour("/q", behaviour(404));
        QCOMPARE(fetch(Client, Server.url("/q")).m_Status, 404);
        QCOMPARE(fetch(Client, Server.url("/q")).m_Body + fetch(Client, Server.url("/q")).m_Body, QByteArray("persistentpersistent"));
        Server.clearBehaviour("/q");
        QCOMPARE(fetch(Client, Server.url("/q")).m_Body, QByteArray("content"));
    }

    void resetIsAnRstAndTruncationAClose()
    {
        TLoopbackHttpServer Server;
        const QByteArray Data = pattern(128 * 1024, 3);
        Server.setBody("/whole", Data);
        TBehaviour Reset = behaviour(200, 0, Data), Truncate = Reset;
        Reset.m_ResetAfterBodyBytes = 50000;
        Reset.m_PieceSize = 16 * 1024;
        Truncate.m_TruncateAfterBodyBytes = 70000;
        Server.setBehaviour("/reset", Reset);
        Server.setBehaviour("/truncate", Truncate);

        int Error = -1;
        QByteArray Response = exchange(Server.port(), "GET /truncate HTTP/1.1\r\n\r\n", &Error);
        QCOMPARE(Error, 0);
        QVERIFY(Response.contains("Content-Length: " + QByteArray::number(Data.size()) + "\r\n"));
        QVERIFY(bodyOf(Response) == Data.left(70000));
        Response = bodyOf(exchange(Server.port(), "GET /reset HTTP/1.1\r\n\r\n", &Error));
        QCOMPARE(Error, ECONNRESET);
        QVERIFY(Response.size() <= 50000 && Response == Data.left(Response.size())); // in-flight bytes may be lost

        // Qt 5.15 reports a cut as RemoteHostClosedError, or, when the socket is already gone
        // before it reads the last bytes, as a finished reply with a short body.
        const auto cutShort = [&](const TFetched& Fetched) {
            return Fetched.m_Error == QNetworkReply::RemoteHostClosedError ||
                   (Fetched.m_Error == QNetworkReply::NoError && Fetched.m_Body.size() < Data.size());
        };
        QNetworkAccessManager Client;
        QVERIFY(cutShort(fetch(Client, Server.url("/reset"))));
        QVERIFY(cutShort(fetch(Client, Server.url("/truncate"))));
        // The server carries on, and no cut response stays counted as active.
        QVERIFY(fetch(Client, Server.url("/whole")).m_Body == Data);
        QVERIFY(Server.waitUntil([&] { return Server.activeRequests() == 0; }));
    }

    void corruptionFlipsExactlyTheChosenBytes()
    {
        QTemporaryDir Dir;
        const QByteArray Data = pattern(300000, 4);
        QVERIFY(writeFile(Dir.filePath("file.bin"), Data));
        TLoopbackHttpServer Server;
        Server.serveDirectory(Dir.path());
        Server.setBody("/memory.bin", Data);
        TBehaviour Some;
        Some.m_PieceSize = 1000;
        Some.m_CorruptOffsets = {0, 999, 1000, 65535, 65536, 299999, 400000}; // piece edges, last byte, beyond
        Server.setBehaviour("/memory.bin", Some);
        Server.setBehaviour("/file.bin", Some);
        QByteArray Expected = Data;
        for (const int Offset : {0, 999, 1000, 65535, 65536, 299999})
            Expected[Offset] = char(Expected.at(Offset) ^ 0xFF);
        QNetworkAccessManager Client;
        for (const char* Path : {"/memory.bin", "/file.bin"})
            QVERIFY2(fetch(Client, Server.url(Path)).m_Body == Expected, Path);
    }

    void delaysOrderCompletionAndPiecesKeepTheBody()
    {
        TLoopbackHttpServer Server;
        Server.setBehaviour("/slow", behaviour(200, 1000, "slow"));
        Server.setBody("/fast", "fast");
        const QByteArray Drip = pattern(50000, 5);
        TBehaviour Pieces = behaviour(200, 0, Drip);
        Pieces.m_PieceSize = 7000;
        Pieces.m_DelayBetweenPiecesMs = 10;
        Server.setBehaviour("/drip", Pieces);

        QNetworkAccessManager Client;
        QStringList Order;
        for (QNetworkReply* pReply : {Client.get(QNetworkRequest(Server.url("/slow"))), Client.get(QNetworkRequest(Server.url("/fast")))})
            QObject::connect(pReply, &QNetworkReply::finished, pReply, [&Order, pReply] { Order << pReply->readAll(); });
        QVERIFY(Server.waitUntil([&] { return Order.size() == 1; }, 30000));
        QCOMPARE(Server.activeRequests(), 1); // the slow one is held back, not lost
        QVERIFY(Server.waitUntil([&] { return Order.size() == 2; }, 30000));
        QCOMPARE(Order, QStringList({"fast", "slow"}));
        QVERIFY(fetch(Client, Server.url("/drip")).m_Body == Drip);
    }

    void countsAndPeaks()
    {
        TLoopbackHttpServer Server;
        Server.setBehaviour("/hold", behaviour(200, 600000)); // answered only if the test hangs anyway
        Server.setBody("/a", "a");
        Server.setBody("/b", "b");
        {
            // Three connections with a held request each, the first with two more pipelined behind it.
            QTcpSocket Sockets[3];
            for (QTcpSocket& Socket : Sockets) {
                Socket.connectToHost(QHostAddress::LocalHost, Server.port());
                QVERIFY(Socket.waitForConnected(10000));
                Socket.write(&Socket == Sockets ? "GET /hold HTTP/1.1\r\n\r\nGET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n"
                                                : "GET /hold HTTP/1.1\r\n\r\n");
                QVERIFY(Socket.waitForBytesWritten(10000));
            }
            QVERIFY(Server.waitForRequests(5));
            QVERIFY(Server.openConnections() == 3 && Server.activeRequests() == 5 && Server.peakActiveRequests() == 5 &&
                    Server.peakConnections() == 3);
            QVERIFY(Server.finishedResponses() == 0 && Server.requestCount("/hold") == 3);
        }
        // Clients gone: their requests are no longer active, the peaks stay until reset.
        QVERIFY(Server.waitUntil([&] { return Server.openConnections() == 0 && Server.activeRequests() == 0; }));
        QVERIFY(Server.peakConnections() == 3 && Server.peakActiveRequests() == 5);
        Server.resetCounters();
        QVERIFY(Server.peakConnections() == 0 && Server.peakActiveRequests() == 0 && Server.totalRequests() == 0);

        // Arrival order with queries, counts without.
        QNetworkAccessManager Client;
        for (const char* Path : {"/a?1", "/b", "/a?2"})
            QCOMPARE(fetch(Client, Server.url(Path)).m_Error, QNetworkReply::NoError);
        QCOMPARE(Server.requestedPaths(), QStringList({"/a?1", "/b", "/a?2"}));
        QCOMPARE(Server.requestCounts(), (QMap<QString, int> {{"/a", 2}, {"/b", 1}}));
        QCOMPARE(Server.finishedResponses(), 3);
    }

    void capturesPostsAndHeaders()
    {
        TLoopbackHttpServer Server;
        Server.setBody("/upload", "thanks");
        const QByteArray Json = R"({"cpu":"x86-64","memory":24})";
        QNetworkAccessManager Client;
        QNetworkRequest Post(Server.url("/upload?id=7"));
        Post.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QCOMPARE(wait(Client.post(Post, Json)).m_Body, QByteArray("thanks"));
        QCOMPARE(bodyOf(exchange(Server.port(),
                                 "POST /upload HTTP/1.1\r\nX-Mixed-CASE:   Spaced  Value  \r\n"
                                 "X-Mixed-Case: second\r\nContent-Length: 4\r\nConnection: close\r\n\r\ndata")),
                 QByteArray("thanks"));
        const QVector<TCapturedRequest> Captured = Server.capturedRequests();
        QCOMPARE(Captured.size(), 2);
        QCOMPARE(Captured.at(0).m_Method, QByteArray("POST"));
        QCOMPARE(Captured.at(0).m_Path, QByteArray("/upload?id=7"));
        QCOMPARE(Captured.at(0).header("content-type"), QByteArray("application/json"));
        QCOMPARE(Captured.at(0).m_Body, Json);
        // Names lower-case, values trimmed but otherwise as sent, in arrival order.
        const QList<QPair<QByteArray, QByteArray>> Expected = {
            {"x-mixed-case", "Spaced  Value"}, {"x-mixed-case", "second"}, {"content-length", "4"}, {"connection", "close"}};
        QCOMPARE(Captured.at(1).m_Headers, Expected);
        QCOMPARE(Captured.at(1).header("x-mixed-case"), QByteArray("Spaced  Value"));
        QVERIFY(Captured.at(1).header("absent").isNull());
        QCOMPARE(Captured.at(1).m_Body, QByteArray("data"));
    }

    void refusesEscapesFromTheServedDirectory()
    {
        QTemporaryDir Base;
        QVERIFY(writeFile(Base.filePath("www/inside.txt"), "inside") && writeFile(Base.filePath("outside.txt"), "SECRET"));
        QVERIFY(QFile::link(Base.filePath("outside.txt"), Base.filePath("www/link.txt")));
        TLoopbackHttpServer Server;
        Server.serveDirectory(Base.filePath("www"));
        for (const QByteArray Target :
             {"/../outside.txt", "/x/../../outside.txt", "/%2e%2e/outside.txt", "/%2E%2E%2Foutside.txt", "/link.txt"}) {
            const QByteArray Response = exchange(Server.port(), "GET " + Target + " HTTP/1.1\r\nConnection: close\r\n\r\n");
            QVERIFY2(Response.startsWith("HTTP/1.1 403 ") && !Response.contains("SECRET"), Target.constData());
        }
        QCOMPARE(bodyOf(exchange(Server.port(), "GET /inside.txt HTTP/1.1\r\nConnection: close\r\n\r\n")), QByteArray("inside"));
    }

    void answersWhileCallerThreadIsBlocked()
    {
        TLoopbackHttpServer Server;
        Server.setBody("/one", "1");
        Server.setBehaviour("/two", behaviour(200, 200, "2"));
        QByteArray Results;
        std::unique_ptr<QThread> pFetcher(QThread::create([&] {
            QNetworkAccessManager Client;
            Results += fetch(Client, Server.url("/one")).m_Body + fetch(Client, Server.url("/two")).m_Body;
        }));
        pFetcher->start();
        QVERIFY(pFetcher->wait(60000)); // this thread runs no event loop meanwhile
        QCOMPARE(Results, QByteArray("12"));
        QCOMPARE(Server.totalRequests(), 2);
    }
};

QTEST_GUILESS_MAIN(TstLoopbackHttpServer)

#include "tst_loopbackhttpserver.moc"
