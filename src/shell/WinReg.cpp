// reg: the one registry value of a terminal server the console sets, over
// the nologin file that pam_nologin honours (where it is called: see
// PamNologin.h).

#include "common/SafeFile.h"
#include "shell/CmdInterpreter.h"
#include "shell/PamNologin.h"
#include "shell/WinSessionTools.h"
#include "shell/WinTools.h"

#include <QFile>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace dozorix {
namespace {

const QString kKeyPath = QStringLiteral("SYSTEM\\CurrentControlSet\\Control\\Terminal Server");
const QString kValueName = QStringLiteral("WinStationsDisabled");

int syntaxError(CmdContext &ctx, const QString &operation)
{
    ctx.errLine(QStringLiteral("ОШИБКА: Неверный синтаксис."));
    ctx.errLine(QStringLiteral("Введите \"REG %1 /?\" для получения справки по синтаксису.").arg(operation.toUpper()));
    return 1;
}

int notFound(CmdContext &ctx)
{
    ctx.errLine(QStringLiteral("ОШИБКА: Не удается найти указанный раздел или параметр реестра."));
    return 1;
}

int accessDenied(CmdContext &ctx)
{
    ctx.errLine(QStringLiteral("ОШИБКА: Отказано в доступе."));
    return 1;
}

// "[\\HOST\]HKLM\SYSTEM\...\Terminal Server": the host part (without the
// backslashes; empty when absent) and whether the rest is that key.
bool splitKey(QString key, QString *host, bool *isTerminalServer)
{
    host->clear();
    if (key.startsWith(QLatin1String("\\\\"))) {
        const qsizetype cut = key.indexOf(QLatin1Char('\\'), 2);
        if (cut < 0)
            return false;
        *host = key.mid(2, cut - 2);
        key = key.mid(cut + 1);
        if (host->isEmpty())
            return false;
    }
    while (key.endsWith(QLatin1Char('\\')))
        key.chop(1);
    const qsizetype cut = key.indexOf(QLatin1Char('\\'));
    const QString root = key.left(cut < 0 ? key.size() : cut);
    const QString path = cut < 0 ? QString() : key.mid(cut + 1);
    if (root.compare(QLatin1String("HKLM"), Qt::CaseInsensitive) != 0
        && root.compare(QLatin1String("HKEY_LOCAL_MACHINE"), Qt::CaseInsensitive) != 0) {
        static const QStringList kRoots = {QStringLiteral("HKCU"), QStringLiteral("HKCR"), QStringLiteral("HKU"),
                                           QStringLiteral("HKCC"), QStringLiteral("HKEY_CURRENT_USER"),
                                           QStringLiteral("HKEY_CLASSES_ROOT"), QStringLiteral("HKEY_USERS"),
                                           QStringLiteral("HKEY_CURRENT_CONFIG")};
        *isTerminalServer = false;
        return kRoots.contains(root, Qt::CaseInsensitive);
    }
    *isTerminalServer = path.compare(kKeyPath, Qt::CaseInsensitive) == 0;
    return true;
}

struct RegArguments {
    QString value;
    bool hasValue = false;
    bool defaultValue = false; // /ve
    QString type;
    QString data;
    bool hasData = false;
    bool ok = true;
};

RegArguments parseSwitches(const QStringList &args)
{
    RegArguments a;
    for (qsizetype i = 3; i < args.size() && a.ok; ++i) {
        const QString sw = args.at(i).toLower();
        auto next = [&](QString *into) {
            if (i + 1 >= args.size()) {
                a.ok = false;
                return;
            }
            *into = args.at(++i);
        };
        if (sw == QLatin1String("/v")) {
            a.hasValue = true;
            next(&a.value);
        } else if (sw == QLatin1String("/ve") || sw == QLatin1String("/va")) {
            a.defaultValue = true;
        } else if (sw == QLatin1String("/t")) {
            next(&a.type);
        } else if (sw == QLatin1String("/d")) {
            a.hasData = true;
            next(&a.data);
        } else if (sw == QLatin1String("/s")) {
            QString separator;
            next(&separator);
        } else if (sw == QLatin1String("/f") || sw == QLatin1String("/reg:32") || sw == QLatin1String("/reg:64")) {
            // no prompt here: nobody could answer it
        } else {
            a.ok = false;
        }
    }
    return a;
}

bool logonsBlocked()
{
    struct stat st;
    return ::lstat(QFile::encodeName(nologinPath()).constData(), &st) == 0;
}

int blockLogons(CmdContext &ctx)
{
    const QString text = QStringLiteral(
        "Вход на сервер закрыт администратором. Попробуйте войти позже или обратитесь к администратору.\n");
    QString reason;
    if (!writeRegularFile(nologinPath(), text.toUtf8(), &reason)) {
        if (errno == EACCES || errno == EPERM)
            ctx.noteAccessDenied(); // /run is root's
        ctx.errLine(QStringLiteral("ОШИБКА: Отказано в доступе."));
        ctx.errLine(reason);
        return 1;
    }
    return 0;
}

int allowLogons(CmdContext &ctx)
{
    const QByteArray path = QFile::encodeName(nologinPath());
    if (::unlink(path.constData()) != 0 && errno != ENOENT) {
        if (errno == EACCES || errno == EPERM)
            ctx.noteAccessDenied();
        return accessDenied(ctx);
    }
    return 0;
}

} // namespace

QString nologinPath()
{
    const QByteArray fromEnvironment = qgetenv("DOZORIX_NOLOGIN");
    return fromEnvironment.isEmpty() ? QStringLiteral("/run/nologin") : QFile::decodeName(fromEnvironment);
}

int regCommand(CmdContext &ctx)
{
    const QStringList &args = ctx.args();
    const QString operation = args.value(1).toLower();
    if (operation != QLatin1String("add") && operation != QLatin1String("delete")
        && operation != QLatin1String("query")) {
        ctx.errLine(QStringLiteral("ОШИБКА: Неверный синтаксис."));
        ctx.errLine(QStringLiteral("Введите \"REG /?\" для получения справки по синтаксису."));
        return 1;
    }
    if (args.size() < 3)
        return syntaxError(ctx, operation);
    QString host;
    bool terminalServer = false;
    if (!splitKey(args.at(2), &host, &terminalServer)) {
        ctx.errLine(QStringLiteral("ОШИБКА: Недопустимый раздел."));
        return 1;
    }
    const RegArguments a = parseSwitches(args);
    if (!a.ok || (a.hasValue && a.defaultValue))
        return syntaxError(ctx, operation);
    if (!host.isEmpty() && !isThisHost(host)) {
        ctx.errLine(QStringLiteral("ОШИБКА: Сетевой путь не найден."));
        return 1;
    }
    if (!terminalServer)
        return notFound(ctx);

    const bool ourValue = a.hasValue && a.value.compare(kValueName, Qt::CaseInsensitive) == 0;
    if (operation == QLatin1String("query")) {
        if (a.hasValue && !ourValue)
            return notFound(ctx);
        if (a.defaultValue)
            return notFound(ctx);
        const QString prefix = host.isEmpty() ? QString() : QStringLiteral("\\\\") + host + QLatin1Char('\\');
        ctx.outLine(QString());
        ctx.outLine(prefix + QStringLiteral("HKEY_LOCAL_MACHINE\\") + kKeyPath);
        ctx.outLine(QStringLiteral("    %1    REG_SZ    %2").arg(kValueName, logonsBlocked() ? QStringLiteral("1") : QStringLiteral("0")));
        ctx.outLine(QString());
        return 0;
    }
    if (operation == QLatin1String("delete")) {
        // Deleting the whole key (or all its values) is not ours to do.
        if (!a.hasValue)
            return accessDenied(ctx);
        if (!ourValue)
            return notFound(ctx);
        const int result = allowLogons(ctx);
        if (result == 0)
            ctx.outLine(QStringLiteral("Операция успешно завершена."));
        return result;
    }
    // add
    if (!a.hasValue)
        return accessDenied(ctx);
    if (!ourValue)
        return notFound(ctx);
    const QString type = a.type.isEmpty() ? QStringLiteral("REG_SZ") : a.type.toUpper();
    if (type != QLatin1String("REG_SZ") && type != QLatin1String("REG_DWORD")) {
        ctx.errLine(QStringLiteral("ОШИБКА: Недопустимый тип параметра."));
        return 1;
    }
    bool ok = false;
    const int number = a.data.trimmed().toInt(&ok, 0);
    if (!a.hasData || !ok || (number != 0 && number != 1)) {
        ctx.errLine(QStringLiteral("ОШИБКА: Недопустимые данные для параметра %1: \"%2\" (ожидается 0 или 1).")
                        .arg(kValueName, a.data));
        return 1;
    }
    const int result = number == 1 ? blockLogons(ctx) : allowLogons(ctx);
    if (result == 0)
        ctx.outLine(QStringLiteral("Операция успешно завершена."));
    if (result == 0 && number == 1) {
        // The file is there: whether the session servers honour it.
        const QString nologin = nologinPath();
        for (const NologinLine &line : nologinWarnings(checkNologinServices(pamDirectory(), nologin), nologin))
            ctx.outLine(line.text);
    }
    return result;
}

void registerReg()
{
    CmdInterpreter::registerBuiltin(QStringLiteral("reg"), &regCommand, CmdInterpreter::BuiltinKind::WindowsTool);
}

} // namespace dozorix
