#include "TPackageConfigurationReader.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <stdexcept>

namespace zarvo::launcher {

namespace {

// A document that cannot be used; the text names the reason.
class TDocumentRefused : public std::runtime_error {
public:
    explicit TDocumentRefused(const QString& Reason)
        : std::runtime_error(Reason.toUtf8().toStdString())
    {
    }
};

[[noreturn]] void refuseDocument(const QString& Reason)
{
    throw TDocumentRefused(Reason);
}

// A name from a document as it may go into a log line: control characters escaped, so
// that a hostile name can neither cut the line nor forge another one.
QString printable(const QString& Name)
{
    QString Result;
    for (const QChar Character : Name) {
        if (Character.unicode() < 0x20 || Character.unicode() == 0x7f) {
            Result += QStringLiteral("\\x%1").arg(Character.unicode(), 2, 16, QLatin1Char('0'));
        } else {
            Result += Character;
        }
    }
    return Result;
}

// What a refusal names: a fixed text, or an element of the document described by its
// "localfile" name. Only a refusal spells it out: a document lists thousands of elements.
class TWhere {
public:
    TWhere(const QString& Text)
        : m_Text(Text)
    {
    }
    TWhere(const QJsonObject& Object, const QString& Kind)
        : m_Text(Kind)
        , m_pObject(&Object)
    {
    }
    QString text() const
    {
        const QString Name = m_pObject ? m_pObject->value(QLatin1String("localfile")).toString() : QString();
        return Name.isEmpty() ? m_Text : QStringLiteral("%1 \"%2\"").arg(m_Text, printable(Name));
    }

private:
    QString m_Text;
    const QJsonObject* m_pObject = nullptr;
};

void requireType(const QJsonObject& Object, const char* Key, QJsonValue::Type Type, const TWhere& Where)
{
    const QJsonValue Value = Object.value(QLatin1String(Key));
    if (!Value.isUndefined() && Value.type() != Type) {
        refuseDocument(QStringLiteral("\"%1\" of %2 has the wrong type").arg(QLatin1String(Key), Where.text()));
    }
}

// Sizes are JSON numbers or decimal texts; anything else (negative, fractional, beyond
// what a double holds exactly) is refused.
std::uint64_t readSize(const QJsonObject& Object, const char* Key, const TWhere& Where)
{
    const QJsonValue Value = Object.value(QLatin1String(Key));
    if (Value.isUndefined()) {
        return 0;
    }
    if (Value.isDouble()) {
        const double Number = Value.toDouble();
        if (Number >= 0 && Number <= 9007199254740992.0 && Number == static_cast<double>(static_cast<std::uint64_t>(Number))) {
            return static_cast<std::uint64_t>(Number);
        }
    } else if (Value.isString()) {
        bool Ok = false;
        const QString Text = Value.toString();
        const std::uint64_t Number = Text.toULongLong(&Ok);
        if (Ok && !Text.isEmpty() && Text.at(0).isDigit()) {
            return Number;
        }
    }
    refuseDocument(QStringLiteral("\"%1\" of %2 is not a size").arg(QLatin1String(Key), Where.text()));
}

QByteArray readHash(const QJsonObject& Object, const char* Key, const TWhere& Where)
{
    const QJsonValue Value = Object.value(QLatin1String(Key));
    if (Value.isUndefined()) {
        return QByteArray();
    }
    const QString Text = Value.toString();
    bool Hex = Value.isString() && Text.size() % 2 == 0;
    for (int Index = 0; Hex && Index < Text.size(); ++Index) {
        const QChar Digit = Text.at(Index);
        Hex = (Digit >= QLatin1Char('0') && Digit <= QLatin1Char('9')) || (Digit >= QLatin1Char('a') && Digit <= QLatin1Char('f')) ||
            (Digit >= QLatin1Char('A') && Digit <= QLatin1Char('F'));
    }
    if (!Hex) {
        refuseDocument(QStringLiteral("\"%1\" of %2 is not a hexadecimal digest").arg(QLatin1String(Key), Where.text()));
    }
    return QByteArray::fromHex(Text.toLatin1());
}

QJsonArray readArray(const QJsonObject& Object, const char* Key, const TWhere& Where, bool Required)
{
    const QJsonValue Value = Object.value(QLatin1String(Key));
    if (Value.isUndefined() && !Required) {
        return QJsonArray();
    }
    if (!Value.isArray()) {
        refuseDocument(Value.isUndefined() ? QStringLiteral("%1 has no \"%2\"").arg(Where.text(), QLatin1String(Key))
                                           : QStringLiteral("\"%1\" of %2 is not an array").arg(QLatin1String(Key), Where.text()));
    }
    return Value.toArray();
}

QJsonObject elementObject(const QJsonValue& Element, const TWhere& Where)
{
    if (!Element.isObject()) {
        refuseDocument(QStringLiteral("an element of %1 is not an object").arg(Where.text()));
    }
    return Element.toObject();
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

bool sameData(const TChunkInPackage& Left, const TChunkInPackage& Right)
{
    return Left.m_PackedSize == Right.m_PackedSize && Left.m_PackedHash == Right.m_PackedHash &&
        Left.m_UnpackedSize == Right.m_UnpackedSize && Left.m_UnpackedHash == Right.m_UnpackedHash && Left.m_Unpack == Right.m_Unpack;
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

QString TPackageConfigurationReader::normaliseLocalFile(const QString& Name, QString* pReason)
{
    const auto Refuse = [pReason, &Name](const char* Why) {
        if (pReason) {
            *pReason = QStringLiteral("the file name \"%1\" %2").arg(printable(Name), QLatin1String(Why));
        }
        return QString();
    };
    QString Result = Name;
    while (Result.startsWith(QLatin1String("./"))) {
        Result.remove(0, 2);
    }
    if (Result.isEmpty()) {
        return Refuse("is empty");
    }
    if (Result.startsWith(QLatin1Char('/'))) {
        return Refuse("is absolute");
    }
    for (const QChar Character : Result) {
        if (Character == QLatin1Char('\\')) {
            return Refuse("contains a backslash");
        }
        if (Character.unicode() < 0x20 || Character.unicode() == 0x7f) {
            return Refuse("contains a control character");
        }
    }
    for (const QStringRef& Segment : Result.splitRef(QLatin1Char('/'))) {
        if (Segment.isEmpty() || Segment == QLatin1String(".") || Segment == QLatin1String("..")) {
            return Refuse("has an empty, \".\" or \"..\" segment");
        }
    }
    return Result;
}

TChunkInPackage TPackageConfigurationReader::parseChunk(const QJsonObject& Object, const QUrl& Base)
{
    const TWhere Where(Object, QStringLiteral("a chunk"));
    requireType(Object, "url", QJsonValue::String, Where);
    requireType(Object, "unpack", QJsonValue::Bool, Where);
    TChunkInPackage Chunk;
    const QString Url = Object.value(QLatin1String("url")).toString();
    if (!Url.isEmpty()) {
        Chunk.m_Url = resolveUrl(Url, Base);
    }
    Chunk.m_PackedSize = readSize(Object, "packedsize", Where);
    Chunk.m_PackedHash = readHash(Object, "packedhash", Where);
    Chunk.m_UnpackedSize = readSize(Object, "unpackedsize", Where);
    Chunk.m_UnpackedHash = readHash(Object, "unpackedhash", Where);
    Chunk.m_Unpack = Object.value(QLatin1String("unpack")).toBool(true);
    return Chunk;
}

TFileInPackage TPackageConfigurationReader::parseFile(const QJsonObject& Object, const QUrl& Base)
{
    const TWhere Where(Object, QStringLiteral("a file"));
    const QJsonValue LocalFile = Object.value(QLatin1String("localfile"));
    if (!LocalFile.isString()) {
        refuseDocument(QStringLiteral("a file has no \"localfile\" name"));
    }
    QString Reason;
    TFileInPackage File;
    File.m_LocalFile = normaliseLocalFile(LocalFile.toString(), &Reason);
    if (File.m_LocalFile.isEmpty()) {
        refuseDocument(Reason);
    }
    requireType(Object, "executable", QJsonValue::Bool, Where);
    File.m_UnpackedHash = readHash(Object, "unpackedhash", Where);
    File.m_UnpackedSize = readSize(Object, "unpackedsize", Where);
    File.m_Executable = Object.value(QLatin1String("executable")).toBool(false);
    File.m_PackedForm = parseChunk(Object, Base);
    for (const QJsonValue& Position : readArray(Object, "chunks", Where, false)) {
        const double Number = Position.toDouble(-1);
        if (!Position.isDouble() || Number < 0 || Number > 2147483647.0 ||
            Number != static_cast<double>(static_cast<std::int32_t>(Number))) {
            refuseDocument(QStringLiteral("%1 names an invalid chunk position").arg(Where.text()));
        }
        File.m_Chunks.push_back(static_cast<std::int32_t>(Number));
    }
    for (const QJsonValue& Element : readArray(Object, "patches", Where, false)) {
        const QJsonObject Patch = elementObject(Element, QStringLiteral("\"patches\" of %1").arg(Where.text()));
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
    return File;
}

void TPackageConfigurationReader::readPackageDocument(const QJsonDocument& Document)
{
    const QString Where = QStringLiteral("the package document");
    if (!Document.isObject()) {
        refuseDocument(QStringLiteral("the package document is not a JSON object"));
    }
    const QJsonObject Root = Document.object();
    for (const char* Key : {"version", "executable", "generation", "variant"}) {
        requireType(Root, Key, QJsonValue::String, Where);
    }
    m_Version = Root.value(QLatin1String("version")).toString();
    m_Executable = Root.value(QLatin1String("executable")).toString();
    m_Generation = generationFrom(Root.value(QLatin1String("generation")).toString());
    m_Variant = variantFrom(Root.value(QLatin1String("variant")).toString());
    readChunking(Root);
    for (const QJsonValue& Chunk : readArray(Root, "chunks", Where, false)) {
        m_Chunks.push_back(parseChunk(elementObject(Chunk, QStringLiteral("\"chunks\"")), m_BaseUrl));
    }
    // required: an answer that is some other JSON object (an error body) would otherwise
    // read as a package without files, and every installed file would become obsolete
    for (const QJsonValue& File : readArray(Root, "files", Where, true)) {
        m_Files.push_back(parseFile(elementObject(File, QStringLiteral("\"files\"")), m_BaseUrl));
    }
    for (const QJsonValue& Parameter : readArray(Root, "parameters", Where, false)) {
        if (!Parameter.isString()) {
            refuseDocument(QStringLiteral("a parameter is not a text"));
        }
        m_Parameters.append(Parameter.toString());
    }
}

// "chunking": {"minimum": bytes, "maskbits": n, "maximum": bytes}. Absent: the cutting every
// older document was made with. Present, it must be whole and within the bounds: the scan
// cuts local files with it, so values it cannot use make the document unusable.
void TPackageConfigurationReader::readChunking(const QJsonObject& Root)
{
    const QJsonValue Value = Root.value(QLatin1String("chunking"));
    if (Value.isUndefined()) {
        return;
    }
    if (!Value.isObject()) {
        refuseDocument(QStringLiteral("\"chunking\" of the package document is not an object"));
    }
    const QJsonObject Object = Value.toObject();
    const auto Number = [&Object](const char* Key) -> std::uint64_t {
        const QJsonValue Field = Object.value(QLatin1String(Key));
        const double Figure = Field.toDouble(-1);
        if (!Field.isDouble() || Figure < 0 || Figure > 4294967296.0 || Figure != static_cast<double>(static_cast<std::uint64_t>(Figure))) {
            refuseDocument(QStringLiteral("\"%1\" of \"chunking\" is not a whole number").arg(QLatin1String(Key)));
        }
        return static_cast<std::uint64_t>(Figure);
    };
    ::shared::TChunkingParameters Chunking;
    Chunking.m_Minimum = Number("minimum");
    const std::uint64_t Bits = Number("maskbits");
    Chunking.m_MaskBits = Bits > 64 ? 64 : static_cast<int>(Bits);
    Chunking.m_Maximum = Number("maximum");
    const QString Problem = Chunking.problem();
    if (!Problem.isEmpty()) {
        refuseDocument(QStringLiteral("\"chunking\" cannot be used: %1").arg(Problem));
    }
    m_Chunking = Chunking;
}

void TPackageConfigurationReader::readAssetsDocument(const QJsonDocument& Document)
{
    const QString Where = QStringLiteral("the assets document");
    if (!Document.isObject()) {
        refuseDocument(QStringLiteral("the assets document is not a JSON object"));
    }
    const QJsonObject Root = Document.object();
    const QJsonValue Version = Root.value(QLatin1String("version"));
    if (!Version.isUndefined() && !Version.isDouble() && !Version.isString()) {
        refuseDocument(QStringLiteral("\"version\" of the assets document has the wrong type"));
    }
    m_AssetsVersion = Version.isDouble() ? QString::number(Version.toInt()) : Version.toString();
    for (const QJsonValue& Chunk : readArray(Root, "chunks", Where, false)) {
        m_Chunks.push_back(parseChunk(elementObject(Chunk, QStringLiteral("\"chunks\"")), m_AssetsBaseUrl));
    }
    for (const QJsonValue& File : readArray(Root, "files", Where, true)) {
        m_Files.push_back(parseFile(elementObject(File, QStringLiteral("\"files\"")), m_AssetsBaseUrl));
    }
}

void TPackageConfigurationReader::checkFilesAndChunks()
{
    // Every check runs on the combined lists: a name or a chunk URL of the assets document
    // may clash with one of the package document.
    const auto Count = static_cast<std::int64_t>(m_Chunks.size());
    QHash<QUrl, const TChunkInPackage*> ByUrl;
    QHash<QByteArray, std::uint64_t> SizeByHash;
    ByUrl.reserve(static_cast<int>(m_Chunks.size()));
    SizeByHash.reserve(static_cast<int>(m_Chunks.size()));
    const auto AddChunk = [&ByUrl, &SizeByHash](const TChunkInPackage& Chunk) {
        const auto Known = ByUrl.constFind(Chunk.m_Url);
        if (Known == ByUrl.constEnd()) {
            ByUrl.insert(Chunk.m_Url, &Chunk);
        } else if (!sameData(*Known.value(), Chunk)) {
            // the downloader fetches a URL once: two records would share one body
            refuseDocument(QStringLiteral("the chunk URL %1 is listed with different digests or sizes").arg(Chunk.m_Url.toString()));
        }
        if (!Chunk.m_UnpackedHash.isEmpty()) {
            const auto Size = SizeByHash.constFind(Chunk.m_UnpackedHash);
            if (Size == SizeByHash.constEnd()) {
                SizeByHash.insert(Chunk.m_UnpackedHash, Chunk.m_UnpackedSize);
            } else if (Size.value() != Chunk.m_UnpackedSize) {
                refuseDocument(
                    QStringLiteral("the digest %1 is listed with different sizes").arg(QString::fromLatin1(Chunk.m_UnpackedHash.toHex())));
            }
        }
    };
    for (const TChunkInPackage& Chunk : m_Chunks) {
        if (Chunk.m_Url.isEmpty()) {
            refuseDocument(QStringLiteral("a chunk has no \"url\""));
        }
        AddChunk(Chunk);
    }

    QSet<QString> Names;
    Names.reserve(static_cast<int>(m_Files.size()));
    for (const TFileInPackage& File : m_Files) {
        if (Names.contains(File.m_LocalFile)) {
            refuseDocument(QStringLiteral("the file name \"%1\" is listed twice").arg(File.m_LocalFile));
        }
        Names.insert(File.m_LocalFile);
        std::uint64_t Sum = 0;
        for (std::int32_t Position : File.m_Chunks) {
            if (Position < 0 || Position >= Count) {
                refuseDocument(QStringLiteral("the file \"%1\" refers to chunks the document does not list").arg(File.m_LocalFile));
            }
            const std::uint64_t Size = m_Chunks[static_cast<std::size_t>(Position)].m_UnpackedSize;
            if (Sum + Size < Sum) {
                refuseDocument(QStringLiteral("the chunk sizes of \"%1\" overflow").arg(File.m_LocalFile));
            }
            Sum += Size;
        }
        if (!File.m_Chunks.empty() && Sum != File.m_UnpackedSize) {
            refuseDocument(QStringLiteral("the chunk sizes of \"%1\" add up to %2, not to its size %3")
                               .arg(File.m_LocalFile)
                               .arg(Sum)
                               .arg(File.m_UnpackedSize));
        }
        if (File.m_UnpackedSize > 0 && File.m_Chunks.empty() && File.m_PackedForm.m_Url.isEmpty()) {
            refuseDocument(QStringLiteral("the file \"%1\" has a size but neither \"url\" nor \"chunks\"").arg(File.m_LocalFile));
        }
        if (!File.m_PackedForm.m_Url.isEmpty()) {
            AddChunk(File.m_PackedForm);
        }
    }
    // "a" and "a/b" cannot both be files (checked in the document's order, so that the
    // refusal names the same pair every time)
    for (const TFileInPackage& File : m_Files) {
        const QString& Name = File.m_LocalFile;
        for (int Slash = Name.indexOf(QLatin1Char('/')); Slash > 0; Slash = Name.indexOf(QLatin1Char('/'), Slash + 1)) {
            if (Names.contains(Name.left(Slash))) {
                refuseDocument(QStringLiteral("the file name \"%1\" is also a directory of \"%2\"").arg(Name.left(Slash), Name));
            }
        }
    }
}

void TPackageConfigurationReader::refuse(const QString& Reason)
{
    // nothing of a refused document is used: no version that would call an empty
    // directory installed, no file list that would turn every installed file obsolete
    m_Version.clear();
    m_AssetsVersion.clear();
    m_Generation = EPackageGeneration::Unknown;
    m_Variant = EPackageVariant::Unknown;
    m_Executable.clear();
    m_Parameters.clear();
    m_Chunks.clear();
    m_Files.clear();
    m_Chunking = ::shared::TChunkingParameters::defaults();
    m_Valid = false;
    m_Error = Reason;
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
        refuse(QStringLiteral("the package document is not valid JSON: %1 at offset %2").arg(Error.errorString()).arg(Error.offset));
        return;
    }
    QJsonDocument Assets;
    if (!AssetsDocument.isEmpty()) {
        Assets = QJsonDocument::fromJson(AssetsDocument, &Error);
        if (Error.error != QJsonParseError::NoError) {
            qCritical() << "JSON asset configuration file could not be parsed, using default package.";
            refuse(QStringLiteral("the assets document is not valid JSON: %1 at offset %2").arg(Error.errorString()).arg(Error.offset));
            return;
        }
    }
    try {
        readPackageDocument(Package);
        if (!AssetsDocument.isEmpty()) {
            readAssetsDocument(Assets);
        }
        checkFilesAndChunks();
    } catch (const TDocumentRefused& Refused) {
        refuse(QString::fromUtf8(Refused.what()));
        qCritical().noquote() << "Package configuration refused:" << m_Error;
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
