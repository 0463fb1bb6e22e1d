// Small round link badges for the bottom bar: about, social bird, chat.
#include "artgen.h"

#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

namespace artgen {

namespace {

// Gold-rimmed dark medallion filling a size x size square.
void paintMedallion(QPainter& P, int Size)
{
    const double R = Size / 2.0;
    const QPointF C(R, R);
    P.setRenderHint(QPainter::Antialiasing);
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(0x0A, 0x07, 0x03, 235));
    P.drawEllipse(C, R, R);
    QLinearGradient Rim(0, 1, 0, Size - 1);
    Rim.setColorAt(0, QColor(0xF2, 0xDA, 0x96));
    Rim.setColorAt(0.5, QColor(0xB8, 0x8E, 0x44));
    Rim.setColorAt(1, QColor(0x6A, 0x4C, 0x1C));
    P.setBrush(Rim);
    P.drawEllipse(C, R - 1, R - 1);
    const double Inner = Size >= 20 ? R - 2.6 : R - 2.2;
    QRadialGradient Field(C + QPointF(-R * 0.3, -R * 0.4), R * 1.4);
    Field.setColorAt(0, QColor(0x2A, 0x33, 0x42));
    Field.setColorAt(1, QColor(0x0A, 0x0D, 0x12));
    P.setBrush(Field);
    P.drawEllipse(C, Inner, Inner);
}

const QColor kGlyph(0xF2, 0xE8, 0xC8);

} // namespace

QImage drawInfoIcon()
{
    constexpr int S = 16;
    QImage Image = newImage(S, S);
    QPainter P(&Image);
    paintMedallion(P, S);
    P.setPen(Qt::NoPen);
    P.setBrush(kGlyph);
    P.drawEllipse(QPointF(8, 4.9), 1.3, 1.3);
    // Stem with a small head serif and a foot.
    QPainterPath Stem;
    Stem.addRect(QRectF(7.0, 7.0, 2.0, 4.4));
    Stem.addRect(QRectF(6.0, 7.0, 1.2, 1.0));
    Stem.addRect(QRectF(5.9, 11.0, 4.2, 1.2));
    P.drawPath(Stem.simplified());
    return Image;
}

QImage drawBirdIcon()
{
    // A gull in flight: two curved wings meeting at the body. A generic bird.
    constexpr int S = 24;
    QImage Image = newImage(S, S);
    QPainter P(&Image);
    paintMedallion(P, S);
    QPainterPath Bird;
    Bird.moveTo(4.6, 12.2);
    Bird.cubicTo(6.6, 7.6, 10.2, 7.4, 12.0, 12.6);
    Bird.cubicTo(13.8, 7.4, 17.4, 7.6, 19.4, 12.2);
    Bird.cubicTo(17.2, 10.4, 14.6, 11.0, 12.0, 16.2);
    Bird.cubicTo(9.4, 11.0, 6.8, 10.4, 4.6, 12.2);
    Bird.closeSubpath();
    P.setPen(Qt::NoPen);
    P.setBrush(kGlyph);
    P.drawPath(Bird);
    return Image;
}

QImage drawChatIcon()
{
    // A speech bubble with three dots.
    constexpr int S = 24;
    QImage Image = newImage(S, S);
    QPainter P(&Image);
    paintMedallion(P, S);
    QPainterPath Bubble;
    Bubble.addRoundedRect(QRectF(5.5, 6.5, 13, 9), 3.2, 3.2);
    QPainterPath Tail;
    Tail.moveTo(7.5, 14.0);
    Tail.lineTo(7.0, 18.4);
    Tail.lineTo(11.5, 15.0);
    Tail.closeSubpath();
    Bubble = Bubble.united(Tail);
    P.setPen(Qt::NoPen);
    P.setBrush(kGlyph);
    P.drawPath(Bubble);
    P.setBrush(QColor(0x12, 0x16, 0x1E));
    for (double X : {9.0, 12.0, 15.0})
        P.drawEllipse(QPointF(X, 11.0), 1.15, 1.15);
    return Image;
}

} // namespace artgen
