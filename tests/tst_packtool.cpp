#include "TestEnvironment.h"

#include "BundleContainer.h"
#include "Sha256.h"
#include "TLauncherConfigurationReader.h"
#include "TPackage.h"
#include "TPackageConfigurationReader.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

using namespace zarvo::launcher;

// Drives the real torvane-pack binary: packs generated trees and checks the result with
// the launcher's own reader and container decoder.
class TestPackTool : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void packedTreeReadsBackThroughTheLauncher();
    void outputIsTheSameWhateverTheThreads();
    void unchangedChunksKeepTheirNamesAcrossVersions();
    void eachCodecRoundTrips_data();
    void eachCodecRoundTrips();
    void incompressibleChunksAreStored();
    void assetsCountChunkPositionsOnAfterThePackage();
    void badCommandLinesWriteNothing_data();
    void badCommandLinesWriteNothing();
    void doubtfulExecutableIsWarnedAbout();
    void failedRunKeepsThePreviousDocument();
    void unpackCommand();
    void configDocumentReadsBackThroughTheLauncher();
    void badConfigCommandLinesWriteNothing_data();
    void badConfigCommandLinesWriteNothing();

private:
    QTemporaryDir m_Work;
    QString m_Tree;      // the main source tree
    QString m_TreeOut;   // packed with --codec 3 and all package options
};

namespace {

struct TRun {
    int m_ExitCode = -1;
    QByteArray m_Out;
    QByteArray m_Err;
};

TRun runTool(const QStringList& Arguments)
{
    QProcess Process;
    Process.start(QStringLiteral(TORVANE_BIN_DIR "/torvane-pack"), Arguments);
    TRun Run;
    if (!Process.waitForStarted(10000) || !Process.waitForFinished(120000)) {
        Process.kill();
        Process.waitForFinished();
        Run.m_Err = "did not run to the end";
        return Run;
    }
    Run.m_ExitCode = Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1;
    Run.m_Out = Process.readAllStandardOutput();
    Run.m_Err = Process.readAllStandardError();
    return Run;
}

QByteArray readFile(const QString& Path)
{
    QFile File(Path);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

void writeFile(const QString& Path, const QByteArray& Data, bool Executable = false)
{
    QDir().mkpath(QFileInfo(Path).path());
    QFile File(Path);
    QVERIFY(File.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(File.write(Data), Data.size());
    File.close();
    if (Executable) {
        QVERIFY(File.setPermissions(File.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther));
    }
}

QByteArray randomBytes(int Size, quint64 Seed)
{
    QByteArray Data(Size, Qt::Uninitialized);
    quint64 State = Seed;
    for (int Index = 0; Index < Size; Index += 8) {
        State += 0x9E3779B97F4A7C15ull;
        quint64 Value = State;
        Value = (Value ^ (Value >> 30)) * 0xBF58476D1CE4E5B9ull;
        Value = (Value ^ (Value >> 27)) * 0x94D049BB133111EBull;
        Value ^= Value >> 31;
        for (int Byte = 0; Byte < 8 && Index + Byte < Size; ++Byte) {
            Data[Index + Byte] = char(Value >> (8 * Byte));
        }
    }
    return Data;
}

QByteArray textBytes(int Size, quint64 Seed)
{
    static const char* const kWords[] = {"player", "launcher", "update", "chunk", "server", "the", "of", "game", "file", "patch"};
    const QByteArray Noise = randomBytes(Size, Seed);
    QByteArray Text;
    for (int Index = 0; Text.size() < Size; ++Index) {
        Text += kWords[uchar(Noise[Index % Noise.size()]) % 10];
        Text += (Index % 13 == 12) ? '\n' : ' ';
    }
    Text.truncate(Size);
    return Text;
}

// Every file below Directory (relative path -> bytes), to compare whole outputs.
QMap<QString, QByteArray> snapshot(const QString& Directory)
{
    QMap<QString, QByteArray> Files;
    QDirIterator It(Directory, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (It.hasNext()) {
        const QString Path = It.next();
        Files.insert(QDir(Directory).relativeFilePath(Path), readFile(Path));
    }
    return Files;
}

TPackageConfigurationReader readPackage(const QString& Directory, const QString& AssetsDirectory = QString())
{
    return TPackageConfigurationReader(readFile(Directory + "/package.json"),
                                       AssetsDirectory.isEmpty() ? QByteArray() : readFile(AssetsDirectory + "/assets.json"),
                                       QUrl::fromLocalFile(Directory), QUrl::fromLocalFile(AssetsDirectory));
}

// The container header of a chunk file as the tool must write it: payload at offset 32,
// nothing behind it.
int algorithmOf(const QByteArray& Body)
{
    shared::TBundleHeader Header;
    if (!shared::readBundleHeader(Body.constData(), size_t(Body.size()), Header) || Header.m_PayloadOffset != 32
        || quint64(Body.size()) != 32 + Header.m_PackedSize) {
        return -1;
    }
    return Header.m_Algorithm;
}

// Checks every chunk (served bytes against packed size and hash, decoded bytes against
// unpacked size and hash) and rebuilds every file from its chunks as the launcher would,
// comparing it with the file in its source tree. Returns the algorithm of each chunk.
QList<int> verifyAgainstSources(const TPackageConfigurationReader& Reader, const QString& Source, const QString& AssetsSource = QString())
{
    QList<int> Algorithms;
    [&] {
        QVERIFY(Reader.m_Valid);
        for (const TChunkInPackage& Chunk : Reader.m_Chunks) {
            QVERIFY(Chunk.m_Url.isLocalFile());
            const QByteArray Body = readFile(Chunk.m_Url.toLocalFile());
            QCOMPARE(quint64(Body.size()), Chunk.m_PackedSize);
            QCOMPARE(shared::TSha256::hash(Body), Chunk.m_PackedHash);
            const int Algorithm = algorithmOf(Body);
            QVERIFY2(Algorithm >= 0, qPrintable(Chunk.m_Url.toString()));
            Algorithms.append(Algorithm);
            const QByteArray Data = shared::decompressBundleData(Body, Chunk.m_UnpackedSize);
            QCOMPARE(quint64(Data.size()), Chunk.m_UnpackedSize);
            QCOMPARE(shared::TSha256::hash(Data), Chunk.m_UnpackedHash);
            QVERIFY(Chunk.m_Unpack);
        }
        for (const TFileInPackage& File : Reader.m_Files) {
            QString Path = Source + '/' + File.m_LocalFile;
            if (!QFileInfo::exists(Path)) {
                Path = AssetsSource + '/' + File.m_LocalFile;
            }
            const QByteArray Original = readFile(Path);
            QCOMPARE(File.m_UnpackedSize, quint64(Original.size()));
            QCOMPARE(File.m_UnpackedHash, shared::TSha256::hash(Original));
            QByteArray Rebuilt;
            for (std::int32_t Position : File.m_Chunks) {
                const TChunkInPackage& Chunk = Reader.m_Chunks[size_t(Position)];
                Rebuilt += shared::decompressBundleData(readFile(Chunk.m_Url.toLocalFile()), Chunk.m_UnpackedSize);
            }
            QVERIFY2(Rebuilt == Original, qPrintable(File.m_LocalFile));
        }
    }();
    return Algorithms;
}

const TFileInPackage* findFile(const TPackageConfigurationReader& Reader, const QString& LocalFile)
{
    for (const TFileInPackage& File : Reader.m_Files) {
        if (File.m_LocalFile == LocalFile) {
            return &File;
        }
    }
    return nullptr;
}

} // namespace

void TestPackTool::initTestCase()
{
    QVERIFY(QFileInfo(QStringLiteral(TORVANE_BIN_DIR "/torvane-pack")).isExecutable());
    QVERIFY(m_Work.isValid());
    m_Tree = m_Work.path() + "/tree";
    writeFile(m_Tree + "/readme.txt", textBytes(3000, 1));
    writeFile(m_Tree + "/B.txt", "upper case sorts first\n");
    writeFile(m_Tree + "/a.txt", "then lower case\n");
    writeFile(m_Tree + "/empty.dat", QByteArray());
    writeFile(m_Tree + "/.hidden", "hidden files are part of the game too\n");
    writeFile(m_Tree + "/bin/game", "#!/bin/sh\necho game\n", true);
    writeFile(m_Tree + "/data/copy-of-readme.txt", textBytes(3000, 1));
    writeFile(m_Tree + "/data/big.bin", randomBytes(20 * 1000 * 1000, 7));
    QVERIFY(QFile::link(m_Tree + "/a.txt", m_Tree + "/data/link-to-a.txt"));

    m_TreeOut = m_Work.path() + "/tree-out";
    const TRun Run = runTool({"pack", m_Tree, m_TreeOut, "--version", "2.5.1", "--executable", "./bin/game", "--parameter", "-fullscreen",
                              "--parameter", "--lang=de", "--generation", "second", "--variant", "beta", "--codec", "3", "--quiet"});
    QVERIFY2(Run.m_ExitCode == 0, Run.m_Err.constData());
    QVERIFY2(Run.m_Err.isEmpty(), Run.m_Err.constData()); // --quiet
}

void TestPackTool::packedTreeReadsBackThroughTheLauncher()
{
    const TPackageConfigurationReader Reader = readPackage(m_TreeOut);
    QVERIFY(Reader.m_Valid);
    QCOMPARE(Reader.m_Version, QStringLiteral("2.5.1"));
    QCOMPARE(Reader.m_Executable, QStringLiteral("bin/game"));
    QCOMPARE(Reader.m_Parameters, QStringList({"-fullscreen", "--lang=de"}));
    QCOMPARE(Reader.m_Generation, EPackageGeneration::Second);
    QCOMPARE(Reader.m_Variant, EPackageVariant::Beta);

    // the document lists the files in the launcher's order already
    QStringList Names;
    for (const TFileInPackage& File : Reader.m_Files) {
        Names << File.m_LocalFile;
    }
    const QStringList Expected = {".hidden",   "B.txt",     "a.txt", "bin/game", "data/big.bin", "data/copy-of-readme.txt",
                                  "data/link-to-a.txt", "empty.dat", "readme.txt"};
    QCOMPARE(Names, Expected);
    const QJsonArray DocumentFiles = QJsonDocument::fromJson(readFile(m_TreeOut + "/package.json")).object().value("files").toArray();
    QStringList DocumentOrder;
    for (const QJsonValue& File : DocumentFiles) {
        DocumentOrder << File.toObject().value("localfile").toString();
    }
    QCOMPARE(DocumentOrder, Expected);

    QVERIFY(findFile(Reader, "bin/game")->m_Executable);
    QVERIFY(!findFile(Reader, "readme.txt")->m_Executable);
    // a link is packed as a copy of its target
    QCOMPARE(findFile(Reader, "data/link-to-a.txt")->m_UnpackedHash, findFile(Reader, "a.txt")->m_UnpackedHash);

    const TFileInPackage* pEmpty = findFile(Reader, "empty.dat");
    QVERIFY(pEmpty->m_Chunks.empty());
    QVERIFY(pEmpty->m_PackedForm.m_Url.isEmpty());
    QCOMPARE(pEmpty->m_UnpackedSize, quint64(0));
    QCOMPARE(pEmpty->m_UnpackedHash, shared::TSha256::hash(QByteArray()));

    // a file of one chunk can also be fetched whole; its packed form is that chunk
    const TFileInPackage* pReadme = findFile(Reader, "readme.txt");
    QCOMPARE(pReadme->m_Chunks.size(), size_t(1));
    const TChunkInPackage& Only = Reader.m_Chunks[size_t(pReadme->m_Chunks[0])];
    QCOMPARE(pReadme->m_PackedForm.m_Url, Only.m_Url);
    QCOMPARE(pReadme->m_PackedForm.m_PackedHash, Only.m_PackedHash);
    QCOMPARE(pReadme->m_PackedForm.m_PackedSize, Only.m_PackedSize);
    QCOMPARE(pReadme->m_PackedForm.m_UnpackedHash, pReadme->m_UnpackedHash);
    QCOMPARE(Only.m_Url, QUrl::fromLocalFile(m_TreeOut + "/chunks/" + Only.m_UnpackedHash.toHex() + ".bin"));

    // identical content is stored once
    QCOMPARE(findFile(Reader, "data/copy-of-readme.txt")->m_Chunks, pReadme->m_Chunks);
    QSet<QByteArray> Distinct;
    for (const TChunkInPackage& Chunk : Reader.m_Chunks) {
        Distinct.insert(Chunk.m_UnpackedHash);
    }
    QCOMPARE(Distinct.size(), int(Reader.m_Chunks.size()));
    QCOMPARE(QDir(m_TreeOut + "/chunks").entryList(QDir::Files | QDir::Hidden).size(), int(Reader.m_Chunks.size()));

    // the big file is cut into several chunks and has no whole-file form
    const TFileInPackage* pBig = findFile(Reader, "data/big.bin");
    QVERIFY(pBig->m_Chunks.size() >= 2);
    QVERIFY(pBig->m_PackedForm.m_Url.isEmpty());

    const QList<int> Algorithms = verifyAgainstSources(Reader, m_Tree);
    // random data does not shrink and is stored; text does
    QCOMPARE(Algorithms.at(int(pBig->m_Chunks[0])), 0);
    QCOMPARE(Algorithms.at(int(pReadme->m_Chunks[0])), 3);
}

void TestPackTool::outputIsTheSameWhateverTheThreads()
{
    const QString Output = m_Work.path() + "/threads-1";
    const TRun Run = runTool({"pack", m_Tree, Output, "--version", "2.5.1", "--executable", "bin/game", "--parameter", "-fullscreen",
                              "--parameter", "--lang=de", "--generation", "second", "--variant", "beta", "--codec", "deflate",
                              "--threads", "1", "--quiet"});
    QVERIFY2(Run.m_ExitCode == 0, Run.m_Err.constData());
    const QMap<QString, QByteArray> Reference = snapshot(m_TreeOut);
    QVERIFY(Reference.contains("package.json"));
    QCOMPARE(snapshot(Output).keys(), Reference.keys());
    QVERIFY(snapshot(Output) == Reference);

    // packing again into a filled directory changes nothing and leaves no temporary files
    const TRun Again = runTool({"pack", m_Tree, Output, "--version", "2.5.1", "--executable", "bin/game", "--parameter", "-fullscreen",
                                "--parameter", "--lang=de", "--generation", "second", "--variant", "beta", "--codec", "3", "--threads", "2"});
    QVERIFY2(Again.m_ExitCode == 0, Again.m_Err.constData());
    QVERIFY(Again.m_Err.contains("package: 9 files")); // the summary line without --quiet
    QVERIFY(snapshot(Output) == Reference);
}

void TestPackTool::unchangedChunksKeepTheirNamesAcrossVersions()
{
    // A new version whose big file got bytes inserted near its start: content-defined
    // cutting finds the old boundaries again, so the old chunks keep their names and
    // players fetch only the changed ones.
    const QString Old = m_Work.path() + "/v1";
    const QString New = m_Work.path() + "/v2";
    const QByteArray Data = randomBytes(24 * 1000 * 1000, 11);
    writeFile(Old + "/data.bin", Data);
    writeFile(New + "/data.bin", Data.left(1000) + "inserted in version 2" + Data.mid(1000));
    QCOMPARE(runTool({"pack", Old, Old + "-out", "--version", "1", "--codec", "0", "--quiet"}).m_ExitCode, 0);
    QCOMPARE(runTool({"pack", New, New + "-out", "--version", "2", "--codec", "0", "--quiet"}).m_ExitCode, 0);
    const TPackageConfigurationReader V1 = readPackage(Old + "-out");
    const TPackageConfigurationReader V2 = readPackage(New + "-out");
    verifyAgainstSources(V2, New);
    QSet<QByteArray> OldHashes;
    for (const TChunkInPackage& Chunk : V1.m_Chunks) {
        OldHashes.insert(Chunk.m_UnpackedHash);
    }
    int Reused = 0;
    for (const TChunkInPackage& Chunk : V2.m_Chunks) {
        Reused += OldHashes.contains(Chunk.m_UnpackedHash) ? 1 : 0;
    }
    QVERIFY(V2.m_Chunks.size() >= 2);
    QCOMPARE(Reused, int(V2.m_Chunks.size()) - 1);
}

void TestPackTool::eachCodecRoundTrips_data()
{
    QTest::addColumn<QString>("Codec");
    QTest::addColumn<int>("Algorithm");
    QTest::newRow("stored") << "0" << 0;
    QTest::newRow("deflate") << "3" << 3;
    QTest::newRow("lzip") << "4" << 4;
    QTest::newRow("lzma") << "5" << 5;
    QTest::newRow("zpaq") << "6" << 6;
    QTest::newRow("lzma by name") << "lzma" << 5;
}

void TestPackTool::eachCodecRoundTrips()
{
    QFETCH(QString, Codec);
    QFETCH(int, Algorithm);
    const QString Source = m_Work.path() + "/codec-tree";
    if (!QFileInfo::exists(Source)) {
        writeFile(Source + "/text.txt", textBytes(300000, 3));
        writeFile(Source + "/noise.bin", randomBytes(70000, 4));
        writeFile(Source + "/one.byte", "x");
        writeFile(Source + "/bin/run", textBytes(5000, 5), true);
    }
    const QString Output = m_Work.path() + "/codec-" + QTest::currentDataTag();
    const TRun Run = runTool({"pack", Source, Output, "--version", "7", "--codec", Codec, "--quiet"});
    QVERIFY2(Run.m_ExitCode == 0, Run.m_Err.constData());
    const TPackageConfigurationReader Reader = readPackage(Output);
    const QList<int> Algorithms = verifyAgainstSources(Reader, Source);
    QCOMPARE(Algorithms.at(int(findFile(Reader, "text.txt")->m_Chunks[0])), Algorithm);
    QCOMPARE(Algorithms.at(int(findFile(Reader, "bin/run")->m_Chunks[0])), Algorithm);
    // what a codec cannot shrink is stored, never served bigger than a stored container
    for (const char* Incompressible : {"noise.bin", "one.byte"}) {
        const TFileInPackage* pFile = findFile(Reader, Incompressible);
        QCOMPARE(Algorithms.at(int(pFile->m_Chunks[0])), 0);
        QCOMPARE(pFile->m_PackedForm.m_PackedSize, pFile->m_UnpackedSize + 32);
    }
    if (Algorithm != 0) {
        QVERIFY(findFile(Reader, "text.txt")->m_PackedForm.m_PackedSize < 300000 / 2);
    }
}

void TestPackTool::incompressibleChunksAreStored()
{
    // Slow codecs skip chunks whose samples do not shrink, but a chunk that is only partly
    // incompressible still gets compressed.
    QTemporaryDir Scratch;
    const QString Source = Scratch.path() + "/src";
    writeFile(Source + "/texture.dds", randomBytes(1500000, 21));
    writeFile(Source + "/mixed.pak", randomBytes(1 << 20, 22) + textBytes(1 << 20, 23));
    const TRun Run = runTool({"pack", Source, Scratch.path() + "/out", "--version", "1", "--codec", "lzma", "--quiet"});
    QVERIFY2(Run.m_ExitCode == 0, Run.m_Err.constData());
    const TPackageConfigurationReader Reader = readPackage(Scratch.path() + "/out");
    const QList<int> Algorithms = verifyAgainstSources(Reader, Source);
    QCOMPARE(Algorithms.at(int(findFile(Reader, "texture.dds")->m_Chunks[0])), 0);
    QCOMPARE(Algorithms.at(int(findFile(Reader, "mixed.pak")->m_Chunks[0])), 5);
    QVERIFY(findFile(Reader, "mixed.pak")->m_PackedForm.m_PackedSize < quint64(1 << 20) * 3 / 2);
}

void TestPackTool::assetsCountChunkPositionsOnAfterThePackage()
{
    const QString Game = m_Work.path() + "/asset-game";
    const QString Assets = m_Work.path() + "/asset-assets";
    writeFile(Game + "/game.bin", textBytes(20000, 8));
    writeFile(Game + "/lib/a.so", textBytes(9000, 9));
    writeFile(Assets + "/textures/t1.pak", textBytes(40000, 10));
    writeFile(Assets + "/a-first.pak", textBytes(9000, 9)); // same bytes as a package file
    const QString Output = m_Work.path() + "/asset-out/package";
    const QString AssetsOutput = m_Work.path() + "/asset-out/assets";
    const TRun Run = runTool({"pack", Game, Output, "--version", "3", "--assets", Assets, AssetsOutput, "--assets-version", "12",
                              "--codec", "5", "--quiet"});
    QVERIFY2(Run.m_ExitCode == 0, Run.m_Err.constData());
    QVERIFY(!QFileInfo::exists(Output + "/assets.json"));

    const TPackageConfigurationReader Reader = readPackage(Output, AssetsOutput);
    QVERIFY(Reader.m_Valid);
    QCOMPARE(Reader.m_AssetsVersion, QStringLiteral("12"));
    QCOMPARE(Reader.versionLabel(), QStringLiteral("P3 A12"));
    QCOMPARE(Reader.m_Files.size(), size_t(4));
    QCOMPARE(Reader.m_Chunks.size(), size_t(4));
    const TFileInPackage* pTexture = findFile(Reader, "textures/t1.pak");
    const TChunkInPackage& AssetChunk = Reader.m_Chunks[size_t(pTexture->m_Chunks[0])];
    QVERIFY(pTexture->m_Chunks[0] >= 2); // after the package's two chunks
    QVERIFY(AssetChunk.m_Url.toLocalFile().startsWith(AssetsOutput + "/chunks/"));
    QVERIFY(pTexture->m_PackedForm.m_Url.toLocalFile().startsWith(AssetsOutput + "/chunks/"));
    verifyAgainstSources(Reader, Game, Assets);

    // alone, the package document is complete without the assets
    const TPackageConfigurationReader PackageOnly = readPackage(Output);
    QVERIFY(PackageOnly.m_Valid);
    QCOMPARE(PackageOnly.m_Files.size(), size_t(2));
}

void TestPackTool::badCommandLinesWriteNothing_data()
{
    // @TREE@: the main source tree, @OUT@: an output directory that must not appear,
    // @MISSING@: a path that does not exist, @FILE@: a regular file
    QTest::addColumn<QStringList>("Arguments");
    QTest::addColumn<int>("ExitCode");
    QTest::addColumn<QString>("Message");
    const QString Tree = QStringLiteral("@TREE@");
    QTest::newRow("missing source") << QStringList{"pack", "@MISSING@", "@OUT@", "--version", "1"} << 1 << "does not exist";
    QTest::newRow("source is a file") << QStringList{"pack", "@FILE@", "@OUT@", "--version", "1"} << 1 << "is not a directory";
    QTest::newRow("unknown option") << QStringList{"pack", Tree, "@OUT@", "--version", "1", "--fast"} << 2 << "unknown option '--fast'";
    QTest::newRow("no version") << QStringList{"pack", Tree, "@OUT@"} << 2 << "--version";
    QTest::newRow("option without value") << QStringList{"pack", Tree, "@OUT@", "--version"} << 2 << "--version needs a value";
    QTest::newRow("unknown codec") << QStringList{"pack", Tree, "@OUT@", "--version", "1", "--codec", "14"} << 2 << "unknown --codec '14'";
    QTest::newRow("bad variant") << QStringList{"pack", Tree, "@OUT@", "--version", "1", "--variant", "Beta"} << 2 << "--variant";
    QTest::newRow("bad threads") << QStringList{"pack", Tree, "@OUT@", "--version", "1", "--threads", "0"} << 2 << "--threads";
    QTest::newRow("output inside source") << QStringList{"pack", Tree, "@TREE@/out", "--version", "1"} << 2 << "inside SOURCE_DIR";
    QTest::newRow("unwritable output") << QStringList{"pack", Tree, "@FILE@/out", "--version", "1"} << 1 << "cannot create directory";
    QTest::newRow("assets without version") << QStringList{"pack", Tree, "@OUT@", "--version", "1", "--assets", "@TREE@/data", "@OUT@2"}
                                            << 2 << "--assets-version";
    QTest::newRow("assets inside source") << QStringList{"pack", Tree, "@OUT@", "--version", "1", "--assets", "@TREE@/data", "@OUT@2",
                                                         "--assets-version", "2"}
                                          << 2 << "must not contain one another";
    QTest::newRow("unknown command") << QStringList{"publish", Tree} << 2 << "unknown command 'publish'";
}

void TestPackTool::badCommandLinesWriteNothing()
{
    QFETCH(QStringList, Arguments);
    QFETCH(int, ExitCode);
    QFETCH(QString, Message);
    QTemporaryDir Scratch;
    const QString Output = Scratch.path() + "/out";
    writeFile(Scratch.path() + "/file", "not a directory");
    for (QString& Argument : Arguments) {
        Argument.replace("@MISSING@", Scratch.path() + "/missing")
            .replace("@FILE@", Scratch.path() + "/file")
            .replace("@TREE@", m_Tree)
            .replace("@OUT@", Output);
    }
    const auto TreeBefore = snapshot(m_Tree).keys();
    const TRun Run = runTool(Arguments);
    QCOMPARE(Run.m_ExitCode, ExitCode);
    QVERIFY2(Run.m_Err.startsWith("torvane-pack: ") && Run.m_Err.contains(Message.toUtf8()), Run.m_Err.constData());
    QVERIFY(!QFileInfo::exists(Output));
    QVERIFY(!QFileInfo::exists(Output + "2"));
    QVERIFY(!QFileInfo::exists(Scratch.path() + "/file/out"));
    QCOMPARE(snapshot(m_Tree).keys(), TreeBefore);
}

void TestPackTool::doubtfulExecutableIsWarnedAbout()
{
    // packed all the same (a broken package can be wanted on purpose), but never silently
    QTemporaryDir Scratch;
    const QString Source = Scratch.path() + "/src";
    writeFile(Source + "/bin/game", "#!/bin/sh\n", true);
    writeFile(Source + "/notes.txt", "not a program\n");
    const TRun Missing = runTool({"pack", Source, Scratch.path() + "/missing", "--version", "1", "--quiet", "--executable", "bin/gmae"});
    QCOMPARE(Missing.m_ExitCode, 0);
    QVERIFY2(Missing.m_Err.contains("warning: --executable 'bin/gmae' is not a file below SOURCE_DIR"), Missing.m_Err.constData());
    QCOMPARE(readPackage(Scratch.path() + "/missing").m_Executable, QStringLiteral("bin/gmae"));

    const TRun NotExecutable = runTool({"pack", Source, Scratch.path() + "/plain", "--version", "1", "--quiet", "--executable", "notes.txt"});
    QCOMPARE(NotExecutable.m_ExitCode, 0);
    QVERIFY2(NotExecutable.m_Err.contains("no execute permission"), NotExecutable.m_Err.constData());

    const TRun Fine = runTool({"pack", Source, Scratch.path() + "/fine", "--version", "1", "--quiet", "--executable", "bin/game"});
    QCOMPARE(Fine.m_ExitCode, 0);
    QVERIFY2(Fine.m_Err.isEmpty(), Fine.m_Err.constData());
}

void TestPackTool::failedRunKeepsThePreviousDocument()
{
    // A chunk that cannot be written (its name is taken by a directory) fails the run
    // half-way: the published package.json stays as it was and no temporary file is left.
    QTemporaryDir Scratch;
    const QString Output = Scratch.path() + "/out";
    writeFile(Output + "/package.json", "{\"version\": \"previous\"}");
    const QString Blocked = Output + "/chunks/" + shared::TSha256::hash(readFile(m_Tree + "/readme.txt")).toHex() + ".bin";
    writeFile(Blocked + "/occupied", "x");
    const TRun Run = runTool({"pack", m_Tree, Output, "--version", "3", "--codec", "3", "--quiet"});
    QCOMPARE(Run.m_ExitCode, 1);
    QVERIFY2(Run.m_Err.contains("cannot rename") && Run.m_Err.contains("package.json was not written"), Run.m_Err.constData());
    QCOMPARE(readFile(Output + "/package.json"), QByteArray("{\"version\": \"previous\"}"));
    for (const QString& Name : snapshot(Output).keys()) {
        QVERIFY2(!Name.endsWith(".tmp") && !Name.contains("package.json."), qPrintable(Name));
    }

    // a chunk directory that cannot be made stops the run before anything is written
    QTemporaryDir Other;
    writeFile(Other.path() + "/package.json", "previous");
    writeFile(Other.path() + "/chunks", "a file where the chunk directory belongs");
    const TRun NoChunkDirectory = runTool({"pack", m_Tree, Other.path(), "--version", "3", "--quiet"});
    QCOMPARE(NoChunkDirectory.m_ExitCode, 1);
    QVERIFY(NoChunkDirectory.m_Err.contains("cannot create directory"));
    QCOMPARE(readFile(Other.path() + "/package.json"), QByteArray("previous"));
}

void TestPackTool::unpackCommand()
{
    const TPackageConfigurationReader Reader = readPackage(m_TreeOut);
    const TFileInPackage* pReadme = findFile(Reader, "readme.txt");
    const TRun Chunk = runTool({"unpack", pReadme->m_PackedForm.m_Url.toLocalFile()});
    QCOMPARE(Chunk.m_ExitCode, 0);
    QCOMPARE(Chunk.m_Out, readFile(m_Tree + "/readme.txt"));
    QVERIFY(Chunk.m_Err.startsWith("algorithm 3, unpacked size 3000"));

    const TRun Plain = runTool({"unpack", m_Tree + "/a.txt"});
    QCOMPARE(Plain.m_ExitCode, 0);
    QCOMPARE(Plain.m_Out, QByteArray("then lower case\n"));
    QVERIFY(Plain.m_Err.contains("not a container"));

    // a container whose LZMA payload is damaged
    QTemporaryDir Scratch;
    QByteArray Broken = QByteArray(28, '\0') + char(0x70) + char(5) + char(100) + char(40) + QByteArray(40, 'z');
    writeFile(Scratch.path() + "/broken.bin", Broken);
    const TRun Bad = runTool({"unpack", Scratch.path() + "/broken.bin"});
    QCOMPARE(Bad.m_ExitCode, 1);
    QVERIFY(Bad.m_Out.isEmpty());
    QVERIFY2(Bad.m_Err.contains(shared::kInvalidCompressedDataMessage), Bad.m_Err.constData());

    const TRun Missing = runTool({"unpack", Scratch.path() + "/missing.bin"});
    QCOMPARE(Missing.m_ExitCode, 1);
    QVERIFY(Missing.m_Err.contains("cannot read"));
}

void TestPackTool::configDocumentReadsBackThroughTheLauncher()
{
    QTemporaryDir Scratch;
    const QString Output = Scratch.path() + "/live/launcher.json";
    const TRun Run = runTool({"config", Output, "--launcher", "launcher/package.json",
                              "--package", "Torvane Online", "torvane", "game/package.json", "--assets-url", "game/assets.json",
                              "--install-automatically", "--logo-link", "https://torvane.example/news",
                              "--package", "Public Test", "torvane-ptr", "https://ptr.example/ptr/package.json",
                              "--hints", "https://cdn.example/hints.json", "--hardwaresurvey", "https://survey.example/upload",
                              "--funnel", "https://funnel.example/events", "--prevent-default-autostart", "--show-package-names"});
    QVERIFY2(Run.m_ExitCode == 0, Run.m_Err.constData());

    const TLauncherConfigurationReader Reader(readFile(Output), QUrl("https://cdn.example/live/"));
    QVERIFY(Reader.getLauncherPackage());
    QCOMPARE(Reader.getLauncherPackage()->m_Id, TPackage::kLauncherPackageId);
    const TPackageBuild* pLauncherBuild = Reader.getLauncherPackage()->currentBuild();
    QVERIFY(pLauncherBuild);
    QCOMPARE(pLauncherBuild->m_Url, QUrl("https://cdn.example/live/launcher/package.json"));

    QCOMPARE(Reader.getPackages().size(), size_t(2));
    const TPackage& Game = *Reader.getPackages().at(0);
    QCOMPARE(Game.m_Name, QStringLiteral("Torvane Online"));
    QCOMPARE(Game.m_DirectoryName, QStringLiteral("torvane"));
    QVERIFY(Game.m_InstallAutomatically);
    QCOMPARE(Game.m_LogoLinkTarget, QUrl("https://torvane.example/news"));
    QCOMPARE(Game.m_Builds.size(), size_t(1));
    QCOMPARE(Game.m_Builds[0]->m_OperatingSystem, EOperatingSystem::Linux);
    QCOMPARE(Game.m_Builds[0]->m_Architecture, EArchitecture::X86_64);
    QVERIFY(Game.currentBuild()); // offered on this machine
    QCOMPARE(Game.m_Builds[0]->m_Url, QUrl("https://cdn.example/live/game/package.json"));
    QCOMPARE(Game.m_Builds[0]->m_AssetsUrl, QUrl("https://cdn.example/live/game/assets.json"));

    const TPackage& Test = *Reader.getPackages().at(1);
    QCOMPARE(Test.m_DirectoryName, QStringLiteral("torvane-ptr"));
    QVERIFY(!Test.m_InstallAutomatically);
    QVERIFY(Test.m_LogoLinkTarget.isEmpty());
    QCOMPARE(Test.m_Builds[0]->m_Url, QUrl("https://ptr.example/ptr/package.json"));
    QVERIFY(Test.m_Builds[0]->m_AssetsUrl.isEmpty());

    QCOMPARE(Reader.getHintsUrl(), QUrl("https://cdn.example/hints.json"));
    QCOMPARE(Reader.getHardwareSurveyUrl(), QUrl("https://survey.example/upload"));
    QCOMPARE(Reader.getFunnelUrl(), QUrl("https://funnel.example/events"));
    QVERIFY(Reader.getPreventDefaultAutostart());
    QVERIFY(Reader.getShowPackageNames());
}

void TestPackTool::badConfigCommandLinesWriteNothing_data()
{
    QTest::addColumn<QStringList>("Arguments");
    QTest::addColumn<QString>("Message");
    QTest::newRow("no package") << QStringList{"--hints", "https://a.example/h.json"} << "at least one --package";
    QTest::newRow("assets url first") << QStringList{"--assets-url", "a.json", "--package", "G", "g", "g.json"} << "belongs after a --package";
    QTest::newRow("package missing url") << QStringList{"--package", "G", "g"} << "--package needs a value";
    QTest::newRow("shared directory") << QStringList{"--package", "G", "g", "g.json", "--package", "H", "g", "h.json"} << "share the directory";
    QTest::newRow("directory with slash") << QStringList{"--package", "G", "a/b", "g.json"} << "single directory name";
    QTest::newRow("relative hints") << QStringList{"--package", "G", "g", "g.json", "--hints", "hints.json"} << "absolute http or https URL";
    QTest::newRow("ftp build") << QStringList{"--package", "G", "g", "ftp://a.example/g.json"} << "absolute http or https URL";
    QTest::newRow("unknown option") << QStringList{"--package", "G", "g", "g.json", "--autostart"} << "unknown option '--autostart'";
}

void TestPackTool::badConfigCommandLinesWriteNothing()
{
    QFETCH(QStringList, Arguments);
    QFETCH(QString, Message);
    QTemporaryDir Scratch;
    const QString Output = Scratch.path() + "/launcher.json";
    const TRun Run = runTool(QStringList{"config", Output} + Arguments);
    QCOMPARE(Run.m_ExitCode, 2);
    QVERIFY2(Run.m_Err.contains(Message.toUtf8()), Run.m_Err.constData());
    QVERIFY(!QFileInfo::exists(Output));
}

QTEST_GUILESS_MAIN(TestPackTool)
#include "tst_packtool.moc"
