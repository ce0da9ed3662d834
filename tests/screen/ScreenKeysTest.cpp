// The key and mouse lines of the remote screen, keys found by their place on
// the keyboard (X11 key codes: evdev + 8).
#include "screen/ScreenKeys.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace dozorix;

namespace {

// X11 key code of a key (evdev code + 8).
constexpr quint32 x11(quint32 evdev) { return evdev + 8; }

TEST(ScreenKeys, KeyDownLinesOfEveryPhysicalKey)
{
    struct Case { quint32 evdev; const char *line; };
    const Case cases[] = {
        {2, "#key1"}, {10, "#key9"}, {11, "#key0"},
        {16, "#keyQ"}, {25, "#keyP"}, {30, "#keyA"}, {38, "#keyL"}, {44, "#keyZ"}, {50, "#keyM"},
        {14, "#keyVK_BACK"}, {1, "#keyVK_ESCAPE"}, {58, "#keyVK_CAPITAL"},
        {59, "#keyVK_F1"}, {63, "#keyVK_F5"}, {68, "#keyVK_F10"}, {87, "#keyVK_F11"}, {88, "#keyVK_F12"},
        {42, "#keyVK_SHIFTD"}, {54, "#keyVK_SHIFTD"}, {29, "#keyVK_CONTROLD"}, {97, "#keyVK_CONTROLD"},
        {56, "#keyVK_MENUD"}, {100, "#keyVK_MENUD"}, {57, "#keyVK_SPACE"}, {99, "#keyVK_SNAPSHOT"},
        {70, "#keyVK_SCROLL"}, {119, "#keyVK_PAUSE"}, {110, "#keyVK_INSERT"}, {102, "#keyVK_HOME"},
        {104, "#keyVK_PRIOR"}, {111, "#keyVK_DELETE"}, {107, "#keyVK_END"}, {109, "#keyVK_NEXT"},
        {103, "#keyVK_UP"}, {108, "#keyVK_DOWN"}, {105, "#keyVK_LEFT"}, {106, "#keyVK_RIGHT"},
        {69, "#keyVK_NUMLOCK"},
        {55, "#key$6A"}, {78, "#key$6B"}, {74, "#key$6D"}, {83, "#key$6E"}, {98, "#key$6F"},
        {82, "#key$60"}, {79, "#key$61"}, {76, "#key$65"}, {73, "#key$69"},
        // the punctuation keys send their own code (they are held while pressed)
        {41, "#key192"}, {12, "#key189"}, {13, "#key187"}, {43, "#key220"}, {51, "#key188"},
        {52, "#key190"}, {53, "#key191"}, {26, "#key219"}, {27, "#key221"},
        // nothing: Enter, Tab, Windows keys, the menu key, ; and '
        {28, ""}, {96, ""}, {15, ""}, {125, ""}, {126, ""}, {127, ""}, {39, ""}, {40, ""},
    };
    for (const Case &c : cases) {
        HeldKeys keys;
        EXPECT_EQ(keys.press(virtualKeyFromScanCode(x11(c.evdev))), QString::fromLatin1(c.line)) << "evdev " << c.evdev;
    }
}

TEST(ScreenKeys, KeyUpLinesOnlyForEnterAndTheModifiers)
{
    struct Case { quint32 evdev; const char *line; };
    const Case cases[] = {
        {28, "#key$0D"}, {96, "#key$0D"}, {42, "#keyVK_SHIFTU"}, {54, "#keyVK_SHIFTU"}, {29, "#keyVK_CONTROLU"},
        {56, "#keyVK_MENUU"}, {30, ""}, {63, ""}, {26, ""}, {57, ""},
    };
    for (const Case &c : cases) {
        HeldKeys keys;
        EXPECT_EQ(keys.release(virtualKeyFromScanCode(x11(c.evdev))), QString::fromLatin1(c.line)) << "evdev " << c.evdev;
    }
}

TEST(ScreenKeys, HeldPunctuationTurnsOtherKeysIntoItsLineInTheTestedOrder)
{
    HeldKeys keys;
    EXPECT_EQ(keys.press(219), QStringLiteral("#key219"));
    EXPECT_EQ(keys.press(116), QStringLiteral("#key219")); // F5 while "[" (Russian х) is held
    EXPECT_EQ(keys.press(32), QStringLiteral("#key219"));
    EXPECT_EQ(keys.press('A'), QStringLiteral("#keyA")); // letters and digits come first
    EXPECT_EQ(keys.press(192), QStringLiteral("#key192")); // 192 is tested before 219
    EXPECT_EQ(keys.press(116), QStringLiteral("#key192"));
    keys.release(192);
    keys.release(219, /*autoRepeat=*/true); // an auto-repeat release: still held
    EXPECT_EQ(keys.press(116), QStringLiteral("#key219"));
    keys.release(219);
    EXPECT_EQ(keys.press(116), QStringLiteral("#keyVK_F5"));
}

TEST(ScreenKeys, ShiftAAndTheRussianLayoutKeyOfX)
{
    HeldKeys keys;
    QStringList lines;
    lines << keys.press(virtualKeyFromScanCode(x11(42))) << keys.press(virtualKeyFromScanCode(x11(30)))
          << keys.release(virtualKeyFromScanCode(x11(30))) << keys.release(virtualKeyFromScanCode(x11(42)));
    lines.removeAll(QString());
    EXPECT_EQ(lines, QStringList({"#keyVK_SHIFTD", "#keyA", "#keyVK_SHIFTU"}));
    // The key right of P, "х" on a Russian layout: its X11 key code is 34.
    EXPECT_EQ(virtualKeyFromScanCode(34), 219);
    EXPECT_EQ(virtualKeyFromScanCode(0), 0);
    EXPECT_EQ(virtualKeyFromScanCode(8), 0);
}

TEST(ScreenKeys, KeypadFollowsNumLockAndKeysWithoutScanCodesGoByTheirQtKey)
{
    struct Case { const char *what; quint32 scanCode; int qtKey; const char *line; };
    const Case cases[] = {
        // Num Lock on: the keypad's digits and decimal key.
        {"keypad 7, Num Lock on", x11(71), Qt::Key_7, "#key$67"},
        {"keypad 0, Num Lock on", x11(82), Qt::Key_0, "#key$60"},
        {"keypad decimal, Num Lock on", x11(83), Qt::Key_Period, "#key$6E"},
        {"keypad decimal, Russian layout", x11(83), Qt::Key_Comma, "#key$6E"},
        // Num Lock off (or Shift held): the keys printed under the digits.
        {"keypad 7, Num Lock off", x11(71), Qt::Key_Home, "#keyVK_HOME"},
        {"keypad 8, Num Lock off", x11(72), Qt::Key_Up, "#keyVK_UP"},
        {"keypad 9, Num Lock off", x11(73), Qt::Key_PageUp, "#keyVK_PRIOR"},
        {"keypad 4, Num Lock off", x11(75), Qt::Key_Left, "#keyVK_LEFT"},
        {"keypad 5, Num Lock off: Clear sends nothing", x11(76), Qt::Key_Clear, ""},
        {"keypad 6, Num Lock off", x11(77), Qt::Key_Right, "#keyVK_RIGHT"},
        {"keypad 1, Num Lock off", x11(79), Qt::Key_End, "#keyVK_END"},
        {"keypad 2, Num Lock off", x11(80), Qt::Key_Down, "#keyVK_DOWN"},
        {"keypad 3, Num Lock off", x11(81), Qt::Key_PageDown, "#keyVK_NEXT"},
        {"keypad 0, Num Lock off", x11(82), Qt::Key_Insert, "#keyVK_INSERT"},
        {"keypad decimal, Num Lock off", x11(83), Qt::Key_Delete, "#keyVK_DELETE"},
        // Keys that are not the keypad's digits keep their place whatever Qt calls them.
        {"keypad /", x11(98), Qt::Key_Slash, "#key$6F"},
        {"the Home key itself", x11(102), Qt::Key_Home, "#keyVK_HOME"},
        {"key right of P, Russian layout", x11(26), 0x0425 /* Cyrillic Ha */, "#key219"},
        // No scan code: by the Qt key.
        {"no scan code: a letter", 0, Qt::Key_Q, "#keyQ"},
        {"no scan code: a digit", 0, Qt::Key_5, "#key5"},
        {"no scan code: F12", 0, Qt::Key_F12, "#keyVK_F12"},
        {"no scan code: Shift", 0, Qt::Key_Shift, "#keyVK_SHIFTD"},
        {"no scan code: Escape", 0, Qt::Key_Escape, "#keyVK_ESCAPE"},
        {"no scan code: Page Down", 0, Qt::Key_PageDown, "#keyVK_NEXT"},
        {"no scan code: an unknown key", 0, Qt::Key_unknown, ""},
    };
    for (const Case &c : cases) {
        HeldKeys keys;
        EXPECT_EQ(keys.press(virtualKeyOf(c.scanCode, c.qtKey)), QString::fromLatin1(c.line)) << c.what;
    }
}

TEST(ScreenKeys, MouseAndCombinationLines)
{
    EXPECT_EQ(mouseLine(MouseLine::LeftDown, 3, 4), QStringLiteral("Lk%D3 , 4"));
    EXPECT_EQ(mouseLine(MouseLine::LeftUp, 0, 1079), QStringLiteral("Lk%U0 , 1079"));
    EXPECT_EQ(mouseLine(MouseLine::RightUp, 10, 20), QStringLiteral("Pk%k10 , 20"));
    EXPECT_EQ(mouseLine(MouseLine::Move, 1919, 7), QStringLiteral("MM%M1919 , 7"));
    EXPECT_EQ(combinationLine(0), QStringLiteral("#keyCTR+ALT+DEL"));
    EXPECT_EQ(combinationLine(1), QStringLiteral("#keyWIN+R"));
    EXPECT_EQ(combinationLine(2), QStringLiteral("#keyWIN+L"));
    EXPECT_EQ(combinationLine(-1), QString());
    EXPECT_EQ(combinationLine(3), QString());
}

} // namespace
