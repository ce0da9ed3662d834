#pragma once
// The server's connection list as the protocol sees it: every accepted agent
// connection in accept order, the `Packet` of the announced ones, and the
// operations that send a text to some of them. A connection is reached
// through the AgentLink interface, so the list works the same over real
// sockets and over the fakes of the tests and the fuzz target.

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <map>
#include <optional>
#include <vector>

namespace dozorix {

using ConnectionId = quint64;

// One agent connection, seen from the protocol.
class AgentLink
{
public:
    virtual ~AgentLink() = default;
    // Writes one message in one send call. False when the connection has
    // already failed or ended; a failure found by this send is reported
    // later, never inside the caller's loop.
    virtual bool sendBytes(const QByteArray &bytes) = 0;
    // The peer's address as the socket sees it ("10.0.0.5").
    virtual QString remoteAddress() const = 0;
};

// The record of an announced connection: the agent's address as the agent
// itself reported it (status field 3).
struct Packet {
    QString Nick;
};

class AgentConnections
{
public:
    struct Entry {
        ConnectionId id = 0;
        AgentLink *link = nullptr;
        std::optional<Packet> packet; // set once the connection is announced
        bool hasPlaceholder = false;  // owns a row without columns
        QString remote;               // the link's remote address, as accepted
    };

    void add(ConnectionId id, AgentLink *link);
    // Forgets the connection; returns its entry (null entry when unknown).
    std::optional<Entry> take(ConnectionId id);
    void clear();

    Entry *find(ConnectionId id);
    const Entry *find(ConnectionId id) const;
    std::size_t size() const { return m_entries.size(); }
    // Connections from one remote address.
    int countFrom(const QString &remote) const { return m_perRemote.value(remote); }
    // Ids in list (accept) order.
    std::vector<ConnectionId> ids() const;

    // Creates or replaces the connection's Packet.
    void announce(ConnectionId id, const QString &nick);
    const QString *nickOf(ConnectionId id) const;
    // Announced connections whose Nick is nick.
    int countWithNick(const QString &nick) const { return m_nickCount.value(nick); }
    // The first announced connection, in list order, whose Nick is nick; 0 when none.
    ConnectionId firstWithNick(const QString &nick) const;

    // Sends text to one connection.
    bool sendTo(ConnectionId id, const QString &text);
    // Every announced connection, in list order, whose Nick is in nicks
    // receives text once. Returns the connections it was written to.
    std::vector<ConnectionId> sendToNicks(const QSet<QString> &nicks, const QString &text);
    // The first announced connection, in list order, whose Nick is nick.
    bool sendToFirstWithNick(const QString &nick, const QString &text);
    // Every announced connection whose Nick is nick; returns how many.
    int sendToAllWithNick(const QString &nick, const QString &text);
    // Msg to every announced connection, in list order, whose Nick differs
    // from Exception. Returns how many were written to.
    int SendAllClients(const QString &Msg, const QString &Exception);
    // Every announced connection whose remote address is in addresses
    // receives text once (the message window matches by remote address).
    int sendToRemoteAddresses(const QSet<QString> &addresses, const QString &text);

private:
    void forget(const Entry &e);
    void forgetNick(const Entry &e);

    std::map<ConnectionId, Entry> m_entries; // ids grow with accept order
    QHash<QString, int> m_nickCount;
    QHash<QString, int> m_perRemote;
};

} // namespace dozorix
