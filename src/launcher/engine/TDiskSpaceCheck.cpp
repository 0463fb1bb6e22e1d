#include "TDiskSpaceCheck.h"

#include <QDebug>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QStorageInfo>
#include <QThread>

#include <algorithm>

namespace zarvo::launcher {

namespace {

QMutex g_ProbeMutex;
TFreeSpaceProbe g_Probe;

std::optional<TFreeSpace> freeSpace(const QString& Path)
{
    TFreeSpaceProbe Probe;
    {
        QMutexLocker Lock(&g_ProbeMutex);
        Probe = g_Probe;
    }
    return Probe ? Probe(Path) : TDiskSpaceCheck::systemFreeSpace(Path);
}

// GB with one decimal; needed figures round up and free ones down, so that a shortage
// never reads as two equal figures
QString gigabytes(std::uint64_t Bytes, bool RoundUp)
{
    constexpr std::uint64_t kTenth = 100000000;
    const std::uint64_t Tenths = RoundUp ? Bytes / kTenth + (Bytes % kTenth != 0 ? 1 : 0) : Bytes / kTenth;
    return QStringLiteral("%1.%2").arg(Tenths / 10).arg(Tenths % 10);
}

} // namespace

TDiskSpaceRequirement TDiskSpaceCheck::requirement(const std::vector<TFileToDownload>& Files, const QDir& InstallationDirectory,
                                                   TLauncherFilesystemHelper& FilesystemHelper, std::int32_t MaxCachedChunks,
                                                   bool NothingInstalled)
{
    TDiskSpaceRequirement Requirement;
    std::uint64_t LargestChunk = 0;
    std::uint64_t DistinctChunkBytes = 0;
    QSet<QByteArray> Seen;
    for (const TFileToDownload& File : Files) {
        std::uint64_t Present = 0;
        if (!NothingInstalled) {
            const QFileInfo Local(FilesystemHelper.resolvePathInsideDirectory(InstallationDirectory, File.m_LocalFile));
            Present = Local.isFile() ? static_cast<std::uint64_t>(Local.size()) : 0;
        }
        if (File.m_UnpackedSize > Present) {
            Requirement.m_InstallationGrowth += File.m_UnpackedSize - Present;
        }
        for (std::int32_t Position : File.m_ChunksToDownload) {
            if (Position < 0 || static_cast<std::size_t>(Position) >= File.m_Chunks.size()) {
                continue;
            }
            const TChunkInPackage& Chunk = File.m_Chunks[static_cast<std::size_t>(Position)];
            LargestChunk = std::max<std::uint64_t>(LargestChunk, Chunk.m_UnpackedSize);
            if (!Seen.contains(Chunk.m_UnpackedHash)) {
                Seen.insert(Chunk.m_UnpackedHash);
                DistinctChunkBytes += Chunk.m_UnpackedSize;
            }
        }
    }
    // never more than every chunk of the run parked at once
    const std::uint64_t Cached = static_cast<std::uint64_t>(std::max<std::int32_t>(MaxCachedChunks, 0));
    Requirement.m_ParkedChunks = std::min(Cached * LargestChunk, DistinctChunkBytes);
    return Requirement;
}

std::optional<TDiskSpaceShortage> TDiskSpaceCheck::findShortage(const TDiskSpaceRequirement& Requirement,
                                                                const QString& InstallationDirectory, const QString& TemporaryDirectory)
{
    const std::optional<TFreeSpace> Installation = freeSpace(InstallationDirectory);
    const std::optional<TFreeSpace> Temporary = Requirement.m_ParkedChunks > 0 ? freeSpace(TemporaryDirectory) : std::nullopt;
    if (!Installation) {
        qWarning() << "free space of " << InstallationDirectory << " unknown, not checked"
                   << " Thread: " << QThread::currentThreadId();
    }
    if (Requirement.m_ParkedChunks > 0 && !Temporary) {
        qWarning() << "free space of " << TemporaryDirectory << " unknown, not checked"
                   << " Thread: " << QThread::currentThreadId();
    }
    const bool Shared = Installation && Temporary && Installation->m_Volume == Temporary->m_Volume;
    if (Installation) {
        const std::uint64_t Needed = Requirement.m_InstallationGrowth + (Shared ? Requirement.m_ParkedChunks : 0);
        qInfo() << "disk space: " << Needed << " bytes needed in " << InstallationDirectory << ", " << Installation->m_BytesAvailable
                << " free"
                << " Thread: " << QThread::currentThreadId();
        if (Needed > Installation->m_BytesAvailable) {
            return TDiskSpaceShortage {Needed, Installation->m_BytesAvailable, InstallationDirectory};
        }
    }
    if (Temporary && !Shared) {
        qInfo() << "disk space: " << Requirement.m_ParkedChunks << " bytes needed in " << TemporaryDirectory << ", "
                << Temporary->m_BytesAvailable << " free"
                << " Thread: " << QThread::currentThreadId();
        if (Requirement.m_ParkedChunks > Temporary->m_BytesAvailable) {
            return TDiskSpaceShortage {Requirement.m_ParkedChunks, Temporary->m_BytesAvailable, TemporaryDirectory};
        }
    }
    return std::nullopt;
}

QString TDiskSpaceCheck::describe(const TDiskSpaceShortage& Shortage)
{
    return QStringLiteral("%1 GB are needed in %2, but only %3 GB are free.")
        .arg(gigabytes(Shortage.m_BytesNeeded, true), QDir::toNativeSeparators(Shortage.m_Location),
             gigabytes(Shortage.m_BytesFree, false));
}

void TDiskSpaceCheck::setFreeSpaceProbe(TFreeSpaceProbe Probe)
{
    QMutexLocker Lock(&g_ProbeMutex);
    g_Probe = std::move(Probe);
}

std::optional<TFreeSpace> TDiskSpaceCheck::systemFreeSpace(const QString& Path)
{
    // a new installation directory may not exist yet: its nearest existing parent tells
    QFileInfo Existing(Path);
    while (!Existing.exists()) {
        const QString Parent = Existing.absolutePath();
        if (Parent == Existing.absoluteFilePath()) {
            return std::nullopt;
        }
        Existing = QFileInfo(Parent);
    }
    const QStorageInfo Storage(Existing.absoluteFilePath());
    if (!Storage.isValid() || !Storage.isReady() || Storage.bytesAvailable() < 0) {
        return std::nullopt;
    }
    return TFreeSpace {static_cast<std::uint64_t>(Storage.bytesAvailable()),
                       Storage.rootPath() + QLatin1Char('|') + QString::fromLocal8Bit(Storage.device())};
}

} // namespace zarvo::launcher
