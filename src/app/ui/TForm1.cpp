#include "app/ui/TForm1.h"

#include "agents/AgentServer.h"
#include "agents/OnlineUsersModel.h"
#include "agents/ui/ChatPanel.h"
#include "agents/ui/OnlineUsersPanel.h"
#include "app/ScheduledStart.h"
#include "app/ui/MainMenus.h"
#include "backup/BackupExitCodes.h"
#include "backup/BackupRunner.h"
#include "backup/ui/TForm8.h"
#include "common/AppInfo.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "common/Stamps.h"
#include "common/SystemHelpers.h"
#include "common/TimeScale.h"
#include "infobases/InfobaseProbe.h"
#include "infobases/ui/TForm2.h"
#include "monitor/ProcessActions.h"
#include "monitor/ui/ProcessMonitorPanel.h"
#include "monitor/ui/ResetWindows.h"
#include "notify/NotificationMail.h"
#include "notify/ui/TForm10.h"
#include "screen/ui/ScreenWindow.h"
#include "terminal/ScriptTemplates.h"
#include "terminal/ui/TerminalPanel.h"
#include "terminal/ui/TForm7.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace dozorix {

namespace {

TForm1 *g_instance = nullptr;
bool g_shutdownRequested = false;
QDeadlineTimer g_exitAt;
int g_exitCode = 0;

constexpr qint64 kSampleMs = 1000;
constexpr qint64 kReloadMs = 15000;
// The infobase probe round (TimerCOM).
constexpr qint64 kComProbeMs = 60000;
constexpr qint64 kOnlineMs = 3000;
constexpr qint64 kBackupDesignMs = 180000;
constexpr qint64 kBackupAfterSplashMs = 7000;
constexpr qint64 kShutdownPauseMs = 300;

// The tabs of the right column, in their order.
constexpr int kOnlineTab = 0;
constexpr int kTerminalTab = 1;
constexpr int kChatTab = 2;

const QString kSettings = QStringLiteral("settings");

QIcon programIcon()
{
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0x2F, 0x8F, 0x8F));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(1, 1, 30, 30, 6, 6);
    p.setPen(QPen(Qt::white, 3));
    p.drawPolyline(QPolygon({QPoint(5, 22), QPoint(12, 14), QPoint(18, 19), QPoint(27, 8)}));
    return QIcon(pm);
}

} // namespace

TForm1::TForm1(QWidget *parent, int scheduledProfile)
    : QMainWindow(parent)
    , m_scheduledProfile(scheduledProfile)
{
    g_instance = this;
    g_shutdownRequested = false; // a new main window is a new run of the program
    // A scheduled run that ends before its backup has ended (a signal, a
    // refusal) has not backed anything up.
    g_exitCode = scheduledProfile ? backupExitCode(BackupExit::Stopped) : 0;
    setWindowTitle(windowTitleText());
    setWindowIcon(programIcon());
    // The agent server is made first so that it goes first: its sockets
    // close before the panels that show them.
    m_agents = new AgentServer(this);
    buildLayout();
    buildAgentTabs();
    buildTerminalTab();
    m_tray = new QSystemTrayIcon(programIcon(), this);
    m_tray->setToolTip(kAppTitle);
    makeProcessActions();
    buildMainMenu();
    buildTrayMenu();
    connect(m_tray, &QSystemTrayIcon::activated, this, &TForm1::onTrayActivated);

    // Timers: Timer1 runs from creation; Timer2 and Timer6 start when the
    // splash becomes active; TBACKUP only for a scheduled start.
    setScaledInterval(&m_timer1, kOnlineMs);
    setScaledInterval(&m_timer2, kReloadMs);
    setScaledInterval(&m_timer6, kSampleMs);
    // The sampler's seconds are the chart's seconds: on time, not within the
    // 5 % a coarse timer may slip.
    m_timer6.setTimerType(Qt::PreciseTimer);
    setScaledInterval(&m_tbackup, kBackupDesignMs);
    connect(&m_timer1, &QTimer::timeout, this, &TForm1::onlineTick);
    connect(this, &TForm1::onlineTick, this, &TForm1::Timer1Timer);
    connect(&m_timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);
    connect(&m_timer6, &QTimer::timeout, this, [this] {
        m_processMonitor->RefreshInfo1();
        emit sampleTick();
    });
    connect(&m_tbackup, &QTimer::timeout, this, &TForm1::scheduledBackupDue);
    connect(this, &TForm1::scheduledBackupDue, this, &TForm1::TBACKUPTimer);
    m_timer1.start();

    // The infobase probe and its timer (started with the sampler).
    m_probe = new InfobaseProbe(this);
    m_probe->setHooks({[this] { return OFF_BASE; }});
    connect(m_probe, &InfobaseProbe::settingsFileMissing, this, &TForm1::showIniMissing);
    m_comDrop = new StepChain(this);
    setScaledInterval(&m_timerCom, kComProbeMs);
    connect(&m_timerCom, &QTimer::timeout, m_probe, &InfobaseProbe::probeAll);

    connect(qApp, &QGuiApplication::focusWindowChanged, this, &TForm1::onFocusWindowChanged);
    setLogReceiver([this](const QString &text, unsigned int rgb) { CText(text, QColor::fromRgb(rgb)); });

    // Creation step.
    m_processMonitor->onlineUsersLabel()->setText(QStringLiteral("Пользователей онлайн (CS):"));
    m_guard = std::make_unique<SingleInstanceGuard>(
        kAppTitle, scheduledProfile ? SingleInstanceGuard::Role::ScheduledRun : SingleInstanceGuard::Role::Console);
    if (m_guard->anotherInstanceRuns()) {
        if (!scheduledProfile) {
            ShutdownProgram();
            return;
        }
        if (!waitForEarlierScheduledRun())
            return;
    }
    m_processMonitor->start();
    EnablePrivilege(QStringLiteral("SeDebugPrivilege"), true);
    QFont f(QStringLiteral("Microsoft Sans Serif"));
    f.setPointSize(font().pointSize());
    setFont(f);
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        resize(880, 702);
        move(area.center() - rect().center());
    }
}

TForm1::~TForm1()
{
    if (g_instance == this) {
        g_instance = nullptr;
        setLogReceiver({});
    }
}

TForm1 *TForm1::instance()
{
    return g_instance;
}

bool TForm1::shutdownRequested()
{
    return g_shutdownRequested;
}

int TForm1::exitCode()
{
    return g_exitCode;
}

int TForm1::shutdownRemainingMs()
{
    return g_shutdownRequested ? static_cast<int>(std::max<qint64>(0, g_exitAt.remainingTime())) : 0;
}

void TForm1::buildLayout()
{
    auto *central = new QWidget(this);
    auto *outer = new QVBoxLayout(central);
    outer->setContentsMargins(2, 2, 2, 2);
    m_splitter = new QSplitter(Qt::Vertical, central);
    outer->addWidget(m_splitter);

    m_top = new QWidget(m_splitter);
    auto *topLayout = new QHBoxLayout(m_top);
    topLayout->setContentsMargins(0, 0, 0, 0);

    // Left column: the process monitor (chart, status rows, process list).
    m_processMonitor = new ProcessMonitorPanel(m_top);
    ProcessMonitorPanel::Hooks monitor;
    monitor.alertSettings = [this] {
        return ProcessMonitorPanel::AlertSettings{{CPU_1C_LOAD_PROVERKA, CPU_1C_LOAD_EMAIL, CPU_1C_LOAD_PROCENT},
                                                  {CPU_SERVER_LOAD, CPU_SERVER_LOAD_EMAIL, CPU_SERVER_LOAD_PROCENT},
                                                  {CPU__LOAD_ALL, CPU_ALL_LOAD_EMAIL, CPU_ALL_LOAD_PROCENT}};
    };
    monitor.balloon = [this](const QString &text) {
        m_tray->showMessage(m_trayTitle, text, QSystemTrayIcon::Information);
    };
    m_processMonitor->setHooks(std::move(monitor));
    connect(m_processMonitor, &ProcessMonitorPanel::chartFillRequested, this, &TForm1::toggleChartFill);
    connect(m_processMonitor, &ProcessMonitorPanel::processListFillRequested, this, &TForm1::toggleProcessListFill);
    topLayout->addWidget(m_processMonitor, 3);

    // Right column: the three tabs; the terminal-server tab is shown at start.
    m_tabs = new QTabWidget(m_top);
    for (const QString &title : {QStringLiteral("Пользователи онлайн"), QStringLiteral("Сервер терминалов"),
                                 QStringLiteral("Чат")}) {
        auto *page = new QWidget(m_tabs);
        page->setObjectName(title);
        new QVBoxLayout(page);
        m_tabs->addTab(page, title);
    }
    m_tabs->setCurrentIndex(1);
    topLayout->addWidget(m_tabs, 2);

    // The event log across the full width below a movable divider.
    m_log = new EventLog(m_splitter);
    m_splitter->addWidget(m_top);
    m_splitter->addWidget(m_log);
    m_splitter->setStretchFactor(0, 1);
    m_splitter->setStretchFactor(1, 0);
    setCentralWidget(central);
}

void TForm1::buildMainMenu()
{
    buildMenuBar(menuBar(), mainMenuTable(*this));
}

void TForm1::buildTrayMenu()
{
    if (!m_trayMenu)
        m_trayMenu = new QMenu(this);
    buildMenu(m_trayMenu, trayMenuTable(*this));
    m_tray->setContextMenu(m_trayMenu);
}

void TForm1::CText(const QString &text, const QColor &colour)
{
    m_log->CText(text, colour);
}

void TForm1::ShutdownProgram()
{
    try {
        if (m_shuttingDown)
            return;
        m_shuttingDown = true;
        g_shutdownRequested = true;
        g_exitAt = QDeadlineTimer(scaledMs(kShutdownPauseMs));
        CText(QStringLiteral("Идет завершение работы Dozorix... "), kGreen);
        m_log->repaint();
        // The pause lets the line be seen; the event loop ends when it is over
        // (at once when it is not yet running: main() checks the flag).
        // The window is the timer's context: a run that is over (the window
        // gone) leaves no exit behind for a later event loop.
        afterPause(this, kShutdownPauseMs, [] { QCoreApplication::exit(g_exitCode); });
    } catch (...) {
        // Only the farewell line can throw (out of memory); an exception must
        // not leave through the menu or signal that asked for the end, and
        // the flag set above already ends a loop not yet running.
    }
}

void TForm1::endScheduledRun(int code, const QString &failure)
{
    g_exitCode = code;
    if (code != 0) {
        std::fputs((failedScheduledRunLine(m_scheduledProfile, code, failure) + QLatin1Char('\n')).toUtf8().constData(),
                   stderr);
        std::fflush(stderr);
    }
    ShutdownProgram();
}

void TForm1::stopScheduledRun(int signalNumber)
{
    const char *name = sigabbrev_np(signalNumber);
    const QString reason = QStringLiteral("остановлен сигналом SIG%1 до своего конца").arg(QString::fromLatin1(name ? name : "?"));
    CText(LogStamp() + QStringLiteral("Ночной «бэкап» профиля %1 ").arg(m_scheduledProfile) + reason + QLatin1Char('.'),
          kRed);
    endScheduledRun(backupExitCode(BackupExit::Stopped), reason);
}

bool TForm1::waitForEarlierScheduledRun()
{
    const ScheduledQueue queue =
        dozorix::waitForEarlierScheduledRun(m_guard, kAppTitle, m_scheduledProfile, [] { return g_shutdownRequested; });
    if (queue.outcome == ScheduledQueue::Free)
        return true;
    if (queue.outcome != ScheduledQueue::Stopped) // stopped by a signal: ShutdownProgram is under way
        refuseScheduledRun(backupExitCode(BackupExit::Refused), scheduledRunRefusal(queue, m_scheduledProfile));
    return false;
}

void TForm1::refuseScheduledRun(int code, const QString &reason)
{
    CText(LogStamp() + reason, kRed);
    // The letter is the administrator's notice of a lost night: the program
    // ends once it is out (at most two minutes). The main loop does not run
    // yet: this is the window's creation.
    mailLostNight(m_scheduledProfile, reason, this);
    QEventLoop loop;
    bool out = false;
    afterMailsOut(&loop, 120000, [&] {
        out = true;
        loop.quit();
    });
    if (!out)
        loop.exec();
    endScheduledRun(code, reason);
}

void ShutdownProgram()
{
    if (TForm1 *w = TForm1::instance()) {
        w->ShutdownProgram();
        return;
    }
    g_shutdownRequested = true;
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(g_exitCode); });
}

void TForm1::showBalloon(const QString &title, const QString &text)
{
    m_trayTitle = title;
    m_tray->showMessage(title, text, QSystemTrayIcon::Information);
    emit balloonShown(title, text);
}

void TForm1::makeProcessActions()
{
    ProcessActions::Hooks hooks;
    hooks.balloon = [this](const QString &title, const QString &text) { showBalloon(title, text); };
    hooks.clearProcessList = [this] { m_processMonitor->clearProcessList(); };
    hooks.repaintLog = [this] { m_log->viewport()->repaint(); };
    hooks.fileError = [this](const QString &message) { QMessageBox::critical(this, kAppTitle, message); };
    m_actions = new ProcessActions(std::move(hooks), this);
}

void TForm1::openResetByLogin()
{
    if (m_form6)
        m_form6->exec();
}

void TForm1::openResetRemoteUser()
{
    if (m_form5)
        m_form5->exec();
}

void TForm1::createOtherWindows()
{
    ResetWindowBase::Hooks hooks;
    hooks.minimiseToTray = [this] {
        setWindowState(windowState() | Qt::WindowMaximized);
        setWindowState(windowState() | Qt::WindowMinimized);
    };
    hooks.restoreMaximised = [this] { maximiseFromTray(); };
    m_form5 = new TForm5(m_actions, hooks, this);
    m_form6 = new TForm6(m_actions, hooks, this);

    // The settings dialog reads its settings now and may open the agent
    // server; its start and stop go through this window's pair.
    TForm10::Hooks settings;
    settings.startServer = [this](const QString &portText, QString *error) { return StartAgentServer(portText, error); };
    settings.stopServer = [this] { StopAgentServer(); };
    settings.startCS = [this] { return StartCS; };
    settings.setStartCS = [this](bool on) { StartCS = on; };
    m_form10 = new TForm10(std::move(settings), this);
    connect(m_agents, &AgentServer::clientConnected, m_form10,
            [this] { m_form10->indicator()->setColor(QColor(0x00, 0xFF, 0x00)); });

    // The message window, made once: it keeps its text between openings.
    TForm7::Hooks messages;
    messages.selectedAgentsMode = [this] { return ClienServerCh; };
    messages.allAgentsMode = [this] { return ClienServerChAll; };
    messages.clearModes = [this] {
        ClienServerCh = false;
        ClienServerChAll = false;
    };
    messages.terminalAddress = [this] { return m_terminalPanel->addressText(); };
    messages.selectedRows = [this] { return m_onlinePanel->selectedRows(); };
    messages.balloon = [this](const QString &title, const QString &text) { showBalloon(title, text); };
    messages.minimiseMainToTray = hooks.minimiseToTray;
    messages.maximiseMain = [this] { maximiseFromTray(); };
    m_form7 = new TForm7(m_agents, std::move(messages), this);

    // The profile store's holder, read once now; the editors come from the menu.
    TForm2::createHolder(this);

    // The backup runner and its window, made once.
    BackupRunner::Hooks backup;
    backup.shutdown = [this](int code, const QString &failure) { endScheduledRun(code, failure); };
    backup.unattended = [this] { return AVTO_BACKUP == QLatin1String("Yes"); };
    backup.raise = [this] {
        if (m_form8 && m_form8->isVisible()) {
            m_form8->raise();
            m_form8->activateWindow();
        }
    };
    backup.processEvents = [] { QCoreApplication::processEvents(); };
    backup.hasDisplay = [] { return QGuiApplication::platformName() != QLatin1String("offscreen"); };
    m_runner = new BackupRunner(std::move(backup), this);
    TForm8::Hooks runnerWindow;
    runnerWindow.minimiseMainToTray = hooks.minimiseToTray;
    runnerWindow.maximiseMain = [this] { maximiseFromTray(); };
    m_form8 = new TForm8(m_runner, std::move(runnerWindow), this);

    // The remote screen windows, made once and hidden when closed.
    m_form11 = new TForm11({[this] { return SendHost; }}, this);
    m_form50 = new TForm50({[this] { return SendHost; }}, this);
    OnlineUsersPanel::Hooks online;
    online.messageToAll = [this] { openMessageWindow(MessageMode::AllAgents); };
    online.messageToSelected = [this] { openMessageWindow(MessageMode::SelectedAgents); };
    online.viewScreen = [this] { openScreenWindow(false, true); };
    online.controlScreen = [this] { openScreenWindow(true, true); };
    m_onlinePanel->setHooks(std::move(online));
    buildMainMenu(); // "Настройка ▸ Dozorix" now opens the dialog
    buildTrayMenu(); // and the runner's window has come
}

void TForm1::Timer2Timer()
{
    if (!settingsFileExists())
        return;
    const FileVersion version = FileVersion::of(settingsFilePath());
    if (version == m_settingsRead)
        return;
    m_settingsRead = version;
    const IniFile ini(settingsFilePath());
    TRAY = ini.readBool(kSettings, QStringLiteral("Trey"), TRAY);
    CPU_1C_LOAD_PROVERKA = ini.readBool(kSettings, QStringLiteral("CPU_1C_LOAD"), CPU_1C_LOAD_PROVERKA);
    CPU_1C_LOAD_EMAIL = ini.readBool(kSettings, QStringLiteral("CPU_1C_LOAD_EMAIL"), CPU_1C_LOAD_EMAIL);
    CPU_1C_LOAD_PROCENT = ini.readInteger(kSettings, QStringLiteral("CPU_1C_LOAD_PROCENT"), CPU_1C_LOAD_PROCENT);
    CPU__LOAD_ALL = ini.readBool(kSettings, QStringLiteral("CPU__LOAD_ALL"), CPU__LOAD_ALL);
    CPU_ALL_LOAD_EMAIL = ini.readBool(kSettings, QStringLiteral("CPU_ALL_LOAD_EMAIL"), CPU_ALL_LOAD_EMAIL);
    CPU_ALL_LOAD_PROCENT = ini.readInteger(kSettings, QStringLiteral("CPU_ALL_LOAD_PROCENT"), CPU_ALL_LOAD_PROCENT);
    CPU_SERVER_LOAD = ini.readBool(kSettings, QStringLiteral("CPU_SERVER_LOAD"), CPU_SERVER_LOAD);
    CPU_SERVER_LOAD_EMAIL = ini.readBool(kSettings, QStringLiteral("CPU_SERVER_LOAD_EMAIL"), CPU_SERVER_LOAD_EMAIL);
    CPU_SERVER_LOAD_PROCENT =
        ini.readInteger(kSettings, QStringLiteral("CPU_SERVER_LOAD_PROCENT"), CPU_SERVER_LOAD_PROCENT);
    OFF_BASE = ini.readBool(kSettings, QStringLiteral("OFF_BASE"), OFF_BASE);
}

void TForm1::startSamplingTimers()
{
    setScaledInterval(&m_timer2, kReloadMs);
    setScaledInterval(&m_timer6, kSampleMs);
    m_timer2.start();
    m_timer6.start();
    setScaledInterval(&m_timerCom, kComProbeMs);
    m_timerCom.start();
}

void TForm1::probeInfobasesNow()
{
    if (!settingsFileExists()) {
        showIniMissing();
        return;
    }
    m_probe->probeAll();
}

void TForm1::showIniMissing()
{
    // Not exec(): a probe never holds up the window.
    if (!m_iniMissing) {
        m_iniMissing = new QMessageBox(QMessageBox::Warning, kAppTitle, kIniMissingText, QMessageBox::Ok, this);
        m_iniMissing->setObjectName(QStringLiteral("IniMissingBox"));
    }
    m_iniMissing->open();
}

void TForm1::COM171Click()
{
    m_probe->clearAllSlots();
    m_trayTitle = QStringLiteral("Dozorix");
    m_comDrop->start({
        {500, [this] {
             CText(LogStamp() + kAllComDroppedText, QColor(0x00, 0x80, 0x00));
             showBalloon(m_trayTitle, kAllComDroppedText);
         }},
        {1500, [] {}}, // the pause after the balloon: a second click meanwhile is refused
    });
}

void TForm1::armScheduledBackup()
{
    setScaledInterval(&m_tbackup, kBackupDesignMs);
    m_tbackup.start();
}

void TForm1::setScheduledBackupDelayAfterSplash()
{
    // Restarts the timer when it runs; leaves it off otherwise.
    setScaledInterval(&m_tbackup, kBackupAfterSplashMs);
}

void TForm1::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_firstShow) {
        m_firstShow = false;
        const int total = m_splitter->height();
        m_splitter->setSizes({std::max(total - 70, 100), 70});
    }
}

void TForm1::onFocusWindowChanged(QWindow *window)
{
    if (!window)
        return; // the program lost the focus to another program: no change of its own active window
    QWindow *mine = windowHandle();
    const bool wasMine = m_lastFocusWindow && m_lastFocusWindow == mine;
    m_lastFocusWindow = window;
    if (window == mine && (!wasMine || !m_everActive)) {
        m_everActive = true;
        onBecameActive();
    }
}

void TForm1::onBecameActive()
{
    if (m_shuttingDown)
        return;
    setWindowTitle(windowTitleText());
    emit terminalListRefreshRequested();
    onActivationTrayCheck();
}

void TForm1::onActivationTrayCheck()
{
    const IniFile ini(settingsFilePath());
    TRAY = ini.readBool(kSettings, QStringLiteral("Trey"), TRAY);
    if (TRAY) {
        // Maximise first, then minimise, so that a restore brings the window back maximised.
        QTimer::singleShot(0, this, [this] {
            setWindowState(windowState() | Qt::WindowMaximized);
            setWindowState((windowState() & ~Qt::WindowActive) | Qt::WindowMinimized);
        });
    }
}

void TForm1::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)
        && systemTrayAvailable()) {
        // Minimising goes to the tray: icon shown, window and taskbar entry
        // hidden. Without a tray the window stays minimised on the task bar.
        QTimer::singleShot(0, this, [this] { minimiseToTray(); });
    }
}

void TForm1::minimiseToTray()
{
    if (!systemTrayAvailable()) {
        // No icon could bring a hidden window back: minimise it on the task bar.
        m_tray->hide();
        if (!(windowState() & Qt::WindowMinimized))
            setWindowState(windowState() | Qt::WindowMinimized);
        if (!isVisible())
            show();
        return;
    }
    m_tray->show();
    hide();
}

void TForm1::restoreFromTray()
{
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowMaximized);
    show();
    raise();
    activateWindow();
    m_tray->hide();
    m_log->viewport()->repaint();
    m_log->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
}

void TForm1::maximiseFromTray()
{
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowMaximized);
    show();
    m_tray->hide();
}

void TForm1::onTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        restoreFromTray();
}

void TForm1::exitFromTray()
{
    m_trayTitle = QStringLiteral("Dozorix!");
    m_tray->showMessage(m_trayTitle, QStringLiteral("Идет завершение работы Dozorix... "),
                        QSystemTrayIcon::Information);
    m_log->repaint();
    ShutdownProgram();
}

void TForm1::closeEvent(QCloseEvent *event)
{
    if (m_shuttingDown) {
        event->accept();
        return;
    }
    QMessageBox box(QMessageBox::Question, kAppTitle,
                    QStringLiteral("Вы действительно хотите выйти из программы?") + QLatin1Char('\n'),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setObjectName(QStringLiteral("exitQuestion"));
    if (box.exec() == QMessageBox::Yes) {
        ShutdownProgram();
        event->accept();
    } else {
        event->ignore();
    }
}

void TForm1::toggleChartFill()
{
    if (m_listFills || m_tabsFill)
        return;
    m_chartFills = !m_chartFills;
    const bool show = !m_chartFills;
    m_processMonitor->showParts(true, show, show);
    m_tabs->setVisible(show);
}

void TForm1::toggleProcessListFill()
{
    if (m_chartFills || m_tabsFill)
        return;
    m_listFills = !m_listFills;
    const bool show = !m_listFills;
    m_processMonitor->showParts(show, show, true);
    m_tabs->setVisible(show);
}

void TForm1::toggleTabsFill()
{
    if (m_chartFills || m_listFills)
        return;
    m_tabsFill = !m_tabsFill;
    const bool show = !m_tabsFill;
    m_processMonitor->showParts(show, show, show);
    // The emptied left column gives its width to the tab panel.
    m_processMonitor->setVisible(show);
    if (m_tabsFill) {
        // The settings reload waits while the tab panel fills the window.
        m_reloadPaused = m_timer2.isActive();
        m_timer2.stop();
    } else if (m_reloadPaused) {
        m_reloadPaused = false;
        m_timer2.start();
    }
}

void TForm1::buildAgentTabs()
{
    m_onlinePanel = new OnlineUsersPanel(m_agents);
    m_tabs->widget(kOnlineTab)->layout()->addWidget(m_onlinePanel);
    m_chatPanel = new ChatPanel(m_agents);
    m_tabs->widget(kChatTab)->layout()->addWidget(m_chatPanel);
    for (QWidget *page : {m_tabs->widget(kOnlineTab), m_tabs->widget(kChatTab)})
        page->layout()->setContentsMargins(0, 0, 0, 0);
    connect(m_onlinePanel, &OnlineUsersPanel::panelToggleRequested, this, &TForm1::toggleTabsFill);
    connect(m_chatPanel, &ChatPanel::panelToggleRequested, this, &TForm1::toggleTabsFill);
    connect(m_tabs, &QTabWidget::currentChanged, this, &TForm1::onTabChanged);
}

void TForm1::buildTerminalTab()
{
    m_terminalPanel = new TerminalPanel;
    QWidget *page = m_tabs->widget(kTerminalTab);
    page->layout()->addWidget(m_terminalPanel);
    page->layout()->setContentsMargins(0, 0, 0, 0);
    TerminalPanel::Hooks hooks;
    hooks.setNeedRefresh = [this](bool on) { NeadRefreshTS = on; };
    hooks.openMessageWindow = [this] { openMessageWindow(MessageMode::TerminalSessions); };
    m_terminalPanel->setHooks(std::move(hooks));
    terminalSessionLineCount = [this] { return m_terminalPanel->sessionLineCount(); };
    connect(this, &TForm1::terminalListRefreshRequested, m_terminalPanel, &TerminalPanel::GetUserOnTerminal);
    connect(m_terminalPanel, &TerminalPanel::panelToggleRequested, this, &TForm1::toggleTabsFill);
}

void TForm1::TBACKUPTimer()
{
    if (!m_runner || m_shuttingDown)
        return; // no backup starts while the program ends
    const DueScheduledBackup due = startDueScheduledBackup(*m_runner, m_scheduledProfile);
    if (due.outcome == DueScheduledBackup::NothingNamed) {
        ShutdownProgram();
        return;
    }
    AVTO_BACKUP = QStringLiteral("Yes");
    m_tbackup.stop();
    if (due.outcome == DueScheduledBackup::SettingsMissing)
        endScheduledRun(backupExitCode(BackupExit::NoSettings), due.failure);
}

void TForm1::openMessageWindow(MessageMode mode)
{
    if (!m_form7)
        return;
    ClienServerCh = mode == MessageMode::SelectedAgents;
    ClienServerChAll = mode == MessageMode::AllAgents;
    m_form7->openModal();
}

void TForm1::runBulkCommand(BulkCommandId id, bool fromTray)
{
    const BulkCommandOutcome outcome = m_terminalPanel->runBulkCommand(id);
    if (!fromTray || (id != BulkCommandId::BlockLogons && id != BulkCommandId::UnblockLogons))
        return;
    if (outcome.kind != BulkCommandOutcome::Started)
        return; // the error box or the red lines said it
    const QString text = id == BulkCommandId::BlockLogons ? QStringLiteral("Доступ на сервер терминалов заблокирован!")
                                                          : QStringLiteral("Доступ на сервер терминалов восстановлен!");
    CText(LogStamp() + text, kGreen);
    showBalloon(m_trayTitle, text);
}

// A failed start leaves StartCS as it was: the administrator's wish that the
// server run (stored under "StartCS") outlives a port that was busy for a
// moment; only the administrator's own stop clears it.
bool TForm1::StartAgentServer(quint16 port, QString *error)
{
    const bool ok = m_agents->StartAgentServer(port, error);
    if (ok)
        StartCS = true;
    return ok;
}

bool TForm1::StartAgentServer(const QString &portText, QString *error)
{
    const bool ok = m_agents->isListening() || m_agents->StartAgentServer(portText, error);
    if (ok)
        StartCS = true;
    return ok;
}

void TForm1::StopAgentServer()
{
    m_agents->StopAgentServer();
    StartCS = false;
}

void TForm1::Timer1Timer()
{
    m_onlinePanel->updateCounters();
    if (NeadRefreshTS) {
        emit terminalListRefreshRequested();
        NeadRefreshTS = false;
    }
    showOnlineCounter(m_tabs->currentIndex());
}

void TForm1::showOnlineCounter(int index)
{
    if (index == kOnlineTab) {
        m_processMonitor->onlineUsersLabel()->setText(QStringLiteral("Пользователей онлайн (CS):"));
        OnlineUsersModel *rows = m_agents->onlineUsers();
        rows->renumber();
        m_processMonitor->onlineUsersBox()->setText(QString::number(rows->rowCount()));
    } else if (index == kTerminalTab) {
        m_processMonitor->onlineUsersLabel()->setText(QStringLiteral("Пользователей онлайн (TS):"));
        const int lines = terminalSessionLineCount ? terminalSessionLineCount() : 0;
        m_processMonitor->onlineUsersBox()->setText(QString::number(std::max(0, lines - 1)));
    }
    // The chat tab leaves the counter as it is.
}

void TForm1::onTabChanged(int index)
{
    m_processMonitor->onlineUsersBox()->setText(QStringLiteral("0"));
    showOnlineCounter(index);
    if (index == kTerminalTab)
        emit terminalListRefreshRequested();
}

// The remote screen windows: the agent server is started when it does not
// run (on the main port of the settings file, as the settings dialog would).
ScreenWindow *TForm1::screenWindow(bool control) const
{
    return control ? static_cast<ScreenWindow *>(m_form11) : static_cast<ScreenWindow *>(m_form50);
}

void TForm1::openScreenWindow(bool control, bool fromTable)
{
    ScreenWindow *window = screenWindow(control);
    if (!window)
        return;
    if (fromTable && QApplication::activeWindow() == window)
        return;
    if (!m_agents->isListening()) {
        const IniFile ini(settingsFilePath());
        StartAgentServer(ini.readString(kSettings, QStringLiteral("Port1"), QStringLiteral("5005")));
    }
    if (fromTable) {
        const QList<int> rows = m_onlinePanel->selectedRows();
        if (!rows.isEmpty())
            SendHost = m_agents->onlineUsers()->index(rows.first(), OnlineUsersModel::ColAddress).data().toString();
    } else {
        window->hostBox()->setEnabled(true);
    }
    window->show();
    window->raise();
    window->activateWindow();
    window->activateNow();
    if (fromTable) {
        window->connectClicked();
        window->topBar()->repaint();
    }
}

} // namespace dozorix
