#pragma once
// The agent engines wired together over fake connections, with the chat
// transcript and the event log captured as text.

#include "agents/AgentConnections.h"
#include "agents/AgentDispatcher.h"
#include "agents/AgentWire.h"
#include "agents/ChatRoster.h"
#include "agents/OnlineUsersModel.h"
#include "common/LogSink.h"
#include "peers/AgentPeer.h"
#include "support/TestSupport.h"

#include <QStringList>

#include <map>
#include <memory>

namespace dozorix::test {

struct Engines {
    AgentConnections connections;
    OnlineUsersModel rows;
    ChatRoster chat{connections, rows};
    AgentDispatcher dispatcher{connections, rows, chat};
    std::map<ConnectionId, std::unique_ptr<FakeLink>> links;
    ConnectionId nextId = 1;

    QStringList chatLines; // without stamps
    QList<unsigned int> chatColours;
    int transcriptClears = 0;
    QStringList log; // without stamps
    QList<unsigned int> logColours;
    bool chatShown = false;

    Engines()
    {
        ChatRoster::Hooks hooks;
        hooks.CText2 = [this](const QString &text, unsigned int colour) {
            chatLines << unstamped(text);
            chatColours << colour;
        };
        hooks.clearTranscript = [this] {
            chatLines.clear();
            ++transcriptClears;
        };
        hooks.chatTabSelected = [this] { return chatShown; };
        chat.setHooks(hooks);
        setLogReceiver([this](const QString &text, unsigned int rgb) {
            log << unstamped(text);
            logColours << rgb;
        });
    }
    ~Engines() { setLogReceiver({}); }

    ConnectionId connect(const QString &remote = QStringLiteral("10.0.0.1"))
    {
        const ConnectionId id = nextId++;
        auto link = std::make_unique<FakeLink>(remote);
        connections.add(id, link.get());
        links[id] = std::move(link);
        return id;
    }
    void read(ConnectionId id, const QString &text) { dispatcher.ServerSocket1ClientRead(id, encodeAgentText(text)); }
    void readBytes(ConnectionId id, const QByteArray &bytes) { dispatcher.ServerSocket1ClientRead(id, bytes); }
    void end(ConnectionId id)
    {
        dispatcher.ClientExit(id);
        links.erase(id);
    }
    // Messages sent to a connection, decoded.
    QStringList sentTo(ConnectionId id) const
    {
        QStringList out;
        for (const QByteArray &b : links.at(id)->sent)
            out << decodeAgentText(b);
        return out;
    }
    void forgetSent()
    {
        for (auto &[id, link] : links)
            link->sent.clear();
    }
    // A row as "№|program|IP|computer|user|thin|thick|v7".
    QString row(int r) const
    {
        QStringList cells;
        for (int c = 0; c < OnlineUsersModel::ColumnCount; ++c)
            cells << rows.cell(r, c);
        return cells.join(QLatin1Char('|'));
    }
    QStringList table() const
    {
        QStringList out;
        for (int r = 0; r < rows.rowCount(); ++r)
            out << row(r);
        return out;
    }
    // Announces id as a full agent at address with user.
    void announce(ConnectionId id, const QString &address, const QString &user, const QString &thin = QStringLiteral("1"))
    {
        read(id, statusMessage(QStringLiteral("1cv8c"), address, QStringLiteral("PC"), user, thin));
    }
};

} // namespace dozorix::test
