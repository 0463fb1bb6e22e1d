#include "CrushDecoder.h"

#include <array>
#include <cstdint>
#include <cstring>

// CRUSH is a plain LZ77 bit stream: no header, no entropy coding, no end
// marker. Every token starts with a flag bit:
//   0  literal: 8 bits give the byte;
//   1  match:   length class prefix, length extra bits, 4-bit distance slot,
//               distance extra bits.
// All fields are read least significant bit first, bytes from their low bit.
// After the last token the encoder pads with zero bits to a byte boundary.

namespace shared {
namespace {

constexpr unsigned kFlagBits = 1;
constexpr std::uint32_t kLiteralFlag = 0;
constexpr unsigned kLiteralBits = 8;
constexpr unsigned kLengthPrefixMaxBits = 5;
constexpr unsigned kSlotBits = 4;
constexpr unsigned kDistanceSlotCount = 1u << kSlotBits;

constexpr std::size_t kMinMatchLength = 3;
constexpr std::size_t kMaxMatchLength = 566;
constexpr std::size_t kWindowSize = std::size_t(1) << 21;

// Length classes, selected by a unary prefix read bit by bit: "1", "01",
// "001", "0001", "00001", and five zeros for the last class, which has no
// terminating 1.
struct TLengthClass {
    std::uint8_t m_PrefixBits;
    std::uint8_t m_ExtraBits;
    std::uint16_t m_MinLength; // 3 + cumulative base
};

constexpr std::size_t kLengthClassCount = 6;
constexpr TLengthClass kLengthClasses[kLengthClassCount] = {
    // prefix  extra  lengths
    {1, 2, 3}, // 1      3 ..   6
    {2, 2, 7}, // 01     7 ..  10
    {3, 2, 11}, // 001   11 ..  14
    {4, 3, 15}, // 0001  15 ..  22
    {5, 5, 23}, // 00001 23 ..  54
    {5, 9, 55}, // 00000 55 .. 566
};
constexpr TLengthClass kLongestLengthClass = kLengthClasses[kLengthClassCount - 1];
static_assert(kLengthClasses[0].m_MinLength == kMinMatchLength, "shortest match");
static_assert(kLongestLengthClass.m_MinLength + (1u << kLongestLengthClass.m_ExtraBits) - 1 == kMaxMatchLength, "longest match");

// Maps the next five stream bits (first bit read = bit 0) to the length class:
// the position of the first 1 bit, or the last class if all five are 0.
constexpr std::array<std::uint8_t, 1u << kLengthPrefixMaxBits> makeLengthClassOfPrefix()
{
    std::array<std::uint8_t, 1u << kLengthPrefixMaxBits> Table {};
    for (unsigned Bits = 0; Bits < Table.size(); ++Bits) {
        unsigned Class = 0;
        while (Class < kLengthPrefixMaxBits && ((Bits >> Class) & 1u) == 0) {
            ++Class;
        }
        Table[Bits] = static_cast<std::uint8_t>(Class);
    }
    return Table;
}
constexpr auto kLengthClassOfPrefix = makeLengthClassOfPrefix();

// Distance slots: distance = minimum + extra. Slots 0 and 1 both have six
// extra bits; from slot 1 on, the top bit of (distance - 1) is implicit.
struct TDistanceSlot {
    std::uint8_t m_ExtraBits;
    std::uint32_t m_MinDistance;
};

constexpr TDistanceSlot kDistanceSlots[kDistanceSlotCount] = {
    {6, 1}, // 1 .. 64
    {6, 65}, // 65 .. 128
    {7, 129}, // 129 .. 256
    {8, 257}, // 257 .. 512
    {9, 513}, // 513 .. 1 KiB
    {10, 1025}, // .. 2 KiB
    {11, 2049}, // .. 4 KiB
    {12, 4097}, // .. 8 KiB
    {13, 8193}, // .. 16 KiB
    {14, 16385}, // .. 32 KiB
    {15, 32769}, // .. 64 KiB
    {16, 65537}, // .. 128 KiB
    {17, 131073}, // .. 256 KiB
    {18, 262145}, // .. 512 KiB
    {19, 524289}, // .. 1 MiB
    {20, 1048577}, // .. 2 MiB
};
constexpr TDistanceSlot kFarthestSlot = kDistanceSlots[kDistanceSlotCount - 1];
static_assert(kFarthestSlot.m_MinDistance + (std::uint32_t(1) << kFarthestSlot.m_ExtraBits) - 1 == kWindowSize,
              "largest distance is the window size");

constexpr unsigned kMaxTokenBits =
    kFlagBits + kLengthPrefixMaxBits + kLongestLengthClass.m_ExtraBits + kSlotBits + kFarthestSlot.m_ExtraBits; // 39

// LSB-first bit reader over the payload. refill() tops the 64-bit buffer up to
// at least kBufferedBits, eight payload bytes at a time while eight remain.
// Near the end it feeds zero bytes instead of reading past the payload; a
// token that used any of those made-up bits is caught by overrun().
class TBitReader {
public:
    static constexpr unsigned kBufferedBits = 56;
    static_assert(kBufferedBits >= kMaxTokenBits, "one refill must cover a whole token");

    TBitReader(const unsigned char* Data, std::size_t Size)
        : m_Data(Data)
        , m_Size(Size)
        , m_WordLoadEnd(Size >= sizeof(std::uint64_t) ? Size - sizeof(std::uint64_t) + 1 : 0)
    {
    }

    void refill()
    {
        if (m_Pos < m_WordLoadEnd) {
            // Bits above the new count come from the following bytes; the next
            // refill loads those bytes to the same place again, so OR is safe.
            m_Bits |= loadLittleEndian64(m_Data + m_Pos) << m_Count;
            m_Pos += (63 - m_Count) >> 3;
            m_Count |= kBufferedBits;
            return;
        }
        while (m_Count < kBufferedBits) {
            const std::uint64_t Byte = m_Pos < m_Size ? m_Data[m_Pos] : 0;
            m_Bits |= Byte << m_Count;
            ++m_Pos;
            m_Count += 8;
        }
    }

    std::uint32_t peek(unsigned Count) const { return static_cast<std::uint32_t>(m_Bits & ((std::uint64_t(1) << Count) - 1)); }

    void skip(unsigned Count)
    {
        m_Bits >>= Count;
        m_Count -= Count;
    }

    std::uint32_t read(unsigned Count)
    {
        const std::uint32_t Value = peek(Count);
        skip(Count);
        return Value;
    }

    // True once fields have used bits beyond the last payload byte.
    bool overrun() const { return m_Pos > m_Size && (m_Pos - m_Size) * 8 > m_Count; }

    // After the last token: the payload must end with the byte holding the
    // last token bit, and the fill bits after that bit must be zero.
    bool atCleanEnd() const
    {
        if (m_Pos < m_Size) {
            return false; // whole bytes left unread
        }
        const std::size_t ZeroFedBits = (m_Pos - m_Size) * 8;
        if (ZeroFedBits > m_Count) {
            return false; // overrun
        }
        const unsigned FillBits = m_Count - static_cast<unsigned>(ZeroFedBits);
        return FillBits < 8 && peek(FillBits) == 0;
    }

private:
    static std::uint64_t loadLittleEndian64(const unsigned char* Bytes)
    {
        std::uint64_t Value = 0;
        for (unsigned Index = 0; Index < sizeof(Value); ++Index) {
            Value |= std::uint64_t(Bytes[Index]) << (8 * Index);
        }
        return Value;
    }

    const unsigned char* m_Data;
    std::size_t m_Size;
    std::size_t m_WordLoadEnd; // 8-byte loads allowed while m_Pos is below this
    std::size_t m_Pos = 0; // next payload byte to load (runs past m_Size while feeding zeros)
    std::uint64_t m_Bits = 0; // pending bits, next stream bit in bit 0
    unsigned m_Count = 0; // number of valid pending bits
};

constexpr std::size_t kCopyChunk = 8;

// Copies Length bytes from Distance back, forward, so that an overlapping
// source sees the bytes this copy has just written. Room is the free output
// space from Out on (at least Length); chunked copies may write up to
// kCopyChunk - 1 bytes past the match, which later tokens overwrite.
void copyMatch(unsigned char* Out, std::size_t Distance, std::size_t Length, std::size_t Room)
{
    const unsigned char* From = Out - Distance;
    if (Room - Length >= kCopyChunk - 1) {
        if (Distance >= kCopyChunk) {
            unsigned char* const End = Out + Length;
            do {
                std::memcpy(Out, From, kCopyChunk);
                Out += kCopyChunk;
                From += kCopyChunk;
            } while (Out < End);
            return;
        }
        if (Distance == 1) {
            std::memset(Out, *From, Length);
            return;
        }
    }
    for (std::size_t Index = 0; Index < Length; ++Index) {
        Out[Index] = From[Index];
    }
}

} // namespace

bool decodeCrush(const unsigned char* Payload, std::size_t PayloadSize, unsigned char* Output, std::size_t OutputSize,
                 std::size_t& Produced) noexcept
{
    Produced = 0;
    if ((Payload == nullptr && PayloadSize != 0) || (Output == nullptr && OutputSize != 0)) {
        return false;
    }

    TBitReader Reader(Payload, PayloadSize);
    std::size_t Done = 0;
    bool Valid = true;

    while (Done < OutputSize) {
        Reader.refill(); // enough bits for one whole token

        if (Reader.read(kFlagBits) == kLiteralFlag) {
            const std::uint32_t Byte = Reader.read(kLiteralBits);
            if (Reader.overrun()) {
                Valid = false;
                break;
            }
            Output[Done++] = static_cast<unsigned char>(Byte);
            continue;
        }

        const TLengthClass& Class = kLengthClasses[kLengthClassOfPrefix[Reader.peek(kLengthPrefixMaxBits)]];
        Reader.skip(Class.m_PrefixBits);
        const std::size_t Length = Class.m_MinLength + Reader.read(Class.m_ExtraBits);

        const TDistanceSlot& Slot = kDistanceSlots[Reader.read(kSlotBits)];
        const std::size_t Distance = Slot.m_MinDistance + Reader.read(Slot.m_ExtraBits);

        if (Reader.overrun() || Distance > Done || Length > OutputSize - Done) {
            Valid = false;
            break;
        }
        copyMatch(Output + Done, Distance, Length, OutputSize - Done);
        Done += Length;
    }

    Produced = Done;
    return Valid && Reader.atCleanEnd();
}

} // namespace shared
