#include "TestEnvironment.h"

#include "HostileZpaq.h"
#include "PackTool.h"
#include "Sha256.h"
#include "ProcessHelpers.h"
#include "support/LoopbackHttpServer.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

using namespace testsupport;

namespace {

// A client that writes what it was started with into the file named by TORVANE_TEST_RECORD.
const QByteArray kRecordingClient = "#!/bin/sh\n"
                                    "{\n"
                                    "  for a in \"$@\"; do echo \"ARG:$a\"; done\n"
                                    "  echo \"LD:$LD_LIBRARY_PATH\"\n"
                                    "  echo \"PWD:$(pwd)\"\n"
                                    "} > \"$TORVANE_TEST_RECORD\"\n";

QByteArray launcherConfiguration(const QJsonArray& Packages, const QJsonObject& Extra = {})
{
    QJsonObject Root = Extra;
    Root.insert(QStringLiteral("packages"), Packages);
    return QJsonDocument(Root).toJson();
}

QJsonObject package(const QString& Name, const QString& Directory, const QString& Url, bool Automatic)
{
    return QJsonObject {{"name", Name},
                        {"directoryname", Directory},
                        {"installautomatically", Automatic},
                        {"builds", QJsonArray {QJsonObject {{"os", "linux"}, {"architecture", "x86_64"}, {"url", Url}}}}};
}

} // namespace

class TestLauncherProcess : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void installVerifyAndStartClient();
    void interruptedInstallCompletesLater();
    void missingExecutableEndsWithOne();
    void maintenanceEndsWithOne();
    void showUiAndAutostartRules();
    void forcedAndPatchUpdates();
    void diskErrorEndsWithOne();
    void stuckWorkerDoesNotKeepLauncherFromQuitting();

private:
    QByteArray settings(bool SkipVerification) const;
    std::unique_ptr<QProcess> run(TStagedLauncher& Launcher, const QStringList& Arguments, const QString& Record);

    QTemporaryDir m_Work;
    QString m_Served;
    TLoopbackHttpServer m_Server;
};

void TestLauncherProcess::initTestCase()
{
    m_Served = m_Work.filePath(QStringLiteral("served"));
    QDir().mkpath(m_Served);
    m_Server.serveDirectory(m_Served);
    const QString Tree = m_Work.filePath(QStringLiteral("game"));
    writeTreeFile(Tree, QStringLiteral("bin/client.sh"), kRecordingClient, true);
    writeTreeFile(Tree, QStringLiteral("data/world.pak"), randomBytes(24 * 1000 * 1000, 11));
    writeTreeFile(Tree, QStringLiteral("data/small.txt"), "small\n");
    QVERIFY(
        packTree(Tree, m_Served + QStringLiteral("/game"),
                 {QStringLiteral("--version"), QStringLiteral("5"), QStringLiteral("--executable"), QStringLiteral("bin/client.sh"),
                  QStringLiteral("--parameter"), QStringLiteral("-fast"), QStringLiteral("--parameter"), QStringLiteral("second param")}));
    QVERIFY(packTree(Tree, m_Served + QStringLiteral("/broken"),
                     {QStringLiteral("--version"), QStringLiteral("5"), QStringLiteral("--executable"), QStringLiteral("bin/not-there")}));
}

QByteArray TestLauncherProcess::settings(bool SkipVerification) const
{
    return "[URLS]\nlauncherConfiguration=" + m_Server.url(QStringLiteral("/launcher/wexmetadata.json")).toEncoded() +
        "\n[DIRECTORIES]\npackages=packages\n[FILES]\npackageFile=package.json\npartialPackageFile=partial-package.json\n"
        "assetFile=assets.json\n[TIMING]\nwaitNotificationTimeout=500\ndownloadErrorTimeout=5000\n[OPTIONS]\nmaxConcurrentDownloads="
        "4\nskipVerification=" +
        (SkipVerification ? "true" : "false") + "\n";
}

std::unique_ptr<QProcess> TestLauncherProcess::run(TStagedLauncher& Launcher, const QStringList& Arguments, const QString& Record)
{
    QProcessEnvironment Extra;
    Extra.insert(QStringLiteral("TORVANE_TEST_RECORD"), Record);
    Extra.insert(QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral("/somewhere/else"));
    return Launcher.run(Arguments, Extra);
}

void TestLauncherProcess::installVerifyAndStartClient()
{
    m_Server.setBody(QStringLiteral("/launcher/wexmetadata.json"),
                     launcherConfiguration(
                         {package(QStringLiteral("Torvane"), QStringLiteral("torvane"), QStringLiteral("../game/package.json"), true)}));
    TStagedLauncher Launcher(settings(false));
    const QString Record = m_Work.filePath(QStringLiteral("record1.txt"));
    auto pFirst = run(Launcher, {QStringLiteral("--first-launch")}, Record);
    QVERIFY(pFirst->waitForFinished(120000));
    QCOMPARE(pFirst->exitCode(), 0);
    QVERIFY(waitUntil([&] { return QFile::exists(Record); }, 10000));
    const QString Directory = Launcher.dataDir() + QStringLiteral("/packages/torvane/bin");
    QCOMPARE(QString::fromUtf8(readAll(Record)),
             QStringLiteral("ARG:-fast\nARG:second param\nARG:--package-is-up-to-date\nLD:%1\nPWD:%1\n").arg(Directory));

    // the next start: the installed default starts at once, not verified in this run
    const QString Second = m_Work.filePath(QStringLiteral("record2.txt"));
    auto pNext = run(Launcher, {}, Second);
    QVERIFY(pNext->waitForFinished(60000));
    QCOMPARE(pNext->exitCode(), 0);
    QVERIFY(waitUntil([&] { return QFile::exists(Second); }, 10000));
    QCOMPARE(QString::fromUtf8(readAll(Second)), QStringLiteral("ARG:-fast\nARG:second param\nLD:%1\nPWD:%1\n").arg(Directory));
    QVERIFY(!readAll(Launcher.logPath()).contains("main window"));
}

void TestLauncherProcess::interruptedInstallCompletesLater()
{
    m_Server.setBody(QStringLiteral("/launcher/wexmetadata.json"),
                     launcherConfiguration(
                         {package(QStringLiteral("Torvane"), QStringLiteral("torvane"), QStringLiteral("../game/package.json"), true)}));
    const QByteArray Document = readAll(m_Served + QStringLiteral("/game/package.json"));
    QStringList Chunks;
    for (const QJsonValue& Chunk : QJsonDocument::fromJson(Document).object().value(QStringLiteral("chunks")).toArray()) {
        Chunks << QStringLiteral("/game/") + Chunk.toObject().value(QStringLiteral("url")).toString();
    }
    QVERIFY(Chunks.size() >= 3);
    // the later chunks crawl, so the launcher is killed while the first ones are written
    TBehaviour Crawl;
    Crawl.m_PieceSize = 65536;
    Crawl.m_DelayBetweenPiecesMs = 100;
    for (int Index = 2; Index < Chunks.size(); ++Index) {
        m_Server.setBehaviour(Chunks[Index], Crawl);
    }
    TStagedLauncher Launcher(settings(true));
    const QString Record = m_Work.filePath(QStringLiteral("record3.txt"));
    auto pFirst = run(Launcher, {QStringLiteral("--first-launch")}, Record);
    QVERIFY(waitUntil([&] { return readAll(Launcher.logPath()).contains("processFinishedData found"); }, 60000));
    ::kill(static_cast<pid_t>(pFirst->processId()), SIGKILL);
    QVERIFY(pFirst->waitForFinished(10000));
    const QString Installation = Launcher.dataDir() + QStringLiteral("/packages/torvane");
    QVERIFY(!QFile::exists(Installation + QStringLiteral("/package.json"))); // never marked installed
    QVERIFY(QFile::exists(Installation + QStringLiteral("/partial-package.json")));

    // the chunks that were complete on disk at the kill
    QSet<QString> Complete;
    const QJsonObject Root = QJsonDocument::fromJson(Document).object();
    const QJsonArray ChunkRecords = Root.value(QStringLiteral("chunks")).toArray();
    for (const QJsonValue& FileValue : Root.value(QStringLiteral("files")).toArray()) {
        const QJsonObject File = FileValue.toObject();
        const QByteArray Local = readAll(Installation + QLatin1Char('/') + File.value(QStringLiteral("localfile")).toString());
        qint64 Offset = 0;
        for (const QJsonValue& Position : File.value(QStringLiteral("chunks")).toArray()) {
            const QJsonObject Chunk = ChunkRecords.at(Position.toInt()).toObject();
            const qint64 Size = Chunk.value(QStringLiteral("unpackedsize")).toVariant().toLongLong();
            if (Local.size() >= Offset + Size &&
                shared::TSha256::hash(Local.mid(int(Offset), int(Size))).toHex() ==
                    Chunk.value(QStringLiteral("unpackedhash")).toString().toLatin1()) {
                Complete << QStringLiteral("/game/") + Chunk.value(QStringLiteral("url")).toString();
            }
            Offset += Size;
        }
    }
    QVERIFY(!Complete.isEmpty());
    QVERIFY(Complete.size() < Chunks.size());

    for (const QString& Chunk : Chunks) {
        m_Server.clearBehaviour(Chunk);
    }
    m_Server.resetCounters();
    auto pSecond = run(Launcher, {QStringLiteral("--first-launch")}, Record);
    QVERIFY(pSecond->waitForFinished(120000));
    QCOMPARE(pSecond->exitCode(), 0);
    QVERIFY(QFile::exists(Record));
    QCOMPARE(readAll(Installation + QStringLiteral("/data/world.pak")), readAll(m_Work.filePath(QStringLiteral("game/data/world.pak"))));
    QCOMPARE(readAll(Installation + QStringLiteral("/package.json")), Document);
    for (const QString& Path : Complete) {
        QVERIFY2(m_Server.requestCount(Path) == 0, qPrintable(Path)); // written before the kill: reused
    }
}

void TestLauncherProcess::missingExecutableEndsWithOne()
{
    m_Server.setBody(QStringLiteral("/launcher/wexmetadata.json"),
                     launcherConfiguration(
                         {package(QStringLiteral("Broken"), QStringLiteral("broken"), QStringLiteral("../broken/package.json"), true)}));
    TStagedLauncher Launcher(settings(true));
    auto pProcess = run(Launcher, {QStringLiteral("--first-launch")}, m_Work.filePath(QStringLiteral("never.txt")));
    QVERIFY(pProcess->waitForFinished(120000));
    QCOMPARE(pProcess->exitCode(), 1);
}

void TestLauncherProcess::maintenanceEndsWithOne()
{
    TBehaviour Missing;
    Missing.m_Status = 404;
    m_Server.setBehaviour(QStringLiteral("/launcher/wexmetadata.json"), Missing);
    TStagedLauncher Launcher(settings(true));
    auto pProcess = run(Launcher, {}, m_Work.filePath(QStringLiteral("never.txt")));
    QVERIFY(pProcess->waitForFinished(30000));
    QCOMPARE(pProcess->exitCode(), 1);
    QVERIFY(readAll(Launcher.logPath()).contains("maintenance"));
    m_Server.clearBehaviour(QStringLiteral("/launcher/wexmetadata.json"));
}

namespace {

void terminateLauncher(QProcess& Process)
{
    ::kill(static_cast<pid_t>(Process.processId()), SIGTERM);
    Process.waitForFinished(10000);
}

} // namespace

void TestLauncherProcess::showUiAndAutostartRules()
{
    const QJsonArray Two {package(QStringLiteral("First"), QStringLiteral("first"), QStringLiteral("../game/package.json"), true),
                          package(QStringLiteral("Second"), QStringLiteral("second"), QStringLiteral("../game/package.json"), true)};
    // first launch with two automatic packages, but the configuration forbids the autostart
    m_Server.setBody(QStringLiteral("/launcher/wexmetadata.json"),
                     launcherConfiguration(Two, QJsonObject {{"preventdefaultautostart", true}}));
    TStagedLauncher Launcher(settings(true));
    const QString Record = m_Work.filePath(QStringLiteral("record-ui.txt"));
    auto pFirst = run(Launcher, {QStringLiteral("--first-launch")}, Record);
    const QString Packages = Launcher.dataDir() + QStringLiteral("/packages/");
    QVERIFY(waitUntil(
        [&] {
            return QFile::exists(Packages + QStringLiteral("first/package.json")) &&
                QFile::exists(Packages + QStringLiteral("second/package.json"));
        },
        120000));
    QVERIFY(QFile::exists(Packages + QStringLiteral("first/default"))); // the first automatic package is the default
    QVERIFY(!QFile::exists(Packages + QStringLiteral("second/default")));
    QTest::qWait(1000);
    QCOMPARE(pFirst->state(), QProcess::Running); // not started by itself
    QVERIFY(!QFile::exists(Record));
    terminateLauncher(*pFirst);

    // the installed default with show-ui: the window, and nothing starts
    m_Server.setBody(QStringLiteral("/launcher/wexmetadata.json"), launcherConfiguration(Two));
    auto pShown = run(Launcher, {QStringLiteral("--show-ui")}, Record);
    QVERIFY(waitUntil([&] { return readAll(Launcher.logPath()).contains("show the main window"); }, 30000));
    QTest::qWait(1000);
    QCOMPARE(pShown->state(), QProcess::Running);
    QVERIFY(!QFile::exists(Record));
    terminateLauncher(*pShown);

    // first launch again without the prohibition: both are up to date, the default starts
    auto pStarted = run(Launcher, {QStringLiteral("--first-launch")}, Record);
    QVERIFY(pStarted->waitForFinished(120000));
    QCOMPARE(pStarted->exitCode(), 0);
    QVERIFY(waitUntil([&] { return QFile::exists(Record); }, 10000));
    QVERIFY(readAll(Record).contains("/packages/first/bin"));
}

void TestLauncherProcess::forcedAndPatchUpdates()
{
    m_Server.setBody(QStringLiteral("/launcher/wexmetadata.json"),
                     launcherConfiguration(
                         {package(QStringLiteral("Torvane"), QStringLiteral("torvane"), QStringLiteral("../game/package.json"), true)}));
    TStagedLauncher Launcher(settings(true));
    const QString Record = m_Work.filePath(QStringLiteral("record-patch.txt"));
    auto pInstall = run(Launcher, {QStringLiteral("--first-launch")}, Record);
    QVERIFY(pInstall->waitForFinished(120000));
    QCOMPARE(pInstall->exitCode(), 0);
    const QString Installation = Launcher.dataDir() + QStringLiteral("/packages/torvane");

    // a force marker: removed, the window shown, the update started
    QFile Marker(Installation + QStringLiteral("/FORCE_PATCH"));
    QVERIFY(Marker.open(QIODevice::WriteOnly));
    Marker.close();
    auto pForced = run(Launcher, {}, m_Work.filePath(QStringLiteral("unused.txt")));
    QVERIFY(waitUntil([&] { return readAll(Launcher.logPath()).contains("installOrUpdatePackage"); }, 30000));
    QVERIFY(readAll(Launcher.logPath()).contains("show the main window"));
    QVERIFY(!QFile::exists(Marker.fileName()));
    QVERIFY(waitUntil([&] { return readAll(Launcher.logPath()).contains("onVerificationFinished"); }, 60000));
    terminateLauncher(*pForced);

    // a patch request naming the executable with "./" and "//": matched, updated and started
    QFile::remove(Record);
    const QString Patch = Installation + QStringLiteral("/./bin//client.sh");
    auto pPatched = run(Launcher, {QStringLiteral("--patch"), Patch}, Record);
    QVERIFY(pPatched->waitForFinished(120000));
    QCOMPARE(pPatched->exitCode(), 0);
    QVERIFY(waitUntil([&] { return QFile::exists(Record); }, 10000));

    // a patch request for an unknown executable: the notice, and the launcher stays
    auto pUnknown = run(Launcher, {QStringLiteral("--patch"), QStringLiteral("/nowhere/client")}, Record);
    QVERIFY(waitUntil([&] { return readAll(Launcher.logPath()).contains("show the main window"); }, 30000));
    QTest::qWait(1000); // the notice closes itself after TORVANE_DIALOG_TIMEOUT_MS
    QCOMPARE(pUnknown->state(), QProcess::Running);
    terminateLauncher(*pUnknown);
}

void TestLauncherProcess::diskErrorEndsWithOne()
{
    m_Server.setBody(QStringLiteral("/launcher/wexmetadata.json"), launcherConfiguration({}));
    TStagedLauncher Launcher(settings(true));
    // the configuration cache cannot be written: a directory stands in its place
    QVERIFY(QDir().mkpath(Launcher.dataDir() + QStringLiteral("/launchermetadata.json/blocker")));
    auto pProcess = run(Launcher, {}, m_Work.filePath(QStringLiteral("never.txt")));
    QVERIFY(pProcess->waitForFinished(30000));
    QCOMPARE(pProcess->exitCode(), 1);
    QVERIFY(readAll(Launcher.logPath()).contains("A critical error occurred while accessing a file:"));
}

void TestLauncherProcess::stuckWorkerDoesNotKeepLauncherFromQuitting()
{
    // The package's document without packed hashes, so that the looping ZPAQ block served
    // for its first chunk reaches the decoder; the test lifts the decoder's budget, so the
    // worker never comes back.
    const QString Stuck = m_Served + QStringLiteral("/stuck");
    QVERIFY(QDir().mkpath(Stuck));
    QJsonObject Root = QJsonDocument::fromJson(readAll(m_Served + QStringLiteral("/game/package.json"))).object();
    QJsonArray ChunkRecords = Root.value(QStringLiteral("chunks")).toArray();
    for (int Index = 0; Index < ChunkRecords.size(); ++Index) {
        QJsonObject Chunk = ChunkRecords.at(Index).toObject();
        Chunk.remove(QStringLiteral("packedhash"));
        Chunk.insert(QStringLiteral("url"), QStringLiteral("../game/") + Chunk.value(QStringLiteral("url")).toString());
        ChunkRecords.replace(Index, Chunk);
    }
    Root.insert(QStringLiteral("chunks"), ChunkRecords);
    // a file small enough to stay whole carries its packed form on the file record as well
    QJsonArray FileRecords = Root.value(QStringLiteral("files")).toArray();
    for (int Index = 0; Index < FileRecords.size(); ++Index) {
        QJsonObject File = FileRecords.at(Index).toObject();
        File.remove(QStringLiteral("packedhash"));
        if (File.contains(QStringLiteral("url"))) {
            File.insert(QStringLiteral("url"), QStringLiteral("../game/") + File.value(QStringLiteral("url")).toString());
        }
        FileRecords.replace(Index, File);
    }
    Root.insert(QStringLiteral("files"), FileRecords);
    QFile Document(Stuck + QStringLiteral("/package.json"));
    QVERIFY(Document.open(QIODevice::WriteOnly));
    Document.write(QJsonDocument(Root).toJson());
    Document.close();
    const QJsonObject First = ChunkRecords.at(0).toObject();
    const QString FirstPath = QStringLiteral("/stuck/") + First.value(QStringLiteral("url")).toString();
    const QString FirstServed = QDir::cleanPath(FirstPath);
    TBehaviour Looping;
    Looping.m_Body = loopingZpaqContainer(First.value(QStringLiteral("packedsize")).toInt());
    m_Server.setBehaviour(FirstServed, Looping);
    m_Server.setBody(QStringLiteral("/launcher/wexmetadata.json"),
                     launcherConfiguration(
                         {package(QStringLiteral("Torvane"), QStringLiteral("torvane"), QStringLiteral("../stuck/package.json"), true)}));

    TStagedLauncher Launcher(settings(true));
    const QString Record = m_Work.filePath(QStringLiteral("record-stuck.txt"));
    QProcessEnvironment Extra;
    Extra.insert(QStringLiteral("TORVANE_TEST_RECORD"), Record);
    // a temporary directory of its own keeps its single-instance guard apart from other
    // launchers that may run on this machine
    const QString Temporary = m_Work.filePath(QStringLiteral("tmp-stuck"));
    QVERIFY(QDir().mkpath(Temporary));
    Extra.insert(QStringLiteral("TMPDIR"), Temporary);
    QProcessEnvironment Budgetless = Extra;
    Budgetless.insert(QStringLiteral("TORVANE_TEST_ZPAQ_INSTRUCTION_BUDGET"), QStringLiteral("18446744073709551615"));
    auto pStuck = Launcher.run({QStringLiteral("--first-launch")}, Budgetless);
    // the URL is logged as resolved against the documents' addresses, with ".." in it
    const QByteArray FirstUrl = QFileInfo(FirstServed).fileName().toUtf8();
    const auto Decoding = [&] {
        for (const QByteArray& Line : readAll(Launcher.logPath()).split('\n')) {
            if (Line.contains("processDownloadedData decompress") && Line.contains(FirstUrl)) {
                return true;
            }
        }
        return false;
    };
    QVERIFY2(waitUntil(Decoding, 60000), readAll(Launcher.logPath()).right(3000).constData());
    QTest::qWait(500); // the worker is in the loop now
    QCOMPARE(pStuck->state(), QProcess::Running);
    ::kill(static_cast<pid_t>(pStuck->processId()), SIGTERM);
    QVERIFY2(pStuck->waitForFinished(5000), "the launcher did not end within 5 s of SIGTERM");
    QCOMPARE(pStuck->exitStatus(), QProcess::NormalExit);
    QVERIFY(readAll(Launcher.logPath()).contains("ending without waiting"));
    const QString Installation = Launcher.dataDir() + QStringLiteral("/packages/torvane");
    QVERIFY(QFile::exists(Installation + QStringLiteral("/partial-package.json")));
    QVERIFY(!QFile::exists(Installation + QStringLiteral("/package.json")));

    // the next start, with the chunk served as it should be, completes the installation
    m_Server.clearBehaviour(FirstServed);
    auto pNext = Launcher.run({QStringLiteral("--first-launch")}, Extra);
    QVERIFY(pNext->waitForFinished(120000));
    QCOMPARE(pNext->exitCode(), 0);
    QVERIFY(waitUntil([&] { return QFile::exists(Record); }, 10000));
    QCOMPARE(readAll(Installation + QStringLiteral("/data/world.pak")), readAll(m_Work.filePath(QStringLiteral("game/data/world.pak"))));
}

QTEST_GUILESS_MAIN(TestLauncherProcess)
#include "tst_launcherprocess.moc"
