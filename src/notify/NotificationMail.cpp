#include "notify/NotificationMail.h"

#include "common/Background.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "common/Stamps.h"
#include "common/TimeScale.h"
#include "notify/MailMessage.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QThread>

#include <map>
#include <memory>

namespace dozorix {
namespace {

const QString kSettingsSection = QStringLiteral("settings");

std::function<QString()> &portProvider()
{
    static std::function<QString()> provider;
    return provider;
}

using Completion = std::function<void(const MailResult &)>;

// Owns the worker threads of the letters on their way. Lives on the
// user-interface thread as a child of the application; outcomes come back
// to it as queued calls (runInBackground). When the application goes,
// sessions in progress are abandoned and their threads waited for, so no
// thread outlives it.
class MailDispatcher : public QObject
{
public:
    static MailDispatcher *instance()
    {
        static QPointer<MailDispatcher> dispatcher;
        if (!dispatcher && QCoreApplication::instance())
            dispatcher = new MailDispatcher(QCoreApplication::instance());
        return dispatcher;
    }

    ~MailDispatcher() override
    {
        for (auto &[id, job] : m_jobs)
            job.cancel->cancel();
        for (auto &[id, job] : m_jobs)
            waitForBackground(job.worker);
    }

    MailId start(SmtpJob smtp, Completion done)
    {
        const MailId id = ++m_lastId;
        Job &job = m_jobs[id];
        job.done = std::move(done);
        job.cancel = std::make_shared<SmtpCancel>();
        job.worker = runInBackground(
            this, [smtp = std::move(smtp), cancel = job.cancel] { return sendSmtpMail(smtp, cancel.get()); },
            [this, id](const MailResult &result) { finish(id, result); });
        return id;
    }

    // A letter that failed before any connection; its outcome still comes
    // later, from the event loop, like every other.
    MailId reject(const QString &reason, Completion done)
    {
        const MailId id = ++m_lastId;
        Job &job = m_jobs[id];
        job.done = std::move(done);
        job.cancel = std::make_shared<SmtpCancel>();
        QMetaObject::invokeMethod(this, [this, id, reason] { finish(id, {false, reason}); }, Qt::QueuedConnection);
        return id;
    }

    bool inFlight(MailId id) const { return m_jobs.count(id) != 0; }
    int count() const { return static_cast<int>(m_jobs.size()); }

private:
    using QObject::QObject;

    struct Job {
        QPointer<QThread> worker;
        std::shared_ptr<SmtpCancel> cancel;
        Completion done;
    };

    void finish(MailId id, const MailResult &result)
    {
        auto it = m_jobs.find(id);
        if (it == m_jobs.end())
            return;
        Completion done = std::move(it->second.done);
        m_jobs.erase(it);
        if (done)
            done(result);
    }

    std::map<MailId, Job> m_jobs;
    MailId m_lastId = 0;
};

bool onUserInterfaceThread()
{
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

} // namespace

void setMailPortProvider(std::function<QString()> provider)
{
    portProvider() = std::move(provider);
}

MailSettings readMailSettings()
{
    const IniFile ini(settingsFilePath());
    MailSettings s;
    s.sender = ini.readString(kSettingsSection, QStringLiteral("E-mail_From_Address"), QString());
    s.recipients = ini.readString(kSettingsSection, QStringLiteral("E-mail_EMailAddresses"), QString());
    s.host = ini.readString(kSettingsSection, QStringLiteral("E-mail_HostSmtp"), QString());
    s.user = ini.readString(kSettingsSection, QStringLiteral("E-mail_Username"), QString());
    s.password = ini.readString(kSettingsSection, QStringLiteral("E-mail_Password"), QString());
    s.port = portProvider() ? portProvider()() : ini.readString(kSettingsSection, QStringLiteral("E-mail_Port"), QString());
    return s;
}

MailId sendMailWith(const MailSettings &values, const QString &subject, const QString &bodyParagraphs,
                    const QString &successLine, MailSuccess onSuccess, MailFailure onFailure, QObject *context)
{
    MailDispatcher *dispatcher = MailDispatcher::instance();
    if (!dispatcher)
        return 0;

    const bool hasContext = context != nullptr;
    QPointer<QObject> guard(context);
    Completion done = [hasContext, guard, successLine, onSuccess = std::move(onSuccess),
                       onFailure = std::move(onFailure)](const MailResult &result) {
        if (hasContext && !guard)
            return;
        if (result.ok) {
            logLine(LogStamp() + successLine, kLogGreen);
            if (onSuccess)
                onSuccess();
        } else if (onFailure) {
            onFailure(result.reason);
        }
    };

    SmtpJob job;
    job.target = resolveSmtpTarget(values.host, values.port);
    if (!job.target.ok)
        return dispatcher->reject(job.target.reason, std::move(done));
    job.sender = values.sender.trimmed();
    job.recipients = splitRecipients(values.recipients);
    job.user = values.user;
    job.password = values.password;

    MailLetter letter;
    letter.sender = job.sender;
    letter.recipients = job.recipients;
    letter.subject = subject;
    letter.htmlBody = bodyParagraphs;
    job.message = buildMailMessage(letter);
    return dispatcher->start(std::move(job), std::move(done));
}

MailId SendNotificationMail(const QString &subject, const QString &bodyParagraphs, const QString &successLine,
                            MailSuccess onSuccess, MailFailure onFailure, QObject *context)
{
    if (!onUserInterfaceThread()) {
        QCoreApplication *app = QCoreApplication::instance();
        if (app) {
            QPointer<QObject> guard(context);
            const bool hasContext = context != nullptr;
            QMetaObject::invokeMethod(
                app,
                [=] {
                    if (!hasContext || guard)
                        SendNotificationMail(subject, bodyParagraphs, successLine, onSuccess, onFailure, guard);
                },
                Qt::QueuedConnection);
        }
        return 0;
    }
    return sendMailWith(readMailSettings(), subject, bodyParagraphs, successLine, std::move(onSuccess),
                        std::move(onFailure), context);
}

MailId SendTestMail(const MailSettings &values)
{
    return sendMailWith(values, kTestMailSubject, kTestMailBody, kTestMailSuccessLine, {},
                        [](const QString &reason) { logLine(LogStamp() + kTestMailFailurePrefix + reason, kLogRed); });
}

bool isMailInFlight(MailId id)
{
    MailDispatcher *dispatcher = MailDispatcher::instance();
    return dispatcher && dispatcher->inFlight(id);
}

int mailsInFlight()
{
    MailDispatcher *dispatcher = MailDispatcher::instance();
    return dispatcher ? dispatcher->count() : 0;
}

namespace {

void checkMailsOut(QObject *context, QDeadlineTimer patience, std::function<void()> then)
{
    if (mailsInFlight() == 0 || patience.hasExpired()) {
        then();
        return;
    }
    afterPause(context, 50, [context, patience, then = std::move(then)]() mutable {
        checkMailsOut(context, patience, std::move(then));
    });
}

} // namespace

void afterMailsOut(QObject *context, qint64 patienceMs, std::function<void()> then)
{
    checkMailsOut(context, QDeadlineTimer(scaledMs(patienceMs)), std::move(then));
}

} // namespace dozorix
