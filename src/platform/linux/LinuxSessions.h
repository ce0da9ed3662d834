#pragma once
// The logon sessions of this host.
//
// systemd-logind over D-Bus when it runs: org.freedesktop.login1 on the
// system bus (DBUS_SYSTEM_BUS_ADDRESS when set, else the standard socket).
// A session whose logind ID is a number keeps that number; "c<N>" (logind's
// IDs for sessions without a PAM logon, such as a display manager's greeter)
// becomes 1000000 + N; any other text a stable number of 2^30 and up derived
// from it. terminate/kill are logind's TerminateSession and
// KillSession("all", SIGKILL).
//
// The list itself comes from logind's state files, one per session, when
// their folder can be read (DOZORIX_LOGIND_SESSIONS when set; else
// /run/systemd/sessions, for the system's own bus only): one file read per
// session instead of a D-Bus round trip, with the idle time taken from the
// terminal's last read as `w` takes it; the files hold no idle hint, so
// that of each seatless session is asked over D-Bus (one ListSessions, the
// Gets sent together). Without that folder, ListSessions and each
// session's properties over D-Bus.
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
// remote-logon server's child), its name the record's line ("pts/3").
// terminate asks it to end (SIGTERM), kill ends it (SIGKILL): each goes to
// every process of the record's process session and of its terminal, never
// to this program itself.
//
// The utmp file is DOZORIX_UTMP when set, else the system's.
//
// What serves a session (SessionInfo::server), decided in this order:
// - X2Go: an X2Go agent runs in the session. The agents are the processes
//   named "x2goagent"; X2Go's own list (x2golistsessions_root when we are
//   root, else x2golistsessions, the user's own sessions; fields split by
//   "|": agent PID, session ID, display, host, state R/S/F, ..., user)
//   names each agent's X2Go session ID and state. An agent belongs to a
//   session when its control group is the session's logind scope
//   ("session-5.scope"; X2Go's agent leaves the ssh logon that started it
//   and stays in that scope, which logind keeps listed, "closing", while
//   the agent lives), or when it is in the process session of the
//   session's leader or below the leader; of several, the closest (scope,
//   then below the leader, then the process session), and among equals
//   one X2Go lists. X2Go logs on through sshd, so
//   without logind (utmp only) its desktops have no record and no row.
// - xrdp: logind's Service is "xrdp-sesman" (the PAM service of xrdp's
//   session manager), or the session's display (logind's Display, a utmp
//   line ":10") belongs to a process that is xrdp-sesman or runs under it.
// - ssh: logind's Service is "sshd"; in utmp a pseudo-terminal with a
//   remote host.
// - a local console: a session of a seat, or a "tty…" terminal, or (utmp)
//   a display line not under xrdp-sesman.
// - anything else is Unknown.
//
// The state (SessionInfo::active):
// - X2Go: X2Go's list, R running is active, S suspended is not.
// - xrdp: Debian 12's xrdp-sesadmin (0.9.21) prints no state at all (only
//   the ID, type, screen size, idle and connect time of the sessions of the
//   user it logs on as, with that user's password), so the state is read
//   where xrdp keeps it: a display served by xorgxrdp listens on
//   <sockdir>/xrdp_display_<N> (/run/xrdp/sockdir, DOZORIX_XRDP_SOCKETS in
//   tests), and xrdp holds a connection to it exactly while an RDP client
//   is attached (seen in /proc/net/unix). A display without that socket
//   (Xvnc) is read like any other session.
// - any other logind session: with a seat, logind's Active; without one
//   (logind reports every seatless session active), "closing" is
//   disconnected and otherwise logind's IdleHint decides (idle:
//   disconnected).
// - any other utmp record: active while its terminal device exists.
//
// disconnect never ends a program of the session, and never locks its
// screen instead:
// - X2Go: x2gosuspend-session <X2Go session ID>, run as the session's
//   user (its state files are under that user's home and /tmp/.x2go-<user>;
//   root starts it through runuser -u <user>); it always exits 0, so the
//   result is read back from X2Go's list: the session must be S.
// - xrdp: not possible from here (xrdp-sesadmin's "kill" is not
//   implemented in 0.9.21 and would end the session anyway): EOPNOTSUPP.
// - ssh, console, unknown: a disconnect would end the user's programs:
//   EOPNOTSUPP, the session is left alone.

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
        QString xrdpSocketDirectory;  // empty: DOZORIX_XRDP_SOCKETS, else /run/xrdp/sockdir
    };

    LinuxSessionManager();
    explicit LinuxSessionManager(Options options);

    std::vector<SessionInfo> sessions() override;
    DisconnectResult disconnect(int id) override;
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
    QString xrdpSocketDirectory() const;
    std::vector<SessionInfo> listSessions(Source *from);
    int logindAction(int id, const char *method, bool withKillArguments);
    int utmpSignal(int id, int signal);

    Options m_options;
};

} // namespace dozorix
