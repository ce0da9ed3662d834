// Archives built with every combination the backup can ask for are read back
// by the real readers (Info-ZIP unzip, 7-Zip, bsdtar, Python's zipfile) and
// compared with their sources byte for byte.

#include "common/TextCodec.h"
#include "zip/FWZipWriter.h"
#include "zip/support/ZipTestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

struct ReaderCase {
    const char *name;
    TCompressionLevel level;
    const char *password;
    bool descriptor;
    bool utf8;
    int threads;
};

void PrintTo(const ReaderCase &c, std::ostream *os) { *os << c.name; }

class ZipReadersTest : public ::testing::TestWithParam<ReaderCase>
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        const QString src = s_dir->filePath(QStringLiteral("src"));
        // Sizes around the writer's 1 MiB work unit and the 64 KiB report
        // buffers, an empty file, a hidden one, a Cyrillic name, sub-folders.
        const QList<QPair<QString, QByteArray>> files = {
            {QStringLiteral("1Cv8.1CD"), mixedBytes(5 * 1024 * 1024 + 12345, 1)},
            {QStringLiteral("exact1MiB.bin"), textBytes(1024 * 1024, 2)},
            {QStringLiteral("exact2MiB.bin"), mixedBytes(2 * 1024 * 1024, 3)},
            {QStringLiteral("report.txt"), textBytes(300000, 4)},
            {QStringLiteral("empty.dat"), QByteArray()},
            {QStringLiteral(".hidden"), QByteArrayLiteral("secret")},
            {QStringLiteral("Ёлка отчёт.txt"), textBytes(5000, 5)},
            {QStringLiteral("sub/deeper/b.bin"), randomBytes(70000, 6)},
            {QStringLiteral("sub/c.xml"), textBytes(65536, 7)},
        };
        for (const auto &f : files) {
            writeFile(src + QLatin1Char('/') + f.first, f.second);
            s_manifest.insert(f.first, src + QLatin1Char('/') + f.first);
        }
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
        s_manifest.clear();
    }

    static QTemporaryDir *s_dir;
    static Manifest s_manifest;
};

QTemporaryDir *ZipReadersTest::s_dir = nullptr;
Manifest ZipReadersTest::s_manifest;

TEST_P(ZipReadersTest, EveryReaderAcceptsTheArchiveAndItsContent)
{
    const ReaderCase &c = GetParam();
    TFWZipWriter zip;
    zip.SetThreads(c.threads);
    zip.SetUseUTF8String(c.utf8);
    zip.SetDefaultCompressionLevel(c.level);
    ASSERT_EQ(zip.AddFolder(QString(), s_dir->filePath(QStringLiteral("src")), QString(), true), s_manifest.size());
    for (int i = 0; i < zip.Count(); ++i) {
        zip.GetItem(i)->SetPassword(QString::fromLatin1(c.password));
        zip.GetItem(i)->SetNeedDescriptor(c.descriptor);
    }
    const QString archive = s_dir->filePath(QStringLiteral("%1.zip").arg(QLatin1String(c.name)));
    ASSERT_EQ(zip.BuildZip(archive), brDone) << qPrintable(zip.LastError());

    EXPECT_EQ(checkWithReaders(archive, s_manifest, QByteArray(c.password)), QString());
    if (*c.password) {
        EXPECT_EQ(checkRefusedPassword(archive, QByteArrayLiteral("wrong")), QString());
    }
    QFile::remove(archive);
}

INSTANTIATE_TEST_SUITE_P(
    Builds, ZipReadersTest,
    ::testing::Values(ReaderCase{"DefaultLevel", clDefault, "", false, false, 0},
                      ReaderCase{"Stored", clNone, "", false, false, 0},
                      ReaderCase{"Fastest", clFastest, "", false, false, 0},
                      ReaderCase{"Max", clMax, "", false, false, 0},
                      ReaderCase{"Level3", clLevel3, "", false, false, 0},
                      ReaderCase{"PasswordWithDescriptor", clDefault, "s3cret", true, false, 0},
                      ReaderCase{"PasswordWithoutDescriptor", clDefault, "s3cret", false, false, 0},
                      ReaderCase{"StoredWithPassword", clNone, "s3cret", true, false, 0},
                      ReaderCase{"Utf8Names", clDefault, "", false, true, 0},
                      ReaderCase{"OneThread", clDefault, "", false, false, 1},
                      ReaderCase{"OneThreadPasswordWithoutDescriptor", clDefault, "s3cret", false, false, 1},
                      ReaderCase{"FourThreads", clDefault, "s3cret", true, false, 4}),
    [](const ::testing::TestParamInfo<ReaderCase> &tp) { return std::string(tp.param.name); });

// A Cyrillic password is taken in Windows-1251, as a Windows user in Russia
// types it into any ZIP program.
TEST(ZipPassword, CyrillicPasswordIsWindows1251)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("src/data.txt"));
    writeFile(file, textBytes(100000, 9));
    TFWZipWriter zip;
    zip.AddFolder(QString(), dir.filePath(QStringLiteral("src")));
    const QString password = QStringLiteral("Пароль№1");
    zip.GetItem(0)->SetPassword(password);
    zip.GetItem(0)->SetNeedDescriptor(true);
    const QString archive = dir.filePath(QStringLiteral("out.zip"));
    ASSERT_EQ(zip.BuildZip(archive), brDone);

    const PeerRun python = runPeer(
        QStringLiteral("/usr/bin/python3"),
        {QStringLiteral("-c"),
         QStringLiteral("import sys,zipfile; z=zipfile.ZipFile(sys.argv[1]); "
                        "sys.exit(0 if z.read('data.txt', pwd=bytes.fromhex(sys.argv[2]))==open(sys.argv[3],'rb').read() else 1)"),
         archive, QString::fromLatin1(toCp1251(password).toHex()), file});
    EXPECT_TRUE(python.ok()) << qPrintable(python.output);
    EXPECT_EQ(checkRefusedPassword(archive, password.toUtf8()), QString());
}

} // namespace
