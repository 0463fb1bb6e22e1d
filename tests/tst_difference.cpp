#include "RandomBytes.h"
#include "TestEnvironment.h"

#include "support/LoopbackHttpServer.h"

#include "ContentDefinedChunker.h"
#include "Sha256.h"
#include "TFunnelEventSender.h"
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

} // namespace

class TestDifference : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void rearrangesMovedChunksInPlace();
    void singleChunkFilesAndDeletions();
    void fastScanTrustsTheInstalledDocument();
    void verification();
    void funnelEvents();

private:
    TPackageInstallation& job();

    std::shared_ptr<TLauncherFilesystemHelper> m_pHelper;
    std::unique_ptr<TPackageInstallation> m_pJob;
    QByteArray m_Big;
    QVector<QByteArray> m_Pieces; // of m_Big: every piece but the last ends at a content cut
};

void TestDifference::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Halvern GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("Torvane Online"));
    m_pHelper = std::make_shared<TLauncherFilesystemHelper>();
    auto pPackage = std::make_shared<TPackage>(0, QJsonObject{{"name", "Game"}, {"directoryname", "game"}}, QUrl());
    m_pJob = std::make_unique<TPackageInstallation>(pPackage, m_pHelper);
    m_Big = randomBytes(40 * 1000 * 1000, 7);
    m_Pieces = pieces(m_Big);
    QVERIFY(m_Pieces.size() >= 3);
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
    const QList<TFileToDownload> Result = job().FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
        New.m_Files, New.m_Chunks, {}, {}, false, QDir(Dir.path()), m_pHelper);
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
            QCOMPARE(Entry.m_ChunksToDownload, (std::vector<std::int32_t>{0, 1}));
        } else {
            // fetched whole through the packed form; a stale local copy is gone
            QCOMPARE(Entry.m_Chunks.size(), std::size_t(1));
            QCOMPARE(Entry.m_Chunks.front().m_Url.path(), QStringLiteral("/whole/") + Entry.m_LocalFile);
            QCOMPARE(Entry.m_ChunksToDownload, std::vector<std::int32_t>{0});
            QVERIFY(!QFile::exists(Dir.filePath(Entry.m_LocalFile)));
        }
    }
    QVERIFY(QFile::exists(Dir.filePath(QStringLiteral("old/obsolete.txt")))); // deleting is the job's download phase

    // an installed document that failed to parse deletes nothing
    const TPackageDifference Nothing = job().computeRequiredChanges(QDir(Dir.path()), m_pHelper, NewReader, TPackageConfigurationReader(), false);
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
    QCOMPARE(Full.front().m_ChunksToDownload, (std::vector<std::int32_t>{0, 1}));
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
    QCOMPARE(First.method, QByteArray("POST"));
    QCOMPARE(First.header("content-type"), QByteArray("application/json"));
    const QJsonObject FirstEvent = QJsonDocument::fromJson(First.body).object();
    QCOMPARE(FirstEvent.value(QStringLiteral("step")).toString(), QStringLiteral("launcher_started"));
    QCOMPARE(FirstEvent.value(QStringLiteral("first")).toBool(), true);
    const QString Id = FirstEvent.value(QStringLiteral("id")).toString();
    QCOMPARE(Id.size(), 36);
    QCOMPARE(QSettings().value(QStringLiteral("FunnelUuid")).toString(), Id);
    QVERIFY(First.body.contains('\n')); // indented form

    // the next run: not first any more, same id; another step is first on its own
    QCOMPARE(TFunnelEventSender::makeEvent(QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst")).object().value(QStringLiteral("first")).toBool(), false);
    const QJsonObject Downloaded = TFunnelEventSender::makeEvent(QStringLiteral("launcher_downloaded"), QStringLiteral("FunnelFinishedDownloadingFirst")).object();
    QCOMPARE(Downloaded.value(QStringLiteral("first")).toBool(), true);
    QCOMPARE(Downloaded.value(QStringLiteral("id")).toString(), Id);

    // a removed id is made anew; the flags stay
    QSettings().remove(QStringLiteral("FunnelUuid"));
    const QJsonObject Again = TFunnelEventSender::makeEvent(QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst")).object();
    QVERIFY(Again.value(QStringLiteral("id")).toString() != Id);
    QCOMPARE(Again.value(QStringLiteral("first")).toBool(), false);

    // no funnel address: nothing is posted and nothing breaks
    Sender.send(QUrl(), QStringLiteral("launcher_verified"), QStringLiteral("FunnelFinished_VerifyingFirst"));
    QTest::qWait(100);
    QCOMPARE(Server.totalRequests(), 1);
}

QTEST_GUILESS_MAIN(TestDifference)
#include "tst_difference.moc"
