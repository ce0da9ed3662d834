#include "app/ui/TForm1.h"

#include "agents/AgentServer.h"
#include "agents/OnlineUsersModel.h"
#include "agents/ui/ChatPanel.h"
#include "agents/ui/OnlineUsersPanel.h"
#include "app/ScheduledStart.h"
#include "backup/BackupExitCodes.h"
#include "backup/BackupRunner.h"
#include "backup/ui/TForm8.h"
#include "backup/ui/TForm9.h"
#include "common/AppInfo.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/Platform.h"
#include "common/ProgramDir.h"
#include "common/Stamps.h"
#include "common/SystemHelpers.h"
#include "common/TimeScale.h"
#include "common/ui/MenuTable.h"
#include "infobases/InfobaseProbe.h"
#include "infobases/ui/TForm2.h"
#include "monitor/LoadAlerts.h"
#include "monitor/ProcessActions.h"
#include "monitor/ProcessSampler.h"
#include "monitor/ProcessSnapshot.h"
#include "monitor/ui/ResetWindows.h"
#include "notify/NotificationMail.h"
#include "notify/ui/TForm10.h"
#include "screen/ui/ScreenWindow.h"
#include "shell/HandOffFile.h"
#include "terminal/ScriptTemplates.h"
#include "terminal/ui/TerminalPanel.h"
#include "terminal/ui/TForm7.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTabWidget>
#include <QTableWidget>
#include <QValueAxis>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cmath>
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

// The process list's columns as designed; the figure columns widen to their
// widest values under the fonts in use (fitFigureColumns).
constexpr int kDesignColumnWidths[ProcessSampler::ColumnCount] = {148, 40, 40, 70, 90, 215};

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

// The width in whole pixels of the widest of some figures under a font, each
// '9' standing for any digit (measured as the font's widest one). Text is
// laid out at fractional widths: a part of a pixel needs a whole one.
int widestFigureWidth(const QFont &font, const QStringList &figures)
{
    const QFontMetricsF fm(font);
    QChar digit = QLatin1Char('0');
    for (char d = '1'; d <= '9'; ++d) {
        if (fm.horizontalAdvance(QLatin1Char(d)) > fm.horizontalAdvance(digit))
            digit = QLatin1Char(d);
    }
    qreal widest = 0;
    for (QString figure : figures)
        widest = std::max(widest, fm.horizontalAdvance(figure.replace(QLatin1Char('9'), digit)));
    return static_cast<int>(std::ceil(widest));
}

// A read-only status box, as wide as the longest figure it shows needs under
// its font (90 pixels at most, unless the figure needs more).
class FigureBox : public QLineEdit
{
public:
    explicit FigureBox(QStringList longest)
        : QLineEdit(QStringLiteral("0"))
        , m_longest(std::move(longest))
    {
        setReadOnly(true);
        fitMaximum();
    }

    QSize minimumSizeHint() const override
    {
        QSize size = QLineEdit::minimumSizeHint();
        size.setWidth(std::max(size.width(), figureWidth()));
        return size;
    }

protected:
    void changeEvent(QEvent *event) override
    {
        QLineEdit::changeEvent(event);
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
            fitMaximum();
    }

private:
    static constexpr int kDesignMaximum = 90;

    // The box's width for its longest figure. A line edit scrolls its text
    // unless the text and one pixel more fit between its inner margins of 2
    // pixels on each side, inside the text margins and the style's frame.
    int figureWidth() const
    {
        const QFontMetrics fm(font());
        const QMargins text = textMargins();
        const QMargins contents = contentsMargins();
        const int inner = widestFigureWidth(font(), m_longest) + 1 + 2 * 2 + text.left() + text.right()
            + contents.left() + contents.right();
        QStyleOptionFrame option;
        initStyleOption(&option);
        return style()->sizeFromContents(QStyle::CT_LineEdit, &option, QSize(inner, fm.height()), this).width();
    }

    void fitMaximum() { setMaximumWidth(std::max(kDesignMaximum, figureWidth())); }

    QStringList m_longest;
};

// The longest figures of the boxes. A load is a sum of shares in the
// general format (a hair above 100 from clock jitter at most); the memory
// is FormatSize of the total.
const QStringList kLoadFigures = {QStringLiteral("999.99")};
const QStringList kMemoryFigures = {QStringLiteral("999.99 KB"), QStringLiteral("999.99 MB"),
                                    QStringLiteral("999.99 GB"), QStringLiteral("999.99 TB"),
                                    QStringLiteral("9999 bytes")};
const QStringList kCountFigures = {QStringLiteral("9999")};

QLineEdit *statusBox(const QStringList &longest, const QString &hint = {})
{
    auto *box = new FigureBox(longest);
    if (!hint.isEmpty())
        box->setToolTip(hint);
    return box;
}

void setTextColour(QLineEdit *box, const QColor &colour)
{
    QPalette pal = box->palette();
    pal.setColor(QPalette::Text, colour);
    box->setPalette(pal);
}

} // namespace

// The chart reports double-clicks (the layout toggle).
class ChartView : public QChartView
{
public:
    using QChartView::QChartView;
    std::function<void()> onDoubleClick;

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override
    {
        if (onDoubleClick)
            onDoubleClick();
        QChartView::mouseDoubleClickEvent(event);
    }
};

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
        RefreshInfo1();
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
    m_onlineLabel->setText(QStringLiteral("Пользователей онлайн (CS):"));
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
    resetChart();
    m_alerts = new LoadAlerts(this);
    m_alerts->setBalloon([this](const QString &text) {
        m_tray->showMessage(m_trayTitle, text, QSystemTrayIcon::Information);
    });
    m_alerts->setComputerName([] { return GetComputerNameText(); });
    m_alerts->setMailer([this](const QString &subject, const QString &body, const QString &successLine,
                               std::function<void()> onSuccess) {
        SendNotificationMail(subject, body, successLine, std::move(onSuccess), {}, this);
    });
    EnablePrivilege(QStringLiteral("SeDebugPrivilege"), true);
    QFont f(QStringLiteral("Microsoft Sans Serif"));
    f.setPointSize(font().pointSize());
    setFont(f);
    m_sampler = std::make_unique<ProcessSampler>(ProcessTable::instance()->processorCount());
    m_clock.start();
    m_lastTickNs = m_clock.nsecsElapsed();
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

QChartView *TForm1::chartView() const
{
    return m_chartView;
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

    auto *left = new QWidget(m_top);
    m_left = left;
    auto *leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);

    // Chart: client load blue, server load green, a third red series.
    m_chart = new QChart();
    m_chart->setTitle(QStringLiteral("Загрузка процессора %  - 1С Предприятие  и  Сервер 1С."));
    m_chart->legend()->hide();
    m_clientSeries = new QLineSeries();
    m_serverSeries = new QLineSeries();
    m_thirdSeries = new QLineSeries();
    m_clientSeries->setColor(QColor(0x00, 0x80, 0xFF));
    m_serverSeries->setColor(QColor(0x00, 0x80, 0x00));
    m_thirdSeries->setColor(QColor(0xFF, 0x00, 0x00));
    m_axisX = new QValueAxis();
    m_axisY = new QValueAxis();
    m_chart->addAxis(m_axisX, Qt::AlignBottom);
    m_chart->addAxis(m_axisY, Qt::AlignLeft);
    for (QLineSeries *s : {m_clientSeries, m_serverSeries, m_thirdSeries}) {
        m_chart->addSeries(s);
        s->attachAxis(m_axisX);
        s->attachAxis(m_axisY);
    }
    m_axisX->setRange(0, 100);
    m_axisY->setRange(0, 100);
    m_chartView = new ChartView(m_chart, left);
    m_chartView->setRenderHint(QPainter::Antialiasing);
    m_chartView->setMinimumHeight(150);
    m_chartView->onDoubleClick = [this] { toggleChartFill(); };
    leftLayout->addWidget(m_chartView, 3);

    // Status row 1: total, client and server load.
    m_row1 = new QWidget(left);
    auto *r1 = new QHBoxLayout(m_row1);
    r1->setContentsMargins(0, 0, 0, 0);
    m_totalLoad = statusBox(kLoadFigures);
    setTextColour(m_totalLoad, QColor(0xFF, 0x00, 0x00));
    m_clientLoad = statusBox(kLoadFigures, QStringLiteral("Нагрузка на ЦП которую создает клиент 1С (Тонкий , Толстый)"));
    setTextColour(m_clientLoad, palette().color(QPalette::Highlight));
    m_serverLoad = statusBox(kLoadFigures, QStringLiteral("Нагрузка на ЦП которую создают процессы сервера 1С (Кластера серверов)"));
    setTextColour(m_serverLoad, QColor(0x00, 0x80, 0x00));
    r1->addWidget(new QLabel(QStringLiteral("Загрузка процессора 1C %:")));
    r1->addWidget(m_totalLoad);
    r1->addWidget(new QLabel(QStringLiteral("1С Предприятие:")));
    r1->addWidget(m_clientLoad);
    r1->addWidget(new QLabel(QStringLiteral("Сервер 1С:")));
    r1->addWidget(m_serverLoad);
    r1->addStretch();
    leftLayout->addWidget(m_row1);

    // Status row 2: online users, memory and count of the 1C processes.
    m_row2 = new QWidget(left);
    auto *r2 = new QHBoxLayout(m_row2);
    r2->setContentsMargins(0, 0, 0, 0);
    m_onlineLabel = new QLabel(m_row2);
    m_onlineUsers = statusBox(kCountFigures);
    m_memory = statusBox(kMemoryFigures);
    m_processCount = statusBox(kCountFigures);
    r2->addWidget(m_onlineLabel);
    r2->addWidget(m_onlineUsers);
    r2->addWidget(new QLabel(QStringLiteral("1C ОЗУ:")));
    r2->addWidget(m_memory);
    r2->addWidget(new QLabel(QStringLiteral("Процессов 1С:")));
    r2->addWidget(m_processCount);
    r2->addStretch();
    leftLayout->addWidget(m_row2);

    // The process list.
    m_processList = new QTableWidget(0, 6, left);
    const QStringList headers = {QStringLiteral("Процессы 1C +"), QStringLiteral("PID"), QStringLiteral("CPU %"),
                                 QStringLiteral("ОЗУ"), QStringLiteral("Пользователь"),
                                 QStringLiteral("Описание процесса")};
    m_processList->setHorizontalHeaderLabels(headers);
    for (int i = 0; i < ProcessSampler::ColumnCount; ++i)
        m_processList->setColumnWidth(i, kDesignColumnWidths[i]);
    m_processList->horizontalHeaderItem(1)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_processList->horizontalHeaderItem(2)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_processList->verticalHeader()->hide();
    m_processList->verticalHeader()->setDefaultSectionSize(18);
    m_processList->setShowGrid(true);
    m_processList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_processList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_processList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_processList->setStyleSheet(QStringLiteral("QTableWidget { background: white; }"));
    m_processList->setContextMenuPolicy(Qt::CustomContextMenu);
    m_processList->viewport()->installEventFilter(this);
    m_processList->installEventFilter(this); // font changes widen the figure columns
    fitFigureColumns();
    m_processMenu = new QMenu(this);
    buildMenu(m_processMenu, {
        menuItem("endTask", "Снять задачу", [this] { endSelectedProcesses(); }),
    });
    connect(m_processList, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        if (!m_processList->selectionModel()->selectedRows().isEmpty())
            m_processMenu->popup(m_processList->viewport()->mapToGlobal(pos));
    });
    leftLayout->addWidget(m_processList, 4);
    topLayout->addWidget(left, 3);

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

namespace {

// "Сервер 1С ▸ 1С 8.3 | 1С 8.2 | 1С 8.1 ▸ stop, start, restart", the same in
// the main menu and the tray menu but for the command's pattern.
MenuEntry serverSubmenu(ProcessActions *actions, ProcessActions::Pattern pattern)
{
    using V = ProcessActions::Version;
    using Op = ProcessActions::Operation;
    const struct {
        const char *name;
        const char *caption;
        V version;
    } versions[] = {{"server83", "1С 8.3", V::V83}, {"server82", "1С 8.2", V::V82}, {"server81", "1С 8.1", V::V81}};
    const struct {
        const char *name;
        const char *caption;
        Op operation;
    } operations[] = {{"Stop", "Остановить сервер", Op::Stop},
                      {"Start", "Запустить сервер", Op::Start},
                      {"Restart", "Перезапустить сервер", Op::Restart}};
    MenuTable perVersion;
    for (const auto &v : versions) {
        MenuTable commands;
        for (const auto &o : operations) {
            const V version = v.version;
            const Op operation = o.operation;
            commands.push_back(menuItem(QString::fromLatin1(v.name) + QLatin1String(o.name), o.caption,
                                        [actions, version, operation, pattern] {
                                            actions->serviceCommand(version, operation, pattern);
                                        }));
        }
        perVersion.push_back(submenu(v.name, v.caption, std::move(commands)));
    }
    return submenu("server1C", "Сервер 1С", std::move(perVersion));
}

MenuHandler killLocal(ProcessActions *actions, ProcessActions::LocalKill which)
{
    return [actions, which] { actions->killLocal(which); };
}

// The bulk session commands of "Сервер терминалов" in the main menu and the
// tray menu (the tray's list has no separators).
MenuTable terminalCommandEntries(TForm1 *window, bool tray)
{
    using B = BulkCommandId;
    const auto item = [window, tray](B id) {
        const BulkCommand &c = bulkCommand(id);
        return menuItem(QString::fromLatin1(c.objectName), tray ? c.trayCaption : c.mainMenuCaption,
                        [window, id, tray] { window->runBulkCommand(id, tray); });
    };
    MenuTable entries{item(B::BlockLogons), item(B::UnblockLogons)};
    if (!tray)
        entries.push_back(menuSeparator());
    entries.push_back(item(B::LogoffDisconnectedSessions));
    entries.push_back(item(B::ResetDisconnectedSessions));
    if (!tray)
        entries.push_back(menuSeparator());
    for (B id : {B::DisconnectSessions, B::LogoffSessions, B::ResetSessions})
        entries.push_back(item(id));
    return entries;
}

// "Резервное копирование": the profiles, the backup settings and the runner,
// the same in the main menu and the tray menu.
MenuEntry backupSubmenu(TForm1 *window)
{
    const MenuHandler run = window->form8() ? MenuHandler([window] { window->form8()->openModal(); }) : MenuHandler();
    return submenu("backupMenu", "Резервное копирование", {
        menuItem("backupProfiles", "Профили информационных баз", [window] { OpenProfileEditor(window); }),
        menuItem("backupSettings", "Настройки резервного копирования", [window] { TForm9::openModal(window); }),
        menuSeparator(),
        menuItem("backupRun", "Быстрый \"бэкап\"", run),
        menuSeparator(),
        menuItem("infobaseProbe", "Проверить подключение к информационным базам", [window] { window->probeInfobasesNow(); }),
        menuItem("infobaseDropAll", "Отключить все COM-соединения", [window] { window->COM171Click(); }),
    });
}

} // namespace

// Items with an empty handler ({}) are shown disabled: their windows and
// commands do not exist yet.
void TForm1::buildMainMenu()
{
    using Kill = ProcessActions::LocalKill;
    const auto kill = [this](Kill which) { return killLocal(m_actions, which); };
    const MenuHandler viewScreen = screenMenuHandler(false), controlScreen = screenMenuHandler(true);
    const MenuHandler openSettings = m_form10 ? MenuHandler([this] { m_form10->exec(); }) : MenuHandler();
    buildMenuBar(menuBar(), {
        submenu("menuProgram", "Dozorix", {
            menuItem("exit", "Выход", [this] { ShutdownProgram(); }),
        }),
        submenu("menuSettings", "Настройка", {
            menuItem("settingsDozorix", "Dozorix", openSettings),
        }),
        submenu("menuService", "Сервис", {
            menuItem("killAll1C", "Завершить все процессы 1С, (Сервер 1С, 1С Предприятие) на этом Сервере/ПК.", kill(Kill::All1C)),
            menuItem("killClients8", "Завершить все процессы 1С v8", kill(Kill::Clients8)),
            menuItem("killClients7", "Аварийно завершить работу пользователей в 1С v 7 на этом сервере / ПК", kill(Kill::Clients7)),
            menuItem("killServers", "Завершить все процессы Сервера 1С на этом сервере/ПК.", kill(Kill::Servers)),
            menuItem("resetByLogin", "Завершить процесс 1С v8 (По Логину пользователя)", [this] { openResetByLogin(); }),
            menuItem("resetRemoteUser", "Завершить процессы 1С v8 удаленного пользователя.", [this] { openResetRemoteUser(); }),
            menuSeparator(),
            menuItem("messageToAll", "Отправить сообщение ", [this] { openMessageWindow(MessageMode::TerminalSessions); }),
            menuSeparator(),
            serverSubmenu(m_actions, ProcessActions::Pattern::MainMenu),
            menuSeparator(),
            submenu("terminalServer", "Сервер терминалов", terminalCommandEntries(this, false)),
            menuSeparator(),
            backupSubmenu(this),
            menuSeparator(),
            menuItem("viewScreen", "Смотреть экран пользователя", viewScreen),
            menuItem("controlScreen", "Смотреть экран пользователя (Управление)", controlScreen),
        }),
    });
}

void TForm1::buildTrayMenu()
{
    using Kill = ProcessActions::LocalKill;
    const auto kill = [this](Kill which) { return killLocal(m_actions, which); };
    const MenuHandler viewScreen = screenMenuHandler(false), controlScreen = screenMenuHandler(true);
    if (!m_trayMenu)
        m_trayMenu = new QMenu(this);
    buildMenu(m_trayMenu, {
        menuItem("killAll1C", "Завершить все процессы 1С, (Сервер 1С, 1С Предприятие) на этом Сервере/ПК.", kill(Kill::All1C)),
        menuItem("killClients8", "Завершить все процессы 1С Предприятия  на этом Сервере/ПК.", kill(Kill::Clients8)),
        menuItem("killClients7", "Аварийное завершение работы пользователей в 1С v7", kill(Kill::Clients7)),
        menuItem("killServers", "Завершить все процессы Сервера 1С на этом сервере/ПК.", kill(Kill::Servers)),
        menuItem("resetByLogin", "Завершить процесс 1С v8 (По Логину пользователя)", [this] { openResetByLogin(); }),
        menuItem("resetRemoteUser", "Завершить работу удаленного пользователя в 1С.", [this] { openResetRemoteUser(); }),
        menuSeparator(),
        menuItem("messageToAll", "Отправить сообщение ", [this] {
            ClienServerCh = false;
            openMessageWindow(MessageMode::TerminalSessions);
        }),
        menuSeparator(),
        serverSubmenu(m_actions, ProcessActions::Pattern::Tray),
        menuSeparator(),
        submenu("terminalServer", "Сервер терминалов", terminalCommandEntries(this, true)),
        menuSeparator(),
        backupSubmenu(this),
        menuSeparator(),
        menuItem("viewScreen", "Смотреть экран пользователя", viewScreen),
        menuItem("controlScreen", "Смотреть экран пользователя (Управление)", controlScreen),
        menuSeparator(),
        menuItem("maximise", "Развернуть на весь экран", [this] { maximiseFromTray(); }),
        menuItem("exit", "Выход", [this] { onTrayExit(); }),
    });
    m_tray->setContextMenu(m_trayMenu);
}

void TForm1::resetChart()
{
    m_clientSeries->clear();
    m_axisX->setRange(0, 100);
    m_axisY->setRange(0, 100);
    chartPoints = 0;
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
        QTimer::singleShot(scaledMs(kShutdownPauseMs), this, [] { QCoreApplication::exit(g_exitCode); });
    } catch (...) {
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

void TForm1::RefreshInfo1()
{
    // One interval ends and the next begins at the same reading of the
    // clock, so the time the snapshot and the list take is counted in the
    // next interval instead of being lost (which would inflate every share).
    const qint64 now = m_clock.nsecsElapsed();
    const double elapsedMs = static_cast<double>(now - m_lastTickNs) / 1e6;
    const SampledTable table = takeProcessSnapshot();
    const auto owner = [&table](quint32 pid) { return table.owners.value(pid); };
    const auto memory = [&table](quint32 pid) { return table.workingSets.value(pid); };
    if (!m_sampler->refresh(table.processes, elapsedMs, owner, memory))
        return; // no time has passed: the next tick counts it
    m_lastTickNs = now;
    applySamplerToWidgets();
    m_alerts->check({CPU_1C_LOAD_PROVERKA, CPU_1C_LOAD_EMAIL, CPU_1C_LOAD_PROCENT},
                    {CPU_SERVER_LOAD, CPU_SERVER_LOAD_EMAIL, CPU_SERVER_LOAD_PROCENT},
                    {CPU__LOAD_ALL, CPU_ALL_LOAD_EMAIL, CPU_ALL_LOAD_PROCENT}, m_clientLoad->text(),
                    m_serverLoad->text(), m_totalLoad->text());
}

void TForm1::applySamplerToWidgets()
{
    // The list is updated in place: rows are reused, added or removed at the
    // end, and a cell is touched only when its text changed.
    const auto &rows = m_sampler->rows();
    m_processList->setUpdatesEnabled(false);
    const int count = static_cast<int>(rows.size());
    if (m_processList->rowCount() != count)
        m_processList->setRowCount(count);
    for (int r = 0; r < count; ++r) {
        for (int c = 0; c < ProcessSampler::ColumnCount; ++c) {
            const QString &text = rows[static_cast<size_t>(r)].cells[c];
            QTableWidgetItem *item = m_processList->item(r, c);
            if (!item) {
                item = new QTableWidgetItem(text);
                if (c == ProcessSampler::ColPid || c == ProcessSampler::ColCpu)
                    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                m_processList->setItem(r, c, item);
            } else if (item->text() != text) {
                item->setText(text);
            }
        }
    }
    m_processList->setUpdatesEnabled(true);

    m_memory->setText(m_sampler->memoryTotal());
    if (const auto &point = m_sampler->lastPoint()) {
        m_processCount->setText(m_sampler->processCount());
        m_clientLoad->setText(m_sampler->clientLoad());
        m_serverLoad->setText(m_sampler->serverLoad());
        m_totalLoad->setText(m_sampler->totalLoad());
        m_clientSeries->append(point->x, point->client);
        m_serverSeries->append(point->x, point->server);
        chartPoints = static_cast<int>(m_sampler->chartX());
        m_axisX->setRange(m_sampler->axisMin(), m_sampler->axisMax());
        // Points left of the visible window are dropped (one is kept so the
        // line still enters from the edge), so that memory stays flat over
        // a long run.
        for (QLineSeries *series : {m_clientSeries, m_serverSeries}) {
            int drop = 0;
            while (drop + 1 < series->count() && series->at(drop + 1).x() < m_sampler->axisMin())
                ++drop;
            if (drop > 0)
                series->removePoints(0, drop);
        }
    }
}

void TForm1::showBalloon(const QString &title, const QString &text)
{
    m_trayTitle = title;
    m_tray->showMessage(title, text, QSystemTrayIcon::Information);
    emit balloonShown(title, text);
}

void TForm1::makeProcessActions()
{
    ProcessActions::Ui ui;
    ui.balloon = [this](const QString &title, const QString &text) { showBalloon(title, text); };
    ui.clearProcessList = [this] { m_processList->setRowCount(0); };
    ui.repaintLog = [this] { m_log->viewport()->repaint(); };
    ui.fileError = [this](const QString &message) { QMessageBox::critical(this, kAppTitle, message); };
    m_actions = new ProcessActions(std::move(ui), this);
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
    MainWindowHooks hooks;
    hooks.minimiseToTray = [this] {
        setWindowState(windowState() | Qt::WindowMaximized);
        setWindowState(windowState() | Qt::WindowMinimized);
    };
    hooks.restoreMaximised = [this] { maximiseFromTray(); };
    m_form5 = new TForm5(m_actions, hooks, this);
    m_form6 = new TForm6(m_actions, hooks, this);

    // The settings dialog reads its settings now and may open the agent
    // server; its start and stop go through this window's pair.
    AgentServerHooks server;
    server.start = [this](const QString &portText, QString *error) { return StartAgentServer(portText, error); };
    server.stop = [this] { StopAgentServer(); };
    m_form10 = new TForm10(server, StartCSFlag{[this] { return StartCS; }, [this](bool on) { StartCS = on; }}, this);
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
    m_form11 = new TForm11([this] { return SendHost; }, this);
    m_form50 = new TForm50([this] { return SendHost; }, this);
    OnlineUsersPanel::Hooks online;
    online.messageToAll = [this] { openMessageWindow(MessageMode::AllAgents); };
    online.messageToSelected = [this] { openMessageWindow(MessageMode::SelectedAgents); };
    online.viewScreen = [this] { openScreenWindow(false, true); };
    online.controlScreen = [this] { openScreenWindow(true, true); };
    m_onlinePanel->setHooks(std::move(online));
    buildMainMenu(); // "Настройка ▸ Dozorix" now opens the dialog
    buildTrayMenu(); // and the runner's window has come
}

void TForm1::endSelectedProcesses()
{
    bool last = true;
    const QModelIndexList rows = m_processList->selectionModel()->selectedRows(ProcessSampler::ColPid);
    QList<int> order;
    for (const QModelIndex &index : rows)
        order << index.row();
    std::sort(order.begin(), order.end());
    if (order.isEmpty())
        return;
    for (int row : order) {
        const QTableWidgetItem *item = m_processList->item(row, ProcessSampler::ColPid);
        bool ok = false;
        const uint pid = item ? item->text().toUInt(&ok) : 0;
        last = ok && ProcessActions::KillProcess(pid);
    }
    if (!last)
        QMessageBox::critical(this, QStringLiteral("Ошибка"), QStringLiteral("Невозможно завершение данного процесса"),
                              QMessageBox::Ok);
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

void TForm1::fitFigureColumns()
{
    if (!m_processList)
        return;
    // A cell's text is drawn inside the focus-frame margin plus one pixel on
    // each side, and the grid line takes one pixel of the column. Each '9'
    // stands for any digit.
    const int textMargin = m_processList->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_processList) + 1;
    const int grid = m_processList->showGrid() ? 1 : 0;
    const struct {
        int column;
        QStringList widest;
    } columns[] = {
        {ProcessSampler::ColPid, {QStringLiteral("9999999")}},        // seven digits hold any Linux PID
        {ProcessSampler::ColCpu, {QStringLiteral("999.99")}},         // "100.00" of the idle row
        {ProcessSampler::ColMemory, {QStringLiteral("9999999 KБ")}}, // up to 9.5 GB of working set
    };
    for (const auto &c : columns) {
        const int values = widestFigureWidth(m_processList->font(), c.widest) + 2 * textMargin + grid;
        const int caption = m_processList->horizontalHeader()->sectionSizeHint(c.column);
        m_processList->setColumnWidth(c.column, std::max({kDesignColumnWidths[c.column], values, caption}));
    }
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

void TForm1::onTrayExit()
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
    m_processList->setVisible(show);
    m_tabs->setVisible(show);
    m_row1->setVisible(show);
    m_row2->setVisible(show);
}

void TForm1::toggleProcessListFill()
{
    if (m_chartFills || m_tabsFill)
        return;
    m_listFills = !m_listFills;
    const bool show = !m_listFills;
    m_chartView->setVisible(show);
    m_tabs->setVisible(show);
    m_row1->setVisible(show);
    m_row2->setVisible(show);
}

void TForm1::toggleTabsFill()
{
    if (m_chartFills || m_listFills)
        return;
    m_tabsFill = !m_tabsFill;
    const bool show = !m_tabsFill;
    m_chartView->setVisible(show);
    m_processList->setVisible(show);
    m_row1->setVisible(show);
    m_row2->setVisible(show);
    // The emptied left column gives its width to the tab panel.
    m_left->setVisible(show);
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
    m_runner->LoadFunckShow();
    QByteArray bytes;
    loadHandOffBytes(QStringLiteral("temp.txt"), &bytes);
    const QStringList lines = splitLines(decodeHandOffText(bytes));
    QString alias;
    for (const QString &line : lines) {
        for (int n = 1; n <= 14; ++n) {
            if (line == QStringLiteral("bak") + QString::number(n))
                alias = m_runner->profile(n).alias;
        }
    }
    // temp.txt emptied or overwritten meanwhile (a command's output): the
    // parameter the program was started with still says which profile.
    if (alias.isEmpty() && m_scheduledProfile)
        alias = m_runner->profile(m_scheduledProfile).alias;
    if (lines.isEmpty() && !m_scheduledProfile) {
        ShutdownProgram();
        return;
    }
    AVTO_BACKUP = QStringLiteral("Yes");
    if (!settingsFileExists()) {
        // Removed since the start: nothing to back up by, and nothing
        // waits for it to come back.
        m_tbackup.stop();
        CText(LogStamp() + QStringLiteral("Файл настроек %1 не найден: ночной «бэкап» не выполнен.").arg(settingsFilePath()),
              kRed);
        endScheduledRun(backupExitCode(BackupExit::NoSettings),
                        QStringLiteral("файл настроек %1 не найден").arg(settingsFilePath()));
        return;
    }
    m_runner->chooseProfile(alias);
    emptyHandOffFile(QStringLiteral("temp.txt"));
    m_tbackup.stop();
    afterPause(m_runner, 2000, [this] { m_runner->StartBtnClick(); });
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
    if (outcome.kind == BulkCommandOutcome::MissingTemplate || outcome.kind == BulkCommandOutcome::WriteFailed)
        return; // the error box said it
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
        m_onlineLabel->setText(QStringLiteral("Пользователей онлайн (CS):"));
        OnlineUsersModel *rows = m_agents->onlineUsers();
        rows->renumber();
        m_onlineUsers->setText(QString::number(rows->rowCount()));
    } else if (index == kTerminalTab) {
        m_onlineLabel->setText(QStringLiteral("Пользователей онлайн (TS):"));
        const int lines = terminalSessionLineCount ? terminalSessionLineCount() : 0;
        m_onlineUsers->setText(QString::number(std::max(0, lines - 1)));
    }
    // The chat tab leaves the counter as it is.
}

void TForm1::onTabChanged(int index)
{
    m_onlineUsers->setText(QStringLiteral("0"));
    showOnlineCounter(index);
    if (index == kTerminalTab)
        emit terminalListRefreshRequested();
}

bool TForm1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_processList->viewport() && event->type() == QEvent::MouseButtonDblClick)
        toggleProcessListFill();
    if (watched == m_processList && (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange))
        fitFigureColumns();
    return QMainWindow::eventFilter(watched, event);
}

// The remote screen windows: the agent server is started when it does not
// run (on the main port of the settings file, as the settings dialog would).
ScreenWindow *TForm1::screenWindow(bool control) const
{
    return control ? static_cast<ScreenWindow *>(m_form11) : static_cast<ScreenWindow *>(m_form50);
}

MenuHandler TForm1::screenMenuHandler(bool control)
{
    return screenWindow(control) ? MenuHandler([this, control] { openScreenWindow(control, false); }) : MenuHandler();
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
