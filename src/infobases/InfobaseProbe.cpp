#include "infobases/InfobaseProbe.h"

#include "common/IniFile.h"
#include "common/ProgramDir.h"
#include "common/SystemHelpers.h"
#include "infobases/ConnectionStrings.h"
#include "notify/NotificationMail.h"

#include <QDateTime>
#include <QTimer>

namespace dozorix {

namespace {

// Leading and trailing blanks and control characters removed.
QString trimmed(const QString &s)
{
    int b = 0, e = s.size();
    while (b < e && (s[b].isSpace() || s[b].category() == QChar::Other_Control))
        ++b;
    while (e > b && (s[e - 1].isSpace() || s[e - 1].category() == QChar::Other_Control))
        --e;
    return s.mid(b, e - b);
}

} // namespace

QString offlineLetterBody(const QStringList &names, const QStringList &reasons, const QString &computer,
                          const QString &dataStop)
{
    QString body = QStringLiteral("<p>ВНИМАНИЕ! отключены информационные база(ы) 1С: <b><br>");
    for (int i = 0; i < kProfileCount; ++i) {
        body += names.value(i);
        if (i < kProfileCount - 1)
            body += QStringLiteral(" <br> ");
    }
    body += QStringLiteral("</b> </p><p>Сервер (ПК): ") + computer + QStringLiteral(".</p><p>Время отключения: ")
        + dataStop;
    body += QStringLiteral("<p><p> <b> Причина отключения: </b> </p><p><br>");
    for (int i = 0; i < kProfileCount; ++i)
        body += reasons.value(i) + QStringLiteral(" <br> ");
    body += QStringLiteral("<p><p></p><p>Это сообщение отправлено автоматически программой Dozorix.</p>");
    return body;
}

InfobaseProbe::InfobaseProbe(QObject *parent)
    : QObject(parent)
{
}

InfobaseProbe::~InfobaseProbe()
{
    clearAllSlots();
}

InfobaseConnection *InfobaseProbe::ConnectInfobase(int n, QString progId, QString connectionString, QString *error)
{
    progId = trimmed(progId);
    const IniFile ini(settingsFilePath());
    if (ini.fileExisted())
        progId = ini.readString(profileSection(n), ProfileKey::Connector, QString());
    connectionString = trimmed(connectionString);
    if (progId.isEmpty()) {
        *error = QStringLiteral("Не выбрана версия 1С Предприятия (коннектор) в профиле ИБ - %1").arg(n);
        return nullptr;
    }
    // The string goes to the connector as one line of its input.
    const QString refusal = connectionStringRefusal(connectionString);
    if (!refusal.isEmpty()) {
        *error = refusal;
        return nullptr;
    }
    const QString program = findConnectorProgram(progId);
    if (program.isEmpty()) {
        *error = QStringLiteral("Коннектор %1 не зарегистрирован: нет программы %1 в каталоге программы и в PATH")
                     .arg(progId);
        return nullptr;
    }
    return new InfobaseConnection(program, progId, connectionString, this);
}

bool InfobaseProbe::probeRunning(int n) const
{
    return isProfileNumber(n) && m_running[size_t(n - 1)].active;
}

bool InfobaseProbe::slotHolds(int n) const
{
    const InfobaseConnection *c = slot(n);
    return c && c->isConnected();
}

InfobaseConnection *InfobaseProbe::slot(int n) const
{
    return isProfileNumber(n) ? m_slots[size_t(n - 1)].data() : nullptr;
}

void InfobaseProbe::clearSlot(int n)
{
    if (!isProfileNumber(n))
        return;
    QPointer<InfobaseConnection> &s = m_slots[size_t(n - 1)];
    if (s) {
        InfobaseConnection *c = s.data();
        s = nullptr;
        c->disconnect(this);
        c->close();
        c->deleteLater();
    }
}

void InfobaseProbe::clearAllSlots()
{
    for (int n = 1; n <= kProfileCount; ++n)
        clearSlot(n);
}

bool InfobaseProbe::probe(int n)
{
    if (!isProfileNumber(n) || probeRunning(n))
        return false;
    const IniFile ini(settingsFilePath());
    if (!ini.fileExisted()) {
        emit settingsFileMissing();
        return false;
    }
    const QString section = profileSection(n);
    auto read = [&](const QString &key) { return ini.readString(section, key, QString()); };
    Running &r = m_running[size_t(n - 1)];
    r = Running{};
    r.active = true;
    if (read(ProfileKey::Connect) == QLatin1String("On")) {
        const QString connector = read(ProfileKey::Connector);
        if (read(ProfileKey::ConnectKS1CBase) == QLatin1String("Yes"))
            r.attempts.append({connector, clusterConnectionString(read(ProfileKey::KlasterB),
                                                                   read(ProfileKey::IBNAmeKlaster),
                                                                   read(ProfileKey::LoginK), read(ProfileKey::PassK))});
        if (read(ProfileKey::ConnectFile1CBase) == QLatin1String("Yes"))
            r.attempts.append({connector, fileConnectionString(read(ProfileKey::StrokaCon), read(ProfileKey::LoginF),
                                                               read(ProfileKey::PassF))});
    }
    // Always answered from the event loop, like a connector's answer.
    QTimer::singleShot(0, this, [this, n] { nextAttempt(n); });
    return true;
}

void InfobaseProbe::nextAttempt(int n)
{
    Running &r = m_running[size_t(n - 1)];
    if (r.attempts.isEmpty()) {
        finishProbe(n);
        return;
    }
    const Attempt a = r.attempts.takeFirst();
    clearSlot(n);
    QString error;
    InfobaseConnection *c = ConnectInfobase(n, a.progId, a.connectionString, &error);
    if (!c) {
        r.reason = error;
        QTimer::singleShot(0, this, [this, n] { nextAttempt(n); });
        return;
    }
    m_slots[size_t(n - 1)] = c;
    connect(c, &InfobaseConnection::settled, this, [this, n, c](bool connected) {
        m_running[size_t(n - 1)].reason = connected ? QString() : c->reason();
        if (!connected && m_slots[size_t(n - 1)] == c)
            clearSlot(n); // a failed attempt leaves the slot empty
        QTimer::singleShot(0, this, [this, n] { nextAttempt(n); });
    });
}

void InfobaseProbe::finishProbe(int n)
{
    Running &r = m_running[size_t(n - 1)];
    r.active = false;
    const bool on = slotHolds(n);
    const QString reason = on ? QString() : r.reason;
    if (m_inRound[size_t(n - 1)])
        onRoundResult(n, on, reason);
    emit probed(n, on ? QStringLiteral("On") : QStringLiteral("Off"), reason);
    if (m_inRound[size_t(n - 1)]) {
        m_inRound[size_t(n - 1)] = false;
        if (--m_roundPending == 0) {
            bool sent = false;
            if (m_newOutage && m_hooks.offBaseWanted && m_hooks.offBaseWanted()) {
                senderOFF_BASE();
                sent = true;
            }
            m_newOutage = false;
            emit roundFinished(sent);
        }
    }
}

void InfobaseProbe::onRoundResult(int n, bool on, const QString &reason)
{
    const size_t i = size_t(n - 1);
    if (on) {
        m_seen[i] = Seen::On;
        BASE_TURN_OFF[i].clear();
        ERR_TURN_OFF_BASE[i].clear();
        return;
    }
    if (m_seen[i] == Seen::On) {
        // A new outage.
        const IniFile ini(settingsFilePath());
        const QString alias = ini.readString(profileSection(n), aliasKey(n), QString());
        BASE_TURN_OFF[i] = alias.isEmpty() ? numberedCaption(n) : alias;
        ERR_TURN_OFF_BASE[i] = reason.isEmpty() ? QStringLiteral("нет подключения") : reason;
        DATA_STOP = QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy H:mm:ss"));
        m_newOutage = true;
    }
    m_seen[i] = Seen::Off;
}

bool InfobaseProbe::probeAll()
{
    if (m_roundPending > 0)
        return false;
    const IniFile ini(settingsFilePath());
    if (!ini.fileExisted())
        return false;
    QList<int> wanted;
    for (int n = 1; n <= kProfileCount; ++n) {
        if (ini.readString(profileSection(n), ProfileKey::Connect, QString()) == QLatin1String("On")
            && !probeRunning(n))
            wanted.append(n);
    }
    m_newOutage = false;
    m_roundPending = int(wanted.size());
    for (int n : wanted)
        m_inRound[size_t(n - 1)] = true;
    for (int n : wanted) {
        if (!probe(n)) {
            m_inRound[size_t(n - 1)] = false;
            --m_roundPending;
        }
    }
    if (wanted.isEmpty())
        QTimer::singleShot(0, this, [this] { emit roundFinished(false); });
    return true;
}

void InfobaseProbe::senderOFF_BASE()
{
    if (!settingsFileExists())
        return;
    QStringList names, reasons;
    for (int i = 0; i < kProfileCount; ++i) {
        names << BASE_TURN_OFF[size_t(i)];
        reasons << ERR_TURN_OFF_BASE[size_t(i)];
    }
    SendNotificationMail(kOfflineLetterSubject, offlineLetterBody(names, reasons, GetComputerNameText(), DATA_STOP),
                         kOfflineLetterSuccessLine);
}

} // namespace dozorix
