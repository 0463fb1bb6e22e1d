#pragma once

#include "TPackageConfigurationReader.h"

#include <QJsonObject>
#include <QMetaType>
#include <QObject>
#include <QUrl>

#include <cstdint>
#include <memory>
#include <vector>

namespace zarvo::launcher {

enum class ELocalPackageStatus : std::int32_t {
    Undetermined = 0,
    NotInstalled = 1,
    PartiallyInstalled = 2,
    UpdateRequired = 3,
    Installed = 4,
};

enum class EOperatingSystem : std::int32_t { Unknown = 0, Windows = 1, MacOs = 2, Linux = 3 };
enum class EArchitecture : std::int32_t { Unknown = 0, I386 = 1, X86_64 = 2 };

// One platform build of a package.
struct TPackageBuild {
    EOperatingSystem m_OperatingSystem = EOperatingSystem::Unknown;
    EArchitecture m_Architecture = EArchitecture::Unknown;
    QUrl m_Url;
    QUrl m_AssetsUrl;
    std::unique_ptr<TPackageConfigurationReader> m_pConfiguration;
};

// One installable package: a client variant of the launcher configuration, or the
// launcher's own package.
class TPackage final : public QObject {
    Q_OBJECT
public:
    // The id of the launcher's own package.
    static constexpr std::int32_t kLauncherPackageId = 2147483647;

    TPackage(std::int32_t Id, const QJsonObject& Object, const QUrl& BaseUrl);

    // The first build for the running system, or null.
    TPackageBuild* currentBuild() const;
    // The current build's downloaded configuration, or null.
    TPackageConfigurationReader* currentConfiguration() const;

    // Stores the status; emits localPackageStatusChanged() only when it changes.
    void setLocalPackageStatus(ELocalPackageStatus Status);
    ELocalPackageStatus localPackageStatus() const { return m_LocalPackageStatus; }

    static EOperatingSystem runningOperatingSystem();
    static EArchitecture runningArchitecture();

    std::int32_t m_Id;
    QString m_Name;
    QString m_DirectoryName;
    QUrl m_LogoLinkTarget;
    bool m_InstallAutomatically = false;
    bool m_IsUpToDate = false;
    bool m_IsDefault = false;
    std::vector<std::unique_ptr<TPackageBuild>> m_Builds;

signals:
    void localPackageStatusChanged();

private:
    ELocalPackageStatus m_LocalPackageStatus = ELocalPackageStatus::Undetermined;
};

} // namespace zarvo::launcher

Q_DECLARE_METATYPE(std::shared_ptr<zarvo::launcher::TPackage>)
