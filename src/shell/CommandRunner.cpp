#include "shell/CommandRunner.h"

#include "common/Platform.h"
#include "common/ProgramDir.h"
#include "common/TextCodec.h"
#include "shell/BuiltinTools.h"
#include "shell/CmdInterpreter.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace dozorix {
namespace {

// Commands running in the background and their workers; never destroyed
// (workers may outlive main).
struct BackgroundJobs {
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;
    std::vector<QThread *> workers;
};

BackgroundJobs &jobs()
{
    static auto *j = new BackgroundJobs;
    return *j;
}

// Runs job on a worker of its own, detached from the caller, which may have
// no event loop: the workers that have ended are deleted at the next start.
void startBackground(std::function<void()> job)
{
    std::vector<QThread *> ended;
    {
        std::lock_guard lock(jobs().mutex);
        ++jobs().running;
        std::erase_if(jobs().workers, [&ended](QThread *worker) {
            if (!worker->isFinished())
                return false;
            ended.push_back(worker);
            return true;
        });
    }
    for (QThread *worker : ended) {
        worker->wait();
        delete worker;
    }
    QThread *worker = QThread::create([job = std::move(job)] {
        job();
        std::lock_guard lock(jobs().mutex);
        if (--jobs().running == 0)
            jobs().idle.notify_all();
    });
    {
        std::lock_guard lock(jobs().mutex);
        jobs().workers.push_back(worker);
    }
    worker->start();
}

} // namespace

// The worker's end comes back as a queued signal that ends the wait.
void runWithEventsRunning(const std::function<void()> &job)
{
    if (!QCoreApplication::instance()) {
        job();
        return;
    }
    QEventLoop loop;
    const std::unique_ptr<QThread> worker(QThread::create(job));
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    worker->start();
    loop.exec();
    worker->wait();
}

namespace {

// "cmd.exe /C " + command through our interpreter, output and errors in
// order; the text decoded page by page only when asked for.
ConsoleRun runConsole(const CommandLine &command, const QString &directory, bool decodeText)
{
    registerBuiltinTools();
    ConsoleRun run;
    const QString dir = commandDirectory(directory);
    if (dir.isEmpty())
        return run;
    // Exactly what cmd.exe gets: "/C " and the command, unchanged.
    MarkedText parameters = MarkedText::fromTemplate(QStringLiteral("/C "));
    parameters.append(command.marked());
    CmdInterpreter interpreter(dir);
    // Output and errors in order, with the code page each piece was written in.
    ConsoleSink sink(interpreter);
    run.started = true;
    run.exitCode = interpreter.runParameters(parameters, &sink, &sink);
    run.accessDenied = interpreter.accessDenied();
    run.bytes = sink.bytes();
    if (decodeText)
        run.text = sink.text();
    return run;
}

QString directoryOf(const QString &path)
{
    const qsizetype cut = std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    if (cut < 0)
        return QString();
    if (cut == 0)
        return path.left(1);
    return path.left(cut);
}

void setError(int *errorCode, int value)
{
    if (errorCode)
        *errorCode = value;
}

// The shared state of a watched command: its worker thread writes, its
// caller reads and signals.
class Watched : public WatchedCommand, public ByteSink
{
public:
    static constexpr qsizetype kTailBytes = 8192;

    bool finished() const override
    {
        std::lock_guard lock(m_mutex);
        return m_finished;
    }
    int exitCode() const override
    {
        std::lock_guard lock(m_mutex);
        return m_exitCode;
    }
    QString errorTail() const override
    {
        std::lock_guard lock(m_mutex);
        return decodeTextFile(m_tail).trimmed();
    }
    void terminate(qint64 graceMs) override
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_finished || m_terminating)
                return;
            m_terminating = true;
            signalAll(SIGTERM);
        }
        // The kill after the grace must come even where the caller's event
        // loop no longer runs (a runner destroyed as the program ends, a
        // caller blocked in waitForBackgroundCommands), so it is no timer
        // of the caller's but a wait of its own; graceMs is already scaled.
        std::weak_ptr<Watched> self = m_self;
        std::thread([self, graceMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(graceMs));
            if (auto s = self.lock()) {
                std::lock_guard lock(s->m_mutex);
                s->signalAll(SIGKILL);
            }
        }).detach();
    }

    void write(const QByteArray &bytes) override
    {
        std::lock_guard lock(m_mutex);
        m_tail.append(bytes);
        if (m_tail.size() > kTailBytes)
            m_tail.remove(0, m_tail.size() - kTailBytes);
    }
    void started(qint64 pid)
    {
        std::lock_guard lock(m_mutex);
        m_running.push_back(pid);
        // A program that starts while the command is being ended ends too.
        if (m_terminating)
            ::kill(static_cast<pid_t>(-pid), SIGTERM);
    }
    void ended(qint64 pid)
    {
        std::lock_guard lock(m_mutex);
        std::erase(m_running, pid);
    }
    void finish(int code)
    {
        std::lock_guard lock(m_mutex);
        m_exitCode = code;
        m_finished = true;
    }

    std::weak_ptr<Watched> m_self;

private:
    // Only groups of programs this command started and that have not been
    // reaped yet: their ids cannot belong to anybody else.
    void signalAll(int signal)
    {
        for (qint64 pid : m_running)
            ::kill(static_cast<pid_t>(-pid), signal);
    }

    mutable std::mutex m_mutex;
    std::vector<qint64> m_running;
    QByteArray m_tail;
    bool m_finished = false;
    bool m_terminating = false;
    int m_exitCode = -1;
};

} // namespace

QString commandDirectory(const QString &directory)
{
    if (directory.isEmpty())
        return QDir::currentPath();
    if (isForeignWindowsPath(directory))
        return QDir::homePath();
    const QString local = toLocalPath(directory, QDir::currentPath());
    return QFileInfo(local).isDir() ? local : QString();
}

QString RunAndCapture(const QString &command, const QString &directory)
{
    return RunAndCapture(CommandLine(command), directory);
}

QString capturedText(const ConsoleRun &run)
{
    return run.started ? fromCp1251(run.bytes) : QString();
}

QString RunAndCapture(const CommandLine &command, const QString &directory)
{
    return capturedText(runConsole(command, directory, false));
}

ConsoleRun RunInConsole(const CommandLine &command, const QString &directory)
{
    return runConsole(command, directory, true);
}

QString OemToAnsiText(const QString &text)
{
    return fromCp866(toCp1251(text));
}

void LaunchShellHidden(const QString &parameters)
{
    LaunchShellHidden(CommandLine(parameters));
}

void LaunchShellHidden(const CommandLine &parameters)
{
    registerBuiltinTools();
    const QString dir = programDir();
    startBackground([parameters, dir] {
        CmdInterpreter interpreter(dir);
        interpreter.runParameters(parameters, nullptr, nullptr);
    });
}

std::shared_ptr<WatchedCommand> LaunchShellWatched(const CommandLine &parameters)
{
    registerBuiltinTools();
    auto watched = std::make_shared<Watched>();
    watched->m_self = watched;
    const QString dir = programDir();
    startBackground([parameters, dir, watched] {
        CmdInterpreter interpreter(dir);
        interpreter.setWatchPrograms(true);
        // Direct: each program is noted before the next line of the
        // command runs and forgotten before it is reaped.
        QObject::connect(&interpreter, &CmdInterpreter::programStarted,
                         [&watched](qint64 pid) { watched->started(pid); });
        QObject::connect(&interpreter, &CmdInterpreter::programEnded,
                         [&watched](qint64 pid) { watched->ended(pid); });
        // Its errors are kept, its output (chcp's "Текущая кодовая страница") is not.
        const int code = interpreter.runParameters(parameters, nullptr, watched.get());
        watched->finish(code);
    });
    return watched;
}

bool waitForBackgroundCommands(int timeoutMs)
{
    std::unique_lock lock(jobs().mutex);
    return jobs().idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return jobs().running == 0; });
}

int windowsErrorFromErrno(int error)
{
    switch (error) {
    case 0: return 0;
    case ENOENT:
    case ENOTDIR: return 2;   // ERROR_FILE_NOT_FOUND
    case EACCES:
    case EPERM: return 5;     // ERROR_ACCESS_DENIED
    case ENOMEM: return 8;    // ERROR_NOT_ENOUGH_MEMORY
    case ENOEXEC: return 193; // ERROR_BAD_EXE_FORMAT
    case E2BIG: return 206;   // ERROR_FILENAME_EXCED_RANGE
    default: return error;
    }
}

bool RunProgram(const QString &path, const QString &parameters, const QString &directory, bool hide,
                bool waitForIdle, bool waitForExit, int *errorCode)
{
    return RunProgram(path, CommandLine(parameters), directory, hide, waitForIdle, waitForExit, errorCode);
}

bool RunProgram(const QString &path, const CommandLine &parameters, const QString &directory, bool hide,
                bool waitForIdle, bool waitForExit, int *errorCode)
{
    // Linux programs have no hidden main window and no input-idle state.
    Q_UNUSED(hide);
    Q_UNUSED(waitForIdle);
    setError(errorCode, 0);
    registerBuiltinTools();

    const QString written = directory.isEmpty() ? directoryOf(path) : directory;
    const QString dir = commandDirectory(written);
    const QStringList args = splitWindowsArguments(parameters.marked());
    const QString key = CmdInterpreter::builtinKey(path);

    std::function<void()> job;
    if (CmdInterpreter::isWindowsTool(key)) {
        CmdInterpreter::Builtin builtin = CmdInterpreter::findBuiltin(key);
        if (!builtin) {
            setError(errorCode, 2);
            return false;
        }
        job = [builtin, args = QStringList{path} + args, dir] {
            CmdInterpreter interpreter(dir.isEmpty() ? QDir::homePath() : dir);
            CmdContext ctx(&interpreter, args, args.mid(1).join(QLatin1Char(' ')), nullptr, nullptr);
            builtin(ctx);
        };
    } else {
        const QString program = toLocalPath(path, QDir::currentPath());
        if (program.isEmpty() || !QFileInfo(program).isFile()) {
            setError(errorCode, 2);
            return false;
        }
        if (dir.isEmpty()) {
            setError(errorCode, 267); // ERROR_DIRECTORY
            return false;
        }
        if (key.endsWith(QLatin1String(".cmd")) || key.endsWith(QLatin1String(".bat"))) {
            job = [program, args, dir] {
                CmdInterpreter interpreter(dir);
                interpreter.runBatchFile(program, args, nullptr, nullptr);
            };
        } else {
            SpawnRequest request;
            request.argv = QStringList{program} + args;
            request.workingDirectory = dir;
            const SpawnResult started = spawnProgram(request);
            if (started.error != 0) {
                setError(errorCode, windowsErrorFromErrno(started.error));
                return false;
            }
            const qint64 pid = started.pid;
            if (!waitForExit) {
                reapProgramInBackground(pid);
                return true;
            }
            runWithEventsRunning([pid] { waitForProgram(pid); });
            return true;
        }
    }

    if (waitForExit)
        runWithEventsRunning(job);
    else
        startBackground(std::move(job));
    return true;
}

ProgramRun RunProgramCaptured(const QString &path, const CommandLine &parameters, const QString &directory)
{
    registerBuiltinTools();
    ProgramRun run;
    const QString written = directory.isEmpty() ? directoryOf(path) : directory;
    const QString dir = commandDirectory(written);
    const QStringList args = splitWindowsArguments(parameters.marked());
    const QString key = CmdInterpreter::builtinKey(path);
    const bool tool = CmdInterpreter::isWindowsTool(key);
    const bool batch = key.endsWith(QLatin1String(".cmd")) || key.endsWith(QLatin1String(".bat"));
    if (!tool && !batch) {
        run.started = RunProgram(path, parameters, directory, true, false, true, &run.errorCode);
        return run;
    }
    QString program;
    if (tool) {
        if (!CmdInterpreter::findBuiltin(key)) {
            run.errorCode = 2;
            return run;
        }
    } else {
        program = toLocalPath(path, QDir::currentPath());
        if (program.isEmpty() || !QFileInfo(program).isFile()) {
            run.errorCode = 2;
            return run;
        }
        if (dir.isEmpty()) {
            run.errorCode = 267; // ERROR_DIRECTORY
            return run;
        }
    }
    run.started = true;
    runWithEventsRunning([&run, tool, program, path, args, dir] {
        CmdInterpreter interpreter(dir.isEmpty() ? QDir::homePath() : dir);
        ConsoleSink out(interpreter);
        ConsoleSink err(interpreter);
        if (tool) {
            const QStringList all = QStringList{path} + args;
            CmdContext ctx(&interpreter, all, args.join(QLatin1Char(' ')), &out, &err);
            run.exitCode = CmdInterpreter::findBuiltin(CmdInterpreter::builtinKey(path))(ctx);
        } else {
            run.exitCode = interpreter.runBatchFile(program, args, &out, &err);
        }
        run.output = out.text();
        run.errors = err.text();
        run.accessDenied = interpreter.accessDenied();
    });
    return run;
}

} // namespace dozorix
