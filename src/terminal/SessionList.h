#pragma once
// The session list of the terminal server: what "query user" prints for the
// address of the field "IP сервера:", and the three counters worked out from
// that text.

#include "shell/CommandLine.h"

#include <QString>

namespace dozorix {

struct SessionCounts {
    int active = 0;       // "Активно" / "Active"
    int disconnected = 0; // "Диск" / "Disc"
    int total() const { return active + disconnected; }
};

// Splits the text at every single blank (consecutive blanks give empty
// pieces, line breaks do not split) and counts the pieces that are exactly
// one of the state words. A user whose name is "Active" counts, as on
// Windows.
SessionCounts countSessionStates(const QString &text);

// "query user /server " + the address, unchanged (an empty address leaves
// nothing after "/server "); the address is one value that never splits
// into more arguments or commands.
CommandLine sessionQueryCommand(const QString &address);

// Runs the query in the directory "C:\" and returns its output decoded from
// the console code page and trimmed at both ends: what the list shows,
// errors included.
QString querySessionList(const QString &address);

// The number of lines of the list text (0 for no text), as the online
// counter counts them.
int sessionListLineCount(const QString &text);

// `CheckIpTerminal` without the field: the address the field shows after
// it. When the settings file does not exist, the field's text is kept and
// nothing is written. Otherwise the address stored in section "IPTerminal",
// key "setting" wins; with none stored the host's own address (GetLocalIp)
// is used; the result is written back to the key.
QString CheckIpTerminal(const QString &fieldText);

// "Подключить": stores the address under "IPTerminal", "setting", creating
// the settings file when it does not exist. False when the save failed (it
// is reported in the event log).
bool storeTerminalAddress(const QString &address);

} // namespace dozorix
