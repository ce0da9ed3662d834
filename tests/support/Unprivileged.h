#pragma once
// Running a program as an unprivileged user, for the cases in which root
// would pass every permission check: as root the program runs under setpriv
// as nobody (65534:65534, no supplementary groups) and the files it should
// own are given to nobody; as any other user it runs as that user, who is
// unprivileged already.

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

namespace dozorix::test {

struct Unprivileged {
    static constexpr uid_t kNobody = 65534;

    static bool asRoot() { return ::geteuid() == 0; }
    // False only for root without setpriv.
    static bool available() { return !asRoot() || QFile::exists(QStringLiteral("/usr/bin/setpriv")); }
    static uid_t uid() { return asRoot() ? kNobody : ::getuid(); }
    static gid_t gid() { return asRoot() ? kNobody : ::getgid(); }

    // Gives a file or folder to the unprivileged user (it is ours already when
    // we are not root).
    static bool own(const QString &path)
    {
        return !asRoot() || ::chown(QFile::encodeName(path).constData(), kNobody, kNobody) == 0;
    }

    // Starts the program as the unprivileged user.
    static void start(QProcess &process, const QString &program, const QStringList &args)
    {
        if (asRoot()) {
            process.start(QStringLiteral("/usr/bin/setpriv"),
                          QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                      QStringLiteral("--clear-groups"), program}
                              + args);
        } else {
            process.start(program, args);
        }
    }
};

// Sets a file's or folder's mode for the lifetime of the object and puts the
// old one back, so that a read-only test folder can be removed afterwards.
class ScopedMode
{
public:
    ScopedMode(const QString &path, mode_t mode)
        : m_path(QFile::encodeName(path))
    {
        struct stat st{};
        m_valid = ::stat(m_path.constData(), &st) == 0;
        m_old = st.st_mode & 07777;
        if (m_valid)
            ::chmod(m_path.constData(), mode);
    }
    ~ScopedMode()
    {
        if (m_valid)
            ::chmod(m_path.constData(), m_old);
    }
    ScopedMode(const ScopedMode &) = delete;
    ScopedMode &operator=(const ScopedMode &) = delete;

private:
    QByteArray m_path;
    mode_t m_old = 0;
    bool m_valid = false;
};

// Owner, group, mode and inode of a file; all zero when it is missing.
struct FileIdentity {
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    ino_t inode = 0;

    static FileIdentity of(const QString &path)
    {
        FileIdentity id;
        struct stat st;
        if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
            id.uid = st.st_uid;
            id.gid = st.st_gid;
            id.mode = st.st_mode & 07777;
            id.inode = st.st_ino;
        }
        return id;
    }
};

} // namespace dozorix::test
