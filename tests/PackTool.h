#pragma once

// Game trees for tests and the publisher's tool that packs them.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include "RandomBytes.h"

namespace testsupport {

inline QString packToolBinary()
{
    return QStringLiteral(TORVANE_BIN_DIR "/torvane-pack");
}

inline void writeTreeFile(const QString& Root, const QString& Relative, const QByteArray& Data, bool Executable = false)
{
    const QString Path = Root + QLatin1Char('/') + Relative;
    QDir().mkpath(QFileInfo(Path).absolutePath());
    QFile File(Path);
    QVERIFY(File.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(File.write(Data), qint64(Data.size()));
    File.close();
    if (Executable) {
        File.setPermissions(File.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
    }
}

inline QByteArray readTreeFile(const QString& Path)
{
    QFile File(Path);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray("<missing>");
}

// Runs "torvane-pack pack SOURCE OUTPUT ARGUMENTS..."; true on success.
inline bool packTree(const QString& Source, const QString& Output, const QStringList& Arguments = {})
{
    QProcess Tool;
    Tool.setProcessChannelMode(QProcess::MergedChannels);
    Tool.start(packToolBinary(), QStringList {QStringLiteral("pack"), Source, Output, QStringLiteral("--quiet")} + Arguments);
    if (!Tool.waitForFinished(120000) || Tool.exitStatus() != QProcess::NormalExit || Tool.exitCode() != 0) {
        qWarning() << "torvane-pack failed:" << Tool.readAll();
        return false;
    }
    return true;
}

// Relative paths of every file below Root, sorted.
inline QStringList treeFiles(const QString& Root)
{
    QStringList Files;
    QDirIterator Iterator(Root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (Iterator.hasNext()) {
        Files << QDir(Root).relativeFilePath(Iterator.next());
    }
    Files.sort();
    return Files;
}

} // namespace testsupport
