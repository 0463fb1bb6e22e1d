#include "BundleContainer.h"

#include "CrushDecoder.h"
#include "CscDecoder.h"
#include "ZpaqMemoryReader.h"

#include <libzpaq.h>
#include <lzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace libzpaq {
// defined in the patched library (see the top CMakeLists.txt)
extern thread_local unsigned long long zpaqlInstructionBudget;
} // namespace libzpaq

// libzpaq reports every error through this function; it must never end the process.
void libzpaq::error(const char* Message)
{
    throw shared::TDecompressionError(Message ? Message : "ZPAQ error");
}

namespace shared {

const char* const kInvalidCompressedDataMessage = "Invalid input data could not be decompressed";

namespace {

constexpr unsigned char kBundleMarker = 0x70;
constexpr unsigned char kHighestAlgorithmNumber = 23;
constexpr int kMaxVarintBytes = 10;

std::size_t skipPadding(const unsigned char* Data, std::size_t Length)
{
    std::size_t Offset = 0;
    while (Offset < Length && Data[Offset] == 0) {
        ++Offset;
    }
    return Offset;
}

bool readVarint(const unsigned char* Data, std::size_t Length, std::size_t& Offset, std::uint64_t& Value)
{
    Value = 0;
    for (int Index = 0; Index < kMaxVarintBytes; ++Index) {
        if (Offset >= Length) {
            return false;
        }
        const unsigned char Byte = Data[Offset++];
        const unsigned Shift = 7u * static_cast<unsigned>(Index);
        const std::uint64_t Group = Byte & 0x7Fu;
        if (Shift >= 64 || (Shift > 0 && (Group >> (64 - Shift)) != 0)) {
            return false; // does not fit in 64 bits
        }
        Value |= Group << Shift;
        if ((Byte & 0x80u) == 0) {
            return true;
        }
    }
    return false;
}

// --- stored --------------------------------------------------------------------------

bool decodeStored(const unsigned char* Payload, std::size_t PayloadSize, unsigned char* Output, std::size_t OutputSize,
                  std::size_t& Produced)
{
    if (PayloadSize > OutputSize) {
        return false;
    }
    std::memcpy(Output, Payload, PayloadSize);
    Produced = PayloadSize;
    return true;
}

// --- raw DEFLATE (zlib) --------------------------------------------------------------

bool decodeDeflate(const unsigned char* Payload, std::size_t PayloadSize, unsigned char* Output, std::size_t OutputSize,
                   std::size_t& Produced)
{
    if (PayloadSize > UINT_MAX || OutputSize > UINT_MAX) {
        return false;
    }
    z_stream Stream {};
    if (inflateInit2(&Stream, -MAX_WBITS) != Z_OK) {
        return false;
    }
    Stream.next_in = const_cast<unsigned char*>(Payload);
    Stream.avail_in = static_cast<uInt>(PayloadSize);
    Stream.next_out = Output;
    Stream.avail_out = static_cast<uInt>(OutputSize);
    const int Result = inflate(&Stream, Z_FINISH);
    Produced = Stream.total_out;
    inflateEnd(&Stream);
    return Result == Z_STREAM_END;
}

// --- lzip (lzlib) ----------------------------------------------------------------------

constexpr std::size_t kLzipHeaderSize = 6;
constexpr std::size_t kLzipTrailerSizeV0 = 12;
constexpr std::size_t kLzipTrailerSizeV1 = 20;

bool decodeLzip(const unsigned char* Payload, std::size_t PayloadSize, unsigned char* Output, std::size_t OutputSize, std::size_t& Produced)
{
    if (PayloadSize < kLzipHeaderSize + kLzipTrailerSizeV0 || std::memcmp(Payload, "LZIP", 4) != 0) {
        return false;
    }
    // The producer writes members in the old version 0 layout (no member size in the
    // trailer); lzlib reads only version 1, so such a member is rewritten: version byte 1
    // and the member size appended.
    std::vector<unsigned char> Rewritten;
    const unsigned char* Member = Payload;
    std::size_t MemberSize = PayloadSize;
    if (Payload[4] == 0) {
        Rewritten.reserve(PayloadSize + 8);
        Rewritten.assign(Payload, Payload + PayloadSize);
        Rewritten[4] = 1;
        const std::uint64_t NewSize = PayloadSize + 8;
        for (int Index = 0; Index < 8; ++Index) {
            Rewritten.push_back(static_cast<unsigned char>(NewSize >> (8 * Index)));
        }
        Member = Rewritten.data();
        MemberSize = Rewritten.size();
    } else if (Payload[4] != 1 || PayloadSize < kLzipHeaderSize + kLzipTrailerSizeV1) {
        return false;
    }

    LZ_Decoder* Decoder = LZ_decompress_open();
    if (!Decoder) {
        return false;
    }
    std::unique_ptr<LZ_Decoder, int (*)(LZ_Decoder*)> Guard(Decoder, LZ_decompress_close);
    if (LZ_decompress_errno(Decoder) != LZ_ok) {
        return false;
    }
    std::size_t InputOffset = 0;
    Produced = 0;
    bool Finished = false;
    bool MemberDone = false;
    for (;;) {
        if (InputOffset < MemberSize) {
            const int Room = LZ_decompress_write_size(Decoder);
            if (Room > 0) {
                const int Want = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(Room), MemberSize - InputOffset));
                const int Written = LZ_decompress_write(Decoder, Member + InputOffset, Want);
                if (Written < 0) {
                    return false;
                }
                InputOffset += static_cast<std::size_t>(Written);
            }
        } else if (!Finished) {
            LZ_decompress_finish(Decoder);
            Finished = true;
        }
        unsigned char Overflow = 0;
        unsigned char* Target = Produced < OutputSize ? Output + Produced : &Overflow;
        const int Capacity = Produced < OutputSize ? static_cast<int>(std::min<std::size_t>(OutputSize - Produced, INT_MAX)) : 1;
        const int Read = LZ_decompress_read(Decoder, Target, Capacity);
        if (Read < 0) {
            return false;
        }
        if (Target == &Overflow && Read > 0) {
            return false; // more data than declared
        }
        Produced += static_cast<std::size_t>(Read);
        // "member finished" holds only right after the read that reached the trailer
        MemberDone = MemberDone || LZ_decompress_member_finished(Decoder) == 1;
        if (LZ_decompress_finished(Decoder) == 1) {
            return MemberDone;
        }
        if (Read == 0 && Finished && InputOffset >= MemberSize) {
            return false; // no progress possible: truncated member
        }
    }
}

// --- .lzma (liblzma) -------------------------------------------------------------------

constexpr std::size_t kLzmaHeaderSize = 13;
constexpr unsigned kLzmaMaxPropertiesByte = 224;
constexpr std::uint32_t kLzmaMinDictionary = 4096;
constexpr std::size_t kLzmaOutputStep = 0x40000; // 256 KiB, well inside the core's cache

// One decoder per worker thread, kept between chunks. A fresh one allocates its state and
// a dictionary as large as the chunk for every chunk, and each page of that dictionary is
// then faulted in anew: for an installation of many chunks a large share of the decoding
// time. The dictionary is kept in size classes of powers of two, so that chunks of similar
// size reuse it, and a thread never holds more than twice what its last chunk needed.
class TThreadLzmaDecoder {
public:
    ~TThreadLzmaDecoder() { lzma_end(&m_Stream); }

    // A raw LZMA1 decoder for the options; false when liblzma refuses them.
    bool start(lzma_options_lzma& Options)
    {
        Options.dict_size = dictionaryClass(Options.dict_size);
        lzma_filter Filters[2];
        Filters[0].id = LZMA_FILTER_LZMA1EXT;
        Filters[0].options = &Options;
        Filters[1].id = LZMA_VLI_UNKNOWN;
        Filters[1].options = nullptr;
        // liblzma reuses the state and the dictionary of the same filter and size
        if (lzma_raw_decoder(&m_Stream, Filters) != LZMA_OK) {
            reset();
            return false;
        }
        return true;
    }
    lzma_stream& stream() { return m_Stream; }
    // After a failure nothing of the broken stream is kept.
    void reset()
    {
        lzma_end(&m_Stream);
        m_Stream = LZMA_STREAM_INIT;
    }

private:
    static std::uint32_t dictionaryClass(std::uint32_t Needed)
    {
        std::uint32_t Class = 0x10000; // 64 KiB: small chunks all share one
        while (Class < Needed && Class < (std::uint32_t(1) << 31)) {
            Class <<= 1;
        }
        return std::max(Class, Needed);
    }

    lzma_stream m_Stream = LZMA_STREAM_INIT;
};

// The decoding of an .lzma payload that is to produce OutputSize bytes. NextWindow(Done)
// says where the next (at most kLzmaOutputStep) bytes go, WindowFilled(Window, Size) is
// told what arrived there; whatever it throws passes through, the decoder reset.
template<typename TNextWindow, typename TWindowFilled>
bool runLzmaAlone(const unsigned char* Payload, std::size_t PayloadSize, std::size_t OutputSize, std::size_t& Produced,
                  const TNextWindow& NextWindow, const TWindowFilled& WindowFilled)
{
    Produced = 0;
    if (PayloadSize <= 17 || Payload[0] > kLzmaMaxPropertiesByte) {
        return false;
    }
    unsigned Properties = Payload[0];
    lzma_options_lzma Options {};
    Options.lc = Properties % 9;
    Properties /= 9;
    Options.lp = Properties % 5;
    Options.pb = Properties / 5;
    std::uint32_t Dictionary = 0;
    std::memcpy(&Dictionary, Payload + 1, 4); // little endian on x86-64
    // The producer stores garbage in the 8-byte size field, so it is ignored; the
    // container's unpacked size bounds the stream. The dictionary never needs to be
    // larger than the output, which keeps small containers from costing 32 MiB each.
    const std::uint64_t Needed = std::max<std::uint64_t>(OutputSize, kLzmaMinDictionary);
    Options.dict_size =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(std::max<std::uint32_t>(Dictionary, kLzmaMinDictionary), Needed));
    Options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    lzma_set_ext_size(Options, OutputSize);

    thread_local TThreadLzmaDecoder Decoder;
    if (!Decoder.start(Options)) {
        return false;
    }
    lzma_stream& Stream = Decoder.stream();
    Stream.next_in = Payload + kLzmaHeaderSize;
    Stream.avail_in = PayloadSize - kLzmaHeaderSize;
    Stream.total_in = 0;
    Stream.total_out = 0;
    // The decoder writes into its dictionary and copies from there to the output, as
    // much as the output has room for in one go. Handed the whole output at once it
    // would decode megabytes before copying them, long after they left the cache; in
    // steps of kLzmaOutputStep the copy reads what was decoded a moment ago.
    lzma_ret Result = LZMA_OK;
    std::size_t Done = 0;
    try {
        while (Result == LZMA_OK) {
            if (Done == OutputSize) {
                // all that was declared is there: the stream must end now (end marker)
                Stream.avail_out = 0;
                Result = lzma_code(&Stream, LZMA_FINISH);
                break;
            }
            unsigned char* Window = NextWindow(Done);
            const std::size_t Room = std::min(kLzmaOutputStep, OutputSize - Done);
            const std::size_t InBefore = Stream.avail_in;
            Stream.next_out = Window;
            Stream.avail_out = Room;
            Result = lzma_code(&Stream, LZMA_FINISH);
            const std::size_t Arrived = Room - Stream.avail_out;
            if (Arrived > 0) {
                Done += Arrived;
                WindowFilled(Window, Arrived);
            } else if (Result == LZMA_OK && Stream.avail_in == InBefore) {
                break; // no progress at all: the input ended early
            }
        }
    } catch (...) {
        Stream.next_in = nullptr;
        Stream.next_out = nullptr;
        Decoder.reset();
        throw;
    }
    Produced = static_cast<std::size_t>(Stream.total_out);
    Stream.next_in = nullptr;
    Stream.next_out = nullptr;
    if (Result != LZMA_STREAM_END) {
        Decoder.reset();
    }
    return Result == LZMA_STREAM_END && Produced == OutputSize;
}

bool decodeLzmaAlone(const unsigned char* Payload, std::size_t PayloadSize, unsigned char* Output, std::size_t OutputSize,
                     std::size_t& Produced)
{
    return runLzmaAlone(
        Payload, PayloadSize, OutputSize, Produced, [Output](std::size_t Done) { return Output + Done; },
        [](unsigned char*, std::size_t) {});
}

// --- ZPAQ (libzpaq) --------------------------------------------------------------------

class TZpaqWriter final : public libzpaq::Writer {
public:
    TZpaqWriter(unsigned char* Output, std::size_t Capacity)
        : m_Output(Output)
        , m_Capacity(Capacity)
    {
    }
    void put(int Byte) override
    {
        if (m_Produced >= m_Capacity) {
            throw TDecompressionError("ZPAQ output larger than declared");
        }
        m_Output[m_Produced++] = static_cast<unsigned char>(Byte);
    }
    void write(const char* Buffer, int Count) override
    {
        const std::size_t Size = static_cast<std::size_t>(std::max(Count, 0));
        if (Size > m_Capacity - m_Produced) {
            throw TDecompressionError("ZPAQ output larger than declared");
        }
        std::memcpy(m_Output + m_Produced, Buffer, Size);
        m_Produced += Size;
    }
    std::size_t produced() const { return m_Produced; }

private:
    unsigned char* m_Output;
    std::size_t m_Capacity;
    std::size_t m_Produced = 0;
};

// A ZPAQ block brings its own programs and declares its own memory, so both are bounded
// by what the container says it produces: the declared model and program memory may not
// exceed zpaqMemoryLimit(OutputSize), and all programs of one container together may
// run at most zpaqInstructionBudget(OutputSize) interpreted instructions (the library
// is built with the budget hook, see the top CMakeLists.txt). A looping program thus
// ends as a decoding failure after well under a second per small chunk instead of
// holding a worker for ever.
class TZpaqBudgetScope {
public:
    explicit TZpaqBudgetScope(std::uint64_t Budget)
        : m_Previous(libzpaq::zpaqlInstructionBudget)
    {
        libzpaq::zpaqlInstructionBudget = Budget;
    }
    ~TZpaqBudgetScope() { libzpaq::zpaqlInstructionBudget = m_Previous; }
    TZpaqBudgetScope(const TZpaqBudgetScope&) = delete;
    TZpaqBudgetScope& operator=(const TZpaqBudgetScope&) = delete;

private:
    unsigned long long m_Previous;
};

bool decodeZpaq(const unsigned char* Payload, std::size_t PayloadSize, unsigned char* Output, std::size_t OutputSize, std::size_t& Produced)
{
    try {
        TZpaqMemoryReader Reader(Payload, PayloadSize);
        TZpaqWriter Writer(Output, OutputSize);
        libzpaq::Decompresser Decompresser;
        Decompresser.setInput(&Reader);
        const TZpaqBudgetScope Budget(zpaqInstructionBudget(OutputSize));
        const double MemoryLimit = static_cast<double>(zpaqMemoryLimit(OutputSize));
        bool FoundBlock = false;
        double Memory = 0;
        while (Decompresser.findBlock(&Memory)) {
            if (Memory > MemoryLimit) {
                return false; // refused before the model is allocated
            }
            FoundBlock = true;
            while (Decompresser.findFilename()) {
                Decompresser.readComment();
                Decompresser.setOutput(&Writer);
                Decompresser.decompress();
                Decompresser.readSegmentEnd();
            }
        }
        Produced = Writer.produced();
        return FoundBlock;
    } catch (...) {
        return false;
    }
}

} // namespace

bool isBundlePacked(const char* Data, std::size_t Length) noexcept
{
    if (!Data) {
        return false;
    }
    const auto* Bytes = reinterpret_cast<const unsigned char*>(Data);
    const std::size_t Offset = skipPadding(Bytes, Length);
    return Length - Offset >= 2 && Bytes[Offset] == kBundleMarker && Bytes[Offset + 1] <= kHighestAlgorithmNumber;
}

bool readBundleHeader(const char* Data, std::size_t Length, TBundleHeader& Header) noexcept
{
    if (!isBundlePacked(Data, Length)) {
        return false;
    }
    const auto* Bytes = reinterpret_cast<const unsigned char*>(Data);
    std::size_t Offset = skipPadding(Bytes, Length);
    Header.m_Algorithm = Bytes[Offset + 1];
    Offset += 2;
    if (!readVarint(Bytes, Length, Offset, Header.m_UnpackedSize) || !readVarint(Bytes, Length, Offset, Header.m_PackedSize)) {
        return false;
    }
    Header.m_PayloadOffset = Offset;
    return true;
}

bool decodeBundlePayload(int Algorithm, const unsigned char* Payload, std::size_t PayloadSize, unsigned char* Output,
                         std::size_t OutputSize, std::size_t& Produced) noexcept
{
    Produced = 0;
    if (!Payload || !Output || PayloadSize == 0 || OutputSize == 0) {
        return false;
    }
    try {
        switch (static_cast<EBundleAlgorithm>(Algorithm)) {
        case EBundleAlgorithm::Stored:
            return decodeStored(Payload, PayloadSize, Output, OutputSize, Produced);
        case EBundleAlgorithm::Deflate:
            return decodeDeflate(Payload, PayloadSize, Output, OutputSize, Produced);
        case EBundleAlgorithm::Lzip:
            return decodeLzip(Payload, PayloadSize, Output, OutputSize, Produced);
        case EBundleAlgorithm::Lzma:
        case EBundleAlgorithm::LzmaLarge:
            return decodeLzmaAlone(Payload, PayloadSize, Output, OutputSize, Produced);
        case EBundleAlgorithm::Zpaq:
            return decodeZpaq(Payload, PayloadSize, Output, OutputSize, Produced);
        case EBundleAlgorithm::Csc:
            return decodeCsc(Payload, PayloadSize, Output, OutputSize, Produced);
        case EBundleAlgorithm::Crush:
            return decodeCrush(Payload, PayloadSize, Output, OutputSize, Produced);
        }
    } catch (...) {
        // an allocation failure inside a codec is a broken payload, never a crash
    }
    return false;
}

namespace {

unsigned char* writableBytes(std::string& Buffer)
{
    return reinterpret_cast<unsigned char*>(&Buffer[0]);
}
unsigned char* writableBytes(QByteArray& Buffer)
{
    return reinterpret_cast<unsigned char*>(Buffer.data());
}

// The header of the container in Data, when its sizes are ones decoding accepts: something
// to produce, no more than MaxUnpackedSize, a payload that is all there.
bool readUsableHeader(const char* Data, std::size_t Length, std::uint64_t MaxUnpackedSize, TBundleHeader& Header)
{
    if (!readBundleHeader(Data, Length, Header)) {
        return false;
    }
    const std::size_t Available = Length - Header.m_PayloadOffset;
    return Header.m_UnpackedSize != 0 && Header.m_UnpackedSize <= MaxUnpackedSize && Header.m_PackedSize <= Available &&
        Header.m_UnpackedSize <= static_cast<std::uint64_t>(std::numeric_limits<int>::max());
}

// Decodes the container in Data into Output, sized once to the declared unpacked size.
template<typename TBuffer> bool unpackInto(TBuffer& Output, const char* Data, std::size_t Length, std::uint64_t MaxUnpackedSize)
{
    TBundleHeader Header;
    if (!readUsableHeader(Data, Length, MaxUnpackedSize, Header)) {
        return false;
    }
    try {
        Output.resize(static_cast<std::size_t>(Header.m_UnpackedSize));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (Output.size() != static_cast<decltype(Output.size())>(Header.m_UnpackedSize)) {
        return false; // QByteArray reports allocation failure this way
    }
    std::size_t Produced = 0;
    if (!decodeBundlePayload(Header.m_Algorithm, reinterpret_cast<const unsigned char*>(Data) + Header.m_PayloadOffset,
                             static_cast<std::size_t>(Header.m_PackedSize), writableBytes(Output),
                             static_cast<std::size_t>(Header.m_UnpackedSize), Produced)) {
        return false;
    }
    Output.resize(static_cast<decltype(Output.size())>(Produced));
    return true;
}

} // namespace

bool unpackBundle(std::string& Output, const std::string& Input, std::uint64_t MaxUnpackedSize)
{
    if (unpackInto(Output, Input.data(), Input.size(), MaxUnpackedSize)) {
        return true;
    }
    Output = Input;
    return false;
}

bool unpackBundle(QByteArray& Output, const QByteArray& Input, std::uint64_t MaxUnpackedSize)
{
    if (unpackInto(Output, Input.constData(), static_cast<std::size_t>(Input.size()), MaxUnpackedSize)) {
        return true;
    }
    Output = Input;
    return false;
}

std::uint64_t zpaqMemoryLimit(std::uint64_t OutputSize)
{
    // a model needs a few times the data it models; 128 MiB serve every small chunk
    constexpr std::uint64_t kFloor = std::uint64_t(128) << 20;
    constexpr std::uint64_t kPerOutputByte = 24;
    return std::max(kFloor, OutputSize * kPerOutputByte);
}

std::uint64_t zpaqInstructionBudget(std::uint64_t OutputSize)
{
    if (const char* pOverride = std::getenv("TORVANE_TEST_ZPAQ_INSTRUCTION_BUDGET")) {
        char* pEnd = nullptr;
        const unsigned long long Value = std::strtoull(pOverride, &pEnd, 10);
        if (pEnd && pEnd != pOverride && *pEnd == '\0') {
            return Value;
        }
    }
    constexpr std::uint64_t kFloor = std::uint64_t(1) << 26;
    constexpr std::uint64_t kPerOutputByte = 1024;
    return kFloor + OutputSize * kPerOutputByte;
}

bool findStoredPayload(const char* Data, std::size_t Length, std::uint64_t MaxUnpackedSize, std::size_t& Offset, std::size_t& Size) noexcept
{
    TBundleHeader Header;
    if (!readUsableHeader(Data, Length, MaxUnpackedSize, Header) || Header.m_Algorithm != static_cast<int>(EBundleAlgorithm::Stored) ||
        Header.m_PackedSize > Header.m_UnpackedSize) {
        return false; // decodeStored refuses a payload longer than the declared output
    }
    Offset = Header.m_PayloadOffset;
    Size = static_cast<std::size_t>(Header.m_PackedSize);
    return true;
}

namespace {

bool readLzmaHeader(const char* Data, std::size_t Length, std::uint64_t MaxUnpackedSize, TBundleHeader& Header)
{
    return readUsableHeader(Data, Length, MaxUnpackedSize, Header) &&
        (Header.m_Algorithm == static_cast<int>(EBundleAlgorithm::Lzma) ||
         Header.m_Algorithm == static_cast<int>(EBundleAlgorithm::LzmaLarge));
}

} // namespace

bool decodesInPieces(const char* Data, std::size_t Length, std::uint64_t MaxUnpackedSize) noexcept
{
    TBundleHeader Header;
    return readLzmaHeader(Data, Length, MaxUnpackedSize, Header);
}

bool decodeInPieces(const char* Data, std::size_t Length, std::uint64_t MaxUnpackedSize, const TPieceSink& Sink)
{
    TBundleHeader Header;
    if (!readLzmaHeader(Data, Length, MaxUnpackedSize, Header)) {
        return false;
    }
    // one window per thread, reused: it stays in the core's cache from chunk to chunk
    thread_local std::unique_ptr<unsigned char[]> s_pWindow(new unsigned char[kLzmaOutputStep]);
    unsigned char* pWindow = s_pWindow.get();
    std::size_t Produced = 0;
    if (!runLzmaAlone(
            reinterpret_cast<const unsigned char*>(Data) + Header.m_PayloadOffset, static_cast<std::size_t>(Header.m_PackedSize),
            static_cast<std::size_t>(Header.m_UnpackedSize), Produced, [pWindow](std::size_t) { return pWindow; },
            [&Sink](const unsigned char* pPiece, std::size_t Size) { Sink(reinterpret_cast<const char*>(pPiece), Size); })) {
        throw TDecompressionError(kInvalidCompressedDataMessage);
    }
    return true;
}

QByteArray decompressBundleData(const QByteArray& Data, std::uint64_t MaxUnpackedSize)
{
    if (!isBundlePacked(Data)) {
        return Data;
    }
    QByteArray Output;
    if (!unpackInto(Output, Data.constData(), static_cast<std::size_t>(Data.size()), MaxUnpackedSize)) {
        throw TDecompressionError(kInvalidCompressedDataMessage);
    }
    return Output;
}

} // namespace shared
