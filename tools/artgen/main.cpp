// torvane-artgen: draws every launcher image.
//
//   torvane-artgen <output directory> [<contact sheet .png>]
//
// Writes the images under their resource file names into the output directory
// (created if missing) and, when asked, an overview picture of all of them.
// Output depends only on this code and the installed Liberation fonts.
#include "artgen.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageWriter>

#include <cstdio>

namespace {

bool writeImage(const QImage& Image, const QString& Path)
{
    QImageWriter Writer(Path);
    if (Path.endsWith(QLatin1String(".jpg"), Qt::CaseInsensitive)) {
        Writer.setFormat("jpeg");
        Writer.setQuality(92);
        Writer.setOptimizedWrite(true);
    } else {
        Writer.setFormat("png");
        Writer.setQuality(0); // Qt maps PNG quality 0 to the strongest zlib compression
    }
    if (!Writer.write(Image)) {
        std::fprintf(stderr, "torvane-artgen: cannot write %s: %s\n", qPrintable(QDir::toNativeSeparators(Path)),
                     qPrintable(Writer.errorString()));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    // No display is needed; the offscreen platform still resolves fonts through fontconfig.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication App(argc, argv);

    const QStringList Args = QCoreApplication::arguments();
    if (Args.size() < 2 || Args.size() > 3 || Args.at(1).startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr, "usage: torvane-artgen <output directory> [<contact sheet .png>]\n");
        return 2;
    }

    for (const QString& Family : {QStringLiteral("Liberation Sans"), QStringLiteral("Liberation Serif")}) {
        QString Resolved;
        if (!artgen::fontIsAvailable(Family, &Resolved)) {
            std::fprintf(stderr, "torvane-artgen: font \"%s\" is not installed (got \"%s\"); install fonts-liberation\n",
                         qPrintable(Family), qPrintable(Resolved));
            return 1;
        }
    }

    const QString OutDir = Args.at(1);
    if (!QDir().mkpath(OutDir)) {
        std::fprintf(stderr, "torvane-artgen: cannot create directory %s\n", qPrintable(QDir::toNativeSeparators(OutDir)));
        return 1;
    }

    const std::vector<artgen::TAsset> Assets = artgen::buildAllAssets();
    for (const artgen::TAsset& A : Assets) {
        const QString Path = QDir(OutDir).filePath(A.m_FileName);
        if (!writeImage(A.m_Image, Path))
            return 1;
        std::printf("%-36s %4d x %-4d  %7lld bytes\n", qPrintable(A.m_FileName), A.m_Image.width(), A.m_Image.height(),
                    static_cast<long long>(QFileInfo(Path).size()));
    }

    if (Args.size() == 3) {
        const QString SheetPath = Args.at(2);
        const QString SheetDir = QFileInfo(SheetPath).absolutePath();
        if (!QDir().mkpath(SheetDir)) {
            std::fprintf(stderr, "torvane-artgen: cannot create directory %s\n", qPrintable(QDir::toNativeSeparators(SheetDir)));
            return 1;
        }
        if (!writeImage(artgen::drawContactSheet(Assets), SheetPath))
            return 1;
        std::printf("contact sheet: %s\n", qPrintable(QDir::toNativeSeparators(SheetPath)));
    }
    return 0;
}
