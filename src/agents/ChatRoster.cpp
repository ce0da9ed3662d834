#include "agents/ChatRoster.h"

#include "agents/AgentWire.h"
#include "agents/OnlineUsersModel.h"
#include "common/LogSink.h"
#include "common/Stamps.h"

#include <algorithm>

namespace dozorix {

ChatRoster::ChatRoster(AgentConnections &connections, const OnlineUsersModel &rows, QObject *parent)
    : QAbstractListModel(parent)
    , m_connections(connections)
    , m_rows(rows)
{
}

int ChatRoster::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

QVariant ChatRoster::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || index.row() < 0 || index.row() >= rowCount())
        return {};
    return entryText(index.row());
}

QString ChatRoster::entryText(int row) const
{
    if (row < 0 || row >= rowCount())
        return QString();
    const Entry &e = m_entries[static_cast<std::size_t>(row)];
    return chatEntryText(e.user, e.address);
}

QString ChatRoster::entryAddress(int row) const
{
    return row >= 0 && row < rowCount() ? m_entries[static_cast<std::size_t>(row)].lookupAddress : QString();
}

ConnectionId ChatRoster::entryOwner(int row) const
{
    return row >= 0 && row < rowCount() ? m_entries[static_cast<std::size_t>(row)].owner : 0;
}

QStringList ChatRoster::entries() const
{
    QStringList out;
    for (int i = 0; i < rowCount(); ++i)
        out << entryText(i);
    return out;
}

void ChatRoster::line(const QString &text, unsigned int colour)
{
    if (m_hooks.CText2)
        m_hooks.CText2(TimeStamp() + text, colour);
}

void ChatRoster::join(ConnectionId from, const QString &address)
{
    const QString user = m_rows.userOf(address);
    const auto it = std::find_if(m_entries.begin(), m_entries.end(),
                                 [&](const Entry &e) { return e.address == address; });
    if (it == m_entries.end()) {
        if (std::count_if(m_entries.begin(), m_entries.end(), [from](const Entry &e) { return e.owner == from; })
            >= kMaxOwnedPerConnection)
            return; // one connection joins a few addresses at most
        const int row = rowCount();
        beginInsertRows({}, row, row);
        m_entries.push_back({user, address, address.trimmed(), from});
        endInsertRows();
    } else {
        // One entry per address: a repeated join refreshes it.
        it->user = user;
        it->owner = from;
        const QModelIndex at = index(static_cast<int>(it - m_entries.begin()));
        emit dataChanged(at, at, {Qt::DisplayRole});
    }
    line(QStringLiteral("В чат вошел хост:") + address, kChatGrey);
}

void ChatRoster::removeAt(int row, bool withLine)
{
    const QString address = m_entries[static_cast<std::size_t>(row)].address;
    beginRemoveRows({}, row, row);
    m_entries.erase(m_entries.begin() + row);
    endRemoveRows();
    if (withLine)
        line(QStringLiteral("Вышел из чата:") + address, kChatGrey);
}

void ChatRoster::leave(const QString &address)
{
    for (int row = rowCount(); row-- > 0;) {
        if (m_entries[static_cast<std::size_t>(row)].address == address)
            removeAt(row, true);
    }
}

void ChatRoster::lineFrom(ConnectionId from, const QString &text)
{
    const QString *nick = m_connections.nickOf(from);
    if (!nick)
        return; // not announced: dropped
    const QString body = QStringLiteral("[") + *nick + QStringLiteral("] ->  ") + text;
    line(body, kChatUser);
    const bool chatShown = m_hooks.chatTabSelected && m_hooks.chatTabSelected();
    if (!chatShown)
        logLine(LogStamp() + QStringLiteral("Новое сообщение в чате от хоста: ") + body, kLogGreen);
}

void ChatRoster::connectionEnded(ConnectionId id, const QString *nick)
{
    for (int row = 0; row < rowCount();) {
        Entry &e = m_entries[static_cast<std::size_t>(row)];
        const bool concerned = e.owner == id || (nick && e.address == *nick);
        if (!concerned) {
            ++row;
            continue;
        }
        // Another live connection announced under the address keeps the entry.
        const ConnectionId heir = m_connections.firstWithNick(e.address);
        if (heir != 0) {
            e.owner = heir;
            ++row;
        } else {
            removeAt(row, true);
        }
    }
}

QList<int> ChatRoster::validRows(const QList<int> &selected) const
{
    QList<int> rows;
    for (int row : selected) {
        if (row >= 0 && row < rowCount() && !rows.contains(row))
            rows << row;
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

void ChatRoster::send(const QList<int> &selected, const QString &text)
{
    const QList<int> rows = validRows(selected);
    QStringList shown;
    for (int row : rows) {
        m_connections.sendToFirstWithNick(entryAddress(row), AgentCommand::chatLine(text));
        shown << entryText(row);
    }
    for (const QString &entry : shown)
        line(QStringLiteral("[") + entry + QStringLiteral("]") + QStringLiteral(" <- ") + text, kChatAdmin);
}

bool ChatRoster::sendToAll(const QString &text)
{
    if (text.isEmpty() || m_entries.empty())
        return false;
    m_connections.SendAllClients(AgentCommand::chatLine(text), QString());
    line(QStringLiteral("[ВСЕМ] <- ") + text, kChatAdmin);
    return true;
}

void ChatRoster::kick(const QList<int> &selected)
{
    const QList<int> rows = validRows(selected);
    QStringList shown;
    for (int row : rows) {
        m_connections.sendToAllWithNick(entryAddress(row), AgentCommand::ChatKick);
        shown << entryText(row);
    }
    for (const QString &entry : shown)
        line(QStringLiteral("[") + entry + QStringLiteral("]") + QStringLiteral(" <- ")
                 + QStringLiteral("Отправлена команда на выход из чата!"),
             kChatAdmin);
}

void ChatRoster::rejoinAll()
{
    for (int row = 0; row < rowCount(); ++row)
        m_connections.sendToAllWithNick(entryAddress(row), AgentCommand::ChatRejoin);
    clearAll();
}

void ChatRoster::clearAll()
{
    if (!m_entries.empty()) {
        beginResetModel();
        m_entries.clear();
        endResetModel();
    }
    if (m_hooks.clearTranscript)
        m_hooks.clearTranscript();
}

} // namespace dozorix
