#include "FileCopy.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace dozorix {
namespace {

int copyByReadWrite(int in, int out, off_t from, const std::atomic<bool> *stop)
{
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

int copyData(int in, int out, const std::atomic<bool> *stop)
{
    off_t copied = 0;
    for (;;) {
        // Pieces of 64 MiB let a stop request through during a large file.
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 64u << 20, 0);
        if (n > 0) {
            copied += n;
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
            return copyByReadWrite(in, out, copied, stop);
        return errno;
    }
}

} // namespace

int copyFileKeepingTimes(const QByteArray &src, const QByteArray &dst, const std::atomic<bool> *stop,
                         bool exclusive)
{
    const int in = ::open(src.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errno;
    struct stat st;
    if (::fstat(in, &st) != 0) {
        const int err = errno;
        ::close(in);
        return err;
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(in);
        return EISDIR;
    }
    struct stat existing;
    if (!exclusive && ::stat(dst.constData(), &existing) == 0) {
        if (existing.st_dev == st.st_dev && existing.st_ino == st.st_ino) {
            ::close(in); // copying a file onto itself would empty it
            return EINVAL;
        }
        // A read-only file in the way is replaced, as the backup expects.
        if (!(existing.st_mode & S_IWUSR))
            ::chmod(dst.constData(), (existing.st_mode | S_IWUSR) & 07777);
    }
    const int out = ::open(dst.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC), 0600);
    if (out < 0) {
        const int err = errno;
        ::close(in);
        return err;
    }
    int err = copyData(in, out, stop);
    if (err == 0 && ::fchmod(out, st.st_mode & 07777) != 0)
        err = errno;
    if (err == 0) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (::futimens(out, times) != 0)
            err = errno;
    }
    if (::close(out) != 0 && err == 0)
        err = errno;
    ::close(in);
    if (err != 0)
        ::unlink(dst.constData());
    return err;
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
