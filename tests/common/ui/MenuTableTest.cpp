// Menus built from tables, in a plain menu and in a menu bar: order,
// separators, submenus, names, items without a handler disabled, and a menu
// built again holding only its new entries, even when the rebuild comes from
// one of its own items.
#include "common/ui/MenuTable.h"
#include "support/MenuOutline.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>

#include <gtest/gtest.h>

#include <memory>

using namespace dozorix;
using namespace dozorix::test;

namespace {

// One menu of each kind, filled by the builder that fits it.
struct Target {
    const char *kind;
    std::unique_ptr<QWidget> widget;
    void build(const MenuTable &table)
    {
        if (auto *bar = qobject_cast<QMenuBar *>(widget.get()))
            buildMenuBar(bar, table);
        else
            buildMenu(static_cast<QMenu *>(widget.get()), table);
    }
};

std::vector<Target> targets()
{
    std::vector<Target> out;
    out.push_back({"menu", std::make_unique<QMenu>()});
    out.push_back({"menu bar", std::make_unique<QMenuBar>()});
    return out;
}

} // namespace

TEST(MenuTable, BuildsEntriesInOrderAndDisablesItemsWithoutHandler)
{
    for (Target &t : targets()) {
        SCOPED_TRACE(t.kind);
        QStringList ran;
        t.build({
            menuItem("first", "Первый", [&] { ran << QStringLiteral("first"); }),
            menuSeparator(),
            submenu("group", "Группа ", {
                menuItem("inner", "Внутри  двойной", [&] { ran << QStringLiteral("inner"); }),
                menuItem("later", "Позже", {}),
            }),
            menuItem("off", "Выключен", {}),
        });
        EXPECT_EQ(menuOutline(t.widget.get()), (QStringList{"first: Первый", "-", "group: Группа  >",
                                                           "  inner: Внутри  двойной", "  later: Позже (off)",
                                                           "off: Выключен (off)"}));
        for (const char *name : {"first", "inner", "later", "off"}) {
            QAction *a = findMenuAction(t.widget.get(), QString::fromUtf8(name));
            ASSERT_NE(a, nullptr) << name;
            a->trigger(); // a disabled item runs nothing
        }
        EXPECT_EQ(ran, (QStringList{"first", "inner"}));
        EXPECT_EQ(findMenuAction(t.widget.get(), QStringLiteral("missing")), nullptr);
    }
}

TEST(MenuTable, BuildingAgainReplacesWhatTheLastBuildMade)
{
    for (Target &t : targets()) {
        SCOPED_TRACE(t.kind);
        int runs = 0;
        t.build({
            menuItem("item", "Пункт", {}),
            submenu("group", "Группа", {menuItem("inner", "Внутри", {})}),
        });
        QPointer<QAction> oldInner = findMenuAction(t.widget.get(), QStringLiteral("inner"));
        ASSERT_TRUE(oldInner);
        t.build({
            menuItem("item", "Пункт", [&] { ++runs; }),
            submenu("group", "Группа", {menuItem("inner", "Внутри", [&] { ++runs; })}),
        });
        EXPECT_EQ(menuOutline(t.widget.get()), (QStringList{"item: Пункт", "group: Группа >", "  inner: Внутри"}));
        // Nothing of the first build is left among the menu's objects.
        for (const char *name : {"item", "inner"})
            EXPECT_EQ(t.widget->findChildren<QAction *>(QString::fromUtf8(name)).size(), 1) << name;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_FALSE(oldInner);
        findMenuAction(t.widget.get(), QStringLiteral("inner"))->trigger();
        EXPECT_EQ(runs, 1);
    }
}

TEST(MenuTable, AnItemMayBuildItsOwnMenuAgain)
{
    QMenu menu;
    int builds = 0;
    std::function<void()> rebuild = [&] {
        ++builds;
        buildMenu(&menu, {menuItem("again", QStringLiteral("Снова %1").arg(builds), rebuild)});
    };
    rebuild();
    for (int i = 0; i < 3; ++i)
        findMenuAction(&menu, QStringLiteral("again"))->trigger();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(menuOutline(&menu), QStringList{"again: Снова 4"});
    EXPECT_EQ(menu.findChildren<QAction *>(QStringLiteral("again")).size(), 1);
}
