// The 850 x 450 window background: a night valley with layered mountains, a
// castle on a crag, mist, pines in the foreground, stars, grain and a vignette.
// The window stretches it to its 800-pixel width and keeps the package tiles in
// the upper middle and the hints panel across the bottom, so the middle stays
// calm and the detail sits at the sides.
#include "artgen.h"

#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>

namespace artgen {

namespace {

constexpr int kWidth = 850;
constexpr int kHeight = 450;

// The window paints nothing above the image when it grows taller than 450
// pixels; the top rows fade to this colour so a matching window background
// makes the seam disappear.
const QColor kTopColour(0x07, 0x09, 0x0D);

struct TRidge {
    std::vector<double> m_Y; // one height per column, 0 .. kWidth
};

struct TPeak {
    double m_X; // centre column
    double m_Height; // rise above the base line
    double m_Width; // half-width of the slope
};

TRidge makeRidge(TRng& Rng, double Base, const std::vector<std::pair<double, double>>& Octaves, const std::vector<TPeak>& Peaks)
{
    std::vector<TValueNoise1D> Layers;
    for (const auto& O : Octaves)
        Layers.emplace_back(Rng, kWidth + 1, O.first);
    TRidge Ridge;
    Ridge.m_Y.resize(kWidth + 1);
    for (int X = 0; X <= kWidth; ++X) {
        double H = Base;
        for (size_t I = 0; I < Layers.size(); ++I)
            H += Layers[I].at(X) * Octaves[I].second;
        // Peaks as concave slopes so summits come to a point.
        double Rise = 0.0;
        for (const TPeak& Pk : Peaks) {
            const double D = std::abs(X - Pk.m_X) / Pk.m_Width;
            if (D < 1.0)
                Rise = std::max(Rise, Pk.m_Height * std::pow(1.0 - D, 1.7));
        }
        Ridge.m_Y[static_cast<size_t>(X)] = H - Rise;
    }
    return Ridge;
}

// Moonlit snow on the high parts of a range: the higher the ridge, the deeper
// the light reaches down the slope, with a ragged lower edge.
void paintSnow(QPainter& P, TRng& Rng, const TRidge& Ridge, double SnowLine, const QColor& Colour)
{
    TValueNoise1D Ragged(Rng, kWidth + 1, 7);
    TValueNoise1D Ragged2(Rng, kWidth + 1, 23);
    for (int X = 0; X < kWidth; ++X) {
        const double Top = Ridge.m_Y[static_cast<size_t>(X)];
        if (Top >= SnowLine)
            continue;
        const double Depth = (SnowLine - Top) * 0.55 + Ragged.at(X) * 3.0 + Ragged2.at(X) * 5.0;
        if (Depth <= 0.5)
            continue;
        // Slopes facing the moon (rising to the right) are brighter.
        const double Slope = Ridge.m_Y[static_cast<size_t>(X)] - Ridge.m_Y[static_cast<size_t>(X + 1)];
        const double Lit = std::clamp(0.45 + Slope * 0.6, 0.15, 1.0);
        QLinearGradient G(0, Top, 0, Top + Depth);
        QColor C0 = Colour;
        C0.setAlphaF(Colour.alphaF() * Lit);
        QColor C1 = Colour;
        C1.setAlpha(0);
        G.setColorAt(0, C0);
        G.setColorAt(0.6, QColor(C0.red(), C0.green(), C0.blue(), C0.alpha() / 2));
        G.setColorAt(1, C1);
        P.fillRect(QRectF(X, Top, 1, Depth), G);
    }
}

QPainterPath ridgeArea(const TRidge& Ridge)
{
    QPainterPath Path;
    Path.moveTo(0, kHeight + 1);
    for (int X = 0; X <= kWidth; ++X)
        Path.lineTo(X, Ridge.m_Y[static_cast<size_t>(X)]);
    Path.lineTo(kWidth, kHeight + 1);
    Path.closeSubpath();
    return Path;
}

void paintRidge(QPainter& P, const TRidge& Ridge, const QColor& Top, const QColor& Bottom, double TopY, const QColor& Rim)
{
    QLinearGradient G(0, TopY, 0, kHeight);
    G.setColorAt(0, Top);
    G.setColorAt(1, Bottom);
    P.setPen(Qt::NoPen);
    P.setBrush(G);
    P.drawPath(ridgeArea(Ridge));
    if (Rim.alpha() > 0) {
        // Moonlight catches the slopes that face up and left.
        for (int X = 1; X <= kWidth; ++X) {
            const double Slope = Ridge.m_Y[static_cast<size_t>(X)] - Ridge.m_Y[static_cast<size_t>(X - 1)];
            const double Lit = std::clamp(0.35 + Slope * 0.9, 0.0, 1.0);
            QColor C = Rim;
            C.setAlphaF(Rim.alphaF() * Lit);
            P.fillRect(QRectF(X - 1, Ridge.m_Y[static_cast<size_t>(X - 1)], 1, 1.2), C);
        }
    }
}

void paintStars(QPainter& P, TRng& Rng)
{
    P.setPen(Qt::NoPen);
    for (int I = 0; I < 340; ++I) {
        const double X = Rng.range(0, kWidth);
        // More stars high up, thinning towards the horizon haze.
        const double T = Rng.uniform();
        const double Y = T * T * 250.0;
        const double Fade = 1.0 - Y / 260.0;
        const double B = Rng.uniform();
        const int Alpha = static_cast<int>((30 + 170 * B * B) * Fade);
        const QColor Tint = Rng.uniform() < 0.25 ? QColor(255, 226, 190) : QColor(210, 225, 255);
        QColor C = Tint;
        C.setAlpha(Alpha);
        const double R = B > 0.93 ? 1.1 : (B > 0.7 ? 0.75 : 0.5);
        P.setBrush(C);
        P.drawEllipse(QPointF(X, Y), R, R);
        if (B > 0.965) {
            // A few bright ones get a faint cross glint.
            QColor G = Tint;
            G.setAlpha(static_cast<int>(70 * Fade));
            P.fillRect(QRectF(X - 3.5, Y - 0.25, 7, 0.5), G);
            P.fillRect(QRectF(X - 0.25, Y - 3.5, 0.5, 7), G);
        }
    }
}

void paintMoon(QPainter& P)
{
    const QPointF C(58, 56);
    QRadialGradient Halo(C, 150);
    Halo.setColorAt(0.00, QColor(235, 225, 190, 70));
    Halo.setColorAt(0.15, QColor(200, 195, 175, 34));
    Halo.setColorAt(0.45, QColor(120, 130, 150, 12));
    Halo.setColorAt(1.00, QColor(0, 0, 0, 0));
    P.setPen(Qt::NoPen);
    P.setBrush(Halo);
    P.drawEllipse(C, 150, 150);

    QRadialGradient Disc(C + QPointF(-5, -5), 24);
    Disc.setColorAt(0, QColor(0xF6, 0xF0, 0xDC));
    Disc.setColorAt(1, QColor(0xCF, 0xC6, 0xA8));
    P.setBrush(Disc);
    P.drawEllipse(C, 15, 15);
    // Maria: soft darker patches.
    P.setBrush(QColor(150, 145, 125, 45));
    P.drawEllipse(C + QPointF(-5, -3), 6, 5);
    P.drawEllipse(C + QPointF(5, 4), 5, 4);
    P.drawEllipse(C + QPointF(2, -8), 3, 2.5);
}

void paintHaze(QPainter& P)
{
    // Warm glow low over the valley, behind the tiles: gives the middle depth.
    // An ellipse squashed onto the horizon, like the last light behind the range.
    QRadialGradient Warm(QPointF(0, 0), 1.0);
    Warm.setColorAt(0.0, QColor(190, 130, 70, 58));
    Warm.setColorAt(0.45, QColor(130, 90, 60, 24));
    Warm.setColorAt(1.0, QColor(0, 0, 0, 0));
    P.save();
    P.translate(430, 262);
    P.scale(420, 120);
    P.setPen(Qt::NoPen);
    P.setBrush(Warm);
    P.drawEllipse(QPointF(0, 0), 1.0, 1.0);
    P.restore();
}

void paintMist(QPainter& P, TRng& Rng, double Y, double Thickness, int Alpha, int Count)
{
    P.setPen(Qt::NoPen);
    for (int I = 0; I < Count; ++I) {
        const double Cx = Rng.range(-60, kWidth + 60);
        const double Cy = Y + Rng.range(-Thickness * 0.4, Thickness * 0.4);
        const double Rx = Rng.range(120, 260);
        const double Ry = Thickness * Rng.range(0.5, 1.0);
        QRadialGradient G(QPointF(0, 0), 1.0);
        G.setColorAt(0.0, QColor(150, 160, 178, Alpha));
        G.setColorAt(1.0, QColor(150, 160, 178, 0));
        P.save();
        P.translate(Cx, Cy);
        P.scale(Rx, Ry);
        P.setBrush(G);
        P.drawEllipse(QPointF(0, 0), 1.0, 1.0);
        P.restore();
    }
}

// Castle on a crag, drawn as one silhouette with a few lit windows.
void paintCastle(QPainter& P, const QColor& Body)
{
    QPainterPath S;
    // Crag.
    S.moveTo(615, 330);
    S.cubicTo(640, 318, 652, 300, 664, 296);
    S.lineTo(700, 292);
    S.lineTo(742, 294);
    S.cubicTo(760, 298, 772, 306, 790, 330);
    S.closeSubpath();

    auto Tower = [&](double X, double W, double Top, double RoofH) {
        QPainterPath T;
        T.addRect(QRectF(X, Top, W, 300 - Top));
        if (RoofH > 0) {
            QPolygonF Roof;
            Roof << QPointF(X - 2, Top + 0.5) << QPointF(X + W / 2, Top - RoofH) << QPointF(X + W + 2, Top + 0.5);
            T.addPolygon(Roof);
        } else {
            // Crenellations.
            const int N = std::max(2, static_cast<int>(W / 5));
            const double Step = W / (2 * N - 1);
            for (int I = 0; I < N; ++I)
                T.addRect(QRectF(X + I * 2 * Step, Top - 4, Step, 4.5));
        }
        return T;
    };
    S = S.united(Tower(676, 44, 248, 0)); // keep
    S = S.united(Tower(664, 14, 256, 20)); // left tower
    S = S.united(Tower(724, 18, 214, 34)); // tall tower
    S = S.united(Tower(746, 14, 252, 18)); // right tower
    S = S.united(Tower(716, 10, 262, 0)); // wall stub
    // Curtain wall running down the crag.
    QPainterPath Wall;
    Wall.addRect(QRectF(640, 278, 30, 24));
    S = S.united(Wall);
    S = S.united(Tower(640, 30, 278, 0));
    // Spire and pennant on the tall tower.
    QPainterPath Spire;
    Spire.addRect(QRectF(732.6, 170, 0.9, 12));
    QPolygonF Flag;
    Flag << QPointF(733.4, 170.5) << QPointF(744, 173) << QPointF(733.4, 175.5);
    Spire.addPolygon(Flag);
    S = S.united(Spire);

    P.setPen(Qt::NoPen);
    P.setBrush(Body);
    P.drawPath(S);

    // Moonlit left faces.
    QColor Rim(150, 165, 190, 55);
    P.setBrush(Rim);
    for (const QRectF& R : {QRectF(676, 248, 1.2, 44), QRectF(664, 256, 1.2, 40), QRectF(724, 214, 1.2, 40), QRectF(746, 252, 1.2, 40),
                            QRectF(640, 278, 1.2, 22)})
        P.drawRect(R);

    // Windows with a warm glow around them.
    const QPointF Windows[] = {{689, 262}, {703, 262}, {731, 228}, {731, 246}, {670, 270}, {752, 266}, {696, 280}};
    for (const QPointF& W : Windows) {
        QRadialGradient Glow(W + QPointF(1, 2), 11);
        Glow.setColorAt(0, QColor(255, 170, 70, 80));
        Glow.setColorAt(1, QColor(255, 140, 40, 0));
        P.setBrush(Glow);
        P.drawEllipse(W + QPointF(1, 2), 11, 11);
    }
    for (const QPointF& W : Windows) {
        QPainterPath Arch;
        Arch.moveTo(W.x(), W.y() + 5);
        Arch.lineTo(W.x(), W.y() + 1.2);
        Arch.quadTo(W.x() + 1.25, W.y() - 0.6, W.x() + 2.5, W.y() + 1.2);
        Arch.lineTo(W.x() + 2.5, W.y() + 5);
        Arch.closeSubpath();
        P.setBrush(QColor(255, 200, 110));
        P.drawPath(Arch);
    }
}

void paintRuin(QPainter& P, const QColor& Body)
{
    // A broken watchtower on the left hills, balancing the castle.
    QPainterPath S;
    S.moveTo(92, 330);
    S.lineTo(92, 286);
    S.lineTo(96, 284);
    S.lineTo(97, 288);
    S.lineTo(101, 283);
    S.lineTo(104, 287);
    S.lineTo(108, 282);
    S.lineTo(110, 290);
    S.lineTo(112, 330);
    S.closeSubpath();
    P.setPen(Qt::NoPen);
    P.setBrush(Body);
    P.drawPath(S);
    QRadialGradient Glow(QPointF(101, 300), 8);
    Glow.setColorAt(0, QColor(255, 160, 60, 70));
    Glow.setColorAt(1, QColor(255, 140, 40, 0));
    P.setBrush(Glow);
    P.drawEllipse(QPointF(101, 300), 8, 8);
    P.setBrush(QColor(255, 190, 100));
    P.drawRect(QRectF(100, 298, 2, 3.5));
}

void paintPines(QPainter& P, TRng& Rng, const TRidge& Ridge, const QColor& Colour, double MinH, double MaxH, double Density, double XFrom,
                double XTo)
{
    P.setPen(Qt::NoPen);
    P.setBrush(Colour);
    double X = XFrom;
    while (X < XTo) {
        const double H = Rng.range(MinH, MaxH);
        const double W = H * Rng.range(0.32, 0.42);
        const double BaseY = Ridge.m_Y[static_cast<size_t>(std::clamp(static_cast<int>(X), 0, kWidth))] + H * 0.12;
        QPainterPath Tree;
        Tree.setFillRule(Qt::WindingFill);
        const int Tiers = 4;
        for (int T = 0; T < Tiers; ++T) {
            const double F = static_cast<double>(T) / Tiers;
            const double TierBottom = BaseY - H * 0.12 - F * H * 0.7;
            const double TierTop = TierBottom - H * 0.42;
            const double TierW = W * (1.0 - F * 0.6) * 0.5;
            QPolygonF Poly;
            Poly << QPointF(X - TierW, TierBottom) << QPointF(X, TierTop) << QPointF(X + TierW, TierBottom);
            Tree.addPolygon(Poly);
        }
        Tree.addRect(QRectF(X - W * 0.06, BaseY - H * 0.2, W * 0.12, H * 0.2));
        P.drawPath(Tree);
        X += Rng.range(3.0, 14.0) / Density;
    }
}

void paintVignette(QPainter& P)
{
    QRadialGradient V(QPointF(kWidth / 2.0, kHeight * 0.42), kWidth * 0.62);
    V.setColorAt(0.00, QColor(0, 0, 0, 0));
    V.setColorAt(0.55, QColor(0, 0, 0, 25));
    V.setColorAt(0.85, QColor(0, 0, 0, 130));
    V.setColorAt(1.00, QColor(0, 0, 0, 210));
    P.setPen(Qt::NoPen);
    P.setBrush(V);
    P.drawRect(0, 0, kWidth, kHeight);

    // Darker bottom under the hints panel and the version line.
    QLinearGradient Bottom(0, 330, 0, kHeight);
    Bottom.setColorAt(0, QColor(0, 0, 0, 0));
    Bottom.setColorAt(1, QColor(0, 0, 0, 120));
    P.setBrush(Bottom);
    P.drawRect(0, 330, kWidth, kHeight - 330);
}

void fadeTop(QImage& Image)
{
    // Blend the first rows into the solid top colour (see kTopColour).
    constexpr int Rows = 28;
    for (int Y = 0; Y < Rows; ++Y) {
        const double T = 1.0 - static_cast<double>(Y) / Rows;
        const double K = T * T * (3 - 2 * T);
        auto* pLine = reinterpret_cast<QRgb*>(Image.scanLine(Y));
        for (int X = 0; X < Image.width(); ++X) {
            const QRgb Q = pLine[X];
            auto Ch = [&](int V, int Target) { return static_cast<int>(std::lround(V + (Target - V) * K)); };
            pLine[X] = qRgb(Ch(qRed(Q), kTopColour.red()), Ch(qGreen(Q), kTopColour.green()), Ch(qBlue(Q), kTopColour.blue()));
        }
    }
}

} // namespace

QImage drawBackground()
{
    TRng Rng(0x7041A7E5u);
    QImage Image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    Image.fill(Qt::black);
    QPainter P(&Image);
    P.setRenderHint(QPainter::Antialiasing);

    // Sky: deep blue-black at the top, slate towards the horizon.
    QLinearGradient Sky(0, 0, 0, 320);
    Sky.setColorAt(0.00, QColor(0x06, 0x08, 0x0E));
    Sky.setColorAt(0.35, QColor(0x0E, 0x14, 0x1F));
    Sky.setColorAt(0.70, QColor(0x1C, 0x24, 0x31));
    Sky.setColorAt(1.00, QColor(0x2B, 0x2D, 0x33));
    P.fillRect(Image.rect(), Sky);

    paintStars(P, Rng);
    paintHaze(P);

    // Distant range: tall pale peaks fading into the sky.
    const TRidge Distant = makeRidge(Rng, 250, {{150, 10}, {48, 7}, {16, 3.5}, {6, 1.4}},
                                     {{205, 78, 150}, {330, 46, 110}, {520, 60, 120}, {640, 88, 160}, {790, 50, 120}});
    paintRidge(P, Distant, QColor(0x2C, 0x35, 0x46), QColor(0x20, 0x27, 0x33), 160, QColor(190, 200, 225, 55));
    paintSnow(P, Rng, Distant, 222, QColor(200, 210, 230, 70));
    paintMist(P, Rng, 238, 24, 14, 12);

    // Far range, darker and closer.
    const TRidge Far =
        makeRidge(Rng, 276, {{120, 12}, {40, 6}, {12, 2.4}, {5, 0.9}}, {{60, 50, 110}, {150, 30, 80}, {420, 42, 110}, {560, 24, 80}});
    paintRidge(P, Far, QColor(0x20, 0x28, 0x34), QColor(0x16, 0x1B, 0x24), 210, QColor(170, 185, 210, 50));
    paintSnow(P, Rng, Far, 250, QColor(190, 200, 222, 45));
    paintMist(P, Rng, 284, 22, 20, 14);

    // Middle range with the castle crag on the right and a ruin on the left.
    const TRidge Mid = makeRidge(Rng, 318, {{140, 8}, {45, 5}, {14, 2.0}, {5, 0.7}}, {{100, 30, 120}, {300, 14, 120}, {705, 26, 150}});
    paintRuin(P, QColor(0x13, 0x18, 0x20));
    paintCastle(P, QColor(0x11, 0x16, 0x1D));
    paintRidge(P, Mid, QColor(0x15, 0x1B, 0x23), QColor(0x0D, 0x11, 0x16), 280, QColor(150, 165, 190, 40));
    paintPines(P, Rng, Mid, QColor(0x0F, 0x14, 0x1A), 7, 13, 1.3, 0, 240);
    paintPines(P, Rng, Mid, QColor(0x0F, 0x14, 0x1A), 7, 12, 1.0, 560, 850);
    paintMist(P, Rng, 334, 18, 18, 14);

    // Foreground hills and pines, nearly black.
    const TRidge Near = makeRidge(Rng, 380, {{200, 14}, {60, 5}, {15, 2}}, {{0, 50, 200}, {850, 56, 220}});
    paintRidge(P, Near, QColor(0x0A, 0x0D, 0x12), QColor(0x05, 0x06, 0x09), 330, QColor(120, 135, 160, 30));
    paintPines(P, Rng, Near, QColor(0x06, 0x08, 0x0B), 22, 52, 0.9, -10, 190);
    paintPines(P, Rng, Near, QColor(0x06, 0x08, 0x0B), 22, 56, 0.9, 660, 860);
    paintPines(P, Rng, Near, QColor(0x07, 0x09, 0x0D), 10, 20, 0.6, 190, 660);

    paintVignette(P);
    paintMoon(P); // after the vignette, which would turn it grey
    P.end();

    addNoise(Image, Rng, 5);
    fadeTop(Image);
    return Image.convertToFormat(QImage::Format_RGB32);
}

} // namespace artgen
