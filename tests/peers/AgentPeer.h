#pragma once
// Agents for the tests. AgentPeer is a real TCP client on 127.0.0.1 that
// speaks Windows-1251 and sends one message per write with a pause after
// it, as agents in the field do; the console runs in the same thread, so
// every wait runs the event loop. FakeLink stands for a connection where
// the engines are tested without sockets.

#include "agents/AgentConnections.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QTcpSocket>

#include <memory>
#include <vector>

namespace dozorix::test {

// Runs the event loop for ms milliseconds.
void pump(int ms);

// The status message "§" + field 1 … field 8.
QString statusMessage(const QString &program, const QString &address, const QString &computer,
                      const QString &user, const QString &thin = QStringLiteral("1"),
                      const QString &thick = QStringLiteral("0"), const QString &v7 = QStringLiteral("0"));

class AgentPeer
{
public:
    static constexpr int kPauseMs = 40;

    // from: the local address to connect from (127.0.0.2 … stand for other
    // hosts on the loopback); any when null.
    explicit AgentPeer(quint16 port, const QHostAddress &from = {});
    ~AgentPeer();

    bool connected() const;
    // Waits for the greeting "§".
    bool greeted(int timeoutMs = 5000);
    // One message in one write, then the pause.
    void say(const QString &text, int pauseMs = kPauseMs);
    void sayBytes(const QByteArray &bytes, int pauseMs = kPauseMs);
    // Everything received after the greeting, decoded.
    QString heard();
    // Waits until heard() equals expected.
    bool hears(const QString &expected, int timeoutMs = 3000);
    // Closes normally (FIN) or abortively (RST), then lets the console see it.
    void close();
    void reset();
    // True once the console has closed the connection.
    bool closedByConsole(int timeoutMs = 3000);

private:
    std::unique_ptr<QTcpSocket> m_socket;
    QByteArray m_in;
};

// A connection for engine tests: remembers every message sent to it.
class FakeLink : public AgentLink
{
public:
    explicit FakeLink(QString remote = QStringLiteral("10.0.0.1"))
        : m_remote(std::move(remote))
    {
    }
    bool sendBytes(const QByteArray &bytes) override
    {
        if (broken)
            return false;
        sent << bytes;
        return true;
    }
    QString remoteAddress() const override { return m_remote; }

    QList<QByteArray> sent;
    bool broken = false;

private:
    QString m_remote;
};

} // namespace dozorix::test
