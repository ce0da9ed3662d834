#include "common/ui/MenuTable.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace dozorix {

MenuEntry menuItem(QString name, QString caption, MenuHandler handler)
{
    MenuEntry e;
    e.kind = MenuEntry::Kind::Item;
    e.name = std::move(name);
    e.caption = std::move(caption);
    e.handler = std::move(handler);
    return e;
}

MenuEntry menuSeparator()
{
    MenuEntry e;
    e.kind = MenuEntry::Kind::Separator;
    return e;
}

MenuEntry submenu(QString name, QString caption, MenuTable children)
{
    MenuEntry e;
    e.kind = MenuEntry::Kind::Submenu;
    e.name = std::move(name);
    e.caption = std::move(caption);
    e.children = std::move(children);
    return e;
}

namespace {

// Takes out everything an earlier build put into the menu. The actions and
// submenus it made are deleted later rather than at once, so that a handler
// may rebuild the very menu whose item it runs from.
void clearBuilt(QWidget *menu)
{
    for (QAction *a : menu->actions()) {
        menu->removeAction(a);
        if (QMenu *sub = a->menu(); sub && sub->parent() == menu) {
            sub->setParent(nullptr);
            sub->deleteLater();
        } else if (a->parent() == menu) {
            a->setParent(nullptr);
            a->deleteLater();
        }
    }
}

// QMenu and QMenuBar offer the same calls without a common base.
template <typename Menu>
void fill(Menu *menu, const MenuTable &table)
{
    for (const MenuEntry &e : table) {
        switch (e.kind) {
        case MenuEntry::Kind::Separator:
            menu->addSeparator();
            break;
        case MenuEntry::Kind::Submenu: {
            QMenu *sub = menu->addMenu(e.caption);
            sub->setObjectName(e.name);
            sub->menuAction()->setObjectName(e.name);
            fill(sub, e.children);
            break;
        }
        case MenuEntry::Kind::Item: {
            QAction *a = menu->addAction(e.caption);
            a->setObjectName(e.name);
            if (e.handler)
                QObject::connect(a, &QAction::triggered, a, [handler = e.handler] { handler(); });
            else
                a->setEnabled(false);
            break;
        }
        }
    }
}

QAction *findIn(const QList<QAction *> &actions, const QString &name)
{
    for (QAction *a : actions) {
        if (a->isSeparator())
            continue;
        if (a->objectName() == name)
            return a;
        if (QMenu *sub = a->menu()) {
            if (QAction *inner = findIn(sub->actions(), name))
                return inner;
        }
    }
    return nullptr;
}

} // namespace

void buildMenu(QMenu *menu, const MenuTable &table)
{
    clearBuilt(menu);
    fill(menu, table);
}

void buildMenuBar(QMenuBar *bar, const MenuTable &table)
{
    clearBuilt(bar);
    fill(bar, table);
}

QAction *findMenuAction(const QWidget *menu, const QString &name)
{
    return menu ? findIn(menu->actions(), name) : nullptr;
}

} // namespace dozorix
