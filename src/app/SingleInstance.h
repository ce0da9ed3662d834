#pragma once
// One console per user: the first instance holds a lock for its whole life;
// a second instance finds it taken and ends. The lock is an abstract-namespace
// Unix socket bound to a per-user name, listening, so it dies with the process
// and never leaves a stale file behind that would block the next start.
//
// Any local user may bind any abstract name, so a name found taken counts
// only when its holder is this user: the guard connects to it and asks the
// kernel for the listener's credentials (SO_PEERCRED). A name taken by
// someone else is ignored. Where the user has a runtime directory of its own
// ($XDG_RUNTIME_DIR, else /run/user/<uid>: owned by the user, closed to
// others), the guard also holds a lock on a file there, which no other user
// can take; two consoles of the user then exclude each other even while a
// stranger squats on the name.
//
// DOZORIX_INSTANCE_SCOPE, when set, is added to the name (tests run several
// consoles side by side, each in its own scope).

#include <QString>

#include <memory>

class QSocketNotifier;

namespace dozorix {

class SingleInstanceGuard
{
public:
    // name: the application title; the lock is named after it.
    explicit SingleInstanceGuard(const QString &title);
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard &) = delete;
    SingleInstanceGuard &operator=(const SingleInstanceGuard &) = delete;

    // True when another instance of this user holds the lock. A failure of
    // the guard itself (no socket) counts as "no other instance".
    bool anotherInstanceRuns() const { return m_another; }
    QString lockName() const { return m_name; }

    // The owner of the listening socket bound to the abstract name, or -1
    // when there is none or it does not answer in time.
    static long long holderOf(const QString &abstractName);

private:
    void takeRuntimeLock();

    int m_fd = -1;
    int m_lockFd = -1;
    bool m_another = false;
    QString m_name;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace dozorix
