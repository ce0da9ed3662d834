#pragma once
// One console per user: the first instance holds a lock for its whole life;
// a second instance finds it taken and ends. The lock is an abstract-namespace
// Unix socket bound to a per-user name, so it dies with the process and never
// leaves a stale file behind that would block the next start.
//
// DOZORIX_INSTANCE_SCOPE, when set, is added to the name (tests run several
// consoles side by side, each in its own scope).

#include <QString>

namespace dozorix {

class SingleInstanceGuard
{
public:
    // name: the application title; the lock is named after it.
    explicit SingleInstanceGuard(const QString &title);
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard &) = delete;
    SingleInstanceGuard &operator=(const SingleInstanceGuard &) = delete;

    // True when another instance holds the lock. A failure of the guard itself
    // (no socket) counts as "no other instance".
    bool anotherInstanceRuns() const { return m_another; }
    QString lockName() const { return m_name; }

private:
    int m_fd = -1;
    bool m_another = false;
    QString m_name;
};

} // namespace dozorix
