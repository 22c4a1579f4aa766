#pragma once

// A main window that paints its own background from edge and corner images
// (PolishedBackground), in the normal or the flat look. The background is
// rebuilt when the size, the look, the palette (light or dark set) or the
// screen's pixel ratio changes, and painted from that one image, so a resize
// draws each pixel once and does not flicker.

#include <QImage>
#include <QMainWindow>

#include <vector>

class PolishedWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit PolishedWindow(QWidget* parent = nullptr);

    bool flat() const { return flat_; }
    // Rebuilds and repaints at once, even when the look stays the same.
    void setFlat(bool flat);
    // Sets the minimum size with each side raised to at least 150.
    void setMinSize(QSize size);
    // The background as last built, valid until the next rebuild.
    const QImage& background() const { return background_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void rebuild();
    bool dark() const;

    bool flat_ = false;
    QImage background_;  // drawn in memory_, kept between rebuilds
    std::vector<uchar> memory_;
    QSize builtFor_;
};
