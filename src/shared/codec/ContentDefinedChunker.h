#pragma once

// Content-defined chunking of large files: cuts a file into pieces whose boundaries
// follow the content, so that a piece that moved inside a file is still recognised by
// its SHA-256. The publisher's packaging tool cuts with this code and the launcher scans
// local files with it; the servers' chunk hashes depend on every boundary, so the
// constants and the gear table below must never change.

#include <QByteArray>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace shared {

// A piece of at most this many bytes is never cut further.
constexpr std::size_t kChunkUncutSize = 0x400000; // 4 MiB
// No piece is longer than this.
constexpr std::size_t kChunkMaximumSize = 0x1000000; // 16 MiB
// A piece ends after the byte at which (hash & kChunkCutMask) == 0.
constexpr std::uint32_t kChunkCutMask = 0x3FFFFF;

// The 256 gear values, indexed by byte value.
const std::array<std::uint32_t, 256>& chunkGearTable();

// Length of the piece that starts at Data, when Length unprocessed bytes lie there and
// nothing beyond them is known. Returns 0 only for Length 0.
std::size_t nextPieceLength(const unsigned char* Data, std::size_t Length);

// Called for each piece in file order; Piece points into the scan buffer and is only
// valid during the call. Returning false stops the scan.
using TPieceCallback = std::function<bool(const unsigned char* Piece, std::size_t Length, std::uint64_t Offset)>;

// Cuts the file at FilePath and hands each piece to OnPiece. An empty file has no pieces.
// The file is read in blocks into a buffer that each thread keeps for its life (48 MiB
// at most), so a thread must not cut a second file from inside OnPiece.
// Returns false when the file cannot be opened or a read fails (pieces before the failing
// read have been handed out already); true otherwise, also when OnPiece stopped the scan.
bool chunkFile(const QString& FilePath, const TPieceCallback& OnPiece);

struct TFilePiece {
    std::uint64_t m_Offset = 0;
    std::uint64_t m_Length = 0;
    QByteArray m_Sha256; // 32 bytes
};

// All pieces of the file with their SHA-256 digests; nothing when the file cannot be read.
std::optional<std::vector<TFilePiece>> chunkFileWithDigests(const QString& FilePath);

} // namespace shared
