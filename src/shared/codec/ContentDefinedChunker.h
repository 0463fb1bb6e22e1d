#pragma once

// Content-defined chunking of large files: cuts a file into pieces whose boundaries
// follow the content, so that a piece that moved inside a file is still recognised by
// its SHA-256. The publisher's packaging tool cuts with this code and the launcher scans
// local files with it; the servers' chunk hashes depend on every boundary, so the
// default parameters and the gear table below must never change. A package document may
// declare other parameters (finer pieces); the launcher then cuts with those.

#include <QByteArray>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace shared {

// The cutting every existing package document was made with, and what a document that
// declares no cutting of its own gets.
// A piece of at most this many bytes is never cut further.
constexpr std::size_t kChunkUncutSize = 0x400000; // 4 MiB
// No piece is longer than this, whatever the parameters.
constexpr std::size_t kChunkMaximumSize = 0x1000000; // 16 MiB
// A piece ends after the byte at which (hash & kChunkCutMask) == 0.
constexpr std::uint32_t kChunkCutMask = 0x3FFFFF;

// How pieces are cut. The gear table and the rolling value are the same for every set;
// only where the search starts, the cut test and where it gives up change.
struct TChunkingParameters {
    // A piece of at most this many bytes is never cut; the search starts behind them.
    std::uint64_t m_Minimum = kChunkUncutSize;
    // A piece ends after the byte at which the low m_MaskBits bits of the rolling value
    // are all zero: on random data, about 2^m_MaskBits bytes behind the minimum.
    int m_MaskBits = 22;
    // No piece is longer.
    std::uint64_t m_Maximum = kChunkMaximumSize;

    // Bounds of what a package document may declare: pieces below 16 KiB would make the
    // documents and the request count huge; the readers' buffers hold 16 MiB pieces.
    static constexpr std::uint64_t kLowestMinimum = 0x4000; // 16 KiB
    static constexpr std::uint64_t kHighestMaximum = kChunkMaximumSize;
    static constexpr int kFewestMaskBits = 10;
    static constexpr int kMostMaskBits = 24;

    // 4 MiB, 22 bits, 16 MiB.
    static TChunkingParameters defaults() { return TChunkingParameters(); }

    // The set for an average piece of Average bytes (a power of two): a quarter of it as
    // the minimum, four times it (at most 16 MiB) as the maximum.
    static TChunkingParameters forAverage(std::uint64_t Average);

    std::uint32_t cutMask() const { return (std::uint32_t(1) << m_MaskBits) - 1; }

    // Why these values cannot be used, in words for a log or an error message; empty
    // when they are within the bounds.
    QString problem() const;

    bool operator==(const TChunkingParameters& Other) const
    {
        return m_Minimum == Other.m_Minimum && m_MaskBits == Other.m_MaskBits && m_Maximum == Other.m_Maximum;
    }
    bool operator!=(const TChunkingParameters& Other) const { return !(*this == Other); }
};

// The 256 gear values, indexed by byte value.
const std::array<std::uint32_t, 256>& chunkGearTable();

// Length of the piece that starts at Data, when Length unprocessed bytes lie there and
// nothing beyond them is known. Returns 0 only for Length 0. Parameters must be within
// the bounds above.
std::size_t nextPieceLength(const unsigned char* Data, std::size_t Length,
                            const TChunkingParameters& Parameters = TChunkingParameters::defaults());

// Called for each piece in file order; Piece points into the scan buffer and is only
// valid during the call. Returning false stops the scan.
using TPieceCallback = std::function<bool(const unsigned char* Piece, std::size_t Length, std::uint64_t Offset)>;

// Cuts the file at FilePath and hands each piece to OnPiece. An empty file has no pieces.
// The file is read in blocks into a buffer that each thread keeps for its life (its size
// follows the largest maximum piece length the thread has cut with: 48 MiB for the
// defaults), so a thread must not cut a second file from inside OnPiece.
// Returns false when the file cannot be opened, a read fails or Parameters are outside
// the bounds (pieces before the failing read have been handed out already); true
// otherwise, also when OnPiece stopped the scan.
bool chunkFile(const QString& FilePath, const TPieceCallback& OnPiece,
               const TChunkingParameters& Parameters = TChunkingParameters::defaults());

struct TFilePiece {
    std::uint64_t m_Offset = 0;
    std::uint64_t m_Length = 0;
    QByteArray m_Sha256; // 32 bytes
};

// Called for each piece in file order, with its digest. Returning false stops the scan.
using TDigestCallback = std::function<bool(const TFilePiece& Piece)>;

// Cuts the file exactly as chunkFile does and hashes each piece on the way, a block of
// 256 KiB at a time, so that every byte is hashed while it is still in the processor's
// cache and no piece is ever held whole. Returns as chunkFile does.
bool chunkFileHashing(const QString& FilePath, const TDigestCallback& OnPiece,
                      const TChunkingParameters& Parameters = TChunkingParameters::defaults());

// All pieces of the file with their SHA-256 digests; nothing when the file cannot be read.
std::optional<std::vector<TFilePiece>> chunkFileWithDigests(const QString& FilePath,
                                                            const TChunkingParameters& Parameters = TChunkingParameters::defaults());

} // namespace shared
