// Drives the package configuration reader with a package document and an assets
// document. The input is split at the first record separator byte (0x1E): the package
// document before it, the assets document after it (empty when there is none).

#include "FuzzSupport.h"

#include "TPackageConfigurationReader.h"

#include <QByteArray>
#include <QUrl>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

constexpr char kSeparator = '\x1e';

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    using fuzzsupport::check;
    using namespace zarvo::launcher;
    fuzzsupport::silenceQtMessages();

    const QByteArray Input(reinterpret_cast<const char*>(Data), static_cast<int>(Size));
    const int Split = Input.indexOf(kSeparator);
    const QByteArray PackageDocument = Split < 0 ? Input : Input.left(Split);
    const QByteArray AssetsDocument = Split < 0 ? QByteArray() : Input.mid(Split + 1);

    const TPackageConfigurationReader Reader(PackageDocument, AssetsDocument,
                                             QUrl(QStringLiteral("https://cdn.example.test/torvane/client/1.0/")),
                                             QUrl(QStringLiteral("file:///opt/torvane/assets/")));
    check(Reader.m_PackageDocument == PackageDocument, "the package document is kept byte for byte");
    check(Reader.m_AssetsDocument == AssetsDocument, "the assets document is kept byte for byte");
    (void)Reader.versionLabel();

    if (!Reader.m_Valid) {
        check(Reader.m_Files.empty() && Reader.m_Chunks.empty(), "an invalid reader lists nothing");
        return 0;
    }
    // Everything after the reader indexes the chunk list with the files' positions.
    const auto ChunkCount = static_cast<std::int64_t>(Reader.m_Chunks.size());
    for (const TFileInPackage& File : Reader.m_Files) {
        for (const std::int32_t Position : File.m_Chunks) {
            check(Position >= 0 && Position < ChunkCount, "a valid reader's chunk positions are in range");
        }
    }
    check(std::is_sorted(Reader.m_Files.begin(), Reader.m_Files.end(),
                         [](const TFileInPackage& Left, const TFileInPackage& Right) { return Left.m_LocalFile < Right.m_LocalFile; }),
          "files are sorted by name");

    // the reader is copied into background tasks
    const TPackageConfigurationReader Copy(Reader);
    check(Copy.m_Files.size() == Reader.m_Files.size() && Copy.m_Chunks.size() == Reader.m_Chunks.size(), "copies keep the lists");
    return 0;
}
