#pragma once
// The Transact-SQL texts of an MS SQL backup and the connection settings
// they travel with.
//
// The database name goes in brackets with every "]" doubled, and the file
// path (folder, stamp, name) in quotes with every "'" doubled: a name such
// as "Buh 2017" or a quote in a folder backs up, and no typed text can add a
// second statement. Everything else stays as the statements have always been
// written, down to the blank after the closing quote.

#include <QDateTime>
#include <QString>

namespace dozorix {

// What a connection needs: server (host, "host,port", "host:port" or
// "host\instance"), login, password and the catalogue to open.
struct SqlLogin {
    QString host;
    QString login;
    QString password;
    QString catalog = QStringLiteral("master");
};

// "[name]" with "]" doubled.
QString bracketedSqlName(const QString &name);
// The text with "'" doubled, for use inside '...'.
QString quotedSqlText(const QString &text);

// "BACKUP DATABASE [db] TO DISK = 'dir\<stamp>_db.bak' "
QString backupDatabaseStatement(const QString &database, const QString &targetDir,
                                const QDateTime &at = QDateTime::currentDateTime());
// "BACKUP LOG [db] TO DISK = 'dir\<stamp>_db.trn' "
QString backupLogStatement(const QString &database, const QString &targetDir,
                           const QDateTime &at = QDateTime::currentDateTime());

// The statement that reads the server's catalogue: one row per database,
// column CATALOG_NAME.
QString catalogListStatement();

// The server name FreeTDS understands: "host,port" (the SQL Server way of
// naming a port) becomes "host:port"; anything else is passed unchanged.
QString freeTdsServerName(const QString &host);

} // namespace dozorix
