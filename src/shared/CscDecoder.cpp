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
// in two sub-streams: range-coder bytes and raw "direct" bits, each cut into
// chunks that are interleaved in the payload. The stream is a series of
// segments; at a segment boundary both coders restart on fresh chunks while
// the models carry on. The stream has no size and no checksum: it ends with an
// end-of-stream block, and the container tells us how many bytes to expect.
//
// The whole output is in memory, so it is also the LZ history ("flat layout"):
// matches copy from earlier output bytes instead of a circular window of the
// declared dictionary size. The only cost is that text and x86 blocks must stay
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
constexpr std::size_t kChunkLengthSize = 3;

// --- Adaptive probabilities: 12-bit estimates that the next bit is 1.
using Prob = std::uint16_t;
constexpr int kProbBits = 12;
constexpr Prob kProbInit = 1u << (kProbBits - 1);
constexpr Prob kProbOneTarget = (1u << kProbBits) - 1;
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
enum Packet : unsigned { kLiteral = 0, kMatch = 1, kShortRepeat = 2, kRepeatMatch = 3 };
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
struct SlotTree {
    unsigned offset;
    unsigned bits;
};
constexpr std::array<SlotTree, 7> kSlotTrees = {{{0, 3}, {8, 4}, {24, 4}, {40, 5}, {72, 5}, {104, 5}, {136, 5}}};
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
    "ac",  "ad",  "ai",  "al",  "am",  "an",  "ar",  "as",  "at",  "ea",  "ec",  "ed",  "ee",   "el",   "en",
    "er",  "es",  "et",  "id",  "ie",  "ig",  "il",  "in",  "io",  "is",  "it",  "of",  "ol",   "on",   "oo",
    "or",  "os",  "ou",  "ow",  "ul",  "un",  "ur",  "us",  "ba",  "be",  "ca",  "ce",  "co",   "ch",   "de",
    "di",  "ge",  "gh",  "ha",  "he",  "hi",  "ho",  "ra",  "re",  "ri",  "ro",  "rs",  "la",   "le",   "li",
    "lo",  "ld",  "ll",  "ly",  "se",  "si",  "so",  "sh",  "ss",  "st",  "ma",  "me",  "mi",   "ne",   "nc",
    "nd",  "ng",  "nt",  "pa",  "pe",  "ta",  "te",  "ti",  "to",  "th",  "tr",  "wa",  "ve",   "all",  "and",
    "but", "dow", "for", "had", "hav", "her", "him", "his", "man", "mor", "not", "now", "one",  "out",  "she",
    "the", "was", "wer", "whi", "whe", "wit", "you", "any", "are", "that", "said", "with", "have", "this", "from",
    "were", "tion"};

struct Properties {
    std::uint32_t windowSize;
    std::uint32_t chunkSize;
    std::uint32_t blockSize; // most bytes one block may produce
};

std::uint32_t readBigEndian(const unsigned char* bytes, int count)
{
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

bool readProperties(const unsigned char* bytes, Properties& props)
{
    props.windowSize = readBigEndian(bytes, 4);
    props.chunkSize = readBigEndian(bytes + 4, 3);
    props.blockSize = readBigEndian(bytes + 7, 3);
    return props.windowSize >= kMinWindowSize && props.windowSize <= kMaxWindowSize && props.chunkSize > 0
        && props.blockSize > 0;
}

// ---------------------------------------------------------------------------
// Chunk layer

struct ChunkHeader {
    bool rangeCoded;
    std::size_t length;
};

// Parses the header at `pos` and moves `pos` to the chunk body. False if the
// header or the body is cut off, or the chunk is longer than a full one.
bool parseChunkHeader(const unsigned char*& pos, const unsigned char* end, std::uint32_t fullSize,
                      ChunkHeader& header)
{
    if (pos == end)
        return false;
    const unsigned flags = *pos++;
    header.rangeCoded = (flags & kChunkRangeCoded) != 0;
    if (flags & kChunkFull) {
        header.length = fullSize;
    } else {
        if (static_cast<std::size_t>(end - pos) < kChunkLengthSize)
            return false;
        header.length = readBigEndian(pos, kChunkLengthSize);
        pos += kChunkLengthSize;
        if (header.length > fullSize)
            return false;
    }
    return static_cast<std::size_t>(end - pos) >= header.length;
}

bool chunksWellFormed(const unsigned char* pos, const unsigned char* end, std::uint32_t fullSize)
{
    ChunkHeader header;
    while (pos != end) {
        if (!parseChunkHeader(pos, end, fullSize, header))
            return false;
        pos += header.length;
    }
    return true;
}

// Reads one sub-stream (range-coder or direct-bit bytes) as a continuous byte
// sequence, walking the chunk headers itself and stepping over the other
// kind's chunks. Running out sets the shared `truncated` flag and yields zeros,
// so the hot paths need no error returns; callers check the flag.
class ChunkReader {
public:
    ChunkReader(const unsigned char* chunks, const unsigned char* end, std::uint32_t fullSize, bool rangeCoded,
                bool& truncated)
        : m_NextHeader(chunks), m_End(end), m_FullSize(fullSize), m_RangeCoded(rangeCoded), m_Truncated(&truncated)
    {
    }

    unsigned char next() { return m_Pos != m_ChunkEnd ? *m_Pos++ : nextFromNewChunk(); }

    // Drops the rest of the current chunk: it is the previous segment's flush padding.
    void leaveChunk() { m_Pos = m_ChunkEnd; }

private:
    unsigned char nextFromNewChunk()
    {
        ChunkHeader header;
        while (parseChunkHeader(m_NextHeader, m_End, m_FullSize, header)) {
            const unsigned char* body = m_NextHeader;
            m_NextHeader += header.length;
            // The producer occasionally flushes an empty direct-bit chunk; skip it.
            if (header.rangeCoded == m_RangeCoded && header.length > 0) {
                m_Pos = body;
                m_ChunkEnd = body + header.length;
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
class RangeDecoder {
public:
    explicit RangeDecoder(const ChunkReader& input) : m_Input(input) {}

    void restart()
    {
        m_Input.leaveChunk();
        m_Code = 0;
        for (int i = 0; i < kRangeRestartBytes; ++i) // the pad byte shifts out
            m_Code = (m_Code << 8) | m_Input.next();
        m_Range = UINT32_MAX;
    }

    unsigned bit(Prob& prob)
    {
        if (m_Range < kRangeTop) {
            m_Range <<= 8;
            m_Code = (m_Code << 8) | m_Input.next();
        }
        const std::uint32_t bound = (m_Range >> kProbBits) * prob;
        if (m_Code < bound) {
            m_Range = bound;
            prob += (kProbOneTarget - prob) >> kAdaptShift;
            return 1;
        }
        m_Range -= bound;
        m_Code -= bound;
        prob -= prob >> kAdaptShift;
        return 0;
    }

    // Most significant bit first; probs[1 .. 2^bits - 1] are used.
    unsigned tree(Prob* probs, unsigned bits)
    {
        unsigned node = 1;
        for (unsigned i = 0; i < bits; ++i)
            node = (node << 1) | bit(probs[node]);
        return node - (1u << bits);
    }

    // Same tree walk, but the first bit decoded is the least significant.
    unsigned reverseTree(Prob* probs, unsigned bits)
    {
        unsigned node = 1;
        unsigned value = 0;
        for (unsigned i = 0; i < bits; ++i) {
            const unsigned b = bit(probs[node]);
            node = (node << 1) | b;
            value |= b << i;
        }
        return value;
    }

private:
    ChunkReader m_Input;
    std::uint32_t m_Range = 0;
    std::uint32_t m_Code = 0;
};

// Direct bits, most significant first.
class DirectBits {
public:
    explicit DirectBits(const ChunkReader& input) : m_Input(input) {}

    void restart()
    {
        m_Input.leaveChunk();
        m_Count = 0;
    }

    std::uint32_t bits(unsigned count) // 1 .. 32
    {
        while (m_Count < count) {
            m_Buffer = (m_Buffer << 8) | m_Input.next();
            m_Count += 8;
        }
        m_Count -= count;
        return static_cast<std::uint32_t>((m_Buffer >> m_Count) & ((std::uint64_t{1} << count) - 1));
    }

    // Block types, counts and continuation flags: a 5-bit exponent s, then
    // 2^s + s further bits (or a single bit when s is 0).
    std::uint32_t integer()
    {
        const unsigned exponent = bits(5);
        if (exponent == 0)
            return bits(1);
        return (std::uint32_t{1} << exponent) + bits(exponent);
    }

private:
    ChunkReader m_Input;
    std::uint64_t m_Buffer = 0;
    unsigned m_Count = 0;
};

// ---------------------------------------------------------------------------
// Models: created once per payload, never reset between segments.

struct LengthModel {
    std::array<Prob, 2> choice;
    std::array<Prob, 1u << kLowLengthBits> low;
    std::array<Prob, 1u << kMidLengthBits> mid;
    std::array<Prob, 1u << kHighLengthBits> high;
    Prob escape;
};

struct Model {
    std::array<Prob, kStates * kPacketFlags> packet;
    std::array<Prob, kStates * 3> repeatIndex; // 2-bit tree per state
    std::array<Prob, kSlotProbs> slot;
    std::array<Prob, kMaxExtraDistanceBits << kLowDistanceBits> lowDistance;
    LengthModel length;
    Prob run;                                // delta blocks: run or byte
    std::array<Prob, 256 * 256> literal;     // previous byte x tree node
    std::array<Prob, 256 * 256> delta;       // previous delta byte x tree node

    void reset()
    {
        packet.fill(kProbInit);
        repeatIndex.fill(kProbInit);
        slot.fill(kProbInit);
        lowDistance.fill(kProbInit);
        length.choice.fill(kProbInit);
        length.low.fill(kProbInit);
        length.mid.fill(kProbInit);
        length.high.fill(kProbInit);
        length.escape = kProbInit;
        run = kProbInit;
        literal.fill(kProbInit);
        delta.fill(kProbInit);
    }
};

// ---------------------------------------------------------------------------
// Inverse filters, each on one block with positions counted from its start.

// x86 CALL/JMP: the producer turned relative operands into absolute ones.
void undoX86Addresses(unsigned char* block, std::size_t size)
{
    std::size_t nextCandidate = kX86InstructionSize;
    for (std::size_t t = kX86InstructionSize; t < size; ++t) { // t: address of the next instruction
        const unsigned opcode = block[t - kX86InstructionSize];
        if (t < nextCandidate || (opcode != 0xE8 && opcode != 0xE9))
            continue;
        nextCandidate = t + 4;
        unsigned char* operand = block + t - 4;
        if (operand[3] != 0x00 && operand[3] != 0xFF)
            continue;
        const std::uint32_t absolute = (std::uint32_t{operand[0]} << 17) | (std::uint32_t{operand[1]} << 9)
            | (std::uint32_t{operand[2]} << 1) | (operand[3] == 0x00 ? 1u : 0u);
        const std::uint32_t relative = (absolute - static_cast<std::uint32_t>(t)) & kX86AddressMask;
        operand[0] = static_cast<unsigned char>(relative);
        operand[1] = static_cast<unsigned char>(relative >> 8);
        operand[2] = static_cast<unsigned char>(relative >> 16);
        operand[3] = relative >= kX86AddressHighBit ? 0x00 : 0xFF;
    }
}

// English text: word symbols expand into the `size` bytes of `out`. False if
// the symbols run out first.
bool expandWords(const unsigned char* in, std::size_t size, unsigned char* out)
{
    std::size_t read = 0;
    std::size_t written = 0;
    while (written < size) {
        if (read >= size)
            return false;
        const unsigned char symbol = in[read++];
        if (symbol >= kFirstWordSymbol && symbol <= kLastWordSymbol) {
            for (const char* letter = kWords[symbol - kFirstWordSymbol]; *letter && written < size; ++letter)
                out[written++] = static_cast<unsigned char>(*letter);
        } else if (symbol == kWordEscape && read < size && in[read] >= kFirstWordSymbol) {
            out[written++] = in[read++];
        } else {
            out[written++] = symbol;
        }
    }
    return true;
}

// Channel delta: `deltas` holds all of channel 0, then channel 1, ...; the
// running sum carries over from one channel to the next.
void undoDelta(const unsigned char* deltas, std::size_t size, unsigned channels, unsigned char* out)
{
    if (size < kMinDeltaFilterSize) {
        std::memcpy(out, deltas, size);
        return;
    }
    unsigned char previous = 0;
    for (unsigned channel = 0; channel < channels; ++channel) {
        for (std::size_t i = channel; i < size; i += channels) {
            previous = static_cast<unsigned char>(previous + *deltas++);
            out[i] = previous;
        }
    }
}

// ---------------------------------------------------------------------------
// Block decoder

struct PendingFilter {
    std::size_t start;
    std::size_t size;
    std::uint32_t type;
};

class Decoder {
public:
    Decoder(const Properties& props, const unsigned char* chunks, const unsigned char* end, unsigned char* output,
            std::size_t outputSize)
        : m_Props(props)
        , m_RangeDecoder(ChunkReader(chunks, end, props.chunkSize, true, m_Truncated))
        , m_DirectBits(ChunkReader(chunks, end, props.chunkSize, false, m_Truncated))
        , m_Model(new Model)
        , m_Output(output)
        , m_OutputSize(outputSize)
        , m_MaxPendingFilters(props.windowSize / sizeof(PendingFilter))
    {
        m_Model->reset();
    }

    bool decode()
    {
        restartCoders();
        for (;;) {
            const std::uint32_t type = m_DirectBits.integer();
            if (m_Truncated)
                return false;
            if (type == kBlockEnd)
                break;
            if (!decodeBlock(type) || !applyFilters(false))
                return false;
            if (m_DirectBits.integer() == kSegmentEnds)
                restartCoders();
            if (m_Truncated)
                return false;
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
    std::size_t blockLimit() const { return std::min<std::size_t>(m_Props.blockSize, m_OutputSize - m_Produced); }

    bool decodeBlock(std::uint32_t type)
    {
        switch (type) {
        case kBlockLz:
        case kBlockLzText:
        case kBlockLzX86:
            return decodeLzBlock(type);
        case kBlockEntropy:
            return decodeEntropyBlock();
        case kBlockStored:
            return decodeStoredBlock();
        default:
            if (type >= kBlockDeltaFirst && type - kBlockDeltaFirst < kDeltaChannels.size())
                return decodeDeltaBlock(kDeltaChannels[type - kBlockDeltaFirst]);
            return false;
        }
    }

    // Byte count of an entropy, stored or delta block. Empty blocks never
    // occur in real streams and are refused.
    bool readBlockSize(std::size_t& size)
    {
        size = m_DirectBits.integer();
        return !m_Truncated && size > 0 && size <= blockLimit();
    }

    bool decodeLzBlock(std::uint32_t type)
    {
        if (type == kBlockLzText)
            m_DirectBits.integer(); // the block size again; the packets decide it
        const std::size_t start = m_Produced;
        if (!decodeLzPackets() || m_Produced == start)
            return false;
        const std::size_t size = m_Produced - start;
        if (type == kBlockLzText || (type == kBlockLzX86 && size > kX86InstructionSize)) {
            // Each pending block costs a few bytes; keep that below the window
            // we do not allocate.
            if (m_PendingFilters.size() >= m_MaxPendingFilters)
                return false;
            m_PendingFilters.push_back({start, size, type});
        }
        return true;
    }

    bool decodeLzPackets()
    {
        Model& model = *m_Model;
        unsigned char* const out = m_Output;
        const std::size_t limit = m_Produced + blockLimit();
        std::size_t pos = m_Produced;
        bool ended = false;
        while (!m_Truncated) {
            Prob* flags = &model.packet[m_State * kPacketFlags];
            if (m_RangeDecoder.bit(flags[0]) == 0) {
                if (pos == limit)
                    break;
                const unsigned byte = m_RangeDecoder.tree(&model.literal[m_Context << 8], 8);
                out[pos++] = static_cast<unsigned char>(byte);
                m_Context = byte;
                m_State = (m_State * 4 + kLiteral) % kStates;
                continue;
            }

            std::uint32_t distance;
            std::uint32_t length;
            if (m_RangeDecoder.bit(flags[1]) == 1) {
                const std::uint32_t lengthCode = decodeLength(static_cast<std::uint32_t>(limit - pos));
                if (lengthCode == kBadLength)
                    break;
                const std::uint32_t distanceCode = decodeDistanceCode(lengthCode);
                m_State = (m_State * 4 + kMatch) % kStates;
                if (lengthCode == 0 && distanceCode == kEndMarkerDistanceCode) {
                    ended = true;
                    break;
                }
                distance = distanceCode + 1;
                length = lengthCode + kMinMatchLength;
                std::copy_backward(m_Repeats.begin(), m_Repeats.end() - 1, m_Repeats.end());
                m_Repeats[0] = distance;
            } else if (m_RangeDecoder.bit(flags[2]) == 0) {
                distance = m_Repeats[0];
                length = 1;
                m_State = (m_State * 4 + kShortRepeat) % kStates;
            } else {
                const unsigned index = decodeRepeatIndex();
                const std::uint32_t lengthCode = decodeLength(static_cast<std::uint32_t>(limit - pos));
                if (lengthCode == kBadLength)
                    break;
                length = lengthCode + kMinMatchLength;
                distance = m_Repeats[index];
                std::copy_backward(m_Repeats.begin(), m_Repeats.begin() + index, m_Repeats.begin() + index + 1);
                m_Repeats[0] = distance;
                m_State = (m_State * 4 + kRepeatMatch) % kStates;
            }

            if (distance == 0 || distance > pos || distance > m_Props.windowSize || length > limit - pos)
                break;
            copyMatch(out + pos, distance, length);
            pos += length;
            m_Context = out[pos - 1];
        }
        m_Produced = pos;
        return ended && !m_Truncated;
    }

    // Byte by byte when source and destination overlap (distance < length).
    static void copyMatch(unsigned char* dst, std::size_t distance, std::uint32_t length)
    {
        const unsigned char* src = dst - distance;
        if (distance >= length) {
            std::memcpy(dst, src, length);
            return;
        }
        for (std::uint32_t i = 0; i < length; ++i)
            dst[i] = src[i];
    }

    unsigned decodeRepeatIndex()
    {
        Prob* probs = &m_Model->repeatIndex[m_State * 3];
        const unsigned high = m_RangeDecoder.bit(probs[0]);
        const unsigned low = m_RangeDecoder.bit(probs[1 + high]);
        return (high << 1) | low;
    }

    std::uint32_t decodeShortLength()
    {
        LengthModel& model = m_Model->length;
        if (m_RangeDecoder.bit(model.choice[0]) == 0)
            return m_RangeDecoder.tree(model.low.data(), kLowLengthBits);
        if (m_RangeDecoder.bit(model.choice[1]) == 0)
            return kMidLengthBase + m_RangeDecoder.tree(model.mid.data(), kMidLengthBits);
        return kHighLengthBase + m_RangeDecoder.tree(model.high.data(), kHighLengthBits);
    }

    // Length code (match length - 2, run length - 11). The escape loop could
    // run as long as corrupt data lasts, so it gives up past `escapeLimit`.
    std::uint32_t decodeLength(std::uint32_t escapeLimit)
    {
        std::uint32_t code = decodeShortLength();
        if (code < kLengthEscape)
            return code;
        while (m_RangeDecoder.bit(m_Model->length.escape) == 0) {
            code += kLengthEscape;
            if (code > escapeLimit)
                return kBadLength;
        }
        return code + decodeShortLength();
    }

    std::uint32_t decodeDistanceCode(std::uint32_t lengthCode)
    {
        const SlotTree& tree = kSlotTrees[std::min<std::size_t>(lengthCode, kSlotTrees.size() - 1)];
        const unsigned slot = m_RangeDecoder.tree(&m_Model->slot[tree.offset], tree.bits);
        if (slot < kPlainSlots)
            return slot;
        const unsigned extraBits = slot - 2;
        const std::uint32_t high = extraBits > kLowDistanceBits ? m_DirectBits.bits(extraBits - kLowDistanceBits) : 0;
        const std::uint32_t low = m_RangeDecoder.reverseTree(
            &m_Model->lowDistance[(extraBits - 1) << kLowDistanceBits], kLowDistanceBits);
        return (std::uint32_t{1} << extraBits) + 1 + (high << kLowDistanceBits) + low;
    }

    // Order-1 literals with the LZ literal model and context.
    bool decodeEntropyBlock()
    {
        std::size_t size;
        if (!readBlockSize(size))
            return false;
        unsigned char* out = m_Output + m_Produced;
        for (std::size_t i = 0; i < size; ++i) {
            m_Context = m_RangeDecoder.tree(&m_Model->literal[m_Context << 8], 8);
            out[i] = static_cast<unsigned char>(m_Context);
        }
        m_Produced += size;
        return !m_Truncated;
    }

    bool decodeStoredBlock()
    {
        std::size_t size;
        if (!readBlockSize(size))
            return false;
        unsigned char* out = m_Output + m_Produced;
        for (std::size_t i = 0; i < size; ++i)
            out[i] = static_cast<unsigned char>(m_DirectBits.bits(8));
        m_Produced += size;
        return !m_Truncated;
    }

    // Bytes or runs of the previous byte, then the inverse channel delta.
    bool decodeDeltaBlock(unsigned channels)
    {
        std::size_t size;
        if (!readBlockSize(size))
            return false;
        if (m_Scratch.size() < size)
            m_Scratch.resize(size);
        unsigned char* deltas = m_Scratch.data();
        unsigned context = 0;
        std::size_t i = 0;
        while (i < size && !m_Truncated) {
            if (m_RangeDecoder.bit(m_Model->run) == 0) {
                context = m_RangeDecoder.tree(&m_Model->delta[context << 8], 8);
                deltas[i++] = static_cast<unsigned char>(context);
                continue;
            }
            if (i == 0)
                return false;
            const std::uint32_t code = decodeLength(static_cast<std::uint32_t>(size - i));
            if (code == kBadLength)
                return false;
            // A run may overshoot the block; it stops at the block end.
            const std::size_t run = std::min<std::size_t>(code + kMinRunLength, size - i);
            std::memset(deltas + i, deltas[i - 1], run);
            i += run;
            context = deltas[i - 1];
        }
        if (m_Truncated)
            return false;
        undoDelta(deltas, size, channels, m_Output + m_Produced);
        m_Produced += size;
        return true;
    }

    // Filters pending text and x86 blocks once no match can reach them any
    // more (or all of them, at the end of the stream).
    bool applyFilters(bool all)
    {
        while (!m_PendingFilters.empty()) {
            const PendingFilter& block = m_PendingFilters.front();
            if (!all && m_Produced - (block.start + block.size) < m_Props.windowSize)
                break;
            if (!applyFilter(block))
                return false;
            m_PendingFilters.pop_front();
        }
        return true;
    }

    bool applyFilter(const PendingFilter& block)
    {
        unsigned char* bytes = m_Output + block.start;
        if (block.type == kBlockLzX86) {
            undoX86Addresses(bytes, block.size);
            return true;
        }
        if (m_Scratch.size() < block.size)
            m_Scratch.resize(block.size);
        std::memcpy(m_Scratch.data(), bytes, block.size);
        return expandWords(m_Scratch.data(), block.size, bytes);
    }

    const Properties m_Props;
    bool m_Truncated = false; // either sub-stream ran out
    RangeDecoder m_RangeDecoder;
    DirectBits m_DirectBits;
    std::unique_ptr<Model> m_Model;

    unsigned char* const m_Output;
    const std::size_t m_OutputSize;
    std::size_t m_Produced = 0;

    unsigned m_State = 0;
    unsigned m_Context = 0; // previous literal byte
    std::array<std::uint32_t, kRepeats> m_Repeats = {};

    const std::size_t m_MaxPendingFilters;
    std::deque<PendingFilter> m_PendingFilters;
    std::vector<unsigned char> m_Scratch; // delta bytes, or a text block being expanded
};

} // namespace

bool decodeCsc(const unsigned char* Payload, std::size_t PayloadSize, unsigned char* Output, std::size_t OutputSize,
               std::size_t& Produced)
{
    Produced = 0;
    Properties props;
    if (Payload == nullptr || PayloadSize < kPropertiesSize || (Output == nullptr && OutputSize > 0)
        || !readProperties(Payload, props))
        return false;
    const unsigned char* chunks = Payload + kPropertiesSize;
    const unsigned char* end = Payload + PayloadSize;
    if (!chunksWellFormed(chunks, end, props.chunkSize))
        return false;
    try {
        Decoder decoder(props, chunks, end, Output, OutputSize);
        const bool ok = decoder.decode();
        Produced = decoder.produced();
        return ok;
    } catch (const std::exception&) { // allocation failure
        return false;
    }
}

} // namespace shared
