#pragma once
// Files of a folder that another process is writing or holds a lock on.
//
// On Windows the backup of an infobase in use fails on the database file
// that the 1C processes keep locked. Linux lets anyone read that file while
// it is written, and a copy taken then may not restore. So before copying,
// the backup asks the kernel which files are in use: every descriptor of
// every other process that points into the folder and is open for writing
// (/proc/<pid>/fd and fdinfo), and every lock (/proc/locks: POSIX, OFD and
// flock). Processes of other users are seen only when this process may look
// at them (root, or CAP_SYS_PTRACE).

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <set>
#include <utility>

#include <sys/types.h>

namespace dozorix {

// The error of a file in use, with the text Windows gives for its sharing
// violation (error 32).
inline constexpr int kFileInUse = ETXTBSY;
QString fileInUseText();

class FilesInUse
{
public:
    // What is in use now under the folder (its files and those of its
    // subfolders), this process left out.
    static FilesInUse snapshot(const QByteArray &folder);

    // True for a file (by its device and inode) that is being written or is
    // locked.
    bool contains(dev_t device, ino_t inode) const { return m_files.count({device, inode}) > 0; }
    bool isEmpty() const { return m_files.empty(); }
    // True when some process could not be looked at (a console not run as
    // root does not see the descriptors of other users' processes): a file
    // they write is then not seen as in use.
    bool blind() const { return m_blind; }

    // The parsing of /proc/locks, for the tests: the (device, inode) of
    // every lock line.
    static std::set<std::pair<dev_t, ino_t>> parseLocks(const QByteArray &text);

private:
    std::set<std::pair<dev_t, ino_t>> m_files;
    bool m_blind = false;
};

} // namespace dozorix
