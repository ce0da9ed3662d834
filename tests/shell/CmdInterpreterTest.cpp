// The command interpreter: operators, quoting, redirection, code pages,
// built-ins and Linux programs, with real files and real programs.

#include "common/TextCodec.h"
#include "shell/BuiltinTools.h"
#include "shell/CmdInterpreter.h"
#include "shell/CommandRunner.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

struct Result {
    int code;
    QByteArray out;
    QByteArray err;
};

Result runIn(const QString &dir, const CommandLine &line)
{
    registerBuiltinTools();
    CmdInterpreter interpreter(dir);
    BufferSink out;
    BufferSink err;
    const int code = interpreter.run(line, &out, &err);
    return {code, out.data(), err.data()};
}

Result runIn(const QString &dir, const QString &line) { return runIn(dir, CommandLine(line)); }

} // namespace

TEST(CmdInterpreter, JoinsCommandsByExitCode)
{
    ProgramHome home;
    struct Case {
        QString line;
        QByteArray out;
        int code;
    };
    const Case cases[] = {
        {u"echo a&& echo b"_s, "a\r\nb\r\n", 0},
        {u"/bin/false && echo no"_s, "", 1},
        {u"/bin/false || echo yes"_s, "yes\r\n", 0},
        {u"/bin/true || echo no"_s, "", 0},
        {u"/bin/false & echo always"_s, "always\r\n", 0},
        {u"/bin/false && echo no || echo rescued"_s, "rescued\r\n", 0},
        {u"echo \"a && b\" & echo c"_s, "\"a && b\" \r\nc\r\n", 0},  // echo keeps quotes and the trailing blank
        {u"echo a^&b"_s, "a&b\r\n", 0},
    };
    for (const Case &c : cases) {
        const Result r = runIn(home.path(), c.line);
        EXPECT_EQ(r.out, c.out) << qPrintable(c.line);
        EXPECT_EQ(r.code, c.code) << qPrintable(c.line);
    }
}

TEST(CmdInterpreter, StartsLinuxProgramsWithQuotedArguments)
{
    ProgramHome home;
    const Result r = runIn(home.path(), u"/usr/bin/printf \"[%s]\" \"a b\" c \"d \\\"e\\\"\""_s);
    EXPECT_EQ(r.out, "[a b][c][d \"e\"]");
    EXPECT_EQ(r.code, 0);
}

TEST(CmdInterpreter, RedirectsIntoTheWorkingDirectory)
{
    ProgramHome home;
    runIn(home.path(), u"echo first> temp.txt"_s);
    runIn(home.path(), u"echo second>>temp.txt && echo third >> \"temp.txt\""_s);
    // As with cmd.exe, echo keeps the blanks before "&&" and ">".
    EXPECT_EQ(home.read(u"temp.txt"_s), QByteArray("first\r\nsecond \r\nthird \r\n"));

    runIn(home.path(), u"echo again > temp.txt"_s);
    EXPECT_EQ(home.read(u"temp.txt"_s), QByteArray("again \r\n"));

    // A redirection binds to its own command only.
    const Result r = runIn(home.path(), u"echo one > temp2.txt & echo two"_s);
    EXPECT_EQ(home.read(u"temp2.txt"_s), QByteArray("one  \r\n"));
    EXPECT_EQ(r.out, "two\r\n");
}

TEST(CmdInterpreter, KeepsErrorsOutOfARedirectedOutput)
{
    ProgramHome home;
    // taskkill's error goes to standard error: "> temp.txt" stays empty and
    // the error reaches the caller, as with cmd.exe.
    const Result r = runIn(home.path(), u"TASKKILL /F /IM no_such_image_zq* > temp.txt"_s);
    EXPECT_TRUE(QFile::exists(home.file(u"temp.txt"_s)));
    EXPECT_TRUE(home.read(u"temp.txt"_s).isEmpty());
    EXPECT_EQ(fromCp866(r.err), u"ОШИБКА: процесс \"no_such_image_zq*\" не найден.\r\n"_s);
    EXPECT_EQ(r.code, 128);

    // 2>&1 and 2> route the errors.
    runIn(home.path(), u"TASKKILL /IM no_such_image_zq* > both.txt 2>&1"_s);
    EXPECT_EQ(fromCp866(home.read(u"both.txt"_s)), u"ОШИБКА: процесс \"no_such_image_zq*\" не найден.\r\n"_s);
    runIn(home.path(), u"/bin/ls /no/such/dir 2> err.txt"_s);
    EXPECT_FALSE(home.read(u"err.txt"_s).isEmpty());
}

TEST(CmdInterpreter, ChcpSwitchesTheCodePageOfLaterOutput)
{
    ProgramHome home;
    const QString info = u"ИНФОРМАЦИЯ: Задачи, отвечающие заданным критериям, отсутствуют.\r\n"_s;
    const QString query = u"TASKKILL /FI \"IMAGENAME eq no_such_image_zq\""_s;

    runIn(home.path(), query + u" > temp.txt"_s);
    EXPECT_EQ(home.read(u"temp.txt"_s), toCp866(info));

    runIn(home.path(), u"chcp 1251 && "_s + query + u" > temp.txt"_s);
    EXPECT_EQ(home.read(u"temp.txt"_s), toCp1251(info));

    // chcp prints in the new page; an unknown page changes nothing.
    const Result r = runIn(home.path(), u"chcp 1251 && chcp 437 || echo Ё"_s);
    EXPECT_EQ(r.out, toCp1251(u"Текущая кодовая страница: 1251\r\nЁ\r\n"_s));
    EXPECT_EQ(r.err, toCp1251(u"Недопустимая кодовая страница\r\n"_s));
}

TEST(CmdInterpreter, ReencodesUtf8OutputOfLinuxPrograms)
{
    ProgramHome home;
    // A long Cyrillic text makes the reads split two-byte sequences.
    const QString text = QString(40000, QChar(u'я')) + u" Ёж ✓"_s;
    home.write(u"utf8.txt"_s, text.toUtf8());

    const QByteArray expected = toCp866(text); // ✓ has no place in 866: '?'
    EXPECT_EQ(runIn(home.path(), u"/bin/cat utf8.txt"_s).out, expected);
    EXPECT_EQ(runIn(home.path(), u"chcp 1251 && /bin/cat utf8.txt"_s).out.mid(32), toCp1251(text));
    EXPECT_EQ(runIn(home.path(), u"chcp 65001 > nul && /bin/cat utf8.txt"_s).out, text.toUtf8());

    // Bytes that are not UTF-8 (a Wine program writing 866) pass unchanged.
    home.write(u"oem.txt"_s, toCp866(u"Привет"_s));
    EXPECT_EQ(runIn(home.path(), u"/bin/cat oem.txt"_s).out, toCp866(u"Привет"_s));
}

TEST(CmdInterpreter, ReportsWhatCannotRun)
{
    ProgramHome home;
    struct Case {
        QString line;
        QString err;
        int code;
    };
    const Case cases[] = {
        {u"no_such_program_zq arg"_s,
         u"\"no_such_program_zq\" не является внутренней или внешней\r\nкомандой, исполняемой программой или пакетным файлом.\r\n"_s,
         CmdInterpreter::kCommandNotFound},
        {u"echo a && && echo b"_s, u"Синтаксическая ошибка в команде.\r\n"_s, 1},
        {u"echo a &&"_s, u"Синтаксическая ошибка в команде.\r\n"_s, 1},
        {u"echo a >"_s, u"Синтаксическая ошибка в команде.\r\n"_s, 1},
        {u"echo a > no/such/dir/f.txt"_s, u"Системе не удается найти указанный путь.\r\n"_s, 1},
        {u"echo a > C:\\f.txt"_s, u"Системе не удается найти указанный путь.\r\n"_s, 1},
        {u"echo a | more"_s, u"Конвейер (|) не поддерживается.\r\n"_s, 1},
    };
    for (const Case &c : cases) {
        const Result r = runIn(home.path(), c.line);
        EXPECT_EQ(fromCp866(r.err), c.err) << qPrintable(c.line);
        EXPECT_EQ(r.code, c.code) << qPrintable(c.line);
        EXPECT_TRUE(r.out.isEmpty()) << qPrintable(c.line);
    }
}

TEST(CmdInterpreter, RunsParametersOfCmdExe)
{
    ProgramHome home;
    CmdInterpreter interpreter(home.path());
    BufferSink out;
    struct Case {
        QString parameters;
        QByteArray out;
    };
    const Case cases[] = {
        {u"/C  echo two blanks"_s, "two blanks\r\n"},
        {u"/c echo lower"_s, "lower\r\n"},
        {u"/Q /C echo quiet"_s, "quiet\r\n"},
        {u"/C \"/usr/bin/printf [%s] \"a b\"\""_s, "[a b]"},  // first and last quote go
        {u"/C \"/bin/echo\" x"_s, "x\n"},                       // two quotes, no blank: stripped
        {u"echo no switch"_s, ""},
    };
    for (const Case &c : cases) {
        BufferSink sink;
        interpreter.runParameters(CommandLine(c.parameters), &sink, &sink);
        EXPECT_EQ(sink.data(), c.out) << qPrintable(c.parameters);
    }
}

TEST(CmdInterpreter, RunsBatchFiles)
{
    ProgramHome home;
    home.write(u"job.cmd"_s, "@echo off\r\nrem a comment\r\n:label\r\necho arg=%1 100%%\r\n"
                             "echo all=%* > out.txt\r\nexit /b 3\r\necho never\r\n");
    const Result r = runIn(home.path(), u"job.cmd \"x & y\" z"_s);
    EXPECT_EQ(r.out, "arg=x & y 100%\r\n");
    EXPECT_EQ(home.read(u"out.txt"_s), "all=x & y z \r\n");
    EXPECT_EQ(r.code, 3);
}

TEST(CmdInterpreter, RegisteredBuiltinsGetArgumentsAndStreams)
{
    ProgramHome home;
    QStringList seen;
    registerBuiltinTools(); // the stand-in below then replaces the built-in query
    CmdInterpreter::registerBuiltin(u"query"_s, [&seen](CmdContext &ctx) {
        seen = ctx.args();
        ctx.outLine(u"ПОЛЬЗОВАТЕЛЬ"_s);
        ctx.errLine(u"ошибка"_s);
        return 0;
    }, CmdInterpreter::BuiltinKind::WindowsTool);
    const Result r = runIn(home.path(), u"C:\\Windows\\System32\\QUERY.EXE user /server \"10.0.0.1\""_s);
    CmdInterpreter::unregisterBuiltin(u"query"_s);
    EXPECT_EQ(seen, (QStringList{u"C:\\Windows\\System32\\QUERY.EXE"_s, u"user"_s, u"/server"_s, u"10.0.0.1"_s}));
    EXPECT_EQ(r.out, toCp866(u"ПОЛЬЗОВАТЕЛЬ\r\n"_s));
    EXPECT_EQ(r.err, toCp866(u"ошибка\r\n"_s));
}

TEST(CmdInterpreter, AWindowsToolIsFoundByItsFileNameWhereverItIsAddressed)
{
    ProgramHome home;
    home.write(u"zqtool"_s, "#!/bin/sh\necho file\n");
    QFile::setPermissions(home.file(u"zqtool"_s), QFile::permissions(home.file(u"zqtool"_s)) | QFileDevice::ExeOwner);
    const auto builtin = [](CmdContext &ctx) {
        ctx.outLine(u"builtin"_s);
        return 0;
    };
    struct Case {
        CmdInterpreter::BuiltinKind kind;
        QString command;
        QByteArray out;
    };
    const Case cases[] = {
        // A plain built-in gives way to a real file of the path as written...
        {CmdInterpreter::BuiltinKind::Command, home.file(u"zqtool"_s), "file\n"},
        {CmdInterpreter::BuiltinKind::Command, u"zqtool"_s, "builtin\r\n"},
        // ...a Windows tool is the tool wherever it is addressed.
        {CmdInterpreter::BuiltinKind::WindowsTool, home.file(u"zqtool"_s), "builtin\r\n"},
        {CmdInterpreter::BuiltinKind::WindowsTool, u"C:\\Windows\\System32\\ZQTOOL.EXE"_s, "builtin\r\n"},
    };
    for (const Case &c : cases) {
        CmdInterpreter::registerBuiltin(u"zqtool"_s, builtin, c.kind);
        EXPECT_EQ(CmdInterpreter::isWindowsTool(c.command), c.kind == CmdInterpreter::BuiltinKind::WindowsTool);
        EXPECT_EQ(runIn(home.path(), c.command).out, c.out) << qPrintable(c.command);
    }
    CmdInterpreter::unregisterBuiltin(u"zqtool"_s);
    EXPECT_FALSE(CmdInterpreter::isWindowsTool(u"zqtool"_s));
    EXPECT_EQ(runIn(home.path(), home.file(u"zqtool"_s)).out, "file\n");
}
