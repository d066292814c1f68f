#pragma once

#include <QImage>
#include <QWidget>

#include <memory>

namespace Pallix::Bake {

// The live preview of the map being baked: an image at the job's size, shown scaled so that its
// longer side is 512 pixels.
class RenderMapWidget : public QWidget {
    Q_OBJECT
public:
    explicit RenderMapWidget(QWidget* parent = nullptr);
    ~RenderMapWidget() override;

    // A new dark red image of width x height; the widget is fixed at the display size.
    void ResetImage(int width, int height);
    // Null before the first reset.
    QImage* Image() const { return image.get(); }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::unique_ptr<QImage> image;
    int displayWidth = 0;
    int displayHeight = 0;
};

}  // namespace Pallix::Bake
