#include "shell/Elevation.h"

#include "common/LogSink.h"
#include "common/Platform.h"
#include "common/TextCodec.h"
#include "common/TimeScale.h"
#include "shell/CmdExternal.h"
#include "shell/CmdInterpreter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dozorix {
namespace {

// pkexec's own answers (polkit 122, pkexec.c), on its standard error.
const QByteArray kNoAgent = "No authentication agent found";
const QByteArray kNotAuthorized = "Not authorized";

std::mutex &helperMutex()
{
    static std::mutex m;
    return m;
}

QString &helperOverride()
{
    static QString path;
    return path;
}

// The switch names after which a Windows tool takes a password.
bool isPasswordSwitch(QString word)
{
    if (!word.startsWith(QLatin1Char('/')) && !word.startsWith(QLatin1Char('-')))
        return false;
    while (word.startsWith(QLatin1Char('/')) || word.startsWith(QLatin1Char('-')))
        word.remove(0, 1);
    const QString name = word.section(QLatin1Char(':'), 0, 0).toLower();
    return name == QLatin1String("p") || name == QLatin1String("rp") || name == QLatin1String("pass")
           || name == QLatin1String("password") || name == QLatin1String("pwd");
}

QString shown(const CommandLine &command)
{
    return command.toString().trimmed();
}

struct PkexecRun {
    int spawnError = 0;
    bool timedOut = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs pkexec with both its streams read to their end, for at most limitMs.
// At the limit pkexec is asked to end (SIGTERM, SIGKILL a moment later):
// while it waits for the password it is still the caller's; once it runs
// the command as root it is no longer, the signal is refused, and it is
// left to end by itself (reaped in the background).
PkexecRun runPkexec(const QStringList &argv, int limitMs)
{
    PkexecRun run;
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        run.spawnError = errno;
        return run;
    }
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        run.spawnError = errno;
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return run;
    }
    SpawnRequest request;
    request.argv = argv;
    request.stdoutFd = outPipe[1];
    request.stderrFd = errPipe[1];
    const SpawnResult started = spawnProgram(request);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (started.error != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        run.spawnError = started.error;
        return run;
    }

    struct Stream {
        int fd;
        QByteArray *into;
    };
    Stream streams[2] = {{outPipe[0], &run.out}, {errPipe[0], &run.err}};
    QElapsedTimer clock;
    clock.start();
    char buffer[16384];
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Stream *> which;
        for (Stream &s : streams) {
            if (s.fd >= 0) {
                fds.push_back({s.fd, POLLIN, 0});
                which.push_back(&s);
            }
        }
        if (fds.empty())
            break;
        const qint64 left = limitMs - clock.elapsed();
        if (left <= 0) {
            run.timedOut = true;
            break;
        }
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<qint64>(left, 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        for (size_t k = 0; ready > 0 && k < fds.size(); ++k) {
            if (fds[k].revents == 0)
                continue;
            const ssize_t got = ::read(which[k]->fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                ::close(which[k]->fd);
                which[k]->fd = -1;
                continue;
            }
            which[k]->into->append(buffer, got);
        }
    }
    for (Stream &s : streams) {
        if (s.fd >= 0)
            ::close(s.fd);
    }
    if (run.timedOut) {
        const pid_t pid = static_cast<pid_t>(started.pid);
        if (::kill(pid, SIGTERM) == 0) {
            QElapsedTimer grace;
            grace.start();
            // It ends at once when it still waits for the password.
            while (grace.elapsed() < 2000 && ::kill(pid, 0) == 0) {
                if (::waitpid(pid, nullptr, WNOHANG) == pid)
                    return run;
                ::usleep(20000);
            }
            ::kill(pid, SIGKILL);
        }
        reapProgramInBackground(started.pid);
        return run;
    }
    run.exitCode = waitForProgram(started.pid);
    return run;
}

// pkexec's refusal as the red line says it; empty when the run is the
// command's own (pkexec ran dozorix-cmd, whatever its exit code).
QString refusalOf(const PkexecRun &r, const QString &line)
{
    if (r.exitCode != 126 && r.exitCode != 127)
        return QString();
    // pkexec writes nothing on standard output; dozorix-cmd's own
    // complaints on standard error name it.
    const QByteArray err = r.err.trimmed();
    if (!r.out.isEmpty() || err.isEmpty() || err.startsWith("dozorix-cmd") || err.startsWith("usage: dozorix-cmd"))
        return QString();
    if (r.exitCode == 126)
        return QStringLiteral("Администратор отказал в правах root (окно polkit закрыто): «%1» не выполнена.").arg(line);
    if (err.contains(kNoAgent))
        return QStringLiteral("Нет агента polkit: пароль администратора спросить некому, «%1» не выполнена. "
                              "Запустите консоль в графическом сеансе с агентом polkit или от root.")
            .arg(line);
    if (err.contains(kNotAuthorized))
        return QStringLiteral("polkit не разрешил выполнить «%1» от root: пароль не подтвержден или нет прав "
                              "администратора.")
            .arg(line);
    const QString message = QString::fromUtf8(err.split('\n').value(0)).trimmed();
    return QStringLiteral("pkexec не выполнил «%1» от root: %2").arg(line, message);
}

} // namespace

bool consoleIsRoot()
{
    bool ok = false;
    const uint assumed = qEnvironmentVariable("DOZORIX_ASSUME_EUID").trimmed().toUInt(&ok);
    if (ok)
        return assumed == 0;
    return ::geteuid() == 0;
}

QString notRootNotice()
{
    return QStringLiteral("Консоль запущена не от root: завершение чужих процессов, службы 1С, запрет входа и "
                          "действия с чужими сеансами потребуют пароль администратора (polkit) или запуск от root.");
}

bool mayElevate(const CommandLine &command)
{
    const QString text = command.toString();
    if (text.contains(QLatin1String("pwd="), Qt::CaseInsensitive)
        || text.contains(QLatin1String("password="), Qt::CaseInsensitive))
        return false;
    for (const QString &word : splitWindowsArguments(command.marked())) {
        if (isPasswordSwitch(word))
            return false;
    }
    return true;
}

bool needsElevation(const ConsoleRun &run)
{
    return run.started && run.accessDenied && !consoleIsRoot();
}

QString elevationNotice(const CommandLine &command)
{
    if (!mayElevate(command))
        return QStringLiteral("Нет прав на команду: нужен root.");
    return QStringLiteral("Нет прав на «%1»: команда будет выполнена от root, polkit спросит пароль администратора.")
        .arg(shown(command));
}

QString elevationHelper()
{
    {
        std::lock_guard lock(helperMutex());
        if (!helperOverride().isEmpty())
            return helperOverride();
    }
    const QString dir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QDir::currentPath();
    return QDir(dir).absoluteFilePath(QStringLiteral("dozorix-cmd"));
}

void setElevationHelper(const QString &path)
{
    std::lock_guard lock(helperMutex());
    helperOverride() = path;
}

ConsoleRun RunElevated(const CommandLine &command, const QString &directory)
{
    ConsoleRun run;
    const QString line = shown(command);
    if (!mayElevate(command)) {
        // The line itself is not repeated: it holds the password.
        run.refusal = QStringLiteral("Команда с паролем не выполняется от root через polkit (пароль попал бы в список "
                                     "процессов): запустите консоль от root.");
        return run;
    }
    const QString dir = commandDirectory(directory);
    if (dir.isEmpty()) {
        run.refusal = QStringLiteral("Нет папки «%1»: «%2» не выполнена от root.").arg(directory, line);
        return run;
    }
    const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) {
        run.refusal = QStringLiteral("Нет pkexec (пакет pkexec): «%1» не выполнена от root.").arg(line);
        return run;
    }
    const QString helper = elevationHelper();
    const QFileInfo helperInfo(helper);
    if (!helperInfo.isAbsolute() || !helperInfo.isFile() || !helperInfo.isExecutable()) {
        run.refusal = QStringLiteral("Нет программы %1: «%2» не выполнена от root.").arg(helper, line);
        return run;
    }

    // The internal text agent of pkexec would ask on the terminal the
    // console was started from, behind its window: the desktop's agent
    // asks, or nobody.
    QStringList argv{pkexec, QStringLiteral("--disable-internal-agent"), helper, QStringLiteral("--dir"),
                     QDir(dir).absolutePath()};
    for (const QString &value : command.values())
        argv << QStringLiteral("--value") << value;
    argv << QStringLiteral("--") << command.templateText();

    const int limitMs = scaledMs(kElevationLimitMs);
    PkexecRun r;
    runWithEventsRunning([&r, &argv, limitMs] { r = runPkexec(argv, limitMs); });
    if (r.spawnError != 0) {
        run.refusal = QStringLiteral("Нет pkexec (пакет pkexec): «%1» не выполнена от root.").arg(line);
        return run;
    }
    if (r.timedOut) {
        run.refusal = QStringLiteral("Нет ответа за %1 мин. (пароль администратора не введен или команда не "
                                     "закончилась): «%2» от root прервана.")
                          .arg(kElevationLimitMs / 60000)
                          .arg(line);
        return run;
    }
    run.refusal = refusalOf(r, line);
    if (!run.refusal.isEmpty()) {
        run.exitCode = r.exitCode;
        return run;
    }
    run.started = true;
    run.exitCode = r.exitCode;
    run.text = QString::fromUtf8(r.out + r.err);
    run.bytes = encode(run.text, CodePage::Cp866);
    return run;
}

ConsoleRun RunWithRootOnDenial(const CommandLine &command, const QString &directory, const ElevationLog &log)
{
    ConsoleRun run;
    runWithEventsRunning([&run, &command, &directory] { run = RunInConsole(command, directory); });
    if (!needsElevation(run))
        return run;
    return RunAsRootAfterDenial(command, directory, log);
}

ConsoleRun RunAsRootAfterDenial(const CommandLine &command, const QString &directory, const ElevationLog &log)
{
    if (log)
        log(elevationNotice(command), kLogBlack);
    ConsoleRun root = RunElevated(command, directory);
    if (!root.refusal.isEmpty() && log)
        log(root.refusal, kLogRed);
    return root;
}

ProgramRun RunProgramWithRootOnDenial(const QString &path, const CommandLine &parameters, const QString &directory,
                                      const ElevationLog &log)
{
    const ProgramRun first = RunProgramCaptured(path, parameters, directory);
    if (!first.started || !first.accessDenied || consoleIsRoot())
        return first;
    const QString key = CmdInterpreter::builtinKey(path);
    CommandLine line;
    if (CmdInterpreter::isWindowsTool(key))
        line = CommandLine(key + QLatin1Char(' ') + parameters.templateText(), parameters.values());
    else if (parameters.templateText().trimmed().isEmpty())
        line = CommandLine(QStringLiteral("%1"), {path});
    else
        return first;
    const ConsoleRun root = RunAsRootAfterDenial(line, directory, log);
    if (!root.started)
        return first;
    ProgramRun run;
    run.started = true;
    run.exitCode = root.exitCode;
    (root.exitCode == 0 ? run.output : run.errors) = root.text;
    return run;
}

CommandLine commandOfParameters(const CommandLine &parameters)
{
    const QString text = parameters.templateText();
    qsizetype i = 0;
    while (i < text.size() && (text.at(i) == QLatin1Char(' ') || text.at(i) == QLatin1Char('\t')))
        ++i;
    if (text.mid(i, 2).compare(QLatin1String("/C"), Qt::CaseInsensitive) != 0)
        return parameters;
    i += 2;
    while (i < text.size() && (text.at(i) == QLatin1Char(' ') || text.at(i) == QLatin1Char('\t')))
        ++i;
    return CommandLine(text.mid(i), parameters.values());
}

void openRedirectionsAsCaller()
{
    if (::getuid() != 0 || ::geteuid() != 0)
        return;
    bool ok = false;
    const uint uid = qEnvironmentVariable("PKEXEC_UID").trimmed().toUInt(&ok);
    if (!ok || uid == 0)
        return;
    struct passwd entry {};
    struct passwd *found = nullptr;
    char buffer[4096];
    gid_t gid = static_cast<gid_t>(uid);
    if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof buffer, &found) == 0 && found)
        gid = found->pw_gid;
    setRedirectionAccount(uid, gid);
}

} // namespace dozorix
