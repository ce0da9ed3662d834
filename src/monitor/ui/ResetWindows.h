#pragma once
// The two process-reset windows: by the Windows login of the user (TForm6)
// and on a remote computer (TForm5). Both are created at start and shown
// modally from the menus; their button "Сбросить" starts the action, and two
// icon buttons send the main window to the tray or bring it back.

#include <QDialog>

#include <functional>

class QLineEdit;
class QPushButton;
class QToolButton;

namespace dozorix {

class ProcessActions;

class ResetWindowBase : public QDialog
{
    Q_OBJECT
public:
    // What the reset windows do to the main window (its two icon buttons); a
    // missing hook leaves its button without effect.
    struct Hooks {
        std::function<void()> minimiseToTray;
        std::function<void()> restoreMaximised;
    };

    QPushButton *resetButton() const { return m_reset; }
    QToolButton *trayButton() const { return m_toTray; }
    QToolButton *restoreButton() const { return m_restore; }

protected:
    ResetWindowBase(ProcessActions *actions, Hooks hooks, QWidget *parent);
    // Adds the button row under the window's own fields.
    void finishLayout(QLayout *fields);
    bool event(QEvent *e) override;

    ProcessActions *m_actions;

private:
    Hooks m_hooks;
    QPushButton *m_reset = nullptr;
    QToolButton *m_toTray = nullptr;
    QToolButton *m_restore = nullptr;
};

// Reset by login.
class TForm6 : public ResetWindowBase
{
    Q_OBJECT
public:
    TForm6(ProcessActions *actions, Hooks hooks, QWidget *parent = nullptr);
    QLineEdit *loginBox() const { return m_login; }

private:
    QLineEdit *m_login;
};

// Reset of a remote user's 1C processes.
class TForm5 : public ResetWindowBase
{
    Q_OBJECT
public:
    TForm5(ProcessActions *actions, Hooks hooks, QWidget *parent = nullptr);
    QLineEdit *hostBox() const { return m_host; }
    QLineEdit *domainBox() const { return m_domain; }
    QLineEdit *loginBox() const { return m_login; }
    QLineEdit *passwordBox() const { return m_password; }

private:
    QLineEdit *m_host;
    QLineEdit *m_domain;
    QLineEdit *m_login;
    QLineEdit *m_password;
};

} // namespace dozorix
