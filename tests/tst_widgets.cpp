#include "TestEnvironment.h"

#include "support/LoopbackHttpServer.h"

#include "ClickableLabel.h"
#include "HintWidgets.h"
#include "QContextPushButton.h"
#include "QTextBrowserWithNetwork.h"
#include "TClientPackageLayoutItem.h"
#include "TDownloadPool.h"
#include "TLauncherFilesystemHelper.h"
#include "TPackageInstallation.h"

#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QGroupBox>
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

// Collects the warnings logged while alive, passing every message on.
class TWarningCollector {
public:
    TWarningCollector()
    {
        s_Texts.clear();
        s_Previous = qInstallMessageHandler(&handle);
    }
    ~TWarningCollector() { qInstallMessageHandler(s_Previous); }
    const QStringList& texts() const { return s_Texts; }

private:
    static void handle(QtMsgType Type, const QMessageLogContext& Context, const QString& Message)
    {
        if (Type == QtWarningMsg) {
            s_Texts.append(Message);
        }
        s_Previous(Type, Context, Message);
    }
    static inline QtMessageHandler s_Previous = nullptr;
    static inline QStringList s_Texts;
};

std::shared_ptr<shared::TDownloadPool> makePool()
{
    return std::make_shared<shared::TDownloadPool>(
        6, std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>()), true);
}

QByteArray pngOfSize(int Width, int Height, QColor Colour = Qt::darkCyan)
{
    QImage Image(Width, Height, QImage::Format_ARGB32);
    Image.fill(Colour);
    QByteArray Bytes;
    QBuffer Buffer(&Bytes);
    Buffer.open(QIODevice::WriteOnly);
    Image.save(&Buffer, "PNG");
    return Bytes;
}

// A client package for this machine whose configuration has the given version,
// generation and variant texts.
std::shared_ptr<TPackage> makePackage(int Id, const QString& Name, const QString& Version, const QString& Generation = QStringLiteral("second"),
                                      const QString& Variant = QStringLiteral("regular"), const QString& LogoLink = QString())
{
    QJsonObject Object{{"name", Name},
                       {"directoryname", Name.toLower().remove(' ')},
                       {"builds", QJsonArray{QJsonObject{{"os", "linux"}, {"architecture", "x86_64"}, {"url", "package.json"}}}}};
    if (!LogoLink.isEmpty()) {
        Object.insert("logolinktarget", LogoLink);
    }
    auto pPackage = std::make_shared<TPackage>(Id, Object, QUrl(QStringLiteral("http://127.0.0.1:9/")));
    const QJsonObject Document{{"version", Version}, {"generation", Generation}, {"variant", Variant}, {"executable", "client"}};
    pPackage->currentBuild()->m_pConfiguration = std::make_unique<TPackageConfigurationReader>(
        QJsonDocument(Document).toJson(), QByteArray(), QUrl(QStringLiteral("http://127.0.0.1:9/")), QUrl());
    return pPackage;
}

// An item shown inside a plain widget, as the main window's grid would hold it.
struct TItemHost {
    explicit TItemHost(std::shared_ptr<TPackage> pPackage, bool ShowPackageNames = false)
        : m_pItem(new TClientPackageLayoutItem(std::move(pPackage), ShowPackageNames))
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
    void initTestCase();

    void browserLoadsRemoteResourcesThroughThePool();
    void browserLoadsLocalAndEmbeddedResourcesDirectly();
    void browserKeepsPlaceholderWhenDownloadFails();
    void clickableLabelReportsPresses();

    void hintBrowserLook();
    void hintOutlines();
    void hintImageIsFetchedScaledAndCentred();
    void hintImageFailuresGiveEmptyImage();

    void contextButtonOffersMenuOnlyWithActions();
    void buttonFollowsPackageStatus_data();
    void buttonFollowsPackageStatus();
    void verifyEntryEmitsVerifyButtonClicked();
    void logoNameVersionAndCheckbox();
    void withoutNameLabelStatusFollowsSpacing();

    void progressArithmetic();
    void rateTexts_data();
    void rateTexts();
    void itemFollowsAnInstallation();
};

void TestWidgets::initTestCase()
{
    torvaneInitImageResources();
}

void TestWidgets::browserLoadsRemoteResourcesThroughThePool()
{
    TLoopbackHttpServer Server;
    const QByteArray Png = pngOfSize(100, 60);
    Server.setBody(QStringLiteral("/news.png"), Png, "image/png");
    Server.setBody(QStringLiteral("/other.json"), "{}");
    Server.setBehaviour(QStringLiteral("/news.png"), [] {
        TBehaviour Behaviour;
        Behaviour.delayBeforeHeadersMs = 100;
        return Behaviour;
    }());
    auto pPool = makePool();
    shared::QTextBrowserWithNetwork Browser(nullptr, pPool);
    const QUrl ImageUrl = Server.url(QStringLiteral("/news.png"));

    Browser.resize(280, 104);
    Browser.show(); // a shown browser lays its document out, which asks for the image
    Browser.setHtml(QStringLiteral("<p>News</p><img src=\"%1\">").arg(ImageUrl.toString()));
    Browser.document()->size();
    QVERIFY(Browser.isWaitingFor(ImageUrl));
    const QVariant Placeholder = Browser.loadResource(QTextDocument::ImageResource, ImageUrl);
    QCOMPARE(Placeholder.userType(), int(QMetaType::QImage));
    const QImage PlaceholderImage = Placeholder.value<QImage>();
    QCOMPARE(PlaceholderImage.size(), QSize(32, 32));
    QCOMPARE(PlaceholderImage.format(), QImage::Format_ARGB32_Premultiplied);
    QCOMPARE(qAlpha(PlaceholderImage.pixel(5, 5)), 0);
    const qreal HeightWithPlaceholder = Browser.document()->size().height();
    // Any other resource type gets its type number as placeholder.
    QCOMPARE(Browser.loadResource(QTextDocument::StyleSheetResource, Server.url(QStringLiteral("/other.json"))).toInt(),
             int(QTextDocument::StyleSheetResource));

    QTRY_VERIFY(!Browser.isWaitingFor(ImageUrl));
    QCOMPARE(Browser.loadResource(QTextDocument::ImageResource, ImageUrl).toByteArray(), Png);
    // The document was reloaded and now lays the real 60-pixel image out.
    QVERIFY(Browser.document()->size().height() > HeightWithPlaceholder + 20);
    QCOMPARE(Browser.sizeHint().height(), qRound(Browser.document()->size().height()));
    QCOMPARE(Browser.heightForWidth(1), int(Browser.document()->size().height()));
    QCOMPARE(Server.requestCount(QStringLiteral("/news.png")), 1);

    // A body fetched by someone else through the shared pool is not taken in: asking
    // for it afterwards is a download of its own.
    const QUrl Foreign = Server.url(QStringLiteral("/foreign.png"));
    Server.setBody(QStringLiteral("/foreign.png"), Png, "image/png");
    QSignalSpy Success(pPool.get(), &shared::TDownloadPool::success);
    pPool->download(Foreign);
    QTRY_COMPARE(Success.size(), 1);
    QCOMPARE(Browser.loadResource(QTextDocument::ImageResource, Foreign).userType(), int(QMetaType::QImage));
    QTRY_COMPARE(Server.requestCount(QStringLiteral("/foreign.png")), 2);
}

void TestWidgets::browserLoadsLocalAndEmbeddedResourcesDirectly()
{
    TLoopbackHttpServer Server;
    auto pPool = makePool();
    shared::QTextBrowserWithNetwork Browser(nullptr, pPool);

    QFile Embedded(QStringLiteral(":/images/launcher/icircle.png"));
    QVERIFY(Embedded.open(QIODevice::ReadOnly));
    const QByteArray EmbeddedBytes = Embedded.readAll();
    QCOMPARE(Browser.loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("qrc:/images/launcher/icircle.png"))).toByteArray(),
             EmbeddedBytes);

    QTemporaryDir Directory;
    const QString Path = Directory.filePath(QStringLiteral("local.png"));
    const QByteArray LocalBytes = pngOfSize(8, 8);
    QFile Local(Path);
    QVERIFY(Local.open(QIODevice::WriteOnly));
    Local.write(LocalBytes);
    Local.close();
    QCOMPARE(Browser.loadResource(QTextDocument::ImageResource, QUrl::fromLocalFile(Path)).toByteArray(), LocalBytes);
    // Cached: a changed file is not read again.
    QVERIFY(Local.open(QIODevice::WriteOnly | QIODevice::Truncate));
    Local.write("changed");
    Local.close();
    QCOMPARE(Browser.loadResource(QTextDocument::ImageResource, QUrl::fromLocalFile(Path)).toByteArray(), LocalBytes);

    QCOMPARE(pPool->getNumberOfOutstandingDownloads(), 0);
    QCOMPARE(Server.totalRequests(), 0);
}

void TestWidgets::browserKeepsPlaceholderWhenDownloadFails()
{
    TLoopbackHttpServer Server;
    auto pPool = makePool();
    shared::QTextBrowserWithNetwork Browser(nullptr, pPool);
    const QUrl Missing = Server.url(QStringLiteral("/missing.png"));
    TWarningCollector Warnings;
    QSignalSpy Failed(pPool.get(), &shared::TDownloadPool::failed);

    Browser.show();
    Browser.setHtml(QStringLiteral("<img src=\"%1\">").arg(Missing.toString()));
    Browser.document()->size();
    QTRY_COMPARE(Failed.size(), 1);
    QVERIFY(!Browser.isWaitingFor(Missing));
    const QStringList Logged = Warnings.texts().filter(QStringLiteral("Download failed:"));
    QCOMPARE(Logged.size(), 1);
    QVERIFY2(Logged.first().contains(Missing.toString()) && Logged.first().contains(QStringLiteral("ContentNotFoundError")),
             qPrintable(Logged.first()));
    QCOMPARE(Browser.loadResource(QTextDocument::ImageResource, Missing).value<QImage>().size(), QSize(32, 32));
    QCOMPARE(Server.requestCount(QStringLiteral("/missing.png")), 1);
}

void TestWidgets::clickableLabelReportsPresses()
{
    ClickableLabel Label;
    Label.resize(50, 20);
    QSignalSpy Clicked(&Label, &ClickableLabel::clicked);
    QTest::mousePress(&Label, Qt::LeftButton);
    QCOMPARE(Clicked.size(), 1);
    QTest::mouseRelease(&Label, Qt::LeftButton);
    QCOMPARE(Clicked.size(), 1);
    QTest::mousePress(&Label, Qt::RightButton);
    QCOMPARE(Clicked.size(), 2);
}

void TestWidgets::hintBrowserLook()
{
    QWidget Window;
    shared::QTextBrowserWithNetwork* pBrowser = shared::createHintBrowser(&Window, makePool());
    QCOMPARE(pBrowser->parentWidget(), &Window);
    QCOMPARE(pBrowser->minimumSize(), QSize(280, 104));
    QCOMPARE(pBrowser->maximumSize(), QSize(280, 104));
    QCOMPARE(pBrowser->contextMenuPolicy(), Qt::NoContextMenu);
    QVERIFY(pBrowser->openExternalLinks());
    QCOMPARE(pBrowser->document()->defaultStyleSheet(),
             QStringLiteral("\n        a {\n          text-decoration:unterline;\n          color: #c0c0c0;\n        }\n      "));
    const QString StyleSheet = pBrowser->styleSheet();
    QVERIFY(StyleSheet.startsWith(QStringLiteral("\n        QTextBrowser {\n          font-family: \"Liberation Sans\";\n")));
    QVERIFY(StyleSheet.contains(QStringLiteral("          border-style: none;\n        }\n\n        /*inner area*/\n        QScrollBar::vertical  {\n")));
    QVERIFY(StyleSheet.endsWith(QStringLiteral("        QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical {\n          background: none;\n"
                                               "        }\n      ")));
    QVERIFY(StyleSheet.endsWith(shared::scrollBarStyleSheet()));
    QCOMPARE(StyleSheet.size(), 2168);

    QWidget* pSlot = shared::createHintSlot(&Window, QStringLiteral("cat1"), pBrowser);
    QCOMPARE(pBrowser->parentWidget(), pSlot);
    QCOMPARE(pBrowser->pos(), QPoint(0, 0));
    QCOMPARE(pSlot->mask(), shared::hintOutlineMask(QStringLiteral("cat1"), QSize(276, 80)));
}

void TestWidgets::hintOutlines()
{
    const QSize Slot(276, 80);
    const QRegion First = shared::hintOutlineMask(QStringLiteral("cat1"), Slot);
    const QRegion Middle = shared::hintOutlineMask(QStringLiteral("cat2"), Slot);
    const QRegion Last = shared::hintOutlineMask(QStringLiteral("cat3"), Slot);

    // cat1: vertical left edge, right edge slanting from (276, 0) to (236, 80).
    QVERIFY(First.contains(QPoint(0, 1)) && First.contains(QPoint(0, 78)));
    QVERIFY(First.contains(QPoint(272, 1)));
    QVERIFY(!First.contains(QPoint(250, 78)) && First.contains(QPoint(230, 78)));
    // cat2: both edges slant the same way.
    QVERIFY(!Middle.contains(QPoint(5, 1)) && Middle.contains(QPoint(45, 1)));
    QVERIFY(Middle.contains(QPoint(3, 78)));
    QVERIFY(!Middle.contains(QPoint(250, 78)) && Middle.contains(QPoint(272, 1)));
    // cat3: slanted left edge, vertical right edge.
    QVERIFY(!Last.contains(QPoint(5, 1)) && Last.contains(QPoint(3, 78)));
    QVERIFY(Last.contains(QPoint(274, 1)) && Last.contains(QPoint(274, 78)));
    // Neighbouring slots fit into each other: what cat1 leaves out on its right, cat2
    // covers on its left, shifted by the slot width minus half the height.
    QVERIFY(!First.contains(QPoint(270, 60)) && Middle.contains(QPoint(270 - 236, 60)));

    QVERIFY(shared::hintOutlineMask(QStringLiteral("Cat1"), Slot).isEmpty());
    QVERIFY(shared::isHintCategory(QStringLiteral("cat3")));
    QVERIFY(!shared::isHintCategory(QStringLiteral("CAT3")));
    QVERIFY(!shared::isHintCategory(QString()));
}

void TestWidgets::hintImageIsFetchedScaledAndCentred()
{
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/wide.png"), pngOfSize(580, 160), "image/png");
    Server.setBody(QStringLiteral("/tall.png"), pngOfSize(200, 200), "image/png");

    const QImage Wide = shared::fetchHintImage(Server.url(QStringLiteral("/wide.png")), QSize(290, 80));
    QCOMPARE(Wide.size(), QSize(290, 80));
    // Expanding: the image covers the box and may reach past it.
    QCOMPARE(shared::fetchHintImage(Server.url(QStringLiteral("/tall.png")), QSize(290, 80)).size(), QSize(290, 290));

    QWidget Window;
    QWidget* pSlot = shared::createHintSlot(&Window, QStringLiteral("cat2"), nullptr);
    QCOMPARE(pSlot->size(), QSize(276, 80));
    QVERIFY(!pSlot->mask().isEmpty());
    const QImage Image = shared::fetchHintImage(Server.url(QStringLiteral("/wide.png")), QSize(290, 80));
    ClickableLabel* pLabel = shared::createHintImageLabel(&Window, pSlot, Image, QSize(290, 80), QStringLiteral("https://torvane.example/n"));
    QCOMPARE(pLabel->parentWidget(), pSlot);
    QCOMPARE(pLabel->geometry(), QRect(-7, 0, 290, 80));
    QCOMPARE(pLabel->toolTip(), QStringLiteral("https://torvane.example/n"));
    QCOMPARE(pLabel->cursor().shape(), Qt::PointingHandCursor);
}

void TestWidgets::hintImageFailuresGiveEmptyImage()
{
    TLoopbackHttpServer Server;
    Server.setBody(QStringLiteral("/notanimage.png"), "this is text", "image/png");
    QVERIFY(shared::fetchHintImage(Server.url(QStringLiteral("/notanimage.png")), QSize(290, 80)).isNull());
    QVERIFY(shared::fetchHintImage(Server.url(QStringLiteral("/absent.png")), QSize(290, 80)).isNull());
    QVERIFY(shared::fetchHintImage(QUrl(), QSize(290, 80)).isNull());
    // A server that does not answer in time does not hold the caller.
    TBehaviour Slow;
    Slow.delayBeforeHeadersMs = 3000;
    Server.setBody(QStringLiteral("/slow.png"), pngOfSize(10, 10), "image/png");
    Server.setBehaviour(QStringLiteral("/slow.png"), Slow);
    QVERIFY(shared::fetchHintImage(Server.url(QStringLiteral("/slow.png")), QSize(290, 80), 200).isNull());
}

void TestWidgets::contextButtonOffersMenuOnlyWithActions()
{
    QContextPushButton Button;
    Button.resize(98, 40);
    Button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Button));
    QContextMenuEvent Event(QContextMenuEvent::Mouse, QPoint(5, 5), Button.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&Button, &Event);
    QVERIFY(!Button.contextMenu()->isVisible());

    QSignalSpy Triggered(&Button, &QContextPushButton::contextTriggered);
    auto* pAction = new QAction(QStringLiteral("Verify"), &Button);
    Button.contextMenu()->addAction(pAction);
    QApplication::sendEvent(&Button, &Event);
    QVERIFY(Button.contextMenu()->isVisible());
    pAction->trigger();
    QCOMPARE(Triggered.size(), 1);
    QCOMPARE(Triggered.at(0).at(0).toString(), QStringLiteral("Verify"));
    Button.contextMenu()->hide();
}

void TestWidgets::buttonFollowsPackageStatus_data()
{
    QTest::addColumn<int>("Status");
    QTest::addColumn<QString>("Colour");
    QTest::addColumn<QString>("Icon");
    QTest::addColumn<QStringList>("Menu");
    QTest::newRow("undetermined") << 0 << "Red" << "" << QStringList();
    QTest::newRow("not installed") << 1 << "Blue" << "Download" << QStringList();
    QTest::newRow("partially installed") << 2 << "Orange" << "Update" << QStringList();
    QTest::newRow("update required") << 3 << "Orange" << "Update" << QStringList();
    QTest::newRow("installed") << 4 << "Green" << "Play" << QStringList{QStringLiteral("Verify")};
}

void TestWidgets::buttonFollowsPackageStatus()
{
    QFETCH(int, Status);
    QFETCH(QString, Colour);
    QFETCH(QString, Icon);
    QFETCH(QStringList, Menu);
    auto pPackage = makePackage(0, QStringLiteral("Torvane"), QStringLiteral("1.0"));
    TItemHost Host(pPackage);
    // Go through another status first, so that the menu is rebuilt rather than built once.
    pPackage->setLocalPackageStatus(ELocalPackageStatus::Installed);
    pPackage->setLocalPackageStatus(static_cast<ELocalPackageStatus>(Status));

    QContextPushButton* pButton = Host.m_pItem->button();
    const QString StyleSheet = pButton->styleSheet();
    for (const char* State : {"idle", "hover", "pressed"}) {
        QVERIFY(StyleSheet.contains(QStringLiteral("url(:/images/launcher/Button_%1_%2.png) 4 4 4 4 repeat scale;").arg(Colour, QLatin1String(State))));
    }
    QVERIFY(StyleSheet.contains(QStringLiteral("image: url(:/images/launcher/Icon_%1.png);").arg(Icon)));
    QCOMPARE(StyleSheet.count(QStringLiteral("Button_")), 3);
    QCOMPARE(pButton->toolTip(), Icon);
    QCOMPARE(pButton->size(), QSize(98, 40));
    QStringList Actions;
    for (QAction* pAction : pButton->contextMenu()->actions()) {
        Actions << pAction->text();
    }
    QCOMPARE(Actions, Menu);
    QCOMPARE(pButton->findChildren<QAction*>(QString(), Qt::FindDirectChildrenOnly).size(), Menu.size());

    QSignalSpy Clicked(Host.m_pItem, &TClientPackageLayoutItem::buttonClicked);
    pButton->click();
    QCOMPARE(Clicked.size(), 1);
    QCOMPARE(Clicked.at(0).at(0).value<std::shared_ptr<TPackage>>(), pPackage);
}

void TestWidgets::verifyEntryEmitsVerifyButtonClicked()
{
    auto pPackage = makePackage(3, QStringLiteral("Torvane"), QStringLiteral("1.0"));
    pPackage->setLocalPackageStatus(ELocalPackageStatus::Installed);
    TItemHost Host(pPackage);
    QSignalSpy Verify(Host.m_pItem, &TClientPackageLayoutItem::verifyButtonClicked);
    QSignalSpy Clicked(Host.m_pItem, &TClientPackageLayoutItem::buttonClicked);
    const QList<QAction*> Actions = Host.m_pItem->button()->contextMenu()->actions();
    QCOMPARE(Actions.size(), 1);
    Actions.first()->trigger();
    QCOMPARE(Verify.size(), 1);
    QCOMPARE(Verify.at(0).at(0).value<std::shared_ptr<TPackage>>(), pPackage);
    QCOMPARE(Clicked.size(), 0);
}

void TestWidgets::logoNameVersionAndCheckbox()
{
    // Generation "first" wins over the variant.
    auto pClassic = makePackage(0, QStringLiteral("Torvane Classic"), QStringLiteral("7.1"), QStringLiteral("first"), QStringLiteral("beta"));
    TItemHost Classic(pClassic, true);
    QCOMPARE(Classic.m_pItem->logoLabel()->styleSheet(),
             QStringLiteral("\n          QLabel {\n            image: url(:/images/launcher/TorvaneLogo_Classic_disabled.png);\n          }\n        "));
    QCOMPARE(Classic.m_pItem->logoLabel()->size(), QSize(196, 152));
    QCOMPARE(Classic.m_pItem->logoLabel()->toolTip(), QStringLiteral("Torvane Classic"));
    QCOMPARE(Classic.m_pItem->nameLabel()->text(), QStringLiteral("Torvane Classic"));
    QCOMPARE(Classic.m_pItem->statusLabel()->text(), QStringLiteral("7.1"));
    QVERIFY(Classic.m_pItem->defaultClientCheckbox()->isHidden());
    QVERIFY(Classic.m_pItem->defaultClientCheckbox()->sizePolicy().retainSizeWhenHidden());

    pClassic->setLocalPackageStatus(ELocalPackageStatus::Installed);
    QVERIFY(Classic.m_pItem->logoLabel()->styleSheet().contains(QStringLiteral("TorvaneLogo_Classic.png")));
    QVERIFY(!Classic.m_pItem->defaultClientCheckbox()->isHidden());

    // A logo link target makes the logo a link; the variant names the picture.
    auto pPreview = makePackage(1, QStringLiteral("Preview"), QString(), QStringLiteral("second"), QStringLiteral("preview"),
                                QStringLiteral("https://torvane.example/preview"));
    TItemHost Preview(pPreview);
    QCOMPARE(Preview.m_pItem->logoLabel()->text(),
             QStringLiteral("<a href=\"https://torvane.example/preview\"><img src=\":/images/launcher/TorvaneLogo_Preview_disabled.png\"></a>"));
    QCOMPARE(Preview.m_pItem->logoLabel()->textFormat(), Qt::RichText);
    QVERIFY(Preview.m_pItem->logoLabel()->openExternalLinks());
    QCOMPARE(Preview.m_pItem->statusLabel()->text(), QStringLiteral("?"));

    for (const auto& [Variant, Word] : {std::pair{"beta", "Beta"}, std::pair{"test", "Test"}, std::pair{"regular", "QT"}}) {
        TItemHost Host(makePackage(2, QStringLiteral("x"), QStringLiteral("1"), QStringLiteral("second"), QLatin1String(Variant)));
        QVERIFY2(Host.m_pItem->logoLabel()->styleSheet().contains(QStringLiteral("TorvaneLogo_%1_disabled.png").arg(QLatin1String(Word))),
                 Variant);
    }

    // The check box reports Checked and Unchecked, nothing for PartiallyChecked.
    QSignalSpy Default(Classic.m_pItem, &TClientPackageLayoutItem::defaultChanged);
    Classic.m_pItem->defaultClientCheckbox()->setChecked(true);
    Classic.m_pItem->defaultClientCheckbox()->setCheckState(Qt::PartiallyChecked);
    Classic.m_pItem->defaultClientCheckbox()->setChecked(false);
    QCOMPARE(Default.size(), 2);
    QCOMPARE(Default.at(0).at(1).toBool(), true);
    QCOMPARE(Default.at(1).at(1).toBool(), false);

    // No current configuration: no version at all.
    pClassic->currentBuild()->m_pConfiguration.reset();
    Classic.m_pItem->updatePackageNameAndVersion();
    QCOMPARE(Classic.m_pItem->statusLabel()->text(), QString());
}

void TestWidgets::withoutNameLabelStatusFollowsSpacing()
{
    TItemHost Host(makePackage(0, QStringLiteral("Torvane"), QStringLiteral("1.0")));
    QVERIFY(!Host.m_pItem->nameLabel());
    auto* pLayout = qobject_cast<QVBoxLayout*>(Host.m_pItem->groupBox()->layout());
    QVERIFY(pLayout);
    QCOMPARE(pLayout->count(), 5);
    QCOMPARE(pLayout->itemAt(0)->widget(), Host.m_pItem->progressBar());
    QCOMPARE(pLayout->itemAt(1)->widget(), Host.m_pItem->button());
    QVERIFY(pLayout->itemAt(2)->spacerItem());
    QCOMPARE(pLayout->itemAt(3)->widget(), Host.m_pItem->statusLabel());
    QCOMPARE(pLayout->itemAt(4)->widget(), Host.m_pItem->defaultClientCheckbox());
    QVERIFY(Host.m_pItem->progressBar()->isHidden());
    QCOMPARE(Host.m_pItem->progressBar()->size(), QSize(98, 40));

    TItemHost Named(makePackage(0, QStringLiteral("Torvane"), QStringLiteral("1.0")), true);
    auto* pNamedLayout = qobject_cast<QVBoxLayout*>(Named.m_pItem->groupBox()->layout());
    QCOMPARE(pNamedLayout->count(), 6);
    QCOMPARE(pNamedLayout->itemAt(3)->widget(), Named.m_pItem->nameLabel());
}

void TestWidgets::progressArithmetic()
{
    QCOMPARE(TClientPackageLayoutItem::progressValue(1, 3), 3333);
    QCOMPARE(TClientPackageLayoutItem::progressValue(2, 3), 6667);
    QCOMPARE(TClientPackageLayoutItem::progressValue(1, 20000), 1); // 0.5 rounds up
    QCOMPARE(TClientPackageLayoutItem::progressValue(3, 3), 10000);
    QCOMPARE(TClientPackageLayoutItem::progressValue(0, 0), 0);
    QCOMPARE(TClientPackageLayoutItem::progressValue(5, 0), 0);
    QCOMPARE(TClientPackageLayoutItem::progressValue(40000000000ULL, 80000000000ULL), 5000);
    QCOMPARE(TClientPackageLayoutItem::progressFigures(1500000, 3000000), QStringLiteral("1.5/3.0 MB"));
    QCOMPARE(TClientPackageLayoutItem::progressFigures(0, 0), QStringLiteral("0.0/0.0 MB"));
    QCOMPARE(TClientPackageLayoutItem::progressFigures(49999, 12345678901ULL), QStringLiteral("0.0/12345.7 MB"));
}

void TestWidgets::rateTexts_data()
{
    QTest::addColumn<quint64>("Rate");
    QTest::addColumn<QString>("Text");
    QTest::newRow("0") << quint64(0) << "0 B/s";
    QTest::newRow("1024") << quint64(1024) << "1024 B/s";
    QTest::newRow("1025") << quint64(1025) << "1.0 KB/s";
    QTest::newRow("1048576") << quint64(1048576) << "1048.6 KB/s";
    QTest::newRow("1048577") << quint64(1048577) << "1.0 MB/s";
    QTest::newRow("1073741824") << quint64(1073741824) << "1073.7 MB/s";
    QTest::newRow("1073741825") << quint64(1073741825) << "1.1 GB/s";
}

void TestWidgets::rateTexts()
{
    QFETCH(quint64, Rate);
    QFETCH(QString, Text);
    QCOMPARE(TClientPackageLayoutItem::formatRate(Rate), Text);
}

void TestWidgets::itemFollowsAnInstallation()
{
    auto pPackage = makePackage(0, QStringLiteral("Torvane"), QStringLiteral("2.4"));
    pPackage->setLocalPackageStatus(ELocalPackageStatus::NotInstalled);
    TItemHost Host(pPackage);
    TClientPackageLayoutItem* pItem = Host.m_pItem;
    QProgressBar* pBar = pItem->progressBar();
    auto pInstallation = std::make_shared<TPackageInstallation>(pPackage, std::make_shared<TLauncherFilesystemHelper>());

    pItem->onInstallationOrUpdateStarted(*pInstallation);
    QVERIFY(pItem->button()->isHidden());
    QVERIFY(!pBar->isHidden());
    QCOMPARE(pBar->value(), 0);
    QCOMPARE(pBar->text(), QString());

    // Phase signals come from worker threads and are queued.
    emit pInstallation->scanProgress(1, 3);
    QCOMPARE(pBar->value(), 0);
    QTRY_COMPARE(pBar->value(), 3333);
    QCOMPARE(pBar->maximum(), 10000);
    QCOMPARE(pBar->text(), QStringLiteral("Scanning..."));
    QCOMPARE(pItem->statusLabel()->text(), QStringLiteral("0.0/0.0 MB"));
    emit pInstallation->scanProgress(7, 0);
    QTRY_COMPARE(pBar->value(), 0);

    // Download progress comes on the GUI thread; the rate is the downloader's mean of
    // received bytes per 100 ms tick, times ten.
    TPackageFileDownloader* pDownloader = pInstallation->downloader();
    emit pDownloader->progress(1500000, 3000000, 0, 6000000);
    QCOMPARE(pBar->value(), 5000);
    QCOMPARE(pBar->text(), QStringLiteral("0 B/s"));
    QCOMPARE(pItem->statusLabel()->text(), QStringLiteral("1.5/3.0 MB"));
    // Only the downloader's own ticks add samples; the test puts one in directly.
    const_cast<TRunningAverage&>(pDownloader->receivedAverage()).addSample(104858);
    emit pDownloader->progress(2000000, 3000000, 1000000, 6000000);
    QCOMPARE(pBar->text(), QStringLiteral("1.0 MB/s"));
    QCOMPARE(pBar->value(), 6667);
    emit pDownloader->progress(3000000, 3000000, 4500000, 6000000);
    QCOMPARE(pBar->text(), QStringLiteral("Writing..."));
    QCOMPARE(pBar->value(), 7500);
    QCOMPARE(pItem->statusLabel()->text(), QStringLiteral("4.5/6.0 MB"));

    emit pInstallation->verificationProgress(500000, 1000000);
    QTRY_COMPARE(pBar->text(), QStringLiteral("Verifying..."));
    QCOMPARE(pItem->statusLabel()->text(), QStringLiteral("0.5/1.0 MB"));

    // The job ends; a progress report still queued must not bring figures back.
    emit pInstallation->verificationProgress(900000, 1000000);
    pPackage->setLocalPackageStatus(ELocalPackageStatus::Installed);
    pItem->onInstallationOrUpdateFinished(*pInstallation);
    QCoreApplication::processEvents();
    QVERIFY(pBar->isHidden());
    QVERIFY(!pItem->button()->isHidden());
    QCOMPARE(pBar->value(), 0);
    QCOMPARE(pItem->statusLabel()->text(), QStringLiteral("2.4"));
    QCOMPARE(pItem->button()->toolTip(), QStringLiteral("Play"));
    emit pDownloader->progress(1, 3, 0, 0);
    QCOMPARE(pItem->statusLabel()->text(), QStringLiteral("2.4"));

    // The connections end with the job.
    pInstallation.reset();
    QCOMPARE(pItem->statusLabel()->text(), QStringLiteral("2.4"));
}

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
