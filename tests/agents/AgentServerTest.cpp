// The agent server with real agents over TCP on 127.0.0.1: greeting,
// status messages, errors, disconnects, start and stop, bad peers.
#include "agents/AgentEngineSupport.h"
#include "agents/AgentServer.h"
#include "agents/AgentSocket.h"
#include "peers/AgentPeer.h"
#include "support/LocalPort.h"
#include "support/TestSupport.h"

#include <QHostAddress>
#include <QTcpServer>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct ServerFixture {
    AgentServer server;
    QStringList log;
    QStringList chatLines;
    quint16 port = 0;

    explicit ServerFixture(bool start = true)
    {
        setLogReceiver([this](const QString &text, unsigned int) { log << unstamped(text); });
        ChatRoster::Hooks hooks;
        hooks.CText2 = [this](const QString &text, unsigned int) { chatLines << unstamped(text); };
        hooks.clearTranscript = [this] { chatLines.clear(); };
        server.chat()->setHooks(hooks);
        if (start) {
            port = unusedLocalPort();
            QString error;
            EXPECT_TRUE(server.StartAgentServer(port, &error)) << error.toStdString();
        }
    }
    ~ServerFixture() { setLogReceiver({}); }

    OnlineUsersModel &rows() { return *server.onlineUsers(); }
    QString row(int r)
    {
        QStringList cells;
        for (int c = 0; c < OnlineUsersModel::ColumnCount; ++c)
            cells << rows().cell(r, c);
        return cells.join(QLatin1Char('|'));
    }
    // A connected, greeted agent that has sent its first status message.
    std::unique_ptr<AgentPeer> agent(const QString &address, const QString &user)
    {
        auto peer = std::make_unique<AgentPeer>(port);
        EXPECT_TRUE(peer->greeted());
        peer->say(statusMessage(QStringLiteral("1cv8c"), address, QStringLiteral("PC"), user));
        EXPECT_TRUE(waitUntil([&] { return rows().findRow(address) >= 0; }, 3000));
        return peer;
    }
};

} // namespace

TEST(AgentServer, GreetingFirstStatusUpdateAndShortStatus)
{
    ServerFixture f;
    EXPECT_EQ(f.log, QStringList{QStringLiteral("Сервер Dozorix успешно стартовал!")});
    int connected = 0;
    QObject::connect(&f.server, &AgentServer::clientConnected, [&] { ++connected; });
    AgentPeer peer(f.port);
    ASSERT_TRUE(peer.greeted());
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(peer.heard(), QString()); // "§" and nothing else

    peer.say(statusMessage(QStringLiteral("1С:Предприятие"), QStringLiteral("127.0.0.1"), QStringLiteral("БУХ-3"),
                           QStringLiteral("Иванов"), QStringLiteral("2"), QStringLiteral("1"), QStringLiteral("0")));
    ASSERT_TRUE(waitUntil([&] { return f.rows().rowCount() == 1; }));
    EXPECT_EQ(f.row(0), QStringLiteral("1|1С:Предприятие|127.0.0.1|БУХ-3|Иванов|2|1|0"));

    // Update in place.
    peer.say(statusMessage(QStringLiteral("Excel"), QStringLiteral("127.0.0.1"), QStringLiteral("БУХ-3"),
                           QStringLiteral("Иванов"), QStringLiteral("3"), QStringLiteral("1"), QStringLiteral("0")));
    ASSERT_TRUE(waitUntil([&] { return f.rows().cell(0, OnlineUsersModel::ColThin) == QStringLiteral("3"); }));
    EXPECT_EQ(f.row(0), QStringLiteral("1|Excel|127.0.0.1|БУХ-3|Иванов|3|1|0"));
    EXPECT_EQ(f.rows().rowCount(), 1);

    // A short status message sets only the columns its fields reach.
    const QString s = QStringLiteral("§");
    peer.say(s + QStringLiteral("agent") + s + QStringLiteral("Word") + s + QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(waitUntil([&] { return f.rows().cell(0, OnlineUsersModel::ColProgram) == QStringLiteral("Word"); }));
    EXPECT_EQ(f.row(0), QStringLiteral("1|Word|127.0.0.1|БУХ-3|Иванов|3|1|0"));
}

TEST(AgentServer, ErrorMessageAndDisconnectWhileInChat)
{
    ServerFixture f;
    auto a = f.agent(QStringLiteral("10.0.0.5"), QStringLiteral("ivanov"));
    auto b = f.agent(QStringLiteral("10.0.0.6"), QStringLiteral("petrov"));
    a->say(QStringLiteral("#inchat10.0.0.5"));
    b->say(QStringLiteral("#inchat10.0.0.6"));
    ASSERT_TRUE(waitUntil([&] { return f.server.chat()->rowCount() == 2; }));
    EXPECT_EQ(f.server.chat()->entries(),
              (QStringList{QStringLiteral("ivanov # 10.0.0.5"), QStringLiteral("petrov # 10.0.0.6")}));

    // "#err": entry and row go, the connection stays.
    a->say(QStringLiteral("#err10.0.0.5"));
    ASSERT_TRUE(waitUntil([&] { return f.rows().findRow(QStringLiteral("10.0.0.5")) < 0; }));
    EXPECT_EQ(f.server.chat()->entries(), QStringList{QStringLiteral("petrov # 10.0.0.6")});
    EXPECT_TRUE(a->connected());
    EXPECT_EQ(f.server.connectionCount(), 2u);

    // Disconnect while in the chat: entry, row and Packet go.
    b->close();
    ASSERT_TRUE(waitUntil([&] { return f.server.connectionCount() == 1; }));
    EXPECT_EQ(f.rows().rowCount(), 0);
    EXPECT_EQ(f.server.chat()->rowCount(), 0);
    EXPECT_EQ(f.chatLines.last(), QStringLiteral("Вышел из чата:10.0.0.6"));
    EXPECT_EQ(f.server.connections().countWithNick(QStringLiteral("10.0.0.6")), 0);
}

TEST(AgentServer, ResetConnectionLogsTheTwoRedLinesAndCleansUp)
{
    ServerFixture f;
    auto peer = f.agent(QStringLiteral("10.0.0.5"), QStringLiteral("ivanov"));
    f.log.clear();
    peer->reset();
    ASSERT_TRUE(waitUntil([&] { return f.server.connectionCount() == 0; }));
    EXPECT_EQ(f.log, (QStringList{QStringLiteral("Ошибка № 10054"), QStringLiteral("Ошибка на хосте: 127.0.0.1")}));
    EXPECT_EQ(f.rows().rowCount(), 0);
    // A normal close is no error.
    auto other = f.agent(QStringLiteral("10.0.0.6"), QStringLiteral("petrov"));
    other->close();
    ASSERT_TRUE(waitUntil([&] { return f.server.connectionCount() == 0; }));
    EXPECT_EQ(f.log.size(), 2);
}

TEST(AgentServer, ConnectionDroppedInTheMiddleOfAMessageLeavesNoRow)
{
    ServerFixture f;
    auto peer = f.agent(QStringLiteral("10.0.0.5"), QStringLiteral("ivanov"));
    const QByteArray whole = encodeAgentText(statusMessage(QStringLiteral("Word"), QStringLiteral("10.0.0.5"),
                                                           QStringLiteral("PC"), QStringLiteral("ivanov")));
    peer->sayBytes(whole.left(whole.size() / 2), 0);
    peer->reset();
    ASSERT_TRUE(waitUntil([&] { return f.server.connectionCount() == 0; }));
    EXPECT_EQ(f.rows().rowCount(), 0);
    // A message split over two reads is two messages; the tail matches nothing.
    auto next = f.agent(QStringLiteral("10.0.0.7"), QStringLiteral("petrov"));
    const QByteArray update = encodeAgentText(statusMessage(QStringLiteral("Excel"), QStringLiteral("10.0.0.7"),
                                                            QStringLiteral("PC"), QStringLiteral("petrov"),
                                                            QStringLiteral("9")));
    const qsizetype cut = update.indexOf("PC");
    next->sayBytes(update.left(cut));
    next->sayBytes(update.mid(cut));
    // The head ends with a sign, so its last field (the computer) is empty.
    EXPECT_EQ(f.row(0), QStringLiteral("1|Excel|10.0.0.7||petrov|1|0|0"));
}

TEST(AgentServer, CommandsReachExactlyTheAgentsOfTheGivenRows)
{
    ServerFixture f;
    auto a = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("u1"));
    auto b = f.agent(QStringLiteral("10.0.0.2"), QStringLiteral("u2"));
    auto c = f.agent(QStringLiteral("10.0.0.3"), QStringLiteral("u3"));
    const QList<int> rows = {f.rows().findRow(QStringLiteral("10.0.0.1")), f.rows().findRow(QStringLiteral("10.0.0.3"))};
    EXPECT_EQ(f.server.sendToRows(rows, AgentCommand::Reboot).size(), 2u);
    EXPECT_TRUE(a->hears(QStringLiteral("%%%1")));
    EXPECT_TRUE(c->hears(QStringLiteral("%%%1")));
    pump(100);
    EXPECT_EQ(b->heard(), QString());
    // Every announced agent, in the chat or not.
    EXPECT_EQ(f.server.SendAllClients(AgentCommand::chatLine(QStringLiteral("всем")), QString()), 3);
    EXPECT_TRUE(b->hears(QStringLiteral("#chmвсем")));
    EXPECT_TRUE(a->hears(QStringLiteral("%%%1#chmвсем")));
}

TEST(AgentServer, StopClosesEverythingAndStartWorksAgain)
{
    ServerFixture f;
    auto a = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("u1"));
    a->say(QStringLiteral("#inchat10.0.0.1"));
    ASSERT_TRUE(waitUntil([&] { return f.server.chat()->rowCount() == 1; }));
    f.log.clear();
    f.server.StopAgentServer();
    EXPECT_FALSE(f.server.isListening());
    EXPECT_EQ(f.log, QStringList{QStringLiteral("Сервер Dozorix остановлен!")});
    EXPECT_EQ(f.rows().rowCount(), 0);
    EXPECT_EQ(f.server.chat()->rowCount(), 0);
    EXPECT_TRUE(f.chatLines.isEmpty()); // no "Вышел из чата:" on stop: the transcript is emptied
    EXPECT_EQ(f.server.connectionCount(), 0u);
    EXPECT_TRUE(a->closedByConsole());
    AgentPeer refused(f.port);
    EXPECT_FALSE(refused.greeted(300));

    ASSERT_TRUE(f.server.StartAgentServer(f.port));
    EXPECT_EQ(f.log.last(), QStringLiteral("Сервер Dozorix успешно стартовал!"));
    auto again = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("u1"));
    EXPECT_EQ(f.rows().rowCount(), 1);
    // Starting again on the same port changes nothing and logs nothing.
    const int lines = f.log.size();
    EXPECT_TRUE(f.server.StartAgentServer(f.port));
    EXPECT_EQ(f.log.size(), lines);
    EXPECT_EQ(f.server.connectionCount(), 1u);
}

TEST(AgentServer, BusyOrBadPortIsAFailureWithItsReason)
{
    ServerFixture f(false);
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::AnyIPv4, 0));
    const struct {
        const char *name;
        QString port;
        bool busy;
    } cases[] = {
        {"busy port", QString::number(other.serverPort()), true},
        {"not a number", QStringLiteral("50o5"), false},
        {"empty", QString(), false},
        {"zero", QStringLiteral("0"), false},
        {"too large", QStringLiteral("70000"), false},
        {"negative", QStringLiteral("-5"), false},
    };
    for (const auto &c : cases) {
        QString error;
        EXPECT_FALSE(f.server.StartAgentServer(c.port, &error)) << c.name;
        EXPECT_FALSE(error.isEmpty()) << c.name;
        EXPECT_FALSE(f.server.isListening()) << c.name;
    }
    EXPECT_TRUE(f.log.isEmpty()); // never reported as a success
    QString error;
    f.server.StartAgentServer(QStringLiteral("abc"), &error);
    EXPECT_EQ(error, QStringLiteral("неверный номер порта \"abc\" (нужно число от 1 до 65535)"));

    // A busy port reads in Russian, with Qt's own words after it.
    f.server.StartAgentServer(other.serverPort(), &error);
    EXPECT_EQ(error, QStringLiteral("порт занят другой программой (The bound address is already in use)"));
    f.server.StartAgentServer(quint16(0), &error);
    EXPECT_EQ(error, QStringLiteral("неверный номер порта \"0\" (нужно число от 1 до 65535)"));
}

TEST(AgentServer, SilentConnectionsAreClosedAndSpeakersStay)
{
    ScopedTimeScale scale(100); // the minute of silence lasts 600 ms
    ServerFixture f;
    std::vector<std::unique_ptr<AgentPeer>> silent;
    for (int i = 0; i < 200; ++i)
        silent.push_back(std::make_unique<AgentPeer>(f.port));
    auto speaker = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("u1"));
    ASSERT_TRUE(waitUntil([&] { return f.server.connectionCount() == 1; }, 10000));
    for (auto &peer : silent)
        EXPECT_TRUE(peer->closedByConsole(1000));
    EXPECT_TRUE(speaker->connected());
    EXPECT_EQ(f.rows().rowCount(), 1);
    EXPECT_EQ(f.server.silentConnectionCount(), 0u);
}

TEST(AgentServer, OneReadIsAtMostSixtyFourKilobytes)
{
    ServerFixture f;
    auto peer = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("u1"));
    f.log.clear();
    peer->sayBytes(QByteArray("#soob") + QByteArray(300 * 1024, 'x'), 300);
    // The first read is the chat line (its text cut to the longest line the
    // console keeps); the rest arrives as reads of at most 64 KB that match
    // no prefix.
    ASSERT_EQ(f.chatLines.size(), 1);
    EXPECT_EQ(f.chatLines.first(), QStringLiteral("[10.0.0.1] ->  ") + QString(kMaxAgentLine, QLatin1Char('x')));
    EXPECT_GE(f.server.dispatcher().messages(), 1u + (300 * 1024) / AgentSocket::kMaxRead);
    // The connection goes on working.
    peer->say(QStringLiteral("#soobok"));
    ASSERT_TRUE(waitUntil([&] { return f.chatLines.size() == 2; }));
    EXPECT_EQ(f.chatLines.last(), QStringLiteral("[10.0.0.1] ->  ok"));
}

TEST(AgentServer, RefreshConnectionsClosesEveryAgentAndEmptiesTableAndChat)
{
    ServerFixture f;
    auto a = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("u1"));
    auto b = f.agent(QStringLiteral("10.0.0.2"), QStringLiteral("u2"));
    a->say(QStringLiteral("#inchat10.0.0.1"));
    ASSERT_TRUE(waitUntil([&] { return f.server.chat()->rowCount() == 1; }));
    f.server.refreshConnections();
    EXPECT_EQ(f.rows().rowCount(), 0);
    EXPECT_EQ(f.server.chat()->rowCount(), 0);
    EXPECT_TRUE(f.chatLines.isEmpty());
    EXPECT_TRUE(a->closedByConsole());
    EXPECT_TRUE(b->closedByConsole());
    // Agents reconnect and announce themselves again.
    auto back = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("u1"));
    EXPECT_EQ(f.rows().rowCount(), 1);
}

// One host may hold only so many connections: the next one from that
// address is closed before its greeting, while another host still gets in.
// The red line comes once while the host stays at its limit, and again only
// after it has dropped below and reached it anew.
TEST(AgentServer, ConnectionsPerAddressAreBoundedWithOneRedLine)
{
    const QHostAddress host(QStringLiteral("127.0.0.1"));
    const QHostAddress other(QStringLiteral("127.0.0.2"));
    const QString line = QStringLiteral("Слишком много подключений с адреса 127.0.0.1 (не больше %1): "
                                        "новые подключения с него закрываются");
    const struct {
        const char *name;
        int limit; // 0: the built-in limit
    } cases[] = {{"small limit", 3}, {"built-in limit", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ServerFixture f;
        if (c.limit > 0)
            f.server.setConnectionsPerAddressLimit(c.limit);
        const int limit = f.server.connectionsPerAddressLimit();
        std::vector<std::unique_ptr<AgentPeer>> peers;
        for (int i = 0; i < limit; ++i) {
            peers.push_back(std::make_unique<AgentPeer>(f.port, host));
            ASSERT_TRUE(peers.back()->greeted()) << i;
        }
        f.log.clear();
        // The one beyond the limit, twice: closed without a greeting, one red line.
        for (int i = 0; i < 2; ++i) {
            AgentPeer refused(f.port, host);
            EXPECT_TRUE(refused.closedByConsole());
            EXPECT_FALSE(refused.greeted(50));
        }
        EXPECT_EQ(f.log, QStringList{line.arg(limit)});
        EXPECT_EQ(f.server.connectionCount(), static_cast<std::size_t>(limit));
        // Another host is not concerned.
        AgentPeer elsewhere(f.port, other);
        EXPECT_TRUE(elsewhere.greeted());
        elsewhere.say(statusMessage(QStringLiteral("1cv8c"), QStringLiteral("127.0.0.2"), QStringLiteral("PC"),
                                    QStringLiteral("sidorov")));
        EXPECT_TRUE(waitUntil([&] { return f.rows().findRow(QStringLiteral("127.0.0.2")) >= 0; }));
        // Below the limit again: one more gets in; at the limit once more, a new line.
        peers.back()->close();
        peers.pop_back();
        ASSERT_TRUE(waitUntil([&] { return f.server.connectionCount() == static_cast<std::size_t>(limit); }));
        AgentPeer back(f.port, host);
        EXPECT_TRUE(back.greeted());
        AgentPeer refused(f.port, host);
        EXPECT_TRUE(refused.closedByConsole());
        EXPECT_EQ(f.log, (QStringList{line.arg(limit), line.arg(limit)}));
    }
}

// The rows the connections of one host own together are bounded: a status
// message for a new address from a host at its limit adds no row (rows it
// has still update), with one red line; other hosts are not concerned; when
// the host's rows go, it may add rows again.
TEST(AgentServer, RowsPerAddressAreBoundedWithOneRedLine)
{
    ServerFixture f;
    f.server.dispatcher().setRowsPerAddressLimit(20);
    const QHostAddress host(QStringLiteral("127.0.0.1"));
    const QString line = QStringLiteral("Слишком много строк с адреса 127.0.0.1 (не больше 20): "
                                        "новые строки с него не добавляются");
    auto announce = [&](AgentPeer &peer, const QString &prefix, int from, int count) {
        for (int i = from; i < from + count; ++i)
            peer.say(statusMessage(QStringLiteral("1cv8c"), prefix + QString::number(i), QStringLiteral("PC"),
                                   QStringLiteral("u%1").arg(i)));
    };
    AgentPeer a(f.port, host);
    AgentPeer b(f.port, host);
    AgentPeer c(f.port, QHostAddress(QStringLiteral("127.0.0.3")));
    ASSERT_TRUE(a.greeted() && b.greeted() && c.greeted());
    f.log.clear();
    announce(a, QStringLiteral("10.1.0."), 0, 16);
    ASSERT_TRUE(waitUntil([&] { return f.rows().rowCount() == 16; }));
    announce(b, QStringLiteral("10.2.0."), 0, 10);
    ASSERT_TRUE(waitUntil([&] { return f.server.dispatcher().statusMessages() == 26; }));
    EXPECT_EQ(f.rows().rowCount(), 20);
    EXPECT_EQ(f.rows().rowsOwnedBy(f.rows().owner(0)), 4);
    EXPECT_EQ(f.rows().findRow(QStringLiteral("10.2.0.4")), -1);
    EXPECT_EQ(f.log, QStringList{line});
    // A row it has still updates.
    b.say(statusMessage(QStringLiteral("Excel"), QStringLiteral("10.2.0.0"), QStringLiteral("PC"), QStringLiteral("u0")));
    ASSERT_TRUE(waitUntil([&] {
        const int row = f.rows().findRow(QStringLiteral("10.2.0.0"));
        return row >= 0 && f.rows().cell(row, OnlineUsersModel::ColProgram) == QStringLiteral("Excel");
    }));
    // Another host fills its own share.
    announce(c, QStringLiteral("10.3.0."), 0, 16);
    ASSERT_TRUE(waitUntil([&] { return f.rows().rowCount() == 36; }));
    EXPECT_EQ(f.log, QStringList{line});
    // The first connection goes with its 16 rows: room again, up to the limit,
    // then a second line.
    a.close();
    ASSERT_TRUE(waitUntil([&] { return f.rows().rowCount() == 20; }));
    announce(b, QStringLiteral("10.2.1."), 0, 16);
    ASSERT_TRUE(waitUntil([&] { return f.server.dispatcher().statusMessages() == 59; }));
    EXPECT_EQ(f.rows().rowsOfHost(QStringLiteral("127.0.0.1")), 16); // its own per-connection limit
    EXPECT_EQ(f.log, QStringList{line});
    AgentPeer d(f.port, host);
    ASSERT_TRUE(d.greeted());
    announce(d, QStringLiteral("10.4.0."), 0, 8);
    ASSERT_TRUE(waitUntil([&] { return f.server.dispatcher().statusMessages() == 67; }));
    EXPECT_EQ(f.rows().rowsOfHost(QStringLiteral("127.0.0.1")), 20);
    EXPECT_EQ(f.rows().findRow(QStringLiteral("10.4.0.4")), -1);
    EXPECT_EQ(f.log, (QStringList{line, line}));
    EXPECT_TRUE(f.rows().consistent());
}
