#include "enterpushbutton.h"

#include <QKeyEvent>

namespace Pallix::Bake {

namespace {

bool IsEnter(const QKeyEvent& event) { return event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter; }

// The same key stroke as Space, so that the button goes down, emits pressed() and clicks on
// release exactly as it does for Space.
QKeyEvent AsSpace(const QKeyEvent& event) {
    return QKeyEvent(event.type(), Qt::Key_Space, event.modifiers() & ~Qt::KeypadModifier, " ", event.isAutoRepeat(),
                     ushort(event.count()));
}

}  // namespace

void EnterPushButton::keyPressEvent(QKeyEvent* event) {
    if (!IsEnter(*event)) return QPushButton::keyPressEvent(event);
    QKeyEvent space = AsSpace(*event);
    QPushButton::keyPressEvent(&space);
    event->setAccepted(space.isAccepted());
}

void EnterPushButton::keyReleaseEvent(QKeyEvent* event) {
    if (!IsEnter(*event)) return QPushButton::keyReleaseEvent(event);
    QKeyEvent space = AsSpace(*event);
    QPushButton::keyReleaseEvent(&space);
    event->setAccepted(space.isAccepted());
}

}  // namespace Pallix::Bake
