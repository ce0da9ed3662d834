// The moment TBACKUP fires, on the engine alone: temp.txt read back with the
// one parser of "bak<N>" (the last such line names the profile; anything
// else is no parameter), the start parameter when temp.txt was emptied or
// overwritten, the runner's choice by alias, temp.txt emptied; nothing to
// back up by or no settings file.
#include "app/ScheduledStart.h"
#include "backup/BackupRunner.h"
#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

struct DueRun {
    ProgramHome home;
    QStringList redLines;

    DueRun()
    {
        home.write(u"Example.ini"_s, QStringLiteral("[Base3]\r\nPsevdo3=Склад\r\n[Base5]\r\nPsevdo5=Зарплата\r\n").toUtf8());
        setLogReceiver([this](const QString &text, unsigned int rgb) {
            if (rgb == kLogRed)
                redLines << text;
        });
    }
    ~DueRun() { setLogReceiver({}); }

    // A runner whose run never starts here: it is gone before the pause ends.
    static std::unique_ptr<BackupRunner> runner()
    {
        BackupRunner::Hooks hooks;
        hooks.unattended = [] { return true; };
        return std::make_unique<BackupRunner>(hooks);
    }
};

} // namespace

TEST(ScheduledStart, TheProfileComesFromTempTxtElseFromTheStartParameter)
{
    const struct {
        const char *temp; // what temp.txt holds when TBACKUP fires
        int started;      // the profile of the start parameter
        const char *chosen;
    } cases[] = {
        {"bak5", 3, "Зарплата"},
        {"bak3\r\nbak5", 3, "Зарплата"},         // the last parameter line
        {"bak5\r\nвывод команды", 3, "Зарплата"}, // lines that are no parameter are passed over
        {"вывод команды", 3, "Склад"},          // overwritten by a command's output
        {"", 3, "Склад"},                       // emptied
        {"Bak5", 3, "Склад"},
        {"bak05", 3, "Склад"},
        {"bak15", 3, "Склад"},
        {"bak5", 0, "Зарплата"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.temp) + " / " + std::to_string(c.started));
        DueRun run;
        run.home.write(u"temp.txt"_s, QByteArray(c.temp));
        auto runner = DueRun::runner();
        const DueScheduledBackup due = startDueScheduledBackup(*runner, c.started);
        EXPECT_EQ(due.outcome, DueScheduledBackup::Started);
        EXPECT_EQ(runner->chosenProfile(), QString::fromUtf8(c.chosen));
        EXPECT_TRUE(QFile::exists(run.home.file(u"temp.txt"_s)));
        EXPECT_EQ(run.home.read(u"temp.txt"_s), QByteArray());
        EXPECT_TRUE(run.redLines.isEmpty());
    }
}

TEST(ScheduledStart, NothingNamedEndsTheProgramAndAMissingSettingsFileFailsTheRun)
{
    {
        DueRun run;
        run.home.write(u"temp.txt"_s, QByteArray());
        auto runner = DueRun::runner();
        const DueScheduledBackup due = startDueScheduledBackup(*runner, 0);
        EXPECT_EQ(due.outcome, DueScheduledBackup::NothingNamed);
        EXPECT_TRUE(runner->chosenProfile().isEmpty());
        EXPECT_TRUE(run.redLines.isEmpty());
    }
    {
        DueRun run;
        run.home.write(u"temp.txt"_s, QByteArray("bak3"));
        ASSERT_TRUE(QFile::remove(run.home.file(u"Example.ini"_s)));
        auto runner = DueRun::runner();
        const DueScheduledBackup due = startDueScheduledBackup(*runner, 3);
        EXPECT_EQ(due.outcome, DueScheduledBackup::SettingsMissing);
        const QString ini = settingsFilePath();
        EXPECT_EQ(due.failure, u"файл настроек "_s + ini + u" не найден"_s);
        ASSERT_EQ(run.redLines.size(), 1);
        EXPECT_TRUE(run.redLines[0].endsWith(u"Файл настроек "_s + ini + u" не найден: ночной «бэкап» не выполнен."_s))
            << run.redLines[0].toStdString();
        EXPECT_TRUE(runner->chosenProfile().isEmpty());
        EXPECT_EQ(run.home.read(u"temp.txt"_s), QByteArray("bak3")); // left for nobody: the run ends
    }
}
