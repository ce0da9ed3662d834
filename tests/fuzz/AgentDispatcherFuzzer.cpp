// libFuzzer target for the agent message dispatcher.
//
// The input is a script of operations on up to eight fake agent connections:
// connect, one read of arbitrary bytes, end, and the administrator's sends.
// After every operation the engines must agree with each other, and when
// the script ends every connection is ended: then no row and no chat entry
// may be left. Any disagreement aborts, so libFuzzer reports it as a crash.
//
// Script bytes: [op] [connection] [length (2 bytes, little endian)] [bytes…]
#include "agents/AgentConnections.h"
#include "agents/AgentDispatcher.h"
#include "agents/AgentWire.h"
#include "agents/ChatRoster.h"
#include "agents/OnlineUsersModel.h"

#include <QList>
#include <QSet>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

using namespace dozorix;

namespace {

class FuzzLink : public AgentLink
{
public:
    bool sendBytes(const QByteArray &bytes) override
    {
        if (failing)
            return false;
        sentBytes += bytes.size();
        return true;
    }
    QString remoteAddress() const override { return QStringLiteral("10.0.0.1"); }
    bool failing = false;
    qint64 sentBytes = 0;
};

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

struct World {
    AgentConnections connections;
    OnlineUsersModel rows;
    ChatRoster chat{connections, rows};
    AgentDispatcher dispatcher{connections, rows, chat};
    std::map<ConnectionId, std::unique_ptr<FuzzLink>> links;
    ConnectionId nextId = 1;
    int transcriptLines = 0;

    World()
    {
        ChatRoster::Hooks hooks;
        hooks.CText2 = [this](const QString &, unsigned int) { ++transcriptLines; };
        hooks.clearTranscript = [this] { transcriptLines = 0; };
        hooks.chatTabSelected = [] { return false; };
        chat.setHooks(hooks);
    }

    ConnectionId pick(uint8_t which) const
    {
        if (links.empty())
            return 0;
        auto it = links.begin();
        std::advance(it, which % links.size());
        return it->first;
    }

    void end(ConnectionId id)
    {
        dispatcher.ClientExit(id);
        links.erase(id);
    }

    void check() const
    {
        if (!rows.consistent())
            fail("address index");
        if (connections.size() != links.size())
            fail("connection list");
        std::map<ConnectionId, int> placeholders;
        for (int r = 0; r < rows.rowCount(); ++r) {
            const ConnectionId owner = rows.owner(r);
            if (!links.count(owner))
                fail("row owned by an ended connection");
            if (!rows.hasColumns(r))
                ++placeholders[owner];
        }
        QHash<QString, int> nicks;
        for (const auto &[id, link] : links) {
            const AgentConnections::Entry *e = connections.find(id);
            if (!e)
                fail("link without entry");
            if (placeholders[id] != (e->hasPlaceholder ? 1 : 0))
                fail("rows without columns per connection");
            if (e->packet)
                ++nicks[e->packet->Nick];
        }
        for (auto it = nicks.cbegin(); it != nicks.cend(); ++it) {
            if (connections.countWithNick(it.key()) != it.value())
                fail("nick count");
        }
        for (int i = 0; i < chat.rowCount(); ++i) {
            if (!links.count(chat.entryOwner(i)))
                fail("chat entry owned by an ended connection");
        }
    }
};

QList<int> selection(uint8_t mask, int count)
{
    QList<int> out;
    for (int i = 0; i < 8 && i < count; ++i) {
        if (mask & (1u << i))
            out << i;
    }
    out << count + 1; // a row past the end is ignored
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    World w;
    size_t i = 0;
    while (i + 4 <= size) {
        const uint8_t op = data[i];
        const uint8_t which = data[i + 1];
        size_t length = static_cast<size_t>(data[i + 2]) | (static_cast<size_t>(data[i + 3]) << 8);
        i += 4;
        if (length > size - i)
            length = size - i;
        const QByteArray bytes(reinterpret_cast<const char *>(data + i), static_cast<qsizetype>(length));
        switch (op % 10) {
        case 0: // connect
            if (w.links.size() < 8) {
                const ConnectionId id = w.nextId++;
                auto link = std::make_unique<FuzzLink>();
                w.connections.add(id, link.get());
                w.links[id] = std::move(link);
            }
            break;
        case 1: // one read
        case 2:
        case 3:
            if (const ConnectionId id = w.pick(which)) {
                w.dispatcher.ServerSocket1ClientRead(id, bytes);
                i += length;
            }
            break;
        case 4: // the connection ends
            if (const ConnectionId id = w.pick(which))
                w.end(id);
            break;
        case 5: { // a command to selected rows
            QSet<QString> nicks;
            for (int r : selection(which, w.rows.rowCount())) {
                if (w.rows.hasColumns(r))
                    nicks.insert(w.rows.cell(r, OnlineUsersModel::ColAddress));
            }
            w.connections.sendToNicks(nicks, AgentCommand::Reboot);
            break;
        }
        case 6: // chat: send to selected entries, or to everybody
            if (which & 1)
                w.chat.send(selection(which >> 1, w.chat.rowCount()), decodeAgentText(bytes));
            else
                w.chat.sendToAll(decodeAgentText(bytes));
            i += length;
            break;
        case 7: // kick or rejoin
            if (which & 1)
                w.chat.kick(selection(which >> 1, w.chat.rowCount()));
            else
                w.chat.rejoinAll();
            break;
        case 8: // a link fails: sends to it are refused from now on
            if (const ConnectionId id = w.pick(which))
                w.links[id]->failing = true;
            break;
        case 9: // the 3-second tick
            w.rows.sums();
            w.rows.renumber();
            break;
        }
        w.check();
    }
    // Every connection ends: nothing may be left behind.
    while (!w.links.empty())
        w.end(w.links.begin()->first);
    w.check();
    if (w.rows.rowCount() != 0)
        fail("row left after every connection ended");
    if (w.chat.rowCount() != 0)
        fail("chat entry left after every connection ended");
    return 0;
}
