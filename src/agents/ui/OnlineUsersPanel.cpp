#include "OnlineUsersPanel.h"

#include "AgentServer.h"
#include "AgentWire.h"
#include "LogSink.h"
#include "OnlineUsersModel.h"
#include "ProgramDir.h"
#include "Stamps.h"

#include <QAction>
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
    addItem(QStringLiteral("Завершить процессы 1С Предприятия 8"), [this] { end1C8(); });
    addItem(QStringLiteral("Аварийное завершение работы  в 1С v7"), [this] { end1C7(); });
    m_messageAll = addItem(QStringLiteral("Отправить сообщение всем пользователям"), [this] {
        if (m_hooks.messageToAll)
            m_hooks.messageToAll();
    });
    m_messageSelected = addItem(QStringLiteral("Отправить сообщение отмеченным пользователям"), [this] {
        if (m_hooks.messageToSelected)
            m_hooks.messageToSelected();
    });
    m_menu->addSeparator();
    m_viewScreen = addItem(QStringLiteral("Смотреть экран пользователя"), [this] {
        if (m_hooks.viewScreen)
            m_hooks.viewScreen();
    });
    m_controlScreen = addItem(QStringLiteral("Смотреть экран пользователя (Управление)"), [this] {
        if (m_hooks.controlScreen)
            m_hooks.controlScreen();
    });
    m_menu->addSeparator();
    addItem(QStringLiteral("Перезагрузить ПК"), [this] { reboot(); });
    addItem(QStringLiteral("Выключить ПК"), [this] { powerOff(); });
    m_menu->addSeparator();
    addItem(QStringLiteral("Обновить подключения"), [this] { refreshConnections(); });
    setHooks({});
}

QAction *OnlineUsersPanel::addItem(const QString &caption, std::function<void()> handler)
{
    QAction *a = m_menu->addAction(caption);
    a->setObjectName(caption);
    connect(a, &QAction::triggered, this, [handler = std::move(handler)] {
        try {
            handler();
        } catch (...) {
            // A command ends silently; what was sent stays sent.
        }
    });
    return a;
}

void OnlineUsersPanel::setHooks(Hooks hooks)
{
    m_hooks = std::move(hooks);
    m_messageAll->setEnabled(bool(m_hooks.messageToAll));
    m_messageSelected->setEnabled(bool(m_hooks.messageToSelected));
    m_viewScreen->setEnabled(bool(m_hooks.viewScreen));
    m_controlScreen->setEnabled(bool(m_hooks.controlScreen));
}

QAction *OnlineUsersPanel::menuAction(const QString &caption) const
{
    for (QAction *a : m_menu->actions()) {
        if (!a->isSeparator() && a->text() == caption)
            return a;
    }
    return nullptr;
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
