#include "surface/drawingsurface.h"

#include "base/design.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

constexpr Colour kInitialBackColor = 0xC0C0C0;
// Dotted lines: a dash of 3 pixels, a gap of 3, counted from the line's start.
constexpr int kDotOn = 3;
constexpr int kDotPeriod = 6;

// The toolkit's image code uses 256-bit vector instructions and may return
// with the upper register halves dirty; every plain SSE instruction after that
// pays a transition penalty, which made the trace arithmetic five times
// slower. Clearing them after each call into the toolkit avoids it.
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx"))) void zeroUpperHalves()
{
    _mm256_zeroupper();
}

void afterToolkitCode()
{
    static const bool hasAvx = __builtin_cpu_supports("avx");
    if (hasAvx)
        zeroUpperHalves();
}
#else
void afterToolkitCode() {}
#endif

} // namespace

DrawingSurface::DrawingSurface()
    : m_image(kWidth, kHeight, QImage::Format_RGB32), m_backColor(kInitialBackColor)
{
    setFontSize(design::kDefaultFontPoints);
    fillBackground();
}

void DrawingSurface::fillBackground()
{
    m_image.fill(0xFF000000u | imageRgb(m_backColor));
    if (!m_picture.isNull()) {
        QPainter painter(&m_image);
        painter.drawImage(0, 0, m_picture);
    }
    afterToolkitCode();
    m_pixels = nullptr;
    markDirty(m_image.rect());
}

void DrawingSurface::Cls()
{
    fillBackground();
}

void DrawingSurface::setPicture(const QImage &picture)
{
    if (picture.isNull() && m_picture.isNull())
        return; // nothing to remove
    QImage previous = std::move(m_picture);
    m_picture = picture.isNull()
                    ? QImage()
                    : picture.copy(picture.rect() & m_image.rect()).convertToFormat(QImage::Format_RGB32);

    // The new picture takes the old one's place: a pixel that still shows the
    // old background (its picture, or the back colour beyond it) shows the new
    // one, and what was drawn since stays over it.
    const uint32_t back = 0xFF000000u | imageRgb(m_backColor);
    const QRect area = previous.rect() | m_picture.rect();
    uint32_t *surface = pixels();
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const auto *oldRow =
            y < previous.height() ? reinterpret_cast<const uint32_t *>(previous.constScanLine(y)) : nullptr;
        const auto *newRow =
            y < m_picture.height() ? reinterpret_cast<const uint32_t *>(m_picture.constScanLine(y)) : nullptr;
        const int oldWidth = oldRow ? previous.width() : 0;
        const int newWidth = newRow ? m_picture.width() : 0;
        uint32_t *row = surface + y * kWidth;
        for (int x = area.left(); x <= area.right(); ++x) {
            const uint32_t was = x < oldWidth ? 0xFF000000u | oldRow[x] : back;
            if (row[x] == was)
                row[x] = x < newWidth ? 0xFF000000u | newRow[x] : back;
        }
    }
    if (!area.isEmpty())
        markDirty(area);
}

void DrawingSurface::setFontSize(float points)
{
    m_fontSize = points;
    QFont font = design::font(points);
    if (font.pixelSize() == m_font.pixelSize())
        return;
    // Crisp one-colour glyphs, as on the classic surface, and the same pixels on every machine.
    font.setStyleStrategy(QFont::NoAntialias);
    m_font = font;
    m_metrics = QFontMetrics(m_font);
    m_shapedTexts.clear();
}

void DrawingSurface::markDirty(const QRect &rect)
{
    const bool wasClean = m_dirty.count == 0;
    for (int i = 0; i < m_dirty.count; ++i) {
        if (m_dirty.rects[i].contains(rect))
            return;
    }
    // Overlapping or touching rectangles merge; when all slots are taken, the
    // new one merges with the first.
    int slot = m_dirty.count;
    for (int i = 0; i < m_dirty.count; ++i) {
        if (m_dirty.rects[i].adjusted(-1, -1, 1, 1).intersects(rect)) {
            slot = i;
            break;
        }
    }
    if (slot == DirtyRects::kMax)
        slot = 0;
    if (slot == m_dirty.count) {
        m_dirty.rects[m_dirty.count++] = rect;
    } else {
        m_dirty.rects[slot] |= rect;
    }
    if (wasClean && m_changeListener)
        m_changeListener();
}

DrawingSurface::DirtyRects DrawingSurface::takeDirty()
{
    DirtyRects dirty = m_dirty;
    m_dirty.count = 0;
    return dirty;
}

QRect DrawingSurface::DirtyRects::bounds() const
{
    QRect all;
    for (const QRect &rect : *this)
        all |= rect;
    return all;
}

namespace {

// One coordinate along a line: at step k it is start + round(k * delta / steps),
// kept as a quotient and a remainder so each step costs an addition.
class LineAxis
{
public:
    LineAxis(long long start, long long delta, long long steps, long long firstStep)
        : m_step(2 * delta), m_divisor(2 * std::max(steps, 1LL))
    {
        const long long numerator = 2 * firstStep * delta + m_divisor / 2;
        m_quotient = numerator / m_divisor;
        m_remainder = numerator % m_divisor;
        if (m_remainder < 0) {
            m_remainder += m_divisor;
            --m_quotient;
        }
        m_quotient += start;
    }
    long long value() const { return m_quotient; }
    void advance()
    {
        // |2 * delta| never exceeds the divisor, so one correction is enough.
        m_remainder += m_step;
        if (m_remainder >= m_divisor) {
            m_remainder -= m_divisor;
            ++m_quotient;
        } else if (m_remainder < 0) {
            m_remainder += m_divisor;
            --m_quotient;
        }
    }

private:
    long long m_step;
    long long m_divisor;
    long long m_quotient = 0;
    long long m_remainder = 0;
};

} // namespace

void DrawingSurface::Line(float x1, float y1, float x2, float y2)
{
    m_currentX = x2;
    m_currentY = y2;
    const long long ax = toPixel(x1), ay = toPixel(y1);
    const long long dx = toPixel(x2) - ax, dy = toPixel(y2) - ay;
    const long long steps = std::max(std::llabs(dx), std::llabs(dy));

    // Clip the step range to the surface first, so that a line reaching far
    // outside costs no more than one crossing it.
    double t0 = 0, t1 = 1;
    auto clip = [&](double p, double q) { // the Liang-Barsky test for one edge
        if (p == 0)
            return q >= 0;
        const double r = q / p;
        if (p < 0)
            t0 = std::max(t0, r);
        else
            t1 = std::min(t1, r);
        return t0 <= t1;
    };
    const double margin = 1;
    if (!clip(-dx, ax + margin) || !clip(dx, kWidth + margin - ax) || !clip(-dy, ay + margin) ||
        !clip(dy, kHeight + margin - ay))
        return;

    const long long kFirst = static_cast<long long>(std::floor(t0 * steps));
    const long long kLast = static_cast<long long>(std::ceil(t1 * steps));
    LineAxis x(ax, dx, steps, kFirst), y(ay, dy, steps, kFirst);
    uint32_t *image = pixels();
    QPoint first(-1, -1), last;
    for (long long k = kFirst; k <= kLast; ++k, x.advance(), y.advance()) {
        if (m_drawStyle == Dot && k % kDotPeriod >= kDotOn)
            continue;
        const long long px = x.value(), py = y.value();
        if (px < 0 || py < 0 || px >= kWidth || py >= kHeight)
            continue;
        plot(image, static_cast<int>(px), static_cast<int>(py));
        last = QPoint(static_cast<int>(px), static_cast<int>(py));
        if (first.x() < 0)
            first = last;
    }
    // A straight line's pixels lie in the box of its first and last ones.
    if (first.x() >= 0)
        markDirty(QRect(first, last).normalized());
}

void DrawingSurface::Print(int16_t number)
{
    const QString sign = number < 0 ? QString() : QStringLiteral(" ");
    Print(sign + QString::number(number) + QLatin1Char(' '));
}

const QStaticText &DrawingSurface::shapedText(const QString &text)
{
    // Shaping is the costly part of printing, and the plot prints the same
    // dozen texts at every redraw: keep them shaped, a bounded number.
    constexpr int kMaxShapedTexts = 64;
    auto found = m_shapedTexts.constFind(text);
    if (found != m_shapedTexts.cend())
        return *found;
    if (m_shapedTexts.size() >= kMaxShapedTexts)
        m_shapedTexts.clear();
    QStaticText shaped(text);
    shaped.setTextFormat(Qt::PlainText);
    shaped.prepare(QTransform(), m_font);
    return *m_shapedTexts.insert(text, shaped);
}

void DrawingSurface::Print(const QString &text)
{
    const QStaticText &shaped = shapedText(text);
    const int x = toPixel(m_currentX);
    const int y = toPixel(m_currentY);
    {
        QPainter painter(&m_image);
        painter.setFont(m_font);
        painter.setPen(QColor::fromRgb(m_penRgb));
        painter.drawStaticText(QPoint(x, y), shaped);
    }
    afterToolkitCode();
    m_pixels = nullptr;
    // Glyphs may overhang their box a little on either side.
    const int height = m_metrics.height();
    const QRect box(x - height, y, static_cast<int>(std::ceil(shaped.size().width())) + 2 * height, height);
    const QRect visible = box & m_image.rect();
    if (!visible.isEmpty())
        markDirty(visible);
    m_currentX = 0;
    m_currentY += static_cast<float>(height);
}
