#pragma once
// The reason behind an errno value as the console writes it into the log and
// into letters: the common failures of files, disks and connections in
// Russian, with the system's own (English, locale-independent) words in
// parentheses, as the socket reasons are written; any other value in the
// system's words alone.
//
//   systemErrorText(ENOSPC) -> "на диске нет свободного места (No space left on device)"

#include <QString>

namespace dozorix {

QString systemErrorText(int err);

// The system's own words for the value, whatever the locale
// ("No such file or directory"); "ошибка <n>" for a value it does not know.
QString systemErrorWords(int err);

} // namespace dozorix
