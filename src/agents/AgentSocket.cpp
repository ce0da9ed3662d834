#include "agents/AgentSocket.h"

#include "agents/AgentServer.h"

#include <QHostAddress>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dozorix {

namespace {

QString peerAddress(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return QString();
    QHostAddress address(reinterpret_cast<const sockaddr *>(&ss));
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped && address.protocol() == QAbstractSocket::IPv6Protocol)
        address = QHostAddress(v4);
    return address.toString();
}

void setOption(int fd, int level, int name, int value)
{
    ::setsockopt(fd, level, name, &value, sizeof value);
}

} // namespace

AgentSocket::AgentSocket(int fd, ConnectionId id, AgentServer *server)
    : m_fd(fd)
    , m_id(id)
    , m_server(server)
{
    m_age.start();
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags >= 0 && !(flags & O_NONBLOCK))
        ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
    ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    // A PC that loses power or network never closes its connection: keep-alive
    // probes find it within about two minutes, and its row goes.
    setOption(m_fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setOption(m_fd, IPPROTO_TCP, TCP_KEEPIDLE, 60);
    setOption(m_fd, IPPROTO_TCP, TCP_KEEPINTVL, 10);
    setOption(m_fd, IPPROTO_TCP, TCP_KEEPCNT, 6);
    m_peer = peerAddress(m_fd);
}

AgentSocket::~AgentSocket()
{
    shutdown();
}

void AgentSocket::shutdown()
{
    if (m_fd < 0)
        return;
    m_server->unwatch(this);
    ::close(m_fd);
    m_fd = -1;
    m_pending.clear();
    m_pending.squeeze();
}

bool AgentSocket::sendBytes(const QByteArray &bytes)
{
    if (m_fd < 0 || m_failed)
        return false;
    if (bytes.isEmpty())
        return true;
    if (!m_pending.isEmpty()) {
        if (m_pending.size() + bytes.size() > kMaxPending) {
            failLater(ENOBUFS);
            return false;
        }
        m_pending += bytes;
        return true;
    }
    ssize_t n;
    do {
        n = ::send(m_fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n == bytes.size())
        return true;
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            failLater(errno);
            return false;
        }
        n = 0;
    }
    m_pending = bytes.mid(n);
    m_server->watch(this);
    return true;
}

void AgentSocket::onWritable()
{
    if (m_fd < 0 || m_failed)
        return;
    ssize_t n;
    do {
        n = ::send(m_fd, m_pending.constData(), static_cast<size_t>(m_pending.size()), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        const int err = errno;
        m_failed = true;
        m_server->socketFailed(this, err);
        return;
    }
    m_pending.remove(0, n);
    if (m_pending.isEmpty()) {
        m_pending.squeeze();
        m_server->watch(this);
    }
}

void AgentSocket::onReadable()
{
    if (m_fd < 0 || m_failed)
        return;
    char *buffer = m_server->readBuffer();
    ssize_t n;
    do {
        n = ::recv(m_fd, buffer, static_cast<size_t>(kMaxRead), 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        m_spoken = true;
        m_server->socketRead(this, buffer, n);
    } else if (n == 0) {
        m_server->socketEnded(this);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        m_failed = true;
        m_server->socketFailed(this, errno);
    }
}

void AgentSocket::failLater(int errnoValue)
{
    m_failed = true;
    m_server->unwatch(this);
    m_server->failLater(m_id, errnoValue);
}

int AgentSocket::winsockCode(int errnoValue)
{
    switch (errnoValue) {
    case ECONNRESET: return 10054;
    case ECONNABORTED: return 10053;
    case EPIPE: return 10053;
    case ETIMEDOUT: return 10060;
    case EHOSTUNREACH: return 10065;
    case EHOSTDOWN: return 10064;
    case ENETUNREACH: return 10051;
    case ENETDOWN: return 10050;
    case ENETRESET: return 10052;
    case ENOTCONN: return 10057;
    case ENOBUFS:
    case ENOMEM: return 10055;
    default: return errnoValue;
    }
}

} // namespace dozorix
