// One sampler refresh with 1 000 kept 1C processes running among the
// machine's others, as processor time per refresh, side by side in the same
// run with `ps -eo pid,comm,user,rss,times` over the same table. Then memory
// and open files over 1 000 refreshes of the real table while one of those
// processes ends and another starts at each, and memory over 100 000
// refreshes of the main window while processes come and go.
//
//   QT_QPA_PLATFORM=offscreen build/bench/sampler/bench_sampler [processes] [refreshes]
#include "app/ui/TForm1.h"
#include "common/Platform.h"
#include "monitor/ProcessSampler.h"
#include "monitor/ProcessSnapshot.h"
#include "monitor/ui/ProcessMonitorPanel.h"

#include "BenchSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <ctime>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace dozorix;
using dozorix::bench::processCpuSeconds;
using dozorix::bench::residentKb;

namespace {


double childrenCpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}


// Files this program has open.
long openFiles()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    return static_cast<long>(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

pid_t spawn(const QByteArray &path, const char *arg)
{
    pid_t pid = 0;
    char *argv[] = {const_cast<char *>(path.constData()), const_cast<char *>(arg), nullptr};
    if (posix_spawn(&pid, path.constData(), nullptr, nullptr, argv, environ) != 0)
        return -1;
    return pid;
}

// A table in which 1C processes come and go: every refresh one ends and a
// new one starts, and the busy ones use a little processor time.
class ChurningTable : public ProcessTable
{
public:
    std::vector<ProcessInfo> snapshot() override
    {
        ++m_tick;
        std::vector<ProcessInfo> out;
        static const char *names[] = {"rphost", "1cv8c", "rmngr", "1cv8", "ragent", "1cv7.exe"};
        for (int i = 0; i < 40; ++i) {
            ProcessInfo p;
            p.pid = 1000 + (m_tick + i) % 100000; // one leaves, one arrives each tick
            p.imageName = QString::fromLatin1(names[p.pid % 6]);
            p.ownerName = QStringLiteral("usr1cv8");
            p.userTime = (m_tick - (p.pid - 1000)) * 1000;
            p.residentBytes = 50u << 20;
            out.push_back(p);
        }
        return out;
    }
    int processorCount() override { return 2; }

private:
    qint64 m_tick = 0;
};

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int processes = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int churnRefreshes = argc > 2 ? std::atoi(argv[2]) : 100000;
    QTemporaryDir home;
    qputenv("DOZORIX_HOME", QFile::encodeName(home.path()));
    qputenv("DOZORIX_INSTANCE_SCOPE", QFile::encodeName(home.path()));

    // 1 000 sleeping children under the kept names.
    QTemporaryDir bin;
    const char *names[] = {"rphost", "1cv8c", "rmngr", "1cv8", "ragent", "1cv7.exe"};
    std::vector<pid_t> children;
    for (const char *name : names)
        QFile::copy(QStringLiteral("/bin/sleep"), bin.filePath(QString::fromLatin1(name)));
    for (int i = 0; i < processes; ++i) {
        const pid_t pid = spawn(QFile::encodeName(bin.filePath(QString::fromLatin1(names[i % 6]))), "600");
        if (pid > 0)
            children.push_back(pid);
    }
    usleep(300000);

    const int rounds = 30;
    double ps = 0;
    double engine = 0;
    double window = 0;
    size_t kept = 0;
    {
        TForm1 w;
        ProcessSampler sampler(ProcessTable::instance()->processorCount());
        w.processMonitor()->RefreshInfo1(); // discovery of everything
        usleep(20000);
        for (int r = 0; r < rounds; ++r) {
            // ps over the same table.
            double c0 = childrenCpuSeconds();
            const pid_t psPid = [] {
                pid_t pid = 0;
                char a0[] = "ps", a1[] = "-eo", a2[] = "pid,comm,user,rss,times";
                char *args[] = {a0, a1, a2, nullptr};
                posix_spawn_file_actions_t fa;
                posix_spawn_file_actions_init(&fa);
                posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
                posix_spawnp(&pid, "ps", &fa, nullptr, args, environ);
                posix_spawn_file_actions_destroy(&fa);
                return pid;
            }();
            int status = 0;
            waitpid(psPid, &status, 0);
            ps += childrenCpuSeconds() - c0;

            // The sampler alone: one reading of the table and one refresh.
            double t0 = processCpuSeconds();
            const SampledTable table = takeProcessSnapshot();
            sampler.refresh(table.processes, 1000, [&](quint32 pid) { return table.owners.value(pid); },
                            [&](quint32 pid) { return table.workingSets.value(pid); });
            engine += processCpuSeconds() - t0;
            kept = table.processes.size();

            // The whole refresh of the window: table, list of 1 000 rows, boxes, chart.
            t0 = processCpuSeconds();
            w.processMonitor()->RefreshInfo1();
            window += processCpuSeconds() - t0;
            usleep(10000);
        }
    }

    std::printf("kept processes listed              %zu (of %d started)\n", kept, processes);
    std::printf("ps -eo pid,comm,user,rss,times     %.2f ms CPU per run\n", ps / rounds * 1000);
    std::printf("sampler (table + refresh)          %.2f ms CPU per refresh   ratio %.2f of ps\n", engine / rounds * 1000,
                engine / ps);
    std::printf("main window RefreshInfo1           %.2f ms CPU per refresh   ratio %.2f of ps (goal <= 0.50)\n",
                window / rounds * 1000, window / ps);

    // The real table while the kept processes come and go: one ends and
    // another starts at every refresh.
    {
        const int realRefreshes = 1000;
        ProcessSampler sampler(ProcessTable::instance()->processorCount());
        long rssAt100 = 0;
        long filesAt100 = 0;
        double churnCpu = 0;
        for (int i = 1; i <= realRefreshes && !children.empty(); ++i) {
            const size_t slot = static_cast<size_t>(i) % children.size();
            if (children[slot] > 0) { // never kill(-1, …)
                kill(children[slot], SIGKILL);
                waitpid(children[slot], nullptr, 0);
            }
            children[slot] = spawn(QFile::encodeName(bin.filePath(QString::fromLatin1(names[i % 6]))), "600");
            const double r0 = processCpuSeconds();
            const SampledTable table = takeProcessSnapshot();
            sampler.refresh(table.processes, 1000, [&](quint32 pid) { return table.owners.value(pid); },
                            [&](quint32 pid) { return table.workingSets.value(pid); });
            churnCpu += processCpuSeconds() - r0;
            if (i == 100) {
                rssAt100 = residentKb();
                filesAt100 = openFiles();
            }
        }
        const long rssAtEnd = residentKb();
        std::printf("real churn: %d refreshes, %.2f ms CPU each; RSS after 100: %ld KB, after %d: %ld KB (growth %ld "
                    "KB); open files %ld -> %ld\n",
                    realRefreshes, churnCpu / realRefreshes * 1000, rssAt100, realRefreshes, rssAtEnd,
                    rssAtEnd - rssAt100, filesAt100, openFiles());
    }

    for (pid_t pid : children)
        if (pid > 0)
            kill(pid, SIGKILL);
    for (pid_t pid : children)
        if (pid > 0)
            waitpid(pid, nullptr, 0);

    // Memory over a long run while processes come and go.
    {
        ScopedInstance<ProcessTable> churn(std::make_shared<ChurningTable>());
        TForm1 w;
        long at10k = 0;
        const double t0 = processCpuSeconds();
        for (int i = 1; i <= churnRefreshes; ++i) {
            w.processMonitor()->RefreshInfo1();
            if (i % 1000 == 0)
                QCoreApplication::processEvents();
            if (i == churnRefreshes / 10)
                at10k = residentKb();
        }
        const long atEnd = residentKb();
        std::printf("churn: %d refreshes, %.3f ms CPU each; RSS after %d: %ld KB, after %d: %ld KB (growth %ld KB)\n",
                    churnRefreshes, (processCpuSeconds() - t0) / churnRefreshes * 1000, churnRefreshes / 10, at10k,
                    churnRefreshes, atEnd, atEnd - at10k);
    }
    return 0;
}
