#include "monitor/ProcessActions.h"

#include "common/Background.h"
#include "common/LogSink.h"
#include "common/Platform.h"
#include "common/ProgramDir.h"
#include "common/Stamps.h"
#include "shell/CommandLine.h"
#include "shell/CommandRunner.h"
#include "shell/Elevation.h"
#include "shell/HandOffFile.h"

#include <QPointer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <utility>

namespace dozorix {

namespace {

const QString kTemp = QStringLiteral("temp.txt");
const QString kBalloonTitle = QStringLiteral("Dozorix");
const QString kNotDone = QStringLiteral("Команда не выполнена!");
const QString kConnectionError = QStringLiteral("Ошибка подключения!");
// net's pointer to "NET HELPMSG", a command this system does not have.
const QString kNetHelpHint = QStringLiteral("Для вызова дополнительной справки наберите NET HELPMSG");

constexpr qint64 kServicePauseMs = 10000;
constexpr qint64 kAfterServiceMs = 2000;
constexpr qint64 kResetByLoginPauseMs = 3000;
constexpr qint64 kResetRemotePauseMs = 7000;
constexpr qint64 kAfterResetMs = 500;

QString versionText(ProcessActions::Version v)
{
    switch (v) {
    case ProcessActions::Version::V83: return QStringLiteral("8.3");
    case ProcessActions::Version::V82: return QStringLiteral("8.2");
    case ProcessActions::Version::V81: return QStringLiteral("8.1");
    }
    return {};
}

void green(const QString &text)
{
    logLine(LogStamp() + text, kLogGreen);
}

void red(const QString &text)
{
    logLine(LogStamp() + text, kLogRed);
}

void logStamped(const QString &text, unsigned int rgb)
{
    logLine(LogStamp() + text, rgb);
}

// What a tool said, line by line, each in its colour (toolLines).
void logToolOutput(const ConsoleRun &run)
{
    const QString output = OemToAnsiText(capturedText(run));
    for (const ProcessActions::ToolLine &line : ProcessActions::toolLines(output, run.started ? run.exitCode : 1))
        line.failed ? red(line.text) : green(line.text);
}

// LaunchShellHidden's start of a command whose output is read back from
// temp.txt later. A console that is not root runs it at once instead,
// waiting with the window's events running, so that a tool refused for want
// of rights is seen and the same line runs again as root (shell/Elevation.h)
// before the pause of the read-back begins: the read-back then finds what
// root's run wrote.
void launchCommand(const CommandLine &parameters)
{
    if (consoleIsRoot()) {
        LaunchShellHidden(parameters);
        return;
    }
    RunWithRootOnDenial(commandOfParameters(parameters), programDir(), logStamped);
}

} // namespace

ProcessActions::ProcessActions(Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_hooks(std::move(hooks))
{
    connect(&m_chain, &StepChain::finished, this, &ProcessActions::finished);
}

ProcessActions::~ProcessActions()
{
    waitForBackground(m_serviceJob);
}

QStringList ProcessActions::localKillCommands(LocalKill which)
{
    const QString ragent = QStringLiteral("TASKKILL /F /IM ragent*");
    const QString rphost = QStringLiteral("TASKKILL /F /IM rphost*");
    const QString rmngr = QStringLiteral("TASKKILL /F /IM rmngr*");
    switch (which) {
    case LocalKill::All1C: return {ragent, rphost, rmngr, QStringLiteral("TASKKILL /F /IM 1cv*")};
    case LocalKill::Servers: return {ragent, rphost, rmngr};
    case LocalKill::Clients8: return {QStringLiteral("TASKKILL /F /IM 1cv8*")};
    case LocalKill::Clients7: return {QStringLiteral("TASKKILL /F /IM 1cv7*")};
    }
    return {};
}

std::vector<ProcessActions::ToolLine> ProcessActions::toolLines(const QString &output, int exitCode,
                                                                const QStringList &successPrefixes)
{
    // An error line is red; a tool that ended with a non-zero status makes
    // red all it said but its success lines (one process of two ended).
    std::vector<ToolLine> lines;
    for (const QString &raw : output.trimmed().split(QLatin1Char('\n'))) {
        const QString text = raw.trimmed();
        if (text.isEmpty() && !lines.empty())
            continue;
        const bool error = text.startsWith(QStringLiteral("ОШИБКА")) || text.startsWith(QStringLiteral("Системная ошибка"));
        const bool success = std::any_of(successPrefixes.begin(), successPrefixes.end(),
                                         [&](const QString &prefix) { return text.startsWith(prefix); });
        lines.push_back({text, error || (exitCode != 0 && !success)});
    }
    return lines;
}

QStringList ProcessActions::netSuccessPrefixes()
{
    return {QStringLiteral("Остановлен "), QStringLiteral("Запущен ")};
}

void ProcessActions::killLocal(LocalKill which)
{
    const QString directory = QStringLiteral("C:\\");
    for (const QString &text : localKillCommands(which)) {
        const CommandLine command(text);
        const ConsoleRun run = RunInConsole(command, directory);
        logToolOutput(run);
        // Another account's processes and a console that is not root: the
        // same line once more as root, what it said after what was refused.
        if (!needsElevation(run))
            continue;
        const ConsoleRun root = RunAsRootAfterDenial(command, directory, logStamped);
        if (root.refusal.isEmpty())
            logToolOutput(root);
    }
}

QString ProcessActions::serviceName(Version v)
{
    return QStringLiteral("1C:Enterprise %1 Server Agent").arg(versionText(v));
}

QString ProcessActions::stopParameters(Version v)
{
    return QStringLiteral("/C  net stop \"%1\"  > temp.txt").arg(serviceName(v));
}

QString ProcessActions::startParameters(Version v)
{
    return QStringLiteral("/C  net start \"%1\"  > temp.txt").arg(serviceName(v));
}

QString ProcessActions::stopFailure(Version v)
{
    return QStringLiteral("Не удалось остановить службу \"%1\", возможно он уже остановлен!").arg(serviceName(v));
}

QString ProcessActions::startFailure(Version v)
{
    return QStringLiteral("Не удалось запустить службу \"%1\", возможно он уже стартовал!").arg(serviceName(v));
}

QString ProcessActions::restartSeparator(Version v, Pattern p)
{
    const int count = (p == Pattern::Tray && v == Version::V82) ? 65 : 64;
    return QString(count, QLatin1Char('=')) + QStringLiteral(" reboot...");
}

void ProcessActions::appendServiceSteps(Steps &steps, Version v, bool start, Pattern p, bool finalPause)
{
    const QString parameters = start ? startParameters(v) : stopParameters(v);
    const QString failure = start ? startFailure(v) : stopFailure(v);
    steps.push_back({0, [this, parameters] { launchService(parameters); }});
    steps.push_back({kServicePauseMs, [this, failure, p] {
                         if (m_serviceRun) {
                             const ConsoleRun run = *std::exchange(m_serviceRun, std::nullopt);
                             reportService(run, failure, p);
                             return;
                         }
                         // Still running: the chain waits for its end.
                         m_awaitingService = [this, failure, p](const ConsoleRun &run) { reportService(run, failure, p); };
                         m_chain.hold();
                     }});
    if (!finalPause)
        return;
    if (p == Pattern::MainMenu) {
        steps.push_back({0, [this] { repaintLog(); }});
        steps.push_back({kAfterServiceMs, [] {}});
    } else {
        steps.push_back({kAfterServiceMs, [this] {
                             clearList();
                             if (m_hadLines)
                                 emptyHandOffFile(kTemp);
                         }});
    }
}

void ProcessActions::launchService(const QString &parameters)
{
    m_serviceRun.reset();
    m_awaitingService = nullptr;
    // parameters are what cmd.exe gets: "/C " and the command.
    const CommandLine command = commandOfParameters(CommandLine(parameters));
    const QString dir = programDir();
    m_serviceJob = runInBackground(
        this, [command, dir] { return RunInConsole(command, dir); },
        [this, command, dir](const ConsoleRun &run) {
            if (!needsElevation(run)) {
                serviceEnded(run);
                return;
            }
            // A console that is not root, refused the service: the same line
            // once more as root (shell/Elevation.h); when root's run does not
            // happen, what was refused is reported.
            logStamped(elevationNotice(command), kLogBlack);
            m_serviceJob = runInBackground(
                this, [command, dir] { return RunElevated(command, dir); },
                [this, run](const ConsoleRun &root) {
                    if (!root.refusal.isEmpty())
                        red(root.refusal);
                    serviceEnded(root.refusal.isEmpty() ? root : run);
                });
        });
}

void ProcessActions::serviceEnded(const ConsoleRun &run)
{
    if (!m_awaitingService) {
        m_serviceRun = run;
        return;
    }
    std::exchange(m_awaitingService, nullptr)(run);
    m_chain.resume();
}

void ProcessActions::reportService(const ConsoleRun &run, const QString &failure, Pattern p)
{
    QStringList lines;
    if (!loadOutputOrStop(CodePage::Cp866, &lines))
        return;
    QStringList said;
    for (const QString &line : lines) {
        if (!line.isEmpty())
            said << line;
    }
    m_hadLines = !said.isEmpty();
    // The output went to temp.txt; what the run caught is net's errors.
    QStringList errors;
    for (const QString &line : splitLines(run.text)) {
        const QString text = line.trimmed();
        if (!text.isEmpty() && !text.startsWith(kNetHelpHint))
            errors << text;
    }
    const int exitCode = run.started ? run.exitCode : 1;
    std::vector<ToolLine> logged;
    if (!said.isEmpty() || !errors.isEmpty())
        logged = toolLines((said + errors).join(QLatin1Char('\n')), exitCode, netSuccessPrefixes());
    auto log = [&] {
        for (const ToolLine &line : logged)
            line.failed ? red(line.text) : green(line.text);
        if (!m_hadLines)
            red(failure);
    };
    if (p == Pattern::Tray) {
        if (m_hadLines && exitCode == 0) {
            balloon(said.last());
            return;
        }
        balloon(m_hadLines && !errors.isEmpty() ? errors.last() : failure);
        log();
        return;
    }
    log();
    clearList();
    if (m_hadLines)
        emptyHandOffFile(kTemp);
}

QString ProcessActions::serviceActionName(Version v, Operation op)
{
    QString operation;
    switch (op) {
    case Operation::Stop: operation = QStringLiteral("Остановить сервер"); break;
    case Operation::Start: operation = QStringLiteral("Запустить сервер"); break;
    case Operation::Restart: operation = QStringLiteral("Перезапустить сервер"); break;
    }
    return QStringLiteral("Сервер 1С ▸ 1С %1 ▸ %2").arg(versionText(v), operation);
}

QString ProcessActions::resetByLoginActionName()
{
    return QStringLiteral("Завершить процесс 1С v8 (По Логину пользователя)");
}

QString ProcessActions::resetRemoteActionName()
{
    return QStringLiteral("Завершить процессы 1С v8 удаленного пользователя.");
}

QString ProcessActions::refusedText(const QString &refused, const QString &running)
{
    return QStringLiteral("Команда «%1» не выполнена: еще выполняется «%2».").arg(refused, running);
}

bool ProcessActions::startAction(const QString &name, Steps steps)
{
    if (m_chain.isRunning()) {
        red(refusedText(name, m_runningAction));
        return false;
    }
    m_runningAction = name;
    return m_chain.start(std::move(steps));
}

bool ProcessActions::serviceCommand(Version v, Operation op, Pattern p)
{
    Steps steps;
    const bool tray = p == Pattern::Tray;
    switch (op) {
    case Operation::Stop:
        appendServiceSteps(steps, v, false, p, true);
        break;
    case Operation::Start:
        // The main-menu start of 8.2 and 8.1 ends without the repaint and pause.
        appendServiceSteps(steps, v, true, p, tray || v == Version::V83);
        break;
    case Operation::Restart: {
        const QString separator = restartSeparator(v, p);
        appendServiceSteps(steps, v, false, p, tray);
        if (tray) {
            steps.push_back({0, [this, separator] { balloon(separator); }});
        } else {
            steps.push_back({0, [this, separator] {
                                 red(separator);
                                 repaintLog();
                             }});
        }
        appendServiceSteps(steps, v, true, p, tray);
        // The separator's pause comes before the start's launch.
        auto &launch = steps[steps.size() - (tray ? 3 : 2)];
        launch.delayBeforeMs = kAfterServiceMs;
        break;
    }
    }
    return startAction(serviceActionName(v, op), std::move(steps));
}

CommandLine ProcessActions::resetByLoginCommand(const QString &login)
{
    return CommandLine(QStringLiteral("/C chcp 1251 && TASKKILL /F /FI \"USERNAME eq %1\" /IM 1cv8* /T > temp.txt"),
                       {login.trimmed()});
}

bool ProcessActions::resetByLogin(const QString &login)
{
    const CommandLine command = resetByLoginCommand(login);
    Steps steps;
    steps.push_back({0, [this, command] {
                         // Not root, the launch waits with the events running:
                         // the actions may be gone when it returns.
                         const QPointer<ProcessActions> self(this);
                         launchCommand(command);
                         if (self)
                             clearList();
                     }});
    steps.push_back({kResetByLoginPauseMs, [this] {
                         QStringList lines;
                         if (!loadOutputOrStop(CodePage::Cp1251, &lines))
                             return;
                         if (reportResetOutput(lines))
                             clearList();
                     }});
    steps.push_back({kAfterResetMs, [] { emptyHandOffFile(kTemp); }});
    return startAction(resetByLoginActionName(), std::move(steps));
}

CommandLine ProcessActions::resetRemoteCommand(const QString &host, const QString &domain, const QString &login,
                                               const QString &password)
{
    return CommandLine(
        QStringLiteral("/C chcp 1251 && taskkill /s %1 /u %2\\%3 /p %4 /fi \"IMAGENAME eq 1cv8* \" /im * /f > temp.txt"),
        {host.trimmed(), domain.trimmed(), login.trimmed(), password.trimmed()});
}

bool ProcessActions::resetRemote(const QString &host, const QString &domain, const QString &login,
                                 const QString &password)
{
    const CommandLine command = resetRemoteCommand(host, domain, login, password);
    Steps steps;
    steps.push_back({0, [this, command] {
                         LaunchShellHidden(command);
                         clearList();
                     }});
    steps.push_back({kResetRemotePauseMs, [this] {
                         QStringList lines;
                         if (!loadHandOffLines(kTemp, CodePage::Cp1251, &lines)) {
                             balloon(kConnectionError);
                             red(kConnectionError);
                         }
                         reportResetOutput(lines);
                     }});
    steps.push_back({kAfterResetMs, [this] {
                         clearList();
                         emptyHandOffFile(kTemp);
                     }});
    return startAction(resetRemoteActionName(), std::move(steps));
}

bool ProcessActions::loadOutputOrStop(CodePage cp, QStringList *lines)
{
    QString error;
    if (loadHandOffLines(kTemp, cp, lines, &error))
        return true;
    // Nothing to read at all: the action ends with the error shown.
    if (m_hooks.fileError)
        m_hooks.fileError(error);
    m_chain.cancel();
    return false;
}

bool ProcessActions::reportResetOutput(const QStringList &lines)
{
    if (lines.isEmpty()) {
        balloon(kNotDone);
        red(kNotDone);
        m_chain.cancel();
        return false;
    }
    for (const QString &line : lines)
        green(line);
    balloon(lines.last());
    return true;
}

void ProcessActions::balloon(const QString &text)
{
    if (m_hooks.balloon)
        m_hooks.balloon(kBalloonTitle, text);
}

bool ProcessActions::KillProcess(quint32 pid)
{
    const SignalResult result = ProcessControl::instance()->sendSignal(static_cast<qint64>(pid), SIGKILL);
    if (result.ok)
        return true;
    if ((result.error != EPERM && result.error != EACCES) || consoleIsRoot())
        return false;
    // Another account's process and a console that is not root: the same end
    // as root, through polkit.
    const CommandLine command(QStringLiteral("TASKKILL /F /PID %1"), {QString::number(pid)});
    logStamped(elevationNotice(command), kLogBlack);
    const ConsoleRun root = RunElevated(command, programDir());
    if (!root.refusal.isEmpty()) {
        red(root.refusal);
        return false;
    }
    logToolOutput(root);
    return root.exitCode == 0;
}

void ProcessActions::clearList()
{
    if (m_hooks.clearProcessList)
        m_hooks.clearProcessList();
}

void ProcessActions::repaintLog()
{
    if (m_hooks.repaintLog)
        m_hooks.repaintLog();
}

} // namespace dozorix
