// The main window on its own: menus, tray menu, log panel, tray behaviour
// and the layout toggles.
#include "EventLog.h"
#include "TForm1.h"
#include "TestSupport.h"

#include <QAction>
#include <QChart>
#include <QChartView>
#include <QLabel>
#include <QLegend>
#include <QLineEdit>
#include <QLineSeries>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSplitter>
#include <QValueAxis>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct Fixture {
    ProgramHome home;
    ScopedTimeScale scale{100};
    ScopedEnv scope{"DOZORIX_INSTANCE_SCOPE", QFile::encodeName(home.path())};
};

// The menu as text: one entry per line, "-" for a separator, submenus
// indented, "(off)" after items that are not available yet.
void describe(const QMenu *menu, int depth, QStringList *out)
{
    for (QAction *a : menu->actions()) {
        const QString indent(depth * 2, QLatin1Char(' '));
        if (a->isSeparator()) {
            *out << indent + QStringLiteral("-");
        } else if (a->menu()) {
            *out << indent + a->text() + QStringLiteral(" >");
            describe(a->menu(), depth + 1, out);
        } else {
            *out << indent + a->text() + (a->isEnabled() ? QString() : QStringLiteral(" (off)"));
        }
    }
}

QStringList serverSubmenu(int depth, bool enabled)
{
    QStringList out;
    const QString in(depth * 2, QLatin1Char(' '));
    const QString off = enabled ? QString() : QStringLiteral(" (off)");
    for (const char *v : {"1С 8.3", "1С 8.2", "1С 8.1"}) {
        out << in + QString::fromUtf8(v) + QStringLiteral(" >");
        for (const char *c : {"Остановить сервер", "Запустить сервер", "Перезапустить сервер"})
            out << in + QStringLiteral("  ") + QString::fromUtf8(c) + off;
    }
    return out;
}

} // namespace

TEST(MainWindow, MainMenuHoldsEveryItemWithItsExactCaption)
{
    Fixture fx;
    TForm1 w;
    w.createOtherWindows();
    QStringList got;
    for (QAction *top : w.menuBar()->actions()) {
        got << top->text() + QStringLiteral(" >");
        describe(top->menu(), 1, &got);
    }
    QStringList expected = {
        QStringLiteral("Dozorix >"),
        QStringLiteral("  Выход"),
        QStringLiteral("Настройка >"),
        QStringLiteral("  Dozorix"),
        QStringLiteral("Сервис >"),
        QStringLiteral("  Завершить все процессы 1С, (Сервер 1С, 1С Предприятие) на этом Сервере/ПК."),
        QStringLiteral("  Завершить все процессы 1С v8"),
        QStringLiteral("  Аварийно завершить работу пользователей в 1С v 7 на этом сервере / ПК"),
        QStringLiteral("  Завершить все процессы Сервера 1С на этом сервере/ПК."),
        QStringLiteral("  Завершить процесс 1С v8 (По Логину пользователя)"),
        QStringLiteral("  Завершить процессы 1С v8 удаленного пользователя."),
        QStringLiteral("  -"),
        QStringLiteral("  Отправить сообщение  (off)"),
        QStringLiteral("  -"),
        QStringLiteral("  Сервер 1С >"),
    };
    expected << serverSubmenu(2, true);
    expected << QStringList{
        QStringLiteral("  -"),
        QStringLiteral("  Сервер терминалов >"),
        QStringLiteral("    Заблокировать вход на сервер (off)"),
        QStringLiteral("    Разблокировать вход на сервер (off)"),
        QStringLiteral("    -"),
        QStringLiteral("    Завершить отключенные сессии (off)"),
        QStringLiteral("    Сбросить отключенные сессии (off)"),
        QStringLiteral("    -"),
        QStringLiteral("    Отключить сессии (off)"),
        QStringLiteral("    Завершить сессии (off)"),
        QStringLiteral("    Сбросить сессии (off)"),
        QStringLiteral("  -"),
        QStringLiteral("  Смотреть экран пользователя (off)"),
        QStringLiteral("  Смотреть экран пользователя (Управление) (off)"),
    };
    EXPECT_EQ(got, expected);
}

TEST(MainWindow, TrayMenuHoldsEveryItemWithItsExactCaption)
{
    Fixture fx;
    TForm1 w;
    QStringList got;
    describe(w.trayMenu(), 0, &got);
    QStringList expected = {
        QStringLiteral("Завершить все процессы 1С, (Сервер 1С, 1С Предприятие) на этом Сервере/ПК."),
        QStringLiteral("Завершить все процессы 1С Предприятия  на этом Сервере/ПК."),
        QStringLiteral("Аварийное завершение работы пользователей в 1С v7"),
        QStringLiteral("Завершить все процессы Сервера 1С на этом сервере/ПК."),
        QStringLiteral("Завершить процесс 1С v8 (По Логину пользователя)"),
        QStringLiteral("Завершить работу удаленного пользователя в 1С."),
        QStringLiteral("-"),
        QStringLiteral("Отправить сообщение  (off)"),
        QStringLiteral("-"),
        QStringLiteral("Сервер 1С >"),
    };
    expected << serverSubmenu(1, true);
    expected << QStringList{
        QStringLiteral("-"),
        QStringLiteral("Сервер терминалов >"),
        QStringLiteral("  Заблокировать вход на сервер TS (off)"),
        QStringLiteral("  Разблокировать вход на сервер TS (off)"),
        QStringLiteral("  Завершить отключенные сессии (off)"),
        QStringLiteral("  Сбросить отключенные сессии (off)"),
        QStringLiteral("  Отключить сессии (off)"),
        QStringLiteral("  Завершить сессии (off)"),
        QStringLiteral("  Сбросить сессии (off)"),
        QStringLiteral("-"),
        QStringLiteral("Смотреть экран пользователя (off)"),
        QStringLiteral("Смотреть экран пользователя (Управление) (off)"),
        QStringLiteral("-"),
        QStringLiteral("Развернуть на весь экран"),
        QStringLiteral("Выход"),
    };
    EXPECT_EQ(got, expected);
}

TEST(MainWindow, LayoutCaptionsAndStartValues)
{
    Fixture fx;
    TForm1 w;
    EXPECT_EQ(w.chart()->title(), QStringLiteral("Загрузка процессора %  - 1С Предприятие  и  Сервер 1С."));
    EXPECT_FALSE(w.chart()->legend()->isVisible());
    EXPECT_EQ(w.clientSeries()->color(), QColor(0x00, 0x80, 0xFF));
    EXPECT_EQ(w.serverSeries()->color(), QColor(0x00, 0x80, 0x00));
    EXPECT_EQ(w.thirdSeries()->color(), QColor(0xFF, 0x00, 0x00));
    EXPECT_EQ(w.axisX()->min(), 0);
    EXPECT_EQ(w.axisX()->max(), 100);
    EXPECT_EQ(w.axisY()->max(), 100);
    EXPECT_EQ(w.onlineUsersLabel()->text(), QStringLiteral("Пользователей онлайн (CS):"));
    for (QLineEdit *box : {w.totalLoadBox(), w.clientLoadBox(), w.serverLoadBox(), w.onlineUsersBox(),
                           w.memoryBox(), w.processCountBox()}) {
        EXPECT_EQ(box->text(), QStringLiteral("0"));
        EXPECT_TRUE(box->isReadOnly());
    }
    EXPECT_EQ(w.clientLoadBox()->toolTip(), QStringLiteral("Нагрузка на ЦП которую создает клиент 1С (Тонкий , Толстый)"));
    EXPECT_EQ(w.serverLoadBox()->toolTip(),
              QStringLiteral("Нагрузка на ЦП которую создают процессы сервера 1С (Кластера серверов)"));

    QTableWidget *list = w.processList();
    const QStringList headers = {QStringLiteral("Процессы 1C +"), QStringLiteral("PID"), QStringLiteral("CPU %"),
                                 QStringLiteral("ОЗУ"), QStringLiteral("Пользователь"), QStringLiteral("Описание процесса")};
    const int widths[] = {148, 40, 40, 70, 90, 215};
    ASSERT_EQ(list->columnCount(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(list->horizontalHeaderItem(i)->text(), headers[i]);
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
    log->clearAction()->trigger();
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
    w.trayMenuAction(QStringLiteral("Развернуть на весь экран"))->trigger();
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.windowState() & Qt::WindowMaximized);
    EXPECT_FALSE(w.trayIcon()->isVisible());
}

TEST(MainWindow, StartInTrayWhenTreyIsOn)
{
    Fixture fx;
    fx.home.write(QStringLiteral("Example.ini"), "[settings]\r\nTrey=1\r\n");
    TForm1 w;
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
    QTest::mouseDClick(w.chartView()->viewport(), Qt::LeftButton);
    EXPECT_FALSE(w.processList()->isVisible());
    EXPECT_FALSE(w.tabs()->isVisible());
    EXPECT_FALSE(w.statusRow1()->isVisible());
    EXPECT_FALSE(w.statusRow2()->isVisible());
    EXPECT_TRUE(w.chartView()->isVisible());
    QTest::mouseDClick(w.chartView()->viewport(), Qt::LeftButton);
    EXPECT_TRUE(w.processList()->isVisible());
    EXPECT_TRUE(w.tabs()->isVisible());
    EXPECT_TRUE(w.statusRow2()->isVisible());

    QTest::mouseDClick(w.processList()->viewport(), Qt::LeftButton);
    EXPECT_FALSE(w.chartView()->isVisible());
    EXPECT_FALSE(w.tabs()->isVisible());
    EXPECT_FALSE(w.statusRow1()->isVisible());
    EXPECT_TRUE(w.processList()->isVisible());
    QTest::mouseDClick(w.processList()->viewport(), Qt::LeftButton);
    EXPECT_TRUE(w.chartView()->isVisible());
    EXPECT_TRUE(w.statusRow1()->isVisible());
}
