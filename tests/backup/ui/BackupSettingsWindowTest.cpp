// The backup settings window TForm9, driven as a real window offscreen: its
// settings on disk, its heights, the zip/FTP rules and the test upload to a
// real FTP server on 127.0.0.1.
#include "backup/BackupScenario.h"
#include "backup/ui/TForm9.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/SystemHelpers.h"
#include "peers/FtpPeer.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace dozorix;
using test::FtpPeer;

namespace {

struct LoggedLine {
    QString text;
    unsigned int rgb;
};

class BackupSettingsWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setLogReceiver([this](const QString &text, unsigned int rgb) { log.push_back({test::unstamped(text), rgb}); });
    }
    void TearDown() override { setLogReceiver({}); }

    void writeIni(const QString &text) const { home.write(QStringLiteral("Example.ini"), text.toUtf8()); }
    IniFile ini() const { return IniFile(home.file(QStringLiteral("Example.ini"))); }

    test::ProgramHome home;
    std::vector<LoggedLine> log;
};

const QString kFullFile = QStringLiteral(
    "[settings]\r\nHostMS=sql.local\r\nLoginMS=sa\r\nPassMS=p@ss\r\nLabeledEdit1=E:\\SQLBAK\r\nCheckBox6=1\r\n"
    "[BACKUP]\r\nAvtoPath=/srv/backup\r\nMsgDo=Сохраните документы\r\nMsgPosle=Можно работать\r\n"
    "MsgFirstSend=1\r\nClose1C=1\r\nMsgAfterBackup=0\r\nZipArhiv=1\r\nZipArhivShifr=zip-пароль\r\nFtpArhiv=1\r\n"
    "HostFTP=ftp.example.org\r\nLoginFTP=backup\r\nPassFTP=ftp-secret\r\nPortFTP=2121\r\nDirUdalennoFTP=archive\r\n"
    "PassiveFTP=1\r\nActiveFTP=0\r\nZadergka=10 мин\r\n");

// Every control reads its key and every key is written back from its
// control when the window closes.
TEST_F(BackupSettingsWindowTest, LoadsAndSavesEveryKey)
{
    writeIni(kFullFile);
    {
        TForm9 w;
        EXPECT_EQ(w.destinationBox()->text(), QStringLiteral("/srv/backup"));
        EXPECT_EQ(w.messageBeforeBox()->toPlainText(), QStringLiteral("Сохраните документы"));
        EXPECT_EQ(w.messageAfterBox()->toPlainText(), QStringLiteral("Можно работать"));
        EXPECT_TRUE(w.messageFirstBox()->isChecked());
        EXPECT_TRUE(w.close1CBox()->isChecked());
        EXPECT_FALSE(w.messageAfterBackupBox()->isChecked());
        EXPECT_TRUE(w.zipBox()->isChecked());
        EXPECT_EQ(w.zipPasswordBox()->text(), QStringLiteral("zip-пароль"));
        EXPECT_EQ(w.zipPasswordBox()->echoMode(), QLineEdit::Password);
        EXPECT_TRUE(w.ftpBox()->isChecked());
        EXPECT_EQ(w.ftpHostBox()->text(), QStringLiteral("ftp.example.org"));
        EXPECT_EQ(w.ftpLoginBox()->text(), QStringLiteral("backup"));
        EXPECT_EQ(w.ftpPasswordBox()->text(), QStringLiteral("ftp-secret"));
        EXPECT_EQ(w.ftpPasswordBox()->echoMode(), QLineEdit::Password);
        EXPECT_EQ(w.ftpPortBox()->text(), QStringLiteral("2121"));
        EXPECT_EQ(w.ftpDirBox()->text(), QStringLiteral("archive"));
        EXPECT_TRUE(w.passiveButton()->isChecked());
        EXPECT_FALSE(w.activeButton()->isChecked());
        EXPECT_EQ(w.delayList()->currentText(), QStringLiteral("10 мин"));
        EXPECT_EQ(w.sqlHostBox()->text(), QStringLiteral("sql.local"));
        EXPECT_EQ(w.sqlLoginBox()->text(), QStringLiteral("sa"));
        EXPECT_EQ(w.sqlPasswordBox()->text(), QStringLiteral("p@ss"));
        EXPECT_EQ(w.sqlBackupFolderBox()->text(), QStringLiteral("E:\\SQLBAK"));
        EXPECT_TRUE(w.sqlAutoConnectBox()->isChecked());
        EXPECT_TRUE(w.sqlBaseOnlyButton()->isChecked());

        w.show();
        w.destinationBox()->setText(QStringLiteral("/mnt/копии"));
        w.messageBeforeBox()->setPlainText(QStringLiteral("Строка один\nСтрока два\nСтрока три"));
        w.messageFirstBox()->setChecked(false);
        w.messageAfterBackupBox()->setChecked(true);
        w.zipPasswordBox()->setText(QString());
        w.ftpHostBox()->setText(QStringLiteral("10.0.0.7"));
        w.ftpPortBox()->setText(QStringLiteral("21"));
        QTest::mouseClick(w.activeButton(), Qt::LeftButton);
        w.sqlHostBox()->setText(QStringLiteral("sql2"));
        w.sqlAutoConnectBox()->setChecked(false);
        w.close();
    }
    const IniFile f = ini();
    const QString b = QStringLiteral("BACKUP"), s = QStringLiteral("settings");
    struct Expect {
        QString section, key, value;
    } expected[] = {
        {b, QStringLiteral("AvtoPath"), QStringLiteral("/mnt/копии")},
        {b, QStringLiteral("MsgDo"), QStringLiteral("Строка один  Строка два  Строка три")},
        {b, QStringLiteral("MsgPosle"), QStringLiteral("Можно работать")},
        {b, QStringLiteral("MsgFirstSend"), QStringLiteral("0")},
        {b, QStringLiteral("Close1C"), QStringLiteral("1")},
        {b, QStringLiteral("MsgAfterBackup"), QStringLiteral("1")},
        {b, QStringLiteral("ZipArhiv"), QStringLiteral("1")},
        {b, QStringLiteral("ZipArhivShifr"), QString()},
        {b, QStringLiteral("FtpArhiv"), QStringLiteral("1")},
        {b, QStringLiteral("HostFTP"), QStringLiteral("10.0.0.7")},
        {b, QStringLiteral("LoginFTP"), QStringLiteral("backup")},
        {b, QStringLiteral("PassFTP"), QStringLiteral("ftp-secret")},
        {b, QStringLiteral("PortFTP"), QStringLiteral("21")},
        {b, QStringLiteral("DirUdalennoFTP"), QStringLiteral("archive")},
        {b, QStringLiteral("PassiveFTP"), QStringLiteral("0")},
        {b, QStringLiteral("ActiveFTP"), QStringLiteral("1")},
        {b, QStringLiteral("Zadergka"), QStringLiteral("10 мин")},
        {s, QStringLiteral("HostMS"), QStringLiteral("sql2")},
        {s, QStringLiteral("LoginMS"), QStringLiteral("sa")},
        {s, QStringLiteral("PassMS"), QStringLiteral("p@ss")},
        {s, QStringLiteral("LabeledEdit1"), QStringLiteral("E:\\SQLBAK")},
        {s, QStringLiteral("CheckBox6"), QStringLiteral("0")},
    };
    for (const Expect &e : expected)
        EXPECT_EQ(f.readString(e.section, e.key, QStringLiteral("<missing>")), e.value) << e.key.toStdString();

    // The flattened text reads back as one line.
    TForm9 again;
    EXPECT_EQ(again.messageBeforeBox()->toPlainText(), QStringLiteral("Строка один  Строка два  Строка три"));
    EXPECT_EQ(again.messageBeforeBox()->document()->blockCount(), 1);
}

// What load puts right at once, before the window closes: an empty folder
// becomes the desktop folder, a delay that is none of the seven becomes
// "Без задержки"; a delay chosen later is written at once too.
TEST_F(BackupSettingsWindowTest, LoadRepairsAndDelayIsWrittenAtOnce)
{
    QString desktop;
    ASSERT_TRUE(GetDesktopDir(desktop));
    for (const QString &stored : {QStringLiteral("7 мин"), QString(), QStringLiteral("3 МИН")}) {
        SCOPED_TRACE(stored.toStdString());
        writeIni(QStringLiteral("[BACKUP]\r\nAvtoPath=\r\nZadergka=%1\r\n").arg(stored));
        TForm9 w;
        EXPECT_EQ(w.delayList()->currentText(), QStringLiteral("Без задержки"));
        EXPECT_EQ(w.destinationBox()->text(), desktop);
        EXPECT_EQ(ini().readString(QStringLiteral("BACKUP"), QStringLiteral("Zadergka"), QString()),
                  QStringLiteral("Без задержки"));
        EXPECT_EQ(ini().readString(QStringLiteral("BACKUP"), QStringLiteral("AvtoPath"), QString()), desktop);

        ASSERT_EQ(w.delayList()->count(), 7);
        for (int i = 0; i < w.delayList()->count(); ++i) {
            w.delayList()->setCurrentIndex(i);
            EXPECT_EQ(ini().readString(QStringLiteral("BACKUP"), QStringLiteral("Zadergka"), QString()),
                      backupDelayItems().at(i));
        }
        EXPECT_TRUE(w.isHidden()); // written without the window ever closing
    }
}

// Only an archive goes to FTP: a file that asks for the upload without ZIP
// (hand-edited, or an old one) gets ZIP at load, written back at once, as a
// click on the FTP box gives; ZIP alone stays as it is.
TEST_F(BackupSettingsWindowTest, FtpWithoutZipInTheFileGetsZipAtLoad)
{
    const struct {
        const char *keys;
        bool zip;
        bool ftp;
    } cases[] = {
        {"ZipArhiv=0\r\nFtpArhiv=1\r\n", true, true},
        {"FtpArhiv=1\r\n", true, true},
        {"ZipArhiv=1\r\nFtpArhiv=0\r\n", true, false},
        {"ZipArhiv=0\r\nFtpArhiv=0\r\n", false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys);
        writeIni(QStringLiteral("[BACKUP]\r\nAvtoPath=/srv/backup\r\nZadergka=Без задержки\r\n") + QString::fromLatin1(c.keys));
        TForm9 w;
        EXPECT_EQ(w.zipBox()->isChecked(), c.zip);
        EXPECT_EQ(w.ftpBox()->isChecked(), c.ftp);
        EXPECT_EQ(ini().readBool(QStringLiteral("BACKUP"), QStringLiteral("ZipArhiv"), false), c.zip);
    }
}

// Without a settings file the window keeps its built-in defaults, shows the
// delay placeholder and creates no file, not even when a delay is chosen.
TEST_F(BackupSettingsWindowTest, NoSettingsFileWritesNothing)
{
    {
        TForm9 w;
        EXPECT_EQ(w.delayList()->currentIndex(), -1);
        EXPECT_EQ(w.delayList()->placeholderText(), QStringLiteral("Задержка перед выполнением \"Бэкапа\""));
        EXPECT_EQ(w.ftpPortBox()->text(), QStringLiteral("21"));
        EXPECT_EQ(w.sqlBackupFolderBox()->text(), QStringLiteral("D:\\BACKUP_DOZORIX (Укажите свой путь)"));
        EXPECT_TRUE(w.destinationBox()->text().isEmpty());
        w.show();
        w.delayList()->setCurrentIndex(2);
        w.close();
    }
    EXPECT_FALSE(QFile::exists(home.file(QStringLiteral("Example.ini"))));
}

// The heights and the FTP group: 435 on the first showing (MS SQL tab),
// 640 with the group, 440 without; the zip box stays on while FTP is on.
TEST_F(BackupSettingsWindowTest, HeightsAndTheZipFtpRules)
{
    writeIni(QStringLiteral("[BACKUP]\r\nAvtoPath=/srv\r\nZadergka=5 мин\r\n"));
    TForm9 w;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(w.tabs()->currentWidget(), w.msSqlTab());
    EXPECT_EQ(w.height(), TForm9::kFirstShownHeight);
    EXPECT_FALSE(w.ftpGroupShown());

    w.tabs()->setCurrentWidget(w.quickTab());
    EXPECT_EQ(w.height(), TForm9::kHeightWithoutFtp);
    EXPECT_FALSE(w.ftpGroupShown());
    EXPECT_FALSE(w.zipBox()->isChecked());

    QTest::mouseClick(w.ftpBox(), Qt::LeftButton);
    EXPECT_TRUE(w.zipBox()->isChecked());
    EXPECT_TRUE(w.ftpGroupShown());
    EXPECT_EQ(w.height(), TForm9::kHeightWithFtp);
    EXPECT_TRUE(w.ftpGroup()->isVisible());
    EXPECT_GE(w.ftpGroup()->geometry().top(), w.tabs()->geometry().bottom());

    QTest::mouseClick(w.zipBox(), Qt::LeftButton);
    EXPECT_TRUE(w.zipBox()->isChecked());

    w.tabs()->setCurrentWidget(w.msSqlTab());
    EXPECT_EQ(w.height(), TForm9::kHeightWithoutFtp);
    EXPECT_FALSE(w.ftpGroupShown());
    w.tabs()->setCurrentWidget(w.quickTab());
    EXPECT_EQ(w.height(), TForm9::kHeightWithFtp);

    QTest::mouseClick(w.ftpBox(), Qt::LeftButton);
    EXPECT_FALSE(w.ftpGroupShown());
    EXPECT_EQ(w.height(), TForm9::kHeightWithoutFtp);
    QTest::mouseClick(w.zipBox(), Qt::LeftButton);
    EXPECT_FALSE(w.zipBox()->isChecked());

    // The two mode buttons: never both on, both off until one is chosen.
    EXPECT_FALSE(w.passiveButton()->isChecked());
    EXPECT_FALSE(w.activeButton()->isChecked());
    w.ftpBox()->setChecked(true);
    QTest::mouseClick(w.passiveButton(), Qt::LeftButton);
    EXPECT_TRUE(w.passiveButton()->isChecked());
    QTest::mouseClick(w.activeButton(), Qt::LeftButton);
    EXPECT_TRUE(w.activeButton()->isChecked());
    EXPECT_FALSE(w.passiveButton()->isChecked());
    w.close();
}

// The test upload of the shipped test.zip against a real FTP server.
TEST_F(BackupSettingsWindowTest, TestUpload)
{
    QFile shipped(QStringLiteral(DOZORIX_PROGRAM_DIR "/test.zip"));
    ASSERT_TRUE(shipped.open(QIODevice::ReadOnly)) << "the build ships test.zip into the program directory";
    const QByteArray archive = shipped.readAll();
    ASSERT_TRUE(archive.startsWith("PK\x03\x04"));
    home.write(QStringLiteral("test.zip"), archive);

    FtpPeer peer;
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    ASSERT_TRUE(QDir(peer.root()).mkpath(QStringLiteral("in")));

    TForm9 w;
    w.show();
    w.tabs()->setCurrentWidget(w.quickTab());
    w.ftpBox()->setChecked(true);
    auto fill = [&](const QString &host, const QString &login, const QString &password, const QString &port) {
        w.ftpHostBox()->setText(host);
        w.ftpLoginBox()->setText(login);
        w.ftpPasswordBox()->setText(password);
        w.ftpPortBox()->setText(port);
    };
    auto upload = [&] {
        bool ended = false, ok = false;
        QString message;
        auto c = QObject::connect(&w, &TForm9::testUploadEnded, [&](bool success, const QString &m) {
            ended = true;
            ok = success;
            message = m;
        });
        QTest::mouseClick(w.testUploadButton(), Qt::LeftButton);
        // The click returns at once: the upload runs beside the window.
        EXPECT_TRUE(w.testUploadRunning());
        EXPECT_FALSE(w.testUploadButton()->isEnabled());
        EXPECT_TRUE(test::waitUntil([&] { return ended; }, 30000));
        QObject::disconnect(c);
        EXPECT_TRUE(w.testUploadButton()->isEnabled());
        return std::make_pair(ok, message);
    };

    // An empty host, login or port: the red line and no connection.
    for (int blank = 0; blank < 3; ++blank) {
        log.clear();
        fill(blank == 0 ? QString() : QStringLiteral("127.0.0.1"), blank == 1 ? QString() : QStringLiteral("backup"),
             QStringLiteral("secret"), blank == 2 ? QString() : peer.portText());
        QTest::mouseClick(w.testUploadButton(), Qt::LeftButton);
        EXPECT_FALSE(w.testUploadRunning());
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].text, QStringLiteral("Ошибка подключения к FTP!"));
        EXPECT_EQ(log[0].rgb, kLogRed);
    }
    // A port that is not a number: a message box, no log line, no connection.
    log.clear();
    fill(QStringLiteral("127.0.0.1"), QStringLiteral("backup"), QStringLiteral("secret"), QStringLiteral("21a"));
    QTest::mouseClick(w.testUploadButton(), Qt::LeftButton);
    ASSERT_NE(w.portErrorBox(), nullptr);
    EXPECT_TRUE(w.portErrorBox()->isVisible());
    EXPECT_TRUE(w.portErrorBox()->text().contains(QStringLiteral("21a")));
    w.portErrorBox()->accept();
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(peer.commands().isEmpty());

    // Neither mode chosen: active; twice: the remote file holds it twice.
    fill(QStringLiteral("127.0.0.1"), QStringLiteral("backup"), QStringLiteral("secret"), peer.portText());
    w.ftpDirBox()->setText(QStringLiteral("in"));
    for (int round = 1; round <= 2; ++round) {
        log.clear();
        const auto [ok, message] = upload();
        ASSERT_TRUE(ok) << message.toStdString();
        EXPECT_EQ(peer.remoteFile(QStringLiteral("in/test.zip")), archive.repeated(round));
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].text, QStringLiteral("Успех! Есть подключение к серверу FTP: 127.0.0.1"));
        EXPECT_EQ(log[1].text, QStringLiteral("Zip архив: test.zip - успешно отправлен на FTP сервер"));
        EXPECT_EQ(log[1].rgb, kLogGreen);
    }
    EXPECT_EQ(peer.commands().filter(QRegularExpression(QStringLiteral("^PORT "))).size(), 2);
    const QStringList results = w.ftpResults()->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(results.size(), 4);
    EXPECT_EQ(results[0], QStringLiteral("Успех! Есть подключение к серверу FTP: 127.0.0.1"));
    EXPECT_EQ(test::unstamped(results[1]), QStringLiteral(" Zip архив: test.zip - успешно отправлен на FTP сервер"));

    // Passive chosen: PASV.
    QTest::mouseClick(w.passiveButton(), Qt::LeftButton);
    ASSERT_TRUE(upload().first);
    EXPECT_EQ(peer.commands().filter(QStringLiteral("PASV")).size(), 1);
    EXPECT_EQ(peer.remoteFile(QStringLiteral("in/test.zip")), archive.repeated(3));

    // Failures: the message in red in the log and in the result list.
    struct Failure {
        const char *name;
        QString password, dir, archiveName;
        const char *reasonPart;
    } failures[] = {
        {"refused login", QStringLiteral("wrong"), QStringLiteral("in"), QStringLiteral("test.zip"), "логин или пароль"},
        {"missing folder", QStringLiteral("secret"), QStringLiteral("nope"), QStringLiteral("test.zip"), "nope"},
        {"missing test.zip", QStringLiteral("secret"), QStringLiteral("in"), QString(), "test.zip"},
    };
    for (const Failure &f : failures) {
        SCOPED_TRACE(f.name);
        log.clear();
        if (f.archiveName.isEmpty())
            QFile::remove(home.file(QStringLiteral("test.zip")));
        w.ftpPasswordBox()->setText(f.password);
        w.ftpDirBox()->setText(f.dir);
        const auto [ok, message] = upload();
        EXPECT_FALSE(ok);
        EXPECT_TRUE(message.contains(QString::fromUtf8(f.reasonPart))) << message.toStdString();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().text, message);
        EXPECT_EQ(log.back().rgb, kLogRed);
        EXPECT_EQ(test::unstamped(w.ftpResults()->toPlainText().split(QLatin1Char('\n')).last()), message);
    }
    EXPECT_EQ(peer.remoteFile(QStringLiteral("in/test.zip")), archive.repeated(3));
}

// A window closed while its test upload still runs waits for it cleanly.
TEST_F(BackupSettingsWindowTest, ClosingDuringATestUpload)
{
    home.write(QStringLiteral("test.zip"), QByteArray(64 * 1024 * 1024, 'x'));
    FtpPeer peer;
    QString error;
    ASSERT_TRUE(peer.start(&error)) << error.toStdString();
    auto w = std::make_unique<TForm9>();
    w->ftpHostBox()->setText(QStringLiteral("127.0.0.1"));
    w->ftpLoginBox()->setText(QStringLiteral("backup"));
    w->ftpPasswordBox()->setText(QStringLiteral("secret"));
    w->ftpPortBox()->setText(peer.portText());
    w->Button2Click();
    ASSERT_TRUE(w->testUploadRunning());
    ASSERT_TRUE(test::waitUntil([&] { return peer.remoteExists(QStringLiteral("test.zip")); }, 20000));
    const size_t linesBefore = log.size();
    w.reset(); // stops the upload and waits for its thread
    test::quietFor(300);
    EXPECT_EQ(log.size(), linesBefore); // nothing reported for a window that is gone
}

} // namespace
