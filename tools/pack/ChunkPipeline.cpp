#include "ChunkPipeline.h"

#include "ContentDefinedChunker.h"
#include "PackProgress.h"
#include "Sha256.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace zarvo::pack {

namespace {

constexpr auto kStopPollInterval = std::chrono::milliseconds(100);

// True when Path already holds exactly these bytes (a chunk from an earlier run with the
// same codec): leaving it alone keeps its time stamp, so mirroring tools skip it.
bool holdsSameBytes(const QString& Path, const QByteArray& Bytes, const QByteArray& Hash)
{
    const QFileInfo Info(Path);
    if (!Info.isFile() || Info.size() != Bytes.size()) {
        return false;
    }
    QFile File(Path);
    if (!File.open(QIODevice::ReadOnly)) {
        return false;
    }
    return shared::TSha256::hash(File.readAll()) == Hash;
}

// Writes under a temporary name in the same directory and renames, so that a chunk file
// is either complete or absent.
void writeChunkFile(const QString& Path, const QByteArray& Bytes, const QByteArray& Hash)
{
    if (holdsSameBytes(Path, Bytes, Hash)) {
        return;
    }
    const QFileInfo Info(Path);
    const QString Temporary =
        Info.absolutePath() + QStringLiteral("/.") + Info.fileName() + QStringLiteral(".%1.tmp").arg(QCoreApplication::applicationPid());
    QFile File(Temporary);
    if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        throw std::runtime_error(QStringLiteral("cannot write '%1': %2").arg(Temporary, File.errorString()).toStdString());
    }
    const bool Written = File.write(Bytes) == Bytes.size() && File.flush();
    const QString Error = File.errorString();
    File.close();
    if (!Written || File.error() != QFileDevice::NoError) {
        QFile::remove(Temporary);
        throw std::runtime_error(QStringLiteral("cannot write '%1': %2").arg(Temporary, Error).toStdString());
    }
    if (std::rename(QFile::encodeName(Temporary).constData(), QFile::encodeName(Path).constData()) != 0) {
        QFile::remove(Temporary);
        throw std::runtime_error(QStringLiteral("cannot rename '%1' to '%2'").arg(Temporary, Path).toStdString());
    }
}

struct TJob {
    int m_Index = 0;
    QByteArray m_Data;
    QString m_Path;
};

} // namespace

// The compressing side of one run: a short queue of new chunks and the threads that pack
// them into chunk files and fill in the packed side of their records.
class TCompressionWorkers {
public:
    TCompressionWorkers(ECodec Codec, int Threads, std::atomic<bool>& Stop, TPackProgress& Progress, TPackedDocument& Document)
        : m_Codec(Codec)
        , m_QueueCapacity(static_cast<std::size_t>(Threads))
        , m_Stop(Stop)
        , m_Progress(Progress)
        , m_Document(Document)
    {
        for (int Index = 0; Index < Threads; ++Index) {
            m_Workers.emplace_back([this] { work(); });
        }
    }
    ~TCompressionWorkers() { finish(); }
    TCompressionWorkers(const TCompressionWorkers&) = delete;
    TCompressionWorkers& operator=(const TCompressionWorkers&) = delete;

    // Waits until the queue has room; false when the run is stopping. With one chunk in
    // each worker and one being read, at most 2 * threads + 1 chunks are in memory.
    bool waitForRoom()
    {
        std::unique_lock<std::mutex> Lock(m_Mutex);
        while (m_Queue.size() >= m_QueueCapacity && !m_Stop) {
            m_QueueChanged.wait_for(Lock, kStopPollInterval);
        }
        return !m_Stop;
    }

    // Adds the record of a chunk not seen before to the document and queues its bytes;
    // returns its position in the document's chunk list.
    int add(const QByteArray& Hash, const unsigned char* Piece, std::size_t Length, const QString& Path)
    {
        TJob Job;
        Job.m_Data = QByteArray(reinterpret_cast<const char*>(Piece), static_cast<int>(Length));
        Job.m_Path = Path;
        int Index = 0;
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            Index = static_cast<int>(m_Document.m_Chunks.size());
            Job.m_Index = Index;
            TChunkRecord Record;
            Record.m_UnpackedHash = Hash;
            Record.m_UnpackedSize = Length;
            m_Document.m_Chunks.push_back(Record);
            m_Queue.push_back(std::move(Job));
        }
        m_QueueChanged.notify_all();
        return Index;
    }

    // Keeps the first failure and stops the run.
    void fail(const QString& Message)
    {
        std::lock_guard<std::mutex> Lock(m_Mutex);
        if (m_Failure.isEmpty()) {
            m_Failure = Message;
        }
        m_Stop = true;
        m_QueueChanged.notify_all();
    }

    // Lets the workers empty the queue (unless the run stops) and waits for them.
    void finish()
    {
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            m_Closed = true;
        }
        m_QueueChanged.notify_all();
        for (std::thread& Worker : m_Workers) {
            Worker.join();
        }
        m_Workers.clear();
    }

    QString failure() const { return m_Failure; }

private:
    // Takes the next job; false when there is none and none will come, or the run stops.
    bool takeJob(TJob& Job)
    {
        std::unique_lock<std::mutex> Lock(m_Mutex);
        while (m_Queue.empty() && !m_Closed && !m_Stop) {
            m_QueueChanged.wait_for(Lock, kStopPollInterval);
        }
        if (m_Stop || m_Queue.empty()) {
            return false;
        }
        Job = std::move(m_Queue.front());
        m_Queue.pop_front();
        return true;
    }

    void compress(TJob& Job)
    {
        const auto Size = static_cast<std::size_t>(Job.m_Data.size());
        TPackedChunk Packed = packChunk(m_Codec, reinterpret_cast<const unsigned char*>(Job.m_Data.constData()), Size, &m_Stop);
        Job.m_Data = QByteArray();
        const QByteArray PackedHash = shared::TSha256::hash(Packed.m_Container);
        writeChunkFile(Job.m_Path, Packed.m_Container, PackedHash);
        const auto PackedSize = static_cast<std::uint64_t>(Packed.m_Container.size());
        {
            std::lock_guard<std::mutex> Lock(m_Mutex);
            TChunkRecord& Record = m_Document.m_Chunks[static_cast<std::size_t>(Job.m_Index)];
            Record.m_PackedHash = PackedHash;
            Record.m_PackedSize = PackedSize;
            Record.m_Algorithm = Packed.m_Algorithm;
        }
        m_Progress.bytesDone(Size, PackedSize);
    }

    void work()
    {
        TJob Job;
        while (takeJob(Job)) {
            m_QueueChanged.notify_all();
            try {
                compress(Job);
            } catch (const TPackCancelled&) {
                return;
            } catch (const std::bad_alloc&) {
                fail(QStringLiteral("out of memory while compressing a chunk (try fewer --threads)"));
                return;
            } catch (const std::exception& Error) {
                fail(QString::fromUtf8(Error.what()));
                return;
            }
        }
    }

    const ECodec m_Codec;
    const std::size_t m_QueueCapacity;
    std::atomic<bool>& m_Stop;
    TPackProgress& m_Progress;
    // Guards the queue, the document's chunk records (workers fill in the packed side
    // while the reading side appends) and the failure.
    std::mutex m_Mutex;
    std::condition_variable m_QueueChanged;
    std::deque<TJob> m_Queue;
    bool m_Closed = false;
    QString m_Failure;
    TPackedDocument& m_Document;
    std::vector<std::thread> m_Workers;
};

QString chunkFileName(const QByteArray& UnpackedHash)
{
    return QString::fromLatin1(UnpackedHash.toHex()) + QStringLiteral(".bin");
}

TChunkPipeline::TChunkPipeline(ECodec Codec, int Threads, std::atomic<bool>& Stop, TPackProgress& Progress,
                               const shared::TChunkingParameters& Chunking)
    : m_Codec(Codec)
    , m_Threads(Threads < 1 ? 1 : Threads)
    , m_Stop(Stop)
    , m_Progress(Progress)
    , m_Chunking(Chunking)
{
}

bool TChunkPipeline::readFile(const TSourceFile& Source, const QString& ChunkDirectory, QHash<QByteArray, int>& Known,
                              TCompressionWorkers& Workers, TFileRecord& File)
{
    File.m_LocalFile = Source.m_LocalFile;
    File.m_Executable = Source.m_Executable;
    shared::TSha256 WholeFile;
    const bool Read = shared::chunkFile(
        Source.m_Path,
        [&](const unsigned char* Piece, std::size_t Length, std::uint64_t) {
            if (m_Stop) {
                return false;
            }
            WholeFile.addData(Piece, Length);
            File.m_Size += Length;
            const QByteArray Hash = shared::TSha256::hash(Piece, Length);
            const auto Found = Known.constFind(Hash);
            if (Found != Known.constEnd()) {
                File.m_Chunks.push_back(Found.value());
                m_Progress.bytesDone(Length, 0);
                return true;
            }
            if (!Workers.waitForRoom()) {
                return false;
            }
            const int Index = Workers.add(Hash, Piece, Length, ChunkDirectory + QLatin1Char('/') + chunkFileName(Hash));
            Known.insert(Hash, Index);
            File.m_Chunks.push_back(Index);
            return true;
        },
        m_Chunking);
    File.m_Hash = WholeFile.result();
    return Read;
}

TPackedDocument TChunkPipeline::run(const std::vector<TSourceFile>& Files, const QString& ChunkDirectory)
{
    TPackedDocument Document;
    TCompressionWorkers Workers(m_Codec, m_Threads, m_Stop, m_Progress, Document);
    try {
        // Chunk positions are handed out in reading order (files in the given order,
        // pieces in file order), never in the order in which workers finish.
        QHash<QByteArray, int> Known;
        for (const TSourceFile& Source : Files) {
            TFileRecord File;
            const bool Read = readFile(Source, ChunkDirectory, Known, Workers, File);
            if (m_Stop) {
                break;
            }
            if (!Read) {
                Workers.fail(QStringLiteral("cannot read '%1'").arg(Source.m_Path));
                break;
            }
            Document.m_Files.push_back(std::move(File));
            m_Progress.fileRead();
        }
    } catch (const std::bad_alloc&) {
        Workers.fail(QStringLiteral("out of memory while reading the files"));
    }
    Workers.finish();

    if (!Workers.failure().isEmpty()) {
        throw std::runtime_error(Workers.failure().toStdString());
    }
    if (m_Stop) {
        throw TPackCancelled();
    }
    return Document;
}

} // namespace zarvo::pack
