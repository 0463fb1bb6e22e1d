#pragma once

#include "TDiskSpaceCheck.h"
#include "TLauncherFilesystemHelper.h"
#include "TPackage.h"
#include "TPackageDifference.h"
#include "TPackageFileDownloader.h"

#include <QDir>
#include <QList>
#include <QObject>

#include <atomic>
#include <memory>
#include <vector>

class QNetworkAccessManager;

namespace shared {
class TDownloadPool;
}

namespace zarvo::launcher {

// One running job on one package: an installation, an update or a verification asked
// for by the player. Walks through the required-changes computation, the download and
// the verification, and reports the outcome as "without error" plus a reason.
class TPackageInstallation final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(TPackageInstallation)
public:
    TPackageInstallation(std::shared_ptr<TPackage> pPackage, std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper);
    ~TPackageInstallation() override;

    // Background work: what has to change in the installation directory. Local files are
    // cut as the new document declares; the fast scan applies only when the installed
    // document declares the same cutting (otherwise its chunks could not match).
    TPackageDifference computeRequiredChanges(const QDir& InstallationDirectory,
                                              const std::shared_ptr<TLauncherFilesystemHelper>& pFilesystemHelper,
                                              TPackageConfigurationReader NewConfiguration,
                                              TPackageConfigurationReader InstalledConfiguration, bool FastScan);
    QList<TFileToDownload> FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
        const TFileInPackageVector& NewFiles, const TChunkInPackageVector& NewChunks, const TFileInPackageVector& InstalledFiles,
        const TChunkInPackageVector& InstalledChunks, bool FastScan, const QDir& InstallationDirectory,
        const std::shared_ptr<TLauncherFilesystemHelper>& pFilesystemHelper,
        const ::shared::TChunkingParameters& Chunking = ::shared::TChunkingParameters::defaults());
    // Bytes the last difference computation saved aside while it rearranged files in place.
    std::uint64_t scratchBytesUsed() const { return m_ScratchBytesUsed; }
    void addScratchBytesUsed(std::uint64_t Bytes) { m_ScratchBytesUsed += Bytes; }
    // Background work: every file read and compared with its digest.
    bool VerifyPackage(const QDir& InstallationDirectory, const std::shared_ptr<TLauncherFilesystemHelper>& pFilesystemHelper,
                       TFileInPackageVector Files);

    // Starts the verification; skipped (reported at once as passed) unless Forced when
    // the skipVerification setting is on.
    void startVerification(const TPackageConfigurationReader& InstalledConfiguration, bool Forced);

    std::shared_ptr<TPackage> package() const { return m_pPackage; }
    TPackageFileDownloader* downloader() const { return m_pDownloader.get(); }
    bool isWithoutError() const { return m_WithoutError; }
    EPackageDownloaderError errorReason() const { return m_ErrorReason; }
    ESelfUpdateMode selfUpdateMode() const { return m_SelfUpdateMode; }
    void setSelfUpdateMode(ESelfUpdateMode Mode) { m_SelfUpdateMode = Mode; }
    const QString& installedVersionLabel() const { return m_InstalledVersionLabel; }
    const QString& newVersionLabel() const { return m_NewVersionLabel; }
    void setVersionLabels(const QString& Installed, const QString& New)
    {
        m_InstalledVersionLabel = Installed;
        m_NewVersionLabel = New;
    }
    const QDir& installationDirectory() const { return m_InstallationDirectory; }
    void setInstallationDirectory(const QDir& Directory) { m_InstallationDirectory = Directory; }
    // Where and by how much the download did not fit (error reason NotEnoughDiskSpace).
    const std::optional<TDiskSpaceShortage>& diskSpaceShortage() const { return m_DiskSpaceShortage; }

signals:
    void scanProgress(zarvo::launcher::TFileSize BytesDownloaded, zarvo::launcher::TFileSize BytesTotal);
    void writeProgress(zarvo::launcher::TFileSize BytesDownloaded, zarvo::launcher::TFileSize BytesTotal);
    void verificationProgress(zarvo::launcher::TFileSize BytesDownloaded, zarvo::launcher::TFileSize BytesTotal);
    void downloadFinished(std::shared_ptr<zarvo::launcher::TPackage> PackageBeingInstalled);
    void verificationFinished(std::shared_ptr<zarvo::launcher::TPackage> PackageBeingInstalled);
    void diskAccessFailed(QString Message);

public slots:
    void onDownloadCompleted();
    void onDownloadFailed(zarvo::launcher::EPackageDownloaderError ErrorReason);
    void onRequiredChangesComputedForInstallation(zarvo::launcher::TPackageDifference Changes);
    void onVerifyFinished(bool Result);

private:
    // removes (or moves aside) the local copies of the files that are fetched whole
    void removeFilesFetchedWhole();
    std::shared_ptr<TPackage> m_pPackage;
    std::shared_ptr<QNetworkAccessManager> m_pNetworkAccessManager;
    std::shared_ptr<::shared::TDownloadPool> m_pDownloadPool;
    std::unique_ptr<TPackageFileDownloader> m_pDownloader;
    std::shared_ptr<TLauncherFilesystemHelper> m_pFilesystemHelper;
    bool m_WithoutError = false;
    EPackageDownloaderError m_ErrorReason = EPackageDownloaderError::NoError;
    ESelfUpdateMode m_SelfUpdateMode = ESelfUpdateMode::Off;
    QString m_InstalledVersionLabel;
    QString m_NewVersionLabel;
    QDir m_InstallationDirectory;
    std::vector<TFileInPackage> m_FilesToDelete;
    std::vector<TFileToDownload> m_FilesToDownload;
    std::atomic<std::uint64_t> m_ScratchBytesUsed {0};
    // what the last scan found: a folder with no file of the package in it
    std::atomic<bool> m_NothingInstalled {false};
    std::optional<TDiskSpaceShortage> m_DiskSpaceShortage;
};

} // namespace zarvo::launcher
