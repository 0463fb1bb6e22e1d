#pragma once

// Turns a list of files into the chunks of one document: reads each file once, cuts it
// with the launcher's content-defined chunking, and compresses every chunk not seen
// before on worker threads into CHUNK_DIR/<unpacked hash>.bin.

#include "ChunkCodec.h"
#include "ContentDefinedChunker.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <atomic>
#include <cstdint>
#include <vector>

namespace zarvo::pack {

class TPackProgress;
class TCompressionWorkers;

struct TSourceFile {
    QString m_LocalFile; // relative to the installation directory, '/' separated
    QString m_Path; // where it is read from
    std::uint64_t m_ListedSize = 0;
    bool m_Executable = false;
};

struct TChunkRecord {
    QByteArray m_UnpackedHash; // 32 bytes
    std::uint64_t m_UnpackedSize = 0;
    QByteArray m_PackedHash; // of the chunk file's bytes
    std::uint64_t m_PackedSize = 0;
    int m_Algorithm = 0;
};

struct TFileRecord {
    QString m_LocalFile;
    bool m_Executable = false;
    std::uint64_t m_Size = 0; // as read
    QByteArray m_Hash; // SHA-256 of the bytes read
    std::vector<int> m_Chunks; // positions in the document's chunk list, in file order
};

struct TPackedDocument {
    std::vector<TFileRecord> m_Files; // in the order given
    std::vector<TChunkRecord> m_Chunks; // in order of first use; each distinct chunk once
};

// The file name of a chunk below the chunk directory: its unpacked hash in lower-case hex.
QString chunkFileName(const QByteArray& UnpackedHash);

class TChunkPipeline {
public:
    // Stop is polled throughout; setting it (a signal, or a failing worker) ends the run.
    // Files are cut with Chunking.
    TChunkPipeline(ECodec Codec, int Threads, std::atomic<bool>& Stop, TPackProgress& Progress,
                   const shared::TChunkingParameters& Chunking = shared::TChunkingParameters::defaults());

    // Packs Files in order. The result is the same whatever the number of threads. Throws
    // std::runtime_error with a message for the user when a file cannot be read or a chunk
    // cannot be written, and TPackCancelled when Stop was set from outside. Chunk files
    // already written stay (each is complete: written under a temporary name and renamed).
    TPackedDocument run(const std::vector<TSourceFile>& Files, const QString& ChunkDirectory);

private:
    // Cuts one file, queues each chunk not seen before (Known: digest to position) and
    // fills in File. False when the file cannot be read.
    bool readFile(const TSourceFile& Source, const QString& ChunkDirectory, QHash<QByteArray, int>& Known, TCompressionWorkers& Workers,
                  TFileRecord& File);

    ECodec m_Codec;
    int m_Threads;
    std::atomic<bool>& m_Stop;
    TPackProgress& m_Progress;
    shared::TChunkingParameters m_Chunking;
};

} // namespace zarvo::pack
