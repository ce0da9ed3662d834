// The backup worker against the TDS server of the tests: which statements it
// sends, in which order, with which stamps; what it logs, and on which thread.
#include "common/LogSink.h"
#include "mssql/ADOThread.h"
#include "peers/TdsPeer.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QPointer>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>

using namespace dozorix;
using test::TdsPeer;

namespace {

struct Line {
    QString text;
    unsigned int rgb;
    bool onUiThread;
};

class ADOThreadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setLogReceiver([this](const QString &text, unsigned int rgb) {
            lines.push_back({text, rgb, QThread::currentThread() == QCoreApplication::instance()->thread()});
        });
    }
    void TearDown() override { setLogReceiver({}); }

    std::unique_ptr<TdsPeer> startPeer(TdsPeer::Options o)
    {
        auto peer = std::make_unique<TdsPeer>(std::move(o));
        QString error;
        if (!peer->start(&error)) {
            ADD_FAILURE() << error.toStdString();
            return nullptr;
        }
        return peer;
    }

    // Runs one backup to its end; the thread object deletes itself.
    std::shared_ptr<SqlBackupJob> run(const TdsPeer &peer, const QString &db, bool full, bool log,
                                      const QString &password = QStringLiteral("secret"))
    {
        auto job = std::make_shared<SqlBackupJob>();
        job->Host = peer.host();
        job->Login = QStringLiteral("sa");
        job->Password = password;
        job->Database = db;
        job->TargetDir = QStringLiteral("D:\\BACKUP");
        job->BackupDb = full;
        job->BackupLog = log;
        QPointer<ADOThread> thread = new ADOThread(job);
        thread->start();
        EXPECT_TRUE(test::waitUntil([&] { return thread.isNull(); }, 30000)) << "the thread object outlived its run";
        return job;
    }

    QStringList texts() const
    {
        QStringList out;
        for (const Line &l : lines)
            out << test::unstamped(l.text);
        return out;
    }

    std::vector<Line> lines;
};

const QString kStarting = QStringLiteral("Приступаю к выполнению бэкапа базы на MS SQL сервере...");
const QString kRunning = QStringLiteral("Выполняю \"бэкап\", ждите... ");
const QString kDone = QStringLiteral("бэкап базы успешно выполнен!");

QDateTime stampOf(const QString &statement)
{
    static const QRegularExpression re(QStringLiteral("\\\\(\\d{8}_\\d{6})_"));
    const auto m = re.match(statement);
    return m.hasMatch() ? QDateTime::fromString(m.captured(1), QStringLiteral("ddMMyyyy_HHmmss")) : QDateTime();
}

TEST_F(ADOThreadTest, DatabaseAndLogAreSentInOrderEachWithItsOwnStamp)
{
    TdsPeer::Options o;
    o.databases = {QStringLiteral("Buh 2017")};
    // The database backup takes a little over a second: the log statement,
    // built afterwards, carries a later stamp.
    o.delays = {{QStringLiteral("^BACKUP DATABASE"), 1.2}};
    auto peer = startPeer(o);
    ASSERT_TRUE(peer);
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    auto job = run(*peer, QStringLiteral("Buh 2017"), true, true);
    EXPECT_TRUE(job->Finished);
    EXPECT_FALSE(job->Failed);
    EXPECT_FALSE(job->BackupDb);
    EXPECT_FALSE(job->BackupLog);

    const QStringList sent = peer->statements();
    ASSERT_EQ(sent.size(), 2);
    static const QRegularExpression dbForm(
        QStringLiteral("^BACKUP DATABASE \\[Buh 2017\\] TO DISK = 'D:\\\\BACKUP\\\\\\d{8}_\\d{6}_Buh 2017\\.bak' $"));
    static const QRegularExpression logForm(
        QStringLiteral("^BACKUP LOG \\[Buh 2017\\] TO DISK = 'D:\\\\BACKUP\\\\\\d{8}_\\d{6}_Buh 2017\\.trn' $"));
    EXPECT_TRUE(dbForm.match(sent[0]).hasMatch()) << sent[0].toStdString();
    EXPECT_TRUE(logForm.match(sent[1]).hasMatch()) << sent[1].toStdString();
    const QDateTime dbStamp = stampOf(sent[0]), logStamp = stampOf(sent[1]);
    ASSERT_TRUE(dbStamp.isValid() && logStamp.isValid());
    EXPECT_GE(dbStamp, before);
    EXPECT_GT(logStamp, dbStamp);
    // The worker logs in the database it backs up.
    EXPECT_EQ(peer->logins(), QStringList{QStringLiteral("sa Buh 2017 ok")});

    EXPECT_EQ(texts(), (QStringList{kStarting, kRunning, kDone}));
    for (const Line &l : lines) {
        EXPECT_EQ(l.rgb, kLogGreen);
        EXPECT_TRUE(l.onUiThread) << "a worker line reached the log off the user-interface thread";
    }
}

TEST_F(ADOThreadTest, KindSelectsTheStatements)
{
    TdsPeer::Options o;
    o.databases = {QStringLiteral("Buh")};
    auto peer = startPeer(o);
    ASSERT_TRUE(peer);
    run(*peer, QStringLiteral("Buh"), false, true);
    run(*peer, QStringLiteral("Buh"), true, false);
    const QStringList sent = peer->statements();
    ASSERT_EQ(sent.size(), 2);
    EXPECT_TRUE(sent[0].startsWith(QStringLiteral("BACKUP LOG [Buh] TO DISK = 'D:\\BACKUP\\")));
    EXPECT_TRUE(sent[0].endsWith(QStringLiteral("_Buh.trn' ")));
    EXPECT_TRUE(sent[1].startsWith(QStringLiteral("BACKUP DATABASE [Buh] TO DISK = 'D:\\BACKUP\\")));
    EXPECT_TRUE(sent[1].endsWith(QStringLiteral("_Buh.bak' ")));
}

TEST_F(ADOThreadTest, RefusedDatabaseStatementStopsTheLogStatement)
{
    TdsPeer::Options o;
    o.databases = {QStringLiteral("Buh")};
    o.refusals = {{QStringLiteral("^BACKUP DATABASE"), 3201,
                   QStringLiteral("Cannot open backup device 'D:\\BACKUP\\x.bak'. Operating system error 3(The system "
                                  "cannot find the path specified.).")}};
    auto peer = startPeer(o);
    ASSERT_TRUE(peer);
    auto job = run(*peer, QStringLiteral("Buh"), true, true);
    EXPECT_TRUE(job->Failed);
    EXPECT_FALSE(job->Finished);
    const QStringList sent = peer->statements();
    ASSERT_EQ(sent.size(), 1);
    EXPECT_TRUE(sent[0].startsWith(QStringLiteral("BACKUP DATABASE [Buh]")));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(texts().mid(0, 2), (QStringList{kStarting, kRunning}));
    EXPECT_EQ(test::unstamped(lines[2].text),
              QStringLiteral("ESqlServerError\r\nCannot open backup device 'D:\\BACKUP\\x.bak'. Operating system "
                             "error 3(The system cannot find the path specified.)."));
    EXPECT_EQ(lines[2].rgb, kLogRed);
}

TEST_F(ADOThreadTest, RefusedLoginLogsOnlyTheError)
{
    TdsPeer::Options o;
    o.databases = {QStringLiteral("Buh")};
    auto peer = startPeer(o);
    ASSERT_TRUE(peer);
    auto job = run(*peer, QStringLiteral("Buh"), true, false, QStringLiteral("wrong"));
    EXPECT_TRUE(job->Failed);
    EXPECT_TRUE(peer->statements().isEmpty());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(test::unstamped(lines[0].text)
                    .startsWith(QStringLiteral("ESqlServerError\r\nОшибка входа: неверный логин или пароль MS SQL. ")));
    EXPECT_EQ(lines[0].rgb, kLogRed);
}

} // namespace
