#include "app/ui/Startup.h"

#include "app/QtTranslation.h"
#include "app/ScheduledStart.h"
#include "app/SignalBridge.h"
#include "app/ui/TForm1.h"
#include "app/ui/TForm4.h"
#include "common/AppInfo.h"
#include "common/LogSink.h"

#include <QApplication>
#include <QTimer>

namespace dozorix {

Startup::Startup(QStringList arguments)
    : m_arguments(std::move(arguments))
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
    m_main = std::make_unique<TForm1>(nullptr, scheduledBackupProfile(m_arguments.value(0)));
    if (!russianQt)
        logLine(QStringLiteral("Нет перевода Qt на русский (%1): кнопки стандартных окон будут на английском.")
                    .arg(missingTranslation),
                kLogRed);
    if (TForm1::shutdownRequested())
        return false;

    // The other windows, in their fixed order; the splash comes last.
    m_main->createOtherWindows();
    m_splash = std::make_unique<TForm4>(m_main.get(), m_arguments.value(0));
    if (TForm1::shutdownRequested())
        return false;
    m_splash->exec();
    return !TForm1::shutdownRequested();
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
