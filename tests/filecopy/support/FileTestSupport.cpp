#include "filecopy/support/FileTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <fcntl.h>
#include <ftw.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

namespace dozorix::test {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void setFileTimes(const QString &path, qint64 atimeSec, long atimeNsec, qint64 mtimeSec, long mtimeNsec)
{
    struct timespec t[2];
    t[0].tv_sec = static_cast<time_t>(atimeSec);
    t[0].tv_nsec = atimeNsec;
    t[1].tv_sec = static_cast<time_t>(mtimeSec);
    t[1].tv_nsec = mtimeNsec;
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), t, 0);
}

QByteArray textBytes(qsizetype size, quint32 seed)
{
    static const char *words[] = {"invoice", "warehouse", "customer", "total", "posted", "period",
                                  "balance", "register", "amount", "document", "reference", "item"};
    std::mt19937 rng(seed);
    QByteArray out;
    out.reserve(size + 32);
    while (out.size() < size) {
        out += words[rng() % 12];
        out += (rng() % 9 == 0) ? '\n' : ' ';
        out += QByteArray::number(static_cast<int>(rng() % 1000));
        out += ';';
    }
    out.truncate(size);
    return out;
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    std::mt19937 rng(seed);
    QByteArray out(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        out[i] = static_cast<char>(rng() & 0xFF);
    return out;
}

QByteArray mixedBytes(qsizetype size, quint32 seed)
{
    std::mt19937 rng(seed);
    QByteArray out;
    out.reserve(size);
    while (out.size() < size) {
        const qsizetype page = std::min<qsizetype>(4096 * (1 + rng() % 8), size - out.size());
        switch (rng() % 3) {
        case 0: out += textBytes(page, rng()); break;
        case 1: out += randomBytes(page, rng()); break;
        default: out += QByteArray(page, '\0'); break;
        }
    }
    return out;
}

QProcessEnvironment readerEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    return env;
}

PeerRun runPeer(const QString &program, const QStringList &args, int timeoutMs)
{
    PeerRun run;
    QProcess p;
    p.setProcessEnvironment(readerEnvironment());
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.closeWriteChannel();
    if (!p.waitForStarted(10000)) {
        run.output = program + QStringLiteral(" did not start");
        return run;
    }
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        run.output = program + QStringLiteral(" timed out");
        return run;
    }
    run.output = QString::fromLocal8Bit(p.readAll());
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return run;
}

QString ToolRun::describe() const
{
    if (timedOut)
        return QStringLiteral("timed out\n") + out + err;
    if (signal != 0)
        return QStringLiteral("killed by signal %1\n").arg(signal) + out + err;
    return QStringLiteral("exit code %1\n").arg(exitCode) + out + err;
}

ToolRun runTool(const QString &program, const QStringList &args, quint64 fileSizeLimit, int timeoutMs,
                const QByteArray &input)
{
    ToolRun run;
    QProcess p;
    p.setProcessEnvironment(readerEnvironment());
    if (fileSizeLimit > 0) {
        p.setChildProcessModifier([fileSizeLimit] {
            const struct rlimit limit{fileSizeLimit, fileSizeLimit};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                ::_exit(125);
        });
    }
    p.start(program, args);
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    if (!p.waitForStarted(10000)) {
        run.err = program + QStringLiteral(" did not start");
        return run;
    }
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        run.timedOut = true;
    }
    run.out = QString::fromUtf8(p.readAllStandardOutput());
    run.err = QString::fromUtf8(p.readAllStandardError());
    if (run.timedOut)
        return run;
    // After a crash QProcess gives the signal's number as the exit code.
    if (p.exitStatus() == QProcess::CrashExit)
        run.signal = p.exitCode() != 0 ? p.exitCode() : -1;
    else
        run.exitCode = p.exitCode();
    return run;
}

QStringList folderEntries(const QString &folder)
{
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

struct FifoWatchdog::State {
    QByteArray fifo;
    int graceMs;
    std::mutex lock;
    std::condition_variable stop;
    bool stopping = false;
    std::atomic<bool> released{false};
    std::thread thread;
};

FifoWatchdog::FifoWatchdog(const QString &fifo, int graceMs) : m_state(std::make_unique<State>())
{
    m_state->fifo = QFile::encodeName(fifo);
    m_state->graceMs = graceMs;
    State *s = m_state.get();
    s->thread = std::thread([s] {
        std::unique_lock<std::mutex> g(s->lock);
        if (s->stop.wait_for(g, std::chrono::milliseconds(s->graceMs), [s] { return s->stopping; }))
            return;
        // A blocked reader is there when a non-blocking open for writing
        // succeeds.
        while (!s->stopping) {
            const int fd = ::open(s->fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                s->released = true;
                ::close(fd);
            }
            s->stop.wait_for(g, std::chrono::milliseconds(50), [s] { return s->stopping; });
        }
    });
}

FifoWatchdog::~FifoWatchdog()
{
    {
        std::lock_guard<std::mutex> g(m_state->lock);
        m_state->stopping = true;
    }
    m_state->stop.notify_all();
    m_state->thread.join();
}

bool FifoWatchdog::released() const
{
    return m_state->released.load();
}

void removeTree(const QByteArray &nativePath)
{
    ::nftw(
        nativePath.constData(),
        [](const char *path, const struct stat *, int, struct FTW *) {
            ::remove(path);
            return 0; // go on with the rest
        },
        16,
        FTW_DEPTH | FTW_PHYS);
}

QByteArray readAt(const QString &path, quint64 offset, qsizetype size)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(static_cast<qint64>(offset)))
        return {};
    return f.read(size);
}

// --- permissions for root ---------------------------------------------------

NoPermissionOverride::NoPermissionOverride(bool alsoOtherProcesses)
{
    if (::geteuid() != 0) {
        m_ok = true;
        return;
    }
    m_root = true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return;
    m_saved[0] = data[0].effective;
    m_saved[1] = data[1].effective;
    data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH)
                           | (alsoOtherProcesses ? (1u << CAP_SYS_PTRACE) : 0u));
    m_ok = ::syscall(SYS_capset, &header, data) == 0;
}

NoPermissionOverride::~NoPermissionOverride()
{
    if (!m_root || !m_ok)
        return;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return;
    data[0].effective = m_saved[0];
    data[1].effective = m_saved[1];
    ::syscall(SYS_capset, &header, data);
}

} // namespace dozorix::test
