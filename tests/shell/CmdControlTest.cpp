// "for /f", "if" and "call" of the command interpreter, on the command line
// and in batch files, with real files, real programs and the built-ins; the
// values a loop reads are user data and never become operators.

#include "common/TextCodec.h"
#include "shell/BuiltinTools.h"
#include "shell/CmdInterpreter.h"
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
    QString out;
    QString err;
};

// Output read back in code page 866, the interpreter's page unless chcp
// switches it.
Result runIn(const QString &dir, const QString &line)
{
    registerBuiltinTools();
    CmdInterpreter interpreter(dir);
    BufferSink out;
    BufferSink err;
    const int code = interpreter.run(CommandLine(line), &out, &err);
    return {code, fromCp866(out.data()), fromCp866(err.data())};
}

Result runBatch(const QString &dir, const QString &path, const QStringList &args = {})
{
    registerBuiltinTools();
    CmdInterpreter interpreter(dir);
    BufferSink out;
    BufferSink err;
    const int code = interpreter.runBatchFile(path, args, &out, &err);
    return {code, fromCp866(out.data()), fromCp866(err.data())};
}

// Lines a hostile user could have put where a loop reads: each would start a
// second command, redirect, or expand again if it were taken as syntax.
const QStringList kHostileLines = {
    u"x&echo>PWNED1"_s,
    u"y|echo>PWNED2"_s,
    u"\"z\" & echo>PWNED3"_s,
    u"w > PWNED4"_s,
    u"%a && echo>PWNED5"_s,
    u"q^&echo>PWNED6"_s,
    u"v\"&echo>PWNED7 \"x"_s,
};

QStringList pwnedFiles(const QString &dir)
{
    return QDir(dir).entryList({u"PWNED*"_s}, QDir::Files);
}

} // namespace

TEST(CmdFor, SplitsLinesIntoTheLoopLetters)
{
    ProgramHome home;
    home.write(u"list.txt"_s, "first line\r\n\r\n;comment\r\n  second\tline  \r\n#x y\r\n");
    struct Case {
        QString line;
        QString out;
    };
    const Case cases[] = {
        {u"for /f \"tokens=1,3*\" %a in (\"x y z w v\") do echo [%a][%b][%c]"_s, u"[x][z][w v]\r\n"_s},
        {u"for /f \"tokens=2-3\" %i in (\"x y z w\") do echo [%i][%j]"_s, u"[y][z]\r\n"_s},
        {u"for /f \"tokens=2,4\" %i in (\"x y z\") do echo [%i][%j]"_s, u"[y][]\r\n"_s},
        {u"for /f \"tokens=3\" %i in (\"x y\") do echo never"_s, u""_s},
        {u"for /f \"tokens=*\" %i in (\"   lead  x \") do echo [%i]"_s, u"[lead  x ]\r\n"_s},
        {u"for /f \"delims=\" %i in (\"  a  b\") do echo [%i]"_s, u"[  a  b]\r\n"_s},
        {u"for /f \"tokens=2 delims=,;\" %i in (\"a,b;c\") do echo [%i]"_s, u"[b]\r\n"_s},
        {u"for /f \"tokens=1,2 delims=, \" %i in (\"a, b\") do echo [%i][%j]"_s, u"[a][b]\r\n"_s},
        // default tokens=1, blanks and tabs; empty lines and ';' lines go
        {u"for /f %i in (list.txt) do echo [%i]"_s, u"[first]\r\n[second]\r\n[#x]\r\n"_s},
        {u"for /f \"skip=2 eol=# tokens=2\" %i in (list.txt) do echo [%i]"_s, u"[line]\r\n"_s},
        {u"for /f \"usebackq tokens=2\" %i in (`echo a b`) do echo [%i]"_s, u"[b]\r\n"_s},
        {u"for /f \"usebackq\" %i in ('a b') do echo [%i]"_s, u"[a]\r\n"_s},
        // the command's own operators, escaped on this line, act in it
        {u"for /f \"skip=1\" %i in ('echo head^&echo one^&echo two') do echo [%i]"_s, u"[one]\r\n[two]\r\n"_s},
        // the body's operators are the body's, once per line
        {u"for /f %i in ('echo 1^&echo 2') do echo a%i& echo b%i"_s, u"a1\r\nb1\r\na2\r\nb2\r\n"_s},
        {u"for /f %i in (\"x\") do for /f %j in (\"y\") do echo %i%j"_s, u"xy\r\n"_s},
        {u"for /f %i in ('/bin/printf \"p q\\nr\\n\"') do echo %i"_s, u"p\r\nr\r\n"_s},
        // a built-in's table through the loop
        {u"for /f \"tokens=1\" %i in ('chcp') do echo [%i]"_s, u"[Текущая]\r\n"_s},
        // output written in code page 1251 is read as 1251
        {u"for /f \"tokens=2\" %i in ('chcp 1251 ^> nul ^& echo x Диск') do if \"%i\"==\"Диск\" echo same"_s,
         u"same\r\n"_s},
        {u"for %i in (a \"b c\" d) do echo [%~i]"_s, u"[a]\r\n[b c]\r\n[d]\r\n"_s},
        {u"for /f %I in (\"v\") do echo [%I][%i]"_s, u"[v][%i]\r\n"_s},
    };
    for (const Case &c : cases) {
        const Result r = runIn(home.path(), c.line);
        EXPECT_EQ(r.out, c.out) << qPrintable(c.line) << qPrintable(r.err);
        EXPECT_EQ(r.err, QString()) << qPrintable(c.line);
    }
}

TEST(CmdFor, BadHeadsAreReportedAndRunNothing)
{
    ProgramHome home;
    struct Case {
        QString line;
        QString err;
    };
    const Case cases[] = {
        {u"for /f \"tokens=x\" %i in (\"a\") do echo>ran"_s, u"Непредвиденное появление: tokens=x.\r\n"_s},
        {u"for /f \"skip=-1\" %i in (\"a\") do echo>ran"_s, u"Непредвиденное появление: skip=-1.\r\n"_s},
        {u"for /f \"bogus\" %i in (\"a\") do echo>ran"_s, u"Непредвиденное появление: bogus.\r\n"_s},
        {u"for /f %i in (\"a\") echo>ran"_s, u"Синтаксическая ошибка в команде.\r\n"_s},
        {u"for /f i in (\"a\") do echo>ran"_s, u"Синтаксическая ошибка в команде.\r\n"_s},
        {u"for /f %i in (\"a\") do"_s + u"  "_s, u"Синтаксическая ошибка в команде.\r\n"_s},
        {u"for /f %i in (missing.txt) do echo>ran"_s, u"Не удается найти файл missing.txt.\r\n"_s},
        {u"for /f \"tokens=1-3\" %y in (\"a b c\") do echo>ran"_s, u"Непредвиденное появление: %y.\r\n"_s},
    };
    for (const Case &c : cases) {
        const Result r = runIn(home.path(), c.line);
        EXPECT_EQ(r.code, 1) << qPrintable(c.line);
        EXPECT_EQ(r.err, c.err) << qPrintable(c.line);
        EXPECT_FALSE(QFile::exists(home.file(u"ran"_s))) << qPrintable(c.line);
    }
}

TEST(CmdFor, LoopValuesArePlainCharacters)
{
    ProgramHome home;
    home.write(u"evil.txt"_s, toCp1251(kHostileLines.join(u"\r\n"_s) + u"\r\n"_s));
    QString expected;
    for (const QString &line : kHostileLines)
        expected += u"["_s + line + u"]\r\n"_s;
    QString printed;
    for (const QString &line : kHostileLines)
        printed += u"<"_s + line + u">"_s;

    // The same loop from a file, from a program's output, on the command
    // line and in a batch file.
    home.write(u"loop.cmd"_s, "@echo off\r\nfor /f \"delims=\" %%a in (evil.txt) do echo [%%a]\r\n");
    struct Case {
        QString line; // empty: run loop.cmd
        QString out;
    };
    const Case cases[] = {
        {u"for /f \"delims=\" %a in (evil.txt) do echo [%a]"_s, expected},
        {u"for /f \"delims=\" %a in ('/bin/cat evil.txt') do echo [%a]"_s, expected},
        {u"for /f \"usebackq delims=\" %a in (`/bin/cat evil.txt`) do echo [%a]"_s, expected},
        {u"for /f \"delims=\" %a in (evil.txt) do /usr/bin/printf \"<%s>\" %a"_s, printed},
        {u"for /f \"delims=\" %a in (evil.txt) do if \"%a\"==\"x\" echo same"_s, QString()},
        {u"for /f \"delims=\" %a in (evil.txt) do if not \"%a\"==\"x\" echo [%a]"_s, expected},
        {u"for /f \"tokens=1*\" %a in (evil.txt) do for /f \"delims=\" %c in (\"%b\") do echo [%c]"_s, QString()},
        {QString(), expected},
    };
    for (const Case &c : cases) {
        const Result r = c.line.isEmpty() ? runBatch(home.path(), home.file(u"loop.cmd"_s)) : runIn(home.path(), c.line);
        if (!c.out.isEmpty()) {
            EXPECT_EQ(r.out, c.out) << qPrintable(c.line);
        }
        EXPECT_EQ(pwnedFiles(home.path()), QStringList()) << qPrintable(c.line) << qPrintable(r.out);
    }
}

TEST(CmdIf, TestsStringsFilesAndExitCodes)
{
    ProgramHome home;
    QDir(home.path()).mkpath(u"sub dir"_s);
    home.write(u"sub dir/f.txt"_s, "x");
    struct Case {
        QString line;
        QString out;
        int code;
    };
    const Case cases[] = {
        {u"if \"a\"==\"a\" echo y"_s, u"y\r\n"_s, 0},
        {u"if \"a\"==\"A\" echo y"_s, u""_s, 0},
        {u"if /i \"a\"==\"A\" echo y"_s, u"y\r\n"_s, 0},
        {u"if /I \"Диск\"==\"диск\" echo y"_s, u"y\r\n"_s, 0},
        {u"if a == a echo y"_s, u"y\r\n"_s, 0},
        {u"if not \"a\"==\"b\" echo y& echo z"_s, u"y\r\nz\r\n"_s, 0},
        {u"if \"a\"==\"b\" echo y& echo z"_s, u""_s, 0},  // the rest of the line is the if's
        {u"echo 1& if \"a\"==\"b\" echo 2"_s, u"1\r\n"_s, 0},
        {u"if \"a b\"==\"a b\" echo y"_s, u"y\r\n"_s, 0},
        {u"if \"a&b\"==\"a&b\" echo y"_s, u"y\r\n"_s, 0},
        {u"if exist \"sub dir\\f.txt\" echo e"_s, u"e\r\n"_s, 0},
        {u"if exist sub\\f.txt echo e"_s, u""_s, 0},
        {u"if not exist nothing.txt echo n"_s, u"n\r\n"_s, 0},
        {u"/bin/false & if errorlevel 1 echo e1"_s, u"e1\r\n"_s, 0},
        {u"/bin/true & if errorlevel 1 echo e1"_s, u""_s, 0},
        {u"/bin/true & if not errorlevel 1 echo ok"_s, u"ok\r\n"_s, 0},
        {u"/bin/false & if not errorlevel 1 echo ok"_s, u""_s, 1}, // a false if keeps the exit code
        {u"if \"a\"==\"a\" /bin/false || echo failed"_s, u"failed\r\n"_s, 0},
    };
    for (const Case &c : cases) {
        const Result r = runIn(home.path(), c.line);
        EXPECT_EQ(r.out, c.out) << qPrintable(c.line);
        EXPECT_EQ(r.code, c.code) << qPrintable(c.line);
        EXPECT_EQ(r.err, QString()) << qPrintable(c.line);
    }

    // The redirection belongs to the command the if runs.
    runIn(home.path(), u"if \"a\"==\"a\" echo kept> out.txt"_s);
    EXPECT_EQ(home.read(u"out.txt"_s), QByteArray("kept\r\n"));
    runIn(home.path(), u"if \"a\"==\"b\" echo lost> never.txt"_s);
    EXPECT_FALSE(QFile::exists(home.file(u"never.txt"_s)));

    for (const QString &bad : {u"if \"a\"==\"a\""_s, u"if errorlevel x echo x"_s,
                               u"if exist"_s + u" "_s, u"if \"a\" echo x"_s}) {
        const Result r = runIn(home.path(), bad);
        EXPECT_EQ(r.code, 1) << qPrintable(bad);
        EXPECT_EQ(r.err, u"Синтаксическая ошибка в команде.\r\n"_s) << qPrintable(bad);
        EXPECT_EQ(r.out, QString()) << qPrintable(bad);
    }
}

TEST(CmdIf, ABatchArgumentIsNeverAKeywordOrAnOperator)
{
    ProgramHome home;
    home.write(u"check.cmd"_s, "@echo off\r\nif \"%1\"==\"yes\" echo matched\r\nif %1==not echo plain\r\n");
    struct Case {
        QString argument;
        QString out;
    };
    const Case cases[] = {
        {u"yes"_s, u"matched\r\n"_s},
        {u"not"_s, u"plain\r\n"_s},
        {u"x\"==\"x\" echo>PWNED1 & rem"_s, QString()},
        {u"yes\" & echo>PWNED2 & \""_s, QString()},
        {u"exist check.cmd echo>PWNED3"_s, QString()},
    };
    for (const Case &c : cases) {
        const Result r = runBatch(home.path(), home.file(u"check.cmd"_s), {c.argument});
        EXPECT_EQ(r.out, c.out) << qPrintable(c.argument);
        EXPECT_EQ(pwnedFiles(home.path()), QStringList()) << qPrintable(c.argument);
    }
}

TEST(CmdCall, RunsAFileOfAnyExtensionThroughTheInterpreter)
{
    ProgramHome home;
    QDir(home.path()).mkpath(u"Script"_s);
    home.write(u"Script/inner.ps1"_s, "echo [%1][%2]\r\nexit /b 3\r\n");
    // A launcher that finds its script beside itself, whatever the working directory.
    home.write(u"Script/launch.cmd"_s, "@echo off\r\ncall \"%~dp0inner.ps1\" %1 two\r\necho after %~nx0\r\n");
    struct Case {
        QString line;
        QString out;
        int code;
    };
    const Case cases[] = {
        {u"call Script\\inner.ps1 a \"b c\""_s, u"[a][b c]\r\n"_s, 3},
        {u"call Script/inner.ps1 a & echo next"_s, u"[a][]\r\nnext\r\n"_s, 0},
        {u"call Script\\launch.cmd one"_s, u"[one][two]\r\nafter launch.cmd\r\n"_s, 0},
        {u"call echo plain"_s, u"plain\r\n"_s, 0},
        {u"call Script\\inner.ps1 x > out.txt"_s, u""_s, 3},
    };
    for (const Case &c : cases) {
        const Result r = runIn(home.path(), c.line);
        EXPECT_EQ(r.out, c.out) << qPrintable(c.line);
        EXPECT_EQ(r.code, c.code) << qPrintable(c.line);
    }
    EXPECT_EQ(home.read(u"out.txt"_s), QByteArray("[x][]\r\n"));

    const Result missing = runIn(home.path(), u"call Script\\missing.ps1"_s);
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, u"Системе не удается найти указанный путь.\r\n"_s);
}
