// The launcher stretches most of its images with style-sheet border-images:
// a part that is repeated must not change along the repeat direction, or the
// seams show. These checks hold the art to that, to the sizes the launcher
// lays out, and drive the real generator for its file handling.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "artgen.h"

#ifndef ARTGEN_EXECUTABLE
#error "ARTGEN_EXECUTABLE must name the torvane-artgen binary"
#endif

namespace {

QMap<QString, QSize> expectedImages()
{
    QMap<QString, QSize> m;
    m.insert(QStringLiteral("BackgroundImage.jpg"), QSize(850, 450));
    m.insert(QStringLiteral("LauncherLogo_QT.png"), QSize(196, 152));
    m.insert(QStringLiteral("LauncherLogo_UpdatingLauncher.png"), QSize(196, 152));
    for (const char* v : {"QT", "Classic", "Preview", "Beta", "Test"}) {
        m.insert(QStringLiteral("TorvaneLogo_%1.png").arg(QLatin1String(v)), QSize(196, 152));
        m.insert(QStringLiteral("TorvaneLogo_%1_disabled.png").arg(QLatin1String(v)), QSize(196, 152));
    }
    for (const char* c : {"Blue", "Orange", "Red", "Green"})
        for (const char* s : {"idle", "hover", "pressed"})
            m.insert(QStringLiteral("Button_%1_%2.png").arg(QLatin1String(c), QLatin1String(s)), QSize(32, 32));
    for (const char* i : {"Download", "Update", "Play"})
        m.insert(QStringLiteral("Icon_%1.png").arg(QLatin1String(i)), QSize(34, 34));
    m.insert(QStringLiteral("checkbox-checked.png"), QSize(14, 14));
    m.insert(QStringLiteral("checkbox-unchecked.png"), QSize(14, 14));
    m.insert(QStringLiteral("ProgressBar_BG.png"), QSize(98, 40));
    m.insert(QStringLiteral("ProgressBar.png"), QSize(16, 36));
    m.insert(QStringLiteral("scrollbar-texture-vertical.png"), QSize(12, 16));
    m.insert(QStringLiteral("scrollbar-handle-vertical.png"), QSize(12, 32));
    for (const char* a : {"scrollbar-buttonup-up.png", "scrollbar-buttonup-down.png", "scrollbar-buttondown-up.png",
                          "scrollbar-buttondown-down.png"})
        m.insert(QLatin1String(a), QSize(12, 12));
    m.insert(QStringLiteral("hint-background.png"), QSize(40, 40));
    m.insert(QStringLiteral("clientpackage-background.png"), QSize(48, 48));
    m.insert(QStringLiteral("icircle.png"), QSize(16, 16));
    m.insert(QStringLiteral("Twitter.png"), QSize(24, 24));
    m.insert(QStringLiteral("Discord.png"), QSize(24, 24));
    m.insert(QStringLiteral("HalvernLogo.png"), QSize(132, 40));
    m.insert(QStringLiteral("LauncherIcon.png"), QSize(256, 256));
    return m;
}

// First (x, y) where columns x0..x1 differ from column x0 on some row, or
// an empty string when every row is constant over that span.
QString firstColumnMismatch(const QImage& img, int x0, int x1)
{
    for (int y = 0; y < img.height(); ++y)
        for (int x = x0 + 1; x <= x1; ++x)
            if (img.pixel(x, y) != img.pixel(x0, y))
                return QStringLiteral("(%1, %2)").arg(x).arg(y);
    return QString();
}

QString firstRowMismatch(const QImage& img, int y0, int y1)
{
    for (int x = 0; x < img.width(); ++x)
        for (int y = y0 + 1; y <= y1; ++y)
            if (img.pixel(x, y) != img.pixel(x, y0))
                return QStringLiteral("(%1, %2)").arg(x).arg(y);
    return QString();
}

struct Stats {
    double saturation = 0;
    double value = 0;
};

Stats visibleStats(const QImage& source)
{
    const QImage img = source.convertToFormat(QImage::Format_ARGB32);
    Stats s;
    double weight = 0;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = QColor::fromRgba(img.pixel(x, y));
            const double a = c.alphaF();
            s.saturation += c.hsvSaturationF() * a;
            s.value += c.valueF() * a;
            weight += a;
        }
    }
    if (weight > 0) {
        s.saturation /= weight;
        s.value /= weight;
    }
    return s;
}

struct RunResult {
    int exitCode = -1;
    QString stdErr;
};

RunResult runGenerator(const QStringList& args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(ARTGEN_EXECUTABLE), args);
    RunResult r;
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        r.stdErr = QStringLiteral("did not finish");
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.stdErr = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

}  // namespace

class TstArtgen : public QObject {
    Q_OBJECT

private:
    std::vector<artgen::Asset> m_Assets;

    const QImage& image(const QString& name) const
    {
        for (const artgen::Asset& a : m_Assets)
            if (a.fileName == name)
                return a.image;
        qFatal("no image %s", qPrintable(name));
    }

private slots:
    void initTestCase()
    {
        m_Assets = artgen::buildAllAssets();
    }

    void everyLauncherImageOnceAtItsLayoutSize()
    {
        QMap<QString, QSize> expected = expectedImages();
        QStringList unexpected;
        for (const artgen::Asset& a : m_Assets) {
            if (!expected.contains(a.fileName)) {
                unexpected << a.fileName;
                continue;
            }
            QCOMPARE(a.image.size(), expected.take(a.fileName));
        }
        QVERIFY2(unexpected.isEmpty(), qPrintable(QStringLiteral("unknown or repeated: ") + unexpected.join(u' ')));
        QVERIFY2(expected.isEmpty(), qPrintable(QStringLiteral("missing: ") + expected.keys().join(u' ')));
    }

    void slicedPartsDoNotChangeAlongTheirRepeat()
    {
        // Buttons: "4 4 4 4 repeat scale" -> the middle columns are tiled.
        for (const char* c : {"Blue", "Orange", "Red", "Green"}) {
            for (const char* s : {"idle", "hover", "pressed"}) {
                const QString name = QStringLiteral("Button_%1_%2.png").arg(QLatin1String(c), QLatin1String(s));
                const QString bad = firstColumnMismatch(image(name), 4, 27);
                QVERIFY2(bad.isEmpty(), qPrintable(name + QStringLiteral(" varies across its middle at ") + bad));
            }
        }
        // Package panel: "16 16 16 16 repeat repeat" -> middle rows and columns tiled.
        const QImage& panel = image(QStringLiteral("clientpackage-background.png"));
        QCOMPARE(firstColumnMismatch(panel, 16, 31), QString());
        QCOMPARE(firstRowMismatch(panel, 16, 31), QString());
        // Hints panel: "5 5 0 5 repeat" -> everything below the top slice repeats down.
        const QImage& hint = image(QStringLiteral("hint-background.png"));
        QCOMPARE(firstColumnMismatch(hint, 5, 34), QString());
        QCOMPARE(firstRowMismatch(hint, 5, 39), QString());
        // Progress chunk is stretched to any width; the groove texture is tiled down.
        QCOMPARE(firstColumnMismatch(image(QStringLiteral("ProgressBar.png")), 0, 15), QString());
        QCOMPARE(firstRowMismatch(image(QStringLiteral("scrollbar-texture-vertical.png")), 0, 15), QString());
        // Handle: "6 6 6 6" stretched down; a plain middle keeps it clean at any length.
        QCOMPARE(firstRowMismatch(image(QStringLiteral("scrollbar-handle-vertical.png")), 6, 25), QString());
    }

    void splashCardsAreOpaqueAndOverlaysAreNot()
    {
        // A splash screen window has no transparency: any alpha would show as black.
        for (const char* n : {"LauncherLogo_QT.png", "LauncherLogo_UpdatingLauncher.png"}) {
            const QImage img = image(QLatin1String(n)).convertToFormat(QImage::Format_ARGB32);
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x)
                    QVERIFY2(qAlpha(img.pixel(x, y)) == 255, n);
        }
        // Logos, icons and buttons sit on the background: their corners are see-through.
        for (const artgen::Asset& a : m_Assets) {
            if (a.fileName.startsWith(QLatin1String("TorvaneLogo_")) || a.fileName.startsWith(QLatin1String("Icon_")) ||
                a.fileName.startsWith(QLatin1String("Button_"))) {
                const QImage img = a.image.convertToFormat(QImage::Format_ARGB32);
                QVERIFY2(qAlpha(img.pixel(0, 0)) < 128 && qAlpha(img.pixel(img.width() - 1, img.height() - 1)) < 128,
                         qPrintable(a.fileName));
            }
        }
    }

    void desktopIconIsAnOpaquePlateWithSeeThroughCorners()
    {
        // desktops draw the icon on any colour: the rounded plate's corners must let it
        // through, and the plate itself must not
        const QImage img = image(QStringLiteral("LauncherIcon.png")).convertToFormat(QImage::Format_ARGB32);
        for (const QPoint& corner : {QPoint(0, 0), QPoint(255, 0), QPoint(0, 255), QPoint(255, 255), QPoint(14, 14), QPoint(241, 241)})
            QVERIFY2(qAlpha(img.pixel(corner)) == 0, qPrintable(QStringLiteral("(%1, %2)").arg(corner.x()).arg(corner.y())));
        for (const QPoint& inside : {QPoint(128, 128), QPoint(128, 20), QPoint(20, 128), QPoint(236, 128), QPoint(128, 236), QPoint(40, 40)})
            QVERIFY2(qAlpha(img.pixel(inside)) == 255, qPrintable(QStringLiteral("(%1, %2)").arg(inside.x()).arg(inside.y())));
    }

    void disabledLogosAreGreyerAndDarker()
    {
        for (const char* v : {"QT", "Classic", "Preview", "Beta", "Test"}) {
            const Stats on = visibleStats(image(QStringLiteral("TorvaneLogo_%1.png").arg(QLatin1String(v))));
            const Stats off = visibleStats(image(QStringLiteral("TorvaneLogo_%1_disabled.png").arg(QLatin1String(v))));
            QVERIFY2(off.saturation < on.saturation * 0.3, v);
            QVERIFY2(off.value < on.value * 0.75, v);
        }
    }

    void pressedButtonsAreDarkerAndHoverLighter()
    {
        for (const char* c : {"Blue", "Orange", "Red", "Green"}) {
            const double idle = visibleStats(image(QStringLiteral("Button_%1_idle.png").arg(QLatin1String(c)))).value;
            const double hover = visibleStats(image(QStringLiteral("Button_%1_hover.png").arg(QLatin1String(c)))).value;
            const double pressed =
                visibleStats(image(QStringLiteral("Button_%1_pressed.png").arg(QLatin1String(c)))).value;
            QVERIFY2(hover > idle && pressed < idle, c);
        }
    }

    void drawingIsRepeatable()
    {
        const std::vector<artgen::Asset> again = artgen::buildAllAssets();
        QCOMPARE(again.size(), m_Assets.size());
        for (size_t i = 0; i < again.size(); ++i)
            QVERIFY2(again[i].image == m_Assets[i].image, qPrintable(again[i].fileName));
    }

    void generatorWritesLoadableFiles()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString out = dir.filePath(QStringLiteral("images/launcher"));
        const QString sheet = dir.filePath(QStringLiteral("docs/art.png"));
        const RunResult r = runGenerator({out, sheet});
        QVERIFY2(r.exitCode == 0, qPrintable(r.stdErr));
        const QMap<QString, QSize> expected = expectedImages();
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            const QImage loaded(QDir(out).filePath(it.key()));
            QVERIFY2(!loaded.isNull(), qPrintable(it.key()));
            QCOMPARE(loaded.size(), it.value());
        }
        QCOMPARE(QDir(out).entryList(QDir::Files).size(), expected.size());
        const QImage overview(sheet);
        QVERIFY(!overview.isNull());
        QVERIFY(overview.width() > 850 && overview.height() > 450);
    }

    void generatorRejectsBadArgumentsAndPaths()
    {
        RunResult r = runGenerator({});
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.stdErr.contains(QLatin1String("usage:")));

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // The output "directory" is a file: refused, and the file is left alone.
        const QString blocker = dir.filePath(QStringLiteral("not-a-dir"));
        {
            QFile f(blocker);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("keep me");
        }
        r = runGenerator({blocker});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.stdErr.contains(QLatin1String("cannot create directory")), qPrintable(r.stdErr));
        QFile f(blocker);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("keep me"));

        // An image path taken by a directory: the write fails with its name,
        // and whatever is in that directory stays.
        const QString out = dir.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(QDir(out).filePath(QStringLiteral("icircle.png"))));
        QFile inside(QDir(out).filePath(QStringLiteral("icircle.png/keep.txt")));
        QVERIFY(inside.open(QIODevice::WriteOnly));
        inside.write("x");
        inside.close();
        r = runGenerator({out});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.stdErr.contains(QLatin1String("cannot write")) && r.stdErr.contains(QLatin1String("icircle.png")),
                 qPrintable(r.stdErr));
        QVERIFY(QFile::exists(inside.fileName()));
    }
};

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    TstArtgen test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_artgen.moc"
