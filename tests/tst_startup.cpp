#include "TestEnvironment.h"

#include "FirstInstanceTester.h"
#include "ProcessHelpers.h"
#include "support/LoopbackHttpServer.h"

#include <unistd.h>

#include <csignal>

using namespace testsupport;

namespace {

// The configuration server answers only after a minute: the launcher keeps running its
// event loop while it waits.
QByteArray settingsFor(const testsupport::TLoopbackHttpServer& Server)
{
    return "[URLS]\nlauncherConfiguration=" + Server.url(QStringLiteral("/launcher/wexmetadata.json")).toEncoded() +
        "\n[TIMING]\nwaitNotificationTimeout=100\ndownloadErrorTimeout=600000\n";
}

bool logHasStarted(const TStagedLauncher& Launcher)
{
    return readAll(Launcher.logPath()).contains("load configuration");
}

void terminate(QProcess& Process)
{
    ::kill(static_cast<pid_t>(Process.processId()), SIGTERM);
    QVERIFY(Process.waitForFinished(10000));
    QCOMPARE(Process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(Process.exitCode(), 0);
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT
public:
    TestStartup()
    {
        testsupport::TBehaviour Slow;
        Slow.m_DelayBeforeHeadersMs = 60000;
        m_Server.setBehaviour(QStringLiteral("/launcher/wexmetadata.json"), Slow);
        m_Server.setBody(QStringLiteral("/launcher/wexmetadata.json"), "{}");
        m_Settings = settingsFor(m_Server);
    }

private:
    testsupport::TLoopbackHttpServer m_Server;
    QByteArray m_Settings;

private slots:
    void logFileAndVersionLine();
    void secondInstanceExitsAndKeepsLog();
    void startsAgainAfterKill();
    void guardIsPerUser();
};

void TestStartup::logFileAndVersionLine()
{
    TStagedLauncher Launcher(m_Settings);
    QVERIFY(!QDir(Launcher.dataDir()).exists()); // made with all its parents
    auto pProcess = Launcher.start({QStringLiteral("--no-such-option"), QStringLiteral("stray-argument"), QStringLiteral("-u")});
    QVERIFY2(waitUntil([&] { return logHasStarted(Launcher); }, 15000), pProcess->readAllStandardError().constData());
    const QString Log = QString::fromUtf8(readAll(Launcher.logPath()));
    QVERIFY2(
        QRegularExpression(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\(:0\\) Info: Version:  \"0\\.0\\.8\"  Thread:  0x[0-9a-f]+\n"))
            .match(Log)
            .hasMatch(),
        qPrintable(Log));
    terminate(*pProcess);
}

void TestStartup::secondInstanceExitsAndKeepsLog()
{
    TStagedLauncher Launcher(m_Settings);
    auto pFirst = Launcher.start();
    QVERIFY(waitUntil([&] { return logHasStarted(Launcher); }, 15000));
    const QByteArray LogBefore = readAll(Launcher.logPath());

    auto pSecond = Launcher.start({QStringLiteral("--show-ui")});
    QVERIFY(pSecond->waitForFinished(15000));
    QCOMPARE(pSecond->exitStatus(), QProcess::NormalExit);
    QCOMPARE(pSecond->exitCode(), 0);
    QVERIFY(pSecond->readAllStandardError().contains("already running"));
    QVERIFY(readAll(Launcher.logPath()).startsWith(LogBefore)); // not truncated by the second start
    QCOMPARE(pFirst->state(), QProcess::Running);

    terminate(*pFirst);
}

void TestStartup::startsAgainAfterKill()
{
    TStagedLauncher Launcher(m_Settings);
    auto pFirst = Launcher.start();
    QVERIFY(waitUntil([&] { return logHasStarted(Launcher); }, 15000));
    ::kill(static_cast<pid_t>(pFirst->processId()), SIGKILL);
    QVERIFY(pFirst->waitForFinished(10000));

    QFile::remove(Launcher.logPath());
    auto pNext = Launcher.start();
    QVERIFY2(waitUntil([&] { return logHasStarted(Launcher); }, 15000), pNext->readAllStandardError().constData());
    QCOMPARE(pNext->state(), QProcess::Running);
    terminate(*pNext);
}

void TestStartup::guardIsPerUser()
{
    using shared::FirstInstanceTester;
    const QString Mine = FirstInstanceTester::keyForCurrentUser();
    QCOMPARE(Mine, QStringLiteral("1b7a377a-e61e-4016-a479-7054bc72a4f8-%1").arg(::getuid()));

    QSharedMemory::SharedMemoryError Error = QSharedMemory::UnknownError;
    FirstInstanceTester First(Mine + QStringLiteral("-test"));
    QVERIFY(First.create(Error));
    QCOMPARE(Error, QSharedMemory::NoError);
    FirstInstanceTester Second(Mine + QStringLiteral("-test"));
    QVERIFY(!Second.create(Error));
    QCOMPARE(Error, QSharedMemory::AlreadyExists);
    // another user's launcher uses another key and is not blocked
    FirstInstanceTester OtherUser(QStringLiteral("1b7a377a-e61e-4016-a479-7054bc72a4f8-%1-test").arg(::getuid() + 4242));
    QVERIFY(OtherUser.create(Error));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
