#include "common/ui/WindowPlacement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace dozorix {

void centerOnDesktop(QWidget *window)
{
    QScreen *desktop = window->parentWidget() ? window->parentWidget()->screen() : nullptr;
    if (!desktop)
        desktop = QGuiApplication::primaryScreen();
    if (!desktop)
        return;
    QRect frame(QPoint(), window->frameGeometry().size());
    frame.moveCenter(desktop->availableGeometry().center());
    window->move(frame.topLeft());
}

} // namespace dozorix
