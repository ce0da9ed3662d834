// The system helpers that ask Linux itself.

#include "common/SystemHelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/capability.h>
#include <net/if.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace dozorix {
namespace {

bool capabilitiesHeld(const std::vector<int> &caps)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    bool raised = false;
    for (int cap : caps) {
        const unsigned bit = 1u << (cap % 32);
        auto &word = data[cap / 32];
        if (word.effective & bit)
            continue;
        if (!(word.permitted & bit))
            return false;
        word.effective |= bit;
        raised = true;
    }
    if (raised && ::syscall(SYS_capset, &header, data) != 0)
        return false;
    return true;
}

QString dotted(const in_addr &a)
{
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &a, text, sizeof text))
        return QString();
    return QString::fromLatin1(text);
}

} // namespace

bool EnablePrivilege(const QString &privilege, bool enable)
{
    Q_UNUSED(enable);
    if (privilege.compare(QLatin1String("SeDebugPrivilege"), Qt::CaseInsensitive) != 0)
        return false;
    return capabilitiesHeld({CAP_KILL, CAP_SYS_PTRACE});
}

QString GetProgramFilesDir()
{
    // Where the 1C platform is installed: /opt, or another folder named by
    // DOZORIX_PROGRAM_FILES (a platform installed elsewhere, a test's stand-in).
    const QString other = qEnvironmentVariable("DOZORIX_PROGRAM_FILES");
    const QString dir = other.isEmpty() ? QStringLiteral("/opt") : other;
    return QFileInfo(dir).isDir() ? dir : QString();
}

QString GetComputerNameText()
{
    char name[257] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return QString();
    QString host = QString::fromLocal8Bit(name);
    host = host.section(QLatin1Char('.'), 0, 0);
    return host.left(256);
}

QString GetUserNameText()
{
    passwd pw{};
    passwd *found = nullptr;
    std::vector<char> buffer(4096);
    QString name;
    if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found)
        name = QString::fromLocal8Bit(found->pw_name);
    else
        name = qEnvironmentVariable("USER");
    return name.left(252);
}

bool GetDesktopDir(QString &dir)
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (!desktop.isEmpty() && QFileInfo(desktop).isDir()) {
        dir = desktop.left(260);
        return true;
    }
    const QString home = QDir::homePath();
    if (!home.isEmpty() && QFileInfo(home).isDir()) {
        dir = home.left(260);
        return true;
    }
    return false;
}

QString GetSystemDir()
{
    return QStringLiteral("/usr/bin");
}

QString chooseLocalIp(const QString &resolved, const QStringList &interfaceAddresses)
{
    const auto loopback = [](const QString &dottedAddress) { return dottedAddress.startsWith(QLatin1String("127.")); };
    if (!resolved.isEmpty() && !loopback(resolved))
        return resolved;
    for (const QString &address : interfaceAddresses) {
        if (!loopback(address))
            return address;
    }
    return resolved.isEmpty() ? QStringLiteral("127.0.0.1") : resolved;
}

QString GetLocalIp()
{
    QString resolved;
    char host[129] = {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (::gethostname(host, sizeof host - 1) == 0 && ::getaddrinfo(host, nullptr, &hints, &list) == 0 && list) {
        resolved = dotted(reinterpret_cast<sockaddr_in *>(list->ai_addr)->sin_addr);
        ::freeaddrinfo(list);
    }
    if (!resolved.isEmpty() && !resolved.startsWith(QLatin1String("127.")))
        return resolved;

    // No answer, or loopback only: the addresses of the interfaces that are up.
    QStringList addresses;
    ifaddrs *interfaces = nullptr;
    if (::getifaddrs(&interfaces) == 0) {
        for (ifaddrs *i = interfaces; i; i = i->ifa_next) {
            if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_UP))
                addresses << dotted(reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr);
        }
        ::freeifaddrs(interfaces);
    }
    return chooseLocalIp(resolved, addresses);
}

} // namespace dozorix
