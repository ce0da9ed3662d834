// Retention: the newest N backups of a profile stay, older ones go, and
// nothing else in the backup folder is ever touched.

#include "backup/Retention.h"
#include "filecopy/support/FileTestSupport.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

QStringList entries(const QString &folder)
{
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    names.sort();
    return names;
}

} // namespace

TEST(Retention, KeepsTheNewestOfEachProfileAndNothingElseIsTouched)
{
    QTemporaryDir dir;
    const QString d = dir.path();
    // Stamps that sort wrongly as text (day first): 09.12 is newer than 31.01.
    const QStringList ours = {u"31_01_2026__01_30_00_База_Склад.zip"_s, u"08_12_2026__01_30_00_База_Склад.zip"_s,
                              u"09_12_2026__01_30_00_База_Склад"_s, // unpacked: its ZIP step failed that night
                              u"10_12_2026__01_30_00_База_Склад.zip"_s};
    const QStringList strangers = {u"10_12_2026__01_30_00_База_Склад 2.zip"_s, u"01_01_2020__00_00_00_База_Склад.zip.part"_s,
                                   u"05_05_2025__01_30_00_База_Зарплата.zip"_s, u"Склад_05_05_2025__01_30_00_.dt.zip"_s,
                                   u"notes.txt"_s, u"99_99_2026__01_30_00_База_Склад.zip"_s};
    for (const QString &name : ours + strangers) {
        if (name.endsWith(u"_Склад"_s))
            writeFile(d + u'/' + name + u"/1Cv8.1CD"_s, QByteArray(3000, 'd'));
        else
            writeFile(d + u'/' + name, QByteArray(100, 'z'));
    }
    const QList<StoredBackup> found = profileBackups(d, u"Склад"_s, false);
    QStringList names;
    for (const StoredBackup &b : found)
        names << b.name;
    EXPECT_EQ(names, (QStringList{ours[3], ours[2], ours[1], ours[0]}));
    EXPECT_TRUE(found[1].folder);
    EXPECT_EQ(found[1].size, 3000u);

    // Keep 0: everything stays, as on an installation that never set it.
    EXPECT_TRUE(applyRetention(d, u"Склад"_s, false, 0, d + u'/' + ours[3]).deleted.isEmpty());

    const RetentionResult r = applyRetention(d, u"Склад"_s, false, 2, d + u'/' + ours[3]);
    ASSERT_EQ(r.deleted.size(), 2);
    EXPECT_EQ(r.deleted[0].name, ours[1]);
    EXPECT_EQ(r.deleted[1].name, ours[0]);
    EXPECT_TRUE(r.failures.isEmpty());
    QStringList expected = QStringList{ours[3], ours[2]} + strangers;
    expected.sort();
    EXPECT_EQ(entries(d), expected);
}

TEST(Retention, DumpsAndTheBackupJustMade)
{
    QTemporaryDir dir;
    const QString d = dir.path();
    // An alias with characters a pattern would take for its own.
    const QString alias = u"Бух (1+1).*"_s;
    for (const QString &stamp : {u"01_12_2026__01_30_00"_s, u"02_12_2026__01_30_00"_s, u"03_12_2026__01_30_00"_s})
        writeFile(d + u'/' + alias + u'_' + stamp + u"_.dt.zip"_s, "z");
    writeFile(d + u"/Бух (1+1)X_04_12_2026__01_30_00_.dt.zip"_s, "z"); // another alias
    // The backup just made is never deleted, even when its stamp is not the newest.
    const QString current = d + u'/' + alias + u"_01_12_2026__01_30_00_.dt.zip"_s;
    const RetentionResult r = applyRetention(d, alias, true, 1, current);
    ASSERT_EQ(r.deleted.size(), 1);
    EXPECT_EQ(r.deleted[0].name, alias + u"_02_12_2026__01_30_00_.dt.zip"_s);
    EXPECT_TRUE(QFileInfo::exists(current));
    EXPECT_TRUE(QFileInfo::exists(d + u'/' + alias + u"_03_12_2026__01_30_00_.dt.zip"_s));
    EXPECT_TRUE(QFileInfo::exists(d + u"/Бух (1+1)X_04_12_2026__01_30_00_.dt.zip"_s));
}
