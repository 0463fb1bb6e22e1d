#pragma once

// Included by every test: gives the test process a throw-away HOME and XDG directories
// before the application object exists, so no test reads or writes the real user's
// data directory or Qt settings store.

#include <QByteArray>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace testsupport {

class TIsolatedUserState {
public:
    TIsolatedUserState()
    {
        const QString Root = m_Directory.path();
        for (const char* Sub : {"home", "data", "config", "cache", "runtime"}) {
            QDir(Root).mkpath(QLatin1String(Sub));
        }
        qputenv("HOME", QFile::encodeName(Root + QStringLiteral("/home")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(Root + QStringLiteral("/data")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(Root + QStringLiteral("/config")));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(Root + QStringLiteral("/cache")));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(Root + QStringLiteral("/runtime")));
        QFile::setPermissions(Root + QStringLiteral("/runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
    }
    QString root() const { return m_Directory.path(); }
    QString home() const { return m_Directory.path() + QStringLiteral("/home"); }

private:
    QTemporaryDir m_Directory;
};

inline TIsolatedUserState& isolatedUserState()
{
    static TIsolatedUserState State;
    return State;
}

namespace {
[[maybe_unused]] const bool kUserStateIsolated = (isolatedUserState(), true);
}

} // namespace testsupport
