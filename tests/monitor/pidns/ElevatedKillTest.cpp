// Ending 1C processes from a console that is not root, for real, as PID 1
// of a PID namespace of the test's own (dozorix_private_pid_tests): the
// console takes the part of the account "nobody" (DOZORIX_ASSUME_EUID, and
// kill(2) answered as it answers nobody), a 1cv8 of nobody's ends at once,
// one of root's is refused and ends when the same line runs as root through
// the pkexec stand-in and the real dozorix-cmd.

#include "common/LogSink.h"
#include "common/Platform.h"
#include "monitor/ProcessActions.h"
#include "shell/CommandRunner.h"
#include "shell/Elevation.h"
#include "support/ChildProcesses.h"
#include "support/FakeServices.h"
#include "support/PkexecStandIn.h"
#include "support/ProcessGuard.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

constexpr quint32 kNobody = 65534;
const QString kHelper = QStringLiteral(DOZORIX_BINARY_DIR "/bin/dozorix-cmd");

// kill(2) as the account uid answers it: another account's process is
// refused (EPERM), the account's own goes through.
class AsAccount : public ProcessControl
{
public:
    explicit AsAccount(quint32 uid) : m_uid(uid) {}
    SignalResult sendSignal(qint64 pid, int signal) override
    {
        const QFileInfo proc(u"/proc/%1"_s.arg(pid));
        if (!proc.exists())
            return {false, ESRCH};
        if (proc.ownerId() != m_uid)
            return {false, EPERM};
        return m_inner->sendSignal(pid, signal);
    }

private:
    quint32 m_uid;
    std::shared_ptr<ProcessControl> m_inner = ProcessControl::instance();
};

// A child started under setpriv is nobody's program once setpriv has
// changed its account and started it (the pid is setpriv's until then).
bool runsAsNobody(const NamedChild &child)
{
    return waitUntil([&child] {
        QFile comm(u"/proc/%1/comm"_s.arg(child.pid()));
        return comm.open(QIODevice::ReadOnly) && QString::fromUtf8(comm.readAll().trimmed()) == QFileInfo(child.path()).fileName()
               && QFileInfo(u"/proc/%1"_s.arg(child.pid())).ownerId() == kNobody;
    });
}

struct NotRootConsole {
    ProgramHome home;
    ScopedTimeScale scale{10};
    ScopedEnv notRoot{"DOZORIX_ASSUME_EUID", QByteArray::number(kNobody)};
    ScopedInstance<ProcessControl> control{std::make_shared<AsAccount>(kNobody)};
    PkexecStandIn pkexec{PkexecStandIn::Answer::Run, kHelper};
    QStringList log; // "colour|text", stamps cut off
    std::unique_ptr<ProcessActions> actions;

    NotRootConsole()
    {
        setLogReceiver([this](const QString &t, unsigned int rgb) {
            const QString colour = rgb == kLogRed ? u"red"_s : rgb == kLogGreen ? u"green"_s : u"black"_s;
            log << colour + u"|"_s + unstamped(t);
        });
        actions = std::make_unique<ProcessActions>(ProcessActions::Hooks{});
    }
    ~NotRootConsole()
    {
        waitForBackgroundCommands(10000);
        setLogReceiver({});
    }
    bool runToEnd() { return waitUntil([this] { return !actions->isBusy(); }, 30000); }
};

const QString kNotice = u"black|Нет прав на «%1»: команда будет выполнена от root, polkit спросит пароль администратора."_s;

} // namespace

TEST(ElevatedKill, AnotherAccountsProcessEndsAsRootThroughPolkit)
{
    ASSERT_TRUE(inPrivatePidNamespace());
    ASSERT_TRUE(NamedChild::canRunAsNobody());
    NotRootConsole console;
    NamedChild own(u"1cv8c"_s, u"/bin/sleep"_s, {u"120"_s}, NamedChild::Owner::Nobody);
    NamedChild other(u"1cv8"_s, u"/bin/sleep"_s, {u"120"_s}); // root's
    ASSERT_TRUE(runsAsNobody(own));
    ASSERT_TRUE(waitUntil([&] { return other.running(); }));

    console.actions->killLocal(ProcessActions::LocalKill::Clients8);
    EXPECT_TRUE(own.waitForEnd(5000));
    EXPECT_TRUE(other.waitForEnd(5000));

    // pkexec got dozorix-cmd (absolute), the program directory of "C:\" and
    // exactly the kill line, nothing else.
    ASSERT_EQ(console.pkexec.calls().size(), 1);
    EXPECT_EQ(console.pkexec.calls()[0], (QStringList{u"--disable-internal-agent"_s, kHelper, u"--dir"_s,
                                                      QDir::homePath(), u"--"_s, u"TASKKILL /F /IM 1cv8*"_s}));
    // What the console's own run said (one ended, one refused, in red), the
    // notice, then what root's run said.
    const QStringList byPid =
        own.pid() < other.pid()
            ? QStringList{u"green|УСПЕШНО: Процесс \"1cv8c.exe\", с идентификатором %1, был завершен."_s.arg(own.pid()),
                          u"red|ОШИБКА: Не удается завершить процесс \"1cv8.exe\" с идентификатором %1."_s.arg(other.pid()),
                          u"red|Причина: Отказано в доступе."_s}
            : QStringList{u"red|ОШИБКА: Не удается завершить процесс \"1cv8.exe\" с идентификатором %1."_s.arg(other.pid()),
                          u"red|Причина: Отказано в доступе."_s,
                          u"green|УСПЕШНО: Процесс \"1cv8c.exe\", с идентификатором %1, был завершен."_s.arg(own.pid())};
    const QStringList expected = byPid + QStringList{kNotice.arg(u"TASKKILL /F /IM 1cv8*"_s),
                                                     u"green|УСПЕШНО: Процесс \"1cv8.exe\", с идентификатором %1, был "
                                                     u"завершен."_s.arg(other.pid())};
    EXPECT_EQ(console.log, expected) << console.log.join(u'\n').toStdString();
}

TEST(ElevatedKill, ARefusalIsRedAndTheProcessLivesOn)
{
    ASSERT_TRUE(inPrivatePidNamespace());
    const struct {
        PkexecStandIn::Answer answer;
        QString start;
    } cases[] = {
        {PkexecStandIn::Answer::Dismiss, u"red|Администратор отказал в правах root"_s},
        {PkexecStandIn::Answer::NoAgent, u"red|Нет агента polkit: "_s},
    };
    for (const auto &c : cases) {
        NotRootConsole console;
        console.pkexec.answer(c.answer);
        NamedChild other(u"rphost"_s, u"/bin/sleep"_s, {u"120"_s});
        ASSERT_TRUE(waitUntil([&] { return other.running(); }));
        console.actions->killLocal(ProcessActions::LocalKill::Servers);
        EXPECT_TRUE(other.running());
        // ragent and rmngr are not found (red, no want of rights): only the
        // rphost line goes to pkexec.
        ASSERT_EQ(console.pkexec.calls().size(), 1);
        EXPECT_EQ(console.pkexec.calls()[0].last(), u"TASKKILL /F /IM rphost*"_s);
        const qsizetype notice = console.log.indexOf(kNotice.arg(u"TASKKILL /F /IM rphost*"_s));
        ASSERT_GE(notice, 0) << console.log.join(u'\n').toStdString();
        ASSERT_EQ(console.log.size(), notice + 3) << console.log.join(u'\n').toStdString();
        EXPECT_TRUE(console.log[notice + 1].startsWith(c.start)) << console.log[notice + 1].toStdString();
        EXPECT_TRUE(console.log[notice + 2].startsWith(u"red|ОШИБКА: процесс \"rmngr*\" не найден."_s));
    }
}

TEST(ElevatedKill, RootIsNeverSentToPolkit)
{
    ASSERT_TRUE(inPrivatePidNamespace());
    NotRootConsole console;
    ScopedEnv root("DOZORIX_ASSUME_EUID", "0");
    NamedChild other(u"1cv8"_s, u"/bin/sleep"_s, {u"120"_s});
    ASSERT_TRUE(waitUntil([&] { return other.running(); }));
    console.actions->killLocal(ProcessActions::LocalKill::Clients8);
    EXPECT_TRUE(other.running());
    EXPECT_TRUE(console.pkexec.calls().isEmpty());
    EXPECT_EQ(console.log, (QStringList{u"red|ОШИБКА: Не удается завершить процесс \"1cv8.exe\" с идентификатором %1."_s.arg(other.pid()),
                                        u"red|Причина: Отказано в доступе."_s}));
}

// The reset by login writes temp.txt: root's run writes it again (as the
// account that asked), and the read-back after the pause logs what root
// ended.
TEST(ElevatedKill, TheResetByLoginReadsBackWhatRootEnded)
{
    ASSERT_TRUE(inPrivatePidNamespace());
    NotRootConsole console;
    NamedChild other(u"1cv8c"_s, u"/bin/sleep"_s, {u"120"_s}); // root's
    ASSERT_TRUE(waitUntil([&] { return other.running(); }));
    ASSERT_TRUE(console.actions->resetByLogin(u"root"_s));
    ASSERT_TRUE(console.runToEnd());
    EXPECT_TRUE(other.waitForEnd(5000));
    ASSERT_EQ(console.pkexec.calls().size(), 1);
    EXPECT_EQ(console.pkexec.calls()[0].mid(2), (QStringList{u"--dir"_s, console.home.path(), u"--value"_s, u"root"_s, u"--"_s,
                                                             u"chcp 1251 && TASKKILL /F /FI \"USERNAME eq %1\" /IM 1cv8* /T > temp.txt"_s}));
    EXPECT_EQ(console.log, (QStringList{kNotice.arg(u"chcp 1251 && TASKKILL /F /FI \"USERNAME eq root\" /IM 1cv8* /T > temp.txt"_s),
                                        u"green|УСПЕШНО: Процесс с идентификатором %1 (дочерний процесс 1) был завершен."_s.arg(other.pid())}))
        << console.log.join(u'\n').toStdString();
}

// The service commands: the line as it stands in temp.txt's contract goes
// to pkexec; the administrator dismisses it here, so that nothing reaches
// the real systemctl, and the log says so in red before what the read-back
// of temp.txt logs.
TEST(ElevatedKill, AServiceCommandRefusedGoesToPolkitWithItsOwnLine)
{
    ASSERT_TRUE(inPrivatePidNamespace());
    NotRootConsole console;
    console.pkexec.answer(PkexecStandIn::Answer::Dismiss);
    auto services = std::make_shared<FakeServices>();
    services->add(u"1C:Enterprise 8.3 Server Agent"_s, ServiceManager::State::Running);
    services->failNextControl(ServiceManager::kAccessDenied);
    ScopedInstance<ServiceManager> slot(services);

    ASSERT_TRUE(console.actions->serviceCommand(ProcessActions::Version::V83, ProcessActions::Operation::Stop,
                                                ProcessActions::Pattern::MainMenu));
    ASSERT_TRUE(console.runToEnd());
    EXPECT_EQ(services->state(u"1C:Enterprise 8.3 Server Agent"_s), ServiceManager::State::Running);
    ASSERT_EQ(console.pkexec.calls().size(), 1);
    EXPECT_EQ(console.pkexec.calls()[0].mid(2), (QStringList{u"--dir"_s, console.home.path(), u"--"_s,
                                                             u"net stop \"1C:Enterprise 8.3 Server Agent\"  > temp.txt"_s}));
    ASSERT_GE(console.log.size(), 2) << console.log.join(u'\n').toStdString();
    EXPECT_EQ(console.log[0], kNotice.arg(u"net stop \"1C:Enterprise 8.3 Server Agent\"  > temp.txt"_s));
    EXPECT_TRUE(console.log[1].startsWith(u"red|Администратор отказал в правах root (окно polkit закрыто): «net stop"_s))
        << console.log[1].toStdString();
}

// "Снять задачу" of the process list: one process by its PID.
TEST(ElevatedKill, TheEndOfOneSelectedProcessGoesToPolkitWhenRefused)
{
    ASSERT_TRUE(inPrivatePidNamespace());
    NotRootConsole console;
    NamedChild other(u"1cv8c"_s, u"/bin/sleep"_s, {u"120"_s}); // root's
    NamedChild own(u"1cv8c"_s, u"/bin/sleep"_s, {u"120"_s}, NamedChild::Owner::Nobody);
    ASSERT_TRUE(runsAsNobody(own));
    ASSERT_TRUE(waitUntil([&] { return other.running(); }));

    EXPECT_TRUE(ProcessActions::KillProcess(static_cast<quint32>(own.pid())));
    EXPECT_TRUE(own.waitForEnd(5000));
    EXPECT_TRUE(console.pkexec.calls().isEmpty());
    EXPECT_TRUE(console.log.isEmpty());

    EXPECT_TRUE(ProcessActions::KillProcess(static_cast<quint32>(other.pid())));
    EXPECT_TRUE(other.waitForEnd(5000));
    ASSERT_EQ(console.pkexec.calls().size(), 1);
    EXPECT_EQ(console.pkexec.calls()[0].mid(4), (QStringList{u"--value"_s, QString::number(other.pid()), u"--"_s,
                                                             u"TASKKILL /F /PID %1"_s}));
    EXPECT_EQ(console.log, (QStringList{kNotice.arg(u"TASKKILL /F /PID %1"_s.arg(other.pid())),
                                        u"green|УСПЕШНО: Процесс \"1cv8c.exe\", с идентификатором %1, был завершен."_s.arg(other.pid())}));

    // Dismissed: false (the window's error box), the process lives on.
    NamedChild third(u"1cv8c"_s, u"/bin/sleep"_s, {u"120"_s});
    ASSERT_TRUE(waitUntil([&] { return third.running(); }));
    console.pkexec.answer(PkexecStandIn::Answer::Dismiss);
    console.log.clear();
    EXPECT_FALSE(ProcessActions::KillProcess(static_cast<quint32>(third.pid())));
    EXPECT_TRUE(third.running());
    ASSERT_EQ(console.log.size(), 2);
    EXPECT_TRUE(console.log[1].startsWith(u"red|Администратор отказал в правах root"_s)) << console.log[1].toStdString();
    // A process that is gone is no question for root.
    console.log.clear();
    EXPECT_FALSE(ProcessActions::KillProcess(999999));
    EXPECT_TRUE(console.log.isEmpty());
    EXPECT_EQ(console.pkexec.calls().size(), 2);
}
