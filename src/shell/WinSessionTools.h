#pragma once
// The Windows session tools, built into the command interpreter over
// SessionManager (see WinTools.h for how the built-ins write):
//
//   query user [user | session | ID] [/server X | /server:X]
//   tsdiscon  ID [/server X] [/v]      lock the session (disconnect)
//   logoff    ID [/server X] [/v]      end the session (log off)
//   rwinsta   ID [/server X] [/v]      kill every process of the session (reset)
//
// Only this host is served: its host name (short or full), any address of
// its interfaces, any 127.x.x.x, ::1 and "localhost"; any other server gets
// the answer Windows gives for a server whose RPC server it cannot reach.
// The ID is a number from the table of "query user", or a session name
// (the terminal) that names exactly one session.
//
// The table: a header line, then one line per session, the user name, the
// session name, the ID, the state ("Активно" or "Диск"), the idle time
// ("." under a minute or unknown, "M", "H:MM", "D+HH:MM") and the logon time
// ("dd.MM.yyyy HH:mm"). User and session names are one field each: blanks
// and control characters in them are printed as "_", so that the table splits
// into the same fields whatever the names hold.

#include "Platform.h"

#include <QString>

#include <vector>

namespace dozorix {

class CmdContext;

int queryCommand(CmdContext &ctx);
int tsdisconCommand(CmdContext &ctx);
int logoffCommand(CmdContext &ctx);
int rwinstaCommand(CmdContext &ctx);

// Registration with the interpreter (BuiltinTools.cpp calls it).
void registerSessionTools();

// The table "query user" prints for these sessions (CR LF line ends).
QString sessionTable(const std::vector<SessionInfo> &sessions);
// The idle time as Windows prints it.
QString idleTimeText(qint64 idleSeconds);
// True when the server text names this host.
bool isThisHost(const QString &server);

} // namespace dozorix
