#pragma once
// Small system helpers with the Windows contracts of the program, implemented
// by the platform layer (src/platform/<os>/). Free functions without state,
// called on the user-interface thread.

#include <QString>
#include <QStringList>

namespace dozorix {

// "SeDebugPrivilege": true when this process may signal and inspect other
// users' processes (CAP_KILL and CAP_SYS_PTRACE in effect, raised from the
// permitted set when needed). Disabling reports the same and changes
// nothing: capabilities belong to threads on Linux, and the program never
// drops them. Any other privilege name gives false.
bool EnablePrivilege(const QString &privilege, bool enable);

// Autostart at log-in: $XDG_CONFIG_HOME (default ~/.config)/autostart/
// Dozorix.desktop starting the program's full path. Disabling removes the
// entry; when there is none, nothing happens.
void SetAutorun(bool enable);

// Where 1C installs on Linux: /opt (the designer then lies under
// /opt/1cv8/...). Empty when the folder does not exist.
QString GetProgramFilesDir();

// The host name without its domain part, at most 256 characters; empty on failure.
QString GetComputerNameText();

// The account the program runs as, at most 252 characters; empty on failure.
QString GetUserNameText();

// The desktop folder (XDG), or the home folder when there is no desktop
// folder. Leaves dir unchanged and returns false when neither exists.
bool GetDesktopDir(QString &dir);

// The directory under which the Windows tools are addressed: /usr/bin.
// Callers append "\msg.exe" and the like; RunProgram recognises the tool by
// its file name, so the directory only has to exist.
QString GetSystemDir();

// The first IPv4 address of the host's own name, dotted. Loopback answers
// (Debian maps the host name to 127.0.1.1) and a name that does not resolve
// at all (containers, cloud images without an /etc/hosts entry) give way to
// the first address of an interface that is up, as Windows answers with the
// LAN address; a machine with no such interface answers 127.0.0.1.
QString GetLocalIp();

// The choice GetLocalIp makes, from the first IPv4 address the host name
// resolves to (empty when it does not resolve) and the IPv4 addresses of the
// interfaces that are up, in their order: a resolved address that is not
// loopback; else the first interface address that is not loopback; else the
// resolved address; else 127.0.0.1.
QString chooseLocalIp(const QString &resolved, const QStringList &interfaceAddresses);

// Copies a file or a folder tree, silently, overwriting. An existing folder
// as the destination receives the source inside it; otherwise the
// destination becomes the copy. True on success.
bool ShellCopy(const QString &source, const QString &destination);

// The Exec= value of a desktop entry that starts the given program: quoted
// and escaped by the Desktop Entry rules when it needs to be.
QString desktopEntryExec(const QString &program);

} // namespace dozorix
