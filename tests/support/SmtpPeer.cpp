#include "SmtpPeer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace dozorix::test {

SmtpPeer::SmtpPeer()
    : SmtpPeer(Options{})
{
}

SmtpPeer::SmtpPeer(Options options)
    : m_options(std::move(options))
{
}

SmtpPeer::~SmtpPeer()
{
    stop();
}

bool SmtpPeer::start(QString *error)
{
    QStringList args{QStringLiteral(DOZORIX_SOURCE_DIR "/tests/peers/smtp_server.py"), QStringLiteral("--records"),
                     m_records.path(), QStringLiteral("--auth"), m_options.auth};
    if (!m_options.user.isEmpty())
        args << QStringLiteral("--user") << m_options.user;
    if (!m_options.password.isEmpty())
        args << QStringLiteral("--password") << m_options.password;
    if (m_options.dropAfterEhlo)
        args << QStringLiteral("--drop-after-ehlo");
    if (m_options.dataDelaySeconds > 0)
        args << QStringLiteral("--data-delay") << QString::number(m_options.dataDelaySeconds);
    if (m_options.rejectData)
        args << QStringLiteral("--reject-data");
    if (!m_options.rejectRecipient.isEmpty())
        args << QStringLiteral("--reject-rcpt") << m_options.rejectRecipient;
    if (m_options.noTls)
        args << QStringLiteral("--no-tls");

    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/python3"), args);
    if (!m_process.waitForStarted(10000)) {
        *error = QStringLiteral("python3 did not start: ") + m_process.errorString();
        return false;
    }
    // The server prints "PORT <n>" once it listens.
    QByteArray out;
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (m_process.canReadLine() || m_process.waitForReadyRead(200)) {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine().trimmed();
                if (line.startsWith("PORT ")) {
                    m_port = line.mid(5).toInt();
                    return m_port > 0;
                }
                out += line + '\n';
            }
        }
        if (m_process.state() != QProcess::Running)
            break;
    }
    *error = QStringLiteral("the SMTP peer did not report its port: ") + QString::fromUtf8(out);
    stop();
    return false;
}

void SmtpPeer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel(); // the server ends at the end of its input
    if (!m_process.waitForFinished(5000)) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
}

QList<QJsonObject> SmtpPeer::letters() const
{
    QList<QJsonObject> out;
    const QDir dir(m_records.path());
    for (const QString &name : dir.entryList({QStringLiteral("letter-*.json")}, QDir::Files, QDir::Name)) {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            out << QJsonDocument::fromJson(f.readAll()).object();
    }
    return out;
}

QStringList SmtpPeer::readLines(const QString &name) const
{
    QFile f(QDir(m_records.path()).filePath(name));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList SmtpPeer::authLog() const
{
    return readLines(QStringLiteral("auth.log"));
}

int SmtpPeer::connectionCount() const
{
    return static_cast<int>(readLines(QStringLiteral("connections.log")).size());
}

void SmtpPeer::clearRecords()
{
    QDir dir(m_records.path());
    for (const QString &name : dir.entryList(QDir::Files))
        dir.remove(name);
}

} // namespace dozorix::test
