#pragma once
// The connection strings the infobase probe hands to a connector, and the
// reading of such a string back (what the default connector does).
//
//   cluster: Srvr=<KlasterB>;Ref=<IBNAmeKlaster>;Usr="<LoginK>";Pwd=<PassK>
//   file:    File="<StrokaCon>";Usr="<LoginF>";Pwd=<PassF>
//
// Values are spliced in as stored: no escaping, no trimming of their own.

#include <QMap>
#include <QString>

namespace dozorix {

QString clusterConnectionString(const QString &cluster, const QString &infobase, const QString &login,
                                const QString &password);
QString fileConnectionString(const QString &path, const QString &login, const QString &password);

// Splits "Key=value;Key="quoted value";…" into keys (as written) and values
// (quotes removed, "" inside quotes read as one quote). The password, which
// comes last and unquoted, takes everything after "Pwd=" up to the end, so
// that a ";" inside it stays part of it.
QMap<QString, QString> parseConnectionString(const QString &text);

// The cluster server's address of a "Srvr" value: the first server of a
// comma-separated list, its port after ":" (1541 when none is named).
struct ClusterAddress {
    QString host;
    quint16 port = 1541;
    bool valid = false;
};
ClusterAddress clusterAddressOf(const QString &srvr);

} // namespace dozorix
