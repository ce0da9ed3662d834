#pragma once
// Files of the program directory that a command, an agent or another local
// user may have put there under a name of ours (Dozorix.log, temp.txt,
// temp2.txt): they are opened without following a symbolic link, without
// blocking on a FIFO, and only when they are regular files. Whatever else
// stands under the name is refused with a reason and left as it is.

#include <QByteArray>
#include <QString>

namespace dozorix {

// Opens a regular file. flags: the access mode with O_CREAT / O_APPEND as
// needed (O_TRUNC is taken as "empty it once it is known to be a regular
// file"); O_NOFOLLOW, O_NONBLOCK (cleared again once open), O_NOCTTY and
// O_CLOEXEC are added. Returns the descriptor, or -1 with the reason in
// *reason: in Russian, with the path, e.g. "«…/temp.txt» — символическая
// ссылка, не обычный файл", and errno set (ENXIO for what is no regular
// file).
int openRegularFile(const QString &path, int flags, QString *reason = nullptr, int mode = 0644);

// Replaces the contents of a regular file (created when missing) with data,
// under the same rules. False with the reason (and errno) otherwise.
bool writeRegularFile(const QString &path, const QByteArray &data, QString *reason = nullptr);

// Reports a refused or failed file once in red in the event log: the stamp,
// then the text. The same text for the same path is not repeated until
// forgetFileReport(path) says the file is fine again. Call on the
// user-interface thread.
void reportFileOnce(const QString &path, const QString &text);
void forgetFileReport(const QString &path);

// Every control character but the tab (C0, DEL, C1) becomes a blank: what
// goes into a text file read in a terminal never moves the cursor, erases a
// line or switches the terminal's modes.
QString blankControlCharacters(QString text);

} // namespace dozorix
