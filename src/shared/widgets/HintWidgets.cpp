#include "HintWidgets.h"

#include "ClickableLabel.h"
#include "QTextBrowserWithNetwork.h"
#include "SafeLinks.h"

#include <QDebug>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPixmap>
#include <QTextDocument>
#include <QTimer>
#include <QWidget>

namespace shared {

namespace {

const char* const kHintBrowserDocumentStyleSheet = R"(
        a {
          text-decoration:unterline;
          color: #c0c0c0;
        }
      )";

const char* const kHintBrowserTextStyleSheet = R"(
        QTextBrowser {
          font-family: "Liberation Sans";
          font-variant: small-caps;
          font-size: 11px;
          font-weight: bold;
          color: #DADABC;
          border-style: none;
        }

        )";

// Also styles the package list's scroll bar.
const char* const kScrollBarStyleSheet = R"(/*inner area*/
        QScrollBar::vertical  {
          border-image: url(:/images/launcher/scrollbar-texture-vertical.png) 0 0 0 0 repeat;
          border-top: 6px transparent;
          border-left: 6px transparent;
          border-bottom: 6px transparent;
          border-right: 6px transparent;
          border: 0px solid red;
          background: none;
          width: 12px;
          margin: 12px 0 12px 0; /* match top/lower area*/
        }
        /*the knob*/
        QScrollBar::handle:vertical {
          border-image: url(:/images/launcher/scrollbar-handle-vertical.png) 6 6 6 6;
          border-top: 6px transparent;
          border-left: 6px transparent;
          border-bottom: 6px transparent;
          border-right: 6px transparent;
          min-height: 12px;
        }
        /*lower arrow area*/
        QScrollBar::add-line:vertical {
          border: 0px solid red;
          background: none;
          height: 12px;
          subcontrol-position: bottom;
          subcontrol-origin: margin;
        }
        /*top arrow area*/
        QScrollBar::sub-line:vertical {
          border: 0px solid red;
          background: none;
          height: 12px;
          subcontrol-position: top;
          subcontrol-origin: margin;
        }
        /*arrows*/
        QScrollBar::up-arrow:vertical  {
          image:  url(:/images/launcher/scrollbar-buttonup-up.png);
        }
        /*pressed*/
        QScrollBar::up-arrow:vertical::pressed  {
          image:  url(:/images/launcher/scrollbar-buttonup-down.png);
        }
        QScrollBar::down-arrow:vertical::pressed  {
          image:  url(:/images/launcher/scrollbar-buttondown-down.png);
        }
        QScrollBar::down-arrow:vertical {
          image:  url(:/images/launcher/scrollbar-buttondown-up.png);
        }
        QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical {
          background: none;
        }
      )";

const char* const kHintCaptionStyleSheet = R"(
          QLabel {
            font-family: "Liberation Sans";
            font-variant: small-caps;
            font-size: 11px;
            font-weight: bold;
            color: #DADABC;
            padding-left: %1px;
            background-color: rgba(50, 50, 50, %2);
          }
        )";

const char* const kHintHoverFrameStyleSheet = R"(
        QWidget:hover { background-color: #8ED838; }
        QWidget { background-color: transparent; }
      )";

constexpr QSize kHintSlotSize(276, 80);
constexpr QSize kHintHoverFrameSize(286, 84);
constexpr QSize kHintBrowserSize(280, 104);

} // namespace

bool isHintCategory(const QString& Category)
{
    for (const char* Known : kHintCategories) {
        if (Category == QLatin1String(Known)) {
            return true;
        }
    }
    return false;
}

QString scrollBarStyleSheet()
{
    return QString::fromUtf8(kScrollBarStyleSheet);
}

QRegion hintOutlineMask(const QString& Category, const QSize& Size)
{
    const qreal W = Size.width();
    const qreal H = Size.height();
    QPolygonF Corners;
    bool Stroke = true;
    if (Category == QLatin1String("cat1")) {
        Corners << QPointF(0, 0) << QPointF(W, 0) << QPointF(W - H / 2, H) << QPointF(0, H);
        Stroke = false;
    } else if (Category == QLatin1String("cat2")) {
        Corners << QPointF(H / 2, 0) << QPointF(W, 0) << QPointF(W - H / 2, H) << QPointF(0, H);
    } else if (Category == QLatin1String("cat3")) {
        Corners << QPointF(H / 2, 0) << QPointF(W, 0) << QPointF(W, H) << QPointF(0, H);
    } else {
        return QRegion();
    }
    QPainterPath Outline;
    Outline.addPolygon(Corners);
    Outline.closeSubpath();
    QPolygonF Polygon = Outline.toFillPolygon();
    if (Stroke) {
        QPainterPathStroker Stroker;
        Stroker.setWidth(1);
        Stroker.setJoinStyle(Qt::RoundJoin);
        Polygon << Stroker.createStroke(Outline).toFillPolygon();
    }
    return QRegion(Polygon.toPolygon(), Qt::OddEvenFill);
}

void applyHintOutlineMask(QWidget* pWidget, const QString& Category)
{
    pWidget->setMask(hintOutlineMask(Category, pWidget->size()));
}

QTextBrowserWithNetwork* createHintBrowser(QWidget* pParent, std::shared_ptr<TDownloadPool> pDownloadPool)
{
    auto* pBrowser = new QTextBrowserWithNetwork(pParent, std::move(pDownloadPool));
    // Links go to the desktop only as web addresses; the browser itself follows none.
    pBrowser->setOpenExternalLinks(false);
    pBrowser->setOpenLinks(false);
    QObject::connect(pBrowser, &QTextBrowser::anchorClicked, pBrowser, [](const QUrl& Url) { openWebLink(Url); });
    pBrowser->setContextMenuPolicy(Qt::NoContextMenu);
    pBrowser->setMinimumSize(kHintBrowserSize);
    pBrowser->setMaximumSize(kHintBrowserSize);
    pBrowser->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    pBrowser->viewport()->setAutoFillBackground(true);
    pBrowser->document()->setDefaultStyleSheet(QString::fromUtf8(kHintBrowserDocumentStyleSheet));
    pBrowser->setStyleSheet(QString::fromUtf8(kHintBrowserTextStyleSheet) + scrollBarStyleSheet());
    return pBrowser;
}

QWidget* createHintSlot(QWidget* pParent, const QString& Category, QWidget* pContent)
{
    auto* pSlot = new QWidget(pParent);
    pSlot->setMinimumSize(kHintSlotSize);
    pSlot->setMaximumSize(kHintSlotSize);
    pSlot->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    if (pContent) {
        pContent->setParent(pSlot);
        pContent->move(0, 0);
    }
    applyHintOutlineMask(pSlot, Category);
    return pSlot;
}

QImage fetchHintImage(const QUrl& Url, const QSize& ScaledSize, int TimeoutMs)
{
    // The address comes from the hints document: a file: or qrc: name would make the
    // network layer read local files (or /dev/zero, without end).
    if (!isWebUrl(Url)) {
        qWarning() << "Refusing a hint image that is no http or https address:" << Url.toString().left(200);
        return QImage();
    }
    QNetworkAccessManager Manager;
    QNetworkRequest Request(Url);
    Request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // An image server that never answers must not hold the hints area (and the caller)
    // forever.
    Request.setTransferTimeout(TimeoutMs);
    QNetworkReply* pReply = Manager.get(Request);
    if (!pReply->isFinished()) {
        QEventLoop Loop;
        QObject::connect(pReply, &QNetworkReply::finished, &Loop, &QEventLoop::quit);
        Loop.exec();
    }
    QImage Image;
    if (pReply->error() == QNetworkReply::NoError) {
        QImage Loaded;
        if (Loaded.loadFromData(pReply->readAll())) {
            Image = Loaded.scaled(ScaledSize, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        }
    }
    // Owned by the manager until then; the manager goes with this function.
    pReply->deleteLater();
    pReply->setParent(nullptr);
    return Image;
}

ClickableLabel* createHintImageLabel(QWidget* pParent, QWidget* pSlot, const QImage& Image, const QSize& MinimumSize,
                                     const QString& LinkUrl)
{
    auto* pLabel = new ClickableLabel(pParent);
    pLabel->setParent(pSlot);
    pLabel->setMinimumSize(MinimumSize);
    pLabel->setGeometry((pSlot->width() - Image.width()) / 2, (pSlot->height() - Image.height()) / 2, Image.width(), Image.height());
    pLabel->setScaledContents(true);
    pLabel->setPixmap(QPixmap::fromImage(Image));
    pLabel->setOpenExternalLinks(false);
    pLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    pLabel->setToolTip(Qt::convertFromPlainText(LinkUrl));
    pLabel->setCursor(Qt::PointingHandCursor);
    return pLabel;
}

QString hintCaptionStyleSheet(int PaddingLeft, const QString& BackgroundAlpha)
{
    return QString::fromUtf8(kHintCaptionStyleSheet).arg(PaddingLeft).arg(BackgroundAlpha);
}

ClickableLabel* createHintCaption(QWidget* pSlot, const QString& RichText, int PaddingLeft, const QString& BackgroundAlpha,
                                  const QRect& Geometry, const QString& LinkUrl)
{
    auto* pCaption = new ClickableLabel(pSlot);
    // The caption shows the hint's words only: as rich text a label would load what the
    // document names (<img src="file:...">).
    pCaption->setTextFormat(Qt::PlainText);
    pCaption->setText(plainTextOfRichText(RichText));
    pCaption->setStyleSheet(hintCaptionStyleSheet(PaddingLeft, BackgroundAlpha));
    pCaption->setAlignment(Qt::AlignVCenter);
    pCaption->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    pCaption->setToolTip(Qt::convertFromPlainText(LinkUrl));
    pCaption->setCursor(Qt::PointingHandCursor);
    pCaption->setGeometry(Geometry);
    return pCaption;
}

QWidget* createHintHoverFrame(QWidget* pParent, const QString& Category)
{
    auto* pFrame = new QWidget(pParent);
    pFrame->setMinimumSize(kHintHoverFrameSize);
    pFrame->setMaximumSize(kHintHoverFrameSize);
    pFrame->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    pFrame->setStyleSheet(QString::fromUtf8(kHintHoverFrameStyleSheet));
    auto* pLayout = new QHBoxLayout(pFrame);
    pLayout->setSpacing(0);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pFrame->resize(kHintHoverFrameSize);
    applyHintOutlineMask(pFrame, Category);
    return pFrame;
}

bool openHintLink(const QString& Url)
{
    return openWebLink(QUrl(Url));
}

} // namespace shared
