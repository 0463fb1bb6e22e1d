#include "MainWindowFixture.h"
#include "TestEnvironment.h"

#include "support/LoopbackHttpServer.h"

#include "ClickableLabel.h"
#include "QContextPushButton.h"
#include "QTextBrowserWithNetwork.h"
#include "TClientPackageLayoutItem.h"
#include "TCloudflareCdnTrace.h"
#include "TDiskSpaceCheck.h"
#include "TDownloadPool.h"
#include "TDraggableMainWindow.h"
#include "TInstallationManager.h"
#include "TLauncherConfigurationReader.h"
#include "TLauncherFilesystemHelper.h"
#include "TLauncherMainWindow.h"
#include "TPackageInstallation.h"
#include "TTranslationManager.h"

#include <QBuffer>
#include <QCheckBox>
#include <QDesktopServices>
#include <QGridLayout>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPainter>
#include <QProgressBar>
#include <QSignalSpy>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpacerItem>
#include <QtTest>

void torvaneInitImageResources();

using namespace zarvo::launcher;
using namespace testsupport;

namespace {

QPoint gridPosition(QGridLayout* pGrid, QLayout* pItem)
{
    for (int Index = 0; Index < pGrid->count(); ++Index) {
        if (pGrid->itemAt(Index)->layout() == pItem) {
            int Row = -1, Column = -1, RowSpan = 0, ColumnSpan = 0;
            pGrid->getItemPosition(Index, &Row, &Column, &RowSpan, &ColumnSpan);
            return RowSpan == 1 && ColumnSpan == 1 ? QPoint(Column, Row) : QPoint(-2, -2);
        }
    }
    return QPoint(-1, -1);
}

bool spacerInLayout(TLauncherMainWindow& Window)
{
    QSpacerItem* pSpacer = Window.hintSpacer();
    return pSpacer && Window.mainLayout()->indexOf(pSpacer) >= 0;
}

QMouseEvent mouseEvent(QEvent::Type Type, QPointF Global)
{
    return QMouseEvent(Type, QPointF(5, 5), QPointF(5, 5), Global, Qt::LeftButton,
                       Type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
}

} // namespace

// Receives what the window hands to the desktop's URL handler.
class TUrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> m_Urls;
public slots:
    void open(const QUrl& Url) { m_Urls << Url; }
};

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void gridAndDefaultClient();
    void reportsByErrorReason();
    void downloadFailureWaitsForTheTrace();
    void failureBoxesShowPackageNamesAsText();
    void hintsNeedAllThreeCategories();
    void dragging();

private:
    TUrlCatcher m_UrlCatcher;
};

void TestMainWindow::initTestCase()
{
    torvaneInitImageResources();
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &m_UrlCatcher, "open");
}

void TestMainWindow::cleanup()
{
    m_UrlCatcher.m_Urls.clear();
}

void TestMainWindow::gridAndDefaultClient()
{
    TWindowFixture Fixture(5);
    Fixture.package(2)->m_IsDefault = true;
    TLauncherMainWindow& Window = Fixture.window();
    QSignalSpy Changed(&Window, &TLauncherMainWindow::defaultChanged);
    QSignalSpy Button(&Window, &TLauncherMainWindow::clientPackageButtonClicked);

    // Four items a row, in configuration order.
    const QPoint Expected[] = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {0, 1}};
    for (int Id = 0; Id < 5; ++Id) {
        QCOMPARE(Window.packageItem(Id)->package(), Fixture.package(Id));
        QCOMPARE(gridPosition(Window.packageGrid(), Window.packageItem(Id)), Expected[Id]);
    }
    QVERIFY(!Window.packageItem(5));
    // An item's button reaches the window's signal with its package.
    Window.packageItem(4)->button()->click();
    QCOMPARE(Button.size(), 1);
    QCOMPARE(Button.at(0).at(0).value<std::shared_ptr<TPackage>>(), Fixture.package(4));

    // The default client from the configuration is checked and remembered.
    QCOMPARE(Window.defaultPackageId(), 2);
    QCheckBox* pFirst = Window.packageItem(0)->defaultClientCheckbox();
    QVERIFY(Window.packageItem(2)->defaultClientCheckbox()->isChecked());
    QVERIFY(!pFirst->isChecked());
    // Already the default, or unchecking one that is not: nothing.
    Window.onDefaultClientPackageCheckboxChanged(Fixture.package(2), true);
    Window.onDefaultClientPackageCheckboxChanged(Fixture.package(3), false);
    QCOMPARE(Changed.size(), 0);
    // Another package: the previous one is cleared, one signal.
    pFirst->setChecked(true);
    QCOMPARE(Changed.size(), 1);
    QCOMPARE(Changed.at(0).at(0).value<std::shared_ptr<TPackage>>(), Fixture.package(0));
    QCOMPARE(Changed.at(0).at(1).toBool(), true);
    QVERIFY(!Window.packageItem(2)->defaultClientCheckbox()->isChecked());
    QCOMPARE(Window.defaultPackageId(), 0);
    // Unchecking the default: no default any more, one signal.
    pFirst->setChecked(false);
    QCOMPARE(Changed.size(), 2);
    QCOMPARE(Changed.at(1).at(1).toBool(), false);
    QCOMPARE(Window.defaultPackageId(), -1);
    // setDefault from the flow moves the mark without a signal.
    Window.setDefault(Fixture.package(3), true);
    QCOMPARE(Changed.size(), 2);
    QCOMPARE(Window.defaultPackageId(), 3);
    QVERIFY(Window.packageItem(3)->defaultClientCheckbox()->isChecked());

    // No packages at all: the user is told the service could not be reached.
    TWindowFixture Empty(0);
    QMessageBox* pBox = Empty.window().messageBox();
    QVERIFY(pBox && pBox->isVisible());
    QCOMPARE(pBox->windowTitle(), QStringLiteral("Connection problem"));
    QCOMPARE(pBox->text(), QStringLiteral("Could not connect to the update service.\n\nPlease try again later.\n"));
}

void TestMainWindow::reportsByErrorReason()
{
    TWindowFixture Fixture(2, QUrl(), {QStringLiteral("Torvane Online"), QStringLiteral("Torvane Beta")});
    TInstallationManager Manager(Fixture.m_pConfiguration, std::make_shared<TLauncherFilesystemHelper>());
    TLauncherMainWindow& Window = Fixture.window(&Manager);

    // The manager's announcements reach the package's item; success reports nothing.
    auto pSuccess = makeInstallation(Fixture.package(1));
    emit Manager.installationOrUpdateStarted(*pSuccess);
    QVERIFY(!Window.packageItem(1)->progressBar()->isHidden());
    QVERIFY(Window.packageItem(0)->progressBar()->isHidden());
    pSuccess->onDownloadCompleted();
    emit Manager.installationOrUpdateFinished(*pSuccess);
    QVERIFY(Window.packageItem(1)->progressBar()->isHidden());
    QVERIFY(!Window.messageBox());
    QVERIFY(Window.installationFailureBoxes().isEmpty());

    auto pSaving = makeInstallation(Fixture.package(0));
    pSaving->onDownloadFailed(EPackageDownloaderError::SavingFailed);
    Window.onInstallationOrUpdateFinished(*pSaving);
    QCOMPARE(Window.installationFailureBoxes().size(), 1);
    QMessageBox* pSavingBox = Window.installationFailureBoxes().first();
    QCOMPARE(pSavingBox->windowTitle(), QStringLiteral("Installation failed"));
    QCOMPARE(pSavingBox->text(),
             QStringLiteral("The installation of Torvane Online failed.\n\nMake sure you have enough free disk space and the "
                            "application isn't currently running, then try again."));
    QCOMPARE(pSavingBox->icon(), QMessageBox::Critical);
    QVERIFY(pSavingBox->isVisible());

    auto pVerification = makeInstallation(Fixture.package(1));
    pVerification->onVerifyFinished(false);
    QCOMPARE(pVerification->errorReason(), EPackageDownloaderError::VerificationFailed);
    Window.onInstallationOrUpdateFinished(*pVerification);
    QCOMPARE(Window.installationFailureBoxes().size(), 2);
    QCOMPARE(Window.installationFailureBoxes().last()->text(),
             QStringLiteral("The installation of Torvane Beta failed.\n\nVerification of game data failed!"));
    QVERIFY(!Window.messageBox());

    // A download that would not fit: the job stops before fetching and the box gives the figures.
    TDiskSpaceCheck::setFreeSpaceProbe([](const QString&) {
        return std::optional<TFreeSpace>(TFreeSpace {1500000000, QStringLiteral("disk")});
    });
    auto pTooLarge = makeInstallation(Fixture.package(0));
    const QTemporaryDir Target;
    pTooLarge->setInstallationDirectory(QDir(Target.path()));
    TFileToDownload Huge;
    Huge.m_LocalFile = QStringLiteral("data/huge.pak");
    Huge.m_UnpackedSize = 4000000000ULL;
    TChunkInPackage Chunk;
    Chunk.m_Url = QUrl(QStringLiteral("http://127.0.0.1:1/huge.bin"));
    Chunk.m_UnpackedSize = 4000000000ULL;
    Chunk.m_UnpackedHash = QByteArray(32, 'h');
    Huge.m_Chunks = {Chunk};
    Huge.m_ChunksToDownload = {0};
    TPackageDifference Changes;
    Changes.m_FilesToDownload = {Huge};
    pTooLarge->onRequiredChangesComputedForInstallation(Changes);
    TDiskSpaceCheck::setFreeSpaceProbe({});
    QCOMPARE(pTooLarge->errorReason(), EPackageDownloaderError::NotEnoughDiskSpace);
    Window.onInstallationOrUpdateFinished(*pTooLarge);
    QCOMPARE(Window.installationFailureBoxes().size(), 3);
    // the file and, at worst, its chunk parked in a temporary file on the same disk
    QCOMPARE(
        Window.installationFailureBoxes().last()->text(),
        QStringLiteral("The installation of Torvane Online failed.\n\nNot enough free disk space: 8.0 GB are needed in %1, but only 1.5 GB "
                       "are free.\n\nMake some room, then try again.")
            .arg(Target.path()));
    Window.installationFailureBoxes().last()->close();
    deliverDeferredDeletes();

    // OK closes and frees a box.
    const QPointer<QMessageBox> Closed(pSavingBox);
    pSavingBox->button(QMessageBox::Ok)->click();
    deliverDeferredDeletes();
    QVERIFY(!Closed);
    QCOMPARE(Window.installationFailureBoxes().size(), 1);
    Window.installationFailureBoxes().first()->close();
}

void TestMainWindow::downloadFailureWaitsForTheTrace()
{
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/cdn-cgi/trace"), "fl=31f7\nh=cdn.torvane.example\nip=127.0.0.1\nts=1765012345.678\ncolo=FRA\n",
                   "text/plain");
    TBehaviour Slow;
    Slow.m_DelayBeforeHeadersMs = 300;
    Server.setBehaviour(QStringLiteral("/cdn-cgi/trace"), Slow);
    TWindowFixture Fixture(2, Server.url(QStringLiteral("/cdn-cgi/trace")),
                           {QStringLiteral("Torvane Online"), QStringLiteral("Torvane Beta")});
    TLauncherMainWindow& Window = Fixture.window();
    const QString Report =
        QStringLiteral("The installation of %1 failed.\n\nNot all files necessary could be downloaded. Please try again later.\n\n"
                       "Diagnostic information: %2");
    const QString Trace = QStringLiteral("FL: 31f7, TS: 1765012345.678, COLO: FRA, IP: 127.0.0.1");

    auto pFirst = makeInstallation(Fixture.package(0));
    pFirst->onDownloadFailed(EPackageDownloaderError::DownloadFailed);
    Window.onInstallationOrUpdateFinished(*pFirst);
    QPointer<QMessageBox> pBox = Window.messageBox();
    QVERIFY(pBox && pBox->isVisible());
    QCOMPARE(pBox->windowTitle(), QStringLiteral("Download failed"));
    QCOMPARE(pBox->text(), Report.arg(QStringLiteral("Torvane Online"), QStringLiteral("Loading, please wait...")));

    // A second failure before the trace arrives takes over the same box.
    auto pSecond = makeInstallation(Fixture.package(1));
    pSecond->onDownloadFailed(EPackageDownloaderError::DownloadFailed);
    Window.onInstallationOrUpdateFinished(*pSecond);
    QCOMPARE(Window.messageBox(), pBox.data());
    QCOMPARE(pBox->text(), Report.arg(QStringLiteral("Torvane Beta"), QStringLiteral("Loading, please wait...")));

    // The trace replaces the placeholder, for the package the box names now.
    QTRY_COMPARE(pBox->text(), Report.arg(QStringLiteral("Torvane Beta"), Trace));
    QCOMPARE(Window.findChildren<QMessageBox*>().size(), 1);

    // Later failures use the values at once, in the same box, without asking again.
    pBox->hide();
    Window.onInstallationOrUpdateFinished(*pFirst);
    QCOMPARE(Window.messageBox(), pBox.data());
    QVERIFY(pBox->isVisible());
    QCOMPARE(pBox->text(), Report.arg(QStringLiteral("Torvane Online"), Trace));
    QCOMPARE(Server.requestCount(QStringLiteral("/cdn-cgi/trace")), 1);
    pBox->hide();
}

void TestMainWindow::hintsNeedAllThreeCategories()
{
    TLoopbackHttpServer Server;
    {
        TWindowFixture Fixture(4);
        TLauncherMainWindow& Window = Fixture.window();
        QVERIFY(spacerInLayout(Window));
        QVERIFY(Window.hintsContainer()->isHidden());
        QPointer<QWidget> pFirstBrowser = Window.hintSlot(QStringLiteral("cat1"))->findChild<shared::QTextBrowserWithNetwork*>();
        QVERIFY(pFirstBrowser);

        std::vector<shared::THint> Hints = serveHints(Server, {QStringLiteral("cat1"), QStringLiteral("cat2"), QStringLiteral("cat3")});
        // A second hint of a category already shown is skipped.
        Hints.push_back(makeHint(QStringLiteral("cat2"), QStringLiteral("Second"), Server.url(QStringLiteral("/hint0.png")),
                                 QStringLiteral("https://torvane.example/second")));
        Window.setHints(Hints);
        deliverDeferredDeletes();
        QVERIFY(!Window.hintSpacer());
        QVERIFY(!Window.hintsContainer()->isHidden());
        QVERIFY(!pFirstBrowser);
        QCOMPARE(Server.requestCount(QStringLiteral("/hint0.png")), 1);
        for (int Index = 0; Index < 3; ++Index) {
            const QList<ClickableLabel*> Labels = Window.hintSlot(QStringLiteral("cat%1").arg(Index + 1))->findChildren<ClickableLabel*>();
            QCOMPARE(Labels.size(), 2);
            QCOMPARE(Labels[0]->pixmap(Qt::ReturnByValue).size(), QSize(290, 80));
            QTest::mousePress(Labels[1], Qt::LeftButton);
            QCOMPARE(m_UrlCatcher.m_Urls.value(Index), QUrl(Hints[Index].m_Url));
        }
    }
    {
        // Two categories: the spacer stays and the hints stay hidden.
        TWindowFixture Fixture(2);
        TLauncherMainWindow& Window = Fixture.window();
        Window.setHints(serveHints(Server, {QStringLiteral("cat1"), QStringLiteral("cat2")}));
        QVERIFY(spacerInLayout(Window));
        QVERIFY(Window.hintsContainer()->isHidden());
        QVERIFY(Window.hintSlot(QStringLiteral("cat3"))->findChild<shared::QTextBrowserWithNetwork*>());
    }
    {
        // A category in another letter case is skipped, so only two remain.
        TWindowFixture Fixture(2);
        TLauncherMainWindow& Window = Fixture.window();
        Window.setHints(serveHints(Server, {QStringLiteral("Cat1"), QStringLiteral("cat2"), QStringLiteral("cat3")}));
        QVERIFY(spacerInLayout(Window));
        QVERIFY(Window.hintsContainer()->isHidden());
        QVERIFY(Window.hintSlot(QStringLiteral("cat1"))->findChildren<ClickableLabel*>().isEmpty());
        QVERIFY(Window.findChild<QWidget*>(QStringLiteral("hintFrame_cat3")));
    }
}

void TestMainWindow::dragging()
{
    TDraggableMainWindow Window;
    Window.move(100, 100);
    auto Send = [&Window](QEvent::Type Type, QPointF Global) {
        QMouseEvent Event = mouseEvent(Type, Global);
        QApplication::sendEvent(&Window, &Event);
    };

    Send(QEvent::MouseButtonPress, QPointF(500, 400));
    QCOMPARE(Window.dragAnchor(), QPoint(500, 400));
    Send(QEvent::MouseMove, QPointF(510, 405));
    QCOMPARE(Window.pos(), QPoint(110, 105));
    Send(QEvent::MouseMove, QPointF(513, 405));
    QCOMPARE(Window.pos(), QPoint(113, 105));
    Send(QEvent::MouseButtonRelease, QPointF(513, 405));
    QCOMPARE(Window.dragAnchor(), QPoint(0, 0));

    // Halves round upward.
    Send(QEvent::MouseButtonPress, QPointF(10.5, 20.4));
    QCOMPARE(Window.dragAnchor(), QPoint(11, 20));
    Send(QEvent::MouseMove, QPointF(12.5, 20.5));
    QCOMPARE(Window.pos(), QPoint(115, 106));
    Send(QEvent::MouseButtonRelease, QPointF(12.5, 20.5));

    // A press at (0, 0) starts no drag until the first move sets an anchor.
    Send(QEvent::MouseButtonPress, QPointF(0, 0));
    Send(QEvent::MouseMove, QPointF(5, 5));
    QCOMPARE(Window.pos(), QPoint(115, 106));
    QCOMPARE(Window.dragAnchor(), QPoint(5, 5));
    Send(QEvent::MouseMove, QPointF(6, 7));
    QCOMPARE(Window.pos(), QPoint(116, 108));
}

void TestMainWindow::failureBoxesShowPackageNamesAsText()
{
    // the name comes from the configuration: a rich-text box would load the image
    const QString Hostile = QStringLiteral("<img src=\"file:///etc/passwd\">");
    TWindowFixture Fixture(1, QUrl(), {Hostile});
    TLauncherMainWindow& Window = Fixture.window();
    auto pSaving = makeInstallation(Fixture.package(0));
    pSaving->onDownloadFailed(EPackageDownloaderError::SavingFailed);
    Window.onInstallationOrUpdateFinished(*pSaving);
    QCOMPARE(Window.installationFailureBoxes().size(), 1);
    QMessageBox* pSavingBox = Window.installationFailureBoxes().first();
    QCOMPARE(pSavingBox->textFormat(), Qt::PlainText);
    QVERIFY(pSavingBox->text().startsWith(QStringLiteral("The installation of ") + Hostile + QStringLiteral(" failed.")));
    pSavingBox->close();

    auto pDownload = makeInstallation(Fixture.package(0));
    pDownload->onDownloadFailed(EPackageDownloaderError::DownloadFailed);
    Window.onInstallationOrUpdateFinished(*pDownload);
    QVERIFY(Window.messageBox());
    QCOMPARE(Window.messageBox()->textFormat(), Qt::PlainText);
    QVERIFY(Window.messageBox()->text().startsWith(QStringLiteral("The installation of ") + Hostile + QStringLiteral(" failed.")));
    Window.messageBox()->hide();
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
