// msg: a message to the users of terminal sessions. On this host it goes to
// the sessions' terminals the way wall(1) writes and to their desktops as a
// notification; another host cannot be reached from here.

#include "common/Platform.h"
#include "common/SystemHelpers.h"
#include "shell/CmdInterpreter.h"
#include "shell/WinSessionTools.h"

#include <QDateTime>
#include <QSet>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace dozorix {
namespace {

// How long one terminal may hold a write up, in all.
constexpr int kTerminalBudgetMs = 200;

void printUsage(CmdContext &ctx)
{
    ctx.errLine(QStringLiteral("Отправка сообщения пользователю."));
    ctx.errLine(QString());
    ctx.errLine(QStringLiteral("MSG {<пользователь> | <ID сеанса> | *}"));
    ctx.errLine(QStringLiteral("        [/SERVER:<сервер>] [/TIME:<секунды>] [/V] [/W] [<сообщение>]"));
    ctx.errLine(QString());
    ctx.errLine(QStringLiteral("  <пользователь>      Имя пользователя."));
    ctx.errLine(QStringLiteral("  <ID сеанса>         Идентификатор сеанса."));
    ctx.errLine(QStringLiteral("  *                   Отправка сообщения во все сеансы указанного сервера."));
    ctx.errLine(QStringLiteral("  /SERVER:<сервер>    Сервер (по умолчанию - текущий)."));
    ctx.errLine(QStringLiteral("  <сообщение>         Текст отправляемого сообщения."));
}

struct Options {
    QString target;
    QString server;
    QString text;
    bool help = false;
    bool bad = false;
};

// Options come before the message; the first word that is not one of msg's
// switches after the target starts the message, and everything from there
// on is text.
Options parseArguments(const QStringList &args)
{
    Options o;
    int i = 1;
    for (; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const QString lower = a.toLower();
        if (lower == QLatin1String("/?")) {
            o.help = true;
        } else if (lower.startsWith(QLatin1String("/server:"))) {
            o.server = a.mid(8);
        } else if (lower == QLatin1String("/server")) {
            if (i + 1 >= args.size()) {
                o.bad = true;
                return o;
            }
            o.server = args.at(++i);
        } else if (lower.startsWith(QLatin1String("/time:")) || lower == QLatin1String("/v")
                   || lower == QLatin1String("/w")) {
            // Nothing waits for an answer here, and nothing is shown for long.
        } else if (o.target.isNull()) {
            o.target = a;
        } else {
            break;
        }
    }
    o.text = args.mid(i).join(QLatin1Char(' '));
    return o;
}

bool isNumber(const QString &s)
{
    if (s.isEmpty())
        return false;
    for (QChar c : s) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

QString currentUserName()
{
    const QString name = GetUserNameText();
    return name.isEmpty() ? QString::number(::geteuid()) : name;
}

// The D-Bus address of a socket path, escaped as the address syntax wants.
QString busAddress(const QString &path)
{
    QString out = QStringLiteral("unix:path=");
    for (char c : path.toUtf8()) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '-' || u == '_'
            || u == '/' || u == '.' || u == '\\' || u == '*')
            out += QLatin1Char(c);
        else
            out += QStringLiteral("%%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return out;
}

// A GVariant text literal of a string: everything but letters, digits and
// blanks escaped, so the text is a string whatever it holds.
QString gvariantString(const QString &text)
{
    QString out = QStringLiteral("'");
    for (char32_t c : text.toUcs4()) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == ' ')
            out += QChar(static_cast<char16_t>(c));
        else if (c <= 0xFFFF)
            out += QStringLiteral("\\u%1").arg(static_cast<uint>(c), 4, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\U%1").arg(static_cast<uint>(c), 8, 16, QLatin1Char('0'));
    }
    out += QLatin1Char('\'');
    return out;
}

} // namespace

QString sanitizeMessageText(const QString &text)
{
    QString s = text;
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    for (QChar &c : s) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\t'))
            continue;
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    return s;
}

QString terminalMessage(const QString &from, const QString &text, const QString &stamp)
{
    QString body = sanitizeMessageText(text);
    if (!body.endsWith(QLatin1Char('\n')))
        body += QLatin1Char('\n');
    return QStringLiteral("\nСообщение от %1 (%2):\n\n").arg(sanitizeMessageText(from), stamp) + body;
}

bool writeToTerminal(const QString &terminal, const QByteArray &bytes)
{
    // utmp and logind name a terminal by its line ("pts/3", "tty1").
    const QString device = terminal.startsWith(QLatin1Char('/')) ? terminal : QStringLiteral("/dev/") + terminal;
    if (!device.startsWith(QLatin1String("/dev/")) || device.contains(QLatin1String("/../"))
        || device.contains(QLatin1String("/./")) || device.endsWith(QLatin1String("/..")))
        return false;
    const QByteArray path = device.toLocal8Bit();
    const int fd = ::open(path.constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Only a terminal: a utmp record may name any character device
    // (/dev/null, /dev/kmsg, /dev/watchdog), and a message is for people.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd)) {
        ::close(fd);
        return false;
    }
    qsizetype done = 0;
    int budget = kTerminalBudgetMs;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && budget > 0) {
            // A slow terminal gets a moment; a stuck one is left behind.
            pollfd p{fd, POLLOUT, 0};
            const qint64 start = QDateTime::currentMSecsSinceEpoch();
            ::poll(&p, 1, budget);
            budget -= static_cast<int>(QDateTime::currentMSecsSinceEpoch() - start) + 1;
            continue;
        }
        break;
    }
    ::close(fd);
    return done == bytes.size();
}

QString userSessionBus(quint32 uid, const QString &runtimeRoot)
{
    const QString path = runtimeRoot + QLatin1Char('/') + QString::number(uid) + QStringLiteral("/bus");
    struct stat st {};
    if (::lstat(path.toLocal8Bit().constData(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != uid)
        return QString();
    return path;
}

qint64 notifyDesktop(const QString &busPath, quint32 uid, const QString &title, const QString &text)
{
    const QString gdbus = QStandardPaths::findExecutable(QStringLiteral("gdbus"));
    if (gdbus.isEmpty() || busPath.isEmpty())
        return -1;
    QStringList argv;
    // A helper stuck on a bus that does not answer is ended after a while.
    const QString timeout = QStandardPaths::findExecutable(QStringLiteral("timeout"));
    if (!timeout.isEmpty())
        argv << timeout << QStringLiteral("-s") << QStringLiteral("KILL") << QStringLiteral("3");
    if (::geteuid() == 0 && uid != 0) {
        // A user's bus lets in only that user: speak as the user.
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            return -1;
        gid_t gid = static_cast<gid_t>(uid);
        passwd pw{};
        passwd *found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) == 0 && found)
            gid = pw.pw_gid;
        argv << setpriv << QStringLiteral("--reuid=%1").arg(uid) << QStringLiteral("--regid=%1").arg(gid)
             << QStringLiteral("--clear-groups") << QStringLiteral("--");
    }
    argv << gdbus << QStringLiteral("call") << QStringLiteral("--address") << busAddress(busPath)
         << QStringLiteral("--timeout") << QStringLiteral("1") << QStringLiteral("--dest")
         << QStringLiteral("org.freedesktop.Notifications") << QStringLiteral("--object-path")
         << QStringLiteral("/org/freedesktop/Notifications") << QStringLiteral("--method")
         << QStringLiteral("org.freedesktop.Notifications.Notify") << gvariantString(QStringLiteral("Dozorix"))
         << QStringLiteral("uint32 0") << gvariantString(QString()) << gvariantString(sanitizeMessageText(title))
         << gvariantString(sanitizeMessageText(text)) << QStringLiteral("@as []") << QStringLiteral("@a{sv} {}")
         << QStringLiteral("int32 -1");
    SpawnRequest request;
    request.argv = argv;
    request.workingDirectory = QStringLiteral("/");
    const SpawnResult started = spawnProgram(request);
    if (started.pid <= 0)
        return -1;
    return started.pid;
}

void registerMsg()
{
    CmdInterpreter::registerBuiltin(QStringLiteral("msg"), &msgCommand, CmdInterpreter::BuiltinKind::WindowsTool);
}

int msgCommand(CmdContext &ctx)
{
    const Options o = parseArguments(ctx.args());
    if (o.help) {
        printUsage(ctx);
        return 0;
    }
    if (o.bad || o.target.isEmpty() || o.text.trimmed().isEmpty()) {
        printUsage(ctx);
        return 1;
    }
    if (!o.server.isEmpty() && !isThisHost(o.server)) {
        ctx.errLine(QStringLiteral("Ошибка 1722 при получении имен сеансов"));
        return 1;
    }

    const std::vector<SessionInfo> all = SessionManager::instance()->sessions();
    std::vector<const SessionInfo *> targets;
    const bool everyone = o.target == QLatin1String("*");
    bool byId = isNumber(o.target);
    const qlonglong wanted = byId ? o.target.toLongLong(&byId) : -1;
    for (const SessionInfo &s : all) {
        if (everyone || (byId && s.id == wanted)
            || (!byId && (s.user.compare(o.target, Qt::CaseInsensitive) == 0
                          || s.name.compare(o.target, Qt::CaseInsensitive) == 0)))
            targets.push_back(&s);
    }
    if (targets.empty() && !everyone) {
        if (isNumber(o.target))
            ctx.errLine(QStringLiteral("Ошибка 7022: сеанс с ID %1 не найден.").arg(o.target));
        else
            ctx.errLine(QStringLiteral("Ошибка 1: пользователь или сеанс %1 не найден.").arg(o.target));
        return 1;
    }

    char host[257] = {};
    ::gethostname(host, sizeof host - 1);
    const QString from = currentUserName() + QLatin1Char('@') + QString::fromLocal8Bit(host);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    const QByteArray bytes = terminalMessage(from, o.text, stamp).toUtf8();

    QSet<QString> written;
    QSet<quint32> notified;
    for (const SessionInfo *s : targets) {
        for (const QString &terminal : s->terminals) {
            if (!written.contains(terminal)) {
                written.insert(terminal);
                writeToTerminal(terminal, bytes);
            }
        }
        // One notification per user: the session bus is the user's.
        if (!notified.contains(s->uid)) {
            notified.insert(s->uid);
            const qint64 pid = notifyDesktop(userSessionBus(s->uid), s->uid,
                                             QStringLiteral("Сообщение от %1").arg(from), o.text);
            if (pid > 0)
                reapProgramInBackground(pid);
        }
    }
    return 0;
}

} // namespace dozorix
