// taskkill against real child processes named like the 1C processes.

#include "common/SystemHelpers.h"
#include "shell/CmdInterpreter.h"
#include "shell/CommandRunner.h"
#include "shell/WinTools.h"
#include "support/ChildProcesses.h"
#include "support/TestSupport.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <thread>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

const QString kSleep = u"/bin/sleep"_s;
const QStringList kLong = {u"120"_s};

// The console text of a command, decoded the way every caller decodes it.
QString console(const QString &command)
{
    return OemToAnsiText(RunAndCapture(command, u"C:\\"_s));
}

QString console(const CommandLine &command)
{
    return OemToAnsiText(RunAndCapture(command, u"C:\\"_s));
}

bool appearsAs(qint64 pid, const QString &name)
{
    return waitUntil([&] {
        const auto table = ProcessTable::instance()->snapshot();
        const ProcessInfo *p = findPid(table, pid);
        return p && p->imageName == name;
    });
}

// Runs fn on a thread that may not signal other users' processes.
template <class Fn>
void withoutKillCapability(Fn fn)
{
    std::thread worker([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        ::syscall(SYS_capget, &header, data);
        for (int cap : {CAP_KILL, CAP_SYS_PTRACE}) {
            data[cap / 32].effective &= ~(1u << (cap % 32));
            data[cap / 32].permitted &= ~(1u << (cap % 32));
        }
        ::syscall(SYS_capset, &header, data);
        fn();
    });
    worker.join();
}

class Taskkill : public ::testing::Test
{
protected:
    // Only this test program and its children are visible to taskkill.
    ScopedInstance<ProcessTable> m_table{std::make_shared<DescendantsTable>()};
};

} // namespace

TEST(ImageNames, MatchNativeAndExeFormsAlike)
{
    struct Case {
        QString pattern;
        QString native;
        bool matches;
    };
    const Case cases[] = {
        {u"rphost*"_s, u"rphost"_s, true},       {u"rphost.exe"_s, u"rphost"_s, true},
        {u"RPHOST.EXE"_s, u"rphost"_s, true},    {u"rphost"_s, u"rphost"_s, true},
        {u"rph?st"_s, u"rphost"_s, true},        {u"*host.exe"_s, u"rphost"_s, true},
        {u"rphost.ex"_s, u"rphost"_s, false},    {u"rphos"_s, u"rphost"_s, false},
        {u"rmngr*"_s, u"rphost"_s, false},       {u"1cv8*"_s, u"1cv8c.exe"_s, true},  // Wine
        {u"1cv*"_s, u"1cv7.exe"_s, true},        {u"1cv8*"_s, u"1cv7"_s, false},
        {u"1cv8c.exe"_s, u"1cv8c.exe"_s, true},  {u"1cv8* "_s, u"1cv8"_s, true},     // trailing blank of a filter
        {u"*"_s, u"anything"_s, true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(imageMatches(c.pattern, c.native), c.matches) << qPrintable(c.pattern + u" / "_s + c.native);
    EXPECT_EQ(windowsImageName(u"rphost"_s), u"rphost.exe"_s);
    EXPECT_EQ(windowsImageName(u"1cv8c.EXE"_s), u"1cv8c.EXE"_s);
}

TEST_F(Taskkill, EndsARealRphostAndPrintsItsOwnLine)
{
    NamedChild rphost(u"rphost"_s, kSleep, kLong);
    ASSERT_TRUE(appearsAs(rphost.pid(), u"rphost"_s));

    const QString text = console(u"TASKKILL /F /IM rphost*"_s);

    EXPECT_TRUE(rphost.waitForEnd(5000));
    EXPECT_TRUE(text.contains(u"УСПЕШНО: Процесс \"rphost.exe\", с идентификатором %1, был завершен.\r\n"_s.arg(rphost.pid())))
        << qPrintable(text);
}

TEST_F(Taskkill, EndsByExactExeNameInAnyCase)
{
    for (const QString &pattern : {u"rphost.exe"_s, u"RPHOST.EXE"_s}) {
        NamedChild rphost(u"rphost"_s, kSleep, kLong);
        ASSERT_TRUE(appearsAs(rphost.pid(), u"rphost"_s));
        const QString text = console(u"TASKKILL /F /IM "_s + pattern);
        EXPECT_TRUE(rphost.waitForEnd(5000)) << qPrintable(pattern);
        EXPECT_EQ(text, u"УСПЕШНО: Процесс \"rphost.exe\", с идентификатором %1, был завершен.\r\n"_s.arg(rphost.pid()));
    }
}

TEST_F(Taskkill, WithoutForceSendsTheTerminationSignal)
{
    NamedChild rmngr(u"rmngr"_s, kSleep, kLong);
    ASSERT_TRUE(appearsAs(rmngr.pid(), u"rmngr"_s));
    const QString text = console(u"TASKKILL /IM rmngr*"_s);
    EXPECT_EQ(text, u"УСПЕШНО: Сигнал завершения был отправлен процессу \"rmngr.exe\" с идентификатором %1.\r\n"_s
                        .arg(rmngr.pid()));
    EXPECT_TRUE(rmngr.waitForEnd(5000)); // sleep ends on SIGTERM
}

TEST_F(Taskkill, TreeEndsChildrenFirst)
{
    // A copy of the shell named rphost with two children of its own.
    NamedChild rphost(u"rphost"_s, u"/bin/sh"_s, {u"-c"_s, u"/bin/sleep 120 & /bin/sleep 120 & wait"_s});
    std::vector<qint64> kids;
    ASSERT_TRUE(waitUntil([&] {
        kids.clear();
        for (const ProcessInfo &p : ProcessTable::instance()->snapshot()) {
            if (p.ppid == rphost.pid() && p.imageName == u"sleep"_s)
                kids.push_back(p.pid);
        }
        return kids.size() == 2;
    }));

    const QString text = console(u"TASKKILL /F /IM rphost* /T"_s);

    EXPECT_TRUE(rphost.waitForEnd(5000));
    const QStringList lines = text.split(u"\r\n"_s, Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << qPrintable(text);
    const QString parentLine = u"УСПЕШНО: Процесс с идентификатором %1 (дочерний процесс %2) был завершен."_s
                                   .arg(rphost.pid())
                                   .arg(::getpid());
    EXPECT_EQ(lines.last(), parentLine);
    for (qint64 kid : kids) {
        EXPECT_TRUE(lines.contains(u"УСПЕШНО: Процесс с идентификатором %1 (дочерний процесс %2) был завершен."_s
                                       .arg(kid)
                                       .arg(rphost.pid())));
        EXPECT_TRUE(waitUntil([&] { return !findPid(ProcessTable::instance()->snapshot(), kid); }));
    }
}

TEST_F(Taskkill, UserFilterMatchesTheOwnerOnly)
{
    NamedChild client(u"1cv8c"_s, kSleep, kLong);
    ASSERT_TRUE(appearsAs(client.pid(), u"1cv8c"_s));

    // Another account: nothing to end, and the client lives on.
    const CommandLine other(u"TASKKILL /F /FI \"USERNAME eq %1\" /IM 1cv8* /T"_s, {u"nobody"_s});
    EXPECT_EQ(console(other), u"ИНФОРМАЦИЯ: Задачи, отвечающие заданным критериям, отсутствуют.\r\n"_s);
    EXPECT_TRUE(client.running());

    // Our own account, also in the DOMAIN\user form.
    const CommandLine mine(u"TASKKILL /F /FI \"USERNAME eq %1\" /IM 1cv8* /T"_s,
                           {u"WORKGROUP\\"_s + GetUserNameText().toUpper()});
    const QString text = console(mine);
    EXPECT_TRUE(client.waitForEnd(5000));
    EXPECT_EQ(text, u"УСПЕШНО: Процесс с идентификатором %1 (дочерний процесс %2) был завершен.\r\n"_s
                        .arg(client.pid())
                        .arg(::getpid()));
}

TEST_F(Taskkill, ImageAndPidFiltersNarrowTheSelection)
{
    NamedChild client(u"1cv8"_s, kSleep, kLong);
    NamedChild server(u"ragent"_s, kSleep, kLong);
    ASSERT_TRUE(appearsAs(client.pid(), u"1cv8"_s));
    ASSERT_TRUE(appearsAs(server.pid(), u"ragent"_s));

    // "/IM *" with an image filter: this test program itself is never a candidate.
    const QString text = console(u"TASKKILL /FI \"IMAGENAME eq 1cv8* \" /IM * /F"_s);
    EXPECT_TRUE(client.waitForEnd(5000));
    EXPECT_EQ(text, u"УСПЕШНО: Процесс \"1cv8.exe\", с идентификатором %1, был завершен.\r\n"_s.arg(client.pid()));
    EXPECT_TRUE(server.running());

    const QString byPid = console(u"TASKKILL /F /FI \"PID eq %1\""_s.arg(server.pid()));
    EXPECT_TRUE(server.waitForEnd(5000));
    EXPECT_EQ(byPid, u"УСПЕШНО: Процесс \"ragent.exe\", с идентификатором %1, был завершен.\r\n"_s.arg(server.pid()));
}

TEST_F(Taskkill, ReportsWhatItCannotFindOrDo)
{
    NamedChild rphost(u"rphost"_s, kSleep, kLong);
    ASSERT_TRUE(appearsAs(rphost.pid(), u"rphost"_s));
    const QString hint = u"Введите \"TASKKILL /?\" для получения справки по использованию.\r\n"_s;
    struct Case {
        QString command;
        QString output;
    };
    const Case cases[] = {
        {u"TASKKILL /F /IM 1cv7*"_s, u"ОШИБКА: процесс \"1cv7*\" не найден.\r\n"_s},
        {u"TASKKILL /F /IM 1cv7* /IM rmngr.exe"_s,
         u"ОШИБКА: процесс \"1cv7*\" не найден.\r\nОШИБКА: процесс \"rmngr.exe\" не найден.\r\n"_s},
        {u"TASKKILL /F /PID 999999999"_s, u"ОШИБКА: процесс \"999999999\" не найден.\r\n"_s},
        {u"TASKKILL /F /FI \"IMAGENAME eq 1cv7*\""_s,
         u"ИНФОРМАЦИЯ: Задачи, отвечающие заданным критериям, отсутствуют.\r\n"_s},
        {u"taskkill /s 10.0.0.5 /u \\admin /p secret /fi \"IMAGENAME eq 1cv8* \" /im * /f"_s,
         u"ОШИБКА: Сервер RPC недоступен.\r\n"_s},
        {u"TASKKILL"_s, u"ОШИБКА: Неверный синтаксис. Не указан ни один из параметров /FI, /PID или /IM.\r\n"_s + hint},
        {u"TASKKILL /U admin /IM rphost*"_s,
         u"ОШИБКА: Неверный синтаксис. Параметр /U может быть указан, только если указан параметр /S.\r\n"_s + hint},
        {u"TASKKILL /F /IM"_s, u"ОШИБКА: Неверный синтаксис. Для параметра \"/IM\" требуется значение.\r\n"_s + hint},
        {u"TASKKILL /X /IM rphost*"_s, u"ОШИБКА: Недопустимый аргумент или параметр - \"/X\".\r\n"_s + hint},
        {u"TASKKILL rphost"_s, u"ОШИБКА: Недопустимый аргумент или параметр - \"rphost\".\r\n"_s + hint},
        {u"TASKKILL /FI \"WINDOWTITLE eq x\""_s, u"ОШИБКА: Фильтр поиска не распознан.\r\n"_s},
        {u"TASKKILL /FI \"PID eq abc\""_s, u"ОШИБКА: Фильтр поиска не распознан.\r\n"_s},
        {u"TASKKILL /F /PID %1"_s.arg(::getpid()),
         u"ОШИБКА: Не удается завершить процесс \"%1.exe\" с идентификатором %2.\r\nПричина: Отказано в доступе.\r\n"_s
             .arg(findPid(ProcessTable::instance()->snapshot(), ::getpid())->imageName)
             .arg(::getpid())},
    };
    for (const Case &c : cases)
        EXPECT_EQ(console(c.command), c.output) << qPrintable(c.command);
    EXPECT_TRUE(rphost.running()); // none of these touched it
}

TEST(TaskkillSystem, NeverEndsProcessOne)
{
    const QString text = console(u"TASKKILL /F /PID 1"_s);
    EXPECT_TRUE(text.startsWith(u"ОШИБКА: Не удается завершить процесс \""_s)) << qPrintable(text);
    EXPECT_TRUE(text.endsWith(u"с идентификатором 1.\r\nПричина: Отказано в доступе.\r\n"_s)) << qPrintable(text);
}

TEST_F(Taskkill, AnotherUsersProcessWithoutTheRightIsDenied)
{
    if (!NamedChild::canRunAsNobody())
        GTEST_SKIP() << "needs root and setpriv to start a process of another account";
    NamedChild foreign(u"rphost"_s, kSleep, kLong, NamedChild::Owner::Nobody);
    ASSERT_TRUE(appearsAs(foreign.pid(), u"rphost"_s));
    EXPECT_EQ(findPid(ProcessTable::instance()->snapshot(), foreign.pid())->ownerName, u"nobody"_s);

    QString denied;
    bool privilege = true;
    withoutKillCapability([&] {
        privilege = EnablePrivilege(u"SeDebugPrivilege"_s, true);
        denied = console(u"TASKKILL /F /IM rphost.exe"_s);
    });
    EXPECT_FALSE(privilege);
    EXPECT_EQ(denied, u"ОШИБКА: Не удается завершить процесс \"rphost.exe\" с идентификатором %1.\r\n"
                      u"Причина: Отказано в доступе.\r\n"_s.arg(foreign.pid()));
    EXPECT_TRUE(foreign.running());

    // With the right (root here), the same command ends it, found by its owner.
    EXPECT_TRUE(EnablePrivilege(u"SeDebugPrivilege"_s, true));
    const QString text = console(u"TASKKILL /F /FI \"USERNAME eq nobody\" /IM rphost*"_s);
    EXPECT_TRUE(foreign.waitForEnd(5000));
    EXPECT_EQ(text, u"УСПЕШНО: Процесс \"rphost.exe\", с идентификатором %1, был завершен.\r\n"_s.arg(foreign.pid()));
}
