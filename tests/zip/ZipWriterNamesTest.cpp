// Entry names: a folder whose names IBM 866 cannot hold, names that differ
// only in what a careless stored form loses ("?" for every character IBM 866
// lacks, "\" taken for a separator, bytes that are not UTF-8), packed as the
// backup packs it and unpacked by the real readers, which must give back
// every file under its own name with its own content.

#include "common/TextCodec.h"
#include "zip/FWZipWriter.h"
#include "zip/support/ZipTestSupport.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

// One file of the fixture: its path below the folder as bytes on disk, the
// name the archive gives it back under, and whether that name is stored in
// UTF-8 with bit 11 (else in IBM 866 with bit 11 clear).
struct NameCase {
    const char *disk;
    const char *archive; // UTF-8
    bool utf8;
};

// "\" in a Linux name is stored as U+FF3C "＼"; a name that is not UTF-8 is
// read as Windows-1251; control characters are stored as their pictures; a
// name that changed and meets another name of its folder is numbered.
const NameCase kNames[] = {
    // "\" is a character of the name, not a separator, at the top and below.
    {"a/b.txt", "a/b.txt", false},
    {"a\\b.txt", "a＼b.txt", true},
    {"sub/a/b.txt", "sub/a/b.txt", false},
    {"sub/a\\b.txt", "sub/a＼b (2).txt", true},
    {"sub/a＼b.txt", "sub/a＼b.txt", true},
    // Characters of Windows-1251 that IBM 866 lacks, and characters of neither.
    {"отчет «итоги» — 2024.txt", "отчет «итоги» — 2024.txt", true},
    {"отчет „итоги“ – 2024.txt", "отчет „итоги“ – 2024.txt", true},
    {"日.txt", "日.txt", true},
    {"本.txt", "本.txt", true},
    {"what?.txt", "what?.txt", false},
    {"what¿.txt", "what¿.txt", true},
    // Outside the basic plane: two UTF-16 units each.
    {"😀.txt", "😀.txt", true},
    {"𝔘𝔫𝔦.txt", "𝔘𝔫𝔦.txt", true},
    // Plain Russian names: IBM 866 holds them.
    {"Ёлка отчёт №5.txt", "Ёлка отчёт №5.txt", false},
    {"Касса/Приход за январь.txt", "Касса/Приход за январь.txt", false},
    {".профиль", ".профиль", false},
    // Mixed folders.
    {"mixed/Ёж/日本/файл.txt", "mixed/Ёж/日本/файл.txt", true},
    {"mixed/Ёж/опись.txt", "mixed/Ёж/опись.txt", false},
    {"mixed/€uro/x.txt", "mixed/€uro/x.txt", true},
    // Names that are not UTF-8: Windows-1251 "Отчет.txt" next to the UTF-8
    // one, and the folder "Папка".
    {"Отчет.txt", "Отчет.txt", false},
    {"\xCE\xF2\xF7\xE5\xF2.txt", "Отчет (2).txt", false},
    {"\xCF\xE0\xEF\xEA\xE0/data.txt", "Папка/data.txt", false},
    {"raw\xFF\x98.bin", "rawя\xC2\x98.bin", true},
    // A control character, which unzip drops.
    {"tab\tname.txt", "tab␉name.txt", true},
    {"tabname.txt", "tabname.txt", false},
};

// Creates a file at a path given as bytes, with its folders.
void writeNative(const QByteArray &path, const QByteArray &content)
{
    for (qsizetype slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1))
        ::mkdir(path.left(slash).constData(), 0755);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path.constData();
    ASSERT_EQ(::write(fd, content.constData(), static_cast<size_t>(content.size())), content.size());
    ::close(fd);
}

// Each file's content names it, so a file that comes back under another's
// name shows.
QByteArray contentOf(const NameCase &c)
{
    return QByteArray("content of ") + c.disk + '\n' + textBytes(3000, static_cast<quint32>(qHash(QByteArray(c.disk))));
}

struct BuildCase {
    const char *name;
    TCompressionLevel level;
    const char *password;
    bool descriptor;
    int threads;
};

void PrintTo(const BuildCase &c, std::ostream *os) { *os << c.name; }

class ZipNamesTest : public ::testing::TestWithParam<BuildCase>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        for (const NameCase &c : kNames) {
            writeNative(src() + '/' + c.disk, contentOf(c));
            m_expected.insert(QString::fromUtf8(c.archive), contentOf(c));
        }
    }
    // Names that are not UTF-8 are beyond QTemporaryDir.
    void TearDown() override { removeTree(QFile::encodeName(m_dir.path())); }

    QByteArray src() const { return QFile::encodeName(m_dir.filePath(QStringLiteral("src"))); }
    QString archive() const { return m_dir.filePath(QStringLiteral("names.zip")); }

    // Packs the folder as the backup does it; with a password every entry is
    // encrypted and, with descriptor, has a data descriptor.
    void build(const BuildCase &b, TFWZipWriter &zip)
    {
        zip.SetThreads(b.threads);
        zip.SetDefaultCompressionLevel(b.level);
        ASSERT_EQ(zip.AddFolder(QString(), QFile::decodeName(src()), QString(), true),
                  static_cast<int>(std::size(kNames)));
        for (int i = 0; i < zip.Count(); ++i) {
            zip.GetItem(i)->SetPassword(QString::fromLatin1(b.password));
            zip.GetItem(i)->SetNeedDescriptor(b.descriptor);
        }
        ASSERT_EQ(zip.BuildZip(archive()), brDone) << qPrintable(zip.LastError());
    }

    QTemporaryDir m_dir;
    QMap<QString, QByteArray> m_expected;
};

TEST_P(ZipNamesTest, EveryReaderGivesBackEveryFileUnderItsOwnName)
{
    const BuildCase &b = GetParam();
    TFWZipWriter zip;
    build(b, zip);
    if (HasFatalFailure())
        return;
    for (const Unpacked &u : unpackWithReaders(archive(), m_dir.filePath(QStringLiteral("out")), b.password)) {
        SCOPED_TRACE(u.reader.toStdString());
        // unzip warns about the local names of IBM 866 entries with a data
        // descriptor, and restores them under their central names.
        const bool warned = b.descriptor && u.reader == QLatin1String("unzip") && onlyLocalNameWarnings(archive(), u.run);
        EXPECT_TRUE(u.run.exitCode == 0 || warned) << qPrintable(u.run.output.left(3000));
        EXPECT_EQ(u.files.keys(), m_expected.keys());
        for (auto it = m_expected.cbegin(); it != m_expected.cend(); ++it)
            EXPECT_EQ(u.files.value(it.key()), it.value()) << qPrintable(it.key());
    }
    // The integrity tests agree (against copies under names Python can open),
    // and a wrong password is refused.
    Manifest manifest;
    int n = 0;
    for (const NameCase &c : kNames) {
        const QString copy = m_dir.filePath(QStringLiteral("copies/%1").arg(n++));
        writeFile(copy, contentOf(c));
        manifest.insert(QString::fromUtf8(c.archive), copy);
    }
    EXPECT_EQ(checkWithReaders(archive(), manifest, QByteArray(b.password)), QString());
    if (*b.password) {
        EXPECT_EQ(checkRefusedPassword(archive(), QByteArrayLiteral("wrong")), QString());
    }
}

// The stored form of every name: IBM 866 with bit 11 clear where IBM 866
// holds the name, else UTF-8 with bit 11; the same name and flags in the local
// header; the Info-ZIP Unicode Path field with the UTF-8 name in the central
// header of every name with bytes above 0x7F, and in the local one too but
// for an IBM 866 name with a data descriptor, whose local header holds the
// NTFS field instead. With a password and a descriptor (what the backup asks
// for) the flags are 0x0009 and 0x0809.
TEST_P(ZipNamesTest, EachNameIsStoredInIbm866OrElseInUtf8WithBit11)
{
    const BuildCase &b = GetParam();
    TFWZipWriter zip;
    build(b, zip);
    if (HasFatalFailure())
        return;
    const ZipLayout z = readZipLayout(archive());
    ASSERT_EQ(z.error, QString());
    ASSERT_EQ(z.entries.size(), std::size(kNames));
    QMap<QString, const ZipCentral *> byName;
    for (const ZipCentral &e : z.entries)
        byName.insert(e.flags & 0x0800 ? QString::fromUtf8(e.name) : fromCp866(e.name), &e);
    ASSERT_EQ(byName.size(), static_cast<qsizetype>(std::size(kNames)));

    for (const NameCase &c : kNames) {
        const QString name = QString::fromUtf8(c.archive);
        SCOPED_TRACE(c.archive);
        const ZipCentral *e = byName.value(name);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ((e->flags & 0x0800) != 0, c.utf8);
        EXPECT_EQ(e->name, c.utf8 ? name.toUtf8() : toCp866(name));
        EXPECT_EQ(e->local.name, e->name);
        EXPECT_EQ(e->local.flags, e->flags);
        EXPECT_EQ(e->versionMadeBy, 63);
        if (*b.password && b.descriptor && b.level == clDefault) {
            EXPECT_EQ(e->flags, c.utf8 ? 0x0809 : 0x0009);
        }

        const bool high = std::any_of(e->name.cbegin(), e->name.cend(),
                                      [](char ch) { return static_cast<unsigned char>(ch) >= 0x80; });
        const ZipExtra *unicode = e->extra(0x7075);
        const ZipExtra *localUnicode = nullptr;
        for (const ZipExtra &x : e->local.extras) {
            if (x.tag == 0x7075)
                localUnicode = &x;
        }
        if (!high) {
            EXPECT_EQ(unicode, nullptr);
            EXPECT_EQ(localUnicode, nullptr);
            continue;
        }
        ASSERT_NE(unicode, nullptr);
        if (b.descriptor && !c.utf8) {
            EXPECT_EQ(localUnicode, nullptr);
            ASSERT_EQ(e->local.extras.size(), 1u);
            EXPECT_EQ(e->local.extras[0].tag, 0x000A);
            ASSERT_NE(e->extra(0x000A), nullptr);
            EXPECT_EQ(e->local.extras[0].data, e->extra(0x000A)->data);
        } else {
            ASSERT_NE(localUnicode, nullptr);
            EXPECT_EQ(localUnicode->data, unicode->data);
        }
        ASSERT_GE(unicode->data.size(), 5);
        EXPECT_EQ(unicode->data[0], 1);
        EXPECT_EQ(le32(unicode->data, 1),
                  static_cast<quint32>(crc32(0, reinterpret_cast<const Bytef *>(e->name.constData()),
                                             static_cast<uInt>(e->name.size()))));
        EXPECT_EQ(unicode->data.mid(5), name.toUtf8());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Builds, ZipNamesTest,
    ::testing::Values(BuildCase{"DefaultLevel", clDefault, "", false, 0},
                      BuildCase{"PasswordWithDescriptor", clDefault, "s3cret", true, 0},
                      BuildCase{"PasswordWithoutDescriptor", clDefault, "s3cret", false, 1},
                      BuildCase{"StoredWithPasswordAndDescriptor", clNone, "s3cret", true, 0}),
    [](const ::testing::TestParamInfo<BuildCase> &tp) { return std::string(tp.param.name); });

// Names given by a caller meet names already taken, as files or as folders:
// the later one is numbered, and a folder that meets a file moves all its
// entries to one numbered folder.
TEST(ZipNames, NamesTakenByOtherEntriesAreNumbered)
{
    QTemporaryDir dir;
    const QString one = dir.filePath(QStringLiteral("one.txt"));
    const QString two = dir.filePath(QStringLiteral("two.txt"));
    writeFile(one, QByteArrayLiteral("one"));
    writeFile(two, QByteArrayLiteral("two"));
    writeFile(dir.filePath(QStringLiteral("tree/t.txt")), QByteArrayLiteral("tree"));
    const QString slash = dir.filePath(QStringLiteral("back\\slash.txt"));
    writeFile(slash, QByteArrayLiteral("slash"));

    TFWZipWriter zip;
    struct Add {
        QString path;
        QString name;
        QString expected;
    };
    const Add adds[] = {
        {one, QStringLiteral("a.txt"), QStringLiteral("a.txt")},
        {two, QStringLiteral("a.txt"), QStringLiteral("a (2).txt")},
        {two, QStringLiteral("a.txt"), QStringLiteral("a (3).txt")},
        {one, QStringLiteral("d"), QStringLiteral("d")},
        {two, QStringLiteral("d\\e.txt"), QStringLiteral("d (2)/e.txt")},
        {one, QStringLiteral("d/f.txt"), QStringLiteral("d (2)/f.txt")},
        {one, QStringLiteral("x/y.txt"), QStringLiteral("x/y.txt")},
        {two, QStringLiteral("x"), QStringLiteral("x (2)")},
        // The file's own name: "\" is a character of it.
        {slash, QString(), QStringLiteral("back＼slash.txt")},
    };
    Manifest manifest;
    for (const Add &a : adds) {
        const int index = zip.AddFile(a.path, a.name);
        ASSERT_GE(index, 0);
        EXPECT_EQ(zip.GetItem(index)->FileName(), a.expected);
        manifest.insert(a.expected, a.path);
    }
    // A folder added under a name that a file has.
    EXPECT_EQ(zip.AddFolder(QStringLiteral("d"), dir.filePath(QStringLiteral("tree"))), 1);
    EXPECT_EQ(zip.GetItem(zip.Count() - 1)->FileName(), QStringLiteral("d (2)/t.txt"));
    manifest.insert(QStringLiteral("d (2)/t.txt"), dir.filePath(QStringLiteral("tree/t.txt")));

    const QString archive = dir.filePath(QStringLiteral("taken.zip"));
    ASSERT_EQ(zip.BuildZip(archive), brDone);
    for (const Unpacked &u : unpackWithReaders(archive, dir.filePath(QStringLiteral("out")))) {
        SCOPED_TRACE(u.reader.toStdString());
        EXPECT_EQ(u.run.exitCode, 0) << qPrintable(u.run.output.left(3000));
        EXPECT_EQ(u.files.keys(), manifest.keys());
        for (auto it = manifest.cbegin(); it != manifest.cend(); ++it)
            EXPECT_EQ(u.files.value(it.key()), readFile(it.value())) << qPrintable(it.key());
    }
}

} // namespace
