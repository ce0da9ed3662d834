#pragma once
// A free TCP port for tests and benchmarks: one that no socket of this
// machine is bound to on any IPv4 address right now, so a server may take
// it on 127.0.0.1 or on every address, and a client that connects to it
// on 127.0.0.1 finds nobody listening. The kernel picks it; the probe that
// asked for it is closed again before the port is returned.

#include <QHostAddress>
#include <QTcpServer>

namespace dozorix::test {

inline quint16 unusedLocalPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::AnyIPv4, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

} // namespace dozorix::test
