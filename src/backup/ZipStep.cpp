#include "backup/ZipStep.h"

#include "backup/BackupScenario.h"
#include "backup/DiskSpace.h"
#include "common/SystemErrors.h"
#include "zip/ZipVerify.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dozorix {

namespace {

// Puts the backup back where it was made and takes the container away when
// it is empty again.
void putBack(const ZipContainer &z, const QString &backup)
{
    if (QFileInfo::exists(z.movedBackup) && !QFileInfo::exists(backup))
        std::rename(QFile::encodeName(z.movedBackup).constData(), QFile::encodeName(backup).constData());
    QDir().rmdir(z.container);
}

// The writer's own words: why the build failed as a whole, or the entries it
// left out (the first few, with their reasons).
QString writerFailure(const TFWZipWriter &zip)
{
    if (!zip.LastError().isEmpty())
        return zip.LastError();
    QStringList left;
    int more = 0;
    for (int i = 0; i < zip.Count(); ++i) {
        const TFWZipWriterItem *item = zip.GetItem(i);
        if (item->BuildError().isEmpty())
            continue;
        if (left.size() < 3)
            left << QStringLiteral("%1: %2").arg(item->FileName(), item->BuildError());
        else
            ++more;
    }
    if (left.isEmpty())
        return QString();
    QString text = QStringLiteral("не все файлы удалось упаковать: ") + left.join(QStringLiteral("; "));
    if (more > 0)
        text += QStringLiteral(" (и ещё %1)").arg(more);
    return text;
}

} // namespace

ZipStepOutcome runZipStep(const QString &backupFolder, const QByteArray &handOff, const QString &password,
                          const TZipProgressEvent &progress)
{
    ZipStepOutcome out;
    const QString backup = lastNonEmptyLine(handOff).trimmed();
    out.backup = backup;
    if (backup.isEmpty() || !QFileInfo::exists(backup)) {
        out.kind = ZipStepOutcome::NoBackup;
        out.reason = backup.isEmpty() ? QStringLiteral("в temp2.txt не указан «бэкап» для упаковки")
                                      : QStringLiteral("«бэкап» \"%1\" не найден").arg(backup);
        return out;
    }
    const ZipContainer z = zipContainerFor(backup, backupFolder);
    if (!z.valid) {
        out.kind = ZipStepOutcome::NotInFolder;
        out.reason = QStringLiteral("«бэкап» \"%1\" лежит не в каталоге \"%2\"").arg(backup, backupFolder);
        return out;
    }
    const SpaceCheck space = checkSpaceForArchive(backup, backupFolder);
    if (!space.enough) {
        out.kind = ZipStepOutcome::NoSpace;
        out.reason = space.reason;
        return out;
    }
    if (QFileInfo::exists(z.container)) {
        out.kind = ZipStepOutcome::MoveFailed;
        out.reason = QStringLiteral("каталог \"%1\" уже существует").arg(z.container);
        return out;
    }
    if (!QDir().mkdir(z.container)) {
        out.kind = ZipStepOutcome::MoveFailed;
        out.reason = QStringLiteral("не удалось создать каталог \"%1\"").arg(z.container);
        return out;
    }
    if (std::rename(QFile::encodeName(backup).constData(), QFile::encodeName(z.movedBackup).constData()) != 0) {
        const QString why = systemErrorText(errno);
        QDir().rmdir(z.container);
        out.kind = ZipStepOutcome::MoveFailed;
        out.reason = QStringLiteral("не удалось перенести «бэкап» в \"%1\": %2").arg(z.container, why);
        return out;
    }
    out.backup = z.movedBackup;

    QString writerReason;
    {
        TFWZipWriter zip;
        zip.AddFolder(QString(), z.container, QString(), true);
        if (!password.isEmpty()) {
            for (int i = 0; i < zip.Count(); ++i) {
                zip.GetItem(i)->SetPassword(password);
                zip.GetItem(i)->SetNeedDescriptor(true);
            }
        }
        zip.SetOnProgress(progress);
        out.build = zip.BuildZip(z.archive);
        writerReason = writerFailure(zip);
    }
    if (out.build != brDone) {
        putBack(z, backup);
        out.backup = backup;
        // An archive that is not whole is no backup; the unpacked one is.
        QFile::remove(z.archive);
        out.kind = ZipStepOutcome::BuildFailed;
        out.reason = !writerReason.isEmpty()       ? writerReason
                     : out.build == brAborted      ? QStringLiteral("упаковка прервана")
                     : out.build == brPartialBuild ? QStringLiteral("не все файлы удалось упаковать")
                                                   : QStringLiteral("архив не создан");
        return out;
    }
    const ZipVerifyResult check = verifyZipArchive(z.archive, password);
    if (!check.ok) {
        putBack(z, backup);
        out.backup = backup;
        QFile::remove(z.archive);
        out.kind = ZipStepOutcome::CheckFailed;
        out.reason = check.error;
        return out;
    }
    QDir(z.container).removeRecursively();
    out.kind = ZipStepOutcome::Done;
    out.archive = z.archive;
    out.backup.clear();
    return out;
}

} // namespace dozorix
