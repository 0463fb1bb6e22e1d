#pragma once

#include "TLauncherFilesystemHelper.h"
#include "TPackage.h"

#include <QDir>

#include <memory>
#include <vector>

namespace zarvo::launcher {

// Where a package is installed, the marker files beside it ("package.json" when fully
// installed, "partial-package.json" while an installation or update is unfinished,
// "assets.json", "default"), the local status they imply and the operations that change
// them. Used by the installation manager.
class TPackageMarkers {
public:
    explicit TPackageMarkers(std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper);

    QDir installationDirectory(const TPackage& Package) const;
    QString fullMarkerPath(const TPackage& Package) const;
    QString partialMarkerPath(const TPackage& Package) const;
    QString assetsDocumentPath(const TPackage& Package) const;
    QString defaultMarkerPath(const TPackage& Package) const;

    // The status the markers give; never throws.
    ELocalPackageStatus computeLocalStatus(const TPackage& Package) const noexcept;
    // The installed configuration: the full marker (or else the partial marker) with the
    // assets document, URLs resolved against the installation directory.
    TPackageConfigurationReader readInstalledConfiguration(const TPackage& Package) const;

    // Start of an installation or update. Throws std::runtime_error.
    void markPartiallyInstalled(TPackage& Package) const;
    // Download phase finished. Throws std::runtime_error.
    void updatePartiallyInstalledPackage(TPackage& Package) const;
    // Verification finished without error. Throws std::runtime_error.
    void markFullyInstalled(TPackage& Package) const;

    // Gives m_IsDefault to the first package with status 2, 3 or 4 that has a default
    // marker; later packages are not examined.
    void findDefaultPackage(const std::vector<std::shared_ptr<TPackage>>& Packages) const;
    // Makes Package (or nobody, when null) the default. Throws std::runtime_error.
    void setDefaultPackage(const std::vector<std::shared_ptr<TPackage>>& Packages, const std::shared_ptr<TPackage>& pPackage) const;

private:
    QString pathInInstallation(const TPackage& Package, const QString& Name) const;
    void writeAssetsDocument(const TPackage& Package, const TPackageConfigurationReader& Configuration) const;

    std::shared_ptr<TLauncherFilesystemHelper> m_pFilesystemHelper;
};

} // namespace zarvo::launcher
