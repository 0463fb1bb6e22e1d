// Game logo (per client variant, normal and disabled), the launcher's splash
// cards and the maker's logo.
#include "artgen.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPathStroker>
#include <QRadialGradient>
#include <QTransform>

#include <algorithm>
#include <cmath>

namespace artgen {

namespace {

constexpr int kLogoW = 196;
constexpr int kLogoH = 152;
constexpr double kPi = 3.14159265358979323846;

const QColor kOutline(0x1E, 0x13, 0x05);

QPainterPath shieldPath(double HalfW, double Top, double Shoulder, double Bottom)
{
    QPainterPath S;
    S.moveTo(-HalfW, Top);
    S.quadTo(0, Top + (Bottom - Top) * 0.06, HalfW, Top);
    S.lineTo(HalfW, Shoulder);
    S.cubicTo(HalfW, Shoulder + (Bottom - Shoulder) * 0.55, HalfW * 0.45, Bottom - (Bottom - Shoulder) * 0.18, 0, Bottom);
    S.cubicTo(-HalfW * 0.45, Bottom - (Bottom - Shoulder) * 0.18, -HalfW, Shoulder + (Bottom - Shoulder) * 0.55, -HalfW, Shoulder);
    S.closeSubpath();
    return S;
}

QPainterPath feather(QPointF Root, double AngleDeg, double Length, double Width, double CurlDeg)
{
    const double A = AngleDeg * kPi / 180.0;
    const QPointF D(std::cos(A), -std::sin(A));
    const QPointF N(-D.y(), D.x()); // points "down" the wing
    const double Ta = (AngleDeg + CurlDeg) * kPi / 180.0;
    const QPointF Tip = Root + QPointF(std::cos(Ta), -std::sin(Ta)) * Length;
    QPainterPath F;
    F.moveTo(Root - N * (Width * 0.45));
    F.quadTo(Root + D * (Length * 0.6) - N * (Width * 0.62), Tip);
    F.quadTo(Root + D * (Length * 0.55) + N * (Width * 0.7), Root + N * (Width * 0.5));
    F.closeSubpath();
    return F;
}

// Shield with a gold tower under a star, flanked by spread wings. Local
// coordinates: about x -72..72, y -50..36 at scale 1.
void paintEmblem(QPainter& P, QPointF Centre, double Scale, double Brightness = 1.0)
{
    P.save();
    P.translate(Centre);
    P.scale(Scale, Scale);
    P.setRenderHint(QPainter::Antialiasing);

    const QLinearGradient Gold = goldGradient(-50, 36, Brightness);

    // Wings: longest feather first so the shorter ones overlap it.
    struct TFeather {
        double m_Angle, m_Length, m_Width, m_Curl;
    };
    const TFeather Feathers[] = {{40, 62, 12, 10}, {27, 62, 12, 7}, {13, 56, 11.5, 4}, {-1, 48, 11, 2}, {-16, 38, 10, 0}};
    for (int Side = -1; Side <= 1; Side += 2) {
        P.save();
        P.scale(Side, 1);
        // The wing's arm: a curved band the feathers grow from.
        QPainterPath Arm;
        Arm.moveTo(16, -4);
        Arm.cubicTo(34, -24, 52, -30, 64, -40);
        Arm.cubicTo(52, -20, 38, -8, 20, 6);
        Arm.closeSubpath();
        for (const TFeather& F : Feathers) {
            QPainterPath Path = feather(QPointF(20, -4), F.m_Angle, F.m_Length, F.m_Width, F.m_Curl);
            P.setPen(QPen(kOutline, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            P.setBrush(Gold);
            P.drawPath(Path);
            // Shaft line.
            const double A = (F.m_Angle + F.m_Curl * 0.5) * kPi / 180.0;
            QPen Shaft(QColor(0x7A, 0x55, 0x1C, 200), 0.9);
            Shaft.setCapStyle(Qt::RoundCap);
            P.setPen(Shaft);
            P.drawLine(QPointF(24, -4), QPointF(20, -4) + QPointF(std::cos(A), -std::sin(A)) * F.m_Length * 0.8);
        }
        P.setPen(QPen(kOutline, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        P.setBrush(Gold);
        P.drawPath(Arm);
        P.restore();
    }

    // Shield rim and field.
    const QPainterPath Outer = shieldPath(26, -32, 4, 36);
    const QPainterPath Inner = shieldPath(21.5, -27.5, 3, 30);
    P.setPen(QPen(kOutline, 1.6));
    P.setBrush(Gold);
    P.drawPath(Outer);
    QLinearGradient Field(0, -28, 0, 30);
    Field.setColorAt(0, shade(QColor(0x22, 0x45, 0x62), Brightness));
    Field.setColorAt(1, shade(QColor(0x08, 0x14, 0x22), Brightness));
    P.setPen(QPen(QColor(0x3A, 0x28, 0x0C), 1.0));
    P.setBrush(Field);
    P.drawPath(Inner);
    // Sheen across the upper left of the field.
    P.save();
    P.setClipPath(Inner);
    QLinearGradient Sheen(-20, -28, 10, 5);
    Sheen.setColorAt(0, QColor(255, 255, 255, 40));
    Sheen.setColorAt(1, QColor(255, 255, 255, 0));
    P.setPen(Qt::NoPen);
    P.setBrush(Sheen);
    P.drawRect(QRectF(-30, -30, 60, 34));
    P.restore();

    // Tower.
    QPainterPath Tower;
    Tower.addRect(QRectF(-8, -6, 16, 26));
    Tower.addRect(QRectF(-10.5, -11, 21, 5.5));
    for (double Mx : {-10.5, -2.5, 5.5})
        Tower.addRect(QRectF(Mx, -16, 5, 5.5));
    Tower.addRect(QRectF(-12, 19, 24, 3.5));
    Tower = Tower.simplified();
    QPainterPath Gate;
    Gate.moveTo(-4, 19.5);
    Gate.lineTo(-4, 12);
    Gate.arcTo(QRectF(-4, 8, 8, 8), 180, -180);
    Gate.lineTo(4, 19.5);
    Gate.closeSubpath();
    QPainterPath Slit;
    Slit.addRoundedRect(QRectF(-1.2, -3, 2.4, 7), 1.2, 1.2);
    Tower = Tower.subtracted(Gate).subtracted(Slit);
    P.setPen(QPen(kOutline, 1.0));
    P.setBrush(goldGradient(-16, 23, Brightness));
    P.drawPath(Tower);

    // Star above the tower.
    QPainterPath Star;
    const QPointF Sc(0, -21.5);
    for (int I = 0; I < 8; ++I) {
        const double R = (I % 2 == 0) ? 4.6 : 1.4;
        const double A = I * kPi / 4 - kPi / 2;
        const QPointF Pt = Sc + QPointF(std::cos(A) * R, std::sin(A) * R);
        if (I == 0)
            Star.moveTo(Pt);
        else
            Star.lineTo(Pt);
    }
    Star.closeSubpath();
    P.setPen(Qt::NoPen);
    P.setBrush(shade(QColor(0xFF, 0xF3, 0xD0), Brightness));
    P.drawPath(Star);

    P.restore();
}

// Title "TORVANE" in gold, fitted into maxWidth.
void paintTitle(QPainter& P, double CentreX, double Baseline, int PixelSize, double MaxWidth, double Brightness = 1.0)
{
    QFont Font = makeFont(QStringLiteral("Liberation Serif"), PixelSize, QFont::Bold, 1.0);
    QPainterPath Path = centeredText(QStringLiteral("TORVANE"), Font, CentreX, Baseline);
    while (Path.boundingRect().width() > MaxWidth && Font.pixelSize() > 10) {
        Font.setPixelSize(Font.pixelSize() - 1);
        Path = centeredText(QStringLiteral("TORVANE"), Font, CentreX, Baseline);
    }
    const QRectF Ink = Path.boundingRect();
    P.setRenderHint(QPainter::Antialiasing);
    P.setPen(QPen(kOutline, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    P.setBrush(Qt::NoBrush);
    P.drawPath(Path);
    P.setPen(Qt::NoPen);
    P.setBrush(goldGradient(Ink.top(), Ink.bottom(), Brightness));
    P.drawPath(Path);
    // A thin bright edge along the top of the letters.
    P.save();
    P.setClipPath(Path);
    P.setBrush(Qt::NoBrush);
    P.setPen(QPen(QColor(255, 250, 225, 110), 1.0));
    P.drawPath(Path.translated(0, 1.0));
    P.restore();
}

// "ONLINE" between two thin gold rules ending in small diamonds.
void paintSubtitle(QPainter& P, double CentreX, double Baseline, double RuleLength, double Brightness = 1.0)
{
    const QFont Font = makeFont(QStringLiteral("Liberation Sans"), 11, QFont::Bold, 3.2);
    const QPainterPath Text = centeredText(QStringLiteral("ONLINE"), Font, CentreX, Baseline);
    const QRectF Ink = Text.boundingRect();
    P.setPen(Qt::NoPen);
    P.setBrush(shade(creamText(), Brightness * 1.08));
    P.drawPath(Text);

    const double MidY = Ink.center().y();
    const QColor Rule = shade(QColor(0xD0, 0xA8, 0x58), Brightness);
    for (int Side = -1; Side <= 1; Side += 2) {
        const double Inner = Side < 0 ? Ink.left() - 6 : Ink.right() + 6;
        const double Outer = Inner + Side * RuleLength;
        QLinearGradient G(Inner, 0, Outer, 0);
        G.setColorAt(0, Rule);
        QColor Faded = Rule;
        Faded.setAlpha(40);
        G.setColorAt(1, Faded);
        P.fillRect(QRectF(std::min(Inner, Outer), MidY - 0.5, RuleLength, 1.2), G);
        QPainterPath D;
        const QPointF C(Inner + Side * 1.5, MidY + 0.1);
        D.moveTo(C + QPointF(0, -2.4));
        D.lineTo(C + QPointF(2.4, 0));
        D.lineTo(C + QPointF(0, 2.4));
        D.lineTo(C + QPointF(-2.4, 0));
        D.closeSubpath();
        P.setBrush(Rule);
        P.drawPath(D);
    }
}

struct TRibbonStyle {
    QString m_Text;
    QColor m_Colour;
};

TRibbonStyle ribbonFor(const QString& Variant)
{
    if (Variant == QLatin1String("Classic"))
        return {QStringLiteral("CLASSIC"), QColor(0x7E, 0x58, 0x2A)};
    if (Variant == QLatin1String("Preview"))
        return {QStringLiteral("PREVIEW"), QColor(0x5E, 0x3C, 0x92)};
    if (Variant == QLatin1String("Beta"))
        return {QStringLiteral("BETA"), QColor(0x1E, 0x6A, 0x7C)};
    if (Variant == QLatin1String("Test"))
        return {QStringLiteral("TEST"), QColor(0x96, 0x2C, 0x28)};
    return {};
}

void paintRibbon(QPainter& P, double CentreX, double Top, const TRibbonStyle& Style)
{
    const QFont Font = makeFont(QStringLiteral("Liberation Sans"), 10, QFont::Bold, 2.0);
    const QPainterPath Text = centeredText(Style.m_Text, Font, CentreX, 0);
    const double BandW = std::max(64.0, Text.boundingRect().width() + 26);
    const double BandH = 15;
    const double Left = CentreX - BandW / 2;
    const QColor Dark = shade(Style.m_Colour, 0.55);

    P.setRenderHint(QPainter::Antialiasing);
    // Folded tails behind the band.
    for (int Side = -1; Side <= 1; Side += 2) {
        const double Edge = Side < 0 ? Left : Left + BandW;
        QPainterPath Tail;
        Tail.moveTo(Edge - Side * 6, Top + 4);
        Tail.lineTo(Edge + Side * 12, Top + 4);
        Tail.lineTo(Edge + Side * 7, Top + 4 + BandH / 2);
        Tail.lineTo(Edge + Side * 12, Top + 4 + BandH);
        Tail.lineTo(Edge - Side * 6, Top + 4 + BandH);
        Tail.closeSubpath();
        P.setPen(QPen(kOutline, 1.0));
        P.setBrush(Dark);
        P.drawPath(Tail);
        // Fold shadow.
        QPainterPath Fold;
        Fold.moveTo(Edge, Top + BandH);
        Fold.lineTo(Edge - Side * 0.5, Top + 4 + BandH);
        Fold.lineTo(Edge - Side * 5, Top + 4 + BandH);
        Fold.closeSubpath();
        P.setPen(Qt::NoPen);
        P.setBrush(QColor(0, 0, 0, 150));
        P.drawPath(Fold);
    }
    QLinearGradient G(0, Top, 0, Top + BandH);
    G.setColorAt(0, shade(Style.m_Colour, 1.25));
    G.setColorAt(0.5, Style.m_Colour);
    G.setColorAt(1, shade(Style.m_Colour, 0.7));
    P.setPen(QPen(kOutline, 1.0));
    P.setBrush(G);
    P.drawRect(QRectF(Left, Top, BandW, BandH));
    // Gold hems.
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(0xE0, 0xBE, 0x70, 210));
    P.drawRect(QRectF(Left + 0.5, Top + 1.5, BandW - 1, 0.9));
    P.drawRect(QRectF(Left + 0.5, Top + BandH - 2.4, BandW - 1, 0.9));
    // Text with a one-pixel drop.
    const QPainterPath T = Text.translated(0, Top + 11.3);
    P.setBrush(QColor(0, 0, 0, 150));
    P.drawPath(T.translated(0, 1));
    P.setBrush(QColor(0xFF, 0xF8, 0xE4));
    P.drawPath(T);
}

// Composes a drawing with a tight drop shadow and a wide soft halo, so the
// logo reads on any part of the background.
QImage withShadows(const QImage& Layer, int HaloAlpha)
{
    QImage Out = newImage(Layer.width(), Layer.height());
    const QImage Halo = shadowOf(Layer, QColor(0, 0, 0, HaloAlpha), 7);
    const QImage Drop = shadowOf(Layer, QColor(0, 0, 0, 220), 1);
    QPainter P(&Out);
    P.drawImage(0, 0, Halo);
    P.drawImage(QPointF(0.0, 1.5), Drop);
    P.drawImage(0, 0, Layer);
    return Out;
}

} // namespace

QImage drawGameLogo(const QString& Variant, bool Disabled)
{
    const TRibbonStyle Ribbon = ribbonFor(Variant);
    const bool HasRibbon = !Ribbon.m_Text.isEmpty();

    QImage Layer = newImage(kLogoW, kLogoH);
    {
        QPainter P(&Layer);
        P.setRenderHint(QPainter::Antialiasing);
        if (HasRibbon) {
            paintEmblem(P, QPointF(98, 52), 0.80);
            paintTitle(P, 98, 104, 31, 180);
            paintSubtitle(P, 98, 119, 34);
            paintRibbon(P, 98, 127, Ribbon);
        } else {
            paintEmblem(P, QPointF(98, 56), 0.90);
            paintTitle(P, 98, 114, 32, 184);
            paintSubtitle(P, 98, 131, 36);
        }
    }
    QImage Image = withShadows(Layer, 150);
    if (Disabled)
        Image = desaturated(Image, 0.10, 0.58);
    return Image;
}

QImage drawLauncherLogo(bool Updating)
{
    // An opaque card: the splash screen has no transparency.
    QImage Image(kLogoW, kLogoH, QImage::Format_ARGB32_Premultiplied);
    Image.fill(Qt::black);
    TRng Rng(Updating ? 0x5B1A5Du : 0x5B1A5Cu);
    {
        QPainter P(&Image);
        P.setRenderHint(QPainter::Antialiasing);
        QLinearGradient Bg(0, 0, 0, kLogoH);
        Bg.setColorAt(0, QColor(0x17, 0x1E, 0x2A));
        Bg.setColorAt(1, QColor(0x07, 0x09, 0x0D));
        P.fillRect(Image.rect(), Bg);
        QRadialGradient Glow(QPointF(98, 52), 90);
        Glow.setColorAt(0, QColor(190, 140, 70, 70));
        Glow.setColorAt(1, QColor(190, 140, 70, 0));
        P.fillRect(Image.rect(), Glow);
    }
    addNoise(Image, Rng, 4);

    QImage Layer = newImage(kLogoW, kLogoH);
    {
        QPainter P(&Layer);
        P.setRenderHint(QPainter::Antialiasing);
        if (Updating) {
            paintEmblem(P, QPointF(98, 42), 0.62);
            paintTitle(P, 98, 88, 27, 160);
            paintSubtitle(P, 98, 102, 26);
        } else {
            paintEmblem(P, QPointF(98, 54), 0.74);
            paintTitle(P, 98, 108, 29, 166);
            paintSubtitle(P, 98, 124, 30);
        }
    }
    {
        QPainter P(&Image);
        P.drawImage(0, 0, withShadows(Layer, 120));
        P.setRenderHint(QPainter::Antialiasing);

        if (Updating) {
            // Status line with a small circular-arrows glyph.
            const QFont Font = makeFont(QStringLiteral("Liberation Sans"), 11, QFont::Bold, 0.6);
            const QString Text = QStringLiteral("Updating launcher\u2026");
            const QPainterPath T = textPath(Text, Font);
            const double Glyph = 13;
            const double Total = Glyph + 6 + T.boundingRect().width();
            const double X0 = 98 - Total / 2;
            const double Baseline = 131;
            // Dark plate behind the line.
            P.setPen(QPen(QColor(0xB8, 0x94, 0x4A, 150), 1));
            P.setBrush(QColor(0, 0, 0, 120));
            P.drawRoundedRect(QRectF(X0 - 9.5, 116.5, Total + 19, 21), 4, 4);
            const QImage Icon = drawIconUpdate().scaled(15, 15, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            P.drawImage(QPointF(X0 - 1, Baseline - 11.5), Icon);
            P.setPen(Qt::NoPen);
            P.setBrush(creamText());
            P.drawPath(T.translated(X0 + Glyph + 6 - T.boundingRect().left(), Baseline));
        }

        // Frame: dark edge, gold line, inner hairline, corner studs.
        P.setBrush(Qt::NoBrush);
        P.setPen(QPen(QColor(0, 0, 0), 1));
        P.drawRect(QRectF(0.5, 0.5, kLogoW - 1, kLogoH - 1));
        P.setPen(QPen(QColor(0xC8, 0xA2, 0x55), 1));
        P.drawRect(QRectF(1.5, 1.5, kLogoW - 3, kLogoH - 3));
        P.setPen(QPen(QColor(0xC8, 0xA2, 0x55, 90), 1));
        P.drawRect(QRectF(4.5, 4.5, kLogoW - 9, kLogoH - 9));
        for (const QPointF& C :
             {QPointF(4.5, 4.5), QPointF(kLogoW - 4.5, 4.5), QPointF(4.5, kLogoH - 4.5), QPointF(kLogoW - 4.5, kLogoH - 4.5)}) {
            QPainterPath D;
            D.moveTo(C + QPointF(0, -3.5));
            D.lineTo(C + QPointF(3.5, 0));
            D.lineTo(C + QPointF(0, 3.5));
            D.lineTo(C + QPointF(-3.5, 0));
            D.closeSubpath();
            P.setPen(QPen(QColor(0x3A, 0x28, 0x0C), 0.8));
            P.setBrush(QColor(0xE6, 0xC6, 0x78));
            P.drawPath(D);
        }
    }
    return Image.convertToFormat(QImage::Format_ARGB32);
}

QImage drawAppIcon()
{
    // The desktop's application icon: the emblem, large, on a dark rounded plate with a
    // gold rim. No lettering: it would not read at the small sizes menus use.
    constexpr int KSize = 256;
    const QRectF Plate(10.5, 10.5, KSize - 21, KSize - 21);
    QImage Layer = newImage(KSize, KSize);
    {
        QPainter P(&Layer);
        P.setRenderHint(QPainter::Antialiasing);
        QPainterPath Rounded;
        Rounded.addRoundedRect(Plate, 44, 44);
        QLinearGradient Bg(0, Plate.top(), 0, Plate.bottom());
        Bg.setColorAt(0, QColor(0x1D, 0x2A, 0x3C));
        Bg.setColorAt(1, QColor(0x07, 0x0A, 0x10));
        P.setPen(Qt::NoPen);
        P.setBrush(Bg);
        P.drawPath(Rounded);
        // A warm glow behind the emblem.
        P.save();
        P.setClipPath(Rounded);
        QRadialGradient Glow(QPointF(128, 122), 120);
        Glow.setColorAt(0, QColor(200, 150, 70, 95));
        Glow.setColorAt(1, QColor(200, 150, 70, 0));
        P.fillRect(Plate, Glow);
        P.restore();
        // Rim: gold line with a dark edge outside and a faint hairline inside.
        P.setBrush(Qt::NoBrush);
        P.setPen(QPen(kOutline, 5));
        P.drawPath(Rounded);
        P.setPen(QPen(QBrush(goldGradient(Plate.top(), Plate.bottom())), 3));
        P.drawPath(Rounded);
        QPainterPath Inner;
        Inner.addRoundedRect(Plate.adjusted(9, 9, -9, -9), 36, 36);
        P.setPen(QPen(QColor(0xC8, 0xA2, 0x55, 80), 1.2));
        P.drawPath(Inner);
    }
    QImage Emblem = newImage(KSize, KSize);
    {
        QPainter P(&Emblem);
        paintEmblem(P, QPointF(128, 136), 1.42);
    }
    QPainter P(&Layer);
    P.drawImage(0, 0, withShadows(Emblem, 170));
    P.end();
    return Layer.convertToFormat(QImage::Format_ARGB32);
}

QImage drawMakerLogo()
{
    constexpr int W = 132;
    constexpr int H = 40;
    QImage Layer = newImage(W, H);
    {
        QPainter P(&Layer);
        P.setRenderHint(QPainter::Antialiasing);
        // Mark: a diamond plate with a serif "H".
        const QPointF C(19, 20);
        QPainterPath Diamond;
        Diamond.moveTo(C + QPointF(0, -16));
        Diamond.lineTo(C + QPointF(16, 0));
        Diamond.lineTo(C + QPointF(0, 16));
        Diamond.lineTo(C + QPointF(-16, 0));
        Diamond.closeSubpath();
        P.setPen(QPen(kOutline, 1.2));
        P.setBrush(goldGradient(4, 36));
        P.drawPath(Diamond);
        QPainterPath InnerD;
        InnerD.moveTo(C + QPointF(0, -12.5));
        InnerD.lineTo(C + QPointF(12.5, 0));
        InnerD.lineTo(C + QPointF(0, 12.5));
        InnerD.lineTo(C + QPointF(-12.5, 0));
        InnerD.closeSubpath();
        QLinearGradient Field(0, 7, 0, 33);
        Field.setColorAt(0, QColor(0x2A, 0x22, 0x18));
        Field.setColorAt(1, QColor(0x0C, 0x0A, 0x08));
        P.setPen(QPen(QColor(0x3A, 0x28, 0x0C), 0.8));
        P.setBrush(Field);
        P.drawPath(InnerD);
        const QFont HFont = makeFont(QStringLiteral("Liberation Serif"), 16, QFont::Bold);
        const QPainterPath Hp = centeredText(QStringLiteral("H"), HFont, C.x(), C.y() + 5.8);
        P.setPen(Qt::NoPen);
        P.setBrush(goldGradient(Hp.boundingRect().top(), Hp.boundingRect().bottom(), 1.05));
        P.drawPath(Hp);

        // Word mark.
        const QFont NameFont = makeFont(QStringLiteral("Liberation Serif"), 17, QFont::Bold, 1.4);
        QPainterPath Name = textPath(QStringLiteral("HALVERN"), NameFont);
        Name.translate(41 - Name.boundingRect().left(), 21);
        P.setBrush(goldGradient(Name.boundingRect().top(), Name.boundingRect().bottom(), 1.05));
        P.drawPath(Name);
        const double Right = Name.boundingRect().right();
        P.fillRect(QRectF(41, 25, std::ceil(Right - 41), 1), QColor(0xC8, 0xA2, 0x55, 200));
        const QFont SmallFont = makeFont(QStringLiteral("Liberation Sans"), 8, QFont::Bold, 3.0);
        QPainterPath Small = textPath(QStringLiteral("GMBH"), SmallFont);
        Small.translate(41 + (Right - 41 - Small.boundingRect().width()) / 2 - Small.boundingRect().left(), 34);
        P.setBrush(creamText());
        P.drawPath(Small);
    }
    return withShadows(Layer, 110);
}

} // namespace artgen
