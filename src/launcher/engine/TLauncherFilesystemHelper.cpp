#include "TLauncherFilesystemHelper.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

void torvaneInitEngineResources();

namespace zarvo::launcher {

const char* const TLauncherFilesystemHelper::kSettingsFileName = "launchersettings.ini";
const char* const TLauncherFilesystemHelper::kDefaultMarkerName = "default";

namespace {

std::chrono::milliseconds readMilliseconds(const QSettings& Settings, const char* Key)
{
    return std::chrono::milliseconds(static_cast<std::int64_t>(Settings.value(QLatin1String(Key)).toInt()));
}

std::shared_ptr<TLauncherSettings> loadSettings(const QString& Path)
{
    QSettings Ini(Path, QSettings::IniFormat);
    auto pSettings = std::make_shared<TLauncherSettings>();

    Ini.beginGroup(QStringLiteral("URLS"));
    pSettings->m_LauncherConfigurationUrl = Ini.value(QStringLiteral("launcherConfiguration")).toUrl();
    pSettings->m_CdnDiagnosticsTraceUrl = Ini.value(QStringLiteral("cdnDiagnosticsTrace")).toUrl();
    pSettings->m_AppendNocacheToPackageUrls = Ini.value(QStringLiteral("appendNocacheToPackageUrls")).toBool();
    Ini.endGroup();

    Ini.beginGroup(QStringLiteral("DIRECTORIES"));
    pSettings->m_PackagesDirectoryName = Ini.value(QStringLiteral("packages")).toString();
    Ini.endGroup();

    Ini.beginGroup(QStringLiteral("FILES"));
    pSettings->m_PackageFileName = Ini.value(QStringLiteral("packageFile")).toString();
    pSettings->m_PartialPackageFileName = Ini.value(QStringLiteral("partialPackageFile")).toString();
    pSettings->m_AssetFileName = Ini.value(QStringLiteral("assetFile")).toString();
    Ini.endGroup();

    Ini.beginGroup(QStringLiteral("TIMING"));
    pSettings->m_WaitNotificationTimeout = readMilliseconds(Ini, "waitNotificationTimeout");
    pSettings->m_DownloadErrorTimeout = readMilliseconds(Ini, "downloadErrorTimeout");
    pSettings->m_ClientStartTimeout = readMilliseconds(Ini, "clientStartTimeout");
    Ini.endGroup();

    Ini.beginGroup(QStringLiteral("OPTIONS"));
    pSettings->m_MaxCachedChunks = Ini.value(QStringLiteral("maxCachedChunks"), 100).toInt();
    pSettings->m_MaxConcurrentDownloads = Ini.value(QStringLiteral("maxConcurrentDownloads"), 10).toInt();
    pSettings->m_SkipVerification = Ini.value(QStringLiteral("skipVerification"), true).toBool();
    pSettings->m_FastScan = Ini.value(QStringLiteral("fastScan"), true).toBool();
    // a negative or unreadable rate is no limit
    pSettings->m_MaxDownloadRate = std::max(0, Ini.value(QStringLiteral("maxDownloadRate"), 0).toInt());
    // unlike the other numbers, a value that does not convert (or is negative) keeps the
    // default: reading it as 0 would switch the time-out off
    bool TransferTimeoutOk = false;
    const qlonglong TransferTimeout = Ini.value(QStringLiteral("transferTimeout"), 30).toLongLong(&TransferTimeoutOk);
    pSettings->m_TransferTimeout = std::chrono::seconds(TransferTimeoutOk && TransferTimeout >= 0 ? TransferTimeout : 30);
    Ini.endGroup();

    Ini.beginGroup(QStringLiteral("DEBUG"));
    pSettings->m_ChunkVerification = Ini.value(QStringLiteral("chunkVerification"), false).toBool();
    Ini.endGroup();

    // A list in QSettings' syntax ("key1, key2"); spaces separate keys as well.
    Ini.beginGroup(QStringLiteral("SECURITY"));
    for (const QString& Item : Ini.value(QStringLiteral("publicKeys")).toStringList()) {
        pSettings->m_PublicKeys.append(Item.split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts));
    }
    Ini.endGroup();
    return pSettings;
}

} // namespace

QString TLauncherFilesystemHelper::settingsFilePath()
{
    torvaneInitEngineResources();
    shared::TFileSystemHelper Helper;
    const QString Beside = Helper.joinPaths({QCoreApplication::applicationDirPath(), QLatin1String(kSettingsFileName)});
    if (QFileInfo::exists(Beside)) {
        return Beside;
    }
    return QStringLiteral(":/settings/") + QLatin1String(kSettingsFileName);
}

TLauncherFilesystemHelper::TLauncherFilesystemHelper()
    : TLauncherFilesystemHelper(settingsFilePath())
{
}

TLauncherFilesystemHelper::TLauncherFilesystemHelper(const QString& SettingsFilePath)
    : m_pSettings(loadSettings(SettingsFilePath))
{
}

} // namespace zarvo::launcher

namespace zarvo::launcher {

QDir TLauncherFilesystemHelper::getPackagesDirectory()
{
    const QDir DataDirectory(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
    return ensureDirectoryExists(resolvePathInsideDirectory(DataDirectory, m_pSettings->m_PackagesDirectoryName));
}

void TLauncherFilesystemHelper::writeFileWithDirectory(const QString& FilePath, const QByteArray& Data)
{
    ensureDirectoryExists(QFileInfo(FilePath).absolutePath());
    writeFileAtomically(FilePath, Data);
}

void TLauncherFilesystemHelper::removeFileOrDirectory(const QString& Path)
{
    const QFileInfo Info(Path);
    if (Info.isDir() && !Info.isSymLink()) {
        if (!QDir(Path).removeRecursively()) {
            throw std::runtime_error((QStringLiteral("Failed to delete folder ") + Path).toUtf8().toStdString());
        }
    } else if (Info.exists() || Info.isSymLink()) {
        deleteFile(Path);
    }
}

void TLauncherFilesystemHelper::moveReplacing(const QString& Source, const QString& Destination)
{
    if (!QFileInfo::exists(Source)) {
        return;
    }
    // a file is replaced by one rename, so that no moment passes without either file
    const QFileInfo Target(Destination);
    if (Target.isDir() && !Target.isSymLink()) {
        removeFileOrDirectory(Destination);
    }
    if (std::rename(QFile::encodeName(Source).constData(), QFile::encodeName(Destination).constData()) != 0) {
        throw std::runtime_error(QStringLiteral("Failed to move file %1 to %2").arg(Source, Destination).toUtf8().toStdString());
    }
}

QStringList TLauncherFilesystemHelper::markerNames() const
{
    QStringList Names {QString::fromLatin1(kDefaultMarkerName)};
    for (const QString& Name : {m_pSettings->m_PackageFileName, m_pSettings->m_PartialPackageFileName, m_pSettings->m_AssetFileName}) {
        if (!Name.isEmpty()) {
            Names.append(QDir::cleanPath(Name));
        }
    }
    return Names;
}

bool TLauncherFilesystemHelper::holdsOnlyMarkers(const QDir& Directory) const
{
    if (!Directory.exists()) {
        return true;
    }
    // stops at the first other entry: an installed folder costs one look, not one per file
    const QStringList Markers = markerNames();
    QDirIterator Entries(Directory.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    while (Entries.hasNext()) {
        Entries.next();
        if (!Markers.contains(Entries.fileName())) {
            return false;
        }
        const QFileInfo Entry = Entries.fileInfo();
        if (!Entry.isFile() || Entry.isSymLink()) {
            return false;
        }
    }
    return true;
}

} // namespace zarvo::launcher
