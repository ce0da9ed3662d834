// The chat engine over fake connections: joins, leaves, lines, and the
// administrator's actions with what each agent receives.
#include "agents/AgentEngineSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

// Three agents in the chat: ivanov, petrov, sidorov at 10.0.0.1 … 3, plus an
// announced agent outside the chat at 10.0.0.4 and an unannounced connection.
struct ChatFixture : Engines {
    ConnectionId a, b, c, outside, silent;
    ChatFixture()
    {
        a = connect();
        b = connect();
        c = connect();
        outside = connect();
        silent = connect();
        announce(a, QStringLiteral("10.0.0.1"), QStringLiteral("ivanov"));
        announce(b, QStringLiteral("10.0.0.2"), QStringLiteral("petrov"));
        announce(c, QStringLiteral("10.0.0.3"), QStringLiteral("sidorov"));
        announce(outside, QStringLiteral("10.0.0.4"), QStringLiteral("kuznetsov"));
        read(a, QStringLiteral("#inchat10.0.0.1"));
        read(b, QStringLiteral("#inchat10.0.0.2"));
        read(c, QStringLiteral("#inchat10.0.0.3"));
        chatLines.clear();
        chatColours.clear();
        forgetSent();
    }
};

} // namespace

TEST(ChatRoster, JoinShowsUserAndAddressAndLeaveRemovesIt)
{
    Engines e;
    const ConnectionId c = e.connect();
    e.announce(c, QStringLiteral("10.0.0.5"), QStringLiteral("ivanov"));
    e.read(c, QStringLiteral("#inchat10.0.0.5"));
    EXPECT_EQ(e.chat.entries(), QStringList{QStringLiteral("ivanov # 10.0.0.5")});
    EXPECT_EQ(e.chatLines, QStringList{QStringLiteral("В чат вошел хост:10.0.0.5")});
    EXPECT_EQ(e.chatColours, QList<unsigned int>{kChatGrey});
    // A repeated join keeps one entry.
    e.read(c, QStringLiteral("#inchat10.0.0.5"));
    EXPECT_EQ(e.chat.rowCount(), 1);
    e.read(c, QStringLiteral("#ofchat10.0.0.5"));
    EXPECT_EQ(e.chat.rowCount(), 0);
    EXPECT_EQ(e.chatLines.last(), QStringLiteral("Вышел из чата:10.0.0.5"));
    // A leave for an address that is not in the chat writes nothing.
    const int lines = e.chatLines.size();
    e.read(c, QStringLiteral("#ofchat10.0.0.99"));
    EXPECT_EQ(e.chatLines.size(), lines);
    // A join for an address without a row shows an empty user part.
    e.read(c, QStringLiteral("#inchat10.0.0.99"));
    EXPECT_EQ(e.chat.entries(), QStringList{QStringLiteral(" # 10.0.0.99")});
}

TEST(ChatRoster, UserLinesAndTheEventLogWhileAnotherTabIsShown)
{
    ChatFixture f;
    f.chatShown = false;
    f.read(f.a, QStringLiteral("#soobдобрый день"));
    EXPECT_EQ(f.chatLines, QStringList{QStringLiteral("[10.0.0.1] ->  добрый день")});
    EXPECT_EQ(f.chatColours, QList<unsigned int>{kChatUser});
    EXPECT_EQ(f.log, QStringList{QStringLiteral("Новое сообщение в чате от хоста: [10.0.0.1] ->  добрый день")});
    EXPECT_EQ(f.logColours, QList<unsigned int>{0x008000u});
    f.chatShown = true;
    f.read(f.b, QStringLiteral("#soobok"));
    EXPECT_EQ(f.chatLines.last(), QStringLiteral("[10.0.0.2] ->  ok"));
    EXPECT_EQ(f.log.size(), 1);
    // An unannounced connection's line is dropped.
    f.read(f.silent, QStringLiteral("#soobhello"));
    EXPECT_EQ(f.chatLines.size(), 2);
}

TEST(ChatRoster, SendReachesExactlyTheSelectedEntries)
{
    ChatFixture f;
    f.chat.send({0, 2}, QStringLiteral("Перезагрузка в 18:00"));
    EXPECT_EQ(f.sentTo(f.a), QStringList{QStringLiteral("#chmПерезагрузка в 18:00")});
    EXPECT_TRUE(f.sentTo(f.b).isEmpty());
    EXPECT_EQ(f.sentTo(f.c), QStringList{QStringLiteral("#chmПерезагрузка в 18:00")});
    EXPECT_TRUE(f.sentTo(f.outside).isEmpty());
    EXPECT_EQ(f.chatLines, (QStringList{QStringLiteral("[ivanov # 10.0.0.1] <- Перезагрузка в 18:00"),
                                        QStringLiteral("[sidorov # 10.0.0.3] <- Перезагрузка в 18:00")}));
    EXPECT_EQ(f.chatColours, (QList<unsigned int>{kChatAdmin, kChatAdmin}));
    // An empty input still sends the prefix alone.
    f.forgetSent();
    f.chat.send({1}, QString());
    EXPECT_EQ(f.sentTo(f.b), QStringList{QStringLiteral("#chm")});
}

TEST(ChatRoster, SendToAllReachesEveryAnnouncedAgentOnlyWithTextAndParticipants)
{
    ChatFixture f;
    EXPECT_TRUE(f.chat.sendToAll(QStringLiteral("всем привет")));
    for (ConnectionId id : {f.a, f.b, f.c, f.outside})
        EXPECT_EQ(f.sentTo(id), QStringList{QStringLiteral("#chmвсем привет")});
    EXPECT_TRUE(f.sentTo(f.silent).isEmpty());
    EXPECT_EQ(f.chatLines, QStringList{QStringLiteral("[ВСЕМ] <- всем привет")});

    // Empty input, or nobody in the chat: nothing at all.
    f.forgetSent();
    f.chatLines.clear();
    EXPECT_FALSE(f.chat.sendToAll(QString()));
    f.chat.clearAll();
    EXPECT_FALSE(f.chat.sendToAll(QStringLiteral("x")));
    for (ConnectionId id : {f.a, f.b, f.c, f.outside})
        EXPECT_TRUE(f.sentTo(id).isEmpty());
    EXPECT_TRUE(f.chatLines.isEmpty());
}

TEST(ChatRoster, KickAndRejoin)
{
    ChatFixture f;
    f.chat.kick({1});
    EXPECT_EQ(f.sentTo(f.b), QStringList{QStringLiteral("#cch")});
    EXPECT_TRUE(f.sentTo(f.a).isEmpty());
    EXPECT_EQ(f.chatLines, QStringList{QStringLiteral("[petrov # 10.0.0.2] <- Отправлена команда на выход из чата!")});
    // The entry stays until the agent answers.
    EXPECT_EQ(f.chat.rowCount(), 3);

    f.forgetSent();
    const int clears = f.transcriptClears;
    f.chat.rejoinAll();
    for (ConnectionId id : {f.a, f.b, f.c})
        EXPECT_EQ(f.sentTo(id), QStringList{QStringLiteral("#cnn")});
    EXPECT_TRUE(f.sentTo(f.outside).isEmpty());
    EXPECT_EQ(f.chat.rowCount(), 0);
    EXPECT_EQ(f.transcriptClears, clears + 1);
    // The list is rebuilt only from new joins.
    f.read(f.b, QStringLiteral("#inchat10.0.0.2"));
    EXPECT_EQ(f.chat.entries(), QStringList{QStringLiteral("petrov # 10.0.0.2")});
}

TEST(ChatRoster, UserNameWithHashStillReachesItsAgent)
{
    Engines e;
    const ConnectionId c = e.connect();
    e.announce(c, QStringLiteral("10.0.0.5"), QStringLiteral("#admin"));
    e.read(c, QStringLiteral("#inchat10.0.0.5"));
    EXPECT_EQ(e.chat.entries(), QStringList{QStringLiteral("#admin # 10.0.0.5")});
    e.forgetSent();
    e.chat.send({0}, QStringLiteral("hi"));
    e.chat.kick({0});
    EXPECT_EQ(e.sentTo(c), (QStringList{QStringLiteral("#chmhi"), QStringLiteral("#cch")}));
    e.end(c);
    EXPECT_EQ(e.chat.rowCount(), 0);
}

TEST(ChatRoster, EntryGoesWhenItsAgentLeavesEvenAfterARename)
{
    Engines e;
    const ConnectionId c = e.connect();
    e.announce(c, QStringLiteral("10.0.0.5"), QStringLiteral("ivanov"));
    e.read(c, QStringLiteral("#inchat10.0.0.5"));
    // The user name in the row changes after the join.
    e.announce(c, QStringLiteral("10.0.0.5"), QStringLiteral("ivanov2"));
    e.read(c, QStringLiteral("#ofchat10.0.0.5"));
    EXPECT_EQ(e.chat.rowCount(), 0);
}
