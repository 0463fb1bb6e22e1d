#pragma once

#include "TLauncherFilesystemHelper.h"
#include "TPackageDifference.h"
#include "TUrlHash.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QNetworkReply>
#include <QObject>
#include <QTemporaryFile>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace shared {
class TDownloadPool;
}

namespace zarvo::launcher {

using TFileSize = std::uint64_t;

enum class EPackageDownloaderError : std::int32_t {
    NoError = 0,
    DownloadFailed = 1,
    SavingFailed = 2,
    VerificationFailed = 3,
    // set by the installation job: the download would not fit on the disk
    NotEnoughDiskSpace = 4,
};

// How an installation treats files it replaces. The launcher updating itself cannot
// delete its running executable, and keeps every replaced file as "<name>.old" so that a
// failed update can put the old launcher back.
enum class ESelfUpdateMode : std::int32_t {
    Off = 0,
    RenameReplacedFiles = 1,
};

// One file being assembled; shared by the chunks it contains.
struct TChunkedFileState {
    QString m_LocalFile;
    std::uint64_t m_UnpackedSize = 0;
    QByteArray m_UnpackedHash;
    bool m_Executable = false;
    std::vector<TPatchInPackage> m_Patches;
    std::vector<TChunkInPackage> m_Chunks;
    std::vector<std::uint64_t> m_Offsets; // where each chunk starts in the file
    QMutex m_Mutex;
    std::list<int> m_SlotsToWrite; // positions in m_Chunks still to write, in file order
    // how many of those hold each digest: a file of tens of thousands of chunks would
    // otherwise be searched once per arriving chunk
    QHash<QByteArray, int> m_SlotsToWriteByHash;
    bool m_Opened = false;
    QFile m_Target;
    QFile m_VerificationLog; // only with chunk verification on
};

// One distinct chunk to fetch and every file that contains it.
struct TChunkToDownload {
    TChunkInPackage m_Chunk;
    std::vector<std::shared_ptr<TChunkedFileState>> m_Files;
    std::int32_t m_Retries = 0;
};

// Where a pending chunk's data are.
enum class EPendingChunkState : std::int32_t {
    Empty = 0,
    InMemory = 1,
    InTemporaryFile = 2,
};

// A chunk's data kept for file slots that could not be written when it arrived.
struct TPendingChunk {
    // slots (in all files) that still need these data; the copy goes when it reaches 0
    std::int32_t m_UseCount = 0;
    QByteArray m_Data;
    std::unique_ptr<QTemporaryFile> m_pTemporaryFile;
    EPendingChunkState m_State = EPendingChunkState::Empty;
};

// Lets a worker task find out, without touching the downloader, whether the downloader
// still exists, and lets the downloader wait (for a bounded time) for the workers that use
// it. Shared by the downloader and every task it starts.
class TWorkerGate final {
public:
    // False once the downloader is closing: the worker must not use it then.
    bool enter();
    void leave();
    // Turns away every later enter() and waits at most GraceMs for the workers inside;
    // returns whether none is left inside.
    bool close(int GraceMs);

private:
    std::atomic<int> m_Inside {0};
    std::atomic<bool> m_Closing {false};
};

// A running average of per-tick byte counts.
struct TRunningAverage {
    std::uint64_t m_Count = 0;
    std::uint64_t m_Smallest = 0;
    std::uint64_t m_Largest = 0;
    double m_Mean = 0.0;
    void addSample(std::uint64_t Sample);
};

// Turns chunks into files: fetches each distinct chunk once through the package pool,
// decompresses, checks and writes it on the thread pool into every file that holds it,
// strictly in file order (early chunks wait in memory or, past "maxCachedChunks", in
// temporary files), retries failed transfers and reports one end signal.
class TPackageFileDownloader final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(TPackageFileDownloader)
public:
    TPackageFileDownloader(std::shared_ptr<::shared::TDownloadPool> pDownloadPool,
                           std::shared_ptr<TLauncherFilesystemHelper> pFilesystemHelper, const QString& InstallationDirectory);
    ~TPackageFileDownloader() override;

    // Starts the run. In self-update mode a file that cannot be deleted is renamed to ".old".
    void startDownload(const std::vector<TFileToDownload>& Files, const QDir& InstallationDirectory, ESelfUpdateMode SelfUpdateMode);

    const TRunningAverage& receivedAverage() const { return m_ReceivedAverage; }
    const TRunningAverage& writtenAverage() const { return m_WrittenAverage; }
    int parkedInMemory() const;

    // How long the destructor waits for a save step still running on a worker before it
    // gives up (the process is ending then; see TLauncherApplication).
    static constexpr int kWorkerGraceMs = 2000;

    // The per-chunk steps, also used by tests and tools. The first two use nothing of
    // the downloader and may outlive it on a worker thread.
    static QByteArray decompressDownloadedData(const TChunkInPackage& Chunk, const QByteArray& Data);
    static QByteArray verifyDownloadedData(const TChunkInPackage& Chunk, const QByteArray& Data);
    // True when the chunk has no packed hash or the body's SHA-256 equals it.
    static bool packedHashMatches(const TChunkInPackage& Chunk, const QByteArray& Data);
    void saveDownloadedData(const TChunkToDownload& Chunk, const QByteArray& Data);
    // The order in which the chunks are asked for, Lanes files at a time.
    static std::vector<const TChunkToDownload*> fetchOrder(const std::vector<TChunkToDownload>& Chunks, int Lanes);

signals:
    void downloadCompleted();
    void writeProgress(QUrl Url, zarvo::launcher::TFileSize DownloadedBytes);
    void progress(zarvo::launcher::TFileSize BytesDownloaded, zarvo::launcher::TFileSize BytesTotalToDownload,
                  zarvo::launcher::TFileSize BytesWritten, zarvo::launcher::TFileSize BytesTotalToWrite);
    void downloadFailed(zarvo::launcher::EPackageDownloaderError ErrorReason);

public slots:
    void onDownloadCompleted(QUrl Url, QByteArray Data);
    void onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);
    void onDownloadProgress(QUrl Url, qlonglong DownloadedBytes);
    void onWriteProgress(QUrl Url, zarvo::launcher::TFileSize DownloadedBytes);
    void onProgressTick();

private:
    enum class EStep { None, Decompress, Verify, Save };
    // What a worker did with one chunk, reported back to the event-loop thread.
    struct TChunkResult {
        EStep m_FailedStep = EStep::None;
        // the body is not what the publisher packed (packed hash): fetch it again
        bool m_TransferFault = false;
        QString m_Error;
    };

    void processDownloadedData(const QUrl& Url, QByteArray Data);
    template<typename TWork> static bool guarded(TChunkResult& Result, EStep Step, const TWork& Work);
    // decompress, verify and save one chunk, on a worker thread
    TChunkResult processChunk(TWorkerGate& Gate, const TChunkToDownload& Chunk, QByteArray& Body, bool Unpack);
    // Decodes, checks and writes a chunk that is the next slot of its only file in one
    // pass over cache-sized pieces; false (nothing done) when the chunk is not such a one.
    bool streamIntoPlace(TWorkerGate& Gate, const TChunkToDownload& Chunk, const QByteArray& Body, TChunkResult& Result);
    // The steps after a chunk's check: Save runs inside the worker gate, as a save step.
    // Enters the worker gate; a closed one fails Result's save step.
    static bool enterGate(TWorkerGate& Gate, TChunkResult& Result);
    template<typename TSave> void saveChecked(TWorkerGate& Gate, const TChunkToDownload& Chunk, TChunkResult& Result, const TSave& Save);
    void onChunkProcessed(const QUrl& Url, const TChunkResult& Result);
    void retryOrGiveUp(const QUrl& Url, const QString& Reason, bool Verification);
    void requestChunk(const TChunkInPackage& Chunk);
    void emitFinishedSignalWhenNoMoreFilesAreOutstanding();
    void writeParkedChunksAfterFailure();
    void emitProgress();

    void prepareTarget(TChunkedFileState& File, const QString& Path);
    QByteArray parkedData(TPendingChunk& Pending, const TChunkInPackage& Record);
    void writeSlot(TChunkedFileState& File, const QString& Path, int Slot, const QByteArray& Data, const char* Source,
                   const QUrl& ChunkUrl);
    // The log line and the progress of a chunk written at Offset of Path.
    void reportWritten(const QString& Path, std::uint64_t Offset, const TChunkInPackage& Record, const char* Source,
                       const QUrl& ChunkUrl);
    // Writes the file's slots in order for as long as their data are at hand: Hash's from
    // pData (when given), others parked; parks pData when Hash is needed later in the
    // file; closes the file when nothing is left to write. Under the file's mutex.
    void writeWaitingSlots(TChunkedFileState& File, const QString& Path, const QByteArray& Hash, const QByteArray* pData,
                           const QUrl& ChunkUrl);
    // The file's first slot to write (holding UnpackedHash) is written. Under the file's mutex.
    void frontSlotWritten(TChunkedFileState& File, const QByteArray& UnpackedHash);
    void releaseUse(const QByteArray& UnpackedHash);
    void park(const QByteArray& UnpackedHash, const QByteArray& Data);
    void checkWrittenChunks(TChunkedFileState& File, int Slot);

    std::shared_ptr<::shared::TDownloadPool> m_pDownloadPool;
    std::shared_ptr<TLauncherFilesystemHelper> m_pFilesystemHelper;
    QDir m_InstallationDirectory;
    bool m_AtLeastOneDownloadFailed = false;
    bool m_AtLeastOneSavingOperationFailed = false;
    ESelfUpdateMode m_RenameMode = ESelfUpdateMode::Off;
    bool m_Finished = false;
    std::vector<TChunkToDownload> m_AllChunks;
    std::unordered_map<QUrl, TChunkToDownload, ::shared::TUrlHash> m_OutstandingChunks;
    std::unordered_set<QUrl, ::shared::TUrlHash> m_ChunksAwaitingWriteReport;
    std::unordered_map<QUrl, TFileSize, ::shared::TUrlHash> m_BytesReceived;
    std::unordered_map<QUrl, TFileSize, ::shared::TUrlHash> m_BytesWritten;
    QTimer m_ProgressTimer;
    TFileSize m_PreviousReceived = 0;
    TFileSize m_PreviousWritten = 0;
    TRunningAverage m_ReceivedAverage;
    TRunningAverage m_WrittenAverage;
    mutable QMutex m_Mutex;
    QMap<QByteArray, std::shared_ptr<TPendingChunk>> m_PendingChunks;
    std::int32_t m_ParkedInMemory = 0;
    std::int32_t m_MaxCachedChunks = 100;
    bool m_ChunkVerification = false;
    // save steps running on workers (they use this object)
    std::shared_ptr<TWorkerGate> m_pWorkerGate = std::make_shared<TWorkerGate>();
};

} // namespace zarvo::launcher

Q_DECLARE_METATYPE(zarvo::launcher::EPackageDownloaderError)
