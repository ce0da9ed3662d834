#pragma once
// Retention of old backups: the backup folder keeps the newest N backups of
// each profile (archives and unpacked folders or dumps alike), the rest are
// deleted once the new backup has been verified. A backup of a profile is
// recognised by the name the run gives it, stamp and alias included:
//   file infobase    "<stamp>_База_<alias>"   (a folder) or + ".zip"
//   client-server    "<alias>_<stamp>_.dt"    (a dump) or + ".zip"
// with <stamp> as DateTimeFolderStamp writes it ("09_12_2026__01_30_00").
// Nothing else in the folder is ever touched.

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace dozorix {

struct StoredBackup {
    QString path;
    QString name;
    QDateTime stamp;
    bool folder = false;
    quint64 size = 0;
};

// The profile's backups lying directly in the folder, newest first.
QList<StoredBackup> profileBackups(const QString &folder, const QString &alias, bool clientServer);

struct RetentionResult {
    QList<StoredBackup> deleted;
    QStringList failures; // "<name>: <reason>"
};

// Deletes all but the newest keep backups of the profile; keep < 1 keeps
// everything. The backup at current (the one just made) is never deleted.
RetentionResult applyRetention(const QString &folder, const QString &alias, bool clientServer, int keep,
                               const QString &current);

} // namespace dozorix
