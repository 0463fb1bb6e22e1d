#include "TLauncherConfigurationReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace zarvo::launcher {

TLauncherConfigurationReader::TLauncherConfigurationReader(const QByteArray& Document, const QUrl& BaseUrl)
    : m_BaseUrl(BaseUrl)
    , m_RawDocument(Document)
{
    QJsonParseError Error;
    const QJsonDocument Json = QJsonDocument::fromJson(Document, &Error);
    if (Error.error != QJsonParseError::NoError) {
        throw TLauncherConfigurationException(Error.errorString().toStdString());
    }
    const QJsonObject Root = Json.object();
    const QJsonValue Launcher = Root.value(QLatin1String("launcher"));
    if (Launcher.isObject()) {
        m_pLauncherPackage = std::make_shared<TPackage>(TPackage::kLauncherPackageId, Launcher.toObject(), m_BaseUrl);
    }
    const QJsonValue Packages = Root.value(QLatin1String("packages"));
    if (Packages.isArray()) {
        const QJsonArray Array = Packages.toArray();
        for (int Index = 0; Index < Array.size(); ++Index) {
            m_Packages.push_back(std::make_shared<TPackage>(Index, Array.at(Index).toObject(), m_BaseUrl));
        }
    }
    m_HardwareSurveyUrl = QUrl(Root.value(QLatin1String("hardwaresurvey")).toString());
    m_HintsUrl = QUrl(Root.value(QLatin1String("hints")).toString());
    m_FunnelUrl = QUrl(Root.value(QLatin1String("funnel")).toString());
    m_PreventDefaultAutostart = Root.value(QLatin1String("preventdefaultautostart")).toBool(false);
    m_ShowPackageNames = Root.value(QLatin1String("showpackagenames")).toBool(false);
}

std::vector<std::shared_ptr<TPackage>> TLauncherConfigurationReader::getPackagesForThisMachine() const
{
    std::vector<std::shared_ptr<TPackage>> Result;
    for (const auto& pPackage : m_Packages) {
        if (pPackage->currentConfiguration()) {
            Result.push_back(pPackage);
        }
    }
    return Result;
}

} // namespace zarvo::launcher
