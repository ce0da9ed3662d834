// The guard every test program runs behind (support/ProcessGuard.h): signals
// reach this program's own descendants; a process it did not start is left
// alone, the sender is told "access denied", and the running test fails
// naming the process.

#include "shell/CommandRunner.h"
#include "support/ChildProcesses.h"
#include "support/ProcessGuard.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

QString console(const QString &command)
{
    return OemToAnsiText(RunAndCapture(command, u"C:\\"_s));
}

QString processText(qint64 pid, const char *file)
{
    QFile f(u"/proc/%1/%2"_s.arg(pid).arg(QLatin1String(file)));
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
}

// Running and not a zombie.
bool alive(qint64 pid)
{
    const QString stat = processText(pid, "stat");
    const qsizetype close = stat.lastIndexOf(u')');
    return close > 0 && stat.mid(close + 2, 1) != u"Z"_s;
}

QString myUserName()
{
    const passwd *pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(::geteuid());
}

// A copy of sleep under a name of this program's own, started by a shell
// that ends at once: the copy is then adopted by whoever adopts orphans
// (init, or a subreaper above this program), so this program started it but
// it is no descendant. The destructor ends it by its pid, after checking the
// pid still belongs to it.
class Orphan
{
public:
    explicit Orphan(const QString &imageName)
    {
        m_path = m_dir.filePath(imageName);
        QFile::copy(u"/bin/sleep"_s, m_path);
        QFile::setPermissions(m_path, QFile::permissions(u"/bin/sleep"_s));
        QProcess shell;
        shell.start(u"/bin/sh"_s, {u"-c"_s, u"\"$0\" 120 </dev/null >/dev/null 2>&1 & echo $!"_s, m_path});
        if (shell.waitForFinished(10000))
            m_pid = shell.readAllStandardOutput().trimmed().toLongLong();
        // Until the shell's fork has become the copy, it is still "sh".
        if (m_pid > 0 && !waitUntil([this] { return isTheCopy(); }))
            m_pid = 0;
    }
    ~Orphan()
    {
        if (m_pid > 0 && isTheCopy())
            ::kill(static_cast<pid_t>(m_pid), SIGKILL);
    }
    Orphan(const Orphan &) = delete;
    Orphan &operator=(const Orphan &) = delete;

    qint64 pid() const { return m_pid; }

private:
    bool isTheCopy() const { return processText(m_pid, "cmdline").section(QChar(0), 0, 0) == m_path; }

    QTemporaryDir m_dir;
    QString m_path;
    qint64 m_pid = 0;
};

// A ProcessControl of a test's own: records, sends nothing.
class RecordingControl : public ProcessControl
{
public:
    SignalResult sendSignal(qint64 pid, int signal) override
    {
        calls.push_back({pid, signal});
        return {true, 0};
    }
    std::vector<std::pair<qint64, int>> calls;
};

// Runs fn; the failures it records on any thread go into *failures instead
// of the running test.
void catchFailures(::testing::TestPartResultArray *failures, const std::function<void()> &fn)
{
    ::testing::ScopedFakeTestPartResultReporter reporter(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, failures);
    fn();
}

} // namespace

TEST(ProcessGuard, StandsInFrontOfProcessControlAndComesBackAfterATestsOwn)
{
    EXPECT_EQ(ProcessControl::instance(), processGuard());
    {
        const auto own = std::make_shared<RecordingControl>();
        ScopedInstance<ProcessControl> scope(own);
        EXPECT_EQ(ProcessControl::instance(), own);
        EXPECT_TRUE(ProcessControl::instance()->sendSignal(424242, SIGKILL).ok);
        EXPECT_EQ(own->calls, (std::vector<std::pair<qint64, int>>{{424242, SIGKILL}}));
    }
    EXPECT_EQ(ProcessControl::instance(), processGuard());
}

TEST(ProcessGuard, LetsTheProgramEndItsChildrenAndGrandchildren)
{
    const QString image = u"dzx-guard-own%1"_s.arg(::getpid());
    NamedChild child(image, u"/bin/sleep"_s, {u"120"_s});
    ASSERT_TRUE(child.running());
    // A grandchild: the shell waits for its sleep and ends when it does.
    QProcess shell;
    shell.start(u"/bin/sh"_s, {u"-c"_s, u"\"$0\" 120 & echo $!; wait"_s, child.path()});
    ASSERT_TRUE(shell.waitForReadyRead(10000));
    const qint64 grandchild = shell.readLine().trimmed().toLongLong();
    ASSERT_TRUE(isDescendantOfThisProgram(grandchild));

    const SignalResult r = ProcessControl::instance()->sendSignal(grandchild, SIGKILL);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(shell.waitForFinished(5000));

    // The console's own taskkill, by name: the one process of that name.
    EXPECT_EQ(console(u"TASKKILL /F /IM %1*"_s.arg(image)),
              u"УСПЕШНО: Процесс \"%1.exe\", с идентификатором %2, был завершен.\r\n"_s.arg(image).arg(child.pid()));
    EXPECT_TRUE(child.waitForEnd(5000));
}

TEST(ProcessGuard, RefusesAProcessTheProgramDidNotStartAndFailsTheTest)
{
    if (inPrivatePidNamespace())
        GTEST_SKIP() << "as PID 1 of its own namespace every process is this program's";
    const QString image = u"dzx-guard-orphan%1"_s.arg(::getpid());
    Orphan orphan(image);
    ASSERT_GT(orphan.pid(), 0);
    ASSERT_TRUE(alive(orphan.pid()));
    ASSERT_FALSE(isDescendantOfThisProgram(orphan.pid()));

    const QString denied = u"ОШИБКА: Не удается завершить процесс \"%1.exe\" с идентификатором %2.\r\n"
                           u"Причина: Отказано в доступе.\r\n"_s.arg(image).arg(orphan.pid());
    const struct {
        const char *how;
        std::function<QString()> send; // what the sender is told
        QString told;
        const char *signal;
    } cases[] = {
        {"ProcessControl",
         [&] {
             const SignalResult r = ProcessControl::instance()->sendSignal(orphan.pid(), SIGKILL);
             return r.ok ? u"ok"_s : u"error %1"_s.arg(r.error);
         },
         u"error %1"_s.arg(EPERM), "SIGKILL (9)"},
        {"taskkill by PID", [&] { return console(u"TASKKILL /F /PID %1"_s.arg(orphan.pid())); }, denied,
         "SIGKILL (9)"},
        {"taskkill by name", [&] { return console(u"TASKKILL /IM %1"_s.arg(image)); }, denied, "SIGTERM (15)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.how);
        QString told;
        ::testing::TestPartResultArray failures;
        catchFailures(&failures, [&] { told = c.send(); });
        EXPECT_EQ(told, c.told);
        ASSERT_EQ(failures.size(), 1);
        const std::string message = failures.GetTestPartResult(0).message();
        EXPECT_TRUE(failures.GetTestPartResult(0).nonfatally_failed());
        for (const std::string &fragment : {"Refused to send " + std::string(c.signal),
                                        " to process " + std::to_string(orphan.pid()) + " ",
                                        "\"" + image.toStdString() + "\" of user \"" + myUserName().toStdString() + "\""})
            EXPECT_NE(message.find(fragment), std::string::npos) << fragment << "\nin: " << message;
        EXPECT_TRUE(alive(orphan.pid()));
    }
}

TEST(ProcessGuard, ProbesAndAbsentProcessesAreNoFailure)
{
    QFile pidMax(u"/proc/sys/kernel/pid_max"_s);
    ASSERT_TRUE(pidMax.open(QIODevice::ReadOnly));
    const qint64 never = pidMax.readAll().trimmed().toLongLong() + 1;
    const struct {
        qint64 pid;
        int signal;
        int error; // -1: whatever the system says
    } cases[] = {
        {0, SIGKILL, ESRCH},  // the process group: never sent
        {-1, SIGKILL, ESRCH}, // everyone: never sent
        {never, SIGKILL, ESRCH},
        {1, 0, -1}, // a probe ends nothing
    };
    for (const auto &c : cases) {
        SignalResult r;
        ::testing::TestPartResultArray failures;
        catchFailures(&failures, [&] { r = ProcessControl::instance()->sendSignal(c.pid, c.signal); });
        EXPECT_EQ(failures.size(), 0) << c.pid;
        if (c.error >= 0) {
            EXPECT_FALSE(r.ok) << c.pid;
            EXPECT_EQ(r.error, c.error) << c.pid;
        }
    }
}
