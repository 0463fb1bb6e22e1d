#include "TestEnvironment.h"

#include "ContentDefinedChunker.h"
#include "Sha256.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// splitmix64, eight little-endian bytes per step. The reference boundaries below were
// computed for this stream by a separate implementation of the cutting rule.
void fillPseudoRandom(char* Target, std::size_t Size, std::uint64_t& State)
{
    for (std::size_t Index = 0; Index < Size; Index += 8) {
        std::uint64_t Value = (State += 0x9E3779B97F4A7C15ull);
        Value = (Value ^ (Value >> 30)) * 0xBF58476D1CE4E5B9ull;
        Value = (Value ^ (Value >> 27)) * 0x94D049BB133111EBull;
        Value ^= Value >> 31;
        for (std::size_t Byte = 0; Byte < 8 && Index + Byte < Size; ++Byte) {
            Target[Index + Byte] = static_cast<char>(Value >> (8 * Byte));
        }
    }
}

QByteArray pseudoRandomBytes(std::size_t Size, std::uint64_t Seed)
{
    QByteArray Data(static_cast<int>(Size), Qt::Uninitialized);
    fillPseudoRandom(Data.data(), Size, Seed);
    return Data;
}

const unsigned char* bytes(const QByteArray& Data)
{
    return reinterpret_cast<const unsigned char*>(Data.constData());
}

// Cuts data held in memory with the bare cutting rule.
QList<std::uint64_t> lengthsInMemory(const QByteArray& Data)
{
    QList<std::uint64_t> Lengths;
    std::size_t Position = 0;
    const std::size_t Size = static_cast<std::size_t>(Data.size());
    while (Position < Size) {
        const std::size_t Length = shared::nextPieceLength(bytes(Data) + Position, Size - Position);
        Lengths.append(Length);
        Position += Length;
    }
    return Lengths;
}

QList<std::uint64_t> lengthsOf(const std::vector<shared::TFilePiece>& Pieces)
{
    QList<std::uint64_t> Lengths;
    for (const shared::TFilePiece& Piece : Pieces) {
        Lengths.append(Piece.m_Length);
    }
    return Lengths;
}

QList<QByteArray> digestsOf(const std::vector<shared::TFilePiece>& Pieces)
{
    QList<QByteArray> Digests;
    for (const shared::TFilePiece& Piece : Pieces) {
        Digests.append(Piece.m_Sha256);
    }
    return Digests;
}

bool writeFile(const QString& Path, const QByteArray& Data)
{
    QFile File(Path);
    return File.open(QIODevice::WriteOnly | QIODevice::Truncate) && File.write(Data) == Data.size();
}

// Offsets run without gaps, every digest matches its bytes, no piece exceeds 16 MiB and
// only the last one may be 4 MiB or shorter.
void checkPieces(const std::vector<shared::TFilePiece>& Pieces, const QByteArray& Data)
{
    std::uint64_t Offset = 0;
    for (std::size_t Index = 0; Index < Pieces.size(); ++Index) {
        const shared::TFilePiece& Piece = Pieces[Index];
        QCOMPARE(Piece.m_Offset, Offset);
        QVERIFY(Piece.m_Length > 0);
        QVERIFY(Piece.m_Length <= shared::kChunkMaximumSize);
        if (Index + 1 < Pieces.size()) {
            QVERIFY2(Piece.m_Length > shared::kChunkUncutSize, qPrintable(QString::number(Index)));
        }
        QCOMPARE(Piece.m_Sha256, QCryptographicHash::hash(Data.mid(static_cast<int>(Offset), static_cast<int>(Piece.m_Length)),
                                                          QCryptographicHash::Sha256));
        Offset += Piece.m_Length;
    }
    QCOMPARE(Offset, static_cast<std::uint64_t>(Data.size()));
}

} // namespace

class TestChunker : public QObject {
    Q_OBJECT
private slots:
    void gearTableAndCutRule();
    void shortFilesAreOnePiece();
    void referenceBoundariesBlockReadAndPipe();
    void blockRefillMatchesWholeFileInMemory();
    void insertionChangesOnlyLeadingPieces();
    void zeroFilledFileGivesMaximumPieces();
    void unreadableFilesAndEarlyStop();

private:
    QString path(const QString& Name) const { return m_Directory.filePath(Name); }
    QTemporaryDir m_Directory;
};

void TestChunker::gearTableAndCutRule()
{
    const std::array<std::uint32_t, 256>& Table = shared::chunkGearTable();
    QCOMPARE(Table[0x00], 0x5C95C078u);
    QCOMPARE(Table[0x01], 0x22408989u);
    QCOMPARE(Table[0x45], 0x02C1BFC7u);
    QCOMPARE(Table[0x80], 0x482DC43Fu);
    QCOMPARE(Table[0xC7], 0x1CA8EEF3u);
    QCOMPARE(Table[0xFB], 0x2A4D4237u);
    QCOMPARE(Table[0xFF], 0x32E8EA7Eu);
    // checksums over all 256 values, taken from the table as published
    std::uint32_t Sum = 0;
    std::uint32_t Polynomial = 0;
    for (std::uint32_t Value : Table) {
        Sum += Value;
        Polynomial = Polynomial * 31 + Value;
    }
    QCOMPARE(Sum, 0x97026D6Eu);
    QCOMPARE(Polynomial, 0x2A021C86u);

    // Up to 4 MiB nothing is cut; the bytes in front of offset 4 MiB are never examined.
    QByteArray Data(static_cast<int>(5 * kMiB), char(0xFF));
    QCOMPARE(shared::nextPieceLength(bytes(Data), 0), std::size_t(0));
    QCOMPARE(shared::nextPieceLength(bytes(Data), 1), std::size_t(1));
    QCOMPARE(shared::nextPieceLength(bytes(Data), shared::kChunkUncutSize), shared::kChunkUncutSize);
    QCOMPARE(shared::nextPieceLength(bytes(Data), shared::kChunkUncutSize + 1), shared::kChunkUncutSize + 1);
    QCOMPARE(shared::nextPieceLength(bytes(Data), Data.size()), std::size_t(Data.size()));

    // Bytes 45 FB C7 at offset 4 MiB, worked by hand from the table:
    //   h = (0 >> 1) + 0x02C1BFC7          = 0x02C1BFC7
    //   h = (h >> 1) + 0x2A4D4237 = 0x0160DFE3 + 0x2A4D4237 = 0x2BAE221A
    //   h = (h >> 1) + 0x1CA8EEF3 = 0x15D7110D + 0x1CA8EEF3 = 0x32800000, low 22 bits zero:
    // the piece ends after the third byte.
    const int Start = static_cast<int>(shared::kChunkUncutSize);
    Data[Start] = char(0x45);
    Data[Start + 1] = char(0xFB);
    Data[Start + 2] = char(0xC7);
    QCOMPARE(shared::nextPieceLength(bytes(Data), Data.size()), shared::kChunkUncutSize + 3);
    // a cut that would fall behind the known data is not made
    QCOMPARE(shared::nextPieceLength(bytes(Data), shared::kChunkUncutSize + 2), shared::kChunkUncutSize + 2);
    // the same bytes one position earlier: the first is not examined, so no cut there
    // (0xFF bytes never produce one: their rolling value settles at 0x65D1D4FB)
    Data[Start - 1] = char(0x45);
    Data[Start] = char(0xFB);
    Data[Start + 1] = char(0xC7);
    Data[Start + 2] = char(0xFF);
    QCOMPARE(shared::nextPieceLength(bytes(Data), Data.size()), std::size_t(Data.size()));
    // each piece starts its rolling value afresh at its own offset 4 MiB
    const QByteArray Shifted = QByteArray(100, char(0xFF)) + Data;
    QCOMPARE(shared::nextPieceLength(bytes(Shifted) + 100, Data.size()), std::size_t(Data.size()));
    QCOMPARE(shared::nextPieceLength(bytes(Shifted) + 99, Data.size() + 1), shared::kChunkUncutSize + 3);
}

void TestChunker::shortFilesAreOnePiece()
{
    // An empty file has no pieces at all.
    QVERIFY(writeFile(path("empty"), QByteArray()));
    const auto Empty = shared::chunkFileWithDigests(path("empty"));
    QVERIFY(Empty.has_value());
    QVERIFY(Empty->empty());

    for (const std::size_t Size : {std::size_t(1), std::size_t(1000), shared::kChunkUncutSize, shared::kChunkUncutSize + 1}) {
        const QByteArray Data = pseudoRandomBytes(Size, Size);
        const QString Path = path(QStringLiteral("short-%1").arg(Size));
        QVERIFY(writeFile(Path, Data));
        const auto Pieces = shared::chunkFileWithDigests(Path);
        QVERIFY(Pieces.has_value());
        QCOMPARE(Pieces->size(), std::size_t(1));
        QCOMPARE(Pieces->front().m_Offset, std::uint64_t(0));
        QCOMPARE(Pieces->front().m_Length, std::uint64_t(Size));
        QCOMPARE(Pieces->front().m_Sha256, QCryptographicHash::hash(Data, QCryptographicHash::Sha256));
    }
}

void TestChunker::referenceBoundariesBlockReadAndPipe()
{
    const QByteArray Data = pseudoRandomBytes(40000000, 1);
    QCOMPARE(Data.left(8).toHex(), QByteArray("c15c0289ec2d0a91"));
    const QList<std::uint64_t> Reference = {12053994, 12461037, 15484969};
    QCOMPARE(lengthsInMemory(Data), Reference);

    // larger than 16 MiB: read through the block buffer
    QVERIFY(writeFile(path("random40"), Data));
    const auto Pieces = shared::chunkFileWithDigests(path("random40"));
    QVERIFY(Pieces.has_value());
    QCOMPARE(lengthsOf(*Pieces), Reference);
    checkPieces(*Pieces, Data);

    // the first 16 MiB alone fit the whole-file buffer; cut as in memory
    const QByteArray Head = Data.left(static_cast<int>(shared::kChunkMaximumSize));
    QVERIFY(writeFile(path("random16"), Head));
    const auto HeadPieces = shared::chunkFileWithDigests(path("random16"));
    QVERIFY(HeadPieces.has_value());
    QCOMPARE(lengthsOf(*HeadPieces), lengthsInMemory(Head));
    checkPieces(*HeadPieces, Head);
    QCOMPARE(lengthsOf(*HeadPieces), (QList<std::uint64_t>{12053994, kMiB * 16 - 12053994}));

    // A pipe reports size 0 and delivers short reads: the scan notices more data after
    // the first byte and goes on in blocks with the same boundaries.
    const QString Fifo = path("pipe");
    QVERIFY2(::mkfifo(QFile::encodeName(Fifo).constData(), 0600) == 0, std::strerror(errno));
    std::thread Writer([&Fifo, &Data] {
        QFile Pipe(Fifo);
        // read-write: opening does not wait for the reader
        if (Pipe.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
            Pipe.write(Data);
        }
    });
    const auto PipePieces = shared::chunkFileWithDigests(Fifo);
    // whatever the scan left unread is drained, so the writer finishes in any case
    const int Drain = ::open(QFile::encodeName(Fifo).constData(), O_RDONLY | O_NONBLOCK);
    for (char Sink[65536]; Drain >= 0;) {
        const ssize_t Got = ::read(Drain, Sink, sizeof Sink);
        if (Got == 0) {
            break; // the writer has closed its end
        }
        if (Got < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
        if (Got < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    if (Drain >= 0) {
        ::close(Drain);
    }
    Writer.join();
    QVERIFY(PipePieces.has_value());
    QCOMPARE(digestsOf(*PipePieces), digestsOf(*Pieces));
    QCOMPARE(lengthsOf(*PipePieces), Reference);
}

void TestChunker::blockRefillMatchesWholeFileInMemory()
{
    // 200 MB: more than one 128 MiB block, with a 40 MiB zero stretch (maximum-size
    // pieces) between pseudo-random stretches, so pieces of many lengths straddle the
    // block ends.
    const std::size_t Size = 200000000;
    QByteArray Data(static_cast<int>(Size), Qt::Uninitialized);
    std::uint64_t State = 1;
    fillPseudoRandom(Data.data(), 90 * kMiB, State);
    std::memset(Data.data() + 90 * kMiB, 0, 40 * kMiB);
    fillPseudoRandom(Data.data() + 130 * kMiB, Size - 130 * kMiB, State);
    QVERIFY(writeFile(path("random200"), Data));

    std::vector<shared::TFilePiece> Pieces;
    QVERIFY(shared::chunkFile(path("random200"), [&](const unsigned char* Piece, std::size_t Length, std::uint64_t Offset) {
        Pieces.push_back(shared::TFilePiece{Offset, Length, shared::TSha256::hash(Piece, Length)});
        return true;
    }));
    const QList<std::uint64_t> Expected = lengthsInMemory(Data);
    QCOMPARE(lengthsOf(Pieces), Expected);
    // the stream of the reference file; these pieces end before the zero stretch
    const QList<std::uint64_t> Reference = {12053994, 12461037, 16777216, 7439793, 6411610, 7607784, 11209189, 13058051, 7276015};
    QCOMPARE(Expected.mid(0, Reference.size()), Reference);
    QVERIFY(Expected.count(std::uint64_t(shared::kChunkMaximumSize)) >= 2);
    QVERIFY(Expected.size() >= 15);
    checkPieces(Pieces, Data);
}

void TestChunker::insertionChangesOnlyLeadingPieces()
{
    const QByteArray Original = pseudoRandomBytes(40000000, 1);
    QByteArray Edited = Original;
    Edited.insert(300000, pseudoRandomBytes(5000, 99));
    QVERIFY(writeFile(path("original"), Original));
    QVERIFY(writeFile(path("edited"), Edited));
    const auto Before = shared::chunkFileWithDigests(path("original"));
    const auto After = shared::chunkFileWithDigests(path("edited"));
    QVERIFY(Before.has_value());
    QVERIFY(After.has_value());
    checkPieces(*After, Edited);

    // after one or two new leading pieces, the old pieces follow unchanged
    const QList<QByteArray> Old = digestsOf(*Before);
    const QList<QByteArray> New = digestsOf(*After);
    int Kept = 0;
    while (Kept < Old.size() && Kept < New.size() && Old[Old.size() - 1 - Kept] == New[New.size() - 1 - Kept]) {
        ++Kept;
    }
    QVERIFY2(Old.size() - Kept <= 2 && New.size() - Kept <= 2,
             qPrintable(QStringLiteral("%1 of %2 pieces kept").arg(Kept).arg(Old.size())));
    QVERIFY(Kept >= 1);
    QCOMPARE(After->front().m_Length, Before->front().m_Length + 5000);
}

void TestChunker::zeroFilledFileGivesMaximumPieces()
{
    // sparse: only the file size is set, every byte reads as zero
    QFile File(path("zeros"));
    QVERIFY(File.open(QIODevice::WriteOnly));
    QVERIFY(File.resize(qint64(40 * kMiB + 5)));
    File.close();
    const auto Pieces = shared::chunkFileWithDigests(path("zeros"));
    QVERIFY(Pieces.has_value());
    QCOMPARE(lengthsOf(*Pieces), (QList<std::uint64_t>{16 * kMiB, 16 * kMiB, 8 * kMiB + 5}));
    QCOMPARE(Pieces->at(0).m_Sha256, Pieces->at(1).m_Sha256);
    QCOMPARE(Pieces->at(0).m_Sha256, shared::TSha256::hash(QByteArray(static_cast<int>(16 * kMiB), '\0')));
}

void TestChunker::unreadableFilesAndEarlyStop()
{
    int Calls = 0;
    const auto Count = [&Calls](const unsigned char*, std::size_t, std::uint64_t) {
        ++Calls;
        return true;
    };
    QVERIFY(!shared::chunkFile(path("missing"), Count));
    QVERIFY(!shared::chunkFileWithDigests(path("missing")).has_value());
    QVERIFY(QDir(m_Directory.path()).mkdir("folder"));
    QVERIFY(!shared::chunkFile(path("folder"), Count));
    QVERIFY(!shared::chunkFileWithDigests(path("folder")).has_value());
    QCOMPARE(Calls, 0);

    if (::geteuid() != 0) { // root reads regardless of permissions
        QVERIFY(writeFile(path("locked"), QByteArray("data")));
        QVERIFY(QFile::setPermissions(path("locked"), QFileDevice::WriteOwner));
        QVERIFY(!shared::chunkFile(path("locked"), Count));
        QCOMPARE(Calls, 0);
    }

    // a callback that declines stops the scan, which still counts as read
    const QByteArray Data(static_cast<int>(40 * kMiB), '\0');
    QVERIFY(writeFile(path("stop"), Data));
    std::vector<std::uint64_t> Offsets;
    QVERIFY(shared::chunkFile(path("stop"), [&Offsets](const unsigned char*, std::size_t, std::uint64_t Offset) {
        Offsets.push_back(Offset);
        return Offsets.size() < 2;
    }));
    QCOMPARE(Offsets, (std::vector<std::uint64_t>{0, 16 * kMiB}));
}

QTEST_GUILESS_MAIN(TestChunker)
#include "tst_chunker.moc"
