// Room on the backup folder's disk, measured on a real small file system.

#include "backup/DiskSpace.h"
#include "filecopy/support/FileTestSupport.h"
#include "support/SmallDisk.h"
#include "support/TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

TEST(DiskSpace, SizesReadAsAnAdministratorWritesThem)
{
    const struct {
        quint64 bytes;
        const char *text;
    } cases[] = {
        {0, "0 байт"}, {1023, "1023 байт"}, {1024, "1,0 КБ"}, {1536, "1,5 КБ"},
        {20u << 20, "20,0 МБ"}, {(5ull << 30) + (1ull << 29), "5,5 ГБ"}, {3ull << 40, "3,0 ТБ"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sizeText(c.bytes), QString::fromUtf8(c.text)) << c.bytes;
}

TEST(DiskSpace, ACopyAndItsArchiveMustFitBeforeAnythingIsWritten)
{
    SmallDisk disk(4u << 20); // 4 MiB
    if (!disk.available())
        GTEST_SKIP() << disk.why();
    const qint64 free = freeSpace(disk.path());
    ASSERT_GT(free, 3 << 20);
    ASSERT_LE(free, 4 << 20);

    // 1.5 MiB fits alone; with its archive (as much again and the records) it does not.
    EXPECT_TRUE(checkSpaceForCopy(3u << 19, false, disk.path()).enough);
    const SpaceCheck both = checkSpaceForCopy(3u << 19, true, disk.path());
    EXPECT_FALSE(both.enough);
    EXPECT_EQ(both.need, (3u << 19) + archiveAllowance(3u << 19));
    EXPECT_EQ(both.free, free);
    EXPECT_TRUE(both.reason.contains(disk.path())) << both.reason.toStdString();
    EXPECT_TRUE(both.reason.contains(u"нужно "_s + sizeText(both.need))) << both.reason.toStdString();
    EXPECT_TRUE(both.reason.contains(u"свободно "_s + sizeText(static_cast<quint64>(free)))) << both.reason.toStdString();

    // The archive of a backup lying there: the backup's own size counts.
    writeFile(disk.file(u"b/1Cv8.1CD"_s), randomBytes(2 << 20, 7));
    EXPECT_EQ(treeSize(disk.file(u"b"_s)), quint64(2 << 20));
    EXPECT_FALSE(checkSpaceForArchive(disk.file(u"b"_s), disk.path()).enough); // 2 MiB free, 2 MiB + 1 MiB needed
    EXPECT_TRUE(checkSpaceForArchive(disk.file(u"b/1Cv8.1CD"_s), QDir::tempPath()).enough);
}

TEST(DiskSpace, TreeSizesCountFilesOnlyAndDoNotFollowLinks)
{
    QTemporaryDir dir;
    writeFile(dir.filePath(u"a/one"_s), QByteArray(1000, 'x'));
    writeFile(dir.filePath(u"a/sub/two"_s), QByteArray(24, 'y'));
    ASSERT_EQ(::symlink("/usr", QFile::encodeName(dir.filePath(u"a/link"_s)).constData()), 0);
    EXPECT_EQ(treeSize(dir.filePath(u"a"_s)), 1024u);
    EXPECT_EQ(treeSize(dir.filePath(u"missing"_s)), 0u);
    EXPECT_EQ(freeSpace(dir.filePath(u"missing/deeper"_s)), -1);
}
