#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QHash>
#include <QImage>
#include <QRect>
#include <QStaticText>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>

// A colour as the plot stores it: red in the low byte, blue in the high byte
// (0x0000FF is red, 0xFF0000 blue).
using Colour = uint32_t;

constexpr Colour colourRgb(int red, int green, int blue)
{
    return static_cast<Colour>(red) | static_cast<Colour>(green) << 8 | static_cast<Colour>(blue) << 16;
}

// The plot surface: an off-screen 1245 x 493 image with the immediate-mode
// operations the plot, the cursor and the picture loader draw with. All the
// quirks of the raster live here: the XOR pen, the dotted pattern, clipping
// and the mapping of single-precision coordinates to pixels. The properties
// keep their values until set again, through Cls and redraws alike.
class DrawingSurface
{
public:
    static constexpr int kWidth = 1245;
    static constexpr int kHeight = 493;

    enum DrawMode : int16_t { XorPen = 7, CopyPen = 13 };
    enum DrawStyle : int16_t { Solid = 0, Dot = 2 };

    DrawingSurface();

    // Removes all drawing and text: back colour, then the background picture.
    void Cls();

    Colour backColor() const { return m_backColor; }
    void setBackColor(Colour colour) { m_backColor = colour; }

    // The picture becomes the background, top-left and unscaled: it shows
    // wherever the surface still shows its background (the back colour, or
    // the picture it replaces), and what is drawn stays over it; Cls shows it
    // again. A null image removes it, leaving the back colour in its place.
    void setPicture(const QImage &picture);

    // Only one-pixel lines and points are ever drawn; the width is kept as a
    // property for the callers that set it.
    int16_t drawWidth() const { return m_drawWidth; }
    void setDrawWidth(int16_t width) { m_drawWidth = width; }

    Colour foreColor() const { return m_foreColor; }
    void setForeColor(Colour colour)
    {
        m_foreColor = colour & 0xFFFFFF;
        m_penRgb = imageRgb(m_foreColor);
    }

    DrawMode drawMode() const { return m_drawMode; }
    void setDrawMode(DrawMode mode) { m_drawMode = mode; }

    DrawStyle drawStyle() const { return m_drawStyle; }
    void setDrawStyle(DrawStyle style) { m_drawStyle = style; }

    // Both end points are drawn; the current position becomes (x2, y2).
    void Line(float x1, float y1, float x2, float y2);
    void PSet(float x, float y)
    {
        m_currentX = x;
        m_currentY = y;
        const int px = toPixel(x);
        const int py = toPixel(y);
        if (px < 0 || py < 0 || px >= kWidth || py >= kHeight)
            return;
        plot(pixels(), px, py);
        const QRect &dirty = m_dirty.rects[0]; // after Cls, the whole surface
        if (m_dirty.count == 0 || px < dirty.left() || px > dirty.right() || py < dirty.top() ||
            py > dirty.bottom())
            markDirty(QRect(px, py, 1, 1));
    }

    float fontSize() const { return m_fontSize; }
    void setFontSize(float points);

    float currentX() const { return m_currentX; }
    float currentY() const { return m_currentY; }
    void setCurrentX(float x) { m_currentX = x; }
    void setCurrentY(float y) { m_currentY = y; }

    // Text goes on with its top-left corner at the current position, in the
    // fore colour over what is there (the pen mode does not apply to text);
    // the position then moves to the start of the next line.
    void Print(int16_t number); // " 10 " and "-2 ": a space stands for the plus sign
    void Print(const QString &text);

    // Whoever gets the image may keep a shared copy of it: the next drawing
    // operation then detaches from that copy before it writes.
    const QImage &image() const
    {
        m_pixels = nullptr;
        return m_image;
    }

    // What changed since the last takeDirty(): a few rectangles, so that two
    // cursor lines far apart repaint two columns, not everything between.
    struct DirtyRects
    {
        static constexpr int kMax = 4;
        std::array<QRect, kMax> rects;
        int count = 0;
        const QRect *begin() const { return rects.data(); }
        const QRect *end() const { return rects.data() + count; }
        QRect bounds() const;
    };

    // Called when the first change after takeDirty() happens, so a view can
    // schedule one repaint of what takeDirty() will give.
    void setChangeListener(std::function<void()> listener) { m_changeListener = std::move(listener); }
    DirtyRects takeDirty();

    // The one mapping from a single-precision coordinate to a pixel index:
    // the nearest pixel, an exact half going to the even one. Values far
    // outside the surface (and NaN) map to a far-away index, never drawn.
    static int toPixel(float coordinate)
    {
        double v = coordinate;
        if (!(v > -kFarAway)) // also catches NaN
            v = -kFarAway;
        else if (v > kFarAway)
            v = kFarAway;
        // Adding and taking away 1.5 * 2^52 rounds to a whole number in the
        // default rounding mode, halves to even, without a library call.
        constexpr double kRounder = 6755399441055744.0;
        return static_cast<int>((v + kRounder) - kRounder);
    }

private:
    // A colour in the image's own 0xRRGGBB order.
    static uint32_t imageRgb(Colour colour)
    {
        return (colour & 0xFF) << 16 | (colour & 0xFF00) | (colour >> 16 & 0xFF);
    }

    // Coordinates are clamped to this before they become integers; anything
    // beyond is far off the surface anyway.
    static constexpr double kFarAway = 1.0e7;

    void fillBackground();
    // The image's pixels, unshared. Looked up again only after the image was
    // handed out or painted on by the toolkit, not at every point.
    uint32_t *pixels()
    {
        if (!m_pixels)
            m_pixels = reinterpret_cast<uint32_t *>(m_image.bits());
        return m_pixels;
    }
    void plot(uint32_t *pixels, int x, int y) // x, y inside the surface
    {
        uint32_t &pixel = pixels[y * kWidth + x]; // 32-bit pixels: rows have no padding
        if (m_drawMode == XorPen)
            pixel ^= m_penRgb;
        else
            pixel = 0xFF000000u | m_penRgb;
    }
    void markDirty(const QRect &rect);
    const QStaticText &shapedText(const QString &text);

    QImage m_image;
    mutable uint32_t *m_pixels = nullptr;
    QImage m_picture;
    QFont m_font;
    QFontMetrics m_metrics{m_font};
    QHash<QString, QStaticText> m_shapedTexts; // for the current font
    std::function<void()> m_changeListener;
    DirtyRects m_dirty;
    Colour m_backColor;
    Colour m_foreColor = 0;
    uint32_t m_penRgb = 0; // fore colour in the image's 0xRRGGBB order
    int16_t m_drawWidth = 1;
    DrawMode m_drawMode = CopyPen;
    DrawStyle m_drawStyle = Solid;
    float m_fontSize = 0;
    float m_currentX = 0;
    float m_currentY = 0;
};
