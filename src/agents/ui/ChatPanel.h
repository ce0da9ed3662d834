#pragma once
// The tab "Чат": the transcript (group "Чат"), the list of participants
// (group "Сейчас в чате") and the input row (group "Сообщение"). The chat
// roster of the agent server does the work; this panel shows its lines
// (`CText2`) and hands it the administrator's clicks.

#include <QColor>
#include <QList>
#include <QPointer>
#include <QWidget>

class QLineEdit;
class QListView;
class QMenu;
class QPlainTextEdit;
class QPushButton;

namespace dozorix {

class AgentServer;
class ChatInput;
class ChatTranscript;

class ChatPanel : public QWidget
{
    Q_OBJECT
public:
    // The input's text until the administrator clicks into it.
    static QString initialInputText();
    // The transcript keeps the newest lines only, so a chatty agent cannot
    // grow it without end.
    static constexpr int kMaxTranscriptLines = 100000;

    explicit ChatPanel(AgentServer *server, QWidget *parent = nullptr);
    ~ChatPanel() override;

    // Appends one chat line in the colour at font size 10 and scrolls to it.
    void CText2(const QString &text, const QColor &colour);

    QPlainTextEdit *transcript() const;
    QListView *list() const { return m_list; }
    QLineEdit *input() const;
    QPushButton *sendButton() const { return m_send; }
    QPushButton *sendAllButton() const { return m_sendAll; }
    // The popup menus of the list and of the transcript (their items are
    // named in the constructor's tables).
    QMenu *listMenu() const { return m_listMenu; }
    QMenu *transcriptMenu() const { return m_transcriptMenu; }

    // Selected entries of the list, top to bottom.
    QList<int> selectedEntries() const;
    // True while the tab holding this panel is the selected one.
    bool chatTabSelected() const;

    void send();        // "Отправить", Enter in the input
    void sendToAll();   // "Отправить всем"
    void kick();        // "Выбросить из чата"
    void rejoin();      // "Обновить чат"
    void deselectAll(); // "Снять выделение"

signals:
    // A double click in the transcript: the tab panel fills the window or returns.
    void panelToggleRequested();

private:
    QPointer<AgentServer> m_server;
    ChatTranscript *m_transcript = nullptr;
    QListView *m_list = nullptr;
    ChatInput *m_input = nullptr;
    QPushButton *m_send = nullptr;
    QPushButton *m_sendAll = nullptr;
    QMenu *m_listMenu = nullptr;
    QMenu *m_transcriptMenu = nullptr;
};

} // namespace dozorix
