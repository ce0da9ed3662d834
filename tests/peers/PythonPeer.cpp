#include "peers/PythonPeer.h"

#include <QDeadlineTimer>

namespace dozorix::test {

bool startPythonPeer(QProcess &process, const QStringList &args, const QString &what, int *port, QString *error)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("/usr/bin/python3"), args);
    if (!process.waitForStarted(10000)) {
        *error = QStringLiteral("python3 did not start: ") + process.errorString();
        return false;
    }
    QByteArray out;
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (process.canReadLine() || process.waitForReadyRead(200)) {
            while (process.canReadLine()) {
                const QByteArray line = process.readLine().trimmed();
                if (line.startsWith("PORT ")) {
                    *port = line.mid(5).toInt();
                    return *port > 0;
                }
                out += line + '\n';
            }
        }
        if (process.state() != QProcess::Running)
            break;
    }
    *error = QStringLiteral("the %1 peer did not report its port: ").arg(what) + QString::fromUtf8(out);
    stopPythonPeer(process);
    return false;
}

void stopPythonPeer(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.closeWriteChannel(); // the server ends at the end of its input
    if (!process.waitForFinished(5000)) {
        process.terminate();
        if (!process.waitForFinished(3000)) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
}

} // namespace dozorix::test
