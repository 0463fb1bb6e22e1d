#pragma once

#include "PackTool.h"

#include "TLauncherConfigurationReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <memory>

// A launcher configuration naming one Linux build per entry of Packages, with each build's
// package document already read from the tree served at ServedDirectory (as the
// configuration handler has it once the documents arrived). Build URLs are relative to
// BaseUrl, which serves ServedDirectory.
inline std::shared_ptr<zarvo::launcher::TLauncherConfigurationReader>
configurationOfServedPackages(const QJsonArray& Packages, const QUrl& BaseUrl, const QString& ServedDirectory)
{
    using namespace zarvo::launcher;
    auto pConfiguration =
        std::make_shared<TLauncherConfigurationReader>(QJsonDocument(QJsonObject {{"packages", Packages}}).toJson(), BaseUrl);
    for (const auto& pPackage : pConfiguration->getPackages()) {
        TPackageBuild* pBuild = pPackage->currentBuild();
        const QByteArray Document = testsupport::readTreeFile(ServedDirectory + QLatin1Char('/') + pBuild->m_Url.path());
        pBuild->m_pConfiguration =
            std::make_unique<TPackageConfigurationReader>(Document, QByteArray(), pBuild->m_Url.adjusted(QUrl::RemoveFilename), QUrl());
    }
    return pConfiguration;
}

// The package entry of a launcher configuration for the document at Url (relative or absolute).
inline QJsonObject servedPackage(const QString& Name, const QString& Directory, const QString& Url)
{
    return QJsonObject {{"name", Name},
                        {"directoryname", Directory},
                        {"builds", QJsonArray {QJsonObject {{"os", "linux"}, {"architecture", "x86_64"}, {"url", Url}}}}};
}
