#include "ChunkCodec.h"

#include "ZpaqMemoryReader.h"

#include <libzpaq.h>
#include <lzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

namespace zarvo::pack {

namespace {

constexpr unsigned char kContainerMarker = 0x70;

// The LZMA and lzip encoders use the dictionary of level 6 (8 MiB) at most, but never
// more than the chunk needs: a 20 KiB chunk gets 32 KiB, which saves most of the
// encoder's set-up time and memory on packages of many small files.
constexpr std::uint32_t kLzmaPreset = 6;
constexpr int kLzipMatchLengthLimit = 36; // lzip -6
constexpr std::uint32_t kLargestDictionary = 8u << 20;
constexpr std::uint32_t kSmallestDictionary = 4096;
// One lzip member for the whole chunk (lzlib caps the member size at 2 PiB).
constexpr unsigned long long kLzipMemberSize = 0x0008000000000000ULL;
// ZPAQ level 1: fast LZ77 with context modelling, decoded by the launcher's libzpaq.
const char* const kZpaqMethod = "1";
// The LZMA and lzip encoders are fed this much at a time so that cancelling takes effect
// within a fraction of a second even for a 16 MiB chunk.
constexpr std::size_t kEncoderSlice = 1u << 20;

std::uint32_t dictionaryFor(std::size_t Size)
{
    std::uint32_t Dictionary = kSmallestDictionary;
    while (Dictionary < Size && Dictionary < kLargestDictionary) {
        Dictionary <<= 1;
    }
    return Dictionary;
}

void throwIfCancelled(const std::atomic<bool>* pCancel)
{
    if (pCancel && pCancel->load(std::memory_order_relaxed)) {
        throw TPackCancelled();
    }
}

// Each compressor writes at most Capacity bytes to Output. It returns false when the
// payload does not fit (the chunk is then stored) and throws on codec errors.

bool compressDeflate(const unsigned char* Input, std::size_t Size, unsigned char* Output, std::size_t Capacity, std::size_t& Produced)
{
    if (Size > UINT_MAX) {
        throw std::runtime_error("zlib: chunk too large");
    }
    z_stream Stream {};
    if (deflateInit2(&Stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("zlib: cannot start the DEFLATE encoder");
    }
    Stream.next_in = const_cast<unsigned char*>(Input);
    Stream.avail_in = static_cast<uInt>(Size);
    Stream.next_out = Output;
    Stream.avail_out = static_cast<uInt>(std::min<std::size_t>(Capacity, UINT_MAX));
    const int Result = deflate(&Stream, Z_FINISH);
    Produced = Stream.total_out;
    deflateEnd(&Stream);
    if (Result == Z_STREAM_END) {
        return true;
    }
    if (Result == Z_OK || Result == Z_BUF_ERROR) {
        return false; // out of room
    }
    throw std::runtime_error("zlib: DEFLATE encoding failed");
}

bool compressLzma(const unsigned char* Input, std::size_t Size, unsigned char* Output, std::size_t Capacity, std::size_t& Produced,
                  const std::atomic<bool>* pCancel)
{
    lzma_options_lzma Options;
    if (lzma_lzma_preset(&Options, kLzmaPreset)) {
        throw std::runtime_error("liblzma: preset 6 unavailable");
    }
    Options.dict_size = dictionaryFor(Size);
    lzma_stream Stream = LZMA_STREAM_INIT;
    // The .lzma ("alone") stream: properties, dictionary size, the size field set to
    // "unknown", and the data closed by an end marker.
    if (lzma_alone_encoder(&Stream, &Options) != LZMA_OK) {
        throw std::runtime_error("liblzma: cannot start the LZMA encoder (out of memory?)");
    }
    std::unique_ptr<lzma_stream, void (*)(lzma_stream*)> Guard(&Stream, lzma_end);
    Stream.next_out = Output;
    Stream.avail_out = Capacity;
    std::size_t Offset = 0;
    for (;;) {
        throwIfCancelled(pCancel);
        const std::size_t Slice = std::min(kEncoderSlice, Size - Offset);
        const lzma_action Action = Offset + Slice == Size ? LZMA_FINISH : LZMA_RUN;
        Stream.next_in = Input + Offset;
        Stream.avail_in = Slice;
        for (;;) {
            const lzma_ret Result = lzma_code(&Stream, Action);
            if (Result == LZMA_STREAM_END) {
                Produced = Capacity - Stream.avail_out;
                return true;
            }
            if (Result != LZMA_OK && Result != LZMA_BUF_ERROR) {
                throw std::runtime_error("liblzma: LZMA encoding failed");
            }
            if (Stream.avail_out == 0) {
                return false; // out of room
            }
            if (Action == LZMA_RUN && Stream.avail_in == 0) {
                break;
            }
            if (Result == LZMA_BUF_ERROR) {
                throw std::runtime_error("liblzma: LZMA encoder made no progress");
            }
        }
        Offset += Slice;
    }
}

bool compressLzip(const unsigned char* Input, std::size_t Size, unsigned char* Output, std::size_t Capacity, std::size_t& Produced,
                  const std::atomic<bool>* pCancel)
{
    const int Dictionary = std::max(static_cast<int>(dictionaryFor(Size)), LZ_min_dictionary_size());
    LZ_Encoder* pEncoder = LZ_compress_open(Dictionary, kLzipMatchLengthLimit, kLzipMemberSize);
    if (!pEncoder) {
        throw std::runtime_error("lzlib: cannot start the lzip encoder (out of memory)");
    }
    std::unique_ptr<LZ_Encoder, int (*)(LZ_Encoder*)> Guard(pEncoder, LZ_compress_close);
    if (LZ_compress_errno(pEncoder) != LZ_ok) {
        throw std::runtime_error("lzlib: cannot start the lzip encoder");
    }
    std::size_t Offset = 0;
    std::size_t FedSinceCheck = 0;
    Produced = 0;
    for (;;) {
        if (Offset < Size) {
            const int Room = LZ_compress_write_size(pEncoder);
            const int Want = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(Room, 0)), Size - Offset));
            if (Want > 0) {
                const int Written = LZ_compress_write(pEncoder, Input + Offset, Want);
                if (Written < 0) {
                    throw std::runtime_error("lzlib: lzip encoding failed");
                }
                Offset += static_cast<std::size_t>(Written);
                FedSinceCheck += static_cast<std::size_t>(Written);
            }
            if (Offset == Size) {
                LZ_compress_finish(pEncoder);
            }
        }
        if (FedSinceCheck >= kEncoderSlice) {
            FedSinceCheck = 0;
            throwIfCancelled(pCancel);
        }
        if (Produced == Capacity) {
            if (LZ_compress_finished(pEncoder) == 1) {
                return true;
            }
            return false; // out of room: more output is still to come
        }
        const int Capped = static_cast<int>(std::min<std::size_t>(Capacity - Produced, INT_MAX));
        const int Read = LZ_compress_read(pEncoder, Output + Produced, Capped);
        if (Read < 0) {
            throw std::runtime_error("lzlib: lzip encoding failed");
        }
        Produced += static_cast<std::size_t>(Read);
        if (LZ_compress_finished(pEncoder) == 1) {
            return true;
        }
    }
}

// Already-compressed data (textures, audio, video) costs LZMA as much time as any other
// data and comes out no smaller. Before a slow codec runs on a chunk, a few slices spread
// over it are tried with fast DEFLATE; when not one of them shrinks by 2 %, the chunk is
// stored at once. A chunk with any compressible slice gets the full codec.
constexpr std::size_t kProbeMinimumSize = 1u << 20;
constexpr std::size_t kProbeSliceSize = 64u << 10;
constexpr std::size_t kProbeSlices = 8;

bool looksIncompressible(const unsigned char* Input, std::size_t Size)
{
    if (Size < kProbeMinimumSize) {
        return false;
    }
    z_stream Stream {};
    if (deflateInit2(&Stream, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return false;
    }
    std::unique_ptr<z_stream, int (*)(z_stream*)> Guard(&Stream, deflateEnd);
    // room for 98 % of a slice: a slice that fits has shrunk by 2 % at least
    const std::size_t Room = kProbeSliceSize * 49 / 50;
    std::unique_ptr<unsigned char[]> Output(new unsigned char[Room]);
    for (std::size_t Slice = 0; Slice < kProbeSlices; ++Slice) {
        const std::size_t Offset = (Size - kProbeSliceSize) / (kProbeSlices - 1) * Slice;
        deflateReset(&Stream);
        Stream.next_in = const_cast<unsigned char*>(Input + Offset);
        Stream.avail_in = static_cast<uInt>(kProbeSliceSize);
        Stream.next_out = Output.get();
        Stream.avail_out = static_cast<uInt>(Room);
        if (deflate(&Stream, Z_FINISH) == Z_STREAM_END) {
            return false;
        }
    }
    return true;
}

struct TNoRoom { };

class TZpaqOutput : public libzpaq::Writer {
public:
    TZpaqOutput(unsigned char* Output, std::size_t Capacity, const std::atomic<bool>* pCancel)
        : m_Output(Output)
        , m_Capacity(Capacity)
        , m_pCancel(pCancel)
    {
    }
    void put(int Byte) override
    {
        if (m_Produced >= m_Capacity) {
            throw TNoRoom();
        }
        m_Output[m_Produced++] = static_cast<unsigned char>(Byte);
        if ((m_Produced & 0xFFFF) == 0) {
            throwIfCancelled(m_pCancel);
        }
    }
    void write(const char* Buffer, int Count) override
    {
        const std::size_t Size = static_cast<std::size_t>(std::max(Count, 0));
        if (Size > m_Capacity - m_Produced) {
            throw TNoRoom();
        }
        std::memcpy(m_Output + m_Produced, Buffer, Size);
        m_Produced += Size;
    }
    std::size_t produced() const { return m_Produced; }

private:
    unsigned char* m_Output;
    std::size_t m_Capacity;
    const std::atomic<bool>* m_pCancel;
    std::size_t m_Produced = 0;
};

bool compressZpaq(const unsigned char* Input, std::size_t Size, unsigned char* Output, std::size_t Capacity, std::size_t& Produced,
                  const std::atomic<bool>* pCancel)
{
    shared::TZpaqMemoryReader Reader(Input, Size);
    TZpaqOutput Writer(Output, Capacity, pCancel);
    try {
        libzpaq::compress(&Reader, &Writer, kZpaqMethod);
    } catch (const TNoRoom&) {
        return false;
    } catch (const TPackCancelled&) {
        throw;
    } catch (const std::exception& Error) {
        throw std::runtime_error(std::string("libzpaq: ") + Error.what());
    }
    Produced = Writer.produced();
    return true;
}

void appendVarint(QByteArray& Bytes, std::uint64_t Value)
{
    do {
        unsigned char Byte = Value & 0x7F;
        Value >>= 7;
        if (Value != 0) {
            Byte |= 0x80;
        }
        Bytes.append(static_cast<char>(Byte));
    } while (Value != 0);
}

} // namespace

bool parseCodec(const QString& Text, ECodec& Codec)
{
    static const struct {
        const char* m_Number;
        const char* m_Name;
        ECodec m_Codec;
    } kCodecs[] = {
        {"0", "stored", ECodec::Stored}, {"3", "deflate", ECodec::Deflate}, {"4", "lzip", ECodec::Lzip},
        {"5", "lzma", ECodec::Lzma},     {"6", "zpaq", ECodec::Zpaq},
    };
    for (const auto& Entry : kCodecs) {
        if (Text == QLatin1String(Entry.m_Number) || Text == QLatin1String(Entry.m_Name)) {
            Codec = Entry.m_Codec;
            return true;
        }
    }
    return false;
}

const char* codecName(ECodec Codec)
{
    switch (Codec) {
    case ECodec::Stored:
        return "stored";
    case ECodec::Deflate:
        return "deflate";
    case ECodec::Lzip:
        return "lzip";
    case ECodec::Lzma:
        return "lzma";
    case ECodec::Zpaq:
        return "zpaq";
    }
    return "?";
}

QByteArray containerHeader(int Algorithm, std::uint64_t UnpackedSize, std::uint64_t PackedSize)
{
    QByteArray Header;
    Header.append(static_cast<char>(kContainerMarker));
    Header.append(static_cast<char>(Algorithm));
    appendVarint(Header, UnpackedSize);
    appendVarint(Header, PackedSize);
    // two varints of at most 10 bytes each: the header always fits into 32 bytes
    return QByteArray(static_cast<int>(kContainerHeaderSpace) - Header.size(), '\0') + Header;
}

TPackedChunk packChunk(ECodec Codec, const unsigned char* Data, std::size_t Size, const std::atomic<bool>* pCancel)
{
    if (Size == 0) {
        throw std::logic_error("packChunk: empty chunk");
    }
    // One buffer: 32 bytes for the header, then room for a payload strictly smaller than
    // the input. A codec that runs out of room has not helped, and the chunk is stored.
    TPackedChunk Result;
    Result.m_Container = QByteArray(static_cast<int>(kContainerHeaderSpace + Size), Qt::Uninitialized);
    auto* const pPayload = reinterpret_cast<unsigned char*>(Result.m_Container.data()) + kContainerHeaderSpace;
    const std::size_t Capacity = Size - 1;
    std::size_t Produced = 0;
    bool Compressed = false;
    const bool SlowCodec = Codec == ECodec::Lzma || Codec == ECodec::Lzip || Codec == ECodec::Zpaq;
    if (Capacity > 0 && !(SlowCodec && looksIncompressible(Data, Size))) {
        switch (Codec) {
        case ECodec::Stored:
            break;
        case ECodec::Deflate:
            Compressed = compressDeflate(Data, Size, pPayload, Capacity, Produced);
            break;
        case ECodec::Lzip:
            Compressed = compressLzip(Data, Size, pPayload, Capacity, Produced, pCancel);
            break;
        case ECodec::Lzma:
            Compressed = compressLzma(Data, Size, pPayload, Capacity, Produced, pCancel);
            break;
        case ECodec::Zpaq:
            Compressed = compressZpaq(Data, Size, pPayload, Capacity, Produced, pCancel);
            break;
        }
    }
    if (Compressed && Produced > 0 && Produced < Size) {
        Result.m_Algorithm = static_cast<int>(Codec);
    } else {
        Result.m_Algorithm = static_cast<int>(ECodec::Stored);
        std::memcpy(pPayload, Data, Size);
        Produced = Size;
    }
    const QByteArray Header = containerHeader(Result.m_Algorithm, Size, Produced);
    std::memcpy(Result.m_Container.data(), Header.constData(), kContainerHeaderSpace);
    Result.m_Container.resize(static_cast<int>(kContainerHeaderSpace + Produced));
    return Result;
}

} // namespace zarvo::pack
