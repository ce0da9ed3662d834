#pragma once
// The splash window: borderless, 553 x 131, white, centred, shown modally for
// 3 seconds at start. Its creation takes the scheduled-backup parameter,
// marks the settings file and writes the first log line; when it becomes
// active it starts the main window's sampler and settings-reload timers.

#include <QDialog>
#include <QTimer>

class QLabel;

namespace dozorix {

class TForm1;
class BusyIndicator;

class TForm4 : public QDialog
{
    Q_OBJECT
public:
    TForm4(TForm1 *main, const QString &firstParameter, QWidget *parent = nullptr);

    // The parameter when it is one of "bak1" … "bak14", else empty.
    QString PARAMBACK;

    QLabel *nameLabel() const { return m_name; }
    QLabel *panelText() const { return m_panel; }
    BusyIndicator *animation() const { return m_busy; }
    QTimer *Timer1() { return &m_timer; }
    void CText(const QString &text, const QColor &colour);

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void done(int result) override;

private:
    void checkStartParameter(const QString &parameter);
    QString statusText() const;
    void onBecameActive();
    void onTimer();

    TForm1 *m_main;
    QLabel *m_name = nullptr;
    QLabel *m_panel = nullptr;
    BusyIndicator *m_busy = nullptr;
    QTimer m_timer;
    bool m_activated = false;
};

// A small looping animation: a ring of dots turning.
class BusyIndicator : public QWidget
{
    Q_OBJECT
public:
    explicit BusyIndicator(QWidget *parent = nullptr);
    void start();
    void stop();
    bool isRunning() const { return m_timer.isActive(); }
    int frame() const { return m_frame; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QTimer m_timer;
    int m_frame = 0;
};

} // namespace dozorix
