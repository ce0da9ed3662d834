#pragma once
// The settings dialog: the general options, the three load alerts, the mail
// settings and the agent server's ports; it also starts and stops the agent
// server.
//
// It is created once at program start and reads the settings file then
// (starting the agent server when "StartCS" is on); its boxes are the
// in-memory copy of the settings for the life of the program, and each time
// it closes it writes them all back and sets the autostart entry. With no
// settings file nothing is read, written or changed.
//
// The agent server's start and stop (the main window's StartAgentServer and
// StopAgentServer) and the main window's StartCS flag come in as plain
// functions, so the dialog knows neither class.

#include "notify/SmtpSender.h"

#include <QColor>
#include <QDialog>
#include <QList>
#include <QString>
#include <QWidget>

#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace dozorix {

// True when the six mail settings (port, sender, recipients, server, login,
// password) are all non-empty.
bool CheckEmailSetting(const MailSettings &values);

// The round lamp of the agent server: red while stopped, lime while it runs.
class ServerIndicator : public QWidget
{
    Q_OBJECT
public:
    static constexpr QRgb kStopped = 0xFF0000;
    static constexpr QRgb kRunning = 0x00FF00;

    explicit ServerIndicator(QWidget *parent = nullptr);
    QColor color() const { return m_color; }
    void setColor(const QColor &color);
    bool isGreen() const { return m_color == QColor(kRunning); }
    QSize sizeHint() const override { return {25, 25}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_color{kStopped};
};

class TForm10 : public QDialog
{
    Q_OBJECT
public:
    // What the dialog needs from the main window: the agent server's start
    // and stop (the main window's StartAgentServer and StopAgentServer, which
    // keep its StartCS flag as they go) and that flag. An empty hook leaves
    // its step out; without the flag's pair the dialog keeps a flag of its own.
    struct Hooks {
        // Opens the agent server on the port written in portText (the text of
        // the main-port box, see parseAgentPort). A server that already listens
        // (opened elsewhere, by a remote-screen menu item) is left as it is and
        // counts as started. On success StartCS is set and true returned; a
        // server that opens logs its own green "Сервер Dozorix успешно
        // стартовал!" line. On failure StartCS stays as it was, nothing is logged,
        // *error says why and false is returned.
        std::function<bool(const QString &portText, QString *error)> startServer;
        // Closes the socket and every agent connection, empties the online-users
        // list and the chat, logs the red "Сервер Dozorix остановлен!" line and
        // clears StartCS.
        std::function<void()> stopServer;
        // The main window's StartCS flag as the settings key "StartCS" sees it:
        // the administrator's wish that the agent server run. The dialog reads
        // the key into it when it is created and writes it back when it closes,
        // so the next program start opens the server again; a successful start
        // sets it, the administrator's stop clears it, a failed start (a busy
        // port) leaves it.
        std::function<bool()> startCS;
        std::function<void(bool)> setStartCS;
    };

    // Builds the dialog and, when the settings file exists, loads it (which
    // may start the agent server). The port box becomes the port of every
    // letter the program sends.
    explicit TForm10(Hooks hooks, QWidget *parent = nullptr);
    ~TForm10() override;

    // "Запустить сервер": starts the agent server through the start hook
    // with the main-port box's text. Only a server that really listens turns
    // the lamp lime and locks the start button and the port boxes; a failure
    // leaves them as they were and logs a red line with the reason. A server
    // that already listens is only shown as running. StartCS follows through
    // the hook.
    bool StartAgentServer();
    // "Остановить": unlocks the start button and the port boxes, turns the
    // lamp red and stops the server through the stop hook (which clears
    // StartCS).
    void StopAgentServer();

    // The six mail boxes are all filled in.
    bool CheckEmailSetting() const;
    // The six mail boxes as they stand, unsaved edits included.
    MailSettings mailSettings() const;
    // "Отправить тестовое письмо.": the test letter with the boxes' values.
    // A click while the previous test letter is still on its way is ignored.
    void sendTestMail();

    // The lamp is lime.
    bool serverRunning() const;

    // Shown centred on the desktop each time, whatever the parent.
    void setVisible(bool visible) override;

    // The controls, for the main window and the tests.
    QTabWidget *tabs() const { return m_tabs; }
    QWidget *notificationsTab() const { return m_notificationsTab; }
    QWidget *mailTab() const { return m_mailTab; }
    QWidget *clientServerTab() const { return m_clientServerTab; }
    QCheckBox *autostartBox() const { return m_autostart; }
    QCheckBox *trayBox() const { return m_tray; }
    QLineEdit *mailPortBox() const { return m_mailPort; }
    QLineEdit *mainPortBox() const { return m_port1; }
    QLineEdit *secondaryPortBox() const { return m_port2; }
    QPushButton *testMailButton() const { return m_testMail; }
    QPushButton *startServerButton() const { return m_startServer; }
    QPushButton *stopServerButton() const { return m_stopServer; }
    ServerIndicator *indicator() const { return m_indicator; }

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void done(int result) override;

private:
    // One control and its key in section "settings", in reading order.
    struct Binding {
        QString key;
        QCheckBox *check = nullptr;
        QLineEdit *box = nullptr;
    };

    void buildGeneral();
    QWidget *buildNotificationsTab();
    QWidget *buildMailTab();
    QWidget *buildClientServerTab();
    QCheckBox *addCheck(const QString &caption, const QString &key, QWidget *parent);
    QLineEdit *addBox(const QString &key, QWidget *parent);
    void watchEmailBox(QCheckBox *box);

    void loadSettings();
    void saveSettings();
    void onEmailBoxToggled(QCheckBox *box);
    void onBecameActive();
    void showServerState(bool running);
    bool startCS() const;
    void setStartCS(bool on);

    Hooks m_hooks;
    bool m_ownStartCS = false; // used when no main window flag is given
    bool m_startTriedThisShowing = false;
    quint64 m_testMailId = 0;
    QList<Binding> m_bindings;

    QTabWidget *m_tabs = nullptr;
    QWidget *m_notificationsTab = nullptr;
    QWidget *m_mailTab = nullptr;
    QWidget *m_clientServerTab = nullptr;
    QCheckBox *m_autostart = nullptr;
    QCheckBox *m_tray = nullptr;
    QLineEdit *m_mailFrom = nullptr;
    QLineEdit *m_mailTo = nullptr;
    QLineEdit *m_mailHost = nullptr;
    QLineEdit *m_mailPort = nullptr;
    QLineEdit *m_mailUser = nullptr;
    QLineEdit *m_mailPassword = nullptr;
    QPushButton *m_testMail = nullptr;
    QGroupBox *m_serverGroup = nullptr;
    QLineEdit *m_port1 = nullptr;
    QLineEdit *m_port2 = nullptr;
    QPushButton *m_startServer = nullptr;
    QPushButton *m_stopServer = nullptr;
    ServerIndicator *m_indicator = nullptr;
};

} // namespace dozorix
