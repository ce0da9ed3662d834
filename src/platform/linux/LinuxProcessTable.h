#pragma once
// The process table read straight from /proc, one pass, no helper programs:
// per process one stat() of its directory (the owner: the effective user, or
// root for a process that is not dumpable), /proc/<pid>/stat, and
// /proc/<pid>/cmdline only when the kernel's name may be cut.

#include "common/Platform.h"

#include <QByteArray>
#include <QHash>

#include <mutex>

namespace dozorix {

class LinuxProcessTable : public ProcessTable
{
public:
    // procRoot is "/proc"; tests may point it elsewhere.
    explicit LinuxProcessTable(QByteArray procRoot = "/proc");

    std::vector<ProcessInfo> snapshot() override;
    int processorCount() override;

    // The image name of a process: comm, unless comm has the kernel's full
    // 15 characters (possibly cut) and the base name of argv[0] (split on '/'
    // and '\') starts with it; then that base name.
    static QString imageNameFrom(const QByteArray &comm, const QByteArray &cmdline);

private:
    QString accountName(quint32 uid);

    QByteArray m_root;
    std::mutex m_mutex;
    QHash<quint32, QString> m_accounts;
    long m_ticksPerSecond;
    long m_pageSize;
};

class LinuxProcessControl : public ProcessControl
{
public:
    SignalResult sendSignal(qint64 pid, int signal) override;
};

} // namespace dozorix
