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

struct Ridge {
    std::vector<double> y;  // one height per column, 0 .. kWidth
};

struct Peak {
    double x;       // centre column
    double height;  // rise above the base line
    double width;   // half-width of the slope
};

Ridge makeRidge(Rng& rng, double base, const std::vector<std::pair<double, double>>& octaves,
                const std::vector<Peak>& peaks)
{
    std::vector<ValueNoise1D> layers;
    for (const auto& o : octaves)
        layers.emplace_back(rng, kWidth + 1, o.first);
    Ridge ridge;
    ridge.y.resize(kWidth + 1);
    for (int x = 0; x <= kWidth; ++x) {
        double h = base;
        for (size_t i = 0; i < layers.size(); ++i)
            h += layers[i].at(x) * octaves[i].second;
        // Peaks as concave slopes so summits come to a point.
        double rise = 0.0;
        for (const Peak& pk : peaks) {
            const double d = std::abs(x - pk.x) / pk.width;
            if (d < 1.0)
                rise = std::max(rise, pk.height * std::pow(1.0 - d, 1.7));
        }
        ridge.y[static_cast<size_t>(x)] = h - rise;
    }
    return ridge;
}

// Moonlit snow on the high parts of a range: the higher the ridge, the deeper
// the light reaches down the slope, with a ragged lower edge.
void paintSnow(QPainter& p, Rng& rng, const Ridge& ridge, double snowLine, const QColor& colour)
{
    ValueNoise1D ragged(rng, kWidth + 1, 7);
    ValueNoise1D ragged2(rng, kWidth + 1, 23);
    for (int x = 0; x < kWidth; ++x) {
        const double top = ridge.y[static_cast<size_t>(x)];
        if (top >= snowLine)
            continue;
        const double depth = (snowLine - top) * 0.55 + ragged.at(x) * 3.0 + ragged2.at(x) * 5.0;
        if (depth <= 0.5)
            continue;
        // Slopes facing the moon (rising to the right) are brighter.
        const double slope = ridge.y[static_cast<size_t>(x)] - ridge.y[static_cast<size_t>(x + 1)];
        const double lit = std::clamp(0.45 + slope * 0.6, 0.15, 1.0);
        QLinearGradient g(0, top, 0, top + depth);
        QColor c0 = colour;
        c0.setAlphaF(colour.alphaF() * lit);
        QColor c1 = colour;
        c1.setAlpha(0);
        g.setColorAt(0, c0);
        g.setColorAt(0.6, QColor(c0.red(), c0.green(), c0.blue(), c0.alpha() / 2));
        g.setColorAt(1, c1);
        p.fillRect(QRectF(x, top, 1, depth), g);
    }
}

QPainterPath ridgeArea(const Ridge& ridge)
{
    QPainterPath path;
    path.moveTo(0, kHeight + 1);
    for (int x = 0; x <= kWidth; ++x)
        path.lineTo(x, ridge.y[static_cast<size_t>(x)]);
    path.lineTo(kWidth, kHeight + 1);
    path.closeSubpath();
    return path;
}

void paintRidge(QPainter& p, const Ridge& ridge, const QColor& top, const QColor& bottom, double topY,
                const QColor& rim)
{
    QLinearGradient g(0, topY, 0, kHeight);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawPath(ridgeArea(ridge));
    if (rim.alpha() > 0) {
        // Moonlight catches the slopes that face up and left.
        for (int x = 1; x <= kWidth; ++x) {
            const double slope = ridge.y[static_cast<size_t>(x)] - ridge.y[static_cast<size_t>(x - 1)];
            const double lit = std::clamp(0.35 + slope * 0.9, 0.0, 1.0);
            QColor c = rim;
            c.setAlphaF(rim.alphaF() * lit);
            p.fillRect(QRectF(x - 1, ridge.y[static_cast<size_t>(x - 1)], 1, 1.2), c);
        }
    }
}

void paintStars(QPainter& p, Rng& rng)
{
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 340; ++i) {
        const double x = rng.range(0, kWidth);
        // More stars high up, thinning towards the horizon haze.
        const double t = rng.uniform();
        const double y = t * t * 250.0;
        const double fade = 1.0 - y / 260.0;
        const double b = rng.uniform();
        const int alpha = static_cast<int>((30 + 170 * b * b) * fade);
        const QColor tint = rng.uniform() < 0.25 ? QColor(255, 226, 190) : QColor(210, 225, 255);
        QColor c = tint;
        c.setAlpha(alpha);
        const double r = b > 0.93 ? 1.1 : (b > 0.7 ? 0.75 : 0.5);
        p.setBrush(c);
        p.drawEllipse(QPointF(x, y), r, r);
        if (b > 0.965) {
            // A few bright ones get a faint cross glint.
            QColor g = tint;
            g.setAlpha(static_cast<int>(70 * fade));
            p.fillRect(QRectF(x - 3.5, y - 0.25, 7, 0.5), g);
            p.fillRect(QRectF(x - 0.25, y - 3.5, 0.5, 7), g);
        }
    }
}

void paintMoon(QPainter& p)
{
    const QPointF c(58, 56);
    QRadialGradient halo(c, 150);
    halo.setColorAt(0.00, QColor(235, 225, 190, 70));
    halo.setColorAt(0.15, QColor(200, 195, 175, 34));
    halo.setColorAt(0.45, QColor(120, 130, 150, 12));
    halo.setColorAt(1.00, QColor(0, 0, 0, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(halo);
    p.drawEllipse(c, 150, 150);

    QRadialGradient disc(c + QPointF(-5, -5), 24);
    disc.setColorAt(0, QColor(0xF6, 0xF0, 0xDC));
    disc.setColorAt(1, QColor(0xCF, 0xC6, 0xA8));
    p.setBrush(disc);
    p.drawEllipse(c, 15, 15);
    // Maria: soft darker patches.
    p.setBrush(QColor(150, 145, 125, 45));
    p.drawEllipse(c + QPointF(-5, -3), 6, 5);
    p.drawEllipse(c + QPointF(5, 4), 5, 4);
    p.drawEllipse(c + QPointF(2, -8), 3, 2.5);
}

void paintHaze(QPainter& p)
{
    // Warm glow low over the valley, behind the tiles: gives the middle depth.
    // An ellipse squashed onto the horizon, like the last light behind the range.
    QRadialGradient warm(QPointF(0, 0), 1.0);
    warm.setColorAt(0.0, QColor(190, 130, 70, 58));
    warm.setColorAt(0.45, QColor(130, 90, 60, 24));
    warm.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.save();
    p.translate(430, 262);
    p.scale(420, 120);
    p.setPen(Qt::NoPen);
    p.setBrush(warm);
    p.drawEllipse(QPointF(0, 0), 1.0, 1.0);
    p.restore();
}

void paintMist(QPainter& p, Rng& rng, double y, double thickness, int alpha, int count)
{
    p.setPen(Qt::NoPen);
    for (int i = 0; i < count; ++i) {
        const double cx = rng.range(-60, kWidth + 60);
        const double cy = y + rng.range(-thickness * 0.4, thickness * 0.4);
        const double rx = rng.range(120, 260);
        const double ry = thickness * rng.range(0.5, 1.0);
        QRadialGradient g(QPointF(0, 0), 1.0);
        g.setColorAt(0.0, QColor(150, 160, 178, alpha));
        g.setColorAt(1.0, QColor(150, 160, 178, 0));
        p.save();
        p.translate(cx, cy);
        p.scale(rx, ry);
        p.setBrush(g);
        p.drawEllipse(QPointF(0, 0), 1.0, 1.0);
        p.restore();
    }
}

// Castle on a crag, drawn as one silhouette with a few lit windows.
void paintCastle(QPainter& p, const QColor& body)
{
    QPainterPath s;
    // Crag.
    s.moveTo(615, 330);
    s.cubicTo(640, 318, 652, 300, 664, 296);
    s.lineTo(700, 292);
    s.lineTo(742, 294);
    s.cubicTo(760, 298, 772, 306, 790, 330);
    s.closeSubpath();

    auto tower = [&](double x, double w, double top, double roofH) {
        QPainterPath t;
        t.addRect(QRectF(x, top, w, 300 - top));
        if (roofH > 0) {
            QPolygonF roof;
            roof << QPointF(x - 2, top + 0.5) << QPointF(x + w / 2, top - roofH) << QPointF(x + w + 2, top + 0.5);
            t.addPolygon(roof);
        } else {
            // Crenellations.
            const int n = std::max(2, static_cast<int>(w / 5));
            const double step = w / (2 * n - 1);
            for (int i = 0; i < n; ++i)
                t.addRect(QRectF(x + i * 2 * step, top - 4, step, 4.5));
        }
        return t;
    };
    s = s.united(tower(676, 44, 248, 0));          // keep
    s = s.united(tower(664, 14, 256, 20));          // left tower
    s = s.united(tower(724, 18, 214, 34));          // tall tower
    s = s.united(tower(746, 14, 252, 18));          // right tower
    s = s.united(tower(716, 10, 262, 0));           // wall stub
    // Curtain wall running down the crag.
    QPainterPath wall;
    wall.addRect(QRectF(640, 278, 30, 24));
    s = s.united(wall);
    s = s.united(tower(640, 30, 278, 0));
    // Spire and pennant on the tall tower.
    QPainterPath spire;
    spire.addRect(QRectF(732.6, 170, 0.9, 12));
    QPolygonF flag;
    flag << QPointF(733.4, 170.5) << QPointF(744, 173) << QPointF(733.4, 175.5);
    spire.addPolygon(flag);
    s = s.united(spire);

    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawPath(s);

    // Moonlit left faces.
    QColor rim(150, 165, 190, 55);
    p.setBrush(rim);
    for (const QRectF& r : {QRectF(676, 248, 1.2, 44), QRectF(664, 256, 1.2, 40), QRectF(724, 214, 1.2, 40),
                            QRectF(746, 252, 1.2, 40), QRectF(640, 278, 1.2, 22)})
        p.drawRect(r);

    // Windows with a warm glow around them.
    const QPointF windows[] = {{689, 262}, {703, 262}, {731, 228}, {731, 246}, {670, 270}, {752, 266}, {696, 280}};
    for (const QPointF& w : windows) {
        QRadialGradient glow(w + QPointF(1, 2), 11);
        glow.setColorAt(0, QColor(255, 170, 70, 80));
        glow.setColorAt(1, QColor(255, 140, 40, 0));
        p.setBrush(glow);
        p.drawEllipse(w + QPointF(1, 2), 11, 11);
    }
    for (const QPointF& w : windows) {
        QPainterPath arch;
        arch.moveTo(w.x(), w.y() + 5);
        arch.lineTo(w.x(), w.y() + 1.2);
        arch.quadTo(w.x() + 1.25, w.y() - 0.6, w.x() + 2.5, w.y() + 1.2);
        arch.lineTo(w.x() + 2.5, w.y() + 5);
        arch.closeSubpath();
        p.setBrush(QColor(255, 200, 110));
        p.drawPath(arch);
    }
}

void paintRuin(QPainter& p, const QColor& body)
{
    // A broken watchtower on the left hills, balancing the castle.
    QPainterPath s;
    s.moveTo(92, 330);
    s.lineTo(92, 286);
    s.lineTo(96, 284);
    s.lineTo(97, 288);
    s.lineTo(101, 283);
    s.lineTo(104, 287);
    s.lineTo(108, 282);
    s.lineTo(110, 290);
    s.lineTo(112, 330);
    s.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawPath(s);
    QRadialGradient glow(QPointF(101, 300), 8);
    glow.setColorAt(0, QColor(255, 160, 60, 70));
    glow.setColorAt(1, QColor(255, 140, 40, 0));
    p.setBrush(glow);
    p.drawEllipse(QPointF(101, 300), 8, 8);
    p.setBrush(QColor(255, 190, 100));
    p.drawRect(QRectF(100, 298, 2, 3.5));
}

void paintPines(QPainter& p, Rng& rng, const Ridge& ridge, const QColor& colour, double minH, double maxH,
                double density, double xFrom, double xTo)
{
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    double x = xFrom;
    while (x < xTo) {
        const double h = rng.range(minH, maxH);
        const double w = h * rng.range(0.32, 0.42);
        const double baseY = ridge.y[static_cast<size_t>(std::clamp(static_cast<int>(x), 0, kWidth))] + h * 0.12;
        QPainterPath tree;
        tree.setFillRule(Qt::WindingFill);
        const int tiers = 4;
        for (int t = 0; t < tiers; ++t) {
            const double f = static_cast<double>(t) / tiers;
            const double tierBottom = baseY - h * 0.12 - f * h * 0.7;
            const double tierTop = tierBottom - h * 0.42;
            const double tierW = w * (1.0 - f * 0.6) * 0.5;
            QPolygonF poly;
            poly << QPointF(x - tierW, tierBottom) << QPointF(x, tierTop) << QPointF(x + tierW, tierBottom);
            tree.addPolygon(poly);
        }
        tree.addRect(QRectF(x - w * 0.06, baseY - h * 0.2, w * 0.12, h * 0.2));
        p.drawPath(tree);
        x += rng.range(3.0, 14.0) / density;
    }
}

void paintVignette(QPainter& p)
{
    QRadialGradient v(QPointF(kWidth / 2.0, kHeight * 0.42), kWidth * 0.62);
    v.setColorAt(0.00, QColor(0, 0, 0, 0));
    v.setColorAt(0.55, QColor(0, 0, 0, 25));
    v.setColorAt(0.85, QColor(0, 0, 0, 130));
    v.setColorAt(1.00, QColor(0, 0, 0, 210));
    p.setPen(Qt::NoPen);
    p.setBrush(v);
    p.drawRect(0, 0, kWidth, kHeight);

    // Darker bottom under the hints panel and the version line.
    QLinearGradient bottom(0, 330, 0, kHeight);
    bottom.setColorAt(0, QColor(0, 0, 0, 0));
    bottom.setColorAt(1, QColor(0, 0, 0, 120));
    p.setBrush(bottom);
    p.drawRect(0, 330, kWidth, kHeight - 330);
}

void fadeTop(QImage& image)
{
    // Blend the first rows into the solid top colour (see kTopColour).
    constexpr int rows = 28;
    for (int y = 0; y < rows; ++y) {
        const double t = 1.0 - static_cast<double>(y) / rows;
        const double k = t * t * (3 - 2 * t);
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb q = line[x];
            auto ch = [&](int v, int target) { return static_cast<int>(std::lround(v + (target - v) * k)); };
            line[x] = qRgb(ch(qRed(q), kTopColour.red()), ch(qGreen(q), kTopColour.green()),
                           ch(qBlue(q), kTopColour.blue()));
        }
    }
}

}  // namespace

QImage drawBackground()
{
    Rng rng(0x7041A7E5u);
    QImage image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::black);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    // Sky: deep blue-black at the top, slate towards the horizon.
    QLinearGradient sky(0, 0, 0, 320);
    sky.setColorAt(0.00, QColor(0x06, 0x08, 0x0E));
    sky.setColorAt(0.35, QColor(0x0E, 0x14, 0x1F));
    sky.setColorAt(0.70, QColor(0x1C, 0x24, 0x31));
    sky.setColorAt(1.00, QColor(0x2B, 0x2D, 0x33));
    p.fillRect(image.rect(), sky);

    paintStars(p, rng);
    paintHaze(p);

    // Distant range: tall pale peaks fading into the sky.
    const Ridge distant = makeRidge(rng, 250, {{150, 10}, {48, 7}, {16, 3.5}, {6, 1.4}},
                                    {{205, 78, 150}, {330, 46, 110}, {520, 60, 120}, {640, 88, 160}, {790, 50, 120}});
    paintRidge(p, distant, QColor(0x2C, 0x35, 0x46), QColor(0x20, 0x27, 0x33), 160, QColor(190, 200, 225, 55));
    paintSnow(p, rng, distant, 222, QColor(200, 210, 230, 70));
    paintMist(p, rng, 238, 24, 14, 12);

    // Far range, darker and closer.
    const Ridge far = makeRidge(rng, 276, {{120, 12}, {40, 6}, {12, 2.4}, {5, 0.9}},
                                {{60, 50, 110}, {150, 30, 80}, {420, 42, 110}, {560, 24, 80}});
    paintRidge(p, far, QColor(0x20, 0x28, 0x34), QColor(0x16, 0x1B, 0x24), 210, QColor(170, 185, 210, 50));
    paintSnow(p, rng, far, 250, QColor(190, 200, 222, 45));
    paintMist(p, rng, 284, 22, 20, 14);

    // Middle range with the castle crag on the right and a ruin on the left.
    const Ridge mid = makeRidge(rng, 318, {{140, 8}, {45, 5}, {14, 2.0}, {5, 0.7}},
                                {{100, 30, 120}, {300, 14, 120}, {705, 26, 150}});
    paintRuin(p, QColor(0x13, 0x18, 0x20));
    paintCastle(p, QColor(0x11, 0x16, 0x1D));
    paintRidge(p, mid, QColor(0x15, 0x1B, 0x23), QColor(0x0D, 0x11, 0x16), 280, QColor(150, 165, 190, 40));
    paintPines(p, rng, mid, QColor(0x0F, 0x14, 0x1A), 7, 13, 1.3, 0, 240);
    paintPines(p, rng, mid, QColor(0x0F, 0x14, 0x1A), 7, 12, 1.0, 560, 850);
    paintMist(p, rng, 334, 18, 18, 14);

    // Foreground hills and pines, nearly black.
    const Ridge near = makeRidge(rng, 380, {{200, 14}, {60, 5}, {15, 2}}, {{0, 50, 200}, {850, 56, 220}});
    paintRidge(p, near, QColor(0x0A, 0x0D, 0x12), QColor(0x05, 0x06, 0x09), 330, QColor(120, 135, 160, 30));
    paintPines(p, rng, near, QColor(0x06, 0x08, 0x0B), 22, 52, 0.9, -10, 190);
    paintPines(p, rng, near, QColor(0x06, 0x08, 0x0B), 22, 56, 0.9, 660, 860);
    paintPines(p, rng, near, QColor(0x07, 0x09, 0x0D), 10, 20, 0.6, 190, 660);

    paintVignette(p);
    paintMoon(p);  // after the vignette, which would turn it grey
    p.end();

    addNoise(image, rng, 5);
    fadeTop(image);
    return image.convertToFormat(QImage::Format_RGB32);
}

}  // namespace artgen
