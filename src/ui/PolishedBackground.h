#pragma once

// The polished window's background: one image as large as the window, built
// from edge and corner images. The normal look has top and bottom edges with
// their corners; the flat look adds left and right borders. The rest is
// filled with the colour where the top edge meets the body (the top edge
// image's bottom-left pixel).
//
// Sizes are in points (device-independent pixels); images carry their device
// pixel ratio, so 2x images on a high-density screen give the same geometry.

#include <QImage>
#include <QSize>

#include <vector>

struct PolishedImages {
    QImage bottomLeft, bottomMiddle, bottomRight;
    QImage topLeft, topMiddle, topRight;
    QImage middleLeft, middleRight;  // the flat look only
};

// The images of a look from the program's resources: the dark set for a dark
// palette, the 2x images for a device pixel ratio above 1.
PolishedImages polishedImages(bool flat, bool dark, qreal devicePixelRatio);

// Strips are at least this wide, so that a narrow window still cuts its edges
// from the left of a whole strip.
constexpr int kPolishedStripMinimum = 300;
// No side of the window may be smaller than this.
constexpr int kPolishedMinimumSide = 150;

// The background of a window of `size` points, at the screen's ratio. Later
// pieces cover earlier ones: fill, side borders (the right one a point to the
// right of the edge), bottom edge, bottom corners, top edge, top corners.
// With `memory`, the image is drawn into it (grown as needed): a window that
// keeps it between rebuilds spares the system handing out and clearing tens
// of megabytes of fresh pages on every step of a resize. The image is valid
// while the memory is kept and not used again.
QImage polishedBackground(const PolishedImages& images, QSize size, qreal devicePixelRatio, std::vector<uchar>* memory = nullptr);

// A requested minimum size with each side raised to kPolishedMinimumSide.
QSize polishedMinimumSize(QSize requested);
