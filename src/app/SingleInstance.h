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
//
// The holder answers every connection with one byte, its role: an
// unattended backup run ('B') or a console ('C'). A scheduled run that finds
// another scheduled run holding the lock waits for it (two timers that fire
// together both back up); one that finds a console is refused.

#include <QString>

#include <memory>

class QSocketNotifier;

namespace dozorix {

class SingleInstanceGuard
{
public:
    enum class Role : char { Console = 'C', ScheduledRun = 'B', Unknown = '?' };

    struct Holder {
        long long uid = -1; // -1: nobody answered
        long long pid = -1;
        Role role = Role::Unknown;
    };

    // name: the application title; the lock is named after it.
    explicit SingleInstanceGuard(const QString &title, Role role = Role::Console);
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
    // Who holds the name: its owner, its process and its role (Unknown when
    // it does not say within a second).
    static Holder holderInfo(const QString &abstractName);
    // Who holds this guard's name now.
    Holder holder() const { return holderInfo(m_name); }

private:
    void takeRuntimeLock();

    int m_fd = -1;
    int m_lockFd = -1;
    bool m_another = false;
    Role m_role = Role::Console;
    QString m_name;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace dozorix
