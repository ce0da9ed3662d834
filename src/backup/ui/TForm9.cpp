#include "backup/ui/TForm9.h"

#include "backup/BackupScenario.h"
#include "backup/FtpUpload.h"
#include "common/AppInfo.h"
#include "common/Background.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "common/Stamps.h"
#include "common/SystemHelpers.h"
#include "common/TimeScale.h"
#include "mssql/ADOThread.h"
#include "terminal/UserMessages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace dozorix {

namespace {

const QString kBackup = QStringLiteral("BACKUP");
const QString kSettings = QStringLiteral("settings");
const QString kDelayPlaceholder = QStringLiteral("Задержка перед выполнением \"Бэкапа\"");
const QString kSqlFolderDefault = QStringLiteral("D:\\BACKUP_DOZORIX (Укажите свой путь)");
const QString kFtpConnectFailed = QStringLiteral("Ошибка подключения к FTP!");
const QString kFtpConnectedPrefix = QStringLiteral("Успех! Есть подключение к серверу FTP: ");
const QString kTestSent = QStringLiteral("Zip архив: test.zip - успешно отправлен на FTP сервер");
const QString kTestArchive = QStringLiteral("test.zip");
const QString kFolderDialogTitle = QStringLiteral("Укажите расположение информационной базы 1С");
const QString kSqlConnected = QStringLiteral("Есть подключение к MS SQL ");
const QString kSqlConnectFailed = QStringLiteral("Ошибка подключения к MS SQL!");
const QString kSqlWatchRunning = QStringLiteral("Выполняю \"Бэкап\", ждите /-/-/...");
const QString kSqlBackupDone = QStringLiteral("\"Бэкап\", информационной базы завершен!");
constexpr qint64 kSqlWatchMs = 3000;

constexpr int kFtpGroupHeight = 190;

QLineEdit *lineEdit(const QString &objectName, QWidget *parent, bool masked = false)
{
    auto *e = new QLineEdit(parent);
    e->setObjectName(objectName);
    if (masked)
        e->setEchoMode(QLineEdit::Password);
    return e;
}

QCheckBox *checkBox(const QString &caption, const QString &objectName, QWidget *parent)
{
    auto *c = new QCheckBox(caption, parent);
    c->setObjectName(objectName);
    return c;
}

} // namespace


TForm9::TForm9(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("TForm9"));
    setWindowTitle(windowTitleText());

    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("PageControl1"));
    m_quickTab = buildQuickTab();
    m_msSqlTab = buildMsSqlTab();
    m_tabs->addTab(m_quickTab, QStringLiteral("Быстрый \"бэкап\""));
    m_tabs->addTab(m_msSqlTab, QStringLiteral("\"Бэкап\" баз 1С на MS SQL сервере"));
    m_ftpGroup = buildFtpGroup();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(m_tabs, 1);
    layout->addWidget(m_ftpGroup);

    // The MS SQL tab is the current one when the window opens.
    m_tabs->setCurrentWidget(m_msSqlTab);
    m_ftpGroup->setVisible(false);
    setFixedSize(kWidth, kFirstShownHeight);
    connect(m_tabs, &QTabWidget::currentChanged, this, [this] { onTabChanged(); });

    // The MS SQL backup's watch, disabled until a backup starts.
    m_sqlWatch = new QTimer(this);
    m_sqlWatch->setObjectName(QStringLiteral("Timer1"));
    setScaledInterval(m_sqlWatch, kSqlWatchMs);
    connect(m_sqlWatch, &QTimer::timeout, this, [this] { sqlWatchTick(); });

    loadSettings();
}

TForm9::~TForm9()
{
    m_stopTest = true;
    // A connection attempt ends within its login time-out. A running
    // ADOThread is left to finish: it still logs how the backup ended.
    for (const QPointer<QThread> &job : {m_testThread, m_sqlTestThread, m_sqlCheckThread})
        waitForBackground(job);
}

int TForm9::openModal(QWidget *parent)
{
    QPointer<TForm9> window = new TForm9(parent);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    const int result = window->exec();
    delete window;
    return result;
}

QWidget *TForm9::buildQuickTab()
{
    auto *tab = new QWidget;
    tab->setObjectName(QStringLiteral("TabSheet1"));
    auto *grid = new QGridLayout(tab);

    grid->addWidget(new QLabel(QStringLiteral("Каталог по умолчанию: (Где будет создан \"бэкап\") "), tab), 0, 0, 1, 2);
    m_avtoPath = lineEdit(QStringLiteral("AvtoPath"), tab);
    m_chooseFolder = new QPushButton(QStringLiteral("Выбрать"), tab);
    m_chooseFolder->setObjectName(QStringLiteral("ChooseFolder"));
    grid->addWidget(m_avtoPath, 1, 0);
    grid->addWidget(m_chooseFolder, 1, 1);
    connect(m_chooseFolder, &QPushButton::clicked, this, [this] { chooseFolder(); });

    grid->addWidget(new QLabel(QStringLiteral("Сообщение пользователям (До выполнения \"бэкапа\"):"), tab), 2, 0, 1, 2);
    m_msgDo = new QPlainTextEdit(tab);
    m_msgDo->setObjectName(QStringLiteral("MsgDo"));
    grid->addWidget(m_msgDo, 3, 0, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Сообщение пользователям (После выполнения \"бэкапа\"):"), tab), 4, 0, 1, 2);
    m_msgPosle = new QPlainTextEdit(tab);
    m_msgPosle->setObjectName(QStringLiteral("MsgPosle"));
    grid->addWidget(m_msgPosle, 5, 0, 1, 2);

    auto *scenario = new QGroupBox(QStringLiteral("Сценарий для быстрого \"бэкапа\""), tab);
    scenario->setObjectName(QStringLiteral("ScenarioGroup"));
    auto *steps = new QGridLayout(scenario);
    steps->setVerticalSpacing(2);
    m_msgFirstSend = checkBox(QStringLiteral("Отправить сообщение перед выполнением \"Бэкапа\""),
                              QStringLiteral("MsgFirstSend"), scenario);
    m_delay = new QComboBox(scenario);
    m_delay->setObjectName(QStringLiteral("Zadergka"));
    m_delay->setPlaceholderText(kDelayPlaceholder);
    m_delay->addItems(backupDelayItems());
    m_delay->setCurrentIndex(-1);
    connect(m_delay, &QComboBox::currentIndexChanged, this, [this](int index) { onDelayChosen(index); });
    m_close1C = checkBox(QStringLiteral("Принудительно завершить работу пользователей в 1С"), QStringLiteral("Close1C"),
                         scenario);
    m_msgAfter = checkBox(QStringLiteral("Отправить сообщение после выполнения \"Бэкапа\""),
                          QStringLiteral("MsgAfterBackup"), scenario);
    auto *zipRow = new QHBoxLayout;
    m_zip = checkBox(QStringLiteral("Упаковать в zip архив"), QStringLiteral("ZipArhiv"), scenario);
    m_zipPassword = lineEdit(QStringLiteral("ZipArhivShifr"), scenario, true);
    zipRow->addWidget(m_zip);
    zipRow->addWidget(new QLabel(QStringLiteral("Зашифровать архив - пароль:"), scenario));
    zipRow->addWidget(m_zipPassword, 1);
    m_ftp = checkBox(QStringLiteral("Отправить на FTP."), QStringLiteral("FtpArhiv"), scenario);
    connect(m_zip, &QCheckBox::toggled, this, [this](bool on) { onZipToggled(on); });
    connect(m_ftp, &QCheckBox::toggled, this, [this](bool on) { onFtpToggled(on); });

    QWidget *stepControls[] = {m_msgFirstSend, m_delay, m_close1C, m_msgAfter, nullptr, m_ftp};
    for (int i = 0; i < 6; ++i) {
        steps->addWidget(new QLabel(QStringLiteral("Шаг %1 -").arg(i + 1), scenario), i, 0);
        if (stepControls[i])
            steps->addWidget(stepControls[i], i, 1, Qt::AlignLeft);
        else
            steps->addLayout(zipRow, i, 1);
    }
    steps->setColumnStretch(1, 1);
    grid->addWidget(scenario, 6, 0, 1, 2);
    return tab;
}

QWidget *TForm9::buildMsSqlTab()
{
    auto *tab = new QWidget;
    tab->setObjectName(QStringLiteral("TabSheet2"));
    auto *layout = new QVBoxLayout(tab);

    auto *connection = new QGroupBox(QStringLiteral("Настройка подключения к MS SQL"), tab);
    auto *c = new QGridLayout(connection);
    m_sqlHost = lineEdit(QStringLiteral("HostMS"), connection);
    m_sqlLogin = lineEdit(QStringLiteral("LoginMS"), connection);
    m_sqlPassword = lineEdit(QStringLiteral("PassMS"), connection, true);
    m_sqlAuto = checkBox(QStringLiteral("Авто подключение"), QStringLiteral("CheckBox6"), connection);
    m_sqlTest = new QPushButton(QStringLiteral("Проверить подключение"), connection);
    m_sqlTest->setObjectName(QStringLiteral("Button4"));
    c->addWidget(new QLabel(QStringLiteral("MS SQL server (IP/Host)"), connection), 0, 0);
    c->addWidget(m_sqlHost, 1, 0);
    c->addWidget(new QLabel(QStringLiteral("Логин"), connection), 0, 1);
    c->addWidget(m_sqlLogin, 1, 1);
    c->addWidget(new QLabel(QStringLiteral("Пароль"), connection), 0, 2);
    c->addWidget(m_sqlPassword, 1, 2);
    c->addWidget(m_sqlAuto, 2, 0);
    c->addWidget(m_sqlTest, 2, 2);
    connect(m_sqlTest, &QPushButton::clicked, this, [this] { Button4Click(); });
    layout->addWidget(connection);

    auto *backup = new QGroupBox(QStringLiteral(" Настройки бэкапа на MS SQL сервере"), tab);
    auto *b = new QGridLayout(backup);
    m_sqlFolder = lineEdit(QStringLiteral("LabeledEdit1"), backup);
    m_sqlFolder->setText(kSqlFolderDefault);
    m_sqlDatabases = new QComboBox(backup);
    m_sqlDatabases->setObjectName(QStringLiteral("DatabaseList"));
    // A database the connection test listed, or a name typed in.
    m_sqlDatabases->setEditable(true);
    m_sqlDatabases->setInsertPolicy(QComboBox::NoInsert);
    m_sqlDatabases->setPlaceholderText(QStringLiteral("Выберите информационную базу"));
    m_sqlDatabases->lineEdit()->setPlaceholderText(QStringLiteral("Выберите информационную базу"));
    m_sqlDatabases->setCurrentIndex(-1);
    m_sqlLogOnly = new QRadioButton(QStringLiteral("Только LOG"), backup);
    m_sqlBaseOnly = new QRadioButton(QStringLiteral("Только База"), backup);
    m_sqlBaseAndLog = new QRadioButton(QStringLiteral("База + LOG"), backup);
    m_sqlBaseOnly->setChecked(true);
    m_sqlBackup = new QPushButton(QStringLiteral("Выполнить бэкап сейчас"), backup);
    m_sqlBackup->setObjectName(QStringLiteral("Button3"));
    m_sqlWait = new QLabel(QStringLiteral("Ждите, выполняю бэкап!"), backup);
    m_sqlWait->setObjectName(QStringLiteral("WaitLabel"));
    m_sqlWait->setStyleSheet(QStringLiteral("color: #FF0000; font-size: 24px;"));
    connect(m_sqlBackup, &QPushButton::clicked, this, [this] { Button3Click(); });
    b->addWidget(new QLabel(QStringLiteral("Путь где будет создан \"бэкап\" (на сервере MS SQL)"), backup), 0, 0, 1, 3);
    b->addWidget(m_sqlFolder, 1, 0, 1, 3);
    b->addWidget(m_sqlDatabases, 2, 0, 1, 3);
    b->addWidget(m_sqlLogOnly, 3, 0);
    b->addWidget(m_sqlBaseOnly, 3, 1);
    b->addWidget(m_sqlBaseAndLog, 3, 2);
    // The label lies under the button and shows only while the button is hidden.
    b->addWidget(m_sqlWait, 4, 0, 1, 3);
    b->addWidget(m_sqlBackup, 4, 0, 1, 3);
    m_sqlBackup->raise();
    layout->addWidget(backup);
    layout->addStretch(1);
    return tab;
}

QGroupBox *TForm9::buildFtpGroup()
{
    auto *group = new QGroupBox(QStringLiteral("FTP"), this);
    group->setObjectName(QStringLiteral("FtpGroup"));
    group->setFixedHeight(kFtpGroupHeight);
    auto *g = new QGridLayout(group);
    m_ftpHost = lineEdit(QStringLiteral("HostFTP"), group);
    m_ftpLogin = lineEdit(QStringLiteral("LoginFTP"), group);
    m_ftpPassword = lineEdit(QStringLiteral("PassFTP"), group, true);
    m_ftpPort = lineEdit(QStringLiteral("PortFTP"), group);
    m_ftpPort->setText(QStringLiteral("21"));
    m_ftpDir = lineEdit(QStringLiteral("DirUdalennoFTP"), group);
    m_passive = new QRadioButton(QStringLiteral("Пассивный режим"), group);
    m_passive->setObjectName(QStringLiteral("PassiveFTP"));
    m_active = new QRadioButton(QStringLiteral("Активный режим"), group);
    m_active->setObjectName(QStringLiteral("ActiveFTP"));
    // Both may be off (never chosen); choosing one switches the other off.
    m_passive->setAutoExclusive(false);
    m_active->setAutoExclusive(false);
    connect(m_passive, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            m_active->setChecked(false);
    });
    connect(m_active, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            m_passive->setChecked(false);
    });
    m_ftpResults = new QPlainTextEdit(group);
    m_ftpResults->setObjectName(QStringLiteral("FtpResults"));
    m_ftpResults->setReadOnly(true);
    m_testUpload = new QPushButton(QStringLiteral("Тестовая отправка файла"), group);
    m_testUpload->setObjectName(QStringLiteral("Button2"));
    connect(m_testUpload, &QPushButton::clicked, this, [this] { Button2Click(); });

    const std::pair<const char *, QLineEdit *> boxes[] = {
        {"Хост", m_ftpHost}, {"Логин", m_ftpLogin}, {"Пароль", m_ftpPassword}, {"Порт", m_ftpPort}};
    for (int i = 0; i < 4; ++i) {
        g->addWidget(new QLabel(QString::fromUtf8(boxes[i].first), group), 0, i);
        g->addWidget(boxes[i].second, 1, i);
    }
    g->addWidget(new QLabel(QStringLiteral("Директория на FTP сервере (Не обязательно)"), group), 2, 0, 1, 2);
    g->addWidget(m_ftpDir, 3, 0, 1, 2);
    g->addWidget(m_passive, 2, 2);
    g->addWidget(m_active, 3, 2);
    g->addWidget(m_testUpload, 2, 3, 2, 1);
    g->addWidget(m_ftpResults, 4, 0, 1, 4);
    return group;
}

void TForm9::loadSettings()
{
    const IniFile ini(settingsFilePath());
    if (!ini.fileExisted())
        return;
    m_loading = true;
    auto text = [&](const QString &section, const QString &key, QLineEdit *box) {
        box->setText(ini.readString(section, key, box->text()));
    };
    auto check = [&](const QString &section, const QString &key, QAbstractButton *box) {
        box->setChecked(ini.readBool(section, key, box->isChecked()));
    };
    text(kBackup, QStringLiteral("AvtoPath"), m_avtoPath);
    m_msgDo->setPlainText(ini.readString(kBackup, QStringLiteral("MsgDo"), m_msgDo->toPlainText()));
    m_msgPosle->setPlainText(ini.readString(kBackup, QStringLiteral("MsgPosle"), m_msgPosle->toPlainText()));
    check(kBackup, QStringLiteral("MsgFirstSend"), m_msgFirstSend);
    check(kBackup, QStringLiteral("Close1C"), m_close1C);
    check(kBackup, QStringLiteral("MsgAfterBackup"), m_msgAfter);
    check(kBackup, QStringLiteral("ZipArhiv"), m_zip);
    text(kBackup, QStringLiteral("ZipArhivShifr"), m_zipPassword);
    check(kBackup, QStringLiteral("FtpArhiv"), m_ftp);
    text(kBackup, QStringLiteral("HostFTP"), m_ftpHost);
    text(kBackup, QStringLiteral("LoginFTP"), m_ftpLogin);
    text(kBackup, QStringLiteral("PassFTP"), m_ftpPassword);
    text(kBackup, QStringLiteral("PortFTP"), m_ftpPort);
    text(kBackup, QStringLiteral("DirUdalennoFTP"), m_ftpDir);
    // Both keys on in a hand-edited file: the later one, active, stays on.
    check(kBackup, QStringLiteral("PassiveFTP"), m_passive);
    check(kBackup, QStringLiteral("ActiveFTP"), m_active);
    text(kSettings, QStringLiteral("HostMS"), m_sqlHost);
    text(kSettings, QStringLiteral("LoginMS"), m_sqlLogin);
    text(kSettings, QStringLiteral("PassMS"), m_sqlPassword);
    text(kSettings, QStringLiteral("LabeledEdit1"), m_sqlFolder);
    check(kSettings, QStringLiteral("CheckBox6"), m_sqlAuto);

    m_delay->setCurrentIndex(m_delay->findText(ini.readString(kBackup, QStringLiteral("Zadergka"), QString()),
                                               Qt::MatchExactly | Qt::MatchCaseSensitive));
    m_loading = false;

    IniFile out(settingsFilePath());
    if (m_avtoPath->text().isEmpty()) {
        QString desktop;
        GetDesktopDir(desktop);
        m_avtoPath->setText(desktop);
        out.writeString(kBackup, QStringLiteral("AvtoPath"), desktop);
    }
    if (m_delay->currentIndex() < 0) {
        m_loading = true;
        m_delay->setCurrentIndex(m_delay->findText(kNoDelayText));
        m_loading = false;
        out.writeString(kBackup, QStringLiteral("Zadergka"), kNoDelayText);
    }
    // Only an archive goes to FTP: a file that asks for the upload without
    // ZIP (hand-edited, or an old one) gets ZIP, as a click on the box gives.
    if (m_ftp->isChecked() && !m_zip->isChecked()) {
        m_zip->setChecked(true);
        out.writeBool(kBackup, QStringLiteral("ZipArhiv"), true);
    }
    if (out.isDirty())
        saveSettingsFile(out);
}

void TForm9::saveSettings()
{
    IniFile ini(settingsFilePath());
    if (!ini.fileExisted())
        return;
    ini.writeString(kBackup, QStringLiteral("AvtoPath"), m_avtoPath->text());
    ini.writeString(kBackup, QStringLiteral("MsgDo"), flattenBoxText(m_msgDo->toPlainText()));
    ini.writeString(kBackup, QStringLiteral("MsgPosle"), flattenBoxText(m_msgPosle->toPlainText()));
    ini.writeBool(kBackup, QStringLiteral("MsgFirstSend"), m_msgFirstSend->isChecked());
    ini.writeBool(kBackup, QStringLiteral("Close1C"), m_close1C->isChecked());
    ini.writeBool(kBackup, QStringLiteral("MsgAfterBackup"), m_msgAfter->isChecked());
    ini.writeBool(kBackup, QStringLiteral("ZipArhiv"), m_zip->isChecked());
    ini.writeString(kBackup, QStringLiteral("ZipArhivShifr"), m_zipPassword->text());
    ini.writeBool(kBackup, QStringLiteral("FtpArhiv"), m_ftp->isChecked());
    ini.writeString(kBackup, QStringLiteral("HostFTP"), m_ftpHost->text());
    ini.writeString(kBackup, QStringLiteral("LoginFTP"), m_ftpLogin->text());
    ini.writeString(kBackup, QStringLiteral("PassFTP"), m_ftpPassword->text());
    ini.writeString(kBackup, QStringLiteral("PortFTP"), m_ftpPort->text());
    ini.writeString(kBackup, QStringLiteral("DirUdalennoFTP"), m_ftpDir->text());
    ini.writeBool(kBackup, QStringLiteral("PassiveFTP"), m_passive->isChecked());
    ini.writeBool(kBackup, QStringLiteral("ActiveFTP"), m_active->isChecked());
    writeSqlSettings(ini);
    saveSettingsFile(ini);
}

void TForm9::writeSqlSettings(IniFile &ini) const
{
    ini.writeString(kSettings, QStringLiteral("HostMS"), m_sqlHost->text());
    ini.writeString(kSettings, QStringLiteral("LoginMS"), m_sqlLogin->text());
    ini.writeString(kSettings, QStringLiteral("PassMS"), m_sqlPassword->text());
    ini.writeString(kSettings, QStringLiteral("LabeledEdit1"), m_sqlFolder->text());
    ini.writeBool(kSettings, QStringLiteral("CheckBox6"), m_sqlAuto->isChecked());
}

void TForm9::onDelayChosen(int index)
{
    if (m_loading || index < 0)
        return;
    IniFile ini(settingsFilePath());
    if (!ini.fileExisted())
        return;
    ini.writeString(kBackup, QStringLiteral("Zadergka"), m_delay->itemText(index));
    saveSettingsFile(ini);
}

bool TForm9::ftpGroupShown() const
{
    return !m_ftpGroup->isHidden();
}

void TForm9::setFtpGroupShown(bool shown)
{
    m_ftpGroup->setVisible(shown);
    setFixedSize(kWidth, shown ? kHeightWithFtp : kHeightWithoutFtp);
}

void TForm9::onZipToggled(bool on)
{
    // While the archive goes to FTP it has to be made.
    if (!on && m_ftp->isChecked())
        m_zip->setChecked(true);
}

void TForm9::onFtpToggled(bool on)
{
    if (m_loading)
        return;
    if (on)
        m_zip->setChecked(true);
    if (m_tabs->currentWidget() == m_quickTab)
        setFtpGroupShown(on);
}

void TForm9::onTabChanged()
{
    if (m_tabs->currentWidget() == m_msSqlTab) {
        setFtpGroupShown(false);
        autoSqlTest();
        return;
    }
    if (m_ftp->isChecked()) {
        m_zip->setChecked(true);
        setFtpGroupShown(true);
    } else {
        setFtpGroupShown(false);
    }
}

void TForm9::chooseFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(this, kFolderDialogTitle, m_avtoPath->text());
    if (!folder.isEmpty())
        m_avtoPath->setText(QDir::toNativeSeparators(folder));
}

void TForm9::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
    const bool shown = m_ftp->isChecked() && m_tabs->currentWidget() != m_msSqlTab;
    if (!m_shownOnce && !shown) {
        m_ftpGroup->setVisible(false);
        setFixedSize(kWidth, kFirstShownHeight);
    } else {
        setFtpGroupShown(shown);
    }
    m_shownOnce = true;
}

bool TForm9::event(QEvent *e)
{
    if (e->type() == QEvent::WindowActivate) {
        setWindowTitle(windowTitleText());
        autoSqlTest();
    }
    return QDialog::event(e);
}

void TForm9::done(int result)
{
    saveSettings();
    QDialog::done(result);
}

void TForm9::Button2Click()
{
    if (m_testThread)
        return; // one test upload at a time
    if (m_ftpPort->text().isEmpty() || m_ftpHost->text().isEmpty() || m_ftpLogin->text().isEmpty()) {
        logLine(LogStamp() + kFtpConnectFailed, kLogRed);
        return;
    }
    FtpSettings s;
    s.host = m_ftpHost->text();
    s.login = m_ftpLogin->text();
    s.password = m_ftpPassword->text();
    s.port = m_ftpPort->text();
    s.remoteDir = m_ftpDir->text();
    int port = 0;
    if (!parseFtpPort(s.port, &port)) {
        // Before any connection and without a log line.
        if (!m_portError) {
            m_portError = new QMessageBox(QMessageBox::Critical, windowTitleText(), QString(), QMessageBox::Ok, this);
            m_portError->setObjectName(QStringLiteral("PortError"));
        }
        m_portError->setText(QStringLiteral("«%1» — не целое число от 1 до 65535.").arg(s.port));
        m_portError->open();
        return;
    }
    // Passive only when chosen; active otherwise, also when neither was ever chosen.
    s.passive = m_passive->isChecked();
    s.active = !s.passive;
    m_ftpResults->setFocus();
    m_testUpload->setEnabled(false);
    m_stopTest = false;

    const QString local = programFile(kTestArchive);
    m_testThread = runInBackground(
        this,
        [this, s, local] {
            FtpUploadEvents events;
            events.connected = [this, host = s.host] {
                QMetaObject::invokeMethod(
                    this,
                    [this, host] {
                        m_ftpResults->appendPlainText(kFtpConnectedPrefix + host);
                        logLine(LogStamp() + kFtpConnectedPrefix + host, kLogGreen);
                    },
                    Qt::QueuedConnection);
            };
            return uploadFileAppend(s, local, kTestArchive, events, &m_stopTest);
        },
        [this](const FtpUploadResult &r) { finishTestUpload(r.ok, r.error); });
}

void TForm9::finishTestUpload(bool ok, const QString &message)
{
    m_testThread.clear();
    m_testUpload->setEnabled(true);
    if (ok) {
        m_ftpResults->appendPlainText(LogStamp() + QLatin1Char(' ') + kTestSent);
        logLine(LogStamp() + kTestSent, kLogGreen);
    } else {
        logLine(LogStamp() + message, kLogRed);
        m_ftpResults->appendPlainText(LogStamp() + message);
        raise();
        activateWindow();
    }
    emit testUploadEnded(ok, message);
}

void TForm9::autoSqlTest()
{
    if (m_sqlAuto->isChecked() && !m_sqlHost->text().isEmpty() && !m_sqlLogin->text().isEmpty()
        && !m_sqlPassword->text().isEmpty())
        Button4Click();
}

void TForm9::Button4Click()
{
    if (m_sqlTestThread)
        return; // one connection test at a time
    const SqlLogin login{m_sqlHost->text(), m_sqlLogin->text(), m_sqlPassword->text(), QStringLiteral("master")};
    m_sqlTestThread = runInBackground(
        this, [login] { return runSqlConnectionTest(login); },
        [this](const SqlConnectionTestResult &r) { finishSqlTest(r); });
}

void TForm9::finishSqlTest(const SqlConnectionTestResult &r)
{
    m_sqlTestThread.clear();
    if (r.connected) {
        logLine(LogStamp() + kSqlConnected, kLogGreen);
        GetSQLDatabases(r.names);
    }
    if (r.failed)
        logLine(LogStamp() + r.error.text(), kLogRed);
    emit sqlTestEnded(!r.failed);
}

void TForm9::GetSQLDatabases(const QStringList &catalogNames)
{
    for (const QString &name : catalogNames)
        m_sqlDatabases->addItem(name);
}

bool TForm9::sqlBackupRunning() const
{
    return m_sqlCheckThread != nullptr || m_sqlWatch->isActive();
}

void TForm9::Button3Click()
{
    if (sqlBackupRunning())
        return; // one backup at a time
    {
        IniFile ini(settingsFilePath());
        if (ini.fileExisted()) {
            writeSqlSettings(ini);
            saveSettingsFile(ini);
        }
    }
    auto job = std::make_shared<SqlBackupJob>();
    job->Host = m_sqlHost->text();
    job->Login = m_sqlLogin->text();
    job->Password = m_sqlPassword->text();
    job->Database = m_sqlDatabases->currentText();
    job->TargetDir = m_sqlFolder->text();
    // The kind as chosen when the button was pressed.
    if (m_sqlBaseAndLog->isChecked()) {
        job->BackupDb = true;
        job->BackupLog = true;
    } else if (m_sqlLogOnly->isChecked()) {
        job->BackupLog = true;
    } else if (m_sqlBaseOnly->isChecked()) {
        job->BackupDb = true;
    }
    m_sqlJob = job;
    // The server is checked on a worker: the window stays responsive, and the
    // button stays disabled so that the backup cannot start twice.
    m_sqlBackup->setEnabled(false);
    const SqlLogin login{job->Host, job->Login, job->Password, QStringLiteral("master")};
    struct Check {
        bool ok;
        SqlError error;
    };
    m_sqlCheckThread = runInBackground(
        this,
        [login] {
            Check check{};
            check.ok = checkSqlConnection(login, &check.error);
            return check;
        },
        [this](const Check &check) { finishSqlCheck(check.ok, check.error); });
}

void TForm9::finishSqlCheck(bool ok, const SqlError &error)
{
    m_sqlCheckThread.clear();
    if (!ok) {
        logLine(LogStamp() + error.text(), kLogRed);
        m_sqlWatch->stop();
        m_sqlBackup->setEnabled(true);
        logLine(LogStamp() + kSqlConnectFailed, kLogRed);
        emit sqlBackupEnded(false);
        return;
    }
    logLine(LogStamp() + kSqlConnected, kLogGreen);
    setScaledInterval(m_sqlWatch, kSqlWatchMs);
    m_sqlWatch->start();
    m_sqlBackup->setEnabled(false);
    m_adoThread = new ADOThread(m_sqlJob);
    m_adoThread->start();
}

void TForm9::sqlWatchTick()
{
    // The worker's lines handed over so far come first.
    if (m_adoThread)
        QCoreApplication::sendPostedEvents(m_adoThread, QEvent::MetaCall);
    if (!m_sqlJob) {
        m_sqlWatch->stop();
        return;
    }
    if (m_sqlJob->Failed) {
        giveSqlButtonBack(false);
    } else if (m_sqlJob->Finished) {
        logLine(LogStamp() + kSqlBackupDone, kLogGreen);
        giveSqlButtonBack(true);
    } else {
        // Hiding the button uncovers the red label under it.
        m_sqlBackup->setVisible(false);
        logLine(LogStamp() + kSqlWatchRunning, kLogGreen);
    }
}

void TForm9::giveSqlButtonBack(bool ok)
{
    m_sqlWatch->stop();
    m_sqlBackup->setVisible(true);
    m_sqlBackup->setEnabled(true);
    m_sqlBackup->raise();
    emit sqlBackupEnded(ok);
}

} // namespace dozorix
