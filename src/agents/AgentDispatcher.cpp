#include "agents/AgentDispatcher.h"

#include "agents/AgentWire.h"
#include "agents/ChatRoster.h"
#include "agents/OnlineUsersModel.h"
#include "common/LogSink.h"
#include "common/Stamps.h"

namespace dozorix {

AgentDispatcher::AgentDispatcher(AgentConnections &connections, OnlineUsersModel &rows, ChatRoster &chat)
    : m_connections(connections)
    , m_rows(rows)
    , m_chat(chat)
{
}

void AgentDispatcher::ServerSocket1ClientRead(ConnectionId from, const char *data, qsizetype size)
{
    ++m_messages;
    try {
        dispatchText(from, decodeAgentText(data, size));
    } catch (...) {
        // A failure costs this message only.
    }
}

void AgentDispatcher::dispatchText(ConnectionId from, const QString &text)
{
    try {
        if (!m_connections.find(from))
            return;
        AgentMessage message = classifyAgentMessage(text);
        const bool line = message.kind == AgentMessageKind::HelpRequest || message.kind == AgentMessageKind::ChatLine;
        if (message.kind != AgentMessageKind::Status)
            message.rest.truncate(line ? kMaxAgentLine : kMaxAgentField);
        switch (message.kind) {
        case AgentMessageKind::HelpRequest:
            logLine(LogStamp() + QStringLiteral("Пользователю нужна помощь! запросил посмотреть эго экран, ")
                        + message.rest,
                    kLogGreen);
            break;
        case AgentMessageKind::Error:
            errorFrom(message.rest);
            break;
        case AgentMessageKind::ChatJoin:
            m_chat.join(from, message.rest);
            break;
        case AgentMessageKind::ChatLeave:
            m_chat.leave(message.rest);
            break;
        case AgentMessageKind::ChatLine:
            m_chat.lineFrom(from, message.rest);
            break;
        case AgentMessageKind::Status:
            status(from, message.rest);
            break;
        case AgentMessageKind::Unknown:
            break;
        }
    } catch (...) {
        // A message that fails to be handled (an allocation on a hostile
        // length, a hook that throws) is dropped alone: the connection and
        // every other agent go on, as the console's agents expect.
    }
}

void AgentDispatcher::status(ConnectionId from, const QString &text)
{
    ++m_statusMessages;
    QStringList fields = splitStatusFields(text);
    for (QString &field : fields)
        field.truncate(kMaxAgentField);
    // Every step needs field 3, the address: a shorter message does nothing.
    if (fields.size() <= StatusField::Address)
        return;
    AgentConnections::Entry *self = m_connections.find(from);
    if (!self)
        return;
    const QString &address = fields[StatusField::Address];

    const int row = m_rows.findRow(address);
    if (row >= 0) {
        // Update in place, as far as the fields reach.
        m_rows.updateRow(row, fields.mid(StatusField::ActiveProgram), from, self->remote);
        // A reconnected agent updates the row its old connection made; it is
        // registered under the address so that commands reach it.
        if (!self->packet)
            m_connections.announce(from, address);
        return;
    }

    // A new row: one connection never makes more than a few (it would have
    // to keep changing its address).
    if (m_rows.rowsOwnedBy(from) >= kMaxOwnedPerConnection)
        return;
    if (!fields[StatusField::ActiveProgram].isEmpty()) {
        m_connections.announce(from, address);
        if (fields.size() < StatusField::Count)
            return; // registered, but the row's columns are incomplete: no row
        if (!roomForRow(self->remote))
            return;
        m_rows.insertTop(fields.mid(StatusField::ActiveProgram, OnlineUsersModel::kDataColumns), from, self->remote);
        return;
    }
    // An empty active program: a row without columns, the connection stays
    // unannounced. One such row per connection at most; it goes with it.
    if (self->hasPlaceholder || !roomForRow(self->remote))
        return;
    self->hasPlaceholder = true;
    m_rows.insertTop({}, from, self->remote);
}

bool AgentDispatcher::roomForRow(const QString &host)
{
    if (m_rows.rowsOfHost(host) < m_rowsPerAddress) {
        m_hostsAtRowLimit.remove(host);
        return true;
    }
    if (!m_hostsAtRowLimit.contains(host)) {
        m_hostsAtRowLimit.insert(host);
        logLine(LogStamp() + QStringLiteral("Слишком много строк с адреса ") + host + QStringLiteral(" (не больше ")
                    + QString::number(m_rowsPerAddress) + QStringLiteral("): новые строки с него не добавляются"),
                kLogRed);
    }
    return false;
}

void AgentDispatcher::errorFrom(const QString &address)
{
    m_chat.leave(address);
    const int row = m_rows.findRow(address);
    if (row >= 0)
        m_rows.removeRowAt(row);
}

void AgentDispatcher::ClientExit(ConnectionId id)
{
    try {
        std::optional<AgentConnections::Entry> ended = m_connections.take(id);
        if (!ended)
            return;
        const QString *nick = ended->packet ? &ended->packet->Nick : nullptr;
        m_chat.connectionEnded(id, nick);
        if (nick && m_connections.countWithNick(*nick) == 0) {
            const int row = m_rows.findRow(*nick);
            if (row >= 0)
                m_rows.removeRowAt(row);
        }
        // Rows this connection wrote last: they go with it, unless another
        // live connection carries their address and takes them over.
        m_rows.releaseOwner(id, [this](const QString &address) {
            OnlineUsersModel::Heir heir;
            heir.id = m_connections.firstWithNick(address);
            if (const AgentConnections::Entry *e = heir.id ? m_connections.find(heir.id) : nullptr)
                heir.host = e->remote;
            return heir;
        });
    } catch (...) {
        // The end of a connection is cleaned up as far as it goes: a failure
        // in the chat's or the list's bookkeeping must not take the rest of
        // the socket's close (and the server's event loop) with it.
    }
}

} // namespace dozorix
