#include "TestEnvironment.h"

#include "ContentDefinedChunker.h"
#include "Sha256.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>
#include <cstring>
#include <optional>
#include <thread>

namespace {

constexpr std::size_t kMiB = 1024 * 1024;
using TLengths = QList<std::uint64_t>;
using TPieces = std::optional<std::vector<shared::TFilePiece>>;

// splitmix64, eight little-endian bytes per step. The reference boundaries below were
// computed for this stream by a separate implementation of the cutting rule.
QByteArray pseudoRandomBytes(std::size_t Size, std::uint64_t State)
{
    QByteArray Data(static_cast<int>(Size), Qt::Uninitialized);
    for (std::size_t Index = 0; Index < Size; Index += 8) {
        std::uint64_t Value = (State += 0x9E3779B97F4A7C15ull);
        Value = (Value ^ (Value >> 30)) * 0xBF58476D1CE4E5B9ull;
        Value = (Value ^ (Value >> 27)) * 0x94D049BB133111EBull;
        Value ^= Value >> 31;
        for (std::size_t Byte = 0; Byte < 8 && Index + Byte < Size; ++Byte) {
            Data[int(Index + Byte)] = static_cast<char>(Value >> (8 * Byte));
        }
    }
    return Data;
}

const unsigned char* bytes(const QByteArray& Data)
{
    return reinterpret_cast<const unsigned char*>(Data.constData());
}

// The cutting rule taken literally, one byte per step.
std::size_t pieceLengthByteByByte(const unsigned char* Data, std::size_t Length)
{
    if (Length <= shared::kChunkUncutSize) {
        return Length;
    }
    const std::size_t Limit = std::min(Length, shared::kChunkMaximumSize);
    std::uint32_t Hash = 0;
    for (std::size_t Position = shared::kChunkUncutSize; Position < Limit;) {
        Hash = (Hash >> 1) + shared::chunkGearTable()[Data[Position++]];
        if ((Hash & shared::kChunkCutMask) == 0) {
            return Position;
        }
    }
    return Limit;
}

// The whole of Data cut by the rule written out from its description, one byte per step:
// nothing below the minimum is examined, a piece ends after the byte at which the low
// MaskBits bits of h = (h >> 1) + G[b] are zero, and never runs past the maximum.
TLengths plainLoopCuts(const QByteArray& Data, std::uint64_t Minimum, int MaskBits, std::uint64_t Maximum)
{
    const std::uint32_t Mask = (1u << MaskBits) - 1;
    const std::uint64_t Size = std::uint64_t(Data.size());
    TLengths Lengths;
    for (std::uint64_t Start = 0; Start < Size;) {
        const std::uint64_t End = std::min(Size, Start + Maximum);
        std::uint64_t Cut = End;
        if (Size - Start > Minimum) {
            std::uint32_t Hash = 0;
            for (std::uint64_t Position = Start + Minimum; Position < End; ++Position) {
                Hash = (Hash >> 1) + shared::chunkGearTable()[static_cast<unsigned char>(Data[int(Position)])];
                if ((Hash & Mask) == 0) {
                    Cut = Position + 1;
                    break;
                }
            }
        } else {
            Cut = Size;
        }
        Lengths.append(Cut - Start);
        Start = Cut;
    }
    return Lengths;
}

// Cuts data held in memory with the bare cutting rule.
TLengths lengthsInMemory(const QByteArray& Data)
{
    TLengths Lengths;
    for (std::size_t Position = 0, Size = std::size_t(Data.size()); Position < Size; Position += Lengths.back()) {
        Lengths.append(shared::nextPieceLength(bytes(Data) + Position, Size - Position));
    }
    return Lengths;
}

bool writeFile(const QString& Path, const QByteArray& Data)
{
    QFile File(Path);
    return File.open(QIODevice::WriteOnly | QIODevice::Truncate) && File.write(Data) == Data.size();
}

// Checks that offsets run without gaps, every digest matches its bytes, no piece exceeds
// 16 MiB and only the last one may be 4 MiB or shorter; returns the piece lengths.
TLengths checkPieces(const TPieces& Pieces, const QByteArray& Data)
{
    TLengths Lengths;
    [&] {
        QVERIFY(Pieces.has_value());
        std::uint64_t Offset = 0;
        for (const shared::TFilePiece& Piece : *Pieces) {
            QCOMPARE(Piece.m_Offset, Offset);
            QVERIFY(Piece.m_Length > 0 && Piece.m_Length <= shared::kChunkMaximumSize);
            QVERIFY2(&Piece == &Pieces->back() || Piece.m_Length > shared::kChunkUncutSize, qPrintable(QString::number(Offset)));
            QCOMPARE(Piece.m_Sha256, shared::TSha256::hash(Data.mid(static_cast<int>(Offset), static_cast<int>(Piece.m_Length))));
            Offset += Piece.m_Length;
            Lengths.append(Piece.m_Length);
        }
        QCOMPARE(Offset, static_cast<std::uint64_t>(Data.size()));
    }();
    return Lengths;
}

} // namespace

class TestChunker : public QObject {
    Q_OBJECT
private slots:
    void gearTableAndCutRule();
    void referenceBoundaries();
    void blockRefillMatchesWholeFileInMemory();
    void insertionChangesOnlyLeadingPieces();
    void shortZeroAndUnreadableFiles();
    void cutSearchMatchesByteByByteRule_data();
    void cutSearchMatchesByteByByteRule();
    void oneThreadCutsFileAfterFile();
    void explicitParametersMatchPlainLoop_data();
    void explicitParametersMatchPlainLoop();
    void parameterBounds_data();
    void parameterBounds();

private:
    TPieces piecesOf(const QString& Name, const QByteArray& Data) const
    {
        return writeFile(m_Directory.filePath(Name), Data) ? shared::chunkFileWithDigests(m_Directory.filePath(Name)) : TPieces();
    }
    QTemporaryDir m_Directory;
};

void TestChunker::gearTableAndCutRule()
{
    const std::array<std::uint32_t, 256>& Table = shared::chunkGearTable();
    QVERIFY(Table[0x45] == 0x02C1BFC7u && Table[0xC7] == 0x1CA8EEF3u && Table[0xFB] == 0x2A4D4237u);
    // checksums over all 256 values, taken from the table as published
    std::uint32_t Sum = 0, Polynomial = 0;
    for (std::uint32_t Value : Table) {
        Sum += Value;
        Polynomial = Polynomial * 31 + Value;
    }
    QVERIFY2(Sum == 0x97026D6Eu && Polynomial == 0x2A021C86u, qPrintable(QString::number(Sum, 16) + ' ' + QString::number(Polynomial, 16)));

    // Up to 4 MiB nothing is cut; the bytes in front of offset 4 MiB are never examined.
    QByteArray Data(static_cast<int>(5 * kMiB), char(0xFF));
    for (const std::size_t Length : {std::size_t(0), std::size_t(1), shared::kChunkUncutSize, shared::kChunkUncutSize + 1, 5 * kMiB}) {
        QCOMPARE(shared::nextPieceLength(bytes(Data), Length), Length);
    }
    // Bytes 45 FB C7 at offset 4 MiB, worked by hand from the table:
    //   h = (0 >> 1) + 0x02C1BFC7          = 0x02C1BFC7
    //   h = (h >> 1) + 0x2A4D4237 = 0x0160DFE3 + 0x2A4D4237 = 0x2BAE221A
    //   h = (h >> 1) + 0x1CA8EEF3 = 0x15D7110D + 0x1CA8EEF3 = 0x32800000, low 22 bits zero:
    // the piece ends after the third byte, unless the known data ends before it.
    const int Start = static_cast<int>(shared::kChunkUncutSize);
    Data.replace(Start, 3, QByteArray::fromHex("45FBC7"));
    QCOMPARE(shared::nextPieceLength(bytes(Data), Data.size()), shared::kChunkUncutSize + 3);
    QCOMPARE(shared::nextPieceLength(bytes(Data), shared::kChunkUncutSize + 2), shared::kChunkUncutSize + 2);
    // The same bytes one position earlier: the first is not examined, so no cut there
    // (0xFF bytes never produce one: their rolling value settles at 0x65D1D4FB).
    Data.replace(Start - 1, 4, QByteArray::fromHex("45FBC7FF"));
    QCOMPARE(shared::nextPieceLength(bytes(Data), Data.size()), std::size_t(Data.size()));
    // each piece starts its rolling value afresh at its own offset 4 MiB
    const QByteArray Shifted = QByteArray(100, char(0xFF)) + Data;
    QCOMPARE(shared::nextPieceLength(bytes(Shifted) + 99, Data.size() + 1), shared::kChunkUncutSize + 3);
}

void TestChunker::referenceBoundaries()
{
    const QByteArray Data = pseudoRandomBytes(40000000, 1);
    const TLengths Reference = {12053994, 12461037, 15484969};
    QCOMPARE(lengthsInMemory(Data), Reference);
    // larger than 16 MiB: read through the block buffer
    QCOMPARE(checkPieces(piecesOf("random40", Data), Data), Reference);
    // the first 16 MiB alone fit the whole-file buffer
    const QByteArray Head = Data.left(static_cast<int>(shared::kChunkMaximumSize));
    QCOMPARE(checkPieces(piecesOf("random16", Head), Head), (TLengths {12053994, kMiB * 16 - 12053994}));
}

void TestChunker::blockRefillMatchesWholeFileInMemory()
{
    // 200 MB: more than one 128 MiB block, with a 40 MiB zero stretch (maximum-size pieces)
    // between pseudo-random stretches, so pieces of many lengths straddle the block ends.
    QByteArray Data = pseudoRandomBytes(200000000, 1);
    std::memset(Data.data() + 90 * kMiB, 0, 40 * kMiB);
    QVERIFY(writeFile(m_Directory.filePath("random200"), Data));

    std::vector<shared::TFilePiece> Pieces;
    QVERIFY(shared::chunkFile(m_Directory.filePath("random200"), [&](const unsigned char* Piece, std::size_t Length, std::uint64_t Offset) {
        Pieces.push_back(shared::TFilePiece {Offset, Length, shared::TSha256::hash(Piece, Length)});
        return true;
    }));
    const TLengths Expected = lengthsInMemory(Data);
    QCOMPARE(checkPieces(Pieces, Data), Expected);
    // the scan that hashes in small blocks as it cuts finds the same pieces and digests
    QCOMPARE(checkPieces(shared::chunkFileWithDigests(m_Directory.filePath("random200")), Data), Expected);
    // the stream of the reference file; these pieces end before the zero stretch
    const TLengths Reference = {12053994, 12461037, 16777216, 7439793, 6411610, 7607784, 11209189, 13058051, 7276015};
    QCOMPARE(Expected.mid(0, Reference.size()), Reference);
    QVERIFY(Expected.count(std::uint64_t(shared::kChunkMaximumSize)) >= 2 && Expected.size() >= 15);
}

void TestChunker::insertionChangesOnlyLeadingPieces()
{
    const QByteArray Original = pseudoRandomBytes(40000000, 1);
    QByteArray Edited = Original;
    Edited.insert(300000, pseudoRandomBytes(5000, 99));
    const TPieces Before = piecesOf("original", Original);
    const TPieces After = piecesOf("edited", Edited);
    QVERIFY(Before.has_value());
    checkPieces(After, Edited);

    // after one or two new leading pieces, the old pieces follow unchanged
    std::size_t Kept = 0;
    while (Kept < Before->size() && Kept < After->size() &&
           Before->at(Before->size() - 1 - Kept).m_Sha256 == After->at(After->size() - 1 - Kept).m_Sha256) {
        ++Kept;
    }
    QVERIFY2(Kept >= 1 && Before->size() - Kept <= 2 && After->size() - Kept <= 2, qPrintable(QString::number(Kept)));
    QCOMPARE(After->front().m_Length, Before->front().m_Length + 5000);
}

void TestChunker::shortZeroAndUnreadableFiles()
{
    // An empty file has no pieces; anything up to 4 MiB (and a byte more) is one.
    for (const std::size_t Size : {std::size_t(0), std::size_t(1), shared::kChunkUncutSize, shared::kChunkUncutSize + 1}) {
        const QByteArray Data = pseudoRandomBytes(Size, Size);
        QCOMPARE(checkPieces(piecesOf("short", Data), Data), Size ? TLengths {Size} : TLengths());
    }

    // Sparse zeros give pieces of the maximum size; a callback that declines stops the
    // scan, which still counts as read.
    const QString Zeros = m_Directory.filePath("zeros");
    QVERIFY(QFile(Zeros).open(QIODevice::WriteOnly) && QFile::resize(Zeros, qint64(40 * kMiB + 5)));
    QCOMPARE(checkPieces(shared::chunkFileWithDigests(Zeros), QByteArray(int(40 * kMiB + 5), '\0')),
             (TLengths {16 * kMiB, 16 * kMiB, 8 * kMiB + 5}));
    std::vector<std::uint64_t> Offsets;
    QVERIFY(shared::chunkFile(Zeros, [&Offsets](const unsigned char*, std::size_t, std::uint64_t Offset) {
        Offsets.push_back(Offset);
        return Offsets.size() < 2;
    }));
    QCOMPARE(Offsets, (std::vector<std::uint64_t> {0, 16 * kMiB}));

    // Missing, a directory, no read permission (root reads regardless): false, no piece.
    const QString Locked = m_Directory.filePath("locked");
    QVERIFY(writeFile(Locked, "data") && QFile::setPermissions(Locked, QFileDevice::WriteOwner));
    QVERIFY(QDir(m_Directory.path()).mkdir("folder"));
    int Calls = 0;
    for (const char* Name : {"missing", "folder", ::geteuid() != 0 ? "locked" : "missing"}) {
        const QString Path = m_Directory.filePath(Name);
        QVERIFY2(!shared::chunkFile(Path, [&Calls](const unsigned char*, std::size_t, std::uint64_t) { return ++Calls > 0; }), Name);
        QVERIFY2(!shared::chunkFileWithDigests(Path).has_value(), Name);
    }
    QCOMPARE(Calls, 0);
}

void TestChunker::cutSearchMatchesByteByByteRule_data()
{
    QTest::addColumn<std::uint64_t>("Seed");
    QTest::addColumn<int>("Shift");
    // Cuts found by the one-byte rule in these streams, each moved by 0 to 7 bytes, put
    // the cutting byte at every position of the eight-byte steps of the search.
    for (int Shift = 0; Shift < 8; ++Shift) {
        QTest::addRow("random, shifted by %d", Shift) << std::uint64_t(1) << Shift;
    }
    QTest::addRow("another stream") << std::uint64_t(77) << 3;
    QTest::addRow("text-like bytes") << std::uint64_t(0) << 5;
}

void TestChunker::cutSearchMatchesByteByByteRule()
{
    QFETCH(std::uint64_t, Seed);
    QFETCH(int, Shift);
    QByteArray Data = QByteArray(Shift, 'x') + pseudoRandomBytes(48 * kMiB, Seed ? Seed : 5);
    if (Seed == 0) {
        for (char& Byte : Data) {
            Byte = static_cast<char>('a' + (static_cast<unsigned char>(Byte) % 26)); // few distinct bytes
        }
    }
    std::size_t Position = 0;
    std::size_t Pieces = 0;
    while (Position < std::size_t(Data.size())) {
        const std::size_t Rest = std::size_t(Data.size()) - Position;
        const std::size_t Expected = pieceLengthByteByByte(bytes(Data) + Position, Rest);
        QCOMPARE(shared::nextPieceLength(bytes(Data) + Position, Rest), Expected);
        // the same start with the known data ending at, one before and one after the cut
        for (const std::size_t Window : {Expected - 1, Expected, Expected + 1, shared::kChunkUncutSize + 7}) {
            if (Window <= Rest) {
                QCOMPARE(shared::nextPieceLength(bytes(Data) + Position, Window), pieceLengthByteByByte(bytes(Data) + Position, Window));
            }
        }
        Position += Expected;
        ++Pieces;
    }
    QVERIFY(Pieces >= 4);
}

void TestChunker::oneThreadCutsFileAfterFile()
{
    // The scan buffer of a thread serves file after file: a short file after a long one
    // must not see the long one's bytes, and a scan stopped half-way leaves nothing behind.
    const QByteArray Long = pseudoRandomBytes(70 * kMiB, 3);
    const QByteArray Short = pseudoRandomBytes(10 * kMiB, 4);
    const QByteArray Middle = pseudoRandomBytes(20 * kMiB + 3, 5);
    QCOMPARE(checkPieces(piecesOf("long", Long), Long), lengthsInMemory(Long));
    QCOMPARE(checkPieces(piecesOf("short", Short), Short), lengthsInMemory(Short));
    int Calls = 0;
    QVERIFY(shared::chunkFile(m_Directory.filePath("long"),
                              [&Calls](const unsigned char*, std::size_t, std::uint64_t) { return ++Calls < 2; }));
    QCOMPARE(checkPieces(piecesOf("middle", Middle), Middle), lengthsInMemory(Middle));
    // a file cut on another thread at the same time gives the same pieces
    TPieces OnOtherThread;
    std::thread Other([&] { OnOtherThread = shared::chunkFileWithDigests(m_Directory.filePath("long")); });
    QCOMPARE(checkPieces(shared::chunkFileWithDigests(m_Directory.filePath("middle")), Middle), lengthsInMemory(Middle));
    Other.join();
    QCOMPARE(checkPieces(OnOtherThread, Long), lengthsInMemory(Long));
}

void TestChunker::explicitParametersMatchPlainLoop_data()
{
    QTest::addColumn<quint64>("Minimum");
    QTest::addColumn<int>("MaskBits");
    QTest::addColumn<quint64>("Maximum");
    QTest::newRow("64K average") << quint64(16 * 1024) << 16 << quint64(256 * 1024);
    QTest::newRow("256K average") << quint64(64 * 1024) << 18 << quint64(kMiB);
    QTest::newRow("1M average") << quint64(256 * 1024) << 20 << quint64(4 * kMiB);
    QTest::newRow("lowest bounds, odd lengths") << quint64(16 * 1024) << 10 << quint64(16 * 1024 + 777);
    QTest::newRow("most mask bits: maximum-length pieces") << quint64(100000) << 24 << quint64(3 * kMiB + 5);
    QTest::newRow("defaults, written out") << quint64(4 * kMiB) << 22 << quint64(16 * kMiB);
}

void TestChunker::explicitParametersMatchPlainLoop()
{
    QFETCH(quint64, Minimum);
    QFETCH(int, MaskBits);
    QFETCH(quint64, Maximum);
    shared::TChunkingParameters Parameters;
    Parameters.m_Minimum = Minimum;
    Parameters.m_MaskBits = MaskBits;
    Parameters.m_Maximum = Maximum;
    QVERIFY2(Parameters.problem().isEmpty(), qPrintable(Parameters.problem()));
    QCOMPARE(Parameters == shared::TChunkingParameters::defaults(), Minimum == 4 * kMiB && MaskBits == 22 && Maximum == 16 * kMiB);

    // random bytes, a zero stretch (no cut: maximum-length pieces), text-like bytes, and a
    // length that is no multiple of eight, so that reads, refills and the eight-byte steps
    // all meet piece ends at every alignment
    QByteArray Data = pseudoRandomBytes(40 * kMiB + 3, 11);
    std::memset(Data.data() + 20 * kMiB, 0, 3 * kMiB);
    for (int Index = int(30 * kMiB); Index < int(33 * kMiB); ++Index) {
        Data[Index] = static_cast<char>('a' + (static_cast<unsigned char>(Data[Index]) % 26));
    }
    const TLengths Expected = plainLoopCuts(Data, Minimum, MaskBits, Maximum);
    QVERIFY(Expected.size() >= 3);

    TLengths InMemory;
    for (std::size_t Position = 0, Size = std::size_t(Data.size()); Position < Size; Position += InMemory.back()) {
        InMemory.append(shared::nextPieceLength(bytes(Data) + Position, Size - Position, Parameters));
    }
    QCOMPARE(InMemory, Expected);

    const QString Path = m_Directory.filePath(QStringLiteral("explicit"));
    QVERIFY(writeFile(Path, Data));
    const TPieces Pieces = shared::chunkFileWithDigests(Path, Parameters);
    QVERIFY(Pieces.has_value());
    TLengths FromFile;
    std::uint64_t Offset = 0;
    for (const shared::TFilePiece& Piece : *Pieces) {
        QCOMPARE(Piece.m_Offset, Offset);
        QCOMPARE(Piece.m_Sha256, shared::TSha256::hash(Data.mid(int(Offset), int(Piece.m_Length))));
        Offset += Piece.m_Length;
        FromFile.append(Piece.m_Length);
    }
    QCOMPARE(FromFile, Expected);
    // the same thread cuts with the defaults right after: the buffer it kept serves both
    const QByteArray Head = Data.left(int(20 * kMiB));
    QCOMPARE(checkPieces(piecesOf(QStringLiteral("head"), Head), Head), lengthsInMemory(Head));
}

void TestChunker::parameterBounds_data()
{
    QTest::addColumn<quint64>("Minimum");
    QTest::addColumn<int>("MaskBits");
    QTest::addColumn<quint64>("Maximum");
    QTest::addColumn<bool>("Usable");
    QTest::newRow("defaults") << quint64(4 * kMiB) << 22 << quint64(16 * kMiB) << true;
    QTest::newRow("lowest minimum, fewest bits") << quint64(16384) << 10 << quint64(16385) << true;
    QTest::newRow("minimum below 16 KiB") << quint64(16383) << 16 << quint64(kMiB) << false;
    QTest::newRow("maximum above 16 MiB") << quint64(kMiB) << 20 << quint64(16 * kMiB + 1) << false;
    QTest::newRow("minimum equals maximum") << quint64(kMiB) << 20 << quint64(kMiB) << false;
    QTest::newRow("minimum above maximum") << quint64(2 * kMiB) << 20 << quint64(kMiB) << false;
    QTest::newRow("9 bits") << quint64(65536) << 9 << quint64(kMiB) << false;
    QTest::newRow("25 bits") << quint64(65536) << 25 << quint64(kMiB) << false;
    QTest::newRow("negative bits") << quint64(65536) << -1 << quint64(kMiB) << false;
}

void TestChunker::parameterBounds()
{
    QFETCH(quint64, Minimum);
    QFETCH(int, MaskBits);
    QFETCH(quint64, Maximum);
    QFETCH(bool, Usable);
    shared::TChunkingParameters Parameters;
    Parameters.m_Minimum = Minimum;
    Parameters.m_MaskBits = MaskBits;
    Parameters.m_Maximum = Maximum;
    QCOMPARE(Parameters.problem().isEmpty(), Usable);
    // a file is never cut with values outside the bounds
    const QString Path = m_Directory.filePath(QStringLiteral("bounds"));
    QVERIFY(writeFile(Path, pseudoRandomBytes(64 * 1024, 2)));
    QCOMPARE(shared::chunkFileWithDigests(Path, Parameters).has_value(), Usable);
}

QTEST_GUILESS_MAIN(TestChunker)
#include "tst_chunker.moc"
