#include "ContentDefinedChunker.h"

#include "RegularFile.h"
#include "Sha256.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <memory>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#endif

namespace shared {

namespace {

// Indexed by byte value, eight values per row.
constexpr std::array<std::uint32_t, 256> kGearTable = {{
    0x5C95C078, 0x22408989, 0x2D48A214, 0x12842087, 0x530F8AFB, 0x474536B9, 0x2963B4F1, 0x44CB738B, 0x4EA7403D, 0x4D606B6E, 0x074EC5D3,
    0x3AF39D18, 0x726003CA, 0x37A62A74, 0x51A2F58E, 0x7506358E, 0x5D4AB128, 0x4D4AE17B, 0x41E85924, 0x470C36F7, 0x4741CBE1, 0x01BB7F30,
    0x617C1DE3, 0x2B0C3A1F, 0x50C48F73, 0x21A82D37, 0x6095ACE0, 0x419167A0, 0x3CAF49B0, 0x40CEA62D, 0x66BC1C66, 0x545E1DAD, 0x2BFA77CD,
    0x6E85DA24, 0x5FB0BDC5, 0x652CFC29, 0x3A0AE1AB, 0x2837E0F3, 0x6387B70E, 0x13176012, 0x4362C2BB, 0x66D8F4B1, 0x37FCE834, 0x2C9CD386,
    0x21144296, 0x627268A8, 0x650DF537, 0x2805D579, 0x3B21EBBD, 0x7357ED34, 0x3F58B583, 0x7150DDCA, 0x7362225E, 0x620A6070, 0x2C5EF529,
    0x7B522466, 0x768B78C0, 0x4B54E51E, 0x75FA07E5, 0x06A35FC6, 0x30B71024, 0x1C8626E1, 0x296AD578, 0x28D7BE2E, 0x1490A05A, 0x7CEE43BD,
    0x698B56E3, 0x09DC0126, 0x4ED6DF6E, 0x02C1BFC7, 0x2A59AD53, 0x29C0E434, 0x7D6C5278, 0x507940A7, 0x5EF6BA93, 0x68B6AF1E, 0x46537276,
    0x611BC766, 0x155C587D, 0x301BA847, 0x2CC9DDA7, 0x0A438E2C, 0x0A69D514, 0x744C72D3, 0x4F326B9B, 0x7EF34286, 0x4A0EF8A7, 0x6AE06EBE,
    0x669C5372, 0x12402DCB, 0x5FEAE99D, 0x76C7F4A7, 0x6ABDB79C, 0x0DFAA038, 0x20E2282C, 0x730ED48B, 0x069DAC2F, 0x168ECF3E, 0x2610E61F,
    0x2C512C8E, 0x15FB8C06, 0x5E62BC76, 0x69555135, 0x0ADB864C, 0x4268F914, 0x349AB3AA, 0x20EDFDB2, 0x51727981, 0x37B4B3D8, 0x5DD17522,
    0x6B2CBFE4, 0x5C47CF9F, 0x30FA1CCD, 0x23DEDB56, 0x13D1F50A, 0x64EDDEE7, 0x0820B0F7, 0x46E07308, 0x1E2D1DFD, 0x17B06C32, 0x250036D8,
    0x284DBF34, 0x68292EE0, 0x362EC87C, 0x087CB1EB, 0x76B46720, 0x104130DB, 0x71966387, 0x482DC43F, 0x2388EF25, 0x524144E1, 0x44BD834E,
    0x448E7DA3, 0x3FA6EAF9, 0x3CDA215C, 0x3A500CF3, 0x395CB432, 0x5195129F, 0x43945F87, 0x51862CA4, 0x56EA8FF1, 0x201034DC, 0x4D328FF5,
    0x7D73A909, 0x6234D379, 0x64CFBF9C, 0x36F6589A, 0x0A2CE98A, 0x5FE4D971, 0x03BC15C5, 0x44021D33, 0x16C1932B, 0x37503614, 0x1ACAF69D,
    0x3F03B779, 0x49E61A03, 0x1F52D7EA, 0x1C6DDD5C, 0x062218CE, 0x07E7A11A, 0x1905757A, 0x7CE00A53, 0x49F44F29, 0x4BCC70B5, 0x39FEEA55,
    0x5242CEE8, 0x3CE56B85, 0x00B81672, 0x46BEECCC, 0x3CA0AD56, 0x2396CEE8, 0x78547F40, 0x6B08089B, 0x66A56751, 0x781E7E46, 0x1E2CF856,
    0x3BC13591, 0x494A4202, 0x520494D7, 0x2D87459A, 0x757555B6, 0x42284CC1, 0x1F478507, 0x75C95DFF, 0x35FF8DD7, 0x4E4757ED, 0x2E11F88C,
    0x5E1B5048, 0x420E6699, 0x226B0695, 0x4D1679B4, 0x5A22646F, 0x161D1131, 0x125C68D9, 0x1313E32E, 0x4AA85724, 0x21DC7EC1, 0x4FFA29FE,
    0x72968382, 0x1CA8EEF3, 0x3F3B1C28, 0x39C2FB6C, 0x6D76493F, 0x7A22A62E, 0x789B1C2A, 0x16E0CB53, 0x7DECEEEB, 0x0DC7E1C6, 0x5C75BF3D,
    0x52218333, 0x106DE4D6, 0x7DC64422, 0x65590FF4, 0x2C02EC30, 0x64A9AC67, 0x59CAB2E9, 0x4A21D2F3, 0x0F616E57, 0x23B54EE8, 0x02730AAA,
    0x2F3C634D, 0x7117FC6C, 0x01AC6F05, 0x5A9ED20C, 0x158C4E2A, 0x42B699F0, 0x0C7C14B3, 0x02BD9641, 0x15AD56FC, 0x1C722F60, 0x7DA1AF91,
    0x23E0DBCB, 0x0E93E12B, 0x64B2791D, 0x440D2476, 0x588EA8DD, 0x4665A658, 0x7446C418, 0x1877A774, 0x5626407E, 0x7F63BD46, 0x32D2DBD8,
    0x3C790F4A, 0x772B7239, 0x6F8B2826, 0x677FF609, 0x0DC82C11, 0x23FFE354, 0x2EAC53A6, 0x16139E09, 0x0AFD0DBC, 0x2A4D4237, 0x56A368C7,
    0x234325E4, 0x2DCE9187, 0x32E8EA7E,
}};

// The most one system call reads. The kernel copies a read from the page cache in one go,
// where it cannot be preempted: 32 MiB at once keep a core from the event loop for a tenth
// of a second on a busy machine.
constexpr std::size_t kLargestSystemRead = 0x200000; // 2 MiB

// Opens File (its name set) for one sequential scan with Parameters; false when they are
// outside the bounds or the file cannot be opened.
bool openForScan(QFile& File, const TChunkingParameters& Parameters)
{
    if (!Parameters.problem().isEmpty() || !openRegularFileForReading(File, QIODevice::Unbuffered)) {
        return false;
    }
#ifdef Q_OS_UNIX
    ::posix_fadvise(File.handle(), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    return true;
}

// Reads until Size bytes arrived or the end of the file; -1 on a read error.
qint64 readFully(QFile& File, unsigned char* Target, std::size_t Size)
{
    std::size_t Done = 0;
    while (Done < Size) {
        const std::size_t Asked = std::min(Size - Done, kLargestSystemRead);
        const qint64 Got = File.read(reinterpret_cast<char*>(Target + Done), static_cast<qint64>(Asked));
        if (Got < 0) {
            return -1;
        }
        if (Got == 0) {
            break;
        }
        Done += static_cast<std::size_t>(Got);
    }
    return static_cast<qint64>(Done);
}

// Bytes asked for by one read of the file scan: twice the maximum piece length, between
// 4 and 32 MiB. Small enough that a block is still in the processor's cache when it is cut
// and hashed, large enough to keep the moves of the carried-over tail (at most one
// maximum piece per refill) a small share of the work.
constexpr std::size_t kSmallestScanRead = 0x400000; // 4 MiB
constexpr std::size_t kLargestScanRead = 0x2000000; // 32 MiB

std::size_t scanReadSize(std::size_t Maximum)
{
    return std::min(kLargestScanRead, std::max(kSmallestScanRead, 2 * Maximum));
}

// One scan buffer per thread, kept for the thread's life: the scan's six workers cut file
// after file, and a fresh buffer per file would cost a page fault and a zeroed page for
// every 4 KiB read. It grows when a thread first cuts with a larger maximum, and the
// pages become resident as far as data is read into them, so a thread that only ever
// scanned small files or cut small pieces holds little.
unsigned char* threadScanBuffer(std::size_t Size)
{
    struct TBuffer {
        std::unique_ptr<unsigned char[]> m_pBytes;
        std::size_t m_Size = 0;
    };
    thread_local TBuffer Buffer;
    if (Buffer.m_Size < Size) {
        Buffer.m_pBytes.reset(); // the old one goes first: never both at once
        Buffer.m_Size = 0;
        Buffer.m_pBytes.reset(new unsigned char[Size]);
        Buffer.m_Size = Size;
    }
    return Buffer.m_pBytes.get();
}

// The block scan. The buffer holds Maximum bytes of carried-over data followed by one
// read block: whenever fewer than Maximum unprocessed bytes remain and the file may have
// more, they are moved to end at offset Maximum and the next block is read behind them.
// A piece is therefore always cut with either a full maximum-length window or the true
// end of the file in view, which makes the boundaries independent of how large the reads
// are.
bool cutInBlocks(QFile& File, const TPieceCallback& OnPiece, const TChunkingParameters& Parameters)
{
    const auto Maximum = static_cast<std::size_t>(Parameters.m_Maximum);
    const std::size_t ReadSize = scanReadSize(Maximum);
    unsigned char* const Base = threadScanBuffer(Maximum + ReadSize);
    std::size_t Begin = Maximum;
    std::size_t End = Maximum;
    bool LastReadReturnedData = true;
    std::uint64_t Offset = 0;
    for (;;) {
        if (End - Begin < Maximum && LastReadReturnedData) {
            const std::size_t Unprocessed = End - Begin;
            std::memmove(Base + Maximum - Unprocessed, Base + Begin, Unprocessed);
            Begin = Maximum - Unprocessed;
            End = Maximum;
            const qint64 Got = readFully(File, Base + End, ReadSize);
            if (Got < 0) {
                return false;
            }
            LastReadReturnedData = Got > 0;
            End += static_cast<std::size_t>(Got);
        }
        if (Begin == End) {
            return true;
        }
        const std::size_t Length = nextPieceLength(Base + Begin, End - Begin, Parameters);
        if (!OnPiece(Base + Begin, Length, Offset)) {
            return true;
        }
        Begin += Length;
        Offset += Length;
    }
}

// Searches the Length bytes at Data for the first byte after which the rolling value has
// no bit set under CutMask, carrying the value in and out. Returns the number of bytes up
// to and including that byte, or 0 when there is none (Value then is the value after the
// last byte).
std::size_t findCut(const unsigned char* Data, std::size_t Length, std::uint32_t CutMask, std::uint32_t& Value)
{
    // The rolling value h = (h >> 1) + G[b] never exceeds 32 bits (every G is below 2^31),
    // and k steps of it fold into one: with S = sum of 2^(j+1) * G[b_j] over the k bytes,
    // h after byte j is (h + S_j) >> (j + 1), and its low bits under the mask are zero
    // exactly when (h + S_j) has no bit set under mask << (j + 1). Eight bytes thus cost
    // one add and one shift on the value carried from step to step; the sums and tests of
    // the eight positions are independent of each other and run side by side. Nothing of
    // this depends on the mask's width: the sums are exact in 64 bits.
    const unsigned char* Position = Data;
    const unsigned char* const Stop = Data + Length;
    const std::uint32_t* const G = kGearTable.data();
    std::uint64_t Hash = Value;
    const std::uint64_t Mask = CutMask;
    while (Stop - Position >= 8) {
        const std::uint64_t S0 = std::uint64_t(G[Position[0]]) << 1;
        const std::uint64_t S1 = S0 + (std::uint64_t(G[Position[1]]) << 2);
        const std::uint64_t S2 = S1 + (std::uint64_t(G[Position[2]]) << 3);
        const std::uint64_t S3 = S2 + (std::uint64_t(G[Position[3]]) << 4);
        const std::uint64_t S4 = S3 + (std::uint64_t(G[Position[4]]) << 5);
        const std::uint64_t S5 = S4 + (std::uint64_t(G[Position[5]]) << 6);
        const std::uint64_t S6 = S5 + (std::uint64_t(G[Position[6]]) << 7);
        const std::uint64_t S7 = S6 + (std::uint64_t(G[Position[7]]) << 8);
        const bool Cut = (((Hash + S0) & (Mask << 1)) == 0) | (((Hash + S1) & (Mask << 2)) == 0) | (((Hash + S2) & (Mask << 3)) == 0) |
            (((Hash + S3) & (Mask << 4)) == 0) | (((Hash + S4) & (Mask << 5)) == 0) | (((Hash + S5) & (Mask << 6)) == 0) |
            (((Hash + S6) & (Mask << 7)) == 0) | (((Hash + S7) & (Mask << 8)) == 0);
        if (Cut) {
            break; // one of these eight bytes ends the piece: found byte by byte below
        }
        Hash = (Hash + S7) >> 8;
        Position += 8;
    }
    Value = static_cast<std::uint32_t>(Hash);
    while (Position < Stop) {
        Value = (Value >> 1) + G[*Position++];
        if ((Value & CutMask) == 0) {
            return static_cast<std::size_t>(Position - Data);
        }
    }
    return 0;
}

// The search of nextPieceLength carried across blocks: where the current piece stands and
// its rolling value. Fed the file's bytes block by block it cuts exactly where
// nextPieceLength cuts with the whole file in view, since the rolling value is all the
// search carries from byte to byte.
class TStreamingCutter {
public:
    explicit TStreamingCutter(const TChunkingParameters& Parameters)
        : m_Minimum(Parameters.m_Minimum)
        , m_Maximum(Parameters.m_Maximum)
        , m_CutMask(Parameters.cutMask())
    {
    }

    // How many of the Length bytes at Data belong to the current piece; Cut tells whether
    // the piece ends with them. A new piece starts behind a cut.
    std::size_t feed(const unsigned char* Data, std::size_t Length, bool& Cut)
    {
        Cut = false;
        std::size_t Used = 0;
        if (m_InPiece < m_Minimum) {
            // never cut inside the minimum: these bytes are only counted
            Used = static_cast<std::size_t>(std::min<std::uint64_t>(m_Minimum - m_InPiece, Length));
            m_InPiece += Used;
            if (Used == Length) {
                return Used;
            }
        }
        const auto Room = static_cast<std::size_t>(std::min<std::uint64_t>(Length - Used, m_Maximum - m_InPiece));
        const std::size_t Found = findCut(Data + Used, Room, m_CutMask, m_Value);
        if (Found != 0) {
            return endPiece(Used + Found, Cut);
        }
        Used += Room;
        m_InPiece += Room;
        if (m_InPiece == m_Maximum) {
            return endPiece(Used, Cut);
        }
        return Used;
    }

private:
    std::size_t endPiece(std::size_t Used, bool& Cut)
    {
        Cut = true;
        m_InPiece = 0;
        m_Value = 0;
        return Used;
    }

    const std::uint64_t m_Minimum;
    const std::uint64_t m_Maximum;
    const std::uint32_t m_CutMask;
    std::uint64_t m_InPiece = 0;
    std::uint32_t m_Value = 0;
};

// Bytes per read of the hashing scan: small enough that a block is still in the
// processor's cache while it is searched and then hashed, large enough that the system
// calls cost nothing worth counting.
constexpr std::size_t kHashingScanRead = 0x40000; // 256 KiB

} // namespace

const std::array<std::uint32_t, 256>& chunkGearTable()
{
    return kGearTable;
}

TChunkingParameters TChunkingParameters::forAverage(std::uint64_t Average)
{
    TChunkingParameters Parameters;
    Parameters.m_Minimum = Average / 4;
    Parameters.m_Maximum = std::min<std::uint64_t>(Average * 4, kHighestMaximum);
    Parameters.m_MaskBits = 0;
    while (Parameters.m_MaskBits < 63 && (std::uint64_t(1) << Parameters.m_MaskBits) < Average) {
        ++Parameters.m_MaskBits;
    }
    return Parameters;
}

QString TChunkingParameters::problem() const
{
    if (m_Minimum < kLowestMinimum) {
        return QStringLiteral("the minimum piece length %1 is below %2").arg(m_Minimum).arg(kLowestMinimum);
    }
    if (m_Maximum > kHighestMaximum) {
        return QStringLiteral("the maximum piece length %1 is above %2").arg(m_Maximum).arg(kHighestMaximum);
    }
    if (m_Minimum >= m_Maximum) {
        return QStringLiteral("the minimum piece length %1 is not below the maximum %2").arg(m_Minimum).arg(m_Maximum);
    }
    if (m_MaskBits < kFewestMaskBits || m_MaskBits > kMostMaskBits) {
        return QStringLiteral("%1 mask bits are outside %2 to %3").arg(m_MaskBits).arg(kFewestMaskBits).arg(kMostMaskBits);
    }
    return QString();
}

std::size_t nextPieceLength(const unsigned char* Data, std::size_t Length, const TChunkingParameters& Parameters)
{
    const auto Minimum = static_cast<std::size_t>(Parameters.m_Minimum);
    if (Length <= Minimum) {
        return Length;
    }
    const auto Maximum = static_cast<std::size_t>(Parameters.m_Maximum);
    const std::size_t Limit = Length < Maximum ? Length : Maximum;
    std::uint32_t Value = 0;
    const std::size_t Cut = findCut(Data + Minimum, Limit - Minimum, Parameters.cutMask(), Value);
    return Cut != 0 ? Minimum + Cut : Limit;
}

bool chunkFile(const QString& FilePath, const TPieceCallback& OnPiece, const TChunkingParameters& Parameters)
{
    QFile File(FilePath);
    return openForScan(File, Parameters) && cutInBlocks(File, OnPiece, Parameters);
}

bool chunkFileHashing(const QString& FilePath, const TDigestCallback& OnPiece, const TChunkingParameters& Parameters)
{
    QFile File(FilePath);
    if (!openForScan(File, Parameters)) {
        return false;
    }
    thread_local std::unique_ptr<unsigned char[]> pBlock(new unsigned char[kHashingScanRead]);
    TStreamingCutter Cutter(Parameters);
    TSha256 Hash;
    TFilePiece Piece;
    for (;;) {
        const qint64 Got = File.read(reinterpret_cast<char*>(pBlock.get()), static_cast<qint64>(kHashingScanRead));
        if (Got < 0) {
            return false;
        }
        if (Got == 0) {
            break;
        }
        const unsigned char* Data = pBlock.get();
        auto Left = static_cast<std::size_t>(Got);
        while (Left > 0) {
            bool Cut = false;
            const std::size_t Used = Cutter.feed(Data, Left, Cut);
            Hash.addData(Data, Used);
            Piece.m_Length += Used;
            Data += Used;
            Left -= Used;
            if (Cut) {
                Piece.m_Sha256 = Hash.result();
                if (!OnPiece(Piece)) {
                    return true;
                }
                Piece.m_Offset += Piece.m_Length;
                Piece.m_Length = 0;
            }
        }
    }
    if (Piece.m_Length > 0) {
        // the end of the file ends the last piece
        Piece.m_Sha256 = Hash.result();
        OnPiece(Piece);
    }
    return true;
}

std::optional<std::vector<TFilePiece>> chunkFileWithDigests(const QString& FilePath, const TChunkingParameters& Parameters)
{
    std::vector<TFilePiece> Pieces;
    const bool Read = chunkFileHashing(
        FilePath,
        [&Pieces](const TFilePiece& Piece) {
            Pieces.push_back(Piece);
            return true;
        },
        Parameters);
    if (!Read) {
        return std::nullopt;
    }
    return Pieces;
}

} // namespace shared
