#include "TestEnvironment.h"

#include "PackTool.h"
#include "ProcessHelpers.h"
#include "support/LoopbackHttpServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace testsupport;

namespace {

// A name that resolves nowhere: only a proxy can fetch it. (Qt never sends requests for
// 127.0.0.1 or localhost through a proxy, so the chunks must live under another name.)
const QString kContentHost = QStringLiteral("content.torvane.test");

} // namespace

// The real launcher with http_proxy set: the loopback server plays the proxy and records
// the absolute request targets it is sent.
class TestProxy : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void proxyFromEnvironment_data();
    void proxyFromEnvironment();

private:
    QTemporaryDir m_Work;
    TLoopbackHttpServer m_Server;
};

void TestProxy::initTestCase()
{
    const QString Served = m_Work.filePath(QStringLiteral("served"));
    QDir().mkpath(Served);
    m_Server.serveDirectory(Served);
    const QString Tree = m_Work.filePath(QStringLiteral("game"));
    writeTreeFile(Tree, QStringLiteral("data/world.pak"), randomBytes(3 * 1000 * 1000, 41));
    writeTreeFile(Tree, QStringLiteral("bin/client.sh"), "#!/bin/sh\ntrue\n", true);
    QVERIFY(packTree(Tree, Served + QStringLiteral("/game"),
                     {QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--executable"), QStringLiteral("bin/client.sh")}));
    // the configuration comes straight from the server, the package from the content host
    const QJsonArray Packages {QJsonObject {
        {"name", "Torvane"},
        {"directoryname", "torvane"},
        {"installautomatically", true},
        {"builds",
         QJsonArray {QJsonObject {
             {"os", "linux"}, {"architecture", "x86_64"}, {"url", QStringLiteral("http://%1/game/package.json").arg(kContentHost)}}}}}};
    m_Server.setBody(QStringLiteral("/launcher/wexmetadata.json"), QJsonDocument(QJsonObject {{"packages", Packages}}).toJson());
}

void TestProxy::proxyFromEnvironment_data()
{
    QTest::addColumn<QString>("NoProxy");
    QTest::addColumn<bool>("ThroughProxy");
    QTest::newRow("http_proxy") << QString() << true;
    QTest::newRow("no_proxy covers the host") << QStringLiteral("example.org,.torvane.test") << false;
}

void TestProxy::proxyFromEnvironment()
{
    QFETCH(QString, NoProxy);
    QFETCH(bool, ThroughProxy);
    TStagedLauncher Launcher(
        "[URLS]\nlauncherConfiguration=" + m_Server.url(QStringLiteral("/launcher/wexmetadata.json")).toEncoded() +
        "\n[DIRECTORIES]\npackages=packages\n[FILES]\npackageFile=package.json\npartialPackageFile=partial-package.json\n"
        "assetFile=assets.json\n[TIMING]\nwaitNotificationTimeout=500\ndownloadErrorTimeout=3000\n");
    m_Server.resetCounters();
    QProcessEnvironment Extra;
    Extra.insert(QStringLiteral("http_proxy"), m_Server.url(QStringLiteral("/")).toString());
    Extra.insert(QStringLiteral("no_proxy"), NoProxy);
    auto pProcess = Launcher.run({QStringLiteral("--first-launch")}, Extra);
    const QString Installed = Launcher.dataDir() + QStringLiteral("/packages/torvane/data/world.pak");
    if (ThroughProxy) {
        // installs, then starts the client and ends
        QVERIFY(pProcess->waitForFinished(120000));
        QCOMPARE(pProcess->exitCode(), 0);
        QCOMPARE(QFileInfo(Installed).size(), qint64(3 * 1000 * 1000));
    } else {
        // the content host cannot be reached without the proxy: the launcher waits in its
        // window with nothing to install
        QVERIFY(waitUntil(
            [&] { return readAll(Launcher.logPath()).contains("onLauncherReadyForAction") || pProcess->state() == QProcess::NotRunning; },
            30000));
        QTest::qWait(500);
        pProcess->terminate();
        if (!pProcess->waitForFinished(10000)) {
            pProcess->kill();
            pProcess->waitForFinished(5000);
        }
        QVERIFY(!QFile::exists(Installed));
    }

    int ChunkRequests = 0;
    int Proxied = 0;
    for (const TCapturedRequest& Request : m_Server.capturedRequests()) {
        const bool IsChunk = Request.m_Path.startsWith("/game/chunks/");
        ChunkRequests += IsChunk ? 1 : 0;
        if (!Request.m_AbsoluteTarget.isEmpty()) {
            ++Proxied;
            QVERIFY2(Request.m_AbsoluteTarget.startsWith("http://" + kContentHost.toLatin1() + "/game/"),
                     Request.m_AbsoluteTarget.constData());
        } else {
            // only the configuration (on 127.0.0.1) goes straight to the server
            QVERIFY2(Request.m_Path.startsWith("/launcher/"), Request.m_Path.constData());
        }
    }
    if (ThroughProxy) {
        QVERIFY(ChunkRequests > 0);
        QVERIFY(Proxied > ChunkRequests); // the package document came the same way
    } else {
        QCOMPARE(Proxied, 0);
    }
}

QTEST_GUILESS_MAIN(TestProxy)
#include "tst_proxy.moc"
