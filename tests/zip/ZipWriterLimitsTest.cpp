// ZIP64 records appear exactly where a count or a size needs them.

#include "zip/FWZipWriter.h"
#include "zip/support/ZipTestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <QDir>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

quint64 le64(const QByteArray &b, qsizetype at)
{
    quint64 v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(b[at + i]);
    return v;
}

struct CountCase {
    int entries;
    bool zip64;
    quint16 endCount;
};

class ZipEntryCountTest : public ::testing::TestWithParam<CountCase>
{
};

TEST_P(ZipEntryCountTest, Zip64EndRecordsOnlyAbove65535Entries)
{
    const CountCase &c = GetParam();
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("one.txt"));
    writeFile(file, QByteArrayLiteral("1C"));
    TFWZipWriter zip;
    Manifest expected;
    for (int i = 0; i < c.entries; ++i) {
        const QString name = QStringLiteral("d%1/f%2.txt").arg(i / 1000).arg(i);
        ASSERT_EQ(zip.AddFile(file, name), i);
        expected.insert(name, file);
    }
    const QString archive = dir.filePath(QStringLiteral("many.zip"));
    ASSERT_EQ(zip.BuildZip(archive), brDone);

    const ZipLayout z = readZipLayout(archive);
    ASSERT_EQ(z.error, QString());
    EXPECT_EQ(z.entries.size(), static_cast<size_t>(c.entries));
    EXPECT_EQ(z.hasZip64End, c.zip64);
    EXPECT_EQ(z.hasZip64Locator, c.zip64);
    EXPECT_EQ(z.endEntriesOnDisk, c.endCount);
    EXPECT_EQ(z.endEntriesTotal, c.endCount);
    if (c.zip64) {
        EXPECT_EQ(z.zip64Entries, static_cast<quint64>(c.entries));
        EXPECT_EQ(z.zip64VersionNeeded, 20);
    }
    for (const ZipCentral &e : z.entries) {
        ASSERT_EQ(e.versionNeeded, 20);
        ASSERT_EQ(e.extra(0x0001), nullptr);
    }
    EXPECT_EQ(checkWithReaders(archive, expected), QString());
}

INSTANTIATE_TEST_SUITE_P(Limits, ZipEntryCountTest,
                         ::testing::Values(CountCase{65535, false, 0xFFFF}, CountCase{65536, true, 0xFFFF}));

// A folder for a sparse file whose holes read fast: on tmpfs a hole reads as
// the shared zero page, where a disk file system fills the page cache.
QString sparseFriendlyTemp()
{
    struct statfs fs;
    if (::statfs("/dev/shm", &fs) == 0 && fs.f_type == TMPFS_MAGIC && ::access("/dev/shm", W_OK) == 0)
        return QStringLiteral("/dev/shm/zip_tests-XXXXXX");
    return QDir::tempPath() + QStringLiteral("/zip_tests-XXXXXX");
}

// An entry over 4 GiB: a sparse file keeps this quick (holes cost no disk,
// and zeros deflate at level 1 to a few megabytes).
TEST(ZipLargeEntry, SizesOver4GiBUseZip64Fields)
{
    QTemporaryDir dir(sparseFriendlyTemp());
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("src/huge.1CD"));
    const quint64 size = 0x100000000ULL + 3 * 1024 * 1024 + 5;
    const QByteArray head = textBytes(4096, 1);
    const QByteArray tail = textBytes(100000, 2);
    writeFile(file, head);
    {
        const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        ASSERT_EQ(::pwrite(fd, tail.constData(), static_cast<size_t>(tail.size()),
                           static_cast<off_t>(size - static_cast<quint64>(tail.size()))),
                  tail.size());
        ::close(fd);
    }
    writeFile(dir.filePath(QStringLiteral("src/small.txt")), textBytes(1000, 3));

    TFWZipWriter zip;
    zip.SetDefaultCompressionLevel(clLevel1);
    ASSERT_EQ(zip.AddFolder(QString(), dir.filePath(QStringLiteral("src"))), 2);
    const QString archive = dir.filePath(QStringLiteral("huge.zip"));
    ASSERT_EQ(zip.BuildZip(archive), brDone);

    const ZipLayout z = readZipLayout(archive);
    ASSERT_EQ(z.error, QString());
    ASSERT_EQ(z.entries.size(), 2u);
    for (const ZipCentral &e : z.entries) {
        if (e.name != "huge.1CD") {
            EXPECT_EQ(e.versionNeeded, 20);
            continue;
        }
        EXPECT_EQ(e.versionNeeded, 45);
        EXPECT_EQ(e.local.versionNeeded, 45);
        EXPECT_EQ(e.uncompressed, 0xFFFFFFFFu);
        EXPECT_EQ(e.realUncompressed, size);
        EXPECT_LT(e.compressed, 0xFFFFFFFFu); // only the size that needs it is moved out
        const ZipExtra *central64 = e.extra(0x0001);
        ASSERT_NE(central64, nullptr);
        EXPECT_EQ(central64->data.size(), 8);
        // The local header holds both sizes in its ZIP64 field.
        EXPECT_EQ(e.local.uncompressed, 0xFFFFFFFFu);
        EXPECT_EQ(e.local.compressed, e.compressed);
        ASSERT_EQ(e.local.extras.size(), 1u);
        EXPECT_EQ(e.local.extras[0].tag, 0x0001);
        ASSERT_EQ(e.local.extras[0].data.size(), 16);
        EXPECT_EQ(le64(e.local.extras[0].data, 0), size);
        EXPECT_EQ(le64(e.local.extras[0].data, 8), e.realCompressed);
    }
    EXPECT_FALSE(z.hasZip64End); // the directory itself is small and near the start

    EXPECT_EQ(checkWithReaders(archive, {{QStringLiteral("huge.1CD"), file},
                                         {QStringLiteral("small.txt"), dir.filePath(QStringLiteral("src/small.txt"))}}),
              QString());
    QFile::remove(archive);
    QFile::remove(file);
}

} // namespace
