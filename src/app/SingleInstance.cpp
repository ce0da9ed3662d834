#include "SingleInstance.h"

#include <QCryptographicHash>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace dozorix {

SingleInstanceGuard::SingleInstanceGuard(const QString &title)
{
    m_name = title + QStringLiteral("OneInstance32.Default.") + QString::number(::getuid());
    const QByteArray scope = qgetenv("DOZORIX_INSTANCE_SCOPE");
    if (!scope.isEmpty())
        m_name += QLatin1Char('.')
            + QString::fromLatin1(QCryptographicHash::hash(scope, QCryptographicHash::Sha1).toHex().left(16));

    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray name = m_name.toUtf8();
    const size_t len = std::min(static_cast<size_t>(name.size()), sizeof(addr.sun_path) - 1);
    // Leading NUL: the abstract namespace, owned by the kernel, gone with the process.
    std::memcpy(addr.sun_path + 1, name.constData(), len);
    const auto addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), addrLen) != 0) {
        m_another = (errno == EADDRINUSE);
        ::close(m_fd);
        m_fd = -1;
    }
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace dozorix
