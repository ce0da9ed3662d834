// The process monitor on the real process table (narrowed to this test's
// children): the "CPU %" of a busy 1C process agrees with ps, a process that
// ends leaves the list at the next refresh, and the menu's taskkill actions
// end the processes they name; the server submenu runs each version's
// service command, logged from the main menu and shown as balloons from the
// tray; "Снять задачу" ends the selected rows' processes.
#include "app/ui/EventLog.h"
#include "app/ui/TForm1.h"
#include "common/ui/MenuTable.h"
#include "monitor/ProcessActions.h"
#include "monitor/ProcessSampler.h"
#include "monitor/ui/ProcessMonitorPanel.h"
#include "shell/CommandRunner.h"
#include "support/ChildProcesses.h"
#include "support/FakeServices.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QElapsedTimer>
#include <QProcess>
#include <QTableWidget>
#include <QThread>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct Fixture {
    ProgramHome home;
    ScopedEnv scope{"DOZORIX_INSTANCE_SCOPE", QFile::encodeName(home.path())};
    ScopedInstance<ProcessTable> table{std::make_shared<DescendantsTable>()};
};

int rowOf(TForm1 &w, qint64 pid)
{
    for (int r = 0; r < w.processMonitor()->processList()->rowCount(); ++r) {
        if (w.processMonitor()->processList()->item(r, ProcessSampler::ColPid)->text() == QString::number(pid))
            return r;
    }
    return -1;
}

double psCpu(qint64 pid)
{
    QProcess ps;
    ps.start(QStringLiteral("ps"), {QStringLiteral("-o"), QStringLiteral("pcpu="), QStringLiteral("-p"), QString::number(pid)});
    ps.waitForFinished();
    return QString::fromLatin1(ps.readAllStandardOutput()).trimmed().toDouble();
}

// One processor and one rphost that keeps it busy all the time: its
// processor time is the wall time since the table was made. The table is
// slow to read, as a big process table on a busy host is: it takes its
// reading when asked and answers a while later.
class SlowBusyTable : public ProcessTable
{
public:
    explicit SlowBusyTable(int answerMs) : m_answerMs(answerMs) { m_clock.start(); }
    std::vector<ProcessInfo> snapshot() override
    {
        ProcessInfo p;
        p.pid = 4000000;
        p.ppid = 1;
        p.imageName = QStringLiteral("rphost");
        p.ownerName = QStringLiteral("usr1cv8");
        p.userTime = m_clock.nsecsElapsed() / 100;
        QThread::msleep(static_cast<unsigned long>(m_answerMs));
        return {p};
    }
    int processorCount() override { return 1; }

private:
    QElapsedTimer m_clock;
    int m_answerMs;
};

} // namespace

TEST(ProcessMonitor, BusyServerProcessShowsTheLoadPsSeesAndLeavesWhenItEnds)
{
    Fixture fx;
    TForm1 w;
    auto busy = std::make_unique<NamedChild>(QStringLiteral("rphost"), QStringLiteral("/usr/bin/sha256sum"),
                                             QStringList{QStringLiteral("/dev/zero")});
    NamedChild idle(QStringLiteral("1cv8c"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    w.processMonitor()->RefreshInfo1(); // discovery: shares start at the next refresh
    const int busyRow = rowOf(w, busy->pid());
    ASSERT_GE(busyRow, 0);
    EXPECT_EQ(w.processMonitor()->processList()->item(busyRow, ProcessSampler::ColImage)->text(), QStringLiteral("rphost.exe"));
    EXPECT_EQ(w.processMonitor()->processList()->item(busyRow, ProcessSampler::ColDescription)->text(), QStringLiteral("Рабочий процесс сервера 1С."));
    EXPECT_TRUE(w.processMonitor()->processList()->item(busyRow, ProcessSampler::ColMemory)->text().endsWith(QStringLiteral(" KБ")));
    EXPECT_FALSE(w.processMonitor()->processList()->item(busyRow, ProcessSampler::ColUser)->text().isEmpty());

    quietFor(1500);
    w.processMonitor()->RefreshInfo1();
    const double ours = w.processMonitor()->processList()->item(rowOf(w, busy->pid()), ProcessSampler::ColCpu)->text().toDouble();
    const double theirs = psCpu(busy->pid()); // percent of one processor, over the process's life
    const int processors = w.processMonitor()->sampler()->processorCount();
    EXPECT_NEAR(ours * processors, theirs, 15.0) << "ours " << ours << " x " << processors << ", ps " << theirs;
    EXPECT_EQ(w.processMonitor()->serverLoadBox()->text().toDouble(), ours);
    EXPECT_EQ(w.processMonitor()->processCountBox()->text(), QStringLiteral("2")); // rows less the idle row and the console's own

    const qint64 gone = busy->pid();
    busy.reset(); // killed and reaped
    w.processMonitor()->RefreshInfo1();
    EXPECT_EQ(rowOf(w, gone), -1);
    EXPECT_GE(rowOf(w, idle.pid()), 0);
    EXPECT_EQ(w.processMonitor()->processList()->item(0, ProcessSampler::ColImage)->text(), QStringLiteral("Бездействие системы"));
}

TEST(ProcessMonitor, MenuActionsEndTheProcessesTheyName)
{
    Fixture fx;
    TForm1 w;
    struct Case {
        const char *name;
        QStringList ends;
        QStringList stays;
        int logLines; // one per command, a line of the tool's output per process ended
    } cases[] = {
        {"killClients8", {"1cv8c", "1cv8"}, {"rphost", "1cv7.exe"}, 2},
        {"killClients7", {"1cv7.exe"}, {"rphost"}, 1},
        {"killServers", {"ragent", "rmngr", "rphost"}, {"1cv8c"}, 3},
        {"killAll1C", {"ragent", "rmngr", "rphost", "1cv8c", "1cv8", "1cv7.exe"}, {}, 6},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::unique_ptr<NamedChild>> ending, staying;
        for (const QString &name : c.ends)
            ending.push_back(std::make_unique<NamedChild>(name, QStringLiteral("/bin/sleep"), QStringList{QStringLiteral("60")}));
        for (const QString &name : c.stays)
            staying.push_back(std::make_unique<NamedChild>(name, QStringLiteral("/bin/sleep"), QStringList{QStringLiteral("60")}));
        const int before = w.eventLog()->lineCount();
        QAction *action = findMenuAction(w.menuBar(), QString::fromUtf8(c.name));
        ASSERT_NE(action, nullptr);
        ASSERT_TRUE(action->isEnabled());
        action->trigger();
        for (auto &child : ending)
            EXPECT_TRUE(child->waitForEnd(5000)) << child->path().toStdString();
        for (auto &child : staying)
            EXPECT_TRUE(child->running()) << child->path().toStdString();
        EXPECT_EQ(w.eventLog()->lineCount() - before, c.logLines);
        EXPECT_EQ(w.eventLog()->lineColour(w.eventLog()->lineCount() - 1), kGreen);
    }
}

TEST(ProcessMonitor, EndTaskOnSelectedRows)
{
    Fixture fx;
    TForm1 w;
    w.show();
    NamedChild a(QStringLiteral("1cv8c"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    NamedChild b(QStringLiteral("rmngr"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    w.processMonitor()->RefreshInfo1();
    // "Снять задачу" is offered only when at least one row is selected.
    QTableWidget *list = w.processMonitor()->processList();
    emit list->customContextMenuRequested(QPoint(5, 5));
    EXPECT_FALSE(w.processMonitor()->processMenu()->isVisible());
    list->selectRow(rowOf(w, a.pid()));
    emit list->customContextMenuRequested(QPoint(5, 5));
    EXPECT_TRUE(w.processMonitor()->processMenu()->isVisible());
    QAction *endTask = findMenuAction(w.processMonitor()->processMenu(), QStringLiteral("endTask"));
    ASSERT_NE(endTask, nullptr);
    endTask->trigger();
    w.processMonitor()->processMenu()->close();
    EXPECT_TRUE(a.waitForEnd(5000));
    EXPECT_TRUE(b.running());
    w.processMonitor()->RefreshInfo1();
    EXPECT_EQ(rowOf(w, a.pid()), -1);
}

TEST(ProcessMonitor, ServerSubmenuRunsEachVersionsCommandWithItsMenusPattern)
{
    using State = ServiceManager::State;
    Fixture fx;
    ScopedTimeScale scale{100};
    auto services = std::make_shared<FakeServices>();
    ScopedInstance<ServiceManager> serviceSlot{services};
    TForm1 w;
    const QString agent = QStringLiteral("1C:Enterprise %1 Server Agent");
    const struct {
        const char *menu;
        const char *item;
        const char *version; // the service that changes; the other two stay
        State before;
        State after;
        bool logged; // the main menu logs the tool's lines, the tray shows balloons and logs only a failure
    } cases[] = {
        {"main", "server83Stop", "8.3", State::Running, State::Stopped, true},
        {"main", "server82Start", "8.2", State::Stopped, State::Running, true},
        {"main", "server81Restart", "8.1", State::Stopped, State::Running, true},
        {"tray", "server83Start", "8.3", State::Stopped, State::Running, false},
        {"tray", "server82Stop", "8.2", State::Running, State::Stopped, false},
        {"tray", "server81Restart", "8.1", State::Stopped, State::Running, true}, // its stop fails: not running
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.menu) + " " + c.item);
        const QString target = agent.arg(QString::fromUtf8(c.version));
        QStringList others;
        for (const char *v : {"8.3", "8.2", "8.1"}) {
            const QString service = agent.arg(QString::fromUtf8(v));
            services->add(service, service == target ? c.before : State::Running);
            if (service != target)
                others << service;
        }
        const QWidget *menu = QByteArray(c.menu) == "main" ? static_cast<QWidget *>(w.menuBar()) : w.trayMenu();
        QAction *action = findMenuAction(menu, QString::fromUtf8(c.item));
        ASSERT_NE(action, nullptr);
        ASSERT_TRUE(action->isEnabled());
        w.eventLog()->clearLog();
        action->trigger();
        ASSERT_TRUE(waitUntil([&] { return !w.processActions()->isBusy(); }, 30000));
        EXPECT_EQ(services->state(target), c.after);
        for (const QString &service : others)
            EXPECT_EQ(services->state(service), State::Running) << service.toStdString();
        if (c.logged)
            EXPECT_GT(w.eventLog()->lineCount(), 0);
        else
            EXPECT_EQ(w.eventLog()->lineCount(), 0);
    }
    EXPECT_TRUE(waitForBackgroundCommands(10000));
}

// The refresh's interval runs from one reading of the clock to the next:
// the time the snapshot and the list take belongs to the next interval, so
// the intervals add up to the wall time and a process that used the
// processor all the time shows 100 %, however slow the snapshot.
TEST(ProcessMonitor, SlowSnapshotLosesNoTimeBetweenRefreshes)
{
    ProgramHome home;
    ScopedEnv scope{"DOZORIX_INSTANCE_SCOPE", QFile::encodeName(home.path())};
    constexpr int kSnapshotMs = 150;
    ScopedInstance<ProcessTable> table{std::make_shared<SlowBusyTable>(kSnapshotMs)};
    TForm1 w;
    ASSERT_EQ(w.processMonitor()->sampler()->processorCount(), 1);
    w.processMonitor()->RefreshInfo1(); // discovery
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        quietFor(2 * kSnapshotMs);
        w.processMonitor()->RefreshInfo1();
        const int row = rowOf(w, 4000000);
        ASSERT_GE(row, 0);
        bool ok = false;
        const double share = w.processMonitor()->processList()->item(row, ProcessSampler::ColCpu)->text().toDouble(&ok);
        ASSERT_TRUE(ok) << w.processMonitor()->processList()->item(row, ProcessSampler::ColCpu)->text().toStdString();
        // Lost time would show as more than 100 % (here about 150 %).
        EXPECT_NEAR(share, 100.0, 5.0);
        EXPECT_NEAR(w.processMonitor()->serverLoadBox()->text().toDouble(), 100.0, 5.0);
    }
}
