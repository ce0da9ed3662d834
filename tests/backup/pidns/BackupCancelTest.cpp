// The cancel of a client-server backup ends the designer and every other 1C
// client of the user by name ("TASKKILL /F /FI "USERNAME eq …" /IM 1cv8*
// /T"), as the runner's cancel does: run here, as PID 1 of a PID namespace
// of the test's own, where the only 1cv8* processes are the test's.

#include "backup/BackupRunner.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "filecopy/support/FileTestSupport.h"
#include "shell/CommandRunner.h"
#include "support/ProcessGuard.h"
#include "support/ProcessGuard.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

TEST(BackupCancel, ACancelDuringTheDumpEndsTheDesignerAndTheRunWithoutFreezing)
{
    ASSERT_TRUE(inPrivatePidNamespace());
    ProgramHome home;
    ScopedTimeScale scale(100);
    QTemporaryDir data;
    const QString backups = data.filePath(u"backups"_s);
    QDir().mkpath(backups);
    {
        IniFile ini(home.file(u"Example.ini"_s), IniFile::WriteMode::CreateIfMissing);
        const std::pair<const char *, QString> keys[] = {
            {"AvtoPath", backups}, {"Zadergka", u"Без задержки"_s}, {"ZipArhiv", u"0"_s}, {"FtpArhiv", u"0"_s}};
        for (const auto &[key, value] : keys)
            ini.writeString(u"BACKUP"_s, QString::fromLatin1(key), value);
        const std::pair<const char *, const char *> server[] = {
            {"Psevdo4", "Бух"}, {"RadioClient", "1"}, {"KlasterB", "srv1c"}, {"IBNAmeKlaster", "buh"},
            {"LoginK", "Админ"}, {"PassK", "x"}, {"Connector", "V83.ComConnector"}};
        for (const auto &[key, value] : server)
            ini.writeString(u"Base4"_s, QString::fromLatin1(key), QString::fromUtf8(value));
        ASSERT_TRUE(ini.save());
    }
    // A designer that writes no result: the poll waits until the cancel.
    const QString designer = data.filePath(u"opt/1cv8/x86_64/8.3.24.1548/1cv8"_s);
    writeFile(designer, "#!/usr/bin/python3\nimport time\ntime.sleep(300)\n");
    QFile::setPermissions(designer, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QStringList log;
    setLogReceiver([&](const QString &text, unsigned int rgb) {
        log << (rgb == kLogRed ? u"red: "_s : u"green: "_s) + unstamped(text);
    });
    BackupRunner::Hooks hooks;
    hooks.notifyUsers = [](const QString &) {};
    hooks.sendLetter = [](const QString &, const QString &) {};
    hooks.unattended = [] { return false; };
    hooks.programFilesDir = [&] { return data.filePath(u"opt"_s); };
    hooks.hasDisplay = [] { return true; };
    BackupRunner r(hooks);
    r.LoadFunckShow();
    r.chooseProfile(u"Бух"_s);
    bool ended = false;
    QObject::connect(&r, &BackupRunner::runEnded, [&] { ended = true; });
    r.StartBtnClick();
    ASSERT_TRUE(waitUntil([&] {
        return std::any_of(log.begin(), log.end(), [](const QString &l) { return l.contains(u"в клиент - сервере"_s); });
    }, 30000));
    r.Button3Click();
    EXPECT_FALSE(ended); // the 15-second wait runs as a timer step
    EXPECT_TRUE(log.contains(u"green: Ждите, выполняю отмену \"бэкапа\"..."_s));
    ASSERT_TRUE(waitUntil([&] { return ended; }, 30000));
    EXPECT_EQ(log.last(), u"green: Выполнение \"бэкапа\" отменено!"_s);
    EXPECT_EQ(r.lastOutcome(), BackupExit::Stopped);
    EXPECT_TRUE(waitForBackgroundCommands(10000));
    // Nothing named 1cv8 is left in the namespace.
    for (const ProcessInfo &p : ProcessTable::instance()->snapshot())
        EXPECT_FALSE(p.imageName.startsWith(u"1cv8"_s) && !p.zombie) << p.pid;
    setLogReceiver({});
}
