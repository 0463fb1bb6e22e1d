#include "TPackageFileDownloader.h"

#include "BackgroundThread.h"
#include "BundleContainer.h"
#include "Sha256.h"
#include "TDownloadPool.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextStream>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <cerrno>
#include <set>
#include <stdexcept>

#include <unistd.h>

namespace zarvo::launcher {

namespace {

[[noreturn]] void throwIoError(const QString& FileName, const char* Message)
{
    throw std::runtime_error(QStringLiteral("I/O error on file '%1': %2").arg(FileName, QLatin1String(Message)).toUtf8().toStdString());
}

void appendLine(QFile& Log, const QString& Line)
{
    if (Log.isOpen()) {
        QTextStream Stream(&Log);
        Stream << Line << '\n';
    }
}

[[noreturn]] void throwVerifyFailure(const TChunkInPackage& Chunk)
{
    qWarning() << "saveDownloadedData failed: invalid hash";
    throw std::runtime_error(QStringLiteral("verify of url '%1' failed").arg(Chunk.m_Url.toString()).toUtf8().toStdString());
}

// The file's target, open for writing chunks into their places.
void openTarget(TChunkedFileState& File, const QString& Path)
{
    if (!File.m_Target.isOpen()) {
        File.m_Target.setFileName(Path);
        if (!File.m_Target.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
            throwIoError(Path, "couldn't open target file");
        }
    }
}

// Writes all of Size bytes at Offset of the open file, whatever its position.
void writeAt(int Descriptor, const QString& Path, const char* pData, std::size_t Size, std::uint64_t Offset)
{
    while (Size > 0) {
        const ssize_t Written = ::pwrite(Descriptor, pData, Size, static_cast<off_t>(Offset));
        if (Written < 0 && errno == EINTR) {
            continue;
        }
        if (Written <= 0) {
            throwIoError(Path, "couldn't write chunk file");
        }
        pData += Written;
        Size -= static_cast<std::size_t>(Written);
        Offset += static_cast<std::uint64_t>(Written);
    }
}

} // namespace

void TRunningAverage::addSample(std::uint64_t Sample)
{
    if (m_Count == 0) {
        m_Smallest = Sample;
        m_Largest = Sample;
        m_Mean = static_cast<double>(Sample);
        m_Count = 1;
    } else {
        m_Mean = (static_cast<double>(m_Count) * m_Mean + static_cast<double>(Sample)) / static_cast<double>(m_Count + 1);
        ++m_Count;
        m_Smallest = std::min(m_Smallest, Sample);
        m_Largest = std::max(m_Largest, Sample);
    }
    if (m_Count > 30) {
        // start a new series from the current mean so the rate follows changes
        const auto Mean = static_cast<std::uint64_t>(m_Mean);
        m_Count = 0;
        addSample(Mean);
    }
}

TPackageFileDownloader::TPackageFileDownloader(std::shared_ptr<::shared::TDownloadPool> pDownloadPool,
                                               std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper,
                                               const QString& InstallationDirectory)
    : m_pDownloadPool(std::move(pDownloadPool))
    , m_pFilesystemHelper(std::move(pFilesystemHelper))
    , m_InstallationDirectory(InstallationDirectory)
{
    qRegisterMetaType<TFileSize>("TFileSize");
    qRegisterMetaType<TFileSize>("zarvo::launcher::TFileSize");
    qRegisterMetaType<EPackageDownloaderError>("EPackageDownloaderError");
    qRegisterMetaType<EPackageDownloaderError>("zarvo::launcher::EPackageDownloaderError");
    m_ProgressTimer.setInterval(100);
    connect(m_pDownloadPool.get(), &::shared::TDownloadPool::success, this, &TPackageFileDownloader::onDownloadCompleted);
    connect(m_pDownloadPool.get(), &::shared::TDownloadPool::failed, this, &TPackageFileDownloader::onDownloadFailed);
    connect(m_pDownloadPool.get(), &::shared::TDownloadPool::progress, this, &TPackageFileDownloader::onDownloadProgress);
    connect(this, &TPackageFileDownloader::writeProgress, this, &TPackageFileDownloader::onWriteProgress, Qt::QueuedConnection);
    connect(&m_ProgressTimer, &QTimer::timeout, this, &TPackageFileDownloader::onProgressTick);
}

bool TWorkerGate::enter()
{
    // counted first, then the flag: a closing downloader either sees this worker inside
    // or the worker sees the flag, never neither
    ++m_Inside;
    if (m_Closing.load()) {
        --m_Inside;
        return false;
    }
    return true;
}

void TWorkerGate::leave()
{
    --m_Inside;
}

bool TWorkerGate::close(int GraceMs)
{
    m_Closing = true;
    QElapsedTimer Waited;
    Waited.start();
    while (m_Inside.load() > 0 && Waited.elapsed() < GraceMs) {
        QThread::msleep(5);
    }
    return m_Inside.load() == 0;
}

TPackageFileDownloader::~TPackageFileDownloader()
{
    // Decompression and verification use nothing of this object and may run on. Saving a
    // chunk and posting its result use this object: a task not yet at that point is turned
    // away by the gate, and one under way is waited for a bounded time: a save stuck in
    // the file system must not keep the launcher from ending (it then ends without
    // running destructors, see TLauncherApplication). Results already posted go with
    // this object.
    m_ProgressTimer.stop();
    blockSignals(true);
    disconnect(m_pDownloadPool.get(), nullptr, this, nullptr);
    if (!m_pWorkerGate->close(kWorkerGraceMs)) {
        qWarning() << "downloader destroyed while a save step still runs; not waiting any longer"
                   << " Thread: " << QThread::currentThreadId();
    }
}

int TPackageFileDownloader::parkedInMemory() const
{
    QMutexLocker Lock(&m_Mutex);
    return m_ParkedInMemory;
}

std::vector<const TChunkToDownload*> TPackageFileDownloader::fetchOrder(const std::vector<TChunkToDownload>& Chunks, int Lanes)
{
    // Largest files first, each file's chunks in file order: the small files come last,
    // so the run never ends with one core decoding a 16 MiB chunk while the other waits,
    // and the chunks of a file arrive about in the order it is written in, so few of them
    // wait parked in memory. Equal sizes keep the document's order.
    std::vector<const TChunkToDownload*> BySize;
    BySize.reserve(Chunks.size());
    for (const TChunkToDownload& Record : Chunks) {
        BySize.push_back(&Record);
    }
    std::stable_sort(BySize.begin(), BySize.end(), [](const TChunkToDownload* pLeft, const TChunkToDownload* pRight) {
        return pLeft->m_Files.front()->m_UnpackedSize > pRight->m_Files.front()->m_UnpackedSize;
    });
    // As many files side by side as there are workers, their chunks taking turns: each
    // worker then mostly gets the next chunk of a file of its own, which it can decode
    // straight into its place instead of parking it behind the other worker's chunk.
    std::vector<const TChunkToDownload*> Order;
    Order.reserve(BySize.size());
    std::vector<std::pair<std::size_t, std::size_t>> Running; // [begin, end) of a file's run in BySize
    std::size_t Next = 0;
    const auto takeFile = [&BySize, &Next]() {
        const std::size_t Begin = Next;
        while (Next < BySize.size() && BySize[Next]->m_Files.front() == BySize[Begin]->m_Files.front()) {
            ++Next;
        }
        return std::make_pair(Begin, Next);
    };
    while (Order.size() < BySize.size()) {
        while (static_cast<int>(Running.size()) < std::max(Lanes, 1) && Next < BySize.size()) {
            Running.push_back(takeFile());
        }
        for (auto& Run : Running) {
            Order.push_back(BySize[Run.first++]);
        }
        Running.erase(std::remove_if(Running.begin(), Running.end(), [](const auto& Run) { return Run.first == Run.second; }),
                      Running.end());
    }
    return Order;
}

void TPackageFileDownloader::startDownload(const std::vector<TFileToDownload>& Files, const QDir& InstallationDirectory,
                                           ESelfUpdateMode SelfUpdateMode)
{
    m_InstallationDirectory = InstallationDirectory;
    m_RenameMode = SelfUpdateMode;
    const auto pSettings = m_pFilesystemHelper->getSettings();
    m_MaxCachedChunks = pSettings->m_MaxCachedChunks;
    m_ChunkVerification = pSettings->m_ChunkVerification;
    m_BytesReceived.clear();
    m_BytesWritten.clear();
    m_PreviousReceived = 0;
    m_PreviousWritten = 0;

    // one fetch per distinct chunk (by unpacked hash), shared by every file and slot
    QHash<QByteArray, std::size_t> ChunkIndexByHash;
    for (const TFileToDownload& File : Files) {
        if (File.m_ChunksToDownload.empty()) {
            if (File.m_Chunks.empty() && File.m_UnpackedSize == 0) {
                // an empty file has no chunk to bring it into being
                const QString Path = m_pFilesystemHelper->resolvePathInsideDirectory(m_InstallationDirectory, File.m_LocalFile);
                if (QFileInfo(Path).size() != 0 || !QFileInfo::exists(Path)) {
                    m_pFilesystemHelper->writeFileWithDirectory(Path, QByteArray());
                }
            }
            if (File.m_Executable) {
                // complete already (or rebuilt from local pieces): no last chunk will set it
                const QString Path = m_pFilesystemHelper->resolvePathInsideDirectory(m_InstallationDirectory, File.m_LocalFile);
                QFile::setPermissions(Path,
                                      QFile::permissions(Path) | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
            }
            continue;
        }
        auto pState = std::make_shared<TChunkedFileState>();
        pState->m_LocalFile = File.m_LocalFile;
        pState->m_UnpackedSize = File.m_UnpackedSize;
        pState->m_UnpackedHash = File.m_UnpackedHash;
        pState->m_Executable = File.m_Executable;
        pState->m_Patches = File.m_Patches;
        pState->m_Chunks = File.m_Chunks;
        std::uint64_t Offset = 0;
        for (const TChunkInPackage& Chunk : File.m_Chunks) {
            pState->m_Offsets.push_back(Offset);
            Offset += Chunk.m_UnpackedSize;
        }
        for (std::int32_t Position : File.m_ChunksToDownload) {
            if (Position < 0 || static_cast<std::size_t>(Position) >= File.m_Chunks.size()) {
                continue;
            }
            pState->m_SlotsToWrite.push_back(Position);
            const TChunkInPackage& Chunk = File.m_Chunks[static_cast<std::size_t>(Position)];
            ++pState->m_SlotsToWriteByHash[Chunk.m_UnpackedHash];
            auto Found = ChunkIndexByHash.find(Chunk.m_UnpackedHash);
            if (Found == ChunkIndexByHash.end()) {
                Found = ChunkIndexByHash.insert(Chunk.m_UnpackedHash, m_AllChunks.size());
                TChunkToDownload Record;
                Record.m_Chunk = Chunk;
                m_AllChunks.push_back(Record);
                m_PendingChunks.insert(Chunk.m_UnpackedHash, std::make_shared<TPendingChunk>());
            }
            TChunkToDownload& Record = m_AllChunks[Found.value()];
            if (Record.m_Files.empty() || Record.m_Files.back() != pState) {
                Record.m_Files.push_back(pState);
            }
            ++m_PendingChunks[Chunk.m_UnpackedHash]->m_UseCount;
        }
    }
    for (const TChunkToDownload& Record : m_AllChunks) {
        m_OutstandingChunks.emplace(Record.m_Chunk.m_Url, Record);
        m_ChunksAwaitingWriteReport.insert(Record.m_Chunk.m_Url);
    }
    qInfo() << "start download of " << Files.size() << " files Thread: " << QThread::currentThreadId();
    if (m_OutstandingChunks.empty()) {
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
        return;
    }
    m_ProgressTimer.start();
    for (const TChunkToDownload* pRecord : fetchOrder(m_AllChunks, QThreadPool::globalInstance()->maxThreadCount())) {
        requestChunk(pRecord->m_Chunk);
    }
}

void TPackageFileDownloader::requestChunk(const TChunkInPackage& Chunk)
{
    // a body growing past its packed size is aborted on the way, not read whole; without
    // a packed size only the pool's general limit applies
    m_pDownloadPool->download(
        Chunk.m_Url, Chunk.m_PackedSize != 0 ? static_cast<qint64>(Chunk.m_PackedSize) : ::shared::TDownloadPool::kDefaultMaximumBodySize);
}

void TPackageFileDownloader::onDownloadCompleted(QUrl Url, QByteArray Data)
{
    qInfo() << "onDownloadCompleted " << Url << " Thread: " << QThread::currentThreadId();
    const auto Found = m_OutstandingChunks.find(Url);
    if (Found != m_OutstandingChunks.end() && Found->second.m_Chunk.m_PackedSize != 0 &&
        static_cast<std::uint64_t>(Data.size()) != Found->second.m_Chunk.m_PackedSize) {
        // a body cut short (or padded) on the way is a transfer failure, fetched again,
        // not a broken chunk that would end the whole run
        retryOrGiveUp(Url, QStringLiteral("received %1 bytes instead of %2").arg(Data.size()).arg(Found->second.m_Chunk.m_PackedSize),
                      false);
        return;
    }
    processDownloadedData(Url, std::move(Data));
}

template<typename TWork> bool TPackageFileDownloader::guarded(TChunkResult& Result, EStep Step, const TWork& Work)
{
    try {
        Work();
        return true;
    } catch (const std::exception& Error) {
        Result.m_Error = QString::fromUtf8(Error.what());
    } catch (...) {
        Result.m_Error = QStringLiteral("unknown error");
    }
    Result.m_FailedStep = Step;
    return false;
}

void TPackageFileDownloader::processDownloadedData(const QUrl& Url, QByteArray Data)
{
    const auto Found = m_OutstandingChunks.find(Url);
    if (Found == m_OutstandingChunks.end()) {
        m_pDownloadPool->releaseDownload(Url); // a late duplicate
        return;
    }
    const TChunkToDownload& Chunk = Found->second;
    const bool Unpack = Chunk.m_Chunk.m_Unpack;
    qInfo() << (Unpack ? "processDownloadedData decompress " : "processDownloadedData verify ") << Url
            << " Thread: " << QThread::currentThreadId();
    // One task per chunk: decompress, verify and save follow each other on the same
    // worker while the data are still in its cache, without a trip through the event
    // loop between them. The task touches this object only inside the gate (see the
    // destructor): to save, and to post its result, which a destroyed downloader never
    // receives. No future watcher per chunk: each one asks the system for the number of
    // processors, a file read, thousands of times in an installation of small files.
    QThreadPool::globalInstance()->start(
        [this, pGate = m_pWorkerGate, Chunk, pBody = std::make_shared<QByteArray>(std::move(Data)), Unpack, Url] {
            ::shared::runInBackground();
            const TChunkResult Result = processChunk(*pGate, Chunk, *pBody, Unpack);
            if (pGate->enter()) {
                QMetaObject::invokeMethod(
                    this, [this, Url, Result] { onChunkProcessed(Url, Result); }, Qt::QueuedConnection);
                pGate->leave();
            }
        });
}

TPackageFileDownloader::TChunkResult TPackageFileDownloader::processChunk(TWorkerGate& Gate, const TChunkToDownload& Chunk,
                                                                          QByteArray& Body, bool Unpack)
{
    TChunkResult Result;
    const auto TransferFault = [&Result, &Chunk] {
        Result.m_FailedStep = EStep::Decompress;
        Result.m_TransferFault = true;
        Result.m_Error = QStringLiteral("packed hash of %1 does not match").arg(Chunk.m_Chunk.m_Url.toString());
        return Result;
    };
    QByteArray Unpacked;
    std::size_t StoredOffset = 0;
    std::size_t StoredSize = 0;
    const bool Stored = Unpack &&
        ::shared::findStoredPayload(Body.constData(), static_cast<std::size_t>(Body.size()), Chunk.m_Chunk.m_UnpackedSize, StoredOffset,
                                    StoredSize);
    if (Stored) {
        // A stored payload meets no decoder: it is checked where it lies in the body, and its
        // packed hash only when its content is wrong, to tell damage on the way (fetched
        // again) from a payload the publisher packed wrongly. One SHA-256 pass and no copy
        // instead of two passes and a copy.
        qInfo() << "processDownloadedData decompress finished " << Chunk.m_Chunk.m_Url;
        qInfo() << "processDownloadedData verify " << Chunk.m_Chunk.m_Url << " Thread: " << QThread::currentThreadId();
        const QByteArray Payload = QByteArray::fromRawData(Body.constData() + StoredOffset, static_cast<int>(StoredSize));
        if (!guarded(Result, EStep::Verify, [&] { verifyDownloadedData(Chunk.m_Chunk, Payload); })) {
            return packedHashMatches(Chunk.m_Chunk, Body) ? Result : TransferFault();
        }
        // The body is normally the task's own by now, and the payload is moved to its front
        // in place. (A body still shared elsewhere would be copied whole into fresh memory
        // first, which costs more than checking it.)
        Unpacked = std::move(Body);
        Unpacked.remove(0, static_cast<int>(StoredOffset));
        Unpacked.truncate(static_cast<int>(StoredSize));
    } else {
        if (Unpack) {
            // The packed hash tells a body damaged on the way from a payload the publisher
            // packed wrongly: only the first is worth fetching again, and it is never handed
            // to a decoder.
            if (!packedHashMatches(Chunk.m_Chunk, Body)) {
                return TransferFault();
            }
            if (streamIntoPlace(Gate, Chunk, Body, Result)) {
                return Result;
            }
            if (!guarded(Result, EStep::Decompress, [&] { Unpacked = decompressDownloadedData(Chunk.m_Chunk, Body); })) {
                return Result;
            }
            Body.clear(); // the packed body is not needed any more
            qInfo() << "processDownloadedData decompress finished " << Chunk.m_Chunk.m_Url;
            qInfo() << "processDownloadedData verify " << Chunk.m_Chunk.m_Url << " Thread: " << QThread::currentThreadId();
        } else {
            Unpacked = std::move(Body);
        }
        if (!guarded(Result, EStep::Verify, [&] { verifyDownloadedData(Chunk.m_Chunk, Unpacked); })) {
            return Result;
        }
    }
    saveChecked(Gate, Chunk, Result, [&] { saveDownloadedData(Chunk, Unpacked); });
    return Result;
}

bool TPackageFileDownloader::enterGate(TWorkerGate& Gate, TChunkResult& Result)
{
    if (Gate.enter()) {
        return true;
    }
    Result.m_FailedStep = EStep::Save;
    Result.m_Error = QStringLiteral("the downloader was closed");
    return false;
}

template<typename TSave>
void TPackageFileDownloader::saveChecked(TWorkerGate& Gate, const TChunkToDownload& Chunk, TChunkResult& Result, const TSave& Save)
{
    qInfo() << "processDownloadedData verify finished " << Chunk.m_Chunk.m_Url;
    if (!enterGate(Gate, Result)) {
        return;
    }
    qInfo() << "processDownloadedData save " << Chunk.m_Chunk.m_Url << " Thread: " << QThread::currentThreadId();
    guarded(Result, EStep::Save, Save);
    Gate.leave();
}

void TPackageFileDownloader::onChunkProcessed(const QUrl& Url, const TChunkResult& Result)
{
    switch (Result.m_FailedStep) {
    case EStep::Decompress:
        if (Result.m_TransferFault) {
            qWarning() << "Damaged in transfer:" << Url << Result.m_Error;
            retryOrGiveUp(Url, Result.m_Error, false);
            return;
        }
        qWarning() << "Failed to decompress file downloaded from" << Url << Result.m_Error;
        m_pDownloadPool->releaseDownload(Url);
        m_OutstandingChunks.erase(Url);
        m_AtLeastOneDownloadFailed = true;
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
        return;
    case EStep::Verify:
        qWarning() << "Failed to verify file downloaded from" << Url;
        retryOrGiveUp(Url, Result.m_Error, true);
        return;
    case EStep::Save:
    case EStep::None:
        break;
    }
    qInfo() << "processFinishedData: " << Url;
    m_pDownloadPool->releaseDownload(Url);
    if (Result.m_FailedStep == EStep::Save) {
        qWarning() << "Failed to save file downloaded from" << Url << Result.m_Error;
        m_AtLeastOneSavingOperationFailed = true;
    } else {
        qInfo() << "processFinishedData found: " << Url;
    }
    m_OutstandingChunks.erase(Url);
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

void TPackageFileDownloader::onDownloadFailed(QUrl Url, QNetworkReply::NetworkError, QString ErrorString)
{
    qInfo() << "onDownloadFailed " << Url << " Thread: " << QThread::currentThreadId();
    retryOrGiveUp(Url, ErrorString, false);
}

void TPackageFileDownloader::retryOrGiveUp(const QUrl& Url, const QString& Reason, bool Verification)
{
    m_pDownloadPool->releaseDownload(Url);
    const auto Found = m_OutstandingChunks.find(Url);
    if (Found == m_OutstandingChunks.end()) {
        return;
    }
    // at most four fetches per chunk: a CDN edge may drop a transfer now and then
    if (Found->second.m_Retries > 2) {
        if (Verification) {
            qCritical() << "Verify of " << Url << "failed.";
        } else {
            qCritical() << "Download of " << Url << "failed:" << Reason;
        }
        m_OutstandingChunks.erase(Found);
        m_AtLeastOneDownloadFailed = true;
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
        return;
    }
    qInfo() << "Retry " << Url << "after:" << Reason << " Thread: " << QThread::currentThreadId();
    ++Found->second.m_Retries;
    m_BytesReceived.erase(Url);
    requestChunk(Found->second.m_Chunk);
}

void TPackageFileDownloader::emitFinishedSignalWhenNoMoreFilesAreOutstanding()
{
    qInfo() << "emitFinishedSignalWhenNoMoreFilesAreOutstanding ActiveDownloads: " << m_pDownloadPool->getNumberOfActiveDownloads()
            << " FilesInProgress: " << m_OutstandingChunks.size() << " AtLeastOneDownloadFailed "
            << (m_AtLeastOneDownloadFailed ? "true" : "false") << " AtLeastOneSavingOperationFailed "
            << (m_AtLeastOneSavingOperationFailed ? "true" : "false") << " Thread: " << QThread::currentThreadId();
    if (!m_OutstandingChunks.empty() || m_Finished) {
        return;
    }
    m_Finished = true;
    m_PreviousReceived = 0;
    m_PreviousWritten = 0;
    m_ProgressTimer.stop();
    if (m_AtLeastOneDownloadFailed || m_AtLeastOneSavingOperationFailed) {
        writeParkedChunksAfterFailure();
    }
    {
        // whatever is still parked is no longer needed
        QMutexLocker Lock(&m_Mutex);
        m_PendingChunks.clear();
        m_ParkedInMemory = 0;
    }
    emitProgress();
    if (!m_AtLeastOneDownloadFailed && !m_AtLeastOneSavingOperationFailed) {
        emit downloadCompleted();
    } else {
        emit downloadFailed(m_AtLeastOneDownloadFailed ? EPackageDownloaderError::DownloadFailed : EPackageDownloaderError::SavingFailed);
    }
}

void TPackageFileDownloader::writeParkedChunksAfterFailure()
{
    // Chunks that waited behind a chunk that never came are verified data: they go to
    // their places now, so that the next run finds them in the file instead of
    // downloading them again. Nothing runs on the workers any more at this point.
    std::set<TChunkedFileState*> Seen;
    for (const TChunkToDownload& Chunk : m_AllChunks) {
        for (const std::shared_ptr<TChunkedFileState>& pFile : Chunk.m_Files) {
            if (!Seen.insert(pFile.get()).second || !pFile->m_Opened) {
                continue;
            }
            TChunkedFileState& File = *pFile;
            QMutexLocker FileLock(&File.m_Mutex);
            const QString Path = m_pFilesystemHelper->resolvePathInsideDirectory(m_InstallationDirectory, File.m_LocalFile);
            for (int Slot : File.m_SlotsToWrite) {
                const TChunkInPackage& Record = File.m_Chunks[static_cast<std::size_t>(Slot)];
                QByteArray Data;
                {
                    QMutexLocker Lock(&m_Mutex);
                    const auto Found = m_PendingChunks.find(Record.m_UnpackedHash);
                    if (Found == m_PendingChunks.end() || (*Found)->m_State == EPendingChunkState::Empty) {
                        continue;
                    }
                    try {
                        Data = parkedData(**Found, Record);
                    } catch (const std::exception&) {
                        continue;
                    }
                }
                try {
                    writeSlot(File, Path, Slot, Data, " kept after a failure in ", Record.m_Url);
                } catch (const std::exception& Error) {
                    qWarning() << "could not keep a downloaded chunk:" << Error.what();
                }
            }
            File.m_Target.close();
        }
    }
}

bool TPackageFileDownloader::packedHashMatches(const TChunkInPackage& Chunk, const QByteArray& Data)
{
    return Chunk.m_PackedHash.isEmpty() || ::shared::TSha256::hash(Data) == Chunk.m_PackedHash;
}

QByteArray TPackageFileDownloader::decompressDownloadedData(const TChunkInPackage& Chunk, const QByteArray& Data)
{
    qDebug() << "decompressDownloadedData " << Chunk.m_Url << "started";
    // the chunk's size bounds the output: a container declaring more is refused unread
    QByteArray Result = ::shared::decompressBundleData(Data, Chunk.m_UnpackedSize);
    qDebug() << "decompressDownloadedData " << Chunk.m_Url << "finished";
    return Result;
}

QByteArray TPackageFileDownloader::verifyDownloadedData(const TChunkInPackage& Chunk, const QByteArray& Data)
{
    qDebug() << "verifyDownloadedData " << Chunk.m_Url << "started";
    if (::shared::TSha256::hash(Data) != Chunk.m_UnpackedHash) {
        throwVerifyFailure(Chunk);
    }
    qDebug() << "verifyDownloadedData " << Chunk.m_Url << "finished";
    return Data;
}

void TPackageFileDownloader::prepareTarget(TChunkedFileState& File, const QString& Path)
{
    File.m_Opened = true;
    if (File.m_SlotsToWrite.size() == File.m_Chunks.size()) {
        // the whole file comes anew: what lies there goes first
        const QFileInfo Existing(Path);
        if (Existing.isDir() && !Existing.isSymLink()) {
            // never removed with what it holds: a saving failure
            throwIoError(Path, "a directory is in the way");
        } else if (Existing.exists() || Existing.isSymLink()) {
            if (m_RenameMode == ESelfUpdateMode::RenameReplacedFiles) {
                // the launcher replacing itself keeps the old file beside the new one: a
                // running executable may not be deletable, and a failed update restores
                // the old launcher from this copy
                m_pFilesystemHelper->moveReplacing(Path, Path + QStringLiteral(".old"));
                qInfo() << "moved aside to .old:" << Path << " Thread: " << QThread::currentThreadId();
            } else {
                m_pFilesystemHelper->deleteFile(Path);
            }
        }
    }
    const QString Directory = QFileInfo(Path).absolutePath();
    if (!QDir().mkpath(Directory)) {
        throw std::runtime_error(
            QStringLiteral("Failed to create folder: '%1'.").arg(QDir::toNativeSeparators(Directory)).toUtf8().toStdString());
    }
    if (m_ChunkVerification) {
        File.m_VerificationLog.setFileName(Path + QStringLiteral(".log"));
        QFile::remove(File.m_VerificationLog.fileName());
        File.m_VerificationLog.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
    }
}

QByteArray TPackageFileDownloader::parkedData(TPendingChunk& Pending, const TChunkInPackage& Record)
{
    if (Pending.m_State == EPendingChunkState::InMemory) {
        return Pending.m_Data;
    }
    QTemporaryFile& Temporary = *Pending.m_pTemporaryFile;
    if (!Temporary.open()) {
        throwIoError(Temporary.fileName(), "couldn't open chunk file");
    }
    Temporary.seek(0);
    const QByteArray Data = Temporary.readAll();
    Temporary.close();
    if (static_cast<std::uint64_t>(Data.size()) != Record.m_UnpackedSize) {
        throwIoError(Temporary.fileName(), "couldn't read chunk file");
    }
    return Data;
}

void TPackageFileDownloader::checkWrittenChunks(TChunkedFileState& File, int Slot)
{
    // debugging aid: the chunks in front of the write position must still be intact
    for (int Before = 0; Before < Slot; ++Before) {
        const TChunkInPackage& Record = File.m_Chunks[static_cast<std::size_t>(Before)];
        if (std::find(File.m_SlotsToWrite.begin(), File.m_SlotsToWrite.end(), Before) != File.m_SlotsToWrite.end()) {
            continue;
        }
        File.m_Target.seek(static_cast<qint64>(File.m_Offsets[static_cast<std::size_t>(Before)]));
        const QByteArray Old = File.m_Target.read(static_cast<qint64>(Record.m_UnpackedSize));
        if (static_cast<std::uint64_t>(Old.size()) != Record.m_UnpackedSize) {
            throwIoError(File.m_Target.fileName(), "invalid old chunk");
        }
        appendLine(File.m_VerificationLog,
                   QStringLiteral("%1: check %2")
                       .arg(File.m_Offsets[static_cast<std::size_t>(Before)])
                       .arg(::shared::TSha256::hash(Old) == Record.m_UnpackedHash ? "succeeded" : "failed"));
    }
}

void TPackageFileDownloader::writeSlot(TChunkedFileState& File, const QString& Path, int Slot, const QByteArray& Data, const char* Source,
                                       const QUrl& ChunkUrl)
{
    const TChunkInPackage& Record = File.m_Chunks[static_cast<std::size_t>(Slot)];
    openTarget(File, Path);
    if (m_ChunkVerification) {
        checkWrittenChunks(File, Slot);
    }
    const std::uint64_t Offset = File.m_Offsets[static_cast<std::size_t>(Slot)];
    if (!File.m_Target.seek(static_cast<qint64>(Offset)) ||
        static_cast<std::uint64_t>(File.m_Target.write(Data)) != Record.m_UnpackedSize) {
        throwIoError(Path, "couldn't write chunk file");
    }
    if (m_ChunkVerification) {
        appendLine(File.m_VerificationLog,
                   QStringLiteral("%1: write %2")
                       .arg(Offset)
                       .arg(::shared::TSha256::hash(Data) == Record.m_UnpackedHash ? "succeeded" : "failed"));
    }
    reportWritten(Path, Offset, Record, Source, ChunkUrl);
}

void TPackageFileDownloader::reportWritten(const QString& Path, std::uint64_t Offset, const TChunkInPackage& Record, const char* Source,
                                           const QUrl& ChunkUrl)
{
    qInfo() << "saveDownloadedData chunk " << ChunkUrl << Source << QFileInfo(Path).fileName() << " offset: " << Offset
            << " Thread: " << QThread::currentThreadId();
    emit writeProgress(Record.m_Url, Record.m_UnpackedSize);
}

void TPackageFileDownloader::frontSlotWritten(TChunkedFileState& File, const QByteArray& UnpackedHash)
{
    File.m_SlotsToWrite.pop_front();
    --File.m_SlotsToWriteByHash[UnpackedHash];
    releaseUse(UnpackedHash);
}

void TPackageFileDownloader::releaseUse(const QByteArray& UnpackedHash)
{
    QMutexLocker Lock(&m_Mutex);
    const auto Found = m_PendingChunks.find(UnpackedHash);
    if (Found == m_PendingChunks.end()) {
        return;
    }
    TPendingChunk& Pending = **Found;
    if (--Pending.m_UseCount > 0) {
        return;
    }
    // no slot of any file needs these data any more: free the parked copy at once
    if (Pending.m_State == EPendingChunkState::InMemory) {
        --m_ParkedInMemory;
    }
    m_PendingChunks.erase(Found);
}

void TPackageFileDownloader::park(const QByteArray& UnpackedHash, const QByteArray& Data)
{
    QMutexLocker Lock(&m_Mutex);
    const auto Found = m_PendingChunks.find(UnpackedHash);
    if (Found == m_PendingChunks.end()) {
        throw std::runtime_error("couldn't find pending chunk");
    }
    TPendingChunk& Pending = **Found;
    if (Pending.m_State != EPendingChunkState::Empty) {
        return;
    }
    if (m_ParkedInMemory > m_MaxCachedChunks) {
        Pending.m_pTemporaryFile = std::make_unique<QTemporaryFile>();
        if (!Pending.m_pTemporaryFile->open()) {
            throwIoError(Pending.m_pTemporaryFile->fileName(), "couldn't open chunk file");
        }
        if (Pending.m_pTemporaryFile->write(Data) != Data.size() || !Pending.m_pTemporaryFile->flush()) {
            throwIoError(Pending.m_pTemporaryFile->fileName(), "couldn't write chunk file");
        }
        Pending.m_pTemporaryFile->close();
        Pending.m_State = EPendingChunkState::InTemporaryFile;
        qInfo() << "parked chunk in" << Pending.m_pTemporaryFile->fileName() << " Thread: " << QThread::currentThreadId();
    } else {
        ++m_ParkedInMemory;
        Pending.m_Data = Data;
        Pending.m_State = EPendingChunkState::InMemory;
    }
}

void TPackageFileDownloader::saveDownloadedData(const TChunkToDownload& Chunk, const QByteArray& Data)
{
    const QByteArray& Hash = Chunk.m_Chunk.m_UnpackedHash;
    for (const std::shared_ptr<TChunkedFileState>& pFile : Chunk.m_Files) {
        TChunkedFileState& File = *pFile;
        QMutexLocker FileLock(&File.m_Mutex);
        const QString Path = m_pFilesystemHelper->resolvePathInsideDirectory(m_InstallationDirectory, File.m_LocalFile);
        if (!File.m_Opened) {
            prepareTarget(File, Path);
        }
        writeWaitingSlots(File, Path, Hash, &Data, Chunk.m_Chunk.m_Url);
    }
}

void TPackageFileDownloader::writeWaitingSlots(TChunkedFileState& File, const QString& Path, const QByteArray& Hash,
                                               const QByteArray* pData, const QUrl& ChunkUrl)
{
    while (!File.m_SlotsToWrite.empty()) {
        const int Slot = File.m_SlotsToWrite.front();
        const TChunkInPackage& Record = File.m_Chunks[static_cast<std::size_t>(Slot)];
        if (pData && Record.m_UnpackedHash == Hash) {
            writeSlot(File, Path, Slot, *pData, " to ", ChunkUrl);
        } else {
            QByteArray Parked;
            const char* Source = nullptr;
            {
                QMutexLocker Lock(&m_Mutex);
                const auto Found = m_PendingChunks.find(Record.m_UnpackedHash);
                if (Found != m_PendingChunks.end() && (*Found)->m_State != EPendingChunkState::Empty) {
                    Source = (*Found)->m_State == EPendingChunkState::InMemory ? " from cache to " : " from temp file to ";
                    Parked = parkedData(**Found, Record);
                }
            }
            if (!Source) {
                qInfo() << "saveDownloadedData chunk " << Record.m_Url << " not found for " << Path << ". => Wait for chunk"
                        << " Thread: " << QThread::currentThreadId();
                break;
            }
            writeSlot(File, Path, Slot, Parked, Source, Record.m_Url);
        }
        frontSlotWritten(File, Record.m_UnpackedHash);
    }
    if (pData && File.m_SlotsToWriteByHash.value(Hash) > 0) {
        park(Hash, *pData);
    }
    if (File.m_SlotsToWrite.empty()) {
        File.m_Target.close();
        File.m_VerificationLog.close();
        if (File.m_Executable) {
            QFile::setPermissions(Path, QFile::permissions(Path) | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
        }
    }
}

bool TPackageFileDownloader::streamIntoPlace(TWorkerGate& Gate, const TChunkToDownload& Chunk, const QByteArray& Body,
                                             TChunkResult& Result)
{
    // A chunk that is the next piece of the one file that needs it is decoded in pieces
    // that go to their place in the file while they are still in the core's cache, its
    // digest taken on the way: no output buffer as large as the chunk, no second pass
    // over it to check it, no third to write it. Its place is the file's next slot, so no
    // other worker writes into that file until this one is done: later chunks wait parked
    // as they always do. Pieces of a chunk that then fails its check lie in a part of the
    // file that was to be replaced anyway, and are overwritten when it is fetched again;
    // nothing is marked installed before the whole file was checked.
    if (Chunk.m_Files.size() != 1 ||
        !::shared::decodesInPieces(Body.constData(), static_cast<std::size_t>(Body.size()), Chunk.m_Chunk.m_UnpackedSize)) {
        return false;
    }
    TChunkedFileState& File = *Chunk.m_Files.front();
    const QByteArray& Hash = Chunk.m_Chunk.m_UnpackedHash;
    QString Path;
    std::uint64_t Offset = 0;
    int Descriptor = -1;
    if (!enterGate(Gate, Result)) {
        return true;
    }
    bool Claimed = false;
    const bool Opened = guarded(Result, EStep::Save, [&] {
        QMutexLocker FileLock(&File.m_Mutex);
        if (m_ChunkVerification || File.m_SlotsToWrite.empty() || File.m_SlotsToWriteByHash.value(Hash) != 1 ||
            File.m_Chunks[static_cast<std::size_t>(File.m_SlotsToWrite.front())].m_UnpackedHash != Hash) {
            return;
        }
        Path = m_pFilesystemHelper->resolvePathInsideDirectory(m_InstallationDirectory, File.m_LocalFile);
        if (!File.m_Opened) {
            prepareTarget(File, Path);
        }
        openTarget(File, Path);
        Offset = File.m_Offsets[static_cast<std::size_t>(File.m_SlotsToWrite.front())];
        Descriptor = File.m_Target.handle();
        Claimed = true;
    });
    Gate.leave();
    if (!Opened || !Claimed) {
        return !Opened;
    }

    ::shared::TSha256 Digest;
    std::uint64_t Written = 0;
    try {
        ::shared::decodeInPieces(Body.constData(), static_cast<std::size_t>(Body.size()), Chunk.m_Chunk.m_UnpackedSize,
                                 [&](const char* pPiece, std::size_t Size) {
                                     Digest.addData(pPiece, Size);
                                     writeAt(Descriptor, Path, pPiece, Size, Offset + Written);
                                     Written += Size;
                                 });
    } catch (const ::shared::TDecompressionError& Error) {
        Result.m_FailedStep = EStep::Decompress;
        Result.m_Error = QString::fromUtf8(Error.what());
        return true;
    } catch (const std::exception& Error) {
        // only writing throws anything else
        Result.m_FailedStep = EStep::Save;
        Result.m_Error = QString::fromUtf8(Error.what());
        return true;
    }
    qInfo() << "processDownloadedData decompress finished " << Chunk.m_Chunk.m_Url;
    qInfo() << "processDownloadedData verify " << Chunk.m_Chunk.m_Url << " Thread: " << QThread::currentThreadId();
    // a container declaring less than the chunk's size fills only part of its place
    if (!guarded(Result, EStep::Verify, [&] {
            if (Digest.result() != Hash || Written != Chunk.m_Chunk.m_UnpackedSize) {
                throwVerifyFailure(Chunk.m_Chunk);
            }
        })) {
        return true;
    }
    saveChecked(Gate, Chunk, Result, [&] {
        QMutexLocker FileLock(&File.m_Mutex);
        reportWritten(Path, Offset, Chunk.m_Chunk, " to ", Chunk.m_Chunk.m_Url);
        frontSlotWritten(File, Hash);
        // the chunks that waited for this one follow it now
        writeWaitingSlots(File, Path, Hash, nullptr, Chunk.m_Chunk.m_Url);
    });
    return true;
}

void TPackageFileDownloader::onDownloadProgress(QUrl Url, qlonglong DownloadedBytes)
{
    if (m_OutstandingChunks.count(Url)) {
        m_BytesReceived[Url] = static_cast<TFileSize>(DownloadedBytes);
    }
}

void TPackageFileDownloader::onWriteProgress(QUrl Url, TFileSize DownloadedBytes)
{
    if (m_ChunksAwaitingWriteReport.erase(Url) > 0) {
        m_BytesWritten[Url] = DownloadedBytes;
    }
}

void TPackageFileDownloader::onProgressTick()
{
    emitProgress();
}

void TPackageFileDownloader::emitProgress()
{
    TFileSize Received = 0;
    TFileSize Written = 0;
    TFileSize TotalPacked = 0;
    TFileSize TotalUnpacked = 0;
    for (const auto& Entry : m_BytesReceived) {
        Received += Entry.second;
    }
    for (const auto& Entry : m_BytesWritten) {
        Written += Entry.second;
    }
    for (const TChunkToDownload& Chunk : m_AllChunks) {
        TotalPacked += Chunk.m_Chunk.m_PackedSize;
        TotalUnpacked += Chunk.m_Chunk.m_UnpackedSize;
    }
    if (m_Finished && !m_AtLeastOneDownloadFailed) {
        // finished: every received count is the whole packed chunk
        Received = std::max(Received, TotalPacked);
    }
    if (m_ProgressTimer.isActive()) {
        m_ReceivedAverage.addSample(Received >= m_PreviousReceived ? Received - m_PreviousReceived : 0);
        m_WrittenAverage.addSample(Written >= m_PreviousWritten ? Written - m_PreviousWritten : 0);
        m_PreviousReceived = Received;
        m_PreviousWritten = Written;
    }
    emit progress(Received, TotalPacked, Written, TotalUnpacked);
}

} // namespace zarvo::launcher
