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
    setMinimumSize(displayWidth, displayHeight);
    setMaximumSize(displayWidth, displayHeight);
}

QSize RenderMapWidget::sizeHint() const { return QSize(displayWidth, displayHeight); }

void RenderMapWidget::paintEvent(QPaintEvent*) {
    if (!image) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.drawImage(QRect(0, 0, width(), height()), *image, QRect(0, 0, image->width(), image->height()));
}

}  // namespace Pallix::Bake
