// The polished background's geometry, on tiny images whose every pixel says
// where it came from, at 1x and 2x.

#include "ui/PolishedBackground.h"

#include <gtest/gtest.h>

namespace {

// Pixel (x, y) of image `id` is the colour (id, x, y); scaled up for 2x.
QImage piece(int id, int w, int h, int ratio) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) image.setPixel(x, y, qRgb(id * 20, x, y));
    image = image.scaled(w * ratio, h * ratio);
    image.setDevicePixelRatio(ratio);
    return image;
}

TEST(PolishedBackground, PiecesLandWhereTheLookPutsThem) {
    enum { BL = 1, BM, BR, TL, TM, TR, ML, MR };
    struct Case {
        bool flat;
        int x, y;            // in points, y downwards, in a 200 x 150 window
        int id, px, py;      // the piece and its pixel expected there
    };
    const Case cases[] = {
        {false, 100, 75, TM, 0, 2},    // the fill: the top edge's bottom-left pixel
        {false, 0, 0, TL, 0, 0},       {false, 199, 1, TR, 2, 1},  {false, 0, 149, BL, 0, 1}, {false, 199, 148, BR, 2, 0},
        // Edges: cut from the strip's bottom rows at the corner's height, from its left end.
        {false, 3, 0, TM, 0, 1},       {false, 9, 1, TM, 6, 2},    {false, 196, 0, TM, (196 - 3) % 7, 1},
        {false, 3, 148, BM, 0, 2},     {false, 196, 149, BM, (196 - 3) % 7, 3},
        {false, 0, 75, TM, 0, 2},      // no side borders in the normal look
        {true, 0, 75, ML, 0, 0},       // stretched over the whole height
        {true, 199, 75, MR, 0, 0},     // one point to the right: its last column is outside
        {true, 199, 0, TR, 2, 0},      // corners cover the borders' ends
    };
    for (int ratio : {1, 2}) {
        PolishedImages flat{piece(BL, 3, 2, ratio), piece(BM, 7, 4, ratio), piece(BR, 3, 2, ratio), piece(TL, 3, 2, ratio),
                            piece(TM, 7, 3, ratio), piece(TR, 3, 2, ratio), piece(ML, 1, 1, ratio), piece(MR, 2, 1, ratio)};
        PolishedImages normal = flat;
        normal.middleLeft = normal.middleRight = QImage();
        std::vector<uchar> memory(1);  // grown for the flat look
        const QImage images[] = {polishedBackground(normal, {200, 150}, ratio), polishedBackground(flat, {200, 150}, ratio, &memory)};
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "ratio " << ratio << " flat " << c.flat << " at " << c.x << "," << c.y);
            const QImage& image = images[c.flat];
            ASSERT_EQ(image.size(), QSize(200 * ratio, 150 * ratio));
            EXPECT_EQ(image.pixel(c.x * ratio, c.y * ratio), qRgb(c.id * 20, c.px, c.py));
        }
    }
    EXPECT_EQ(polishedMinimumSize({100, 400}), QSize(150, 400));
}

}  // namespace
