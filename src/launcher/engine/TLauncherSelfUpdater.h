#pragma once

#include "TInstallationManager.h"
#include "TLauncherFilesystemHelper.h"

#include <QObject>

#include <memory>

namespace zarvo::launcher {

// Watches the installation of the launcher's own package into its application directory.
class TLauncherSelfUpdater final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(TLauncherSelfUpdater)
public:
    static const char* const kBackupSuffix; // ".old"

    explicit TLauncherSelfUpdater(std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper);

    // Installs the launcher package in self-update mode (files that cannot be removed are
    // moved aside to ".old").
    void startSelfUpdate(const std::shared_ptr<TPackage>& pLauncherPackage);
    TInstallationManager* installationManager() const { return m_pInstallationManager.get(); }

    // Removes the ".old" files directly in the application directory. Throws.
    void cleanupOldLauncherVersion();

signals:
    void updateDownloadFinishedAndRestartRequired();
    void updateFailed();
    void diskAccessFailed(QString ErrorMessage);

public slots:
    void onInstallationOrUpdateFinished(const zarvo::launcher::TPackageInstallation& InstallationInProgress);

private:
    std::shared_ptr<TLauncherFilesystemHelper> m_pFilesystemHelper;
    std::unique_ptr<TInstallationManager> m_pInstallationManager;
    std::shared_ptr<TPackage> m_pLauncherPackage;
};

} // namespace zarvo::launcher
