#pragma once
// The ZIP step of a backup run: the finished backup (a copied folder or a
// dump file) named in temp2.txt is moved into a container folder beside it
// so that it is the one entry of the archive, packed, read back, and only
// then deleted. A build that does not complete, or an archive that does not
// read back, leaves the backup where it was made: it is the only complete
// copy.

#include "zip/FWZipWriter.h"

#include <QByteArray>
#include <QString>

namespace dozorix {

struct ZipStepOutcome {
    enum Kind {
        Done,          // the archive holds the backup; the backup is deleted
        NoBackup,      // temp2.txt names nothing
        NotInFolder,   // the backup does not lie directly in the backup folder
        NoSpace,       // the backup folder's disk cannot take the archive
        MoveFailed,    // the backup could not be put into its container
        BuildFailed,   // the build did not complete (failed, partial, cancelled)
        CheckFailed,   // the archive did not read back
    } kind = NoBackup;
    TBuildZipResult build = brFailed;
    QString backup;  // where the unpacked backup is now
    QString archive; // the archive (Done only)
    QString reason;  // why not, in Russian: the writer's own reason where it gave one
};

// backupFolder is DPAth; handOff the bytes of temp2.txt (its last line is
// the backup). progress is the writer's progress handler (it may set
// Cancel).
ZipStepOutcome runZipStep(const QString &backupFolder, const QByteArray &handOff, const QString &password,
                          const TZipProgressEvent &progress);

} // namespace dozorix
