#include "TestEnvironment.h"

#include "support/LoopbackHttpServer.h"

#include "HintWidgets.h"
#include "QContextPushButton.h"
#include "QTextBrowserWithNetwork.h"
#include "SafeLinks.h"
#include "ClickableLabel.h"
#include "THint.h"
#include "TClientPackageLayoutItem.h"
#include "TDownloadPool.h"
#include "TLauncherFilesystemHelper.h"
#include "TPackageInstallation.h"

#include <QAction>
#include <QBuffer>
#include <QJsonDocument>
#include <QLabel>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

void torvaneInitImageResources();

using namespace zarvo::launcher;
using testsupport::TBehaviour;
using testsupport::TLoopbackHttpServer;

namespace {

std::shared_ptr<shared::TDownloadPool> makePool()
{
    return std::make_shared<shared::TDownloadPool>(
        6, std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>()), true);
}

QByteArray pngOfSize(int Width, int Height)
{
    QImage Image(Width, Height, QImage::Format_ARGB32);
    Image.fill(Qt::darkCyan);
    QByteArray Bytes;
    QBuffer Buffer(&Bytes);
    Buffer.open(QIODevice::WriteOnly);
    Image.save(&Buffer, "PNG");
    return Bytes;
}

// A client package for this machine whose configuration has the given version.
std::shared_ptr<TPackage> makePackage(const QString& Version)
{
    const QJsonObject Object {{"name", "Torvane"},
                              {"directoryname", "torvane"},
                              {"builds", QJsonArray {QJsonObject {{"os", "linux"}, {"architecture", "x86_64"}, {"url", "package.json"}}}}};
    auto pPackage = std::make_shared<TPackage>(0, Object, QUrl(QStringLiteral("http://127.0.0.1:9/")));
    const QJsonObject Document {
        {"version", Version}, {"generation", "second"}, {"variant", "regular"}, {"executable", "client"}, {"files", QJsonArray {}}};
    pPackage->currentBuild()->m_pConfiguration = std::make_unique<TPackageConfigurationReader>(
        QJsonDocument(Document).toJson(), QByteArray(), QUrl(QStringLiteral("http://127.0.0.1:9/")), QUrl());
    return pPackage;
}

// An item shown inside a plain widget, as the main window's grid would hold it.
struct TItemHost {
    explicit TItemHost(std::shared_ptr<TPackage> pPackage)
        : m_pItem(new TClientPackageLayoutItem(std::move(pPackage), false))
    {
        m_Widget.setLayout(m_pItem);
    }
    QWidget m_Widget;
    TClientPackageLayoutItem* m_pItem;
};

} // namespace

class TestWidgets : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { torvaneInitImageResources(); }

    void browserLoadsRemoteResourcesThroughThePool();
    void browserLoadsOnlyWebResources_data();
    void browserLoadsOnlyWebResources();
    void documentTextIsShownNotInterpreted();
    void onlyWebLinksAreOpened_data();
    void onlyWebLinksAreOpened();
    void hintImageIsFetchedScaledOrEmpty();
    void buttonFollowsPackageStatus_data();
    void buttonFollowsPackageStatus();
    void progressAndRateTexts();
    void itemFollowsAnInstallation();
};

void TestWidgets::browserLoadsRemoteResourcesThroughThePool()
{
    TLoopbackHttpServer Server;
    const QByteArray Png = pngOfSize(100, 60);
    Server.setBody(QStringLiteral("/news.png"), Png, "image/png");
    TBehaviour Behaviour;
    Behaviour.m_DelayBeforeHeadersMs = 100;
    Server.setBehaviour(QStringLiteral("/news.png"), Behaviour);
    shared::QTextBrowserWithNetwork Browser(nullptr, makePool());
    const QUrl ImageUrl = Server.url(QStringLiteral("/news.png"));

    Browser.resize(280, 104);
    Browser.show(); // a shown browser lays its document out, which asks for the image
    Browser.setHtml(QStringLiteral("<p>News</p><img src=\"%1\">").arg(ImageUrl.toString()));
    Browser.document()->size();
    QVERIFY(Browser.isWaitingFor(ImageUrl));
    // Meanwhile a transparent placeholder stands in.
    const QImage Placeholder = Browser.loadResource(QTextDocument::ImageResource, ImageUrl).value<QImage>();
    QCOMPARE(Placeholder.size(), QSize(32, 32));
    QCOMPARE(qAlpha(Placeholder.pixel(5, 5)), 0);
    const qreal HeightWithPlaceholder = Browser.document()->size().height();

    QTRY_VERIFY(!Browser.isWaitingFor(ImageUrl));
    QCOMPARE(Browser.loadResource(QTextDocument::ImageResource, ImageUrl).toByteArray(), Png);
    // The document was reloaded and now lays the real 60-pixel image out.
    QVERIFY(Browser.document()->size().height() > HeightWithPlaceholder + 20);
    QCOMPARE(Server.requestCount(QStringLiteral("/news.png")), 1);
}

void TestWidgets::browserLoadsOnlyWebResources_data()
{
    QTest::addColumn<QUrl>("Name");
    QTest::newRow("file") << QUrl(QStringLiteral("file:///etc/passwd"));
    QTest::newRow("device") << QUrl(QStringLiteral("file:///dev/zero"));
    QTest::newRow("embedded resource") << QUrl(QStringLiteral("qrc:/images/launcher/icircle.png"));
    QTest::newRow("resource path") << QUrl(QStringLiteral(":/images/launcher/icircle.png"));
    QTest::newRow("relative") << QUrl(QStringLiteral("icircle.png"));
    QTest::newRow("ftp") << QUrl(QStringLiteral("ftp://127.0.0.1/x.png"));
    QTest::newRow("data") << QUrl(QStringLiteral("data:image/png;base64,iVBORw0KGgo="));
}

void TestWidgets::browserLoadsOnlyWebResources()
{
    QFETCH(QUrl, Name);
    auto pPool = makePool();
    shared::QTextBrowserWithNetwork Browser(nullptr, pPool);
    // the hint text names it as an image and as a style sheet; neither is read
    Browser.resize(280, 104);
    Browser.show();
    Browser.setHtml(QStringLiteral("<p>News</p><img src=\"%1\"><link rel=\"stylesheet\" href=\"%1\"/>").arg(Name.toString()));
    Browser.document()->size();
    QVERIFY(!Browser.loadResource(QTextDocument::ImageResource, Name).isValid());
    QVERIFY(!Browser.loadResource(QTextDocument::StyleSheetResource, Name).isValid());
    QVERIFY(!Browser.isWaitingFor(Name));
    QCOMPARE(pPool->getNumberOfOutstandingDownloads(), 0);
    QCOMPARE(Browser.toPlainText().trimmed().left(4), QStringLiteral("News"));
}

void TestWidgets::documentTextIsShownNotInterpreted()
{
    const QString Hostile = QStringLiteral("<img src=\"file:///etc/passwd\">");
    // a package name is shown as it is written
    auto pPackage = makePackage(QStringLiteral("7"));
    pPackage->m_Name = Hostile;
    auto* pItem = new TClientPackageLayoutItem(pPackage, true);
    QWidget Host;
    Host.setLayout(pItem);
    QList<QLabel*> Named;
    for (QLabel* pLabel : Host.findChildren<QLabel*>()) {
        if (pLabel->text() == Hostile) {
            Named << pLabel;
        }
    }
    QCOMPARE(Named.size(), 1);
    QCOMPARE(Named.first()->textFormat(), Qt::PlainText);

    // a hint caption shows the words of the hint; its markup loads nothing
    QWidget Slot;
    ClickableLabel* pCaption =
        shared::createHintCaption(&Slot, QLatin1String(shared::kHintRichTextPrefix) + Hostile + QStringLiteral(" Frostmarch <b>live</b>"),
                                  10, QStringLiteral("0.7"), QRect(0, 50, 280, 30), Hostile);
    QCOMPARE(pCaption->textFormat(), Qt::PlainText);
    QCOMPARE(pCaption->text(), QStringLiteral("Frostmarch live"));
    QVERIFY(!pCaption->toolTip().contains(Hostile)); // escaped, so the tool tip shows it as text
    QVERIFY(pCaption->toolTip().contains(QStringLiteral("&lt;img")));
}

namespace {
QList<QUrl> g_OpenedUrls;
bool recordOpenedUrl(const QUrl& Url)
{
    g_OpenedUrls << Url;
    return true;
}
} // namespace

void TestWidgets::onlyWebLinksAreOpened_data()
{
    QTest::addColumn<QString>("Link");
    QTest::addColumn<bool>("Opened");
    QTest::newRow("https") << QStringLiteral("https://torvane.example/news/1") << true;
    QTest::newRow("http") << QStringLiteral("http://torvane.example/news/1") << true;
    QTest::newRow("upper-case scheme") << QStringLiteral("HTTPS://torvane.example/") << true;
    QTest::newRow("file") << QStringLiteral("file:///etc/passwd") << false;
    QTest::newRow("javascript") << QStringLiteral("javascript:alert(1)") << false;
    QTest::newRow("custom scheme") << QStringLiteral("steam://run/1") << false;
    QTest::newRow("no host") << QStringLiteral("https:///etc/passwd") << false;
    QTest::newRow("relative") << QStringLiteral("news/1") << false;
    QTest::newRow("empty") << QString() << false;
}

void TestWidgets::onlyWebLinksAreOpened()
{
    QFETCH(QString, Link);
    QFETCH(bool, Opened);
    const shared::TUrlOpener Previous = shared::setUrlOpener(&recordOpenedUrl);
    g_OpenedUrls.clear();

    // a hint link, a link clicked in the hint text, and a package's logo link
    QCOMPARE(shared::openHintLink(Link), Opened);
    shared::QTextBrowserWithNetwork* pBrowser = shared::createHintBrowser(nullptr, makePool());
    emit pBrowser->anchorClicked(QUrl(Link));
    delete pBrowser;
    auto pPackage = makePackage(QStringLiteral("7"));
    pPackage->m_LogoLinkTarget = QUrl(Link);
    TItemHost Host(pPackage);
    for (QLabel* pLabel : Host.m_Widget.findChildren<QLabel*>()) {
        if (pLabel->textFormat() == Qt::RichText) {
            emit pLabel->linkActivated(Link);
        }
    }
    shared::setUrlOpener(Previous);
    QCOMPARE(g_OpenedUrls.size(), Opened ? 3 : 0);
    for (const QUrl& Url : g_OpenedUrls) {
        QCOMPARE(Url, QUrl(Link));
    }
}

void TestWidgets::hintImageIsFetchedScaledOrEmpty()
{
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/wide.png"), pngOfSize(580, 160), "image/png");
    Server.setBody(QStringLiteral("/tall.png"), pngOfSize(200, 200), "image/png");
    Server.setBody(QStringLiteral("/notanimage.png"), "this is text", "image/png");
    QCOMPARE(shared::fetchHintImage(Server.url(QStringLiteral("/wide.png")), QSize(290, 80)).size(), QSize(290, 80));
    // Expanding: the image covers the box and may reach past it.
    QCOMPARE(shared::fetchHintImage(Server.url(QStringLiteral("/tall.png")), QSize(290, 80)).size(), QSize(290, 290));
    QVERIFY(shared::fetchHintImage(Server.url(QStringLiteral("/notanimage.png")), QSize(290, 80)).isNull());
    QVERIFY(shared::fetchHintImage(Server.url(QStringLiteral("/absent.png")), QSize(290, 80)).isNull());
    QVERIFY(shared::fetchHintImage(QUrl(), QSize(290, 80)).isNull());
    // only web addresses: a device would never end
    QVERIFY(shared::fetchHintImage(QUrl(QStringLiteral("file:///dev/zero")), QSize(290, 80), 200).isNull());
    QVERIFY(shared::fetchHintImage(QUrl(QStringLiteral("qrc:/images/launcher/icircle.png")), QSize(290, 80)).isNull());
    // A server that does not answer in time does not hold the caller.
    TBehaviour Slow;
    Slow.m_DelayBeforeHeadersMs = 3000;
    Server.setBehaviour(QStringLiteral("/wide.png"), Slow);
    QVERIFY(shared::fetchHintImage(Server.url(QStringLiteral("/wide.png")), QSize(290, 80), 200).isNull());
}

void TestWidgets::buttonFollowsPackageStatus_data()
{
    QTest::addColumn<int>("Status");
    QTest::addColumn<QString>("Colour");
    QTest::addColumn<QString>("Icon");
    QTest::newRow("undetermined") << 0 << "Red"
                                  << "";
    QTest::newRow("not installed") << 1 << "Blue"
                                   << "Download";
    QTest::newRow("partially installed") << 2 << "Orange"
                                         << "Update";
    QTest::newRow("update required") << 3 << "Orange"
                                     << "Update";
    QTest::newRow("installed") << 4 << "Green"
                               << "Play";
}

void TestWidgets::buttonFollowsPackageStatus()
{
    QFETCH(int, Status);
    QFETCH(QString, Colour);
    QFETCH(QString, Icon);
    auto pPackage = makePackage(QStringLiteral("1.0"));
    TItemHost Host(pPackage);
    // Go through another status first, so that the menu is rebuilt rather than built once.
    pPackage->setLocalPackageStatus(ELocalPackageStatus::Installed);
    pPackage->setLocalPackageStatus(static_cast<ELocalPackageStatus>(Status));

    QContextPushButton* pButton = Host.m_pItem->button();
    const QString StyleSheet = pButton->styleSheet();
    for (const char* State : {"idle", "hover", "pressed"}) {
        QVERIFY(StyleSheet.contains(
            QStringLiteral("url(:/images/launcher/Button_%1_%2.png) 4 4 4 4 repeat scale;").arg(Colour, QLatin1String(State))));
    }
    QVERIFY(StyleSheet.contains(QStringLiteral("image: url(:/images/launcher/Icon_%1.png);").arg(Icon)));
    QCOMPARE(StyleSheet.count(QStringLiteral("Button_")), 3);
    QCOMPARE(pButton->toolTip(), Icon);

    QSignalSpy Clicked(Host.m_pItem, &TClientPackageLayoutItem::buttonClicked);
    QSignalSpy Verify(Host.m_pItem, &TClientPackageLayoutItem::verifyButtonClicked);
    pButton->click();
    QCOMPARE(Clicked.size(), 1);
    QCOMPARE(Clicked.at(0).at(0).value<std::shared_ptr<TPackage>>(), pPackage);
    // Only an installed package offers "Verify" (once, however often the status changed).
    const QList<QAction*> Actions = pButton->contextMenu()->actions();
    QCOMPARE(Actions.size(), Icon == QLatin1String("Play") ? 1 : 0);
    QCOMPARE(pButton->findChildren<QAction*>(QString(), Qt::FindDirectChildrenOnly).size(), Actions.size());
    if (!Actions.isEmpty()) {
        QCOMPARE(Actions.first()->text(), QStringLiteral("Verify"));
        Actions.first()->trigger();
        QCOMPARE(Verify.size(), 1);
        QCOMPARE(Verify.at(0).at(0).value<std::shared_ptr<TPackage>>(), pPackage);
        QCOMPARE(Clicked.size(), 1);
    }
}

void TestWidgets::progressAndRateTexts()
{
    QCOMPARE(TClientPackageLayoutItem::progressValue(1, 3), 3333);
    QCOMPARE(TClientPackageLayoutItem::progressValue(2, 3), 6667);
    QCOMPARE(TClientPackageLayoutItem::progressValue(3, 3), 10000);
    QCOMPARE(TClientPackageLayoutItem::progressValue(0, 0), 0);
    QCOMPARE(TClientPackageLayoutItem::progressValue(5, 0), 0);
    QCOMPARE(TClientPackageLayoutItem::progressValue(40000000000ULL, 80000000000ULL), 5000); // past 32 bits
    QCOMPARE(TClientPackageLayoutItem::progressFigures(1500000, 3000000), QStringLiteral("1.5/3.0 MB"));
    QCOMPARE(TClientPackageLayoutItem::progressFigures(0, 0), QStringLiteral("0.0/0.0 MB"));

    // The next unit takes over past 1024 of the one below, yet counts in thousands.
    const QPair<quint64, QString> Rates[] = {{0, "0 B/s"},          {1024, "1024 B/s"},      {1025, "1.0 KB/s"}, {1048576, "1048.6 KB/s"},
                                             {1048577, "1.0 MB/s"}, {1073741825, "1.1 GB/s"}};
    for (const auto& [Rate, Text] : Rates) {
        QCOMPARE(TClientPackageLayoutItem::formatRate(Rate), Text);
    }
}

void TestWidgets::itemFollowsAnInstallation()
{
    auto pPackage = makePackage(QStringLiteral("2.4"));
    pPackage->setLocalPackageStatus(ELocalPackageStatus::NotInstalled);
    TItemHost Host(pPackage);
    TClientPackageLayoutItem* pItem = Host.m_pItem;
    QProgressBar* pBar = pItem->progressBar();
    auto pInstallation = std::make_shared<TPackageInstallation>(pPackage, std::make_shared<TLauncherFilesystemHelper>());

    pItem->onInstallationOrUpdateStarted(*pInstallation);
    QVERIFY(pItem->button()->isHidden());
    QVERIFY(!pBar->isHidden());
    // Phase signals come from worker threads and are queued.
    emit pInstallation->scanProgress(1, 3);
    QTRY_COMPARE(pBar->value(), 3333);
    QCOMPARE(pBar->text(), QStringLiteral("Scanning..."));

    // Download progress comes on the GUI thread; the rate is the downloader's mean of
    // received bytes per 100 ms tick, times ten.
    TPackageFileDownloader* pDownloader = pInstallation->downloader();
    emit pDownloader->progress(1500000, 3000000, 0, 6000000);
    QCOMPARE(pBar->value(), 5000);
    QCOMPARE(pBar->text(), QStringLiteral("0 B/s"));
    QCOMPARE(pItem->statusLabel()->text(), QStringLiteral("1.5/3.0 MB"));
    const_cast<TRunningAverage&>(pDownloader->receivedAverage()).addSample(104858);
    emit pDownloader->progress(2000000, 3000000, 1000000, 6000000);
    QCOMPARE(pBar->text(), QStringLiteral("1.0 MB/s"));
    emit pDownloader->progress(3000000, 3000000, 4500000, 6000000);
    QCOMPARE(pBar->text(), QStringLiteral("Writing..."));
    QCOMPARE(pBar->value(), 7500);
    QCOMPARE(pItem->statusLabel()->text(), QStringLiteral("4.5/6.0 MB"));
    emit pInstallation->verificationProgress(500000, 1000000);
    QTRY_COMPARE(pBar->text(), QStringLiteral("Verifying..."));

    // The job ends; a progress report still queued must not bring figures back.
    emit pInstallation->verificationProgress(900000, 1000000);
    pPackage->setLocalPackageStatus(ELocalPackageStatus::Installed);
    pItem->onInstallationOrUpdateFinished(*pInstallation);
    QCoreApplication::processEvents();
    QVERIFY(pBar->isHidden());
    QVERIFY(!pItem->button()->isHidden());
    QCOMPARE(pItem->statusLabel()->text(), QStringLiteral("2.4"));
    emit pDownloader->progress(1, 3, 0, 0);
    QCOMPARE(pItem->statusLabel()->text(), QStringLiteral("2.4"));
}

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
