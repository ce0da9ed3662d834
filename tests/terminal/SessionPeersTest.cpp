// The session actions and messages of the tab "Сервер терминалов" run for
// real: the console's own session tools against a systemd-logind stand-in on
// a private bus, and messages reaching real pseudo-terminals.

#include "common/LogSink.h"
#include "common/SystemHelpers.h"
#include "peers/SessionPeers.h"
#include "platform/linux/LinuxSessions.h"
#include "shell/BuiltinTools.h"
#include "shell/CommandRunner.h"
#include "shell/WinSessionTools.h"
#include "support/TestSupport.h"
#include "terminal/SessionActions.h"
#include "terminal/UserMessages.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

QStringList callNames(const QList<QJsonArray> &calls)
{
    QStringList out;
    for (const QJsonArray &c : calls)
        out << c.at(0).toString() + u' ' + c.at(1).toString();
    return out;
}

class SessionActionsOnLogind : public ::testing::Test
{
protected:
    void SetUp() override
    {
        registerBuiltinTools();
        registerSessionTools();
        ASSERT_FALSE(m_bus.address().isEmpty());
        std::vector<StandinSession> list;
        for (const char *id : {"3", "4", "5", "7"}) {
            StandinSession s;
            s.id = QString::fromLatin1(id);
            s.uid = 1000;
            s.user = u"user"_s + s.id;
            s.tty = u"pts/"_s + s.id;
            s.active = true;
            s.state = u"active"_s;
            list.push_back(s);
        }
        m_standin = std::make_unique<LogindStandin>(m_bus.address(), list);
        ASSERT_TRUE(m_standin->ready()) << qPrintable(m_standin->errors());
        setLogReceiver([this](const QString &text, unsigned int rgb) {
            m_log << (rgb == 0xFF0000 ? u"red: "_s : rgb == 0x008000 ? u"green: "_s : u"plain: "_s) + unstamped(text);
        });
    }
    void TearDown() override { setLogReceiver({}); }

    ProgramHome m_home;
    PrivateBus m_bus;
    ScopedEnv m_systemBus{"DBUS_SYSTEM_BUS_ADDRESS", m_bus.address().toUtf8()};
    ScopedInstance<SessionManager> m_manager{native::createSessionManager()};
    std::unique_ptr<LogindStandin> m_standin;
    QStringList m_log;
};

} // namespace

TEST_F(SessionActionsOnLogind, TheActionsReachLogindForEverySessionOfTheIds)
{
    const QString sshRefusal = u"red: Сеанс ssh нельзя отключить, не завершив его: программы пользователя закрылись бы "
                               u"вместе с ним. Сеанс оставлен как есть."_s;
    const struct {
        const char *ids;
        const char *action;
        QStringList calls;
        QStringList lines;
    } cases[] = {
        // ssh logons: left alone, neither locked nor ended, and said in red.
        {"3,4", "Отключить сессию", {},
         {u"red: Не удалось отключить сеанс 3, код ошибки 50"_s, u"red: Ошибка [50]:Такой запрос не поддерживается."_s,
          sshRefusal, u"red: Не удалось отключить сеанс 4, код ошибки 50"_s,
          u"red: Ошибка [50]:Такой запрос не поддерживается."_s, sshRefusal}},
        {"4-5", "Сброс сессии", {u"KillSession 4"_s, u"KillSession 5"_s},
         {u"green: Команда \"Сбросить сессии\" была отправлена!"_s}},
        {"7", "Завершить сессию", {u"TerminateSession 7"_s}, {u"green: Команда \"Завершить сессии\" была отправлена!"_s}},
        // A missing session: the tool's error, in red, and no green line.
        {"9", "Завершить сессию", {},
         {u"red: Не удалось завершить сеанс 9, код ошибки 7022"_s,
          u"red: Ошибка [7022]:Не удается найти указанный сеанс."_s}},
    };
    SessionActionEnvironment env = defaultSessionActionEnvironment();
    int refreshes = 0;
    env.refreshList = [&] { ++refreshes; };
    for (const auto &c : cases) {
        m_log.clear();
        refreshes = 0;
        runSessionAction(QString::fromUtf8(c.ids), u"127.0.0.1"_s, QString::fromUtf8(c.action), env);
        QStringList calls = callNames(m_standin->takeCalls());
        calls.removeAll(u"ListSessions "_s);
        EXPECT_EQ(calls, c.calls) << c.ids;
        EXPECT_EQ(m_log, c.lines) << c.ids;
        EXPECT_GE(refreshes, 1) << c.ids;
    }
}

TEST_F(SessionActionsOnLogind, NoIdOrServerTextStartsASecondProgram)
{
    const QString marker = m_home.file(u"pwned"_s);
    SessionActionEnvironment env = defaultSessionActionEnvironment();
    const QStringList hostile = {u"3 & touch "_s + marker, u"3\" & touch "_s + marker + u" & \""_s,
                                 u"3 | touch "_s + marker, u"$(touch "_s + marker + u")"_s};
    for (const QString &text : hostile) {
        runSessionAction(text, u"127.0.0.1"_s, u"Завершить сессию"_s, env);
        runSessionAction(u"3"_s, u"127.0.0.1 & touch "_s + marker, u"Сброс сессии"_s, env);
        runSessionAction(text, u"127.0.0.1"_s, u"Подключиться к сеансу (Просмотр)"_s, env);
    }
    waitForBackgroundCommands(5000);
    EXPECT_FALSE(QFileInfo::exists(marker));
    // Session 3 is still there: none of those texts named it alone.
    QStringList calls = callNames(m_standin->takeCalls());
    EXPECT_FALSE(calls.contains(u"TerminateSession 3"_s)) << calls.join(u", "_s).toStdString();
    EXPECT_FALSE(calls.contains(u"KillSession 3"_s)) << calls.join(u", "_s).toStdString();
}

namespace {

class FixedSessions : public SessionManager
{
public:
    std::vector<SessionInfo> list;
    std::vector<SessionInfo> sessions() override { return list; }
    DisconnectResult disconnect(int) override { return {ENOSYS, SessionServer::Unknown, {}}; }
    int terminate(int) override { return ENOSYS; }
    int kill(int) override { return ENOSYS; }
};

SessionInfo ptySession(int id, const Pty &pty)
{
    SessionInfo s;
    s.id = id;
    s.user = u"user"_s + QString::number(id);
    s.name = pty.path().mid(5);
    s.terminals = {pty.path()};
    s.uid = 4000000 + static_cast<quint32>(id); // no session bus anywhere
    return s;
}

class MessagesToTerminals : public ::testing::Test
{
protected:
    void SetUp() override
    {
        registerBuiltinTools();
        registerMsg();
        m_sessions->list = {ptySession(1, m_one), ptySession(3, m_three)};
        setLogReceiver([this](const QString &text, unsigned int rgb) {
            m_log << (rgb == kLogRed ? u"red: "_s : u"green: "_s) + unstamped(text);
        });
    }
    void TearDown() override { setLogReceiver({}); }

    ProgramHome m_home;
    Pty m_one;
    Pty m_three;
    std::shared_ptr<FixedSessions> m_sessions = std::make_shared<FixedSessions>();
    ScopedInstance<SessionManager> m_scope{m_sessions};
    QStringList m_log;
};

} // namespace

TEST_F(MessagesToTerminals, TheListSkipsTheConsoleSessionAndTheTextArrivesAsOneLine)
{
    const QString marker = m_home.file(u"pwned"_s);
    const QString text = flattenMessageText(u"Сервер будет перезагружен\r\nчерез \"5\" минут & touch "_s + marker);
    QStringList sent;
    TerminalMessageEnvironment env = defaultTerminalMessageEnvironment();
    env.sent = [&](const QString &line) { sent << line; };
    sendTerminalMessages(u"0,3"_s, u"127.0.0.1"_s, text, env);
    ASSERT_TRUE(waitForBackgroundCommands(10000));
    const QString arrived = m_three.read(u"touch"_s);
    EXPECT_TRUE(arrived.contains(u"Сервер будет перезагружен  через \"5\" минут & touch "_s + marker)) << arrived.toStdString();
    EXPECT_EQ(m_one.read(), QString()); // not a target
    EXPECT_EQ(sent, QStringList{u"Сообщение отправлено: \""_s + text + u"\" для ID: 3"_s});
    EXPECT_FALSE(QFileInfo::exists(marker));
}

TEST_F(MessagesToTerminals, TheBackupNoticeReachesEverySessionOfThisComputer)
{
    SendUserNotice(u"Начинается резервное копирование"_s);
    ASSERT_TRUE(waitForBackgroundCommands(10000));
    EXPECT_TRUE(m_one.read(u"копирование"_s).contains(u"Начинается резервное копирование"_s));
    EXPECT_TRUE(m_three.read(u"копирование"_s).contains(u"Начинается резервное копирование"_s));
    EXPECT_EQ(m_log, QStringList{u"green: Сообщение пользователям отправлено: \"Начинается резервное копирование\" "_s});

    m_log.clear();
    SendUserNotice(QString());
    EXPECT_EQ(m_log, QStringList{u"red: Сообщение пользователям не отправлено! "_s});
    ASSERT_TRUE(waitForBackgroundCommands(10000));
    EXPECT_EQ(m_one.read(), QString());
}

TEST(SessionActionsOnUtmp, DisconnectingAnSshLogonLeavesItsProgramsRunningAndSaysSoInRed)
{
    registerBuiltinTools();
    registerSessionTools();
    ProgramHome home;
    const QString utmp = home.file(u"utmp"_s);
    ScopedEnv utmpEnv("DOZORIX_UTMP", QFile::encodeName(utmp));
    ScopedEnv noBus("DBUS_SYSTEM_BUS_ADDRESS", (u"unix:path="_s + home.file(u"no-bus"_s)).toUtf8());
    ScopedInstance<SessionManager> manager(native::createSessionManager());
    // A logon of its own on a real pseudo-terminal, as sshd leaves it: the
    // leader of its process session, with a program (the user's 1cv8c).
    Pty pty;
    ASSERT_FALSE(pty.path().isEmpty());
    SessionProcesses logon;
    ASSERT_TRUE(logon.ready());
    ASSERT_TRUE(writeUtmp(utmp, {{USER_PROCESS, logon.leader(), u"ivanov"_s, pty.path().mid(5), u"10.1.1.1"_s,
                                  QDateTime::currentDateTime()}}));

    QStringList lines;
    SessionActionEnvironment env = defaultSessionActionEnvironment();
    env.log = [&](const QString &text, unsigned int rgb) {
        lines << (rgb == 0xFF0000 ? u"red: "_s : rgb == 0x008000 ? u"green: "_s : u"plain: "_s) + text;
    };
    runSessionAction(QString::number(logon.leader()), u"127.0.0.1"_s, u"Отключить сессию"_s, env);
    EXPECT_EQ(lines, (QStringList{
                         u"red: Не удалось отключить сеанс %1, код ошибки 50"_s.arg(logon.leader()),
                         u"red: Ошибка [50]:Такой запрос не поддерживается."_s,
                         u"red: Сеанс ssh нельзя отключить, не завершив его: программы пользователя закрылись бы "
                         u"вместе с ним. Сеанс оставлен как есть."_s,
                     }));
    // Given the time a hang-up would need to show.
    quietFor(300);
    EXPECT_TRUE(logon.running());
}
