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

void checker(QPainter& P, const QRect& R)
{
    P.save();
    P.setClipRect(R);
    for (int Y = R.top(); Y <= R.bottom(); Y += 8) {
        for (int X = R.left(); X <= R.right(); X += 8) {
            const bool Odd = (((X - R.left()) / 8) + ((Y - R.top()) / 8)) % 2;
            P.fillRect(QRect(X, Y, 8, 8), Odd ? QColor(0x2C, 0x2E, 0x33) : QColor(0x36, 0x38, 0x3E));
        }
    }
    P.restore();
}

enum class EFill { Stretch, Repeat };

// Draws `Img` into `Target` like a style sheet border-image with the given
// slice widths (left, top, right, bottom) and modes for the horizontal and the
// vertical middle parts.
void nineSlice(QPainter& P, const QRect& Target, const QImage& Img, int L, int T, int R, int B, EFill Horizontal, EFill Vertical)
{
    const int Sx[4] = {0, L, Img.width() - R, Img.width()};
    const int Sy[4] = {0, T, Img.height() - B, Img.height()};
    const int Dx[4] = {Target.left(), Target.left() + L, Target.right() + 1 - R, Target.right() + 1};
    const int Dy[4] = {Target.top(), Target.top() + T, Target.bottom() + 1 - B, Target.bottom() + 1};
    for (int J = 0; J < 3; ++J) {
        for (int I = 0; I < 3; ++I) {
            const QRect Src(Sx[I], Sy[J], Sx[I + 1] - Sx[I], Sy[J + 1] - Sy[J]);
            const QRect Dst(Dx[I], Dy[J], Dx[I + 1] - Dx[I], Dy[J + 1] - Dy[J]);
            if (Src.isEmpty() || Dst.isEmpty())
                continue;
            const QImage Part = Img.copy(Src);
            const bool RepeatX = I == 1 && Horizontal == EFill::Repeat;
            const bool RepeatY = J == 1 && Vertical == EFill::Repeat;
            const int TileW = RepeatX ? Src.width() : Dst.width();
            const int TileH = RepeatY ? Src.height() : Dst.height();
            const QImage Tile = Part.scaled(TileW, TileH, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            P.save();
            P.setClipRect(Dst);
            for (int Y = Dst.top(); Y < Dst.bottom() + 1; Y += TileH)
                for (int X = Dst.left(); X < Dst.right() + 1; X += TileW)
                    P.drawImage(X, Y, Tile);
            P.restore();
        }
    }
}

struct TCell {
    const TAsset* m_pAsset;
    int m_Width;
    int m_Height;
};

struct TPlaced {
    const TCell* m_pCell;
    QPoint m_Pos;
};

// Where everything goes: the background alone on top, the other images in rows
// below it, then the usage box.
struct TLayout {
    const TAsset* m_pBackground = nullptr;
    std::vector<TCell> m_Cells;
    std::vector<TPlaced> m_Placed; // points into m_Cells
    int m_GridTop = 0;
    int m_UsageTop = 0;
    int m_UsageH = 0;
    int m_SheetH = 0;
};

struct TFonts {
    QFont m_Title;
    QFont m_Head;
    QFont m_Name;
    QFont m_Size;
};

// Finds an image by its file name; every name asked for is one the generator draws.
class TImageIndex {
public:
    explicit TImageIndex(const std::vector<TAsset>& Assets)
    {
        for (const TAsset& A : Assets)
            m_ByName[A.m_FileName] = &A.m_Image;
    }

    const QImage& operator()(const QString& FileName) const { return *m_ByName.at(FileName); }

private:
    std::map<QString, const QImage*> m_ByName;
};

constexpr int kLabelH = 34;
const QColor kDimText(0x9A, 0x9A, 0x88);

// Small images are shown at four times their size as well.
bool isSmall(const QImage& Image)
{
    return std::max(Image.width(), Image.height()) <= 48;
}

void layOutSheet(const std::vector<TAsset>& Assets, const QFontMetrics& NameMetrics, TLayout& Layout)
{
    for (const TAsset& A : Assets) {
        if (A.m_Image.width() >= 400) {
            Layout.m_pBackground = &A;
            continue;
        }
        const bool Small = isSmall(A.m_Image);
        const int ImgW = Small ? A.m_Image.width() * 4 + 12 + A.m_Image.width() : A.m_Image.width();
        const int ImgH = Small ? A.m_Image.height() * 4 : A.m_Image.height();
        const int W = std::max(ImgW, NameMetrics.horizontalAdvance(A.m_FileName)) + 16;
        Layout.m_Cells.push_back({&A, W, ImgH + 16 + kLabelH});
    }

    int X = kMargin;
    int Y = 60 + (Layout.m_pBackground ? Layout.m_pBackground->m_Image.height() + 16 + kLabelH + 20 : 0) + 30;
    Layout.m_GridTop = Y;
    int RowH = 0;
    for (const TCell& C : Layout.m_Cells) {
        if (X + C.m_Width > kSheetW - kMargin) {
            X = kMargin;
            Y += RowH + 12;
            RowH = 0;
        }
        Layout.m_Placed.push_back({&C, QPoint(X, Y)});
        X += C.m_Width + 12;
        RowH = std::max(RowH, C.m_Height);
    }
    Layout.m_UsageTop = Y + RowH + 40;
    Layout.m_UsageH = 4 * 52 + 130;
    Layout.m_SheetH = Layout.m_UsageTop + 12 + Layout.m_UsageH + kMargin;
}

// File name, size and note under an image.
void drawLabel(QPainter& P, const TFonts& Fonts, const TAsset& A, int Lx, int Ly)
{
    P.setFont(Fonts.m_Name);
    P.setPen(creamText());
    P.drawText(Lx, Ly + 13, A.m_FileName);
    P.setFont(Fonts.m_Size);
    P.setPen(kDimText);
    QString Size = QStringLiteral("%1 \u00d7 %2").arg(A.m_Image.width()).arg(A.m_Image.height());
    if (!A.m_Note.isEmpty())
        Size += QStringLiteral("  \u00b7  ") + A.m_Note;
    P.drawText(Lx, Ly + 27, Size);
}

void drawTitle(QPainter& P, const TFonts& Fonts, std::size_t ImageCount)
{
    P.setPen(creamText());
    P.setFont(Fonts.m_Title);
    P.drawText(kMargin, 38, QStringLiteral("Torvane Online launcher art"));
    P.setFont(Fonts.m_Size);
    P.setPen(kDimText);
    P.drawText(kMargin + 330, 38, QStringLiteral("%1 images, drawn by torvane-artgen; checkerboard = transparent").arg(ImageCount));
}

// The background, then every other image on a checkerboard with its label.
void drawImages(QPainter& P, const TFonts& Fonts, const TLayout& Layout)
{
    if (Layout.m_pBackground) {
        P.drawImage(kMargin, 60, Layout.m_pBackground->m_Image);
        drawLabel(P, Fonts, *Layout.m_pBackground, kMargin, 60 + Layout.m_pBackground->m_Image.height() + 4);
    }
    P.setFont(Fonts.m_Head);
    P.setPen(creamText());
    P.drawText(kMargin, Layout.m_GridTop - 12, QStringLiteral("Images (small ones also at 4\u00d7)"));

    for (const TPlaced& Pl : Layout.m_Placed) {
        const TAsset& A = *Pl.m_pCell->m_pAsset;
        const QRect Box(Pl.m_Pos, QSize(Pl.m_pCell->m_Width, Pl.m_pCell->m_Height - kLabelH));
        checker(P, Box);
        if (isSmall(A.m_Image)) {
            const QImage Big =
                A.m_Image.scaled(A.m_Image.width() * 4, A.m_Image.height() * 4, Qt::IgnoreAspectRatio, Qt::FastTransformation);
            P.drawImage(Box.left() + 8, Box.top() + 8, Big);
            P.drawImage(Box.left() + 8 + Big.width() + 12, Box.top() + 8 + (Big.height() - A.m_Image.height()) / 2, A.m_Image);
        } else {
            P.drawImage(Box.left() + 8, Box.top() + 8, A.m_Image);
        }
        drawLabel(P, Fonts, A, Box.left(), Box.bottom() + 2);
    }
}

// Every colour of 98 x 40 button in its three states, with the icon it carries.
void drawButtons(QPainter& P, const TImageIndex& Img, const QRect& UsageBox)
{
    const char* Colours[] = {"Blue", "Orange", "Green", "Red"};
    const char* Icons[] = {"Icon_Download.png", "Icon_Update.png", "Icon_Play.png", nullptr};
    const char* States[] = {"idle", "hover", "pressed"};
    for (int Row = 0; Row < 4; ++Row) {
        for (int Col = 0; Col < 3; ++Col) {
            const QRect R(UsageBox.left() + 16 + Col * 114, UsageBox.top() + 12 + Row * 52, 98, 40);
            nineSlice(P, R, Img(QStringLiteral("Button_%1_%2.png").arg(QLatin1String(Colours[Row]), QLatin1String(States[Col]))), 4, 4, 4,
                      4, EFill::Repeat, EFill::Stretch);
            if (Icons[Row]) {
                const QImage Icon = Img(QLatin1String(Icons[Row])).scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation);
                const int Shift = Col == 2 ? 1 : 0;
                P.drawImage(R.left() + (98 - 32) / 2 + Shift, R.top() + 4 + Shift, Icon);
            }
        }
    }
}

// A package panel holding a progress bar at 60 %.
void drawPackagePanel(QPainter& P, const TImageIndex& Img, const QRect& UsageBox)
{
    const QRect Panel(UsageBox.left() + 380, UsageBox.top() + 12, 180, 120);
    nineSlice(P, Panel, Img(QStringLiteral("clientpackage-background.png")), 16, 16, 16, 16, EFill::Repeat, EFill::Repeat);
    const QRect Bar(Panel.left() + 41, Panel.top() + 14, 98, 40);
    P.drawImage(Bar, Img(QStringLiteral("ProgressBar_BG.png")));
    const QRect Chunk(Bar.left() + 2, Bar.top() + 2, (94 * 60) / 100, 36);
    P.drawImage(Chunk, Img(QStringLiteral("ProgressBar.png")));
    P.setFont(makeFont(QStringLiteral("Liberation Sans"), 13, QFont::Bold));
    P.setPen(creamText());
    P.drawText(Bar, Qt::AlignCenter, QStringLiteral("60%"));
    P.drawImage(Panel.left() + 30, Panel.top() + 78, Img(QStringLiteral("checkbox-checked.png")));
    P.drawText(QRect(Panel.left() + 52, Panel.top() + 74, 120, 24), Qt::AlignVCenter, QStringLiteral("Default Client"));
}

void drawHintsPanel(QPainter& P, const TImageIndex& Img, const QRect& UsageBox)
{
    const QRect Hints(UsageBox.left() + 580, UsageBox.top() + 12, 420, 90);
    nineSlice(P, Hints, Img(QStringLiteral("hint-background.png")), 5, 5, 5, 0, EFill::Repeat, EFill::Repeat);
    P.drawImage(Hints.left() + 10, Hints.top() + 40, Img(QStringLiteral("HalvernLogo.png")));
    P.drawImage(Hints.left() + 190, Hints.top() + 58, Img(QStringLiteral("Twitter.png")));
    P.drawImage(Hints.left() + 218, Hints.top() + 58, Img(QStringLiteral("Discord.png")));
    P.drawImage(Hints.right() - 50, Hints.top() + 68, Img(QStringLiteral("icircle.png")));
    P.setFont(makeFont(QStringLiteral("Liberation Sans"), 11, QFont::Bold));
    P.drawText(Hints.right() - 30, Hints.top() + 80, QStringLiteral("v0.0.8"));
}

// Scroll bar: arrows, tiled groove and a stretched handle.
void drawScrollBar(QPainter& P, const TImageIndex& Img, const QRect& UsageBox)
{
    const int SbX = UsageBox.left() + 1030;
    const int SbY = UsageBox.top() + 12;
    P.drawImage(SbX, SbY, Img(QStringLiteral("scrollbar-buttonup-up.png")));
    const QRect Groove(SbX, SbY + 12, 12, 96);
    for (int Gy = Groove.top(); Gy < Groove.bottom(); Gy += Img(QStringLiteral("scrollbar-texture-vertical.png")).height()) {
        P.save();
        P.setClipRect(Groove);
        P.drawImage(SbX, Gy, Img(QStringLiteral("scrollbar-texture-vertical.png")));
        P.restore();
    }
    nineSlice(P, QRect(SbX, SbY + 30, 12, 44), Img(QStringLiteral("scrollbar-handle-vertical.png")), 6, 6, 6, 6, EFill::Stretch,
              EFill::Stretch);
    P.drawImage(SbX, Groove.bottom() + 1, Img(QStringLiteral("scrollbar-buttondown-up.png")));
}

// Logos on the background, the way the package grid shows them.
void drawLogos(QPainter& P, const TFonts& Fonts, const TImageIndex& Img, const QRect& UsageBox)
{
    P.drawImage(UsageBox.left() + 580, UsageBox.top() + 120,
                Img(QStringLiteral("TorvaneLogo_QT.png")).scaled(98, 76, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    P.drawImage(UsageBox.left() + 690, UsageBox.top() + 120,
                Img(QStringLiteral("TorvaneLogo_Beta_disabled.png")).scaled(98, 76, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    P.setFont(Fonts.m_Size);
    P.setPen(kDimText);
    P.drawText(UsageBox.left() + 800, UsageBox.top() + 160, QStringLiteral("(logos at half size)"));
}

// The sliced parts at the sizes the launcher stretches them to.
void drawUsage(QPainter& P, const TFonts& Fonts, const std::vector<TAsset>& Assets, const TLayout& Layout)
{
    const TImageIndex Img(Assets);
    P.setFont(Fonts.m_Head);
    P.setPen(creamText());
    P.drawText(kMargin, Layout.m_UsageTop, QStringLiteral("As stretched by the launcher (98 \u00d7 40 buttons, panels)"));
    const QRect UsageBox(kMargin, Layout.m_UsageTop + 12, kSheetW - 2 * kMargin, Layout.m_UsageH);
    const QImage& Bg = Img(QStringLiteral("BackgroundImage.jpg"));
    const int SrcH = Bg.width() * UsageBox.height() / UsageBox.width();
    P.drawImage(UsageBox, Bg, QRect(0, Bg.height() - SrcH, Bg.width(), SrcH));
    drawButtons(P, Img, UsageBox);
    drawPackagePanel(P, Img, UsageBox);
    drawHintsPanel(P, Img, UsageBox);
    drawScrollBar(P, Img, UsageBox);
    drawLogos(P, Fonts, Img, UsageBox);
}

} // namespace

QImage drawContactSheet(const std::vector<TAsset>& Assets)
{
    TFonts Fonts;
    Fonts.m_Title = makeFont(QStringLiteral("Liberation Serif"), 22, QFont::Bold);
    Fonts.m_Head = makeFont(QStringLiteral("Liberation Sans"), 14, QFont::Bold);
    Fonts.m_Name = makeFont(QStringLiteral("Liberation Sans"), 11, QFont::Bold);
    Fonts.m_Size = makeFont(QStringLiteral("Liberation Sans"), 10, QFont::Normal);

    TLayout Layout;
    layOutSheet(Assets, QFontMetrics(Fonts.m_Name), Layout);

    QImage Sheet(kSheetW, Layout.m_SheetH, QImage::Format_ARGB32_Premultiplied);
    Sheet.fill(kSheetBg);
    QPainter P(&Sheet);
    P.setRenderHint(QPainter::Antialiasing);
    P.setRenderHint(QPainter::TextAntialiasing);
    drawTitle(P, Fonts, Assets.size());
    drawImages(P, Fonts, Layout);
    drawUsage(P, Fonts, Assets, Layout);
    P.end();
    return Sheet.convertToFormat(QImage::Format_RGB32);
}

} // namespace artgen
