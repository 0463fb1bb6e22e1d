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
    void urlResolution();
    void launcherDocument();
    void brokenLauncherDocuments();
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
               "packages": )" + Packages + R"(, "hints": "http://h.example/hints.json", "preventdefaultautostart": true})";
}

const QByteArray kTwoPackages = R"([
  {"name": "Torvane", "directoryname": "torvane", "installautomatically": true, "logolinktarget": "http://t.example",
   "builds": [{"os": "windows", "architecture": "x86_64", "url": "win.json"},
              {"os": "Linux", "architecture": "X86_64", "url": "sub/package.json?x=1", "assetsurl": "/assets.json"}]},
  {"name": "Other", "directoryname": "other", "builds": [{"os": "linux", "architecture": "i386", "url": "i386.json"}]},
  7
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
    QCOMPARE(Reader.m_Parameters, (QStringList{"-a", "-b"}));
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
    QCOMPARE(Reader.m_Files[2].m_Chunks, (std::vector<std::int32_t>{0, 1}));
    QVERIFY(Reader.m_Files[0].m_PackedForm.m_Url.isEmpty());
}

void TestDocuments::assetsDocumentAndVersions()
{
    const QByteArray Package = R"({"version": 5, "chunks": [{"url": "p0"}], "files": [{"localfile": "p", "chunks": [0]}]})";
    const QUrl Base(QStringLiteral("http://a.example/p/"));
    const QUrl AssetsBase(QStringLiteral("http://b.example/assets/"));
    TPackageConfigurationReader Number(Package, R"({"version": 3, "chunks": [{"url": "a0"}], "files": [{"localfile": "asset", "chunks": [1, 0]}]})", Base, AssetsBase);
    QVERIFY(Number.m_Valid);
    QCOMPARE(Number.m_Version, QString()); // a number is no version text
    QCOMPARE(Number.m_AssetsVersion, QStringLiteral("3"));
    QCOMPARE(Number.versionLabel(), QStringLiteral("P? A3"));
    QCOMPARE(Number.m_Chunks.size(), std::size_t(2));
    QCOMPARE(Number.m_Chunks[1].m_Url, QUrl(QStringLiteral("http://b.example/assets/a0")));
    QCOMPARE(Number.m_Files[0].m_LocalFile, QStringLiteral("asset"));
    QCOMPARE(Number.m_Files[0].m_Chunks, (std::vector<std::int32_t>{1, 0})); // positions in the combined list

    QCOMPARE(TPackageConfigurationReader(Package, R"({"version": 3.7})", Base, AssetsBase).m_AssetsVersion, QStringLiteral("0"));
    QCOMPARE(TPackageConfigurationReader(Package, R"({"version": "3.7"})", Base, AssetsBase).m_AssetsVersion, QStringLiteral("3.7"));
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

    QTest::ignoreMessage(QtCriticalMsg, "JSON asset configuration file could not be parsed, using default package.");
    QVERIFY(!TPackageConfigurationReader(kPackageDocument, "{", Base, Base).m_Valid);

    // wrong types give neutral values, never a failure
    TPackageConfigurationReader Typed(R"({"version": [], "chunks": {"a": 1}, "files": [5, "x", {"localfile": 3, "chunks": "0", "unpackedhash": "zz"}]})",
                                      QByteArray(), Base, Base);
    QVERIFY(Typed.m_Valid);
    QVERIFY(Typed.m_Chunks.empty());
    QCOMPARE(Typed.m_Files.size(), std::size_t(3));
    for (const TFileInPackage& File : Typed.m_Files) {
        QVERIFY(File.m_Chunks.empty());
    }
    QVERIFY(TPackageConfigurationReader(R"([1, 2])", QByteArray(), Base, Base).m_Valid); // not an object: empty

    // a file naming a chunk that does not exist is refused as a whole
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("refers to chunks")));
    TPackageConfigurationReader Hostile(R"({"chunks": [{"url": "c"}], "files": [{"localfile": "f", "chunks": [0, 1]}]})", QByteArray(), Base, Base);
    QVERIFY(!Hostile.m_Valid);
    QVERIFY(Hostile.m_Files.empty());
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("refers to chunks")));
    QVERIFY(!TPackageConfigurationReader(R"({"chunks": [{"url": "c"}], "files": [{"localfile": "f", "chunks": [-1]}]})", QByteArray(), Base, Base).m_Valid);

    // a big document of many files stays fast and whole
    QByteArray Big = "{\"chunks\": [{\"url\": \"c\"}], \"files\": [";
    for (int Index = 0; Index < 20000; ++Index) {
        Big += (Index ? "," : "") + QByteArray("{\"localfile\": \"f") + QByteArray::number(Index) + "\", \"chunks\": [0]}";
    }
    Big += "]}";
    QCOMPARE(TPackageConfigurationReader(Big, QByteArray(), Base, Base).m_Files.size(), std::size_t(20000));
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
    QCOMPARE(Reader.getPackages()[2]->m_Name, QString()); // a non-object element: all fields empty
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
    QVERIFY(TLauncherConfigurationReader(R"({"packages": {"a": 1}, "launcher": [1]})", QUrl()).getPackages().empty());

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

void TestDocuments::localStatusAndMarkers()
{
    auto pHelper = std::make_shared<TLauncherFilesystemHelper>();
    TPackageMarkers Markers(pHelper);
    TLauncherConfigurationReader Reader(launcherJson(kTwoPackages), QUrl(QStringLiteral("http://cfg.example/")));
    auto pPackage = Reader.getPackages()[0];
    QSignalSpy Changed(pPackage.get(), &TPackage::localPackageStatusChanged);

    // no configuration for this machine: not installed, whatever lies on disk
    const QDir Installation = Markers.installationDirectory(*pPackage);
    QCOMPARE(Installation.absolutePath(), QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/packages/torvane"));
    pHelper->writeFileWithDirectory(Markers.fullMarkerPath(*pPackage), kPackageDocument);
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::NotInstalled);

    const QUrl Base(QStringLiteral("http://cdn.example/"));
    pPackage->currentBuild()->m_pConfiguration = std::make_unique<TPackageConfigurationReader>(kPackageDocument, QByteArray(), Base, Base);
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::Installed); // labels P1.2 A? on both sides

    // the full marker wins over the partial one; another version asks for an update
    pHelper->writeFileWithDirectory(Markers.partialMarkerPath(*pPackage), "{}");
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::Installed);
    pHelper->writeFile(Markers.fullMarkerPath(*pPackage), R"({"version": "1.1"})");
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::UpdateRequired);
    pHelper->writeFile(Markers.fullMarkerPath(*pPackage), "{ broken");
    QTest::ignoreMessage(QtCriticalMsg, "JSON package configuration file could not be parsed, using default package.");
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::UpdateRequired);

    // assets version "1" always asks for an update
    pPackage->currentBuild()->m_pConfiguration =
        std::make_unique<TPackageConfigurationReader>(kPackageDocument, R"({"version": "1"})", Base, Base);
    pHelper->writeFile(Markers.fullMarkerPath(*pPackage), kPackageDocument);
    pHelper->writeFile(Markers.assetsDocumentPath(*pPackage), R"({"version": "1"})");
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::UpdateRequired);

    // marker operations
    pHelper->removeFileOrDirectory(Installation.absolutePath());
    QCOMPARE(Markers.computeLocalStatus(*pPackage), ELocalPackageStatus::NotInstalled);
    Markers.markPartiallyInstalled(*pPackage);
    QCOMPARE(pPackage->localPackageStatus(), ELocalPackageStatus::PartiallyInstalled);
    QCOMPARE(pHelper->readFile(Markers.partialMarkerPath(*pPackage)), kPackageDocument);
    QCOMPARE(pHelper->readFile(Markers.assetsDocumentPath(*pPackage)), QByteArray(R"({"version": "1"})"));
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
    TPackage Climber(5, QJsonObject{{"directoryname", "../../../etc"}}, QUrl());
    QCOMPARE(Markers.installationDirectory(Climber).absolutePath(), pHelper->getPackagesDirectory().absolutePath() + QStringLiteral("/etc"));
}

void TestDocuments::defaultMarker()
{
    auto pHelper = std::make_shared<TLauncherFilesystemHelper>();
    TPackageMarkers Markers(pHelper);
    const QByteArray Three = R"([{"name": "A", "directoryname": "da"}, {"name": "B", "directoryname": "db"}, {"name": "C", "directoryname": "dc"}])";
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
