#pragma once
// The start parameter of an unattended backup: "bak1" … "bak14", compared
// exactly (case-sensitive). Any other value starts the program normally.

#include <QString>

#include <functional>
#include <memory>

class QObject;

namespace dozorix {

// 1 … 14 for a scheduled-backup parameter, 0 for anything else.
int scheduledBackupProfile(const QString &parameter);

// The alias of profile n: "Psevdo<n>" of section "Base<n>" in the settings
// file; empty when the profile is not configured.
QString profileAlias(int n);

// Writes the parameter alone (no line break) into temp.txt in the program
// directory, replacing its contents. Only a regular file is written: a
// link or a special file under that name is left as it is and reported once
// in red.
bool writeStartParameter(const QString &parameter);

class SingleInstanceGuard;

// A scheduled run that found the console's lock taken, once its wait is over.
struct ScheduledQueue {
    enum Outcome {
        Free,          // the earlier run has ended: the guard holds the lock now
        ConsoleOpen,   // a console of this user holds it: the run is refused
        WaitedTooLong, // the earlier run outlived QueueWaitLimit: refused
        Stopped,       // stopRequested() turned true (a signal)
    } outcome = Free;
    long long holderPid = -1; // who held the lock last
    double hours = 0;         // the wait allowed
};

// Two timers that fire together both back up: while another scheduled run
// of this user holds the lock, this one waits, the event loop turning, at
// most QueueWaitLimit hours (section BACKUP, default 6; through the time
// scale), asking again each second with a fresh guard in *guard. The wait's
// start and its happy end are logged in green. A console holding the lock
// ends the wait at once.
ScheduledQueue waitForEarlierScheduledRun(std::unique_ptr<SingleInstanceGuard> &guard, const QString &title,
                                          int profile, const std::function<bool()> &stopRequested);

// Why a run that did not get in was refused (ConsoleOpen, WaitedTooLong).
QString scheduledRunRefusal(const ScheduledQueue &queue, int profile);

// The backup-failure letter of a night that backed nothing up, when
// ERRORBackup is on: the dump-failure letter for a client-server profile,
// the copy-failure one (its infobase folder as the file) otherwise.
void mailLostNight(int profile, const QString &reason, QObject *context);

// The one line a failed scheduled run writes on standard error (cron mails
// it): "Dozorix bak3: <what the code means> (код 1): <failure>".
QString failedScheduledRunLine(int profile, int code, const QString &failure);

} // namespace dozorix
