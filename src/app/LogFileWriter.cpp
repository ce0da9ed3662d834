#include "LogFileWriter.h"

#include "FdIo.h"
#include "ProgramDir.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace dozorix {

LogFileWriter::~LogFileWriter()
{
    close();
}

void LogFileWriter::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_path.clear();
}

bool LogFileWriter::ensureOpen()
{
    const QString path = programDir() + QStringLiteral("/Dozorix.log");
    if (m_fd >= 0 && path == m_path)
        return true;
    close();
    m_fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_fd < 0)
        return false;
    m_path = path;
    return true;
}

QString LogFileWriter::colourName(unsigned int rgb)
{
    rgb &= 0xFFFFFF;
    switch (rgb) {
    case 0x008000: return QStringLiteral("green");
    case 0xFF0000: return QStringLiteral("red");
    case 0x000000: return QStringLiteral("black");
    case 0x0000FF: return QStringLiteral("blue");
    default: return QStringLiteral("#%1").arg(rgb, 6, 16, QLatin1Char('0'));
    }
}

void LogFileWriter::append(const QString &text, unsigned int rgb)
{
    if (!ensureOpen())
        return;
    // One write per line, so that a line is never split between writers and
    // nothing waits in a buffer when the program is killed.
    QString line = QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss.zzz"));
    line += QLatin1Char(' ') + QString::number(::getpid());
    line += QStringLiteral(" [") + colourName(rgb) + QStringLiteral("] ");
    line += text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line += QLatin1Char('\n');
    const QByteArray bytes = line.toUtf8();
    writeAllToFd(m_fd, bytes.constData(), bytes.size()); // a full disk costs the mirror, never the window
}

} // namespace dozorix
