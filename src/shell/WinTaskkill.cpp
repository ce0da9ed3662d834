// taskkill: ends processes of this computer the way the Windows tool does,
// with its Russian messages.

#include "common/Platform.h"
#include "common/SystemErrors.h"
#include "common/Wildcard.h"
#include "shell/CmdInterpreter.h"
#include "shell/WinTools.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <unistd.h>

namespace dozorix {
namespace {

const QString kUsageHint = QStringLiteral("Введите \"TASKKILL /?\" для получения справки по использованию.");

struct Filter {
    enum class Field { ImageName, UserName, Pid, MemUsage };
    enum class Op { Eq, Ne, Gt, Lt, Ge, Le };
    Field field;
    Op op;
    QString value;
    qint64 number = 0;

    bool compareNumber(qint64 actual) const
    {
        switch (op) {
        case Op::Eq: return actual == number;
        case Op::Ne: return actual != number;
        case Op::Gt: return actual > number;
        case Op::Lt: return actual < number;
        case Op::Ge: return actual >= number;
        case Op::Le: return actual <= number;
        }
        return false;
    }

    bool matches(const ProcessInfo &p) const
    {
        bool equal = false;
        switch (field) {
        case Field::ImageName:
            equal = imageMatches(value, p.imageName);
            break;
        case Field::UserName: {
            // "DOMAIN\user" or "user": Linux accounts have no domain part.
            const QString account = value.mid(value.lastIndexOf(QLatin1Char('\\')) + 1);
            equal = wildcardMatch(p.ownerName, account);
            break;
        }
        case Field::Pid:
            return compareNumber(p.pid);
        case Field::MemUsage:
            return compareNumber(static_cast<qint64>(p.residentBytes / 1024));
        }
        return op == Op::Eq ? equal : !equal;
    }
};

bool parseFilter(const QString &text, Filter *out)
{
    const QString simplified = text.simplified();
    const QStringList words = simplified.split(QLatin1Char(' '));
    if (words.size() < 3)
        return false;
    const QString name = words[0].toUpper();
    const QString op = words[1].toLower();
    out->value = simplified.section(QLatin1Char(' '), 2);

    static const QHash<QString, Filter::Op> ops = {
        {QStringLiteral("eq"), Filter::Op::Eq}, {QStringLiteral("ne"), Filter::Op::Ne},
        {QStringLiteral("gt"), Filter::Op::Gt}, {QStringLiteral("lt"), Filter::Op::Lt},
        {QStringLiteral("ge"), Filter::Op::Ge}, {QStringLiteral("le"), Filter::Op::Le},
    };
    if (!ops.contains(op))
        return false;
    out->op = ops.value(op);
    const bool equality = out->op == Filter::Op::Eq || out->op == Filter::Op::Ne;

    if (name == QLatin1String("IMAGENAME") || name == QLatin1String("USERNAME")) {
        out->field = name == QLatin1String("IMAGENAME") ? Filter::Field::ImageName : Filter::Field::UserName;
        return equality;
    }
    if (name == QLatin1String("PID") || name == QLatin1String("MEMUSAGE")) {
        out->field = name == QLatin1String("PID") ? Filter::Field::Pid : Filter::Field::MemUsage;
        bool ok = false;
        out->number = out->value.toLongLong(&ok);
        return ok;
    }
    return false;
}

struct Options {
    QString system;
    QString user;
    bool hasUser = false;
    bool hasPassword = false;
    bool hasSystem = false;
    QStringList images;
    QList<qint64> pids;
    QStringList pidTexts;
    QList<Filter> filters;
    bool tree = false;
    bool force = false;
    bool help = false;
};

// Parses the switches; false after writing the Windows-style error.
bool parseOptions(CmdContext &ctx, Options *o)
{
    const QStringList &args = ctx.args();
    auto syntaxError = [&](const QString &message) {
        ctx.errLine(QStringLiteral("ОШИБКА: Неверный синтаксис. ") + message);
        ctx.errLine(kUsageHint);
        return false;
    };
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &arg = args[i];
        const bool isSwitch = arg.size() > 1 && (arg.startsWith(QLatin1Char('/')) || arg.startsWith(QLatin1Char('-')));
        if (!isSwitch) {
            ctx.errLine(QStringLiteral("ОШИБКА: Недопустимый аргумент или параметр - \"%1\".").arg(arg));
            ctx.errLine(kUsageHint);
            return false;
        }
        const QString name = arg.mid(1).toUpper();
        auto value = [&](QString *v) {
            if (i + 1 >= args.size())
                return syntaxError(QStringLiteral("Для параметра \"%1\" требуется значение.").arg(arg));
            *v = args[++i];
            return true;
        };
        QString v;
        if (name == QLatin1String("S")) {
            if (!value(&o->system))
                return false;
            o->hasSystem = true;
        } else if (name == QLatin1String("U")) {
            if (!value(&o->user))
                return false;
            o->hasUser = true;
        } else if (name == QLatin1String("P")) {
            // The password may be left out (Windows then asks for it).
            if (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1Char('/')))
                ++i;
            o->hasPassword = true;
        } else if (name == QLatin1String("FI")) {
            if (!value(&v))
                return false;
            Filter f;
            if (!parseFilter(v, &f)) {
                ctx.errLine(QStringLiteral("ОШИБКА: Фильтр поиска не распознан."));
                return false;
            }
            o->filters.append(f);
        } else if (name == QLatin1String("PID")) {
            if (!value(&v))
                return false;
            bool ok = false;
            const qint64 pid = v.toLongLong(&ok);
            if (!ok || pid < 0) {
                ctx.errLine(QStringLiteral("ОШИБКА: Недопустимое значение \"%1\" для параметра \"%2\".").arg(v, arg));
                ctx.errLine(kUsageHint);
                return false;
            }
            o->pids.append(pid);
            o->pidTexts.append(v);
        } else if (name == QLatin1String("IM")) {
            if (!value(&v))
                return false;
            o->images.append(v);
        } else if (name == QLatin1String("T")) {
            o->tree = true;
        } else if (name == QLatin1String("F")) {
            o->force = true;
        } else if (name == QLatin1String("?")) {
            o->help = true;
        } else {
            ctx.errLine(QStringLiteral("ОШИБКА: Недопустимый аргумент или параметр - \"%1\".").arg(arg));
            ctx.errLine(kUsageHint);
            return false;
        }
    }
    if (o->help)
        return true;
    if (o->hasUser && !o->hasSystem)
        return syntaxError(QStringLiteral("Параметр /U может быть указан, только если указан параметр /S."));
    if (o->hasPassword && !o->hasUser)
        return syntaxError(QStringLiteral("Параметр /P может быть указан, только если указан параметр /U."));
    if (o->images.isEmpty() && o->pids.isEmpty() && o->filters.isEmpty())
        return syntaxError(QStringLiteral("Не указан ни один из параметров /FI, /PID или /IM."));
    return true;
}

void printHelp(CmdContext &ctx)
{
    static const char *const lines[] = {
        "",
        "TASKKILL [/S система [/U пользователь [/P [пароль]]]]",
        "         { [/FI фильтр] [/PID процесс | /IM образ] } [/T] [/F]",
        "",
        "Описание:",
        "    Эта программа позволяет завершить один или несколько процессов.",
        "    Процессы можно завершать по коду процесса или имени образа.",
        "",
        "Параметры:",
        "    /S    система           Удаленная система для подключения.",
        "    /U    [домен\\]пользователь  Пользователь, от имени которого выполняется команда.",
        "    /P    [пароль]          Пароль для этого пользователя.",
        "    /FI   фильтр            Отбор задач: IMAGENAME, USERNAME, PID, MEMUSAGE.",
        "    /PID  процесс           Код процесса, который требуется завершить.",
        "    /IM   образ             Имя образа процесса; допускаются знаки * и ?.",
        "    /T                      Завершение дерева процессов.",
        "    /F                      Принудительное завершение процессов.",
        "    /?                      Вывод справки по использованию.",
    };
    for (const char *line : lines)
        ctx.outLine(QString::fromUtf8(line));
}

QString failureReason(int error)
{
    switch (error) {
    case EPERM:
    case EACCES:
        return QStringLiteral("Отказано в доступе.");
    case ESRCH:
        return QStringLiteral("Нет запущенного экземпляра задачи.");
    default:
        return systemErrorText(error);
    }
}

} // namespace

bool imageMatches(const QString &pattern, const QString &nativeName)
{
    const QString p = pattern.trimmed();
    return wildcardMatch(nativeName, p) || wildcardMatch(nativeName + QStringLiteral(".exe"), p);
}

QString windowsImageName(const QString &nativeName)
{
    return nativeName.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive) ? nativeName
                                                                            : nativeName + QStringLiteral(".exe");
}

void registerTaskkill()
{
    CmdInterpreter::registerBuiltin(QStringLiteral("taskkill"), &taskkillCommand,
                                    CmdInterpreter::BuiltinKind::WindowsTool);
}

int taskkillCommand(CmdContext &ctx)
{
    Options o;
    if (!parseOptions(ctx, &o))
        return 1;
    if (o.help) {
        printHelp(ctx);
        return 0;
    }
    if (o.hasSystem) {
        // No remote process control from here: the answer Windows gives for
        // a host whose RPC server cannot be reached.
        ctx.errLine(QStringLiteral("ОШИБКА: Сервер RPC недоступен."));
        return 1;
    }

    const std::vector<ProcessInfo> all = ProcessTable::instance()->snapshot();
    QHash<qint64, const ProcessInfo *> byPid;
    QHash<qint64, QList<qint64>> children;
    for (const ProcessInfo &p : all) {
        if (p.zombie || p.kernelThread)
            continue;
        byPid.insert(p.pid, &p);
        children[p.ppid].append(p.pid);
    }

    // Selection: any /IM or /PID (when given), and every filter.
    QSet<QString> matchedImages;
    QSet<qint64> matchedPids;
    QList<qint64> selected;
    for (const ProcessInfo &p : all) {
        if (!byPid.contains(p.pid))
            continue;
        bool picked = o.images.isEmpty() && o.pids.isEmpty();
        for (const QString &pattern : o.images) {
            if (imageMatches(pattern, p.imageName)) {
                picked = true;
                matchedImages.insert(pattern);
            }
        }
        if (o.pids.contains(p.pid)) {
            picked = true;
            matchedPids.insert(p.pid);
        }
        if (!picked)
            continue;
        if (std::all_of(o.filters.cbegin(), o.filters.cend(), [&](const Filter &f) { return f.matches(p); }))
            selected.append(p.pid);
    }

    if (selected.isEmpty() && !o.filters.isEmpty()) {
        ctx.outLine(QStringLiteral("ИНФОРМАЦИЯ: Задачи, отвечающие заданным критериям, отсутствуют."));
        return 0;
    }

    int exitCode = 0;
    if (o.filters.isEmpty()) {
        for (const QString &pattern : o.images) {
            if (!matchedImages.contains(pattern)) {
                ctx.errLine(QStringLiteral("ОШИБКА: процесс \"%1\" не найден.").arg(pattern));
                exitCode = 128;
            }
        }
        for (qsizetype k = 0; k < o.pids.size(); ++k) {
            if (!matchedPids.contains(o.pids[k])) {
                ctx.errLine(QStringLiteral("ОШИБКА: процесс \"%1\" не найден.").arg(o.pidTexts[k]));
                exitCode = 128;
            }
        }
    }

    // The order of ending: each selected process, after its whole subtree
    // when /T is given (children first).
    QList<qint64> order;
    QSet<qint64> seen;
    std::function<void(qint64)> addTree = [&](qint64 pid) {
        if (seen.contains(pid))
            return;
        seen.insert(pid);
        QList<qint64> kids = children.value(pid);
        std::sort(kids.begin(), kids.end());
        for (qint64 child : kids)
            addTree(child);
        order.append(pid);
    };
    for (qint64 pid : selected) {
        if (o.tree) {
            addTree(pid);
        } else if (!seen.contains(pid)) {
            seen.insert(pid);
            order.append(pid);
        }
    }

    const auto control = ProcessControl::instance();
    const qint64 self = ::getpid();
    const int signal = o.force ? SIGKILL : SIGTERM;
    for (qint64 pid : order) {
        const ProcessInfo &p = *byPid.value(pid);
        const QString image = windowsImageName(p.imageName);
        int error = 0;
        if (pid == 1 || pid == self) {
            error = EPERM;
        } else {
            const SignalResult r = control->sendSignal(pid, signal);
            error = r.ok ? 0 : (r.error ? r.error : EPERM);
            // Another account's process: root could end it.
            if (error == EPERM || error == EACCES)
                ctx.noteAccessDenied();
        }
        if (error == 0) {
            if (o.tree && o.force)
                ctx.outLine(QStringLiteral("УСПЕШНО: Процесс с идентификатором %1 (дочерний процесс %2) был завершен.")
                                .arg(pid)
                                .arg(p.ppid));
            else if (o.tree)
                ctx.outLine(QStringLiteral("УСПЕШНО: Сигнал завершения был отправлен процессу с идентификатором %1 "
                                           "(дочерний процесс %2).")
                                .arg(pid)
                                .arg(p.ppid));
            else if (o.force)
                ctx.outLine(QStringLiteral("УСПЕШНО: Процесс \"%1\", с идентификатором %2, был завершен.").arg(image).arg(pid));
            else
                ctx.outLine(QStringLiteral("УСПЕШНО: Сигнал завершения был отправлен процессу \"%1\" с идентификатором %2.")
                                .arg(image)
                                .arg(pid));
            continue;
        }
        exitCode = exitCode ? exitCode : 1;
        if (o.tree)
            ctx.errLine(QStringLiteral("ОШИБКА: Не удается завершить процесс с идентификатором %1 (дочерний процесс %2).")
                            .arg(pid)
                            .arg(p.ppid));
        else
            ctx.errLine(QStringLiteral("ОШИБКА: Не удается завершить процесс \"%1\" с идентификатором %2.").arg(image).arg(pid));
        ctx.errLine(QStringLiteral("Причина: ") + failureReason(error));
    }
    return exitCode;
}

} // namespace dozorix
