#include "TestEnvironment.h"

#include "CodecVectors.h"
#include "CscDecoder.h"

#include <QCryptographicHash>
#include <QtTest>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using TBytes = std::vector<unsigned char>;

constexpr int kCscAlgorithm = 14;
constexpr std::size_t kPropertiesSize = 10;

struct TContainer {
    std::size_t m_UnpackedSize = 0;
    TBytes m_Payload;
};

bool readVarint(const QByteArray& Data, int& Pos, quint64& Value)
{
    Value = 0;
    for (int Shift = 0; Shift < 64 && Pos < Data.size(); Shift += 7) {
        const auto Byte = static_cast<unsigned char>(Data[Pos++]);
        Value |= quint64(Byte & 0x7F) << Shift;
        if (!(Byte & 0x80)) {
            return true;
        }
    }
    return false;
}

// Zero padding, 0x70, algorithm 14, unpacked size, packed size, payload.
TContainer loadCscVector(const QString& Name)
{
    const QByteArray Data = testsupport::readVectorFile(Name);
    TContainer Container;
    int Pos = 0;
    while (Pos < Data.size() && Data[Pos] == '\0') {
        ++Pos;
    }
    quint64 Unpacked = 0;
    quint64 Packed = 0;
    if (Data.size() - Pos < 2 || Data[Pos] != '\x70' || Data[Pos + 1] != char(kCscAlgorithm)) {
        return Container;
    }
    Pos += 2;
    if (readVarint(Data, Pos, Unpacked) && readVarint(Data, Pos, Packed) && Packed <= quint64(Data.size() - Pos)) {
        Container.m_UnpackedSize = Unpacked;
        Container.m_Payload.assign(Data.begin() + Pos, Data.begin() + Pos + int(Packed));
    }
    return Container;
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

// Decodes from and into exact-size heap buffers, so that the address
// sanitizer sees any overrun. A broken size contract ends the test run.
bool decode(const TBytes& Payload, std::size_t OutputSize, TBytes* Result = nullptr)
{
    const TBytes ExactPayload(Payload);
    TBytes Output(OutputSize);
    std::size_t Produced = ~std::size_t{0};
    const bool Ok = shared::decodeCsc(ExactPayload.data(), ExactPayload.size(), Output.data(), Output.size(), Produced);
    if (Produced > OutputSize || (Ok && Produced != OutputSize)) {
        qFatal("decodeCsc: ok %d with %zu bytes for a %zu-byte output", int(Ok), Produced, OutputSize);
    }
    if (Result) {
        *Result = std::move(Output);
    }
    return Ok;
}

QByteArray asByteArray(const TBytes& Bytes) { return QByteArray(reinterpret_cast<const char*>(Bytes.data()), int(Bytes.size())); }

// Cuts the payload after Keep bytes like a short download, but rewrites the
// chunk that was cut into a shorter, well-formed one, so that decoding really
// runs out of data instead of failing on the chunk layout.
TBytes cutWithinChunks(const TBytes& Payload, std::size_t Keep)
{
    TBytes Cut(Payload.begin(), Payload.begin() + kPropertiesSize);
    const std::size_t FullSize = (std::size_t(Payload[4]) << 16) | (std::size_t(Payload[5]) << 8) | Payload[6];
    std::size_t Pos = kPropertiesSize;
    while (Pos < Payload.size() && Pos < Keep) {
        const unsigned char Flags = Payload[Pos];
        std::size_t HeaderSize = 1;
        std::size_t Length = FullSize;
        if (!(Flags & 0x40)) {
            HeaderSize = 4;
            Length = (std::size_t(Payload[Pos + 1]) << 16) | (std::size_t(Payload[Pos + 2]) << 8) | Payload[Pos + 3];
        }
        const std::size_t Present = std::min(Length, Keep - std::min(Keep, Pos + HeaderSize));
        const unsigned char* Body = Payload.data() + Pos + HeaderSize;
        Cut.insert(Cut.end(), {static_cast<unsigned char>(Flags & 0x80), static_cast<unsigned char>(Present >> 16),
                               static_cast<unsigned char>(Present >> 8), static_cast<unsigned char>(Present)});
        Cut.insert(Cut.end(), Body, Body + Present);
        Pos += HeaderSize + Length;
    }
    return Cut;
}

// The one-byte "A" stream: properties, then segment 1 (RC 8 bytes, BC 3 bytes)
// and the end-of-stream segment (RC 6 bytes, BC 3 bytes).
const char* const kProps = "00008000" "010000" "200000";
const char* const kDataRc = "80000008" "00df1d0800000000";
const char* const kDataBc = "00000003" "060800";
const char* const kEndRc = "80000006" "000000000000";
const char* const kEndBc = "00000003" "190000";

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

// The tests on hand-made streams run anyway.
#define SKIP_WITHOUT_VECTORS()                                                                                         \
    do {                                                                                                               \
        if (!QDir(testsupport::codecVectorsDirectory()).exists()) {                                                    \
            QSKIP(qPrintable(QStringLiteral("codec vector directory %1 not found").arg(testsupport::codecVectorsDirectory()))); \
        }                                                                                                              \
    } while (false)

class TestCscDecoder : public QObject {
    Q_OBJECT

private slots:
    void decodesReferenceVectors_data()
    {
        SKIP_WITHOUT_VECTORS();
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QByteArray>("sha256");
        const auto Vectors = cscVectors(QStringLiteral("ok"));
        QVERIFY2(!Vectors.isEmpty(), "MANIFEST.tsv lists no algorithm-14 vectors");
        for (const testsupport::TCodecVector& Vector : Vectors) {
            QTest::newRow(qPrintable(Vector.m_File)) << Vector.m_File << Vector.m_Input << Vector.m_InputSha256Hex;
        }
    }

    void decodesReferenceVectors()
    {
        QFETCH(QString, file);
        QFETCH(QString, input);
        QFETCH(QByteArray, sha256);
        const TContainer Container = loadCscVector(file);
        QVERIFY2(!Container.m_Payload.empty(), "not an algorithm-14 container");

        TBytes Output;
        QVERIFY(decode(Container.m_Payload, Container.m_UnpackedSize, &Output));
        const QByteArray Raw = testsupport::readVectorFile(input + QStringLiteral(".raw"));
        QVERIFY(asByteArray(Output) == Raw);
        QCOMPARE(QCryptographicHash::hash(asByteArray(Output), QCryptographicHash::Sha256).toHex(), sha256);
    }

    void rejectsBrokenVectors()
    {
        SKIP_WITHOUT_VECTORS();
        const auto Vectors = cscVectors(QStringLiteral("reject"));
        QVERIFY(!Vectors.isEmpty());
        for (const testsupport::TCodecVector& Vector : Vectors) {
            const TContainer Container = loadCscVector(Vector.m_File);
            QVERIFY2(!Container.m_Payload.empty(), qPrintable(Vector.m_File));
            QVERIFY2(!decode(Container.m_Payload, Container.m_UnpackedSize), qPrintable(Vector.m_File));
        }
    }

    void rejectsWrongDeclaredSize()
    {
        SKIP_WITHOUT_VECTORS();
        const TContainer Container = loadCscVector(QStringLiteral("log64k.a14.bin"));
        const std::size_t Size = Container.m_UnpackedSize;
        QVERIFY(decode(Container.m_Payload, Size));
        for (std::size_t Wrong : {std::size_t{0}, std::size_t{1}, Size / 2, Size - 1, Size + 1, Size * 2}) {
            QVERIFY2(!decode(Container.m_Payload, Wrong), qPrintable(QString::number(Wrong)));
        }
    }

    void checksProperties()
    {
        QVERIFY(decode(hexStream({kProps, kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        // The largest window the format allows costs nothing: the output is the window.
        QVERIFY(decode(hexStream({"40000000010000200000", kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        QVERIFY(!decode(hexStream({"40000001010000200000", kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        QVERIFY(!decode(hexStream({"00007fff010000200000", kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        QVERIFY(!decode(hexStream({"00008000000000200000", kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        QVERIFY(!decode(hexStream({"00008000010000000000", kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        QVERIFY(!decode(hexStream({"000080000100002000"}), 1));
        QVERIFY(!decode(TBytes(), 1));
    }

    // The output doubles as the window, so the declared window size only limits
    // distances and decides when x86/text blocks may be filtered. The longest
    // match in exe.a14.bin reaches back 1,983,545 bytes; with exactly that window
    // its first x86 block (ending at 212,992) leaves the window before the end
    // and is filtered early.
    void honoursWindowSize()
    {
        SKIP_WITHOUT_VECTORS();
        TContainer Container = loadCscVector(QStringLiteral("exe.a14.bin"));
        const auto setWindow = [&Container](std::uint32_t Size) {
            for (int Index = 0; Index < 4; ++Index) {
                Container.m_Payload[Index] = static_cast<unsigned char>(Size >> (24 - 8 * Index));
            }
        };
        setWindow(1983545);
        TBytes Output;
        QVERIFY(decode(Container.m_Payload, Container.m_UnpackedSize, &Output));
        QVERIFY(asByteArray(Output) == testsupport::readVectorFile(QStringLiteral("exe.raw")));
        setWindow(1983544);
        QVERIFY(!decode(Container.m_Payload, Container.m_UnpackedSize));
    }

    void readsChunkLayer()
    {
        TBytes Output;
        // Only the order within each kind matters.
        QVERIFY(decode(hexStream({kProps, kDataBc, kEndBc, kDataRc, kEndRc}), 1, &Output));
        QCOMPARE(asByteArray(Output), QByteArray("A"));
        // Empty chunks are skipped, also where a segment restarts.
        QVERIFY(decode(hexStream({kProps, kDataRc, "00000000", kDataBc, "00000000", kEndRc, kEndBc}), 1));
        // A restart drops what is left of the previous segment's chunk.
        QVERIFY(decode(hexStream({kProps, "8000000b" "00df1d0800000000ffffff", "00000005" "060800ffff", kEndRc, kEndBc}), 1,
                       &Output));
        QCOMPARE(asByteArray(Output), QByteArray("A"));
        // With a full-chunk size of 8, the first RC chunk needs no length field.
        QVERIFY(decode(hexStream({"00008000000008200000", "c0" "00df1d0800000000", kDataBc, kEndRc, kEndBc}), 1));
        // A chunk longer than the full-chunk size.
        QVERIFY(!decode(hexStream({"00008000000007200000", kDataRc, kDataBc, kEndRc, kEndBc}), 1));
        // A header or a body cut off by the end of the payload.
        QVERIFY(!decode(hexStream({kProps, kDataRc, kDataBc, kEndRc, kEndBc, "800000"}), 1));
        QVERIFY(!decode(hexStream({kProps, kDataRc, kDataBc, kEndRc, "00000003" "1900"}), 1));
        // No end-of-stream segment (what the compressor leaves in a too small buffer).
        QVERIFY(!decode(hexStream({kProps, kDataRc, kDataBc}), 1));
    }

    // Damaged payloads and wrong sizes must fail or decode within bounds; the
    // sanitizer build reports any stray access.
    void survivesDamagedPayloads()
    {
        SKIP_WITHOUT_VECTORS();
        std::mt19937 Random(20240611);
        int Decoded = 0;
        for (const testsupport::TCodecVector& Vector : cscVectors(QStringLiteral("ok"))) {
            const TContainer Container = loadCscVector(Vector.m_File);
            const TBytes& Payload = Container.m_Payload;
            const std::size_t Size = Container.m_UnpackedSize;
            const bool Large = Payload.size() > 100000;
            const int Flips = Large ? 6 : 150;
            const std::size_t CutStep = Large ? Payload.size() / 4 : std::max<std::size_t>(1, Payload.size() / 150);

            QVERIFY2(decode(cutWithinChunks(Payload, Payload.size()), Size), "full chunks rewritten as partial ones");
            for (std::size_t Length = 0; Length < Payload.size(); Length += CutStep) {
                Decoded += decode(TBytes(Payload.begin(), Payload.begin() + Length), Size);
                Decoded += decode(cutWithinChunks(Payload, Length), Size);
            }
            for (int Flip = 0; Flip < Flips; ++Flip) {
                TBytes Damaged = Payload;
                const int Bits = Flip % 3 == 0 ? 1 + int(Random() % 8) : 1;
                for (int Bit = 0; Bit < Bits; ++Bit) {
                    // Half of the flips hit the properties and the first chunks, where they hurt most.
                    const std::size_t Span = Flip % 2 ? Damaged.size() : std::min<std::size_t>(Damaged.size(), 64);
                    Damaged[Random() % Span] ^= static_cast<unsigned char>(1u << (Random() % 8));
                }
                Decoded += decode(Damaged, Size);
            }
            if (!Large) {
                for (std::size_t Wrong : {std::size_t{0}, Size - 1, Size + 1, Size + 4096, Size / 3}) {
                    Decoded += decode(Payload, Wrong);
                }
                TBytes Garbage(Payload.begin(), Payload.begin() + kPropertiesSize);
                for (int Index = 0; Index < 2000; ++Index) {
                    Garbage.push_back(static_cast<unsigned char>(Random()));
                }
                Decoded += decode(Garbage, Size);
            }
        }
        qInfo("%d damaged payloads still decoded (without a checksum, that is allowed)", Decoded);
    }
};

QTEST_APPLESS_MAIN(TestCscDecoder)
#include "tst_cscdecoder.moc"
