#pragma once
// The state of keys the way Windows' GetKeyState answers it, for the windows
// that forward keys to an agent.

namespace dozorix {

// Windows virtual-key codes IsKeyDown knows besides letters and digits.
enum VirtualKey : int {
    VK_SHIFT = 0x10,
    VK_CONTROL = 0x11,
    VK_MENU = 0x12, // Alt
    VK_LSHIFT = 0xA0,
    VK_RSHIFT = 0xA1,
    VK_LCONTROL = 0xA2,
    VK_RCONTROL = 0xA3,
    VK_LMENU = 0xA4,
    VK_RMENU = 0xA5,
};

// With a QGuiApplication: Shift, Ctrl and Alt from the keyboard modifiers;
// other keys (letters, digits, the punctuation keys 186..192, 219..222) from
// the key events the application has seen. Otherwise false.
bool IsKeyDown(int virtualKey);

// Starts following key events at once (called at start-up), so that
// IsKeyDown also knows keys pressed before its first call.
void watchKeyboard();

} // namespace dozorix
