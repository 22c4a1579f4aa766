#include "PolishedBackground.h"

#include <QPainter>
#include <QtMath>

#include <algorithm>

namespace {

QSizeF points(const QImage& image) { return image.deviceIndependentSize(); }

// A rectangle in points as the image's own pixels, which drawImage takes for
// its source.
QRectF inPixels(const QImage& image, const QRectF& r) {
    const qreal ratio = image.devicePixelRatio();
    return {r.x() * ratio, r.y() * ratio, r.width() * ratio, r.height() * ratio};
}

QImage blank(QSizeF size, qreal ratio, bool clear = true) {
    QImage image(QSize(qCeil(size.width() * ratio), qCeil(size.height() * ratio)), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    if (clear) image.fill(Qt::transparent);
    return image;
}

// The edge image repeated across `width` points, at its own height.
QImage strip(const QImage& tile, int width, qreal ratio) {
    const QSizeF t = points(tile);
    QImage s = blank({qreal(width), t.height()}, ratio);
    if (t.width() <= 0) return s;
    QPainter p(&s);
    for (qreal x = 0; x < width; x += t.width()) p.drawImage(QPointF(x, 0), tile);
    return s;
}

QImage load(const QString& set, const QString& name, bool twice) {
    QImage image(QStringLiteral(":/window/%1/%2%3.png").arg(set, name, twice ? QStringLiteral("@2x") : QString()));
    image.setDevicePixelRatio(twice ? 2 : 1);
    return image;
}

}  // namespace

PolishedImages polishedImages(bool flat, bool dark, qreal devicePixelRatio) {
    // The images live in this static library: its resources must be made
    // known by name.
    static const bool registered = [] {
        Q_INIT_RESOURCE(window);
        return true;
    }();
    Q_UNUSED(registered);
    const QString set = dark ? QStringLiteral("dark") : QStringLiteral("light");
    const bool twice = devicePixelRatio > 1;
    const QString prefix = flat ? QStringLiteral("flat_") : QString();
    auto piece = [&](const char* name) { return load(set, prefix + QLatin1String(name), twice); };
    PolishedImages images{piece("bottom_left"), piece("bottom_middle"), piece("bottom_right"),
                          piece("top_left"),    piece("top_middle"),    piece("top_right"), {}, {}};
    if (flat) {
        images.middleLeft = load(set, QStringLiteral("middle_left"), twice);
        images.middleRight = load(set, QStringLiteral("middle_right"), twice);
    }
    return images;
}

QImage polishedBackground(const PolishedImages& im, QSize size, qreal ratio, std::vector<uchar>* memory) {
    const qreal W = size.width(), H = size.height();
    QImage background;  // not cleared: the fill covers it all
    if (memory) {
        const QSize pixels(qCeil(W * ratio), qCeil(H * ratio));
        const qsizetype line = qsizetype(pixels.width()) * 4;
        if (memory->size() < std::size_t(line * pixels.height())) memory->resize(line * pixels.height());
        background = QImage(memory->data(), pixels.width(), pixels.height(), line, QImage::Format_ARGB32_Premultiplied);
        background.setDevicePixelRatio(ratio);
    } else {
        background = blank(size, ratio, false);
    }
    const int stripWidth = std::max(size.width(), kPolishedStripMinimum);
    const QImage top = strip(im.topMiddle, stripWidth, ratio);
    const QImage bottom = strip(im.bottomMiddle, stripWidth, ratio);
    const QSizeF bl = points(im.bottomLeft), br = points(im.bottomRight), tl = points(im.topLeft), tr = points(im.topRight);

    QPainter p(&background);
    // Images at another ratio than the screen's are scaled; at the same one
    // only the side borders stretch, along their uniform columns.
    p.setRenderHint(QPainter::SmoothPixmapTransform, im.topMiddle.devicePixelRatio() != ratio);
    p.fillRect(QRectF(0, 0, W, H), im.topMiddle.pixelColor(0, im.topMiddle.height() - 1));
    if (!im.middleLeft.isNull()) {
        p.drawImage(QRectF(0, 0, points(im.middleLeft).width(), H), im.middleLeft);
        const qreal rw = points(im.middleRight).width();
        p.drawImage(QRectF(W - rw + 1, 0, rw, H), im.middleRight);
    }
    // Each edge is cut from the left end and the bottom rows of its strip, at
    // the height of its left corner.
    const qreal bottomWidth = W - bl.width() - br.width();
    if (bottomWidth > 0)
        p.drawImage(QRectF(bl.width(), H - bl.height(), bottomWidth, bl.height()), bottom,
                    inPixels(bottom, {0, points(bottom).height() - bl.height(), bottomWidth, bl.height()}));
    p.drawImage(QPointF(0, H - bl.height()), im.bottomLeft);
    p.drawImage(QPointF(W - br.width(), H - br.height()), im.bottomRight);
    const qreal topWidth = W - tl.width() - tr.width();
    if (topWidth > 0)
        p.drawImage(QRectF(tl.width(), 0, topWidth, tl.height()), top,
                    inPixels(top, {0, points(top).height() - tl.height(), topWidth, tl.height()}));
    p.drawImage(QPointF(0, 0), im.topLeft);
    p.drawImage(QPointF(W - tr.width(), 0), im.topRight);
    return background;
}

QSize polishedMinimumSize(QSize requested) {
    return {std::max(requested.width(), kPolishedMinimumSide), std::max(requested.height(), kPolishedMinimumSide)};
}
