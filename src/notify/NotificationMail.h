#pragma once
// Letters to the administrator: load alerts, backup failures, offline
// infobases and the settings dialog's test letter all go through here.
//
// A letter is sent on a worker thread and never blocks the window. When the
// server has accepted it, the caller's success line is appended to the event
// log in green (LogStamp() + line) and then the caller's on-success action
// runs; both on the user-interface thread. A letter that fails leaves no
// trace: no log line, no on-success action (an alert's timer simply tries
// again later). Only the test letter reports its failure, in red, because an
// administrator testing the mail settings needs to see why it failed.

#include "notify/SmtpSender.h"

#include <QObject>
#include <QString>

#include <functional>

namespace dozorix {

// The footer paragraph of the test letter and the load-alert letters.
inline const QString kMailFooter =
    QStringLiteral("<p>Это сообщение отправлено автоматически программой Dozorix.</p>");

// The test letter.
inline const QString kTestMailSubject = QStringLiteral("Тестовое письмо: Dozorix!");
inline const QString kTestMailBody = QStringLiteral("<p>Тестовое письмо.</p>") + kMailFooter;
inline const QString kTestMailSuccessLine = QStringLiteral("Письмо успешно отправлено! ");
inline const QString kTestMailFailurePrefix = QStringLiteral("Не удалось отправить письмо: ");

// Identifies a letter while it is on its way; 0 is no letter.
using MailId = quint64;

using MailSuccess = std::function<void()>;
using MailFailure = std::function<void(const QString &reason)>;

// Where letters take their port from. The settings dialog registers its port
// box here, so letters use the port the user last typed. An empty function
// (the default) reads "E-mail_Port" from the settings file.
void setMailPortProvider(std::function<QString()> provider);

// The mail settings of a letter: sender, recipients, server, login and
// password from section "settings" of the settings file, read now, and the
// port from the port provider.
MailSettings readMailSettings();

// Sends one letter with the settings as they are at this moment.
// bodyParagraphs is the HTML body with the footer already appended.
// onFailure, when given, receives the reason of a failed letter (nothing is
// logged for it). When context is given and destroyed before the letter
// ends, neither the success line nor a callback happens.
// Called from a thread other than the user-interface thread, the letter is
// handed to that thread and 0 is returned.
MailId SendNotificationMail(const QString &subject, const QString &bodyParagraphs, const QString &successLine,
                            MailSuccess onSuccess = {}, MailFailure onFailure = {}, QObject *context = nullptr);

// Sends the test letter with the six values exactly as given (the dialog's
// boxes, unsaved edits included). Success: the green "Письмо успешно
// отправлено! " line. Failure: a red line "Не удалось отправить письмо: " +
// the reason.
MailId SendTestMail(const MailSettings &values);

// Sends a letter with explicit settings; the building block of the two above.
// SendTestMail and this one are called on the user-interface thread.
MailId sendMailWith(const MailSettings &values, const QString &subject, const QString &bodyParagraphs,
                    const QString &successLine, MailSuccess onSuccess = {}, MailFailure onFailure = {},
                    QObject *context = nullptr);

// True from the send until the letter's outcome has been handled, so a
// caller can avoid stacking a second letter on one still on its way.
bool isMailInFlight(MailId id);

// Letters on their way.
int mailsInFlight();

// Calls then once no letter is on its way (at once when none is), or when
// patienceMs (designed, through the time scale) have passed first; dropped
// when context is destroyed before. For the end of a program whose letters
// are its only notice.
void afterMailsOut(QObject *context, qint64 patienceMs, std::function<void()> then);

} // namespace dozorix
