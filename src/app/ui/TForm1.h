#pragma once
// The main window, where the windows are wired together: it holds the
// process monitor (monitor/ui/ProcessMonitorPanel), the three tabs (the
// agents' and the terminal server's panels) and the event log into which
// every part of the program writes; it owns the timers that drive sampling,
// settings reload, online counters, the infobase probe and scheduled
// backups, the other windows, the tray icon and the menus (their tables:
// MainMenus.h), and the program's one way to end.

#include "app/SingleInstance.h"
#include "app/ui/EventLog.h"
#include "common/IniFile.h"

#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>
#include <memory>

class QMenu;
class QMessageBox;
class QSplitter;
class QTabWidget;

namespace dozorix {

class AgentServer;
class ChatPanel;
class OnlineUsersPanel;
class ProcessActions;
class ProcessMonitorPanel;
class TForm5;
class TForm6;
class TForm10;
class TForm11;
class TForm50;
class ScreenWindow;
class TForm7;
class TForm8;
class BackupRunner;
class TerminalPanel;
class InfobaseProbe;
class StepChain;
enum class BulkCommandId;

class TForm1 : public QMainWindow
{
    Q_OBJECT
public:
    // scheduledProfile: N of a "bak<N>" start (an unattended backup), else 0.
    explicit TForm1(QWidget *parent = nullptr, int scheduledProfile = 0);
    ~TForm1() override;

    // The one main window of the program (null before it exists).
    static TForm1 *instance();

    // Appends a line to the event log (and Dozorix.log).
    void CText(const QString &text, const QColor &colour);
    // The only way the program ends: logs, repaints, pauses 300 ms, ends the
    // event loop. Safe to call more than once and before the loop runs.
    void ShutdownProgram();
    static bool shutdownRequested();
    // The status the program exits with: 0 for a console; for a scheduled
    // run its outcome (BackupExitCodes.h), "stopped" until the run has ended.
    static int exitCode();
    // Ends a scheduled run with its exit status: a failed one also says so
    // in one line on standard error (cron mails it), then ShutdownProgram.
    void endScheduledRun(int code, const QString &failure);
    int scheduledProfile() const { return m_scheduledProfile; }
    // A scheduled run ended by a signal (SIGTERM of systemd's time limit,
    // an administrator's kill): a red line, the line on standard error, the
    // "stopped" status.
    void stopScheduledRun(int signalNumber);
    // Milliseconds left of the shutdown pause (0 when over or not requested).
    static int shutdownRemainingMs();

    // The process monitor: chart, status rows, process list; Timer6 (every
    // second) refreshes it.
    ProcessMonitorPanel *processMonitor() const { return m_processMonitor; }

    // Creates the windows the main window owns (the process-reset windows
    // now; the others join as they arrive), in their fixed order.
    void createOtherWindows();
    ProcessActions *processActions() const { return m_actions; }
    TForm5 *form5() const { return m_form5; }
    TForm6 *form6() const { return m_form6; }
    TForm10 *form10() const { return m_form10; }
    TForm7 *form7() const { return m_form7; }
    TForm8 *form8() const { return m_form8; }
    // The remote screen windows: control (TForm11) and view (TForm50).
    TForm11 *form11() const { return m_form11; }
    TForm50 *form50() const { return m_form50; }
    // Opens a remote screen window from the main or tray menu (fromTable
    // false) or from the online-users popup (true: the first selected row's
    // address, connected at once).
    void openScreenWindow(bool control, bool fromTable);
    // The control window (true) or the view window; null before createOtherWindows.
    ScreenWindow *screenWindow(bool control) const;
    // The backup runner (TForm8 shows it; a scheduled start drives it unseen).
    BackupRunner *backupRunner() const { return m_runner; }
    // TBACKUP fired: the runner starts unattended on the profile of the
    // start parameter (startDueScheduledBackup of ScheduledStart.h).
    void TBACKUPTimer();
    // The two reset windows, modal, once createOtherWindows has made them.
    void openResetByLogin();
    void openResetRemoteUser();
    // Shows a tray balloon; its title is remembered for later balloons.
    void showBalloon(const QString &title, const QString &text);

    // The infobase probe: its slots are s1C8_ole … s1C8_ole14. TimerCOM
    // (every minute, through the time scale, from the splash on) probes every
    // profile with connect "On"; an infobase going offline is mailed when
    // OFF_BASE is on (InfobaseProbe.h).
    InfobaseProbe *infobaseProbe() const { return m_probe; }
    QTimer *TimerCOM() { return &m_timerCom; }
    // A probe round now (menu); without a settings file the message box
    // "Файл example.ini не найден!".
    void probeInfobasesNow();
    // Drops every kept connection and reports it (log line, balloon).
    void COM171Click();
    QMessageBox *iniMissingBox() const { return m_iniMissing; }

    // Reads the monitoring keys of the settings file into the mirrors
    // (Timer2, every 15 s); only when the file changed since the last read
    // (FileVersion), so that a large file costs one stat() a reload.
    void Timer2Timer();
    // The splash became active: sampling, settings reload and the infobase
    // probe start.
    void startSamplingTimers();
    // The scheduled-backup timer: armed by a bak parameter, 7 s after the
    // splash has closed.
    void armScheduledBackup();
    void setScheduledBackupDelayAfterSplash();

    // Minimise to the tray; restore from it (tray double-click); the tray
    // menu's "Развернуть на весь экран".
    void minimiseToTray();
    void restoreFromTray();
    void maximiseFromTray();
    // The tray menu's "Выход": its balloon, then ShutdownProgram.
    void exitFromTray();
    // Whether the desktop has a system tray to minimise to, asked each time:
    // QSystemTrayIcon::isSystemTrayAvailable() unless replaced (a test sets
    // the answer; the offscreen platform's own is fixed).
    std::function<bool()> systemTrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };

    // The two layout toggles (double-clicks on the chart and the process
    // list): the chart or the list fills the area above the log or returns.
    void toggleChartFill();
    void toggleProcessListFill();
    // The tab panel fills the window or returns to its place (double clicks
    // on the online-users table, the session list and the chat transcript);
    // the settings reload pauses while it fills the window.
    void toggleTabsFill();
    bool tabsFillWindow() const { return m_tabsFill; }

    // The agent server (`ServerSocket1`) and the panels of the tabs
    // "Пользователи онлайн" and "Чат".
    AgentServer *ServerSocket1() const { return m_agents; }
    OnlineUsersPanel *onlineUsersPanel() const { return m_onlinePanel; }
    ChatPanel *chatPanel() const { return m_chatPanel; }
    // The tab "Сервер терминалов".
    TerminalPanel *terminalPanel() const { return m_terminalPanel; }
    // The message window in the mode its caller chose: terminal sessions
    // (no flag), the selected agents (ClienServerCh) or all agents
    // (ClienServerChAll).
    enum class MessageMode { TerminalSessions, SelectedAgents, AllAgents };
    void openMessageWindow(MessageMode mode);
    // A bulk session command from the main menu or the tray menu; the tray's
    // block and unblock add their line and balloon.
    void runBulkCommand(BulkCommandId id, bool fromTray);
    // Start and stop of the agent server: the one path of the settings
    // dialog's buttons, of its start at program start and of the
    // remote-screen menu items. StartCS follows: set when the server listens,
    // cleared on stop; a failed start leaves it as it was (the stored wish
    // survives a port busy for a moment). *error says why a start failed.
    // On a port number: the server's own start (already listening on that
    // port is a success; on another port it moves).
    bool StartAgentServer(quint16 port, QString *error = nullptr);
    // On the text of the settings dialog's main-port box (parseAgentPort); a
    // server that already listens is left as it is and counts as started.
    bool StartAgentServer(const QString &portText, QString *error = nullptr);
    void StopAgentServer();

    // Timer1, every 3 s: process counters of the agents, a pending
    // session-list refresh, the online counter of the shown tab.
    void Timer1Timer();
    // Lines of the terminal-session list including its header line; the
    // session list installs it (without one the list counts as empty).
    std::function<int()> terminalSessionLineCount;

    EventLog *eventLog() const { return m_log; }
    QSystemTrayIcon *trayIcon() const { return m_tray; }
    // The tray menu; its items and those of the menu bar are named in
    // MainMenus.cpp (findMenuAction finds them by that name).
    QMenu *trayMenu() const { return m_trayMenu; }
    QTabWidget *tabs() const { return m_tabs; }
    QSplitter *splitter() const { return m_splitter; }
    QTimer *Timer1() { return &m_timer1; }
    QTimer *Timer2() { return &m_timer2; }
    QTimer *Timer6() { return &m_timer6; }
    QTimer *TBACKUP() { return &m_tbackup; }
    bool anotherInstanceRuns() const { return m_guard && m_guard->anotherInstanceRuns(); }

    // Settings mirrors (filled by Timer2Timer).
    bool TRAY = false;
    bool CPU_1C_LOAD_PROVERKA = false;
    bool CPU_1C_LOAD_EMAIL = false;
    int CPU_1C_LOAD_PROCENT = 0;
    bool CPU__LOAD_ALL = false;
    bool CPU_ALL_LOAD_EMAIL = false;
    int CPU_ALL_LOAD_PROCENT = 0;
    bool CPU_SERVER_LOAD = false;
    bool CPU_SERVER_LOAD_EMAIL = false;
    int CPU_SERVER_LOAD_PROCENT = 0;
    bool OFF_BASE = false;
    bool StartCS = false;

    // Flags other windows read and set.
    bool ClienServerCh = false;
    bool ClienServerChAll = false;
    QString SendHost; // the address whose screen a screen window opens
    bool NeadRefreshTS = false;
    QString AVTO_BACKUP;

signals:
    // Timer6, every second, after RefreshInfo1.
    void sampleTick();
    // Timer1, every 3 s: online counters and a pending session-list refresh.
    void onlineTick();
    // TBACKUP fired: the scheduled backup hooks here.
    void scheduledBackupDue();
    // The terminal-session list should refresh (the window became the
    // active one, the tab "Сервер терминалов" was shown, or NeadRefreshTS).
    void terminalListRefreshRequested();
    // A tray balloon was shown (also where the desktop has no tray to show it).
    void balloonShown(const QString &title, const QString &text);

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void buildLayout();
    // The main menu and the tray menu from their tables (MainMenus.h). Both
    // are built again once the other windows exist, which gives their items
    // handlers.
    void buildMainMenu();
    void buildTrayMenu();
    void onFocusWindowChanged(QWindow *window);
    void onBecameActive();
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void onActivationTrayCheck();

    void makeProcessActions();
    void buildAgentTabs();
    void buildTerminalTab();
    void onTabChanged(int index);
    void showOnlineCounter(int index);

    void showIniMissing();

    std::unique_ptr<SingleInstanceGuard> m_guard;
    int m_scheduledProfile = 0;
    // A scheduled run that finds another one running waits for it; false
    // when it ended the program instead (refused, stopped, waited too long).
    bool waitForEarlierScheduledRun();
    void refuseScheduledRun(int code, const QString &reason);
    InfobaseProbe *m_probe = nullptr;
    QTimer m_timerCom;
    StepChain *m_comDrop = nullptr;
    QMessageBox *m_iniMissing = nullptr;
    ProcessActions *m_actions = nullptr;
    TForm5 *m_form5 = nullptr;
    TForm6 *m_form6 = nullptr;
    TForm10 *m_form10 = nullptr;
    TForm7 *m_form7 = nullptr;
    TForm8 *m_form8 = nullptr;
    TForm11 *m_form11 = nullptr;
    TForm50 *m_form50 = nullptr;
    BackupRunner *m_runner = nullptr;
    TerminalPanel *m_terminalPanel = nullptr;
    AgentServer *m_agents = nullptr;
    OnlineUsersPanel *m_onlinePanel = nullptr;
    ChatPanel *m_chatPanel = nullptr;
    QTimer m_timer1;
    QTimer m_timer2;
    QTimer m_timer6;
    QTimer m_tbackup;

    QSplitter *m_splitter = nullptr;
    QWidget *m_top = nullptr;
    ProcessMonitorPanel *m_processMonitor = nullptr; // the left column
    QTabWidget *m_tabs = nullptr;
    EventLog *m_log = nullptr;
    QSystemTrayIcon *m_tray = nullptr;
    QMenu *m_trayMenu = nullptr;

    // The balloon title: whatever was set last ("Dozorix" by the reset
    // windows, "Dozorix!" on exit).
    QString m_trayTitle = QStringLiteral("Dozorix");
    bool m_shuttingDown = false;
    bool m_firstShow = true;
    bool m_chartFills = false;
    bool m_listFills = false;
    bool m_tabsFill = false;
    bool m_reloadPaused = false;
    FileVersion m_settingsRead; // the settings file as Timer2Timer last read it
    QPointer<QWindow> m_lastFocusWindow;
    bool m_everActive = false;
};

// The program-wide exit: TForm1::instance()->ShutdownProgram(), or a plain
// end of the event loop when no main window exists.
void ShutdownProgram();

} // namespace dozorix
