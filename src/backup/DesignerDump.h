#pragma once
// The 1C designer's side of a client-server backup: which designer program
// dumps the infobase, the command that starts it, and the result lines it
// writes to its /OUT file.

#include "shell/CommandLine.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace dozorix {

// The line the designer writes when the dump is complete.
extern const QString kDumpSucceededLine;

// The designer program for a COM connector name. On Linux 1C:Enterprise
// installs under the Program Files folder (/opt) as
//   1cv8/x86_64/<version>/1cv8   (8.3.x, the preferred version, else the newest)
//   1cv8/<version>/1cv8          (older layouts)
//   1cv8/common/1cestart
// and the connector picks the platform: "V83.ComConnector" 8.3,
// "V82.ComConnector" 8.2, "V81.ComConnector" 8.1, "V8.ComConnector" 8.0.
// Where none of those exists, the Windows layout of the same folder is
// taken ("\1cv8\bin\1cv8.exe", "\1cv81\bin\1cv8.exe",
// "\1cv82\common\1cestart.exe", "\1cv8\common\1cestart.exe"). A connector
// name outside these four gives an empty text: the caller keeps the path it
// had. A program found there runs as the console's user (root at night), so
// one that others could have put or changed is passed over
// (untrustedProgramReason), with a line saying why in passedOver.
QString designerProgram(const QString &connector, const QString &programFilesDir,
                        QStringList *passedOver = nullptr);
// The same, taking the designer of the preferred version ("8.3.24.1467",
// the running server's) when it is installed and may be run.
QString designerProgram(const QString &connector, const QString &programFilesDir, const QString &preferredVersion,
                        QStringList *passedOver);

// Why a program may not be run as the console's user: it, or a folder or
// link on the way to it, or where a link leads, is owned by another account
// than root or the console's, or may be written by others (a root-owned
// sticky folder such as /tmp excepted). Empty when it may.
QString untrustedProgramReason(const QString &program);

// The designer command as the runner logs and starts it ("/C chcp 1251 &&
// \"PROGRAM\" CONFIG /SCLUSTER\\BASE /DisableStartupDialogs
// /DisableStartupMessages /DumpIB \"DT\" /N USER /P PASSWORD  /OUT \"OUT\"
// -NoTruncate"): no start-up dialog or message waits for a click that never
// comes at night. Every value is a value: a quote or "&" in a password is a
// character of the password. The designer takes its password only as /P, so
// its process-list entry shows it while the dump runs.
CommandLine designerCommand(const QString &program, const QString &connectString, const QString &dumpFile,
                            const QString &user, const QString &password, const QString &outFile);

// The same command started under a virtual X server (xvfb-run -a): the
// designer for Linux is a graphical program and needs a display even in
// batch mode, which a console on the offscreen platform (a timer-started
// backup on a machine without a desktop session) does not have.
CommandLine designerCommandWithoutDisplay(const QString &program, const QString &connectString,
                                          const QString &dumpFile, const QString &user, const QString &password,
                                          const QString &outFile);

// The lines of the designer's result file, in the encoding it was written
// in: UTF-8 with or without a byte-order mark, otherwise Windows-1251. Line
// ends CR LF, LF or CR; no trailing empty line.
QStringList designerResultLines(const QByteArray &bytes);

// What the runner's poll reads of the result file: never more than its last
// tailBytes (a designer gone wrong may write gigabytes), the lines of that
// tail (the first, cut one left out when the head was not read).
struct DesignerResult {
    QStringList lines;
    qint64 fileSize = 0;
    qint64 headBytes = 0; // bytes before the tail, not read
};
inline constexpr qint64 kDesignerResultTail = 64 * 1024;
DesignerResult readDesignerResult(const QString &path, qint64 tailBytes = kDesignerResultTail);

} // namespace dozorix
