// The /proc process table when a pid is used again, for real: as PID 1 of a
// PID namespace of the test's own (dozorix_private_pid_tests), the next pid
// is chosen through /proc/sys/kernel/ns_last_pid, so that a new process gets
// the pid of one the table has just seen end.

#include "platform/linux/LinuxProcessTable.h"
#include "support/ChildProcesses.h"
#include "support/ProcessGuard.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <grp.h>
#include <memory>
#include <pwd.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

// Makes pid the next one given out in this namespace.
bool nextPidWillBe(qint64 pid)
{
    QFile f(u"/proc/sys/kernel/ns_last_pid"_s);
    return f.open(QIODevice::WriteOnly) && f.write(QByteArray::number(pid - 1)) > 0;
}

// A copy of sleep under a name, started as this user or as nobody; the
// change of user is made between fork and exec, so that the process never
// shows under another name than its own once started.
class Sleeper
{
public:
    Sleeper(const QString &image, bool asNobody)
    {
        QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                | QFileDevice::ReadOther | QFileDevice::ExeOther);
        const QString path = m_dir.filePath(image);
        QFile::copy(u"/bin/sleep"_s, path);
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ReadOther | QFileDevice::ExeOther);
        if (asNobody) {
            m_process.setChildProcessModifier([] {
                if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0
                    || ::setresuid(65534, 65534, 65534) != 0)
                    ::_exit(127);
            });
        }
        m_process.start(path, {u"120"_s});
        m_process.waitForStarted(5000);
    }
    ~Sleeper()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    qint64 pid() const { return m_process.processId(); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

} // namespace

// The first process of a pid ends; the next one under that pid has the same
// kernel name but is another program (a long name the kernel cuts to the
// same fifteen characters) or the same program run by another user. The
// first snapshot after shows the new process's name and owner, never what
// the table kept of the first.
TEST(ProcessTablePidReuse, NewProcessUnderAPidSeenEnd)
{
    ASSERT_TRUE(inPrivatePidNamespace());
    const auto accountName = [](quint32 uid) {
        const passwd *pw = ::getpwuid(uid);
        return pw ? QString::fromUtf8(pw->pw_name) : QString::number(uid);
    };
    const QString me = accountName(::geteuid());
    const struct {
        QString first;
        QString second;
        bool secondAsNobody;
        quint32 uid;
        QString owner;
    } cases[] = {
        {u"1cv8c_long_image_one"_s, u"1cv8c_long_image_two"_s, false, ::geteuid(), me},
        {u"rphost"_s, u"rphost"_s, true, 65534, accountName(65534)},
    };
    LinuxProcessTable table;
    for (const auto &c : cases) {
        if (c.secondAsNobody && ::geteuid() != 0)
            continue; // root of a user namespace only: no other user to run as
        auto first = std::make_unique<Sleeper>(c.first, false);
        const qint64 pid = first->pid();
        ASSERT_TRUE(waitUntil([&] {
            const auto all = table.snapshot();
            const ProcessInfo *p = findPid(all, pid);
            return p && p->imageName == c.first && p->ownerName == me;
        })) << c.first.toStdString();
        first.reset(); // ended and reaped
        ASSERT_TRUE(nextPidWillBe(pid));
        Sleeper second(c.second, c.secondAsNobody);
        ASSERT_EQ(second.pid(), pid);

        // Right after exec the new program's arguments may not be in place
        // yet: a long name may show cut for a moment, then whole; never the
        // first process's.
        ProcessInfo seen;
        QStringList names;
        ASSERT_TRUE(waitUntil([&] {
            const auto all = table.snapshot();
            const ProcessInfo *p = findPid(all, pid);
            if (!p)
                return false;
            seen = *p;
            names << p->imageName;
            return p->imageName == c.second;
        })) << c.second.toStdString() << ": " << names.join(u", "_s).toStdString();
        for (const QString &name : std::as_const(names))
            EXPECT_TRUE(name == c.second || c.second.startsWith(name)) << name.toStdString();
        EXPECT_FALSE(names.contains(c.first) && c.first != c.second);
        EXPECT_EQ(seen.ownerUid, c.uid);
        EXPECT_EQ(seen.ownerName, c.owner);
    }
}
