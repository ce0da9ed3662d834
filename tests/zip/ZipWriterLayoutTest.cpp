// The archive's bytes, read independently of the writer: flags, check bytes,
// sizes in the local header, descriptors, the NTFS times, names in IBM 866.

#include "zip/FWZipWriter.h"
#include "zip/support/ZipTestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <ctime>

using namespace dozorix;
using namespace dozorix::test;

namespace {


// Seconds since 1970 of a local wall-clock time.
qint64 localEpoch(int year, int month, int day, int hour, int minute, int second)
{
    struct tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return static_cast<qint64>(std::mktime(&t));
}

quint64 fileTime(qint64 sec, long nsec)
{
    return static_cast<quint64>(sec + 11644473600LL) * 10000000ULL + static_cast<quint64>(nsec / 100);
}

quint32 crcOf(const QByteArray &b)
{
    return static_cast<quint32>(crc32(0, reinterpret_cast<const Bytef *>(b.constData()), static_cast<uInt>(b.size())));
}

class ZipLayoutTest : public ::testing::Test
{
protected:
    QString src(const QString &name = QString()) const
    {
        return m_dir.filePath(QStringLiteral("src")) + (name.isEmpty() ? QString() : QLatin1Char('/') + name);
    }
    QString archive() const { return m_dir.filePath(QStringLiteral("out.zip")); }

    // Packs src/ as the backup does; fn adjusts the writer before the build.
    ZipLayout build(const std::function<void(TFWZipWriter &)> &fn = {})
    {
        TFWZipWriter zip;
        zip.AddFolder(QString(), src(), QString(), true);
        if (fn)
            fn(zip);
        const TBuildZipResult r = zip.BuildZip(archive());
        EXPECT_EQ(r, brDone) << qPrintable(zip.LastError());
        ZipLayout layout = readZipLayout(archive());
        EXPECT_EQ(layout.error, QString());
        return layout;
    }

    QTemporaryDir m_dir;
};

TEST_F(ZipLayoutTest, EncryptedEntryWithDescriptorAsTheBackupWritesIt)
{
    const QByteArray content = textBytes(200000, 11);
    writeFile(src(QStringLiteral("base.1CD")), content);
    const qint64 mtime = localEpoch(2024, 3, 5, 14, 37, 58);
    const qint64 atime = localEpoch(2024, 6, 1, 8, 0, 0);
    setFileTimes(src(QStringLiteral("base.1CD")), atime, 250000000, mtime, 123456700);

    const ZipLayout z = build([](TFWZipWriter &zip) {
        zip.GetItem(0)->SetPassword(QStringLiteral("pw"));
        zip.GetItem(0)->SetNeedDescriptor(true);
    });
    ASSERT_EQ(z.entries.size(), 1u);
    const ZipCentral &c = z.entries[0];
    EXPECT_EQ(c.flags, 0x0009);
    EXPECT_EQ(c.local.flags, 0x0009);
    EXPECT_EQ(c.method, 8);
    EXPECT_EQ(c.versionMadeBy, 63);
    EXPECT_EQ(c.versionNeeded, 20);
    EXPECT_EQ(c.local.versionNeeded, 20);
    EXPECT_EQ(c.externalAttributes, 0x20u);
    const quint16 dosTime = 14 * 2048 + 37 * 32 + 58 / 2;
    const quint16 dosDate = (2024 - 1980) * 512 + 3 * 32 + 5;
    EXPECT_EQ(c.time, dosTime);
    EXPECT_EQ(c.date, dosDate);

    // The local header carries the real CRC and sizes although bit 3 is set.
    EXPECT_EQ(c.crc, crcOf(content));
    EXPECT_EQ(c.local.crc, c.crc);
    EXPECT_EQ(c.uncompressed, static_cast<quint32>(content.size()));
    EXPECT_EQ(c.local.uncompressed, c.uncompressed);
    EXPECT_EQ(c.local.compressed, c.compressed);

    // The descriptor follows the data and repeats them.
    const QByteArray descriptor = readAt(archive(), c.local.dataOffset + c.compressed, 16);
    ASSERT_EQ(descriptor.size(), 16);
    EXPECT_EQ(le32(descriptor, 0), 0x08074B50u);
    EXPECT_EQ(le32(descriptor, 4), c.crc);
    EXPECT_EQ(le32(descriptor, 8), c.compressed);
    EXPECT_EQ(le32(descriptor, 12), c.uncompressed);

    // The check bytes of the encryption header are the DOS time, and the
    // rest decrypts to the deflate stream of the content.
    const QByteArray cipher = readAt(archive(), c.local.dataOffset, static_cast<qsizetype>(c.compressed));
    const QByteArray plain = pkwareDecrypt(QByteArrayLiteral("pw"), cipher);
    EXPECT_EQ(static_cast<unsigned char>(plain[10]), dosTime & 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(plain[11]), dosTime >> 8);
    QByteArray inflated(content.size() + 16, '\0');
    z_stream s{};
    inflateInit2(&s, -15);
    s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.constData()) + 12);
    s.avail_in = static_cast<uInt>(plain.size() - 12);
    s.next_out = reinterpret_cast<Bytef *>(inflated.data());
    s.avail_out = static_cast<uInt>(inflated.size());
    EXPECT_EQ(inflate(&s, Z_FINISH), Z_STREAM_END);
    inflated.truncate(static_cast<qsizetype>(s.total_out));
    inflateEnd(&s);
    EXPECT_EQ(inflated, content);

    // The NTFS field holds the file's times as 100-ns counts since 1601.
    const ZipExtra *ntfs = c.extra(0x000A);
    ASSERT_NE(ntfs, nullptr);
    ASSERT_EQ(ntfs->data.size(), 32);
    EXPECT_EQ(le16(ntfs->data, 4), 0x0001);
    EXPECT_EQ(le16(ntfs->data, 6), 24);
    EXPECT_EQ(le64(ntfs->data, 8), fileTime(mtime, 123456700));
    EXPECT_EQ(le64(ntfs->data, 16), fileTime(atime, 250000000));
    EXPECT_NE(le64(ntfs->data, 24), 0u);
    EXPECT_EQ(c.extra(0x0001), nullptr);
}

TEST_F(ZipLayoutTest, EncryptedEntryWithoutDescriptorChecksWithTheCrc)
{
    const QByteArray content = textBytes(3 * 1024 * 1024 + 7, 12);
    writeFile(src(QStringLiteral("a.txt")), content);
    const ZipLayout z = build([](TFWZipWriter &zip) { zip.GetItem(0)->SetPassword(QStringLiteral("pw")); });
    ASSERT_EQ(z.entries.size(), 1u);
    const ZipCentral &c = z.entries[0];
    EXPECT_EQ(c.flags, 0x0001);
    EXPECT_EQ(c.crc, crcOf(content));
    const QByteArray plain = pkwareDecrypt(QByteArrayLiteral("pw"), readAt(archive(), c.local.dataOffset, 12));
    EXPECT_EQ(static_cast<unsigned char>(plain[10]), (c.crc >> 16) & 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(plain[11]), c.crc >> 24);
}

struct EmptyCase {
    TCompressionLevel level;
    const char *password;
    quint32 compressed;
};

class ZipEmptyFileTest : public ZipLayoutTest, public ::testing::WithParamInterface<EmptyCase>
{
};

TEST_P(ZipEmptyFileTest, EmptyFileSizes)
{
    writeFile(src(QStringLiteral("empty")), QByteArray());
    const EmptyCase &e = GetParam();
    const ZipLayout z = build([&](TFWZipWriter &zip) {
        zip.GetItem(0)->SetCompressionLevel(e.level);
        zip.GetItem(0)->SetPassword(QString::fromLatin1(e.password));
    });
    ASSERT_EQ(z.entries.size(), 1u);
    EXPECT_EQ(z.entries[0].crc, 0u);
    EXPECT_EQ(z.entries[0].uncompressed, 0u);
    EXPECT_EQ(z.entries[0].compressed, e.compressed);
    EXPECT_EQ(checkWithReaders(archive(), {{QStringLiteral("empty"), src(QStringLiteral("empty"))}},
                               QByteArray(e.password)),
              QString());
}

INSTANTIATE_TEST_SUITE_P(Levels, ZipEmptyFileTest,
                         ::testing::Values(EmptyCase{clDefault, "", 2}, EmptyCase{clDefault, "pw", 14},
                                           EmptyCase{clNone, "", 0}, EmptyCase{clNone, "pw", 12}));

TEST_F(ZipLayoutTest, CompressionLevelTable)
{
    struct Row {
        TCompressionLevel level;
        quint16 flagBits;
        quint16 method;
    };
    const Row rows[] = {{clNone, 0, 0},   {clFastest, 6, 8}, {clDefault, 0, 8}, {clMax, 2, 8},
                        {clLevel1, 0, 8}, {clLevel5, 0, 8},  {clLevel9, 0, 8}};
    for (int i = 0; i < 7; ++i)
        writeFile(src(QStringLiteral("f%1.txt").arg(i)), textBytes(50000, static_cast<quint32>(i)));
    const ZipLayout z = build([&](TFWZipWriter &zip) {
        for (int i = 0; i < zip.Count(); ++i) {
            const int n = zip.GetItem(i)->FileName().mid(1, 1).toInt();
            zip.GetItem(i)->SetCompressionLevel(rows[n].level);
        }
    });
    ASSERT_EQ(z.entries.size(), 7u);
    for (const ZipCentral &c : z.entries) {
        const int n = QString::fromLatin1(c.name).mid(1, 1).toInt();
        SCOPED_TRACE(n);
        EXPECT_EQ(c.flags & 0x0006, rows[n].flagBits);
        EXPECT_EQ(c.local.flags, c.flags);
        EXPECT_EQ(c.method, rows[n].method);
    }
}

TEST_F(ZipLayoutTest, NamesInIbm866OrUtf8)
{
    writeFile(src(QStringLiteral("Ёлка.txt")), QByteArrayLiteral("x"));
    writeFile(src(QStringLiteral("Ёлка€.txt")), QByteArrayLiteral("y"));
    // IBM 866: Ё = F0, л = AB, к = AA, а = A0, with bit 11 clear. The euro
    // sign is not in it: that name is stored in UTF-8 with bit 11, not with
    // a "?" in its place.
    {
        const ZipLayout z = build();
        ASSERT_EQ(z.entries.size(), 2u);
        QMap<QByteArray, quint16> flags;
        for (const ZipCentral &e : z.entries) {
            flags.insert(e.name, e.flags);
            EXPECT_EQ(e.local.name, e.name);
        }
        ASSERT_TRUE(flags.contains(QByteArray("\xF0\xAB\xAA\xA0.txt")));
        EXPECT_EQ(flags.value(QByteArray("\xF0\xAB\xAA\xA0.txt")) & 0x0800, 0);
        ASSERT_TRUE(flags.contains(QStringLiteral("Ёлка€.txt").toUtf8()));
        EXPECT_EQ(flags.value(QStringLiteral("Ёлка€.txt").toUtf8()) & 0x0800, 0x0800);
    }
    {
        const ZipLayout z = build([](TFWZipWriter &zip) {
            // UTF-8 is a property of entries added after it is switched on.
            zip.SetUseUTF8String(true);
            zip.AddFile(zip.GetItem(0)->FilePath(), QStringLiteral("utf8/Ёлка.txt"));
        });
        ASSERT_EQ(z.entries.size(), 3u);
        EXPECT_EQ(z.entries[2].name, QStringLiteral("utf8/Ёлка.txt").toUtf8());
        EXPECT_EQ(z.entries[2].flags & 0x0800, 0x0800);
    }
}

TEST_F(ZipLayoutTest, FolderEntriesCarryTheDirectoryBit)
{
    writeFile(src(QStringLiteral("sub/x.txt")), QByteArrayLiteral("x"));
    QDir().mkpath(src(QStringLiteral("empty")));
    TFWZipWriter zip;
    zip.SetAlwaysAddEmptyFolder(true);
    EXPECT_EQ(zip.AddFolder(QStringLiteral("tree"), src()), 1);
    ASSERT_EQ(zip.BuildZip(archive()), brDone);
    const ZipLayout z = readZipLayout(archive());
    const Manifest expected{{QStringLiteral("tree/"), QString()},
                            {QStringLiteral("tree/sub/"), QString()},
                            {QStringLiteral("tree/sub/x.txt"), src(QStringLiteral("sub/x.txt"))},
                            {QStringLiteral("tree/empty/"), QString()}};
    ASSERT_EQ(z.entries.size(), static_cast<size_t>(expected.size()));
    for (const ZipCentral &c : z.entries) {
        const bool folder = c.name.endsWith('/');
        SCOPED_TRACE(c.name.constData());
        EXPECT_EQ((c.externalAttributes & 0x10) != 0, folder);
        if (folder) {
            EXPECT_EQ(c.compressed, 0u);
            EXPECT_EQ(c.uncompressed, 0u);
        }
    }
    EXPECT_EQ(checkWithReaders(archive(), expected), QString());
}

TEST_F(ZipLayoutTest, ArchiveCommentInIbm866)
{
    writeFile(src(QStringLiteral("a.txt")), QByteArrayLiteral("a"));
    const ZipLayout z = build([](TFWZipWriter &zip) { zip.SetComment(QStringLiteral("Бэкап")); });
    EXPECT_EQ(z.comment, QByteArray("\x81\xED\xAA\xA0\xAF"));
    EXPECT_FALSE(z.hasZip64End);
    EXPECT_EQ(z.endEntriesTotal, 1);
}

} // namespace
