#include "peers/FtpPeer.h"

#include "peers/PythonPeer.h"

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

    return startPythonPeer(m_process, args, QStringLiteral("FTP"), &m_port, error);
}

void FtpPeer::stop()
{
    stopPythonPeer(m_process);
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

HostileFtpPeer::HostileFtpPeer(Mode mode, int dripRate)
    : m_mode(mode)
    , m_dripRate(dripRate)
{
}

HostileFtpPeer::~HostileFtpPeer()
{
    stop();
}

bool HostileFtpPeer::start(QString *error)
{
    static const char *const kModes[] = {"drip", "silent", "dead-pasv", "mute", "stranger"};
    const QStringList args{QStringLiteral(DOZORIX_SOURCE_DIR "/tests/peers/ftp_hostile.py"),
                           QStringLiteral("--records"), m_records.path(),
                           QStringLiteral("--mode"), QString::fromLatin1(kModes[static_cast<int>(m_mode)]),
                           QStringLiteral("--rate"), QString::number(m_dripRate)};
    return startPythonPeer(m_process, args, QStringLiteral("hostile FTP"), &m_port, error);
}

void HostileFtpPeer::stop()
{
    stopPythonPeer(m_process);
}

QString HostileFtpPeer::record(const QString &name) const
{
    QFile f(QDir(m_records.path()).filePath(name));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
}

QStringList HostileFtpPeer::commands() const
{
    return record(QStringLiteral("commands.log")).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

qint64 HostileFtpPeer::receivedBytes() const
{
    return record(QStringLiteral("received")).toLongLong();
}

int HostileFtpPeer::deadPasvPort() const
{
    return record(QStringLiteral("pasv-port")).toInt();
}

QString HostileFtpPeer::strangerAddress() const
{
    return record(QStringLiteral("stranger")).section(QLatin1Char(' '), 0, 0);
}

qint64 HostileFtpPeer::strangerBytes() const
{
    const QString text = record(QStringLiteral("stranger"));
    return text.isEmpty() ? -1 : text.section(QLatin1Char(' '), 1, 1).toLongLong();
}

} // namespace dozorix::test
