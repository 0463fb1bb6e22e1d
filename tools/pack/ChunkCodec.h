#pragma once

// Compression of one chunk into the bundle container as the launcher downloads it.

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace zarvo::pack {

// The codecs the tool writes; the values are the container's algorithm numbers.
enum class ECodec : int {
    Stored = 0,
    Deflate = 3,
    Lzip = 4,
    Lzma = 5,
    Zpaq = 6,
};

// "5" or "lzma" and so on; false for anything else.
bool parseCodec(const QString& Text, ECodec& Codec);
const char* codecName(ECodec Codec);

// The payload starts at this offset in every container the tool writes: the header is
// right-aligned into the first 32 bytes behind zero padding.
constexpr std::size_t kContainerHeaderSpace = 32;

// Thrown by packChunk when Cancel was set while it ran.
class TPackCancelled : public std::runtime_error {
public:
    TPackCancelled()
        : std::runtime_error("cancelled")
    {
    }
};

struct TPackedChunk {
    QByteArray m_Container; // the bytes to serve
    int m_Algorithm = 0; // what was written: the codec, or 0 when it did not help
};

// Wraps Data (1 byte or more) in a container. When the codec's payload would not be
// strictly smaller than Data, the chunk is stored instead (algorithm 0, packed size =
// unpacked size): a raw body could begin with bytes that look like a container header,
// so every served chunk is a container. Deterministic: the same bytes and codec always
// give the same container. Throws std::runtime_error when a codec fails.
TPackedChunk packChunk(ECodec Codec, const unsigned char* Data, std::size_t Size, const std::atomic<bool>* pCancel = nullptr);

// The container header for a payload: padding, marker, algorithm, both sizes as
// varints; always exactly kContainerHeaderSpace bytes.
QByteArray containerHeader(int Algorithm, std::uint64_t UnpackedSize, std::uint64_t PackedSize);

} // namespace zarvo::pack
