#pragma once

#include "TLauncherFilesystemHelper.h"
#include "TPackageDifference.h"

#include <QDir>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace zarvo::launcher {

// Free space of the filesystem that holds a path, and which filesystem that is (two
// paths with the same volume share their free space).
struct TFreeSpace {
    std::uint64_t m_BytesAvailable = 0;
    QString m_Volume;
};

// Answers for a path (which need not exist yet); no value when the figure cannot be had.
using TFreeSpaceProbe = std::function<std::optional<TFreeSpace>(const QString& Path)>;

// What a download is about to add to the disk.
struct TDiskSpaceRequirement {
    // new files and the growth of enlarged ones, in the installation directory
    std::uint64_t m_InstallationGrowth = 0;
    // chunks that arrive early and wait in temporary files, at worst
    std::uint64_t m_ParkedChunks = 0;
};

// One place where the download does not fit.
struct TDiskSpaceShortage {
    std::uint64_t m_BytesNeeded = 0;
    std::uint64_t m_BytesFree = 0;
    QString m_Location;
};

class TDiskSpaceCheck {
public:
    // NothingInstalled: the folder holds no file of the package yet (a fresh installation),
    // so no local copy is looked up.
    static TDiskSpaceRequirement requirement(const std::vector<TFileToDownload>& Files, const QDir& InstallationDirectory,
                                             TLauncherFilesystemHelper& FilesystemHelper, std::int32_t MaxCachedChunks,
                                             bool NothingInstalled);

    // The first place that lacks room (the installation directory, then the temporary
    // folder); none when everything fits or when a free-space figure is not available
    // (logged, the download then goes ahead as it always did).
    static std::optional<TDiskSpaceShortage> findShortage(const TDiskSpaceRequirement& Requirement, const QString& InstallationDirectory,
                                                          const QString& TemporaryDirectory);

    // The text the player reads: "12.4 GB are needed in /games, but only 4.0 GB are free."
    static QString describe(const TDiskSpaceShortage& Shortage);

    // Replaces where free-space figures come from (tests); an empty probe restores the
    // filesystem's own figures.
    static void setFreeSpaceProbe(TFreeSpaceProbe Probe);
    static std::optional<TFreeSpace> systemFreeSpace(const QString& Path);
};

} // namespace zarvo::launcher
