// Verification and difference scan of an installed tree (driven by bench/verify, which
// makes the trees, their documents and the OpenSSL figure).
//
//   torvane-bench-verify verify TREE PACKAGE_JSON SETTINGS_INI [PASSES]
//       TPackageInstallation::VerifyPackage over TREE against the document, first
//       through startVerification, which runs it on the thread pool as the launcher
//       does, then called from the main thread. PASSES (default 3) each.
//   torvane-bench-verify scan TREE NEW_PACKAGE_JSON SETTINGS_INI direct|pool
//       The full (not fast) difference scan of TREE against a newer document:
//       direct: FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate from the main thread;
//       pool:   computeRequiredChanges on the thread pool, as installOrUpdatePackage
//               runs it (in a fresh process, so with no pool thread yet).
//       This changes TREE as an update would (moves reused chunks into place, removes
//       files to fetch whole): run it once per fresh tree.
// Figures are MB/s of bytes read from TREE.

#include "BenchSupport.h"

#include "TLauncherFilesystemHelper.h"
#include "TPackage.h"
#include "TPackageInstallation.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QJsonObject>
#include <QtConcurrent>

#include <cstdio>
#include <memory>

using namespace zarvo::launcher;

namespace {

std::uint64_t treeBytes(const QString& Root)
{
    std::uint64_t Total = 0;
    QDirIterator Iterator(Root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (Iterator.hasNext()) {
        Iterator.next();
        Total += static_cast<std::uint64_t>(Iterator.fileInfo().size());
    }
    return Total;
}

TPackageConfigurationReader readDocument(const QString& Path)
{
    return TPackageConfigurationReader(benchsupport::readWholeFile(Path), QByteArray(), QUrl(QStringLiteral("http://127.0.0.1:9/")),
                                       QUrl());
}

int verify(const QString& Tree, const QString& DocumentPath, const QString& SettingsPath, int Passes)
{
    const TPackageConfigurationReader Document = readDocument(DocumentPath);
    if (!Document.m_Valid) {
        std::fprintf(stderr, "%s is not a valid package document\n", qPrintable(DocumentPath));
        return 1;
    }
    auto pHelper = std::make_shared<TLauncherFilesystemHelper>(SettingsPath);
    TPackageInstallation Installation(std::make_shared<TPackage>(1, QJsonObject(), QUrl()), pHelper);
    std::uint64_t Bytes = 0;
    for (const TFileInPackage& File : Document.m_Files) {
        Bytes += File.m_UnpackedSize;
    }
    // The launcher's way first, while the thread pool has no threads yet, as after a
    // while without work (idle pool threads end after 30 s): startVerification runs
    // VerifyPackage on the thread pool, which then waits there for its own workers.
    Installation.setInstallationDirectory(QDir(Tree));
    bool Finished = false;
    bool AllPassed = true;
    QObject::connect(&Installation, &TPackageInstallation::verificationFinished, [&Finished] { Finished = true; });
    double BestPool = 1e30;
    QStringList PoolPasses;
    benchsupport::TStallProbe Probe;
    Probe.start();
    for (int Pass = 0; Pass < Passes; ++Pass) {
        Finished = false;
        QElapsedTimer Timer;
        Timer.start();
        Installation.startVerification(Document, true);
        if (!benchsupport::runUntil([&Finished] { return Finished; }, 600)) {
            std::fprintf(stderr, "startVerification did not finish\n");
            return 1;
        }
        const double Seconds = Timer.nsecsElapsed() / 1e9;
        PoolPasses << QString::number(Seconds, 'f', 3);
        BestPool = std::min(BestPool, Seconds);
        AllPassed = AllPassed && Installation.isWithoutError();
    }
    const double PoolLargestGapMs = Probe.largestGapMs();
    std::printf(
        "VerifyPackage through startVerification (thread pool): passes %s s (the first with no pool thread yet); best %.1f MB/s, %s\n",
        qPrintable(PoolPasses.join(QStringLiteral(", "))), Bytes / BestPool / 1e6, AllPassed ? "passed" : "FAILED");

    double Best = 1e30;
    for (int Pass = 0; Pass < Passes; ++Pass) {
        QElapsedTimer Timer;
        Timer.start();
        const bool Passed = Installation.VerifyPackage(QDir(Tree), pHelper, Document.m_Files);
        Best = std::min(Best, Timer.nsecsElapsed() / 1e9);
        AllPassed = AllPassed && Passed;
    }
    std::printf("VerifyPackage from the main thread: %zu files, %llu bytes, best of %d: %.3f s, %.1f MB/s, %s, peak RSS %.1f MiB\n",
                Document.m_Files.size(), static_cast<unsigned long long>(Bytes), Passes, Best, Bytes / Best / 1e6,
                AllPassed ? "passed" : "FAILED", benchsupport::peakRssMiB());
    std::printf("seconds %.3f\npool-seconds %.3f\npool-first-seconds %s\ngui-stall-ms %.1f\n", Best, BestPool,
                qPrintable(PoolPasses.value(0)), PoolLargestGapMs);
    return AllPassed ? 0 : 1;
}

int scan(const QString& Tree, const QString& DocumentPath, const QString& SettingsPath, bool OnPool)
{
    const TPackageConfigurationReader Document = readDocument(DocumentPath);
    if (!Document.m_Valid) {
        std::fprintf(stderr, "%s is not a valid package document\n", qPrintable(DocumentPath));
        return 1;
    }
    auto pHelper = std::make_shared<TLauncherFilesystemHelper>(SettingsPath);
    TPackageInstallation Installation(std::make_shared<TPackage>(1, QJsonObject(), QUrl()), pHelper);
    const std::uint64_t Bytes = treeBytes(Tree);
    benchsupport::TStallProbe Probe;
    Probe.start();
    QElapsedTimer Timer;
    Timer.start();
    QList<TFileToDownload> Result;
    if (OnPool) {
        // as installOrUpdatePackage: computeRequiredChanges on the pool, the end reported
        // to the main thread's event loop by a watcher
        QFutureWatcher<TPackageDifference> Watcher;
        bool Finished = false;
        QObject::connect(&Watcher, &QFutureWatcher<TPackageDifference>::finished, [&Finished] { Finished = true; });
        const QDir Directory(Tree);
        Watcher.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [&] {
            return Installation.computeRequiredChanges(Directory, pHelper, Document, TPackageConfigurationReader(), false);
        }));
        if (!benchsupport::runUntil([&Finished] { return Finished; }, 600)) {
            std::fprintf(stderr, "computeRequiredChanges did not finish\n");
            return 1;
        }
        const TPackageDifference Difference = Watcher.result();
        Result = QList<TFileToDownload>(Difference.m_FilesToDownload.begin(), Difference.m_FilesToDownload.end());
    } else {
        Result = Installation.FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
            Document.m_Files, Document.m_Chunks, TFileInPackageVector(), TChunkInPackageVector(), false, QDir(Tree), pHelper);
    }
    const double Seconds = Timer.nsecsElapsed() / 1e9;

    int FilesWithWork = 0;
    std::size_t ChunksToFetch = 0;
    std::uint64_t BytesToFetch = 0;
    for (const TFileToDownload& File : Result) {
        if (!File.m_ChunksToDownload.empty()) {
            ++FilesWithWork;
        }
        ChunksToFetch += File.m_ChunksToDownload.size();
        for (std::int32_t Position : File.m_ChunksToDownload) {
            BytesToFetch += File.m_Chunks.at(static_cast<std::size_t>(Position)).m_UnpackedSize;
        }
    }
    std::printf("difference scan (full, %s): %llu bytes on disk, %.3f s, %.1f MB/s, peak RSS %.1f MiB\n",
                OnPool ? "computeRequiredChanges on the thread pool" : "from the main thread", static_cast<unsigned long long>(Bytes),
                Seconds, Bytes / Seconds / 1e6, benchsupport::peakRssMiB());
    std::printf("  found: %d of %d files need chunks, %zu chunks, %.1f MB to fetch\n", FilesWithWork, Result.size(), ChunksToFetch,
                BytesToFetch / 1e6);
    std::printf("seconds %.3f\nbytes %llu\n", Seconds, static_cast<unsigned long long>(Bytes));
    if (OnPool) {
        std::printf("gui-stall-ms %.1f\n", Probe.largestGapMs());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(benchsupport::quietMessageHandler);
    QCoreApplication Application(argc, argv);
    const QStringList Arguments = Application.arguments();
    if ((Arguments.size() == 5 || Arguments.size() == 6) && Arguments.at(1) == QLatin1String("verify")) {
        return verify(Arguments.at(2), Arguments.at(3), Arguments.at(4), Arguments.size() == 6 ? std::max(1, Arguments.at(5).toInt()) : 3);
    }
    if (Arguments.size() == 6 && Arguments.at(1) == QLatin1String("scan") &&
        (Arguments.at(5) == QLatin1String("direct") || Arguments.at(5) == QLatin1String("pool"))) {
        return scan(Arguments.at(2), Arguments.at(3), Arguments.at(4), Arguments.at(5) == QLatin1String("pool"));
    }
    std::fprintf(stderr,
                 "usage: %s verify TREE PACKAGE_JSON SETTINGS_INI [PASSES]\n"
                 "       %s scan TREE NEW_PACKAGE_JSON SETTINGS_INI direct|pool\n",
                 argv[0], argv[0]);
    return 2;
}
