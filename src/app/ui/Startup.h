#pragma once
// The start-up sequence: title, main window (with its single-instance
// guard), the other windows in their fixed order, the splash with its
// moments connected to the main window, the scheduled-backup parameter
// (checked, TBACKUP armed, temp.txt written), the log begun anew with the
// start line, the settings file marked, the splash shown modally, then the
// maximised main window and the event loop.

#include <QStringList>

#include <memory>

namespace dozorix {

class TForm1;
class TForm4;
class SignalBridge;

class Startup
{
public:
    // arguments: the program's arguments without the program name.
    explicit Startup(QStringList arguments);
    ~Startup();

    // Creates the windows and shows the splash modally; false when the
    // program was asked to end meanwhile (second instance, profile without
    // a name, a signal).
    bool start();
    // start(), then the main window maximised and the event loop.
    int run();

    TForm1 *mainWindow() const { return m_main.get(); }
    TForm4 *splash() const { return m_splash.get(); }

private:
    // A "bak<N>" start: the profile can run (else the run ends failed),
    // TBACKUP is armed, the splash says so and temp.txt holds the parameter.
    void takeScheduledParameter();
    // The event log cleared, the start line (and the settings file's
    // exposure, and what needs root in a console that is not root), the
    // settings file marked "FirstStart".
    void beginLog();

    QStringList m_arguments;
    int m_scheduledProfile = 0; // N of a "bak<N>" start, else 0
    std::unique_ptr<TForm1> m_main;
    std::unique_ptr<TForm4> m_splash;
    std::unique_ptr<SignalBridge> m_signals;
};

} // namespace dozorix
