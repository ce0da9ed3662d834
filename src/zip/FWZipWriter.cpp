#include "zip/FWZipWriter.h"

#include "filecopy/FileCopy.h"
#include "zip/ZipOutput.h"

#include <QFile>
#include <QFileDevice>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The writer's two ways to build: into a file (a temporary one beside it,
// renamed when complete) or into an open device. The entry list is in
// ZipEntries.cpp, the build itself in ZipBuild.cpp, the records it writes in
// ZipLayout.cpp.

namespace dozorix {

const char *buildZipResultName(TBuildZipResult result)
{
    switch (result) {
    case brDone: return "brDone";
    case brFailed: return "brFailed";
    case brAborted: return "brAborted";
    case brPartialBuild: return "brPartialBuild";
    }
    return "?";
}

TBuildZipResult TFWZipWriter::BuildZip(const QString &ZipFilePath)
{
    m_lastError.clear();
    if (m_building) {
        m_lastError = QStringLiteral("Архив уже создаётся");
        return brFailed;
    }
    if (m_items.empty()) {
        m_lastError = QStringLiteral("Нет файлов для упаковки");
        return brFailed;
    }
    const QByteArray native = QFile::encodeName(ZipFilePath);
    // The archive is written beside its final name and takes it only when
    // complete, so a build that fails leaves the old archive untouched.
    QByteArray tmp;
    const int fd = createTempBeside(native, &tmp);
    if (fd < 0) {
        m_lastError = QStringLiteral("Не удалось создать архив \"%1\": %2").arg(ZipFilePath, fileErrorText(errno));
        return brFailed;
    }
    FileIds archive;
    struct stat st{};
    if (::fstat(fd, &st) == 0)
        archive.emplace_back(static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino));
    struct stat old{};
    const bool replacing = ::stat(native.constData(), &old) == 0 && S_ISREG(old.st_mode);
    if (replacing) {
        // The archive it replaces is not packed into it either, and its
        // permission bits and owner carry over.
        archive.emplace_back(static_cast<quint64>(old.st_dev), static_cast<quint64>(old.st_ino));
        if (st.st_uid != old.st_uid || st.st_gid != old.st_gid)
            (void)::fchown(fd, old.st_uid, old.st_gid);
        (void)::fchmod(fd, old.st_mode & 07777);
    }

    TBuildZipResult result = brFailed;
    try {
        FdZipOutput out(fd);
        result = runBuild(out, archive);
        if (result == brDone || result == brPartialBuild)
            out.sync();
    } catch (const ZipIoError &e) {
        m_lastError = QStringLiteral("Не удалось записать архив \"%1\": %2").arg(ZipFilePath, e.message());
        result = brFailed;
    } catch (...) {
        ::close(fd);
        ::unlink(tmp.constData());
        throw;
    }
    if (::close(fd) != 0 && (result == brDone || result == brPartialBuild)) {
        m_lastError = QStringLiteral("Не удалось записать архив \"%1\": %2").arg(ZipFilePath, fileErrorText(errno));
        result = brFailed;
    }
    if ((result == brDone || result == brPartialBuild) && ::rename(tmp.constData(), native.constData()) != 0) {
        m_lastError = QStringLiteral("Не удалось заменить архив \"%1\": %2").arg(ZipFilePath, fileErrorText(errno));
        result = brFailed;
    }
    if (result == brFailed || result == brAborted)
        ::unlink(tmp.constData());
    else
        syncFolderOf(native);
    return result;
}

TBuildZipResult TFWZipWriter::BuildZip(QIODevice &Stream)
{
    m_lastError.clear();
    if (m_building) {
        m_lastError = QStringLiteral("Архив уже создаётся");
        return brFailed;
    }
    if (!Stream.isOpen() || !Stream.isWritable() || Stream.isSequential()) {
        m_lastError = QStringLiteral("Архив пишется только в открытое для записи устройство с произвольным доступом");
        return brFailed;
    }
    if (m_items.empty()) {
        m_lastError = QStringLiteral("Нет файлов для упаковки");
        return brFailed;
    }
    FileIds archive;
    if (auto *file = qobject_cast<QFileDevice *>(&Stream)) {
        struct stat st;
        if (file->handle() >= 0 && ::fstat(file->handle(), &st) == 0)
            archive.emplace_back(static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino));
    }
    const qint64 start = Stream.pos();
    TBuildZipResult result = brFailed;
    DeviceZipOutput out(Stream);
    try {
        result = runBuild(out, archive);
    } catch (const ZipIoError &e) {
        m_lastError = e.message();
        result = brFailed;
    }
    if (result == brFailed || result == brAborted) {
        try {
            out.truncate(static_cast<quint64>(start));
            out.flush();
        } catch (const ZipIoError &) {
        }
    }
    return result;
}

} // namespace dozorix
