#include "TInstallationManager.h"

#include <QDebug>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QThread>
#include <QtConcurrent>

#include <algorithm>

namespace zarvo::launcher {

TInstallationManager::TInstallationManager(std::shared_ptr<TLauncherConfigurationReader> pConfiguration,
                                           std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper, TFunnelReporter FunnelReporter)
    : m_pConfiguration(std::move(pConfiguration))
    , m_pFilesystemHelper(std::move(pFilesystemHelper))
    , m_Markers(m_pFilesystemHelper)
    , m_FunnelReporter(std::move(FunnelReporter))
{
    for (const auto& pPackage : packages()) {
        pPackage->setLocalPackageStatus(m_Markers.computeLocalStatus(*pPackage));
    }
    m_Markers.findDefaultPackage(packages());
}

const std::vector<std::shared_ptr<TPackage>>& TInstallationManager::packages() const
{
    static const std::vector<std::shared_ptr<TPackage>> kNone;
    return m_pConfiguration ? m_pConfiguration->getPackages() : kNone;
}

QString TInstallationManager::executablePath(const TPackage& Package) const
{
    const TPackageConfigurationReader* pConfiguration = Package.currentConfiguration();
    if (!pConfiguration || !pConfiguration->m_Valid || pConfiguration->m_Executable.isEmpty()) {
        return QString();
    }
    try {
        return m_pFilesystemHelper->resolvePathInsideDirectory(installationDirectory(Package), pConfiguration->m_Executable);
    } catch (const std::exception&) {
        return QString();
    }
}

ELocalPackageStatus TInstallationManager::computeLocalPackageStatus(const TPackage& Package) const
{
    return m_Markers.computeLocalStatus(Package);
}

QDir TInstallationManager::installationDirectory(const TPackage& Package) const
{
    return m_Markers.installationDirectory(Package);
}

void TInstallationManager::setDefaultPackage(const std::shared_ptr<TPackage>& pPackage)
{
    try {
        m_Markers.setDefaultPackage(packages(), pPackage);
    } catch (const std::runtime_error& Error) {
        emit diskAccessFailed(QString::fromUtf8(Error.what()));
        return;
    }
    for (const auto& pOther : packages()) {
        pOther->setLocalPackageStatus(m_Markers.computeLocalStatus(*pOther));
    }
}

std::shared_ptr<TPackage> TInstallationManager::defaultPackage() const
{
    for (const auto& pPackage : packages()) {
        if (pPackage->m_IsDefault) {
            return pPackage;
        }
    }
    return nullptr;
}

TPackageConfigurationReader TInstallationManager::readPackageConfigurationFromInstallationDirectory(const TPackage& Package) const
{
    const auto pSettings = m_pFilesystemHelper->getSettings();
    qInfo() << "readPackageConfigurationFromInstallationDirectory m_pLauncherFilesystemHelper: "
            << static_cast<const void*>(m_pFilesystemHelper.get()) << " launcherSettings: " << static_cast<const void*>(pSettings.get())
            << " installedPackageMarker: " << pSettings->m_PackageFileName
            << " partiallyInstalledPackageMarker: " << pSettings->m_PartialPackageFileName << " Thread: " << QThread::currentThreadId();
    const QString Full = m_Markers.fullMarkerPath(Package);
    if (QFileInfo::exists(Full)) {
        qInfo() << "FullInstallationMarker " << Full << m_Markers.assetsDocumentPath(Package) << " Thread: " << QThread::currentThreadId();
    } else if (QFileInfo::exists(m_Markers.partialMarkerPath(Package))) {
        qInfo() << "PartialInstallationMarker " << m_Markers.partialMarkerPath(Package) << m_Markers.assetsDocumentPath(Package)
                << " Thread: " << QThread::currentThreadId();
    } else {
        return TPackageConfigurationReader();
    }
    return m_Markers.readInstalledConfiguration(Package);
}

std::shared_ptr<TPackageInstallation> TInstallationManager::findJob(const TPackage& Package) const
{
    for (const auto& pJob : m_InstallationsInProgress) {
        if (pJob->package()->m_Name == Package.m_Name) {
            return pJob;
        }
    }
    return nullptr;
}

std::shared_ptr<TPackageInstallation> TInstallationManager::startJob(const std::shared_ptr<TPackage>& pPackage,
                                                                     TPackageConfigurationReader& Installed)
{
    if (findJob(*pPackage) || !pPackage->currentConfiguration()) {
        return nullptr;
    }
    const TPackageConfigurationReader& Current = *pPackage->currentConfiguration();
    const QDir Directory = installationDirectory(*pPackage);
    Installed = readPackageConfigurationFromInstallationDirectory(*pPackage);
    const QString Refusal = refusalOf(*pPackage);
    if (Refusal.isEmpty()) {
        try {
            m_Markers.markPartiallyInstalled(*pPackage);
        } catch (const std::runtime_error& Error) {
            // nothing was started: the player sees the disk error
            emit diskAccessFailed(QString::fromUtf8(Error.what()));
            return nullptr;
        }
    }
    auto pJob = std::make_shared<TPackageInstallation>(pPackage, m_pFilesystemHelper);
    pJob->setInstallationDirectory(Directory);
    pJob->setVersionLabels(Installed.versionLabel(), Current.versionLabel());
    pJob->setSelfUpdateMode(m_SelfUpdateMode);
    connect(pJob.get(), &TPackageInstallation::downloadFinished, this, &TInstallationManager::onDownloadFinished);
    connect(pJob.get(), &TPackageInstallation::verificationFinished, this, &TInstallationManager::onVerificationFinished);
    m_InstallationsInProgress.push_back(pJob);
    m_AllFinishedReported = false;
    connect(pJob.get(), &TPackageInstallation::diskAccessFailed, this, &TInstallationManager::onDiskAccessFailed);
    emit installationOrUpdateStarted(*pJob);
    if (!Refusal.isEmpty()) {
        // A refused document changes nothing on disk: no marker, no deletion, no
        // download. The job ends at once as a failed download, which the player sees.
        qCritical().noquote() << "The package configuration of" << pPackage->m_Name << "was refused:" << Refusal;
        pJob->onDownloadFailed(EPackageDownloaderError::DownloadFailed);
        return nullptr;
    }
    return pJob;
}

QString TInstallationManager::refusalOf(const TPackage& Package) const
{
    const TPackageConfigurationReader& Configuration = *Package.currentConfiguration();
    if (!Configuration.m_Valid) {
        return Configuration.m_Error;
    }
    // Two packages of this machine in one folder would overwrite each other's files and
    // markers, each update breaking the other game. (A package with a build for this
    // machine owns its folder even while its document could not be fetched.)
    for (const auto& pOther : packages()) {
        if (pOther.get() != &Package && pOther->currentBuild() && pOther->m_DirectoryName == Package.m_DirectoryName) {
            return QStringLiteral("its folder \"%1\" is also the folder of \"%2\"").arg(Package.m_DirectoryName, pOther->m_Name);
        }
    }
    // The markers live in the installation folder beside the game's files: a game file of
    // the same name would overwrite the marker, or be overwritten by it, and the
    // installation would never again be what its marker says.
    for (const QString& Name : m_pFilesystemHelper->markerNames()) {
        const bool Clash = std::any_of(Configuration.m_Files.begin(), Configuration.m_Files.end(),
                                       [&Name](const TFileInPackage& File) { return File.m_LocalFile == Name; });
        if (Clash) {
            return QStringLiteral("the file name \"%1\" is the name of the launcher's own marker file").arg(Name);
        }
    }
    return QString();
}

void TInstallationManager::installOrUpdatePackage(const std::shared_ptr<TPackage>& pPackage)
{
    qInfo() << "installOrUpdatePackage: " << pPackage->m_Name << " Thread: " << QThread::currentThreadId();
    // the status is computed before the partial marker is written
    const bool FastScan = m_pFilesystemHelper->getSettings()->m_FastScan && pPackage->currentConfiguration() &&
        m_Markers.computeLocalStatus(*pPackage) == ELocalPackageStatus::UpdateRequired;
    TPackageConfigurationReader Installed;
    const auto pJob = startJob(pPackage, Installed);
    if (!pJob) {
        return;
    }
    auto* pWatcher = new QFutureWatcher<TPackageDifference>(this);
    std::weak_ptr<TPackageInstallation> pWeakJob = pJob;
    connect(pWatcher, &QFutureWatcher<TPackageDifference>::finished, this, [pWatcher, pWeakJob] {
        if (auto pLiveJob = pWeakJob.lock()) {
            pLiveJob->onRequiredChangesComputedForInstallation(pWatcher->result());
        }
        pWatcher->deleteLater();
    });
    TPackageInstallation* pRawJob = pJob.get();
    pWatcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(),
                                          [pJob, pRawJob, Directory = pJob->installationDirectory(), pHelper = m_pFilesystemHelper,
                                           Current = *pPackage->currentConfiguration(), Installed, FastScan]() {
                                              return pRawJob->computeRequiredChanges(Directory, pHelper, Current, Installed, FastScan);
                                          }));
}

void TInstallationManager::verifyPackage(const std::shared_ptr<TPackage>& pPackage)
{
    qInfo() << "verifyPackage: " << pPackage->m_Name;
    TPackageConfigurationReader Installed;
    const auto pJob = startJob(pPackage, Installed);
    if (pJob) {
        pJob->startVerification(Installed, true);
    }
}

void TInstallationManager::onDiskAccessFailed(QString ErrorMessage)
{
    emit diskAccessFailed(ErrorMessage);
}

void TInstallationManager::finishJob(const std::shared_ptr<TPackageInstallation>& pJob)
{
    emit installationOrUpdateFinished(*pJob);
    disconnect(pJob.get(), &TPackageInstallation::diskAccessFailed, this, &TInstallationManager::onDiskAccessFailed);
    m_InstallationsInProgress.erase(std::remove(m_InstallationsInProgress.begin(), m_InstallationsInProgress.end(), pJob),
                                    m_InstallationsInProgress.end());
    // Freed on the event loop's next turn, after the notifications that may start the
    // client: the bookkeeping of a large installation (tens of thousands of chunk records)
    // takes a tenth of a second to free, which the player would wait for.
    QMetaObject::invokeMethod(
        this, [pJob] {}, Qt::QueuedConnection);
}

void TInstallationManager::emitAllStartedUpdatesFinishedOnce()
{
    // a verification that is skipped finishes inside the download notification, so both
    // notifications see the empty list: the batch is reported once
    if (m_InstallationsInProgress.empty() && !m_AllFinishedReported) {
        m_AllFinishedReported = true;
        emit allStartedUpdatesFinished();
    }
}

void TInstallationManager::reportFunnel(const QString& SettingsKey, const QString& EventName)
{
    if (m_FunnelReporter) {
        m_FunnelReporter(SettingsKey, EventName);
    }
}

void TInstallationManager::onDownloadFinished(std::shared_ptr<TPackage> PackageBeingInstalled)
{
    qInfo() << "onDownloadFinished: " << PackageBeingInstalled->m_Name << " Thread: " << QThread::currentThreadId();
    if (const auto pJob = findJob(*PackageBeingInstalled)) {
        qInfo() << "onDownloadFinished found: " << PackageBeingInstalled->m_Name
                << " InstallationsInProgress: " << m_InstallationsInProgress.size() << " Thread: " << QThread::currentThreadId();
        if (!pJob->isWithoutError()) {
            finishJob(pJob);
        } else {
            try {
                qInfo() << "updatePartiallyInstalledPackage: " << PackageBeingInstalled->m_Name
                        << " Thread: " << QThread::currentThreadId();
                m_Markers.updatePartiallyInstalledPackage(*PackageBeingInstalled);
                const TPackageConfigurationReader Local = readPackageConfigurationFromInstallationDirectory(*PackageBeingInstalled);
                qInfo() << "onDownloadFinished LocalConfiguration: " << Local.m_Files.size() << " Thread: " << QThread::currentThreadId();
                pJob->startVerification(Local, false);
            } catch (const std::runtime_error& Error) {
                emit diskAccessFailed(QString::fromUtf8(Error.what()));
                finishJob(pJob);
            }
        }
    }
    reportFunnel(QStringLiteral("FunnelFinishedDownloadingFirst"), QStringLiteral("launcher_downloaded"));
    emitAllStartedUpdatesFinishedOnce();
}

void TInstallationManager::onVerificationFinished(std::shared_ptr<TPackage> PackageBeingInstalled)
{
    qInfo() << "onVerificationFinished: " << PackageBeingInstalled->m_Name << " Thread: " << QThread::currentThreadId();
    if (const auto pJob = findJob(*PackageBeingInstalled)) {
        qInfo() << "onVerificationFinished found package: " << PackageBeingInstalled->m_Name
                << " without error: " << (pJob->isWithoutError() ? "true" : "false") << " Thread: " << QThread::currentThreadId();
        if (pJob->isWithoutError()) {
            try {
                qInfo() << "markPackageAsFullyInstalled: " << PackageBeingInstalled->m_Name << " Thread: " << QThread::currentThreadId();
                m_Markers.markFullyInstalled(*PackageBeingInstalled);
            } catch (const std::runtime_error& Error) {
                emit diskAccessFailed(QString::fromUtf8(Error.what()));
            }
        }
        PackageBeingInstalled->m_IsUpToDate = true;
        finishJob(pJob);
    }
    reportFunnel(QStringLiteral("FunnelFinished_VerifyingFirst"), QStringLiteral("launcher_verified"));
    emitAllStartedUpdatesFinishedOnce();
}

} // namespace zarvo::launcher
