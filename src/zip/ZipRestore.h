#pragma once
// Restoring a backup archive: every entry read to its end (decrypted,
// inflated, its CRC-32 and size checked) and, for an extraction, written
// under a folder byte for byte. The format is read by libarchive; names are
// taken as the backup's writer stores them (ZipNames.h): UTF-8 with bit 11,
// else the Info-ZIP Unicode Path field when it matches, else IBM 866 for an
// archive made on DOS or Windows and UTF-8 for one made on Unix (as Info-ZIP
// zip writes), and written to disk in UTF-8.
//
// A password is tried as the backup writes it, in Windows-1251, then as its
// UTF-8 bytes (what 7-Zip or Info-ZIP zip take from a UTF-8 terminal).
//
// An extraction writes nothing outside its folder and nothing at all until
// every entry has been checked: an absolute name (also "C:..." or "\..."),
// a name with "..", a link that leads out of the folder or an entry under a
// link, a device or FIFO entry, a name the archive holds twice, a password
// that fits no entry, and a file that already stands in the folder under an
// entry's name (never overwritten) refuse the archive with the name. Each
// file is written under a temporary name and renamed when complete; when an
// entry fails mid-way (damaged data, a full disk, a signal), everything this
// run created is removed again, so the folder is as it was and the same
// command can run again once the cause is fixed. Memory stays bounded
// whatever the entry sizes: data is streamed.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>

namespace dozorix {

enum class ZipRestoreStatus {
    Done,          // every entry read back (and was restored)
    Failed,        // an entry did not read back or could not be written, or the archive does not open
    NoPassword,    // the archive is encrypted and no password was given
    WrongPassword, // the password fits neither way
    Refused,       // an entry may not be restored (name, link, type, or a file already there); nothing written
    Stopped,       // the stop flag was raised
};

// One entry as it was read back or restored.
struct ZipRestoreEntry {
    QString name;       // the archive name as restored, "/" between folders, no trailing "/"
    enum Kind { File, Folder, Link } kind = File;
    quint64 size = 0;   // bytes of a file
    QString linkTarget; // of a link
};

struct ZipRestoreResult {
    ZipRestoreStatus status = ZipRestoreStatus::Failed;
    int files = 0;
    int folders = 0;
    int links = 0;
    quint64 bytes = 0;
    int entries = 0;   // entries in the archive
    QString entry;     // the entry the failure concerns (empty when none)
    QString error;     // why, in Russian, with the entry's name
    bool ok() const { return status == ZipRestoreStatus::Done; }
};

struct ZipRestoreOptions {
    std::optional<QString> password;                        // as typed
    std::function<void(const ZipRestoreEntry &)> onEntry;    // after each entry read back / restored
    const std::atomic<bool> *stop = nullptr;                 // ends the run (Stopped)
};

// Reads every entry of the archive to its end.
ZipRestoreResult testZipArchive(const QString &archive, const ZipRestoreOptions &options);

// Restores every entry under folder (created when missing).
ZipRestoreResult extractZipArchive(const QString &archive, const QString &folder, const ZipRestoreOptions &options);

// The password bytes tried for a typed password, in order: Windows-1251 (as
// the backup's writer encrypts), then UTF-8; once when both are the same.
QList<QByteArray> zipPasswordCandidates(const QString &typed);

// The folders and name of an archive name as it would be restored ("\" is a
// separator too, "." and empty parts dropped), or, when the name may not be
// restored, empty with the reason in *why (Russian). An empty result with an
// empty *why is the archive's root itself.
QStringList restorePathOf(const QString &name, QString *why);

} // namespace dozorix
