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

QString chunkFileName(const QByteArray& UnpackedHash)
{
    return QString::fromLatin1(UnpackedHash.toHex()) + QStringLiteral(".bin");
}

TChunkPipeline::TChunkPipeline(ECodec Codec, int Threads, std::atomic<bool>& Stop, TPackProgress& Progress)
    : m_Codec(Codec)
    , m_Threads(Threads < 1 ? 1 : Threads)
    , m_Stop(Stop)
    , m_Progress(Progress)
{
}

TPackedDocument TChunkPipeline::run(const std::vector<TSourceFile>& Files, const QString& ChunkDirectory)
{
    TPackedDocument Document;
    // Guards the queue, the chunk records (workers fill in the packed side) and Failure.
    std::mutex Mutex;
    std::condition_variable QueueChanged;
    std::deque<TJob> Queue;
    // Chunks waiting for a worker; with one in each worker and one being read, at most
    // 2 * threads + 1 chunks (16 MiB each at most) are in memory.
    const std::size_t QueueCapacity = static_cast<std::size_t>(m_Threads);
    bool Closed = false;
    QString Failure;

    const auto fail = [&](const QString& Message) {
        std::lock_guard<std::mutex> Lock(Mutex);
        if (Failure.isEmpty()) {
            Failure = Message;
        }
        m_Stop = true;
        QueueChanged.notify_all();
    };

    const auto work = [&] {
        for (;;) {
            TJob Job;
            {
                std::unique_lock<std::mutex> Lock(Mutex);
                while (Queue.empty() && !Closed && !m_Stop) {
                    QueueChanged.wait_for(Lock, kStopPollInterval);
                }
                if (m_Stop || Queue.empty()) {
                    return;
                }
                Job = std::move(Queue.front());
                Queue.pop_front();
            }
            QueueChanged.notify_all();
            try {
                const auto Size = static_cast<std::size_t>(Job.m_Data.size());
                TPackedChunk Packed = packChunk(m_Codec, reinterpret_cast<const unsigned char*>(Job.m_Data.constData()), Size, &m_Stop);
                Job.m_Data = QByteArray();
                const QByteArray PackedHash = shared::TSha256::hash(Packed.m_Container);
                writeChunkFile(Job.m_Path, Packed.m_Container, PackedHash);
                const auto PackedSize = static_cast<std::uint64_t>(Packed.m_Container.size());
                {
                    std::lock_guard<std::mutex> Lock(Mutex);
                    TChunkRecord& Record = Document.m_Chunks[static_cast<std::size_t>(Job.m_Index)];
                    Record.m_PackedHash = PackedHash;
                    Record.m_PackedSize = PackedSize;
                    Record.m_Algorithm = Packed.m_Algorithm;
                }
                m_Progress.bytesDone(Size, PackedSize);
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
    };

    std::vector<std::thread> Workers;
    const auto finish = [&] {
        {
            std::lock_guard<std::mutex> Lock(Mutex);
            Closed = true;
        }
        QueueChanged.notify_all();
        for (std::thread& Worker : Workers) {
            Worker.join();
        }
        Workers.clear();
    };
    for (int Index = 0; Index < m_Threads; ++Index) {
        Workers.emplace_back(work);
    }

    try {
        // Chunk positions are handed out in reading order (files in the given order,
        // pieces in file order), never in the order in which workers finish.
        QHash<QByteArray, int> Known;
        for (const TSourceFile& Source : Files) {
            TFileRecord File;
            File.m_LocalFile = Source.m_LocalFile;
            File.m_Executable = Source.m_Executable;
            shared::TSha256 WholeFile;
            const bool Read = shared::chunkFile(Source.m_Path, [&](const unsigned char* Piece, std::size_t Length, std::uint64_t) {
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
                {
                    std::unique_lock<std::mutex> Lock(Mutex);
                    while (Queue.size() >= QueueCapacity && !m_Stop) {
                        QueueChanged.wait_for(Lock, kStopPollInterval);
                    }
                    if (m_Stop) {
                        return false;
                    }
                }
                TJob Job;
                Job.m_Data = QByteArray(reinterpret_cast<const char*>(Piece), static_cast<int>(Length));
                Job.m_Path = ChunkDirectory + QLatin1Char('/') + chunkFileName(Hash);
                {
                    std::lock_guard<std::mutex> Lock(Mutex);
                    Job.m_Index = static_cast<int>(Document.m_Chunks.size());
                    TChunkRecord Record;
                    Record.m_UnpackedHash = Hash;
                    Record.m_UnpackedSize = Length;
                    Document.m_Chunks.push_back(Record);
                    Known.insert(Hash, Job.m_Index);
                    File.m_Chunks.push_back(Job.m_Index);
                    Queue.push_back(std::move(Job));
                }
                QueueChanged.notify_all();
                return true;
            });
            if (m_Stop) {
                break;
            }
            if (!Read) {
                fail(QStringLiteral("cannot read '%1'").arg(Source.m_Path));
                break;
            }
            File.m_Hash = WholeFile.result();
            Document.m_Files.push_back(std::move(File));
            m_Progress.fileRead();
        }
    } catch (const std::bad_alloc&) {
        fail(QStringLiteral("out of memory while reading the files"));
    }
    finish();

    if (!Failure.isEmpty()) {
        throw std::runtime_error(Failure.toStdString());
    }
    if (m_Stop) {
        throw TPackCancelled();
    }
    return Document;
}

} // namespace zarvo::pack
