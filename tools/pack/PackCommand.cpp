// torvane-pack pack: a directory of game files -> package.json and its chunk files.

#include "ChunkPipeline.h"
#include "PackProgress.h"
#include "PackTool.h"
#include "Signing.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <optional>

#include <dirent.h>
#include <sys/stat.h>

namespace zarvo::pack {

namespace {

const QString kPackageDocumentName = QStringLiteral("package.json");
const QString kAssetsDocumentName = QStringLiteral("assets.json");
const QString kChunkDirectoryName = QStringLiteral("chunks");
constexpr int kMaxThreads = 64;

// Set by SIGINT, SIGTERM and SIGHUP (a lock-free atomic store is safe in a handler). The
// handler is taken off after the first signal, so a second Ctrl-C ends the tool at once.
std::atomic<bool> g_StopRequested {false};

extern "C" void onStopSignal(int)
{
    g_StopRequested.store(true);
}

void installStopHandlers()
{
    struct sigaction Action { };
    Action.sa_handler = onStopSignal;
    Action.sa_flags = SA_RESETHAND;
    sigemptyset(&Action.sa_mask);
    for (int Signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(Signal, &Action, nullptr);
    }
}

struct TPackOptions {
    QString m_Source;
    QString m_Output;
    QString m_Version;
    QString m_Executable;
    QStringList m_Parameters;
    QString m_Generation;
    QString m_Variant;
    ECodec m_Codec = ECodec::Lzma;
    QString m_AssetsSource;
    QString m_AssetsOutput;
    QString m_AssetsVersion;
    int m_Threads = 0;
    bool m_Quiet = false;
    // set by --chunk-size; without it the default cutting, and no "chunking" key
    std::optional<shared::TChunkingParameters> m_Chunking;
    QByteArray m_SigningKey; // PEM; empty when the documents are not signed
};

// --chunk-size SIZE: the average piece length, a power of two in bytes, with K or M for
// KiB and MiB.
shared::TChunkingParameters parseChunkSize(const QString& Text)
{
    QString Digits = Text;
    std::uint64_t Unit = 1;
    if (Digits.endsWith(QLatin1Char('K'), Qt::CaseInsensitive)) {
        Unit = 1024;
        Digits.chop(1);
    } else if (Digits.endsWith(QLatin1Char('M'), Qt::CaseInsensitive)) {
        Unit = 1024 * 1024;
        Digits.chop(1);
    }
    bool Ok = false;
    const std::uint64_t Number = Digits.toULongLong(&Ok);
    const std::uint64_t Size = Number * Unit;
    if (!Ok || Digits.isEmpty() || !Digits.at(0).isDigit() || Number == 0 || Number > (std::uint64_t(1) << 40) ||
        (Size & (Size - 1)) != 0) {
        throw TUsageError(QStringLiteral("--chunk-size needs a power of two such as 64K, 256K or 1M, not '%1'").arg(Text));
    }
    const shared::TChunkingParameters Chunking = shared::TChunkingParameters::forAverage(Size);
    const QString Problem = Chunking.problem();
    if (!Problem.isEmpty()) {
        throw TUsageError(QStringLiteral("--chunk-size %1 is outside 64K to 16M (%2)").arg(Text, Problem));
    }
    return Chunking;
}

TPackOptions parseOptions(QStringList Arguments)
{
    TPackOptions Options;
    Options.m_Threads = std::max(1, std::min(QThread::idealThreadCount(), kMaxThreads));
    QStringList Positional;
    bool HasVersion = false;
    bool HasAssetsVersion = false;
    while (!Arguments.isEmpty()) {
        const QString Argument = Arguments.takeFirst();
        if (Argument == QLatin1String("--version")) {
            Options.m_Version = takeValue(Arguments, Argument);
            HasVersion = true;
        } else if (Argument == QLatin1String("--executable")) {
            Options.m_Executable = takeValue(Arguments, Argument);
        } else if (Argument == QLatin1String("--parameter")) {
            Options.m_Parameters.append(takeValue(Arguments, Argument));
        } else if (Argument == QLatin1String("--generation")) {
            Options.m_Generation = takeValue(Arguments, Argument);
            if (Options.m_Generation != QLatin1String("first") && Options.m_Generation != QLatin1String("second")) {
                throw TUsageError(QStringLiteral("--generation must be first or second, not '%1'").arg(Options.m_Generation));
            }
        } else if (Argument == QLatin1String("--variant")) {
            Options.m_Variant = takeValue(Arguments, Argument);
            static const QStringList kVariants = {QStringLiteral("regular"), QStringLiteral("preview"), QStringLiteral("beta"),
                                                  QStringLiteral("test")};
            if (!kVariants.contains(Options.m_Variant)) {
                throw TUsageError(QStringLiteral("--variant must be regular, preview, beta or test, not '%1'").arg(Options.m_Variant));
            }
        } else if (Argument == QLatin1String("--codec")) {
            const QString Codec = takeValue(Arguments, Argument);
            if (!parseCodec(Codec, Options.m_Codec)) {
                throw TUsageError(QStringLiteral("unknown --codec '%1' (0 stored, 3 deflate, 4 lzip, 5 lzma, 6 zpaq)").arg(Codec));
            }
        } else if (Argument == QLatin1String("--assets")) {
            Options.m_AssetsSource = takeValue(Arguments, Argument);
            Options.m_AssetsOutput = takeValue(Arguments, Argument);
        } else if (Argument == QLatin1String("--assets-version")) {
            Options.m_AssetsVersion = takeValue(Arguments, Argument);
            HasAssetsVersion = true;
        } else if (Argument == QLatin1String("--threads")) {
            const QString Text = takeValue(Arguments, Argument);
            bool Ok = false;
            Options.m_Threads = Text.toInt(&Ok);
            if (!Ok || Options.m_Threads < 1 || Options.m_Threads > kMaxThreads) {
                throw TUsageError(QStringLiteral("--threads needs a number from 1 to %1, not '%2'").arg(kMaxThreads).arg(Text));
            }
        } else if (Argument == QLatin1String("--chunk-size")) {
            Options.m_Chunking = parseChunkSize(takeValue(Arguments, Argument));
        } else if (Argument == QLatin1String("--quiet")) {
            Options.m_Quiet = true;
        } else if (Argument == QLatin1String("--sign")) {
            Options.m_SigningKey = readSigningKey(takeValue(Arguments, Argument));
        } else if (Argument.startsWith(QLatin1Char('-')) && Argument.size() > 1) {
            throw TUsageError(QStringLiteral("unknown option '%1' for pack (see torvane-pack --help)").arg(Argument));
        } else {
            Positional.append(Argument);
        }
    }
    if (Positional.size() != 2) {
        throw TUsageError(Positional.size() < 2 ? QStringLiteral("pack needs SOURCE_DIR and OUTPUT_DIR")
                                                : QStringLiteral("unexpected argument '%1'").arg(Positional.at(2)));
    }
    Options.m_Source = Positional.at(0);
    Options.m_Output = Positional.at(1);
    // The launcher offers an update only when a version differs from the installed one.
    if (!HasVersion || Options.m_Version.isEmpty()) {
        throw TUsageError(QStringLiteral("pack needs --version VERSION: the launcher sees an update only when the version changes"));
    }
    if (!Options.m_AssetsSource.isEmpty() && (!HasAssetsVersion || Options.m_AssetsVersion.isEmpty())) {
        throw TUsageError(QStringLiteral("--assets needs --assets-version VERSION"));
    }
    if (Options.m_AssetsSource.isEmpty() && HasAssetsVersion) {
        throw TUsageError(QStringLiteral("--assets-version is only used together with --assets"));
    }
    return Options;
}

// The canonical form of Path, also when its last components do not exist yet.
QString resolvedPath(const QString& Path)
{
    QString Existing = QDir::cleanPath(QFileInfo(Path).absoluteFilePath());
    QString Tail;
    while (!QFileInfo::exists(Existing) && Existing != QLatin1String("/")) {
        Tail.prepend(QLatin1Char('/') + QFileInfo(Existing).fileName());
        Existing = QFileInfo(Existing).path();
    }
    QString Canonical = QFileInfo(Existing).canonicalFilePath();
    if (Canonical == QLatin1String("/")) {
        Canonical.clear();
    }
    return Canonical + Tail;
}

bool isInside(const QString& Inner, const QString& Outer)
{
    return Inner == Outer || Inner.startsWith(Outer + QLatin1Char('/')) || Outer.isEmpty();
}

void requireDirectory(const QString& Path, const char* What)
{
    const QFileInfo Info(Path);
    if (!Info.exists()) {
        throw TToolError(QStringLiteral("%1 '%2' does not exist").arg(QLatin1String(What), Path));
    }
    if (!Info.isDir()) {
        throw TToolError(QStringLiteral("%1 '%2' is not a directory").arg(QLatin1String(What), Path));
    }
}

// Regular files and links to regular files below Root, any depth, hidden ones included.
void collectFiles(const QString& Root, const QString& Relative, std::vector<TSourceFile>& Files)
{
    const QString Directory = Relative.isEmpty() ? Root : Root + QLatin1Char('/') + Relative;
    // QDir lists an unreadable directory as empty; ask the system instead.
    if (DIR* pHandle = ::opendir(QFile::encodeName(Directory).constData())) {
        ::closedir(pHandle);
    } else {
        throw TToolError(QStringLiteral("cannot read directory '%1'").arg(Directory));
    }
    const QStringList Names = QDir(Directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& Name : Names) {
        const QString LocalFile = Relative.isEmpty() ? Name : Relative + QLatin1Char('/') + Name;
        const QString Path = Root + QLatin1Char('/') + LocalFile;
        const QByteArray Encoded = QFile::encodeName(Path);
        struct stat Link { };
        if (::lstat(Encoded.constData(), &Link) != 0) {
            throw TToolError(QStringLiteral("cannot examine '%1' (is its name valid UTF-8?)").arg(Path));
        }
        struct stat Target = Link;
        if (S_ISLNK(Link.st_mode)) {
            if (::stat(Encoded.constData(), &Target) != 0) {
                throw TToolError(QStringLiteral("'%1' is a symbolic link to nothing").arg(Path));
            }
            if (S_ISDIR(Target.st_mode)) {
                throw TToolError(QStringLiteral("'%1' is a symbolic link to a directory; put the directory itself there").arg(Path));
            }
        }
        if (S_ISDIR(Target.st_mode)) {
            collectFiles(Root, LocalFile, Files);
            continue;
        }
        if (!S_ISREG(Target.st_mode)) {
            throw TToolError(QStringLiteral("'%1' is not a regular file").arg(Path));
        }
        TSourceFile File;
        File.m_LocalFile = LocalFile;
        File.m_Path = Path;
        File.m_ListedSize = static_cast<std::uint64_t>(Target.st_size);
        File.m_Executable = (Target.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
        Files.push_back(File);
    }
}

// Sorted as the launcher sorts its file list: QString order, code unit by code unit.
std::vector<TSourceFile> listFiles(const QString& Root)
{
    std::vector<TSourceFile> Files;
    collectFiles(QDir::cleanPath(Root), QString(), Files);
    std::sort(Files.begin(), Files.end(),
              [](const TSourceFile& Left, const TSourceFile& Right) { return Left.m_LocalFile < Right.m_LocalFile; });
    return Files;
}

std::uint64_t totalSize(const std::vector<TSourceFile>& Files)
{
    std::uint64_t Total = 0;
    for (const TSourceFile& File : Files) {
        Total += File.m_ListedSize;
    }
    return Total;
}

QString chunkUrl(const TChunkRecord& Chunk)
{
    return kChunkDirectoryName + QLatin1Char('/') + chunkFileName(Chunk.m_UnpackedHash);
}

void putPackedForm(QJsonObject& Object, const TChunkRecord& Chunk)
{
    Object.insert(QStringLiteral("url"), chunkUrl(Chunk));
    Object.insert(QStringLiteral("packedsize"), static_cast<qint64>(Chunk.m_PackedSize));
    Object.insert(QStringLiteral("packedhash"), QString::fromLatin1(Chunk.m_PackedHash.toHex()));
    Object.insert(QStringLiteral("unpackedsize"), static_cast<qint64>(Chunk.m_UnpackedSize));
    Object.insert(QStringLiteral("unpackedhash"), QString::fromLatin1(Chunk.m_UnpackedHash.toHex()));
}

// "chunks" and "files" of a document. FirstPosition: the launcher reads the package's
// chunks and then the assets' chunks as one list, and an asset file names positions in
// that combined list, so the assets document counts on from the package's chunk count.
void putContent(QJsonObject& Root, const TPackedDocument& Document, int FirstPosition)
{
    QJsonArray Chunks;
    for (const TChunkRecord& Chunk : Document.m_Chunks) {
        QJsonObject Object;
        putPackedForm(Object, Chunk);
        Chunks.append(Object);
    }
    QJsonArray Files;
    for (const TFileRecord& File : Document.m_Files) {
        QJsonObject Object;
        QJsonArray Positions;
        for (int Position : File.m_Chunks) {
            Positions.append(FirstPosition + Position);
        }
        // A file of one chunk can also be fetched whole: its packed form is that chunk.
        if (File.m_Chunks.size() == 1) {
            putPackedForm(Object, Document.m_Chunks[static_cast<std::size_t>(File.m_Chunks.front())]);
        }
        Object.insert(QStringLiteral("localfile"), File.m_LocalFile);
        Object.insert(QStringLiteral("unpackedsize"), static_cast<qint64>(File.m_Size));
        Object.insert(QStringLiteral("unpackedhash"), QString::fromLatin1(File.m_Hash.toHex()));
        Object.insert(QStringLiteral("executable"), File.m_Executable);
        Object.insert(QStringLiteral("chunks"), Positions);
        Files.append(Object);
    }
    Root.insert(QStringLiteral("chunks"), Chunks);
    Root.insert(QStringLiteral("files"), Files);
}

// Written under a temporary name and renamed: a reader sees the old or the new document.
void writeDocument(const QString& Path, const QJsonObject& Root, const QByteArray& SigningKey)
{
    writeDocumentAndSignature(Path, QJsonDocument(Root).toJson(QJsonDocument::Indented), SigningKey);
}

void makeDirectory(const QString& Path)
{
    if (!QDir().mkpath(Path) || !QFileInfo(Path).isDir()) {
        throw TToolError(QStringLiteral("cannot create directory '%1'").arg(Path));
    }
}

void warn(const QString& Message)
{
    std::cerr << "torvane-pack: warning: " << Message.toStdString() << std::endl;
}

// The package document's keys other than "chunks" and "files".
QJsonObject packageHeader(const TPackOptions& Options, const QString& Executable)
{
    QJsonObject PackageRoot;
    PackageRoot.insert(QStringLiteral("version"), Options.m_Version);
    if (!Executable.isEmpty()) {
        PackageRoot.insert(QStringLiteral("executable"), Executable);
    }
    if (!Options.m_Parameters.isEmpty()) {
        PackageRoot.insert(QStringLiteral("parameters"), QJsonArray::fromStringList(Options.m_Parameters));
    }
    if (!Options.m_Generation.isEmpty()) {
        PackageRoot.insert(QStringLiteral("generation"), Options.m_Generation);
    }
    if (!Options.m_Variant.isEmpty()) {
        PackageRoot.insert(QStringLiteral("variant"), Options.m_Variant);
    }
    if (Options.m_Chunking) {
        // the launcher cuts its local files the same way (the assets of this run too)
        PackageRoot.insert(QStringLiteral("chunking"),
                           QJsonObject {{QStringLiteral("minimum"), static_cast<qint64>(Options.m_Chunking->m_Minimum)},
                                        {QStringLiteral("maskbits"), Options.m_Chunking->m_MaskBits},
                                        {QStringLiteral("maximum"), static_cast<qint64>(Options.m_Chunking->m_Maximum)}});
    }
    return PackageRoot;
}

int pack(const TPackOptions& Options)
{
    requireDirectory(Options.m_Source, "SOURCE_DIR");
    const QString Source = resolvedPath(Options.m_Source);
    const QString Output = resolvedPath(Options.m_Output);
    if (isInside(Output, Source)) {
        throw TUsageError(
            QStringLiteral("OUTPUT_DIR '%1' lies inside SOURCE_DIR '%2': it would be packed too").arg(Options.m_Output, Options.m_Source));
    }
    const bool WithAssets = !Options.m_AssetsSource.isEmpty();
    QString AssetsOutput;
    if (WithAssets) {
        requireDirectory(Options.m_AssetsSource, "assets directory");
        const QString AssetsSource = resolvedPath(Options.m_AssetsSource);
        AssetsOutput = resolvedPath(Options.m_AssetsOutput);
        if (isInside(AssetsSource, Source) || isInside(Source, AssetsSource)) {
            throw TUsageError(QStringLiteral("the assets directory and SOURCE_DIR must not contain one another"));
        }
        if (isInside(AssetsOutput, AssetsSource) || isInside(AssetsOutput, Source) || isInside(Output, AssetsSource)) {
            throw TUsageError(QStringLiteral("output directories must lie outside both source directories"));
        }
        if (Options.m_AssetsVersion == QLatin1String("1")) {
            warn(QStringLiteral("assets version 1 makes every launcher treat the package as needing an update at each start"));
        }
    }

    const std::vector<TSourceFile> PackageFiles = listFiles(Options.m_Source);
    const std::vector<TSourceFile> AssetFiles = WithAssets ? listFiles(Options.m_AssetsSource) : std::vector<TSourceFile>();
    // The launcher keeps its marker files in the game's folder, under these names with its
    // default settings, and refuses a document that lists a file of the same name.
    for (const std::vector<TSourceFile>* pFiles : {&PackageFiles, &AssetFiles}) {
        for (const TSourceFile& File : *pFiles) {
            for (const char* Marker : {"package.json", "partial-package.json", "assets.json", "default"}) {
                if (File.m_LocalFile == QLatin1String(Marker)) {
                    throw TToolError(
                        QStringLiteral("'%1' has the name of a launcher's marker file, and launchers would refuse the package: "
                                       "rename it or move it into a folder")
                            .arg(File.m_LocalFile));
                }
            }
        }
    }
    for (const TSourceFile& Asset : AssetFiles) {
        const auto Same = std::lower_bound(PackageFiles.begin(), PackageFiles.end(), Asset.m_LocalFile,
                                           [](const TSourceFile& File, const QString& Name) { return File.m_LocalFile < Name; });
        if (Same != PackageFiles.end() && Same->m_LocalFile == Asset.m_LocalFile) {
            throw TToolError(QStringLiteral("'%1' is both a package file and an asset").arg(Asset.m_LocalFile));
        }
    }
    // A package whose client cannot start is a mistake almost always, but packing one on
    // purpose (to try the launcher's error path) stays possible: a warning, not an error.
    QString Executable;
    if (!Options.m_Executable.isEmpty()) {
        Executable = QDir::cleanPath(Options.m_Executable);
        const auto Found = std::find_if(PackageFiles.begin(), PackageFiles.end(),
                                        [&Executable](const TSourceFile& File) { return File.m_LocalFile == Executable; });
        if (Found == PackageFiles.end()) {
            warn(QStringLiteral("--executable '%1' is not a file below SOURCE_DIR (give it relative to SOURCE_DIR); "
                                "the launcher will fail to start the client")
                     .arg(Options.m_Executable));
        } else if (!Found->m_Executable) {
            warn(QStringLiteral("--executable '%1' has no execute permission bit, so the launcher cannot start it (chmod +x it)")
                     .arg(Executable));
        }
    }

    const QString PackageChunks = Output + QLatin1Char('/') + kChunkDirectoryName;
    const QString AssetChunks = AssetsOutput + QLatin1Char('/') + kChunkDirectoryName;
    makeDirectory(PackageChunks);
    if (WithAssets) {
        makeDirectory(AssetChunks);
    }

    installStopHandlers();
    TPackProgress Progress(Options.m_Quiet);
    TChunkPipeline Pipeline(Options.m_Codec, Options.m_Threads, g_StopRequested, Progress,
                            Options.m_Chunking.value_or(shared::TChunkingParameters::defaults()));
    Progress.begin(QStringLiteral("package"), PackageFiles.size(), totalSize(PackageFiles));
    TPackedDocument Package;
    try {
        Package = Pipeline.run(PackageFiles, PackageChunks);
    } catch (...) {
        Progress.end(false, 0);
        throw;
    }
    Progress.end(true, Package.m_Chunks.size());
    TPackedDocument Assets;
    if (WithAssets) {
        Progress.begin(QStringLiteral("assets"), AssetFiles.size(), totalSize(AssetFiles));
        try {
            Assets = Pipeline.run(AssetFiles, AssetChunks);
        } catch (...) {
            Progress.end(false, 0);
            throw;
        }
        Progress.end(true, Assets.m_Chunks.size());
    }

    // Only now, with every chunk on disk, the documents that name them.
    QJsonObject PackageRoot = packageHeader(Options, Executable);
    putContent(PackageRoot, Package, 0);
    if (WithAssets) {
        QJsonObject AssetsRoot;
        AssetsRoot.insert(QStringLiteral("version"), Options.m_AssetsVersion);
        putContent(AssetsRoot, Assets, static_cast<int>(Package.m_Chunks.size()));
        writeDocument(AssetsOutput + QLatin1Char('/') + kAssetsDocumentName, AssetsRoot, Options.m_SigningKey);
    }
    if (g_StopRequested) {
        throw TPackCancelled();
    }
    writeDocument(Output + QLatin1Char('/') + kPackageDocumentName, PackageRoot, Options.m_SigningKey);
    return 0;
}

} // namespace

int runPackCommand(QStringList Arguments)
{
    try {
        return pack(parseOptions(Arguments));
    } catch (const TUsageError& Error) {
        return reportError(QString::fromUtf8(Error.what()), kExitUsage);
    } catch (const TPackCancelled&) {
        return reportError(QStringLiteral("interrupted; package.json was not written (chunk files already finished are kept)"),
                           kExitInterrupted);
    } catch (const std::bad_alloc&) {
        return reportError(QStringLiteral("out of memory"), kExitFailure);
    } catch (const std::exception& Error) {
        return reportError(QString::fromUtf8(Error.what()) + QStringLiteral("; package.json was not written"), kExitFailure);
    }
}

} // namespace zarvo::pack
