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
    , m_Authenticator(m_pFilesystemHelper->getSettings()->m_PublicKeys)
{
    // the names the signals are declared with, for queued connections and signal spies
    qRegisterMetaType<::shared::THint>("::shared::THint");
    qRegisterMetaType<std::vector<::shared::THint>>("std::vector< ::shared::THint>");
    qRegisterMetaType<std::vector<::shared::THint>>("std::vector<::shared::THint>");
    m_ErrorTimer.setSingleShot(true);
    m_ErrorTimer.setInterval(static_cast<int>(m_pFilesystemHelper->getSettings()->m_DownloadErrorTimeout.count()));
    connect(&m_ErrorTimer, &QTimer::timeout, this, &TLauncherConfigurationHandler::onErrorTimerExpired);
    connect(m_pDownloadPool.get(), &::shared::TDownloadPool::success, this,
            &TLauncherConfigurationHandler::onConfigurationDownloadFinished);
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
    m_ReceivedConfiguration.clear();
    m_ReceivedConfigurationSignature.clear();
    // the timer runs before the request is made: a request that fails at once (an
    // invalid address) must find it running to fall back to the cache
    m_ErrorTimer.start();
    m_pDownloadPool->download(m_ConfigurationUrl);
    if (m_Authenticator.isRequired() && m_ErrorTimer.isActive()) {
        m_pDownloadPool->download(TDocumentAuthenticator::signatureUrl(m_ConfigurationUrl));
    }
}

bool TLauncherConfigurationHandler::TPendingPackageConfiguration::matches(const QUrl& Url) const
{
    return m_PackageConfigurationUrl == Url || m_AssetsUrl == Url || (!m_PackageSignatureUrl.isEmpty() && m_PackageSignatureUrl == Url) ||
        (!m_AssetsSignatureUrl.isEmpty() && m_AssetsSignatureUrl == Url);
}

bool TLauncherConfigurationHandler::TPendingPackageConfiguration::isComplete() const
{
    const auto arrived = [](const QUrl& Url, const QByteArray& Data) { return !Url.isValid() || Url.isEmpty() || !Data.isEmpty(); };
    return arrived(m_PackageConfigurationUrl, m_PackageConfiguration) && arrived(m_AssetsUrl, m_Assets) &&
        arrived(m_PackageSignatureUrl, m_PackageSignature) && arrived(m_AssetsSignatureUrl, m_AssetsSignature);
}

// Takes the configuration once it, and its signature when one is required, have arrived.
void TLauncherConfigurationHandler::acceptDownloadedConfiguration()
{
    if (m_ReceivedConfiguration.isEmpty() || (m_Authenticator.isRequired() && m_ReceivedConfigurationSignature.isEmpty())) {
        return;
    }
    m_ErrorTimer.stop();
    const QByteArray Data = m_ReceivedConfiguration;
    m_ReceivedConfiguration.clear();
    // A document that is not the publisher's counts as not received: the verified cache
    // is used instead.
    if (!m_Authenticator.isAuthentic(Data, m_ReceivedConfigurationSignature)) {
        qCritical() << "Download of configuration failed: the signature of" << m_ConfigurationUrl << "does not verify";
        useCachedCopy();
        return;
    }
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
        storeCacheSignature();
    } catch (const std::runtime_error& Error) {
        emit diskAccessFailed(QString::fromUtf8(Error.what()));
    }
    emit mainConfigurationLoaded();
}

// The cached configuration keeps its signature beside it, so that it is verified again
// whenever it is used. Without keys a signature left from earlier runs is dropped.
void TLauncherConfigurationHandler::storeCacheSignature()
{
    const QString SignaturePath = TDocumentAuthenticator::signaturePath(cacheFilePath());
    if (m_Authenticator.isRequired()) {
        m_pFilesystemHelper->writeFileAtomically(SignaturePath, m_ReceivedConfigurationSignature);
    } else if (QFileInfo::exists(SignaturePath)) {
        m_pFilesystemHelper->deleteFile(SignaturePath);
    }
}

bool TLauncherConfigurationHandler::isCachedCopyAuthentic(const QString& Path, const QByteArray& Data)
{
    if (!m_Authenticator.isRequired()) {
        return true;
    }
    const QByteArray Signature = m_pFilesystemHelper->readFileOrEmpty(TDocumentAuthenticator::signaturePath(Path));
    if (m_Authenticator.isAuthentic(Data, Signature)) {
        return true;
    }
    qCritical() << "The cached launcher configuration" << Path << "is not signed by a configured key";
    return false;
}

void TLauncherConfigurationHandler::onConfigurationDownloadFinished(QUrl Url, QByteArray Data)
{
    if (Data.isEmpty()) {
        onConfigurationDownloadFailed(Url, QNetworkReply::ContentNotFoundError, QStringLiteral("Data stream is empty"));
        return;
    }
    if (Url == m_ConfigurationUrl && m_ErrorTimer.isActive()) {
        m_ReceivedConfiguration = Data;
        acceptDownloadedConfiguration();
        return;
    }
    if (m_Authenticator.isRequired() && m_ErrorTimer.isActive() && Url == TDocumentAuthenticator::signatureUrl(m_ConfigurationUrl)) {
        m_ReceivedConfigurationSignature = Data;
        acceptDownloadedConfiguration();
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
        if (!Entry->matches(Url)) {
            ++Entry;
            continue;
        }
        Matched = true;
        if (Entry->m_PackageConfigurationUrl == Url) {
            Entry->m_PackageConfiguration = Data;
        }
        if (Entry->m_AssetsUrl == Url) {
            Entry->m_Assets = Data;
        }
        if (!Entry->m_PackageSignatureUrl.isEmpty() && Entry->m_PackageSignatureUrl == Url) {
            Entry->m_PackageSignature = Data;
        }
        if (!Entry->m_AssetsSignatureUrl.isEmpty() && Entry->m_AssetsSignatureUrl == Url) {
            Entry->m_AssetsSignature = Data;
        }
        if (!Entry->isComplete()) {
            ++Entry;
            continue;
        }
        // A package document decides which program runs: one that is not the publisher's
        // is dropped like a failed download, so the package is not offered and nothing
        // is installed from it.
        const bool Authentic = (Entry->m_PackageSignatureUrl.isEmpty() ||
                                m_Authenticator.isAuthentic(Entry->m_PackageConfiguration, Entry->m_PackageSignature)) &&
            (Entry->m_AssetsSignatureUrl.isEmpty() || m_Authenticator.isAuthentic(Entry->m_Assets, Entry->m_AssetsSignature));
        if (!Authentic) {
            qCritical() << "Download of package configuration/asset from configuration" << Entry->m_PackageConfigurationUrl
                        << "failed: the signature does not verify";
        } else if (Entry->m_pBuild) {
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
    if (m_Authenticator.isRequired() && m_ErrorTimer.isActive() && Url == TDocumentAuthenticator::signatureUrl(m_ConfigurationUrl)) {
        // without its signature the configuration cannot be trusted; the verified cache can
        qCritical() << "Download of configuration signature failed:" << ErrorString;
        m_ErrorTimer.stop();
        m_ReceivedConfiguration.clear();
        useCachedCopy();
        return;
    }
    // Every entry waiting for this URL is given up (two builds may share one document);
    // leaving one behind would keep the list from ever becoming empty.
    bool Removed = false;
    for (auto Entry = m_PendingPackageConfigurations.begin(); Entry != m_PendingPackageConfigurations.end();) {
        if (Entry->matches(Url)) {
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
        if (!isCachedCopyAuthentic(Path, Data)) {
            emit mainConfigurationDownloadFailed();
            return;
        }
    } catch (const std::runtime_error& Error) {
        emit diskAccessFailed(QString::fromUtf8(Error.what()));
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

void TLauncherConfigurationHandler::addPendingEntry(TPackageBuild* pBuild, const QUrl& PackageUrl, const QUrl& AssetsUrl,
                                                    bool NeedsSignatures)
{
    TPendingPackageConfiguration Entry;
    Entry.m_pBuild = pBuild;
    Entry.m_PackageConfigurationUrl = PackageUrl;
    Entry.m_AssetsUrl = AssetsUrl;
    if (NeedsSignatures && m_Authenticator.isRequired()) {
        Entry.m_PackageSignatureUrl = TDocumentAuthenticator::signatureUrl(PackageUrl);
        Entry.m_AssetsSignatureUrl = TDocumentAuthenticator::signatureUrl(AssetsUrl);
    }
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
            addPendingEntry(pBuild, ::shared::addNocacheToUrl(pBuild->m_Url, Nocache),
                            ::shared::addNocacheToUrl(pBuild->m_AssetsUrl, Nocache), true);
        }
    }
    for (const auto& pPackage : m_pConfiguration->getPackages()) {
        TPackageBuild* pBuild = pPackage->currentBuild();
        if (!pBuild) {
            continue;
        }
        if (!m_IsLocalCopy) {
            addPendingEntry(pBuild, ::shared::addNocacheToUrl(pBuild->m_Url, Nocache),
                            ::shared::addNocacheToUrl(pBuild->m_AssetsUrl, Nocache), true);
            continue;
        }
        try {
            const QDir Directory(
                m_pFilesystemHelper->resolvePathInsideDirectory(m_pFilesystemHelper->getPackagesDirectory(), pPackage->m_DirectoryName));
            // a package without assets has no assets document on disk; asking for it would
            // fail the entry and hide an installed package whenever the server is away
            const QString AssetsPath = m_pFilesystemHelper->resolvePathInsideDirectory(Directory, pSettings->m_AssetFileName);
            // The installed documents are the launcher's own markers, written only from
            // documents that were verified when they were downloaded: no signatures here.
            addPendingEntry(pBuild,
                            QUrl::fromLocalFile(m_pFilesystemHelper->resolvePathInsideDirectory(Directory, pSettings->m_PackageFileName)),
                            QFileInfo::exists(AssetsPath) ? QUrl::fromLocalFile(AssetsPath) : QUrl(), false);
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
        for (const QUrl& SignatureUrl : {Entry.m_PackageSignatureUrl, Entry.m_AssetsSignatureUrl}) {
            if (SignatureUrl.isValid() && !SignatureUrl.isEmpty()) {
                m_pDownloadPool->download(SignatureUrl);
            }
        }
    }
}

} // namespace zarvo::launcher
