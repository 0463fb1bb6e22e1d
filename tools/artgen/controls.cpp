// Buttons, button icons, check box, progress bar, scroll bar parts and the two
// panel backgrounds.
//
// Most of these are nine-sliced by the style sheets, so their edges and centres
// are drawn to survive it: a part that the style sheet repeats along an axis
// does not change along that axis, and everything curved stays inside the
// corner slices.
#include "artgen.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPathStroker>

#include <algorithm>
#include <cmath>

namespace artgen {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct ButtonColours {
    QColor top;
    QColor bottom;
};

ButtonColours coloursFor(const QString& colour)
{
    if (colour == QLatin1String("Blue"))
        return {QColor(0x4F, 0x8E, 0xD6), QColor(0x17, 0x3A, 0x6E)};
    if (colour == QLatin1String("Orange"))
        return {QColor(0xF0, 0xA0, 0x48), QColor(0x8E, 0x44, 0x10)};
    if (colour == QLatin1String("Red"))
        return {QColor(0xD8, 0x5A, 0x4A), QColor(0x6E, 0x16, 0x12)};
    // Green
    return {QColor(0x72, 0xB8, 0x48), QColor(0x25, 0x56, 0x16)};
}

// Icon glyph: cream fill, dark outline and a soft drop, on a transparent square.
QImage finishGlyph(const QPainterPath& shape, int size)
{
    QImage layer = newImage(size, size);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(0x20, 0x16, 0x0A, 235), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(shape);
        QLinearGradient g(0, shape.boundingRect().top(), 0, shape.boundingRect().bottom());
        g.setColorAt(0, QColor(0xFF, 0xFC, 0xF0));
        g.setColorAt(1, QColor(0xEA, 0xDC, 0xB0));
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawPath(shape);
    }
    QImage out = newImage(size, size);
    QPainter p(&out);
    p.drawImage(QPointF(0, 1.2), shadowOf(layer, QColor(0, 0, 0, 150), 1));
    p.drawImage(0, 0, layer);
    return out;
}

QPainterPath diamondPath(QPointF c, double r)
{
    QPainterPath d;
    d.moveTo(c + QPointF(0, -r));
    d.lineTo(c + QPointF(r, 0));
    d.lineTo(c + QPointF(0, r));
    d.lineTo(c + QPointF(-r, 0));
    d.closeSubpath();
    return d;
}

}  // namespace

QImage drawButton(const QString& colour, ButtonState state)
{
    // 32 x 32, sliced 4/4/4/4 and shown at 98 x 40 with the middle repeated
    // horizontally and scaled vertically: only vertical gradients in the middle.
    constexpr int s = 32;
    ButtonColours c = coloursFor(colour);
    double rimBright = 1.0;
    if (state == ButtonState::Hover) {
        // Lift the value, keep the hue and saturation: the icon must stay readable.
        c.top = QColor::fromHsvF(c.top.hsvHueF(), c.top.hsvSaturationF() * 0.92, std::min(1.0, c.top.valueF() * 1.12));
        c.bottom = QColor::fromHsvF(c.bottom.hsvHueF(), c.bottom.hsvSaturationF(),
                                    std::min(1.0, c.bottom.valueF() * 1.25));
        rimBright = 1.1;
    } else if (state == ButtonState::Pressed) {
        c.top = shade(c.top, 0.62);
        c.bottom = shade(c.bottom, 0.85);
        rimBright = 0.8;
    }

    QImage image = newImage(s, s);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);

    // Dark outer edge.
    p.setBrush(QColor(0x0C, 0x08, 0x03, 240));
    p.drawRoundedRect(QRectF(0, 0, s, s), 4, 4);
    // Bronze rim, lit from above.
    QLinearGradient rim(0, 1, 0, s - 1);
    rim.setColorAt(0.0, shade(QColor(0xF2, 0xDC, 0x9A), rimBright));
    rim.setColorAt(0.45, shade(QColor(0xB8, 0x8E, 0x44), rimBright));
    rim.setColorAt(1.0, shade(QColor(0x5E, 0x44, 0x18), rimBright));
    p.setBrush(rim);
    p.drawRoundedRect(QRectF(1, 1, s - 2, s - 2), 3, 3);

    // Plate.
    const QRectF plate(2, 2, s - 4, s - 4);
    QLinearGradient body(0, plate.top(), 0, plate.bottom());
    if (state == ButtonState::Pressed) {
        body.setColorAt(0, c.top);
        body.setColorAt(1, c.bottom);
    } else {
        body.setColorAt(0.0, shade(c.top, 1.08));
        body.setColorAt(0.48, c.top);
        body.setColorAt(0.52, mix(c.top, c.bottom, 0.55));
        body.setColorAt(1.0, c.bottom);
    }
    p.setBrush(body);
    p.drawRoundedRect(plate, 2, 2);

    p.save();
    QPainterPath clip;
    clip.addRoundedRect(plate, 2, 2);
    p.setClipPath(clip);
    if (state == ButtonState::Pressed) {
        // Inset: shadow under the top edge, light along the bottom.
        QLinearGradient inset(0, plate.top(), 0, plate.top() + 6);
        inset.setColorAt(0, QColor(0, 0, 0, 150));
        inset.setColorAt(1, QColor(0, 0, 0, 0));
        p.setBrush(inset);
        p.drawRect(plate);
        p.fillRect(QRectF(plate.left(), plate.bottom() - 1, plate.width(), 1), QColor(255, 255, 255, 45));
    } else {
        // Gloss on the upper half, bright top line, shade on the bottom line.
        QLinearGradient gloss(0, plate.top(), 0, plate.top() + plate.height() * 0.5);
        gloss.setColorAt(0, QColor(255, 255, 255, state == ButtonState::Hover ? 95 : 75));
        gloss.setColorAt(1, QColor(255, 255, 255, 12));
        p.setBrush(gloss);
        p.drawRect(QRectF(plate.left(), plate.top(), plate.width(), plate.height() * 0.5));
        p.fillRect(QRectF(plate.left(), plate.top(), plate.width(), 1), QColor(255, 255, 255, 120));
        p.fillRect(QRectF(plate.left(), plate.bottom() - 1, plate.width(), 1), QColor(0, 0, 0, 70));
        if (state == ButtonState::Hover) {
            // Warm glow rising from the bottom.
            QLinearGradient glow(0, plate.bottom(), 0, plate.top() + plate.height() * 0.4);
            glow.setColorAt(0, QColor(255, 230, 160, 70));
            glow.setColorAt(1, QColor(255, 230, 160, 0));
            p.setBrush(glow);
            p.drawRect(plate);
        }
    }
    p.restore();
    return image;
}

QImage drawIconDownload()
{
    QPainterPath arrow;
    arrow.moveTo(13.5, 4);
    arrow.lineTo(20.5, 4);
    arrow.lineTo(20.5, 14);
    arrow.lineTo(27, 14);
    arrow.lineTo(17, 24.5);
    arrow.lineTo(7, 14);
    arrow.lineTo(13.5, 14);
    arrow.closeSubpath();
    QPainterPath tray;
    tray.addRoundedRect(QRectF(6, 26.5, 22, 4), 1.5, 1.5);
    return finishGlyph(arrow.united(tray), 34);
}

QImage drawIconUpdate()
{
    // Two arcs chasing each other round the centre, each ending in a head.
    const QPointF c(17, 17);
    const double r = 9.5;
    QPainterPath shape;
    for (int half = 0; half < 2; ++half) {
        const double start = half * 180.0 + 18.0;   // degrees, counter-clockwise from +x
        const double sweep = 128.0;
        QPainterPath arc;
        arc.arcMoveTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), start);
        arc.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), start, sweep);
        QPainterPathStroker stroker;
        stroker.setWidth(4.0);
        stroker.setCapStyle(Qt::FlatCap);
        shape = shape.united(stroker.createStroke(arc));
        // Arrow head at the end of the arc, pointing along its direction of travel.
        const double a = (start + sweep) * kPi / 180.0;
        const QPointF end(c.x() + r * std::cos(a), c.y() - r * std::sin(a));
        const QPointF radial(std::cos(a), -std::sin(a));
        const QPointF tangent(-std::sin(a), -std::cos(a));  // counter-clockwise in screen space
        QPolygonF head;
        head << end + radial * 5.6 - tangent * 0.6 << end + tangent * 6.4 << end - radial * 5.6 - tangent * 0.6;
        QPainterPath hp;
        hp.addPolygon(head);
        shape = shape.united(hp);
    }
    return finishGlyph(shape.simplified(), 34);
}

QImage drawIconPlay()
{
    // Rounded triangle, nudged right so it looks centred.
    QPainterPath tri;
    tri.moveTo(12, 8);
    tri.lineTo(12, 26);
    tri.lineTo(26, 17);
    tri.closeSubpath();
    QPainterPathStroker stroker;
    stroker.setWidth(4);
    stroker.setJoinStyle(Qt::RoundJoin);
    const QPainterPath shape = tri.united(stroker.createStroke(tri)).simplified();
    return finishGlyph(shape, 34);
}

QImage drawCheckbox(bool checked)
{
    // 14 x 14: the indicator size of Qt's default style on Linux (Fusion), which
    // the style sheet keeps; any other size would be scaled and blurred.
    constexpr int s = 14;
    QImage image = newImage(s, s);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x0A, 0x07, 0x03, 235));
    p.drawRoundedRect(QRectF(0, 0, s, s), 3, 3);
    QLinearGradient rim(0, 1, 0, s - 1);
    rim.setColorAt(0, QColor(0xEE, 0xD4, 0x8C));
    rim.setColorAt(1, QColor(0x6E, 0x52, 0x20));
    p.setBrush(rim);
    p.drawRoundedRect(QRectF(1, 1, s - 2, s - 2), 2.5, 2.5);
    QLinearGradient well(0, 2, 0, s - 2);
    well.setColorAt(0, QColor(0x08, 0x08, 0x0A));
    well.setColorAt(1, QColor(0x26, 0x24, 0x20));
    p.setBrush(well);
    p.drawRoundedRect(QRectF(2, 2, s - 4, s - 4), 1.5, 1.5);
    if (checked) {
        QPainterPath tick;
        tick.moveTo(3.6, 7.3);
        tick.lineTo(6.0, 9.8);
        tick.lineTo(10.6, 3.9);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(0x10, 0x0A, 0x02, 220), 3.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(tick);
        p.setPen(QPen(QColor(0xF8, 0xE6, 0xA8), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(tick);
    }
    return image;
}

QImage drawProgressBackground()
{
    // Stretched whole over the 98 x 40 bar: drawn at that size.
    constexpr int w = 98;
    constexpr int h = 40;
    QImage image = newImage(w, h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x0C, 0x08, 0x03, 240));
    p.drawRoundedRect(QRectF(0, 0, w, h), 4, 4);
    QLinearGradient rim(0, 1, 0, h - 1);
    rim.setColorAt(0, QColor(0x5E, 0x44, 0x18));
    rim.setColorAt(1, QColor(0xD8, 0xB8, 0x6A));
    p.setBrush(rim);
    p.drawRoundedRect(QRectF(1, 1, w - 2, h - 2), 3, 3);
    QLinearGradient well(0, 2, 0, h - 2);
    well.setColorAt(0, QColor(0x05, 0x05, 0x07));
    well.setColorAt(0.25, QColor(0x10, 0x11, 0x14));
    well.setColorAt(1, QColor(0x1C, 0x1B, 0x19));
    p.setBrush(well);
    p.drawRoundedRect(QRectF(2, 2, w - 4, h - 4), 2, 2);
    return image;
}

QImage drawProgressChunk()
{
    // Stretched to whatever width the bar has reached: vertical gradient only.
    constexpr int w = 16;
    constexpr int h = 36;
    QImage image = newImage(w, h);
    QPainter p(&image);
    QLinearGradient g(0, 0, 0, h);
    g.setColorAt(0.0, QColor(0x4C, 0x9E, 0x5A));
    g.setColorAt(0.47, QColor(0x2E, 0x7C, 0x40));
    g.setColorAt(0.53, QColor(0x22, 0x66, 0x33));
    g.setColorAt(1.0, QColor(0x14, 0x42, 0x20));
    p.fillRect(image.rect(), g);
    QLinearGradient gloss(0, 0, 0, h / 2.0);
    gloss.setColorAt(0, QColor(255, 255, 255, 60));
    gloss.setColorAt(1, QColor(255, 255, 255, 8));
    p.fillRect(QRectF(0, 0, w, h / 2.0), gloss);
    p.fillRect(QRectF(0, 0, w, 1), QColor(0xB8, 0xE8, 0xA8, 150));
    p.fillRect(QRectF(0, h - 1, w, 1), QColor(0, 0, 0, 110));
    return image;
}

QImage drawScrollTexture()
{
    // Repeated down the 12-pixel groove: varies across, not along.
    constexpr int w = 12;
    constexpr int h = 16;
    QImage image = newImage(w, h);
    QPainter p(&image);
    const int alpha[w] = {0, 60, 110, 150, 175, 190, 190, 175, 150, 110, 60, 0};
    for (int x = 0; x < w; ++x)
        p.fillRect(QRect(x, 0, 1, h), QColor(0x02, 0x02, 0x04, alpha[x]));
    p.fillRect(QRect(5, 0, 2, h), QColor(0x00, 0x00, 0x00, 90));
    p.fillRect(QRect(3, 0, 1, h), QColor(0xB8, 0x94, 0x4A, 45));
    p.fillRect(QRect(8, 0, 1, h), QColor(0xB8, 0x94, 0x4A, 45));
    return image;
}

QImage drawScrollHandle()
{
    // Sliced 6/6/6/6 on a 12-pixel-wide bar: the middle rows stretch along y.
    constexpr int w = 12;
    constexpr int h = 32;
    QImage image = newImage(w, h);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const QRectF outer(1.5, 0.5, 9, h - 1);
    p.setBrush(QColor(0x0C, 0x08, 0x03, 230));
    p.drawRoundedRect(outer, 4.5, 4.5);
    QLinearGradient body(2.5, 0, 9.5, 0);
    body.setColorAt(0.0, QColor(0x8A, 0x66, 0x28));
    body.setColorAt(0.35, QColor(0xF0, 0xD4, 0x88));
    body.setColorAt(0.6, QColor(0xC8, 0x9C, 0x48));
    body.setColorAt(1.0, QColor(0x6A, 0x4C, 0x1A));
    p.setBrush(body);
    p.drawRoundedRect(outer.adjusted(1, 1, -1, -1), 3.5, 3.5);
    return image;
}

QImage drawScrollArrow(bool up, bool pressed)
{
    constexpr int s = 12;
    QImage image = newImage(s, s);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    // Round button well.
    p.setBrush(QColor(0x02, 0x02, 0x04, pressed ? 200 : 150));
    p.drawEllipse(QRectF(0.5, 0.5, 11, 11));
    if (pressed) {
        p.setBrush(QColor(0xB8, 0x94, 0x4A, 70));
        p.drawEllipse(QRectF(1.5, 1.5, 9, 9));
    }
    const double dy = pressed ? 0.6 : 0.0;
    QPainterPath tri;
    if (up) {
        tri.moveTo(6, 3.0 + dy);
        tri.lineTo(9.8, 8.2 + dy);
        tri.lineTo(2.2, 8.2 + dy);
    } else {
        tri.moveTo(6, 9.0 + dy);
        tri.lineTo(9.8, 3.8 + dy);
        tri.lineTo(2.2, 3.8 + dy);
    }
    tri.closeSubpath();
    p.setPen(QPen(QColor(0x14, 0x0C, 0x02, 220), 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QLinearGradient g(0, 3, 0, 9);
    g.setColorAt(0, pressed ? QColor(0xFF, 0xF0, 0xC0) : QColor(0xF0, 0xD4, 0x88));
    g.setColorAt(1, pressed ? QColor(0xE0, 0xB8, 0x60) : QColor(0xA8, 0x80, 0x38));
    p.setBrush(g);
    p.drawPath(tri);
    return image;
}

QImage drawHintBackground()
{
    // Sliced 5 (top), 5 (right), 0 (bottom), 5 (left) and repeated: a dark
    // see-through panel with a gold top edge; everything below the top slice
    // is the same on every row.
    constexpr int s = 40;
    QImage image = newImage(s, s);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    QPainterPath panel;
    panel.addRoundedRect(QRectF(0, 0, s, s + 8), 4, 4);  // rounded only at the top
    p.setClipPath(panel);
    p.fillRect(image.rect(), QColor(0x07, 0x08, 0x0B, 185));
    // Side hairlines.
    p.fillRect(QRect(0, 0, 1, s), QColor(0xB8, 0x94, 0x4A, 90));
    p.fillRect(QRect(s - 1, 0, 1, s), QColor(0xB8, 0x94, 0x4A, 90));
    p.fillRect(QRect(1, 0, 1, s), QColor(0, 0, 0, 90));
    p.fillRect(QRect(s - 2, 0, 1, s), QColor(0, 0, 0, 90));
    // Top: gold line, dark line, a little warm light falling on the panel.
    p.setClipping(false);
    QPainterPath top;
    top.addRoundedRect(QRectF(0.5, 0.5, s - 1, s + 8), 3.5, 3.5);
    p.setBrush(Qt::NoBrush);
    p.setClipRect(QRect(0, 0, s, 5));
    p.setPen(QPen(QColor(0xD8, 0xB4, 0x64, 230), 1));
    p.drawPath(top);
    p.setPen(Qt::NoPen);
    p.fillRect(QRect(2, 1, s - 4, 1), QColor(0, 0, 0, 120));
    p.fillRect(QRect(2, 2, s - 4, 1), QColor(0xD8, 0xB4, 0x64, 34));
    p.fillRect(QRect(2, 3, s - 4, 1), QColor(0xD8, 0xB4, 0x64, 18));
    p.fillRect(QRect(2, 4, s - 4, 1), QColor(0xD8, 0xB4, 0x64, 8));
    return image;
}

QImage drawPackageBackground()
{
    // Sliced 16 on every side, edges and centre repeated: a framed panel whose
    // edges are the same along their length.
    constexpr int s = 48;
    QImage image = newImage(s, s);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const QRectF outer(0, 0, s, s);
    p.setBrush(QColor(0x04, 0x03, 0x02, 220));
    p.drawRoundedRect(outer, 9, 9);
    p.setBrush(QColor(0xB8, 0x94, 0x4A, 225));
    p.drawRoundedRect(outer.adjusted(1, 1, -1, -1), 8, 8);
    p.setBrush(QColor(0x07, 0x07, 0x09, 255));
    p.drawRoundedRect(outer.adjusted(2, 2, -2, -2), 7, 7);
    p.setBrush(QColor(0x0B, 0x0C, 0x10, 215));
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawRoundedRect(outer.adjusted(3, 3, -3, -3), 6, 6);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // Inner hairline.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0xB8, 0x94, 0x4A, 70), 1));
    p.drawRoundedRect(outer.adjusted(5.5, 5.5, -5.5, -5.5), 3.5, 3.5);
    // Gold studs on the corners.
    p.setPen(QPen(QColor(0x2A, 0x1C, 0x08), 0.8));
    p.setBrush(QColor(0xEE, 0xD0, 0x80));
    for (const QPointF& c : {QPointF(5.5, 5.5), QPointF(s - 5.5, 5.5), QPointF(5.5, s - 5.5), QPointF(s - 5.5, s - 5.5)})
        p.drawPath(diamondPath(c, 2.8));
    return image;
}

}  // namespace artgen
