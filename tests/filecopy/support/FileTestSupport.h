#pragma once
// Helpers of the tests of files on disk (the copy, the ZIP writer, the
// backup run): files and deterministic data, programs run as an
// administrator runs them, a FIFO that must not block, and a way for root to
// be refused a file the way any other user would be.

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include "support/TestSupport.h" // PrintTo for QString, waitUntil

#include <cstdint>
#include <memory>

namespace dozorix::test {

// Writes bytes to the file, creating the folders on the way.
void writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);
// Sets the access and modification times (seconds since 1970, UTC).
void setFileTimes(const QString &path, qint64 atimeSec, long atimeNsec, qint64 mtimeSec, long mtimeNsec);

// Deterministic test data: text that compresses well, and bytes that do not.
QByteArray textBytes(qsizetype size, quint32 seed);
QByteArray randomBytes(qsizetype size, quint32 seed);
// A database-like mix of text, random and zero pages (crosses chunk sizes).
QByteArray mixedBytes(qsizetype size, quint32 seed);

struct PeerRun {
    int exitCode = -1;
    QString output;
    bool ok() const { return exitCode == 0; }
};
// The readers run as an administrator runs them, in a UTF-8 locale (C.UTF-8,
// whatever the locale of the test run): in the C locale unzip writes
// non-ASCII names as "#Uxxxx" escapes and bsdtar refuses them.
PeerRun runPeer(const QString &program, const QStringList &args, int timeoutMs = 120000);
// That environment: the test run's own with LC_ALL=C.UTF-8.
QProcessEnvironment readerEnvironment();

// One of the backup's own programs (dozorix-zip, dozorix-copy from the
// program directory) run as a child process in a UTF-8 locale, optionally
// under a file-size limit (setrlimit RLIMIT_FSIZE, as "ulimit -f" sets it,
// in bytes; 0 for none). A program that has not ended after timeoutMs is
// killed, so a program that hangs fails the test instead of stopping it.
// input, when given, is what the program reads on its standard input.
struct ToolRun {
    bool timedOut = false;
    int signal = 0;    // the signal that ended the program, or 0
    int exitCode = -1; // when it ended by itself
    QString out;
    QString err;
    QString describe() const;
};
ToolRun runTool(const QString &program, const QStringList &args, quint64 fileSizeLimit = 0,
                int timeoutMs = 60000, const QByteArray &input = QByteArray());

// The names in a folder (hidden ones included), sorted.
QStringList folderEntries(const QString &folder);

// While it lives, frees a reader blocked in open() on the FIFO once
// graceMs have passed (by opening it for writing and closing it again, so
// the reader sees an empty file): a read that blocks then shows as a wrong
// result rather than a test that never ends. released() tells whether it
// had to.
class FifoWatchdog
{
public:
    explicit FifoWatchdog(const QString &fifo, int graceMs = 5000);
    ~FifoWatchdog();
    FifoWatchdog(const FifoWatchdog &) = delete;
    FifoWatchdog &operator=(const FifoWatchdog &) = delete;
    bool released() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// Removes a folder tree whatever bytes its names hold (QDir cannot remove a
// name that is not UTF-8).
void removeTree(const QByteArray &nativePath);

// Reads bytes at an offset of a file.
QByteArray readAt(const QString &path, quint64 offset, qsizetype size);

// Root reads and writes any file whatever its permission bits. For the
// lifetime of this object the calling thread (and threads it starts) lose
// that power, so permission failures happen as they do for other users.
class NoPermissionOverride
{
public:
    // alsoOtherProcesses: root also loses its look into other users'
    // processes (CAP_SYS_PTRACE: their /proc/<pid>/fd), as any user lacks it.
    explicit NoPermissionOverride(bool alsoOtherProcesses = false);
    ~NoPermissionOverride();
    NoPermissionOverride(const NoPermissionOverride &) = delete;
    NoPermissionOverride &operator=(const NoPermissionOverride &) = delete;
    bool active() const { return m_ok; }

private:
    bool m_root = false;
    bool m_ok = false;
    quint32 m_saved[2] = {0, 0};
};

} // namespace dozorix::test
