// The package file downloader on a real package over loopback HTTP (driven by
// bench/downloader, which makes the package and starts nginx).
//
//   torvane-bench-downloader memory PACKAGE_DIR INSTALL_DIR SETTINGS_INI reverse|held STEP_MS
//       Serves PACKAGE_DIR from the loopback test server in this process with delays
//       before the headers that make later chunks (in file order) arrive first, so that
//       the early ones park:
//         reverse: chunk i of N waits (N - 1 - i) x STEP_MS;
//         held:    chunk i < 6 waits (6 - i) x STEP_MS, the others do not wait. Qt opens
//                  six connections to a host, so the first six chunks hold them all, and
//                  when they let go one by one every later chunk streams through before
//                  chunk 0 (with STEP_MS long enough): all of them park, past
//                  maxCachedChunks in temporary files.
//       Prints the peak resident memory beside (concurrent + cached + 2) x largest
//       chunk + 100 MB.
//   torvane-bench-downloader throughput BASE_URL PACKAGE_DIR INSTALL_DIR SETTINGS_INI
//       Downloads the package from BASE_URL (an nginx serving PACKAGE_DIR) and prints the
//       wall time.
// Both check every written file against its SHA-256 afterwards (outside the figures).
// Temporary park files go to QDir::tempPath() (TMPDIR).

#include "BenchSupport.h"

#include "LoopbackHttpServer.h"
#include "Sha256.h"
#include "TDownloadPool.h"
#include "TLauncherFilesystemHelper.h"
#include "TPackageFileDownloader.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QTimer>

#include <cstdio>
#include <memory>

#include <sys/resource.h>

using namespace zarvo::launcher;

namespace {

struct TRunResult {
    bool m_Ok = false;
    double m_Seconds = 0;
    double m_CpuSeconds = 0; // user + system of the whole process during the run
    double m_PeakRssMiB = 0;
    double m_RssBeforeMiB = 0;
    int m_MostParkedInMemory = 0;
    int m_MostTemporaryFiles = 0;
    QStringList m_CompletionOrder;
};

double cpuSeconds()
{
    rusage Usage {};
    getrusage(RUSAGE_SELF, &Usage);
    return Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec + (Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

int temporaryParkFiles(const QString& Directory)
{
    return QDir(Directory).entryList(QDir::Files | QDir::Hidden).size();
}

TRunResult download(const TPackageConfigurationReader& Document, const QString& InstallDirectory, const QString& SettingsPath)
{
    TRunResult Result;
    auto pHelper = std::make_shared<TLauncherFilesystemHelper>(SettingsPath);
    auto pManager = std::make_shared<QNetworkAccessManager>();
    auto pPool = std::make_shared<shared::TDownloadPool>(pHelper->getSettings()->m_MaxConcurrentDownloads,
                                                         std::make_shared<shared::QNetworkAccessManagerWrapper>(pManager), false);
    TPackageFileDownloader Downloader(pPool, pHelper, InstallDirectory);
    bool Completed = false;
    bool Failed = false;
    QObject::connect(&Downloader, &TPackageFileDownloader::downloadCompleted, [&] { Completed = true; });
    QObject::connect(&Downloader, &TPackageFileDownloader::downloadFailed, [&](EPackageDownloaderError Reason) {
        std::fprintf(stderr, "download failed: reason %d\n", static_cast<int>(Reason));
        Failed = true;
    });
    QObject::connect(pPool.get(), &shared::TDownloadPool::success,
                     [&](const QUrl& Url, const QByteArray&) { Result.m_CompletionOrder << Url.path(); });
    const QString TemporaryDirectory = QDir::tempPath();
    QTimer Sampler;
    Sampler.setInterval(20);
    QObject::connect(&Sampler, &QTimer::timeout, [&] {
        Result.m_MostParkedInMemory = std::max(Result.m_MostParkedInMemory, Downloader.parkedInMemory());
        Result.m_MostTemporaryFiles = std::max(Result.m_MostTemporaryFiles, temporaryParkFiles(TemporaryDirectory));
    });
    const std::vector<TFileToDownload> Files = benchsupport::everythingToDownload(Document);
    Result.m_RssBeforeMiB = benchsupport::currentRssMiB();
    Sampler.start();
    const double CpuBefore = cpuSeconds();
    QElapsedTimer Timer;
    Timer.start();
    Downloader.startDownload(Files, QDir(InstallDirectory), ESelfUpdateMode::Off);
    if (!benchsupport::runUntil([&] { return Completed || Failed; }, 1800)) {
        std::fprintf(stderr, "download did not end within 30 minutes\n");
    }
    Result.m_Seconds = Timer.nsecsElapsed() / 1e9;
    Result.m_CpuSeconds = cpuSeconds() - CpuBefore;
    Sampler.stop();
    Result.m_PeakRssMiB = benchsupport::peakRssMiB();
    Result.m_Ok = Completed && !Failed;
    return Result;
}

// Every file of the document read back and hashed; prints the first mismatch.
bool filesMatch(const TPackageConfigurationReader& Document, const QString& InstallDirectory)
{
    QByteArray Buffer(4 * 1024 * 1024, Qt::Uninitialized);
    for (const TFileInPackage& Entry : Document.m_Files) {
        QFile File(InstallDirectory + QLatin1Char('/') + Entry.m_LocalFile);
        if (!File.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "missing: %s\n", qPrintable(Entry.m_LocalFile));
            return false;
        }
        shared::TSha256 Hash;
        qint64 Read = 0;
        while ((Read = File.read(Buffer.data(), Buffer.size())) > 0) {
            Hash.addData(Buffer.constData(), static_cast<std::size_t>(Read));
        }
        if (Hash.result() != Entry.m_UnpackedHash) {
            std::fprintf(stderr, "content differs: %s\n", qPrintable(Entry.m_LocalFile));
            return false;
        }
    }
    return true;
}

struct TPackageFigures {
    std::uint64_t m_Packed = 0;
    std::uint64_t m_Unpacked = 0;
    std::uint64_t m_LargestChunk = 0; // packed or unpacked, whichever is larger
};

TPackageFigures figures(const TPackageConfigurationReader& Document)
{
    TPackageFigures Figures;
    for (const TChunkInPackage& Chunk : Document.m_Chunks) {
        Figures.m_Packed += Chunk.m_PackedSize;
        Figures.m_Unpacked += Chunk.m_UnpackedSize;
        Figures.m_LargestChunk = std::max({Figures.m_LargestChunk, Chunk.m_PackedSize, Chunk.m_UnpackedSize});
    }
    return Figures;
}

int memoryBound(const QString& PackageDirectory, const QString& InstallDirectory, const QString& SettingsPath, bool Held, int StepMs)
{
    testsupport::TLoopbackHttpServer Server;
    if (!Server.isListening()) {
        std::fprintf(stderr, "loopback server: %s\n", qPrintable(Server.errorString()));
        return 1;
    }
    Server.serveDirectory(PackageDirectory);
    const TPackageConfigurationReader Document(benchsupport::readWholeFile(PackageDirectory + QStringLiteral("/package.json")),
                                               QByteArray(), Server.url(QStringLiteral("/")), QUrl());
    if (!Document.m_Valid) {
        std::fprintf(stderr, "%s/package.json is not a valid package document\n", qPrintable(PackageDirectory));
        return 1;
    }
    // later chunks (in file order) answer sooner
    std::vector<QString> Order;
    for (const TFileInPackage& File : Document.m_Files) {
        for (std::int32_t Position : File.m_Chunks) {
            const QString Path = Document.m_Chunks.at(static_cast<std::size_t>(Position)).m_Url.path();
            if (std::find(Order.begin(), Order.end(), Path) == Order.end()) {
                Order.push_back(Path);
            }
        }
    }
    constexpr int kConnectionsPerHost = 6; // QNetworkAccessManager's limit for HTTP/1.1
    for (std::size_t Index = 0; Index < Order.size(); ++Index) {
        const int Position = static_cast<int>(Index);
        testsupport::TBehaviour Behaviour;
        if (Held) {
            Behaviour.m_DelayBeforeHeadersMs = std::max(0, kConnectionsPerHost - Position) * StepMs;
        } else {
            Behaviour.m_DelayBeforeHeadersMs = (static_cast<int>(Order.size()) - 1 - Position) * StepMs;
        }
        Server.setBehaviour(Order[Index], Behaviour);
    }

    const auto pSettings = TLauncherFilesystemHelper(SettingsPath).getSettings();
    const TPackageFigures Figures = figures(Document);
    const TRunResult Run = download(Document, InstallDirectory, SettingsPath);
    const double LargestMiB = Figures.m_LargestChunk / 1048576.0;
    const double BoundMiB = (pSettings->m_MaxConcurrentDownloads + pSettings->m_MaxCachedChunks + 2) * LargestMiB + 100e6 / 1048576.0;

    // how far from file order the chunks arrived
    int ArrivedBeforeAnEarlierOne = 0;
    for (int Index = 0; Index < Run.m_CompletionOrder.size(); ++Index) {
        const auto Position = std::find(Order.begin(), Order.end(), Run.m_CompletionOrder[Index]) - Order.begin();
        for (int Later = Index + 1; Later < Run.m_CompletionOrder.size(); ++Later) {
            if (std::find(Order.begin(), Order.end(), Run.m_CompletionOrder[Later]) - Order.begin() < Position) {
                ++ArrivedBeforeAnEarlierOne;
                break;
            }
        }
    }
    const benchsupport::TLogCounters& Log = benchsupport::logCounters();
    std::printf("package: %zu chunks, %.1f MB packed, %.1f MB unpacked, largest chunk %.2f MiB\n", Document.m_Chunks.size(),
                Figures.m_Packed / 1e6, Figures.m_Unpacked / 1e6, LargestMiB);
    std::printf("settings: maxConcurrentDownloads %d, maxCachedChunks %d; delays: %s, %d ms per position\n",
                pSettings->m_MaxConcurrentDownloads, pSettings->m_MaxCachedChunks,
                Held ? "first six chunks held back" : "reverse file order", StepMs);
    std::printf("arrival: %d of %d chunks arrived before an earlier chunk of the file\n", ArrivedBeforeAnEarlierOne,
                static_cast<int>(Run.m_CompletionOrder.size()));
    std::printf("parking: %d slots written from memory, %d from temporary files (%d parked in files); most in memory at once %d, "
                "most park files at once %d\n",
                Log.m_WrittenFromCache.loadRelaxed(), Log.m_WrittenFromTemporary.loadRelaxed(), Log.m_ParkedInTemporaryFile.loadRelaxed(),
                Run.m_MostParkedInMemory, Run.m_MostTemporaryFiles);
    std::printf("time: %.2f s (CPU %.2f s)\n", Run.m_Seconds, Run.m_CpuSeconds);
    std::printf("%-44s %10.1f MiB\n", "peak RSS (VmHWM)", Run.m_PeakRssMiB);
    std::printf("%-44s %10.1f MiB\n", "  of which before the download started", Run.m_RssBeforeMiB);
    std::printf("%-44s %10.1f MiB\n", "bound (10 + 5 + 2) x largest chunk + 100 MB", BoundMiB);
    const bool Correct = Run.m_Ok && filesMatch(Document, InstallDirectory);
    std::printf("result: %s; %s\n", Correct ? "files correct" : "FILES WRONG OR DOWNLOAD FAILED",
                Run.m_PeakRssMiB <= BoundMiB ? "within the bound" : "OVER THE BOUND");
    return Correct ? 0 : 1;
}

int throughput(const QUrl& BaseUrl, const QString& PackageDirectory, const QString& InstallDirectory, const QString& SettingsPath)
{
    const TPackageConfigurationReader Document(benchsupport::readWholeFile(PackageDirectory + QStringLiteral("/package.json")),
                                               QByteArray(), BaseUrl, QUrl());
    if (!Document.m_Valid) {
        std::fprintf(stderr, "%s/package.json is not a valid package document\n", qPrintable(PackageDirectory));
        return 1;
    }
    const auto pSettings = TLauncherFilesystemHelper(SettingsPath).getSettings();
    const TPackageFigures Figures = figures(Document);
    const TRunResult Run = download(Document, InstallDirectory, SettingsPath);
    const benchsupport::TLogCounters& Log = benchsupport::logCounters();
    std::printf(
        "downloader: %.3f s (CPU %.2f s), %.1f MB/s unpacked (%.1f MB packed), peak RSS %.1f MiB, parked %d in memory / %d in files, "
        "maxConcurrentDownloads %d\n",
        Run.m_Seconds, Run.m_CpuSeconds, Figures.m_Unpacked / Run.m_Seconds / 1e6, Figures.m_Packed / 1e6, Run.m_PeakRssMiB,
        Log.m_WrittenFromCache.loadRelaxed(), Log.m_WrittenFromTemporary.loadRelaxed(), pSettings->m_MaxConcurrentDownloads);
    const bool Correct = Run.m_Ok && filesMatch(Document, InstallDirectory);
    std::printf("seconds %.3f\ncpu %.3f\nresult: %s\n", Run.m_Seconds, Run.m_CpuSeconds,
                Correct ? "files correct" : "FILES WRONG OR DOWNLOAD FAILED");
    return Correct ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(benchsupport::quietMessageHandler);
    QCoreApplication Application(argc, argv);
    const QStringList Arguments = Application.arguments();
    if (Arguments.size() == 7 && Arguments.at(1) == QLatin1String("memory") &&
        (Arguments.at(5) == QLatin1String("reverse") || Arguments.at(5) == QLatin1String("held"))) {
        return memoryBound(Arguments.at(2), Arguments.at(3), Arguments.at(4), Arguments.at(5) == QLatin1String("held"),
                           Arguments.at(6).toInt());
    }
    if (Arguments.size() == 6 && Arguments.at(1) == QLatin1String("throughput")) {
        return throughput(QUrl(Arguments.at(2)), Arguments.at(3), Arguments.at(4), Arguments.at(5));
    }
    std::fprintf(stderr,
                 "usage: %s memory PACKAGE_DIR INSTALL_DIR SETTINGS_INI reverse|held STEP_MS\n"
                 "       %s throughput BASE_URL PACKAGE_DIR INSTALL_DIR SETTINGS_INI\n",
                 argv[0], argv[0]);
    return 2;
}
