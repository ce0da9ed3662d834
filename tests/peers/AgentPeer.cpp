#include "peers/AgentPeer.h"

#include "agents/AgentWire.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QThread>

#include <sys/socket.h>

namespace dozorix::test {

void pump(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

QString statusMessage(const QString &program, const QString &address, const QString &computer, const QString &user,
                      const QString &thin, const QString &thick, const QString &v7)
{
    const QString s = QStringLiteral("§");
    return s + QStringLiteral("agent") + s + program + s + address + s + computer + s + user + s + thin + s + thick
        + s + v7;
}

AgentPeer::AgentPeer(quint16 port, const QHostAddress &from)
    : m_socket(std::make_unique<QTcpSocket>())
{
    QObject::connect(m_socket.get(), &QTcpSocket::readyRead, [this] { m_in += m_socket->readAll(); });
    if (!from.isNull())
        m_socket->bind(from);
    m_socket->connectToHost(QHostAddress::LocalHost, port);
    waitUntil([this] { return m_socket->state() == QAbstractSocket::ConnectedState
                              || m_socket->state() == QAbstractSocket::UnconnectedState; },
              5000);
}

AgentPeer::~AgentPeer()
{
    m_socket->abort();
}

bool AgentPeer::connected() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

bool AgentPeer::greeted(int timeoutMs)
{
    return waitUntil([this] { return m_in.startsWith('\xA7'); }, timeoutMs);
}

void AgentPeer::say(const QString &text, int pauseMs)
{
    sayBytes(encodeAgentText(text), pauseMs);
}

void AgentPeer::sayBytes(const QByteArray &bytes, int pauseMs)
{
    m_socket->write(bytes);
    m_socket->flush();
    pump(pauseMs);
}

QString AgentPeer::heard()
{
    QCoreApplication::processEvents();
    const QByteArray after = m_in.startsWith('\xA7') ? m_in.mid(1) : m_in;
    return decodeAgentText(after);
}

bool AgentPeer::hears(const QString &expected, int timeoutMs)
{
    return waitUntil([&] { return heard() == expected; }, timeoutMs);
}

void AgentPeer::close()
{
    m_socket->disconnectFromHost();
    pump(kPauseMs);
}

void AgentPeer::reset()
{
    // A zero linger time makes the close abortive: the console sees a reset.
    const linger hard{1, 0};
    ::setsockopt(static_cast<int>(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    m_socket->abort();
    pump(kPauseMs);
}

bool AgentPeer::closedByConsole(int timeoutMs)
{
    return waitUntil([this] { return m_socket->state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
}

} // namespace dozorix::test
