// The tab "Сервер терминалов" and the message window in the real main
// window: the session list of a systemd-logind stand-in on a private bus,
// the counters, the address from the settings file, the actions, the bulk
// commands of the three menus and the message window's three modes.

#include "agents/AgentServer.h"
#include "agents/OnlineUsersModel.h"
#include "agents/ui/OnlineUsersPanel.h"
#include "app/ui/EventLog.h"
#include "app/ui/TForm1.h"
#include "common/IniFile.h"
#include "common/SystemHelpers.h"
#include "common/ui/MenuTable.h"
#include "monitor/ui/ProcessMonitorPanel.h"
#include "peers/AgentPeer.h"
#include "peers/SessionPeers.h"
#include "platform/linux/LinuxSessions.h"
#include "shell/BuiltinTools.h"
#include "shell/CommandRunner.h"
#include "shell/WinSessionTools.h"
#include "support/LocalPort.h"
#include "support/LocalPort.h"
#include "support/MenuOutline.h"
#include "support/MenuOutline.h"
#include "support/TestSupport.h"
#include "terminal/ScriptTemplates.h"
#include "terminal/ui/TerminalPanel.h"
#include "terminal/ui/TForm7.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <QTableView>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

constexpr int kTerminalTab = 1;

StandinSession standin(const char *id, const char *user, const char *tty, bool active)
{
    StandinSession s;
    s.id = QString::fromLatin1(id);
    s.uid = 1000;
    s.user = QString::fromUtf8(user);
    s.tty = QString::fromLatin1(tty);
    s.active = active;
    s.state = active ? u"active"_s : u"online"_s;
    // Seatless: logind's idle hint tells the ones not in use.
    if (!active)
        s.idleSinceUsec = (QDateTime::currentSecsSinceEpoch() - 600) * 1000000;
    s.timestampUsec = QDateTime(QDate(2026, 12, 1), QTime(9, 0)).toMSecsSinceEpoch() * 1000;
    return s;
}

class TerminalTab : public ::testing::Test
{
protected:
    void SetUp() override
    {
        registerBuiltinTools();
        registerSessionTools();
        registerMsg();
        ASSERT_FALSE(m_bus.address().isEmpty());
        // One active session, two in the background, one user called "Active".
        m_standin = std::make_unique<LogindStandin>(
            m_bus.address(), std::vector<StandinSession>{standin("3", "ivanov", "pts/3", true),
                                                         standin("4", "Active", "pts/4", false),
                                                         standin("5", "petrov", "pts/5", false)});
        ASSERT_TRUE(m_standin->ready()) << qPrintable(m_standin->errors());
        w = std::make_unique<TForm1>();
        w->createOtherWindows();
        w->eventLog()->clearLog();
        QObject::connect(w.get(), &TForm1::balloonShown,
                         [this](const QString &title, const QString &text) { balloons << title + u": "_s + text; });
        panel()->errorBox = [this](const QString &message) { boxes << message; };
    }
    void TearDown() override { w.reset(); }

    TerminalPanel *panel() { return w->terminalPanel(); }
    void storeAddress(const QString &address)
    {
        IniFile ini(m_home.file(u"Example.ini"_s), IniFile::WriteMode::CreateIfMissing);
        ini.writeString(u"IPTerminal"_s, u"setting"_s, address);
        ASSERT_TRUE(ini.save());
    }
    QStringList logLines()
    {
        QStringList out;
        for (int i = 0; i < w->eventLog()->lineCount(); ++i)
            out << unstamped(w->eventLog()->lineText(i));
        return out;
    }
    QStringList calls()
    {
        QStringList out;
        for (const QJsonArray &c : m_standin->takeCalls()) {
            if (c.at(0).toString() != u"ListSessions"_s)
                out << c.at(0).toString() + u' ' + c.at(1).toString();
        }
        return out;
    }

    ProgramHome m_home;
    ScopedEnv m_nologin{"DOZORIX_NOLOGIN", QFile::encodeName(m_home.file(u"nologin"_s))};
    ScopedEnv m_pam{"DOZORIX_PAM_DIR", QFile::encodeName(m_home.file(u"pam.d"_s))};
    ScopedTimeScale m_scale{100};
    ScopedEnv m_scope{"DOZORIX_INSTANCE_SCOPE", QFile::encodeName(m_home.path())};
    PrivateBus m_bus;
    ScopedEnv m_systemBus{"DBUS_SYSTEM_BUS_ADDRESS", m_bus.address().toUtf8()};
    ScopedInstance<SessionManager> m_manager{native::createSessionManager()};
    std::unique_ptr<LogindStandin> m_standin;
    std::unique_ptr<TForm1> w;
    QStringList balloons;
    QStringList boxes;
};

} // namespace

TEST_F(TerminalTab, TheListShowsTheSessionsOfTheStoredAddressWithItsCounters)
{
    storeAddress(u"127.0.0.1"_s);
    w->resize(1200, 800);
    w->show();
    w->tabs()->setCurrentIndex(0);
    w->tabs()->setCurrentIndex(kTerminalTab); // choosing the tab refreshes
    EXPECT_EQ(panel()->addressField()->text(), u"127.0.0.1"_s);
    const QStringList lines = panel()->sessionList()->toPlainText().split(u'\n');
    ASSERT_EQ(lines.size(), 4) << panel()->sessionList()->toPlainText().toStdString();
    EXPECT_TRUE(lines[0].startsWith(u"ПОЛЬЗОВАТЕЛЬ"_s)) << lines[0].toStdString(); // trimmed
    EXPECT_TRUE(lines[1].contains(u"ivanov"_s) && lines[1].contains(u"Активно"_s)) << lines[1].toStdString();
    EXPECT_TRUE(lines[3].contains(u"petrov"_s) && lines[3].contains(u"Диск"_s)) << lines[3].toStdString();
    // One session is in front and two are not; the user called "Active"
    // counts once more, as on Windows.
    EXPECT_EQ(panel()->activeBox()->text(), u"2"_s);
    EXPECT_EQ(panel()->disconnectedBox()->text(), u"2"_s);
    EXPECT_EQ(panel()->totalBox()->text(), u"4"_s);
    // The online counter: the list's lines without the header.
    w->Timer1Timer();
    EXPECT_EQ(w->processMonitor()->onlineUsersLabel()->text(), u"Пользователей онлайн (TS):"_s);
    EXPECT_EQ(w->processMonitor()->onlineUsersBox()->text(), u"3"_s);
    // Readable: the list has room for its lines and the counters show their figures.
    EXPECT_GT(panel()->sessionList()->viewport()->height(), 4 * panel()->sessionList()->fontMetrics().height());
    for (QLineEdit *box : {panel()->totalBox(), panel()->activeBox(), panel()->disconnectedBox()})
        EXPECT_GT(box->width(), box->fontMetrics().horizontalAdvance(box->text())) << box->objectName().toStdString();

    // A session that went away is gone at the next refresh.
    panel()->idField()->setText(u"5"_s);
    panel()->actionList()->setEditText(u"Завершить сессию"_s);
    panel()->executeButton()->click();
    EXPECT_EQ(calls(), QStringList{u"TerminateSession 5"_s});
    EXPECT_EQ(panel()->sessionList()->toPlainText().count(u'\n'), 2);
    EXPECT_EQ(panel()->totalBox()->text(), u"3"_s);
}

TEST_F(TerminalTab, TheAddressComesFromTheSettingsFileOrIsTheHostsOwn)
{
    // No settings file: the field stays as it is and no file appears.
    panel()->addressField()->setText(u"typed"_s);
    panel()->GetUserOnTerminal();
    EXPECT_EQ(panel()->addressField()->text(), u"typed"_s);
    EXPECT_FALSE(QFileInfo::exists(m_home.file(u"Example.ini"_s)));

    // A settings file without the key: the host's own address, stored.
    m_home.write(u"Example.ini"_s, "[Settings]\r\nTrey=0\r\n");
    panel()->GetUserOnTerminal();
    EXPECT_EQ(panel()->addressField()->text(), GetLocalIp());
    EXPECT_TRUE(m_home.read(u"Example.ini"_s).contains("[IPTerminal]\r\nsetting=" + GetLocalIp().toUtf8()))
        << m_home.read(u"Example.ini"_s).toStdString();

    // A stored address wins over the field; another server's answer is shown
    // as it is and counts nothing.
    storeAddress(u"10.255.255.1"_s);
    panel()->addressField()->setText(u"127.0.0.1"_s);
    panel()->GetUserOnTerminal();
    EXPECT_EQ(panel()->addressField()->text(), u"10.255.255.1"_s);
    EXPECT_EQ(panel()->sessionList()->toPlainText(),
              OemToAnsiText(RunAndCapture(u"query user /server 10.255.255.1"_s, u"C:\\"_s)).trimmed().replace(u"\r\n"_s, u"\n"_s));
    EXPECT_FALSE(panel()->sessionList()->toPlainText().isEmpty());
    EXPECT_EQ(panel()->totalBox()->text(), u"0"_s);

    // "Подключить" stores what the field holds, then refreshes from it.
    panel()->addressField()->setText(u"localhost"_s);
    panel()->connectButton()->click();
    EXPECT_EQ(IniFile(m_home.file(u"Example.ini"_s)).readString(u"IPTerminal"_s, u"setting"_s, {}), u"localhost"_s);
    EXPECT_EQ(panel()->activeBox()->text(), u"2"_s);
}

TEST_F(TerminalTab, ConnectCreatesTheSettingsFileAndAnEmptyAddressShowsTheToolsError)
{
    panel()->GetUserOnTerminal(); // no file, empty field: "query user /server " and nothing after
    EXPECT_EQ(panel()->sessionList()->toPlainText(),
              OemToAnsiText(RunAndCapture(u"query user /server "_s, u"C:\\"_s)).trimmed().replace(u"\r\n"_s, u"\n"_s));
    EXPECT_FALSE(panel()->sessionList()->toPlainText().isEmpty());
    EXPECT_EQ(panel()->totalBox()->text(), u"0"_s);

    panel()->addressField()->setText(u"127.0.0.1"_s);
    panel()->connectButton()->click();
    EXPECT_TRUE(QFileInfo::exists(m_home.file(u"Example.ini"_s)));
    EXPECT_EQ(panel()->totalBox()->text(), u"4"_s);
}

TEST_F(TerminalTab, ExecuteChecksItsFieldsRunsTheToolAndRefreshesTwice)
{
    storeAddress(u"127.0.0.1"_s);
    panel()->GetUserOnTerminal();
    EXPECT_EQ(panel()->actionList()->currentText(), u"Выберите действие..."_s);
    EXPECT_EQ(panel()->actionList()->count(), 6);
    EXPECT_EQ(panel()->actionList()->itemText(5), QString());
    // Text typed into the list and confirmed with Enter adds no action.
    QTest::keyClicks(panel()->actionList()->lineEdit(), u"foo"_s);
    QTest::keyClick(panel()->actionList()->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(panel()->actionList()->count(), 6);
    EXPECT_EQ(panel()->actionList()->findText(u"foo"_s), -1);
    panel()->actionList()->setCurrentIndex(-1);
    panel()->actionList()->setEditText(u"Выберите действие..."_s);

    panel()->executeButton()->click();
    panel()->idField()->setText(u" 4-5 "_s);
    panel()->executeButton()->click();
    EXPECT_EQ(logLines(),
              (QStringList{u"Укажите (номер) ID сессии (Пример: 5) или диапазон (Пример: 4-17) или через запятую (Пример: 1,2,7,50)!"_s,
                           u"Выберите действие, которое нужно применить на сервере терминалов!"_s}));
    EXPECT_EQ(w->eventLog()->lineColour(0), QColor(0xFF, 0, 0));
    EXPECT_TRUE(calls().isEmpty());

    w->eventLog()->clearLog();
    panel()->actionList()->setCurrentIndex(2); // "Сброс сессии"
    int refreshes = 0;
    QObject::connect(panel()->sessionList(), &QPlainTextEdit::textChanged, [&] { ++refreshes; });
    panel()->executeButton()->click();
    EXPECT_EQ(calls(), (QStringList{u"KillSession 4"_s, u"KillSession 5"_s}));
    EXPECT_EQ(logLines(), QStringList{u"Команда \"Сбросить сессии\" была отправлена!"_s});
    EXPECT_EQ(w->eventLog()->lineColour(0), QColor(0, 0x80, 0));
    EXPECT_EQ(panel()->totalBox()->text(), u"1"_s);
    EXPECT_TRUE(w->NeadRefreshTS);
    // The 3-second tick reads the list once more, then no more.
    const int before = refreshes;
    w->Timer1Timer();
    EXPECT_GT(refreshes, before);
    EXPECT_FALSE(w->NeadRefreshTS);
}

TEST_F(TerminalTab, TheListsPopupMenuHoldsTheRefreshTheBulkCommandsAndTheMessage)
{
    EXPECT_EQ(menuOutline(panel()->popupMenu()),
              (QStringList{u"refresh: Обновить"_s, u"-"_s, u"blockLogons: Заблокировать вход на TS"_s,
                           u"unblockLogons: Разблокировать вход на TS"_s, u"-"_s, u"sendMessage: Отправить сообщение"_s,
                           u"-"_s, u"logoffDisconnectedSessions: Завершить отключенные сессии"_s,
                           u"resetDisconnectedSessions: Сбросить отключенные сессии"_s, u"-"_s,
                           u"disconnectSessions: Отключить сессии"_s, u"logoffSessions: Завершить сессии"_s,
                           u"resetSessions: Сбросить сессии"_s}));
}

TEST_F(TerminalTab, TheBulkCommandsRunFromAllThreeMenusAndTheTrayAddsItsLineAndBalloon)
{
    storeAddress(u"127.0.0.1"_s);
    panel()->GetUserOnTerminal();
    QDir(m_home.path()).mkpath(u"Templates"_s);
    QDir(m_home.path()).mkpath(u"Script"_s);
    const QByteArray reg = "reg add \"[Dz_s_reg]\\HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server\" "
                           "/v WinStationsDisabled /t REG_SZ /d ";
    m_home.write(u"Templates/TSDisable.cmd"_s, "@echo off\r\necho blocked [DZ_S_REG]> state.txt\r\n" + reg + "1 /f\r\n");
    m_home.write(u"Templates/TSEnable.cmd"_s, "@echo off\r\necho open [dz_s_reg]> state.txt\r\n" + reg + "0 /f\r\n");
    m_home.write(u"Templates/tsdisconAll.cmd"_s, "@echo off\r\ntsdiscon 3 [Dz_s]\r\n");
    const struct {
        const char *menu;
        const char *item;
        const char *state;
        QStringList lines;
        QStringList balloons;
        QStringList calls;
    } cases[] = {
        {"popup", "blockLogons", "blocked \\\\127.0.0.1\r\n",
         {u"Команда \"Заблокировать вход на сервер терминалов\", была отправлена!"_s}, {}, {}},
        {"main", "unblockLogons", "open \\\\127.0.0.1\r\n",
         {u"Команда \"Разрешить вход на сервер терминалов\", была отправлена!"_s}, {}, {}},
        {"tray", "blockLogons", "blocked \\\\127.0.0.1\r\n",
         {u"Команда \"Заблокировать вход на сервер терминалов\", была отправлена!"_s,
          u"Доступ на сервер терминалов заблокирован!"_s},
         {u"Dozorix: Доступ на сервер терминалов заблокирован!"_s}, {}},
        {"tray", "unblockLogons", "open \\\\127.0.0.1\r\n",
         {u"Команда \"Разрешить вход на сервер терминалов\", была отправлена!"_s,
          u"Доступ на сервер терминалов восстановлен!"_s},
         {u"Dozorix: Доступ на сервер терминалов восстановлен!"_s}, {}},
        // An ssh logon cannot be disconnected without ending it: left alone, said in red.
        {"tray", "disconnectSessions", nullptr,
         {u"Не удалось отключить сеанс 3, код ошибки 50"_s, u"Ошибка [50]:Такой запрос не поддерживается."_s,
          u"Сеанс ssh нельзя отключить, не завершив его: программы пользователя закрылись бы вместе с ним. Сеанс "
          u"оставлен как есть."_s},
         {}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.menu) + " " + c.item);
        w->eventLog()->clearLog();
        balloons.clear();
        const QWidget *menu = QByteArray(c.menu) == "main" ? static_cast<QWidget *>(w->menuBar())
                              : QByteArray(c.menu) == "tray" ? static_cast<QWidget *>(w->trayMenu())
                                                              : panel()->popupMenu();
        QAction *item = findMenuAction(menu, QString::fromLatin1(c.item));
        ASSERT_NE(item, nullptr);
        ASSERT_TRUE(item->isEnabled());
        item->trigger();
        ASSERT_TRUE(waitForBackgroundCommands(10000));
        if (c.state) {
            EXPECT_TRUE(waitUntil([&] { return m_home.read(u"Script/state.txt"_s) == QByteArray(c.state); }))
                << m_home.read(u"Script/state.txt"_s).toStdString();
        }
        EXPECT_EQ(logLines(), c.lines);
        EXPECT_EQ(balloons, c.balloons);
        EXPECT_EQ(calls(), c.calls);
        // Green for what was done, red for what was not.
        if (!c.lines.isEmpty()) {
            EXPECT_EQ(w->eventLog()->lineColour(0), c.lines[0].startsWith(u"Команда"_s) ? QColor(0, 0x80, 0)
                                                                                        : QColor(0xFF, 0, 0));
        }
    }

    // A missing template: the error box names it; nothing is logged, and
    // the tray's own line and balloon are not given either.
    w->eventLog()->clearLog();
    balloons.clear();
    QFile::remove(m_home.file(u"Templates/TSDisable.cmd"_s));
    findMenuAction(w->trayMenu(), u"blockLogons"_s)->trigger();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].contains(m_home.file(u"Templates/TSDisable.cmd"_s))) << boxes[0].toStdString();
    EXPECT_TRUE(logLines().isEmpty());
    EXPECT_TRUE(balloons.isEmpty());
}

TEST_F(TerminalTab, TheMessageWindowSendsToSessionsOrAgentsByHowItWasOpened)
{
    storeAddress(u"127.0.0.1"_s);
    panel()->GetUserOnTerminal();
    TForm7 *form = w->form7();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->idField()->text(), u"*"_s);

    // Terminal sessions, from the main menu: the address is the tab's, a list
    // skips session 0, and two lines go as one.
    bool checked = false;
    QTimer::singleShot(0, form, [&] {
        EXPECT_TRUE(form->isVisible());
        EXPECT_TRUE(form->isModal());
        EXPECT_EQ(form->windowTitle(), u"Dozorix v: 1.5"_s);
        EXPECT_EQ(form->size(), form->minimumSize());
        EXPECT_EQ(form->size(), form->maximumSize());
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        EXPECT_LE((form->geometry().center() - screen.center()).manhattanLength(), 6);
        EXPECT_EQ(form->addressField()->text(), u"127.0.0.1"_s);
        EXPECT_TRUE(form->idField()->isVisible());
        form->idField()->setText(u"0,3"_s);
        form->textBox()->setPlainText(u"Сервер будет\nперезагружен"_s);
        form->sendButton()->click();
        form->reject();
        checked = true;
    });
    findMenuAction(w->menuBar(), u"messageToAll"_s)->trigger();
    ASSERT_TRUE(checked);
    ASSERT_TRUE(waitForBackgroundCommands(10000));
    const QString line = u"Сообщение отправлено: \"Сервер будет  перезагружен\" для ID: 3"_s;
    EXPECT_EQ(logLines(), QStringList{line});
    EXPECT_EQ(balloons, QStringList{u"Dozorix: "_s + line});

    // Selected agents, from the online-users popup: the target fields are
    // hidden, "#alm" goes to the selected row's agent only, and closing the
    // window clears the mode.
    const quint16 port = unusedLocalPort();
    ASSERT_TRUE(w->StartAgentServer(port));
    AgentPeer one(port);
    AgentPeer two(port, QHostAddress(u"127.0.0.2"_s));
    ASSERT_TRUE(one.greeted());
    ASSERT_TRUE(two.greeted());
    one.say(statusMessage(u"1cv8c"_s, u"127.0.0.1"_s, u"PC1"_s, u"user1"_s, u"1"_s, u"0"_s));
    two.say(statusMessage(u"1cv8c"_s, u"127.0.0.2"_s, u"PC2"_s, u"user2"_s, u"1"_s, u"0"_s));
    ASSERT_TRUE(waitUntil([&] { return w->ServerSocket1()->onlineUsers()->rowCount() == 2; }));
    QTableView *table = w->onlineUsersPanel()->table();
    int rowOfTwo = -1;
    for (int r = 0; r < 2; ++r) {
        if (w->ServerSocket1()->onlineUsers()->cell(r, OnlineUsersModel::ColAddress) == u"127.0.0.2"_s)
            rowOfTwo = r;
    }
    ASSERT_GE(rowOfTwo, 0);
    table->selectionModel()->select(table->model()->index(rowOfTwo, 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
    w->eventLog()->clearLog();
    balloons.clear();
    checked = false;
    QTimer::singleShot(0, form, [&] {
        EXPECT_TRUE(w->ClienServerCh);
        EXPECT_FALSE(form->idField()->isVisible());
        EXPECT_FALSE(form->addressLabel()->isVisible());
        form->textBox()->setPlainText(u"Обед"_s);
        form->sendButton()->click();
        form->reject();
        checked = true;
    });
    ASSERT_TRUE(findMenuAction(w->onlineUsersPanel()->popupMenu(), u"messageToSelected"_s) != nullptr);
    findMenuAction(w->onlineUsersPanel()->popupMenu(), u"messageToSelected"_s)->trigger();
    ASSERT_TRUE(checked);
    EXPECT_TRUE(two.hears(u"#almОбед"_s));
    EXPECT_EQ(one.heard(), QString());
    EXPECT_EQ(logLines(), QStringList{u"Сообщение отправлено: \"Обед\" "_s});
    EXPECT_TRUE(balloons.isEmpty());
    EXPECT_FALSE(w->ClienServerCh);
    EXPECT_FALSE(w->ClienServerChAll);

    // All agents.
    checked = false;
    QTimer::singleShot(0, form, [&] {
        EXPECT_TRUE(w->ClienServerChAll);
        form->textBox()->setPlainText(u"Всем"_s);
        form->sendButton()->click();
        form->reject();
        checked = true;
    });
    findMenuAction(w->onlineUsersPanel()->popupMenu(), u"messageToAll"_s)->trigger();
    ASSERT_TRUE(checked);
    EXPECT_TRUE(one.hears(u"#almВсем"_s));
    EXPECT_TRUE(two.hears(u"#almОбед#almВсем"_s));
    EXPECT_FALSE(w->ClienServerChAll);

    // Back in the terminal mode the fields are there again (the tray clears
    // the selected-agents flag first).
    w->ClienServerCh = true;
    checked = false;
    QTimer::singleShot(0, form, [&] {
        EXPECT_FALSE(w->ClienServerCh);
        EXPECT_TRUE(form->idField()->isVisible());
        EXPECT_TRUE(form->addressField()->isVisible());
        // Opened again while open: the main window is maximised instead.
        w->openMessageWindow(TForm1::MessageMode::TerminalSessions);
        EXPECT_TRUE(w->windowState() & Qt::WindowMaximized);
        form->reject();
        checked = true;
    });
    findMenuAction(w->trayMenu(), u"messageToAll"_s)->trigger();
    ASSERT_TRUE(checked);
}

TEST_F(TerminalTab, TheShippedTemplatesDoTheirJobsFromTheMenus)
{
    // The templates and launchers as they come with the console.
    for (const char *folder : {"Templates", "Script"}) {
        const QString from = QStringLiteral(DOZORIX_SOURCE_DIR "/data/") + QString::fromLatin1(folder);
        QDir(m_home.path()).mkpath(QString::fromLatin1(folder));
        for (const QString &name : QDir(from).entryList(QDir::Files))
            ASSERT_TRUE(QFile::copy(from + u'/' + name, m_home.file(QString::fromLatin1(folder) + u'/' + name)));
    }
    const QString nologin = m_home.file(u"nologin"_s);
    ScopedEnv nologinFile("DOZORIX_NOLOGIN", QFile::encodeName(nologin));
    storeAddress(u"127.0.0.1"_s);
    panel()->GetUserOnTerminal();

    const auto trigger = [&](const char *name) {
        QAction *item = findMenuAction(panel()->popupMenu(), QString::fromLatin1(name));
        ASSERT_NE(item, nullptr);
        item->trigger();
        ASSERT_TRUE(waitForBackgroundCommands(10000));
    };
    trigger("blockLogons");
    EXPECT_TRUE(waitUntil([&] { return QFileInfo::exists(nologin); }));
    trigger("unblockLogons");
    EXPECT_TRUE(waitUntil([&] { return !QFileInfo::exists(nologin); }));

    // Sessions 4 and 5 are not in front: only they are logged off.
    trigger("logoffDisconnectedSessions");
    QStringList done = calls();
    done.sort();
    EXPECT_EQ(done, (QStringList{u"TerminateSession 4"_s, u"TerminateSession 5"_s}));
    EXPECT_EQ(panel()->totalBox()->text(), u"1"_s); // refreshed after the script
    // Session 3 is an ssh logon: neither locked nor ended, and the refusal is red.
    w->eventLog()->clearLog();
    trigger("disconnectSessions");
    EXPECT_EQ(calls(), QStringList{});
    EXPECT_EQ(logLines().last(), u"Сеанс ssh нельзя отключить, не завершив его: программы пользователя закрылись бы "
                                 u"вместе с ним. Сеанс оставлен как есть."_s);
    EXPECT_EQ(w->eventLog()->lineColour(w->eventLog()->lineCount() - 1), QColor(0xFF, 0, 0));
    EXPECT_FALSE(logLines().contains(u"Команда \"Отключить все сессии\" была отправлена!"_s));
}
