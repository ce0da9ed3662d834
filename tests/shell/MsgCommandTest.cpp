// msg: the text reaches the terminals of the target sessions (real
// pseudo-terminals, read back from their master side), errors are Windows-like
// and go to standard error, and a message is only ever text.

#include "common/Platform.h"
#include "common/SystemHelpers.h"
#include "common/TextCodec.h"
#include "peers/SessionPeers.h"
#include "shell/BuiltinTools.h"
#include "shell/CmdInterpreter.h"
#include "shell/WinSessionTools.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

class FakeSessions : public SessionManager
{
public:
    std::vector<SessionInfo> list;
    std::vector<SessionInfo> sessions() override { return list; }
    DisconnectResult disconnect(int) override { return {ENOSYS, SessionServer::Unknown, {}}; }
    int terminate(int) override { return ENOSYS; }
    int kill(int) override { return ENOSYS; }
};

SessionInfo session(int id, const QString &user, const QStringList &terminals)
{
    SessionInfo s;
    s.id = id;
    s.user = user;
    s.name = terminals.isEmpty() ? QString() : terminals.front().mid(5);
    s.terminals = terminals;
    s.uid = 4000000 + static_cast<quint32>(id); // no session bus anywhere
    return s;
}

struct Result {
    int code;
    QString out;
    QString err;
};

QString hostName()
{
    char host[257] = {};
    ::gethostname(host, sizeof host - 1);
    return QString::fromLocal8Bit(host);
}

class MsgCommand : public ::testing::Test
{
protected:
    void SetUp() override
    {
        registerBuiltinTools();
        // Other tests put a recorder in msg's place; this is the real one.
        registerMsg();
        m_sessions->list = {session(1, u"ivanov"_s, {m_one.path()}), session(2, u"petrov"_s, {m_two.path()})};
    }

    Result run(const CommandLine &line)
    {
        CmdInterpreter interpreter(m_dir.path());
        BufferSink out;
        BufferSink err;
        const int code = interpreter.run(line, &out, &err);
        return {code, fromCp866(out.data()), fromCp866(err.data())};
    }
    Result run(const QString &line) { return run(CommandLine(line)); }

    QTemporaryDir m_dir;
    Pty m_one;
    Pty m_two;
    std::shared_ptr<FakeSessions> m_sessions = std::make_shared<FakeSessions>();
    ScopedInstance<SessionManager> m_scope{m_sessions};
};

} // namespace

TEST_F(MsgCommand, TextReachesTheTerminalsOfTheTargetSessions)
{
    const QString text = u"Сервер будет перезагружен"_s;
    struct Case {
        QString command;
        bool one;
        bool two;
    };
    const Case cases[] = {
        {u"msg * /server:127.0.0.1 \"%1\""_s, true, true},
        {u"C:\\Windows\\System32\\msg.exe * /server:localhost \"%1\""_s, true, true},
        {u"msg 2 /server:"_s + hostName() + u" \"%1\""_s, false, true},
        {u"msg.exe 1 /server 127.0.0.1 \"%1\""_s, true, false},
        {u"MSG 01 \"%1\""_s, true, false},
        {u"msg petrov /server:127.0.0.1 \"%1\""_s, false, true},
        {u"msg * /server:127.0.0.1 %1"_s, true, true}, // unquoted words are taken together
        // The backup runner's notice to every session of this computer.
        {u"chcp 1251 && msg * /server:"_s + GetComputerNameText() + u" \"%1\" "_s, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command.toStdString());
        const Result r = run(CommandLine(c.command, {text}));
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.err, QString());
        const QString one = m_one.read(c.one ? text : QString());
        const QString two = m_two.read(c.two ? text : QString());
        for (const auto &[got, wanted] : {std::pair{one, c.one}, std::pair{two, c.two}}) {
            if (!wanted) {
                EXPECT_EQ(got, QString());
                continue;
            }
            // A header naming the sender, a blank line, the text.
            const QStringList lines = got.split(QLatin1Char('\n'));
            ASSERT_GE(lines.size(), 4) << got.toStdString();
            EXPECT_TRUE(lines.at(1).startsWith(u"Сообщение от "_s)) << got.toStdString();
            EXPECT_TRUE(lines.at(1).contains(u"@"_s + hostName())) << got.toStdString();
            EXPECT_EQ(lines.at(2), QString());
            EXPECT_EQ(lines.at(3), text);
        }
    }
}

TEST_F(MsgCommand, ATerminalCannotBeDrivenByTheText)
{
    // Clear the screen, move the cursor, ring, change the title: all blanks.
    const QString text = u"a\x1b[2Jb\x07" u"c\x1b]0;pwned\x07" u"d\x9b" u"1m\x7f" u"e\r\nf\tg"_s;
    EXPECT_EQ(run(CommandLine(u"msg 1 /server:127.0.0.1 \"%1\""_s, {text})).code, 0);
    const QString got = m_one.read(u"g"_s);
    EXPECT_FALSE(got.contains(QChar(0x1b))) << got.toStdString();
    EXPECT_FALSE(got.contains(QChar(0x07)));
    EXPECT_FALSE(got.contains(QChar(0x9b)));
    EXPECT_FALSE(got.contains(QChar(0x7f)));
    EXPECT_TRUE(got.contains(u"a [2Jb c ]0;pwned d 1m e\nf\tg"_s)) << got.toStdString();

    struct Case {
        QString in;
        QString out;
    };
    const Case cases[] = {
        {u"line1\r\nline2"_s, u"line1\nline2"_s},
        {u"cr\ronly"_s, u"cr\nonly"_s},
        {u"tab\tkept"_s, u"tab\tkept"_s},
        {u"nul\u0000bs\bdel\u007f"_s, u"nul bs del "_s},
        {u"\u0085next line"_s, u" next line"_s},
        {u"Привет, мир"_s, u"Привет, мир"_s},
    };
    for (const Case &c : cases)
        EXPECT_EQ(sanitizeMessageText(c.in), c.out);
}

TEST_F(MsgCommand, ErrorsAreWindowsLikeAndReachNoTerminal)
{
    struct Case {
        QString command;
        QString error; // a piece of the text on standard error
    };
    const Case cases[] = {
        {u"msg 7 /server:127.0.0.1 \"текст\""_s, u"сеанс с ID 7 не найден"_s},
        {u"msg 99999999999999999999 /server:127.0.0.1 \"текст\""_s, u"не найден"_s},
        {u"msg sidorov /server:127.0.0.1 \"текст\""_s, u"sidorov не найден"_s},
        {u"msg * /server:192.0.2.1 \"текст\""_s, u"Ошибка 1722 при получении имен сеансов"_s},
        {u"msg * /server:not-this-host.invalid \"текст\""_s, u"Ошибка 1722"_s},
        {u"msg * /server:127.0.0.1"_s, u"MSG {<пользователь> | <ID сеанса> | *}"_s},
        {u"msg * /server:127.0.0.1 \"  \""_s, u"MSG {<пользователь>"_s},
        {u"msg"_s, u"Отправка сообщения пользователю."_s},
        {u"msg * /server"_s, u"Отправка сообщения пользователю."_s},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command.toStdString());
        const Result r = run(c.command);
        EXPECT_NE(r.code, 0);
        EXPECT_EQ(r.out, QString());
        EXPECT_TRUE(r.err.contains(c.error)) << r.err.toStdString();
    }
    EXPECT_EQ(m_one.read(), QString());
    EXPECT_EQ(m_two.read(), QString());
}

TEST_F(MsgCommand, NoSessionsAtAllIsNotAnError)
{
    m_sessions->list.clear();
    const Result r = run(u"msg * /server:127.0.0.1 \"текст\""_s);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, QString());
}

TEST_F(MsgCommand, AMessageIsOnlyText)
{
    const QString marker = m_dir.filePath(u"MARK"_s);
    const QStringList hostile = {
        u"a & b | c ; $(/usr/bin/touch MARK) `/usr/bin/touch MARK`"_s,
        u"x\" & /usr/bin/touch MARK & \""_s,
        u"x && /usr/bin/touch MARK"_s,
        u"x\" > MARK & \""_s,
        u"%1 %2 & /usr/bin/touch MARK"_s,
    };
    for (const QString &h : hostile) {
        const QString text = QString(h).replace(u"MARK"_s, marker);
        SCOPED_TRACE(text.toStdString());
        for (const QString &command : {u"msg * /server:127.0.0.1 \"%1\""_s, u"msg %1 /server:127.0.0.1 \"x\""_s,
                                       u"msg * /server:%1 \"x\""_s}) {
            run(CommandLine(command, {text}));
            EXPECT_FALSE(QFile::exists(marker));
        }
        m_one.read();
        m_two.read();
    }
    // Without quotes of its own inside, the text arrives whole.
    const QString whole = hostile.front();
    run(CommandLine(u"msg * /server:127.0.0.1 \"%1\""_s, {whole}));
    EXPECT_TRUE(m_one.read(whole).contains(whole));
    EXPECT_FALSE(QFile::exists(marker));
}

TEST_F(MsgCommand, AStuckTerminalHoldsNoOneUp)
{
    // Nobody reads the first terminal: fill it until it takes no more.
    ::fcntl(m_one.slave(), F_SETFL, ::fcntl(m_one.slave(), F_GETFL) | O_NONBLOCK);
    const QByteArray block(4096, 'x');
    while (::write(m_one.slave(), block.constData(), static_cast<size_t>(block.size())) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);

    const Result r = run(u"msg * /server:127.0.0.1 \"после затора\""_s);
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(m_two.read(u"после затора"_s).contains(u"после затора"_s));
}

TEST(MsgTerminal, OnlyCharacterDevicesUnderDevAreWritten)
{
    Pty pty;
    QTemporaryDir shm(u"/dev/shm/msgtest-XXXXXX"_s);
    ASSERT_TRUE(shm.isValid());
    const QString file = shm.filePath(u"file"_s);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    const QString link = shm.filePath(u"link"_s);
    ASSERT_TRUE(QFile::link(pty.path(), link));
    const QString fifo = shm.filePath(u"fifo"_s);
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const QString outside = QDir::temp().filePath(u"msgtest-outside-%1"_s.arg(::getpid()));

    struct Case {
        QString device;
        bool written;
    };
    const Case cases[] = {
        {pty.path(), true},
        {pty.path().mid(5), true},          // a line name as utmp and logind give it
        {file, false},                      // a regular file
        {link, false},                      // a symbolic link, even to a terminal
        {fifo, false},                      // no reader: must neither block nor write
        {u"/dev/pts/../shm/x"_s, false},    // climbs out
        {outside, false},                   // not under /dev
        {u"/dev/no-such-terminal"_s, false},
        {u"/dev/null"_s, false},            // a character device, but no terminal
        {u"null"_s, false},                 // the same as a utmp line name
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.device.toStdString());
        EXPECT_EQ(writeToTerminal(c.device, "hello\n"), c.written);
    }
    EXPECT_EQ(QFileInfo(file).size(), 0);
    EXPECT_FALSE(QFile::exists(outside));
    EXPECT_EQ(pty.read(), u"hello\nhello\n"_s);
}

TEST(MsgTerminal, ThisHostIsKnownByItsNamesAndAddresses)
{
    struct Case {
        QString server;
        bool local;
    };
    std::vector<Case> cases = {
        {QString(), false},
        {u"."_s, true},
        {u"127.0.0.1"_s, true},
        {u" 127.0.0.1 "_s, true},
        {u"127.1.2.3"_s, true},
        {u"localhost"_s, true},
        {u"LocalHost"_s, true},
        {u"::1"_s, true},
        {u"[::1]"_s, true},
        {hostName(), true},
        {hostName().toUpper(), true},
        {u"192.0.2.1"_s, false},
        {u"2001:db8::1"_s, false},
        {u"other-host"_s, false},
        {hostName() + u"x"_s, false},
        {u"127.0.0.1; touch x"_s, false},
    };
    // Every address of this host's interfaces.
    ifaddrs *list = nullptr;
    ASSERT_EQ(::getifaddrs(&list), 0);
    for (ifaddrs *a = list; a; a = a->ifa_next) {
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET) {
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(a->ifa_addr)->sin_addr, text, sizeof text);
            cases.push_back({QString::fromLatin1(text), true});
        }
    }
    ::freeifaddrs(list);
    for (const Case &c : cases)
        EXPECT_EQ(isThisHost(c.server), c.local) << c.server.toStdString();
}

TEST(MsgTerminal, ASessionBusIsAUserOwnedSocket)
{
    QTemporaryDir root;
    const quint32 me = ::geteuid();
    ASSERT_TRUE(QDir(root.path()).mkpath(QString::number(me)));
    const QString bus = root.filePath(QString::number(me) + u"/bus"_s);

    EXPECT_EQ(userSessionBus(me, root.path()), QString()); // nothing there yet

    QFile plain(bus);
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    EXPECT_EQ(userSessionBus(me, root.path()), QString()); // a file, not a socket
    QFile::remove(bus);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray path = bus.toLocal8Bit();
    ASSERT_LT(static_cast<size_t>(path.size()), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.constData(), static_cast<size_t>(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_EQ(userSessionBus(me, root.path()), bus);

    // A socket someone else owns is not this user's bus.
    if (me == 0) {
        ASSERT_TRUE(QDir(root.path()).mkpath(u"4000001"_s));
        const QString other = root.filePath(u"4000001/bus"_s);
        ASSERT_EQ(::symlink(path.constData(), other.toLocal8Bit().constData()), 0);
        EXPECT_EQ(userSessionBus(4000001, root.path()), QString()); // a link, owned by root
    }
    ::close(fd);
}
