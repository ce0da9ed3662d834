#pragma once
// The main window: owns the timers that drive sampling, settings reload,
// online counters and scheduled backups, carries the menus from which every
// action starts, the tray icon, and the event log into which every part of
// the program writes.

#include "app/SingleInstance.h"
#include "app/ui/EventLog.h"
#include "common/IniFile.h"

#include <QElapsedTimer>

#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QSplitter;
class QTabWidget;
class QTableWidget;

class QChart;
class QChartView;
class QLineSeries;
class QValueAxis;

namespace dozorix {

class AgentServer;
class ChartView;
class ChatPanel;
class OnlineUsersPanel;
class LoadAlerts;
class ProcessActions;
class ProcessSampler;
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

    // One sampler refresh (Timer6, every second): snapshot, list, boxes,
    // chart, then the load alerts.
    void RefreshInfo1();
    ProcessSampler *sampler() const { return m_sampler.get(); }
    LoadAlerts *loadAlerts() const { return m_alerts; }

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
    // TBACKUP fired: picks the profile of the start parameter and starts
    // the runner unattended.
    void TBACKUPTimer();
    // "Снять задачу" on the selected rows of the process list.
    void endSelectedProcesses();
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
    // Called by the splash when it becomes active.
    void startSamplingTimers();
    // The scheduled-backup timer: armed by a bak parameter, 7 s after the splash.
    void armScheduledBackup();
    void setScheduledBackupDelayAfterSplash();

    // Minimise to the tray; restore from it (tray double-click); the tray
    // menu's "Развернуть на весь экран".
    void minimiseToTray();
    void restoreFromTray();
    void maximiseFromTray();
    // Whether the desktop has a system tray to minimise to, asked each time:
    // QSystemTrayIcon::isSystemTrayAvailable() unless replaced (a test sets
    // the answer; the offscreen platform's own is fixed).
    std::function<bool()> systemTrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };

    // The two layout toggles (double-clicks on the chart and the process list).
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
    // The menus; their items are named in buildMainMenu, buildTrayMenu and
    // buildLayout (findMenuAction finds them by that name).
    QMenu *trayMenu() const { return m_trayMenu; }
    QMenu *processMenu() const { return m_processMenu; }
    QTableWidget *processList() const { return m_processList; }
    QTabWidget *tabs() const { return m_tabs; }
    QChartView *chartView() const;
    QChart *chart() const { return m_chart; }
    QLineSeries *clientSeries() const { return m_clientSeries; }
    QLineSeries *serverSeries() const { return m_serverSeries; }
    QLineSeries *thirdSeries() const { return m_thirdSeries; }
    QValueAxis *axisX() const { return m_axisX; }
    QValueAxis *axisY() const { return m_axisY; }
    QLineEdit *totalLoadBox() const { return m_totalLoad; }
    QLineEdit *clientLoadBox() const { return m_clientLoad; }
    QLineEdit *serverLoadBox() const { return m_serverLoad; }
    QLineEdit *onlineUsersBox() const { return m_onlineUsers; }
    QLineEdit *memoryBox() const { return m_memory; }
    QLineEdit *processCountBox() const { return m_processCount; }
    QLabel *onlineUsersLabel() const { return m_onlineLabel; }
    QWidget *statusRow1() const { return m_row1; }
    QWidget *statusRow2() const { return m_row2; }
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

    // The chart's point counter (the sampler advances it).
    int chartPoints = 0;

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
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildLayout();
    // The main menu and the tray menu from their tables. The main menu is
    // built again once the settings dialog exists, which gives its item a
    // handler.
    void buildMainMenu();
    void buildTrayMenu();
    void resetChart();
    void onFocusWindowChanged(QWindow *window);
    void onBecameActive();
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void onTrayExit();
    void onActivationTrayCheck();

    void applySamplerToWidgets();
    // Widens the figure columns of the process list to their widest values
    // under the list's font (the design widths are the least).
    void fitFigureColumns();
    void makeProcessActions();
    // The two reset windows, modal, once createOtherWindows has made them.
    void openResetByLogin();
    void openResetRemoteUser();
    void buildAgentTabs();
    void buildTerminalTab();
    void onTabChanged(int index);
    void showOnlineCounter(int index);

    void showIniMissing();
    // Opens that screen window from a menu; empty (the item greyed) without it.
    std::function<void()> screenMenuHandler(bool control);

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
    std::unique_ptr<ProcessSampler> m_sampler;
    LoadAlerts *m_alerts = nullptr;
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
    // The sampler's clock and its reading at the last refresh.
    QElapsedTimer m_clock;
    qint64 m_lastTickNs = 0;
    QTimer m_timer1;
    QTimer m_timer2;
    QTimer m_timer6;
    QTimer m_tbackup;

    QSplitter *m_splitter = nullptr;
    QWidget *m_top = nullptr;
    QWidget *m_left = nullptr; // chart, status rows and process list
    ChartView *m_chartView = nullptr;
    QChart *m_chart = nullptr;
    QLineSeries *m_clientSeries = nullptr;
    QLineSeries *m_serverSeries = nullptr;
    QLineSeries *m_thirdSeries = nullptr;
    QValueAxis *m_axisX = nullptr;
    QValueAxis *m_axisY = nullptr;
    QWidget *m_row1 = nullptr;
    QWidget *m_row2 = nullptr;
    QLineEdit *m_totalLoad = nullptr;
    QLineEdit *m_clientLoad = nullptr;
    QLineEdit *m_serverLoad = nullptr;
    QLineEdit *m_onlineUsers = nullptr;
    QLineEdit *m_memory = nullptr;
    QLineEdit *m_processCount = nullptr;
    QLabel *m_onlineLabel = nullptr;
    QTableWidget *m_processList = nullptr;
    QTabWidget *m_tabs = nullptr;
    EventLog *m_log = nullptr;
    QSystemTrayIcon *m_tray = nullptr;
    QMenu *m_trayMenu = nullptr;
    QMenu *m_processMenu = nullptr;

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
