#include "terminal/ui/TerminalPanel.h"

#include "common/LogSink.h"
#include "common/Stamps.h"
#include "common/ui/MenuTable.h"
#include "terminal/SessionActions.h"
#include "terminal/SessionList.h"

#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace dozorix {

namespace {

QLineEdit *counterBox(const char *name)
{
    auto *box = new QLineEdit(QStringLiteral("0"));
    box->setObjectName(QString::fromLatin1(name));
    box->setReadOnly(true);
    box->setMaximumWidth(70);
    return box;
}

} // namespace

TerminalPanel::TerminalPanel(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("TerminalPanel"));
    errorBox = [this](const QString &message) { QMessageBox::critical(this, QStringLiteral("Dozorix"), message); };

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);

    auto *counters = new QHBoxLayout;
    m_total = counterBox("totalSessions");
    m_active = counterBox("activeSessions");
    m_disconnected = counterBox("disconnectedSessions");
    const std::pair<const char *, QLineEdit *> boxes[] = {
        {"Всего сеансов:", m_total}, {"Активно:", m_active}, {"Отключено:", m_disconnected}};
    for (const auto &[caption, box] : boxes) {
        counters->addWidget(new QLabel(QString::fromUtf8(caption), this));
        counters->addWidget(box);
    }
    counters->addStretch();
    layout->addLayout(counters);

    m_list = new QPlainTextEdit(this);
    m_list->setObjectName(QStringLiteral("SessionList"));
    m_list->setReadOnly(true);
    m_list->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont mono(QStringLiteral("Monospace"));
    mono.setStyleHint(QFont::TypeWriter);
    m_list->setFont(mono); // the table's columns line up as the tool prints them
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    m_list->viewport()->installEventFilter(this);
    layout->addWidget(m_list, 1);

    auto *actionRow = new QHBoxLayout;
    auto *idLabel = new QLabel(QStringLiteral("ID сессии:"), this);
    idLabel->setToolTip(kSessionIdHint);
    m_ids = new QLineEdit(this);
    m_ids->setObjectName(QStringLiteral("SessionIds"));
    m_ids->setToolTip(kSessionIdHint);
    m_action = new QComboBox(this);
    m_action->setObjectName(QStringLiteral("SessionAction"));
    m_action->setEditable(true);
    // Typed text is never an action of the list.
    m_action->setInsertPolicy(QComboBox::NoInsert);
    m_action->addItems(sessionActionItems());
    m_action->setCurrentIndex(-1);
    m_action->setEditText(kChooseActionText);
    m_action->setMinimumContentsLength(32);
    m_action->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_execute = new QPushButton(QStringLiteral("Выполнить"), this);
    m_execute->setObjectName(QStringLiteral("ExecuteAction"));
    actionRow->addWidget(idLabel);
    actionRow->addWidget(m_ids, 1);
    actionRow->addWidget(m_action, 2);
    actionRow->addWidget(m_execute);
    layout->addLayout(actionRow);

    auto *addressRow = new QHBoxLayout;
    addressRow->addWidget(new QLabel(QStringLiteral("IP сервера:"), this));
    m_address = new QLineEdit(this);
    m_address->setObjectName(QStringLiteral("TerminalAddress"));
    m_refresh = new QPushButton(QStringLiteral("Обновить"), this);
    m_refresh->setObjectName(QStringLiteral("RefreshSessions"));
    m_connect = new QPushButton(QStringLiteral("Подключить"), this);
    m_connect->setObjectName(QStringLiteral("ConnectTerminal"));
    addressRow->addWidget(m_address, 1);
    addressRow->addWidget(m_refresh);
    addressRow->addWidget(m_connect);
    layout->addLayout(addressRow);

    connect(m_execute, &QPushButton::clicked, this, &TerminalPanel::executeAction);
    connect(m_refresh, &QPushButton::clicked, this, &TerminalPanel::GetUserOnTerminal);
    connect(m_connect, &QPushButton::clicked, this, &TerminalPanel::connectToServer);

    m_menu = new QMenu(this);
    buildPopup();
    connect(m_list, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { m_menu->popup(m_list->viewport()->mapToGlobal(pos)); });
}

void TerminalPanel::setHooks(Hooks hooks)
{
    m_hooks = std::move(hooks);
    buildPopup();
}

void TerminalPanel::buildPopup()
{
    const auto bulk = [this](BulkCommandId id) {
        const BulkCommand &c = bulkCommand(id);
        return menuItem(QString::fromLatin1(c.objectName), c.listCaption, [this, id] { runBulkCommand(id); });
    };
    using B = BulkCommandId;
    buildMenu(m_menu, {
        menuItem("refresh", "Обновить", [this] { GetUserOnTerminal(); }),
        menuSeparator(),
        bulk(B::BlockLogons),
        bulk(B::UnblockLogons),
        menuSeparator(),
        menuItem("sendMessage", "Отправить сообщение", m_hooks.openMessageWindow),
        menuSeparator(),
        bulk(B::LogoffDisconnectedSessions),
        bulk(B::ResetDisconnectedSessions),
        menuSeparator(),
        bulk(B::DisconnectSessions),
        bulk(B::LogoffSessions),
        bulk(B::ResetSessions),
    });
}

void TerminalPanel::CheckIpTerminal()
{
    const QString address = dozorix::CheckIpTerminal(m_address->text());
    if (address != m_address->text())
        m_address->setText(address);
}

void TerminalPanel::GetUserOnTerminal()
{
    CheckIpTerminal();
    m_list->clear();
    QString text = querySessionList(m_address->text());
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    m_list->setPlainText(text);
    for (QLineEdit *box : {m_total, m_active, m_disconnected})
        box->setText(QStringLiteral("0"));
    const SessionCounts counts = countSessionStates(m_list->toPlainText());
    if (counts.active > 0)
        m_active->setText(QString::number(counts.active));
    if (counts.disconnected > 0)
        m_disconnected->setText(QString::number(counts.disconnected));
    m_total->setText(QString::number(counts.total()));
}

void TerminalPanel::executeAction()
{
    SessionActionEnvironment env = defaultSessionActionEnvironment();
    env.refreshList = [this] { GetUserOnTerminal(); };
    env.setNeedRefresh = m_hooks.setNeedRefresh;
    runSessionAction(m_ids->text(), m_address->text(), m_action->currentText(), env);
}

void TerminalPanel::connectToServer()
{
    storeTerminalAddress(m_address->text());
    GetUserOnTerminal();
}

BulkCommandOutcome TerminalPanel::runBulkCommand(BulkCommandId id)
{
    BulkCommandEnvironment env;
    env.log = [](const QString &text, unsigned int rgb) { logLine(text, rgb); };
    env.refreshList = [this] { GetUserOnTerminal(); };
    env.errorBox = errorBox;
    return runBulkCommandLogged(id, m_address->text(), env);
}

int TerminalPanel::sessionLineCount() const
{
    return m_list->document()->isEmpty() ? 0 : m_list->blockCount();
}

QString TerminalPanel::addressText() const
{
    return m_address->text();
}

bool TerminalPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list->viewport() && event->type() == QEvent::MouseButtonDblClick)
        emit panelToggleRequested();
    return QWidget::eventFilter(watched, event);
}

} // namespace dozorix
