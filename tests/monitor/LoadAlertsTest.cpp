#include "common/LogSink.h"
#include "monitor/LoadAlerts.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct Letter {
    QString subject, body, successLine;
};

// Collects log lines, balloons and letters; the mailer succeeds or fails as told.
struct Harness {
    ProgramHome home;
    ScopedTimeScale scale{1000}; // 15 minutes → 900 ms
    LoadAlerts alerts;
    QStringList log, balloons;
    QList<Letter> letters;
    bool mailSucceeds = true;

    Harness()
    {
        home.write(QStringLiteral("Example.ini"), "[settings]\r\n");
        setLogReceiver([this](const QString &t, unsigned int rgb) {
            log << QStringLiteral("%1|%2").arg(rgb == kLogRed ? QStringLiteral("red") : QStringLiteral("green"), t);
        });
        LoadAlerts::Hooks hooks;
        hooks.balloon = [this](const QString &t) { balloons << t; };
        hooks.computerName = [] { return QStringLiteral("SRV1C"); };
        hooks.mailer = [this](const QString &s, const QString &b, const QString &line, std::function<void()> ok) {
            letters << Letter{s, b, line};
            if (mailSucceeds) {
                logLine(line, kLogGreen);
                ok();
            }
        };
        alerts.setHooks(std::move(hooks));
    }
    ~Harness() { setLogReceiver({}); }
};

const LoadAlerts::Settings off{};
LoadAlerts::Settings on(int threshold, bool mail = false)
{
    return {true, mail, threshold};
}

} // namespace

TEST(LoadAlerts, StrictlyAboveTheThreshold)
{
    struct Case {
        int threshold;
        const char *box;
        bool alerts;
    } cases[] = {
        {80, "80", false}, {80, "80.01", true}, {0, "0", false}, {0, "0.01", true}, {50, "100", true}, {-1, "0", true},
    };
    for (const auto &c : cases) {
        Harness h;
        h.alerts.check(on(c.threshold), off, off, QString::fromLatin1(c.box), QStringLiteral("0"), QStringLiteral("0"));
        EXPECT_EQ(h.log.size(), c.alerts ? 1 : 0) << c.threshold << " " << c.box;
        EXPECT_EQ(h.balloons.size(), c.alerts ? 1 : 0);
    }
}

TEST(LoadAlerts, TextsOfTheThreeAlerts)
{
    Harness h;
    h.alerts.check(on(10), on(10), on(10), QStringLiteral("12.5"), QStringLiteral("30"), QStringLiteral("42.5"));
    ASSERT_EQ(h.log.size(), 3);
    EXPECT_TRUE(h.log[0].startsWith(QStringLiteral("red|")));
    EXPECT_TRUE(h.log[0].endsWith(QStringLiteral(" : ВНИМАНИЕ! Превышена нагрузка на ЦПУ 1С Предприятие: 12.5%")));
    EXPECT_TRUE(h.log[1].endsWith(QStringLiteral(" : ВНИМАНИЕ! Превышена нагрузка на ЦПУ Сервер 1С: 30%")));
    // The total alert's line has the Latin C, its subject the Cyrillic С.
    EXPECT_TRUE(h.log[2].endsWith(QStringLiteral(" : ВНИМАНИЕ! Превышена нагрузка на ЦПУ 1C: 42.5%")));
    EXPECT_EQ(h.balloons, (QStringList{QStringLiteral("ВНИМАНИЕ! Превышена нагрузка на ЦПУ 1С Предприятие: 12.5%"),
                                       QStringLiteral("ВНИМАНИЕ! Превышена нагрузка на ЦПУ Сервер 1С: 30%"),
                                       QStringLiteral("ВНИМАНИЕ! Превышена нагрузка на ЦПУ 1C: 42.5%")}));
    EXPECT_EQ(LoadAlerts::subject(LoadAlerts::Total, QStringLiteral("42.5")), QStringLiteral("Превышена нагрузка на ЦПУ 1С: 42.5%"));
    EXPECT_NE(LoadAlerts::subject(LoadAlerts::Total, {}).indexOf(QStringLiteral("1\u0421")), -1);
    EXPECT_NE(h.log[2].indexOf(QStringLiteral("1C:")), -1);
}

TEST(LoadAlerts, ABoxThatIsNoNumberEndsTheChecks)
{
    Harness h;
    h.alerts.check(on(10), on(10), on(10), QStringLiteral("12"), QStringLiteral("n/a"), QStringLiteral("50"));
    ASSERT_EQ(h.log.size(), 1); // the client alert ran; server failed; total never checked
    EXPECT_TRUE(h.log[0].contains(QStringLiteral("1С Предприятие")));
    // A disabled alert does not read its box at all.
    Harness h2;
    h2.alerts.check(off, off, on(10), QStringLiteral("junk"), QStringLiteral("junk"), QStringLiteral("50"));
    EXPECT_EQ(h2.log.size(), 1);
}

TEST(LoadAlerts, LetterAfterFifteenMinutesWithTheLatestExceedance)
{
    Harness h;
    h.alerts.check(on(80, true), off, off, QStringLiteral("81"), {}, {});
    ASSERT_TRUE(h.alerts.timer(LoadAlerts::Client)->isActive());
    EXPECT_TRUE(h.letters.isEmpty()); // not at once
    const int remainingFirst = h.alerts.timer(LoadAlerts::Client)->remainingTime();
    quietFor(200);
    h.alerts.check(on(80, true), off, off, QStringLiteral("95.5"), {}, {});
    // The running timer was not restarted by the second exceedance.
    EXPECT_LT(h.alerts.timer(LoadAlerts::Client)->remainingTime(), remainingFirst - 100);

    ASSERT_TRUE(waitUntil([&] { return !h.letters.isEmpty(); }, 5000));
    EXPECT_EQ(h.letters.size(), 1);
    const Letter &l = h.letters[0];
    EXPECT_EQ(l.subject, QStringLiteral("Превышена нагрузка на ЦПУ 1С Предприятие: 95.5%"));
    const QString time = h.alerts.lastTime(LoadAlerts::Client);
    EXPECT_TRUE(time.endsWith(QStringLiteral(" : ")));
    EXPECT_EQ(l.body, QStringLiteral("<p>ВНИМАНИЕ! Превышена нагрузка на ЦПУ 1С Предприятие: <b>95.5%</b>.</p>"
                                     "<p>Сервер (ПК): SRV1C.</p><p>Время: ")
                          + time + QStringLiteral("</p><p>Это сообщение отправлено автоматически программой Dozorix.</p>"));
    EXPECT_EQ(l.successLine, QStringLiteral("Уведомление о превышении нагрузки на ЦПУ 1С Предприятие, отправлено на E-mail.! "));
    EXPECT_FALSE(h.alerts.timer(LoadAlerts::Client)->isActive()); // stopped by the success
}

TEST(LoadAlerts, FailedLetterIsTriedAgainAndMissingSettingsSendNothing)
{
    Harness h;
    h.mailSucceeds = false;
    h.alerts.check(off, on(5, true), off, {}, QStringLiteral("6"), {});
    ASSERT_TRUE(waitUntil([&] { return h.letters.size() == 2; }, 5000));
    EXPECT_TRUE(h.alerts.timer(LoadAlerts::Server)->isActive());
    EXPECT_EQ(h.log.size(), 1); // only the alert's own red line: a failed letter is silent
    h.mailSucceeds = true;
    ASSERT_TRUE(waitUntil([&] { return !h.alerts.timer(LoadAlerts::Server)->isActive(); }, 5000));
    EXPECT_EQ(h.letters.size(), 3);
    EXPECT_EQ(h.letters.last().successLine, QStringLiteral("Уведомление о превышении нагрузки на ЦПУ 1С Сервер, отправлено на E-mail.! "));

    // Without a settings file the timer keeps running and no letter is built.
    QFile::remove(h.home.file(QStringLiteral("Example.ini")));
    h.alerts.check(off, off, on(5, true), {}, {}, QStringLiteral("6"));
    quietFor(1500);
    EXPECT_EQ(h.letters.size(), 3);
    EXPECT_TRUE(h.alerts.timer(LoadAlerts::Total)->isActive());
}

TEST(LoadAlerts, MailOffArmsNoTimer)
{
    Harness h;
    h.alerts.check(on(1), on(1), on(1), QStringLiteral("2"), QStringLiteral("2"), QStringLiteral("4"));
    for (auto k : {LoadAlerts::Client, LoadAlerts::Server, LoadAlerts::Total})
        EXPECT_FALSE(h.alerts.timer(k)->isActive());
    EXPECT_EQ(h.alerts.timer(LoadAlerts::Total)->objectName(), QStringLiteral("Timer4"));
    EXPECT_EQ(h.alerts.timer(LoadAlerts::Server)->objectName(), QStringLiteral("Timer5"));
}
