#pragma once
// The Windows session tools, built into the command interpreter over
// SessionManager (see WinTools.h for how the built-ins write). Like the
// other built-in Windows tools they write errors in Russian on standard
// error, in the active code page, and never start a shell.
//
//   query user [user | session | ID] [/server X | /server:X]
//   tsdiscon  ID [/server X] [/v]      disconnect the session, keeping its programs
//   logoff    ID [/server X] [/v]      end the session (log off)
//   rwinsta   ID [/server X] [/v]      kill every process of the session (reset)
//   msg       {ID|*} [/server:X] [/time:N] [/v] [/w] text
//   mstsc     /v ADDRESS ID /shadow [/control] /NoConsentPrompt
//
// Only this host is served (isThisHost); any other server gets the answer
// Windows gives for a server whose RPC server it cannot reach.
// The ID is a number from the table of "query user", or a session name
// (the terminal) that names exactly one session.
//
// tsdiscon disconnects only where the session's server can (an X2Go
// session is suspended, see SessionManager::disconnect); any other session
// is left alone and the answer is Windows' "not supported" (error 50) with
// one more line that says why, the tool ending with 1. A failure of the
// server's tool adds that tool's words.
//
// The table: a header line, then one line per session, the user name, the
// session name, the ID, the state ("Активно" or "Диск"), the idle time
// ("." under a minute or unknown, "M", "H:MM", "D+HH:MM") and the logon time
// ("dd.MM.yyyy HH:mm"). User and session names are one field each: blanks
// and control characters in them are printed as "_", so that the table splits
// into the same fields whatever the names hold.

#include "common/Platform.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace dozorix {

class CmdContext;

int queryCommand(CmdContext &ctx);
int tsdisconCommand(CmdContext &ctx);
int logoffCommand(CmdContext &ctx);
int rwinstaCommand(CmdContext &ctx);

// Registration with the interpreter (BuiltinTools.cpp calls them).
void registerSessionTools();
void registerMsg();
void registerMstsc();

// The table "query user" prints for these sessions (CR LF line ends).
QString sessionTable(const std::vector<SessionInfo> &sessions);
// The idle time as Windows prints it.
QString idleTimeText(qint64 idleSeconds);
// True when the server text names this host: ".", "localhost", any
// 127.x.x.x, ::1 (also in brackets), the host name (short or full, any case),
// the computer name, or any address of its network interfaces. An empty text
// names no host ("query user /server " with nothing after it fails).
bool isThisHost(const QString &server);

// For this host the text goes to every terminal of the target sessions, the
// way wall(1) writes (a header line, then the text), and to the desktop of
// every graphical target session whose session bus can be reached
// (org.freedesktop.Notifications, best effort, never waited for). Without
// /server the message is for this host.
int msgCommand(CmdContext &ctx);

// Starts the RDP client found in PATH, xfreerdp or else remmina, with the
// server ("/v ADDRESS" or "/v:ADDRESS"), and does not wait for it. FreeRDP's
// client has no way to pick a session on the server, so the session ID and
// the view/control choice go into the window title ("/t:"); remmina gets
// "-c rdp://ADDRESS".
int mstscCommand(CmdContext &ctx);

// What msg writes on a terminal: the header line and the text with CR LF and
// lone CR made LF and every other control character (escape sequences
// included) made a blank, so that a message can never drive the terminal.
QString terminalMessage(const QString &from, const QString &text, const QString &stamp);
QString sanitizeMessageText(const QString &text);

// Writes bytes to a terminal device without ever blocking: the path must lie
// under /dev/ ("pts/3" means /dev/pts/3) and be a terminal reached without a
// symbolic link (no other character device). True when everything was written.
bool writeToTerminal(const QString &device, const QByteArray &bytes);

// The session bus of a user: <runtimeRoot>/<uid>/bus when it is a socket
// owned by that uid; empty otherwise.
QString userSessionBus(quint32 uid, const QString &runtimeRoot = QStringLiteral("/run/user"));

// Shows the text as a desktop notification through the bus at busPath
// (gdbus, as the bus's user when we are root, a one-second call, killed
// after three seconds in all). Does not wait; returns the pid of the started
// helper, or -1 when none was started.
qint64 notifyDesktop(const QString &busPath, quint32 uid, const QString &title, const QString &text);

} // namespace dozorix
