#pragma once
// Menus as text for the tests. menuOutline gives one line per entry in
// order: "-" for a separator, "name: caption" for an item, with " (off)"
// when it is disabled, and "name: caption >" for a submenu, whose entries
// follow indented by two blanks. menuNames gives the objectName of every
// entry that is not a separator, submenus included; badMenuNames those that
// are not ASCII identifiers or not unique within the menu.

#include <QAction>
#include <QMenu>
#include <QStringList>
#include <QWidget>

namespace dozorix::test {

inline QStringList menuOutline(const QWidget *menu, int depth = 0)
{
    QStringList out;
    const QString indent(depth * 2, QLatin1Char(' '));
    for (QAction *a : menu->actions()) {
        if (a->isSeparator()) {
            out << indent + QStringLiteral("-");
            continue;
        }
        const QString entry = indent + a->objectName() + QStringLiteral(": ") + a->text();
        if (QMenu *sub = a->menu()) {
            out << entry + QStringLiteral(" >");
            out << menuOutline(sub, depth + 1);
        } else {
            out << entry + (a->isEnabled() ? QString() : QStringLiteral(" (off)"));
        }
    }
    return out;
}

inline QStringList menuNames(const QWidget *menu)
{
    QStringList out;
    for (QAction *a : menu->actions()) {
        if (a->isSeparator())
            continue;
        out << a->objectName();
        if (QMenu *sub = a->menu())
            out << menuNames(sub);
    }
    return out;
}

// The names of a menu that are not plain ASCII identifiers or that stand
// more than once; empty for a well-named menu.
inline QStringList badMenuNames(const QWidget *menu)
{
    QStringList bad;
    QStringList seen;
    for (const QString &name : menuNames(menu)) {
        bool plain = !name.isEmpty() && name.front().isLetter();
        for (QChar c : name)
            plain = plain && c.unicode() < 0x80 && c.isLetterOrNumber();
        if (!plain || seen.contains(name))
            bad << name;
        seen << name;
    }
    return bad;
}

} // namespace dozorix::test
