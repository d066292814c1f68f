#pragma once

#include <QPushButton>

namespace Pallix::Bake {

// A push button that Enter and keypad Enter press while it has the focus, as Space does: a
// button outside a dialog takes neither by itself.
class EnterPushButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
};

}  // namespace Pallix::Bake
