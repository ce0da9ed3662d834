#include "platform/linux/LinuxProcessTable.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dozorix {
namespace {

constexpr unsigned long kPfKthread = 0x00200000; // PF_KTHREAD in /proc/<pid>/stat flags

// Reads a small /proc file relative to an open directory; empty on failure.
QByteArray readAt(int dirFd, const char *name, qsizetype limit)
{
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray data(limit, Qt::Uninitialized);
    qsizetype total = 0;
    while (total < limit) {
        const ssize_t n = ::read(fd, data.data() + total, static_cast<size_t>(limit - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += n;
    }
    ::close(fd);
    data.truncate(total);
    return data;
}

// Fields of /proc/<pid>/stat after the command name, split on blanks:
// index 0 is the state (field 3 of proc(5)).
struct StatFields {
    QByteArray comm;
    QList<QByteArray> rest;
};

bool parseStat(const QByteArray &stat, StatFields *out)
{
    const qsizetype open = stat.indexOf('(');
    const qsizetype close = stat.lastIndexOf(')');
    if (open < 0 || close < open)
        return false;
    out->comm = stat.mid(open + 1, close - open - 1);
    out->rest = stat.mid(close + 1).simplified().split(' ');
    return out->rest.size() >= 22;
}

} // namespace

LinuxProcessTable::LinuxProcessTable(QByteArray procRoot)
    : m_root(std::move(procRoot))
    , m_ticksPerSecond(::sysconf(_SC_CLK_TCK))
    , m_pageSize(::sysconf(_SC_PAGESIZE))
{
    if (m_ticksPerSecond <= 0)
        m_ticksPerSecond = 100;
    if (m_pageSize <= 0)
        m_pageSize = 4096;
}

QString LinuxProcessTable::imageNameFrom(const QByteArray &comm, const QByteArray &cmdline)
{
    const QString name = QString::fromUtf8(comm);
    if (comm.size() != 15)
        return name;
    const qsizetype end = cmdline.indexOf('\0');
    const QByteArray argv0 = end < 0 ? cmdline : cmdline.left(end);
    qsizetype cut = -1;
    for (qsizetype i = argv0.size() - 1; i >= 0; --i) {
        if (argv0[i] == '/' || argv0[i] == '\\') {
            cut = i;
            break;
        }
    }
    const QByteArray base = argv0.mid(cut + 1);
    if (base.size() > comm.size() && base.startsWith(comm))
        return QString::fromUtf8(base);
    return name;
}

QString LinuxProcessTable::accountName(quint32 uid)
{
    const auto it = m_accounts.constFind(uid);
    if (it != m_accounts.constEnd())
        return *it;
    QString name;
    passwd pw{};
    passwd *found = nullptr;
    std::vector<char> buffer(4096);
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) == 0 && found)
        name = QString::fromUtf8(found->pw_name);
    else
        name = QString::number(uid);
    m_accounts.insert(uid, name);
    return name;
}

std::vector<ProcessInfo> LinuxProcessTable::snapshot()
{
    std::lock_guard lock(m_mutex);
    std::vector<ProcessInfo> result;
    const int rootFd = ::open(m_root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        return result;
    DIR *dir = ::fdopendir(rootFd);
    if (!dir) {
        ::close(rootFd);
        return result;
    }
    const qint64 hundredNsPerTick = 10'000'000 / m_ticksPerSecond;
    while (dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (*name < '1' || *name > '9')
            continue;
        bool numeric = true;
        for (const char *p = name; *p; ++p)
            numeric = numeric && *p >= '0' && *p <= '9';
        if (!numeric)
            continue;
        const int pidFd = ::openat(rootFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (pidFd < 0)
            continue; // ended meanwhile
        struct stat st{};
        StatFields fields;
        if (::fstat(pidFd, &st) != 0 || !parseStat(readAt(pidFd, "stat", 1024), &fields)) {
            ::close(pidFd);
            continue;
        }
        ProcessInfo info;
        info.pid = QByteArray(name).toLongLong();
        info.ppid = fields.rest[1].toLongLong();
        info.zombie = fields.rest[0] == "Z" || fields.rest[0] == "X";
        info.kernelThread = (fields.rest[6].toULong() & kPfKthread) != 0;
        info.userTime = fields.rest[11].toLongLong() * hundredNsPerTick;
        info.kernelTime = fields.rest[12].toLongLong() * hundredNsPerTick;
        info.residentBytes = fields.rest[21].toULongLong() * static_cast<quint64>(m_pageSize);
        info.ownerUid = st.st_uid;
        info.ownerName = accountName(st.st_uid);
        info.imageName = fields.comm.size() == 15
            ? imageNameFrom(fields.comm, readAt(pidFd, "cmdline", 4096))
            : QString::fromUtf8(fields.comm);
        ::close(pidFd);
        result.push_back(std::move(info));
    }
    ::closedir(dir);
    std::sort(result.begin(), result.end(),
              [](const ProcessInfo &a, const ProcessInfo &b) { return a.pid < b.pid; });
    return result;
}

int LinuxProcessTable::processorCount()
{
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

SignalResult LinuxProcessControl::sendSignal(qint64 pid, int signal)
{
    SignalResult result;
    if (pid <= 0) {
        result.error = ESRCH;
        return result;
    }
    if (::kill(static_cast<pid_t>(pid), signal) == 0) {
        result.ok = true;
    } else {
        result.error = errno;
    }
    return result;
}

namespace native {
std::shared_ptr<ProcessTable> createProcessTable()
{
    return std::make_shared<LinuxProcessTable>();
}
std::shared_ptr<ProcessControl> createProcessControl()
{
    return std::make_shared<LinuxProcessControl>();
}
} // namespace native

} // namespace dozorix
