#pragma once

#include "TPackage.h"

#include <QByteArray>
#include <QUrl>

#include <memory>
#include <stdexcept>
#include <vector>

namespace zarvo::launcher {

// The launcher configuration was refused: not valid JSON (the text is the parser's), or
// not an object, a value of the wrong type, a package entry that is not an object or a
// client package whose directory is not one plain name (the text names it).
class TLauncherConfigurationException final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The remote launcher configuration: the launcher's own package, the client packages,
// the survey, hints and funnel addresses and two switches.
class TLauncherConfigurationReader {
public:
    // BaseUrl: where the document came from, without its file name. Throws
    // TLauncherConfigurationException when the document is refused.
    TLauncherConfigurationReader(const QByteArray& Document, const QUrl& BaseUrl);

    const QUrl& getBaseUrl() const { return m_BaseUrl; }
    const QByteArray& getRawDocument() const { return m_RawDocument; }
    const std::shared_ptr<TPackage>& getLauncherPackage() const { return m_pLauncherPackage; }
    const std::vector<std::shared_ptr<TPackage>>& getPackages() const { return m_Packages; }
    // The client packages with a build for this machine whose configuration was loaded.
    std::vector<std::shared_ptr<TPackage>> getPackagesForThisMachine() const;
    const QUrl& getHardwareSurveyUrl() const { return m_HardwareSurveyUrl; }
    const QUrl& getHintsUrl() const { return m_HintsUrl; }
    const QUrl& getFunnelUrl() const { return m_FunnelUrl; }
    bool getPreventDefaultAutostart() const { return m_PreventDefaultAutostart; }
    bool getShowPackageNames() const { return m_ShowPackageNames; }

private:
    QUrl m_BaseUrl;
    QByteArray m_RawDocument;
    std::shared_ptr<TPackage> m_pLauncherPackage;
    std::vector<std::shared_ptr<TPackage>> m_Packages;
    QUrl m_HardwareSurveyUrl;
    QUrl m_HintsUrl;
    QUrl m_FunnelUrl;
    bool m_PreventDefaultAutostart = false;
    bool m_ShowPackageNames = false;
};

} // namespace zarvo::launcher
