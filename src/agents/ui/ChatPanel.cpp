#include "agents/ui/ChatPanel.h"

#include "agents/AgentServer.h"
#include "agents/ChatRoster.h"
#include "common/LogSink.h"
#include "common/Stamps.h"
#include "common/ui/MenuTable.h"

#include <QContextMenuEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>

namespace dozorix {

// The transcript: read-only, a click puts the hidden caret at the end, a
// double click toggles the tab panel, a right click opens its popup menu.
class ChatTranscript : public QPlainTextEdit
{
public:
    explicit ChatTranscript(QWidget *parent)
        : QPlainTextEdit(parent)
    {
        setReadOnly(true);
        setUndoRedoEnabled(false);
        setMaximumBlockCount(ChatPanel::kMaxTranscriptLines);
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        QFont f = font();
        f.setPointSize(10);
        setFont(f);
    }

    void append(const QString &text, const QColor &colour)
    {
        QTextCharFormat format;
        format.setFontPointSize(10);
        format.setForeground(colour);
        QTextCursor cursor(document());
        cursor.movePosition(QTextCursor::End);
        cursor.beginEditBlock();
        if (!m_empty)
            cursor.insertBlock();
        cursor.insertText(text, format);
        cursor.endEditBlock();
        m_empty = false;
    }

    void scrollToEnd()
    {
        QScrollBar *bar = verticalScrollBar();
        bar->setValue(bar->maximum());
    }

    void clearLines()
    {
        clear();
        m_empty = true;
    }

    std::function<void()> onDoubleClick;
    QMenu *popup = nullptr;

protected:
    void mousePressEvent(QMouseEvent *event) override
    {
        QPlainTextEdit::mousePressEvent(event);
        caretToEnd();
    }
    void mouseReleaseEvent(QMouseEvent *event) override
    {
        QPlainTextEdit::mouseReleaseEvent(event);
        caretToEnd();
    }
    void mouseDoubleClickEvent(QMouseEvent *event) override
    {
        QPlainTextEdit::mouseDoubleClickEvent(event);
        caretToEnd();
        if (onDoubleClick)
            onDoubleClick();
    }
    void contextMenuEvent(QContextMenuEvent *event) override
    {
        if (popup)
            popup->exec(event->globalPos());
    }

private:
    void caretToEnd()
    {
        QTextCursor cursor = textCursor();
        cursor.movePosition(QTextCursor::End);
        setTextCursor(cursor);
        ensureCursorVisible();
        setCursorWidth(0);
    }

    bool m_empty = true;
};

// The input: a click empties it while it still holds the initial text.
class ChatInput : public QLineEdit
{
public:
    using QLineEdit::QLineEdit;

protected:
    void mousePressEvent(QMouseEvent *event) override
    {
        if (text() == ChatPanel::initialInputText())
            clear();
        QLineEdit::mousePressEvent(event);
    }
};

QString ChatPanel::initialInputText()
{
    return QStringLiteral("Выберите в списке (справа) пользователей,  для отправки ЛС, или клик «Отправить всем».");
}

ChatPanel::ChatPanel(AgentServer *server, QWidget *parent)
    : QWidget(parent)
    , m_server(server)
{
    setObjectName(QStringLiteral("ChatPanel"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);

    auto *top = new QHBoxLayout;
    auto *chatGroup = new QGroupBox(QStringLiteral("Чат"), this);
    auto *chatLayout = new QVBoxLayout(chatGroup);
    m_transcript = new ChatTranscript(chatGroup);
    m_transcript->setObjectName(QStringLiteral("ChatTranscript"));
    m_transcript->onDoubleClick = [this] { emit panelToggleRequested(); };
    m_transcriptMenu = new QMenu(this);
    buildMenu(m_transcriptMenu, {
        menuItem("clearTranscript", "Очистить", [this] { m_transcript->clearLines(); }),
    });
    m_transcript->popup = m_transcriptMenu;
    chatLayout->addWidget(m_transcript);
    top->addWidget(chatGroup, 1);

    auto *listGroup = new QGroupBox(QStringLiteral("Сейчас в чате"), this);
    auto *listLayout = new QVBoxLayout(listGroup);
    m_list = new QListView(listGroup);
    m_list->setObjectName(QStringLiteral("ChatList"));
    m_list->setModel(server->chat());
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    listLayout->addWidget(m_list);
    listGroup->setMinimumWidth(180);
    listGroup->setMaximumWidth(260);
    top->addWidget(listGroup);
    layout->addLayout(top, 1);

    auto *inputGroup = new QGroupBox(QStringLiteral("Сообщение"), this);
    auto *inputLayout = new QHBoxLayout(inputGroup);
    m_sendAll = new QPushButton(QStringLiteral("Отправить всем"), inputGroup);
    m_send = new QPushButton(QStringLiteral("Отправить"), inputGroup);
    m_input = new ChatInput(initialInputText(), inputGroup);
    m_input->setObjectName(QStringLiteral("ChatInput"));
    inputLayout->addWidget(m_sendAll);
    inputLayout->addWidget(m_send);
    inputLayout->addWidget(m_input, 1);
    layout->addWidget(inputGroup);

    m_listMenu = new QMenu(this);
    buildMenu(m_listMenu, {
        menuItem("deselectAll", "Снять выделение", [this] { deselectAll(); }),
        menuItem("kickFromChat", "Выбросить из чата", [this] { kick(); }),
        menuItem("rejoinChat", "Обновить чат", [this] { rejoin(); }),
    });
    connect(m_list, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { m_listMenu->popup(m_list->viewport()->mapToGlobal(pos)); });
    connect(m_send, &QPushButton::clicked, this, &ChatPanel::send);
    connect(m_sendAll, &QPushButton::clicked, this, &ChatPanel::sendToAll);
    connect(m_input, &QLineEdit::returnPressed, this, &ChatPanel::send);

    ChatRoster::Hooks hooks;
    hooks.CText2 = [this](const QString &text, unsigned int colour) { CText2(text, QColor::fromRgb(colour)); };
    hooks.clearTranscript = [this] { m_transcript->clearLines(); };
    hooks.chatTabSelected = [this] { return chatTabSelected(); };
    server->chat()->setHooks(std::move(hooks));
}

ChatPanel::~ChatPanel()
{
    if (m_server)
        m_server->chat()->setHooks({});
}

QPlainTextEdit *ChatPanel::transcript() const
{
    return m_transcript;
}

QLineEdit *ChatPanel::input() const
{
    return m_input;
}

void ChatPanel::CText2(const QString &text, const QColor &colour)
{
    m_transcript->append(text, colour);
    if (chatTabSelected() && window()->isVisible()) {
        m_transcript->setFocus();
        m_transcript->scrollToEnd();
        m_input->setFocus();
    } else {
        m_transcript->scrollToEnd();
    }
}

QList<int> ChatPanel::selectedEntries() const
{
    QList<int> rows;
    for (const QModelIndex &index : m_list->selectionModel()->selectedIndexes())
        rows << index.row();
    std::sort(rows.begin(), rows.end());
    return rows;
}

bool ChatPanel::chatTabSelected() const
{
    for (QWidget *w = parentWidget(); w; w = w->parentWidget()) {
        if (auto *tabs = qobject_cast<QTabWidget *>(w)) {
            QWidget *current = tabs->currentWidget();
            return current && (current == this || current->isAncestorOf(this));
        }
    }
    return false;
}

// The chat's buttons write to the agents' sockets (Qt reports socket errors
// by state, never by exception) and to the transcript and the event log
// through the roster's hooks; what can still throw is an allocation failure
// or a hook. One button's failure must not end the console: it is reported
// in the event log and the console goes on.
void ChatPanel::send()
{
    try {
        m_server->chat()->send(selectedEntries(), m_input->text());
    } catch (...) {
        logLine(LogStamp() + QStringLiteral("Ошибка чата: сообщение не отправлено"), kLogRed);
    }
    m_input->clear();
}

void ChatPanel::sendToAll()
{
    try {
        if (m_server->chat()->sendToAll(m_input->text()))
            m_input->clear();
    } catch (...) {
        logLine(LogStamp() + QStringLiteral("Ошибка чата: сообщение всем не отправлено"), kLogRed);
    }
}

void ChatPanel::kick()
{
    try {
        m_server->chat()->kick(selectedEntries());
    } catch (...) {
        logLine(LogStamp() + QStringLiteral("Ошибка чата: команда на выход из чата не отправлена"), kLogRed);
    }
}

void ChatPanel::rejoin()
{
    try {
        m_server->chat()->rejoinAll();
    } catch (...) {
        logLine(LogStamp() + QStringLiteral("Ошибка чата: команда на обновление чата не отправлена"), kLogRed);
    }
}

void ChatPanel::deselectAll()
{
    m_list->clearSelection();
}

} // namespace dozorix
