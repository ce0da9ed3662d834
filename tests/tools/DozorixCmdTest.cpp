// dozorix-cmd: one command line through the console's interpreter, run as the
// program an administrator starts, its output printed in UTF-8.

#include "support/ChildProcesses.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

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
