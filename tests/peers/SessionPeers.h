#pragma once
// Real peers for the logon-session tests: a private D-Bus bus with a
// stand-in for systemd-logind (logind_standin.py), logon-session processes
// of their own (each a process session leader with a child, as a login
// shell is), and utmp files written with pututxline.

#include "support/TestSupport.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <paths.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>
#include <utmpx.h>

#include <cstring>
#include <vector>

namespace dozorix::test {

// A dbus-daemon of the test's own.
class PrivateBus
{
public:
    PrivateBus()
    {
        m_daemon.setProcessChannelMode(QProcess::SeparateChannels);
        m_daemon.setStandardErrorFile(QProcess::nullDevice());
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
                        QStringLiteral("--address=unix:path=") + m_dir.filePath(QStringLiteral("bus"))});
        if (m_daemon.waitForStarted(5000)) {
            waitUntil([this] { return m_daemon.canReadLine() || m_daemon.waitForReadyRead(100); }, 10000);
            m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        }
    }
    ~PrivateBus()
    {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000))
            m_daemon.kill();
        m_daemon.waitForFinished(5000);
    }
    QString address() const { return m_address; }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
};

// One session the stand-in serves.
struct StandinSession {
    QString id;
    quint32 uid = 0;
    QString user;
    QString tty;
    QString remoteHost;
    bool active = false;
    QString state = QStringLiteral("online");
    qint64 idleSinceUsec = 0; // > 0: idle since then
    qint64 timestampUsec = 0;
    quint32 leader = 0;
    QString seat;
    QString service;                          // the PAM service; empty: login with a seat or tty*, else sshd
    QString display;                          // an X display (":10")
    QString scope;                            // its scope unit; empty: standin-session-<id>.scope
};

// logind_standin.py on a bus, serving the sessions and recording the calls;
// with a state folder, also keeping logind's state files there.
class LogindStandin
{
public:
    LogindStandin(const QString &busAddress, const std::vector<StandinSession> &sessions,
                  const QString &stateDirectory = QString())
    {
        QJsonArray list;
        for (const StandinSession &s : sessions) {
            list.append(QJsonObject{{QStringLiteral("id"), s.id},
                                    {QStringLiteral("uid"), static_cast<qint64>(s.uid)},
                                    {QStringLiteral("user"), s.user},
                                    {QStringLiteral("tty"), s.tty},
                                    {QStringLiteral("remote_host"), s.remoteHost},
                                    {QStringLiteral("active"), s.active},
                                    {QStringLiteral("state"), s.state},
                                    {QStringLiteral("idle_hint"), s.idleSinceUsec > 0},
                                    {QStringLiteral("idle_since_usec"), s.idleSinceUsec},
                                    {QStringLiteral("timestamp_usec"), s.timestampUsec},
                                    {QStringLiteral("leader"), static_cast<qint64>(s.leader)},
                                    {QStringLiteral("seat"), s.seat},
                                    {QStringLiteral("service"), s.service},
                                    {QStringLiteral("display"), s.display},
                                    {QStringLiteral("scope"), s.scope}});
        }
        QFile file(m_dir.filePath(QStringLiteral("sessions.json")));
        if (file.open(QIODevice::WriteOnly))
            file.write(QJsonDocument(list).toJson());
        file.close();
        m_process.setStandardErrorFile(m_dir.filePath(QStringLiteral("stderr.txt")));
        QStringList arguments{QStringLiteral(DOZORIX_SOURCE_DIR "/tests/peers/logind_standin.py"),
                              QStringLiteral("--bus"), busAddress, QStringLiteral("--sessions"), file.fileName(),
                              QStringLiteral("--calls"), callsFile()};
        if (!stateDirectory.isEmpty())
            arguments << QStringLiteral("--state-dir") << stateDirectory;
        m_process.start(QStringLiteral("/usr/bin/python3"), arguments);
        if (m_process.waitForStarted(5000)) {
            waitUntil([this] { return m_process.canReadLine() || m_process.waitForReadyRead(100); }, 15000);
            m_ready = m_process.readLine().trimmed() == "ready";
        }
    }
    ~LogindStandin()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    bool ready() const { return m_ready; }
    QString errors() const
    {
        QFile f(m_dir.filePath(QStringLiteral("stderr.txt")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    // The calls so far, one JSON array each ([method, arguments...]), and
    // forgets them.
    QList<QJsonArray> takeCalls()
    {
        QList<QJsonArray> calls;
        QFile f(callsFile());
        if (f.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : f.readAll().split('\n')) {
                if (!line.trimmed().isEmpty())
                    calls.append(QJsonDocument::fromJson(line).array());
            }
            f.close();
            f.remove();
        }
        return calls;
    }

private:
    QString callsFile() const { return m_dir.filePath(QStringLiteral("calls.jsonl")); }

    QTemporaryDir m_dir;
    QProcess m_process;
    bool m_ready = false;
};

// True when the process no longer runs (gone, or a zombie nobody reaped yet).
inline bool processGone(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = f.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || close + 2 >= line.size() || line.at(close + 2) == 'Z';
}

// The process session a process belongs to; -1 when unknown.
inline qint64 processSession(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = f.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 3 ? fields[3].toLongLong() : -1;
}

// A logon session's processes: a leader of a process session of its own
// with one child, as a login shell with a program. With ignoreHangupAndTerm
// both ignore SIGHUP and SIGTERM, so that only SIGKILL ends them.
class SessionProcesses
{
public:
    explicit SessionProcesses(bool ignoreHangupAndTerm = false)
    {
        const QString script = QStringLiteral(
            "import os, signal, sys, time\n"
            "os.setsid()\n"
            "if %1:\n"
            "    signal.signal(signal.SIGHUP, signal.SIG_IGN)\n"
            "    signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
            "child = os.fork()\n"
            "if child == 0:\n"
            "    os.execv('/bin/sleep', ['sleep', '300'])\n"
            "print(child, flush=True)\n"
            "time.sleep(300)\n")
                                   .arg(ignoreHangupAndTerm ? QStringLiteral("True") : QStringLiteral("False"));
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), script});
        if (m_process.waitForStarted(5000)) {
            waitUntil([this] { return m_process.canReadLine() || m_process.waitForReadyRead(100); }, 10000);
            m_child = m_process.readLine().trimmed().toLongLong();
        }
    }
    ~SessionProcesses()
    {
        if (m_child > 0 && !processGone(m_child))
            ::kill(static_cast<pid_t>(m_child), SIGKILL);
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    SessionProcesses(const SessionProcesses &) = delete;
    SessionProcesses &operator=(const SessionProcesses &) = delete;

    qint64 leader() const { return m_process.processId(); }
    qint64 child() const { return m_child; }
    // Started, a process session of its own (never the test's), with its child.
    bool ready() const
    {
        return m_child > 0 && processSession(leader()) == leader() && processSession(m_child) == leader()
               && processSession(::getpid()) != leader();
    }
    // Both processes have ended within the time.
    bool waitForEnd(int ms)
    {
        return waitUntil([this] {
            m_process.waitForFinished(20);
            return processGone(leader()) && processGone(m_child);
        }, ms);
    }
    bool running() const { return !processGone(leader()) && !processGone(m_child); }

private:
    QProcess m_process;
    qint64 m_child = 0;
};

// One utmp record.
struct UtmpRecord {
    short type = USER_PROCESS;
    qint64 pid = 0;
    QString user;
    QString line;
    QString host;
    QDateTime time;
};

// Writes the records into a utmp file of the test's own, as login does.
inline bool writeUtmp(const QString &path, const std::vector<UtmpRecord> &records)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.close();
    const QByteArray name = QFile::encodeName(path);
    if (::utmpxname(name.constData()) != 0)
        return false;
    ::setutxent();
    bool ok = true;
    int n = 0;
    for (const UtmpRecord &r : records) {
        utmpx u;
        std::memset(&u, 0, sizeof u);
        u.ut_type = r.type;
        u.ut_pid = static_cast<pid_t>(r.pid);
        const QByteArray user = r.user.toUtf8(), line = r.line.toUtf8(), host = r.host.toUtf8();
        std::strncpy(u.ut_user, user.constData(), sizeof u.ut_user);
        std::strncpy(u.ut_line, line.constData(), sizeof u.ut_line);
        std::strncpy(u.ut_host, host.constData(), sizeof u.ut_host);
        const QByteArray id = QByteArray::number(++n);
        std::strncpy(u.ut_id, id.constData(), sizeof u.ut_id);
        u.ut_tv.tv_sec = static_cast<decltype(u.ut_tv.tv_sec)>(r.time.toSecsSinceEpoch());
        ok = ::pututxline(&u) != nullptr && ok;
    }
    ::endutxent();
    ::utmpxname(_PATH_UTMP);
    return ok;
}

// The window's counting rule: the text split at every single blank (line
// breaks do not split), the pieces that are exactly one of the words.
inline int countWords(const QString &text, const QStringList &words)
{
    int n = 0;
    for (const QString &piece : text.split(QLatin1Char(' ')))
        n += words.contains(piece) ? 1 : 0;
    return n;
}

// A pseudo-terminal whose slave side stays open, as a logged-on shell keeps it.
class Pty
{
public:
    Pty()
    {
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0)
            m_path = QString::fromLocal8Bit(name);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty()
    {
        ::close(m_master);
        ::close(m_slave);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    QString path() const { return m_path; }
    int slave() const { return m_slave; }

    // Everything that arrived until `until` shows up (or a moment of quiet
    // when until is empty), without the CRs the line discipline adds.
    QString read(const QString &until = QString(), int timeoutMs = 3000)
    {
        QByteArray all;
        for (;;) {
            pollfd p{m_master, POLLIN, 0};
            const int quiet = until.isEmpty() ? 200 : timeoutMs;
            if (::poll(&p, 1, quiet) <= 0)
                break;
            char buf[4096];
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n <= 0)
                break;
            all.append(buf, n);
            if (!until.isEmpty() && QString::fromUtf8(all).contains(until))
                break;
        }
        return QString::fromUtf8(all).remove(QLatin1Char('\r'));
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
};

} // namespace dozorix::test
