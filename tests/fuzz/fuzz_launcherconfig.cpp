// Drives the launcher configuration reader with arbitrary documents, then walks what it
// built the way the flow does: packages, their builds for this machine, URLs.

#include "FuzzSupport.h"

#include "TLauncherConfigurationReader.h"

#include <QByteArray>
#include <QUrl>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    using fuzzsupport::check;
    using namespace zarvo::launcher;
    fuzzsupport::silenceQtMessages();

    const QByteArray Document(reinterpret_cast<const char*>(Data), static_cast<int>(Size));
    try {
        const TLauncherConfigurationReader Reader(Document, QUrl(QStringLiteral("https://cdn.example.test/torvane/launcher/")));
        check(Reader.getRawDocument() == Document, "the raw document is kept byte for byte");
        if (const auto& pLauncher = Reader.getLauncherPackage()) {
            check(pLauncher->m_Id == TPackage::kLauncherPackageId, "the launcher package has the launcher id");
            (void)pLauncher->currentBuild();
        }
        std::int32_t Expected = 0;
        for (const auto& pPackage : Reader.getPackages()) {
            check(pPackage != nullptr, "no null packages");
            check(pPackage->m_Id == Expected++, "package ids are positions");
            for (const auto& pBuild : pPackage->m_Builds) {
                check(pBuild != nullptr, "no null builds");
                (void)pBuild->m_Url.toString();
                (void)pBuild->m_AssetsUrl.toString();
            }
            TPackageBuild* pBuild = pPackage->currentBuild();
            check(!pBuild ||
                      (pBuild->m_OperatingSystem == TPackage::runningOperatingSystem() &&
                       pBuild->m_Architecture == TPackage::runningArchitecture()),
                  "the current build matches this machine");
            check(pPackage->currentConfiguration() == nullptr, "no configuration before one was loaded");
        }
        check(Reader.getPackagesForThisMachine().empty(), "nothing offered before configurations are loaded");
        (void)Reader.getHintsUrl().toString();
        (void)Reader.getFunnelUrl().toString();
        (void)Reader.getHardwareSurveyUrl().isValid();
    } catch (const TLauncherConfigurationException&) {
        // not valid JSON, or refused: the handler falls back to its cached copy
    }
    return 0;
}
