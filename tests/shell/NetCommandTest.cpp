// net start / net stop over the service manager. systemd does not run here:
// the command is tested against a double of ServiceManager, and over the
// systemd implementation driving the systemctl stand-in
// (support/SystemctlStandIn.h), which records its argument vectors.

#include "common/TextCodec.h"
#include "platform/linux/SystemdServiceManager.h"
#include "shell/CmdInterpreter.h"
#include "shell/CommandRunner.h"
#include "support/FakeServices.h"
#include "support/SystemctlStandIn.h"
#include "support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <memory>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

const QString kAgent83 = u"1C:Enterprise 8.3 Server Agent"_s;

class NetCommand : public ::testing::Test
{
protected:
    // The caller's pattern: launch hidden into temp.txt, read it as 866.
    QString launchAndRead(const QString &parameters)
    {
        LaunchShellHidden(parameters);
        EXPECT_TRUE(waitForBackgroundCommands(10000));
        const QString text = fromCp866(m_home.read(u"temp.txt"_s));
        m_home.write(u"temp.txt"_s, QByteArray());
        return text;
    }

    ProgramHome m_home;
    std::shared_ptr<FakeServices> m_services = std::make_shared<FakeServices>();
    ScopedInstance<ServiceManager> m_scope{m_services};
};

} // namespace

TEST_F(NetCommand, StopsAndStartsTheServerAgent)
{
    m_services->add(kAgent83, ServiceManager::State::Running);

    EXPECT_EQ(launchAndRead(u"/C  net stop \"1C:Enterprise 8.3 Server Agent\"  > temp.txt"_s),
              u"Служба \"1C:Enterprise 8.3 Server Agent\" останавливается.\r\n"
              u"Служба \"1C:Enterprise 8.3 Server Agent\" успешно остановлена.\r\n\r\n"_s);
    EXPECT_EQ(m_services->state(kAgent83), ServiceManager::State::Stopped);

    EXPECT_EQ(launchAndRead(u"/C  net start \"1C:Enterprise 8.3 Server Agent\"  > temp.txt"_s),
              u"Служба \"1C:Enterprise 8.3 Server Agent\" запускается.\r\n"
              u"Служба \"1C:Enterprise 8.3 Server Agent\" успешно запущена.\r\n\r\n"_s);
    EXPECT_EQ(m_services->state(kAgent83), ServiceManager::State::Running);
}

TEST_F(NetCommand, FailuresGoToStandardErrorOnly)
{
    m_services->add(kAgent83, ServiceManager::State::Stopped);
    m_services->add(u"1C:Enterprise 8.2 Server Agent"_s, ServiceManager::State::Running);
    const QString more = u"\r\nДля вызова дополнительной справки наберите NET HELPMSG %1.\r\n\r\n"_s;
    struct Case {
        QString command;
        QString console;
    };
    const Case cases[] = {
        {u"net stop \"1C:Enterprise 8.3 Server Agent\""_s, u"Служба не запущена.\r\n"_s + more.arg(3521)},
        {u"net start \"1C:Enterprise 8.2 Server Agent\""_s, u"Запрошенная служба уже запущена.\r\n"_s + more.arg(2182)},
        {u"net stop \"1C:Enterprise 8.1 Server Agent\""_s, u"Имя службы недействительно.\r\n"_s + more.arg(2185)},
    };
    for (const Case &c : cases) {
        // Through "> temp.txt" nothing arrives: the caller's failure signal.
        EXPECT_EQ(launchAndRead(u"/C  "_s + c.command + u"  > temp.txt"_s), QString()) << qPrintable(c.command);
        EXPECT_EQ(OemToAnsiText(RunAndCapture(c.command, u"C:\\"_s)), c.console) << qPrintable(c.command);
    }

    m_services->failNextControl(ServiceManager::kAccessDenied);
    EXPECT_EQ(OemToAnsiText(RunAndCapture(u"net stop \"1C:Enterprise 8.2 Server Agent\""_s, u"C:\\"_s)),
              u"Служба \"1C:Enterprise 8.2 Server Agent\" останавливается.\r\n"
              u"Системная ошибка 5.\r\n\r\nОтказано в доступе.\r\n\r\n"_s);

    const QString usage = OemToAnsiText(RunAndCapture(u"net pause x"_s, u"C:\\"_s));
    EXPECT_TRUE(usage.startsWith(u"Синтаксис данной команды:\r\n"_s)) << qPrintable(usage);
}

TEST_F(NetCommand, AnUnreachableServiceManagerWithoutItsOwnWordsIsWindowsRpcError)
{
    m_services->add(kAgent83, ServiceManager::State::Running);
    m_services->failNextControl(ServiceManager::kRpcServerUnavailable);
    const ConsoleRun run = RunInConsole(CommandLine(u"net stop \"1C:Enterprise 8.3 Server Agent\""_s), u"C:\\"_s);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.text, u"Служба \"1C:Enterprise 8.3 Server Agent\" останавливается.\r\n"
                        u"Системная ошибка 1722.\r\n\r\nСервер RPC недоступен.\r\n\r\n"_s);
}

// ---------------------------------------------------------------------------
// net over systemd: the manager drives the systemctl stand-in.

namespace {

const QString kDefault = u"srv1cv8-8.3.24.1467@default.service"_s;
const QString kTest = u"srv1cv8-8.3.24.1467@test.service"_s;
const QString kRas = u"ras-8.3.24.1467.service"_s;

struct OverSystemd {
    ProgramHome home;
    SystemctlStandIn systemctl{home.path()};
    std::shared_ptr<SystemdServiceManager> manager = std::make_shared<SystemdServiceManager>(systemctl.options());
    ScopedInstance<ServiceManager> scope{manager};

    // The caller's pattern: launch hidden into temp.txt, read it as 866.
    QString launchAndRead(const QString &parameters)
    {
        LaunchShellHidden(parameters);
        EXPECT_TRUE(waitForBackgroundCommands(30000));
        const QString text = fromCp866(home.read(u"temp.txt"_s));
        home.write(u"temp.txt"_s, QByteArray());
        return text;
    }
};

} // namespace

TEST(NetOverSystemd, EveryUnitIsNamedOnTheOutput)
{
    OverSystemd s;
    s.systemctl.unit(kDefault, u"active"_s);
    s.systemctl.unit(kTest, u"active"_s, u"disabled"_s);
    s.systemctl.unit(kRas, u"active"_s);

    EXPECT_EQ(s.launchAndRead(u"/C  net stop \"1C:Enterprise 8.3 Server Agent\"  > temp.txt"_s),
              u"Служба \"1C:Enterprise 8.3 Server Agent\" останавливается.\r\n"
              u"Остановлен srv1cv8-8.3.24.1467@default.service\r\n"
              u"Остановлен srv1cv8-8.3.24.1467@test.service\r\n"
              u"Остановлен ras-8.3.24.1467.service\r\n"
              u"Служба \"1C:Enterprise 8.3 Server Agent\" успешно остановлена.\r\n\r\n"_s);
    // The start is another command line: it starts what the stop stopped.
    EXPECT_EQ(s.launchAndRead(u"/C  net start \"1C:Enterprise 8.3 Server Agent\"  > temp.txt"_s),
              u"Служба \"1C:Enterprise 8.3 Server Agent\" запускается.\r\n"
              u"Запущен srv1cv8-8.3.24.1467@default.service\r\n"
              u"Запущен srv1cv8-8.3.24.1467@test.service\r\n"
              u"Запущен ras-8.3.24.1467.service\r\n"
              u"Служба \"1C:Enterprise 8.3 Server Agent\" успешно запущена.\r\n\r\n"_s);
    for (const QString &unit : {kDefault, kTest, kRas})
        EXPECT_EQ(s.systemctl.active(unit), u"active"_s) << qPrintable(unit);
}

TEST(NetOverSystemd, AUnitThatFailsIsNamedOnTheErrorsAndNetFails)
{
    OverSystemd s;
    s.systemctl.unit(kDefault, u"active"_s);
    s.systemctl.unit(kTest, u"active"_s);
    s.systemctl.fail(kDefault, u"stop"_s, u"denied"_s);
    const ConsoleRun run = RunInConsole(CommandLine(u"net stop \"1C:Enterprise 8.3 Server Agent\""_s), u"C:\\"_s);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.text, u"Служба \"1C:Enterprise 8.3 Server Agent\" останавливается.\r\n"
                        u"Не удалось остановить srv1cv8-8.3.24.1467@default.service: Interactive authentication required.\r\n"
                        u"Остановлен srv1cv8-8.3.24.1467@test.service\r\n"
                        u"Системная ошибка 5.\r\n\r\nОтказано в доступе.\r\n\r\n"_s);
}

TEST(NetOverSystemd, WithoutSystemdNetSaysSoInsteadOfTheRpcError)
{
    ProgramHome home;
    SystemctlStandIn systemctl(home.path());
    systemctl.unit(kDefault, u"active"_s);
    SystemdServiceManager::Options options = systemctl.options();
    options.runtimeDirectory = home.file(u"run-systemd-system"_s);
    ScopedInstance<ServiceManager> scope(std::make_shared<SystemdServiceManager>(options));
    const ConsoleRun run = RunInConsole(CommandLine(u"net start \"1C:Enterprise 8.2 Server Agent\""_s), u"C:\\"_s);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.text, u"Службы управляются через systemd, а он на этом компьютере не запущен (нет %1); "
                        u"команда systemctl start srv1cv82.service не выполнена.\r\n"_s.arg(options.runtimeDirectory));
    EXPECT_TRUE(systemctl.calls().isEmpty());
}

TEST(NetOverSystemd, ServiceNamesReachSystemctlAsOneArgument)
{
    OverSystemd s;
    const QString marker = s.home.file(u"marker"_s);
    const QString hostile = u"x; touch %1 $(touch %1) `touch %1`"_s.arg(marker);
    s.systemctl.unit(hostile + u".service"_s, u"active"_s);

    const QString text = OemToAnsiText(RunAndCapture(CommandLine(u"net stop \"%1\""_s, {hostile}), u"C:\\"_s));
    EXPECT_TRUE(text.endsWith(u"успешно остановлена.\r\n\r\n"_s)) << qPrintable(text);
    EXPECT_EQ(s.systemctl.calls().last(), (QStringList{u"stop"_s, u"--no-ask-password"_s, u"--"_s, hostile + u".service"_s}));
    EXPECT_FALSE(QFile::exists(marker));
}
