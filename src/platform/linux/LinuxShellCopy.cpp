// The shell's silent file copy: files, folder trees and symbolic links.

#include "common/SystemHelpers.h"
#include "common/WindowsPath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace dozorix {
namespace {

bool copyEntry(const QFileInfo &source, const QString &target)
{
    if (source.isSymLink()) {
        QFile::remove(target);
        char link[4096];
        const ssize_t n = ::readlink(QFile::encodeName(source.absoluteFilePath()).constData(), link, sizeof link);
        return n > 0 && ::symlink(QByteArray(link, n).constData(), QFile::encodeName(target).constData()) == 0;
    }
    if (source.isDir()) {
        if (!QDir().mkpath(target))
            return false;
        const QFileInfoList entries = QDir(source.absoluteFilePath())
                                          .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                         | QDir::NoDotAndDotDot);
        bool ok = true;
        for (const QFileInfo &entry : entries)
            ok = copyEntry(entry, target + QLatin1Char('/') + entry.fileName()) && ok;
        return ok;
    }
    if (QFileInfo::exists(target) && !QFile::remove(target))
        return false;
    return QFile::copy(source.absoluteFilePath(), target);
}

} // namespace

bool ShellCopy(const QString &source, const QString &destination)
{
    const QString base = QDir::currentPath();
    const QString src = toLocalPath(source, base);
    const QString dst = toLocalPath(destination, base);
    if (src.isEmpty() || dst.isEmpty())
        return false;
    const QFileInfo from(src);
    if (!from.exists() && !from.isSymLink())
        return false;
    const bool intoFolder = QFileInfo(dst).isDir() || destination.endsWith(QLatin1Char('/'))
                            || destination.endsWith(QLatin1Char('\\'));
    const QString target = intoFolder ? dst + QLatin1Char('/') + from.fileName() : dst;
    const QString sourcePath = from.absoluteFilePath();
    if (QDir::cleanPath(target) == QDir::cleanPath(sourcePath))
        return false;
    if (from.isDir() && !from.isSymLink() && (target + QLatin1Char('/')).startsWith(sourcePath + QLatin1Char('/')))
        return false; // a folder into itself
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return false;
    return copyEntry(from, target);
}

} // namespace dozorix
