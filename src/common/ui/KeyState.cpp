#include "common/ui/KeyState.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QSet>

namespace dozorix {
namespace {

// Keys: Qt tells the modifiers; every other key is followed through the key
// events the application sees.

int virtualKeyFor(const QKeyEvent *event)
{
    const int key = event->key();
    if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9))
        return key; // Qt and Windows share these codes
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return 0x70 + (key - Qt::Key_F1);
    switch (key) {
    case Qt::Key_Shift: return VK_SHIFT;
    case Qt::Key_Control: return VK_CONTROL;
    case Qt::Key_Alt: return VK_MENU;
    case Qt::Key_Backspace: return 0x08;
    case Qt::Key_Tab: return 0x09;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 0x0D;
    case Qt::Key_Escape: return 0x1B;
    case Qt::Key_Space: return 0x20;
    case Qt::Key_PageUp: return 0x21;
    case Qt::Key_PageDown: return 0x22;
    case Qt::Key_End: return 0x23;
    case Qt::Key_Home: return 0x24;
    case Qt::Key_Left: return 0x25;
    case Qt::Key_Up: return 0x26;
    case Qt::Key_Right: return 0x27;
    case Qt::Key_Down: return 0x28;
    case Qt::Key_Insert: return 0x2D;
    case Qt::Key_Delete: return 0x2E;
    case Qt::Key_Semicolon:
    case Qt::Key_Colon: return 186;
    case Qt::Key_Equal:
    case Qt::Key_Plus: return 187;
    case Qt::Key_Comma:
    case Qt::Key_Less: return 188;
    case Qt::Key_Minus:
    case Qt::Key_Underscore: return 189;
    case Qt::Key_Period:
    case Qt::Key_Greater: return 190;
    case Qt::Key_Slash:
    case Qt::Key_Question: return 191;
    case Qt::Key_QuoteLeft:
    case Qt::Key_AsciiTilde: return 192;
    case Qt::Key_BracketLeft:
    case Qt::Key_BraceLeft: return 219;
    case Qt::Key_Backslash:
    case Qt::Key_Bar: return 220;
    case Qt::Key_BracketRight:
    case Qt::Key_BraceRight: return 221;
    case Qt::Key_Apostrophe:
    case Qt::Key_QuoteDbl: return 222;
    default: break;
    }
    // Another layout (Cyrillic letters on the punctuation keys): the key's
    // position, as X11 and Wayland report it (evdev code + 8).
    switch (event->nativeScanCode()) {
    case 47: return 186;
    case 21: return 187;
    case 59: return 188;
    case 20: return 189;
    case 60: return 190;
    case 61: return 191;
    case 49: return 192;
    case 34: return 219;
    case 51: return 220;
    case 35: return 221;
    case 48: return 222;
    default: return 0;
    }
}

class KeyStateTracker : public QObject
{
public:
    using QObject::QObject;
    bool isDown(int vk) const { return m_down.contains(vk); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
            const int vk = virtualKeyFor(static_cast<QKeyEvent *>(event));
            if (vk) {
                if (event->type() == QEvent::KeyPress)
                    m_down.insert(vk);
                else if (!static_cast<QKeyEvent *>(event)->isAutoRepeat())
                    m_down.remove(vk);
            }
        } else if (event->type() == QEvent::ApplicationStateChange
                   && QGuiApplication::applicationState() != Qt::ApplicationActive) {
            m_down.clear(); // key releases go elsewhere while we are not active
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QSet<int> m_down;
};

KeyStateTracker *keyTracker()
{
    static QPointer<KeyStateTracker> tracker;
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!app)
        return nullptr;
    if (!tracker) {
        tracker = new KeyStateTracker(app);
        app->installEventFilter(tracker);
    }
    return tracker;
}

} // namespace

bool IsKeyDown(int virtualKey)
{
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return false;
    const Qt::KeyboardModifiers mods = QGuiApplication::keyboardModifiers();
    switch (virtualKey) {
    case VK_SHIFT:
    case VK_LSHIFT:
    case VK_RSHIFT:
        return mods.testFlag(Qt::ShiftModifier);
    case VK_CONTROL:
    case VK_LCONTROL:
    case VK_RCONTROL:
        return mods.testFlag(Qt::ControlModifier);
    case VK_MENU:
    case VK_LMENU:
    case VK_RMENU:
        return mods.testFlag(Qt::AltModifier);
    default:
        break;
    }
    const KeyStateTracker *tracker = keyTracker();
    return tracker && tracker->isDown(virtualKey);
}

void watchKeyboard()
{
    keyTracker();
}

} // namespace dozorix
