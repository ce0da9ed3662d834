#pragma once
// The three load alerts: client ("1С Предприятие"), server ("Сервер 1С") and
// total. Checked after every sampler refresh; a load strictly above its
// threshold writes a red log line and a tray balloon at once and, with mail
// on, arms the alert's 15-minute letter timer (Timer3 client, Timer5 server,
// Timer4 total). A running timer is not restarted. The letter carries the
// most recent exceedance; a failed letter leaves the timer on, so it is tried
// again 15 minutes later.

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace dozorix {

class LoadAlerts : public QObject
{
    Q_OBJECT
public:
    enum Kind { Client, Server, Total };

    struct Settings {
        bool enabled = false;
        bool mail = false;
        int threshold = 0;
    };

    // Sends one letter; calls onSuccess (on this thread) once the server has
    // accepted it, and nothing on failure.
    using Mailer = std::function<void(const QString &subject, const QString &body, const QString &successLine,
                                      std::function<void()> onSuccess)>;
    // Shows a tray balloon with the text.
    using Balloon = std::function<void(const QString &text)>;
    // The computer name for the letter.
    using ComputerName = std::function<QString()>;

    // What the alerts need from their owner; without a mailer no letter
    // goes, without a balloon none shows, without a name the letter has none.
    struct Hooks {
        Mailer mailer;
        Balloon balloon;
        ComputerName computerName;
    };

    explicit LoadAlerts(QObject *parent = nullptr);

    void setHooks(Hooks hooks) { m_hooks = std::move(hooks); }

    // The checks of one refresh, in the order client, server, total, on the
    // texts of the three load boxes. A box that does not read as a number
    // ends the checks of this refresh.
    void check(const Settings &client, const Settings &server, const Settings &total, const QString &clientBox,
               const QString &serverBox, const QString &totalBox);

    // The letter of one alert (what its timer calls).
    void sendLetter(Kind kind);

    QTimer *timer(Kind kind) { return &m_state[kind].timer; }
    double lastValue(Kind kind) const { return m_state[kind].lastValue; }
    QString lastTime(Kind kind) const { return m_state[kind].lastTime; }

    // The texts of an alert for a value (exposed for the tests).
    static QString logText(Kind kind, const QString &value);
    static QString subject(Kind kind, const QString &value);
    static QString body(Kind kind, const QString &value, const QString &computer, const QString &time);
    static QString successLine(Kind kind);

private:
    struct State {
        double lastValue = 0;
        QString lastTime;
        QTimer timer;
    };

    bool checkOne(Kind kind, const Settings &settings, const QString &box);

    State m_state[3];
    Hooks m_hooks;
};

} // namespace dozorix
