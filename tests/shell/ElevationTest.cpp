// A console that is not root: which runs were refused for want of rights,
// and the same line run again as root through pkexec (a stand-in on PATH
// that answers as Debian's does) and the real dozorix-cmd of the build.

#include "common/LogSink.h"
#include "common/TextCodec.h"
#include "shell/CmdInterpreter.h"
#include "shell/CommandRunner.h"
#include "shell/Elevation.h"
#include "shell/WinSessionTools.h"
#include "shell/WinTools.h"
#include "support/ChildProcesses.h"
#include "support/FakeServices.h"
#include "support/PkexecStandIn.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

const QString kHelper = QStringLiteral(DOZORIX_PROGRAM_DIR "/dozorix-cmd");

// kill(2) as an ordinary account answers it: every process is another
// account's. What the console's own account could end goes through.
class RefusingControl : public ProcessControl
{
public:
    explicit RefusingControl(qint64 allowed = 0) : m_allowed(allowed) {}
    SignalResult sendSignal(qint64 pid, int signal) override
    {
        if (pid == m_allowed)
            return m_inner->sendSignal(pid, signal);
        return {false, EPERM};
    }

private:
    qint64 m_allowed;
    std::shared_ptr<ProcessControl> m_inner = ProcessControl::instance();
};

// One session, 5; what the tools do to it answers with the error set.
class RefusingSessions : public SessionManager
{
public:
    explicit RefusingSessions(int error) : m_error(error) {}
    std::vector<SessionInfo> sessions() override
    {
        SessionInfo s;
        s.id = 5;
        s.user = u"buh1"_s;
        s.name = u"pts/7"_s;
        return {s};
    }
    DisconnectResult disconnect(int) override { return {m_error, SessionServer::X2Go, QString()}; }
    int terminate(int) override { return m_error; }
    int kill(int) override { return m_error; }

private:
    int m_error;
};

class Elevation : public ::testing::Test
{
protected:
    // Other tests of this program put stand-ins in the tools' place.
    Elevation()
    {
        registerTaskkill();
        registerNet();
        registerReg();
        registerSessionTools();
        setLogReceiver([this](const QString &text, unsigned int rgb) { m_log << logged(text, rgb); });
    }
    ~Elevation() override { setLogReceiver({}); }

    static QString logged(const QString &text, unsigned int rgb)
    {
        const QString colour = rgb == kLogRed ? u"red"_s : rgb == kLogGreen ? u"green"_s : u"black"_s;
        return colour + u"|"_s + unstamped(text);
    }
    ElevationLog log()
    {
        return [this](const QString &text, unsigned int rgb) { m_log << logged(text, rgb); };
    }

    ProgramHome m_home;
    QStringList m_log;
};

} // namespace

TEST_F(Elevation, TheConsoleIsRootAsTheAssumedEuidSays)
{
    const bool real = ::geteuid() == 0;
    const struct {
        const char *value;
        bool root;
    } cases[] = {{"0", true}, {"1000", false}, {" 65534 ", false}, {"root", real}, {"-1", real}, {"", real}};
    for (const auto &c : cases) {
        ScopedEnv env("DOZORIX_ASSUME_EUID", c.value);
        EXPECT_EQ(consoleIsRoot(), c.root) << c.value;
    }
}

TEST_F(Elevation, ALineThatMayHoldAPasswordIsNeverElevated)
{
    const struct {
        CommandLine line;
        bool allowed;
    } cases[] = {
        {CommandLine(u"TASKKILL /F /IM 1cv8*"_s), true},
        {CommandLine(u"chcp 1251 && TASKKILL /F /FI \"USERNAME eq %1\" /IM 1cv8* /T > temp.txt"_s, {u"buh1"_s}), true},
        {CommandLine(u"net stop \"1C:Enterprise 8.3 Server Agent\"  > temp.txt"_s), true},
        {CommandLine(u"tsdiscon %1 /server %2"_s, {u"5"_s, u"ts1"_s}), true},
        {CommandLine(u"taskkill /pid 77 /f"_s), true}, // /PID is no password
        // The remote reset of the console: /u and /p with the password.
        {CommandLine(u"chcp 1251 && taskkill /s %1 /u %2\\%3 /p %4 /fi \"IMAGENAME eq 1cv8* \" /im * /f > temp.txt"_s,
                     {u"pc12"_s, u"dom"_s, u"admin"_s, u"Секрет1"_s}),
         false},
        {CommandLine(u"taskkill /s pc12 /u admin /P:Секрет1 /im x"_s), false},
        {CommandLine(u"psexec -p Секрет1 cmd"_s), false},
        {CommandLine(u"schtasks /Create /RP Секрет1"_s), false},
        {CommandLine(u"wmic /PASSWORD:Секрет1 process"_s), false},
        {CommandLine(u"connector %1"_s, {u"Srvr=\"s\";Ref=\"b\";Usr=\"u\";Pwd=Секрет1"_s}), false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(mayElevate(c.line), c.allowed) << c.line.toString().toStdString();
        // The notice never repeats such a line.
        EXPECT_EQ(elevationNotice(c.line).contains(c.line.toString()), c.allowed) << c.line.toString().toStdString();
    }
}

TEST_F(Elevation, ToolsSayWhenTheyWereRefusedForWantOfRights)
{
    NamedChild child(u"1cv8c"_s, u"/bin/sleep"_s, {u"60"_s});
    ASSERT_TRUE(waitUntil([&] { return child.running(); }));
    auto services = std::make_shared<FakeServices>();
    services->add(u"1C:Enterprise 8.3 Server Agent"_s, ServiceManager::State::Running);
    ScopedInstance<ServiceManager> serviceSlot(services);
    QTemporaryDir nologinDir;

    struct Case {
        QString line;
        std::function<void()> arrange;
        bool denied;
    };
    std::unique_ptr<ScopedInstance<ProcessControl>> control;
    std::unique_ptr<ScopedInstance<SessionManager>> sessions;
    std::unique_ptr<ScopedEnv> nologin;
    const Case cases[] = {
        {u"TASKKILL /F /PID %1"_s.arg(child.pid()),
         [&] { control = std::make_unique<ScopedInstance<ProcessControl>>(std::make_shared<RefusingControl>()); }, true},
        {u"TASKKILL /F /IM no-such-image-%1"_s.arg(::getpid()), [] {}, false},
        // Inside "for /f": the command of the set runs in an interpreter of its own.
        {u"for /f \"tokens=1\" %i in ('TASKKILL /F /PID %1') do echo %i"_s.arg(child.pid()),
         [&] { control = std::make_unique<ScopedInstance<ProcessControl>>(std::make_shared<RefusingControl>()); }, true},
        {u"net stop \"1C:Enterprise 8.3 Server Agent\""_s, [&] { services->failNextControl(ServiceManager::kAccessDenied); },
         true},
        {u"net stop \"1C:Enterprise 8.3 Server Agent\""_s,
         [&] { services->failNextControl(ServiceManager::kServiceRequestTimeout); }, false},
        {u"net stop \"Нет такой службы\""_s, [] {}, false},
        {u"tsdiscon 5"_s, [&] { sessions = std::make_unique<ScopedInstance<SessionManager>>(std::make_shared<RefusingSessions>(EPERM)); },
         true},
        {u"logoff 5"_s, [&] { sessions = std::make_unique<ScopedInstance<SessionManager>>(std::make_shared<RefusingSessions>(EACCES)); },
         true},
        {u"rwinsta 5"_s, [&] { sessions = std::make_unique<ScopedInstance<SessionManager>>(std::make_shared<RefusingSessions>(ENOENT)); },
         false},
        // sysfs refuses a new file to everybody, root included: EACCES.
        {u"reg add \"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\" /v WinStationsDisabled /t REG_SZ /d 1 /f"_s,
         [&] { nologin = std::make_unique<ScopedEnv>("DOZORIX_NOLOGIN", "/sys/dozorix-nologin-of-a-test"); }, true},
        {u"reg add \"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\" /v WinStationsDisabled /t REG_SZ /d 1 /f"_s,
         [&] { nologin = std::make_unique<ScopedEnv>("DOZORIX_NOLOGIN", QFile::encodeName(nologinDir.filePath(u"nologin"_s))); },
         false},
        // A directory that does not exist is no want of rights.
        {u"reg add \"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\" /v WinStationsDisabled /t REG_SZ /d 1 /f"_s,
         [&] { nologin = std::make_unique<ScopedEnv>("DOZORIX_NOLOGIN", QFile::encodeName(nologinDir.filePath(u"no/nologin"_s))); },
         false},
    };
    for (const Case &c : cases) {
        c.arrange();
        const ConsoleRun run = RunInConsole(CommandLine(c.line), m_home.path());
        EXPECT_TRUE(run.started);
        EXPECT_EQ(run.accessDenied, c.denied) << c.line.toStdString() << "\n" << run.text.toStdString();
        control.reset();
        sessions.reset();
        nologin.reset();
    }
    EXPECT_TRUE(child.running()); // every kill of it was refused
    EXPECT_TRUE(QFile::exists(nologinDir.filePath(u"nologin"_s)));
}

// The line goes to dozorix-cmd as its template and values, run as root in
// the directory; what it printed comes back with its exit code.
TEST_F(Elevation, RunsTheSameLineThroughPkexecAndDozorixCmd)
{
    PkexecStandIn pkexec(PkexecStandIn::Answer::Run, kHelper);
    const CommandLine line(u"echo %1& echo второй& /bin/sh -c \"exit 3\""_s, {u"a&b|c"_s});
    const ConsoleRun run = RunElevated(line, m_home.path());

    ASSERT_EQ(pkexec.calls().size(), 1);
    EXPECT_EQ(pkexec.calls()[0], (QStringList{u"--disable-internal-agent"_s, kHelper, u"--dir"_s, m_home.path(),
                                              u"--value"_s, u"a&b|c"_s, u"--"_s, line.templateText()}));
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.refusal.isEmpty());
    EXPECT_EQ(run.exitCode, 3);
    // The value's "&" and "|" stayed plain characters in the run as root.
    EXPECT_EQ(run.text, u"a&b|c\r\nвторой\r\n"_s);
    EXPECT_EQ(run.bytes, encode(run.text, CodePage::Cp866));
    EXPECT_EQ(OemToAnsiText(capturedText(run)), run.text);
}

// pkexec's environment is its own: the console's settings do not come
// through, the program directory does (--dir), and PKEXEC_UID names the
// account that asked. "C:\" is the home folder, as for RunAndCapture.
TEST_F(Elevation, TheRunAsRootGetsTheProgramDirectoryAndNothingOfTheConsolesEnvironment)
{
    PkexecStandIn pkexec(PkexecStandIn::Answer::Run, kHelper);
    ScopedEnv mark("DOZORIX_TEST_MARK", "console");
    ConsoleRun run = RunElevated(CommandLine(u"/usr/bin/env"_s), m_home.path());
    ASSERT_TRUE(run.started) << run.refusal.toStdString();
    const QStringList lines = run.text.split(u'\n', Qt::SkipEmptyParts);
    EXPECT_TRUE(lines.contains(u"DOZORIX_HOME="_s + m_home.path())) << run.text.toStdString();
    EXPECT_TRUE(lines.contains(u"PKEXEC_UID=%1"_s.arg(::getuid()))) << run.text.toStdString();
    EXPECT_FALSE(run.text.contains(u"DOZORIX_TEST_MARK"_s));
    EXPECT_FALSE(run.text.contains(u"DOZORIX_ASSUME_EUID"_s));

    run = RunElevated(CommandLine(u"echo x"_s), u"C:\\"_s);
    ASSERT_TRUE(run.started) << run.refusal.toStdString();
    EXPECT_EQ(pkexec.calls().last().value(3), QDir::homePath());
}

TEST_F(Elevation, RefusalsSayWhyAndRunNothing)
{
    const struct {
        PkexecStandIn::Answer answer;
        int exitCode;
        QString start;
    } cases[] = {
        {PkexecStandIn::Answer::Dismiss, 126, u"Администратор отказал в правах root (окно polkit закрыто): «"_s},
        {PkexecStandIn::Answer::NoAgent, 127, u"Нет агента polkit: пароль администратора спросить некому, «"_s},
        {PkexecStandIn::Answer::NotAuthorized, 127, u"polkit не разрешил выполнить «"_s},
    };
    for (const auto &c : cases) {
        PkexecStandIn pkexec(c.answer, kHelper);
        const QString marker = m_home.file(u"ran"_s);
        const ConsoleRun run = RunElevated(CommandLine(u"echo x> ran"_s), m_home.path());
        EXPECT_FALSE(run.started);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_TRUE(run.refusal.startsWith(c.start)) << run.refusal.toStdString();
        EXPECT_TRUE(run.refusal.contains(u"«echo x> ran»"_s)) << run.refusal.toStdString();
        EXPECT_TRUE(run.text.isEmpty());
        EXPECT_EQ(pkexec.calls().size(), 1);
        EXPECT_FALSE(QFile::exists(marker));
    }
    // The command's own 126 or 127 is no refusal of pkexec's.
    PkexecStandIn pkexec(PkexecStandIn::Answer::Run, kHelper);
    for (int code : {126, 127}) {
        const ConsoleRun run = RunElevated(CommandLine(u"/bin/sh -c \"exit %1\""_s.arg(code)), m_home.path());
        EXPECT_TRUE(run.started) << run.refusal.toStdString();
        EXPECT_EQ(run.exitCode, code);
    }
}

TEST_F(Elevation, WithoutPkexecOrDozorixCmdNothingRuns)
{
    const CommandLine line(u"TASKKILL /F /IM 1cv8*"_s);
    {
        // No pkexec on PATH at all.
        QTemporaryDir empty;
        ScopedEnv path("PATH", QFile::encodeName(empty.path()));
        const ConsoleRun run = RunElevated(line, m_home.path());
        EXPECT_FALSE(run.started);
        EXPECT_EQ(run.refusal, u"Нет pkexec (пакет pkexec): «TASKKILL /F /IM 1cv8*» не выполнена от root."_s);
    }
    for (const QString &helper : {m_home.file(u"dozorix-cmd"_s), u"dozorix-cmd"_s, QString(u"bin/dozorix-cmd"_s)}) {
        PkexecStandIn pkexec(PkexecStandIn::Answer::Run, helper);
        const ConsoleRun run = RunElevated(line, m_home.path());
        EXPECT_FALSE(run.started);
        EXPECT_TRUE(run.refusal.startsWith(u"Нет программы "_s)) << run.refusal.toStdString();
        EXPECT_TRUE(pkexec.calls().isEmpty()); // a relative path never reaches pkexec
    }
    PkexecStandIn pkexec(PkexecStandIn::Answer::Run, kHelper);
    const ConsoleRun run = RunElevated(line, m_home.file(u"no-such-folder"_s));
    EXPECT_FALSE(run.started);
    EXPECT_TRUE(run.refusal.startsWith(u"Нет папки "_s)) << run.refusal.toStdString();
    EXPECT_TRUE(pkexec.calls().isEmpty());
}

// A dialog nobody answers: the wait ends at the limit, pkexec is ended.
TEST_F(Elevation, ADialogNobodyAnswersEndsAtTheLimit)
{
    ScopedTimeScale scale(600); // 10 min -> 1 s
    PkexecStandIn pkexec(PkexecStandIn::Answer::NeverAnswer, kHelper);
    const ConsoleRun run = RunElevated(CommandLine(u"TASKKILL /F /IM 1cv8*"_s), m_home.path());
    EXPECT_FALSE(run.started);
    EXPECT_EQ(run.refusal, u"Нет ответа за 10 мин. (пароль администратора не введен или команда не закончилась): "
                           u"«TASKKILL /F /IM 1cv8*» от root прервана."_s);
    const qint64 pid = pkexec.lastPid();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(waitUntil([pid] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }, 5000));
}

TEST_F(Elevation, ALineWithAPasswordNeverReachesPkexec)
{
    PkexecStandIn pkexec(PkexecStandIn::Answer::Run, kHelper);
    const CommandLine parameters(
        u"/C chcp 1251 && taskkill /s %1 /u %2\\%3 /p %4 /fi \"IMAGENAME eq 1cv8* \" /im * /f > temp.txt"_s,
        {u"pc12"_s, u"dom"_s, u"admin"_s, u"Секрет1"_s});
    const ConsoleRun run = RunElevated(commandOfParameters(parameters), m_home.path());
    EXPECT_FALSE(run.started);
    EXPECT_EQ(run.refusal, u"Команда с паролем не выполняется от root через polkit (пароль попал бы в список "
                           u"процессов): запустите консоль от root."_s);
    EXPECT_TRUE(pkexec.calls().isEmpty());
}

TEST_F(Elevation, CommandOfParametersIsWhatFollowsSlashC)
{
    const CommandLine parameters(u"/C  net stop \"%1\"  > temp.txt"_s, {u"Агент"_s});
    EXPECT_EQ(commandOfParameters(parameters).templateText(), u"net stop \"%1\"  > temp.txt"_s);
    EXPECT_EQ(commandOfParameters(parameters).values(), QStringList{u"Агент"_s});
    EXPECT_EQ(commandOfParameters(CommandLine(u" /c chcp 1251"_s)).templateText(), u"chcp 1251"_s);
    EXPECT_EQ(commandOfParameters(CommandLine(u"echo /C"_s)).templateText(), u"echo /C"_s);
}

// The whole road: the console's own run is refused, a black line says the
// line runs as root, and root's run ends the process (its own child, by PID:
// dozorix-cmd sees the whole process table).
TEST_F(Elevation, NotRootAndRefusedTheLineRunsAgainAsRoot)
{
    ScopedEnv notRoot("DOZORIX_ASSUME_EUID", "1000");
    PkexecStandIn pkexec(PkexecStandIn::Answer::Run, kHelper);
    NamedChild child(u"1cv8c"_s, u"/bin/sleep"_s, {u"60"_s});
    ASSERT_TRUE(waitUntil([&] { return child.running(); }));
    ScopedInstance<ProcessControl> refusing(std::make_shared<RefusingControl>());

    const CommandLine line(u"TASKKILL /F /PID %1"_s, {QString::number(child.pid())});
    const ConsoleRun run = RunWithRootOnDenial(line, m_home.path(), log());
    EXPECT_TRUE(child.waitForEnd(5000));
    EXPECT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.text, u"УСПЕШНО: Процесс \"1cv8c.exe\", с идентификатором %1, был завершен.\r\n"_s.arg(child.pid()));
    EXPECT_EQ(m_log, QStringList{u"black|Нет прав на «TASKKILL /F /PID %1»: команда будет выполнена от root, polkit "
                                 u"спросит пароль администратора."_s.arg(child.pid())});
    ASSERT_EQ(pkexec.calls().size(), 1);
    EXPECT_EQ(pkexec.calls()[0].mid(4), (QStringList{u"--value"_s, QString::number(child.pid()), u"--"_s,
                                                     u"TASKKILL /F /PID %1"_s}));
}

TEST_F(Elevation, RootOrARunNotRefusedNeverAsksPkexec)
{
    PkexecStandIn pkexec(PkexecStandIn::Answer::Run, kHelper);
    NamedChild child(u"1cv8c"_s, u"/bin/sleep"_s, {u"60"_s});
    ASSERT_TRUE(waitUntil([&] { return child.running(); }));
    const CommandLine line(u"TASKKILL /F /PID %1"_s, {QString::number(child.pid())});
    {
        // Root refused: nobody above root to ask.
        ScopedEnv root("DOZORIX_ASSUME_EUID", "0");
        ScopedInstance<ProcessControl> refusing(std::make_shared<RefusingControl>());
        const ConsoleRun run = RunWithRootOnDenial(line, m_home.path(), log());
        EXPECT_TRUE(run.accessDenied);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.text.contains(u"Причина: Отказано в доступе."_s)) << run.text.toStdString();
        EXPECT_TRUE(child.running());
    }
    {
        // Not root, and the process is the console's own account's.
        ScopedEnv notRoot("DOZORIX_ASSUME_EUID", "1000");
        ScopedInstance<ProcessControl> own(std::make_shared<RefusingControl>(child.pid()));
        const ConsoleRun run = RunWithRootOnDenial(line, m_home.path(), log());
        EXPECT_FALSE(run.accessDenied);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_TRUE(child.waitForEnd(5000));
    }
    EXPECT_TRUE(pkexec.calls().isEmpty());
    EXPECT_TRUE(m_log.isEmpty()) << m_log.join(u'\n').toStdString();
}

TEST_F(Elevation, ARefusalOfTheAdministratorIsARedLine)
{
    ScopedEnv notRoot("DOZORIX_ASSUME_EUID", "1000");
    auto services = std::make_shared<FakeServices>();
    services->add(u"1C:Enterprise 8.3 Server Agent"_s, ServiceManager::State::Running);
    ScopedInstance<ServiceManager> serviceSlot(services);
    // Dismissed: nothing runs as root (no real systemctl is ever reached).
    PkexecStandIn pkexec(PkexecStandIn::Answer::Dismiss, kHelper);
    services->failNextControl(ServiceManager::kAccessDenied);
    const CommandLine line(u"net stop \"1C:Enterprise 8.3 Server Agent\"  > temp.txt"_s);
    const ConsoleRun run = RunWithRootOnDenial(line, m_home.path(), log());
    EXPECT_FALSE(run.started);
    EXPECT_EQ(m_log, (QStringList{u"black|Нет прав на «net stop \"1C:Enterprise 8.3 Server Agent\"  > temp.txt»: команда "
                                  u"будет выполнена от root, polkit спросит пароль администратора."_s,
                                  u"red|Администратор отказал в правах root (окно polkit закрыто): «net stop "
                                  u"\"1C:Enterprise 8.3 Server Agent\"  > temp.txt» не выполнена."_s}));
    ASSERT_EQ(pkexec.calls().size(), 1);
    EXPECT_EQ(pkexec.calls()[0].last(), line.templateText());
    EXPECT_EQ(services->state(u"1C:Enterprise 8.3 Server Agent"_s), ServiceManager::State::Running);
}
