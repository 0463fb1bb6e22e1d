// A whole installation through the installation manager, as the launcher's button runs
// it: difference computation, download, verification, markers (driven by bench/install,
// which makes the package and starts nginx).
//
//   torvane-bench-install PACKAGE_URL PACKAGE_JSON SETTINGS_INI
//       PACKAGE_URL: where the served package.json lies (chunks beside it); PACKAGE_JSON:
//       the same document on disk. Installs below the per-user data directory: give
//       the process its own HOME and XDG_DATA_HOME.
// Prints the wall time of each phase and the peak resident memory in each.

#include "BenchSupport.h"

#include "TInstallationManager.h"
#include "TLauncherConfigurationReader.h"
#include "TLauncherFilesystemHelper.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>
#include <memory>

using namespace zarvo::launcher;

namespace {

struct TPhase {
    const char* m_Name;
    double m_End = 0; // seconds since the start
    double m_PeakRssMiB = 0; // sampled every 20 ms
    double m_LargestGapMs = 0; // of a 10 ms timer on the event-loop thread
    double m_LargestGapEnd = 0; // when it ended, seconds since the start
};

int install(const QUrl& PackageUrl, const QString& DocumentPath, const QString& SettingsPath)
{
    const QByteArray Document = benchsupport::readWholeFile(DocumentPath);
    const QJsonObject Build {{"os", "linux"}, {"architecture", "x86_64"}, {"url", PackageUrl.toString()}};
    const QJsonObject Package {{"name", "Bench Game"}, {"directoryname", "benchgame"}, {"builds", QJsonArray {Build}}};
    auto pConfiguration = std::make_shared<TLauncherConfigurationReader>(
        QJsonDocument(QJsonObject {{"packages", QJsonArray {Package}}}).toJson(), PackageUrl.adjusted(QUrl::RemoveFilename));
    if (pConfiguration->getPackages().empty() || !pConfiguration->getPackages().front()->currentBuild()) {
        std::fprintf(stderr, "no package build for this machine in the generated configuration\n");
        return 1;
    }
    const auto pPackage = pConfiguration->getPackages().front();
    // as the configuration handler does once the package document arrived
    TPackageBuild* pBuild = pPackage->currentBuild();
    pBuild->m_pConfiguration =
        std::make_unique<TPackageConfigurationReader>(Document, QByteArray(), pBuild->m_Url.adjusted(QUrl::RemoveFilename), QUrl());
    if (!pBuild->m_pConfiguration->m_Valid) {
        std::fprintf(stderr, "%s is not a valid package document\n", qPrintable(DocumentPath));
        return 1;
    }
    std::uint64_t Bytes = 0;
    std::uint64_t Packed = 0;
    for (const TChunkInPackage& Chunk : pBuild->m_pConfiguration->m_Chunks) {
        Packed += Chunk.m_PackedSize;
    }
    for (const TFileInPackage& File : pBuild->m_pConfiguration->m_Files) {
        Bytes += File.m_UnpackedSize;
    }

    auto pHelper = std::make_shared<TLauncherFilesystemHelper>(SettingsPath);
    const auto pSettings = pHelper->getSettings();
    TInstallationManager Manager(pConfiguration, pHelper);
    if (pPackage->localPackageStatus() != ELocalPackageStatus::NotInstalled) {
        std::fprintf(stderr, "the package is already (partly) installed in %s: start from an empty data directory\n",
                     qPrintable(Manager.installationDirectory(*pPackage).path()));
        return 1;
    }

    TPhase Phases[3] = {{"difference computation"}, {"download"}, {"verification"}};
    int Phase = 0;
    bool Finished = false;
    int Reason = -1;
    QElapsedTimer Timer;
    const auto Now = [&Timer] { return Timer.nsecsElapsed() / 1e9; };
    QTimer Sampler;
    Sampler.setInterval(20);
    QObject::connect(&Sampler, &QTimer::timeout,
                     [&] { Phases[Phase].m_PeakRssMiB = std::max(Phases[Phase].m_PeakRssMiB, benchsupport::currentRssMiB()); });
    QObject::connect(&Manager, &TInstallationManager::installationOrUpdateFinished, [&](const TPackageInstallation& Job) {
        Reason = static_cast<int>(Job.errorReason());
        Finished = true;
    });
    QObject::connect(&Manager, &TInstallationManager::diskAccessFailed,
                     [](const QString& Message) { std::fprintf(stderr, "disk access failed: %s\n", qPrintable(Message)); });

    benchsupport::TStallProbe Probe;
    const auto EndPhase = [&](int Next) {
        Phases[Phase].m_End = Now();
        Phases[Phase].m_LargestGapMs = Probe.largestGapMs();
        Phases[Phase].m_LargestGapEnd = Probe.largestGapEnd();
        Probe.restartPhase();
        Phase = Next;
    };
    const double RssBefore = benchsupport::currentRssMiB();
    Probe.start();
    Sampler.start();
    Timer.start();
    Manager.installOrUpdatePackage(pPackage);
    if (Manager.installationsInProgress().empty()) {
        std::fprintf(stderr, "the installation did not start\n");
        return 1;
    }
    const auto pJob = Manager.installationsInProgress().front();
    // the downloader's first report ends the difference computation (to within its tick)
    QObject::connect(pJob->downloader(), &TPackageFileDownloader::progress, [&] {
        if (Phase == 0) {
            EndPhase(1);
        }
    });
    QObject::connect(pJob.get(), &TPackageInstallation::downloadFinished, [&] {
        if (Phase == 0) {
            EndPhase(1);
        }
        EndPhase(2);
    });
    if (!benchsupport::runUntil([&] { return Finished; }, 3600)) {
        std::fprintf(stderr, "the installation did not end within an hour\n");
        return 1;
    }
    const double Total = Now();
    Phases[2].m_End = Total;
    Phases[2].m_LargestGapMs = Probe.largestGapMs();
    Phases[2].m_LargestGapEnd = Probe.largestGapEnd();
    Sampler.stop();
    const double Peak = benchsupport::peakRssMiB();
    const bool Installed = Reason == 0 && Manager.computeLocalPackageStatus(*pPackage) == ELocalPackageStatus::Installed;

    std::printf("package: %zu files, %.1f MB, %zu chunks, %.1f MB packed\n", pBuild->m_pConfiguration->m_Files.size(), Bytes / 1e6,
                pBuild->m_pConfiguration->m_Chunks.size(), Packed / 1e6);
    std::printf("settings: maxConcurrentDownloads %d, maxCachedChunks %d, skipVerification %s\n", pSettings->m_MaxConcurrentDownloads,
                pSettings->m_MaxCachedChunks, pSettings->m_SkipVerification ? "true" : "false");
    double Start = 0;
    double LargestGapMs = 0;
    for (const TPhase& Each : Phases) {
        std::printf("  %-24s %8.2f s   RSS up to %7.1f MiB   longest event-loop gap %6.1f ms (ended at %.2f s)\n", Each.m_Name,
                    Each.m_End - Start, Each.m_PeakRssMiB, Each.m_LargestGapMs, Each.m_LargestGapEnd);
        Start = Each.m_End;
        LargestGapMs = std::max(LargestGapMs, Each.m_LargestGapMs);
    }
    std::printf(
        "installOrUpdatePackage: %.2f s total, %.1f MB/s of installed bytes, peak RSS (VmHWM) %.1f MiB (%.1f MiB before it started)\n",
        Total, Bytes / Total / 1e6, Peak, RssBefore);
    std::printf("result: %s (reason %d)\n", Installed ? "installed, verified" : "NOT INSTALLED", Reason);
    std::printf("gui-stall-ms %.1f\npeak-rss-mib %.1f\n", LargestGapMs, Peak);
    return Installed ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(benchsupport::quietMessageHandler);
    QCoreApplication Application(argc, argv);
    const QStringList Arguments = Application.arguments();
    if (Arguments.size() == 4) {
        return install(QUrl(Arguments.at(1)), Arguments.at(2), Arguments.at(3));
    }
    std::fprintf(stderr, "usage: %s PACKAGE_URL PACKAGE_JSON SETTINGS_INI\n", argv[0]);
    return 2;
}
