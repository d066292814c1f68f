#include "rendermapwidget.h"

#include <QPainter>

#include <algorithm>

namespace Pallix::Bake {

RenderMapWidget::RenderMapWidget(QWidget* parent) : QWidget(parent) {}

RenderMapWidget::~RenderMapWidget() = default;

void RenderMapWidget::ResetImage(int width, int height) {
    // A size of 0 would divide by zero below; the bake never asks for one.
    width = std::max(width, 1);
    height = std::max(height, 1);
    image = std::make_unique<QImage>(width, height, QImage::Format_RGB32);
    image->fill(QColor(58, 12, 12, 255));
    if (height < width) {
        displayWidth = 512;
        displayHeight = int(float(height) / (float(width) / 512.0f));
    } else {
        displayHeight = 512;
        displayWidth = int(float(width) / (float(height) / 512.0f));
    }
    // The display size at most; a small window gets a smaller preview rather than a page whose
    // parts are drawn over each other.
    setMinimumSize(kMinimumSide, kMinimumSide);
    setMaximumSize(displayWidth, displayHeight);
    updateGeometry();
}

QRect RenderMapWidget::PictureRect() const {
    if (displayWidth <= 0 || displayHeight <= 0) return QRect();
    const double scale = std::min(double(width()) / displayWidth, double(height()) / displayHeight);
    const QSize size(std::max(1, int(displayWidth * scale)), std::max(1, int(displayHeight * scale)));
    return QRect(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
}

QSize RenderMapWidget::sizeHint() const { return QSize(displayWidth, displayHeight); }

void RenderMapWidget::paintEvent(QPaintEvent*) {
    if (!image) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.drawImage(PictureRect(), *image, QRect(0, 0, image->width(), image->height()));
}

}  // namespace Pallix::Bake
