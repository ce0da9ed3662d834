// The shipped connector as a program of its own, the way a replacement's
// author would try it: the connection string on the first line of its input,
// one answer line, the connection held until the input ends or SIGTERM; and
// the by-hand form with the string as its one argument.
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dozorix;

namespace {

const QString kConnector = QStringLiteral(DOZORIX_PROGRAM_DIR "/dozorix-connector");

class ConnectorProgram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bases.isValid());
        QDir(bases.path()).mkpath(QStringLiteral("Бухгалтерия"));
        QDir(bases.path()).mkpath(QStringLiteral("sqlite"));
        put(QStringLiteral("Бухгалтерия/1Cv8.1CD"), QByteArray("1CDBMSV8") + QByteArray(4096, '\0'));
        put(QStringLiteral("sqlite/1Cv8.1CD"), QByteArray("SQLite format 3") + QByteArray(100, '\0'));
        ASSERT_TRUE(cluster.listen(QHostAddress::LocalHost));
        QTcpServer closed;
        ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
        closedPort = closed.serverPort();
    }
    void put(const QString &rel, const QByteArray &bytes) const
    {
        QFile f(bases.filePath(rel));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QString fileString(const QString &folder) const
    {
        return QStringLiteral("File=\"%1\";Usr=\"Админ\";Pwd=ночь;42").arg(bases.filePath(folder));
    }
    QString clusterString(quint16 port) const
    {
        return QStringLiteral("Srvr=127.0.0.1:%1;Ref=buh;Usr=\"Админ\";Pwd=ночь").arg(port);
    }
    // The first answer line, or "" when none came within 10 s.
    static QString answerOf(QProcess &p)
    {
        if (!test::waitUntil([&] { return p.canReadLine() || p.state() == QProcess::NotRunning; }, 10000))
            return {};
        return QString::fromUtf8(p.readLine()).trimmed();
    }

    QTemporaryDir bases;
    QTcpServer cluster;
    quint16 closedPort = 0;
};

// Every answer through the input: OK for what it can honestly check, ERROR
// with the reason and code 1 otherwise, code 2 without a string.
TEST_F(ConnectorProgram, AnswersTheStringOnTheFirstLineOfItsInput)
{
    const struct {
        const char *what;
        QByteArray input;
        const char *answerStart;
        int code; // after the input ends
    } cases[] = {
        {"1C database file", fileString(QStringLiteral("Бухгалтерия")).toUtf8() + "\n", "OK файловая ИБ: ", 0},
        {"line ended by CR LF", fileString(QStringLiteral("Бухгалтерия")).toUtf8() + "\r\n", "OK файловая ИБ: ", 0},
        {"other file", fileString(QStringLiteral("sqlite")).toUtf8() + "\n", "ERROR Файл ", 1},
        {"no folder", fileString(QStringLiteral("нет")).toUtf8() + "\n", "ERROR Каталог информационной базы не найден", 1},
        {"cluster listens", clusterString(cluster.serverPort()).toUtf8() + "\n", "OK сервер кластера 127.0.0.1:", 0},
        {"cluster does not listen", clusterString(closedPort).toUtf8() + "\n", "ERROR Сервер кластера", 1},
        {"neither File nor Srvr", "Usr=\"a\";Pwd=b\n", "ERROR В строке подключения нет ни File, ни Srvr", 1},
        {"empty input", "", "ERROR usage: dozorix-connector, the connection string on the first line of standard input",
         2},
        {"an empty first line: the second is not read", "\n" + clusterString(cluster.serverPort()).toUtf8() + "\n",
         "ERROR В строке подключения нет ни File, ни Srvr", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QProcess p;
        p.start(kConnector, {});
        ASSERT_TRUE(p.waitForStarted(10000));
        p.write(c.input);
        if (c.input.isEmpty())
            p.closeWriteChannel();
        const QString answer = answerOf(p);
        EXPECT_TRUE(answer.startsWith(QString::fromUtf8(c.answerStart))) << answer.toStdString();
        EXPECT_FALSE(answer.contains(QStringLiteral("ночь"))) << "the answer repeats the password";
        if (answer.startsWith(QLatin1String("OK"))) {
            // It holds the connection while its input stays open...
            EXPECT_FALSE(p.waitForFinished(300));
            EXPECT_EQ(p.state(), QProcess::Running);
        }
        // ...and lets go at its end.
        p.closeWriteChannel();
        ASSERT_TRUE(p.state() == QProcess::NotRunning || p.waitForFinished(10000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), c.code);
        while (QTcpSocket *s = cluster.nextPendingConnection())
            delete s;
    }
}

// The cluster form keeps its TCP connection up while it holds, and SIGTERM
// ends it with the connection.
TEST_F(ConnectorProgram, HoldsTheClusterConnectionUntilTerminated)
{
    QProcess p;
    p.start(kConnector, {});
    ASSERT_TRUE(p.waitForStarted(10000));
    p.write(clusterString(cluster.serverPort()).toUtf8() + "\n");
    EXPECT_TRUE(answerOf(p).startsWith(QStringLiteral("OK "))) << "no OK";
    ASSERT_TRUE(test::waitUntil([&] { return cluster.hasPendingConnections(); }, 5000));
    QTcpSocket *held = cluster.nextPendingConnection();
    ASSERT_TRUE(held);
    EXPECT_FALSE(held->waitForDisconnected(300));
    EXPECT_EQ(held->state(), QAbstractSocket::ConnectedState);
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_TRUE(test::waitUntil([held] {
        held->waitForReadyRead(10);
        return held->state() != QAbstractSocket::ConnectedState;
    }, 5000));
    delete held;
}

// By hand: the string as the one argument; more than one argument is refused.
TEST_F(ConnectorProgram, ByHandTakesTheStringAsItsOneArgument)
{
    QProcess p;
    p.start(kConnector, {fileString(QStringLiteral("Бухгалтерия"))});
    ASSERT_TRUE(p.waitForStarted(10000));
    EXPECT_TRUE(answerOf(p).startsWith(QStringLiteral("OK файловая ИБ: ")));
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 0);

    QProcess two;
    two.start(kConnector, {fileString(QStringLiteral("Бухгалтерия")), QStringLiteral("more")});
    ASSERT_TRUE(two.waitForFinished(10000));
    EXPECT_TRUE(QString::fromUtf8(two.readAllStandardOutput()).startsWith(QStringLiteral("ERROR usage: ")));
    EXPECT_EQ(two.exitCode(), 2);
}

} // namespace
