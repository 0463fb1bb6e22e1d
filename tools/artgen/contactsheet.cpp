// One picture with every image, its file name and size, plus the sliced parts
// stretched the way the launcher's style sheets stretch them.
#include "artgen.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <map>

namespace artgen {

namespace {

constexpr int kSheetW = 1180;
constexpr int kMargin = 20;
const QColor kSheetBg(0x1A, 0x1B, 0x1F);

void checker(QPainter& p, const QRect& r)
{
    p.save();
    p.setClipRect(r);
    for (int y = r.top(); y <= r.bottom(); y += 8) {
        for (int x = r.left(); x <= r.right(); x += 8) {
            const bool odd = (((x - r.left()) / 8) + ((y - r.top()) / 8)) % 2;
            p.fillRect(QRect(x, y, 8, 8), odd ? QColor(0x2C, 0x2E, 0x33) : QColor(0x36, 0x38, 0x3E));
        }
    }
    p.restore();
}

enum class Fill { Stretch, Repeat };

// Draws `img` into `target` like a style sheet border-image with the given
// slice widths (left, top, right, bottom) and modes for the horizontal and the
// vertical middle parts.
void nineSlice(QPainter& p, const QRect& target, const QImage& img, int l, int t, int r, int b, Fill horizontal,
               Fill vertical)
{
    const int sx[4] = {0, l, img.width() - r, img.width()};
    const int sy[4] = {0, t, img.height() - b, img.height()};
    const int dx[4] = {target.left(), target.left() + l, target.right() + 1 - r, target.right() + 1};
    const int dy[4] = {target.top(), target.top() + t, target.bottom() + 1 - b, target.bottom() + 1};
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) {
            const QRect src(sx[i], sy[j], sx[i + 1] - sx[i], sy[j + 1] - sy[j]);
            const QRect dst(dx[i], dy[j], dx[i + 1] - dx[i], dy[j + 1] - dy[j]);
            if (src.isEmpty() || dst.isEmpty())
                continue;
            const QImage part = img.copy(src);
            const bool repeatX = i == 1 && horizontal == Fill::Repeat;
            const bool repeatY = j == 1 && vertical == Fill::Repeat;
            const int tileW = repeatX ? src.width() : dst.width();
            const int tileH = repeatY ? src.height() : dst.height();
            const QImage tile = part.scaled(tileW, tileH, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            p.save();
            p.setClipRect(dst);
            for (int y = dst.top(); y < dst.bottom() + 1; y += tileH)
                for (int x = dst.left(); x < dst.right() + 1; x += tileW)
                    p.drawImage(x, y, tile);
            p.restore();
        }
    }
}

struct Cell {
    const Asset* asset;
    int width;
    int height;
};

}  // namespace

QImage drawContactSheet(const std::vector<Asset>& assets)
{
    const QFont titleFont = makeFont(QStringLiteral("Liberation Serif"), 22, QFont::Bold);
    const QFont headFont = makeFont(QStringLiteral("Liberation Sans"), 14, QFont::Bold);
    const QFont nameFont = makeFont(QStringLiteral("Liberation Sans"), 11, QFont::Bold);
    const QFont sizeFont = makeFont(QStringLiteral("Liberation Sans"), 10, QFont::Normal);
    const QFontMetrics nameMetrics(nameFont);
    const int labelH = 34;

    // Lay out: the background alone, then every other image in rows.
    const Asset* background = nullptr;
    std::vector<Cell> cells;
    for (const Asset& a : assets) {
        if (a.image.width() >= 400) {
            background = &a;
            continue;
        }
        const bool small = std::max(a.image.width(), a.image.height()) <= 48;
        const int imgW = small ? a.image.width() * 4 + 12 + a.image.width() : a.image.width();
        const int imgH = small ? a.image.height() * 4 : a.image.height();
        const int w = std::max(imgW, nameMetrics.horizontalAdvance(a.fileName)) + 16;
        cells.push_back({&a, w, imgH + 16 + labelH});
    }

    struct Placed {
        const Cell* cell;
        QPoint pos;
        int rowH;
    };
    std::vector<Placed> placed;
    int x = kMargin;
    int y = 60 + (background ? background->image.height() + 16 + labelH + 20 : 0) + 30;
    const int gridTop = y;
    int rowH = 0;
    for (const Cell& c : cells) {
        if (x + c.width > kSheetW - kMargin) {
            x = kMargin;
            y += rowH + 12;
            rowH = 0;
        }
        placed.push_back({&c, QPoint(x, y), 0});
        x += c.width + 12;
        rowH = std::max(rowH, c.height);
    }
    const int usageTop = y + rowH + 40;
    const int usageH = 4 * 52 + 130;
    const int sheetH = usageTop + 12 + usageH + kMargin;

    QImage sheet(kSheetW, sheetH, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(kSheetBg);
    QPainter p(&sheet);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    p.setPen(creamText());
    p.setFont(titleFont);
    p.drawText(kMargin, 38, QStringLiteral("Torvane Online launcher art"));
    p.setFont(sizeFont);
    p.setPen(QColor(0x9A, 0x9A, 0x88));
    p.drawText(kMargin + 330, 38,
               QStringLiteral("%1 images, drawn by torvane-artgen; checkerboard = transparent").arg(assets.size()));

    auto label = [&](const Asset& a, int lx, int ly) {
        p.setFont(nameFont);
        p.setPen(creamText());
        p.drawText(lx, ly + 13, a.fileName);
        p.setFont(sizeFont);
        p.setPen(QColor(0x9A, 0x9A, 0x88));
        QString size = QStringLiteral("%1 \u00d7 %2").arg(a.image.width()).arg(a.image.height());
        if (!a.note.isEmpty())
            size += QStringLiteral("  \u00b7  ") + a.note;
        p.drawText(lx, ly + 27, size);
    };

    if (background) {
        p.drawImage(kMargin, 60, background->image);
        label(*background, kMargin, 60 + background->image.height() + 4);
    }
    p.setFont(headFont);
    p.setPen(creamText());
    p.drawText(kMargin, gridTop - 12, QStringLiteral("Images (small ones also at 4\u00d7)"));

    for (const Placed& pl : placed) {
        const Asset& a = *pl.cell->asset;
        const QRect box(pl.pos, QSize(pl.cell->width, pl.cell->height - labelH));
        checker(p, box);
        const bool small = std::max(a.image.width(), a.image.height()) <= 48;
        if (small) {
            const QImage big = a.image.scaled(a.image.width() * 4, a.image.height() * 4, Qt::IgnoreAspectRatio,
                                              Qt::FastTransformation);
            p.drawImage(box.left() + 8, box.top() + 8, big);
            p.drawImage(box.left() + 8 + big.width() + 12, box.top() + 8 + (big.height() - a.image.height()) / 2,
                        a.image);
        } else {
            p.drawImage(box.left() + 8, box.top() + 8, a.image);
        }
        label(a, box.left(), box.bottom() + 2);
    }

    // Usage: the sliced parts at the sizes the launcher stretches them to.
    std::map<QString, const QImage*> byName;
    for (const Asset& a : assets)
        byName[a.fileName] = &a.image;
    auto img = [&](const QString& n) -> const QImage& { return *byName.at(n); };

    p.setFont(headFont);
    p.setPen(creamText());
    p.drawText(kMargin, usageTop, QStringLiteral("As stretched by the launcher (98 \u00d7 40 buttons, panels)"));
    const QRect usageBox(kMargin, usageTop + 12, kSheetW - 2 * kMargin, usageH);
    const QImage& bg = img(QStringLiteral("BackgroundImage.jpg"));
    const int srcH = bg.width() * usageBox.height() / usageBox.width();
    p.drawImage(usageBox, bg, QRect(0, bg.height() - srcH, bg.width(), srcH));
    const char* colours[] = {"Blue", "Orange", "Green", "Red"};
    const char* icons[] = {"Icon_Download.png", "Icon_Update.png", "Icon_Play.png", nullptr};
    const char* states[] = {"idle", "hover", "pressed"};
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 3; ++col) {
            const QRect r(usageBox.left() + 16 + col * 114, usageBox.top() + 12 + row * 52, 98, 40);
            nineSlice(p, r, img(QStringLiteral("Button_%1_%2.png").arg(QLatin1String(colours[row]),
                                                                     QLatin1String(states[col]))),
                      4, 4, 4, 4, Fill::Repeat, Fill::Stretch);
            if (icons[row]) {
                const QImage icon = img(QLatin1String(icons[row]))
                                        .scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation);
                const int shift = col == 2 ? 1 : 0;
                p.drawImage(r.left() + (98 - 32) / 2 + shift, r.top() + 4 + shift, icon);
            }
        }
    }
    // A package panel holding a progress bar at 60 %.
    const QRect panel(usageBox.left() + 380, usageBox.top() + 12, 180, 120);
    nineSlice(p, panel, img(QStringLiteral("clientpackage-background.png")), 16, 16, 16, 16, Fill::Repeat,
              Fill::Repeat);
    const QRect bar(panel.left() + 41, panel.top() + 14, 98, 40);
    p.drawImage(bar, img(QStringLiteral("ProgressBar_BG.png")));
    const QRect chunk(bar.left() + 2, bar.top() + 2, (94 * 60) / 100, 36);
    p.drawImage(chunk, img(QStringLiteral("ProgressBar.png")));
    p.setFont(makeFont(QStringLiteral("Liberation Sans"), 13, QFont::Bold));
    p.setPen(creamText());
    p.drawText(bar, Qt::AlignCenter, QStringLiteral("60%"));
    p.drawImage(panel.left() + 30, panel.top() + 78, img(QStringLiteral("checkbox-checked.png")));
    p.drawText(QRect(panel.left() + 52, panel.top() + 74, 120, 24), Qt::AlignVCenter, QStringLiteral("Default Client"));
    // Hints panel.
    const QRect hints(usageBox.left() + 580, usageBox.top() + 12, 420, 90);
    nineSlice(p, hints, img(QStringLiteral("hint-background.png")), 5, 5, 5, 0, Fill::Repeat, Fill::Repeat);
    p.drawImage(hints.left() + 10, hints.top() + 40, img(QStringLiteral("HalvernLogo.png")));
    p.drawImage(hints.left() + 190, hints.top() + 58, img(QStringLiteral("Twitter.png")));
    p.drawImage(hints.left() + 218, hints.top() + 58, img(QStringLiteral("Discord.png")));
    p.drawImage(hints.right() - 50, hints.top() + 68, img(QStringLiteral("icircle.png")));
    p.setFont(makeFont(QStringLiteral("Liberation Sans"), 11, QFont::Bold));
    p.drawText(hints.right() - 30, hints.top() + 80, QStringLiteral("v0.0.8"));
    // Scroll bar: arrows, tiled groove and a stretched handle.
    const int sbX = usageBox.left() + 1030;
    const int sbY = usageBox.top() + 12;
    p.drawImage(sbX, sbY, img(QStringLiteral("scrollbar-buttonup-up.png")));
    const QRect groove(sbX, sbY + 12, 12, 96);
    for (int gy = groove.top(); gy < groove.bottom(); gy += img(QStringLiteral("scrollbar-texture-vertical.png")).height()) {
        p.save();
        p.setClipRect(groove);
        p.drawImage(sbX, gy, img(QStringLiteral("scrollbar-texture-vertical.png")));
        p.restore();
    }
    nineSlice(p, QRect(sbX, sbY + 30, 12, 44), img(QStringLiteral("scrollbar-handle-vertical.png")), 6, 6, 6, 6,
              Fill::Stretch, Fill::Stretch);
    p.drawImage(sbX, groove.bottom() + 1, img(QStringLiteral("scrollbar-buttondown-up.png")));
    // Logos on the background, the way the package grid shows them.
    p.drawImage(usageBox.left() + 580, usageBox.top() + 120, img(QStringLiteral("TorvaneLogo_QT.png")).scaled(
                                                                  98, 76, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    p.drawImage(usageBox.left() + 690, usageBox.top() + 120,
                img(QStringLiteral("TorvaneLogo_Beta_disabled.png"))
                    .scaled(98, 76, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    p.setFont(sizeFont);
    p.setPen(QColor(0x9A, 0x9A, 0x88));
    p.drawText(usageBox.left() + 800, usageBox.top() + 160, QStringLiteral("(logos at half size)"));
    p.end();
    return sheet.convertToFormat(QImage::Format_RGB32);
}

}  // namespace artgen
