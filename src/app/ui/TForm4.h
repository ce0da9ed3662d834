#pragma once
// The splash window: borderless, 553 x 131, white, centred, shown modally for
// 3 seconds at start, with the program's name and what the start does
// ("Запуск программы..." or, for a scheduled backup, "Готовлю "бэкап"
// ИБ..."). It knows no other window: it announces the moments of the start
// (it became active, it is closing) and start-up (Startup.h) connects them.

#include <QDialog>
#include <QTimer>

class QLabel;

namespace dozorix {

class BusyIndicator;

class TForm4 : public QDialog
{
    Q_OBJECT
public:
    explicit TForm4(QWidget *parent = nullptr);

    // The start parameter when it starts a scheduled backup that can run
    // ("bak1" … "bak14"), else empty; start-up sets it before the splash
    // shows.
    QString PARAMBACK;

    QLabel *nameLabel() const { return m_name; }
    QLabel *panelText() const { return m_panel; }
    BusyIndicator *animation() const { return m_busy; }
    QTimer *Timer1() { return &m_timer; }

signals:
    // The splash became active (once): the main window's sampling starts.
    void activated();
    // The splash is closing: the scheduled backup's timer takes its delay
    // after the splash.
    void closing();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void done(int result) override;

private:
    QString statusText() const;
    void onBecameActive();
    void onTimer();

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
