#include "platform/linux/SystemdServiceManager.h"

#include "common/FdIo.h"
#include "common/ProgramDir.h"
#include "common/SafeFile.h"
#include "common/SystemErrors.h"
#include "common/TimeScale.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QVersionNumber>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace dozorix {
namespace {

const QStringList kUnitSuffixes = {
    QStringLiteral(".service"), QStringLiteral(".socket"), QStringLiteral(".target"),
    QStringLiteral(".timer"),   QStringLiteral(".mount"),  QStringLiteral(".path"),
};

constexpr qint64 kTermGraceMs = 2000;
constexpr qsizetype kMemoryMaxBytes = 64 * 1024;

// The units a Windows service name stands for.
struct Family {
    bool agent = false; // a 1C server agent: several units, remembered, enabled ones started
    QString single;     // any other name: the one unit
    QStringList patterns;
    QRegularExpression server;   // (1) the version, when the unit has one
    QRegularExpression follower; // ras of a version
    QRegularExpression templ;    // installed templates, not units that can run
};

Family familyOf(const QString &service)
{
    static const QRegularExpression agent(QStringLiteral("^1C:Enterprise (8\\.[123]) Server Agent$"),
                                          QRegularExpression::CaseInsensitiveOption);
    Family f;
    const QString name = service.trimmed();
    const QRegularExpressionMatch m = agent.match(name);
    if (m.hasMatch()) {
        f.agent = true;
        const QString version = m.captured(1);
        if (version == QLatin1String("8.3")) {
            f.patterns = {QStringLiteral("srv1cv8-8.3.*"), QStringLiteral("srv1cv83.service"),
                          QStringLiteral("ras-8.3.*")};
            f.server = QRegularExpression(
                QStringLiteral("^(?:srv1cv8-(8\\.3(?:\\.\\d+)+)(?:@[^@/\\s]+)?|srv1cv83)\\.service$"));
            f.follower = QRegularExpression(QStringLiteral("^ras-(8\\.3(?:\\.\\d+)+)(?:@[^@/\\s]+)?\\.service$"));
            f.templ = QRegularExpression(QStringLiteral("^(?:srv1cv8|ras)-8\\.3(?:\\.\\d+)+@\\.service$"));
        } else {
            const QString unit = QStringLiteral("srv1cv8%1.service").arg(version.back());
            f.patterns = {unit};
            f.server = QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(unit) + QLatin1Char('$'));
        }
        return f;
    }
    f.single = name;
    if (std::none_of(kUnitSuffixes.begin(), kUnitSuffixes.end(), [&](const QString &s) { return name.endsWith(s); }))
        f.single += QStringLiteral(".service");
    f.patterns = {f.single};
    return f;
}

// Fills in the kind and version of a unit of the family; false for a name
// that is none of its units (templates included).
bool classify(const Family &f, const QString &name, SystemdServiceManager::Unit *unit)
{
    unit->name = name;
    if (!f.agent) {
        unit->follower = false;
        return name == f.single;
    }
    QRegularExpressionMatch m = f.server.match(name);
    if (m.hasMatch()) {
        unit->follower = false;
        unit->version = m.captured(1);
        return true;
    }
    if (f.follower.isValid() && !f.follower.pattern().isEmpty()) {
        m = f.follower.match(name);
        if (m.hasMatch()) {
            unit->follower = true;
            unit->version = m.captured(1);
            return true;
        }
    }
    return false;
}

bool belongs(const Family &f, const QString &name)
{
    SystemdServiceManager::Unit unit;
    return classify(f, name, &unit);
}

bool isTemplate(const Family &f, const QString &name)
{
    return !f.templ.pattern().isEmpty() && f.templ.match(name).hasMatch();
}

// Running, for a start: nothing to do.
bool isUp(const QString &active)
{
    return active == QLatin1String("active") || active == QLatin1String("activating")
           || active == QLatin1String("reloading");
}

// Worth a stop: up, or on its way down (the stop waits for it).
bool isStoppable(const QString &active)
{
    return isUp(active) || active == QLatin1String("deactivating");
}

QString firstLines(const QByteArray &text, int maxLines)
{
    QStringList lines;
    for (const QByteArray &line : text.split('\n')) {
        const QString t = blankControlCharacters(QString::fromUtf8(line)).trimmed();
        if (t.isEmpty())
            continue;
        lines << t;
        if (lines.size() == maxLines)
            break;
    }
    return lines.join(QLatin1Char(' ')).left(400);
}

// A failed systemctl run as a Windows error code.
int mapFailure(const QByteArray &said)
{
    const QByteArray text = said.toLower();
    if (text.contains("access denied") || text.contains("interactive authentication required")
        || text.contains("permission denied"))
        return ServiceManager::kAccessDenied;
    if (text.contains("has not been booted with systemd") || text.contains("failed to connect to bus"))
        return ServiceManager::kRpcServerUnavailable;
    if (text.contains("not loaded") || text.contains("not found") || text.contains("does not exist"))
        return ServiceManager::kServiceDoesNotExist;
    return ServiceManager::kServiceSpecificError;
}

// Of several failures, the one the whole request reports: a refusal first
// (what the administrator must act on), then an unreachable manager, a time
// limit, any other failure.
int rank(int code)
{
    switch (code) {
    case ServiceManager::kAccessDenied: return 5;
    case ServiceManager::kRpcServerUnavailable: return 4;
    case ServiceManager::kServiceRequestTimeout: return 3;
    case ServiceManager::kServiceSpecificError: return 2;
    default: return code == 0 ? 0 : 1;
    }
}

struct Tally {
    int code = 0;
    void add(int failure)
    {
        if (rank(failure) > rank(code))
            code = failure;
    }
};

bool exited(pid_t pid)
{
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

QString currentBootId()
{
    QFile f(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("-");
    return QString::fromLatin1(f.readAll()).trimmed();
}

QString seconds(qint64 ms)
{
    return QString::number((ms + 999) / 1000);
}

} // namespace

SystemdServiceManager::SystemdServiceManager()
    : SystemdServiceManager(Options())
{
}

SystemdServiceManager::SystemdServiceManager(Options options)
    : m_options(std::move(options))
{
}

QStringList SystemdServiceManager::unitPatterns(const QString &service)
{
    return familyOf(service).patterns;
}

SystemdServiceManager::Run SystemdServiceManager::systemctl(const QStringList &args, qint64 limitMs) const
{
    Run run;
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        run.spawnError = errno;
        return run;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        run.spawnError = errno;
        ::close(out[0]);
        ::close(out[1]);
        return run;
    }
    SpawnRequest request;
    request.argv = QStringList{m_options.systemctl} + args;
    request.stdoutFd = out[1];
    request.stderrFd = err[1];
    const SpawnResult started = spawnProgram(request);
    ::close(out[1]);
    ::close(err[1]);
    if (started.error != 0) {
        ::close(out[0]);
        ::close(err[0]);
        run.spawnError = started.error;
        return run;
    }
    const pid_t pid = static_cast<pid_t>(started.pid);

    // Read both streams until they end, within the limit; past it, the
    // program is asked to end, and killed when it does not.
    QDeadlineTimer deadline(scaledMs(limitMs));
    QDeadlineTimer killAt(QDeadlineTimer::Forever);
    bool killed = false;
    auto overdue = [&] {
        if (!run.timedOut) {
            run.timedOut = true;
            ::kill(pid, SIGTERM);
            killAt.setRemainingTime(kTermGraceMs);
            return false;
        }
        ::kill(pid, SIGKILL);
        killed = true;
        return true;
    };
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    QByteArray *sinks[2] = {&run.output, &run.errors};
    int open = 2;
    while (open > 0 && !killed) {
        const qint64 left = run.timedOut ? killAt.remainingTime() : deadline.remainingTime();
        if (left == 0) {
            overdue();
            continue;
        }
        const int n = ::poll(fds, 2, static_cast<int>(std::min<qint64>(left, INT_MAX)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[8192];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            sinks[i]->append(buffer, got);
        }
    }
    for (pollfd &p : fds) {
        if (p.fd >= 0)
            ::close(p.fd);
    }
    // Both streams closed: the program is ending; it gets the rest of its time.
    while (!killed && !exited(pid)) {
        const qint64 left = run.timedOut ? killAt.remainingTime() : deadline.remainingTime();
        if (left == 0) {
            overdue();
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<qint64>(left, 10)));
    }
    run.exitCode = waitForProgram(started.pid);
    return run;
}

QString SystemdServiceManager::unreachable(const Run &run, const QString &verb, const QString &service) const
{
    const QString tried = QStringLiteral("команда systemctl %1 %2 не выполнена").arg(verb, unitPatterns(service).join(QLatin1Char(' ')));
    if (run.spawnError == ENOENT)
        return QStringLiteral("Службы управляются через systemd, а программы %1 на этом компьютере нет; %2.")
            .arg(m_options.systemctl, tried);
    if (run.spawnError != 0)
        return QStringLiteral("Службы управляются через systemd, а программа %1 не запускается: %2; %3.")
            .arg(m_options.systemctl, systemErrorText(run.spawnError), tried);
    if (mapFailure(run.errors + run.output) == kRpcServerUnavailable)
        return QStringLiteral("Службы управляются через systemd, а он не отвечает (systemctl: %1); %2.")
            .arg(firstLines(run.errors + run.output, 2), tried);
    return QString();
}

SystemdServiceManager::Survey SystemdServiceManager::survey(const QString &service, const QString &verb,
                                                            const Events &events, const QStringList &more) const
{
    Survey s;
    const Family family = familyOf(service);
    auto fail = [&](int code, const QString &text) {
        s.error = code;
        if (events.problem && !text.isEmpty())
            events.problem(text);
        return s;
    };
    if (!QFileInfo(m_options.runtimeDirectory).isDir()) {
        return fail(kRpcServerUnavailable,
                    QStringLiteral("Службы управляются через systemd, а он на этом компьютере не запущен (нет %1); "
                                   "команда systemctl %2 %3 не выполнена.")
                        .arg(m_options.runtimeDirectory, verb, family.patterns.join(QLatin1Char(' '))));
    }
    // A query that failed: the manager unreachable, or its own words.
    auto queryFailed = [&](const Run &run, const QStringList &args) {
        const QString why = unreachable(run, verb, service);
        if (!why.isEmpty())
            return fail(kRpcServerUnavailable, why);
        const QString command = QStringLiteral("systemctl ") + args.join(QLatin1Char(' '));
        if (run.timedOut)
            return fail(kRpcServerUnavailable, QStringLiteral("Команда %1 не завершилась за %2 с и прервана.")
                                                   .arg(command, seconds(m_options.queryLimitMs)));
        const QString said = firstLines(run.errors + run.output, 2);
        const int code = mapFailure(run.errors + run.output);
        return fail(code == kAccessDenied ? kAccessDenied : kRpcServerUnavailable,
                    QStringLiteral("Команда %1 не выполнена: %2")
                        .arg(command, said.isEmpty() ? QStringLiteral("код завершения %1").arg(run.exitCode) : said));
    };
    auto failed = [](const Run &run) { return run.spawnError != 0 || run.timedOut || run.exitCode != 0; };

    QStringList names;
    if (family.agent) {
        // Loaded units (running, failed, or pulled in by a target: the
        // enabled instances) and unit files (what is installed, templates
        // included, which are no units that can run).
        for (const QString &list : {QStringLiteral("list-units"), QStringLiteral("list-unit-files")}) {
            QStringList args{list};
            if (list == QLatin1String("list-units"))
                args << QStringLiteral("--all");
            args << QStringLiteral("--type=service") << QStringLiteral("--plain") << QStringLiteral("--no-legend")
                 << QStringLiteral("--no-pager") << QStringLiteral("--") << family.patterns;
            const Run run = systemctl(args, m_options.queryLimitMs);
            if (failed(run))
                return queryFailed(run, args);
            for (const QByteArray &line : run.output.split('\n')) {
                QList<QByteArray> words = line.simplified().split(' ');
                // A failed unit may keep its bullet on some versions.
                if (!words.isEmpty() && (words.front() == "\xe2\x97\x8f" || words.front() == "*"))
                    words.removeFirst();
                const QString name = QString::fromUtf8(words.value(0));
                if (name.isEmpty())
                    continue;
                if (isTemplate(family, name)) {
                    if (!s.templates.contains(name))
                        s.templates << name;
                } else if (belongs(family, name) && !names.contains(name)) {
                    names << name;
                }
            }
        }
    } else {
        names << family.single;
    }
    // show loads a unit that is installed but not loaded.
    for (const QString &name : more) {
        if (belongs(family, name) && !names.contains(name))
            names << name;
    }
    if (names.isEmpty())
        return s;

    const QStringList args = QStringList{QStringLiteral("show"),
                                         QStringLiteral("--property=Id,LoadState,ActiveState,UnitFileState,WantedBy"),
                                         QStringLiteral("--no-pager"), QStringLiteral("--")}
                             + names;
    const Run run = systemctl(args, m_options.queryLimitMs);
    if (failed(run))
        return queryFailed(run, args);
    // One block of NAME=VALUE lines per unit, in the order asked, blocks
    // parted by an empty line; the properties in systemd's own order.
    std::vector<QHash<QString, QString>> blocks(1);
    for (const QByteArray &raw : run.output.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty()) {
            if (!blocks.back().isEmpty())
                blocks.emplace_back();
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq > 0)
            blocks.back().insert(line.left(eq), line.mid(eq + 1));
    }
    QHash<QString, qsizetype> byId;
    for (qsizetype i = 0; i < static_cast<qsizetype>(blocks.size()); ++i) {
        if (blocks[i].contains(QStringLiteral("Id")))
            byId.insert(blocks[i].value(QStringLiteral("Id")), i);
    }
    for (qsizetype i = 0; i < names.size(); ++i) {
        const qsizetype at = byId.value(names[i], i);
        if (at >= static_cast<qsizetype>(blocks.size()))
            continue;
        const QHash<QString, QString> &p = blocks[at];
        Unit unit;
        classify(family, names[i], &unit);
        unit.loaded = p.value(QStringLiteral("LoadState")) == QLatin1String("loaded");
        unit.active = p.value(QStringLiteral("ActiveState"));
        const QString fileState = p.value(QStringLiteral("UnitFileState"));
        // An init script's generated unit is enabled when a target wants it.
        unit.enabled = fileState == QLatin1String("enabled") || fileState == QLatin1String("enabled-runtime")
                       || (fileState == QLatin1String("generated") && !p.value(QStringLiteral("WantedBy")).isEmpty());
        // Not found, masked, broken: nothing to start (a running one can still be stopped).
        if (!unit.loaded && !isStoppable(unit.active))
            continue;
        s.units.push_back(unit);
    }
    std::stable_sort(s.units.begin(), s.units.end(), [](const Unit &a, const Unit &b) {
        if (a.follower != b.follower)
            return !a.follower;
        const int byVersion = QVersionNumber::compare(QVersionNumber::fromString(a.version),
                                                      QVersionNumber::fromString(b.version));
        if (byVersion != 0)
            return byVersion < 0;
        return a.name < b.name;
    });
    return s;
}

int SystemdServiceManager::control(const QString &verb, const QString &unit, QString *reason) const
{
    const Run run = systemctl({verb, QStringLiteral("--no-ask-password"), QStringLiteral("--"), unit},
                              m_options.controlLimitMs);
    if (run.spawnError == 0 && !run.timedOut && run.exitCode == 0)
        return 0;
    if (run.timedOut) {
        *reason = QStringLiteral("systemctl %1 не завершился за %2 с и прерван").arg(verb, seconds(m_options.controlLimitMs));
        return kServiceRequestTimeout;
    }
    if (run.spawnError != 0) {
        *reason = QStringLiteral("%1 не запускается: %2").arg(m_options.systemctl, systemErrorText(run.spawnError));
        return kRpcServerUnavailable;
    }
    // "Failed to stop x.service: Access denied" -> "Access denied"
    QString said = firstLines(run.errors.isEmpty() ? run.output : run.errors, 1);
    const QString prefix = QStringLiteral("Failed to %1 %2: ").arg(verb, unit);
    if (said.startsWith(prefix))
        said = said.mid(prefix.size());
    *reason = said.isEmpty() ? QStringLiteral("systemctl %1 завершился с кодом %2").arg(verb).arg(run.exitCode) : said;
    return mapFailure(run.errors + run.output);
}

int SystemdServiceManager::queryState(const QString &service, State *state)
{
    const Survey s = survey(service, QStringLiteral("status"), Events());
    if (s.error != 0)
        return s.error;
    bool any = false;
    bool up = false;
    for (const Unit &unit : s.units) {
        if (unit.follower)
            continue;
        any = true;
        up = up || isUp(unit.active);
    }
    if (!any)
        return kServiceDoesNotExist;
    *state = up ? State::Running : State::Stopped;
    return 0;
}

int SystemdServiceManager::stop(const QString &service, const Events &events)
{
    const Survey s = survey(service, QStringLiteral("stop"), events);
    if (s.error != 0)
        return s.error;
    const Family family = familyOf(service);
    std::vector<const Unit *> running;
    bool anyServer = false;
    for (const Unit &unit : s.units) {
        if (unit.follower)
            continue;
        anyServer = true;
        if (isStoppable(unit.active))
            running.push_back(&unit);
    }
    if (!anyServer && s.templates.isEmpty())
        return kServiceDoesNotExist;
    if (running.empty())
        return kServiceNotActive;
    if (events.acting)
        events.acting();

    Tally tally;
    QStringList stopped;
    QSet<QString> downVersions;
    QSet<QString> upVersions;
    auto stopOne = [&](const Unit &unit) {
        QString reason;
        const int r = control(QStringLiteral("stop"), unit.name, &reason);
        if (r == 0) {
            stopped << unit.name;
            if (events.unitDone)
                events.unitDone(unit.name);
        } else {
            tally.add(r);
            if (events.unitFailed)
                events.unitFailed(unit.name, reason);
        }
        return r == 0;
    };
    for (const Unit *unit : running)
        (stopOne(*unit) ? downVersions : upVersions).insert(unit->version);
    // ras after its servers, and only when none of its version still runs.
    for (const Unit &unit : s.units) {
        if (unit.follower && isStoppable(unit.active) && downVersions.contains(unit.version)
            && !upVersions.contains(unit.version))
            stopOne(unit);
    }

    if (family.agent && !stopped.isEmpty()) {
        QStringList memory;
        QString problem;
        readMemory(&memory, &problem); // a file that cannot be read is replaced
        memory.erase(std::remove_if(memory.begin(), memory.end(), [&](const QString &u) { return belongs(family, u); }),
                     memory.end());
        memory << stopped;
        if (!writeMemory(memory, &problem) && events.problem)
            events.problem(QStringLiteral("ОШИБКА: остановленные юниты не запомнены (%1); "
                                          "net start запустит включенные.")
                               .arg(problem));
    }
    return tally.code;
}

int SystemdServiceManager::start(const QString &service, const Events &events)
{
    const Family family = familyOf(service);
    // What the console stopped, of this service; else the enabled units.
    QStringList memory;
    if (family.agent) {
        QString problem;
        if (!readMemory(&memory, &problem) && events.problem)
            events.problem(QStringLiteral("ОШИБКА: остановленные консолью юниты не прочитаны (%1); "
                                          "запускаются включенные.")
                               .arg(problem));
    }
    const Survey s = survey(service, QStringLiteral("start"), events, memory);
    if (s.error != 0)
        return s.error;
    QStringList installed;
    QSet<QString> known;
    bool anyServer = false;
    for (const Unit &unit : s.units) {
        known.insert(unit.name);
        if (!unit.follower) {
            anyServer = true;
            installed << unit.name;
        }
    }
    installed << s.templates;
    auto noneEnabled = [&] {
        if (events.problem)
            events.problem(QStringLiteral("Ни один из установленных юнитов не включен и консоль их не останавливала: %1; "
                                          "запускать нечего (включите нужные: systemctl enable).")
                               .arg(installed.join(QStringLiteral(", "))));
        return kServiceDisabled;
    };
    if (!anyServer)
        return s.templates.isEmpty() ? kServiceDoesNotExist : noneEnabled();

    // Of the remembered units, those still installed.
    QStringList remembered;
    for (const QString &unit : memory) {
        if (belongs(family, unit) && known.contains(unit) && !remembered.contains(unit))
            remembered << unit;
    }
    auto wanted = [&](const Unit &unit) {
        if (!family.agent)
            return true;
        return remembered.isEmpty() ? unit.enabled : remembered.contains(unit.name);
    };
    auto forget = [&](const QStringList &keep) {
        QStringList next;
        for (const QString &unit : memory) {
            if (!belongs(family, unit))
                next << unit;
        }
        next << keep;
        QString problem;
        if (!writeMemory(next, &problem) && events.problem)
            events.problem(QStringLiteral("ОШИБКА: список остановленных юнитов не обновлен (%1).").arg(problem));
    };

    std::vector<const Unit *> servers;
    std::vector<const Unit *> followers;
    QSet<QString> upVersions; // versions with a server up, now or once started
    bool anyUp = false;
    for (const Unit &unit : s.units) {
        if (unit.follower)
            continue;
        if (isUp(unit.active)) {
            anyUp = true;
            upVersions.insert(unit.version);
        } else if (wanted(unit)) {
            servers.push_back(&unit);
            upVersions.insert(unit.version);
        }
    }
    for (const Unit &unit : s.units) {
        if (unit.follower && !isUp(unit.active) && wanted(unit) && upVersions.contains(unit.version))
            followers.push_back(&unit);
    }
    if (servers.empty() && followers.empty()) {
        if (!remembered.isEmpty())
            forget({}); // started meanwhile by someone else
        return anyUp || !remembered.isEmpty() ? kServiceAlreadyRunning : noneEnabled();
    }
    if (events.acting)
        events.acting();

    Tally tally;
    QStringList notStarted;
    QSet<QString> runningVersions;
    for (const Unit &unit : s.units) {
        if (!unit.follower && isUp(unit.active))
            runningVersions.insert(unit.version);
    }
    auto startOne = [&](const Unit &unit) {
        QString reason;
        const int r = control(QStringLiteral("start"), unit.name, &reason);
        if (r == 0) {
            if (events.unitDone)
                events.unitDone(unit.name);
        } else {
            tally.add(r);
            notStarted << unit.name;
            if (events.unitFailed)
                events.unitFailed(unit.name, reason);
        }
        return r == 0;
    };
    for (const Unit *unit : servers) {
        if (startOne(*unit))
            runningVersions.insert(unit->version);
    }
    // ras after its servers, and only to a server of its version that runs.
    for (const Unit *unit : followers) {
        if (runningVersions.contains(unit->version)) {
            startOne(*unit);
            continue;
        }
        tally.add(kServiceSpecificError);
        notStarted << unit->name;
        if (events.unitFailed)
            events.unitFailed(unit->name, QStringLiteral("ни один сервер версии %1 не работает").arg(unit->version));
    }
    QStringList keep;
    for (const QString &unit : remembered) {
        if (notStarted.contains(unit))
            keep << unit;
    }
    if (keep.size() != remembered.size()) // a start refused everywhere leaves the file as it is
        forget(keep);
    return tally.code;
}

QString SystemdServiceManager::memoryPath() const
{
    return m_options.memoryFile.isEmpty() ? programFile(QString::fromLatin1(kMemoryFileName)) : m_options.memoryFile;
}

bool SystemdServiceManager::readMemory(QStringList *units, QString *problem) const
{
    units->clear();
    const QString path = memoryPath();
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::lstat(name.constData(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        *problem = QStringLiteral("«%1»: %2").arg(path, systemErrorText(errno));
        return false;
    }
    // Another account may own the program directory: never through a link,
    // never a FIFO, and only names of units (a stranger's text starts
    // nothing but the units of the service it is read for).
    const int fd = openRegularFile(path, O_RDONLY, problem);
    if (fd < 0)
        return false;
    QByteArray data;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || data.size() > kMemoryMaxBytes)
            break;
        data.append(buffer, n);
    }
    ::close(fd);
    static const QRegularExpression unitName(QStringLiteral("^[A-Za-z0-9@._:\\\\-]+\\.service$"));
    const QList<QByteArray> lines = data.left(kMemoryMaxBytes).split('\n');
    // The units of another boot were started by that boot's own start.
    if (lines.isEmpty() || QString::fromLatin1(lines.front()).trimmed() != QStringLiteral("boot ") + currentBootId())
        return true;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString unit = QString::fromLatin1(lines[i]).trimmed();
        if (unitName.match(unit).hasMatch())
            units->append(unit);
    }
    return true;
}

bool SystemdServiceManager::writeMemory(const QStringList &units, QString *problem) const
{
    const QString path = memoryPath();
    const QByteArray name = QFile::encodeName(path);
    if (units.isEmpty()) {
        if (::unlink(name.constData()) != 0 && errno != ENOENT) {
            *problem = QStringLiteral("«%1»: %2").arg(path, systemErrorText(errno));
            return false;
        }
        return true;
    }
    // A file of its own, renamed over the name: whatever stood there (a
    // link included) is replaced, never written through.
    QByteArray temporary = name + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *problem = QStringLiteral("«%1»: %2").arg(path, systemErrorText(errno));
        return false;
    }
    const QByteArray data = "boot " + currentBootId().toLatin1() + '\n' + units.join(QLatin1Char('\n')).toLatin1() + '\n';
    int err = 0;
    bool ok = ::fchmod(fd, 0644) == 0 || (err = errno, false);
    ok = ok && writeAllToFd(fd, data.constData(), data.size(), &err);
    if (::close(fd) != 0 && ok) {
        err = errno;
        ok = false;
    }
    if (ok && ::rename(temporary.constData(), name.constData()) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temporary.constData());
        *problem = QStringLiteral("«%1»: %2").arg(path, systemErrorText(err));
    }
    return ok;
}

namespace native {
std::shared_ptr<ServiceManager> createServiceManager()
{
    return std::make_shared<SystemdServiceManager>();
}
} // namespace native

} // namespace dozorix
