#include "platform/linux/SystemdServiceManager.h"

#include <QRegularExpression>
#include <QVersionNumber>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace dozorix {
namespace {

const QStringList kUnitSuffixes = {
    QStringLiteral(".service"), QStringLiteral(".socket"), QStringLiteral(".target"),
    QStringLiteral(".timer"),   QStringLiteral(".mount"),  QStringLiteral(".path"),
};

bool hasWildcard(const QString &pattern)
{
    return pattern.contains(QLatin1Char('*')) || pattern.contains(QLatin1Char('?'));
}

// "srv1cv8-8.3.24.1467@default.service" -> 8.3.24.1467
QVersionNumber unitVersion(const QString &unit)
{
    static const QRegularExpression re(QStringLiteral("(\\d+(?:\\.\\d+)*)"));
    const QRegularExpressionMatch m = re.match(unit, unit.indexOf(QLatin1Char('-')) + 1);
    return m.hasMatch() ? QVersionNumber::fromString(m.captured(1)) : QVersionNumber();
}

} // namespace

SystemdServiceManager::SystemdServiceManager(QString systemctl)
    : m_systemctl(std::move(systemctl))
{
}

QStringList SystemdServiceManager::unitPatterns(const QString &service)
{
    static const QRegularExpression agent(QStringLiteral("^1C:Enterprise (8\\.[123]) Server Agent$"),
                                          QRegularExpression::CaseInsensitiveOption);
    const QString name = service.trimmed();
    const QRegularExpressionMatch m = agent.match(name);
    if (m.hasMatch()) {
        const QString version = m.captured(1);
        if (version == QLatin1String("8.3"))
            return {QStringLiteral("srv1cv8-8.3.*@*.service"), QStringLiteral("srv1cv83.service")};
        return {QStringLiteral("srv1cv8%1.service").arg(version.back())};
    }
    for (const QString &suffix : kUnitSuffixes) {
        if (name.endsWith(suffix))
            return {name};
    }
    return {name + QStringLiteral(".service")};
}

SystemdServiceManager::Run SystemdServiceManager::systemctl(const QStringList &args) const
{
    Run run;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        run.spawnError = errno;
        return run;
    }
    SpawnRequest request;
    request.argv = QStringList{m_systemctl} + args;
    request.stdoutFd = fds[1];
    request.stderrFd = fds[1];
    const SpawnResult started = spawnProgram(request);
    ::close(fds[1]);
    if (started.error != 0) {
        ::close(fds[0]);
        run.spawnError = started.error;
        return run;
    }
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        run.output.append(buffer, n);
    }
    ::close(fds[0]);
    run.exitCode = waitForProgram(started.pid);
    return run;
}

int SystemdServiceManager::mapFailure(const Run &run) const
{
    if (run.spawnError != 0)
        return kRpcServerUnavailable;
    const QByteArray text = run.output.toLower();
    if (text.contains("has not been booted with systemd") || text.contains("failed to connect to bus")
        || text.contains("system has not been booted"))
        return kRpcServerUnavailable;
    if (text.contains("access denied") || text.contains("authentication required")
        || text.contains("permission denied"))
        return kAccessDenied;
    if (text.contains("not loaded") || text.contains("not found") || text.contains("does not exist"))
        return kServiceDoesNotExist;
    return kServiceSpecificError;
}

int SystemdServiceManager::resolve(const QString &service, QString *unit, State *state) const
{
    QStringList candidates;
    for (const QString &pattern : unitPatterns(service)) {
        if (!hasWildcard(pattern)) {
            candidates.append(pattern);
            continue;
        }
        for (const QString &verb : {QStringLiteral("list-units"), QStringLiteral("list-unit-files")}) {
            QStringList args{verb, QStringLiteral("--type=service"), QStringLiteral("--plain"),
                             QStringLiteral("--no-legend"), QStringLiteral("--no-pager")};
            if (verb == QLatin1String("list-units"))
                args.append(QStringLiteral("--all"));
            args << QStringLiteral("--") << pattern;
            const Run run = systemctl(args);
            if (run.spawnError != 0 || (run.exitCode != 0 && mapFailure(run) == kRpcServerUnavailable))
                return kRpcServerUnavailable;
            for (const QByteArray &line : run.output.split('\n')) {
                const QString name = QString::fromUtf8(line.simplified().split(' ').value(0));
                // Template files ("x@.service") are not units that can run.
                if (name.endsWith(QLatin1String(".service")) && !name.endsWith(QLatin1String("@.service"))
                    && !candidates.contains(name))
                    candidates.append(name);
            }
        }
    }

    struct Found {
        QString unit;
        bool active;
    };
    std::vector<Found> found;
    for (const QString &candidate : candidates) {
        const Run run = systemctl({QStringLiteral("show"), QStringLiteral("--property=LoadState"),
                                   QStringLiteral("--property=ActiveState"), QStringLiteral("--no-pager"),
                                   QStringLiteral("--"), candidate});
        if (run.spawnError != 0 || run.exitCode != 0) {
            const int failure = mapFailure(run);
            if (failure == kRpcServerUnavailable || failure == kAccessDenied)
                return failure;
            continue;
        }
        QString load;
        QString active;
        for (const QByteArray &line : run.output.split('\n')) {
            if (line.startsWith("LoadState="))
                load = QString::fromUtf8(line.mid(10)).trimmed();
            else if (line.startsWith("ActiveState="))
                active = QString::fromUtf8(line.mid(12)).trimmed();
        }
        if (load.isEmpty() || load == QLatin1String("not-found"))
            continue;
        found.push_back({candidate, active == QLatin1String("active") || active == QLatin1String("activating")
                                        || active == QLatin1String("reloading")});
    }
    if (found.empty())
        return kServiceDoesNotExist;
    std::stable_sort(found.begin(), found.end(), [](const Found &a, const Found &b) {
        if (a.active != b.active)
            return a.active;
        return unitVersion(a.unit) > unitVersion(b.unit);
    });
    *unit = found.front().unit;
    *state = found.front().active ? State::Running : State::Stopped;
    return 0;
}

int SystemdServiceManager::queryState(const QString &service, State *state)
{
    QString unit;
    return resolve(service, &unit, state);
}

int SystemdServiceManager::control(const QString &verb, const QString &service)
{
    QString unit;
    State state;
    const int resolved = resolve(service, &unit, &state);
    if (resolved != 0)
        return resolved;
    const Run run = systemctl({verb, QStringLiteral("--no-ask-password"), QStringLiteral("--"), unit});
    if (run.spawnError == 0 && run.exitCode == 0)
        return 0;
    return mapFailure(run);
}

int SystemdServiceManager::start(const QString &service)
{
    return control(QStringLiteral("start"), service);
}

int SystemdServiceManager::stop(const QString &service)
{
    return control(QStringLiteral("stop"), service);
}

namespace native {
std::shared_ptr<ServiceManager> createServiceManager()
{
    return std::make_shared<SystemdServiceManager>();
}
} // namespace native

} // namespace dozorix
