#pragma once
// The real SMTP server of the mail tests (tests/peers/smtp_server.py):
// implicit TLS on 127.0.0.1, a free port, records of every connection, AUTH
// attempt and letter in a temporary folder. Started by the constructor's
// start(), stopped and cleaned up by the destructor.

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace dozorix::test {

class SmtpPeer
{
public:
    struct Options {
        QString auth = QStringLiteral("any"); // any | require | plain-only | none
        QString user;
        QString password;
        bool dropAfterEhlo = false;
        double dataDelaySeconds = 0;
        bool rejectData = false;   // 554 at the end of DATA
        QString rejectRecipient;   // 550 for this RCPT
        bool noTls = false;        // plain text from the first byte
    };

    SmtpPeer();
    explicit SmtpPeer(Options options);
    ~SmtpPeer();
    SmtpPeer(const SmtpPeer &) = delete;
    SmtpPeer &operator=(const SmtpPeer &) = delete;

    // Starts the server and waits until it listens; false with *error set
    // when it does not come up.
    bool start(QString *error);
    void stop();

    int port() const { return m_port; }
    QString portText() const { return QString::number(m_port); }

    // The letters accepted so far, oldest first (the decoded records).
    QList<QJsonObject> letters() const;
    // Lines "<mechanism> <login> ok|fail", one per AUTH attempt.
    QStringList authLog() const;
    int connectionCount() const;
    // Forgets what was recorded so far.
    void clearRecords();

private:
    QStringList readLines(const QString &name) const;

    Options m_options;
    QTemporaryDir m_records;
    QProcess m_process;
    int m_port = 0;
};

} // namespace dozorix::test
