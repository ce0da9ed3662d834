#pragma once
// The scheduled start: the parameter of an unattended backup ("bak1" …
// "bak14", compared exactly, case-sensitive; any other value starts the
// program normally), its hand-off through temp.txt, the moment TBACKUP
// fires, the queue of runs that meet and the letter of a night that cannot
// start.
//
// The way of "bak3": start-up parses it (scheduledBackupProfile, the one
// parser), checks that the profile can run (scheduledStartObstacle), arms
// TBACKUP and writes the parameter into temp.txt (writeStartParameter); when
// TBACKUP fires, startDueScheduledBackup reads temp.txt back with the same
// parser and starts the runner on the profile it names.

#include <QString>

#include <functional>
#include <memory>

class QObject;

namespace dozorix {

class BackupRunner;

// 1 … 14 for a scheduled-backup parameter, 0 for anything else.
int scheduledBackupProfile(const QString &parameter);

// The alias of profile n: "Psevdo<n>" of section "Base<n>" in the settings
// file; empty when the profile is not configured.
QString profileAlias(int n);

// Why a scheduled start of profile n cannot back anything up (no settings
// file, or the profile has no name), in the words of its log line and of
// standard error; empty when it can.
QString scheduledStartObstacle(int profile);

// Writes the parameter alone (no line break) into temp.txt in the program
// directory, replacing its contents. Only a regular file is written: a
// link or a special file under that name is left as it is and reported once
// in red.
bool writeStartParameter(const QString &parameter);

// TBACKUP fired: what startDueScheduledBackup did.
struct DueScheduledBackup {
    enum Outcome {
        NothingNamed,    // temp.txt holds no line and the program had no parameter: it ends
        SettingsMissing, // the settings file was removed since the start: the run fails
        Started,         // the profile is chosen in the runner; its run starts 2 s later
    } outcome = Started;
    QString failure; // SettingsMissing: why, for standard error
};

// TBACKUP fired. The runner's profiles are read again; the profile is the
// one of the last line of temp.txt that is a backup parameter, or, when
// temp.txt was emptied or overwritten meanwhile (a command's output), the one
// the program was started with (startedProfile, 0 for none). Unless
// something is missing, the runner chooses that profile by its alias,
// temp.txt is emptied and the run starts after a pause of 2 s. A missing
// settings file is logged in red.
DueScheduledBackup startDueScheduledBackup(BackupRunner &runner, int startedProfile);

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
