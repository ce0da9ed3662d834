#pragma once
// The tab "Сервер терминалов": the three counters, the session list (what
// "query user" printed for the address in "IP сервера:"), the session-action
// row, the address row and the list's popup menu with the bulk commands.

#include "terminal/ScriptTemplates.h"

#include <QWidget>

#include <functional>

class QComboBox;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;

namespace dozorix {

class TerminalPanel : public QWidget
{
    Q_OBJECT
public:
    // What the panel needs from the main window; a missing hook leaves its
    // item disabled or its step out.
    struct Hooks {
        std::function<void(bool)> setNeedRefresh; // NeadRefreshTS
        std::function<void()> openMessageWindow;  // "Отправить сообщение"
    };

    explicit TerminalPanel(QWidget *parent = nullptr);

    void setHooks(Hooks hooks);

    // Refresh: query the server, show the output, count the states.
    void GetUserOnTerminal();
    // Fills the address field from the settings file (or with the host's own
    // address) and stores it back.
    void CheckIpTerminal();
    // The button "Выполнить".
    void executeAction();
    // The button "Подключить".
    void connectToServer();
    // One bulk command (the three menus call it); the refresh follows the
    // command's rule. Errors of the toolkit go to errorBox.
    BulkCommandOutcome runBulkCommand(BulkCommandId id);

    // Lines of the session list, the header line included (0 when empty).
    int sessionLineCount() const;
    QString addressText() const;

    QLineEdit *totalBox() const { return m_total; }
    QLineEdit *activeBox() const { return m_active; }
    QLineEdit *disconnectedBox() const { return m_disconnected; }
    QPlainTextEdit *sessionList() const { return m_list; }
    QLineEdit *idField() const { return m_ids; }
    QComboBox *actionList() const { return m_action; }
    QPushButton *executeButton() const { return m_execute; }
    QLineEdit *addressField() const { return m_address; }
    QPushButton *refreshButton() const { return m_refresh; }
    QPushButton *connectButton() const { return m_connect; }
    QMenu *popupMenu() const { return m_menu; }

    // The toolkit's error box (a missing template, a Script folder that
    // cannot be written); tests replace it.
    std::function<void(const QString &message)> errorBox;

signals:
    // A double click on the session list: the tab panel fills the window or returns.
    void panelToggleRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildPopup();

    Hooks m_hooks;
    QLineEdit *m_total = nullptr;
    QLineEdit *m_active = nullptr;
    QLineEdit *m_disconnected = nullptr;
    QPlainTextEdit *m_list = nullptr;
    QLineEdit *m_ids = nullptr;
    QComboBox *m_action = nullptr;
    QPushButton *m_execute = nullptr;
    QLineEdit *m_address = nullptr;
    QPushButton *m_refresh = nullptr;
    QPushButton *m_connect = nullptr;
    QMenu *m_menu = nullptr;
};

} // namespace dozorix
