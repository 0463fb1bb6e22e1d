#include "TestEnvironment.h"

#include "TLauncherConfigurationReader.h"
#include "TLauncherFilesystemHelper.h"
#include "TPackageConfigurationReader.h"
#include "TPackageMarkers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

using namespace zarvo::launcher;

class TestDocuments : public QObject {
    Q_OBJECT
private slots:
    void packageDocument();
    void assetsDocumentAndVersions();
    void brokenPackageDocuments();
    void refusedPackageDocuments_data();
    void refusedPackageDocuments();
    void localFileNames_data();
    void localFileNames();
    void urlResolution();
    void launcherDocument();
    void brokenLauncherDocuments();
    void refusedLauncherDocuments_data();
    void refusedLauncherDocuments();
    void localStatusAndMarkers();
    void defaultMarker();
};

namespace {

const QByteArray kPackageDocument = R"({
  "version": "1.2", "executable": "bin/game", "generation": "second", "variant": "beta",
  "parameters": ["-a", "-b"],
  "chunks": [
    {"url": "chunks/c0.bin", "packedsize": 10, "packedhash": "AABB", "unpackedsize": 20, "unpackedhash": "ccdd"},
    {"url": "http://other.example/c1.bin?sig=1", "packedsize": "7", "unpack": false}
  ],
  "files": [
    {"localfile": "b", "unpackedsize": 20, "unpackedhash": "0011", "chunks": [0, 1]},
    {"localfile": "a", "executable": true, "url": "whole/a.bin", "packedsize": 5,
     "patches": [{"url": "p.bin", "fromversion": 3, "toversion": 4, "size": 99}]},
    {"localfile": "B"}
  ]
})";

QByteArray launcherJson(const QByteArray& Packages)
{
    return R"({"launcher": {"name": "Launcher", "builds": [{"os": "linux", "architecture": "x86_64", "url": "launcher/package.json"}]},
               "packages": )" +
        Packages + R"(, "hints": "http://h.example/hints.json", "preventdefaultautostart": true})";
}

const QByteArray kTwoPackages = R"([
  {"name": "Torvane", "directoryname": "torvane", "installautomatically": true, "logolinktarget": "http://t.example",
   "builds": [{"os": "windows", "architecture": "x86_64", "url": "win.json"},
              {"os": "Linux", "architecture": "X86_64", "url": "sub/package.json?x=1", "assetsurl": "/assets.json"}]},
  {"name": "Other", "directoryname": "other", "builds": [{"os": "linux", "architecture": "i386", "url": "i386.json"}]},
  {"directoryname": "bare"}
])";

} // namespace

void TestDocuments::packageDocument()
{
    const QUrl Base(QStringLiteral("http://cdn.example/game/v1/"));
    TPackageConfigurationReader Reader(kPackageDocument, QByteArray(), Base, QUrl());
    QVERIFY(Reader.m_Valid);
    QCOMPARE(Reader.m_Version, QStringLiteral("1.2"));
    QCOMPARE(Reader.m_Executable, QStringLiteral("bin/game"));
    QCOMPARE(Reader.m_Generation, EPackageGeneration::Second);
    QCOMPARE(Reader.m_Variant, EPackageVariant::Beta);
    QCOMPARE(Reader.m_Parameters, (QStringList {"-a", "-b"}));
    QCOMPARE(Reader.m_PackageDocument, kPackageDocument);
    QCOMPARE(Reader.versionLabel(), QStringLiteral("P1.2 A?"));

    QCOMPARE(Reader.m_Chunks.size(), std::size_t(2));
    QCOMPARE(Reader.m_Chunks[0].m_Url, QUrl(QStringLiteral("http://cdn.example/game/v1/chunks/c0.bin")));
    QCOMPARE(Reader.m_Chunks[0].m_PackedHash, QByteArray("\xAA\xBB", 2));
    QCOMPARE(Reader.m_Chunks[0].m_UnpackedHash, QByteArray("\xCC\xDD", 2));
    QCOMPARE(Reader.m_Chunks[0].m_UnpackedSize, quint64(20));
    QCOMPARE(Reader.m_Chunks[0].m_Unpack, true);
    QCOMPARE(Reader.m_Chunks[1].m_Url, QUrl(QStringLiteral("http://other.example/c1.bin?sig=1")));
    QCOMPARE(Reader.m_Chunks[1].m_PackedSize, quint64(7));
    QCOMPARE(Reader.m_Chunks[1].m_Unpack, false);

    // files ordered by code unit: B, a, b
    QCOMPARE(Reader.m_Files.size(), std::size_t(3));
    QCOMPARE(Reader.m_Files[0].m_LocalFile, QStringLiteral("B"));
    QCOMPARE(Reader.m_Files[1].m_LocalFile, QStringLiteral("a"));
    QCOMPARE(Reader.m_Files[2].m_LocalFile, QStringLiteral("b"));
    QCOMPARE(Reader.m_Files[0].m_Executable, false);
    QCOMPARE(Reader.m_Files[1].m_Executable, true);
    QCOMPARE(Reader.m_Files[1].m_PackedForm.m_Url, QUrl(QStringLiteral("http://cdn.example/game/v1/whole/a.bin")));
    QCOMPARE(Reader.m_Files[1].m_Patches.size(), std::size_t(1));
    QCOMPARE(Reader.m_Files[1].m_Patches[0].m_FromVersion, QStringLiteral("3"));
    QCOMPARE(Reader.m_Files[1].m_Patches[0].m_Size, 99);
    QCOMPARE(Reader.m_Files[2].m_Chunks, (std::vector<std::int32_t> {0, 1}));
    QVERIFY(Reader.m_Files[0].m_PackedForm.m_Url.isEmpty());
    // no "chunking": the cutting every older document was made with
    QVERIFY(Reader.m_Chunking == shared::TChunkingParameters::defaults());
    QCOMPARE(Reader.m_Chunking.m_Minimum, quint64(0x400000));
    QCOMPARE(Reader.m_Chunking.m_MaskBits, 22);
    QCOMPARE(Reader.m_Chunking.m_Maximum, quint64(0x1000000));
    // declared: taken as written, at the bounds too
    const TPackageConfigurationReader Fine(R"({"files": [], "chunking": {"minimum": 16384, "maskbits": 10, "maximum": 16777216}})",
                                           QByteArray(), Base, QUrl());
    QVERIFY(Fine.m_Valid);
    QCOMPARE(Fine.m_Chunking.m_Minimum, quint64(16384));
    QCOMPARE(Fine.m_Chunking.m_MaskBits, 10);
    QCOMPARE(Fine.m_Chunking.m_Maximum, quint64(16777216));
}

void TestDocuments::assetsDocumentAndVersions()
{
    const QByteArray Package = R"({"chunks": [{"url": "p0"}], "files": [{"localfile": "p", "chunks": [0]}]})";
    const QUrl Base(QStringLiteral("http://a.example/p/"));
    const QUrl AssetsBase(QStringLiteral("http://b.example/assets/"));
    TPackageConfigurationReader Number(
        Package, R"({"version": 3, "chunks": [{"url": "a0"}], "files": [{"localfile": "asset", "chunks": [1, 0]}]})", Base, AssetsBase);
    QVERIFY(Number.m_Valid);
    QCOMPARE(Number.m_Version, QString());
    QCOMPARE(Number.m_AssetsVersion, QStringLiteral("3"));
    QCOMPARE(Number.versionLabel(), QStringLiteral("P? A3"));
    QCOMPARE(Number.m_Chunks.size(), std::size_t(2));
    QCOMPARE(Number.m_Chunks[1].m_Url, QUrl(QStringLiteral("http://b.example/assets/a0")));
    QCOMPARE(Number.m_Files[0].m_LocalFile, QStringLiteral("asset"));
    QCOMPARE(Number.m_Files[0].m_Chunks, (std::vector<std::int32_t> {1, 0})); // positions in the combined list

    QCOMPARE(TPackageConfigurationReader(Package, R"({"version": 3.7, "files": []})", Base, AssetsBase).m_AssetsVersion,
             QStringLiteral("0"));
    QCOMPARE(TPackageConfigurationReader(Package, R"({"version": "3.7", "files": []})", Base, AssetsBase).m_AssetsVersion,
             QStringLiteral("3.7"));
    TPackageConfigurationReader NoAssets(Package, QByteArray(), Base, AssetsBase);
    QVERIFY(NoAssets.m_Valid);
    QVERIFY(NoAssets.m_AssetsVersion.isEmpty());
}

void TestDocuments::brokenPackageDocuments()
{
    const QUrl Base(QStringLiteral("http://a.example/"));
    QTest::ignoreMessage(QtCriticalMsg, "JSON package configuration file could not be parsed, using default package.");
    TPackageConfigurationReader Truncated(kPackageDocument.left(kPackageDocument.size() / 2), QByteArray(), Base, Base);
    QVERIFY(!Truncated.m_Valid);
    QVERIFY(Truncated.m_Files.empty() && Truncated.m_Chunks.empty());
    QCOMPARE(Truncated.versionLabel(), QStringLiteral("P? A?"));
    QCOMPARE(Truncated.m_PackageDocument, kPackageDocument.left(kPackageDocument.size() / 2));
    QVERIFY(Truncated.m_Error.contains(QLatin1String("not valid JSON")));

    QTest::ignoreMessage(QtCriticalMsg, "JSON asset configuration file could not be parsed, using default package.");
    QVERIFY(!TPackageConfigurationReader(kPackageDocument, "{", Base, Base).m_Valid);

    // a refusal found late keeps nothing that was read before it: no version, no files
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("refused.*refers to chunks")));
    TPackageConfigurationReader Late(R"({"version": "7", "executable": "x", "parameters": ["-p"], "chunks": [{"url": "c"}],
                                        "files": [{"localfile": "f", "chunks": [0, 1]}]})",
                                     R"({"version": "3", "files": []})", Base, Base);
    QVERIFY(!Late.m_Valid);
    QVERIFY(Late.m_Files.empty() && Late.m_Chunks.empty() && Late.m_Parameters.isEmpty() && Late.m_Executable.isEmpty());
    QCOMPARE(Late.versionLabel(), QStringLiteral("P? A?"));

    // names are stored normalised and the files sorted by them; "./" is no other file
    TPackageConfigurationReader Dotted(R"({"files": [{"localfile": "./b"}, {"localfile": "././a/x"}]})", QByteArray(), Base, Base);
    QVERIFY(Dotted.m_Valid);
    QCOMPARE(Dotted.m_Files[0].m_LocalFile, QStringLiteral("a/x"));
    QCOMPARE(Dotted.m_Files[1].m_LocalFile, QStringLiteral("b"));

    // a big document of many files stays fast and whole
    QByteArray Big = "{\"chunks\": [{\"url\": \"c\"}], \"files\": [";
    for (int Index = 0; Index < 20000; ++Index) {
        Big += (Index ? "," : "") + QByteArray("{\"localfile\": \"f") + QByteArray::number(Index) + "\", \"chunks\": [0]}";
    }
    Big += "]}";
    QCOMPARE(TPackageConfigurationReader(Big, QByteArray(), Base, Base).m_Files.size(), std::size_t(20000));
}

void TestDocuments::refusedPackageDocuments_data()
{
    QTest::addColumn<QByteArray>("Package");
    QTest::addColumn<QByteArray>("Assets");
    QTest::addColumn<QString>("Reason");
    const QByteArray Chunk = R"({"url": "c0", "unpackedsize": 4, "unpackedhash": "00aa"})";
    const QByteArray Ok = R"({"files": [{"localfile": "a", "unpackedsize": 4, "chunks": [0]}], "chunks": [)" + Chunk + "]}";
    QTest::newRow("not an object") << QByteArray("[1, 2]") << QByteArray() << "not a JSON object";
    QTest::newRow("an error body") << QByteArray(R"({"error": "not found"})") << QByteArray() << "has no \"files\"";
    QTest::newRow("files not an array") << QByteArray(R"({"files": {"a": 1}})") << QByteArray() << "is not an array";
    QTest::newRow("file not an object") << QByteArray(R"({"files": [5]})") << QByteArray() << "is not an object";
    QTest::newRow("version a number") << QByteArray(R"({"version": 5, "files": []})") << QByteArray() << "wrong type";
    QTest::newRow("no localfile") << QByteArray(R"({"files": [{"unpackedsize": 0}]})") << QByteArray() << "no \"localfile\"";
    QTest::newRow("localfile a number") << QByteArray(R"({"files": [{"localfile": 3}]})") << QByteArray() << "no \"localfile\"";
    QTest::newRow("size negative") << QByteArray(R"({"files": [{"localfile": "a", "unpackedsize": -1, "url": "u"}]})") << QByteArray()
                                   << "not a size";
    QTest::newRow("size fractional") << QByteArray(R"({"files": [{"localfile": "a", "unpackedsize": 1.5, "url": "u"}]})") << QByteArray()
                                     << "not a size";
    QTest::newRow("hash not hex") << QByteArray(R"({"files": [{"localfile": "a", "unpackedhash": "zz"}]})") << QByteArray()
                                  << "hexadecimal";
    QTest::newRow("executable a text") << QByteArray(R"({"files": [{"localfile": "a", "executable": "yes"}]})") << QByteArray()
                                       << "wrong type";
    QTest::newRow("chunks a text") << QByteArray(R"({"files": [{"localfile": "a", "chunks": "0"}]})") << QByteArray() << "not an array";
    QTest::newRow("chunk position past the end")
        << QByteArray(R"({"chunks": [)" + Chunk + R"(], "files": [{"localfile": "a", "unpackedsize": 8, "chunks": [0, 1]}]})")
        << QByteArray() << "refers to chunks";
    QTest::newRow("chunk position negative") << QByteArray(R"({"chunks": [)" + Chunk +
                                                           R"(], "files": [{"localfile": "a", "chunks": [-1]}]})")
                                             << QByteArray() << "invalid chunk position";
    QTest::newRow("chunk position fractional") << QByteArray(R"({"chunks": [)" + Chunk +
                                                             R"(], "files": [{"localfile": "a", "chunks": [0.5]}]})")
                                               << QByteArray() << "invalid chunk position";
    QTest::newRow("chunk without url") << QByteArray(R"({"chunks": [{"unpackedsize": 4}], "files": []})") << QByteArray() << "no \"url\"";
    QTest::newRow("sizes do not add up") << QByteArray(R"({"chunks": [)" + Chunk +
                                                       R"(], "files": [{"localfile": "a", "unpackedsize": 5, "chunks": [0]}]})")
                                         << QByteArray() << "add up to 4";
    QTest::newRow("size without source") << QByteArray(R"({"files": [{"localfile": "a", "unpackedsize": 5}]})") << QByteArray()
                                         << "neither";
    QTest::newRow("one url, two digests") << QByteArray(R"({"chunks": [)" + Chunk +
                                                        R"(, {"url": "c0", "unpackedsize": 4, "unpackedhash": "00bb"}], "files": []})")
                                          << QByteArray() << "different digests";
    QTest::newRow("packed form clashes with a chunk")
        << QByteArray(R"({"chunks": [)" + Chunk +
                      R"(], "files": [{"localfile": "a", "url": "c0", "unpackedsize": 4, "unpackedhash": "00cc"}]})")
        << QByteArray() << "different digests";
    QTest::newRow("one digest, two sizes") << QByteArray(R"({"chunks": [)" + Chunk +
                                                         R"(, {"url": "c1", "unpackedsize": 5, "unpackedhash": "00aa"}], "files": []})")
                                           << QByteArray() << "different sizes";
    QTest::newRow("same name twice") << QByteArray(R"({"files": [{"localfile": "a"}, {"localfile": "a"}]})") << QByteArray()
                                     << "listed twice";
    QTest::newRow("same name after ./") << QByteArray(R"({"files": [{"localfile": "a"}, {"localfile": "./a"}]})") << QByteArray()
                                        << "listed twice";
    QTest::newRow("name in package and assets") << Ok << QByteArray(R"({"files": [{"localfile": "a"}]})") << "listed twice";
    QTest::newRow("file is a directory of another")
        << QByteArray(R"({"files": [{"localfile": "a"}, {"localfile": "a/b"}]})") << QByteArray() << "also a directory";
    QTest::newRow("deep prefix across documents") << Ok << QByteArray(R"({"files": [{"localfile": "a/b/c"}]})") << "also a directory";
    const auto Chunking = [](const QByteArray& Object) { return QByteArray(R"({"files": [], "chunking": )") + Object + "}"; };
    QTest::newRow("chunking not an object") << Chunking("65536") << QByteArray() << "\"chunking\" of the package document is not an object";
    QTest::newRow("chunking without maximum") << Chunking(R"({"minimum": 16384, "maskbits": 16})") << QByteArray()
                                              << "\"maximum\" of \"chunking\" is not a whole number";
    QTest::newRow("chunking minimum a text") << Chunking(R"({"minimum": "16384", "maskbits": 16, "maximum": 262144})") << QByteArray()
                                             << "\"minimum\" of \"chunking\" is not a whole number";
    QTest::newRow("chunking bits fractional") << Chunking(R"({"minimum": 16384, "maskbits": 16.5, "maximum": 262144})") << QByteArray()
                                              << "\"maskbits\" of \"chunking\" is not a whole number";
    QTest::newRow("chunking minimum negative") << Chunking(R"({"minimum": -16384, "maskbits": 16, "maximum": 262144})") << QByteArray()
                                               << "is not a whole number";
    QTest::newRow("chunking minimum below 16 KiB") << Chunking(R"({"minimum": 16383, "maskbits": 16, "maximum": 262144})") << QByteArray()
                                                   << "cannot be used: the minimum piece length 16383 is below 16384";
    QTest::newRow("chunking maximum above 16 MiB")
        << Chunking(R"({"minimum": 16384, "maskbits": 16, "maximum": 16777217})") << QByteArray() << "is above";
    QTest::newRow("chunking minimum not below maximum")
        << Chunking(R"({"minimum": 262144, "maskbits": 16, "maximum": 262144})") << QByteArray() << "is not below the maximum";
    QTest::newRow("chunking 9 bits") << Chunking(R"({"minimum": 16384, "maskbits": 9, "maximum": 262144})") << QByteArray()
                                     << "9 mask bits are outside 10 to 24";
    QTest::newRow("chunking 25 bits") << Chunking(R"({"minimum": 16384, "maskbits": 25, "maximum": 262144})") << QByteArray()
                                      << "25 mask bits";
    QTest::newRow("chunking bits beyond any integer")
        << Chunking(R"({"minimum": 16384, "maskbits": 1e300, "maximum": 262144})") << QByteArray() << "not a whole number";
    QTest::newRow("assets not an object") << Ok << QByteArray("[7]") << "not a JSON object";
    QTest::newRow("assets chunk url clash") << Ok << QByteArray(R"({"chunks": [{"url": "c0", "unpackedsize": 9}], "files": []})")
                                            << "different digests";
}

void TestDocuments::refusedPackageDocuments()
{
    QFETCH(QByteArray, Package);
    QFETCH(QByteArray, Assets);
    QFETCH(QString, Reason);
    const QUrl Base(QStringLiteral("http://a.example/"));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Package configuration refused: ")));
    const TPackageConfigurationReader Reader(Package, Assets, Base, Base);
    QVERIFY(!Reader.m_Valid);
    QVERIFY2(Reader.m_Error.contains(Reason), qPrintable(Reader.m_Error));
    QVERIFY(Reader.m_Files.empty() && Reader.m_Chunks.empty() && Reader.m_Version.isEmpty());
    QCOMPARE(Reader.m_PackageDocument, Package); // kept byte for byte, never written as a marker
}

void TestDocuments::localFileNames_data()
{
    QTest::addColumn<QString>("Name");
    QTest::addColumn<QString>("Stored"); // empty: refused
    QTest::newRow("plain") << "bin/game"
                           << "bin/game";
    QTest::newRow("leading ./") << "./bin/game"
                                << "bin/game";
    QTest::newRow("repeated ./") << "././game"
                                 << "game";
    QTest::newRow("dot file") << ".config"
                              << ".config";
    QTest::newRow("dots in a name") << "a..b/..c"
                                    << "a..b/..c";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("only ./") << "./"
                             << "";
    QTest::newRow("dot") << "."
                         << "";
    QTest::newRow("dot dot") << ".."
                             << "";
    QTest::newRow("climbs to the directory itself") << "data/.."
                                                    << "";
    QTest::newRow("climbs out") << "../x"
                                << "";
    QTest::newRow("absolute") << "/etc/x"
                              << "";
    QTest::newRow("double slash") << "a//b"
                                  << "";
    QTest::newRow("trailing slash") << "a/"
                                    << "";
    QTest::newRow("inner dot") << "a/./b"
                               << "";
    QTest::newRow("backslash") << "a\\b"
                               << "";
    QTest::newRow("NUL") << QStringLiteral("a") + QChar(0) + QStringLiteral("b") << "";
    QTest::newRow("newline") << "a\nb"
                             << "";
    QTest::newRow("DEL") << QStringLiteral("a") + QChar(0x7f) << "";
}

void TestDocuments::localFileNames()
{
    QFETCH(QString, Name);
    QFETCH(QString, Stored);
    QString Reason;
    QCOMPARE(TPackageConfigurationReader::normaliseLocalFile(Name, &Reason), Stored);
    QCOMPARE(Reason.isEmpty(), !Stored.isEmpty());
    // the reason goes into the log: a hostile name cannot cut or forge a line
    for (const QChar Character : Reason) {
        QVERIFY(Character.unicode() >= 0x20 && Character.unicode() != 0x7f);
    }
}

void TestDocuments::urlResolution()
{
    const auto Resolve = [](const char* Text, const char* Base) {
        return TPackageConfigurationReader::resolveUrl(QLatin1String(Text), QUrl(QLatin1String(Base))).toString();
    };
    QCOMPARE(Resolve("x", "http://h.example/dir"), QStringLiteral("http://h.example/dir/x"));
    QCOMPARE(Resolve("x", "http://h.example/dir/"), QStringLiteral("http://h.example/dir/x"));
    QCOMPARE(Resolve("/x", "http://h.example/dir/"), QStringLiteral("http://h.example/dir//x"));
    QCOMPARE(Resolve("x?q=1", "http://h.example:8080/dir/?base=1"), QStringLiteral("http://h.example:8080/dir/x"));
    QCOMPARE(Resolve("https://o.example/y?q=1", "http://h.example/dir/"), QStringLiteral("https://o.example/y?q=1"));
    QCOMPARE(Resolve("chunks/a.bin", "file:///home/p/inst/"), QStringLiteral("file:///home/p/inst/chunks/a.bin"));
}

void TestDocuments::launcherDocument()
{
    const QUrl Base(QStringLiteral("http://cfg.example/launcher/"));
    TLauncherConfigurationReader Reader(launcherJson(kTwoPackages), Base);
    QVERIFY(Reader.getLauncherPackage());
    QCOMPARE(Reader.getLauncherPackage()->m_Id, TPackage::kLauncherPackageId);
    QCOMPARE(Reader.getPackages().size(), std::size_t(3));
    const auto& pTorvane = Reader.getPackages()[0];
    QCOMPARE(pTorvane->m_Id, 0);
    QCOMPARE(pTorvane->m_Name, QStringLiteral("Torvane"));
    QCOMPARE(pTorvane->m_InstallAutomatically, true);
    QCOMPARE(pTorvane->m_LogoLinkTarget, QUrl(QStringLiteral("http://t.example")));
    QCOMPARE(pTorvane->localPackageStatus(), ELocalPackageStatus::Undetermined);
    QCOMPARE(Reader.getPackages()[2]->m_Name, QString()); // absent fields: empty
    QVERIFY(Reader.getPackages()[2]->m_Builds.empty());
    QVERIFY(Reader.getPreventDefaultAutostart());
    QVERIFY(!Reader.getShowPackageNames());
    QCOMPARE(Reader.getHintsUrl(), QUrl(QStringLiteral("http://h.example/hints.json")));
    QVERIFY(Reader.getFunnelUrl().isEmpty());

    // case-insensitive platform; the build's query is dropped and paths resolve below the base
    TPackageBuild* pBuild = pTorvane->currentBuild();
    QVERIFY(pBuild);
    QCOMPARE(pBuild->m_OperatingSystem, EOperatingSystem::Linux);
    QCOMPARE(pBuild->m_Url, QUrl(QStringLiteral("http://cfg.example/launcher/sub/package.json")));
    QCOMPARE(pBuild->m_AssetsUrl, QUrl(QStringLiteral("http://cfg.example/launcher//assets.json")));
    QVERIFY(!Reader.getPackages()[1]->currentBuild()); // only i386

    // offered only once a configuration is loaded
    QVERIFY(Reader.getPackagesForThisMachine().empty());
    pBuild->m_pConfiguration = std::make_unique<TPackageConfigurationReader>(kPackageDocument, QByteArray(), Base, Base);
    QCOMPARE(Reader.getPackagesForThisMachine().size(), std::size_t(1));
    QCOMPARE(Reader.getPackagesForThisMachine().front(), pTorvane);
}

void TestDocuments::brokenLauncherDocuments()
{
    TLauncherConfigurationReader Empty("{}", QUrl());
    QVERIFY(!Empty.getLauncherPackage());
    QVERIFY(Empty.getPackages().empty());
    QVERIFY(Empty.getHardwareSurveyUrl().isEmpty() && Empty.getHintsUrl().isEmpty());
    QVERIFY(!Empty.getPreventDefaultAutostart() && !Empty.getShowPackageNames());

    const QByteArray Whole = launcherJson(kTwoPackages);
    const QByteArray Truncated = Whole.left(Whole.size() / 2);
    QJsonParseError Expected;
    QJsonDocument::fromJson(Truncated, &Expected);
    try {
        TLauncherConfigurationReader Reader(Truncated, QUrl());
        QFAIL("no exception");
    } catch (const TLauncherConfigurationException& Error) {
        QCOMPARE(QString::fromStdString(Error.what()), Expected.errorString());
    }
}

void TestDocuments::refusedLauncherDocuments_data()
{
    QTest::addColumn<QByteArray>("Document");
    QTest::addColumn<QString>("Reason");
    QTest::newRow("not an object") << QByteArray("[]") << "not a JSON object";
    QTest::newRow("packages an object") << QByteArray(R"({"packages": {"a": 1}})") << "wrong type";
    QTest::newRow("launcher an array") << QByteArray(R"({"launcher": [1]})") << "wrong type";
    QTest::newRow("package not an object") << QByteArray(R"({"packages": [7]})") << "package 0 is not an object";
    QTest::newRow("hints a number") << QByteArray(R"({"hints": 5})") << "wrong type";
    QTest::newRow("build url a number") << QByteArray(R"({"packages": [{"directoryname": "d", "builds": [{"url": 1}]}]})") << "wrong type";
    QTest::newRow("no directory") << QByteArray(R"({"packages": [{"name": "x"}]})") << "not a plain directory name";
    QTest::newRow("empty directory") << QByteArray(R"({"packages": [{"directoryname": ""}]})") << "not a plain directory name";
    QTest::newRow("dot dot directory") << QByteArray(R"({"packages": [{"directoryname": ".."}]})") << "not a plain directory name";
    QTest::newRow("nested directory") << QByteArray(R"({"packages": [{"directoryname": "a/b"}]})") << "not a plain directory name";
    QTest::newRow("backslash directory") << QByteArray(R"({"packages": [{"directoryname": "a\\b"}]})") << "not a plain directory name";
}

void TestDocuments::refusedLauncherDocuments()
{
    QFETCH(QByteArray, Document);
    QFETCH(QString, Reason);
    try {
        TLauncherConfigurationReader Reader(Document, QUrl());
        QFAIL("not refused");
    } catch (const TLauncherConfigurationException& Error) {
        QVERIFY2(QString::fromUtf8(Error.what()).contains(Reason), Error.what());
    }
    // the launcher's own package needs no directory: it lives beside the executable
    QVERIFY(TLauncherConfigurationReader(R"({"launcher": {"name": "L"}})", QUrl()).getLauncherPackage());
}

void TestDocuments::localStatusAndMarkers()
{
    auto pHelper = std::make_shared<TLauncherFilesystemHelper>();
    TPackageMarkers Markers(pHelper);
    TLauncherConfigurationReader Reader(launcherJson(kTwoPackages), QUrl(QStringLiteral("http://cfg.example/")));
    auto pPackage = Reader.getPackages()[0];
    QSignalSpy Changed(pPackage.get(), &TPackage::localPackageStatusChanged);

    // no configuration for this machine: not installed, whatever lies on disk
    const QDir Installation = Markers.installationDirectory(*pPackage);
    QCOMPARE(Installation.absolutePath(),
             QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/packages/torvane"));
    pHelper->writeFileWithDirectory(Markers.fullMarkerPath(*pPackage), kPackageDocument);
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::NotInstalled);

    const QUrl Base(QStringLiteral("http://cdn.example/"));
    pPackage->currentBuild()->m_pConfiguration = std::make_unique<TPackageConfigurationReader>(kPackageDocument, QByteArray(), Base, Base);
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::Installed); // labels P1.2 A? on both sides

    // the full marker wins over the partial one; another version asks for an update
    pHelper->writeFileWithDirectory(Markers.partialMarkerPath(*pPackage), "{}");
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::Installed);
    pHelper->writeFile(Markers.fullMarkerPath(*pPackage), R"({"version": "1.1", "files": []})");
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::UpdateRequired);
    pHelper->writeFile(Markers.fullMarkerPath(*pPackage), "{ broken");
    QTest::ignoreMessage(QtCriticalMsg, "JSON package configuration file could not be parsed, using default package.");
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::UpdateRequired);

    // assets version "1" always asks for an update
    pPackage->currentBuild()->m_pConfiguration =
        std::make_unique<TPackageConfigurationReader>(kPackageDocument, R"({"version": "1", "files": []})", Base, Base);
    pHelper->writeFile(Markers.fullMarkerPath(*pPackage), kPackageDocument);
    pHelper->writeFile(Markers.assetsDocumentPath(*pPackage), R"({"version": "1", "files": []})");
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::UpdateRequired);

    // marker operations
    pHelper->removeFileOrDirectory(Installation.absolutePath());
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::NotInstalled);
    Markers.markPartiallyInstalled(*pPackage);
    QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::PartiallyInstalled);
    QCOMPARE(pHelper->readFile(Markers.partialMarkerPath(*pPackage)), kPackageDocument);
    QCOMPARE(pHelper->readFile(Markers.assetsDocumentPath(*pPackage)), QByteArray(R"({"version": "1", "files": []})"));
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::PartiallyInstalled);
    Markers.markFullyInstalled(*pPackage);
    QVERIFY(!QFile::exists(Markers.partialMarkerPath(*pPackage)));
    QCOMPARE(pHelper->readFile(Markers.fullMarkerPath(*pPackage)), kPackageDocument);
    QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::Installed);
    // the next start of an update keeps the previous document as the partial marker
    Markers.markPartiallyInstalled(*pPackage);
    QVERIFY(!QFile::exists(Markers.fullMarkerPath(*pPackage)));
    QCOMPARE(pHelper->readFile(Markers.partialMarkerPath(*pPackage)), kPackageDocument);
    Markers.updatePartiallyInstalledPackage(*pPackage);
    QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::PartiallyInstalled);
    QCOMPARE(Changed.size(), 3); // Partially, Installed, Partially: setting the same value twice is silent

    // the installed configuration resolves against the installation directory
    const TPackageConfigurationReader Installed = Markers.readInstalledConfiguration(*pPackage);
    QVERIFY(Installed.m_Valid);
    QCOMPARE(Installed.m_Chunks[0].m_Url, QUrl::fromLocalFile(Installation.absolutePath() + QStringLiteral("/chunks/c0.bin")));

    // the launcher's own package lives beside the executable
    QCOMPARE(Markers.installationDirectory(*Reader.getLauncherPackage()).absolutePath(), QCoreApplication::applicationDirPath());
    // a climbing directory name stays inside the packages directory
    TPackage Climber(5, QJsonObject {{"directoryname", "../../../etc"}}, QUrl());
    QCOMPARE(Markers.installationDirectory(Climber).absolutePath(),
             pHelper->getPackagesDirectory().absolutePath() + QStringLiteral("/etc"));
}

void TestDocuments::defaultMarker()
{
    auto pHelper = std::make_shared<TLauncherFilesystemHelper>();
    TPackageMarkers Markers(pHelper);
    const QByteArray Three =
        R"([{"name": "A", "directoryname": "da"}, {"name": "B", "directoryname": "db"}, {"name": "C", "directoryname": "dc"}])";
    TLauncherConfigurationReader Reader(launcherJson(Three), QUrl());
    const auto& Packages = Reader.getPackages();
    Packages[0]->setLocalPackageStatus(ELocalPackageStatus::NotInstalled);
    Packages[1]->setLocalPackageStatus(ELocalPackageStatus::Installed);
    Packages[2]->setLocalPackageStatus(ELocalPackageStatus::UpdateRequired);
    for (const auto& pPackage : Packages) {
        pHelper->writeFileWithDirectory(Markers.defaultMarkerPath(*pPackage), QByteArray());
    }
    Markers.findDefaultPackage(Packages);
    QVERIFY(!Packages[0]->m_IsDefault); // not installed: skipped
    QVERIFY(Packages[1]->m_IsDefault);
    QVERIFY(!Packages[2]->m_IsDefault); // only the first

    Markers.setDefaultPackage(Packages, Packages[2]);
    QVERIFY(!Packages[1]->m_IsDefault && Packages[2]->m_IsDefault);
    QVERIFY(!QFile::exists(Markers.defaultMarkerPath(*Packages[0])));
    QVERIFY(!QFile::exists(Markers.defaultMarkerPath(*Packages[1])));
    QCOMPARE(QFileInfo(Markers.defaultMarkerPath(*Packages[2])).size(), 0);
    Markers.setDefaultPackage(Packages, nullptr);
    QVERIFY(!QFile::exists(Markers.defaultMarkerPath(*Packages[2])));
    QVERIFY(!Packages[2]->m_IsDefault);
}

QTEST_GUILESS_MAIN(TestDocuments)
#include "tst_documents.moc"
