#pragma once
// The message window: sends a text to terminal-server sessions through msg,
// or through the agent link to the selected or to all agents of the
// online-users table, which show it as an alert.
//
// The mode is chosen by whoever opens the window, through the main window's
// flags ClienServerCh (selected agents) and ClienServerChAll (all agents);
// with neither set the text goes to terminal sessions.

#include <QDialog>
#include <QList>

#include <functional>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QToolButton;

namespace dozorix {

class AgentServer;

class TForm7 : public QDialog
{
    Q_OBJECT
public:
    // What the window needs from the main window.
    struct Hooks {
        std::function<bool()> selectedAgentsMode; // ClienServerCh
        std::function<bool()> allAgentsMode;      // ClienServerChAll
        std::function<void()> clearModes;         // both flags cleared on close
        std::function<QString()> terminalAddress; // the main window's "IP сервера:"
        std::function<QList<int>()> selectedRows; // of the online-users table
        std::function<void(const QString &title, const QString &text)> balloon;
        std::function<void()> minimiseMainToTray;
        std::function<void()> maximiseMain;       // and hide the tray icon
    };

    TForm7(AgentServer *agents, Hooks hooks, QWidget *parent = nullptr);

    // Shows the window modally; when it is already open, the main window is
    // maximised and the tray icon hidden instead. Returns when it closes.
    void openModal();

    // "Отправить сообщение".
    void sendMessage();

    QLineEdit *idField() const { return m_ids; }
    QLineEdit *addressField() const { return m_address; }
    QLabel *idLabel() const { return m_idLabel; }
    QLabel *addressLabel() const { return m_addressLabel; }
    QPlainTextEdit *textBox() const { return m_text; }
    QPushButton *sendButton() const { return m_send; }
    QToolButton *trayButton() const { return m_toTray; }
    QToolButton *maximiseButton() const { return m_maximise; }

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void done(int result) override;

private:
    void showTargetFields(bool show);

    AgentServer *m_agents;
    Hooks m_hooks;
    QLabel *m_idLabel = nullptr;
    QLineEdit *m_ids = nullptr;
    QLabel *m_addressLabel = nullptr;
    QLineEdit *m_address = nullptr;
    QPlainTextEdit *m_text = nullptr;
    QPushButton *m_send = nullptr;
    QToolButton *m_toTray = nullptr;
    QToolButton *m_maximise = nullptr;
};

} // namespace dozorix
