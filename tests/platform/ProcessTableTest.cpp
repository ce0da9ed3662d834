// The /proc process table against real child processes.

#include "common/SystemHelpers.h"
#include "platform/linux/LinuxProcessTable.h"
#include "support/ChildProcesses.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

TEST(ProcessTable, SeesAChildWithItsNameOwnerAndGrowingTime)
{
    // A busy child: "yes" writing into /dev/null.
    NamedChild ragent(u"ragent"_s, u"/usr/bin/yes"_s, {});
    LinuxProcessTable table;
    ProcessInfo first;
    ASSERT_TRUE(waitUntil([&] {
        const auto all = table.snapshot();
        const ProcessInfo *p = findPid(all, ragent.pid());
        if (p && p->imageName == u"ragent"_s)
            first = *p;
        return p && p->imageName == u"ragent"_s;
    }));
    EXPECT_EQ(first.ppid, ::getpid());
    EXPECT_EQ(first.ownerName, GetUserNameText());
    EXPECT_EQ(first.ownerUid, ::geteuid());
    EXPECT_FALSE(first.zombie);
    EXPECT_FALSE(first.kernelThread);

    EXPECT_TRUE(waitUntil([&] {
        const auto all = table.snapshot();
        const ProcessInfo *p = findPid(all, ragent.pid());
        return p && p->userTime + p->kernelTime > first.userTime + first.kernelTime && p->residentBytes > 0;
    }));
    EXPECT_EQ(table.processorCount(), static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN)));
}

TEST(ProcessTable, KeepsNamesLongerThanTheKernelsFifteen)
{
    NamedChild client(u"1cv8c_long_image_name"_s, u"/bin/sleep"_s, {u"120"_s});
    LinuxProcessTable table;
    EXPECT_TRUE(waitUntil([&] {
        const auto all = table.snapshot();
        const ProcessInfo *p = findPid(all, client.pid());
        return p && p->imageName == u"1cv8c_long_image_name"_s;
    }));
}

TEST(ProcessTable, ImageNameFromCommAndArgv0)
{
    struct Case {
        QByteArray comm;
        QByteArray cmdline;
        QString name;
    };
    const Case cases[] = {
        {"rphost", QByteArray("/opt/1cv8/x86_64/8.3.24/rphost\0-range\0", 39), u"rphost"_s},
        {"1cv8c_long_imag", QByteArray("/opt/x/1cv8c_long_image_name\0", 29), u"1cv8c_long_image_name"_s},
        {"1cv8c_long_imag", QByteArray("C:\\Program Files\\1cv8\\1cv8c_long_image_name.exe\0", 48),
         u"1cv8c_long_image_name.exe"_s},                                         // Wine
        {"1cv8c_long_imag", QByteArray("/usr/bin/python3\0", 17), u"1cv8c_long_imag"_s}, // a renamed thread
        {"1cv8c_long_imag", QByteArray(), u"1cv8c_long_imag"_s},                  // cmdline unreadable
        {"short", QByteArray("/x/short_but_longer\0", 20), u"short"_s},
    };
    for (const Case &c : cases)
        EXPECT_EQ(LinuxProcessTable::imageNameFrom(c.comm, c.cmdline), c.name) << c.comm.constData();
}

TEST(ProcessTable, MarksZombiesAndKernelThreads)
{
    // The shell's first child ends and is never reaped: the exec'd sleep
    // does not wait for children it did not start.
    NamedChild parent(u"rmngr"_s, u"/bin/sh"_s, {u"-c"_s, u"/bin/true & exec /bin/sleep 120"_s});
    LinuxProcessTable table;
    EXPECT_TRUE(waitUntil([&] {
        for (const ProcessInfo &p : table.snapshot()) {
            if (p.ppid == parent.pid() && p.zombie)
                return true;
        }
        return false;
    }));

    const auto all = table.snapshot();
    const ProcessInfo *kthreadd = findPid(all, 2);
    if (kthreadd && kthreadd->imageName == u"kthreadd"_s) {
        EXPECT_TRUE(kthreadd->kernelThread);
    }
    const ProcessInfo *self = findPid(all, ::getpid());
    ASSERT_NE(self, nullptr);
    EXPECT_FALSE(self->kernelThread);
}

namespace {

// The pids whose /proc/<pid>/stat this program holds open.
QSet<qint64> heldStatFiles()
{
    QSet<qint64> pids;
    const QDir fds(u"/proc/self/fd"_s);
    for (const QString &fd : fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        static const QRegularExpression stat(u"^/proc/(\\d+)/stat$"_s);
        if (const auto m = stat.match(target); m.hasMatch())
            pids.insert(m.captured(1).toLongLong());
    }
    return pids;
}

// Whether the table may hold the stat file of every one of count processes
// (a quarter of the open-file limit).
bool mayHoldAll(size_t count)
{
    rlimit files{};
    return ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur / 4 > count;
}

// A user id without an account, for an owner shown in digits.
quint32 uidWithoutAccount()
{
    for (quint32 uid = 43210; uid < 43300; ++uid) {
        if (!::getpwuid(uid))
            return uid;
    }
    return 0;
}

// A sleep started by root as another user.
class ChildAs
{
public:
    ChildAs(quint32 uid, const QString &imageName)
    {
        QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                | QFileDevice::ReadOther | QFileDevice::ExeOther);
        const QString path = m_dir.filePath(imageName);
        QFile::copy(u"/bin/sleep"_s, path);
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ReadOther | QFileDevice::ExeOther);
        m_process.start(u"/usr/bin/setpriv"_s, {u"--reuid=%1"_s.arg(uid), u"--regid=%1"_s.arg(uid),
                                                u"--clear-groups"_s, path, u"120"_s});
        m_process.waitForStarted(5000);
    }
    ~ChildAs()
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

// comm stands between the first '(' and the last ')' of stat, and may hold
// blanks, ')' and '(' itself; a cut one is completed from argv[0].
TEST(ProcessTable, NamesWithBlanksAndParentheses)
{
    QTemporaryDir dir;
    const QString names[] = {u"a) b"_s, u") ("_s, u"x (y) z"_s, u"1cv8c ) (long name"_s};
    std::vector<std::unique_ptr<QProcess>> children;
    for (const QString &name : names) {
        const QString link = dir.filePath(name);
        ASSERT_TRUE(QFile::link(u"/bin/sleep"_s, link));
        auto child = std::make_unique<QProcess>();
        child->start(link, {u"120"_s});
        ASSERT_TRUE(child->waitForStarted(5000)) << name.toStdString();
        children.push_back(std::move(child));
    }
    LinuxProcessTable table;
    for (size_t i = 0; i < children.size(); ++i) {
        const qint64 pid = children[i]->processId();
        EXPECT_TRUE(waitUntil([&] {
            const auto all = table.snapshot();
            const ProcessInfo *p = findPid(all, pid);
            return p && p->imageName == names[i] && p->ppid == ::getpid() && !p->zombie;
        })) << names[i].toStdString();
    }
    for (auto &child : children) {
        child->kill();
        child->waitForFinished(5000);
    }
}

// A process that has ended is gone from the next snapshot, and the table
// holds nothing of it any more.
TEST(ProcessTable, EndedProcessesLeaveTheNextSnapshot)
{
    LinuxProcessTable table;
    std::vector<std::unique_ptr<NamedChild>> children;
    for (int i = 0; i < 20; ++i)
        children.push_back(std::make_unique<NamedChild>(u"rphost"_s, u"/bin/sleep"_s, QStringList{u"120"_s}));
    ASSERT_TRUE(waitUntil([&] {
        const auto all = table.snapshot();
        return std::all_of(children.begin(), children.end(), [&](const auto &c) {
            const ProcessInfo *p = findPid(all, c->pid());
            return p && p->imageName == u"rphost"_s;
        });
    }));
    QSet<qint64> ended;
    for (size_t i = 0; i < children.size(); i += 2) {
        ended.insert(children[i]->pid());
        children[i].reset(); // killed and reaped
    }

    const auto all = table.snapshot();
    for (const qint64 pid : ended)
        EXPECT_EQ(findPid(all, pid), nullptr) << pid;
    for (size_t i = 1; i < children.size(); i += 2) {
        const ProcessInfo *p = findPid(all, children[i]->pid());
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->imageName, u"rphost"_s);
    }
    const QSet<qint64> held = heldStatFiles();
    EXPECT_FALSE(held.intersects(ended));
    if (mayHoldAll(all.size())) {
        for (size_t i = 1; i < children.size(); i += 2)
            EXPECT_TRUE(held.contains(children[i]->pid())) << children[i]->pid();
    }
}

// The stat files the table holds are closed with it.
TEST(ProcessTable, HeldFilesCloseWithTheTable)
{
    NamedChild child(u"rmngr"_s, u"/bin/sleep"_s, {u"120"_s});
    const QSet<qint64> before = heldStatFiles();
    {
        LinuxProcessTable table;
        std::vector<ProcessInfo> all;
        ASSERT_TRUE(waitUntil([&] {
            all = table.snapshot();
            const ProcessInfo *p = findPid(all, child.pid());
            return p && p->imageName == u"rmngr"_s;
        }));
        if (mayHoldAll(all.size())) {
            EXPECT_TRUE(heldStatFiles().contains(child.pid()));
        }
    }
    EXPECT_EQ(heldStatFiles(), before);
}

// The owner of a process run as another user: its account name, or its
// uid in digits when it has no account.
TEST(ProcessTable, OwnerRunAsAnotherUser)
{
    if (!NamedChild::canRunAsNobody())
        GTEST_SKIP() << "needs root and setpriv";
    const quint32 noAccount = uidWithoutAccount();
    ASSERT_NE(noAccount, 0u);
    const passwd *nobody = ::getpwuid(65534);
    const struct {
        quint32 uid;
        QString owner;
    } cases[] = {
        {65534, nobody ? QString::fromUtf8(nobody->pw_name) : u"65534"_s},
        {noAccount, QString::number(noAccount)},
    };
    LinuxProcessTable table;
    for (const auto &c : cases) {
        ChildAs child(c.uid, u"rphost"_s);
        ProcessInfo seen;
        EXPECT_TRUE(waitUntil([&] {
            const auto all = table.snapshot();
            const ProcessInfo *p = findPid(all, child.pid());
            if (p)
                seen = *p;
            return p && p->imageName == u"rphost"_s; // setpriv first, then the program it runs
        })) << c.uid;
        EXPECT_EQ(seen.ownerUid, c.uid);
        EXPECT_EQ(seen.ownerName, c.owner);
    }
}

// A process that runs another program under the same pid is read afresh:
// its new name and owner.
TEST(ProcessTable, ProgramRunAnewIsReadAfresh)
{
    if (!NamedChild::canRunAsNobody())
        GTEST_SKIP() << "needs root and setpriv";
    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                          | QFileDevice::ReadOther | QFileDevice::ExeOther);
    const QString program = dir.filePath(u"ragent"_s);
    ASSERT_TRUE(QFile::copy(u"/bin/sleep"_s, program));
    QProcess shell;
    shell.start(u"/bin/sh"_s,
                {u"-c"_s, u"read line; exec /usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups \"$0\" 120"_s,
                 program});
    ASSERT_TRUE(shell.waitForStarted(5000));
    LinuxProcessTable table;
    EXPECT_TRUE(waitUntil([&] {
        const auto all = table.snapshot();
        const ProcessInfo *p = findPid(all, shell.processId());
        return p && p->imageName == u"sh"_s && p->ownerUid == ::geteuid();
    }));
    shell.write("go\n");
    EXPECT_TRUE(waitUntil([&] {
        const auto all = table.snapshot();
        const ProcessInfo *p = findPid(all, shell.processId());
        return p && p->imageName == u"ragent"_s && p->ownerUid == 65534;
    }));
    shell.kill();
    shell.waitForFinished(5000);
}

// A process that changes its user without running another program (and
// stays dumpable, so that /proc shows the new owner) is seen under the new
// owner within the next sixteen snapshots.
TEST(ProcessTable, OwnerChangedInPlaceIsSeen)
{
    const QString python = u"/usr/bin/python3"_s;
    if (::geteuid() != 0 || !QFile::exists(python))
        GTEST_SKIP() << "needs root and python3";
    QProcess child;
    child.start(python, {u"-c"_s, u"import ctypes, os, sys\n"
                                  "print('ready', flush=True)\n"
                                  "sys.stdin.readline()\n"
                                  "os.setresgid(65534, 65534, 65534)\n"
                                  "os.setresuid(65534, 65534, 65534)\n"
                                  "ctypes.CDLL(None).prctl(4, 1, 0, 0, 0)\n" // PR_SET_DUMPABLE
                                  "print('ok', flush=True)\n"
                                  "sys.stdin.readline()\n"_s});
    ASSERT_TRUE(child.waitForStarted(5000));
    ASSERT_TRUE(waitUntil([&] { return child.canReadLine() && child.readLine().startsWith("ready"); }));
    LinuxProcessTable table;
    const auto first = table.snapshot();
    const ProcessInfo *before = findPid(first, child.processId());
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(before->ownerUid, 0u);
    const QString name = before->imageName;
    child.write("\n");
    ASSERT_TRUE(waitUntil([&] { return child.readAllStandardOutput().contains("ok"); }));
    int snapshots = 0;
    const ProcessInfo *p = nullptr;
    std::vector<ProcessInfo> all;
    while (snapshots < 16) {
        all = table.snapshot();
        ++snapshots;
        p = findPid(all, child.processId());
        if (!p || p->ownerUid == 65534)
            break;
    }
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->ownerUid, 65534u) << snapshots << " snapshots";
    EXPECT_EQ(p->imageName, name);
    child.kill();
    child.waitForFinished(5000);
}

namespace {

// A /proc of the test's own: <pid>/stat and <pid>/cmdline files.
class FakeProc
{
public:
    QByteArray root() const { return QFile::encodeName(m_dir.path()); }

    void write(const QString &pid, const char *file, const QByteArray &content)
    {
        QDir(m_dir.path()).mkpath(pid);
        // In place, as /proc makes a held file's text anew at each read.
        QFile f(m_dir.filePath(pid + u'/' + QString::fromLatin1(file)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }
    void mkdir(const QString &name) { QDir(m_dir.path()).mkpath(name); }
    void remove(const QString &pid) { QDir(m_dir.filePath(pid)).removeRecursively(); }
    QString path(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

// A stat line as the kernel writes it (52 fields), with the fields the
// table reads given.
QByteArray statLine(int pid, const QByteArray &comm, const char *state, int ppid, quint64 flags, quint64 utime,
                    quint64 stime, quint64 start, quint64 rss)
{
    return QByteArray::number(pid) + " (" + comm + ") " + state + ' ' + QByteArray::number(ppid) + " 100 100 0 -1 "
        + QByteArray::number(flags) + " 10 0 0 0 " + QByteArray::number(utime) + ' ' + QByteArray::number(stime)
        + " 0 0 20 0 1 0 " + QByteArray::number(start) + " 1000000 " + QByteArray::number(rss)
        + " 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
}

} // namespace

// Whatever a stat holds, the table never fails: a process whose stat
// cannot be read or parsed is left out, the others are listed as their
// stat says.
TEST(ProcessTable, UnreadableStatIsLeftOut)
{
    FakeProc proc;
    const QByteArray good = statLine(101, "rphost", "S", 1, 0x400100, 250, 50, 7000, 300);
    const QByteArray cut = good.left(good.indexOf(" 250 ") + 4); // up to utime
    QByteArray overlong = "112 (" + QByteArray(2000, 'x') + ") S 1";
    const struct {
        int pid;
        QByteArray stat;
    } files[] = {
        {101, good},
        {102, statLine(102, "a) (b", "S", 1, 0, 0, 0, 7001, 1)},
        {103, QByteArray()},
        {104, "104 rphost S 1 100 100 0 -1 0 10 0 0 0 250 50 0 0 20 0 1 0 7000 1000000 300\n"},
        {105, cut},
        {106, statLine(106, "rphost", "S", 1, 0, 0, 0, 7000, 1).replace(" 7000 ", " 7x00 ")},
        {108, statLine(108, "rmngr", "Z", 1, 0, 0, 0, 7000, 0)},
        {109, statLine(109, "kworker/0:1-events", "I", 2, 0x00208040, 0, 3, 5, 0)},
        {110, statLine(110, "1cv8c_long_imag", "S", 1, 0, 0, 0, 7000, 1)},
        {111, statLine(111, "rphost", "S", -5, 0, 0, 0, 7000, 1)},
        {112, overlong},
    };
    for (const auto &f : files)
        proc.write(QString::number(f.pid), "stat", f.stat);
    proc.write(u"110"_s, "cmdline", QByteArray("/opt/1cv8/1cv8c_long_image_name\0-x\0", 35));
    proc.mkdir(u"107"_s); // ended between the listing and the read
    proc.mkdir(u"self"_s);
    proc.mkdir(u"0123"_s);
    proc.write(u"12a"_s, "stat", good);

    LinuxProcessTable table(proc.root());
    const long tick = 10'000'000 / ::sysconf(_SC_CLK_TCK);
    for (int round = 0; round < 2; ++round) { // read afresh, then known
        const auto all = table.snapshot();
        QList<qint64> pids;
        for (const ProcessInfo &p : all)
            pids << p.pid;
        EXPECT_EQ(pids, (QList<qint64>{101, 102, 108, 109, 110})) << round;
        const ProcessInfo *p = findPid(all, 101);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->imageName, u"rphost"_s);
        EXPECT_EQ(p->ppid, 1);
        EXPECT_EQ(p->userTime, 250 * tick);
        EXPECT_EQ(p->kernelTime, 50 * tick);
        EXPECT_EQ(p->residentBytes, 300u * static_cast<quint64>(::sysconf(_SC_PAGESIZE)));
        EXPECT_EQ(p->ownerUid, ::geteuid());
        EXPECT_FALSE(p->zombie);
        EXPECT_FALSE(p->kernelThread);
        EXPECT_EQ(findPid(all, 102)->imageName, u"a) (b"_s);
        EXPECT_TRUE(findPid(all, 108)->zombie);
        EXPECT_TRUE(findPid(all, 109)->kernelThread);
        EXPECT_EQ(findPid(all, 109)->imageName, u"kworker/0:1-events"_s);
        EXPECT_EQ(findPid(all, 110)->imageName, u"1cv8c_long_image_name"_s);
    }
}

// A known process's times are read anew; another start time under the same
// pid (the pid reused) or another kernel name (another program run) is a
// process read afresh, with its owner; a process gone is gone.
TEST(ProcessTable, KnownPidReusedOrGone)
{
    FakeProc proc;
    proc.write(u"201"_s, "stat", statLine(201, "rphost", "S", 1, 0, 100, 0, 5000, 10));
    proc.write(u"202"_s, "stat", statLine(202, "rmngr", "S", 1, 0, 100, 0, 5000, 10));
    proc.write(u"203"_s, "stat", statLine(203, "ragent", "S", 1, 0, 100, 0, 5000, 10));
    LinuxProcessTable table(proc.root());
    ASSERT_EQ(table.snapshot().size(), 3u);

    const quint32 noAccount = uidWithoutAccount();
    const bool chown = ::geteuid() == 0 && noAccount != 0;
    if (chown) {
        ASSERT_EQ(::chown(QFile::encodeName(proc.path(u"201"_s)).constData(), noAccount, noAccount), 0);
        ASSERT_EQ(::chown(QFile::encodeName(proc.path(u"202"_s)).constData(), noAccount, noAccount), 0);
    }
    proc.write(u"201"_s, "stat", statLine(201, "rphost", "S", 1, 0, 0, 0, 9000, 10)); // pid reused
    proc.write(u"202"_s, "stat", statLine(202, "1cv8c", "S", 1, 0, 300, 0, 5000, 10)); // ran 1cv8c
    proc.remove(u"203"_s);
    const auto all = table.snapshot();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].imageName, u"rphost"_s);
    EXPECT_EQ(all[0].userTime, 0);
    EXPECT_EQ(all[1].imageName, u"1cv8c"_s);
    EXPECT_EQ(all[1].userTime, 300 * (10'000'000 / ::sysconf(_SC_CLK_TCK)));
    if (chown) {
        for (const ProcessInfo &p : all) {
            EXPECT_EQ(p.ownerUid, noAccount) << p.pid;
            EXPECT_EQ(p.ownerName, QString::number(noAccount)) << p.pid;
        }
    }
}
