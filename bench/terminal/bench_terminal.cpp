// One refresh of the "Сервер терминалов" list, as the window does it:
// RunAndCapture("query user /server 127.0.0.1", "C:\\"), OemToAnsiText,
// trimmed, and the state words counted, over 500 sessions. Processor time
// (user + system, all threads) of each refresh in this process, side by side
// in the same run with the child processor time of `loginctl list-sessions
// --no-pager` (logind path) and of `who FILE` (utmp path) over the same
// sessions.
//
//   bench_terminal logind [rounds]   DBUS_SYSTEM_BUS_ADDRESS: a bus with the
//                                    logind stand-in (run.sh starts it)
//   bench_terminal utmp SESSIONS [rounds]
//                                    writes a utmp file of SESSIONS records of
//                                    live processes of its own and reads it
//
// Prints one table row per side and the ratio.
#include "BenchSupport.h"
#include "common/Platform.h"
#include "shell/CommandRunner.h"
#include "terminal/SessionList.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <vector>

#include <fcntl.h>
#include <paths.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmpx.h>

extern char **environ;

using dozorix::bench::processCpuSeconds;

namespace {

struct Stats {
    double median = 0;
    double mean = 0;
};

Stats statsOf(std::vector<double> v)
{
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    s.mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
    return s;
}

struct ChildRun {
    double cpuSeconds = -1;
    QByteArray output;
};

// Runs the program with its output into a pipe read to the end; the
// processor time is the child's own (wait4's rusage).
ChildRun runChild(const QList<QByteArray> &argv)
{
    ChildRun r;
    int fds[2];
    if (::pipe(fds) != 0)
        return r;
    std::vector<char *> args;
    for (const QByteArray &a : argv)
        args.push_back(const_cast<char *>(a.constData()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    posix_spawn_file_actions_addclose(&fa, fds[1]);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return r;
    }
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        r.output.append(buf, n);
    ::close(fds[0]);
    int status = 0;
    rusage ru{};
    if (::wait4(pid, &status, 0, &ru) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        r.cpuSeconds = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    return r;
}

struct Refresh {
    QString text;
    int active = 0;
    int disconnected = 0;
    int lines = 0;
};

// The window's refresh: the tab's own query and counting.
Refresh refresh()
{
    Refresh r;
    r.text = dozorix::querySessionList(QStringLiteral("127.0.0.1"));
    const dozorix::SessionCounts counts = dozorix::countSessionStates(r.text);
    r.active = counts.active;
    r.disconnected = counts.disconnected;
    r.lines = dozorix::sessionListLineCount(r.text);
    return r;
}

// 500 sleeping processes, the sessions' leaders.
struct Leaders {
    std::vector<pid_t> pids;
    explicit Leaders(int count)
    {
        for (int i = 0; i < count; ++i) {
            pid_t pid = 0;
            char a0[] = "sleep", a1[] = "3600";
            char *args[] = {a0, a1, nullptr};
            if (posix_spawnp(&pid, "sleep", nullptr, nullptr, args, environ) == 0)
                pids.push_back(pid);
        }
    }
    ~Leaders()
    {
        for (pid_t pid : pids) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

bool writeUtmp(const QString &path, const std::vector<pid_t> &pids, const QStringList &lines)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.close();
    const QByteArray name = QFile::encodeName(path);
    if (::utmpxname(name.constData()) != 0)
        return false;
    ::setutxent();
    bool ok = true;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (size_t i = 0; i < pids.size(); ++i) {
        utmpx u;
        std::memset(&u, 0, sizeof u);
        u.ut_type = USER_PROCESS;
        u.ut_pid = pids[i];
        const QByteArray user = QByteArray("user") + QByteArray::number(static_cast<int>(i % 97));
        const QByteArray line = lines.at(static_cast<int>(i)).toLocal8Bit();
        const QByteArray host = i % 3 ? QByteArray("10.0.") + QByteArray::number(static_cast<int>(i / 250)) + '.'
                                            + QByteArray::number(static_cast<int>(i % 250))
                                      : QByteArray();
        std::strncpy(u.ut_user, user.constData(), sizeof u.ut_user);
        std::strncpy(u.ut_line, line.constData(), sizeof u.ut_line);
        std::strncpy(u.ut_host, host.constData(), sizeof u.ut_host);
        const QByteArray id = QByteArray::number(static_cast<int>(i + 1));
        std::strncpy(u.ut_id, id.constData(), sizeof u.ut_id);
        u.ut_tv.tv_sec = static_cast<decltype(u.ut_tv.tv_sec)>(now - 600 - static_cast<qint64>(i) * 137);
        ok = ::pututxline(&u) != nullptr && ok;
    }
    ::endutxent();
    ::utmpxname(_PATH_UTMP);
    return ok;
}

void printRow(const char *what, const Stats &s, const QString &check)
{
    std::printf("%-42s %10.3f %10.3f   %s\n", what, s.median * 1000, s.mean * 1000, qPrintable(check));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    QTemporaryDir home;
    qputenv("DOZORIX_HOME", QFile::encodeName(home.path()));

    std::vector<double> ours;
    std::vector<double> theirs;
    std::vector<double> reading; // the session manager's reading alone, for the breakdown
    const auto readOnce = [&reading] {
        const double t0 = processCpuSeconds();
        const auto list = dozorix::SessionManager::instance()->sessions();
        reading.push_back(processCpuSeconds() - t0);
        return list.size();
    };
    Refresh last;
    QByteArray theirOutput;
    const char *theirName = "";
    int expected = 0;

    if (mode == QLatin1String("logind")) {
        const int rounds = argc > 2 ? std::atoi(argv[2]) : 30;
        expected = argc > 3 ? std::atoi(argv[3]) : 500;
        const QList<QByteArray> loginctl{"loginctl", "list-sessions", "--no-pager"};
        theirName = "loginctl list-sessions --no-pager";
        refresh(); // warm: libraries, the stand-in's objects, the caches
        runChild(loginctl);
        for (int r = 0; r < rounds; ++r) {
            const ChildRun c = runChild(loginctl);
            theirs.push_back(c.cpuSeconds);
            theirOutput = c.output;
            const double t0 = processCpuSeconds();
            last = refresh();
            ours.push_back(processCpuSeconds() - t0);
            readOnce();
        }
    } else if (mode == QLatin1String("utmp")) {
        const int sessions = argc > 2 ? std::atoi(argv[2]) : 500;
        const int rounds = argc > 3 ? std::atoi(argv[3]) : 30;
        expected = sessions;
        // No system bus: the utmp records answer.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", QFile::encodeName(QStringLiteral("unix:path=") + home.filePath(QStringLiteral("no-bus"))));
        Leaders leaders(sessions);
        // One session in ten on a real pseudo-terminal, the others on
        // terminals that are gone.
        std::vector<int> masters;
        QStringList lines;
        for (int i = 0; i < sessions; ++i) {
            int master = -1, slave = -1;
            char name[64] = {};
            if (i % 10 == 0 && ::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
                masters.push_back(master);
                masters.push_back(slave);
                lines << QString::fromLocal8Bit(name).mid(5);
            } else {
                lines << QStringLiteral("pts/%1").arg(9000 + i);
            }
        }
        const QString utmp = home.filePath(QStringLiteral("utmp"));
        if (static_cast<int>(leaders.pids.size()) != sessions || !writeUtmp(utmp, leaders.pids, lines)) {
            std::fprintf(stderr, "cannot prepare %d sessions\n", sessions);
            return 1;
        }
        qputenv("DOZORIX_UTMP", QFile::encodeName(utmp));
        const QList<QByteArray> who{"who", QFile::encodeName(utmp)};
        theirName = "who FILE";
        refresh();
        runChild(who);
        for (int r = 0; r < rounds; ++r) {
            const ChildRun c = runChild(who);
            theirs.push_back(c.cpuSeconds);
            theirOutput = c.output;
            const double t0 = processCpuSeconds();
            last = refresh();
            ours.push_back(processCpuSeconds() - t0);
            readOnce();
        }
        for (int fd : masters)
            ::close(fd);
    } else {
        std::fprintf(stderr, "usage: bench_terminal logind [rounds [sessions]] | utmp [sessions [rounds]]\n");
        return 2;
    }

    // Both sides complete: every session listed.
    const int theirLines = static_cast<int>(theirOutput.count('\n'));
    const bool theirsFailed = std::any_of(theirs.begin(), theirs.end(), [](double v) { return v < 0; });
    const QString ourCheck = QStringLiteral("%1 rows, %2 active + %3 disconnected")
                                 .arg(last.lines - 1).arg(last.active).arg(last.disconnected);
    const QString theirCheck = theirsFailed ? QStringLiteral("FAILED") : QStringLiteral("%1 lines").arg(theirLines);
    const Stats o = statsOf(ours);
    const Stats t = statsOf(theirs);
    std::printf("%-42s %10s %10s   %s\n", qPrintable(mode + QStringLiteral(" path, processor ms per refresh")),
                "median", "mean", "output");
    printRow("query user (in process)", o, ourCheck);
    printRow(theirName, t, theirCheck);
    printRow("  of ours: the session manager's reading", statsOf(reading), QString());
    std::printf("%-42s %10.3f %10.3f   (goal: at most 0.5)\n", "ratio ours/theirs", o.median / t.median,
                o.mean / t.mean);
    if (last.lines - 1 != expected || last.active + last.disconnected != expected || theirsFailed) {
        std::fprintf(stderr, "incomplete output: expected %d sessions\n%s\n---\n%s\n", expected, qPrintable(last.text.left(2000)),
                     theirOutput.left(2000).constData());
        return 1;
    }
    return 0;
}
