#pragma once
// The process table read straight from /proc, one pass, no helper programs.
// /proc stays open as a directory between snapshots; per process one read of
// <pid>/stat gives the name, state, parent, times and resident size. The
// stat file of a process stays open from one snapshot to the next, so that a
// known process costs one pread(): /proc makes the line anew at each read
// from the start, and once the process has ended (its pid perhaps reused)
// the file only answers ESRCH. At most a quarter of the open-file limit is
// held so (the rest of the processes open and close their stat each time).
// What does not change while a process lives — its image name (with
// /proc/<pid>/cmdline read only when the kernel's name may be cut) and its
// owner (the effective user of the <pid> directory, or root for a process
// that is not dumpable) — is kept from the snapshot that first saw it, for
// as long as its start time and kernel name stay the same. The owner is
// looked at again now and then (every 16th snapshot), and at once when the
// process has run another program.

#include "common/Platform.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <dirent.h>
#include <mutex>
#include <unordered_map>

namespace dozorix {

class LinuxProcessTable : public ProcessTable
{
public:
    // procRoot is "/proc"; tests may point it elsewhere.
    explicit LinuxProcessTable(QByteArray procRoot = "/proc");
    ~LinuxProcessTable() override;

    LinuxProcessTable(const LinuxProcessTable &) = delete;
    LinuxProcessTable &operator=(const LinuxProcessTable &) = delete;

    std::vector<ProcessInfo> snapshot() override;
    int processorCount() override;

    // The image name of a process: comm, unless comm has the kernel's full
    // 15 characters (possibly cut) and the base name of argv[0] (split on '/'
    // and '\') starts with it; then that base name.
    static QString imageNameFrom(const QByteArray &comm, const QByteArray &cmdline);

private:
    // An open /proc/<pid>/stat held between snapshots; counted in the
    // table's total of held files.
    class HeldFile
    {
    public:
        HeldFile() = default;
        HeldFile(int fd, int *count);
        HeldFile(HeldFile &&other) noexcept;
        HeldFile &operator=(HeldFile &&other) noexcept;
        HeldFile(const HeldFile &) = delete;
        HeldFile &operator=(const HeldFile &) = delete;
        ~HeldFile();
        int fd() const { return m_fd; }

    private:
        void close();
        int m_fd = -1;
        int *m_count = nullptr;
    };

    // What is kept of a process between snapshots.
    struct Known {
        quint64 startTime = 0; // clock ticks after boot (field 22 of stat)
        QByteArray comm;
        QString imageName;
        // The kernel's name is cut to 15 characters and the command line was
        // still empty (read in the moment between exec and the new program's
        // arguments being in place): read it again at the next snapshot.
        bool commandLinePending = false;
        QString ownerName;
        quint32 ownerUid = 0;
        quint64 seen = 0; // the snapshot that last listed it
        HeldFile stat;
    };

    QString accountName(quint32 uid);
    bool openRoot();
    // Reads a process not known yet (or known under another start time or
    // name) through its own directory; false when it has ended meanwhile or
    // its stat cannot be parsed.
    bool learn(const char *pidName, Known *known, ProcessInfo *info);
    // Whether one more stat file may be held open.
    bool mayHold() const { return m_held < m_holdLimit; }
    // Takes an open stat file into known when one more may be held; closes it otherwise.
    void holdOrClose(int fd, Known *known);

    QByteArray m_root;
    std::mutex m_mutex;
    DIR *m_dir = nullptr;
    int m_rootFd = -1;
    quint64 m_snapshots = 0;
    std::unordered_map<qint64, Known> m_known;
    int m_held = 0; // stat files held open
    int m_holdLimit = 0;
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
