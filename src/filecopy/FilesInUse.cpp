#include "filecopy/FilesInUse.h"

#include <QDir>
#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace dozorix {

namespace {

QByteArray readSmallFile(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray data;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        data.append(buf, n);
    }
    ::close(fd);
    return data;
}

bool isNumber(const char *s)
{
    if (!*s)
        return false;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9')
            return false;
    }
    return true;
}

// "flags:\t0100002" of /proc/<pid>/fdinfo/<fd>: open for writing?
bool openForWriting(const QByteArray &fdinfo)
{
    for (const QByteArray &line : fdinfo.split('\n')) {
        if (line.startsWith("flags:")) {
            const long flags = std::strtol(line.mid(6).trimmed().constData(), nullptr, 8);
            return (flags & O_ACCMODE) != O_RDONLY;
        }
    }
    return false;
}

} // namespace

QString fileInUseText()
{
    return QStringLiteral("Процесс не может получить доступ к файлу, так как этот файл занят другим процессом.");
}

std::set<std::pair<dev_t, ino_t>> FilesInUse::parseLocks(const QByteArray &text)
{
    // "1: POSIX  ADVISORY  WRITE 1234 08:02:131090 0 EOF"; a waiter's line
    // has "->" after the number. The file is MAJOR:MINOR:INODE, the device
    // numbers in hexadecimal.
    std::set<std::pair<dev_t, ino_t>> out;
    for (const QByteArray &line : text.split('\n')) {
        for (const QByteArray &field : line.simplified().split(' ')) {
            const QList<QByteArray> parts = field.split(':');
            if (parts.size() != 3 || parts[2].isEmpty())
                continue;
            bool okMajor = false, okMinor = false, okInode = false;
            const uint major = parts[0].toUInt(&okMajor, 16);
            const uint minor = parts[1].toUInt(&okMinor, 16);
            const qulonglong inode = parts[2].toULongLong(&okInode, 10);
            if (okMajor && okMinor && okInode) {
                out.insert({makedev(major, minor), static_cast<ino_t>(inode)});
                break;
            }
        }
    }
    return out;
}

FilesInUse FilesInUse::snapshot(const QByteArray &folder)
{
    FilesInUse result;
    result.m_files = parseLocks(readSmallFile("/proc/locks"));

    QByteArray prefix = QFile::encodeName(QDir(QFile::decodeName(folder)).canonicalPath());
    if (prefix.isEmpty())
        return result;
    if (!prefix.endsWith('/'))
        prefix += '/';
    const QByteArray self = QByteArray::number(::getpid());

    DIR *proc = ::opendir("/proc");
    if (!proc)
        return result;
    while (dirent *p = ::readdir(proc)) {
        if (!isNumber(p->d_name) || self == p->d_name)
            continue;
        const QByteArray base = QByteArray("/proc/") + p->d_name;
        DIR *fds = ::opendir((base + "/fd").constData());
        if (!fds) {
            // Gone, or another user's process we may not look at.
            if (errno == EACCES || errno == EPERM)
                result.m_blind = true;
            continue;
        }
        while (dirent *f = ::readdir(fds)) {
            if (!isNumber(f->d_name))
                continue;
            const QByteArray link = base + "/fd/" + f->d_name;
            char target[4096];
            const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
            if (n <= 0 || !QByteArray::fromRawData(target, n).startsWith(prefix))
                continue;
            if (!openForWriting(readSmallFile(base + "/fdinfo/" + f->d_name)))
                continue;
            struct stat st {};
            if (::stat(link.constData(), &st) == 0 && S_ISREG(st.st_mode))
                result.m_files.insert({st.st_dev, st.st_ino});
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return result;
}

} // namespace dozorix
