// The settings dialog driven through its widgets, as the program creates it
// with its main window: captions, keys and design values, loading and saving
// the settings file, the "на E-mail" check, the agent server's start and stop
// through the main window (its StartCS flag, its listening socket, its event
// log), autostart, and the test letter through a real SMTP server.
#include "agents/AgentServer.h"
#include "agents/OnlineUsersModel.h"
#include "app/ui/EventLog.h"
#include "app/ui/TForm1.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/Stamps.h"
#include "notify/NotificationMail.h"
#include "notify/ui/TForm10.h"
#include "peers/SmtpPeer.h"
#include "support/LocalPort.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

using namespace dozorix;
using test::SmtpPeer;

namespace {

const QString kStamp = QStringLiteral(R"(^\d\d\.\d\d\.\d{4} - \d{1,2}:\d\d:\d\d : )");
const QString kFillLine = QStringLiteral("Заполните все поля для отправки уведомлений на Email");
const QString kStartedLine = QStringLiteral("Сервер Dozorix успешно стартовал!");
const QString kStoppedLine = QStringLiteral("Сервер Dozorix остановлен!");
const QString kStartFailedPrefix = QStringLiteral("Не удалось запустить сервер Dozorix: ");
const QString kSection = QStringLiteral("settings");

struct LoggedLine {
    QString text;
    unsigned int rgb;
};

// An agent on 127.0.0.1: connects and waits for the console's greeting "§".
class Agent
{
public:
    explicit Agent(quint16 port)
    {
        QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] { m_in += m_socket.readAll(); });
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }
    ~Agent() { m_socket.abort(); }

    bool greeted()
    {
        return test::waitUntil([this] { return m_in.startsWith('\xA7'); }, 5000);
    }
    bool refused()
    {
        return test::waitUntil([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, 5000)
            && m_in.isEmpty();
    }
    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool closedByConsole()
    {
        return test::waitUntil([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, 5000);
    }
    // The status message of an agent on 10.0.0.7, user ivanov.
    void announce()
    {
        m_socket.write(QByteArray("\xA7" "agent" "\xA7" "1cv8c" "\xA7" "10.0.0.7" "\xA7" "PC" "\xA7" "ivanov"
                                  "\xA7" "1" "\xA7" "0" "\xA7" "0"));
        m_socket.flush();
    }

private:
    QTcpSocket m_socket;
    QByteArray m_in;
};

class SettingsDialogTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        window.reset();
        test::waitUntil([] { return mailsInFlight() == 0; }, 30000);
    }

    // A program start: the main window (the one before it goes first), its
    // log emptied of its design line, then its other windows, among them the
    // settings dialog, which reads the settings file now.
    TForm10 &make()
    {
        dialog = nullptr;
        window.reset();
        window = std::make_unique<TForm1>();
        window->eventLog()->clearLog();
        window->createOtherWindows();
        dialog = window->form10();
        return *dialog;
    }

    AgentServer *agentServer() const { return window->ServerSocket1(); }
    bool listensOn(int port) const { return agentServer()->isListening() && agentServer()->serverPort() == port; }

    void writeIni(const QString &settingsLines, const QString &more = {}) const
    {
        home.write(QStringLiteral("Example.ini"), (QStringLiteral("[settings]\r\n") + settingsLines + more).toUtf8());
    }

    QCheckBox *check(const char *key) const { return dialog->findChild<QCheckBox *>(QString::fromLatin1(key)); }
    QLineEdit *box(const char *key) const { return dialog->findChild<QLineEdit *>(QString::fromLatin1(key)); }

    // Fills the six mail boxes; the one named by `leaveEmpty` stays empty.
    void fillMail(const char *leaveEmpty = "")
    {
        const std::pair<const char *, const char *> values[] = {
            {"E-mail_From_Address", "robot@firm.ru"}, {"E-mail_EMailAddresses", "admin@firm.ru"},
            {"E-mail_HostSmtp", "127.0.0.1"},        {"E-mail_Port", "465"},
            {"E-mail_Username", "robot"},            {"E-mail_Password", "secret"},
        };
        for (const auto &[key, value] : values)
            box(key)->setText(qstrcmp(key, leaveEmpty) == 0 ? QString() : QString::fromLatin1(value));
    }

    // The program's event log, line by line.
    std::vector<LoggedLine> log() const
    {
        std::vector<LoggedLine> out;
        const EventLog *panel = window->eventLog();
        for (int i = 0; i < panel->lineCount(); ++i)
            out.push_back({panel->lineText(i), panel->lineColour(i).rgb() & 0xFFFFFFu});
        return out;
    }
    void clearLog() const { window->eventLog()->clearLog(); }

    QStringList lines(unsigned int rgb, const QString &text) const
    {
        QStringList out;
        for (const LoggedLine &l : log()) {
            if (l.rgb == rgb && l.text.endsWith(text))
                out << l.text;
        }
        return out;
    }

    int count(unsigned int rgb, const QString &text) const { return static_cast<int>(lines(rgb, text).size()); }

    QString autostartEntry() const { return config.filePath(QStringLiteral("autostart/Dozorix.desktop")); }

    void expectServerShown(bool running) const
    {
        EXPECT_EQ(dialog->indicator()->color(), QColor(running ? 0x00FF00 : 0xFF0000));
        EXPECT_EQ(dialog->serverRunning(), running);
        EXPECT_EQ(dialog->startServerButton()->isEnabled(), !running);
        EXPECT_EQ(box("Port1")->isEnabled(), !running);
        EXPECT_EQ(box("Port2")->isEnabled(), !running);
        EXPECT_TRUE(dialog->stopServerButton()->isEnabled());
    }

    test::ProgramHome home;
    test::ScopedEnv scope{"DOZORIX_INSTANCE_SCOPE", QFile::encodeName(home.path())};
    QTemporaryDir config;
    test::ScopedEnv xdg{"XDG_CONFIG_HOME", QFile::encodeName(config.path())};
    std::unique_ptr<TForm1> window;
    TForm10 *dialog = nullptr;
};

QLabel *labelFor(const QWidget *dialog, const QWidget *buddy)
{
    for (QLabel *l : dialog->findChildren<QLabel *>()) {
        if (l->buddy() == buddy)
            return l;
    }
    return nullptr;
}

} // namespace

TEST_F(SettingsDialogTest, EveryControlHasItsCaptionKeyAndDesignValue)
{
    TForm10 &d = make();
    enum Place { Left, Notifications, Mail, ClientServer };
    struct Row {
        const char *key;
        bool isCheck;
        const char *caption; // check box text or the box's label
        Place place;
        const char *design;  // box text; check boxes are all off
    } rows[] = {
        {"AvtoZapusk", true, "Запуск программы при старте Windows.", Left, ""},
        {"Trey", true, "Старт в системном трее.", Left, ""},
        {"CPU__LOAD_ALL", true, "Загрузка ЦПУ 1С:", Notifications, ""},
        {"CPU_ALL_LOAD_PROCENT", false, "%", Notifications, ""},
        {"CPU_ALL_LOAD_EMAIL", true, "на E-mail", Notifications, ""},
        {"CPU_1C_LOAD", true, "Загрузка ЦПУ 1С Предприятие:", Notifications, ""},
        {"CPU_1C_LOAD_PROCENT", false, "%", Notifications, ""},
        {"CPU_1C_LOAD_EMAIL", true, "на E-mail", Notifications, ""},
        {"CPU_SERVER_LOAD", true, "Загрузка ЦПУ Сервер 1С:", Notifications, ""},
        {"CPU_SERVER_LOAD_PROCENT", false, "%", Notifications, ""},
        {"CPU_SERVER_LOAD_EMAIL", true, "на E-mail", Notifications, ""},
        {"E-mail_From_Address", false, "E-mail (С которого отправляем письмо).", Mail, ""},
        {"E-mail_EMailAddresses", false, "E-mail (Куда отправляем письмо).", Mail, ""},
        {"E-mail_HostSmtp", false, "SMTP сервер.", Mail, ""},
        {"E-mail_Port", false, "Порт", Mail, ""},
        {"E-mail_Username", false, "Логин", Mail, ""},
        {"E-mail_Password", false, "Пароль", Mail, ""},
        {"Port1", false, "Основной порт", ClientServer, "5005"},
        {"Port2", false, "Вторичный порт", ClientServer, "5006"},
    };
    const QWidget *tabOf[] = {nullptr, d.notificationsTab(), d.mailTab(), d.clientServerTab()};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.key);
        QWidget *control = r.isCheck ? static_cast<QWidget *>(check(r.key)) : box(r.key);
        ASSERT_NE(control, nullptr);
        if (r.isCheck) {
            EXPECT_EQ(check(r.key)->text(), QString::fromUtf8(r.caption));
            EXPECT_FALSE(check(r.key)->isChecked());
        } else {
            QLabel *label = labelFor(&d, control);
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(label->text(), QString::fromUtf8(r.caption));
            EXPECT_EQ(box(r.key)->text(), QString::fromUtf8(r.design));
        }
        if (r.place == Left)
            EXPECT_FALSE(d.tabs()->isAncestorOf(control));
        else
            EXPECT_TRUE(tabOf[r.place]->isAncestorOf(control));
    }

    EXPECT_EQ(d.windowTitle(), "Dozorix v: 1.5");
    EXPECT_EQ(d.minimumSize(), QSize(636, 321));
    EXPECT_EQ(d.maximumSize(), QSize(636, 321));
    ASSERT_EQ(d.tabs()->count(), 3);
    EXPECT_EQ(d.tabs()->tabText(0), "Уведомления");
    EXPECT_EQ(d.tabs()->tabText(1), "E-mail (настройки).");
    EXPECT_EQ(d.tabs()->tabText(2), "Клиент-Сервер");
    EXPECT_EQ(d.tabs()->currentWidget(), d.notificationsTab());

    EXPECT_EQ(box("E-mail_Password")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(box("E-mail_Password")->styleSheet(), "lineedit-password-character: 42;");
    const QLabel *note = d.findChild<QLabel *>(QStringLiteral("PortNote"));
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(note->text(), "( Например SSL - 465, 495, 587 ) или обычный 25");
    EXPECT_TRUE(d.mailTab()->isAncestorOf(note));
    EXPECT_EQ(d.testMailButton()->text(), "Отправить тестовое письмо.");
    EXPECT_TRUE(d.mailTab()->isAncestorOf(d.testMailButton()));

    const QList<QGroupBox *> groups = d.clientServerTab()->findChildren<QGroupBox *>();
    ASSERT_EQ(groups.size(), 1);
    EXPECT_EQ(groups[0]->title(), "Настройки");
    for (QWidget *w : std::initializer_list<QWidget *>{box("Port1"), box("Port2"), d.startServerButton(),
                                                        d.stopServerButton(), d.indicator()})
        EXPECT_TRUE(groups[0]->isAncestorOf(w));
    EXPECT_EQ(d.startServerButton()->text(), "Запустить сервер");
    EXPECT_EQ(d.stopServerButton()->text(), "Остановить");
    expectServerShown(false);
    EXPECT_TRUE(log().empty());
}

TEST_F(SettingsDialogTest, ShowsCentredOnTheDesktopWithTheTabsRightAndNoCaptionCutOff)
{
    // The main window in the corner: the dialog still goes to the desktop's centre.
    TForm10 &d = make();
    window->setGeometry(10, 40, 300, 200);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    ASSERT_GT((window->frameGeometry().center() - screenCentre).manhattanLength(), 40);
    d.setWindowTitle(QStringLiteral("something else"));
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    EXPECT_EQ(d.windowTitle(), "Dozorix v: 1.5"); // set again when it becomes active
    EXPECT_EQ(d.size(), QSize(636, 321));
    EXPECT_LE((d.frameGeometry().center() - screenCentre).manhattanLength(), 4)
        << d.frameGeometry().center().x() << "," << d.frameGeometry().center().y();
    // Again after the user moved it away and it was closed.
    d.hide();
    d.move(0, 0);
    d.show();
    EXPECT_LE((d.frameGeometry().center() - screenCentre).manhattanLength(), 4);
    EXPECT_GT(d.tabs()->geometry().left(), d.autostartBox()->geometry().right());
    EXPECT_GT(d.tabs()->geometry().left(), d.trayBox()->geometry().right());
    // A general option's caption wraps in its narrow column and stays clickable throughout.
    const QRect caption = d.autostartBox()->rect();
    EXPECT_GT(caption.height(), d.trayBox()->fontMetrics().height() * 3 / 2);
    QTest::mouseClick(d.autostartBox(), Qt::LeftButton, {}, QPoint(caption.width() / 2, caption.height() - 3));
    EXPECT_TRUE(d.autostartBox()->isChecked());

    // On every tab each caption gets the room it asks for, inside the window.
    for (int i = 0; i < d.tabs()->count(); ++i) {
        d.tabs()->setCurrentIndex(i);
        QCoreApplication::processEvents();
        for (QWidget *w : d.findChildren<QWidget *>()) {
            if (!w->isVisible() || !(qobject_cast<QLabel *>(w) || qobject_cast<QAbstractButton *>(w)))
                continue;
            SCOPED_TRACE(w->objectName().toStdString() + " " + w->property("text").toString().toStdString());
            EXPECT_GE(w->width(), w->minimumSizeHint().width());
            const QRect inDialog(w->mapTo(&d, QPoint(0, 0)), w->size());
            EXPECT_TRUE(d.rect().contains(inDialog));
        }
    }
    d.hide();
}

TEST_F(SettingsDialogTest, LoadsEveryKeyInAtCreation)
{
    writeIni(QStringLiteral("AvtoZapusk=1\r\nTrey=1\r\n"
                            "E-mail_From_Address=robot@firm.ru\r\nE-mail_EMailAddresses=admin@firm.ru, boss@firm.ru\r\n"
                            "E-mail_HostSmtp=smtp.firm.ru\r\nE-mail_Port=587\r\nE-mail_Username=робот\r\n"
                            "E-mail_Password=\"пароль с пробелом\"\r\n"
                            "CPU_1C_LOAD=1\r\nCPU_1C_LOAD_EMAIL=1\r\nCPU_1C_LOAD_PROCENT=70\r\n"
                            "CPU__LOAD_ALL=1\r\nCPU_ALL_LOAD_EMAIL=1\r\nCPU_ALL_LOAD_PROCENT=80\r\n"
                            "CPU_SERVER_LOAD=1\r\nCPU_SERVER_LOAD_EMAIL=1\r\nCPU_SERVER_LOAD_PROCENT=90\r\n"
                            "StartCS=0\r\nPort1=6001\r\nPort2=6002\r\n"));
    make();
    for (const char *key : {"AvtoZapusk", "Trey", "CPU_1C_LOAD", "CPU_1C_LOAD_EMAIL", "CPU__LOAD_ALL", "CPU_ALL_LOAD_EMAIL",
                            "CPU_SERVER_LOAD", "CPU_SERVER_LOAD_EMAIL"})
        EXPECT_TRUE(check(key)->isChecked()) << key;
    const std::pair<const char *, const char *> texts[] = {
        {"E-mail_From_Address", "robot@firm.ru"}, {"E-mail_EMailAddresses", "admin@firm.ru, boss@firm.ru"},
        {"E-mail_HostSmtp", "smtp.firm.ru"},      {"E-mail_Port", "587"},
        {"E-mail_Username", "робот"},             {"E-mail_Password", "пароль с пробелом"},
        {"CPU_1C_LOAD_PROCENT", "70"},            {"CPU_ALL_LOAD_PROCENT", "80"},
        {"CPU_SERVER_LOAD_PROCENT", "90"},        {"Port1", "6001"},
        {"Port2", "6002"},
    };
    for (const auto &[key, value] : texts)
        EXPECT_EQ(box(key)->text(), QString::fromUtf8(value)) << key;
    // Complete mail settings: the stored "на E-mail" boxes stay on, silently.
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(dialog->tabs()->currentWidget(), dialog->notificationsTab());
    EXPECT_FALSE(window->StartCS);
    EXPECT_FALSE(agentServer()->isListening());
    // Letters take their port from the box.
    EXPECT_EQ(readMailSettings().port, "587");
    box("E-mail_Port")->setText(QStringLiteral("2525"));
    EXPECT_EQ(readMailSettings().port, "2525");
    dialog = nullptr;
    window.reset();
    EXPECT_EQ(readMailSettings().port, "587"); // without the dialog, from the file again
}

TEST_F(SettingsDialogTest, MalformedOrMissingValuesKeepTheControlsAsDesigned)
{
    struct Case {
        const char *name;
        QString ini;
        bool trey;
        bool alert;
        QString percent;
        QString port1;
        QString port2;
    } cases[] = {
        {"not numbers", QStringLiteral("Trey=true\r\nCPU_1C_LOAD=yes\r\nCPU_1C_LOAD_PROCENT=abc\r\n"), false, false, "abc", "5005", "5006"},
        {"any non-zero number is on", QStringLiteral("Trey=2\r\nCPU_1C_LOAD=-1\r\nPort1= 7001 \r\n"), true, true, "", "7001", "5006"},
        {"keys missing", QStringLiteral("Other=1\r\n"), false, false, "", "5005", "5006"},
        {"empty values", QStringLiteral("Trey=\r\nPort2=\r\n"), false, false, "", "5005", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeIni(c.ini);
        make();
        EXPECT_EQ(check("Trey")->isChecked(), c.trey);
        EXPECT_EQ(check("CPU_1C_LOAD")->isChecked(), c.alert);
        EXPECT_EQ(box("CPU_1C_LOAD_PROCENT")->text(), c.percent); // a threshold is text, kept as typed
        EXPECT_EQ(box("Port1")->text(), c.port1);
        EXPECT_EQ(box("Port2")->text(), c.port2);
        EXPECT_FALSE(check("AvtoZapusk")->isChecked());
        EXPECT_FALSE(window->StartCS);
    }
}

TEST_F(SettingsDialogTest, WithoutTheSettingsFileNothingIsReadAndNoServerStarts)
{
    // A stray file of another name is not the settings file.
    home.write(QStringLiteral("Example.ini.bak"), "[settings]\r\nTrey=1\r\nStartCS=1\r\nPort1=6001\r\n");
    make();
    EXPECT_FALSE(check("Trey")->isChecked());
    EXPECT_EQ(box("Port1")->text(), "5005");
    EXPECT_FALSE(window->StartCS);
    EXPECT_FALSE(agentServer()->isListening());
    Agent agent(6001);
    EXPECT_TRUE(agent.refused());
    EXPECT_TRUE(log().empty());
}

TEST_F(SettingsDialogTest, EmailBoxNeedsAllSixMailSettings)
{
    struct Case {
        const char *emptyBox; // "" when all six are filled
        int redLines;
        bool staysTicked;
    } cases[] = {
        {"", 0, true},
        {"E-mail_Port", 2, false},
        {"E-mail_From_Address", 2, false},
        {"E-mail_EMailAddresses", 2, false},
        {"E-mail_HostSmtp", 2, false},
        {"E-mail_Username", 2, false},
        {"E-mail_Password", 2, false},
    };
    make();
    for (const char *mailBox : {"CPU_ALL_LOAD_EMAIL", "CPU_1C_LOAD_EMAIL", "CPU_SERVER_LOAD_EMAIL"}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(mailBox) + " with empty " + c.emptyBox);
            clearLog();
            check(mailBox)->setChecked(false);
            dialog->tabs()->setCurrentWidget(dialog->notificationsTab());
            fillMail(c.emptyBox);

            check(mailBox)->click();
            EXPECT_EQ(check(mailBox)->isChecked(), c.staysTicked);
            EXPECT_EQ(count(kLogRed, kFillLine), c.redLines);
            EXPECT_EQ(static_cast<int>(log().size()), c.redLines);
            for (const QString &line : lines(kLogRed, kFillLine))
                EXPECT_TRUE(QRegularExpression(kStamp + kFillLine + "$").match(line).hasMatch()) << line.toStdString();
            EXPECT_EQ(dialog->tabs()->currentWidget(), c.staysTicked ? dialog->notificationsTab() : dialog->mailTab());
        }
    }
}

TEST_F(SettingsDialogTest, UntickingWithIncompleteMailSettingsAlsoWarns)
{
    make();
    fillMail();
    check("CPU_1C_LOAD_EMAIL")->click();
    ASSERT_TRUE(check("CPU_1C_LOAD_EMAIL")->isChecked());
    ASSERT_TRUE(log().empty());

    box("E-mail_Password")->clear();
    check("CPU_1C_LOAD_EMAIL")->click();
    EXPECT_FALSE(check("CPU_1C_LOAD_EMAIL")->isChecked());
    EXPECT_EQ(count(kLogRed, kFillLine), 1);
    EXPECT_EQ(dialog->tabs()->currentWidget(), dialog->mailTab());
}

TEST_F(SettingsDialogTest, StoredEmailBoxesWithIncompleteMailSettingsAreSwitchedOffWhileLoading)
{
    writeIni(QStringLiteral("E-mail_From_Address=robot@firm.ru\r\nE-mail_EMailAddresses=admin@firm.ru\r\n"
                            "E-mail_HostSmtp=smtp.firm.ru\r\nE-mail_Port=465\r\nE-mail_Username=robot\r\n"
                            "CPU_1C_LOAD=1\r\nCPU_1C_LOAD_EMAIL=1\r\nCPU_ALL_LOAD_EMAIL=1\r\nCPU_SERVER_LOAD_EMAIL=1\r\n"));
    make();
    for (const char *key : {"CPU_1C_LOAD_EMAIL", "CPU_ALL_LOAD_EMAIL", "CPU_SERVER_LOAD_EMAIL"})
        EXPECT_FALSE(check(key)->isChecked()) << key;
    EXPECT_TRUE(check("CPU_1C_LOAD")->isChecked());
    EXPECT_EQ(count(kLogRed, kFillLine), 6); // two per stored box
    EXPECT_EQ(log().size(), 6u);
    EXPECT_EQ(dialog->tabs()->currentWidget(), dialog->mailTab());
}

TEST_F(SettingsDialogTest, StartAndStopButtonsDriveTheServerAndTheIndicator)
{
    make();
    const int port = test::unusedLocalPort();
    box("Port1")->setText(QString::number(port));
    dialog->startServerButton()->click();

    // The main window's agent server listens on the box's port and takes agents.
    EXPECT_TRUE(listensOn(port));
    EXPECT_TRUE(window->StartCS);
    expectServerShown(true);
    auto agent = std::make_unique<Agent>(port);
    EXPECT_TRUE(agent->greeted());
    agent->announce();
    EXPECT_TRUE(test::waitUntil([&] { return agentServer()->onlineUsers()->rowCount() == 1; }));
    EXPECT_EQ(count(kLogGreen, kStartedLine), 1); // the server's own line
    EXPECT_EQ(log().size(), 1u);

    dialog->stopServerButton()->click();
    EXPECT_FALSE(agentServer()->isListening());
    EXPECT_TRUE(agent->closedByConsole());
    EXPECT_EQ(agentServer()->onlineUsers()->rowCount(), 0);
    EXPECT_FALSE(window->StartCS);
    expectServerShown(false);
    EXPECT_EQ(count(kLogRed, kStoppedLine), 1);
    EXPECT_EQ(log().size(), 2u);
    EXPECT_TRUE(Agent(port).refused());

    // And again, on the same port.
    dialog->startServerButton()->click();
    EXPECT_TRUE(listensOn(port));
    EXPECT_TRUE(window->StartCS);
    expectServerShown(true);
    EXPECT_EQ(count(kLogGreen, kStartedLine), 2);
    EXPECT_TRUE(Agent(port).greeted());
}

TEST_F(SettingsDialogTest, FailedStartKeepsTheServerShownStoppedAndSaysWhy)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::AnyIPv4, 0));
    struct Case {
        const char *name;
        QString port;
        bool reachesServer;
        QString reasonPart;
    } cases[] = {
        {"port in use", QString::number(occupant.serverPort()), true, QString()},
        {"not a number", QStringLiteral("50o5"), false, QStringLiteral("\"50o5\"")},
        {"empty", QString(), false, QStringLiteral("\"\"")},
        {"zero", QStringLiteral("0"), false, QStringLiteral("\"0\"")},
        {"beyond the last port", QStringLiteral("65536"), false, QStringLiteral("\"65536\"")},
        {"negative", QStringLiteral("-5005"), false, QStringLiteral("\"-5005\"")},
    };
    make();
    QSignalSpy serverTried(agentServer(), &AgentServer::listeningChanged);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        clearLog();
        serverTried.clear();
        for (const bool wish : {true, false}) {
            window->StartCS = wish; // as the settings file may have left it
            clearLog();
            serverTried.clear();
            box("Port1")->setText(c.port);
            dialog->startServerButton()->click();
            // A failed start leaves the stored wish as it was.
            EXPECT_EQ(window->StartCS, wish);
        }

        // Only a port number reaches the server, which then fails to listen.
        EXPECT_EQ(serverTried.size(), c.reachesServer ? 1 : 0);
        EXPECT_FALSE(agentServer()->isListening());
        expectServerShown(false);
        EXPECT_EQ(count(kLogGreen, kStartedLine), 0);
        ASSERT_EQ(log().size(), 1u);
        EXPECT_EQ(log()[0].rgb, kLogRed);
        const QRegularExpression pattern(kStamp + QRegularExpression::escape(kStartFailedPrefix) + ".+$");
        EXPECT_TRUE(pattern.match(log()[0].text).hasMatch()) << log()[0].text.toStdString();
        const QString reason = c.reachesServer ? agentServer()->errorString() : c.reasonPart;
        EXPECT_TRUE(log()[0].text.contains(reason)) << log()[0].text.toStdString() << " / " << reason.toStdString();
    }

    // Once the port is free the same click works.
    const quint16 freed = occupant.serverPort();
    occupant.close();
    box("Port1")->setText(QString::number(freed));
    dialog->startServerButton()->click();
    expectServerShown(true);
    EXPECT_TRUE(window->StartCS);
    EXPECT_TRUE(listensOn(freed));
}

TEST_F(SettingsDialogTest, StartCSFromTheFileStartsTheServerAtCreation)
{
    const int port = test::unusedLocalPort();
    writeIni(QStringLiteral("StartCS=1\r\nPort1=%1\r\nPort2=7006\r\n").arg(port));
    make();
    // The port is read after StartCS and before the start.
    EXPECT_TRUE(listensOn(port));
    EXPECT_TRUE(window->StartCS);
    expectServerShown(true);
    // The server's line and the dialog's own.
    const QStringList started = lines(kLogGreen, kStartedLine);
    ASSERT_EQ(started.size(), 2);
    for (const QString &line : started)
        EXPECT_TRUE(QRegularExpression(kStamp + kStartedLine + "$").match(line).hasMatch()) << line.toStdString();

    // Showing the dialog does not start it a second time: an agent that came
    // meanwhile stays connected.
    Agent agent(port);
    ASSERT_TRUE(agent.greeted());
    QSignalSpy serverChanged(agentServer(), &AgentServer::listeningChanged);
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    EXPECT_EQ(serverChanged.size(), 0);
    EXPECT_EQ(lines(kLogGreen, kStartedLine).size(), 2);
    EXPECT_TRUE(agent.connected());
    EXPECT_EQ(agentServer()->connectionCount(), 1u);
    dialog->hide();
}

TEST_F(SettingsDialogTest, StartCSFromTheFileWithABusyPortReportsTheFailureAndKeepsTheWish)
{
    auto occupant = std::make_unique<QTcpServer>();
    ASSERT_TRUE(occupant->listen(QHostAddress::AnyIPv4, 0));
    const quint16 port = occupant->serverPort();
    writeIni(QStringLiteral("StartCS=1\r\nPort1=%1\r\n").arg(port));
    make();
    EXPECT_TRUE(window->StartCS); // the wish outlives the busy port
    EXPECT_FALSE(agentServer()->isListening());
    expectServerShown(false);
    EXPECT_EQ(count(kLogGreen, kStartedLine), 0);
    ASSERT_EQ(log().size(), 1u);
    EXPECT_TRUE(log()[0].text.contains(kStartFailedPrefix));

    // Becoming active tries again, once per showing, and says again why it
    // could not.
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    EXPECT_FALSE(agentServer()->isListening());
    ASSERT_EQ(log().size(), 2u);
    EXPECT_TRUE(log()[1].text.contains(kStartFailedPrefix));

    // Closing the dialog keeps "StartCS" stored, so the next program start
    // opens the server once the port is free.
    dialog->close();
    EXPECT_EQ(IniFile(home.file(QStringLiteral("Example.ini"))).readString(kSection, QStringLiteral("StartCS"), {}), "1");
    occupant.reset();
    make();
    EXPECT_TRUE(window->StartCS);
    EXPECT_TRUE(listensOn(port));
    expectServerShown(true);
}

TEST_F(SettingsDialogTest, BecomingActiveStartsTheServerWhenStartCSIsOnAndTheLampIsRed)
{
    make();
    const int port = test::unusedLocalPort();
    box("Port1")->setText(QString::number(port));
    window->StartCS = true; // set elsewhere in the program
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    EXPECT_TRUE(listensOn(port));
    EXPECT_EQ(count(kLogGreen, kStartedLine), 1);
    expectServerShown(true);
    dialog->hide();

    // A server opened elsewhere (a remote-screen menu item, through the main
    // window) is only shown as running: it stays on its port, unrestarted.
    dialog->StopAgentServer();
    EXPECT_FALSE(window->StartCS);
    const quint16 elsewhere = test::unusedLocalPort();
    ASSERT_TRUE(window->StartAgentServer(elsewhere));
    EXPECT_TRUE(window->StartCS);
    clearLog();
    QSignalSpy serverChanged(agentServer(), &AgentServer::listeningChanged);
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    EXPECT_EQ(serverChanged.size(), 0);
    EXPECT_TRUE(listensOn(elsewhere));
    EXPECT_TRUE(log().empty());
    EXPECT_TRUE(window->StartCS);
    expectServerShown(true);
    dialog->hide();
}

TEST_F(SettingsDialogTest, ClosingWritesEveryKeyAndSetsAutostart)
{
    writeIni(QStringLiteral("OFF_BASE=1\r\nHostMS=sql1\r\n"), QStringLiteral("[BACKUP]\r\nZipArhiv=1\r\n"));
    make();
    const int port = test::unusedLocalPort();

    // Every way of closing saves, each time.
    struct Closing {
        const char *name;
        std::function<void(TForm10 &)> close;
    } closings[] = {
        {"window close", [](TForm10 &d) { d.close(); }},
        {"Escape", [](TForm10 &d) { QTest::keyClick(&d, Qt::Key_Escape); }},
        {"accept", [](TForm10 &d) { d.accept(); }},
    };
    int round = 0;
    for (const Closing &c : closings) {
        SCOPED_TRACE(c.name);
        ++round;
        const bool on = round % 2 == 1;
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
        for (const char *key : {"AvtoZapusk", "Trey", "CPU_1C_LOAD", "CPU__LOAD_ALL", "CPU_SERVER_LOAD"})
            check(key)->setChecked(on);
        fillMail();
        box("E-mail_Username")->setText(QStringLiteral("робот %1").arg(round));
        box("CPU_1C_LOAD_PROCENT")->setText(QStringLiteral("7%1").arg(round));
        box("CPU_ALL_LOAD_PROCENT")->setText(QStringLiteral("abc")); // saved as typed
        box("CPU_SERVER_LOAD_PROCENT")->setText(QString());
        for (const char *key : {"CPU_1C_LOAD_EMAIL", "CPU_ALL_LOAD_EMAIL", "CPU_SERVER_LOAD_EMAIL"})
            check(key)->setChecked(on);
        box("Port2")->setText(QStringLiteral("600%1").arg(round));
        if (on) {
            box("Port1")->setText(QString::number(port));
            dialog->startServerButton()->click();
            ASSERT_TRUE(dialog->serverRunning());
        } else {
            dialog->stopServerButton()->click();
        }
        EXPECT_EQ(agentServer()->isListening(), on);
        EXPECT_EQ(window->StartCS, on); // the start sets the wish, the stop clears it

        c.close(*dialog);
        ASSERT_FALSE(dialog->isVisible());

        EXPECT_EQ(window->StartCS, on);
        const IniFile ini(home.file(QStringLiteral("Example.ini")));
        const QString one = on ? QStringLiteral("1") : QStringLiteral("0");
        for (const char *key : {"AvtoZapusk", "Trey", "CPU_1C_LOAD", "CPU_1C_LOAD_EMAIL", "CPU__LOAD_ALL",
                                "CPU_ALL_LOAD_EMAIL", "CPU_SERVER_LOAD", "CPU_SERVER_LOAD_EMAIL", "StartCS"})
            EXPECT_EQ(ini.readString(kSection, QString::fromLatin1(key), QStringLiteral("missing")), one) << key;
        const std::pair<const char *, QString> texts[] = {
            {"E-mail_From_Address", QStringLiteral("robot@firm.ru")},
            {"E-mail_EMailAddresses", QStringLiteral("admin@firm.ru")},
            {"E-mail_HostSmtp", QStringLiteral("127.0.0.1")},
            {"E-mail_Port", QStringLiteral("465")},
            {"E-mail_Username", QStringLiteral("робот %1").arg(round)},
            {"E-mail_Password", QStringLiteral("secret")},
            {"CPU_1C_LOAD_PROCENT", QStringLiteral("7%1").arg(round)},
            {"CPU_ALL_LOAD_PROCENT", QStringLiteral("abc")},
            {"CPU_SERVER_LOAD_PROCENT", QString()},
            {"Port1", QString::number(port)},
            {"Port2", QStringLiteral("600%1").arg(round)},
        };
        for (const auto &[key, value] : texts) {
            EXPECT_TRUE(ini.hasKey(kSection, QString::fromLatin1(key))) << key;
            EXPECT_EQ(ini.readString(kSection, QString::fromLatin1(key), QStringLiteral("missing")), value) << key;
        }
        // What belongs to others stays.
        EXPECT_EQ(ini.readString(kSection, QStringLiteral("HostMS"), {}), "sql1");
        EXPECT_EQ(ini.readString(kSection, QStringLiteral("OFF_BASE"), {}), "1");
        EXPECT_EQ(ini.readString(QStringLiteral("BACKUP"), QStringLiteral("ZipArhiv"), {}), "1");

        EXPECT_EQ(QFile::exists(autostartEntry()), on);
        if (on) {
            QFile entry(autostartEntry());
            ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
            EXPECT_TRUE(entry.readAll().contains("Exec="));
        }
    }
}

TEST_F(SettingsDialogTest, StartCSSurvivesARestartOnlyWhileTheServerRuns)
{
    const int port = test::unusedLocalPort();
    writeIni(QStringLiteral("StartCS=1\r\nPort1=%1\r\n").arg(port));
    make();
    ASSERT_TRUE(dialog->serverRunning());
    ASSERT_TRUE(listensOn(port));
    dialog->show();
    dialog->close();
    EXPECT_EQ(IniFile(home.file(QStringLiteral("Example.ini"))).readString(kSection, QStringLiteral("StartCS"), {}), "1");

    // The next program start (the first main window and its server gone)
    // opens the server again.
    make();
    EXPECT_TRUE(window->StartCS);
    EXPECT_TRUE(dialog->serverRunning());
    EXPECT_TRUE(listensOn(port));

    dialog->show();
    dialog->stopServerButton()->click();
    dialog->close();
    EXPECT_FALSE(window->StartCS);
    EXPECT_EQ(IniFile(home.file(QStringLiteral("Example.ini"))).readString(kSection, QStringLiteral("StartCS"), {}), "0");

    // And the start after that leaves it closed.
    make();
    EXPECT_FALSE(window->StartCS);
    EXPECT_FALSE(agentServer()->isListening());
    EXPECT_FALSE(dialog->serverRunning());
}

TEST_F(SettingsDialogTest, ClosingWithoutTheSettingsFileWritesNothingAndLeavesAutostartAlone)
{
    struct Case {
        const char *name;
        bool entryBefore;
        bool boxTicked;
    } cases[] = {
        {"ticked, no entry", false, true},
        {"unticked, entry present", true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(config.path()).removeRecursively();
        QDir().mkpath(config.filePath(QStringLiteral("autostart")));
        const QByteArray entryText = "[Desktop Entry]\nType=Application\nName=Dozorix\nExec=/opt/dozorix/dozorix\n";
        if (c.entryBefore) {
            QFile entry(autostartEntry());
            ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
            entry.write(entryText);
        }
        make();
        dialog->show();
        check("AvtoZapusk")->setChecked(c.boxTicked);
        check("Trey")->setChecked(true);
        box("Port1")->setText(QStringLiteral("6001"));
        dialog->close();

        EXPECT_EQ(QDir(home.path()).entryList(QDir::Files), QStringList());
        EXPECT_EQ(QFile::exists(autostartEntry()), c.entryBefore);
        if (c.entryBefore) {
            QFile entry(autostartEntry());
            ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
            EXPECT_EQ(entry.readAll(), entryText);
        }
    }
}

TEST_F(SettingsDialogTest, TestLetterGoesWithTheBoxesAsTheyStand)
{
    SmtpPeer peer({.auth = "require", .user = "mailer", .password = "верный"});
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    // The file holds settings that lead nowhere; the boxes are edited and not saved.
    const QByteArray file = QStringLiteral("[settings]\r\nE-mail_From_Address=old@firm.ru\r\nE-mail_EMailAddresses=old@firm.ru\r\n"
                                           "E-mail_HostSmtp=127.0.0.1\r\nE-mail_Port=%1\r\nE-mail_Username=old\r\n"
                                           "E-mail_Password=old\r\n")
                                .arg(test::unusedLocalPort())
                                .toUtf8();
    home.write(QStringLiteral("Example.ini"), file);
    make();
    dialog->show();
    box("E-mail_From_Address")->setText(QStringLiteral("robot@firm.ru"));
    box("E-mail_EMailAddresses")->setText(QStringLiteral("admin@firm.ru,boss@firm.ru"));
    box("E-mail_Port")->setText(peer.portText());
    box("E-mail_Username")->setText(QStringLiteral("mailer"));
    box("E-mail_Password")->setText(QStringLiteral("верный"));

    dialog->tabs()->setCurrentWidget(dialog->mailTab());
    QTest::mouseClick(dialog->testMailButton(), Qt::LeftButton);
    ASSERT_TRUE(test::waitUntil([] { return mailsInFlight() == 0; }, 30000));

    const QList<QJsonObject> letters = peer.letters();
    ASSERT_EQ(letters.size(), 1);
    EXPECT_EQ(letters[0]["mail_from"].toString(), "robot@firm.ru");
    EXPECT_EQ(letters[0]["subject"].toString(), "Тестовое письмо: Dozorix!");
    EXPECT_EQ(letters[0]["body"].toString(),
              "<p>Тестовое письмо.</p><p>Это сообщение отправлено автоматически программой Dozorix.</p>");
    EXPECT_EQ(peer.authLog(), QStringList{"LOGIN mailer ok"});
    ASSERT_EQ(log().size(), 1u);
    EXPECT_EQ(log()[0].rgb, kLogGreen);
    EXPECT_TRUE(QRegularExpression(kStamp + "Письмо успешно отправлено! $").match(log()[0].text).hasMatch())
        << log()[0].text.toStdString();
    EXPECT_EQ(home.read(QStringLiteral("Example.ini")), file) << "the test saves nothing";

    // A wrong password: a red line that says why.
    clearLog();
    box("E-mail_Password")->setText(QStringLiteral("неверный"));
    dialog->testMailButton()->click();
    ASSERT_TRUE(test::waitUntil([] { return mailsInFlight() == 0; }, 30000));
    ASSERT_EQ(log().size(), 1u);
    EXPECT_EQ(log()[0].rgb, kLogRed);
    EXPECT_TRUE(QRegularExpression(kStamp + "Не удалось отправить письмо: .*535").match(log()[0].text).hasMatch())
        << log()[0].text.toStdString();
    EXPECT_EQ(peer.letters().size(), 1);
    dialog->hide();
}

TEST_F(SettingsDialogTest, TestLetterClickedTwiceWhileOnItsWayGoesOnce)
{
    SmtpPeer peer({.dataDelaySeconds = 0.5});
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    make();
    fillMail();
    box("E-mail_Port")->setText(peer.portText());
    dialog->testMailButton()->click();
    dialog->testMailButton()->click();
    ASSERT_TRUE(test::waitUntil([] { return mailsInFlight() == 0; }, 30000));
    EXPECT_EQ(peer.letters().size(), 1);
    EXPECT_EQ(count(kLogGreen, QStringLiteral("Письмо успешно отправлено! ")), 1);

    // Once it has gone, the next click sends again.
    dialog->testMailButton()->click();
    ASSERT_TRUE(test::waitUntil([] { return mailsInFlight() == 0; }, 30000));
    EXPECT_EQ(peer.letters().size(), 2);
}

TEST(SettingsDialogRules, AgentPortText)
{
    struct Case {
        const char *text;
        bool ok;
        quint16 port;
    } cases[] = {
        {"5005", true, 5005}, {" 5005 ", true, 5005}, {"1", true, 1},        {"65535", true, 65535},
        {"0", false, 0},      {"65536", false, 0},    {"", false, 0},        {"50o5", false, 0},
        {"+5005", false, 0},  {"-1", false, 0},       {"0x1389", false, 0},  {"99999999999999999999", false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        quint16 port = 0;
        QString error;
        EXPECT_EQ(parseAgentPort(QString::fromLatin1(c.text), &port, &error), c.ok);
        if (c.ok)
            EXPECT_EQ(port, c.port);
        else
            EXPECT_TRUE(error.contains(QString::fromLatin1(c.text))) << error.toStdString();
    }
}

// A settings file made read-only: closing the dialog saves nothing, leaves the
// file as it was and says so once in red, with the reason; the same failure
// is not repeated on the next close, but is again after a save succeeded.
TEST_F(SettingsDialogTest, ClosingOnAReadOnlyFileReportsTheFailureOnce)
{
    writeIni(QStringLiteral("Port1=5005\r\n"));
    const QString path = home.file(QStringLiteral("Example.ini"));
    const QByteArray original = home.read(QStringLiteral("Example.ini"));
    make();
    const QString failure = QStringLiteral("Не удалось сохранить настройки: ");
    auto failures = [&] {
        QStringList out;
        for (const LoggedLine &l : log()) {
            if (l.text.contains(failure)) {
                EXPECT_EQ(l.rgb, 0xFF0000u) << l.text.toStdString();
                out << l.text;
            }
        }
        return out;
    };
    auto closeWithPort = [&](const char *port) {
        dialog->show();
        box("Port1")->setText(QString::fromLatin1(port));
        dialog->close();
        ASSERT_FALSE(dialog->isVisible());
    };

    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    closeWithPort("6001");
    closeWithPort("6002");
    EXPECT_EQ(home.read(QStringLiteral("Example.ini")), original);
    QStringList reported = failures();
    ASSERT_EQ(reported.size(), 1) << reported.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(QRegularExpression(kStamp + failure).match(reported[0]).hasMatch()) << reported[0].toStdString();
    EXPECT_TRUE(reported[0].contains(path)) << reported[0].toStdString();
    EXPECT_TRUE(reported[0].contains(QStringLiteral("только для чтения"))) << reported[0].toStdString();
    EXPECT_TRUE(reported[0].endsWith(QStringLiteral("нет прав доступа (Permission denied)"))) << reported[0].toStdString();

    // Writable again: the close saves, silently.
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                                | QFileDevice::ReadOther));
    closeWithPort("6003");
    EXPECT_EQ(IniFile(path).readString(kSection, QStringLiteral("Port1"), {}), "6003");
    EXPECT_EQ(failures().size(), 1);

    // Read-only once more: a new failure after a success is reported again.
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    closeWithPort("6004");
    EXPECT_EQ(failures().size(), 2);
    EXPECT_EQ(IniFile(path).readString(kSection, QStringLiteral("Port1"), {}), "6003");
}
