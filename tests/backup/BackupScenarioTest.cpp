// The fixed parts of a backup run: delays, names, the ZIP container, the
// end of the 1C clients and the two failure letters.

#include "backup/BackupScenario.h"
#include "common/Stamps.h"
#include "common/TextCodec.h"
#include "support/TestSupport.h"

#include <QDateTime>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

TEST(BackupScenario, EveryDelayChoiceSetsItsIntervalAndOtherTextsLeaveIt)
{
    EXPECT_EQ(backupDelayItems(), (QStringList{u"3 мин"_s, u"5 мин"_s, u"10 мин"_s, u"15 мин"_s, u"20 мин"_s,
                                               u"30 мин"_s, u"Без задержки"_s}));
    const struct {
        const char *text;
        int ms;
    } cases[] = {{"3 мин", 180000}, {"5 мин", 300000}, {"10 мин", 600000}, {"15 мин", 900000},
                 {"20 мин", 1200000}, {"30 мин", 1800000}, {"Без задержки", 500}, {"", 1000},
                 {"3 min", 1000}, {"3 мин ", 1000}};
    for (const auto &c : cases)
        EXPECT_EQ(backupDelayMs(QString::fromUtf8(c.text), 1000), c.ms) << c.text;
}

TEST(BackupScenario, WhatARunCreatesIsNamedAfterTheAliasAndTheStamp)
{
    const QString stamp = DateTimeFolderStamp(QDateTime(QDate(2026, 12, 9), QTime(1, 30, 0)));
    EXPECT_EQ(stamp, u"09_12_2026__01_30_00"_s);
    const QString folder = fileBackupFolder(u"/srv/BACKUP"_s, stamp, u"Зарплата"_s);
    EXPECT_EQ(folder, u"/srv/BACKUP/09_12_2026__01_30_00_База_Зарплата"_s);
    const QString dump = dumpFilePath(u"/srv/BACKUP/"_s, u"Зарплата"_s, stamp);
    EXPECT_EQ(dump, u"/srv/BACKUP/Зарплата_09_12_2026__01_30_00_.dt"_s);

    const ZipContainer z = zipContainerFor(folder, u"/srv/BACKUP"_s);
    ASSERT_TRUE(z.valid);
    EXPECT_EQ(z.name, u"/09_12_2026__01_30_00_База_Зарплата"_s);
    EXPECT_EQ(z.container, u"/srv/BACKUP/09_12_2026__01_30_00_База_Зарпла"_s);
    EXPECT_EQ(z.movedBackup, u"/srv/BACKUP/09_12_2026__01_30_00_База_Зарпла/09_12_2026__01_30_00_База_Зарплата"_s);
    EXPECT_EQ(z.archive, u"/srv/BACKUP/09_12_2026__01_30_00_База_Зарплата.zip"_s);
    const ZipContainer d = zipContainerFor(dump, u"/srv/BACKUP/"_s);
    ASSERT_TRUE(d.valid);
    EXPECT_EQ(d.archive, u"/srv/BACKUP/Зарплата_09_12_2026__01_30_00_.dt.zip"_s);
    EXPECT_EQ(d.container, u"/srv/BACKUP/Зарплата_09_12_2026__01_30_00_."_s);
}

TEST(BackupScenario, ABackupOutsideItsFolderGetsNoContainerThatCouldBeDeleted)
{
    // The step deletes the container after packing: it must never be the
    // backup folder itself or a folder of someone else.
    const struct {
        const char *backup;
        const char *folder;
    } cases[] = {
        {"/srv/OTHER/09_12_2026__01_30_00_База_X", "/srv/BACKUP"}, // the folder changed since
        {"/srv/BACKUPS/x_09_12_2026_.dt", "/srv/BACKUP"},         // a longer name is no child
        {"/srv/BACKUP/a/b.dt", "/srv/BACKUP"},                    // not directly in it
        {"/srv/BACKUP/ab", "/srv/BACKUP"},                        // too short for a container
        {"/srv/BACKUP/", "/srv/BACKUP"},
        {"", "/srv/BACKUP"},
        {"/srv/BACKUP/x.dt", ""},
    };
    for (const auto &c : cases)
        EXPECT_FALSE(zipContainerFor(QString::fromUtf8(c.backup), QString::fromUtf8(c.folder)).valid) << c.backup;
}

TEST(BackupScenario, TheEndOfThe1CClientsIsReadFromItsOutput)
{
    EXPECT_EQ(kEnd1CClientsCommand, u"/C chcp 1251 && TASKKILL /F /IM 1cv8* /T > temp.txt"_s);
    const QByteArray output =
        toCp1251(u"УСПЕШНО: Процесс с PID 4242 (дочерний процесс PID 1) был завершен.\r\n\r\n   \r\nУСПЕШНО: второй\r\n"_s);
    EXPECT_EQ(end1CClientsLines(output), (QStringList{u"УСПЕШНО: Процесс с PID 4242 (дочерний процесс PID 1) был завершен."_s,
                                                      u"УСПЕШНО: второй"_s}));
    EXPECT_TRUE(end1CClientsLines(QByteArray()).isEmpty());
    EXPECT_EQ(kNothingToEndLine, u"Команда не выполнена!, возможно процесс(ы) 1С Предприятия уже завершен(ы)"_s);
    EXPECT_EQ(lastNonEmptyLine(toCp1251(u"первая\r\n/srv/BACKUP/б\r\n\r\n"_s)), u"/srv/BACKUP/б"_s);
    EXPECT_EQ(lastNonEmptyLine("no line break"), u"no line break"_s);
}

TEST(BackupScenario, TheFailureLettersSayWhatFailedWhereAndWhen)
{
    const BackupLetter copy = copyFailureLetter(u"Зарплата"_s, u"SRV1"_s, u"09.12.2026 - 1:30:05 : "_s,
                                                u"Процесс не может получить доступ к файлу"_s, u"/base/1Cv8.1CD"_s);
    EXPECT_EQ(copy.subject, u"Ошибка выполнения бэкапа ИБ: Зарплата"_s);
    EXPECT_EQ(copy.body,
              u"Ошибка выполнения бэкапа, файловой информационной базы: <b>Зарплата</b><p><b>Сервер (ПК): </b>SRV1.</p>"
              "<p><b>Время: </b>09.12.2026 - 1:30:05 : <p><b>Причина:  </b>Процесс не может получить доступ к файлу "
              "<p><b>  Файл: </b>/base/1Cv8.1CD</b><p>Это сообщение отправлено автоматически программой Dozorix Pro.</p>"_s);
    const BackupLetter dump = dumpFailureLetter(u"Бух"_s, u"SRV1"_s, u"t"_s, u"Ошибка входа"_s);
    EXPECT_EQ(dump.subject, u"Ошибка выполнения бэкапа ИБ: Бух"_s);
    EXPECT_EQ(dump.body,
              u"Ошибка выполнения бэкапа, клиент-серверной информационной базы: <b>Бух</b><p><b>Сервер (ПК): </b>SRV1.</p>"
              "<p><b>Время: </b>t<p><b>Причина:  </b>Ошибка входа <p><p>Это сообщение отправлено автоматически программой "
              "Dozorix Pro.</p>"_s);
}
