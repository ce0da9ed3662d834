#pragma once
// The tab "Пользователи онлайн": the four process counters above the
// online-users table, the table itself and its popup menu. Commands go to
// the agent server; this panel only turns their results into log lines.

#include <QList>
#include <QPointer>
#include <QWidget>

#include <functional>

class QLineEdit;
class QMenu;
class QTableView;

namespace dozorix {

class AgentServer;

class OnlineUsersPanel : public QWidget
{
    Q_OBJECT
public:
    // Items whose windows live elsewhere; an item without its hook is shown
    // disabled.
    struct Hooks {
        std::function<void()> messageToAll;      // "Отправить сообщение всем пользователям"
        std::function<void()> messageToSelected; // "Отправить сообщение отмеченным пользователям"
        std::function<void()> viewScreen;        // "Смотреть экран пользователя"
        std::function<void()> controlScreen;     // "Смотреть экран пользователя (Управление)"
    };

    explicit OnlineUsersPanel(AgentServer *server, QWidget *parent = nullptr);

    void setHooks(Hooks hooks);

    QTableView *table() const { return m_table; }
    QLineEdit *totalBox() const { return m_total; }
    QLineEdit *thinBox() const { return m_thin; }
    QLineEdit *thickBox() const { return m_thick; }
    QLineEdit *v7Box() const { return m_v7; }
    // The popup menu of the table (its items are named in buildPopup).
    QMenu *popupMenu() const { return m_menu; }

    // Selected rows of the table, top to bottom.
    QList<int> selectedRows() const;

    // Steps 1 and 2 of the 3-second tick: the sums into the four boxes.
    void updateCounters();

    // The popup menu's commands.
    void end1C8();
    void end1C7();
    void reboot();
    void powerOff();
    void refreshConnections();

    // The popup opens only when at least one row is selected; true when shown.
    bool requestPopup(const QPoint &globalPos);
    // A click on a column header: looks for the optional sorting library.
    void headerClicked(int section);

signals:
    // A double click on the table: the tab panel fills the window or returns.
    void panelToggleRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Builds the popup menu from its table (again whenever the hooks change).
    void buildPopup();
    void logSent();

    QPointer<AgentServer> m_server;
    Hooks m_hooks;
    QTableView *m_table = nullptr;
    QLineEdit *m_total = nullptr;
    QLineEdit *m_thin = nullptr;
    QLineEdit *m_thick = nullptr;
    QLineEdit *m_v7 = nullptr;
    QMenu *m_menu = nullptr;
};

} // namespace dozorix
