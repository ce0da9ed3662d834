#pragma once
// One connection to Microsoft SQL Server through FreeTDS's db-lib: open
// (3-second login time-out), run a statement (no command time-out: a backup
// may run for hours), read the catalogue, close. Every call is blocking; a
// connection is used by one thread at a time (a worker thread, never the
// window's).
//
// A failure is described as the error's type name and its message:
//   ESqlConnectError  the client side: the server does not answer, the
//                     connection breaks, the login time-out passes;
//   ESqlServerError   a message the server sent (login refused, unknown
//                     database, a refused statement).
// FreeTDS's and the server's English texts are kept; the common cases get a
// Russian sentence in front (sqlErrorPrefix).

#include "mssql/SqlStatements.h"

#include <QString>
#include <QStringList>

namespace dozorix {

struct SqlError {
    QString typeName;
    QString message;
    // The log text: type name, CR LF, message.
    QString text() const { return typeName + QStringLiteral("\r\n") + message; }
};

// The login time-out of every connection, in seconds.
constexpr int kSqlLoginTimeoutSeconds = 3;

// The Russian sentence put in front of a known failure ("" for others):
// a db-lib error number (20009, 20003, 20002 …) or a server message number
// (18456, 4060, 911).
QString sqlErrorPrefix(int number, bool fromServer);

class SqlServerLink
{
public:
    SqlServerLink();
    ~SqlServerLink();
    SqlServerLink(const SqlServerLink &) = delete;
    SqlServerLink &operator=(const SqlServerLink &) = delete;

    bool open(const SqlLogin &login, SqlError *error);
    bool isOpen() const { return m_proc != nullptr; }
    // Sends one batch and reads all of its results.
    bool execute(const QString &statement, SqlError *error);
    // Runs catalogListStatement() and returns the values of column CATALOG_NAME.
    bool catalogNames(QStringList *names, SqlError *error);
    void close();

private:
    void *m_proc = nullptr; // DBPROCESS
};

} // namespace dozorix
