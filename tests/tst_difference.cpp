#include "RandomBytes.h"
#include "TestEnvironment.h"

#include "NamedPipes.h"
#include "PackTool.h"
#include "ServedPackages.h"
#include "support/LoopbackHttpServer.h"

#include "ContentDefinedChunker.h"
#include "RegularFile.h"
#include "Sha256.h"
#include "TFunnelEventSender.h"
#include "TInPlaceRearrangement.h"
#include "TInstallationManager.h"
#include "TPackageInstallation.h"

#include <QFile>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace zarvo::launcher;
using testsupport::randomBytes;

namespace {

// The content-defined pieces of Data, as the packaging tool cuts them.
QVector<QByteArray> pieces(const QByteArray& Data)
{
    QVector<QByteArray> Result;
    std::size_t Offset = 0;
    const auto* pBytes = reinterpret_cast<const unsigned char*>(Data.constData());
    while (Offset < std::size_t(Data.size())) {
        const std::size_t Length = shared::nextPieceLength(pBytes + Offset, std::size_t(Data.size()) - Offset);
        Result << Data.mid(int(Offset), int(Length));
        Offset += Length;
    }
    return Result;
}

struct TConfiguration {
    TFileInPackageVector m_Files;
    TChunkInPackageVector m_Chunks;

    TChunkInPackage chunk(const QByteArray& Data) const
    {
        TChunkInPackage Chunk;
        Chunk.m_UnpackedHash = shared::TSha256::hash(Data);
        Chunk.m_UnpackedSize = quint64(Data.size());
        Chunk.m_Url = QUrl(QStringLiteral("http://cdn.example/chunks/") + QString::fromLatin1(Chunk.m_UnpackedHash.toHex()));
        return Chunk;
    }
    // a file made of the given pieces; one piece gives a single-chunk file with a packed form
    void addFile(const QString& Name, const QVector<QByteArray>& Pieces)
    {
        TFileInPackage File;
        File.m_LocalFile = Name;
        QByteArray Content;
        for (const QByteArray& Piece : Pieces) {
            File.m_Chunks.push_back(std::int32_t(m_Chunks.size()));
            m_Chunks.push_back(chunk(Piece));
            Content += Piece;
        }
        File.m_UnpackedSize = quint64(Content.size());
        File.m_UnpackedHash = shared::TSha256::hash(Content);
        if (Pieces.size() == 1) {
            File.m_PackedForm = chunk(Content);
            File.m_PackedForm.m_Url = QUrl(QStringLiteral("http://cdn.example/whole/") + Name);
        }
        m_Files.push_back(File);
    }
};

void writeFile(const QString& Path, const QByteArray& Data)
{
    QDir().mkpath(QFileInfo(Path).absolutePath());
    QFile File(Path);
    QVERIFY(File.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(File.write(Data), qint64(Data.size()));
}

QByteArray readFile(const QString& Path)
{
    QFile File(Path);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray("<missing>");
}

// What the downloader would do with a scan result: write every listed chunk at its place.
void writeListedChunks(const QString& Path, const TFileToDownload& Entry, const QMap<QByteArray, QByteArray>& ContentByHash)
{
    QFile File(Path);
    QVERIFY(File.open(QIODevice::ReadWrite));
    std::uint64_t Offset = 0;
    for (std::size_t Index = 0; Index < Entry.m_Chunks.size(); ++Index) {
        if (std::find(Entry.m_ChunksToDownload.begin(), Entry.m_ChunksToDownload.end(), int(Index)) != Entry.m_ChunksToDownload.end()) {
            QVERIFY(File.seek(qint64(Offset)));
            QVERIFY(ContentByHash.contains(Entry.m_Chunks[Index].m_UnpackedHash));
            File.write(ContentByHash.value(Entry.m_Chunks[Index].m_UnpackedHash));
        }
        Offset += Entry.m_Chunks[Index].m_UnpackedSize;
    }
}

// Fails every read of the copy step after the first Allowed ones.
class TFailingReads {
public:
    explicit TFailingReads(int Allowed)
    {
        auto pCount = std::make_shared<std::atomic<int>>(0);
        TInPlaceRearrangement::setReadHook(
            [pCount, Allowed](const QString&, std::uint64_t, std::uint64_t) { return ++*pCount <= Allowed; });
    }
    ~TFailingReads() { TInPlaceRearrangement::setReadHook(nullptr); }
    TFailingReads(const TFailingReads&) = delete;
    TFailingReads& operator=(const TFailingReads&) = delete;
};

} // namespace

class TestDifference : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void rearrangesMovedChunksInPlace();
    void rearrangementNeverKeepsWrongBytes_data();
    void rearrangementNeverKeepsWrongBytes();
    void rearrangementOfRandomPermutations();
    void fastScanUpdateAfterLocalDamage_data();
    void fastScanUpdateAfterLocalDamage();
    void singleChunkFilesAndDeletions();
    void fastScanTrustsTheInstalledDocument();
    void verification();
    void pipesAndDevicesAreNeverRead();
    void funnelEvents();

private:
    TPackageInstallation& job();

    std::shared_ptr<TLauncherFilesystemHelper> m_pHelper;
    std::unique_ptr<TPackageInstallation> m_pJob;
    QByteArray m_Big;
    QVector<QByteArray> m_Pieces; // of m_Big: every piece but the last ends at a content cut
    QVector<QByteArray> m_Letters; // pieces that end at a content cut, named A, B, C...
    QTemporaryDir m_PackedVersions;
};

void TestDifference::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Halvern GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("Torvane Online"));
    m_pHelper = std::make_shared<TLauncherFilesystemHelper>();
    auto pPackage = std::make_shared<TPackage>(0, QJsonObject {{"name", "Game"}, {"directoryname", "game"}}, QUrl());
    m_pJob = std::make_unique<TPackageInstallation>(pPackage, m_pHelper);
    m_Big = randomBytes(40 * 1000 * 1000, 7);
    m_Pieces = pieces(m_Big);
    QVERIFY(m_Pieces.size() >= 3);
    m_Letters = pieces(randomBytes(72 * 1000 * 1000, 11));
    m_Letters.removeLast();
    // the five smallest keep the file tests short
    std::sort(m_Letters.begin(), m_Letters.end(),
              [](const QByteArray& Left, const QByteArray& Right) { return Left.size() < Right.size(); });
    QVERIFY(m_Letters.size() >= 5);
    m_Letters.resize(5);
}

TPackageInstallation& TestDifference::job()
{
    return *m_pJob;
}

void TestDifference::rearrangesMovedChunksInPlace()
{
    const QByteArray X = m_Pieces[0], Y = m_Pieces[1];
    QByteArray Rest;
    for (int Index = 2; Index < m_Pieces.size(); ++Index) {
        Rest += m_Pieces[Index];
    }
    QTemporaryDir Dir;

    // swapped chunks: nothing to fetch, the file is put back in order
    TConfiguration New;
    New.addFile(QStringLiteral("swapped.pak"), m_Pieces);
    // a chunk twice in the new file; the longer local file is cut to size
    New.addFile(QStringLiteral("twice.pak"), {X, Y, X});
    // inserted data near the start: only the first piece (and its neighbour) change
    const QByteArray Inserted = QByteArray("new intro data") + m_Big;
    New.addFile(QStringLiteral("inserted.pak"), pieces(Inserted));
    writeFile(Dir.filePath(QStringLiteral("swapped.pak")), Y + X + Rest);
    writeFile(Dir.filePath(QStringLiteral("twice.pak")), m_Big);
    writeFile(Dir.filePath(QStringLiteral("inserted.pak")), m_Big);

    QSignalSpy Scan(&job(), &TPackageInstallation::scanProgress);
    const QList<TFileToDownload> Result =
        job().FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(New.m_Files, New.m_Chunks, {}, {}, false, QDir(Dir.path()), m_pHelper);
    QCOMPARE(Result.size(), 3);
    QMap<QString, TFileToDownload> ByName;
    for (const TFileToDownload& Entry : Result) {
        ByName.insert(Entry.m_LocalFile, Entry);
    }
    QVERIFY(ByName.value(QStringLiteral("swapped.pak")).m_ChunksToDownload.empty());
    QCOMPARE(readFile(Dir.filePath(QStringLiteral("swapped.pak"))), X + Y + Rest);
    QVERIFY(ByName.value(QStringLiteral("twice.pak")).m_ChunksToDownload.empty());
    QCOMPARE(readFile(Dir.filePath(QStringLiteral("twice.pak"))), X + Y + X);

    const TFileToDownload Insert = ByName.value(QStringLiteral("inserted.pak"));
    QVERIFY(!Insert.m_ChunksToDownload.empty());
    QVERIFY(Insert.m_ChunksToDownload.size() <= 2);
    QVERIFY(Insert.m_ChunksToDownload.front() == 0);
    QVERIFY(int(Insert.m_Chunks.size()) >= 3);
    // the reused pieces already sit where the new version wants them
    const QByteArray Local = readFile(Dir.filePath(QStringLiteral("inserted.pak")));
    std::uint64_t Offset = 0;
    for (std::size_t Index = 0; Index < Insert.m_Chunks.size(); ++Index) {
        const TChunkInPackage& Chunk = Insert.m_Chunks[Index];
        if (std::find(Insert.m_ChunksToDownload.begin(), Insert.m_ChunksToDownload.end(), int(Index)) == Insert.m_ChunksToDownload.end()) {
            QCOMPARE(shared::TSha256::hash(Local.mid(int(Offset), int(Chunk.m_UnpackedSize))), Chunk.m_UnpackedHash);
        }
        Offset += Chunk.m_UnpackedSize;
    }

    // progress rose monotonically to the bytes of the existing files
    QTRY_VERIFY(!Scan.isEmpty());
    TFileSize Previous = 0;
    for (const auto& Arguments : Scan) {
        QVERIFY(Arguments.at(0).value<TFileSize>() >= Previous);
        Previous = Arguments.at(0).value<TFileSize>();
        QCOMPARE(Arguments.at(1).value<TFileSize>(), TFileSize(3 * m_Big.size() + 0) - 0);
    }
}

namespace {
enum EInjectedFailure { NoFailure, ScratchBlocked, ReadFails };
}
Q_DECLARE_METATYPE(EInjectedFailure)

void TestDifference::rearrangementNeverKeepsWrongBytes_data()
{
    QTest::addColumn<QString>("Local");
    QTest::addColumn<QString>("New");
    QTest::addColumn<QString>("Cycle"); // chunks whose moves depend on each other in a ring
    QTest::addColumn<EInjectedFailure>("Failure");
    // letters are pieces of random data, "z" is new data that has to be fetched
    const struct {
        const char* m_Name;
        const char* m_Local;
        const char* m_New;
        const char* m_Cycle;
    } Cases[] = {
        {"swap", "BAC", "ABC", "AB"},   {"forward shift", "ABCDE", "zABCDE", ""},  {"duplicate chunk", "ABC", "ABAC", ""},
        {"shrink", "ABCDE", "ACE", ""}, {"cycle of three", "ABCD", "BCAD", "ABC"},
    };
    for (const auto& Case : Cases) {
        QTest::addRow("%s", Case.m_Name) << Case.m_Local << Case.m_New << Case.m_Cycle << NoFailure;
        QTest::addRow("%s, scratch blocked", Case.m_Name) << Case.m_Local << Case.m_New << Case.m_Cycle << ScratchBlocked;
        QTest::addRow("%s, read fails", Case.m_Name) << Case.m_Local << Case.m_New << Case.m_Cycle << ReadFails;
    }
}

void TestDifference::rearrangementNeverKeepsWrongBytes()
{
    QFETCH(QString, Local);
    QFETCH(QString, New);
    QFETCH(QString, Cycle);
    QFETCH(EInjectedFailure, Failure);
    const QByteArray Fresh = randomBytes(300 * 1000, 99);
    const auto Piece = [&](QChar Letter) { return Letter == QLatin1Char('z') ? Fresh : m_Letters.at(Letter.toLatin1() - 'A'); };
    QMap<QByteArray, QByteArray> ContentByHash;
    QVector<QByteArray> NewPieces;
    QByteArray Expected;
    for (QChar Letter : New) {
        NewPieces << Piece(Letter);
        Expected += Piece(Letter);
        ContentByHash.insert(shared::TSha256::hash(Piece(Letter)), Piece(Letter));
    }
    QByteArray Before;
    for (QChar Letter : Local) {
        Before += Piece(Letter);
    }
    QTemporaryDir Dir;
    const QString Path = Dir.filePath(QStringLiteral("data.pak"));
    writeFile(Path, Before);
    TConfiguration Configuration;
    Configuration.addFile(QStringLiteral("data.pak"), NewPieces);
    const QString Scratch = TInPlaceRearrangement::scratchPathFor(QDir(Dir.path()), QStringLiteral("data.pak"));
    QVERIFY(QFileInfo(Scratch).absolutePath() == QFileInfo(Path).absolutePath());
    if (Failure == ScratchBlocked) {
        QVERIFY(QDir().mkpath(Scratch)); // a directory where the scratch file would go
    }
    std::unique_ptr<TFailingReads> pFailingReads;
    if (Failure == ReadFails) {
        pFailingReads = std::make_unique<TFailingReads>(6); // part-way into the copies
    }
    const QList<TFileToDownload> Result = job().FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
        Configuration.m_Files, Configuration.m_Chunks, {}, {}, false, QDir(Dir.path()), m_pHelper);
    pFailingReads.reset();
    QCOMPARE(Result.size(), 1);
    const TFileToDownload& Entry = Result.front();
    const auto Listed = [&Entry](int Index) {
        return std::find(Entry.m_ChunksToDownload.begin(), Entry.m_ChunksToDownload.end(), Index) != Entry.m_ChunksToDownload.end();
    };

    // every chunk that is not listed lies where it belongs, whatever failed
    const QByteArray After = readFile(Path);
    int Offset = 0;
    for (int Index = 0; Index < NewPieces.size(); ++Index) {
        if (!Listed(Index)) {
            QVERIFY2(After.mid(Offset, NewPieces[Index].size()) == NewPieces[Index], qPrintable(QStringLiteral("chunk %1").arg(Index)));
        }
        Offset += NewPieces[Index].size();
    }
    QVERIFY(After.size() <= Expected.size());
    if (Entry.m_ChunksToDownload.empty()) {
        QVERIFY(After == Expected);
    }
    const std::uint64_t ScratchBytes = job().scratchBytesUsed();
    qInfo() << "scratch bytes used:" << ScratchBytes << "chunks listed:" << Entry.m_ChunksToDownload.size();
    switch (Failure) {
    case NoFailure: {
        // only the new data is fetched; scratch space only for a ring of moves, and then
        // for one of its chunks (the smaller of a swapped pair)
        for (int Index = 0; Index < New.size(); ++Index) {
            QCOMPARE(Listed(Index), New.at(Index) == QLatin1Char('z'));
        }
        QVERIFY(!QFileInfo::exists(Scratch));
        if (Cycle.isEmpty()) {
            QCOMPARE(ScratchBytes, std::uint64_t(0));
        } else {
            // at least one chunk of the ring, never all of them
            std::uint64_t Smallest = std::numeric_limits<std::uint64_t>::max();
            std::uint64_t Total = 0;
            for (QChar Letter : Cycle) {
                Smallest = std::min(Smallest, std::uint64_t(Piece(Letter).size()));
                Total += std::uint64_t(Piece(Letter).size());
            }
            QVERIFY(ScratchBytes >= Smallest);
            QVERIFY(ScratchBytes < Total);
            if (Cycle.size() == 2) {
                QCOMPARE(ScratchBytes, Smallest);
            }
        }
        break;
    }
    case ScratchBlocked:
        QCOMPARE(ScratchBytes, std::uint64_t(0));
        QVERIFY(QFileInfo(Scratch).isDir());
        QVERIFY(Entry.m_ChunksToDownload.size() > std::size_t(New.count(QLatin1Char('z'))) || Cycle.isEmpty());
        break;
    case ReadFails:
        QVERIFY(Entry.m_ChunksToDownload.size() > std::size_t(New.count(QLatin1Char('z'))));
        QVERIFY(!QFileInfo::exists(Scratch));
        break;
    }

    // with the listed chunks fetched, the file is the new version byte for byte
    writeListedChunks(Path, Entry, ContentByHash);
    QVERIFY(readFile(Path) == Expected);
}

void TestDifference::rearrangementOfRandomPermutations()
{
    // many small layouts, moved in a real file; some with reads failing at random
    std::mt19937 Random(5);
    QTemporaryDir Dir;
    const QString Path = Dir.filePath(QStringLiteral("blocks.bin"));
    const QString Scratch = Dir.filePath(QStringLiteral(".scratch"));
    for (int Round = 0; Round < 400; ++Round) {
        const int Count = 2 + int(Random() % 8);
        QVector<QByteArray> Blocks;
        QVector<std::uint64_t> Sources;
        QByteArray Before;
        for (int Index = 0; Index < Count; ++Index) {
            Sources << std::uint64_t(Before.size());
            Blocks << randomBytes(1 + int(Random() % 3000), Random());
            Before += Blocks.back();
        }
        // the new layout: blocks in any order, some twice, some dropped
        QVector<int> Layout;
        const int Length = 1 + int(Random() % std::uint32_t(Count + 2));
        for (int Index = 0; Index < Length; ++Index) {
            Layout << int(Random() % std::uint32_t(Count));
        }
        std::vector<TChunkMove> Moves;
        QVector<int> MoveOfPosition;
        std::uint64_t Target = 0;
        for (int Block : Layout) {
            MoveOfPosition << (Sources[Block] == Target ? -1 : int(Moves.size()));
            if (Sources[Block] != Target) {
                Moves.push_back({Sources[Block], Target, std::uint64_t(Blocks[Block].size())});
            }
            Target += std::uint64_t(Blocks[Block].size());
        }
        writeFile(Path, Before);
        const bool InjectFailures = Round % 3 == 2;
        if (InjectFailures) {
            auto pRandom = std::make_shared<std::mt19937>(Random());
            TInPlaceRearrangement::setReadHook([pRandom](const QString&, std::uint64_t, std::uint64_t) { return (*pRandom)() % 5 != 0; });
        }
        QFile File(Path);
        QVERIFY(File.open(QIODevice::ReadWrite));
        const TRearrangementResult Result = TInPlaceRearrangement::rearrange(File, Scratch, Moves);
        File.close();
        TInPlaceRearrangement::setReadHook(nullptr);
        QVERIFY(!QFileInfo::exists(Scratch));

        const QByteArray After = readFile(Path);
        std::uint64_t SumOfMoves = 0;
        int Offset = 0;
        for (int Position = 0; Position < Layout.size(); ++Position) {
            const int Move = MoveOfPosition[Position];
            if (Move >= 0) {
                SumOfMoves += Moves[std::size_t(Move)].m_Size;
                QVERIFY(InjectFailures || Result.m_Moved[std::size_t(Move)]);
            }
            if (Move < 0 || Result.m_Moved[std::size_t(Move)]) {
                QVERIFY2(After.mid(Offset, Blocks[Layout[Position]].size()) == Blocks[Layout[Position]],
                         qPrintable(QStringLiteral("round %1 position %2").arg(Round).arg(Position)));
            }
            Offset += Blocks[Layout[Position]].size();
        }
        QVERIFY(Result.m_ScratchBytes <= SumOfMoves);
    }

    // a uniform shift in either direction is ordered without saving anything; a ring of
    // equal chunks saves one of them, a swapped pair the smaller one
    std::vector<TChunkMove> Forward, Backward;
    for (std::uint64_t Index = 0; Index < 50; ++Index) {
        Forward.push_back({Index * 100, Index * 100 + 30, 100});
        Backward.push_back({Index * 100 + 30, Index * 100, 100});
    }
    const std::vector<TChunkMove> Ring {{0, 200, 100}, {100, 0, 100}, {200, 100, 100}};
    const std::vector<TChunkMove> Pair {{0, 50, 100}, {100, 0, 50}};
    const auto Saved = [](const std::vector<TChunkMove>& Moves) {
        std::vector<std::size_t> Result;
        const std::vector<TRearrangementStep> Steps = TInPlaceRearrangement::plan(Moves);
        for (const TRearrangementStep& Step : Steps) {
            if (Step.m_Kind == TRearrangementStep::EKind::Save) {
                Result.push_back(Step.m_Move);
            }
        }
        return Steps.size() == Moves.size() + Result.size() ? Result : std::vector<std::size_t> {999};
    };
    QCOMPARE(Saved(Forward), std::vector<std::size_t> {});
    QCOMPARE(Saved(Backward), std::vector<std::size_t> {});
    QCOMPARE(Saved(Ring).size(), std::size_t(1));
    QCOMPARE(Saved(Pair), std::vector<std::size_t> {1});
}

void TestDifference::fastScanUpdateAfterLocalDamage_data()
{
    QTest::addColumn<QString>("Damage");
    QTest::newRow("big file deleted") << QStringLiteral("delete");
    QTest::newRow("big file truncated") << QStringLiteral("truncate");
    QTest::newRow("reused chunk altered, same size") << QStringLiteral("alter");
}

void TestDifference::fastScanUpdateAfterLocalDamage()
{
    // an update with fast scan on and verification off: the installed document must not
    // stand in for a file that no longer matches it
    QFETCH(QString, Damage);
    const QTemporaryDir& Work = m_PackedVersions;
    const QString Served = Work.filePath(QStringLiteral("served"));
    const QByteArray Big = randomBytes(30 * 1000 * 1000, 21);
    QByteArray Big2 = Big;
    Big2.replace(15000000, 5, "patch"); // one chunk in the middle changes
    if (!QFile::exists(Served + QStringLiteral("/v2/package.json"))) { // packed once for all rows
        testsupport::writeTreeFile(Work.filePath(QStringLiteral("tree1")), QStringLiteral("data/big.pak"), Big);
        testsupport::writeTreeFile(Work.filePath(QStringLiteral("tree1")), QStringLiteral("readme.txt"), "version 1\n");
        testsupport::writeTreeFile(Work.filePath(QStringLiteral("tree2")), QStringLiteral("data/big.pak"), Big2);
        testsupport::writeTreeFile(Work.filePath(QStringLiteral("tree2")), QStringLiteral("readme.txt"), "version 2\n");
        QVERIFY(testsupport::packTree(Work.filePath(QStringLiteral("tree1")), Served + QStringLiteral("/v1"),
                                      {QStringLiteral("--version"), QStringLiteral("1")}));
        QVERIFY(testsupport::packTree(Work.filePath(QStringLiteral("tree2")), Served + QStringLiteral("/v2"),
                                      {QStringLiteral("--version"), QStringLiteral("2")}));
    }
    testsupport::TLoopbackHttpServer Server;
    Server.serveDirectory(Served);

    const QString Ini = Work.filePath(QStringLiteral("launchersettings.ini"));
    writeFile(Ini,
              "[DIRECTORIES]\npackages=packages\n[FILES]\npackageFile=package.json\npartialPackageFile=partial-package.json\n"
              "assetFile=assets.json\n[OPTIONS]\nmaxConcurrentDownloads=4\nskipVerification=true\nfastScan=true\n");
    auto pHelper = std::make_shared<TLauncherFilesystemHelper>(Ini);
    const QString Directory = QStringLiteral("damage-") + Damage;
    const auto Install = [&](const QString& Version) {
        auto pConfiguration = configurationOfServedPackages({servedPackage("Game", Directory, Version + "/package.json")},
                                                            Server.url(QStringLiteral("/")), Served);
        auto pPackage = pConfiguration->getPackages().front();
        TInstallationManager Manager(pConfiguration, pHelper);
        const ELocalPackageStatus Before = pPackage->localPackageStatus();
        auto pFinished = std::make_shared<int>(0);
        QObject::connect(&Manager, &TInstallationManager::installationOrUpdateFinished, &Manager, [pFinished] { ++*pFinished; });
        Manager.installOrUpdatePackage(pPackage);
        if (!QTest::qWaitFor([pFinished] { return *pFinished > 0; }, 60000)) {
            qWarning() << "installation did not finish";
        }
        return std::make_tuple(Before, pPackage->localPackageStatus(), Manager.installationDirectory(*pPackage));
    };

    const auto [FirstBefore, FirstAfter, Installation] = Install(QStringLiteral("v1"));
    QCOMPARE(FirstBefore, ELocalPackageStatus::NotInstalled);
    QCOMPARE(FirstAfter, ELocalPackageStatus::Installed);
    const QString BigPath = Installation.filePath(QStringLiteral("data/big.pak"));
    QVERIFY(readFile(BigPath) == Big);
    if (Damage == QLatin1String("delete")) {
        QVERIFY(QFile::remove(BigPath));
    } else if (Damage == QLatin1String("truncate")) {
        QVERIFY(QFile::resize(BigPath, 11 * 1000 * 1000));
    } else {
        QFile File(BigPath);
        QVERIFY(File.open(QIODevice::ReadWrite));
        QVERIFY(File.seek(1000));
        File.write("altered");
    }

    const auto [UpdateBefore, UpdateAfter, Same] = Install(QStringLiteral("v2"));
    Q_UNUSED(Same)
    QCOMPARE(UpdateBefore, ELocalPackageStatus::UpdateRequired); // the fast scan applies
    // installed means byte-identical to version 2
    QCOMPARE(UpdateAfter, ELocalPackageStatus::Installed);
    QVERIFY(readFile(BigPath) == Big2);
    QCOMPARE(readFile(Installation.filePath(QStringLiteral("readme.txt"))), QByteArray("version 2\n"));
    QCOMPARE(testsupport::treeFiles(Installation.filePath(QStringLiteral("data"))), QStringList {QStringLiteral("big.pak")});
    QVERIFY(Installation.entryList({QStringLiteral(".rearrange-*")}, QDir::AllEntries | QDir::Hidden).isEmpty());
}

void TestDifference::singleChunkFilesAndDeletions()
{
    QTemporaryDir Dir;
    TConfiguration Installed;
    Installed.addFile(QStringLiteral("old/obsolete.txt"), {QByteArray("bye")});
    Installed.addFile(QStringLiteral("kept.txt"), {QByteArray("kept")});
    TConfiguration New;
    New.addFile(QStringLiteral("kept.txt"), {QByteArray("kept")});
    New.addFile(QStringLiteral("changed.txt"), {QByteArray("new text")});
    New.addFile(QStringLiteral("missing.txt"), {QByteArray("fetch me")});
    New.addFile(QStringLiteral("chunked-missing.bin"), {m_Pieces[0], m_Pieces[1]});
    writeFile(Dir.filePath(QStringLiteral("kept.txt")), "kept");
    writeFile(Dir.filePath(QStringLiteral("changed.txt")), "old text");
    writeFile(Dir.filePath(QStringLiteral("old/obsolete.txt")), "bye");

    TPackageConfigurationReader NewReader;
    NewReader.m_Files = New.m_Files;
    NewReader.m_Chunks = New.m_Chunks;
    TPackageConfigurationReader InstalledReader;
    InstalledReader.m_Files = Installed.m_Files;
    InstalledReader.m_Chunks = Installed.m_Chunks;
    const TPackageDifference Difference = job().computeRequiredChanges(QDir(Dir.path()), m_pHelper, NewReader, InstalledReader, false);
    QCOMPARE(Difference.m_FilesToDelete.size(), std::size_t(1));
    QCOMPARE(Difference.m_FilesToDelete.front().m_LocalFile, QStringLiteral("old/obsolete.txt"));
    QCOMPARE(Difference.m_FilesToDownload.size(), std::size_t(4)); // one entry per new file

    for (const TFileToDownload& Entry : Difference.m_FilesToDownload) {
        if (Entry.m_LocalFile == QLatin1String("kept.txt")) {
            QVERIFY(Entry.m_ChunksToDownload.empty()); // "reuseable file found"
        } else if (Entry.m_LocalFile == QLatin1String("chunked-missing.bin")) {
            QCOMPARE(Entry.m_Chunks.size(), std::size_t(2)); // no packed form: the chunks
            QCOMPARE(Entry.m_ChunksToDownload, (std::vector<std::int32_t> {0, 1}));
        } else {
            // fetched whole through the packed form; a stale local copy stays until the
            // job has checked the free space
            QCOMPARE(Entry.m_Chunks.size(), std::size_t(1));
            QCOMPARE(Entry.m_Chunks.front().m_Url.path(), QStringLiteral("/whole/") + Entry.m_LocalFile);
            QCOMPARE(Entry.m_ChunksToDownload, std::vector<std::int32_t> {0});
            QCOMPARE(QFile::exists(Dir.filePath(Entry.m_LocalFile)), Entry.m_LocalFile == QLatin1String("changed.txt"));
        }
    }
    QVERIFY(QFile::exists(Dir.filePath(QStringLiteral("old/obsolete.txt")))); // deleting is the job's download phase

    // an installed document that failed to parse deletes nothing
    const TPackageDifference Nothing =
        job().computeRequiredChanges(QDir(Dir.path()), m_pHelper, NewReader, TPackageConfigurationReader(), false);
    QVERIFY(Nothing.m_FilesToDelete.empty());
}

void TestDifference::fastScanTrustsTheInstalledDocument()
{
    QTemporaryDir Dir;
    TConfiguration Config;
    Config.addFile(QStringLiteral("data.pak"), {m_Pieces[0], m_Pieces[1]});
    // the local bytes are not what the document says; only a real read would notice
    const QByteArray Garbage(m_Pieces[0].size() + m_Pieces[1].size(), 'g');
    writeFile(Dir.filePath(QStringLiteral("data.pak")), Garbage);

    const QList<TFileToDownload> Fast = job().FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
        Config.m_Files, Config.m_Chunks, Config.m_Files, Config.m_Chunks, true, QDir(Dir.path()), m_pHelper);
    QCOMPARE(Fast.size(), 1);
    QVERIFY(Fast.front().m_ChunksToDownload.empty());
    QCOMPARE(readFile(Dir.filePath(QStringLiteral("data.pak"))), Garbage);

    const QList<TFileToDownload> Full = job().FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
        Config.m_Files, Config.m_Chunks, Config.m_Files, Config.m_Chunks, false, QDir(Dir.path()), m_pHelper);
    QCOMPARE(Full.front().m_ChunksToDownload, (std::vector<std::int32_t> {0, 1}));
}

void TestDifference::verification()
{
    QTemporaryDir Dir;
    TConfiguration Config;
    QSignalSpy Progress(&job(), &TPackageInstallation::verificationProgress);
    QVERIFY(job().VerifyPackage(QDir(Dir.path()), m_pHelper, {}));
    QCOMPARE(Progress.size(), 0);

    for (int Index = 0; Index < 30; ++Index) {
        const QByteArray Content = randomBytes(1 << 20, 100 + quint64(Index));
        Config.addFile(QStringLiteral("f%1.bin").arg(Index, 2, 10, QLatin1Char('0')), {Content});
        writeFile(Dir.filePath(Config.m_Files.back().m_LocalFile), Content);
    }
    QVERIFY(job().VerifyPackage(QDir(Dir.path()), m_pHelper, Config.m_Files));
    QTRY_VERIFY(!Progress.isEmpty());
    QCOMPARE(Progress.last().at(0).value<TFileSize>(), TFileSize(30 << 20));

    // longer than recorded: its digest differs
    QFile Longer(Dir.filePath(QStringLiteral("f05.bin")));
    QVERIFY(Longer.open(QIODevice::Append));
    Longer.write("x");
    Longer.close();
    QVERIFY(!job().VerifyPackage(QDir(Dir.path()), m_pHelper, Config.m_Files));

    // the first file missing: the result is false and the files after it are mostly not read
    QFile::remove(Dir.filePath(QStringLiteral("f05.bin")));
    QFile::remove(Dir.filePath(QStringLiteral("f00.bin")));
    QCoreApplication::processEvents();
    Progress.clear();
    QVERIFY(!job().VerifyPackage(QDir(Dir.path()), m_pHelper, Config.m_Files));
    QCoreApplication::processEvents();
    const TFileSize Read = Progress.isEmpty() ? 0 : Progress.last().at(0).value<TFileSize>();
    QVERIFY2(Read < TFileSize(15 << 20), qPrintable(QString::number(Read)));
}

void TestDifference::pipesAndDevicesAreNeverRead()
{
    // Named pipes where files should be (a chunked and a whole file) would block the open
    // for ever; a link to an endless device would feed the scan without end (the same
    // check keeps both out, and only the pipes can be let go should the check fail).
    QTemporaryDir Dir;
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), Dir.filePath(QStringLiteral("zero.pak"))));
    QFile Zero(Dir.filePath(QStringLiteral("zero.pak")));
    QVERIFY(!shared::openRegularFileForReading(Zero));
    TConfiguration Config;
    Config.addFile(QStringLiteral("pipe.pak"), {m_Pieces[0], m_Pieces[1]});
    Config.addFile(QStringLiteral("pipe.txt"), {QByteArray("whole")});
    const QStringList Pipes {Dir.filePath(QStringLiteral("pipe.pak")), Dir.filePath(QStringLiteral("pipe.txt"))};
    for (const QString& Pipe : Pipes) {
        QVERIFY(testsupport::makeNamedPipe(Pipe));
    }
    const auto Bounded = [&Pipes](auto Work) { return testsupport::runLettingPipesGo(Work, Pipes, 10000); };
    const auto Scan = Bounded([this, &Config, &Dir] {
        return job().FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(Config.m_Files, Config.m_Chunks, {}, {}, false, QDir(Dir.path()),
                                                                        m_pHelper);
    });
    QVERIFY(Scan.first);
    QCOMPARE(Scan.second.size(), 2);
    for (const TFileToDownload& Entry : Scan.second) {
        QCOMPARE(Entry.m_ChunksToDownload.size(), Entry.m_Chunks.size());
    }
    const auto Verification = Bounded([this, &Config, &Dir] { return job().VerifyPackage(QDir(Dir.path()), m_pHelper, Config.m_Files); });
    QVERIFY(Verification.first);
    QVERIFY(!Verification.second);
}

void TestDifference::funnelEvents()
{
    testsupport::TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/funnel"), "{}");
    QSettings().clear();
    auto pManager = std::make_shared<QNetworkAccessManager>();
    TFunnelEventSender Sender(pManager);

    Sender.send(Server.url(QStringLiteral("/funnel")), QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst"));
    QVERIFY(Server.waitForRequests(1));
    const auto First = Server.capturedRequests().last();
    QCOMPARE(First.m_Method, QByteArray("POST"));
    QCOMPARE(First.header("content-type"), QByteArray("application/json"));
    const QJsonObject FirstEvent = QJsonDocument::fromJson(First.m_Body).object();
    QCOMPARE(FirstEvent.value(QStringLiteral("step")).toString(), QStringLiteral("launcher_started"));
    QCOMPARE(FirstEvent.value(QStringLiteral("first")).toBool(), true);
    const QString Id = FirstEvent.value(QStringLiteral("id")).toString();
    QCOMPARE(Id.size(), 36);
    QCOMPARE(QSettings().value(QStringLiteral("FunnelUuid")).toString(), Id);
    QVERIFY(First.m_Body.contains('\n')); // indented form

    // the next run: not first any more, same id; another step is first on its own
    QCOMPARE(TFunnelEventSender::makeEvent(QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst"))
                 .object()
                 .value(QStringLiteral("first"))
                 .toBool(),
             false);
    const QJsonObject Downloaded =
        TFunnelEventSender::makeEvent(QStringLiteral("launcher_downloaded"), QStringLiteral("FunnelFinishedDownloadingFirst")).object();
    QCOMPARE(Downloaded.value(QStringLiteral("first")).toBool(), true);
    QCOMPARE(Downloaded.value(QStringLiteral("id")).toString(), Id);

    // a removed id is made anew; the flags stay
    QSettings().remove(QStringLiteral("FunnelUuid"));
    const QJsonObject Again =
        TFunnelEventSender::makeEvent(QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst")).object();
    QVERIFY(Again.value(QStringLiteral("id")).toString() != Id);
    QCOMPARE(Again.value(QStringLiteral("first")).toBool(), false);

    // no funnel address: nothing is posted and nothing breaks
    Sender.send(QUrl(), QStringLiteral("launcher_verified"), QStringLiteral("FunnelFinished_VerifyingFirst"));
    QTest::qWait(100);
    QCOMPARE(Server.totalRequests(), 1);
}

QTEST_GUILESS_MAIN(TestDifference)
#include "tst_difference.moc"
