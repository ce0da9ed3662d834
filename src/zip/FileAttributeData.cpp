#include "zip/FileAttributeData.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace dozorix {
namespace {

constexpr qint64 kUnixEpochIn1601Seconds = 11644473600LL;

quint64 fromStatx(const struct statx_timestamp &t)
{
    return fileTimeFromUnix(t.tv_sec, static_cast<long>(t.tv_nsec));
}

void fill(const struct statx &st, const char *name, FileAttributeData *out)
{
    const bool dir = S_ISDIR(st.stx_mode);
    out->FileAttributes = dir ? kFileAttributeDirectory : kFileAttributeArchive;
    if (!(st.stx_mode & S_IWUSR))
        out->FileAttributes |= kFileAttributeReadOnly;
    const char *base = std::strrchr(name, '/');
    base = base ? base + 1 : name;
    if (base[0] == '.' && std::strcmp(base, ".") != 0 && std::strcmp(base, "..") != 0)
        out->FileAttributes |= kFileAttributeHidden;
    out->LastWriteTime = fromStatx(st.stx_mtime);
    out->LastAccessTime = fromStatx(st.stx_atime);
    if ((st.stx_mask & STATX_BTIME) && st.stx_btime.tv_sec != 0)
        out->CreationTime = fromStatx(st.stx_btime);
    else
        out->CreationTime = std::min(fromStatx(st.stx_ctime), out->LastWriteTime);
    out->FileSize = dir ? 0 : st.stx_size;
}

} // namespace

quint64 fileTimeFromUnix(qint64 seconds, long nanoseconds)
{
    const qint64 s = seconds + kUnixEpochIn1601Seconds;
    if (s < 0)
        return 0;
    return static_cast<quint64>(s) * 10000000ULL + static_cast<quint64>(nanoseconds / 100);
}

int readFileAttributeDataAt(int dirFd, const char *name, FileAttributeData *out)
{
    struct statx st;
    if (statx(dirFd, name, 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return errno;
    fill(st, name, out);
    return 0;
}

int readFileAttributeData(const QByteArray &nativePath, FileAttributeData *out)
{
    return readFileAttributeDataAt(AT_FDCWD, nativePath.constData(), out);
}

void dosDateTime(quint64 fileTime, quint16 *dosTime, quint16 *dosDate)
{
    *dosTime = 0;
    *dosDate = 0;
    const time_t t = static_cast<time_t>(fileTime / 10000000ULL) - kUnixEpochIn1601Seconds;
    struct tm local;
    if (!localtime_r(&t, &local))
        return;
    const int year = local.tm_year + 1900;
    if (year < 1980 || year > 2107)
        return;
    *dosTime = static_cast<quint16>(local.tm_hour * 2048 + local.tm_min * 32 + local.tm_sec / 2);
    *dosDate = static_cast<quint16>((year - 1980) * 512 + (local.tm_mon + 1) * 32 + local.tm_mday);
}

} // namespace dozorix
