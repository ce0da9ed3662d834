// The control window TForm11 and the view window TForm50 in the real main
// window, against the tests' screen service on 127.0.0.1: what they show,
// and every key and mouse line as the service received it.
#include "agents/AgentServer.h"
#include "agents/OnlineUsersModel.h"
#include "agents/ui/OnlineUsersPanel.h"
#include "app/ui/TForm1.h"
#include "common/ui/MenuTable.h"
#include "peers/AgentPeer.h"
#include "peers/ScreenPeer.h"
#include "screen/ui/ScreenWindow.h"
#include "support/LocalPort.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct Screens : ConsoleScope {
    ScreenPeer peer;
    std::unique_ptr<TForm1> main;

    explicit Screens(const QByteArray &port2 = {})
    {
        const QByteArray port = port2.isNull() ? QByteArray::number(peer.port()) : port2;
        home.write(QStringLiteral("Example.ini"), "[settings]\r\nPort1=" + QByteArray::number(unusedLocalPort())
                                                      + "\r\nPort2=" + port + "\r\n");
        main = std::make_unique<TForm1>();
        main->createOtherWindows();
    }
    ~Screens()
    {
        for (ScreenWindow *w : {main->screenWindow(true), main->screenWindow(false)})
            w->close();
    }
    ScreenWindow *window(bool control)
    {
        return main->screenWindow(control);
    }
    // Opens from the main menu, presses "Подключится", waits for a picture.
    ScreenWindow *connected(bool control)
    {
        main->SendHost = QStringLiteral("127.0.0.1");
        QAction *item = findMenuAction(main->menuBar(), control ? "controlScreen" : "viewScreen");
        EXPECT_TRUE(item && item->isEnabled());
        item->trigger();
        ScreenWindow *w = window(control);
        EXPECT_TRUE(w->isVisible());
        QTest::mouseClick(w->connectButton(), Qt::LeftButton);
        EXPECT_TRUE(waitUntil([&] { return !w->pictureView()->image().isNull(); }));
        return w;
    }
    // Stops asking for pictures with one of the given size shown, so that
    // nothing changes under the test's mouse: with the time scale, an answer
    // late on a busy machine clears the picture (the view shrinks to 0x0).
    bool holdPicture(ScreenWindow *w, QSize size)
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (!waitUntil([&] { return w->pictureView()->size() == size; }))
                return false;
            w->link()->pictureTimer()->stop();
            if (!waitUntil([&] { return !w->link()->answerAwaited(); }))
                return false;
            if (w->pictureView()->size() == size)
                return true;
            w->link()->pictureTimer()->start(); // the last answer failed: again
        }
        return false;
    }
    QStringList received(int count)
    {
        waitUntil([&] { return peer.lines().size() >= count; }, 3000);
        QTest::qWait(20); // nothing more on its way
        return peer.lines();
    }
};

// A key event with its X11 key code, delivered where the window's keys go.
void key(ScreenWindow *w, QEvent::Type type, quint32 x11Code, bool autoRepeat = false, int qtKey = Qt::Key_unknown)
{
    QWidget *target = w->focusWidget() ? w->focusWidget() : w;
    QKeyEvent e(type, qtKey, Qt::NoModifier, x11Code, 0, 0, QString(), autoRepeat);
    QApplication::sendEvent(target, &e);
}

void tap(ScreenWindow *w, quint32 x11Code)
{
    key(w, QEvent::KeyPress, x11Code);
    key(w, QEvent::KeyRelease, x11Code);
}

TEST(ScreenWindows, PictureShownAtNaturalSizeWithItsPixels)
{
    Screens s;
    s.peer.width = 300;
    s.peer.height = 200;
    s.peer.left = Rgb{255, 255, 0};
    s.peer.right = Rgb{0, 0, 0};
    ScreenWindow *w = s.connected(true);
    EXPECT_FALSE(w->hostBox()->isEnabled());
    EXPECT_TRUE(w->pictureArea()->isVisible());
    ASSERT_TRUE(s.holdPicture(w, QSize(300, 200)));
    const QImage shot = w->pictureView()->grab().toImage();
    EXPECT_EQ(shot.size(), QSize(300, 200));
    const QColor l = shot.pixelColor(20, 100), r = shot.pixelColor(280, 100);
    EXPECT_GT(l.red(), 240);
    EXPECT_GT(l.green(), 240);
    EXPECT_LT(l.blue(), 16);
    EXPECT_LT(r.red() + r.green() + r.blue(), 30);

    // "Отключить": address field enabled, picture cleared and hidden.
    QTest::mouseClick(w->disconnectButton(), Qt::LeftButton);
    EXPECT_TRUE(w->hostBox()->isEnabled());
    EXPECT_FALSE(w->pictureArea()->isVisible());
    EXPECT_TRUE(w->pictureView()->image().isNull());
    EXPECT_TRUE(waitUntil([&] { return !s.peer.clientConnected(); }));
}

TEST(ScreenWindows, MouseLinesInPictureCoordinatesWithScrolling)
{
    Screens s;
    s.peer.width = 1600;
    s.peer.height = 1200;
    ScreenWindow *w = s.connected(true);
    w->resize(400, 300);
    ASSERT_TRUE(s.holdPicture(w, QSize(1600, 1200)));
    QWidget *view = w->pictureView();
    s.peer.clearLines();
    QTest::mouseMove(view, QPoint(5, 6));
    QTest::mousePress(view, Qt::LeftButton, {}, QPoint(7, 8));
    QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(9, 10));
    QTest::mousePress(view, Qt::RightButton, {}, QPoint(10, 20));
    QTest::mouseRelease(view, Qt::RightButton, {}, QPoint(10, 20));
    QTest::mousePress(view, Qt::MiddleButton, {}, QPoint(1, 1));
    QTest::mouseRelease(view, Qt::MiddleButton, {}, QPoint(1, 1));
    // The right press and the middle button send nothing.
    EXPECT_EQ(s.received(4), QStringList({"MM%M5 , 6", "Lk%D7 , 8", "Lk%U9 , 10", "Pk%k10 , 20"}));
    // The release moved the focus to the key-combination list first.
    EXPECT_EQ(QApplication::focusWidget(), w->combinationList());

    // A double click through the window system: its two clicks send their
    // button lines, the double click none of its own.
    const QPoint inWindow = view->mapTo(w, QPoint(11, 12));
    QTest::mouseMove(w->windowHandle(), inWindow);
    ASSERT_TRUE(waitUntil([&] { return s.peer.lines().contains(QStringLiteral("MM%M11 , 12")); }));
    s.peer.clearLines();
    QTest::mouseDClick(w->windowHandle(), Qt::LeftButton, {}, inWindow);
    EXPECT_EQ(s.received(4), QStringList({"Lk%D11 , 12", "Lk%U11 , 12", "Lk%D11 , 12", "Lk%U11 , 12"}));

    // Scrolled to the right and down: the same window point is a later picture point.
    QScrollBar *across = w->pictureArea()->horizontalScrollBar(), *down = w->pictureArea()->verticalScrollBar();
    ASSERT_TRUE(waitUntil([&] { return across->maximum() >= 500 && down->maximum() >= 400; }));
    across->setValue(500);
    down->setValue(400);
    ASSERT_TRUE(waitUntil([&] { return view->pos() == QPoint(-500, -400); }));
    s.peer.clearLines();
    const QPoint inArea = view->mapFromGlobal(w->pictureArea()->viewport()->mapToGlobal(QPoint(30, 40)));
    QTest::mousePress(view, Qt::LeftButton, {}, inArea);
    QTest::mouseRelease(view, Qt::LeftButton, {}, inArea);
    EXPECT_EQ(s.received(2), QStringList({"Lk%D530 , 440", "Lk%U530 , 440"}));
}

TEST(ScreenWindows, KeyLinesAsTheServiceReceivesThemInBothWindows)
{
    // X11 key codes (evdev + 8): Shift 50, A 38, F5 71, "[" / "х" 34, Enter 36, 7 16, Ctrl 37, Alt 64.
    struct Case { const char *what; std::vector<std::pair<bool, quint32>> keys; QStringList lines; };
    const std::vector<Case> cases = {
        {"Shift+A", {{true, 50}, {true, 38}, {false, 38}, {false, 50}}, {"#keyVK_SHIFTD", "#keyA", "#keyVK_SHIFTU"}},
        {"F5 while х is held", {{true, 34}, {true, 71}, {false, 71}, {false, 34}, {true, 71}, {false, 71}},
         {"#key219", "#key219", "#keyVK_F5"}},
        {"Enter only on release", {{true, 36}, {false, 36}}, {"#key$0D"}},
        {"Ctrl+Alt+7", {{true, 37}, {true, 64}, {true, 16}, {false, 16}, {false, 64}, {false, 37}},
         {"#keyVK_CONTROLD", "#keyVK_MENUD", "#key7", "#keyVK_MENUU", "#keyVK_CONTROLU"}},
        {"keypad 5 and keypad /", {{true, 84}, {false, 84}, {true, 106}, {false, 106}}, {"#key$65", "#key$6F"}},
    };
    for (bool control : {true, false}) {
        Screens s;
        ScreenWindow *w = s.connected(control);
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(control ? "control: " : "view: ") + c.what);
            s.peer.clearLines();
            for (const auto &[down, code] : c.keys)
                key(w, down ? QEvent::KeyPress : QEvent::KeyRelease, code);
            EXPECT_EQ(s.received(c.lines.size()), c.lines);
        }
        // Keypad 7 with Num Lock off: Home, as the window system calls it.
        s.peer.clearLines();
        key(w, QEvent::KeyPress, 79, false, Qt::Key_Home);
        key(w, QEvent::KeyRelease, 79, false, Qt::Key_Home);
        EXPECT_EQ(s.received(1), QStringList({"#keyVK_HOME"}));
        // The focused control still gets the key: typing into the address field.
        w->hostBox()->setEnabled(true);
        w->hostBox()->setFocus();
        w->hostBox()->clear();
        s.peer.clearLines();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Q, Qt::NoModifier, 24, 0, 0, QStringLiteral("q"));
        QApplication::sendEvent(w->hostBox(), &press);
        EXPECT_EQ(w->hostBox()->text(), QStringLiteral("q"));
        EXPECT_EQ(s.received(1), QStringList({"#keyQ"}));
    }
}

TEST(ScreenWindows, ViewWindowSendsNoMouseLinesAndHidesTheCombinations)
{
    Screens s;
    ScreenWindow *w = s.connected(false);
    EXPECT_FALSE(w->combinationList()->isVisible());
    EXPECT_FALSE(w->sendButton()->isVisible());
    s.peer.clearLines();
    QWidget *view = w->pictureView();
    QTest::mouseMove(view, QPoint(3, 3));
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(4, 4));
    QTest::mouseClick(view, Qt::RightButton, {}, QPoint(4, 4));
    tap(w, 38); // A: keys are forwarded
    EXPECT_EQ(s.received(1), QStringList({"#keyA"}));
}

TEST(ScreenWindows, KeyCombinationsOfTheControlWindow)
{
    Screens s;
    ScreenWindow *w = s.connected(true);
    QComboBox *list = w->combinationList();
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->itemText(0), QStringLiteral("Ctrl+Alt+Del"));
    EXPECT_EQ(list->itemText(1), QStringLiteral("Win+R"));
    EXPECT_EQ(list->itemText(2), QStringLiteral("Win+L"));
    EXPECT_EQ(list->currentIndex(), -1);
    s.peer.clearLines();
    QTest::mouseClick(w->sendButton(), Qt::LeftButton); // nothing chosen: nothing sent
    for (int i = 0; i < 3; ++i) {
        list->setCurrentIndex(i);
        QTest::mouseClick(w->sendButton(), Qt::LeftButton);
    }
    EXPECT_EQ(s.received(3), QStringList({"#keyCTR+ALT+DEL", "#keyWIN+R", "#keyWIN+L"}));
}

TEST(ScreenWindows, AgentGoneHidesThePictureAndKeysAreDropped)
{
    Screens s;
    ScreenWindow *w = s.connected(true);
    s.peer.closeClient();
    ASSERT_TRUE(waitUntil([&] { return !w->pictureArea()->isVisible(); }));
    EXPECT_TRUE(w->pictureView()->image().isNull());
    EXPECT_FALSE(w->link()->pictureTimer()->isActive());
    tap(w, 38);
    QTest::qWait(50);
    EXPECT_TRUE(s.peer.lines().isEmpty());
}

TEST(ScreenWindows, HostilePictureClearsTheWindowWhichStaysResponsive)
{
    Screens s;
    ScreenWindow *w = s.connected(true);
    s.peer.answer = ScreenPeer::Answer::HostileLength;
    s.peer.hostileLength = 0x7FFFFFFF;
    ASSERT_TRUE(waitUntil([&] { return w->pictureView()->image().isNull(); }));
    s.peer.answer = ScreenPeer::Answer::Silence;
    s.peer.clearLines();
    tap(w, 38);
    EXPECT_EQ(s.received(1), QStringList({"#keyA"}));
}

TEST(ScreenWindows, OpenedFromTheMenusAndTheOnlineUsersPopup)
{
    Screens s;
    for (const char *name : {"viewScreen", "controlScreen"}) {
        QAction *main = findMenuAction(s.main->menuBar(), QString::fromLatin1(name));
        QAction *tray = findMenuAction(s.main->trayMenu(), QString::fromLatin1(name));
        ASSERT_TRUE(main && tray);
        EXPECT_TRUE(main->isEnabled()) << name;
        EXPECT_TRUE(tray->isEnabled()) << name;
    }
    // From the menu: the agent server starts, SendHost (empty before any
    // choice) is shown, nothing connects until "Подключится".
    EXPECT_FALSE(s.main->ServerSocket1()->isListening());
    findMenuAction(s.main->trayMenu(), "controlScreen")->trigger();
    TForm11 *control = s.main->form11();
    EXPECT_TRUE(control->isVisible());
    EXPECT_TRUE(s.main->ServerSocket1()->isListening());
    EXPECT_EQ(control->hostBox()->text(), QString());
    EXPECT_TRUE(control->hostBox()->isEnabled());
    QTest::qWait(50);
    EXPECT_EQ(s.peer.connections(), 0);
    control->close();
    EXPECT_FALSE(control->isVisible());

    // From the online-users popup: the first selected row's address, connected
    // at once. Two agents are online (the agent server the menu started); the
    // row of the one on 127.0.0.1, where the screen service listens, is chosen.
    const quint16 agentPort = s.main->ServerSocket1()->serverPort();
    AgentPeer elsewhere(agentPort), here(agentPort);
    ASSERT_TRUE(elsewhere.greeted() && here.greeted());
    elsewhere.say(statusMessage(QStringLiteral("1cv8c"), QStringLiteral("10.11.12.13"), QStringLiteral("PC1"),
                                QStringLiteral("Бухгалтер")));
    here.say(statusMessage(QStringLiteral("1cv8"), QStringLiteral("127.0.0.1"), QStringLiteral("PC2"),
                           QStringLiteral("Кладовщик")));
    OnlineUsersModel *rows = s.main->ServerSocket1()->onlineUsers();
    ASSERT_TRUE(waitUntil([&] { return rows->rowCount() == 2; }));
    int hereRow = -1;
    for (int r = 0; r < rows->rowCount(); ++r) {
        if (rows->cell(r, OnlineUsersModel::ColAddress) == QStringLiteral("127.0.0.1"))
            hereRow = r;
    }
    ASSERT_GE(hereRow, 0);
    QTableView *table = s.main->onlineUsersPanel()->table();
    table->clearSelection();
    table->selectionModel()->select(table->model()->index(hereRow, 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
    s.main->SendHost = QStringLiteral("10.11.12.13"); // the address chosen before
    QAction *fromPopup = findMenuAction(s.main->onlineUsersPanel()->popupMenu(), QStringLiteral("viewScreen"));
    ASSERT_TRUE(fromPopup && fromPopup->isEnabled());
    fromPopup->trigger();
    TForm50 *view = s.main->form50();
    EXPECT_EQ(s.main->SendHost, QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(view->isVisible());
    EXPECT_EQ(view->hostBox()->text(), QStringLiteral("127.0.0.1"));
    EXPECT_FALSE(view->hostBox()->isEnabled());
    EXPECT_TRUE(waitUntil([&] { return !view->pictureView()->image().isNull(); }));
    EXPECT_EQ(s.peer.connections(), 1);
}

TEST(ScreenWindows, UnreadablePort2IsReportedOnceAndConnectFailsSilently)
{
    Screens s("five");
    s.main->SendHost = QStringLiteral("127.0.0.1");
    findMenuAction(s.main->menuBar(), "viewScreen")->trigger();
    TForm50 *view = s.main->form50();
    QApplication::setActiveWindow(view);
    QMessageBox *box = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        box = view->findChild<QMessageBox *>(QStringLiteral("portError"));
        return box != nullptr;
    }));
    EXPECT_EQ(box->text(), QStringLiteral("'five' is not a valid integer value"));
    box->accept();
    QApplication::setActiveWindow(view); // the activation given back: no second box
    QTest::qWait(20);
    EXPECT_EQ(view->findChildren<QMessageBox *>(QStringLiteral("portError")).size(), 0);
    QTest::mouseClick(view->connectButton(), Qt::LeftButton);
    EXPECT_FALSE(view->hostBox()->isEnabled());
    QTest::qWait(50);
    EXPECT_EQ(s.peer.connections(), 0);
}

} // namespace
