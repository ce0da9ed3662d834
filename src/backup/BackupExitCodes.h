#pragma once
// The exit status of an unattended backup run (`Dozorix bak<N>`): 0 only when
// every step the run was asked for succeeded, so that systemd's OnFailure=,
// `systemctl --failed` and a cron wrapper see a failed night. The table is
// printed by `Dozorix --help` and stands in the README.

#include <QString>

namespace dozorix {

enum class BackupExit : int {
    Done = 0,         // every step asked for succeeded
    BackupFailed = 1, // the copy or the dump failed
    ZipFailed = 2,    // the ZIP step failed; the unpacked backup is kept
    UploadFailed = 3, // the upload to FTP failed
    Refused = 4,      // another console of this user is open, or the wait for an earlier run ran out
    NoSettings = 5,   // no settings file, or no profile of that number
    Stopped = 6,      // stopped before its end (cancel, SIGTERM, SIGINT, SIGHUP)
};

inline int backupExitCode(BackupExit e)
{
    return static_cast<int>(e);
}

// The outcome of a run that was a, after b: a failed step stays failed
// whatever follows (the earliest failure's code is kept), and a failure
// takes the place of a cancel.
BackupExit worseOf(BackupExit a, BackupExit b);

// What the code means, in Russian, one line ("копирование или выгрузка не удались").
QString backupExitMeaning(BackupExit e);

// The whole table, one "  N  meaning" line per code, for --help.
QString backupExitTable();

} // namespace dozorix
