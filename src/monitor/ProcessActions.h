#pragma once
// Ending 1C processes and controlling the 1C server service: the menu and
// tray actions, each a console command with its exact text. Local taskkill
// commands run at once and log their output; service commands and the two
// reset windows launch the command, wait a fixed time without freezing the
// window, and read its output back from temp.txt. A service command's end
// is awaited past that time (systemctl may take longer to stop a cluster):
// its exit code and its errors decide what is logged red.
//
// While one of the temp.txt actions runs, another is refused (they would
// read each other's output), visibly: a red log line names the action that
// still runs.
//
// A console that is not root starts the service commands and the reset by
// login at once, waiting for them with the window's events running: a line
// refused for want of rights runs again as root through polkit
// (shell/Elevation.h), and temp.txt is read back after the pause as before.
// The remote reset holds a password and is never run as root so.

#include "common/TextCodec.h"
#include "common/TimeScale.h"
#include "shell/CommandLine.h"
#include "shell/CommandRunner.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>

#include <functional>
#include <optional>
#include <vector>

namespace dozorix {

class ProcessActions : public QObject
{
    Q_OBJECT
public:
    enum class LocalKill {
        All1C,       // servers and clients
        Clients8,    // 1cv8*
        Clients7,    // 1cv7*
        Servers,     // ragent, rphost, rmngr
    };
    enum class Version { V83, V82, V81 };
    enum class Operation { Stop, Start, Restart };
    enum class Pattern { MainMenu, Tray };

    // How the actions reach the window; an empty hook leaves its step out.
    struct Hooks {
        std::function<void(const QString &title, const QString &text)> balloon;
        std::function<void()> clearProcessList;
        std::function<void()> repaintLog;
        // temp.txt could not be opened at all.
        std::function<void(const QString &message)> fileError;
    };

    explicit ProcessActions(Hooks hooks, QObject *parent = nullptr);
    // Waits for a service command still running: it is never left to call
    // the service manager for an owner that has gone.
    ~ProcessActions() override;

    // The taskkill commands of a local action, in order.
    static QStringList localKillCommands(LocalKill which);
    // Runs them and logs what each said, line by line (blank lines left
    // out): green, and red for a line that reports an error ("ОШИБКА: …")
    // and, when the tool ended with a non-zero status, for every line but
    // its success lines ("УСПЕШНО: …"). In a console that is not root, a
    // line refused another account's process runs once more as root
    // (shell/Elevation.h): a black line says so, then what it said there,
    // or in red why it did not run.
    void killLocal(LocalKill which);
    struct ToolLine {
        QString text;
        bool failed = false;
    };
    static std::vector<ToolLine> toolLines(const QString &output, int exitCode,
                                           const QStringList &successPrefixes = {QStringLiteral("УСПЕШНО")});
    // The success lines of net: a unit started or stopped.
    static QStringList netSuccessPrefixes();

    static QString serviceName(Version v);
    static QString stopParameters(Version v);
    static QString startParameters(Version v);
    static QString stopFailure(Version v);
    static QString startFailure(Version v);
    static QString restartSeparator(Version v, Pattern p);

    // Starts a service command; false when another temp.txt action runs.
    // The main menu logs what net said, results then errors, each line
    // through toolLines() with net's exit code (red when it failed), and the
    // failure text when temp.txt stayed empty; the tray shows a balloon (the
    // last result, or on failure the failure text or net's last error) and
    // logs only a failure, the same way.
    bool serviceCommand(Version v, Operation op, Pattern p);

    // The reset-by-login window's command for a login, and its action.
    static CommandLine resetByLoginCommand(const QString &login);
    bool resetByLogin(const QString &login);
    // The remote-user window's command and action.
    static CommandLine resetRemoteCommand(const QString &host, const QString &domain, const QString &login,
                                          const QString &password);
    bool resetRemote(const QString &host, const QString &domain, const QString &login, const QString &password);

    bool isBusy() const { return m_chain.isRunning(); }
    // The menu path of the temp.txt action that runs ("Сервер 1С ▸ 1С 8.3 ▸
    // Перезапустить сервер"); empty when none runs.
    QString runningAction() const { return m_chain.isRunning() ? m_runningAction : QString(); }
    static QString serviceActionName(Version v, Operation op);
    static QString resetByLoginActionName();
    static QString resetRemoteActionName();
    // The red line of an action refused while another runs.
    static QString refusedText(const QString &refused, const QString &running);

    // Ends one process at once; false when it cannot be ended. In a console
    // that is not root, another account's process is ended as root through
    // polkit ("TASKKILL /F /PID n", shell/Elevation.h): a black line says so,
    // then the tool's line, or in red why it did not run.
    static bool KillProcess(quint32 pid);

signals:
    void finished();

private:
    using Steps = std::vector<StepChain::Step>;
    // One launch-and-read-back of a service command; finalPause adds the
    // pattern's closing step (main menu: repaint and 2 s; tray: 2 s, then
    // the list and temp.txt are emptied).
    void appendServiceSteps(Steps &steps, Version v, bool start, Pattern p, bool finalPause);
    // Runs the service command's text ("/C  net …  > temp.txt") off the
    // window thread, its end and errors kept for reportService.
    void launchService(const QString &parameters);
    // The service command has ended (as root too, when it was refused).
    void serviceEnded(const ConsoleRun &run);
    void reportService(const ConsoleRun &run, const QString &failure, Pattern p);
    // Reads temp.txt; when it cannot be opened, shows the error and ends the action.
    bool loadOutputOrStop(CodePage cp, QStringList *lines);
    // Logs the reset command's lines and shows the last one; with none,
    // reports "Команда не выполнена!" and ends the action. False when empty.
    bool reportResetOutput(const QStringList &lines);
    // Starts the steps as the named action; while another action runs,
    // logs the refusal and returns false.
    bool startAction(const QString &name, Steps steps);
    void balloon(const QString &text);
    void clearList();
    void repaintLog();

    Hooks m_hooks;
    StepChain m_chain;
    QString m_runningAction;
    bool m_hadLines = false;
    QPointer<QThread> m_serviceJob;
    std::optional<ConsoleRun> m_serviceRun; // the ended command, until reported
    std::function<void(const ConsoleRun &)> m_awaitingService; // the held chain's report
};

} // namespace dozorix
