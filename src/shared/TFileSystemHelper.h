#pragma once

#include <QByteArray>
#include <QDir>
#include <QJsonDocument>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QImage;
class QSettings;

namespace shared {

// One file found in a directory listing.
class TLocalFileInfo {
public:
    TLocalFileInfo() = default;
    TLocalFileInfo(QString FilePath, qint64 Size)
        : m_FilePath(std::move(FilePath))
        , m_Size(Size)
    {
    }
    virtual ~TLocalFileInfo() = default;

    QString m_FilePath; // absolute
    qint64 m_Size = 0;
};

// A whole file read into memory on demand.
class TReadOnlyMemoryBlob {
public:
    explicit TReadOnlyMemoryBlob(const QString& FilePath);
    virtual ~TReadOnlyMemoryBlob() = default;

    virtual QByteArray getData() const;
    const QString& filePath() const { return m_FilePath; }

protected:
    QString m_FilePath;
    QByteArray m_Data;
};

// A file stored in the bundle container; getData() hands back the decoded bytes,
// or the raw bytes when they are not a container or cannot be decoded.
class TLZMACompressedReadOnlyMemoryBlob final : public TReadOnlyMemoryBlob {
public:
    using TReadOnlyMemoryBlob::TReadOnlyMemoryBlob;
    QByteArray getData() const override;
};

// All disk access of the launcher goes through here. Failures throw std::runtime_error
// with fixed texts; readFileOrEmpty, readImageFile and the JSON reader report failure
// without throwing.
class TFileSystemHelper {
public:
    virtual ~TFileSystemHelper() = default;

    virtual std::shared_ptr<TReadOnlyMemoryBlob> createReadOnlyMemoryBlob(const QString& FilePath);
    virtual QByteArray readFile(const QString& FilePath);
    virtual QByteArray readFileOrEmpty(const QString& FilePath);
    virtual void writeFile(const QString& FilePath, const QByteArray& Data);
    // As writeFile, but the file is replaced whole or not at all (temporary file beside
    // it, flushed, then renamed). Throws the same I/O errors.
    virtual void writeFileAtomically(const QString& FilePath, const QByteArray& Data);
    virtual void writeTextFile(const QString& FilePath, const QString& Text);
    virtual void appendTextFile(const QString& FilePath, const QString& Text);
    virtual bool deleteFile(const QString& FilePath);
    virtual QDir ensureDirectoryExists(const QString& DirectoryPath);
    virtual QString resolvePathInsideDirectory(const QDir& Directory, const QString& RelativePath);
    virtual void forEachFileInDirectory(const QString& DirectoryPath, const std::function<void(const TLocalFileInfo&)>& Function);
    virtual std::vector<TLocalFileInfo> listFilesInDirectory(const QString& DirectoryPath);
    virtual bool fileExists(const QString& Path);
    virtual bool directoryExists(const QString& Path);
    virtual QString joinPaths(const QStringList& Parts);
    virtual QDir getOrCreateSubdirectory(const QString& ParentPath, const QString& Name);
    virtual std::shared_ptr<QSettings> createIniSettings(const QString& FilePath);
    virtual QJsonDocument readJsonFileAsQJsonDocument(const QString& FilePath, bool& ParseFailed) const;
    virtual std::shared_ptr<QImage> readImageFile(const QString& FilePath, const char* Format);
    virtual void writeImageFile(const QImage& Image, const QString& FilePath, const char* Format);
};

} // namespace shared
