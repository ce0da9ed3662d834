// query user, tsdiscon, logoff and rwinsta over the logon sessions of this
// host: systemd-logind (a stand-in on a private bus, since logind does not run
// here) and, where logind is absent, real utmp records of live processes.

#include "common/SystemHelpers.h"
#include "peers/SessionPeers.h"
#include "platform/linux/LinuxSessions.h"
#include "shell/CommandRunner.h"
#include "shell/WinSessionTools.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

const QString kHeader = u" ПОЛЬЗОВАТЕЛЬ          СЕАНС              ID  СТАТУС  ВРЕМЯ БЕЗД.  ВРЕМЯ ВХОДА\r\n"_s;
const QStringList kActiveWords = {u"Активно"_s, u"Active"_s};
const QStringList kDisconnectedWords = {u"Диск"_s, u"Disc"_s};

qint64 usecAt(int year, int month, int day, int hour, int minute)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute)).toMSecsSinceEpoch() * 1000;
}

qint64 usecAgo(qint64 seconds) { return (QDateTime::currentSecsSinceEpoch() - seconds) * 1000000; }

QString hostName()
{
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return QString::fromLocal8Bit(name);
}

class SessionTools : public ::testing::Test
{
protected:
    // Other tests of this program put stand-ins in the tools' place and take
    // them away again: the real ones for these.
    SessionTools() { registerSessionTools(); }

    ConsoleRun run(const CommandLine &command) { return RunInConsole(command, m_home.path()); }
    ConsoleRun run(const QString &command) { return run(CommandLine(command)); }

    ProgramHome m_home;
    // A native manager of the test's own, reading the environment of the moment.
    ScopedInstance<SessionManager> m_manager{native::createSessionManager()};
};

class LogindSessions : public SessionTools
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_bus.address().isEmpty());
        m_standin = std::make_unique<LogindStandin>(m_bus.address(), sessions());
        ASSERT_TRUE(m_standin->ready()) << qPrintable(m_standin->errors());
    }

    static std::vector<StandinSession> sessions()
    {
        std::vector<StandinSession> list(4);
        list[0] = {u"3"_s, 1001, u"ivanov"_s, u"pts/3"_s, {}, true, u"active"_s, 0, usecAt(2026, 3, 5, 9, 7), 4242};
        // A user whose name is the English state word.
        list[1] = {u"7"_s, 1002, u"Active"_s, {}, u"10.0.0.15"_s, false, u"online"_s, usecAgo(125 * 60 + 30),
                   usecAt(2026, 3, 5, 10, 30), 4343};
        // A display manager's greeter: logind's "c<N>" ID, no logon time.
        list[2] = {u"c2"_s, 0, u"lightdm"_s, {}, {}, false, u"closing"_s, 0, 0, 0};
        // A remote host whose name holds blanks and a state word.
        list[3] = {u"12"_s, 1003, u"petrov"_s, {}, u"evil host Активно"_s, false, u"online"_s,
                   usecAgo(26 * 3600 + 3 * 60 + 30), usecAt(2026, 3, 4, 8, 0), 4444};
        return list;
    }

    PrivateBus m_bus;
    ScopedEnv m_systemBus{"DBUS_SYSTEM_BUS_ADDRESS", m_bus.address().toUtf8()};
    std::unique_ptr<LogindStandin> m_standin;
};

} // namespace

TEST(SessionTable, IdleTimeAsWindowsPrintsIt)
{
    const struct {
        qint64 seconds;
        const char *text;
    } cases[] = {{-1, "."}, {0, "."}, {59, "."}, {60, "1"}, {59 * 60 + 59, "59"}, {3600, "1:00"},
                 {3600 + 5 * 60, "1:05"}, {24 * 3600 - 1, "23:59"}, {24 * 3600, "1+00:00"},
                 {3 * 24 * 3600 + 7 * 3600 + 9 * 60, "3+07:09"}};
    for (const auto &c : cases)
        EXPECT_EQ(idleTimeText(c.seconds), QString::fromLatin1(c.text)) << c.seconds;
}

TEST_F(LogindSessions, QueryUserListsTheSessionsAsATable)
{
    const QString expected = kHeader
        + u" ivanov                pts/3               3  Активно           .  05.03.2026 09:07\r\n"
          u" Active                10.0.0.15           7  Диск           2:05  05.03.2026 10:30\r\n"
          u" petrov                evil_host_Активно  12  Диск        1+02:03  04.03.2026 08:00\r\n"
          // Neither terminal nor remote host nor seat: named by logind's ID.
          u" lightdm               c2                1000002  Диск              .\r\n"_s;
    for (const QString &server : {u"127.0.0.1"_s, u"localhost"_s, u"LOCALHOST"_s, hostName(), u"127.0.1.1"_s,
                                  GetLocalIp(), u"\\\\127.0.0.1"_s}) {
        const ConsoleRun r = run(u"query user /server "_s + server);
        EXPECT_EQ(r.exitCode, 0) << qPrintable(server);
        EXPECT_EQ(r.text, expected) << qPrintable(server);
    }
    const ConsoleRun colon = run(u"QUERY.EXE USER /SERVER:127.0.0.1"_s);
    EXPECT_EQ(colon.text, expected);

    // The window's count: the user named Active is a piece of its own; the
    // remote host's blanks do not make another.
    const QString shown = OemToAnsiText(RunAndCapture(u"query user /server 127.0.0.1"_s, u"C:\\"_s)).trimmed();
    EXPECT_EQ(countWords(shown, kActiveWords), 2);
    EXPECT_EQ(countWords(shown, kDisconnectedWords), 3);

    // One session by its ID or user name.
    EXPECT_EQ(run(u"query user 7 /server 127.0.0.1"_s).text,
              kHeader + u" Active                10.0.0.15           7  Диск           2:05  05.03.2026 10:30\r\n"_s);
    EXPECT_EQ(run(u"query user ivanov"_s).text,
              kHeader + u" ivanov                pts/3               3  Активно           .  05.03.2026 09:07\r\n"_s);
    const ConsoleRun nobody = run(u"query user sidorov /server 127.0.0.1"_s);
    EXPECT_NE(nobody.exitCode, 0);
    EXPECT_EQ(nobody.text, u"Нет пользователя для sidorov\r\n"_s);
}

TEST_F(LogindSessions, TheManagerTellsWhatTheOtherToolsNeed)
{
    const std::vector<SessionInfo> list = LinuxSessionManager().sessions();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].id, 3);
    EXPECT_EQ(list[0].uid, 1001u);
    EXPECT_EQ(list[0].leader, 4242);
    EXPECT_EQ(list[0].terminals, QStringList{u"/dev/pts/3"_s});
    EXPECT_TRUE(list[0].active);
    EXPECT_EQ(list[0].idleSeconds, 0);
    EXPECT_EQ(list[0].logon, QDateTime(QDate(2026, 3, 5), QTime(9, 7)));
    EXPECT_EQ(list[1].name, u"10.0.0.15"_s);
    EXPECT_TRUE(list[1].terminals.isEmpty());
    EXPECT_NEAR(static_cast<double>(list[1].idleSeconds), 125 * 60 + 30, 60);
    EXPECT_EQ(list[3].id, 1000002);
    EXPECT_FALSE(list[3].logon.isValid());
    EXPECT_EQ(LinuxSessionManager().activeSource(), LinuxSessionManager::Source::Logind);
}

TEST_F(LogindSessions, ActionsReachLogindWithTheSessionAndTheirArguments)
{
    const struct {
        QString command;
        QJsonArray call;
    } cases[] = {
        {u"logoff 12 /server "_s + hostName(), {u"TerminateSession"_s, u"12"_s}},
        {u"rwinsta.exe 1000002 /server 127.0.0.1"_s, {u"KillSession"_s, u"c2"_s, u"all"_s, 9}},
        {u"rwinsta pts/3 /server 127.0.0.1 /v"_s, {u"KillSession"_s, u"3"_s, u"all"_s, 9}},
    };
    for (const auto &c : cases) {
        const ConsoleRun r = run(c.command);
        EXPECT_EQ(r.exitCode, 0) << qPrintable(c.command) << qPrintable(r.text);
        EXPECT_EQ(r.text, QString()) << qPrintable(c.command);
        EXPECT_EQ(m_standin->takeCalls(), QList<QJsonArray>{c.call}) << qPrintable(c.command);
    }

    // What is left: the session of the user named Active.
    const QString shown = run(u"query user /server 127.0.0.1"_s).text;
    EXPECT_EQ(countWords(shown, kActiveWords), 1);
    EXPECT_EQ(countWords(shown, kDisconnectedWords), 1);
    EXPECT_EQ(shown.count(u"\r\n"_s), 2);
}

TEST_F(LogindSessions, AnSshLogonIsNeverLockedOrEndedByADisconnect)
{
    const QString refusal = u"Ошибка [50]:Такой запрос не поддерживается.\r\n"
                            u"Сеанс ssh нельзя отключить, не завершив его: программы пользователя закрылись бы вместе "
                            u"с ним. Сеанс оставлен как есть.\r\n"_s;
    const struct {
        QString command;
        QString session;
    } cases[] = {
        {u"tsdiscon 3 /server 127.0.0.1"_s, u"3"_s},
        {u"C:\\Windows\\System32\\TSDISCON.EXE 7 /server:localhost"_s, u"7"_s},
        {u"tsdiscon pts/3"_s, u"pts/3"_s},
    };
    for (const auto &c : cases) {
        const ConsoleRun r = run(c.command);
        EXPECT_EQ(r.exitCode, 1) << qPrintable(c.command);
        EXPECT_EQ(r.text, u"Не удалось отключить сеанс %1, код ошибки 50\r\n"_s.arg(c.session) + refusal)
            << qPrintable(c.command);
    }
    // An ID with the blank a list "1, 2" leaves before it, as the session
    // actions pass it.
    const ProgramRun spaced = RunProgramCaptured(GetSystemDir() + u"\\tsdiscon.exe"_s,
                                                 CommandLine(u"%1 /server %2"_s, {u" 7"_s, u"127.0.0.1"_s}),
                                                 GetSystemDir() + u"\\"_s);
    EXPECT_TRUE(spaced.started);
    EXPECT_EQ(spaced.exitCode, 1);
    EXPECT_EQ(spaced.errors, u"Не удалось отключить сеанс  7, код ошибки 50\r\n"_s + refusal);
    EXPECT_EQ(spaced.output, QString());
    // Nothing reached logind but the listings.
    for (const QJsonArray &call : m_standin->takeCalls())
        EXPECT_EQ(call.at(0).toString(), u"ListSessions"_s);
    EXPECT_EQ(countWords(run(u"query user"_s).text, kActiveWords), 2);
}

TEST_F(LogindSessions, BadSessionsAndOtherServersGiveTheWindowsErrors)
{
    const QString rpc = u"Ошибка [1722]:Сервер RPC недоступен.\r\n"_s;
    const QString notFound = u"Ошибка [7022]:Не удается найти указанный сеанс.\r\n"_s;
    const struct {
        QString command;
        QString text; // empty: only the first line is checked
        QString firstLine;
    } cases[] = {
        {u"logoff 99 /server 127.0.0.1"_s, u"Не удалось завершить сеанс 99, код ошибки 7022\r\n"_s + notFound, {}},
        {u"rwinsta abc /server 127.0.0.1"_s, u"Не удалось сбросить сеанс abc, код ошибки 7022\r\n"_s + notFound, {}},
        {u"tsdiscon -3 /server 127.0.0.1"_s, u"Не удалось отключить сеанс -3, код ошибки 7022\r\n"_s + notFound, {}},
        {u"tsdiscon 3 /server 10.20.30.40"_s, u"Не удалось отключить сеанс 3, код ошибки 1722\r\n"_s + rpc, {}},
        {u"logoff 3 /server:terminal.example"_s, u"Не удалось завершить сеанс 3, код ошибки 1722\r\n"_s + rpc, {}},
        {u"query user /server 192.0.2.1"_s, u"Ошибка 0x000006BA при получении имен сеансов\r\n"_s + rpc, {}},
        {u"query user /server "_s, {}, u"Недопустимые параметры."_s},
        {u"logoff /server 127.0.0.1"_s, {}, u"Недопустимые параметры."_s},
        {u"rwinsta 3 7 /server 127.0.0.1"_s, {}, u"Недопустимые параметры."_s},
        {u"tsdiscon 3 /x"_s, {}, u"Недопустимые параметры."_s},
        {u"query session"_s, {}, u"Недопустимые параметры."_s},
    };
    for (const auto &c : cases) {
        const ConsoleRun r = run(c.command);
        EXPECT_NE(r.exitCode, 0) << qPrintable(c.command);
        if (!c.text.isEmpty())
            EXPECT_EQ(r.text, c.text) << qPrintable(c.command);
        else
            EXPECT_EQ(r.text.section(u"\r\n"_s, 0, 0), c.firstLine) << qPrintable(c.command);
        EXPECT_EQ(countWords(r.text, kActiveWords + kDisconnectedWords), 0) << qPrintable(c.command);
    }
    EXPECT_EQ(m_standin->takeCalls(), QList<QJsonArray>{});
}

TEST_F(LogindSessions, HostileIdsAndAddressesStartNothing)
{
    const QString marker = m_home.file(u"marker"_s);
    const QStringList hostile = {
        u"1 & /usr/bin/touch MARK"_s,        u"3\" & /usr/bin/touch MARK & \""_s, u"3; /usr/bin/touch MARK"_s,
        u"$(/usr/bin/touch MARK)"_s,         u"`/usr/bin/touch MARK`"_s,          u"3 | /usr/bin/touch MARK"_s,
        u"3\r\n/usr/bin/touch MARK"_s,       u"3\" > MARK & \""_s,                u"3 && /usr/bin/touch MARK"_s,
    };
    const QString toolDir = GetSystemDir();
    for (QString value : hostile) {
        value.replace(u"MARK"_s, marker);
        for (const QString &tool : {u"tsdiscon"_s, u"logoff"_s, u"rwinsta"_s}) {
            // The ID, then the address, through the interpreter...
            ConsoleRun r = run(CommandLine(tool + u" %1 /server %2"_s, {value, u"127.0.0.1"_s}));
            EXPECT_NE(r.exitCode, 0) << qPrintable(value);
            r = run(CommandLine(tool + u" 3 /server %1"_s, {u"127.0.0.1"_s + value}));
            EXPECT_NE(r.exitCode, 0) << qPrintable(value);
            // ...and as the session actions start the tools.
            EXPECT_TRUE(RunProgram(toolDir + u"\\"_s + tool + u".exe"_s,
                                   CommandLine(u"%1 /server %2"_s, {value, u"127.0.0.1"_s}), toolDir + u"\\"_s, true,
                                   false, true));
        }
        const ConsoleRun q = run(CommandLine(u"query user /server %1"_s, {value}));
        EXPECT_NE(q.exitCode, 0) << qPrintable(value);
        EXPECT_FALSE(QFile::exists(marker)) << qPrintable(value);
        EXPECT_FALSE(QFile::exists(m_home.file(u"MARK"_s))) << qPrintable(value);
    }
    // No hostile value named a session.
    EXPECT_EQ(m_standin->takeCalls(), QList<QJsonArray>{});
    EXPECT_EQ(countWords(run(u"query user"_s).text, kActiveWords), 2);
}

namespace {

// A real pseudo-terminal, as an ssh logon has.
struct PseudoTerminal {
    int master = -1;
    int slave = -1;
    QString line; // "pts/N"
    PseudoTerminal()
    {
        char name[64] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0)
            line = QString::fromLocal8Bit(name).mid(5);
    }
    ~PseudoTerminal()
    {
        if (slave >= 0)
            ::close(slave);
        if (master >= 0)
            ::close(master);
    }
};

class UtmpSessions : public SessionTools
{
protected:
    QString m_utmp = m_home.file(u"utmp"_s);
    ScopedEnv m_utmpEnv{"DOZORIX_UTMP", m_utmp.toUtf8()};
};

// The fields of a table row.
QStringList rowFields(const QString &table, qint64 id)
{
    for (const QString &line : table.split(u"\r\n"_s)) {
        const QStringList fields = line.split(u' ', Qt::SkipEmptyParts);
        if (fields.size() > 2 && fields.at(2) == QString::number(id))
            return fields;
    }
    return {};
}

} // namespace

TEST_F(UtmpSessions, WithoutLogindTheLiveUtmpRecordsAreListed)
{
    PseudoTerminal pty;
    ASSERT_FALSE(pty.line.isEmpty());
    SessionProcesses petrov, active, dead;
    ASSERT_TRUE(petrov.ready() && active.ready() && dead.ready());
    qint64 endedPid = 0;
    {
        SessionProcesses ended;
        ASSERT_TRUE(ended.ready());
        endedPid = ended.leader();
    }
    ASSERT_TRUE(processGone(endedPid));

    ASSERT_TRUE(writeUtmp(m_utmp, {
        {USER_PROCESS, petrov.leader(), u"petrov"_s, pty.line, u"10.1.1.1"_s, QDateTime(QDate(2026, 3, 5), QTime(9, 7))},
        {USER_PROCESS, active.leader(), u"Active"_s, u"pts/9999"_s, {}, QDateTime(QDate(2026, 3, 5), QTime(10, 30))},
        {USER_PROCESS, endedPid, u"ghost"_s, u"pts/9998"_s, {}, QDateTime(QDate(2026, 3, 5), QTime(11, 0))},
        {DEAD_PROCESS, dead.leader(), u"gone"_s, u"pts/9997"_s, {}, QDateTime(QDate(2026, 3, 5), QTime(11, 0))},
    }));

    // No system bus at all, and a bus on which nobody owns logind's name.
    PrivateBus emptyBus;
    for (const QString &bus : {u"unix:path="_s + m_home.file(u"no-bus"_s), emptyBus.address()}) {
        ScopedEnv systemBus("DBUS_SYSTEM_BUS_ADDRESS", bus.toUtf8());
        const ConsoleRun r = run(u"query user /server 127.0.0.1"_s);
        EXPECT_EQ(r.exitCode, 0) << qPrintable(bus);
        EXPECT_TRUE(r.text.startsWith(kHeader)) << qPrintable(r.text);
        EXPECT_EQ(r.text.count(u"\r\n"_s), 3) << qPrintable(r.text);
        EXPECT_EQ(rowFields(r.text, petrov.leader()),
                  (QStringList{u"petrov"_s, pty.line, QString::number(petrov.leader()), u"Активно"_s, u"."_s,
                               u"05.03.2026"_s, u"09:07"_s}));
        // The terminal of this record does not exist: online, not in front.
        EXPECT_EQ(rowFields(r.text, active.leader()),
                  (QStringList{u"Active"_s, u"pts/9999"_s, QString::number(active.leader()), u"Диск"_s, u"."_s,
                               u"05.03.2026"_s, u"10:30"_s}));
        EXPECT_EQ(countWords(r.text, kActiveWords), 2);
        EXPECT_EQ(countWords(r.text, kDisconnectedWords), 1);
        EXPECT_TRUE(LinuxSessionManager().activeSource() == LinuxSessionManager::Source::Utmp);

        const std::vector<SessionInfo> list = LinuxSessionManager().sessions();
        ASSERT_EQ(list.size(), 2u);
        const SessionInfo &withTerminal = list[0].id == petrov.leader() ? list[0] : list[1];
        EXPECT_EQ(withTerminal.terminals, QStringList{u"/dev/"_s + pty.line});
        EXPECT_EQ(withTerminal.leader, petrov.leader());
        EXPECT_EQ(withTerminal.uid, ::getuid());
    }

    // An empty utmp file: nobody.
    ScopedEnv noBus("DBUS_SYSTEM_BUS_ADDRESS", (u"unix:path="_s + m_home.file(u"no-bus"_s)).toUtf8());
    ASSERT_TRUE(writeUtmp(m_utmp, {}));
    const ConsoleRun none = run(u"query user /server localhost"_s);
    EXPECT_NE(none.exitCode, 0);
    EXPECT_EQ(none.text, u"Нет пользователя для *\r\n"_s);
}

TEST_F(UtmpSessions, ActionsSignalTheSessionsProcesses)
{
    ScopedEnv noBus("DBUS_SYSTEM_BUS_ADDRESS", (u"unix:path="_s + m_home.file(u"no-bus"_s)).toUtf8());
    const struct {
        QString tool;
        bool ignoresHangupAndTerm;
        bool ends;
    } cases[] = {
        {u"logoff"_s, false, true},   // SIGTERM
        {u"logoff"_s, true, false},   // SIGTERM only asks
        {u"rwinsta"_s, true, true},   // SIGKILL
    };
    for (const auto &c : cases) {
        SessionProcesses target(c.ignoresHangupAndTerm), bystander;
        ASSERT_TRUE(target.ready() && bystander.ready());
        ASSERT_TRUE(writeUtmp(m_utmp, {
            {USER_PROCESS, target.leader(), u"ivanov"_s, u"pts/9990"_s, {}, QDateTime::currentDateTime()},
            {USER_PROCESS, bystander.leader(), u"petrov"_s, u"pts/9991"_s, {}, QDateTime::currentDateTime()},
        }));
        const ConsoleRun r = run(u"%1 %2 /server 127.0.0.1"_s.arg(c.tool).arg(target.leader()));
        EXPECT_EQ(r.exitCode, 0) << qPrintable(c.tool) << qPrintable(r.text);
        if (c.ends) {
            EXPECT_TRUE(target.waitForEnd(5000)) << qPrintable(c.tool);
        } else {
            // Give a wrongly sent SIGKILL the time to show.
            EXPECT_FALSE(target.waitForEnd(300)) << qPrintable(c.tool);
        }
        EXPECT_TRUE(bystander.running()) << qPrintable(c.tool);
    }

    // A record whose process has ended is no session.
    qint64 endedPid = 0;
    {
        SessionProcesses ended;
        ASSERT_TRUE(ended.ready());
        endedPid = ended.leader();
    }
    ASSERT_TRUE(writeUtmp(m_utmp, {{USER_PROCESS, endedPid, u"ghost"_s, u"pts/9992"_s, {}, QDateTime::currentDateTime()}}));
    const ConsoleRun r = run(u"rwinsta %1 /server 127.0.0.1"_s.arg(endedPid));
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.text, u"Не удалось сбросить сеанс %1, код ошибки 7022\r\n"
                      u"Ошибка [7022]:Не удается найти указанный сеанс.\r\n"_s.arg(endedPid));
}

namespace {

// Where the session list comes from: the bus alone, or logind's state files
// (the stand-in keeps them as logind does) with the bus for the actions.
enum class ListFrom { Bus, StateFiles };

class LogindSources : public SessionTools, public ::testing::WithParamInterface<ListFrom>
{
protected:
    void start(const std::vector<StandinSession> &list)
    {
        ASSERT_FALSE(m_bus.address().isEmpty());
        m_standin = std::make_unique<LogindStandin>(m_bus.address(), list,
                                                    GetParam() == ListFrom::StateFiles ? m_stateDir : QString());
        ASSERT_TRUE(m_standin->ready()) << qPrintable(m_standin->errors());
        if (GetParam() == ListFrom::StateFiles) {
            ASSERT_TRUE(QFile::exists(m_stateDir + u"/"_s + list.front().id));
            m_stateEnv = std::make_unique<ScopedEnv>("DOZORIX_LOGIND_SESSIONS", m_stateDir.toUtf8());
        }
    }

    QString nameOf(int id)
    {
        for (const SessionInfo &s : LinuxSessionManager().sessions()) {
            if (s.id == id)
                return s.name;
        }
        return u"<none>"_s;
    }

    PrivateBus m_bus;
    ScopedEnv m_systemBus{"DBUS_SYSTEM_BUS_ADDRESS", m_bus.address().toUtf8()};
    QString m_stateDir = m_home.file(u"sessions"_s);
    std::unique_ptr<ScopedEnv> m_stateEnv;
    std::unique_ptr<LogindStandin> m_standin;
};

std::string sourceName(const ::testing::TestParamInfo<ListFrom> &info)
{
    return info.param == ListFrom::Bus ? "Bus" : "StateFiles";
}

} // namespace

TEST_P(LogindSources, EverySessionHasANameThatLeadsBackToIt)
{
    const qint64 logon = usecAt(2026, 3, 5, 9, 7);
    start({
        {u"3"_s, 1001, u"petrov"_s, u"pts/3"_s, {}, true, u"active"_s, 0, logon, 4001},
        // A greeter alone on seat0 without a terminal: named by the seat.
        {u"c1"_s, 0, u"lightdm"_s, {}, {}, false, u"online"_s, 0, logon, 4002, u"seat0"_s},
        // Two on seat1 without terminals: each by its ID.
        {u"c4"_s, 0, u"gdm"_s, {}, {}, false, u"online"_s, 0, logon, 4003, u"seat1"_s},
        {u"5"_s, 1002, u"ivanov"_s, {}, {}, true, u"active"_s, 0, logon, 4004, u"seat1"_s},
        // No seat either.
        {u"c7"_s, 0, u"sddm"_s, {}, {}, false, u"closing"_s, 0, logon, 4005},
        // A terminal wins over the seat, and leaves seat0 to the greeter.
        {u"8"_s, 1003, u"sidorov"_s, u"tty2"_s, {}, false, u"online"_s, 0, logon, 4006, u"seat0"_s},
    });
    const struct {
        int id;
        QString name;
    } names[] = {{3, u"pts/3"_s}, {5, u"5"_s}, {8, u"tty2"_s}, {1000001, u"seat0"_s}, {1000004, u"c4"_s},
                 {1000007, u"c7"_s}};
    for (const auto &n : names)
        EXPECT_EQ(nameOf(n.id), n.name) << n.id;

    // Split into fields, every row has all of them, the name second.
    const ConsoleRun table = run(u"query user /server 127.0.0.1"_s);
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_EQ(table.text.count(u"\r\n"_s), 7) << qPrintable(table.text);
    for (const auto &n : names) {
        const QStringList fields = rowFields(table.text, n.id);
        EXPECT_EQ(fields.size(), 7) << n.id << qPrintable(fields.join(u'|'));
        EXPECT_EQ(fields.value(1), n.name) << n.id;
    }

    // The session tools take each name back as the session.
    const struct {
        QString command;
        QJsonArray call;
    } cases[] = {
        {u"logoff c4 /server 127.0.0.1"_s, {u"TerminateSession"_s, u"c4"_s}},
        {u"rwinsta SEAT0 /server 127.0.0.1"_s, {u"KillSession"_s, u"c1"_s, u"all"_s, 9}},
    };
    for (const auto &c : cases) {
        const ConsoleRun r = run(c.command);
        EXPECT_EQ(r.exitCode, 0) << qPrintable(c.command) << qPrintable(r.text);
        EXPECT_EQ(m_standin->takeCalls(), QList<QJsonArray>{c.call}) << qPrintable(c.command);
    }
    // tsdiscon finds the session by its name (the refusal, not "not found").
    for (const QString &name : {u"c7"_s, u"5"_s}) {
        const ConsoleRun r = run(u"tsdiscon "_s + name + u" /server 127.0.0.1"_s);
        EXPECT_EQ(r.exitCode, 1) << qPrintable(name);
        EXPECT_TRUE(r.text.startsWith(u"Не удалось отключить сеанс %1, код ошибки 50\r\n"_s.arg(name)))
            << qPrintable(r.text);
    }
    // With the greeter gone from seat1, the seat names the one left there.
    EXPECT_EQ(nameOf(5), u"seat1"_s);
    EXPECT_EQ(nameOf(1000004), u"<none>"_s);
    const ConsoleRun seat = run(u"tsdiscon seat1 /server 127.0.0.1"_s);
    EXPECT_EQ(seat.exitCode, 1);
    EXPECT_TRUE(seat.text.contains(u"Сеанс локальной консоли нельзя отключить"_s)) << qPrintable(seat.text);
    for (const QJsonArray &call : m_standin->takeCalls())
        EXPECT_EQ(call.at(0).toString(), u"ListSessions"_s);
}

TEST_P(LogindSources, TheStateFilesTellWhatTheBusTells)
{
    PseudoTerminal pty;
    ASSERT_FALSE(pty.line.isEmpty());
    // Last read from 2 h 5 min ago: the bus's idle hint and the terminal agree.
    const qint64 readAt = QDateTime::currentSecsSinceEpoch() - (125 * 60 + 30);
    const timespec times[2] = {{static_cast<time_t>(readAt), 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(u"/dev/"_s + pty.line).constData(), times, 0), 0);
    start({
        {u"3"_s, 1001, u"ivanov"_s, pty.line, u"10.0.0.15"_s, true, u"active"_s, readAt * 1000000,
         usecAt(2026, 3, 5, 9, 7), 4242},
        // Blanks, a state word, a backslash and a quote in the remote host.
        {u"12"_s, 1003, u"petrov"_s, {}, u"evil host Активно \\\"x"_s, false, u"online"_s, 0,
         usecAt(2026, 3, 4, 8, 0), 4444},
        {u"c2"_s, 0, u"lightdm"_s, {}, {}, false, u"closing"_s, 0, 0, 0, u"seat0"_s},
    });
    // Seatless, and idle by logind's hint: "Диск".
    const QString expected = kHeader
        + u" ivanov                %1  3  Диск           2:05  05.03.2026 09:07\r\n"_s.arg(pty.line.leftJustified(18))
        // Seatless and not idle: in use, whatever logind's Active says.
        + u" petrov                evil_host_Активно  12  Активно           .  04.03.2026 08:00\r\n"
          u" lightdm               seat0             1000002  Диск              .\r\n"_s;
    EXPECT_EQ(run(u"query user /server 127.0.0.1"_s).text, expected);
    const std::vector<SessionInfo> list = LinuxSessionManager().sessions();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].uid, 1001u);
    EXPECT_EQ(list[0].leader, 4242);
    EXPECT_EQ(list[0].terminals, QStringList{u"/dev/"_s + pty.line});
    EXPECT_EQ(list[1].name, u"evil_host_Активно_\\\"x"_s);
    EXPECT_EQ(list[2].uid, 0u);

    // Ended over the bus, gone from the list.
    EXPECT_EQ(run(u"logoff 12 /server 127.0.0.1"_s).exitCode, 0);
    EXPECT_EQ(m_standin->takeCalls(), (QList<QJsonArray>{{u"TerminateSession"_s, u"12"_s}}));
    EXPECT_EQ(run(u"query user /server 127.0.0.1"_s).text.count(u"\r\n"_s), 3);
}

namespace {

// A program under a name of the test's choosing (a copy of sleep): what the
// session code looks for in the process list ("x2goagent", "xrdp-sesman").
class NamedProcess
{
public:
    NamedProcess(const QString &folder, const QString &name)
    {
        QDir().mkpath(folder);
        const QString path = folder + u'/' + name;
        QFile::copy(u"/bin/sleep"_s, path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther
                                        | QFile::ReadOther);
        m_process.start(path, {u"300"_s});
        m_process.waitForStarted(5000);
    }
    ~NamedProcess()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    qint64 pid() const { return m_process.processId(); }
    bool running() const { return m_process.state() == QProcess::Running && !processGone(pid()); }

private:
    QProcess m_process;
};

// X2Go's tools, written by the test and put first on PATH, behaving as the
// real ones of x2goserver 4.1.0.3 (Debian 12): x2golistsessions_root and
// x2golistsessions print X2Go's list (fields split by "|": agent PID,
// session ID, display, host, state R/S/F, start, cookie, client, ports,
// last time, user, age, sshfs port); x2gosuspend-session takes the session
// ID, marks the session S (or, when its agent cannot be reached, writes
// "ERROR: failed to suspend session with ID …" on its errors and marks it
// F) and ends with 0 either way.
class X2GoStandins
{
public:
    explicit X2GoStandins(const QString &folder)
        : m_bin(folder + u"/bin"_s), m_data(folder + u"/x2go"_s)
    {
        QDir().mkpath(m_bin);
        QDir().mkpath(m_data);
        // The session's user (nobody, in one test) writes here.
        ::chmod(QFile::encodeName(folder).constData(), 0755);
        ::chmod(QFile::encodeName(m_bin).constData(), 0755);
        ::chmod(QFile::encodeName(m_data).constData(), 0777);
        const QString list = u"#!/bin/sh\ncat '%1'\n"_s.arg(db());
        write(u"x2golistsessions_root"_s, list);
        write(u"x2golistsessions"_s, list);
        write(u"x2gosuspend-session"_s, u"#!/bin/sh\n"
                                        "echo \"$(id -u) $HOME $*\" >> '%2'\n"
                                        "if [ $# -ne 1 ]; then\n"
                                        "  echo \"$(basename \"$0\"): needs <X2GO-SESSION> as first argument.\" >&2\n"
                                        "  exit 255\n"
                                        "fi\n"
                                        "new=S\n"
                                        "if [ -e '%3' ]; then\n"
                                        "  echo \"ERROR: failed to suspend session with ID $1\" >&2\n"
                                        "  new=F\n"
                                        "fi\n"
                                        "awk -F'|' -v OFS='|' -v sid=\"$1\" -v new=\"$new\" "
                                        "'$2 == sid && $5 == \"R\" { $5 = new } { print }' '%1' > '%1.new'\n"
                                        "cat '%1.new' > '%1'\n"
                                        "exit 0\n"_s.arg(db(), calls(), m_data + u"/fail"_s));
        setSessions({});
    }

    QString binFolder() const { return m_bin; }
    // "agent|id|user|state" for each session.
    void setSessions(const QStringList &sessions)
    {
        QString text;
        for (const QString &s : sessions) {
            const QStringList f = s.split(u'|');
            text += u"%1|%2|50|testhost|%3|2026-03-05T09:07:00|C0FFEE|10.0.0.9|30001|30002|2026-03-05T09:07:00|%4|120|30003\n"_s
                        .arg(f[0], f[1], f[3], f[2]);
        }
        QFile file(db());
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(text.toUtf8());
        file.close();
        ::chmod(QFile::encodeName(db()).constData(), 0666);
    }
    QString stateOf(const QString &id) const
    {
        QFile file(db());
        file.open(QIODevice::ReadOnly);
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> f = line.split('|');
            if (f.size() > 4 && QString::fromUtf8(f[1]) == id)
                return QString::fromUtf8(f[4]);
        }
        return QString();
    }
    QStringList takeCalls()
    {
        QFile file(calls());
        QStringList out;
        if (file.open(QIODevice::ReadOnly))
            out = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
        file.remove();
        return out;
    }
    void failSuspend(bool on)
    {
        if (on) {
            QFile f(m_data + u"/fail"_s);
            f.open(QIODevice::WriteOnly);
        } else {
            QFile::remove(m_data + u"/fail"_s);
        }
    }
    void removeSuspendTool() { QFile::remove(m_bin + u"/x2gosuspend-session"_s); }

private:
    QString db() const { return m_data + u"/sessions"_s; }
    QString calls() const { return m_data + u"/calls"_s; }
    void write(const QString &name, const QString &text)
    {
        QFile file(m_bin + u'/' + name);
        file.open(QIODevice::WriteOnly);
        file.write(text.toUtf8());
        file.close();
        ::chmod(QFile::encodeName(file.fileName()).constData(), 0755);
    }

    QString m_bin;
    QString m_data;
};

// The state word of a session in the table; empty when it has no row.
QString stateWord(const QString &table, int id)
{
    const QStringList fields = rowFields(table, id);
    for (const QString &f : fields) {
        if (f == u"Активно"_s || f == u"Диск"_s)
            return f;
    }
    return QString();
}

} // namespace

TEST_P(LogindSources, TheStateOfASeatlessSessionIsLogindsIdleHint)
{
    const qint64 logon = usecAt(2026, 3, 5, 9, 7);
    start({
        // logind calls every seatless session active: the idle hint decides.
        {u"3"_s, 1001, u"busy"_s, u"pts/3"_s, u"10.0.0.3"_s, true, u"active"_s, 0, logon, 0},
        {u"4"_s, 1002, u"idle"_s, u"pts/4"_s, u"10.0.0.4"_s, true, u"active"_s, usecAgo(3600), logon, 0},
        // Logged out, its programs still running.
        {u"5"_s, 1003, u"left"_s, {}, u"10.0.0.5"_s, true, u"closing"_s, 0, logon, 0},
        // A seat's sessions: logind's own word (the one in front of the seat).
        {u"6"_s, 1004, u"front"_s, u"tty1"_s, {}, true, u"active"_s, usecAgo(3600), logon, 0, u"seat0"_s},
        {u"7"_s, 1005, u"behind"_s, u"tty2"_s, {}, false, u"online"_s, 0, logon, 0, u"seat0"_s},
    });
    const QString table = run(u"query user /server 127.0.0.1"_s).text;
    const struct {
        int id;
        const char *state;
    } expected[] = {{3, "Активно"}, {4, "Диск"}, {5, "Диск"}, {6, "Активно"}, {7, "Диск"}};
    for (const auto &e : expected)
        EXPECT_EQ(stateWord(table, e.id), QString::fromUtf8(e.state)) << e.id << qPrintable(table);
    const std::vector<SessionInfo> list = LinuxSessionManager().sessions();
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].server, SessionServer::Ssh);
    EXPECT_EQ(list[3].server, SessionServer::Console);
}

TEST_P(LogindSources, AnX2GoSessionIsSuspendedAndShownDisconnected)
{
    X2GoStandins x2go(m_home.file(u"x2go"_s));
    ScopedEnv path("PATH", QFile::encodeName(x2go.binFolder()) + ':' + qgetenv("PATH"));
    NamedProcess agent(m_home.file(u"agent"_s), u"x2goagent"_s);
    ASSERT_TRUE(agent.running());
    const QString id = u"root-50-1772697600_stDXFCE_dp24"_s;
    x2go.setSessions({QString::number(agent.pid()) + u"|"_s + id + u"|root|R"_s});
    const qint64 logon = usecAt(2026, 3, 5, 9, 7);
    // The ssh logon X2Go came in by, its agent inside; an ordinary ssh logon beside it.
    start({
        {u"5"_s, 0, u"root"_s, {}, u"10.0.0.9"_s, true, u"active"_s, 0, logon, static_cast<quint32>(agent.pid())},
        {u"6"_s, 1000, u"petrov"_s, u"pts/6"_s, u"10.0.0.6"_s, true, u"active"_s, 0, logon, 0},
    });
    const std::vector<SessionInfo> before = LinuxSessionManager().sessions();
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0].server, SessionServer::X2Go);
    EXPECT_EQ(before[0].serverSessionId, id);
    EXPECT_EQ(before[1].server, SessionServer::Ssh);
    EXPECT_EQ(stateWord(run(u"query user"_s).text, 5), u"Активно"_s);

    const ConsoleRun r = run(u"tsdiscon 5 /server 127.0.0.1"_s);
    EXPECT_EQ(r.exitCode, 0) << qPrintable(r.text);
    EXPECT_EQ(r.text, QString());
    // As the session's user (here root, the console's own), with the X2Go ID.
    EXPECT_EQ(x2go.takeCalls(), QStringList{u"0 %1 %2"_s.arg(QDir::homePath(), id)});
    EXPECT_EQ(x2go.stateOf(id), u"S"_s);
    const QString after = run(u"query user"_s).text;
    EXPECT_EQ(stateWord(after, 5), u"Диск"_s);
    EXPECT_EQ(stateWord(after, 6), u"Активно"_s);
    EXPECT_TRUE(agent.running());
    for (const QJsonArray &call : m_standin->takeCalls())
        EXPECT_EQ(call.at(0).toString(), u"ListSessions"_s);

    // The agent cannot be reached: the tool's own words, in its failure.
    x2go.setSessions({QString::number(agent.pid()) + u"|"_s + id + u"|root|R"_s});
    x2go.failSuspend(true);
    const ConsoleRun failed = run(u"tsdiscon 5"_s);
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.text, u"Не удалось отключить сеанс 5, код ошибки 1\r\nОшибка [1]:Неверная функция.\r\n"
                           u"ERROR: failed to suspend session with ID %1\r\n"_s.arg(id));
    EXPECT_EQ(x2go.takeCalls().size(), 1);

    // No x2gosuspend-session at all.
    x2go.setSessions({QString::number(agent.pid()) + u"|"_s + id + u"|root|R"_s});
    x2go.failSuspend(false);
    x2go.removeSuspendTool();
    const ConsoleRun missing = run(u"tsdiscon 5"_s);
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.text.endsWith(u"Не найдена программа x2gosuspend-session (пакет x2goserver).\r\n"_s))
        << qPrintable(missing.text);
    EXPECT_EQ(stateWord(run(u"query user"_s).text, 5), u"Активно"_s);
    EXPECT_TRUE(agent.running());
}

TEST_P(LogindSources, AnotherUsersX2GoSessionIsSuspendedAsThatUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root starts a program as another user";
    X2GoStandins x2go(m_home.file(u"x2go"_s));
    ::chmod(QFile::encodeName(m_home.path()).constData(), 0755);
    ScopedEnv path("PATH", QFile::encodeName(x2go.binFolder()) + ':' + qgetenv("PATH"));
    NamedProcess agent(m_home.file(u"agent"_s), u"x2goagent"_s);
    ASSERT_TRUE(agent.running());
    const QString id = u"nobody-51-1772697601_stDXFCE_dp24"_s;
    x2go.setSessions({QString::number(agent.pid()) + u"|"_s + id + u"|nobody|R"_s});
    start({{u"9"_s, 65534, u"nobody"_s, {}, u"10.0.0.9"_s, true, u"active"_s, 0, usecAt(2026, 3, 5, 9, 7),
            static_cast<quint32>(agent.pid())}});
    const ConsoleRun r = run(u"tsdiscon 9"_s);
    EXPECT_EQ(r.exitCode, 0) << qPrintable(r.text);
    EXPECT_EQ(x2go.takeCalls(), QStringList{u"65534 /nonexistent "_s + id});
    EXPECT_EQ(stateWord(run(u"query user"_s).text, 9), u"Диск"_s);
}

TEST_P(LogindSources, AnXrdpSessionShowsWhetherItsClientIsAttachedAndIsNeverDisconnectedFromHere)
{
    const QString sockets = m_home.file(u"sockdir"_s);
    ASSERT_TRUE(QDir().mkpath(sockets));
    ScopedEnv socketDir("DOZORIX_XRDP_SOCKETS", QFile::encodeName(sockets));
    QLocalServer display;
    ASSERT_TRUE(display.listen(sockets + u"/xrdp_display_10"_s));
    const qint64 logon = usecAt(2026, 3, 5, 9, 7);
    auto xrdp = [&](const char *id, const char *user, const char *shown, qint64 idleSince) {
        StandinSession s{QString::fromLatin1(id), 1000, QString::fromLatin1(user), {}, {}, true, u"active"_s,
                         idleSince, logon, 0};
        s.service = u"xrdp-sesman"_s;
        s.display = QString::fromLatin1(shown);
        return s;
    };
    // :10 served by xorgxrdp; :11 and :12 without its socket (Xvnc): the idle hint.
    start({xrdp("8", "petrov", ":10", 0), xrdp("11", "sidorov", ":11", usecAgo(600)), xrdp("12", "ivanov", ":12", 0)});

    QString table = run(u"query user"_s).text;
    EXPECT_EQ(stateWord(table, 8), u"Диск"_s) << qPrintable(table);
    EXPECT_EQ(stateWord(table, 11), u"Диск"_s);
    EXPECT_EQ(stateWord(table, 12), u"Активно"_s);

    QLocalSocket client;
    client.connectToServer(sockets + u"/xrdp_display_10"_s);
    ASSERT_TRUE(client.waitForConnected(5000));
    ASSERT_TRUE(display.waitForNewConnection(5000));
    table = run(u"query user"_s).text;
    EXPECT_EQ(stateWord(table, 8), u"Активно"_s) << qPrintable(table);
    const std::vector<SessionInfo> list = LinuxSessionManager().sessions();
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[0].server, SessionServer::Xrdp);
    EXPECT_EQ(list[0].serverSessionId, u":10"_s);

    const ConsoleRun r = run(u"tsdiscon 8"_s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.text, u"Не удалось отключить сеанс 8, код ошибки 50\r\nОшибка [50]:Такой запрос не поддерживается.\r\n"
                      u"Сеанс xrdp отсюда не отключить: xrdp-sesman не умеет отключать сеансы по команде "
                      u"(xrdp-sesadmin только показывает их). Пользователь может отключиться сам, закрыв окно RDP. "
                      u"Сеанс оставлен как есть.\r\n"_s);
    EXPECT_EQ(client.state(), QLocalSocket::ConnectedState);
    for (const QJsonArray &call : m_standin->takeCalls())
        EXPECT_EQ(call.at(0).toString(), u"ListSessions"_s);
}

INSTANTIATE_TEST_SUITE_P(Logind, LogindSources, ::testing::Values(ListFrom::Bus, ListFrom::StateFiles), sourceName);

TEST(LogindStateFiles, WhatIsInTheFolderIsReadAsLogindWritesIt)
{
    ProgramHome home;
    const QString dir = home.file(u"sessions"_s);
    ASSERT_TRUE(QDir().mkpath(dir + u"/17"_s));
    const auto write = [&](const QString &name, const QByteArray &content) {
        QFile f(dir + u"/"_s + name);
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
    };
    const QByteArray common = "IS_DISPLAY=0\nREMOTE=1\nTYPE=tty\nCLASS=user\nREALTIME=1772697600000000\n";
    // Values as logind writes them: C escapes, or quoted.
    ASSERT_TRUE(write(u"21"_s, "# This is private data. Do not parse.\nUID=1021\nUSER=ivanov\nACTIVE=1\nSTATE=active\n"
                               "REMOTE_HOST=host\\040one\\t\\\\two\\x41\n" + common));
    ASSERT_TRUE(write(u"22"_s, "UID=1022\nUSER=petrov\nACTIVE=0\nSTATE=online\nREMOTE_HOST=\"a \\\"quoted\\\" host\"\n"
                               "LEADER=777\n" + common));
    ASSERT_TRUE(write(u"c23"_s, "UID=0\nUSER=gdm\nSTATE=closing\nSEAT='seat\\9'\n"));
    // Not sessions: no UID (a file half written), a temporary file, a
    // folder, a link, and a FIFO nobody writes to.
    ASSERT_TRUE(write(u"18"_s, "USER=nobody\nSTATE=active\n"));
    ASSERT_TRUE(write(u"24.tmp"_s, "UID=1024\nUSER=temp\n"));
    ASSERT_TRUE(QFile::link(dir + u"/21"_s, dir + u"/19"_s));
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir + u"/20"_s).constData(), 0600), 0);

    PrivateBus bus; // logind is on the bus; the list comes from the folder
    ASSERT_FALSE(bus.address().isEmpty());
    LogindStandin standin(bus.address(), {});
    ASSERT_TRUE(standin.ready()) << qPrintable(standin.errors());
    LinuxSessionManager::Options options;
    options.systemBusAddress = bus.address();
    options.logindStateDirectory = dir;
    const std::vector<SessionInfo> list = LinuxSessionManager(options).sessions();
    ASSERT_EQ(list.size(), 3u);
    const struct {
        int id;
        quint32 uid;
        QString user;
        QString name;
        bool active;
        qint64 leader;
        bool hasLogon;
    } expected[] = {{21, 1021, u"ivanov"_s, u"host_one_\\twoA"_s, true, 0, true},
                    // Seatless, online, no idle hint from the bus: in use.
                    {22, 1022, u"petrov"_s, u"a_\"quoted\"_host"_s, true, 777, true},
                    {1000023, 0, u"gdm"_s, u"seat\\9"_s, false, 0, false}};
    for (size_t i = 0; i < list.size(); ++i) {
        const auto &e = expected[i];
        EXPECT_EQ(list[i].id, e.id);
        EXPECT_EQ(list[i].uid, e.uid) << e.id;
        EXPECT_EQ(list[i].user, e.user) << e.id;
        EXPECT_EQ(list[i].name, e.name) << e.id;
        EXPECT_EQ(list[i].active, e.active) << e.id;
        EXPECT_EQ(list[i].leader, e.leader) << e.id;
        EXPECT_EQ(list[i].logon.isValid(), e.hasLogon) << e.id;
        EXPECT_TRUE(list[i].terminals.isEmpty()) << e.id;
    }
    EXPECT_EQ(list[0].logon, QDateTime::fromSecsSinceEpoch(1772697600));
}

TEST_F(UtmpSessions, ADisconnectLeavesTheSessionsProgramsRunning)
{
    ScopedEnv noBus("DBUS_SYSTEM_BUS_ADDRESS", (u"unix:path="_s + m_home.file(u"no-bus"_s)).toUtf8());
    PseudoTerminal pty;
    ASSERT_FALSE(pty.line.isEmpty());
    // An ssh logon on a real terminal, and a local text console.
    SessionProcesses ssh, console;
    ASSERT_TRUE(ssh.ready() && console.ready());
    ASSERT_TRUE(writeUtmp(m_utmp, {
        {USER_PROCESS, ssh.leader(), u"ivanov"_s, pty.line, u"10.1.1.1"_s, QDateTime::currentDateTime()},
        {USER_PROCESS, console.leader(), u"petrov"_s, u"tty9"_s, {}, QDateTime::currentDateTime()},
    }));
    const struct {
        qint64 id;
        const char *reason;
    } cases[] = {
        {ssh.leader(), "Сеанс ssh нельзя отключить, не завершив его: программы пользователя закрылись бы вместе с ним. "
                       "Сеанс оставлен как есть."},
        {console.leader(), "Сеанс локальной консоли нельзя отключить, не завершив его. Сеанс оставлен как есть."},
    };
    for (const auto &c : cases) {
        const ConsoleRun r = run(u"tsdiscon %1 /server 127.0.0.1"_s.arg(c.id));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.text, u"Не удалось отключить сеанс %1, код ошибки 50\r\nОшибка [50]:Такой запрос не поддерживается.\r\n"_s
                                  .arg(c.id)
                              + QString::fromUtf8(c.reason) + u"\r\n"_s);
    }
    // Given the time a wrongly sent hang-up would need to show.
    quietFor(300);
    EXPECT_TRUE(ssh.running());
    EXPECT_TRUE(console.running());
}

TEST_F(UtmpSessions, AnXrdpDisplayLineIsInUseWhileItsClientIsAttached)
{
    ScopedEnv noBus("DBUS_SYSTEM_BUS_ADDRESS", (u"unix:path="_s + m_home.file(u"no-bus"_s)).toUtf8());
    const QString sockets = m_home.file(u"sockdir"_s);
    ASSERT_TRUE(QDir().mkpath(sockets));
    ScopedEnv socketDir("DOZORIX_XRDP_SOCKETS", QFile::encodeName(sockets));
    QLocalServer display;
    ASSERT_TRUE(display.listen(sockets + u"/xrdp_display_10"_s));
    NamedProcess sesman(m_home.file(u"sesman"_s), u"xrdp-sesman"_s);
    SessionProcesses local;
    ASSERT_TRUE(sesman.running() && local.ready());
    ASSERT_TRUE(writeUtmp(m_utmp, {
        {USER_PROCESS, sesman.pid(), u"petrov"_s, u":10"_s, u"10.2.2.2"_s, QDateTime::currentDateTime()},
        // A display line of a local X server, not under xrdp-sesman.
        {USER_PROCESS, local.leader(), u"ivanov"_s, u":0"_s, {}, QDateTime::currentDateTime()},
    }));
    QString table = run(u"query user"_s).text;
    EXPECT_EQ(stateWord(table, static_cast<int>(sesman.pid())), u"Диск"_s) << qPrintable(table);
    EXPECT_EQ(stateWord(table, static_cast<int>(local.leader())), u"Активно"_s);
    QLocalSocket client;
    client.connectToServer(sockets + u"/xrdp_display_10"_s);
    ASSERT_TRUE(client.waitForConnected(5000));
    ASSERT_TRUE(display.waitForNewConnection(5000));
    table = run(u"query user"_s).text;
    EXPECT_EQ(stateWord(table, static_cast<int>(sesman.pid())), u"Активно"_s) << qPrintable(table);

    std::vector<SessionInfo> list = LinuxSessionManager().sessions();
    ASSERT_EQ(list.size(), 2u);
    const SessionInfo &x = list[0].leader == sesman.pid() ? list[0] : list[1];
    const SessionInfo &l = list[0].leader == sesman.pid() ? list[1] : list[0];
    EXPECT_EQ(x.server, SessionServer::Xrdp);
    EXPECT_EQ(l.server, SessionServer::Console);
    const ConsoleRun r = run(u"tsdiscon %1"_s.arg(sesman.pid()));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.text.contains(u"Сеанс xrdp отсюда не отключить"_s)) << qPrintable(r.text);
    quietFor(200);
    EXPECT_TRUE(sesman.running());
}

