#include "mssql/SqlServerLink.h"

#include <sybdb.h>
#include <sybfront.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

namespace dozorix {

namespace {

struct Reported {
    int number;
    bool fromServer;
    QString text;
};

// db-lib calls its handlers on the thread of the call that failed: each
// thread collects its own reports for the call it is making.
thread_local std::vector<Reported> t_reports;

int errorHandler(DBPROCESS *, int severity, int dberr, int oserr, char *dberrstr, char *oserrstr)
{
    Q_UNUSED(severity);
    QString text = QString::fromUtf8(dberrstr ? dberrstr : "");
    if (oserr != DBNOERR && oserrstr && *oserrstr)
        text += QStringLiteral(" (") + QString::fromUtf8(oserrstr) + QLatin1Char(')');
    t_reports.push_back({dberr, false, text});
    return INT_CANCEL;
}

int messageHandler(DBPROCESS *, DBINT msgno, int msgstate, int severity, char *msgtext, char *srvname,
                   char *procname, int line)
{
    Q_UNUSED(msgstate);
    Q_UNUSED(srvname);
    Q_UNUSED(procname);
    Q_UNUSED(line);
    if (severity > 10) // below are informational messages ("Changed database context …")
        t_reports.push_back({int(msgno), true, QString::fromUtf8(msgtext ? msgtext : "")});
    return 0;
}

void initOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        dbinit();
        dberrhandle(errorHandler);
        dbmsghandle(messageHandler);
        dbsetlogintime(kSqlLoginTimeoutSeconds);
        dbsettime(0); // no command time-out
    });
}

// The error of the call that just failed: the server's own message when it
// sent one, else the client library's.
SqlError takeError(const QString &fallback)
{
    std::vector<Reported> reports;
    reports.swap(t_reports);
    // The server's own message first, a known one before others; then the
    // client library's, a known one before others.
    const Reported *pick = nullptr;
    for (int pass = 0; pass < 4 && !pick; ++pass) {
        const bool server = pass < 2, known = pass % 2 == 0;
        for (const Reported &r : reports) {
            if (r.fromServer == server && (!known || !sqlErrorPrefix(r.number, r.fromServer).isEmpty())) {
                pick = &r;
                break;
            }
        }
    }
    SqlError e;
    if (!pick) {
        e.typeName = QStringLiteral("ESqlConnectError");
        e.message = fallback;
        return e;
    }
    e.typeName = pick->fromServer ? QStringLiteral("ESqlServerError") : QStringLiteral("ESqlConnectError");
    const QString prefix = sqlErrorPrefix(pick->number, pick->fromServer);
    e.message = prefix.isEmpty() ? pick->text : prefix + QLatin1Char(' ') + pick->text;
    return e;
}

SqlError notConnected()
{
    return {QStringLiteral("ESqlConnectError"), QStringLiteral("Нет подключения к MS SQL.")};
}

// Sends one batch and reads all of its results; readRows reads the rows of
// each result (they are skipped when it is empty). False when the batch or
// one of its results failed; the batch is then cancelled.
bool runBatch(DBPROCESS *proc, const QString &statement, const std::function<void(DBPROCESS *)> &readRows)
{
    const QByteArray text = statement.toUtf8();
    bool ok = dbcmd(proc, text.constData()) == SUCCEED && dbsqlexec(proc) == SUCCEED;
    while (ok) {
        const RETCODE rc = dbresults(proc);
        if (rc == NO_MORE_RESULTS)
            break;
        if (rc == FAIL) {
            ok = false;
            break;
        }
        if (readRows) {
            readRows(proc);
        } else {
            while (dbnextrow(proc) != NO_MORE_ROWS) {
            }
        }
    }
    if (!ok)
        dbcancel(proc);
    return ok;
}

} // namespace

QString sqlErrorPrefix(int number, bool fromServer)
{
    if (fromServer) {
        switch (number) {
        case 18456:
        case 18452:
            return QStringLiteral("Ошибка входа: неверный логин или пароль MS SQL.");
        case 4060:
        case 911:
            return QStringLiteral("База данных не существует или недоступна.");
        default:
            return {};
        }
    }
    switch (number) {
    case SYBECONN: // 20009: nobody listens
    case SYBEFCON: // 20002: the connection failed
    case SYBETIME: // 20003: the time-out passed
    case SYBESOCK: // 20004
        return QStringLiteral("Сервер MS SQL недоступен.");
    case SYBEPWD: // 20014
        return QStringLiteral("Ошибка входа: неверный логин или пароль MS SQL.");
    default:
        return {};
    }
}

SqlServerLink::SqlServerLink()
{
    initOnce();
}

SqlServerLink::~SqlServerLink()
{
    close();
}

bool SqlServerLink::open(const SqlLogin &l, SqlError *error)
{
    close();
    t_reports.clear();
    LOGINREC *login = dblogin();
    if (!login) {
        *error = takeError(QStringLiteral("FreeTDS: no memory for a login record"));
        return false;
    }
    const QByteArray user = l.login.toUtf8(), pwd = l.password.toUtf8(), host = l.host.toUtf8(),
                     db = l.catalog.toUtf8();
    DBSETLUSER(login, user.constData());
    DBSETLPWD(login, pwd.constData());
    DBSETLHOST(login, host.constData()); // the workstation name is the server's address, as always
    DBSETLAPP(login, "Dozorix");
    DBSETLCHARSET(login, "UTF-8");
    DBSETLDBNAME(login, db.constData());
    DBSETLVERSION(login, DBVERSION_74);
    const QByteArray server = freeTdsServerName(l.host).toUtf8();
    DBPROCESS *proc = dbopen(login, server.constData());
    dbloginfree(login);
    if (!proc) {
        *error = takeError(QStringLiteral("Unable to connect to ") + l.host);
        return false;
    }
    m_proc = proc;
    t_reports.clear();
    return true;
}

bool SqlServerLink::execute(const QString &statement, SqlError *error)
{
    auto *proc = static_cast<DBPROCESS *>(m_proc);
    if (!proc) {
        *error = notConnected();
        return false;
    }
    t_reports.clear();
    const bool ok = runBatch(proc, statement, {});
    const bool serverError =
        std::any_of(t_reports.begin(), t_reports.end(), [](const Reported &r) { return r.fromServer; });
    if (!ok || serverError) {
        *error = takeError(QStringLiteral("The statement failed."));
        return false;
    }
    t_reports.clear();
    return true;
}

bool SqlServerLink::catalogNames(QStringList *names, SqlError *error)
{
    auto *proc = static_cast<DBPROCESS *>(m_proc);
    if (!proc) {
        *error = notConnected();
        return false;
    }
    t_reports.clear();
    const bool ok = runBatch(proc, catalogListStatement(), [names](DBPROCESS *p) {
        int column = 0;
        for (int c = 1; c <= dbnumcols(p); ++c) {
            const char *name = dbcolname(p, c);
            if (name && QByteArray(name).compare("CATALOG_NAME", Qt::CaseInsensitive) == 0)
                column = c;
        }
        while (dbnextrow(p) != NO_MORE_ROWS) {
            if (column == 0)
                continue;
            const BYTE *data = dbdata(p, column);
            const DBINT length = dbdatlen(p, column);
            if (data && length >= 0)
                names->append(QString::fromUtf8(reinterpret_cast<const char *>(data), length));
        }
    });
    if (!ok) {
        *error = takeError(QStringLiteral("The catalogue could not be read."));
        return false;
    }
    t_reports.clear();
    return true;
}

void SqlServerLink::close()
{
    if (m_proc) {
        dbclose(static_cast<DBPROCESS *>(m_proc));
        m_proc = nullptr;
    }
    t_reports.clear();
}

} // namespace dozorix
