#pragma once
// Our own small "cmd.exe /C": it runs the Windows command texts of the
// program on Linux without ever handing them to /bin/sh.
//
// What it understands:
//   - commands joined by "&&", "||" and "&" (run left to right; && runs the
//     next one when the last exit code was 0, || when it was not);
//   - double quotes (operators and redirections inside are plain text) and
//     the escape character ^ outside quotes;
//   - redirections bound to their command: "> f", ">> f", "1> f", "2> f",
//     "2>> f", "2>&1", "1>&2", "< f"; "nul" is the null device; relative
//     names are resolved against the working directory;
//   - "chcp NNN" (866, 1251, 65001) switching the code page of everything
//     written after it on the same line;
//   - built-in commands from a registry (cmd's own echo and chcp, and the
//     Windows tools; each registers itself: see BuiltinTools.h), matched by
//     file name without directory and without ".exe"/".com",
//     case-insensitively;
//   - .cmd/.bat files, run line by line by this interpreter; in them %0..%9,
//     %* and %~[fdpnx]N (%~dp0: the file's own folder, with a trailing "/");
//   - "call FILE [args]": FILE runs line by line whatever its extension (on
//     Linux there is no PowerShell: the .ps1 scripts of the Script folder are
//     written in this language and called by their .cmd launchers); "call"
//     of anything that is not a file runs it as a command;
//   - "if" and "for", which take the rest of the line as theirs (its "&",
//     "&&", "||" and redirections belong to the command they run):
//       if [/i] [not] STRING1==STRING2 COMMAND  (quotes are part of the
//                                                strings; /i: any case)
//       if [not] exist PATH COMMAND
//       if [not] errorlevel N COMMAND           (last exit code >= N)
//       for %v in (WORD ...) do COMMAND
//       for /f ["OPTIONS"] %v in ('COMMAND') do COMMAND
//       for /f ["OPTIONS"] %v in ("STRING") do COMMAND
//       for /f ["OPTIONS"] %v in (FILE ...) do COMMAND
//     (in a batch file %%v, which the batch step makes %v). OPTIONS, blank
//     separated: skip=N (first N lines, empty ones counted), tokens=N | N,M |
//     N-M | ...[*] (the letters from %v on in token order; '*' gives the
//     rest of the line to the next letter; default 1; at most 31),
//     delims=CHARS (default blank and tab; up to a blank that starts another
//     option, so "delims= " is a blank and "delims=" none), eol=C (default
//     ';', lines whose first token starts with it are skipped) and usebackq
//     (`COMMAND`, 'STRING', "FILE NAME"). Empty lines are skipped; a line
//     runs the body when at least one of its letters got a value; a letter
//     without a token is empty. The command runs in an interpreter of its own
//     (this one's folder and code page; ^ escapes of this line are spent, so
//     "^&" and "^|" act there); its output is read in the code page each part
//     was written in, its errors go to this line's errors. Files are read as
//     UTF-8 (with or without a byte-order mark) or else in the active code
//     page. %v and %~v (without surrounding quotes) are replaced in the body
//     by the values as plain characters, so "&", "|", quotes, ">" or "%" in
//     a session or user name never start, join or redirect anything; the
//     letters are matched case-sensitively, other %x stay as they are.
//     Keywords (if, for, /i, not, exist, errorlevel, in, do) count only as
//     our own text, never from a value. A false "if" keeps the exit code;
//     the exit code of a loop is its last body's (or, when none ran, the one
//     before it);
//   - anything else is started directly with an argument vector split by
//     the Windows rules (posix_spawn, never a shell).
//
// Output is written in the active console code page: 866 until "chcp"
// changes it. Built-ins write text and the interpreter encodes it; the
// UTF-8 output of Linux programs is re-encoded (bytes that are not UTF-8
// pass through unchanged). Built-ins write CR LF line ends, as the Windows
// tools do.
//
// Characters that come from user values (CommandLine placeholders) are plain
// characters at every stage: they never quote, join, redirect or split.
//
// The interpreter lives in three rooms: its syntax (CmdSyntax.h: the line
// split into commands, the redirections, the words), the programs it starts
// (CmdExternal.cpp: the only POSIX descriptor code) and its control flow
// (CmdControlFlow.cpp: if, for, call, batch files); CmdInterpreter.cpp runs
// one line through them.

#include "common/TextCodec.h"
#include "common/WindowsPath.h"
#include "shell/CmdSyntax.h"
#include "shell/CommandLine.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <utility>
#include <vector>

namespace dozorix {

// Where a command's output goes.
class ByteSink
{
public:
    virtual ~ByteSink() = default;
    virtual void write(const QByteArray &bytes) = 0;
};

// Collects everything written to it.
class BufferSink : public ByteSink
{
public:
    void write(const QByteArray &bytes) override { m_data.append(bytes); }
    const QByteArray &data() const { return m_data; }

private:
    QByteArray m_data;
};

class CmdInterpreter;

// What a built-in command gets: its argument vector and its two streams.
class CmdContext
{
public:
    CmdContext(CmdInterpreter *interpreter, QStringList args, QString rawArguments, ByteSink *out,
               ByteSink *err);

    // args[0] is the command as written ("TASKKILL", "C:\...\msg.exe").
    const QStringList &args() const { return m_args; }
    // Everything after the command name and one separator, as written
    // (without redirections); what "echo" prints.
    const QString &rawArguments() const { return m_raw; }
    CmdInterpreter &interpreter() { return *m_interpreter; }
    QString workingDirectory() const;

    // Text written in the active code page. Line variants append CR LF.
    void out(const QString &text);
    void err(const QString &text);
    void outLine(const QString &line) { out(line + QStringLiteral("\r\n")); }
    void errLine(const QString &line) { err(line + QStringLiteral("\r\n")); }

    // The tool was refused something for want of rights (EPERM, EACCES,
    // "Отказано в доступе"): what root could have done. The interpreter
    // keeps it for whoever ran the line (ConsoleRun::accessDenied).
    void noteAccessDenied();

private:
    CmdInterpreter *m_interpreter;
    QStringList m_args;
    QString m_raw;
    ByteSink *m_out;
    ByteSink *m_err;
};

class CmdInterpreter : public QObject
{
    Q_OBJECT
public:
    // A built-in returns its exit code (0 for success), as a program would.
    using Builtin = std::function<int(CmdContext &)>;

    enum class BuiltinKind {
        // Found by its name unless a real file of the path as written exists.
        Command,
        // A Windows tool: found by its file name wherever it is addressed
        // ("C:\Windows\System32\TASKKILL.EXE", "/usr/bin\msg.exe").
        WindowsTool,
    };

    // Exit code of a command that could not be found (as cmd.exe reports it).
    static constexpr int kCommandNotFound = 9009;

    explicit CmdInterpreter(QString workingDirectory = QString());

    QString workingDirectory() const { return m_workingDirectory; }
    void setWorkingDirectory(const QString &dir) { m_workingDirectory = dir; }
    CodePage codePage() const { return m_codePage; }
    void setCodePage(CodePage page) { m_codePage = page; }
    // The exit code of the last command that ran (what "if errorlevel" tests).
    int errorLevel() const { return m_errorLevel; }
    // A built-in of this interpreter was refused for want of rights since it
    // was made (CmdContext::noteAccessDenied).
    bool accessDenied() const { return m_accessDenied; }
    void noteAccessDenied() { m_accessDenied = true; }

    // Programs this interpreter starts, for a caller that must be able to
    // end them: when on, each program leads a process group of its own and
    // is announced by programStarted and programEnded (see below).
    void setWatchPrograms(bool on) { m_watchPrograms = on; }

    // Runs the text that follows "cmd.exe /C". Returns the exit code of the
    // last command that ran. Either sink may be null (output discarded).
    int run(const CommandLine &command, ByteSink *out, ByteSink *err);
    int run(const MarkedText &command, ByteSink *out, ByteSink *err);

    // Runs "cmd.exe " + parameters, where the parameters begin with "/C"
    // (or "/K"), possibly after other switches such as "/Q". Parameters
    // without /C or /K run nothing (an interactive shell nobody sees).
    int runParameters(const CommandLine &parameters, ByteSink *out, ByteSink *err);
    int runParameters(const MarkedText &parameters, ByteSink *out, ByteSink *err);

    // Runs a .cmd/.bat file line by line; %0..%9 and %* are replaced by the
    // path and the arguments (as plain characters), "rem", "::", labels and
    // "echo off/on" are skipped, "exit [/b] [N]" ends it.
    int runBatchFile(const QString &path, const QStringList &arguments, ByteSink *out, ByteSink *err);

    // Encodes text in the active code page.
    QByteArray encodeOutput(const QString &text) const;

    // Registry of built-in commands, shared by all interpreters and threads.
    // Names are matched by builtinKey().
    static void registerBuiltin(const QString &name, Builtin handler, BuiltinKind kind = BuiltinKind::Command);
    static void unregisterBuiltin(const QString &name);
    static Builtin findBuiltin(const QString &name);
    // True when the name (any directory, with or without ".exe") is a
    // registered Windows tool.
    static bool isWindowsTool(const QString &name);
    // "C:\Windows\System32\TASKKILL.EXE" -> "taskkill"
    static QString builtinKey(const QString &programName);

signals:
    // With setWatchPrograms(true): a program has started, and a program has
    // ended but is not reaped yet, so its pid and group are still its own
    // while the receiver forgets them. Emitted on the thread that runs the
    // interpreter; a receiver that must see them in that order, before the
    // program is reaped, connects directly.
    void programStarted(qint64 pid);
    void programEnded(qint64 pid);

private:
    // CmdInterpreter.cpp: one command of a line, after its redirections.
    int execute(const cmdsyntax::Segment &segment, ByteSink *out, ByteSink *err);
    // CmdExternal.cpp: a Linux program.
    int runExternal(const QStringList &argv, int stdinFd, ByteSink *out, ByteSink *err);
    // CmdControlFlow.cpp: if, for, call.
    int runIf(const MarkedText &text, ByteSink *out, ByteSink *err);
    int runFor(const MarkedText &text, ByteSink *out, ByteSink *err);
    int runCall(const MarkedText &rest, ByteSink *out, ByteSink *err);
    // The lines "for /f" reads from a command's output, a string or files.
    bool forLines(const MarkedText &set, bool backQuotes, QStringList *lines, ByteSink *err);

    QString m_workingDirectory;
    CodePage m_codePage = CodePage::Cp866;
    int m_errorLevel = 0;
    bool m_watchPrograms = false;
    bool m_accessDenied = false;
};

// Console output as a console window holds it: every piece with the code
// page that was active when it was written ("chcp" switches it mid-line), so
// that it reads back as text; also the raw bytes, as a program reading the
// console would get them. What RunInConsole shows and what "for /f" reads
// from a command.
class ConsoleSink : public ByteSink
{
public:
    // The interpreter whose code page each write is kept with.
    explicit ConsoleSink(const CmdInterpreter &interpreter) : m_interpreter(interpreter) {}

    void write(const QByteArray &bytes) override;
    // Everything written, as written.
    QByteArray bytes() const;
    // Everything written, each piece decoded in its own code page.
    QString text() const;

private:
    const CmdInterpreter &m_interpreter;
    std::vector<std::pair<CodePage, QByteArray>> m_pieces;
};

} // namespace dozorix
