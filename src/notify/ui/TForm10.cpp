#include "notify/ui/TForm10.h"

#include "common/AppInfo.h"

#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "common/Stamps.h"
#include "common/SystemHelpers.h"
#include "common/ui/WindowPlacement.h"
#include "notify/NotificationMail.h"

#include <QCheckBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace dozorix {

namespace {

const QString kSection = QStringLiteral("settings");
const QString kFillMailSettingsLine = QStringLiteral("Заполните все поля для отправки уведомлений на Email");
const QString kServerStartedLine = QStringLiteral("Сервер Dozorix успешно стартовал!");
const QString kServerStartFailedPrefix = QStringLiteral("Не удалось запустить сервер Dozorix: ");
const QString kStartCSKey = QStringLiteral("StartCS");
const QString kPort1Key = QStringLiteral("Port1");
const QString kPort2Key = QStringLiteral("Port2");

constexpr int kDialogWidth = 636;
constexpr int kDialogHeight = 321;
constexpr int kGeneralColumnWidth = 170;

// A check box whose caption wraps onto further lines, for the narrow column
// of the general options.
class WrappingCheckBox : public QCheckBox
{
public:
    WrappingCheckBox(const QString &text, int width, QWidget *parent)
        : QCheckBox(text, parent)
        , m_width(width)
    {
        QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }

    QSize sizeHint() const override { return {m_width, heightForWidth(m_width)}; }
    QSize minimumSizeHint() const override { return sizeHint(); }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override
    {
        const int textHeight = textRect(width).height();
        return std::max(textHeight, indicatorSize().height()) + 2;
    }

protected:
    bool hitButton(const QPoint &pos) const override { return rect().contains(pos); }

    void paintEvent(QPaintEvent *) override
    {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        option.text.clear();
        option.rect.setSize(indicatorSize());
        painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, option);
        const QRect text = textRect(width());
        painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
        painter.drawText(text, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, this->text());
        if (hasFocus()) {
            QStyleOptionFocusRect focus;
            focus.initFrom(this);
            focus.rect = text.adjusted(-1, 0, 1, 0);
            painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
        }
    }

private:
    QSize indicatorSize() const
    {
        return {style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, this),
                style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, this)};
    }

    QRect textRect(int width) const
    {
        const int left = indicatorSize().width() + style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, this);
        const QRect bounds = fontMetrics().boundingRect(QRect(left, 0, std::max(1, width - left), 10000),
                                                        Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, text());
        return {left, 0, std::max(1, width - left), bounds.height()};
    }

    int m_width;
};

// The dialog whose port box letters take their port from.
TForm10 *g_portProviderOwner = nullptr;

} // namespace

bool CheckEmailSetting(const MailSettings &values)
{
    return !values.port.isEmpty() && !values.sender.isEmpty() && !values.recipients.isEmpty()
        && !values.host.isEmpty() && !values.user.isEmpty() && !values.password.isEmpty();
}

ServerIndicator::ServerIndicator(QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(sizeHint());
}

void ServerIndicator::setColor(const QColor &color)
{
    if (m_color == color)
        return;
    m_color = color;
    update();
}

void ServerIndicator::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(m_color);
    painter.drawEllipse(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5));
}

TForm10::TForm10(Hooks hooks, QWidget *parent)
    : QDialog(parent)
    , m_hooks(std::move(hooks))
{
    setWindowTitle(windowTitleText());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setFixedSize(kDialogWidth, kDialogHeight);

    buildGeneral();

    m_tabs = new QTabWidget(this);
    m_notificationsTab = buildNotificationsTab();
    m_mailTab = buildMailTab();
    m_clientServerTab = buildClientServerTab();
    m_tabs->addTab(m_notificationsTab, QStringLiteral("Уведомления"));
    m_tabs->addTab(m_mailTab, QStringLiteral("E-mail (настройки)."));
    m_tabs->addTab(m_clientServerTab, QStringLiteral("Клиент-Сервер"));
    m_tabs->setCurrentWidget(m_notificationsTab);

    auto *general = new QVBoxLayout();
    general->addWidget(m_autostart);
    general->addWidget(m_tray);
    general->addStretch();
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addLayout(general);
    layout->addWidget(m_tabs, 1);

    // The keys of section "settings" in the order they are read.
    const char *const readingOrder[] = {
        "AvtoZapusk", "Trey",
        "E-mail_From_Address", "E-mail_EMailAddresses", "E-mail_HostSmtp", "E-mail_Port", "E-mail_Username",
        "E-mail_Password",
        "CPU_1C_LOAD", "CPU_1C_LOAD_EMAIL", "CPU_1C_LOAD_PROCENT",
        "CPU__LOAD_ALL", "CPU_ALL_LOAD_EMAIL", "CPU_ALL_LOAD_PROCENT",
        "CPU_SERVER_LOAD", "CPU_SERVER_LOAD_EMAIL", "CPU_SERVER_LOAD_PROCENT",
    };
    for (const char *name : readingOrder) {
        const QString key = QString::fromLatin1(name);
        m_bindings.append({key, findChild<QCheckBox *>(key), findChild<QLineEdit *>(key)});
        Q_ASSERT(m_bindings.last().check || m_bindings.last().box);
    }

    // Letters take their port from the port box, as the user last typed it.
    g_portProviderOwner = this;
    QPointer<QLineEdit> portBox(m_mailPort);
    setMailPortProvider([portBox] { return portBox ? portBox->text() : QString(); });

    loadSettings();
}

TForm10::~TForm10()
{
    if (g_portProviderOwner == this) {
        g_portProviderOwner = nullptr;
        setMailPortProvider({});
    }
}

QCheckBox *TForm10::addCheck(const QString &caption, const QString &key, QWidget *parent)
{
    auto *box = new QCheckBox(caption, parent);
    box->setObjectName(key);
    return box;
}

QLineEdit *TForm10::addBox(const QString &key, QWidget *parent)
{
    auto *box = new QLineEdit(parent);
    box->setObjectName(key);
    return box;
}

void TForm10::buildGeneral()
{
    m_autostart = new WrappingCheckBox(QStringLiteral("Запуск программы при старте Windows."), kGeneralColumnWidth, this);
    m_autostart->setObjectName(QStringLiteral("AvtoZapusk"));
    m_tray = new WrappingCheckBox(QStringLiteral("Старт в системном трее."), kGeneralColumnWidth, this);
    m_tray->setObjectName(QStringLiteral("Trey"));
}

QWidget *TForm10::buildNotificationsTab()
{
    auto *tab = new QWidget();
    auto *grid = new QGridLayout(tab);
    struct Row {
        const char *caption;
        const char *alertKey;
        const char *percentKey;
        const char *mailKey;
    };
    const Row rows[] = {
        {"Загрузка ЦПУ 1С:", "CPU__LOAD_ALL", "CPU_ALL_LOAD_PROCENT", "CPU_ALL_LOAD_EMAIL"},
        {"Загрузка ЦПУ 1С Предприятие:", "CPU_1C_LOAD", "CPU_1C_LOAD_PROCENT", "CPU_1C_LOAD_EMAIL"},
        {"Загрузка ЦПУ Сервер 1С:", "CPU_SERVER_LOAD", "CPU_SERVER_LOAD_PROCENT", "CPU_SERVER_LOAD_EMAIL"},
    };
    int r = 0;
    for (const Row &row : rows) {
        QCheckBox *alert = addCheck(QString::fromUtf8(row.caption), QString::fromLatin1(row.alertKey), tab);
        QLineEdit *percent = addBox(QString::fromLatin1(row.percentKey), tab);
        percent->setFixedWidth(45);
        auto *unit = new QLabel(QStringLiteral("%"), tab);
        unit->setBuddy(percent);
        QCheckBox *mail = addCheck(QStringLiteral("на E-mail"), QString::fromLatin1(row.mailKey), tab);
        watchEmailBox(mail);
        grid->addWidget(alert, r, 0);
        grid->addWidget(percent, r, 1);
        grid->addWidget(unit, r, 2);
        grid->addWidget(mail, r, 3);
        ++r;
    }
    grid->setColumnStretch(4, 1);
    grid->setRowStretch(r, 1);
    return tab;
}

QWidget *TForm10::buildMailTab()
{
    auto *tab = new QWidget();
    auto *grid = new QGridLayout(tab);
    grid->setVerticalSpacing(2);
    grid->setContentsMargins(8, 6, 8, 6);
    // Label above box; the two long ones take the whole width.
    auto labelled = [&](const QString &caption, const QString &key, int row, int column, int span) {
        QLineEdit *box = addBox(key, tab);
        auto *label = new QLabel(caption, tab);
        label->setBuddy(box);
        grid->addWidget(label, row, column, 1, span);
        grid->addWidget(box, row + 1, column, 1, span);
        return box;
    };
    m_mailFrom = labelled(QStringLiteral("E-mail (С которого отправляем письмо)."), QStringLiteral("E-mail_From_Address"), 0, 0, 2);
    m_mailTo = labelled(QStringLiteral("E-mail (Куда отправляем письмо)."), QStringLiteral("E-mail_EMailAddresses"), 2, 0, 2);
    m_mailHost = labelled(QStringLiteral("SMTP сервер."), QStringLiteral("E-mail_HostSmtp"), 4, 0, 1);
    m_mailPort = labelled(QStringLiteral("Порт"), QStringLiteral("E-mail_Port"), 4, 1, 1);
    auto *note = new QLabel(QStringLiteral("( Например SSL - 465, 495, 587 ) или обычный 25"), tab);
    note->setObjectName(QStringLiteral("PortNote"));
    grid->addWidget(note, 6, 0, 1, 2);
    m_mailUser = labelled(QStringLiteral("Логин"), QStringLiteral("E-mail_Username"), 7, 0, 1);
    m_mailPassword = labelled(QStringLiteral("Пароль"), QStringLiteral("E-mail_Password"), 7, 1, 1);
    m_mailPassword->setEchoMode(QLineEdit::Password);
    m_mailPassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42;")); // "*"

    m_testMail = new QPushButton(QStringLiteral("Отправить тестовое письмо."), tab);
    m_testMail->setObjectName(QStringLiteral("TestMailButton"));
    m_testMail->setAutoDefault(false);
    grid->addItem(new QSpacerItem(0, 4), 9, 0);
    grid->addWidget(m_testMail, 10, 0, 1, 2, Qt::AlignLeft);
    grid->setRowStretch(11, 1);
    connect(m_testMail, &QPushButton::clicked, this, &TForm10::sendTestMail);
    return tab;
}

QWidget *TForm10::buildClientServerTab()
{
    auto *tab = new QWidget();
    m_serverGroup = new QGroupBox(QStringLiteral("Настройки"), tab);
    auto *grid = new QGridLayout(m_serverGroup);
    m_port1 = addBox(kPort1Key, m_serverGroup);
    m_port1->setText(QStringLiteral("5005"));
    m_port2 = addBox(kPort2Key, m_serverGroup);
    m_port2->setText(QStringLiteral("5006"));
    auto *label1 = new QLabel(QStringLiteral("Основной порт"), m_serverGroup);
    label1->setBuddy(m_port1);
    auto *label2 = new QLabel(QStringLiteral("Вторичный порт"), m_serverGroup);
    label2->setBuddy(m_port2);
    m_startServer = new QPushButton(QStringLiteral("Запустить сервер"), m_serverGroup);
    m_startServer->setObjectName(QStringLiteral("StartServerButton"));
    m_stopServer = new QPushButton(QStringLiteral("Остановить"), m_serverGroup);
    m_stopServer->setObjectName(QStringLiteral("StopServerButton"));
    for (QPushButton *b : {m_startServer, m_stopServer})
        b->setAutoDefault(false);
    m_indicator = new ServerIndicator(m_serverGroup);
    m_indicator->setObjectName(kStartCSKey);

    grid->addWidget(label1, 0, 0);
    grid->addWidget(m_port1, 0, 1);
    grid->addWidget(label2, 1, 0);
    grid->addWidget(m_port2, 1, 1);
    auto *buttons = new QHBoxLayout();
    buttons->addWidget(m_startServer);
    buttons->addWidget(m_stopServer);
    buttons->addSpacing(8);
    buttons->addWidget(m_indicator);
    buttons->addStretch();
    grid->addLayout(buttons, 2, 0, 1, 3);
    grid->setColumnStretch(2, 1);

    auto *layout = new QVBoxLayout(tab);
    layout->addWidget(m_serverGroup);
    layout->addStretch();

    connect(m_startServer, &QPushButton::clicked, this, [this] { StartAgentServer(); });
    connect(m_stopServer, &QPushButton::clicked, this, &TForm10::StopAgentServer);
    return tab;
}

void TForm10::watchEmailBox(QCheckBox *box)
{
    // Every change of the box runs the check, whether the user clicked it or
    // the settings file ticked it while loading.
    connect(box, &QCheckBox::toggled, this, [this, box] { onEmailBoxToggled(box); });
}

void TForm10::onEmailBoxToggled(QCheckBox *box)
{
    if (CheckEmailSetting())
        return;
    m_tabs->setCurrentWidget(m_mailTab);
    logLine(LogStamp() + kFillMailSettingsLine, kLogRed);
    box->setChecked(false); // an untick runs this check once more
}

MailSettings TForm10::mailSettings() const
{
    return {m_mailFrom->text(), m_mailTo->text(), m_mailHost->text(),
            m_mailPort->text(), m_mailUser->text(), m_mailPassword->text()};
}

bool TForm10::CheckEmailSetting() const
{
    return dozorix::CheckEmailSetting(mailSettings());
}

void TForm10::sendTestMail()
{
    if (m_testMailId != 0 && isMailInFlight(m_testMailId))
        return;
    m_testMailId = SendTestMail(mailSettings());
}

bool TForm10::startCS() const
{
    return m_hooks.startCS ? m_hooks.startCS() : m_ownStartCS;
}

void TForm10::setStartCS(bool on)
{
    if (m_hooks.setStartCS)
        m_hooks.setStartCS(on);
    else
        m_ownStartCS = on;
}

bool TForm10::serverRunning() const
{
    return m_indicator->isGreen();
}

void TForm10::showServerState(bool running)
{
    m_startServer->setEnabled(!running);
    m_port1->setEnabled(!running);
    m_port2->setEnabled(!running);
    m_indicator->setColor(QColor(running ? ServerIndicator::kRunning : ServerIndicator::kStopped));
}

bool TForm10::StartAgentServer()
{
    QString error;
    bool ok = false;
    if (m_hooks.startServer) {
        ok = m_hooks.startServer(m_port1->text(), &error);
        if (!ok && error.isEmpty())
            error = QStringLiteral("порт %1 не открылся").arg(m_port1->text().trimmed());
    } else {
        error = QStringLiteral("сервер агентов недоступен");
        setStartCS(false); // no main window keeps it
    }
    showServerState(ok);
    if (!ok)
        logLine(LogStamp() + kServerStartFailedPrefix + error, kLogRed);
    return ok;
}

void TForm10::StopAgentServer()
{
    showServerState(false);
    if (m_hooks.stopServer)
        m_hooks.stopServer();
    else
        setStartCS(false);
}

void TForm10::loadSettings()
{
    const IniFile ini(settingsFilePath());
    if (!ini.fileExisted())
        return;
    for (const Binding &b : std::as_const(m_bindings)) {
        if (b.check)
            b.check->setChecked(ini.readBool(kSection, b.key, b.check->isChecked()));
        else
            b.box->setText(ini.readString(kSection, b.key, b.box->text()));
    }
    setStartCS(ini.readBool(kSection, kStartCSKey, startCS()));
    m_port1->setText(ini.readString(kSection, kPort1Key, m_port1->text()));
    m_port2->setText(ini.readString(kSection, kPort2Key, m_port2->text()));

    if (startCS() && StartAgentServer())
        logLine(LogStamp() + kServerStartedLine, kLogGreen);
}

void TForm10::saveSettings()
{
    if (!settingsFileExists())
        return;
    IniFile ini(settingsFilePath());
    if (!ini.fileExisted())
        return;
    for (const Binding &b : std::as_const(m_bindings)) {
        if (b.check)
            ini.writeBool(kSection, b.key, b.check->isChecked());
        else
            ini.writeString(kSection, b.key, b.box->text());
    }
    // The administrator's wish, not the lamp: a start that failed (a busy
    // port) keeps StartCS on, so the next program start tries again.
    ini.writeBool(kSection, kStartCSKey, startCS());
    ini.writeString(kSection, kPort1Key, m_port1->text());
    ini.writeString(kSection, kPort2Key, m_port2->text());
    saveSettingsFile(ini); // a failure goes to the event log, once
    SetAutorun(m_autostart->isChecked());
}

void TForm10::onBecameActive()
{
    setWindowTitle(windowTitleText());
    // One try per showing: the show and the activation both arrive here, and
    // a port that stays busy is reported once, not at every activation.
    if (startCS() && !serverRunning() && !m_startTriedThisShowing) {
        m_startTriedThisShowing = true;
        StartAgentServer();
    }
}

bool TForm10::event(QEvent *e)
{
    if (e->type() == QEvent::WindowActivate)
        onBecameActive();
    return QDialog::event(e);
}

void TForm10::setVisible(bool visible)
{
    // Centred on the desktop, not over the main window. Before the first
    // showing the frame is not known yet and the window itself is centred.
    if (visible && !isVisible()) {
        m_startTriedThisShowing = false;
        centerOnDesktop(this);
    }
    QDialog::setVisible(visible);
}

void TForm10::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
    // Shown means active, also where the window system sends no activation.
    onBecameActive();
}

void TForm10::done(int result)
{
    saveSettings();
    QDialog::done(result);
}

} // namespace dozorix
