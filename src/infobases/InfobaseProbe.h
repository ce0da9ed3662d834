#pragma once
// The infobase connection probe and the infobase-offline letter.
//
// One connection slot per profile (the main window's s1C8_ole, s1C8_ole2 …
// s1C8_ole14). A probe of profile n (COMconectBase<n>1cTEST) reads section
// Base<n>; with connect exactly "On" it clears the slot and connects by the
// cluster string when ConnectKS1CBase is exactly "Yes", then clears it again
// and connects by the file string when ConnectFile1CBase is exactly "Yes".
// Its result is "On" when the slot then holds a connection, else "Off".
//
// A connector runs as a program of its own (InfobaseConnection.h): a probe
// never blocks the window. It answers through probed(); a connector that
// hangs is ended at its time limit and the probe answers "Off".
//
// The monitor (probeAll, on the main window's timer): every profile with
// connect "On" is probed. An infobase whose probe goes from "On" to "Off"
// starts an outage: its name (the alias, else "ИБ - n") goes into
// BASE<n>_TURN_OFF, the reason into ERR_TURN_OFF_BASE<n>, the time into
// DATA_STOP. When a round has started at least one outage and OFF_BASE is
// on, one letter (senderOFF_BASE) lists the infobases offline at that
// moment. Later "Off" answers of the same infobase add nothing; its next
// "On" ends the outage and clears its two texts. An infobase that was never
// seen "On" starts no outage.

#include "infobases/InfobaseConnection.h"
#include "infobases/InfobaseProfile.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>

namespace dozorix {

inline const QString kOfflineLetterSubject = QStringLiteral("ВНИМАНИЕ! информационные база(ы) 1С отключены!");
inline const QString kOfflineLetterSuccessLine = QStringLiteral("Письмо успешно отправлено! ");
inline const QString kIniMissingText = QStringLiteral("Файл example.ini не найден!");
inline const QString kAllComDroppedText = QStringLiteral("Все COM- соединения были отключены!  ");

// The letter's body, the names and reasons of the fourteen infobases in order.
QString offlineLetterBody(const QStringList &names, const QStringList &reasons, const QString &computer,
                          const QString &dataStop);

class InfobaseProbe : public QObject
{
    Q_OBJECT
public:
    // What the probe needs from its owner; an empty hook turns its item off.
    struct Hooks {
        // Whether letters about an outage are wanted (the main window's
        // OFF_BASE); empty: none are sent.
        std::function<bool()> offBaseWanted;
    };

    explicit InfobaseProbe(QObject *parent = nullptr);

    void setHooks(Hooks hooks) { m_hooks = std::move(hooks); }
    ~InfobaseProbe() override;

    // Starts the connector of ProgID (replaced by Connector of Base<n> when
    // the settings file exists) with the connection string (both trimmed).
    // Nothing (nullptr) for an empty ProgID; nullptr with *error set when no
    // connector program answers to the ProgID or when the string cannot be
    // handed over as one line (connectionStringRefusal): nothing is started.
    InfobaseConnection *ConnectInfobase(int n, QString progId, QString connectionString, QString *error);

    // The probe of profile n; the answer comes through probed(). Refused
    // (false) while a probe of n still runs or for n outside 1 … 14.
    bool probe(int n);
    bool COMconectBase11cTEST() { return probe(1); }
    bool COMconectBase21cTEST() { return probe(2); }
    bool COMconectBase31cTEST() { return probe(3); }
    bool COMconectBase41cTEST() { return probe(4); }
    bool COMconectBase51cTEST() { return probe(5); }
    bool COMconectBase61cTEST() { return probe(6); }
    bool COMconectBase71cTEST() { return probe(7); }
    bool COMconectBase81cTEST() { return probe(8); }
    bool COMconectBase91cTEST() { return probe(9); }
    bool COMconectBase101cTEST() { return probe(10); }
    bool COMconectBase111cTEST() { return probe(11); }
    bool COMconectBase121cTEST() { return probe(12); }
    bool COMconectBase131cTEST() { return probe(13); }
    bool COMconectBase141cTEST() { return probe(14); }
    bool probeRunning(int n) const;

    // Slot n holds a live connection.
    bool slotHolds(int n) const;
    InfobaseConnection *slot(int n) const;
    // Clears slot n (ends its connector).
    void clearSlot(int n);
    // Clears every slot (the first step of COM171Click).
    void clearAllSlots();

    // The monitor: probes every profile with connect "On" (see above).
    // False when a round still runs or there is no settings file.
    bool probeAll();
    bool roundRunning() const { return m_roundPending > 0; }

    // The offline texts (index 0 is infobase 1) and the time of the last outage.
    std::array<QString, kProfileCount> BASE_TURN_OFF;
    std::array<QString, kProfileCount> ERR_TURN_OFF_BASE;
    QString DATA_STOP;

    // Sends the offline letter with the texts as they are now; nothing
    // without a settings file. Failures are silent.
    void senderOFF_BASE();

signals:
    // The answer of probe n: "On" or "Off", and why it is off.
    void probed(int n, const QString &result, const QString &reason);
    // A probe found no settings file ("Файл example.ini не найден!").
    void settingsFileMissing();
    // A monitor round has ended; letterSent when it sent the offline letter.
    void roundFinished(bool letterSent);

private:
    Hooks m_hooks;
    struct Attempt {
        QString progId;
        QString connectionString;
    };
    struct Running {
        QList<Attempt> attempts;
        QString reason;
        bool active = false;
    };
    void nextAttempt(int n);
    void finishProbe(int n);
    void onRoundResult(int n, bool on, const QString &reason);

    std::array<QPointer<InfobaseConnection>, kProfileCount> m_slots;
    std::array<Running, kProfileCount> m_running;
    enum class Seen { Never, On, Off };
    std::array<Seen, kProfileCount> m_seen{};
    std::array<bool, kProfileCount> m_inRound{};
    int m_roundPending = 0;
    bool m_newOutage = false;
};

} // namespace dozorix
