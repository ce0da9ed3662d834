#pragma once
// The backup settings window: the quick-backup scenario, the MS SQL
// connection and the FTP account, with a test upload.
//
// The main window opens it with TForm9::openModal(parent): a fresh window
// each time, shown modally and destroyed when it closes. It reads section
// "BACKUP" (and the MS SQL keys of "settings") when it is created and writes
// them back when it closes; the delay choice is written as soon as it
// changes. With no settings file nothing is read or written. The backup
// runner reads the same keys; the window runs no backup itself.
//
// The test upload runs on a worker thread: the window stays responsive and
// its button is disabled until the upload ends.

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimer;

namespace dozorix {

struct FtpSettings;
class IniFile;
struct SqlBackupJob;
struct SqlConnectionTestResult;
struct SqlError;
class ADOThread;

class TForm9 : public QDialog
{
    Q_OBJECT
public:
    // Window heights: with the FTP group, without it, without it on the first showing.
    static constexpr int kHeightWithFtp = 640;
    static constexpr int kHeightWithoutFtp = 440;
    static constexpr int kFirstShownHeight = 435;
    static constexpr int kWidth = 640;

    // Builds the window and loads the settings file.
    explicit TForm9(QWidget *parent = nullptr);
    // Stops a test upload still running and waits for it.
    ~TForm9() override;

    // The main window's entry: a new window, modal, destroyed when closed.
    // Returns the dialog's result.
    static int openModal(QWidget *parent);

    // Reads the settings file into the controls (done at creation).
    void loadSettings();
    // Writes the controls into the settings file (done on closing).
    void saveSettings();

    // "Тестовая отправка файла": uploads test.zip of the program directory.
    void Button2Click();
    bool testUploadRunning() const { return m_testThread != nullptr; }
    // "Проверить подключение": connects to catalogue master on a worker
    // (3-second login time-out), logs "Есть подключение к MS SQL " and
    // appends the server's database names to the list (not emptied first).
    void Button4Click();
    bool sqlTestRunning() const { return m_sqlTestThread != nullptr; }
    // Appends the catalogue names the test read to the database list, row
    // by row; the list is not emptied first.
    void GetSQLDatabases(const QStringList &catalogNames);
    // "Выполнить бэкап сейчас": saves the MS SQL keys, checks the server on a
    // worker, then starts ADOThread and the 3-second watch (Timer1).
    void Button3Click();
    // The check or the watch of a backup is running.
    bool sqlBackupRunning() const;
    QTimer *sqlWatchTimer() const { return m_sqlWatch; }

    // The FTP group is shown (the window is at its tall height).
    bool ftpGroupShown() const;

    // The controls, for tests.
    QTabWidget *tabs() const { return m_tabs; }
    QWidget *quickTab() const { return m_quickTab; }
    QWidget *msSqlTab() const { return m_msSqlTab; }
    QLineEdit *destinationBox() const { return m_avtoPath; }
    QPushButton *chooseFolderButton() const { return m_chooseFolder; }
    QPlainTextEdit *messageBeforeBox() const { return m_msgDo; }
    QPlainTextEdit *messageAfterBox() const { return m_msgPosle; }
    QCheckBox *messageFirstBox() const { return m_msgFirstSend; }
    QComboBox *delayList() const { return m_delay; }
    QCheckBox *close1CBox() const { return m_close1C; }
    QCheckBox *messageAfterBackupBox() const { return m_msgAfter; }
    QCheckBox *zipBox() const { return m_zip; }
    QLineEdit *zipPasswordBox() const { return m_zipPassword; }
    QCheckBox *ftpBox() const { return m_ftp; }
    QGroupBox *ftpGroup() const { return m_ftpGroup; }
    QLineEdit *ftpHostBox() const { return m_ftpHost; }
    QLineEdit *ftpLoginBox() const { return m_ftpLogin; }
    QLineEdit *ftpPasswordBox() const { return m_ftpPassword; }
    QLineEdit *ftpPortBox() const { return m_ftpPort; }
    QLineEdit *ftpDirBox() const { return m_ftpDir; }
    QRadioButton *passiveButton() const { return m_passive; }
    QRadioButton *activeButton() const { return m_active; }
    QPlainTextEdit *ftpResults() const { return m_ftpResults; }
    QPushButton *testUploadButton() const { return m_testUpload; }
    QMessageBox *portErrorBox() const { return m_portError; }
    QLineEdit *sqlHostBox() const { return m_sqlHost; }
    QLineEdit *sqlLoginBox() const { return m_sqlLogin; }
    QLineEdit *sqlPasswordBox() const { return m_sqlPassword; }
    QCheckBox *sqlAutoConnectBox() const { return m_sqlAuto; }
    QPushButton *sqlTestButton() const { return m_sqlTest; }
    QLineEdit *sqlBackupFolderBox() const { return m_sqlFolder; }
    QComboBox *sqlDatabaseList() const { return m_sqlDatabases; }
    QRadioButton *sqlLogOnlyButton() const { return m_sqlLogOnly; }
    QRadioButton *sqlBaseOnlyButton() const { return m_sqlBaseOnly; }
    QRadioButton *sqlBaseAndLogButton() const { return m_sqlBaseAndLog; }
    QPushButton *sqlBackupButton() const { return m_sqlBackup; }
    QLabel *sqlWaitLabel() const { return m_sqlWait; }

signals:
    // A test upload has ended (ok, or the failure's message).
    void testUploadEnded(bool ok, const QString &message);
    // The MS SQL connection test has ended and its lines are logged.
    void sqlTestEnded(bool ok);
    // The watch gave the backup button back (the backup ended or failed, or
    // the check before it failed).
    void sqlBackupEnded(bool ok);

protected:
    bool event(QEvent *e) override;
    void showEvent(QShowEvent *e) override;
    void done(int result) override;

private:
    QWidget *buildQuickTab();
    QWidget *buildMsSqlTab();
    QGroupBox *buildFtpGroup();
    void setFtpGroupShown(bool shown);
    void onTabChanged();
    void onZipToggled(bool on);
    void onFtpToggled(bool on);
    void onDelayChosen(int index);
    void chooseFolder();
    void finishTestUpload(bool ok, const QString &message);
    // The MS SQL keys of section settings, as the tab shows them.
    void writeSqlSettings(IniFile &ini) const;
    void autoSqlTest();
    void finishSqlTest(const SqlConnectionTestResult &result);
    void finishSqlCheck(bool ok, const SqlError &error);
    void sqlWatchTick();
    void giveSqlButtonBack(bool ok);

    bool m_loading = false;
    bool m_shownOnce = false;
    QPointer<QThread> m_testThread;
    std::atomic_bool m_stopTest{false};
    QPointer<QThread> m_sqlTestThread;
    QPointer<QThread> m_sqlCheckThread;
    QTimer *m_sqlWatch = nullptr;
    std::shared_ptr<SqlBackupJob> m_sqlJob;
    QPointer<ADOThread> m_adoThread;

    QTabWidget *m_tabs = nullptr;
    QWidget *m_quickTab = nullptr;
    QWidget *m_msSqlTab = nullptr;
    QLineEdit *m_avtoPath = nullptr;
    QPushButton *m_chooseFolder = nullptr;
    QPlainTextEdit *m_msgDo = nullptr;
    QPlainTextEdit *m_msgPosle = nullptr;
    QCheckBox *m_msgFirstSend = nullptr;
    QComboBox *m_delay = nullptr;
    QCheckBox *m_close1C = nullptr;
    QCheckBox *m_msgAfter = nullptr;
    QCheckBox *m_zip = nullptr;
    QLineEdit *m_zipPassword = nullptr;
    QCheckBox *m_ftp = nullptr;
    QGroupBox *m_ftpGroup = nullptr;
    QLineEdit *m_ftpHost = nullptr;
    QLineEdit *m_ftpLogin = nullptr;
    QLineEdit *m_ftpPassword = nullptr;
    QLineEdit *m_ftpPort = nullptr;
    QLineEdit *m_ftpDir = nullptr;
    QRadioButton *m_passive = nullptr;
    QRadioButton *m_active = nullptr;
    QPlainTextEdit *m_ftpResults = nullptr;
    QPushButton *m_testUpload = nullptr;
    QMessageBox *m_portError = nullptr;
    QLineEdit *m_sqlHost = nullptr;
    QLineEdit *m_sqlLogin = nullptr;
    QLineEdit *m_sqlPassword = nullptr;
    QCheckBox *m_sqlAuto = nullptr;
    QPushButton *m_sqlTest = nullptr;
    QLineEdit *m_sqlFolder = nullptr;
    QComboBox *m_sqlDatabases = nullptr;
    QRadioButton *m_sqlLogOnly = nullptr;
    QRadioButton *m_sqlBaseOnly = nullptr;
    QRadioButton *m_sqlBaseAndLog = nullptr;
    QPushButton *m_sqlBackup = nullptr;
    QLabel *m_sqlWait = nullptr;
};

} // namespace dozorix
