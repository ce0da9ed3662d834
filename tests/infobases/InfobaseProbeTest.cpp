// The infobase probe: connection strings, connectors as programs of their
// own (stand-ins that connect, refuse and hang, and the shipped default
// connector against real files and a real TCP listener), the slots, and the
// monitor's outages with the offline letter at the tests' real SMTP server.
#include "common/LogSink.h"
#include "common/SystemHelpers.h"
#include "infobases/ConnectionStrings.h"
#include "infobases/InfobaseProbe.h"
#include "notify/NotificationMail.h"
#include "peers/SmtpPeer.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/types.h>

using namespace dozorix;

namespace {

const QString kShippedConnector = QStringLiteral(DOZORIX_PROGRAM_DIR "/V83.ComConnector");

// True while a process of that id exists (and is no zombie of ours).
bool processAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray s = stat.readAll();
    const int close = s.lastIndexOf(')');
    return close > 0 && s.size() > close + 2 && s[close + 2] != 'Z';
}

TEST(ConnectionStrings, BuiltAsStoredWithoutEscaping)
{
    EXPECT_EQ(clusterConnectionString(QStringLiteral("srv1c:1641"), QStringLiteral("buh"), QStringLiteral("Иванов"),
                                      QStringLiteral("p;w\"d")),
              QStringLiteral("Srvr=srv1c:1641;Ref=buh;Usr=\"Иванов\";Pwd=p;w\"d"));
    EXPECT_EQ(fileConnectionString(QStringLiteral("/srv/1c/Бух"), QStringLiteral("Админ"), QString()),
              QStringLiteral("File=\"/srv/1c/Бух\";Usr=\"Админ\";Pwd="));
    // Read back as the default connector reads it: the password runs to the end.
    const auto parts = parseConnectionString(QStringLiteral("File=\"/srv/a;b\";Usr=\"Иванов\";Pwd=p;w\"d"));
    EXPECT_EQ(parts.value(QStringLiteral("File")), QStringLiteral("/srv/a;b"));
    EXPECT_EQ(parts.value(QStringLiteral("Usr")), QStringLiteral("Иванов"));
    EXPECT_EQ(parts.value(QStringLiteral("Pwd")), QStringLiteral("p;w\"d"));
}

TEST(ConnectionStrings, ClusterAddressTakesThePortOrTheDefault)
{
    const struct {
        const char *srvr;
        const char *host;
        int port;
        bool valid;
    } cases[] = {
        {"srv1c", "srv1c", 1541, true},        {"srv1c:1641", "srv1c", 1641, true},
        {"srv1c:1641,srv2", "srv1c", 1641, true}, {"tcp://10.0.0.5:2541", "10.0.0.5", 2541, true},
        {"[::1]:1560", "::1", 1560, true},     {"srv1c:99999", "srv1c", 1541, false},
        {"", "", 1541, false},
    };
    for (const auto &c : cases) {
        const ClusterAddress a = clusterAddressOf(QString::fromUtf8(c.srvr));
        EXPECT_EQ(a.valid, c.valid) << c.srvr;
        if (c.valid) {
            EXPECT_EQ(a.host, QString::fromUtf8(c.host)) << c.srvr;
            EXPECT_EQ(a.port, c.port) << c.srvr;
        }
    }
}

TEST(OfflineLetter, EmptyTextsKeepEverySeparator)
{
    const QString body = offlineLetterBody({}, {}, QStringLiteral("SRV1C"), QString());
    EXPECT_EQ(body, QStringLiteral("<p>ВНИМАНИЕ! отключены информационные база(ы) 1С: <b><br>")
                        + QStringLiteral(" <br> ").repeated(13)
                        + QStringLiteral("</b> </p><p>Сервер (ПК): SRV1C.</p><p>Время отключения: "
                                         "<p><p> <b> Причина отключения: </b> </p><p><br>")
                        + QStringLiteral(" <br> ").repeated(14)
                        + QStringLiteral("<p><p></p><p>Это сообщение отправлено автоматически программой Dozorix.</p>"));
}

// Connector stand-ins: shell programs named after a ProgID in the program
// directory; each records the first line of its input (the connection
// string), the number of its arguments and its process id. One that does
// not read its input records no line.
class ProbeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setLogReceiver([this](const QString &text, unsigned int rgb) { log.push_back({test::unstamped(text), rgb}); });
    }
    void TearDown() override
    {
        test::waitUntil([] { return mailsInFlight() == 0; }, 30000);
        setLogReceiver({});
    }

    enum class Input { Read, Unread };
    void writeConnector(const QString &progId, const QByteArray &behaviour, Input input = Input::Read) const
    {
        const QByteArray script = "#!/bin/sh\n"
                                  "dir=$(dirname \"$0\")\n"
                                  "echo $# >> \"$dir/args.txt\"\n"
                                  "echo $$ >> \"$dir/pids.txt\"\n"
            + QByteArray(input == Input::Read ? "IFS= read -r line\nprintf '%s\\n' \"$line\" >> \"$dir/calls.txt\"\n" : "")
            + behaviour + "\n";
        home.write(progId, script);
        QFile::setPermissions(home.file(progId), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QStringList lines(const QString &name) const
    {
        return QString::fromUtf8(home.read(name)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QStringList calls() const { return lines(QStringLiteral("calls.txt")); }
    QList<qint64> pids() const
    {
        QList<qint64> out;
        for (const QString &l : lines(QStringLiteral("pids.txt")))
            out << l.toLongLong();
        return out;
    }
    void writeIni(const QString &text) const { home.write(QStringLiteral("Example.ini"), text.toUtf8()); }

    // Probes profile n and waits for the answer.
    std::pair<QString, QString> probeAndWait(InfobaseProbe &probe, int n)
    {
        QSignalSpy spy(&probe, &InfobaseProbe::probed);
        if (!probe.probe(n))
            return {QStringLiteral("refused"), QString()};
        if (!spy.wait(20000))
            return {QStringLiteral("no answer"), QString()};
        EXPECT_EQ(spy.at(0).at(0).toInt(), n);
        return {spy.at(0).at(1).toString(), spy.at(0).at(2).toString()};
    }

    struct Line {
        QString text;
        unsigned int rgb;
    };
    test::ProgramHome home;
    std::vector<Line> log;
};

const QByteArray kConnects = "echo OK\nexec cat >/dev/null";
const QByteArray kRefuses = "echo 'ERROR Неверный логин или пароль'\nexit 1";
const QByteArray kHangs = "exec sleep 300";
// Connects by the cluster string, refuses the file string.
const QByteArray kClusterOnly = "case \"$line\" in Srvr=*) echo OK; exec cat >/dev/null;; esac\n"
                                "echo 'ERROR Файл информационной базы не найден'\nexit 1";

TEST_F(ProbeTest, RulesOfTheProbeKeys)
{
    const QString cluster = QStringLiteral("Srvr=srv1c;Ref=buh;Usr=\"Иванов\";Pwd=p;w\"d");
    const QString file = QStringLiteral("File=\"/srv/1c/Бух\";Usr=\"Админ\";Pwd=1");
    const struct {
        const char *what;
        const char *keys;
        QByteArray connector;
        const char *result;
        QStringList calls;
        const char *reasonPart;
    } cases[] = {
        {"cluster form", "connect=On\r\nConnectKS1CBase=Yes\r\n", kConnects, "On", {cluster}, ""},
        {"file form", "connect=On\r\nConnectFile1CBase=Yes\r\n", kConnects, "On", {file}, ""},
        {"connect in other case", "connect=on\r\nConnectKS1CBase=Yes\r\n", kConnects, "Off", {}, ""},
        {"Yes in other case", "connect=On\r\nConnectKS1CBase=yes\r\n", kConnects, "Off", {}, ""},
        {"refused", "connect=On\r\nConnectKS1CBase=Yes\r\n", kRefuses, "Off", {cluster}, "Неверный логин или пароль"},
        // The file attempt clears the cluster connection first.
        {"both forms, file refused", "connect=On\r\nConnectKS1CBase=Yes\r\nConnectFile1CBase=Yes\r\n", kClusterOnly,
         "Off", {cluster, file}, "Файл информационной базы не найден"},
        {"no version", "Connector=\r\nconnect=On\r\nConnectKS1CBase=Yes\r\n", kConnects, "Off", {},
         "Не выбрана версия"},
        {"unregistered ProgID", "Connector=V82.ComConnector\r\nconnect=On\r\nConnectKS1CBase=Yes\r\n", kConnects,
         "Off", {}, "не зарегистрирован"},
    };
    for (const auto &c : cases) {
        for (const char *name : {"calls.txt", "pids.txt", "args.txt"})
            QFile::remove(home.file(QString::fromLatin1(name)));
        writeConnector(QStringLiteral("V83.ComConnector"), c.connector);
        const QString keys = QString::fromUtf8(c.keys);
        writeIni(QStringLiteral("[Base3]\r\n") + keys
                 + (keys.startsWith(QLatin1String("Connector=")) ? QString() : QStringLiteral("Connector=V83.ComConnector\r\n"))
                 + QStringLiteral("KlasterB=srv1c\r\nIBNAmeKlaster=buh\r\n"
                                "LoginK=Иванов\r\nPassK=p;w\"d\r\nStrokaCon=/srv/1c/Бух\r\nLoginF=Админ\r\nPassF=1\r\n"));
        InfobaseProbe probe;
        const auto [result, reason] = probeAndWait(probe, 3);
        EXPECT_EQ(result, QString::fromUtf8(c.result)) << c.what;
        EXPECT_EQ(calls(), c.calls) << c.what;
        EXPECT_EQ(lines(QStringLiteral("args.txt")), QStringList(c.calls.size(), QStringLiteral("0")))
            << c.what << ": the connector is started without arguments";
        EXPECT_TRUE(reason.contains(QString::fromUtf8(c.reasonPart))) << c.what << ": " << reason.toStdString();
        EXPECT_EQ(probe.slotHolds(3), result == QLatin1String("On")) << c.what;
        // A connector whose connection is not kept has ended.
        if (result == QLatin1String("Off")) {
            for (qint64 pid : pids())
                EXPECT_TRUE(test::waitUntil([pid] { return !processAlive(pid); }, 5000)) << c.what;
        }
    }
}

// "On" with neither form: no attempt, the answer is what the slot holds.
// Clearing the slot ends the connector that held the connection.
TEST_F(ProbeTest, SlotKeepsTheConnectionUntilCleared)
{
    writeConnector(QStringLiteral("V83.ComConnector"), kConnects);
    writeIni(QStringLiteral("[Base1]\r\nConnector=V83.ComConnector\r\nconnect=On\r\nConnectKS1CBase=Yes\r\n"));
    InfobaseProbe probe;
    EXPECT_EQ(probeAndWait(probe, 1).first, QStringLiteral("On"));
    ASSERT_EQ(pids().size(), 1);
    const qint64 pid = pids()[0];
    EXPECT_TRUE(processAlive(pid));

    writeIni(QStringLiteral("[Base1]\r\nConnector=V83.ComConnector\r\nconnect=On\r\n"));
    EXPECT_EQ(probeAndWait(probe, 1).first, QStringLiteral("On"));
    EXPECT_EQ(calls().size(), 1) << "no second attempt";
    EXPECT_TRUE(processAlive(pid));

    probe.clearAllSlots();
    EXPECT_FALSE(probe.slotHolds(1));
    EXPECT_TRUE(test::waitUntil([pid] { return !processAlive(pid); }, 5000));
    EXPECT_EQ(probeAndWait(probe, 1).first, QStringLiteral("Off"));
}

// A connector that never answers: the probe gives up at its time limit and
// ends it, and the event loop runs all the while, whether the connector read
// its line, never read it, or closed its input at once.
TEST_F(ProbeTest, HangingConnectorIsEndedAtTheTimeLimit)
{
    test::ScopedTimeScale scale(100); // the 30-second limit becomes 300 ms
    const struct {
        const char *what;
        QByteArray behaviour;
        Input input;
    } cases[] = {
        {"reads its line, never answers", kHangs, Input::Read},
        {"never reads its input", kHangs, Input::Unread},
        {"closes its input at once", "exec 0<&-\nexec sleep 300", Input::Unread},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(home.file(QStringLiteral("pids.txt")));
        writeConnector(QStringLiteral("V83.ComConnector"), c.behaviour, c.input);
        writeIni(QStringLiteral("[Base14]\r\nConnector=V83.ComConnector\r\nconnect=On\r\nConnectFile1CBase=Yes\r\n"
                                "StrokaCon=/srv/1c/base\r\nPassF=secret\r\n"));
        InfobaseProbe probe;
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(10);
        QSignalSpy spy(&probe, &InfobaseProbe::probed);
        ASSERT_TRUE(probe.COMconectBase141cTEST());
        EXPECT_EQ(spy.size(), 0) << "the probe answers later, it does not wait";
        EXPECT_FALSE(probe.probe(14)) << "one probe of a profile at a time";
        ASSERT_TRUE(spy.wait(20000));
        EXPECT_EQ(spy.at(0).at(1).toString(), QStringLiteral("Off"));
        EXPECT_TRUE(spy.at(0).at(2).toString().contains(QStringLiteral("не ответил")))
            << spy.at(0).at(2).toString().toStdString();
        EXPECT_GT(ticks, 3) << "the event loop was blocked while the connector hung";
        ASSERT_EQ(pids().size(), 1);
        const qint64 pid = pids()[0];
        EXPECT_TRUE(test::waitUntil([pid] { return !processAlive(pid); }, 5000));
    }
}

// A connection string far longer than a pipe holds, to a connector that
// never reads it: the write waits in the event loop, never in the window's
// thread, and the time limit still ends the connector.
TEST_F(ProbeTest, UnreadStringLongerThanThePipeHoldsNothingUp)
{
    test::ScopedTimeScale scale(100);
    writeConnector(QStringLiteral("V83.ComConnector"), kHangs, Input::Unread);
    const QString huge = fileConnectionString(QStringLiteral("/srv/1c/base"), QStringLiteral("user"),
                                              QString(1024 * 1024, QLatin1Char('x')));
    InfobaseConnection connection(home.file(QStringLiteral("V83.ComConnector")), QStringLiteral("V83.ComConnector"), huge);
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    QSignalSpy settled(&connection, &InfobaseConnection::settled);
    ASSERT_TRUE(settled.wait(20000));
    EXPECT_FALSE(settled.at(0).at(0).toBool());
    EXPECT_TRUE(connection.reason().contains(QStringLiteral("не ответил"))) << connection.reason().toStdString();
    EXPECT_GT(ticks, 3) << "the event loop was blocked by the write";
    ASSERT_EQ(pids().size(), 1);
    const qint64 pid = pids()[0];
    EXPECT_TRUE(test::waitUntil([pid] { return !processAlive(pid); }, 5000));
}

// A connector program that cannot even start (its interpreter is missing):
// the probe answers "Off" with the reason, it does not wait for ever.
TEST_F(ProbeTest, ConnectorThatCannotStartIsOff)
{
    home.write(QStringLiteral("V83.ComConnector"), "#!/nonexistent/dozorix-no-such-shell\n");
    QFile::setPermissions(home.file(QStringLiteral("V83.ComConnector")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeIni(QStringLiteral("[Base2]\r\nConnector=V83.ComConnector\r\nconnect=On\r\nConnectKS1CBase=Yes\r\n"));
    InfobaseProbe probe;
    const auto [result, reason] = probeAndWait(probe, 2);
    EXPECT_EQ(result, QStringLiteral("Off"));
    EXPECT_TRUE(reason.contains(QStringLiteral("не запустился"))) << reason.toStdString();
    EXPECT_FALSE(probe.slotHolds(2));
}

// A connection string that holds a line break or a NUL cannot be one line
// of the connector's input: the probe answers "Off" with the reason and
// starts nothing; the reason does not repeat the string.
TEST_F(ProbeTest, StringThatIsNotOneLineStartsNothing)
{
    writeConnector(QStringLiteral("V83.ComConnector"), kConnects);
    const struct {
        const char *what;
        QByteArray keys;
    } cases[] = {
        {"carriage return in the cluster password", "ConnectKS1CBase=Yes\r\nKlasterB=srv1c\r\nPassK=tai\rnik\r\n"},
        {"NUL in the file password", QByteArray("ConnectFile1CBase=Yes\r\nStrokaCon=/srv/1c\r\nPassF=tai") + '\0' + "nik\r\n"},
        {"carriage return in the folder", "ConnectFile1CBase=Yes\r\nStrokaCon=/srv/1c\r/tainik\r\nPassF=1\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        home.write(QStringLiteral("Example.ini"), "[Base4]\r\nConnector=V83.ComConnector\r\nconnect=On\r\n" + c.keys);
        InfobaseProbe probe;
        const auto [result, reason] = probeAndWait(probe, 4);
        EXPECT_EQ(result, QStringLiteral("Off"));
        EXPECT_TRUE(reason.contains(QStringLiteral("перевод строки или нулевой символ"))) << reason.toStdString();
        EXPECT_FALSE(reason.contains(QStringLiteral("tai"))) << reason.toStdString();
        EXPECT_FALSE(QFile::exists(home.file(QStringLiteral("pids.txt")))) << "a connector was started";
    }
    // A line feed, handed to the probe's connect step directly (a value of
    // the settings file never holds one).
    writeIni(QStringLiteral("[Base4]\r\nConnector=V83.ComConnector\r\n"));
    InfobaseProbe probe;
    QString error;
    EXPECT_EQ(probe.ConnectInfobase(4, QStringLiteral("V83.ComConnector"),
                                    QStringLiteral("Srvr=srv1c;Ref=buh;Usr=\"a\";Pwd=tai\nnik"), &error),
              nullptr);
    EXPECT_TRUE(error.contains(QStringLiteral("перевод строки"))) << error.toStdString();
    EXPECT_FALSE(QFile::exists(home.file(QStringLiteral("pids.txt"))));
}

TEST_F(ProbeTest, MissingSettingsFileIsReported)
{
    InfobaseProbe probe;
    QSignalSpy missing(&probe, &InfobaseProbe::settingsFileMissing);
    EXPECT_FALSE(probe.probe(2));
    EXPECT_EQ(missing.size(), 1);
    EXPECT_FALSE(probe.probeAll());
}

// The shipped connector: a folder with a real 1C database signature, a file
// without it, and a cluster server that is a real TCP listener.
TEST_F(ProbeTest, DefaultConnectorChecksFileAndClusterForms)
{
    ASSERT_TRUE(QFile::exists(kShippedConnector)) << "the build ships the default connector";
    ASSERT_TRUE(QFile::copy(kShippedConnector, home.file(QStringLiteral("V83.ComConnector"))));
    QTemporaryDir bases;
    QDir(bases.path()).mkpath(QStringLiteral("Бухгалтерия"));
    QDir(bases.path()).mkpath(QStringLiteral("sqlite"));
    QDir(bases.path()).mkpath(QStringLiteral("empty"));
    auto put = [&](const QString &rel, const QByteArray &bytes) {
        QFile f(bases.filePath(rel));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    put(QStringLiteral("Бухгалтерия/1Cv8.1CD"), QByteArray("1CDBMSV8") + QByteArray(4096, '\0'));
    put(QStringLiteral("sqlite/1Cv8.1CD"), QByteArray("SQLite format 3") + QByteArray(100, '\0'));

    QTcpServer cluster;
    ASSERT_TRUE(cluster.listen(QHostAddress::LocalHost));
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 closedPort = closed.serverPort();
    closed.close();

    const struct {
        const char *what;
        QString keys;
        const char *result;
        const char *reasonPart;
    } cases[] = {
        {"1C database file", QStringLiteral("ConnectFile1CBase=Yes\r\nStrokaCon=%1\r\n").arg(bases.filePath(QStringLiteral("Бухгалтерия"))),
         "On", ""},
        {"other file", QStringLiteral("ConnectFile1CBase=Yes\r\nStrokaCon=%1\r\n").arg(bases.filePath(QStringLiteral("sqlite"))),
         "Off", "нет сигнатуры 1CDBMSV8"},
        {"no database file", QStringLiteral("ConnectFile1CBase=Yes\r\nStrokaCon=%1\r\n").arg(bases.filePath(QStringLiteral("empty"))),
         "Off", "Файл информационной базы не найден"},
        {"cluster listens", QStringLiteral("ConnectKS1CBase=Yes\r\nKlasterB=127.0.0.1:%1\r\nIBNAmeKlaster=buh\r\n").arg(cluster.serverPort()),
         "On", ""},
        {"cluster does not listen", QStringLiteral("ConnectKS1CBase=Yes\r\nKlasterB=127.0.0.1:%1\r\nIBNAmeKlaster=buh\r\n").arg(closedPort),
         "Off", "не принимает подключения"},
    };
    for (const auto &c : cases) {
        writeIni(QStringLiteral("[Base5]\r\nConnector=V83.ComConnector\r\nconnect=On\r\n") + c.keys);
        InfobaseProbe probe;
        const auto [result, reason] = probeAndWait(probe, 5);
        EXPECT_EQ(result, QString::fromUtf8(c.result)) << c.what << ": " << reason.toStdString();
        EXPECT_TRUE(reason.contains(QString::fromUtf8(c.reasonPart))) << c.what << ": " << reason.toStdString();
        if (QString::fromUtf8(c.what) == QLatin1String("cluster listens")) {
            // The connector holds its TCP connection until the slot is cleared.
            ASSERT_TRUE(test::waitUntil([&] { return cluster.hasPendingConnections(); }, 5000));
            QTcpSocket *held = cluster.nextPendingConnection();
            ASSERT_TRUE(held);
            EXPECT_EQ(held->state(), QAbstractSocket::ConnectedState);
            probe.clearSlot(5);
            EXPECT_TRUE(test::waitUntil([held] {
                held->waitForReadyRead(10);
                return held->state() != QAbstractSocket::ConnectedState;
            }, 5000));
            delete held;
        }
    }
}

// While the shipped connector holds a connection, its password is in
// neither its arguments nor its environment: what every local user may read
// of another user's process.
TEST_F(ProbeTest, PasswordStaysOutOfTheProcessList)
{
    ASSERT_TRUE(QFile::copy(kShippedConnector, home.file(QStringLiteral("V83.ComConnector"))));
    QTemporaryDir bases;
    {
        QFile f(bases.filePath(QStringLiteral("1Cv8.1CD")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("1CDBMSV8") + QByteArray(4096, '\0'));
    }
    QTcpServer cluster;
    ASSERT_TRUE(cluster.listen(QHostAddress::LocalHost));
    const QString password = QStringLiteral("Ночной-пароль;42");
    const struct {
        const char *what;
        QString keys;
    } cases[] = {
        {"file form", QStringLiteral("ConnectFile1CBase=Yes\r\nStrokaCon=%1\r\nLoginF=Кладовщик\r\nPassF=%2\r\n")
                          .arg(bases.path(), password)},
        {"cluster form", QStringLiteral("ConnectKS1CBase=Yes\r\nKlasterB=127.0.0.1:%1\r\nIBNAmeKlaster=buh\r\n"
                                        "LoginK=Админ\r\nPassK=%2\r\n")
                             .arg(cluster.serverPort())
                             .arg(password)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        writeIni(QStringLiteral("[Base6]\r\nConnector=V83.ComConnector\r\nconnect=On\r\n") + c.keys);
        InfobaseProbe probe;
        const auto [result, reason] = probeAndWait(probe, 6);
        ASSERT_EQ(result, QStringLiteral("On")) << reason.toStdString();
        ASSERT_TRUE(probe.slotHolds(6));
        const qint64 pid = probe.slot(6)->processId();
        ASSERT_TRUE(processAlive(pid));
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
        const QList<QByteArray> args = cmdline.readAll().split('\0');
        // The program's name and the empty piece after its terminating NUL.
        EXPECT_EQ(args.size(), 2) << QByteArray(args.join(' ')).toStdString();
        QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
        ASSERT_TRUE(environ.open(QIODevice::ReadOnly));
        const QByteArray env = environ.readAll();
        EXPECT_FALSE(env.isEmpty());
        for (const QByteArray &arg : args) {
            EXPECT_FALSE(arg.contains(password.toUtf8())) << arg.toStdString();
            EXPECT_FALSE(arg.contains("Pwd=")) << arg.toStdString();
        }
        EXPECT_FALSE(env.contains(password.toUtf8()));
        EXPECT_FALSE(env.contains("Pwd="));
        probe.clearSlot(6);
        EXPECT_TRUE(test::waitUntil([pid] { return !processAlive(pid); }, 5000));
        while (QTcpSocket *held = cluster.nextPendingConnection())
            delete held;
    }
}

// The monitor: an outage is an "On" probe followed by an "Off" one; one
// letter per outage while OFF_BASE is on, at a real SMTP server.
TEST_F(ProbeTest, OutagesFillTheTextsAndSendOneLetterEach)
{
    test::SmtpPeer smtp;
    QString error;
    ASSERT_TRUE(smtp.start(&error)) << error.toStdString();
    // Profile 1 goes down when the file "down83" exists; profile 2 is down
    // from the start and was never seen up.
    for (const char *v : {"83", "82"})
        writeConnector(QStringLiteral("V%1.ComConnector").arg(QLatin1String(v)),
                       QByteArray("if [ -e \"$dir/down") + v
                           + "\" ]; then echo 'ERROR Сервер 1С:Предприятия недоступен'; exit 1; fi\n" + kConnects);
    home.write(QStringLiteral("down82"), "");
    writeIni(QStringLiteral("[settings]\r\nE-mail_From_Address=robot@firm.ru\r\nE-mail_EMailAddresses=admin@firm.ru\r\n"
                            "E-mail_HostSmtp=127.0.0.1\r\nE-mail_Port=%1\r\nE-mail_Username=robot\r\nE-mail_Password=x\r\n"
                            "[Base1]\r\nPsevdo1=Бухгалтерия\r\nConnector=V83.ComConnector\r\nconnect=On\r\n"
                            "ConnectKS1CBase=Yes\r\nKlasterB=srv1c\r\nIBNAmeKlaster=buh\r\n"
                            "[Base2]\r\nConnector=V82.ComConnector\r\nconnect=On\r\nConnectFile1CBase=Yes\r\n"
                            "[Base3]\r\nConnector=V83.ComConnector\r\nconnect=Off\r\nConnectKS1CBase=Yes\r\n")
                 .arg(smtp.port()));
    InfobaseProbe probe;
    bool offBase = true;
    probe.setHooks({[&] { return offBase; }});
    auto round = [&] {
        QSignalSpy done(&probe, &InfobaseProbe::roundFinished);
        EXPECT_TRUE(probe.probeAll());
        EXPECT_TRUE(done.wait(20000));
        return !done.isEmpty() && done.at(0).at(0).toBool();
    };

    EXPECT_FALSE(round()); // 1 up, 2 down but never seen up
    EXPECT_TRUE(probe.slotHolds(1));
    EXPECT_FALSE(probe.slotHolds(3)) << "connect=Off is not probed";
    EXPECT_TRUE(probe.BASE_TURN_OFF[1].isEmpty());

    home.write(QStringLiteral("down83"), "");
    EXPECT_TRUE(round()); // 1 goes down: a new outage, a letter
    EXPECT_EQ(probe.BASE_TURN_OFF[0], QStringLiteral("Бухгалтерия"));
    EXPECT_EQ(probe.ERR_TURN_OFF_BASE[0], QStringLiteral("Сервер 1С:Предприятия недоступен"));
    const QString dataStop = probe.DATA_STOP;
    EXPECT_TRUE(QDateTime::fromString(dataStop, QStringLiteral("dd.MM.yyyy H:mm:ss")).isValid()) << dataStop.toStdString();
    ASSERT_TRUE(test::waitUntil([&] { return smtp.letters().size() == 1 && mailsInFlight() == 0; }, 20000));

    const QJsonObject letter = smtp.letters()[0];
    EXPECT_EQ(letter[QStringLiteral("subject")].toString(), QStringLiteral("ВНИМАНИЕ! информационные база(ы) 1С отключены!"));
    EXPECT_EQ(letter[QStringLiteral("charset")].toString(), QStringLiteral("windows-1251"));
    const QString expected = QStringLiteral("<p>ВНИМАНИЕ! отключены информационные база(ы) 1С: <b><br>Бухгалтерия")
        + QStringLiteral(" <br> ").repeated(13) + QStringLiteral("</b> </p><p>Сервер (ПК): ") + GetComputerNameText()
        + QStringLiteral(".</p><p>Время отключения: ") + dataStop
        + QStringLiteral("<p><p> <b> Причина отключения: </b> </p><p><br>Сервер 1С:Предприятия недоступен <br> ")
        + QStringLiteral(" <br> ").repeated(13)
        + QStringLiteral("<p><p></p><p>Это сообщение отправлено автоматически программой Dozorix.</p>");
    EXPECT_EQ(letter[QStringLiteral("body")].toString(), expected);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().text, QStringLiteral("Письмо успешно отправлено! "));
    EXPECT_EQ(log.back().rgb, kLogGreen);

    EXPECT_FALSE(round()); // still down: the same outage, no second letter
    QFile::remove(home.file(QStringLiteral("down83")));
    EXPECT_FALSE(round()); // back up: the outage ends
    EXPECT_TRUE(probe.BASE_TURN_OFF[0].isEmpty());
    EXPECT_TRUE(probe.ERR_TURN_OFF_BASE[0].isEmpty());

    offBase = false;
    home.write(QStringLiteral("down83"), "");
    EXPECT_FALSE(round()); // down again, letters not wanted
    EXPECT_EQ(probe.BASE_TURN_OFF[0], QStringLiteral("Бухгалтерия"));
    QFile::remove(home.file(QStringLiteral("down83")));
    EXPECT_FALSE(round());
    offBase = true;
    home.write(QStringLiteral("down83"), "");
    EXPECT_TRUE(round()); // a new outage, a new letter
    ASSERT_TRUE(test::waitUntil([&] { return smtp.letters().size() == 2 && mailsInFlight() == 0; }, 20000));
    EXPECT_EQ(smtp.letters().size(), 2);
    probe.clearAllSlots();
}

} // namespace
