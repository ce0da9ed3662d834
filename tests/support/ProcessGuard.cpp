#include "support/ProcessGuard.h"

#include <QByteArray>
#include <QFile>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <unistd.h>

namespace dozorix::test {
namespace {

// The parent of a process from /proc/<pid>/stat; -1 when it is gone. The
// command name in parentheses may itself hold ") ", so the fields are read
// after the last ')'.
qint64 parentOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = line.mid(close + 1).simplified().split(' ');
    if (fields.size() < 2)
        return -1;
    bool ok = false;
    const qint64 ppid = fields.at(1).toLongLong(&ok);
    return ok ? ppid : -1;
}

bool processExists(qint64 pid)
{
    return QFile::exists(QStringLiteral("/proc/%1").arg(pid));
}

std::string signalName(int signal)
{
    const char *abbrev = ::sigabbrev_np(signal);
    return (abbrev ? std::string("SIG") + abbrev : std::string("signal")) + " (" + std::to_string(signal) + ")";
}

class GuardedProcessControl : public ProcessControl
{
public:
    SignalResult sendSignal(qint64 pid, int signal) override
    {
        SignalResult result;
        if (pid <= 0 || !processExists(pid)) {
            // A process group, everyone, or nobody: the native control sends
            // nothing either.
            result.error = ESRCH;
            return result;
        }
        if (signal == 0 || pid == ::getpid() || inPrivatePidNamespace() || isDescendantOfThisProgram(pid))
            return m_native->sendSignal(pid, signal);
        ADD_FAILURE() << "Refused to send " << signalName(signal) << " to process " << pid << " ("
                      << describe(pid) << "): it was not started by this test program (PID " << ::getpid()
                      << "). A test ends only the processes it started (narrow the process table with "
                         "DescendantsTable), or runs in a private PID namespace (dozorix_private_pid_tests).";
        result.error = EPERM;
        return result;
    }

private:
    // "image" of user "owner", as the process table shows them.
    std::string describe(qint64 pid) const
    {
        const std::vector<ProcessInfo> table = m_table->snapshot();
        for (const ProcessInfo &p : table) {
            if (p.pid == pid)
                return "\"" + p.imageName.toStdString() + "\" of user \"" + p.ownerName.toStdString() + "\"";
        }
        return "ended meanwhile";
    }

    std::shared_ptr<ProcessControl> m_native = native::createProcessControl();
    std::shared_ptr<ProcessTable> m_table = native::createProcessTable();
};

} // namespace

bool inPrivatePidNamespace()
{
    // PID 1 alone is not enough: without a /proc of its own the program
    // would still see (and taskkill would still find) the whole machine.
    char self[32] = {};
    const ssize_t n = ::readlink("/proc/self", self, sizeof self - 1);
    return ::getpid() == 1 && n == 1 && self[0] == '1';
}

bool isDescendantOfThisProgram(qint64 pid)
{
    const qint64 me = ::getpid();
    qint64 at = parentOf(pid);
    // A bound on the walk: a parent link read while the process table
    // changes cannot make it loop.
    for (int depth = 0; depth < 4096 && at > 0; ++depth) {
        if (at == me)
            return true;
        if (at == 1)
            return false;
        at = parentOf(at);
    }
    return false;
}

std::shared_ptr<ProcessControl> processGuard()
{
    static const std::shared_ptr<ProcessControl> guard = std::make_shared<GuardedProcessControl>();
    return guard;
}

void installProcessGuard()
{
    ProcessControl::setInstance(processGuard());
}

} // namespace dozorix::test
