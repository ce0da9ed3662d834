// net start / net stop over the service manager. systemd does not run here:
// the command is tested against a double of ServiceManager, and the systemd
// implementation against a stand-in systemctl program that records its
// argument vectors.

#include "common/TextCodec.h"
#include "platform/linux/SystemdServiceManager.h"
#include "shell/CmdInterpreter.h"
#include "shell/CommandRunner.h"
#include "support/FakeServices.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <gtest/gtest.h>

#include <mutex>

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

// ---------------------------------------------------------------------------

namespace {

// A stand-in systemctl: units and their states in a JSON file, every call's
// argument vector appended to a log.
class FakeSystemctl
{
public:
    explicit FakeSystemctl(const ProgramHome &home)
        : m_script(home.file(u"systemctl"_s))
        , m_units(home.file(u"units.json"_s))
        , m_log(home.file(u"calls.log"_s))
    {
        QFile script(m_script);
        script.open(QIODevice::WriteOnly);
        script.write(QStringLiteral(R"(#!/usr/bin/python3
import fnmatch, json, sys
units_file, log_file = %1, %2
args = sys.argv[1:]
with open(log_file, 'a') as log:
    log.write(json.dumps(args) + '\n')
units = json.load(open(units_file))
verb = args[0]
names = args[args.index('--') + 1:] if '--' in args else []
if verb in ('list-units', 'list-unit-files'):
    for unit in sorted(units):
        if any(fnmatch.fnmatchcase(unit, p) for p in names):
            print(unit + ' loaded ' + ('active' if units[unit] else 'inactive'))
elif verb == 'show':
    unit = names[0]
    if unit in units:
        print('LoadState=loaded')
        print('ActiveState=' + ('active' if units[unit] else 'inactive'))
    else:
        print('LoadState=not-found')
        print('ActiveState=inactive')
elif verb in ('start', 'stop'):
    unit = names[0]
    if unit not in units:
        print('Failed to %s %s: Unit %s not found.' % (verb, unit, unit), file=sys.stderr)
        sys.exit(5)
    units[unit] = verb == 'start'
    json.dump(units, open(units_file, 'w'))
)")
                         .arg(pythonString(m_units), pythonString(m_log))
                         .toUtf8());
        script.close();
        QFile::setPermissions(m_script, QFile::permissions(m_script) | QFileDevice::ExeOwner);
    }

    void setUnits(const QJsonObject &units) const
    {
        QFile f(m_units);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(QJsonDocument(units).toJson());
    }
    QJsonObject units() const
    {
        QFile f(m_units);
        f.open(QIODevice::ReadOnly);
        return QJsonDocument::fromJson(f.readAll()).object();
    }
    // The argument vectors of the calls that changed something.
    QList<QStringList> controlCalls() const
    {
        QList<QStringList> calls;
        QFile f(m_log);
        f.open(QIODevice::ReadOnly);
        for (const QByteArray &line : f.readAll().split('\n')) {
            QStringList args;
            for (const QJsonValue &v : QJsonDocument::fromJson(line).array())
                args << v.toString();
            if (!args.isEmpty() && (args.front() == u"start"_s || args.front() == u"stop"_s))
                calls.append(args);
        }
        return calls;
    }
    QString path() const { return m_script; }

private:
    static QString pythonString(const QString &s)
    {
        return QString::fromUtf8(QJsonDocument(QJsonArray{s}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
    }

    QString m_script;
    QString m_units;
    QString m_log;
};

} // namespace

TEST(SystemdServices, MapsServiceNamesToUnits)
{
    struct Case {
        QString service;
        QStringList patterns;
    };
    const Case cases[] = {
        {u"1C:Enterprise 8.3 Server Agent"_s, {u"srv1cv8-8.3.*@*.service"_s, u"srv1cv83.service"_s}},
        {u"1c:enterprise 8.2 server agent"_s, {u"srv1cv82.service"_s}},
        {u"1C:Enterprise 8.1 Server Agent"_s, {u"srv1cv81.service"_s}},
        {u"postgresql"_s, {u"postgresql.service"_s}},
        {u"ras.socket"_s, {u"ras.socket"_s}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SystemdServiceManager::unitPatterns(c.service), c.patterns) << qPrintable(c.service);
}

TEST(SystemdServices, DrivesTheNewestOrRunningAgentUnit)
{
    ProgramHome home;
    FakeSystemctl systemctl(home);
    systemctl.setUnits({{u"srv1cv8-8.3.9.2170@default.service"_s, false},
                        {u"srv1cv8-8.3.24.1467@default.service"_s, false},
                        {u"srv1cv82.service"_s, true}});
    SystemdServiceManager manager(systemctl.path());

    ServiceManager::State state;
    ASSERT_EQ(manager.queryState(kAgent83, &state), 0);
    EXPECT_EQ(state, ServiceManager::State::Stopped);
    EXPECT_EQ(manager.start(kAgent83), 0);
    EXPECT_TRUE(systemctl.units().value(u"srv1cv8-8.3.24.1467@default.service"_s).toBool()); // 24 > 9

    ASSERT_EQ(manager.queryState(kAgent83, &state), 0);
    EXPECT_EQ(state, ServiceManager::State::Running);
    EXPECT_EQ(manager.stop(u"1C:Enterprise 8.2 Server Agent"_s), 0);
    EXPECT_FALSE(systemctl.units().value(u"srv1cv82.service"_s).toBool());

    EXPECT_EQ(manager.queryState(u"1C:Enterprise 8.1 Server Agent"_s, &state), ServiceManager::kServiceDoesNotExist);
    EXPECT_EQ(systemctl.controlCalls(),
              (QList<QStringList>{{u"start"_s, u"--no-ask-password"_s, u"--"_s, u"srv1cv8-8.3.24.1467@default.service"_s},
                                  {u"stop"_s, u"--no-ask-password"_s, u"--"_s, u"srv1cv82.service"_s}}));
}

TEST(SystemdServices, ServiceNamesReachSystemctlAsOneArgument)
{
    ProgramHome home;
    FakeSystemctl systemctl(home);
    const QString marker = home.file(u"marker"_s);
    const QString hostile = u"x; touch %1 $(touch %1) `touch %1`"_s.arg(marker);
    systemctl.setUnits({{hostile + u".service"_s, true}});
    ScopedInstance<ServiceManager> scope(std::make_shared<SystemdServiceManager>(systemctl.path()));

    const QString text = OemToAnsiText(RunAndCapture(CommandLine(u"net stop \"%1\""_s, {hostile}), u"C:\\"_s));
    EXPECT_TRUE(text.endsWith(u"успешно остановлена.\r\n\r\n"_s)) << qPrintable(text);
    EXPECT_EQ(systemctl.controlCalls(),
              (QList<QStringList>{{u"stop"_s, u"--no-ask-password"_s, u"--"_s, hostile + u".service"_s}}));
    EXPECT_FALSE(QFile::exists(marker));
}

TEST(SystemdServices, WithoutSystemctlTheServiceManagerIsUnreachable)
{
    ProgramHome home;
    ScopedInstance<ServiceManager> scope(std::make_shared<SystemdServiceManager>(home.file(u"no-systemctl"_s)));
    EXPECT_EQ(OemToAnsiText(RunAndCapture(u"net start \"1C:Enterprise 8.3 Server Agent\""_s, u"C:\\"_s)),
              u"Системная ошибка 1722.\r\n\r\nСервер RPC недоступен.\r\n\r\n"_s);
}
