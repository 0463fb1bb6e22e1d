#include "TestEnvironment.h"

#include "PackTool.h"
#include "ProcessHelpers.h"
#include "support/LoopbackHttpServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace testsupport;

namespace {

// Runs a program to its end; its standard output, or a null array on failure.
QByteArray runTool(const QString& Program, const QStringList& Arguments,
                   const QProcessEnvironment& Environment = QProcessEnvironment::systemEnvironment())
{
    QProcess Tool;
    Tool.setProcessEnvironment(Environment);
    Tool.setProcessChannelMode(QProcess::SeparateChannels);
    Tool.start(Program, Arguments);
    if (!Tool.waitForFinished(600000) || Tool.exitStatus() != QProcess::NormalExit || Tool.exitCode() != 0) {
        qWarning() << Program << Arguments << "failed:" << Tool.readAllStandardOutput() << Tool.readAllStandardError();
        return QByteArray();
    }
    const QByteArray Output = Tool.readAllStandardOutput();
    return Output.isNull() ? QByteArray("") : Output;
}

} // namespace

// scripts/package on the built tree: the .deb holds what a desktop needs, and the launcher
// unpacked from it installs a game from the loopback server.
class TestDebPackage : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void contents_data();
    void contents();
    void dependenciesComputed();
    void unpackedLauncherInstallsAPackage();

private:
    QTemporaryDir m_Work;
    QString m_Deb;
    QStringList m_Contents;
};

void TestDebPackage::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("dpkg-deb")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("cpack")).isEmpty()) {
        QSKIP("dpkg-deb or cpack missing: scripts/deps installs them");
    }
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
    Environment.insert(QStringLiteral("BUILD_DIR"), QDir(QStringLiteral(TORVANE_BIN_DIR "/..")).absolutePath());
    // the test's own HOME must not leak into lintian's or dpkg's
    Environment.insert(QStringLiteral("HOME"), isolatedUserState().home());
    const QString Output = m_Work.filePath(QStringLiteral("dist"));
    const QByteArray Log =
        runTool(QStringLiteral(TORVANE_SOURCE_DIR "/scripts/package"), {QStringLiteral("--no-build"), Output}, Environment);
    QVERIFY2(!Log.isNull(), "scripts/package failed");
    qInfo().noquote() << Log;
    m_Deb = Output + QStringLiteral("/torvane-launcher_0.0.8_amd64.deb");
    QVERIFY2(QFile::exists(m_Deb), qPrintable(m_Deb));
    for (const QByteArray& Line : runTool(QStringLiteral("dpkg-deb"), {QStringLiteral("--contents"), m_Deb}).split('\n')) {
        // "-rwxr-xr-x root/root 12345 2026-12-06 12:00 ./usr/bin/torvane-launcher"
        const QList<QByteArray> Fields = Line.simplified().split(' ');
        if (Fields.size() >= 6) {
            m_Contents << QString::fromUtf8(Fields.at(0) + ' ' + Fields.at(5));
        }
    }
}

void TestDebPackage::contents_data()
{
    QTest::addColumn<QString>("Entry"); // mode and path as dpkg-deb lists them
    QTest::newRow("launcher") << QStringLiteral("-rwxr-xr-x ./usr/bin/torvane-launcher");
    QTest::newRow("packaging tool") << QStringLiteral("-rwxr-xr-x ./usr/bin/torvane-pack");
    QTest::newRow("translation") << QStringLiteral("-rw-r--r-- ./usr/share/torvane-launcher/launcher.en.qm");
    QTest::newRow("desktop entry") << QStringLiteral("-rw-r--r-- ./usr/share/applications/torvane-launcher.desktop");
    QTest::newRow("icon") << QStringLiteral("-rw-r--r-- ./usr/share/icons/hicolor/256x256/apps/torvane-launcher.png");
    QTest::newRow("metainfo") << QStringLiteral("-rw-r--r-- ./usr/share/metainfo/torvane-launcher.metainfo.xml");
    QTest::newRow("copyright") << QStringLiteral("-rw-r--r-- ./usr/share/doc/torvane-launcher/copyright");
    QTest::newRow("folders") << QStringLiteral("drwxr-xr-x ./usr/share/icons/hicolor/256x256/apps/");
}

void TestDebPackage::contents()
{
    QFETCH(QString, Entry);
    QVERIFY2(m_Contents.contains(Entry), qPrintable(m_Contents.join(QLatin1Char('\n'))));
}

void TestDebPackage::dependenciesComputed()
{
    const QString Depends =
        QString::fromUtf8(runTool(QStringLiteral("dpkg-deb"), {QStringLiteral("--field"), m_Deb, QStringLiteral("Depends")}));
    for (const char* Library : {"libqt5widgets5", "libqt5network5", "liblzma5", "liblz1", "zlib1g", "libc6"}) {
        QVERIFY2(Depends.contains(QLatin1String(Library)), qPrintable(Depends));
    }
}

void TestDebPackage::unpackedLauncherInstallsAPackage()
{
    const QString Root = m_Work.filePath(QStringLiteral("root"));
    QVERIFY(!runTool(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_Deb, Root}).isNull());
    QCOMPARE(QString::fromUtf8(readAll(Root + QStringLiteral("/usr/share/applications/torvane-launcher.desktop")))
                 .contains(QStringLiteral("\nExec=\"/usr/bin/torvane-launcher\"\n")),
             true);

    TLoopbackHttpServer Server;
    const QString Served = m_Work.filePath(QStringLiteral("served"));
    QDir().mkpath(Served);
    Server.serveDirectory(Served);
    const QString Tree = m_Work.filePath(QStringLiteral("game"));
    writeTreeFile(Tree, QStringLiteral("data/world.pak"), randomBytes(2 * 1000 * 1000, 51));
    writeTreeFile(Tree, QStringLiteral("bin/client.sh"), "#!/bin/sh\ntouch \"$TORVANE_TEST_RECORD\"\n", true);
    QVERIFY(packTree(Tree, Served + QStringLiteral("/game"),
                     {QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--executable"), QStringLiteral("bin/client.sh")}));
    const QJsonArray Packages {
        QJsonObject {{"name", "Torvane"},
                     {"directoryname", "torvane"},
                     {"installautomatically", true},
                     {"builds", QJsonArray {QJsonObject {{"os", "linux"}, {"architecture", "x86_64"}, {"url", "../game/package.json"}}}}}};
    Server.setBody(QStringLiteral("/launcher/wexmetadata.json"), QJsonDocument(QJsonObject {{"packages", Packages}}).toJson());

    // a settings file beside the unpacked launcher points it at the loopback server
    QFile Settings(Root + QStringLiteral("/usr/bin/launchersettings.ini"));
    QVERIFY(Settings.open(QIODevice::WriteOnly));
    Settings.write("[URLS]\nlauncherConfiguration=" + Server.url(QStringLiteral("/launcher/wexmetadata.json")).toEncoded() +
                   "\n[DIRECTORIES]\npackages=packages\n[FILES]\npackageFile=package.json\npartialPackageFile=partial-package.json\n"
                   "assetFile=assets.json\n[TIMING]\nwaitNotificationTimeout=500\ndownloadErrorTimeout=5000\n");
    Settings.close();

    const QString Home = m_Work.filePath(QStringLiteral("home"));
    QDir().mkpath(Home);
    const QString Record = m_Work.filePath(QStringLiteral("client-started"));
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
    Environment.insert(QStringLiteral("HOME"), Home);
    for (const char* Name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
        Environment.remove(QLatin1String(Name));
    }
    Environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    Environment.insert(QStringLiteral("TORVANE_DIALOG_TIMEOUT_MS"), QStringLiteral("300"));
    Environment.insert(QStringLiteral("TORVANE_TEST_RECORD"), Record);
    QProcess Launcher;
    Launcher.setProcessEnvironment(Environment);
    Launcher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    Launcher.setWorkingDirectory(Home);
    Launcher.start(Root + QStringLiteral("/usr/bin/torvane-launcher"), {QStringLiteral("--first-launch")});
    QVERIFY(Launcher.waitForFinished(120000));
    QCOMPARE(Launcher.exitCode(), 0);
    const QString Installed = Home + QStringLiteral("/.local/share/Halvern GmbH/Torvane Online/packages/torvane");
    QCOMPARE(readTreeFile(Installed + QStringLiteral("/data/world.pak")), readTreeFile(Tree + QStringLiteral("/data/world.pak")));
    QVERIFY(waitUntil([&] { return QFile::exists(Record); }, 10000));
}

QTEST_GUILESS_MAIN(TestDebPackage)
#include "tst_debpackage.moc"
