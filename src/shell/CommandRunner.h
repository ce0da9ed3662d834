#pragma once
// The three ways the program runs a command, with the Windows contracts kept:
//
// RunAndCapture     "cmd.exe /C " + command through our interpreter, output
//                   and errors in order, blocking. The bytes come back read
//                   as the ANSI page (Windows-1251), so OemToAnsiText() turns
//                   them into the console text (code page 866).
// LaunchShellHidden "cmd.exe " + parameters ("/C ..."), on a worker thread,
//                   in the program directory; returns at once.
// RunProgram        a program with Windows-style parameters, optionally
//                   waiting with the event loop running.
// RunElevated       one command line as root, through pkexec and dozorix-cmd,
//                   for a console that is not root (shell/Elevation.h).
//
// Command texts are contracts: what the callers log and the tests compare.
// Where a text carries user values (a login, a host, a message), pass a
// CommandLine so the values stay plain characters; a plain QString is taken
// as our own fixed text.

#include "shell/CommandLine.h"

#include <QString>

#include <functional>
#include <memory>

namespace dozorix {

// Blocks until the command has ended; empty text when it cannot start (a
// working directory that does not exist). The directory may be a Windows
// one: a drive or UNC path ("C:\", as every caller passes) means the user's
// home directory; an empty one means the current directory.
QString RunAndCapture(const QString &command, const QString &directory);
QString RunAndCapture(const CommandLine &command, const QString &directory);

// What RunAndCapture runs, as a console window would show it: the exit code
// of the last command and the output decoded in the code page that was
// active when each part of it was written ("chcp" switches it mid-line).
struct ConsoleRun {
    bool started = false; // false: the working directory does not exist
    int exitCode = 0;
    QByteArray bytes;     // the raw output, what RunAndCapture reads as ANSI
    QString text;         // the output decoded page by page
    // A tool of the line was refused something for want of rights (another
    // account's process or session, a root service, /run/nologin): what
    // root could have done (CmdContext::noteAccessDenied).
    bool accessDenied = false;
    // RunElevated only: why the line did not run as root (Russian, for a red
    // line of the log); empty when it ran. started is then false.
    QString refusal;
};
ConsoleRun RunInConsole(const CommandLine &command, const QString &directory);
// A run's output as RunAndCapture returns it (read as ANSI; empty when the
// run did not start), for a caller that also wants its exit code.
QString capturedText(const ConsoleRun &run);

// Text read as the ANSI page, decoded from the console page 866 instead.
QString OemToAnsiText(const QString &text);

// parameters start with "/C " or "/C  ". Runs detached from the caller on a
// worker thread, with programDir() as the working directory, so that
// "> temp.txt" lands in the program directory. Fire-and-forget.
void LaunchShellHidden(const QString &parameters);
void LaunchShellHidden(const CommandLine &parameters);

// A command started like LaunchShellHidden whose programs its caller can
// watch and end: every program the command starts leads a process group of
// its own (so that ending it also ends what it started: xvfb-run's X server,
// the designer's helpers), and the last bytes the command wrote to its
// errors are kept (its output is discarded).
class WatchedCommand
{
public:
    virtual ~WatchedCommand() = default;
    // The command has ended: every program it started has ended.
    virtual bool finished() const = 0;
    // Its exit code, once finished (128 + signal for a program killed by one).
    virtual int exitCode() const = 0;
    // The last lines it wrote to its errors (at most a few KiB).
    virtual QString errorTail() const = 0;
    // Asks its running programs to end (SIGTERM to each one's process group)
    // and kills what still runs graceMs later (SIGKILL). Safe to call again
    // and after the end.
    virtual void terminate(qint64 graceMs) = 0;
};

// parameters start with "/C ", as for LaunchShellHidden; runs in programDir().
std::shared_ptr<WatchedCommand> LaunchShellWatched(const CommandLine &parameters);

// Starts path with parameters split by the Windows rules (quotes group
// arguments and never start a second program). An empty directory means the
// path's own directory. When path names a Windows tool (msg, tsdiscon,
// logoff, rwinsta, mstsc, taskkill, net, query; any directory, with or
// without ".exe") the built-in command runs instead, and fails with code 2
// while not registered. A .cmd/.bat file runs through our interpreter.
// hide and waitForIdle have no meaning for Linux programs. With waitForExit
// the Qt event loop keeps running until the program ends. On failure returns
// false and sets *errorCode to a Windows error code (2: file not found,
// 5: access denied, 193: not an executable, 267: bad working directory).
bool RunProgram(const QString &path, const QString &parameters, const QString &directory, bool hide,
                bool waitForIdle, bool waitForExit, int *errorCode = nullptr);
bool RunProgram(const QString &path, const CommandLine &parameters, const QString &directory, bool hide,
                bool waitForIdle, bool waitForExit, int *errorCode = nullptr);

// What RunProgramCaptured saw.
struct ProgramRun {
    bool started = false;
    int errorCode = 0;  // when not started: the Windows error code, as RunProgram gives it
    int exitCode = 0;   // the exit code (128 + signal number for a program killed by one)
    QString output;     // a Windows tool's or a batch file's output, decoded page by page
    QString errors;     // and its errors
    // A Windows tool of it was refused something for want of rights (as
    // ConsoleRun::accessDenied).
    bool accessDenied = false;
};

// RunProgram with waitForExit, for a caller that must know how it went: a
// Windows tool or a .cmd/.bat file runs with its output and errors kept
// apart and returned; another program runs as RunProgram runs it (nothing
// captured, its exit code not known: 0).
ProgramRun RunProgramCaptured(const QString &path, const CommandLine &parameters, const QString &directory);

// Runs job on a worker thread and waits for it with the caller's event loop
// running, so that the windows stay responsive and their timers fire
// meanwhile (RunProgram's waitForExit, RunElevated). Without a
// QCoreApplication the job runs in place.
void runWithEventsRunning(const std::function<void()> &job);

// Waits until every command started by LaunchShellHidden, and every built-in
// started by RunProgram without waiting, has ended. False on timeout.
bool waitForBackgroundCommands(int timeoutMs);

// The Windows error code for an errno value of a failed start.
int windowsErrorFromErrno(int error);

// The Linux directory a command runs in, for a directory as the callers
// write it (see RunAndCapture); empty when it does not exist.
QString commandDirectory(const QString &directory);

} // namespace dozorix
