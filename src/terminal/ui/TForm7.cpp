#include "terminal/ui/TForm7.h"

#include "agents/AgentServer.h"
#include "agents/AgentWire.h"
#include "common/AppInfo.h"
#include "common/LogSink.h"
#include "common/Stamps.h"
#include "common/ui/WindowPlacement.h"
#include "terminal/SessionActions.h"
#include "terminal/UserMessages.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace dozorix {

namespace {

const QString kSmbHint = QStringLiteral("Для успешного выполнения операции") + QStringLiteral("\r\n")
                         + QStringLiteral(" у пользователя должен быть открыт TCP порт 445") + QStringLiteral("\r\n")
                         + QStringLiteral("или Брандмауэр должен быть отключен.") + QStringLiteral("\r\n")
                         + QStringLiteral("(использует протокол SMB)");

} // namespace

TForm7::TForm7(AgentServer *agents, Hooks hooks, QWidget *parent)
    : QDialog(parent)
    , m_agents(agents)
    , m_hooks(std::move(hooks))
{
    setObjectName(QStringLiteral("TForm7"));
    setWindowTitle(windowTitleText());
    setModal(true);

    auto *layout = new QVBoxLayout(this);
    auto *fields = new QGridLayout;
    m_idLabel = new QLabel(QStringLiteral("ID сессии:"), this);
    m_ids = new QLineEdit(QStringLiteral("*"), this);
    m_ids->setObjectName(QStringLiteral("MessageIds"));
    m_idLabel->setToolTip(kSessionIdHint);
    m_ids->setToolTip(kSessionIdHint);
    m_addressLabel = new QLabel(QStringLiteral("IP сервера:"), this);
    m_address = new QLineEdit(this);
    m_address->setObjectName(QStringLiteral("MessageAddress"));
    fields->addWidget(m_idLabel, 0, 0);
    fields->addWidget(m_ids, 0, 1);
    fields->addWidget(m_addressLabel, 1, 0);
    fields->addWidget(m_address, 1, 1);
    layout->addLayout(fields);

    m_text = new QPlainTextEdit(this);
    m_text->setObjectName(QStringLiteral("MessageText"));
    m_text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_text->setToolTip(kSmbHint);
    layout->addWidget(m_text, 1);

    auto *buttons = new QHBoxLayout;
    m_send = new QPushButton(QStringLiteral("Отправить сообщение"), this);
    m_send->setObjectName(QStringLiteral("SendMessage"));
    m_send->setToolTip(kSmbHint);
    m_send->setAutoDefault(false);
    m_toTray = new QToolButton(this);
    m_toTray->setObjectName(QStringLiteral("MinimiseToTray"));
    m_toTray->setIcon(style()->standardIcon(QStyle::SP_TitleBarMinButton));
    m_toTray->setToolTip(QStringLiteral("Свернуть в трей"));
    m_maximise = new QToolButton(this);
    m_maximise->setObjectName(QStringLiteral("MaximiseMain"));
    m_maximise->setIcon(style()->standardIcon(QStyle::SP_TitleBarMaxButton));
    m_maximise->setToolTip(QStringLiteral("Развернуть на весь экран"));
    buttons->addWidget(m_send, 1);
    buttons->addWidget(m_toTray);
    buttons->addWidget(m_maximise);
    layout->addLayout(buttons);

    connect(m_send, &QPushButton::clicked, this, &TForm7::sendMessage);
    connect(m_toTray, &QToolButton::clicked, this, [this] {
        if (m_hooks.minimiseMainToTray)
            m_hooks.minimiseMainToTray();
    });
    connect(m_maximise, &QToolButton::clicked, this, [this] {
        if (m_hooks.maximiseMain)
            m_hooks.maximiseMain();
    });

    setFixedSize(420, 300);
}

void TForm7::openModal()
{
    if (isVisible()) {
        if (m_hooks.maximiseMain)
            m_hooks.maximiseMain();
        return;
    }
    centerOnDesktop(this);
    exec();
}

void TForm7::showTargetFields(bool show)
{
    for (QWidget *w : {static_cast<QWidget *>(m_idLabel), static_cast<QWidget *>(m_ids),
                       static_cast<QWidget *>(m_addressLabel), static_cast<QWidget *>(m_address)})
        w->setVisible(show);
}

void TForm7::showEvent(QShowEvent *event)
{
    if (m_hooks.terminalAddress)
        m_address->setText(m_hooks.terminalAddress());
    const bool agents = (m_hooks.selectedAgentsMode && m_hooks.selectedAgentsMode())
                        || (m_hooks.allAgentsMode && m_hooks.allAgentsMode());
    if (agents)
        showTargetFields(false);
    QDialog::showEvent(event);
}

void TForm7::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        setWindowTitle(windowTitleText());
        const bool agents = (m_hooks.selectedAgentsMode && m_hooks.selectedAgentsMode())
                            || (m_hooks.allAgentsMode && m_hooks.allAgentsMode());
        if (agents)
            showTargetFields(false);
    }
}

void TForm7::done(int result)
{
    if (m_hooks.clearModes)
        m_hooks.clearModes();
    showTargetFields(true);
    QDialog::done(result);
}

void TForm7::sendMessage()
{
    const QString title = QStringLiteral("Dozorix");
    const QString text = flattenBoxText(m_text->toPlainText());
    const auto sent = [this, &title](const QString &line) {
        logLine(LogStamp() + line, kLogGreen);
        if (m_hooks.balloon)
            m_hooks.balloon(title, line);
    };
    try {
        if (m_hooks.selectedAgentsMode && m_hooks.selectedAgentsMode()) {
            if (m_agents)
                m_agents->sendToRowsByRemoteAddress(m_hooks.selectedRows ? m_hooks.selectedRows() : QList<int>(),
                                                    AgentCommand::alert(text));
            logLine(LogStamp() + messageSentLine(text), kLogGreen);
            return;
        }
        if (m_hooks.allAgentsMode && m_hooks.allAgentsMode()) {
            if (m_agents)
                m_agents->SendAllClients(AgentCommand::alert(text), QString());
            logLine(LogStamp() + messageSentLine(text), kLogGreen);
            return;
        }
    } catch (...) {
        return; // an agent-mode failure ends the handler without a line
    }
    TerminalMessageEnvironment env = defaultTerminalMessageEnvironment();
    env.sent = sent;
    env.refused = [](const QString &line) { logLine(LogStamp() + line, kLogRed); };
    sendTerminalMessages(m_ids->text(), m_address->text(), text, env);
}

} // namespace dozorix
