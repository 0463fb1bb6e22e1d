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
    QMap<QString, QSize> M;
    M.insert(QStringLiteral("BackgroundImage.jpg"), QSize(850, 450));
    M.insert(QStringLiteral("LauncherLogo_QT.png"), QSize(196, 152));
    M.insert(QStringLiteral("LauncherLogo_UpdatingLauncher.png"), QSize(196, 152));
    for (const char* pVariant : {"QT", "Classic", "Preview", "Beta", "Test"}) {
        M.insert(QStringLiteral("TorvaneLogo_%1.png").arg(QLatin1String(pVariant)), QSize(196, 152));
        M.insert(QStringLiteral("TorvaneLogo_%1_disabled.png").arg(QLatin1String(pVariant)), QSize(196, 152));
    }
    for (const char* pC : {"Blue", "Orange", "Red", "Green"})
        for (const char* pS : {"idle", "hover", "pressed"})
            M.insert(QStringLiteral("Button_%1_%2.png").arg(QLatin1String(pC), QLatin1String(pS)), QSize(32, 32));
    for (const char* pI : {"Download", "Update", "Play"})
        M.insert(QStringLiteral("Icon_%1.png").arg(QLatin1String(pI)), QSize(34, 34));
    M.insert(QStringLiteral("checkbox-checked.png"), QSize(14, 14));
    M.insert(QStringLiteral("checkbox-unchecked.png"), QSize(14, 14));
    M.insert(QStringLiteral("ProgressBar_BG.png"), QSize(98, 40));
    M.insert(QStringLiteral("ProgressBar.png"), QSize(16, 36));
    M.insert(QStringLiteral("scrollbar-texture-vertical.png"), QSize(12, 16));
    M.insert(QStringLiteral("scrollbar-handle-vertical.png"), QSize(12, 32));
    for (const char* pA :
         {"scrollbar-buttonup-up.png", "scrollbar-buttonup-down.png", "scrollbar-buttondown-up.png", "scrollbar-buttondown-down.png"})
        M.insert(QLatin1String(pA), QSize(12, 12));
    M.insert(QStringLiteral("hint-background.png"), QSize(40, 40));
    M.insert(QStringLiteral("clientpackage-background.png"), QSize(48, 48));
    M.insert(QStringLiteral("icircle.png"), QSize(16, 16));
    M.insert(QStringLiteral("Twitter.png"), QSize(24, 24));
    M.insert(QStringLiteral("Discord.png"), QSize(24, 24));
    M.insert(QStringLiteral("HalvernLogo.png"), QSize(132, 40));
    M.insert(QStringLiteral("LauncherIcon.png"), QSize(256, 256));
    return M;
}

// First (x, y) where columns x0..x1 differ from column x0 on some row, or
// an empty string when every row is constant over that span.
QString firstColumnMismatch(const QImage& Img, int X0, int X1)
{
    for (int Y = 0; Y < Img.height(); ++Y)
        for (int X = X0 + 1; X <= X1; ++X)
            if (Img.pixel(X, Y) != Img.pixel(X0, Y))
                return QStringLiteral("(%1, %2)").arg(X).arg(Y);
    return QString();
}

QString firstRowMismatch(const QImage& Img, int Y0, int Y1)
{
    for (int X = 0; X < Img.width(); ++X)
        for (int Y = Y0 + 1; Y <= Y1; ++Y)
            if (Img.pixel(X, Y) != Img.pixel(X, Y0))
                return QStringLiteral("(%1, %2)").arg(X).arg(Y);
    return QString();
}

struct TStats {
    double m_Saturation = 0;
    double m_Value = 0;
};

TStats visibleStats(const QImage& Source)
{
    const QImage Img = Source.convertToFormat(QImage::Format_ARGB32);
    TStats S;
    double Weight = 0;
    for (int Y = 0; Y < Img.height(); ++Y) {
        for (int X = 0; X < Img.width(); ++X) {
            const QColor C = QColor::fromRgba(Img.pixel(X, Y));
            const double A = C.alphaF();
            S.m_Saturation += C.hsvSaturationF() * A;
            S.m_Value += C.valueF() * A;
            Weight += A;
        }
    }
    if (Weight > 0) {
        S.m_Saturation /= Weight;
        S.m_Value /= Weight;
    }
    return S;
}

struct TRunResult {
    int m_ExitCode = -1;
    QString m_StdErr;
};

TRunResult runGenerator(const QStringList& Args)
{
    QProcess P;
    QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
    Env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    P.setProcessEnvironment(Env);
    P.start(QStringLiteral(ARTGEN_EXECUTABLE), Args);
    TRunResult R;
    if (!P.waitForFinished(120000)) {
        P.kill();
        P.waitForFinished();
        R.m_StdErr = QStringLiteral("did not finish");
        return R;
    }
    R.m_ExitCode = P.exitStatus() == QProcess::NormalExit ? P.exitCode() : -1;
    R.m_StdErr = QString::fromLocal8Bit(P.readAllStandardError());
    return R;
}

} // namespace

class TestArtgen : public QObject {
    Q_OBJECT

private:
    std::vector<artgen::TAsset> m_Assets;

    const QImage& image(const QString& Name) const
    {
        for (const artgen::TAsset& A : m_Assets)
            if (A.m_FileName == Name)
                return A.m_Image;
        qFatal("no image %s", qPrintable(Name));
    }

private slots:
    void initTestCase() { m_Assets = artgen::buildAllAssets(); }

    void everyLauncherImageOnceAtItsLayoutSize()
    {
        QMap<QString, QSize> Expected = expectedImages();
        QStringList Unexpected;
        for (const artgen::TAsset& A : m_Assets) {
            if (!Expected.contains(A.m_FileName)) {
                Unexpected << A.m_FileName;
                continue;
            }
            QCOMPARE(A.m_Image.size(), Expected.take(A.m_FileName));
        }
        QVERIFY2(Unexpected.isEmpty(), qPrintable(QStringLiteral("unknown or repeated: ") + Unexpected.join(u' ')));
        QVERIFY2(Expected.isEmpty(), qPrintable(QStringLiteral("missing: ") + Expected.keys().join(u' ')));
    }

    void slicedPartsDoNotChangeAlongTheirRepeat()
    {
        // Buttons: "4 4 4 4 repeat scale" -> the middle columns are tiled.
        for (const char* pC : {"Blue", "Orange", "Red", "Green"}) {
            for (const char* pS : {"idle", "hover", "pressed"}) {
                const QString Name = QStringLiteral("Button_%1_%2.png").arg(QLatin1String(pC), QLatin1String(pS));
                const QString Bad = firstColumnMismatch(image(Name), 4, 27);
                QVERIFY2(Bad.isEmpty(), qPrintable(Name + QStringLiteral(" varies across its middle at ") + Bad));
            }
        }
        // Package panel: "16 16 16 16 repeat repeat" -> middle rows and columns tiled.
        const QImage& Panel = image(QStringLiteral("clientpackage-background.png"));
        QCOMPARE(firstColumnMismatch(Panel, 16, 31), QString());
        QCOMPARE(firstRowMismatch(Panel, 16, 31), QString());
        // Hints panel: "5 5 0 5 repeat" -> everything below the top slice repeats down.
        const QImage& Hint = image(QStringLiteral("hint-background.png"));
        QCOMPARE(firstColumnMismatch(Hint, 5, 34), QString());
        QCOMPARE(firstRowMismatch(Hint, 5, 39), QString());
        // Progress chunk is stretched to any width; the groove texture is tiled down.
        QCOMPARE(firstColumnMismatch(image(QStringLiteral("ProgressBar.png")), 0, 15), QString());
        QCOMPARE(firstRowMismatch(image(QStringLiteral("scrollbar-texture-vertical.png")), 0, 15), QString());
        // Handle: "6 6 6 6" stretched down; a plain middle keeps it clean at any length.
        QCOMPARE(firstRowMismatch(image(QStringLiteral("scrollbar-handle-vertical.png")), 6, 25), QString());
    }

    void splashCardsAreOpaqueAndOverlaysAreNot()
    {
        // A splash screen window has no transparency: any alpha would show as black.
        for (const char* pN : {"LauncherLogo_QT.png", "LauncherLogo_UpdatingLauncher.png"}) {
            const QImage Img = image(QLatin1String(pN)).convertToFormat(QImage::Format_ARGB32);
            for (int Y = 0; Y < Img.height(); ++Y)
                for (int X = 0; X < Img.width(); ++X)
                    QVERIFY2(qAlpha(Img.pixel(X, Y)) == 255, pN);
        }
        // Logos, icons and buttons sit on the background: their corners are see-through.
        for (const artgen::TAsset& A : m_Assets) {
            if (A.m_FileName.startsWith(QLatin1String("TorvaneLogo_")) || A.m_FileName.startsWith(QLatin1String("Icon_")) ||
                A.m_FileName.startsWith(QLatin1String("Button_"))) {
                const QImage Img = A.m_Image.convertToFormat(QImage::Format_ARGB32);
                QVERIFY2(qAlpha(Img.pixel(0, 0)) < 128 && qAlpha(Img.pixel(Img.width() - 1, Img.height() - 1)) < 128,
                         qPrintable(A.m_FileName));
            }
        }
    }

    void desktopIconIsAnOpaquePlateWithSeeThroughCorners()
    {
        // desktops draw the icon on any colour: the rounded plate's corners must let it
        // through, and the plate itself must not
        const QImage Img = image(QStringLiteral("LauncherIcon.png")).convertToFormat(QImage::Format_ARGB32);
        for (const QPoint& Corner : {QPoint(0, 0), QPoint(255, 0), QPoint(0, 255), QPoint(255, 255), QPoint(14, 14), QPoint(241, 241)})
            QVERIFY2(qAlpha(Img.pixel(Corner)) == 0, qPrintable(QStringLiteral("(%1, %2)").arg(Corner.x()).arg(Corner.y())));
        for (const QPoint& Inside :
             {QPoint(128, 128), QPoint(128, 20), QPoint(20, 128), QPoint(236, 128), QPoint(128, 236), QPoint(40, 40)})
            QVERIFY2(qAlpha(Img.pixel(Inside)) == 255, qPrintable(QStringLiteral("(%1, %2)").arg(Inside.x()).arg(Inside.y())));
    }

    void disabledLogosAreGreyerAndDarker()
    {
        for (const char* pVariant : {"QT", "Classic", "Preview", "Beta", "Test"}) {
            const TStats On = visibleStats(image(QStringLiteral("TorvaneLogo_%1.png").arg(QLatin1String(pVariant))));
            const TStats Off = visibleStats(image(QStringLiteral("TorvaneLogo_%1_disabled.png").arg(QLatin1String(pVariant))));
            QVERIFY2(Off.m_Saturation < On.m_Saturation * 0.3, pVariant);
            QVERIFY2(Off.m_Value < On.m_Value * 0.75, pVariant);
        }
    }

    void pressedButtonsAreDarkerAndHoverLighter()
    {
        for (const char* pC : {"Blue", "Orange", "Red", "Green"}) {
            const double Idle = visibleStats(image(QStringLiteral("Button_%1_idle.png").arg(QLatin1String(pC)))).m_Value;
            const double Hover = visibleStats(image(QStringLiteral("Button_%1_hover.png").arg(QLatin1String(pC)))).m_Value;
            const double Pressed = visibleStats(image(QStringLiteral("Button_%1_pressed.png").arg(QLatin1String(pC)))).m_Value;
            QVERIFY2(Hover > Idle && Pressed < Idle, pC);
        }
    }

    void drawingIsRepeatable()
    {
        const std::vector<artgen::TAsset> Again = artgen::buildAllAssets();
        QCOMPARE(Again.size(), m_Assets.size());
        for (size_t I = 0; I < Again.size(); ++I)
            QVERIFY2(Again[I].m_Image == m_Assets[I].m_Image, qPrintable(Again[I].m_FileName));
    }

    void generatorWritesLoadableFiles()
    {
        QTemporaryDir Dir;
        QVERIFY(Dir.isValid());
        const QString Out = Dir.filePath(QStringLiteral("images/launcher"));
        const QString Sheet = Dir.filePath(QStringLiteral("docs/art.png"));
        const TRunResult R = runGenerator({Out, Sheet});
        QVERIFY2(R.m_ExitCode == 0, qPrintable(R.m_StdErr));
        const QMap<QString, QSize> Expected = expectedImages();
        for (auto It = Expected.cbegin(); It != Expected.cend(); ++It) {
            const QImage Loaded(QDir(Out).filePath(It.key()));
            QVERIFY2(!Loaded.isNull(), qPrintable(It.key()));
            QCOMPARE(Loaded.size(), It.value());
        }
        QCOMPARE(QDir(Out).entryList(QDir::Files).size(), Expected.size());
        const QImage Overview(Sheet);
        QVERIFY(!Overview.isNull());
        QVERIFY(Overview.width() > 850 && Overview.height() > 450);
    }

    void generatorRejectsBadArgumentsAndPaths()
    {
        TRunResult R = runGenerator({});
        QCOMPARE(R.m_ExitCode, 2);
        QVERIFY(R.m_StdErr.contains(QLatin1String("usage:")));

        QTemporaryDir Dir;
        QVERIFY(Dir.isValid());
        // The output "directory" is a file: refused, and the file is left alone.
        const QString Blocker = Dir.filePath(QStringLiteral("not-a-dir"));
        {
            QFile F(Blocker);
            QVERIFY(F.open(QIODevice::WriteOnly));
            F.write("keep me");
        }
        R = runGenerator({Blocker});
        QCOMPARE(R.m_ExitCode, 1);
        QVERIFY2(R.m_StdErr.contains(QLatin1String("cannot create directory")), qPrintable(R.m_StdErr));
        QFile F(Blocker);
        QVERIFY(F.open(QIODevice::ReadOnly));
        QCOMPARE(F.readAll(), QByteArray("keep me"));

        // An image path taken by a directory: the write fails with its name,
        // and whatever is in that directory stays.
        const QString Out = Dir.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(QDir(Out).filePath(QStringLiteral("icircle.png"))));
        QFile Inside(QDir(Out).filePath(QStringLiteral("icircle.png/keep.txt")));
        QVERIFY(Inside.open(QIODevice::WriteOnly));
        Inside.write("x");
        Inside.close();
        R = runGenerator({Out});
        QCOMPARE(R.m_ExitCode, 1);
        QVERIFY2(R.m_StdErr.contains(QLatin1String("cannot write")) && R.m_StdErr.contains(QLatin1String("icircle.png")),
                 qPrintable(R.m_StdErr));
        QVERIFY(QFile::exists(Inside.fileName()));
    }
};

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication App(argc, argv);
    TestArtgen Test;
    return QTest::qExec(&Test, argc, argv);
}

#include "tst_artgen.moc"
