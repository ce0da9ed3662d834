#pragma once
// Every timer interval and pause goes through here. DOZORIX_TIME_SCALE is a
// divisor (1 when unset): with 60, a 15-minute alert timer runs 15 s.

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <vector>

namespace dozorix {

// The divisor from DOZORIX_TIME_SCALE; values below 1 or unreadable count as 1.
double timeScale();

// Re-reads DOZORIX_TIME_SCALE (tests change it between cases).
void resetTimeScale();

// A designed interval in milliseconds, divided by the time scale; at least 1 ms
// for a positive design value.
int scaledMs(qint64 designMs);

// Sets a timer's interval from its designed value.
void setScaledInterval(QTimer *timer, qint64 designMs);

// Calls fn after the designed pause without blocking the event loop. The
// call is dropped when context is destroyed before the pause ends.
void afterPause(QObject *context, qint64 designMs, std::function<void()> fn);

// A multi-step action whose steps are separated by pauses that never freeze
// the window. Steps run in order on the thread of the chain's owner; while the
// chain runs, start() refuses a second run. A chain destroyed (with its
// owner, also from inside one of its steps) drops the steps left.
//
//   chain.start({ {0, [&]{ launch(); }}, {10000, [&]{ readBack(); }} });
class StepChain : public QObject
{
    Q_OBJECT
public:
    struct Step {
        qint64 delayBeforeMs; // designed pause before this step
        std::function<void()> run;
    };

    explicit StepChain(QObject *parent = nullptr);

    // Starts the steps; false when a run is still going.
    bool start(std::vector<Step> steps);
    bool isRunning() const { return m_running; }
    // Stops the chain after the current step; the remaining steps are dropped.
    void cancel();
    // Called by a step that waits for something with no fixed time (a
    // command's end): the next step's pause begins only at resume().
    void hold();
    void resume();

signals:
    void finished();

private:
    void runNext();
    void scheduleNext();

    std::vector<Step> m_steps;
    size_t m_next = 0;
    bool m_running = false;
    bool m_held = false;
    QTimer m_timer;
};

} // namespace dozorix
