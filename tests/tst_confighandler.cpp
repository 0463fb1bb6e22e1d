#include "TestEnvironment.h"

#include "support/LoopbackHttpServer.h"

#include "TDownloadPool.h"
#include "TLauncherConfigurationHandler.h"
#include "TPackageMarkers.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

using namespace zarvo::launcher;
using testsupport::TBehaviour;
using testsupport::TLoopbackHttpServer;

class TestConfigurationHandler : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void servedConfigurationIsCached();
    void silentServerFallsBackToCache();
    void stalledDocuments();
    void maintenanceAndBadDocuments();
    void refusedConfigurationFallsBackToCache_data();
    void refusedConfigurationFallsBackToCache();
    void serverGoneAndNoCacheFails();
    void cacheThatIsNotJsonIsAFileError();
    void unwritableCacheIsReportedAndConfigurationUsed();
    void sharedAndMissingDocuments();
    void nocacheDecoration();
    void hints();

private:
    struct TFixture;
    std::unique_ptr<TFixture> makeFixture(const QByteArray& ExtraSettings = QByteArray(), int ErrorTimeoutMs = 700,
                                          int TransferTimeoutS = 30);
    QByteArray configuration(const QString& Packages) const;

    std::unique_ptr<TLoopbackHttpServer> m_pServer;
    QTemporaryDir m_SettingsDir;
};

struct TestConfigurationHandler::TFixture {
    std::shared_ptr<TLauncherFilesystemHelper> m_pHelper;
    std::shared_ptr<shared::TDownloadPool> m_pPool;
    std::unique_ptr<TLauncherConfigurationHandler> m_pHandler;
    std::unique_ptr<QSignalSpy> m_pLoaded;
    std::unique_ptr<QSignalSpy> m_pFailed;
    std::unique_ptr<QSignalSpy> m_pDiskFailed;
    std::unique_ptr<QSignalSpy> m_pPackagesDone;
};

void TestConfigurationHandler::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Halvern GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("Torvane Online"));
    QStandardPaths::setTestModeEnabled(true);
}

void TestConfigurationHandler::init()
{
    m_pServer = std::make_unique<TLoopbackHttpServer>();
    QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)).removeRecursively();
}

QByteArray TestConfigurationHandler::configuration(const QString& Packages) const
{
    return QStringLiteral(
               R"({"launcher": {"name": "Launcher", "builds": [{"os": "linux", "architecture": "x86_64", "url": "self/package.json"}]},
                              "packages": [%1]})")
        .arg(Packages)
        .toUtf8();
}

std::unique_ptr<TestConfigurationHandler::TFixture> TestConfigurationHandler::makeFixture(const QByteArray& ExtraSettings,
                                                                                          int ErrorTimeoutMs, int TransferTimeoutS)
{
    const QString Path = m_SettingsDir.filePath(QStringLiteral("launchersettings.ini"));
    QFile File(Path);
    File.open(QIODevice::WriteOnly | QIODevice::Truncate);
    File.write("[URLS]\nlauncherConfiguration=" + m_pServer->url(QStringLiteral("/launcher/wexmetadata.json")).toEncoded() + "\n" +
               ExtraSettings +
               "\n[DIRECTORIES]\npackages=packages\n[FILES]\npackageFile=package.json\npartialPackageFile=partial-package.json\n"
               "assetFile=assets.json\n[TIMING]\ndownloadErrorTimeout=" +
               QByteArray::number(ErrorTimeoutMs) + "\n[OPTIONS]\ntransferTimeout=" + QByteArray::number(TransferTimeoutS) + "\n");
    File.close();

    auto pFixture = std::make_unique<TFixture>();
    pFixture->m_pHelper = std::make_shared<TLauncherFilesystemHelper>(Path);
    auto pManager = std::make_shared<QNetworkAccessManager>();
    pFixture->m_pPool = std::make_shared<shared::TDownloadPool>(6, std::make_shared<shared::QNetworkAccessManagerWrapper>(pManager), true);
    pFixture->m_pPool->setTransferTimeout(pFixture->m_pHelper->getSettings()->transferTimeoutMs()); // as start-up does
    pFixture->m_pHandler = std::make_unique<TLauncherConfigurationHandler>(pFixture->m_pPool, pFixture->m_pHelper,
                                                                           pFixture->m_pHelper->getSettings()->m_LauncherConfigurationUrl);
    TLauncherConfigurationHandler* pHandler = pFixture->m_pHandler.get();
    pFixture->m_pLoaded = std::make_unique<QSignalSpy>(pHandler, &TLauncherConfigurationHandler::mainConfigurationLoaded);
    pFixture->m_pFailed = std::make_unique<QSignalSpy>(pHandler, &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
    pFixture->m_pDiskFailed = std::make_unique<QSignalSpy>(pHandler, &TLauncherConfigurationHandler::diskAccessFailed);
    pFixture->m_pPackagesDone =
        std::make_unique<QSignalSpy>(pHandler, &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    // as the flow does: queue the package documents once the configuration is there
    connect(pHandler, &TLauncherConfigurationHandler::mainConfigurationLoaded, pHandler,
            [pHandler] { pHandler->queuePackageConfigurationDownloads(); });
    return pFixture;
}

void TestConfigurationHandler::servedConfigurationIsCached()
{
    const QByteArray Config = configuration(QStringLiteral(R"({"name": "Game", "directoryname": "game",
        "builds": [{"os": "linux", "architecture": "x86_64", "url": "game/package.json", "assetsurl": "game/assets.json"}]})"));
    m_pServer->setBody(QStringLiteral("/launcher/wexmetadata.json"), Config);
    m_pServer->setBody(QStringLiteral("/launcher/self/package.json"), R"({"version": "0.0.9", "files": []})");
    m_pServer->setBody(QStringLiteral("/launcher/game/package.json"), R"({"version": "7", "files": []})");
    m_pServer->setBody(QStringLiteral("/launcher/game/assets.json"), R"({"version": 2, "files": []})");
    auto pFixture = makeFixture();
    pFixture->m_pHandler->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pPackagesDone->size(), 1, 5000);
    QCOMPARE(pFixture->m_pLoaded->size(), 1);
    QVERIFY(!pFixture->m_pHandler->isLocalCopy());
    QCOMPARE(pFixture->m_pHelper->readFile(pFixture->m_pHandler->cacheFilePath()), Config); // byte for byte

    const auto pConfiguration = pFixture->m_pHandler->getConfiguration();
    QCOMPARE(pConfiguration->getLauncherPackage()->currentConfiguration()->m_Version, QStringLiteral("0.0.9"));
    const auto Offered = pConfiguration->getPackagesForThisMachine();
    QCOMPARE(Offered.size(), std::size_t(1));
    QCOMPARE(Offered.front()->currentConfiguration()->versionLabel(), QStringLiteral("P7 A2"));
    QCOMPARE(Offered.front()->currentConfiguration()->m_BaseUrl, m_pServer->url(QStringLiteral("/launcher/game/")));

    // a configuration that arrives again later is not taken (the timer no longer runs)
    pFixture->m_pPool->download(m_pServer->url(QStringLiteral("/launcher/wexmetadata.json")));
    QTest::qWait(300);
    QCOMPARE(pFixture->m_pLoaded->size(), 1);
}

void TestConfigurationHandler::silentServerFallsBackToCache()
{
    // an installed package with its markers; the cache from an earlier run
    const QByteArray Config = configuration(QStringLiteral(R"({"name": "Game", "directoryname": "game",
        "builds": [{"os": "linux", "architecture": "x86_64", "url": "game/package.json"}]})"));
    {
        auto pFixture = makeFixture();
        pFixture->m_pHelper->writeFileWithDirectory(pFixture->m_pHandler->cacheFilePath(), Config);
        const QDir Game(pFixture->m_pHelper->getPackagesDirectory().filePath(QStringLiteral("game")));
        pFixture->m_pHelper->writeFileWithDirectory(Game.filePath(QStringLiteral("package.json")), R"({"version": "6", "files": []})");
    }
    TBehaviour Late;
    Late.m_DelayBeforeHeadersMs = 1500;
    m_pServer->setBody(QStringLiteral("/launcher/wexmetadata.json"), configuration(QString()));
    m_pServer->setBehaviour(QStringLiteral("/launcher/wexmetadata.json"), Late);

    auto pFixture = makeFixture();
    pFixture->m_pHandler->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pLoaded->size(), 1, 5000);
    QVERIFY(pFixture->m_pHandler->isLocalCopy());
    QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pPackagesDone->size(), 1, 5000);
    const auto Offered = pFixture->m_pHandler->getConfiguration()->getPackagesForThisMachine();
    QCOMPARE(Offered.size(), std::size_t(1)); // read from the installed marker (no assets document needed)
    QCOMPARE(Offered.front()->currentConfiguration()->m_Version, QStringLiteral("6"));
    QVERIFY(!pFixture->m_pHandler->getConfiguration()->getLauncherPackage()->currentConfiguration()); // no self-update offline

    // the late configuration is ignored; nothing but it was asked of the server
    QVERIFY(m_pServer->waitForFinishedResponses(1, 5000));
    QTest::qWait(200);
    QCOMPARE(pFixture->m_pLoaded->size(), 1);
    QCOMPARE(m_pServer->requestedPaths(), QStringList {QStringLiteral("/launcher/wexmetadata.json")});
    QCOMPARE(pFixture->m_pHandler->getConfiguration()->getRawDocument(), Config);
}

void TestConfigurationHandler::stalledDocuments()
{
    // The error timer is a minute here: what ends these transfers is the one-second
    // transfer time-out.
    TBehaviour Stall;
    Stall.m_PieceSize = 64;
    Stall.m_DelayBetweenPiecesMs = 3600 * 1000;

    // the configuration stalls half-way: the cached copy is used
    {
        const QByteArray Cached = configuration(QString());
        auto pFixture = makeFixture(QByteArray(), 60000, 1);
        pFixture->m_pHelper->writeFileWithDirectory(pFixture->m_pHandler->cacheFilePath(), Cached);
        m_pServer->setBody(QStringLiteral("/launcher/wexmetadata.json"), configuration(QString()) + QByteArray(1000, ' '));
        m_pServer->setBehaviour(QStringLiteral("/launcher/wexmetadata.json"), Stall);
        pFixture->m_pHandler->startDownload();
        QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pLoaded->size(), 1, 15000);
        QVERIFY(pFixture->m_pHandler->isLocalCopy());
        QCOMPARE(pFixture->m_pFailed->size(), 0);
    }
    // a package document stalls: that package is not offered, the rest goes on
    {
        m_pServer->clearBehaviour(QStringLiteral("/launcher/wexmetadata.json"));
        m_pServer->setBody(QStringLiteral("/launcher/wexmetadata.json"),
                           configuration(QStringLiteral(R"({"name": "Game", "directoryname": "game",
            "builds": [{"os": "linux", "architecture": "x86_64", "url": "game/package.json"}]})")));
        m_pServer->setBody(QStringLiteral("/launcher/self/package.json"), R"({"version": "0.0.9"})");
        m_pServer->setBody(QStringLiteral("/launcher/game/package.json"), R"({"version": "7", "files": []})" + QByteArray(1000, ' '));
        TBehaviour NoHeaders;
        NoHeaders.m_DelayBeforeHeadersMs = 3600 * 1000;
        m_pServer->setBehaviour(QStringLiteral("/launcher/game/package.json"), NoHeaders);
        auto pFixture = makeFixture(QByteArray(), 60000, 1);
        pFixture->m_pHandler->startDownload();
        QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pPackagesDone->size(), 1, 15000);
        QVERIFY(!pFixture->m_pHandler->isLocalCopy());
        QVERIFY(pFixture->m_pHandler->getConfiguration()->getPackagesForThisMachine().empty());
        QVERIFY(pFixture->m_pHandler->getConfiguration()->getLauncherPackage()->currentConfiguration());
    }
}

void TestConfigurationHandler::maintenanceAndBadDocuments()
{
    for (int Status : {403, 404}) {
        auto pFixture = makeFixture();
        pFixture->m_pHelper->writeFileWithDirectory(pFixture->m_pHandler->cacheFilePath(), configuration(QString()));
        TBehaviour Denied;
        Denied.m_Status = Status;
        m_pServer->setBehaviour(QStringLiteral("/launcher/wexmetadata.json"), Denied);
        pFixture->m_pHandler->startDownload();
        QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pFailed->size(), 1, 5000);
        QTest::qWait(900); // past the error time-out: the cache is never taken
        QCOMPARE(pFixture->m_pLoaded->size(), 0);
        QCOMPARE(pFixture->m_pFailed->size(), 1);
    }
    // invalid JSON from the server, and an empty body
    for (const QByteArray& Body : {QByteArray("{\"packages\": ["), QByteArray("")}) {
        auto pFixture = makeFixture();
        QFile::remove(pFixture->m_pHandler->cacheFilePath());
        TBehaviour Served;
        Served.m_Body = Body.isEmpty() ? QByteArray("", 0) : Body;
        m_pServer->setBehaviour(QStringLiteral("/launcher/wexmetadata.json"), Served);
        pFixture->m_pHandler->startDownload();
        QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pFailed->size(), 1, 5000);
        QCOMPARE(pFixture->m_pLoaded->size(), 0);
        QVERIFY(!QFile::exists(pFixture->m_pHandler->cacheFilePath()));
    }
}

void TestConfigurationHandler::refusedConfigurationFallsBackToCache_data()
{
    QTest::addColumn<QByteArray>("Body");
    const QByteArray Whole = configuration(QStringLiteral(R"({"name": "Game", "directoryname": "game"})"));
    QTest::newRow("cut short") << Whole.left(Whole.size() - 20);
    QTest::newRow("not an object") << QByteArray(R"(["game"])");
    QTest::newRow("directory climbing out") << configuration(QStringLiteral(R"({"name": "Game", "directoryname": ".."})"));
    QTest::newRow("packages of the wrong type") << QByteArray(R"({"packages": "game"})");
}

void TestConfigurationHandler::refusedConfigurationFallsBackToCache()
{
    // a document cut or replaced on the way is a failed download: the cached copy is used
    // and stays as it was
    QFETCH(QByteArray, Body);
    const QByteArray Cached = configuration(QStringLiteral(R"({"name": "Cached", "directoryname": "cached"})"));
    auto pFixture = makeFixture();
    pFixture->m_pHelper->writeFileWithDirectory(pFixture->m_pHandler->cacheFilePath(), Cached);
    m_pServer->setBody(QStringLiteral("/launcher/wexmetadata.json"), Body);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Launcher configuration refused, using the cached copy: ")));
    pFixture->m_pHandler->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pLoaded->size(), 1, 5000);
    QVERIFY(pFixture->m_pHandler->isLocalCopy());
    QCOMPARE(pFixture->m_pHandler->getConfiguration()->getPackages().front()->m_Name, QStringLiteral("Cached"));
    QCOMPARE(pFixture->m_pFailed->size(), 0);
    QCOMPARE(pFixture->m_pDiskFailed->size(), 0);
    QCOMPARE(pFixture->m_pHelper->readFile(pFixture->m_pHandler->cacheFilePath()), Cached);
}

void TestConfigurationHandler::serverGoneAndNoCacheFails()
{
    auto pFixture = makeFixture();
    m_pServer.reset(); // connection refused
    pFixture->m_pHandler->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pFailed->size(), 1, 5000);
    QCOMPARE(pFixture->m_pLoaded->size(), 0);
}

void TestConfigurationHandler::cacheThatIsNotJsonIsAFileError()
{
    auto pFixture = makeFixture();
    pFixture->m_pHelper->writeFileWithDirectory(pFixture->m_pHandler->cacheFilePath(), "{ not json");
    TBehaviour Broken;
    Broken.m_Status = 500;
    m_pServer->setBehaviour(QStringLiteral("/launcher/wexmetadata.json"), Broken);
    pFixture->m_pHandler->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pDiskFailed->size(), 1, 5000);
    QCOMPARE(pFixture->m_pLoaded->size(), 0);
    QCOMPARE(pFixture->m_pFailed->size(), 0);
}

void TestConfigurationHandler::unwritableCacheIsReportedAndConfigurationUsed()
{
    auto pFixture = makeFixture();
    QFile::remove(pFixture->m_pHandler->cacheFilePath());
    QVERIFY(QDir().mkpath(pFixture->m_pHandler->cacheFilePath() + QStringLiteral("/blocker")));
    m_pServer->setBody(QStringLiteral("/launcher/wexmetadata.json"), "{}");
    pFixture->m_pHandler->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pLoaded->size(), 1, 5000);
    QCOMPARE(pFixture->m_pDiskFailed->size(), 1);
    QVERIFY(pFixture->m_pDiskFailed->first().at(0).toString().contains(QStringLiteral("launchermetadata.json")));
}

void TestConfigurationHandler::sharedAndMissingDocuments()
{
    const QByteArray Config = configuration(QStringLiteral(R"(
        {"name": "A", "directoryname": "a", "builds": [{"os": "linux", "architecture": "x86_64", "url": "shared/package.json"}]},
        {"name": "B", "directoryname": "b", "builds": [{"os": "linux", "architecture": "x86_64", "url": "shared/package.json"}]},
        {"name": "C", "directoryname": "c", "builds": [{"os": "linux", "architecture": "x86_64", "url": "c/package.json", "assetsurl": "c/missing.json"}]},
        {"name": "D", "directoryname": "d", "builds": [{"os": "linux", "architecture": "x86_64", "url": "missing/package.json"},
                                                        {"os": "linux", "architecture": "x86_64", "url": "never.json"}]},
        {"name": "E", "directoryname": "e", "builds": [{"os": "linux", "architecture": "x86_64", "url": "missing/package.json"}]})"));
    m_pServer->setBody(QStringLiteral("/launcher/wexmetadata.json"), Config);
    m_pServer->setBody(QStringLiteral("/launcher/self/package.json"), "{}");
    m_pServer->setBody(QStringLiteral("/launcher/shared/package.json"), R"({"version": "s", "files": []})");
    m_pServer->setBody(QStringLiteral("/launcher/c/package.json"), R"({"version": "c", "files": []})");
    auto pFixture = makeFixture();
    pFixture->m_pHandler->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pPackagesDone->size(), 1, 5000);
    QTest::qWait(100);
    QCOMPARE(pFixture->m_pPackagesDone->size(), 1);
    QCOMPARE(m_pServer->requestCount(QStringLiteral("/launcher/shared/package.json")), 1);
    QCOMPARE(m_pServer->requestCount(QStringLiteral("/launcher/never.json")), 0); // only the first matching build
    QStringList Offered;
    for (const auto& pPackage : pFixture->m_pHandler->getConfiguration()->getPackagesForThisMachine()) {
        Offered << pPackage->m_Name;
    }
    QCOMPARE(Offered, (QStringList {"A", "B"})); // C lacks its assets, D and E share a failing document
}

void TestConfigurationHandler::nocacheDecoration()
{
    const QByteArray Config = configuration(QStringLiteral(R"({"name": "A", "directoryname": "a",
        "builds": [{"os": "linux", "architecture": "x86_64", "url": "a/package.json", "assetsurl": "a/assets.json"}]})"));
    m_pServer->setBody(QStringLiteral("/launcher/wexmetadata.json"), Config);
    m_pServer->setBody(QStringLiteral("/launcher/self/package.json"), "{}");
    m_pServer->setBody(QStringLiteral("/launcher/a/package.json"), "{}");
    m_pServer->setBody(QStringLiteral("/launcher/a/assets.json"), "{}");
    QStringList Values;
    for (int Run = 0; Run < 2; ++Run) {
        m_pServer->resetCounters();
        auto pFixture = makeFixture("appendNocacheToPackageUrls=true");
        pFixture->m_pHandler->startDownload();
        QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pPackagesDone->size(), 1, 5000);
        QCOMPARE(pFixture->m_pHandler->getConfiguration()->getPackagesForThisMachine().size(), std::size_t(1));
        for (const QString& Target : m_pServer->requestedPaths()) {
            const QUrl Url(Target);
            if (Url.path() == QLatin1String("/launcher/wexmetadata.json")) {
                QVERIFY(!Url.hasQuery()); // never decorated
                continue;
            }
            const QString Value = QUrlQuery(Url).queryItemValue(QStringLiteral("nocache"));
            QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9]{32}$")).match(Value).hasMatch(), qPrintable(Target));
            if (Url.path() == QLatin1String("/launcher/a/package.json")) {
                Values << Value;
            }
        }
    }
    QCOMPARE(Values.size(), 2);
    QVERIFY(Values[0] != Values[1]);
}

void TestConfigurationHandler::hints()
{
    m_pServer->setBody(QStringLiteral("/launcher/wexmetadata.json"),
                       R"({"hints": ")" + m_pServer->url(QStringLiteral("/hints.json")).toEncoded() + R"("})");
    m_pServer->setBody(QStringLiteral("/hints.json"), R"([{"title": "News", "richText": "Patch notes", "category": "cat1"}])");
    auto pFixture = makeFixture();
    int Hint = 0;
    connect(pFixture->m_pHandler.get(), &TLauncherConfigurationHandler::hintAreaDataReceived, this, [&Hint] { ++Hint; });
    QSignalSpy AllHints(pFixture->m_pHandler.get(), &TLauncherConfigurationHandler::hintsAreaDataReceived);
    pFixture->m_pHandler->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(pFixture->m_pLoaded->size(), 1, 5000);
    pFixture->m_pPool->download(pFixture->m_pHandler->getConfiguration()->getHintsUrl());
    QTRY_COMPARE_WITH_TIMEOUT(AllHints.size(), 1, 5000);
    QCOMPARE(Hint, 1);
    QCOMPARE(pFixture->m_pHandler->getCurrentHint().m_Title, QStringLiteral("News"));
    QCOMPARE(pFixture->m_pHandler->getHints().size(), std::size_t(1));
}

QTEST_GUILESS_MAIN(TestConfigurationHandler)
#include "tst_confighandler.moc"
