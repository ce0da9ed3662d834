// mstsc: a shadow connection to a session of a terminal server, through the
// RDP client of this machine (xfreerdp, else remmina), started directly and
// not waited for.

#include "common/Platform.h"
#include "common/SystemErrors.h"
#include "shell/CmdInterpreter.h"
#include "shell/WinSessionTools.h"

#include <QStandardPaths>

#include <cstring>

namespace dozorix {
namespace {

struct Options {
    QString address;
    QString session;
    bool shadow = false;
    bool control = false;
};

Options parseArguments(const QStringList &args)
{
    Options o;
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const QString lower = a.toLower();
        if (lower == QLatin1String("/v")) {
            if (i + 1 < args.size())
                o.address = args.at(++i);
        } else if (lower.startsWith(QLatin1String("/v:"))) {
            o.address = a.mid(3);
        } else if (lower == QLatin1String("/shadow")) {
            o.shadow = true;
        } else if (lower.startsWith(QLatin1String("/shadow:"))) {
            o.shadow = true;
            o.session = a.mid(8);
        } else if (lower == QLatin1String("/control")) {
            o.control = true;
        } else if (lower.startsWith(QLatin1Char('/'))) {
            // /NoConsentPrompt, /f, /admin, /w:…: nothing to do with them here.
        } else if (o.session.isEmpty()) {
            o.session = a;
        } else {
            o.session += QLatin1Char(' ') + a;
        }
    }
    return o;
}

} // namespace

void registerMstsc()
{
    CmdInterpreter::registerBuiltin(QStringLiteral("mstsc"), &mstscCommand, CmdInterpreter::BuiltinKind::WindowsTool);
}

int mstscCommand(CmdContext &ctx)
{
    const Options o = parseArguments(ctx.args());
    if (o.address.trimmed().isEmpty()) {
        ctx.errLine(QStringLiteral("Не указан адрес сервера: mstsc /v <сервер> [<ID сеанса> /shadow [/control]]"));
        return 1;
    }

    QStringList argv;
    const QString freerdp = QStandardPaths::findExecutable(QStringLiteral("xfreerdp"));
    if (!freerdp.isEmpty()) {
        argv << freerdp << QStringLiteral("/v:") + o.address;
        if (o.shadow || !o.session.isEmpty()) {
            // The client cannot choose the session on the server: the title
            // says which one the administrator asked for, and how.
            const QString mode = o.control ? QStringLiteral("управление") : QStringLiteral("просмотр");
            argv << QStringLiteral("/t:Dozorix: %1, сеанс %2 (%3)")
                        .arg(o.address, o.session.isEmpty() ? QStringLiteral("?") : o.session, mode);
        }
    } else {
        const QString remmina = QStandardPaths::findExecutable(QStringLiteral("remmina"));
        if (remmina.isEmpty()) {
            ctx.errLine(QStringLiteral("RDP-клиент не установлен (xfreerdp или remmina)."));
            return 1;
        }
        argv << remmina << QStringLiteral("-c") << QStringLiteral("rdp://") + o.address;
    }

    SpawnRequest request;
    request.argv = argv;
    const SpawnResult started = spawnProgram(request);
    if (started.pid <= 0) {
        ctx.errLine(QStringLiteral("Не удается запустить %1: %2")
                        .arg(argv.front(), systemErrorText(started.error)));
        return 1;
    }
    reapProgramInBackground(started.pid);
    return 0;
}

} // namespace dozorix
