#pragma once
// The MS SQL Server stand-in of the tests (tests/peers/tds_server.py): TDS
// 7.4 on 127.0.0.1 with a checked login, a catalogue of databases, refused
// statements and slow statements on demand. It records every batch text and
// every login attempt in a temporary folder. Started by start(), stopped and
// cleaned up by the destructor.

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace dozorix::test {

class TdsPeer
{
public:
    struct Refusal {
        QString pattern; // a Python regular expression searched in the batch text
        int number;      // the server's message number
        QString message;
    };
    struct Delay {
        QString pattern;
        double seconds;
    };
    struct Options {
        QString login = QStringLiteral("sa");
        QString password = QStringLiteral("secret");
        QStringList databases; // besides master
        QList<Refusal> refusals;
        QList<Delay> delays;
        bool silent = false; // accept connections, never answer
    };

    explicit TdsPeer(Options options);
    ~TdsPeer();
    TdsPeer(const TdsPeer &) = delete;
    TdsPeer &operator=(const TdsPeer &) = delete;

    bool start(QString *error);
    void stop();

    int port() const { return m_port; }
    // The address as typed into the window: "127.0.0.1,<port>".
    QString host() const { return QStringLiteral("127.0.0.1,%1").arg(m_port); }

    // Every batch text received, oldest first.
    QStringList statements() const;
    // "user database ok|fail", one per login attempt.
    QStringList logins() const;

private:
    QString readRecords(const QString &name) const;

    Options m_options;
    QTemporaryDir m_records;
    QProcess m_process;
    int m_port = 0;
};

} // namespace dozorix::test
