// The backup's ZIP step on real folders and dump files: the archive holds
// the backup as its one entry and reads back in the real readers; a build
// that does not complete leaves the backup where it was made.

#include "backup/ZipStep.h"
#include "common/TextCodec.h"
#include "filecopy/support/FileTestSupport.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

const TZipProgressEvent kQuiet = [](TFWZipWriter *, const QString &, quint8, quint8, bool &, TProgressState) {};

// Names without the UTF-8 flag are IBM 866, which zipfile would read as 437.
QStringList entriesOf(const QString &archive, const QString &password)
{
    const PeerRun r = runPeer(u"python3"_s,
                              {u"-c"_s, u"import sys, zipfile\n"
                                        "z = zipfile.ZipFile(sys.argv[1])\n"
                                        "z.setpassword(sys.argv[2].encode('cp1251'))\n"
                                        "assert z.testzip() is None\n"
                                        "names = [i.filename if i.flag_bits & 0x800 else i.filename.encode('cp437').decode('cp866') for i in z.infolist()]\n"
                                        "print('\\n'.join(sorted(names)))\n"_s,
                               archive, password});
    EXPECT_TRUE(r.ok()) << r.output.toStdString();
    return r.output.split(u'\n', Qt::SkipEmptyParts);
}

} // namespace

TEST(ZipStep, AFolderBackupBecomesTheOneEntryOfItsArchiveAndIsThenDeleted)
{
    QTemporaryDir dir;
    const QString backup = dir.filePath(u"09_12_2026__01_30_00_База_Зарплата"_s);
    writeFile(backup + u"/1Cv8.1CD"_s, mixedBytes(600000, 1));
    writeFile(backup + u"/1Cv8Log/1Cv8.lgf"_s, textBytes(5000, 2));
    for (const char *password : {"", "пароль"}) {
        SCOPED_TRACE(password);
        if (!QFileInfo::exists(backup)) { // the second round packs a fresh copy
            writeFile(backup + u"/1Cv8.1CD"_s, mixedBytes(600000, 1));
            writeFile(backup + u"/1Cv8Log/1Cv8.lgf"_s, textBytes(5000, 2));
        }
        int notices = 0;
        const ZipStepOutcome out = runZipStep(dir.path(), toCp1251(backup), QString::fromUtf8(password),
                                              [&](TFWZipWriter *, const QString &, quint8, quint8, bool &, TProgressState) { ++notices; });
        ASSERT_EQ(out.kind, ZipStepOutcome::Done) << out.reason.toStdString();
        EXPECT_GT(notices, 0);
        EXPECT_EQ(out.archive, backup + u".zip"_s);
        EXPECT_FALSE(QFileInfo::exists(backup));
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList()); // no container left
        EXPECT_EQ(entriesOf(out.archive, QString::fromUtf8(password)),
                  (QStringList{u"09_12_2026__01_30_00_База_Зарплата/1Cv8.1CD"_s,
                               u"09_12_2026__01_30_00_База_Зарплата/1Cv8Log/1Cv8.lgf"_s}));
        const PeerRun unzip = runPeer(u"unzip"_s, {u"-t"_s, u"-P"_s, QString::fromUtf8(password), out.archive});
        if (!*password) {
            EXPECT_TRUE(unzip.ok()) << unzip.output.toStdString();
        }
        QFile::remove(out.archive);
    }
}

TEST(ZipStep, ADumpFileIsTheArchivesOnlyEntry)
{
    QTemporaryDir dir;
    const QString dump = dir.filePath(u"Зарплата_09_12_2026__01_30_00_.dt"_s);
    writeFile(dump, mixedBytes(300000, 9));
    const ZipStepOutcome out = runZipStep(dir.path() + u'/', "first line\r\n" + toCp1251(dump), QString(), kQuiet);
    ASSERT_EQ(out.kind, ZipStepOutcome::Done) << out.reason.toStdString();
    EXPECT_EQ(out.archive, dump + u".zip"_s);
    EXPECT_EQ(entriesOf(out.archive, QString()), QStringList{u"Зарплата_09_12_2026__01_30_00_.dt"_s});
    EXPECT_FALSE(QFileInfo::exists(dump));
}

TEST(ZipStep, ABuildThatDoesNotCompleteKeepsTheBackupWhereItWasMade)
{
    QTemporaryDir dir;
    const QString backup = dir.filePath(u"09_12_2026__01_30_00_База_X"_s);
    const QByteArray data = mixedBytes(2 * 1024 * 1024, 4);
    writeFile(backup + u"/1Cv8.1CD"_s, data);
    // Cancelled from the progress handler.
    const ZipStepOutcome cancelled = runZipStep(
        dir.path(), toCp1251(backup), QString(),
        [](TFWZipWriter *, const QString &, quint8, quint8, bool &cancel, TProgressState) { cancel = true; });
    EXPECT_EQ(cancelled.kind, ZipStepOutcome::BuildFailed);
    EXPECT_EQ(cancelled.build, brAborted);
    EXPECT_EQ(cancelled.backup, backup);
    EXPECT_EQ(readFile(backup + u"/1Cv8.1CD"_s), data);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{u"09_12_2026__01_30_00_База_X"_s});

    // A FIFO cannot be packed: the archive would miss it.
    ASSERT_EQ(::mkfifo(QFile::encodeName(backup + u"/pipe"_s).constData(), 0600), 0);
    const ZipStepOutcome partial = runZipStep(dir.path(), toCp1251(backup), QString(), kQuiet);
    EXPECT_EQ(partial.kind, ZipStepOutcome::BuildFailed);
    EXPECT_EQ(partial.build, brPartialBuild);
    EXPECT_FALSE(partial.reason.isEmpty());
    EXPECT_EQ(readFile(backup + u"/1Cv8.1CD"_s), data);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{u"09_12_2026__01_30_00_База_X"_s});
}

TEST(ZipStep, AHandOffThatNamesNothingInTheFolderMovesNothing)
{
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    const QString stranger = elsewhere.filePath(u"09_12_2026__01_30_00_База_X"_s);
    writeFile(stranger + u"/f"_s, "x");
    const struct {
        const char *name;
        QByteArray handOff;
        ZipStepOutcome::Kind kind;
    } cases[] = {
        {"empty", QByteArray(), ZipStepOutcome::NoBackup},
        {"gone", toCp1251(dir.filePath(u"missing"_s)), ZipStepOutcome::NoBackup},
        {"another folder", toCp1251(stranger), ZipStepOutcome::NotInFolder},
    };
    for (const auto &c : cases) {
        const ZipStepOutcome out = runZipStep(dir.path(), c.handOff, QString(), kQuiet);
        EXPECT_EQ(out.kind, c.kind) << c.name;
        EXPECT_FALSE(out.reason.isEmpty()) << c.name;
    }
    EXPECT_EQ(readFile(stranger + u"/f"_s), QByteArray("x"));
    EXPECT_EQ(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{u"09_12_2026__01_30_00_База_X"_s});
}
