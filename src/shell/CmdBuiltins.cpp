#include "shell/CmdBuiltins.h"

#include "common/TextCodec.h"
#include "shell/CmdInterpreter.h"

#include <mutex>

namespace dozorix {

int echoCommand(CmdContext &ctx)
{
    if (ctx.rawArguments().trimmed().isEmpty()) {
        ctx.outLine(QStringLiteral("Режим вывода команд на экран (ECHO) включен."));
        return 0;
    }
    ctx.outLine(ctx.rawArguments());
    return 0;
}

int chcpCommand(CmdContext &ctx)
{
    if (ctx.args().size() > 2) {
        ctx.errLine(QStringLiteral("Параметр задан неверно - %1").arg(ctx.args().at(2)));
        return 1;
    }
    if (ctx.args().size() == 2) {
        bool ok = false;
        const int number = ctx.args().at(1).toInt(&ok);
        CodePage page;
        if (!ok || !codePageFromNumber(number, &page)) {
            ctx.errLine(QStringLiteral("Недопустимая кодовая страница"));
            return 1;
        }
        ctx.interpreter().setCodePage(page);
    }
    ctx.outLine(QStringLiteral("Текущая кодовая страница: %1").arg(static_cast<int>(ctx.interpreter().codePage())));
    return 0;
}

void registerCmdCommands()
{
    static std::once_flag once;
    std::call_once(once, [] {
        CmdInterpreter::registerBuiltin(QStringLiteral("echo"), &echoCommand);
        CmdInterpreter::registerBuiltin(QStringLiteral("chcp"), &chcpCommand);
    });
}

} // namespace dozorix
