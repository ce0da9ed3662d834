// Key state as the windows that forward keys ask it.

#include "common/ui/KeyState.h"

#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

using namespace dozorix;

TEST(IsKeyDown, FollowsModifiersAndKeys)
{
    QWidget widget;
    widget.show();
    watchKeyboard();

    struct Case {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        int vk;
    };
    const Case cases[] = {
        {Qt::Key_Shift, Qt::ShiftModifier, VK_SHIFT},
        {Qt::Key_Control, Qt::ControlModifier, VK_CONTROL},
        {Qt::Key_Alt, Qt::AltModifier, VK_MENU},
        {Qt::Key_Comma, Qt::NoModifier, 188},
        {Qt::Key_QuoteLeft, Qt::NoModifier, 192},
        {Qt::Key_BracketRight, Qt::NoModifier, 221},
        {Qt::Key_A, Qt::NoModifier, 0x41},
    };
    for (const Case &c : cases) {
        EXPECT_FALSE(IsKeyDown(c.vk)) << c.vk;
        QTest::keyPress(widget.windowHandle(), c.key, c.modifiers);
        EXPECT_TRUE(IsKeyDown(c.vk)) << c.vk;
        QTest::keyRelease(widget.windowHandle(), c.key, Qt::NoModifier);
        EXPECT_FALSE(IsKeyDown(c.vk)) << c.vk;
    }
    EXPECT_FALSE(IsKeyDown(0));
}
