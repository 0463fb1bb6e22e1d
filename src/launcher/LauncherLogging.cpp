#include "LauncherLogging.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace zarvo::launcher {

namespace {

std::shared_ptr<QFile> g_pLogFile;
QMutex g_LogMutex;

// The time stamp of the current second, formatted once per second: an installation logs
// a dozen lines per chunk, from several threads, and a local time costs glibc a look at
// the time zone file each time. Only used under g_LogMutex.
QString currentStamp()
{
    static qint64 s_Second = -1;
    static QString s_Stamp;
    const qint64 Second = QDateTime::currentSecsSinceEpoch();
    if (Second != s_Second) {
        s_Second = Second;
        s_Stamp = QDateTime::fromSecsSinceEpoch(Second).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    }
    return s_Stamp;
}

QString formatLogLine(QtMsgType Type, const QMessageLogContext& Context, const QString& Message, const QString& Stamp)
{
    const char* Level = "Debug";
    switch (Type) {
    case QtDebugMsg:
        break;
    case QtWarningMsg:
        Level = "Warning";
        break;
    case QtCriticalMsg:
        Level = "Critical";
        break;
    case QtInfoMsg:
        Level = "Info";
        break;
    case QtFatalMsg:
        Level = "Fatal";
        break;
    }
    QString Line;
    Line.reserve(Stamp.size() + Message.size() + 64);
    Line += Stamp;
    Line += QLatin1String(" (");
    Line += QString::fromUtf8(Context.file ? Context.file : "");
    Line += QLatin1Char(':');
    Line += QString::number(Context.line);
    Line += QLatin1String(") ");
    Line += QLatin1String(Level);
    Line += QLatin1String(": ");
    Line += Message;
    return Line;
}

void messageHandler(QtMsgType Type, const QMessageLogContext& Context, const QString& Message)
{
    {
        QMutexLocker Lock(&g_LogMutex);
        if (g_pLogFile) {
            // one write per line, so that a crash loses nothing that was logged
            QByteArray Line = formatLogLine(Type, Context, Message, currentStamp()).toUtf8();
            Line += '\n';
            g_pLogFile->write(Line);
            g_pLogFile->flush();
        }
    }
    if (Type == QtFatalMsg) {
        std::abort();
    }
}

} // namespace

QString formatLogLine(QtMsgType Type, const QMessageLogContext& Context, const QString& Message)
{
    return formatLogLine(Type, Context, Message, QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
}

void setupLoggingToFile(const QString& FilePath)
{
    auto pFile = std::make_shared<QFile>(FilePath);
    pFile->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text);
    {
        QMutexLocker Lock(&g_LogMutex);
        g_pLogFile = pFile;
    }
    qInstallMessageHandler(messageHandler);
}

void setupLogging()
{
    const QString Directory = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (!QDir(Directory).exists() && !QDir().mkpath(Directory)) {
        throw std::runtime_error("Failed to create subdirectory.");
    }
    const QString FileName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    setupLoggingToFile(QDir::cleanPath(Directory + QDir::separator() + FileName + QStringLiteral(".log")));
}

void shutdownLogging()
{
    qInstallMessageHandler(nullptr);
    QMutexLocker Lock(&g_LogMutex);
    g_pLogFile.reset();
}

} // namespace zarvo::launcher
