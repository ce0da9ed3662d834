#pragma once
// The start parameter of an unattended backup: "bak1" … "bak14", compared
// exactly (case-sensitive). Any other value starts the program normally.

#include <QString>

namespace dozorix {

// 1 … 14 for a scheduled-backup parameter, 0 for anything else.
int scheduledBackupProfile(const QString &parameter);

// The alias of profile n: "Psevdo<n>" of section "Base<n>" in the settings
// file; empty when the profile is not configured.
QString profileAlias(int n);

// Writes the parameter alone (no line break) into temp.txt in the program
// directory, replacing its contents. Only a regular file is written: a
// link or a special file under that name is left as it is and reported once
// in red.
bool writeStartParameter(const QString &parameter);

} // namespace dozorix
