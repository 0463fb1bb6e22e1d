#include "TLauncherConfigurationHandler.h"

#include "TDownloadPool.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace zarvo::launcher {

const char* const TLauncherConfigurationHandler::kCacheFileName = "launchermetadata.json";

TLauncherConfigurationHandler::TLauncherConfigurationHandler(std::shared_ptr<::shared::TDownloadPool> pDownloadPool,
                                                             std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper,
                                                             const QUrl& ConfigurationUrl)
    : m_pDownloadPool(std::move(pDownloadPool))
    , m_pFilesystemHelper(std::move(pFilesystemHelper))
    , m_ConfigurationUrl(ConfigurationUrl)
{
    // the names the signals are declared with, for queued connections and signal spies
    qRegisterMetaType<::shared::THint>("::shared::THint");
    qRegisterMetaType<std::vector<::shared::THint>>("std::vector< ::shared::THint>");
    qRegisterMetaType<std::vector<::shared::THint>>("std::vector<::shared::THint>");
    m_ErrorTimer.setSingleShot(true);
    m_ErrorTimer.setInterval(static_cast<int>(m_pFilesystemHelper->getSettings()->m_DownloadErrorTimeout.count()));
    connect(&m_ErrorTimer, &QTimer::timeout, this, &TLauncherConfigurationHandler::onErrorTimerExpired);
    connect(m_pDownloadPool.get(), &::shared::TDownloadPool::success, this, &TLauncherConfigurationHandler::onConfigurationDownloadFinished);
    connect(m_pDownloadPool.get(), &::shared::TDownloadPool::failed, this, &TLauncherConfigurationHandler::onConfigurationDownloadFailed);
}

QString TLauncherConfigurationHandler::cacheFilePath() const
{
    return m_pFilesystemHelper->joinPaths(
        {QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation), QLatin1String(kCacheFileName)});
}

void TLauncherConfigurationHandler::startDownload()
{
    m_IsLocalCopy = false;
    // the timer runs before the request is made: a request that fails at once (an
    // invalid address) must find it running to fall back to the cache
    m_ErrorTimer.start();
    m_pDownloadPool->download(m_ConfigurationUrl);
}

void TLauncherConfigurationHandler::onConfigurationDownloadFinished(QUrl Url, QByteArray Data)
{
    if (Data.isEmpty()) {
        onConfigurationDownloadFailed(Url, QNetworkReply::ContentNotFoundError, QStringLiteral("Data stream is empty"));
        return;
    }
    if (Url == m_ConfigurationUrl && m_ErrorTimer.isActive()) {
        m_ErrorTimer.stop();
        std::shared_ptr<TLauncherConfigurationReader> pConfiguration;
        try {
            pConfiguration = std::make_shared<TLauncherConfigurationReader>(Data, m_ConfigurationUrl.adjusted(QUrl::RemoveFilename));
        } catch (const TLauncherConfigurationException& Error) {
            // a body cut short or replaced on the way is a failed transfer: the cached
            // copy is used, and the cache keeps the last good document
            qCritical() << "Launcher configuration refused, using the cached copy:" << Error.what();
            useCachedCopy();
            return;
        }
        m_pConfiguration = pConfiguration;
        try {
            const QString Path = cacheFilePath();
            m_pFilesystemHelper->ensureDirectoryExists(QFileInfo(Path).absolutePath());
            m_pFilesystemHelper->writeFileAtomically(Path, m_pConfiguration->getRawDocument());
        } catch (const std::runtime_error& Error) {
            emit diskAccessFailed(QString::fromUtf8(Error.what()));
        }
        emit mainConfigurationLoaded();
        return;
    }
    if (m_pConfiguration && Url == m_pConfiguration->getHintsUrl()) {
        std::vector<::shared::THint> Hints = ::shared::parseHints(Data);
        const std::optional<::shared::THint> Chosen = ::shared::chooseHint(Hints, QDateTime::currentDateTime());
        if (Chosen) {
            m_CurrentHint = *Chosen;
            m_Hints = Hints;
            emit hintAreaDataReceived(m_CurrentHint);
            emit hintsAreaDataReceived(m_Hints);
        }
        return;
    }
    bool Matched = false;
    for (auto Entry = m_PendingPackageConfigurations.begin(); Entry != m_PendingPackageConfigurations.end();) {
        if (Entry->m_PackageConfigurationUrl != Url && Entry->m_AssetsUrl != Url) {
            ++Entry;
            continue;
        }
        Matched = true;
        if (Entry->m_PackageConfigurationUrl == Url) {
            Entry->m_PackageConfiguration = Data;
        } else {
            Entry->m_Assets = Data;
        }
        if ((Entry->m_PackageConfigurationUrl.isValid() && Entry->m_PackageConfiguration.isEmpty())
            || (Entry->m_AssetsUrl.isValid() && Entry->m_Assets.isEmpty())) {
            ++Entry;
            continue;
        }
        if (Entry->m_pBuild) {
            Entry->m_pBuild->m_pConfiguration = std::make_unique<TPackageConfigurationReader>(
                Entry->m_PackageConfiguration, Entry->m_Assets, Entry->m_PackageConfigurationUrl.adjusted(QUrl::RemoveFilename),
                Entry->m_AssetsUrl.adjusted(QUrl::RemoveFilename));
        }
        Entry = m_PendingPackageConfigurations.erase(Entry);
    }
    if (Matched && m_PendingPackageConfigurations.empty()) {
        emit packageConfigurationDownloadsFinished();
    }
}

void TLauncherConfigurationHandler::onConfigurationDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString)
{
    // only while waiting: a failure after the cache was taken must not load it twice
    if (Url == m_ConfigurationUrl && m_ErrorTimer.isActive()) {
        qCritical() << "Download of configuration failed:" << ErrorString;
        m_ErrorTimer.stop();
        if (Code == QNetworkReply::ContentAccessDenied || Code == QNetworkReply::ContentNotFoundError) {
            emit mainConfigurationDownloadFailed();
        } else {
            useCachedCopy();
        }
        return;
    }
    // Every entry waiting for this URL is given up (two builds may share one document);
    // leaving one behind would keep the list from ever becoming empty.
    bool Removed = false;
    for (auto Entry = m_PendingPackageConfigurations.begin(); Entry != m_PendingPackageConfigurations.end();) {
        if (Entry->m_PackageConfigurationUrl == Url || Entry->m_AssetsUrl == Url) {
            if (!Removed) {
                qCritical() << "Download of package configuration/asset from configuration" << Url << "failed:" << ErrorString;
            }
            Removed = true;
            Entry = m_PendingPackageConfigurations.erase(Entry);
        } else {
            ++Entry;
        }
    }
    if (Removed && m_PendingPackageConfigurations.empty()) {
        emit packageConfigurationDownloadsFinished();
    }
}

void TLauncherConfigurationHandler::onErrorTimerExpired()
{
    m_ErrorTimer.stop();
    useCachedCopy();
}

void TLauncherConfigurationHandler::useCachedCopy()
{
    const QString Path = cacheFilePath();
    QByteArray Data;
    try {
        Data = m_pFilesystemHelper->readFileOrEmpty(Path);
    } catch (const std::runtime_error& Error) {
        emit diskAccessFailed(QString::fromUtf8(Error.what()));
        return;
    }
    if (Data.isEmpty()) {
        emit mainConfigurationDownloadFailed();
        return;
    }
    try {
        m_pConfiguration = std::make_shared<TLauncherConfigurationReader>(Data, QUrl::fromLocalFile(Path).adjusted(QUrl::RemoveFilename));
    } catch (const TLauncherConfigurationException& Error) {
        emit diskAccessFailed(QString::fromUtf8(Error.what()));
        return;
    }
    m_IsLocalCopy = true;
    qInfo() << "using the cached launcher configuration" << Path;
    emit mainConfigurationLoaded();
}

void TLauncherConfigurationHandler::addPendingEntry(TPackageBuild* pBuild, const QUrl& PackageUrl, const QUrl& AssetsUrl)
{
    TPendingPackageConfiguration Entry;
    Entry.m_pBuild = pBuild;
    Entry.m_PackageConfigurationUrl = PackageUrl;
    Entry.m_AssetsUrl = AssetsUrl;
    m_PendingPackageConfigurations.push_back(Entry);
}

void TLauncherConfigurationHandler::queuePackageConfigurationDownloads()
{
    if (!m_pConfiguration) {
        emit packageConfigurationDownloadsFinished();
        return;
    }
    const auto pSettings = m_pFilesystemHelper->getSettings();
    const bool Nocache = pSettings->m_AppendNocacheToPackageUrls;
    const std::size_t FirstNew = m_PendingPackageConfigurations.size();

    const auto& pLauncher = m_pConfiguration->getLauncherPackage();
    if (pLauncher && !m_IsLocalCopy) {
        if (TPackageBuild* pBuild = pLauncher->currentBuild()) {
            addPendingEntry(pBuild, ::shared::addNocacheToUrl(pBuild->m_Url, Nocache), ::shared::addNocacheToUrl(pBuild->m_AssetsUrl, Nocache));
        }
    }
    for (const auto& pPackage : m_pConfiguration->getPackages()) {
        TPackageBuild* pBuild = pPackage->currentBuild();
        if (!pBuild) {
            continue;
        }
        if (!m_IsLocalCopy) {
            addPendingEntry(pBuild, ::shared::addNocacheToUrl(pBuild->m_Url, Nocache), ::shared::addNocacheToUrl(pBuild->m_AssetsUrl, Nocache));
            continue;
        }
        try {
            const QDir Directory(m_pFilesystemHelper->resolvePathInsideDirectory(m_pFilesystemHelper->getPackagesDirectory(), pPackage->m_DirectoryName));
            // a package without assets has no assets document on disk; asking for it would
            // fail the entry and hide an installed package whenever the server is away
            const QString AssetsPath = m_pFilesystemHelper->resolvePathInsideDirectory(Directory, pSettings->m_AssetFileName);
            addPendingEntry(pBuild, QUrl::fromLocalFile(m_pFilesystemHelper->resolvePathInsideDirectory(Directory, pSettings->m_PackageFileName)),
                            QFileInfo::exists(AssetsPath) ? QUrl::fromLocalFile(AssetsPath) : QUrl());
        } catch (const std::runtime_error& Error) {
            emit diskAccessFailed(QString::fromUtf8(Error.what()));
            return;
        }
    }
    if (m_PendingPackageConfigurations.size() == FirstNew) {
        emit packageConfigurationDownloadsFinished();
        return;
    }
    // copies: a download that fails at once changes the list while it is walked
    const std::vector<TPendingPackageConfiguration> Added(m_PendingPackageConfigurations.begin() + static_cast<std::ptrdiff_t>(FirstNew),
                                                          m_PendingPackageConfigurations.end());
    for (const TPendingPackageConfiguration& Entry : Added) {
        if (Entry.m_PackageConfigurationUrl.isValid()) {
            m_pDownloadPool->download(Entry.m_PackageConfigurationUrl);
        }
        if (Entry.m_AssetsUrl.isValid()) {
            m_pDownloadPool->download(Entry.m_AssetsUrl);
        }
    }
}

} // namespace zarvo::launcher
