// The main window on its own: menus, tray menu, log panel, tray behaviour
// and the layout toggles.
#include "agents/ui/OnlineUsersPanel.h"
#include "app/ui/EventLog.h"
#include "app/ui/TForm1.h"
#include "common/Platform.h"
#include "common/ui/MenuTable.h"
#include "monitor/ProcessSampler.h"
#include "monitor/ui/ProcessMonitorPanel.h"
#include "monitor/ui/ResetWindows.h"
#include "support/MenuOutline.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QChart>
#include <QChartView>
#include <QLabel>
#include <QLegend>
#include <QLineEdit>
#include <QLineSeries>
#include <QRegularExpression>
#include <QApplication>
#include <QContextMenuEvent>
#include <QTimer>
#include <QScrollBar>
#include <QSplitter>
#include <QValueAxis>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QHeaderView>
#include <QLayout>
#include <QImage>
#include <QStyle>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct Fixture : ConsoleScope {
};

// "Сервер 1С" with its three versions and their service commands, as the
// main menu and the tray menu both hold it.
QStringList serverSubmenu(int depth)
{
    QStringList out;
    const QString in(depth * 2, QLatin1Char(' '));
    out << in + QStringLiteral("server1C: Сервер 1С >");
    const std::pair<const char *, const char *> versions[] = {
        {"server83", "1С 8.3"}, {"server82", "1С 8.2"}, {"server81", "1С 8.1"}};
    const std::pair<const char *, const char *> commands[] = {
        {"Stop", "Остановить сервер"}, {"Start", "Запустить сервер"}, {"Restart", "Перезапустить сервер"}};
    for (const auto &[name, caption] : versions) {
        out << in + QStringLiteral("  ") + QString::fromUtf8(name) + QStringLiteral(": ") + QString::fromUtf8(caption) +
                   QStringLiteral(" >");
        for (const auto &[suffix, command] : commands)
            out << in + QStringLiteral("    ") + QString::fromUtf8(name) + QString::fromUtf8(suffix) + QStringLiteral(": ") +
                       QString::fromUtf8(command);
    }
    return out;
}

// The main menu; "Настройка ▸ Dozorix" works once the settings dialog exists.
QStringList mainMenu(bool settingsDialog)
{
    QStringList out = {
        QStringLiteral("menuProgram: Dozorix >"),
        QStringLiteral("  exit: Выход"),
        QStringLiteral("menuSettings: Настройка >"),
        QStringLiteral("  settingsDozorix: Dozorix") + (settingsDialog ? QString() : QStringLiteral(" (off)")),
        QStringLiteral("menuService: Сервис >"),
        QStringLiteral("  killAll1C: Завершить все процессы 1С, (Сервер 1С, 1С Предприятие) на этом Сервере/ПК."),
        QStringLiteral("  killClients8: Завершить все процессы 1С v8"),
        QStringLiteral("  killClients7: Аварийно завершить работу пользователей в 1С v 7 на этом сервере / ПК"),
        QStringLiteral("  killServers: Завершить все процессы Сервера 1С на этом сервере/ПК."),
        QStringLiteral("  resetByLogin: Завершить процесс 1С v8 (По Логину пользователя)"),
        QStringLiteral("  resetRemoteUser: Завершить процессы 1С v8 удаленного пользователя."),
        QStringLiteral("  -"),
        QStringLiteral("  messageToAll: Отправить сообщение "),
        QStringLiteral("  -"),
    };
    out << serverSubmenu(1);
    out << QStringList{
        QStringLiteral("  -"),
        QStringLiteral("  terminalServer: Сервер терминалов >"),
        QStringLiteral("    blockLogons: Заблокировать вход на сервер"),
        QStringLiteral("    unblockLogons: Разблокировать вход на сервер"),
        QStringLiteral("    -"),
        QStringLiteral("    logoffDisconnectedSessions: Завершить отключенные сессии"),
        QStringLiteral("    resetDisconnectedSessions: Сбросить отключенные сессии"),
        QStringLiteral("    -"),
        QStringLiteral("    disconnectSessions: Отключить сессии"),
        QStringLiteral("    logoffSessions: Завершить сессии"),
        QStringLiteral("    resetSessions: Сбросить сессии"),
        QStringLiteral("  -"),
        QStringLiteral("  backupMenu: Резервное копирование >"),
        QStringLiteral("    backupProfiles: Профили информационных баз"),
        QStringLiteral("    backupSettings: Настройки резервного копирования"),
        QStringLiteral("    -"),
        QStringLiteral("    backupRun: Быстрый \"бэкап\"") + (settingsDialog ? QString() : QStringLiteral(" (off)")),
        QStringLiteral("    -"),
        QStringLiteral("    infobaseProbe: Проверить подключение к информационным базам"),
        QStringLiteral("    infobaseDropAll: Отключить все COM-соединения"),
        QStringLiteral("  -"),
        QStringLiteral("  viewScreen: Смотреть экран пользователя") + (settingsDialog ? QString() : QStringLiteral(" (off)")),
        QStringLiteral("  controlScreen: Смотреть экран пользователя (Управление)") + (settingsDialog ? QString() : QStringLiteral(" (off)")),
    };
    return out;
}

QStringList trayMenu(bool windows)
{
    QStringList out = {
        QStringLiteral("killAll1C: Завершить все процессы 1С, (Сервер 1С, 1С Предприятие) на этом Сервере/ПК."),
        QStringLiteral("killClients8: Завершить все процессы 1С Предприятия  на этом Сервере/ПК."),
        QStringLiteral("killClients7: Аварийное завершение работы пользователей в 1С v7"),
        QStringLiteral("killServers: Завершить все процессы Сервера 1С на этом сервере/ПК."),
        QStringLiteral("resetByLogin: Завершить процесс 1С v8 (По Логину пользователя)"),
        QStringLiteral("resetRemoteUser: Завершить работу удаленного пользователя в 1С."),
        QStringLiteral("-"),
        QStringLiteral("messageToAll: Отправить сообщение "),
        QStringLiteral("-"),
    };
    out << serverSubmenu(0);
    out << QStringList{
        QStringLiteral("-"),
        QStringLiteral("terminalServer: Сервер терминалов >"),
        QStringLiteral("  blockLogons: Заблокировать вход на сервер TS"),
        QStringLiteral("  unblockLogons: Разблокировать вход на сервер TS"),
        QStringLiteral("  logoffDisconnectedSessions: Завершить отключенные сессии"),
        QStringLiteral("  resetDisconnectedSessions: Сбросить отключенные сессии"),
        QStringLiteral("  disconnectSessions: Отключить сессии"),
        QStringLiteral("  logoffSessions: Завершить сессии"),
        QStringLiteral("  resetSessions: Сбросить сессии"),
        QStringLiteral("-"),
        QStringLiteral("backupMenu: Резервное копирование >"),
        QStringLiteral("  backupProfiles: Профили информационных баз"),
        QStringLiteral("  backupSettings: Настройки резервного копирования"),
        QStringLiteral("  -"),
        QStringLiteral("  backupRun: Быстрый \"бэкап\"") + (windows ? QString() : QStringLiteral(" (off)")),
        QStringLiteral("  -"),
        QStringLiteral("  infobaseProbe: Проверить подключение к информационным базам"),
        QStringLiteral("  infobaseDropAll: Отключить все COM-соединения"),
        QStringLiteral("-"),
        QStringLiteral("viewScreen: Смотреть экран пользователя") + (windows ? QString() : QStringLiteral(" (off)")),
        QStringLiteral("controlScreen: Смотреть экран пользователя (Управление)") + (windows ? QString() : QStringLiteral(" (off)")),
        QStringLiteral("-"),
        QStringLiteral("maximise: Развернуть на весь экран"),
        QStringLiteral("exit: Выход"),
    };
    return out;
}

// The menus of the main window, by the name the cases use.
const QWidget *menuOf(const TForm1 &w, const QString &menu)
{
    if (menu == QStringLiteral("main"))
        return w.menuBar();
    if (menu == QStringLiteral("tray"))
        return w.trayMenu();
    if (menu == QStringLiteral("process list"))
        return w.processMonitor()->processMenu();
    if (menu == QStringLiteral("log"))
        return w.eventLog()->popupMenu();
    return nullptr;
}

// Lets the window finish what it does one event-loop turn later (going to
// the tray after a minimise) and the layout passes it has posted.
void settle()
{
    bool done = false;
    QTimer::singleShot(0, [&done] { done = true; });
    waitUntil([&done] { return done; }, 3000);
    QCoreApplication::processEvents();
}

// A widget's rectangle in the coordinates of an ancestor.
QRect rectIn(const QWidget *ancestor, const QWidget *widget)
{
    return QRect(widget->mapTo(ancestor, QPoint(0, 0)), widget->size());
}

// A process table of one kept process whose figures are the widest the
// process list shows: a seven-digit PID and a working set of seven digits of
// kilobytes.
class WidestFiguresTable : public ProcessTable
{
public:
    std::vector<ProcessInfo> snapshot() override
    {
        ProcessInfo p;
        p.pid = 9999999;
        p.ppid = 1;
        p.imageName = QStringLiteral("rphost");
        p.ownerName = QStringLiteral("usr1cv8");
        p.residentBytes = 9999999ull * 1024;
        return {p};
    }
    int processorCount() override { return 1; }
};

// Whether a box shows the whole of a figure: drawn in the box it looks the
// same as drawn in a box of the same kind with room to spare (nothing
// scrolled away at the left), and its last drawn column lies inside the
// box's frame (nothing cut at the right).
::testing::AssertionResult showsWhole(QLineEdit *box, const QString &figure)
{
    QLineEdit roomy(box->parentWidget());
    roomy.setReadOnly(box->isReadOnly());
    roomy.setFont(box->font());
    roomy.setPalette(box->palette());
    roomy.setGeometry(0, 0, box->width() + 200, box->height());
    const auto picture = [](QLineEdit *edit, const QString &text) {
        edit->setText(text);
        QImage image(edit->size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        edit->render(&image);
        return image;
    };
    const QString shown = box->text();
    const QImage inBox = picture(box, figure);
    box->setText(shown);
    const QImage blank = picture(&roomy, QString());
    const QImage whole = picture(&roomy, figure);
    int last = -1;
    for (int x = 0; x < whole.width(); ++x) {
        for (int y = 0; y < whole.height(); ++y) {
            if (whole.pixel(x, y) != blank.pixel(x, y))
                last = x;
        }
    }
    if (last < 0)
        return ::testing::AssertionFailure() << "nothing drawn";
    const int frame = box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, box);
    if (last >= box->width() - frame)
        return ::testing::AssertionFailure() << "the figure needs " << last + 1 + frame << " px, the box is "
                                             << box->width() << " px wide";
    if (inBox.copy(0, 0, last + 1, inBox.height()) != whole.copy(0, 0, last + 1, whole.height()))
        return ::testing::AssertionFailure() << "the box shows the figure shifted or cut (" << box->width() << " px)";
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(MainWindow, MenusHoldEveryItemInOrderWithItsNameCaptionAndState)
{
    const struct {
        const char *menu;
        bool otherWindows; // createOtherWindows has run
        QStringList expected;
    } cases[] = {
        {"main", false, mainMenu(false)},
        {"main", true, mainMenu(true)},
        {"tray", false, trayMenu(false)},
        {"tray", true, trayMenu(true)},
        {"process list", true, {QStringLiteral("endTask: Снять задачу")}},
        {"log", true, {QStringLiteral("clearLog: Очистить")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.menu) + (c.otherWindows ? " with the other windows" : ""));
        Fixture fx;
        TForm1 w;
        if (c.otherWindows)
            w.createOtherWindows();
        const QWidget *menu = menuOf(w, QString::fromUtf8(c.menu));
        ASSERT_NE(menu, nullptr);
        EXPECT_EQ(menuOutline(menu), c.expected);
    }
}

TEST(MainWindow, MenuItemNamesAreAsciiAndUniqueWithinEachMenu)
{
    Fixture fx;
    TForm1 w;
    w.createOtherWindows();
    for (const char *menu : {"main", "tray", "process list", "log"}) {
        SCOPED_TRACE(menu);
        const QWidget *m = menuOf(w, QString::fromUtf8(menu));
        EXPECT_FALSE(menuNames(m).isEmpty());
        EXPECT_EQ(badMenuNames(m), QStringList());
    }
}

TEST(MainWindow, RightClickIntoTheLogOffersClearWhichEmptiesIt)
{
    Fixture fx;
    TForm1 w;
    w.show();
    w.CText(QStringLiteral("строка"), kGreen);
    EventLog *log = w.eventLog();
    QWidget *shown = nullptr;
    QTimer::singleShot(0, log, [&] {
        waitUntil([] { return QApplication::activePopupWidget() != nullptr; }, 3000);
        shown = QApplication::activePopupWidget();
        if (QAction *clear = findMenuAction(log->popupMenu(), QStringLiteral("clearLog")))
            clear->trigger();
        if (shown)
            shown->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), log->viewport()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(log->viewport(), &event);
    EXPECT_EQ(shown, log->popupMenu());
    EXPECT_EQ(log->lineCount(), 0);
}

TEST(MainWindow, LayoutCaptionsAndStartValues)
{
    Fixture fx;
    TForm1 w;
    EXPECT_EQ(w.processMonitor()->chart()->title(), QStringLiteral("Загрузка процессора %  - 1С Предприятие  и  Сервер 1С."));
    EXPECT_FALSE(w.processMonitor()->chart()->legend()->isVisible());
    EXPECT_EQ(w.processMonitor()->clientSeries()->color(), QColor(0x00, 0x80, 0xFF));
    EXPECT_EQ(w.processMonitor()->serverSeries()->color(), QColor(0x00, 0x80, 0x00));
    EXPECT_EQ(w.processMonitor()->thirdSeries()->color(), QColor(0xFF, 0x00, 0x00));
    EXPECT_EQ(w.processMonitor()->axisX()->min(), 0);
    EXPECT_EQ(w.processMonitor()->axisX()->max(), 100);
    EXPECT_EQ(w.processMonitor()->axisY()->max(), 100);
    EXPECT_EQ(w.processMonitor()->onlineUsersLabel()->text(), QStringLiteral("Пользователей онлайн (CS):"));
    for (QLineEdit *box : {w.processMonitor()->totalLoadBox(), w.processMonitor()->clientLoadBox(), w.processMonitor()->serverLoadBox(), w.processMonitor()->onlineUsersBox(),
                           w.processMonitor()->memoryBox(), w.processMonitor()->processCountBox()}) {
        EXPECT_EQ(box->text(), QStringLiteral("0"));
        EXPECT_TRUE(box->isReadOnly());
    }
    EXPECT_EQ(w.processMonitor()->clientLoadBox()->toolTip(), QStringLiteral("Нагрузка на ЦП которую создает клиент 1С (Тонкий , Толстый)"));
    EXPECT_EQ(w.processMonitor()->serverLoadBox()->toolTip(),
              QStringLiteral("Нагрузка на ЦП которую создают процессы сервера 1С (Кластера серверов)"));

    QTableWidget *list = w.processMonitor()->processList();
    const QStringList headers = {QStringLiteral("Процессы 1C +"), QStringLiteral("PID"), QStringLiteral("CPU %"),
                                 QStringLiteral("ОЗУ"), QStringLiteral("Пользователь"), QStringLiteral("Описание процесса")};
    const int widths[] = {148, 40, 40, 70, 90, 215};
    // The figure columns (PID, CPU %, ОЗУ) widen beyond their design widths
    // to their widest values under the fonts in use (see
    // FigureColumnsAndBoxesHoldTheirWidestValues); the others keep them.
    const bool figures[] = {false, true, true, true, false, false};
    ASSERT_EQ(list->columnCount(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(list->horizontalHeaderItem(i)->text(), headers[i]);
        if (figures[i])
            EXPECT_GE(list->columnWidth(i), widths[i]);
        else
            EXPECT_EQ(list->columnWidth(i), widths[i]);
    }
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);

    QStringList tabs;
    for (int i = 0; i < w.tabs()->count(); ++i)
        tabs << w.tabs()->tabText(i);
    EXPECT_EQ(tabs, (QStringList{QStringLiteral("Пользователи онлайн"), QStringLiteral("Сервер терминалов"), QStringLiteral("Чат")}));
    EXPECT_EQ(w.tabs()->currentIndex(), 1);

    // The log starts with its caption line; the log panel is 70 px high once shown.
    EXPECT_EQ(w.eventLog()->toPlainText(), QStringLiteral("ЛОГ- Событий."));
    w.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.splitter()->sizes().value(1), 70);
}

TEST(MainWindow, LogLinesColoursClearingAndFileMirror)
{
    Fixture fx;
    TForm1 w;
    EventLog *log = w.eventLog();
    log->clearLog();
    EXPECT_EQ(log->lineCount(), 0);
    w.CText(QStringLiteral("первая"), kGreen);
    w.CText(QStringLiteral("вторая"), kRed);
    ASSERT_EQ(log->lineCount(), 2);
    EXPECT_EQ(log->lineText(0), QStringLiteral("первая"));
    EXPECT_EQ(log->lineColour(0), kGreen);
    EXPECT_EQ(log->lineColour(1), kRed);
    EXPECT_EQ(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());

    // "Очистить" empties the panel; the file keeps every line.
    QAction *clear = findMenuAction(log->popupMenu(), QStringLiteral("clearLog"));
    ASSERT_NE(clear, nullptr);
    clear->trigger();
    EXPECT_EQ(log->lineCount(), 0);
    EXPECT_TRUE(log->toPlainText().isEmpty());
    w.CText(QStringLiteral("третья"), kBlack);
    EXPECT_EQ(log->lineCount(), 1);

    const QStringList file = QString::fromUtf8(fx.home.read(QStringLiteral("Dozorix.log"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(file.size(), 3);
    const QRegularExpression shape(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\d+ \\[(\\w+)\\] (.*)$"));
    const QStringList colours = {QStringLiteral("green"), QStringLiteral("red"), QStringLiteral("black")};
    const QStringList texts = {QStringLiteral("первая"), QStringLiteral("вторая"), QStringLiteral("третья")};
    for (int i = 0; i < 3; ++i) {
        const auto m = shape.match(file[i]);
        ASSERT_TRUE(m.hasMatch()) << file[i].toStdString();
        EXPECT_EQ(m.captured(1), colours[i]);
        EXPECT_EQ(m.captured(2), texts[i]);
    }
}

TEST(MainWindow, PanelKeepsTheNewestLinesOnly)
{
    Fixture fx;
    EventLog log;
    log.clearLog();
    const int total = EventLog::kMaxLines + 25;
    for (int i = 0; i < total; ++i)
        log.CText(QString::number(i), kGreen);
    EXPECT_EQ(log.lineCount(), EventLog::kMaxLines);
    EXPECT_EQ(log.lineText(0), QString::number(25));
    EXPECT_EQ(log.lineText(EventLog::kMaxLines - 1), QString::number(total - 1));
    log.file().close();
    const QByteArray file = fx.home.read(QStringLiteral("Dozorix.log"));
    EXPECT_EQ(file.count('\n'), total);
}

TEST(MainWindow, ClickIntoTheLogMovesTheHiddenCaretToTheEnd)
{
    Fixture fx;
    TForm1 w;
    w.show();
    for (int i = 0; i < 50; ++i)
        w.CText(QStringLiteral("строка %1").arg(i), kGreen);
    EventLog *log = w.eventLog();
    QTest::mouseClick(log->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(log->textCursor().position(), log->document()->characterCount() - 1);
    EXPECT_EQ(log->cursorWidth(), 0);
    EXPECT_TRUE(log->isReadOnly());
}

TEST(MainWindow, MinimiseGoesToTheTrayAndRestoresMaximised)
{
    Fixture fx;
    TForm1 w;
    w.systemTrayAvailable = [] { return true; };
    w.showMaximized();
    QCoreApplication::processEvents();
    w.setWindowState(w.windowState() | Qt::WindowMinimized);
    ASSERT_TRUE(waitUntil([&] { return !w.isVisible(); }, 3000));
    EXPECT_TRUE(w.trayIcon()->isVisible());

    emit w.trayIcon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.windowState() & Qt::WindowMinimized);
    EXPECT_TRUE(w.windowState() & Qt::WindowMaximized);
    EXPECT_FALSE(w.trayIcon()->isVisible());

    // "Развернуть на весь экран" from the tray menu.
    w.minimiseToTray();
    EXPECT_FALSE(w.isVisible());
    QAction *maximise = findMenuAction(w.trayMenu(), QStringLiteral("maximise"));
    ASSERT_NE(maximise, nullptr);
    maximise->trigger();
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.windowState() & Qt::WindowMaximized);
    EXPECT_FALSE(w.trayIcon()->isVisible());
}

TEST(MainWindow, StartInTrayWhenTreyIsOn)
{
    Fixture fx;
    fx.home.write(QStringLiteral("Example.ini"), "[settings]\r\nTrey=1\r\n");
    TForm1 w;
    w.systemTrayAvailable = [] { return true; };
    w.showMaximized();
    w.activateWindow();
    ASSERT_TRUE(waitUntil([&] { return w.trayIcon()->isVisible() && !w.isVisible(); }, 3000));
    EXPECT_TRUE(w.TRAY);
}

TEST(MainWindow, DoubleClicksToggleTheLayout)
{
    Fixture fx;
    TForm1 w;
    w.show();
    QTest::mouseDClick(w.processMonitor()->chartView()->viewport(), Qt::LeftButton);
    EXPECT_FALSE(w.processMonitor()->processList()->isVisible());
    EXPECT_FALSE(w.tabs()->isVisible());
    EXPECT_FALSE(w.processMonitor()->statusRow1()->isVisible());
    EXPECT_FALSE(w.processMonitor()->statusRow2()->isVisible());
    EXPECT_TRUE(w.processMonitor()->chartView()->isVisible());
    QTest::mouseDClick(w.processMonitor()->chartView()->viewport(), Qt::LeftButton);
    EXPECT_TRUE(w.processMonitor()->processList()->isVisible());
    EXPECT_TRUE(w.tabs()->isVisible());
    EXPECT_TRUE(w.processMonitor()->statusRow2()->isVisible());

    QTest::mouseDClick(w.processMonitor()->processList()->viewport(), Qt::LeftButton);
    EXPECT_FALSE(w.processMonitor()->chartView()->isVisible());
    EXPECT_FALSE(w.tabs()->isVisible());
    EXPECT_FALSE(w.processMonitor()->statusRow1()->isVisible());
    EXPECT_TRUE(w.processMonitor()->processList()->isVisible());
    QTest::mouseDClick(w.processMonitor()->processList()->viewport(), Qt::LeftButton);
    EXPECT_TRUE(w.processMonitor()->chartView()->isVisible());
    EXPECT_TRUE(w.processMonitor()->statusRow1()->isVisible());
}

// Every way to the tray and back, on a desktop with a tray and on one
// without (a bare X server, many Wayland sessions). With a tray the window
// hides behind the icon; without one there is no icon to come back through,
// so the window stays on the task bar, minimised, and no icon is shown.
// Every way back brings the window up maximised and leaves no icon.
TEST(MainWindow, WaysToTheTrayAndBackKeepTheWindowReachableWithAndWithoutATray)
{
    enum class Away { MinimiseButton, TreyOnActivation, ResetWindowTrayButton };
    enum class Back { TrayDoubleClick, TrayMenuMaximise, ResetWindowRestoreButton };
    const std::pair<Away, const char *> aways[] = {{Away::MinimiseButton, "minimise button"},
                                                   {Away::TreyOnActivation, "Trey=1 when the window becomes active"},
                                                   {Away::ResetWindowTrayButton, "reset window's tray button"}};
    const std::pair<Back, const char *> backs[] = {{Back::TrayDoubleClick, "tray double-click"},
                                                   {Back::TrayMenuMaximise, "tray menu maximise"},
                                                   {Back::ResetWindowRestoreButton, "reset window's restore button"}};
    for (const bool tray : {true, false}) {
        SCOPED_TRACE(tray ? "with a tray" : "without a tray");
        for (const auto &[away, awayName] : aways) {
            SCOPED_TRACE(awayName);
            Fixture fx;
            if (away == Away::TreyOnActivation)
                fx.home.write(QStringLiteral("Example.ini"), "[settings]\r\nTrey=1\r\n");
            TForm1 w;
            w.systemTrayAvailable = [tray] { return tray; };
            w.createOtherWindows();
            w.showMaximized();
            w.activateWindow();
            settle();
            if (away == Away::MinimiseButton)
                w.setWindowState(w.windowState() | Qt::WindowMinimized);
            else if (away == Away::ResetWindowTrayButton)
                w.form5()->trayButton()->click();
            if (tray) {
                EXPECT_TRUE(waitUntil([&] { return !w.isVisible() && w.trayIcon()->isVisible(); }, 3000));
                continue;
            }
            ASSERT_TRUE(waitUntil([&] { return bool(w.windowState() & Qt::WindowMinimized); }, 3000));
            settle();
            EXPECT_TRUE(w.isVisible()); // on the task bar
            EXPECT_TRUE(w.windowState() & Qt::WindowMinimized);
            EXPECT_FALSE(w.trayIcon()->isVisible());
            // The user brings it back from the task bar, and it stays.
            w.setWindowState((w.windowState() & ~Qt::WindowMinimized) | Qt::WindowMaximized);
            w.activateWindow();
            settle();
            EXPECT_TRUE(w.isVisible());
            EXPECT_FALSE(w.windowState() & Qt::WindowMinimized);
        }
        for (const auto &[back, backName] : backs) {
            SCOPED_TRACE(backName);
            Fixture fx;
            TForm1 w;
            w.systemTrayAvailable = [tray] { return tray; };
            w.createOtherWindows();
            w.showMaximized();
            settle();
            w.setWindowState(w.windowState() | Qt::WindowMinimized);
            settle();
            EXPECT_EQ(w.isVisible(), !tray);
            if (back == Back::TrayDoubleClick) {
                emit w.trayIcon()->activated(QSystemTrayIcon::DoubleClick);
            } else if (back == Back::TrayMenuMaximise) {
                QAction *maximise = findMenuAction(w.trayMenu(), QStringLiteral("maximise"));
                ASSERT_NE(maximise, nullptr);
                maximise->trigger();
            } else {
                w.form5()->restoreButton()->click();
            }
            settle();
            EXPECT_TRUE(w.isVisible());
            EXPECT_FALSE(w.windowState() & Qt::WindowMinimized);
            EXPECT_TRUE(w.windowState() & Qt::WindowMaximized);
            EXPECT_FALSE(w.trayIcon()->isVisible());
        }
    }
}

// Each double-click toggle lets its panel take the whole area above the log
// (the window's central area less the log) and puts every panel back where
// it was on the second double-click.
TEST(MainWindow, LayoutTogglesFillTheAreaAboveTheLogAndPutEverythingBack)
{
    using Pick = QWidget *(*)(TForm1 &);
    const struct {
        const char *name;
        Pick panel;   // what fills the area
        Pick clicked; // where the double-click goes
    } cases[] = {
        {"chart", [](TForm1 &w) -> QWidget * { return w.processMonitor()->chartView(); },
         [](TForm1 &w) -> QWidget * { return w.processMonitor()->chartView()->viewport(); }},
        {"process list", [](TForm1 &w) -> QWidget * { return w.processMonitor()->processList(); },
         [](TForm1 &w) -> QWidget * { return w.processMonitor()->processList()->viewport(); }},
        {"tab panel (online-users table)", [](TForm1 &w) -> QWidget * { return w.tabs(); },
         [](TForm1 &w) -> QWidget * { return w.onlineUsersPanel()->table()->viewport(); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Fixture fx;
        TForm1 w;
        w.show();
        w.tabs()->setCurrentIndex(0); // "Пользователи онлайн"
        settle();
        QWidget *central = w.centralWidget();
        const QRect area = rectIn(central, w.splitter()->widget(0));
        const QMargins margins = central->layout()->contentsMargins();
        ASSERT_EQ(area.left(), margins.left());
        ASSERT_EQ(area.top(), margins.top());
        ASSERT_EQ(area.right(), central->width() - 1 - margins.right());
        ASSERT_LT(area.bottom(), rectIn(central, w.eventLog()).top());
        const QWidget *panels[] = {w.processMonitor()->chartView(), w.processMonitor()->statusRow1(), w.processMonitor()->statusRow2(), w.processMonitor()->processList(), w.tabs(), w.eventLog()};
        std::vector<QRect> before;
        for (const QWidget *p : panels)
            before.push_back(rectIn(central, p));
        EXPECT_LT(rectIn(central, c.panel(w)).width() * rectIn(central, c.panel(w)).height(), area.width() * area.height());

        QTest::mouseDClick(c.clicked(w), Qt::LeftButton);
        settle();
        EXPECT_EQ(rectIn(central, c.panel(w)), area);
        EXPECT_EQ(rectIn(central, w.eventLog()), before.back());

        QTest::mouseDClick(c.clicked(w), Qt::LeftButton);
        settle();
        for (size_t i = 0; i < std::size(panels); ++i) {
            EXPECT_TRUE(panels[i]->isVisible()) << i;
            EXPECT_EQ(rectIn(central, panels[i]), before[i]) << i;
        }
    }
}

// Under the fonts actually used, at the window's start size, the figure
// columns of the process list hold their widest values ("100.00" of the idle
// row, a seven-digit PID, seven digits of kilobytes) and the boxes their
// longest figures, with no digit elided or scrolled away; the design widths
// stay the least widths.
TEST(MainWindow, FigureColumnsAndBoxesHoldTheirWidestValues)
{
    Fixture fx;
    ScopedInstance<ProcessTable> table{std::make_shared<WidestFiguresTable>()};
    TForm1 w;
    w.show();
    settle();
    // The start size: the design size, widened where the fonts need more.
    ASSERT_FALSE(w.windowState() & (Qt::WindowMaximized | Qt::WindowMinimized));
    ASSERT_EQ(w.height(), 702);
    ASSERT_GE(w.width(), 880);
    // The first refresh: the idle row shows 100 less one hundredth of a
    // percent per millisecond elapsed, so "100.00" once a few hundred
    // milliseconds have passed.
    quietFor(400);
    w.processMonitor()->RefreshInfo1();
    QTableWidget *list = w.processMonitor()->processList();
    ASSERT_EQ(list->rowCount(), 2); // the idle row and rphost.exe

    // A cell's text is drawn inside the focus-frame margin (plus one pixel)
    // on each side; the grid line takes one more pixel of the column.
    const int textMargin = list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
    const int grid = list->showGrid() ? 1 : 0;
    const struct {
        int column;
        int design;
        const char *widest;
    } columns[] = {
        {ProcessSampler::ColPid, 40, "9999999"},
        {ProcessSampler::ColCpu, 40, "100.00"},
        {ProcessSampler::ColMemory, 70, "9999999 KБ"},
    };
    for (const auto &c : columns) {
        const QString widest = QString::fromUtf8(c.widest);
        SCOPED_TRACE(c.widest);
        const int width = list->columnWidth(c.column);
        EXPECT_GE(width, c.design);
        EXPECT_GE(width, QFontMetrics(list->font()).horizontalAdvance(widest) + 2 * textMargin + grid);
        bool shown = false;
        for (int r = 0; r < list->rowCount(); ++r) {
            const QModelIndex index = list->model()->index(r, c.column);
            const QString text = index.data().toString();
            shown = shown || text == widest;
            const QVariant font = index.data(Qt::FontRole);
            const QFontMetrics fm(font.isValid() ? font.value<QFont>() : list->font());
            EXPECT_GE(width, fm.horizontalAdvance(text) + 2 * textMargin + grid) << text.toStdString();
            EXPECT_GE(width, list->sizeHintForIndex(index).width() + grid) << text.toStdString();
        }
        EXPECT_TRUE(shown) << "the list shows the widest value";
    }
    // The columns without figures keep their design widths.
    EXPECT_EQ(list->columnWidth(ProcessSampler::ColImage), 148);
    EXPECT_EQ(list->columnWidth(ProcessSampler::ColUser), 90);
    EXPECT_EQ(list->columnWidth(ProcessSampler::ColDescription), 215);

    const QStringList loads = {QStringLiteral("23.67"), QStringLiteral("99.99"), QStringLiteral("100.01")};
    const struct {
        const char *name;
        QLineEdit *box;
        QStringList figures;
    } boxes[] = {
        {"Загрузка процессора 1C %:", w.processMonitor()->totalLoadBox(), loads},
        {"1С Предприятие:", w.processMonitor()->clientLoadBox(), loads},
        {"Сервер 1С:", w.processMonitor()->serverLoadBox(), loads},
        {"1C ОЗУ:", w.processMonitor()->memoryBox(), {QStringLiteral("999.99 KB"), QStringLiteral("999.99 MB"), QStringLiteral("999.99 GB"), QStringLiteral("999.99 TB")}},
        {"Пользователей онлайн:", w.processMonitor()->onlineUsersBox(), {QStringLiteral("9999")}},
        {"Процессов 1С:", w.processMonitor()->processCountBox(), {QStringLiteral("9999")}},
    };
    const QRect window = w.rect();
    for (const auto &b : boxes) {
        SCOPED_TRACE(b.name);
        EXPECT_TRUE(window.contains(QRect(b.box->mapTo(&w, QPoint(0, 0)), b.box->size())));
        for (const QString &figure : b.figures)
            EXPECT_TRUE(showsWhole(b.box, figure)) << figure.toStdString();
    }
}
