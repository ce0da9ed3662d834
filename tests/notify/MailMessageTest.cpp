// The letter's wire form and the connection target, without a server.
#include "common/TextCodec.h"
#include "notify/MailMessage.h"
#include "notify/SmtpSender.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace dozorix;

TEST(MailRecipients, SplitAtCommasTrimmedWithoutEmptyEntries)
{
    struct Case {
        const char *text;
        QStringList expected;
    } cases[] = {
        {"admin@firm.ru", {"admin@firm.ru"}},
        {"admin@firm.ru,boss@firm.ru", {"admin@firm.ru", "boss@firm.ru"}},
        {" admin@firm.ru ,  boss@firm.ru , ", {"admin@firm.ru", "boss@firm.ru"}},
        {",,a@b.ru,,", {"a@b.ru"}},
        {"", {}},
        {" , ", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(splitRecipients(QString::fromUtf8(c.text)), c.expected) << c.text;
}

TEST(SmtpTarget, ImplicitTlsUrlWithPort25SentTo465)
{
    struct Case {
        const char *host;
        const char *port;
        const char *url; // nullptr: refused before connecting
        const char *reasonPart;
    } cases[] = {
        {"smtp.firm.ru", "25", "smtps://smtp.firm.ru:465", nullptr},
        {"smtp.firm.ru", "465", "smtps://smtp.firm.ru:465", nullptr},
        {"smtp.firm.ru", "587", "smtps://smtp.firm.ru:587", nullptr},
        {"smtp.firm.ru", "495", "smtps://smtp.firm.ru:495", nullptr},
        {"smtp.firm.ru", "2525", "smtps://smtp.firm.ru:2525", nullptr},
        {"  10.0.0.5 ", " 26 ", "smtps://10.0.0.5:26", nullptr},
        {"::1", "465", "smtps://[::1]:465", nullptr},
        {"smtp.firm.ru", "465x", nullptr, "'465x' is not a valid port number"},
        {"smtp.firm.ru", "abc", nullptr, "'abc' is not a valid port number"},
        {"smtp.firm.ru", "", nullptr, "'' is not a valid port number"},
        {"smtp.firm.ru", "4 65", nullptr, "'4 65' is not a valid port number"},
        {"smtp.firm.ru", "0", nullptr, "port 0 is outside 1..65535"},
        {"smtp.firm.ru", "70000", nullptr, "port 70000 is outside 1..65535"},
        {"smtp.firm.ru", "-25", nullptr, "port -25 is outside 1..65535"},
        {"", "465", nullptr, "no SMTP server is given"},
        {"smtp.firm.ru/other", "465", nullptr, "is not a valid SMTP server name"},
        {"user@smtp.firm.ru", "465", nullptr, "is not a valid SMTP server name"},
    };
    for (const auto &c : cases) {
        const SmtpTarget t = resolveSmtpTarget(QString::fromUtf8(c.host), QString::fromUtf8(c.port));
        SCOPED_TRACE(std::string(c.host) + " : " + c.port);
        if (c.url) {
            EXPECT_TRUE(t.ok) << t.reason.toStdString();
            EXPECT_EQ(t.url, QString::fromUtf8(c.url));
        } else {
            EXPECT_FALSE(t.ok);
            EXPECT_TRUE(t.reason.contains(QString::fromUtf8(c.reasonPart))) << t.reason.toStdString();
        }
    }
    EXPECT_EQ(smtpConnectPort(25), 465);
    EXPECT_EQ(smtpConnectPort(465), 465);
    EXPECT_EQ(smtpConnectPort(24), 24);
}

TEST(SmtpEhlo, AuthMechanismsReadFromTheReply)
{
    struct Case {
        QList<QByteArray> reply;
        QStringList expected;
    } cases[] = {
        {{"250-mail.firm.ru", "250-SIZE 1000", "250-AUTH LOGIN PLAIN", "250 HELP"}, {"LOGIN", "PLAIN"}},
        {{"250-mail.firm.ru", "250 AUTH PLAIN CRAM-MD5"}, {"PLAIN", "CRAM-MD5"}},
        {{"250-mail.firm.ru", "250-AUTH=LOGIN", "250-auth plain login", "250 OK"}, {"LOGIN", "PLAIN"}},
        {{"250-mail.firm.ru", "250-AUTHX LOGIN", "250 8BITMIME"}, {}},
        {{"220 mail.firm.ru ESMTP", "250-mail.firm.ru", "250 HELP"}, {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(offeredAuthMechanisms(c.reply), c.expected) << c.reply.join(" | ").toStdString();
}

TEST(MailMessage, HeadersStayOnTheirLinesAndLinesStayShort)
{
    MailLetter letter;
    // Line breaks in settings must not add headers of their own.
    letter.sender = QStringLiteral("robot@firm.ru\r\nBcc: spy@evil.example");
    letter.recipients = {QStringLiteral("admin@firm.ru"), QStringLiteral("boss@firm.ru\nX-Injected: 1")};
    letter.subject = QStringLiteral("Тема\r\nX-Other: 2 ") + QString(300, QChar(0x0416));
    letter.htmlBody = QStringLiteral("<p>") + QString(5000, QChar(0x0436)) + QStringLiteral("</p>");
    const QByteArray message = buildMailMessage(letter);

    const qsizetype headerEnd = message.indexOf("\r\n\r\n");
    ASSERT_GT(headerEnd, 0);
    EXPECT_EQ(message.count('\r'), message.count("\r\n"));
    EXPECT_EQ(message.count('\n'), message.count("\r\n"));
    for (const QByteArray &line : message.left(headerEnd).split('\n')) {
        EXPECT_FALSE(line.startsWith("Bcc:") || line.startsWith("X-Injected:") || line.startsWith("X-Other:"))
            << line.toStdString();
        EXPECT_LE(line.size(), 78) << line.toStdString();
    }
    for (const QByteArray &line : message.mid(headerEnd + 4).split('\n'))
        EXPECT_LE(line.size(), 78);
    EXPECT_TRUE(message.endsWith("\r\n"));
    EXPECT_TRUE(message.contains("\r\nContent-Type: text/html; charset=windows-1251\r\n"));
    EXPECT_TRUE(message.contains("\r\nMIME-Version: 1.0\r\n"));
}

TEST(MailMessage, BodyCharactersOutsideWindows1251BecomeCharacterReferences)
{
    // "€" and "№" exist in Windows-1251; the check mark and the emoji do not.
    const QString html = QStringLiteral("<p>Готово ✓ € № 😀</p>");
    EXPECT_EQ(fromCp1251(htmlToCp1251(html)), QStringLiteral("<p>Готово &#10003; € № &#128512;</p>"));
    EXPECT_EQ(htmlToCp1251(QStringLiteral("<p>Тест</p>")), toCp1251(u"<p>Тест</p>"));
}

TEST(SmtpFailureReason, TheLibrarysCodesReadInRussianWithItsOwnTextAfterThem)
{
    struct Case {
        int code; // libcurl's result code
        const char *library;
        const char *reply;
        const char *shown;
    } cases[] = {
        {7, "Failed to connect to smtp.firm.ru port 465: Connection refused", "",
         "сервер не принимает соединение (Failed to connect to smtp.firm.ru port 465: Connection refused)"},
        {28, "Operation timed out after 30000 milliseconds", "",
         "время ожидания ответа сервера истекло (Operation timed out after 30000 milliseconds)"},
        {6, "Could not resolve host: smtp.firm.ru", "", "SMTP сервер не найден (Could not resolve host: smtp.firm.ru)"},
        {67, "Login denied", "535 5.7.8 Authentication failed",
         "сервер отклонил логин или пароль (Login denied), ответ сервера: 535 5.7.8 Authentication failed"},
        {35, "SSL connect error", "", "не удалось установить защищенное соединение (TLS) (SSL connect error)"},
        {55, "Failed sending data to the peer: RCPT failed: 550", "",
         "сервер не принял адрес получателя (Failed sending data to the peer: RCPT failed: 550)"},
        {8, "Weird server reply", "554 5.6.0 Message refused",
         "сервер отказался принять письмо (Weird server reply), ответ сервера: 554 5.6.0 Message refused"},
        {99, "Something new", "", "ошибка отправки письма (Something new)"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(smtpFailureReason(c.code, QString::fromUtf8(c.library), QString::fromUtf8(c.reply)), QString::fromUtf8(c.shown))
            << c.code;
}
