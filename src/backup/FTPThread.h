#pragma once
// The upload of a backup's ZIP archive to the FTP account: the last step of
// a backup when "Отправить на FTP." is on.
//
// The backup runner fills an FtpUploadJob, creates the thread, connects the
// signals it shows (second progress bar, progress text, buttons, exit) and
// calls start(). The thread reads the backup path from the last line of
// temp2.txt, uploads <path>.zip under its file name with APPE and reports:
// the log lines go to the event log (LogSink), everything else comes as the
// signals below, all delivered on the user-interface thread (the object
// lives there; the worker only posts).
//
// Every way it ends (success, a failed upload, a temp2.txt that is missing
// or empty, a port that is not a number) logs its lines, mails the failure
// letter when the job asks for it (never for "Connection Closed
// Gracefully.", never for a cancel through requestStop()), gives the
// runner's buttons back (controlsReleased) and, when the job says it is
// unattended, arms the exit timer: 1 s (through the time scale) later
// shutdownRequested() fires. The backup runner does not ask for it: it ends
// an unattended run itself, through its one end, 1 s after uploadEnded().
// finished() follows every end.

#include "backup/FtpUpload.h"

#include <QString>
#include <QThread>
#include <QTimer>

#include <atomic>

namespace dozorix {

// Everything the upload takes from the runner when it starts.
struct FtpUploadJob {
    QString backupFolder;       // DPAth (key "AvtoPath")
    FtpSettings ftp;            // section "BACKUP"
    bool mailOnFailure = false; // "ERRORBackupSendFTP"
    bool unattended = false;    // the main window's AVTO_BACKUP is "Yes"
};

// The job as the runner loads it from the settings file: the backup folder
// ("AvtoPath") and the FTP account of section "BACKUP", and
// "ERRORBackupSendFTP" of section "settings" (mailDefault, the runner's
// current value, when the key is missing or not a number).
FtpUploadJob readFtpUploadJob(const IniFile &ini, bool unattended, bool mailDefault = false);

// The texts of the upload.
inline const QString kFtpConnectingPrefix = QStringLiteral("Установка соединения с FTP сервером: ");
inline const QString kFtpUploading = QStringLiteral("Загрузка на FTP... ");
inline const QString kFtpArchivePrefix = QStringLiteral("Zip архив:");
inline const QString kFtpSentLogSuffix = QStringLiteral(".zip - успешно отправлен на FTP сервер");
inline const QString kFtpSentTextSuffix = QStringLiteral(".zip - успешно отправлен на FTP.");
inline const QString kFtpDisconnected = QStringLiteral("Отключился от FTP");
inline const QString kFtpWorkDone = QStringLiteral("Работа завершена!");
inline const QString kFtpFailed = QStringLiteral("Ошибка отправки на FTP сервер. (");
inline const QString kFtpCancelled = QStringLiteral("Отправка zip архива на FTP сервер отменена.");
inline const QString kFtpLetterSubjectPrefix = QStringLiteral("Ошибка отправки zip Архива на FTP сервер: ");
inline const QString kFtpLetterSentLine =
    QStringLiteral("Уведомление об ошибке отправки на FTP, отправлено на E-mail!");

// The designed pause of the exit timer of an unattended run.
constexpr qint64 kFtpExitDelayMs = 1000;

// Where the archive of a backup path lies and the name it gets on the server.
struct FtpArchiveNames {
    QString backupPath; // without ".zip"
    QString baseName;   // the path without its first (folder length + 1) characters
    QString localArchive() const { return backupPath + QStringLiteral(".zip"); }
    QString remoteName() const { return baseName + QStringLiteral(".zip"); }
};

// The names from the lines of temp2.txt: the last line holds. False when
// there is no line at all.
bool ftpArchiveNames(const QStringList &temp2Lines, const QString &backupFolder, FtpArchiveNames *out);

// The failure letter's body (HTML, footer included).
QString ftpFailureLetterBody(const QString &name, const QString &computer, const QString &stamp,
                             const QString &reason);

class FTPThread : public QThread
{
    Q_OBJECT
public:
    explicit FTPThread(FtpUploadJob job, QObject *parent = nullptr);
    // Stops an upload in progress (as a failure) and waits for the worker.
    ~FTPThread() override;

    // Ends the upload in progress as soon as the library looks (within a
    // second): a cancel, logged as one (green, no letter).
    void requestStop() { m_stop = true; }
    bool stopRequested() const { return m_stop.load(); }

    // The outcome, once finished() has come.
    bool succeeded() const { return m_succeeded; }
    QString failureMessage() const { return m_failure; }
    bool exitTimerArmed() const { return m_exitTimer.isActive(); }

signals:
    // Step 3: the second progress bar is disabled, then enabled 500 ms later.
    void progressBarEnabled(bool enabled);
    // The transfer starts: the bar's maximum is the byte count to send.
    void transferStarted(qint64 total);
    // Bytes sent so far: the bar's position.
    void transferProgress(qint64 sent);
    // The runner's cancel button ("Прервать выполнение").
    void cancelButtonEnabled(bool enabled);
    // The runner's progress text.
    void progressText(const QString &text);
    // The start button, the profile list and the cancel button are enabled again.
    void controlsReleased();
    // The upload ended: ok, or the failure's message.
    void uploadEnded(bool ok, const QString &message);
    // Unattended run: the exit timer has run out; the runner ends the program.
    void shutdownRequested();

protected:
    void run() override;

private:
    void post(std::function<void()> fn);
    void log(const QString &text, unsigned int rgb);
    void fail(const QString &name, const QString &reason);
    void end(bool ok, const QString &message);

    const FtpUploadJob m_job;
    std::atomic_bool m_stop{false};
    bool m_succeeded = false;
    QString m_failure;
    QTimer m_exitTimer;
};

} // namespace dozorix
