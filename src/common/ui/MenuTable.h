#pragma once
// Menus built from tables. Each menu (a menu bar, the tray menu, a popup)
// is written once as a table of entries in their order: an item, a
// separator or a submenu with its own entries. An item carries a stable
// ASCII objectName (unique within its menu; tests and callers find items by
// it), its caption exactly as shown, and its handler. An item whose handler
// is empty is shown disabled: the action it stands for does not exist yet.
//
//     buildMenu(menu, {
//         menuItem("clearLog", "Очистить", [this] { clearLog(); }),
//         menuSeparator(),
//         submenu("more", "Ещё", {menuItem("later", "Позже", {})}),
//     });

#include <QString>

#include <functional>
#include <vector>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace dozorix {

using MenuHandler = std::function<void()>;

struct MenuEntry {
    enum class Kind { Item, Separator, Submenu };

    Kind kind = Kind::Item;
    QString name;                    // objectName of the action (and of the submenu)
    QString caption;                 // the text shown
    MenuHandler handler;             // empty: the item is disabled
    std::vector<MenuEntry> children; // a submenu's entries
};

using MenuTable = std::vector<MenuEntry>;

MenuEntry menuItem(QString name, QString caption, MenuHandler handler);
MenuEntry menuSeparator();
MenuEntry submenu(QString name, QString caption, MenuTable children);

// Fills the menu from the table. What an earlier call built into the same
// menu is taken out first, so a table that depends on the window's state
// (a handler given only once its dialog exists) is built again after a
// change of that state.
void buildMenu(QMenu *menu, const MenuTable &table);
// The same for a menu bar; its entries are usually submenus.
void buildMenuBar(QMenuBar *bar, const MenuTable &table);

// The action with this objectName in a menu or menu bar, looked for through
// its submenus too (for a submenu: the action that opens it); null if none.
QAction *findMenuAction(const QWidget *menu, const QString &name);

} // namespace dozorix
