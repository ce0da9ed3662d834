#include "backup/DiskSpace.h"


#include <QFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace dozorix {

namespace {

quint64 folderSize(int dirFd)
{
    DIR *d = ::fdopendir(dirFd);
    if (!d) {
        ::close(dirFd);
        return 0;
    }
    quint64 total = 0;
    while (struct dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        struct stat st;
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(st.st_mode)) {
            total += static_cast<quint64>(st.st_size);
        } else if (S_ISDIR(st.st_mode)) {
            const int sub = ::openat(::dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0)
                total += folderSize(sub);
        }
    }
    ::closedir(d);
    return total;
}

SpaceCheck compare(quint64 need, const QString &backupFolder, const char *what)
{
    SpaceCheck c;
    c.need = need;
    int err = 0;
    c.free = freeSpace(backupFolder, &err);
    if (c.free < 0)
        return c; // the write itself will tell
    if (static_cast<quint64>(c.free) >= need)
        return c;
    c.enough = false;
    c.reason = QStringLiteral("в каталоге «%1» не хватает места для %2: нужно %3, свободно %4")
                   .arg(backupFolder, QString::fromUtf8(what), sizeText(need), sizeText(static_cast<quint64>(c.free)));
    return c;
}

} // namespace

quint64 treeSize(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0)
        return 0;
    if (S_ISREG(st.st_mode))
        return static_cast<quint64>(st.st_size);
    if (!S_ISDIR(st.st_mode))
        return 0;
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? 0 : folderSize(fd);
}

qint64 freeSpace(const QString &path, int *err)
{
    struct statvfs vfs;
    if (::statvfs(QFile::encodeName(path).constData(), &vfs) != 0) {
        if (err)
            *err = errno;
        return -1;
    }
    return static_cast<qint64>(vfs.f_bavail) * static_cast<qint64>(vfs.f_frsize);
}

quint64 archiveAllowance(quint64 bytes)
{
    return bytes + bytes / 100 + 1024 * 1024;
}

SpaceCheck checkSpaceForCopy(quint64 sourceBytes, bool zip, const QString &backupFolder)
{
    return compare(sourceBytes + (zip ? archiveAllowance(sourceBytes) : 0), backupFolder,
                   zip ? "копии информационной базы и её архива" : "копии информационной базы");
}

SpaceCheck checkSpaceForArchive(const QString &backup, const QString &backupFolder)
{
    return compare(archiveAllowance(treeSize(backup)), backupFolder, "архива");
}

QString sizeText(quint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 байт").arg(bytes);
    const char *units[] = {"КБ", "МБ", "ГБ", "ТБ"};
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    return QString::number(value, 'f', 1).replace(QLatin1Char('.'), QLatin1Char(',')) + QLatin1Char(' ')
        + QString::fromUtf8(units[unit]);
}

} // namespace dozorix
