#include "common/Stamps.h"

#include <gtest/gtest.h>

using namespace dozorix;

TEST(Stamps, RussianRegionalFormats)
{
    const QDateTime at(QDate(2026, 12, 9), QTime(1, 16, 36));
    EXPECT_EQ(LogStamp(at), QStringLiteral("09.12.2026 - 1:16:36 : "));
    EXPECT_EQ(TimeStamp(at), QStringLiteral("1:16:36 : "));
    EXPECT_EQ(DateTimeFileStamp(at), QStringLiteral("09122026_011636"));
    EXPECT_EQ(DateTimeFolderStamp(at), QStringLiteral("09_12_2026__01_16_36"));
}

TEST(Stamps, FolderStampMiddleFieldIsMinutes)
{
    const QDateTime at(QDate(2027, 3, 1), QTime(0, 5, 9));
    EXPECT_EQ(DateTimeFolderStamp(at), QStringLiteral("01_03_2027__00_05_09"));
    EXPECT_EQ(DateTimeFileStamp(QDateTime(QDate(2027, 3, 1), QTime(23, 5, 9))), QStringLiteral("01032027_230509"));
}

TEST(Stamps, FormatSize)
{
    struct Case {
        std::uint64_t bytes;
        const char *text;
    } cases[] = {
        {0, " bytes"},
        {1, "1 bytes"},
        {1024, "1024 bytes"},
        {1025, "1 KB"},
        {1536, "1.5 KB"},
        {1024000, "1000 KB"},
        {1024001, "1 MB"},
        {1024000000000ULL, "1000 GB"},
        {5000000000000ULL, "4.88 TB"},
        {1024000000001ULL, "1 TB"},
        {1029120, "1.01 MB"}, // 1.005 MB: the picture rounds half away from zero
        {UINT64_MAX, "18014398.51 TB"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(FormatSize(c.bytes), QString::fromUtf8(c.text)) << c.bytes;
}

TEST(Stamps, HashDotHashPicture)
{
    EXPECT_EQ(formatHashDotHash(0.5L), QStringLiteral(".5"));
    EXPECT_EQ(formatHashDotHash(0.004L), QString());
    EXPECT_EQ(formatHashDotHash(2.999L), QStringLiteral("3"));
    EXPECT_EQ(formatHashDotHash(12.10L), QStringLiteral("12.1"));
}
