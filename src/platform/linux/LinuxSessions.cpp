// Logon sessions of this host: systemd-logind over D-Bus, else utmp.

#include "LinuxSessions.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QFile>
#include <QDir>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>

#include <paths.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmpx.h>

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
    QDBusObjectPath path;
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
        QString seat;
        arg.beginStructure();
        arg >> e.id >> e.uid >> e.user >> seat >> e.path;
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

SessionInfo fromLogind(const LogindEntry &e, const QVariantMap &p)
{
    SessionInfo s;
    s.id = LinuxSessionManager::numberForLogindId(e.id);
    s.user = oneField(e.user.isEmpty() ? p.value(QStringLiteral("Name")).toString() : e.user);
    s.uid = e.uid;
    const QString tty = p.value(QStringLiteral("TTY")).toString();
    const QString remoteHost = p.value(QStringLiteral("RemoteHost")).toString();
    s.name = oneField(!tty.isEmpty() ? tty : remoteHost);
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
        s.logon = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(timestamp / 1000ULL));
    if (!tty.isEmpty())
        s.terminals << QStringLiteral("/dev/") + tty;
    s.leader = static_cast<qint64>(p.value(QStringLiteral("Leader")).toUInt());
    return s;
}

// ---------------------------------------------------------------------------
// utmp

// utmpxname() and the record cursor are process-wide.
std::mutex &utmpMutex()
{
    static std::mutex mutex;
    return mutex;
}

struct ProcStat {
    char state = '?';
    qint64 session = 0;
    qint64 ttyNr = 0;
};

bool readProcStat(qint64 pid, ProcStat *out)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = f.readAll();
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return false;
    // state ppid pgrp session tty_nr ...
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    if (fields.size() < 5 || fields[0].isEmpty())
        return false;
    out->state = fields[0].at(0);
    out->session = fields[3].toLongLong();
    out->ttyNr = fields[4].toLongLong();
    return true;
}

bool processAlive(qint64 pid)
{
    ProcStat st;
    return pid > 0 && readProcStat(pid, &st) && st.state != 'Z' && st.state != 'X';
}

QString fieldText(const char *field, size_t size)
{
    return QString::fromLocal8Bit(field, static_cast<qsizetype>(strnlen(field, size)));
}

SessionInfo fromUtmp(const utmpx &u)
{
    SessionInfo s;
    s.id = u.ut_pid;
    s.leader = u.ut_pid;
    s.user = oneField(fieldText(u.ut_user, sizeof u.ut_user));
    const QString line = fieldText(u.ut_line, sizeof u.ut_line);
    const QString host = fieldText(u.ut_host, sizeof u.ut_host);
    s.name = oneField(!line.isEmpty() ? line : host);
    if (u.ut_tv.tv_sec > 0)
        s.logon = QDateTime::fromSecsSinceEpoch(u.ut_tv.tv_sec);
    struct stat procDir {};
    if (::stat(QStringLiteral("/proc/%1").arg(u.ut_pid).toLocal8Bit().constData(), &procDir) == 0)
        s.uid = procDir.st_uid;
    if (!line.isEmpty() && !line.contains(QLatin1String(".."))) {
        const QString device = QStringLiteral("/dev/") + line;
        struct stat dev {};
        if (::stat(device.toLocal8Bit().constData(), &dev) == 0 && S_ISCHR(dev.st_mode)) {
            s.active = true;
            s.terminals << device;
            const qint64 idle = QDateTime::currentSecsSinceEpoch() - dev.st_atim.tv_sec;
            s.idleSeconds = std::max<qint64>(0, idle);
        }
    }
    return s;
}

std::vector<SessionInfo> readUtmp(const QString &path)
{
    std::vector<SessionInfo> out;
    std::lock_guard lock(utmpMutex());
    const QByteArray file = QFile::encodeName(path);
    if (::utmpxname(file.constData()) != 0)
        return out;
    ::setutxent();
    while (const utmpx *u = ::getutxent()) {
        if (u->ut_type != USER_PROCESS || u->ut_pid <= 0 || !processAlive(u->ut_pid))
            continue;
        out.push_back(fromUtmp(*u));
    }
    ::endutxent();
    ::utmpxname(_PATH_UTMP);
    return out;
}

void sortById(std::vector<SessionInfo> &list)
{
    std::stable_sort(list.begin(), list.end(), [](const SessionInfo &a, const SessionInfo &b) { return a.id < b.id; });
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

std::vector<SessionInfo> LinuxSessionManager::sessions()
{
    std::vector<SessionInfo> result;
    if (m_options.source != Source::Utmp) {
        BusConnection bus(busAddress());
        if (m_options.source == Source::Logind || bus.logindAvailable()) {
            std::vector<LogindEntry> entries;
            if (listLogindSessions(bus.get(), &entries)) {
                for (const LogindEntry &e : entries)
                    result.push_back(fromLogind(e, sessionProperties(bus.get(), e.path.path())));
            }
            sortById(result);
            return result;
        }
    }
    result = readUtmp(utmpFile());
    sortById(result);
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

int LinuxSessionManager::lock(int id)
{
    if (m_options.source != Source::Utmp) {
        const int r = logindAction(id, "LockSession", false);
        if (r >= 0)
            return r;
    }
    return utmpSignal(id, SIGHUP);
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
