#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <algorithm>
#include <cstdint>

namespace zarvo::launcher {

// The launcher's local, read-only settings ("launchersettings.ini").
struct TLauncherSettings {
    QUrl m_LauncherConfigurationUrl;
    QUrl m_CdnDiagnosticsTraceUrl;
    bool m_AppendNocacheToPackageUrls = false;
    QString m_PackagesDirectoryName;
    QString m_PackageFileName;
    QString m_PartialPackageFileName;
    QString m_AssetFileName;
    std::chrono::milliseconds m_WaitNotificationTimeout {0};
    std::chrono::milliseconds m_DownloadErrorTimeout {0};
    std::chrono::milliseconds m_ClientStartTimeout {0};
    bool m_FastScan = true;
    bool m_SkipVerification = true;
    bool m_ChunkVerification = false;
    std::int32_t m_MaxCachedChunks = 100;
    std::int32_t m_MaxConcurrentDownloads = 10;
    // [SECURITY] publicKeys: base64 Ed25519 keys of the publisher; empty = documents are
    // not authenticated.
    QStringList m_PublicKeys;
    // total rate of all chunk downloads in kilobytes (1000 bytes) per second; 0 = unlimited
    std::int32_t m_MaxDownloadRate = 0;
    // a request that receives nothing for this long fails (0: no limit)
    std::chrono::seconds m_TransferTimeout {30};
    int transferTimeoutMs() const { return static_cast<int>(std::min<std::int64_t>(m_TransferTimeout.count(), 86400) * 1000); }
};

} // namespace zarvo::launcher
