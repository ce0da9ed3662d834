#pragma once
// What the console does with one message from an agent, and the clean-up
// when an agent's connection ends (`ClientExit`). Works on the connection
// list, the online-users table and the chat; knows no sockets and no widgets.

#include "agents/AgentConnections.h"
#include "agents/AgentWire.h"

#include <QByteArray>
#include <QSet>
#include <QString>

namespace dozorix {

class ChatRoster;
class OnlineUsersModel;

class AgentDispatcher
{
public:
    AgentDispatcher(AgentConnections &connections, OnlineUsersModel &rows, ChatRoster &chat);

    // The bytes of one read are one message (`ServerSocket1ClientRead`).
    // Any failure ends the handling of this message silently.
    void ServerSocket1ClientRead(ConnectionId from, const char *data, qsizetype size);
    void ServerSocket1ClientRead(ConnectionId from, const QByteArray &bytes)
    {
        ServerSocket1ClientRead(from, bytes.constData(), bytes.size());
    }
    void dispatchText(ConnectionId from, const QString &text);

    // The connection has ended: its chat entry and rows go, its Packet is
    // released and it leaves the connection list.
    void ClientExit(ConnectionId id);

    // Rows the connections of one remote address may own together
    // (kMaxRowsPerAddress unless set otherwise).
    void setRowsPerAddressLimit(int limit) { m_rowsPerAddress = limit; }
    int rowsPerAddressLimit() const { return m_rowsPerAddress; }

    // Counters for the benchmark: reads dispatched, status messages among them.
    quint64 messages() const { return m_messages; }
    quint64 statusMessages() const { return m_statusMessages; }

private:
    void status(ConnectionId from, const QString &text);
    void errorFrom(const QString &address);
    // True when host may own one more row; the first refusal after the host
    // was below its limit writes the red line.
    bool roomForRow(const QString &host);

    AgentConnections &m_connections;
    OnlineUsersModel &m_rows;
    ChatRoster &m_chat;
    int m_rowsPerAddress = kMaxRowsPerAddress;
    QSet<QString> m_hostsAtRowLimit;
    quint64 m_messages = 0;
    quint64 m_statusMessages = 0;
};

} // namespace dozorix
