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
        {u"tsdiscon 3 /server 127.0.0.1"_s, {u"LockSession"_s, u"3"_s}},
        {u"C:\\Windows\\System32\\TSDISCON.EXE 7 /server:localhost"_s, {u"LockSession"_s, u"7"_s}},
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
    // An ID with the blank a list "1, 2" leaves before it, as the session
    // actions pass it.
    EXPECT_TRUE(RunProgram(GetSystemDir() + u"\\tsdiscon.exe"_s, CommandLine(u"%1 /server %2"_s, {u" 7"_s, u"127.0.0.1"_s}),
                           GetSystemDir() + u"\\"_s, true, false, true));
    EXPECT_EQ(m_standin->takeCalls(), (QList<QJsonArray>{{u"LockSession"_s, u"7"_s}}));

    // What is left: the locked session of the user named Active.
    const QString shown = run(u"query user /server 127.0.0.1"_s).text;
    EXPECT_EQ(countWords(shown, kActiveWords), 1);
    EXPECT_EQ(countWords(shown, kDisconnectedWords), 1);
    EXPECT_EQ(shown.count(u"\r\n"_s), 2);
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
        {u"tsdiscon"_s, false, true}, // SIGHUP
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
        {u"tsdiscon c7 /server 127.0.0.1"_s, {u"LockSession"_s, u"c7"_s}},
        {u"tsdiscon 5 /server 127.0.0.1"_s, {u"LockSession"_s, u"5"_s}},
        {u"logoff c4 /server 127.0.0.1"_s, {u"TerminateSession"_s, u"c4"_s}},
        {u"rwinsta SEAT0 /server 127.0.0.1"_s, {u"KillSession"_s, u"c1"_s, u"all"_s, 9}},
    };
    for (const auto &c : cases) {
        const ConsoleRun r = run(c.command);
        EXPECT_EQ(r.exitCode, 0) << qPrintable(c.command) << qPrintable(r.text);
        EXPECT_EQ(m_standin->takeCalls(), QList<QJsonArray>{c.call}) << qPrintable(c.command);
    }
    // With the greeter gone from seat1, the seat names the one left there.
    EXPECT_EQ(nameOf(5), u"seat1"_s);
    EXPECT_EQ(nameOf(1000004), u"<none>"_s);
    EXPECT_EQ(run(u"tsdiscon seat1 /server 127.0.0.1"_s).exitCode, 0);
    EXPECT_EQ(m_standin->takeCalls(), (QList<QJsonArray>{{u"LockSession"_s, u"5"_s}}));
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
    const QString expected = kHeader
        + u" ivanov                %1  3  Активно        2:05  05.03.2026 09:07\r\n"_s.arg(pty.line.leftJustified(18))
        + u" petrov                evil_host_Активно  12  Диск              .  04.03.2026 08:00\r\n"
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
                    {22, 1022, u"petrov"_s, u"a_\"quoted\"_host"_s, false, 777, true},
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
