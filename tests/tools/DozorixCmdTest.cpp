// dozorix-cmd: one command line through the console's interpreter, run as the
// program an administrator starts, its output printed in UTF-8.

#include "support/ChildProcesses.h"
#include "support/TestSupport.h"
#include "support/Unprivileged.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <utility>

#include <sys/stat.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

struct CmdRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

CmdRun dozorixCmd(const QStringList &args, const QString &home)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"DOZORIX_HOME"_s, home);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(DOZORIX_PROGRAM_DIR "/dozorix-cmd"), args);
    CmdRun r;
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

} // namespace

TEST(DozorixCmd, EndsAProcessAndPrintsTheToolsLinesInUtf8)
{
    ProgramHome home;
    // A name of this test's own, so that no other test's "rphost" is reached:
    // dozorix-cmd is a program of its own, with no guard and the whole
    // process table, so the pattern keeps the whole pid (cutting digits off
    // would match the processes of other test programs running beside it).
    const QString prefix = u"rphost-cmd%1-"_s.arg(::getpid());
    const QString image = prefix + u"1"_s;
    NamedChild rphost(image, u"/bin/sleep"_s, {u"120"_s});
    ASSERT_TRUE(waitUntil([&] { return rphost.running(); }));

    const CmdRun r = dozorixCmd({u"chcp 1251 && taskkill /F /IM %1*"_s.arg(prefix)}, home.path());
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_TRUE(rphost.waitForEnd(5000));
    EXPECT_EQ(QString::fromUtf8(r.out), u"Текущая кодовая страница: 1251\r\n"
                                        u"УСПЕШНО: Процесс \"%1.exe\", с идентификатором %2, был завершен.\r\n"_s
                                            .arg(image)
                                            .arg(rphost.pid()));
}

TEST(DozorixCmd, DecodesEachPartInThePageItWasWrittenIn)
{
    ProgramHome home;
    // 866 until chcp, 1251 after it: both read back as the same Russian text.
    const CmdRun r = dozorixCmd({u"echo привет && chcp 1251 > nul && echo привет"_s}, home.path());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(QString::fromUtf8(r.out), u"привет \r\nпривет\r\n"_s);
}

TEST(DozorixCmd, RunsInTheProgramDirectoryAndReturnsTheCommandsExitCode)
{
    ProgramHome home;
    struct Case {
        QString command;
        int exitCode;
        QString output;
    };
    const Case cases[] = {
        {u"echo строка> temp.txt"_s, 0, QString()},
        {u"taskkill /IM no-such-image-%1"_s.arg(::getpid()), 128,
         u"ОШИБКА: процесс \"no-such-image-%1\" не найден.\r\n"_s.arg(::getpid())},
        {u"/bin/sh -c \"exit 3\""_s, 3, QString()},
    };
    for (const Case &c : cases) {
        const CmdRun r = dozorixCmd({c.command}, home.path());
        EXPECT_EQ(r.exitCode, c.exitCode) << qPrintable(c.command);
        EXPECT_EQ(QString::fromUtf8(r.out + r.err), c.output) << qPrintable(c.command);
    }
    // The redirection landed in the program directory, in the console page.
    QFile temp(home.file(u"temp.txt"_s));
    ASSERT_TRUE(temp.open(QIODevice::ReadOnly));
    EXPECT_EQ(temp.readAll(), QByteArray("\xe1\xe2\xe0\xae\xaa\xa0\r\n"));
}

TEST(DozorixCmd, RefusesAnythingButOneCommandLine)
{
    ProgramHome home;
    for (const QStringList &args : {QStringList{}, QStringList{u"echo a"_s, u"echo b"_s}, QStringList{QString()}}) {
        const CmdRun r = dozorixCmd(args, home.path());
        EXPECT_EQ(r.exitCode, 2) << args.size();
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_TRUE(r.err.startsWith("usage: dozorix-cmd")) << r.err.constData();
    }
}

// A command's output redirected into temp.txt or temp2.txt when a link or a
// FIFO stands under that name: the link's target is not written, the FIFO
// is not waited on (the run ends; a hang would fail the wait and the child
// is killed), and the command says the file was refused.
TEST(DozorixCmd, RedirectionIntoAPlantedHandOffFileIsRefused)
{
    struct Case {
        const char *name;
        const char *line;
        const char *planted;
        bool fifo;
    } cases[] = {
        {"link as temp.txt, >", "echo owned> temp.txt", "temp.txt", false},
        {"link as temp2.txt, >>", "echo owned>> temp2.txt", "temp2.txt", false},
        {"FIFO as temp.txt", "echo owned> temp.txt", "temp.txt", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramHome home;
        QTemporaryDir elsewhere;
        const QString target = elsewhere.filePath(u"authorized_keys"_s);
        {
            QFile f(target);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("ssh-ed25519 AAAA admin\n");
        }
        const QString planted = home.file(QString::fromLatin1(c.planted));
        if (c.fifo)
            ASSERT_EQ(::mkfifo(QFile::encodeName(planted).constData(), 0644), 0);
        else
            ASSERT_TRUE(QFile::link(target, planted));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DOZORIX_HOME"_s, home.path());
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(DOZORIX_PROGRAM_DIR "/dozorix-cmd"), {QString::fromLatin1(c.line)});
        const bool ended = p.waitForFinished(10000);
        if (!ended) {
            p.kill();
            p.waitForFinished();
        }
        EXPECT_TRUE(ended);
        EXPECT_NE(p.exitCode(), 0);
        EXPECT_EQ(QString::fromUtf8(p.readAllStandardOutput()).trimmed(), u"Отказано в доступе."_s);
        QFile f(target);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), QByteArray("ssh-ed25519 AAAA admin\n"));
    }
}

// The form a console that is not root runs as root (shell/Elevation.h):
// --dir is the program directory, where the line runs, whatever
// DOZORIX_HOME says; the values stay plain characters of the template.
TEST(DozorixCmd, TakesATemplateWithItsValuesAndTheProgramDirectory)
{
    ProgramHome home;
    QTemporaryDir dir;
    const CmdRun r = dozorixCmd({u"--dir"_s, dir.path(), u"--value"_s, u"a&b|c"_s, u"--value"_s, u"2"_s, u"--"_s,
                                 u"echo %1 %2> out.txt& echo %2"_s},
                                home.path());
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(QString::fromUtf8(r.out), u"2\r\n"_s);
    QFile out(dir.filePath(u"out.txt"_s));
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    EXPECT_EQ(out.readAll(), QByteArray("a&b|c 2\r\n"));
    EXPECT_FALSE(QFile::exists(home.file(u"out.txt"_s)));
    // A value is taken as it stands, even "--".
    const CmdRun dashes = dozorixCmd({u"--value"_s, u"--"_s, u"--"_s, u"echo [%1]"_s}, home.path());
    EXPECT_EQ(dashes.exitCode, 0) << dashes.err.constData();
    EXPECT_EQ(QString::fromUtf8(dashes.out), u"[--]\r\n"_s);
}

TEST(DozorixCmd, RefusesOptionsItDoesNotKnowOrThatLackTheirValue)
{
    ProgramHome home;
    QTemporaryDir dir;
    const QStringList usage[] = {
        {u"--dir"_s, dir.path(), u"echo a"_s},                 // no "--"
        {u"--dir"_s, dir.path(), u"--"_s},                     // no line
        {u"--dir"_s, dir.path(), u"--"_s, u"a"_s, u"b"_s},     // two lines
        {u"--value"_s, u"--"_s, u"echo a"_s},                  // the value "--", then no "--"
        {u"--"_s, u"echo a"_s, u"--value"_s},
        {u"--dir"_s, dir.path(), u"--dir"_s, dir.path(), u"--"_s, u"echo a"_s},
        {u"--bogus"_s, u"x"_s, u"--"_s, u"echo a"_s},
        {u"--dir"_s, dir.path(), u"--"_s, QString()},
    };
    for (const QStringList &args : usage) {
        const CmdRun r = dozorixCmd(args, home.path());
        EXPECT_EQ(r.exitCode, 2) << args.join(u' ').toStdString();
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_TRUE(r.err.startsWith("usage: dozorix-cmd")) << r.err.constData();
    }
    for (const QString &bad : {u"relative/dir"_s, dir.filePath(u"missing"_s)}) {
        const CmdRun r = dozorixCmd({u"--dir"_s, bad, u"--"_s, u"echo a> out.txt"_s}, home.path());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_EQ(r.err, "dozorix-cmd: the program directory " + bad.toUtf8() + " does not exist\n");
    }
}

// Run as root by pkexec, the line's redirections are opened as the account
// that asked (PKEXEC_UID): what they create is that account's, and root
// writes nowhere that account could not.
TEST(DozorixCmd, UnderPkexecRedirectionsAreOpenedAsTheCaller)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can open files as another account";
    ProgramHome home;
    QTemporaryDir callers;  // the caller's program directory
    QTemporaryDir rootOnly; // root's, 0755
    ASSERT_EQ(::chown(QFile::encodeName(callers.path()).constData(), 65534, 65534), 0);
    ::chmod(QFile::encodeName(rootOnly.path()).constData(), 0755);

    const auto run = [&](const QString &dir, const char *pkexecUid) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DOZORIX_HOME"_s, home.path());
        if (pkexecUid)
            env.insert(u"PKEXEC_UID"_s, QString::fromLatin1(pkexecUid));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(DOZORIX_PROGRAM_DIR "/dozorix-cmd"), {u"--dir"_s, dir, u"--"_s, u"echo x> temp.txt"_s});
        p.waitForFinished(30000);
        return std::make_pair(p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()).trimmed());
    };
    EXPECT_EQ(run(callers.path(), "65534").first, 0);
    EXPECT_EQ(FileIdentity::of(callers.filePath(u"temp.txt"_s)).uid, 65534u);
    EXPECT_EQ(run(rootOnly.path(), "65534"), std::make_pair(1, u"Отказано в доступе."_s));
    EXPECT_FALSE(QFile::exists(rootOnly.filePath(u"temp.txt"_s)));
    // Not run by pkexec: root's own run writes as root.
    EXPECT_EQ(run(rootOnly.path(), nullptr).first, 0);
    EXPECT_EQ(FileIdentity::of(rootOnly.filePath(u"temp.txt"_s)).uid, 0u);
}
