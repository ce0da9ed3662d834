#pragma once
// The program directory holds the settings file, temp.txt, temp2.txt,
// Templates/, Script/ and Dozorix.log. It is resolved once:
// DOZORIX_HOME when set, else the executable's directory when writable,
// else ~/.local/share/dozorix.

#include <QString>

namespace dozorix {

// The program directory, without a trailing separator. Created if missing.
QString programDir();

// Forgets the resolved directory so the next call resolves it again
// (tests change DOZORIX_HOME between cases).
void resetProgramDir();

// Path of a file in the program directory. When a file of that name exists
// in another letter case, its real name is returned, so "example.ini" and
// "Example.ini" denote one file.
QString programFile(const QString &name);

// The settings file: "Example.ini" in the program directory, matched without
// regard to case.
QString settingsFilePath();

// True when the settings file exists.
bool settingsFileExists();

} // namespace dozorix
