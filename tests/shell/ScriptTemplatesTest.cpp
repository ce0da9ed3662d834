// The script templates as the build ships them (Templates/ and the Script/
// launchers in the program directory), filled and run the way the console
// runs them: against the logind stand-in on a private bus, with the nologin
// file of the test's own.

#include "common/TextCodec.h"
#include "peers/SessionPeers.h"
#include "shell/CommandRunner.h"
#include "shell/WinSessionTools.h"
#include "shell/WinTools.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

const QString kShipped = QStringLiteral(DOZORIX_PROGRAM_DIR);

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What the console does with a template: the lines (Windows-1251, no byte
// order mark), the placeholder replaced without regard to case, CR LF after
// every line, into Script/.
bool fillTemplate(const QString &programDir, const QString &name, const QString &placeholder, const QString &value)
{
    const QByteArray bytes = readFile(kShipped + u"/Templates/"_s + name);
    if (bytes.isEmpty())
        return false;
    QStringList lines = fromCp1251(bytes).split(u'\n');
    if (lines.back().isEmpty())
        lines.removeLast();
    QByteArray written;
    for (QString line : lines) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        written += toCp1251(line.replace(placeholder, value, Qt::CaseInsensitive) + u"\r\n"_s);
    }
    QFile out(programDir + u"/Script/"_s + name);
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(written) == written.size();
}

struct Command {
    const char *templateName;
    const char *placeholder;
    bool withServerSwitch; // "[Dz_s]" -> "/server " + address, else the bare address
    const char *runName;
};

const Command kBlock{"TSDisable.cmd", "[Dz_s_reg]", false, "TSDisable.cmd"};
const Command kUnblock{"TSEnable.cmd", "[Dz_s_reg]", false, "TSEnable.cmd"};
const Command kDisconnectAll{"tsdisconAll.cmd", "[Dz_s]", true, "tsdisconAll.cmd"};
const Command kLogoffAll{"logoffAll.cmd", "[Dz_s]", true, "logoffAll.cmd"};
const Command kResetAll{"rwinstaAll.cmd", "[Dz_s]", true, "rwinstaAll.cmd"};
const Command kLogoffDisconnected{"disconAlldis_s.ps1", "[Dz_s]", false, "disconAlldis_s.cmd"};
const Command kResetDisconnected{"disconAllres_s.ps1", "[Dz_s]", false, "disconAllres_s.cmd"};

QString hostName()
{
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return QString::fromLocal8Bit(name);
}

class ScriptTemplates : public ::testing::Test
{
protected:
    ScriptTemplates()
    {
        registerSessionTools();
        registerReg();
    }

    void SetUp() override
    {
        ASSERT_FALSE(m_bus.address().isEmpty());
        ASSERT_TRUE(restartStandin());
        ASSERT_TRUE(QDir(m_home.path()).mkpath(u"Script"_s));
        // The launchers ship in Script/; the console never writes them.
        for (const QString &launcher : {u"disconAlldis_s.cmd"_s, u"disconAllres_s.cmd"_s})
            ASSERT_TRUE(QFile::copy(kShipped + u"/Script/"_s + launcher, scriptDir() + u"/"_s + launcher)) << qPrintable(launcher);
    }

    // Sessions whose names would start a second program if a loop value were
    // taken as syntax; two of them without a session name, as Windows shows
    // a disconnected session, which moves their ID into the second field.
    static std::vector<StandinSession> sessions()
    {
        // Seatless: disconnected is what logind's idle hint says (idle for an hour).
        const qint64 idle = (QDateTime::currentSecsSinceEpoch() - 3600) * 1000000;
        std::vector<StandinSession> list(5);
        list[0] = {u"3"_s, 1001, u"ivanov"_s, u"pts/3"_s, {}, true, u"active"_s, 0, 0, 0};
        list[1] = {u"7"_s, 1002, u"x&echo>PWNED1"_s, {}, u"10.0.0.15"_s, false, u"online"_s, idle, 0, 0};
        list[2] = {u"12"_s, 1003, u"y\"&echo>PWNED2"_s, {}, u"h\"&echo>PWNED3"_s, false, u"online"_s, idle, 0, 0};
        list[3] = {u"c2"_s, 1004, u"z^&echo>PWNED4"_s, {}, {}, false, u"online"_s, idle, 0, 0};
        list[4] = {u"15"_s, 1005, u"petrov"_s, {}, {}, true, u"active"_s, 0, 0, 0};
        return list;
    }

    QString scriptDir() const { return m_home.file(u"Script"_s); }

    // A fresh stand-in with all the sessions (logoff and reset end them).
    // The bus may take a moment to free the name of the one before.
    bool restartStandin()
    {
        m_standin.reset();
        return waitUntil([this] {
            m_standin = std::make_unique<LogindStandin>(m_bus.address(), sessions());
            return m_standin->ready();
        }, 15000);
    }

    // Fills the command's template for the address and runs its script as
    // the console does (hidden, waiting).
    void runCommand(const Command &c, const QString &address)
    {
        const QString value = QString::fromLatin1(c.placeholder) == u"[Dz_s_reg]"_s ? u"\\\\"_s + address
                              : c.withServerSwitch                              ? u"/server "_s + address
                                                                                : address;
        ASSERT_TRUE(fillTemplate(m_home.path(), QString::fromLatin1(c.templateName), QString::fromLatin1(c.placeholder),
                                 value))
            << c.templateName;
        int error = -1;
        EXPECT_TRUE(RunProgram(scriptDir() + u"/"_s + QString::fromLatin1(c.runName), QString(), scriptDir() + u"\\"_s,
                               true, false, true, &error))
            << c.runName << " error " << error;
    }

    // The session IDs the stand-in was asked to act on, per method, sorted.
    QMap<QString, QStringList> takeCalls()
    {
        QMap<QString, QStringList> calls;
        for (const QJsonArray &call : m_standin->takeCalls()) {
            calls[call.at(0).toString()].append(call.at(1).toString());
            if (call.at(0).toString() == u"KillSession"_s) {
                EXPECT_EQ(call.at(2).toString(), u"all"_s);
                EXPECT_EQ(call.at(3).toInt(), 9);
            }
        }
        for (QStringList &ids : calls)
            ids.sort();
        return calls;
    }

    QStringList pwned() const
    {
        QStringList found = QDir(scriptDir()).entryList({u"PWNED*"_s}, QDir::Files);
        found += QDir(m_home.path()).entryList({u"PWNED*"_s}, QDir::Files);
        return found;
    }

    ProgramHome m_home;
    ScopedEnv m_nologin{"DOZORIX_NOLOGIN", m_home.file(u"nologin"_s).toUtf8()};
    PrivateBus m_bus;
    ScopedEnv m_systemBus{"DBUS_SYSTEM_BUS_ADDRESS", m_bus.address().toUtf8()};
    ScopedInstance<SessionManager> m_manager{native::createSessionManager()};
    std::unique_ptr<LogindStandin> m_standin;
};

} // namespace

TEST(ScriptTemplateFiles, AreWindows1251WithCrLfAndCarryTheirPlaceholder)
{
    const struct {
        QString file;
        QString placeholder; // empty: a launcher
    } cases[] = {
        {u"Templates/TSDisable.cmd"_s, u"[Dz_s_reg]"_s},      {u"Templates/TSEnable.cmd"_s, u"[Dz_s_reg]"_s},
        {u"Templates/tsdisconAll.cmd"_s, u"[Dz_s]"_s},        {u"Templates/logoffAll.cmd"_s, u"[Dz_s]"_s},
        {u"Templates/rwinstaAll.cmd"_s, u"[Dz_s]"_s},         {u"Templates/disconAlldis_s.ps1"_s, u"[Dz_s]"_s},
        {u"Templates/disconAllres_s.ps1"_s, u"[Dz_s]"_s},     {u"Script/disconAlldis_s.cmd"_s, QString()},
        {u"Script/disconAllres_s.cmd"_s, QString()},
    };
    for (const auto &c : cases) {
        const QByteArray bytes = readFile(kShipped + u"/"_s + c.file);
        ASSERT_FALSE(bytes.isEmpty()) << qPrintable(c.file);
        EXPECT_FALSE(bytes.startsWith("\xEF\xBB\xBF") || bytes.startsWith("\xFF\xFE")) << qPrintable(c.file);
        EXPECT_FALSE(isValidUtf8(bytes)) << qPrintable(c.file) << ": Russian comments in Windows-1251";
        EXPECT_EQ(toCp1251(fromCp1251(bytes)), bytes) << qPrintable(c.file);
        EXPECT_TRUE(bytes.endsWith("\r\n")) << qPrintable(c.file);
        EXPECT_EQ(bytes.count('\n'), bytes.count("\r\n")) << qPrintable(c.file);
        const QString text = fromCp1251(bytes);
        EXPECT_TRUE(text.contains(u"rem "_s)) << qPrintable(c.file);
        if (!c.placeholder.isEmpty()) {
            EXPECT_TRUE(text.contains(c.placeholder)) << qPrintable(c.file);
        }
        // The one placeholder of its command, no other.
        const QString other = c.placeholder == u"[Dz_s]"_s ? u"[Dz_s_reg]"_s : u"[Dz_s]"_s;
        EXPECT_FALSE(text.contains(other, Qt::CaseInsensitive)) << qPrintable(c.file);
    }
}

TEST_F(ScriptTemplates, SessionCommandsReachEverySessionTheyAreFor)
{
    const QStringList all = {u"12"_s, u"15"_s, u"3"_s, u"7"_s, u"c2"_s};
    const QStringList disconnected = {u"12"_s, u"7"_s, u"c2"_s};
    const struct {
        const Command *command;
        QString method;
        QStringList ids;
    } cases[] = {
        // None of them can be disconnected without ending it (no X2Go here):
        // nothing reaches logind.
        {&kDisconnectAll, QString(), {}},
        {&kLogoffDisconnected, u"TerminateSession"_s, disconnected},
        {&kResetDisconnected, u"KillSession"_s, disconnected},
        {&kLogoffAll, u"TerminateSession"_s, all},
        {&kResetAll, u"KillSession"_s, all},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command->templateName);
        ASSERT_TRUE(restartStandin());
        runCommand(*c.command, u"127.0.0.1"_s);
        const QMap<QString, QStringList> expected =
            c.method.isEmpty() ? QMap<QString, QStringList>() : QMap<QString, QStringList>{{c.method, c.ids}};
        EXPECT_EQ(takeCalls(), expected);
        EXPECT_EQ(pwned(), QStringList());
    }
    // The host's own name serves as well as its address.
    ASSERT_TRUE(restartStandin());
    runCommand(kLogoffDisconnected, hostName());
    EXPECT_EQ(takeCalls(), (QMap<QString, QStringList>{{u"TerminateSession"_s, disconnected}}));
}

TEST_F(ScriptTemplates, AnotherServerIsLeftAlone)
{
    for (const Command *c : {&kDisconnectAll, &kLogoffAll, &kResetAll, &kLogoffDisconnected, &kResetDisconnected,
                             &kBlock}) {
        for (const QString &address : {u"10.255.255.1"_s, u"no-such-terminal-server.invalid"_s}) {
            SCOPED_TRACE(c->templateName);
            SCOPED_TRACE(qPrintable(address));
            runCommand(*c, address);
            EXPECT_EQ(takeCalls(), (QMap<QString, QStringList>{}));
            EXPECT_FALSE(QFile::exists(m_home.file(u"nologin"_s)));
        }
    }
    // The list is as it was.
    EXPECT_EQ(countWords(RunInConsole(CommandLine(u"query user"_s), m_home.path()).text, {u"Диск"_s}), 3);
}

TEST_F(ScriptTemplates, BlockAndUnblockWriteAndRemoveTheNologinFile)
{
    const QString nologin = m_home.file(u"nologin"_s);
    const struct {
        const Command *command;
        QString address;
        bool blocked;
    } cases[] = {
        {&kBlock, u"127.0.0.1"_s, true},
        {&kBlock, u"localhost"_s, true}, // again: still one file
        {&kUnblock, u"127.0.0.1"_s, false},
        {&kUnblock, u"127.0.0.1"_s, false}, // nothing to remove is fine
        {&kBlock, hostName(), true},
        {&kUnblock, u"10.255.255.1"_s, true}, // another server: this one stays blocked
        {&kUnblock, hostName().toUpper(), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command->templateName);
        SCOPED_TRACE(qPrintable(c.address));
        runCommand(*c.command, c.address);
        EXPECT_EQ(QFile::exists(nologin), c.blocked);
        if (c.blocked) {
            EXPECT_TRUE(QString::fromUtf8(readFile(nologin)).contains(u"закрыт администратором"_s));
        }
        const ConsoleRun query = RunInConsole(
            CommandLine(u"reg query \"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\" /v WinStationsDisabled"_s),
            m_home.path());
        EXPECT_TRUE(query.text.contains(c.blocked ? u"REG_SZ    1"_s : u"REG_SZ    0"_s)) << qPrintable(query.text);
    }
    EXPECT_EQ(takeCalls(), (QMap<QString, QStringList>{}));
}
