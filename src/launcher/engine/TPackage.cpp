#include "TPackage.h"

#include <QJsonArray>
#include <QSysInfo>

namespace zarvo::launcher {

namespace {

EOperatingSystem operatingSystemFrom(const QString& Text)
{
    if (Text.compare(QLatin1String("windows"), Qt::CaseInsensitive) == 0) {
        return EOperatingSystem::Windows;
    }
    if (Text.compare(QLatin1String("macos"), Qt::CaseInsensitive) == 0) {
        return EOperatingSystem::MacOs;
    }
    if (Text.compare(QLatin1String("linux"), Qt::CaseInsensitive) == 0) {
        return EOperatingSystem::Linux;
    }
    return EOperatingSystem::Unknown;
}

EArchitecture architectureFrom(const QString& Text)
{
    if (Text.compare(QLatin1String("i386"), Qt::CaseInsensitive) == 0) {
        return EArchitecture::I386;
    }
    if (Text.compare(QLatin1String("x86_64"), Qt::CaseInsensitive) == 0) {
        return EArchitecture::X86_64;
    }
    return EArchitecture::Unknown;
}

} // namespace

TPackage::TPackage(std::int32_t Id, const QJsonObject& Object, const QUrl& BaseUrl)
    : m_Id(Id)
{
    m_Name = Object.value(QLatin1String("name")).toString();
    m_DirectoryName = Object.value(QLatin1String("directoryname")).toString();
    if (Object.contains(QLatin1String("logolinktarget"))) {
        m_LogoLinkTarget = QUrl(Object.value(QLatin1String("logolinktarget")).toString());
    }
    m_InstallAutomatically = Object.value(QLatin1String("installautomatically")).toBool(false);
    const QJsonValue Builds = Object.value(QLatin1String("builds"));
    if (Builds.isArray()) {
        for (const QJsonValue& Element : Builds.toArray()) {
            const QJsonObject BuildObject = Element.toObject();
            auto pBuild = std::make_unique<TPackageBuild>();
            pBuild->m_OperatingSystem = operatingSystemFrom(BuildObject.value(QLatin1String("os")).toString());
            pBuild->m_Architecture = architectureFrom(BuildObject.value(QLatin1String("architecture")).toString());
            pBuild->m_Url = TPackageConfigurationReader::resolveUrl(BuildObject.value(QLatin1String("url")).toString(), BaseUrl);
            if (BuildObject.contains(QLatin1String("assetsurl"))) {
                pBuild->m_AssetsUrl =
                    TPackageConfigurationReader::resolveUrl(BuildObject.value(QLatin1String("assetsurl")).toString(), BaseUrl);
            }
            m_Builds.push_back(std::move(pBuild));
        }
    }
}

EOperatingSystem TPackage::runningOperatingSystem()
{
    const QString Product = QSysInfo::productType();
    if (Product == QLatin1String("windows")) {
        return EOperatingSystem::Windows;
    }
    if (Product == QLatin1String("osx") || Product == QLatin1String("darwin")) {
        return EOperatingSystem::MacOs;
    }
    if (QSysInfo::kernelType() == QLatin1String("linux")) {
        return EOperatingSystem::Linux;
    }
    return EOperatingSystem::Unknown;
}

EArchitecture TPackage::runningArchitecture()
{
    const QString Architecture = QSysInfo::buildCpuArchitecture();
    if (Architecture == QLatin1String("i386")) {
        return EArchitecture::I386;
    }
    if (Architecture == QLatin1String("x86_64")) {
        return EArchitecture::X86_64;
    }
    return EArchitecture::Unknown;
}

TPackageBuild* TPackage::currentBuild() const
{
    const EOperatingSystem System = runningOperatingSystem();
    const EArchitecture Architecture = runningArchitecture();
    for (const auto& pBuild : m_Builds) {
        if (pBuild->m_OperatingSystem == System && pBuild->m_Architecture == Architecture) {
            return pBuild.get();
        }
    }
    return nullptr;
}

TPackageConfigurationReader* TPackage::currentConfiguration() const
{
    TPackageBuild* pBuild = currentBuild();
    return pBuild ? pBuild->m_pConfiguration.get() : nullptr;
}

void TPackage::setLocalPackageStatus(ELocalPackageStatus Status)
{
    if (Status == m_LocalPackageStatus) {
        return;
    }
    m_LocalPackageStatus = Status;
    emit localPackageStatusChanged();
}

} // namespace zarvo::launcher
