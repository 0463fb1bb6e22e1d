#include "TInPlaceRearrangement.h"

#include "Sha256.h"

#include <QDebug>
#include <QFile>
#include <QMutex>

#include <algorithm>
#include <deque>

namespace zarvo::launcher {

namespace {

constexpr std::uint64_t kCopyBlockSize = 0x100000; // 1 MiB

QMutex g_HookMutex;
TInPlaceRearrangement::TReadHook g_ReadHook;

bool hookAllowsRead(const QFile& From, std::uint64_t Offset, std::uint64_t Size)
{
    QMutexLocker Lock(&g_HookMutex);
    return !g_ReadHook || g_ReadHook(From.fileName(), Offset, Size);
}

bool readBlock(QFile& From, std::uint64_t Offset, char* pData, std::uint64_t Size)
{
    return hookAllowsRead(From, Offset, Size) && From.seek(static_cast<qint64>(Offset)) &&
        From.read(pData, static_cast<qint64>(Size)) == static_cast<qint64>(Size);
}

bool writeBlock(QFile& To, std::uint64_t Offset, const char* pData, std::uint64_t Size)
{
    return To.seek(static_cast<qint64>(Offset)) && To.write(pData, static_cast<qint64>(Size)) == static_cast<qint64>(Size);
}

// Copies Size bytes block by block. From and To may be the same file with overlapping
// ranges: like memmove, a copy to a later offset runs from the end backwards.
bool copyRange(QFile& From, std::uint64_t FromOffset, QFile& To, std::uint64_t ToOffset, std::uint64_t Size, QByteArray& Buffer)
{
    if (Buffer.size() < static_cast<int>(kCopyBlockSize)) {
        Buffer.resize(static_cast<int>(kCopyBlockSize));
    }
    const bool Backwards = &From == &To && ToOffset > FromOffset;
    std::uint64_t Done = 0;
    while (Done < Size) {
        const std::uint64_t Length = std::min(kCopyBlockSize, Size - Done);
        const std::uint64_t Position = Backwards ? Size - Done - Length : Done;
        if (!readBlock(From, FromOffset + Position, Buffer.data(), Length) ||
            !writeBlock(To, ToOffset + Position, Buffer.constData(), Length)) {
            return false;
        }
        Done += Length;
    }
    return true;
}

bool overlaps(std::uint64_t FirstStart, std::uint64_t FirstSize, std::uint64_t SecondStart, std::uint64_t SecondSize)
{
    return FirstStart < SecondStart + SecondSize && SecondStart < FirstStart + FirstSize;
}

// The copies as a graph: an edge Reader -> Writer when Writer's target range overlaps
// Reader's source range, so Reader has to copy (or be saved) first.
struct TMoveGraph {
    std::vector<std::vector<std::size_t>> m_Successors;
    std::vector<std::vector<std::size_t>> m_Predecessors;

    explicit TMoveGraph(const std::vector<TChunkMove>& Moves)
        : m_Successors(Moves.size())
        , m_Predecessors(Moves.size())
    {
        std::vector<std::size_t> BySource(Moves.size());
        std::uint64_t Largest = 0;
        for (std::size_t Index = 0; Index < Moves.size(); ++Index) {
            BySource[Index] = Index;
            Largest = std::max(Largest, Moves[Index].m_Size);
        }
        std::sort(BySource.begin(), BySource.end(),
                  [&Moves](std::size_t Left, std::size_t Right) { return Moves[Left].m_SourceOffset < Moves[Right].m_SourceOffset; });
        for (std::size_t Writer = 0; Writer < Moves.size(); ++Writer) {
            const TChunkMove& Write = Moves[Writer];
            // sources starting before the target's end, walked back until none can reach it
            auto End = std::lower_bound(BySource.begin(), BySource.end(), Write.m_TargetOffset + Write.m_Size,
                                        [&Moves](std::size_t Index, std::uint64_t Offset) { return Moves[Index].m_SourceOffset < Offset; });
            while (End != BySource.begin()) {
                const std::size_t Reader = *--End;
                const TChunkMove& Read = Moves[Reader];
                if (Read.m_SourceOffset + Largest <= Write.m_TargetOffset) {
                    break;
                }
                if (Reader != Writer && overlaps(Read.m_SourceOffset, Read.m_Size, Write.m_TargetOffset, Write.m_Size)) {
                    m_Successors[Reader].push_back(Writer);
                    m_Predecessors[Writer].push_back(Reader);
                }
            }
        }
    }
};

// Copies in an order that lets every copy read its data before it is overwritten, saving
// the smallest copy of each cycle met on the way.
std::vector<TRearrangementStep> planGreedily(const TMoveGraph& Graph, const std::vector<TChunkMove>& Moves)
{
    const std::size_t Count = Moves.size();
    std::vector<std::size_t> Waiting(Count); // readers of the target range not yet copied or saved
    std::vector<bool> Released(Count, false); // copied or saved: its source range is free
    std::vector<bool> Done(Count, false);
    std::deque<std::size_t> Ready;
    for (std::size_t Index = 0; Index < Count; ++Index) {
        Waiting[Index] = Graph.m_Predecessors[Index].size();
        if (Waiting[Index] == 0) {
            Ready.push_back(Index);
        }
    }
    const auto Release = [&](std::size_t Move) {
        if (Released[Move]) {
            return;
        }
        Released[Move] = true;
        for (std::size_t Writer : Graph.m_Successors[Move]) {
            if (--Waiting[Writer] == 0 && !Done[Writer]) {
                Ready.push_back(Writer);
            }
        }
    };

    std::vector<TRearrangementStep> Steps;
    std::vector<std::size_t> PlaceInPath(Count, Count); // Count: not on the current path
    std::size_t Finished = 0;
    std::size_t FirstOpen = 0;
    while (Finished < Count) {
        while (!Ready.empty()) {
            const std::size_t Move = Ready.front();
            Ready.pop_front();
            Steps.push_back({TRearrangementStep::EKind::Move, Move});
            Done[Move] = true;
            ++Finished;
            Release(Move);
        }
        if (Finished == Count) {
            break;
        }
        // Every copy left waits for another one: walk back along unreleased readers until
        // a copy repeats, which closes a cycle, and save the cycle's smallest chunk.
        while (Done[FirstOpen]) {
            ++FirstOpen;
        }
        std::size_t Current = FirstOpen;
        std::vector<std::size_t> Path;
        while (PlaceInPath[Current] == Count) {
            PlaceInPath[Current] = Path.size();
            Path.push_back(Current);
            const auto& Readers = Graph.m_Predecessors[Current];
            const auto Reader = std::find_if(Readers.begin(), Readers.end(), [&Released](std::size_t Other) { return !Released[Other]; });
            if (Reader == Readers.end()) {
                break; // cannot happen while the counts are right; saving Current still makes progress
            }
            Current = *Reader;
        }
        const auto Smallest =
            std::min_element(Path.begin() + static_cast<std::ptrdiff_t>(PlaceInPath[Current]), Path.end(),
                             [&Moves](std::size_t Left, std::size_t Right) { return Moves[Left].m_Size < Moves[Right].m_Size; });
        Steps.push_back({TRearrangementStep::EKind::Save, *Smallest});
        Release(*Smallest);
        for (std::size_t Move : Path) {
            PlaceInPath[Move] = Count;
        }
    }
    return Steps;
}

// The copies in dependency order when the saved ones no longer need their sources; shorter
// than the moves when a cycle is left.
std::vector<std::size_t> dependencyOrder(const TMoveGraph& Graph, const std::vector<bool>& Saved)
{
    const std::size_t Count = Saved.size();
    std::vector<std::size_t> Waiting(Count, 0);
    for (std::size_t Reader = 0; Reader < Count; ++Reader) {
        for (std::size_t Writer : Graph.m_Successors[Reader]) {
            Waiting[Writer] += Saved[Reader] ? 0 : 1;
        }
    }
    std::vector<std::size_t> Order;
    for (std::size_t Index = 0; Index < Count; ++Index) {
        if (Waiting[Index] == 0) {
            Order.push_back(Index);
        }
    }
    for (std::size_t Next = 0; Next < Order.size(); ++Next) {
        if (Saved[Order[Next]]) {
            continue;
        }
        for (std::size_t Writer : Graph.m_Successors[Order[Next]]) {
            if (--Waiting[Writer] == 0) {
                Order.push_back(Writer);
            }
        }
    }
    return Order;
}

} // namespace

void TInPlaceRearrangement::setReadHook(TReadHook Hook)
{
    QMutexLocker Lock(&g_HookMutex);
    g_ReadHook = std::move(Hook);
}

QString TInPlaceRearrangement::scratchPathFor(const QDir& InstallationDirectory, const QString& LocalFile)
{
    // one name per file: several files of a package are rearranged at the same time
    const QByteArray Digest = ::shared::TSha256::hash(LocalFile.toUtf8()).toHex().left(16);
    return InstallationDirectory.filePath(QStringLiteral(".rearrange-") + QString::fromLatin1(Digest));
}

std::vector<TRearrangementStep> TInPlaceRearrangement::plan(const std::vector<TChunkMove>& Moves)
{
    const TMoveGraph Graph(Moves);
    std::vector<TRearrangementStep> Steps = planGreedily(Graph, Moves);
    std::vector<std::size_t> SavedMoves;
    std::vector<bool> Saved(Moves.size(), false);
    for (const TRearrangementStep& Step : Steps) {
        if (Step.m_Kind == TRearrangementStep::EKind::Save) {
            SavedMoves.push_back(Step.m_Move);
            Saved[Step.m_Move] = true;
        }
    }
    // A save made early can break a cycle found later; drop the saves that the others made
    // unnecessary, the largest first (each test walks the whole graph, so only a few).
    constexpr std::size_t kMostSavesToReconsider = 64;
    if (SavedMoves.size() < 2 || SavedMoves.size() > kMostSavesToReconsider) {
        return Steps;
    }
    std::sort(SavedMoves.begin(), SavedMoves.end(),
              [&Moves](std::size_t Left, std::size_t Right) { return Moves[Left].m_Size > Moves[Right].m_Size; });
    bool Dropped = false;
    for (std::size_t Move : SavedMoves) {
        Saved[Move] = false;
        if (dependencyOrder(Graph, Saved).size() == Moves.size()) {
            Dropped = true;
        } else {
            Saved[Move] = true;
        }
    }
    if (!Dropped) {
        return Steps;
    }
    // all saves first: nothing has been overwritten yet
    Steps.clear();
    for (std::size_t Move = 0; Move < Moves.size(); ++Move) {
        if (Saved[Move]) {
            Steps.push_back({TRearrangementStep::EKind::Save, Move});
        }
    }
    for (std::size_t Move : dependencyOrder(Graph, Saved)) {
        Steps.push_back({TRearrangementStep::EKind::Move, Move});
    }
    return Steps;
}

TRearrangementResult TInPlaceRearrangement::rearrange(QFile& Local, const QString& ScratchPath, const std::vector<TChunkMove>& Moves)
{
    TRearrangementResult Result;
    Result.m_Moved.assign(Moves.size(), false);
    std::vector<bool> Failed(Moves.size(), false);
    std::vector<std::uint64_t> SavedAt(Moves.size(), 0);
    std::vector<bool> Saved(Moves.size(), false);
    QFile Scratch(ScratchPath);
    bool ScratchTried = false;
    QByteArray Buffer;

    for (const TRearrangementStep& Step : plan(Moves)) {
        const std::size_t Index = Step.m_Move;
        const TChunkMove& Move = Moves[Index];
        if (Failed[Index]) {
            continue;
        }
        if (Step.m_Kind == TRearrangementStep::EKind::Save) {
            if (!ScratchTried) {
                ScratchTried = true;
                if (!Scratch.open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered)) {
                    qWarning() << "rearrangement: scratch file" << ScratchPath << "cannot be created:" << Scratch.errorString();
                }
            }
            // a chunk that cannot be saved is fetched instead; copies waiting for it go on
            if (!Scratch.isOpen() || !copyRange(Local, Move.m_SourceOffset, Scratch, Result.m_ScratchBytes, Move.m_Size, Buffer)) {
                Failed[Index] = true;
                continue;
            }
            SavedAt[Index] = Result.m_ScratchBytes;
            Saved[Index] = true;
            Result.m_ScratchBytes += Move.m_Size;
            ++Result.m_SavedMoves;
            continue;
        }
        const bool Copied = Saved[Index] ? copyRange(Scratch, SavedAt[Index], Local, Move.m_TargetOffset, Move.m_Size, Buffer)
                                         : copyRange(Local, Move.m_SourceOffset, Local, Move.m_TargetOffset, Move.m_Size, Buffer);
        Result.m_Moved[Index] = Copied;
        Failed[Index] = !Copied;
    }
    if (Scratch.isOpen()) {
        Scratch.close();
        Scratch.remove();
    }
    return Result;
}

} // namespace zarvo::launcher
