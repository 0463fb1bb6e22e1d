#include "TPackageInstallation.h"

#include "ContentDefinedChunker.h"
#include "Sha256.h"
#include "TDownloadPool.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QTemporaryFile>
#include <QThread>
#include <QtConcurrent>

#include <algorithm>

namespace zarvo::launcher {

namespace {

constexpr int kWorkerCount = 6;
constexpr qint64 kVerificationBlockSize = 0xA00000; // 10 MiB
constexpr qint64 kCopyBlockSize = 0x400000;         // 4 MiB

// Shared state of one difference computation.
struct TScanContext {
    QMutex m_Mutex;
    QList<TFileInPackage> m_WorkList;
    TFileSize m_BytesScanned = 0;
    TFileSize m_BytesTotal = 0;
    TFileInPackageVector m_InstalledFiles; // fast scan only
    TChunkInPackageVector m_InstalledChunks;
};

// Where one chunk of a file is found in the local copy.
struct TChunkScanState {
    std::int32_t m_State = 0; // 0 not found, 1 at its own position, 2 at another position
    std::uint64_t m_SourceOffset = 0;
    std::uint64_t m_TargetOffset = 0;
    std::uint64_t m_Size = 0;
    bool m_Saved = false; // copied aside into the scratch file; the source offset is there
};

struct TPiece {
    QByteArray m_Digest;
    std::uint64_t m_Length = 0;
};

bool copyRange(QFile& From, std::uint64_t FromOffset, QFile& To, std::uint64_t ToOffset, std::uint64_t Size)
{
    // the whole chunk is read before anything is written: From and To may be one file, and
    // the source and target ranges of one chunk may overlap
    if (!From.seek(static_cast<qint64>(FromOffset))) {
        return false;
    }
    const QByteArray Data = From.read(static_cast<qint64>(Size));
    if (static_cast<std::uint64_t>(Data.size()) != Size) {
        return false;
    }
    return To.seek(static_cast<qint64>(ToOffset)) && To.write(Data) == Data.size();
}

} // namespace

TPackageInstallation::TPackageInstallation(std::shared_ptr<TPackage> pPackage, std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper)
    : m_pPackage(std::move(pPackage))
    , m_pNetworkAccessManager(std::make_shared<QNetworkAccessManager>())
    , m_pFilesystemHelper(std::move(pFilesystemHelper))
{
    qRegisterMetaType<TPackageDifference>("TPackageDifference");
    qRegisterMetaType<TPackageDifference>("zarvo::launcher::TPackageDifference");
    qRegisterMetaType<std::shared_ptr<TPackage>>("std::shared_ptr<TPackage>");
    qRegisterMetaType<std::shared_ptr<TPackage>>("std::shared_ptr<zarvo::launcher::TPackage>");
    m_pDownloadPool = std::make_shared<::shared::TDownloadPool>(
        m_pFilesystemHelper->getSettings()->m_MaxConcurrentDownloads,
        std::make_shared<::shared::QNetworkAccessManagerWrapper>(m_pNetworkAccessManager), false);
    m_pDownloadPool->setTransferTimeout(m_pFilesystemHelper->getSettings()->transferTimeoutMs());
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
    for (const TFileInPackage& Installed : InstalledConfiguration.m_Files) {
        const bool StillThere = std::any_of(NewConfiguration.m_Files.begin(), NewConfiguration.m_Files.end(),
                                            [&](const TFileInPackage& File) { return File.m_LocalFile == Installed.m_LocalFile; });
        if (!StillThere) {
            Difference.m_FilesToDelete.push_back(Installed);
        }
    }
    const QList<TFileToDownload> Files = FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
        NewConfiguration.m_Files, NewConfiguration.m_Chunks, InstalledConfiguration.m_Files, InstalledConfiguration.m_Chunks, FastScan,
        InstallationDirectory, pFilesystemHelper);
    Difference.m_FilesToDownload.assign(Files.begin(), Files.end());
    return Difference;
}

QList<TFileToDownload> TPackageInstallation::FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
    const TFileInPackageVector& NewFiles, const TChunkInPackageVector& NewChunks, const TFileInPackageVector& InstalledFiles,
    const TChunkInPackageVector& InstalledChunks, bool FastScan, const QDir& InstallationDirectory,
    const std::shared_ptr<TLauncherFilesystemHelper>& pFilesystemHelper)
{
    auto pContext = std::make_shared<TScanContext>();
    for (const TFileInPackage& File : NewFiles) {
        const QString Path = pFilesystemHelper->resolvePathInsideDirectory(InstallationDirectory, File.m_LocalFile);
        const QFileInfo Info(Path);
        if (Info.isFile()) {
            pContext->m_BytesTotal += static_cast<TFileSize>(Info.size());
        }
        pContext->m_WorkList.append(File);
    }
    // the largest files first, so that the longest hashing starts early
    std::sort(pContext->m_WorkList.begin(), pContext->m_WorkList.end(),
              [](const TFileInPackage& Left, const TFileInPackage& Right) { return Left.m_UnpackedSize > Right.m_UnpackedSize; });
    if (FastScan) {
        pContext->m_InstalledFiles = InstalledFiles;
        pContext->m_InstalledChunks = InstalledChunks;
    }

    const auto Worker = [this, pContext, &NewChunks, &InstallationDirectory, &pFilesystemHelper]() -> QList<TFileToDownload> {
        QList<TFileToDownload> Result;
        QByteArray ReadBuffer;
        for (;;) {
            TFileInPackage File;
            {
                QMutexLocker Lock(&pContext->m_Mutex);
                if (pContext->m_WorkList.isEmpty()) {
                    return Result;
                }
                File = pContext->m_WorkList.takeFirst();
            }
            const QString Path = pFilesystemHelper->resolvePathInsideDirectory(InstallationDirectory, File.m_LocalFile);
            TFileToDownload Entry;
            Entry.m_LocalFile = File.m_LocalFile;
            Entry.m_UnpackedSize = File.m_UnpackedSize;
            Entry.m_UnpackedHash = File.m_UnpackedHash;
            Entry.m_Executable = File.m_Executable;
            Entry.m_Patches = File.m_Patches;
            for (std::int32_t Position : File.m_Chunks) {
                Entry.m_Chunks.push_back(NewChunks.at(static_cast<std::size_t>(Position)));
            }

            bool Reusable = false;
            bool Handled = false;
            if (File.m_Chunks.size() >= 2) {
                // pieces of the local copy: from the installed document (fast scan) or cut
                // from the file itself
                std::vector<TPiece> Pieces;
                bool FromInstalled = false;
                for (const TFileInPackage& Installed : pContext->m_InstalledFiles) {
                    if (Installed.m_LocalFile == File.m_LocalFile && Installed.m_Chunks.size() >= 2) {
                        for (std::int32_t Position : Installed.m_Chunks) {
                            const TChunkInPackage& Chunk = pContext->m_InstalledChunks.at(static_cast<std::size_t>(Position));
                            Pieces.push_back({Chunk.m_UnpackedHash, Chunk.m_UnpackedSize});
                        }
                        FromInstalled = true;
                        break;
                    }
                }
                if (!FromInstalled) {
                    ::shared::chunkFile(Path, [&Pieces](const unsigned char* Piece, std::size_t Length, std::uint64_t) {
                        Pieces.push_back({::shared::TSha256::hash(Piece, Length), Length});
                        return true;
                    });
                }

                std::vector<TChunkScanState> States(Entry.m_Chunks.size());
                std::uint64_t Target = 0;
                for (std::size_t Index = 0; Index < Entry.m_Chunks.size(); ++Index) {
                    States[Index].m_TargetOffset = Target;
                    States[Index].m_Size = Entry.m_Chunks[Index].m_UnpackedSize;
                    Target += Entry.m_Chunks[Index].m_UnpackedSize;
                }
                std::uint64_t Source = 0;
                for (const TPiece& Piece : Pieces) {
                    {
                        QMutexLocker Lock(&pContext->m_Mutex);
                        pContext->m_BytesScanned += Piece.m_Length;
                        emit scanProgress(pContext->m_BytesScanned, pContext->m_BytesTotal);
                    }
                    for (std::size_t Index = 0; Index < Entry.m_Chunks.size(); ++Index) {
                        TChunkScanState& State = States[Index];
                        if (State.m_State == 1 || (State.m_State == 2 && Source != State.m_TargetOffset)) {
                            continue;
                        }
                        if (Entry.m_Chunks[Index].m_UnpackedHash != Piece.m_Digest || Entry.m_Chunks[Index].m_UnpackedSize != Piece.m_Length) {
                            continue;
                        }
                        if (Source != State.m_TargetOffset) {
                            State.m_State = 2;
                            State.m_SourceOffset = Source;
                            qInfo() << "reuseable chunk on wrong position found " << Piece.m_Digest.toHex() << " file: " << Path
                                    << " source offset: " << Source << " target offset: " << State.m_TargetOffset
                                    << " Thread: " << QThread::currentThreadId();
                        } else {
                            State.m_State = 1;
                            State.m_SourceOffset = Source;
                            qInfo() << "reuseable chunk on correct position found " << " file: " << Path << " offset: " << Source
                                    << " Thread: " << QThread::currentThreadId();
                        }
                        Reusable = true;
                    }
                    Source += Piece.m_Length;
                }

                if (Reusable && m_SelfUpdateMode == 1) {
                    // the launcher's own files are never rewritten in place: one of them is
                    // the running executable, and the old copy must survive a failure
                    Reusable = false;
                }
                if (Reusable) {
                    QFile Local(Path);
                    if (Local.open(QIODevice::ReadWrite)) {
                        QTemporaryFile Scratch;
                        std::uint64_t ScratchOffset = 0;
                        for (std::size_t Index = 0; Index < States.size(); ++Index) {
                            TChunkScanState& State = States[Index];
                            if (State.m_State == 0) {
                                Entry.m_ChunksToDownload.push_back(static_cast<std::int32_t>(Index));
                                continue;
                            }
                            if (State.m_State != 2) {
                                continue;
                            }
                            // later chunks whose data lie where this one goes are saved first
                            for (std::size_t Later = Index + 1; Later < States.size(); ++Later) {
                                TChunkScanState& Other = States[Later];
                                if (Other.m_State != 2 || Other.m_Saved) {
                                    continue;
                                }
                                const bool Overlaps = Other.m_SourceOffset < State.m_TargetOffset + State.m_Size
                                    && State.m_TargetOffset < Other.m_SourceOffset + Other.m_Size;
                                if (!Overlaps) {
                                    continue;
                                }
                                if (!Scratch.isOpen() && !Scratch.open()) {
                                    break;
                                }
                                if (copyRange(Local, Other.m_SourceOffset, Scratch, ScratchOffset, Other.m_Size)) {
                                    Other.m_SourceOffset = ScratchOffset;
                                    Other.m_Saved = true;
                                    ScratchOffset += Other.m_Size;
                                }
                            }
                            if (State.m_Saved) {
                                copyRange(Scratch, State.m_SourceOffset, Local, State.m_TargetOffset, State.m_Size);
                            } else {
                                copyRange(Local, State.m_SourceOffset, Local, State.m_TargetOffset, State.m_Size);
                            }
                            State.m_State = 1;
                        }
                        if (static_cast<std::uint64_t>(Local.size()) > File.m_UnpackedSize) {
                            Local.resize(static_cast<qint64>(File.m_UnpackedSize));
                        }
                        Local.close();
                        Result.append(Entry);
                        Handled = true;
                    } else {
                        Reusable = false;
                    }
                }
            } else {
                // whole-file check
                QByteArray Digest;
                QFile Local(Path);
                if (Local.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
                    ::shared::TSha256 Hash;
                    // one buffer for all the files of this worker: fresh pages for every
                    // read cost more than the hashing of small files
                    if (ReadBuffer.isEmpty()) {
                        ReadBuffer.resize(static_cast<int>(kCopyBlockSize));
                    }
                    for (;;) {
                        const qint64 Read = Local.read(ReadBuffer.data(), kCopyBlockSize);
                        if (Read <= 0) {
                            break;
                        }
                        Hash.addData(ReadBuffer.constData(), static_cast<std::size_t>(Read));
                    }
                    Digest = Hash.result();
                    Local.close();
                }
                const QFileInfo Info(Path);
                const qint64 Size = Info.isFile() ? Info.size() : 0;
                {
                    QMutexLocker Lock(&pContext->m_Mutex);
                    pContext->m_BytesScanned += static_cast<TFileSize>(Size);
                    emit scanProgress(pContext->m_BytesScanned, pContext->m_BytesTotal);
                }
                if (Info.isFile() && static_cast<std::uint64_t>(Size) == File.m_UnpackedSize && Digest == File.m_UnpackedHash) {
                    qInfo() << "reuseable file found " << Path << " Thread: " << QThread::currentThreadId();
                    Result.append(Entry);
                    Handled = true;
                }
            }
            if (!Handled) {
                // not reusable: fetched whole; the launcher replacing itself keeps the old
                // file as ".old" so that a failed update can put it back
                if (m_SelfUpdateMode == 1 && QFileInfo(Path).isFile()) {
                    QFile::remove(Path + QStringLiteral(".old"));
                    QFile::rename(Path, Path + QStringLiteral(".old"));
                } else {
                    QFile::remove(Path);
                }
                if (!File.m_PackedForm.m_Url.isEmpty()) {
                    Entry.m_Chunks = {File.m_PackedForm};
                }
                Entry.m_ChunksToDownload.clear();
                for (std::size_t Index = 0; Index < Entry.m_Chunks.size(); ++Index) {
                    Entry.m_ChunksToDownload.push_back(static_cast<std::int32_t>(Index));
                }
                Result.append(Entry);
            }
        }
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

bool TPackageInstallation::VerifyPackage(const QDir& InstallationDirectory, const std::shared_ptr<TLauncherFilesystemHelper>& pFilesystemHelper,
                                         TFileInPackageVector Files)
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
                if (!Local.open(QIODevice::ReadOnly | QIODevice::ExistingOnly)) {
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
                qInfo() << "verification of file " << Path << " successfully" << " Thread: " << QThread::currentThreadId();
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
    qInfo() << "onRequiredChangesComputedForInstallation" << m_pPackage->m_Name << " files to download: " << Changes.m_FilesToDownload.size()
            << " files to delete: " << Changes.m_FilesToDelete.size() << " Thread: " << QThread::currentThreadId();
    m_FilesToDownload = Changes.m_FilesToDownload;
    m_FilesToDelete = Changes.m_FilesToDelete;
    qInfo() << "startDownload: " << m_pPackage->m_Name << " Thread: " << QThread::currentThreadId();
    try {
        for (const TFileInPackage& File : m_FilesToDelete) {
            const QString Path = m_pFilesystemHelper->resolvePathInsideDirectory(m_InstallationDirectory, File.m_LocalFile);
            try {
                m_pFilesystemHelper->removeFileOrDirectory(Path);
            } catch (const std::runtime_error&) {
                if (m_SelfUpdateMode != 1) {
                    throw;
                }
                // a running executable: moved aside so that it can be replaced
                m_pFilesystemHelper->moveReplacing(Path, Path + QStringLiteral(".old"));
            }
        }
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

void TPackageInstallation::onDownloadCompleted()
{
    qInfo() << "onDownloadCompleted" << m_pPackage->m_Name << " Thread: " << QThread::currentThreadId();
    m_WithoutError = true;
    m_ErrorReason = EPackageDownloaderError::NoError;
    emit downloadFinished(m_pPackage);
}

void TPackageInstallation::onDownloadFailed(EPackageDownloaderError ErrorReason)
{
    qInfo() << "onDownloadFailed" << m_pPackage->m_Name << " " << static_cast<int>(ErrorReason) << " Thread: " << QThread::currentThreadId();
    m_ErrorReason = ErrorReason;
    m_WithoutError = false;
    emit downloadFinished(m_pPackage);
}

void TPackageInstallation::startVerification(const TPackageConfigurationReader& InstalledConfiguration, bool Forced)
{
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
