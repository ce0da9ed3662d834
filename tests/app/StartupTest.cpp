// The start-up sequence driven in-process: splash texts, the scheduled-backup
// parameter, timers, the first log line, the settings reload and the exit
// question.
#include "agents/AgentServer.h"
#include "app/SingleInstance.h"
#include "app/ui/Startup.h"
#include "app/ui/TForm1.h"
#include "app/ui/TForm4.h"
#include "common/IniFile.h"
#include "common/ProgramDir.h"
#include "common/TimeScale.h"
#include "common/ui/MenuTable.h"
#include "notify/ui/TForm10.h"
#include "support/LocalPort.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRegularExpression>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

using namespace dozorix;
using namespace dozorix::test;

namespace {

// One program run in a fresh program directory, time scaled 100 times
// unless said otherwise (splash 30 ms, reload 150 ms, TBACKUP 70 ms after
// the splash).
struct ProgramRun {
    explicit ProgramRun(double timeDivisor = 100)
        : scale(timeDivisor)
    {
    }

    ProgramHome home;
    ScopedTimeScale scale;
    ScopedEnv scope{"DOZORIX_INSTANCE_SCOPE", QFile::encodeName(home.path())};

    void settings(const QByteArray &ini) const { home.write(QStringLiteral("Example.ini"), ini); }
};

// Polls cond on the running event loop and calls then() once it holds.
void when(const std::function<bool()> &cond, const std::function<void()> &then, int budgetMs = 10000)
{
    auto *timer = new QTimer(qApp);
    auto left = std::make_shared<int>(budgetMs / 5);
    QObject::connect(timer, &QTimer::timeout, qApp, [=] {
        if (cond() || --*left <= 0) {
            timer->stop();
            timer->deleteLater();
            then();
        }
    });
    timer->start(5);
}

} // namespace

TEST(Startup, NormalStartShowsSplashThenMaximisedMainWindow)
{
    ProgramRun run;
    run.settings("[settings]\r\nTrey=0\r\n");
    Startup startup({});
    QString splashText, splashName;
    bool samplerOnWhileSplash = false, reloadOnWhileSplash = false;
    int timer1Interval = 0;
    bool seenMain = false;

    when([&] { return startup.splash() && startup.splash()->isVisible() && startup.splash()->Timer1()->isActive(); },
         [&] {
             splashText = startup.splash()->panelText()->text();
             splashName = startup.splash()->nameLabel()->text();
             samplerOnWhileSplash = startup.mainWindow()->Timer6()->isActive();
             reloadOnWhileSplash = startup.mainWindow()->Timer2()->isActive();
             timer1Interval = startup.mainWindow()->Timer1()->interval();
             when([&] { return startup.mainWindow()->isVisible(); }, [&] {
                 seenMain = true;
                 startup.mainWindow()->ShutdownProgram();
             });
         });
    EXPECT_EQ(startup.run(), 0);

    EXPECT_EQ(splashName, QStringLiteral("Dozorix v: 1.5"));
    EXPECT_EQ(splashText, QStringLiteral("Запуск программы..."));
    EXPECT_TRUE(samplerOnWhileSplash);
    EXPECT_TRUE(reloadOnWhileSplash);
    EXPECT_EQ(timer1Interval, scaledMs(3000));
    EXPECT_TRUE(seenMain);
    TForm1 *w = startup.mainWindow();
    EXPECT_TRUE(w->windowState() & Qt::WindowMaximized);
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Dozorix v: 1.5"));
    EXPECT_EQ(w->tabs()->tabText(w->tabs()->currentIndex()), QStringLiteral("Сервер терминалов"));
    EXPECT_FALSE(w->TBACKUP()->isActive());
    EXPECT_FALSE(QFile::exists(run.home.file(QStringLiteral("temp.txt"))));

    // The log: cleared, the black start line, then the shutdown line.
    EventLog *log = w->eventLog();
    ASSERT_EQ(log->lineCount(), 2);
    EXPECT_TRUE(log->lineText(0).endsWith(QStringLiteral(" : Программа Dozorix успешно стартовала. ")));
    EXPECT_EQ(log->lineColour(0), QColor(Qt::black));
    EXPECT_TRUE(log->lineText(0).contains(QRegularExpression(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} - \\d{1,2}:\\d\\d:\\d\\d : "))));
    EXPECT_EQ(log->lineText(1), QStringLiteral("Идет завершение работы Dozorix... "));
    EXPECT_EQ(log->lineColour(1), QColor(0, 0x80, 0));

    // The splash marks the settings file at every start.
    EXPECT_TRUE(IniFile(settingsFilePath()).readBool(QStringLiteral("settings"), QStringLiteral("FirstStart"), false));
}

TEST(Startup, ScheduledBackupParameterTable)
{
    struct Case {
        const char *parameter;
        bool alias;            // profile 3 has a name
        bool programEnds;      // ends during start-up
        bool scheduled;        // PARAMBACK set, temp.txt written, TBACKUP armed
    } cases[] = {
        {"bak3", true, false, true},
        {"bak3", false, true, false},
        {"Bak3", true, false, false},
        {"bak15", true, false, false},
        {"bak03", true, false, false},
        {"BAK1", true, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.parameter + std::string(c.alias ? " with alias" : " without alias"));
        ProgramRun run;
        run.settings(c.alias ? "[Base3]\r\nPsevdo3=Склад\r\n" : "[Base3]\r\nPsevdo3=\r\n");
        Startup startup({QString::fromLatin1(c.parameter)});
        QString splashText;
        bool splashShown = false, mainShown = false;
        int backupIntervalAfterSplash = -1;
        bool backupActiveAfterSplash = false;
        if (!c.programEnds) {
            when([&] { return startup.splash() && startup.splash()->Timer1()->isActive(); }, [&] {
                splashShown = true;
                splashText = startup.splash()->panelText()->text();
                when([&] { return startup.mainWindow()->isVisible(); }, [&] {
                    mainShown = true;
                    backupIntervalAfterSplash = startup.mainWindow()->TBACKUP()->interval();
                    backupActiveAfterSplash = startup.mainWindow()->TBACKUP()->isActive();
                    startup.mainWindow()->ShutdownProgram();
                });
            });
        }
        startup.run();
        EXPECT_EQ(mainShown, !c.programEnds);
        EXPECT_EQ(splashShown, !c.programEnds);
        EXPECT_EQ(QFile::exists(run.home.file(QStringLiteral("temp.txt"))), c.scheduled);
        if (c.programEnds) {
            EXPECT_TRUE(TForm1::shutdownRequested());
            EXPECT_FALSE(startup.mainWindow()->eventLog()->toPlainText().contains(QStringLiteral("успешно стартовала")));
            EXPECT_TRUE(startup.mainWindow()->eventLog()->toPlainText().contains(QStringLiteral("Идет завершение работы Dozorix... ")));
            continue;
        }
        EXPECT_EQ(startup.splash()->PARAMBACK, c.scheduled ? QString::fromLatin1(c.parameter) : QString());
        EXPECT_EQ(splashText, c.scheduled ? QStringLiteral("Готовлю \"бэкап\" ИБ...") : QStringLiteral("Запуск программы..."));
        EXPECT_EQ(backupActiveAfterSplash, c.scheduled);
        EXPECT_EQ(backupIntervalAfterSplash, scaledMs(7000));
        if (c.scheduled) {
            EXPECT_EQ(run.home.read(QStringLiteral("temp.txt")), QByteArray("bak3"));
        }
    }
}

TEST(Startup, ScheduledBackupTimerFiresSevenSecondsAfterTheSplash)
{
    // Time scaled 10 times: the splash shows for 300 ms, TBACKUP fires 700 ms
    // after it closed, and Qt's coarse timers (which may fire up to 5 % of
    // their interval early) stay far from the lower bound below.
    ProgramRun run(10);
    run.settings("[Base3]\r\nPsevdo3=Склад\r\n");
    Startup startup({QStringLiteral("bak3")});
    constexpr qint64 kDesignDelayMs = 7000;
    constexpr qint64 kDesignArmedMs = 180000; // TBACKUP as armed by the parameter

    int firesWhileSplash = 0, fires = 0;
    int armedInterval = -1, intervalWhenFired = -1;
    bool armedWhileSplash = false, splashClosed = false;
    QElapsedTimer sinceSplashClosed;
    qint64 designMsAtFire = -1;
    when([&] { return startup.splash() != nullptr; }, [&] {
        TForm1 *w = startup.mainWindow();
        armedWhileSplash = w->TBACKUP()->isActive();
        armedInterval = w->TBACKUP()->interval();
        QObject::connect(startup.splash(), &QDialog::finished, w, [&] {
            // The splash's done() has just restarted TBACKUP with its new interval.
            splashClosed = true;
            sinceSplashClosed.start();
        });
        QObject::connect(w, &TForm1::scheduledBackupDue, w, [&, w] {
            if (!splashClosed) {
                ++firesWhileSplash;
                return;
            }
            if (++fires > 1)
                return;
            // Real milliseconds times the divisor: the program's own clock.
            designMsAtFire = qRound64(static_cast<double>(sinceSplashClosed.nsecsElapsed()) / 1e6 * timeScale());
            intervalWhenFired = w->TBACKUP()->interval();
            w->ShutdownProgram();
        });
        // A timer still on its three minutes would never end the run by itself.
        QTimer::singleShot(scaledMs(kDesignArmedMs), w, [w] { w->ShutdownProgram(); });
    });
    startup.run();

    EXPECT_TRUE(armedWhileSplash);
    EXPECT_EQ(armedInterval, scaledMs(kDesignArmedMs));
    ASSERT_TRUE(splashClosed);
    EXPECT_EQ(firesWhileSplash, 0);
    // Fired once, with the seven-second interval, not before seven seconds
    // of program time had passed since the splash closed (less the coarse
    // timer's 5 %), and long before the three minutes it had before.
    EXPECT_EQ(fires, 1);
    EXPECT_EQ(intervalWhenFired, scaledMs(kDesignDelayMs));
    EXPECT_GE(designMsAtFire, kDesignDelayMs * 95 / 100);
    EXPECT_LT(designMsAtFire, kDesignArmedMs);
}

TEST(Startup, SecondInstanceEndsAndTheFirstIsUntouched)
{
    ProgramRun run;
    SingleInstanceGuard first(QStringLiteral("Dozorix")); // the running console
    ASSERT_FALSE(first.anotherInstanceRuns());
    Startup startup({});
    EXPECT_EQ(startup.run(), 0);
    EXPECT_TRUE(startup.mainWindow()->anotherInstanceRuns());
    EXPECT_EQ(startup.splash(), nullptr);
    EXPECT_FALSE(startup.mainWindow()->isVisible());
    // The first still holds its lock.
    SingleInstanceGuard third(QStringLiteral("Dozorix"));
    EXPECT_TRUE(third.anotherInstanceRuns());
}

TEST(Startup, HandEditedThresholdTakesEffectWithinOneReload)
{
    ProgramRun run;
    run.settings("[settings]\r\nCPU_1C_LOAD_PROCENT=10\r\nCPU_1C_LOAD=0\r\n");
    Startup startup({});
    int afterFirstReload = -1, afterEdit = -1, afterBadEdit = -1;
    bool alertAfterEdit = false;
    when([&] { return startup.mainWindow() && startup.mainWindow()->isVisible(); }, [&] {
        TForm1 *w = startup.mainWindow();
        // For the first reload period every mirror is still off.
        EXPECT_EQ(w->CPU_1C_LOAD_PROCENT, 0);
        when([w] { return w->CPU_1C_LOAD_PROCENT == 10; }, [&, w] {
            afterFirstReload = w->CPU_1C_LOAD_PROCENT;
            run.settings("[settings]\r\nCPU_1C_LOAD_PROCENT=55\r\nCPU_1C_LOAD=1\r\n");
            when([w] { return w->CPU_1C_LOAD_PROCENT == 55; }, [&, w] {
                afterEdit = w->CPU_1C_LOAD_PROCENT;
                alertAfterEdit = w->CPU_1C_LOAD_PROVERKA;
                run.settings("[settings]\r\nCPU_1C_LOAD_PROCENT=abc\r\nCPU_1C_LOAD=1\r\n");
                // Two reload periods later the bad text has left the mirror alone.
                QTimer::singleShot(scaledMs(2 * 15000 + 5000), w, [&, w] {
                    afterBadEdit = w->CPU_1C_LOAD_PROCENT;
                    w->ShutdownProgram();
                });
            });
        });
    });
    startup.run();
    EXPECT_EQ(afterFirstReload, 10);
    EXPECT_EQ(afterEdit, 55);
    EXPECT_TRUE(alertAfterEdit);
    EXPECT_EQ(afterBadEdit, 55);
}

TEST(Startup, ClosingTheWindowAsksFirst)
{
    ProgramRun run;
    Startup startup({});
    QStringList seen;
    int answers = 0;
    bool visibleAfterNo = false;
    auto answer = [&](QMessageBox::StandardButton button) {
        when([] { return qobject_cast<QMessageBox *>(QApplication::activeModalWidget()) != nullptr; }, [&, button] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen << box->windowTitle() << box->text()
                 << (static_cast<QAbstractButton *>(box->defaultButton()) == box->button(QMessageBox::No) ? QStringLiteral("default No") : QStringLiteral("?"))
                 << (box->icon() == QMessageBox::Question ? QStringLiteral("question") : QStringLiteral("?"))
                 << box->button(QMessageBox::Yes)->text() << box->button(QMessageBox::No)->text();
            ++answers;
            box->button(button)->click();
        });
    };
    when([&] { return startup.mainWindow() && startup.mainWindow()->isVisible(); }, [&] {
        answer(QMessageBox::No);
        startup.mainWindow()->close();
        visibleAfterNo = startup.mainWindow()->isVisible();
        answer(QMessageBox::Yes);
        startup.mainWindow()->close();
    });
    EXPECT_EQ(startup.run(), 0);
    EXPECT_EQ(answers, 2);
    EXPECT_TRUE(visibleAfterNo);
    ASSERT_GE(seen.size(), 6);
    // Qt's own buttons in Russian too.
    EXPECT_EQ(seen.mid(0, 6), (QStringList{QStringLiteral("Dozorix"),
                                           QStringLiteral("Вы действительно хотите выйти из программы?\n"),
                                           QStringLiteral("default No"), QStringLiteral("question"),
                                           QStringLiteral("&Да"), QStringLiteral("&Нет")}));
    EXPECT_TRUE(TForm1::shutdownRequested());
}

TEST(Startup, StartCSOpensTheAgentServerAndTheSettingsDialogSavesIt)
{
    ProgramRun run;
    const quint16 port = unusedLocalPort();
    ASSERT_NE(port, 0);
    run.settings(QStringLiteral("[settings]\r\nStartCS=1\r\nPort1=%1\r\nPort2=5006\r\n").arg(port).toUtf8());
    Startup startup({});
    bool listening = false, dialogShown = false;
    QString logAtMain;
    when([&] { return startup.mainWindow() && startup.mainWindow()->isVisible(); }, [&] {
        TForm1 *w = startup.mainWindow();
        listening = w->ServerSocket1()->isListening();
        logAtMain = w->eventLog()->toPlainText();
        // "Настройка ▸ Dozorix" opens the dialog modally; closing it saves.
        when([] { return qobject_cast<TForm10 *>(QApplication::activeModalWidget()) != nullptr; }, [&] {
            auto *dialog = qobject_cast<TForm10 *>(QApplication::activeModalWidget());
            dialogShown = dialog != nullptr;
            if (dialog)
                dialog->close();
        });
        QAction *settings = findMenuAction(w->menuBar(), QStringLiteral("settingsDozorix"));
        if (settings)
            settings->trigger();
        w->ShutdownProgram();
    });
    startup.run();
    EXPECT_TRUE(listening);
    EXPECT_TRUE(dialogShown);
    EXPECT_TRUE(startup.mainWindow()->StartCS);
    // The lines the dialog wrote while it was created were wiped by the splash.
    EXPECT_FALSE(logAtMain.contains(QStringLiteral("Сервер Dozorix успешно стартовал!")));
    EXPECT_TRUE(IniFile(settingsFilePath()).readBool(QStringLiteral("settings"), QStringLiteral("StartCS"), false));
    EXPECT_EQ(IniFile(settingsFilePath()).readString(QStringLiteral("settings"), QStringLiteral("Port1"), {}), QString::number(port));
}

// A settings file made read-only: the splash's start-up write fails, the file
// stays as it was, and the failure is the red line after the start line,
// once.
TEST(Startup, ReadOnlySettingsFileIsReportedAfterTheStartLine)
{
    ProgramRun run;
    const QByteArray original = "[settings]\r\nTrey=0\r\n";
    run.settings(original);
    const QString path = run.home.file(QStringLiteral("Example.ini"));
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    Startup startup({});
    QStringList lines;
    QList<QColor> colours;
    when([&] { return startup.mainWindow() && startup.mainWindow()->isVisible(); }, [&] {
        EventLog *log = startup.mainWindow()->eventLog();
        for (int i = 0; i < log->lineCount(); ++i) {
            lines << log->lineText(i);
            colours << log->lineColour(i);
        }
        startup.mainWindow()->ShutdownProgram();
    });
    EXPECT_EQ(startup.run(), 0);
    EXPECT_EQ(run.home.read(QStringLiteral("Example.ini")), original);
    ASSERT_EQ(lines.size(), 2) << lines.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(" : Программа Dozorix успешно стартовала. ")));
    EXPECT_TRUE(lines[1].contains(QRegularExpression(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} - \\d{1,2}:\\d\\d:\\d\\d : "
                                                                    "Не удалось сохранить настройки: "))))
        << lines[1].toStdString();
    EXPECT_TRUE(lines[1].contains(path)) << lines[1].toStdString();
    EXPECT_EQ(colours[1], QColor(Qt::red));
}

TEST(Startup, AScheduledStartBacksTheProfileUpAndEndsByItself)
{
    // "bak3": profile 3 is a file infobase; neither ZIP nor FTP: the program
    // ends after the copy, with nobody at the console.
    ProgramRun run;
    QTemporaryDir data;
    const QString base = data.filePath(QStringLiteral("base"));
    const QString backups = data.filePath(QStringLiteral("backups"));
    QDir().mkpath(base);
    QDir().mkpath(backups);
    QFile db(base + QStringLiteral("/1Cv8.1CD"));
    ASSERT_TRUE(db.open(QIODevice::WriteOnly));
    db.write(QByteArray(100000, 'x'));
    db.close();
    run.settings(("[Base3]\r\nPsevdo3=Склад\r\nRadioClient=0\r\nStrokaCon=" + base.toUtf8()
                  + "\r\n[BACKUP]\r\nAvtoPath=" + backups.toUtf8()
                  + "\r\nZadergka=Без задержки\r\nZipArhiv=0\r\nFtpArhiv=0\r\n"));
    Startup startup({QStringLiteral("bak3")});
    // A run that never ends by itself fails the test instead of hanging it.
    QTimer::singleShot(60000, qApp, [] { QCoreApplication::exit(3); });
    EXPECT_EQ(startup.run(), 0);
    EXPECT_TRUE(TForm1::shutdownRequested());
    const QStringList made = QDir(backups).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(made.size(), 1);
    EXPECT_TRUE(made[0].endsWith(QStringLiteral("_База_Склад"))) << made[0].toStdString();
    QFile copy(backups + u'/' + made[0] + QStringLiteral("/1Cv8.1CD"));
    EXPECT_EQ(copy.size(), 100000);
    const QString log = startup.mainWindow()->eventLog()->toPlainText();
    EXPECT_TRUE(log.contains(QStringLiteral("Подготовка к выполнению \"бэкапа\" Склад"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("Работа завершена!")));
    EXPECT_EQ(run.home.read(QStringLiteral("temp.txt")), QByteArray());
}
