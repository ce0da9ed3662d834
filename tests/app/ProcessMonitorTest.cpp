// The process monitor on the real process table (narrowed to this test's
// children): the "CPU %" of a busy 1C process agrees with ps, a process that
// ends leaves the list at the next refresh, and the menu's taskkill actions
// end the processes they name.
#include "ChildProcesses.h"
#include "ProcessSampler.h"
#include "TForm1.h"
#include "TestSupport.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTableWidget>

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
    for (int r = 0; r < w.processList()->rowCount(); ++r) {
        if (w.processList()->item(r, ProcessSampler::ColPid)->text() == QString::number(pid))
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

} // namespace

TEST(ProcessMonitor, BusyServerProcessShowsTheLoadPsSeesAndLeavesWhenItEnds)
{
    Fixture fx;
    TForm1 w;
    auto busy = std::make_unique<NamedChild>(QStringLiteral("rphost"), QStringLiteral("/usr/bin/sha256sum"),
                                             QStringList{QStringLiteral("/dev/zero")});
    NamedChild idle(QStringLiteral("1cv8c"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    w.RefreshInfo1(); // discovery: shares start at the next refresh
    const int busyRow = rowOf(w, busy->pid());
    ASSERT_GE(busyRow, 0);
    EXPECT_EQ(w.processList()->item(busyRow, ProcessSampler::ColImage)->text(), QStringLiteral("rphost.exe"));
    EXPECT_EQ(w.processList()->item(busyRow, ProcessSampler::ColDescription)->text(), QStringLiteral("Рабочий процесс сервера 1С."));
    EXPECT_TRUE(w.processList()->item(busyRow, ProcessSampler::ColMemory)->text().endsWith(QStringLiteral(" KБ")));
    EXPECT_FALSE(w.processList()->item(busyRow, ProcessSampler::ColUser)->text().isEmpty());

    waitUntil([] { return false; }, 1500);
    w.RefreshInfo1();
    const double ours = w.processList()->item(rowOf(w, busy->pid()), ProcessSampler::ColCpu)->text().toDouble();
    const double theirs = psCpu(busy->pid()); // percent of one processor, over the process's life
    const int processors = w.sampler()->processorCount();
    EXPECT_NEAR(ours * processors, theirs, 15.0) << "ours " << ours << " x " << processors << ", ps " << theirs;
    EXPECT_EQ(w.serverLoadBox()->text().toDouble(), ours);
    EXPECT_EQ(w.processCountBox()->text(), QStringLiteral("2")); // rows less the idle row and the console's own

    const qint64 gone = busy->pid();
    busy.reset(); // killed and reaped
    w.RefreshInfo1();
    EXPECT_EQ(rowOf(w, gone), -1);
    EXPECT_GE(rowOf(w, idle.pid()), 0);
    EXPECT_EQ(w.processList()->item(0, ProcessSampler::ColImage)->text(), QStringLiteral("Бездействие системы"));
}

TEST(ProcessMonitor, MenuActionsEndTheProcessesTheyName)
{
    Fixture fx;
    TForm1 w;
    struct Case {
        const char *caption;
        QStringList ends;
        QStringList stays;
        int logLines; // one per command, a line of the tool's output per process ended
    } cases[] = {
        {"Завершить все процессы 1С v8", {"1cv8c", "1cv8"}, {"rphost", "1cv7.exe"}, 2},
        {"Аварийно завершить работу пользователей в 1С v 7 на этом сервере / ПК", {"1cv7.exe"}, {"rphost"}, 1},
        {"Завершить все процессы Сервера 1С на этом сервере/ПК.", {"ragent", "rmngr", "rphost"}, {"1cv8c"}, 3},
        {"Завершить все процессы 1С, (Сервер 1С, 1С Предприятие) на этом Сервере/ПК.",
         {"ragent", "rmngr", "rphost", "1cv8c", "1cv8", "1cv7.exe"}, {}, 6},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.caption);
        std::vector<std::unique_ptr<NamedChild>> ending, staying;
        for (const QString &name : c.ends)
            ending.push_back(std::make_unique<NamedChild>(name, QStringLiteral("/bin/sleep"), QStringList{QStringLiteral("60")}));
        for (const QString &name : c.stays)
            staying.push_back(std::make_unique<NamedChild>(name, QStringLiteral("/bin/sleep"), QStringList{QStringLiteral("60")}));
        const int before = w.eventLog()->lineCount();
        QAction *action = w.mainMenuAction(QString::fromUtf8(c.caption));
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
    NamedChild a(QStringLiteral("1cv8c"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    NamedChild b(QStringLiteral("rmngr"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    w.RefreshInfo1();
    w.processList()->selectRow(rowOf(w, a.pid()));
    w.endSelectedProcesses();
    EXPECT_TRUE(a.waitForEnd(5000));
    EXPECT_TRUE(b.running());
    w.RefreshInfo1();
    EXPECT_EQ(rowOf(w, a.pid()), -1);
}
