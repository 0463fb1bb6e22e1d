#include "TestEnvironment.h"

#include "PackTool.h"
#include "ProcessHelpers.h"
#include "support/LoopbackHttpServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

using namespace testsupport;

namespace {

void killStagedLaunchers(const QString& Executable)
{
    QProcess::execute(QStringLiteral("pkill"), {QStringLiteral("-KILL"), QStringLiteral("-f"), Executable});
}

} // namespace

// The launcher replacing itself, as real processes in an application directory of their own.
class TestSelfUpdate : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void updatesAndRestarts();
    void failedUpdateRestoresTheLauncher();
    void cachedConfigurationMakesNoUpdate();

private:
    QByteArray settings() const;
    void publish(const QString& Name, const QString& Version);

    QTemporaryDir m_Work;
    QString m_Served;
    TLoopbackHttpServer m_Server;
};

void TestSelfUpdate::initTestCase()
{
    m_Served = m_Work.filePath(QStringLiteral("served"));
    QDir().mkpath(m_Served);
    m_Server.serveDirectory(m_Served);
    m_Server.setBody(
        QStringLiteral("/launcher/wexmetadata.json"),
        QJsonDocument(
            QJsonObject {
                {"launcher",
                 QJsonObject {
                     {"name", "Torvane Launcher"},
                     {"builds", QJsonArray {QJsonObject {{"os", "linux"}, {"architecture", "x86_64"}, {"url", "../self/package.json"}}}}}},
                {"packages", QJsonArray {}}})
            .toJson());
    publish(QStringLiteral("self"), QStringLiteral("0.0.9"));
}

// The launcher package: the launcher itself, a new file and a file in a sub-directory.
void TestSelfUpdate::publish(const QString& Name, const QString& Version)
{
    const QString Tree = m_Work.filePath(QStringLiteral("tree-") + Name);
    QDir(Tree).removeRecursively();
    writeTreeFile(Tree, QStringLiteral("torvane-launcher"), readTreeFile(launcherBinary()), true);
    writeTreeFile(Tree, QStringLiteral("notes.txt"), "new launcher notes " + Version.toUtf8());
    writeTreeFile(Tree, QStringLiteral("sub/data.bin"), randomBytes(3000, 5));
    QDir(m_Served + QLatin1Char('/') + Name).removeRecursively();
    QStringList Options {QStringLiteral("--version"), Version, QStringLiteral("--codec"), QStringLiteral("3")};
    if (Name == QLatin1String("self")) {
        Options << QStringLiteral("--executable") << QStringLiteral("torvane-launcher");
    }
    QVERIFY(packTree(Tree, m_Served + QLatin1Char('/') + Name, Options));
}

QByteArray TestSelfUpdate::settings() const
{
    return "[URLS]\nlauncherConfiguration=" + m_Server.url(QStringLiteral("/launcher/wexmetadata.json")).toEncoded() +
        "\n[DIRECTORIES]\npackages=packages\n[FILES]\npackageFile=package.json\npartialPackageFile=partial-package.json\n"
        "assetFile=assets.json\n[TIMING]\nwaitNotificationTimeout=500\ndownloadErrorTimeout=1500\n";
}

void TestSelfUpdate::updatesAndRestarts()
{
    TStagedLauncher Launcher(settings());
    // left from an earlier update: removed at the top level only
    writeTreeFile(Launcher.appDir(), QStringLiteral("leftover.old"), "old");
    writeTreeFile(Launcher.appDir(), QStringLiteral("keep/inner.old"), "old");
    writeTreeFile(Launcher.appDir(), QStringLiteral("sub/data.bin"), "the previous data");

    auto pOld = Launcher.run({});
    QVERIFY(pOld->waitForFinished(60000));
    QCOMPARE(pOld->exitCode(), 0); // it restarted the new launcher and left
    // the new launcher runs with --skip-selfupdate and cleans up
    QVERIFY(waitUntil([&] { return readAll(Launcher.logPath()).contains("show the main window"); }, 60000));
    const QByteArray Log = readAll(Launcher.logPath());
    QVERIFY(Log.contains("cleanupOldLauncherVersion"));
    QVERIFY(!Log.contains("startSelfUpdate"));
    QCOMPARE(readAll(Launcher.appDir() + QStringLiteral("/notes.txt")), QByteArray("new launcher notes 0.0.9"));
    QCOMPARE(readAll(Launcher.appDir() + QStringLiteral("/package.json")), readAll(m_Served + QStringLiteral("/self/package.json")));
    QVERIFY(!QFile::exists(Launcher.appDir() + QStringLiteral("/leftover.old")));
    QVERIFY(!QFile::exists(Launcher.appDir() + QStringLiteral("/torvane-launcher.old")));
    QVERIFY(QFile::exists(Launcher.appDir() + QStringLiteral("/keep/inner.old")));
    // the replaced file in the sub-directory kept its copy
    QCOMPARE(readAll(Launcher.appDir() + QStringLiteral("/sub/data.bin.old")), QByteArray("the previous data"));
    QVERIFY(QFileInfo(Launcher.executable()).isExecutable());
    killStagedLaunchers(Launcher.executable());
}

void TestSelfUpdate::failedUpdateRestoresTheLauncher()
{
    publish(QStringLiteral("broken"), QStringLiteral("0.1.0"));
    // every chunk of the new launcher is gone from the server
    QDir(m_Served + QStringLiteral("/broken/chunks")).removeRecursively();
    m_Server.setBody(
        QStringLiteral("/launcher/wexmetadata.json"),
        QJsonDocument(QJsonObject {{"launcher",
                                    QJsonObject {{"name", "Torvane Launcher"},
                                                 {"builds",
                                                  QJsonArray {QJsonObject {
                                                      {"os", "linux"}, {"architecture", "x86_64"}, {"url", "../broken/package.json"}}}}}}})
            .toJson());
    TStagedLauncher Launcher(settings());
    const QByteArray Original = readAll(Launcher.executable());
    auto pProcess = Launcher.run({});
    QVERIFY(waitUntil([&] { return readAll(Launcher.logPath()).contains("show the main window"); }, 60000));
    QVERIFY(readAll(Launcher.logPath()).contains("Updating Torvane Online failed: Error 1"));
    QCOMPARE(pProcess->state(), QProcess::Running); // the old launcher goes on
    QCOMPARE(readAll(Launcher.executable()), Original);
    QVERIFY(QFileInfo(Launcher.executable()).isExecutable());
    ::kill(static_cast<pid_t>(pProcess->processId()), SIGTERM);
    QVERIFY(pProcess->waitForFinished(10000));
}

void TestSelfUpdate::cachedConfigurationMakesNoUpdate()
{
    TStagedLauncher Launcher(settings());
    // a cache from an earlier run; the server does not answer in time
    writeTreeFile(
        Launcher.dataDir(), QStringLiteral("launchermetadata.json"),
        QJsonDocument(
            QJsonObject {
                {"launcher",
                 QJsonObject {{"name", "Torvane Launcher"},
                              {"builds",
                               QJsonArray {QJsonObject {{"os", "linux"},
                                                        {"architecture", "x86_64"},
                                                        {"url", m_Server.url(QStringLiteral("/self/package.json")).toString()}}}}}}})
            .toJson());
    TBehaviour Slow;
    Slow.m_DelayBeforeHeadersMs = 5000;
    m_Server.setBehaviour(QStringLiteral("/launcher/wexmetadata.json"), Slow);
    m_Server.resetCounters();
    auto pProcess = Launcher.run({});
    QVERIFY(waitUntil([&] { return readAll(Launcher.logPath()).contains("show the main window"); }, 30000));
    const QByteArray Log = readAll(Launcher.logPath());
    QVERIFY(Log.contains("using the cached launcher configuration"));
    QVERIFY(!Log.contains("startSelfUpdate"));
    QCOMPARE(m_Server.requestCount(QStringLiteral("/self/package.json")), 0);
    ::kill(static_cast<pid_t>(pProcess->processId()), SIGTERM);
    QVERIFY(pProcess->waitForFinished(10000));
    m_Server.clearBehaviour(QStringLiteral("/launcher/wexmetadata.json"));
}

QTEST_GUILESS_MAIN(TestSelfUpdate)
#include "tst_selfupdate.moc"
