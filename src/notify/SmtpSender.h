#pragma once
// One SMTP session per letter, through libcurl with OpenSSL.
//
// - TLS from the first byte (implicit TLS, as on port 465), never STARTTLS;
//   a configured port 25 is sent to 465, every other port is used unchanged;
// - the TLS version is negotiated, from TLS 1.2 up to the highest both sides
//   speak; the server's certificate is not verified;
// - AUTH LOGIN with the user and password when a user is given and the
//   server lists LOGIN among its AUTH mechanisms; otherwise the letter goes
//   without authentication;
// - one MAIL FROM, one RCPT TO per recipient, then the message;
// - 30 s to connect and 120 s for the whole session, so a dead server never
//   holds a sender for long.
//
// The send blocks its thread; callers run it on a worker thread.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <mutex>
#include <vector>

namespace dozorix {

// The six mail settings as text, the way the settings file and the settings
// dialog hold them.
struct MailSettings {
    QString sender;     // "E-mail_From_Address"
    QString recipients; // "E-mail_EMailAddresses", comma-separated
    QString host;       // "E-mail_HostSmtp"
    QString port;       // "E-mail_Port"
    QString user;       // "E-mail_Username"
    QString password;   // "E-mail_Password"
};

struct MailResult {
    bool ok = false;
    QString reason; // why the letter was not accepted; empty on success
};

// Why a session failed, as the program shows it: in Russian, with the mail
// library's own text after it in parentheses and the server's last refusal
// (a 4xx/5xx reply) at the end: "сервер отклонил логин или пароль (Login
// denied), ответ сервера: 535 …". curlCode is the library's result code.
QString smtpFailureReason(int curlCode, const QString &libraryText, const QString &serverReply = QString());

constexpr int kSmtpConnectTimeoutSeconds = 30;
constexpr int kSmtpSessionTimeoutSeconds = 120;

// The port the connection goes to: 25 becomes 465, any other port stays.
int smtpConnectPort(int configuredPort);

// Where a letter goes: "smtps://host:port". Fails, with a reason and without
// any connection, when the server name is empty or not a host name, or the
// port text is not a decimal integer from 1 to 65535.
struct SmtpTarget {
    bool ok = false;
    QString url;
    int port = 0;   // after the 25 → 465 rule
    QString reason; // when !ok
};
SmtpTarget resolveSmtpTarget(const QString &host, const QString &portText);

struct SmtpJob {
    SmtpTarget target;
    QString sender;
    QStringList recipients;
    QString user;
    QString password;
    QByteArray message; // a complete RFC 5322 message
};

// Ends a session in progress from another thread, at once, whatever it is
// waiting for: the session's sockets are shut down under it.
class SmtpCancel
{
public:
    void cancel();
    bool isCancelled() const;

    // For the session: sockets it opens and closes. A socket opened after
    // cancel() is refused.
    bool addSocket(int fd);
    void removeSocket(int fd);

private:
    mutable std::mutex m_mutex;
    bool m_cancelled = false;
    std::vector<int> m_sockets;
};

// Sends one letter and returns when the server has accepted it or the
// session has failed. A cancelled session ends as a failure.
MailResult sendSmtpMail(const SmtpJob &job, SmtpCancel *cancel = nullptr);

// The AUTH mechanisms listed in an EHLO reply (each reply line as received),
// upper case: "250-AUTH LOGIN PLAIN" gives LOGIN and PLAIN.
QStringList offeredAuthMechanisms(const QList<QByteArray> &replyLines);

} // namespace dozorix
