#pragma once

#include "TPackageConfigurationReader.h"

#include <QMetaType>

#include <cstdint>
#include <vector>

namespace zarvo::launcher {

// One file of the new configuration and what still has to be fetched for it.
struct TFileToDownload {
    QString m_LocalFile;
    std::uint64_t m_UnpackedSize = 0;
    QByteArray m_UnpackedHash;
    bool m_Executable = false;
    std::vector<TPatchInPackage> m_Patches;
    // the pieces of the file in file order (the chunk records, or the packed form alone)
    std::vector<TChunkInPackage> m_Chunks;
    // positions in m_Chunks still to fetch, ascending; empty when the file is complete
    std::vector<std::int32_t> m_ChunksToDownload;
};

// What an installation or update has to do.
struct TPackageDifference {
    std::vector<TFileToDownload> m_FilesToDownload;
    std::vector<TFileInPackage> m_FilesToDelete;
};

} // namespace zarvo::launcher

Q_DECLARE_METATYPE(zarvo::launcher::TPackageDifference)
