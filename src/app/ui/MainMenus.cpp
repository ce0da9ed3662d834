#include "app/ui/MainMenus.h"

#include "app/ui/TForm1.h"
#include "backup/ui/TForm8.h"
#include "backup/ui/TForm9.h"
#include "infobases/ui/TForm2.h"
#include "monitor/ProcessActions.h"
#include "notify/ui/TForm10.h"
#include "terminal/ScriptTemplates.h"

namespace dozorix {

namespace {

using Kill = ProcessActions::LocalKill;

MenuHandler killLocal(ProcessActions *actions, Kill which)
{
    return [actions, which] { actions->killLocal(which); };
}

// "Сервер 1С ▸ 1С 8.3 | 1С 8.2 | 1С 8.1 ▸ stop, start, restart", the same in
// the main menu and the tray menu but for the command's pattern.
MenuEntry serverSubmenu(ProcessActions *actions, ProcessActions::Pattern pattern)
{
    using V = ProcessActions::Version;
    using Op = ProcessActions::Operation;
    const struct {
        const char *name;
        const char *caption;
        V version;
    } versions[] = {{"server83", "1С 8.3", V::V83}, {"server82", "1С 8.2", V::V82}, {"server81", "1С 8.1", V::V81}};
    const struct {
        const char *name;
        const char *caption;
        Op operation;
    } operations[] = {{"Stop", "Остановить сервер", Op::Stop},
                      {"Start", "Запустить сервер", Op::Start},
                      {"Restart", "Перезапустить сервер", Op::Restart}};
    MenuTable perVersion;
    for (const auto &v : versions) {
        MenuTable commands;
        for (const auto &o : operations) {
            const V version = v.version;
            const Op operation = o.operation;
            commands.push_back(menuItem(QString::fromLatin1(v.name) + QLatin1String(o.name), o.caption,
                                        [actions, version, operation, pattern] {
                                            actions->serviceCommand(version, operation, pattern);
                                        }));
        }
        perVersion.push_back(submenu(v.name, v.caption, std::move(commands)));
    }
    return submenu("server1C", "Сервер 1С", std::move(perVersion));
}

// The bulk session commands of "Сервер терминалов" in the main menu and the
// tray menu (the tray's list has no separators).
MenuTable terminalCommandEntries(TForm1 *window, bool tray)
{
    using B = BulkCommandId;
    const auto item = [window, tray](B id) {
        const BulkCommand &c = bulkCommand(id);
        return menuItem(QString::fromLatin1(c.objectName), tray ? c.trayCaption : c.mainMenuCaption,
                        [window, id, tray] { window->runBulkCommand(id, tray); });
    };
    MenuTable entries{item(B::BlockLogons), item(B::UnblockLogons)};
    if (!tray)
        entries.push_back(menuSeparator());
    entries.push_back(item(B::LogoffDisconnectedSessions));
    entries.push_back(item(B::ResetDisconnectedSessions));
    if (!tray)
        entries.push_back(menuSeparator());
    for (B id : {B::DisconnectSessions, B::LogoffSessions, B::ResetSessions})
        entries.push_back(item(id));
    return entries;
}

// "Резервное копирование": the profiles, the backup settings and the runner,
// the same in the main menu and the tray menu.
MenuEntry backupSubmenu(TForm1 *window)
{
    const MenuHandler run = window->form8() ? MenuHandler([window] { window->form8()->openModal(); }) : MenuHandler();
    return submenu("backupMenu", "Резервное копирование", {
        menuItem("backupProfiles", "Профили информационных баз", [window] { OpenProfileEditor(window); }),
        menuItem("backupSettings", "Настройки резервного копирования", [window] { TForm9::openModal(window); }),
        menuSeparator(),
        menuItem("backupRun", "Быстрый \"бэкап\"", run),
        menuSeparator(),
        menuItem("infobaseProbe", "Проверить подключение к информационным базам", [window] { window->probeInfobasesNow(); }),
        menuItem("infobaseDropAll", "Отключить все COM-соединения", [window] { window->COM171Click(); }),
    });
}

// Opens a remote screen window (control or view) from a menu; disabled
// before the window exists.
MenuHandler screenMenuHandler(TForm1 *window, bool control)
{
    return window->screenWindow(control) ? MenuHandler([window, control] { window->openScreenWindow(control, false); })
                                         : MenuHandler();
}

} // namespace

// The settings dialog is made by createOtherWindows: the menu bar is built
// again then, which gives "Настройка ▸ Dozorix" its handler.
MenuTable mainMenuTable(TForm1 &window)
{
    TForm1 *w = &window;
    ProcessActions *actions = w->processActions();
    const MenuHandler openSettings = w->form10() ? MenuHandler([w] { w->form10()->exec(); }) : MenuHandler();
    return {
        submenu("menuProgram", "Dozorix", {
            menuItem("exit", "Выход", [w] { w->ShutdownProgram(); }),
        }),
        submenu("menuSettings", "Настройка", {
            menuItem("settingsDozorix", "Dozorix", openSettings),
        }),
        submenu("menuService", "Сервис", {
            menuItem("killAll1C", "Завершить все процессы 1С, (Сервер 1С, 1С Предприятие) на этом Сервере/ПК.", killLocal(actions, Kill::All1C)),
            menuItem("killClients8", "Завершить все процессы 1С v8", killLocal(actions, Kill::Clients8)),
            menuItem("killClients7", "Аварийно завершить работу пользователей в 1С v 7 на этом сервере / ПК", killLocal(actions, Kill::Clients7)),
            menuItem("killServers", "Завершить все процессы Сервера 1С на этом сервере/ПК.", killLocal(actions, Kill::Servers)),
            menuItem("resetByLogin", "Завершить процесс 1С v8 (По Логину пользователя)", [w] { w->openResetByLogin(); }),
            menuItem("resetRemoteUser", "Завершить процессы 1С v8 удаленного пользователя.", [w] { w->openResetRemoteUser(); }),
            menuSeparator(),
            menuItem("messageToAll", "Отправить сообщение ", [w] { w->openMessageWindow(TForm1::MessageMode::TerminalSessions); }),
            menuSeparator(),
            serverSubmenu(actions, ProcessActions::Pattern::MainMenu),
            menuSeparator(),
            submenu("terminalServer", "Сервер терминалов", terminalCommandEntries(w, false)),
            menuSeparator(),
            backupSubmenu(w),
            menuSeparator(),
            menuItem("viewScreen", "Смотреть экран пользователя", screenMenuHandler(w, false)),
            menuItem("controlScreen", "Смотреть экран пользователя (Управление)", screenMenuHandler(w, true)),
        }),
    };
}

MenuTable trayMenuTable(TForm1 &window)
{
    TForm1 *w = &window;
    ProcessActions *actions = w->processActions();
    return {
        menuItem("killAll1C", "Завершить все процессы 1С, (Сервер 1С, 1С Предприятие) на этом Сервере/ПК.", killLocal(actions, Kill::All1C)),
        menuItem("killClients8", "Завершить все процессы 1С Предприятия  на этом Сервере/ПК.", killLocal(actions, Kill::Clients8)),
        menuItem("killClients7", "Аварийное завершение работы пользователей в 1С v7", killLocal(actions, Kill::Clients7)),
        menuItem("killServers", "Завершить все процессы Сервера 1С на этом сервере/ПК.", killLocal(actions, Kill::Servers)),
        menuItem("resetByLogin", "Завершить процесс 1С v8 (По Логину пользователя)", [w] { w->openResetByLogin(); }),
        menuItem("resetRemoteUser", "Завершить работу удаленного пользователя в 1С.", [w] { w->openResetRemoteUser(); }),
        menuSeparator(),
        menuItem("messageToAll", "Отправить сообщение ", [w] {
            w->ClienServerCh = false;
            w->openMessageWindow(TForm1::MessageMode::TerminalSessions);
        }),
        menuSeparator(),
        serverSubmenu(actions, ProcessActions::Pattern::Tray),
        menuSeparator(),
        submenu("terminalServer", "Сервер терминалов", terminalCommandEntries(w, true)),
        menuSeparator(),
        backupSubmenu(w),
        menuSeparator(),
        menuItem("viewScreen", "Смотреть экран пользователя", screenMenuHandler(w, false)),
        menuItem("controlScreen", "Смотреть экран пользователя (Управление)", screenMenuHandler(w, true)),
        menuSeparator(),
        menuItem("maximise", "Развернуть на весь экран", [w] { w->maximiseFromTray(); }),
        menuItem("exit", "Выход", [w] { w->exitFromTray(); }),
    };
}

} // namespace dozorix
