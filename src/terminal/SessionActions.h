#pragma once
// The session actions of the row "ID сессии:" / action list / "Выполнить":
// disconnect, log off or reset sessions with tsdiscon, logoff and rwinsta,
// or watch or control one session with mstsc.

#include "shell/CommandLine.h"
#include "shell/CommandRunner.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace dozorix {

struct SessionAction {
    QString text;         // the item of the action list
    QString program;      // in the system directory
    bool manySessions;    // false: the shadow actions (the whole text is one ID)
    bool control;         // the shadow action that takes control
    QString confirmation; // green line after the run; empty for the shadow actions
};

// The items of the action list, in order (the last one empty), and its text
// before a choice.
QStringList sessionActionItems();
extern const QString kChooseActionText;
// "Укажите (номер) ID сессии ...": the hint of the tab's labels and the red
// line of an empty ID field.
extern const QString kSessionIdHint;

// The action whose item is exactly this text; null for any other text.
const SessionAction *findSessionAction(const QString &text);

// The parameters of one run: "ID /server SERVER" for the many-session
// actions, " /v SERVER IDS /shadow [/control] /NoConsentPrompt" for the
// shadow ones. IDs and server are values: never split, never a second
// command.
CommandLine sessionActionParameters(const SessionAction &action, const QString &ids, const QString &server);

// What the handler needs from the console.
struct SessionActionEnvironment {
    // Starts the program (its path under the system directory) and waits
    // for it with the window's events running; what it said and how it
    // ended come back. The default is RunProgramCaptured; in a console that
    // is not root, a tool refused another account's session runs once more
    // as root (shell/Elevation.h).
    std::function<ProgramRun(const QString &path, const CommandLine &parameters, const QString &directory)> run;
    // A line for the event log (the stamp is added there).
    std::function<void(const QString &text, unsigned int rgb)> log;
    std::function<void()> refreshList;
    std::function<void(bool)> setNeedRefresh; // NeadRefreshTS
};

// The environment that runs the real programs through RunProgram.
SessionActionEnvironment defaultSessionActionEnvironment();

// "Выполнить": idsText and serverText as the fields hold them (trimmed
// here), actionText the action list's text. A run that could not start, or
// ended with a code other than 0, is a failure: its errors (else its
// output) go to the log in red, line by line, and the green confirmation
// is given only when no run failed.
void runSessionAction(const QString &idsText, const QString &serverText, const QString &actionText,
                      const SessionActionEnvironment &env);

} // namespace dozorix
