#pragma once
// A small file system of the test's own: a tmpfs of a chosen size mounted
// on a temporary folder, so that "the disk is full" and "not enough room"
// happen for real. Mounting needs root (CAP_SYS_ADMIN): available() says
// whether it worked, and why not.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

namespace dozorix::test {

class SmallDisk
{
public:
    explicit SmallDisk(quint64 bytes)
    {
        const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
        if (::geteuid() != 0) {
            m_why = "mounting a tmpfs needs root";
            return;
        }
        if (::mount("tmpfs", QFile::encodeName(m_dir.path()).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                    options.constData())
            != 0) {
            m_why = std::string("mount tmpfs: ") + std::strerror(errno);
            return;
        }
        m_mounted = true;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool available() const { return m_mounted; }
    const std::string &why() const { return m_why; }
    QString path() const { return m_dir.path(); }
    QString file(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
    std::string m_why;
};

} // namespace dozorix::test
