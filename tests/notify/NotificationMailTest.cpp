// Letters sent to a real SMTP server with implicit TLS on 127.0.0.1.
#include "common/LogSink.h"
#include "notify/MailMessage.h"
#include "notify/NotificationMail.h"
#include "peers/SmtpPeer.h"
#include "support/LocalPort.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>

using namespace dozorix;
using test::SmtpPeer;

namespace {

struct LoggedLine {
    QString text;
    unsigned int rgb;
    QThread *thread;
};

// What came back from one letter.
struct Outcome {
    int successes = 0;
    QStringList failures;
    QThread *successThread = nullptr;
    qsizetype logLinesAtSuccess = -1;
};

QStringList jsonStrings(const QJsonValue &v)
{
    QStringList out;
    for (const QJsonValue &e : v.toArray())
        out << e.toString();
    return out;
}

// A program directory with a settings file and a log receiver; every test
// waits for its letters to end, so nothing spills into the next one.
class MailTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setLogReceiver([this](const QString &text, unsigned int rgb) {
            log.push_back({text, rgb, QThread::currentThread()});
        });
    }

    void TearDown() override
    {
        test::waitUntil([] { return mailsInFlight() == 0; }, 30000);
        setLogReceiver({});
        setMailPortProvider({});
    }

    void writeSettings(const MailSettings &s) const
    {
        const QString ini = QStringLiteral("[settings]\r\n"
                                           "E-mail_From_Address=%1\r\n"
                                           "E-mail_EMailAddresses=%2\r\n"
                                           "E-mail_HostSmtp=%3\r\n"
                                           "E-mail_Port=%4\r\n"
                                           "E-mail_Username=%5\r\n"
                                           "E-mail_Password=%6\r\n")
                                .arg(s.sender, s.recipients, s.host, s.port, s.user, s.password);
        home.write(QStringLiteral("Example.ini"), ini.toUtf8());
    }

    static MailSettings settingsFor(int port, const QString &user = {}, const QString &password = {})
    {
        return {QStringLiteral("robot@firm.ru"), QStringLiteral("admin@firm.ru"), QStringLiteral("127.0.0.1"),
                QString::number(port), user, password};
    }

    // Sends with SendNotificationMail and waits for the outcome.
    Outcome sendAndWait(const QString &subject, const QString &body, const QString &successLine)
    {
        Outcome o;
        const MailId id = SendNotificationMail(
            subject, body, successLine,
            [&] {
                ++o.successes;
                o.successThread = QThread::currentThread();
                o.logLinesAtSuccess = static_cast<qsizetype>(log.size());
            },
            [&](const QString &reason) { o.failures << reason; });
        EXPECT_NE(id, 0u);
        EXPECT_TRUE(test::waitUntil([&] { return !isMailInFlight(id); }, 30000));
        return o;
    }

    static void startPeer(SmtpPeer &peer)
    {
        QString error;
        ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    }

    test::ProgramHome home;
    std::vector<LoggedLine> log;
};

const QString kStampPattern = QStringLiteral(R"(^\d\d\.\d\d\.\d{4} - \d{1,2}:\d\d:\d\d : )");

} // namespace

TEST_F(MailTest, LetterIsDeliveredAndReportedOnTheUserInterfaceThread)
{
    SmtpPeer peer;
    startPeer(peer);
    MailSettings s = settingsFor(peer.port(), QStringLiteral("robot"), QStringLiteral("пароль-1"));
    s.recipients = QStringLiteral(" admin@firm.ru , boss@firm.ru ,");
    writeSettings(s);

    const QString subject = QStringLiteral("Превышена нагрузка на ЦПУ 1С Предприятие: 93.5%");
    const QString body = QStringLiteral("<p>ВНИМАНИЕ! Превышена нагрузка на ЦПУ 1С Предприятие: <b>93.5%</b>.</p>"
                                        "<p>Сервер (ПК): SRV1C.</p><p>Время: 09.12.2026 - 1:16:36 : </p>")
                         + kMailFooter;
    const QString line = QStringLiteral("Уведомление о превышении нагрузки на ЦПУ 1С Предприятие, отправлено на E-mail.! ");
    const Outcome o = sendAndWait(subject, body, line);

    EXPECT_EQ(o.successes, 1);
    EXPECT_TRUE(o.failures.isEmpty()) << o.failures.join("; ").toStdString();
    EXPECT_EQ(o.successThread, qApp->thread());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(o.logLinesAtSuccess, 1) << "the success line comes before the on-success action";
    EXPECT_EQ(log[0].rgb, kLogGreen);
    EXPECT_EQ(log[0].thread, qApp->thread());
    EXPECT_TRUE(log[0].text.endsWith(line));
    EXPECT_TRUE(QRegularExpression(kStampPattern + QRegularExpression::escape(line) + "$").match(log[0].text).hasMatch())
        << log[0].text.toStdString();

    const QList<QJsonObject> letters = peer.letters();
    ASSERT_EQ(letters.size(), 1);
    const QJsonObject &l = letters[0];
    EXPECT_EQ(l["mail_from"].toString(), "robot@firm.ru");
    EXPECT_EQ(jsonStrings(l["rcpt_tos"]), (QStringList{"admin@firm.ru", "boss@firm.ru"}));
    EXPECT_EQ(l["auth_mechanism"].toString(), "LOGIN");
    EXPECT_EQ(l["auth_login"].toString(), "robot");
    // Negotiated up to the highest version both sides speak, not pinned low.
    EXPECT_EQ(l["tls_version"].toString(), "TLSv1.3");
    EXPECT_EQ(l["from"].toString(), "robot@firm.ru");
    EXPECT_EQ(l["to"].toString(), "admin@firm.ru, boss@firm.ru");
    EXPECT_EQ(l["subject"].toString(), subject);
    EXPECT_EQ(l["content_type"].toString(), "text/html");
    EXPECT_EQ(l["charset"].toString(), "windows-1251");
    EXPECT_EQ(l["mime_version"].toString(), "1.0");
    const QDateTime date = QDateTime::fromString(l["date_utc"].toString(), Qt::ISODate);
    ASSERT_TRUE(date.isValid()) << l["date"].toString().toStdString();
    EXPECT_LT(std::abs(date.secsTo(QDateTime::currentDateTimeUtc())), 3600) << l["date"].toString().toStdString();
    EXPECT_EQ(l["body"].toString(), body);
    EXPECT_TRUE(l["defects"].toArray().isEmpty());
    EXPECT_EQ(peer.authLog(), QStringList{"LOGIN robot ok"});
}

TEST_F(MailTest, SubjectsAndBodiesArriveReadable)
{
    SmtpPeer peer;
    startPeer(peer);
    writeSettings(settingsFor(peer.port()));

    const QString longRussian = QString(QStringLiteral("Резервное копирование базы «Бухгалтерия» не выполнено. ")).repeated(4);
    struct Case {
        QString subject;
        QString body;
        QString expectedBody;
    } cases[] = {
        {kTestMailSubject, kTestMailBody, kTestMailBody},
        {longRussian, QStringLiteral("<p>") + longRussian.repeated(40) + QStringLiteral("</p>") + kMailFooter,
         QStringLiteral("<p>") + longRussian.repeated(40) + QStringLiteral("</p>") + kMailFooter},
        // Not every character has a place in Windows-1251: the subject then
        // travels in UTF-8, the body keeps them as character references.
        {QStringLiteral("Готово ✓ 😀"), QStringLiteral("<p>Готово ✓</p>"), QStringLiteral("<p>Готово &#10003;</p>")},
        {QStringLiteral("Plain ASCII subject"), QStringLiteral("<p>.dot at start</p>\n.\n<p>x</p>"),
         QStringLiteral("<p>.dot at start</p>\n.\n<p>x</p>")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.subject.left(30).toStdString());
        peer.clearRecords();
        const Outcome o = sendAndWait(c.subject, c.body, QStringLiteral("ok"));
        ASSERT_EQ(o.successes, 1) << o.failures.join("; ").toStdString();
        const QList<QJsonObject> letters = peer.letters();
        ASSERT_EQ(letters.size(), 1);
        EXPECT_EQ(letters[0]["subject"].toString(), c.subject);
        EXPECT_EQ(letters[0]["body"].toString(), c.expectedBody);
        EXPECT_LE(letters[0]["max_line_length"].toInt(), 998);
        EXPECT_TRUE(letters[0]["defects"].toArray().isEmpty());
    }
}

TEST_F(MailTest, AuthLoginOnlyWhenAUserIsGivenAndTheServerOffersLogin)
{
    struct Case {
        const char *name;
        SmtpPeer::Options server;
        QString user;
        QString password;
        QString expectedMechanism; // empty: the letter went without AUTH
        QStringList expectedAuthLog;
    } cases[] = {
        {"login required and right", {.auth = "require", .user = "mailer", .password = "Секрет 42"}, "mailer", "Секрет 42", "LOGIN",
         {"LOGIN mailer ok"}},
        {"only PLAIN offered", {.auth = "plain-only"}, "mailer", "x", {}, {}},
        {"no AUTH offered", {.auth = "none"}, "mailer", "x", {}, {}},
        {"no user given", {.auth = "any"}, {}, "x", {}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SmtpPeer peer(c.server);
        startPeer(peer);
        writeSettings(settingsFor(peer.port(), c.user, c.password));
        const Outcome o = sendAndWait(QStringLiteral("Тема"), QStringLiteral("<p>Текст</p>"), QStringLiteral("ok"));
        EXPECT_EQ(o.successes, 1) << o.failures.join("; ").toStdString();
        const QList<QJsonObject> letters = peer.letters();
        ASSERT_EQ(letters.size(), 1);
        EXPECT_EQ(letters[0]["auth_mechanism"].toString(), c.expectedMechanism);
        EXPECT_EQ(peer.authLog(), c.expectedAuthLog);
    }
}

TEST_F(MailTest, FailedLetterLeavesNoLineNoActionAndCanBeRetried)
{
    struct Case {
        const char *name;
        std::optional<SmtpPeer::Options> server; // none: nothing listens
        const char *reasonPart;
        QStringList expectedAuthLog;
        const char *shownAs; // the Russian reason; the library's text follows in parentheses
    } cases[] = {
        {"login rejected", SmtpPeer::Options{.auth = "require", .user = "mailer", .password = "right"}, "535",
         {"LOGIN mailer fail"}, "сервер отклонил логин или пароль (Login denied"},
        {"connection dropped after EHLO", SmtpPeer::Options{.dropAfterEhlo = true}, "", {},
         "сервер прервал соединение или не принял письмо (Failure when receiving data from the peer"},
        {"nothing listening", std::nullopt, "connect", {}, "сервер не принимает соединение (Failed to connect to 127.0.0.1"},
        // A server that wants STARTTLS first never completes the handshake.
        {"server without implicit TLS", SmtpPeer::Options{.noTls = true}, "", {},
         "не удалось установить защищенное соединение (TLS) (SSL connect error"},
        {"recipient refused", SmtpPeer::Options{.rejectRecipient = "admin@firm.ru"}, "550", {"LOGIN mailer ok"},
         "сервер не принял адрес получателя (Failed sending data to the peer: RCPT failed: 550"},
        // The whole letter went over the wire, but the server did not take it.
        {"letter refused at the end of DATA", SmtpPeer::Options{.rejectData = true}, "554", {"LOGIN mailer ok"},
         "сервер отказался принять письмо (Weird server reply), ответ сервера: 554"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        std::optional<SmtpPeer> peer;
        int port = test::unusedLocalPort();
        if (c.server) {
            peer.emplace(*c.server);
            startPeer(*peer);
            port = peer->port();
        }
        writeSettings(settingsFor(port, QStringLiteral("mailer"), QStringLiteral("wrong")));

        const Outcome o = sendAndWait(QStringLiteral("Тема"), QStringLiteral("<p>Текст</p>"), QStringLiteral("sent"));
        EXPECT_EQ(o.successes, 0);
        EXPECT_TRUE(log.empty()) << log.front().text.toStdString();
        ASSERT_EQ(o.failures.size(), 1);
        EXPECT_FALSE(o.failures[0].isEmpty());
        EXPECT_TRUE(o.failures[0].contains(QString::fromUtf8(c.reasonPart))) << o.failures[0].toStdString();
        EXPECT_TRUE(o.failures[0].startsWith(QString::fromUtf8(c.shownAs))) << o.failures[0].toStdString();
        if (peer) {
            EXPECT_TRUE(peer->letters().isEmpty());
            EXPECT_EQ(peer->authLog(), c.expectedAuthLog);
        }
    }

    // The next attempt, as an alert timer makes it, goes through once the
    // server takes the letter.
    log.clear();
    SmtpPeer good({.auth = "require", .user = "mailer", .password = "right"});
    startPeer(good);
    writeSettings(settingsFor(good.port(), QStringLiteral("mailer"), QStringLiteral("right")));
    const Outcome o = sendAndWait(QStringLiteral("Тема"), QStringLiteral("<p>Текст</p>"), QStringLiteral("sent"));
    EXPECT_EQ(o.successes, 1);
    EXPECT_EQ(good.letters().size(), 1);
}

TEST_F(MailTest, PortThatIsNotAnIntegerFailsBeforeAnyConnection)
{
    SmtpPeer peer;
    startPeer(peer);
    // A parser that took the leading digits would reach the server.
    MailSettings s = settingsFor(peer.port());
    s.port = peer.portText() + QStringLiteral("x");
    writeSettings(s);

    const Outcome o = sendAndWait(QStringLiteral("Тема"), QStringLiteral("<p>Текст</p>"), QStringLiteral("sent"));
    EXPECT_EQ(o.successes, 0);
    ASSERT_EQ(o.failures.size(), 1);
    EXPECT_TRUE(o.failures[0].contains(s.port)) << o.failures[0].toStdString();
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(peer.connectionCount(), 0);
}

TEST_F(MailTest, PortComesFromTheRegisteredProviderAtSendingTime)
{
    SmtpPeer peer;
    startPeer(peer);
    MailSettings s = settingsFor(test::unusedLocalPort());
    writeSettings(s);
    EXPECT_EQ(readMailSettings().port, s.port); // the file, while no provider is registered

    QString portBox = peer.portText();
    setMailPortProvider([&] { return portBox; });
    EXPECT_EQ(readMailSettings().port, peer.portText());
    EXPECT_EQ(readMailSettings().host, "127.0.0.1");
    EXPECT_EQ(sendAndWait(QStringLiteral("Тема"), QStringLiteral("<p>1</p>"), QStringLiteral("sent")).successes, 1);

    // The settings file is read anew for every letter.
    s.sender = QStringLiteral("other@firm.ru");
    writeSettings(s);
    EXPECT_EQ(sendAndWait(QStringLiteral("Тема"), QStringLiteral("<p>2</p>"), QStringLiteral("sent")).successes, 1);
    const QList<QJsonObject> letters = peer.letters();
    ASSERT_EQ(letters.size(), 2);
    EXPECT_EQ(letters[1]["mail_from"].toString(), "other@firm.ru");
}

TEST_F(MailTest, TestLetterReportsSuccessInGreenAndFailureInRedWithTheReason)
{
    SmtpPeer peer({.auth = "require", .user = "mailer", .password = "right"});
    startPeer(peer);
    // The settings file holds nothing usable: the test letter takes its values as given.
    writeSettings(settingsFor(test::unusedLocalPort()));

    MailSettings values = settingsFor(peer.port(), QStringLiteral("mailer"), QStringLiteral("right"));
    MailId id = SendTestMail(values);
    ASSERT_TRUE(test::waitUntil([&] { return !isMailInFlight(id); }, 30000));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rgb, kLogGreen);
    EXPECT_TRUE(QRegularExpression(kStampPattern + QStringLiteral("Письмо успешно отправлено! $")).match(log[0].text).hasMatch())
        << log[0].text.toStdString();
    ASSERT_EQ(peer.letters().size(), 1);
    EXPECT_EQ(peer.letters()[0]["subject"].toString(), QStringLiteral("Тестовое письмо: Dozorix!"));
    EXPECT_EQ(peer.letters()[0]["body"].toString(),
              QStringLiteral("<p>Тестовое письмо.</p><p>Это сообщение отправлено автоматически программой Dozorix.</p>"));

    struct Case {
        const char *name;
        QString port;
        QString password;
        QString reasonPart;
    } cases[] = {
        {"login rejected", peer.portText(), QStringLiteral("wrong"), QStringLiteral("535")},
        {"port not a number", QStringLiteral("46five"), QStringLiteral("right"), QStringLiteral("'46five'")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        values.port = c.port;
        values.password = c.password;
        id = SendTestMail(values);
        ASSERT_TRUE(test::waitUntil([&] { return !isMailInFlight(id); }, 30000));
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].rgb, kLogRed);
        EXPECT_TRUE(QRegularExpression(kStampPattern + QStringLiteral("Не удалось отправить письмо: .+")).match(log[0].text).hasMatch())
            << log[0].text.toStdString();
        EXPECT_TRUE(log[0].text.contains(c.reasonPart)) << log[0].text.toStdString();
    }
    EXPECT_EQ(peer.letters().size(), 1);
}

TEST_F(MailTest, WindowKeepsRunningWhileTheLetterIsOnItsWay)
{
    // The server holds its final reply for a moment after taking the letter.
    SmtpPeer peer({.dataDelaySeconds = 0.5});
    startPeer(peer);
    writeSettings(settingsFor(peer.port()));

    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);

    int ticksAtSuccess = -1;
    bool letterRecordedAtSuccess = false;
    const MailId id = SendNotificationMail(QStringLiteral("Тема"), QStringLiteral("<p>Текст</p>"), QStringLiteral("sent"),
                                           [&] {
                                               ticksAtSuccess = ticks;
                                               letterRecordedAtSuccess = peer.letters().size() == 1;
                                           });
    EXPECT_TRUE(isMailInFlight(id));
    EXPECT_EQ(ticks, 0);
    EXPECT_EQ(ticksAtSuccess, -1) << "the outcome never arrives inside the call";
    ASSERT_TRUE(test::waitUntil([&] { return !isMailInFlight(id); }, 30000));
    EXPECT_GT(ticksAtSuccess, 1) << "the timer fired while the letter was on its way";
    EXPECT_TRUE(letterRecordedAtSuccess);
    EXPECT_EQ(mailsInFlight(), 0);
}

TEST_F(MailTest, CallerGoneBeforeTheOutcomeMeansNoLineAndNoCall)
{
    SmtpPeer peer({.dataDelaySeconds = 0.3});
    startPeer(peer);
    writeSettings(settingsFor(peer.port()));

    bool called = false;
    auto *caller = new QObject;
    const MailId id = SendNotificationMail(QStringLiteral("Тема"), QStringLiteral("<p>Текст</p>"), QStringLiteral("sent"),
                                           [&] { called = true; }, {}, caller);
    delete caller;
    ASSERT_TRUE(test::waitUntil([&] { return !isMailInFlight(id); }, 30000));
    EXPECT_FALSE(called);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(peer.letters().size(), 1); // the letter itself still went
}

TEST_F(MailTest, LetterAskedForOnAnotherThreadIsSentFromTheUserInterfaceThread)
{
    SmtpPeer peer;
    startPeer(peer);
    writeSettings(settingsFor(peer.port()));

    QThread *successThread = nullptr;
    MailId idOnWorker = 1;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        idOnWorker = SendNotificationMail(QStringLiteral("Тема"), QStringLiteral("<p>Поток</p>"), QStringLiteral("sent"),
                                          [&] { successThread = QThread::currentThread(); });
    }));
    worker->start();
    ASSERT_TRUE(worker->wait(10000));
    EXPECT_EQ(idOnWorker, 0u);
    ASSERT_TRUE(test::waitUntil([&] { return successThread != nullptr; }, 30000));
    EXPECT_EQ(successThread, qApp->thread());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].thread, qApp->thread());
    EXPECT_EQ(peer.letters().size(), 1);
}

TEST_F(MailTest, SessionInProgressEndsAtOnceWhenCancelled)
{
    // The server takes the letter but never gets round to its final reply.
    SmtpPeer peer({.dataDelaySeconds = 600});
    startPeer(peer);

    SmtpJob job;
    job.target = resolveSmtpTarget(QStringLiteral("127.0.0.1"), peer.portText());
    job.sender = QStringLiteral("robot@firm.ru");
    job.recipients = {QStringLiteral("admin@firm.ru")};
    job.message = buildMailMessage({job.sender, job.recipients, QStringLiteral("Тема"), QStringLiteral("<p>x</p>")});

    SmtpCancel cancel;
    std::atomic_bool done{false};
    MailResult result;
    std::thread session([&] {
        result = sendSmtpMail(job, &cancel);
        done = true;
    });
    const bool sent = test::waitUntil([&] { return peer.letters().size() == 1; }, 20000);
    cancel.cancel();
    const bool ended = test::waitUntil([&] { return done.load(); }, 20000);
    session.join();
    ASSERT_TRUE(sent);
    ASSERT_TRUE(ended);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.contains(QStringLiteral("cancelled"))) << result.reason.toStdString();
}
