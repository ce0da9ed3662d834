#include "backup/ServerAgents.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QUrl>

#include <unistd.h>

namespace dozorix {
namespace {

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(64 * 1024);
}

// The value of "-name N" or "-name=N" in an argument list; fallback when absent or not a port.
int portArgument(const QList<QByteArray> &args, const QByteArray &name, int fallback)
{
    for (qsizetype i = 1; i < args.size(); ++i) {
        QByteArray value;
        if (args[i] == name && i + 1 < args.size())
            value = args[i + 1];
        else if (args[i].startsWith(name + '='))
            value = args[i].mid(name.size() + 1);
        else
            continue;
        bool ok = false;
        const int port = value.toInt(&ok);
        if (ok && port > 0 && port < 65536)
            return port;
    }
    return fallback;
}

bool isThisHostName(const QString &host)
{
    const QString name = host.toLower();
    if (name.isEmpty() || name == QLatin1String("localhost") || name == QLatin1String("."))
        return true;
    const QHostAddress address(name);
    if (!address.isNull())
        return address.isLoopback() || QNetworkInterface::allAddresses().contains(address);
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        return false;
    const QString own = QString::fromLocal8Bit(buffer).toLower();
    const QString ownShort = own.section(QLatin1Char('.'), 0, 0);
    return name == own || name == ownShort || name.section(QLatin1Char('.'), 0, 0) == ownShort;
}

} // namespace

QString platformVersionOfProgram(const QString &program)
{
    static const QRegularExpression version(QStringLiteral("^\\d+\\.\\d+\\.\\d+\\.\\d+$"));
    const QString folder = QFileInfo(program).dir().dirName();
    return version.match(folder).hasMatch() ? folder : QString();
}

std::vector<ServerAgent> runningServerAgents(const QString &procDir)
{
    const QString proc = procDir.isEmpty() ? QStringLiteral("/proc") : procDir;
    std::vector<ServerAgent> agents;
    const QStringList entries = QDir(proc).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QString base = proc + QLatin1Char('/') + entry;
        if (readSmallFile(base + QStringLiteral("/comm")).trimmed() != "ragent")
            continue;
        const QList<QByteArray> args = readSmallFile(base + QStringLiteral("/cmdline")).split('\0');
        if (args.isEmpty() || args.front().isEmpty())
            continue; // ended while read, or a zombie
        ServerAgent agent;
        agent.pid = pid;
        agent.program = QFile::decodeName(args.front());
        if (!agent.program.startsWith(QLatin1Char('/'))) {
            const QString exe = QFile::symLinkTarget(base + QStringLiteral("/exe"));
            if (!exe.isEmpty())
                agent.program = exe;
        }
        agent.version = platformVersionOfProgram(agent.program);
        agent.port = portArgument(args, "-port", 1540);
        agent.regPort = portArgument(args, "-regport", 1541);
        agents.push_back(agent);
    }
    return agents;
}

bool clusterAddressIsThisHost(const QString &clusterAddress, int *port)
{
    QString address = clusterAddress.section(QLatin1Char(','), 0, 0).section(QLatin1Char(';'), 0, 0).trimmed();
    if (address.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive))
        address = address.mid(6);
    QString host = address;
    int found = 1541;
    const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
    // "host:port", but not a bare IPv6 address; "[v6]:port" too.
    if (colon > 0 && address.indexOf(QLatin1Char(':')) == colon) {
        bool ok = false;
        const int value = address.mid(colon + 1).toInt(&ok);
        if (ok)
            found = value;
        host = address.left(colon);
    } else if (address.startsWith(QLatin1Char('[')) && address.contains(QLatin1String("]:"))) {
        const qsizetype close = address.indexOf(QLatin1String("]:"));
        bool ok = false;
        const int value = address.mid(close + 2).toInt(&ok);
        if (ok)
            found = value;
        host = address.mid(1, close - 1);
    }
    if (port)
        *port = found;
    return isThisHostName(host);
}

DesignerVersionChoice designerVersionFor(const QString &clusterAddress, const std::vector<ServerAgent> &agents)
{
    int port = 1541;
    if (!clusterAddressIsThisHost(clusterAddress, &port)) {
        return {QString(), QStringLiteral("сервер 1С «%1» — другой компьютер, его версия отсюда не видна")
                               .arg(clusterAddress.trimmed())};
    }
    for (const ServerAgent &agent : agents) {
        if (agent.regPort != port)
            continue;
        if (agent.version.isEmpty()) {
            return {QString(), QStringLiteral("версия сервера 1С на этом компьютере не видна по пути его программы (%1)")
                                   .arg(agent.program)};
        }
        return {agent.version, QStringLiteral("той же версии, что и сервер 1С на этом компьютере (%1, порт кластера %2)")
                                   .arg(agent.program)
                                   .arg(port)};
    }
    return {QString(), QStringLiteral("сервер 1С с портом кластера %1 на этом компьютере не запущен").arg(port)};
}

} // namespace dozorix
