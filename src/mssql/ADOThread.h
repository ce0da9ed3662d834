#pragma once
// The MS SQL backup worker: one thread per backup. It opens its own
// connection to the database being backed up, sends BACKUP DATABASE and/or
// BACKUP LOG and ends; its log lines are handed to the user-interface thread
// (they reach the event log through logLine there). The window that started
// it watches the job's marks every 3 seconds; closing that window leaves the
// thread running, and it still logs how the backup ended.
//
// The thread object deletes itself once the thread has ended and its lines
// are delivered.

#include "mssql/SqlServerLink.h"

#include <QThread>

#include <atomic>
#include <memory>

namespace dozorix {

// The values handed from the window to the thread when a backup starts.
struct SqlBackupJob {
    QString Host;
    QString Login;
    QString Password;
    QString Database;
    QString TargetDir;
    std::atomic_bool BackupDb{false};
    std::atomic_bool BackupLog{false};
    // Set by the thread, once: the backup failed, or it is finished.
    std::atomic_bool Failed{false};
    std::atomic_bool Finished{false};
};

class ADOThread : public QThread
{
    Q_OBJECT
public:
    // The log texts of the worker.
    static QString startingText();   // "Приступаю к выполнению бэкапа базы на MS SQL сервере..."
    static QString runningText();    // "Выполняю "бэкап", ждите... "
    static QString succeededText();  // "бэкап базы успешно выполнен!"

    explicit ADOThread(std::shared_ptr<SqlBackupJob> job);

signals:
    // Emitted on the worker; delivered on the thread that created the object.
    void lineReady(const QString &text, unsigned int rgb);

protected:
    void run() override;

private:
    void log(const QString &text, unsigned int rgb);

    std::shared_ptr<SqlBackupJob> m_job;
};

// The connection test of the settings window, run on a worker: connect to
// catalogue master, read the catalogue names, disconnect.
struct SqlConnectionTestResult {
    bool connected = false;
    QStringList names;
    bool failed = false;
    SqlError error;
};
SqlConnectionTestResult runSqlConnectionTest(const SqlLogin &login);

// Opens and closes a connection (the check before a backup starts).
bool checkSqlConnection(const SqlLogin &login, SqlError *error);

} // namespace dozorix
