#pragma once
// The hand-off files temp.txt and temp2.txt in the program directory: a
// launched command writes its output there and the caller reads it back a
// fixed time later. Both are opened without following a link and only when
// they are regular files (see SafeFile.h): a link or a special file under
// the name is refused, and reported once in red.

#include "common/TextCodec.h"

#include <QString>
#include <QStringList>

namespace dozorix {

// Reads a hand-off file as lines in the given code page. Lines end at CR LF,
// LF or CR; a final line break adds no empty line. Returns false, with the
// reason in *error, when the file cannot be opened at all.
bool loadHandOffLines(const QString &name, CodePage cp, QStringList *lines, QString *error = nullptr);

// The file's bytes as they are, under the same rules.
bool loadHandOffBytes(const QString &name, QByteArray *bytes, QString *error = nullptr);

// Splits text into lines the same way.
QStringList splitLines(const QString &text);

// Empties a hand-off file: length zero (created when missing).
void emptyHandOffFile(const QString &name);

// True when the path names temp.txt or temp2.txt (in any letter case) in the
// program directory: a command's redirection to it is opened the same way.
bool isHandOffFile(const QString &path);

} // namespace dozorix
