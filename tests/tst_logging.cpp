#include "TestEnvironment.h"

#include "LauncherLogging.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>

using namespace zarvo::launcher;

class TestLogging : public QObject {
    Q_OBJECT
private slots:
    void lineFormat();
    void concurrentLinesStayWhole();
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

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
