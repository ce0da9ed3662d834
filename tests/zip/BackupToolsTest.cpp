// dozorix-zip and dozorix-copy as the backup runs them, against what a host
// can throw at them: the file-size limit ("ulimit -f", the way a full disk
// shows for one program), an existing archive or file that a failed write
// must not destroy, and FIFOs and sockets planted among the files; the
// password of dozorix-zip given on standard input, out of the process list;
// its command lines that are refused.

#include "zip/support/ZipTestSupport.h"

#include "common/TextCodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

using namespace dozorix;
using namespace dozorix::test;

namespace {

const QString kZip = QStringLiteral(DOZORIX_PROGRAM_DIR "/dozorix-zip");
const QString kCopy = QStringLiteral(DOZORIX_PROGRAM_DIR "/dozorix-copy");

// "ulimit -f 64": 64 blocks of 1 KiB.
constexpr quint64 kLimit = 64 * 1024;

// Russian words of the reason for a write past the file-size limit.
const QString kLimitReason = QStringLiteral("ulimit -f");

class BackupToolsTest : public ::testing::Test
{
protected:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    // A file as it was: its bytes and modification time.
    struct Snapshot {
        QByteArray bytes;
        qint64 mtimeNs = 0;
        bool operator==(const Snapshot &o) const { return bytes == o.bytes && mtimeNs == o.mtimeNs; }
    };
    static Snapshot snapshot(const QString &file)
    {
        struct stat st;
        if (::stat(QFile::encodeName(file).constData(), &st) != 0)
            return {};
        return {readFile(file), st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    }

    QTemporaryDir m_dir;
};

struct LimitCase {
    const char *name;
    bool zip;            // dozorix-zip, else dozorix-copy
    bool oldTarget;      // an archive (or a copy) from an earlier run is at the final name
    bool smallFileToo;   // a file that fits is packed beside the one that does not
};

class BackupToolsLimitTest : public BackupToolsTest, public ::testing::WithParamInterface<LimitCase>
{
};

// Under "ulimit -f 64" the programs used to die with SIGXFSZ, leaving a
// partial archive or file under its final name (and a replaced one gone).
// Now a write past the limit fails like a write to a full disk: the archive
// is brFailed (nothing fits) or brPartialBuild (what fits is packed), the
// copy reports the file as failed, each with a readable reason; nothing
// partial is left, and an archive or file that was there stays as it was.
TEST_P(BackupToolsLimitTest, WritePastTheLimitFailsCleanly)
{
    const LimitCase &c = GetParam();
    writeFile(path(QStringLiteral("src/big.bin")), randomBytes(1024 * 1024, 1));
    if (c.smallFileToo)
        writeFile(path(QStringLiteral("src/small.txt")), textBytes(3000, 2));
    QDir().mkpath(path(QStringLiteral("out")));
    const QString target = c.zip ? path(QStringLiteral("out/backup.zip")) : path(QStringLiteral("out/big.bin"));
    if (c.oldTarget) {
        writeFile(target, randomBytes(40000, 3));
        setFileTimes(target, 1600000000, 5, 1600000000, 7);
    }
    const Snapshot before = snapshot(target);

    const ToolRun run = c.zip ? runTool(kZip, {path(QStringLiteral("src")), target}, kLimit)
                              : runTool(kCopy, {path(QStringLiteral("src")), path(QStringLiteral("out"))}, kLimit);
    ASSERT_FALSE(run.timedOut) << qPrintable(run.describe());
    ASSERT_EQ(run.signal, 0) << qPrintable(run.describe());
    EXPECT_EQ(run.exitCode, 1) << qPrintable(run.describe());

    if (c.zip) {
        EXPECT_EQ(run.out.trimmed(), QLatin1String(c.smallFileToo ? "brPartialBuild" : "brFailed"));
        EXPECT_TRUE(run.err.contains(QStringLiteral("left out: big.bin: ")) && run.err.contains(kLimitReason))
            << qPrintable(run.err);
    } else {
        EXPECT_EQ(run.out.trimmed(), QStringLiteral("%1 copied, 1 failed").arg(c.smallFileToo ? 1 : 0));
        EXPECT_TRUE(run.err.contains(QStringLiteral("failed: %1: ").arg(path(QStringLiteral("src/big.bin"))))
                    && run.err.contains(kLimitReason))
            << qPrintable(run.err);
    }

    // Nothing partial, no temporary file: the old target as it was, or the
    // complete new one.
    QStringList expectedNames;
    if (c.zip && c.smallFileToo) {
        expectedNames << QStringLiteral("backup.zip");
        EXPECT_EQ(checkWithReaders(target, {{QStringLiteral("small.txt"), path(QStringLiteral("src/small.txt"))}}),
                  QString());
    } else {
        if (c.oldTarget)
            expectedNames << QFileInfo(target).fileName();
        EXPECT_TRUE(snapshot(target) == before) << "the old file changed or vanished";
    }
    if (!c.zip && c.smallFileToo) {
        expectedNames << QStringLiteral("small.txt");
        EXPECT_EQ(readFile(path(QStringLiteral("out/small.txt"))), readFile(path(QStringLiteral("src/small.txt"))));
    }
    expectedNames.sort();
    EXPECT_EQ(folderEntries(path(QStringLiteral("out"))), expectedNames);
}

INSTANTIATE_TEST_SUITE_P(
    FileSizeLimit, BackupToolsLimitTest,
    ::testing::Values(LimitCase{"ZipNothingFits", true, false, false},
                      LimitCase{"ZipOverAnOldArchive", true, true, false},
                      LimitCase{"ZipWhatFitsIsPacked", true, true, true},
                      LimitCase{"CopyNewFile", false, false, true},
                      LimitCase{"CopyOverAnOldFile", false, true, false}),
    [](const ::testing::TestParamInfo<LimitCase> &tp) { return std::string(tp.param.name); });

struct SpecialCase {
    const char *name;
    const char *kind;  // "FIFO" or "socket"
    const char *named; // how the writer names it, before the reason
};

class BackupToolsSpecialFileTest : public BackupToolsTest, public ::testing::WithParamInterface<SpecialCase>
{
protected:
    // Makes the special file; false when it cannot be made here.
    bool makeSpecial(const QString &file, const char *kind)
    {
        const QByteArray native = QFile::encodeName(file);
        if (std::strcmp(kind, "FIFO") == 0)
            return ::mkfifo(native.constData(), 0644) == 0;
        struct sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (static_cast<size_t>(native.size()) >= sizeof(addr.sun_path))
            return false;
        std::memcpy(addr.sun_path, native.constData(), static_cast<size_t>(native.size()));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }
};

// A FIFO or a socket among the files used to be passed over in silence (and
// a FIFO opened for its data blocks for ever): now it is a file that could
// not be packed or copied, named with what it is, while the rest is done.
TEST_P(BackupToolsSpecialFileTest, SpecialFileIsNamedAsLeftOut)
{
    const SpecialCase &c = GetParam();
    writeFile(path(QStringLiteral("src/a.txt")), textBytes(5000, 4));
    writeFile(path(QStringLiteral("src/sub/b.txt")), textBytes(7000, 5));
    ASSERT_TRUE(makeSpecial(path(QStringLiteral("src/sub/planted")), c.kind)) << std::strerror(errno);
    const QString archive = path(QStringLiteral("out.zip"));
    {
        FifoWatchdog watchdog(path(QStringLiteral("src/sub/planted")));
        const ToolRun zip = runTool(kZip, {path(QStringLiteral("src")), archive}, 0, 30000);
        ASSERT_FALSE(zip.timedOut) << qPrintable(zip.describe());
        EXPECT_EQ(zip.exitCode, 1) << qPrintable(zip.describe());
        EXPECT_EQ(zip.out.trimmed(), QStringLiteral("brPartialBuild"));
        EXPECT_TRUE(zip.err.contains(QStringLiteral("left out: sub/planted: ")) && zip.err.contains(QString::fromUtf8(c.named)))
            << qPrintable(zip.err);
        EXPECT_FALSE(watchdog.released()) << "the FIFO was opened for its data";
    }
    EXPECT_EQ(checkWithReaders(archive, {{QStringLiteral("a.txt"), path(QStringLiteral("src/a.txt"))},
                                         {QStringLiteral("sub/b.txt"), path(QStringLiteral("src/sub/b.txt"))}}),
              QString());

    FifoWatchdog watchdog(path(QStringLiteral("src/sub/planted")));
    const ToolRun copy = runTool(kCopy, {path(QStringLiteral("src")), path(QStringLiteral("dst"))}, 0, 30000);
    ASSERT_FALSE(copy.timedOut) << qPrintable(copy.describe());
    EXPECT_EQ(copy.exitCode, 1) << qPrintable(copy.describe());
    EXPECT_EQ(copy.out.trimmed(), QStringLiteral("2 copied, 1 failed"));
    EXPECT_TRUE(copy.err.contains(QStringLiteral("failed: %1: ").arg(path(QStringLiteral("src/sub/planted"))))
                && copy.err.contains(QStringLiteral("не обычный файл")))
        << qPrintable(copy.err);
    EXPECT_FALSE(watchdog.released()) << "the FIFO was opened for its data";
    EXPECT_EQ(folderEntries(path(QStringLiteral("dst/sub"))), QStringList{QStringLiteral("b.txt")});
    EXPECT_EQ(readFile(path(QStringLiteral("dst/a.txt"))), readFile(path(QStringLiteral("src/a.txt"))));
}

INSTANTIATE_TEST_SUITE_P(Planted, BackupToolsSpecialFileTest,
                         ::testing::Values(SpecialCase{"Fifo", "FIFO", "— канал (FIFO): "}, SpecialCase{"Socket", "socket", "— сокет: "}),
                         [](const ::testing::TestParamInfo<SpecialCase> &tp) { return std::string(tp.param.name); });

// Runs dozorix-zip with the password on its standard input. While the
// program waits for that line, its command line (what every local user sees
// in the process list) is read: *argv gets it, NULs as spaces.
ToolRun runWithStdinPassword(const QStringList &args, const QString &password, QByteArray *argv)
{
    ToolRun run;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    p.setProcessEnvironment(env);
    p.start(kZip, args);
    if (!p.waitForStarted(10000)) {
        run.err = QStringLiteral("did not start");
        return run;
    }
    // Started may be told before the new program's command line is in
    // place; the program waits for its input, so it stays to be looked at.
    const QString cmdline = QStringLiteral("/proc/%1/cmdline").arg(p.processId());
    waitUntil([&] { return readFile(cmdline).contains("--password-stdin"); });
    *argv = readFile(cmdline).replace('\0', ' ');
    p.write(password.toUtf8() + "\n");
    p.closeWriteChannel();
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        run.timedOut = true;
    }
    run.out = QString::fromUtf8(p.readAllStandardOutput());
    run.err = QString::fromUtf8(p.readAllStandardError());
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return run;
}

// --password-stdin packs, tests and restores as --password does, and the
// password never stands in the program's command line.
TEST_F(BackupToolsTest, PasswordFromStandardInputStaysOutOfTheProcessList)
{
    const QString password = QStringLiteral("Пароль№1");
    writeFile(path(QStringLiteral("src/1Cv8.1CD")), mixedBytes(2 * 1024 * 1024, 21));
    writeFile(path(QStringLiteral("src/Журнал/лог.txt")), textBytes(40000, 22));
    const QString archive = path(QStringLiteral("backup.zip"));
    const QString dest = path(QStringLiteral("dest"));
    const QList<QStringList> commands = {
        {path(QStringLiteral("src")), archive, QStringLiteral("--password-stdin")},
        {QStringLiteral("--test"), archive, QStringLiteral("--password-stdin")},
        {QStringLiteral("--extract"), archive, dest, QStringLiteral("--password-stdin")},
    };
    for (const QStringList &args : commands) {
        QByteArray argv;
        const ToolRun run = runWithStdinPassword(args, password, &argv);
        EXPECT_EQ(run.exitCode, 0) << qPrintable(args.join(QLatin1Char(' '))) << ' ' << qPrintable(run.describe());
        EXPECT_TRUE(argv.contains("--password-stdin")) << argv.constData();
        EXPECT_FALSE(argv.contains(password.toUtf8()) || argv.contains(toCp1251(password))) << argv.constData();
    }
    EXPECT_EQ(readFile(dest + QStringLiteral("/1Cv8.1CD")), mixedBytes(2 * 1024 * 1024, 21));
    EXPECT_EQ(readFile(dest + QStringLiteral("/Журнал/лог.txt")), textBytes(40000, 22));
    // Packed as with --password: the password's Windows-1251 bytes.
    const PeerRun python = runPeer(
        QStringLiteral("/usr/bin/python3"),
        {QStringLiteral("-c"),
         QStringLiteral("import sys,zipfile; z=zipfile.ZipFile(sys.argv[1]); "
                        "sys.exit(0 if z.read('1Cv8.1CD', pwd=bytes.fromhex(sys.argv[2]))==open(sys.argv[3],'rb').read() else 1)"),
         archive, QString::fromLatin1(toCp1251(password).toHex()), path(QStringLiteral("src/1Cv8.1CD"))});
    EXPECT_TRUE(python.ok()) << qPrintable(python.output);
}

// Command lines that are refused with the usage text (exit code 2), and
// nothing done: no archive made, nothing restored.
TEST_F(BackupToolsTest, WrongCommandLinesAreRefused)
{
    writeFile(path(QStringLiteral("src/a.txt")), textBytes(1000, 23));
    const QString archive = path(QStringLiteral("a.zip"));
    ASSERT_EQ(runTool(kZip, {path(QStringLiteral("src")), archive}).exitCode, 0);
    const QString dest = path(QStringLiteral("dest"));
    struct Case {
        QStringList args;
        QByteArray input;
        QString said;
    };
    const QList<Case> cases = {
        {{QStringLiteral("--test"), archive, QStringLiteral("--level"), QStringLiteral("3")}, {}, QStringLiteral("usage:")},
        {{QStringLiteral("--test"), archive, QStringLiteral("--password"), QStringLiteral("x"), QStringLiteral("--password-stdin")},
         "x\n", QStringLiteral("usage:")},
        {{QStringLiteral("--test"), QStringLiteral("--extract"), archive, dest}, {}, QStringLiteral("usage:")},
        {{QStringLiteral("--extract"), archive}, {}, QStringLiteral("usage:")},
        {{QStringLiteral("--test"), archive, QStringLiteral("--password-stdin")}, {},
         QStringLiteral("Пароль не прочитан со стандартного ввода")},
        {{path(QStringLiteral("src")), path(QStringLiteral("b.zip")), QStringLiteral("--password-stdin")}, "\n",
         QStringLiteral("Пароль со стандартного ввода пуст")},
    };
    for (const Case &c : cases) {
        const ToolRun run = runTool(kZip, c.args, 0, 60000, c.input);
        EXPECT_EQ(run.exitCode, 2) << qPrintable(c.args.join(QLatin1Char(' '))) << ' ' << qPrintable(run.describe());
        EXPECT_TRUE(run.err.contains(c.said)) << qPrintable(run.err);
    }
    EXPECT_EQ(folderEntries(m_dir.path()), (QStringList{QStringLiteral("a.zip"), QStringLiteral("src")}));
}

} // namespace
