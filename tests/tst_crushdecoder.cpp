#include "TestEnvironment.h"

#include "CodecVectors.h"
#include "CrushDecoder.h"

#include <QtTest>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using TBytes = std::vector<unsigned char>;

constexpr int kCrushAlgorithm = 21;
constexpr std::size_t kWindowSize = std::size_t(1) << 21;

struct TDecodeResult {
    bool m_Ok = false;
    std::size_t m_Produced = 0;
    TBytes m_Output;
};

// Decodes into an output buffer of exactly OutputSize bytes and from a payload
// copy of exactly its size, so a memory checker sees any access past either.
TDecodeResult decode(const TBytes& Payload, std::size_t OutputSize)
{
    const TBytes ExactPayload(Payload);
    TDecodeResult Result;
    Result.m_Output.assign(OutputSize, 0);
    Result.m_Produced = std::size_t(-1);
    Result.m_Ok = shared::decodeCrush(ExactPayload.data(), ExactPayload.size(), Result.m_Output.data(), OutputSize, Result.m_Produced);
    return Result;
}

// Writes tokens the way the encoder does (LSB first, zero fill) and keeps the
// output they stand for, expanded byte by byte.
class TStreamBuilder {
public:
    TStreamBuilder& literal(unsigned char Byte)
    {
        put(0, 1);
        put(Byte, 8);
        m_Expected.push_back(Byte);
        return *this;
    }

    TStreamBuilder& match(std::size_t Length, std::size_t Distance)
    {
        static const unsigned Bases[] = {0, 4, 8, 12, 20, 52};
        static const unsigned Widths[] = {2, 2, 2, 3, 5, 9};
        const std::size_t LengthValue = Length - 3;
        unsigned Class = 5;
        while (LengthValue < Bases[Class]) {
            --Class;
        }
        put(1, 1);
        put(Class < 5 ? 1u << Class : 0, Class < 5 ? Class + 1 : 5);
        put(static_cast<std::uint32_t>(LengthValue - Bases[Class]), Widths[Class]);

        const std::size_t Offset = Distance - 1;
        if (Offset < 64) {
            put(0, 4);
            put(static_cast<std::uint32_t>(Offset), 6);
        } else {
            unsigned TopBit = 6;
            while ((Offset >> (TopBit + 1)) != 0) {
                ++TopBit;
            }
            put(TopBit - 5, 4);
            put(static_cast<std::uint32_t>(Offset - (std::size_t(1) << TopBit)), TopBit);
        }
        for (std::size_t Index = 0; Index < Length; ++Index) { // bad distances: zeros, the test expects a failure then
            m_Expected.push_back(Distance <= m_Expected.size() ? m_Expected[m_Expected.size() - Distance] : 0);
        }
        return *this;
    }

    // Extends the output to Size bytes by repeating its last byte.
    TStreamBuilder& fillTo(std::size_t Size)
    {
        while (m_Expected.size() < Size) {
            const std::size_t Remaining = Size - m_Expected.size();
            if (Remaining < 3) {
                literal(m_Expected.back());
            } else {
                match(Remaining <= 566 ? Remaining : (Remaining < 569 ? Remaining - 3 : 566), 1);
            }
        }
        return *this;
    }

    const TBytes& payload() const { return m_Bytes; }
    const TBytes& expected() const { return m_Expected; }

private:
    void put(std::uint32_t Value, unsigned Width)
    {
        for (unsigned Index = 0; Index < Width; ++Index, ++m_BitCount) {
            if (m_BitCount % 8 == 0) {
                m_Bytes.push_back(0);
            }
            m_Bytes.back() |= static_cast<unsigned char>(((Value >> Index) & 1u) << (m_BitCount % 8));
        }
    }

    TBytes m_Bytes;
    TBytes m_Expected;
    std::size_t m_BitCount = 0;
};

TBytes toBytes(const QByteArray& Data) { return TBytes(Data.begin(), Data.end()); }

struct TContainer {
    bool m_Valid = false;
    int m_Algorithm = -1;
    std::size_t m_UnpackedSize = 0;
    TBytes m_Payload;
};

// Zero padding, marker 0x70, algorithm byte, unpacked and packed size as
// LSB-first 7-bit varints, then the payload.
TContainer parseContainer(const TBytes& Data)
{
    TContainer Container;
    std::size_t Pos = 0;
    while (Pos < Data.size() && Data[Pos] == 0) {
        ++Pos;
    }
    if (Data.size() - Pos < 2 || Data[Pos] != 0x70) {
        return Container;
    }
    Container.m_Algorithm = Data[Pos + 1];
    Pos += 2;
    auto ReadVarint = [&](std::uint64_t& Value) {
        Value = 0;
        for (unsigned Shift = 0; Pos < Data.size() && Shift < 64; Shift += 7) {
            const unsigned char Byte = Data[Pos++];
            Value |= std::uint64_t(Byte & 0x7F) << Shift;
            if ((Byte & 0x80) == 0) {
                return true;
            }
        }
        return false;
    };
    std::uint64_t Unpacked = 0;
    std::uint64_t Packed = 0;
    if (!ReadVarint(Unpacked) || !ReadVarint(Packed) || Packed > Data.size() - Pos) {
        return Container;
    }
    Container.m_UnpackedSize = static_cast<std::size_t>(Unpacked);
    Container.m_Payload.assign(Data.begin() + static_cast<std::ptrdiff_t>(Pos), Data.begin() + static_cast<std::ptrdiff_t>(Pos + Packed));
    Container.m_Valid = true;
    return Container;
}

TContainer loadVector(const QString& Name) { return parseContainer(toBytes(testsupport::readVectorFile(Name))); }

#define SKIP_WITHOUT_VECTORS()                                                                                                   \
    if (!QDir(testsupport::codecVectorsDirectory()).exists(QStringLiteral("MANIFEST.tsv")))                                      \
    QSKIP(qPrintable(QStringLiteral("codec test vectors not found in '%1' (set CODEC_VECTORS_DIR)").arg(testsupport::codecVectorsDirectory())))

} // namespace

class TestCrushDecoder : public QObject {
    Q_OBJECT

private slots:
    void decodesReferenceVectors_data()
    {
        QTest::addColumn<QString>("File");
        QTest::addColumn<QString>("Input");
        QTest::addColumn<qint64>("UnpackedSize");
        QTest::addColumn<qint64>("PackedSize");
        int Rows = 0;
        for (const testsupport::TCodecVector& Vector : testsupport::readCodecVectors()) {
            if (Vector.m_Algorithm == kCrushAlgorithm && Vector.m_Expect == QLatin1String("ok")) {
                QTest::newRow(qPrintable(Vector.m_File)) << Vector.m_File << Vector.m_Input << Vector.m_UnpackedSize << Vector.m_PackedSize;
                ++Rows;
            }
        }
        if (Rows == 0) {
            QTest::newRow("no vectors") << QString() << QString() << qint64(0) << qint64(0);
        }
    }

    void decodesReferenceVectors()
    {
        SKIP_WITHOUT_VECTORS();
        QFETCH(QString, File);
        QFETCH(QString, Input);
        QFETCH(qint64, UnpackedSize);
        QFETCH(qint64, PackedSize);
        QVERIFY2(!File.isEmpty(), "MANIFEST.tsv lists no algorithm-21 vector marked ok");

        const TContainer Container = loadVector(File);
        QVERIFY2(Container.m_Valid, qPrintable(File));
        QCOMPARE(Container.m_Algorithm, kCrushAlgorithm);
        QCOMPARE(qint64(Container.m_UnpackedSize), UnpackedSize);
        QCOMPARE(qint64(Container.m_Payload.size()), PackedSize);
        const TBytes Raw = toBytes(testsupport::readVectorFile(Input + QStringLiteral(".raw")));
        QCOMPARE(Raw.size(), Container.m_UnpackedSize);

        const TDecodeResult Result = decode(Container.m_Payload, Container.m_UnpackedSize);
        QVERIFY(Result.m_Ok);
        QCOMPARE(Result.m_Produced, Raw.size());
        QVERIFY(Result.m_Output == Raw);
    }

    void rejectsTruncatedVector()
    {
        SKIP_WITHOUT_VECTORS();
        const TContainer Container = loadVector(QStringLiteral("broken-crush-truncated.bin"));
        QVERIFY(Container.m_Valid);
        const TDecodeResult Result = decode(Container.m_Payload, Container.m_UnpackedSize);
        QVERIFY(!Result.m_Ok);
        QVERIFY(Result.m_Produced < Container.m_UnpackedSize);
    }

    void decodesHandWrittenStreams()
    {
        // "abcabcabcabc": three literals and an overlapping match (length 9, distance 3).
        const TDecodeResult Abc = decode({0xC2, 0x88, 0x19, 0xAB, 0x20, 0x00}, 12);
        QVERIFY(Abc.m_Ok);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(Abc.m_Output.data()), 12), QByteArray("abcabcabcabc"));

        // Every length class boundary and the short distance slot boundaries.
        TStreamBuilder Builder;
        for (int Index = 0; Index < 300; ++Index) {
            Builder.literal(static_cast<unsigned char>(Index * 7 + Index / 256));
        }
        for (std::size_t Length : {3, 6, 7, 10, 11, 14, 15, 22, 23, 54, 55, 566}) {
            Builder.match(Length, 5).literal(static_cast<unsigned char>(Length));
        }
        for (std::size_t Distance : {1, 2, 7, 8, 9, 64, 65, 128, 129, 256, 257}) {
            Builder.match(20, Distance).literal(static_cast<unsigned char>(Distance));
        }
        const TDecodeResult Result = decode(Builder.payload(), Builder.expected().size());
        QVERIFY(Result.m_Ok);
        QVERIFY(Result.m_Output == Builder.expected());
    }

    void decodesLargestDistanceAndLongestLength()
    {
        TStreamBuilder Builder;
        for (int Index = 0; Index < 64; ++Index) {
            Builder.literal(static_cast<unsigned char>(Index));
        }
        Builder.fillTo(kWindowSize).match(10, kWindowSize).match(566, 1u << 20).match(566, (1u << 20) + 1).match(566, 1);
        const TDecodeResult Result = decode(Builder.payload(), Builder.expected().size());
        QVERIFY(Result.m_Ok);
        QVERIFY(Result.m_Output == Builder.expected());
        QCOMPARE(Result.m_Output[kWindowSize + 9], static_cast<unsigned char>(9));

        // One byte less before it: the same distance now reaches before the start.
        TStreamBuilder TooFar;
        TooFar.literal(1).fillTo(kWindowSize - 1).match(10, kWindowSize);
        QVERIFY(!decode(TooFar.payload(), TooFar.expected().size()).m_Ok);
    }

    void rejectsMatchesOutsideTheOutput()
    {
        TStreamBuilder FirstTokenMatch;
        FirstTokenMatch.match(3, 1);
        QVERIFY(!decode(FirstTokenMatch.payload(), 3).m_Ok);

        TStreamBuilder AtStart; // distance == bytes so far is fine, one more is not
        AtStart.literal('x').literal('y').match(4, 2);
        QVERIFY(decode(AtStart.payload(), 6).m_Ok);
        TStreamBuilder BeforeStart;
        BeforeStart.literal('x').literal('y').match(4, 3);
        const TDecodeResult Before = decode(BeforeStart.payload(), 6);
        QVERIFY(!Before.m_Ok);
        QCOMPARE(Before.m_Produced, std::size_t(2));

        TStreamBuilder Longest; // a 566-byte match needs 566 bytes of room
        Longest.literal('z').match(566, 1);
        const TDecodeResult Fits = decode(Longest.payload(), 567);
        QVERIFY(Fits.m_Ok);
        QVERIFY(Fits.m_Output == Longest.expected());
        const TDecodeResult PastEnd = decode(Longest.payload(), 566);
        QVERIFY(!PastEnd.m_Ok);
        QVERIFY(PastEnd.m_Produced <= 566);
    }

    void rejectsStreamsThatDoNotEndWithTheOutput()
    {
        TStreamBuilder Builder;
        for (char Character : QByteArray("Hello, world! ")) {
            Builder.literal(static_cast<unsigned char>(Character));
        }
        Builder.match(13, 14).literal('\n');
        const TBytes& Payload = Builder.payload();
        const std::size_t Size = Builder.expected().size();
        QVERIFY(decode(Payload, Size).m_Ok);

        for (std::size_t Cut = 1; Cut <= Payload.size(); ++Cut) {
            const TBytes Truncated(Payload.begin(), Payload.end() - static_cast<std::ptrdiff_t>(Cut));
            QVERIFY2(!decode(Truncated, Size).m_Ok, qPrintable(QStringLiteral("cut %1").arg(Cut)));
        }
        for (std::size_t WrongSize : {std::size_t(1), Size - 2, Size - 1, Size + 1, Size + 100}) {
            QVERIFY2(!decode(Payload, WrongSize).m_Ok, qPrintable(QStringLiteral("size %1").arg(WrongSize)));
        }

        TBytes Trailing(Payload);
        Trailing.push_back(0);
        QVERIFY(!decode(Trailing, Size).m_Ok);
        TBytes DirtyFill(Payload); // 14 literals + 16-bit match + literal = 151 bits: one fill bit
        DirtyFill.back() |= 0x80;
        QVERIFY(!decode(DirtyFill, Size).m_Ok);

        QVERIFY(decode({}, 0).m_Ok);
        QVERIFY(!decode(Payload, 0).m_Ok);
        QVERIFY(!decode({}, 1).m_Ok);
    }

    void survivesCorruptInput()
    {
        SKIP_WITHOUT_VECTORS();
        std::mt19937 Random(20240611u);
        for (const char* Name : {"abra47.a21.bin", "log64k.a21.bin", "random256k.a21.bin"}) {
            const TContainer Container = loadVector(QString::fromLatin1(Name));
            QVERIFY2(Container.m_Valid, Name);
            const TBytes& Payload = Container.m_Payload;
            const std::size_t Size = Container.m_UnpackedSize;
            const int Rounds = Size > 100000 ? 20 : 150;
            for (int Round = 0; Round < Rounds; ++Round) {
                // Truncated: always an error.
                const std::size_t Keep = Random() % Payload.size();
                QVERIFY(!decode(TBytes(Payload.begin(), Payload.begin() + static_cast<std::ptrdiff_t>(Keep)), Size).m_Ok);

                // Declared size too large or too small: always an error.
                const std::size_t WrongSize = (Round % 2 == 0) ? Size + 1 + Random() % 1000 : Random() % Size;
                const TDecodeResult Wrong = decode(Payload, WrongSize);
                QVERIFY(!Wrong.m_Ok);
                QVERIFY(Wrong.m_Produced <= WrongSize);

                // Flipped bits: CRUSH has no checksum, so either outcome, but a
                // success must have produced exactly the declared size.
                TBytes Flipped(Payload);
                for (unsigned Flips = 1 + Random() % 3; Flips > 0; --Flips) {
                    Flipped[Random() % Flipped.size()] ^= static_cast<unsigned char>(1u << (Random() % 8));
                }
                const std::size_t FlippedSize = (Round % 3 == 0) ? Random() % (2 * Size + 1) : Size;
                const TDecodeResult Result = decode(Flipped, FlippedSize);
                QVERIFY(Result.m_Produced <= FlippedSize);
                if (Result.m_Ok) {
                    QCOMPARE(Result.m_Produced, FlippedSize);
                }
            }
        }

        // Random bytes with random declared sizes.
        for (int Round = 0; Round < 300; ++Round) {
            TBytes Garbage(Random() % 512);
            for (unsigned char& Byte : Garbage) {
                Byte = static_cast<unsigned char>(Random());
            }
            const std::size_t Size = Random() % 4096;
            const TDecodeResult Result = decode(Garbage, Size);
            QVERIFY(Result.m_Produced <= Size);
            if (Result.m_Ok) {
                QCOMPARE(Result.m_Produced, Size);
            }
        }
    }
};

QTEST_APPLESS_MAIN(TestCrushDecoder)

#include "tst_crushdecoder.moc"
