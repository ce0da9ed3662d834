// The runner window over a real run: the profile list, the start button,
// the progress and the heights the window takes on the way.

#include "backup/BackupRunner.h"
#include "backup/ui/TForm8.h"
#include "common/IniFile.h"
#include "filecopy/support/FileTestSupport.h"
#include "support/TestSupport.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace dozorix;
using namespace dozorix::test;
using namespace Qt::StringLiterals;

namespace {

// A program directory whose settings name one file infobase profile.
struct RunnerSetup {
    ProgramHome home;
    ScopedTimeScale scale{100};
    QTemporaryDir data;

    QString base() const { return data.filePath(u"base"_s); }
    QString backups() const { return data.filePath(u"backups"_s); }
    void profile(int n, const QString &alias, bool zip)
    {
        QDir().mkpath(backups());
        IniFile ini(home.file(u"Example.ini"_s), IniFile::WriteMode::CreateIfMissing);
        const QString section = u"Base%1"_s.arg(n);
        ini.writeString(section, u"Psevdo%1"_s.arg(n), alias);
        ini.writeString(section, u"RadioClient"_s, u"0"_s);
        ini.writeString(section, u"StrokaCon"_s, base());
        ini.writeString(u"BACKUP"_s, u"AvtoPath"_s, backups());
        ini.writeString(u"BACKUP"_s, u"Zadergka"_s, u"Без задержки"_s);
        if (zip)
            ini.writeString(u"BACKUP"_s, u"ZipArhiv"_s, u"1"_s);
        ASSERT_TRUE(ini.save());
    }
};

} // namespace

TEST(RunnerWindow, AProfileChosenInTheListIsBackedUpFromTheStartButton)
{
    RunnerSetup setup;
    writeFile(setup.base() + u"/1Cv8.1CD"_s, mixedBytes(200000, 2));
    setup.profile(2, u"Склад"_s, true);
    const QString backups = setup.backups();

    BackupRunner::Hooks hooks;
    hooks.notifyUsers = [](const QString &) {};
    BackupRunner runner(hooks);
    TForm8 window(&runner, {});
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.windowTitle(), u"Dozorix v: 1.5"_s);
    ASSERT_EQ(window.profileList()->count(), 1);
    EXPECT_EQ(window.profileList()->itemText(0), u"Склад"_s);
    EXPECT_EQ(window.startButton()->text(), u"Сделать \"бэкап\""_s);
    // Every control fits its text and the window holds every row.
    EXPECT_GE(window.startButton()->width(), window.startButton()->fontMetrics().horizontalAdvance(window.startButton()->text()));
    EXPECT_GE(window.height(), 80);
    EXPECT_GE(window.height(), window.sizeHint().height());

    window.profileList()->setCurrentIndex(0);
    emit window.profileList()->textActivated(u"Склад"_s);
    int heightWhileRunning = 0;
    QObject::connect(&runner, &BackupRunner::viewChanged, &window, [&] {
        if (runner.copyRunning())
            heightWhileRunning = std::max(heightWhileRunning, window.height());
    });
    bool ended = false;
    QObject::connect(&runner, &BackupRunner::runEnded, [&] { ended = true; });
    window.startButton()->click();
    EXPECT_FALSE(window.startButton()->isEnabled()); // waiting for the step
    ASSERT_TRUE(waitUntil([&] { return ended; }, 60000));
    EXPECT_GE(heightWhileRunning, 141);
    EXPECT_EQ(window.progressText()->text(), u"Сжатие завершено!"_s);
    EXPECT_TRUE(window.startButton()->isEnabled());
    EXPECT_EQ(window.startButton()->text(), u"Сделать \"бэкап\""_s);
    const QStringList made = QDir(backups).entryList(QDir::Files);
    ASSERT_EQ(made.size(), 1);
    EXPECT_TRUE(made[0].endsWith(u"_База_Склад.zip"_s)) << made[0].toStdString();
}

TEST(RunnerWindow, EscStopsARunningCopyAsTheStartButtonDoes)
{
    RunnerSetup setup;
    writeFile(setup.base() + u"/1Cv8.1CD"_s, mixedBytes(200000, 2));
    for (int i = 0; i < 300; ++i)
        writeFile(setup.base() + u"/f%1.dat"_s.arg(i), textBytes(20000, static_cast<quint32>(i)));
    setup.profile(1, u"Касса"_s, false);
    const QString backups = setup.backups();

    BackupRunner::Hooks hooks;
    hooks.notifyUsers = [](const QString &) {};
    BackupRunner runner(hooks);
    TForm8 window(&runner, {});
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    emit window.profileList()->textActivated(u"Касса"_s);
    bool pressed = false;
    QObject::connect(&runner, &BackupRunner::viewChanged, &window, [&] {
        if (!pressed && runner.copyRunning() && runner.view().mainBarPos >= 2) {
            pressed = true;
            EXPECT_EQ(window.startButton()->text(), u"Отмена"_s);
            QTest::keyClick(&window, Qt::Key_Escape);
        }
    });
    bool ended = false;
    QObject::connect(&runner, &BackupRunner::runEnded, [&] { ended = true; });
    window.startButton()->click();
    ASSERT_TRUE(waitUntil([&] { return ended; }, 60000));
    EXPECT_TRUE(pressed);
    EXPECT_TRUE(window.isVisible()); // Esc stopped the copy, not the window
    EXPECT_TRUE(QDir(backups).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}
