#include "peers/SmtpPeer.h"

#include "peers/PythonPeer.h"

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

    return startPythonPeer(m_process, args, QStringLiteral("SMTP"), &m_port, error);
}

void SmtpPeer::stop()
{
    stopPythonPeer(m_process);
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
