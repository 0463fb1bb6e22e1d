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

struct TButtonColours {
    QColor m_Top;
    QColor m_Bottom;
};

TButtonColours coloursFor(const QString& Colour)
{
    if (Colour == QLatin1String("Blue"))
        return {QColor(0x4F, 0x8E, 0xD6), QColor(0x17, 0x3A, 0x6E)};
    if (Colour == QLatin1String("Orange"))
        return {QColor(0xF0, 0xA0, 0x48), QColor(0x8E, 0x44, 0x10)};
    if (Colour == QLatin1String("Red"))
        return {QColor(0xD8, 0x5A, 0x4A), QColor(0x6E, 0x16, 0x12)};
    // Green
    return {QColor(0x72, 0xB8, 0x48), QColor(0x25, 0x56, 0x16)};
}

// Icon glyph: cream fill, dark outline and a soft drop, on a transparent square.
QImage finishGlyph(const QPainterPath& Shape, int Size)
{
    QImage Layer = newImage(Size, Size);
    {
        QPainter P(&Layer);
        P.setRenderHint(QPainter::Antialiasing);
        P.setPen(QPen(QColor(0x20, 0x16, 0x0A, 235), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        P.setBrush(Qt::NoBrush);
        P.drawPath(Shape);
        QLinearGradient G(0, Shape.boundingRect().top(), 0, Shape.boundingRect().bottom());
        G.setColorAt(0, QColor(0xFF, 0xFC, 0xF0));
        G.setColorAt(1, QColor(0xEA, 0xDC, 0xB0));
        P.setPen(Qt::NoPen);
        P.setBrush(G);
        P.drawPath(Shape);
    }
    QImage Out = newImage(Size, Size);
    QPainter P(&Out);
    P.drawImage(QPointF(0, 1.2), shadowOf(Layer, QColor(0, 0, 0, 150), 1));
    P.drawImage(0, 0, Layer);
    return Out;
}

QPainterPath diamondPath(QPointF C, double R)
{
    QPainterPath D;
    D.moveTo(C + QPointF(0, -R));
    D.lineTo(C + QPointF(R, 0));
    D.lineTo(C + QPointF(0, R));
    D.lineTo(C + QPointF(-R, 0));
    D.closeSubpath();
    return D;
}

} // namespace

QImage drawButton(const QString& Colour, EButtonState State)
{
    // 32 x 32, sliced 4/4/4/4 and shown at 98 x 40 with the middle repeated
    // horizontally and scaled vertically: only vertical gradients in the middle.
    constexpr int S = 32;
    TButtonColours C = coloursFor(Colour);
    double RimBright = 1.0;
    if (State == EButtonState::Hover) {
        // Lift the value, keep the hue and saturation: the icon must stay readable.
        C.m_Top = QColor::fromHsvF(C.m_Top.hsvHueF(), C.m_Top.hsvSaturationF() * 0.92, std::min(1.0, C.m_Top.valueF() * 1.12));
        C.m_Bottom = QColor::fromHsvF(C.m_Bottom.hsvHueF(), C.m_Bottom.hsvSaturationF(), std::min(1.0, C.m_Bottom.valueF() * 1.25));
        RimBright = 1.1;
    } else if (State == EButtonState::Pressed) {
        C.m_Top = shade(C.m_Top, 0.62);
        C.m_Bottom = shade(C.m_Bottom, 0.85);
        RimBright = 0.8;
    }

    QImage Image = newImage(S, S);
    QPainter P(&Image);
    P.setRenderHint(QPainter::Antialiasing);
    P.setPen(Qt::NoPen);

    // Dark outer edge.
    P.setBrush(QColor(0x0C, 0x08, 0x03, 240));
    P.drawRoundedRect(QRectF(0, 0, S, S), 4, 4);
    // Bronze rim, lit from above.
    QLinearGradient Rim(0, 1, 0, S - 1);
    Rim.setColorAt(0.0, shade(QColor(0xF2, 0xDC, 0x9A), RimBright));
    Rim.setColorAt(0.45, shade(QColor(0xB8, 0x8E, 0x44), RimBright));
    Rim.setColorAt(1.0, shade(QColor(0x5E, 0x44, 0x18), RimBright));
    P.setBrush(Rim);
    P.drawRoundedRect(QRectF(1, 1, S - 2, S - 2), 3, 3);

    // Plate.
    const QRectF Plate(2, 2, S - 4, S - 4);
    QLinearGradient Body(0, Plate.top(), 0, Plate.bottom());
    if (State == EButtonState::Pressed) {
        Body.setColorAt(0, C.m_Top);
        Body.setColorAt(1, C.m_Bottom);
    } else {
        Body.setColorAt(0.0, shade(C.m_Top, 1.08));
        Body.setColorAt(0.48, C.m_Top);
        Body.setColorAt(0.52, mix(C.m_Top, C.m_Bottom, 0.55));
        Body.setColorAt(1.0, C.m_Bottom);
    }
    P.setBrush(Body);
    P.drawRoundedRect(Plate, 2, 2);

    P.save();
    QPainterPath Clip;
    Clip.addRoundedRect(Plate, 2, 2);
    P.setClipPath(Clip);
    if (State == EButtonState::Pressed) {
        // Inset: shadow under the top edge, light along the bottom.
        QLinearGradient Inset(0, Plate.top(), 0, Plate.top() + 6);
        Inset.setColorAt(0, QColor(0, 0, 0, 150));
        Inset.setColorAt(1, QColor(0, 0, 0, 0));
        P.setBrush(Inset);
        P.drawRect(Plate);
        P.fillRect(QRectF(Plate.left(), Plate.bottom() - 1, Plate.width(), 1), QColor(255, 255, 255, 45));
    } else {
        // Gloss on the upper half, bright top line, shade on the bottom line.
        QLinearGradient Gloss(0, Plate.top(), 0, Plate.top() + Plate.height() * 0.5);
        Gloss.setColorAt(0, QColor(255, 255, 255, State == EButtonState::Hover ? 95 : 75));
        Gloss.setColorAt(1, QColor(255, 255, 255, 12));
        P.setBrush(Gloss);
        P.drawRect(QRectF(Plate.left(), Plate.top(), Plate.width(), Plate.height() * 0.5));
        P.fillRect(QRectF(Plate.left(), Plate.top(), Plate.width(), 1), QColor(255, 255, 255, 120));
        P.fillRect(QRectF(Plate.left(), Plate.bottom() - 1, Plate.width(), 1), QColor(0, 0, 0, 70));
        if (State == EButtonState::Hover) {
            // Warm glow rising from the bottom.
            QLinearGradient Glow(0, Plate.bottom(), 0, Plate.top() + Plate.height() * 0.4);
            Glow.setColorAt(0, QColor(255, 230, 160, 70));
            Glow.setColorAt(1, QColor(255, 230, 160, 0));
            P.setBrush(Glow);
            P.drawRect(Plate);
        }
    }
    P.restore();
    return Image;
}

QImage drawIconDownload()
{
    QPainterPath Arrow;
    Arrow.moveTo(13.5, 4);
    Arrow.lineTo(20.5, 4);
    Arrow.lineTo(20.5, 14);
    Arrow.lineTo(27, 14);
    Arrow.lineTo(17, 24.5);
    Arrow.lineTo(7, 14);
    Arrow.lineTo(13.5, 14);
    Arrow.closeSubpath();
    QPainterPath Tray;
    Tray.addRoundedRect(QRectF(6, 26.5, 22, 4), 1.5, 1.5);
    return finishGlyph(Arrow.united(Tray), 34);
}

QImage drawIconUpdate()
{
    // Two arcs chasing each other round the centre, each ending in a head.
    const QPointF C(17, 17);
    const double R = 9.5;
    QPainterPath Shape;
    for (int Half = 0; Half < 2; ++Half) {
        const double Start = Half * 180.0 + 18.0; // degrees, counter-clockwise from +x
        const double Sweep = 128.0;
        QPainterPath Arc;
        Arc.arcMoveTo(QRectF(C.x() - R, C.y() - R, 2 * R, 2 * R), Start);
        Arc.arcTo(QRectF(C.x() - R, C.y() - R, 2 * R, 2 * R), Start, Sweep);
        QPainterPathStroker Stroker;
        Stroker.setWidth(4.0);
        Stroker.setCapStyle(Qt::FlatCap);
        Shape = Shape.united(Stroker.createStroke(Arc));
        // Arrow head at the end of the arc, pointing along its direction of travel.
        const double A = (Start + Sweep) * kPi / 180.0;
        const QPointF End(C.x() + R * std::cos(A), C.y() - R * std::sin(A));
        const QPointF Radial(std::cos(A), -std::sin(A));
        const QPointF Tangent(-std::sin(A), -std::cos(A)); // counter-clockwise in screen space
        QPolygonF Head;
        Head << End + Radial * 5.6 - Tangent * 0.6 << End + Tangent * 6.4 << End - Radial * 5.6 - Tangent * 0.6;
        QPainterPath Hp;
        Hp.addPolygon(Head);
        Shape = Shape.united(Hp);
    }
    return finishGlyph(Shape.simplified(), 34);
}

QImage drawIconPlay()
{
    // Rounded triangle, nudged right so it looks centred.
    QPainterPath Tri;
    Tri.moveTo(12, 8);
    Tri.lineTo(12, 26);
    Tri.lineTo(26, 17);
    Tri.closeSubpath();
    QPainterPathStroker Stroker;
    Stroker.setWidth(4);
    Stroker.setJoinStyle(Qt::RoundJoin);
    const QPainterPath Shape = Tri.united(Stroker.createStroke(Tri)).simplified();
    return finishGlyph(Shape, 34);
}

QImage drawCheckbox(bool Checked)
{
    // 14 x 14: the indicator size of Qt's default style on Linux (Fusion), which
    // the style sheet keeps; any other size would be scaled and blurred.
    constexpr int S = 14;
    QImage Image = newImage(S, S);
    QPainter P(&Image);
    P.setRenderHint(QPainter::Antialiasing);
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(0x0A, 0x07, 0x03, 235));
    P.drawRoundedRect(QRectF(0, 0, S, S), 3, 3);
    QLinearGradient Rim(0, 1, 0, S - 1);
    Rim.setColorAt(0, QColor(0xEE, 0xD4, 0x8C));
    Rim.setColorAt(1, QColor(0x6E, 0x52, 0x20));
    P.setBrush(Rim);
    P.drawRoundedRect(QRectF(1, 1, S - 2, S - 2), 2.5, 2.5);
    QLinearGradient Well(0, 2, 0, S - 2);
    Well.setColorAt(0, QColor(0x08, 0x08, 0x0A));
    Well.setColorAt(1, QColor(0x26, 0x24, 0x20));
    P.setBrush(Well);
    P.drawRoundedRect(QRectF(2, 2, S - 4, S - 4), 1.5, 1.5);
    if (Checked) {
        QPainterPath Tick;
        Tick.moveTo(3.6, 7.3);
        Tick.lineTo(6.0, 9.8);
        Tick.lineTo(10.6, 3.9);
        P.setBrush(Qt::NoBrush);
        P.setPen(QPen(QColor(0x10, 0x0A, 0x02, 220), 3.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        P.drawPath(Tick);
        P.setPen(QPen(QColor(0xF8, 0xE6, 0xA8), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        P.drawPath(Tick);
    }
    return Image;
}

QImage drawProgressBackground()
{
    // Stretched whole over the 98 x 40 bar: drawn at that size.
    constexpr int W = 98;
    constexpr int H = 40;
    QImage Image = newImage(W, H);
    QPainter P(&Image);
    P.setRenderHint(QPainter::Antialiasing);
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(0x0C, 0x08, 0x03, 240));
    P.drawRoundedRect(QRectF(0, 0, W, H), 4, 4);
    QLinearGradient Rim(0, 1, 0, H - 1);
    Rim.setColorAt(0, QColor(0x5E, 0x44, 0x18));
    Rim.setColorAt(1, QColor(0xD8, 0xB8, 0x6A));
    P.setBrush(Rim);
    P.drawRoundedRect(QRectF(1, 1, W - 2, H - 2), 3, 3);
    QLinearGradient Well(0, 2, 0, H - 2);
    Well.setColorAt(0, QColor(0x05, 0x05, 0x07));
    Well.setColorAt(0.25, QColor(0x10, 0x11, 0x14));
    Well.setColorAt(1, QColor(0x1C, 0x1B, 0x19));
    P.setBrush(Well);
    P.drawRoundedRect(QRectF(2, 2, W - 4, H - 4), 2, 2);
    return Image;
}

QImage drawProgressChunk()
{
    // Stretched to whatever width the bar has reached: vertical gradient only.
    constexpr int W = 16;
    constexpr int H = 36;
    QImage Image = newImage(W, H);
    QPainter P(&Image);
    QLinearGradient G(0, 0, 0, H);
    G.setColorAt(0.0, QColor(0x4C, 0x9E, 0x5A));
    G.setColorAt(0.47, QColor(0x2E, 0x7C, 0x40));
    G.setColorAt(0.53, QColor(0x22, 0x66, 0x33));
    G.setColorAt(1.0, QColor(0x14, 0x42, 0x20));
    P.fillRect(Image.rect(), G);
    QLinearGradient Gloss(0, 0, 0, H / 2.0);
    Gloss.setColorAt(0, QColor(255, 255, 255, 60));
    Gloss.setColorAt(1, QColor(255, 255, 255, 8));
    P.fillRect(QRectF(0, 0, W, H / 2.0), Gloss);
    P.fillRect(QRectF(0, 0, W, 1), QColor(0xB8, 0xE8, 0xA8, 150));
    P.fillRect(QRectF(0, H - 1, W, 1), QColor(0, 0, 0, 110));
    return Image;
}

QImage drawScrollTexture()
{
    // Repeated down the 12-pixel groove: varies across, not along.
    constexpr int W = 12;
    constexpr int H = 16;
    QImage Image = newImage(W, H);
    QPainter P(&Image);
    const int Alpha[W] = {0, 60, 110, 150, 175, 190, 190, 175, 150, 110, 60, 0};
    for (int X = 0; X < W; ++X)
        P.fillRect(QRect(X, 0, 1, H), QColor(0x02, 0x02, 0x04, Alpha[X]));
    P.fillRect(QRect(5, 0, 2, H), QColor(0x00, 0x00, 0x00, 90));
    P.fillRect(QRect(3, 0, 1, H), QColor(0xB8, 0x94, 0x4A, 45));
    P.fillRect(QRect(8, 0, 1, H), QColor(0xB8, 0x94, 0x4A, 45));
    return Image;
}

QImage drawScrollHandle()
{
    // Sliced 6/6/6/6 on a 12-pixel-wide bar: the middle rows stretch along y.
    constexpr int W = 12;
    constexpr int H = 32;
    QImage Image = newImage(W, H);
    QPainter P(&Image);
    P.setRenderHint(QPainter::Antialiasing);
    P.setPen(Qt::NoPen);
    const QRectF Outer(1.5, 0.5, 9, H - 1);
    P.setBrush(QColor(0x0C, 0x08, 0x03, 230));
    P.drawRoundedRect(Outer, 4.5, 4.5);
    QLinearGradient Body(2.5, 0, 9.5, 0);
    Body.setColorAt(0.0, QColor(0x8A, 0x66, 0x28));
    Body.setColorAt(0.35, QColor(0xF0, 0xD4, 0x88));
    Body.setColorAt(0.6, QColor(0xC8, 0x9C, 0x48));
    Body.setColorAt(1.0, QColor(0x6A, 0x4C, 0x1A));
    P.setBrush(Body);
    P.drawRoundedRect(Outer.adjusted(1, 1, -1, -1), 3.5, 3.5);
    return Image;
}

QImage drawScrollArrow(bool Up, bool Pressed)
{
    constexpr int S = 12;
    QImage Image = newImage(S, S);
    QPainter P(&Image);
    P.setRenderHint(QPainter::Antialiasing);
    P.setPen(Qt::NoPen);
    // Round button well.
    P.setBrush(QColor(0x02, 0x02, 0x04, Pressed ? 200 : 150));
    P.drawEllipse(QRectF(0.5, 0.5, 11, 11));
    if (Pressed) {
        P.setBrush(QColor(0xB8, 0x94, 0x4A, 70));
        P.drawEllipse(QRectF(1.5, 1.5, 9, 9));
    }
    const double Dy = Pressed ? 0.6 : 0.0;
    QPainterPath Tri;
    if (Up) {
        Tri.moveTo(6, 3.0 + Dy);
        Tri.lineTo(9.8, 8.2 + Dy);
        Tri.lineTo(2.2, 8.2 + Dy);
    } else {
        Tri.moveTo(6, 9.0 + Dy);
        Tri.lineTo(9.8, 3.8 + Dy);
        Tri.lineTo(2.2, 3.8 + Dy);
    }
    Tri.closeSubpath();
    P.setPen(QPen(QColor(0x14, 0x0C, 0x02, 220), 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QLinearGradient G(0, 3, 0, 9);
    G.setColorAt(0, Pressed ? QColor(0xFF, 0xF0, 0xC0) : QColor(0xF0, 0xD4, 0x88));
    G.setColorAt(1, Pressed ? QColor(0xE0, 0xB8, 0x60) : QColor(0xA8, 0x80, 0x38));
    P.setBrush(G);
    P.drawPath(Tri);
    return Image;
}

QImage drawHintBackground()
{
    // Sliced 5 (top), 5 (right), 0 (bottom), 5 (left) and repeated: a dark
    // see-through panel with a gold top edge; everything below the top slice
    // is the same on every row.
    constexpr int S = 40;
    QImage Image = newImage(S, S);
    QPainter P(&Image);
    P.setRenderHint(QPainter::Antialiasing);
    P.setPen(Qt::NoPen);
    QPainterPath Panel;
    Panel.addRoundedRect(QRectF(0, 0, S, S + 8), 4, 4); // rounded only at the top
    P.setClipPath(Panel);
    P.fillRect(Image.rect(), QColor(0x07, 0x08, 0x0B, 185));
    // Side hairlines.
    P.fillRect(QRect(0, 0, 1, S), QColor(0xB8, 0x94, 0x4A, 90));
    P.fillRect(QRect(S - 1, 0, 1, S), QColor(0xB8, 0x94, 0x4A, 90));
    P.fillRect(QRect(1, 0, 1, S), QColor(0, 0, 0, 90));
    P.fillRect(QRect(S - 2, 0, 1, S), QColor(0, 0, 0, 90));
    // Top: gold line, dark line, a little warm light falling on the panel.
    P.setClipping(false);
    QPainterPath Top;
    Top.addRoundedRect(QRectF(0.5, 0.5, S - 1, S + 8), 3.5, 3.5);
    P.setBrush(Qt::NoBrush);
    P.setClipRect(QRect(0, 0, S, 5));
    P.setPen(QPen(QColor(0xD8, 0xB4, 0x64, 230), 1));
    P.drawPath(Top);
    P.setPen(Qt::NoPen);
    P.fillRect(QRect(2, 1, S - 4, 1), QColor(0, 0, 0, 120));
    P.fillRect(QRect(2, 2, S - 4, 1), QColor(0xD8, 0xB4, 0x64, 34));
    P.fillRect(QRect(2, 3, S - 4, 1), QColor(0xD8, 0xB4, 0x64, 18));
    P.fillRect(QRect(2, 4, S - 4, 1), QColor(0xD8, 0xB4, 0x64, 8));
    return Image;
}

QImage drawPackageBackground()
{
    // Sliced 16 on every side, edges and centre repeated: a framed panel whose
    // edges are the same along their length.
    constexpr int S = 48;
    QImage Image = newImage(S, S);
    QPainter P(&Image);
    P.setRenderHint(QPainter::Antialiasing);
    P.setPen(Qt::NoPen);
    const QRectF Outer(0, 0, S, S);
    P.setBrush(QColor(0x04, 0x03, 0x02, 220));
    P.drawRoundedRect(Outer, 9, 9);
    P.setBrush(QColor(0xB8, 0x94, 0x4A, 225));
    P.drawRoundedRect(Outer.adjusted(1, 1, -1, -1), 8, 8);
    P.setBrush(QColor(0x07, 0x07, 0x09, 255));
    P.drawRoundedRect(Outer.adjusted(2, 2, -2, -2), 7, 7);
    P.setBrush(QColor(0x0B, 0x0C, 0x10, 215));
    P.setCompositionMode(QPainter::CompositionMode_Source);
    P.drawRoundedRect(Outer.adjusted(3, 3, -3, -3), 6, 6);
    P.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // Inner hairline.
    P.setBrush(Qt::NoBrush);
    P.setPen(QPen(QColor(0xB8, 0x94, 0x4A, 70), 1));
    P.drawRoundedRect(Outer.adjusted(5.5, 5.5, -5.5, -5.5), 3.5, 3.5);
    // Gold studs on the corners.
    P.setPen(QPen(QColor(0x2A, 0x1C, 0x08), 0.8));
    P.setBrush(QColor(0xEE, 0xD0, 0x80));
    for (const QPointF& C : {QPointF(5.5, 5.5), QPointF(S - 5.5, 5.5), QPointF(5.5, S - 5.5), QPointF(S - 5.5, S - 5.5)})
        P.drawPath(diamondPath(C, 2.8));
    return Image;
}

} // namespace artgen
