#pragma once
// `ServerSocket1`: the agent server. Listens on the main port, greets every
// accepted connection with "§", hands each read to the dispatcher, cleans up
// ended and failed connections, and holds the online-users table, the chat
// and the connection list. All of it runs on the user-interface thread.
//
// For the main window's StartAgentServer and StopAgentServer:
//   StartAgentServer(port, &error)  listen; the green line only on success
//   StopAgentServer()               close everything, empty table and chat
//   isListening()                   the server really listens
//   clientConnected()               a connection was accepted

#include "agents/AgentConnections.h"
#include "agents/AgentDispatcher.h"
#include "agents/AgentWire.h"
#include "agents/ChatRoster.h"
#include "agents/OnlineUsersModel.h"

#include <QList>
#include <QSet>
#include <QAbstractSocket>
#include <QTcpServer>
#include <QTimer>

#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

class QSocketNotifier;

namespace dozorix {

class AgentSocket;

class AgentServer : public QTcpServer
{
    Q_OBJECT
public:
    // A connection that has sent nothing this long after its greeting is closed.
    static constexpr qint64 kSilentLimitMs = 60000;

    explicit AgentServer(QObject *parent = nullptr);
    ~AgentServer() override;

    // Opens the listening socket on port (IPv4, every interface) and logs
    // LogStamp + "Сервер Dozorix успешно стартовал!" in green. A busy or
    // invalid port fails: false, *error says why, nothing is logged.
    // Already listening on that port: true, nothing else happens.
    bool StartAgentServer(quint16 port, QString *error = nullptr);
    // The same for the text of a port box ("5005"); text that is not a
    // whole number in 1 … 65535 fails (parseAgentPort).
    bool StartAgentServer(const QString &portText, QString *error = nullptr);
    // Closes the listening socket and every agent connection (no ClientExit),
    // empties the online-users table, logs LogStamp + "Сервер Dozorix
    // остановлен!" in red, and empties the chat transcript and list.
    void StopAgentServer();

    // "Обновить подключения": closes every connection (each runs ClientExit),
    // then empties the table, the chat transcript and the chat list.
    void refreshConnections();

    // Sends text to every announced connection whose Nick is the "IP" column
    // of one of the given rows of the table; returns the connections written to.
    std::vector<ConnectionId> sendToRows(const QList<int> &rows, const QString &text);
    // The message window's agent mode: rows matched by remote address.
    int sendToRowsByRemoteAddress(const QList<int> &rows, const QString &text);
    int SendAllClients(const QString &Msg, const QString &Exception);

    OnlineUsersModel *onlineUsers() { return &m_rows; }
    ChatRoster *chat() { return &m_chat; }
    AgentConnections &connections() { return m_connections; }
    AgentDispatcher &dispatcher() { return m_dispatcher; }
    std::size_t connectionCount() const { return m_sockets.size(); }
    std::size_t silentConnectionCount() const { return m_silent.size(); }
    // Connections one remote address may hold at once (kMaxConnectionsPerAddress
    // unless set otherwise); a further one is closed as soon as it is accepted.
    void setConnectionsPerAddressLimit(int limit) { m_connectionsPerAddress = limit; }
    int connectionsPerAddressLimit() const { return m_connectionsPerAddress; }

signals:
    void clientConnected();
    void listeningChanged(bool listening);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    friend class AgentSocket;
    char *readBuffer() { return m_readBuffer.data(); }
    // The epoll set of the agent sockets: readable always, writable while
    // the socket holds unsent bytes.
    void watch(AgentSocket *socket);
    void unwatch(AgentSocket *socket);
    void socketsReady();
    // Reports a failure found while sending once the sender's loop is over.
    void failLater(ConnectionId id, int errnoValue);
    // Frees the sockets of ended connections (never while one of them runs).
    void buryEnded();
    void socketRead(AgentSocket *socket, const char *data, qsizetype size);
    void socketEnded(AgentSocket *socket);
    void socketFailed(AgentSocket *socket, int errnoValue);
    // Ends one connection: ClientExit when runExit, then the socket goes.
    void endConnection(AgentSocket *socket, bool runExit);
    void closeAllConnections(bool runExit);
    void sweepSilent();

    AgentConnections m_connections;
    OnlineUsersModel m_rows;
    ChatRoster m_chat;
    AgentDispatcher m_dispatcher;
    std::unordered_map<ConnectionId, std::unique_ptr<AgentSocket>> m_sockets;
    std::vector<std::unique_ptr<AgentSocket>> m_ended; // closed, freed by buryEnded()
    int m_inSocket = 0;                                 // socket handlers running
    bool m_buryScheduled = false;
    std::map<ConnectionId, AgentSocket *> m_silent; // accepted, nothing read yet, in accept order
    int m_epoll = -1;
    QSocketNotifier *m_epollNotifier = nullptr;
    std::vector<char> m_readBuffer;
    ConnectionId m_nextId = 1;
    std::size_t m_maxSilent = 1024;
    int m_connectionsPerAddress = kMaxConnectionsPerAddress;
    QSet<QString> m_hostsAtConnectionLimit;
    QTimer m_sweep;
};

// Raises the process's open-file limit to its hard limit (once); the server
// keeps one descriptor per agent.
void raiseOpenFileLimit();

// Why a socket failed, as the program shows it: in Russian, with Qt's own
// English text after it in parentheses ("порт занят другой программой (The
// bound address is already in use)").
QString socketFailureReason(QAbstractSocket::SocketError error, const QString &qtText);

// The agent server's port from the text of the main-port box: a decimal
// number from 1 to 65535, blanks around it allowed. Otherwise false, with
// the reason in *error.
bool parseAgentPort(const QString &text, quint16 *port, QString *error);

} // namespace dozorix
