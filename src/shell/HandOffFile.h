#pragma once
// The hand-off files temp.txt and temp2.txt in the program directory: a
// launched command writes its output there and the caller reads it back a
// fixed time later.

#include "TextCodec.h"

#include <QString>
#include <QStringList>

namespace dozorix {

// Reads a hand-off file as lines in the given code page. Lines end at CR LF,
// LF or CR; a final line break adds no empty line. Returns false, with the
// reason in *error, when the file cannot be opened at all.
bool loadHandOffLines(const QString &name, CodePage cp, QStringList *lines, QString *error = nullptr);

// Splits text into lines the same way.
QStringList splitLines(const QString &text);

// Empties a hand-off file: recreates it with length zero.
void emptyHandOffFile(const QString &name);

} // namespace dozorix
