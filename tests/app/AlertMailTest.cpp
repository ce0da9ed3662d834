// A load alert with mail on, end to end: a process table in which a 1C
// client keeps 90 % of the processors busy, the main window's sampler and
// alerts, and a real SMTP server with implicit TLS on 127.0.0.1. The time is
// scaled so that the 15-minute letter timer runs 1.5 s.
#include "app/ui/TForm1.h"
#include "common/Platform.h"
#include "common/TimeScale.h"
#include "monitor/LoadAlerts.h"
#include "monitor/ui/ProcessMonitorPanel.h"
#include "peers/SmtpPeer.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

// One thin client that has used 90 % of every processor since the table was made.
class BusyClientTable : public ProcessTable
{
public:
    BusyClientTable() { m_clock.start(); }
    std::vector<ProcessInfo> snapshot() override
    {
        ProcessInfo p;
        p.pid = 4242;
        p.ppid = 1;
        p.imageName = QStringLiteral("1cv8c");
        p.ownerName = QStringLiteral("buh1");
        p.userTime = static_cast<qint64>(m_clock.nsecsElapsed() / 100 * processorCount() * 9 / 10);
        p.residentBytes = 100 << 20;
        return {p};
    }
    int processorCount() override { return 2; }

private:
    QElapsedTimer m_clock;
};

struct AlertRun {
    ProgramHome home;
    ScopedTimeScale scale{600};
    ScopedEnv scope{"DOZORIX_INSTANCE_SCOPE", QFile::encodeName(home.path())};
    ScopedInstance<ProcessTable> table{std::make_shared<BusyClientTable>()};
    std::unique_ptr<SmtpPeer> peer;

    explicit AlertRun(SmtpPeer::Options options, const QString &password = QStringLiteral("s3cret"))
        : peer(std::make_unique<SmtpPeer>(options))
    {
        QString error;
        EXPECT_TRUE(peer->start(&error)) << error.toStdString();
        home.write(QStringLiteral("Example.ini"),
                   QStringLiteral("[settings]\r\nE-mail_From_Address=dozorix@srv.local\r\n"
                                  "E-mail_EMailAddresses=admin@srv.local\r\nE-mail_HostSmtp=127.0.0.1\r\n"
                                  "E-mail_Port=%1\r\nE-mail_Username=dozorix\r\nE-mail_Password=%2\r\n"
                                  "CPU_1C_LOAD=1\r\nCPU_1C_LOAD_EMAIL=1\r\nCPU_1C_LOAD_PROCENT=80\r\n")
                       .arg(peer->portText(), password)
                       .toUtf8());
    }
};

int successLines(TForm1 &w)
{
    return static_cast<int>(w.eventLog()->toPlainText().count(
        QStringLiteral("Уведомление о превышении нагрузки на ЦПУ 1С Предприятие, отправлено на E-mail.! ")));
}

// Refreshes the sampler every 50 ms until pred holds or the budget runs out.
bool sampleUntil(TForm1 &w, const std::function<bool()> &pred, int budgetMs)
{
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < budgetMs) {
        w.processMonitor()->RefreshInfo1();
        quietFor(50);
    }
    return pred();
}

} // namespace

TEST(AlertMail, OneLetterPerFifteenMinutesWithTheExceedanceInIt)
{
    SmtpPeer::Options options;
    options.auth = QStringLiteral("require");
    options.user = QStringLiteral("dozorix");
    options.password = QStringLiteral("s3cret");
    AlertRun run(options);
    TForm1 w;
    w.Timer2Timer(); // the mirrors, as the 15-s reload fills them
    ASSERT_TRUE(w.CPU_1C_LOAD_PROVERKA);

    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(sampleUntil(w, [&] { return run.peer->letters().size() >= 1 && successLines(w) == 1; }, 20000));
    const qint64 first = clock.elapsed();
    // Not at once: the letter waits for its timer.
    EXPECT_GE(first, scaledMs(15 * 60 * 1000) * 9 / 10);
    EXPECT_GT(w.eventLog()->toPlainText().count(QStringLiteral("ВНИМАНИЕ! Превышена нагрузка на ЦПУ 1С Предприятие: ")), 5);

    const QJsonObject letter = run.peer->letters().first();
    // The value is the sampler's reading of "about 90 %", printed as the box shows it.
    const auto subject = QRegularExpression(QStringLiteral("^Превышена нагрузка на ЦПУ 1С Предприятие: (\\d+(?:\\.\\d{1,2})?)%$"))
                             .match(letter[QStringLiteral("subject")].toString());
    ASSERT_TRUE(subject.hasMatch()) << letter[QStringLiteral("subject")].toString().toStdString();
    const QString value = subject.captured(1);
    EXPECT_GT(value.toDouble(), 80);
    EXPECT_LE(value.toDouble(), 100);
    const QString body = letter[QStringLiteral("body")].toString();
    EXPECT_TRUE(body.startsWith(QStringLiteral("<p>ВНИМАНИЕ! Превышена нагрузка на ЦПУ 1С Предприятие: <b>") + value
                                + QStringLiteral("%</b>.</p><p>Сервер (ПК): ")))
        << body.toStdString();
    EXPECT_TRUE(body.contains(QRegularExpression(QStringLiteral("<p>Время: \\d\\d\\.\\d\\d\\.\\d{4} - \\d{1,2}:\\d\\d:\\d\\d : </p>"))));
    EXPECT_TRUE(body.endsWith(QStringLiteral("<p>Это сообщение отправлено автоматически программой Dozorix.</p>")));

    // The load stays high: the next letter comes one period later, not sooner.
    ASSERT_TRUE(sampleUntil(w, [&] { return run.peer->letters().size() >= 2; }, 20000));
    const qint64 second = clock.elapsed();
    EXPECT_GE(second - first, scaledMs(15 * 60 * 1000) * 9 / 10);
    waitUntil([&] { return successLines(w) >= 2; }, 5000);
    // One success line per accepted letter; on a slow machine a third letter
    // may come one more period later, never sooner.
    const qsizetype letters = run.peer->letters().size();
    const qint64 periods = (clock.elapsed() - second) / (scaledMs(15 * 60 * 1000) * 9 / 10);
    EXPECT_GE(letters, 2);
    EXPECT_LE(letters, 2 + periods);
    EXPECT_GE(successLines(w), 2);
    EXPECT_LE(successLines(w), letters);
}

TEST(AlertMail, RejectedLoginOrDroppedLineCostsNothingAndIsRetried)
{
    struct Case {
        const char *name;
        bool dropAfterEhlo;
    } cases[] = {{"login rejected", false}, {"connection dropped", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SmtpPeer::Options options;
        options.auth = QStringLiteral("require");
        options.user = QStringLiteral("dozorix");
        options.password = QStringLiteral("other");
        options.dropAfterEhlo = c.dropAfterEhlo;
        AlertRun run(options);
        TForm1 w;
        w.Timer2Timer();
        // Two letter periods and a little more: two attempts, both failing.
        ASSERT_TRUE(sampleUntil(w, [&] { return run.peer->connectionCount() >= 2; }, 20000));
        EXPECT_TRUE(run.peer->letters().isEmpty());
        EXPECT_EQ(successLines(w), 0);
        EXPECT_TRUE(w.processMonitor()->loadAlerts()->timer(LoadAlerts::Client)->isActive());
        // Only the alert's own red lines are in the log: a failed letter is silent.
        const QString log = w.eventLog()->toPlainText();
        EXPECT_FALSE(log.contains(QStringLiteral("E-mail")));
    }
}
