// torvane-pack: the publisher's tool for the launcher's packages.
//
//   torvane-pack unpack [--max-size BYTES] FILE
//       Writes the decoded bytes of a bundle container file to standard output and a
//       one-line summary of its header to standard error. A file that is not a
//       container is copied through unchanged.

#include "BundleContainer.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <cstdio>
#include <iostream>

namespace {

const char* const kUsage =
    "Usage:\n"
    "  torvane-pack unpack [--max-size BYTES] FILE\n"
    "      Decode a chunk or packed file (bundle container) to standard output.\n"
    "      A one-line summary (algorithm, declared sizes) goes to standard error.\n"
    "      Data that is not a container is copied through unchanged.\n"
    "      --max-size BYTES  refuse containers declaring more (default 1 GiB)\n"
    "  torvane-pack --help\n";

int fail(const QString& Message)
{
    std::cerr << "torvane-pack: " << Message.toStdString() << std::endl;
    return 1;
}

bool writeAll(const QByteArray& Data)
{
    return std::fwrite(Data.constData(), 1, static_cast<std::size_t>(Data.size()), stdout) == static_cast<std::size_t>(Data.size())
        && std::fflush(stdout) == 0;
}

int unpackCommand(QStringList Arguments)
{
    std::uint64_t Limit = shared::kDefaultUnpackedSizeLimit;
    QString Path;
    while (!Arguments.isEmpty()) {
        const QString Argument = Arguments.takeFirst();
        if (Argument == QLatin1String("--max-size")) {
            bool Ok = false;
            Limit = Arguments.isEmpty() ? 0 : Arguments.takeFirst().toULongLong(&Ok);
            if (!Ok || Limit == 0) {
                return fail(QStringLiteral("--max-size needs a positive number of bytes"));
            }
        } else if (Path.isEmpty()) {
            Path = Argument;
        } else {
            return fail(QStringLiteral("unexpected argument '%1'").arg(Argument));
        }
    }
    if (Path.isEmpty()) {
        return fail(QStringLiteral("unpack needs a FILE"));
    }
    QFile File(Path);
    if (!File.open(QIODevice::ReadOnly)) {
        return fail(QStringLiteral("cannot read '%1': %2").arg(Path, File.errorString()));
    }
    const QByteArray Data = File.readAll();
    shared::TBundleHeader Header;
    if (!shared::readBundleHeader(Data.constData(), static_cast<std::size_t>(Data.size()), Header)) {
        if (shared::isBundlePacked(Data)) {
            return fail(QStringLiteral("'%1': broken container header").arg(Path));
        }
        std::cerr << "not a container: " << Data.size() << " bytes copied unchanged" << std::endl;
        return writeAll(Data) ? 0 : fail(QStringLiteral("cannot write to standard output"));
    }
    std::cerr << "algorithm " << Header.m_Algorithm << ", unpacked size " << Header.m_UnpackedSize << ", packed size "
              << Header.m_PackedSize << std::endl;
    if (Header.m_UnpackedSize > Limit) {
        return fail(QStringLiteral("'%1' declares %2 bytes, more than the limit of %3 (see --max-size)")
                        .arg(Path)
                        .arg(Header.m_UnpackedSize)
                        .arg(Limit));
    }
    try {
        return writeAll(shared::decompressBundleData(Data, Limit)) ? 0 : fail(QStringLiteral("cannot write to standard output"));
    } catch (const shared::TDecompressionError& Error) {
        return fail(QStringLiteral("'%1': %2").arg(Path, QString::fromUtf8(Error.what())));
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication Application(argc, argv);
    QStringList Arguments = Application.arguments().mid(1);
    if (Arguments.isEmpty() || Arguments.first() == QLatin1String("--help") || Arguments.first() == QLatin1String("-h")) {
        std::cout << kUsage;
        return Arguments.isEmpty() ? 1 : 0;
    }
    const QString Command = Arguments.takeFirst();
    if (Command == QLatin1String("unpack")) {
        return unpackCommand(Arguments);
    }
    std::cerr << kUsage;
    return fail(QStringLiteral("unknown command '%1'").arg(Command));
}
