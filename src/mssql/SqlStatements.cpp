#include "mssql/SqlStatements.h"

#include "common/Stamps.h"

#include <QRegularExpression>

namespace dozorix {

QString bracketedSqlName(const QString &name)
{
    return QLatin1Char('[') + QString(name).replace(QLatin1Char(']'), QStringLiteral("]]")) + QLatin1Char(']');
}

QString quotedSqlText(const QString &text)
{
    return QString(text).replace(QLatin1Char('\''), QStringLiteral("''"));
}

namespace {

QString backupStatement(const char *kind, const char *extension, const QString &database,
                        const QString &targetDir, const QDateTime &at)
{
    const QString file = targetDir + QLatin1Char('\\') + DateTimeFileStamp(at) + QLatin1Char('_') + database
        + QLatin1String(extension);
    return QLatin1String(kind) + bracketedSqlName(database) + QStringLiteral(" TO DISK = '") + quotedSqlText(file)
        + QStringLiteral("' ");
}

} // namespace

QString backupDatabaseStatement(const QString &database, const QString &targetDir, const QDateTime &at)
{
    return backupStatement("BACKUP DATABASE ", ".bak", database, targetDir, at);
}

QString backupLogStatement(const QString &database, const QString &targetDir, const QDateTime &at)
{
    return backupStatement("BACKUP LOG ", ".trn", database, targetDir, at);
}

QString catalogListStatement()
{
    return QStringLiteral("SELECT name AS CATALOG_NAME FROM master.dbo.sysdatabases ORDER BY name");
}

QString freeTdsServerName(const QString &host)
{
    static const QRegularExpression withPort(QStringLiteral("^(.+),\\s*(\\d{1,5})$"));
    const QString h = host.trimmed();
    const auto m = withPort.match(h);
    if (m.hasMatch())
        return m.captured(1).trimmed() + QLatin1Char(':') + m.captured(2);
    return h;
}

} // namespace dozorix
