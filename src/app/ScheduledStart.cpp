#include "app/ScheduledStart.h"

#include "app/SingleInstance.h"
#include "backup/BackupExitCodes.h"
#include "backup/BackupRunner.h"
#include "backup/BackupScenario.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "common/SafeFile.h"
#include "common/Stamps.h"
#include "common/SystemHelpers.h"
#include "common/TextCodec.h"
#include "common/TimeScale.h"
#include "infobases/ProfileStore.h"
#include "notify/NotificationMail.h"
#include "shell/HandOffFile.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace dozorix {

int scheduledBackupProfile(const QString &parameter)
{
    for (int n = 1; n <= 14; ++n) {
        if (parameter == QStringLiteral("bak") + QString::number(n))
            return n;
    }
    return 0;
}

QString profileAlias(int n)
{
    const IniFile ini(settingsFilePath());
    return ini.readString(QStringLiteral("Base%1").arg(n), QStringLiteral("Psevdo%1").arg(n), QString());
}

QString scheduledStartObstacle(int profile)
{
    if (!settingsFileExists())
        return QStringLiteral("файл настроек %1 не найден").arg(settingsFilePath());
    if (profileAlias(profile).isEmpty())
        return QStringLiteral("профиль %1 не настроен (у него нет имени) в файле %2").arg(profile).arg(settingsFilePath());
    return {};
}

bool writeStartParameter(const QString &parameter)
{
    const QString path = programFile(QStringLiteral("temp.txt"));
    QString reason;
    if (!writeRegularFile(path, parameter.toLocal8Bit(), &reason)) {
        reportFileOnce(path, QStringLiteral("Не удалось записать параметр запуска: ") + reason);
        return false;
    }
    forgetFileReport(path);
    return true;
}

DueScheduledBackup startDueScheduledBackup(BackupRunner &runner, int startedProfile)
{
    runner.LoadFunckShow();
    QByteArray bytes;
    loadHandOffBytes(QStringLiteral("temp.txt"), &bytes);
    const QStringList lines = splitLines(decodeHandOffText(bytes));
    int named = 0;
    for (const QString &line : lines) {
        if (const int n = scheduledBackupProfile(line))
            named = n;
    }
    QString alias = named ? runner.profile(named).alias : QString();
    if (alias.isEmpty() && startedProfile)
        alias = runner.profile(startedProfile).alias;
    if (lines.isEmpty() && !startedProfile)
        return {DueScheduledBackup::NothingNamed, {}};
    if (!settingsFileExists()) {
        // Removed since the start: nothing to back up by, and nothing
        // waits for it to come back.
        logLine(LogStamp()
                    + QStringLiteral("Файл настроек %1 не найден: ночной «бэкап» не выполнен.").arg(settingsFilePath()),
                kLogRed);
        return {DueScheduledBackup::SettingsMissing,
                QStringLiteral("файл настроек %1 не найден").arg(settingsFilePath())};
    }
    runner.chooseProfile(alias);
    emptyHandOffFile(QStringLiteral("temp.txt"));
    afterPause(&runner, 2000, [&runner] { runner.StartBtnClick(); });
    return {DueScheduledBackup::Started, {}};
}

ScheduledQueue waitForEarlierScheduledRun(std::unique_ptr<SingleInstanceGuard> &guard, const QString &title,
                                          int profile, const std::function<bool()> &stopRequested)
{
    ScheduledQueue q;
    SingleInstanceGuard::Holder holder = guard->holder();
    q.holderPid = holder.pid;
    if (holder.role != SingleInstanceGuard::Role::ScheduledRun) {
        q.outcome = ScheduledQueue::ConsoleOpen;
        return q;
    }
    q.hours = settingsFileExists()
                  ? readBackupHours(IniFile(settingsFilePath()), QStringLiteral("QueueWaitLimit"), 6)
                  : 6;
    logLine(LogStamp()
                + QStringLiteral("Ночной «бэкап» профиля %1 ждёт окончания предыдущего (процесс %2), не дольше %3 ч.")
                      .arg(profile)
                      .arg(holder.pid)
                      .arg(hoursText(q.hours)),
            kLogGreen);
    const QDeadlineTimer deadline(scaledMs(static_cast<qint64>(q.hours * 3600.0 * 1000.0)));
    QEventLoop loop;
    QTimer tick;
    setScaledInterval(&tick, 1000);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (stopRequested()) {
            q.outcome = ScheduledQueue::Stopped;
        } else {
            guard.reset();
            guard = std::make_unique<SingleInstanceGuard>(title, SingleInstanceGuard::Role::ScheduledRun);
            if (!guard->anotherInstanceRuns()) {
                q.outcome = ScheduledQueue::Free;
            } else {
                holder = guard->holder();
                q.holderPid = holder.pid;
                if (holder.role == SingleInstanceGuard::Role::Console)
                    q.outcome = ScheduledQueue::ConsoleOpen;
                else if (deadline.hasExpired())
                    q.outcome = ScheduledQueue::WaitedTooLong;
                else
                    return; // still the earlier run: the next second
            }
        }
        loop.quit();
    });
    tick.start();
    loop.exec();
    if (q.outcome == ScheduledQueue::Free)
        logLine(LogStamp()
                    + QStringLiteral("Предыдущий «бэкап» закончен: начинаю ночной «бэкап» профиля %1.").arg(profile),
                kLogGreen);
    return q;
}

QString scheduledRunRefusal(const ScheduledQueue &queue, int profile)
{
    if (queue.outcome == ScheduledQueue::WaitedTooLong)
        return QStringLiteral("Ночной «бэкап» профиля %1 не запущен: предыдущий «бэкап» (процесс %2) не закончился "
                              "за %3 ч (QueueWaitLimit).")
            .arg(profile)
            .arg(queue.holderPid)
            .arg(hoursText(queue.hours));
    return QStringLiteral("Ночной «бэкап» профиля %1 не запущен: открыта консоль Dozorix этого пользователя "
                          "(процесс %2). Закройте её на ночь или запускайте «бэкап» от другой учётной записи.")
        .arg(profile)
        .arg(queue.holderPid);
}

void mailLostNight(int profile, const QString &reason, QObject *context)
{
    if (!settingsFileExists())
        return;
    const IniFile ini(settingsFilePath());
    if (!ini.readBool(QStringLiteral("settings"), QStringLiteral("ERRORBackup"), true))
        return;
    const InfobaseProfile p = readProfile(ini, profile);
    const BackupLetter letter = p.clientServer
                                    ? dumpFailureLetter(p.alias, GetComputerNameText(), LogStamp(), reason)
                                    : copyFailureLetter(p.alias, GetComputerNameText(), LogStamp(), reason, p.path);
    SendNotificationMail(letter.subject, letter.body, kBackupLetterSuccessLine, {}, [](const QString &) {}, context);
}

QString failedScheduledRunLine(int profile, int code, const QString &failure)
{
    return QStringLiteral("Dozorix bak%1: %2 (код %3)%4")
        .arg(profile)
        .arg(backupExitMeaning(static_cast<BackupExit>(code)))
        .arg(code)
        .arg(failure.isEmpty() ? QString() : QStringLiteral(": ") + failure);
}

} // namespace dozorix
