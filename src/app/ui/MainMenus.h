#pragma once
// Every command of the main window's menu bar and of its tray menu, on one
// page: the tables the two menus are built from (common/ui/MenuTable.h), each
// item with its object name, its caption and what it does. An item whose
// window does not exist yet (before createOtherWindows) is disabled. The
// popups of the panels (process list, online users, session list, log) stay
// with their panels.

#include "common/ui/MenuTable.h"

namespace dozorix {

class TForm1;

// The menu bar: "Dozorix", "Настройка", "Сервис".
MenuTable mainMenuTable(TForm1 &window);
// The tray icon's menu.
MenuTable trayMenuTable(TForm1 &window);

} // namespace dozorix
