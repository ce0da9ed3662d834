#include "FtpPeer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

namespace dozorix::test {

FtpPeer::FtpPeer()
    : FtpPeer(Options{})
{
}

FtpPeer::FtpPeer(Options options)
    : m_options(std::move(options))
{
}

FtpPeer::~FtpPeer()
{
    stop();
}

bool FtpPeer::start(QString *error)
{
    QStringList args{QStringLiteral(DOZORIX_SOURCE_DIR "/tests/peers/ftp_server.py"),
                     QStringLiteral("--root"),    m_root.path(),
                     QStringLiteral("--records"), m_records.path(),
                     QStringLiteral("--user"),    m_options.user,
                     QStringLiteral("--password"), m_options.password};
    if (m_options.resetAfterBytes > 0)
        args << QStringLiteral("--reset-after") << QString::number(m_options.resetAfterBytes);
    if (m_options.closeOnAppe)
        args << QStringLiteral("--close-on-appe");

    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/python3"), args);
    if (!m_process.waitForStarted(10000)) {
        *error = QStringLiteral("python3 did not start: ") + m_process.errorString();
        return false;
    }
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
    *error = QStringLiteral("the FTP peer did not report its port: ") + QString::fromUtf8(out);
    stop();
    return false;
}

void FtpPeer::stop()
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

QByteArray FtpPeer::remoteFile(const QString &relativePath) const
{
    QFile f(QDir(m_root.path()).filePath(relativePath));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool FtpPeer::remoteExists(const QString &relativePath) const
{
    return QFile::exists(QDir(m_root.path()).filePath(relativePath));
}

QStringList FtpPeer::commands() const
{
    QFile f(QDir(m_records.path()).filePath(QStringLiteral("commands.log")));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace dozorix::test
