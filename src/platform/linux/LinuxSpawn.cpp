// Starting programs on Linux: posix_spawn with an argument vector, never a
// shell. glibc's posix_spawn does not fall back to /bin/sh for a file that is
// not an executable (ENOEXEC is reported as such).

#include "common/Platform.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace dozorix {
namespace {

class FileActions
{
public:
    FileActions() { posix_spawn_file_actions_init(&m_actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&m_actions); }
    FileActions(const FileActions &) = delete;
    FileActions &operator=(const FileActions &) = delete;
    posix_spawn_file_actions_t *get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

class SpawnAttributes
{
public:
    SpawnAttributes()
    {
        posix_spawnattr_init(&m_attr);
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigmask(&m_attr, &none);
        posix_spawnattr_setsigdefault(&m_attr, &all);
        posix_spawnattr_setflags(&m_attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&m_attr); }
    SpawnAttributes(const SpawnAttributes &) = delete;
    SpawnAttributes &operator=(const SpawnAttributes &) = delete;
    posix_spawnattr_t *get() { return &m_attr; }

private:
    posix_spawnattr_t m_attr;
};

} // namespace

SpawnResult spawnProgram(const SpawnRequest &request)
{
    SpawnResult result;
    if (request.argv.isEmpty() || request.argv.front().isEmpty()) {
        result.error = ENOENT;
        return result;
    }

    std::vector<QByteArray> storage;
    storage.reserve(static_cast<size_t>(request.argv.size()));
    for (const QString &arg : request.argv)
        storage.push_back(QFile::encodeName(arg));
    std::vector<char *> argv;
    for (QByteArray &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    int devNull = -1;
    auto fdFor = [&](int fd, int flags) {
        if (fd >= 0)
            return fd;
        if (devNull < 0)
            devNull = ::open("/dev/null", flags | O_CLOEXEC);
        return devNull;
    };
    const int in = fdFor(request.stdinFd, O_RDWR);
    const int out = fdFor(request.stdoutFd, O_RDWR);
    const int err = fdFor(request.stderrFd, O_RDWR);

    FileActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), err, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
    QByteArray dir;
    if (!request.workingDirectory.isEmpty()) {
        dir = QFile::encodeName(request.workingDirectory);
        posix_spawn_file_actions_addchdir_np(actions.get(), dir.constData());
    }
    SpawnAttributes attributes;
    if (request.ownProcessGroup) {
        posix_spawnattr_setpgroup(attributes.get(), 0);
        short flags = 0;
        posix_spawnattr_getflags(attributes.get(), &flags);
        posix_spawnattr_setflags(attributes.get(), static_cast<short>(flags | POSIX_SPAWN_SETPGROUP));
    }

    pid_t pid = -1;
    const bool searchPath = !request.argv.front().contains(QLatin1Char('/'));
    const int rc = searchPath
        ? posix_spawnp(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environ)
        : posix_spawn(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environ);
    if (devNull >= 0)
        ::close(devNull);
    if (rc != 0) {
        result.error = rc;
        return result;
    }
    result.pid = pid;
    return result;
}

int waitForProgram(qint64 pid)
{
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(static_cast<pid_t>(pid), &status, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0)
        return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

void waitForProgramEnd(qint64 pid)
{
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
}

void reapProgramInBackground(qint64 pid)
{
    std::thread([pid] { waitForProgram(pid); }).detach();
}

} // namespace dozorix
