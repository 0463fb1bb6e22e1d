#pragma once

// Starting the real launcher binary from tests: a staged copy in a directory of its own
// (so a "launchersettings.ini" beside it is used), with its own HOME.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>

namespace testsupport {

inline QString launcherBinary()
{
    return QStringLiteral(TORVANE_BIN_DIR "/torvane-launcher");
}

// Waits (without an event loop of the caller's objects) until Condition holds.
inline bool waitUntil(const std::function<bool()>& Condition, int TimeoutMs)
{
    QElapsedTimer Timer;
    Timer.start();
    while (!Condition()) {
        if (Timer.elapsed() > TimeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}

inline QByteArray readAll(const QString& Path)
{
    QFile File(Path);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

class TStagedLauncher {
public:
    explicit TStagedLauncher(const QByteArray& SettingsIni = QByteArray())
    {
        m_AppDir = m_Root.path() + QStringLiteral("/app");
        m_Home = m_Root.path() + QStringLiteral("/home");
        QDir().mkpath(m_AppDir);
        QDir().mkpath(m_Home);
        QFile::copy(launcherBinary(), executable());
        QFile::setPermissions(executable(), QFile::permissions(launcherBinary()));
        if (!SettingsIni.isEmpty()) {
            writeSettings(SettingsIni);
        }
    }

    void writeSettings(const QByteArray& SettingsIni)
    {
        QFile File(m_AppDir + QStringLiteral("/launchersettings.ini"));
        File.open(QIODevice::WriteOnly | QIODevice::Truncate);
        File.write(SettingsIni);
    }

    QString executable() const { return m_AppDir + QStringLiteral("/torvane-launcher"); }
    QString appDir() const { return m_AppDir; }
    QString home() const { return m_Home; }
    QString dataDir() const { return m_Home + QStringLiteral("/.local/share/Halvern GmbH/Torvane Online"); }
    QString logPath() const { return dataDir() + QStringLiteral("/torvane-launcher.log"); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
        Environment.insert(QStringLiteral("HOME"), m_Home);
        Environment.remove(QStringLiteral("XDG_DATA_HOME"));
        Environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
        Environment.remove(QStringLiteral("XDG_CACHE_HOME"));
        Environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return Environment;
    }

    // A run whose log is its own (the previous log is removed first), whose fatal boxes
    // close by themselves and whose error output goes to the test's.
    std::unique_ptr<QProcess> run(const QStringList& Arguments, const QProcessEnvironment& Extra = {}) const
    {
        QFile::remove(logPath());
        QProcessEnvironment Environment = environment();
        Environment.insert(QStringLiteral("TORVANE_DIALOG_TIMEOUT_MS"), QStringLiteral("300"));
        for (const QString& Key : Extra.keys()) {
            Environment.insert(Key, Extra.value(Key));
        }
        auto pProcess = std::make_unique<QProcess>();
        pProcess->setProcessEnvironment(Environment);
        pProcess->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        pProcess->setWorkingDirectory(m_Home);
        pProcess->start(executable(), Arguments);
        pProcess->waitForStarted(10000);
        return pProcess;
    }

    std::unique_ptr<QProcess> start(const QStringList& Arguments = {}) const
    {
        auto pProcess = std::make_unique<QProcess>();
        pProcess->setProcessEnvironment(environment());
        pProcess->setWorkingDirectory(m_Home);
        pProcess->start(executable(), Arguments);
        pProcess->waitForStarted(10000);
        return pProcess;
    }

private:
    QTemporaryDir m_Root;
    QString m_AppDir;
    QString m_Home;
};

} // namespace testsupport
