#pragma once
// The fixed parts of a backup run: the delay choices, the names of what a
// run creates, the command that ends the 1C clients and the reading of its
// output, and the two failure letters.
//
// Paths are Linux paths: where a run joins a folder and a name, the
// separator is "/".

#include <QString>
#include <QStringList>

namespace dozorix {

class IniFile;

// The delay items of the backup settings, in their order.
QStringList backupDelayItems();
extern const QString kNoDelayText; // "Без задержки"

// The step timer's interval for a delay text ("3 мин" … "30 мин": minutes;
// "Без задержки": 500 ms); any other text leaves current as it is.
int backupDelayMs(const QString &delayText, int current);

// folder + "/" + stamp + "_База_" + alias: where a file infobase is copied.
QString fileBackupFolder(const QString &folder, const QString &stamp, const QString &alias);
// folder + "/" + alias + "_" + stamp + "_.dt": the client-server dump.
QString dumpFilePath(const QString &folder, const QString &alias, const QString &stamp);

// How the ZIP step packs a backup (a folder or a dump file) lying in the
// backup folder: it is moved into a container folder beside it, so that it
// is the one entry of the archive, and the archive is named after it.
struct ZipContainer {
    bool valid = false;  // false: the backup does not lie directly in the folder
    QString name;        // the backup's own name, "/" in front
    QString container;   // folder + name without its last two characters
    QString movedBackup; // container + name
    QString archive;     // folder + name + ".zip"
};
// The backup must lie directly in the folder and have a name of its own
// that leaves a container name: anything else (a folder that changed since
// the backup was made, a damaged hand-off file) would make the container the
// folder itself or a stranger's folder, which the step deletes after packing.
ZipContainer zipContainerFor(const QString &backup, const QString &folder);

// An hours value of section BACKUP (DumpTimeLimit, QueueWaitLimit): "6",
// "0.5" or "0,5"; a missing, negative or unreadable one gives the fallback.
double readBackupHours(const IniFile &ini, const QString &key, double fallback);
// Hours as the log writes them: "6", "0,5".
QString hoursText(double hours);

// The command that ends every 1C:Enterprise client, its output in temp.txt.
extern const QString kEnd1CClientsCommand;
// The lines to log from that output (read as Windows-1251): every non-empty
// line; none means nothing was ended.
QStringList end1CClientsLines(const QByteArray &output);
extern const QString kNothingToEndLine;

// The last non-empty line of a hand-off file (decodeHandOffText: UTF-8 with
// its mark, else Windows-1251).
QString lastNonEmptyLine(const QByteArray &bytes);

struct BackupLetter {
    QString subject;
    QString body;
};
// The letter of a file that could not be copied.
BackupLetter copyFailureLetter(const QString &alias, const QString &computer, const QString &time,
                               const QString &reason, const QString &file);
// The letter of a designer that did not dump.
BackupLetter dumpFailureLetter(const QString &alias, const QString &computer, const QString &time,
                               const QString &lastResultLine);
extern const QString kBackupLetterSuccessLine;

} // namespace dozorix

namespace dozorix {
// The letter of a ZIP step that did not complete: the unpacked backup is
// kept, and where it lies.
BackupLetter zipFailureLetter(const QString &alias, const QString &computer, const QString &time,
                              const QString &reason, const QString &backup);
} // namespace dozorix
