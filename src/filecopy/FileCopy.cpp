#include "filecopy/FileCopy.h"

#include "common/SystemErrors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace dozorix {
namespace {

int copyByReadWrite(int in, int out, off_t from, const std::atomic<bool> *stop, off_t *total)
{
    *total = from;
    if (::lseek(in, from, SEEK_SET) < 0 || ::lseek(out, from, SEEK_SET) < 0)
        return errno;
    std::vector<char> buf(1 << 20);
    for (;;) {
        const ssize_t r = ::read(in, buf.data(), buf.size());
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (r == 0)
            return 0;
        if (stop && stop->load())
            return ECANCELED;
        *total += r;
        for (ssize_t done = 0; done < r;) {
            const ssize_t w = ::write(out, buf.data() + done, static_cast<size_t>(r - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            done += w;
        }
    }
}

int copyData(int in, int out, const std::atomic<bool> *stop, off_t *total)
{
    off_t copied = 0;
    *total = 0;
    for (;;) {
        // Pieces of 64 MiB let a stop request through during a large file.
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 64u << 20, 0);
        if (n > 0) {
            copied += n;
            *total = copied;
            if (stop && stop->load())
                return ECANCELED;
            continue;
        }
        if (n == 0)
            return 0;
        if (errno == EINTR)
            continue;
        // File systems (or kernels) that cannot copy between these two files.
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP
            || errno == EBADF || errno == ETXTBSY || errno == EPERM)
            return copyByReadWrite(in, out, copied, stop, total);
        return errno;
    }
}

} // namespace

QString fileErrorText(int err)
{
    if (err == kFileChangedWhileCopied)
        return QStringLiteral("файл изменился во время копирования (его размер или время изменения до и после "
                              "копирования разные): копия не годится для восстановления");
    if (err == kNotARegularFile)
        return QStringLiteral("это не обычный файл, а канал (FIFO), сокет или устройство: данных файла у него нет (")
            + systemErrorWords(err) + QLatin1Char(')');
    return systemErrorText(err);
}

int openSourceFile(const QByteArray &path, struct stat *st)
{
    // A look before opening: opening a device can have effects of its own.
    if (::stat(path.constData(), st) != 0)
        return -1;
    if (!S_ISREG(st->st_mode)) {
        errno = S_ISDIR(st->st_mode) ? EISDIR : kNotARegularFile;
        return -1;
    }
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENXIO)
            errno = kNotARegularFile; // a socket put in the file's place
        return -1;
    }
    int err = 0;
    if (::fstat(fd, st) != 0)
        err = errno;
    else if (!S_ISREG(st->st_mode))
        err = S_ISDIR(st->st_mode) ? EISDIR : kNotARegularFile;
    else if (::fcntl(fd, F_SETFL, 0) != 0) // back to blocking (the only status flag set at open)
        err = errno;
    if (err != 0) {
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int createTempBeside(const QByteArray &path, QByteArray *tmpPath)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::minstd_rand random(static_cast<unsigned int>(std::random_device{}()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray name = path + ".tmp";
        for (int i = 0; i < 6; ++i)
            name += kLetters[random() % (sizeof(kLetters) - 1)];
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
        if (fd >= 0) {
            *tmpPath = name;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

void syncFolderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray dir = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

namespace {

// Gives the complete temporary file dst's name; with exclusive only when no
// dst exists.
int placeFile(const QByteArray &tmp, const QByteArray &dst, bool exclusive)
{
    if (!exclusive)
        return ::rename(tmp.constData(), dst.constData()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, tmp.constData(), AT_FDCWD, dst.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // File systems without the no-replace rename: a second link, where links are.
    if (::link(tmp.constData(), dst.constData()) == 0) {
        ::unlink(tmp.constData());
        return 0;
    }
    if (errno == EEXIST)
        return EEXIST;
    struct stat st;
    if (::lstat(dst.constData(), &st) == 0)
        return EEXIST;
    return ::rename(tmp.constData(), dst.constData()) == 0 ? 0 : errno;
}

} // namespace

int copyFileKeepingTimes(const QByteArray &src, const QByteArray &dst, const std::atomic<bool> *stop,
                         bool exclusive, quint64 *copied)
{
    struct stat st;
    const int in = openSourceFile(src, &st);
    if (in < 0)
        return errno;
    struct stat existing;
    const bool replacing = ::stat(dst.constData(), &existing) == 0;
    if (replacing) {
        if (exclusive) {
            ::close(in);
            return EEXIST;
        }
        if (existing.st_dev == st.st_dev && existing.st_ino == st.st_ino) {
            ::close(in); // copying a file onto itself would empty it
            return EINVAL;
        }
    }
    QByteArray tmp;
    const int out = createTempBeside(dst, &tmp);
    if (out < 0) {
        const int err = errno;
        ::close(in);
        return err;
    }
    off_t total = 0;
    int err = copyData(in, out, stop, &total);
    if (err == 0) {
        // A file written while it was copied: the copy holds data that never
        // existed as a file, and may not restore.
        struct stat after;
        if (::fstat(in, &after) != 0)
            err = errno;
        else if (after.st_size != st.st_size || after.st_size != total
                 || after.st_mtim.tv_sec != st.st_mtim.tv_sec || after.st_mtim.tv_nsec != st.st_mtim.tv_nsec
                 || after.st_ctim.tv_sec != st.st_ctim.tv_sec || after.st_ctim.tv_nsec != st.st_ctim.tv_nsec)
            err = kFileChangedWhileCopied;
    }
    if (err == 0 && ::fchmod(out, st.st_mode & 07777) != 0)
        err = errno;
    if (err == 0) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (::futimens(out, times) != 0)
            err = errno;
    }
    // A file that takes an older one's place is on disk before the name
    // moves, so that a crash leaves the old file or the new one.
    if (err == 0 && replacing && ::fsync(out) != 0)
        err = errno;
    if (::close(out) != 0 && err == 0)
        err = errno;
    ::close(in);
    if (err == 0)
        err = placeFile(tmp, dst, exclusive);
    if (err != 0) {
        ::unlink(tmp.constData());
        return err;
    }
    if (replacing)
        syncFolderOf(dst);
    if (copied)
        *copied = static_cast<quint64>(total);
    return 0;
}

int moveFileReplacing(const QByteArray &src, const QByteArray &dst)
{
    if (::rename(src.constData(), dst.constData()) == 0)
        return 0;
    if (errno != EXDEV)
        return errno;
    const int err = copyFileKeepingTimes(src, dst);
    if (err != 0)
        return err;
    if (::unlink(src.constData()) != 0)
        return errno;
    return 0;
}

int makePath(const QByteArray &dir)
{
    if (dir.isEmpty())
        return 0;
    struct stat st;
    if (::stat(dir.constData(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    QByteArray path = dir;
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    for (qsizetype i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        const QByteArray part = path.left(i);
        if (::mkdir(part.constData(), 0777) != 0 && errno != EEXIST)
            return errno;
    }
    if (::stat(dir.constData(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

} // namespace dozorix
