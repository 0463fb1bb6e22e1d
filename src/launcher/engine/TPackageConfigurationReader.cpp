#include "TPackageConfigurationReader.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace zarvo::launcher {

namespace {

std::uint64_t toUnsigned(const QJsonValue& Value)
{
    return Value.toVariant().toULongLong();
}

QByteArray fromHex(const QJsonValue& Value)
{
    return QByteArray::fromHex(Value.toString().toLatin1());
}

EPackageGeneration generationFrom(const QString& Text)
{
    if (Text == QLatin1String("first")) {
        return EPackageGeneration::First;
    }
    if (Text == QLatin1String("second")) {
        return EPackageGeneration::Second;
    }
    return EPackageGeneration::Unknown;
}

EPackageVariant variantFrom(const QString& Text)
{
    if (Text == QLatin1String("regular")) {
        return EPackageVariant::Regular;
    }
    if (Text == QLatin1String("preview")) {
        return EPackageVariant::Preview;
    }
    if (Text == QLatin1String("beta")) {
        return EPackageVariant::Beta;
    }
    if (Text == QLatin1String("test")) {
        return EPackageVariant::Test;
    }
    return EPackageVariant::Unknown;
}

} // namespace

QUrl TPackageConfigurationReader::resolveUrl(const QString& Text, const QUrl& Base)
{
    const QUrl Url(Text, QUrl::TolerantMode);
    if (!Url.isRelative()) {
        return Url;
    }
    QUrl Result(Base);
    QString Path = Base.path();
    const QString Relative = Url.path();
    if (!Path.endsWith(QLatin1Char('/')) && !Relative.startsWith(QLatin1Char('/'))) {
        Path += QLatin1Char('/');
    }
    Result.setPath(Path + Relative);
    Result.setQuery(QString());
    return Result;
}

TChunkInPackage TPackageConfigurationReader::parseChunk(const QJsonObject& Object, const QUrl& Base)
{
    TChunkInPackage Chunk;
    const QString Url = Object.value(QLatin1String("url")).toString();
    if (!Url.isEmpty()) {
        Chunk.m_Url = resolveUrl(Url, Base);
    }
    Chunk.m_PackedSize = toUnsigned(Object.value(QLatin1String("packedsize")));
    Chunk.m_PackedHash = fromHex(Object.value(QLatin1String("packedhash")));
    Chunk.m_UnpackedSize = toUnsigned(Object.value(QLatin1String("unpackedsize")));
    Chunk.m_UnpackedHash = fromHex(Object.value(QLatin1String("unpackedhash")));
    Chunk.m_Unpack = Object.value(QLatin1String("unpack")).toBool(true);
    return Chunk;
}

TFileInPackage TPackageConfigurationReader::parseFile(const QJsonObject& Object, const QUrl& Base)
{
    TFileInPackage File;
    File.m_LocalFile = Object.value(QLatin1String("localfile")).toString();
    File.m_UnpackedHash = fromHex(Object.value(QLatin1String("unpackedhash")));
    File.m_UnpackedSize = toUnsigned(Object.value(QLatin1String("unpackedsize")));
    File.m_Executable = Object.value(QLatin1String("executable")).toBool(false);
    File.m_PackedForm = parseChunk(Object, Base);
    const QJsonValue Chunks = Object.value(QLatin1String("chunks"));
    if (Chunks.isArray()) {
        for (const QJsonValue& Position : Chunks.toArray()) {
            File.m_Chunks.push_back(Position.toInt(0));
        }
    }
    const QJsonValue Patches = Object.value(QLatin1String("patches"));
    if (Patches.isArray()) {
        for (const QJsonValue& Element : Patches.toArray()) {
            const QJsonObject Patch = Element.toObject();
            TPatchInPackage Record;
            const QString Url = Patch.value(QLatin1String("url")).toString();
            if (!Url.isEmpty()) {
                Record.m_Url = resolveUrl(Url, Base);
            }
            Record.m_FromVersion = QString::number(Patch.value(QLatin1String("fromversion")).toInt(0));
            Record.m_ToVersion = QString::number(Patch.value(QLatin1String("toversion")).toInt(0));
            Record.m_Size = Patch.value(QLatin1String("size")).toInt(0);
            File.m_Patches.push_back(Record);
        }
    }
    return File;
}

bool TPackageConfigurationReader::chunkPositionsAreValid() const
{
    const auto Count = static_cast<std::int64_t>(m_Chunks.size());
    for (const TFileInPackage& File : m_Files) {
        for (std::int32_t Position : File.m_Chunks) {
            if (Position < 0 || Position >= Count) {
                return false;
            }
        }
    }
    return true;
}

TPackageConfigurationReader::TPackageConfigurationReader(const QByteArray& PackageDocument, const QByteArray& AssetsDocument,
                                                         const QUrl& BaseUrl, const QUrl& AssetsBaseUrl)
    : m_BaseUrl(BaseUrl)
    , m_AssetsBaseUrl(AssetsBaseUrl)
    , m_PackageDocument(PackageDocument)
    , m_AssetsDocument(AssetsDocument)
{
    QJsonParseError Error;
    const QJsonDocument Package = QJsonDocument::fromJson(PackageDocument, &Error);
    if (Error.error != QJsonParseError::NoError) {
        qCritical() << "JSON package configuration file could not be parsed, using default package.";
        return;
    }
    QJsonDocument Assets;
    if (!AssetsDocument.isEmpty()) {
        Assets = QJsonDocument::fromJson(AssetsDocument, &Error);
        if (Error.error != QJsonParseError::NoError) {
            qCritical() << "JSON asset configuration file could not be parsed, using default package.";
            return;
        }
    }

    const QJsonObject Root = Package.object();
    m_Version = Root.value(QLatin1String("version")).toString();
    m_Executable = Root.value(QLatin1String("executable")).toString();
    m_Generation = generationFrom(Root.value(QLatin1String("generation")).toString());
    m_Variant = variantFrom(Root.value(QLatin1String("variant")).toString());
    const QJsonValue Chunks = Root.value(QLatin1String("chunks"));
    if (Chunks.isArray()) {
        for (const QJsonValue& Chunk : Chunks.toArray()) {
            m_Chunks.push_back(parseChunk(Chunk.toObject(), m_BaseUrl));
        }
    }
    const QJsonValue Files = Root.value(QLatin1String("files"));
    if (Files.isArray()) {
        for (const QJsonValue& File : Files.toArray()) {
            m_Files.push_back(parseFile(File.toObject(), m_BaseUrl));
        }
    }
    const QJsonValue Parameters = Root.value(QLatin1String("parameters"));
    if (Parameters.isArray()) {
        for (const QJsonValue& Parameter : Parameters.toArray()) {
            m_Parameters.append(Parameter.toString());
        }
    }

    if (Assets.isObject()) {
        const QJsonObject AssetsRoot = Assets.object();
        const QJsonValue Version = AssetsRoot.value(QLatin1String("version"));
        m_AssetsVersion = Version.isDouble() ? QString::number(Version.toInt()) : Version.toString();
        const QJsonValue AssetChunks = AssetsRoot.value(QLatin1String("chunks"));
        if (AssetChunks.isArray()) {
            for (const QJsonValue& Chunk : AssetChunks.toArray()) {
                m_Chunks.push_back(parseChunk(Chunk.toObject(), m_AssetsBaseUrl));
            }
        }
        const QJsonValue AssetFiles = AssetsRoot.value(QLatin1String("files"));
        if (AssetFiles.isArray()) {
            for (const QJsonValue& File : AssetFiles.toArray()) {
                m_Files.push_back(parseFile(File.toObject(), m_AssetsBaseUrl));
            }
        }
    }

    // A file naming a chunk that the lists do not hold would make every later step read
    // outside the chunk list; such a document is refused as a whole.
    if (!chunkPositionsAreValid()) {
        qCritical() << "JSON package configuration file refers to chunks it does not list, using default package.";
        m_Chunks.clear();
        m_Files.clear();
        m_Parameters.clear();
        return;
    }

    std::sort(m_Files.begin(), m_Files.end(),
              [](const TFileInPackage& Left, const TFileInPackage& Right) { return Left.m_LocalFile < Right.m_LocalFile; });
    m_Valid = true;
}

QString TPackageConfigurationReader::versionLabel() const
{
    const QString Version = m_Version.isEmpty() ? QStringLiteral("?") : m_Version;
    const QString Assets = m_AssetsVersion.isEmpty() ? QStringLiteral("?") : m_AssetsVersion;
    return QStringLiteral("P%1 A%2").arg(Version, Assets);
}

} // namespace zarvo::launcher
