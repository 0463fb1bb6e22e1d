#include "TestEnvironment.h"

#include "BundleContainer.h"
#include "CodecVectors.h"
#include "CscDecoder.h"

#include <QtTest>

#include <algorithm>
#include <random>
#include <vector>

namespace {

using TBytes = std::vector<unsigned char>;

constexpr int kCscAlgorithm = 14;
constexpr std::size_t kPropertiesSize = 10;

// Payload and declared unpacked size of a CSC container vector (empty: no such container).
std::pair<TBytes, std::size_t> loadVector(const QString& Name)
{
    const QByteArray Data = testsupport::readVectorFile(Name);
    shared::TBundleHeader Header;
    if (!shared::readBundleHeader(Data.constData(), std::size_t(Data.size()), Header) || Header.m_Algorithm != kCscAlgorithm ||
        Header.m_PackedSize > Data.size() - Header.m_PayloadOffset) {
        return {};
    }
    const QByteArray Payload = Data.mid(int(Header.m_PayloadOffset), int(Header.m_PackedSize));
    return {TBytes(Payload.begin(), Payload.end()), std::size_t(Header.m_UnpackedSize)};
}

QVector<testsupport::TCodecVector> cscVectors(const QString& Expect)
{
    QVector<testsupport::TCodecVector> Result;
    for (const testsupport::TCodecVector& Vector : testsupport::readCodecVectors()) {
        if (Vector.m_Algorithm == kCscAlgorithm && Vector.m_Expect == Expect) {
            Result.push_back(Vector);
        }
    }
    return Result;
}

// Decodes from and into exact-size heap buffers, so that the address sanitizer sees any
// overrun; a broken size contract ends the test run.
bool decode(const TBytes& Payload, std::size_t OutputSize, QByteArray* pResult = nullptr)
{
    const TBytes ExactPayload(Payload);
    TBytes Output(OutputSize);
    std::size_t Produced = ~std::size_t {0};
    const bool Ok = shared::decodeCsc(ExactPayload.data(), ExactPayload.size(), Output.data(), Output.size(), Produced);
    if (Produced > OutputSize || (Ok && Produced != OutputSize)) {
        qFatal("decodeCsc: ok %d with %zu bytes for a %zu-byte output", int(Ok), Produced, OutputSize);
    }
    if (pResult) {
        *pResult = QByteArray(reinterpret_cast<const char*>(Output.data()), int(Output.size()));
    }
    return Ok;
}

// Cuts the payload after Keep bytes like a short download, but rewrites the chunk that was
// cut into a shorter, well-formed one, so that decoding really runs out of data instead of
// failing on the chunk layout.
TBytes cutWithinChunks(const TBytes& Payload, std::size_t Keep)
{
    TBytes Cut(Payload.begin(), Payload.begin() + kPropertiesSize);
    const std::size_t FullSize = (std::size_t(Payload[4]) << 16) | (std::size_t(Payload[5]) << 8) | Payload[6];
    std::size_t Pos = kPropertiesSize;
    while (Pos < Payload.size() && Pos < Keep) {
        const unsigned char Flags = Payload[Pos];
        std::size_t HeaderSize = 1, Length = FullSize;
        if (!(Flags & 0x40)) {
            HeaderSize = 4;
            Length = (std::size_t(Payload[Pos + 1]) << 16) | (std::size_t(Payload[Pos + 2]) << 8) | Payload[Pos + 3];
        }
        const std::size_t Present = std::min(Length, Keep - std::min(Keep, Pos + HeaderSize));
        const unsigned char* Body = Payload.data() + Pos + HeaderSize;
        Cut.insert(Cut.end(),
                   {static_cast<unsigned char>(Flags & 0x80), static_cast<unsigned char>(Present >> 16),
                    static_cast<unsigned char>(Present >> 8), static_cast<unsigned char>(Present)});
        Cut.insert(Cut.end(), Body, Body + Present);
        Pos += HeaderSize + Length;
    }
    return Cut;
}

// The one-byte "A" stream: properties, then segment 1 (RC 8 bytes, BC 3 bytes) and the
// end-of-stream segment (RC 6 bytes, BC 3 bytes).
const char* const kProps = "00008000"
                           "010000"
                           "200000";
const char* const kDataRc = "80000008"
                            "00df1d0800000000";
const char* const kDataBc = "00000003"
                            "060800";
const char* const kEndRc = "80000006"
                           "000000000000";
const char* const kEndBc = "00000003"
                           "190000";

TBytes hexStream(std::initializer_list<const char*> Parts)
{
    QByteArray Hex;
    for (const char* Part : Parts) {
        Hex += Part;
    }
    const QByteArray Raw = QByteArray::fromHex(Hex);
    return TBytes(Raw.begin(), Raw.end());
}

} // namespace

#define REQUIRE_VECTORS()                                                                                                                  \
    QVERIFY2(QFile::exists(testsupport::codecVectorsDirectory() + "/MANIFEST.tsv"), "the codec test vectors are missing from tests/data")

class TestCscDecoder : public QObject {
    Q_OBJECT
private slots:
    // Every vector marked ok decodes to its input and fails with any other declared size;
    // every broken one fails.
    void referenceVectors()
    {
        REQUIRE_VECTORS();
        const auto Good = cscVectors(QStringLiteral("ok"));
        QVERIFY2(!Good.isEmpty(), "MANIFEST.tsv lists no algorithm-14 vectors");
        for (const testsupport::TCodecVector& Vector : Good + cscVectors(QStringLiteral("reject"))) {
            const auto [Payload, Size] = loadVector(Vector.m_File);
            QVERIFY2(!Payload.empty() && qint64(Size) == Vector.m_UnpackedSize, qPrintable(Vector.m_File));
            QByteArray Output;
            const bool Ok = decode(Payload, Size, &Output);
            const bool Expected = Vector.m_Expect == QLatin1String("ok");
            QVERIFY2(Ok == Expected && (!Ok || Output == testsupport::readVectorFile(Vector.m_Input + ".raw")), qPrintable(Vector.m_File));
            for (std::size_t Wrong : {std::size_t {0}, std::size_t {1}, Size / 2, Size - 1, Size + 1, Size * 2}) {
                QVERIFY2(Wrong == Size || !decode(Payload, Wrong), qPrintable(QStringLiteral("%1: %2").arg(Vector.m_File).arg(Wrong)));
            }
        }
    }

    void handMadeStreams()
    {
        QByteArray Output;
        QVERIFY(decode(hexStream({kProps, kDataRc, kDataBc, kEndRc, kEndBc}), 1, &Output));
        QCOMPARE(Output, QByteArray("A"));
        // Properties: the largest window the format allows costs nothing (the output is the
        // window); one more, too small a window, no full-chunk size, no segment size.
        QVERIFY(decode(hexStream({"40000000010000200000", kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        QVERIFY(!decode(hexStream({"40000001010000200000", kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        QVERIFY(!decode(hexStream({"00007fff010000200000", kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        QVERIFY(!decode(hexStream({"00008000000000200000", kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        QVERIFY(!decode(hexStream({"00008000010000000000", kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        QVERIFY(!decode(hexStream({"000080000100002000"}), 1));
        QVERIFY(!decode(TBytes(), 1));

        // Chunks: only the order within each kind matters.
        QVERIFY(decode(hexStream({kProps, kDataBc, kEndBc, kDataRc, kEndRc}), 1, &Output));
        QCOMPARE(Output, QByteArray("A"));
        // Empty chunks are skipped, also where a segment restarts.
        QVERIFY(decode(hexStream({kProps, kDataRc, "00000000", kDataBc, "00000000", kEndRc, kEndBc}), 1));
        // A restart drops what is left of the previous segment's chunk.
        QVERIFY(decode(hexStream({kProps,
                                  "8000000b"
                                  "00df1d0800000000ffffff",
                                  "00000005"
                                  "060800ffff",
                                  kEndRc, kEndBc}),
                       1, &Output));
        QCOMPARE(Output, QByteArray("A"));
        // With a full-chunk size of 8, the first RC chunk needs no length field.
        QVERIFY(decode(hexStream({"00008000000008200000",
                                  "c0"
                                  "00df1d0800000000",
                                  kDataBc, kEndRc, kEndBc}),
                       1));
        // A chunk longer than the full-chunk size.
        QVERIFY(!decode(hexStream({"00008000000007200000", kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        // A header or a body cut off; no end-of-stream segment (left by a too small buffer).
        QVERIFY(!decode(hexStream({kProps, kDataRc, kDataBc, kEndRc, kEndBc, "800000"}), 1));
        QVERIFY(!decode(hexStream({kProps, kDataRc, kDataBc, kEndRc,
                                   "00000003"
                                   "1900"}),
                        1));
        QVERIFY(!decode(hexStream({kProps, kDataRc, kDataBc}), 1));
    }

    // The output doubles as the window, so the declared window size only limits distances
    // and decides when x86/text blocks may be filtered. The longest match in exe.a14.bin
    // reaches back 1,983,545 bytes; with exactly that window its first x86 block (ending
    // at 212,992) leaves the window before the end and is filtered early.
    void honoursWindowSize()
    {
        REQUIRE_VECTORS();
        auto [Payload, Size] = loadVector(QStringLiteral("exe.a14.bin"));
        for (const std::uint32_t Window : {1983545u, 1983544u}) {
            for (int Index = 0; Index < 4; ++Index) {
                Payload[std::size_t(Index)] = static_cast<unsigned char>(Window >> (24 - 8 * Index));
            }
            QByteArray Output;
            const bool Ok = decode(Payload, Size, &Output);
            QVERIFY(Window == 1983545u ? Ok && Output == testsupport::readVectorFile(QStringLiteral("exe.raw")) : !Ok);
        }
    }

    // Cut, bit-flipped and garbage payloads and wrong sizes must fail or decode within
    // bounds; the sanitizer build reports any stray access.
    void survivesDamagedPayloads()
    {
        REQUIRE_VECTORS();
        std::mt19937 Random(20240611);
        int Decoded = 0;
        for (const testsupport::TCodecVector& Vector : cscVectors(QStringLiteral("ok"))) {
            const auto [Payload, Size] = loadVector(Vector.m_File);
            const bool Large = Payload.size() > 100000;
            const std::size_t CutStep = Large ? Payload.size() / 4 : std::max<std::size_t>(1, Payload.size() / 150);
            QVERIFY2(decode(cutWithinChunks(Payload, Payload.size()), Size), "full chunks rewritten as partial ones");
            for (std::size_t Length = 0; Length < Payload.size(); Length += CutStep) {
                Decoded += decode(TBytes(Payload.begin(), Payload.begin() + std::ptrdiff_t(Length)), Size);
                Decoded += decode(cutWithinChunks(Payload, Length), Size);
            }
            for (int Flip = 0; Flip < (Large ? 6 : 150); ++Flip) {
                TBytes Damaged = Payload;
                for (int Bit = 0, Bits = Flip % 3 == 0 ? 1 + int(Random() % 8) : 1; Bit < Bits; ++Bit) {
                    // Half of the flips hit the properties and the first chunks, where they hurt most.
                    const std::size_t Span = Flip % 2 ? Damaged.size() : std::min<std::size_t>(Damaged.size(), 64);
                    Damaged[Random() % Span] ^= static_cast<unsigned char>(1u << (Random() % 8));
                }
                Decoded += decode(Damaged, Size);
            }
            if (!Large) {
                TBytes Garbage(Payload.begin(), Payload.begin() + kPropertiesSize);
                Garbage.resize(kPropertiesSize + 2000);
                std::generate(Garbage.begin() + kPropertiesSize, Garbage.end(), [&Random] { return static_cast<unsigned char>(Random()); });
                Decoded += decode(Garbage, Size);
            }
        }
        qInfo("%d damaged payloads still decoded (without a checksum, that is allowed)", Decoded);
    }
};

QTEST_APPLESS_MAIN(TestCscDecoder)
#include "tst_cscdecoder.moc"
