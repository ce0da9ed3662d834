// The tabs "Пользователи онлайн" and "Чат" in the real main window, driven
// through their widgets, with real agents over TCP.
#include "agents/AgentEngineSupport.h"
#include "agents/AgentServer.h"
#include "agents/OnlineUsersModel.h"
#include "agents/ui/ChatPanel.h"
#include "agents/ui/OnlineUsersPanel.h"
#include "app/ui/EventLog.h"
#include "app/ui/TForm1.h"
#include "common/ui/MenuTable.h"
#include "monitor/ui/ProcessMonitorPanel.h"
#include "peers/AgentPeer.h"
#include "support/LocalPort.h"
#include "support/MenuOutline.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QChartView>
#include <QContextMenuEvent>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>

using namespace dozorix;
using namespace dozorix::test;

namespace {

constexpr int kOnlineTab = 0;
constexpr int kTerminalTab = 1;
constexpr int kChatTab = 2;

struct Window : ConsoleScope {
    TForm1 w;
    quint16 port = unusedLocalPort();

    Window()
    {
        w.eventLog()->clearLog();
        QString error;
        EXPECT_TRUE(w.StartAgentServer(port, &error)) << error.toStdString();
    }
    OnlineUsersPanel *online() { return w.onlineUsersPanel(); }
    // Triggers the item of a popup menu by its name; false when there is none.
    static bool trigger(const QWidget *menu, const char *name)
    {
        QAction *item = findMenuAction(menu, QString::fromUtf8(name));
        if (item)
            item->trigger();
        return item != nullptr;
    }
    ChatPanel *chat() { return w.chatPanel(); }
    OnlineUsersModel *rows() { return w.ServerSocket1()->onlineUsers(); }
    std::unique_ptr<AgentPeer> agent(const QString &address, const QString &user, const QString &thin = QStringLiteral("1"),
                                     const QString &thick = QStringLiteral("0"), const QString &program = QStringLiteral("1cv8c"))
    {
        auto peer = std::make_unique<AgentPeer>(port);
        EXPECT_TRUE(peer->greeted());
        peer->say(statusMessage(program, address, QStringLiteral("PC"), user, thin, thick));
        EXPECT_TRUE(waitUntil([&] { return rows()->rowCount() > 0 && rows()->cell(0, OnlineUsersModel::ColUser) == user; }));
        return peer;
    }
    void selectRows(const QList<int> &rowsToSelect)
    {
        QTableView *t = online()->table();
        t->clearSelection();
        for (int r : rowsToSelect)
            t->selectionModel()->select(t->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    void selectEntries(const QList<int> &entries)
    {
        QListView *l = chat()->list();
        l->clearSelection();
        for (int r : entries)
            l->selectionModel()->select(l->model()->index(r, 0), QItemSelectionModel::Select);
    }
    QStringList logLines()
    {
        QStringList out;
        for (int i = 0; i < w.eventLog()->lineCount(); ++i)
            out << unstamped(w.eventLog()->lineText(i));
        return out;
    }
    QStringList transcript()
    {
        QStringList out;
        const QString text = chat()->transcript()->toPlainText();
        if (text.isEmpty())
            return out;
        for (const QString &line : text.split(QLatin1Char('\n')))
            out << unstamped(line);
        return out;
    }
    QColor transcriptColour(int line)
    {
        const QTextBlock block = chat()->transcript()->document()->findBlockByNumber(line);
        return block.begin().fragment().charFormat().foreground().color();
    }
};

// Answers the next modal message box, remembering its text.
void answerNextBox(QString *text)
{
    QTimer::singleShot(0, [text] {
        waitUntil([] { return qobject_cast<QMessageBox *>(QApplication::activeModalWidget()) != nullptr; }, 3000);
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            *text = box->text();
            box->accept();
        }
    });
}

} // namespace

TEST(AgentWindows, OnlineTableColumnsAndPopupMenu)
{
    Window f;
    QTableView *t = f.online()->table();
    const QStringList headers = {QStringLiteral("№"),         QStringLiteral("Активная программа"), QStringLiteral("IP"),
                                 QStringLiteral("Компьютер"), QStringLiteral("Пользователь"),       QStringLiteral("Тон.кл"),
                                 QStringLiteral("Тол.кл"),    QStringLiteral("1C v7")};
    const int widths[] = {25, 300, 130, 130, 90, 50, 50, 50};
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(t->model()->headerData(c, Qt::Horizontal).toString(), headers[c]);
        EXPECT_EQ(t->columnWidth(c), widths[c]);
    }
    EXPECT_EQ(t->model()->headerData(1, Qt::Horizontal, Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
    EXPECT_EQ(t->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(t->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(t->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_TRUE(t->showGrid());

    // The popup's items are in the popup test below.

    // Right-clicking with no row selected shows no menu.
    f.w.show();
    f.w.tabs()->setCurrentIndex(kOnlineTab);
    auto a = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("u1"));
    emit t->customContextMenuRequested(QPoint(5, 5));
    EXPECT_FALSE(f.online()->popupMenu()->isVisible());
    f.selectRows({0});
    emit t->customContextMenuRequested(QPoint(5, 5));
    EXPECT_TRUE(f.online()->popupMenu()->isVisible());
    f.online()->popupMenu()->close();
}

TEST(AgentWindows, PopupMenusHoldTheirItemsInOrderWithNamesAndState)
{
    Window f;
    const struct {
        const char *popup;
        const QWidget *menu;
        QStringList expected;
    } cases[] = {
        {"online users", f.online()->popupMenu(),
         {"end1C8: Завершить процессы 1С Предприятия 8", "end1C7: Аварийное завершение работы  в 1С v7",
          "messageToAll: Отправить сообщение всем пользователям (off)",
          "messageToSelected: Отправить сообщение отмеченным пользователям (off)", "-",
          "viewScreen: Смотреть экран пользователя (off)",
          "controlScreen: Смотреть экран пользователя (Управление) (off)", "-", "rebootPc: Перезагрузить ПК",
          "powerOffPc: Выключить ПК", "-", "refreshConnections: Обновить подключения"}},
        {"chat list", f.chat()->listMenu(),
         {"deselectAll: Снять выделение", "kickFromChat: Выбросить из чата", "rejoinChat: Обновить чат"}},
        {"chat transcript", f.chat()->transcriptMenu(), {"clearTranscript: Очистить"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.popup);
        EXPECT_EQ(menuOutline(c.menu), c.expected);
        EXPECT_EQ(badMenuNames(c.menu), QStringList());
    }
}

TEST(AgentWindows, OnlinePopupItemsOfOtherWindowsWorkOnceTheirHooksAreSet)
{
    Window f;
    QStringList ran;
    OnlineUsersPanel::Hooks hooks;
    hooks.messageToAll = [&] { ran << QStringLiteral("messageToAll"); };
    hooks.controlScreen = [&] { ran << QStringLiteral("controlScreen"); };
    f.online()->setHooks(hooks);
    const struct {
        const char *item;
        bool enabled;
    } cases[] = {{"messageToAll", true}, {"messageToSelected", false}, {"viewScreen", false}, {"controlScreen", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.item);
        QAction *item = findMenuAction(f.online()->popupMenu(), QString::fromUtf8(c.item));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->isEnabled(), c.enabled);
        EXPECT_EQ(f.online()->popupMenu()->findChildren<QAction *>(QString::fromUtf8(c.item)).size(), 1);
        item->trigger(); // a disabled item runs nothing
    }
    EXPECT_EQ(ran, (QStringList{"messageToAll", "controlScreen"}));

    // Taking a hook away disables its item again.
    f.online()->setHooks({});
    EXPECT_FALSE(findMenuAction(f.online()->popupMenu(), QStringLiteral("messageToAll"))->isEnabled());
}

TEST(AgentWindows, RightClickIntoTheTranscriptOffersClearWhichEmptiesIt)
{
    Window f;
    f.w.show();
    f.w.tabs()->setCurrentIndex(kChatTab);
    f.chat()->CText2(QStringLiteral("строка"), Qt::black);
    QPlainTextEdit *t = f.chat()->transcript();
    QWidget *shown = nullptr;
    QTimer::singleShot(0, t, [&] {
        waitUntil([] { return QApplication::activePopupWidget() != nullptr; }, 3000);
        shown = QApplication::activePopupWidget();
        Window::trigger(f.chat()->transcriptMenu(), "clearTranscript");
        if (shown)
            shown->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(3, 3), t->viewport()->mapToGlobal(QPoint(3, 3)));
    QApplication::sendEvent(t->viewport(), &event);
    EXPECT_EQ(shown, f.chat()->transcriptMenu());
    EXPECT_TRUE(f.transcript().isEmpty());
}

TEST(AgentWindows, CommandsReachExactlyTheSelectedAgentsWithTheirLogLines)
{
    Window f;
    auto a = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("u1"));
    auto b = f.agent(QStringLiteral("10.0.0.2"), QStringLiteral("u2"));
    auto c = f.agent(QStringLiteral("10.0.0.3"), QStringLiteral("u3"));
    // Rows: 10.0.0.3, 10.0.0.2, 10.0.0.1 from the top; select the first and the last.
    f.selectRows({0, 2});
    const QString sent = QStringLiteral("Команда успешно отправлена клиенту!");
    const struct {
        const char *item;
        QString command;
        int lines;
    } cases[] = {
        {"rebootPc", QStringLiteral("%%%1"), 2},
        {"powerOffPc", QStringLiteral("%%%2"), 2},
        {"end1C8", QStringLiteral("%%%%"), 1},
        {"end1C7", QStringLiteral("%%%7"), 1},
    };
    QString expected;
    for (const auto &k : cases) {
        f.w.eventLog()->clearLog();
        ASSERT_TRUE(f.trigger(f.online()->popupMenu(), k.item));
        expected += k.command;
        EXPECT_TRUE(a->hears(expected)) << k.item;
        EXPECT_TRUE(c->hears(expected)) << k.item;
        EXPECT_EQ(f.logLines(), QStringList(k.lines, sent)) << k.item;
    }
    pump(100);
    EXPECT_EQ(b->heard(), QString());

    // A selected row whose agent has no connection: the per-agent commands
    // write nothing, the others their one line.
    auto blank = std::make_unique<AgentPeer>(f.port);
    ASSERT_TRUE(blank->greeted());
    blank->say(statusMessage(QString(), QStringLiteral("10.0.0.9"), QStringLiteral("PC"), QStringLiteral("x")));
    ASSERT_TRUE(waitUntil([&] { return f.rows()->rowCount() == 4; }));
    f.selectRows({0});
    f.w.eventLog()->clearLog();
    ASSERT_TRUE(f.trigger(f.online()->popupMenu(), "rebootPc"));
    EXPECT_EQ(f.w.eventLog()->lineCount(), 0);
    ASSERT_TRUE(f.trigger(f.online()->popupMenu(), "end1C8"));
    EXPECT_EQ(f.logLines(), QStringList{sent});

    // "Обновить подключения": every agent is closed, the table is empty.
    ASSERT_TRUE(f.trigger(f.online()->popupMenu(), "refreshConnections"));
    EXPECT_EQ(f.rows()->rowCount(), 0);
    for (AgentPeer *peer : {a.get(), b.get(), c.get(), blank.get()})
        EXPECT_TRUE(peer->closedByConsole());
}

TEST(AgentWindows, TickSumsAndTheOnlineCounterFollowTheTab)
{
    Window f;
    f.w.show();
    f.w.tabs()->setCurrentIndex(kOnlineTab);
    auto a = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("u1"), QStringLiteral("2"), QStringLiteral("1"));
    // "Тол.кл" not a number: the row adds its thin clients only.
    auto b = f.agent(QStringLiteral("10.0.0.2"), QStringLiteral("u2"), QStringLiteral("3"), QStringLiteral("x"));
    emit f.w.onlineTick();
    EXPECT_EQ(f.online()->thinBox()->text(), QStringLiteral("5"));
    EXPECT_EQ(f.online()->thickBox()->text(), QStringLiteral("1"));
    EXPECT_EQ(f.online()->v7Box()->text(), QStringLiteral("0"));
    EXPECT_EQ(f.online()->totalBox()->text(), QStringLiteral("6"));
    EXPECT_EQ(f.w.processMonitor()->onlineUsersLabel()->text(), QStringLiteral("Пользователей онлайн (CS):"));
    EXPECT_EQ(f.w.processMonitor()->onlineUsersBox()->text(), QStringLiteral("2"));

    // The terminal tab counts the session list's lines minus its header.
    f.w.terminalSessionLineCount = [] { return 4; };
    int refreshes = 0;
    QObject::connect(&f.w, &TForm1::terminalListRefreshRequested, [&] { ++refreshes; });
    f.w.tabs()->setCurrentIndex(kTerminalTab);
    EXPECT_EQ(f.w.processMonitor()->onlineUsersLabel()->text(), QStringLiteral("Пользователей онлайн (TS):"));
    EXPECT_EQ(f.w.processMonitor()->onlineUsersBox()->text(), QStringLiteral("3"));
    EXPECT_EQ(refreshes, 1);
    // A pending refresh runs at the next tick, once.
    f.w.NeadRefreshTS = true;
    emit f.w.onlineTick();
    EXPECT_EQ(refreshes, 2);
    EXPECT_FALSE(f.w.NeadRefreshTS);
    emit f.w.onlineTick();
    EXPECT_EQ(refreshes, 2);

    // The chat tab: the field is set to 0 and then left alone.
    f.w.tabs()->setCurrentIndex(kChatTab);
    EXPECT_EQ(f.w.processMonitor()->onlineUsersBox()->text(), QStringLiteral("0"));
    emit f.w.onlineTick();
    EXPECT_EQ(f.w.processMonitor()->onlineUsersLabel()->text(), QStringLiteral("Пользователей онлайн (TS):"));
    EXPECT_EQ(f.w.processMonitor()->onlineUsersBox()->text(), QStringLiteral("0"));

    // After the last agent leaves while the online tab is shown, the next tick shows 0.
    f.w.tabs()->setCurrentIndex(kOnlineTab);
    EXPECT_EQ(f.w.processMonitor()->onlineUsersBox()->text(), QStringLiteral("2"));
    a->close();
    b->close();
    ASSERT_TRUE(waitUntil([&] { return f.rows()->rowCount() == 0; }));
    ASSERT_TRUE(waitUntil([&] { return f.w.processMonitor()->onlineUsersBox()->text() == QStringLiteral("0"); }, 2000)); // Timer1 at 30 ms
    EXPECT_EQ(f.online()->totalBox()->text(), QStringLiteral("0"));
}

TEST(AgentWindows, HeaderClickWithoutTheLibraryShowsTheMessageEachTime)
{
    Window f;
    f.w.show();
    f.w.tabs()->setCurrentIndex(kOnlineTab);
    auto a = f.agent(QStringLiteral("10.0.0.2"), QStringLiteral("u2"));
    auto b = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("u1"));
    for (int i = 0; i < 2; ++i) {
        QString text;
        answerNextBox(&text);
        emit f.online()->table()->horizontalHeader()->sectionClicked(2);
        EXPECT_EQ(text, QStringLiteral("Не найдена Dll: \"mfunc.dll\"")) << i;
    }
    EXPECT_EQ(f.rows()->cell(0, OnlineUsersModel::ColAddress), QStringLiteral("10.0.0.1"));
}

TEST(AgentWindows, DoubleClicksToggleTheTabPanelAndPauseTheSettingsReload)
{
    Window f;
    f.w.show();
    f.w.startSamplingTimers();
    f.w.tabs()->setCurrentIndex(kOnlineTab);
    QTest::mouseDClick(f.online()->table()->viewport(), Qt::LeftButton);
    EXPECT_TRUE(f.w.tabsFillWindow());
    EXPECT_FALSE(f.w.processMonitor()->processList()->isVisible());
    EXPECT_FALSE(f.w.processMonitor()->chartView()->isVisible());
    EXPECT_FALSE(f.w.processMonitor()->statusRow1()->isVisible());
    EXPECT_FALSE(f.w.processMonitor()->statusRow2()->isVisible());
    EXPECT_TRUE(f.w.tabs()->isVisible());
    EXPECT_FALSE(f.w.Timer2()->isActive());
    // The chat transcript toggles it back.
    f.w.tabs()->setCurrentIndex(kChatTab);
    QTest::mouseDClick(f.chat()->transcript()->viewport(), Qt::LeftButton);
    EXPECT_FALSE(f.w.tabsFillWindow());
    EXPECT_TRUE(f.w.processMonitor()->processList()->isVisible());
    EXPECT_TRUE(f.w.processMonitor()->chartView()->isVisible());
    EXPECT_TRUE(f.w.processMonitor()->statusRow2()->isVisible());
    EXPECT_TRUE(f.w.Timer2()->isActive());
}

TEST(AgentWindows, ChatSendSendToAllKickAndRejoinThroughTheWidgets)
{
    Window f;
    auto a = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("ivanov"));
    auto b = f.agent(QStringLiteral("10.0.0.2"), QStringLiteral("petrov"));
    auto c = f.agent(QStringLiteral("10.0.0.3"), QStringLiteral("sidorov"));
    auto outside = f.agent(QStringLiteral("10.0.0.4"), QStringLiteral("kuznetsov"));
    for (auto *peer : {a.get(), b.get(), c.get()})
        peer->say(QStringLiteral("#inchat") + QStringLiteral("10.0.0.%1").arg(peer == a.get() ? 1 : peer == b.get() ? 2 : 3));
    ASSERT_TRUE(waitUntil([&] { return f.chat()->list()->model()->rowCount() == 3; }));
    EXPECT_EQ(f.transcript(), (QStringList{QStringLiteral("В чат вошел хост:10.0.0.1"), QStringLiteral("В чат вошел хост:10.0.0.2"),
                                           QStringLiteral("В чат вошел хост:10.0.0.3")}));
    EXPECT_EQ(f.transcriptColour(0), QColor(0x80, 0x80, 0x80));

    // The input starts with its hint; a click empties it.
    QLineEdit *input = f.chat()->input();
    EXPECT_EQ(input->text(), QStringLiteral("Выберите в списке (справа) пользователей,  для отправки ЛС, или клик «Отправить всем»."));
    f.w.show();
    QTest::mouseClick(input, Qt::LeftButton);
    EXPECT_TRUE(input->text().isEmpty());

    // "Отправить" to two of three.
    ASSERT_TRUE(f.trigger(f.chat()->transcriptMenu(), "clearTranscript"));
    f.selectEntries({0, 2});
    input->setText(QStringLiteral("Привет"));
    QTest::mouseClick(f.chat()->sendButton(), Qt::LeftButton);
    EXPECT_TRUE(a->hears(QStringLiteral("#chmПривет")));
    EXPECT_TRUE(c->hears(QStringLiteral("#chmПривет")));
    EXPECT_TRUE(input->text().isEmpty());
    EXPECT_EQ(f.transcript(), (QStringList{QStringLiteral("[ivanov # 10.0.0.1] <- Привет"),
                                           QStringLiteral("[sidorov # 10.0.0.3] <- Привет")}));
    EXPECT_EQ(f.transcriptColour(0), QColor(0x40, 0xC9, 0xEC));
    // Enter acts as "Отправить".
    f.selectEntries({1});
    input->setText(QStringLiteral("ok"));
    QTest::keyClick(input, Qt::Key_Return);
    EXPECT_TRUE(b->hears(QStringLiteral("#chmok")));

    // "Отправить всем" reaches every announced agent, in the chat or not;
    // with an empty input nothing happens.
    QTest::mouseClick(f.chat()->sendAllButton(), Qt::LeftButton);
    pump(100);
    EXPECT_EQ(outside->heard(), QString());
    input->setText(QStringLiteral("всем"));
    QTest::mouseClick(f.chat()->sendAllButton(), Qt::LeftButton);
    EXPECT_TRUE(outside->hears(QStringLiteral("#chmвсем")));
    EXPECT_TRUE(b->hears(QStringLiteral("#chmok#chmвсем")));
    EXPECT_EQ(f.transcript().last(), QStringLiteral("[ВСЕМ] <- всем"));

    // "Выбросить из чата", "Снять выделение", "Обновить чат".
    f.selectEntries({1});
    ASSERT_TRUE(f.trigger(f.chat()->listMenu(), "kickFromChat"));
    EXPECT_TRUE(b->hears(QStringLiteral("#chmok#chmвсем#cch")));
    EXPECT_EQ(f.transcript().last(), QStringLiteral("[petrov # 10.0.0.2] <- Отправлена команда на выход из чата!"));
    ASSERT_TRUE(f.trigger(f.chat()->listMenu(), "deselectAll"));
    EXPECT_TRUE(f.chat()->selectedEntries().isEmpty());
    ASSERT_TRUE(f.trigger(f.chat()->listMenu(), "rejoinChat"));
    EXPECT_TRUE(a->hears(QStringLiteral("#chmПривет#chmвсем#cnn")));
    EXPECT_TRUE(c->hears(QStringLiteral("#chmПривет#chmвсем#cnn")));
    EXPECT_EQ(f.chat()->list()->model()->rowCount(), 0);
    EXPECT_TRUE(f.transcript().isEmpty());
    pump(100);
    EXPECT_EQ(outside->heard(), QStringLiteral("#chmвсем"));
}

TEST(AgentWindows, IncomingLineLogsOnlyWhileAnotherTabIsShownAndMovesFocusOnChat)
{
    Window f;
    f.w.show();
    QApplication::setActiveWindow(&f.w);
    auto a = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("ivanov"));
    f.w.tabs()->setCurrentIndex(kTerminalTab);
    f.w.eventLog()->clearLog();
    a->say(QStringLiteral("#soobпомогите"));
    ASSERT_TRUE(waitUntil([&] { return !f.transcript().isEmpty(); }));
    EXPECT_EQ(f.transcript(), QStringList{QStringLiteral("[10.0.0.1] ->  помогите")});
    EXPECT_EQ(f.transcriptColour(0), QColor(Qt::black));
    EXPECT_EQ(f.logLines(), QStringList{QStringLiteral("Новое сообщение в чате от хоста: [10.0.0.1] ->  помогите")});
    EXPECT_EQ(f.w.eventLog()->lineColour(0), kGreen);
    EXPECT_FALSE(f.chat()->input()->hasFocus());

    f.w.tabs()->setCurrentIndex(kChatTab);
    f.w.eventLog()->clearLog();
    a->say(QStringLiteral("#soobспасибо"));
    ASSERT_TRUE(waitUntil([&] { return f.transcript().size() == 2; }));
    EXPECT_EQ(f.w.eventLog()->lineCount(), 0);
    EXPECT_TRUE(f.chat()->input()->hasFocus());
    QScrollBar *bar = f.chat()->transcript()->verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());

    // A click in the transcript puts the hidden caret at the end;
    // "Очистить" empties it.
    QPlainTextEdit *t = f.chat()->transcript();
    QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(t->textCursor().position(), t->document()->characterCount() - 1);
    EXPECT_EQ(t->cursorWidth(), 0);
    EXPECT_TRUE(t->isReadOnly());
    ASSERT_TRUE(f.trigger(f.chat()->transcriptMenu(), "clearTranscript"));
    EXPECT_TRUE(f.transcript().isEmpty());
}

// The main window's StopAgentServer: closes the listening socket and every
// agent connection, empties the online-users table, the chat transcript and
// the chat list, logs the red line and clears StartCS, so the next program
// start leaves the server closed; the next successful start sets it again.
TEST(AgentWindows, StopClosesEverythingEmptiesTableAndChatAndClearsStartCS)
{
    Window f;
    EXPECT_TRUE(f.w.StartCS);
    auto a = f.agent(QStringLiteral("10.0.0.1"), QStringLiteral("ivanov"));
    a->say(QStringLiteral("#inchat10.0.0.1"));
    ASSERT_TRUE(waitUntil([&] { return f.chat()->list()->model()->rowCount() == 1; }));
    ASSERT_FALSE(f.transcript().isEmpty());
    f.w.eventLog()->clearLog();
    f.w.StopAgentServer();
    EXPECT_FALSE(f.w.StartCS);
    EXPECT_EQ(f.logLines(), QStringList{QStringLiteral("Сервер Dozorix остановлен!")});
    EXPECT_EQ(f.w.eventLog()->lineColour(0), kRed);
    EXPECT_EQ(f.rows()->rowCount(), 0);
    EXPECT_EQ(f.chat()->list()->model()->rowCount(), 0);
    EXPECT_TRUE(f.transcript().isEmpty());
    EXPECT_TRUE(a->closedByConsole());
    EXPECT_FALSE(f.w.ServerSocket1()->isListening());
    EXPECT_EQ(f.w.ServerSocket1()->connectionCount(), 0u);
    AgentPeer late(f.port);
    EXPECT_FALSE(late.connected()); // nobody listens on the port any more

    // A busy port: no success line, StartCS stays off.
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::AnyIPv4, 0));
    QString error;
    EXPECT_FALSE(f.w.StartAgentServer(QString::number(other.serverPort()), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(f.w.StartCS);
    EXPECT_FALSE(f.w.ServerSocket1()->isListening());
    EXPECT_EQ(f.w.eventLog()->lineCount(), 1);
    EXPECT_TRUE(f.w.StartAgentServer(f.port));
    EXPECT_TRUE(f.w.StartCS);
    EXPECT_TRUE(f.w.ServerSocket1()->isListening());
    EXPECT_EQ(f.logLines().last(), QStringLiteral("Сервер Dozorix успешно стартовал!"));
    EXPECT_EQ(f.w.eventLog()->lineColour(1), kGreen);
    AgentPeer again(f.port);
    EXPECT_TRUE(again.greeted());
}

// Agents that leave together take only their own rows; the rows left keep
// their order and numbers (until the next tick renumbers), the rows that
// were selected and are still there stay selected, and the table's row
// header keeps count.
TEST(AgentWindows, AgentsLeavingTogetherKeepTheOthersInOrderAndSelected)
{
    Window f;
    std::vector<std::unique_ptr<AgentPeer>> agents;
    for (int i = 0; i < 6; ++i)
        agents.push_back(f.agent(QStringLiteral("10.0.0.%1").arg(i), QStringLiteral("user%1").arg(i)));
    // From the top: 10.0.0.5 … 10.0.0.0, numbered 1 … 6.
    f.selectRows({1, 3, 4}); // 10.0.0.4, 10.0.0.2, 10.0.0.1
    QTableView *t = f.online()->table();
    for (int i : {5, 2, 0})
        agents[static_cast<std::size_t>(i)].reset(); // closed at once, no pause between
    ASSERT_TRUE(waitUntil([&] { return f.rows()->rowCount() == 3; }));
    QStringList left;
    for (int r = 0; r < f.rows()->rowCount(); ++r)
        left << f.rows()->cell(r, OnlineUsersModel::ColNumber) + QLatin1Char(' ')
                + f.rows()->cell(r, OnlineUsersModel::ColAddress);
    EXPECT_EQ(left, (QStringList{QStringLiteral("2 10.0.0.4"), QStringLiteral("3 10.0.0.3"), QStringLiteral("5 10.0.0.1")}));
    QList<int> selected;
    for (const QModelIndex &i : t->selectionModel()->selectedRows())
        selected << i.row();
    std::sort(selected.begin(), selected.end());
    EXPECT_EQ(selected, (QList<int>{0, 2}));
    EXPECT_EQ(t->verticalHeader()->count(), 3);
    EXPECT_TRUE(f.rows()->consistent());
}
