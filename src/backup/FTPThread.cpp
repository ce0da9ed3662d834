#include "backup/FTPThread.h"

#include "shell/HandOffFile.h"

#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "common/Stamps.h"
#include "common/SystemHelpers.h"
#include "common/TimeScale.h"
#include "notify/NotificationMail.h"

#include <QFile>

namespace dozorix {
namespace {

constexpr unsigned long kBarPauseMs = 500;

} // namespace

FtpUploadJob readFtpUploadJob(const IniFile &ini, bool unattended, bool mailDefault)
{
    FtpUploadJob job;
    job.backupFolder = ini.readString(QStringLiteral("BACKUP"), QStringLiteral("AvtoPath"), QString());
    job.ftp = readFtpSettings(ini);
    job.mailOnFailure = ini.readBool(QStringLiteral("settings"), QStringLiteral("ERRORBackupSendFTP"), mailDefault);
    job.unattended = unattended;
    return job;
}

bool ftpArchiveNames(const QStringList &temp2Lines, const QString &backupFolder, FtpArchiveNames *out)
{
    bool any = false;
    for (const QString &line : temp2Lines) {
        out->backupPath = line;
        out->baseName = line.mid(backupFolder.size() + 1);
        any = true;
    }
    return any;
}

QString ftpFailureLetterBody(const QString &name, const QString &computer, const QString &stamp,
                             const QString &reason)
{
    return kFtpLetterSubjectPrefix + QStringLiteral("<b>") + name + QStringLiteral("</b><p><b>Сервер (ПК): </b>")
        + computer + QStringLiteral(".</p><p><b>Время: </b>") + stamp + QStringLiteral("<p><b>Zip Архив:  </b>")
        + name + QStringLiteral("<p><b>Причина:  </b>") + reason
        + QStringLiteral("</b><p>Это сообщение отправлено автоматически программой Dozorix Pro.</p>");
}

FTPThread::FTPThread(FtpUploadJob job, QObject *parent)
    : QThread(parent)
    , m_job(std::move(job))
{
    m_exitTimer.setSingleShot(true);
    connect(&m_exitTimer, &QTimer::timeout, this, &FTPThread::shutdownRequested);
}

FTPThread::~FTPThread()
{
    requestStop();
    wait();
}

void FTPThread::post(std::function<void()> fn)
{
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void FTPThread::log(const QString &text, unsigned int rgb)
{
    const QString line = LogStamp() + text;
    post([line, rgb] { logLine(line, rgb); });
}

void FTPThread::end(bool ok, const QString &message)
{
    const bool unattended = m_job.unattended;
    post([this, ok, message, unattended] {
        m_succeeded = ok;
        m_failure = ok ? QString() : message;
        emit controlsReleased();
        if (unattended) {
            setScaledInterval(&m_exitTimer, kFtpExitDelayMs);
            m_exitTimer.start();
        }
        emit uploadEnded(ok, message);
    });
}

void FTPThread::fail(const QString &name, const QString &reason)
{
    if (m_stop.load()) {
        // A cancel is no failure: no letter, no red line.
        post([this] { emit progressText(kFtpCancelled); });
        log(kFtpCancelled, kLogGreen);
        end(false, reason);
        return;
    }
    if (m_job.mailOnFailure && reason != kFtpClosedGracefully && settingsFileExists()) {
        const QString subject = kFtpLetterSubjectPrefix + name;
        const QString body = ftpFailureLetterBody(name, GetComputerNameText(), LogStamp(), reason);
        // Any failure of the letter itself is ignored.
        post([subject, body] { SendNotificationMail(subject, body, kFtpLetterSentLine); });
    }
    post([this] { emit progressText(kFtpFailed); });
    log(reason, kLogRed);
    log(kFtpFailed, kLogRed);
    end(false, reason);
}

void FTPThread::run()
{
    // Step 1: the backup path from the last line of temp2.txt, which the
    // runner writes in UTF-8 with its mark (an older file: Windows-1251).
    const QString temp2 = programFile(QStringLiteral("temp2.txt"));
    QByteArray bytes;
    if (!loadHandOffBytes(QStringLiteral("temp2.txt"), &bytes)) {
        fail(QString(), QStringLiteral("Не найден файл %1 с путём архива для отправки на FTP").arg(temp2));
        return;
    }
    const QStringList lines = splitLines(decodeHandOffText(bytes));
    FtpArchiveNames names;
    if (!ftpArchiveNames(lines, m_job.backupFolder, &names)) {
        fail(QString(), QStringLiteral("В файле %1 нет пути архива для отправки на FTP").arg(temp2));
        return;
    }

    // Step 2: the port as a whole number.
    int port = 0;
    if (!parseFtpPort(m_job.ftp.port, &port)) {
        fail(names.baseName,
             QStringLiteral("Порт FTP «%1» не является числом от 1 до 65535").arg(m_job.ftp.port));
        return;
    }

    // Step 3: the second bar goes grey for half a second.
    post([this] { emit progressBarEnabled(false); });
    msleep(static_cast<unsigned long>(scaledMs(kBarPauseMs)));
    post([this] { emit progressBarEnabled(true); });

    // Steps 4 and 5.
    const QString host = m_job.ftp.host;
    FtpUploadEvents events;
    events.connected = [this, host] {
        post([this] { emit cancelButtonEnabled(false); });
        log(kFtpConnectingPrefix + host, kLogGreen);
        log(kFtpUploading, kLogGreen);
    };
    events.started = [this](qint64 total) { post([this, total] { emit transferStarted(total); }); };
    events.progress = [this](qint64 sent) { post([this, sent] { emit transferProgress(sent); }); };

    const FtpUploadResult result =
        uploadFileAppend(m_job.ftp, names.localArchive(), names.remoteName(), events, &m_stop);
    if (!result.ok) {
        fail(names.baseName, result.error);
        return;
    }
    const QString sentText = kFtpArchivePrefix + names.baseName + kFtpSentTextSuffix;
    post([this] { emit progressText(kFtpUploading); });
    log(kFtpArchivePrefix + names.baseName + kFtpSentLogSuffix, kLogGreen);
    post([this, sentText] { emit progressText(sentText); });
    end(true, QString());
    // Step 6.
    log(kFtpDisconnected, kLogGreen);
    log(kFtpWorkDone, kLogGreen);
}

} // namespace dozorix
