#pragma once
// A console that is not root: the actions that need root (ending other
// accounts' processes, the 1C services, blocking logons, other accounts'
// sessions) get it through polkit, one command line at a time.
//
// The road of such an action: its command line runs as the console's own
// account first; when a tool of it was refused for want of rights
// (ConsoleRun::accessDenied), the same line runs once more as root:
//
//   pkexec --disable-internal-agent /…/dozorix-cmd --dir DIR [--value V]... -- TEMPLATE
//
// pkexec asks polkit, whose agent in the administrator's desktop session
// asks for an administrator's password (kept a few minutes by the policy
// data/org.dozorix.cmd.policy, auth_admin_keep); dozorix-cmd runs the line
// through the console's own interpreter in DIR and prints its output. The
// line's template and its values travel apart (--value), so that a login or
// a host still never quotes, joins or redirects anything as root.
//
// Why after a refusal and not beforehand: the console's own account can end
// its own processes and sessions, and a line it can run needs no password;
// asking only when the system said no never asks root for nothing, and the
// refusal is the system's own answer, not a guess at what needs root.
//
// A line that may hold a password (taskkill /P, a connection string's Pwd=)
// is never handed to pkexec: its arguments are in every account's process
// list while it runs and in the journal where pkexec notes what it ran.

#include "shell/CommandLine.h"
#include "shell/CommandRunner.h"

#include <QString>

#include <functional>

namespace dozorix {

// True when the console runs as root. DOZORIX_ASSUME_EUID (a number) stands
// in for geteuid() when set: the tests run as root and take the part of an
// ordinary account, in this program and in the console programs they start
// (an environment variable reaches both; a function seam would reach only
// this one). It changes what the console tries, never what it may do.
bool consoleIsRoot();

// The start-up line of a console that is not root: what needs root and how
// to get it.
QString notRootNotice();

// False when the line may hold a password: a switch /P, -p, /RP, /PASSWORD
// (with or without ":value"), or "Pwd=" / "Password=" anywhere in it.
bool mayElevate(const CommandLine &command);

// The run was refused for want of rights and the console is not root: the
// line should run again as root.
bool needsElevation(const ConsoleRun &run);

// The ordinary line logged before the administrator's password is asked
// for; it names the line unless it may hold a password.
QString elevationNotice(const CommandLine &command);

// How long RunElevated waits for pkexec (the password asked and the command
// run), design milliseconds (DOZORIX_TIME_SCALE divides them): 10 minutes.
constexpr qint64 kElevationLimitMs = 10 * 60 * 1000;

// Runs the command line (what follows "cmd.exe /C") as root: pkexec found
// on PATH, dozorix-cmd (elevationHelper()) with the directory as its program
// directory, where the command runs (as for RunAndCapture: "C:\" is the home
// folder). Waits with the event loop running (runWithEventsRunning). The
// result is the command's: exit code, output (text; bytes holds it in code
// page 866, as a run that wrote no "chcp" would). When it did not run as
// root, started is false and refusal says why: a line with a password,
// no pkexec, no dozorix-cmd, the dialog dismissed (pkexec's 126), not
// authorised or no polkit agent (127), no answer within kElevationLimitMs
// (pkexec is then ended; once it runs the command as root it can no longer
// be, and the console stops waiting for it).
ConsoleRun RunElevated(const CommandLine &command, const QString &directory);

// The road above for one line: RunInConsole (with the event loop running);
// when needsElevation, the notice (black) and RunElevated, and its refusal
// (red) through log. Returns the root run when one was tried, else the
// first. log gets texts without the stamp.
using ElevationLog = std::function<void(const QString &text, unsigned int rgb)>;
ConsoleRun RunWithRootOnDenial(const CommandLine &command, const QString &directory, const ElevationLog &log);

// The root half of that road, for a line already refused: the notice
// (black), RunElevated, its refusal (red).
ConsoleRun RunAsRootAfterDenial(const CommandLine &command, const QString &directory, const ElevationLog &log);

// RunProgramCaptured on the same road: a Windows tool, or a batch file
// without parameters, refused for want of rights in a console that is not
// root runs once more as root. The root run's output is the result's output,
// or its errors when it failed; when it did not run as root, the first run
// is the result.
ProgramRun RunProgramWithRootOnDenial(const QString &path, const CommandLine &parameters, const QString &directory,
                                      const ElevationLog &log);

// What follows "/C" in the parameters of LaunchShellHidden ("/C  net stop
// …" -> "net stop …"); the parameters unchanged when they hold no /C.
CommandLine commandOfParameters(const CommandLine &parameters);

// dozorix-cmd beside the running program (QCoreApplication's directory),
// absolute: pkexec resets PATH. setElevationHelper names another one (the
// tests' build folder); an empty path goes back to the one beside the program.
QString elevationHelper();
void setElevationHelper(const QString &path);

// dozorix-cmd run as root by pkexec (PKEXEC_UID set, real and effective
// user root): the command's redirections are opened as the account that
// asked (setRedirectionAccount). Nothing otherwise.
void openRedirectionsAsCaller();

} // namespace dozorix
