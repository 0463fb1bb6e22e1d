#pragma once

#include "TDocumentAuthenticator.h"
#include "TLauncherConfigurationReader.h"
#include "TLauncherFilesystemHelper.h"

#include "THint.h"

#include <QNetworkReply>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <vector>

namespace shared {
class TDownloadPool;
}

namespace zarvo::launcher {

// Fetches the remote launcher configuration (falling back to the cached copy
// "launchermetadata.json" when the server does not answer in time), caches it, fetches
// the package and asset documents of every build for this machine and the hints.
class TLauncherConfigurationHandler final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(TLauncherConfigurationHandler)
public:
    static const char* const kCacheFileName;

    TLauncherConfigurationHandler(std::shared_ptr<::shared::TDownloadPool> pDownloadPool,
                                  std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper, const QUrl& ConfigurationUrl);

    // Asks the pool for the configuration and starts the error timer.
    void startDownload();

    std::shared_ptr<TLauncherConfigurationReader> getConfiguration() const { return m_pConfiguration; }
    bool isLocalCopy() const { return m_IsLocalCopy; }
    const ::shared::THint& getCurrentHint() const { return m_CurrentHint; }
    const std::vector<::shared::THint>& getHints() const { return m_Hints; }
    QString cacheFilePath() const;
    const TDocumentAuthenticator& getAuthenticator() const { return m_Authenticator; }

    // Queues the package and asset documents of the launcher package (configuration from
    // the server only) and of every client package with a build for this machine.
    void queuePackageConfigurationDownloads();

signals:
    void mainConfigurationLoaded();
    void mainConfigurationDownloadFailed();
    void diskAccessFailed(QString ErrorMessage);
    void packageConfigurationDownloadsFinished();
    void hintAreaDataReceived(const ::shared::THint& Hint);
    void hintsAreaDataReceived(std::vector<::shared::THint> Hints);

public slots:
    void onConfigurationDownloadFinished(QUrl Url, QByteArray Data);
    void onConfigurationDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);
    void onErrorTimerExpired();

private:
    struct TPendingPackageConfiguration {
        TPackageBuild* m_pBuild = nullptr;
        QUrl m_PackageConfigurationUrl;
        QUrl m_AssetsUrl;
        QByteArray m_PackageConfiguration;
        QByteArray m_Assets;
        // Detached signatures; their URLs stay empty when none are needed.
        QUrl m_PackageSignatureUrl;
        QUrl m_AssetsSignatureUrl;
        QByteArray m_PackageSignature;
        QByteArray m_AssetsSignature;

        bool matches(const QUrl& Url) const;
        bool isComplete() const;
    };

    void acceptDownloadedConfiguration();
    void storeCacheSignature();
    bool isCachedCopyAuthentic(const QString& Path, const QByteArray& Data);
    void useCachedCopy();
    void addPendingEntry(TPackageBuild* pBuild, const QUrl& PackageUrl, const QUrl& AssetsUrl, bool NeedsSignatures);

    std::shared_ptr<::shared::TDownloadPool> m_pDownloadPool;
    std::shared_ptr<TLauncherFilesystemHelper> m_pFilesystemHelper;
    QUrl m_ConfigurationUrl;
    QTimer m_ErrorTimer;
    std::shared_ptr<TLauncherConfigurationReader> m_pConfiguration;
    bool m_IsLocalCopy = false;
    ::shared::THint m_CurrentHint;
    std::vector<::shared::THint> m_Hints;
    std::vector<TPendingPackageConfiguration> m_PendingPackageConfigurations;
    TDocumentAuthenticator m_Authenticator;
    // The configuration and its signature as they arrive, while the error timer runs.
    QByteArray m_ReceivedConfiguration;
    QByteArray m_ReceivedConfigurationSignature;
};

} // namespace zarvo::launcher
