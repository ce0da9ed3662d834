#pragma once
// The bulk session commands: each fills a script template from the folder
// Templates of the program directory with the terminal-server address,
// writes it into the folder Script and runs a script from there (our
// command interpreter runs .cmd files; see CmdInterpreter.h).
//
// A template is read in the encoding its byte-order mark names (UTF-8,
// UTF-16 LE or BE); without one, as UTF-8 when it is valid UTF-8 and holds
// more than ASCII, otherwise in Windows-1251, the code page of the servers
// these scripts come from (every byte of it reads back unchanged). The
// script is written in the same encoding, with the same mark, and with
// CR LF after every line.

#include "common/TextCodec.h"
#include "shell/CommandRunner.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace dozorix {

enum class BulkCommandId {
    BlockLogons,
    UnblockLogons,
    DisconnectSessions,
    LogoffSessions,
    ResetSessions,
    LogoffDisconnectedSessions,
    ResetDisconnectedSessions,
};

enum class PlaceholderValue {
    UncServer,    // "[Dz_s_reg]" -> "\\" + address
    ServerSwitch, // "[Dz_s]" -> "/server " + address
    BareAddress,  // "[Dz_s]" -> address
};

enum class RefreshRule { Never, Always, OnSuccess };

struct BulkCommand {
    BulkCommandId id;
    const char *objectName;     // the menu items' name in all three menus
    QString listCaption;        // the session list's popup menu
    QString mainMenuCaption;    // "Сервис" -> "Сервер терминалов"
    QString trayCaption;        // the tray menu's "Сервер терминалов"
    QString templateName;       // in Templates
    QString placeholder;
    PlaceholderValue value;
    QString writtenName;        // in Script
    QString runName;            // in Script
    bool hidden;                // the script's console window
    bool waits;
    QString successLine;        // green
    RefreshRule refresh;
};

const BulkCommand &bulkCommand(BulkCommandId id);
// All seven, in the order of the tables above.
const QList<BulkCommandId> &bulkCommandIds();

// The placeholder's value for this address (trimmed here).
QString placeholderValue(PlaceholderValue kind, const QString &address);
// Replaces every occurrence of the placeholder, letters in any case.
QString fillTemplate(const QString &text, const QString &placeholder, const QString &value);

// True when the address can go into a script: letters, digits and ". - _ : [ ]"
// only (host names, IPv4 and IPv6 addresses), or empty. Anything else
// (blanks, quotes, "&", "|", "%", "^", "<", ">") could make the written
// script run something else.
bool isSafeScriptAddress(const QString &address);

struct TemplateText {
    TextFileEncoding encoding = TextFileEncoding::Ansi;
    QStringList lines; // without their ends; empty: the template has no lines
};
TemplateText decodeTemplate(const QByteArray &bytes);
// The lines in the encoding (with its mark), CR LF after every one.
QByteArray encodeScript(const QStringList &lines, TextFileEncoding encoding);

struct BulkCommandOutcome {
    enum Kind {
        MissingTemplate, // error box: nothing run, nothing logged
        WriteFailed,     // error box: nothing run, nothing logged
        UnsafeAddress,   // red line: nothing written or run
        EmptyTemplate,   // "Команда не найдена!!!"
        StartFailed,
        Failed,  // it ran and wrote errors, or did not do its job: red lines, no green one
        Started, // it ran and reported no error
    } kind = MissingTemplate;
    QString file;   // the file an error box names
    QString reason; // why (Russian)
    QString errors; // what the script wrote to its errors
};

// What running the script takes; the default is RunProgramCaptured (the
// script's errors come back; hide and wait have no meaning for it: it is
// always waited for, with the window's events running), and in a console
// that is not root the script once more as root when a tool of it was
// refused for want of rights (shell/Elevation.h).
using ScriptRunner = std::function<ProgramRun(const QString &path, const QString &directory, bool hide, bool wait)>;
ScriptRunner defaultScriptRunner();

// Steps 1-4 of one command: read, fill, write, run. Log lines, error boxes
// and the refresh are the caller's (runBulkCommandLogged does them but the
// box).
BulkCommandOutcome runBulkCommand(BulkCommandId id, const QString &address, const ScriptRunner &runner);

// The whole command as the menus run it: the outcome, then its log lines
// (stamped) through log, the refresh the command's rule asks for, and
// errorBox for the two failures the toolkit reports in a box. Every line
// the script wrote to its errors is logged in red and takes the green line
// away. Blocking logons is done when the nologin file (nologinPath()) exists
// afterwards, unblocking when it is gone; blocking then adds the lines of
// nologinWarnings (PamNologin.h): red for a session server whose PAM stack
// ignores the file, ordinary for ssh keeping administrators out.
struct BulkCommandEnvironment {
    ScriptRunner runner = defaultScriptRunner();
    std::function<void(const QString &text, unsigned int rgb)> log;
    std::function<void()> refreshList;
    std::function<void(const QString &message)> errorBox;
};
BulkCommandOutcome runBulkCommandLogged(BulkCommandId id, const QString &address, const BulkCommandEnvironment &env);

} // namespace dozorix
