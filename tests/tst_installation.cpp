#include "TestEnvironment.h"

#include "PackTool.h"
#include "ServedPackages.h"
#include "support/LoopbackHttpServer.h"

#include "Sha256.h"
#include "TInstallationManager.h"

#include <QDirIterator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace zarvo::launcher;
using namespace testsupport;

namespace {

// Counts a signal whose argument (a job, not copyable) a signal spy cannot store.
template<typename TSignal> std::shared_ptr<int> counter(TInstallationManager& Manager, TSignal Signal)
{
    auto pCount = std::make_shared<int>(0);
    QObject::connect(&Manager, Signal, &Manager, [pCount] { ++*pCount; });
    return pCount;
}

// The distinct chunk URLs a package document names (chunks and packed file forms).
QSet<QString> chunkPaths(const QByteArray& Document)
{
    QSet<QString> Paths;
    const QJsonObject Root = QJsonDocument::fromJson(Document).object();
    for (const QJsonValue& Chunk : Root.value(QStringLiteral("chunks")).toArray()) {
        Paths << Chunk.toObject().value(QStringLiteral("url")).toString();
    }
    return Paths;
}

QMap<QByteArray, QString> chunkUrlsByHash(const QByteArray& Document)
{
    QMap<QByteArray, QString> Urls;
    for (const QJsonValue& Chunk : QJsonDocument::fromJson(Document).object().value(QStringLiteral("chunks")).toArray()) {
        Urls.insert(Chunk.toObject().value(QStringLiteral("unpackedhash")).toString().toLatin1().toLower(),
                    Chunk.toObject().value(QStringLiteral("url")).toString());
    }
    return Urls;
}

bool waitFor(const std::function<bool()>& Condition, int TimeoutMs = 60000)
{
    QElapsedTimer Timer;
    Timer.start();
    while (!Condition() && Timer.elapsed() < TimeoutMs) {
        QTest::qWait(20);
    }
    return Condition();
}

} // namespace

class TestInstallation : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void freshInstallThenUpdate();
    void failuresAndVerification();
    void concurrentRequests();
    void finerChunksFetchOnlyNewContent();
    void changedCuttingUpdatesCorrectly();

private:
    // Installs Version into the directory of Directory (fresh or as an update) and returns
    // the chunk paths requested, each with the packed size the document gives it.
    QMap<QString, quint64> installAndListFetched(const QString& Version, const QString& Directory, ELocalPackageStatus ExpectedBefore);
    // Every file of the tree is in the last installation with the same bytes.
    void compareWithTree(const QString& Tree);
    std::shared_ptr<TLauncherConfigurationReader> configuration(const QStringList& Versions);
    std::shared_ptr<TLauncherFilesystemHelper> helper(bool SkipVerification);
    bool installAndWait(TInstallationManager& Manager, const std::shared_ptr<TPackage>& pPackage, bool Verify = false);

    QTemporaryDir m_Work;
    QString m_Served;
    QDir m_LastInstallation;
    std::unique_ptr<TLoopbackHttpServer> m_pServer;
};

void TestInstallation::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Halvern GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("Torvane Online"));
    m_Served = m_Work.filePath(QStringLiteral("served"));
    m_pServer = std::make_unique<TLoopbackHttpServer>();
    QDir().mkpath(m_Served);
    m_pServer->serveDirectory(m_Served);

    // version 1: a large file in several chunks, small files, an executable, a sub-directory
    const QString V1 = m_Work.filePath(QStringLiteral("tree1"));
    const QByteArray Big = randomBytes(30 * 1000 * 1000, 1);
    writeTreeFile(V1, QStringLiteral("data/big.pak"), Big);
    writeTreeFile(V1, QStringLiteral("bin/game"), "#!/bin/sh\necho game\n", true);
    writeTreeFile(V1, QStringLiteral("readme.txt"), "Torvane Online, version 1\n");
    writeTreeFile(V1, QStringLiteral("obsolete.dat"), randomBytes(5000, 2));
    writeTreeFile(V1, QStringLiteral("empty.cfg"), QByteArray());
    QVERIFY(packTree(V1, m_Served + QStringLiteral("/v1"),
                     {QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--executable"), QStringLiteral("bin/game"),
                      QStringLiteral("--parameter"), QStringLiteral("-fast")}));

    // version 2: data inserted near the start of the large file and a piece moved to its
    // end, a file added, one removed, one changed
    const QString V2 = m_Work.filePath(QStringLiteral("tree2"));
    const QByteArray Moved = Big.mid(12000000, 3000000);
    QByteArray Big2 = QByteArray("inserted near the start") + Big.left(12000000) + Big.mid(15000000) + Moved;
    writeTreeFile(V2, QStringLiteral("data/big.pak"), Big2);
    writeTreeFile(V2, QStringLiteral("bin/game"), "#!/bin/sh\necho game\n", true);
    writeTreeFile(V2, QStringLiteral("readme.txt"), "Torvane Online, version 2\n");
    writeTreeFile(V2, QStringLiteral("maps/new.map"), randomBytes(7000, 3));
    writeTreeFile(V2, QStringLiteral("empty.cfg"), QByteArray());
    QVERIFY(packTree(V2, m_Served + QStringLiteral("/v2"),
                     {QStringLiteral("--version"), QStringLiteral("2"), QStringLiteral("--executable"), QStringLiteral("bin/game")}));
}

std::shared_ptr<TLauncherFilesystemHelper> TestInstallation::helper(bool SkipVerification)
{
    const QString Path = m_Work.filePath(SkipVerification ? QStringLiteral("skip.ini") : QStringLiteral("verify.ini"));
    QFile File(Path);
    File.open(QIODevice::WriteOnly | QIODevice::Truncate);
    File.write(QByteArray("[DIRECTORIES]\npackages=packages\n[FILES]\npackageFile=package.json\npartialPackageFile=partial-package.json\n"
                          "assetFile=assets.json\n[OPTIONS]\nmaxConcurrentDownloads=4\nskipVerification=") +
               (SkipVerification ? "true" : "false") + "\n");
    File.close();
    return std::make_shared<TLauncherFilesystemHelper>(Path);
}

// One package per version directory, each with its own installation directory.
std::shared_ptr<TLauncherConfigurationReader> TestInstallation::configuration(const QStringList& Versions)
{
    QJsonArray Packages;
    for (const QString& Version : Versions) {
        Packages.append(servedPackage("Game " + Version, "game-" + Version.left(2), Version + "/package.json"));
    }
    return configurationOfServedPackages(Packages, m_pServer->url(QStringLiteral("/")), m_Served);
}

bool TestInstallation::installAndWait(TInstallationManager& Manager, const std::shared_ptr<TPackage>& pPackage, bool Verify)
{
    const auto pFinished = counter(Manager, &TInstallationManager::installationOrUpdateFinished);
    if (Verify) {
        Manager.verifyPackage(pPackage);
    } else {
        Manager.installOrUpdatePackage(pPackage);
    }
    return waitFor([pFinished] { return *pFinished > 0; });
}

void TestInstallation::freshInstallThenUpdate()
{
    auto pHelper = helper(false);
    // fresh install of version 1
    {
        auto pConfiguration = configuration({QStringLiteral("v1")});
        auto pPackage = pConfiguration->getPackages().front();
        TInstallationManager Manager(pConfiguration, pHelper);
        QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::NotInstalled);
        const auto pStarted = counter(Manager, &TInstallationManager::installationOrUpdateStarted);
        m_pServer->resetCounters();
        QVERIFY(installAndWait(Manager, pPackage));
        QCOMPARE(*pStarted, 1);
        QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::Installed);
        QVERIFY(pPackage->m_IsUpToDate);

        const QDir Installation = Manager.installationDirectory(*pPackage);
        const QString Tree = m_Work.filePath(QStringLiteral("tree1"));
        for (const QString& File : treeFiles(Tree)) {
            QVERIFY2(readTreeFile(Installation.filePath(File)) == readTreeFile(Tree + QLatin1Char('/') + File), qPrintable(File));
        }
        QVERIFY(QFileInfo(Installation.filePath(QStringLiteral("bin/game"))).isExecutable());
        const QByteArray Served = readTreeFile(m_Served + QStringLiteral("/v1/package.json"));
        QCOMPARE(readTreeFile(Installation.filePath(QStringLiteral("package.json"))), Served);
        QVERIFY(!QFile::exists(Installation.filePath(QStringLiteral("partial-package.json"))));
        // one request per distinct chunk
        QSet<QString> Requested;
        for (auto Entry = m_pServer->requestCounts().cbegin(); Entry != m_pServer->requestCounts().cend(); ++Entry) {
            if (Entry.key().startsWith(QLatin1String("/v1/chunks/"))) {
                QCOMPARE(Entry.value(), 1);
                Requested << Entry.key().mid(4);
            }
        }
        QCOMPARE(Requested, chunkPaths(Served));
    }
    // update to version 2 in the same directory
    {
        auto pConfiguration = configuration({QStringLiteral("v2")});
        auto pPackage = pConfiguration->getPackages().front();
        pPackage->m_DirectoryName = QStringLiteral("game-v1");
        TInstallationManager Manager(pConfiguration, pHelper);
        QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::UpdateRequired);
        m_pServer->resetCounters();
        QVERIFY(installAndWait(Manager, pPackage));
        QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::Installed);

        const QDir Installation = Manager.installationDirectory(*pPackage);
        const QString Tree = m_Work.filePath(QStringLiteral("tree2"));
        for (const QString& File : treeFiles(Tree)) {
            QVERIFY2(readTreeFile(Installation.filePath(File)) == readTreeFile(Tree + QLatin1Char('/') + File), qPrintable(File));
        }
        QVERIFY(!QFile::exists(Installation.filePath(QStringLiteral("obsolete.dat"))));

        // exactly the chunks whose content is new were fetched
        const QMap<QByteArray, QString> Old = chunkUrlsByHash(readTreeFile(m_Served + QStringLiteral("/v1/package.json")));
        const QMap<QByteArray, QString> New = chunkUrlsByHash(readTreeFile(m_Served + QStringLiteral("/v2/package.json")));
        QSet<QString> Expected;
        for (auto Entry = New.cbegin(); Entry != New.cend(); ++Entry) {
            if (!Old.contains(Entry.key())) {
                Expected << QStringLiteral("/v2/") + Entry.value();
            }
        }
        QSet<QString> Requested;
        for (const QString& Path : m_pServer->requestedPaths()) {
            if (Path.startsWith(QLatin1String("/v2/chunks/"))) {
                Requested << Path;
            }
        }
        qInfo() << "update fetched" << Requested.size() << "of" << New.size() << "chunks";
        QCOMPARE(Requested, Expected);
        QVERIFY(Requested.size() < New.size());
    }
}

void TestInstallation::failuresAndVerification()
{
    // a chunk that is gone from the server
    const QString V3 = m_Work.filePath(QStringLiteral("tree3"));
    writeTreeFile(V3, QStringLiteral("a.bin"), randomBytes(9000, 30));
    writeTreeFile(V3, QStringLiteral("b.bin"), randomBytes(9000, 31));
    QVERIFY(packTree(V3, m_Served + QStringLiteral("/v3"), {QStringLiteral("--version"), QStringLiteral("3")}));
    const QString Missing =
        m_Served + QStringLiteral("/v3/") + *chunkPaths(readTreeFile(m_Served + QStringLiteral("/v3/package.json"))).begin();
    QVERIFY(QFile::rename(Missing, Missing + QStringLiteral(".away")));

    auto pHelper = helper(false);
    auto pConfiguration = configuration({QStringLiteral("v3")});
    auto pPackage = pConfiguration->getPackages().front();
    TInstallationManager Manager(pConfiguration, pHelper);
    const auto pFinished = counter(Manager, &TInstallationManager::installationOrUpdateFinished);
    Manager.installOrUpdatePackage(pPackage);
    QVERIFY(waitFor([pFinished] { return *pFinished > 0; }));
    QCOMPARE(Manager.installationsInProgress().size(), std::size_t(0));
    QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::PartiallyInstalled);
    const QDir Installation = Manager.installationDirectory(*pPackage);
    QVERIFY(!QFile::exists(Installation.filePath(QStringLiteral("package.json"))));

    // the chunk is back: the next installation completes
    QVERIFY(QFile::rename(Missing + QStringLiteral(".away"), Missing));
    QVERIFY(installAndWait(Manager, pPackage));
    QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::Installed);

    // a file altered after the installation: the verification asked for fails (reason 3)
    QFile Altered(Installation.filePath(QStringLiteral("a.bin")));
    QVERIFY(Altered.open(QIODevice::ReadWrite));
    Altered.seek(100);
    Altered.write("X");
    Altered.close();
    pPackage->m_IsUpToDate = false;
    const auto pVerified = counter(Manager, &TInstallationManager::installationOrUpdateFinished);
    int Reason = -1;
    connect(&Manager, &TInstallationManager::installationOrUpdateFinished, this,
            [&Reason](const TPackageInstallation& Job) { Reason = int(Job.errorReason()); });
    Manager.verifyPackage(pPackage);
    QVERIFY(waitFor([pVerified] { return *pVerified > 0; }));
    QCOMPARE(Reason, 3);
    QVERIFY(pPackage->m_IsUpToDate);
    QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::PartiallyInstalled);

    // repaired by an update; a verification asked for runs even when skipped after downloads
    QVERIFY(installAndWait(Manager, pPackage));
    QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::Installed);
    TInstallationManager Skipping(pConfiguration, helper(true));
    QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::Installed);
    Reason = -1;
    connect(&Skipping, &TInstallationManager::installationOrUpdateFinished, this,
            [&Reason](const TPackageInstallation& Job) { Reason = int(Job.errorReason()); });
    const QByteArray Good = readTreeFile(Installation.filePath(QStringLiteral("b.bin")));
    writeTreeFile(Installation.path(), QStringLiteral("b.bin"), QByteArray("tampered"));
    QVERIFY(installAndWait(Skipping, pPackage, true));
    QCOMPARE(Reason, 3); // it really ran
    writeTreeFile(Installation.path(), QStringLiteral("b.bin"), Good);
    QVERIFY(installAndWait(Skipping, pPackage, true));
    QCOMPARE(Reason, 0);
    QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::Installed);
    QCOMPARE(readTreeFile(Installation.filePath(QStringLiteral("package.json"))),
             readTreeFile(m_Served + QStringLiteral("/v3/package.json")));
    QVERIFY(!QFile::exists(Installation.filePath(QStringLiteral("partial-package.json"))));
}

void TestInstallation::concurrentRequests()
{
    auto pConfiguration = configuration({QStringLiteral("v1"), QStringLiteral("v3")});
    pConfiguration->getPackages()[0]->m_DirectoryName = QStringLiteral("twin-a");
    pConfiguration->getPackages()[1]->m_DirectoryName = QStringLiteral("twin-b");
    TInstallationManager Manager(pConfiguration, helper(true));
    const auto pStarted = counter(Manager, &TInstallationManager::installationOrUpdateStarted);
    QSignalSpy AllFinished(&Manager, &TInstallationManager::allStartedUpdatesFinished);
    const auto pFinished = counter(Manager, &TInstallationManager::installationOrUpdateFinished);
    Manager.installOrUpdatePackage(pConfiguration->getPackages()[0]);
    Manager.installOrUpdatePackage(pConfiguration->getPackages()[0]); // a second click: one job
    Manager.installOrUpdatePackage(pConfiguration->getPackages()[1]);
    QCOMPARE(*pStarted, 2);
    QTRY_COMPARE_WITH_TIMEOUT(*pFinished, 2, 60000);
    QTest::qWait(100);
    QCOMPARE(AllFinished.size(), 1);
    for (const auto& pPackage : pConfiguration->getPackages()) {
        QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::Installed);
    }
}

QMap<QString, quint64> TestInstallation::installAndListFetched(const QString& Version, const QString& Directory,
                                                               ELocalPackageStatus ExpectedBefore)
{
    auto pConfiguration = configuration({Version});
    auto pPackage = pConfiguration->getPackages().front();
    pPackage->m_DirectoryName = Directory;
    TInstallationManager Manager(pConfiguration, helper(false));
    QMap<QString, quint64> Fetched;
    [&] {
        QCOMPARE(pPackage->localPackageStatus(), ExpectedBefore);
        m_pServer->resetCounters();
        QVERIFY(installAndWait(Manager, pPackage));
        QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::Installed);
    }();
    m_LastInstallation = Manager.installationDirectory(*pPackage);
    QMap<QString, quint64> PackedSizes;
    const QJsonObject Root = QJsonDocument::fromJson(readTreeFile(m_Served + '/' + Version + QStringLiteral("/package.json"))).object();
    for (const QJsonValue& Chunk : Root.value(QStringLiteral("chunks")).toArray()) {
        PackedSizes.insert('/' + Version + '/' + Chunk.toObject().value(QStringLiteral("url")).toString(),
                           quint64(Chunk.toObject().value(QStringLiteral("packedsize")).toDouble()));
    }
    for (auto Entry = m_pServer->requestCounts().cbegin(); Entry != m_pServer->requestCounts().cend(); ++Entry) {
        if (Entry.key().startsWith('/' + Version + QStringLiteral("/chunks/"))) {
            Fetched.insert(Entry.key(), PackedSizes.value(Entry.key()));
        }
    }
    return Fetched;
}

void TestInstallation::compareWithTree(const QString& Tree)
{
    const QString Source = m_Work.filePath(Tree);
    for (const QString& File : treeFiles(Source)) {
        QVERIFY2(readTreeFile(m_LastInstallation.filePath(File)) == readTreeFile(Source + '/' + File), qPrintable(File));
    }
}

void TestInstallation::finerChunksFetchOnlyNewContent()
{
    // 64K chunks: a 100 KB insertion near the start of a 20 MB file costs about the new
    // bytes, not a 4-16 MiB chunk
    const QByteArray Big = randomBytes(20 * 1000 * 1000, 40);
    const QString V1 = m_Work.filePath(QStringLiteral("fine1"));
    writeTreeFile(V1, QStringLiteral("data/world.pak"), Big);
    writeTreeFile(V1, QStringLiteral("readme.txt"), "fine, version 1\n");
    const QString V2 = m_Work.filePath(QStringLiteral("fine2"));
    const QByteArray Inserted = randomBytes(100 * 1000, 41);
    writeTreeFile(V2, QStringLiteral("data/world.pak"), Big.left(300000) + Inserted + Big.mid(300000));
    writeTreeFile(V2, QStringLiteral("readme.txt"), "fine, version 1\n");
    for (const QString& Version : {QStringLiteral("f1"), QStringLiteral("f2")}) {
        QVERIFY(packTree(Version == QLatin1String("f1") ? V1 : V2, m_Served + '/' + Version,
                         {QStringLiteral("--version"), Version, QStringLiteral("--codec"), QStringLiteral("3"),
                          QStringLiteral("--chunk-size"), QStringLiteral("64K")}));
    }

    const QMap<QString, quint64> Fresh =
        installAndListFetched(QStringLiteral("f1"), QStringLiteral("fine"), ELocalPackageStatus::NotInstalled);
    compareWithTree(QStringLiteral("fine1"));
    QCOMPARE(Fresh.size(), chunkPaths(readTreeFile(m_Served + QStringLiteral("/f1/package.json"))).size());
    QVERIFY2(Fresh.size() > 150, qPrintable(QString::number(Fresh.size()))); // about 20 MB / 64 KiB

    const QMap<QString, quint64> Update =
        installAndListFetched(QStringLiteral("f2"), QStringLiteral("fine"), ELocalPackageStatus::UpdateRequired);
    compareWithTree(QStringLiteral("fine2"));
    const QMap<QByteArray, QString> Old = chunkUrlsByHash(readTreeFile(m_Served + QStringLiteral("/f1/package.json")));
    const QMap<QByteArray, QString> New = chunkUrlsByHash(readTreeFile(m_Served + QStringLiteral("/f2/package.json")));
    QSet<QString> Expected;
    for (auto Entry = New.cbegin(); Entry != New.cend(); ++Entry) {
        if (!Old.contains(Entry.key())) {
            Expected << QStringLiteral("/f2/") + Entry.value();
        }
    }
    QCOMPARE(QSet<QString>(Update.keyBegin(), Update.keyEnd()), Expected);
    quint64 Bytes = 0;
    for (const quint64 Size : Update) {
        Bytes += Size;
    }
    qInfo() << "update fetched" << Update.size() << "chunks," << Bytes << "bytes";
    QVERIFY2(Bytes < 1000 * 1000, qPrintable(QString::number(Bytes)));
}

void TestInstallation::changedCuttingUpdatesCorrectly()
{
    // version 1 at the default cutting, version 2 at 256K: the installed document's chunk
    // list cannot stand in for the files, so they are read and cut the new way
    const QByteArray Big = randomBytes(20 * 1000 * 1000, 50);
    const QString V1 = m_Work.filePath(QStringLiteral("recut1"));
    writeTreeFile(V1, QStringLiteral("data/world.pak"), Big);
    writeTreeFile(V1, QStringLiteral("gone.txt"), "removed in version 2\n");
    const QString V2 = m_Work.filePath(QStringLiteral("recut2"));
    writeTreeFile(V2, QStringLiteral("data/world.pak"), Big.left(5000000) + QByteArray("a few new bytes") + Big.mid(5000000));
    writeTreeFile(V2, QStringLiteral("added.txt"), "new in version 2\n");
    QVERIFY(packTree(V1, m_Served + QStringLiteral("/r1"),
                     {QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--codec"), QStringLiteral("3")}));
    QVERIFY(packTree(V2, m_Served + QStringLiteral("/r2"),
                     {QStringLiteral("--version"), QStringLiteral("2"), QStringLiteral("--codec"), QStringLiteral("3"),
                      QStringLiteral("--chunk-size"), QStringLiteral("256K")}));

    installAndListFetched(QStringLiteral("r1"), QStringLiteral("recut"), ELocalPackageStatus::NotInstalled);
    compareWithTree(QStringLiteral("recut1"));
    // an update, so the fast scan is asked for (the setting is on by default)
    const QMap<QString, quint64> Update =
        installAndListFetched(QStringLiteral("r2"), QStringLiteral("recut"), ELocalPackageStatus::UpdateRequired);
    compareWithTree(QStringLiteral("recut2"));
    QVERIFY(!QFile::exists(m_LastInstallation.filePath(QStringLiteral("gone.txt"))));
    quint64 Bytes = 0;
    for (const quint64 Size : Update) {
        Bytes += Size;
    }
    // trusting version 1's 4-16 MiB chunks would have matched none of the new ones and
    // fetched the whole file again
    qInfo() << "update across cuttings fetched" << Update.size() << "chunks," << Bytes << "bytes";
    QVERIFY2(Bytes < 2 * 1000 * 1000, qPrintable(QString::number(Bytes)));
}

QTEST_GUILESS_MAIN(TestInstallation)
#include "tst_installation.moc"
