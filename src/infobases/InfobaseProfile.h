#pragma once
// One infobase connection profile: section "Base<n>" of the settings file,
// n = 1 … 14. A profile reaches a 1C infobase either as a file infobase (a
// folder) or on a 1C server cluster, names the platform version through its
// COM connector and carries an alias by which the rest of the program names
// the infobase. A profile with an empty alias counts as not configured.
//
// The platform version table (the editor's drop-down list, in this order):
//
//   index  list item              Connector           client program (under Program Files)
//   0      "1С Предприятие 8"     "V8.ComConnector"   \1cv8\bin\1cv8.exe
//   1      "1С Предприятие 8.1"   "V81.ComConnector"  \1cv81\bin\1cv8.exe
//   2      "1С Предприятие 8.2"   "V82.ComConnector"  \1cv82\common\1cestart.exe
//   3      "1С Предприятие 8.3"   "V83.ComConnector"  \1cv8\common\1cestart.exe
//
// Connector names are matched exactly, letter case included.

#include <QList>
#include <QString>

namespace dozorix {

inline constexpr int kProfileCount = 14;

// Keys of section "Base<n>".
namespace ProfileKey {
inline const QString StrokaCon = QStringLiteral("StrokaCon");         // folder of a file infobase
inline const QString LoginF = QStringLiteral("LoginF");               // file infobase: user
inline const QString PassF = QStringLiteral("PassF");                 // file infobase: password
inline const QString KlasterB = QStringLiteral("KlasterB");           // server cluster address
inline const QString IBNAmeKlaster = QStringLiteral("IBNAmeKlaster"); // infobase name in the cluster
inline const QString LoginK = QStringLiteral("LoginK");               // cluster infobase: user
inline const QString PassK = QStringLiteral("PassK");                 // cluster infobase: password
inline const QString RadioF = QStringLiteral("RadioF");               // boolean: file infobase
inline const QString RadioClient = QStringLiteral("RadioClient");     // boolean: client-server infobase
inline const QString Connector = QStringLiteral("Connector");         // COM connector ProgID
inline const QString Connect = QStringLiteral("connect");             // "On": COM probe on
inline const QString ConnectKS1CBase = QStringLiteral("ConnectKS1CBase");     // "Yes": probe by cluster string
inline const QString ConnectFile1CBase = QStringLiteral("ConnectFile1CBase"); // "Yes": probe by file string
} // namespace ProfileKey

// Section "MONITORING1C", key "COMALL": the editor's "Не показывать COM-соединения.".
inline const QString kMonitoringSection = QStringLiteral("MONITORING1C");
inline const QString kComAllKey = QStringLiteral("COMALL");

// True for 1 … 14.
constexpr bool isProfileNumber(int n) { return n >= 1 && n <= kProfileCount; }

// "Base<n>".
QString profileSection(int n);
// "Psevdo<n>": the alias key carries the profile number.
QString aliasKey(int n);
// "ИБ - <n>": the caption of tab and tile n until an alias replaces it.
QString numberedCaption(int n);

struct PlatformVersion {
    int index;
    QString listItem;         // "1С Предприятие 8.3"
    QString connector;        // "V83.ComConnector"
    QString clientExecutable; // "\1cv8\common\1cestart.exe", under the Program Files folder
};

// The four versions in list order.
const QList<PlatformVersion> &platformVersions();
// The list items in order.
QStringList versionListItems();
// The index of a connector name, or -1 when it is none of the four (exactly).
int versionIndexOfConnector(const QString &connector);
// The connector of a list index, or an empty text for an index outside 0 … 3.
QString connectorOfVersionIndex(int index);
// The client program (relative to the Program Files folder) of a connector
// name, or an empty text when the name is none of the four.
QString clientExecutableOfConnector(const QString &connector);

// Everything section "Base<n>" holds.
struct InfobaseProfile {
    int number = 0;           // 1 … 14
    QString path;             // StrokaCon
    QString fileLogin;        // LoginF
    QString filePassword;     // PassF
    QString cluster;          // KlasterB
    QString clusterInfobase;  // IBNAmeKlaster
    QString clusterLogin;     // LoginK
    QString clusterPassword;  // PassK
    QString alias;            // Psevdo<n>
    bool fileType = false;    // RadioF
    bool clientServer = false; // RadioClient
    QString connector;        // Connector
    QString connect;          // connect
    QString connectKS1CBase;  // ConnectKS1CBase
    QString connectFile1CBase; // ConnectFile1CBase

    // A profile with an empty alias is not configured: it is listed nowhere
    // and cannot be backed up.
    bool isConfigured() const { return !alias.isEmpty(); }
    // "connect" is exactly "On".
    bool comProbeOn() const { return connect == QLatin1String("On"); }
    // "ConnectKS1CBase" / "ConnectFile1CBase" are exactly "Yes".
    bool probeUsesCluster() const { return connectKS1CBase == QLatin1String("Yes"); }
    bool probeUsesFile() const { return connectFile1CBase == QLatin1String("Yes"); }
    // The list index of the connector, -1 when it is none of the four.
    int versionIndex() const { return versionIndexOfConnector(connector); }
    // The cluster address, a backslash and the infobase name: the designer's /S.
    QString clusterConnectionString() const { return cluster + QLatin1Char('\\') + clusterInfobase; }

    bool operator==(const InfobaseProfile &) const = default;
};

// Applies the two type flags the way the editor's radio buttons take them:
// RadioF first, then RadioClient; checking one clears the other, clearing one
// leaves the other. Both true ends as client-server; both false is kept.
void applyTypeFlags(InfobaseProfile &profile, bool radioF, bool radioClient);

// The profile number of an unattended run's parameter: "bak1" … "bak14"
// exactly (no blanks, lower case) give 1 … 14; anything else gives 0.
int profileNumberOfBackupParameter(const QString &parameter);

} // namespace dozorix
