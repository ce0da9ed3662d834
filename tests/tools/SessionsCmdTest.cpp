// dozorix-cmd 'query user /server 127.0.0.1' on a host without logind lists
// the users of the utmp file as `who` does.

#include "peers/SessionPeers.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <pty.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

TEST(DozorixCmdSessions, QueryUserListsTheUtmpUsersAsWhoDoes)
{
    ProgramHome home;
    const QString utmp = home.file(u"utmp"_s);

    int master = -1, slave = -1;
    char name[64] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    const QString line = QString::fromLocal8Bit(name).mid(5);

    SessionProcesses ivanov, petrov;
    ASSERT_TRUE(ivanov.ready() && petrov.ready());
    ASSERT_TRUE(writeUtmp(utmp, {
        {USER_PROCESS, ivanov.leader(), u"ivanov"_s, line, u"10.1.1.1"_s, QDateTime(QDate(2026, 3, 5), QTime(9, 7))},
        {USER_PROCESS, petrov.leader(), u"petrov"_s, u"pts/9993"_s, {}, QDateTime(QDate(2026, 3, 6), QTime(23, 59))},
    }));

    // who: "USER LINE DATE TIME [(HOST)]" per record. (Records of ended
    // processes, which who still prints, are left to the shell's tests.)
    QProcess who;
    who.start(u"who"_s, {utmp});
    ASSERT_TRUE(who.waitForFinished(10000));
    QList<QStringList> byWho;
    for (const QString &l : QString::fromUtf8(who.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList f = l.split(u' ', Qt::SkipEmptyParts);
        ASSERT_GE(f.size(), 4) << qPrintable(l);
        const QDateTime at = QDateTime::fromString(f.at(2) + u' ' + f.at(3), u"yyyy-MM-dd HH:mm"_s);
        byWho.append({f.at(0), f.at(1), at.toString(u"dd.MM.yyyy HH:mm"_s)});
    }
    ASSERT_EQ(byWho.size(), 2);

    QProcess cmd;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"DOZORIX_HOME"_s, home.path());
    env.insert(u"DOZORIX_UTMP"_s, utmp);
    env.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, u"unix:path="_s + home.file(u"no-bus"_s)); // no logind here
    cmd.setProcessEnvironment(env);
    cmd.start(QStringLiteral(DOZORIX_PROGRAM_DIR "/dozorix-cmd"), {u"query user /server 127.0.0.1"_s});
    ASSERT_TRUE(cmd.waitForFinished(30000));
    EXPECT_EQ(cmd.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(cmd.readAllStandardOutput()).split(u"\r\n"_s, Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines.at(0).startsWith(u" ПОЛЬЗОВАТЕЛЬ"_s));
    QList<QStringList> byQuery;
    for (const QString &l : lines.mid(1)) {
        const QStringList f = l.split(u' ', Qt::SkipEmptyParts);
        ASSERT_EQ(f.size(), 7) << qPrintable(l); // user, session, ID, state, idle, date, time
        byQuery.append({f.at(0), f.at(1), f.at(5) + u' ' + f.at(6)});
    }
    EXPECT_EQ(byQuery, byWho);

    ::close(slave);
    ::close(master);
}

TEST(DozorixCmdSessions, MsgPutsTheTextOnTheTerminalOfTheUtmpUser)
{
    ProgramHome home;
    const QString utmp = home.file(u"utmp"_s);
    Pty terminal;
    ASSERT_FALSE(terminal.path().isEmpty());
    SessionProcesses ivanov;
    ASSERT_TRUE(ivanov.ready());
    ASSERT_TRUE(writeUtmp(utmp, {{USER_PROCESS, ivanov.leader(), u"ivanov"_s, terminal.path().mid(5), {},
                                  QDateTime::currentDateTime()}}));

    QProcess cmd;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"DOZORIX_HOME"_s, home.path());
    env.insert(u"DOZORIX_UTMP"_s, utmp);
    env.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, u"unix:path="_s + home.file(u"no-bus"_s));
    cmd.setProcessEnvironment(env);
    cmd.start(QStringLiteral(DOZORIX_PROGRAM_DIR "/dozorix-cmd"),
              {u"msg * /server:127.0.0.1 \"Сервер будет перезагружен\""_s});
    ASSERT_TRUE(cmd.waitForFinished(30000));
    EXPECT_EQ(cmd.exitCode(), 0) << cmd.readAllStandardError().toStdString();
    const QString arrived = terminal.read(u"перезагружен"_s);
    EXPECT_TRUE(arrived.contains(u"Сервер будет перезагружен"_s)) << arrived.toStdString();
}
