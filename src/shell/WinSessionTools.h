#pragma once
// The session-message and shadowing tools of the command interpreter: "msg"
// and "mstsc", with Linux implementations. Like the other built-in Windows
// tools they write errors in Russian on standard error, in the active code
// page, and never start a shell.

#include <QString>
#include <QStringList>

#include <vector>

namespace dozorix {

class CmdContext;
struct SessionInfo;

// msg {ID|*} [/server:host] [/time:N] [/v] [/w] text
//
// For this host (see isThisHost) the text goes to every terminal of the
// target sessions, the way wall(1) writes (a header line, then the text), and
// to the desktop of every graphical target session whose session bus can be
// reached (org.freedesktop.Notifications, best effort, never waited for).
// Another host answers as Windows does for a server it cannot reach.
int msgCommand(CmdContext &ctx);

// mstsc /v ADDRESS ID /shadow [/control] /NoConsentPrompt   (also "/v:ADDRESS")
//
// Starts the RDP client found in PATH, xfreerdp or else remmina, with the
// server, and does not wait for it. FreeRDP's client has no way to pick a
// session on the server, so the session ID and the view/control choice go
// into the window title ("/t:"); remmina gets "-c rdp://ADDRESS".
int mstscCommand(CmdContext &ctx);

void registerMsg();
void registerMstsc();

// True when the server text names this host: empty, ".", "localhost",
// 127.0.0.1 (any 127.x.x.x), ::1, the host name (short or full, any case) or
// any address of its network interfaces.
bool isThisHost(const QString &server);

// What msg writes on a terminal: the header line and the text with CR LF and
// lone CR made LF and every other control character (escape sequences
// included) made a blank, so that a message can never drive the terminal.
QString terminalMessage(const QString &from, const QString &text, const QString &stamp);
QString sanitizeMessageText(const QString &text);

// Writes bytes to a terminal device without ever blocking: the path must lie
// under /dev/ ("pts/3" means /dev/pts/3) and be a character device reached
// without a symbolic link.
// True when everything was written.
bool writeToTerminal(const QString &device, const QByteArray &bytes);

// The session bus of a user: <runtimeRoot>/<uid>/bus when it is a socket
// owned by that uid; empty otherwise.
QString userSessionBus(quint32 uid, const QString &runtimeRoot = QStringLiteral("/run/user"));

// Shows the text as a desktop notification through the bus at busPath
// (gdbus, as the bus's user when we are root, a one-second call, killed
// after three seconds in all). Does not
// wait; returns the pid of the started helper, or -1 when none was started.
qint64 notifyDesktop(const QString &busPath, quint32 uid, const QString &title, const QString &text);

} // namespace dozorix
