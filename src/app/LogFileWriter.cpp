#include "app/LogFileWriter.h"

#include "common/ProgramDir.h"
#include "common/SafeFile.h"
#include "common/SystemErrors.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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
    m_size = 0;
}

void LogFileWriter::problem(const QString &text)
{
    if (text == m_reported)
        return;
    m_reported = text;
    m_pending = text;
}

QString LogFileWriter::takeProblem()
{
    QString p;
    p.swap(m_pending);
    return p;
}

bool LogFileWriter::ensureOpen()
{
    const QString path = programDir() + QStringLiteral("/Dozorix.log");
    if (m_fd >= 0 && path == m_path)
        return true;
    close();
    QString reason;
    m_fd = openRegularFile(path, O_WRONLY | O_CREAT | O_APPEND, &reason);
    if (m_fd < 0) {
        problem(QStringLiteral("Журнал не пишется в файл: ") + reason);
        return false;
    }
    struct stat st;
    m_size = ::fstat(m_fd, &st) == 0 ? st.st_size : 0;
    m_path = path;
    return true;
}

// Moves Dozorix.log to Dozorix.log.1 and the older files one place on.
// rename() moves the names themselves: a link planted under one of them is
// moved or replaced, never written through.
bool LogFileWriter::rotate()
{
    const QByteArray name = QFile::encodeName(m_path);
    struct stat mine, there;
    // Another console may have rotated the file already: then only reopen.
    const bool same = ::fstat(m_fd, &mine) == 0 && ::lstat(name.constData(), &there) == 0
        && mine.st_dev == there.st_dev && mine.st_ino == there.st_ino;
    if (same) {
        for (int n = kKeptFiles - 1; n >= 1; --n) {
            const QByteArray from = name + '.' + QByteArray::number(n);
            const QByteArray to = name + '.' + QByteArray::number(n + 1);
            if (::rename(from.constData(), to.constData()) != 0 && errno != ENOENT) {
                problem(QStringLiteral("Не удалось сменить файл журнала «%1»: %2")
                            .arg(QFile::decodeName(from), systemErrorText(errno)));
                return false;
            }
        }
        const QByteArray first = name + ".1";
        if (::rename(name.constData(), first.constData()) != 0) {
            problem(QStringLiteral("Не удалось сменить файл журнала «%1»: %2")
                        .arg(m_path, systemErrorText(errno)));
            return false;
        }
    }
    close();
    return ensureOpen();
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
    line += blankControlCharacters(text);
    line += QLatin1Char('\n');
    const QByteArray bytes = line.toUtf8();
    if (m_size > 0 && m_size + bytes.size() > kMaxFileBytes) {
        if (!rotate())
            return; // the disk stays bounded: the mirror waits for the next line
    }
    // A full disk or the file-size limit costs the mirror, never the window;
    // a line cut short is taken back, so that the file ends with whole lines.
    long long done = 0;
    int err = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        done += n;
    }
    if (err != 0) {
        if (done > 0) {
            const off_t end = ::lseek(m_fd, 0, SEEK_END);
            if (end >= done)
                (void)::ftruncate(m_fd, end - done);
        }
        problem(QStringLiteral("Не удалось записать файл журнала «%1»: %2")
                    .arg(m_path, systemErrorText(err)));
        return;
    }
    m_size += done;
    m_reported.clear();
}

} // namespace dozorix
