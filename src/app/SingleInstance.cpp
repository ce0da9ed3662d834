#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace dozorix {
namespace {

// Leading NUL: the abstract namespace, owned by the kernel, gone with the process.
socklen_t abstractAddress(const QString &name, sockaddr_un *addr)
{
    *addr = {};
    addr->sun_family = AF_UNIX;
    const QByteArray bytes = name.toUtf8();
    const size_t len = std::min(static_cast<size_t>(bytes.size()), sizeof(addr->sun_path) - 1);
    std::memcpy(addr->sun_path + 1, bytes.constData(), len);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
}

// The user's own runtime directory, or empty when there is none this user
// alone may write in.
QByteArray runtimeDir()
{
    QByteArray dir = qgetenv("XDG_RUNTIME_DIR");
    if (dir.isEmpty())
        dir = "/run/user/" + QByteArray::number(::getuid());
    struct stat st;
    if (::lstat(dir.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
        return {};
    return dir;
}

} // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString &title, Role role)
    : m_role(role)
{
    m_name = title + QStringLiteral("OneInstance32.Default.") + QString::number(::getuid());
    const QByteArray scope = qgetenv("DOZORIX_INSTANCE_SCOPE");
    if (!scope.isEmpty())
        m_name += QLatin1Char('.')
            + QString::fromLatin1(QCryptographicHash::hash(scope, QCryptographicHash::Sha1).toHex().left(16));

    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd >= 0) {
        sockaddr_un addr;
        const socklen_t addrLen = abstractAddress(m_name, &addr);
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), addrLen) == 0 && ::listen(m_fd, SOMAXCONN) == 0) {
            // Later instances connect to ask who holds the name; their
            // connections are taken and closed so that the queue never fills.
            m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
            const int fd = m_fd;
            const char answer = static_cast<char>(m_role);
            QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [fd, answer] {
                int peer;
                while ((peer = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0) {
                    (void)::send(peer, &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                    ::close(peer);
                }
            });
        } else {
            const int err = errno;
            ::close(m_fd);
            m_fd = -1;
            if (err == EADDRINUSE && holderOf(m_name) == static_cast<long long>(::getuid())) {
                m_another = true;
                return;
            }
        }
    }
    takeRuntimeLock();
}

void SingleInstanceGuard::takeRuntimeLock()
{
    const QByteArray dir = runtimeDir();
    if (dir.isEmpty())
        return;
    const QByteArray path = dir + '/' + QFile::encodeName(m_name) + ".lock";
    m_lockFd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (m_lockFd < 0)
        return;
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        m_another = (errno == EWOULDBLOCK);
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

long long SingleInstanceGuard::holderOf(const QString &abstractName)
{
    return holderInfo(abstractName).uid;
}

SingleInstanceGuard::Holder SingleInstanceGuard::holderInfo(const QString &abstractName)
{
    Holder h;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return h;
    // A holder that never takes its connections must not stall the start.
    timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_un addr;
    const socklen_t addrLen = abstractAddress(abstractName, &addr);
    ucred cred{};
    socklen_t credLen = sizeof cred;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), addrLen) == 0
        && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) == 0) {
        h.uid = cred.uid;
        h.pid = cred.pid;
        // The holder says what it is as soon as its event loop takes the
        // connection; one that is busy (or older) says nothing in time.
        timeval wait{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char role = 0;
        if (::recv(fd, &role, 1, 0) == 1 && (role == static_cast<char>(Role::Console)
                                             || role == static_cast<char>(Role::ScheduledRun)))
            h.role = static_cast<Role>(role);
    }
    ::close(fd);
    return h;
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

} // namespace dozorix
