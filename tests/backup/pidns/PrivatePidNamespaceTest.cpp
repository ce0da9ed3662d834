// The backup's end of the 1C clients ("TASKKILL /F /IM 1cv8* /T", by name,
// whoever started them) run for real, as PID 1 of a PID namespace of the
// test's own (dozorix_private_pid_tests): only the namespace's processes are
// seen and ended; a "1cv8zz" outside it lives on.

#include "backup/BackupScenario.h"
#include "shell/CommandRunner.h"
#include "support/ChildProcesses.h"
#include "support/ProcessGuard.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

const QString kImage = u"1cv8zz"_s;
const QString kSleep = u"/bin/sleep"_s;
// Set in the second run of the test, the one in a namespace nested in the first.
const char kInnerRun[] = "DOZORIX_PIDNS_INNER_RUN";

// True once the process shows in the table as a 1cv8zz (a shell's fork
// shows as "sh" until it has started the program).
bool visible(qint64 pid)
{
    return waitUntil([pid] {
        const std::vector<ProcessInfo> table = ProcessTable::instance()->snapshot();
        const ProcessInfo *p = findPid(table, pid);
        return p && p->imageName == kImage;
    });
}

// Reaps a child of this program (PID 1 adopts every orphan of the namespace);
// true when it was ended by the signal.
bool reapedAfter(qint64 pid, int signal)
{
    int status = 0;
    const bool reaped = waitUntil([&] { return ::waitpid(static_cast<pid_t>(pid), &status, WNOHANG) == pid; }, 5000);
    return reaped && WIFSIGNALED(status) && WTERMSIG(status) == signal;
}

// The inner run: two 1cv8zz of this namespace, one a child of this program,
// one adopted after its shell ended; the backup's command ends both and
// nothing else.
void endTheClientsInside()
{
    ProgramHome home;
    NamedChild child(kImage, kSleep, {u"120"_s});
    QProcess shell;
    shell.start(u"/bin/sh"_s, {u"-c"_s, u"\"$0\" 120 </dev/null >/dev/null 2>&1 & echo $!"_s, child.path()});
    ASSERT_TRUE(shell.waitForFinished(10000));
    const qint64 adopted = shell.readAllStandardOutput().trimmed().toLongLong();
    ASSERT_TRUE(visible(child.pid()));
    ASSERT_TRUE(visible(adopted));
    EXPECT_EQ(findPid(ProcessTable::instance()->snapshot(), adopted)->ppid, 1);

    LaunchShellHidden(kEnd1CClientsCommand);
    ASSERT_TRUE(waitForBackgroundCommands(30000));
    const QStringList lines = end1CClientsLines(home.read(u"temp.txt"_s));
    const QString line = u"УСПЕШНО: Процесс с идентификатором %1 (дочерний процесс 1) был завершен."_s;
    EXPECT_EQ(lines, (QStringList{line.arg(qMin(child.pid(), adopted)), line.arg(qMax(child.pid(), adopted))}));
    EXPECT_TRUE(child.waitForEnd(5000));
    EXPECT_TRUE(reapedAfter(adopted, SIGKILL));
}

} // namespace

TEST(PrivatePidNamespace, TheProgramIsPidOneAndSeesOnlyWhatItStarted)
{
    ASSERT_TRUE(inPrivatePidNamespace());
    // Whoever started the program (unshare under ctest) lies outside: no pid here.
    EXPECT_EQ(::getppid(), 0);
    NamedChild child(kImage, kSleep, {u"120"_s});
    ASSERT_TRUE(visible(child.pid()));
    // The whole process table, not narrowed: this program and its descendants.
    const std::vector<ProcessInfo> table = ProcessTable::instance()->snapshot();
    EXPECT_GE(table.size(), 2u);
    for (const ProcessInfo &p : table)
        EXPECT_TRUE(p.pid == 1 || isDescendantOfThisProgram(p.pid)) << p.pid << " " << p.imageName.toStdString();
}

// The test runs twice. Here, as PID 1 of the namespace ctest made, it starts a
// 1cv8zz, then runs itself once more as PID 1 of a namespace nested in this
// one, made the way ctest makes it; that run ends "1cv8*" by name. The 1cv8zz
// started here, before that namespace was entered, is not in it: it lives on.
TEST(PrivatePidNamespace, TheBackupsEndOfTheClientsEndsOnlyTheNamespacesOwn)
{
    ASSERT_TRUE(inPrivatePidNamespace());
    if (qEnvironmentVariableIsSet(kInnerRun)) {
        endTheClientsInside();
        return;
    }
    NamedChild outside(kImage, kSleep, {u"120"_s});
    ASSERT_TRUE(visible(outside.pid()));

    QProcess inner;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kInnerRun), u"1"_s);
    inner.setProcessEnvironment(env);
    inner.setProcessChannelMode(QProcess::MergedChannels);
    const QString self = u"%1.%2"_s.arg(QString::fromUtf8(testing::UnitTest::GetInstance()->current_test_suite()->name()),
                                         QString::fromUtf8(testing::UnitTest::GetInstance()->current_test_info()->name()));
    inner.start(u"/bin/sh"_s, {QStringLiteral(DOZORIX_PRIVATE_PID_NAMESPACE_SCRIPT),
                               QCoreApplication::applicationFilePath(), u"--gtest_filter="_s + self});
    ASSERT_TRUE(inner.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(inner.readAll());
    EXPECT_EQ(inner.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(inner.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(u"[  PASSED  ] 1 test."_s)) << output.toStdString();

    EXPECT_TRUE(outside.running());
    EXPECT_TRUE(findPid(ProcessTable::instance()->snapshot(), outside.pid()) != nullptr);
}
