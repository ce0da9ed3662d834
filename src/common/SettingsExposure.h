#pragma once
// The settings file holds passwords (the mail server's, the FTP server's, the
// MS SQL server's, the archives', the infobases'). A file that group or
// others may read gives them to every such user of the server: the console
// creates the file 0600 (writeFileSafely), but it never changes the mode of
// a file that is already there, so it says so at start instead.

#include <QString>

#include <utility>
#include <vector>

namespace dozorix {

// Every key of the settings file that holds a password, with its section:
// E-mail_Password and PassMS of "settings", PassFTP and ZipArhivShifr of
// "BACKUP", PassK and PassF of each of "Base1" … "Base14".
std::vector<std::pair<QString, QString>> settingsPasswordKeys();

// The red start-up line (without its stamp) when the settings file at path
// holds a non-empty password and its group or others may read it: the file,
// its mode and the command that closes it ("chmod 600 <file>"). Empty when
// the file is missing, holds no password, or only its owner may read it.
QString settingsExposureWarning(const QString &path);
// The same for the program's own settings file.
QString settingsExposureWarning();

} // namespace dozorix
