#pragma once
// The backup runner window: the profile list, the start button (the cancel
// of a running copy), "Прервать выполнение", the two progress bars, the
// progress text and the animation of a run being prepared. It shows the
// runner's View and passes the presses to it; a scheduled run drives the
// same runner without showing the window.

#include <QDialog>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace dozorix {

class BackupRunner;

class TForm8 : public QDialog
{
    Q_OBJECT
public:
    struct Hooks {
        std::function<void()> minimiseMainToTray;
        std::function<void()> maximiseMain; // and hide the tray icon
    };

    TForm8(BackupRunner *runner, Hooks hooks, QWidget *parent = nullptr);

    // Shows the window modally (the menu's entry); the profiles are read again.
    void openModal();

    QComboBox *profileList() const { return m_profiles; }
    QPushButton *startButton() const { return m_start; }
    QPushButton *cancelButton() const { return m_cancel; }
    QProgressBar *mainBar() const { return m_mainBar; }
    QProgressBar *secondBar() const { return m_secondBar; }
    QLabel *progressText() const { return m_progress; }
    QProgressBar *animation() const { return m_animation; }

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void render();

    BackupRunner *m_runner;
    Hooks m_hooks;
    QComboBox *m_profiles = nullptr;
    QPushButton *m_start = nullptr;
    QPushButton *m_cancel = nullptr;
    QToolButton *m_toTray = nullptr;
    QToolButton *m_maximise = nullptr;
    QProgressBar *m_mainBar = nullptr;
    QProgressBar *m_secondBar = nullptr;
    QLabel *m_progress = nullptr;
    QProgressBar *m_animation = nullptr;
    bool m_rendering = false;
};

} // namespace dozorix
