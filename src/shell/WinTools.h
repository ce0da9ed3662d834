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
// Drives the service through ServiceManager and reports like Windows.
int netCommand(CmdContext &ctx);

// Registration of each tool with the interpreter (BuiltinTools.cpp calls them).
void registerTaskkill();
void registerNet();

// True when the image name matches a taskkill pattern (see above).
bool imageMatches(const QString &pattern, const QString &nativeName);
// The name as taskkill prints it: with ".exe" unless it has it already.
QString windowsImageName(const QString &nativeName);

} // namespace dozorix
