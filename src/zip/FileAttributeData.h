#pragma once
// What a directory listing tells about a file, in the shape the ZIP format
// and the backup code expect from a Windows listing: an attribute word,
// three times in 100-ns units since 1601-01-01 UTC, and the size.
//
// On Linux the values come from the file's status (statx): the attribute word
// holds the directory bit for folders and the archive bit for files, plus
// read-only when the owner cannot write and hidden for dot-names; the creation
// time is the birth time when the file system keeps one, else the earlier of
// the change and modification times.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <ctime>

namespace dozorix {

inline constexpr quint32 kFileAttributeReadOnly = 0x01;
inline constexpr quint32 kFileAttributeHidden = 0x02;
inline constexpr quint32 kFileAttributeDirectory = 0x10;
inline constexpr quint32 kFileAttributeArchive = 0x20;

struct FileAttributeData {
    quint32 FileAttributes = 0;
    quint64 CreationTime = 0;
    quint64 LastAccessTime = 0;
    quint64 LastWriteTime = 0;
    quint64 FileSize = 0;
};

// 100-ns units since 1601 from a Unix time; 0 for times before 1601.
quint64 fileTimeFromUnix(qint64 seconds, long nanoseconds);

// Reads the status of the file at the native path (symbolic links followed).
// Returns 0 and fills *out, or the errno of the failure.
int readFileAttributeData(const QByteArray &nativePath, FileAttributeData *out);

// The same for a path relative to an open directory.
int readFileAttributeDataAt(int dirFd, const char *name, FileAttributeData *out);

// MS-DOS time and date of a 100-ns time, in local time: time = hour * 2048 +
// minute * 32 + second / 2, date = (year - 1980) * 512 + month * 32 + day;
// both 0 outside the years 1980 .. 2107.
void dosDateTime(quint64 fileTime, quint16 *dosTime, quint16 *dosDate);

} // namespace dozorix
