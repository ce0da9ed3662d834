#pragma once
// One accepted agent connection: a non-blocking TCP socket. The server
// watches all of its sockets through one epoll set, so the event loop of the
// user-interface thread waits on one descriptor however many agents there
// are. Each readable event takes one read of at most kMaxRead bytes, and
// those bytes are one message. Each message to the agent is written with one
// send call; what the kernel does not take at once waits and goes out when
// the socket can be written.
//
// Failures are reported to the server with the code the administrator
// knows from WinSock ("Ошибка № 10054" for a connection reset by the peer).

#include "agents/AgentConnections.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

namespace dozorix {

class AgentServer;

class AgentSocket : public AgentLink
{
public:
    // Largest read taken as one message; a longer one arrives as several.
    static constexpr qsizetype kMaxRead = 64 * 1024;
    // Unsent bytes a connection may hold before it counts as failed.
    static constexpr qsizetype kMaxPending = 1024 * 1024;

    AgentSocket(int fd, ConnectionId id, AgentServer *server);
    ~AgentSocket() override;
    AgentSocket(const AgentSocket &) = delete;
    AgentSocket &operator=(const AgentSocket &) = delete;

    ConnectionId id() const { return m_id; }
    bool sendBytes(const QByteArray &bytes) override;
    QString remoteAddress() const override { return m_peer; }

    bool hasSpoken() const { return m_spoken; }
    // Milliseconds since the connection was accepted.
    qint64 ageMs() const { return m_age.elapsed(); }
    bool isOpen() const { return m_fd >= 0; }
    // Closes the socket at once; no event of it is reported afterwards.
    void shutdown();

    // The WinSock code for an errno value (the code itself when unknown).
    static int winsockCode(int errnoValue);

    int descriptor() const { return m_fd; }
    bool wantsWrite() const { return !m_pending.isEmpty(); }
    // Called by the server when the socket is readable or writable.
    void onReadable();
    void onWritable();

private:
    // Reports a failure found while sending, after the sender's loop.
    void failLater(int errnoValue);

    int m_fd = -1;
    ConnectionId m_id = 0;
    AgentServer *m_server = nullptr;
    QByteArray m_pending;
    QString m_peer;
    QElapsedTimer m_age;
    bool m_spoken = false;
    bool m_failed = false;
};

} // namespace dozorix
