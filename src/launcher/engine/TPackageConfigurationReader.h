#pragma once

#include "ContentDefinedChunker.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdint>
#include <vector>

class QJsonDocument;
class QJsonObject;

namespace zarvo::launcher {

// One independently downloadable, compressed piece of data.
struct TChunkInPackage {
    QUrl m_Url;
    std::uint64_t m_PackedSize = 0;
    QByteArray m_PackedHash;
    std::uint64_t m_UnpackedSize = 0;
    QByteArray m_UnpackedHash;
    bool m_Unpack = true;
};
using TChunkInPackageVector = std::vector<TChunkInPackage>;

struct TPatchInPackage {
    QUrl m_Url;
    QString m_FromVersion;
    QString m_ToVersion;
    std::int32_t m_Size = 0;
};

// One file of an installation.
struct TFileInPackage {
    QString m_LocalFile;
    std::uint64_t m_UnpackedSize = 0;
    QByteArray m_UnpackedHash;
    bool m_Executable = false;
    std::vector<TPatchInPackage> m_Patches;
    std::vector<std::int32_t> m_Chunks;
    TChunkInPackage m_PackedForm;
};
using TFileInPackageVector = std::vector<TFileInPackage>;

enum class EPackageGeneration : std::int32_t { Unknown = 0, First = 1, Second = 2 };
enum class EPackageVariant : std::int32_t { Unknown = 0, Regular = 1, Preview = 2, Beta = 3, Test = 4 };

// A package document and its optional assets document, parsed into one value.
class TPackageConfigurationReader {
public:
    TPackageConfigurationReader() = default;
    TPackageConfigurationReader(const QByteArray& PackageDocument, const QByteArray& AssetsDocument, const QUrl& BaseUrl,
                                const QUrl& AssetsBaseUrl);

    // "P<version> A<assets version>", an empty value shown as "?".
    QString versionLabel() const;

    // Resolves a "url" text of a document against its base address.
    static QUrl resolveUrl(const QString& Text, const QUrl& Base);

    // The stored form of a "localfile" name: a leading "./" is dropped. Empty, with
    // Reason set, when the name cannot name a file inside an installation: empty,
    // absolute, a backslash or control character, an empty, "." or ".." segment.
    static QString normaliseLocalFile(const QString& Name, QString* pReason = nullptr);

    QUrl m_BaseUrl;
    QUrl m_AssetsBaseUrl;
    QString m_Version;
    QString m_AssetsVersion;
    EPackageGeneration m_Generation = EPackageGeneration::Unknown;
    EPackageVariant m_Variant = EPackageVariant::Unknown;
    QString m_Executable;
    QStringList m_Parameters;
    TChunkInPackageVector m_Chunks;
    TFileInPackageVector m_Files;
    // How the publisher cut the files into chunks (the package document's "chunking"; the
    // assets of the same run are cut alike). The scan cuts local files the same way.
    ::shared::TChunkingParameters m_Chunking;
    QByteArray m_PackageDocument;
    QByteArray m_AssetsDocument;
    // True only when both documents were read whole and passed every check; a refused
    // reader holds no version, no files and no chunks, only the raw documents.
    bool m_Valid = false;
    // Why the documents were refused; empty when valid.
    QString m_Error;

private:
    static TChunkInPackage parseChunk(const QJsonObject& Object, const QUrl& Base);
    static TFileInPackage parseFile(const QJsonObject& Object, const QUrl& Base);
    void readPackageDocument(const QJsonDocument& Document);
    void readChunking(const QJsonObject& Root);
    void readAssetsDocument(const QJsonDocument& Document);
    void checkFilesAndChunks();
    void refuse(const QString& Reason);
};

} // namespace zarvo::launcher

Q_DECLARE_METATYPE(zarvo::launcher::TPackageConfigurationReader)
