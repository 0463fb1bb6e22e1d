#pragma once

// Builds small packages for tests: chunk payloads in the bundle container (stored or
// LZMA-free "stored" form), their records, and the files made of them.

#include "ContainerBytes.h"
#include "Sha256.h"
#include "TPackageDifference.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>

namespace testsupport {

// The bytes in a stored (algorithm 0) container with the usual zero padding.
inline QByteArray storedContainer(const QByteArray& Data)
{
    return containerBytes(0, quint64(Data.size()), Data, 16);
}

// Deterministic bytes that do not repeat within a chunk.
inline QByteArray patternBytes(int Size, quint32 Seed)
{
    QByteArray Data(Size, Qt::Uninitialized);
    quint32 State = Seed * 2654435761u + 1;
    for (int Index = 0; Index < Size; ++Index) {
        State = State * 1664525u + 1013904223u;
        Data[Index] = char(State >> 24);
    }
    return Data;
}

struct TServedChunk {
    zarvo::launcher::TChunkInPackage m_Record;
    QByteArray m_Body; // as served
};

// A chunk served at BaseUrl + Path holding Data (stored container unless Raw).
inline TServedChunk makeChunk(const QUrl& Url, const QByteArray& Data, bool Raw = false)
{
    TServedChunk Chunk;
    Chunk.m_Body = Raw ? Data : storedContainer(Data);
    Chunk.m_Record.m_Url = Url;
    Chunk.m_Record.m_PackedSize = quint64(Chunk.m_Body.size());
    Chunk.m_Record.m_PackedHash = shared::TSha256::hash(Chunk.m_Body);
    Chunk.m_Record.m_UnpackedSize = quint64(Data.size());
    Chunk.m_Record.m_UnpackedHash = shared::TSha256::hash(Data);
    Chunk.m_Record.m_Unpack = !Raw;
    return Chunk;
}

// A file made of the given chunks, all of them still to download.
inline zarvo::launcher::TFileToDownload makeFile(const QString& LocalFile, const QVector<TServedChunk>& Chunks, const QByteArray& Content,
                                                 bool Executable = false)
{
    zarvo::launcher::TFileToDownload File;
    File.m_LocalFile = LocalFile;
    File.m_UnpackedSize = quint64(Content.size());
    File.m_UnpackedHash = shared::TSha256::hash(Content);
    File.m_Executable = Executable;
    for (int Index = 0; Index < Chunks.size(); ++Index) {
        File.m_Chunks.push_back(Chunks[Index].m_Record);
        File.m_ChunksToDownload.push_back(Index);
    }
    return File;
}

} // namespace testsupport
