// Scan throughput of content-defined chunking: MB/s of file bytes, once cutting alone and
// once cutting plus the SHA-256 of every piece, beside `openssl dgst -sha256` over the
// same file as the yardstick for reading and hashing.
//
//   torvane-bench-chunk FILE [PASSES]
// Every measurement runs PASSES times (default 3) and the best pass is reported; the
// first pass also brings the file into the page cache, so the numbers are hot-cache ones.

#include "ContentDefinedChunker.h"
#include "Sha256.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>

namespace {

// Seconds of the best of Passes runs of Work; negative when Work failed.
template<typename TWork> double bestSeconds(int Passes, const TWork& Work)
{
    double Best = 1e30;
    for (int Pass = 0; Pass < Passes; ++Pass) {
        QElapsedTimer Timer;
        Timer.start();
        if (!Work()) {
            return -1;
        }
        Best = std::min(Best, Timer.nsecsElapsed() / 1e9);
    }
    return Best;
}

void report(const char* What, double Seconds, qint64 Size)
{
    if (Seconds < 0) {
        std::printf("%-24s failed\n", What);
    } else {
        std::printf("%-24s %8.3f s %9.1f MB/s\n", What, Seconds, Size / Seconds / 1e6);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication Application(argc, argv);
    const QStringList Arguments = Application.arguments();
    if (Arguments.size() < 2) {
        std::fprintf(stderr, "usage: %s FILE [PASSES]\n", argv[0]);
        return 2;
    }
    const QString Path = Arguments.at(1);
    const int Passes = Arguments.size() > 2 ? std::max(1, Arguments.at(2).toInt()) : 3;
    const qint64 Size = QFileInfo(Path).size();

    std::size_t Pieces = 0;
    const double CutOnly = bestSeconds(Passes, [&] {
        Pieces = 0;
        return shared::chunkFile(Path, [&Pieces](const unsigned char*, std::size_t, std::uint64_t) {
            ++Pieces;
            return true;
        });
    });
    const double CutAndHash = bestSeconds(Passes, [&] {
        shared::TSha256 Hash;
        return shared::chunkFile(Path, [&Hash](const unsigned char* Piece, std::size_t Length, std::uint64_t) {
            Hash.addData(Piece, Length);
            Hash.result();
            return true;
        });
    });

    double OpenSsl = -1;
    const QString OpenSslProgram = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (!OpenSslProgram.isEmpty()) {
        OpenSsl = bestSeconds(Passes, [&] {
            QProcess Process;
            Process.setStandardOutputFile(QProcess::nullDevice());
            Process.start(OpenSslProgram, {QStringLiteral("dgst"), QStringLiteral("-sha256"), Path});
            return Process.waitForFinished(-1) && Process.exitStatus() == QProcess::NormalExit && Process.exitCode() == 0;
        });
    }

    std::printf("%s: %lld bytes, %zu pieces, best of %d\n", qPrintable(QFileInfo(Path).fileName()), static_cast<long long>(Size), Pieces,
                Passes);
    report("cut only", CutOnly, Size);
    report("cut + SHA-256", CutAndHash, Size);
    if (OpenSslProgram.isEmpty()) {
        std::printf("%-24s not found\n", "openssl dgst -sha256");
    } else {
        report("openssl dgst -sha256", OpenSsl, Size);
    }
    return CutOnly < 0 || CutAndHash < 0 ? 1 : 0;
}
