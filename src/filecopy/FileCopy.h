#pragma once
// File operations of the copy thread and the ZIP writer, with the kernel
// doing the copying.

#include <QByteArray>
#include <QtGlobal>
#include <QString>

#include <atomic>
#include <cerrno>
#include <sys/stat.h>

namespace dozorix {

// The error of a file that holds no data to copy or pack: a FIFO, a socket
// or a device. Its system text is "Operation not supported"; fileErrorText
// says what it is.
inline constexpr int kNotARegularFile = EOPNOTSUPP;

// The error of a file whose size, modification time or change time differed
// after its copy from before it: something wrote it meanwhile. Outside the
// errno values.
inline constexpr int kFileChangedWhileCopied = 0x10001;

// A readable reason for an error of the backup's file operations: the
// reasons of SystemErrors.h, and what a file that is not a regular one is.
QString fileErrorText(int err);

// Opens a file to be packed or copied for reading, following links as the
// backup always has (the program directory's own files go through
// SafeFile.h instead), never blocking: a path that is not a
// regular file (a FIFO, whose open would wait for a writer forever, a
// socket, a device) is refused with kNotARegularFile before it is opened,
// and again after (the name may change in between). On success the file is
// open in blocking mode, *st holds its status and the descriptor is
// returned; else -1 with errno set.
int openSourceFile(const QByteArray &path, struct stat *st);

// Copies the file src to dst, replacing dst (also when dst is read-only).
// The data goes through copy_file_range, or a read/write loop where the file
// systems cannot do that, into a temporary file beside dst, which takes dst's
// name only when it is complete (made durable first when it replaces a
// file): a failed copy (a full disk, the file-size limit) leaves no partial
// file and an existing dst exactly as it was. dst gets src's permission bits
// and its access and modification times. Returns 0 or the errno of the
// failing step (kNotARegularFile for a source that is not a regular file,
// kFileChangedWhileCopied for one written while it was copied);
// ECANCELED when *stop turned true on the way. With exclusive, an existing
// dst is left alone and EEXIST returned. On success *copied (when given)
// holds the number of bytes copied.
int copyFileKeepingTimes(const QByteArray &src, const QByteArray &dst,
                         const std::atomic<bool> *stop = nullptr, bool exclusive = false,
                         quint64 *copied = nullptr);

// Moves src to dst, replacing dst; across file systems the file is copied
// (as above) and then src removed. Returns 0 or the errno.
int moveFileReplacing(const QByteArray &src, const QByteArray &dst);

// Creates the folder with every missing parent. Returns 0 or the errno.
int makePath(const QByteArray &dir);

// Creates a new, empty file beside path, named path + ".tmp" + six random
// characters, for writing (mode 0644 less the umask). Returns the
// descriptor and sets *tmpPath, or -1 with errno set.
int createTempBeside(const QByteArray &path, QByteArray *tmpPath);

// Flushes the folder holding path to disk (a rename in it made durable).
void syncFolderOf(const QByteArray &path);

} // namespace dozorix
