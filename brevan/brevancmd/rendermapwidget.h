#pragma once

#include <QImage>
#include <QWidget>

#include <memory>

namespace Pallix::Bake {

// The live preview of the map being baked: an image at the job's size, shown scaled so that its
// longer side is 512 pixels, or less when the widget is given less room; the picture keeps the
// job's aspect and is centred in the widget.
class RenderMapWidget : public QWidget {
    Q_OBJECT
public:
    explicit RenderMapWidget(QWidget* parent = nullptr);
    ~RenderMapWidget() override;

    // The side below which the preview does not shrink.
    static constexpr int kMinimumSide = 48;

    // A new dark red image of width x height; the widget grows no larger than the display size.
    void ResetImage(int width, int height);
    // Null before the first reset.
    QImage* Image() const { return image.get(); }
    // Where the picture is drawn inside the widget.
    QRect PictureRect() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::unique_ptr<QImage> image;
    int displayWidth = 0;
    int displayHeight = 0;
};

}  // namespace Pallix::Bake
