// The file copy thread: what it copies, what it reports, and when it stops.

#include "filecopy/FileCopy.h"
#include "filecopy/FilesCopyMoveThread.h"
#include "filecopy/support/FileTestSupport.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSemaphore>
#include <QTemporaryDir>

#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <map>
#include <thread>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct ProgressEvent {
    QString file;
    qint64 position;
    qint64 total;
};

struct ResultEvent {
    QString file;
    bool isFolder;
    bool failed;
    quint32 code;
};

struct CopyRun {
    std::vector<ProgressEvent> progress;
    std::vector<ResultEvent> results;
    int returnValue = -1;
    QString fatal;
    bool terminated = false;
    bool handlersOnCreatingThread = true;
};

class CopyThreadTest : public ::testing::Test
{
protected:
    QString src(const QString &name = QString()) const
    {
        return m_dir.filePath(QStringLiteral("src")) + (name.isEmpty() ? QString() : QLatin1Char('/') + name);
    }
    QString dst(const QString &name = QString()) const
    {
        return m_dir.filePath(QStringLiteral("dst")) + (name.isEmpty() ? QString() : QLatin1Char('/') + name);
    }

    // Runs a copy to its end with the event loop turning, as the window does.
    // onProgress may set Cancel or change the files.
    CopyRun run(const QString &from, const QString &to, TFileWorkMode mode = fwmCopy,
                const QString &filter = QStringLiteral("*.*"),
                const std::function<void(const ProgressEvent &, bool &)> &onProgress = {})
    {
        CopyRun r;
        bool ended = false;
        QThread *ui = QThread::currentThread();
        auto *thread = new TFilesCopyMoveThread(true, from, to, filter, mode);
        thread->SetOnProgress([&](TFilesCopyMoveThread *, const QString &file, bool, TFileWorkMode, qint64 pos,
                                      qint64 total, bool &cancel) {
            if (QThread::currentThread() != ui)
                r.handlersOnCreatingThread = false;
            ProgressEvent e{file, pos, total};
            r.progress.push_back(e);
            if (onProgress)
                onProgress(e, cancel);
        });
        thread->SetOnFileResult([&](TFilesCopyMoveThread *, const QString &file, bool isFolder, TFileWorkMode,
                                    bool failed, quint32 code) {
            if (QThread::currentThread() != ui)
                r.handlersOnCreatingThread = false;
            r.results.push_back({file, isFolder, failed, code});
        });
        thread->SetOnTerminate([&](TFilesCopyMoveThread *t) {
            r.returnValue = t->ReturnValue();
            r.fatal = t->FatalException();
            r.terminated = t->Terminated();
            ended = true;
        });
        thread->SetFreeOnTerminate(true);
        QPointer<TFilesCopyMoveThread> guard(thread);
        thread->start();
        EXPECT_TRUE(waitUntil([&] { return ended; }, 60000));
        EXPECT_TRUE(waitUntil([&] { return guard.isNull(); }, 10000)) << "not freed on terminate";
        return r;
    }

    // The files of src/ in the order the thread will meet them.
    QStringList listing() const
    {
        QStringList files;
        TFilesCopyMoveThread::CollectFiles(src(), src(), files, QStringLiteral("*.*"));
        return files;
    }

    QTemporaryDir m_dir;
};

struct StartCase {
    const char *name;
    const char *source; // "%S" is the test's source folder, "%D" its destination
    const char *destination;
    int returnValue;
    const char *message;
};

class CopyThreadStartTest : public CopyThreadTest, public ::testing::WithParamInterface<StartCase>
{
};

TEST_P(CopyThreadStartTest, RunThatCannotStartEndsWithoutEvents)
{
    writeFile(src(QStringLiteral("a.txt")), QByteArrayLiteral("a"));
    QDir().mkpath(dst());
    ASSERT_TRUE(QFile::link(src(), m_dir.filePath(QStringLiteral("link"))));
    auto expand = [&](const char *s) {
        QString v = QString::fromLatin1(s);
        v.replace(QLatin1String("%S"), src());
        v.replace(QLatin1String("%D"), dst());
        v.replace(QLatin1String("%L"), m_dir.filePath(QStringLiteral("link")));
        v.replace(QLatin1String("%M"), m_dir.filePath(QStringLiteral("missing")));
        return v;
    };
    const StartCase &c = GetParam();
    const CopyRun r = run(expand(c.source), expand(c.destination));
    EXPECT_EQ(r.returnValue, c.returnValue);
    EXPECT_EQ(r.fatal, QString::fromLatin1(c.message));
    EXPECT_TRUE(r.progress.empty());
    EXPECT_TRUE(r.results.empty());
    EXPECT_EQ(readFile(src(QStringLiteral("a.txt"))), QByteArrayLiteral("a")); // nothing lost
    EXPECT_FALSE(QFile::exists(m_dir.filePath(QStringLiteral("missing"))));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CopyThreadStartTest,
    ::testing::Values(
        StartCase{"NoSource", "", "%D", 3, "Source or destination directories not specified."},
        StartCase{"BlankSource", "   ", "%D", 3, "Source or destination directories not specified."},
        StartCase{"NoDestination", "%S", " ", 3, "Source or destination directories not specified."},
        StartCase{"SameWithBlanks", "  %S ", "%S", 5, "Source and destination directories is equal."},
        // The same folder spelt differently would have been copied onto itself
        // (every file emptied): it counts as equal too.
        StartCase{"SameWithSlash", "%S/", "%S", 5, "Source and destination directories is equal."},
        StartCase{"SameThroughLink", "%L", "%S", 5, "Source and destination directories is equal."},
        // A missing source is a failure, not an empty copy.
        StartCase{"MissingSource", "%M", "%D", 2, "Source directory not found."}),
    [](const ::testing::TestParamInfo<StartCase> &tp) { return std::string(tp.param.name); });

TEST_F(CopyThreadTest, CopiesTheTreeKeepingTimesAndPermissions)
{
    const QStringList names = {QStringLiteral("1Cv8.1CD"), QStringLiteral("empty.dat"), QStringLiteral(".hidden"),
                               QStringLiteral("Отчёт за год.txt"), QStringLiteral("sub/b.bin"),
                               QStringLiteral("sub/deeper/c.txt")};
    for (int i = 0; i < names.size(); ++i) {
        writeFile(src(names[i]), i == 1 ? QByteArray() : mixedBytes(100000 * i + 7, static_cast<quint32>(i)));
        setFileTimes(src(names[i]), 1500000000 + i, 111111100, 1400000000 + i, 222222200);
    }
    ::chmod(QFile::encodeName(src(QStringLiteral("sub/b.bin"))).constData(), 0640);
    QDir().mkpath(src(QStringLiteral("empty-folder")));

    const QStringList order = listing();
    const CopyRun r = run(src(), dst());
    EXPECT_TRUE(r.handlersOnCreatingThread);
    EXPECT_EQ(r.returnValue, 0);
    EXPECT_FALSE(r.terminated);
    ASSERT_EQ(r.progress.size(), static_cast<size_t>(names.size()));
    ASSERT_EQ(r.results.size(), static_cast<size_t>(names.size()));
    for (int i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(i);
        const QString source = src(order[i]);
        EXPECT_EQ(r.progress[i].file, source);
        EXPECT_EQ(r.progress[i].position, i);
        EXPECT_EQ(r.progress[i].total, names.size() - 1);
        EXPECT_EQ(r.results[i].file, source);
        EXPECT_FALSE(r.results[i].failed);
        EXPECT_EQ(r.results[i].code, 0u);
        EXPECT_FALSE(r.results[i].isFolder);
    }
    for (int i = 0; i < names.size(); ++i) {
        const QString &name = names[i];
        SCOPED_TRACE(name.toStdString());
        // The times the source had before it was read (reading may move its
        // access time), checked before this test reads the copy.
        struct stat a, b;
        ASSERT_EQ(::stat(QFile::encodeName(src(name)).constData(), &a), 0);
        ASSERT_EQ(::stat(QFile::encodeName(dst(name)).constData(), &b), 0);
        EXPECT_EQ(b.st_mtim.tv_sec, 1400000000 + i);
        EXPECT_EQ(b.st_mtim.tv_nsec, 222222200);
        EXPECT_EQ(b.st_atim.tv_sec, 1500000000 + i);
        EXPECT_EQ(b.st_atim.tv_nsec, 111111100);
        EXPECT_EQ(a.st_mode, b.st_mode);
        EXPECT_EQ(readFile(dst(name)), readFile(src(name)));
    }
    // Nothing else is left at the destination.
    EXPECT_EQ(QDir(dst()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 5);
    EXPECT_FALSE(QFile::exists(dst(QStringLiteral("empty-folder")))); // only files are copied
}

TEST_F(CopyThreadTest, EmptySourceAndSingleFile)
{
    QDir().mkpath(src());
    CopyRun r = run(src(), dst());
    EXPECT_TRUE(r.progress.empty());
    EXPECT_TRUE(r.results.empty());
    EXPECT_EQ(r.returnValue, 0);
    EXPECT_TRUE(QFileInfo(dst()).isDir());

    writeFile(src(QStringLiteral("only.txt")), QByteArrayLiteral("x"));
    r = run(src(), dst());
    ASSERT_EQ(r.progress.size(), 1u);
    EXPECT_EQ(r.progress[0].position, 0);
    EXPECT_EQ(r.progress[0].total, 0);
}

TEST_F(CopyThreadTest, ReadOnlyFileAtTheDestinationIsReplaced)
{
    writeFile(src(QStringLiteral("a.txt")), QByteArrayLiteral("new content"));
    writeFile(dst(QStringLiteral("a.txt")), QByteArrayLiteral("old"));
    ::chmod(QFile::encodeName(dst(QStringLiteral("a.txt"))).constData(), 0444);
    NoPermissionOverride asUser;
    ASSERT_TRUE(asUser.active());
    const CopyRun r = run(src(), dst());
    ASSERT_EQ(r.results.size(), 1u);
    EXPECT_FALSE(r.results[0].failed) << r.results[0].code;
    EXPECT_EQ(readFile(dst(QStringLiteral("a.txt"))), QByteArrayLiteral("new content"));
}

class CopyThreadFailureTest : public CopyThreadTest, public ::testing::WithParamInterface<int>
{
};

// A file that cannot be read is reported by its own name and the real
// error, whether it comes first or later, and the run goes on.
TEST_P(CopyThreadFailureTest, FailureNamesTheFileAndItsError)
{
    for (const char *n : {"a.txt", "b.txt", "c.txt"})
        writeFile(src(QString::fromLatin1(n)), textBytes(1000, static_cast<quint32>(n[0])));
    const QStringList order = listing();
    const QString bad = order[GetParam()];
    NoPermissionOverride asUser;
    ASSERT_TRUE(asUser.active());
    ::chmod(QFile::encodeName(src(bad)).constData(), 0);

    const CopyRun r = run(src(), dst());
    ASSERT_EQ(r.results.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r.results[i].file, src(order[i]));
        const bool isBad = order[i] == bad;
        EXPECT_EQ(r.results[i].failed, isBad);
        EXPECT_EQ(r.results[i].code, isBad ? static_cast<quint32>(EACCES) : 0u);
        EXPECT_EQ(QFile::exists(dst(order[i])), !isBad);
    }
}

INSTANTIATE_TEST_SUITE_P(Positions, CopyThreadFailureTest, ::testing::Values(0, 1));

// A FIFO put in a listed file's place before its turn used to block the
// copy thread in open() for ever. It is a failed file now, reported with
// kNotARegularFile, without being opened for its data; the file it was to
// replace at the destination stays as it was, and the run goes on.
TEST_F(CopyThreadTest, FifoInAFilesPlaceFailsWithoutBlocking)
{
    for (const char *n : {"a.txt", "b.txt", "c.txt"})
        writeFile(src(QString::fromLatin1(n)), textBytes(1000, static_cast<quint32>(n[0])));
    const QStringList order = listing();
    // The destination already has the second file, so its copy waits for
    // its turn (files new to the destination may be copied ahead).
    writeFile(dst(order[1]), QByteArrayLiteral("last night's copy"));
    const QString fifo = src(order[1]);
    FifoWatchdog watchdog(fifo);
    const CopyRun r = run(src(), dst(), fwmCopy, QStringLiteral("*.*"), [&](const ProgressEvent &e, bool &) {
        if (e.position == 0) {
            QFile::remove(fifo);
            ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
        }
    });
    EXPECT_FALSE(watchdog.released()) << "the copy waited in open() on the FIFO";
    ASSERT_EQ(r.results.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r.results[i].file, src(order[i]));
        EXPECT_EQ(r.results[i].failed, i == 1);
        EXPECT_EQ(r.results[i].code, i == 1 ? static_cast<quint32>(kNotARegularFile) : 0u);
    }
    EXPECT_TRUE(fileErrorText(kNotARegularFile).contains(QStringLiteral("FIFO")));
    EXPECT_EQ(readFile(dst(order[1])), QByteArrayLiteral("last night's copy"));
    EXPECT_EQ(readFile(dst(order[2])), readFile(src(order[2])));
    EXPECT_EQ(QDir(dst()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size(), 3);
}

TEST_F(CopyThreadTest, CancelStopsBeforeTheFile)
{
    for (const char *n : {"a.txt", "b.txt", "c.txt", "d.txt"})
        writeFile(src(QString::fromLatin1(n)), QByteArray(n));
    const QStringList order = listing();
    const CopyRun r = run(src(), dst(), fwmCopy, QStringLiteral("*.*"), [&](const ProgressEvent &e, bool &cancel) {
        cancel = e.position == 1;
    });
    EXPECT_TRUE(r.terminated);
    ASSERT_EQ(r.progress.size(), 2u);
    ASSERT_EQ(r.results.size(), 1u);
    EXPECT_EQ(r.results[0].file, src(order[0]));
    // The files from the cancelled one on are not at the destination, even
    // those the copy had already made ahead of their turn.
    EXPECT_EQ(QDir(dst()).entryList(QDir::Files | QDir::Hidden), QStringList{order[0]});
    EXPECT_EQ(readFile(dst(order[0])), order[0].toLatin1());
}

TEST_F(CopyThreadTest, FileDeletedAfterTheListingIsSkipped)
{
    for (const char *n : {"a.txt", "b.txt", "c.txt"})
        writeFile(src(QString::fromLatin1(n)), QByteArray(n));
    const QStringList order = listing();
    const CopyRun r = run(src(), dst(), fwmCopy, QStringLiteral("*.*"), [&](const ProgressEvent &e, bool &) {
        if (e.position == 0)
            QFile::remove(src(order[1]));
    });
    ASSERT_EQ(r.results.size(), 2u);
    EXPECT_EQ(r.results[0].file, src(order[0]));
    EXPECT_EQ(r.results[1].file, src(order[2]));
    EXPECT_FALSE(r.results[1].failed);
    EXPECT_EQ(r.progress.size(), 2u);
    EXPECT_EQ(r.progress[1].position, 2);
    EXPECT_FALSE(QFile::exists(dst(order[1])));
}

TEST_F(CopyThreadTest, MoveModeMovesEveryFile)
{
    writeFile(src(QStringLiteral("a.txt")), QByteArrayLiteral("a"));
    writeFile(src(QStringLiteral("sub/b.txt")), QByteArrayLiteral("b"));
    writeFile(dst(QStringLiteral("sub/b.txt")), QByteArrayLiteral("old"));
    const CopyRun r = run(src(), dst(), fwmMove);
    ASSERT_EQ(r.results.size(), 2u);
    EXPECT_FALSE(r.results[0].failed);
    EXPECT_FALSE(r.results[1].failed);
    EXPECT_FALSE(QFile::exists(src(QStringLiteral("a.txt"))));
    EXPECT_FALSE(QFile::exists(src(QStringLiteral("sub/b.txt"))));
    EXPECT_EQ(readFile(dst(QStringLiteral("a.txt"))), QByteArrayLiteral("a"));
    EXPECT_EQ(readFile(dst(QStringLiteral("sub/b.txt"))), QByteArrayLiteral("b"));
}

// From tmpfs to the disk the kernel cannot copy_file_range (EXDEV) nor
// rename: the read/write loop and copy-then-delete take over.
TEST_F(CopyThreadTest, CopiesAndMovesAcrossFileSystems)
{
    QTemporaryDir shm(QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm/filecopy_tests-XXXXXX")
                                                                        : QDir::tempPath() + QStringLiteral("/filecopy_tests-XXXXXX"));
    ASSERT_TRUE(shm.isValid());
    const QByteArray big = mixedBytes(3 * 1024 * 1024 + 17, 21);
    writeFile(shm.filePath(QStringLiteral("src/base.1CD")), big);
    writeFile(shm.filePath(QStringLiteral("src/sub/small.txt")), QByteArrayLiteral("small"));
    setFileTimes(shm.filePath(QStringLiteral("src/base.1CD")), 1600000000, 0, 1600000001, 500);

    CopyRun r = run(shm.filePath(QStringLiteral("src")), dst(QStringLiteral("copy")));
    ASSERT_EQ(r.results.size(), 2u);
    EXPECT_FALSE(r.results[0].failed);
    EXPECT_FALSE(r.results[1].failed);
    EXPECT_EQ(readFile(dst(QStringLiteral("copy/base.1CD"))), big);
    EXPECT_EQ(QFileInfo(dst(QStringLiteral("copy/base.1CD"))).lastModified().toSecsSinceEpoch(), 1600000001);

    r = run(shm.filePath(QStringLiteral("src")), dst(QStringLiteral("moved")), fwmMove);
    ASSERT_EQ(r.results.size(), 2u);
    EXPECT_FALSE(r.results[0].failed);
    EXPECT_EQ(readFile(dst(QStringLiteral("moved/base.1CD"))), big);
    EXPECT_EQ(readFile(dst(QStringLiteral("moved/sub/small.txt"))), QByteArrayLiteral("small"));
    EXPECT_FALSE(QFile::exists(shm.filePath(QStringLiteral("src/base.1CD"))));
    EXPECT_FALSE(QFile::exists(shm.filePath(QStringLiteral("src/sub/small.txt"))));
}

TEST_F(CopyThreadTest, FilterAppliesToFilesAndFolders)
{
    // Folders are entered only when their names match too.
    for (const char *n : {"a.txt", "b.log", "sub/c.txt", "notes.txt/d.txt", "notes.txt/e.log"})
        writeFile(src(QString::fromLatin1(n)), QByteArray(n));
    const CopyRun r = run(src(), dst(), fwmCopy, QStringLiteral("*.txt"));
    QStringList copied;
    for (const ResultEvent &e : r.results)
        copied << e.file.mid(src().size() + 1);
    copied.sort();
    EXPECT_EQ(copied, (QStringList{QStringLiteral("a.txt"), QStringLiteral("notes.txt/d.txt")}));
}

// A sub-folder that cannot be listed used to be missed in silence; it is
// now reported as a failed folder before the files are copied.
TEST_F(CopyThreadTest, UnlistableSubFolderIsReported)
{
    writeFile(src(QStringLiteral("a.txt")), QByteArrayLiteral("a"));
    writeFile(src(QStringLiteral("locked/b.txt")), QByteArrayLiteral("b"));
    NoPermissionOverride asUser;
    ASSERT_TRUE(asUser.active());
    ::chmod(QFile::encodeName(src(QStringLiteral("locked"))).constData(), 0);
    const CopyRun r = run(src(), dst());
    ::chmod(QFile::encodeName(src(QStringLiteral("locked"))).constData(), 0755);
    ASSERT_EQ(r.results.size(), 2u);
    EXPECT_TRUE(r.results[0].isFolder);
    EXPECT_TRUE(r.results[0].failed);
    EXPECT_EQ(r.results[0].code, static_cast<quint32>(EACCES));
    EXPECT_EQ(r.results[0].file, src(QStringLiteral("locked/")));
    EXPECT_FALSE(r.results[1].failed);
    EXPECT_EQ(r.results[1].file, src(QStringLiteral("a.txt")));
}

// The creating thread may destroy a running copy without turning its event
// loop: the worker, waiting for its hand-off to that thread, gives it up and
// ends before its first file instead of waiting forever.
TEST_F(CopyThreadTest, DestroyingARunningCopyDoesNotHang)
{
    for (int i = 0; i < 50; ++i)
        writeFile(src(QStringLiteral("f%1.txt").arg(i)), QByteArray(1000, 'x'));
    bool called = false;
    QSemaphore handedOff;
    std::atomic<bool> workerEnded{false};
    auto thread = std::make_unique<TFilesCopyMoveThread>(true, src(), dst(), QStringLiteral("*.*"), fwmCopy);
    thread->SetOnProgress([&](TFilesCopyMoveThread *, const QString &, bool, TFileWorkMode, qint64, qint64, bool &) {
        called = true;
    });
    thread->SetOnHandOffWaiting([&] { handedOff.release(); });
    QObject::connect(thread.get(), &QThread::finished, thread.get(), [&] { workerEnded = true; }, Qt::DirectConnection);
    thread->start();

    // The worker now waits for this thread to run the first file's progress.
    ASSERT_TRUE(handedOff.tryAcquire(1, 60000));
    EXPECT_FALSE(thread->isFinished());
    thread.reset(); // returns once the worker has ended
    EXPECT_TRUE(workerEnded);
    QCoreApplication::processEvents();
    EXPECT_FALSE(called);
    EXPECT_EQ(handedOff.available(), 0); // nothing more was handed over
    // No file was copied by the worker, and the copies made ahead were removed.
    EXPECT_EQ(QDir(dst()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

TEST(CopyThreadDefaults, CreateValues)
{
    TFilesCopyMoveThread t(true);
    EXPECT_EQ(t.SourceDirectory(), QString());
    EXPECT_EQ(t.DestinationDirectory(), QString());
    EXPECT_EQ(t.FilesFilter(), QStringLiteral("*.*"));
    EXPECT_EQ(t.Mode(), fwmCopy);
    EXPECT_EQ(t.objectName(), QStringLiteral("TCopyThread"));
}

} // namespace

// A file written while it is copied gives a copy of data that never existed
// as a file: whatever the in-use detection saw, the copy fails with its
// reason and leaves no partial file; the file before and after it copy well.
TEST_F(CopyThreadTest, AFileWrittenWhileItIsCopiedFails)
{
    writeFile(src(QStringLiteral("a.txt")), "first");
    writeFile(src(QStringLiteral("1Cv8.1CD")), mixedBytes(64 << 20, 11));
    writeFile(src(QStringLiteral("z.txt")), "last");
    // A writer that opens, appends and closes again and again: no descriptor
    // stays open long enough for anyone to see it.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const QByteArray path = QFile::encodeName(src(QStringLiteral("1Cv8.1CD")));
        while (!stop.load()) {
            const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
            if (fd >= 0) {
                (void)::write(fd, "x", 1);
                ::close(fd);
            }
        }
    });
    const CopyRun r = run(src(), dst());
    stop.store(true);
    writer.join();
    std::map<QString, ResultEvent> byName;
    for (const ResultEvent &e : r.results)
        byName[QFileInfo(e.file).fileName()] = e;
    ASSERT_EQ(byName.size(), 3u);
    EXPECT_TRUE(byName[QStringLiteral("1Cv8.1CD")].failed);
    EXPECT_EQ(byName[QStringLiteral("1Cv8.1CD")].code, quint32(kFileChangedWhileCopied));
    EXPECT_TRUE(fileErrorText(kFileChangedWhileCopied).contains(QStringLiteral("изменился во время копирования")));
    EXPECT_FALSE(byName[QStringLiteral("a.txt")].failed);
    EXPECT_FALSE(byName[QStringLiteral("z.txt")].failed);
    EXPECT_FALSE(QFileInfo::exists(dst(QStringLiteral("1Cv8.1CD"))));
    EXPECT_EQ(folderEntries(dst()), (QStringList{QStringLiteral("a.txt"), QStringLiteral("z.txt")}));
}
