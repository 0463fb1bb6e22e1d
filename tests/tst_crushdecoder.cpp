#include "TestEnvironment.h"

#include "BundleContainer.h"
#include "CodecVectors.h"
#include "CrushDecoder.h"

#include <QtTest>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using TBytes = std::vector<unsigned char>;

constexpr int kCrushAlgorithm = 21;
constexpr std::size_t kWindowSize = std::size_t(1) << 21;

TBytes toBytes(const QByteArray& Data)
{
    return TBytes(Data.begin(), Data.end());
}

// Decodes from and into buffers of exact size, so a memory checker sees any access past
// either; never more than the buffer may be reported, and a success must fill it.
bool decode(const TBytes& Payload, std::size_t OutputSize, TBytes* pOutput = nullptr)
{
    const TBytes ExactPayload(Payload);
    TBytes Output(OutputSize);
    std::size_t Produced = std::size_t(-1);
    const bool Ok = shared::decodeCrush(ExactPayload.data(), ExactPayload.size(), Output.data(), OutputSize, Produced);
    if (Produced > OutputSize || (Ok && Produced != OutputSize)) {
        qFatal("decodeCrush: ok %d with %zu bytes for a %zu-byte output", int(Ok), Produced, OutputSize);
    }
    if (pOutput) {
        *pOutput = std::move(Output);
    }
    return Ok;
}

// Writes tokens as the encoder does (LSB first, zero fill); keeps the output they stand for.
class TStreamBuilder {
public:
    TStreamBuilder& literal(unsigned char Byte)
    {
        put(Byte << 1, 9); // flag 0, then the byte
        m_Expected.push_back(Byte);
        return *this;
    }

    TStreamBuilder& match(std::size_t Length, std::size_t Distance)
    {
        static const unsigned Bases[] = {0, 4, 8, 12, 20, 52}, Widths[] = {2, 2, 2, 3, 5, 9};
        const std::size_t LengthValue = Length - 3;
        unsigned Class = 5;
        while (LengthValue < Bases[Class]) {
            --Class;
        }
        put(1 | (Class < 5 ? 2u << Class : 0), Class < 5 ? Class + 2 : 6); // flag 1, unary length class
        put(static_cast<std::uint32_t>(LengthValue - Bases[Class]), Widths[Class]);
        const std::size_t Offset = Distance - 1;
        unsigned TopBit = 5; // offsets below 64: slot 0 with six bits
        while ((Offset >> (TopBit + 1)) != 0) {
            ++TopBit;
        }
        put(TopBit - 5, 4);
        put(static_cast<std::uint32_t>(TopBit == 5 ? Offset : Offset - (std::size_t(1) << TopBit)), TopBit == 5 ? 6 : TopBit);
        for (std::size_t Index = 0; Index < Length; ++Index) { // bad distances: zeros, the test expects a failure then
            m_Expected.push_back(Distance <= m_Expected.size() ? m_Expected[m_Expected.size() - Distance] : 0);
        }
        return *this;
    }

    TStreamBuilder& fillTo(std::size_t Size) // repeats the last byte up to Size bytes of output
    {
        while (m_Expected.size() < Size) {
            const std::size_t Remaining = Size - m_Expected.size();
            Remaining < 3 ? literal(m_Expected.back()) : match(Remaining <= 566 ? Remaining : (Remaining < 569 ? Remaining - 3 : 566), 1);
        }
        return *this;
    }

    bool decodesExactly() const
    {
        TBytes Output;
        return decode(m_Bytes, m_Expected.size(), &Output) && Output == m_Expected;
    }

    TBytes m_Bytes, m_Expected;

private:
    void put(std::uint32_t Value, unsigned Width)
    {
        for (unsigned Index = 0; Index < Width; ++Index, ++m_BitCount) {
            m_Bytes.resize(m_BitCount / 8 + 1);
            m_Bytes.back() |= static_cast<unsigned char>(((Value >> Index) & 1u) << (m_BitCount % 8));
        }
    }

    std::size_t m_BitCount = 0;
};

// Payload and declared unpacked size of a CRUSH container vector (empty: no such container).
std::pair<TBytes, std::size_t> loadVector(const QString& Name)
{
    const QByteArray Data = testsupport::readVectorFile(Name);
    shared::TBundleHeader Header;
    if (!shared::readBundleHeader(Data.constData(), std::size_t(Data.size()), Header) || Header.m_Algorithm != kCrushAlgorithm ||
        Header.m_PackedSize > Data.size() - Header.m_PayloadOffset) {
        return {};
    }
    return {toBytes(Data.mid(int(Header.m_PayloadOffset), int(Header.m_PackedSize))), std::size_t(Header.m_UnpackedSize)};
}

#define REQUIRE_VECTORS()                                                                                                                  \
    QVERIFY2(QFile::exists(testsupport::codecVectorsDirectory() + "/MANIFEST.tsv"), "the codec test vectors are missing from tests/data")

} // namespace

class TestCrushDecoder : public QObject {
    Q_OBJECT
private slots:
    // Every vector marked ok decodes to its input; every broken one fails.
    void referenceVectors()
    {
        REQUIRE_VECTORS();
        int Good = 0;
        for (const testsupport::TCodecVector& Vector : testsupport::readCodecVectors()) {
            if (Vector.m_Algorithm != kCrushAlgorithm) {
                continue;
            }
            const auto [Payload, Size] = loadVector(Vector.m_File);
            QVERIFY2(!Payload.empty() && qint64(Size) == Vector.m_UnpackedSize && qint64(Payload.size()) == Vector.m_PackedSize,
                     qPrintable(Vector.m_File));
            TBytes Output;
            const bool Ok = decode(Payload, Size, &Output);
            const bool Expected = Vector.m_Expect == QLatin1String("ok");
            QVERIFY2(Ok == Expected && (!Ok || Output == toBytes(testsupport::readVectorFile(Vector.m_Input + ".raw"))),
                     qPrintable(Vector.m_File));
            Good += Expected ? 1 : 0;
        }
        QVERIFY2(Good > 0, "MANIFEST.tsv lists no algorithm-21 vector marked ok");
    }

    void handWrittenStreams()
    {
        // "abcabcabcabc": three literals and an overlapping match (length 9, distance 3).
        TBytes Abc;
        QVERIFY(decode({0xC2, 0x88, 0x19, 0xAB, 0x20, 0x00}, 12, &Abc));
        QVERIFY(Abc == toBytes("abcabcabcabc"));

        // Every length class boundary and the short distance slot boundaries.
        TStreamBuilder Classes;
        for (int Index = 0; Index < 300; ++Index) {
            Classes.literal(static_cast<unsigned char>(Index * 7 + Index / 256));
        }
        for (std::size_t Length : {3, 6, 7, 10, 11, 14, 15, 22, 23, 54, 55, 566}) {
            Classes.match(Length, 5).literal(static_cast<unsigned char>(Length));
        }
        for (std::size_t Distance : {1, 2, 7, 8, 9, 64, 65, 128, 129, 256, 257}) {
            Classes.match(20, Distance).literal(static_cast<unsigned char>(Distance));
        }
        // The largest distance reaches back to the very first byte, then the longest
        // lengths around the 1 MiB slot boundary.
        QVERIFY(Classes.fillTo(kWindowSize)
                    .match(10, kWindowSize)
                    .match(566, 1u << 20)
                    .match(566, (1u << 20) + 1)
                    .match(566, 1)
                    .decodesExactly());
        // With one byte less in front, the same distance reaches before the start.
        QVERIFY(!decode(TStreamBuilder().literal(1).fillTo(kWindowSize - 1).match(10, kWindowSize).m_Bytes, kWindowSize + 9));
    }

    void rejectsMatchesAndStreamsOutsideTheOutput()
    {
        QVERIFY(!decode(TStreamBuilder().match(3, 1).m_Bytes, 3));
        QVERIFY(TStreamBuilder().literal('x').literal('y').match(4, 2).decodesExactly()); // distance == bytes so far
        QVERIFY(!decode(TStreamBuilder().literal('x').literal('y').match(4, 3).m_Bytes, 6));
        TStreamBuilder Longest; // a 566-byte match needs 566 bytes of room
        QVERIFY(Longest.literal('z').match(566, 1).decodesExactly());
        QVERIFY(!decode(Longest.m_Bytes, 566));

        // The stream has to end exactly with the output: no missing bytes, no extra token,
        // no stray bit in the zero fill.
        TStreamBuilder Hello;
        for (char Character : QByteArray("Hello, world! ")) {
            Hello.literal(static_cast<unsigned char>(Character));
        }
        const TBytes& Payload = Hello.match(13, 14).literal('\n').m_Bytes;
        const std::size_t Size = Hello.m_Expected.size();
        QVERIFY(Hello.decodesExactly());
        for (std::size_t Cut = 1; Cut <= Payload.size(); ++Cut) {
            QVERIFY2(!decode(TBytes(Payload.begin(), Payload.end() - std::ptrdiff_t(Cut)), Size), qPrintable(QString::number(Cut)));
        }
        for (std::size_t WrongSize : {std::size_t(0), std::size_t(1), Size - 1, Size + 1, Size + 100}) {
            QVERIFY2(!decode(Payload, WrongSize), qPrintable(QString::number(WrongSize)));
        }
        TBytes Trailing(Payload), DirtyFill(Payload);
        Trailing.push_back(0);
        DirtyFill.back() |= 0x80; // 14 literals + 16-bit match + literal = 151 bits: one fill bit
        QVERIFY(!decode(Trailing, Size) && !decode(DirtyFill, Size));
        QVERIFY(decode({}, 0));
        QVERIFY(!decode({}, 1));
    }

    // Cut payloads and wrong sizes always fail; CRUSH has no checksum, so flipped bits
    // and random bytes may decode, but only within bounds (checked in decode()).
    void survivesCorruptInput()
    {
        REQUIRE_VECTORS();
        std::mt19937 Random(20240611u);
        for (const char* Name : {"abra47.a21.bin", "log64k.a21.bin", "random256k.a21.bin"}) {
            const auto [Payload, Size] = loadVector(QString::fromLatin1(Name));
            QVERIFY2(!Payload.empty(), Name);
            for (int Round = 0; Round < (Size > 100000 ? 20 : 150); ++Round) {
                const std::size_t Keep = Random() % Payload.size();
                QVERIFY(!decode(TBytes(Payload.begin(), Payload.begin() + std::ptrdiff_t(Keep)), Size));
                QVERIFY(!decode(Payload, (Round % 2 == 0) ? Size + 1 + Random() % 1000 : Random() % Size));
                TBytes Flipped(Payload);
                for (unsigned Flips = 1 + Random() % 3; Flips > 0; --Flips) {
                    Flipped[Random() % Flipped.size()] ^= static_cast<unsigned char>(1u << (Random() % 8));
                }
                decode(Flipped, (Round % 3 == 0) ? Random() % (2 * Size + 1) : Size);
            }
        }
        for (int Round = 0; Round < 300; ++Round) {
            TBytes Garbage(Random() % 512);
            std::generate(Garbage.begin(), Garbage.end(), [&Random] { return static_cast<unsigned char>(Random()); });
            decode(Garbage, Random() % 4096);
        }
    }
};

QTEST_APPLESS_MAIN(TestCrushDecoder)

#include "tst_crushdecoder.moc"
