#include "backup/Retention.h"

#include "backup/DiskSpace.h"
#include "common/SystemErrors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace dozorix {

namespace {

const QString kStampPattern = QStringLiteral("(\\d\\d_\\d\\d_\\d{4}__\\d\\d_\\d\\d_\\d\\d)");

QRegularExpression namePattern(const QString &alias, bool clientServer)
{
    const QString a = QRegularExpression::escape(alias);
    const QString core = clientServer ? a + QLatin1Char('_') + kStampPattern + QStringLiteral("_\\.dt")
                                      : kStampPattern + QStringLiteral("_База_") + a;
    return QRegularExpression(QLatin1Char('^') + core + QStringLiteral("(\\.zip)?$"));
}

} // namespace

QList<StoredBackup> profileBackups(const QString &folder, const QString &alias, bool clientServer)
{
    QList<StoredBackup> found;
    if (alias.isEmpty() || folder.isEmpty())
        return found;
    const QRegularExpression pattern = namePattern(alias, clientServer);
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &info : entries) {
        const QRegularExpressionMatch m = pattern.match(info.fileName());
        if (!m.hasMatch() || info.isSymLink())
            continue;
        StoredBackup b;
        b.path = info.filePath();
        b.name = info.fileName();
        b.stamp = QDateTime::fromString(m.captured(1), QStringLiteral("dd_MM_yyyy__HH_mm_ss"));
        if (!b.stamp.isValid())
            continue;
        b.folder = info.isDir();
        b.size = treeSize(b.path);
        found << b;
    }
    std::stable_sort(found.begin(), found.end(), [](const StoredBackup &x, const StoredBackup &y) {
        if (x.stamp != y.stamp)
            return x.stamp > y.stamp;
        return x.name > y.name; // the archive before its unpacked backup
    });
    return found;
}

RetentionResult applyRetention(const QString &folder, const QString &alias, bool clientServer, int keep,
                               const QString &current)
{
    RetentionResult r;
    if (keep < 1)
        return r;
    const QList<StoredBackup> all = profileBackups(folder, alias, clientServer);
    const QString currentPath = QFileInfo(current).absoluteFilePath();
    int kept = 0;
    for (const StoredBackup &b : all) {
        if (QFileInfo(b.path).absoluteFilePath() == currentPath || kept < keep) {
            ++kept;
            continue;
        }
        int err = 0;
        if (b.folder) {
            if (!QDir(b.path).removeRecursively())
                err = EIO;
        } else if (::unlink(QFile::encodeName(b.path).constData()) != 0) {
            err = errno;
        }
        if (err == 0)
            r.deleted << b;
        else
            r.failures << QStringLiteral("%1: %2").arg(b.name, b.folder ? QStringLiteral("каталог удалён не полностью")
                                                                         : systemErrorText(err));
    }
    return r;
}

} // namespace dozorix
