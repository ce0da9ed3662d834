#include "agents/AgentConnections.h"

#include "agents/AgentWire.h"

namespace dozorix {

void AgentConnections::add(ConnectionId id, AgentLink *link)
{
    Entry e;
    e.id = id;
    e.link = link;
    e.remote = link ? link->remoteAddress() : QString();
    auto old = m_entries.find(id);
    if (old != m_entries.end())
        forget(old->second);
    ++m_perRemote[e.remote];
    m_entries[id] = std::move(e);
}

std::optional<AgentConnections::Entry> AgentConnections::take(ConnectionId id)
{
    auto it = m_entries.find(id);
    if (it == m_entries.end())
        return std::nullopt;
    Entry e = std::move(it->second);
    m_entries.erase(it);
    forget(e);
    if (m_entries.empty()) {
        // The room kept for a crowd goes back.
        m_nickCount = QHash<QString, int>();
        m_perRemote = QHash<QString, int>();
    }
    return e;
}

void AgentConnections::clear()
{
    m_entries.clear();
    m_nickCount = QHash<QString, int>();
    m_perRemote = QHash<QString, int>();
}

AgentConnections::Entry *AgentConnections::find(ConnectionId id)
{
    auto it = m_entries.find(id);
    return it == m_entries.end() ? nullptr : &it->second;
}

const AgentConnections::Entry *AgentConnections::find(ConnectionId id) const
{
    auto it = m_entries.find(id);
    return it == m_entries.end() ? nullptr : &it->second;
}

std::vector<ConnectionId> AgentConnections::ids() const
{
    std::vector<ConnectionId> out;
    out.reserve(m_entries.size());
    for (const auto &[id, e] : m_entries)
        out.push_back(id);
    return out;
}

void AgentConnections::forget(const Entry &e)
{
    forgetNick(e);
    auto it = m_perRemote.find(e.remote);
    if (it != m_perRemote.end() && --it.value() <= 0)
        m_perRemote.erase(it);
}

void AgentConnections::forgetNick(const Entry &e)
{
    if (!e.packet)
        return;
    auto it = m_nickCount.find(e.packet->Nick);
    if (it == m_nickCount.end())
        return;
    if (--it.value() <= 0)
        m_nickCount.erase(it);
}

void AgentConnections::announce(ConnectionId id, const QString &nick)
{
    Entry *e = find(id);
    if (!e)
        return;
    forgetNick(*e);
    e->packet = Packet{nick};
    ++m_nickCount[nick];
}

const QString *AgentConnections::nickOf(ConnectionId id) const
{
    const Entry *e = find(id);
    return e && e->packet ? &e->packet->Nick : nullptr;
}

ConnectionId AgentConnections::firstWithNick(const QString &nick) const
{
    if (!m_nickCount.contains(nick))
        return 0;
    for (const auto &[id, e] : m_entries) {
        if (e.packet && e.packet->Nick == nick)
            return id;
    }
    return 0;
}

bool AgentConnections::sendTo(ConnectionId id, const QString &text)
{
    Entry *e = find(id);
    return e && e->link && e->link->sendBytes(encodeAgentText(text));
}

std::vector<ConnectionId> AgentConnections::sendToNicks(const QSet<QString> &nicks, const QString &text)
{
    std::vector<ConnectionId> sent;
    if (nicks.isEmpty())
        return sent;
    const QByteArray bytes = encodeAgentText(text);
    for (auto &[id, e] : m_entries) {
        if (e.packet && nicks.contains(e.packet->Nick) && e.link->sendBytes(bytes))
            sent.push_back(id);
    }
    return sent;
}

bool AgentConnections::sendToFirstWithNick(const QString &nick, const QString &text)
{
    if (!m_nickCount.contains(nick))
        return false;
    for (auto &[id, e] : m_entries) {
        if (e.packet && e.packet->Nick == nick)
            return e.link->sendBytes(encodeAgentText(text));
    }
    return false;
}

int AgentConnections::sendToAllWithNick(const QString &nick, const QString &text)
{
    if (!m_nickCount.contains(nick))
        return 0;
    const QByteArray bytes = encodeAgentText(text);
    int sent = 0;
    for (auto &[id, e] : m_entries) {
        if (e.packet && e.packet->Nick == nick && e.link->sendBytes(bytes))
            ++sent;
    }
    return sent;
}

int AgentConnections::SendAllClients(const QString &Msg, const QString &Exception)
{
    const QByteArray bytes = encodeAgentText(Msg);
    int sent = 0;
    for (auto &[id, e] : m_entries) {
        if (e.packet && e.packet->Nick != Exception && e.link->sendBytes(bytes))
            ++sent;
    }
    return sent;
}

int AgentConnections::sendToRemoteAddresses(const QSet<QString> &addresses, const QString &text)
{
    if (addresses.isEmpty())
        return 0;
    const QByteArray bytes = encodeAgentText(text);
    int sent = 0;
    for (auto &[id, e] : m_entries) {
        if (e.packet && addresses.contains(e.link->remoteAddress()) && e.link->sendBytes(bytes))
            ++sent;
    }
    return sent;
}

} // namespace dozorix
