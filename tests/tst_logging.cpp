#include "TestEnvironment.h"

#include "LauncherLogging.h"
#include "ProcessHelpers.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>

#include <sys/resource.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

using namespace zarvo::launcher;
using testsupport::readAll;
using testsupport::waitUntil;

class TestLogging : public QObject {
    Q_OBJECT
private slots:
    void lineFormat();
    void concurrentLinesStayWhole();
    void linesReachTheFileWithoutAnExit();
    void crashKeepsTheLastLines();
};

void TestLogging::lineFormat()
{
    QMessageLogContext Context;
    const QString Line = formatLogLine(QtInfoMsg, Context, QStringLiteral("Version:  \"0.0.8\""));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\(:0\\) Info: Version:  \"0.0.8\"$"))
                 .match(Line)
                 .hasMatch(),
             qPrintable(Line));
    QMessageLogContext Located("file.cpp", 42, "f", "default");
    QVERIFY(formatLogLine(QtWarningMsg, Located, QStringLiteral("w")).endsWith(QStringLiteral(" (file.cpp:42) Warning: w")));
    QVERIFY(formatLogLine(QtDebugMsg, Context, QStringLiteral("d")).endsWith(QStringLiteral("(:0) Debug: d")));
    QVERIFY(formatLogLine(QtCriticalMsg, Context, QStringLiteral("c")).endsWith(QStringLiteral("(:0) Critical: c")));
    QVERIFY(formatLogLine(QtFatalMsg, Context, QStringLiteral("f")).endsWith(QStringLiteral("(:0) Fatal: f")));
}

void TestLogging::concurrentLinesStayWhole()
{
    QTemporaryDir Dir;
    const QString Path = Dir.filePath(QStringLiteral("launcher.log"));
    QFile Stale(Path);
    QVERIFY(Stale.open(QIODevice::WriteOnly));
    Stale.write("from an earlier start\n");
    Stale.close();

    setupLoggingToFile(Path);
    constexpr int kLines = 2000;
    const QString Payload(200, QLatin1Char('w'));
    QThread* pWorker = QThread::create([&] {
        for (int Index = 0; Index < kLines; ++Index) {
            qInfo().noquote() << "worker" << Index << Payload;
        }
    });
    pWorker->start();
    for (int Index = 0; Index < kLines; ++Index) {
        qWarning().noquote() << "main" << Index << Payload;
    }
    pWorker->wait();
    delete pWorker;
    shutdownLogging();

    QFile Log(Path);
    QVERIFY(Log.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList Lines = QString::fromUtf8(Log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(Lines.size(), 2 * kLines); // the earlier content was truncated away
    const QRegularExpression Whole(QStringLiteral("^\\S+ \\S+ \\(:0\\) (Info: worker|Warning: main) \\d+ w{200}$"));
    int Worker = 0;
    for (const QString& Line : Lines) {
        QVERIFY2(Whole.match(Line).hasMatch(), qPrintable(Line.left(120)));
        Worker += Line.contains(QStringLiteral("Info: worker")) ? 1 : 0;
    }
    QCOMPARE(Worker, kLines);
}

void TestLogging::linesReachTheFileWithoutAnExit()
{
    // Lines are written in batches, but a warning takes all before it along at once, and
    // a launcher that hangs still shows its last lines within moments.
    QTemporaryDir Dir;
    const QString Path = Dir.filePath(QStringLiteral("launcher.log"));
    setupLoggingToFile(Path);
    qInfo() << "gathered";
    qWarning() << "written at once";
    const QByteArray AfterWarning = readAll(Path);
    qInfo() << "the last line";
    waitUntil([&] { return readAll(Path).contains("the last line"); }, 5000);
    const QByteArray Later = readAll(Path);
    shutdownLogging();
    QVERIFY(AfterWarning.contains("Info: gathered\n"));
    QVERIFY(AfterWarning.contains("Warning: written at once\n"));
    QVERIFY(Later.contains("Info: the last line\n"));
}

void TestLogging::crashKeepsTheLastLines()
{
    // a real process that logs and then crashes on a bad memory access
    QTemporaryDir Dir;
    const QString Path = Dir.filePath(QStringLiteral("launcher.log"));
    const pid_t Child = ::fork();
    QVERIFY(Child >= 0);
    if (Child == 0) {
        const struct rlimit NoCore { 0, 0 };
        ::setrlimit(RLIMIT_CORE, &NoCore);
        // as in the launcher, nothing but the default handles a crash before the log does
        for (const int Signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
            ::signal(Signal, SIG_DFL);
        }
        setupLoggingToFile(Path);
        for (int Index = 0; Index < 100; ++Index) {
            qInfo() << "line" << Index << "before the crash";
        }
        volatile int* volatile pNowhere = nullptr;
        *pNowhere = 1;
        ::_exit(0);
    }
    int Status = 0;
    if (!waitUntil([&] { return ::waitpid(Child, &Status, WNOHANG) != 0; }, 20000)) {
        ::kill(Child, SIGKILL);
        ::waitpid(Child, &Status, 0);
        QFAIL("the crashing process did not end");
    }
    // killed by the signal, or (under a sanitizer) ended by its report
    QVERIFY(WIFSIGNALED(Status) || (WIFEXITED(Status) && WEXITSTATUS(Status) != 0));
    const QByteArray Log = readAll(Path);
    for (int Index = 0; Index < 100; ++Index) {
        // (a flush the flusher thread had under way may show a line twice, never lose one)
        const QByteArray Line = "Info: line " + QByteArray::number(Index) + " before the crash\n";
        QVERIFY2(Log.contains(Line), Log.right(200).constData());
    }
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
