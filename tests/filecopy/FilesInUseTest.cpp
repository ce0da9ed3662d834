// Which files of a folder other processes are writing or hold a lock on:
// real processes holding real descriptors and locks.

#include "filecopy/FilesInUse.h"
#include "filecopy/support/FileTestSupport.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

std::pair<dev_t, ino_t> idOf(const QString &path)
{
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return {st.st_dev, st.st_ino};
}

bool inUse(const FilesInUse &files, const QString &path)
{
    const auto [dev, ino] = idOf(path);
    return files.contains(dev, ino);
}

// A process that opens a file its own way and keeps it until killed.
class Holder
{
public:
    explicit Holder(const QString &python)
    {
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(u"/usr/bin/python3"_s, {u"-c"_s, python + u"\nprint('ready', flush=True)\nimport time\ntime.sleep(300)\n"_s});
        m_process.waitForStarted(5000);
        waitUntil([this] { return m_process.canReadLine() || m_process.waitForReadyRead(100); }, 10000);
        m_ready = m_process.readLine().trimmed() == "ready";
    }
    ~Holder()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool ready() const { return m_ready; }

private:
    QProcess m_process;
    bool m_ready = false;
};

} // namespace

TEST(FilesInUse, WritersAndLocksOfOtherProcessesAreSeenReadersAreNot)
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath(u"sub"_s);
    const QStringList names = {u"1Cv8.1CD"_s, u"sub/locked.dat"_s, u"flocked.dat"_s, u"read.dat"_s,
                               u"idle.dat"_s, u"appended.log"_s};
    for (const QString &name : names) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("data");
    }
    const auto quoted = [&](const QString &name) { return u"'"_s + dir.filePath(name) + u"'"_s; };
    // 1C keeps its database open for reading and writing.
    Holder writer(u"f = open("_s + quoted(u"1Cv8.1CD"_s) + u", 'r+b')"_s);
    // A POSIX lock through a descriptor opened for reading.
    Holder posix(u"import fcntl\nf = open("_s + quoted(u"sub/locked.dat"_s) +
                 u", 'rb')\nfcntl.lockf(f, fcntl.LOCK_SH)"_s);
    Holder flock(u"import fcntl\nf = open("_s + quoted(u"flocked.dat"_s) + u", 'rb')\nfcntl.flock(f, fcntl.LOCK_EX)"_s);
    Holder reader(u"f = open("_s + quoted(u"read.dat"_s) + u", 'rb')"_s);
    Holder appender(u"f = open("_s + quoted(u"appended.log"_s) + u", 'ab')"_s);
    ASSERT_TRUE(writer.ready() && posix.ready() && flock.ready() && reader.ready() && appender.ready());
    // This process's own writers do not count.
    QFile own(dir.filePath(u"idle.dat"_s));
    ASSERT_TRUE(own.open(QIODevice::ReadWrite));

    const FilesInUse files = FilesInUse::snapshot(QFile::encodeName(dir.path()));
    const struct {
        const char *name;
        bool inUse;
    } cases[] = {{"1Cv8.1CD", true}, {"sub/locked.dat", true}, {"flocked.dat", true},
                 {"appended.log", true}, {"read.dat", false}, {"idle.dat", false}};
    for (const auto &c : cases)
        EXPECT_EQ(inUse(files, dir.filePath(QString::fromLatin1(c.name))), c.inUse) << c.name;

    // Another folder's snapshot holds the locks (any file) but not the writers.
    QTemporaryDir other;
    const FilesInUse elsewhere = FilesInUse::snapshot(QFile::encodeName(other.path()));
    EXPECT_FALSE(inUse(elsewhere, dir.filePath(u"1Cv8.1CD"_s)));
    EXPECT_TRUE(inUse(elsewhere, dir.filePath(u"flocked.dat"_s)));
}

TEST(FilesInUse, LockLinesAreReadWithTheirDeviceAndInode)
{
    const QByteArray text = "1: POSIX  ADVISORY  WRITE 1234 08:02:131090 0 EOF\n"
                            "1: -> POSIX  ADVISORY  WRITE 1240 08:02:131090 0 EOF\n"
                            "2: FLOCK  ADVISORY  READ 999 fd:01:42 0 EOF\n"
                            "3: OFDLCK ADVISORY  READ -1 00:2f:7 0 EOF\n"
                            "garbage line\n"
                            "4: POSIX  ADVISORY  WRITE 1 zz:01:5 0 EOF\n";
    const auto locks = FilesInUse::parseLocks(text);
    const std::set<std::pair<dev_t, ino_t>> expected = {
        {makedev(0x08, 0x02), 131090}, {makedev(0xfd, 0x01), 42}, {makedev(0x00, 0x2f), 7}};
    EXPECT_EQ(locks, expected);
    EXPECT_EQ(fileInUseText(), u"Процесс не может получить доступ к файлу, так как этот файл занят другим процессом."_s);
}

// A console that is not root does not see the descriptors of other users'
// processes: the snapshot says so, and the backup says so in its log.
TEST(FilesInUse, ProcessesItMayNotLookAtMakeItBlind)
{
    if (::geteuid() != 0 || !QFile::exists(u"/usr/bin/setpriv"_s))
        GTEST_SKIP() << "needs root and setpriv to start a process of another user";
    QTemporaryDir dir;
    QProcess nobody;
    nobody.start(u"/usr/bin/setpriv"_s, {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                                         u"/bin/sleep"_s, u"30"_s});
    ASSERT_TRUE(nobody.waitForStarted(5000));
    ASSERT_TRUE(waitUntil([&] {
        QFile status(u"/proc/%1/status"_s.arg(nobody.processId()));
        return status.open(QIODevice::ReadOnly) && status.readAll().contains("Uid:\t65534");
    }));
    EXPECT_FALSE(FilesInUse::snapshot(QFile::encodeName(dir.path())).blind());
    {
        NoPermissionOverride asAnyUser(true);
        ASSERT_TRUE(asAnyUser.active());
        EXPECT_TRUE(FilesInUse::snapshot(QFile::encodeName(dir.path())).blind());
    }
    nobody.kill();
    nobody.waitForFinished(5000);
}
