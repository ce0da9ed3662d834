#pragma once
// The logon sessions of this host.
//
// systemd-logind over D-Bus when it runs: org.freedesktop.login1 on the
// system bus (DBUS_SYSTEM_BUS_ADDRESS when set, else the standard socket).
// A session whose logind ID is a number keeps that number; "c<N>" (logind's
// IDs for sessions without a PAM logon, such as a display manager's greeter)
// becomes 1000000 + N; any other text a stable number of 2^30 and up derived
// from it. lock/terminate/kill are logind's
// LockSession, TerminateSession and KillSession("all", SIGKILL).
//
// The list itself comes from logind's state files, one per session, when
// their folder can be read (DOZORIX_LOGIND_SESSIONS when set; else
// /run/systemd/sessions, for the system's own bus only): one file read per
// session instead of a D-Bus round trip, with the idle time taken from the
// terminal's last read as `w` takes it. Without that folder, ListSessions
// and each session's properties over D-Bus.
//
// A session's name is its terminal, else its remote host, else its seat
// ("seat0") when no other session would be named after the same seat, else
// logind's ID ("c3"): never empty.
//
// Where logind does not run (no system bus, or nobody owns or can activate
// the name), the utmp records: USER_PROCESS entries whose process lives
// (one that has ended but is not yet collected by its parent still counts,
// as in `who`).
// There a session's ID is the record's process ID (the login shell or the
// remote-logon server's child), its name the record's line ("pts/3"), and it
// is active while that terminal device exists. lock hangs the session up
// (SIGHUP), terminate asks it to end (SIGTERM), kill ends it (SIGKILL): each
// goes to every process of the record's process session and of its
// terminal, never to this program itself.
//
// The utmp file is DOZORIX_UTMP when set, else the system's.

#include "common/Platform.h"

#include <QString>

namespace dozorix {

class LinuxSessionManager : public SessionManager
{
public:
    enum class Source { Automatic, Logind, Utmp };

    struct Options {
        Source source = Source::Automatic;
        QString systemBusAddress; // empty: DBUS_SYSTEM_BUS_ADDRESS, else the standard socket
        QString utmpPath;         // empty: DOZORIX_UTMP, else the system's utmp file
        QString logindStateDirectory; // empty: DOZORIX_LOGIND_SESSIONS, else see above
    };

    LinuxSessionManager();
    explicit LinuxSessionManager(Options options);

    std::vector<SessionInfo> sessions() override;
    int lock(int id) override;
    int terminate(int id) override;
    int kill(int id) override;

    // Which source answers now (Logind or Utmp).
    Source activeSource();

    // The number a logind session ID stands for (see above).
    static int numberForLogindId(const QString &logindId);

private:
    QString busAddress() const;
    QString utmpFile() const;
    QString logindStateDirectory() const; // empty: none, ask over D-Bus
    int logindAction(int id, const char *method, bool withKillArguments);
    int utmpSignal(int id, int signal);

    Options m_options;
};

} // namespace dozorix
