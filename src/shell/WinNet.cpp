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

// Reports a failed query, start or stop; returns net's exit code.
int reportFailure(CmdContext &ctx, int error, const QString &service, bool starting)
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
    case ServiceManager::kRpcServerUnavailable:
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

    const auto manager = ServiceManager::instance();
    ServiceManager::State state = ServiceManager::State::Stopped;
    const int queried = manager->queryState(service, &state);
    if (queried != 0)
        return reportFailure(ctx, queried, service, starting);
    if (starting && state == ServiceManager::State::Running)
        return reportFailure(ctx, ServiceManager::kServiceAlreadyRunning, service, starting);
    if (!starting && state == ServiceManager::State::Stopped)
        return reportFailure(ctx, ServiceManager::kServiceNotActive, service, starting);

    ctx.outLine(starting ? QStringLiteral("Служба \"%1\" запускается.").arg(service)
                         : QStringLiteral("Служба \"%1\" останавливается.").arg(service));
    const int result = starting ? manager->start(service) : manager->stop(service);
    if (result != 0)
        return reportFailure(ctx, result, service, starting);
    ctx.outLine(starting ? QStringLiteral("Служба \"%1\" успешно запущена.").arg(service)
                         : QStringLiteral("Служба \"%1\" успешно остановлена.").arg(service));
    ctx.outLine(QString());
    return 0;
}

} // namespace dozorix
