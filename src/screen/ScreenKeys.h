#pragma once
// The lines the console sends to an agent's screen service for keys and the
// mouse. Keys are Windows virtual-key codes of physical keys: a key is found
// by its position on the keyboard (its scan code), not by the character the
// keyboard layout gives it, so that the key right of "P" is 219 under a
// Russian layout too.

#include <QSet>
#include <QString>

#include <functional>

namespace dozorix {

// The virtual-key code of a key from its X11 key code (the evdev code + 8,
// what Qt reports as the native scan code on X11 and Wayland); 0 for a key
// the tables do not know.
int virtualKeyFromScanCode(quint32 nativeScanCode);

// The virtual-key code of a key event: by its place where the platform
// gives a scan code, else by its Qt key (platforms without scan codes know
// letters, digits, F-keys, the modifiers, the navigation keys and a few
// more). The keypad's
// digit and decimal keys follow Num Lock as on Windows: when the Qt key says
// they are Home, Up, … Delete (Num Lock off, or Shift held), they are those
// keys.
int virtualKeyOf(quint32 nativeScanCode, int qtKey);

// The key-down line of a key; empty when the key sends nothing. heldDown
// answers whether a key is held down (the punctuation rule).
QString keyDownLine(int virtualKey, const std::function<bool(int)> &heldDown);
// The key-up line; empty when the key sends nothing on release.
QString keyUpLine(int virtualKey);

// The punctuation keys whose being held down turns any other key into
// their own line, in the order they are tested.
inline constexpr int kHeldPunctuation[] = {192, 189, 187, 220, 188, 190, 191, 219, 221};

// The keys held down, followed from one window's own key events.
class HeldKeys
{
public:
    // The line of a press (the key counts as held while its line is made)
    // or a release; empty when the key sends nothing.
    QString press(int virtualKey);
    QString release(int virtualKey, bool autoRepeat = false);
    bool isDown(int virtualKey) const { return m_down.contains(virtualKey); }
    // Focus gone elsewhere: releases will not come here.
    void clear() { m_down.clear(); }

private:
    QSet<int> m_down;
};

enum class MouseLine { LeftDown, LeftUp, RightUp, Move };
// "Lk%D", "Lk%U", "Pk%k" or "MM%M", then x, " , ", y.
QString mouseLine(MouseLine kind, int x, int y);

// The key combinations of the control window: the captions of the list in
// their order, and the line of each.
inline constexpr const char *kCombinationCaptions[] = {"Ctrl+Alt+Del", "Win+R", "Win+L"};
QString combinationLine(int index); // empty for an index out of the list

} // namespace dozorix
