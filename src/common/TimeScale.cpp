#include "common/TimeScale.h"

#include <QtGlobal>

#include <atomic>
#include <cmath>

namespace dozorix {
namespace {

std::atomic<double> g_scale{0.0};

double readScale()
{
    bool ok = false;
    const double v = qEnvironmentVariable("DOZORIX_TIME_SCALE").toDouble(&ok);
    return (ok && std::isfinite(v) && v >= 1.0) ? v : 1.0;
}

} // namespace

double timeScale()
{
    double s = g_scale.load();
    if (s == 0.0) {
        s = readScale();
        g_scale.store(s);
    }
    return s;
}

void resetTimeScale()
{
    g_scale.store(0.0);
}

int scaledMs(qint64 designMs)
{
    if (designMs <= 0)
        return 0;
    const double v = std::round(static_cast<double>(designMs) / timeScale());
    if (v < 1.0)
        return 1;
    if (v > 2147483647.0)
        return 2147483647;
    return static_cast<int>(v);
}

void setScaledInterval(QTimer *timer, qint64 designMs)
{
    timer->setInterval(scaledMs(designMs));
}

void afterPause(QObject *context, qint64 designMs, std::function<void()> fn)
{
    QTimer::singleShot(scaledMs(designMs), context, std::move(fn));
}

StepChain::StepChain(QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &StepChain::runNext);
}

bool StepChain::start(std::vector<Step> steps)
{
    if (m_running)
        return false;
    m_steps = std::move(steps);
    m_next = 0;
    m_running = true;
    m_held = false;
    if (m_steps.empty()) {
        m_running = false;
        emit finished();
        return true;
    }
    m_timer.start(scaledMs(m_steps.front().delayBeforeMs));
    return true;
}

void StepChain::cancel()
{
    m_timer.stop();
    m_steps.clear();
    m_next = 0;
    m_held = false;
    if (m_running) {
        m_running = false;
        emit finished();
    }
}

void StepChain::runNext()
{
    if (!m_running || m_next >= m_steps.size())
        return;
    const size_t index = m_next++;
    // Keep a copy: a step may cancel the chain and clear the vector, or
    // destroy the chain with its owner.
    auto fn = m_steps[index].run;
    const QPointer<StepChain> self(this);
    if (fn)
        fn();
    if (!self || !m_running || m_held)
        return;
    scheduleNext();
}

void StepChain::hold()
{
    if (m_running)
        m_held = true;
}

void StepChain::resume()
{
    if (!m_running || !m_held)
        return;
    m_held = false;
    scheduleNext();
}

void StepChain::scheduleNext()
{
    if (m_next < m_steps.size()) {
        m_timer.start(scaledMs(m_steps[m_next].delayBeforeMs));
    } else {
        m_running = false;
        m_steps.clear();
        emit finished();
    }
}

} // namespace dozorix
