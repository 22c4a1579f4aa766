#include "PolishedWindow.h"

#include "PolishedBackground.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>

PolishedWindow::PolishedWindow(QWidget* parent) : QMainWindow(parent) {
    // Every pixel comes from the background image: nothing to clear first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinSize(minimumSize());
}

void PolishedWindow::setFlat(bool flat) {
    flat_ = flat;
    rebuild();
    repaint();
}

void PolishedWindow::setMinSize(QSize size) { setMinimumSize(polishedMinimumSize(size)); }

bool PolishedWindow::dark() const { return palette().color(QPalette::Window).lightness() < 128; }

void PolishedWindow::rebuild() {
    const qreal ratio = devicePixelRatioF();
    background_ = polishedBackground(polishedImages(flat_, dark(), ratio), size(), ratio, &memory_);
    builtFor_ = size();
}

void PolishedWindow::paintEvent(QPaintEvent* event) {
    // Moved to a screen of another pixel ratio: the size is the same, the
    // pixels are not.
    if (builtFor_ != size() || background_.devicePixelRatio() != devicePixelRatioF()) rebuild();
    QPainter p(this);
    const QRect r = event->rect();
    const qreal ratio = background_.devicePixelRatio();
    p.drawImage(r, background_, QRectF(r.x() * ratio, r.y() * ratio, r.width() * ratio, r.height() * ratio));
}

void PolishedWindow::resizeEvent(QResizeEvent* event) {
    rebuild();
    QMainWindow::resizeEvent(event);
}

void PolishedWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
        rebuild();
        update();
    }
    QMainWindow::changeEvent(event);
}
