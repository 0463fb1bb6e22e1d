#include "TPackageInstallation.h"

#include "BackgroundThread.h"
#include "ContentDefinedChunker.h"
#include "RegularFile.h"
#include "Sha256.h"
#include "TBandwidthLimiter.h"
#include "TDownloadPool.h"
#include "TInPlaceRearrangement.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QHash>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QSet>
#include <QThread>
#include <QtConcurrent>

#include <algorithm>

namespace zarvo::launcher {

namespace {

constexpr int kWorkerCount = 6;
constexpr qint64 kVerificationBlockSize = 0x200000; // 2 MiB: one read the kernel copies without a break
constexpr qint64 kCopyBlockSize = 0x400000; // 4 MiB
// Packed chunk bytes fetched or processed at once: four of the largest chunks. More would
// only hold memory (and fault it in) while the line is shared by more transfers.
constexpr qint64 kChunkBytesInFlight = qint64(64) << 20;

// Shared state of one difference computation.
struct TScanContext {
    QMutex m_Mutex;
    QList<TFileInPackage> m_WorkList;
    TFileSize m_BytesScanned = 0;
    TFileSize m_BytesReported = 0;
    TFileSize m_BytesTotal = 0;
    // a fresh installation: no file of the package can be there to examine
    bool m_NothingInstalled = false;
    TFileInPackageVector m_InstalledFiles; // fast scan only
    TChunkInPackageVector m_InstalledChunks;
    QHash<QString, const TFileInPackage*> m_InstalledByName; // into m_InstalledFiles
};

// Where one chunk of the new file lies in the local copy.
enum class EChunkScanState : std::int32_t { NotFound = 0, AtOwnPosition = 1, AtOtherPosition = 2 };

struct TChunkScanState {
    EChunkScanState m_State = EChunkScanState::NotFound;
    std::uint64_t m_SourceOffset = 0;
    std::uint64_t m_TargetOffset = 0;
    std::uint64_t m_Size = 0;
    // found only on the installed document's word, or moved: read back before it counts
    bool m_NeedsCheck = false;
};

// A piece of the local copy: its digest and length, in file order.
struct TPiece {
    QByteArray m_Digest;
    std::uint64_t m_Length = 0;
};

// One bucket for the chunk downloads of every job, so that the limit holds for all
// installations together.
const std::shared_ptr<::shared::TBandwidthLimiter>& chunkDownloadLimiter()
{
    static const auto pLimiter = std::make_shared<::shared::TBandwidthLimiter>();
    return pLimiter;
}

// One worker of the difference computation: examines one file of the new configuration
// after the other and decides what of it has to be fetched.
class TFileScanner {
public:
    TFileScanner(TPackageInstallation& Job, TScanContext& Context, const TChunkInPackageVector& NewChunks,
                 const QDir& InstallationDirectory, const std::shared_ptr<TLauncherFilesystemHelper>& pFilesystemHelper,
                 const ::shared::TChunkingParameters& Chunking)
        : m_Job(Job)
        , m_Context(Context)
        , m_NewChunks(NewChunks)
        , m_InstallationDirectory(InstallationDirectory)
        , m_pFilesystemHelper(pFilesystemHelper)
        , m_Chunking(Chunking)
    {
    }

    // Takes files off the shared work list until it is empty.
    QList<TFileToDownload> run()
    {
        QList<TFileToDownload> Result;
        for (;;) {
            TFileInPackage File;
            {
                QMutexLocker Lock(&m_Context.m_Mutex);
                if (m_Context.m_WorkList.isEmpty()) {
                    return Result;
                }
                File = m_Context.m_WorkList.takeFirst();
            }
            Result.append(scanFile(File));
        }
    }

private:
    TFileToDownload scanFile(const TFileInPackage& File)
    {
        const QString Path = m_pFilesystemHelper->resolvePathInsideDirectory(m_InstallationDirectory, File.m_LocalFile);
        TFileToDownload Entry = prepareEntry(File);
        bool Handled = false;
        if (m_Context.m_NothingInstalled) {
            // nothing to look at
        } else if (File.m_Chunks.size() >= 2) {
            bool Trusted = false;
            const std::vector<TPiece> Pieces = collectLocalPieces(File, Path, Trusted);
            std::vector<TChunkScanState> States = initialStates(Entry);
            bool Reusable = matchPiecesToChunks(Pieces, Trusted, Entry, States, Path);
            if (Reusable && m_Job.selfUpdateMode() == ESelfUpdateMode::RenameReplacedFiles) {
                // the launcher's own files are never rewritten in place: one of them is
                // the running executable, and the old copy must survive a failure
                Reusable = false;
            }
            Handled = Reusable && moveReusedChunks(File, Path, States, Entry);
        } else {
            Handled = checkWholeFile(File, Path);
        }
        if (!Handled) {
            markForFullDownload(File, Entry);
        }
        return Entry;
    }

    // The entry with the file's fields and its chunk records in file order.
    TFileToDownload prepareEntry(const TFileInPackage& File) const
    {
        TFileToDownload Entry;
        Entry.m_LocalFile = File.m_LocalFile;
        Entry.m_UnpackedSize = File.m_UnpackedSize;
        Entry.m_UnpackedHash = File.m_UnpackedHash;
        Entry.m_Executable = File.m_Executable;
        Entry.m_Patches = File.m_Patches;
        for (std::int32_t Position : File.m_Chunks) {
            Entry.m_Chunks.push_back(m_NewChunks.at(static_cast<std::size_t>(Position)));
        }
        return Entry;
    }

    static std::vector<TChunkScanState> initialStates(const TFileToDownload& Entry)
    {
        std::vector<TChunkScanState> States(Entry.m_Chunks.size());
        std::uint64_t Target = 0;
        for (std::size_t Index = 0; Index < Entry.m_Chunks.size(); ++Index) {
            States[Index].m_TargetOffset = Target;
            States[Index].m_Size = Entry.m_Chunks[Index].m_UnpackedSize;
            Target += Entry.m_Chunks[Index].m_UnpackedSize;
        }
        return States;
    }

    // Pieces of the local copy in file order. In fast-scan mode the installed document's
    // chunk list stands in for reading the file, but only while the file is there with the
    // installed size; Trusted then tells that the pieces were not read.
    std::vector<TPiece> collectLocalPieces(const TFileInPackage& File, const QString& Path, bool& Trusted) const
    {
        std::vector<TPiece> Pieces;
        const TFileInPackage* pInstalled = m_Context.m_InstalledByName.value(File.m_LocalFile);
        if (pInstalled && pInstalled->m_Chunks.size() >= 2) {
            Trusted = installedPieces(*pInstalled, Path, Pieces);
            if (Trusted) {
                return Pieces;
            }
            Pieces.clear();
        }
        // cut as the new document's chunks were cut, so that unchanged content meets them
        ::shared::chunkFileHashing(
            Path,
            [&Pieces](const ::shared::TFilePiece& Piece) {
                Pieces.push_back({Piece.m_Sha256, Piece.m_Length});
                return true;
            },
            m_Chunking);
        return Pieces;
    }

    // The installed chunks of a file, when they can describe what lies on disk.
    bool installedPieces(const TFileInPackage& Installed, const QString& Path, std::vector<TPiece>& Pieces) const
    {
        const QFileInfo Info(Path);
        if (!Info.isFile() || static_cast<std::uint64_t>(Info.size()) != Installed.m_UnpackedSize) {
            return false;
        }
        std::uint64_t Total = 0;
        for (std::int32_t Position : Installed.m_Chunks) {
            if (Position < 0 || static_cast<std::size_t>(Position) >= m_Context.m_InstalledChunks.size()) {
                return false;
            }
            const TChunkInPackage& Chunk = m_Context.m_InstalledChunks[static_cast<std::size_t>(Position)];
            Pieces.push_back({Chunk.m_UnpackedHash, Chunk.m_UnpackedSize});
            Total += Chunk.m_UnpackedSize;
        }
        return Total == Installed.m_UnpackedSize;
    }

    void reportScanned(std::uint64_t Bytes)
    {
        if (Bytes == 0) {
            return;
        }
        QMutexLocker Lock(&m_Context.m_Mutex);
        m_Context.m_BytesScanned += Bytes;
        // in steps of a thousandth at least: every step is an event for the window, and a
        // scan of small pieces would send hundreds of thousands
        if (m_Context.m_BytesScanned - m_Context.m_BytesReported >= m_Context.m_BytesTotal / 1000 ||
            m_Context.m_BytesScanned >= m_Context.m_BytesTotal) {
            m_Context.m_BytesReported = m_Context.m_BytesScanned;
            emit m_Job.scanProgress(m_Context.m_BytesScanned, m_Context.m_BytesTotal);
        }
    }

    // Notes for every chunk of the new file where a local piece with its content lies.
    // Identical chunks at several places all take the piece. True when anything matched.
    bool matchPiecesToChunks(const std::vector<TPiece>& Pieces, bool Trusted, const TFileToDownload& Entry,
                             std::vector<TChunkScanState>& States, const QString& Path)
    {
        // the chunks of each digest, in file order: with fine chunking a large file has
        // tens of thousands, and comparing every piece with every chunk would dominate
        QHash<QByteArray, std::vector<std::size_t>> ChunksByDigest;
        ChunksByDigest.reserve(static_cast<int>(Entry.m_Chunks.size()));
        for (std::size_t Index = 0; Index < Entry.m_Chunks.size(); ++Index) {
            ChunksByDigest[Entry.m_Chunks[Index].m_UnpackedHash].push_back(Index);
        }
        const std::vector<std::size_t> NoChunks;
        bool Reusable = false;
        std::uint64_t Source = 0;
        for (const TPiece& Piece : Pieces) {
            reportScanned(Piece.m_Length);
            const auto Found = ChunksByDigest.constFind(Piece.m_Digest);
            for (const std::size_t Index : Found == ChunksByDigest.constEnd() ? NoChunks : Found.value()) {
                TChunkScanState& State = States[Index];
                if (State.m_State == EChunkScanState::AtOwnPosition ||
                    (State.m_State == EChunkScanState::AtOtherPosition && Source != State.m_TargetOffset)) {
                    continue;
                }
                if (Entry.m_Chunks[Index].m_UnpackedHash != Piece.m_Digest || Entry.m_Chunks[Index].m_UnpackedSize != Piece.m_Length) {
                    continue;
                }
                State.m_SourceOffset = Source;
                State.m_NeedsCheck = Trusted;
                if (Source != State.m_TargetOffset) {
                    State.m_State = EChunkScanState::AtOtherPosition;
                    qInfo() << "reuseable chunk on wrong position found " << Piece.m_Digest.toHex() << " file: " << Path
                            << " source offset: " << Source << " target offset: " << State.m_TargetOffset
                            << " Thread: " << QThread::currentThreadId();
                } else {
                    State.m_State = EChunkScanState::AtOwnPosition;
                    qInfo() << "reuseable chunk on correct position found "
                            << " file: " << Path << " offset: " << Source << " Thread: " << QThread::currentThreadId();
                }
                Reusable = true;
            }
            Source += Piece.m_Length;
        }
        return Reusable;
    }

    // Copies every chunk found at another position to its place in the new file, cuts the
    // file to its new size and reads the reused chunks back; whatever is not intact is
    // listed for download. False when the local file cannot be used at all.
    bool moveReusedChunks(const TFileInPackage& File, const QString& Path, std::vector<TChunkScanState>& States, TFileToDownload& Entry)
    {
        QFile Local(Path);
        if (!Local.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered)) {
            qWarning() << "rearrangement: cannot open " << Path << " " << Local.errorString();
            return false;
        }
        bool Touched = copyChunksToTheirPlaces(File, Path, Local, States);
        if (static_cast<std::uint64_t>(Local.size()) > File.m_UnpackedSize) {
            Touched = true;
            if (!Local.resize(static_cast<qint64>(File.m_UnpackedSize))) {
                qWarning() << "rearrangement: cannot shorten " << Path << " " << Local.errorString();
                return false;
            }
        }
        Touched = Touched || std::any_of(States.begin(), States.end(), [](const TChunkScanState& State) {
                      return State.m_State == EChunkScanState::NotFound;
                  });
        // a file left exactly as it was keeps the trust it had; one that is written to
        // must not carry a reused chunk that nobody read
        if (Touched) {
            checkReusedChunks(Local, Path, States, Entry);
        }
        Local.close();
        for (std::size_t Index = 0; Index < States.size(); ++Index) {
            if (States[Index].m_State == EChunkScanState::NotFound) {
                Entry.m_ChunksToDownload.push_back(static_cast<std::int32_t>(Index));
            }
        }
        return true;
    }

    // The in-place moves; a chunk whose copy failed is not found after all. True when
    // anything was to be moved.
    bool copyChunksToTheirPlaces(const TFileInPackage& File, const QString& Path, QFile& Local, std::vector<TChunkScanState>& States)
    {
        std::vector<TChunkMove> Moves;
        std::vector<std::size_t> MovedChunks;
        for (std::size_t Index = 0; Index < States.size(); ++Index) {
            if (States[Index].m_State == EChunkScanState::AtOtherPosition) {
                Moves.push_back({States[Index].m_SourceOffset, States[Index].m_TargetOffset, States[Index].m_Size});
                MovedChunks.push_back(Index);
            }
        }
        if (Moves.empty()) {
            return false;
        }
        const TRearrangementResult Result = TInPlaceRearrangement::rearrange(
            Local, TInPlaceRearrangement::scratchPathFor(m_InstallationDirectory, File.m_LocalFile), Moves);
        std::size_t Failed = 0;
        for (std::size_t Move = 0; Move < Moves.size(); ++Move) {
            TChunkScanState& State = States[MovedChunks[Move]];
            State.m_State = Result.m_Moved[Move] ? EChunkScanState::AtOwnPosition : EChunkScanState::NotFound;
            State.m_NeedsCheck = true;
            Failed += Result.m_Moved[Move] ? 0 : 1;
        }
        m_Job.addScratchBytesUsed(Result.m_ScratchBytes);
        qInfo() << "rearranged file " << Path << " moves: " << Moves.size() << " failed: " << Failed
                << " saved aside: " << Result.m_SavedMoves << " scratch bytes: " << Result.m_ScratchBytes
                << " Thread: " << QThread::currentThreadId();
        return true;
    }

    // Every reused chunk that was moved or only known from the installed document is read
    // at its place; one that does not match its digest is fetched.
    void checkReusedChunks(QFile& Local, const QString& Path, std::vector<TChunkScanState>& States, const TFileToDownload& Entry)
    {
        for (std::size_t Index = 0; Index < States.size(); ++Index) {
            TChunkScanState& State = States[Index];
            if (State.m_State != EChunkScanState::AtOwnPosition || !State.m_NeedsCheck) {
                continue;
            }
            if (!rangeHasDigest(Local, State.m_TargetOffset, State.m_Size, Entry.m_Chunks[Index].m_UnpackedHash)) {
                qWarning() << "reused chunk failed its check, fetching it: file: " << Path << " offset: " << State.m_TargetOffset
                           << " Thread: " << QThread::currentThreadId();
                State.m_State = EChunkScanState::NotFound;
            }
        }
    }

    bool rangeHasDigest(QFile& Local, std::uint64_t Offset, std::uint64_t Size, const QByteArray& Digest)
    {
        if (m_ReadBuffer.isEmpty()) {
            m_ReadBuffer.resize(static_cast<int>(kCopyBlockSize));
        }
        if (!Local.seek(static_cast<qint64>(Offset))) {
            return false;
        }
        ::shared::TSha256 Hash;
        for (std::uint64_t Done = 0; Done < Size;) {
            const qint64 Length = static_cast<qint64>(std::min<std::uint64_t>(kCopyBlockSize, Size - Done));
            if (Local.read(m_ReadBuffer.data(), Length) != Length) {
                return false;
            }
            Hash.addData(m_ReadBuffer.constData(), static_cast<std::size_t>(Length));
            Done += static_cast<std::uint64_t>(Length);
        }
        return Hash.result() == Digest;
    }

    // A file of at most one chunk: reusable when its size and digest match.
    bool checkWholeFile(const TFileInPackage& File, const QString& Path)
    {
        QByteArray Digest;
        QFile Local(Path);
        qint64 Size = 0;
        if (::shared::openRegularFileForReading(Local, QIODevice::Unbuffered)) {
            Size = Local.size();
            ::shared::TSha256 Hash;
            // one buffer for all the files of this worker: fresh pages for every read
            // cost more than the hashing of small files
            if (m_ReadBuffer.isEmpty()) {
                m_ReadBuffer.resize(static_cast<int>(kCopyBlockSize));
            }
            for (;;) {
                const qint64 Read = Local.read(m_ReadBuffer.data(), kCopyBlockSize);
                if (Read <= 0) {
                    break;
                }
                Hash.addData(m_ReadBuffer.constData(), static_cast<std::size_t>(Read));
            }
            Digest = Hash.result();
            Local.close();
        }
        reportScanned(static_cast<std::uint64_t>(Size));
        if (!Digest.isEmpty() && static_cast<std::uint64_t>(Size) == File.m_UnpackedSize && Digest == File.m_UnpackedHash) {
            qInfo() << "reuseable file found " << Path << " Thread: " << QThread::currentThreadId();
            return true;
        }
        return false;
    }

    // Nothing of the local copy is used: the file is fetched whole.
    // The local copy stays where it is until the free-space check has let the update go
    // ahead (removeFilesFetchedWhole). Removed here, it would be gone even when that check
    // refuses the update, and the installed version would be broken for nothing.
    static void markForFullDownload(const TFileInPackage& File, TFileToDownload& Entry)
    {
        if (!File.m_PackedForm.m_Url.isEmpty()) {
            Entry.m_Chunks = {File.m_PackedForm};
        }
        Entry.m_ChunksToDownload.clear();
        for (std::size_t Index = 0; Index < Entry.m_Chunks.size(); ++Index) {
            Entry.m_ChunksToDownload.push_back(static_cast<std::int32_t>(Index));
        }
    }

    TPackageInstallation& m_Job;
    TScanContext& m_Context;
    const TChunkInPackageVector& m_NewChunks;
    const QDir& m_InstallationDirectory;
    const std::shared_ptr<TLauncherFilesystemHelper>& m_pFilesystemHelper;
    const ::shared::TChunkingParameters m_Chunking;
    QByteArray m_ReadBuffer;
};

} // namespace

TPackageInstallation::TPackageInstallation(std::shared_ptr<TPackage> pPackage, std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper)
    : m_pPackage(std::move(pPackage))
    , m_pNetworkAccessManager(std::make_shared<QNetworkAccessManager>())
    , m_pFilesystemHelper(std::move(pFilesystemHelper))
{
    ::shared::readResponsesThroughBufferedSockets(*m_pNetworkAccessManager);
    qRegisterMetaType<TPackageDifference>("TPackageDifference");
    qRegisterMetaType<TPackageDifference>("zarvo::launcher::TPackageDifference");
    qRegisterMetaType<std::shared_ptr<TPackage>>("std::shared_ptr<TPackage>");
    qRegisterMetaType<std::shared_ptr<TPackage>>("std::shared_ptr<zarvo::launcher::TPackage>");
    m_pDownloadPool =
        std::make_shared<::shared::TDownloadPool>(m_pFilesystemHelper->getSettings()->m_MaxConcurrentDownloads,
                                                  std::make_shared<::shared::QNetworkAccessManagerWrapper>(m_pNetworkAccessManager), false);
    m_pDownloadPool->setTransferTimeout(m_pFilesystemHelper->getSettings()->transferTimeoutMs());
    m_pDownloadPool->setMaximumBytesInFlight(kChunkBytesInFlight);
    if (const std::int32_t Rate = m_pFilesystemHelper->getSettings()->m_MaxDownloadRate; Rate > 0) {
        chunkDownloadLimiter()->setRate(static_cast<std::int64_t>(Rate) * 1000);
        m_pDownloadPool->setBandwidthLimiter(chunkDownloadLimiter());
    }
    m_pDownloader = std::make_unique<TPackageFileDownloader>(m_pDownloadPool, m_pFilesystemHelper, QString());
    connect(m_pDownloader.get(), &TPackageFileDownloader::downloadCompleted, this, &TPackageInstallation::onDownloadCompleted);
    connect(m_pDownloader.get(), &TPackageFileDownloader::downloadFailed, this, &TPackageInstallation::onDownloadFailed);
}

TPackageInstallation::~TPackageInstallation() = default;

TPackageDifference TPackageInstallation::computeRequiredChanges(const QDir& InstallationDirectory,
                                                                const std::shared_ptr<TLauncherFilesystemHelper>& pFilesystemHelper,
                                                                TPackageConfigurationReader NewConfiguration,
                                                                TPackageConfigurationReader InstalledConfiguration, bool FastScan)
{
    TPackageDifference Difference;
    QSet<QString> NewNames;
    NewNames.reserve(static_cast<int>(NewConfiguration.m_Files.size()));
    for (const TFileInPackage& File : NewConfiguration.m_Files) {
        NewNames.insert(File.m_LocalFile);
    }
    for (const TFileInPackage& Installed : InstalledConfiguration.m_Files) {
        if (!NewNames.contains(Installed.m_LocalFile)) {
            Difference.m_FilesToDelete.push_back(Installed);
        }
    }
    if (FastScan && NewConfiguration.m_Chunking != InstalledConfiguration.m_Chunking) {
        // the installed chunks were cut otherwise and would match almost nothing: the
        // files are read and cut anew instead
        qInfo() << "fast scan not used: the installed package was cut with other chunking parameters"
                << " Thread: " << QThread::currentThreadId();
        FastScan = false;
    }
    const QList<TFileToDownload> Files = FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
        NewConfiguration.m_Files, NewConfiguration.m_Chunks, InstalledConfiguration.m_Files, InstalledConfiguration.m_Chunks, FastScan,
        InstallationDirectory, pFilesystemHelper, NewConfiguration.m_Chunking);
    Difference.m_FilesToDownload.assign(Files.begin(), Files.end());
    return Difference;
}

QList<TFileToDownload> TPackageInstallation::FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
    const TFileInPackageVector& NewFiles, const TChunkInPackageVector& NewChunks, const TFileInPackageVector& InstalledFiles,
    const TChunkInPackageVector& InstalledChunks, bool FastScan, const QDir& InstallationDirectory,
    const std::shared_ptr<TLauncherFilesystemHelper>& pFilesystemHelper, const ::shared::TChunkingParameters& Chunking)
{
    auto pContext = std::make_shared<TScanContext>();
    m_ScratchBytesUsed = 0;
    pContext->m_NothingInstalled = pFilesystemHelper->holdsOnlyMarkers(InstallationDirectory);
    m_NothingInstalled = pContext->m_NothingInstalled;
    for (const TFileInPackage& File : NewFiles) {
        if (!pContext->m_NothingInstalled) {
            const QFileInfo Info(pFilesystemHelper->resolvePathInsideDirectory(InstallationDirectory, File.m_LocalFile));
            if (Info.isFile()) {
                pContext->m_BytesTotal += static_cast<TFileSize>(Info.size());
            }
        }
        pContext->m_WorkList.append(File);
    }
    // the largest files first, so that the longest hashing starts early
    std::sort(pContext->m_WorkList.begin(), pContext->m_WorkList.end(),
              [](const TFileInPackage& Left, const TFileInPackage& Right) { return Left.m_UnpackedSize > Right.m_UnpackedSize; });
    if (FastScan) {
        pContext->m_InstalledFiles = InstalledFiles;
        pContext->m_InstalledChunks = InstalledChunks;
        for (const TFileInPackage& Installed : pContext->m_InstalledFiles) {
            pContext->m_InstalledByName.insert(Installed.m_LocalFile, &Installed);
        }
    }

    const auto Worker = [this, pContext, &NewChunks, &InstallationDirectory, &pFilesystemHelper, &Chunking]() -> QList<TFileToDownload> {
        ::shared::runInBackground();
        return TFileScanner(*this, *pContext, NewChunks, InstallationDirectory, pFilesystemHelper, Chunking).run();
    };

    // The calling task runs on the same pool and is the last of the six workers: waiting
    // idle while a single pool thread did all the work would halve the speed on two cores.
    QList<QFuture<QList<TFileToDownload>>> Futures;
    for (int Index = 0; Index < kWorkerCount - 1; ++Index) {
        Futures.append(QtConcurrent::run(QThreadPool::globalInstance(), Worker));
    }
    const QList<TFileToDownload> Own = Worker();
    QList<TFileToDownload> Result;
    for (QFuture<QList<TFileToDownload>>& Future : Futures) {
        Future.waitForFinished();
        Result.append(Future.result());
    }
    Result.append(Own);
    return Result;
}

bool TPackageInstallation::VerifyPackage(const QDir& InstallationDirectory,
                                         const std::shared_ptr<TLauncherFilesystemHelper>& pFilesystemHelper, TFileInPackageVector Files)
{
    qInfo() << "VerifyPackage: " << InstallationDirectory.absolutePath() << " Thread: " << QThread::currentThreadId();
    struct TContext {
        QMutex m_Mutex;
        QList<TFileInPackage> m_WorkList;
        TFileSize m_BytesVerified = 0;
        TFileSize m_BytesTotal = 0;
        bool m_Result = true;
    };
    auto pContext = std::make_shared<TContext>();
    for (const TFileInPackage& File : Files) {
        pContext->m_WorkList.append(File);
        pContext->m_BytesTotal += File.m_UnpackedSize;
    }
    const auto Fail = [pContext] {
        QMutexLocker Lock(&pContext->m_Mutex);
        pContext->m_Result = false;
    };
    const auto Worker = [this, pContext, Fail, &InstallationDirectory, &pFilesystemHelper] {
        ::shared::runInBackground();
        QString Current;
        try {
            QByteArray Buffer;
            for (;;) {
                TFileInPackage File;
                {
                    QMutexLocker Lock(&pContext->m_Mutex);
                    if (pContext->m_WorkList.isEmpty() || !pContext->m_Result) {
                        return;
                    }
                    File = pContext->m_WorkList.takeFirst();
                }
                Current = File.m_LocalFile;
                const QString Path = pFilesystemHelper->resolvePathInsideDirectory(InstallationDirectory, File.m_LocalFile);
                QFile Local(Path);
                if (!::shared::openRegularFileForReading(Local)) {
                    Fail();
                    return;
                }
                ::shared::TSha256 Hash;
                if (Buffer.isEmpty()) {
                    Buffer.resize(static_cast<int>(kVerificationBlockSize));
                }
                while (!Local.atEnd()) {
                    const qint64 Read = Local.read(Buffer.data(), kVerificationBlockSize);
                    if (Read < 0) {
                        Fail();
                        return;
                    }
                    if (Read == 0) {
                        break;
                    }
                    Hash.addData(Buffer.constData(), static_cast<std::size_t>(Read));
                    QMutexLocker Lock(&pContext->m_Mutex);
                    pContext->m_BytesVerified += static_cast<TFileSize>(Read);
                    emit verificationProgress(pContext->m_BytesVerified, pContext->m_BytesTotal);
                }
                Local.close();
                if (Hash.result() != File.m_UnpackedHash) {
                    qWarning() << "verification of file " << File.m_LocalFile << " failed";
                    Fail();
                    return;
                }
                qInfo() << "verification of file " << Path << " successfully"
                        << " Thread: " << QThread::currentThreadId();
                Current.clear();
            }
        } catch (const std::exception& Error) {
            if (!Current.isEmpty()) {
                qWarning() << "verification of files crashed in file: " << Current << " exception: " << Error.what();
            } else {
                qWarning() << "verification of files crashed. exception: " << Error.what();
            }
            Fail();
        } catch (...) {
            qWarning() << "verification of files crashed ";
            Fail();
        }
    };
    // as in the scan: the calling task is the sixth worker instead of waiting idle
    QList<QFuture<void>> Futures;
    for (int Index = 0; Index < kWorkerCount - 1; ++Index) {
        Futures.append(QtConcurrent::run(QThreadPool::globalInstance(), Worker));
    }
    Worker();
    for (QFuture<void>& Future : Futures) {
        Future.waitForFinished();
    }
    return pContext->m_Result;
}

void TPackageInstallation::onRequiredChangesComputedForInstallation(TPackageDifference Changes)
{
    qInfo() << "onRequiredChangesComputedForInstallation" << m_pPackage->m_Name
            << " files to download: " << Changes.m_FilesToDownload.size() << " files to delete: " << Changes.m_FilesToDelete.size()
            << " Thread: " << QThread::currentThreadId();
    m_FilesToDownload = Changes.m_FilesToDownload;
    m_FilesToDelete = Changes.m_FilesToDelete;
    qInfo() << "startDownload: " << m_pPackage->m_Name << " Thread: " << QThread::currentThreadId();
    try {
        // nothing is deleted or fetched when the result would not fit on the disk
        const TDiskSpaceRequirement Requirement =
            TDiskSpaceCheck::requirement(m_FilesToDownload, m_InstallationDirectory, *m_pFilesystemHelper,
                                         m_pFilesystemHelper->getSettings()->m_MaxCachedChunks, m_NothingInstalled);
        m_DiskSpaceShortage = TDiskSpaceCheck::findShortage(Requirement, m_InstallationDirectory.absolutePath(), QDir::tempPath());
        if (m_DiskSpaceShortage) {
            qWarning() << "not enough disk space for " << m_pPackage->m_Name << ": " << TDiskSpaceCheck::describe(*m_DiskSpaceShortage)
                       << " Thread: " << QThread::currentThreadId();
            onDownloadFailed(EPackageDownloaderError::NotEnoughDiskSpace);
            return;
        }
        for (const TFileInPackage& File : m_FilesToDelete) {
            const QString Path = m_pFilesystemHelper->resolvePathInsideDirectory(m_InstallationDirectory, File.m_LocalFile);
            const QFileInfo Existing(Path);
            if (Existing.isDir() && !Existing.isSymLink()) {
                // A document names files only: a directory found there now is not removed
                // with what it holds (it may be the installation itself); an empty one goes.
                if (!QDir().rmdir(Path)) {
                    qWarning() << "obsolete entry is a directory that is not empty, left in place:" << Path;
                }
                continue;
            }
            try {
                m_pFilesystemHelper->removeFileOrDirectory(Path);
            } catch (const std::runtime_error&) {
                if (m_SelfUpdateMode != ESelfUpdateMode::RenameReplacedFiles) {
                    throw;
                }
                // a running executable: moved aside so that it can be replaced
                m_pFilesystemHelper->moveReplacing(Path, Path + QStringLiteral(".old"));
            }
        }
        removeFilesFetchedWhole();
        if (m_FilesToDownload.empty()) {
            onDownloadCompleted();
            return;
        }
        m_pDownloader->startDownload(m_FilesToDownload, m_InstallationDirectory, m_SelfUpdateMode);
    } catch (const std::exception& Error) {
        emit diskAccessFailed(QString::fromUtf8(Error.what()));
        // the job ends as a failed download instead of staying in progress for ever,
        // which would block every later request for this package
        onDownloadFailed(EPackageDownloaderError::SavingFailed);
    }
}

void TPackageInstallation::removeFilesFetchedWhole()
{
    // Files that come anew whole go before the first byte is fetched, not while the scan
    // still decides (the free-space check may yet refuse the update, and the installed
    // version must then stay whole), and not later either: freed first, the disk only
    // fills from here on, and never beyond what the free-space check allowed for.
    if (m_NothingInstalled) {
        return; // a fresh installation: the scan found no file of the package
    }
    for (const TFileToDownload& File : m_FilesToDownload) {
        if (File.m_Chunks.empty() || File.m_ChunksToDownload.size() != File.m_Chunks.size()) {
            continue;
        }
        const QString Path = m_pFilesystemHelper->resolvePathInsideDirectory(m_InstallationDirectory, File.m_LocalFile);
        const QFileInfo Existing(Path);
        if (!Existing.isFile() || Existing.isSymLink()) {
            continue; // nothing there, or what the downloader turns down or replaces itself
        }
        if (m_SelfUpdateMode == ESelfUpdateMode::RenameReplacedFiles) {
            // the launcher replacing itself keeps the old file as ".old" so that a failed
            // update can put it back
            m_pFilesystemHelper->moveReplacing(Path, Path + QStringLiteral(".old"));
        } else {
            m_pFilesystemHelper->removeFileOrDirectory(Path);
        }
    }
}

void TPackageInstallation::onDownloadCompleted()
{
    qInfo() << "onDownloadCompleted" << m_pPackage->m_Name << " Thread: " << QThread::currentThreadId();
    m_WithoutError = true;
    m_ErrorReason = EPackageDownloaderError::NoError;
    emit downloadFinished(m_pPackage);
}

void TPackageInstallation::onDownloadFailed(EPackageDownloaderError ErrorReason)
{
    qInfo() << "onDownloadFailed" << m_pPackage->m_Name << " " << static_cast<int>(ErrorReason)
            << " Thread: " << QThread::currentThreadId();
    m_ErrorReason = ErrorReason;
    m_WithoutError = false;
    emit downloadFinished(m_pPackage);
}

void TPackageInstallation::startVerification(const TPackageConfigurationReader& InstalledConfiguration, bool Forced)
{
    if (!InstalledConfiguration.m_Valid) {
        // an empty list would pass without reading a file
        qCritical().noquote() << "The installed package configuration of" << m_pPackage->m_Name
                              << "was refused:" << InstalledConfiguration.m_Error;
        onVerifyFinished(false);
        return;
    }
    if (!Forced && m_pFilesystemHelper->getSettings()->m_SkipVerification) {
        onVerifyFinished(true);
        return;
    }
    auto* pWatcher = new QFutureWatcher<bool>(this);
    connect(pWatcher, &QFutureWatcher<bool>::finished, this, [this, pWatcher] {
        const bool Result = pWatcher->result();
        pWatcher->deleteLater();
        onVerifyFinished(Result);
    });
    pWatcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [this, Files = InstalledConfiguration.m_Files] {
        return VerifyPackage(m_InstallationDirectory, m_pFilesystemHelper, Files);
    }));
}

void TPackageInstallation::onVerifyFinished(bool Result)
{
    qInfo() << "onVerifyFinished with " << (Result ? "true" : "false") << " Thread: " << QThread::currentThreadId();
    m_WithoutError = Result;
    m_ErrorReason = Result ? EPackageDownloaderError::NoError : EPackageDownloaderError::VerificationFailed;
    emit verificationFinished(m_pPackage);
}

} // namespace zarvo::launcher
