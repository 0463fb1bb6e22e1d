#include "CscDecoder.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <vector>

// CSC is LZ77 with an adaptive binary range coder, plus per-block filters (x86
// call addresses, an English word dictionary, channel delta). Its bits travel
// in two sub-streams, range-coder bytes and raw "direct" bits, each cut into
// chunks that are interleaved in the payload. The stream is a series of
// segments; at a segment boundary both coders restart on fresh chunks while
// the models carry on. The stream has no size and no checksum: it ends with an
// end-of-stream block, and the container tells us how many bytes to expect.
//
// The whole output is in memory, so it is also the LZ history: matches copy
// from earlier output bytes instead of from a circular window of the declared
// dictionary size. The only cost is that text and x86 blocks must stay
// unfiltered in the output while later matches can still reach them; their
// filters run once the window has moved past them, or at the end.

namespace shared {
namespace {

// --- Properties: window size (4 bytes), full chunk size (3), raw block size
// (3), all big-endian.
constexpr std::size_t kPropertiesSize = 10;
constexpr std::uint32_t kMinWindowSize = 32u * 1024;
constexpr std::uint32_t kMaxWindowSize = 1u << 30;

// --- Chunk header byte. A full chunk has no length field.
constexpr unsigned kChunkRangeCoded = 0x80;
constexpr unsigned kChunkFull = 0x40;
constexpr int kChunkLengthSize = 3;

// --- Adaptive probabilities: 12-bit estimates that the next bit is 1.
using TProb = std::uint16_t;
constexpr int kProbBits = 12;
constexpr TProb kProbInit = 1u << (kProbBits - 1);
constexpr TProb kProbOneTarget = (1u << kProbBits) - 1;
constexpr int kAdaptShift = 5;
constexpr std::uint32_t kRangeTop = 1u << 24;
constexpr int kRangeRestartBytes = 5; // a zero pad byte, then the 32-bit code

// --- Block types, and the continuation value that closes a segment.
constexpr std::uint32_t kBlockLz = 1;
constexpr std::uint32_t kBlockLzText = 2;
constexpr std::uint32_t kBlockLzX86 = 3;
constexpr std::uint32_t kBlockEntropy = 7;
constexpr std::uint32_t kBlockStored = 8;
constexpr std::uint32_t kBlockEnd = 9;
constexpr std::uint32_t kBlockDeltaFirst = 16;
constexpr std::array<unsigned, 5> kDeltaChannels = {1, 2, 3, 4, 8}; // types 16..20
constexpr std::uint32_t kSegmentEnds = 1;

// --- LZ packets. The state remembers the last three packet kinds.
enum EPacket : unsigned { kLiteral = 0, kMatch = 1, kShortRepeat = 2, kRepeatMatch = 3 };
constexpr unsigned kStates = 64;
constexpr unsigned kPacketFlags = 3; // per state: literal?, match?, short repeat?
constexpr unsigned kRepeats = 4;
constexpr std::uint32_t kMinMatchLength = 2;
constexpr std::uint32_t kMinRunLength = 11;
constexpr std::uint32_t kEndMarkerDistanceCode = 64; // with length code 0
constexpr std::uint32_t kBadLength = UINT32_MAX;

// --- Lengths: a short code 0..143 (3-, 3- and 7-bit trees); 143 escapes into
// a unary count of further 143s followed by another short code.
constexpr std::uint32_t kLengthEscape = 143;
constexpr unsigned kLowLengthBits = 3;
constexpr unsigned kMidLengthBits = 3;
constexpr unsigned kHighLengthBits = 7;
constexpr std::uint32_t kMidLengthBase = 1u << kLowLengthBits;
constexpr std::uint32_t kHighLengthBase = kMidLengthBase + (1u << kMidLengthBits);

// --- Distances: a slot from a tree chosen by the length code; slots 0..2 are
// the distance code itself, slot s >= 3 has e = s - 2 extra bits, the upper
// e - 4 as direct bits and the low 4 bit-reversed from the range coder.
struct TSlotTree {
    unsigned m_Offset;
    unsigned m_Bits;
};
constexpr std::array<TSlotTree, 7> kSlotTrees = {{{0, 3}, {8, 4}, {24, 4}, {40, 5}, {72, 5}, {104, 5}, {136, 5}}};
constexpr unsigned kSlotProbs = 168;
constexpr unsigned kPlainSlots = 3;
constexpr unsigned kLowDistanceBits = 4;
constexpr unsigned kMaxExtraDistanceBits = 29;

// --- Filters.
constexpr std::size_t kMinDeltaFilterSize = 512;
constexpr std::size_t kX86InstructionSize = 5; // opcode + 32-bit operand
constexpr std::uint32_t kX86AddressMask = (1u << 25) - 1;
constexpr std::uint32_t kX86AddressHighBit = 1u << 24;
constexpr unsigned char kFirstWordSymbol = 0x82;
constexpr unsigned char kLastWordSymbol = 0xFB;
constexpr unsigned char kWordEscape = 0xFE;
constexpr std::array<const char*, kLastWordSymbol - kFirstWordSymbol + 1> kWords = {
    "ac",  "ad",  "ai",  "al",  "am",  "an",  "ar",   "as",   "at",   "ea",   "ec",   "ed",   "ee",   "el",  "en",  "er",  "es",  "et",
    "id",  "ie",  "ig",  "il",  "in",  "io",  "is",   "it",   "of",   "ol",   "on",   "oo",   "or",   "os",  "ou",  "ow",  "ul",  "un",
    "ur",  "us",  "ba",  "be",  "ca",  "ce",  "co",   "ch",   "de",   "di",   "ge",   "gh",   "ha",   "he",  "hi",  "ho",  "ra",  "re",
    "ri",  "ro",  "rs",  "la",  "le",  "li",  "lo",   "ld",   "ll",   "ly",   "se",   "si",   "so",   "sh",  "ss",  "st",  "ma",  "me",
    "mi",  "ne",  "nc",  "nd",  "ng",  "nt",  "pa",   "pe",   "ta",   "te",   "ti",   "to",   "th",   "tr",  "wa",  "ve",  "all", "and",
    "but", "dow", "for", "had", "hav", "her", "him",  "his",  "man",  "mor",  "not",  "now",  "one",  "out", "she", "the", "was", "wer",
    "whi", "whe", "wit", "you", "any", "are", "that", "said", "with", "have", "this", "from", "were", "tion"};

struct TProperties {
    std::uint32_t m_WindowSize;
    std::uint32_t m_ChunkSize;
    std::uint32_t m_BlockSize; // most bytes one block may produce
};

std::uint32_t readBigEndian(const unsigned char* Bytes, int Count)
{
    std::uint32_t Value = 0;
    for (int Index = 0; Index < Count; ++Index) {
        Value = (Value << 8) | Bytes[Index];
    }
    return Value;
}

bool readProperties(const unsigned char* Bytes, TProperties& Props)
{
    Props.m_WindowSize = readBigEndian(Bytes, 4);
    Props.m_ChunkSize = readBigEndian(Bytes + 4, 3);
    Props.m_BlockSize = readBigEndian(Bytes + 7, 3);
    return Props.m_WindowSize >= kMinWindowSize && Props.m_WindowSize <= kMaxWindowSize && Props.m_ChunkSize > 0 && Props.m_BlockSize > 0;
}

// ---------------------------------------------------------------------------
// Chunk layer

struct TChunkHeader {
    bool m_RangeCoded;
    std::size_t m_Length;
};

// Parses the header at Pos and moves Pos to the chunk body. False if the
// header or the body is cut off, or the chunk is longer than a full one.
bool parseChunkHeader(const unsigned char*& Pos, const unsigned char* End, std::uint32_t FullSize, TChunkHeader& Header)
{
    if (Pos == End) {
        return false;
    }
    const unsigned Flags = *Pos++;
    Header.m_RangeCoded = (Flags & kChunkRangeCoded) != 0;
    if (Flags & kChunkFull) {
        Header.m_Length = FullSize;
    } else {
        if (End - Pos < kChunkLengthSize) {
            return false;
        }
        Header.m_Length = readBigEndian(Pos, kChunkLengthSize);
        Pos += kChunkLengthSize;
        if (Header.m_Length > FullSize) {
            return false;
        }
    }
    return static_cast<std::size_t>(End - Pos) >= Header.m_Length;
}

bool chunksWellFormed(const unsigned char* Pos, const unsigned char* End, std::uint32_t FullSize)
{
    TChunkHeader Header;
    while (Pos != End) {
        if (!parseChunkHeader(Pos, End, FullSize, Header)) {
            return false;
        }
        Pos += Header.m_Length;
    }
    return true;
}

// Reads one sub-stream (range-coder or direct-bit bytes) as a continuous byte
// sequence, walking the chunk headers itself and stepping over the other
// kind's chunks. Running out sets the shared Truncated flag and yields zeros,
// so the hot paths need no error returns; callers check the flag.
class TChunkReader {
public:
    TChunkReader(const unsigned char* Chunks, const unsigned char* End, std::uint32_t FullSize, bool RangeCoded, bool& Truncated)
        : m_NextHeader(Chunks)
        , m_End(End)
        , m_FullSize(FullSize)
        , m_RangeCoded(RangeCoded)
        , m_Truncated(&Truncated)
    {
    }

    unsigned char next() { return m_Pos != m_ChunkEnd ? *m_Pos++ : nextFromNewChunk(); }

    // Drops the rest of the current chunk: it is the previous segment's flush padding.
    void leaveChunk() { m_Pos = m_ChunkEnd; }

private:
    unsigned char nextFromNewChunk()
    {
        TChunkHeader Header;
        while (parseChunkHeader(m_NextHeader, m_End, m_FullSize, Header)) {
            const unsigned char* Body = m_NextHeader;
            m_NextHeader += Header.m_Length;
            // The producer occasionally flushes an empty direct-bit chunk; skip it.
            if (Header.m_RangeCoded == m_RangeCoded && Header.m_Length > 0) {
                m_Pos = Body;
                m_ChunkEnd = Body + Header.m_Length;
                return *m_Pos++;
            }
        }
        *m_Truncated = true;
        return 0;
    }

    const unsigned char* m_Pos = nullptr;
    const unsigned char* m_ChunkEnd = nullptr;
    const unsigned char* m_NextHeader;
    const unsigned char* m_End;
    std::uint32_t m_FullSize;
    bool m_RangeCoded;
    bool* m_Truncated;
};

// ---------------------------------------------------------------------------
// Coders

// Note the polarity: a 1 takes the lower part of the range.
class TRangeDecoder {
public:
    explicit TRangeDecoder(const TChunkReader& Input)
        : m_Input(Input)
    {
    }

    void restart()
    {
        m_Input.leaveChunk();
        m_Code = 0;
        for (int Index = 0; Index < kRangeRestartBytes; ++Index) { // the pad byte shifts out
            m_Code = (m_Code << 8) | m_Input.next();
        }
        m_Range = UINT32_MAX;
    }

    unsigned bit(TProb& Prob)
    {
        if (m_Range < kRangeTop) {
            m_Range <<= 8;
            m_Code = (m_Code << 8) | m_Input.next();
        }
        const std::uint32_t Bound = (m_Range >> kProbBits) * Prob;
        if (m_Code < Bound) {
            m_Range = Bound;
            Prob += (kProbOneTarget - Prob) >> kAdaptShift;
            return 1;
        }
        m_Range -= Bound;
        m_Code -= Bound;
        Prob -= Prob >> kAdaptShift;
        return 0;
    }

    // Most significant bit first; Probs[1 .. 2^Bits - 1] are used.
    unsigned tree(TProb* Probs, unsigned Bits)
    {
        unsigned Node = 1;
        for (unsigned Index = 0; Index < Bits; ++Index) {
            Node = (Node << 1) | bit(Probs[Node]);
        }
        return Node - (1u << Bits);
    }

    // The same tree walk, but the first bit decoded is the least significant.
    unsigned reverseTree(TProb* Probs, unsigned Bits)
    {
        unsigned Node = 1;
        unsigned Value = 0;
        for (unsigned Index = 0; Index < Bits; ++Index) {
            const unsigned Bit = bit(Probs[Node]);
            Node = (Node << 1) | Bit;
            Value |= Bit << Index;
        }
        return Value;
    }

private:
    TChunkReader m_Input;
    std::uint32_t m_Range = 0;
    std::uint32_t m_Code = 0;
};

// Direct bits, most significant first.
class TDirectBits {
public:
    explicit TDirectBits(const TChunkReader& Input)
        : m_Input(Input)
    {
    }

    void restart()
    {
        m_Input.leaveChunk();
        m_Count = 0;
    }

    std::uint32_t bits(unsigned Count) // 1 .. 32
    {
        while (m_Count < Count) {
            m_Buffer = (m_Buffer << 8) | m_Input.next();
            m_Count += 8;
        }
        m_Count -= Count;
        return static_cast<std::uint32_t>((m_Buffer >> m_Count) & ((std::uint64_t {1} << Count) - 1));
    }

    // Block types, sizes and continuation flags: a 5-bit exponent E, then
    // 2^E + E further bits (or a single bit when E is 0).
    std::uint32_t integer()
    {
        const unsigned Exponent = bits(5);
        if (Exponent == 0) {
            return bits(1);
        }
        return (std::uint32_t {1} << Exponent) + bits(Exponent);
    }

private:
    TChunkReader m_Input;
    std::uint64_t m_Buffer = 0; // the low m_Count bits are unread
    unsigned m_Count = 0;
};

// ---------------------------------------------------------------------------
// Models: created once per payload, never reset between segments.

struct TLengthModel {
    std::array<TProb, 2> m_Choice;
    std::array<TProb, 1u << kLowLengthBits> m_Low;
    std::array<TProb, 1u << kMidLengthBits> m_Mid;
    std::array<TProb, 1u << kHighLengthBits> m_High;
    TProb m_Escape;
};

struct TModel {
    std::array<TProb, kStates * kPacketFlags> m_Packet;
    std::array<TProb, kStates * 3> m_RepeatIndex; // 2-bit tree per state
    std::array<TProb, kSlotProbs> m_Slot;
    std::array<TProb, kMaxExtraDistanceBits << kLowDistanceBits> m_LowDistance;
    TLengthModel m_Length;
    TProb m_Run; // delta blocks: run or byte
    std::array<TProb, 256 * 256> m_Literal; // previous byte x tree node
    std::array<TProb, 256 * 256> m_Delta; // previous delta byte x tree node

    void reset()
    {
        m_Packet.fill(kProbInit);
        m_RepeatIndex.fill(kProbInit);
        m_Slot.fill(kProbInit);
        m_LowDistance.fill(kProbInit);
        m_Length.m_Choice.fill(kProbInit);
        m_Length.m_Low.fill(kProbInit);
        m_Length.m_Mid.fill(kProbInit);
        m_Length.m_High.fill(kProbInit);
        m_Length.m_Escape = kProbInit;
        m_Run = kProbInit;
        m_Literal.fill(kProbInit);
        m_Delta.fill(kProbInit);
    }
};

// ---------------------------------------------------------------------------
// Inverse filters, each on one block with positions counted from its start.

// x86 CALL/JMP: the producer turned relative operands into absolute ones.
void undoX86Addresses(unsigned char* Block, std::size_t Size)
{
    std::size_t NextCandidate = kX86InstructionSize;
    for (std::size_t Next = kX86InstructionSize; Next < Size; ++Next) { // address of the next instruction
        const unsigned Opcode = Block[Next - kX86InstructionSize];
        if (Next < NextCandidate || (Opcode != 0xE8 && Opcode != 0xE9)) {
            continue;
        }
        NextCandidate = Next + 4;
        unsigned char* Operand = Block + Next - 4;
        if (Operand[3] != 0x00 && Operand[3] != 0xFF) {
            continue;
        }
        const std::uint32_t Absolute = (std::uint32_t {Operand[0]} << 17) | (std::uint32_t {Operand[1]} << 9) |
            (std::uint32_t {Operand[2]} << 1) | (Operand[3] == 0x00 ? 1u : 0u);
        const std::uint32_t Relative = (Absolute - static_cast<std::uint32_t>(Next)) & kX86AddressMask;
        Operand[0] = static_cast<unsigned char>(Relative);
        Operand[1] = static_cast<unsigned char>(Relative >> 8);
        Operand[2] = static_cast<unsigned char>(Relative >> 16);
        Operand[3] = Relative >= kX86AddressHighBit ? 0x00 : 0xFF;
    }
}

// English text: word symbols expand into the Size bytes of Out. False if the
// symbols run out first.
bool expandWords(const unsigned char* In, std::size_t Size, unsigned char* Out)
{
    std::size_t Read = 0;
    std::size_t Written = 0;
    while (Written < Size) {
        if (Read >= Size) {
            return false;
        }
        const unsigned char Symbol = In[Read++];
        if (Symbol >= kFirstWordSymbol && Symbol <= kLastWordSymbol) {
            for (const char* Letter = kWords[Symbol - kFirstWordSymbol]; *Letter && Written < Size; ++Letter) {
                Out[Written++] = static_cast<unsigned char>(*Letter);
            }
        } else if (Symbol == kWordEscape && Read < Size && In[Read] >= kFirstWordSymbol) {
            Out[Written++] = In[Read++];
        } else {
            Out[Written++] = Symbol;
        }
    }
    return true;
}

// Channel delta: Deltas holds all of channel 0, then channel 1, ...; the
// running sum carries over from one channel to the next.
void undoDelta(const unsigned char* Deltas, std::size_t Size, unsigned Channels, unsigned char* Out)
{
    if (Size < kMinDeltaFilterSize) {
        std::memcpy(Out, Deltas, Size);
        return;
    }
    unsigned char Previous = 0;
    for (unsigned Channel = 0; Channel < Channels; ++Channel) {
        for (std::size_t Index = Channel; Index < Size; Index += Channels) {
            Previous = static_cast<unsigned char>(Previous + *Deltas++);
            Out[Index] = Previous;
        }
    }
}

// ---------------------------------------------------------------------------
// Block decoder

struct TPendingFilter {
    std::size_t m_Start;
    std::size_t m_Size;
    std::uint32_t m_Type;
};

class TDecoder {
public:
    TDecoder(const TProperties& Props, const unsigned char* Chunks, const unsigned char* End, unsigned char* Output, std::size_t OutputSize)
        : m_Props(Props)
        , m_RangeDecoder(TChunkReader(Chunks, End, Props.m_ChunkSize, true, m_Truncated))
        , m_DirectBits(TChunkReader(Chunks, End, Props.m_ChunkSize, false, m_Truncated))
        , m_Model(new TModel)
        , m_Output(Output)
        , m_OutputSize(OutputSize)
        , m_MaxPendingFilters(Props.m_WindowSize / sizeof(TPendingFilter))
    {
        m_Model->reset();
    }

    bool decode()
    {
        restartCoders();
        for (;;) {
            const std::uint32_t Type = m_DirectBits.integer();
            if (m_Truncated) {
                return false;
            }
            if (Type == kBlockEnd) {
                break;
            }
            if (!decodeBlock(Type) || !applyFilters(false)) {
                return false;
            }
            if (m_DirectBits.integer() == kSegmentEnds) {
                restartCoders();
            }
            if (m_Truncated) {
                return false;
            }
        }
        return applyFilters(true) && m_Produced == m_OutputSize;
    }

    std::size_t produced() const { return m_Produced; }

private:
    void restartCoders()
    {
        m_RangeDecoder.restart();
        m_DirectBits.restart();
    }

    // The most a block may still produce: its own limit and the room left.
    std::size_t blockLimit() const { return std::min<std::size_t>(m_Props.m_BlockSize, m_OutputSize - m_Produced); }

    bool decodeBlock(std::uint32_t Type)
    {
        switch (Type) {
        case kBlockLz:
        case kBlockLzText:
        case kBlockLzX86:
            return decodeLzBlock(Type);
        case kBlockEntropy:
            return decodeEntropyBlock();
        case kBlockStored:
            return decodeStoredBlock();
        default:
            if (Type >= kBlockDeltaFirst && Type - kBlockDeltaFirst < kDeltaChannels.size()) {
                return decodeDeltaBlock(kDeltaChannels[Type - kBlockDeltaFirst]);
            }
            return false;
        }
    }

    // Byte count of an entropy, stored or delta block. Empty blocks never
    // occur in real streams and are refused.
    bool readBlockSize(std::size_t& Size)
    {
        Size = m_DirectBits.integer();
        return !m_Truncated && Size > 0 && Size <= blockLimit();
    }

    bool decodeLzBlock(std::uint32_t Type)
    {
        if (Type == kBlockLzText) {
            m_DirectBits.integer(); // the block size again; the packets decide it
        }
        const std::size_t Start = m_Produced;
        if (!decodeLzPackets() || m_Produced == Start) {
            return false;
        }
        const std::size_t Size = m_Produced - Start;
        if (Type == kBlockLzText || (Type == kBlockLzX86 && Size > kX86InstructionSize)) {
            // Each pending block costs a few bytes; keep that below the window
            // we do not allocate.
            if (m_PendingFilters.size() >= m_MaxPendingFilters) {
                return false;
            }
            m_PendingFilters.push_back({Start, Size, Type});
        }
        return true;
    }

    // Packets until the end marker (a match with length code 0 and distance
    // code 64): literal, match, short repeat (one byte from the last
    // distance) or repeat match (one of the last four distances).
    bool decodeLzPackets()
    {
        TModel& Model = *m_Model;
        unsigned char* const Out = m_Output;
        const std::size_t Limit = m_Produced + blockLimit();
        std::size_t Pos = m_Produced;
        bool Ended = false;
        while (!m_Truncated) {
            TProb* Flags = &Model.m_Packet[m_State * kPacketFlags];
            if (m_RangeDecoder.bit(Flags[0]) == 0) {
                if (Pos == Limit) {
                    break;
                }
                const unsigned Byte = m_RangeDecoder.tree(&Model.m_Literal[m_Context << 8], 8);
                Out[Pos++] = static_cast<unsigned char>(Byte);
                m_Context = Byte;
                advanceState(kLiteral);
                continue;
            }

            std::uint32_t Distance;
            std::uint32_t Length;
            if (m_RangeDecoder.bit(Flags[1]) == 1) {
                const std::uint32_t LengthCode = decodeLength(static_cast<std::uint32_t>(Limit - Pos));
                if (LengthCode == kBadLength) {
                    break;
                }
                const std::uint32_t DistanceCode = decodeDistanceCode(LengthCode);
                advanceState(kMatch);
                if (LengthCode == 0 && DistanceCode == kEndMarkerDistanceCode) {
                    Ended = true;
                    break;
                }
                Distance = DistanceCode + 1;
                Length = LengthCode + kMinMatchLength;
                pushRepeat(Distance);
            } else if (m_RangeDecoder.bit(Flags[2]) == 0) {
                Distance = m_Repeats[0];
                Length = 1;
                advanceState(kShortRepeat);
            } else {
                const unsigned Index = decodeRepeatIndex();
                const std::uint32_t LengthCode = decodeLength(static_cast<std::uint32_t>(Limit - Pos));
                if (LengthCode == kBadLength) {
                    break;
                }
                Length = LengthCode + kMinMatchLength;
                Distance = promoteRepeat(Index);
                advanceState(kRepeatMatch);
            }

            // The history is everything produced so far, seen through the window.
            if (Distance == 0 || Distance > Pos || Distance > m_Props.m_WindowSize || Length > Limit - Pos) {
                break;
            }
            copyMatch(Out + Pos, Distance, Length);
            Pos += Length;
            m_Context = Out[Pos - 1];
        }
        m_Produced = Pos;
        return Ended && !m_Truncated;
    }

    void advanceState(EPacket Packet) { m_State = (m_State * 4 + Packet) % kStates; }

    void pushRepeat(std::uint32_t Distance)
    {
        std::copy_backward(m_Repeats.begin(), m_Repeats.end() - 1, m_Repeats.end());
        m_Repeats[0] = Distance;
    }

    // Moves repeat distance Index to the front and returns it.
    std::uint32_t promoteRepeat(unsigned Index)
    {
        const std::uint32_t Distance = m_Repeats[Index];
        std::copy_backward(m_Repeats.begin(), m_Repeats.begin() + Index, m_Repeats.begin() + Index + 1);
        m_Repeats[0] = Distance;
        return Distance;
    }

    // Byte by byte when source and destination overlap (Distance < Length).
    static void copyMatch(unsigned char* Dst, std::size_t Distance, std::uint32_t Length)
    {
        const unsigned char* Src = Dst - Distance;
        if (Distance >= Length) {
            std::memcpy(Dst, Src, Length);
            return;
        }
        for (std::uint32_t Index = 0; Index < Length; ++Index) {
            Dst[Index] = Src[Index];
        }
    }

    unsigned decodeRepeatIndex()
    {
        TProb* Probs = &m_Model->m_RepeatIndex[m_State * 3];
        const unsigned High = m_RangeDecoder.bit(Probs[0]);
        const unsigned Low = m_RangeDecoder.bit(Probs[1 + High]);
        return (High << 1) | Low;
    }

    std::uint32_t decodeShortLength()
    {
        TLengthModel& Model = m_Model->m_Length;
        if (m_RangeDecoder.bit(Model.m_Choice[0]) == 0) {
            return m_RangeDecoder.tree(Model.m_Low.data(), kLowLengthBits);
        }
        if (m_RangeDecoder.bit(Model.m_Choice[1]) == 0) {
            return kMidLengthBase + m_RangeDecoder.tree(Model.m_Mid.data(), kMidLengthBits);
        }
        return kHighLengthBase + m_RangeDecoder.tree(Model.m_High.data(), kHighLengthBits);
    }

    // Length code (match length - 2, run length - 11). The escape loop could
    // run as long as corrupt data lasts, so it gives up past EscapeLimit.
    std::uint32_t decodeLength(std::uint32_t EscapeLimit)
    {
        std::uint32_t Code = decodeShortLength();
        if (Code < kLengthEscape) {
            return Code;
        }
        while (m_RangeDecoder.bit(m_Model->m_Length.m_Escape) == 0) {
            Code += kLengthEscape;
            if (Code > EscapeLimit) {
                return kBadLength;
            }
        }
        return Code + decodeShortLength();
    }

    std::uint32_t decodeDistanceCode(std::uint32_t LengthCode)
    {
        const TSlotTree& Tree = kSlotTrees[std::min<std::size_t>(LengthCode, kSlotTrees.size() - 1)];
        const unsigned Slot = m_RangeDecoder.tree(&m_Model->m_Slot[Tree.m_Offset], Tree.m_Bits);
        if (Slot < kPlainSlots) {
            return Slot;
        }
        const unsigned ExtraBits = Slot - 2;
        const std::uint32_t High = ExtraBits > kLowDistanceBits ? m_DirectBits.bits(ExtraBits - kLowDistanceBits) : 0;
        const std::uint32_t Low =
            m_RangeDecoder.reverseTree(&m_Model->m_LowDistance[(ExtraBits - 1) << kLowDistanceBits], kLowDistanceBits);
        return (std::uint32_t {1} << ExtraBits) + 1 + (High << kLowDistanceBits) + Low;
    }

    // Order-1 literals with the LZ literal model and context.
    bool decodeEntropyBlock()
    {
        std::size_t Size;
        if (!readBlockSize(Size)) {
            return false;
        }
        unsigned char* Out = m_Output + m_Produced;
        for (std::size_t Index = 0; Index < Size; ++Index) {
            m_Context = m_RangeDecoder.tree(&m_Model->m_Literal[m_Context << 8], 8);
            Out[Index] = static_cast<unsigned char>(m_Context);
        }
        m_Produced += Size;
        return !m_Truncated;
    }

    bool decodeStoredBlock()
    {
        std::size_t Size;
        if (!readBlockSize(Size)) {
            return false;
        }
        unsigned char* Out = m_Output + m_Produced;
        for (std::size_t Index = 0; Index < Size; ++Index) {
            Out[Index] = static_cast<unsigned char>(m_DirectBits.bits(8));
        }
        m_Produced += Size;
        return !m_Truncated;
    }

    // Bytes or runs of the previous byte, then the inverse channel delta.
    bool decodeDeltaBlock(unsigned Channels)
    {
        std::size_t Size;
        if (!readBlockSize(Size)) {
            return false;
        }
        if (m_Scratch.size() < Size) {
            m_Scratch.resize(Size);
        }
        unsigned char* Deltas = m_Scratch.data();
        unsigned Context = 0;
        std::size_t Index = 0;
        while (Index < Size && !m_Truncated) {
            if (m_RangeDecoder.bit(m_Model->m_Run) == 0) {
                Context = m_RangeDecoder.tree(&m_Model->m_Delta[Context << 8], 8);
                Deltas[Index++] = static_cast<unsigned char>(Context);
                continue;
            }
            if (Index == 0) {
                return false;
            }
            const std::uint32_t Code = decodeLength(static_cast<std::uint32_t>(Size - Index));
            if (Code == kBadLength) {
                return false;
            }
            // A run may overshoot the block; it stops at the block end.
            const std::size_t Run = std::min<std::size_t>(Code + kMinRunLength, Size - Index);
            std::memset(Deltas + Index, Deltas[Index - 1], Run);
            Index += Run;
            Context = Deltas[Index - 1];
        }
        if (m_Truncated) {
            return false;
        }
        undoDelta(Deltas, Size, Channels, m_Output + m_Produced);
        m_Produced += Size;
        return true;
    }

    // Filters pending text and x86 blocks once no match can reach them any
    // more (or all of them, at the end of the stream).
    bool applyFilters(bool All)
    {
        while (!m_PendingFilters.empty()) {
            const TPendingFilter& Block = m_PendingFilters.front();
            if (!All && m_Produced - (Block.m_Start + Block.m_Size) < m_Props.m_WindowSize) {
                break;
            }
            if (!applyFilter(Block)) {
                return false;
            }
            m_PendingFilters.pop_front();
        }
        return true;
    }

    bool applyFilter(const TPendingFilter& Block)
    {
        unsigned char* Bytes = m_Output + Block.m_Start;
        if (Block.m_Type == kBlockLzX86) {
            undoX86Addresses(Bytes, Block.m_Size);
            return true;
        }
        if (m_Scratch.size() < Block.m_Size) {
            m_Scratch.resize(Block.m_Size);
        }
        std::memcpy(m_Scratch.data(), Bytes, Block.m_Size);
        return expandWords(m_Scratch.data(), Block.m_Size, Bytes);
    }

    const TProperties m_Props;
    bool m_Truncated = false; // either sub-stream ran out
    TRangeDecoder m_RangeDecoder;
    TDirectBits m_DirectBits;
    std::unique_ptr<TModel> m_Model;

    unsigned char* const m_Output;
    const std::size_t m_OutputSize;
    std::size_t m_Produced = 0;

    unsigned m_State = 0;
    unsigned m_Context = 0; // previous literal byte
    std::array<std::uint32_t, kRepeats> m_Repeats = {};

    const std::size_t m_MaxPendingFilters;
    std::deque<TPendingFilter> m_PendingFilters;
    std::vector<unsigned char> m_Scratch; // delta bytes, or a text block being expanded
};

} // namespace

bool decodeCsc(const unsigned char* Payload, std::size_t PayloadSize, unsigned char* Output, std::size_t OutputSize,
               std::size_t& Produced) noexcept
{
    Produced = 0;
    TProperties Props;
    if (Payload == nullptr || PayloadSize < kPropertiesSize || (Output == nullptr && OutputSize > 0) || !readProperties(Payload, Props)) {
        return false;
    }
    const unsigned char* Chunks = Payload + kPropertiesSize;
    const unsigned char* End = Payload + PayloadSize;
    if (!chunksWellFormed(Chunks, End, Props.m_ChunkSize)) {
        return false;
    }
    try {
        TDecoder Decoder(Props, Chunks, End, Output, OutputSize);
        const bool Ok = Decoder.decode();
        Produced = Decoder.produced();
        return Ok;
    } catch (...) { // allocation failure
        return false;
    }
}

} // namespace shared
