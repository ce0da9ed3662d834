#pragma once
// Room on the backup folder's disk. A backup that cannot fit fills the disk
// of a running 1C server, so the run compares before it writes: the copy of
// a file infobase needs the infobase's size (and as much again for the
// archive when ZIP is on, since the unpacked backup is deleted only after
// the archive has been read back); the ZIP step needs the backup's size.
// The free space counted is what an ordinary user may still write
// (statvfs f_bavail): the blocks the file system keeps for root stay free.

#include <QString>

namespace dozorix {

// The bytes of a file, or of every file below a folder (links are not
// followed, special files count nothing).
quint64 treeSize(const QString &path);

// Free bytes for an ordinary writer on the file system holding path; -1
// (with *err set, when given) when it cannot be asked.
qint64 freeSpace(const QString &path, int *err = nullptr);

struct SpaceCheck {
    bool enough = true;
    quint64 need = 0;
    qint64 free = -1;
    QString reason; // Russian, with both figures, when not enough
};

// What an archive of bytes of data may take at most: stored as it is, with
// the records around it.
quint64 archiveAllowance(quint64 bytes);

// Room in backupFolder for the copy of sourceBytes, and for its archive
// beside it when zip is on.
SpaceCheck checkSpaceForCopy(quint64 sourceBytes, bool zip, const QString &backupFolder);
// Room in backupFolder for the archive of the backup (a folder or a dump).
SpaceCheck checkSpaceForArchive(const QString &backup, const QString &backupFolder);

// "512 байт", "1,5 КБ", "20,3 МБ", "4,2 ГБ" (1 КБ = 1024 байт).
QString sizeText(quint64 bytes);

} // namespace dozorix
