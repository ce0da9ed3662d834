#include "mssql/ADOThread.h"

#include "common/LogSink.h"
#include "common/Stamps.h"
#include "mssql/SqlServerLink.h"

namespace dozorix {

QString ADOThread::startingText()
{
    return QStringLiteral("Приступаю к выполнению бэкапа базы на MS SQL сервере...");
}

QString ADOThread::runningText()
{
    return QStringLiteral("Выполняю \"бэкап\", ждите... ");
}

QString ADOThread::succeededText()
{
    return QStringLiteral("бэкап базы успешно выполнен!");
}

ADOThread::ADOThread(std::shared_ptr<SqlBackupJob> job)
    : m_job(std::move(job))
{
    // Lines travel to this object's thread (the user-interface thread) and
    // reach the event log there.
    connect(this, &ADOThread::lineReady, this,
            [](const QString &text, unsigned int rgb) { logLine(text, rgb); }, Qt::QueuedConnection);
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

void ADOThread::log(const QString &text, unsigned int rgb)
{
    emit lineReady(LogStamp() + text, rgb);
}

void ADOThread::run()
{
    SqlBackupJob &job = *m_job;
    SqlLogin login{job.Host, job.Login, job.Password, job.Database};
    SqlServerLink link;
    SqlError error;
    bool ok = link.open(login, &error);
    if (ok) {
        log(startingText(), kLogGreen);
        log(runningText(), kLogGreen);
        // The database first, then its log; each statement gets its own
        // stamp when it is built.
        if (job.BackupDb)
            ok = link.execute(backupDatabaseStatement(job.Database, job.TargetDir), &error);
        if (ok && job.BackupLog)
            ok = link.execute(backupLogStatement(job.Database, job.TargetDir), &error);
    }
    link.close();
    if (ok) {
        log(succeededText(), kLogGreen);
        job.BackupDb = false;
        job.BackupLog = false;
        job.Finished = true;
    } else {
        log(error.text(), kLogRed);
        job.Failed = true;
    }
}

SqlConnectionTestResult runSqlConnectionTest(const SqlLogin &login)
{
    SqlConnectionTestResult r;
    SqlServerLink link;
    if (!link.open(login, &r.error)) {
        r.failed = true;
        return r;
    }
    r.connected = true;
    if (!link.catalogNames(&r.names, &r.error))
        r.failed = true;
    link.close();
    return r;
}

bool checkSqlConnection(const SqlLogin &login, SqlError *error)
{
    SqlServerLink link;
    const bool ok = link.open(login, error);
    link.close();
    return ok;
}

} // namespace dozorix
