#include "monitor/LoadAlerts.h"

#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "common/Stamps.h"
#include "common/TimeScale.h"
#include "notify/NotificationMail.h"

#include <QPointer>

namespace dozorix {

namespace {

constexpr qint64 kLetterDelayMs = 15 * 60 * 1000;

} // namespace

LoadAlerts::LoadAlerts(QObject *parent)
    : QObject(parent)
{
    for (int k = Client; k <= Total; ++k) {
        m_state[k].timer.setObjectName(k == Client ? QStringLiteral("Timer3") : k == Server ? QStringLiteral("Timer5") : QStringLiteral("Timer4"));
        setScaledInterval(&m_state[k].timer, kLetterDelayMs);
        connect(&m_state[k].timer, &QTimer::timeout, this, [this, k] { sendLetter(static_cast<Kind>(k)); });
    }
}

// The texts mix the Cyrillic С and the Latin C of "1С"/"1C" on purpose: they
// are the ones administrators' mail filters know.
QString LoadAlerts::logText(Kind kind, const QString &value)
{
    switch (kind) {
    case Client: return QStringLiteral("ВНИМАНИЕ! Превышена нагрузка на ЦПУ 1С Предприятие: ") + value + QStringLiteral("%");
    case Server: return QStringLiteral("ВНИМАНИЕ! Превышена нагрузка на ЦПУ Сервер 1С: ") + value + QStringLiteral("%");
    case Total: return QStringLiteral("ВНИМАНИЕ! Превышена нагрузка на ЦПУ 1C: ") + value + QStringLiteral("%");
    }
    return {};
}

QString LoadAlerts::subject(Kind kind, const QString &value)
{
    switch (kind) {
    case Client: return QStringLiteral("Превышена нагрузка на ЦПУ 1С Предприятие: ") + value + QStringLiteral("%");
    case Server: return QStringLiteral("Превышена нагрузка на ЦПУ Сервер 1С: ") + value + QStringLiteral("%");
    case Total: return QStringLiteral("Превышена нагрузка на ЦПУ 1С: ") + value + QStringLiteral("%");
    }
    return {};
}

QString LoadAlerts::body(Kind kind, const QString &value, const QString &computer, const QString &time)
{
    QString head;
    switch (kind) {
    case Client: head = QStringLiteral("<p>ВНИМАНИЕ! Превышена нагрузка на ЦПУ 1С Предприятие: <b>"); break;
    case Server: head = QStringLiteral("<p>ВНИМАНИЕ! Превышена нагрузка на ЦПУ Сервер 1С: <b>"); break;
    case Total: head = QStringLiteral("<p>ВНИМАНИЕ! Превышена нагрузка на ЦПУ 1C: <b>"); break;
    }
    return head + value + QStringLiteral("%</b>.</p><p>Сервер (ПК): ") + computer + QStringLiteral(".</p><p>Время: ")
        + time + QStringLiteral("</p>") + kMailFooter;
}

QString LoadAlerts::successLine(Kind kind)
{
    switch (kind) {
    case Client: return QStringLiteral("Уведомление о превышении нагрузки на ЦПУ 1С Предприятие, отправлено на E-mail.! ");
    case Server: return QStringLiteral("Уведомление о превышении нагрузки на ЦПУ 1С Сервер, отправлено на E-mail.! ");
    case Total: return QStringLiteral("Уведомление о превышении нагрузки на ЦПУ 1С, отправлено на E-mail.! ");
    }
    return {};
}

void LoadAlerts::check(const Settings &client, const Settings &server, const Settings &total, const QString &clientBox,
                       const QString &serverBox, const QString &totalBox)
{
    if (!checkOne(Client, client, clientBox))
        return;
    if (!checkOne(Server, server, serverBox))
        return;
    checkOne(Total, total, totalBox);
}

bool LoadAlerts::checkOne(Kind kind, const Settings &settings, const QString &box)
{
    if (!settings.enabled)
        return true;
    double value;
    if (!parseGeneral(box, &value))
        return false;
    if (!(value > settings.threshold))
        return true;
    State &s = m_state[kind];
    s.lastValue = value;
    const QString stamp = LogStamp();
    const QString text = logText(kind, formatGeneral(value));
    logLine(stamp + text, kLogRed);
    s.lastTime = stamp;
    if (m_hooks.balloon)
        m_hooks.balloon(text);
    if (settings.mail && !s.timer.isActive()) {
        setScaledInterval(&s.timer, kLetterDelayMs);
        s.timer.start();
    }
    return true;
}

void LoadAlerts::sendLetter(Kind kind)
{
    if (!settingsFileExists() || !m_hooks.mailer)
        return; // the timer stays on
    State &s = m_state[kind];
    const QString value = formatGeneral(s.lastValue);
    const QString computer = m_hooks.computerName ? m_hooks.computerName() : QString();
    QPointer<LoadAlerts> self(this);
    m_hooks.mailer(subject(kind, value), body(kind, value, computer, s.lastTime), successLine(kind), [self, kind] {
        if (self)
            self->m_state[kind].timer.stop();
    });
}

} // namespace dozorix
