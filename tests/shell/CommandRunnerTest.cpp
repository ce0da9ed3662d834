// RunAndCapture, OemToAnsiText, LaunchShellHidden and RunProgram with real
// programs and files.

#include "common/ProgramDir.h"
#include "common/SystemHelpers.h"
#include "common/TextCodec.h"
#include "shell/BuiltinTools.h"
#include "shell/CmdInterpreter.h"
#include "shell/CommandRunner.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTimer>

#include <csignal>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

// A shell script of the test's own, made executable.
void writeScript(const QString &path, const QByteArray &body)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n" + body);
    f.close();
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
}

// Waits (at most 10 s) for the file "go" in dir, then runs the rest.
QByteArray waitForGo(const QByteArray &then)
{
    return "i=0; while [ ! -e go ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i+1)); done; [ -e go ] && " + then + "\n";
}

} // namespace

TEST(RunAndCapture, ReturnsLargeOutputWhole)
{
    ProgramHome home;
    QByteArray expected;
    for (int i = 1; i <= 20000; ++i)
        expected += QByteArray::number(i) + '\n';
    ASSERT_GT(expected.size(), 50000);
    EXPECT_EQ(RunAndCapture(u"/usr/bin/seq 1 20000"_s, u"C:\\"_s), QString::fromLatin1(expected));
}

TEST(RunAndCapture, KeepsOutputAndErrorsInOrder)
{
    ProgramHome home;
    const QString text = RunAndCapture(
        u"/usr/bin/python3 -c \"import sys; [print(w, file=f, flush=True) for w, f in "
        u"(('one', sys.stdout), ('two', sys.stderr), ('three', sys.stdout))]\""_s,
        home.path());
    EXPECT_EQ(text, u"one\ntwo\nthree\n"_s);
}

TEST(RunAndCapture, WorksInTheGivenDirectoryOrFallsBack)
{
    ProgramHome home;
    QDir(home.path()).mkdir(u"work"_s);
    // A Linux directory, also written with backslashes.
    RunAndCapture(u"echo here> where.txt"_s, home.file(u"work"_s));
    EXPECT_EQ(home.read(u"work/where.txt"_s), "here\r\n");
    EXPECT_EQ(commandDirectory(home.path() + u"\\work\\"_s), home.file(u"work"_s));
    // Windows drives mean the home directory; a missing Linux one cannot start.
    EXPECT_EQ(commandDirectory(u"C:\\"_s), QDir::homePath());
    EXPECT_EQ(RunAndCapture(u"echo x"_s, home.file(u"missing"_s)), QString());
}

TEST(OemToAnsiText, TurnsCapturedTextIntoTheConsoleText)
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    // What RunAndCapture returns for these bytes, and what the caller gets.
    EXPECT_EQ(OemToAnsiText(fromCp1251(all)), fromCp866(all));

    const QString line = u"ОШИБКА: процесс \"rphost*\" не найден."_s;
    EXPECT_EQ(OemToAnsiText(RunAndCapture(u"TASKKILL /F /IM no_such_image_zq*"_s, u"C:\\"_s)),
              u"ОШИБКА: процесс \"no_such_image_zq*\" не найден.\r\n"_s);
    EXPECT_EQ(OemToAnsiText(fromCp1251(toCp866(line))), line);
}

TEST(LaunchShellHidden, ReturnsAtOnceAndWritesIntoTheProgramDirectory)
{
    ProgramHome home;
    // The command waits for a file that the test creates only after the
    // launch has returned: a launch that blocked would never see it.
    writeScript(home.file(u"wait.sh"_s), waitForGo("exit 0"));
    LaunchShellHidden(u"/C  "_s + home.file(u"wait.sh"_s) + u" && echo done > temp.txt"_s);
    home.write(u"go"_s, QByteArray());
    ASSERT_TRUE(waitForBackgroundCommands(20000));
    EXPECT_EQ(home.read(u"temp.txt"_s), "done \r\n");
}

TEST(RunProgram, KeepsTheEventLoopRunningWhileItWaits)
{
    ProgramHome home;
    writeScript(home.file(u"wait.sh"_s), waitForGo("echo seen > seen.txt"));
    // Only a timer of this thread can create "go".
    bool fired = false;
    QTimer::singleShot(10, [&] {
        fired = true;
        home.write(u"go"_s, QByteArray());
    });
    EXPECT_TRUE(RunProgram(home.file(u"wait.sh"_s), QString(), QString(), true, false, true));
    EXPECT_TRUE(fired);
    EXPECT_EQ(home.read(u"seen.txt"_s), "seen\n"); // the program ended before RunProgram returned
}

TEST(RunProgram, StartsInTheProgramsOwnDirectoryWithWindowsArguments)
{
    ProgramHome home;
    QDir(home.path()).mkdir(u"Script"_s);
    writeScript(home.file(u"Script/args.sh"_s), "pwd > cwd.txt; for a in \"$@\"; do echo \"[$a]\"; done > args.txt\n");

    // Written as the callers write it: backslashes, no directory.
    const QString script = home.path() + u"\\Script\\args.sh"_s;
    ASSERT_TRUE(RunProgram(script, u"4 /server \"srv 1\" a\\\"b"_s, QString(), true, false, true));
    EXPECT_EQ(home.read(u"Script/cwd.txt"_s), QFile::encodeName(home.file(u"Script"_s)) + '\n');
    EXPECT_EQ(home.read(u"Script/args.txt"_s), "[4]\n[/server]\n[srv 1]\n[a\"b]\n");

    // An explicit directory with a trailing backslash.
    ASSERT_TRUE(RunProgram(script, QString(), home.path() + u"\\"_s, true, false, true));
    EXPECT_EQ(home.read(u"cwd.txt"_s), QFile::encodeName(home.path()) + '\n');
}

TEST(RunProgram, RunsBatchFilesThroughTheInterpreter)
{
    ProgramHome home;
    QDir(home.path()).mkdir(u"Script"_s);
    home.write(u"Script/tsdisconAll.cmd"_s, "@echo off\r\necho %1> out.txt\r\n");
    ASSERT_TRUE(RunProgram(home.path() + u"\\Script\\tsdisconAll.cmd"_s, u"\"a b\""_s, home.path() + u"\\Script\\"_s,
                           true, false, true));
    EXPECT_EQ(home.read(u"Script/out.txt"_s), "a b\r\n");
}

TEST(RunProgram, ReportsWindowsErrorCodes)
{
    ProgramHome home;
    home.write(u"data.txt"_s, "not a program");
    writeScript(home.file(u"ok.sh"_s), "exit 0\n");
    registerBuiltinTools(); // then take tsdiscon's built-in away again
    CmdInterpreter::unregisterBuiltin(u"tsdiscon"_s);
    struct Case {
        QString path;
        QString directory;
        int code;
    };
    const Case cases[] = {
        {home.file(u"missing"_s), QString(), 2},
        {u"C:\\Windows\\notepad.exe"_s, QString(), 2},
        {home.file(u"data.txt"_s), QString(), 5},
        {home.file(u"ok.sh"_s), home.file(u"no-such-dir"_s), 267},
        {GetSystemDir() + u"\\tsdiscon.exe"_s, GetSystemDir() + u"\\"_s, 2}, // a tool whose built-in is not registered
    };
    for (const Case &c : cases) {
        int code = -1;
        EXPECT_FALSE(RunProgram(c.path, u"1 /server x"_s, c.directory, true, false, true, &code)) << qPrintable(c.path);
        EXPECT_EQ(code, c.code) << qPrintable(c.path);
    }
    int code = -1;
    EXPECT_TRUE(RunProgram(home.file(u"ok.sh"_s), QString(), QString(), true, false, false, &code));
    EXPECT_EQ(code, 0);
}

TEST(RunProgram, RunsRegisteredToolsByFileName)
{
    ProgramHome home;
    QStringList seen;
    registerBuiltinTools(); // the stand-in below then replaces the built-in rwinsta
    CmdInterpreter::registerBuiltin(
        u"rwinsta"_s,
        [&seen](CmdContext &ctx) {
            seen = ctx.args();
            return 0;
        },
        CmdInterpreter::BuiltinKind::WindowsTool);
    for (const QString &path : {GetSystemDir() + u"\\rwinsta.exe"_s, u"C:\\Windows\\System32\\RWINSTA"_s}) {
        seen.clear();
        EXPECT_TRUE(RunProgram(path, u"5 /server 10.0.0.1"_s, QString(), true, false, true)) << qPrintable(path);
        EXPECT_EQ(seen, (QStringList{path, u"5"_s, u"/server"_s, u"10.0.0.1"_s}));
    }
    CmdInterpreter::unregisterBuiltin(u"rwinsta"_s);
}

// A watched command: its programs lead process groups of their own, so that
// ending it also ends what they started in the background (as xvfb-run
// leaves its X server), and a program that has ended is known to have ended.
TEST(LaunchShellWatched, EndsTheProgramsItStartedAndWhatTheyStarted)
{
    ProgramHome home;
    // The program starts a helper in the background, notes both pids and
    // then waits for ever, as a designer stuck in a dialog would.
    writeScript(home.file(u"stuck"_s), "sleep 300 & echo $! > helper.pid; echo $$ > main.pid; "
                                       "echo 'вывод'; echo 'готов' >&2; wait\n");
    const std::shared_ptr<WatchedCommand> cmd =
        LaunchShellWatched(CommandLine(u"/C chcp 1251 && \"%1\""_s, {home.file(u"stuck"_s)}));
    ASSERT_TRUE(waitUntil([&] { return home.read(u"main.pid"_s).size() > 1 && home.read(u"helper.pid"_s).size() > 1; }));
    const pid_t main = home.read(u"main.pid"_s).trimmed().toInt();
    const pid_t helper = home.read(u"helper.pid"_s).trimmed().toInt();
    EXPECT_EQ(::getpgid(main), main); // a group of its own
    EXPECT_EQ(::getpgid(helper), main);
    ASSERT_TRUE(waitUntil([&] { return cmd->errorTail() == u"готов"_s; })) << cmd->errorTail().toStdString();
    EXPECT_FALSE(cmd->finished());

    cmd->terminate(5000);
    ASSERT_TRUE(waitUntil([&] { return cmd->finished(); }));
    EXPECT_EQ(cmd->exitCode(), 128 + SIGTERM);
    // The helper is gone too (reaped by init or a zombie of nobody's).
    const auto gone = [](pid_t pid) {
        QFile stat(u"/proc/%1/stat"_s.arg(pid));
        return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
    };
    EXPECT_TRUE(waitUntil([&] { return gone(helper); })) << helper;
    EXPECT_TRUE(gone(main));
    EXPECT_TRUE(waitForBackgroundCommands(10000));
}

TEST(LaunchShellWatched, AProgramDeafToSigtermIsKilledAfterTheGrace)
{
    ProgramHome home;
    writeScript(home.file(u"deaf"_s), "trap '' TERM; echo $$ > main.pid; while :; do sleep 0.05; done\n");
    const std::shared_ptr<WatchedCommand> cmd = LaunchShellWatched(CommandLine(u"/C \"%1\""_s, {home.file(u"deaf"_s)}));
    ASSERT_TRUE(waitUntil([&] { return home.read(u"main.pid"_s).size() > 1; }));
    cmd->terminate(300);
    ASSERT_TRUE(waitUntil([&] { return cmd->finished(); }, 10000));
    EXPECT_EQ(cmd->exitCode(), 128 + SIGKILL);
    cmd->terminate(300); // again, after the end: nothing happens
    EXPECT_TRUE(waitForBackgroundCommands(10000));
}

TEST(LaunchShellWatched, AMissingProgramEndsAtOnceAndSaysWhy)
{
    ProgramHome home;
    const std::shared_ptr<WatchedCommand> cmd =
        LaunchShellWatched(CommandLine(u"/C chcp 1251 && xvfb-run-missing-zq -a \"%1\" CONFIG"_s, {u"/opt/1cv8/1cv8"_s}));
    ASSERT_TRUE(waitUntil([&] { return cmd->finished(); }));
    EXPECT_EQ(cmd->exitCode(), CmdInterpreter::kCommandNotFound);
    EXPECT_TRUE(cmd->errorTail().contains(u"\"xvfb-run-missing-zq\" не является внутренней или внешней"_s))
        << cmd->errorTail().toStdString();
    EXPECT_TRUE(waitForBackgroundCommands(10000));
}
