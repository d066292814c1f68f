#pragma once

#include <QComboBox>
#include <QString>

namespace Pallix::Bake {

class WrappingItemDelegate;

// A combo box that does not grow with its items: the current text is shortened with an
// ellipsis to the room the box has. The popup shows every item whole, broken over lines when
// it is wider than half the screen.
class ElidedComboBox : public QComboBox {
public:
    // The box is wide enough for this many characters and takes what room its row gives it.
    static constexpr int kShownCharacters = 16;

    explicit ElidedComboBox(QWidget* parent = nullptr);

    void showPopup() override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    WrappingItemDelegate* delegate;
};

// A preset name as menus and message boxes quote it: a long one is shortened in the middle to
// about sixty characters of the font, so that the menu or box still fits the screen.
QString ShortenedName(const QString& name, const QFont& font);

// A long text as a tool tip shows it whole: the tip is broken over lines where it is wider than
// the screen, and these invisible breaks let a name without spaces be broken too.
QString BreakableText(const QString& text);

}  // namespace Pallix::Bake
