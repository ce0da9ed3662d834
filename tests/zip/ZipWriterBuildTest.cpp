// How a build ends: entries that cannot be read, cancel, nothing to pack,
// progress reports, and the inputs that must not spoil an archive.

#include "zip/FWZipWriter.h"
#include "zip/support/ZipTestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct Event {
    QString file;
    int percent;
    int total;
    TProgressState state;
};

class ZipBuildTest : public ::testing::Test
{
protected:
    QString src(const QString &name = QString()) const
    {
        return m_dir.filePath(QStringLiteral("src")) + (name.isEmpty() ? QString() : QLatin1Char('/') + name);
    }
    QString archive() const { return m_dir.filePath(QStringLiteral("out.zip")); }

    // Three small files a.txt, b.txt, c.txt.
    Manifest writeAbc()
    {
        Manifest m;
        for (const char *n : {"a.txt", "b.txt", "c.txt"}) {
            const QString name = QString::fromLatin1(n);
            writeFile(src(name), textBytes(20000, static_cast<quint32>(n[0])));
            m.insert(name, src(name));
        }
        return m;
    }

    void record(TFWZipWriter &zip)
    {
        zip.SetOnProgress([this](TFWZipWriter *, const QString &file, quint8 percent, quint8 total, bool &,
                                 TProgressState state) {
            m_events.push_back({file, percent, total, state});
            if (std::this_thread::get_id() != m_thread)
                m_offThread = true;
        });
    }

    std::vector<TProgressState> statesOf(const QString &file) const
    {
        std::vector<TProgressState> out;
        for (const Event &e : m_events) {
            if (e.file == file)
                out.push_back(e.state);
        }
        return out;
    }

    QTemporaryDir m_dir;
    std::vector<Event> m_events;
    std::thread::id m_thread = std::this_thread::get_id();
    bool m_offThread = false;
};

TEST_F(ZipBuildTest, UnreadableFileIsLeftOutAndTheRestIsIntact)
{
    Manifest expected = writeAbc();
    NoPermissionOverride asUser;
    ASSERT_TRUE(asUser.active());
    ::chmod(QFile::encodeName(src(QStringLiteral("b.txt"))).constData(), 0);
    expected.remove(QStringLiteral("b.txt"));

    TFWZipWriter zip;
    ASSERT_EQ(zip.AddFolder(QString(), src()), 3);
    record(zip);
    EXPECT_EQ(zip.BuildZip(archive()), brPartialBuild);
    EXPECT_EQ(zip.ExceptionCount(), 1);
    for (int i = 0; i < zip.Count(); ++i) {
        const TFWZipWriterItem *item = zip.GetItem(i);
        if (item->FileName() == QLatin1String("b.txt")) {
            EXPECT_TRUE(item->BuildError().startsWith(
                QStringLiteral("Ошибка доступа к данным элемента №%1 \"b.txt\".\nEFOpenError: ").arg(i)))
                << qPrintable(item->BuildError());
        } else {
            EXPECT_EQ(item->BuildError(), QString());
        }
    }
    EXPECT_EQ(statesOf(QStringLiteral("b.txt")), (std::vector<TProgressState>{psStart, psEnd}));
    EXPECT_EQ(checkWithReaders(archive(), expected), QString());
}

TEST_F(ZipBuildTest, FileDeletedAfterListingIsLeftOut)
{
    Manifest expected = writeAbc();
    TFWZipWriter zip;
    ASSERT_EQ(zip.AddFolder(QString(), src()), 3);
    QFile::remove(src(QStringLiteral("c.txt")));
    expected.remove(QStringLiteral("c.txt"));
    EXPECT_EQ(zip.BuildZip(archive()), brPartialBuild);
    EXPECT_EQ(checkWithReaders(archive(), expected), QString());
}

TEST_F(ZipBuildTest, NothingToPackCreatesNoArchive)
{
    // A tree of empty folders gives no entries.
    QDir().mkpath(src(QStringLiteral("one/two")));
    QDir().mkpath(src(QStringLiteral("three")));
    TFWZipWriter empty;
    EXPECT_EQ(empty.AddFolder(QString(), src()), 0);
    EXPECT_EQ(empty.Count(), 0);
    EXPECT_EQ(empty.BuildZip(archive()), brFailed);
    EXPECT_FALSE(QFile::exists(archive()));

    // Every entry failing is the same: no archive.
    writeAbc();
    TFWZipWriter zip;
    ASSERT_EQ(zip.AddFolder(QString(), src()), 3);
    for (const char *n : {"a.txt", "b.txt", "c.txt"})
        QFile::remove(src(QString::fromLatin1(n)));
    EXPECT_EQ(zip.BuildZip(archive()), brFailed);
    EXPECT_EQ(zip.ExceptionCount(), 3);
    EXPECT_FALSE(QFile::exists(archive()));
}

struct CancelCase {
    const char *name;
    const char *file;
    TProgressState state;
};

class ZipCancelTest : public ZipBuildTest, public ::testing::WithParamInterface<CancelCase>
{
};

TEST_P(ZipCancelTest, CancelAbortsAndDeletesTheArchive)
{
    const CancelCase &c = GetParam();
    writeFile(src(QStringLiteral("a.txt")), textBytes(20000, 1));
    writeFile(src(QStringLiteral("big.1CD")), mixedBytes(6 * 1024 * 1024, 2));
    TFWZipWriter zip;
    zip.SetThreads(2);
    // The big file first, then the small one, whatever the listing order.
    zip.AddFile(src(QStringLiteral("big.1CD")));
    zip.AddFile(src(QStringLiteral("a.txt")));
    size_t cancelledAt = 0;
    zip.SetOnProgress([&](TFWZipWriter *, const QString &file, quint8 percent, quint8 total, bool &cancel,
                          TProgressState state) {
        m_events.push_back({file, percent, total, state});
        if (!cancelledAt && file == QLatin1String(c.file) && state == c.state) {
            cancel = true;
            cancelledAt = m_events.size();
        }
    });
    EXPECT_EQ(zip.BuildZip(archive()), brAborted);
    EXPECT_FALSE(QFile::exists(archive()));
    ASSERT_GT(cancelledAt, 0u);
    // After the cancel only the entry's end is reported (unless it was the end).
    std::vector<TProgressState> after;
    for (size_t i = cancelledAt; i < m_events.size(); ++i)
        after.push_back(m_events[i].state);
    if (c.state == psEnd) {
        EXPECT_TRUE(after.empty());
    } else {
        EXPECT_EQ(after, std::vector<TProgressState>{psEnd});
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, ZipCancelTest,
    ::testing::Values(CancelCase{"InProgressOfLargeEntry", "big.1CD", psInProgress},
                      CancelCase{"StartOfSecondEntry", "a.txt", psStart},
                      CancelCase{"EndOfLastEntry", "a.txt", psEnd}),
    [](const ::testing::TestParamInfo<CancelCase> &tp) { return std::string(tp.param.name); });

TEST_F(ZipBuildTest, ProgressComesOnTheCallingThreadInOrder)
{
    const QByteArray big = mixedBytes(4 * 1024 * 1024 + 1000, 3);
    writeFile(src(QStringLiteral("big.1CD")), big);
    writeFile(src(QStringLiteral("stored.bin")), randomBytes(200000, 4));
    TFWZipWriter zip;
    zip.SetThreads(2);
    zip.AddFile(src(QStringLiteral("big.1CD")));
    zip.AddFile(src(QStringLiteral("stored.bin")));
    zip.GetItem(1)->SetCompressionLevel(clNone);
    record(zip);
    ASSERT_EQ(zip.BuildZip(archive()), brDone);
    EXPECT_FALSE(m_offThread);

    const ZipLayout z = readZipLayout(archive());
    ASSERT_EQ(z.entries.size(), 2u);
    // Deflate output is reported per full 64 KiB buffer.
    const auto bigStates = statesOf(QStringLiteral("big.1CD"));
    ASSERT_GE(bigStates.size(), 4u);
    EXPECT_EQ(bigStates.front(), psStart);
    EXPECT_EQ(bigStates[1], psInitialization);
    EXPECT_EQ(bigStates[bigStates.size() - 2], psFinalization);
    EXPECT_EQ(bigStates.back(), psEnd);
    EXPECT_EQ(static_cast<quint32>(std::count(bigStates.begin(), bigStates.end(), psInProgress)),
              z.entries[0].compressed / 65536);

    // Stored data is reported per 65 535-byte block: 4 blocks for 200 000 bytes.
    std::vector<int> storedPercents;
    int lastEntryPercent = -1, lastTotal = -1;
    for (const Event &e : m_events) {
        EXPECT_GE(e.total, lastTotal);
        lastTotal = e.total;
        if (e.state == psInProgress && e.file == QLatin1String("big.1CD")) {
            EXPECT_GE(e.percent, lastEntryPercent);
            lastEntryPercent = e.percent;
        }
        if (e.state == psInProgress && e.file == QLatin1String("stored.bin"))
            storedPercents.push_back(e.percent);
    }
    EXPECT_EQ(storedPercents, (std::vector<int>{33, 66, 98, 100}));
    EXPECT_EQ(statesOf(QStringLiteral("stored.bin")),
              (std::vector<TProgressState>{psStart, psInitialization, psInProgress, psInProgress, psInProgress,
                                           psInProgress, psFinalization, psEnd}));
    EXPECT_EQ(m_events.back().total, 100);
    EXPECT_EQ(m_events.back().percent, 100);
}

TEST_F(ZipBuildTest, EntriesCannotBeChangedDuringTheBuild)
{
    writeAbc();
    TFWZipWriter zip;
    zip.AddFolder(QString(), src());
    zip.SetOnProgress([&](TFWZipWriter *sender, const QString &, quint8, quint8, bool &, TProgressState state) {
        if (state != psStart)
            return;
        for (int i = 0; i < sender->Count(); ++i) {
            sender->GetItem(i)->SetPassword(QStringLiteral("late"));
            sender->GetItem(i)->SetCompressionLevel(clNone);
        }
        EXPECT_EQ(sender->AddFile(src(QStringLiteral("a.txt")), QStringLiteral("again.txt")), -1);
        EXPECT_EQ(sender->BuildZip(archive() + QStringLiteral(".nested")), brFailed);
    });
    ASSERT_EQ(zip.BuildZip(archive()), brDone);
    EXPECT_EQ(zip.GetItem(0)->Password(), QString());
    const ZipLayout z = readZipLayout(archive());
    ASSERT_EQ(z.entries.size(), 3u);
    for (const ZipCentral &c : z.entries) {
        EXPECT_EQ(c.flags, 0);
        EXPECT_EQ(c.method, 8);
    }
    EXPECT_FALSE(QFile::exists(archive() + QStringLiteral(".nested")));
}

TEST_F(ZipBuildTest, ExistingArchiveIsReplaced)
{
    const Manifest expected = writeAbc();
    writeFile(archive(), randomBytes(3 * 1024 * 1024, 5));
    TFWZipWriter zip;
    zip.AddFolder(QString(), src());
    ASSERT_EQ(zip.BuildZip(archive()), brDone);
    EXPECT_EQ(checkWithReaders(archive(), expected), QString());
}

TEST_F(ZipBuildTest, ArchiveThatCannotBeCreatedIsAClearFailure)
{
    writeAbc();
    TFWZipWriter zip;
    zip.AddFolder(QString(), src());
    const QString bad = m_dir.filePath(QStringLiteral("no/such/folder/out.zip"));
    EXPECT_EQ(zip.BuildZip(bad), brFailed);
    EXPECT_TRUE(zip.LastError().contains(bad)) << qPrintable(zip.LastError());
    EXPECT_FALSE(QFile::exists(bad));
}

// A sub-folder that cannot be listed used to vanish from the archive with
// brDone; now its loss shows as brPartialBuild.
TEST_F(ZipBuildTest, UnlistableSubFolderMakesThePartialResult)
{
    Manifest expected = writeAbc();
    writeFile(src(QStringLiteral("locked/d.txt")), QByteArrayLiteral("d"));
    NoPermissionOverride asUser;
    ASSERT_TRUE(asUser.active());
    ::chmod(QFile::encodeName(src(QStringLiteral("locked"))).constData(), 0);
    TFWZipWriter zip;
    EXPECT_EQ(zip.AddFolder(QString(), src()), 3);
    EXPECT_EQ(zip.BuildZip(archive()), brPartialBuild);
    ::chmod(QFile::encodeName(src(QStringLiteral("locked"))).constData(), 0755);
    EXPECT_EQ(checkWithReaders(archive(), expected), QString());
}

struct ChangeCase {
    const char *name;
    TCompressionLevel level;
    qsizetype newSize;
    TBuildZipResult result;
};

class ZipChangedFileTest : public ZipBuildTest, public ::testing::WithParamInterface<ChangeCase>
{
};

// A file that changes size between the listing and the build is packed as it
// is then read, with sizes that match the data (stored entries, which must
// match the size they were opened with, are left out).
TEST_P(ZipChangedFileTest, SizesFollowTheDataRead)
{
    const ChangeCase &c = GetParam();
    writeFile(src(QStringLiteral("base.1CD")), textBytes(1500000, 6));
    writeFile(src(QStringLiteral("a.txt")), QByteArrayLiteral("a"));
    TFWZipWriter zip;
    zip.SetDefaultCompressionLevel(c.level);
    ASSERT_EQ(zip.AddFolder(QString(), src()), 2);
    writeFile(src(QStringLiteral("base.1CD")), textBytes(c.newSize, 7));
    EXPECT_EQ(zip.BuildZip(archive()), c.result);
    Manifest expected{{QStringLiteral("a.txt"), src(QStringLiteral("a.txt"))},
                      {QStringLiteral("base.1CD"), src(QStringLiteral("base.1CD"))}};
    EXPECT_EQ(checkWithReaders(archive(), expected), QString());
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ZipChangedFileTest,
    ::testing::Values(ChangeCase{"Grown", clDefault, 2500000, brDone},
                      ChangeCase{"Shrunk", clDefault, 1000, brDone},
                      ChangeCase{"GrownStored", clNone, 2500000, brDone}),
    [](const ::testing::TestParamInfo<ChangeCase> &tp) { return std::string(tp.param.name); });

struct ChangeWhileReadCase {
    const char *name;
    TCompressionLevel level;
    int threads;
    const char *change; // "truncate", "grow" or "rewrite" (same size, new bytes)
};

class ZipChangeWhileReadTest : public ZipBuildTest, public ::testing::WithParamInterface<ChangeWhileReadCase>
{
};

// A file that changes while it is being read (the build is at its first
// megabytes when it happens, the file is 24 MB) used to be packed as brDone
// with data that never existed as a file, unless it was stored and its size
// changed. Now the entry is left out, named with the change, the rest is
// packed and the build is brPartialBuild.
TEST_P(ZipChangeWhileReadTest, ChangedEntryIsLeftOut)
{
    const ChangeWhileReadCase &c = GetParam();
    const qsizetype size = 24 * 1024 * 1024;
    const QString big = src(QStringLiteral("base.1CD"));
    writeFile(big, textBytes(size, 11));
    writeFile(src(QStringLiteral("a.txt")), textBytes(3000, 12));
    // An old modification time, so that any write shows in it.
    setFileTimes(big, 1600000000, 0, 1600000000, 0);
    TFWZipWriter zip;
    zip.SetThreads(c.threads);
    zip.SetDefaultCompressionLevel(c.level);
    ASSERT_GE(zip.AddFile(big), 0);
    ASSERT_GE(zip.AddFile(src(QStringLiteral("a.txt"))), 0);
    bool changed = false;
    zip.SetOnProgress([&](TFWZipWriter *, const QString &file, quint8, quint8, bool &, TProgressState state) {
        if (changed || file != QLatin1String("base.1CD") || state != psInProgress)
            return;
        changed = true;
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        const QString change = QLatin1String(c.change);
        if (change == QLatin1String("truncate")) {
            ASSERT_TRUE(f.resize(1000));
        } else if (change == QLatin1String("grow")) {
            ASSERT_TRUE(f.seek(size));
            ASSERT_EQ(f.write(textBytes(8 * 1024 * 1024, 13)), 8 * 1024 * 1024);
        } else {
            ASSERT_TRUE(f.seek(size - 4096));
            ASSERT_EQ(f.write(QByteArray(4096, 'X')), 4096);
        }
    });
    EXPECT_EQ(zip.BuildZip(archive()), brPartialBuild);
    ASSERT_TRUE(changed) << "the build reported no progress of the big file";
    EXPECT_EQ(zip.ExceptionCount(), 1);
    EXPECT_TRUE(zip.GetItem(0)->BuildError().contains(QStringLiteral("изменился во время упаковки")))
        << qPrintable(zip.GetItem(0)->BuildError());
    EXPECT_EQ(zip.GetItem(1)->BuildError(), QString());
    EXPECT_EQ(checkWithReaders(archive(), {{QStringLiteral("a.txt"), src(QStringLiteral("a.txt"))}}), QString());
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ZipChangeWhileReadTest,
    ::testing::Values(ChangeWhileReadCase{"Truncated", clDefault, 1, "truncate"},
                      ChangeWhileReadCase{"TruncatedOnFourCores", clDefault, 4, "truncate"},
                      ChangeWhileReadCase{"Grown", clDefault, 1, "grow"},
                      ChangeWhileReadCase{"GrownOnFourCores", clLevel1, 4, "grow"},
                      ChangeWhileReadCase{"RewrittenSameSize", clDefault, 2, "rewrite"},
                      ChangeWhileReadCase{"RewrittenSameSizeStored", clNone, 1, "rewrite"}),
    [](const ::testing::TestParamInfo<ChangeWhileReadCase> &tp) { return std::string(tp.param.name); });

// A FIFO put in a listed file's place before the build used to block the
// build in open() for ever (the window would freeze). It is refused without
// being opened for its data, and named.
TEST_F(ZipBuildTest, FifoInAFilesPlaceIsLeftOutWithoutBlocking)
{
    Manifest expected = writeAbc();
    TFWZipWriter zip;
    ASSERT_EQ(zip.AddFolder(QString(), src()), 3);
    const QString fifo = src(QStringLiteral("b.txt"));
    ASSERT_TRUE(QFile::remove(fifo));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    expected.remove(QStringLiteral("b.txt"));
    {
        FifoWatchdog watchdog(fifo);
        EXPECT_EQ(zip.BuildZip(archive()), brPartialBuild);
        EXPECT_FALSE(watchdog.released()) << "the build waited in open() on the FIFO";
    }
    for (int i = 0; i < zip.Count(); ++i) {
        const TFWZipWriterItem *item = zip.GetItem(i);
        if (item->FileName() == QLatin1String("b.txt"))
            EXPECT_TRUE(item->BuildError().contains(QStringLiteral("не обычный файл"))) << qPrintable(item->BuildError());
        else
            EXPECT_EQ(item->BuildError(), QString());
    }
    EXPECT_EQ(checkWithReaders(archive(), expected), QString());
}

// A build over an archive that exists goes to a temporary file beside it:
// cancelled or failed, the old archive stays exactly as it was and no
// temporary file is left; done, the new one takes its place and keeps its
// permission bits.
TEST_F(ZipBuildTest, FailedBuildLeavesTheOldArchiveAsItWas)
{
    const Manifest expected = writeAbc();
    const QByteArray old = randomBytes(100000, 21);
    writeFile(archive(), old);
    ::chmod(QFile::encodeName(archive()).constData(), 0640);
    TFWZipWriter zip;
    ASSERT_EQ(zip.AddFolder(QString(), src()), 3);
    zip.SetOnProgress([](TFWZipWriter *, const QString &file, quint8, quint8, bool &cancel, TProgressState state) {
        cancel = file == QLatin1String("c.txt") && state == psFinalization;
    });
    EXPECT_EQ(zip.BuildZip(archive()), brAborted);
    EXPECT_EQ(readFile(archive()), old);
    EXPECT_EQ(folderEntries(m_dir.path()), (QStringList{QStringLiteral("out.zip"), QStringLiteral("src")}));

    zip.SetOnProgress({});
    ASSERT_EQ(zip.BuildZip(archive()), brDone);
    EXPECT_EQ(checkWithReaders(archive(), expected), QString());
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(archive()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(folderEntries(m_dir.path()), (QStringList{QStringLiteral("out.zip"), QStringLiteral("src")}));
}

TEST_F(ZipBuildTest, ArchiveInsideThePackedFolderIsNotPackedIntoItself)
{
    writeFile(src(QStringLiteral("a.txt")), textBytes(30000, 8));
    const QString inside = src(QStringLiteral("backup.zip"));
    writeFile(inside, randomBytes(500000, 9)); // last night's archive
    TFWZipWriter zip;
    ASSERT_EQ(zip.AddFolder(QString(), src()), 2);
    EXPECT_EQ(zip.BuildZip(inside), brPartialBuild);
    EXPECT_EQ(checkWithReaders(inside, {{QStringLiteral("a.txt"), src(QStringLiteral("a.txt"))}}), QString());
}

TEST_F(ZipBuildTest, BuildIntoADevice)
{
    const Manifest expected = writeAbc();
    TFWZipWriter zip;
    zip.AddFolder(QString(), src());
    QBuffer buffer;
    buffer.open(QIODevice::ReadWrite);
    ASSERT_EQ(zip.BuildZip(buffer), brDone);
    writeFile(archive(), buffer.data());
    EXPECT_EQ(checkWithReaders(archive(), expected), QString());

    // A build that fails leaves the device as it was.
    for (const char *n : {"a.txt", "b.txt", "c.txt"})
        QFile::remove(src(QString::fromLatin1(n)));
    QBuffer second;
    second.open(QIODevice::ReadWrite);
    EXPECT_EQ(zip.BuildZip(second), brFailed);
    EXPECT_EQ(second.size(), 0);

    QBuffer readOnly;
    readOnly.open(QIODevice::ReadOnly);
    EXPECT_EQ(zip.BuildZip(readOnly), brFailed);
    EXPECT_FALSE(zip.LastError().isEmpty());
}

TEST_F(ZipBuildTest, AddingFilesAndFolders)
{
    writeFile(src(QStringLiteral("a.txt")), QByteArrayLiteral("a"));
    writeFile(src(QStringLiteral("b.log")), QByteArrayLiteral("b"));
    writeFile(src(QStringLiteral("sub/c.txt")), QByteArrayLiteral("c"));
    writeFile(src(QStringLiteral("sub/d.log")), QByteArrayLiteral("d"));
    TFWZipWriter zip;
    // Names are relative to the folder, under the given relative path.
    EXPECT_EQ(zip.AddFolder(QStringLiteral("backup"), src(), QStringLiteral("*.txt"), false), 1);
    EXPECT_EQ(zip.GetItem(0)->FileName(), QStringLiteral("backup/a.txt"));
    EXPECT_EQ(zip.AddFolder(QString(), src(QStringLiteral("../src/./sub"))), 2);
    // A name cannot climb out of the folder it is unpacked to.
    EXPECT_EQ(zip.AddFile(src(QStringLiteral("a.txt")), QStringLiteral("..\\..\\etc\\a.txt")), 3);
    EXPECT_EQ(zip.GetItem(3)->FileName(), QStringLiteral("etc/a.txt"));
    EXPECT_EQ(zip.AddFile(src(QStringLiteral("a.txt"))), 4);
    EXPECT_EQ(zip.GetItem(4)->FileName(), QStringLiteral("a.txt"));
    EXPECT_EQ(zip.GetItem(4)->Size(), 1u);
    EXPECT_EQ(zip.AddFile(src(QStringLiteral("missing.txt"))), -1);
    EXPECT_EQ(zip.AddFile(src(QStringLiteral("sub"))), -1);
    EXPECT_EQ(zip.Count(), 5);
    EXPECT_EQ(zip.GetItem(5), nullptr);
    // Defaults are given to the entries added after them.
    zip.SetDefaultPassword(QStringLiteral("pw"));
    zip.SetDefaultDescriptor(true);
    zip.SetDefaultCompressionLevel(clMax);
    EXPECT_EQ(zip.AddFile(src(QStringLiteral("b.log"))), 5);
    EXPECT_EQ(zip.GetItem(5)->Password(), QStringLiteral("pw"));
    EXPECT_TRUE(zip.GetItem(5)->NeedDescriptor());
    EXPECT_EQ(zip.GetItem(5)->CompressionLevel(), clMax);
    EXPECT_EQ(zip.GetItem(0)->Password(), QString());
}

} // namespace
