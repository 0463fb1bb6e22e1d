// Small round link badges for the bottom bar: about, social bird, chat.
#include "artgen.h"

#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

namespace artgen {

namespace {

// Gold-rimmed dark medallion filling a size x size square.
void paintMedallion(QPainter& p, int size)
{
    const double r = size / 2.0;
    const QPointF c(r, r);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x0A, 0x07, 0x03, 235));
    p.drawEllipse(c, r, r);
    QLinearGradient rim(0, 1, 0, size - 1);
    rim.setColorAt(0, QColor(0xF2, 0xDA, 0x96));
    rim.setColorAt(0.5, QColor(0xB8, 0x8E, 0x44));
    rim.setColorAt(1, QColor(0x6A, 0x4C, 0x1C));
    p.setBrush(rim);
    p.drawEllipse(c, r - 1, r - 1);
    const double inner = size >= 20 ? r - 2.6 : r - 2.2;
    QRadialGradient field(c + QPointF(-r * 0.3, -r * 0.4), r * 1.4);
    field.setColorAt(0, QColor(0x2A, 0x33, 0x42));
    field.setColorAt(1, QColor(0x0A, 0x0D, 0x12));
    p.setBrush(field);
    p.drawEllipse(c, inner, inner);
}

const QColor kGlyph(0xF2, 0xE8, 0xC8);

}  // namespace

QImage drawInfoIcon()
{
    constexpr int s = 16;
    QImage image = newImage(s, s);
    QPainter p(&image);
    paintMedallion(p, s);
    p.setPen(Qt::NoPen);
    p.setBrush(kGlyph);
    p.drawEllipse(QPointF(8, 4.9), 1.3, 1.3);
    // Stem with a small head serif and a foot.
    QPainterPath stem;
    stem.addRect(QRectF(7.0, 7.0, 2.0, 4.4));
    stem.addRect(QRectF(6.0, 7.0, 1.2, 1.0));
    stem.addRect(QRectF(5.9, 11.0, 4.2, 1.2));
    p.drawPath(stem.simplified());
    return image;
}

QImage drawBirdIcon()
{
    // A gull in flight: two curved wings meeting at the body. A generic bird.
    constexpr int s = 24;
    QImage image = newImage(s, s);
    QPainter p(&image);
    paintMedallion(p, s);
    QPainterPath bird;
    bird.moveTo(4.6, 12.2);
    bird.cubicTo(6.6, 7.6, 10.2, 7.4, 12.0, 12.6);
    bird.cubicTo(13.8, 7.4, 17.4, 7.6, 19.4, 12.2);
    bird.cubicTo(17.2, 10.4, 14.6, 11.0, 12.0, 16.2);
    bird.cubicTo(9.4, 11.0, 6.8, 10.4, 4.6, 12.2);
    bird.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kGlyph);
    p.drawPath(bird);
    return image;
}

QImage drawChatIcon()
{
    // A speech bubble with three dots.
    constexpr int s = 24;
    QImage image = newImage(s, s);
    QPainter p(&image);
    paintMedallion(p, s);
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(5.5, 6.5, 13, 9), 3.2, 3.2);
    QPainterPath tail;
    tail.moveTo(7.5, 14.0);
    tail.lineTo(7.0, 18.4);
    tail.lineTo(11.5, 15.0);
    tail.closeSubpath();
    bubble = bubble.united(tail);
    p.setPen(Qt::NoPen);
    p.setBrush(kGlyph);
    p.drawPath(bubble);
    p.setBrush(QColor(0x12, 0x16, 0x1E));
    for (double x : {9.0, 12.0, 15.0})
        p.drawEllipse(QPointF(x, 11.0), 1.15, 1.15);
    return image;
}

}  // namespace artgen
