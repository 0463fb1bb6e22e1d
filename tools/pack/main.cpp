// torvane-pack: the publisher's tool for the launcher's packages.
//
//   torvane-pack pack SOURCE_DIR OUTPUT_DIR --version VERSION [options]
//       Makes the package document and its chunk files from a directory of game files.
//   torvane-pack config OUTPUT_FILE [options]
//       Writes the launcher configuration document.
//   torvane-pack keygen KEYFILE
//       Makes an Ed25519 signing key; prints the public key for the launcher's settings.
//   torvane-pack unpack [--max-size BYTES] FILE
//       Writes the decoded bytes of a bundle container file to standard output and a
//       one-line summary of its header to standard error. A file that is not a
//       container is copied through unchanged.

#include "BundleContainer.h"
#include "PackTool.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <cstdio>
#include <iostream>

namespace zarvo::pack {

const char* const kHelpText = "torvane-pack: makes the packages and documents that the launcher downloads.\n"
                              "\n"
                              "Usage:\n"
                              "  torvane-pack pack SOURCE_DIR OUTPUT_DIR --version VERSION [options]\n"
                              "  torvane-pack config OUTPUT_FILE [options]\n"
                              "  torvane-pack unpack [--max-size BYTES] FILE\n"
                              "  torvane-pack keygen KEYFILE\n"
                              "  torvane-pack pubkey KEYFILE\n"
                              "  torvane-pack --help\n"
                              "\n"
                              "pack SOURCE_DIR OUTPUT_DIR\n"
                              "  Packs every file below SOURCE_DIR into OUTPUT_DIR/package.json (the document a\n"
                              "  build's \"url\" names) and the chunk files OUTPUT_DIR/chunks/<sha256>.bin. Upload\n"
                              "  OUTPUT_DIR as it is: the document names its chunks relative to itself.\n"
                              "  Files are cut by the launcher's content-defined chunking (by default files up to\n"
                              "  4 MiB stay whole, larger ones become chunks of 4 to 16 MiB). Each distinct chunk is\n"
                              "  compressed once and named after the SHA-256 of its content, so a chunk that did\n"
                              "  not change between two versions keeps its name and players download only the\n"
                              "  chunks they lack.\n"
                              "    --version VERSION      package version (required). Installed launchers update\n"
                              "                           only when this (or the assets version) changes: give\n"
                              "                           every upload a new one.\n"
                              "    --executable PATH      the client program, relative to SOURCE_DIR with '/'. A\n"
                              "                           warning says so when it is not among the packed files or\n"
                              "                           has no execute permission bit.\n"
                              "    --parameter ARG        an argument for the client; repeat for more (in order).\n"
                              "    --generation first|second\n"
                              "    --variant regular|preview|beta|test\n"
                              "    --codec CODEC          how chunks are compressed:\n"
                              "                             5, lzma     LZMA .lzma stream, level 6 (default)\n"
                              "                             4, lzip     one lzip member, level 6\n"
                              "                             3, deflate  raw DEFLATE, level 9\n"
                              "                             6, zpaq     ZPAQ, method 1\n"
                              "                             0, stored   no compression\n"
                              "                           A chunk that a codec cannot make smaller is stored\n"
                              "                           (container algorithm 0, packed size = unpacked size).\n"
                              "                           lzma, lzip and zpaq first try eight slices of a chunk of\n"
                              "                           1 MiB or more with fast DEFLATE: when none shrinks by 2 %,\n"
                              "                           the chunk is stored at once (compressed textures, audio,\n"
                              "                           video), which saves most of their time.\n"
                              "    --assets DIR ASSETS_OUTPUT_DIR\n"
                              "                           also packs the files below DIR into\n"
                              "                           ASSETS_OUTPUT_DIR/assets.json (a build's \"assetsurl\")\n"
                              "                           and ASSETS_OUTPUT_DIR/chunks/. The launcher joins both\n"
                              "                           documents into one chunk list, so the asset files count\n"
                              "                           their chunk positions on after the package's chunks: an\n"
                              "                           assets.json fits only the package.json of the same run.\n"
                              "                           Upload and replace the two together.\n"
                              "    --assets-version VERSION\n"
                              "                           version of the assets document (required with --assets;\n"
                              "                           avoid \"1\": launchers treat it as always out of date).\n"
                              "    --sign KEYFILE         also write package.json.sig (and assets.json.sig): the\n"
                              "                           base64 Ed25519 signature of the document's exact bytes.\n"
                              "                           Without --sign an old .sig beside a document is removed.\n"
                              "    --chunk-size SIZE      average chunk length: a power of two from 64K to 16M\n"
                              "                           (K = 1024 bytes, M = 1024K). Chunks are then SIZE/4 to\n"
                              "                           4 x SIZE long (at most 16M), and the document says so in\n"
                              "                           \"chunking\", so launchers cut their files alike. Smaller\n"
                              "                           chunks make updates smaller and requests more numerous.\n"
                              "                           Without it: 4M to 16M chunks, and no \"chunking\" key.\n"
                              "    --threads N            chunks compressed at once (default: processors).\n"
                              "    --quiet                no progress on standard error.\n"
                              "  What is packed: regular files, hidden ones too, and symbolic links to regular\n"
                              "  files (packed as copies of their target). A file is \"executable\" when any execute\n"
                              "  permission bit is set. Empty directories are not part of a package. Symbolic links\n"
                              "  to directories or to nothing, and special files, stop the run with an error.\n"
                              "  OUTPUT_DIR must not lie inside SOURCE_DIR.\n"
                              "  Output: the same files and options always give the same bytes, whatever --threads\n"
                              "  says. Chunk files are written first, each under a temporary name and then renamed;\n"
                              "  assets.json and package.json come last, the same way. A run that fails or is\n"
                              "  interrupted (Ctrl-C; a second Ctrl-C ends it at once) leaves the previous\n"
                              "  package.json in place, so no document ever names a missing chunk. Chunk files are\n"
                              "  never deleted: remove those that no published document names any more yourself.\n"
                              "  Memory: about 100 MiB plus, per thread, two chunks and the encoder (about 120 MiB\n"
                              "  a thread for LZMA).\n"
                              "\n"
                              "config OUTPUT_FILE\n"
                              "  Writes the launcher configuration document (the file the launcher's settings\n"
                              "  point to). Every build is for os \"linux\", architecture \"x86_64\". Build URLs may\n"
                              "  be absolute (http, https) or relative to the address of OUTPUT_FILE itself.\n"
                              "    --package NAME DIRECTORY URL\n"
                              "                           a client package: its display name, its directory below\n"
                              "                           the players' packages directory, and the URL of its\n"
                              "                           package.json. Repeat for more, in display order.\n"
                              "    --launcher URL         the launcher's own package.json (self-update).\n"
                              "    --assets-url URL       ) these three belong to the --package (or --launcher)\n"
                              "    --install-automatically) before them: its assets.json, installing it on a\n"
                              "    --logo-link URL        ) first launch, and the page its logo opens.\n"
                              "    --hints URL            the hints document.\n"
                              "    --hardwaresurvey URL   where the hardware survey is posted.\n"
                              "    --funnel URL           where funnel events are posted.\n"
                              "    --prevent-default-autostart\n"
                              "                           never start the default client by itself.\n"
                              "    --show-package-names   show a name label on each package.\n"
                              "    --sign KEYFILE         also write OUTPUT_FILE.sig, the document's signature.\n"
                              "\n"
                              "keygen KEYFILE\n"
                              "  Makes an Ed25519 key pair. The private key goes to KEYFILE (PEM, PKCS#8, mode\n"
                              "  0600; an existing file is never overwritten); the public key is printed as one\n"
                              "  base64 line (the 32 raw key bytes) for the launcher's [SECURITY] publicKeys.\n"
                              "pubkey KEYFILE\n"
                              "  Prints the public key of KEYFILE again, in the same form.\n"
                              "\n"
                              "unpack [--max-size BYTES] FILE\n"
                              "  Decodes a chunk or packed file (bundle container) to standard output; a one-line\n"
                              "  summary (algorithm, declared sizes) goes to standard error. Data that is not a\n"
                              "  container is copied through unchanged.\n"
                              "    --max-size BYTES       refuse containers declaring more (default 1 GiB).\n"
                              "\n"
                              "Exit status: 0 done, 1 failed (the message says why), 2 wrong command line,\n"
                              "130 interrupted.\n";

int reportError(const QString& Message, int ExitCode)
{
    std::cerr << "torvane-pack: " << Message.toStdString() << std::endl;
    return ExitCode;
}

QString takeValue(QStringList& Arguments, const QString& Option)
{
    if (Arguments.isEmpty()) {
        throw TUsageError(QStringLiteral("%1 needs a value").arg(Option));
    }
    return Arguments.takeFirst();
}

namespace {

bool writeAll(const QByteArray& Data)
{
    return std::fwrite(Data.constData(), 1, static_cast<std::size_t>(Data.size()), stdout) == static_cast<std::size_t>(Data.size()) &&
        std::fflush(stdout) == 0;
}

} // namespace

int runUnpackCommand(QStringList Arguments)
{
    std::uint64_t Limit = shared::kDefaultUnpackedSizeLimit;
    QString Path;
    while (!Arguments.isEmpty()) {
        const QString Argument = Arguments.takeFirst();
        if (Argument == QLatin1String("--max-size")) {
            bool Ok = false;
            Limit = Arguments.isEmpty() ? 0 : Arguments.takeFirst().toULongLong(&Ok);
            if (!Ok || Limit == 0) {
                return reportError(QStringLiteral("--max-size needs a positive number of bytes"), kExitUsage);
            }
        } else if (Path.isEmpty()) {
            Path = Argument;
        } else {
            return reportError(QStringLiteral("unexpected argument '%1'").arg(Argument), kExitUsage);
        }
    }
    if (Path.isEmpty()) {
        return reportError(QStringLiteral("unpack needs a FILE"), kExitUsage);
    }
    QFile File(Path);
    if (!File.open(QIODevice::ReadOnly)) {
        return reportError(QStringLiteral("cannot read '%1': %2").arg(Path, File.errorString()), kExitFailure);
    }
    const QByteArray Data = File.readAll();
    shared::TBundleHeader Header;
    if (!shared::readBundleHeader(Data.constData(), static_cast<std::size_t>(Data.size()), Header)) {
        if (shared::isBundlePacked(Data)) {
            return reportError(QStringLiteral("'%1': broken container header").arg(Path), kExitFailure);
        }
        std::cerr << "not a container: " << Data.size() << " bytes copied unchanged" << std::endl;
        return writeAll(Data) ? 0 : reportError(QStringLiteral("cannot write to standard output"), kExitFailure);
    }
    std::cerr << "algorithm " << Header.m_Algorithm << ", unpacked size " << Header.m_UnpackedSize << ", packed size "
              << Header.m_PackedSize << std::endl;
    if (Header.m_UnpackedSize > Limit) {
        return reportError(QStringLiteral("'%1' declares %2 bytes, more than the limit of %3 (see --max-size)")
                               .arg(Path)
                               .arg(Header.m_UnpackedSize)
                               .arg(Limit),
                           kExitFailure);
    }
    try {
        return writeAll(shared::decompressBundleData(Data, Limit))
            ? 0
            : reportError(QStringLiteral("cannot write to standard output"), kExitFailure);
    } catch (const shared::TDecompressionError& Error) {
        return reportError(QStringLiteral("'%1': %2").arg(Path, QString::fromUtf8(Error.what())), kExitFailure);
    }
}

} // namespace zarvo::pack

int main(int argc, char** argv)
{
    using namespace zarvo::pack;
    QCoreApplication Application(argc, argv);
    QStringList Arguments = Application.arguments().mid(1);
    if (Arguments.isEmpty()) {
        std::cerr << kHelpText;
        return kExitUsage;
    }
    const QString Command = Arguments.takeFirst();
    if (Command == QLatin1String("--help") || Command == QLatin1String("-h") || Command == QLatin1String("help")) {
        std::cout << kHelpText;
        return 0;
    }
    if (!Arguments.isEmpty() && (Arguments.first() == QLatin1String("--help") || Arguments.first() == QLatin1String("-h"))) {
        std::cout << kHelpText;
        return 0;
    }
    if (Command == QLatin1String("pack")) {
        return runPackCommand(Arguments);
    }
    if (Command == QLatin1String("config")) {
        return runConfigCommand(Arguments);
    }
    if (Command == QLatin1String("unpack")) {
        return runUnpackCommand(Arguments);
    }
    if (Command == QLatin1String("keygen")) {
        return runKeygenCommand(Arguments);
    }
    if (Command == QLatin1String("pubkey")) {
        return runPublicKeyCommand(Arguments);
    }
    return reportError(QStringLiteral("unknown command '%1' (see torvane-pack --help)").arg(Command), kExitUsage);
}
