#pragma once
// A service manager held in memory, standing in for systemd (which does not
// run on test machines). Safe to use from LaunchShellHidden's worker threads.

#include "common/Platform.h"

#include <QMap>
#include <QString>

#include <mutex>
#include <utility>

namespace dozorix::test {

// Services held in memory; used from the worker threads of LaunchShellHidden.
class FakeServices : public ServiceManager
{
public:
    void add(const QString &name, State state) { std::lock_guard l(m_mutex); m_states[name] = state; }
    void failNextControl(int error) { std::lock_guard l(m_mutex); m_failure = error; }
    State state(const QString &name) { std::lock_guard l(m_mutex); return m_states.value(name); }

    int queryState(const QString &service, State *state) override
    {
        std::lock_guard l(m_mutex);
        if (!m_states.contains(service))
            return kServiceDoesNotExist;
        *state = m_states.value(service);
        return 0;
    }
    int start(const QString &service, const Events &events) override
    {
        return control(service, State::Running, events);
    }
    int stop(const QString &service, const Events &events) override
    {
        return control(service, State::Stopped, events);
    }

private:
    // Like Windows' one service: nothing to do is refused before anything
    // is said; then the request is under way and may fail.
    int control(const QString &service, State next, const Events &events)
    {
        {
            std::lock_guard l(m_mutex);
            if (!m_states.contains(service))
                return kServiceDoesNotExist;
            if (m_states.value(service) == next)
                return next == State::Running ? kServiceAlreadyRunning : kServiceNotActive;
        }
        if (events.acting)
            events.acting();
        std::lock_guard l(m_mutex);
        if (m_failure) {
            return std::exchange(m_failure, 0);
        }
        m_states[service] = next;
        return 0;
    }

    std::mutex m_mutex;
    QMap<QString, State> m_states;
    int m_failure = 0;
};

} // namespace dozorix::test
