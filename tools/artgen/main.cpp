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

bool writeImage(const QImage& image, const QString& path)
{
    QImageWriter writer(path);
    if (path.endsWith(QLatin1String(".jpg"), Qt::CaseInsensitive)) {
        writer.setFormat("jpeg");
        writer.setQuality(92);
        writer.setOptimizedWrite(true);
    } else {
        writer.setFormat("png");
        writer.setQuality(0);  // Qt maps PNG quality 0 to the strongest zlib compression
    }
    if (!writer.write(image)) {
        std::fprintf(stderr, "torvane-artgen: cannot write %s: %s\n", qPrintable(QDir::toNativeSeparators(path)),
                     qPrintable(writer.errorString()));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[])
{
    // No display is needed; the offscreen platform still resolves fonts through fontconfig.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2 || args.size() > 3 || args.at(1).startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr, "usage: torvane-artgen <output directory> [<contact sheet .png>]\n");
        return 2;
    }

    for (const QString& family : {QStringLiteral("Liberation Sans"), QStringLiteral("Liberation Serif")}) {
        QString resolved;
        if (!artgen::fontIsAvailable(family, &resolved)) {
            std::fprintf(stderr,
                         "torvane-artgen: font \"%s\" is not installed (got \"%s\"); install fonts-liberation\n",
                         qPrintable(family), qPrintable(resolved));
            return 1;
        }
    }

    const QString outDir = args.at(1);
    if (!QDir().mkpath(outDir)) {
        std::fprintf(stderr, "torvane-artgen: cannot create directory %s\n",
                     qPrintable(QDir::toNativeSeparators(outDir)));
        return 1;
    }

    const std::vector<artgen::Asset> assets = artgen::buildAllAssets();
    for (const artgen::Asset& a : assets) {
        const QString path = QDir(outDir).filePath(a.fileName);
        if (!writeImage(a.image, path))
            return 1;
        std::printf("%-36s %4d x %-4d  %7lld bytes\n", qPrintable(a.fileName), a.image.width(), a.image.height(),
                    static_cast<long long>(QFileInfo(path).size()));
    }

    if (args.size() == 3) {
        const QString sheetPath = args.at(2);
        const QString sheetDir = QFileInfo(sheetPath).absolutePath();
        if (!QDir().mkpath(sheetDir)) {
            std::fprintf(stderr, "torvane-artgen: cannot create directory %s\n",
                         qPrintable(QDir::toNativeSeparators(sheetDir)));
            return 1;
        }
        if (!writeImage(artgen::drawContactSheet(assets), sheetPath))
            return 1;
        std::printf("contact sheet: %s\n", qPrintable(QDir::toNativeSeparators(sheetPath)));
    }
    return 0;
}
