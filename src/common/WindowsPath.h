#pragma once
// Paths as the program's Windows command texts and settings write them
// ("C:\Base", "Script\run.cmd", "nul"), turned into paths of this machine.

#include <QString>

namespace dozorix {

// Resolves a path as written in a Windows command (backslashes, relative to
// base) to a Linux path. Returns an empty string for a path that cannot
// exist here (a drive letter or a UNC name). "nul" is /dev/null.
QString toLocalPath(const QString &path, const QString &base);

// True for a Windows path that has no Linux counterpart ("C:\", "\\host\x").
bool isForeignWindowsPath(const QString &path);

} // namespace dozorix
