// query user, tsdiscon, logoff, rwinsta: the Windows session tools with their
// Russian messages, over SessionManager.

#include "common/SystemHelpers.h"
#include "shell/CmdInterpreter.h"
#include "shell/WinSessionTools.h"

#include <QHostAddress>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

namespace dozorix {
namespace {

constexpr int kRpcServerUnavailable = 1722;
constexpr int kSessionNotFound = 7022;

const QString kHeader =
    QStringLiteral(" ПОЛЬЗОВАТЕЛЬ          СЕАНС              ID  СТАТУС  ВРЕМЯ БЕЗД.  ВРЕМЯ ВХОДА");

QString windowsErrorText(int code)
{
    switch (code) {
    case 5: return QStringLiteral("Отказано в доступе.");
    case 50: return QStringLiteral("Такой запрос не поддерживается.");
    case kRpcServerUnavailable: return QStringLiteral("Сервер RPC недоступен.");
    case kSessionNotFound: return QStringLiteral("Не удается найти указанный сеанс.");
    default: return QStringLiteral("Неверная функция.");
    }
}

int windowsCodeForErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ESRCH: return kSessionNotFound;
    case EPERM:
    case EACCES: return 5;
    case ENOSYS:
    case EOPNOTSUPP: return 50;
    default: return 1;
    }
}

// A user's text echoed in a message: control characters become blanks.
QString printable(QString text)
{
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = QLatin1Char(' ');
    }
    return text;
}

// What follows the tool's name: the one free argument and the switches.
struct SessionArguments {
    QStringList free;
    bool hasServer = false;
    QString server;
    bool serverMissing = false; // "/server" with nothing after it
    bool help = false;
    QString badSwitch;
};

SessionArguments parseArguments(const QStringList &args, int first)
{
    SessionArguments a;
    for (int i = first; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (arg.compare(QLatin1String("/server"), Qt::CaseInsensitive) == 0) {
            a.hasServer = true;
            if (i + 1 < args.size()) {
                a.server = args.at(++i);
            } else {
                a.serverMissing = true;
            }
        } else if (arg.startsWith(QLatin1String("/server:"), Qt::CaseInsensitive)) {
            a.hasServer = true;
            a.server = arg.mid(8);
            a.serverMissing = a.server.isEmpty();
        } else if (arg == QLatin1String("/?")) {
            a.help = true;
        } else if (arg.compare(QLatin1String("/v"), Qt::CaseInsensitive) == 0) {
            // verbose: nothing more to tell
        } else if (arg.startsWith(QLatin1Char('/')) && a.badSwitch.isEmpty()) {
            a.badSwitch = arg;
        } else {
            a.free << arg;
        }
    }
    return a;
}

QString twoDigits(qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); }

// "dd.MM.yyyy HH:mm" in local time. The C library's zone, read once per
// table (tzset) rather than once per row as QDateTime::toLocalTime does.
QString localLogonText(const QDateTime &logon)
{
    const time_t seconds = static_cast<time_t>(logon.toSecsSinceEpoch());
    struct tm local {};
    if (!::localtime_r(&seconds, &local))
        return logon.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"));
    char text[64];
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d", local.tm_mday, local.tm_mon + 1,
                  local.tm_year + 1900, local.tm_hour, local.tm_min);
    return QString::fromLatin1(text);
}

QString tableRow(const SessionInfo &s)
{
    // Windows cuts user names at 20 characters and session names at 17.
    const QString user = s.user.left(20);
    const QString name = s.name.left(17);
    QString row = QLatin1Char(' ') + user.leftJustified(21) + QLatin1Char(' ') + name.leftJustified(18)
                  + QString::number(s.id).rightJustified(3) + QStringLiteral("  ")
                  + (s.active ? QStringLiteral("Активно") : QStringLiteral("Диск")).leftJustified(7)
                  + idleTimeText(s.idleSeconds).rightJustified(12);
    if (s.logon.isValid())
        row += QStringLiteral("  ") + localLogonText(s.logon);
    return row;
}

bool matchesFilter(const SessionInfo &s, const QString &filter)
{
    bool numeric = false;
    const int id = filter.toInt(&numeric);
    if (numeric)
        return s.id == id;
    return s.user.compare(filter, Qt::CaseInsensitive) == 0 || s.name.compare(filter, Qt::CaseInsensitive) == 0;
}

void queryUsage(CmdContext &ctx)
{
    ctx.errLine(QStringLiteral("Отображение сведений о пользователях, вошедших в систему."));
    ctx.errLine(QString());
    ctx.errLine(QStringLiteral("QUERY USER [имя_пользователя | имя_сеанса | ИД_сеанса] [/SERVER:имя_сервера]"));
    ctx.errLine(QString());
    ctx.errLine(QStringLiteral("  имя_пользователя    Имя входа в систему, указывающее на запрашиваемые сеансы."));
    ctx.errLine(QStringLiteral("  имя_сеанса          Имя запрашиваемого сеанса."));
    ctx.errLine(QStringLiteral("  ИД_сеанса           Идентификатор запрашиваемого сеанса."));
    ctx.errLine(QStringLiteral("  /SERVER:имя_сервера Запрашиваемый сервер (по умолчанию - текущий)."));
}

// One session action: tsdiscon, logoff, rwinsta.
struct SessionAction {
    const char *usage;       // the command's syntax line
    const char *purpose;     // the first line of its help
    const char *failureVerb; // "Не удалось <verb> сеанс ..."
    int (SessionManager::*act)(int); // null: disconnect
};

// Why a session of this kind was left alone rather than disconnected.
QString notDisconnectedReason(SessionServer server)
{
    switch (server) {
    case SessionServer::Ssh:
        return QStringLiteral("Сеанс ssh нельзя отключить, не завершив его: программы пользователя закрылись бы "
                              "вместе с ним. Сеанс оставлен как есть.");
    case SessionServer::Console:
        return QStringLiteral("Сеанс локальной консоли нельзя отключить, не завершив его. Сеанс оставлен как есть.");
    case SessionServer::Xrdp:
        return QStringLiteral("Сеанс xrdp отсюда не отключить: xrdp-sesman не умеет отключать сеансы по команде "
                              "(xrdp-sesadmin только показывает их). Пользователь может отключиться сам, закрыв окно "
                              "RDP. Сеанс оставлен как есть.");
    case SessionServer::X2Go:
    case SessionServer::Unknown: break;
    }
    return QStringLiteral("Этот сеанс нельзя отключить, не завершив его: он не сеанс X2Go. Сеанс оставлен как есть.");
}

const SessionAction kDisconnect{"TSDISCON [ИД_сеанса | имя_сеанса] [/SERVER:имя_сервера] [/V]",
                                "Отключение сеанса от сервера узла сеансов удаленных рабочих столов.", "отключить",
                                nullptr};
const SessionAction kLogoff{"LOGOFF [имя_сеанса | ИД_сеанса] [/SERVER:имя_сервера] [/V]",
                            "Завершение сеанса.", "завершить", &SessionManager::terminate};
const SessionAction kReset{"RESET SESSION {имя_сеанса | ИД_сеанса} [/SERVER:имя_сервера] [/V]",
                           "Сброс сеанса на сервере узла сеансов удаленных рабочих столов.", "сбросить",
                           &SessionManager::kill};

int actionUsage(CmdContext &ctx, const SessionAction &action, bool asError)
{
    ctx.errLine(QString::fromUtf8(action.purpose));
    ctx.errLine(QString());
    ctx.errLine(QString::fromUtf8(action.usage));
    ctx.errLine(QString());
    ctx.errLine(QStringLiteral("  имя_сеанса          Имя сеанса."));
    ctx.errLine(QStringLiteral("  ИД_сеанса           Идентификатор сеанса."));
    ctx.errLine(QStringLiteral("  /SERVER:имя_сервера Сервер, на котором находится сеанс (по умолчанию - текущий)."));
    ctx.errLine(QStringLiteral("  /V                  Отображение сведений о выполняемых действиях."));
    return asError ? 1 : 0;
}

int actionFailed(CmdContext &ctx, const SessionAction &action, const QString &session, int code)
{
    ctx.errLine(QStringLiteral("Не удалось %1 сеанс %2, код ошибки %3")
                    .arg(QString::fromUtf8(action.failureVerb), printable(session), QString::number(code)));
    ctx.errLine(QStringLiteral("Ошибка [%1]:%2").arg(code).arg(windowsErrorText(code)));
    return 1;
}

int runSessionAction(CmdContext &ctx, const SessionAction &action)
{
    const SessionArguments a = parseArguments(ctx.args(), 1);
    if (a.help)
        return actionUsage(ctx, action, false);
    if (!a.badSwitch.isEmpty() || a.serverMissing || a.free.size() != 1) {
        ctx.errLine(QStringLiteral("Недопустимые параметры."));
        ctx.errLine(QString());
        return actionUsage(ctx, action, true);
    }
    const QString session = a.free.front();
    if (a.hasServer && !isThisHost(a.server))
        return actionFailed(ctx, action, session, kRpcServerUnavailable);

    const auto manager = SessionManager::instance();
    // Blanks around a number are no part of it: "1, 2" in the ID field gives
    // " 2", which Windows' own argument split would have dropped.
    bool numeric = false;
    int id = session.trimmed().toInt(&numeric);
    if (!numeric) {
        // A session name that names exactly one session.
        int matches = 0;
        for (const SessionInfo &s : manager->sessions()) {
            if (!s.name.isEmpty() && s.name.compare(session, Qt::CaseInsensitive) == 0) {
                id = s.id;
                ++matches;
            }
        }
        if (matches != 1)
            return actionFailed(ctx, action, session, kSessionNotFound);
    }
    if (!action.act) {
        const DisconnectResult result = manager->disconnect(id);
        if (result.error == 0)
            return 0;
        if (result.error == EPERM || result.error == EACCES)
            ctx.noteAccessDenied(); // another account's session: root could suspend it
        actionFailed(ctx, action, session, windowsCodeForErrno(result.error));
        if (result.error == EOPNOTSUPP)
            ctx.errLine(notDisconnectedReason(result.server));
        else if (!result.detail.isEmpty())
            ctx.errLine(printable(result.detail));
        return 1;
    }
    const int result = ((*manager).*(action.act))(id);
    if (result == EPERM || result == EACCES)
        ctx.noteAccessDenied(); // another account's session: root could act on it
    if (result != 0)
        return actionFailed(ctx, action, session, windowsCodeForErrno(result));
    return 0;
}

} // namespace

QString idleTimeText(qint64 idleSeconds)
{
    const qint64 minutes = idleSeconds / 60;
    if (idleSeconds < 0 || minutes == 0)
        return QStringLiteral(".");
    if (minutes < 60)
        return QString::number(minutes);
    const qint64 hours = minutes / 60;
    if (hours < 24)
        return QStringLiteral("%1:%2").arg(hours).arg(twoDigits(minutes % 60));
    return QStringLiteral("%1+%2:%3").arg(hours / 24).arg(twoDigits(hours % 24)).arg(twoDigits(minutes % 60));
}

QString sessionTable(const std::vector<SessionInfo> &sessions)
{
    QString text = kHeader + QStringLiteral("\r\n");
    text.reserve(text.size() + static_cast<qsizetype>(sessions.size()) * 100);
    ::tzset();
    for (const SessionInfo &s : sessions)
        text += tableRow(s) + QStringLiteral("\r\n");
    return text;
}

bool isThisHost(const QString &serverText)
{
    QString server = serverText.trimmed();
    while (server.startsWith(QLatin1Char('\\')))
        server.remove(0, 1);
    if (server.isEmpty())
        return false;
    if (server.startsWith(QLatin1Char('[')) && server.endsWith(QLatin1Char(']')))
        server = server.mid(1, server.size() - 2);
    if (server == QLatin1String(".") || server.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
        || server.compare(QLatin1String("localhost.localdomain"), Qt::CaseInsensitive) == 0)
        return true;

    QHostAddress address;
    if (address.setAddress(server)) {
        if (address.isLoopback())
            return true;
        bool found = false;
        ifaddrs *list = nullptr;
        if (::getifaddrs(&list) == 0) {
            for (ifaddrs *i = list; i && !found; i = i->ifa_next) {
                if (i->ifa_addr && (i->ifa_addr->sa_family == AF_INET || i->ifa_addr->sa_family == AF_INET6))
                    found = QHostAddress(i->ifa_addr).isEqual(address, QHostAddress::TolerantConversion);
            }
            ::freeifaddrs(list);
        }
        return found;
    }

    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0) {
        const QString full = QString::fromLocal8Bit(name);
        if (server.compare(full, Qt::CaseInsensitive) == 0
            || server.compare(full.section(QLatin1Char('.'), 0, 0), Qt::CaseInsensitive) == 0)
            return true;
    }
    const QString computer = GetComputerNameText();
    return !computer.isEmpty() && server.compare(computer, Qt::CaseInsensitive) == 0;
}

int queryCommand(CmdContext &ctx)
{
    const QStringList &args = ctx.args();
    if (args.size() < 2 || args.at(1).compare(QLatin1String("user"), Qt::CaseInsensitive) != 0) {
        ctx.errLine(QStringLiteral("Недопустимые параметры."));
        ctx.errLine(QString());
        ctx.errLine(QStringLiteral("QUERY USER [имя_пользователя | имя_сеанса | ИД_сеанса] [/SERVER:имя_сервера]"));
        return 1;
    }
    const SessionArguments a = parseArguments(args, 2);
    if (a.help) {
        queryUsage(ctx);
        return 0;
    }
    if (!a.badSwitch.isEmpty() || a.serverMissing || a.free.size() > 1) {
        ctx.errLine(QStringLiteral("Недопустимые параметры."));
        ctx.errLine(QString());
        queryUsage(ctx);
        return 1;
    }
    if (a.hasServer && !isThisHost(a.server)) {
        ctx.errLine(QStringLiteral("Ошибка 0x000006BA при получении имен сеансов"));
        ctx.errLine(QStringLiteral("Ошибка [%1]:%2").arg(kRpcServerUnavailable).arg(windowsErrorText(kRpcServerUnavailable)));
        return 1;
    }

    std::vector<SessionInfo> list = SessionManager::instance()->sessions();
    const QString filter = a.free.isEmpty() ? QString() : a.free.front();
    if (!filter.isEmpty())
        std::erase_if(list, [&](const SessionInfo &s) { return !matchesFilter(s, filter); });
    if (list.empty()) {
        ctx.errLine(QStringLiteral("Нет пользователя для %1").arg(filter.isEmpty() ? QStringLiteral("*") : printable(filter)));
        return 1;
    }
    ctx.out(sessionTable(list));
    return 0;
}

int tsdisconCommand(CmdContext &ctx) { return runSessionAction(ctx, kDisconnect); }
int logoffCommand(CmdContext &ctx) { return runSessionAction(ctx, kLogoff); }
int rwinstaCommand(CmdContext &ctx) { return runSessionAction(ctx, kReset); }

void registerSessionTools()
{
    using Kind = CmdInterpreter::BuiltinKind;
    CmdInterpreter::registerBuiltin(QStringLiteral("query"), &queryCommand, Kind::WindowsTool);
    CmdInterpreter::registerBuiltin(QStringLiteral("tsdiscon"), &tsdisconCommand, Kind::WindowsTool);
    CmdInterpreter::registerBuiltin(QStringLiteral("logoff"), &logoffCommand, Kind::WindowsTool);
    CmdInterpreter::registerBuiltin(QStringLiteral("rwinsta"), &rwinstaCommand, Kind::WindowsTool);
}

} // namespace dozorix
