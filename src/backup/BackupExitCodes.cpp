#include "backup/BackupExitCodes.h"

namespace dozorix {

BackupExit worseOf(BackupExit a, BackupExit b)
{
    if (a == BackupExit::Done)
        return b;
    // A failure says more than the cancel that may have followed it.
    if (a == BackupExit::Stopped && b != BackupExit::Done)
        return b;
    return a;
}

QString backupExitMeaning(BackupExit e)
{
    switch (e) {
    case BackupExit::Done: return QStringLiteral("все шаги «бэкапа» выполнены");
    case BackupExit::BackupFailed:
        return QStringLiteral("копирование или выгрузка информационной базы не выполнены");
    case BackupExit::ZipFailed: return QStringLiteral("архив не создан (неупакованный «бэкап» сохранён)");
    case BackupExit::UploadFailed: return QStringLiteral("архив не отправлен на FTP сервер");
    case BackupExit::Refused:
        return QStringLiteral("не запущен: открыта консоль Dozorix этого пользователя или не дождался "
                              "предыдущего ночного «бэкапа»");
    case BackupExit::NoSettings: return QStringLiteral("нет файла настроек или профиля с этим номером");
    case BackupExit::Stopped: return QStringLiteral("остановлен до конца (отмена или сигнал завершения)");
    }
    return QString();
}

QString backupExitTable()
{
    QString table;
    for (BackupExit e : {BackupExit::Done, BackupExit::BackupFailed, BackupExit::ZipFailed, BackupExit::UploadFailed,
                         BackupExit::Refused, BackupExit::NoSettings, BackupExit::Stopped})
        table += QStringLiteral("  %1  %2\n").arg(backupExitCode(e)).arg(backupExitMeaning(e));
    return table;
}

} // namespace dozorix
