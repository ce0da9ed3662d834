// Ending 1C processes and controlling the 1C server service: real child
// processes under 1C names (the table narrowed to this test's descendants),
// the service manager standing in for systemd, or the systemd one driving
// the systemctl stand-in; the time scaled.
#include "common/LogSink.h"
#include "monitor/ProcessActions.h"
#include "platform/linux/SystemdServiceManager.h"
#include "shell/CommandRunner.h"
#include "support/ChildProcesses.h"
#include "support/FakeServices.h"
#include "support/SystemctlStandIn.h"
#include "support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace dozorix;
using namespace dozorix::test;

namespace {

const QString kAgent83 = QStringLiteral("1C:Enterprise 8.3 Server Agent");

struct Harness {
    ProgramHome home;
    ScopedTimeScale scale{10}; // 10 s → 1 s
    ScopedInstance<ProcessTable> table{std::make_shared<DescendantsTable>()};
    std::shared_ptr<FakeServices> services = std::make_shared<FakeServices>();
    ScopedInstance<ServiceManager> serviceSlot{services};
    QStringList log;     // "green|text" / "red|text", stamps cut off
    QStringList events;  // balloons, list clears, file errors in order
    std::unique_ptr<ProcessActions> actions;

    Harness()
    {
        setLogReceiver([this](const QString &t, unsigned int rgb) {
            const qsizetype cut = t.indexOf(QStringLiteral(" : "));
            const QString text = cut >= 0 ? t.mid(cut + 3) : t;
            log << (rgb == kLogRed ? QStringLiteral("red|") : QStringLiteral("green|")) + text;
            events << QStringLiteral("log");
        });
        ProcessActions::Hooks hooks;
        hooks.balloon = [this](const QString &title, const QString &text) { events << QStringLiteral("balloon %1|%2").arg(title, text); };
        hooks.clearProcessList = [this] { events << QStringLiteral("clear"); };
        hooks.repaintLog = [this] { events << QStringLiteral("repaint"); };
        hooks.fileError = [this](const QString &m) { events << QStringLiteral("file error ") + m; };
        actions = std::make_unique<ProcessActions>(std::move(hooks));
    }
    ~Harness()
    {
        waitForBackgroundCommands(10000);
        setLogReceiver({});
    }
    bool runToEnd(int ms = 30000)
    {
        return waitUntil([this] { return !actions->isBusy(); }, ms);
    }
};

} // namespace

TEST(ProcessActions, LocalKillCommandsEndRealProcessesAndLogTheToolsLines)
{
    Harness h;
    NamedChild rphost(QStringLiteral("rphost"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    NamedChild ragent(QStringLiteral("ragent"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    NamedChild thin(QStringLiteral("1cv8c"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    NamedChild v7(QStringLiteral("1cv7.exe"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});

    h.actions->killLocal(ProcessActions::LocalKill::Clients8);
    EXPECT_TRUE(thin.waitForEnd(5000));
    EXPECT_TRUE(rphost.running());
    EXPECT_TRUE(v7.running());
    ASSERT_EQ(h.log.size(), 1);
    EXPECT_EQ(h.log[0], QStringLiteral("green|УСПЕШНО: Процесс \"1cv8c.exe\", с идентификатором %1, был завершен.").arg(thin.pid()));

    h.log.clear();
    h.actions->killLocal(ProcessActions::LocalKill::Servers);
    EXPECT_TRUE(rphost.waitForEnd(5000));
    EXPECT_TRUE(ragent.waitForEnd(5000));
    EXPECT_TRUE(v7.running());
    ASSERT_EQ(h.log.size(), 3);
    EXPECT_TRUE(h.log[0].contains(QStringLiteral("\"ragent.exe\"")));
    EXPECT_TRUE(h.log[1].contains(QStringLiteral("\"rphost.exe\"")));
    // A failure is never green: the tool's error line is red.
    EXPECT_TRUE(h.log[2].startsWith(QStringLiteral("red|ОШИБКА: процесс \"rmngr*\" не найден.")));

    h.log.clear();
    h.actions->killLocal(ProcessActions::LocalKill::Clients7);
    EXPECT_TRUE(v7.waitForEnd(5000));
    ASSERT_EQ(h.log.size(), 1);

    // Nothing left to end: four red lines with the tool's own messages.
    h.log.clear();
    h.actions->killLocal(ProcessActions::LocalKill::All1C);
    ASSERT_EQ(h.log.size(), 4);
    for (const QString &line : h.log)
        EXPECT_TRUE(line.startsWith(QStringLiteral("red|ОШИБКА: процесс \""))) << line.toStdString();
}

TEST(ProcessActions, ToolLinesAreRedWhenTheyReportAFailure)
{
    struct Case {
        const char *output;
        int exitCode;
        std::vector<std::pair<const char *, bool>> lines;
    } cases[] = {
        {"УСПЕШНО: Процесс \"rphost.exe\", с идентификатором 7, был завершен.\r\n", 0,
         {{"УСПЕШНО: Процесс \"rphost.exe\", с идентификатором 7, был завершен.", false}}},
        // One process ended, another refused: each line keeps its own colour.
        {"УСПЕШНО: Процесс \"1cv8c.exe\", с идентификатором 7, был завершен.\r\n"
         "ОШИБКА: Не удается завершить процесс с идентификатором 9 (дочерний процесс 1).\r\n"
         "Причина: Отказано в доступе.\r\n",
         255,
         {{"УСПЕШНО: Процесс \"1cv8c.exe\", с идентификатором 7, был завершен.", false},
          {"ОШИБКА: Не удается завершить процесс с идентификатором 9 (дочерний процесс 1).", true},
          {"Причина: Отказано в доступе.", true}}},
        {"Системная ошибка 5.\r\n\r\nОтказано в доступе.\r\n", 2,
         {{"Системная ошибка 5.", true}, {"Отказано в доступе.", true}}},
        // An error line is red whatever the status says.
        {"ОШИБКА: процесс \"rmngr*\" не найден.\r\n", 0, {{"ОШИБКА: процесс \"rmngr*\" не найден.", true}}},
        // A non-zero status without an error line: all the tool said is red.
        {"что-то пошло не так\n", 1, {{"что-то пошло не так", true}}},
        {"", 1, {{"", true}}},
        {"", 0, {{"", false}}},
    };
    for (const Case &c : cases) {
        const auto lines = ProcessActions::toolLines(QString::fromUtf8(c.output), c.exitCode);
        ASSERT_EQ(lines.size(), c.lines.size()) << c.output;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].text, QString::fromUtf8(c.lines[i].first)) << c.output;
            EXPECT_EQ(lines[i].failed, c.lines[i].second) << c.output << " line " << i;
        }
    }

    // net's success lines are the units that went down or came up.
    const auto net = ProcessActions::toolLines(QStringLiteral("Служба \"x\" останавливается.\r\nОстановлен a.service\r\n"
                                                              "Не удалось остановить b.service: Access denied\r\n"
                                                              "Системная ошибка 5.\r\n"),
                                               2, ProcessActions::netSuccessPrefixes());
    ASSERT_EQ(net.size(), 4u);
    EXPECT_TRUE(net[0].failed);
    EXPECT_FALSE(net[1].failed);
    EXPECT_TRUE(net[2].failed);
    EXPECT_TRUE(net[3].failed);
    EXPECT_TRUE(ProcessActions::toolLines(QStringLiteral("УСПЕШНО: x"), 1, ProcessActions::netSuccessPrefixes())[0].failed);
}

TEST(ProcessActions, CommandTexts)
{
    using V = ProcessActions::Version;
    EXPECT_EQ(ProcessActions::stopParameters(V::V83), QStringLiteral("/C  net stop \"1C:Enterprise 8.3 Server Agent\"  > temp.txt"));
    EXPECT_EQ(ProcessActions::startParameters(V::V81), QStringLiteral("/C  net start \"1C:Enterprise 8.1 Server Agent\"  > temp.txt"));
    EXPECT_EQ(ProcessActions::stopFailure(V::V82),
              QStringLiteral("Не удалось остановить службу \"1C:Enterprise 8.2 Server Agent\", возможно он уже остановлен!"));
    EXPECT_EQ(ProcessActions::startFailure(V::V83),
              QStringLiteral("Не удалось запустить службу \"1C:Enterprise 8.3 Server Agent\", возможно он уже стартовал!"));
    EXPECT_EQ(ProcessActions::restartSeparator(V::V82, ProcessActions::Pattern::MainMenu), QString(64, '=') + " reboot...");
    EXPECT_EQ(ProcessActions::restartSeparator(V::V82, ProcessActions::Pattern::Tray), QString(65, '=') + " reboot...");
    EXPECT_EQ(ProcessActions::restartSeparator(V::V81, ProcessActions::Pattern::Tray), QString(64, '=') + " reboot...");
    EXPECT_EQ(ProcessActions::resetByLoginCommand(QStringLiteral("  buh1 ")).toString(),
              QStringLiteral("/C chcp 1251 && TASKKILL /F /FI \"USERNAME eq buh1\" /IM 1cv8* /T > temp.txt"));
    // An empty domain leaves a lone backslash before the login.
    EXPECT_EQ(ProcessActions::resetRemoteCommand(QStringLiteral("pc12"), QString(), QStringLiteral("admin"), QStringLiteral("p@ss")).toString(),
              QStringLiteral("/C chcp 1251 && taskkill /s pc12 /u \\admin /p p@ss /fi \"IMAGENAME eq 1cv8* \" /im * /f > temp.txt"));
}

TEST(ProcessActions, MainMenuStopLogsTheServiceLinesAndEmptiesTempTxt)
{
    Harness h;
    h.services->add(kAgent83, ServiceManager::State::Running);
    ASSERT_TRUE(h.actions->serviceCommand(ProcessActions::Version::V83, ProcessActions::Operation::Stop,
                                          ProcessActions::Pattern::MainMenu));
    EXPECT_FALSE(h.actions->serviceCommand(ProcessActions::Version::V83, ProcessActions::Operation::Start,
                                           ProcessActions::Pattern::MainMenu)); // busy
    ASSERT_TRUE(h.runToEnd());
    EXPECT_EQ(h.services->state(kAgent83), ServiceManager::State::Stopped);
    // The refused start first, then only the non-empty lines, in order, green.
    EXPECT_EQ(h.log, (QStringList{QStringLiteral("red|Команда «Сервер 1С ▸ 1С 8.3 ▸ Запустить сервер» не выполнена: "
                                                 "еще выполняется «Сервер 1С ▸ 1С 8.3 ▸ Остановить сервер»."),
                                  QStringLiteral("green|Служба \"1C:Enterprise 8.3 Server Agent\" останавливается."),
                                  QStringLiteral("green|Служба \"1C:Enterprise 8.3 Server Agent\" успешно остановлена.")}));
    EXPECT_EQ(h.events, (QStringList{"log", "log", "log", "clear", "repaint"}));
    EXPECT_TRUE(h.home.read(QStringLiteral("temp.txt")).isEmpty());
}

TEST(ProcessActions, MainMenuRestartOfAStoppedServiceShowsFailureSeparatorAndStart)
{
    Harness h;
    h.services->add(kAgent83, ServiceManager::State::Stopped);
    ASSERT_TRUE(h.actions->serviceCommand(ProcessActions::Version::V83, ProcessActions::Operation::Restart,
                                          ProcessActions::Pattern::MainMenu));
    ASSERT_TRUE(h.runToEnd());
    EXPECT_EQ(h.services->state(kAgent83), ServiceManager::State::Running);
    // net's error first (its pointer to NET HELPMSG left out), then the failure text.
    ASSERT_EQ(h.log.size(), 5);
    EXPECT_EQ(h.log[0], QStringLiteral("red|Служба не запущена."));
    EXPECT_EQ(h.log[1], QStringLiteral("red|") + ProcessActions::stopFailure(ProcessActions::Version::V83));
    EXPECT_EQ(h.log[2], QStringLiteral("red|") + QString(64, '=') + QStringLiteral(" reboot..."));
    EXPECT_EQ(h.log[3], QStringLiteral("green|Служба \"1C:Enterprise 8.3 Server Agent\" запускается."));
    EXPECT_EQ(h.log[4], QStringLiteral("green|Служба \"1C:Enterprise 8.3 Server Agent\" успешно запущена."));
}

TEST(ProcessActions, TrayPatternShowsBalloonsAndLogsOnlyFailures)
{
    Harness h;
    h.services->add(QStringLiteral("1C:Enterprise 8.2 Server Agent"), ServiceManager::State::Running);
    ASSERT_TRUE(h.actions->serviceCommand(ProcessActions::Version::V82, ProcessActions::Operation::Restart,
                                          ProcessActions::Pattern::Tray));
    ASSERT_TRUE(h.runToEnd());
    EXPECT_TRUE(h.log.isEmpty());
    EXPECT_EQ(h.events,
              (QStringList{QStringLiteral("balloon Dozorix|Служба \"1C:Enterprise 8.2 Server Agent\" успешно остановлена."),
                           "clear", QStringLiteral("balloon Dozorix|") + QString(65, '=') + QStringLiteral(" reboot..."),
                           QStringLiteral("balloon Dozorix|Служба \"1C:Enterprise 8.2 Server Agent\" успешно запущена."),
                           "clear"}));

    // A service that does not exist: the failure text as the balloon, and
    // the failure stays in the log, red.
    h.events.clear();
    ASSERT_TRUE(h.actions->serviceCommand(ProcessActions::Version::V81, ProcessActions::Operation::Start,
                                          ProcessActions::Pattern::Tray));
    ASSERT_TRUE(h.runToEnd());
    EXPECT_EQ(h.events, (QStringList{QStringLiteral("balloon Dozorix|") + ProcessActions::startFailure(ProcessActions::Version::V81),
                                     "log", "log", "clear"}));
    EXPECT_EQ(h.log, (QStringList{QStringLiteral("red|Имя службы недействительно."),
                                  QStringLiteral("red|") + ProcessActions::startFailure(ProcessActions::Version::V81)}));
}

TEST(ProcessActions, ResetByLoginEndsTheUsersClientsAndLogsEveryLine)
{
    Harness h;
    NamedChild thick(QStringLiteral("1cv8"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    NamedChild server(QStringLiteral("rphost"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    const QString me = QString::fromLocal8Bit(qgetenv("USER")).isEmpty() ? QStringLiteral("root") : QString::fromLocal8Bit(qgetenv("USER"));
    ASSERT_TRUE(h.actions->resetByLogin(QStringLiteral(" ") + me + QStringLiteral(" ")));
    ASSERT_TRUE(h.runToEnd());
    EXPECT_TRUE(thick.waitForEnd(5000));
    EXPECT_TRUE(server.running());
    ASSERT_FALSE(h.log.isEmpty());
    EXPECT_TRUE(h.log.last().startsWith(QStringLiteral("green|УСПЕШНО: Процесс с идентификатором %1").arg(thick.pid())))
        << h.log.last().toStdString();
    EXPECT_TRUE(h.events.contains(QStringLiteral("balloon Dozorix|") + h.log.last().mid(6)));
    EXPECT_TRUE(h.home.read(QStringLiteral("temp.txt")).isEmpty());
}

// Ending processes of another account without root: the tool's refusal
// goes to its error stream, and the action says in red that it was not done;
// nothing of it is green.
TEST(ProcessActions, ResetByLoginRefusedIsRed)
{
    class RefusingControl : public ProcessControl
    {
    public:
        SignalResult sendSignal(qint64, int) override { return {false, EPERM}; }
    };
    Harness h;
    ScopedInstance<ProcessControl> refusing{std::make_shared<RefusingControl>()};
    NamedChild thick(QStringLiteral("1cv8"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    const QString me = QString::fromLocal8Bit(qgetenv("USER")).isEmpty() ? QStringLiteral("root") : QString::fromLocal8Bit(qgetenv("USER"));
    ASSERT_TRUE(h.actions->resetByLogin(me));
    ASSERT_TRUE(h.runToEnd());
    EXPECT_TRUE(thick.running());
    EXPECT_EQ(h.log, QStringList{QStringLiteral("red|Команда не выполнена!")});
}

TEST(ProcessActions, ResetByLoginNeverRunsASecondCommand)
{
    Harness h;
    const QString marker = h.home.file(QStringLiteral("pwned"));
    NamedChild thick(QStringLiteral("1cv8"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    for (const QString &login : {QStringLiteral("x\" && touch %1 && echo \"").arg(marker), QStringLiteral("x; touch %1").arg(marker),
                                 QStringLiteral("$(touch %1)").arg(marker), QStringLiteral("x | touch %1").arg(marker)}) {
        ASSERT_TRUE(h.actions->resetByLogin(login));
        ASSERT_TRUE(h.runToEnd());
        EXPECT_FALSE(QFile::exists(marker)) << login.toStdString();
    }
    EXPECT_TRUE(thick.running()); // no such user: nothing ended
}

TEST(ProcessActions, RemoteResetReportsTheFailure)
{
    Harness h;
    ASSERT_TRUE(h.actions->resetRemote(QStringLiteral("pc12"), QString(), QStringLiteral("admin"), QStringLiteral("secret")));
    ASSERT_TRUE(h.runToEnd());
    // The tool's error goes to its error stream, so temp.txt stays empty.
    EXPECT_EQ(h.log, QStringList{QStringLiteral("red|Команда не выполнена!")});
    EXPECT_TRUE(h.events.contains(QStringLiteral("balloon Dozorix|Команда не выполнена!")));
    EXPECT_TRUE(h.events.contains(QStringLiteral("clear")));
}

TEST(ProcessActions, KillProcessReportsFailure)
{
    ScopedInstance<ProcessTable> table{std::make_shared<DescendantsTable>()};
    NamedChild child(QStringLiteral("rphost"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    EXPECT_TRUE(ProcessActions::KillProcess(static_cast<quint32>(child.pid())));
    EXPECT_TRUE(child.waitForEnd(5000));
    EXPECT_FALSE(ProcessActions::KillProcess(0));
}

TEST(ProcessActions, AnActionChosenWhileAnotherRunsIsRefusedInRedNamingTheRunningOne)
{
    Harness h;
    const QString agent82 = QStringLiteral("1C:Enterprise 8.2 Server Agent");
    h.services->add(kAgent83, ServiceManager::State::Running);
    h.services->add(agent82, ServiceManager::State::Running);
    using V = ProcessActions::Version;
    using Op = ProcessActions::Operation;
    ASSERT_TRUE(h.actions->serviceCommand(V::V83, Op::Restart, ProcessActions::Pattern::MainMenu));
    const QString running = QStringLiteral("Сервер 1С ▸ 1С 8.3 ▸ Перезапустить сервер");
    EXPECT_EQ(h.actions->runningAction(), running);

    struct Case {
        QString name;
        std::function<bool()> start;
    };
    const Case cases[] = {
        {QStringLiteral("Сервер 1С ▸ 1С 8.2 ▸ Остановить сервер"),
         [&] { return h.actions->serviceCommand(V::V82, Op::Stop, ProcessActions::Pattern::Tray); }},
        {QStringLiteral("Завершить процесс 1С v8 (По Логину пользователя)"),
         [&] { return h.actions->resetByLogin(QStringLiteral("nobody")); }},
        {QStringLiteral("Завершить процессы 1С v8 удаленного пользователя."),
         [&] { return h.actions->resetRemote(QStringLiteral("pc12"), QString(), QStringLiteral("a"), QStringLiteral("b")); }},
    };
    for (const Case &c : cases) {
        h.log.clear();
        EXPECT_FALSE(c.start()) << qPrintable(c.name);
        EXPECT_EQ(h.log, QStringList{QStringLiteral("red|Команда «%1» не выполнена: еще выполняется «%2».").arg(c.name, running)});
    }
    ASSERT_TRUE(h.runToEnd());
    EXPECT_TRUE(h.actions->runningAction().isEmpty());
    EXPECT_EQ(h.services->state(agent82), ServiceManager::State::Running); // the refused stop did nothing

    // Once the restart is over, the same choice runs.
    h.log.clear();
    ASSERT_TRUE(h.actions->serviceCommand(V::V82, Op::Stop, ProcessActions::Pattern::Tray));
    ASSERT_TRUE(h.runToEnd());
    EXPECT_EQ(h.services->state(agent82), ServiceManager::State::Stopped);
    EXPECT_FALSE(h.log.join(QLatin1Char('\n')).contains(QStringLiteral("не выполнена")));
}

// ---------------------------------------------------------------------------
// The service actions over systemd: the systemctl stand-in's units.

namespace {

const QString kDefault = QStringLiteral("srv1cv8-8.3.24.1467@default.service");
const QString kTest = QStringLiteral("srv1cv8-8.3.24.1467@test.service");
const QString kRas = QStringLiteral("ras-8.3.24.1467.service");
const QString kStopping = QStringLiteral("Служба \"1C:Enterprise 8.3 Server Agent\" останавливается.");
const QString kStopped = QStringLiteral("Служба \"1C:Enterprise 8.3 Server Agent\" успешно остановлена.");

struct SystemdHarness : Harness {
    SystemctlStandIn systemctl{home.path()};
    ScopedInstance<ServiceManager> systemd{std::make_shared<SystemdServiceManager>(systemctl.options())};

    bool run(ProcessActions::Operation op, ProcessActions::Pattern p = ProcessActions::Pattern::MainMenu)
    {
        log.clear();
        events.clear();
        return actions->serviceCommand(ProcessActions::Version::V83, op, p) && runToEnd(60000);
    }
};

} // namespace

TEST(ProcessActionsOverSystemd, RestartStopsAndStartsEveryClusterAndLogsEachUnit)
{
    SystemdHarness h;
    h.systemctl.unit(kDefault, QStringLiteral("active"));
    h.systemctl.unit(kTest, QStringLiteral("active"), QStringLiteral("disabled"));
    h.systemctl.unit(kRas, QStringLiteral("active"));
    ASSERT_TRUE(h.run(ProcessActions::Operation::Restart));
    EXPECT_EQ(h.log, (QStringList{QStringLiteral("green|") + kStopping, QStringLiteral("green|Остановлен ") + kDefault,
                                  QStringLiteral("green|Остановлен ") + kTest, QStringLiteral("green|Остановлен ") + kRas,
                                  QStringLiteral("green|") + kStopped,
                                  QStringLiteral("red|") + QString(64, '=') + QStringLiteral(" reboot..."),
                                  QStringLiteral("green|Служба \"1C:Enterprise 8.3 Server Agent\" запускается."),
                                  QStringLiteral("green|Запущен ") + kDefault, QStringLiteral("green|Запущен ") + kTest,
                                  QStringLiteral("green|Запущен ") + kRas,
                                  QStringLiteral("green|Служба \"1C:Enterprise 8.3 Server Agent\" успешно запущена.")}));
    EXPECT_EQ(h.systemctl.controls(), (QStringList{QStringLiteral("stop ") + kDefault, QStringLiteral("stop ") + kTest,
                                                   QStringLiteral("stop ") + kRas, QStringLiteral("start ") + kDefault,
                                                   QStringLiteral("start ") + kTest, QStringLiteral("start ") + kRas}));
}

// The exit code reaches the log: a unit that refused makes net fail, and
// all it said but the units that did go down is red.
TEST(ProcessActionsOverSystemd, AFailedUnitIsRedAndTheOthersStillGoDown)
{
    SystemdHarness h;
    h.systemctl.unit(kDefault, QStringLiteral("active"));
    h.systemctl.unit(kTest, QStringLiteral("active"));
    h.systemctl.fail(kDefault, QStringLiteral("stop"), QStringLiteral("denied"));
    ASSERT_TRUE(h.run(ProcessActions::Operation::Stop));
    EXPECT_EQ(h.log, (QStringList{QStringLiteral("red|") + kStopping, QStringLiteral("green|Остановлен ") + kTest,
                                  QStringLiteral("red|Не удалось остановить %1: Interactive authentication required.").arg(kDefault),
                                  QStringLiteral("red|Системная ошибка 5."), QStringLiteral("red|Отказано в доступе.")}));
    EXPECT_EQ(h.systemctl.active(kTest), QStringLiteral("inactive"));
    EXPECT_TRUE(h.home.read(QStringLiteral("temp.txt")).isEmpty());

    // From the tray: the balloon says what went wrong, the log keeps it red.
    h.systemctl.unit(kTest, QStringLiteral("active"));
    ASSERT_TRUE(h.run(ProcessActions::Operation::Stop, ProcessActions::Pattern::Tray));
    EXPECT_TRUE(h.events.contains(QStringLiteral("balloon Dozorix|Отказано в доступе."))) << qPrintable(h.events.join(u'\n'));
    EXPECT_TRUE(h.log.contains(QStringLiteral("red|Системная ошибка 5.")));
    EXPECT_FALSE(h.log.join(u'\n').contains(QStringLiteral("green|Служба")));
}

TEST(ProcessActionsOverSystemd, WithoutSystemdTheReasonIsLoggedRed)
{
    SystemdHarness h;
    SystemdServiceManager::Options options = h.systemctl.options();
    options.runtimeDirectory = h.home.file(QStringLiteral("no-systemd"));
    ScopedInstance<ServiceManager> noSystemd{std::make_shared<SystemdServiceManager>(options)};
    ASSERT_TRUE(h.run(ProcessActions::Operation::Stop));
    EXPECT_EQ(h.log, (QStringList{QStringLiteral("red|Службы управляются через systemd, а он на этом компьютере не запущен "
                                                 "(нет %1); команда systemctl stop srv1cv8-8.3.* srv1cv83.service ras-8.3.* "
                                                 "не выполнена.")
                                      .arg(options.runtimeDirectory),
                                  QStringLiteral("red|") + ProcessActions::stopFailure(ProcessActions::Version::V83)}));
    EXPECT_TRUE(h.systemctl.calls().isEmpty());
}

// A stop that takes longer than the pause before the read-back is awaited:
// the log has its end, and the next step waits for it.
TEST(ProcessActionsOverSystemd, AStopLongerThanThePauseIsAwaited)
{
    SystemdHarness h; // the 10 s pause is 1 s here
    h.systemctl.unit(kDefault, QStringLiteral("active"));
    h.systemctl.fail(kDefault, QStringLiteral("stop"), QStringLiteral("slow 2.5"));
    ASSERT_TRUE(h.run(ProcessActions::Operation::Stop));
    EXPECT_EQ(h.log, (QStringList{QStringLiteral("green|") + kStopping, QStringLiteral("green|Остановлен ") + kDefault,
                                  QStringLiteral("green|") + kStopped}));
    EXPECT_EQ(h.events, (QStringList{"log", "log", "log", "clear", "repaint"}));
}
