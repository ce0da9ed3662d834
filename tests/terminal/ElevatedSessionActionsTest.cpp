// The terminal tab's actions in a console that is not root: another
// account's session refuses the tool, and the same line goes to polkit
// through the pkexec stand-in (shell/Elevation.h). The session lines are
// only ever dismissed or left without an agent here, never run as root: a
// run as root would reach the machine's real sessions. The block of logons
// runs as root for real, on a nologin file of the stand-in's own.

#include "common/LogSink.h"
#include "common/Platform.h"
#include "common/SystemHelpers.h"
#include "support/PkexecStandIn.h"
#include "support/TestSupport.h"
#include "terminal/ScriptTemplates.h"
#include "terminal/SessionActions.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

// Sessions 5 and 6 of another account: whatever is done to them is refused
// as logind refuses an ordinary account; every call is counted.
class OtherAccountsSessions : public SessionManager
{
public:
    std::vector<SessionInfo> sessions() override
    {
        std::vector<SessionInfo> all;
        for (int id : {5, 6}) {
            SessionInfo s;
            s.id = id;
            s.user = u"buh%1"_s.arg(id);
            s.name = u"pts/%1"_s.arg(id);
            s.active = true;
            all.push_back(s);
        }
        return all;
    }
    DisconnectResult disconnect(int) override { return {refuse(), SessionServer::X2Go, QString()}; }
    int terminate(int) override { return refuse(); }
    int kill(int) override { return refuse(); }
    int calls = 0;

private:
    int refuse()
    {
        ++calls;
        return EPERM;
    }
};

class ElevatedTerminal : public ::testing::Test
{
protected:
    ElevatedTerminal()
    {
        setLogReceiver([this](const QString &text, unsigned int rgb) {
            const QString colour = rgb == kLogRed ? u"red"_s : rgb == kLogGreen ? u"green"_s : u"black"_s;
            m_log << colour + u"|"_s + unstamped(text);
        });
    }
    ~ElevatedTerminal() override { setLogReceiver({}); }

    ProgramHome m_home;
    ScopedEnv m_notRoot{"DOZORIX_ASSUME_EUID", "1000"};
    std::shared_ptr<OtherAccountsSessions> m_sessions = std::make_shared<OtherAccountsSessions>();
    ScopedInstance<SessionManager> m_slot{m_sessions};
    QStringList m_log;
};

const QString kNotice = u"black|Нет прав на «%1»: команда будет выполнена от root, polkit спросит пароль администратора."_s;

} // namespace

TEST_F(ElevatedTerminal, ARefusedSessionActionGoesToPolkitWithItsOwnLine)
{
    const struct {
        PkexecStandIn::Answer answer;
        QString refusal;
    } cases[] = {
        {PkexecStandIn::Answer::Dismiss,
         u"red|Администратор отказал в правах root (окно polkit закрыто): «tsdiscon 5 /server localhost» не выполнена."_s},
        {PkexecStandIn::Answer::NoAgent,
         u"red|Нет агента polkit: пароль администратора спросить некому, «tsdiscon 5 /server localhost» не выполнена. "
         u"Запустите консоль в графическом сеансе с агентом polkit или от root."_s},
    };
    for (const auto &c : cases) {
        m_log.clear();
        PkexecStandIn pkexec(c.answer);
        runSessionAction(u"5"_s, u" localhost "_s, u"Отключить сессию"_s, defaultSessionActionEnvironment());
        ASSERT_EQ(pkexec.calls().size(), 1);
        // The IDs and the server stay values of their own as root too.
        EXPECT_EQ(pkexec.calls()[0].mid(4), (QStringList{u"--value"_s, u"5"_s, u"--value"_s, u"localhost"_s, u"--"_s,
                                                         u"tsdiscon %1 /server %2"_s}));
        // Root's run did not happen: what the console's own run was told
        // stays red, and nothing is green.
        EXPECT_EQ(m_log, (QStringList{kNotice.arg(u"tsdiscon 5 /server localhost"_s), c.refusal,
                                      u"red|Не удалось отключить сеанс 5, код ошибки 5"_s,
                                      u"red|Ошибка [5]:Отказано в доступе."_s}));
    }
}

TEST_F(ElevatedTerminal, EachSessionOfAListIsItsOwnLine)
{
    PkexecStandIn pkexec(PkexecStandIn::Answer::Dismiss);
    runSessionAction(u"5,6"_s, u"localhost"_s, u"Сброс сессии"_s, defaultSessionActionEnvironment());
    ASSERT_EQ(pkexec.calls().size(), 2);
    EXPECT_EQ(pkexec.calls()[0].value(5), u"5"_s);
    EXPECT_EQ(pkexec.calls()[1].value(5), u"6"_s);
    EXPECT_EQ(pkexec.calls()[1].last(), u"rwinsta %1 /server %2"_s);
    EXPECT_EQ(m_sessions->calls, 2);
}

TEST_F(ElevatedTerminal, RootNeverAsksPolkit)
{
    ScopedEnv root("DOZORIX_ASSUME_EUID", "0");
    PkexecStandIn pkexec(PkexecStandIn::Answer::Run);
    runSessionAction(u"5"_s, u"localhost"_s, u"Завершить сессию"_s, defaultSessionActionEnvironment());
    EXPECT_EQ(m_sessions->calls, 1);
    EXPECT_TRUE(pkexec.calls().isEmpty());
    // Refused even to root (the stand-in refuses everyone): red, no password asked.
    EXPECT_EQ(m_log, (QStringList{u"red|Не удалось завершить сеанс 5, код ошибки 5"_s,
                                  u"red|Ошибка [5]:Отказано в доступе."_s}));
}

// "Заблокировать вход на сервер": the console's account cannot write the
// nologin file (sysfs refuses a new file to anybody); the script runs once
// more as root, which writes its own nologin file.
TEST_F(ElevatedTerminal, BlockingLogonsRunsTheScriptAgainAsRoot)
{
    QDir(m_home.path()).mkpath(u"Templates"_s);
    QDir(m_home.path()).mkpath(u"Script"_s);
    ASSERT_TRUE(QFile::copy(QStringLiteral(DOZORIX_SOURCE_DIR "/data/Templates/TSDisable.cmd"),
                            m_home.file(u"Templates/TSDisable.cmd"_s)));
    ScopedEnv unwritable("DOZORIX_NOLOGIN", "/sys/dozorix-nologin-of-a-test");
    PkexecStandIn pkexec(PkexecStandIn::Answer::Run);
    ASSERT_FALSE(QFile::exists(pkexec.nologinFile()));

    BulkCommandEnvironment env;
    env.log = [](const QString &text, unsigned int rgb) { logLine(text, rgb); };
    const BulkCommandOutcome outcome = runBulkCommandLogged(BulkCommandId::BlockLogons, u"localhost"_s, env);
    // Root's run here (the stand-in) writes a nologin file of its own; the
    // console believes only the file where it looks, and that one is not
    // there: no green line.
    EXPECT_EQ(outcome.kind, BulkCommandOutcome::Failed);

    const QString script = m_home.file(u"Script/TSDisable.cmd"_s);
    ASSERT_EQ(pkexec.calls().size(), 1);
    EXPECT_EQ(pkexec.calls()[0].mid(2), (QStringList{u"--dir"_s, m_home.file(u"Script"_s), u"--value"_s, script,
                                                     u"--"_s, u"%1"_s}));
    QFile nologin(pkexec.nologinFile());
    ASSERT_TRUE(nologin.open(QIODevice::ReadOnly));
    EXPECT_TRUE(nologin.readAll().startsWith("Вход на сервер закрыт администратором."));
    EXPECT_EQ(m_log, (QStringList{kNotice.arg(script),
                                  u"red|Вход на сервер не закрыт: файла /sys/dozorix-nologin-of-a-test нет."_s}));
}

TEST_F(ElevatedTerminal, AMissingScriptIsNotStarted)
{
    PkexecStandIn pkexec(PkexecStandIn::Answer::Run);
    EXPECT_FALSE(defaultScriptRunner()(m_home.file(u"Script/none.cmd"_s), m_home.path(), true, true).started);
    EXPECT_TRUE(pkexec.calls().isEmpty());
}
