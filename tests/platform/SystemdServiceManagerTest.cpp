// The 1C server services through systemd: the manager against the systemctl
// stand-in (support/systemctl_standin.py), which keeps the units' states in
// a file and answers as Debian 12's systemctl does. The real systemctl is
// never called.

#include "platform/linux/SystemdServiceManager.h"
#include "support/SystemctlStandIn.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

const QString kAgent83 = u"1C:Enterprise 8.3 Server Agent"_s;
const QString kDefault = u"srv1cv8-8.3.24.1467@default.service"_s;
const QString kTest = u"srv1cv8-8.3.24.1467@test.service"_s;
const QString kRas = u"ras-8.3.24.1467.service"_s;
const QString kOldDefault = u"srv1cv8-8.3.22.1709@default.service"_s;
const QString kOldRas = u"ras-8.3.22.1709.service"_s;

// What a start or stop told, in order: "acting", "done <unit>",
// "failed <unit>: <reason>", "problem <text>".
struct Told {
    QStringList lines;
    ServiceManager::Events events()
    {
        ServiceManager::Events e;
        e.acting = [this] { lines << u"acting"_s; };
        e.unitDone = [this](const QString &unit) { lines << u"done "_s + unit; };
        e.unitFailed = [this](const QString &unit, const QString &reason) { lines << u"failed %1: %2"_s.arg(unit, reason); };
        e.problem = [this](const QString &text) { lines << u"problem "_s + text; };
        return e;
    }
};

struct Fixture {
    ProgramHome home;
    SystemctlStandIn systemctl{home.path()};
    SystemdServiceManager manager{systemctl.options()};

    int stop(Told *told, const QString &service = kAgent83) { return manager.stop(service, told->events()); }
    int start(Told *told, const QString &service = kAgent83) { return manager.start(service, told->events()); }
    QString memory() const { return QString::fromLatin1(home.read(u"stopped-units.txt"_s)); }
};

QString bootId()
{
    QFile f(u"/proc/sys/kernel/random/boot_id"_s);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return QString::fromLatin1(f.readAll()).trimmed();
}

} // namespace

TEST(SystemdServices, MapsServiceNamesToUnitPatterns)
{
    struct Case {
        QString service;
        QStringList patterns;
    };
    const Case cases[] = {
        {u"1C:Enterprise 8.3 Server Agent"_s, {u"srv1cv8-8.3.*"_s, u"srv1cv83.service"_s, u"ras-8.3.*"_s}},
        {u"1c:enterprise 8.2 server agent"_s, {u"srv1cv82.service"_s}},
        {u"1C:Enterprise 8.1 Server Agent"_s, {u"srv1cv81.service"_s}},
        {u"postgresql"_s, {u"postgresql.service"_s}},
        {u"ras.socket"_s, {u"ras.socket"_s}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SystemdServiceManager::unitPatterns(c.service), c.patterns) << qPrintable(c.service);
}

// Both clusters of a version go down, each named, then its ras; the start
// brings back exactly those, though only one of them is enabled.
TEST(SystemdServices, StopsEveryClusterAndItsRasAndStartsThemAgain)
{
    Fixture fx;
    fx.systemctl.unit(kDefault, u"active"_s, u"enabled"_s);
    fx.systemctl.unit(kTest, u"active"_s, u"disabled"_s);
    fx.systemctl.unit(kRas, u"active"_s, u"enabled"_s);
    fx.systemctl.installedTemplate(u"srv1cv8-8.3.24.1467@.service"_s);

    ServiceManager::State state = ServiceManager::State::Stopped;
    ASSERT_EQ(fx.manager.queryState(kAgent83, &state), 0);
    EXPECT_EQ(state, ServiceManager::State::Running);

    Told stop;
    EXPECT_EQ(fx.stop(&stop), 0);
    EXPECT_EQ(stop.lines, (QStringList{u"acting"_s, u"done "_s + kDefault, u"done "_s + kTest, u"done "_s + kRas}));
    EXPECT_EQ(fx.systemctl.controls(), (QStringList{u"stop "_s + kDefault, u"stop "_s + kTest, u"stop "_s + kRas}));
    for (const QString &unit : {kDefault, kTest, kRas})
        EXPECT_EQ(fx.systemctl.active(unit), u"inactive"_s) << qPrintable(unit);
    EXPECT_EQ(fx.memory(), u"boot %1\n%2\n%3\n%4\n"_s.arg(bootId(), kDefault, kTest, kRas));
    // The query is made with the machine-readable forms, names after "--".
    const QList<QStringList> calls = fx.systemctl.calls();
    ASSERT_GE(calls.size(), 3);
    EXPECT_EQ(calls[0], (QStringList{u"list-units"_s, u"--all"_s, u"--type=service"_s, u"--plain"_s, u"--no-legend"_s,
                                     u"--no-pager"_s, u"--"_s, u"srv1cv8-8.3.*"_s, u"srv1cv83.service"_s, u"ras-8.3.*"_s}));
    EXPECT_EQ(calls[1].front(), u"list-unit-files"_s);
    EXPECT_EQ(calls[2].mid(0, 4), (QStringList{u"show"_s, u"--property=Id,LoadState,ActiveState,UnitFileState,WantedBy"_s,
                                               u"--no-pager"_s, u"--"_s}));
    EXPECT_FALSE(calls[2].contains(u"srv1cv8-8.3.24.1467@.service"_s)); // a template is no unit

    // Stopped already: nothing to do, and what was stopped stays remembered.
    Told again;
    EXPECT_EQ(fx.stop(&again), ServiceManager::kServiceNotActive);
    EXPECT_TRUE(again.lines.isEmpty());
    EXPECT_TRUE(fx.memory().contains(kTest));

    fx.systemctl.forgetCalls();
    Told start;
    EXPECT_EQ(fx.start(&start), 0);
    EXPECT_EQ(start.lines, (QStringList{u"acting"_s, u"done "_s + kDefault, u"done "_s + kTest, u"done "_s + kRas}));
    EXPECT_EQ(fx.systemctl.controls(), (QStringList{u"start "_s + kDefault, u"start "_s + kTest, u"start "_s + kRas}));
    EXPECT_FALSE(QFile::exists(fx.home.file(u"stopped-units.txt"_s))); // all started: nothing left to remember

    Told running;
    EXPECT_EQ(fx.start(&running), ServiceManager::kServiceAlreadyRunning);
    EXPECT_TRUE(running.lines.isEmpty());
}

TEST(SystemdServices, OnlyTheRunningVersionIsStoppedAndStartedEveryRunningVersionIsStopped)
{
    Fixture fx;
    fx.systemctl.unit(kDefault, u"active"_s);
    fx.systemctl.unit(kRas, u"active"_s);
    // Another version installed and enabled, not running.
    fx.systemctl.unit(kOldDefault, u"inactive"_s, u"enabled"_s);
    fx.systemctl.unit(kOldRas, u"inactive"_s, u"enabled"_s);
    fx.systemctl.installedTemplate(u"srv1cv8-8.3.22.1709@.service"_s);

    Told stop;
    EXPECT_EQ(fx.stop(&stop), 0);
    EXPECT_EQ(fx.systemctl.controls(), (QStringList{u"stop "_s + kDefault, u"stop "_s + kRas}));
    Told start;
    EXPECT_EQ(fx.start(&start), 0);
    EXPECT_EQ(fx.systemctl.controls(), (QStringList{u"stop "_s + kDefault, u"stop "_s + kRas, u"start "_s + kDefault,
                                                    u"start "_s + kRas}));
    EXPECT_EQ(fx.systemctl.active(kOldDefault), u"inactive"_s);
    EXPECT_EQ(fx.systemctl.active(kOldRas), u"inactive"_s);

    // Both versions running: both go down, the older one first.
    fx.systemctl.unit(kOldDefault, u"active"_s);
    fx.systemctl.forgetCalls();
    Told both;
    EXPECT_EQ(fx.stop(&both), 0);
    EXPECT_EQ(fx.systemctl.controls(), (QStringList{u"stop "_s + kOldDefault, u"stop "_s + kDefault, u"stop "_s + kRas}));
}

TEST(SystemdServices, WithNothingStoppedByTheConsoleStartStartsTheEnabledUnits)
{
    Fixture fx;
    fx.systemctl.unit(kDefault, u"inactive"_s, u"enabled"_s);
    fx.systemctl.unit(kTest, u"failed"_s, u"disabled"_s); // in memory since it failed, not enabled
    fx.systemctl.unit(kRas, u"inactive"_s, u"enabled"_s);
    fx.systemctl.unit(kOldRas, u"inactive"_s, u"enabled"_s); // enabled, but no server of its version comes up
    // What a stop of an earlier boot remembered is of no account now.
    fx.home.write(u"stopped-units.txt"_s, "boot 00000000-0000-0000-0000-000000000000\n" + kTest.toLatin1() + "\n");

    Told start;
    EXPECT_EQ(fx.start(&start), 0);
    EXPECT_EQ(start.lines, (QStringList{u"acting"_s, u"done "_s + kDefault, u"done "_s + kRas}));
    EXPECT_EQ(fx.systemctl.active(kTest), u"failed"_s);
    EXPECT_EQ(fx.systemctl.active(kOldRas), u"inactive"_s);
}

TEST(SystemdServices, AFailedUnitIsNamedTheOthersAreStillTriedAndItsRasStays)
{
    Fixture fx;
    fx.systemctl.unit(kDefault, u"active"_s);
    fx.systemctl.unit(kTest, u"active"_s);
    fx.systemctl.unit(kRas, u"active"_s);
    fx.systemctl.fail(kDefault, u"stop"_s, u"denied"_s);

    Told stop;
    EXPECT_EQ(fx.stop(&stop), ServiceManager::kAccessDenied);
    EXPECT_EQ(stop.lines, (QStringList{u"acting"_s, u"failed %1: Interactive authentication required."_s.arg(kDefault),
                                       u"done "_s + kTest}));
    // Its cluster still runs, and stays administrable.
    EXPECT_EQ(fx.systemctl.active(kDefault), u"active"_s);
    EXPECT_EQ(fx.systemctl.active(kRas), u"active"_s);
    EXPECT_EQ(fx.memory(), u"boot %1\n%2\n"_s.arg(bootId(), kTest));

    // A start refused everywhere (the console without root) leaves the file
    // as it is, for the start that has the right.
    fx.systemctl.fail(kTest, u"start"_s, u"denied"_s);
    const QString file = fx.home.file(u"stopped-units.txt"_s);
    const ino_t before = [&] { struct stat st{}; ::stat(QFile::encodeName(file).constData(), &st); return st.st_ino; }();
    Told denied;
    EXPECT_EQ(fx.start(&denied), ServiceManager::kAccessDenied);
    struct stat after{};
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before); // not replaced
    EXPECT_EQ(fx.memory(), u"boot %1\n%2\n"_s.arg(bootId(), kTest));

    // The start of the one stopped fails in its unit: it stays remembered
    // and the next start tries it again.
    fx.systemctl.fail(kTest, u"start"_s, u"job"_s);
    Told start;
    EXPECT_EQ(fx.start(&start), ServiceManager::kServiceSpecificError);
    EXPECT_EQ(start.lines, (QStringList{u"acting"_s,
                                        u"failed %1: Job for %1 failed because the control process exited with error code."_s.arg(kTest)}));
    EXPECT_TRUE(fx.memory().contains(kTest));
    EXPECT_EQ(fx.systemctl.active(kTest), u"failed"_s);
    fx.systemctl.fail(kTest, u"start"_s, QString());
    Told retry;
    EXPECT_EQ(fx.start(&retry), 0);
    EXPECT_EQ(retry.lines, (QStringList{u"acting"_s, u"done "_s + kTest}));
}

TEST(SystemdServices, TheOldStyleUnitOfAnInitScript)
{
    Fixture fx;
    const QString old = u"srv1cv83.service"_s;
    fx.systemctl.unit(old, u"active"_s, u"generated"_s, u"multi-user.target graphical.target"_s);
    Told stop;
    EXPECT_EQ(fx.stop(&stop), 0);
    EXPECT_EQ(stop.lines, (QStringList{u"acting"_s, u"done "_s + old}));
    Told start;
    EXPECT_EQ(fx.start(&start), 0);
    EXPECT_EQ(fx.systemctl.controls(), (QStringList{u"stop "_s + old, u"start "_s + old}));

    // Enabled means a target wants the generated unit; one nobody wants is not started.
    fx.systemctl.unit(old, u"inactive"_s, u"generated"_s, u"multi-user.target"_s);
    QFile::remove(fx.home.file(u"stopped-units.txt"_s));
    Told enabled;
    EXPECT_EQ(fx.start(&enabled), 0);
    EXPECT_EQ(fx.systemctl.active(old), u"active"_s);
    fx.systemctl.unit(old, u"failed"_s, u"generated"_s, u""_s);
    Told disabled;
    EXPECT_EQ(fx.start(&disabled), ServiceManager::kServiceDisabled);
    ASSERT_EQ(disabled.lines.size(), 1);
    EXPECT_TRUE(disabled.lines[0].startsWith(u"problem Ни один из установленных юнитов не включен"_s)) << qPrintable(disabled.lines[0]);
    EXPECT_TRUE(disabled.lines[0].contains(old));
}

TEST(SystemdServices, NothingToDoOrNothingInstalled)
{
    Fixture fx;
    struct Case {
        const char *what;
        std::function<void()> setUp;
        bool starting;
        QString service;
        int result;
    };
    const Case cases[] = {
        {"8.1 not installed", [] {}, false, u"1C:Enterprise 8.1 Server Agent"_s, ServiceManager::kServiceDoesNotExist},
        {"8.3 not installed", [] {}, true, kAgent83, ServiceManager::kServiceDoesNotExist},
        {"only the template installed", [&] { fx.systemctl.installedTemplate(u"srv1cv8-8.3.24.1467@.service"_s); }, true,
         kAgent83, ServiceManager::kServiceDisabled},
        {"installed, nothing runs", [] {}, false, kAgent83, ServiceManager::kServiceNotActive},
        {"8.2 runs", [&] { fx.systemctl.unit(u"srv1cv82.service"_s, u"active"_s, u"generated"_s, u"multi-user.target"_s); },
         true, u"1C:Enterprise 8.2 Server Agent"_s, ServiceManager::kServiceAlreadyRunning},
        {"a unit of another name", [] {}, false, u"postgresql"_s, ServiceManager::kServiceDoesNotExist},
    };
    for (const Case &c : cases) {
        c.setUp();
        fx.systemctl.forgetCalls();
        Told told;
        EXPECT_EQ(c.starting ? fx.start(&told, c.service) : fx.stop(&told, c.service), c.result) << c.what;
        EXPECT_FALSE(told.lines.contains(u"acting"_s)) << c.what;
        EXPECT_TRUE(fx.systemctl.controls().isEmpty()) << c.what;
    }
}

TEST(SystemdServices, AnyOtherNameIsTheOneUnitStartedAsItIs)
{
    Fixture fx;
    fx.systemctl.unit(u"postgresql.service"_s, u"inactive"_s, u"disabled"_s);
    Told start;
    EXPECT_EQ(fx.start(&start, u"postgresql"_s), 0);
    EXPECT_EQ(start.lines, (QStringList{u"acting"_s, u"done postgresql.service"_s}));
    Told stop;
    EXPECT_EQ(fx.stop(&stop, u"postgresql"_s), 0);
    EXPECT_EQ(fx.systemctl.controls(), (QStringList{u"start postgresql.service"_s, u"stop postgresql.service"_s}));
    EXPECT_FALSE(QFile::exists(fx.home.file(u"stopped-units.txt"_s)));
}

// Where systemd is not the init system the failure says so, names what was
// tried, and nothing is run.
TEST(SystemdServices, WithoutSystemdTheFailureSaysWhy)
{
    ProgramHome home;
    SystemctlStandIn systemctl(home.path());
    systemctl.unit(kDefault, u"active"_s);
    struct Case {
        const char *what;
        SystemdServiceManager::Options options;
        bool starting;
        QString problem;
        bool runs;
    };
    SystemdServiceManager::Options noRuntime = systemctl.options();
    noRuntime.runtimeDirectory = home.file(u"no-such-dir"_s);
    SystemdServiceManager::Options noProgram = systemctl.options();
    noProgram.systemctl = home.file(u"no-systemctl"_s);
    const Case cases[] = {
        {"not the init system", noRuntime, false,
         u"Службы управляются через systemd, а он на этом компьютере не запущен (нет %1); команда systemctl stop "
         "srv1cv8-8.3.* srv1cv83.service ras-8.3.* не выполнена."_s.arg(noRuntime.runtimeDirectory),
         false},
        {"no systemctl", noProgram, true,
         u"Службы управляются через systemd, а программы %1 на этом компьютере нет; команда systemctl start "
         "srv1cv8-8.3.* srv1cv83.service ras-8.3.* не выполнена."_s.arg(noProgram.systemctl),
         false},
    };
    for (const Case &c : cases) {
        systemctl.forgetCalls();
        SystemdServiceManager manager(c.options);
        Told told;
        EXPECT_EQ(c.starting ? manager.start(kAgent83, told.events()) : manager.stop(kAgent83, told.events()),
                  ServiceManager::kRpcServerUnavailable)
            << c.what;
        EXPECT_EQ(told.lines, QStringList{u"problem "_s + c.problem}) << c.what;
        EXPECT_TRUE(systemctl.calls().isEmpty()) << c.what;
    }

    // A systemctl that finds no systemd to talk to: its own words.
    systemctl.notBooted();
    SystemdServiceManager manager(systemctl.options());
    Told told;
    EXPECT_EQ(manager.stop(kAgent83, told.events()), ServiceManager::kRpcServerUnavailable);
    EXPECT_EQ(told.lines, QStringList{u"problem Службы управляются через systemd, а он не отвечает (systemctl: System has "
                                      "not been booted with systemd as init system (PID 1). Can't operate. Failed to "
                                      "connect to bus: Host is down); команда systemctl stop srv1cv8-8.3.* "
                                      "srv1cv83.service ras-8.3.* не выполнена."_s});
    EXPECT_EQ(systemctl.active(kDefault), u"active"_s);
}

TEST(SystemdServices, ASystemctlThatNeverAnswersIsEndedAtItsTimeLimit)
{
    ProgramHome home;
    SystemctlStandIn systemctl(home.path());
    systemctl.unit(kDefault, u"active"_s);
    systemctl.unit(kTest, u"active"_s);
    systemctl.fail(kDefault, u"stop"_s, u"hang"_s);
    SystemdServiceManager::Options options = systemctl.options();
    options.controlLimitMs = 1500;
    SystemdServiceManager manager(options);
    Told told;
    EXPECT_EQ(manager.stop(kAgent83, told.events()), ServiceManager::kServiceRequestTimeout);
    EXPECT_EQ(told.lines, (QStringList{u"acting"_s, u"failed %1: systemctl stop не завершился за 2 с и прерван"_s.arg(kDefault),
                                       u"done "_s + kTest}));
}

// The remembered units are in a file of the program directory, which
// another account may own: it is replaced, never written through a link,
// read only when it is a regular file, and only units of the service count.
TEST(SystemdServices, TheRememberedUnitsAreWrittenAndReadSafely)
{
    Fixture fx;
    fx.systemctl.unit(kDefault, u"active"_s, u"enabled"_s);
    fx.systemctl.unit(kTest, u"active"_s, u"disabled"_s);
    fx.systemctl.unit(u"ssh.service"_s, u"inactive"_s, u"disabled"_s);
    const QString victim = fx.home.file(u"victim"_s);
    fx.home.write(u"victim"_s, "keep");
    const QString memory = fx.home.file(u"stopped-units.txt"_s);
    ASSERT_EQ(::symlink(QFile::encodeName(victim).constData(), QFile::encodeName(memory).constData()), 0);

    Told stop;
    EXPECT_EQ(fx.stop(&stop), 0);
    EXPECT_EQ(fx.home.read(u"victim"_s), QByteArray("keep"));
    EXPECT_FALSE(QFileInfo(memory).isSymLink());
    EXPECT_EQ(QFile::permissions(memory) & (QFileDevice::WriteGroup | QFileDevice::WriteOther), QFileDevice::Permissions());
    EXPECT_TRUE(fx.memory().contains(kTest));

    // A link there now: not followed; the enabled units are started instead, and that is said.
    QFile::remove(memory);
    fx.home.write(u"elsewhere"_s, "boot " + bootId().toLatin1() + "\n" + kTest.toLatin1() + "\n");
    ASSERT_EQ(::symlink(QFile::encodeName(fx.home.file(u"elsewhere"_s)).constData(), QFile::encodeName(memory).constData()), 0);
    Told start;
    EXPECT_EQ(fx.start(&start), 0);
    ASSERT_FALSE(start.lines.isEmpty());
    EXPECT_TRUE(start.lines[0].startsWith(u"problem ОШИБКА: остановленные консолью юниты не прочитаны"_s)) << qPrintable(start.lines[0]);
    EXPECT_EQ(start.lines.mid(1), (QStringList{u"acting"_s, u"done "_s + kDefault}));
    EXPECT_EQ(fx.systemctl.active(kTest), u"inactive"_s);

    // A hand-made file naming a unit of something else starts nothing of it.
    QFile::remove(memory);
    fx.home.write(u"stopped-units.txt"_s, "boot " + bootId().toLatin1() + "\nssh.service\n" + kTest.toLatin1() + "\n");
    Told forged;
    EXPECT_EQ(fx.start(&forged), 0);
    EXPECT_EQ(forged.lines, (QStringList{u"acting"_s, u"done "_s + kTest}));
    EXPECT_EQ(fx.systemctl.active(u"ssh.service"_s), u"inactive"_s);
    // What belongs to no 1C service is left as it was.
    EXPECT_EQ(fx.memory(), u"boot %1\nssh.service\n"_s.arg(bootId()));
}

TEST(SystemdServices, RasIsNotStartedWhenNoServerOfItsVersionCameUp)
{
    Fixture fx;
    fx.systemctl.unit(kDefault, u"active"_s);
    fx.systemctl.unit(kRas, u"active"_s);
    Told stop;
    ASSERT_EQ(fx.stop(&stop), 0);
    fx.systemctl.fail(kDefault, u"start"_s, u"job"_s);
    Told start;
    EXPECT_EQ(fx.start(&start), ServiceManager::kServiceSpecificError);
    EXPECT_EQ(start.lines, (QStringList{u"acting"_s,
                                        u"failed %1: Job for %1 failed because the control process exited with error code."_s.arg(kDefault),
                                        u"failed %1: ни один сервер версии 8.3.24.1467 не работает"_s.arg(kRas)}));
    EXPECT_EQ(fx.systemctl.active(kRas), u"inactive"_s);
    EXPECT_EQ(fx.memory(), u"boot %1\n%2\n%3\n"_s.arg(bootId(), kDefault, kRas)); // both tried again next time
}
