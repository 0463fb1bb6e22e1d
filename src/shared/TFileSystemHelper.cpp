#include "TFileSystemHelper.h"

#include "BundleContainer.h"
#include "RegularFile.h"

#include <QBuffer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonParseError>
#include <QSaveFile>
#include <QSettings>
#include <QTextStream>

#include <stdexcept>

namespace shared {

namespace {

[[noreturn]] void throwIoError(const QFileDevice& File, const QString& Message)
{
    throw std::runtime_error(QStringLiteral("I/O error on file '%1': %2").arg(File.fileName(), Message).toUtf8().toStdString());
}

void checkIoError(const QFileDevice& File)
{
    if (File.error() != QFileDevice::NoError) {
        throwIoError(File, File.errorString());
    }
}

QByteArray readWholeFile(QFile& File)
{
    checkIoError(File);
    QByteArray Data = File.readAll();
    checkIoError(File);
    File.close();
    checkIoError(File);
    return Data;
}

} // namespace

TReadOnlyMemoryBlob::TReadOnlyMemoryBlob(const QString& FilePath)
    : m_FilePath(FilePath)
{
    if (!QFileInfo::exists(FilePath)) {
        QFile File(FilePath);
        throwIoError(File, QStringLiteral("File does not exist"));
    }
}

QByteArray TReadOnlyMemoryBlob::getData() const
{
    if (!m_Data.isEmpty()) {
        return m_Data;
    }
    QFile File(m_FilePath);
    if (!File.open(QIODevice::ReadOnly)) {
        throwIoError(File, QStringLiteral("Could not open file."));
    }
    checkIoError(File);
    QByteArray Data = File.readAll();
    checkIoError(File);
    return Data;
}

QByteArray TLZMACompressedReadOnlyMemoryBlob::getData() const
{
    const QByteArray Raw = TReadOnlyMemoryBlob::getData();
    QByteArray Unpacked;
    if (unpackBundle(Unpacked, Raw, kDefaultUnpackedSizeLimit)) {
        return Unpacked;
    }
    return Raw;
}

std::shared_ptr<TReadOnlyMemoryBlob> TFileSystemHelper::createReadOnlyMemoryBlob(const QString& FilePath)
{
    static const QString Suffix = QStringLiteral(".lzma");
    if (fileExists(FilePath)) {
        if (FilePath.endsWith(Suffix, Qt::CaseSensitive)) {
            return std::make_shared<TLZMACompressedReadOnlyMemoryBlob>(FilePath);
        }
        return std::make_shared<TReadOnlyMemoryBlob>(FilePath);
    }
    if (fileExists(FilePath + Suffix)) {
        return std::make_shared<TLZMACompressedReadOnlyMemoryBlob>(FilePath + Suffix);
    }
    return std::make_shared<TReadOnlyMemoryBlob>(FilePath);
}

QByteArray TFileSystemHelper::readFile(const QString& FilePath)
{
    QFile File(FilePath);
    QString Why;
    if (!openRegularFileForReading(File, QIODevice::NotOpen, &Why)) {
        throwIoError(File, Why);
    }
    return readWholeFile(File);
}

QByteArray TFileSystemHelper::readFileOrEmpty(const QString& FilePath)
{
    // a marker or cache that is a pipe or a device reads as missing, never blocks
    QFile File(FilePath);
    if (!openRegularFileForReading(File)) {
        return QByteArray();
    }
    return readWholeFile(File);
}

void TFileSystemHelper::writeFile(const QString& FilePath, const QByteArray& Data)
{
    QFile File(FilePath);
    if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        throwIoError(File, QStringLiteral("Could not open file."));
    }
    checkIoError(File);
    const qint64 Written = File.write(Data);
    checkIoError(File);
    if (Written != Data.size()) {
        throwIoError(File, QStringLiteral("Could not write all data to disk."));
    }
    File.close();
    checkIoError(File);
}

void TFileSystemHelper::writeFileAtomically(const QString& FilePath, const QByteArray& Data)
{
    // written beside the target and renamed over it only when complete: a crash or a
    // full disk leaves the previous file as it was, never a cut one
    QSaveFile File(FilePath);
    if (!File.open(QIODevice::WriteOnly)) {
        throwIoError(File, QStringLiteral("Could not open file."));
    }
    const qint64 Written = File.write(Data);
    if (Written != Data.size()) {
        File.cancelWriting();
        throwIoError(File, QStringLiteral("Could not write all data to disk."));
    }
    if (!File.commit()) {
        throwIoError(File, File.errorString());
    }
}

void TFileSystemHelper::writeTextFile(const QString& FilePath, const QString& Text)
{
    QFile File(FilePath);
    if (File.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        QTextStream Stream(&File);
        Stream << Text;
    }
}

void TFileSystemHelper::appendTextFile(const QString& FilePath, const QString& Text)
{
    QFile File(FilePath);
    if (File.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        QTextStream Stream(&File);
        Stream << Text;
    }
}

bool TFileSystemHelper::deleteFile(const QString& FilePath)
{
    if (!QFile::remove(FilePath)) {
        throw std::runtime_error((QStringLiteral("Failed to delete file ") + FilePath).toUtf8().toStdString());
    }
    return true;
}

QDir TFileSystemHelper::ensureDirectoryExists(const QString& DirectoryPath)
{
    QDir Directory(DirectoryPath);
    if (Directory.exists()) {
        return Directory;
    }
    if (!Directory.mkpath(QStringLiteral("."))) {
        throw std::runtime_error(
            QStringLiteral("Failed to create folder: '%1'.").arg(QDir::toNativeSeparators(Directory.path())).toUtf8().toStdString());
    }
    Directory.refresh();
    return Directory;
}

QString TFileSystemHelper::resolvePathInsideDirectory(const QDir& Directory, const QString& RelativePath)
{
    const QString Base = QDir::cleanPath(Directory.absolutePath());
    const QString Candidate = QDir::cleanPath(joinPaths({Base, RelativePath}));
    // A plain prefix test would let "/games/x" accept "/games/xy/..." (a sibling reached
    // with ".."), so the candidate must be the base itself or lie below "base/".
    const QString BaseWithSeparator = Base.endsWith(QLatin1Char('/')) ? Base : Base + QLatin1Char('/');
    if (Candidate.startsWith(BaseWithSeparator) || Candidate == Base) {
        return Candidate;
    }
    QString LastComponent = QFileInfo(RelativePath).fileName();
    if (LastComponent.isEmpty()) {
        LastComponent = QDir(RelativePath).dirName();
    }
    if (LastComponent == QLatin1String("..") || LastComponent == QLatin1String(".")) {
        return Base;
    }
    return QDir::cleanPath(joinPaths({Base, LastComponent}));
}

void TFileSystemHelper::forEachFileInDirectory(const QString& DirectoryPath, const std::function<void(const TLocalFileInfo&)>& Function)
{
    for (const TLocalFileInfo& Info : listFilesInDirectory(DirectoryPath)) {
        Function(Info);
    }
}

std::vector<TLocalFileInfo> TFileSystemHelper::listFilesInDirectory(const QString& DirectoryPath)
{
    std::vector<TLocalFileInfo> Result;
    const QFileInfoList Entries = QDir(DirectoryPath).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    Result.reserve(static_cast<std::size_t>(Entries.size()));
    for (const QFileInfo& Entry : Entries) {
        Result.emplace_back(Entry.absoluteFilePath(), Entry.size());
    }
    return Result;
}

bool TFileSystemHelper::fileExists(const QString& Path)
{
    return QFileInfo::exists(Path);
}

bool TFileSystemHelper::directoryExists(const QString& Path)
{
    return QFileInfo(Path).isDir();
}

QString TFileSystemHelper::joinPaths(const QStringList& Parts)
{
    QString Result;
    for (const QString& Part : Parts) {
        Result += QLatin1Char('/');
        Result += Part;
    }
    if (!Result.isEmpty()) {
        Result.remove(0, 1);
    }
    return QDir::toNativeSeparators(Result);
}

QDir TFileSystemHelper::getOrCreateSubdirectory(const QString& ParentPath, const QString& Name)
{
    if (!directoryExists(ParentPath)) {
        throw std::runtime_error("Directory doesn't exist");
    }
    QDir Directory(ParentPath);
    if (!Directory.cd(Name)) {
        if (!Directory.mkdir(Name)) {
            throw std::runtime_error("Failed to create subdirectory.");
        }
        Directory.cd(Name);
    }
    return Directory;
}

std::shared_ptr<QSettings> TFileSystemHelper::createIniSettings(const QString& FilePath)
{
    return std::make_shared<QSettings>(FilePath, QSettings::IniFormat);
}

QJsonDocument TFileSystemHelper::readJsonFileAsQJsonDocument(const QString& FilePath, bool& ParseFailed) const
{
    const QByteArray Data = const_cast<TFileSystemHelper*>(this)->readFileOrEmpty(FilePath);
    QJsonParseError Error;
    QJsonDocument Document = QJsonDocument::fromJson(Data, &Error);
    if (!Data.isEmpty() && Error.error != QJsonParseError::NoError) {
        qWarning() << "Json parse error in file" << FilePath << ": " << Error.errorString() << "at offset" << Error.offset;
        ParseFailed = true;
        return QJsonDocument();
    }
    ParseFailed = false;
    return Document;
}

std::shared_ptr<QImage> TFileSystemHelper::readImageFile(const QString& FilePath, const char* Format)
{
    const QByteArray Data = readFileOrEmpty(FilePath);
    if (Data.isEmpty()) {
        return {};
    }
    QImage Image = QImage::fromData(Data, Format);
    if (Image.isNull()) {
        return {};
    }
    return std::make_shared<QImage>(std::move(Image));
}

void TFileSystemHelper::writeImageFile(const QImage& Image, const QString& FilePath, const char* Format)
{
    QByteArray Bytes;
    QBuffer Buffer(&Bytes);
    Buffer.open(QIODevice::WriteOnly);
    Image.save(&Buffer, Format);
    Buffer.close();
    writeFile(FilePath, Bytes);
}

} // namespace shared
