// The restore of a backup archive: dozorix-zip --test and --extract on
// archives of the backup's writer (with a Russian password), of Info-ZIP zip
// and of 7-Zip, and on the archives of a bad night: a wrong password, a
// flipped byte, a full disk, names and links that lead out of the folder, a
// file already in the folder.

#include "common/TextCodec.h"
#include "zip/FWZipWriter.h"
#include "zip/support/ZipTestSupport.h"
#include "zip/ZipRestore.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace dozorix;
using namespace dozorix::test;

namespace {

const QString kZip = QStringLiteral(DOZORIX_PROGRAM_DIR "/dozorix-zip");
const QString kPassword = QStringLiteral("Пароль№1");

// A folder tree as it stands: every path below the folder with what it is
// ("dir", "link -> target", or the file's bytes).
QMap<QString, QByteArray> treeOf(const QString &folder)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString rel = QDir(folder).relativeFilePath(path);
        if (info.isSymLink())
            tree.insert(rel, "link -> " + QFile::encodeName(info.symLinkTarget()));
        else if (info.isDir())
            tree.insert(rel, "dir");
        else
            tree.insert(rel, readFile(path));
    }
    return tree;
}

qint64 mtimeNs(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
}

// What the tree of the round trip holds.
void makeTree(const QString &src)
{
    writeFile(src + QStringLiteral("/1Cv8.1CD"), mixedBytes(3 * 1024 * 1024 + 4321, 11));
    writeFile(src + QStringLiteral("/Отчёт за квартал.txt"), textBytes(200000, 12));
    writeFile(src + QStringLiteral("/日本語/中文 файл.bin"), randomBytes(1024 * 1024 + 17, 13));
    writeFile(src + QStringLiteral("/日本語/深い/😀 smile.txt"), QByteArrayLiteral("emoji\n"));
    writeFile(src + QStringLiteral("/Пустой.dat"), QByteArray());
    writeFile(src + QStringLiteral("/Вложенная/Ещё глубже/пусто"), QByteArray());
    writeFile(src + QStringLiteral("/.hidden"), QByteArrayLiteral("secret"));
    QDir().mkpath(src + QStringLiteral("/Пустая папка"));
    QDir().mkpath(src + QStringLiteral("/Вложенная/empty"));
    // Times of their own, not the moment of the test.
    setFileTimes(src + QStringLiteral("/1Cv8.1CD"), 1500000000, 0, 1600000000, 123456700);
    setFileTimes(src + QStringLiteral("/Отчёт за квартал.txt"), 1500000000, 0, 1200000001, 0);
}

enum class Packer { Writer, WriterNoPassword, InfoZip, SevenZip };

struct RoundTripCase {
    const char *name;
    Packer packer;
    const char *password; // as typed; "" for none
};

void PrintTo(const RoundTripCase &c, std::ostream *os) { *os << c.name; }

class ZipRestoreRoundTripTest : public ::testing::TestWithParam<RoundTripCase>
{
protected:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

// Packed as the backup packs (every entry encrypted with a data descriptor,
// the password's Windows-1251 bytes), or by another archiver, then read back
// and restored by dozorix-zip: the same tree, every byte, the times.
TEST_P(ZipRestoreRoundTripTest, RestoresTheTreeByteForByte)
{
    const RoundTripCase &c = GetParam();
    const QString src = path(QStringLiteral("src"));
    makeTree(src);
    const QString archive = path(QStringLiteral("backup.zip"));
    const QString password = QString::fromUtf8(c.password);
    switch (c.packer) {
    case Packer::Writer:
    case Packer::WriterNoPassword: {
        TFWZipWriter zip;
        zip.SetAlwaysAddEmptyFolder(true);
        zip.AddFolder(QString(), src, QString(), true);
        for (int i = 0; i < zip.Count() && !password.isEmpty(); ++i) {
            zip.GetItem(i)->SetPassword(password);
            zip.GetItem(i)->SetNeedDescriptor(true);
        }
        ASSERT_EQ(zip.BuildZip(archive), brDone) << qPrintable(zip.LastError());
        break;
    }
    case Packer::InfoZip: {
        // Info-ZIP takes the password's bytes as typed in a UTF-8 terminal.
        QStringList full{QStringLiteral("-c"), QStringLiteral("cd \"$0\" && exec zip \"$@\""), src, QStringLiteral("-qr")};
        if (!password.isEmpty())
            full << QStringLiteral("-P") << password;
        full << archive << QStringLiteral(".");
        const PeerRun run = runPeer(QStringLiteral("/bin/sh"), full);
        ASSERT_TRUE(run.ok()) << qPrintable(run.output);
        break;
    }
    case Packer::SevenZip: {
        QStringList full{QStringLiteral("-c"), QStringLiteral("cd \"$0\" && exec 7z a -tzip \"$@\""), src};
        if (!password.isEmpty())
            full << QStringLiteral("-p") + password;
        full << archive << QStringLiteral(".");
        const PeerRun run = runPeer(QStringLiteral("/bin/sh"), full);
        ASSERT_TRUE(run.ok()) << qPrintable(run.output);
        break;
    }
    }
    QStringList passwordArgs;
    if (!password.isEmpty())
        passwordArgs << QStringLiteral("--password") << password;

    const ToolRun test = runTool(kZip, QStringList{QStringLiteral("--test"), archive} + passwordArgs);
    EXPECT_EQ(test.exitCode, 0) << qPrintable(test.describe());
    EXPECT_TRUE(test.out.contains(QStringLiteral("проверено: 1Cv8.1CD (%1 байт)").arg(3 * 1024 * 1024 + 4321)))
        << qPrintable(test.out);
    EXPECT_TRUE(test.out.contains(QStringLiteral("проверено: 日本語/深い/😀 smile.txt (6 байт)"))) << qPrintable(test.out);
    EXPECT_TRUE(test.out.contains(QStringLiteral("Архив цел: "))) << qPrintable(test.out);

    const QString dest = path(QStringLiteral("restored"));
    const ToolRun extract = runTool(kZip, QStringList{QStringLiteral("--extract"), archive, dest} + passwordArgs);
    ASSERT_EQ(extract.exitCode, 0) << qPrintable(extract.describe());
    EXPECT_TRUE(extract.out.contains(QStringLiteral("Архив восстановлен в «%1»").arg(dest))) << qPrintable(extract.out);

    const QMap<QString, QByteArray> expected = treeOf(src), restored = treeOf(dest);
    EXPECT_EQ(restored.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        EXPECT_TRUE(restored.value(it.key()) == it.value()) << "differs: " << qPrintable(it.key());

    // The writer keeps times to the 100 ns (its NTFS field), the others at
    // least to the 2 s of the DOS time.
    for (const QString &name : {QStringLiteral("1Cv8.1CD"), QStringLiteral("Отчёт за квартал.txt")}) {
        const qint64 want = mtimeNs(src + QLatin1Char('/') + name), got = mtimeNs(dest + QLatin1Char('/') + name);
        if (c.packer == Packer::Writer || c.packer == Packer::WriterNoPassword)
            EXPECT_EQ(got, want / 100 * 100) << qPrintable(name);
        else
            EXPECT_LE(std::llabs(got - want), 2000000000LL) << qPrintable(name);
    }
}

INSTANTIATE_TEST_SUITE_P(Packers, ZipRestoreRoundTripTest,
                         ::testing::Values(RoundTripCase{"BackupWriterRussianPassword", Packer::Writer, "Пароль№1"},
                                           RoundTripCase{"BackupWriterNoPassword", Packer::WriterNoPassword, ""},
                                           RoundTripCase{"InfoZipUtf8Password", Packer::InfoZip, "Пароль№1"},
                                           RoundTripCase{"InfoZipNoPassword", Packer::InfoZip, ""},
                                           // 7-Zip takes no password beyond ASCII for a ZIP archive.
                                           RoundTripCase{"SevenZipPassword", Packer::SevenZip, "s3cret-7z"}),
                         [](const ::testing::TestParamInfo<RoundTripCase> &tp) { return std::string(tp.param.name); });

class ZipRestoreTest : public ::testing::Test
{
protected:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    // An archive of the backup's writer: a few files, every entry encrypted
    // with the Russian password (or none).
    QString backupArchive(const QString &password, TCompressionLevel level = clDefault)
    {
        const QString src = path(QStringLiteral("src"));
        writeFile(src + QStringLiteral("/a.txt"), textBytes(50000, 1));
        writeFile(src + QStringLiteral("/b/Данные.bin"), mixedBytes(600000, 2));
        writeFile(src + QStringLiteral("/c.txt"), textBytes(3000, 3));
        writeFile(src + QStringLiteral("/d/e.txt"), textBytes(70000, 4));
        writeFile(src + QStringLiteral("/f.bin"), randomBytes(200000, 5));
        writeFile(src + QStringLiteral("/g.txt"), textBytes(900, 6));
        TFWZipWriter zip;
        zip.SetDefaultCompressionLevel(level);
        zip.AddFolder(QString(), src, QString(), true);
        for (int i = 0; i < zip.Count() && !password.isEmpty(); ++i) {
            zip.GetItem(i)->SetPassword(password);
            zip.GetItem(i)->SetNeedDescriptor(true);
        }
        const QString archive = path(QStringLiteral("backup.zip"));
        EXPECT_EQ(zip.BuildZip(archive), brDone);
        return archive;
    }

    // Runs a Python script with arguments; true when it ended with 0.
    static ::testing::AssertionResult python(const char *script, const QStringList &args)
    {
        const PeerRun run =
            runPeer(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral("-c"), QString::fromUtf8(script)} + args);
        if (run.ok())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << qPrintable(run.output);
    }

    QTemporaryDir m_dir;
};

// A wrong password or none: said so, exit code 3, and nothing at all under
// the folder, not even a folder of the archive's.
TEST_F(ZipRestoreTest, WrongOrMissingPasswordLeavesNothing)
{
    const QString archive = backupArchive(kPassword);
    const QString dest = path(QStringLiteral("dest"));
    QDir().mkpath(dest);
    struct Case {
        QStringList passwordArgs;
        QString said;
    };
    const QList<Case> cases = {
        {{QStringLiteral("--password"), QStringLiteral("Пароль№2")},
         QStringLiteral("Неверный пароль: он не подошёл ни в кодировке Windows-1251")},
        {{QStringLiteral("--password"), QStringLiteral("wrong")},
         QStringLiteral("Неверный пароль: он не подошёл ни в кодировке Windows-1251")},
        {{}, QStringLiteral("а пароль не указан")},
    };
    for (const Case &c : cases) {
        for (const QString &mode : {QStringLiteral("--test"), QStringLiteral("--extract")}) {
            QStringList args{mode, archive};
            if (mode == QLatin1String("--extract"))
                args << dest;
            const ToolRun run = runTool(kZip, args + c.passwordArgs);
            EXPECT_EQ(run.exitCode, 3) << qPrintable(run.describe());
            EXPECT_TRUE(run.err.contains(c.said)) << qPrintable(run.err);
            if (!c.passwordArgs.isEmpty()) {
                EXPECT_TRUE(run.err.contains(QStringLiteral("ни в UTF-8"))) << qPrintable(run.err);
            }
            EXPECT_TRUE(folderEntries(dest).isEmpty()) << qPrintable(folderEntries(dest).join(QLatin1Char(' ')));
        }
    }
    // A folder that did not exist is not left behind either.
    const ToolRun run = runTool(kZip, {QStringLiteral("--extract"), archive, path(QStringLiteral("new/dest")),
                                       QStringLiteral("--password"), QStringLiteral("wrong")});
    EXPECT_EQ(run.exitCode, 3) << qPrintable(run.describe());
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("new"))));
}

struct DamageCase {
    const char *name;
    TCompressionLevel level;
    bool password;
    bool lastByte; // the last byte of the entry's data, else one in its middle
};

void PrintTo(const DamageCase &c, std::ostream *os) { *os << c.name; }

class ZipRestoreDamageTest : public ZipRestoreTest, public ::testing::WithParamInterface<DamageCase>
{
};

// One byte flipped in the data of the fifth entry: --test and --extract
// fail naming it, with exit code 1; nothing is left under its name (nor,
// the restore being undone, anything else).
TEST_P(ZipRestoreDamageTest, FlippedByteNamesTheEntry)
{
    const DamageCase &c = GetParam();
    const QString archive = backupArchive(c.password ? kPassword : QString(), c.level);
    const ZipLayout layout = readZipLayout(archive);
    ASSERT_TRUE(layout.error.isEmpty()) << qPrintable(layout.error);
    ASSERT_GE(layout.entries.size(), 5u);
    const ZipCentral &victim = layout.entries[4];
    const QString victimName = (victim.flags & 0x0800) ? QString::fromUtf8(victim.name) : fromCp866(victim.name);
    ASSERT_GT(victim.realCompressed, 16u);
    const quint64 at = victim.local.dataOffset + (c.lastByte ? victim.realCompressed - 1 : victim.realCompressed / 2);
    {
        QFile f(archive);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.seek(static_cast<qint64>(at));
        char b = 0;
        f.getChar(&b);
        f.seek(static_cast<qint64>(at));
        f.putChar(static_cast<char>(b ^ 0x10));
    }
    QStringList passwordArgs;
    if (c.password)
        passwordArgs << QStringLiteral("--password") << kPassword;

    const ToolRun test = runTool(kZip, QStringList{QStringLiteral("--test"), archive} + passwordArgs);
    EXPECT_EQ(test.exitCode, 1) << qPrintable(test.describe());
    EXPECT_TRUE(test.err.contains(QStringLiteral("Запись «%1» не читается: ").arg(victimName))) << qPrintable(test.err);
    EXPECT_FALSE(test.err.contains(QStringLiteral("пароль неверен"))) << "the password read four entries whole";

    const QString dest = path(QStringLiteral("dest"));
    QDir().mkpath(dest);
    const ToolRun extract = runTool(kZip, QStringList{QStringLiteral("--extract"), archive, dest} + passwordArgs);
    EXPECT_EQ(extract.exitCode, 1) << qPrintable(extract.describe());
    EXPECT_TRUE(extract.err.contains(QStringLiteral("Запись «%1» не читается: ").arg(victimName))) << qPrintable(extract.err);
    EXPECT_TRUE(extract.out.contains(QStringLiteral("восстановлено: "))) << "entries before it were restored first";
    EXPECT_TRUE(folderEntries(dest).isEmpty()) << qPrintable(folderEntries(dest).join(QLatin1Char(' ')));
}

INSTANTIATE_TEST_SUITE_P(Damage, ZipRestoreDamageTest,
                         // The last byte of a deflate stream may end in padding bits, which no
                         // reader reads: stored data has none.
                         ::testing::Values(DamageCase{"DeflatedEncryptedMiddle", clDefault, true, false},
                                           DamageCase{"StoredEncryptedLastByte", clNone, true, true},
                                           DamageCase{"StoredEncryptedMiddle", clNone, true, false},
                                           DamageCase{"DeflatedPlainMiddle", clDefault, false, false},
                                           DamageCase{"StoredPlainLastByte", clNone, false, true}),
                         [](const ::testing::TestParamInfo<DamageCase> &tp) { return std::string(tp.param.name); });

// Writes an archive with Python's zipfile: after the archive's path, triples
// of kind ("file", "link", "chr"), name and content (a link's target).
const char *kHostileArchive = R"PY(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    args = sys.argv[2:]
    for i in range(0, len(args), 3):
        kind, name, data = args[i], args[i + 1], args[i + 2]
        info = zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0))
        info.create_system = 3
        info.external_attr = {"file": 0o100644, "link": 0o120777, "chr": 0o020644}[kind] << 16
        z.writestr(info, data.encode())
)PY";

struct HostileCase {
    const char *name;
    QStringList entries; // triples, as the script takes them; "@OUT@" is a folder outside DIR
    const char *refused; // the name said
    const char *why;     // and words of the reason
};

void PrintTo(const HostileCase &c, std::ostream *os) { *os << c.name; }

class ZipRestoreHostileTest : public ZipRestoreTest, public ::testing::WithParamInterface<HostileCase>
{
};

// Names and links that would put a file outside the folder: the archive is
// refused with the name before anything is written, inside the folder or
// out of it; --test refuses it the same way.
TEST_P(ZipRestoreHostileTest, RefusedBeforeAnythingIsWritten)
{
    const HostileCase &c = GetParam();
    const QString outside = path(QStringLiteral("outside"));
    QDir().mkpath(outside);
    QDir().mkpath(path(QStringLiteral("work/dest")));
    QStringList entries;
    // A harmless file first: it must not be written either.
    entries << QStringLiteral("file") << QStringLiteral("first.txt") << QStringLiteral("first");
    for (const QString &e : c.entries)
        entries << QString(e).replace(QStringLiteral("@OUT@"), outside);
    const QString archive = path(QStringLiteral("hostile.zip"));
    ASSERT_TRUE(python(kHostileArchive, QStringList{archive} + entries));
    const QMap<QString, QByteArray> before = treeOf(m_dir.path());

    const QString refused = QString::fromUtf8(c.refused).replace(QStringLiteral("@OUT@"), outside);
    for (const QString &mode : {QStringLiteral("--extract"), QStringLiteral("--test")}) {
        QStringList args{mode, archive};
        if (mode == QLatin1String("--extract"))
            args << path(QStringLiteral("work/dest"));
        const ToolRun run = runTool(kZip, args);
        EXPECT_EQ(run.exitCode, 4) << qPrintable(mode) << ' ' << qPrintable(run.describe());
        EXPECT_TRUE(run.err.contains(QStringLiteral("Архив отклонён, ничего не записано: «%1»").arg(refused)))
            << qPrintable(run.err);
        EXPECT_TRUE(run.err.contains(QString::fromUtf8(c.why))) << qPrintable(run.err);
        EXPECT_TRUE(run.out.isEmpty()) << qPrintable(run.out);
    }
    EXPECT_EQ(treeOf(m_dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ZipRestoreHostileTest,
    ::testing::Values(
        HostileCase{"DotDot", {"file", "../evil.txt", "x"}, "../evil.txt", "«..»"},
        HostileCase{"DotDotInside", {"file", "a/../../evil.txt", "x"}, "a/../../evil.txt", "«..»"},
        HostileCase{"Absolute", {"file", "@OUT@/abs.txt", "x"}, "@OUT@/abs.txt", "абсолютный путь"},
        HostileCase{"WindowsDrive", {"file", "C:\\x.txt", "x"}, "C:\\x.txt", "буквой диска"},
        HostileCase{"BackslashDotDot", {"file", "..\\evil.txt", "x"}, "..\\evil.txt", "«..»"},
        HostileCase{"BackslashRoot", {"file", "\\evil.txt", "x"}, "\\evil.txt", "абсолютный путь"},
        HostileCase{"LinkToEtcThenFileThroughIt",
                    {"link", "etc", "/etc", "file", "etc/evil.conf", "x"}, "etc", "за пределы папки"},
        HostileCase{"LinkUpThenFileThroughIt",
                    {"link", "up", "../..", "file", "up/evil.txt", "x"}, "up", "за пределы папки"},
        HostileCase{"LinkInsideThenFileThroughIt",
                    {"file", "real/x.txt", "x", "link", "l", "real", "file", "l/evil.txt", "x"}, "l/evil.txt",
                    "через символическую ссылку «l»"},
        HostileCase{"LinkThroughLink",
                    {"link", "a/l", "..", "link", "b", "a/l/../..", "file", "c.txt", "x"}, "b", "через другую ссылку"},
        HostileCase{"DeviceEntry", {"chr", "dev/tty9", "", "file", "z.txt", "x"}, "dev/tty9", "особый файл"},
        HostileCase{"NameTwice", {"file", "twice.txt", "a", "file", "./twice.txt", "b"}, "./twice.txt", "дважды"}),
    [](const ::testing::TestParamInfo<HostileCase> &tp) { return std::string(tp.param.name); });

// What stands in the folder is never overwritten, and never gone through:
// a file under an entry's name, or a link where the archive has a folder.
TEST_F(ZipRestoreTest, ExistingFilesAreNeverOverwritten)
{
    const QString archive = backupArchive(kPassword);
    const QString dest = path(QStringLiteral("dest"));
    struct Case {
        const char *name;
        std::function<void()> plant;
        QString said;
    };
    const QString elsewhere = path(QStringLiteral("elsewhere"));
    const QList<Case> cases = {
        {"FileAtAnEntry", [&] { writeFile(dest + QStringLiteral("/c.txt"), "mine"); },
         QStringLiteral("«c.txt» уже есть в папке «%1» (файл)").arg(dest)},
        {"LinkAtAFolder",
         [&] {
             QDir().mkpath(dest);
             QDir().mkpath(elsewhere);
             ASSERT_EQ(::symlink(QFile::encodeName(elsewhere).constData(), QFile::encodeName(dest + QStringLiteral("/d")).constData()), 0);
         },
         QStringLiteral("нужна папка «d», а в папке «%1» на её месте стоит символическая ссылка").arg(dest)},
    };
    for (const Case &c : cases) {
        removeTree(QFile::encodeName(dest));
        c.plant();
        const QMap<QString, QByteArray> before = treeOf(m_dir.path());
        const ToolRun run = runTool(kZip, {QStringLiteral("--extract"), archive, dest, QStringLiteral("--password"), kPassword});
        EXPECT_EQ(run.exitCode, 4) << c.name << ' ' << qPrintable(run.describe());
        EXPECT_TRUE(run.err.contains(c.said)) << c.name << ' ' << qPrintable(run.err);
        EXPECT_EQ(treeOf(m_dir.path()), before) << c.name;
    }
    // An empty folder that exists is restored into.
    removeTree(QFile::encodeName(dest));
    QDir().mkpath(dest + QStringLiteral("/d"));
    const ToolRun run = runTool(kZip, {QStringLiteral("--extract"), archive, dest, QStringLiteral("--password"), kPassword});
    EXPECT_EQ(run.exitCode, 0) << qPrintable(run.describe());
    EXPECT_EQ(readFile(dest + QStringLiteral("/d/e.txt")), textBytes(70000, 4));
}

// A disk that fills mid-way (the file-size limit, as "ulimit -f" sets it):
// the entry is named with the system's reason, exit code 1, and nothing is
// left: no piece of the file, no temporary file, nothing restored before it.
TEST_F(ZipRestoreTest, FullDiskMidWayUndoesTheRestore)
{
    const QString archive = backupArchive(kPassword);
    const QString dest = path(QStringLiteral("dest"));
    const ToolRun run = runTool(kZip, {QStringLiteral("--extract"), archive, dest, QStringLiteral("--password"), kPassword},
                                256 * 1024);
    ASSERT_EQ(run.signal, 0) << qPrintable(run.describe());
    EXPECT_EQ(run.exitCode, 1) << qPrintable(run.describe());
    EXPECT_TRUE(run.err.contains(QStringLiteral("Запись «b/Данные.bin» не записана на диск: ")) && run.err.contains(QStringLiteral("ulimit -f")))
        << qPrintable(run.err);
    EXPECT_TRUE(run.err.contains(QStringLiteral("Восстановленное этим запуском удалено"))) << qPrintable(run.err);
    EXPECT_FALSE(QFileInfo::exists(dest)) << qPrintable(treeOf(dest).keys().join(QLatin1Char(' ')));
}

// An archive whose password is the UTF-8 bytes of a Russian password (as
// Info-ZIP takes it from a UTF-8 terminal), made so that the Windows-1251
// bytes, tried first, pass the one-byte check of the first entry's
// encryption header too: the data that gives is refused, and the entry is
// read again with the UTF-8 bytes. The script checks that Python's zipfile
// indeed takes the Windows-1251 bytes past the header check.
const char *kLookalikeArchive = R"PY(
import sys, struct, zlib, random, zipfile
out, right, wrong = sys.argv[1], sys.argv[2].encode("utf-8"), sys.argv[2].encode("cp1251")
def upd(c, b): return zlib.crc32(bytes([b]), c ^ 0xffffffff) ^ 0xffffffff
class Keys:
    def __init__(self, pw):
        self.k = [0x12345678, 0x23456789, 0x34567890]
        for b in pw: self.update(b)
    def update(self, b):
        k0 = upd(self.k[0], b)
        k1 = ((self.k[1] + (k0 & 0xff)) * 134775813 + 1) & 0xffffffff
        self.k = [k0, k1, upd(self.k[2], k1 >> 24)]
    def stream(self):
        t = (self.k[2] | 2) & 0xffff
        return ((t * (t ^ 1)) >> 8) & 0xff
rng = random.Random(7)
files = [("first.txt", b"the first entry " * 3000), ("second.bin", bytes(rng.randrange(256) for _ in range(50000)))]
body, central = b"", b""
for name, data in files:
    crc = zlib.crc32(data)
    check = crc >> 24
    while True:
        r, w, cipher = Keys(right), Keys(wrong), bytearray()
        for _ in range(11):
            p = rng.randrange(256)
            c = p ^ r.stream(); r.update(p); cipher.append(c)
            w.update(c ^ w.stream())
        if r.stream() == w.stream() or name != "first.txt":
            break
    cipher.append(check ^ r.stream()); r.update(check)
    comp = zlib.compressobj(6, zlib.DEFLATED, -15)
    packed = comp.compress(data) + comp.flush()
    for p in packed:
        cipher.append(p ^ r.stream()); r.update(p)
    n = name.encode()
    head = struct.pack("<IHHHHHIIIHH", 0x04034b50, 20, 1, 8, 0, 0x5021, crc, len(cipher), len(data), len(n), 0)
    central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014b50, 0x0314, 20, 1, 8, 0, 0x5021, crc, len(cipher),
                           len(data), len(n), 0, 0, 0, 0, 0o100644 << 16, len(body)) + n
    body += head + n + bytes(cipher)
end = struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, len(files), len(files), len(central), len(body), 0)
open(out, "wb").write(body + central + end)
with zipfile.ZipFile(out) as z:
    try:
        z.read("first.txt", pwd=wrong)
        sys.exit("the Windows-1251 bytes read the entry")
    except RuntimeError:
        sys.exit("the Windows-1251 bytes failed the header check")
    except (zipfile.BadZipFile, zlib.error):
        pass
    for name, data in files:
        assert z.read(name, pwd=right) == data
)PY";

TEST_F(ZipRestoreTest, Utf8PasswordIsTriedWhenTheWindows1251OnePassesTheCheckByChance)
{
    const QString archive = path(QStringLiteral("lookalike.zip"));
    ASSERT_TRUE(python(kLookalikeArchive, {archive, kPassword}));
    const QString dest = path(QStringLiteral("dest"));
    const ToolRun run = runTool(kZip, {QStringLiteral("--extract"), archive, dest, QStringLiteral("--password"), kPassword});
    EXPECT_EQ(run.exitCode, 0) << qPrintable(run.describe());
    EXPECT_EQ(readFile(dest + QStringLiteral("/first.txt")), QByteArray("the first entry ").repeated(3000));
    EXPECT_EQ(readFile(dest + QStringLiteral("/second.bin")).size(), 50000);
    const ToolRun wrong = runTool(kZip, {QStringLiteral("--test"), archive, QStringLiteral("--password"), QStringLiteral("Пароль№2")});
    EXPECT_NE(wrong.exitCode, 0) << qPrintable(wrong.describe());
}

// What is no archive, or no longer a whole one: exit code 1 with what is
// wrong, and no folder made for it. An empty archive is a whole one.
TEST_F(ZipRestoreTest, UnreadableArchivesFailClearly)
{
    const QString archive = backupArchive(kPassword);
    const QByteArray bytes = readFile(archive);
    writeFile(path(QStringLiteral("cut.zip")), bytes.left(bytes.size() / 2));
    writeFile(path(QStringLiteral("text.zip")), textBytes(5000, 8));
    QDir().mkpath(path(QStringLiteral("folder.zip")));
    struct Case {
        QString archive;
        QString said;
    };
    const QList<Case> cases = {
        {path(QStringLiteral("missing.zip")), QStringLiteral("не открывается: нет такого файла или каталога")},
        {path(QStringLiteral("folder.zip")), QStringLiteral("не открывается: это не обычный файл")},
        {path(QStringLiteral("text.zip")), QStringLiteral("не читается: нет записи о конце центрального каталога")},
        {path(QStringLiteral("cut.zip")), QStringLiteral("не читается: нет записи о конце центрального каталога")},
    };
    const QString dest = path(QStringLiteral("dest"));
    for (const Case &c : cases) {
        for (const QString &mode : {QStringLiteral("--test"), QStringLiteral("--extract")}) {
            QStringList args{mode, c.archive, QStringLiteral("--password"), kPassword};
            if (mode == QLatin1String("--extract"))
                args << dest;
            const ToolRun run = runTool(kZip, args);
            EXPECT_EQ(run.exitCode, 1) << qPrintable(run.describe());
            EXPECT_TRUE(run.err.contains(QStringLiteral("Архив «%1» ").arg(c.archive) + c.said)) << qPrintable(run.err);
            EXPECT_FALSE(QFileInfo::exists(dest));
        }
    }
    ASSERT_TRUE(python("import sys, zipfile; zipfile.ZipFile(sys.argv[1], 'w').close()", {path(QStringLiteral("empty.zip"))}));
    const ToolRun empty = runTool(kZip, {QStringLiteral("--test"), path(QStringLiteral("empty.zip"))});
    EXPECT_EQ(empty.exitCode, 0) << qPrintable(empty.describe());
    EXPECT_TRUE(empty.out.contains(QStringLiteral("Архив цел: записей 0"))) << qPrintable(empty.out);
}

// A run that is stopped ends at once and undoes what it restored.
TEST_F(ZipRestoreTest, StopEndsTheRunAndUndoesIt)
{
    const QString archive = backupArchive(kPassword);
    const QString dest = path(QStringLiteral("dest"));
    QDir().mkpath(dest);
    std::atomic<bool> stop{false};
    ZipRestoreOptions options;
    options.password = kPassword;
    options.stop = &stop;
    int seen = 0;
    options.onEntry = [&](const ZipRestoreEntry &) {
        if (++seen == 2)
            stop.store(true);
    };
    const ZipRestoreResult r = extractZipArchive(archive, dest, options);
    EXPECT_EQ(r.status, ZipRestoreStatus::Stopped) << qPrintable(r.error);
    EXPECT_EQ(seen, 2);
    EXPECT_TRUE(folderEntries(dest).isEmpty()) << qPrintable(folderEntries(dest).join(QLatin1Char(' ')));

    // Not stopped, the same archive restores whole.
    stop.store(false);
    seen = -100;
    const ZipRestoreResult whole = extractZipArchive(archive, dest, options);
    EXPECT_TRUE(whole.ok()) << qPrintable(whole.error);
    EXPECT_EQ(whole.files, 6);
    EXPECT_EQ(readFile(dest + QStringLiteral("/b/Данные.bin")), mixedBytes(600000, 2));
}

TEST(ZipRestorePaths, NamesAsTheyWouldBeRestored)
{
    struct Case {
        QString name;
        QStringList parts; // empty: refused (or the root)
        bool refused;
    };
    const QList<Case> cases = {
        {QStringLiteral("a/b/c.txt"), {"a", "b", "c.txt"}, false},
        {QStringLiteral("./a//b/"), {"a", "b"}, false},
        {QStringLiteral("dir\\file.txt"), {"dir", "file.txt"}, false},
        {QStringLiteral("report 12:30.txt"), {"report 12:30.txt"}, false},
        {QStringLiteral("..."), {"..."}, false},
        {QStringLiteral("./"), {}, false},
        {QStringLiteral("../x"), {}, true},
        {QStringLiteral("a/.."), {}, true},
        {QStringLiteral("/etc/passwd"), {}, true},
        {QStringLiteral("\\\\server\\share\\x"), {}, true},
        {QStringLiteral("C:x.txt"), {}, true},
        {QStringLiteral("d:\\x.txt"), {}, true},
        {QString(QChar(0x42F)) + QStringLiteral(":/x"), {QString(QChar(0x42F)) + QLatin1Char(':'), "x"}, false},
        {QString(256, QLatin1Char('n')), {}, true},
    };
    for (const Case &c : cases) {
        QString why;
        EXPECT_EQ(restorePathOf(c.name, &why), c.parts) << qPrintable(c.name);
        EXPECT_EQ(!why.isEmpty(), c.refused) << qPrintable(c.name) << ' ' << qPrintable(why);
    }
}

TEST(ZipRestorePasswords, Windows1251FirstThenUtf8)
{
    EXPECT_EQ(zipPasswordCandidates(QStringLiteral("Пароль№1")),
              (QList<QByteArray>{toCp1251(QStringLiteral("Пароль№1")), QStringLiteral("Пароль№1").toUtf8()}));
    EXPECT_EQ(zipPasswordCandidates(QStringLiteral("plain")), QList<QByteArray>{"plain"});
}

} // namespace
