#include "platform/linux/LinuxProcessTable.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dozorix {
namespace {

constexpr unsigned long kPfKthread = 0x00200000; // PF_KTHREAD in /proc/<pid>/stat flags
constexpr quint64 kOwnerRecheck = 16;            // snapshots between two looks at a known process's owner

// Reads a small /proc file relative to an open directory into buffer; the
// number of bytes read, or -1 when it cannot be opened or read. stat is
// taken with one read: /proc hands the whole line (far below the buffer's
// 1 KiB) to the first read, and a second one only to see the end would cost
// a system call per process.
enum class Reads { One, UntilEnd };
qsizetype readInto(int dirFd, const char *name, char *buffer, qsizetype capacity, Reads reads)
{
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    qsizetype total = 0;
    while (total < capacity) {
        const ssize_t n = ::read(fd, buffer + total, static_cast<size_t>(capacity - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            total = -1; // ended between the open and the read: ESRCH
            break;
        }
        if (n == 0)
            break;
        total += n;
        if (reads == Reads::One)
            break;
    }
    ::close(fd);
    return total;
}

// The same into a byte array of at most limit bytes; empty on failure.
QByteArray readAt(int dirFd, const char *name, qsizetype limit)
{
    QByteArray data(limit, Qt::Uninitialized);
    const qsizetype n = readInto(dirFd, name, data.data(), limit, Reads::UntilEnd);
    data.truncate(std::max<qsizetype>(n, 0));
    return data;
}

// What the table takes of /proc/<pid>/stat (proc(5) fields 2, 3, 4, 9, 14,
// 15, 22 and 24). comm points into the text read.
struct StatLine {
    QByteArrayView comm;
    QByteArrayView state;
    quint64 ppid = 0;
    quint64 flags = 0;
    quint64 utime = 0;
    quint64 stime = 0;
    quint64 startTime = 0;
    quint64 rssPages = 0;
};

// A decimal field without sign; false for anything else or more than 19 digits.
bool decimal(QByteArrayView token, quint64 *value)
{
    if (token.isEmpty() || token.size() > 19)
        return false;
    quint64 v = 0;
    for (const char c : token) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<quint64>(c - '0');
    }
    *value = v;
    return true;
}

// The command name stands between the first '(' and the last ')': it may
// hold blanks and ')' itself, the fields after it never do. The fields
// after it are split on blanks; index 0 is the state (field 3).
bool parseStat(const char *data, qsizetype size, StatLine *out)
{
    const char *end = data + size;
    const char *open = static_cast<const char *>(std::memchr(data, '(', static_cast<size_t>(size)));
    if (!open)
        return false;
    const char *close = static_cast<const char *>(::memrchr(open, ')', static_cast<size_t>(end - open)));
    if (!close)
        return false;
    out->comm = QByteArrayView(open + 1, close - open - 1);
    const char *p = close + 1;
    const auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\t'; };
    for (int index = 0; index <= 21; ++index) {
        while (p < end && blank(*p))
            ++p;
        const char *start = p;
        while (p < end && !blank(*p))
            ++p;
        const QByteArrayView token(start, p - start);
        if (token.isEmpty())
            return false;
        bool ok = true;
        switch (index) {
        case 0: out->state = token; break;
        case 1: ok = decimal(token, &out->ppid); break;
        case 6: ok = decimal(token, &out->flags); break;
        case 11: ok = decimal(token, &out->utime); break;
        case 12: ok = decimal(token, &out->stime); break;
        case 19: ok = decimal(token, &out->startTime); break;
        case 21: ok = decimal(token, &out->rssPages); break;
        default: break;
        }
        if (!ok)
            return false;
    }
    return true;
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

LinuxProcessTable::~LinuxProcessTable()
{
    if (m_dir)
        ::closedir(m_dir); // closes m_rootFd with it
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
    QString name = QString::number(uid);
    passwd pw{};
    passwd *found = nullptr;
    std::vector<char> buffer(4096);
    for (;;) {
        const int error = ::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 4);
            continue;
        }
        if (error == 0 && found)
            name = QString::fromUtf8(found->pw_name);
        break;
    }
    m_accounts.insert(uid, name);
    return name;
}

bool LinuxProcessTable::openRoot()
{
    if (m_dir)
        return true;
    const int fd = ::open(m_root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    m_dir = ::fdopendir(fd);
    if (!m_dir) {
        ::close(fd);
        return false;
    }
    m_rootFd = fd;
    return true;
}

namespace {

void takeStat(const StatLine &s, qint64 hundredNsPerTick, quint64 pageSize, ProcessInfo *info)
{
    info->ppid = static_cast<qint64>(s.ppid);
    info->zombie = s.state == "Z" || s.state == "X";
    info->kernelThread = (s.flags & kPfKthread) != 0;
    info->userTime = static_cast<qint64>(s.utime) * hundredNsPerTick;
    info->kernelTime = static_cast<qint64>(s.stime) * hundredNsPerTick;
    info->residentBytes = s.rssPages * pageSize;
}

} // namespace

bool LinuxProcessTable::learn(const char *pidName, Known *known, ProcessInfo *info)
{
    // Through the process's own directory: the owner and the stat read there
    // belong to the same process even if the pid is reused meanwhile.
    const int pidFd = ::openat(m_rootFd, pidName, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (pidFd < 0)
        return false; // ended meanwhile
    struct stat st{};
    char buffer[1024];
    StatLine s;
    qsizetype n = -1;
    const bool ok = ::fstat(pidFd, &st) == 0 && (n = readInto(pidFd, "stat", buffer, sizeof buffer, Reads::One)) > 0
        && parseStat(buffer, n, &s);
    if (ok) {
        known->startTime = s.startTime;
        known->comm = s.comm.toByteArray();
        known->imageName = known->comm.size() == 15 ? imageNameFrom(known->comm, readAt(pidFd, "cmdline", 4096))
                                                    : QString::fromUtf8(known->comm);
        known->ownerUid = st.st_uid;
        known->ownerName = accountName(st.st_uid);
        takeStat(s, 10'000'000 / m_ticksPerSecond, static_cast<quint64>(m_pageSize), info);
    }
    ::close(pidFd);
    return ok;
}

std::vector<ProcessInfo> LinuxProcessTable::snapshot()
{
    std::lock_guard lock(m_mutex);
    std::vector<ProcessInfo> result;
    if (!openRoot())
        return result;
    ::rewinddir(m_dir);
    const quint64 now = ++m_snapshots;
    const qint64 hundredNsPerTick = 10'000'000 / m_ticksPerSecond;
    const auto pageSize = static_cast<quint64>(m_pageSize);
    result.reserve(static_cast<size_t>(m_known.size()) + 64);
    char path[32];
    char buffer[1024];
    while (const dirent *entry = ::readdir(m_dir)) {
        const char *name = entry->d_name;
        if (*name < '1' || *name > '9')
            continue;
        qint64 pid = 0;
        size_t length = 0;
        for (; name[length] >= '0' && name[length] <= '9' && length < 10; ++length)
            pid = pid * 10 + (name[length] - '0');
        if (name[length] != '\0')
            continue;

        ProcessInfo info;
        info.pid = pid;
        auto known = m_known.find(pid);
        if (known != m_known.end()) {
            // Known: only the times, the size and the state are new.
            std::memcpy(path, name, length);
            std::memcpy(path + length, "/stat", 6);
            const qsizetype n = readInto(m_rootFd, path, buffer, sizeof buffer, Reads::One);
            StatLine s;
            if (n <= 0 || !parseStat(buffer, n, &s))
                continue; // ended meanwhile, or unreadable
            if (s.startTime == known->startTime && s.comm == known->comm) {
                if ((static_cast<quint64>(pid) + now) % kOwnerRecheck == 0) {
                    struct stat st{};
                    if (::fstatat(m_rootFd, name, &st, 0) == 0 && st.st_uid != known->ownerUid) {
                        known->ownerUid = st.st_uid;
                        known->ownerName = accountName(st.st_uid);
                    }
                }
                known->seen = now;
                takeStat(s, hundredNsPerTick, pageSize, &info);
                info.imageName = known->imageName;
                info.ownerName = known->ownerName;
                info.ownerUid = known->ownerUid;
                result.push_back(std::move(info));
                continue;
            }
            // Another process under a reused pid, or another program run by it.
        }
        Known fresh;
        if (!learn(name, &fresh, &info))
            continue;
        fresh.seen = now;
        info.imageName = fresh.imageName;
        info.ownerName = fresh.ownerName;
        info.ownerUid = fresh.ownerUid;
        m_known.insert(pid, std::move(fresh));
        result.push_back(std::move(info));
    }
    // Processes gone are forgotten.
    m_known.removeIf([now](const auto &it) { return it.value().seen != now; });
    const auto byPid = [](const ProcessInfo &a, const ProcessInfo &b) { return a.pid < b.pid; };
    if (!std::is_sorted(result.begin(), result.end(), byPid))
        std::sort(result.begin(), result.end(), byPid);
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
