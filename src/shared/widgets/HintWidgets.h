#pragma once

// Building blocks of the hints area under the package grid: three slots side by side,
// one per hint category, whose slanted outlines fit into each other. Each slot first
// holds a hint browser and, once the hints document has arrived, an image with a caption
// that opens the hint's link.

#include <QImage>
#include <QRegion>
#include <QSize>
#include <QString>
#include <QUrl>

#include <memory>

class ClickableLabel;
class QWidget;

namespace shared {

class QTextBrowserWithNetwork;
class TDownloadPool;
class THint;

// The three categories, left to right.
inline constexpr const char* kHintCategories[] = {"cat1", "cat2", "cat3"};

// Whether Category is one of the three (exact, case-sensitive).
bool isHintCategory(const QString& Category);

// The category's outline for a widget of Size as a mask region. "cat1" has a vertical
// left edge, "cat3" a vertical right edge, and every edge between two slots slants by
// half the height. An unknown category gives an empty region.
QRegion hintOutlineMask(const QString& Category, const QSize& Size);
// Sets the category's outline mask on pWidget, taken at the widget's current size.
void applyHintOutlineMask(QWidget* pWidget, const QString& Category);

// The launcher's vertical scroll bar look (textured groove, knob and arrow images).
QString scrollBarStyleSheet();

// The hint browser of one slot, child of pParent, styled for the dark hint area.
QTextBrowserWithNetwork* createHintBrowser(QWidget* pParent, std::shared_ptr<TDownloadPool> pDownloadPool);

// A fixed 276 x 80 slot, child of pParent, masked with the category's outline, holding
// pContent (placed at its top left corner) as its first child.
QWidget* createHintSlot(QWidget* pParent, const QString& Category, QWidget* pContent);

// Fetches the image at Url with a GET of its own, waiting in a local event loop (other
// events keep being delivered meanwhile), and scales it to cover ScaledSize. A failed
// or timed-out transfer or bytes that are no image give a null image.
QImage fetchHintImage(const QUrl& Url, const QSize& ScaledSize, int TimeoutMs = 20000);

// The clickable image of a hint: created as a child of pParent, moved into pSlot and
// centred on it at the image's size (at least MinimumSize).
ClickableLabel* createHintImageLabel(QWidget* pParent, QWidget* pSlot, const QImage& Image, const QSize& MinimumSize,
                                     const QString& LinkUrl);

// The caption style: light small caps on a translucent dark band.
QString hintCaptionStyleSheet(int PaddingLeft, const QString& BackgroundAlpha);

// The caption band of a hint, child of pSlot, at Geometry.
ClickableLabel* createHintCaption(QWidget* pSlot, const QString& RichText, int PaddingLeft, const QString& BackgroundAlpha,
                                  const QRect& Geometry, const QString& LinkUrl);

// The 286 x 84 frame that lights up green around a slot under the mouse, child of
// pParent, masked with the category's outline.
QWidget* createHintHoverFrame(QWidget* pParent, const QString& Category);

// Opens Url with the desktop's URL handler when it is an http or https address (see
// openWebLink); returns whether it did.
bool openHintLink(const QString& Url);

} // namespace shared
