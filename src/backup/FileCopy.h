#pragma once
// File operations of the copy thread, with the kernel doing the copying.

#include <QByteArray>

#include <atomic>

namespace dozorix {

// Copies the file src to dst, replacing dst (also when dst is read-only).
// The data goes through copy_file_range, or a read/write loop where the file
// systems cannot do that; dst gets src's permission bits and its access and
// modification times. A failed copy leaves no partial dst. Returns 0 or the
// errno of the failing step; ECANCELED when *stop turned true on the way.
// With exclusive, an existing dst is left alone and EEXIST returned.
int copyFileKeepingTimes(const QByteArray &src, const QByteArray &dst,
                         const std::atomic<bool> *stop = nullptr, bool exclusive = false);

// Moves src to dst, replacing dst; across file systems the file is copied
// (as above) and then src removed. Returns 0 or the errno.
int moveFileReplacing(const QByteArray &src, const QByteArray &dst);

// Creates the folder with every missing parent. Returns 0 or the errno.
int makePath(const QByteArray &dir);

} // namespace dozorix
