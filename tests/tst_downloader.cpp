#include "TestEnvironment.h"

#include "HostileZpaq.h"
#include "LzmaContainer.h"
#include "PackageBuilder.h"
#include "support/LoopbackHttpServer.h"

#include "TDownloadPool.h"
#include "TPackageFileDownloader.h"

#include <QDirIterator>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

using namespace zarvo::launcher;
using namespace testsupport;

namespace {

// A helper whose deleteFile always fails, as for a running executable on some systems.
class TUndeletableFilesHelper : public TLauncherFilesystemHelper {
public:
    using TLauncherFilesystemHelper::TLauncherFilesystemHelper;
    bool deleteFile(const QString& FilePath) override
    {
        throw std::runtime_error((QStringLiteral("Failed to delete file ") + FilePath).toStdString());
    }
};

QByteArray fileContent(const QString& Path)
{
    QFile File(Path);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray("<missing>");
}

int filesIn(const QString& Directory)
{
    return QDir(Directory).entryList(QDir::Files | QDir::Hidden | QDir::System).size();
}

TBehaviour delayed(int Milliseconds)
{
    TBehaviour Behaviour;
    Behaviour.m_DelayBeforeHeadersMs = Milliseconds;
    return Behaviour;
}

// The order in which a run writes its chunks (by URL path) and the most chunks it held
// parked in memory at once, sampled every IntervalMs.
struct TWriteWatch {
    TWriteWatch(TPackageFileDownloader& Downloader, int IntervalMs)
    {
        QObject::connect(
            &Downloader, &TPackageFileDownloader::writeProgress, &m_Timer, [this](const QUrl& Url) { m_Order << Url.path(); },
            Qt::QueuedConnection);
        QObject::connect(&m_Timer, &QTimer::timeout, &m_Timer,
                         [this, &Downloader] { m_PeakParked = qMax(m_PeakParked, Downloader.parkedInMemory()); });
        m_Timer.start(IntervalMs);
    }
    QStringList m_Order;
    int m_PeakParked = 0;
    QTimer m_Timer;
};

} // namespace

class TestDownloader : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void outOfOrderChunksAreParked();
    void parkingSpillsToTemporaryFiles();
    void largestFilesAreFetchedFirst();
    void chunksDecodedStraightIntoPlace_data();
    void chunksDecodedStraightIntoPlace();
    void sharedChunksAreFetchedOnce();
    void retriesAndFailures_data();
    void retriesAndFailures();
    void chunksBehindAMissingOneAreKept();
    void missingChunkFailsTheRunOnly();
    void faultyTransfersAreFetchedAgain_data();
    void faultyTransfersAreFetchedAgain();
    void chunkStallingEveryTimeFails();
    void savingFailures();
    void executableBitAndRenameMode();
    void progressTotals();

private:
    struct TRun {
        std::shared_ptr<shared::TDownloadPool> m_pPool;
        std::unique_ptr<TPackageFileDownloader> m_pDownloader;
        std::unique_ptr<QSignalSpy> m_pCompleted;
        std::unique_ptr<QSignalSpy> m_pFailed;
        std::unique_ptr<QSignalSpy> m_pProgress;
        int ends() const { return m_pCompleted->size() + m_pFailed->size(); }
        EPackageDownloaderError failure() const { return m_pFailed->first().at(0).value<EPackageDownloaderError>(); }
    };
    TRun start(const std::vector<TFileToDownload>& Files, const QByteArray& Settings = QByteArray(),
               std::shared_ptr<TLauncherFilesystemHelper> pHelper = nullptr, ESelfUpdateMode SelfUpdateMode = ESelfUpdateMode::Off);
    QString settingsFile(const QByteArray& Settings);

    std::unique_ptr<TLoopbackHttpServer> m_pServer;
    std::unique_ptr<QTemporaryDir> m_pInstallation;
    QTemporaryDir m_Scratch;
};

void TestDownloader::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Halvern GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("Torvane Online"));
}

void TestDownloader::init()
{
    m_pServer = std::make_unique<TLoopbackHttpServer>();
    m_pInstallation = std::make_unique<QTemporaryDir>();
}

QString TestDownloader::settingsFile(const QByteArray& Settings)
{
    static int Counter = 0;
    const QString Path = m_Scratch.filePath(QStringLiteral("settings%1.ini").arg(++Counter));
    QFile File(Path);
    File.open(QIODevice::WriteOnly);
    const QByteArray Concurrency = Settings.contains("maxConcurrentDownloads=") ? QByteArray() : QByteArray("maxConcurrentDownloads=10\n");
    File.write("[OPTIONS]\n" + Concurrency + Settings);
    return Path;
}

TestDownloader::TRun TestDownloader::start(const std::vector<TFileToDownload>& Files, const QByteArray& Settings,
                                           std::shared_ptr<TLauncherFilesystemHelper> pHelper, ESelfUpdateMode SelfUpdateMode)
{
    if (!pHelper) {
        pHelper = std::make_shared<TLauncherFilesystemHelper>(settingsFile(Settings));
    }
    TRun Run;
    auto pManager = std::make_shared<QNetworkAccessManager>();
    Run.m_pPool = std::make_shared<shared::TDownloadPool>(pHelper->getSettings()->m_MaxConcurrentDownloads,
                                                          std::make_shared<shared::QNetworkAccessManagerWrapper>(pManager), false);
    Run.m_pPool->setTransferTimeout(pHelper->getSettings()->transferTimeoutMs()); // as the installation job does
    Run.m_pDownloader = std::make_unique<TPackageFileDownloader>(Run.m_pPool, pHelper, m_pInstallation->path());
    Run.m_pCompleted = std::make_unique<QSignalSpy>(Run.m_pDownloader.get(), &TPackageFileDownloader::downloadCompleted);
    Run.m_pFailed = std::make_unique<QSignalSpy>(Run.m_pDownloader.get(), &TPackageFileDownloader::downloadFailed);
    Run.m_pProgress = std::make_unique<QSignalSpy>(Run.m_pDownloader.get(), &TPackageFileDownloader::progress);
    Run.m_pDownloader->startDownload(Files, QDir(m_pInstallation->path()), SelfUpdateMode);
    return Run;
}

void TestDownloader::outOfOrderChunksAreParked()
{
    const QByteArray Parts[3] = {patternBytes(70000, 1), patternBytes(50000, 2), patternBytes(30000, 3)};
    QVector<TServedChunk> Chunks;
    for (int Index = 0; Index < 3; ++Index) {
        const QString Path = QStringLiteral("/chunks/%1").arg(Index);
        Chunks << makeChunk(m_pServer->url(Path), Parts[Index]);
        m_pServer->setBody(Path, Chunks.last().m_Body);
    }
    // transfers finish in the order 3, 1, 2
    m_pServer->setBehaviour(QStringLiteral("/chunks/0"), delayed(300));
    m_pServer->setBehaviour(QStringLiteral("/chunks/1"), delayed(700));
    const QByteArray Content = Parts[0] + Parts[1] + Parts[2];

    TRun Run = start({makeFile(QStringLiteral("data/game.pak"), Chunks, Content)});
    const TWriteWatch Watch(*Run.m_pDownloader, 5);
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 10000);
    QCOMPARE(Run.m_pCompleted->size(), 1);
    QCOMPARE(fileContent(m_pInstallation->filePath(QStringLiteral("data/game.pak"))), Content);
    QCOMPARE(Watch.m_Order, (QStringList {"/chunks/0", "/chunks/1", "/chunks/2"}));
    QCOMPARE(Watch.m_PeakParked, 1); // chunk 3 waited in memory
    QCOMPARE(Run.m_pDownloader->parkedInMemory(), 0); // and was let go once written
    QTest::qWait(50);
    QCOMPARE(Run.ends(), 1);
}

void TestDownloader::parkingSpillsToTemporaryFiles()
{
    const QString Temporary = m_Scratch.filePath(QStringLiteral("tmp"));
    QDir().mkpath(Temporary);
    const QByteArray PreviousTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(Temporary));

    QVector<TServedChunk> Chunks;
    QByteArray Content;
    for (int Index = 0; Index < 4; ++Index) {
        const QByteArray Part = patternBytes(40000 + Index, 10 + Index);
        const QString Path = QStringLiteral("/c/%1").arg(Index);
        Chunks << makeChunk(m_pServer->url(Path), Part);
        m_pServer->setBody(Path, Chunks.last().m_Body);
        Content += Part;
    }
    m_pServer->setBehaviour(QStringLiteral("/c/0"), delayed(800)); // everything else arrives early
    TRun Run = start({makeFile(QStringLiteral("big.bin"), Chunks, Content)}, "maxCachedChunks=0\n");
    QTRY_COMPARE_WITH_TIMEOUT(m_pServer->finishedResponses(), 3, 5000);
    // the first parked chunk stays in memory, the next ones go to temporary files
    QTRY_COMPARE_WITH_TIMEOUT(filesIn(Temporary), 2, 5000);
    QCOMPARE(Run.m_pDownloader->parkedInMemory(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 10000);
    QCOMPARE(Run.m_pCompleted->size(), 1);
    QCOMPARE(fileContent(m_pInstallation->filePath(QStringLiteral("big.bin"))), Content);
    QCOMPARE(filesIn(Temporary), 0);
    qputenv("TMPDIR", PreviousTmp);
}

void TestDownloader::largestFilesAreFetchedFirst()
{
    // Largest files first, as many side by side as there are workers (two here), each
    // front to back, so that no chunk has to wait parked: small.bin comes first in the
    // document and mid.bin, the next largest, takes turns with big.bin; small.bin
    // follows once mid.bin is done.
    const int Workers = QThreadPool::globalInstance()->maxThreadCount();
    QThreadPool::globalInstance()->setMaxThreadCount(2);
    struct TFile {
        const char* m_Name;
        int m_Chunks;
        int m_Size;
        QVector<TServedChunk> m_Served;
        QByteArray m_Content;
    };
    TFile Files[] = {{"small", 1, 30000, {}, {}}, {"big", 4, 40000, {}, {}}, {"mid", 2, 35000, {}, {}}};
    std::vector<TFileToDownload> Requested;
    for (TFile& File : Files) {
        for (int Index = 0; Index < File.m_Chunks; ++Index) {
            const QByteArray Part = patternBytes(File.m_Size - Index, quint32(File.m_Size + Index));
            const QString Path = QStringLiteral("/%1/%2").arg(QLatin1String(File.m_Name)).arg(Index);
            File.m_Served << makeChunk(m_pServer->url(Path), Part);
            m_pServer->setBody(Path, File.m_Served.last().m_Body);
            File.m_Content += Part;
        }
        Requested.push_back(makeFile(QLatin1String(File.m_Name) + QStringLiteral(".bin"), File.m_Served, File.m_Content));
    }
    // one transfer at a time, so the requests show the order
    TRun Run = start(Requested, "maxConcurrentDownloads=1\nmaxCachedChunks=0\n");
    const TWriteWatch Watch(*Run.m_pDownloader, 1);
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 10000);
    QThreadPool::globalInstance()->setMaxThreadCount(Workers);
    QCOMPARE(Run.m_pCompleted->size(), 1);
    const QStringList Expected {"/big/0", "/mid/0", "/big/1", "/mid/1", "/big/2", "/small/0", "/big/3"};
    QCOMPARE(m_pServer->requestedPaths(), Expected);
    QTRY_COMPARE(Watch.m_Order, Expected);
    for (const TFile& File : Files) {
        QCOMPARE(fileContent(m_pInstallation->filePath(QLatin1String(File.m_Name) + QStringLiteral(".bin"))), File.m_Content);
    }
    QCOMPARE(Watch.m_PeakParked, 0);
}

void TestDownloader::chunksDecodedStraightIntoPlace_data()
{
    QTest::addColumn<QString>("Fault");
    QTest::addColumn<int>("FirstFetches");
    QTest::newRow("none") << QString() << 1;
    QTest::newRow("decodes to other bytes: fetched four times") << QStringLiteral("other bytes") << 4;
    QTest::newRow("stream breaks off: fetched once") << QStringLiteral("broken") << 1;
    // a container declaring less than the document's size for the chunk, whose digest is
    // that of what it holds: its place would be left partly as it was
    QTest::newRow("shorter than its place: fetched four times") << QStringLiteral("short") << 4;
}

void TestDownloader::chunksDecodedStraightIntoPlace()
{
    // LZMA chunks larger than a decoding piece. The first arrives last: the two behind it
    // wait parked, then it is decoded straight into its place and they follow it. When it
    // fails, the file holds the two behind it for the next run; its own place holds
    // whatever it decoded, which the next run fetches again.
    QFETCH(QString, Fault);
    QFETCH(int, FirstFetches);
    const QString Prefix = QStringLiteral("/lzma-%1/").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'));
    QVector<TServedChunk> Chunks;
    QByteArray Content;
    for (int Index = 0; Index < 3; ++Index) {
        const QByteArray Part = wordyBytes(700000 + 1000 * Index, quint32(50 + Index));
        TServedChunk Chunk = makeChunk(m_pServer->url(Prefix + QString::number(Index)), Part);
        Chunk.m_Body = lzmaContainer(Part);
        if (Index == 0 && Fault == QLatin1String("broken")) {
            Chunk.m_Body = containerBytes(5, quint64(Part.size()), lzmaPayload(Part).left(20000), 16);
        } else if (Index == 0 && Fault == QLatin1String("short")) {
            Chunk.m_Body = lzmaContainer(Part.left(Part.size() - 100));
            Chunk.m_Record.m_UnpackedHash = shared::TSha256::hash(Part.left(Part.size() - 100));
        }
        Chunk.m_Record.m_PackedSize = quint64(Chunk.m_Body.size());
        Chunk.m_Record.m_PackedHash = shared::TSha256::hash(Chunk.m_Body);
        if (Index == 0 && Fault == QLatin1String("other bytes")) {
            Chunk.m_Record.m_UnpackedHash = shared::TSha256::hash(Part + "!");
        }
        m_pServer->setBody(Prefix + QString::number(Index), Chunk.m_Body);
        Chunks << Chunk;
        Content += Part;
    }
    m_pServer->setBehaviour(Prefix + QStringLiteral("0"), delayed(400));
    TRun Run = start({makeFile(QStringLiteral("packed.bin"), Chunks, Content)});
    const TWriteWatch Watch(*Run.m_pDownloader, 5);
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 20000);
    QCOMPARE(m_pServer->requestCount(Prefix + QStringLiteral("0")), FirstFetches);
    const QByteArray Local = fileContent(m_pInstallation->filePath(QStringLiteral("packed.bin")));
    if (Fault.isEmpty()) {
        QCOMPARE(Run.m_pCompleted->size(), 1);
        QVERIFY(Local == Content);
        QCOMPARE(Watch.m_Order, (QStringList {Prefix + QStringLiteral("0"), Prefix + QStringLiteral("1"), Prefix + QStringLiteral("2")}));
        QCOMPARE(Watch.m_PeakParked, 2);
    } else {
        QCOMPARE(Run.failure(), EPackageDownloaderError::DownloadFailed);
        QCOMPARE(Local.size(), Content.size());
        QVERIFY(Local.mid(700000) == Content.mid(700000));
    }
    QCOMPARE(Run.m_pDownloader->parkedInMemory(), 0);
}

void TestDownloader::sharedChunksAreFetchedOnce()
{
    const QByteArray Common = patternBytes(30000, 20);
    const QByteArray Other = patternBytes(20000, 21);
    const TServedChunk CommonChunk = makeChunk(m_pServer->url(QStringLiteral("/common")), Common);
    const TServedChunk OtherChunk = makeChunk(m_pServer->url(QStringLiteral("/other")), Other);
    m_pServer->setBody(QStringLiteral("/common"), CommonChunk.m_Body);
    m_pServer->setBody(QStringLiteral("/other"), OtherChunk.m_Body);
    m_pServer->setBehaviour(QStringLiteral("/other"), delayed(300));

    // a.bin: common, other, common; b.bin: common; c.bin: stored as it is (no unpacking)
    const QByteArray Raw = patternBytes(5000, 22);
    const TServedChunk RawChunk = makeChunk(m_pServer->url(QStringLiteral("/raw")), Raw, true);
    m_pServer->setBody(QStringLiteral("/raw"), RawChunk.m_Body);
    TRun Run = start({makeFile(QStringLiteral("a.bin"), {CommonChunk, OtherChunk, CommonChunk}, Common + Other + Common),
                      makeFile(QStringLiteral("sub/b.bin"), {CommonChunk}, Common), makeFile(QStringLiteral("c.bin"), {RawChunk}, Raw)});
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 10000);
    QCOMPARE(Run.m_pCompleted->size(), 1);
    QCOMPARE(m_pServer->requestCount(QStringLiteral("/common")), 1);
    QCOMPARE(m_pServer->requestCount(QStringLiteral("/other")), 1);
    QCOMPARE(fileContent(m_pInstallation->filePath(QStringLiteral("a.bin"))), Common + Other + Common);
    QCOMPARE(fileContent(m_pInstallation->filePath(QStringLiteral("sub/b.bin"))), Common);
    QCOMPARE(fileContent(m_pInstallation->filePath(QStringLiteral("c.bin"))), Raw);
    QCOMPARE(Run.m_pDownloader->parkedInMemory(), 0);
}

void TestDownloader::retriesAndFailures_data()
{
    QTest::addColumn<QString>("Fault");
    QTest::addColumn<bool>("Succeeds");
    QTest::addColumn<int>("MinimumFetches");
    QTest::addColumn<int>("MaximumFetches");
    QTest::newRow("two resets, then the chunk arrives") << QStringLiteral("reset") << true << 3 << 4;
    QTest::newRow("corrupt on every fetch: four fetches") << QStringLiteral("corrupt") << false << 4 << 4;
    QTest::newRow("undecodable payload: one fetch") << QStringLiteral("undecodable") << false << 1 << 1;
    QTest::newRow("undecodable payload with its packed hash: one fetch") << QStringLiteral("undecodable-hashed") << false << 1 << 1;
}

void TestDownloader::retriesAndFailures()
{
    QFETCH(QString, Fault);
    QFETCH(bool, Succeeds);
    QFETCH(int, MinimumFetches);
    QFETCH(int, MaximumFetches);
    const QString Path = QStringLiteral("/") + Fault;
    const QByteArray Data = patternBytes(300000, 30);
    TServedChunk Chunk = makeChunk(m_pServer->url(Path), Data);
    if (Fault == QLatin1String("reset")) {
        TBehaviour Reset;
        Reset.m_ResetAfterBodyBytes = 200000;
        m_pServer->queueBehaviour(Path, Reset);
        m_pServer->queueBehaviour(Path, Reset);
    } else if (Fault == QLatin1String("corrupt")) {
        TBehaviour Corrupt;
        Corrupt.m_CorruptOffsets = {5000};
        m_pServer->setBehaviour(Path, Corrupt);
    } else {
        // stored broken on the server: given up after one fetch, whether its packed hash
        // (which matches what is served) is known or not
        Chunk.m_Body[17] = char(9); // an algorithm the launcher does not decode
        Chunk.m_Record.m_PackedHash = Fault.endsWith(QLatin1String("hashed")) ? shared::TSha256::hash(Chunk.m_Body) : QByteArray();
    }
    m_pServer->setBody(Path, Chunk.m_Body);

    TRun Run = start({makeFile(QStringLiteral("chunk.bin"), {Chunk}, Data)});
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 10000);
    QCOMPARE(Run.m_pCompleted->size(), Succeeds ? 1 : 0);
    if (Succeeds) {
        QCOMPARE(fileContent(m_pInstallation->filePath(QStringLiteral("chunk.bin"))), Data);
    } else {
        QCOMPARE(Run.failure(), EPackageDownloaderError::DownloadFailed);
    }
    const int Fetches = m_pServer->requestCount(Path);
    QVERIFY2(Fetches >= MinimumFetches && Fetches <= MaximumFetches, qPrintable(QString::number(Fetches)));
}

// The first chunk of a file never comes: the chunks behind it, verified and parked, are
// still put in their places for the next run to reuse.
void TestDownloader::chunksBehindAMissingOneAreKept()
{
    const QByteArray Parts[3] = {patternBytes(10000, 35), patternBytes(11000, 36), patternBytes(12000, 37)};
    QVector<TServedChunk> Chunks;
    for (int Index = 0; Index < 3; ++Index) {
        Chunks << makeChunk(m_pServer->url(QStringLiteral("/kept/%1").arg(Index)), Parts[Index]);
        if (Index > 0) {
            m_pServer->setBody(QStringLiteral("/kept/%1").arg(Index), Chunks.last().m_Body);
        }
    }
    TRun Run = start({makeFile(QStringLiteral("kept.bin"), Chunks, Parts[0] + Parts[1] + Parts[2])});
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 10000);
    QCOMPARE(Run.failure(), EPackageDownloaderError::DownloadFailed);
    const QByteArray Local = fileContent(m_pInstallation->filePath(QStringLiteral("kept.bin")));
    QCOMPARE(Local.size(), 33000);
    QCOMPARE(Local.mid(10000), Parts[1] + Parts[2]);
}

// A missing chunk fails the run; the other file is still written.
void TestDownloader::missingChunkFailsTheRunOnly()
{
    const QByteArray Data = patternBytes(10000, 33);
    const TServedChunk Present = makeChunk(m_pServer->url(QStringLiteral("/present")), Data);
    m_pServer->setBody(QStringLiteral("/present"), Present.m_Body);
    const TServedChunk Missing = makeChunk(m_pServer->url(QStringLiteral("/absent")), patternBytes(100, 34));
    TRun Run = start({makeFile(QStringLiteral("present.bin"), {Present}, Data),
                      makeFile(QStringLiteral("absent.bin"), {Missing}, QByteArray(100, 'x'))});
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 10000);
    QCOMPARE(Run.failure(), EPackageDownloaderError::DownloadFailed);
    QCOMPARE(m_pServer->requestCount(QStringLiteral("/absent")), 4);
    QCOMPARE(fileContent(m_pInstallation->filePath(QStringLiteral("present.bin"))), Data);
}

void TestDownloader::faultyTransfersAreFetchedAgain_data()
{
    QTest::addColumn<int>("FaultKind");
    QTest::addColumn<bool>("PackedHash");
    enum { Stall, NoHeaders, LongerBody, Corrupted, Unavailable, LoopingZpaq };
    QTest::newRow("body stalls after half") << int(Stall) << true;
    QTest::newRow("headers never come") << int(NoHeaders) << true;
    QTest::newRow("body longer than the packed size") << int(LongerBody) << true;
    QTest::newRow("one byte changed on the way") << int(Corrupted) << true;
    QTest::newRow("one byte changed, no packed hash") << int(Corrupted) << false;
    QTest::newRow("503") << int(Unavailable) << true;
    QTest::newRow("replaced by a looping ZPAQ block") << int(LoopingZpaq) << true;
}

void TestDownloader::faultyTransfersAreFetchedAgain()
{
    // The first fetch of the middle chunk goes wrong; it is fetched again and the file
    // comes out byte for byte.
    QFETCH(int, FaultKind);
    QFETCH(bool, PackedHash);
    const QByteArray Parts[3] = {patternBytes(40000, 50), patternBytes(300000, 51), patternBytes(20000, 52)};
    QVector<TServedChunk> Chunks;
    for (int Index = 0; Index < 3; ++Index) {
        const QString Path = QStringLiteral("/faulty/%1").arg(Index);
        Chunks << makeChunk(m_pServer->url(Path), Parts[Index]);
        if (!PackedHash) {
            Chunks.last().m_Record.m_PackedHash.clear();
        }
        m_pServer->setBody(Path, Chunks.last().m_Body);
    }
    const QString Middle = QStringLiteral("/faulty/1");
    const int BodySize = Chunks[1].m_Body.size();
    TBehaviour Fault;
    switch (FaultKind) {
    case 0:
        Fault.m_PieceSize = BodySize / 2;
        Fault.m_DelayBetweenPiecesMs = 3600 * 1000;
        break;
    case 1:
        Fault.m_DelayBeforeHeadersMs = 3600 * 1000;
        break;
    case 2:
        Fault.m_Body = Chunks[1].m_Body + patternBytes(4 * 1024 * 1024, 53);
        break;
    case 3:
        Fault.m_CorruptOffsets = {BodySize / 2};
        break;
    case 4:
        Fault.m_Status = 503;
        break;
    case 5:
        Fault.m_Body = loopingZpaqContainer(BodySize);
        break;
    }
    m_pServer->queueBehaviour(Middle, Fault);

    QElapsedTimer Clock;
    Clock.start();
    const QByteArray Content = Parts[0] + Parts[1] + Parts[2];
    TRun Run = start({makeFile(QStringLiteral("faulty.bin"), Chunks, Content)}, "transferTimeout=1\n");
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 30000);
    QCOMPARE(Run.m_pCompleted->size(), 1);
    QCOMPARE(m_pServer->requestCount(Middle), 2);
    QCOMPARE(m_pServer->requestCount(QStringLiteral("/faulty/0")), 1);
    QCOMPARE(fileContent(m_pInstallation->filePath(QStringLiteral("faulty.bin"))), Content);
}

void TestDownloader::chunkStallingEveryTimeFails()
{
    // a chunk that stalls on every fetch ends the run after four fetches of a second's
    // silence each, not never
    const QByteArray Data = patternBytes(100000, 55);
    const TServedChunk Chunk = makeChunk(m_pServer->url(QStringLiteral("/stalls")), Data);
    m_pServer->setBody(QStringLiteral("/stalls"), Chunk.m_Body);
    TBehaviour Stall;
    Stall.m_PieceSize = Chunk.m_Body.size() / 2;
    Stall.m_DelayBetweenPiecesMs = 3600 * 1000;
    m_pServer->setBehaviour(QStringLiteral("/stalls"), Stall);
    TRun Run = start({makeFile(QStringLiteral("stalls.bin"), {Chunk}, Data)}, "transferTimeout=1\n");
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 30000);
    QCOMPARE(Run.failure(), EPackageDownloaderError::DownloadFailed);
    QCOMPARE(m_pServer->requestCount(QStringLiteral("/stalls")), 4);
}

void TestDownloader::savingFailures()
{
    const QByteArray Data = patternBytes(10000, 40);
    const TServedChunk Chunk = makeChunk(m_pServer->url(QStringLiteral("/x")), Data);
    m_pServer->setBody(QStringLiteral("/x"), Chunk.m_Body);
    QFile Blocker(m_pInstallation->filePath(QStringLiteral("blocked")));
    QVERIFY(Blocker.open(QIODevice::WriteOnly));
    Blocker.close();
    TRun Run = start({makeFile(QStringLiteral("blocked/inner/x.bin"), {Chunk}, Data)});
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 10000);
    QCOMPARE(Run.failure(), EPackageDownloaderError::SavingFailed);
    QVERIFY(QFileInfo(Blocker.fileName()).isFile()); // nothing was lost

    // nothing to fetch: the run ends at once, and an empty file is made
    TFileToDownload Empty;
    Empty.m_LocalFile = QStringLiteral("empty/file.txt");
    Empty.m_UnpackedHash = shared::TSha256::hash(QByteArray());
    TRun Nothing = start({Empty});
    QCOMPARE(Nothing.m_pCompleted->size(), 1);
    QVERIFY(QFileInfo(m_pInstallation->filePath(QStringLiteral("empty/file.txt"))).isFile());
}

void TestDownloader::executableBitAndRenameMode()
{
    const QByteArray First = patternBytes(20000, 50);
    const QByteArray Second = patternBytes(20000, 51);
    const TServedChunk A = makeChunk(m_pServer->url(QStringLiteral("/exe/0")), First);
    const TServedChunk B = makeChunk(m_pServer->url(QStringLiteral("/exe/1")), Second);
    m_pServer->setBody(QStringLiteral("/exe/0"), A.m_Body);
    m_pServer->setBody(QStringLiteral("/exe/1"), B.m_Body);
    m_pServer->setBehaviour(QStringLiteral("/exe/1"), delayed(500));
    const QString Path = m_pInstallation->filePath(QStringLiteral("bin/game"));
    TRun Run = start({makeFile(QStringLiteral("bin/game"), {A, B}, First + Second, true)});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(Path).size() == First.size(), 5000);
    QVERIFY(!(QFileInfo(Path).permissions() & QFileDevice::ExeOwner)); // not before the last chunk
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 10000);
    const auto Permissions = QFileInfo(Path).permissions();
    QVERIFY((Permissions & QFileDevice::ExeOwner) && (Permissions & QFileDevice::ExeGroup) && (Permissions & QFileDevice::ExeOther));

    // self-update: a file that cannot be deleted is moved aside to ".old"
    m_pServer->clearBehaviour(QStringLiteral("/exe/1"));
    QFile Old(Path);
    QVERIFY(Old.open(QIODevice::WriteOnly | QIODevice::Truncate));
    Old.write("running executable");
    Old.close();
    auto pHelper = std::make_shared<TUndeletableFilesHelper>(settingsFile(QByteArray()));
    TRun Update = start({makeFile(QStringLiteral("bin/game"), {A, B}, First + Second, true)}, QByteArray(), pHelper,
                        ESelfUpdateMode::RenameReplacedFiles);
    QTRY_COMPARE_WITH_TIMEOUT(Update.ends(), 1, 10000);
    QCOMPARE(Update.m_pCompleted->size(), 1);
    QCOMPARE(fileContent(Path), First + Second);
    QCOMPARE(fileContent(Path + QStringLiteral(".old")), QByteArray("running executable"));
    // outside self-update mode the same failure is a saving failure
    TRun Plain = start({makeFile(QStringLiteral("bin/game"), {A, B}, First + Second, true)}, QByteArray(), pHelper, ESelfUpdateMode::Off);
    QTRY_COMPARE_WITH_TIMEOUT(Plain.ends(), 1, 10000);
    QCOMPARE(Plain.failure(), EPackageDownloaderError::SavingFailed);
}

void TestDownloader::progressTotals()
{
    QVector<TServedChunk> Chunks;
    QByteArray Content;
    quint64 Packed = 0;
    for (int Index = 0; Index < 5; ++Index) {
        const QByteArray Part = patternBytes(100000 + 1000 * Index, 60 + Index);
        const QString Path = QStringLiteral("/p/%1").arg(Index);
        Chunks << makeChunk(m_pServer->url(Path), Part);
        m_pServer->setBody(Path, Chunks.last().m_Body);
        TBehaviour Slow;
        Slow.m_PieceSize = 16384;
        Slow.m_DelayBetweenPiecesMs = 80;
        m_pServer->setBehaviour(Path, Slow);
        Content += Part;
        Packed += Chunks.last().m_Record.m_PackedSize;
    }
    TRun Run = start({makeFile(QStringLiteral("p.bin"), Chunks, Content)});
    QTRY_COMPARE_WITH_TIMEOUT(Run.ends(), 1, 15000);
    QCOMPARE(Run.m_pCompleted->size(), 1);
    QVERIFY(Run.m_pProgress->size() >= 3); // ticks while running, and the last one
    const QList<QVariant> Last = Run.m_pProgress->last();
    QCOMPARE(Last.at(0).value<TFileSize>(), Packed);
    QCOMPARE(Last.at(1).value<TFileSize>(), Packed);
    QCOMPARE(Last.at(2).value<TFileSize>(), TFileSize(Content.size()));
    QCOMPARE(Last.at(3).value<TFileSize>(), TFileSize(Content.size()));
    for (const QList<QVariant>& Tick : *Run.m_pProgress) {
        QVERIFY(Tick.at(0).value<TFileSize>() <= Packed);
        QVERIFY(Tick.at(2).value<TFileSize>() <= TFileSize(Content.size()));
    }
    QVERIFY(Run.m_pDownloader->receivedAverage().m_Count > 0);
    QVERIFY(Run.m_pDownloader->receivedAverage().m_Largest > 0);
}

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
