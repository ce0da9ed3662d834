#pragma once
// The Windows command-line tools the program calls, as built-in commands of
// the command interpreter with Linux implementations. Each writes what the
// Windows tool writes (in Russian, CR LF line ends): results on standard
// output, errors on standard error, so that "> temp.txt" captures only the
// results, as on Windows.

#include <QString>
#include <QStringList>

namespace dozorix {

class CmdContext;

// taskkill [/S host [/U user [/P [password]]]] {[/FI filter] [/PID pid | /IM image]} [/T] [/F]
//
// Ends processes of this computer through ProcessTable/ProcessControl.
// Image patterns take * and ? and match, without regard to case, both the
// native name and the name with ".exe" ("rphost*", "rphost.exe" and
// "RPHOST.EXE" all match a native "rphost"); names are printed in the ".exe"
// form. /F sends SIGKILL, otherwise SIGTERM; /T ends the whole tree,
// children first. Filters: IMAGENAME, USERNAME ([domain\]user), PID and
// MEMUSAGE (KB) with eq/ne (and gt/lt/ge/le for numbers). Our own process,
// PID 1, zombies and kernel threads are never ended. /S answers as Windows
// does for a host it cannot reach.
int taskkillCommand(CmdContext &ctx);

// net stop "<service>" | net start "<service>"
//
// Drives the service through ServiceManager and reports like Windows, with
// one line more per unit the service stands for: "Остановлен <unit>" /
// "Запущен <unit>" on the output, "Не удалось остановить <unit>: <reason>"
// on the errors, and the service manager's own explanation (systemd not
// running) in place of "Сервер RPC недоступен.". Exit code 2 on any failure.
int netCommand(CmdContext &ctx);

// reg add    "[\\HOST\]HKLM\SYSTEM\CurrentControlSet\Control\Terminal Server" /v WinStationsDisabled /t REG_SZ /d 1|0 /f
// reg delete <same key> /v WinStationsDisabled /f
// reg query  <same key> [/v WinStationsDisabled]
//
// The one registry value the console sets on a terminal server: whether new
// logons are refused. Here it is the nologin file (nologinPath()), which
// pam_nologin honours: while it exists every logon but root's is refused and
// its text is shown. /d 1 writes it (a regular file only, never through a
// symbolic link), /d 0 and delete remove it (a missing file is fine), query
// prints "WinStationsDisabled    REG_SZ    1" while it exists, else 0.
// After /d 1 succeeded, the lines of nologinWarnings (PamNologin.h) follow
// "Операция успешно завершена." on standard output: which installed session
// server's PAM stack ignores the file, and that ssh keeps administrators
// other than root out while it exists. HOST
// must name this host (isThisHost) or be absent; another host gives
// "ОШИБКА: Сетевой путь не найден.", any other key or value "ОШИБКА: Не
// удается найти указанный раздел или параметр реестра.", each with exit 1.
int regCommand(CmdContext &ctx);
// $DOZORIX_NOLOGIN, or /run/nologin.
QString nologinPath();

// Registration of each tool with the interpreter (BuiltinTools.cpp calls them).
void registerTaskkill();
void registerNet();
void registerReg();

// True when the image name matches a taskkill pattern (see above).
bool imageMatches(const QString &pattern, const QString &nativeName);
// The name as taskkill prints it: with ".exe" unless it has it already.
QString windowsImageName(const QString &nativeName);

} // namespace dozorix
