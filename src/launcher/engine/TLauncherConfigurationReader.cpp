#include "TLauncherConfigurationReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace zarvo::launcher {

namespace {

[[noreturn]] void refuseConfiguration(const QString& Reason)
{
    throw TLauncherConfigurationException(Reason.toUtf8().toStdString());
}

void requireType(const QJsonObject& Object, const char* Key, QJsonValue::Type Type, const QString& Where)
{
    const QJsonValue Value = Object.value(QLatin1String(Key));
    if (!Value.isUndefined() && Value.type() != Type) {
        refuseConfiguration(QStringLiteral("\"%1\" of %2 has the wrong type").arg(QLatin1String(Key), Where));
    }
}

// A package entry is used only when every value it has is of the type it must have.
// A client package's directory must be one plain name: it is joined below the packages
// directory, and an empty name would make the packages directory itself the installation.
void checkPackageEntry(const QJsonValue& Entry, bool IsLauncher, int Index)
{
    const QString Where = IsLauncher ? QStringLiteral("the launcher package") : QStringLiteral("package %1").arg(Index);
    if (!Entry.isObject()) {
        refuseConfiguration(QStringLiteral("%1 is not an object").arg(Where));
    }
    const QJsonObject Object = Entry.toObject();
    for (const char* Key : {"name", "directoryname", "logolinktarget"}) {
        requireType(Object, Key, QJsonValue::String, Where);
    }
    requireType(Object, "installautomatically", QJsonValue::Bool, Where);
    requireType(Object, "builds", QJsonValue::Array, Where);
    for (const QJsonValue& Build : Object.value(QLatin1String("builds")).toArray()) {
        if (!Build.isObject()) {
            refuseConfiguration(QStringLiteral("a build of %1 is not an object").arg(Where));
        }
        for (const char* Key : {"os", "architecture", "url", "assetsurl"}) {
            requireType(Build.toObject(), Key, QJsonValue::String, QStringLiteral("a build of %1").arg(Where));
        }
    }
    if (!IsLauncher) {
        const QString Directory = Object.value(QLatin1String("directoryname")).toString();
        bool Plain = !Directory.isEmpty() && Directory != QLatin1String(".") && Directory != QLatin1String("..");
        for (const QChar Character : Directory) {
            Plain = Plain && Character != QLatin1Char('/') && Character != QLatin1Char('\\') && Character.unicode() >= 0x20 &&
                Character.unicode() != 0x7f;
        }
        if (!Plain) {
            refuseConfiguration(QStringLiteral("\"directoryname\" of %1 is not a plain directory name").arg(Where));
        }
    }
}

} // namespace

TLauncherConfigurationReader::TLauncherConfigurationReader(const QByteArray& Document, const QUrl& BaseUrl)
    : m_BaseUrl(BaseUrl)
    , m_RawDocument(Document)
{
    QJsonParseError Error;
    const QJsonDocument Json = QJsonDocument::fromJson(Document, &Error);
    if (Error.error != QJsonParseError::NoError) {
        throw TLauncherConfigurationException(Error.errorString().toStdString());
    }
    if (!Json.isObject()) {
        refuseConfiguration(QStringLiteral("the launcher configuration is not a JSON object"));
    }
    const QJsonObject Root = Json.object();
    const QString Where = QStringLiteral("the launcher configuration");
    requireType(Root, "launcher", QJsonValue::Object, Where);
    requireType(Root, "packages", QJsonValue::Array, Where);
    for (const char* Key : {"hardwaresurvey", "hints", "funnel"}) {
        requireType(Root, Key, QJsonValue::String, Where);
    }
    for (const char* Key : {"preventdefaultautostart", "showpackagenames"}) {
        requireType(Root, Key, QJsonValue::Bool, Where);
    }
    if (Root.contains(QLatin1String("launcher"))) {
        checkPackageEntry(Root.value(QLatin1String("launcher")), true, 0);
    }
    const QJsonArray Entries = Root.value(QLatin1String("packages")).toArray();
    for (int Index = 0; Index < Entries.size(); ++Index) {
        checkPackageEntry(Entries.at(Index), false, Index);
    }

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
