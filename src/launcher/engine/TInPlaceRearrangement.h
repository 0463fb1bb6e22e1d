#pragma once

#include <QDir>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

class QFile;

namespace zarvo::launcher {

// One reused chunk that has to go elsewhere inside the same file.
struct TChunkMove {
    std::uint64_t m_SourceOffset = 0;
    std::uint64_t m_TargetOffset = 0;
    std::uint64_t m_Size = 0;
};

// One step of an in-place rearrangement: a chunk saved aside, or a chunk copied to its
// target (from the scratch file when it was saved before).
struct TRearrangementStep {
    enum class EKind { Save, Move };
    EKind m_Kind = EKind::Move;
    std::size_t m_Move = 0; // index into the moves
};

struct TRearrangementResult {
    std::vector<bool> m_Moved; // per move: its bytes were copied to the target completely
    std::uint64_t m_ScratchBytes = 0;
    std::size_t m_SavedMoves = 0;
};

// Rearranges chunks inside one file without a second copy of the file. A chunk is only
// written after every chunk whose data lie in its target range has been copied or saved
// aside; the copies form a dependency graph, and each cycle in it is broken by saving its
// smallest chunk into a scratch file. A uniform shift therefore needs no scratch space at
// all, and a swap needs the smaller of the two chunks.
class TInPlaceRearrangement {
public:
    // Test seam: when set, it is asked before every block the copy step reads, with the
    // file name, offset and length of the read; returning false makes that read fail.
    // Unset in the launcher. Set it only while no rearrangement runs.
    using TReadHook = std::function<bool(const QString& FileName, std::uint64_t Offset, std::uint64_t Size)>;
    static void setReadHook(TReadHook Hook);

    // The hidden scratch file for LocalFile: inside the installation directory, so that it
    // lies on the same file system and not in a RAM-backed temporary folder.
    static QString scratchPathFor(const QDir& InstallationDirectory, const QString& LocalFile);

    // The order of saves and copies for Moves, so that no copy overwrites data still needed.
    static std::vector<TRearrangementStep> plan(const std::vector<TChunkMove>& Moves);

    // Carries out the plan on Local (open for reading and writing). A move whose save or
    // copy fails in any way is reported as not moved; its target range may hold anything
    // afterwards, other moves are not affected. The scratch file is created only when
    // needed and removed before returning.
    static TRearrangementResult rearrange(QFile& Local, const QString& ScratchPath, const std::vector<TChunkMove>& Moves);
};

} // namespace zarvo::launcher
