// The MS SQL tab of the backup settings window, driven as a real window
// offscreen against the TDS server of the tests: the connection test and
// its database list, the automatic test, the backup with its 3-second
// watch, its button and its red label.
#include "backup/ui/TForm9.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "peers/TdsPeer.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

using namespace dozorix;
using test::TdsPeer;

namespace {

struct LoggedLine {
    QString text;
    unsigned int rgb;
};

const QString kConnected = QStringLiteral("Есть подключение к MS SQL ");
const QString kConnectFailed = QStringLiteral("Ошибка подключения к MS SQL!");
const QString kStarting = QStringLiteral("Приступаю к выполнению бэкапа базы на MS SQL сервере...");
const QString kRunning = QStringLiteral("Выполняю \"бэкап\", ждите... ");
const QString kDone = QStringLiteral("бэкап базы успешно выполнен!");
const QString kWatch = QStringLiteral("Выполняю \"Бэкап\", ждите /-/-/...");
const QString kFinished = QStringLiteral("\"Бэкап\", информационной базы завершен!");

// The label as drawn holds red text.
bool hasRedText(QWidget *label)
{
    const QImage img = label->grab().toImage();
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            if (c.red() > 200 && c.green() < 80 && c.blue() < 80)
                return true;
        }
    return false;
}

class MssqlTabTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setLogReceiver([this](const QString &text, unsigned int rgb) { log.push_back({test::unstamped(text), rgb}); });
    }
    void TearDown() override { setLogReceiver({}); }

    std::unique_ptr<TdsPeer> startPeer(TdsPeer::Options o)
    {
        auto peer = std::make_unique<TdsPeer>(std::move(o));
        QString error;
        if (!peer->start(&error)) {
            ADD_FAILURE() << error.toStdString();
            return nullptr;
        }
        return peer;
    }

    static TdsPeer::Options catalogue()
    {
        TdsPeer::Options o;
        o.databases = {QStringLiteral("Buh"), QStringLiteral("Buh 2017"), QStringLiteral("ЗУП")};
        return o;
    }

    static void fill(TForm9 &w, const QString &host, const QString &login, const QString &password)
    {
        w.sqlHostBox()->setText(host);
        w.sqlLoginBox()->setText(login);
        w.sqlPasswordBox()->setText(password);
    }

    QStringList texts() const
    {
        QStringList out;
        for (const LoggedLine &l : log)
            out << l.text;
        return out;
    }

    bool logged(const QString &text) const { return texts().contains(text); }

    test::ProgramHome home;
    std::vector<LoggedLine> log;
};

TEST_F(MssqlTabTest, ConnectionTestListsTheDatabasesAndAppendsThemAgain)
{
    auto peer = startPeer(catalogue());
    ASSERT_TRUE(peer);
    TForm9 w;
    w.show();
    fill(w, peer->host(), QStringLiteral("sa"), QStringLiteral("secret"));
    QSignalSpy ended(&w, &TForm9::sqlTestEnded);
    QTest::mouseClick(w.sqlTestButton(), Qt::LeftButton);
    ASSERT_TRUE(ended.wait(15000));
    EXPECT_TRUE(ended.at(0).at(0).toBool());
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, kConnected);
    EXPECT_EQ(log[0].rgb, kLogGreen);
    const QStringList names{QStringLiteral("master"), QStringLiteral("Buh"), QStringLiteral("Buh 2017"),
                            QStringLiteral("ЗУП")};
    auto items = [&] {
        QStringList out;
        for (int i = 0; i < w.sqlDatabaseList()->count(); ++i)
            out << w.sqlDatabaseList()->itemText(i);
        return out;
    };
    EXPECT_EQ(items(), names);
    // Nothing is chosen yet: the list shows its prompt.
    EXPECT_TRUE(w.sqlDatabaseList()->currentText().isEmpty());
    EXPECT_EQ(w.sqlDatabaseList()->lineEdit()->placeholderText(), QStringLiteral("Выберите информационную базу"));

    QTest::mouseClick(w.sqlTestButton(), Qt::LeftButton);
    ASSERT_TRUE(ended.wait(15000));
    EXPECT_EQ(items(), names + names);
    EXPECT_EQ(peer->logins(), (QStringList{QStringLiteral("sa master ok"), QStringLiteral("sa master ok")}));
}

TEST_F(MssqlTabTest, FailedConnectionTestLogsTypeAndMessageAndKeepsTheList)
{
    auto peer = startPeer(catalogue());
    ASSERT_TRUE(peer);
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QString closedHost = QStringLiteral("127.0.0.1,%1").arg(closed.serverPort());
    closed.close();
    const struct {
        const char *what;
        QString host;
        const char *login;
        const char *start;
    } cases[] = {
        {"wrong login", peer->host(), "admin", "ESqlServerError\r\nОшибка входа: неверный логин или пароль MS SQL. "},
        {"nobody listens", closedHost, "sa", "ESqlConnectError\r\nСервер MS SQL недоступен. "},
    };
    for (const auto &c : cases) {
        log.clear();
        TForm9 w;
        w.show();
        w.sqlDatabaseList()->addItem(QStringLiteral("Buh"));
        fill(w, c.host, QString::fromUtf8(c.login), QStringLiteral("secret"));
        QSignalSpy ended(&w, &TForm9::sqlTestEnded);
        QTest::mouseClick(w.sqlTestButton(), Qt::LeftButton);
        ASSERT_TRUE(ended.wait(15000)) << c.what;
        EXPECT_FALSE(ended.at(0).at(0).toBool());
        ASSERT_EQ(log.size(), 1u) << c.what;
        EXPECT_TRUE(log[0].text.startsWith(QString::fromUtf8(c.start))) << c.what << ": " << log[0].text.toStdString();
        EXPECT_EQ(log[0].rgb, kLogRed);
        EXPECT_EQ(w.sqlDatabaseList()->count(), 1);
    }
}

// The automatic test: on activation and on the MS SQL tab becoming current,
// only with "Авто подключение" on and host, login and password typed.
TEST_F(MssqlTabTest, AutomaticTestOnActivationAndTabChange)
{
    auto peer = startPeer(catalogue());
    ASSERT_TRUE(peer);
    const struct {
        const char *what;
        bool autoOn;
        const char *password;
        bool runs;
    } cases[] = {
        {"auto on, all typed", true, "secret", true},
        {"auto off", false, "secret", false},
        {"no password", true, "", false},
    };
    int expectedLogins = 0;
    for (const auto &c : cases) {
        TForm9 w;
        fill(w, peer->host(), QStringLiteral("sa"), QString::fromUtf8(c.password));
        w.sqlAutoConnectBox()->setChecked(c.autoOn);
        QSignalSpy ended(&w, &TForm9::sqlTestEnded);
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(&w, &activate);
        EXPECT_EQ(w.sqlTestRunning(), c.runs) << c.what;
        if (c.runs) {
            ASSERT_TRUE(ended.wait(15000)) << c.what;
        }
        w.tabs()->setCurrentWidget(w.quickTab());
        EXPECT_FALSE(w.sqlTestRunning()) << c.what << ": the quick-backup tab runs no test";
        w.tabs()->setCurrentWidget(w.msSqlTab());
        EXPECT_EQ(w.sqlTestRunning(), c.runs) << c.what;
        if (c.runs) {
            ASSERT_TRUE(ended.wait(15000)) << c.what;
            expectedLogins += 2;
            EXPECT_EQ(w.sqlDatabaseList()->count(), 8) << c.what;
        }
        EXPECT_EQ(peer->logins().size(), expectedLogins) << c.what;
    }
}

// "База + LOG" from the window: the keys saved, the check, the worker, the
// two statements, and a backup shorter than one watch period logs no
// waiting line.
TEST_F(MssqlTabTest, QuickBackupOfBothKindsFromTheWindow)
{
    home.write(QStringLiteral("Example.ini"), "[settings]\r\nHostMS=old\r\n");
    auto peer = startPeer(catalogue());
    ASSERT_TRUE(peer);
    TForm9 w;
    w.show();
    fill(w, peer->host(), QStringLiteral("sa"), QStringLiteral("secret"));
    w.sqlBackupFolderBox()->setText(QStringLiteral("D:\\SQL'BAK"));
    w.sqlDatabaseList()->addItems({QStringLiteral("Buh"), QStringLiteral("Buh 2017")});
    w.sqlDatabaseList()->setCurrentIndex(1);
    QTest::mouseClick(w.sqlBaseAndLogButton(), Qt::LeftButton);
    QSignalSpy ended(&w, &TForm9::sqlBackupEnded);
    QTest::mouseClick(w.sqlBackupButton(), Qt::LeftButton);
    EXPECT_FALSE(w.sqlBackupButton()->isEnabled());
    ASSERT_TRUE(ended.wait(15000));
    EXPECT_TRUE(ended.at(0).at(0).toBool());

    EXPECT_EQ(texts(), (QStringList{kConnected, kStarting, kRunning, kDone, kFinished}));
    for (const LoggedLine &l : log)
        EXPECT_EQ(l.rgb, kLogGreen);
    const QStringList sent = peer->statements();
    ASSERT_EQ(sent.size(), 2);
    EXPECT_TRUE(sent[0].startsWith(QStringLiteral("BACKUP DATABASE [Buh 2017] TO DISK = 'D:\\SQL''BAK\\")));
    EXPECT_TRUE(sent[0].endsWith(QStringLiteral("_Buh 2017.bak' ")));
    EXPECT_TRUE(sent[1].startsWith(QStringLiteral("BACKUP LOG [Buh 2017] TO DISK = 'D:\\SQL''BAK\\")));
    EXPECT_TRUE(sent[1].endsWith(QStringLiteral("_Buh 2017.trn' ")));
    // The check reaches master, the worker the database itself.
    EXPECT_EQ(peer->logins(), (QStringList{QStringLiteral("sa master ok"), QStringLiteral("sa Buh 2017 ok")}));
    EXPECT_TRUE(w.sqlBackupButton()->isVisible());
    EXPECT_TRUE(w.sqlBackupButton()->isEnabled());
    EXPECT_FALSE(w.sqlWatchTimer()->isActive());

    // The MS SQL keys were written when the backup started.
    const IniFile ini(home.file(QStringLiteral("Example.ini")));
    EXPECT_EQ(ini.readString(QStringLiteral("settings"), QStringLiteral("HostMS"), QString()), peer->host());
    EXPECT_EQ(ini.readString(QStringLiteral("settings"), QStringLiteral("LabeledEdit1"), QString()),
              QStringLiteral("D:\\SQL'BAK"));
}

// A backup longer than the watch period: the button hides and uncovers the
// red label, the watch logs its line; a refusal after the first tick still
// gives the button back.
TEST_F(MssqlTabTest, LongBackupShowsTheLabelAndGivesTheButtonBack)
{
    test::ScopedTimeScale scale(30); // the watch ticks every 100 ms
    TdsPeer::Options o = catalogue();
    o.delays = {{QStringLiteral("^BACKUP"), 1.0}};
    o.refusals = {{QStringLiteral("^BACKUP LOG"), 4208,
                   QStringLiteral("The statement BACKUP LOG is not allowed while the recovery model is SIMPLE.")}};
    auto peer = startPeer(o);
    ASSERT_TRUE(peer);
    TForm9 w;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    fill(w, peer->host(), QStringLiteral("sa"), QStringLiteral("secret"));
    w.sqlDatabaseList()->setEditText(QStringLiteral("Buh"));

    for (const bool logOnly : {false, true}) {
        log.clear();
        (logOnly ? w.sqlLogOnlyButton() : w.sqlBaseOnlyButton())->setChecked(true);
        QSignalSpy ended(&w, &TForm9::sqlBackupEnded);
        QTest::mouseClick(w.sqlBackupButton(), Qt::LeftButton);
        ASSERT_TRUE(test::waitUntil([&] { return !w.sqlBackupButton()->isVisible(); }, 15000));
        EXPECT_TRUE(w.sqlWaitLabel()->isVisible());
        EXPECT_EQ(w.sqlWaitLabel()->text(), QStringLiteral("Ждите, выполняю бэкап!"));
        EXPECT_TRUE(hasRedText(w.sqlWaitLabel()));
        ASSERT_TRUE(ended.wait(15000));
        EXPECT_EQ(ended.at(0).at(0).toBool(), !logOnly);
        EXPECT_TRUE(w.sqlBackupButton()->isVisible());
        EXPECT_TRUE(w.sqlBackupButton()->isEnabled());
        EXPECT_TRUE(logged(kWatch));
        EXPECT_EQ(logged(kFinished), !logOnly);
        EXPECT_EQ(logged(kDone), !logOnly);
        if (logOnly) {
            EXPECT_EQ(log.back().text, QStringLiteral("ESqlServerError\r\nThe statement BACKUP LOG is not allowed "
                                                      "while the recovery model is SIMPLE."));
            EXPECT_EQ(log.back().rgb, kLogRed);
        }
    }
    // Once the button covers it again, the label is hidden from view.
    const QRect button = w.sqlBackupButton()->geometry();
    EXPECT_TRUE(button.contains(w.sqlWaitLabel()->geometry().center()));
}

// A server that cannot be reached: no worker starts, the button stays usable.
TEST_F(MssqlTabTest, UnreachableServerStartsNoBackup)
{
    TdsPeer::Options o;
    o.silent = true; // takes the connection, never answers: the 3-second time-out ends it
    auto peer = startPeer(o);
    ASSERT_TRUE(peer);
    TForm9 w;
    w.show();
    fill(w, peer->host(), QStringLiteral("sa"), QStringLiteral("secret"));
    w.sqlDatabaseList()->setEditText(QStringLiteral("Buh"));
    QSignalSpy ended(&w, &TForm9::sqlBackupEnded);
    QTest::mouseClick(w.sqlBackupButton(), Qt::LeftButton);
    // Pressed again while the check runs: still one check.
    QTest::mouseClick(w.sqlBackupButton(), Qt::LeftButton);
    ASSERT_TRUE(ended.wait(15000));
    EXPECT_FALSE(ended.at(0).at(0).toBool());
    ASSERT_EQ(log.size(), 2u) << texts().join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(log[0].text.startsWith(QStringLiteral("ESqlConnectError\r\nСервер MS SQL недоступен. ")));
    EXPECT_EQ(log[0].rgb, kLogRed);
    EXPECT_EQ(log[1].text, kConnectFailed);
    EXPECT_EQ(log[1].rgb, kLogRed);
    EXPECT_TRUE(w.sqlBackupButton()->isEnabled());
    EXPECT_TRUE(w.sqlBackupButton()->isVisible());
    EXPECT_FALSE(w.sqlWatchTimer()->isActive());
    EXPECT_EQ(ended.size(), 1);
}

// Closing the window while a backup runs stops the watch only: the worker
// still logs how the backup ended.
TEST_F(MssqlTabTest, ClosedWindowLeavesTheWorkerToFinish)
{
    TdsPeer::Options o = catalogue();
    o.delays = {{QStringLiteral("^BACKUP DATABASE"), 1.0}};
    auto peer = startPeer(o);
    ASSERT_TRUE(peer);
    {
        auto w = std::make_unique<TForm9>();
        w->show();
        fill(*w, peer->host(), QStringLiteral("sa"), QStringLiteral("secret"));
        w->sqlDatabaseList()->setEditText(QStringLiteral("Buh"));
        QTest::mouseClick(w->sqlBackupButton(), Qt::LeftButton);
        ASSERT_TRUE(test::waitUntil([&] { return logged(kStarting); }, 15000));
        w->close();
    }
    ASSERT_TRUE(test::waitUntil([&] { return logged(kDone); }, 15000));
    EXPECT_FALSE(logged(kFinished));
    EXPECT_EQ(peer->statements().size(), 1);
}

} // namespace
