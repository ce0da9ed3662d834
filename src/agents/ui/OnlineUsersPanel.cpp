#include "agents/ui/OnlineUsersPanel.h"

#include "agents/AgentServer.h"
#include "agents/AgentWire.h"
#include "agents/OnlineUsersModel.h"
#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "common/Stamps.h"
#include "common/ui/MenuTable.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLibrary>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace dozorix {

namespace {

QLineEdit *counterBox()
{
    auto *box = new QLineEdit(QStringLiteral("0"));
    box->setReadOnly(true);
    box->setMaximumWidth(70);
    return box;
}

const QString kSent = QStringLiteral("Команда успешно отправлена клиенту!");

// A command ends silently on a failure; what was sent stays sent. An empty
// handler stays empty, so that its item is shown disabled.
MenuHandler silent(std::function<void()> handler)
{
    if (!handler)
        return {};
    return [handler = std::move(handler)] {
        try {
            handler();
        } catch (...) {
            // Silent on purpose (see above): the menu command has no line for a failure.
        }
    };
}

} // namespace

OnlineUsersPanel::OnlineUsersPanel(AgentServer *server, QWidget *parent)
    : QWidget(parent)
    , m_server(server)
{
    setObjectName(QStringLiteral("OnlineUsersPanel"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);

    auto *counters = new QHBoxLayout;
    m_total = counterBox();
    m_thin = counterBox();
    m_thick = counterBox();
    m_v7 = counterBox();
    const std::pair<const char *, QLineEdit *> boxes[] = {
        {"Всего процессов 1С:", m_total}, {"Тонкий кл:", m_thin}, {"Толстый кл:", m_thick}, {"1С v7:", m_v7}};
    for (const auto &[caption, box] : boxes) {
        counters->addWidget(new QLabel(QString::fromUtf8(caption), this));
        counters->addWidget(box);
    }
    counters->addStretch();
    layout->addLayout(counters);

    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("OnlineUsersTable"));
    m_table->setModel(server->onlineUsers());
    m_table->horizontalHeader()->setMinimumSectionSize(10);
    for (int c = 0; c < OnlineUsersModel::ColumnCount; ++c)
        m_table->setColumnWidth(c, OnlineUsersModel::columnWidth(c));
    m_table->setShowGrid(true);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(18);
    m_table->horizontalHeader()->setSectionsClickable(true);
    m_table->horizontalHeader()->setHighlightSections(false);
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    m_table->viewport()->installEventFilter(this);
    connect(m_table, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { requestPopup(m_table->viewport()->mapToGlobal(pos)); });
    connect(m_table->horizontalHeader(), &QHeaderView::sectionClicked, this, &OnlineUsersPanel::headerClicked);
    layout->addWidget(m_table, 1);

    m_menu = new QMenu(this);
    buildPopup();
}

void OnlineUsersPanel::buildPopup()
{
    buildMenu(m_menu, {
        menuItem("end1C8", "Завершить процессы 1С Предприятия 8", silent([this] { end1C8(); })),
        menuItem("end1C7", "Аварийное завершение работы  в 1С v7", silent([this] { end1C7(); })),
        menuItem("messageToAll", "Отправить сообщение всем пользователям", silent(m_hooks.messageToAll)),
        menuItem("messageToSelected", "Отправить сообщение отмеченным пользователям", silent(m_hooks.messageToSelected)),
        menuSeparator(),
        menuItem("viewScreen", "Смотреть экран пользователя", silent(m_hooks.viewScreen)),
        menuItem("controlScreen", "Смотреть экран пользователя (Управление)", silent(m_hooks.controlScreen)),
        menuSeparator(),
        menuItem("rebootPc", "Перезагрузить ПК", silent([this] { reboot(); })),
        menuItem("powerOffPc", "Выключить ПК", silent([this] { powerOff(); })),
        menuSeparator(),
        menuItem("refreshConnections", "Обновить подключения", silent([this] { refreshConnections(); })),
    });
}

void OnlineUsersPanel::setHooks(Hooks hooks)
{
    m_hooks = std::move(hooks);
    buildPopup();
}

QList<int> OnlineUsersPanel::selectedRows() const
{
    QList<int> rows;
    for (const QModelIndex &index : m_table->selectionModel()->selectedRows())
        rows << index.row();
    std::sort(rows.begin(), rows.end());
    return rows;
}

void OnlineUsersPanel::updateCounters()
{
    const OnlineUsersModel::Sums s = m_server->onlineUsers()->sums();
    m_thick->setText(QString::number(s.thick));
    m_thin->setText(QString::number(s.thin));
    m_v7->setText(QString::number(s.v7));
    m_total->setText(QString::number(s.total()));
}

void OnlineUsersPanel::logSent()
{
    logLine(LogStamp() + kSent, kLogGreen);
}

void OnlineUsersPanel::end1C8()
{
    m_server->sendToRows(selectedRows(), AgentCommand::End1C8);
    logSent();
}

void OnlineUsersPanel::end1C7()
{
    m_server->sendToRows(selectedRows(), AgentCommand::End1C7);
    logSent();
}

void OnlineUsersPanel::reboot()
{
    const auto sent = m_server->sendToRows(selectedRows(), AgentCommand::Reboot);
    for (std::size_t i = 0; i < sent.size(); ++i)
        logSent();
}

void OnlineUsersPanel::powerOff()
{
    const auto sent = m_server->sendToRows(selectedRows(), AgentCommand::PowerOff);
    for (std::size_t i = 0; i < sent.size(); ++i)
        logSent();
}

void OnlineUsersPanel::refreshConnections()
{
    m_server->refreshConnections();
}

bool OnlineUsersPanel::requestPopup(const QPoint &globalPos)
{
    if (m_table->selectionModel()->selectedRows().isEmpty())
        return false;
    m_menu->popup(globalPos);
    return true;
}

void OnlineUsersPanel::headerClicked(int)
{
    // The sorting library of the Windows console; its entry is looked up and
    // the library released at once, the order of the rows does not change.
    QLibrary library(programFile(QStringLiteral("mfunc.dll")));
    bool loaded = library.load();
    if (!loaded) {
        library.setFileName(QStringLiteral("mfunc.dll"));
        loaded = library.load();
    }
    if (!loaded) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Dozorix"), QStringLiteral("Не найдена Dll: \"mfunc.dll\""),
                        QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("mfuncMissing"));
        box.exec();
        return;
    }
    library.resolve("CustomSortProc");
    library.unload();
}

bool OnlineUsersPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_table->viewport() && event->type() == QEvent::MouseButtonDblClick)
        emit panelToggleRequested();
    return QWidget::eventFilter(watched, event);
}

} // namespace dozorix
