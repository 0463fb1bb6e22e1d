#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace shared {

// A payload that cannot be decoded.
class TDecompressionError final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The text every decoding failure is reported with.
extern const char* const kInvalidCompressedDataMessage;

// Callers that do not know the expected size of what they unpack (local ".lzma" files,
// the publisher's tool) accept at most this much; a container declaring more is refused
// before anything is allocated.
constexpr std::uint64_t kDefaultUnpackedSizeLimit = std::uint64_t(1) << 30;

// Algorithm numbers of the bundle container.
enum class EBundleAlgorithm : int {
    Stored = 0,
    Deflate = 3,
    Lzip = 4,
    Lzma = 5,
    Zpaq = 6,
    LzmaLarge = 10,
    Csc = 14,
    Crush = 21,
};

// The header of a bundle container: padding, marker 0x70, algorithm, two varint sizes.
struct TBundleHeader {
    int m_Algorithm = -1;
    std::uint64_t m_UnpackedSize = 0;
    std::uint64_t m_PackedSize = 0;
    std::size_t m_PayloadOffset = 0;
};

// True when the bytes, after any 0x00 padding, start with the marker and an algorithm
// number of at most 23.
bool isBundlePacked(const char* Data, std::size_t Length) noexcept;
inline bool isBundlePacked(const QByteArray& Data) noexcept
{
    return isBundlePacked(Data.constData(), static_cast<std::size_t>(Data.size()));
}

// Reads the header; false when the bytes are not a container or a size varint is broken.
bool readBundleHeader(const char* Data, std::size_t Length, TBundleHeader& Header) noexcept;

// Decodes one payload with the codec of the algorithm number into Output (capacity
// OutputSize, the declared unpacked size). Never throws.
bool decodeBundlePayload(int Algorithm, const unsigned char* Payload, std::size_t PayloadSize, unsigned char* Output,
                         std::size_t OutputSize, std::size_t& Produced) noexcept;

// Unpacks a container. Not a container: Output = Input, false. A container that fails to
// decode, or declares more than MaxUnpackedSize bytes: Output = Input, false.
bool unpackBundle(std::string& Output, const std::string& Input, std::uint64_t MaxUnpackedSize = kDefaultUnpackedSizeLimit);
bool unpackBundle(QByteArray& Output, const QByteArray& Input, std::uint64_t MaxUnpackedSize = kDefaultUnpackedSizeLimit);

// Bounds of a ZPAQ block that is to produce OutputSize bytes: the model and program
// memory it may declare, and the interpreted instructions all its programs may run
// (the environment variable TORVANE_TEST_ZPAQ_INSTRUCTION_BUDGET replaces the latter;
// it exists for tests only).
std::uint64_t zpaqMemoryLimit(std::uint64_t OutputSize);
std::uint64_t zpaqInstructionBudget(std::uint64_t OutputSize);

// Where the payload of a stored container lies in Data, under the checks decoding applies
// (the same bytes decompressBundleData would return); false for any other algorithm, for
// data that is not a container and for a header decoding would refuse.
bool findStoredPayload(const char* Data, std::size_t Length, std::uint64_t MaxUnpackedSize, std::size_t& Offset,
                       std::size_t& Size) noexcept;

// Whether decodeInPieces takes Data: an LZMA container with a header decoding accepts.
bool decodesInPieces(const char* Data, std::size_t Length, std::uint64_t MaxUnpackedSize) noexcept;

// Decodes an LZMA container piece by piece: Sink gets the unpacked bytes in order, in
// pieces of at most 256 KiB that are still in the core's cache, and the whole output
// never exists at once. False (Sink never called) when decodesInPieces is false; throws
// TDecompressionError when the stream is broken or ends before or after the declared
// size, having handed Sink what it decoded until then. What Sink throws passes through.
using TPieceSink = std::function<void(const char* pPiece, std::size_t Size)>;
bool decodeInPieces(const char* Data, std::size_t Length, std::uint64_t MaxUnpackedSize, const TPieceSink& Sink);

// Decoding as the downloader needs it: data that is not a container comes back unchanged,
// a container is decoded or TDecompressionError is thrown.
QByteArray decompressBundleData(const QByteArray& Data, std::uint64_t MaxUnpackedSize);

} // namespace shared
