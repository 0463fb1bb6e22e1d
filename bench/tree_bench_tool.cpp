// Writes the generated game trees the benchmarks work on (see fillGameData: data that
// LZMA shrinks only a little, like packed textures and sounds).
//
//   torvane-bench-tree game DIR VERSION     about 1 GB in ~1,700 files from 1 KB to 300 MB;
//                                           VERSION 2 is a patch of VERSION 1 (below)
//   torvane-bench-tree single DIR MB        one file of MB megabytes (DIR/data/archive.pak)
//
// The tree is written anew: files of the other version that this one lacks are removed.
// Version 2 against version 1: 64 KiB overwritten in the middle of the 150 MB archive,
// 1,000 bytes inserted at three quarters of the first 80 MB archive (the chunks behind
// it move), five 1 MB files and every tenth 10 KB file changed, one 1 KB file gone and
// one 5 MB file new.

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct TFileLayout {
    QString m_Path;
    std::uint64_t m_Size = 0;
    std::uint64_t m_Seed = 0;
    // a change: bytes overwritten at m_EditOffset, or inserted there when m_Insert
    std::uint64_t m_EditOffset = 0;
    std::uint64_t m_EditLength = 0;
    bool m_Insert = false;
};

std::vector<TFileLayout> gameTree(int Version)
{
    std::vector<TFileLayout> Files;
    std::uint64_t Seed = 1000;
    const auto Add = [&](const QString& Path, std::uint64_t Size) {
        Files.push_back({Path, Size, ++Seed, 0, 0, false});
        return &Files.back();
    };
    const std::uint64_t MB = 1000 * 1000;
    Add(QStringLiteral("data/world.pak"), 300 * MB);
    Add(QStringLiteral("data/textures.pak"), 150 * MB);
    Add(QStringLiteral("data/sounds0.pak"), 80 * MB);
    Add(QStringLiteral("data/sounds1.pak"), 80 * MB);
    Add(QStringLiteral("data/movies.pak"), 45 * MB);
    for (int Index = 0; Index < 3; ++Index) {
        Add(QStringLiteral("data/level%1.pak").arg(Index), 40 * MB);
    }
    for (int Index = 0; Index < 8; ++Index) {
        Add(QStringLiteral("data/maps/map%1.bin").arg(Index), 12 * MB);
    }
    for (int Index = 0; Index < 10; ++Index) {
        Add(QStringLiteral("bin/lib%1.so").arg(Index), 5 * MB);
    }
    for (int Index = 0; Index < 40; ++Index) {
        Add(QStringLiteral("data/models/model%1.mdl").arg(Index), 1 * MB);
    }
    for (int Index = 0; Index < 300; ++Index) {
        Add(QStringLiteral("data/ui/%1/panel%2.img").arg(Index / 50).arg(Index), 100 * 1000);
    }
    for (int Index = 0; Index < 800; ++Index) {
        Add(QStringLiteral("data/scripts/%1/script%2.lua").arg(Index / 100).arg(Index), 10 * 1000);
    }
    for (int Index = 0; Index < 500; ++Index) {
        Add(QStringLiteral("config/%1/setting%2.cfg").arg(Index / 100).arg(Index), 1000);
    }
    if (Version == 2) {
        std::vector<TFileLayout> Patched;
        for (TFileLayout File : Files) {
            if (File.m_Path == QLatin1String("data/textures.pak")) {
                File.m_EditOffset = File.m_Size / 2;
                File.m_EditLength = 65536;
            } else if (File.m_Path == QLatin1String("data/sounds0.pak")) {
                File.m_EditOffset = File.m_Size / 4 * 3;
                File.m_EditLength = 1000;
                File.m_Insert = true;
            } else if (File.m_Path.startsWith(QLatin1String("data/models/model")) && File.m_Path.endsWith(QLatin1String("0.mdl"))) {
                File.m_Seed += 500000; // model0, model10, model20, model30
            } else if (File.m_Path == QLatin1String("data/models/model1.mdl")) {
                File.m_Seed += 500000;
            } else if (File.m_Path.startsWith(QLatin1String("data/scripts/")) && File.m_Seed % 10 == 0) {
                File.m_Seed += 500000;
            } else if (File.m_Path == QLatin1String("config/0/setting0.cfg")) {
                continue; // removed
            }
            Patched.push_back(File);
        }
        Patched.push_back({QStringLiteral("bin/lib10.so"), 5 * MB, 777777, 0, 0, false});
        Files = Patched;
    }
    return Files;
}

bool writeFile(const QString& Root, const TFileLayout& Layout)
{
    const QString Path = Root + QLatin1Char('/') + Layout.m_Path;
    QDir().mkpath(QFileInfo(Path).absolutePath());
    QFile File(Path);
    if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(Path));
        return false;
    }
    // generated in 16 MiB pieces, each from its own seed, so an edit can be placed by offset
    constexpr std::uint64_t kPiece = 16 * 1024 * 1024;
    std::unique_ptr<unsigned char[]> Buffer(new unsigned char[kPiece]);
    std::unique_ptr<unsigned char[]> Edit;
    if (Layout.m_EditLength > 0) {
        Edit.reset(new unsigned char[Layout.m_EditLength]);
        benchsupport::fillGameData(Edit.get(), Layout.m_EditLength, Layout.m_Seed * 7919 + 17);
    }
    bool EditDone = Layout.m_EditLength == 0;
    for (std::uint64_t Offset = 0; Offset < Layout.m_Size; Offset += kPiece) {
        const std::uint64_t Length = std::min(kPiece, Layout.m_Size - Offset);
        benchsupport::fillGameData(Buffer.get(), Length, Layout.m_Seed * 1000003 + Offset / kPiece);
        std::uint64_t Written = 0;
        if (!EditDone && Layout.m_EditOffset >= Offset && Layout.m_EditOffset < Offset + Length) {
            const std::uint64_t At = Layout.m_EditOffset - Offset;
            if (Layout.m_Insert) {
                File.write(reinterpret_cast<const char*>(Buffer.get()), static_cast<qint64>(At));
                File.write(reinterpret_cast<const char*>(Edit.get()), static_cast<qint64>(Layout.m_EditLength));
                Written = At;
            } else {
                std::memcpy(Buffer.get() + At, Edit.get(), std::min(Layout.m_EditLength, Length - At));
            }
            EditDone = true;
        }
        if (File.write(reinterpret_cast<const char*>(Buffer.get()) + Written, static_cast<qint64>(Length - Written)) !=
            static_cast<qint64>(Length - Written)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(Path));
            return false;
        }
    }
    return true;
}

int writeTree(const QString& RootArgument, const std::vector<TFileLayout>& Files)
{
    const QString Root = QDir(RootArgument).absolutePath();
    QSet<QString> Wanted;
    std::uint64_t Total = 0;
    for (const TFileLayout& Layout : Files) {
        if (!writeFile(Root, Layout)) {
            return 1;
        }
        Wanted.insert(Layout.m_Path);
        Total += Layout.m_Size + (Layout.m_Insert ? Layout.m_EditLength : 0);
    }
    QDirIterator Iterator(Root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    QStringList Stale;
    while (Iterator.hasNext()) {
        const QString Path = Iterator.next();
        if (!Wanted.contains(QDir(Root).relativeFilePath(Path))) {
            Stale << Path;
        }
    }
    for (const QString& Path : Stale) {
        QFile::remove(Path);
    }
    std::printf("%zu files, %llu bytes in %s\n", Files.size(), static_cast<unsigned long long>(Total), qPrintable(Root));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication Application(argc, argv);
    const QStringList Arguments = Application.arguments();
    if (Arguments.size() == 4 && Arguments.at(1) == QLatin1String("game")) {
        const int Version = Arguments.at(3).toInt();
        if (Version != 1 && Version != 2) {
            std::fprintf(stderr, "VERSION is 1 or 2\n");
            return 2;
        }
        return writeTree(Arguments.at(2), gameTree(Version));
    }
    if (Arguments.size() == 4 && Arguments.at(1) == QLatin1String("single")) {
        const std::uint64_t Megabytes = Arguments.at(3).toULongLong();
        if (Megabytes == 0) {
            std::fprintf(stderr, "MB must be a positive number\n");
            return 2;
        }
        return writeTree(Arguments.at(2), {{QStringLiteral("data/archive.pak"), Megabytes * 1000 * 1000, 42, 0, 0, false}});
    }
    std::fprintf(stderr, "usage: %s game DIR 1|2\n       %s single DIR MB\n", argv[0], argv[0]);
    return 2;
}
