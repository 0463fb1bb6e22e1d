#include "TestEnvironment.h"

#include "BundleContainer.h"
#include "CodecVectors.h"
#include "ContainerBytes.h"
#include "HostileZpaq.h"
#include "LzmaContainer.h"
#include "Sha256.h"

#include <QtTest>

#include <set>

using namespace shared;
using namespace testsupport;

namespace {

bool fails(const QByteArray& Data, quint64 Limit = kDefaultUnpackedSizeLimit)
{
    QByteArray Output;
    const bool Unpacked = unpackBundle(Output, Data, Limit);
    if (Unpacked || Output != Data) {
        return false;
    }
    std::size_t Offset = 0;
    std::size_t Size = 0;
    if (findStoredPayload(Data.constData(), std::size_t(Data.size()), Limit, Offset, Size)) {
        return false; // the downloader's shortcut for stored payloads must refuse it too
    }
    try {
        decompressBundleData(Data, Limit);
    } catch (const TDecompressionError& Error) {
        return QString::fromUtf8(Error.what()) == QStringLiteral("Invalid input data could not be decompressed");
    }
    return false;
}

// The bytes findStoredPayload locates, or a null array.
QByteArray storedPayload(const QByteArray& Data, quint64 Limit)
{
    std::size_t Offset = 0;
    std::size_t Size = 0;
    if (!findStoredPayload(Data.constData(), std::size_t(Data.size()), Limit, Offset, Size)) {
        return QByteArray();
    }
    return Data.mid(int(Offset), int(Size));
}

} // namespace

class TestBundleContainer : public QObject {
    Q_OBJECT
private slots:
    void recognition();
    void storedAndSizes();
    void referenceVectors_data();
    void referenceVectors();
    void brokenVectors();
    void lzmaAfterFailures();
    void lzmaInPieces();
    void sizeBoundRefusedBeforeAllocating();
    void zpaqModelMemoryBounded_data();
    void zpaqModelMemoryBounded();
    void hostileZpaqBlocksFail();
};

void TestBundleContainer::recognition()
{
    QVERIFY(!isBundlePacked(QByteArray()));
    QVERIFY(!isBundlePacked(QByteArray(40, '\0')));
    QVERIFY(!isBundlePacked(QByteArray("\x00\x00\x70", 3))); // a lone marker
    QVERIFY(isBundlePacked(QByteArray("\x70\x17", 2)));
    QVERIFY(!isBundlePacked(QByteArray("\x70\x18", 2)));
    QVERIFY(!isBundlePacked(QByteArray("plain text")));

    // not a container: passes through both entry points unchanged
    const QByteArray Plain("plain text that is no container");
    QByteArray Output;
    QVERIFY(!unpackBundle(Output, Plain));
    QCOMPARE(Output, Plain);
    QCOMPARE(decompressBundleData(Plain, 100), Plain);
    const QByteArray Algorithm24 = QByteArray("\x70\x18\x03\x03", 4) + "abc";
    QCOMPARE(decompressBundleData(Algorithm24, 100), Algorithm24);

    std::string StdOutput;
    QVERIFY(!unpackBundle(StdOutput, std::string("xyz")));
    QCOMPARE(StdOutput, std::string("xyz"));
}

void TestBundleContainer::storedAndSizes()
{
    QCOMPARE(containerVarint(300), QByteArray("\xAC\x02", 2));
    const QByteArray Stored = QByteArray("\x00\x00\x70\x00\x03\x03", 6) + "abc";
    QCOMPARE(decompressBundleData(Stored, 3), QByteArray("abc"));
    std::string StdOutput;
    QVERIFY(unpackBundle(StdOutput, Stored.toStdString()));
    QCOMPARE(StdOutput, std::string("abc"));

    // 300 bytes stored, with two-byte varints
    const QByteArray Long(300, 'q');
    const QByteArray LongContainer = containerBytes(0, 300, Long, 3);
    QCOMPARE(LongContainer.mid(5, 4), QByteArray("\xAC\x02\xAC\x02", 4));
    QCOMPARE(decompressBundleData(LongContainer, 300), Long);
    // non-minimal varints are still read
    QCOMPARE(decompressBundleData(QByteArray("\x70\x00\x83\x00\x03", 5) + "abc", 3), QByteArray("abc"));
    // the downloader finds a stored payload where it lies: the bytes decoding gives
    for (const QByteArray& Container :
         {Stored, LongContainer, QByteArray("\x70\x00\x83\x00\x03", 5) + "abc", containerBytes(0, 5, "abc")}) {
        QCOMPARE(storedPayload(Container, 300), decompressBundleData(Container, 300));
    }
    QVERIFY(storedPayload(containerBytes(5, 3, "abc"), 3).isNull()); // not stored

    // unknown and unsupported numbers fail
    for (int Algorithm : {1, 2, 7, 8, 9, 11, 13, 22, 23}) {
        QVERIFY2(fails(containerBytes(Algorithm, 3, "abc")), qPrintable(QString::number(Algorithm)));
    }
    QVERIFY(fails(containerBytes(0, 0, QByteArray()))); // unpacked size 0
    QVERIFY(fails(containerBytes(0, 2, "abc"))); // stored payload longer than declared
    QVERIFY(fails(containerBytes(0, 3, "abc").left(6))); // payload shorter than its packed size
    QVERIFY(fails(QByteArray("\x70\x03", 2) + QByteArray(12, '\x80'))); // size varint never ends
    QVERIFY(fails(containerBytes(5, 100, QByteArray(17, '\x5D')))); // .lzma shorter than its header
    QVERIFY(fails(containerBytes(5, 100, QByteArray(1, char(225)) + QByteArray(40, '\0')))); // properties above 224
}

void TestBundleContainer::referenceVectors_data()
{
    QTest::addColumn<QString>("File");
    QTest::addColumn<QString>("Input");
    QTest::addColumn<qint64>("Unpacked");
    QTest::addColumn<QByteArray>("Sha256");
    const QVector<TCodecVector> Vectors = readCodecVectors();
    if (Vectors.isEmpty()) {
        // a row that fails: the vectors belong to the tree
        QTest::newRow("MANIFEST.tsv unreadable") << QStringLiteral("MANIFEST.tsv") << QString() << qint64(0) << QByteArray();
    }
    const std::set<int> Algorithms {0, 3, 4, 5, 6, 10, 14, 21};
    for (const TCodecVector& Vector : Vectors) {
#ifdef TORVANE_SANITIZED_BUILD
        // ZPAQ runs a context-mixing model per bit: under the sanitizers only the small vectors
        if (Vector.m_Algorithm == 6 && Vector.m_UnpackedSize > 300000) {
            continue;
        }
#endif
        if (Vector.m_Expect == QLatin1String("ok") && Algorithms.count(Vector.m_Algorithm)) {
            QTest::newRow(qPrintable(Vector.m_File)) << Vector.m_File << Vector.m_Input << Vector.m_UnpackedSize << Vector.m_InputSha256Hex;
        }
    }
}

void TestBundleContainer::referenceVectors()
{
    QFETCH(QString, File);
    QFETCH(QString, Input);
    QFETCH(qint64, Unpacked);
    QFETCH(QByteArray, Sha256);
    const QByteArray Data = readVectorFile(File);
    const QByteArray Raw = readVectorFile(Input + QStringLiteral(".raw"));
    QVERIFY(!Data.isEmpty());
    QCOMPARE(qint64(Raw.size()), Unpacked);
    // the downloader bounds the output by the chunk's known size
    const QByteArray Decoded = decompressBundleData(Data, quint64(Unpacked));
    QCOMPARE(Decoded.size(), Raw.size());
    QVERIFY(Decoded == Raw);
    QCOMPARE(TSha256::hash(Decoded).toHex(), Sha256);
    // a bound below the declared size is refused
    QVERIFY(fails(Data, quint64(Unpacked - 1)));
}

void TestBundleContainer::brokenVectors()
{
    const QVector<TCodecVector> Vectors = readCodecVectors();
    // either result is acceptable for these, as long as nothing crashes
    const QSet<QString> EitherWay {QStringLiteral("broken-unpacked-too-small.bin"), QStringLiteral("broken-unpacked-too-large.bin")};
    const QSet<QString> NotContainers {QStringLiteral("broken-no-marker.bin"), QStringLiteral("broken-bad-marker.bin")};
    int Judged = 0;
    for (const TCodecVector& Vector : Vectors) {
        if (!Vector.m_File.startsWith(QLatin1String("broken-"))) {
            continue;
        }
        ++Judged;
        const QByteArray Data = readVectorFile(Vector.m_File);
        QVERIFY(!Data.isEmpty());
        if (NotContainers.contains(Vector.m_File)) {
            QVERIFY(!isBundlePacked(Data));
            QCOMPARE(decompressBundleData(Data, 1 << 20), Data);
        } else if (EitherWay.contains(Vector.m_File)) {
            QByteArray Output;
            unpackBundle(Output, Data, 1 << 20);
        } else {
            QVERIFY2(fails(Data), qPrintable(Vector.m_File));
        }
    }
    QCOMPARE(Judged, 16);
}

void TestBundleContainer::lzmaAfterFailures()
{
    // A worker thread keeps its LZMA decoder from chunk to chunk: a stream that broke off
    // or carried garbage must leave nothing behind for the next one, of whatever size.
    const QByteArray Large = readVectorFile(QStringLiteral("text256k.a05.bin"));
    const QByteArray LargeRaw = readVectorFile(QStringLiteral("text256k.raw"));
    const QByteArray Small = readVectorFile(QStringLiteral("log64k.a10.bin"));
    const QByteArray SmallRaw = readVectorFile(QStringLiteral("log64k.raw"));
    QVERIFY(!Large.isEmpty() && !Small.isEmpty() && !LargeRaw.isEmpty() && !SmallRaw.isEmpty());
    QByteArray Garbled = Large;
    for (int Index = Garbled.size() / 2; Index < Garbled.size() / 2 + 64; ++Index) {
        Garbled[Index] = char(Garbled[Index] ^ 0x5A);
    }
    const QByteArray Truncated = Large.left(Large.size() / 2);
    for (const QByteArray& Broken : {Garbled, Truncated, Garbled}) {
        QVERIFY(fails(Broken));
        QCOMPARE(TSha256::hash(decompressBundleData(Small, quint64(SmallRaw.size()))), TSha256::hash(SmallRaw));
        QVERIFY(fails(Broken));
        QCOMPARE(TSha256::hash(decompressBundleData(Large, quint64(LargeRaw.size()))), TSha256::hash(LargeRaw));
    }
}

void TestBundleContainer::lzmaInPieces()
{
    // Decoded in pieces, an LZMA container gives exactly what decoding it whole gives, in
    // order, in pieces no larger than a core's cache holds; nothing else is taken.
    const QByteArray Data = wordyBytes(1500000, 3);
    const QByteArray Container = lzmaContainer(Data);
    const auto inPieces = [](const QByteArray& Bytes, quint64 Limit, QByteArray& Output, int& Largest) {
        return decodeInPieces(Bytes.constData(), std::size_t(Bytes.size()), Limit, [&](const char* pPiece, std::size_t Size) {
            Output.append(pPiece, int(Size));
            Largest = std::max(Largest, int(Size));
        });
    };
    QByteArray Output;
    int Largest = 0;
    QVERIFY(inPieces(Container, quint64(Data.size()), Output, Largest));
    QVERIFY(Output == Data);
    QVERIFY(Largest <= 256 * 1024);
    QVERIFY(Output.size() / Largest >= 5);
    for (const QByteArray& Other : {containerBytes(0, 5, "abcde"), QByteArray("not a container"), readVectorFile(QStringLiteral("log64k.a03.bin"))}) {
        QVERIFY(!decodesInPieces(Other.constData(), std::size_t(Other.size()), 1 << 20));
        QVERIFY(!inPieces(Other, 1 << 20, Output, Largest));
    }
    // declared larger than the caller's bound: refused before a byte is decoded
    QVERIFY(!decodesInPieces(Container.constData(), std::size_t(Container.size()), quint64(Data.size() - 1)));

    // a stream cut short, or declaring more than it holds, throws after what it decoded;
    // the thread's decoder is then as good as new
    const QByteArray Payload = lzmaPayload(Data);
    for (const QByteArray& Broken :
         {containerBytes(5, quint64(Data.size()), Payload.left(Payload.size() / 2), 16), containerBytes(5, quint64(Data.size()) + 1, Payload, 16)}) {
        QByteArray Partial;
        QVERIFY_EXCEPTION_THROWN(inPieces(Broken, 1 << 30, Partial, Largest), TDecompressionError);
        QVERIFY(Data.startsWith(Partial));
        Output.clear();
        QVERIFY(inPieces(Container, quint64(Data.size()), Output, Largest));
        QVERIFY(Output == Data);
    }
    // what the receiver throws (a full disk) ends the decoding and comes back unchanged
    int Pieces = 0;
    QVERIFY_EXCEPTION_THROWN(decodeInPieces(Container.constData(), std::size_t(Container.size()), quint64(Data.size()),
                                            [&](const char*, std::size_t) {
                                                if (++Pieces == 2) {
                                                    throw std::runtime_error("disk full");
                                                }
                                            }),
                             std::runtime_error);
    QCOMPARE(Pieces, 2);
    Output.clear();
    QVERIFY(inPieces(Container, quint64(Data.size()), Output, Largest));
    QVERIFY(Output == Data);
}

void TestBundleContainer::sizeBoundRefusedBeforeAllocating()
{
    // 2^40 declared with the default ceiling, and a size just above a caller's bound
    const QByteArray Huge = containerBytes(3, quint64(1) << 40, QByteArray("\x03\x00", 2));
    QVERIFY(fails(Huge));
    QVERIFY(fails(containerBytes(0, 5, "abcde"), 4));
    QCOMPARE(decompressBundleData(containerBytes(0, 5, "abcde"), 5), QByteArray("abcde"));
}

void TestBundleContainer::zpaqModelMemoryBounded_data()
{
    // byte offsets after "zPQ": level, type, two header size bytes, then hh hm ph pm,
    // each the log2 of a model array; and 0 leaves the block as the packer wrote it
    QTest::addColumn<int>("Offset");
    QTest::addColumn<int>("Bits");
    QTest::addColumn<bool>("Decodes");
    QTest::newRow("as packed") << 0 << 0 << true;
    QTest::newRow("hh 30: 4 GiB") << 7 << 30 << false;
    QTest::newRow("hm 33: 8 GiB") << 8 << 33 << false;
    QTest::newRow("first component 2^26 ICM: 4 GiB") << 13 << 26 << false;
}

void TestBundleContainer::zpaqModelMemoryBounded()
{
    QFETCH(int, Offset);
    QFETCH(int, Bits);
    QFETCH(bool, Decodes);
    // a 47-byte text packed with ZPAQ level 1; its model needs about 90 MB
    QFile Seed(QStringLiteral(TORVANE_SOURCE_DIR "/tests/fuzz/corpus/fuzz_bundle/abra47-06"));
    QVERIFY(Seed.open(QIODevice::ReadOnly));
    QByteArray Container = Seed.readAll();
    const int Block = Container.indexOf("zPQ");
    QVERIFY(Block > 0);
    QCOMPARE(int(Container.at(Block + 12)), 3); // the first component is an ICM
    if (Offset) {
        Container[Block + Offset] = char(Bits);
    }
    QByteArray Output;
    QCOMPARE(unpackBundle(Output, Container), Decodes);
    if (Decodes) {
        QCOMPARE(Output.size(), 47);
    } else {
        QVERIFY(fails(Container));
    }
}

void TestBundleContainer::hostileZpaqBlocksFail()
{
    // A post-processor that loops for ever ends as a decoding failure once its
    // instruction budget is spent, padded or not; the thread is usable afterwards.
    QElapsedTimer Clock;
    Clock.start();
    QVERIFY(fails(loopingZpaqContainer()));
    QVERIFY(fails(loopingZpaqContainer(4096), 1 << 20));
    QVERIFY2(Clock.elapsed() < 120000, "the budget did not stop the loop"); // a hang guard, not a speed target
    QCOMPARE(decompressBundleData(containerBytes(0, 3, "abc"), 3), QByteArray("abc"));

    // A block asking for 4 GiB of model memory for one byte of output is refused before
    // anything runs: with the budget lifted, running it would never end.
    QByteArray Greedy = loopingZpaqContainer();
    Greedy[kLoopingZpaqHhOffset] = char(30);
    QVERIFY(zpaqMemoryLimit(1024) < (quint64(1) << 30));
    qputenv("TORVANE_TEST_ZPAQ_INSTRUCTION_BUDGET", "18446744073709551615");
    const bool Refused = fails(Greedy, 1024);
    qunsetenv("TORVANE_TEST_ZPAQ_INSTRUCTION_BUDGET");
    QVERIFY(Refused);
}

QTEST_GUILESS_MAIN(TestBundleContainer)
#include "tst_bundlecontainer.moc"
