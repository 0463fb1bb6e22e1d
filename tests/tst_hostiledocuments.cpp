#include "TestEnvironment.h"

#include "PackTool.h"
#include "support/LoopbackHttpServer.h"

#include "TInstallationManager.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace zarvo::launcher;
using namespace testsupport;

// Documents a server or a proxy can really send, tried against a real installation of
// version 1 served from loopback: the installation must come out of each exactly as it was.
class TestHostileDocuments : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void refusedDocumentsChangeNothing_data();
    void refusedDocumentsChangeNothing();
    void sharedFolderIsRefused();
    void directoryInTheWayIsAFailure();
    void completeExecutableGetsItsBits();
    void dotSlashNamesAreTheSameFiles();
    void leftoverTemporaryMarkerIsIgnored();

private:
    struct TOutcome {
        bool m_Finished = false;
        bool m_WithoutError = true;
        int m_Reason = -1;
        ELocalPackageStatus m_StatusBefore = ELocalPackageStatus::Undetermined;
        ELocalPackageStatus m_StatusAfter = ELocalPackageStatus::Undetermined;
    };
    std::shared_ptr<TLauncherFilesystemHelper> helper();
    // Game in the folder "game"; with OtherFolder, a second package "Other" of the same
    // document in that folder.
    std::shared_ptr<TLauncherConfigurationReader> configuration(const QByteArray& Package, const QByteArray& Assets,
                                                                const QString& OtherFolder = QString());
    TOutcome install(const std::shared_ptr<TLauncherConfigurationReader>& pConfiguration);
    // Every file below the data directory (installation, markers, sentinels) with its bytes
    // and whether it is executable.
    QMap<QString, QByteArray> snapshot() const;

    QTemporaryDir m_Work;
    QString m_Served;
    QByteArray m_Version1;
    std::unique_ptr<TLoopbackHttpServer> m_pServer;
    QString m_Installation;
};

namespace {

QJsonObject documentObject(const QByteArray& Document)
{
    return QJsonDocument::fromJson(Document).object();
}

QByteArray toJson(const QJsonObject& Object)
{
    return QJsonDocument(Object).toJson(QJsonDocument::Compact);
}

// Version 1 with one more file entry: a copy of the entry named Model, renamed.
QByteArray withExtraFile(const QByteArray& Document, const QString& Model, const QJsonValue& Name)
{
    QJsonObject Root = documentObject(Document);
    QJsonArray Files = Root.value(QStringLiteral("files")).toArray();
    for (const QJsonValue& File : Files) {
        if (File.toObject().value(QStringLiteral("localfile")).toString() == Model) {
            QJsonObject Extra = File.toObject();
            if (Name.isUndefined()) {
                Extra.remove(QStringLiteral("localfile"));
            } else {
                Extra.insert(QStringLiteral("localfile"), Name);
            }
            Files.append(Extra);
            break;
        }
    }
    Root.insert(QStringLiteral("files"), Files);
    return toJson(Root);
}

// Version 1 with the entry of a file changed by Edit.
QByteArray withEditedFile(const QByteArray& Document, const QString& Name, const std::function<void(QJsonObject&)>& Edit)
{
    QJsonObject Root = documentObject(Document);
    QJsonArray Files = Root.value(QStringLiteral("files")).toArray();
    for (int Index = 0; Index < Files.size(); ++Index) {
        QJsonObject File = Files.at(Index).toObject();
        if (File.value(QStringLiteral("localfile")).toString() == Name) {
            Edit(File);
            Files.replace(Index, File);
        }
    }
    Root.insert(QStringLiteral("files"), Files);
    return toJson(Root);
}

} // namespace

void TestHostileDocuments::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Halvern GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("Torvane Online"));
    QStandardPaths::setTestModeEnabled(true);
    m_Served = m_Work.filePath(QStringLiteral("served"));
    QDir().mkpath(m_Served);
    m_pServer = std::make_unique<TLoopbackHttpServer>();
    m_pServer->serveDirectory(m_Served);

    // a file in several chunks, an executable, small files in directories, an empty file
    const QString Tree = m_Work.filePath(QStringLiteral("tree"));
    writeTreeFile(Tree, QStringLiteral("data/big.pak"), randomBytes(600 * 1000, 11));
    writeTreeFile(Tree, QStringLiteral("data/small.dat"), randomBytes(3000, 12));
    writeTreeFile(Tree, QStringLiteral("bin/game"), "#!/bin/sh\necho game\n", true);
    writeTreeFile(Tree, QStringLiteral("readme.txt"), "Torvane Online\n");
    writeTreeFile(Tree, QStringLiteral("empty.cfg"), QByteArray());
    QVERIFY(packTree(Tree, m_Served + QStringLiteral("/v1"),
                     {QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--executable"), QStringLiteral("bin/game")}));
    m_Version1 = readTreeFile(m_Served + QStringLiteral("/v1/package.json"));

    const auto Outcome = install(configuration(m_Version1, QByteArray()));
    QVERIFY(Outcome.m_Finished && Outcome.m_WithoutError);
    m_Installation =
        TPackageMarkers(helper()).installationDirectory(*configuration(m_Version1, QByteArray())->getPackages().front()).absolutePath();
    for (const QString& File : treeFiles(Tree)) {
        QCOMPARE(readTreeFile(m_Installation + QLatin1Char('/') + File), readTreeFile(Tree + QLatin1Char('/') + File));
    }
    // what must survive besides the installation: a file of the player's inside it, and
    // files beside it in the packages and data directories
    writeTreeFile(m_Installation, QStringLiteral("screenshots/mine.png"), "the player's own");
    writeTreeFile(m_Installation + QStringLiteral("/.."), QStringLiteral("sentinel.txt"), "beside the installation");
    writeTreeFile(m_Installation + QStringLiteral("/../.."), QStringLiteral("sentinel.txt"), "in the data directory");
}

std::shared_ptr<TLauncherFilesystemHelper> TestHostileDocuments::helper()
{
    const QString Path = m_Work.filePath(QStringLiteral("launchersettings.ini"));
    QFile File(Path);
    File.open(QIODevice::WriteOnly | QIODevice::Truncate);
    File.write("[DIRECTORIES]\npackages=packages\n[FILES]\npackageFile=package.json\npartialPackageFile=partial-package.json\n"
               "assetFile=assets.json\n[OPTIONS]\nmaxConcurrentDownloads=4\nskipVerification=false\n");
    File.close();
    return std::make_shared<TLauncherFilesystemHelper>(Path);
}

std::shared_ptr<TLauncherConfigurationReader> TestHostileDocuments::configuration(const QByteArray& Package, const QByteArray& Assets,
                                                                                  const QString& OtherFolder)
{
    const QJsonObject Build {{"os", "linux"}, {"architecture", "x86_64"}, {"url", "v1/package.json"}};
    QJsonArray Entries {QJsonObject {{"name", "Game"}, {"directoryname", "game"}, {"builds", QJsonArray {Build}}}};
    if (!OtherFolder.isEmpty()) {
        Entries.append(QJsonObject {{"name", "Other"}, {"directoryname", OtherFolder}, {"builds", QJsonArray {Build}}});
    }
    auto pConfiguration =
        std::make_shared<TLauncherConfigurationReader>(toJson(QJsonObject {{"packages", Entries}}), m_pServer->url(QStringLiteral("/")));
    // as the configuration handler does once both documents arrived: chunk URLs resolve
    // to the real chunks of version 1
    for (const auto& pPackage : pConfiguration->getPackages()) {
        TPackageBuild* pBuild = pPackage->currentBuild();
        const QUrl Base = pBuild->m_Url.adjusted(QUrl::RemoveFilename);
        pBuild->m_pConfiguration = std::make_unique<TPackageConfigurationReader>(Package, Assets, Base, Base);
    }
    return pConfiguration;
}

TestHostileDocuments::TOutcome TestHostileDocuments::install(const std::shared_ptr<TLauncherConfigurationReader>& pConfiguration)
{
    TInstallationManager Manager(pConfiguration, helper());
    TOutcome Outcome;
    connect(&Manager, &TInstallationManager::installationOrUpdateFinished, this, [&Outcome](const TPackageInstallation& Job) {
        Outcome.m_Finished = true;
        Outcome.m_WithoutError = Job.isWithoutError();
        Outcome.m_Reason = int(Job.errorReason());
    });
    const auto pPackage = pConfiguration->getPackages().front();
    Outcome.m_StatusBefore = pPackage->localPackageStatus();
    Manager.installOrUpdatePackage(pPackage);
    QElapsedTimer Timer;
    Timer.start();
    while (!Outcome.m_Finished && Timer.elapsed() < 60000) {
        QTest::qWait(20);
    }
    Outcome.m_StatusAfter = pPackage->localPackageStatus();
    return Outcome;
}

QMap<QString, QByteArray> TestHostileDocuments::snapshot() const
{
    QMap<QString, QByteArray> Files;
    const QString Root = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDirIterator Iterator(Root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (Iterator.hasNext()) {
        const QFileInfo Info(Iterator.next());
        const QString Key =
            QDir(Root).relativeFilePath(Info.filePath()) + (Info.isExecutable() && Info.isFile() ? QStringLiteral(" (x)") : QString());
        Files.insert(Key, Info.isDir() ? QByteArray("<dir>") : readTreeFile(Info.filePath()));
    }
    return Files;
}

void TestHostileDocuments::refusedDocumentsChangeNothing_data()
{
    QTest::addColumn<QByteArray>("Package");
    QTest::addColumn<QByteArray>("Assets");
    QTest::addColumn<QString>("Reason");
    const QByteArray V1 = readTreeFile(m_Work.filePath(QStringLiteral("served/v1/package.json")));
    const QString Model = QStringLiteral("readme.txt");

    // names
    QTest::newRow("empty name") << withExtraFile(V1, Model, QString()) << QByteArray() << "is empty";
    QTest::newRow("no name") << withExtraFile(V1, Model, QJsonValue::Undefined) << QByteArray() << "no \"localfile\"";
    QTest::newRow("dot") << withExtraFile(V1, Model, ".") << QByteArray() << "segment";
    QTest::newRow("dot dot") << withExtraFile(V1, Model, "..") << QByteArray() << "segment";
    QTest::newRow("the installation itself") << withExtraFile(V1, Model, "data/..") << QByteArray() << "segment";
    QTest::newRow("climbing out") << withExtraFile(V1, Model, "../sentinel.txt") << QByteArray() << "segment";
    QTest::newRow("absolute") << withExtraFile(V1, Model, "/etc/x") << QByteArray() << "absolute";
    QTest::newRow("double slash") << withExtraFile(V1, Model, "data//x") << QByteArray() << "segment";
    QTest::newRow("backslash") << withExtraFile(V1, Model, "data\\x") << QByteArray() << "backslash";
    QTest::newRow("NUL") << withExtraFile(V1, Model, QStringLiteral("x") + QChar(0) + QStringLiteral("y")) << QByteArray()
                         << "control character";
    QTest::newRow("inner dot beside the plain name") << withExtraFile(V1, Model, "data/./small.dat") << QByteArray() << "segment";
    QTest::newRow("./ beside the plain name") << withExtraFile(V1, Model, "./readme.txt") << QByteArray() << "listed twice";
    QTest::newRow("a file that is a directory") << withExtraFile(V1, Model, "data") << QByteArray() << "also a directory";
    QTest::newRow("a directory below a file") << withExtraFile(V1, Model, "readme.txt/x") << QByteArray() << "also a directory";
    QTest::newRow("the installed marker's name") << withExtraFile(V1, Model, "package.json") << QByteArray() << "own marker file";
    QTest::newRow("the partial marker's name") << withExtraFile(V1, Model, "./partial-package.json") << QByteArray() << "own marker file";
    QTest::newRow("the default marker's name") << withExtraFile(V1, Model, "default") << QByteArray() << "own marker file";
    QJsonObject Assets {{"version", "1"}, {"files", QJsonArray {QJsonObject {{"localfile", "readme.txt"}, {"unpackedsize", 0}}}}};
    QTest::newRow("same name in the assets") << V1 << toJson(Assets) << "listed twice";

    // broken documents
    QTest::newRow("cut short") << V1.left(V1.size() / 2) << QByteArray() << "not valid JSON";
    QTest::newRow("cut assets") << V1 << QByteArray(R"({"version": "1", "files": [)") << "not valid JSON";
    QTest::newRow("an error body") << QByteArray(R"({"error": "service unavailable"})") << QByteArray() << "no \"files\"";
    QTest::newRow("not an object") << QByteArray("[]") << QByteArray() << "not a JSON object";
    QTest::newRow("files of the wrong type") << withEditedFile(V1, Model, [](QJsonObject& File) { File.insert("unpackedsize", "many"); })
                                             << QByteArray() << "not a size";
    QTest::newRow("bad chunk position") << withEditedFile(V1, "data/big.pak", [](QJsonObject& File) {
        QJsonArray Chunks = File.value("chunks").toArray();
        Chunks.append(100000);
        File.insert("chunks", Chunks);
    }) << QByteArray() << "refers to chunks";
    QTest::newRow("sizes do not add up") << withEditedFile(V1, "data/big.pak", [](QJsonObject& File) {
        File.insert("unpackedsize", File.value("unpackedsize").toDouble() + 1);
    }) << QByteArray() << "add up";
    QTest::newRow("a file with no source") << withEditedFile(V1, "data/small.dat", [](QJsonObject& File) {
        File.remove("chunks");
        File.remove("url");
    }) << QByteArray() << "neither";
    QJsonObject Root = documentObject(V1);
    QJsonArray Chunks = Root.value("chunks").toArray();
    QJsonObject Twin = Chunks.at(0).toObject();
    Twin.insert("unpackedhash", QString(64, QLatin1Char('0')));
    Chunks.append(Twin);
    Root.insert("chunks", Chunks);
    QTest::newRow("one chunk URL, another digest") << toJson(Root) << QByteArray() << "different digests";

    // cutting the scan could not repeat: local files would be cut wrongly or not at all
    QJsonObject Fine = documentObject(V1);
    Fine.insert("chunking", QJsonObject {{"minimum", 65536}, {"maskbits", 18}, {"maximum", 1048576}});
    QJsonObject Small = Fine;
    Small.insert("chunking", QJsonObject {{"minimum", 4096}, {"maskbits", 14}, {"maximum", 65536}});
    QTest::newRow("chunking below the bounds") << toJson(Small) << QByteArray() << "the minimum piece length 4096 is below";
    QJsonObject Texts = Fine;
    Texts.insert("chunking", QJsonObject {{"minimum", "65536"}, {"maskbits", 18}, {"maximum", 1048576}});
    QTest::newRow("chunking of the wrong type") << toJson(Texts) << QByteArray() << "is not a whole number";
}

void TestHostileDocuments::refusedDocumentsChangeNothing()
{
    QFETCH(QByteArray, Package);
    QFETCH(QByteArray, Assets);
    QFETCH(QString, Reason);
    QVERIFY(!m_Installation.isEmpty());
    const QMap<QString, QByteArray> Before = snapshot();
    QVERIFY(Before.contains(QStringLiteral("packages/game/package.json")));

    // one clear line names the reason
    QTest::ignoreMessage(
        QtCriticalMsg,
        QRegularExpression(QStringLiteral("^The package configuration of Game was refused: .*") + QRegularExpression::escape(Reason)));
    const auto pConfiguration = configuration(Package, Assets);
    const TOutcome Outcome = install(pConfiguration);
    QVERIFY(Outcome.m_Finished);
    QVERIFY(!Outcome.m_WithoutError);
    QCOMPARE(Outcome.m_Reason, int(EPackageDownloaderError::DownloadFailed));
    QCOMPARE(Outcome.m_StatusAfter, Outcome.m_StatusBefore);

    const QMap<QString, QByteArray> After = snapshot();
    QCOMPARE(After.keys(), Before.keys());
    QVERIFY(After == Before);
    // with the good document the package is still installed
    TInstallationManager Manager(configuration(m_Version1, QByteArray()), helper());
    QCOMPARE(Manager.packages().front()->localPackageStatus(), ELocalPackageStatus::Installed);
}

// Two packages in one folder: neither is installed over the other.
void TestHostileDocuments::sharedFolderIsRefused()
{
    const QMap<QString, QByteArray> Before = snapshot();
    QTest::ignoreMessage(QtCriticalMsg,
                         QRegularExpression(QStringLiteral("^The package configuration of Game was refused: its folder "
                                                           "\"game\" is also the folder of \"Other\"")));
    const TOutcome Outcome = install(configuration(m_Version1, QByteArray(), QStringLiteral("game")));
    QVERIFY(Outcome.m_Finished);
    QCOMPARE(Outcome.m_Reason, int(EPackageDownloaderError::DownloadFailed));
    QVERIFY(snapshot() == Before);
    // in folders of their own, both are fine
    QCOMPARE(install(configuration(m_Version1, QByteArray(), QStringLiteral("other"))).m_Reason, int(EPackageDownloaderError::NoError));
}

void TestHostileDocuments::directoryInTheWayIsAFailure()
{
    // a directory where the new version has a file is not removed with what it holds
    const QString Path = m_Installation + QStringLiteral("/readme.txt");
    const QByteArray Old = readTreeFile(Path);
    QVERIFY(QFile::remove(Path));
    writeTreeFile(Path, QStringLiteral("kept.txt"), "inside the directory in the way");
    const TOutcome Outcome = install(configuration(m_Version1, QByteArray()));
    QVERIFY(Outcome.m_Finished);
    QCOMPARE(Outcome.m_Reason, int(EPackageDownloaderError::SavingFailed));
    QCOMPARE(readTreeFile(Path + QStringLiteral("/kept.txt")), QByteArray("inside the directory in the way"));

    // cleared by the player: the next run completes
    QVERIFY(QDir(Path).removeRecursively());
    const TOutcome Again = install(configuration(m_Version1, QByteArray()));
    QVERIFY(Again.m_Finished && Again.m_WithoutError);
    QCOMPARE(readTreeFile(Path), Old);
}

void TestHostileDocuments::completeExecutableGetsItsBits()
{
    // the file is complete, so nothing is downloaded for it: it still becomes executable
    const QString Game = m_Installation + QStringLiteral("/bin/game");
    QVERIFY(QFile::setPermissions(Game, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    m_pServer->resetCounters();
    const TOutcome Outcome = install(configuration(m_Version1, QByteArray()));
    QVERIFY(Outcome.m_Finished && Outcome.m_WithoutError);
    QVERIFY(QFileInfo(Game).isExecutable());
    for (const QString& Path : m_pServer->requestedPaths()) {
        QVERIFY2(!Path.contains(QLatin1String("/chunks/")), qPrintable(Path));
    }
}

void TestHostileDocuments::dotSlashNamesAreTheSameFiles()
{
    // installed from a document that wrote "./name": the update to plain names keeps every
    // file (none is obsolete) and fetches nothing
    QJsonObject Root = documentObject(m_Version1);
    QJsonArray Files = Root.value(QStringLiteral("files")).toArray();
    for (int Index = 0; Index < Files.size(); ++Index) {
        QJsonObject File = Files.at(Index).toObject();
        File.insert(QStringLiteral("localfile"), QStringLiteral("./") + File.value(QStringLiteral("localfile")).toString());
        Files.replace(Index, File);
    }
    Root.insert(QStringLiteral("files"), Files);
    Root.insert(QStringLiteral("version"), QStringLiteral("0"));
    writeTreeFile(m_Installation, QStringLiteral("package.json"), toJson(Root));
    const QMap<QString, QByteArray> Before = snapshot();
    m_pServer->resetCounters();
    const TOutcome Outcome = install(configuration(m_Version1, QByteArray()));
    QVERIFY(Outcome.m_Finished && Outcome.m_WithoutError);
    QCOMPARE(Outcome.m_StatusBefore, ELocalPackageStatus::UpdateRequired);
    QCOMPARE(Outcome.m_StatusAfter, ELocalPackageStatus::Installed);
    for (const QString& Path : m_pServer->requestedPaths()) {
        QVERIFY2(!Path.contains(QLatin1String("/chunks/")), qPrintable(Path));
    }
    QMap<QString, QByteArray> After = snapshot();
    After.remove(QStringLiteral("packages/game/package.json"));
    QMap<QString, QByteArray> Expected = Before;
    Expected.remove(QStringLiteral("packages/game/package.json"));
    QVERIFY(After == Expected);
}

void TestHostileDocuments::leftoverTemporaryMarkerIsIgnored()
{
    // a crash after the new marker was written beside the old one but before it was
    // renamed over it: the old marker holds, the leftover is no marker
    const QString Marker = m_Installation + QStringLiteral("/package.json");
    const QByteArray Old = readTreeFile(Marker);
    writeTreeFile(m_Installation, QStringLiteral("package.json.Xa81Qz"), m_Version1.left(m_Version1.size() / 3));
    auto pHelper = helper();
    const auto pConfiguration = configuration(m_Version1, QByteArray());
    TInstallationManager Manager(pConfiguration, pHelper);
    QCOMPARE(Manager.packages().front()->localPackageStatus(), ELocalPackageStatus::Installed);
    QVERIFY(Manager.readPackageConfigurationFromInstallationDirectory(*Manager.packages().front()).m_Valid);

    // markers are replaced whole: the next write leaves no other file behind
    TPackageMarkers Markers(pHelper);
    Markers.markFullyInstalled(*Manager.packages().front());
    QCOMPARE(readTreeFile(Marker), Old);
    QStringList Beside = QDir(m_Installation).entryList({QStringLiteral("package.json*")}, QDir::Files | QDir::Hidden);
    Beside.sort();
    QCOMPARE(Beside, (QStringList {QStringLiteral("package.json"), QStringLiteral("package.json.Xa81Qz")}));
    QVERIFY(QFile::remove(m_Installation + QStringLiteral("/package.json.Xa81Qz")));
}

QTEST_GUILESS_MAIN(TestHostileDocuments)
#include "tst_hostiledocuments.moc"
