#pragma once
// The messages of the command interpreter, as cmd.exe words them: one place
// for the texts its syntax, its control flow and its programs write to a
// command's errors.

#include <QString>

namespace dozorix::cmdmessages {

// CR LF, the line end of everything the interpreter writes.
inline const QString kCrLf = QStringLiteral("\r\n");

// "Синтаксическая ошибка в команде."
QString syntaxError();
// A pipe between commands, which the interpreter does not run.
QString pipeNotSupported();
// "Непредвиденное появление: <what>."
QString unexpected(const QString &what);
// A file or program that could not be opened or started, by its errno.
QString osErrorText(int error);
// The two lines of a command that is neither a built-in, a program nor a
// batch file (each with its CR LF).
QString notFound(const QString &written);
// A file of "for /f" that does not open.
QString fileNotFound(const QString &name);

} // namespace dozorix::cmdmessages
