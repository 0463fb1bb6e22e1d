#include "artgen.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace artgen {

std::uint64_t Rng::next()
{
    std::uint64_t z = (m_State += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::uniform()
{
    return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
}

double Rng::range(double lo, double hi)
{
    return lo + (hi - lo) * uniform();
}

int Rng::integer(int lo, int hi)
{
    const auto span = static_cast<std::uint64_t>(hi - lo + 1);
    return lo + static_cast<int>(next() % span);
}

double Rng::bell()
{
    // Irwin-Hall with 12 terms: no libm calls, so the same on every platform.
    double sum = 0.0;
    for (int i = 0; i < 12; ++i)
        sum += uniform();
    return std::clamp(sum - 6.0, -3.5, 3.5);
}

ValueNoise1D::ValueNoise1D(Rng& rng, int length, double period) : m_Period(period)
{
    const int knots = static_cast<int>(length / period) + 3;
    m_Knots.reserve(static_cast<size_t>(knots));
    for (int i = 0; i < knots; ++i)
        m_Knots.push_back(rng.range(-1.0, 1.0));
}

double ValueNoise1D::at(double x) const
{
    const double p = std::max(0.0, x / m_Period);
    const auto i = static_cast<size_t>(p);
    const double f = p - static_cast<double>(i);
    const double s = f * f * (3.0 - 2.0 * f);
    const double a = m_Knots[std::min(i, m_Knots.size() - 1)];
    const double b = m_Knots[std::min(i + 1, m_Knots.size() - 1)];
    return a + (b - a) * s;
}

QImage newImage(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QFont makeFont(const QString& family, int pixelSize, int weight, qreal letterSpacing)
{
    QFont font(family);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferFullHinting);
    if (letterSpacing != 0)
        font.setLetterSpacing(QFont::AbsoluteSpacing, letterSpacing);
    return font;
}

bool fontIsAvailable(const QString& family, QString* resolved)
{
    QFont font(family);
    font.setStyleStrategy(QFont::NoFontMerging);
    const QFontInfo info(font);
    if (resolved)
        *resolved = info.family();
    return info.family().compare(family, Qt::CaseInsensitive) == 0;
}

QPainterPath textPath(const QString& text, const QFont& font)
{
    QPainterPath path;
    path.addText(0, 0, font, text);
    return path;
}

QPainterPath centeredText(const QString& text, const QFont& font, qreal centreX, qreal baseline)
{
    QPainterPath path = textPath(text, font);
    // Centre on the ink, not on the advance: letter spacing adds a trailing gap.
    const QRectF ink = path.boundingRect();
    path.translate(centreX - ink.center().x(), baseline);
    return path;
}

void addNoise(QImage& image, Rng& rng, int amplitude)
{
    if (image.format() != QImage::Format_ARGB32_Premultiplied)
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = line[x];
            const int a = qAlpha(p);
            if (a == 0) {
                rng.next();  // keep the sequence independent of the content
                continue;
            }
            const int d = static_cast<int>(std::lround(rng.bell() * amplitude * 0.5)) * a / 255;
            const int r = std::clamp(qRed(p) + d, 0, a);
            const int g = std::clamp(qGreen(p) + d, 0, a);
            const int b = std::clamp(qBlue(p) + d, 0, a);
            line[x] = qRgba(r, g, b, a);
        }
    }
}

namespace {

// One horizontal then one vertical running-sum box pass over all four channels.
void boxPass(std::vector<int>& ch, int w, int h, int r)
{
    std::vector<int> tmp(ch.size());
    const int span = 2 * r + 1;
    for (int y = 0; y < h; ++y) {
        for (int c = 0; c < 4; ++c) {
            long sum = 0;
            auto px = [&](int x) { return ch[(static_cast<size_t>(y) * w + std::clamp(x, 0, w - 1)) * 4 + c]; };
            // Outside the image counts as transparent, so edges fade out.
            auto val = [&](int x) { return (x < 0 || x >= w) ? 0 : px(x); };
            for (int x = -r; x <= r; ++x)
                sum += val(x);
            for (int x = 0; x < w; ++x) {
                tmp[(static_cast<size_t>(y) * w + x) * 4 + c] = static_cast<int>(sum / span);
                sum += val(x + r + 1) - val(x - r);
            }
        }
    }
    for (int x = 0; x < w; ++x) {
        for (int c = 0; c < 4; ++c) {
            long sum = 0;
            auto val = [&](int y) { return (y < 0 || y >= h) ? 0 : tmp[(static_cast<size_t>(y) * w + x) * 4 + c]; };
            for (int y = -r; y <= r; ++y)
                sum += val(y);
            for (int y = 0; y < h; ++y) {
                ch[(static_cast<size_t>(y) * w + x) * 4 + c] = static_cast<int>(sum / span);
                sum += val(y + r + 1) - val(y - r);
            }
        }
    }
}

}  // namespace

QImage boxBlurred(const QImage& source, int radius, int passes)
{
    QImage image = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (radius <= 0)
        return image;
    const int w = image.width();
    const int h = image.height();
    std::vector<int> ch(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const size_t i = (static_cast<size_t>(y) * w + x) * 4;
            ch[i] = qAlpha(line[x]);
            ch[i + 1] = qRed(line[x]);
            ch[i + 2] = qGreen(line[x]);
            ch[i + 3] = qBlue(line[x]);
        }
    }
    for (int p = 0; p < passes; ++p)
        boxPass(ch, w, h, radius);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const size_t i = (static_cast<size_t>(y) * w + x) * 4;
            const int a = std::clamp(ch[i], 0, 255);
            line[x] = qRgba(std::min(ch[i + 1], a), std::min(ch[i + 2], a), std::min(ch[i + 3], a), a);
        }
    }
    return image;
}

QImage shadowOf(const QImage& layer, const QColor& colour, int blurRadius)
{
    QImage mask = newImage(layer.width(), layer.height());
    {
        QPainter p(&mask);
        p.drawImage(0, 0, layer);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(mask.rect(), colour);
    }
    return boxBlurred(mask, blurRadius);
}

QImage desaturated(const QImage& source, qreal saturation, qreal brightness)
{
    QImage image = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = line[x];
            const int a = qAlpha(p);
            const qreal luma = 0.299 * qRed(p) + 0.587 * qGreen(p) + 0.114 * qBlue(p);
            auto ch = [&](int v) {
                const qreal c = (luma + (v - luma) * saturation) * brightness;
                return std::clamp(static_cast<int>(std::lround(c)), 0, a);
            };
            line[x] = qRgba(ch(qRed(p)), ch(qGreen(p)), ch(qBlue(p)), a);
        }
    }
    return image;
}

QColor mix(const QColor& a, const QColor& b, qreal t)
{
    return QColor::fromRgbF(a.redF() + (b.redF() - a.redF()) * t, a.greenF() + (b.greenF() - a.greenF()) * t,
                            a.blueF() + (b.blueF() - a.blueF()) * t, a.alphaF() + (b.alphaF() - a.alphaF()) * t);
}

QColor shade(const QColor& c, qreal factor)
{
    if (factor >= 1.0)
        return mix(c, QColor(255, 255, 255, c.alpha()), std::min(1.0, factor - 1.0));
    return QColor::fromRgbF(c.redF() * factor, c.greenF() * factor, c.blueF() * factor, c.alphaF());
}

QLinearGradient goldGradient(qreal y0, qreal y1, qreal brightness)
{
    QLinearGradient g(0, y0, 0, y1);
    auto c = [&](int r, int gr, int b) { return shade(QColor(r, gr, b), brightness); };
    g.setColorAt(0.00, c(0xFF, 0xF4, 0xC8));
    g.setColorAt(0.30, c(0xF0, 0xCF, 0x7A));
    g.setColorAt(0.52, c(0xC0, 0x8E, 0x36));
    g.setColorAt(0.58, c(0xA8, 0x76, 0x28));
    g.setColorAt(1.00, c(0xE6, 0xC2, 0x6E));
    return g;
}

}  // namespace artgen
