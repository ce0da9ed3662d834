// The FreeTDS connection against the TDS server of the tests. FreeTDS's own
// client, tsql, talks to the same server first: what the connection is
// tested against is real TDS.
#include "mssql/SqlServerLink.h"
#include "peers/TdsPeer.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <memory>

using namespace dozorix;
using test::TdsPeer;

namespace {

std::unique_ptr<TdsPeer> startPeer(TdsPeer::Options options)
{
    auto peer = std::make_unique<TdsPeer>(std::move(options));
    QString error;
    if (!peer->start(&error)) {
        ADD_FAILURE() << error.toStdString();
        return nullptr;
    }
    return peer;
}

TdsPeer::Options catalogue()
{
    TdsPeer::Options o;
    o.password = QStringLiteral("p;w\"d");
    o.databases = {QStringLiteral("Buh"), QStringLiteral("Buh 2017"), QStringLiteral("Зарплата")};
    return o;
}

// Runs tsql with the script on its input; returns the output, *code the exit code.
QString runTsql(const TdsPeer &peer, const QString &password, const QString &script, int *code)
{
    QProcess tsql;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TDSVER"), QStringLiteral("7.4"));
    tsql.setProcessEnvironment(env);
    tsql.setProcessChannelMode(QProcess::MergedChannels);
    tsql.start(QStringLiteral("tsql"), {QStringLiteral("-H"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                                        QString::number(peer.port()), QStringLiteral("-U"), QStringLiteral("sa"),
                                        QStringLiteral("-P"), password});
    if (!tsql.waitForStarted(10000)) {
        *code = -1;
        return QStringLiteral("tsql did not start (freetds-bin)");
    }
    tsql.write(script.toUtf8());
    tsql.closeWriteChannel();
    if (!tsql.waitForFinished(30000)) {
        tsql.kill();
        tsql.waitForFinished();
    }
    *code = tsql.exitCode();
    return QString::fromUtf8(tsql.readAll());
}

TEST(TdsPeerSpeaksTds, FreeTdsOwnClientListsTheCatalogueAndSendsBatches)
{
    auto peer = startPeer(catalogue());
    ASSERT_TRUE(peer);
    int code = 0;
    const QString out = runTsql(*peer, QStringLiteral("p;w\"d"),
                                QStringLiteral("SELECT name AS CATALOG_NAME FROM master.dbo.sysdatabases\ngo\n"
                                               "BACKUP DATABASE [Buh] TO DISK = 'D:\\x.bak'\ngo\nexit\n"),
                                &code);
    EXPECT_EQ(code, 0) << out.toStdString();
    for (const char *name : {"CATALOG_NAME", "master", "Buh 2017", "Зарплата", "(4 rows affected)"})
        EXPECT_TRUE(out.contains(QString::fromUtf8(name))) << name << "\n" << out.toStdString();
    const QStringList statements = peer->statements();
    ASSERT_EQ(statements.size(), 2);
    EXPECT_EQ(statements[1].trimmed(), QStringLiteral("BACKUP DATABASE [Buh] TO DISK = 'D:\\x.bak'"));
}

TEST(TdsPeerSpeaksTds, FreeTdsOwnClientIsRefusedAWrongPassword)
{
    auto peer = startPeer(catalogue());
    ASSERT_TRUE(peer);
    int code = 0;
    const QString out = runTsql(*peer, QStringLiteral("wrong"), QStringLiteral("exit\n"), &code);
    EXPECT_NE(code, 0);
    EXPECT_TRUE(out.contains(QStringLiteral("Login failed for user 'sa'."))) << out.toStdString();
    EXPECT_EQ(peer->logins(), QStringList{QStringLiteral("sa master fail")});
}

TEST(SqlServerLink, ListsTheCatalogueWithAPasswordHoldingSeparators)
{
    auto peer = startPeer(catalogue());
    ASSERT_TRUE(peer);
    SqlServerLink link;
    SqlError error;
    ASSERT_TRUE(link.open({peer->host(), QStringLiteral("sa"), QStringLiteral("p;w\"d"), QStringLiteral("master")},
                          &error))
        << error.text().toStdString();
    QStringList names;
    ASSERT_TRUE(link.catalogNames(&names, &error)) << error.text().toStdString();
    EXPECT_EQ(names, (QStringList{QStringLiteral("master"), QStringLiteral("Buh"), QStringLiteral("Buh 2017"),
                                  QStringLiteral("Зарплата")}));
    EXPECT_EQ(peer->statements(), QStringList{catalogListStatement()});
    EXPECT_EQ(peer->logins(), QStringList{QStringLiteral("sa master ok")});
}

TEST(SqlServerLink, StatementsArriveAsTextAndRefusalsCarryTheServerMessage)
{
    TdsPeer::Options o = catalogue();
    o.refusals = {{QStringLiteral("BACKUP LOG"), 4208,
                   QStringLiteral("The statement BACKUP LOG is not allowed while the recovery model is SIMPLE.")}};
    auto peer = startPeer(o);
    ASSERT_TRUE(peer);
    SqlServerLink link;
    SqlError error;
    ASSERT_TRUE(link.open({peer->host(), QStringLiteral("sa"), QStringLiteral("p;w\"d"), QStringLiteral("Зарплата")},
                          &error))
        << error.text().toStdString();
    const QString db = backupDatabaseStatement(QStringLiteral("Зарплата"), QStringLiteral("D:\\Б'ы"));
    EXPECT_TRUE(link.execute(db, &error)) << error.text().toStdString();
    EXPECT_FALSE(link.execute(backupLogStatement(QStringLiteral("Зарплата"), QStringLiteral("D:\\B")), &error));
    EXPECT_EQ(error.text(), QStringLiteral("ESqlServerError\r\nThe statement BACKUP LOG is not allowed while the "
                                           "recovery model is SIMPLE."));
    // The connection stays usable after a refusal.
    EXPECT_TRUE(link.execute(QStringLiteral("SELECT 1"), &error)) << error.text().toStdString();
    const QStringList statements = peer->statements();
    ASSERT_EQ(statements.size(), 3);
    EXPECT_EQ(statements[0], db);
    EXPECT_EQ(peer->logins(), QStringList{QStringLiteral("sa Зарплата ok")});
}

// How a failed connection reads: the type name, CR LF, the Russian sentence
// and the original English text.
TEST(SqlServerLink, FailedConnectionsReadAsTypeAndMessage)
{
    auto peer = startPeer(catalogue());
    ASSERT_TRUE(peer);
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QString closedHost = QStringLiteral("127.0.0.1,%1").arg(closed.serverPort());
    closed.close();

    const struct {
        const char *what;
        SqlLogin login;
        const char *expectedStart;
        const char *english;
    } cases[] = {
        {"wrong password", {peer->host(), "sa", "p;w", "master"},
         "ESqlServerError\r\nОшибка входа: неверный логин или пароль MS SQL. ", "Login failed for user 'sa'."},
        {"wrong login", {peer->host(), "admin", "p;w\"d", "master"},
         "ESqlServerError\r\nОшибка входа: неверный логин или пароль MS SQL. ", "Login failed for user 'admin'."},
        {"no such database", {peer->host(), "sa", "p;w\"d", "Buh2018"},
         "ESqlServerError\r\nБаза данных не существует или недоступна. ", "Cannot open database \"Buh2018\""},
        {"nobody listens", {closedHost, "sa", "p;w\"d", "master"},
         "ESqlConnectError\r\nСервер MS SQL недоступен. ", "Adaptive Server"},
    };
    for (const auto &c : cases) {
        SqlServerLink link;
        SqlError error;
        EXPECT_FALSE(link.open(c.login, &error)) << c.what;
        EXPECT_FALSE(link.isOpen());
        EXPECT_TRUE(error.text().startsWith(QString::fromUtf8(c.expectedStart))) << c.what << ": " << error.text().toStdString();
        EXPECT_TRUE(error.text().contains(QString::fromUtf8(c.english))) << c.what << ": " << error.text().toStdString();
    }
}

// A server that takes the connection and never answers: the attempt ends
// with the login time-out (3 s), not never.
TEST(SqlServerLink, SilentServerEndsWithTheLoginTimeOut)
{
    TdsPeer::Options o;
    o.silent = true;
    auto peer = startPeer(o);
    ASSERT_TRUE(peer);
    SqlServerLink link;
    SqlError error;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(link.open({peer->host(), QStringLiteral("sa"), QStringLiteral("secret"), QStringLiteral("master")},
                           &error));
    const qint64 ms = clock.elapsed();
    EXPECT_TRUE(error.text().startsWith(QStringLiteral("ESqlConnectError\r\nСервер MS SQL недоступен. ")))
        << error.text().toStdString();
    // It waited for the time-out rather than failing at once, and gave up.
    EXPECT_GE(ms, (kSqlLoginTimeoutSeconds - 1) * 1000);
    EXPECT_LT(ms, (kSqlLoginTimeoutSeconds + 5) * 1000);
}

} // namespace
