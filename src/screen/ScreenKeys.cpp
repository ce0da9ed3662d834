#include "screen/ScreenKeys.h"

#include <qnamespace.h>

namespace dozorix {

namespace {

// evdev key codes (linux/input-event-codes.h) to Windows virtual keys, in
// the keys' order on a PC keyboard.
int virtualKeyFromEvdev(quint32 code)
{
    static const char kTopLetters[] = "QWERTYUIOP";   // evdev 16..25
    static const char kHomeLetters[] = "ASDFGHJKL";   // evdev 30..38
    static const char kBottomLetters[] = "ZXCVBNM";   // evdev 44..50
    if (code >= 2 && code <= 10)
        return '1' + int(code - 2);
    if (code == 11)
        return '0';
    if (code >= 16 && code <= 25)
        return kTopLetters[code - 16];
    if (code >= 30 && code <= 38)
        return kHomeLetters[code - 30];
    if (code >= 44 && code <= 50)
        return kBottomLetters[code - 44];
    if (code >= 59 && code <= 68)
        return 112 + int(code - 59); // F1..F10
    switch (code) {
    case 1: return 27;     // Esc
    case 12: return 189;   // - _
    case 13: return 187;   // = +
    case 14: return 8;     // Backspace
    case 15: return 9;     // Tab
    case 26: return 219;   // [ {  (Russian х)
    case 27: return 221;   // ] }  (ъ)
    case 28: return 13;    // Enter
    case 29: return 17;    // left Ctrl
    case 39: return 186;   // ; :  (ж)
    case 40: return 222;   // ' "  (э)
    case 41: return 192;   // ` ~  (ё)
    case 42: return 16;    // left Shift
    case 43: return 220;   // backslash
    case 51: return 188;   // , <  (б)
    case 52: return 190;   // . >  (ю)
    case 53: return 191;   // / ?
    case 54: return 16;    // right Shift
    case 55: return 106;   // keypad *
    case 56: return 18;    // left Alt
    case 57: return 32;    // Space
    case 58: return 20;    // Caps Lock
    case 69: return 144;   // Num Lock
    case 70: return 145;   // Scroll Lock
    case 71: return 103;   // keypad 7
    case 72: return 104;
    case 73: return 105;
    case 74: return 109;   // keypad -
    case 75: return 100;   // keypad 4
    case 76: return 101;
    case 77: return 102;
    case 78: return 107;   // keypad +
    case 79: return 97;    // keypad 1
    case 80: return 98;
    case 81: return 99;
    case 82: return 96;    // keypad 0
    case 83: return 110;   // keypad .
    case 86: return 226;   // the key between left Shift and Z
    case 87: return 122;   // F11
    case 88: return 123;   // F12
    case 96: return 13;    // keypad Enter
    case 97: return 17;    // right Ctrl
    case 98: return 111;   // keypad /
    case 99: return 44;    // Print Screen
    case 100: return 18;   // right Alt
    case 102: return 36;   // Home
    case 103: return 38;   // Up
    case 104: return 33;   // Page Up
    case 105: return 37;   // Left
    case 106: return 39;   // Right
    case 107: return 35;   // End
    case 108: return 40;   // Down
    case 109: return 34;   // Page Down
    case 110: return 45;   // Insert
    case 111: return 46;   // Delete
    case 119: return 19;   // Pause
    case 125: return 91;   // left Windows key
    case 126: return 92;   // right Windows key
    case 127: return 93;   // context menu key
    default: return 0;
    }
}

QString hexLine(int virtualKey)
{
    return QStringLiteral("#key$") + QStringLiteral("%1").arg(virtualKey, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

int virtualKeyFromScanCode(quint32 nativeScanCode)
{
    return nativeScanCode > 8 ? virtualKeyFromEvdev(nativeScanCode - 8) : 0;
}

namespace {

// The Windows key of a navigation key by its Qt key; what the keypad's
// digit and decimal keys are when they are no digits.
int navigationKey(int qtKey)
{
    switch (qtKey) {
    case Qt::Key_Home: return 36;
    case Qt::Key_Up: return 38;
    case Qt::Key_PageUp: return 33;
    case Qt::Key_Left: return 37;
    case Qt::Key_Clear: return 12; // keypad 5
    case Qt::Key_Right: return 39;
    case Qt::Key_End: return 35;
    case Qt::Key_Down: return 40;
    case Qt::Key_PageDown: return 34;
    case Qt::Key_Insert: return 45;
    case Qt::Key_Delete: return 46;
    default: return 0;
    }
}

int virtualKeyFromQtKey(int key)
{
    if ((key >= Qt::Key_0 && key <= Qt::Key_9) || (key >= Qt::Key_A && key <= Qt::Key_Z))
        return key;
    if (key >= Qt::Key_F1 && key <= Qt::Key_F12)
        return 112 + (key - Qt::Key_F1);
    switch (key) {
    case Qt::Key_Shift: return 16;
    case Qt::Key_Control: return 17;
    case Qt::Key_Alt: return 18;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 13;
    case Qt::Key_Escape: return 27;
    case Qt::Key_Backspace: return 8;
    case Qt::Key_Space: return 32;
    default: return navigationKey(key);
    }
}

} // namespace

int virtualKeyOf(quint32 nativeScanCode, int qtKey)
{
    const int vk = virtualKeyFromScanCode(nativeScanCode);
    if (!vk)
        return virtualKeyFromQtKey(qtKey);
    if ((vk >= 96 && vk <= 105) || vk == 110) {
        if (const int navigation = navigationKey(qtKey))
            return navigation;
    }
    return vk;
}

QString keyDownLine(int vk, const std::function<bool(int)> &heldDown)
{
    const QString key = QStringLiteral("#key");
    if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z'))
        return key + QChar(vk);
    for (int punctuation : kHeldPunctuation) {
        if (heldDown && heldDown(punctuation))
            return key + QString::number(punctuation);
    }
    if (vk >= 112 && vk <= 123)
        return key + QStringLiteral("VK_F") + QString::number(vk - 111);
    if (vk == 106 || vk == 107 || (vk >= 109 && vk <= 111) || (vk >= 96 && vk <= 105))
        return hexLine(vk);
    const char *name = nullptr;
    switch (vk) {
    case 8: name = "VK_BACK"; break;
    case 27: name = "VK_ESCAPE"; break;
    case 20: name = "VK_CAPITAL"; break;
    case 16: name = "VK_SHIFTD"; break;
    case 17: name = "VK_CONTROLD"; break;
    case 18: name = "VK_MENUD"; break;
    case 32: name = "VK_SPACE"; break;
    case 44: name = "VK_SNAPSHOT"; break;
    case 145: name = "VK_SCROLL"; break;
    case 19: name = "VK_PAUSE"; break;
    case 45: name = "VK_INSERT"; break;
    case 36: name = "VK_HOME"; break;
    case 33: name = "VK_PRIOR"; break;
    case 46: name = "VK_DELETE"; break;
    case 35: name = "VK_END"; break;
    case 34: name = "VK_NEXT"; break;
    case 38: name = "VK_UP"; break;
    case 40: name = "VK_DOWN"; break;
    case 37: name = "VK_LEFT"; break;
    case 39: name = "VK_RIGHT"; break;
    case 144: name = "VK_NUMLOCK"; break;
    default: return {};
    }
    return key + QLatin1String(name);
}

QString keyUpLine(int vk)
{
    switch (vk) {
    case 13: return hexLine(13);
    case 16: return QStringLiteral("#keyVK_SHIFTU");
    case 17: return QStringLiteral("#keyVK_CONTROLU");
    case 18: return QStringLiteral("#keyVK_MENUU");
    default: return {};
    }
}

QString HeldKeys::press(int vk)
{
    if (vk)
        m_down.insert(vk);
    return keyDownLine(vk, [this](int k) { return m_down.contains(k); });
}

QString HeldKeys::release(int vk, bool autoRepeat)
{
    if (!autoRepeat)
        m_down.remove(vk);
    return keyUpLine(vk);
}

QString mouseLine(MouseLine kind, int x, int y)
{
    const char *prefix = "MM%M";
    switch (kind) {
    case MouseLine::LeftDown: prefix = "Lk%D"; break;
    case MouseLine::LeftUp: prefix = "Lk%U"; break;
    case MouseLine::RightUp: prefix = "Pk%k"; break;
    case MouseLine::Move: break;
    }
    return QLatin1String(prefix) + QString::number(x) + QStringLiteral(" , ") + QString::number(y);
}

QString combinationLine(int index)
{
    static const char *const kLines[] = {"#keyCTR+ALT+DEL", "#keyWIN+R", "#keyWIN+L"};
    if (index < 0 || index >= int(std::size(kLines)))
        return {};
    return QLatin1String(kLines[index]);
}

} // namespace dozorix
