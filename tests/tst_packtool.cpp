#include "TestEnvironment.h"

#include "BundleContainer.h"
#include "PackTool.h"
#include "Sha256.h"
#include "TLauncherConfigurationReader.h"
#include "TPackage.h"
#include "TPackageConfigurationReader.h"

#include <QMap>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

using namespace zarvo::launcher;
using testsupport::randomBytes;
using testsupport::readTreeFile;
using testsupport::writeTreeFile;

// Drives the real torvane-pack binary: packs generated trees and checks the result with
// the launcher's own reader and container decoder.
class TestPackTool : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void packedTreeReadsBackThroughTheLauncher();
    void outputIsTheSameWhateverTheThreads();
    void eachCodecRoundTrips_data();
    void eachCodecRoundTrips();
    void assetsCountChunkPositionsOnAfterThePackage();
    void chunkSizeIsDeclaredAndUsed_data();
    void chunkSizeIsDeclaredAndUsed();
    void badCommandLinesWriteNothing_data();
    void badCommandLinesWriteNothing();
    void failedRunKeepsThePreviousDocument();
    void unpackCommand();
    void configDocumentReadsBackThroughTheLauncher();

private:
    QTemporaryDir m_Work;
    QString m_Tree; // the main source tree
    QString m_MarkerTree; // a tree with a file named like a marker at its top
    QString m_TreeOut; // packed with --codec 3 and all package options
};

namespace {

struct TRun {
    int m_ExitCode = -1; // -1: crashed or did not finish
    QByteArray m_Out, m_Err;
};

TRun runTool(const QStringList& Arguments)
{
    QProcess Process;
    Process.start(testsupport::packToolBinary(), Arguments);
    const bool Finished = Process.waitForFinished(120000) && Process.exitStatus() == QProcess::NormalExit;
    return TRun {Finished ? Process.exitCode() : -1, Process.readAllStandardOutput(), Process.readAllStandardError()};
}

// Words in random order: text that compresses.
QByteArray textBytes(int Size, quint64 Seed)
{
    static const char* const kWords[] = {"player", "launcher", "update", "chunk", "server", "the", "of", "game", "file", "patch"};
    const QByteArray Noise = randomBytes(Size, Seed);
    QByteArray Text;
    for (int Index = 0; Text.size() < Size; ++Index) {
        Text += QByteArray(kWords[uchar(Noise[Index % Noise.size()]) % 10]) + ((Index % 13 == 12) ? '\n' : ' ');
    }
    Text.truncate(Size);
    return Text;
}

// Every file below Directory (relative path -> bytes), to compare whole outputs.
QMap<QString, QByteArray> snapshot(const QString& Directory)
{
    QMap<QString, QByteArray> Files;
    for (const QString& File : testsupport::treeFiles(Directory)) {
        Files.insert(File, readTreeFile(Directory + '/' + File));
    }
    return Files;
}

TPackageConfigurationReader readPackage(const QString& Directory, const QString& AssetsDirectory = QString())
{
    return TPackageConfigurationReader(readTreeFile(Directory + "/package.json"),
                                       AssetsDirectory.isEmpty() ? QByteArray() : readTreeFile(AssetsDirectory + "/assets.json"),
                                       QUrl::fromLocalFile(Directory), QUrl::fromLocalFile(AssetsDirectory));
}

// Checks every chunk (served bytes against packed size and hash, payload at offset 32 and
// nothing behind it, decoded bytes against unpacked size and hash) and rebuilds every file
// from its chunks, comparing it with its source. Returns each file's first chunk's algorithm.
QMap<QString, int> verifyAgainstSources(const TPackageConfigurationReader& Reader, const QString& Source,
                                        const QString& AssetsSource = QString())
{
    QList<int> Algorithms;
    QMap<QString, int> FileAlgorithms;
    [&] {
        QVERIFY(Reader.m_Valid);
        QList<QByteArray> Decoded;
        for (const TChunkInPackage& Chunk : Reader.m_Chunks) {
            QVERIFY(Chunk.m_Url.isLocalFile() && Chunk.m_Unpack);
            const QByteArray Body = readTreeFile(Chunk.m_Url.toLocalFile());
            QVERIFY(quint64(Body.size()) == Chunk.m_PackedSize && shared::TSha256::hash(Body) == Chunk.m_PackedHash);
            shared::TBundleHeader Header;
            QVERIFY2(shared::readBundleHeader(Body.constData(), size_t(Body.size()), Header) && Header.m_PayloadOffset == 32 &&
                         quint64(Body.size()) == 32 + Header.m_PackedSize,
                     qPrintable(Chunk.m_Url.toString()));
            Algorithms.append(Header.m_Algorithm);
            Decoded.append(shared::decompressBundleData(Body, Chunk.m_UnpackedSize));
            QVERIFY(quint64(Decoded.back().size()) == Chunk.m_UnpackedSize &&
                    shared::TSha256::hash(Decoded.back()) == Chunk.m_UnpackedHash);
        }
        for (const TFileInPackage& File : Reader.m_Files) {
            const QString Path = Source + '/' + File.m_LocalFile;
            const QByteArray Original = readTreeFile(QFileInfo::exists(Path) ? Path : AssetsSource + '/' + File.m_LocalFile);
            QVERIFY2(File.m_UnpackedSize == quint64(Original.size()) && File.m_UnpackedHash == shared::TSha256::hash(Original),
                     qPrintable(File.m_LocalFile));
            QByteArray Rebuilt;
            for (std::int32_t Position : File.m_Chunks) {
                Rebuilt += Decoded.at(Position);
            }
            QVERIFY2(Rebuilt == Original, qPrintable(File.m_LocalFile));
            FileAlgorithms.insert(File.m_LocalFile, File.m_Chunks.empty() ? -1 : Algorithms.at(File.m_Chunks[0]));
        }
    }();
    return FileAlgorithms;
}

const TFileInPackage& findFile(const TPackageConfigurationReader& Reader, const QString& LocalFile)
{
    const auto It = std::find_if(Reader.m_Files.begin(), Reader.m_Files.end(),
                                 [&](const TFileInPackage& File) { return File.m_LocalFile == LocalFile; });
    if (It == Reader.m_Files.end()) {
        qFatal("%s is not in the package", qPrintable(LocalFile));
    }
    return *It;
}

} // namespace

void TestPackTool::initTestCase()
{
    QVERIFY(QFileInfo(testsupport::packToolBinary()).isExecutable() && m_Work.isValid());
    m_Tree = m_Work.path() + "/tree";
    writeTreeFile(m_Tree, "readme.txt", textBytes(3000, 1));
    writeTreeFile(m_Tree, "B.txt", "upper case sorts first\n");
    writeTreeFile(m_Tree, "a.txt", "then lower case\n");
    writeTreeFile(m_Tree, "empty.dat", QByteArray());
    writeTreeFile(m_Tree, ".hidden", "hidden files are part of the game too\n");
    writeTreeFile(m_Tree, "bin/game", "#!/bin/sh\necho game\n", true);
    writeTreeFile(m_Tree, "data/copy-of-readme.txt", textBytes(3000, 1));
    writeTreeFile(m_Tree, "data/big.bin", randomBytes(20 * 1000 * 1000, 7));
    QVERIFY(QFile::link(m_Tree + "/a.txt", m_Tree + "/data/link-to-a.txt"));

    m_MarkerTree = m_Work.path() + "/marker-tree";
    writeTreeFile(m_MarkerTree, "data/package.json", "{}"); // below the top folder: allowed
    writeTreeFile(m_MarkerTree, "partial-package.json", "{}");

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
    QVERIFY(Reader.m_Generation == EPackageGeneration::Second && Reader.m_Variant == EPackageVariant::Beta);
    // the document lists the files in the launcher's order already
    QStringList DocumentOrder;
    for (const QJsonValue& File : QJsonDocument::fromJson(readTreeFile(m_TreeOut + "/package.json")).object().value("files").toArray()) {
        DocumentOrder << File.toObject().value("localfile").toString();
    }
    QCOMPARE(DocumentOrder,
             QStringList({".hidden", "B.txt", "a.txt", "bin/game", "data/big.bin", "data/copy-of-readme.txt", "data/link-to-a.txt",
                          "empty.dat", "readme.txt"}));

    QVERIFY(findFile(Reader, "bin/game").m_Executable);
    QVERIFY(!findFile(Reader, "readme.txt").m_Executable);
    QVERIFY(findFile(Reader, "empty.dat").m_Chunks.empty() && findFile(Reader, "empty.dat").m_PackedForm.m_Url.isEmpty());

    // a file of one chunk can also be fetched whole; its packed form is that chunk
    const TFileInPackage& Readme = findFile(Reader, "readme.txt");
    QCOMPARE(Readme.m_Chunks.size(), size_t(1));
    const TChunkInPackage& Only = Reader.m_Chunks[size_t(Readme.m_Chunks[0])];
    QCOMPARE(Only.m_Url, QUrl::fromLocalFile(m_TreeOut + "/chunks/" + Only.m_UnpackedHash.toHex() + ".bin"));
    QVERIFY(Readme.m_PackedForm.m_Url == Only.m_Url && Readme.m_PackedForm.m_PackedHash == Only.m_PackedHash);
    QCOMPARE(Readme.m_PackedForm.m_UnpackedHash, Readme.m_UnpackedHash);

    // identical content is stored once (chunk files are named by content)
    QCOMPARE(findFile(Reader, "data/copy-of-readme.txt").m_Chunks, Readme.m_Chunks);
    QCOMPARE(QDir(m_TreeOut + "/chunks").entryList(QDir::Files | QDir::Hidden).size(), int(Reader.m_Chunks.size()));

    // the big file is cut into several chunks and has no whole-file form
    QVERIFY(findFile(Reader, "data/big.bin").m_Chunks.size() >= 2 && findFile(Reader, "data/big.bin").m_PackedForm.m_Url.isEmpty());

    // random data does not shrink and is stored; text does
    const QMap<QString, int> Algorithms = verifyAgainstSources(Reader, m_Tree);
    QCOMPARE(Algorithms.value("data/big.bin"), 0);
    QCOMPARE(Algorithms.value("readme.txt"), 3);
}

void TestPackTool::outputIsTheSameWhateverTheThreads()
{
    const QStringList Options = {"--version",   "2.5.1",     "--executable", "bin/game", "--parameter", "-fullscreen",
                                 "--parameter", "--lang=de", "--generation", "second",   "--variant",   "beta"};
    const QString Output = m_Work.path() + "/threads-1";
    const TRun Run = runTool(QStringList {"pack", m_Tree, Output, "--codec", "deflate", "--threads", "1", "--quiet"} + Options);
    QVERIFY2(Run.m_ExitCode == 0, Run.m_Err.constData());
    const QMap<QString, QByteArray> Reference = snapshot(m_TreeOut);
    QCOMPARE(snapshot(Output).keys(), Reference.keys());
    QVERIFY(snapshot(Output) == Reference); // byte for byte

    // packing again into a filled directory changes nothing and leaves no temporary files
    const TRun Again = runTool(QStringList {"pack", m_Tree, Output, "--codec", "3", "--threads", "2"} + Options);
    QVERIFY2(Again.m_ExitCode == 0, Again.m_Err.constData());
    QVERIFY(Again.m_Err.contains("package: 9 files")); // the summary line without --quiet
    QVERIFY(snapshot(Output) == Reference);
}

void TestPackTool::eachCodecRoundTrips_data()
{
    QTest::addColumn<QString>("Codec");
    QTest::addColumn<int>("Algorithm");
    QTest::newRow("stored") << "0" << 0;
    QTest::newRow("deflate") << "3" << 3;
    QTest::newRow("lzip") << "4" << 4;
    QTest::newRow("lzma by name") << "lzma" << 5;
    QTest::newRow("zpaq") << "6" << 6;
}

void TestPackTool::eachCodecRoundTrips()
{
    QFETCH(QString, Codec);
    QFETCH(int, Algorithm);
    const QString Source = m_Work.path() + "/codec-tree";
    if (!QFileInfo::exists(Source)) {
        writeTreeFile(Source, "text.txt", textBytes(300000, 3));
        writeTreeFile(Source, "bin/run", textBytes(5000, 5), true);
        writeTreeFile(Source, "noise.bin", randomBytes(70000, 4));
        writeTreeFile(Source, "one.byte", "x");
        // slow codecs skip chunks whose samples do not shrink; one only partly
        // incompressible still gets compressed
        writeTreeFile(Source, "mixed.pak", randomBytes(1 << 20, 22) + textBytes(1 << 20, 23));
    }
    const QString Output = m_Work.path() + "/codec-" + QTest::currentDataTag();
    const TRun Run = runTool({"pack", Source, Output, "--version", "7", "--codec", Codec, "--quiet"});
    QVERIFY2(Run.m_ExitCode == 0, Run.m_Err.constData());
    const TPackageConfigurationReader Reader = readPackage(Output);
    const QMap<QString, int> Algorithms = verifyAgainstSources(Reader, Source);
    for (const char* Compressible : {"text.txt", "bin/run", "mixed.pak"}) {
        QCOMPARE(Algorithms.value(Compressible), Algorithm);
    }
    // what a codec cannot shrink is stored, never served bigger than a stored container
    for (const char* Incompressible : {"noise.bin", "one.byte"}) {
        QCOMPARE(Algorithms.value(Incompressible), 0);
        QCOMPARE(findFile(Reader, Incompressible).m_PackedForm.m_PackedSize, findFile(Reader, Incompressible).m_UnpackedSize + 32);
    }
    QVERIFY(Algorithm == 0 ||
            (findFile(Reader, "text.txt").m_PackedForm.m_PackedSize < 300000 / 2 &&
             findFile(Reader, "mixed.pak").m_PackedForm.m_PackedSize < 3 << 19));
}

void TestPackTool::assetsCountChunkPositionsOnAfterThePackage()
{
    const QString Game = m_Work.path() + "/asset-game", Assets = m_Work.path() + "/asset-assets";
    writeTreeFile(Game, "game.bin", textBytes(20000, 8));
    writeTreeFile(Game, "lib/a.so", textBytes(9000, 9));
    writeTreeFile(Assets, "textures/t1.pak", textBytes(40000, 10));
    writeTreeFile(Assets, "a-first.pak", textBytes(9000, 9)); // same bytes as a package file
    const QString Output = m_Work.path() + "/asset-out/package", AssetsOutput = m_Work.path() + "/asset-out/assets";
    const TRun Run = runTool(
        {"pack", Game, Output, "--version", "3", "--assets", Assets, AssetsOutput, "--assets-version", "12", "--codec", "5", "--quiet"});
    QVERIFY2(Run.m_ExitCode == 0, Run.m_Err.constData());
    QVERIFY(!QFileInfo::exists(Output + "/assets.json"));
    const TPackageConfigurationReader Reader = readPackage(Output, AssetsOutput);
    QCOMPARE(Reader.versionLabel(), QStringLiteral("P3 A12"));
    QVERIFY(Reader.m_Files.size() == 4 && Reader.m_Chunks.size() == 4);
    const TFileInPackage& Texture = findFile(Reader, "textures/t1.pak");
    QVERIFY(Texture.m_Chunks[0] >= 2 // after the package's two chunks
            && Reader.m_Chunks[size_t(Texture.m_Chunks[0])].m_Url.toLocalFile().startsWith(AssetsOutput + "/chunks/"));
    QVERIFY(Texture.m_PackedForm.m_Url.toLocalFile().startsWith(AssetsOutput + "/chunks/"));
    verifyAgainstSources(Reader, Game, Assets);
    // alone, the package document is complete without the assets
    const TPackageConfigurationReader PackageOnly = readPackage(Output);
    QVERIFY(PackageOnly.m_Valid && PackageOnly.m_Files.size() == 2);
}

void TestPackTool::chunkSizeIsDeclaredAndUsed_data()
{
    QTest::addColumn<QString>("Size");
    QTest::addColumn<quint64>("Minimum");
    QTest::addColumn<int>("MaskBits");
    QTest::addColumn<quint64>("Maximum");
    QTest::newRow("64K") << "64K" << quint64(16384) << 16 << quint64(262144);
    QTest::newRow("1M, in bytes") << "1048576" << quint64(262144) << 20 << quint64(4194304);
    QTest::newRow("16M: the maximum stays at 16M") << "16m" << quint64(4194304) << 24 << quint64(16777216);
}

void TestPackTool::chunkSizeIsDeclaredAndUsed()
{
    QFETCH(QString, Size);
    QFETCH(quint64, Minimum);
    QFETCH(int, MaskBits);
    QFETCH(quint64, Maximum);
    const QString Output = m_Work.path() + "/chunk-size-" + Size;
    const TRun Run = runTool({"pack", m_Tree, Output, "--version", "1", "--codec", "0", "--quiet", "--chunk-size", Size});
    QVERIFY2(Run.m_ExitCode == 0, Run.m_Err.constData());
    const TPackageConfigurationReader Reader = readPackage(Output);
    QVERIFY(Reader.m_Valid);
    QCOMPARE(Reader.m_Chunking.m_Minimum, Minimum);
    QCOMPARE(Reader.m_Chunking.m_MaskBits, MaskBits);
    QCOMPARE(Reader.m_Chunking.m_Maximum, Maximum);
    verifyAgainstSources(Reader, m_Tree);

    // the big file is cut with the declared values: the launcher's scan finds the same pieces
    const QByteArray Big = readTreeFile(m_Tree + "/data/big.bin");
    std::vector<std::uint64_t> Expected;
    for (std::size_t Offset = 0; Offset < std::size_t(Big.size()); Offset += Expected.back()) {
        Expected.push_back(shared::nextPieceLength(reinterpret_cast<const unsigned char*>(Big.constData()) + Offset,
                                                   std::size_t(Big.size()) - Offset, Reader.m_Chunking));
    }
    std::vector<std::uint64_t> Packed;
    for (std::int32_t Position : findFile(Reader, "data/big.bin").m_Chunks) {
        Packed.push_back(Reader.m_Chunks[std::size_t(Position)].m_UnpackedSize);
    }
    QCOMPARE(Packed, Expected);
    QVERIFY(Packed.size() * Maximum >= std::uint64_t(Big.size()));

    // without --chunk-size the document has no "chunking" at all, as before the option
    QVERIFY(!QJsonDocument::fromJson(readTreeFile(m_TreeOut + "/package.json")).object().contains("chunking"));
    QVERIFY(readPackage(m_TreeOut).m_Chunking == shared::TChunkingParameters::defaults());
}

void TestPackTool::badCommandLinesWriteNothing_data()
{
    // @TREE@: the main source tree, @OUT@: an output that must not appear, @FILE@: a regular file,
    // @MARKERTREE@: a tree with a file named like one of the launcher's markers
    QTest::addColumn<QStringList>("Arguments");
    QTest::addColumn<int>("ExitCode");
    QTest::addColumn<QString>("Message");
    QTest::newRow("missing source") << QStringList {"pack", "@FILE@-missing", "@OUT@", "--version", "1"} << 1 << "does not exist";
    QTest::newRow("unknown option") << QStringList {"pack", "@TREE@", "@OUT@", "--version", "1", "--fast"} << 2
                                    << "unknown option '--fast'";
    QTest::newRow("output inside source") << QStringList {"pack", "@TREE@", "@TREE@/out", "--version", "1"} << 2 << "inside SOURCE_DIR";
    QTest::newRow("unwritable output") << QStringList {"pack", "@TREE@", "@FILE@/out", "--version", "1"} << 1 << "cannot create directory";
    QTest::newRow("a file named like a marker") << QStringList {"pack", "@MARKERTREE@", "@OUT@", "--version", "1"} << 1
                                                << "'partial-package.json' has the name of a launcher's marker file";
    QTest::newRow("assets without version") << QStringList {"pack", "@TREE@",   "@OUT@",       "--version",
                                                            "1",    "--assets", "@TREE@/data", "@OUT@2"}
                                            << 2 << "--assets-version";
    QTest::newRow("chunk size not a power of two")
        << QStringList {"pack", "@TREE@", "@OUT@", "--version", "1", "--chunk-size", "100K"} << 2 << "power of two";
    QTest::newRow("chunk size not a number") << QStringList {"pack", "@TREE@", "@OUT@", "--version", "1", "--chunk-size", "1.5M"} << 2
                                             << "power of two";
    QTest::newRow("chunk size below 64K") << QStringList {"pack", "@TREE@", "@OUT@", "--version", "1", "--chunk-size", "32K"} << 2
                                          << "outside 64K to 16M";
    QTest::newRow("chunk size above 16M") << QStringList {"pack", "@TREE@", "@OUT@", "--version", "1", "--chunk-size", "32M"} << 2
                                          << "outside 64K to 16M";
    QTest::newRow("config without package") << QStringList {"config", "@OUT@", "--hints", "https://a.example/h.json"} << 2
                                            << "at least one --package";
    QTest::newRow("config relative url") << QStringList {"config", "@OUT@", "--package", "G", "g", "g.json", "--hints", "h.json"} << 2
                                         << "absolute http or https URL";
}

void TestPackTool::badCommandLinesWriteNothing()
{
    QFETCH(QStringList, Arguments);
    QFETCH(int, ExitCode);
    QFETCH(QString, Message);
    QTemporaryDir Scratch;
    writeTreeFile(Scratch.path(), "file", "not a directory");
    Arguments.replaceInStrings("@FILE@", Scratch.path() + "/file")
        .replaceInStrings("@TREE@", m_Tree)
        .replaceInStrings("@MARKERTREE@", m_MarkerTree)
        .replaceInStrings("@OUT@", Scratch.path() + "/out");
    const QStringList TreeBefore = testsupport::treeFiles(m_Tree);
    const TRun Run = runTool(Arguments);
    QCOMPARE(Run.m_ExitCode, ExitCode);
    QVERIFY2(Run.m_Err.startsWith("torvane-pack: ") && Run.m_Err.contains(Message.toUtf8()), Run.m_Err.constData());
    QCOMPARE(testsupport::treeFiles(Scratch.path()), QStringList {"file"});
    QCOMPARE(testsupport::treeFiles(m_Tree), TreeBefore);
}

void TestPackTool::failedRunKeepsThePreviousDocument()
{
    // A chunk that cannot be written (its name is taken by a directory) fails the run
    // half-way: the published package.json stays as it was and no temporary file is left.
    QTemporaryDir Scratch;
    writeTreeFile(Scratch.path(), "package.json", "{\"version\": \"previous\"}");
    writeTreeFile(Scratch.path(), "chunks/" + shared::TSha256::hash(readTreeFile(m_Tree + "/readme.txt")).toHex() + ".bin/occupied", "x");
    const TRun Run = runTool({"pack", m_Tree, Scratch.path(), "--version", "3", "--codec", "3", "--quiet"});
    QVERIFY2(Run.m_ExitCode == 1 && Run.m_Err.contains("cannot rename") && Run.m_Err.contains("package.json was not written"),
             Run.m_Err.constData());
    QCOMPARE(readTreeFile(Scratch.path() + "/package.json"), QByteArray("{\"version\": \"previous\"}"));
    QCOMPARE(testsupport::treeFiles(Scratch.path()).filter(QRegularExpression("\\.tmp$|package\\.json\\.")), QStringList());
}

void TestPackTool::unpackCommand()
{
    const TRun Chunk = runTool({"unpack", findFile(readPackage(m_TreeOut), "readme.txt").m_PackedForm.m_Url.toLocalFile()});
    QVERIFY2(Chunk.m_ExitCode == 0 && Chunk.m_Err.startsWith("algorithm 3, unpacked size 3000"), Chunk.m_Err.constData());
    QCOMPARE(Chunk.m_Out, readTreeFile(m_Tree + "/readme.txt"));
    // a plain file passes through
    const TRun Plain = runTool({"unpack", m_Tree + "/a.txt"});
    QVERIFY2(Plain.m_ExitCode == 0 && Plain.m_Err.contains("not a container"), Plain.m_Err.constData());
    QCOMPARE(Plain.m_Out, QByteArray("then lower case\n"));
    // a container whose LZMA payload is damaged
    QTemporaryDir Scratch;
    writeTreeFile(Scratch.path(), "broken.bin", QByteArray(28, '\0') + char(0x70) + char(5) + char(100) + char(40) + QByteArray(40, 'z'));
    const TRun Bad = runTool({"unpack", Scratch.path() + "/broken.bin"});
    QVERIFY2(Bad.m_ExitCode == 1 && Bad.m_Out.isEmpty() && Bad.m_Err.contains(shared::kInvalidCompressedDataMessage),
             Bad.m_Err.constData());
}

void TestPackTool::configDocumentReadsBackThroughTheLauncher()
{
    QTemporaryDir Scratch;
    const QString Output = Scratch.path() + "/live/launcher.json";
    const TRun Run = runTool({"config",
                              Output,
                              "--launcher",
                              "launcher/package.json",
                              "--package",
                              "Torvane Online",
                              "torvane",
                              "game/package.json",
                              "--assets-url",
                              "game/assets.json",
                              "--install-automatically",
                              "--logo-link",
                              "https://torvane.example/news",
                              "--package",
                              "Public Test",
                              "torvane-ptr",
                              "https://ptr.example/ptr/package.json",
                              "--hints",
                              "https://cdn.example/hints.json",
                              "--hardwaresurvey",
                              "https://survey.example/upload",
                              "--funnel",
                              "https://funnel.example/events",
                              "--prevent-default-autostart",
                              "--show-package-names"});
    QVERIFY2(Run.m_ExitCode == 0, Run.m_Err.constData());
    const TLauncherConfigurationReader Reader(readTreeFile(Output), QUrl("https://cdn.example/live/"));
    QVERIFY(Reader.getLauncherPackage() && Reader.getLauncherPackage()->currentBuild());
    QCOMPARE(Reader.getLauncherPackage()->m_Id, TPackage::kLauncherPackageId);
    QCOMPARE(Reader.getLauncherPackage()->currentBuild()->m_Url, QUrl("https://cdn.example/live/launcher/package.json"));

    QCOMPARE(Reader.getPackages().size(), size_t(2));
    const TPackage& Game = *Reader.getPackages().at(0);
    QVERIFY(Game.m_Name == "Torvane Online" && Game.m_DirectoryName == "torvane" && Game.m_InstallAutomatically);
    QCOMPARE(Game.m_LogoLinkTarget, QUrl("https://torvane.example/news"));
    QVERIFY(Game.m_Builds.size() == 1 && Game.currentBuild()); // offered on this machine
    QCOMPARE(Game.m_Builds[0]->m_Url, QUrl("https://cdn.example/live/game/package.json"));
    QCOMPARE(Game.m_Builds[0]->m_AssetsUrl, QUrl("https://cdn.example/live/game/assets.json"));

    const TPackage& Test = *Reader.getPackages().at(1);
    QVERIFY(Test.m_DirectoryName == "torvane-ptr" && !Test.m_InstallAutomatically && Test.m_LogoLinkTarget.isEmpty() &&
            Test.m_Builds[0]->m_AssetsUrl.isEmpty());
    QCOMPARE(Test.m_Builds[0]->m_Url, QUrl("https://ptr.example/ptr/package.json"));
    QVERIFY(Reader.getHintsUrl() == QUrl("https://cdn.example/hints.json") &&
            Reader.getFunnelUrl() == QUrl("https://funnel.example/events"));
    QCOMPARE(Reader.getHardwareSurveyUrl(), QUrl("https://survey.example/upload"));
    QVERIFY(Reader.getPreventDefaultAutostart() && Reader.getShowPackageNames());
}

QTEST_GUILESS_MAIN(TestPackTool)
#include "tst_packtool.moc"
