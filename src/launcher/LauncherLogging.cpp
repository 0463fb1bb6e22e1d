#include "LauncherLogging.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace zarvo::launcher {

namespace {

std::shared_ptr<QFile> g_pLogFile;
QMutex g_LogMutex;

void messageHandler(QtMsgType Type, const QMessageLogContext& Context, const QString& Message)
{
    {
        QMutexLocker Lock(&g_LogMutex);
        if (g_pLogFile) {
            QTextStream Stream(g_pLogFile.get());
            Stream << formatLogLine(Type, Context, Message) << '\n';
            Stream.flush();
        }
    }
    if (Type == QtFatalMsg) {
        std::abort();
    }
}

} // namespace

QString formatLogLine(QtMsgType Type, const QMessageLogContext& Context, const QString& Message)
{
    QString Level;
    switch (Type) {
    case QtDebugMsg:
        Level = QStringLiteral("Debug: %1").arg(Message);
        break;
    case QtWarningMsg:
        Level = QStringLiteral("Warning: %1").arg(Message);
        break;
    case QtCriticalMsg:
        Level = QStringLiteral("Critical: %1").arg(Message);
        break;
    case QtInfoMsg:
        Level = QStringLiteral("Info: %1").arg(Message);
        break;
    case QtFatalMsg:
        Level = QStringLiteral("Fatal: %1").arg(Message);
        break;
    }
    const QString Location = QStringLiteral("(%1:%2)").arg(QString::fromUtf8(Context.file ? Context.file : "")).arg(Context.line);
    const QString Stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    return QStringLiteral("%1 %2 %3").arg(Stamp, Location, Level);
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
