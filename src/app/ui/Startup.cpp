#include "app/ui/Startup.h"

#include "app/QtTranslation.h"
#include "app/ScheduledStart.h"
#include "app/SignalBridge.h"
#include "app/ui/EventLog.h"
#include "app/ui/TForm1.h"
#include "app/ui/TForm4.h"
#include "backup/BackupExitCodes.h"
#include "common/AppInfo.h"
#include "common/IniFile.h"
#include "common/LogSink.h"
#include "common/ProgramDir.h"
#include "common/SettingsExposure.h"
#include "common/Stamps.h"
#include "shell/Elevation.h"

#include <QApplication>
#include <QTimer>

namespace dozorix {

Startup::Startup(QStringList arguments)
    : m_arguments(std::move(arguments))
    , m_scheduledProfile(scheduledBackupProfile(m_arguments.value(0)))
{
}

Startup::~Startup() = default;

bool Startup::start()
{
    // No display name: the window system would append it to every title
    // ("Dozorix v: 1.5 — Dozorix"); without one the application's name,
    // "Dozorix", stands wherever Qt needs a display name.
    QApplication::setApplicationName(kAppTitle);
    QString missingTranslation;
    const bool russianQt = installQtTranslation(&missingTranslation);
    // The program ends through ShutdownProgram only, never because its last
    // visible window (the splash, or the main window gone to the tray) closed.
    QApplication::setQuitOnLastWindowClosed(false);

    // Signals are taken from the start: a scheduled run may wait in its main
    // window's creation for an earlier one, and SIGTERM must end that wait.
    m_signals = std::make_unique<SignalBridge>();
    QObject::connect(m_signals.get(), &SignalBridge::terminationRequested, m_signals.get(), [](int signalNumber) {
        TForm1 *main = TForm1::instance();
        if (main && main->scheduledProfile() && !TForm1::shutdownRequested())
            main->stopScheduledRun(signalNumber); // a backup stopped before its end says so
        else
            ShutdownProgram();
    });
    m_main = std::make_unique<TForm1>(nullptr, m_scheduledProfile);
    if (!russianQt)
        logLine(QStringLiteral("Нет перевода Qt на русский (%1): кнопки стандартных окон будут на английском.")
                    .arg(missingTranslation),
                kLogRed);
    if (TForm1::shutdownRequested())
        return false;

    // The other windows, in their fixed order; the splash comes last.
    m_main->createOtherWindows();
    m_splash = std::make_unique<TForm4>();
    QObject::connect(m_splash.get(), &TForm4::activated, m_main.get(), &TForm1::startSamplingTimers);
    QObject::connect(m_splash.get(), &TForm4::closing, m_main.get(), &TForm1::setScheduledBackupDelayAfterSplash);
    takeScheduledParameter();
    if (TForm1::shutdownRequested())
        return false; // the program is ending: no start line for a program that does not start
    beginLog();
    m_splash->exec();
    return !TForm1::shutdownRequested();
}

void Startup::takeScheduledParameter()
{
    if (m_scheduledProfile == 0)
        return;
    // Nothing to back up by: the run fails loudly (the log, standard error,
    // its exit status) instead of ending as if all went well.
    const QString missing = scheduledStartObstacle(m_scheduledProfile);
    if (!missing.isEmpty()) {
        m_main->CText(LogStamp() + QStringLiteral("Ночной «бэкап» не выполнен: ") + missing, kRed);
        m_main->endScheduledRun(backupExitCode(BackupExit::NoSettings), missing);
        return;
    }
    m_main->armScheduledBackup();
    m_splash->PARAMBACK = m_arguments.value(0);
    writeStartParameter(m_splash->PARAMBACK);
}

void Startup::beginLog()
{
    m_main->eventLog()->clearLog();
    m_main->CText(LogStamp() + QStringLiteral("Программа Dozorix успешно стартовала. "), kBlack);
    const QString exposed = settingsExposureWarning();
    if (!exposed.isEmpty())
        m_main->CText(LogStamp() + exposed, kRed);
    // An ordinary account: what will ask for the administrator's password.
    if (!consoleIsRoot())
        m_main->CText(LogStamp() + notRootNotice(), kBlack);
    // After the log was cleared, so that a failed write stays in it.
    if (settingsFileExists()) {
        IniFile ini(settingsFilePath());
        ini.writeBool(QStringLiteral("settings"), QStringLiteral("FirstStart"), true);
        saveSettingsFile(ini);
    }
}

int Startup::run()
{
    if (start()) {
        m_main->showMaximized();
    } else {
        // Asked to end during start-up: the exit may already have been
        // spent on the splash's own loop, so end this loop once the
        // shutdown pause is over.
        QTimer::singleShot(TForm1::shutdownRemainingMs(), m_main.get(),
                           [] { QCoreApplication::exit(TForm1::exitCode()); });
    }
    return QApplication::exec();
}

} // namespace dozorix
