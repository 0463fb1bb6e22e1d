// Decode throughput of the bundle container's codecs: MB/s of unpacked output.
//
//   torvane-bench-decode FILE...
// Each FILE is a container; it is decoded repeatedly for about a second and the best
// pass is reported as "file algorithm unpacked-bytes MB/s".

#include "BundleContainer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication Application(argc, argv);
    for (const QString& Path : Application.arguments().mid(1)) {
        QFile File(Path);
        if (!File.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(Path));
            return 1;
        }
        const QByteArray Data = File.readAll();
        shared::TBundleHeader Header;
        if (!shared::readBundleHeader(Data.constData(), static_cast<std::size_t>(Data.size()), Header)) {
            std::fprintf(stderr, "%s: not a container\n", qPrintable(Path));
            return 1;
        }
        double Best = 1e30;
        QElapsedTimer Total;
        Total.start();
        int Passes = 0;
        qint64 Size = 0;
        while (Passes < 3 || Total.elapsed() < 1000) {
            QElapsedTimer Pass;
            Pass.start();
            const QByteArray Output = shared::decompressBundleData(Data, Header.m_UnpackedSize);
            Best = std::min(Best, Pass.nsecsElapsed() / 1e9);
            Size = Output.size();
            ++Passes;
        }
        std::printf("%-28s alg %2d %10lld bytes %9.1f MB/s\n", qPrintable(QFileInfo(Path).fileName()), Header.m_Algorithm,
                    static_cast<long long>(Size), Size / Best / 1e6);
    }
    return 0;
}
