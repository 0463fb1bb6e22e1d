#include "TLauncherSelfUpdater.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace zarvo::launcher {

const char* const TLauncherSelfUpdater::kBackupSuffix = ".old";

TLauncherSelfUpdater::TLauncherSelfUpdater(std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper)
    : m_pFilesystemHelper(std::move(pFilesystemHelper))
{
}

void TLauncherSelfUpdater::startSelfUpdate(const std::shared_ptr<TPackage>& pLauncherPackage)
{
    qInfo() << "startSelfUpdate " << pLauncherPackage->m_Name << " Thread: " << QThread::currentThreadId();
    m_pLauncherPackage = pLauncherPackage;
    m_pInstallationManager = std::make_unique<TInstallationManager>(nullptr, m_pFilesystemHelper);
    connect(m_pInstallationManager.get(), &TInstallationManager::installationOrUpdateFinished, this,
            &TLauncherSelfUpdater::onInstallationOrUpdateFinished);
    connect(m_pInstallationManager.get(), &TInstallationManager::diskAccessFailed, this, &TLauncherSelfUpdater::diskAccessFailed);
    m_pInstallationManager->setSelfUpdateMode(ESelfUpdateMode::RenameReplacedFiles);
    m_pInstallationManager->installOrUpdatePackage(pLauncherPackage);
}

void TLauncherSelfUpdater::onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress)
{
    if (InstallationInProgress.isWithoutError()) {
        emit updateDownloadFinishedAndRestartRequired();
        return;
    }
    const TPackageConfigurationReader* pConfiguration = InstallationInProgress.package()->currentConfiguration();
    if (!pConfiguration || !pConfiguration->m_Valid) {
        // a refused document moved nothing aside: an old ".old" file is no backup of this run
        qCritical() << "Updating Torvane Online failed: the package configuration was refused";
        emit updateFailed();
        return;
    }
    try {
        QString Executable = m_pInstallationManager->executablePath(*InstallationInProgress.package());
        if (Executable.isEmpty()) {
            // a launcher package that names no executable still replaced the running one
            Executable = QCoreApplication::applicationFilePath();
        }
        const QString Backup = Executable + QLatin1String(kBackupSuffix);
        if (!Executable.isEmpty() && QFileInfo::exists(Backup)) {
            m_pFilesystemHelper->removeFileOrDirectory(Executable);
            if (!QFile::rename(Backup, Executable)) {
                throw std::runtime_error(QStringLiteral("Failed to restore %1").arg(Executable).toStdString());
            }
        }
        qCritical() << "Updating Torvane Online failed: Error" << static_cast<int>(InstallationInProgress.errorReason());
        emit updateFailed();
    } catch (const std::runtime_error& Error) {
        emit diskAccessFailed(QString::fromUtf8(Error.what()));
    }
}

void TLauncherSelfUpdater::cleanupOldLauncherVersion()
{
    qInfo() << "cleanupOldLauncherVersion"
            << " Thread: " << QThread::currentThreadId();
    const QString Directory = QDir(QCoreApplication::applicationDirPath()).absolutePath();
    for (const ::shared::TLocalFileInfo& File : m_pFilesystemHelper->listFilesInDirectory(Directory)) {
        if (QFileInfo(File.m_FilePath).fileName().endsWith(QLatin1String(kBackupSuffix))) {
            m_pFilesystemHelper->deleteFile(File.m_FilePath);
        }
    }
}

} // namespace zarvo::launcher
