#pragma once
// Starting and stopping the Python servers of the tests (SMTP, FTP): each
// prints "PORT <n>" once it listens and ends at the end of its input.

#include <QProcess>
#include <QString>
#include <QStringList>

namespace dozorix::test {

// Starts python3 with the arguments and waits for its "PORT <n>" line;
// false with *error set (what names the peer) when it does not come up.
bool startPythonPeer(QProcess &process, const QStringList &args, const QString &what, int *port, QString *error);

// Ends the server: its input closed, then terminate, then kill.
void stopPythonPeer(QProcess &process);

} // namespace dozorix::test
