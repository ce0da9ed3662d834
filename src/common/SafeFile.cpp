#include "common/SafeFile.h"

#include "common/FdIo.h"
#include "common/LogSink.h"
#include "common/Stamps.h"
#include "common/SystemErrors.h"

#include <QFile>
#include <QHash>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dozorix {
namespace {

QString linkOrSpecial(const QString &path, const struct stat *st)
{
    if (st && S_ISLNK(st->st_mode))
        return QStringLiteral("«%1» — символическая ссылка, не обычный файл").arg(path);
    return QStringLiteral("«%1» — не обычный файл").arg(path);
}

QString systemFailure(const QString &path, int err)
{
    return QStringLiteral("не удалось открыть файл «%1»: %2").arg(path, systemErrorText(err));
}

QHash<QString, QString> &reported()
{
    static QHash<QString, QString> r;
    return r;
}

} // namespace

int openRegularFile(const QString &path, int flags, QString *reason, int mode)
{
    const bool truncate = flags & O_TRUNC;
    flags &= ~O_TRUNC;
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
        const int err = errno;
        struct stat st;
        const bool known = ::lstat(name.constData(), &st) == 0;
        if (reason) {
            // ELOOP: the name is a link; ENXIO: a FIFO without a reader or a
            // device without a driver.
            if (known && !S_ISREG(st.st_mode) && (err == ELOOP || err == ENXIO || err == EISDIR || S_ISLNK(st.st_mode)))
                *reason = linkOrSpecial(path, &st);
            else
                *reason = systemFailure(path, err);
        }
        errno = err;
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        if (reason)
            *reason = systemFailure(path, err);
        errno = err;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (reason)
            *reason = linkOrSpecial(path, &st);
        errno = ENXIO;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (truncate && st.st_size != 0 && ::ftruncate(fd, 0) != 0) {
        const int err = errno;
        ::close(fd);
        if (reason)
            *reason = systemFailure(path, err);
        errno = err;
        return -1;
    }
    return fd;
}

bool writeRegularFile(const QString &path, const QByteArray &data, QString *reason)
{
    const int fd = openRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC, reason);
    if (fd < 0)
        return false;
    int err = 0;
    const bool written = writeAllToFd(fd, data.constData(), data.size(), &err);
    if (::close(fd) != 0 && written)
        err = errno;
    if (!written || err != 0) {
        if (reason)
            *reason = QStringLiteral("не удалось записать файл «%1»: %2")
                          .arg(path, systemErrorText(err));
        errno = err;
        return false;
    }
    return true;
}

void reportFileOnce(const QString &path, const QString &text)
{
    const auto it = reported().constFind(path);
    if (it != reported().constEnd() && *it == text)
        return;
    reported().insert(path, text);
    logLine(LogStamp() + text, kLogRed);
}

void forgetFileReport(const QString &path)
{
    reported().remove(path);
}

QString blankControlCharacters(QString text)
{
    for (QChar &c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t') || (u >= 0x7F && u <= 0x9F))
            c = QLatin1Char(' ');
    }
    return text;
}

} // namespace dozorix
