#pragma once

#include "TLauncherConfigurationReader.h"
#include "TLauncherFilesystemHelper.h"
#include "TPackageInstallation.h"
#include "TPackageMarkers.h"

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

namespace zarvo::launcher {

// Owns the running package jobs, starts installations, updates and verifications, keeps
// the markers and the local status up to date and reports when jobs start and end.
class TInstallationManager final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(TInstallationManager)
public:
    // Reports a funnel event (settings key, event name); the application sends it.
    using TFunnelReporter = std::function<void(const QString& SettingsKey, const QString& EventName)>;

    TInstallationManager(std::shared_ptr<TLauncherConfigurationReader> pConfiguration,
                         std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper, TFunnelReporter FunnelReporter = {});

    ELocalPackageStatus computeLocalPackageStatus(const TPackage& Package) const;
    QDir installationDirectory(const TPackage& Package) const;
    // The installation directory joined with the current configuration's executable;
    // empty without a configuration for this machine or without an executable.
    QString executablePath(const TPackage& Package) const;
    void setDefaultPackage(const std::shared_ptr<TPackage>& pPackage);
    std::shared_ptr<TPackage> defaultPackage() const;

    // Starts an installation or update; nothing happens while the package has a job or
    // has no configuration for this machine. Disk errors go out as diskAccessFailed.
    void installOrUpdatePackage(const std::shared_ptr<TPackage>& pPackage);
    // Starts a verification asked for by the player.
    void verifyPackage(const std::shared_ptr<TPackage>& pPackage);
    TPackageConfigurationReader readPackageConfigurationFromInstallationDirectory(const TPackage& Package) const;

    const std::vector<std::shared_ptr<TPackageInstallation>>& installationsInProgress() const { return m_InstallationsInProgress; }
    const std::vector<std::shared_ptr<TPackage>>& packages() const;
    void setSelfUpdateMode(ESelfUpdateMode Mode) { m_SelfUpdateMode = Mode; }
    const TPackageMarkers& markers() const { return m_Markers; }

signals:
    void installationOrUpdateStarted(const zarvo::launcher::TPackageInstallation& InstallationInProgress);
    void installationOrUpdateFinished(const zarvo::launcher::TPackageInstallation& InstallationInProgress);
    void allStartedUpdatesFinished();
    void diskAccessFailed(QString ErrorMessage);

public slots:
    void onDiskAccessFailed(QString ErrorMessage);
    void onDownloadFinished(std::shared_ptr<zarvo::launcher::TPackage> PackageBeingInstalled);
    void onVerificationFinished(std::shared_ptr<zarvo::launcher::TPackage> PackageBeingInstalled);

private:
    std::shared_ptr<TPackageInstallation> startJob(const std::shared_ptr<TPackage>& pPackage, TPackageConfigurationReader& Installed);
    // Why a package cannot be installed: its document was refused when read, names one of
    // the launcher's marker files, or another package of this machine has the same folder;
    // empty when it can.
    QString refusalOf(const TPackage& Package) const;
    std::shared_ptr<TPackageInstallation> findJob(const TPackage& Package) const;
    void finishJob(const std::shared_ptr<TPackageInstallation>& pJob);
    void reportFunnel(const QString& SettingsKey, const QString& EventName);
    void emitAllStartedUpdatesFinishedOnce();

    std::shared_ptr<TLauncherConfigurationReader> m_pConfiguration; // null for the self-update
    std::shared_ptr<TLauncherFilesystemHelper> m_pFilesystemHelper;
    std::vector<std::shared_ptr<TPackageInstallation>> m_InstallationsInProgress;
    ESelfUpdateMode m_SelfUpdateMode = ESelfUpdateMode::Off;
    TPackageMarkers m_Markers;
    TFunnelReporter m_FunnelReporter;
    bool m_AllFinishedReported = false;
};

} // namespace zarvo::launcher
