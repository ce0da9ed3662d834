#include "platform/linux/LinuxProcessTable.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace dozorix {
namespace {

constexpr unsigned long kPfKthread = 0x00200000; // PF_KTHREAD in /proc/<pid>/stat flags
constexpr quint64 kOwnerRecheck = 16;            // snapshots between two looks at a known process's owner
constexpr int kMostHeld = 65536;                 // stat files held open at most, whatever the limit

// The text of an open /proc file from its start, with one read: /proc makes
// the whole stat line (far below the 1 KiB buffer) for the first read, anew
// at each read from offset 0, and a second read only to see the end would
// cost a system call per process. The bytes read, or -1 (ESRCH once the
// process has ended).
qsizetype readFromStart(int fd, char *buffer, qsizetype capacity)
{
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, static_cast<size_t>(capacity), 0);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

int openAt(int dirFd, const char *name)
{
    return ::openat(dirFd, name, O_RDONLY | O_CLOEXEC);
}

// A small /proc file relative to an open directory, read to its end, at
// most limit bytes; empty on failure.
QByteArray readAt(int dirFd, const char *name, qsizetype limit)
{
    const int fd = openAt(dirFd, name);
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
    m_known.clear(); // closes the held stat files
    if (m_dir)
        ::closedir(m_dir); // and m_rootFd with it
}

LinuxProcessTable::HeldFile::HeldFile(int fd, int *count)
    : m_fd(fd)
    , m_count(count)
{
    ++*m_count;
}

LinuxProcessTable::HeldFile::HeldFile(HeldFile &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_count(std::exchange(other.m_count, nullptr))
{
}

LinuxProcessTable::HeldFile &LinuxProcessTable::HeldFile::operator=(HeldFile &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_count = std::exchange(other.m_count, nullptr);
    }
    return *this;
}

LinuxProcessTable::HeldFile::~HeldFile()
{
    close();
}

void LinuxProcessTable::HeldFile::close()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    --*m_count;
    m_fd = -1;
    m_count = nullptr;
}

void LinuxProcessTable::holdOrClose(int fd, Known *known)
{
    if (mayHold())
        known->stat = HeldFile(fd, &m_held);
    else
        ::close(fd);
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
    const int statFd = ::fstat(pidFd, &st) == 0 ? openAt(pidFd, "stat") : -1;
    char buffer[1024];
    StatLine s;
    const qsizetype n = statFd < 0 ? -1 : readFromStart(statFd, buffer, sizeof buffer);
    const bool ok = n > 0 && parseStat(buffer, n, &s);
    if (ok) {
        known->startTime = s.startTime;
        known->comm = s.comm.toByteArray();
        known->imageName = QString::fromUtf8(known->comm);
        if (known->comm.size() == 15) {
            const QByteArray cmdline = readAt(pidFd, "cmdline", 4096);
            // A kernel thread or an ended process has none, ever.
            known->commandLinePending = cmdline.isEmpty() && (s.flags & kPfKthread) == 0 && s.state != "Z"
                                        && s.state != "X";
            known->imageName = imageNameFrom(known->comm, cmdline);
        }
        known->ownerUid = st.st_uid;
        known->ownerName = accountName(st.st_uid);
        takeStat(s, 10'000'000 / m_ticksPerSecond, static_cast<quint64>(m_pageSize), info);
        holdOrClose(statFd, known);
    } else if (statFd >= 0) {
        ::close(statFd);
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
    rlimit files{};
    m_holdLimit = ::getrlimit(RLIMIT_NOFILE, &files) != 0 ? 0
        : files.rlim_cur == RLIM_INFINITY               ? kMostHeld
                                                        : static_cast<int>(std::min<rlim_t>(files.rlim_cur / 4, kMostHeld));
    const quint64 now = ++m_snapshots;
    const qint64 hundredNsPerTick = 10'000'000 / m_ticksPerSecond;
    const auto pageSize = static_cast<quint64>(m_pageSize);
    result.reserve(m_known.size() + 64);
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
        const auto it = m_known.find(pid);
        if (it != m_known.end()) {
            // Known: only the times, the size and the state are new.
            Known &known = it->second;
            qsizetype n = -1;
            if (known.stat.fd() >= 0) {
                n = readFromStart(known.stat.fd(), buffer, sizeof buffer);
            } else {
                std::memcpy(path, name, length);
                std::memcpy(path + length, "/stat", 6);
                const int fd = openAt(m_rootFd, path);
                if (fd < 0)
                    continue; // ended meanwhile
                n = readFromStart(fd, buffer, sizeof buffer);
                holdOrClose(fd, &known);
            }
            StatLine s;
            if (n > 0 && parseStat(buffer, n, &s) && s.startTime == known.startTime && s.comm == known.comm) {
                if ((static_cast<quint64>(pid) + now) % kOwnerRecheck == 0) {
                    struct stat st{};
                    if (::fstatat(m_rootFd, name, &st, 0) == 0 && st.st_uid != known.ownerUid) {
                        known.ownerUid = st.st_uid;
                        known.ownerName = accountName(st.st_uid);
                    }
                }
                if (known.commandLinePending) {
                    std::memcpy(path, name, length);
                    std::memcpy(path + length, "/cmdline", 9);
                    const QByteArray cmdline = readAt(m_rootFd, path, 4096);
                    known.commandLinePending = cmdline.isEmpty() && s.state != "Z" && s.state != "X";
                    known.imageName = imageNameFrom(known.comm, cmdline);
                }
                known.seen = now;
                takeStat(s, hundredNsPerTick, pageSize, &info);
                info.imageName = known.imageName;
                info.ownerName = known.ownerName;
                info.ownerUid = known.ownerUid;
                result.push_back(std::move(info));
                continue;
            }
            // Ended (a held file of a process that is gone answers ESRCH, and
            // the pid listed now may be another's), another process under a
            // reused pid, another program run by it, or unreadable: read
            // afresh.
            m_known.erase(it);
        }
        Known fresh;
        if (!learn(name, &fresh, &info))
            continue; // ended meanwhile, or its stat cannot be parsed
        fresh.seen = now;
        info.imageName = fresh.imageName;
        info.ownerName = fresh.ownerName;
        info.ownerUid = fresh.ownerUid;
        m_known.insert_or_assign(pid, std::move(fresh));
        result.push_back(std::move(info));
    }
    // Processes gone are forgotten, and their held files closed.
    std::erase_if(m_known, [now](const auto &item) { return item.second.seen != now; });
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
