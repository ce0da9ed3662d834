// Logon sessions of this host: systemd-logind over D-Bus, else utmp.

#include "platform/linux/LinuxSessions.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>

#include <dirent.h>
#include <fcntl.h>
#include <paths.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmpx.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace dozorix {
namespace {

const QString kLogindService = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kManagerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSessionInterface = QStringLiteral("org.freedesktop.login1.Session");
constexpr int kCallTimeoutMs = 10000;

// A private connection to the system bus for the length of one operation,
// so that each operation sees the bus address of its moment.
class BusConnection
{
public:
    explicit BusConnection(const QString &address)
        : m_name(QStringLiteral("dozorix-sessions-%1").arg(s_counter.fetch_add(1)))
        , m_connection(QDBusConnection::connectToBus(address, m_name))
    {
    }
    ~BusConnection() { QDBusConnection::disconnectFromBus(m_name); }
    BusConnection(const BusConnection &) = delete;
    BusConnection &operator=(const BusConnection &) = delete;

    QDBusConnection &get() { return m_connection; }

    bool logindAvailable()
    {
        if (!m_connection.isConnected())
            return false;
        QDBusConnectionInterface *bus = m_connection.interface();
        if (!bus)
            return false;
        if (bus->isServiceRegistered(kLogindService).value())
            return true;
        const QDBusReply<QStringList> activatable = bus->activatableServiceNames();
        return activatable.isValid() && activatable.value().contains(kLogindService);
    }

private:
    static inline std::atomic<int> s_counter{0};
    QString m_name;
    QDBusConnection m_connection;
};

struct LogindEntry {
    QString id;
    quint32 uid = 0;
    QString user;
    QString seat;
    QDBusObjectPath path;
};

// What the listing learnt of a session beyond SessionInfo, for deciding what
// serves it and its state.
struct SessionFacts {
    bool fromUtmp = false;
    QString logindId;
    QString service; // logind's Service (the PAM service: "sshd", "xrdp-sesman")
    QString display; // logind's Display, or a utmp line ":10"
    QString scope;   // logind's scope unit ("session-5.scope")
    QString seat;
    QString state;   // logind's State ("active", "online", "closing")
    QString line;    // utmp: the record's line
    QString host;    // utmp: the record's host
    bool idleHintKnown = false;
    bool idleHint = false;
};

// ListSessions: a(susso).
bool listLogindSessions(QDBusConnection &bus, std::vector<LogindEntry> *out)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kLogindService, kLogindPath, kManagerInterface,
                                                       QStringLiteral("ListSessions"));
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    const QDBusArgument arg = reply.arguments().at(0).value<QDBusArgument>();
    if (arg.currentSignature() != QLatin1String("a(susso)"))
        return false;
    arg.beginArray();
    while (!arg.atEnd()) {
        LogindEntry e;
        arg.beginStructure();
        arg >> e.id >> e.uid >> e.user >> e.seat >> e.path;
        arg.endStructure();
        out->push_back(e);
    }
    arg.endArray();
    return true;
}

QVariantMap sessionProperties(QDBusConnection &bus, const QString &path)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kLogindService, path,
                                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("GetAll"));
    call << kSessionInterface;
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return qdbus_cast<QVariantMap>(reply.arguments().at(0));
}

// A user-controlled text as one field: no blanks, no control characters.
QString oneField(QString text)
{
    for (QChar &c : text) {
        if (c.isSpace() || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = QLatin1Char('_');
    }
    return text;
}

// A session's name is never empty, since scripts split the table into
// fields: its terminal, else the remote host, else its seat ("seat0"), else
// logind's ID ("c3"). The session tools take each back.
QString logindSessionName(const QString &tty, const QString &remoteHost, const QString &seat, const QString &id)
{
    for (const QString *candidate : {&tty, &remoteHost, &seat}) {
        if (!candidate->isEmpty())
            return oneField(*candidate);
    }
    return oneField(id);
}

// For each session: whether its name is its seat's, and its logind ID.
struct NamedBySeat {
    bool bySeat = false;
    QString id;
};

// A seat names one session only: where several sessions would be named
// after the same seat (a greeter beside the user's desktop on seat0), each
// of them is named by its ID, so that every name leads back to one session.
void nameSharedSeatsById(std::vector<SessionInfo> &list, const std::vector<NamedBySeat> &named)
{
    QHash<QString, int> bySeat;
    for (size_t i = 0; i < list.size(); ++i) {
        if (named[i].bySeat)
            ++bySeat[list[i].name];
    }
    for (size_t i = 0; i < list.size(); ++i) {
        if (named[i].bySeat && bySeat.value(list[i].name) > 1)
            list[i].name = oneField(named[i].id);
    }
}

SessionInfo fromLogind(const LogindEntry &e, const QVariantMap &p, SessionFacts *facts)
{
    facts->logindId = e.id;
    facts->service = p.value(QStringLiteral("Service")).toString();
    facts->display = p.value(QStringLiteral("Display")).toString();
    facts->scope = p.value(QStringLiteral("Scope")).toString();
    facts->seat = e.seat;
    facts->state = p.value(QStringLiteral("State")).toString();
    facts->idleHintKnown = p.contains(QStringLiteral("IdleHint"));
    facts->idleHint = p.value(QStringLiteral("IdleHint")).toBool();
    SessionInfo s;
    s.id = LinuxSessionManager::numberForLogindId(e.id);
    s.user = oneField(e.user.isEmpty() ? p.value(QStringLiteral("Name")).toString() : e.user);
    s.uid = e.uid;
    const QString tty = p.value(QStringLiteral("TTY")).toString();
    const QString remoteHost = p.value(QStringLiteral("RemoteHost")).toString();
    s.name = logindSessionName(tty, remoteHost, e.seat, e.id);
    const QString state = p.value(QStringLiteral("State")).toString();
    s.active = p.value(QStringLiteral("Active")).toBool() || state == QLatin1String("active");
    const qulonglong nowUsec = static_cast<qulonglong>(QDateTime::currentMSecsSinceEpoch()) * 1000ULL;
    if (p.contains(QStringLiteral("IdleHint"))) {
        s.idleSeconds = 0;
        const qulonglong since = p.value(QStringLiteral("IdleSinceHint")).toULongLong();
        if (p.value(QStringLiteral("IdleHint")).toBool() && since > 0 && since < nowUsec)
            s.idleSeconds = static_cast<qint64>((nowUsec - since) / 1000000ULL);
    }
    const qulonglong timestamp = p.value(QStringLiteral("Timestamp")).toULongLong();
    if (timestamp > 0)
        s.logon = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(timestamp / 1000ULL), Qt::UTC);
    if (!tty.isEmpty())
        s.terminals << QStringLiteral("/dev/") + tty;
    s.leader = static_cast<qint64>(p.value(QStringLiteral("Leader")).toUInt());
    return s;
}

// ---------------------------------------------------------------------------
// logind's state files: one per session, <directory>/<ID>, lines KEY=VALUE
// as logind writes them (values with C escapes, or quoted), read the way
// sd-login reads them. Beside them live "<ID>.ref" FIFOs, never opened.

// A file of at most maxBytes, read without following a link or waiting on a
// FIFO; false when it is not a regular file.
bool readSmallFile(int dirFd, const char *name, QByteArray *out, qsizetype maxBytes)
{
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            out->append(buffer, n);
            if (out->size() > maxBytes) {
                ok = false;
                break;
            }
        }
    }
    ::close(fd);
    return ok;
}

int octalDigit(char c) { return c >= '0' && c <= '7' ? c - '0' : -1; }

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One value: quotes taken off, C escapes ("\\", "\n", "\320", "\x41")
// turned back into their bytes.
QByteArray stateValue(const char *begin, const char *end)
{
    QByteArray out;
    out.reserve(end - begin);
    char quote = 0;
    if (end - begin >= 2 && (*begin == '"' || *begin == '\'') && end[-1] == *begin) {
        quote = *begin;
        ++begin;
        --end;
    }
    for (const char *p = begin; p < end; ++p) {
        if (*p != '\\' || quote == '\'' || p + 1 >= end) {
            out.append(*p);
            continue;
        }
        const char c = *++p;
        switch (c) {
        case 'a': out.append('\a'); break;
        case 'b': out.append('\b'); break;
        case 'f': out.append('\f'); break;
        case 'n': out.append('\n'); break;
        case 'r': out.append('\r'); break;
        case 't': out.append('\t'); break;
        case 'v': out.append('\v'); break;
        case 'x':
            if (p + 2 < end && hexDigit(p[1]) >= 0 && hexDigit(p[2]) >= 0) {
                out.append(static_cast<char>(hexDigit(p[1]) * 16 + hexDigit(p[2])));
                p += 2;
            } else {
                out.append(c);
            }
            break;
        default:
            if (p + 2 < end && octalDigit(c) >= 0 && octalDigit(p[1]) >= 0 && octalDigit(p[2]) >= 0) {
                out.append(static_cast<char>(octalDigit(c) * 64 + octalDigit(p[1]) * 8 + octalDigit(p[2])));
                p += 2;
            } else {
                out.append(c); // "\\", "\"", "\'" and anything else: the character itself
            }
        }
    }
    return out;
}

struct StateFile {
    QByteArray uid, user, active, state, tty, remoteHost, seat, leader, realtime, service, display, scope;
};

void parseStateFile(const QByteArray &content, StateFile *out)
{
    const struct {
        const char *key;
        QByteArray StateFile::*field;
    } keys[] = {{"UID", &StateFile::uid},       {"USER", &StateFile::user},
                {"ACTIVE", &StateFile::active}, {"STATE", &StateFile::state},
                {"TTY", &StateFile::tty},       {"REMOTE_HOST", &StateFile::remoteHost},
                {"SEAT", &StateFile::seat},     {"LEADER", &StateFile::leader},
                {"REALTIME", &StateFile::realtime}, {"SERVICE", &StateFile::service},
                {"DISPLAY", &StateFile::display}, {"SCOPE", &StateFile::scope}};
    const char *p = content.constData();
    const char *const end = p + content.size();
    while (p < end) {
        const char *lineEnd = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!lineEnd)
            lineEnd = end;
        const char *eq = static_cast<const char *>(std::memchr(p, '=', static_cast<size_t>(lineEnd - p)));
        if (eq && *p != '#') {
            const size_t keyLength = static_cast<size_t>(eq - p);
            for (const auto &k : keys) {
                if (std::strlen(k.key) == keyLength && std::memcmp(k.key, p, keyLength) == 0) {
                    out->*k.field = stateValue(eq + 1, lineEnd);
                    break;
                }
            }
        }
        p = lineEnd + 1;
    }
}

// A folder kept open for the length of one reading, so that each look-up
// below it walks the rest of the path only.
class OpenFolder
{
public:
    explicit OpenFolder(const char *path) : m_fd(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~OpenFolder()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    OpenFolder(const OpenFolder &) = delete;
    OpenFolder &operator=(const OpenFolder &) = delete;
    // The descriptor to look up a name in, with the name to use.
    int fd() const { return m_fd >= 0 ? m_fd : AT_FDCWD; }

private:
    int m_fd;
};

// Idle time as `w` tells it: since the terminal ("pts/3") was last read from.
qint64 terminalIdleSeconds(const OpenFolder &dev, const QString &line, qint64 now, bool *isTerminal)
{
    struct stat st {};
    const QByteArray name = (dev.fd() == AT_FDCWD ? QByteArray("/dev/") : QByteArray()) + QFile::encodeName(line);
    *isTerminal = ::fstatat(dev.fd(), name.constData(), &st, 0) == 0 && S_ISCHR(st.st_mode);
    return *isTerminal ? std::max<qint64>(0, now - st.st_atim.tv_sec) : -1;
}

// The sessions of logind's state files; false when the folder cannot be read.
bool readLogindStateFiles(const QString &directory, std::vector<SessionInfo> *out, std::vector<NamedBySeat> *named,
                          std::vector<SessionFacts> *facts)
{
    DIR *dir = ::opendir(QFile::encodeName(directory).constData());
    if (!dir)
        return false;
    const int dirFd = ::dirfd(dir);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const OpenFolder dev("/dev");
    QByteArray content;
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        // IDs are letters and digits; "<ID>.ref" and dot files are not sessions.
        if (name[0] == '\0' || std::strchr(name, '.') || (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN))
            continue;
        content.clear();
        if (!readSmallFile(dirFd, name, &content, 64 * 1024))
            continue;
        StateFile f;
        parseStateFile(content, &f);
        bool uidOk = false;
        const quint32 uid = f.uid.toUInt(&uidOk);
        if (!uidOk)
            continue; // half written or not logind's
        const QString id = QString::fromUtf8(name);
        const QString tty = QString::fromUtf8(f.tty);
        SessionInfo s;
        s.id = LinuxSessionManager::numberForLogindId(id);
        s.uid = uid;
        s.user = oneField(QString::fromUtf8(f.user));
        const QString remoteHost = QString::fromUtf8(f.remoteHost);
        s.name = logindSessionName(tty, remoteHost, QString::fromUtf8(f.seat), id);
        s.active = f.active == "1" || f.state == "active";
        const qulonglong realtime = f.realtime.toULongLong();
        if (realtime > 0)
            s.logon = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(realtime / 1000ULL), Qt::UTC);
        if (!tty.isEmpty() && !tty.contains(QLatin1String(".."))) {
            bool isTerminal = false;
            s.idleSeconds = terminalIdleSeconds(dev, tty, now, &isTerminal);
            s.terminals << QStringLiteral("/dev/") + tty;
        }
        s.leader = f.leader.toLongLong();
        named->push_back({tty.isEmpty() && remoteHost.isEmpty() && !f.seat.isEmpty(), id});
        out->push_back(std::move(s));
        SessionFacts fact;
        fact.logindId = id;
        fact.service = QString::fromUtf8(f.service);
        fact.display = QString::fromUtf8(f.display);
        fact.scope = QString::fromUtf8(f.scope);
        fact.seat = QString::fromUtf8(f.seat);
        fact.state = QString::fromUtf8(f.state);
        facts->push_back(std::move(fact));
    }
    ::closedir(dir);
    return true;
}

// ---------------------------------------------------------------------------
// utmp

struct ProcStat {
    char state = '?';
    qint64 ppid = 0;
    qint64 session = 0;
    qint64 ttyNr = 0;
    QByteArray comm; // the program's name as the kernel keeps it (15 bytes at most)
};

// /proc/<pid>/stat.
bool readProcStat(qint64 pid, ProcStat *out)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%lld/stat", static_cast<long long>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char line[4096];
    size_t length = 0;
    while (length < sizeof line - 1) {
        const ssize_t n = ::read(fd, line + length, sizeof line - 1 - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        length += static_cast<size_t>(n);
    }
    ::close(fd);
    line[length] = '\0';
    const char *close = std::strrchr(line, ')');
    if (!close || close[1] != ' ' || close[2] == '\0')
        return false;
    if (const char *open = std::strchr(line, '('); open && open < close)
        out->comm = QByteArray(open + 1, close - open - 1);
    // state ppid pgrp session tty_nr ...
    const char *p = close + 2;
    out->state = *p;
    long long fields[4] = {};
    for (long long &field : fields) {
        p = std::strchr(p, ' ');
        if (!p)
            return false;
        char *next = nullptr;
        field = std::strtoll(++p, &next, 10);
        p = next;
    }
    out->ppid = fields[0];
    out->session = fields[2];
    out->ttyNr = fields[3];
    return true;
}

QString fieldText(const char *field, size_t size)
{
    return QString::fromLocal8Bit(field, static_cast<qsizetype>(strnlen(field, size)));
}

SessionInfo fromUtmp(const utmpx &u, quint32 uid, const OpenFolder &dev, qint64 now, SessionFacts *fact)
{
    SessionInfo s;
    s.id = u.ut_pid;
    s.leader = u.ut_pid;
    s.uid = uid;
    s.user = oneField(fieldText(u.ut_user, sizeof u.ut_user));
    const QString line = fieldText(u.ut_line, sizeof u.ut_line);
    const QString host = fieldText(u.ut_host, sizeof u.ut_host);
    s.name = oneField(!line.isEmpty() ? line : host);
    fact->fromUtmp = true;
    fact->line = line;
    fact->host = host;
    if (line.startsWith(QLatin1Char(':')))
        fact->display = line;
    if (u.ut_tv.tv_sec > 0)
        s.logon = QDateTime::fromSecsSinceEpoch(u.ut_tv.tv_sec, Qt::UTC);
    if (!line.isEmpty() && !line.contains(QLatin1String(".."))) {
        bool isTerminal = false;
        const qint64 idle = terminalIdleSeconds(dev, line, now, &isTerminal);
        if (isTerminal) {
            s.active = true;
            s.terminals << QStringLiteral("/dev/") + line;
            s.idleSeconds = idle;
        }
    }
    return s;
}

// The records as the C library keeps them (struct utmpx one after another),
// read in one go under the shared lock the C library takes for each record;
// a writer holding the lock is not waited for. USER_PROCESS records whose
// process lives.
std::vector<SessionInfo> readUtmp(const QString &path, std::vector<SessionFacts> *facts = nullptr)
{
    std::vector<SessionInfo> out;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return out;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return out;
    }
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    const bool locked = ::fcntl(fd, F_SETLK, &lock) == 0;
    QByteArray data;
    data.reserve(static_cast<qsizetype>(std::min<off_t>(st.st_size, 64 << 20)) + 1);
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || data.size() > (256 << 20))
            break;
        data.append(buffer, n);
    }
    if (locked) {
        lock.l_type = F_UNLCK;
        ::fcntl(fd, F_SETLK, &lock);
    }
    ::close(fd);

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const OpenFolder proc("/proc");
    const OpenFolder dev("/dev");
    utmpx u;
    for (qsizetype at = 0; at + static_cast<qsizetype>(sizeof u) <= data.size(); at += sizeof u) {
        std::memcpy(&u, data.constData() + at, sizeof u);
        if (u.ut_type != USER_PROCESS || u.ut_pid <= 0)
            continue;
        // The process's folder tells that it runs and whose it is, in one
        // look-up. (One that has ended but is not yet collected by its parent
        // still counts, as `who` counts it, until its parent writes the
        // record's end.)
        char name[24];
        std::snprintf(name, sizeof name, proc.fd() == AT_FDCWD ? "/proc/%d" : "%d", static_cast<int>(u.ut_pid));
        struct stat folder {};
        if (::fstatat(proc.fd(), name, &folder, 0) != 0)
            continue;
        SessionFacts fact;
        out.push_back(fromUtmp(u, folder.st_uid, dev, now, &fact));
        if (facts)
            facts->push_back(std::move(fact));
    }
    return out;
}


// ---------------------------------------------------------------------------
// What serves a session, and its state (see LinuxSessions.h)

constexpr int kToolTimeoutMs = 30000;

// The processes of this moment, as far as the decisions below need them.
struct ProcessEntry {
    qint64 ppid = 0;
    qint64 session = 0;
    QByteArray comm;
};
using ProcessMap = QHash<qint64, ProcessEntry>;

ProcessMap scanProcesses()
{
    ProcessMap map;
    DIR *dir = ::opendir("/proc");
    if (!dir)
        return map;
    while (const dirent *entry = ::readdir(dir)) {
        char *end = nullptr;
        const long long pid = std::strtoll(entry->d_name, &end, 10);
        if (pid <= 0 || !end || *end != '\0')
            continue;
        ProcStat st;
        if (readProcStat(pid, &st) && st.state != 'Z')
            map.insert(pid, {st.ppid, st.session, st.comm});
    }
    ::closedir(dir);
    return map;
}

// True when pid is the ancestor itself or runs below it.
bool runsUnder(const ProcessMap &processes, qint64 pid, qint64 ancestor)
{
    for (int depth = 0; pid > 0 && depth < 512; ++depth) {
        if (pid == ancestor)
            return true;
        const auto it = processes.constFind(pid);
        if (it == processes.constEnd() || it->ppid == pid)
            return false;
        pid = it->ppid;
    }
    return false;
}

// True when pid is a program of that name or runs below one.
bool runsUnderProgram(const ProcessMap &processes, qint64 pid, const QByteArray &comm)
{
    for (int depth = 0; pid > 1 && depth < 512; ++depth) {
        const auto it = processes.constFind(pid);
        if (it == processes.constEnd())
            return false;
        if (it->comm == comm)
            return true;
        if (it->ppid == pid)
            return false;
        pid = it->ppid;
    }
    return false;
}

// True when the process lives in the control group of that logind scope.
bool inScope(qint64 pid, const QString &scope)
{
    QFile file(QStringLiteral("/proc/%1/cgroup").arg(pid));
    if (scope.isEmpty() || !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray tail = '/' + scope.toUtf8();
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.endsWith(tail))
            return true;
    }
    return false;
}

// A program found in PATH, else in the system's program folders (a console
// started without sbin in its PATH still finds x2golistsessions_root).
QString findTool(const QString &name)
{
    QString found = QStandardPaths::findExecutable(name);
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                                                      QStringLiteral("/sbin"), QStringLiteral("/bin")});
    return found;
}

struct ToolRun {
    int exitCode = -1; // -1: not started, or ended by its time limit
    QByteArray output;
    QByteArray errors;
};

// Runs a program with no input and waits for it at most timeoutMs; one that
// takes longer is killed.
ToolRun runTool(const QStringList &argv, int timeoutMs)
{
    ToolRun run;
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(argv.front(), argv.mid(1));
    if (!process.waitForStarted(5000))
        return run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        run.errors = process.readAllStandardError();
        return run;
    }
    run.output = process.readAllStandardOutput();
    run.errors = process.readAllStandardError();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

// An X2Go session as X2Go's list gives it.
struct X2GoSession {
    QString id;
    char state = '?'; // R running, S suspended
    QString user;
};

// Session IDs as x2gostartagent makes them, user names as useradd takes
// them: anything else is no X2Go line and goes into no command line.
bool plainName(const QString &text, bool allowAt)
{
    if (text.isEmpty() || text.size() > 256 || text.front() == QLatin1Char('-'))
        return false;
    for (const QChar c : text) {
        const char l = c.toLatin1();
        if (!((l >= 'a' && l <= 'z') || (l >= 'A' && l <= 'Z') || (l >= '0' && l <= '9') || l == '.' || l == '_'
              || l == '-' || (allowAt && l == '@')))
            return false;
    }
    return true;
}

// The running and suspended X2Go sessions by their agent's process ID:
// x2golistsessions_root as root, else x2golistsessions (our own sessions).
QHash<qint64, X2GoSession> listX2GoSessions()
{
    QHash<qint64, X2GoSession> sessions;
    const QString tool = findTool(::geteuid() == 0 ? QStringLiteral("x2golistsessions_root")
                                                   : QStringLiteral("x2golistsessions"));
    if (tool.isEmpty())
        return sessions;
    const ToolRun run = runTool({tool}, kToolTimeoutMs);
    if (run.exitCode != 0)
        return sessions;
    for (const QByteArray &line : run.output.split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split('|');
        if (fields.size() < 12 || fields.at(4).size() != 1)
            continue;
        X2GoSession s;
        s.state = fields.at(4).at(0);
        s.id = QString::fromUtf8(fields.at(1));
        s.user = QString::fromUtf8(fields.at(11));
        bool numeric = false;
        const qint64 agent = fields.at(0).toLongLong(&numeric);
        if (!numeric || agent <= 1 || (s.state != 'R' && s.state != 'S') || !plainName(s.id, true)
            || !plainName(s.user, false))
            continue;
        sessions.insert(agent, s);
    }
    return sessions;
}

// The display number of ":10" or ":10.0"; -1 for anything else.
int displayNumber(const QString &display)
{
    if (!display.startsWith(QLatin1Char(':')))
        return -1;
    bool numeric = false;
    const int n = display.mid(1).section(QLatin1Char('.'), 0, 0).toInt(&numeric);
    return numeric && n >= 0 ? n : -1;
}

// Whether an RDP client is attached to the xorgxrdp display: 1 yes, 0 no,
// -1 unknown (no such socket listens: not xorgxrdp). The listening socket
// and every connection it accepted carry its path in /proc/net/unix; an
// accepted one is in state 03 (connected).
int xrdpClientAttached(const QByteArray &unixSockets, const QString &socketDirectory, int display)
{
    if (display < 0)
        return -1;
    const QByteArray tail = ' ' + QFile::encodeName(socketDirectory + QStringLiteral("/xrdp_display_")
                                                    + QString::number(display));
    bool seen = false;
    for (const QByteArray &line : unixSockets.split('\n')) {
        if (!line.endsWith(tail))
            continue;
        // Num RefCount Protocol Flags Type St Inode Path
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 8)
            continue;
        seen = true;
        if (fields.at(5) == "03")
            return 1;
    }
    return seen ? 0 : -1;
}

QByteArray readUnixSockets()
{
    QFile file(QStringLiteral("/proc/net/unix"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(64 << 20);
}

// What serves the session, before X2Go's agents are looked for.
SessionServer baseServer(const SessionInfo &s, const SessionFacts &f, const ProcessMap &processes)
{
    const QByteArray sesman = QByteArrayLiteral("xrdp-sesman");
    if (f.fromUtmp) {
        if (f.line.startsWith(QLatin1Char(':')))
            return runsUnderProgram(processes, s.leader, sesman) ? SessionServer::Xrdp : SessionServer::Console;
        if (f.line.startsWith(QLatin1String("tty")))
            return SessionServer::Console;
        if (f.line.startsWith(QLatin1String("pts/")) && !f.host.isEmpty())
            return SessionServer::Ssh;
        return SessionServer::Unknown;
    }
    if (f.service == QLatin1String("xrdp-sesman"))
        return SessionServer::Xrdp;
    if (!f.display.isEmpty() && s.leader > 0 && runsUnderProgram(processes, s.leader, sesman))
        return SessionServer::Xrdp;
    if (f.service == QLatin1String("sshd"))
        return SessionServer::Ssh;
    const bool textConsole = std::any_of(s.terminals.begin(), s.terminals.end(), [](const QString &t) {
        return t.startsWith(QLatin1String("/dev/tty"));
    });
    if (!f.seat.isEmpty() || textConsole)
        return SessionServer::Console;
    return SessionServer::Unknown;
}

// How closely the X2Go agent belongs to the session (see LinuxSessions.h):
// 0 in its logind scope, 1 the leader or below it, 2 in the leader's process
// session; -1 not at all.
int agentInSession(qint64 agent, const SessionInfo &s, const SessionFacts &f, const ProcessMap &processes)
{
    if (!f.scope.isEmpty() && inScope(agent, f.scope))
        return 0;
    if (s.leader <= 1)
        return -1;
    if (runsUnder(processes, agent, s.leader))
        return 1;
    const auto leader = processes.constFind(s.leader);
    const auto process = processes.constFind(agent);
    return leader != processes.constEnd() && process != processes.constEnd() && leader->session > 1
                   && process->session == leader->session
               ? 2
               : -1;
}

// Decides each session's server and state (see LinuxSessions.h).
void decideServersAndStates(std::vector<SessionInfo> &list, const std::vector<SessionFacts> &facts,
                            const QString &xrdpSocketDirectory)
{
    const ProcessMap processes = scanProcesses();
    QList<qint64> agents;
    for (auto it = processes.constBegin(); it != processes.constEnd(); ++it) {
        if (it->comm == "x2goagent")
            agents.append(it.key());
    }
    std::sort(agents.begin(), agents.end());
    const QHash<qint64, X2GoSession> x2go = agents.isEmpty() ? QHash<qint64, X2GoSession>() : listX2GoSessions();
    QByteArray unixSockets;
    bool unixSocketsRead = false;

    for (size_t i = 0; i < list.size() && i < facts.size(); ++i) {
        SessionInfo &s = list[i];
        const SessionFacts &f = facts[i];
        s.server = baseServer(s, f, processes);
        if (s.server == SessionServer::Xrdp)
            s.serverSessionId = f.display;

        int known = -1; // the server's word on the state: 1 in use, 0 disconnected
        // The agent that belongs to the session most closely; among equals,
        // one X2Go lists (another session's agent may share a process
        // session with this one's leader).
        qint64 chosen = 0;
        int closest = 3;
        for (const qint64 agent : agents) {
            const int rank = agentInSession(agent, s, f, processes);
            if (rank < 0)
                continue;
            if (rank < closest || (rank == closest && !x2go.contains(chosen) && x2go.contains(agent))) {
                chosen = agent;
                closest = rank;
            }
        }
        if (chosen > 0) {
            s.server = SessionServer::X2Go;
            s.serverSessionId.clear();
            const auto found = x2go.constFind(chosen);
            if (found != x2go.constEnd()) {
                s.serverSessionId = found->id;
                known = found->state == 'R' ? 1 : 0;
            }
        }
        if (s.server == SessionServer::Xrdp) {
            if (!unixSocketsRead) {
                unixSockets = readUnixSockets();
                unixSocketsRead = true;
            }
            known = xrdpClientAttached(unixSockets, xrdpSocketDirectory, displayNumber(f.display));
        }

        if (known >= 0)
            s.active = known == 1;
        else if (!f.fromUtmp && f.seat.isEmpty())
            s.active = f.state != QLatin1String("closing") && !(f.idleHintKnown && f.idleHint);
        else if (f.fromUtmp && f.line.startsWith(QLatin1Char(':')))
            s.active = true; // a display has no terminal device; nothing says it was left
    }
}

// logind's idle hints of the seatless sessions read from the state files
// (which do not hold them): one ListSessions, then the Gets sent together.
void readIdleHints(QDBusConnection &bus, std::vector<SessionFacts> &facts)
{
    std::vector<LogindEntry> entries;
    if (!listLogindSessions(bus, &entries))
        return;
    QHash<QString, QString> paths;
    for (const LogindEntry &e : entries)
        paths.insert(e.id, e.path.path());
    std::vector<std::pair<size_t, QDBusPendingCall>> pending;
    for (size_t i = 0; i < facts.size(); ++i) {
        if (!facts[i].seat.isEmpty() || !paths.contains(facts[i].logindId))
            continue;
        QDBusMessage call = QDBusMessage::createMethodCall(kLogindService, paths.value(facts[i].logindId),
                                                           QStringLiteral("org.freedesktop.DBus.Properties"),
                                                           QStringLiteral("Get"));
        call << kSessionInterface << QStringLiteral("IdleHint");
        pending.emplace_back(i, bus.asyncCall(call, kCallTimeoutMs));
    }
    for (auto &[index, call] : pending) {
        call.waitForFinished();
        const QDBusMessage reply = call.reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            continue;
        facts[index].idleHintKnown = true;
        facts[index].idleHint = reply.arguments().at(0).value<QDBusVariant>().variant().toBool();
    }
}

// Sorts the sessions by ID, their facts along.
void sortWithFacts(std::vector<SessionInfo> &list, std::vector<SessionFacts> &facts)
{
    std::vector<size_t> order(list.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&list](size_t a, size_t b) { return list[a].id < list[b].id; });
    std::vector<SessionInfo> sortedList;
    std::vector<SessionFacts> sortedFacts;
    sortedList.reserve(list.size());
    sortedFacts.reserve(list.size());
    for (const size_t i : order) {
        sortedList.push_back(std::move(list[i]));
        sortedFacts.push_back(i < facts.size() ? std::move(facts[i]) : SessionFacts{});
    }
    list = std::move(sortedList);
    facts = std::move(sortedFacts);
}

} // namespace

LinuxSessionManager::LinuxSessionManager() : LinuxSessionManager(Options{}) {}

LinuxSessionManager::LinuxSessionManager(Options options) : m_options(std::move(options)) {}

QString LinuxSessionManager::busAddress() const
{
    if (!m_options.systemBusAddress.isEmpty())
        return m_options.systemBusAddress;
    const QString fromEnvironment = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QStringLiteral("unix:path=/run/dbus/system_bus_socket");
}

QString LinuxSessionManager::logindStateDirectory() const
{
    if (!m_options.logindStateDirectory.isEmpty())
        return m_options.logindStateDirectory;
    const QString fromEnvironment = qEnvironmentVariable("DOZORIX_LOGIND_SESSIONS");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    // logind's own folder describes the logind of the system's own bus only.
    if (m_options.systemBusAddress.isEmpty() && qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS"))
        return QStringLiteral("/run/systemd/sessions");
    return QString();
}

QString LinuxSessionManager::utmpFile() const
{
    if (!m_options.utmpPath.isEmpty())
        return m_options.utmpPath;
    const QString fromEnvironment = qEnvironmentVariable("DOZORIX_UTMP");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QStringLiteral(_PATH_UTMP);
}

int LinuxSessionManager::numberForLogindId(const QString &logindId)
{
    bool numeric = false;
    const int value = logindId.toInt(&numeric);
    if (numeric && value >= 0 && !logindId.startsWith(QLatin1Char('+')))
        return value;
    // "c<N>", the IDs logind gives sessions without a PAM logon.
    if (logindId.size() > 1 && logindId.front() == QLatin1Char('c')) {
        const int n = logindId.mid(1).toInt(&numeric);
        if (numeric && n >= 0 && n < 1000000 && logindId.at(1).isDigit())
            return 1000000 + n;
    }
    // Anything else: FNV-1a of the text, folded into [2^30, 2^31).
    quint32 hash = 2166136261u;
    for (const QChar c : logindId) {
        hash ^= c.unicode();
        hash *= 16777619u;
    }
    return static_cast<int>((hash & 0x3fffffffu) | 0x40000000u);
}

LinuxSessionManager::Source LinuxSessionManager::activeSource()
{
    if (m_options.source != Source::Automatic)
        return m_options.source;
    BusConnection bus(busAddress());
    return bus.logindAvailable() ? Source::Logind : Source::Utmp;
}

QString LinuxSessionManager::xrdpSocketDirectory() const
{
    if (!m_options.xrdpSocketDirectory.isEmpty())
        return m_options.xrdpSocketDirectory;
    const QString fromEnvironment = qEnvironmentVariable("DOZORIX_XRDP_SOCKETS");
    return fromEnvironment.isEmpty() ? QStringLiteral("/run/xrdp/sockdir") : fromEnvironment;
}

std::vector<SessionInfo> LinuxSessionManager::listSessions(Source *from)
{
    std::vector<SessionInfo> result;
    std::vector<SessionFacts> facts;
    if (m_options.source != Source::Utmp) {
        BusConnection bus(busAddress());
        if (m_options.source == Source::Logind || bus.logindAvailable()) {
            *from = Source::Logind;
            std::vector<NamedBySeat> named;
            const QString stateDirectory = logindStateDirectory();
            if (!stateDirectory.isEmpty() && readLogindStateFiles(stateDirectory, &result, &named, &facts)) {
                readIdleHints(bus.get(), facts);
            } else {
                result.clear();
                named.clear();
                facts.clear();
                std::vector<LogindEntry> entries;
                if (listLogindSessions(bus.get(), &entries)) {
                    for (const LogindEntry &e : entries) {
                        const QVariantMap properties = sessionProperties(bus.get(), e.path.path());
                        facts.emplace_back();
                        result.push_back(fromLogind(e, properties, &facts.back()));
                        named.push_back({properties.value(QStringLiteral("TTY")).toString().isEmpty()
                                             && properties.value(QStringLiteral("RemoteHost")).toString().isEmpty()
                                             && !e.seat.isEmpty(),
                                         e.id});
                    }
                }
            }
            nameSharedSeatsById(result, named);
            decideServersAndStates(result, facts, xrdpSocketDirectory());
            sortWithFacts(result, facts);
            return result;
        }
    }
    *from = Source::Utmp;
    result = readUtmp(utmpFile(), &facts);
    decideServersAndStates(result, facts, xrdpSocketDirectory());
    sortWithFacts(result, facts);
    return result;
}

std::vector<SessionInfo> LinuxSessionManager::sessions()
{
    Source from = Source::Automatic;
    return listSessions(&from);
}

DisconnectResult LinuxSessionManager::disconnect(int id)
{
    DisconnectResult result;
    Source from = Source::Automatic;
    const std::vector<SessionInfo> list = listSessions(&from);
    const auto found = std::find_if(list.begin(), list.end(), [id](const SessionInfo &s) { return s.id == id; });
    if (found == list.end()) {
        result.error = ENOENT;
        return result;
    }
    result.server = found->server;
    if (found->server != SessionServer::X2Go) {
        result.error = EOPNOTSUPP;
        return result;
    }
    if (found->serverSessionId.isEmpty()) {
        result.error = EIO;
        result.detail = QStringLiteral("X2Go не назвал этот сеанс (нет x2golistsessions_root или он не ответил).");
        return result;
    }

    // The X2Go list again for the session's owner, as it names it.
    const QString x2goId = found->serverSessionId;
    QString owner;
    for (const X2GoSession &s : listX2GoSessions()) {
        if (s.id == x2goId)
            owner = s.user;
    }
    const QString tool = findTool(QStringLiteral("x2gosuspend-session"));
    if (tool.isEmpty()) {
        result.error = EIO;
        result.detail = QStringLiteral("Не найдена программа x2gosuspend-session (пакет x2goserver).");
        return result;
    }
    QStringList argv{tool, x2goId};
    const struct passwd *self = ::getpwuid(::geteuid());
    const QString selfName = self ? QString::fromLocal8Bit(self->pw_name) : QString();
    if (owner.isEmpty())
        owner = found->user;
    if (owner != selfName) {
        if (::geteuid() != 0) {
            result.error = EPERM;
            result.detail = QStringLiteral("Сеанс X2Go пользователя %1 может приостановить только он сам или root.").arg(owner);
            return result;
        }
        const QString runuser = findTool(QStringLiteral("runuser"));
        if (runuser.isEmpty() || !plainName(owner, false)) {
            result.error = EIO;
            result.detail = QStringLiteral("Не удалось запустить x2gosuspend-session от имени пользователя %1.").arg(owner);
            return result;
        }
        argv = QStringList{runuser, QStringLiteral("-u"), owner, QStringLiteral("--"), tool, x2goId};
    }
    const ToolRun run = runTool(argv, kToolTimeoutMs);

    // x2gosuspend-session always ends with 0: X2Go's list tells whether it worked.
    for (const X2GoSession &s : listX2GoSessions()) {
        if (s.id == x2goId && s.state == 'S')
            return result;
    }
    result.error = EIO;
    const QString said = QString::fromLocal8Bit(run.errors).trimmed();
    if (run.exitCode < 0 && run.errors.isEmpty())
        result.detail = QStringLiteral("x2gosuspend-session не ответил за %1 с.").arg(kToolTimeoutMs / 1000);
    else if (!said.isEmpty())
        result.detail = said;
    else
        result.detail = QStringLiteral("X2Go не отметил сеанс %1 приостановленным.").arg(x2goId);
    return result;
}

int LinuxSessionManager::logindAction(int id, const char *method, bool withKillArguments)
{
    BusConnection bus(busAddress());
    if (m_options.source == Source::Automatic && !bus.logindAvailable())
        return -1; // not logind: the caller goes to utmp
    std::vector<LogindEntry> entries;
    if (!listLogindSessions(bus.get(), &entries))
        return EIO;
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [id](const LogindEntry &e) { return numberForLogindId(e.id) == id; });
    if (found == entries.end())
        return ENOENT;
    QDBusMessage call = QDBusMessage::createMethodCall(kLogindService, kLogindPath, kManagerInterface,
                                                       QString::fromLatin1(method));
    call << found->id;
    if (withKillArguments)
        call << QStringLiteral("all") << static_cast<qint32>(SIGKILL);
    const QDBusMessage reply = bus.get().call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return 0;
    const QString error = reply.errorName();
    if (error == QLatin1String("org.freedesktop.login1.NoSuchSession"))
        return ENOENT;
    if (error == QLatin1String("org.freedesktop.DBus.Error.AccessDenied")
        || error == QLatin1String("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"))
        return EPERM;
    return EIO;
}

int LinuxSessionManager::utmpSignal(int id, int signal)
{
    std::vector<SessionInfo> list = readUtmp(utmpFile());
    const auto found = std::find_if(list.begin(), list.end(), [id](const SessionInfo &s) { return s.id == id; });
    if (found == list.end())
        return ENOENT;
    const qint64 leader = found->leader;
    ProcStat leaderStat;
    if (!readProcStat(leader, &leaderStat))
        return ENOENT;
    qint64 ttyDevice = 0;
    for (const QString &terminal : found->terminals) {
        struct stat dev {};
        if (::stat(terminal.toLocal8Bit().constData(), &dev) == 0 && S_ISCHR(dev.st_mode))
            ttyDevice = static_cast<qint64>(dev.st_rdev);
    }

    // The leader, the processes of its process session, those on its terminal.
    QList<qint64> targets{leader};
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric || pid == leader)
            continue;
        ProcStat st;
        if (!readProcStat(pid, &st))
            continue;
        if ((leaderStat.session > 1 && st.session == leaderStat.session) || (ttyDevice != 0 && st.ttyNr == ttyDevice))
            targets.append(pid);
    }

    int signalled = 0;
    int firstError = 0;
    const qint64 self = ::getpid();
    for (const qint64 pid : targets) {
        if (pid <= 1 || pid == self)
            continue;
        if (::kill(static_cast<pid_t>(pid), signal) == 0)
            ++signalled;
        else if (errno != ESRCH && firstError == 0)
            firstError = errno;
    }
    return signalled > 0 ? 0 : (firstError != 0 ? firstError : ENOENT);
}

int LinuxSessionManager::terminate(int id)
{
    if (m_options.source != Source::Utmp) {
        const int r = logindAction(id, "TerminateSession", false);
        if (r >= 0)
            return r;
    }
    return utmpSignal(id, SIGTERM);
}

int LinuxSessionManager::kill(int id)
{
    if (m_options.source != Source::Utmp) {
        const int r = logindAction(id, "KillSession", true);
        if (r >= 0)
            return r;
    }
    return utmpSignal(id, SIGKILL);
}

std::shared_ptr<SessionManager> native::createSessionManager() { return std::make_shared<LinuxSessionManager>(); }

} // namespace dozorix
