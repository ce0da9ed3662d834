#include "infobases/InfobaseProfile.h"

#include <QStringList>

namespace dozorix {

QString profileSection(int n)
{
    return QStringLiteral("Base%1").arg(n);
}

QString aliasKey(int n)
{
    return QStringLiteral("Psevdo%1").arg(n);
}

QString numberedCaption(int n)
{
    return QStringLiteral("ИБ - %1").arg(n);
}

const QList<PlatformVersion> &platformVersions()
{
    static const QList<PlatformVersion> versions = {
        {0, QStringLiteral("1С Предприятие 8"), QStringLiteral("V8.ComConnector"), QStringLiteral("\\1cv8\\bin\\1cv8.exe")},
        {1, QStringLiteral("1С Предприятие 8.1"), QStringLiteral("V81.ComConnector"), QStringLiteral("\\1cv81\\bin\\1cv8.exe")},
        {2, QStringLiteral("1С Предприятие 8.2"), QStringLiteral("V82.ComConnector"), QStringLiteral("\\1cv82\\common\\1cestart.exe")},
        {3, QStringLiteral("1С Предприятие 8.3"), QStringLiteral("V83.ComConnector"), QStringLiteral("\\1cv8\\common\\1cestart.exe")},
    };
    return versions;
}

QStringList versionListItems()
{
    QStringList items;
    for (const PlatformVersion &v : platformVersions())
        items.append(v.listItem);
    return items;
}

int versionIndexOfConnector(const QString &connector)
{
    for (const PlatformVersion &v : platformVersions()) {
        if (v.connector == connector) // exact: letter case counts
            return v.index;
    }
    return -1;
}

QString connectorOfVersionIndex(int index)
{
    const auto &versions = platformVersions();
    if (index < 0 || index >= versions.size())
        return {};
    return versions.at(index).connector;
}

QString clientExecutableOfConnector(const QString &connector)
{
    const int index = versionIndexOfConnector(connector);
    return index < 0 ? QString() : platformVersions().at(index).clientExecutable;
}

void applyTypeFlags(InfobaseProfile &profile, bool radioF, bool radioClient)
{
    profile.fileType = radioF;
    if (radioF)
        profile.clientServer = false;
    profile.clientServer = radioClient;
    if (radioClient)
        profile.fileType = false;
}

int profileNumberOfBackupParameter(const QString &parameter)
{
    for (int n = 1; n <= kProfileCount; ++n) {
        if (parameter == QStringLiteral("bak%1").arg(n))
            return n;
    }
    return 0;
}

} // namespace dozorix
