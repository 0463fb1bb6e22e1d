// Writes pictures of the launcher's windows into build/bin/screenshots/ (for the README
// and reviews of the art), checking in each that it shows what its name says.

#include "MainWindowFixture.h"
#include "PackageBuilder.h"
#include "TestEnvironment.h"

#include "QContextPushButton.h"
#include "TClientPackageLayoutItem.h"
#include "TTranslationManager.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

void torvaneInitImageResources();

using namespace zarvo::launcher;
using namespace testsupport;

namespace {

void saveScreenshot(QWidget* pWidget, const QString& Name)
{
    const QString Directory = QCoreApplication::applicationDirPath() + QStringLiteral("/screenshots/");
    QVERIFY(QDir().mkpath(Directory));
    const QImage Picture = pWidget->grab().toImage();
    QVERIFY(!Picture.isNull());
    QVERIFY(Picture.save(Directory + Name));
}

// Most pixels of a picture of real content are not the same colour.
bool showsSomething(QWidget* pWidget)
{
    const QImage Picture = pWidget->grab().toImage();
    const QRgb Corner = Picture.pixel(0, 0);
    int Different = 0;
    for (int Y = 0; Y < Picture.height(); Y += 7) {
        for (int X = 0; X < Picture.width(); X += 7) {
            Different += Picture.pixel(X, Y) != Corner ? 1 : 0;
        }
    }
    return Different > (Picture.width() / 7) * (Picture.height() / 7) / 4;
}

} // namespace

class TestScreenshots : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void mainWindowAndReports();
    void oneRowNeedsNoScrolling();

private:
    TLoopbackHttpServer m_Server;
};

void TestScreenshots::initTestCase()
{
    torvaneInitImageResources();
    m_Server.setBody(QStringLiteral("/cdn-cgi/trace"), "fl=31f7\nts=1765012345.678\ncolo=FRA\nip=127.0.0.1\n", "text/plain");
}

void TestScreenshots::mainWindowAndReports()
{
    TWindowFixture Fixture(
        5, m_Server.url(QStringLiteral("/cdn-cgi/trace")),
        {QStringLiteral("Torvane Online"), QStringLiteral("Torvane Classic"), QStringLiteral("Torvane Preview"),
         QStringLiteral("Torvane Beta"), QStringLiteral("Torvane Test")},
        {QStringLiteral("regular"), QStringLiteral("classic"), QStringLiteral("preview"), QStringLiteral("beta"), QStringLiteral("test")});
    const ELocalPackageStatus States[] = {ELocalPackageStatus::Installed, ELocalPackageStatus::NotInstalled,
                                          ELocalPackageStatus::PartiallyInstalled, ELocalPackageStatus::UpdateRequired,
                                          ELocalPackageStatus::Undetermined};
    for (int Index = 0; Index < 5; ++Index) {
        Fixture.package(Index)->setLocalPackageStatus(States[Index]);
    }
    Fixture.package(0)->m_IsDefault = true;
    TLauncherMainWindow& Window = Fixture.window();

    // A real download of one 8 MB chunk at about 2.6 MB/s, caught while under way.
    const QByteArray Content = patternBytes(8 * 1024 * 1024, 9);
    const TServedChunk Chunk = makeChunk(m_Server.url(QStringLiteral("/chunks/world")), Content);
    m_Server.setBody(QStringLiteral("/chunks/world"), Chunk.m_Body);
    TBehaviour Slow;
    Slow.m_PieceSize = 256 * 1024;
    Slow.m_DelayBetweenPiecesMs = 100;
    m_Server.setBehaviour(QStringLiteral("/chunks/world"), Slow);
    QTemporaryDir Installation;
    auto pInstallation = makeInstallation(Fixture.package(2));
    Window.onInstallationOrUpdateStarted(*pInstallation);
    pInstallation->downloader()->startDownload({makeFile(QStringLiteral("data/world.pak"), {Chunk}, Content)}, QDir(Installation.path()),
                                               ESelfUpdateMode::Off);
    QProgressBar* pBar = Window.packageItem(2)->progressBar();
    const QRegularExpression Rate(QStringLiteral("^[0-9]+\\.[0-9] (KB|MB)/s$"));
    QTRY_VERIFY_WITH_TIMEOUT(Rate.match(pBar->text()).hasMatch() && pBar->value() > 0, 10000);
    QVERIFY(pBar->isVisibleTo(&Window));

    // The offscreen screen is 800 x 600, so the first show bounds the window to two
    // thirds of it; on a desktop it takes the height its content asks for.
    Window.resize(800, qBound(450, Window.sizeHint().height(), 600));
    Window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Window));
    QCOMPARE(Window.packageItem(0)->button()->toolTip(), QStringLiteral("Play"));
    QCOMPARE(Window.packageItem(1)->button()->toolTip(), QStringLiteral("Download"));
    QCOMPARE(Window.packageItem(3)->button()->toolTip(), QStringLiteral("Update"));
    QVERIFY(Window.packageItem(0)->defaultClientCheckbox()->isChecked());
    QVERIFY(showsSomething(&Window));
    saveScreenshot(&Window, QStringLiteral("mainwindow-packages.png"));

    Window.setHints(serveHints(m_Server, {QStringLiteral("cat1"), QStringLiteral("cat2"), QStringLiteral("cat3")}));
    deliverDeferredDeletes();
    QCoreApplication::processEvents();
    QVERIFY(Window.hintsContainer()->isVisible());
    QVERIFY(!Window.hintSpacer()); // all three categories shown
    saveScreenshot(&Window, QStringLiteral("mainwindow-hints.png"));
    // The middle hint under the mouse.
    QWidget* pFrame = Window.findChild<QWidget*>(QStringLiteral("hintFrame_cat2"));
    QVERIFY(pFrame);
    pFrame->setAttribute(Qt::WA_UnderMouse);
    saveScreenshot(Window.hintGroupBox(), QStringLiteral("hints-hover.png"));
    pFrame->setAttribute(Qt::WA_UnderMouse, false);

    auto pFailed = makeInstallation(Fixture.package(3));
    pFailed->onDownloadFailed(EPackageDownloaderError::DownloadFailed);
    Window.onInstallationOrUpdateFinished(*pFailed);
    QVERIFY(QTest::qWaitForWindowExposed(Window.messageBox()));
    QTRY_VERIFY(Window.messageBox()->text().contains(QStringLiteral("COLO: FRA")));
    QCOMPARE(Window.messageBox()->windowTitle(), QStringLiteral("Download failed"));
    saveScreenshot(Window.messageBox(), QStringLiteral("download-failed.png"));
    Window.messageBox()->hide();

    zarvo::shared::TTranslationManager Translations;
    QVERIFY(
        Translations.loadAndInstall(QCoreApplication::instance(), QStringLiteral("launcher.en"), QCoreApplication::applicationDirPath()));
    Window.onAboutDialogRequested(QString());
    QVERIFY(QTest::qWaitForWindowExposed(Window.aboutBox()));
    QVERIFY(Window.aboutBox()->text().contains(QStringLiteral("lgpl-3.0")));
    saveScreenshot(Window.aboutBox(), QStringLiteral("about.png"));
    Window.aboutBox()->close();
}

void TestScreenshots::oneRowNeedsNoScrolling()
{
    TWindowFixture Three(3, QUrl(), {QStringLiteral("Torvane Online"), QStringLiteral("Torvane Classic"), QStringLiteral("Torvane Test")},
                         {QStringLiteral("regular"), QStringLiteral("classic"), QStringLiteral("test")});
    Three.package(0)->setLocalPackageStatus(ELocalPackageStatus::Installed);
    Three.package(1)->setLocalPackageStatus(ELocalPackageStatus::Installed);
    Three.package(2)->setLocalPackageStatus(ELocalPackageStatus::NotInstalled);
    TLauncherMainWindow& Small = Three.window();
    Small.setHints(serveHints(m_Server, {QStringLiteral("cat1"), QStringLiteral("cat2"), QStringLiteral("cat3")}));
    deliverDeferredDeletes();
    Small.resize(800, qBound(450, Small.sizeHint().height(), 600));
    Small.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Small));
    QVERIFY(!Small.packageScrollArea()->verticalScrollBar()->isVisible());
    QCOMPARE(Small.packageItems().size(), std::size_t(3));
    saveScreenshot(&Small, QStringLiteral("mainwindow-one-row.png"));
}

QTEST_MAIN(TestScreenshots)
#include "tst_screenshots.moc"
