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

QPainterPath shieldPath(double halfW, double top, double shoulder, double bottom)
{
    QPainterPath s;
    s.moveTo(-halfW, top);
    s.quadTo(0, top + (bottom - top) * 0.06, halfW, top);
    s.lineTo(halfW, shoulder);
    s.cubicTo(halfW, shoulder + (bottom - shoulder) * 0.55, halfW * 0.45, bottom - (bottom - shoulder) * 0.18, 0,
              bottom);
    s.cubicTo(-halfW * 0.45, bottom - (bottom - shoulder) * 0.18, -halfW, shoulder + (bottom - shoulder) * 0.55,
              -halfW, shoulder);
    s.closeSubpath();
    return s;
}

QPainterPath feather(QPointF root, double angleDeg, double length, double width, double curlDeg)
{
    const double a = angleDeg * kPi / 180.0;
    const QPointF d(std::cos(a), -std::sin(a));
    const QPointF n(-d.y(), d.x());  // points "down" the wing
    const double ta = (angleDeg + curlDeg) * kPi / 180.0;
    const QPointF tip = root + QPointF(std::cos(ta), -std::sin(ta)) * length;
    QPainterPath f;
    f.moveTo(root - n * (width * 0.45));
    f.quadTo(root + d * (length * 0.6) - n * (width * 0.62), tip);
    f.quadTo(root + d * (length * 0.55) + n * (width * 0.7), root + n * (width * 0.5));
    f.closeSubpath();
    return f;
}

// Shield with a gold tower under a star, flanked by spread wings. Local
// coordinates: about x -72..72, y -50..36 at scale 1.
void paintEmblem(QPainter& p, QPointF centre, double scale, double brightness = 1.0)
{
    p.save();
    p.translate(centre);
    p.scale(scale, scale);
    p.setRenderHint(QPainter::Antialiasing);

    const QLinearGradient gold = goldGradient(-50, 36, brightness);

    // Wings: longest feather first so the shorter ones overlap it.
    struct F {
        double angle, length, width, curl;
    };
    const F feathers[] = {{40, 62, 12, 10}, {27, 62, 12, 7}, {13, 56, 11.5, 4}, {-1, 48, 11, 2}, {-16, 38, 10, 0}};
    for (int side = -1; side <= 1; side += 2) {
        p.save();
        p.scale(side, 1);
        // The wing's arm: a curved band the feathers grow from.
        QPainterPath arm;
        arm.moveTo(16, -4);
        arm.cubicTo(34, -24, 52, -30, 64, -40);
        arm.cubicTo(52, -20, 38, -8, 20, 6);
        arm.closeSubpath();
        for (const F& f : feathers) {
            QPainterPath path = feather(QPointF(20, -4), f.angle, f.length, f.width, f.curl);
            p.setPen(QPen(kOutline, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.setBrush(gold);
            p.drawPath(path);
            // Shaft line.
            const double a = (f.angle + f.curl * 0.5) * kPi / 180.0;
            QPen shaft(QColor(0x7A, 0x55, 0x1C, 200), 0.9);
            shaft.setCapStyle(Qt::RoundCap);
            p.setPen(shaft);
            p.drawLine(QPointF(24, -4), QPointF(20, -4) + QPointF(std::cos(a), -std::sin(a)) * f.length * 0.8);
        }
        p.setPen(QPen(kOutline, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(gold);
        p.drawPath(arm);
        p.restore();
    }

    // Shield rim and field.
    const QPainterPath outer = shieldPath(26, -32, 4, 36);
    const QPainterPath inner = shieldPath(21.5, -27.5, 3, 30);
    p.setPen(QPen(kOutline, 1.6));
    p.setBrush(gold);
    p.drawPath(outer);
    QLinearGradient field(0, -28, 0, 30);
    field.setColorAt(0, shade(QColor(0x22, 0x45, 0x62), brightness));
    field.setColorAt(1, shade(QColor(0x08, 0x14, 0x22), brightness));
    p.setPen(QPen(QColor(0x3A, 0x28, 0x0C), 1.0));
    p.setBrush(field);
    p.drawPath(inner);
    // Sheen across the upper left of the field.
    p.save();
    p.setClipPath(inner);
    QLinearGradient sheen(-20, -28, 10, 5);
    sheen.setColorAt(0, QColor(255, 255, 255, 40));
    sheen.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(sheen);
    p.drawRect(QRectF(-30, -30, 60, 34));
    p.restore();

    // Tower.
    QPainterPath tower;
    tower.addRect(QRectF(-8, -6, 16, 26));
    tower.addRect(QRectF(-10.5, -11, 21, 5.5));
    for (double mx : {-10.5, -2.5, 5.5})
        tower.addRect(QRectF(mx, -16, 5, 5.5));
    tower.addRect(QRectF(-12, 19, 24, 3.5));
    tower = tower.simplified();
    QPainterPath gate;
    gate.moveTo(-4, 19.5);
    gate.lineTo(-4, 12);
    gate.arcTo(QRectF(-4, 8, 8, 8), 180, -180);
    gate.lineTo(4, 19.5);
    gate.closeSubpath();
    QPainterPath slit;
    slit.addRoundedRect(QRectF(-1.2, -3, 2.4, 7), 1.2, 1.2);
    tower = tower.subtracted(gate).subtracted(slit);
    p.setPen(QPen(kOutline, 1.0));
    p.setBrush(goldGradient(-16, 23, brightness));
    p.drawPath(tower);

    // Star above the tower.
    QPainterPath star;
    const QPointF sc(0, -21.5);
    for (int i = 0; i < 8; ++i) {
        const double r = (i % 2 == 0) ? 4.6 : 1.4;
        const double a = i * kPi / 4 - kPi / 2;
        const QPointF pt = sc + QPointF(std::cos(a) * r, std::sin(a) * r);
        if (i == 0)
            star.moveTo(pt);
        else
            star.lineTo(pt);
    }
    star.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(shade(QColor(0xFF, 0xF3, 0xD0), brightness));
    p.drawPath(star);

    p.restore();
}

// Title "TORVANE" in gold, fitted into maxWidth.
void paintTitle(QPainter& p, double centreX, double baseline, int pixelSize, double maxWidth,
                double brightness = 1.0)
{
    QFont font = makeFont(QStringLiteral("Liberation Serif"), pixelSize, QFont::Bold, 1.0);
    QPainterPath path = centeredText(QStringLiteral("TORVANE"), font, centreX, baseline);
    while (path.boundingRect().width() > maxWidth && font.pixelSize() > 10) {
        font.setPixelSize(font.pixelSize() - 1);
        path = centeredText(QStringLiteral("TORVANE"), font, centreX, baseline);
    }
    const QRectF ink = path.boundingRect();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(kOutline, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
    p.setPen(Qt::NoPen);
    p.setBrush(goldGradient(ink.top(), ink.bottom(), brightness));
    p.drawPath(path);
    // A thin bright edge along the top of the letters.
    p.save();
    p.setClipPath(path);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 250, 225, 110), 1.0));
    p.drawPath(path.translated(0, 1.0));
    p.restore();
}

// "ONLINE" between two thin gold rules ending in small diamonds.
void paintSubtitle(QPainter& p, double centreX, double baseline, double ruleLength, double brightness = 1.0)
{
    const QFont font = makeFont(QStringLiteral("Liberation Sans"), 11, QFont::Bold, 3.2);
    const QPainterPath text = centeredText(QStringLiteral("ONLINE"), font, centreX, baseline);
    const QRectF ink = text.boundingRect();
    p.setPen(Qt::NoPen);
    p.setBrush(shade(creamText(), brightness * 1.08));
    p.drawPath(text);

    const double midY = ink.center().y();
    const QColor rule = shade(QColor(0xD0, 0xA8, 0x58), brightness);
    for (int side = -1; side <= 1; side += 2) {
        const double inner = side < 0 ? ink.left() - 6 : ink.right() + 6;
        const double outer = inner + side * ruleLength;
        QLinearGradient g(inner, 0, outer, 0);
        g.setColorAt(0, rule);
        QColor faded = rule;
        faded.setAlpha(40);
        g.setColorAt(1, faded);
        p.fillRect(QRectF(std::min(inner, outer), midY - 0.5, ruleLength, 1.2), g);
        QPainterPath d;
        const QPointF c(inner + side * 1.5, midY + 0.1);
        d.moveTo(c + QPointF(0, -2.4));
        d.lineTo(c + QPointF(2.4, 0));
        d.lineTo(c + QPointF(0, 2.4));
        d.lineTo(c + QPointF(-2.4, 0));
        d.closeSubpath();
        p.setBrush(rule);
        p.drawPath(d);
    }
}

struct RibbonStyle {
    QString text;
    QColor colour;
};

RibbonStyle ribbonFor(const QString& variant)
{
    if (variant == QLatin1String("Classic"))
        return {QStringLiteral("CLASSIC"), QColor(0x7E, 0x58, 0x2A)};
    if (variant == QLatin1String("Preview"))
        return {QStringLiteral("PREVIEW"), QColor(0x5E, 0x3C, 0x92)};
    if (variant == QLatin1String("Beta"))
        return {QStringLiteral("BETA"), QColor(0x1E, 0x6A, 0x7C)};
    if (variant == QLatin1String("Test"))
        return {QStringLiteral("TEST"), QColor(0x96, 0x2C, 0x28)};
    return {};
}

void paintRibbon(QPainter& p, double centreX, double top, const RibbonStyle& style)
{
    const QFont font = makeFont(QStringLiteral("Liberation Sans"), 10, QFont::Bold, 2.0);
    const QPainterPath text = centeredText(style.text, font, centreX, 0);
    const double bandW = std::max(64.0, text.boundingRect().width() + 26);
    const double bandH = 15;
    const double left = centreX - bandW / 2;
    const QColor dark = shade(style.colour, 0.55);

    p.setRenderHint(QPainter::Antialiasing);
    // Folded tails behind the band.
    for (int side = -1; side <= 1; side += 2) {
        const double edge = side < 0 ? left : left + bandW;
        QPainterPath tail;
        tail.moveTo(edge - side * 6, top + 4);
        tail.lineTo(edge + side * 12, top + 4);
        tail.lineTo(edge + side * 7, top + 4 + bandH / 2);
        tail.lineTo(edge + side * 12, top + 4 + bandH);
        tail.lineTo(edge - side * 6, top + 4 + bandH);
        tail.closeSubpath();
        p.setPen(QPen(kOutline, 1.0));
        p.setBrush(dark);
        p.drawPath(tail);
        // Fold shadow.
        QPainterPath fold;
        fold.moveTo(edge, top + bandH);
        fold.lineTo(edge - side * 0.5, top + 4 + bandH);
        fold.lineTo(edge - side * 5, top + 4 + bandH);
        fold.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 150));
        p.drawPath(fold);
    }
    QLinearGradient g(0, top, 0, top + bandH);
    g.setColorAt(0, shade(style.colour, 1.25));
    g.setColorAt(0.5, style.colour);
    g.setColorAt(1, shade(style.colour, 0.7));
    p.setPen(QPen(kOutline, 1.0));
    p.setBrush(g);
    p.drawRect(QRectF(left, top, bandW, bandH));
    // Gold hems.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xE0, 0xBE, 0x70, 210));
    p.drawRect(QRectF(left + 0.5, top + 1.5, bandW - 1, 0.9));
    p.drawRect(QRectF(left + 0.5, top + bandH - 2.4, bandW - 1, 0.9));
    // Text with a one-pixel drop.
    const QPainterPath t = text.translated(0, top + 11.3);
    p.setBrush(QColor(0, 0, 0, 150));
    p.drawPath(t.translated(0, 1));
    p.setBrush(QColor(0xFF, 0xF8, 0xE4));
    p.drawPath(t);
}

// Composes a drawing with a tight drop shadow and a wide soft halo, so the
// logo reads on any part of the background.
QImage withShadows(const QImage& layer, int haloAlpha)
{
    QImage out = newImage(layer.width(), layer.height());
    const QImage halo = shadowOf(layer, QColor(0, 0, 0, haloAlpha), 7);
    const QImage drop = shadowOf(layer, QColor(0, 0, 0, 220), 1);
    QPainter p(&out);
    p.drawImage(0, 0, halo);
    p.drawImage(QPointF(0.0, 1.5), drop);
    p.drawImage(0, 0, layer);
    return out;
}

}  // namespace

QImage drawGameLogo(const QString& variant, bool disabled)
{
    const RibbonStyle ribbon = ribbonFor(variant);
    const bool hasRibbon = !ribbon.text.isEmpty();

    QImage layer = newImage(kLogoW, kLogoH);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        if (hasRibbon) {
            paintEmblem(p, QPointF(98, 52), 0.80);
            paintTitle(p, 98, 104, 31, 180);
            paintSubtitle(p, 98, 119, 34);
            paintRibbon(p, 98, 127, ribbon);
        } else {
            paintEmblem(p, QPointF(98, 56), 0.90);
            paintTitle(p, 98, 114, 32, 184);
            paintSubtitle(p, 98, 131, 36);
        }
    }
    QImage image = withShadows(layer, 150);
    if (disabled)
        image = desaturated(image, 0.10, 0.58);
    return image;
}

QImage drawLauncherLogo(bool updating)
{
    // An opaque card: the splash screen has no transparency.
    QImage image(kLogoW, kLogoH, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::black);
    Rng rng(updating ? 0x5B1A5Du : 0x5B1A5Cu);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient bg(0, 0, 0, kLogoH);
        bg.setColorAt(0, QColor(0x17, 0x1E, 0x2A));
        bg.setColorAt(1, QColor(0x07, 0x09, 0x0D));
        p.fillRect(image.rect(), bg);
        QRadialGradient glow(QPointF(98, 52), 90);
        glow.setColorAt(0, QColor(190, 140, 70, 70));
        glow.setColorAt(1, QColor(190, 140, 70, 0));
        p.fillRect(image.rect(), glow);
    }
    addNoise(image, rng, 4);

    QImage layer = newImage(kLogoW, kLogoH);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        if (updating) {
            paintEmblem(p, QPointF(98, 42), 0.62);
            paintTitle(p, 98, 88, 27, 160);
            paintSubtitle(p, 98, 102, 26);
        } else {
            paintEmblem(p, QPointF(98, 54), 0.74);
            paintTitle(p, 98, 108, 29, 166);
            paintSubtitle(p, 98, 124, 30);
        }
    }
    {
        QPainter p(&image);
        p.drawImage(0, 0, withShadows(layer, 120));
        p.setRenderHint(QPainter::Antialiasing);

        if (updating) {
            // Status line with a small circular-arrows glyph.
            const QFont font = makeFont(QStringLiteral("Liberation Sans"), 11, QFont::Bold, 0.6);
            const QString text = QStringLiteral("Updating launcher\u2026");
            const QPainterPath t = textPath(text, font);
            const double glyph = 13;
            const double total = glyph + 6 + t.boundingRect().width();
            const double x0 = 98 - total / 2;
            const double baseline = 131;
            // Dark plate behind the line.
            p.setPen(QPen(QColor(0xB8, 0x94, 0x4A, 150), 1));
            p.setBrush(QColor(0, 0, 0, 120));
            p.drawRoundedRect(QRectF(x0 - 9.5, 116.5, total + 19, 21), 4, 4);
            const QImage icon = drawIconUpdate().scaled(15, 15, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            p.drawImage(QPointF(x0 - 1, baseline - 11.5), icon);
            p.setPen(Qt::NoPen);
            p.setBrush(creamText());
            p.drawPath(t.translated(x0 + glyph + 6 - t.boundingRect().left(), baseline));
        }

        // Frame: dark edge, gold line, inner hairline, corner studs.
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(0, 0, 0), 1));
        p.drawRect(QRectF(0.5, 0.5, kLogoW - 1, kLogoH - 1));
        p.setPen(QPen(QColor(0xC8, 0xA2, 0x55), 1));
        p.drawRect(QRectF(1.5, 1.5, kLogoW - 3, kLogoH - 3));
        p.setPen(QPen(QColor(0xC8, 0xA2, 0x55, 90), 1));
        p.drawRect(QRectF(4.5, 4.5, kLogoW - 9, kLogoH - 9));
        for (const QPointF& c : {QPointF(4.5, 4.5), QPointF(kLogoW - 4.5, 4.5), QPointF(4.5, kLogoH - 4.5),
                                 QPointF(kLogoW - 4.5, kLogoH - 4.5)}) {
            QPainterPath d;
            d.moveTo(c + QPointF(0, -3.5));
            d.lineTo(c + QPointF(3.5, 0));
            d.lineTo(c + QPointF(0, 3.5));
            d.lineTo(c + QPointF(-3.5, 0));
            d.closeSubpath();
            p.setPen(QPen(QColor(0x3A, 0x28, 0x0C), 0.8));
            p.setBrush(QColor(0xE6, 0xC6, 0x78));
            p.drawPath(d);
        }
    }
    return image.convertToFormat(QImage::Format_ARGB32);
}

QImage drawAppIcon()
{
    // The desktop's application icon: the emblem, large, on a dark rounded plate with a
    // gold rim. No lettering: it would not read at the small sizes menus use.
    constexpr int kSize = 256;
    const QRectF plate(10.5, 10.5, kSize - 21, kSize - 21);
    QImage layer = newImage(kSize, kSize);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath rounded;
        rounded.addRoundedRect(plate, 44, 44);
        QLinearGradient bg(0, plate.top(), 0, plate.bottom());
        bg.setColorAt(0, QColor(0x1D, 0x2A, 0x3C));
        bg.setColorAt(1, QColor(0x07, 0x0A, 0x10));
        p.setPen(Qt::NoPen);
        p.setBrush(bg);
        p.drawPath(rounded);
        // A warm glow behind the emblem.
        p.save();
        p.setClipPath(rounded);
        QRadialGradient glow(QPointF(128, 122), 120);
        glow.setColorAt(0, QColor(200, 150, 70, 95));
        glow.setColorAt(1, QColor(200, 150, 70, 0));
        p.fillRect(plate, glow);
        p.restore();
        // Rim: gold line with a dark edge outside and a faint hairline inside.
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(kOutline, 5));
        p.drawPath(rounded);
        p.setPen(QPen(QBrush(goldGradient(plate.top(), plate.bottom())), 3));
        p.drawPath(rounded);
        QPainterPath inner;
        inner.addRoundedRect(plate.adjusted(9, 9, -9, -9), 36, 36);
        p.setPen(QPen(QColor(0xC8, 0xA2, 0x55, 80), 1.2));
        p.drawPath(inner);
    }
    QImage emblem = newImage(kSize, kSize);
    {
        QPainter p(&emblem);
        paintEmblem(p, QPointF(128, 136), 1.42);
    }
    QPainter p(&layer);
    p.drawImage(0, 0, withShadows(emblem, 170));
    p.end();
    return layer.convertToFormat(QImage::Format_ARGB32);
}

QImage drawMakerLogo()
{
    constexpr int w = 132;
    constexpr int h = 40;
    QImage layer = newImage(w, h);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        // Mark: a diamond plate with a serif "H".
        const QPointF c(19, 20);
        QPainterPath diamond;
        diamond.moveTo(c + QPointF(0, -16));
        diamond.lineTo(c + QPointF(16, 0));
        diamond.lineTo(c + QPointF(0, 16));
        diamond.lineTo(c + QPointF(-16, 0));
        diamond.closeSubpath();
        p.setPen(QPen(kOutline, 1.2));
        p.setBrush(goldGradient(4, 36));
        p.drawPath(diamond);
        QPainterPath innerD;
        innerD.moveTo(c + QPointF(0, -12.5));
        innerD.lineTo(c + QPointF(12.5, 0));
        innerD.lineTo(c + QPointF(0, 12.5));
        innerD.lineTo(c + QPointF(-12.5, 0));
        innerD.closeSubpath();
        QLinearGradient field(0, 7, 0, 33);
        field.setColorAt(0, QColor(0x2A, 0x22, 0x18));
        field.setColorAt(1, QColor(0x0C, 0x0A, 0x08));
        p.setPen(QPen(QColor(0x3A, 0x28, 0x0C), 0.8));
        p.setBrush(field);
        p.drawPath(innerD);
        const QFont hFont = makeFont(QStringLiteral("Liberation Serif"), 16, QFont::Bold);
        const QPainterPath hp = centeredText(QStringLiteral("H"), hFont, c.x(), c.y() + 5.8);
        p.setPen(Qt::NoPen);
        p.setBrush(goldGradient(hp.boundingRect().top(), hp.boundingRect().bottom(), 1.05));
        p.drawPath(hp);

        // Word mark.
        const QFont nameFont = makeFont(QStringLiteral("Liberation Serif"), 17, QFont::Bold, 1.4);
        QPainterPath name = textPath(QStringLiteral("HALVERN"), nameFont);
        name.translate(41 - name.boundingRect().left(), 21);
        p.setBrush(goldGradient(name.boundingRect().top(), name.boundingRect().bottom(), 1.05));
        p.drawPath(name);
        const double right = name.boundingRect().right();
        p.fillRect(QRectF(41, 25, std::ceil(right - 41), 1), QColor(0xC8, 0xA2, 0x55, 200));
        const QFont smallFont = makeFont(QStringLiteral("Liberation Sans"), 8, QFont::Bold, 3.0);
        QPainterPath small = textPath(QStringLiteral("GMBH"), smallFont);
        small.translate(41 + (right - 41 - small.boundingRect().width()) / 2 - small.boundingRect().left(), 34);
        p.setBrush(creamText());
        p.drawPath(small);
    }
    return withShadows(layer, 110);
}

}  // namespace artgen
