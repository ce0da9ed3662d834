#pragma once
// Messages to users: to terminal-server sessions through msg, and the notice
// the backup runner sends to every session of this computer
// (SendUserNotice). The agent modes of the message window go through the
// agent server and live with the window.

#include "shell/CommandLine.h"

#include <QString>

#include <functional>

namespace dozorix {

// The text as it is sent: every CR and every LF becomes one blank (so a
// line break becomes two).
QString flattenMessageText(const QString &text);
// The same for the text of a multi-line box, whose lines end in LF here but
// in CR LF in the Windows box users type into: each line break becomes two
// blanks.
QString flattenBoxText(const QString &boxText);

// "T /server:ADDRESS \"text\"" for one target: the target, the address and
// the text are values (a quote in the text is a plain character).
CommandLine msgParameters(const QString &target, const QString &address, const QString &text);

// "Сообщение отправлено: \"text\" " and its per-ID and all-users forms.
QString messageSentLine(const QString &text);

struct TerminalMessageEnvironment {
    // Starts msg (not waited for); the default is RunProgram.
    std::function<void(const QString &path, const CommandLine &parameters, const QString &directory)> start;
    // One line per message (stamped by the caller) and one balloon with the same words.
    std::function<void(const QString &text)> sent;
    // A red line (stamped by the caller).
    std::function<void(const QString &text)> refused;
};
TerminalMessageEnvironment defaultTerminalMessageEnvironment();

// "Отправить сообщение" in the terminal-session mode. ids and address as
// the fields hold them (trimmed here); text already flattened. With an
// empty text no program is started, but the lines are written.
void sendTerminalMessages(const QString &ids, const QString &address, const QString &text,
                          const TerminalMessageEnvironment &env);

// The parameters of the notice's shell command: "/C  chcp 1251 && msg *
// /server:COMPUTER \"text\" ".
CommandLine userNoticeParameters(const QString &computer, const QString &text);

// Sends the text to every session of this computer through the shell, not
// waited for, and logs in the event log that it was sent (in red that it
// was not, for an empty text).
void SendUserNotice(const QString &text);

} // namespace dozorix
