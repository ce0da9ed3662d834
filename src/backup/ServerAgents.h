#pragma once
// The 1C server agents (ragent) running on this host, and which of them
// serves a profile's cluster address: the designer that dumps its infobase
// should be of that agent's platform version, since a designer newer or
// older than the server fails to connect.
//
// Each agent's version is the version folder of its program, as the Linux
// packages install it (/opt/1cv8/x86_64/8.3.24.1467/ragent); its ports are
// those of its command line ("-port 1540 -regport 1541", the defaults when
// absent), as the packages' units start it.

#include <QString>
#include <QStringList>

#include <vector>

namespace dozorix {

struct ServerAgent {
    qint64 pid = 0;
    QString program;  // the agent's program path
    QString version;  // its version folder ("8.3.24.1467"); empty when the path has none
    int port = 1540;    // -port: the agent's own
    int regPort = 1541; // -regport: the cluster's main manager, the port of a connection address
};

// The agents running now, read from the process folder given (the system's
// /proc when empty). A process that ends while it is read is left out.
std::vector<ServerAgent> runningServerAgents(const QString &procDir = QString());

// The version folder in a program path ("…/8.3.24.1467/ragent" ->
// "8.3.24.1467"); empty when the folder is not a version of four numbers.
QString platformVersionOfProgram(const QString &program);

// Whether the host of a cluster address (as in the designer's /S: "srv1c",
// "srv1c:1641", "tcp://srv1c:1541", several addresses apart by commas, the
// first counts) is this computer; *port gets the address's port (1541 when
// it names none).
bool clusterAddressIsThisHost(const QString &clusterAddress, int *port);

// The designer version a dump of the cluster address should take, with the
// log line saying why: the version of the agent here whose cluster port is
// the address's. Empty version (and a line saying why the newest will be
// taken) when the address is another computer or no agent of its port runs.
struct DesignerVersionChoice {
    QString version;
    QString reason;
};
DesignerVersionChoice designerVersionFor(const QString &clusterAddress, const std::vector<ServerAgent> &agents);

} // namespace dozorix
