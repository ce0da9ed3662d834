#pragma once
// The chat: who is in it (the list "Сейчас в чате"), the lines of the
// transcript, and the administrator's actions. An entry shows the user name,
// " # " and the address, and keeps the address apart from the name, so a
// name that contains "#" still reaches its agent. There is one entry per
// address; it remembers the connection that joined it.
//
// The transcript itself is a widget: the roster hands every chat line to
// the CText2 hook and asks the hook to empty the transcript.

#include "agents/AgentConnections.h"

#include <QAbstractListModel>
#include <QList>
#include <QString>

#include <functional>
#include <vector>

namespace dozorix {

class OnlineUsersModel;

// Chat line colours, as 0xRRGGBB.
inline constexpr unsigned int kChatAdmin = 0x40C9EC;
inline constexpr unsigned int kChatGrey = 0x808080;
inline constexpr unsigned int kChatUser = 0x000000;

class ChatRoster : public QAbstractListModel
{
public:
    struct Hooks {
        // Appends one line to the transcript.
        std::function<void(const QString &text, unsigned int colour)> CText2;
        // Empties the transcript.
        std::function<void()> clearTranscript;
        // True while the tab "Чат" is the selected one.
        std::function<bool()> chatTabSelected;
    };

    ChatRoster(AgentConnections &connections, const OnlineUsersModel &rows, QObject *parent = nullptr);

    void setHooks(Hooks hooks) { m_hooks = std::move(hooks); }

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;

    QString entryText(int row) const;
    QString entryAddress(int row) const;
    ConnectionId entryOwner(int row) const;
    QStringList entries() const;

    // From agents.
    void join(ConnectionId from, const QString &address);      // "#inchat"
    void leave(const QString &address);                        // "#ofchat", "#err"
    void lineFrom(ConnectionId from, const QString &text);     // "#soob"
    // An ended connection: its entries leave unless another live announced
    // connection still carries their address.
    void connectionEnded(ConnectionId id, const QString *nick);

    // The administrator's actions on the selected entries (rows of this model).
    void send(const QList<int> &selected, const QString &text);       // "Отправить"
    bool sendToAll(const QString &text);                              // "Отправить всем"
    void kick(const QList<int> &selected);                            // "Выбросить из чата"
    void rejoinAll();                                                 // "Обновить чат"
    // Empties the list and the transcript.
    void clearAll();

private:
    struct Entry {
        QString user;
        QString address;       // as the agent sent it
        QString lookupAddress; // trimmed: compared with Nick
        ConnectionId owner = 0;
    };
    void line(const QString &text, unsigned int colour);
    void removeAt(int row, bool withLine);
    QList<int> validRows(const QList<int> &selected) const;

    AgentConnections &m_connections;
    const OnlineUsersModel &m_rows;
    std::vector<Entry> m_entries;
    Hooks m_hooks;
};

} // namespace dozorix
