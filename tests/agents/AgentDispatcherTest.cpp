// The dispatcher over fake connections: status messages of every length,
// the edge cases of the table and of ClientExit, bad input.
#include "agents/AgentEngineSupport.h"
#include "support/TestSupport.h"

#include <QRandomGenerator>

#include <algorithm>
#include <map>
#include <optional>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

const QString S = QStringLiteral("§");
const QString kAddress = QStringLiteral("10.0.0.9");

// A status message of n fields: field 0 empty, field 3 the address, field i
// "<prefix>i" otherwise.
QString fieldsMessage(int n, const QString &prefix)
{
    QStringList fields;
    for (int i = 0; i < n; ++i) {
        if (i == 0)
            fields << QString();
        else if (i == 3)
            fields << kAddress;
        else
            fields << prefix + QString::number(i);
    }
    return fields.join(S);
}

} // namespace

TEST(AgentDispatcher, StatusMessagesOfOneToThirtyFields)
{
    for (int n = 1; n <= 30; ++n) {
        SCOPED_TRACE(n);
        // A new address on an empty table: registered from four fields on,
        // a row only with all nine.
        {
            Engines e;
            const ConnectionId c = e.connect();
            e.read(c, fieldsMessage(n, QStringLiteral("v")));
            const QString *nick = e.connections.nickOf(c);
            EXPECT_EQ(nick != nullptr, n >= 4);
            if (nick) {
                EXPECT_EQ(*nick, kAddress);
            }
            if (n >= 9) {
                EXPECT_EQ(e.table(), QStringList{QStringLiteral("1|v2|10.0.0.9|v4|v5|v6|v7|v8")});
            } else {
                EXPECT_EQ(e.rows.rowCount(), 0);
            }
            EXPECT_TRUE(e.rows.consistent());
        }
        // An address that has a row: updated as far as the fields reach.
        {
            Engines e;
            const ConnectionId c = e.connect();
            e.read(c, fieldsMessage(9, QStringLiteral("old")));
            e.read(c, fieldsMessage(n, QStringLiteral("new")));
            QStringList expected = {QStringLiteral("1"), QStringLiteral("old2"), kAddress, QStringLiteral("old4"),
                                    QStringLiteral("old5"), QStringLiteral("old6"), QStringLiteral("old7"),
                                    QStringLiteral("old8")};
            // Nothing happens without field 3, the address.
            for (int field = 2; n >= 4 && field < std::min(n, 9); ++field) {
                if (field != 3)
                    expected[field - 1] = QStringLiteral("new%1").arg(field);
            }
            EXPECT_EQ(e.table(), QStringList{expected.join(QLatin1Char('|'))});
            EXPECT_EQ(e.rows.rowCount(), 1);
        }
    }
}

TEST(AgentDispatcher, NewRowsGoOnTopAndUpdatesStayInPlace)
{
    Engines e;
    const ConnectionId a = e.connect();
    const ConnectionId b = e.connect();
    e.read(a, statusMessage(QStringLiteral("1cv8c"), QStringLiteral("10.0.0.1"), QStringLiteral("PC-1"), QStringLiteral("ivanov")));
    e.read(b, statusMessage(QStringLiteral("Excel"), QStringLiteral("10.0.0.2"), QStringLiteral("PC-2"), QStringLiteral("petrov")));
    EXPECT_EQ(e.table(), (QStringList{QStringLiteral("1|Excel|10.0.0.2|PC-2|petrov|1|0|0"),
                                      QStringLiteral("2|1cv8c|10.0.0.1|PC-1|ivanov|1|0|0")}));
    // The same message with another field 6 updates that row, numbering unchanged.
    e.read(a, statusMessage(QStringLiteral("1cv8c"), QStringLiteral("10.0.0.1"), QStringLiteral("PC-1"), QStringLiteral("ivanov"),
                            QStringLiteral("3")));
    EXPECT_EQ(e.table(), (QStringList{QStringLiteral("1|Excel|10.0.0.2|PC-2|petrov|1|0|0"),
                                      QStringLiteral("2|1cv8c|10.0.0.1|PC-1|ivanov|3|0|0")}));
    EXPECT_EQ(*e.connections.nickOf(a), QStringLiteral("10.0.0.1"));
    EXPECT_EQ(*e.connections.nickOf(b), QStringLiteral("10.0.0.2"));
}

TEST(AgentDispatcher, EmptyActiveProgramMakesOneRowWithoutColumnsThatGoesWithItsConnection)
{
    Engines e;
    const ConnectionId known = e.connect();
    e.announce(known, QStringLiteral("10.0.0.1"), QStringLiteral("ivanov"));
    const ConnectionId c = e.connect();
    const QString blank = statusMessage(QString(), QStringLiteral("10.0.0.7"), QStringLiteral("PC-7"), QStringLiteral("sidorov"));
    e.read(c, blank);
    EXPECT_EQ(e.table(), (QStringList{QStringLiteral("1|||||||"), QStringLiteral("2|1cv8c|10.0.0.1|PC|ivanov|1|0|0")}));
    EXPECT_EQ(e.connections.nickOf(c), nullptr);
    // Repeats add nothing more, the row never matches and adds nothing to the sums.
    for (int i = 0; i < 50; ++i)
        e.read(c, blank);
    EXPECT_EQ(e.rows.rowCount(), 2);
    EXPECT_EQ(e.rows.findRow(QString()), -1);
    EXPECT_EQ(e.rows.sums().thin, 1);
    e.end(c);
    EXPECT_EQ(e.table(), QStringList{QStringLiteral("2|1cv8c|10.0.0.1|PC|ivanov|1|0|0")});
}

TEST(AgentDispatcher, TwoMessagesInOneReadAreOneWithSeventeenFields)
{
    Engines e;
    const ConnectionId c = e.connect();
    e.read(c, statusMessage(QStringLiteral("first"), QStringLiteral("10.0.0.1"), QStringLiteral("PC-1"), QStringLiteral("ivanov"))
                  + statusMessage(QStringLiteral("second"), QStringLiteral("10.0.0.2"), QStringLiteral("PC-2"), QStringLiteral("petrov")));
    EXPECT_EQ(e.table(), QStringList{QStringLiteral("1|first|10.0.0.1|PC-1|ivanov|1|0|0")});
}

TEST(AgentDispatcher, BadInputCostsAtMostItsMessage)
{
    QByteArray megabyte(1 << 20, Qt::Uninitialized);
    QRandomGenerator rng(42);
    for (char &ch : megabyte)
        ch = static_cast<char>(rng.bounded(256));
    const QByteArray signs(1 << 20, '\xA7');
    const struct {
        const char *name;
        QByteArray bytes;
    } cases[] = {
        {"no prefix", "hello"},
        {"prefix alone #zek", "#zek"},
        {"prefix alone #err", "#err"},
        {"prefix alone #inchat", "#inchat"},
        {"prefix alone #ofchat", "#ofchat"},
        {"prefix alone #soob", "#soob"},
        {"prefix alone sign", "\xA7"},
        {"unassigned and control bytes", QByteArray("\xA7\x98\x00\xFF\xA7\x01\xA7\x0A\x0D", 9)},
        {"random megabyte", megabyte},
        {"megabyte of signs", signs},
        {"megabyte status", QByteArray("\xA7x\xA7y\xA7") + QByteArray(1 << 20, 'z')},
    };
    for (const auto &c : cases) {
        Engines e;
        const ConnectionId known = e.connect();
        e.announce(known, QStringLiteral("10.0.0.1"), QStringLiteral("ivanov"));
        const ConnectionId c1 = e.connect();
        e.readBytes(c1, c.bytes);
        // The known agent's row is untouched and the engines stay consistent.
        EXPECT_EQ(e.rows.findRow(QStringLiteral("10.0.0.1")) >= 0, true) << c.name;
        EXPECT_TRUE(e.rows.consistent()) << c.name;
        EXPECT_LE(e.rows.rowCount(), 2) << c.name;
        // The connection still works: a proper status message follows.
        e.announce(c1, QStringLiteral("10.0.0.2"), QStringLiteral("petrov"));
        EXPECT_GE(e.rows.findRow(QStringLiteral("10.0.0.2")), 0) << c.name;
        e.end(c1);
        e.end(known);
        EXPECT_EQ(e.rows.rowCount(), 0) << c.name;
        EXPECT_EQ(e.chat.rowCount(), 0) << c.name;
    }
}

TEST(AgentDispatcher, LongTextIsCutToWhatTheWindowCanShow)
{
    Engines e;
    const ConnectionId c = e.connect();
    const QString huge(1 << 20, QLatin1Char('x'));
    e.read(c, statusMessage(huge, QStringLiteral("10.0.0.1") + huge, QStringLiteral("PC"), QStringLiteral("u")));
    ASSERT_EQ(e.rows.rowCount(), 1);
    EXPECT_EQ(e.rows.cell(0, OnlineUsersModel::ColProgram), huge.left(kMaxAgentField));
    const QString address = (QStringLiteral("10.0.0.1") + huge).left(kMaxAgentField);
    EXPECT_EQ(*e.connections.nickOf(c), address);
    // The address of a join is cut the same way, so it still finds its agent.
    e.read(c, QStringLiteral("#inchat10.0.0.1") + huge);
    e.chat.send({0}, QStringLiteral("hi"));
    EXPECT_EQ(e.sentTo(c), QStringList{QStringLiteral("#chmhi")});
    e.read(c, QStringLiteral("#soob") + huge);
    e.read(c, QStringLiteral("#zek") + huge);
    EXPECT_EQ(e.chatLines.last(), QStringLiteral("[") + address + QStringLiteral("] ->  ") + huge.left(kMaxAgentLine));
    EXPECT_EQ(e.log.last(), QStringLiteral("Пользователю нужна помощь! запросил посмотреть эго экран, ") + huge.left(kMaxAgentLine));
}

TEST(AgentDispatcher, UnknownMessagesLeaveNoTrace)
{
    Engines e;
    const ConnectionId c = e.connect();
    e.announce(c, QStringLiteral("10.0.0.1"), QStringLiteral("ivanov"));
    const QStringList before = e.table();
    for (const QString &text : {QStringLiteral("#SOOBhi"), QStringLiteral("#ZEK"), QStringLiteral("hello"), QStringLiteral(" §x")})
        e.read(c, text);
    EXPECT_EQ(e.table(), before);
    EXPECT_TRUE(e.log.isEmpty());
    EXPECT_TRUE(e.chatLines.isEmpty());
}

TEST(AgentDispatcher, HelpRequestLogsTheRestUnchanged)
{
    Engines e;
    const ConnectionId c = e.connect();
    e.read(c, QStringLiteral("#zek ivanov  PC-12 "));
    ASSERT_EQ(e.log.size(), 1);
    EXPECT_EQ(e.log[0], QStringLiteral("Пользователю нужна помощь! запросил посмотреть эго экран,  ivanov  PC-12 "));
    EXPECT_EQ(e.logColours[0], 0x008000u);
}

TEST(AgentDispatcher, ErrorMessageRemovesChatEntryAndRowButKeepsTheConnection)
{
    Engines e;
    const ConnectionId c = e.connect();
    e.announce(c, QStringLiteral("10.0.0.5"), QStringLiteral("ivanov"));
    e.read(c, QStringLiteral("#inchat10.0.0.5"));
    e.read(c, QStringLiteral("#err10.0.0.5"));
    EXPECT_EQ(e.rows.rowCount(), 0);
    EXPECT_EQ(e.chat.rowCount(), 0);
    EXPECT_EQ(e.chatLines, (QStringList{QStringLiteral("В чат вошел хост:10.0.0.5"), QStringLiteral("Вышел из чата:10.0.0.5")}));
    ASSERT_NE(e.connections.nickOf(c), nullptr);
    // The next status message adds the row again.
    e.announce(c, QStringLiteral("10.0.0.5"), QStringLiteral("ivanov"));
    EXPECT_EQ(e.table(), QStringList{QStringLiteral("1|1cv8c|10.0.0.5|PC|ivanov|1|0|0")});
}

TEST(AgentDispatcher, ClientExitRemovesChatEntryAndRowWithoutRenumbering)
{
    Engines e;
    const ConnectionId a = e.connect();
    const ConnectionId b = e.connect();
    e.announce(a, QStringLiteral("10.0.0.1"), QStringLiteral("ivanov"));
    e.announce(b, QStringLiteral("10.0.0.2"), QStringLiteral("petrov"));
    e.read(b, QStringLiteral("#inchat10.0.0.2"));
    e.end(b);
    EXPECT_EQ(e.table(), QStringList{QStringLiteral("2|1cv8c|10.0.0.1|PC|ivanov|1|0|0")});
    EXPECT_EQ(e.chat.rowCount(), 0);
    EXPECT_EQ(e.chatLines.last(), QStringLiteral("Вышел из чата:10.0.0.2"));
    EXPECT_EQ(e.chatColours.last(), kChatGrey);
    EXPECT_EQ(e.connections.countWithNick(QStringLiteral("10.0.0.2")), 0);
    e.rows.renumber();
    EXPECT_EQ(e.rows.cell(0, OnlineUsersModel::ColNumber), QStringLiteral("1"));
    // A connection that never announced itself changes nothing when it ends.
    const ConnectionId silent = e.connect();
    const QStringList before = e.table();
    e.end(silent);
    EXPECT_EQ(e.table(), before);
}

TEST(AgentDispatcher, ReconnectedAgentKeepsItsRowWhenTheOldConnectionEnds)
{
    Engines e;
    const ConnectionId old = e.connect();
    e.announce(old, QStringLiteral("10.0.0.5"), QStringLiteral("ivanov"));
    e.read(old, QStringLiteral("#inchat10.0.0.5"));
    // The agent comes back on a new connection before the old one is seen to end.
    const ConnectionId fresh = e.connect();
    e.announce(fresh, QStringLiteral("10.0.0.5"), QStringLiteral("ivanov"), QStringLiteral("2"));
    ASSERT_NE(e.connections.nickOf(fresh), nullptr);
    // Commands reach the live connection too.
    e.forgetSent();
    e.connections.sendToNicks({QStringLiteral("10.0.0.5")}, AgentCommand::Reboot);
    EXPECT_EQ(e.sentTo(fresh), QStringList{QStringLiteral("%%%1")});
    EXPECT_EQ(e.sentTo(old), QStringList{QStringLiteral("%%%1")});
    e.end(old);
    EXPECT_EQ(e.table(), QStringList{QStringLiteral("1|1cv8c|10.0.0.5|PC|ivanov|2|0|0")});
    EXPECT_EQ(e.chat.entries(), QStringList{QStringLiteral("ivanov # 10.0.0.5")});
    e.end(fresh);
    EXPECT_EQ(e.rows.rowCount(), 0);
    EXPECT_EQ(e.chat.rowCount(), 0);
}

TEST(AgentDispatcher, RowsOfEarlierAddressesGoWithTheirConnection)
{
    Engines e;
    const ConnectionId c = e.connect();
    e.announce(c, QStringLiteral("10.0.0.5"), QStringLiteral("ivanov"));
    e.announce(c, QStringLiteral("10.0.0.6"), QStringLiteral("ivanov"));
    e.read(c, QStringLiteral("#inchat10.0.0.77"));
    EXPECT_EQ(e.rows.rowCount(), 2);
    e.end(c);
    EXPECT_EQ(e.rows.rowCount(), 0);
    EXPECT_EQ(e.chat.rowCount(), 0);
}

TEST(AgentDispatcher, OneConnectionCannotFillTheTableOrTheChat)
{
    Engines e;
    const ConnectionId other = e.connect();
    e.announce(other, QStringLiteral("10.1.0.1"), QStringLiteral("kept"));
    const ConnectionId c = e.connect();
    for (int i = 0; i < 100; ++i) {
        e.announce(c, QStringLiteral("10.0.0.%1").arg(i), QStringLiteral("u"));
        e.read(c, QStringLiteral("#inchat10.0.0.%1").arg(i));
    }
    EXPECT_EQ(e.rows.rowsOwnedBy(c), kMaxOwnedPerConnection);
    EXPECT_EQ(e.chat.rowCount(), kMaxOwnedPerConnection);
    // The rows it made still update, and another agent is not limited by it.
    e.read(c, statusMessage(QStringLiteral("p"), QStringLiteral("10.0.0.0"), QStringLiteral("PC"), QStringLiteral("u"), QStringLiteral("7")));
    EXPECT_EQ(e.rows.cell(e.rows.findRow(QStringLiteral("10.0.0.0")), OnlineUsersModel::ColThin), QStringLiteral("7"));
    const ConnectionId third = e.connect();
    e.announce(third, QStringLiteral("10.2.0.1"), QStringLiteral("new"));
    EXPECT_GE(e.rows.findRow(QStringLiteral("10.2.0.1")), 0);
    e.end(c);
    EXPECT_EQ(e.rows.rowCount(), 2);
    EXPECT_EQ(e.chat.rowCount(), 0);
}

TEST(AgentDispatcher, SumsStopAtTheFirstValueThatIsNotAWholeNumber)
{
    const struct {
        QString thin, thick, v7;
        qint64 sumThin, sumThick, sumV7;
    } cases[] = {
        {QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4"), 2, 3, 4},
        {QStringLiteral("2"), QStringLiteral("x"), QStringLiteral("4"), 2, 0, 0},
        {QStringLiteral("y"), QStringLiteral("3"), QStringLiteral("4"), 0, 0, 0},
        {QStringLiteral("2"), QStringLiteral("3"), QString(), 2, 3, 0},
        {QStringLiteral("2147483647"), QStringLiteral("2147483647"), QStringLiteral("1"), 2147483647, 2147483647, 1},
    };
    for (const auto &c : cases) {
        Engines e;
        const ConnectionId a = e.connect();
        const ConnectionId b = e.connect();
        e.read(a, statusMessage(QStringLiteral("p"), QStringLiteral("10.0.0.1"), QStringLiteral("PC"), QStringLiteral("u"),
                                c.thin, c.thick, c.v7));
        e.read(b, statusMessage(QStringLiteral("p"), QStringLiteral("10.0.0.2"), QStringLiteral("PC"), QStringLiteral("u"),
                                QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("1")));
        const OnlineUsersModel::Sums s = e.rows.sums();
        EXPECT_EQ(s.thin, c.sumThin + 1);
        EXPECT_EQ(s.thick, c.sumThick + 1);
        EXPECT_EQ(s.v7, c.sumV7 + 1);
        EXPECT_EQ(s.total(), s.thin + s.thick + s.v7);
    }
}

TEST(AgentDispatcher, SendingReachesAnnouncedConnectionsOnlyAndSurvivesABrokenOne)
{
    Engines e;
    const ConnectionId a = e.connect(QStringLiteral("10.0.0.1"));
    const ConnectionId broken = e.connect(QStringLiteral("10.0.0.2"));
    const ConnectionId silent = e.connect(QStringLiteral("10.0.0.1"));
    const ConnectionId b = e.connect(QStringLiteral("10.0.0.3"));
    e.announce(a, QStringLiteral("10.0.0.1"), QStringLiteral("u1"));
    e.announce(broken, QStringLiteral("10.0.0.2"), QStringLiteral("u2"));
    e.announce(b, QStringLiteral("10.0.0.3"), QStringLiteral("u3"));
    e.links[broken]->broken = true;
    EXPECT_EQ(e.connections.SendAllClients(QStringLiteral("#chmhi"), QString()), 2);
    EXPECT_EQ(e.sentTo(a), QStringList{QStringLiteral("#chmhi")});
    EXPECT_EQ(e.sentTo(b), QStringList{QStringLiteral("#chmhi")});
    EXPECT_TRUE(e.sentTo(silent).isEmpty());
    // The exception skips the connection of that Nick.
    e.forgetSent();
    e.connections.SendAllClients(QStringLiteral("x"), QStringLiteral("10.0.0.1"));
    EXPECT_TRUE(e.sentTo(a).isEmpty());
    EXPECT_EQ(e.sentTo(b), QStringList{QStringLiteral("x")});
    // The message window matches by remote address.
    e.forgetSent();
    EXPECT_EQ(e.connections.sendToRemoteAddresses({QStringLiteral("10.0.0.1")}, AgentCommand::alert(QStringLiteral("a"))), 1);
    EXPECT_EQ(e.sentTo(a), QStringList{QStringLiteral("#alma")});
    EXPECT_TRUE(e.sentTo(silent).isEmpty());
}

namespace {

// The online-users table as the rules say it, kept in the plainest way: a
// list from the top, searched from the top every time.
struct ReferenceTable {
    struct Row {
        int number = 0;
        bool hasColumns = false;
        QStringList columns; // seven data columns
        ConnectionId owner = 0;
        QString host;
    };
    struct Connection {
        QString remote;
        std::optional<QString> nick;
        bool placeholder = false;
    };
    std::vector<Row> rows;
    std::map<ConnectionId, Connection> connections;
    int rowsPerHost = kMaxRowsPerAddress;

    int firstRow(const QString &address) const
    {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].hasColumns && rows[i].columns[1] == address)
                return static_cast<int>(i);
        }
        return -1;
    }
    int owned(ConnectionId id) const
    {
        return static_cast<int>(std::count_if(rows.begin(), rows.end(), [id](const Row &r) { return r.owner == id; }));
    }
    int ofHost(const QString &host) const
    {
        return static_cast<int>(std::count_if(rows.begin(), rows.end(), [&](const Row &r) { return r.host == host; }));
    }
    void renumber()
    {
        for (std::size_t i = 0; i < rows.size(); ++i)
            rows[i].number = static_cast<int>(i) + 1;
    }
    void insertTop(Row row)
    {
        rows.insert(rows.begin(), std::move(row));
        renumber();
    }
    void status(ConnectionId id, const QStringList &values)
    {
        Connection &c = connections.at(id);
        const int r = firstRow(values[1]);
        if (r >= 0) {
            Row &row = rows[static_cast<std::size_t>(r)];
            row.columns = values;
            row.owner = id;
            row.host = c.remote;
            if (!c.nick)
                c.nick = values[1];
            return;
        }
        if (owned(id) >= kMaxOwnedPerConnection)
            return;
        if (!values[0].isEmpty()) {
            c.nick = values[1];
            if (ofHost(c.remote) < rowsPerHost)
                insertTop({0, true, values, id, c.remote});
            return;
        }
        if (c.placeholder || ofHost(c.remote) >= rowsPerHost)
            return;
        c.placeholder = true;
        insertTop({0, false, {}, id, c.remote});
    }
    void error(const QString &address)
    {
        const int r = firstRow(address);
        if (r >= 0)
            rows.erase(rows.begin() + r);
    }
    ConnectionId firstWithNick(const QString &nick) const
    {
        for (const auto &[id, c] : connections) {
            if (c.nick && *c.nick == nick)
                return id;
        }
        return 0;
    }
    void exit(ConnectionId id)
    {
        const Connection ended = connections.at(id);
        connections.erase(id);
        if (ended.nick && firstWithNick(*ended.nick) == 0)
            error(*ended.nick);
        for (std::size_t i = 0; i < rows.size();) {
            if (rows[i].owner != id) {
                ++i;
                continue;
            }
            const ConnectionId heir = rows[i].hasColumns ? firstWithNick(rows[i].columns[1]) : 0;
            if (heir != 0) {
                rows[i].owner = heir;
                rows[i].host = connections.at(heir).remote;
                ++i;
            } else {
                rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
};

// Engines and reference side by side.
struct Twin {
    Engines e;
    ReferenceTable ref;
    QStringList addresses;

    ConnectionId connect(const QString &remote)
    {
        const ConnectionId id = e.connect(remote);
        ref.connections[id] = {remote, std::nullopt, false};
        return id;
    }
    void status(ConnectionId id, const QString &program, const QString &address, const QString &thin)
    {
        const QStringList values{program, address, QStringLiteral("PC-") + address, QStringLiteral("u") + address,
                                 thin, QStringLiteral("0"), QStringLiteral("0")};
        e.read(id, S + QStringLiteral("agent") + S + values.join(S));
        ref.status(id, values);
    }
    void error(ConnectionId id, const QString &address)
    {
        e.read(id, QStringLiteral("#err") + address);
        ref.error(address);
    }
    void exit(ConnectionId id)
    {
        e.end(id);
        ref.exit(id);
    }
    void renumber()
    {
        e.rows.renumber();
        ref.renumber();
    }
    // Every row, owner and index as the reference has them.
    void check(const std::string &where)
    {
        SCOPED_TRACE(where);
        ASSERT_EQ(e.rows.rowCount(), static_cast<int>(ref.rows.size()));
        for (std::size_t i = 0; i < ref.rows.size(); ++i) {
            const ReferenceTable::Row &r = ref.rows[i];
            const QStringList cells = r.hasColumns ? r.columns : QStringList(7, QString());
            const QString expected = QString::number(r.number) + QLatin1Char('|') + cells.join(QLatin1Char('|'));
            ASSERT_EQ(e.row(static_cast<int>(i)), expected) << "row " << i;
            ASSERT_EQ(e.rows.owner(static_cast<int>(i)), r.owner) << "row " << i;
        }
        for (const QString &a : addresses)
            ASSERT_EQ(e.rows.findRow(a), ref.firstRow(a)) << a.toStdString();
        for (const auto &[id, c] : ref.connections) {
            ASSERT_EQ(e.rows.rowsOwnedBy(id), ref.owned(id));
            ASSERT_EQ(e.rows.rowsOfHost(c.remote), ref.ofHost(c.remote));
        }
        ASSERT_TRUE(e.rows.consistent());
    }
};

} // namespace

// Random interleavings of connects, status messages (new rows, updates by
// the owner and by other connections, rows without columns), "#err",
// disconnects and renumbering: the table, its numbering, the owners and the
// lookups stay exactly those of the plain reference.
TEST(AgentDispatcher, TableFollowsTheReferenceThroughRandomConnectsAndDisconnects)
{
    for (quint32 seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        QRandomGenerator rng(seed);
        Twin t;
        const int limit = seed % 3 == 0 ? 12 : kMaxRowsPerAddress;
        t.e.dispatcher.setRowsPerAddressLimit(limit);
        t.ref.rowsPerHost = limit;
        for (int i = 0; i < 40; ++i)
            t.addresses << QStringLiteral("10.0.%1.%2").arg(i / 10).arg(i % 10);
        const QStringList remotes{QStringLiteral("192.168.0.1"), QStringLiteral("192.168.0.2"),
                                  QStringLiteral("192.168.0.3")};
        std::vector<ConnectionId> live;
        for (int step = 0; step < 1500; ++step) {
            const int op = static_cast<int>(rng.bounded(100));
            if (live.empty() || (op < 12 && live.size() < 30)) {
                live.push_back(t.connect(remotes[static_cast<int>(rng.bounded(3))]));
            } else {
                const std::size_t k = rng.bounded(static_cast<quint32>(live.size()));
                const ConnectionId id = live[k];
                const QString &address = t.addresses[static_cast<int>(rng.bounded(40))];
                if (op < 62) {
                    t.status(id, op < 57 ? QStringLiteral("1cv8c") : QString(), address,
                             QString::number(rng.bounded(4)));
                } else if (op < 72) {
                    t.error(id, address);
                } else if (op < 88) {
                    t.exit(id);
                    live.erase(live.begin() + static_cast<std::ptrdiff_t>(k));
                } else {
                    t.renumber();
                }
            }
            t.check("step " + std::to_string(step));
            if (testing::Test::HasFatalFailure())
                return;
        }
    }
}

// A crowd of connections with sixteen rows each, made in turns so that the
// rows of one connection lie scattered, then gone in random order with
// renumbering now and then, new rows in between: each disconnect takes its
// own rows and leaves the others in order.
TEST(AgentDispatcher, CrowdLeavingInRandomOrderTakesOnlyItsOwnRows)
{
    for (quint32 seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE(seed);
        QRandomGenerator rng(seed);
        Twin t;
        std::vector<ConnectionId> live;
        for (int i = 0; i < 150; ++i)
            live.push_back(t.connect(QStringLiteral("192.168.1.%1").arg(i % 4)));
        for (int round = 0; round < kMaxOwnedPerConnection; ++round) {
            for (std::size_t i = 0; i < live.size(); ++i)
                t.status(live[i], QStringLiteral("1cv8c"), QStringLiteral("10.%1.%2.1").arg(i).arg(round),
                         QStringLiteral("1"));
        }
        t.renumber();
        t.check("crowd made");
        ASSERT_EQ(t.e.rows.rowCount(), 150 * kMaxOwnedPerConnection);
        for (int step = 0; !live.empty(); ++step) {
            const std::size_t k = rng.bounded(static_cast<quint32>(live.size()));
            t.exit(live[k]);
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(k));
            if (step % 17 == 5)
                t.renumber();
            if (step % 23 == 7 && !live.empty())
                t.status(live.front(), QStringLiteral("1cv8c"), QStringLiteral("10.200.0.%1").arg(step),
                         QStringLiteral("2"));
            if (step % 10 == 0 || live.size() < 5) {
                t.check("after " + std::to_string(step + 1) + " disconnects");
                if (testing::Test::HasFatalFailure())
                    return;
            }
        }
        EXPECT_EQ(t.e.rows.rowCount(), 0);
    }
}
