#include "TPackageMarkers.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <stdexcept>

namespace zarvo::launcher {

TPackageMarkers::TPackageMarkers(std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper)
    : m_pFilesystemHelper(std::move(pFilesystemHelper))
{
}

QDir TPackageMarkers::installationDirectory(const TPackage& Package) const
{
    if (Package.m_Id == TPackage::kLauncherPackageId) {
        return QDir(QCoreApplication::applicationDirPath());
    }
    return QDir(m_pFilesystemHelper->resolvePathInsideDirectory(m_pFilesystemHelper->getPackagesDirectory(), Package.m_DirectoryName));
}

QString TPackageMarkers::pathInInstallation(const TPackage& Package, const QString& Name) const
{
    return m_pFilesystemHelper->resolvePathInsideDirectory(installationDirectory(Package), Name);
}

QString TPackageMarkers::fullMarkerPath(const TPackage& Package) const
{
    return pathInInstallation(Package, m_pFilesystemHelper->getSettings()->m_PackageFileName);
}

QString TPackageMarkers::partialMarkerPath(const TPackage& Package) const
{
    return pathInInstallation(Package, m_pFilesystemHelper->getSettings()->m_PartialPackageFileName);
}

QString TPackageMarkers::assetsDocumentPath(const TPackage& Package) const
{
    return pathInInstallation(Package, m_pFilesystemHelper->getSettings()->m_AssetFileName);
}

QString TPackageMarkers::defaultMarkerPath(const TPackage& Package) const
{
    return pathInInstallation(Package, QString::fromLatin1(TLauncherFilesystemHelper::kDefaultMarkerName));
}

TPackageConfigurationReader TPackageMarkers::readInstalledConfiguration(const TPackage& Package) const
{
    const QString Full = fullMarkerPath(Package);
    const QString Marker = QFileInfo::exists(Full) ? Full : partialMarkerPath(Package);
    const QUrl Base = QUrl::fromLocalFile(installationDirectory(Package).absolutePath());
    return TPackageConfigurationReader(m_pFilesystemHelper->readFileOrEmpty(Marker),
                                       m_pFilesystemHelper->readFileOrEmpty(assetsDocumentPath(Package)), Base, Base);
}

ELocalPackageStatus TPackageMarkers::computeLocalStatus(const TPackage& Package) const noexcept
{
    const TPackageConfigurationReader* pCurrent = Package.currentConfiguration();
    if (!pCurrent) {
        return ELocalPackageStatus::NotInstalled;
    }
    try {
        const QString Full = fullMarkerPath(Package);
        if (QFileInfo::exists(Full)) {
            const QUrl Base = QUrl::fromLocalFile(installationDirectory(Package).absolutePath());
            const TPackageConfigurationReader Installed(m_pFilesystemHelper->readFileOrEmpty(Full),
                                                        m_pFilesystemHelper->readFileOrEmpty(assetsDocumentPath(Package)), Base, Base);
            // a refused document on either side says nothing about the installed version
            if (!Installed.m_Valid || !pCurrent->m_Valid || Installed.versionLabel() != pCurrent->versionLabel()) {
                return ELocalPackageStatus::UpdateRequired;
            }
            const QString AssetsVersion = pCurrent->m_AssetsVersion.isEmpty() ? QStringLiteral("?") : pCurrent->m_AssetsVersion;
            return AssetsVersion == QLatin1String("1") ? ELocalPackageStatus::UpdateRequired : ELocalPackageStatus::Installed;
        }
        if (QFileInfo::exists(partialMarkerPath(Package))) {
            return ELocalPackageStatus::PartiallyInstalled;
        }
    } catch (...) {
        // the packages directory cannot be made: nothing can be installed there
    }
    return ELocalPackageStatus::NotInstalled;
}

void TPackageMarkers::writeAssetsDocument(const TPackage& Package, const TPackageConfigurationReader& Configuration) const
{
    if (!Configuration.m_AssetsDocument.isEmpty()) {
        m_pFilesystemHelper->writeFileWithDirectory(assetsDocumentPath(Package), Configuration.m_AssetsDocument);
    }
}

namespace {

// Markers are copies of the current documents: a refused one is never written.
const TPackageConfigurationReader* usableConfiguration(const TPackage& Package)
{
    const TPackageConfigurationReader* pCurrent = Package.currentConfiguration();
    if (pCurrent && !pCurrent->m_Valid) {
        throw std::runtime_error(QStringLiteral("The package configuration of %1 was refused: %2")
                                     .arg(Package.m_Name, pCurrent->m_Error)
                                     .toUtf8()
                                     .toStdString());
    }
    return pCurrent;
}

} // namespace

void TPackageMarkers::markPartiallyInstalled(TPackage& Package) const
{
    const TPackageConfigurationReader* pCurrent = usableConfiguration(Package);
    const QString Full = fullMarkerPath(Package);
    const QString Partial = partialMarkerPath(Package);
    if (QFileInfo::exists(Full)) {
        m_pFilesystemHelper->moveReplacing(Full, Partial);
    } else if (!QFileInfo::exists(Partial) && pCurrent) {
        m_pFilesystemHelper->writeFileWithDirectory(Partial, pCurrent->m_PackageDocument);
    }
    if (pCurrent) {
        writeAssetsDocument(Package, *pCurrent);
    }
    Package.setLocalPackageStatus(ELocalPackageStatus::PartiallyInstalled);
}

void TPackageMarkers::updatePartiallyInstalledPackage(TPackage& Package) const
{
    const TPackageConfigurationReader* pCurrent = usableConfiguration(Package);
    const QString Full = fullMarkerPath(Package);
    const QString Partial = partialMarkerPath(Package);
    if (QFileInfo::exists(Full)) {
        m_pFilesystemHelper->moveReplacing(Full, Partial);
    }
    if (pCurrent) {
        m_pFilesystemHelper->writeFileWithDirectory(Partial, pCurrent->m_PackageDocument);
        writeAssetsDocument(Package, *pCurrent);
    }
    Package.setLocalPackageStatus(ELocalPackageStatus::PartiallyInstalled);
}

void TPackageMarkers::markFullyInstalled(TPackage& Package) const
{
    const TPackageConfigurationReader* pCurrent = usableConfiguration(Package);
    const QString Partial = partialMarkerPath(Package);
    // The full marker is written before the partial one goes: a crash in between leaves
    // both (the full one wins), never neither.
    if (pCurrent) {
        m_pFilesystemHelper->writeFileWithDirectory(fullMarkerPath(Package), pCurrent->m_PackageDocument);
        writeAssetsDocument(Package, *pCurrent);
    }
    if (QFileInfo::exists(Partial)) {
        m_pFilesystemHelper->removeFileOrDirectory(Partial);
    }
    Package.setLocalPackageStatus(ELocalPackageStatus::Installed);
}

void TPackageMarkers::findDefaultPackage(const std::vector<std::shared_ptr<TPackage>>& Packages) const
{
    for (const auto& pPackage : Packages) {
        const ELocalPackageStatus Status = pPackage->localPackageStatus();
        if (Status != ELocalPackageStatus::PartiallyInstalled && Status != ELocalPackageStatus::UpdateRequired &&
            Status != ELocalPackageStatus::Installed) {
            continue;
        }
        try {
            if (QFileInfo::exists(defaultMarkerPath(*pPackage))) {
                pPackage->m_IsDefault = true;
                return;
            }
        } catch (const std::exception&) {
            return;
        }
    }
}

void TPackageMarkers::setDefaultPackage(const std::vector<std::shared_ptr<TPackage>>& Packages,
                                        const std::shared_ptr<TPackage>& pPackage) const
{
    for (const auto& pOther : Packages) {
        m_pFilesystemHelper->removeFileOrDirectory(defaultMarkerPath(*pOther));
        pOther->m_IsDefault = false;
    }
    if (pPackage) {
        m_pFilesystemHelper->writeFileWithDirectory(defaultMarkerPath(*pPackage), QByteArray());
        pPackage->m_IsDefault = true;
    }
}

} // namespace zarvo::launcher
