// net start / net stop: the service commands of the Windows "net" tool,
// with its Russian messages, over ServiceManager.

#include "common/Platform.h"
#include "shell/CmdInterpreter.h"
#include "shell/WinTools.h"

namespace dozorix {
namespace {

void helpLine(CmdContext &ctx, int helpMessage)
{
    ctx.errLine(QString());
    ctx.errLine(QStringLiteral("Для вызова дополнительной справки наберите NET HELPMSG %1.").arg(helpMessage));
    ctx.errLine(QString());
}

void systemError(CmdContext &ctx, int code, const QString &text)
{
    ctx.errLine(QStringLiteral("Системная ошибка %1.").arg(code));
    ctx.errLine(QString());
    ctx.errLine(text);
    ctx.errLine(QString());
}

// Reports a failed start or stop; returns net's exit code. explained: the
// service manager has told why it cannot be reached, which stands for
// Windows' "Сервер RPC недоступен.".
int reportFailure(CmdContext &ctx, int error, const QString &service, bool starting, bool explained)
{
    switch (error) {
    case ServiceManager::kServiceDoesNotExist:
        ctx.errLine(QStringLiteral("Имя службы недействительно."));
        helpLine(ctx, 2185);
        break;
    case ServiceManager::kServiceNotActive:
        ctx.errLine(QStringLiteral("Служба не запущена."));
        helpLine(ctx, 3521);
        break;
    case ServiceManager::kServiceAlreadyRunning:
        ctx.errLine(QStringLiteral("Запрошенная служба уже запущена."));
        helpLine(ctx, 2182);
        break;
    case ServiceManager::kAccessDenied:
        systemError(ctx, error, QStringLiteral("Отказано в доступе."));
        ctx.noteAccessDenied();
        break;
    case ServiceManager::kServiceDisabled:
        systemError(ctx, error,
                    QStringLiteral("Указанная служба не может быть запущена, поскольку она отключена или все "
                                   "связанные с ней устройства отключены."));
        break;
    case ServiceManager::kServiceRequestTimeout:
        systemError(ctx, error, QStringLiteral("Служба не ответила на запрос своевременно."));
        break;
    case ServiceManager::kRpcServerUnavailable:
        if (!explained)
            systemError(ctx, error, QStringLiteral("Сервер RPC недоступен."));
        break;
    default:
        if (starting) {
            ctx.errLine(QStringLiteral("Не удается запустить службу \"%1\".").arg(service));
            ctx.errLine(QString());
            ctx.errLine(QStringLiteral("Служба не сообщила об ошибке."));
            helpLine(ctx, 3534);
        } else {
            ctx.errLine(QStringLiteral("Не удается остановить службу \"%1\".").arg(service));
            helpLine(ctx, 2186);
        }
        break;
    }
    return 2;
}

void printSyntax(CmdContext &ctx)
{
    ctx.errLine(QStringLiteral("Синтаксис данной команды:"));
    ctx.errLine(QString());
    ctx.errLine(QStringLiteral("NET"));
    ctx.errLine(QStringLiteral("    [ ACCOUNTS | COMPUTER | CONFIG | CONTINUE | FILE | GROUP | HELP |"));
    ctx.errLine(QStringLiteral("      HELPMSG | LOCALGROUP | PAUSE | SESSION | SHARE | START |"));
    ctx.errLine(QStringLiteral("      STATISTICS | STOP | TIME | USE | USER | VIEW ]"));
    ctx.errLine(QString());
}

} // namespace

void registerNet()
{
    CmdInterpreter::registerBuiltin(QStringLiteral("net"), &netCommand, CmdInterpreter::BuiltinKind::WindowsTool);
}

int netCommand(CmdContext &ctx)
{
    const QStringList &args = ctx.args();
    const QString verb = args.value(1).toLower();
    if ((verb != QLatin1String("start") && verb != QLatin1String("stop")) || args.size() < 3) {
        printSyntax(ctx);
        return 1;
    }
    const bool starting = verb == QLatin1String("start");
    // The service name is normally one quoted argument; words left unquoted
    // are taken together.
    const QString service = args.mid(2).join(QLatin1Char(' ')).trimmed();
    if (service.isEmpty()) {
        printSyntax(ctx);
        return 1;
    }

    // Windows' lines, and one line per unit the service stands for: the
    // units started or stopped on the output, those that failed and what
    // else went wrong on the errors.
    bool explained = false;
    ServiceManager::Events events;
    events.acting = [&] {
        ctx.outLine(starting ? QStringLiteral("Служба \"%1\" запускается.").arg(service)
                             : QStringLiteral("Служба \"%1\" останавливается.").arg(service));
    };
    events.unitDone = [&](const QString &unit) {
        ctx.outLine((starting ? QStringLiteral("Запущен %1") : QStringLiteral("Остановлен %1")).arg(unit));
    };
    events.unitFailed = [&](const QString &unit, const QString &reason) {
        ctx.errLine((starting ? QStringLiteral("Не удалось запустить %1: %2") : QStringLiteral("Не удалось остановить %1: %2"))
                        .arg(unit, reason));
    };
    events.problem = [&](const QString &text) {
        ctx.errLine(text);
        explained = true;
    };
    const auto manager = ServiceManager::instance();
    const int result = starting ? manager->start(service, events) : manager->stop(service, events);
    if (result != 0)
        return reportFailure(ctx, result, service, starting, explained);
    ctx.outLine(starting ? QStringLiteral("Служба \"%1\" успешно запущена.").arg(service)
                         : QStringLiteral("Служба \"%1\" успешно остановлена.").arg(service));
    ctx.outLine(QString());
    return 0;
}

} // namespace dozorix
