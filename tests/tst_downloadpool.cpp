#include "TestEnvironment.h"

#include "RandomBytes.h"
#include "support/LoopbackHttpServer.h"

#include "TCloudflareCdnTrace.h"
#include "TDownloadPool.h"
#include "TRandomNumberGenerator.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

using namespace shared;
using testsupport::TBehaviour;
using testsupport::TLoopbackHttpServer;

namespace {

struct TPoolFixture {
    explicit TPoolFixture(int Limit, bool ReleaseOnFinish)
        : m_pManager(std::make_shared<QNetworkAccessManager>())
        , m_Pool(Limit, std::make_shared<QNetworkAccessManagerWrapper>(m_pManager), ReleaseOnFinish)
        , m_Success(&m_Pool, &TDownloadPool::success)
        , m_Failed(&m_Pool, &TDownloadPool::failed)
    {
    }
    int results() const { return m_Success.size() + m_Failed.size(); }
    QList<QUrl> succeededUrls() const
    {
        QList<QUrl> Urls;
        for (const auto& Arguments : m_Success) {
            Urls << Arguments.at(0).toUrl();
        }
        return Urls;
    }

    std::shared_ptr<QNetworkAccessManager> m_pManager;
    TDownloadPool m_Pool;
    QSignalSpy m_Success;
    QSignalSpy m_Failed;
};

TBehaviour delayed(int Milliseconds)
{
    TBehaviour Behaviour;
    Behaviour.m_DelayBeforeHeadersMs = Milliseconds;
    return Behaviour;
}

} // namespace

Q_DECLARE_METATYPE(TBehaviour)

class TestDownloadPool : public QObject {
    Q_OBJECT
private slots:
    void limitAndQueueOrder();
    void priorityAndZeroLimit();
    void releaseOnFinishFalseKeepsSlot();
    void bytesInFlightBound();
    void failuresAndRedirects_data();
    void failuresAndRedirects();
    void bufferedSocketsKeepConnectionsAlive();
    void boundedTransfers_data();
    void boundedTransfers();
    void invalidUrlsAndFiles();
    void requestsCarryNoHeadersOfOurOwn();
    void randomNumbersAndNocache();
    void cdnTrace();
    void cdnTraceWithoutUrl();
};

void TestDownloadPool::limitAndQueueOrder()
{
    TLoopbackHttpServer Server;
    for (int Index = 1; Index <= 5; ++Index) {
        Server.setBody(QStringLiteral("/f%1").arg(Index), QByteArray(1000 * Index, char('a' + Index)));
        Server.setBehaviour(QStringLiteral("/f%1").arg(Index), delayed(150));
    }
    TPoolFixture Fixture(2, true);
    for (int Index = 1; Index <= 5; ++Index) {
        Fixture.m_Pool.download(Server.url(QStringLiteral("/f%1").arg(Index)));
    }
    QCOMPARE(Fixture.m_Pool.getNumberOfActiveDownloads(), 2);
    QCOMPARE(Fixture.m_Pool.getNumberOfOutstandingDownloads(), 5);
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.results(), 5, 10000);
    QCOMPARE(Fixture.m_Failed.size(), 0);
    QCOMPARE(Server.peakActiveRequests(), 2);
    QVERIFY(Server.peakConnections() <= 2);
    QCOMPARE(Server.requestedPaths(), (QStringList {"/f1", "/f2", "/f3", "/f4", "/f5"}));
    QCOMPARE(Fixture.m_Success.at(4).at(1).toByteArray().size() % 1000, 0);
    QCOMPARE(Fixture.m_Pool.getNumberOfOutstandingDownloads(), 0);

    // asking again for a running URL does nothing
    Fixture.m_Pool.download(Server.url(QStringLiteral("/f1")));
    Fixture.m_Pool.download(Server.url(QStringLiteral("/f1")));
    QCOMPARE(Fixture.m_Pool.getNumberOfOutstandingDownloads(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.results(), 6, 10000);
    QCOMPARE(Server.requestCount(QStringLiteral("/f1")), 2);

    // replies are freed after their finish was handled
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.m_pManager->findChildren<QNetworkReply*>().size(), 0, 5000);
}

void TestDownloadPool::priorityAndZeroLimit()
{
    TLoopbackHttpServer Server;
    for (const char* Name : {"/a", "/b", "/c", "/d"}) {
        Server.setBody(QLatin1String(Name), QByteArray(Name));
    }
    TPoolFixture Fixture(0, true);
    for (const char* Name : {"/a", "/b", "/c", "/d"}) {
        Fixture.m_Pool.download(Server.url(QLatin1String(Name)));
    }
    Fixture.m_Pool.downloadWithPriority(Server.url(QStringLiteral("/c")));
    Fixture.m_Pool.download(Server.url(QStringLiteral("/a"))); // moves to the back
    QTest::qWait(100);
    QCOMPARE(Server.totalRequests(), 0);
    QCOMPARE(Fixture.m_Pool.getNumberOfActiveDownloads(), 0);
    QCOMPARE(Fixture.m_Pool.getNumberOfOutstandingDownloads(), 4);

    Fixture.m_Pool.setMaxConcurrentDownloads(1);
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.results(), 4, 10000);
    QCOMPARE(Server.requestedPaths(), (QStringList {"/c", "/b", "/d", "/a"}));
    QCOMPARE(Fixture.succeededUrls().first(), Server.url(QStringLiteral("/c")));
    QCOMPARE(Fixture.m_Success.first().at(1).toByteArray(), QByteArray("/c"));
}

void TestDownloadPool::releaseOnFinishFalseKeepsSlot()
{
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/one"), "1");
    Server.setBody(QStringLiteral("/two"), "2");
    TPoolFixture Fixture(1, false);
    Fixture.m_Pool.download(Server.url(QStringLiteral("/one")));
    Fixture.m_Pool.download(Server.url(QStringLiteral("/two")));
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.m_Success.size(), 1, 10000);
    QTest::qWait(100);
    QCOMPARE(Server.totalRequests(), 1); // the finished one still holds the slot
    QCOMPARE(Fixture.m_Pool.getNumberOfActiveDownloads(), 1);
    QCOMPARE(Fixture.m_Pool.getNumberOfOutstandingDownloads(), 2);
    Fixture.m_Pool.releaseDownload(Server.url(QStringLiteral("/one")));
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.m_Success.size(), 2, 10000);
    Fixture.m_Pool.releaseDownload(Server.url(QStringLiteral("/two")));
    QCOMPARE(Fixture.m_Pool.getNumberOfOutstandingDownloads(), 0);

    // a consumer that releases in its failed handler sees exactly one failure
    TBehaviour Missing;
    Missing.m_Status = 404;
    Server.setBehaviour(QStringLiteral("/gone"), Missing);
    connect(&Fixture.m_Pool, &TDownloadPool::failed, &Fixture.m_Pool, [&](const QUrl& Url) { Fixture.m_Pool.releaseDownload(Url); });
    Fixture.m_Pool.download(Server.url(QStringLiteral("/gone")));
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.m_Failed.size(), 1, 10000);
    QTest::qWait(200);
    QCOMPARE(Fixture.m_Failed.size(), 1);
    QCOMPARE(Fixture.m_Failed.first().at(1).value<QNetworkReply::NetworkError>(), QNetworkReply::ContentNotFoundError);
}

void TestDownloadPool::bytesInFlightBound()
{
    // slots held until released, as the chunk downloader holds them: URLs of 100 bytes
    // under a bound of 250 run two at a time, one of 300 when nothing else runs, and a
    // URL without a limit of its own counts nothing
    TLoopbackHttpServer Server;
    for (const char* Path : {"/a", "/b", "/c", "/big", "/free"}) {
        Server.setBody(QString::fromLatin1(Path), "x");
    }
    TPoolFixture Fixture(10, false);
    Fixture.m_Pool.setMaximumBytesInFlight(250);
    for (const char* Path : {"/a", "/b", "/c"}) {
        Fixture.m_Pool.download(Server.url(QString::fromLatin1(Path)), 100);
    }
    Fixture.m_Pool.download(Server.url(QStringLiteral("/big")), 300);
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.m_Success.size(), 2, 10000);
    QTest::qWait(100);
    QCOMPARE(Server.totalRequests(), 2);
    Fixture.m_Pool.releaseDownload(Server.url(QStringLiteral("/a")));
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.m_Success.size(), 3, 10000);
    QTest::qWait(100);
    QCOMPARE(Server.totalRequests(), 3); // /big waits behind /b and /c
    Fixture.m_Pool.download(Server.url(QStringLiteral("/free")));
    Fixture.m_Pool.releaseDownload(Server.url(QStringLiteral("/b")));
    Fixture.m_Pool.releaseDownload(Server.url(QStringLiteral("/c")));
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.m_Success.size(), 4, 10000);
    QTest::qWait(100);
    QCOMPARE(Server.requestCount(QStringLiteral("/big")), 1);
    QCOMPARE(Server.requestCount(QStringLiteral("/free")), 0); // the sum is past the bound already
    QCOMPARE(Fixture.m_Pool.getNumberOfActiveDownloads(), 1);
    Fixture.m_Pool.releaseDownload(Server.url(QStringLiteral("/big")));
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.m_Success.size(), 5, 10000);
    QCOMPARE(Fixture.succeededUrls().last(), Server.url(QStringLiteral("/free")));
}

void TestDownloadPool::failuresAndRedirects_data()
{
    QTest::addColumn<bool>("BufferedSockets");
    QTest::newRow("Qt's own sockets") << false;
    QTest::newRow("buffered sockets") << true;
}

void TestDownloadPool::failuresAndRedirects()
{
    QFETCH(bool, BufferedSockets);
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/target"), "moved here");
    TBehaviour Redirect;
    Redirect.m_Status = 302;
    Redirect.m_Location = "/target";
    Server.setBehaviour(QStringLiteral("/redirect"), Redirect);
    TBehaviour Forbidden;
    Forbidden.m_Status = 403;
    Server.setBehaviour(QStringLiteral("/forbidden"), Forbidden);
    TBehaviour Broken;
    Broken.m_Status = 500;
    Server.setBehaviour(QStringLiteral("/broken"), Broken);
    Server.setBody(QStringLiteral("/reset"), QByteArray(2000000, 'r'));
    TBehaviour Reset;
    Reset.m_ResetAfterBodyBytes = 1000;
    Server.setBehaviour(QStringLiteral("/reset"), Reset);

    // a body cut short after a large part arrived is a failure too, never a short success
    Server.setBody(QStringLiteral("/truncated"), QByteArray(2000000, 't'));
    TBehaviour Truncated;
    Truncated.m_TruncateAfterBodyBytes = 300000;
    Server.setBehaviour(QStringLiteral("/truncated"), Truncated);

    TPoolFixture Fixture(6, true);
    if (BufferedSockets) {
        readResponsesThroughBufferedSockets(*Fixture.m_pManager);
    }
    for (const char* Name : {"/redirect", "/missing", "/forbidden", "/broken", "/reset", "/truncated"}) {
        Fixture.m_Pool.download(Server.url(QLatin1String(Name)));
    }
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.results(), 6, 10000);
    QTest::qWait(100);
    QCOMPARE(Fixture.results(), 6); // one report per request
    QCOMPARE(Fixture.m_Success.size(), 1);
    QCOMPARE(Fixture.m_Success.first().at(0).toUrl(), Server.url(QStringLiteral("/redirect"))); // keyed by the asked URL
    QCOMPARE(Fixture.m_Success.first().at(1).toByteArray(), QByteArray("moved here"));

    QMap<QString, QNetworkReply::NetworkError> Codes;
    for (const auto& Arguments : Fixture.m_Failed) {
        Codes.insert(Arguments.at(0).toUrl().path(), Arguments.at(1).value<QNetworkReply::NetworkError>());
        QVERIFY(!Arguments.at(2).toString().isEmpty());
    }
    QCOMPARE(Codes.value(QStringLiteral("/missing")), QNetworkReply::ContentNotFoundError);
    QCOMPARE(Codes.value(QStringLiteral("/forbidden")), QNetworkReply::ContentAccessDenied);
    QCOMPARE(Codes.value(QStringLiteral("/broken")), QNetworkReply::InternalServerError);
    QVERIFY(Codes.contains(QStringLiteral("/reset")));
    QVERIFY(Codes.value(QStringLiteral("/reset")) != QNetworkReply::NoError);
    QVERIFY(Codes.contains(QStringLiteral("/truncated")));
    for (const auto& Request : Server.capturedRequests()) {
        QVERIFY(Request.m_AbsoluteTarget.isEmpty()); // straight to the server, never as to a proxy
    }
}

void TestDownloadPool::bufferedSocketsKeepConnectionsAlive()
{
    // Many responses with long headers on few connections: every header and body read
    // through the buffer must end where the next response begins.
    TLoopbackHttpServer Server;
    TBehaviour LongHeaders;
    for (int Index = 0; Index < 40; ++Index) {
        LongHeaders.m_ExtraHeaders.append({"X-Filler-" + QByteArray::number(Index), QByteArray(100, 'a' + Index % 26)});
    }
    QMap<QUrl, QByteArray> Bodies;
    for (int Index = 0; Index < 60; ++Index) {
        const QString Path = QStringLiteral("/chunk/%1").arg(Index);
        const QByteArray Body = testsupport::randomBytes(Index % 3 == 0 ? 0 : Index * 4099, static_cast<quint64>(Index));
        Server.setBody(Path, Body);
        Server.setBehaviour(Path, LongHeaders);
        Bodies.insert(Server.url(Path), Body);
    }
    TPoolFixture Fixture(3, true);
    readResponsesThroughBufferedSockets(*Fixture.m_pManager);
    for (const QUrl& Url : Bodies.keys()) {
        Fixture.m_Pool.download(Url);
    }
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.results(), Bodies.size(), 20000);
    QCOMPARE(Fixture.m_Failed.size(), 0);
    for (const auto& Arguments : Fixture.m_Success) {
        QCOMPARE(Arguments.at(1).toByteArray(), Bodies.value(Arguments.at(0).toUrl()));
    }
    QVERIFY2(Server.acceptedConnections() <= 3, QByteArray::number(Server.acceptedConnections()).constData());
}

void TestDownloadPool::boundedTransfers_data()
{
    QTest::addColumn<int>("BodySize");
    QTest::addColumn<TBehaviour>("Behaviour");
    QTest::addColumn<qint64>("OwnLimit"); // -2: asked for without a limit of its own
    QTest::addColumn<qint64>("DefaultLimit");
    QTest::addColumn<int>("Expected"); // a QNetworkReply::NetworkError, 0 for success

    TBehaviour Plain;
    TBehaviour NoHeaders;
    NoHeaders.m_DelayBeforeHeadersMs = 3600 * 1000;
    TBehaviour Stalls;
    Stalls.m_PieceSize = 5000;
    Stalls.m_DelayBetweenPiecesMs = 3600 * 1000;
    TBehaviour SlowButSteady; // 2.4 s in all, never a second without data
    SlowButSteady.m_PieceSize = 1000;
    SlowButSteady.m_DelayBetweenPiecesMs = 300;
    const qint64 Document = TDownloadPool::kDefaultMaximumBodySize;
    QTest::newRow("headers never come") << 1000 << NoHeaders << qint64(-2) << Document << int(QNetworkReply::TimeoutError);
    QTest::newRow("body stalls") << 10000 << Stalls << qint64(-2) << Document << int(QNetworkReply::TimeoutError);
    QTest::newRow("slow but steady") << 9000 << SlowButSteady << qint64(-2) << Document << 0;
    QTest::newRow("over its own limit") << 5001 << Plain << qint64(5000) << Document << int(QNetworkReply::UnknownContentError);
    QTest::newRow("at its own limit") << 5000 << Plain << qint64(5000) << Document << 0;
    QTest::newRow("over the default limit") << 5001 << Plain << qint64(-2) << qint64(5000) << int(QNetworkReply::UnknownContentError);
    QTest::newRow("own limit above the default") << 8000 << Plain << qint64(9000) << qint64(5000) << 0;
    QTest::newRow("no limit") << 8000 << Plain << qint64(-1) << qint64(5000) << 0;
}

void TestDownloadPool::boundedTransfers()
{
    QFETCH(int, BodySize);
    QFETCH(TBehaviour, Behaviour);
    QFETCH(qint64, OwnLimit);
    QFETCH(qint64, DefaultLimit);
    QFETCH(int, Expected);
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/doc"), QByteArray(BodySize, 'd'));
    Server.setBehaviour(QStringLiteral("/doc"), Behaviour);
    for (const bool ReleaseOnFinish : {true, false}) {
        TPoolFixture Fixture(2, ReleaseOnFinish);
        Fixture.m_Pool.setTransferTimeout(1000);
        Fixture.m_Pool.setDefaultMaximumBodySize(DefaultLimit);
        if (!ReleaseOnFinish) {
            // the package pool's consumer releases a failed URL at once
            connect(&Fixture.m_Pool, &TDownloadPool::failed, &Fixture.m_Pool,
                    [&](const QUrl& Url) { Fixture.m_Pool.releaseDownload(Url); });
        }
        if (OwnLimit == -2) {
            Fixture.m_Pool.download(Server.url(QStringLiteral("/doc")));
        } else {
            Fixture.m_Pool.download(Server.url(QStringLiteral("/doc")), OwnLimit);
        }
        QTRY_COMPARE_WITH_TIMEOUT(Fixture.results(), 1, 15000);
        QTest::qWait(50); // a second report would come now
        QCOMPARE(Fixture.results(), 1);
        if (Expected == 0) {
            QCOMPARE(Fixture.m_Success.first().at(1).toByteArray().size(), BodySize);
        } else {
            QCOMPARE(Fixture.m_Failed.first().at(1).value<QNetworkReply::NetworkError>(), QNetworkReply::NetworkError(Expected));
        }
    }
}

void TestDownloadPool::invalidUrlsAndFiles()
{
    TPoolFixture Fixture(2, true);
    Fixture.m_Pool.download(QUrl(QStringLiteral("relative/path.json")));
    QCOMPARE(Fixture.m_Failed.size(), 1);
    QCOMPARE(Fixture.m_Failed.first().at(1).value<QNetworkReply::NetworkError>(), QNetworkReply::ProtocolInvalidOperationError);
    QCOMPARE(Fixture.m_Failed.first().at(2).toString(), QStringLiteral("Invalid URL"));
    QCOMPARE(Fixture.m_Pool.getNumberOfOutstandingDownloads(), 0);
    QTest::qWait(100);
    QCOMPARE(Fixture.m_Failed.size(), 1);

    // local files use the same pool
    QTemporaryDir Dir;
    QFile File(Dir.filePath(QStringLiteral("local.json")));
    QVERIFY(File.open(QIODevice::WriteOnly));
    File.write("{\"local\": true}");
    File.close();
    Fixture.m_Pool.download(QUrl::fromLocalFile(File.fileName()));
    Fixture.m_Pool.download(QUrl::fromLocalFile(Dir.filePath(QStringLiteral("absent.json"))));
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.results(), 3, 10000);
    QCOMPARE(Fixture.m_Success.first().at(1).toByteArray(), QByteArray("{\"local\": true}"));
    QCOMPARE(Fixture.m_Failed.size(), 2);
}

void TestDownloadPool::requestsCarryNoHeadersOfOurOwn()
{
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/doc"), "x");
    TPoolFixture Fixture(1, true);
    Fixture.m_Pool.download(Server.url(QStringLiteral("/doc")));
    QTRY_COMPARE_WITH_TIMEOUT(Fixture.results(), 1, 10000);
    const auto Requests = Server.capturedRequests();
    QCOMPARE(Requests.size(), 1);
    QCOMPARE(Requests.first().m_Method, QByteArray("GET"));
    const QSet<QByteArray> NetworkLayerDefaults {"host", "connection", "accept-encoding", "accept-language", "user-agent"};
    for (const QByteArray& Name : Requests.first().headerNames()) {
        QVERIFY2(NetworkLayerDefaults.contains(Name), Name.constData());
    }
}

void TestDownloadPool::randomNumbersAndNocache()
{
    // the minimal standard generator's known sequence from seed 1
    TRandomNumberGenerator Generator(1);
    QCOMPARE(Generator.uniformUnsigned(0, 2147483645), quint64(16807 - 1));
    QCOMPARE(Generator.uniformUnsigned(0, 2147483645), quint64(282475249 - 1));
    QCOMPARE(Generator.uniformUnsigned(1, 2147483646), quint64(1622650073));
    QCOMPARE(TRandomNumberGenerator(0).uniformUnsigned(0, 2147483645), quint64(16806)); // seed 0 becomes 1

    TRandomNumberGenerator Seeded(12345);
    QSet<quint64> Seen;
    for (int Index = 0; Index < 2000; ++Index) {
        const quint64 Value = Seeded.uniformUnsigned(0, 61);
        QVERIFY(Value <= 61);
        Seen.insert(Value);
        const qint64 Signed = Seeded.uniformSigned(-5, 5);
        QVERIFY(Signed >= -5 && Signed <= 5);
        QVERIFY(Seeded.uniformUnsigned(quint64(1) << 40, (quint64(1) << 40) + 3) - (quint64(1) << 40) <= 3);
        const quint64 Wide = Seeded.uniformUnsigned(0, (quint64(1) << 40));
        QVERIFY(Wide <= (quint64(1) << 40));
    }
    QCOMPARE(Seen.size(), 62);
    QCOMPARE(Seeded.uniformSigned(7, 7), qint64(7));
    const quint64 Full = Seeded.uniformUnsigned(0, std::numeric_limits<quint64>::max());
    Q_UNUSED(Full);

    const QUrl Plain(QStringLiteral("http://cdn.example/p/package.json?a=1"));
    QCOMPARE(addNocacheToUrl(Plain, false), Plain);
    const QUrl First = addNocacheToUrl(Plain, true);
    const QUrl Second = addNocacheToUrl(Plain, true);
    const QUrlQuery Query(First);
    QCOMPARE(Query.queryItems().size(), 2);
    QCOMPARE(Query.queryItems().first(), qMakePair(QStringLiteral("a"), QStringLiteral("1")));
    QCOMPARE(Query.queryItems().last().first, QStringLiteral("nocache"));
    QVERIFY(QRegularExpression(QStringLiteral("^[A-Za-z0-9]{32}$")).match(Query.queryItemValue(QStringLiteral("nocache"))).hasMatch());
    QVERIFY(First != Second);
    QCOMPARE(addNocacheToUrl(QUrl(), true), QUrl());
}

void TestDownloadPool::cdnTrace()
{
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/cdn-cgi/trace"), "fl=12f34\nh=example\nIP=192.0.2.7\r\nts=1234.5\ncolo=FRA\nuag=a=b\nts=\n");
    Server.setBody(QStringLiteral("/other"), "fl=zzz\n");
    auto pManager = std::make_shared<QNetworkAccessManager>();
    auto pPool = std::make_shared<TDownloadPool>(6, std::make_shared<QNetworkAccessManagerWrapper>(pManager), true);
    zarvo::launcher::TCloudflareCdnTrace Trace(Server.url(QStringLiteral("/cdn-cgi/trace")), pPool);
    QSignalSpy Received(&Trace, &zarvo::launcher::TCloudflareCdnTrace::diagnosticsTraceReceived);

    // other users of the shared pool leave it alone
    QSignalSpy OtherDone(pPool.get(), &TDownloadPool::success);
    pPool->download(Server.url(QStringLiteral("/other")));
    QTRY_COMPARE_WITH_TIMEOUT(OtherDone.size(), 1, 10000);
    QVERIFY(!Trace.m_Received && !Trace.m_Failed && Trace.m_Fl.isEmpty());

    Trace.requestTrace();
    QVERIFY(Trace.m_UnderWay);
    Trace.requestTrace(); // at most one at a time
    QTRY_COMPARE_WITH_TIMEOUT(Received.size(), 1, 10000);
    QCOMPARE(Received.first().at(0).toBool(), false);
    QCOMPARE(Trace.m_Fl, QStringLiteral("12f34"));
    QCOMPARE(Trace.m_Ts, QStringLiteral("1234.5")); // "ts=" splits into one piece and is skipped
    QCOMPARE(Trace.m_Colo, QStringLiteral("FRA"));
    QCOMPARE(Trace.m_Ip, QStringLiteral("192.0.2.7"));
    QCOMPARE(Server.requestCount(QStringLiteral("/cdn-cgi/trace")), 1);
    Trace.requestTrace(); // received: never fetched again
    QTest::qWait(50);
    QCOMPARE(Server.requestCount(QStringLiteral("/cdn-cgi/trace")), 1);

    // a failure of another URL changes nothing
    Trace.onDownloadFailed(Server.url(QStringLiteral("/other")), QNetworkReply::ContentNotFoundError, QString());
    QVERIFY(Trace.m_Received);
    QCOMPARE(Received.size(), 1);
}

void TestDownloadPool::cdnTraceWithoutUrl()
{
    TLoopbackHttpServer Server;
    auto pManager = std::make_shared<QNetworkAccessManager>();
    auto pPool = std::make_shared<TDownloadPool>(6, std::make_shared<QNetworkAccessManagerWrapper>(pManager), true);
    zarvo::launcher::TCloudflareCdnTrace Trace(QUrl(), pPool);
    QSignalSpy Received(&Trace, &zarvo::launcher::TCloudflareCdnTrace::diagnosticsTraceReceived);
    Trace.requestTrace();
    QCOMPARE(Received.size(), 1);
    QCOMPARE(Received.first().at(0).toBool(), true);
    QVERIFY(Trace.m_Failed);
    QCOMPARE(pPool->getNumberOfOutstandingDownloads(), 0);

    // a failing trace server
    TBehaviour Down;
    Down.m_Status = 500;
    Server.setBehaviour(QStringLiteral("/trace"), Down);
    zarvo::launcher::TCloudflareCdnTrace Failing(Server.url(QStringLiteral("/trace")), pPool);
    QSignalSpy FailingReceived(&Failing, &zarvo::launcher::TCloudflareCdnTrace::diagnosticsTraceReceived);
    Failing.requestTrace();
    QTRY_COMPARE_WITH_TIMEOUT(FailingReceived.size(), 1, 10000);
    QCOMPARE(FailingReceived.first().at(0).toBool(), true);
    QVERIFY(Failing.m_Failed && !Failing.m_UnderWay && !Failing.m_Received);
}

QTEST_GUILESS_MAIN(TestDownloadPool)
#include "tst_downloadpool.moc"
