#pragma once
// Services on Linux: systemd, driven through systemctl with an argument
// vector and read back through its machine-readable outputs (list-units,
// list-unit-files, show). The Windows service names of the 1C server agent
// stand for every unit of that server the 1C packages install:
//
//   "1C:Enterprise 8.3 Server Agent" -> srv1cv8-8.3.<build>@<cluster>.service
//                                       (8.3.21 and later: one template per
//                                       installed version, one instance per
//                                       cluster), the older srv1cv83.service
//                                       (an init script behind a generated
//                                       unit), and the administration server
//                                       ras-8.3.<build>.service of each version
//   "1C:Enterprise 8.2 Server Agent" -> srv1cv82.service
//   "1C:Enterprise 8.1 Server Agent" -> srv1cv81.service
//
// Stop stops every running server unit of the service, of every version and
// cluster, one by one, then the ras unit of each version whose servers are
// all down (ras is the gateway to its agent: it stays up, and the cluster
// administrable, while a server of its version refused to stop, and it comes
// up after its agent). A failed unit does not stop the others from being
// tried. The units it stopped are remembered in a file (see Options) for
// this boot, so that the start that follows - a separate net command, maybe
// in another process - starts exactly those; with none remembered, start
// starts the enabled ones. A unit that fails to start stays remembered.
//
// Any other name is the one unit of that name (".service" added when it has
// no suffix), started and stopped as it is.
//
// Where systemd is not the init system (no /run/systemd/system, as
// sd_booted() checks) or systemctl is missing, nothing is run and the
// failure says so. Every systemctl run has a time limit.

#include "common/Platform.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace dozorix {

class SystemdServiceManager : public ServiceManager
{
public:
    struct Options {
        QString systemctl = QStringLiteral("systemctl"); // a path, or a name looked up in PATH
        // Present while systemd runs as the init system.
        QString runtimeDirectory = QStringLiteral("/run/systemd/system");
        // The units the console stopped; empty: kMemoryFileName in the
        // program directory, which net commands run by the console and by
        // dozorix-cmd for it share.
        QString memoryFile;
        // Designed time limits of one systemctl run (through the time
        // scale): a query, and a start or stop of one unit (above systemd's
        // own default stop and start time-outs of 90 s each).
        qint64 queryLimitMs = 60000;
        qint64 controlLimitMs = 300000;
    };
    static constexpr const char *kMemoryFileName = "stopped-units.txt";

    SystemdServiceManager();
    explicit SystemdServiceManager(Options options);

    int queryState(const QString &service, State *state) override;
    int start(const QString &service, const Events &events) override;
    int stop(const QString &service, const Events &events) override;

    // The unit name patterns a Windows service name is looked up by.
    static QStringList unitPatterns(const QString &service);

    struct Unit {
        QString name;
        bool follower = false; // an administration server (ras)
        QString version;       // "8.3.24.1467"; empty for srv1cv83, srv1cv82, ...
        bool loaded = false;   // LoadState=loaded
        QString active;        // ActiveState
        bool enabled = false;
    };

private:
    struct Run {
        int exitCode = -1;
        int spawnError = 0;
        bool timedOut = false;
        QByteArray output;
        QByteArray errors;
    };
    struct Survey {
        int error = 0;
        std::vector<Unit> units;
        QStringList templates; // installed templates ("srv1cv8-8.3.24.1467@.service")
    };
    Run systemctl(const QStringList &args, qint64 limitMs) const;
    // The units of a service and their states, with more units of it to
    // look at (remembered ones systemd has unloaded since: a stopped
    // instance nothing wants); on failure error is set and the reason told
    // through events.problem (verb names the request).
    Survey survey(const QString &service, const QString &verb, const Events &events,
                  const QStringList &more = {}) const;
    // systemctl start/stop of one unit; 0 or a Windows error code, *reason
    // in systemctl's words.
    int control(const QString &verb, const QString &unit, QString *reason) const;
    // The unreachable service manager's explanation, or empty.
    QString unreachable(const Run &run, const QString &verb, const QString &service) const;

    QString memoryPath() const;
    // Units remembered for this boot; false with *problem when the file is there but unreadable.
    bool readMemory(QStringList *units, QString *problem) const;
    bool writeMemory(const QStringList &units, QString *problem) const;

    Options m_options;
};

} // namespace dozorix
