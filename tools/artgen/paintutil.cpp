#include "artgen.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace artgen {

std::uint64_t TRng::next()
{
    std::uint64_t Z = (m_State += 0x9E3779B97F4A7C15ull);
    Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9ull;
    Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBull;
    return Z ^ (Z >> 31);
}

double TRng::uniform()
{
    return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
}

double TRng::range(double Lo, double Hi)
{
    return Lo + (Hi - Lo) * uniform();
}

int TRng::integer(int Lo, int Hi)
{
    const auto Span = static_cast<std::uint64_t>(Hi - Lo + 1);
    return Lo + static_cast<int>(next() % Span);
}

double TRng::bell()
{
    // Irwin-Hall with 12 terms: no libm calls, so the same on every platform.
    double Sum = 0.0;
    for (int I = 0; I < 12; ++I)
        Sum += uniform();
    return std::clamp(Sum - 6.0, -3.5, 3.5);
}

TValueNoise1D::TValueNoise1D(TRng& Rng, int Length, double Period)
    : m_Period(Period)
{
    const int Knots = static_cast<int>(Length / Period) + 3;
    m_Knots.reserve(static_cast<size_t>(Knots));
    for (int I = 0; I < Knots; ++I)
        m_Knots.push_back(Rng.range(-1.0, 1.0));
}

double TValueNoise1D::at(double X) const
{
    const double P = std::max(0.0, X / m_Period);
    const auto I = static_cast<size_t>(P);
    const double F = P - static_cast<double>(I);
    const double S = F * F * (3.0 - 2.0 * F);
    const double A = m_Knots[std::min(I, m_Knots.size() - 1)];
    const double B = m_Knots[std::min(I + 1, m_Knots.size() - 1)];
    return A + (B - A) * S;
}

QImage newImage(int Width, int Height)
{
    QImage Image(Width, Height, QImage::Format_ARGB32_Premultiplied);
    Image.fill(Qt::transparent);
    return Image;
}

QFont makeFont(const QString& Family, int PixelSize, int Weight, qreal LetterSpacing)
{
    QFont Font(Family);
    Font.setPixelSize(PixelSize);
    Font.setWeight(Weight);
    Font.setStyleStrategy(QFont::PreferAntialias);
    Font.setHintingPreference(QFont::PreferFullHinting);
    if (LetterSpacing != 0)
        Font.setLetterSpacing(QFont::AbsoluteSpacing, LetterSpacing);
    return Font;
}

bool fontIsAvailable(const QString& Family, QString* pResolved)
{
    QFont Font(Family);
    Font.setStyleStrategy(QFont::NoFontMerging);
    const QFontInfo Info(Font);
    if (pResolved)
        *pResolved = Info.family();
    return Info.family().compare(Family, Qt::CaseInsensitive) == 0;
}

QPainterPath textPath(const QString& Text, const QFont& Font)
{
    QPainterPath Path;
    Path.addText(0, 0, Font, Text);
    return Path;
}

QPainterPath centeredText(const QString& Text, const QFont& Font, qreal CentreX, qreal Baseline)
{
    QPainterPath Path = textPath(Text, Font);
    // Centre on the ink, not on the advance: letter spacing adds a trailing gap.
    const QRectF Ink = Path.boundingRect();
    Path.translate(CentreX - Ink.center().x(), Baseline);
    return Path;
}

void addNoise(QImage& Image, TRng& Rng, int Amplitude)
{
    if (Image.format() != QImage::Format_ARGB32_Premultiplied)
        Image = Image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int Y = 0; Y < Image.height(); ++Y) {
        auto* pLine = reinterpret_cast<QRgb*>(Image.scanLine(Y));
        for (int X = 0; X < Image.width(); ++X) {
            const QRgb P = pLine[X];
            const int A = qAlpha(P);
            if (A == 0) {
                Rng.next(); // keep the sequence independent of the content
                continue;
            }
            const int D = static_cast<int>(std::lround(Rng.bell() * Amplitude * 0.5)) * A / 255;
            const int R = std::clamp(qRed(P) + D, 0, A);
            const int G = std::clamp(qGreen(P) + D, 0, A);
            const int B = std::clamp(qBlue(P) + D, 0, A);
            pLine[X] = qRgba(R, G, B, A);
        }
    }
}

namespace {

// One horizontal then one vertical running-sum box pass over all four channels.
void boxPass(std::vector<int>& Ch, int W, int H, int R)
{
    std::vector<int> Tmp(Ch.size());
    const int Span = 2 * R + 1;
    for (int Y = 0; Y < H; ++Y) {
        for (int C = 0; C < 4; ++C) {
            long Sum = 0;
            auto Px = [&](int X) { return Ch[(static_cast<size_t>(Y) * W + std::clamp(X, 0, W - 1)) * 4 + C]; };
            // Outside the image counts as transparent, so edges fade out.
            auto Val = [&](int X) { return (X < 0 || X >= W) ? 0 : Px(X); };
            for (int X = -R; X <= R; ++X)
                Sum += Val(X);
            for (int X = 0; X < W; ++X) {
                Tmp[(static_cast<size_t>(Y) * W + X) * 4 + C] = static_cast<int>(Sum / Span);
                Sum += Val(X + R + 1) - Val(X - R);
            }
        }
    }
    for (int X = 0; X < W; ++X) {
        for (int C = 0; C < 4; ++C) {
            long Sum = 0;
            auto Val = [&](int Y) { return (Y < 0 || Y >= H) ? 0 : Tmp[(static_cast<size_t>(Y) * W + X) * 4 + C]; };
            for (int Y = -R; Y <= R; ++Y)
                Sum += Val(Y);
            for (int Y = 0; Y < H; ++Y) {
                Ch[(static_cast<size_t>(Y) * W + X) * 4 + C] = static_cast<int>(Sum / Span);
                Sum += Val(Y + R + 1) - Val(Y - R);
            }
        }
    }
}

} // namespace

QImage boxBlurred(const QImage& Source, int Radius, int Passes)
{
    QImage Image = Source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (Radius <= 0)
        return Image;
    const int W = Image.width();
    const int H = Image.height();
    std::vector<int> Ch(static_cast<size_t>(W) * H * 4);
    for (int Y = 0; Y < H; ++Y) {
        const auto* pLine = reinterpret_cast<const QRgb*>(Image.constScanLine(Y));
        for (int X = 0; X < W; ++X) {
            const size_t I = (static_cast<size_t>(Y) * W + X) * 4;
            Ch[I] = qAlpha(pLine[X]);
            Ch[I + 1] = qRed(pLine[X]);
            Ch[I + 2] = qGreen(pLine[X]);
            Ch[I + 3] = qBlue(pLine[X]);
        }
    }
    for (int P = 0; P < Passes; ++P)
        boxPass(Ch, W, H, Radius);
    for (int Y = 0; Y < H; ++Y) {
        auto* pLine = reinterpret_cast<QRgb*>(Image.scanLine(Y));
        for (int X = 0; X < W; ++X) {
            const size_t I = (static_cast<size_t>(Y) * W + X) * 4;
            const int A = std::clamp(Ch[I], 0, 255);
            pLine[X] = qRgba(std::min(Ch[I + 1], A), std::min(Ch[I + 2], A), std::min(Ch[I + 3], A), A);
        }
    }
    return Image;
}

QImage shadowOf(const QImage& Layer, const QColor& Colour, int BlurRadius)
{
    QImage Mask = newImage(Layer.width(), Layer.height());
    {
        QPainter P(&Mask);
        P.drawImage(0, 0, Layer);
        P.setCompositionMode(QPainter::CompositionMode_SourceIn);
        P.fillRect(Mask.rect(), Colour);
    }
    return boxBlurred(Mask, BlurRadius);
}

QImage desaturated(const QImage& Source, qreal Saturation, qreal Brightness)
{
    QImage Image = Source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int Y = 0; Y < Image.height(); ++Y) {
        auto* pLine = reinterpret_cast<QRgb*>(Image.scanLine(Y));
        for (int X = 0; X < Image.width(); ++X) {
            const QRgb P = pLine[X];
            const int A = qAlpha(P);
            const qreal Luma = 0.299 * qRed(P) + 0.587 * qGreen(P) + 0.114 * qBlue(P);
            auto Ch = [&](int V) {
                const qreal C = (Luma + (V - Luma) * Saturation) * Brightness;
                return std::clamp(static_cast<int>(std::lround(C)), 0, A);
            };
            pLine[X] = qRgba(Ch(qRed(P)), Ch(qGreen(P)), Ch(qBlue(P)), A);
        }
    }
    return Image;
}

QColor mix(const QColor& A, const QColor& B, qreal T)
{
    return QColor::fromRgbF(A.redF() + (B.redF() - A.redF()) * T, A.greenF() + (B.greenF() - A.greenF()) * T,
                            A.blueF() + (B.blueF() - A.blueF()) * T, A.alphaF() + (B.alphaF() - A.alphaF()) * T);
}

QColor shade(const QColor& C, qreal Factor)
{
    if (Factor >= 1.0)
        return mix(C, QColor(255, 255, 255, C.alpha()), std::min(1.0, Factor - 1.0));
    return QColor::fromRgbF(C.redF() * Factor, C.greenF() * Factor, C.blueF() * Factor, C.alphaF());
}

QLinearGradient goldGradient(qreal Y0, qreal Y1, qreal Brightness)
{
    QLinearGradient G(0, Y0, 0, Y1);
    auto C = [&](int R, int Gr, int B) { return shade(QColor(R, Gr, B), Brightness); };
    G.setColorAt(0.00, C(0xFF, 0xF4, 0xC8));
    G.setColorAt(0.30, C(0xF0, 0xCF, 0x7A));
    G.setColorAt(0.52, C(0xC0, 0x8E, 0x36));
    G.setColorAt(0.58, C(0xA8, 0x76, 0x28));
    G.setColorAt(1.00, C(0xE6, 0xC2, 0x6E));
    return G;
}

} // namespace artgen
